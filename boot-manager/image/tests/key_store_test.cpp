#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "image/image_cipher.h"
#include "image/key_store.h"
#include "image/signing_keys.h"
#include "test_support.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using namespace test_support;
using Bytes = std::vector<uint8_t>;

const uint8_t BOARD_KEY[BOARD_KEY_SIZE] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                           0x99, 0xaa, 0xbb, 0xcc, 0,    0,    0,    0};
const uint8_t NO_KEY[BOARD_KEY_SIZE] = {};

template <typename Out = Bytes> Out crypt(const Bytes& in, int enc) {
    Bytes out(KEY_CRYPT_BUFFER_SIZE);
    int length = 0;
    EXPECT_EQ(0, do_crypt(in.data(), int(in.size()), out.data(), &length, enc, BOARD_KEY, 16));
    return Out(out.begin(), out.begin() + length);
}
Bytes encrypt(const std::string& text) {
    return crypt(Bytes(text.begin(), text.end()), 1);
}

const std::string PRODUCTION(production_public_key, SIGNING_KEY_PEM_LENGTH);
const std::string DEVELOPMENT(development_public_key, SIGNING_KEY_PEM_LENGTH);
// The key files hold the compiled-in text with its NUL.
const Bytes PRODUCTION_FILE = encrypt(PRODUCTION + '\0');

TEST(ImageCipher, ZeroFillsToWholeBlocksUnderAFixedIv) {
    EXPECT_EQ(PRODUCTION_FILE.size(), 464u); // 452 bytes, nothing added but the fill
    EXPECT_EQ(crypt<std::string>(PRODUCTION_FILE, 0), PRODUCTION);
    // "abc" and 13 zeros under the board key and the IV, as another AES
    // implementation enciphers them: key files of earlier runs stay readable.
    EXPECT_EQ(encrypt("abc"), (Bytes{0x81, 0xa2, 0x9d, 0x16, 0x60, 0x37, 0xbe, 0xf6, 0x22, 0x76,
                                     0x24, 0x9e, 0x42, 0xb6, 0x97, 0xac}));
}

// 496 characters without a NUL, then 4 bytes whose last block deciphers to
// exactly 6 more: one character more than the 501 a record holds.
const Bytes OVERLONG = [] {
    for (uint32_t tail = 0;; ++tail) {
        Bytes file = encrypt(std::string(496, 'A'));
        file.insert(file.end(), {uint8_t(tail), uint8_t(tail >> 8), uint8_t(tail >> 16), 0});
        if (crypt<std::string>(file, 0).size() == KEY_RECORD_TEXT_SIZE)
            return file;
    }
}();
// 31 whole blocks of a text that ends after 100 characters of the key, and 4
// more bytes: 500 in all.
const Bytes PART_500 = [] {
    Bytes file = encrypt(PRODUCTION.substr(0, 100) + std::string(396, '\0'));
    file.insert(file.end(), {1, 2, 3, 4});
    return file;
}();

TEST(KeyStore, LoadsCreatesAndRewritesTheKeyFiles) {
    const char *prod = "production.pem", *other = "k.pem";
    const auto NONE = std::nullopt;
    // The file (in the scratch folder) and what it holds, the board key; the
    // result, the transcript ('@': the path), the record's text, the file after.
    // clang-format off
    const std::tuple<const char*, std::optional<Bytes>, const uint8_t*, int, std::string, std::string, std::optional<Bytes>> cases[] = {
    {prod, NONE, NO_KEY, 1, "Creating system key\n", PRODUCTION, NONE},
    {other, encrypt("x"), NO_KEY, 0, "", "", encrypt("x")},
    {prod, NONE, BOARD_KEY, 1, "Creating system key....\n", PRODUCTION, PRODUCTION_FILE},
    {prod, PRODUCTION_FILE, BOARD_KEY, 1, "", PRODUCTION, PRODUCTION_FILE},
    {prod, encrypt(DEVELOPMENT + '\0'), BOARD_KEY, 1, "Updating system key....\n", PRODUCTION, PRODUCTION_FILE},
    {"development.pem", encrypt("not a key"), BOARD_KEY, 1, "Updating system development key....\n", DEVELOPMENT, encrypt(DEVELOPMENT + '\0')},
    {prod, PART_500, BOARD_KEY, 1, "", PRODUCTION.substr(0, 100), PART_500},
    {prod, Bytes(501, 0x5a), BOARD_KEY, 0, "ERROR loading key as length too long 501 > 500\n", "", Bytes(501, 0x5a)},
    {prod, Bytes(), BOARD_KEY, 0, "do_crypt: Invalid input length 0\nERROR decrypting new key @ (ret -1 key len 0)\n", "", Bytes()},
    {prod, OVERLONG, BOARD_KEY, 0, "ERROR decrypting new key @ (ret 0 key len " + std::to_string(crypt<std::string>(OVERLONG, 0).size()) + ")\n", "", OVERLONG},
    {other, NONE, BOARD_KEY, 0, "ERROR - unable to find system key\n", "", NONE},
    {other, encrypt("text"), BOARD_KEY, 1, "", "text", encrypt("text")},
    {"absent/production.pem", NONE, BOARD_KEY, 0, "Creating system key....\nERROR creating file @\nERROR - unable to find system key\n", "", NONE},
    };
    // clang-format on
    for (const auto& [file, stored, board_key, result, output, text, after] : cases) {
        SCOPED_TRACE(output);
        TempDir dir;
        const std::string path = dir.file(file);
        BoardPaths paths{std::strstr(file, "production") ? path : dir.file("p"),
                         dir.file("development.pem")};
        if (stored)
            write_file(path, *stored);
        KeyRecord record;
        std::memset(&record, 0xA5, sizeof record);
        CaptureStdout();
        EXPECT_EQ(load_signing_key_with_board_key(&record, path.c_str(), board_key, paths), result);
        EXPECT_EQ(GetCapturedStdout(), std::regex_replace(output, std::regex("@"), path));
        EXPECT_EQ(result ? std::string(record.text, record.length) : "", text);
        EXPECT_EQ(file_exists(path) ? std::optional(read_file(path)) : NONE, after);
    }
    // More than the cipher buffer holds is refused, and no file is left.
    CaptureStdout();
    EXPECT_EQ(write_encrypted_key(Bytes(1025, 'x').data(), 1025, "/absent/k", BOARD_KEY, 16), 0);
    EXPECT_EQ(GetCapturedStdout(), "ERROR encrypting new key /absent/k (ret -1 key len 0)\n");
}

} // namespace
