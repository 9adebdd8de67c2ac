// The console terminal: raw single-byte reads with a time-out, and waiting
// for input. The console is standard input.
#pragma once

#include <termios.h>

namespace platform {

constexpr int CONSOLE_FD = 0;

// The terminal without line editing and echo, for reading single bytes; the
// mode it was found in comes back when the object goes. timeout is in tenths
// of a second (low 8 bits), 0 blocks until a byte arrives. ISIG stays as it
// was, so Ctrl-C still interrupts where the terminal raises SIGINT.
class RawTerminal {
  public:
    RawTerminal(int fd, unsigned timeout);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // The byte read, 0 when none came in time (or the read was interrupted).
    int read_byte() const;

  private:
    int fd_;
    unsigned timeout_;
    termios saved_{};
    bool terminal_ = false;
};

enum class InputWait { ready, no_byte, timed_out, hung_up };

// Waits up to timeout_ms for input on fd and reads one byte of it into *byte.
// no_byte: the wait ended but no byte could be read; hung_up: the other end
// has gone away.
InputWait read_byte_within(int fd, int timeout_ms, unsigned char* byte);

} // namespace platform
