// Component signatures: RSA with PKCS#1 v1.5 padding over the SHA-256 digest
// of the payload, as the switch checks them.
#pragma once

#include "image/openssl_handles.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace swimage {

using openssl::Pkey;

// An RSA private key from a PEM file (no pass phrase).
Pkey load_private_key(const std::string& path, std::string* error);
// An RSA public key from a PEM file; the public half of a private key is
// taken as well.
Pkey load_public_key(const std::string& path, std::string* error);

bool sign_payload(EVP_PKEY* key, const std::vector<uint8_t>& payload,
                  std::vector<uint8_t>* signature, std::string* error);

enum class Verdict { verified, failed, error };
// Checks size bytes read from the file's current position.
Verdict verify_payload(EVP_PKEY* key, FILE* file, uint64_t size, const uint8_t* signature,
                       size_t signature_length);

// The first OpenSSL error queued, as text (empty when none).
std::string openssl_error_text();

} // namespace swimage
