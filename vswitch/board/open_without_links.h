// Files of a switch directory written from outside the switch (tests, the
// vswitch command) as root. The switch writes in its directory, so any name
// below it may have become a symbolic link to this machine's own files: such
// a path is refused (ELOOP or ENOTDIR), never followed. Callers hand in
// absolute paths that hold no link of their own (Board and VirtualSwitch keep
// their folder canonical).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace vswitch {

inline platform::UniqueFd open_without_links(const std::string& path, int flags, mode_t mode = 0) {
    // Walked a name at a time rather than with openat2, which qemu-user (the
    // target build's tests) does not offer; the first name by its absolute
    // path, as qemu-user takes a lone "/" for its target library folder.
    size_t start = path.find('/', 1);
    if (start == std::string::npos)
        return platform::UniqueFd(::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
    platform::UniqueFd dir(
        ::open(path.substr(0, start).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    ++start;
    for (size_t slash; dir.valid() && (slash = path.find('/', start)) != std::string::npos;
         start = slash + 1)
        if (slash > start)
            dir = platform::UniqueFd(::openat(dir.get(), path.substr(start, slash - start).c_str(),
                                              O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid())
        return dir;
    return platform::UniqueFd(
        ::openat(dir.get(), path.substr(start).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
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
