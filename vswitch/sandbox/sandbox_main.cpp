// vswitch-sandbox: runs one program of the switch (the boot manager, usb-mount
// or a test binary) sealed off from this machine.
//
// The program gets new PID, mount, network, UTS and IPC namespaces and a
// private root built for this run on a tmpfs: the program, a bash as /bin/sh,
// the real tools that are cheap to have, recording fakes for every tool that
// could touch the machine, a small /sys with the eMMC entries the board has,
// and the board directory. CAP_SYS_TIME, CAP_SYS_BOOT and CAP_SYS_MODULE (and
// CAP_SYS_RAWIO and CAP_MKNOD) leave the bounding set, so that even a real
// "date" or "reboot" cannot reach the machine's clock or power.
//
// Standard input, output and error are the console terminal; the program
// becomes a session leader with that terminal as its controlling terminal, so
// a Ctrl-C typed there interrupts it as on the switch's serial console.
//
// The board directory configures the run (vswitch.conf, tools/) and collects
// what the fakes record (tools.log, appos/). The outcome is written to the
// report file: "exit N", "signal N", "killed" or "error: <reason>".
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/loop.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef VSWITCH_FAKE_TOOL
#define VSWITCH_FAKE_TOOL ""
#endif

namespace {

// Where the fakes stand, as the boot manager and usb-mount name them.
const std::map<std::string, std::string> fake_tools = {
    {"reboot", "/sbin/reboot"},      {"date", "/bin/date"},
    {"mount", "/bin/mount"},         {"umount", "/bin/umount"},
    {"e2fsck", "/sbin/e2fsck"},      {"mkfs.ext3", "/sbin/mkfs.ext3"},
    {"sfdisk", "/sbin/sfdisk"},      {"resize2fs", "/sbin/resize2fs"},
    {"dhclient", "/bin/dhclient"},   {"ifconfig", "/sbin/ifconfig"},
    {"route", "/sbin/route"},        {"tftp", "/usr/bin/tftp"},
    {"rx", "/usr/bin/rx"},           {"gdbserver", "/bin/gdbserver"},
    {"backtrace", "/bin/backtrace"}, {"busybox", "/bin/busybox"},
};

// Real tools of the boot root filesystem that cost nothing to have.
const char* const real_tools[] = {"tar",   "gzip", "gunzip", "zcat",  "md5sum", "mkdir", "rm",
                                  "cp",    "mv",   "cat",    "chmod", "touch",  "ls",    "sleep",
                                  "rmdir", "sync", "ln",     "echo",  "true",   "false", "head",
                                  "tail",  "grep", "sed",    "dd",    "env",    "stat",  "wc",
                                  "cmp",   "sort", "id",     "uname", "find",   "mktemp"};

// Capabilities no program on the virtual switch may have.
const int dropped_capabilities[] = {CAP_SYS_TIME, CAP_SYS_BOOT, CAP_SYS_MODULE, CAP_SYS_RAWIO,
                                    CAP_MKNOD};

const char* const sanitizer_variables[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};

const char* const host_bin_dirs[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};

struct Options {
    std::string board;
    std::string root;
    std::string console;
    std::string serial;
    std::string preload;
    std::string time = "virtual";
    std::string fake_tool = VSWITCH_FAKE_TOOL;
    std::string usb_mount;
    std::string report;
    std::string term = "vt100";
    std::string stderr_file;  // inside the root; empty: the console
    std::string stdout_file;  // inside the root; empty: the console
    bool usb_handling = true; // a stick present at power-on is handled before the program
    std::string after;        // bash script run once the program has ended
    std::vector<std::string> env;
    std::vector<std::string> program;
};

// vswitch.conf: "key=value" lines; '#' starts a comment.
struct BoardConfig {
    bool emmc = true;
    std::vector<std::string> emmc_partitions{"1", "2", "3", "4"};
    bool usb_stick = false;
    std::string usb_device = "sda1";
    std::set<std::string> real_tools;
    std::set<std::string> missing_tools;
    bool shell = true;
    bool sigchld_ignored = false;
    bool user_image = false;  // /user on an ext3 image (emmc/mmcblk0p1.img) on a loop device
    bool console_node = true; // "/dev/console" exists
    // The stick as a disk image (usb-stick.img) on a loop device shown as
    // "/dev/sda"; usb_partition ("offset size", bytes) is the range of its
    // first partition, shown as "/dev/sda1" through a second loop device.
    bool usb_image = false;
    std::vector<std::string> usb_partition;
};

class SetupError {
  public:
    explicit SetupError(std::string what) : what_(std::move(what)) {}
    const std::string& what() const { return what_; }

