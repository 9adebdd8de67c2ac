// Where the program meets the kernel: opens of the board's device paths get
// a real descriptor (on /dev/null) that this table marks as an emulated
// device, and the calls on such descriptors go to the device models. Every
// other path and descriptor goes straight to libc. Without VSWITCH_BOARD in
// the environment nothing is emulated.

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "board_layout.h"
#include "file_faults.h"
#include "models.h"
#include "state_files.h"

namespace vswitch::board {

namespace {

enum class Kind : uint8_t { none, i2c, mtd };

struct Emulated {
    Kind kind;
    int8_t unit;       // bus number or partition index
    uint8_t access;    // O_RDONLY, O_WRONLY or O_RDWR, as opened
    int16_t address;   // I2C: the bound 7-bit address, -1 before I2C_SLAVE
    uint64_t position; // MTD: the file position for read/write/lseek
};

constexpr int TABLE_SIZE = 4096;
Emulated table[TABLE_SIZE];

constexpr size_t I2C_MAX_TRANSFER = 8192; // what i2c-dev moves in one read or write

Emulated* emulated(int fd) {
    if (fd < 0 || fd >= TABLE_SIZE || table[fd].kind == Kind::none)
        return nullptr;
    return &table[fd];
}

bool opened_for(const Emulated* device, bool write) {
    const int mode = device->access;
    return mode == O_RDWR || mode == (write ? O_WRONLY : O_RDONLY);
}

// The VFS refuses a read or write the descriptor was not opened for before
// any driver sees it.
bool refused(const Emulated* device, bool write) {
    if (opened_for(device, write))
        return false;
    errno = EBADF;
    return true;
}

void forget(int fd) {
    if (fd >= 0 && fd < TABLE_SIZE)
        table[fd] = Emulated{};
    slot_file_closed(fd);
}

// "/dev/i2c-N": N, else -1.
int i2c_bus_of(const char* path) {
    static const char prefix[] = "/dev/i2c-";
    if (std::strncmp(path, prefix, sizeof prefix - 1) != 0)
        return -1;
    const char* digits = path + sizeof prefix - 1;
    if (*digits == '\0')
        return -1;
    int bus = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || bus > 1000)
            return -1;
        bus = bus * 10 + (*p - '0');
    }
    return bus;
}

// Opens an emulated device, or returns false when the path is none (or no
// board is set) and the call must go to libc.
bool open_device(const char* path, int flags, int* result) {
    if (path == nullptr || current_board() == nullptr)
        return false;
    const int bus = i2c_bus_of(path);
    const int partition = bus < 0 ? mtd_index(path) : -1;
    if (bus < 0 && partition < 0) {
        if (!file_fault_open(path, flags, result))
            return false;
        forget(*result);
        return true;
    }

    const int saved = errno;
    const int error = bus >= 0 ? i2c_open(bus) : mtd_open(partition);
    if (error != 0) {
        errno = error;
        *result = -1;
        return true;
    }
    const int fd = static_cast<int>(
        ::syscall(SYS_openat, AT_FDCWD, "/dev/null", (flags & O_ACCMODE) | (flags & O_CLOEXEC), 0));
    if (fd < 0) {
        *result = -1;
        return true;
    }
    if (fd >= TABLE_SIZE) {
        ::syscall(SYS_close, fd);
        errno = EMFILE;
        *result = -1;
        return true;
    }
    table[fd] =
        Emulated{bus >= 0 ? Kind::i2c : Kind::mtd, static_cast<int8_t>(bus >= 0 ? bus : partition),
                 static_cast<uint8_t>(flags & O_ACCMODE), -1, 0};
    errno = saved;
    *result = fd;
    return true;
}

// A descriptor that libc handed out cannot be a device of ours any more.
int passed_through(int fd) {
    if (fd >= 0)
        forget(fd);
    return fd;
}

int mode_argument(int flags, va_list* rest) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return va_arg(*rest, int);
    return 0;
}

