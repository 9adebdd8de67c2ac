#include "emulation.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/unique_fd.h"

namespace vswitch::sandbox {

namespace {

constexpr size_t EI_CLASS_AT = 4, EI_DATA_AT = 5, EI_OSABI_AT = 7, E_TYPE_AT = 16,
                 E_MACHINE_AT = 18;
constexpr char ELF_BIG_ENDIAN = 2;

bool is_elf(const std::string& header) {
    return header.size() == ELF_HEADER_START && header.compare(0, 4,
                                                               "\x7f"
                                                               "ELF") == 0;
}

std::string escaped(const std::string& bytes) {
    std::string out;
    char hex[5];
    for (unsigned char byte : bytes) {
        std::snprintf(hex, sizeof hex, "\\x%02x", byte);
        out += hex;
    }
    return out;
}

int failed(std::string& error, const std::string& what) {
    error = what + ": " + std::strerror(errno);
    return -1;
}

} // namespace

std::string elf_header_start(const std::string& path) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string header(ELF_HEADER_START, '\0');
    if (!fd.valid() || ::read(fd.get(), header.data(), header.size()) != ssize_t(header.size()))
        return {};
    return is_elf(header) ? header : std::string();
}

bool other_machine(const std::string& header, const std::string& host_header) {
    if (!is_elf(header) || !is_elf(host_header))
        return false;
    for (size_t at : {EI_CLASS_AT, EI_DATA_AT, E_MACHINE_AT, E_MACHINE_AT + 1})
        if (header[at] != host_header[at])
            return true;
    return false;
}

std::string binfmt_rule(const std::string& name, const std::string& header,
                        const std::string& emulator) {
    // Any OS/ABI byte; executables (ET_EXEC 2) and position-independent ones
    // or libraries (ET_DYN 3) alike: the low bit of the type's low byte.
    std::string mask(ELF_HEADER_START, '\xff');
    mask[EI_OSABI_AT] = '\0';
    mask[header[EI_DATA_AT] == ELF_BIG_ENDIAN ? E_TYPE_AT + 1 : E_TYPE_AT] = '\xfe';
    std::string magic = header;
    for (size_t i = 0; i < magic.size(); ++i)
        magic[i] = static_cast<char>(magic[i] & mask[i]);
    return ":" + name + ":M::" + escaped(magic) + ":" + escaped(mask) + ":" + emulator + ":F\n";
}

int register_emulator(const std::string& rule, std::string& error) {
    // Mounting needs a mount namespace that this user namespace owns.
    if (::unshare(CLONE_NEWNS) != 0)
        return failed(error, "mount namespace for the emulator");
    platform::UniqueFd context(::fsopen("binfmt_misc", FSOPEN_CLOEXEC));
    if (!context.valid() || ::fsconfig(context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0))
        return failed(error, "binfmt_misc for the emulator (Linux 6.7 or later)");
    platform::UniqueFd mount(::fsmount(context.get(), FSMOUNT_CLOEXEC, 0));
    if (!mount.valid())
        return failed(error, "mount binfmt_misc");
    platform::UniqueFd registry(::openat(mount.get(), "register", O_WRONLY | O_CLOEXEC));
    if (!registry.valid() ||
        ::write(registry.get(), rule.data(), rule.size()) != ssize_t(rule.size()) ||
        ::close(registry.release()) != 0)
        return failed(error, "register the emulator");
    return mount.release();
}

} // namespace vswitch::sandbox
