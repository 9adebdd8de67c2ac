// Owning wrapper for a POSIX file descriptor: closed when the owner goes away.
#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

// Close is what closes the descriptor: code that itself stands in for close()
// (the simulated board) passes one that goes straight to the kernel.
template <int (*Close)(int)> class BasicUniqueFd {
  public:
    BasicUniqueFd() = default;
    explicit BasicUniqueFd(int fd) : fd_(fd) {}
    ~BasicUniqueFd() { reset(); }
    BasicUniqueFd(BasicUniqueFd&& other) noexcept : fd_(other.release()) {}
    BasicUniqueFd& operator=(BasicUniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    BasicUniqueFd(const BasicUniqueFd&) = delete;
    BasicUniqueFd& operator=(const BasicUniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            Close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

using UniqueFd = BasicUniqueFd<::close>;

} // namespace platform
