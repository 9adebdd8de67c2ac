// Inside the interposer: the board directory, its files, and the few helpers
// the device models share. Everything here works with raw system calls and
// stack buffers, so it never re-enters an intercepted function and can run
// from a signal handler.
#pragma once

#include <dlfcn.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/unique_fd.h"

#define VSWITCH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vswitch::board {

template <typename F> F next_symbol(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// real_NAME: the libc function this library stands in front of.
#define REAL(name)                                                                                 \
    static const auto real_##name = ::vswitch::board::next_symbol<decltype(&::name)>(#name)

constexpr size_t PATH_LEN = 4096;

// The board directory named by VSWITCH_BOARD, or nullptr (pass everything
// through). When the variable names a new directory, the in-memory device
// state (multiplexer, register pointers, counters) starts afresh.
const char* current_board();

// dir/name into out; false when it does not fit.
bool board_path(char* out, const char* name);
bool board_path2(char* out, const char* dir, const char* name);

// File access by raw system call (errno is not preserved).
int sys_open(const char* path, int flags, mode_t mode = 0644);
int sys_close(int fd);
// Owns a descriptor from sys_open: closed by raw system call too, never
// through the close() this library stands in for.
using SysFd = platform::BasicUniqueFd<sys_close>;
ssize_t sys_pread(int fd, void* buffer, size_t length, uint64_t offset);
ssize_t sys_pwrite(int fd, const void* buffer, size_t length, uint64_t offset);
uint64_t sys_file_size(int fd);
bool file_exists(const char* path);

// A device image: bytes past the end of the file read as `fill`, and a write
// past the end first extends the file with `fill`. false on an I/O error.
bool image_read(const char* path, uint64_t offset, void* buffer, size_t length, uint8_t fill);
bool image_write(const char* path, uint64_t offset, const void* buffer, size_t length,
                 uint8_t fill);

// A number in a small text file (decimal, 0x hex or 0 octal); false when the
// file is absent or holds no number. Key files ("size=...") via read_key.
bool read_number(const char* path, uint64_t* value);
bool read_key(const char* path, const char* key, uint64_t* value);
bool write_number(const char* path, uint64_t value);

// Appends one line (text must end with '\n') to a log in the board directory.
void append_log(const char* name, const char* text, size_t length);

// Formatting into a fixed buffer.
class LineBuffer {
  public:
    LineBuffer(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    LineBuffer& text(const char* text);
    LineBuffer& chr(char c);
    LineBuffer& dec(uint64_t value);
    LineBuffer& hex(uint64_t value, int min_digits = 1); // digits only, lower case
    LineBuffer& byte_hex(uint8_t value);
    size_t length() const { return length_; }
    bool overflowed() const { return overflowed_; }

  private:
    char* buffer_;
    size_t capacity_;
    size_t length_ = 0;
    bool overflowed_ = false;
};

// Resets of the in-memory state of the device models (called on a board change).
void i2c_model_reset();
void time_model_reset();
void power_cut_reset();

// The board clock in nanoseconds (every wait the program made).
uint64_t board_clock_ns();

} // namespace vswitch::board
