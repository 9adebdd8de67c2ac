// usb-mount: run by the hot-plug mechanism with "mount" when a USB stick
// appears and "unmount" when it goes away. The directory /tmp/usb is the sign
// for the boot manager that a filesystem is mounted on /mnt/usb: it is created
// only after the mount succeeded and removed before the unmount.
//
// The program speaks only to the system console; the commands it runs keep
// the standard streams they inherit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int EXIT_REFUSED = 255;

class Console {
  public:
    // Close-on-exec: the commands run keep only the streams they inherit.
    Console() : fd_(::open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC)) {}
    ~Console() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool open() const { return fd_ >= 0; }

    // One write per message, so that messages of concurrent runs do not mix.
    void say(const char* message) const {
        ssize_t ignored = ::write(fd_, message, std::strlen(message));
        (void)ignored;
    }

  private:
    int fd_;
};

bool exists(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0;
}

int mount_stick(const Console& console) {
    std::system("/bin/mkdir -p /mnt/usb");

    int status;
    if (exists("/dev/sda1")) {
        status = std::system("/bin/mount -o sync /dev/sda1 /mnt/usb");
    } else if (exists("/dev/sda")) {
        // A stick without a partition table is mounted whole.
        status = std::system("/bin/mount -o sync /dev/sda /mnt/usb");
    } else {
        console.say("USB mount error: Cannot detect any block devices\n");
        return EXIT_REFUSED;
    }

    if (status != 0) {
        console.say("USB mount error: Cannot mount device. Please check if filesystem is "
                    "supported and valid.\n");
        return EXIT_FAILURE;
    }

    std::system("/bin/mkdir -p /tmp/usb");
    console.say("New USB device is ready.\n");
    return EXIT_SUCCESS;
}

int unmount_stick(const Console& console) {
    std::system("/bin/rmdir /tmp/usb");
    std::system("/bin/umount /mnt/usb");
    std::system("/bin/rmdir /mnt/usb");
    console.say("USB device disconnected.\n");
    return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char** argv) {
    Console console;
    if (!console.open())
        return EXIT_REFUSED;
    if (std::system(nullptr) == 0)
        return EXIT_REFUSED;

    if (argc == 1 || std::strcmp(argv[1], "mount") == 0)
        return mount_stick(console);
    if (argc == 2 && std::strcmp(argv[1], "unmount") == 0)
        return unmount_stick(console);

    console.say("Unknown parameter!\n");
    return EXIT_REFUSED;
}
