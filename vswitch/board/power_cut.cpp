// Power cuts. A switch under faults/ names the moment the board loses power:
// after the Nth flash write or erase of the run, after N bytes written to
// the slot files, after the Nth I2C write transaction, or at a board clock.
// The process then dies of SIGKILL on the spot; what it had handed to the
// kernel stays (the model is the death of the process, not the loss of the
// filesystem's unwritten cache), what it held in its own buffers is gone. The
// switch is consumed when it fires, so that the next power-on runs clean, and
// "power-cut" in the board directory says where the cut came.

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "board_layout.h"
#include "file_faults.h"
#include "models.h"
#include "state_files.h"

namespace vswitch::board {

namespace {

// Descriptors open for writing on a slot file; only their writes are counted.
constexpr int TRACKED_FDS = 4096;
bool slot_fd[TRACKED_FDS];

struct Counts {
    uint64_t flash_ops;
    uint64_t i2c_writes;
    uint64_t slot_bytes;
};
Counts counts;

bool fault_path(char* out, const char* name) {
    char relative[64];
    LineBuffer line(relative, sizeof relative);
    line.text(layout::FAULT_DIR).chr('/').text(name).chr('\0');
    return !line.overflowed() && board_path(out, relative);
}

// The number a power-cut switch holds; false when it is not set.
bool armed(const char* name, uint64_t* value) {
    char path[PATH_LEN];
    return fault_path(path, name) && read_number(path, value);
}

[[noreturn]] void cut(const char* name, uint64_t value) {
    char path[PATH_LEN];
    if (fault_path(path, name))
        ::unlink(path);
    char text[PATH_LEN + 128];
    LineBuffer line(text, sizeof text);
    line.text(name).chr(' ').dec(value).text(" at ").dec(board_clock_ns());
    line.chr('\n');
    if (board_path(path, layout::POWER_CUT_FILE)) {
        const SysFd record(sys_open(path, O_WRONLY | O_CREAT | O_TRUNC));
        if (record.valid())
            sys_pwrite(record.get(), text, line.length(), 0);
    }
    ::syscall(SYS_kill, ::getpid(), SIGKILL);
    for (;;)
        ::pause();
}

void after_counted(const char* name, uint64_t* count) {
    uint64_t at = 0;
    ++*count;
    if (armed(name, &at) && *count >= at)
        cut(name, at);
}

bool is_slot_path(const char* path) {
    static const char prefix[] = "/user/images/image";
    return path != nullptr && std::strncmp(path, prefix, sizeof prefix - 1) == 0;
}

bool writable(int flags) {
    return (flags & O_ACCMODE) != O_RDONLY;
}

// fopen modes: anything but plain "r" writes.
bool writable(const char* mode) {
    return mode != nullptr && (mode[0] != 'r' || std::strchr(mode, '+') != nullptr);
}

} // namespace

void power_cut_reset() {
    counts = Counts{};
    std::memset(slot_fd, 0, sizeof slot_fd);
}

void power_cut_after_flash_op() {
    after_counted("power-cut-flash-op", &counts.flash_ops);
}

void power_cut_after_i2c_write() {
    after_counted("power-cut-i2c-write", &counts.i2c_writes);
}

bool power_cut_within(uint64_t clock, uint64_t ns, uint64_t* at) {
    uint64_t when = 0;
    if (!armed("power-cut-at", &when) || when > clock + ns)
        return false;
    *at = when > clock ? when : clock; // a moment already past: at once
    return true;
}

void power_cut_now(uint64_t at) {
    cut("power-cut-at", at);
}

int slot_file_opened(int fd, const char* path, int flags) {
    if (fd >= 0 && fd < TRACKED_FDS)
        slot_fd[fd] = current_board() != nullptr && writable(flags) && is_slot_path(path);
    return fd;
}

void slot_stream_opened(FILE* stream, const char* path, const char* mode) {
    if (stream != nullptr)
        static_cast<void>(
            slot_file_opened(::fileno(stream), path, writable(mode) ? O_WRONLY : O_RDONLY));
}

void slot_file_closed(int fd) {
    if (fd >= 0 && fd < TRACKED_FDS)
        slot_fd[fd] = false;
}

bool is_slot_file(int fd) {
    return fd >= 0 && fd < TRACKED_FDS && slot_fd[fd];
}

size_t slot_bytes_allowed(size_t length) {
    uint64_t limit = 0;
    if (!armed("power-cut-file-bytes", &limit))
        return length;
    const uint64_t left = limit > counts.slot_bytes ? limit - counts.slot_bytes : 0;
    return length < left ? length : static_cast<size_t>(left);
}

bool slot_bytes_written(size_t length) {
    counts.slot_bytes += length;
    uint64_t limit = 0;
    return armed("power-cut-file-bytes", &limit) && counts.slot_bytes >= limit;
}

void power_cut_slot_bytes() {
    uint64_t limit = 0;
    armed("power-cut-file-bytes", &limit);
    cut("power-cut-file-bytes", limit);
}

ssize_t slot_file_write(int fd, const void* data, size_t length, off64_t offset) {
    REAL(write);
    REAL(pwrite64);
    const size_t allowed = slot_bytes_allowed(length);
    const ssize_t done =
        offset < 0 ? real_write(fd, data, allowed) : real_pwrite64(fd, data, allowed, offset);
    if (slot_bytes_written(done > 0 ? static_cast<size_t>(done) : 0))
        power_cut_slot_bytes();
    return done;
}

} // namespace vswitch::board

using namespace vswitch::board;

// Streams the program opens itself: stdio writes go to the kernel from inside
// libc, so slot files written through a stream are counted at fwrite.
static FILE* open_stream(FILE* (*real)(const char*, const char*), const char* path,
                         const char* mode) {
    FILE* stream = nullptr;
    if (!file_fault_fopen(path, mode, &stream))
        stream = real(path, mode);
    slot_stream_opened(stream, path, mode);
    return stream;
}

VSWITCH_EXPORT FILE* fopen(const char* path, const char* mode) {
    REAL(fopen);
    return open_stream(real_fopen, path, mode);
}

VSWITCH_EXPORT FILE* fopen64(const char* path, const char* mode) {
    REAL(fopen64);
    return open_stream(real_fopen64, path, mode);
}

VSWITCH_EXPORT int fclose(FILE* stream) {
    REAL(fclose);
    const int saved = errno; // fileno fails with EBADF on a file-eio stream
    slot_file_closed(::fileno(stream));
    errno = saved;
    return real_fclose(stream);
}

// A write that crosses the cut point gets out up to it, then the power goes.
VSWITCH_EXPORT size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    REAL(fwrite);
    if (size == 0 || !is_slot_file(::fileno(stream)))
        return real_fwrite(data, size, count, stream);
    const size_t done = real_fwrite(data, 1, slot_bytes_allowed(size * count), stream);
    if (slot_bytes_written(done)) {
        REAL(fflush);
        real_fflush(stream);
        power_cut_slot_bytes();
    }
    return done / size;
}
