#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "image/image_format.h"
#include "image/openssl_handles.h"
#include "image/signature.h"
#include "image/signing_keys.h"
#include "platform/boot_options.h"
#include "platform/unique_fd.h"
#include "platform/unique_file.h"
#include "signing_support.h"
#include "test_support.h"
#include "verdict_texts.h"

namespace {

using namespace image_test;
using platform::UniqueFd;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char* const PRODUCTION_KEY = PRODUCTION_SIGNING_KEY_FILE;
const char* const DEVELOPMENT_KEY = DEVELOPMENT_SIGNING_KEY_FILE;
const char* const STRANGER_KEY = STRANGER_SIGNING_KEY_FILE;

// Off the board the NVRAM cannot be reached; its complaints are no part of
// what these tests look at.
std::string without_i2c_noise(const std::string& text) {
    std::string out;
    for (const std::string& line : test_support::split(text, '\n'))
        if (line.rfind("I2C error", 0) != 0)
            out += line + '\n';
    return text.empty() || text.back() == '\n' ? out : out.substr(0, out.size() - 1);
}

// Descriptor 0 reads the given keys, then its end, while the object lives.
class KeysOnStdin {
  public:
    explicit KeysOnStdin(const std::string& keys) : saved_(::dup(0)) {
        platform::UniqueFile file(std::tmpfile());
        std::fputs(keys.c_str(), file.get());
        std::rewind(file.get());
        ::dup2(fileno(file.get()), 0);
    }
    ~KeysOnStdin() { ::dup2(saved_.get(), 0); }

  private:
    UniqueFd saved_;
};

// Larger than the hash buffer, and not a multiple of it.
const Bytes APP_PAYLOAD = payload_of(SIGNATURE_HASH_CHUNK + 5000, 9);
const Bytes ROOTFS_PAYLOAD = payload_of(3000, 1);

Bytes app_signed_by(const char* key, const Bytes& extra_record = {}) {
    return signed_component(IMAGE_TYPE_APPLICATION, APP_PAYLOAD, key, extra_record);
}
Bytes rootfs_signed_by(const char* key) {
    return signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, key);
}
Bytes flipped(Bytes bytes, size_t at, uint8_t bits) {
    bytes[at] ^= bits;
    return bytes;
}

class Signatures : public testing::Test {
  protected:
    void SetUp() override {
        if (!have_signing_keys())
            GTEST_SKIP() << "the build was given public keys without their private halves";
        paths.production_key = dir.file("production_key.pub.pem");
        paths.development_key = dir.file("development_key.pub.pem");
        paths.developer_images_partition = dir.file("mtd-rfs");
        paths.low_security_marker = dir.file("lowsec");
        forget_developer_images_state();
    }
    void TearDown() override {
        boot_options.lowsec = false;
        forget_developer_images_state();
    }

    // The installed root filesystem unsigned (developer images) or signed
    // with the production key, low-security mode on or off.
    void set_state(bool developer, bool low_security) {
        test_support::write_file(paths.developer_images_partition,
                                 developer ? v1_component(IMAGE_TYPE_ROOT_FS, 0, 3000)
                                           : rootfs_signed_by(PRODUCTION_KEY));
        forget_developer_images_state();
        EXPECT_EQ(developer_images(), developer ? 1 : 0); // the answer for the run
        if (low_security)
            test_support::write_file(paths.low_security_marker, {'w'});
        else
            std::remove(paths.low_security_marker.c_str());
    }
    int developer_images() {
        CaptureStdout();
        int answer = developer_images_installed(paths);
        GetCapturedStdout();
        return answer;
    }

    test_support::TempDir dir;
    BoardPaths paths;
};

// Off the board the keys come straight from the build, announced each time.
const std::string P = "Creating system key\n";
const std::string D = "Creating system development key\n";
const std::string OVERRIDE = "NOTE: Uboot low security mode override enabled\n";
const std::string ASK = "Install image anyway? y/N? ";
const std::string UNSIGNED_BUT = "\nWARNING: Image is unsigned but you are running developer "
                                 "images and are in low security mode\n" +
                                 ASK;

