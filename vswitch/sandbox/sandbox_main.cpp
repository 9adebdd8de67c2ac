// vswitch-sandbox: runs one program of the switch (the boot manager, usb-mount
// or a test binary) sealed off from this machine.
//
// The program gets new PID, mount, network, UTS, IPC and cgroup namespaces
// and a private root built for this run on a tmpfs: the program, a bash as
// /bin/sh, the real tools that are cheap to have, recording fakes for every
// tool that could touch the machine, a small /sys with the eMMC entries the
// board has, a /proc whose views of the machine's kernel are masked or
// read-only, and the board directory. Every bind is nosuid, and nodev but
// for the device nodes the switch has.
//
// The sandbox's init builds that root and stays outside the seal; every
// process of the switch is sealed (confine.h): it enters a user namespace of
// the switch's own and keeps only an allowlist of capabilities there, none in
// this machine's (so a real "date" or "reboot" cannot reach the machine's
// clock or power, nor anything a mount or a device would reach), no new
// privileges, and a system call filter. The mounts the switch legitimately
// makes (its eMMC partitions and USB stick) init makes for it
// (mount_broker.h). The run as a whole is bounded in processes and memory (a
// cgroup of its own where this machine offers one). No descriptor of the
// caller's beyond standard input, output and error reaches the switch.
//
// The switch's network namespace belongs to that user namespace. Its "eth0"
// is one end of a veth pair; the other end, "peer0", lives in a second new
// network namespace, the peer, which gets an address (peer_address, by
// default 192.0.2.1/24), its link up or down (peer_link) and, when
// vswitch.conf names one, a bash command for the run (peer_command, its
// output in peer.log; it runs with this machine's files as the test bed's own
// server). Once the program has ended, the switch's addresses, routes and
// links go to net-state in the board directory.
//
// Programs built for the switch's own CPU (the program, usb-mount, the
// board's library) run under the emulator --emulator names, registered for
// the switch's user namespace only (emulation.h), with that CPU's libraries
// from --guest-libraries, bound read-only at the same path.
//
// Standard input, output and error are the console terminal; the program
// becomes a session leader with that terminal as its controlling terminal, so
// a Ctrl-C typed there interrupts it as on the switch's serial console.
//
// The board directory collects what the fakes record (tools.log, appos/); its
// private/ folder, which the switch never sees, configures the run
// (vswitch.conf, tools/) and holds the disk images. The switch writes in the
// board directory, so nothing in it is reached through a symbolic link. The
// outcome is written to the report file: "exit N", "signal N", "killed" or
// "error: <reason>".
#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <linux/openat2.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "confine.h"
#include "emulation.h"
#include "mount_broker.h"
#include "platform/unique_fd.h"

#ifndef VSWITCH_FAKE_TOOL
#define VSWITCH_FAKE_TOOL ""
#endif

namespace sandbox = vswitch::sandbox;

