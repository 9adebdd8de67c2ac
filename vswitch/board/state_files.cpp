#include "state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "board_layout.h"

namespace vswitch::board {

namespace {

char active_board[PATH_LEN];

} // namespace

const char* current_board() {
    const char* dir = std::getenv(layout::ENV_BOARD);
    if (dir == nullptr || dir[0] == '\0' || std::strlen(dir) >= PATH_LEN - 64)
        return nullptr;
    if (std::strcmp(dir, active_board) != 0) {
        std::strcpy(active_board, dir);
        i2c_model_reset();
        time_model_reset();
        power_cut_reset();
    }
    return active_board;
}

bool board_path2(char* out, const char* dir, const char* name) {
    size_t dir_length = std::strlen(dir);
    size_t name_length = std::strlen(name);
    if (dir_length + 1 + name_length + 1 > PATH_LEN)
        return false;
    std::memcpy(out, dir, dir_length);
    out[dir_length] = '/';
    std::memcpy(out + dir_length + 1, name, name_length + 1);
    return true;
}

bool board_path(char* out, const char* name) {
    const char* dir = current_board();
    return dir != nullptr && board_path2(out, dir, name);
}

int sys_open(const char* path, int flags, mode_t mode) {
    return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode));
}

int sys_close(int fd) {
    return static_cast<int>(::syscall(SYS_close, fd));
}

// preadv/pwritev/statx take the same arguments on 32-bit and 64-bit kernels
// (the offset split in two halves), so the board builds for the switch's CPU
// as well as for the host.
ssize_t sys_pread(int fd, void* buffer, size_t length, uint64_t offset) {
    iovec part{buffer, length};
    return ::syscall(SYS_preadv, fd, &part, 1, static_cast<unsigned long>(offset),
                     static_cast<unsigned long>(offset >> 32));
}

ssize_t sys_pwrite(int fd, const void* buffer, size_t length, uint64_t offset) {
    iovec part{const_cast<void*>(buffer), length};
    return ::syscall(SYS_pwritev, fd, &part, 1, static_cast<unsigned long>(offset),
                     static_cast<unsigned long>(offset >> 32));
}

uint64_t sys_file_size(int fd) {
    struct statx info {};
    if (::syscall(SYS_statx, fd, "", AT_EMPTY_PATH, STATX_SIZE, &info) != 0)
        return 0;
    return info.stx_size;
}

bool file_exists(const char* path) {
    struct statx info {};
    return ::syscall(SYS_statx, AT_FDCWD, path, 0, 0U, &info) == 0;
}

bool image_read(const char* path, uint64_t offset, void* buffer, size_t length, uint8_t fill) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    std::memset(bytes, fill, length);
    const SysFd file(sys_open(path, O_RDONLY));
    const int fd = file.get();
    if (fd < 0)
        return true; // a device never written holds only its fill byte
    size_t done = 0;
    bool ok = true;
    while (done < length) {
        ssize_t got = sys_pread(fd, bytes + done, length - done, offset + done);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break; // the rest lies past the end of the file
        done += static_cast<size_t>(got);
    }
    return ok;
}

bool image_write(const char* path, uint64_t offset, const void* buffer, size_t length,
                 uint8_t fill) {
    const SysFd file(sys_open(path, O_RDWR | O_CREAT));
    const int fd = file.get();
    if (fd < 0)
        return false;
    bool ok = true;
    uint64_t size = sys_file_size(fd);
    if (size < offset) {
        // Never leave a hole: it would read back as zeros, not as fill.
        uint8_t block[4096];
        std::memset(block, fill, sizeof block);
        while (ok && size < offset) {
            size_t piece = offset - size < sizeof block ? offset - size : sizeof block;
            ok = sys_pwrite(fd, block, piece, size) == static_cast<ssize_t>(piece);
            size += piece;
        }
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (ok && done < length) {
        ssize_t put = sys_pwrite(fd, bytes + done, length - done, offset + done);
        if (put <= 0)
            ok = false;
        else
            done += static_cast<size_t>(put);
    }
    return ok;
}

namespace {

// Reads a small text file into buffer (NUL-terminated); false when absent.
bool read_small(const char* path, char* buffer, size_t capacity) {
    const SysFd file(sys_open(path, O_RDONLY));
    if (!file.valid())
        return false;
    const ssize_t got = sys_pread(file.get(), buffer, capacity - 1, 0);
    if (got < 0)
        return false;
    buffer[got] = '\0';
    return true;
}

bool parse_number(const char* text, uint64_t* value) {
    while (*text == ' ' || *text == '\t' || *text == '\n')
        ++text;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 0);
    if (end == text)
        return false;
    *value = parsed;
    return true;
}

} // namespace

bool read_number(const char* path, uint64_t* value) {
    char text[64];
    return read_small(path, text, sizeof text) && parse_number(text, value);
}

bool read_key(const char* path, const char* key, uint64_t* value) {
    char text[512];
    if (!read_small(path, text, sizeof text))
        return false;
    size_t key_length = std::strlen(key);
    for (const char* line = text; *line != '\0';) {
        while (*line == ' ' || *line == '\t')
            ++line;
        if (std::strncmp(line, key, key_length) == 0 && line[key_length] == '=')
            return parse_number(line + key_length + 1, value);
        const char* next = std::strchr(line, '\n');
        if (next == nullptr)
            break;
        line = next + 1;
    }
    return false;
}

bool write_number(const char* path, uint64_t value) {
    char text[32];
    LineBuffer line(text, sizeof text);
    line.dec(value).chr('\n');
    const SysFd file(sys_open(path, O_WRONLY | O_CREAT | O_TRUNC));
    return file.valid() &&
           sys_pwrite(file.get(), text, line.length(), 0) == static_cast<ssize_t>(line.length());
}

void append_log(const char* name, const char* text, size_t length) {
    char path[PATH_LEN];
    if (!board_path(path, name))
        return;
    const SysFd file(sys_open(path, O_WRONLY | O_CREAT | O_APPEND));
    if (!file.valid())
        return;
    // One write per line, so lines of a log never interleave.
    ::syscall(SYS_write, file.get(), text, length);
}

LineBuffer& LineBuffer::text(const char* text) {
    while (*text != '\0')
        chr(*text++);
    return *this;
}

LineBuffer& LineBuffer::chr(char c) {
    if (length_ + 1 < capacity_) {
        buffer_[length_++] = c;
        buffer_[length_] = '\0';
    } else {
        overflowed_ = true;
    }
    return *this;
}

LineBuffer& LineBuffer::dec(uint64_t value) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        chr(digits[--count]);
    return *this;
}

LineBuffer& LineBuffer::hex(uint64_t value, int min_digits) {
    static const char symbols[] = "0123456789abcdef";
    char digits[20];
    int count = 0;
    do {
        digits[count++] = symbols[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (count < min_digits && count < 16)
        digits[count++] = '0';
    while (count > 0)
        chr(digits[--count]);
    return *this;
}

LineBuffer& LineBuffer::byte_hex(uint8_t value) {
    return hex(value, 2);
}

} // namespace vswitch::board