  private:
    std::string what_;
};

[[noreturn]] void fail(const std::string& what) {
    throw SetupError(what + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

bool yes(const std::string& value) {
    return value == "yes" || value == "1" || value == "on";
}

BoardConfig read_board_config(const std::string& board) {
    BoardConfig config;
    std::ifstream in(board + "/vswitch.conf");
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        auto key = words(line.substr(0, eq));
        if (key.size() != 1)
            continue;
        std::string value = line.substr(eq + 1);
        auto list = words(value);
        std::string first = list.empty() ? "" : list[0];
        if (key[0] == "emmc")
            config.emmc = yes(first);
        else if (key[0] == "emmc_partitions")
            config.emmc_partitions = list;
        else if (key[0] == "usb_stick")
            config.usb_stick = yes(first);
        else if (key[0] == "usb_device")
            config.usb_device = first;
        else if (key[0] == "real_tools")
            config.real_tools.insert(list.begin(), list.end());
        else if (key[0] == "missing_tools")
            config.missing_tools.insert(list.begin(), list.end());
        else if (key[0] == "shell")
            config.shell = yes(first);
        else if (key[0] == "sigchld")
            config.sigchld_ignored = first == "ignored";
        else if (key[0] == "user")
            config.user_image = first == "ext3";
        else if (key[0] == "console")
            config.console_node = yes(first);
        else if (key[0] == "usb_image")
            config.usb_image = yes(first);
        else if (key[0] == "usb_partition")
            config.usb_partition = list;
    }
    return config;
}

// ---- file system helpers ------------------------------------------------------------------

// A directory that is already there keeps its mode: make_dirs walks through
// this machine's own directories (/tmp above all) on the way to the root.
void make_dir(const std::string& path, mode_t mode = 0755) {
    if (::mkdir(path.c_str(), mode) == 0)
        ::chmod(path.c_str(), mode); // the exact mode, whatever the umask
    else if (errno != EEXIST)
        fail("mkdir " + path);
    errno = 0;
}

void make_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        make_dir(path.substr(0, slash));
    make_dir(path);
}

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        fail("create " + path);
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!ok)
        fail("write " + path);
}

void copy_file(const std::string& from, const std::string& to, mode_t mode) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        fail("open " + from);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (out < 0) {
        ::close(in);
        fail("create " + to);
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (::write(out, buffer, got) != got) {
            ok = false;
            break;
        }
    }
    ::close(in);
    ::close(out);
    if (!ok)
        fail("copy " + from + " to " + to);
    ::chmod(to.c_str(), mode);
}

bool is_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string host_tool(const std::string& name) {
    for (const char* dir : host_bin_dirs) {
        std::string path = std::string(dir) + "/" + name;
        if (is_file(path))
            return path;
    }
    return {};
}

void bind(const std::string& from, const std::string& to, bool read_only = false) {
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail("bind " + from + " on " + to);
    if (read_only && ::mount(nullptr, to.c_str(), nullptr,
                             MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID, nullptr) != 0)
        fail("read-only " + to);
}

void bind_node(const std::string& from, const std::string& to) {
    write_file(to, "");
    bind(from, to);
}

