// Copies in 64 KiB pieces with a percentage counting up in place on the
// console, after the caller's heading.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/payload_digest.h"
#include "image/signature.h"

constexpr uint32_t COPY_PIECE_SIZE = 0x10000;

// Copies length bytes from the source's current position to the destination.
// Both streams stay open and owned by the caller. 1 copied, 0 failed. With
// digest, the SHA-256 of the bytes written is handed back (absent on failure).
[[nodiscard]] int copy_with_progress(FILE* source, uint32_t length, FILE* destination,
                                     PayloadDigest* digest = nullptr);

// Creates (or truncates) path and copies length bytes from the source's
// current position into it; the file is closed before returning. 1 copied, 0
// failed (a source that ends early too, errno EIO when it read no error).
[[nodiscard]] int copy_stream_to_file(const char* path, FILE* source, uint32_t length);

// Copies a whole file (a block device may be the destination). 1 copied, 0
// failed.
[[nodiscard]] int copy_file_with_progress(const char* source_path, const char* destination_path);

// Stores a payload in a file as the signature check reads it (its sink), so
// that the bytes are read once for both the check and the copy. It writes
// past the stream's buffer, to the descriptor: the stream must hold no
// unwritten bytes.
class PayloadTee {
  public:
    explicit PayloadTee(FILE* destination) : destination_(destination) {}
    // Writes the bytes; false from the first write that failed on.
    bool store(const uint8_t* data, size_t length);
    PayloadSink sink() {
        return [this](const uint8_t* data, size_t length) { return store(data, length); };
    }
    // Whether exactly length bytes were stored, every write whole.
    [[nodiscard]] bool holds(uint64_t length) const { return !failed_ && stored_ == length; }

  private:
    FILE* destination_;
    uint64_t stored_ = 0;
    bool failed_ = false;
};
