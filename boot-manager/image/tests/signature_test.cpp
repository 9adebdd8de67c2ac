#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/pem.h>

#include <cstring>
#include <regex>
#include <string>
#include <tuple>

#include "image/image_format.h"
#include "image/openssl_handles.h"
#include "image/signature.h"
#include "image/signing_key_files.h"
#include "image/signing_keys.h"
#include "image_bytes.h"
#include "platform/boot_options.h"
#include "platform/unique_file.h"
#include "pty_console.h"
#include "test_support.h"

namespace {

using namespace image_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// clang-format off
const char *const PROD_KEY = PRODUCTION_SIGNING_KEY_FILE, *const DEV_KEY = DEVELOPMENT_SIGNING_KEY_FILE;
const char* const STRANGER_KEY = STRANGER_SIGNING_KEY_FILE;
// clang-format on

// RSA PKCS#1 v1.5 over SHA-256 with the private half of a build key.
Bytes sign(const Bytes& payload, const char* private_key_file) {
    platform::UniqueFile file(std::fopen(private_key_file, "r"));
    openssl::Pkey key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    openssl::MdCtx ctx(EVP_MD_CTX_new());
    Bytes signature(256); // RSA-2048
    size_t length = signature.size();
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get());
    EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size());
    return signature;
}

// Larger than the hash buffer, and not a multiple of it; no chunk like another.
const Bytes APP = [] {
    Bytes bytes(SIGNATURE_HASH_CHUNK + 5000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}();
const Bytes ROOTFS(3000, 0x5A);

// A version-3 component: the extra record, then the payload's signature
// record unless key is null.
Bytes signed_by(const char* key, const Bytes& payload = APP, const Bytes& extra = {}) {
    const Bytes sig = key ? signature_record(sign(payload, key)) : Bytes{};
    const auto len = static_cast<uint32_t>(8 + extra.size() + sig.size() + payload.size());
    return concat({v3_header(len, IMAGE_TYPE_APPLICATION, 0x01020304, {extra, sig}), payload});
}
Bytes flipped(Bytes bytes, size_t at, uint8_t bits) {
    bytes[at] ^= bits;
    return bytes;
}

class Signatures : public testing::Test {
  protected:
    void SetUp() override {
        if (!*PROD_KEY || !*DEV_KEY)
            GTEST_SKIP() << "the build was given public keys without their private halves";
    }
    void TearDown() override {
        boot_options.lowsec = false;
        forget_developer_images_state();
    }
    // Off the board the NVRAM cannot be reached; its complaints are no part
    // of what is looked at.
    static std::string printed() {
        return std::regex_replace(GetCapturedStdout(), std::regex("I2C error[^\n]*\n"), "");
    }
    void install_rootfs(const Bytes& rootfs) {
        forget_developer_images_state();
        std::remove(paths.developer_images_partition.c_str());
        if (!rootfs.empty())
            test_support::write_file(paths.developer_images_partition, rootfs);
    }

    test_support::TempDir dir;
    BoardPaths paths{dir.file("p.pem"), dir.file("d.pem"), dir.file("rfs"), dir.file("lowsec")};
    const Bytes unsigned_rootfs = v1_component(IMAGE_TYPE_ROOT_FS, 0, 64);
};

// Off the board the keys come straight from the build, announced each time.
// clang-format off
const std::string P = "Creating system key\n", D = "Creating system development key\n";
const std::string OVERRIDE = "NOTE: Uboot low security mode override enabled\n";
const std::string VERIFIED = " Image signature verified. ", REJECTED = " Image rejected. ";
const std::string NO_SIGNATURE = " Image rejected as it has no signature\n", ASK = "Install image anyway? y/N? ";
const std::string UNSIGNED_BUT = "\nWARNING: Image is unsigned but you are running developer images and are in low security mode\n" + ASK;
const std::string DEV_CHECK = P + "\nNOTE - developer images operational. Checking developer keys....\n" + D;
const std::string LOW_CHECK = P + "\nNOTE - low security mode is operational. Checking developer keys....\n" + D;
const std::string ALL_FAILED = DEV_CHECK + "\nWARNING: All checks failed but you are running developer images and are in low security mode\n" + ASK;
// clang-format on

TEST_F(Signatures, DecisionTable) {
    const Bytes prod = signed_by(PROD_KEY), dev = signed_by(DEV_KEY),
                alien = signed_by(STRANGER_KEY), v1 = v1_component(IMAGE_TYPE_APPLICATION, 0, 500),
                prod_rootfs = signed_by(PROD_KEY, ROOTFS);
    // Developer images, low-security mode, override; the component; the keys
    // typed; the header bytes handed over (0: all); the verdict and transcript.
    const std::tuple<bool, bool, bool, Bytes, const char*, size_t, int, std::string> cases[] = {
        // clang-format off
        {0, 0, 0, prod, "", 0, 1, P + VERIFIED},
        {0, 0, 0, dev, "", 0, 0, P + REJECTED},
        {1, 0, 0, dev, "", 0, 1, DEV_CHECK + VERIFIED},
        {0, 1, 0, dev, "", 0, 1, LOW_CHECK + VERIFIED},
        {0, 0, 1, dev, "", 0, 1, OVERRIDE + LOW_CHECK + VERIFIED},
        {0, 0, 0, alien, "y", 0, 0, P + REJECTED},
        {1, 0, 0, alien, "y", 0, 0, DEV_CHECK + REJECTED},
        {0, 1, 0, alien, "y", 0, 0, LOW_CHECK + REJECTED},
        {1, 1, 0, alien, "y", 0, 1, ALL_FAILED + "y\n" + VERIFIED},
        {1, 1, 0, alien, "\r", 0, 0, ALL_FAILED + "\n\n" + REJECTED},
        {0, 0, 0, flipped(prod, 2000, 1), "", 0, 0, P + REJECTED},
        {0, 0, 0, Bytes(prod.begin(), prod.end() - 1), "", 0, 0, P + REJECTED},
        {0, 0, 0, v1, "y", 0, 0, NO_SIGNATURE},
        {1, 0, 0, v1, "y", 0, 0, NO_SIGNATURE},
        {0, 1, 0, v1, "y", 0, 0, NO_SIGNATURE},
        {1, 1, 0, v1, "Y", 0, 1, UNSIGNED_BUT + "Y\n"},
        {1, 1, 0, v1, "n", 0, 0, UNSIGNED_BUT + "n\n"},
        {1, 0, 1, v1, "y", 0, 1, OVERRIDE + OVERRIDE + UNSIGNED_BUT + "y\n"},
        {0, 0, 0, signed_by(nullptr, APP, record(9, 8, {0, 0, 0, 0})), "y", 0, 0, NO_SIGNATURE},
        {1, 1, 0, signed_by(nullptr), "y", 0, 1, UNSIGNED_BUT + "y\n"},
        {0, 0, 0, prod, "", 16, 0, NO_SIGNATURE},
        // The signature length (record offset 4) claims 259 bytes, 3 more than the record.
        {0, 0, 0, flipped(prod, 29, 3), "", 0, 0, P + REJECTED},
        {0, 1, 0, prod, "", 100, 0, LOW_CHECK + REJECTED}, // header beyond the bytes read
        // clang-format on
    };
    // Each component follows another, so its start is not the file's.
    const Bytes before = v1_component(IMAGE_TYPE_KERNEL, 0, 100);
    test_support::write_file(dir.file("lowsec"), {'w'});
    for (const auto& [developer, low, override, component, keys, count, result, output] : cases) {
        SCOPED_TRACE(output);
        install_rootfs(developer ? unsigned_rootfs : prod_rootfs);
        CaptureStdout();
        EXPECT_EQ(developer_images_installed(paths), developer); // the answer for the run
        printed();
        paths.low_security_marker = dir.file(low ? "lowsec" : "absent");
        boot_options.lowsec = override;
        platform::UniqueFile file(temp_file_with(concat({before, component})));
        ASSERT_TRUE(seek_image(file.get(), before.size()));
        ComponentHeader header;
        read_component_header(component.data(), &header, HeaderRules::versions_1_and_3);
        PtyConsole pty;
        pty.type(keys);
        CaptureStdout();
        const size_t given = count ? count : header.header_size;
        EXPECT_EQ(verify_image_signature(file.get(), component.data(), given, paths), result);
        EXPECT_EQ(printed(), output);
        EXPECT_EQ(std::ftell(file.get()), static_cast<long>(before.size()));
    }
}

TEST_F(Signatures, DeveloperImagesFromTheRootFilesystemOncePerRun) {
    // The partition (none when empty), the answer and whether it holds.
    // clang-format off
    const std::tuple<Bytes, int, bool> cases[] = {
        {unsigned_rootfs, 1, true}, {Bytes(4096, 0xFF), 1, true}, {signed_by(DEV_KEY, ROOTFS), 1, true},
        {signed_by(PROD_KEY, ROOTFS), 0, true}, {signed_by(STRANGER_KEY, ROOTFS), 0, true}, {{}, 0, false},
        {Bytes(10, 0xFF), 0, false}, {signed_by(nullptr, ROOTFS), 0, false},
        {flipped(signed_by(PROD_KEY, ROOTFS), 29, 3), 0, true}, // signature beyond its record
    };
    // clang-format on
    for (const auto& [rootfs, developer, determined] : cases) {
        SCOPED_TRACE(rootfs.size());
        install_rootfs(rootfs);
        CaptureStdout();
        EXPECT_EQ(developer_images_installed(paths), developer);
        // Unsigned now; an answer once given holds for the run.
        test_support::write_file(paths.developer_images_partition, unsigned_rootfs);
        EXPECT_EQ(developer_images_installed(paths), determined ? developer : 1);
        printed();
    }
}

// A development-signed component on a developer board: the development key
// is checked against the digest the production key failed on, so the payload
// goes through the stream once.
TEST_F(Signatures, DevelopmentKeyCheckedWithoutReadingThePayloadAgain) {
    const Bytes component = signed_by(DEV_KEY);
    struct Counted {
        platform::UniqueFile file;
        size_t read = 0;
    } counted{platform::UniqueFile(temp_file_with(component))};
    cookie_io_functions_t io{};
    io.read = [](void* c, char* buffer, size_t size) -> ssize_t {
        auto* self = static_cast<Counted*>(c);
        const size_t got = std::fread(buffer, 1, size, self->file.get());
        self->read += got;
        return static_cast<ssize_t>(got);
    };
    io.seek = [](void* c, off64_t* offset, int whence) {
        FILE* file = static_cast<Counted*>(c)->file.get();
        return fseeko(file, *offset, whence) == 0 && (*offset = ftello(file)) >= 0 ? 0 : -1;
    };
    platform::UniqueFile stream(fopencookie(&counted, "rb", io));
    install_rootfs(unsigned_rootfs);
    CaptureStdout();
    EXPECT_EQ(verify_image_signature(stream.get(), component.data(), component.size() - APP.size(),
                                     paths),
              1);
    EXPECT_EQ(printed(), DEV_CHECK + VERIFIED);
    EXPECT_LT(counted.read, component.size() + BUFSIZ);
}

// A key that is cut short or no RSA key is refused with its length; the
// smallest payload.
TEST_F(Signatures, KeysRefusedAndAnEmptyPayload) {
    const Bytes signature = sign({}, PROD_KEY);
    KeyRecord key{};
    std::memcpy(key.text, production_public_key, key.length = SIGNING_KEY_PEM_LENGTH);
    platform::UniqueFile file(std::tmpfile());
    EXPECT_EQ(openssl_verifySignature(file.get(), 0, signature.data(), signature.size(), &key), 0);
    key.length = 200;
    CaptureStdout();
    EXPECT_EQ(openssl_verifySignature(file.get(), 0, signature.data(), signature.size(), &key), -1);
    openssl::Pkey ec(EVP_EC_gen("P-256"));
    openssl::Bio bio(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(PEM_write_bio_PUBKEY(bio.get(), ec.get()));
    key.length = static_cast<uint16_t>(BIO_read(bio.get(), key.text, sizeof key.text));
    EXPECT_EQ(openssl_verifySignature(file.get(), 0, signature.data(), signature.size(), &key), -1);
    const std::string REFUSED = "openssl_verifySignature: Error reading key from buffer ";
    EXPECT_EQ(GetCapturedStdout(),
              REFUSED + "200 !\n" + REFUSED + std::to_string(key.length) + " !\n");
}

} // namespace
