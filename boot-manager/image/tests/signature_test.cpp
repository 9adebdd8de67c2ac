#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>

#include "boot/boot_options.h"
#include "image/image_format.h"
#include "image/key_store.h"
#include "image/signature.h"
#include "image/signing_keys.h"
#include "rescue/low_security.h"
#include "signing_support.h"
#include "temp_dir.h"
#include "verdict_texts.h"

namespace {

using namespace image_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char* const PRODUCTION_KEY = PRODUCTION_SIGNING_KEY_FILE;
const char* const DEVELOPMENT_KEY = DEVELOPMENT_SIGNING_KEY_FILE;
const char* const STRANGER_KEY = STRANGER_SIGNING_KEY_FILE;

// Off the board the NVRAM cannot be reached; its complaints are no part of
// what these tests look at.
std::string without_i2c_noise(const std::string& text) {
    std::istringstream in(text);
    std::string out, line;
    while (std::getline(in, line)) {
        if (line.rfind("I2C error", 0) == 0)
            continue;
        out += line;
        if (!in.eof())
            out += '\n';
    }
    return out;
}

// Descriptor 0 reads the given keys from a pipe while the object lives.
class KeysOnStdin {
  public:
    explicit KeysOnStdin(const std::string& keys) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        [[maybe_unused]] ssize_t n = ::write(fds[1], keys.data(), keys.size());
        ::close(fds[1]);
        saved_ = ::dup(0);
        ::dup2(fds[0], 0);
        ::close(fds[0]);
    }
    ~KeysOnStdin() {
        if (saved_ >= 0) {
            ::dup2(saved_, 0);
            ::close(saved_);
        }
    }
    KeysOnStdin(const KeysOnStdin&) = delete;
    KeysOnStdin& operator=(const KeysOnStdin&) = delete;

  private:
    int saved_ = -1;
};

KeyRecord record_of(const char* pem) {
    KeyRecord record{};
    record.length = static_cast<uint16_t>(std::strlen(pem));
    std::memcpy(record.text, pem, record.length);
    return record;
}

const Bytes ROOTFS_PAYLOAD = payload_of(3000, 1);

class Signatures : public testing::Test {
  protected:
    void SetUp() override {
        if (!have_signing_keys())
            GTEST_SKIP() << "the build was given public keys without their private halves";
        saved_keys = key_file_paths;
        production_file = dir.file("production_key.pub.pem");
        development_file = dir.file("development_key.pub.pem");
        key_file_paths = {production_file.c_str(), development_file.c_str()};
        saved_rfs = developer_images_partition_path;
        rfs = dir.file("mtd-rfs");
        developer_images_partition_path = rfs.c_str();
        saved_marker = low_security_marker_path;
        marker = dir.file("lowsec");
        low_security_marker_path = marker.c_str();
        boot_options.lowsec = false;
        forget_developer_images_state();
    }
    void TearDown() override {
        if (!have_signing_keys())
            return;
        key_file_paths = saved_keys;
        developer_images_partition_path = saved_rfs;
        low_security_marker_path = saved_marker;
        forget_developer_images_state();
        if (file)
            std::fclose(file);
    }

    void set_root_filesystem(const Bytes& content) {
        write_file(rfs, content);
        forget_developer_images_state();
    }
    // Puts the board in a state of the decision table: the installed root
    // filesystem unsigned (developer images) or signed with the production
    // key, low-security mode on or off.
    void set_state(bool developer, bool low_security) {
        set_root_filesystem(
            developer ? v1_component(IMAGE_TYPE_ROOT_FS, 0, 3000)
                      : signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, PRODUCTION_KEY));
        CaptureStdout();
        ASSERT_EQ(developer_images_installed(), developer ? 1 : 0);
        GetCapturedStdout();
        if (low_security)
            write_file(marker, {'w'});
        else
            std::remove(marker.c_str());
    }

    // Runs the policy on component, laid after another component so that its
    // start is not the start of the file; header_count bytes of its header are
    // handed over (all of it when 0).
    int verify(const Bytes& component, const std::string& keys = "", size_t header_count = 0) {
        const Bytes before = v1_component(IMAGE_TYPE_KERNEL, 0, 100);
        if (file)
            std::fclose(file);
        file = temp_file_with(concat({before, component}));
        start = static_cast<long>(before.size());
        std::fseek(file, start, SEEK_SET);
        ComponentHeader header;
        read_component_header(component.data(), &header, HeaderRules::versions_1_and_3);
        size_t count = header_count ? header_count : header.header_size;
        KeysOnStdin input(keys);
        CaptureStdout();
        int result = verify_image_signature(file, component.data(), count);
        output = without_i2c_noise(GetCapturedStdout());
        position = std::ftell(file);
        return result;
    }

    TempDir dir;
    KeyFilePaths saved_keys{};
    std::string production_file, development_file, rfs, marker;
    const char* saved_rfs = nullptr;
    const char* saved_marker = nullptr;
    FILE* file = nullptr;
    long start = 0;
    long position = -1;
    std::string output;
};

