// The rescue dialogues that run tools: the TFTP download (management
// settings, server address, image file name) and the storage check's
// questions (update filesystem, recreate filesystem), with any of the tools
// failing. Input: flags (which dialogue; whether the download arrives; which
// eMMC partitions the kernel shows; whether the management port comes up),
// the commands that fail (32 bits), then
// the keys typed. /tmp and /sys/block are tmpfs in this process's own mount
// namespace.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rescue/downloads.h"
#include "rescue/filesystem.h"
#include "stubs/board.h"

namespace {

std::vector<std::vector<std::string>> commands;
bool sys_block = false; // /sys/block is this process's own tmpfs

void place(const char* path, bool present) {
    if (present)
        fuzz::require(fuzz::write_file(path, nullptr, 0));
    else
        ::unlink(path);
}

bool starts(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool ends(const std::string& text, const char* suffix) {
    const size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// The TFTP client gets the typed name as one argument; nothing meets a shell.
void check_download() {
    for (const auto& argv : commands) {
        fuzz::require(argv[0] != "sh");
        if (argv[0] != "tftp")
            continue;
        in_addr server{};
        fuzz::require(argv.size() == 7 && argv[1] == "-g" && argv[2] == "-r" &&
                      argv[3].size() >= 2 && argv[3].find('\n') == std::string::npos &&
                      argv[4] == "-l" && argv[5] == "/tmp/image" &&
                      ::inet_pton(AF_INET, argv[6].c_str(), &server) == 1);
    }
}

// The storage is remade only after the operator said yes, and never once a
// backup copy has failed.
void check_storage(bool said_yes, uint32_t failing) {
    bool backup_failed = false;
    for (size_t n = 0; n < commands.size(); ++n) {
        const std::string& line = commands[n].back();
        if (starts(line, "sfdisk") || starts(line, "mkfs"))
            fuzz::require(said_yes && !backup_failed);
        if (starts(line, "cp -a") && ends(line, "-backup/"))
            backup_failed = backup_failed || (n < 32 && (failing >> n & 1));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::require(::unshare(CLONE_NEWNS) == 0);
    fuzz::require(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    fuzz::require(::mount("fuzz-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0);
    // Where sysfs cannot be covered, the partitions are the machine's (read only).
    sys_block = ::mount("fuzz-sys", "/sys/block", "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0 &&
                ::mkdir("/sys/block/mmcblk0", 0755) == 0;
    fuzz_command_log = &commands;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5 || size > 4096)
        return 0;
    const uint8_t flags = data[0];
    place("/tmp/image", flags & 2);
    if (sys_block) {
        place("/sys/block/mmcblk0/mmcblk0p1", flags & 4);
        place("/sys/block/mmcblk0/mmcblk0p4", flags & 8);
    }
    fuzz_port_up = flags & 16;
    const uint32_t failing = data[1] | data[2] << 8 | data[3] << 16 | uint32_t{data[4]} << 24;
    fuzz_failing_commands = failing;
    fuzz_commands_run = 0;
    commands.clear();
    const uint8_t* keys = data + 5;
    const bool said_yes = std::memchr(keys, 'y', size - 5) || std::memchr(keys, 'Y', size - 5);
    fuzz::with_console(keys, size - 5, [&] {
        if (flags & 1)
            fuzz::require(rescue_filesystem_check() == 1);
        else
            static_cast<void>(rescue_tftp_download());
    });
    if (flags & 1)
        check_storage(said_yes, failing);
    else
        check_download();
    return 0;
}
