// What every process of the virtual switch is sealed in before it starts:
// the capability allowlist, no new privileges and the system call filter.
#pragma once

#include <cstdint>
#include <string>

namespace vswitch::sandbox {

// The capabilities the switch's programs keep, as a mask of capability bits.
uint64_t kept_capabilities();

// Seals the calling process (and whatever it starts): it enters the switch's
// user namespace (whose identity maps keep its uid and gid), so that it holds
// no capability in this machine's; every capability set limited to the
// allowlist, no new privileges, and the filter that refuses
// the system calls reaching past the switch. Mount requests are not refused
// but handed to the returned descriptor, which the sandbox's init answers.
// Returns -1 with `error` set when the process could not be sealed.
[[nodiscard]] int confine(int user_namespace, std::string& error);

} // namespace vswitch::sandbox