// Off the board the keys come straight from the build, announced each time.
const std::string PRODUCTION_LOAD = "Creating system key\n";
const std::string DEVELOPMENT_LOAD = "Creating system development key\n";

const Bytes APP_PAYLOAD = payload_of(5000, 9);

Bytes app_signed_by(const char* key) {
    return signed_component(IMAGE_TYPE_APPLICATION, APP_PAYLOAD, key);
}

TEST_F(Signatures, ProductionSignatureIsAcceptedInEveryState) {
    for (int state = 0; state < 4; ++state) {
        set_state(state & 1, state & 2);
        EXPECT_EQ(verify(app_signed_by(PRODUCTION_KEY)), 1) << state;
        EXPECT_EQ(output, PRODUCTION_LOAD + VERIFIED);
        EXPECT_EQ(position, start);
    }
}

TEST_F(Signatures, DevelopmentSignatureOnAProductionBoardIsRejected) {
    set_state(false, false);
    EXPECT_EQ(verify(app_signed_by(DEVELOPMENT_KEY)), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + REJECTED);
    EXPECT_EQ(position, start);
}

TEST_F(Signatures, DevelopmentSignatureOnADeveloperBoardIsAccepted) {
    for (bool low_security : {false, true}) {
        set_state(true, low_security);
        EXPECT_EQ(verify(app_signed_by(DEVELOPMENT_KEY)), 1);
        EXPECT_EQ(output, PRODUCTION_LOAD + NOTE_DEVELOPER + DEVELOPMENT_LOAD + VERIFIED);
        EXPECT_EQ(position, start);
    }
}

TEST_F(Signatures, DevelopmentSignatureInLowSecurityModeIsAccepted) {
    set_state(false, true);
    EXPECT_EQ(verify(app_signed_by(DEVELOPMENT_KEY)), 1);
    EXPECT_EQ(output, PRODUCTION_LOAD + NOTE_LOW_SECURITY + DEVELOPMENT_LOAD + VERIFIED);
    EXPECT_EQ(position, start);
}

TEST_F(Signatures, StrangerSignatureIsRejectedUnlessTheOperatorDecides) {
    set_state(true, false);
    EXPECT_EQ(verify(app_signed_by(STRANGER_KEY)), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + NOTE_DEVELOPER + DEVELOPMENT_LOAD + REJECTED);
    EXPECT_EQ(position, start);

    set_state(false, true);
    EXPECT_EQ(verify(app_signed_by(STRANGER_KEY)), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + NOTE_LOW_SECURITY + DEVELOPMENT_LOAD + REJECTED);
    EXPECT_EQ(position, start);

    set_state(false, false);
    EXPECT_EQ(verify(app_signed_by(STRANGER_KEY)), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + REJECTED);
}

TEST_F(Signatures, OperatorDecidesWhenAllChecksFailOnADeveloperBoardInLowSecurityMode) {
    set_state(true, true);
    EXPECT_EQ(verify(app_signed_by(STRANGER_KEY), "y"), 1);
    EXPECT_EQ(output, PRODUCTION_LOAD + NOTE_DEVELOPER + DEVELOPMENT_LOAD + ALL_FAILED +
                          "Install image anyway? y/N? y\n" + VERIFIED);
    EXPECT_EQ(position, start);

    EXPECT_EQ(verify(app_signed_by(STRANGER_KEY), "\n"), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + NOTE_DEVELOPER + DEVELOPMENT_LOAD + ALL_FAILED +
                          "Install image anyway? y/N? \n\n" + REJECTED);
    EXPECT_EQ(position, start);
}

TEST_F(Signatures, OverrideCountsAsLowSecurityMode) {
    set_state(false, false);
    boot_options.lowsec = true;
    EXPECT_EQ(verify(app_signed_by(DEVELOPMENT_KEY)), 1);
    EXPECT_EQ(output, "NOTE: Uboot low security mode override enabled\n" + PRODUCTION_LOAD +
                          NOTE_LOW_SECURITY + DEVELOPMENT_LOAD + VERIFIED);
    boot_options.lowsec = false;
}

TEST_F(Signatures, TamperedPayloadIsRejected) {
    set_state(false, false);
    Bytes component = app_signed_by(PRODUCTION_KEY);
    component[component.size() - 1000] ^= 0x01;
    EXPECT_EQ(verify(component), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + REJECTED);
}