struct PolicyCase {
    const char* name;
    bool developer, low_security, override;
    Bytes component;
    const char* keys;
    size_t header_count; // of the component's header handed over; 0: all of it
    int result;
    std::string output;
};

TEST_F(Signatures, DecisionTable) {
    const Bytes prod = app_signed_by(PRODUCTION_KEY), dev = app_signed_by(DEVELOPMENT_KEY);
    const Bytes stranger = app_signed_by(STRANGER_KEY);
    const Bytes v1 = v1_component(IMAGE_TYPE_APPLICATION, 0, 500);
    const std::string DEV_CHECK = P + NOTE_DEVELOPER + D, LOW_CHECK = P + NOTE_LOW_SECURITY + D;
    // clang-format off
    const PolicyCase cases[] = {
        {"production", 0, 0, 0, prod, "", 0, 1, P + VERIFIED},
        {"development", 0, 0, 0, dev, "", 0, 0, P + REJECTED},
        {"development, developer", 1, 0, 0, dev, "", 0, 1, DEV_CHECK + VERIFIED},
        {"development, low security", 0, 1, 0, dev, "", 0, 1, LOW_CHECK + VERIFIED},
        {"development, override", 0, 0, 1, dev, "", 0, 1, OVERRIDE + LOW_CHECK + VERIFIED},
        {"stranger", 0, 0, 0, stranger, "y", 0, 0, P + REJECTED},
        {"stranger, developer", 1, 0, 0, stranger, "y", 0, 0, DEV_CHECK + REJECTED},
        {"stranger, low security", 0, 1, 0, stranger, "y", 0, 0, LOW_CHECK + REJECTED},
        {"stranger, both, y", 1, 1, 0, stranger, "y", 0, 1,
         DEV_CHECK + ALL_FAILED + ASK + "y\n" + VERIFIED},
        {"stranger, both, Enter", 1, 1, 0, stranger, "\n", 0, 0,
         DEV_CHECK + ALL_FAILED + ASK + "\n\n" + REJECTED},
        {"tampered", 0, 0, 0, flipped(prod, 2000, 1), "", 0, 0, P + REJECTED},
        {"cut short", 0, 0, 0, Bytes(prod.begin(), prod.end() - 1), "", 0, 0, P + REJECTED},
        {"v1", 0, 0, 0, v1, "y", 0, 0, NO_SIGNATURE},
        {"v1, developer", 1, 0, 0, v1, "y", 0, 0, NO_SIGNATURE},
        {"v1, low security", 0, 1, 0, v1, "y", 0, 0, NO_SIGNATURE},
        {"v1, both, Y", 1, 1, 0, v1, "Y", 0, 1, UNSIGNED_BUT + "Y\n"},
        {"v1, both, n", 1, 1, 0, v1, "n", 0, 0, UNSIGNED_BUT + "n\n"},
        {"v1, developer, override", 1, 0, 1, v1, "y", 0, 1,
         OVERRIDE + OVERRIDE + UNSIGNED_BUT + "y\n"},
        {"v3 without signature", 0, 0, 0, app_signed_by(nullptr, record(9, 8, {0, 0, 0, 0})), "y",
         0, 0, NO_SIGNATURE},
        {"v3 without records, both", 1, 1, 0, app_signed_by(nullptr), "y", 0, 1,
         UNSIGNED_BUT + "y\n"},
        {"16 header bytes", 0, 0, 0, prod, "", 16, 0, NO_SIGNATURE},
        // The signature length (record offset 4) claims 259 bytes, 3 more than the record.
        {"signature beyond its record", 0, 0, 0, flipped(prod, 29, 3), "", 0, 0, P + REJECTED},
        {"header beyond the bytes read", 0, 1, 0, prod, "", 100, 0, LOW_CHECK + REJECTED},
    };
    // clang-format on
    // Each component follows another, so its start is not the file's.
    const Bytes before = v1_component(IMAGE_TYPE_KERNEL, 0, 100);
    for (const PolicyCase& c : cases) {
        SCOPED_TRACE(c.name);
        set_state(c.developer, c.low_security);
        boot_options.lowsec = c.override;
        platform::UniqueFile file(temp_file_with(concat({before, c.component})));
        ASSERT_TRUE(seek_image(file.get(), before.size()));
        ComponentHeader header;
        read_component_header(c.component.data(), &header, HeaderRules::versions_1_and_3);
        KeysOnStdin keys(c.keys);
        CaptureStdout();
        EXPECT_EQ(verify_image_signature(file.get(), c.component.data(),
                                         c.header_count ? c.header_count : header.header_size,
                                         paths),
                  c.result);
        EXPECT_EQ(without_i2c_noise(GetCapturedStdout()), c.output);
        EXPECT_EQ(std::ftell(file.get()), static_cast<long>(before.size()));
    }
}

