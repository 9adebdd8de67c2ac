#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "image/image_cipher.h"
#include "image/key_store.h"
#include "image/signing_keys.h"
#include "test_support.h"

namespace {

using test_support::read_file;
using test_support::write_file;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;

const uint8_t BOARD_KEY[BOARD_KEY_SIZE] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                           0x99, 0xaa, 0xbb, 0xcc, 0,    0,    0,    0};
const uint8_t OTHER_BOARD_KEY[BOARD_KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0};
const uint8_t NO_KEY_MATERIAL[BOARD_KEY_SIZE] = {};

Bytes crypt(const Bytes& in, int encrypt, const uint8_t* key = BOARD_KEY) {
    Bytes out(KEY_CRYPT_BUFFER_SIZE);
    int length = 0;
    EXPECT_EQ(
        do_crypt(in.data(), static_cast<int32_t>(in.size()), out.data(), &length, encrypt, key, 16),
        0);
    out.resize(static_cast<size_t>(length));
    return out;
}
Bytes encrypt(const std::string& text, const uint8_t* key = BOARD_KEY) {
    return crypt(Bytes(text.begin(), text.end()), 1, key);
}
std::string decrypt(const Bytes& cipher) {
    const Bytes plain = crypt(cipher, 0);
    return std::string(plain.begin(), plain.end());
}

const std::string PRODUCTION(production_public_key, SIGNING_KEY_PEM_LENGTH);
const std::string DEVELOPMENT(development_public_key, SIGNING_KEY_PEM_LENGTH);
// The key files hold the compiled-in text with its NUL.
const Bytes PRODUCTION_FILE = encrypt(PRODUCTION + '\0');
const Bytes DEVELOPMENT_FILE = encrypt(DEVELOPMENT + '\0');

TEST(ImageCipher, ZeroFillsToWholeBlocksUnderAFixedIv) {
    EXPECT_EQ(PRODUCTION_FILE.size(), 464u); // 452 bytes, nothing added but the fill
    EXPECT_EQ(decrypt(PRODUCTION_FILE), PRODUCTION);
    // "abc" and 13 zeros under the board key and the IV, as another AES
    // implementation enciphers them: key files of earlier runs stay readable.
    EXPECT_EQ(encrypt("abc"), (Bytes{0x81, 0xa2, 0x9d, 0x16, 0x60, 0x37, 0xbe, 0xf6, 0x22, 0x76,
                                     0x24, 0x9e, 0x42, 0xb6, 0x97, 0xac}));
    EXPECT_EQ(encrypt(PRODUCTION + '\0'), PRODUCTION_FILE);
    EXPECT_NE(encrypt(PRODUCTION + '\0', OTHER_BOARD_KEY), PRODUCTION_FILE);
}

// 496 characters without a NUL, then 4 bytes whose last block deciphers to
// exactly 6 more: one character more than the 501 a record holds.
Bytes overlong_key_file() {
    const Bytes head = encrypt(std::string(496, 'A'));
    for (uint32_t tail = 0;; ++tail) {
        Bytes file = head;
        for (int i = 0; i < 4; ++i)
            file.push_back(static_cast<uint8_t>(tail >> (8 * i)));
        if (decrypt(file).size() == KEY_RECORD_TEXT_SIZE)
            return file;
    }
}

// 31 whole blocks of a text that ends after 100 characters of the key, and 4
// more bytes: 500 in all.
Bytes key_part_of_500_bytes() {
    Bytes file = encrypt(PRODUCTION.substr(0, 100) + std::string(396, '\0'));
    file.insert(file.end(), {1, 2, 3, 4});
    return file;
}

struct KeyCase {
    const char* name;
    const char* file; // in the scratch folder
    std::optional<Bytes> stored;
    const uint8_t* board_key;
    int result;
    std::string output; // '@' stands for the file's path
    std::string text;   // in the record
    std::optional<Bytes> after;
};

const Bytes OVERLONG = overlong_key_file();
const Bytes PART_OF_KEY = key_part_of_500_bytes();
const std::string OVERLONG_LENGTH = std::to_string(decrypt(OVERLONG).size());

const char* const PROD = "production_key.pub.pem";
const char* const DEV = "development_key.pub.pem";
const auto NONE = std::nullopt;
const std::string UPDATING = "Updating system key....\n";