ssize_t device_read(Emulated* device, void* buffer, size_t length) {
    if (refused(device, false))
        return -1;
    const int saved = errno;
    ssize_t result;
    if (device->kind == Kind::i2c) {
        length = length > I2C_MAX_TRANSFER ? I2C_MAX_TRANSFER : length;
        result = i2c_read(device->unit, device->address < 0 ? 0 : device->address,
                          static_cast<uint8_t*>(buffer), length);
    } else {
        result = mtd_read(device->unit, buffer, length, device->position);
        if (result > 0)
            device->position += static_cast<uint64_t>(result);
    }
    if (result >= 0)
        errno = saved;
    return result;
}

ssize_t device_write(Emulated* device, const void* buffer, size_t length) {
    if (refused(device, true))
        return -1;
    const int saved = errno;
    ssize_t result;
    if (device->kind == Kind::i2c) {
        length = length > I2C_MAX_TRANSFER ? I2C_MAX_TRANSFER : length;
        result = i2c_write(device->unit, device->address < 0 ? 0 : device->address,
                           static_cast<const uint8_t*>(buffer), length);
    } else {
        result = mtd_write(device->unit, buffer, length, device->position);
        if (result > 0)
            device->position += static_cast<uint64_t>(result);
    }
    if (result >= 0)
        errno = saved;
    return result;
}

int i2c_ioctl(Emulated* device, unsigned long request, unsigned long argument) {
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if (argument > 0x7F) {
            errno = EINVAL;
            return -1;
        }
        device->address = static_cast<int16_t>(argument);
        return 0;
    case I2C_FUNCS:
        *reinterpret_cast<unsigned long*>(argument) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
        return 0;
    case I2C_TENBIT:
        if (argument != 0) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    case I2C_RETRIES:
    case I2C_TIMEOUT:
        return 0;
    default:
        errno = ENOTTY;
        return -1;
    }
}

int mtd_ioctl(Emulated* device, unsigned long request, unsigned long argument) {
    const int saved = errno;
    int result;
    // The MTD layer lets only a descriptor open for writing change the flash.
    if ((request == MEMERASE || request == MEMERASE64) && !opened_for(device, true)) {
        errno = EPERM;
        return -1;
    }
    switch (request) {
    case MEMGETINFO:
        result = mtd_get_info(device->unit, reinterpret_cast<mtd_info_user*>(argument));
        break;
    case MEMERASE: {
        const auto* erase = reinterpret_cast<const erase_info_user*>(argument);
        result = mtd_erase(device->unit, erase->start, erase->length);
        break;
    }
    case MEMERASE64: {
        const auto* erase = reinterpret_cast<const erase_info_user64*>(argument);
        result = mtd_erase(device->unit, erase->start, erase->length);
        break;
    }
    case MEMGETBADBLOCK:
        result = 0; // NOR flash has no bad blocks
        break;
    default:
        errno = ENOTTY;
        return -1;
    }
    if (result == 0)
        errno = saved;
    return result;
}

// A read on a terminal set for a timed read (VMIN 0, VTIME n) under virtual
// time: a short real grace for input, then the time-out counts as passed.
bool timed_terminal_read(int fd, ssize_t* result) {
    if (current_board() == nullptr || !virtual_time())
        return false;
    const int saved = errno;
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        errno = saved;
        return false;
    }
    if ((settings.c_lflag & ICANON) != 0 || settings.c_cc[VMIN] != 0 || settings.c_cc[VTIME] == 0)
        return false;
    pollfd input{fd, POLLIN, 0};
    const uint64_t timeout_ns = static_cast<uint64_t>(settings.c_cc[VTIME]) * 100000000ULL;
    int ready = terminal_wait(&input, 1, timeout_ns, "read-timeout");
    if (ready > 0)
        return false; // input is there: the real read returns it at once
    *result = ready < 0 ? -1 : 0;
    return true;
}

} // namespace

} // namespace vswitch::board

