// Copies in 64 KiB pieces with a percentage counting up in place on the
// console, after the caller's heading.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/payload_digest.h"

constexpr uint32_t COPY_PIECE_SIZE = 0x10000;

// Copies length bytes from the source's current position to the destination.
// Both streams stay open and owned by the caller. 1 copied, 0 failed. With
// digest, the SHA-256 of the bytes written is handed back (absent on failure).
[[nodiscard]] int copy_with_progress(FILE* source, uint32_t length, FILE* destination,
                                     PayloadDigest* digest = nullptr);

// Creates (or truncates) path and copies length bytes from the source's
// current position into it; the file is closed before returning. 1 copied, 0
// failed.
[[nodiscard]] int copy_stream_to_file(const char* path, FILE* source, uint32_t length);

// Copies a whole file (a block device may be the destination). 1 copied, 0
// failed.
[[nodiscard]] int copy_file_with_progress(const char* source_path, const char* destination_path);