TEST_F(Signatures, DeveloperImagesFromTheRootFilesystemOncePerRun) {
    const struct {
        const char* name;
        Bytes content; // none: no partition
        int developer;
        bool determined;
    } cases[] = {
        {"unsigned", v1_component(IMAGE_TYPE_ROOT_FS, 0, 64), 1, true},
        {"erased", Bytes(4096, 0xFF), 1, true},
        {"development", rootfs_signed_by(DEVELOPMENT_KEY), 1, true},
        {"production", rootfs_signed_by(PRODUCTION_KEY), 0, true},
        {"stranger", rootfs_signed_by(STRANGER_KEY), 0, true},
        {"absent", {}, 0, false},
        {"short", Bytes(10, 0xFF), 0, false},
        {"no signature record", rootfs_signed_by(nullptr), 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        forget_developer_images_state();
        std::remove(paths.developer_images_partition.c_str());
        if (!c.content.empty())
            test_support::write_file(paths.developer_images_partition, c.content);
        EXPECT_EQ(developer_images(), c.developer);
        // Unsigned now; an answer once given holds for the run.
        test_support::write_file(paths.developer_images_partition,
                                 v1_component(IMAGE_TYPE_ROOT_FS, 0, 64));
        EXPECT_EQ(developer_images(), c.determined ? c.developer : 1);
    }
}

KeyRecord record_of(const std::string& pem, size_t length = std::string::npos) {
    KeyRecord record{};
    record.length = static_cast<uint16_t>(std::min(length, pem.size()));
    std::memcpy(record.text, pem.data(), record.length);
    return record;
}

// Keys the policy never hands over, which the check refuses by name, and the
// smallest payload.
TEST(VerifySignature, KeysThatAreNoRsaPublicKeyAndAnEmptyPayload) {
    if (!have_signing_keys())
        GTEST_SKIP() << "the build was given public keys without their private halves";
    openssl::Pkey ec(EVP_EC_gen("P-256"));
    openssl::Bio bio(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(ec && bio && PEM_write_bio_PUBKEY(bio.get(), ec.get()));
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    const std::string ec_pem(data, static_cast<size_t>(length));
    const Bytes signature = sign_payload({}, PRODUCTION_KEY);
    const std::string REFUSED = "openssl_verifySignature: Error reading key from buffer ";
    const struct {
        KeyRecord key;
        int result;
        std::string output;
    } cases[] = {
        {record_of(production_public_key), 0, ""},
        {record_of("junk"), -1, REFUSED + "4 !\n"},
        {record_of(production_public_key, 200), -1, REFUSED + "200 !\n"}, // its length counts
        {record_of(ec_pem), -1, REFUSED + std::to_string(length) + " !\n"},
    };
    for (const auto& c : cases) {
        platform::UniqueFile file(std::tmpfile());
        CaptureStdout();
        EXPECT_EQ(
            openssl_verifySignature(file.get(), 0, signature.data(), signature.size(), &c.key),
            c.result);
        EXPECT_EQ(GetCapturedStdout(), c.output);
    }
}

} // namespace