using namespace vswitch::board;

// Lets a process (the test API) see that the interposer is loaded.
VSWITCH_EXPORT const char vswitch_board_interposer[] = "libvswitch-board";

VSWITCH_EXPORT int open(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    int mode = mode_argument(flags, &rest);
    va_end(rest);
    int fd;
    if (open_device(path, flags, &fd))
        return fd;
    REAL(open);
    return slot_file_opened(passed_through(real_open(path, flags, mode)), path, flags);
}

VSWITCH_EXPORT int open64(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    int mode = mode_argument(flags, &rest);
    va_end(rest);
    int fd;
    if (open_device(path, flags, &fd))
        return fd;
    REAL(open64);
    return slot_file_opened(passed_through(real_open64(path, flags, mode)), path, flags);
}

VSWITCH_EXPORT int openat(int dir, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    int mode = mode_argument(flags, &rest);
    va_end(rest);
    int fd;
    if (path[0] == '/' && open_device(path, flags, &fd))
        return fd;
    REAL(openat);
    return slot_file_opened(passed_through(real_openat(dir, path, flags, mode)), path, flags);
}

VSWITCH_EXPORT int openat64(int dir, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    int mode = mode_argument(flags, &rest);
    va_end(rest);
    int fd;
    if (path[0] == '/' && open_device(path, flags, &fd))
        return fd;
    REAL(openat64);
    return slot_file_opened(passed_through(real_openat64(dir, path, flags, mode)), path, flags);
}

// The checked variants a fortified build calls instead.
VSWITCH_EXPORT int __open_2(const char* path, int flags) {
    return open(path, flags);
}
VSWITCH_EXPORT int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}
VSWITCH_EXPORT int __openat_2(int dir, const char* path, int flags) {
    return openat(dir, path, flags);
}
VSWITCH_EXPORT int __openat64_2(int dir, const char* path, int flags) {
    return openat64(dir, path, flags);
}

VSWITCH_EXPORT int close(int fd) {
    REAL(close);
    forget(fd);
    return real_close(fd);
}

VSWITCH_EXPORT int dup(int fd) noexcept {
    REAL(dup);
    int copy = passed_through(real_dup(fd));
    if (copy >= 0 && copy < TABLE_SIZE && emulated(fd) != nullptr)
        table[copy] = table[fd];
    return copy;
}

VSWITCH_EXPORT int dup2(int fd, int target) noexcept {
    REAL(dup2);
    int copy = real_dup2(fd, target);
    if (copy >= 0 && copy != fd) {
        forget(copy);
        if (copy < TABLE_SIZE && emulated(fd) != nullptr)
            table[copy] = table[fd];
    }
    return copy;
}

VSWITCH_EXPORT int dup3(int fd, int target, int flags) noexcept {
    REAL(dup3);
    int copy = real_dup3(fd, target, flags);
    if (copy >= 0) {
        forget(copy);
        if (copy < TABLE_SIZE && emulated(fd) != nullptr)
            table[copy] = table[fd];
    }
    return copy;
}

VSWITCH_EXPORT ssize_t read(int fd, void* buffer, size_t length) {
    if (Emulated* device = emulated(fd))
        return device_read(device, buffer, length);
    ssize_t result;
    if (timed_terminal_read(fd, &result))
        return result;
    REAL(read);
    return real_read(fd, buffer, length);
}

VSWITCH_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t length, size_t) {
    return read(fd, buffer, length);
}

VSWITCH_EXPORT ssize_t write(int fd, const void* buffer, size_t length) {
    if (Emulated* device = emulated(fd))
        return device_write(device, buffer, length);
    if (is_slot_file(fd))
        return slot_file_write(fd, buffer, length, -1);
    REAL(write);
    return real_write(fd, buffer, length);
}

