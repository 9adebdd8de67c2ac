#include "image/image_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "image/openssl_handles.h"

namespace {

// Never stored: encryption and decryption set up the same value.
constexpr uint8_t KEY_STORE_IV[IMAGE_CIPHER_BLOCK] = {
    0x5b, 0x1e, 0xc4, 0x70, 0x93, 0x2d, 0xa8, 0x6f, 0x0c, 0xe1, 0x47, 0xb2, 0x39, 0xd6, 0x84, 0x1a};

using openssl::CipherCtx;

// Assertion reports name this module, as the board's support tools expect.
void check(bool condition, const char* text, int line) {
    if (!condition)
        OPENSSL_die(text, "image", line);
}

} // namespace

int do_crypt(const uint8_t* input, int32_t input_length, uint8_t* output, int* output_length,
             int encrypt, const uint8_t* key, int /*key_length*/) {
    if (input_length <= 0) {
        std::printf("do_crypt: Invalid input length %d\n", input_length);
        return -1;
    }
    const int64_t padded = (static_cast<int64_t>(input_length) + IMAGE_CIPHER_BLOCK - 1) /
                           IMAGE_CIPHER_BLOCK * IMAGE_CIPHER_BLOCK;
    std::unique_ptr<uint8_t[]> work;
    if (padded <= INT32_MAX)
        work.reset(new (std::nothrow) uint8_t[static_cast<size_t>(padded)]());
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!work || !ctx) {
        std::printf("do_crypt: unable to alloc data buffer\n");
        return -1;
    }
    std::memcpy(work.get(), input, static_cast<size_t>(input_length));

    EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, nullptr, nullptr, encrypt);
    check(EVP_CIPHER_CTX_get_key_length(ctx.get()) == IMAGE_CIPHER_KEY_LENGTH,
          "assertion failed: EVP_CIPHER_CTX_key_length(&ctx) == 16", __LINE__);
    check(EVP_CIPHER_CTX_get_iv_length(ctx.get()) == IMAGE_CIPHER_BLOCK,
          "assertion failed: EVP_CIPHER_CTX_iv_length(&ctx) == 16", __LINE__);
    // The zero fill already makes whole blocks; the file holds nothing else.
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key, KEY_STORE_IV, encrypt);

    int produced = 0;
    if (EVP_CipherUpdate(ctx.get(), output, &produced, work.get(), static_cast<int>(padded)) != 1) {
        std::printf("EVP_CipherUpdate returned error!\n");
        return -1;
    }
    int final_count = 0;
    if (EVP_CipherFinal_ex(ctx.get(), output + produced, &final_count) != 1) {
        std::printf("EVP_CipherFinal_ex returned error!\n");
        return -1;
    }
    int total = produced + final_count;
    // The plaintext's zero fill ends the text; a text without one is as long
    // as everything deciphered, never longer.
    if (!encrypt)
        total = static_cast<int>(
            strnlen(reinterpret_cast<const char*>(output), static_cast<size_t>(total)));
    *output_length = total;
    return 0;
}
