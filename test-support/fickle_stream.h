// A read-only stream over bytes in memory whose byte at one offset reads
// differently after its first read, as a failing USB stick may answer; the
// stream is unbuffered, so every read reaches it.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace test_support {

class FickleBytes {
  public:
    FickleBytes(std::vector<uint8_t> bytes, size_t fickle_at)
        : bytes_(std::move(bytes)), fickle_at_(fickle_at) {}
    FickleBytes(const FickleBytes&) = delete;
    FickleBytes& operator=(const FickleBytes&) = delete;

    // The caller owns the stream; it must not outlive this object.
    FILE* open() {
        FILE* stream = fopencookie(this, "rb", {read, nullptr, seek, nullptr});
        if (stream)
            std::setvbuf(stream, nullptr, _IONBF, 0);
        return stream;
    }

  private:
    static ssize_t read(void* cookie, char* buffer, size_t size) {
        auto* self = static_cast<FickleBytes*>(cookie);
        const size_t count = std::min(size, self->bytes_.size() - self->position_);
        std::memcpy(buffer, self->bytes_.data() + self->position_, count);
        if (self->fickle_at_ >= self->position_ && self->fickle_at_ < self->position_ + count)
            self->bytes_[self->fickle_at_] ^= 1; // the next read sees the other value
        self->position_ += count;
        return static_cast<ssize_t>(count);
    }
    static int seek(void* cookie, off64_t* offset, int whence) {
        auto* self = static_cast<FickleBytes*>(cookie);
        if (whence == SEEK_END || *offset < 0)
            return -1;
        self->position_ = static_cast<size_t>(*offset) + (whence == SEEK_CUR ? self->position_ : 0);
        self->position_ = std::min(self->position_, self->bytes_.size());
        *offset = static_cast<off64_t>(self->position_);
        return 0;
    }

    std::vector<uint8_t> bytes_;
    size_t fickle_at_, position_ = 0;
};

} // namespace test_support