TEST_F(Signatures, UnsignedComponentsAreRejectedUnlessTheOperatorDecides) {
    const Bytes v1 = v1_component(IMAGE_TYPE_APPLICATION, 0, 500);
    const Bytes v3_unsigned =
        signed_component(IMAGE_TYPE_APPLICATION, APP_PAYLOAD, nullptr, record(9, 8, {0, 0, 0, 0}));
    const Bytes v3_bare = signed_component(IMAGE_TYPE_APPLICATION, APP_PAYLOAD, nullptr);
    for (const Bytes* component : {&v1, &v3_unsigned, &v3_bare}) {
        for (int state = 0; state < 3; ++state) {
            set_state(state & 1, state & 2);
            EXPECT_EQ(verify(*component, "y"), 0);
            EXPECT_EQ(output, NO_SIGNATURE);
            EXPECT_EQ(position, start);
        }
        set_state(true, true);
        EXPECT_EQ(verify(*component, "Y"), 1);
        EXPECT_EQ(output, "\nWARNING: Image is unsigned but you are running developer images "
                          "and are in low security mode\nInstall image anyway? y/N? Y\n");
        EXPECT_EQ(verify(*component, "n"), 0);
    }
}

TEST_F(Signatures, FewerThan24HeaderBytesCountAsUnsigned) {
    set_state(false, false);
    EXPECT_EQ(verify(app_signed_by(PRODUCTION_KEY), "", 16), 0);
    EXPECT_EQ(output, NO_SIGNATURE);
}

TEST_F(Signatures, SignatureBeyondItsRecordIsAFailedSignature) {
    set_state(false, false);
    Bytes component = app_signed_by(PRODUCTION_KEY);
    // The signature length at record offset 4 now claims more than the record.
    component[24 + 4] = 0x01;
    component[24 + 5] = 0x03;
    EXPECT_EQ(verify(component), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + REJECTED);
    EXPECT_EQ(position, start);
}

TEST_F(Signatures, HeaderLongerThanTheBytesReadIsAFailedSignature) {
    set_state(false, true);
    EXPECT_EQ(verify(app_signed_by(PRODUCTION_KEY), "", 100), 0);
    EXPECT_EQ(output, PRODUCTION_LOAD + NOTE_LOW_SECURITY + DEVELOPMENT_LOAD + REJECTED);
    EXPECT_EQ(position, start);
}

TEST_F(Signatures, LastSignatureRecordWins) {
    set_state(false, false);
    Bytes stale = signature_record(sign_payload(APP_PAYLOAD, STRANGER_KEY));
    EXPECT_EQ(verify(signed_component(IMAGE_TYPE_APPLICATION, APP_PAYLOAD, PRODUCTION_KEY, stale)),
              1);
    Bytes good = signature_record(sign_payload(APP_PAYLOAD, PRODUCTION_KEY));
    EXPECT_EQ(verify(signed_component(IMAGE_TYPE_APPLICATION, APP_PAYLOAD, STRANGER_KEY, good)), 0);
}

TEST_F(Signatures, DeveloperImagesFromTheRootFilesystem) {
    const struct {
        const char* what;
        Bytes content;
        int developer;
    } cases[] = {
        {"unsigned", v1_component(IMAGE_TYPE_ROOT_FS, 0, 64), 1},
        {"erased", Bytes(4096, 0xFF), 1},
        {"development", signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, DEVELOPMENT_KEY), 1},
        {"production", signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, PRODUCTION_KEY), 0},
        {"stranger", signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, STRANGER_KEY), 0},
    };
    for (const auto& c : cases) {
        set_root_filesystem(c.content);
        CaptureStdout();
        EXPECT_EQ(developer_images_installed(), c.developer) << c.what;
        GetCapturedStdout();
    }
}

TEST_F(Signatures, DeveloperImagesAnswerHoldsForTheRun) {
    set_root_filesystem(signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, DEVELOPMENT_KEY));
    CaptureStdout();
    EXPECT_EQ(developer_images_installed(), 1);
    write_file(rfs, signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, PRODUCTION_KEY));
    EXPECT_EQ(developer_images_installed(), 1);
    // Determined once: the key is not loaded again.
    EXPECT_EQ(without_i2c_noise(GetCapturedStdout()), DEVELOPMENT_LOAD);
}