// The /user partition or the USB stick as a real block device: the image (or
// the byte range of it that size_limit, when not 0, bounds) on a free loop
// device, detached by the kernel once the last user (this run) lets go of it.
int attach_loop_device(const std::string& image, std::string& device, uint64_t offset = 0,
                       uint64_t size_limit = 0) {
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0)
        fail("open /dev/loop-control");
    int backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) {
        ::close(control);
        fail("open " + image);
    }
    int loop = -1;
    for (int attempt = 0; attempt < 50 && loop < 0; ++attempt) {
        int index = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (index < 0)
            break;
        device = "/dev/loop" + std::to_string(index);
        int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;
        loop_config config{};
        config.fd = static_cast<uint32_t>(backing);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        config.info.lo_offset = offset;
        config.info.lo_sizelimit = size_limit;
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(),
                     LO_NAME_SIZE - 1);
        if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0)
            loop = fd;
        else
            ::close(fd); // taken by someone else meanwhile: try the next one
    }
    ::close(control);
    ::close(backing);
    if (loop < 0)
        fail("no free loop device for " + image);
    return loop;
}

// ---- the private root ---------------------------------------------------------------------

void place_libraries(const std::string& root) {
    for (const char* dir : {"/lib", "/lib64", "/lib32", "/libx32", "/usr/lib", "/usr/lib64",
                            "/usr/lib32", "/usr/libx32"}) {
        struct stat info {};
        if (::lstat(dir, &info) != 0)
            continue;
        std::string target = root + dir;
        if (S_ISLNK(info.st_mode)) {
            char link[256] = {};
            if (::readlink(dir, link, sizeof link - 1) < 0)
                fail(std::string("readlink ") + dir);
            if (::symlink(link, target.c_str()) != 0)
                fail("symlink " + target);
        } else if (S_ISDIR(info.st_mode)) {
            make_dirs(target);
            bind(dir, target, true);
        }
    }
}

void place_tools(const std::string& root, const Options& options, const BoardConfig& config) {
    std::string bash = host_tool("bash");
    if (bash.empty())
        fail("no bash on this machine");
    copy_file(bash, root + "/bin/bash", 0755);
    if (config.shell)
        copy_file(bash, root + "/bin/sh", 0755);

    for (const char* tool : real_tools) {
        std::string from = host_tool(tool);
        if (!from.empty() && !config.missing_tools.count(tool))
            copy_file(from, root + "/bin/" + tool, 0755);
    }
    for (const auto& [name, path] : fake_tools) {
        if (config.missing_tools.count(name))
            continue;
        if (config.real_tools.count(name)) {
            std::string from = host_tool(name);
            if (from.empty())
                fail("no real " + name + " on this machine");
            copy_file(from, root + path, 0755);
        } else {
            copy_file(options.fake_tool, root + path, 0755);
        }
    }
    // The fakes' own helpers, off the program's PATH.
    for (const char* tool : {"mount", "umount", "mountpoint"}) {
        std::string from = host_tool(tool);
        if (!from.empty())
            copy_file(from, root + "/.vswitch/bin/" + tool, 0755);
    }

    std::string program = options.program[0];
    std::string name = program.substr(program.rfind('/') + 1);
    copy_file(program, root + "/sbin/" + name, 0755);
    if (!options.usb_mount.empty())
        copy_file(options.usb_mount, root + "/sbin/usb-mount", 0755);
    if (!options.preload.empty())
        copy_file(options.preload, root + "/.vswitch/lib/libvswitch-board.so", 0755);
}