// clang-format off
const KeyCase KEY_CASES[] = {
    {"compiled", PROD, NONE, NO_KEY_MATERIAL, 1, "Creating system key\n", PRODUCTION, NONE},
    {"compiled development", DEV, NONE, NO_KEY_MATERIAL, 1, "Creating system development key\n",
     DEVELOPMENT, NONE},
    {"other file, no material", "k.pem", encrypt("x"), NO_KEY_MATERIAL, 0, "", "", encrypt("x")},
    {"created", PROD, NONE, BOARD_KEY, 1, "Creating system key....\n", PRODUCTION, PRODUCTION_FILE},
    {"created development", DEV, NONE, BOARD_KEY, 1, "Creating system development key....\n",
     DEVELOPMENT, DEVELOPMENT_FILE},
    {"read back", PROD, PRODUCTION_FILE, BOARD_KEY, 1, "", PRODUCTION, PRODUCTION_FILE},
    {"read back development", DEV, DEVELOPMENT_FILE, BOARD_KEY, 1, "", DEVELOPMENT,
     DEVELOPMENT_FILE},
    {"differing", PROD, DEVELOPMENT_FILE, BOARD_KEY, 1, UPDATING, PRODUCTION, PRODUCTION_FILE},
    {"differing development", DEV, encrypt("not a key"), BOARD_KEY, 1,
     "Updating system development key....\n", DEVELOPMENT, DEVELOPMENT_FILE},
    {"other board key", PROD, encrypt(PRODUCTION + '\0', OTHER_BOARD_KEY), BOARD_KEY, 1, UPDATING,
     PRODUCTION, PRODUCTION_FILE},
    {"500 bytes, leading part", PROD, PART_OF_KEY, BOARD_KEY, 1, "", PRODUCTION.substr(0, 100),
     PART_OF_KEY},
    {"501 bytes", PROD, Bytes(501, 0x5a), BOARD_KEY, 0,
     "ERROR loading key as length too long 501 > 500\n", "", Bytes(501, 0x5a)},
    {"empty", PROD, Bytes(), BOARD_KEY, 0,
     "do_crypt: Invalid input length 0\nERROR decrypting new key @ (ret -1 key len 0)\n", "",
     Bytes()},
    {"text beyond the record", PROD, OVERLONG, BOARD_KEY, 0,
     "ERROR decrypting new key @ (ret 0 key len " + OVERLONG_LENGTH + ")\n", "", OVERLONG},
    {"other file, absent", "k.pem", NONE, BOARD_KEY, 0, "ERROR - unable to find system key\n", "",
     NONE},
    {"other file", "k.pem", encrypt("text"), BOARD_KEY, 1, "", "text", encrypt("text")},
    {"uncreatable", "absent/production_key.pub.pem", NONE, BOARD_KEY, 0,
     "Creating system key....\nERROR creating file @\nERROR - unable to find system key\n", "",
     NONE},
};
// clang-format on

TEST(KeyStore, LoadsCreatesAndRewritesTheKeyFiles) {
    for (const KeyCase& c : KEY_CASES) {
        SCOPED_TRACE(c.name);
        test_support::TempDir dir;
        BoardPaths paths;
        const std::string path = dir.file(c.file);
        paths.production_key = std::strstr(c.file, "production") ? path : dir.file("p");
        paths.development_key = dir.file("development_key.pub.pem");
        if (c.stored)
            write_file(path, *c.stored);
        KeyRecord record;
        std::memset(&record, 0xA5, sizeof record);
        CaptureStdout();
        EXPECT_EQ(load_signing_key_with_board_key(&record, path.c_str(), c.board_key, paths),
                  c.result);
        std::string output = c.output;
        if (size_t at = output.find('@'); at != std::string::npos)
            output.replace(at, 1, path);
        EXPECT_EQ(GetCapturedStdout(), output);
        if (c.result) {
            EXPECT_EQ(std::string(record.text, record.length), c.text);
        }
        EXPECT_EQ(test_support::file_exists(path), c.after.has_value());
        EXPECT_EQ(read_file(path), c.after.value_or(Bytes{}));
    }
}

TEST(KeyStore, RefusesWhatItCannotHold) {
    test_support::TempDir dir;
    const BoardPaths paths;
    EXPECT_EQ(load_signing_key(nullptr, paths.production_key.c_str(), paths), 0);
    const Bytes big(1025, 'x');
    CaptureStdout();
    EXPECT_EQ(write_encrypted_key(big.data(), 1025, dir.file("k").c_str(), BOARD_KEY, 16), 0);
    EXPECT_EQ(GetCapturedStdout(),
              "ERROR encrypting new key " + dir.file("k") + " (ret -1 key len 0)\n");
    EXPECT_FALSE(test_support::file_exists(dir.file("k")));
}

} // namespace
