// Files of a switch directory written from outside the switch (tests, the
// vswitch command) as root. The switch writes in its directory, so any name
// below it may have become a symbolic link to this machine's own files: such
// a path is refused (ELOOP), never followed. Callers hand in paths that hold
// no link of their own (Board and VirtualSwitch keep their folder canonical).
#pragma once

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace vswitch {

inline platform::UniqueFd open_without_links(const std::string& path, int flags, mode_t mode = 0) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return platform::UniqueFd(
        static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
}

// Replaces the file's contents; false when it cannot be opened or written.
inline bool write_without_links(const std::string& path, const void* data, size_t length) {
    platform::UniqueFd fd = open_without_links(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    auto bytes = static_cast<const char*>(data);
    while (fd.valid() && length > 0) {
        ssize_t done = ::write(fd.get(), bytes, length);
        if (done <= 0)
            return false;
        bytes += done;
        length -= static_cast<size_t>(done);
    }
    return fd.valid() && ::close(fd.release()) == 0;
}

} // namespace vswitch