void place_etc(const std::string& root) {
    write_file(root + "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    write_file(root + "/etc/group", "root:x:0:\n");
    write_file(root + "/etc/hostname", "switch\n");
    write_file(root + "/etc/hosts", "127.0.0.1\tlocalhost\n");
    // The eMMC layout: /user, two image partitions, the configuration partition.
    write_file(root + "/etc/partsetup", "label: dos\n"
                                        ",1G,L\n"
                                        ",1G,L\n"
                                        ",1G,L\n"
                                        ",,L\n");
}

// Host block devices that stand for the switch's own.
struct BlockDevices {
    std::string user;          // mmcblk0p1
    std::string usb_disk;      // sda
    std::string usb_partition; // sda1
};

void place_dev(const std::string& root, const Options& options, const BoardConfig& config,
               const BlockDevices& devices) {
    std::string dev = root + "/dev";
    if (!devices.user.empty())
        bind_node(devices.user, dev + "/mmcblk0p1");
    if (!devices.usb_disk.empty())
        bind_node(devices.usb_disk, dev + "/sda");
    if (!devices.usb_partition.empty())
        bind_node(devices.usb_partition, dev + "/sda1");
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"})
        bind_node(std::string("/dev/") + node, dev + "/" + node);
    if (config.console_node)
        bind_node(options.console, dev + "/console");
    if (!options.serial.empty())
        bind_node(options.serial, dev + "/ttyS0");
    if (::symlink("/proc/self/fd", (dev + "/fd").c_str()) != 0)
        fail("symlink /dev/fd");
    for (const char* std_stream : {"stdin", "stdout", "stderr"}) {
        std::string target = std::string("/proc/self/fd/") + (std_stream[3] == 'i'   ? "0"
                                                              : std_stream[3] == 'o' ? "1"
                                                                                     : "2");
        if (::symlink(target.c_str(), (dev + "/" + std_stream).c_str()) != 0)
            fail("symlink /dev/std");
    }
    make_dir(dev + "/shm", 01777);
    if (config.usb_stick && !config.usb_image)
        write_file(dev + "/" + config.usb_device, "");
}

// Only the entries the boot manager looks at, the eMMC and its partitions, and
// those of an image-backed USB stick, which hot-plug rules look at.
void place_sys(const std::string& root, const BoardConfig& config) {
    std::string sys = root + "/sys";
    if (::mount("sysfs", sys.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0)
        fail("mount /sys");
    make_dir(sys + "/block");
    if (config.emmc) {
        make_dir(sys + "/block/mmcblk0");
        for (const auto& partition : config.emmc_partitions)
            make_dir(sys + "/block/mmcblk0/mmcblk0p" + partition);
    }
    if (config.usb_stick && config.usb_image) {
        make_dir(sys + "/block/sda");
        if (!config.usb_partition.empty())
            make_dir(sys + "/block/sda/sda1");
    }
    if (::mount(nullptr, sys.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                nullptr) != 0)
        fail("read-only /sys");
}

void place_proc(const std::string& root) {
    std::string proc = root + "/proc";
    if (::mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fail("mount /proc");
    // Kernel settings stay out of reach even for root inside.
    for (const char* entry : {"/sys", "/sysrq-trigger", "/irq", "/bus"}) {
        std::string path = proc + entry;
        if (::access(path.c_str(), F_OK) == 0)
            bind(path, path, true);
    }
}

// Sanitizer reports of the programs inside land where the caller looks for them.
void place_sanitizer_logs(const std::string& root) {
    for (const char* name : sanitizer_variables) {
        const char* value = std::getenv(name);
        if (!value)
            continue;
        std::string options = std::string(":") + value;
        auto at = options.find(":log_path=");
        if (at == std::string::npos)
            continue;
        std::string path = options.substr(at + 10);
        path = path.substr(0, path.find(':'));
        std::string dir = path.substr(0, path.rfind('/'));
        if (dir.empty() || dir[0] != '/' || ::access(dir.c_str(), W_OK) != 0)
            continue;
        make_dirs(root + dir);
        bind(dir, root + dir);
    }
}

// The loop devices of an image-backed stick, attached for the run; their
// descriptors stay open (close-on-exec) for as long as this init lives.
void attach_usb_stick(const Options& options, const BoardConfig& config, BlockDevices& devices) {
    if (!config.usb_stick || !config.usb_image)
        return;
    std::string image = options.board + "/usb-stick.img";
    attach_loop_device(image, devices.usb_disk);
    if (config.usb_partition.empty())
        return;
    uint64_t range[2] = {};
    for (size_t i = 0; i < 2; ++i) {
        const char* text = i < config.usb_partition.size() ? config.usb_partition[i].c_str() : "";
        char* end = nullptr;
        errno = 0;
        range[i] = std::strtoull(text, &end, 0);
        if (*text == '\0' || *end != '\0' || errno != 0)
            fail("usb_partition wants an offset and a size in bytes");
    }
    attach_loop_device(image, devices.usb_partition, range[0], range[1]);
}

// Returns the loop device descriptor that keeps an image-backed /user
// attached for the run, or -1.
int build_root(const Options& options, const BoardConfig& config) {
    const std::string& root = options.root;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("make mounts private");
    if (::mount("vswitch", root.c_str(), "tmpfs", 0, "mode=0755,size=2g") != 0)
        fail("mount root tmpfs");
    for (const char* dir : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/etc", "/dev", "/proc",
                            "/sys", "/mnt", "/user", "/root", "/run", "/var", "/.vswitch/board",
                            "/.vswitch/bin", "/.vswitch/lib", "/.oldroot"})
        make_dirs(root + dir);
    make_dir(root + "/tmp", 01777);

    place_libraries(root);
    place_tools(root, options, config);
    place_etc(root);
    int user_loop = -1;
    BlockDevices devices;
    if (config.user_image)
        user_loop = attach_loop_device(options.board + "/emmc/mmcblk0p1.img", devices.user);
    attach_usb_stick(options, config, devices);
    place_dev(root, options, config, devices);
    place_sys(root, config);
    place_proc(root);

    bind(options.board, root + "/.vswitch/board");
    make_dir(options.board + "/user");
    make_dir(options.board + "/usb");
    if (!config.user_image)
        bind(options.board + "/user", root + "/user");
    place_sanitizer_logs(root);

    if (::syscall(SYS_pivot_root, root.c_str(), (root + "/.oldroot").c_str()) != 0)
        fail("pivot_root");
    if (::chdir("/") != 0)
        fail("chdir /");
    if (::umount2("/.oldroot", MNT_DETACH) != 0)
        fail("detach the old root");
    ::rmdir("/.oldroot");
    errno = 0;
    return user_loop;
}

void bring_up_loopback() {
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return;
    struct ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(sock, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        ::ioctl(sock, SIOCSIFFLAGS, &request);
    }
    ::close(sock);
}

void drop_capabilities() {
    for (int cap : dropped_capabilities)
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            fail("drop capability " + std::to_string(cap));
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);

    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        fail("capget");
    for (int cap : dropped_capabilities) {
        uint32_t bit = 1U << (cap % 32);
        data[cap / 32].effective &= ~bit;
        data[cap / 32].permitted &= ~bit;
        data[cap / 32].inheritable &= ~bit;
    }
    if (::syscall(SYS_capset, &header, data) != 0)
        fail("capset");
}

// ---- running the program -------------------------------------------------------------------

std::vector<std::string> program_environment(const Options& options) {
    std::vector<std::string> env = {"PATH=/sbin:/usr/sbin:/bin:/usr/bin",
                                    "HOME=/",
                                    "SHELL=/bin/sh",
                                    "TERM=" + options.term,
                                    "VSWITCH_BOARD=/.vswitch/board",
                                    "VSWITCH_TIME=" + options.time};
    if (!options.preload.empty())
        env.push_back("LD_PRELOAD=/.vswitch/lib/libvswitch-board.so");
    // A program built with the sanitizers keeps its options; the board's
    // library is preloaded ahead of the sanitizer runtime.
    for (const char* name : sanitizer_variables) {
        const char* value = std::getenv(name);
        std::string text = value ? value : "";
        if (std::string(name) == "ASAN_OPTIONS")
            text += std::string(text.empty() ? "" : ":") + "verify_asan_link_order=0";
        if (!text.empty())
            env.push_back(std::string(name) + "=" + text);
    }
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

void default_signals() {
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            std::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

int report_fd = -1;

void report(const std::string& line) {
    std::string text = line + "\n";
    ssize_t ignored = ::write(report_fd, text.data(), text.size());
    (void)ignored;
}

int wait_for(pid_t child) {
    int status = 0;
    for (;;) {
        pid_t pid = ::waitpid(-1, &status, 0);
        if (pid == child)
            return status;
        if (pid < 0 && errno != EINTR)
            return -1;
    }
}

// The USB stick is in its socket at power-on: the hot-plug handler runs
// usb-mount; without one, the stick appears mounted as usb-mount would leave it.
void plug_in_usb_stick(const Options& options) {
    if (options.usb_mount.empty()) {
        make_dir("/mnt/usb");
        bind("/.vswitch/board/usb", "/mnt/usb");
        make_dir("/tmp/usb");
        return;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        default_signals();
        std::vector<std::string> argv = {"/sbin/usb-mount", "mount"};
        auto env_strings = program_environment(options);
        ::execve(argv[0].c_str(), pointers(argv).data(), pointers(env_strings).data());
        _exit(127);
    }
    if (pid > 0)
        wait_for(pid);
}

// A look at the switch once the program has ended, before the sandbox goes
// down: a bash script, its output in after.log in the board directory. It
// runs without the board's library, so nothing of it is recorded.
void run_after(const std::string& script) {
    pid_t pid = ::fork();
    if (pid == 0) {
        default_signals();
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open("/.vswitch/board/after.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0)
            _exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<std::string> argv = {"/bin/bash", "-c", script};
        std::vector<std::string> env = {"PATH=/sbin:/usr/sbin:/bin:/usr/bin", "HOME=/"};
        ::execve(argv[0].c_str(), pointers(argv).data(), pointers(env).data());
        _exit(127);
    }
    if (pid > 0)
        wait_for(pid);
}

[[noreturn]] void run_init(const Options& options, const BoardConfig& config, pid_t outer) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (::getppid() != 0 && ::getppid() != outer)
        _exit(1);
    try {
        errno = 0;
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWIPC) != 0)
            fail("unshare");
        // Held open (close-on-exec) for as long as this init lives.
        int user_loop = build_root(options, config);
        (void)user_loop;
        ::sethostname("switch", 6);
        bring_up_loopback();
        drop_capabilities();
        if (config.usb_stick && options.usb_handling)
            plug_in_usb_stick(options);
    } catch (const SetupError& error) {
        report("error: " + error.what());
        _exit(1);
    }

    std::string program = options.program[0];
    std::vector<std::string> argv = options.program;
    argv[0] = "/sbin/" + program.substr(program.rfind('/') + 1);
    auto env = program_environment(options);
    pid_t child = ::fork();
    if (child == 0) {
        default_signals();
        ::setsid();
        if (::ioctl(0, TIOCSCTTY, 1) != 0) {
            report(std::string("error: console: ") + std::strerror(errno));
            _exit(127);
        }
        if (!options.stderr_file.empty()) {
            int fd = ::open(options.stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0 && fd != 2) {
                ::dup2(fd, 2);
                ::close(fd);
            }
        }
        if (!options.stdout_file.empty()) {
            int fd = ::open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0 && fd != 1) {
                ::dup2(fd, 1);
                ::close(fd);
            }
        }
        if (config.sigchld_ignored)
            std::signal(SIGCHLD, SIG_IGN);
        ::execve(argv[0].c_str(), pointers(argv).data(), pointers(env).data());
        report("error: cannot run " + argv[0] + ": " + std::strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        report(std::string("error: fork: ") + std::strerror(errno));
        _exit(1);
    }
    int status = wait_for(child);
    if (WIFEXITED(status))
        report("exit " + std::to_string(WEXITSTATUS(status)));
    else if (WIFSIGNALED(status))
        report("signal " + std::to_string(WTERMSIG(status)));
    else
        report("error: lost the program");
    if (!options.after.empty())
        run_after(options.after);
    _exit(0);
}

// ---- the outer process ---------------------------------------------------------------------

volatile sig_atomic_t init_pid = 0;

void kill_init(int) {
    if (init_pid > 0)
        ::kill(init_pid, SIGKILL);
}

int usage() {
    std::fprintf(stderr,
                 "usage: vswitch-sandbox --board DIR --root DIR [--console PTS] [--serial PTS]\n"
                 "       [--preload LIB] [--time virtual|real] [--fake-tool FILE]\n"
                 "       [--usb-mount FILE] [--report FILE] [--term NAME] [--stderr FILE]\n"
                 "       [--stdout FILE] [--usb-handling yes|no] [--after SCRIPT]\n"
                 "       [--env NAME=VALUE]\n"
                 "       -- PROGRAM [ARGS...]\n");
    return 2;
}

bool parse(int argc, char** argv, Options& options) {
    std::map<std::string, std::string*> values = {
        {"--board", &options.board},         {"--root", &options.root},
        {"--console", &options.console},     {"--serial", &options.serial},
        {"--preload", &options.preload},     {"--time", &options.time},
        {"--fake-tool", &options.fake_tool}, {"--usb-mount", &options.usb_mount},
        {"--report", &options.report},       {"--term", &options.term},
        {"--stderr", &options.stderr_file},  {"--stdout", &options.stdout_file},
        {"--after", &options.after}};
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc)
            return false;
        if (arg == "--env")
            options.env.push_back(argv[++i]);
        else if (arg == "--usb-handling")
            options.usb_handling = yes(argv[++i]);
        else if (values.count(arg))
            *values[arg] = argv[++i];
        else
            return false;
    }
    for (; i < argc; ++i)
        options.program.push_back(argv[i]);
    return !options.board.empty() && !options.root.empty() && !options.program.empty() &&
           !options.fake_tool.empty();
}

