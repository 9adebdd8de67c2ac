// Programs of the switch built for its own CPU, run here under a user-mode
// emulator: the kernel hands them to the emulator through a binfmt_misc
// instance of the switch's user namespace, which only the switch's processes
// consult, so this machine's own programs and registrations stay as they are.
#pragma once

#include <string>

namespace vswitch::sandbox {

// The first bytes of an ELF file that say what it runs on: identification
// (class, byte order, version, ABI) and file type and machine.
constexpr size_t ELF_HEADER_START = 20;

// Those bytes of the file; empty when it is no ELF file (a script) or cannot
// be read.
std::string elf_header_start(const std::string& path);

// True when both are ELF and name another class, byte order or machine.
bool other_machine(const std::string& header, const std::string& host_header);

// The binfmt_misc rule that hands executables and shared objects with this
// machine's header to `emulator`. The emulator is opened when the rule is
// registered ("F"), so it need not be inside the switch's root.
std::string binfmt_rule(const std::string& name, const std::string& header,
                        const std::string& emulator);

// In the calling process, which must hold CAP_SYS_ADMIN in its (new) user
// namespace: a mount namespace of its own, a binfmt_misc instance of that
// user namespace with `rule` registered. Returns the instance's detached
// mount, which keeps the rule alive while it is open, or -1 with `error` set.
[[nodiscard]] int register_emulator(const std::string& rule, std::string& error);

} // namespace vswitch::sandbox
