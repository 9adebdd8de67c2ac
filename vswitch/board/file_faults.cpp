// A listed path behaves as on a failing eMMC or a full filesystem:
//   file-missing  the open fails with ENOENT and creates nothing;
//   file-enospc   an open for writing creates or truncates the file as asked,
//                 but the descriptor is /dev/full's, so every write fails with
//                 ENOSPC at the kernel, through stdio and raw writes alike
//                 (an open for reading passes through);
//   file-eio      the open creates or truncates the file as asked; a stream
//                 from fopen then fails every read and write with EIO (a raw
//                 open passes through: the program reads and writes its files
//                 through stdio, and stdio's calls never reach this library).
// file-missing-reading and file-eio-reading do the same to opens for reading
// only: a file written whole that cannot be read back.

#include "file_faults.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "board_layout.h"
#include "state_files.h"

namespace vswitch::board {

namespace {

enum class Fault { none, missing, enospc, eio };

// Whether faults/<name> lists path on a line of its own.
bool listed(const char* name, const char* path) {
    char relative[64];
    LineBuffer line(relative, sizeof relative);
    line.text(layout::FAULT_DIR).chr('/').text(name);
    char file[PATH_LEN];
    if (line.overflowed() || !board_path(file, relative))
        return false;
    const SysFd list(sys_open(file, O_RDONLY));
    char text[4096];
    const ssize_t got = list.valid() ? sys_pread(list.get(), text, sizeof text - 1, 0) : -1;
    if (got <= 0)
        return false;
    text[got] = '\0';
    const size_t length = std::strlen(path);
    for (const char* at = text; (at = std::strstr(at, path)) != nullptr; at += length) {
        if ((at == text || at[-1] == '\n') && (at[length] == '\n' || at[length] == '\0'))
            return true;
    }
    return false;
}

Fault fault_of(const char* path, bool read_only) {
    if (path == nullptr || path[0] != '/' || current_board() == nullptr)
        return Fault::none;
    const int saved = errno;
    const Fault fault = listed("file-missing", path)                        ? Fault::missing
                        : listed("file-enospc", path)                       ? Fault::enospc
                        : listed("file-eio", path)                          ? Fault::eio
                        : read_only && listed("file-missing-reading", path) ? Fault::missing
                        : read_only && listed("file-eio-reading", path)     ? Fault::eio
                                                                            : Fault::none;
    errno = saved;
    return fault;
}

// Leaves the file as the open asks (created, truncated); false, errno set,
// when that open fails as it would have.
bool touch(const char* path, int flags) {
    const SysFd file(static_cast<int>(
        ::syscall(SYS_openat, AT_FDCWD, path,
                  (flags & (O_ACCMODE | O_CREAT | O_TRUNC | O_EXCL)) | O_CLOEXEC, 0644)));
    return file.valid();
}

int fopen_flags(const char* mode) {
    const int access = std::strchr(mode, '+') != nullptr ? O_RDWR
                       : mode[0] == 'r'                  ? O_RDONLY
                                                         : O_WRONLY;
    return access | (mode[0] == 'w' ? O_CREAT | O_TRUNC : mode[0] == 'a' ? O_CREAT | O_APPEND : 0);
}

// Streams of file-eio: the cookie is the error itself; seeks succeed.
ssize_t failed_read(void*, char*, size_t) {
    errno = EIO;
    return -1;
}
ssize_t failed_write(void*, const char*, size_t) {
    errno = EIO;
    return -1;
}
int kept_seek(void*, off64_t*, int) {
    return 0;
}
int closed(void*) {
    return 0;
}

} // namespace

bool file_fault_open(const char* path, int flags, int* result) {
    // A full filesystem still reads what it holds.
    const bool read_only = (flags & O_ACCMODE) == O_RDONLY;
    const Fault fault = fault_of(path, read_only);
    if (fault == Fault::none || fault == Fault::eio || (fault == Fault::enospc && read_only))
        return false;
    *result = -1;
    if (fault == Fault::missing)
        errno = ENOENT;
    else if (touch(path, flags))
        *result = static_cast<int>(
            ::syscall(SYS_openat, AT_FDCWD, "/dev/full", (flags & (O_ACCMODE | O_CLOEXEC)), 0));
    return true;
}

bool file_fault_fopen(const char* path, const char* mode, FILE** stream) {
    const int flags = mode != nullptr ? fopen_flags(mode) : 0;
    const Fault fault =
        mode != nullptr ? fault_of(path, (flags & O_ACCMODE) == O_RDONLY) : Fault::none;
    if (fault == Fault::none || (fault == Fault::enospc && (flags & O_ACCMODE) == O_RDONLY))
        return false;
    *stream = nullptr;
    if (fault == Fault::eio) {
        if (touch(path, flags))
            *stream = ::fopencookie(nullptr, mode, {failed_read, failed_write, kept_seek, closed});
        return true;
    }
    int fd = -1;
    static_cast<void>(file_fault_open(path, flags, &fd));
    if (fd >= 0 && (*stream = ::fdopen(fd, mode)) == nullptr)
        sys_close(fd);
    return true;
}

} // namespace vswitch::board
