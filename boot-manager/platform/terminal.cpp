#include "platform/terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/timing.h"

namespace platform {

namespace {

bool hung_up(int fd) {
    pollfd line{fd, POLLIN, 0};
    return ::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

RawTerminal::RawTerminal(int fd, unsigned timeout) : fd_(fd), timeout_(timeout) {
    terminal_ = ::tcgetattr(fd_, &saved_) == 0;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VTIME] = static_cast<cc_t>(timeout & 0xFF);
    raw.c_cc[VMIN] = timeout == 0 ? 1 : 0;
    ::tcsetattr(fd_, TCSANOW, &raw);
}

RawTerminal::~RawTerminal() {
    ::tcsetattr(fd_, TCSANOW, &saved_);
}

int RawTerminal::read_byte() const {
    unsigned char byte = 0;
    const ssize_t count = ::read(fd_, &byte, 1);
    // Input that is no terminal, or a line that has hung up, ends without
    // waiting: keep the pace the time-out promises, so that a polling caller
    // does not spin. An interrupted read returns at once.
    if (count != 1 && timeout_ != 0 && !(count < 0 && errno == EINTR) &&
        (!terminal_ || hung_up(fd_)))
        sleep_milliseconds((timeout_ & 0xFF) * 100U);
    return byte;
}

InputWait read_byte_within(int fd, int timeout_ms, unsigned char* byte) {
    pollfd input{fd, POLLIN, 0};
    if (::poll(&input, 1, timeout_ms) <= 0)
        return InputWait::timed_out;
    if (::read(fd, byte, 1) == 1)
        return InputWait::ready;
    // A console that has gone away would answer every poll at once.
    if (input.revents & (POLLHUP | POLLERR | POLLNVAL))
        return InputWait::hung_up;
    return InputWait::no_byte;
}

} // namespace platform
