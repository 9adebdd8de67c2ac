#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/image_cipher.h"
#include "image/key_store.h"
#include "image/signing_keys.h"
#include "temp_dir.h"

namespace {

using image_test::file_exists;
using image_test::read_file;
using image_test::TempDir;
using image_test::write_file;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;

const uint8_t BOARD_KEY[BOARD_KEY_SIZE] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                           0x99, 0xaa, 0xbb, 0xcc, 0,    0,    0,    0};
const uint8_t OTHER_BOARD_KEY[BOARD_KEY_SIZE] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                                 0x09, 0x0a, 0x0b, 0x0c, 0,    0,    0,    0};
const uint8_t NO_KEY_MATERIAL[BOARD_KEY_SIZE] = {};

Bytes encrypt(const Bytes& plain, const uint8_t* key = BOARD_KEY) {
    Bytes out(KEY_CRYPT_BUFFER_SIZE);
    int length = 0;
    EXPECT_EQ(
        do_crypt(plain.data(), static_cast<int32_t>(plain.size()), out.data(), &length, 1, key, 16),
        0);
    out.resize(static_cast<size_t>(length));
    return out;
}

std::string decrypt_text(const Bytes& cipher, const uint8_t* key = BOARD_KEY) {
    Bytes out(KEY_CRYPT_BUFFER_SIZE);
    int length = 0;
    EXPECT_EQ(do_crypt(cipher.data(), static_cast<int32_t>(cipher.size()), out.data(), &length, 0,
                       key, 16),
              0);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(length));
}

Bytes text_bytes(const char* text, size_t length) {
    return Bytes(reinterpret_cast<const uint8_t*>(text),
                 reinterpret_cast<const uint8_t*>(text) + length);
}

const std::string PRODUCTION(production_public_key, SIGNING_KEY_PEM_LENGTH);
const std::string DEVELOPMENT(development_public_key, SIGNING_KEY_PEM_LENGTH);

TEST(ImageCipher, RoundTripOfAKeyWithItsNul) {
    Bytes plain = text_bytes(production_public_key, SIGNING_KEY_PEM_SIZE);
    Bytes cipher = encrypt(plain);
    EXPECT_EQ(cipher.size(), 464u); // 452 zero-filled to whole blocks, nothing added
    EXPECT_EQ(decrypt_text(cipher), PRODUCTION);
    EXPECT_NE(encrypt(plain, OTHER_BOARD_KEY), cipher);
    EXPECT_NE(decrypt_text(cipher, OTHER_BOARD_KEY), PRODUCTION);
    // The IV is fixed: the same text enciphers the same way every time.
    EXPECT_EQ(encrypt(plain), cipher);
}

