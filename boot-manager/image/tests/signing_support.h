// Signed image components for the signature tests, made with the private keys
// that the build generated (or was given) for the compiled-in public keys.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <string>

#include "image/signing_key_files.h"
#include "image_bytes.h"

namespace image_test {

// RSA PKCS#1 v1.5 over SHA-256 of the payload; empty when the key cannot be read.
inline Bytes sign_payload(const Bytes& payload, const char* private_key_file) {
    std::FILE* file = std::fopen(private_key_file, "r");
    if (!file)
        return {};
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_PrivateKey(file, nullptr, nullptr, nullptr), EVP_PKEY_free);
    std::fclose(file);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t length = 0;
    if (!key || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, payload.data(), payload.size()) != 1)
        return {};
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size()) != 1)
        return {};
    signature.resize(length);
    return signature;
}

// A version-3 component whose header carries the given records before the
// signature record of the payload (no signature record when key_file is null).
inline Bytes signed_component(uint32_t type, const Bytes& payload, const char* key_file,
                              const Bytes& extra_record = {}) {
    Bytes signature_rec = key_file ? signature_record(sign_payload(payload, key_file)) : Bytes{};
    const size_t header_length = 24 + extra_record.size() + signature_rec.size();
    const uint32_t len = static_cast<uint32_t>(header_length + payload.size() - 16);
    Bytes component = v3_header(len, type, 0x01020304, {extra_record, signature_rec});
    component.insert(component.end(), payload.begin(), payload.end());
    return component;
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
