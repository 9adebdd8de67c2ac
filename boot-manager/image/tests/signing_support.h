// Signed image components for the signature tests, made with the private keys
// that the build generated (or was given) for the compiled-in public keys.
#pragma once

#include <openssl/pem.h>

#include "image/openssl_handles.h"
#include "image/signing_key_files.h"
#include "image_bytes.h"
#include "platform/unique_file.h"

namespace image_test {

// RSA PKCS#1 v1.5 over SHA-256 of the payload; empty when the key cannot be read.
inline Bytes sign_payload(const Bytes& payload, const char* private_key_file) {
    platform::UniqueFile file(std::fopen(private_key_file, "r"));
    openssl::Pkey key(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
    openssl::MdCtx ctx(EVP_MD_CTX_new());
    Bytes signature(1024);
    size_t length = signature.size();
    if (!key || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size()) != 1)
        return {};
    signature.resize(length);
    return signature;
}

// A version-3 component whose header carries the given record before the
// signature record of the payload (no signature record when key_file is null).
inline Bytes signed_component(uint32_t type, const Bytes& payload, const char* key_file,
                              const Bytes& extra_record = {}) {
    Bytes signature_rec = key_file ? signature_record(sign_payload(payload, key_file)) : Bytes{};
    const size_t header_length = 24 + extra_record.size() + signature_rec.size();
    const uint32_t len = static_cast<uint32_t>(header_length + payload.size() - 16);
    return concat({v3_header(len, type, 0x01020304, {extra_record, signature_rec}), payload});
}

inline Bytes payload_of(size_t size, uint8_t seed = 7) {
    Bytes payload(size);
    uint32_t x = seed;
    for (auto& b : payload) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return payload;
}

inline bool have_signing_keys() {
    return *PRODUCTION_SIGNING_KEY_FILE && *DEVELOPMENT_SIGNING_KEY_FILE;
}

} // namespace image_test