TEST_F(Signatures, DeveloperImagesUndeterminedIsNotCached) {
    const Bytes unsigned_v1 = v1_component(IMAGE_TYPE_ROOT_FS, 0, 64);
    const Bytes undecidable[] = {
        {}, // cannot be read at all
        Bytes(10, 0xFF),
        signed_component(IMAGE_TYPE_ROOT_FS, ROOTFS_PAYLOAD, nullptr), // no signature record
    };
    std::remove(rfs.c_str());
    EXPECT_EQ(developer_images_installed(), 0);
    for (const Bytes& content : undecidable) {
        if (!content.empty())
            write_file(rfs, content);
        EXPECT_EQ(developer_images_installed(), 0);
    }
    write_file(rfs, unsigned_v1);
    EXPECT_EQ(developer_images_installed(), 1);
}

class VerifySignature : public testing::Test {
  protected:
    void SetUp() override {
        if (!have_signing_keys())
            GTEST_SKIP() << "the build was given public keys without their private halves";
    }
    int check(const Bytes& file_bytes, long offset, int32_t size, const Bytes& signature,
              const KeyRecord& key) {
        FILE* file = temp_file_with(file_bytes);
        std::fseek(file, offset, SEEK_SET);
        CaptureStdout();
        int result = openssl_verifySignature(file, size, signature.data(), signature.size(), &key);
        output = GetCapturedStdout();
        position = std::ftell(file);
        std::fclose(file);
        return result;
    }
    std::string output;
    long position = 0;
    const KeyRecord production = record_of(production_public_key);
    const KeyRecord development = record_of(development_public_key);
};

TEST_F(VerifySignature, ReadsExactlyThePayloadFromTheCurrentPosition) {
    // Larger than the hash buffer, and not a multiple of it.
    const Bytes payload = payload_of(3 * SIGNATURE_HASH_CHUNK + 33, 3);
    const Bytes signature = sign_payload(payload, PRODUCTION_KEY);
    const Bytes file = concat({Bytes(7, 0xEE), payload, Bytes(40, 0x11)});
    const int32_t size = static_cast<int32_t>(payload.size());
    EXPECT_EQ(check(file, 7, size, signature, production), 0);
    EXPECT_EQ(output, "");
    EXPECT_EQ(position, 7 + size);
    EXPECT_EQ(check(file, 7, size, signature, development), -1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(check(file, 6, size, signature, production), -1);
    EXPECT_EQ(check(file, 7, size - 1, signature, production), -1);
    // The file ends before the payload does.
    EXPECT_EQ(check(concat({Bytes(7, 0xEE), payload}), 7, size + 1, signature, production), -1);
    EXPECT_EQ(output, "");
}

TEST_F(VerifySignature, SmallAndEmptyPayloads) {
    for (size_t size : {0, 1, 32, 33}) {
        const Bytes payload = payload_of(size, 5);
        EXPECT_EQ(check(payload, 0, static_cast<int32_t>(size),
                        sign_payload(payload, DEVELOPMENT_KEY), development),
                  0)
            << size;
    }
}

TEST_F(VerifySignature, BadSignatureBytes) {
    const Bytes payload = payload_of(100);
    Bytes signature = sign_payload(payload, PRODUCTION_KEY);
    Bytes truncated(signature.begin(), signature.end() - 1);
    EXPECT_EQ(check(payload, 0, 100, truncated, production), -1);
    EXPECT_EQ(check(payload, 0, 100, {}, production), -1);
    signature[0] ^= 0x80;
    EXPECT_EQ(check(payload, 0, 100, signature, production), -1);
    EXPECT_EQ(check(payload, 0, -1, signature, production), -1);
    EXPECT_EQ(output, "");
}

TEST_F(VerifySignature, KeyThatIsNoRsaPublicKeyIsReported) {
    const Bytes payload = payload_of(10);
    const Bytes signature = sign_payload(payload, PRODUCTION_KEY);
    EXPECT_EQ(check(payload, 0, 10, signature, record_of("junk")), -1);
    EXPECT_EQ(output, "openssl_verifySignature: Error reading key from buffer 4 !\n");

    // A cut key: its length counts, not the text behind it.
    KeyRecord cut = production;
    cut.length = 200;
    EXPECT_EQ(check(payload, 0, 10, signature, cut), -1);
    EXPECT_EQ(output, "openssl_verifySignature: Error reading key from buffer 200 !\n");

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    ASSERT_TRUE(ec && bio && PEM_write_bio_PUBKEY(bio.get(), ec.get()));
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    KeyRecord ec_key{};
    ec_key.length = static_cast<uint16_t>(length);
    std::memcpy(ec_key.text, data, static_cast<size_t>(length));
    EXPECT_EQ(check(payload, 0, 10, signature, ec_key), -1);
    EXPECT_EQ(output, "openssl_verifySignature: Error reading key from buffer " +
                          std::to_string(length) + " !\n");
}

} // namespace