namespace {

// Where the fakes stand, as the boot manager and usb-mount name them.
const std::map<std::string, std::string> fake_tools = {
    {"reboot", "/sbin/reboot"},
    {"date", "/bin/date"},
    {"mount", "/bin/mount"},
    {"umount", "/bin/umount"},
    {"e2fsck", "/sbin/e2fsck"},
    {"mkfs.ext3", "/sbin/mkfs.ext3"},
    {"sfdisk", "/sbin/sfdisk"},
    {"resize2fs", "/sbin/resize2fs"},
    {"dhclient", "/bin/dhclient"},
    {"ifconfig", "/sbin/ifconfig"},
    {"route", "/sbin/route"},
    {"tftp", "/usr/bin/tftp"},
    {"rx", "/usr/bin/rx"},
    {"gdbserver", "/bin/gdbserver"},
    {"backtrace", "/bin/backtrace"},
    {"busybox", "/bin/busybox"},
    {"ip", "/sbin/ip"},
};

// Real tools of the boot root filesystem that cost nothing to have.
const char* const real_tools[] = {"tar",   "gzip", "gunzip", "zcat",  "md5sum", "mkdir", "rm",
                                  "cp",    "mv",   "cat",    "chmod", "touch",  "ls",    "sleep",
                                  "rmdir", "sync", "ln",     "echo",  "true",   "false", "head",
                                  "tail",  "grep", "sed",    "dd",    "env",    "stat",  "wc",
                                  "cmp",   "sort", "id",     "uname", "find",   "mktemp"};

// The part of the board directory the switch never sees.
const char* const PRIVATE_DIR = "private";

// Per run: enough for the boot manager, its shells and tools, and a tmpfs root
// full of unpacked images; a fork bomb or a runaway allocation stops there.
const char* const PIDS_MAX = "1024";
constexpr uint64_t MEMORY_MAX = 3ULL << 30;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED_BUILD = true;
#elif defined(__has_feature)
constexpr bool SANITIZED_BUILD = __has_feature(address_sanitizer);
#else
constexpr bool SANITIZED_BUILD = false;
#endif

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
    std::string emulator;        // runs programs built for another CPU
    std::string guest_libraries; // that CPU's dynamic loader and libraries
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
    // The far end of the switch's eth0, in a network namespace of its own:
    // its address, whether its link is up, and a bash command run there for
    // the run (a server the switch talks to), its output in peer.log.
    std::string peer_address = "192.0.2.1/24";
    bool peer_link_up = true;
    std::string peer_command;
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

// ---- the switch directory ------------------------------------------------------------------

// The board directory, opened once by the path the caller gave. The switch
// writes in it, so everything in it is reached beneath it without following
// a symbolic link (even as the last component) or crossing out of it.
platform::UniqueFd switch_dir;

// With programs built for another CPU: the rule that hands them to the
// emulator, and the switch's binfmt_misc instance that holds it for the run.
std::string emulator_rule;
platform::UniqueFd emulator_registry;
// False when the board's library is built for the switch's CPU and the
// program is this machine's (a shell, as the hot-plug mechanism): it starts
// without the library, as the commands of an emulated program do.
bool program_takes_preload = true;

const char* const PRELOAD_SETTING = "LD_PRELOAD=/.vswitch/lib/libvswitch-board.so";

platform::UniqueFd open_in_switch(const std::string& path, int flags, mode_t mode = 0) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return platform::UniqueFd(
        static_cast<int>(::syscall(SYS_openat2, switch_dir.get(), path.c_str(), &how, sizeof how)));
}

// A regular file of the switch directory, or none (errno set).
platform::UniqueFd open_switch_file(const std::string& path, int flags) {
    platform::UniqueFd fd = open_in_switch(path, flags);
    struct stat info {};
    if (fd.valid() && (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))) {
        fd.reset();
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    }
    return fd;
}

// A folder of the switch directory (made when missing), held open as a path.
platform::UniqueFd switch_folder(const std::string& path) {
    if (::mkdirat(switch_dir.get(), path.c_str(), 0755) != 0 && errno != EEXIST)
        fail("mkdir " + path + " in the board directory");
    platform::UniqueFd fd = open_in_switch(path, O_PATH | O_DIRECTORY);
    if (!fd.valid())
        fail(path + " in the board directory");
    errno = 0;
    return fd;
}

std::string fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string read_fd(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

BoardConfig read_board_config() {
    BoardConfig config;
    platform::UniqueFd fd = open_switch_file(std::string(PRIVATE_DIR) + "/vswitch.conf", O_RDONLY);
    if (!fd.valid() && errno != ENOENT)
        fail("vswitch.conf");
    errno = 0;
    std::istringstream in(fd.valid() ? read_fd(fd.get()) : std::string());
    fd.reset();
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
        else if (key[0] == "peer_address")
            config.peer_address = first;
        else if (key[0] == "peer_link")
            config.peer_link_up = first != "down";
        else if (key[0] == "peer_command")
            config.peer_command = value;
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
    platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid())
        fail("create " + path);
    bool ok = ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    fd.reset();
    if (!ok)
        fail("write " + path);
}

void copy_file(const std::string& from, const std::string& to, mode_t mode) {
    platform::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        fail("open " + from);
    platform::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!out.valid())
        fail("create " + to);
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(in.get(), buffer, sizeof buffer);
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (::write(out.get(), buffer, got) != got) {
            ok = false;
            break;
        }
    }
    in.reset();
    out.reset();
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

void bind_mount(const std::string& from, const std::string& to, bool read_only = false,
                unsigned long seals = MS_NOSUID | MS_NODEV) {
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail("bind " + from + " on " + to);
    if (::mount(nullptr, to.c_str(), nullptr,
                MS_BIND | MS_REMOUNT | seals | (read_only ? MS_RDONLY : 0), nullptr) != 0)
        fail("seal " + to);
}

// A device node: it must stay usable, so only nosuid and noexec.
void bind_node(const std::string& from, const std::string& to) {
    write_file(to, "");
    bind_mount(from, to, false, MS_NOSUID | MS_NOEXEC);
}

