// The cipher of the key store: AES-128-CBC without padding under the 16-byte
// board key, with a fixed IV.
#pragma once

#include <cstdint>

constexpr int IMAGE_CIPHER_KEY_LENGTH = 16;
constexpr int IMAGE_CIPHER_BLOCK = 16;

// Enciphers (encrypt 1) or deciphers (encrypt 0) input_length bytes, zero-filled
// to the next multiple of 16. The output buffer must hold that rounded length.
// On decryption *output_length is the length of the NUL-terminated text at the
// start of the output. The key length is not used: the key is always 16 bytes.
// 0 on success, -1 on failure (reported on the console).
[[nodiscard]] int do_crypt(const uint8_t* input, int32_t input_length, uint8_t* output,
                           int* output_length, int encrypt, const uint8_t* key, int key_length);
