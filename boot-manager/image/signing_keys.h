// The image-signing public keys compiled into the boot manager. Their values
// come from the build configuration (cmake/SigningKeys.cmake).
#pragma once

#include <cstddef>

// An RSA-2048 public key in PEM form is 451 characters; stored with its NUL.
constexpr size_t SIGNING_KEY_PEM_LENGTH = 451;
constexpr size_t SIGNING_KEY_PEM_SIZE = SIGNING_KEY_PEM_LENGTH + 1;

extern const char production_public_key[SIGNING_KEY_PEM_SIZE];
extern const char development_public_key[SIGNING_KEY_PEM_SIZE];