std::string absolute(const std::string& path) {
    if (path.empty())
        return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string out = resolved;
    std::free(resolved);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options))
        return usage();
    if (::geteuid() != 0) {
        std::fprintf(stderr, "vswitch-sandbox: must run as root\n");
        return 2;
    }
    for (auto* path : {&options.board, &options.root, &options.preload, &options.fake_tool,
                       &options.usb_mount, &options.program[0]})
        *path = absolute(*path);
    if (options.console.empty()) {
        char link[256] = {};
        if (::readlink("/proc/self/fd/0", link, sizeof link - 1) > 0)
            options.console = link;
    }
    BoardConfig config = read_board_config(options.board);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return 2;
    report_fd = pipe_fds[1];

    struct sigaction on_stop {};
    on_stop.sa_handler = kill_init;
    sigemptyset(&on_stop.sa_mask);
    for (int sig : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(sig, &on_stop, nullptr);

    // Only the child enters the new PID namespace: this process must stay
    // able to start processes of its own after the namespace has died (a
    // leak checker does so at exit).
    pid_t outer = ::getpid();
    pid_t pid = static_cast<pid_t>(
        ::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
    if (pid == 0) {
        ::close(pipe_fds[0]);
        run_init(options, config, outer);
    }
    if (pid < 0) {
        std::perror("vswitch-sandbox: clone");
        return 2;
    }
    init_pid = pid;
    ::close(pipe_fds[1]);

    std::string outcome;
    char buffer[512];
    for (;;) {
        ssize_t got = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (got > 0)
            outcome.append(buffer, got);
        else if (got == 0 || errno != EINTR)
            break;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (outcome.empty())
        outcome = "killed\n";
    if (!options.report.empty()) {
        std::ofstream out(options.report, std::ios::trunc);
        out << outcome;
    }
    if (outcome.rfind("error:", 0) == 0) {
        std::fprintf(stderr, "vswitch-sandbox: %s", outcome.c_str() + 7);
        return 2;
    }
    return 0;
}
