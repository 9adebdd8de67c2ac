#include "rescue/downloads.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "console/console.h"
#include "image/install_engine.h"
#include "image/install_records.h"
#include "network/mgmt_port.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/serial_port.h"
#include "platform/timing.h"
#include "platform/unique_fd.h"
#include "rescue/filesystem.h"

namespace {

constexpr const char* USB_DIR = "/mnt/usb";
// Away from the stick, so that it can be unmounted afterwards.
constexpr const char* IDLE_DIR = "/tmp";
constexpr int TFTP_ATTEMPTS = 3;
constexpr unsigned TFTP_RETRY_PAUSE_S = 3;
constexpr uint32_t MGMT_THRESHOLD_DOWNLOAD = 0; // off: a download at full speed
constexpr uint32_t MGMT_THRESHOLD_NORMAL = 500;
constexpr size_t LINE_SIZE = 128; // answers of up to 127 characters

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

void change_directory(const char* path) {
    if (::chdir(path) != 0) {
        // Where it cannot go, it stays: nothing here depends on it.
    }
}

// The engine as the rescue menu runs it: no same-version check, the operator
// picks the slot, /user checked before a TESK application is unpacked.
int install_and_log(const char* path, const char* file, const char* source) {
    InstallEnvironment environment;
    environment.check_user_filesystem = check_user_filesystem;
    const int result = install_image_file(path, 0, 0, environment);
    if (result == 1)
        static_cast<void>(append_install_log(file, source));
    return result;
}

// The file name for the TFTP server: two characters at least. False when the
// operator quit with "q" or Ctrl-C.
bool ask_image_name(char (&name)[LINE_SIZE]) {
    for (;;) {
        std::fputs("Image Filename: ", stdout);
        std::fflush(stdout);
        if (!console_read_line(name, sizeof name)) {
            if (console_interrupted)
                return false;
        } else if (std::strlen(name) >= 2) {
            return !console_interrupted;
        } else if (std::strcmp(name, "q") == 0) {
            return false;
        }
        std::printf("Invalid filename. Try again please\n");
    }
}

// The next entry of the stick's top directory that is not a directory
// (symbolic links included), looked at from the working directory; null at
// the end.
const char* next_file(DIR* dir) {
    while (const dirent* entry = ::readdir(dir)) {
        struct stat status {};
        if (::lstat(entry->d_name, &status) != 0 || !S_ISDIR(status.st_mode))
            return entry->d_name;
    }
    return nullptr;
}

// The stick's top directory, open and the working directory.
UniqueDir open_usb_dir() {
    UniqueDir dir(::opendir(USB_DIR));
    if (dir)
        change_directory(USB_DIR);
    return dir;
}

// The number typed at the pick list; false when the operator quit.
bool ask_file_number(int* number) {
    std::printf("Choose file number to install (q to quit): ");
    std::fflush(stdout);
    for (;;) {
        char line[LINE_SIZE];
        if (!console_read_line(line, sizeof line) || line[0] == 'q' || line[0] == 'Q')
            return false;
        // A number first, as "%d" reads it, but one too large for an int is
        // held at the limit instead of wrapping round to an entry of the list.
        char* end = nullptr;
        const long value = std::strtol(line, &end, 10);
        if (end != line) {
            *number = value > INT_MAX   ? INT_MAX
                      : value < INT_MIN ? INT_MIN
                                        : static_cast<int>(value);
            return true;
        }
        std::printf("Invalid file number %s. Try again pleas\n", line);
    }
}

} // namespace

int rescue_tftp_download() {
    std::printf("Performing TFTP rescue. Please answer the following questions (enter 'q' to "
                "quit):\n");
    mgmt_settings settings{};
    settings.interface = '0';
    settings.use_dhcp = 0;
    if (!ask_network_settings(&settings, 0))
        return 0;
    uint32_t server = 0;
    if (!ask_ip_address("Server addr:", &server, 1, 1))
        return 0;
    char name[LINE_SIZE];
    if (!ask_image_name(name))
        return 0;
    if (!apply_network_settings(settings))
        return 0;
    static_cast<void>(set_mgmt_threshold(MGMT_THRESHOLD_DOWNLOAD, settings.interface));

    in_addr server_in{};
    server_in.s_addr = server;
    const std::string server_text = inet_ntoa(server_in);
    for (int attempt = 1; attempt <= TFTP_ATTEMPTS; ++attempt) {
        if (console_interrupted)
            return 0;
        std::printf("Installing image %s from TFTP server %s\n", name, server_text.c_str());
        // The typed name is one argument: it never meets a shell.
        static_cast<void>(platform::run_program(
            {"tftp", "-g", "-r", name, "-l", DOWNLOADED_IMAGE_PATH, server_text}));
        if (platform::path_exists(DOWNLOADED_IMAGE_PATH))
            break;
        std::printf("Attempt %d/%d of tftp timed out\n", attempt, TFTP_ATTEMPTS);
        platform::sleep_seconds(TFTP_RETRY_PAUSE_S);
    }
    static_cast<void>(set_mgmt_threshold(MGMT_THRESHOLD_NORMAL, settings.interface));
    if (!platform::path_exists(DOWNLOADED_IMAGE_PATH)) {
        std::printf("Tftp download failed. Aborting\n");
        return 0;
    }
    return install_and_log(DOWNLOADED_IMAGE_PATH, name, server_text.c_str());
}

int rescue_xmodem_download() {
    std::printf("Running xmodem rescue.....\n");
    {
        const platform::UniqueFd port(open_download_port());
        if (!port.valid())
            return 0;
        static_cast<void>(platform::run_program({"/usr/bin/rx", DOWNLOADED_IMAGE_PATH}));
        // The console's settings come back whatever the transfer gave.
        restore_console_port(port.get());
    }
    if (!platform::path_exists(DOWNLOADED_IMAGE_PATH))
        return 0;
    return install_and_log(DOWNLOADED_IMAGE_PATH, "image", "xmodem");
}

int rescue_usb_install() {
    int number = 0;
    {
        const UniqueDir dir = open_usb_dir();
        if (!dir) {
            std::printf("Unable to open USB directory. Quitting\n");
            return 0;
        }
        int count = 0;
        while (const char* name = next_file(dir.get()))
            std::printf("\t%d: %s\n", ++count, name);
        const bool chosen = ask_file_number(&number);
        change_directory(IDLE_DIR);
        if (!chosen || number <= 0)
            return 0;
    }
    std::string path;
    {
        const UniqueDir dir = open_usb_dir();
        if (!dir) {
            std::printf("Unable to re-open USB directory. Quitting\n");
            return 0;
        }
        const char* name = nullptr;
        for (int count = 0; count < number; ++count)
            if (!(name = next_file(dir.get()))) {
                change_directory(IDLE_DIR);
                return 0;
            }
        std::printf("Installing %s\n", name);
        path = std::string(USB_DIR) + '/' + name;
        change_directory(IDLE_DIR);
    }
    return install_and_log(path.c_str(), path.c_str(), "USB");
}