namespace {

ssize_t emulated_pread(Emulated* device, void* buffer, size_t length, off64_t offset) {
    if (device->kind != Kind::mtd || offset < 0) {
        errno = offset < 0 ? EINVAL : ESPIPE;
        return -1;
    }
    if (refused(device, false))
        return -1;
    const int saved = errno;
    ssize_t result = mtd_read(device->unit, buffer, length, static_cast<uint64_t>(offset));
    if (result >= 0)
        errno = saved;
    return result;
}

ssize_t emulated_pwrite(Emulated* device, const void* buffer, size_t length, off64_t offset) {
    if (device->kind != Kind::mtd || offset < 0) {
        errno = offset < 0 ? EINVAL : ESPIPE;
        return -1;
    }
    if (refused(device, true))
        return -1;
    const int saved = errno;
    ssize_t result = mtd_write(device->unit, buffer, length, static_cast<uint64_t>(offset));
    if (result >= 0)
        errno = saved;
    return result;
}

off64_t emulated_lseek(Emulated* device, off64_t offset, int whence) {
    if (device->kind != Kind::mtd) {
        errno = ESPIPE;
        return -1;
    }
    int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<int64_t>(device->position);
    else if (whence == SEEK_END)
        base = static_cast<int64_t>(mtd_size(device->unit));
    else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    device->position = static_cast<uint64_t>(base + offset);
    return static_cast<off64_t>(device->position);
}

} // namespace

VSWITCH_EXPORT ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
    if (Emulated* device = emulated(fd))
        return emulated_pread(device, buffer, length, offset);
    REAL(pread);
    return real_pread(fd, buffer, length, offset);
}

VSWITCH_EXPORT ssize_t pread64(int fd, void* buffer, size_t length, off64_t offset) {
    if (Emulated* device = emulated(fd))
        return emulated_pread(device, buffer, length, offset);
    REAL(pread64);
    return real_pread64(fd, buffer, length, offset);
}

VSWITCH_EXPORT ssize_t __pread_chk(int fd, void* buffer, size_t length, off_t offset, size_t) {
    return pread(fd, buffer, length, offset);
}

VSWITCH_EXPORT ssize_t __pread64_chk(int fd, void* buffer, size_t length, off64_t offset, size_t) {
    return pread64(fd, buffer, length, offset);
}

VSWITCH_EXPORT ssize_t pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    if (Emulated* device = emulated(fd))
        return emulated_pwrite(device, buffer, length, offset);
    if (is_slot_file(fd))
        return slot_file_write(fd, buffer, length, offset);
    REAL(pwrite);
    return real_pwrite(fd, buffer, length, offset);
}

VSWITCH_EXPORT ssize_t pwrite64(int fd, const void* buffer, size_t length, off64_t offset) {
    if (Emulated* device = emulated(fd))
        return emulated_pwrite(device, buffer, length, offset);
    if (is_slot_file(fd))
        return slot_file_write(fd, buffer, length, offset);
    REAL(pwrite64);
    return real_pwrite64(fd, buffer, length, offset);
}

VSWITCH_EXPORT off_t lseek(int fd, off_t offset, int whence) noexcept {
    if (Emulated* device = emulated(fd))
        return emulated_lseek(device, offset, whence);
    REAL(lseek);
    return real_lseek(fd, offset, whence);
}

VSWITCH_EXPORT off64_t lseek64(int fd, off64_t offset, int whence) noexcept {
    if (Emulated* device = emulated(fd))
        return emulated_lseek(device, offset, whence);
    REAL(lseek64);
    return real_lseek64(fd, offset, whence);
}

VSWITCH_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list rest;
    va_start(rest, request);
    unsigned long argument = va_arg(rest, unsigned long);
    va_end(rest);
    if (Emulated* device = emulated(fd)) {
        return device->kind == Kind::i2c ? i2c_ioctl(device, request, argument)
                                         : mtd_ioctl(device, request, argument);
    }
    REAL(ioctl);
    return real_ioctl(fd, request, argument);
}
