// The image-signing public keys: compiled in, and kept on /user enciphered
// under the board key. The compiled-in keys always prevail: a missing key file
// is created from them and a differing one rewritten.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/board_paths.h"

constexpr size_t KEY_RECORD_TEXT_SIZE = 502;
constexpr long KEY_FILE_MAX_SIZE = 500;
constexpr size_t BOARD_KEY_SIZE = 16;
// Work buffer of the key store's encryption and decryption.
constexpr int KEY_CRYPT_BUFFER_SIZE = 1024;

// A loaded public key as handed to the signature check: PEM text and its
// length without the terminating NUL.
struct KeyRecord {
    uint16_t length;
    char text[KEY_RECORD_TEXT_SIZE];
};

// Enciphers the plaintext under the key and writes the ciphertext to path.
// 1 written, 0 failed (reported).
[[nodiscard]] int write_encrypted_key(const uint8_t* plaintext, int length, const char* path,
                                      const uint8_t* key, int key_length);

// Fills the record with the key for path: the compiled-in key on a board
// without key material, else the key file, created or rewritten from the
// compiled-in key as needed. Only the two key files of paths are known to
// the loader. 1 when the record holds a key, 0 otherwise.
[[nodiscard]] int load_signing_key(KeyRecord* record, const char* path, const BoardPaths& paths);

// load_signing_key with the board key already read.
[[nodiscard]] int load_signing_key_with_board_key(KeyRecord* record, const char* path,
                                                  const uint8_t board_key[BOARD_KEY_SIZE],
                                                  const BoardPaths& paths);

// The 16-byte board key: 12 bytes of NVRAM key material, then 4 zero bytes.
void read_board_key(uint8_t board_key[BOARD_KEY_SIZE]);

// 1 when the production key and then the development key load.
[[nodiscard]] int signing_keys_present(const BoardPaths& paths);