TEST(ImageCipher, ShortInputIsZeroFilledToOneBlock) {
    Bytes cipher = encrypt(text_bytes("abc", 3));
    EXPECT_EQ(cipher.size(), 16u);
    EXPECT_EQ(cipher, encrypt(Bytes{'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(decrypt_text(cipher), "abc");
}

TEST(ImageCipher, RefusesEmptyAndNegativeLengths) {
    uint8_t in[16] = {};
    uint8_t out[32];
    int length = 99;
    CaptureStdout();
    EXPECT_EQ(do_crypt(in, 0, out, &length, 1, BOARD_KEY, 16), -1);
    EXPECT_EQ(do_crypt(in, -5, out, &length, 0, BOARD_KEY, 16), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "do_crypt: Invalid input length 0\ndo_crypt: Invalid input length -5\n");
}

TEST(CompiledKeys, AreRsa2048PublicKeysInPem) {
    for (const std::string& key : {PRODUCTION, DEVELOPMENT}) {
        EXPECT_EQ(key.rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
        EXPECT_EQ(key.substr(key.size() - 25), "-----END PUBLIC KEY-----\n");
    }
    EXPECT_EQ(production_public_key[SIGNING_KEY_PEM_LENGTH], '\0');
    EXPECT_NE(PRODUCTION, DEVELOPMENT);
}

class KeyStore : public testing::Test {
  protected:
    void SetUp() override {
        saved = key_file_paths;
        production = dir.file("production_key.pub.pem");
        development = dir.file("development_key.pub.pem");
        key_file_paths = {production.c_str(), development.c_str()};
    }
    void TearDown() override { key_file_paths = saved; }

    int load(const std::string& path, const uint8_t* board_key = BOARD_KEY) {
        std::memset(&record, 0xA5, sizeof record);
        CaptureStdout();
        int result = load_signing_key_with_board_key(&record, path.c_str(), board_key);
        output = GetCapturedStdout();
        return result;
    }
    std::string record_text() const { return std::string(record.text, record.length); }

    TempDir dir;
    KeyFilePaths saved{};
    std::string production, development;
    KeyRecord record{};
    std::string output;
};

TEST_F(KeyStore, BoardWithoutKeyMaterialUsesCompiledKeysAndNoFiles) {
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(load(production, NO_KEY_MATERIAL), 1);
        EXPECT_EQ(output, "Creating system key\n");
        EXPECT_EQ(record.length, 451);
        EXPECT_EQ(record_text(), PRODUCTION);

        ASSERT_EQ(load(development, NO_KEY_MATERIAL), 1);
        EXPECT_EQ(output, "Creating system development key\n");
        EXPECT_EQ(record_text(), DEVELOPMENT);
    }
    EXPECT_FALSE(file_exists(production));
    EXPECT_FALSE(file_exists(development));

    write_file(dir.file("other.pem"), encrypt(text_bytes("x", 1)));
    EXPECT_EQ(load(dir.file("other.pem"), NO_KEY_MATERIAL), 0);
    EXPECT_EQ(output, "");
}

TEST_F(KeyStore, CreatesEncryptedFilesAndReadsThemBack) {
    ASSERT_EQ(load(production), 1);
    EXPECT_EQ(output, "Creating system key....\n");
    EXPECT_EQ(record_text(), PRODUCTION);
    Bytes file = read_file(production);
    EXPECT_EQ(file, encrypt(text_bytes(production_public_key, SIGNING_KEY_PEM_SIZE)));
    EXPECT_EQ(decrypt_text(file), PRODUCTION);

    ASSERT_EQ(load(development), 1);
    EXPECT_EQ(output, "Creating system development key....\n");
    EXPECT_EQ(decrypt_text(read_file(development)), DEVELOPMENT);

    // Read back: silent, and the files stay as they are.
    ASSERT_EQ(load(production), 1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(record_text(), PRODUCTION);
    EXPECT_EQ(read_file(production), file);
    ASSERT_EQ(load(development), 1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(record_text(), DEVELOPMENT);
}

TEST_F(KeyStore, DifferingFileIsRewrittenFromTheCompiledKey) {
    write_file(production, encrypt(text_bytes(development_public_key, SIGNING_KEY_PEM_SIZE)));
    ASSERT_EQ(load(production), 1);
    EXPECT_EQ(output, "Updating system key....\n");
    EXPECT_EQ(record_text(), PRODUCTION);
    EXPECT_EQ(decrypt_text(read_file(production)), PRODUCTION);

    write_file(development, encrypt(text_bytes("not a key", 10)));
    ASSERT_EQ(load(development), 1);
    EXPECT_EQ(output, "Updating system development key....\n");
    EXPECT_EQ(record_text(), DEVELOPMENT);
    EXPECT_EQ(decrypt_text(read_file(development)), DEVELOPMENT);
}

TEST_F(KeyStore, FileMadeUnderAnotherBoardKeyIsRewritten) {
    write_file(production,
               encrypt(text_bytes(production_public_key, SIGNING_KEY_PEM_SIZE), OTHER_BOARD_KEY));
    ASSERT_EQ(load(production), 1);
    // The foreign file deciphers to text that is no part of the key.
    EXPECT_EQ(output.substr(output.size() - 24), "Updating system key....\n");
    EXPECT_EQ(record_text(), PRODUCTION);
    EXPECT_EQ(decrypt_text(read_file(production)), PRODUCTION);
}

TEST_F(KeyStore, FileOf500BytesIsReadAndALeadingPartIsKept) {
    // 31 whole blocks of a text that ends after 100 characters of the key,
    // then 4 more bytes: 500 in all.
    Bytes plain = text_bytes(production_public_key, 100);
    plain.resize(496, 0);
    Bytes file = encrypt(plain);
    file.insert(file.end(), {1, 2, 3, 4});
    ASSERT_EQ(file.size(), 500u);
    write_file(production, file);

    ASSERT_EQ(load(production), 1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(record.length, 100);
    EXPECT_EQ(record_text(), PRODUCTION.substr(0, 100));
    EXPECT_EQ(read_file(production), file);
}

TEST_F(KeyStore, FileOf501BytesIsRefused) {
    write_file(production, Bytes(501, 0x5a));
    EXPECT_EQ(load(production), 0);
    EXPECT_EQ(output, "ERROR loading key as length too long 501 > 500\n");
    EXPECT_EQ(read_file(production).size(), 501u);
}

TEST_F(KeyStore, EmptyFileFailsToDecrypt) {
    std::FILE* empty = std::fopen(production.c_str(), "wb");
    ASSERT_NE(empty, nullptr);
    std::fclose(empty);
    EXPECT_EQ(load(production), 0);
    EXPECT_EQ(output, "do_crypt: Invalid input length 0\nERROR decrypting new key " + production +
                          " (ret -1 key len 0)\n");
}

TEST_F(KeyStore, TextLongerThanTheRecordIsRefused) {
    // 496 characters without a NUL, then 4 bytes chosen so that the last
    // (partial) block deciphers without a NUL in the next 6 bytes either: the
    // text is then longer than the 501 characters a record holds.
    Bytes plain(496, 'A');
    Bytes head = encrypt(plain);
    for (uint32_t tail = 0;; ++tail) {
        Bytes file = head;
        for (int i = 0; i < 4; ++i)
            file.push_back(static_cast<uint8_t>(tail >> (8 * i)));
        Bytes out(KEY_CRYPT_BUFFER_SIZE);
        int length = 0;
        do_crypt(file.data(), 500, out.data(), &length, 0, BOARD_KEY, 16);
        if (length < 502)
            continue;
        write_file(production, file);
        EXPECT_EQ(load(production), 0);
        EXPECT_EQ(output, "ERROR decrypting new key " + production + " (ret 0 key len " +
                              std::to_string(length) + ")\n");
        break;
    }
}

TEST_F(KeyStore, OtherPathsAreReadButNeverCreatedOrRewritten) {
    std::string other = dir.file("vendor.pem");
    EXPECT_EQ(load(other), 0);
    EXPECT_EQ(output, "ERROR - unable to find system key\n");
    EXPECT_FALSE(file_exists(other));

    write_file(other, encrypt(text_bytes("some other text", 16)));
    ASSERT_EQ(load(other), 1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(record_text(), "some other text");
}

TEST_F(KeyStore, UncreatableFileIsReported) {
    std::string missing_dir = dir.file("absent/production_key.pub.pem");
    key_file_paths.production = missing_dir.c_str();
    EXPECT_EQ(load(missing_dir), 0);
    EXPECT_EQ(output, "Creating system key....\nERROR creating file " + missing_dir +
                          "\nERROR - unable to find system key\n");
}

TEST_F(KeyStore, NullRecordYieldsZero) {
    EXPECT_EQ(load_signing_key(nullptr, production.c_str()), 0);
    EXPECT_EQ(load_signing_key_with_board_key(nullptr, production.c_str(), BOARD_KEY), 0);
    EXPECT_FALSE(file_exists(production));
}

TEST(WriteEncryptedKey, ReportsWhatCannotBeWritten) {
    TempDir dir;
    Bytes big(1025, 'x');
    CaptureStdout();
    EXPECT_EQ(write_encrypted_key(big.data(), 1025, dir.file("k").c_str(), BOARD_KEY, 16), 0);
    EXPECT_EQ(write_encrypted_key(big.data(), 0, dir.file("k").c_str(), BOARD_KEY, 16), 0);
    EXPECT_EQ(GetCapturedStdout(), "ERROR encrypting new key " + dir.file("k") +
                                       " (ret -1 key len 0)\n"
                                       "do_crypt: Invalid input length 0\n"
                                       "ERROR encrypting new key " +
                                       dir.file("k") + " (ret -1 key len 0)\n");
    EXPECT_FALSE(file_exists(dir.file("k")));
}

} // namespace
