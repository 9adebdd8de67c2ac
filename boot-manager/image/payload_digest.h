// The SHA-256 of a component's payload, taken as its bytes go by: the
// signature check hands back the digest of what it verified, and a copy can
// show that it wrote those same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/openssl_handles.h"

struct PayloadDigest {
    bool present = false; // false: nothing was verified, there is nothing to compare
    std::array<uint8_t, 32> bytes{};
};

[[nodiscard]] inline bool same_payload(const PayloadDigest& a, const PayloadDigest& b) {
    return a.present && b.present && a.bytes == b.bytes;
}

// Hashes the bytes fed to it; inactive (and free) when no digest is wanted.
class PayloadHasher {
  public:
    explicit PayloadHasher(bool wanted);
    void update(const uint8_t* data, size_t length);
    // Fills the digest; false (digest absent) when hashing failed somewhere.
    [[nodiscard]] bool finish(PayloadDigest* digest);

  private:
    openssl::MdCtx ctx_;
    bool failed_ = false;
};