// The /user partition or the USB stick as a real block device: the image (a
// regular file in the private part of the board directory), or the byte
// range of it that size_limit, when not 0, bounds, on a free loop device,
// detached by the kernel once the last user (this run) lets go of it.
platform::UniqueFd attach_loop_device(const std::string& image, std::string& device,
                                      uint64_t offset = 0, uint64_t size_limit = 0) {
    platform::UniqueFd backing = open_switch_file(std::string(PRIVATE_DIR) + "/" + image, O_RDWR);
    if (!backing.valid())
        fail("disk image " + image);
    platform::UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control.valid())
        fail("open /dev/loop-control");
    platform::UniqueFd loop;
    for (int attempt = 0; attempt < 50 && !loop.valid(); ++attempt) {
        int index = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (index < 0)
            break;
        device = "/dev/loop" + std::to_string(index);
        platform::UniqueFd fd(::open(device.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.valid())
            continue;
        loop_config config{};
        config.fd = static_cast<uint32_t>(backing.get());
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        config.info.lo_offset = offset;
        config.info.lo_sizelimit = size_limit;
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(),
                     LO_NAME_SIZE - 1);
        // One taken by someone else meanwhile is closed: try the next one.
        if (::ioctl(fd.get(), LOOP_CONFIGURE, &config) == 0)
            loop = std::move(fd);
    }
    control.reset();
    backing.reset();
    if (!loop.valid())
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
            bind_mount(dir, target, true);
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
    // The fakes' own helpers, and what reads the network state back, off the
    // program's PATH. rx is the XMODEM receiver an rx effect may run on the
    // serial line, which on the board is the console itself.
    for (const char* tool : {"mount", "umount", "mountpoint", "ip", "rx"}) {
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

// How the fakes behave (tools/<name>.status and .effect): copied in, so that
// the switch never reaches the private part of its directory.
void place_tool_settings(const std::string& root) {
    const std::string folder = std::string(PRIVATE_DIR) + "/tools";
    platform::UniqueFd dir_fd = open_in_switch(folder, O_RDONLY | O_DIRECTORY);
    if (!dir_fd.valid()) {
        if (errno != ENOENT)
            fail(folder);
        errno = 0;
        return;
    }
    DIR* dir = ::fdopendir(dir_fd.get());
    if (!dir)
        fail(folder);
    dir_fd.release(); // the stream owns it now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_type == DT_REG)
            names.push_back(entry->d_name);
    ::closedir(dir);
    for (const auto& name : names) {
        platform::UniqueFd fd = open_switch_file(folder + "/" + name, O_RDONLY);
        if (!fd.valid())
            fail(folder + "/" + name);
        std::string text = read_fd(fd.get());
        fd.reset();
        write_file(root + "/.vswitch/tools/" + name, text);
    }
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
    std::string user;                     // mmcblk0p1
    std::string usb_disk;                 // sda
    std::string usb_partition;            // sda1
    std::vector<platform::UniqueFd> held; // their descriptors, open (close-on-exec) for the run
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

// Views of this machine's kernel: masked by an empty read-only file or folder.
const char* const masked_proc_files[] = {
    "kcore",     "kmsg",        "kallsyms",   "sysrq-trigger", "timer_list",  "sched_debug",
    "keys",      "key-users",   "kpagecount", "kpageflags",    "kpagecgroup", "latency_stats",
    "config.gz", "vmallocinfo", "modules",    "slabinfo",      "iomem",       "ioports"};
const char* const masked_proc_dirs[] = {"acpi", "scsi", "irq", "bus", "driver", "fs", "tty"};

void place_proc(const std::string& root) {
    std::string proc = root + "/proc";
    if (::mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fail("mount /proc");
    const std::string empty_file = root + "/.vswitch/masked";
    write_file(empty_file, "", 0444);
    for (const char* entry : masked_proc_files) {
        std::string path = proc + "/" + entry;
        if (::access(path.c_str(), F_OK) == 0)
            bind_mount(empty_file, path, true, MS_NOSUID | MS_NODEV | MS_NOEXEC);
    }
    for (const char* entry : masked_proc_dirs) {
        std::string path = proc + "/" + entry;
        if (::access(path.c_str(), F_OK) == 0 &&
            ::mount("masked", path.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    "size=4k,mode=0555") != 0)
            fail("mask " + path);
    }
    // Kernel settings stay readable, never writable, even for root inside.
    bind_mount(proc + "/sys", proc + "/sys", true, MS_NOSUID | MS_NODEV | MS_NOEXEC);
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
        bind_mount(dir, root + dir);
    }
}

// Mounts the switch makes go through init (mount_broker.h).
sandbox::MountBroker broker;

// A loop device for the switch: held open for the run, and one the switch
// may mount.
void attach(const std::string& image, std::string& device, BlockDevices& devices,
            uint64_t offset = 0, uint64_t size_limit = 0) {
    devices.held.push_back(attach_loop_device(image, device, offset, size_limit));
    struct stat info {};
    if (::fstat(devices.held.back().get(), &info) != 0)
        fail("stat " + device);
    broker.allow_device(info.st_rdev);
}

// The loop devices of an image-backed stick, attached for the run.
void attach_usb_stick(const BoardConfig& config, BlockDevices& devices) {
    if (!config.usb_stick || !config.usb_image)
        return;
    const std::string image = "usb-stick.img";
    attach(image, devices.usb_disk, devices);
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
    attach(image, devices.usb_partition, devices, range[0], range[1]);
}

// The board directory on /.vswitch/board, its private part hidden under an
// empty read-only folder, and its user/ folder on /user unless /user is an
// image. Each folder is bound by descriptor: a link the switch left in its
// directory leads nowhere.
void place_board(const std::string& root, const BoardConfig& config) {
    // Hidden in this mount namespace before the (recursive) bind copies it.
    platform::UniqueFd hidden = switch_folder(PRIVATE_DIR);
    if (::mount("private", fd_path(hidden.get()).c_str(), "tmpfs",
                MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=4k,mode=0500") != 0)
        fail("hide the private part of the board directory");
    hidden.reset();
    bind_mount(fd_path(switch_dir.get()), root + "/.vswitch/board");
    switch_folder("usb"); // the stand-in stick's files
    const platform::UniqueFd user = switch_folder("user");
    if (!config.user_image)
        bind_mount(fd_path(user.get()), root + "/user");
}

void build_root(const Options& options, const BoardConfig& config, BlockDevices& devices) {
    const std::string& root = options.root;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("make mounts private");
    if (::mount("vswitch", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=2g") != 0)
        fail("mount root tmpfs");
    // Mounts on it must be made through this namespace's own.
    platform::UniqueFd board(::open(options.board.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!board.valid())
        fail("board directory " + options.board);
    switch_dir = std::move(board);
    for (const char* dir : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/etc", "/dev", "/proc",
                            "/sys", "/mnt", "/user", "/root", "/run", "/var", "/.vswitch/board",
                            "/.vswitch/bin", "/.vswitch/lib", "/.vswitch/tools", "/.oldroot"})
        make_dirs(root + dir);
    make_dir(root + "/tmp", 01777);

    place_libraries(root);
    if (!emulator_rule.empty() && !options.guest_libraries.empty()) {
        make_dirs(root + options.guest_libraries);
        bind_mount(options.guest_libraries, root + options.guest_libraries, true);
    }
    place_tools(root, options, config);
    place_tool_settings(root);
    place_etc(root);
    if (config.user_image)
        attach("emmc/mmcblk0p1.img", devices.user, devices);
    attach_usb_stick(config, devices);
    place_dev(root, options, config, devices);
    place_sys(root, config);
    place_proc(root);
    place_board(root, config);
    place_sanitizer_logs(root);

    if (::syscall(SYS_pivot_root, root.c_str(), (root + "/.oldroot").c_str()) != 0)
        fail("pivot_root");
    if (::chdir("/") != 0)
        fail("chdir /");
    if (::umount2("/.oldroot", MNT_DETACH) != 0)
        fail("detach the old root");
    ::rmdir("/.oldroot");
    switch_dir.reset();
    errno = 0;
}

void bring_up_loopback() {
    const platform::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid())
        return;
    struct ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        ::ioctl(sock.get(), SIOCSIFFLAGS, &request);
    }
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
        env.push_back(PRELOAD_SETTING);
    // Where the emulator finds the other CPU's dynamic loader and libraries.
    if (!emulator_rule.empty() && !options.guest_libraries.empty())
        env.push_back("QEMU_LD_PREFIX=" + options.guest_libraries);
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

// A process of the switch, sealed, and the descriptor its mount requests
// arrive on.
struct Confined {
    pid_t pid = -1;
    int listener = -1;
};

// One byte carrying one descriptor over a Unix socket, in either direction.
struct DescriptorMessage {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};

    DescriptorMessage() {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = space;
        message.msg_controllen = sizeof space;
    }
    DescriptorMessage(const DescriptorMessage&) = delete; // points into itself
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};

void send_descriptor(int socket, int fd) {
    DescriptorMessage m;
    cmsghdr* header = CMSG_FIRSTHDR(&m.message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    (void)::sendmsg(socket, &m.message, MSG_NOSIGNAL);
}

int receive_descriptor(int socket) {
    DescriptorMessage m;
    if (::recvmsg(socket, &m.message, MSG_CMSG_CLOEXEC) <= 0)
        return -1;
    cmsghdr* header = CMSG_FIRSTHDR(&m.message);
    if (!header || header->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

// ---- the switch's network ------------------------------------------------------------------

// The switch's user namespace, which owns its network namespace: every
// process of the switch enters it as it is sealed (confine.h), so its network
// capabilities reach the switch's interfaces and nothing of this machine's.
platform::UniqueFd switch_user_ns;
// The peer's network namespace, held for the run: the veth pair would go
// with it once the peer's command ended.
platform::UniqueFd peer_net_ns;

const char* const PEER_PORT = "peer0";

// Runs a tool of this machine and waits for it: true when it exited with 0.
// Its error output stays on standard error, where a failed set-up shows.
bool run_host_tool(std::vector<std::string> argv) {
    argv[0] = host_tool(argv[0]);
    if (argv[0].empty())
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0)
            _exit(127);
        ::execv(argv[0].c_str(), pointers(argv).data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool send_byte(int socket, char byte) {
    return ::send(socket, &byte, 1, MSG_NOSIGNAL) == 1;
}

char receive_byte(int socket) {
    char byte = 0;
    return ::recv(socket, &byte, 1, 0) == 1 ? byte : 0;
}

// A process of init's in new namespaces (unshare flags). Init reaches them
// through `dir`, the helper's /proc folder (this PID namespace has no /proc
// of its own yet); `channel` carries init's go-ahead and the helper's answers.
struct Helper {
    pid_t pid = -1;
    platform::UniqueFd channel;
    platform::UniqueFd dir;
};

Helper start_helper(int flags, const std::function<void(int channel)>& then) {
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
        fail("socketpair");
    Helper helper;
    helper.channel.reset(sockets[0]);
    platform::UniqueFd theirs(sockets[1]);
    helper.pid = ::fork();
    if (helper.pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        helper.channel.reset();
        if (::unshare(flags) != 0)
            _exit(1);
        platform::UniqueFd self(::open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC));
        send_descriptor(theirs.get(), self.get());
        self.reset();
        then(theirs.get());
        _exit(0);
    }
    if (helper.pid < 0)
        fail("fork");
    theirs.reset();
    helper.dir.reset(receive_descriptor(helper.channel.get()));
    if (!helper.dir.valid())
        fail("namespaces for the network");
    return helper;
}

platform::UniqueFd open_of(const Helper& helper, const std::string& path, int flags) {
    platform::UniqueFd fd(::openat(helper.dir.get(), path.c_str(), flags | O_CLOEXEC));
    if (!fd.valid())
        fail(path + " of a network namespace");
    return fd;
}

// The peer, once its end of the pair is in: its address and link, then the
// configured command, with this machine's files, in the peer's namespace.
void run_peer(const BoardConfig& config, int channel) {
    if (receive_byte(channel) != 'g')
        _exit(1);
    const bool ok =
        run_host_tool({"ip", "link", "set", "lo", "up"}) &&
        run_host_tool({"ip", "address", "add", config.peer_address, "dev", PEER_PORT}) &&
        (!config.peer_link_up || run_host_tool({"ip", "link", "set", PEER_PORT, "up"}));
    send_byte(channel, ok ? 'y' : 'n');
    if (!ok || config.peer_command.empty())
        _exit(ok ? 0 : 1);
    const platform::UniqueFd log = open_in_switch("peer.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = ::open("/dev/null", O_RDONLY);
    if (!log.valid() || null < 0 || ::dup2(null, 0) < 0 || ::dup2(log.get(), 1) < 0 ||
        ::dup2(log.get(), 2) < 0)
        _exit(127);
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    std::vector<std::string> argv = {host_tool("bash"), "-c", config.peer_command};
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/"};
    ::execve(argv[0].c_str(), pointers(argv).data(), pointers(env).data());
    _exit(127);
}

// Init joins the switch's network namespace, owned by the switch's user
// namespace, and gives it eth0: one end of a veth pair whose other end is
// the peer's. Nothing is made in this machine's own namespace.
void set_up_network(const BoardConfig& config) {
    Helper peer = start_helper(CLONE_NEWNET, [&](int channel) { run_peer(config, channel); });
    peer_net_ns = open_of(peer, "ns/net", O_RDONLY);
    Helper own = start_helper(CLONE_NEWUSER | CLONE_NEWNET, [](int channel) {
        // Until init has what it needs; the emulator once the identity maps
        // are in, so that it is opened as root.
        if (receive_byte(channel) != 'e')
            return;
        std::string error;
        const platform::UniqueFd registry(sandbox::register_emulator(emulator_rule, error));
        if (registry.valid())
            send_descriptor(channel, registry.get());
        else
            report("error: " + error);
    });
    // Identity maps: files keep their owners, and root of the switch is root
    // to them.
    for (const char* map : {"uid_map", "gid_map"}) {
        const platform::UniqueFd fd = open_of(own, map, O_WRONLY);
        const std::string identity = "0 0 4294967295\n";
        if (::write(fd.get(), identity.data(), identity.size()) !=
            static_cast<ssize_t>(identity.size()))
            fail(std::string("write ") + map);
    }
    switch_user_ns = open_of(own, "ns/user", O_RDONLY);
    const platform::UniqueFd net = open_of(own, "ns/net", O_RDONLY);
    if (emulator_rule.empty()) {
        send_byte(own.channel.get(), 'q');
    } else {
        send_byte(own.channel.get(), 'e');
        emulator_registry.reset(receive_descriptor(own.channel.get()));
        errno = 0;
        if (!emulator_registry.valid())
            fail("no emulator for the switch's programs");
    }
    ::waitpid(own.pid, nullptr, 0);
    if (::setns(net.get(), CLONE_NEWNET) != 0)
        fail("enter the switch's network namespace");
    errno = 0;
    if (!run_host_tool({"ip", "link", "add", "eth0", "type", "veth", "peer", "name", PEER_PORT,
                        "netns", std::to_string(peer.pid)}))
        fail("veth pair for eth0 (is iproute2 installed?)");
    if (!send_byte(peer.channel.get(), 'g') || receive_byte(peer.channel.get()) != 'y')
        fail("peer end of eth0 at " + config.peer_address);
    errno = 0;
}

// Starts a program of the switch: `prepare` runs in the new process, which
// is then sealed and keeps no descriptor but its standard streams. A failure
// to seal or to start is reported when `report_failure` is set.
Confined start_confined(const std::function<void()>& prepare, std::vector<std::string> argv,
                        std::vector<std::string> env, bool report_failure) {
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
        return {};
    platform::UniqueFd ours(sockets[0]);
    platform::UniqueFd theirs(sockets[1]);
    pid_t pid = ::fork();
    if (pid == 0) {
        ours.reset();
        default_signals();
        prepare();
        std::string error;
        platform::UniqueFd listener(sandbox::confine(switch_user_ns.get(), error));
        if (!listener.valid()) {
            if (report_failure)
                report("error: " + error);
            _exit(127);
        }
        send_descriptor(theirs.get(), listener.get());
        listener.reset();
        theirs.reset();
        // The report pipe stays for a failed exec.
        ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execve(argv[0].c_str(), pointers(argv).data(), pointers(env).data());
        if (report_failure)
            report("error: cannot run " + argv[0] + ": " + std::strerror(errno));
        _exit(127);
    }
    theirs.reset();
    Confined confined{pid, -1};
    if (pid > 0)
        confined.listener = receive_descriptor(ours.get());
    return confined;
}

// Answers the process's mount requests and reaps orphans until it ends;
// returns its wait status, or -1.
int supervise(const Confined& run) {
    if (run.pid <= 0)
        return -1;
    const platform::UniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, run.pid, 0)));
    platform::UniqueFd listener(run.listener);
    int result = -1;
    for (;;) {
        int status = 0;
        pid_t pid = 0;
        while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0 && pid != run.pid) {
        }
        if (pid == run.pid)
            result = status;
        if (pid == run.pid || (pid < 0 && errno == ECHILD))
            break;
        pollfd watched[2] = {{ended.get(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
        if (::poll(watched, 2, 1000) <= 0)
            continue;
        if (watched[1].revents & POLLIN)
            broker.serve(listener.get());
        else if (watched[1].revents & (POLLHUP | POLLERR | POLLNVAL))
            listener.reset(); // nobody left under its filter
    }
    return result;
}

// The USB stick is in its socket at power-on: the hot-plug handler runs
// usb-mount; without one, the stick appears mounted as usb-mount would leave it.
void plug_in_usb_stick(const Options& options) {
    if (options.usb_mount.empty()) {
        make_dir("/mnt/usb");
        bind_mount(sandbox::STICK_FOLDER, "/mnt/usb");
        broker.adopt_mount("/mnt/usb");
        make_dir("/tmp/usb");
        return;
    }
    supervise(
        start_confined([] {}, {"/sbin/usb-mount", "mount"}, program_environment(options), false));
}

// A look at the switch once the program has ended, before the sandbox goes
// down: a bash script, its output in a file of the board directory. It runs
// without the board's library, so nothing of it is recorded.
void look_at_switch(const std::string& script, const std::string& output) {
    auto redirect = [&output] {
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(("/.vswitch/board/" + output).c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
        if (in < 0 || out < 0)
            _exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
    };
    supervise(start_confined(redirect, {"/bin/bash", "-c", script},
                             {"PATH=/sbin:/usr/sbin:/bin:/usr/bin", "HOME=/"}, false));
}

// What the program left configured on the switch's network, as "ip" shows it.
void record_network_state() {
    look_at_switch("ip=/.vswitch/bin/ip; $ip -o address; $ip route; $ip -o link", "net-state");
}

// The program's console and streams, set in its own process before it starts.
void attach_console(const Options& options, const BoardConfig& config) {
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
}

// The cgroup.procs files of the run's own cgroups (set up outside), which
// init joins before it enters its cgroup namespace; empty ones are skipped.
std::vector<std::string> run_cgroups;
bool memory_limited = false;

void enter_limits() {
    for (const auto& procs : run_cgroups)
        write_file(procs, "0");
    if (::unshare(CLONE_NEWCGROUP) != 0)
        fail("cgroup namespace");
    // Without a memory cgroup, address space is what can be bounded; the
    // sanitizers' shadow memory would never fit in it.
    bool sanitized = SANITIZED_BUILD;
    for (const char* name : sanitizer_variables)
        sanitized = sanitized || std::getenv(name);
    rlimit space{MEMORY_MAX, MEMORY_MAX};
    if (!memory_limited && !sanitized && ::setrlimit(RLIMIT_AS, &space) != 0)
        fail("limit memory");
}

[[noreturn]] void run_init(const Options& options, const BoardConfig& config, pid_t outer) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (::getppid() != 0 && ::getppid() != outer)
        _exit(1);
    // The switch's processes must not read or write this one's memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    BlockDevices devices; // held for as long as this init lives
    try {
        errno = 0;
        enter_limits();
        set_up_network(config);
        if (::unshare(CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC) != 0)
            fail("unshare");
        build_root(options, config, devices);
        ::sethostname("switch", 6);
        bring_up_loopback();
        if (config.usb_stick && options.usb_handling)
            plug_in_usb_stick(options);
    } catch (const SetupError& error) {
        report("error: " + error.what());
        _exit(1);
    }

    std::string program = options.program[0];
    std::vector<std::string> argv = options.program;
    argv[0] = "/sbin/" + program.substr(program.rfind('/') + 1);
    std::vector<std::string> env = program_environment(options);
    if (!program_takes_preload)
        env.erase(std::remove(env.begin(), env.end(), PRELOAD_SETTING), env.end());
    Confined child = start_confined([&] { attach_console(options, config); }, argv, env, true);
    if (child.pid < 0) {
        report(std::string("error: fork: ") + std::strerror(errno));
        _exit(1);
    }
    int status = supervise(child);
    if (status >= 0 && WIFEXITED(status))
        report("exit " + std::to_string(WEXITSTATUS(status)));
    else if (status >= 0 && WIFSIGNALED(status))
        report("signal " + std::to_string(WTERMSIG(status)));
    else
        report("error: lost the program");
    record_network_state();
    if (!options.after.empty())
        look_at_switch(options.after, "after.log");
    _exit(0);
}

// ---- per-run limits ------------------------------------------------------------------------

std::string read_file_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_text(const std::string& path, const std::string& text) {
    platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    bool ok = ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd.release()) == 0 && ok;
}

// This process's cgroup in the hierarchy that has the controller ("": the
// unified one), as a directory; empty when there is none.
std::string own_cgroup(const std::string& controller) {
    std::string mount_point;
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; mount_point.empty() && std::getline(mounts, line);) {
        auto fields = words(line);
        auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - dash < 4)
            continue;
        std::string options = "," + dash[3] + ",";
        if (controller.empty()
                ? dash[1] == "cgroup2"
                : dash[1] == "cgroup" && options.find("," + controller + ",") != std::string::npos)
            mount_point = fields[4];
    }
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; !mount_point.empty() && std::getline(groups, line);) {
        auto first = line.find(':');
        auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        std::string names = "," + line.substr(first + 1, second - first - 1) + ",";
        if (controller.empty() ? second == first + 1
                               : names.find("," + controller + ",") != std::string::npos) {
            std::string path = line.substr(second + 1);
            return mount_point + (path == "/" ? "" : path);
        }
    }
    return {};
}

std::vector<std::string> made_cgroups;

bool make_cgroup(const std::string& parent,
                 const std::vector<std::pair<std::string, std::string>>& limits) {
    if (parent.empty())
        return false;
    std::string dir = parent + "/vswitch-run." + std::to_string(::getpid());
    if (::mkdir(dir.c_str(), 0755) != 0)
        return false;
    for (const auto& [file, value] : limits)
        if (!write_text(dir + "/" + file, value)) {
            ::rmdir(dir.c_str());
            return false;
        }
    made_cgroups.push_back(dir);
    run_cgroups.push_back(dir + "/cgroup.procs");
    return true;
}

// A cgroup of the run's own under this process's: the unified hierarchy's
// when it hands out both controllers, else a version-1 one per controller.
// Controllers are never switched on for this machine's cgroups.
void set_up_limits() {
    const std::string memory = std::to_string(MEMORY_MAX);
    std::string unified = own_cgroup("");
    auto enabled =
        words(unified.empty() ? "" : read_file_text(unified + "/cgroup.subtree_control"));
    if (std::count(enabled.begin(), enabled.end(), "pids") &&
        std::count(enabled.begin(), enabled.end(), "memory") &&
        make_cgroup(unified, {{"pids.max", PIDS_MAX}, {"memory.max", memory}})) {
        memory_limited = true;
        return;
    }
    make_cgroup(own_cgroup("pids"), {{"pids.max", PIDS_MAX}});
    memory_limited = make_cgroup(own_cgroup("memory"), {{"memory.limit_in_bytes", memory}});
}

// Once the namespace has died, its last processes leave the cgroups shortly.
void remove_limits() {
    for (const auto& dir : made_cgroups)
        for (int attempt = 0; attempt < 100 && ::rmdir(dir.c_str()) != 0 && errno == EBUSY;
             ++attempt)
            ::usleep(20000);
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
                 "       [--emulator FILE [--guest-libraries DIR]] [--env NAME=VALUE]\n"
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
        {"--after", &options.after},         {"--emulator", &options.emulator}};
    values["--guest-libraries"] = &options.guest_libraries;
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

// The emulator's rule when a program of the run is built for another CPU
// than this machine's; empty when all are this machine's.
std::string emulation_rule(const Options& options) {
    const std::string host = sandbox::elf_header_start("/proc/self/exe");
    std::string guest;
    for (const auto* path : {&options.program[0], &options.usb_mount, &options.preload}) {
        const std::string header = path->empty() ? "" : sandbox::elf_header_start(*path);
        errno = 0;
        if (!sandbox::other_machine(header, host))
            continue;
        if (options.emulator.empty())
            fail(*path + " is built for another CPU and no --emulator runs it");
        if (!guest.empty() && sandbox::other_machine(header, guest))
            fail("programs for more than one other CPU");
        guest = header;
    }
    return guest.empty() ? "" : sandbox::binfmt_rule("vswitch-guest", guest, options.emulator);
}

bool preload_fits_program(const Options& options) {
    const std::string host = sandbox::elf_header_start("/proc/self/exe");
    auto guest = [&host](const std::string& path) {
        return sandbox::other_machine(sandbox::elf_header_start(path), host);
    };
    return options.preload.empty() || guest(options.preload) == guest(options.program[0]);
}

} // namespace

int main(int argc, char** argv) {
    // Nothing the caller holds open reaches the switch.
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    Options options;
    if (!parse(argc, argv, options))
        return usage();
    if (::geteuid() != 0) {
        std::fprintf(stderr, "vswitch-sandbox: must run as root\n");
        return 2;
    }
    for (auto* path :
         {&options.board, &options.root, &options.preload, &options.fake_tool, &options.usb_mount,
          &options.emulator, &options.guest_libraries, &options.program[0]})
        *path = absolute(*path);
    if (options.console.empty()) {
        char link[256] = {};
        if (::readlink("/proc/self/fd/0", link, sizeof link - 1) > 0)
            options.console = link;
    }
    BoardConfig config;
    try {
        switch_dir.reset(::open(options.board.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!switch_dir.valid())
            fail("board directory " + options.board);
        config = read_board_config();
        emulator_rule = emulation_rule(options);
        program_takes_preload = preload_fits_program(options);
    } catch (const SetupError& error) {
        std::fprintf(stderr, "vswitch-sandbox: %s\n", error.what().c_str());
        if (!options.report.empty())
            std::ofstream(options.report, std::ios::trunc) << "error: " << error.what() << "\n";
        return 2;
    }
    set_up_limits();

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
        remove_limits();
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
    remove_limits();
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
