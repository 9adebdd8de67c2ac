// The slot boot's decisions in-process: which component boots, what the
// signature check and the unpack see, the rejected list.
#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <regex>
#include <string>

#include "../../image/tests/image_bytes.h"
#include "boot/slot_boot.h"
#include "boot/usb_images.h"
#include "image/openssl_handles.h"
#include "image/signing_key_files.h"
#include "platform/unique_file.h"
#include "test_support.h"

namespace {

using namespace image_test;
using platform::UniqueFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t APP = IMAGE_TYPE_APPLICATION, KERNEL = IMAGE_TYPE_KERNEL;

Bytes type_override(uint32_t type) {
    return record(6, 8, be(type, 4));
}

struct ComponentCase {
    const char* name;
    Bytes image;
    bool found;
    uint64_t start, header_size, payload_size;
    uint32_t type;
};

TEST(FindBootComponent, FirstApplicationOsAfterTheOverrideRule) {
    const Bytes kernel = v1_component(KERNEL, 0, 100);
    const Bytes v2 = concat({base_header(0, 50, 0x814D4152, 0), be(0, 2), be(32, 2), Bytes(78)});
    const ComponentCase cases[] = {
        // clang-format off
        {"version 1", v1_component(APP, 0, 40), true, 0, 16, 40, APP},
        {"kernel passed over by its span", concat({kernel, v1_component(APP, 0, 40)}), true, 116, 16, 40, APP},
        {"version 3, header 200, len 1000", concat({v3_header(1000, APP, 0, {}, 200), Bytes(992)}), true, 0, 200, 816, APP},
        {"version 2, header size at 18", v2, true, 0, 32, 50, APP},
        {"diagnostics", v1_component(IMAGE_TYPE_DIAG_APPLICATION, 0, 8), true, 0, 16, 8, IMAGE_TYPE_DIAG_APPLICATION},
        {"override makes a kernel bootable", concat({v3_header(40, KERNEL, 0, {type_override(0x814D4152)}), Bytes(16)}), true, 0, 32, 24, APP},
        {"override makes an application a kernel", concat({v3_header(40, APP, 0, {type_override(KERNEL)}), Bytes(16)}), false, 0, 0, 0, 0},
        {"override without the type suffix is no override", concat({v3_header(40, KERNEL, 0, {type_override(0x01000000)}), Bytes(16)}), false, 0, 0, 0, 0},
        {"nothing bootable", kernel, false, 0, 0, 0, 0},
        {"shorter than a header", Bytes(23), false, 0, 0, 0, 0},
        {"header length past the component", concat({v3_header(8, APP, 0, {}, 40), Bytes(16)}), false, 0, 0, 0, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueFile file(temp_file_with(c.image));
        BootComponent found;
        ASSERT_EQ(find_boot_component(file.get(), &found), c.found);
        if (!c.found)
            continue;
        EXPECT_EQ(found.component.start, c.start);
        EXPECT_EQ(found.component.header.header_size, c.header_size);
        EXPECT_EQ(found.component.header.payload_size, c.payload_size);
        EXPECT_EQ(found.type, c.type);
        EXPECT_EQ(static_cast<uint64_t>(ftello(file.get())), c.start);
        // What the signature check gets: the whole version-3 header, else the
        // 24 bytes that tell the version.
        const size_t header_count = found.component.header.version == 3 ? c.header_size : 24;
        EXPECT_EQ(found.header_bytes,
                  Bytes(c.image.begin() + static_cast<long>(c.start),
                        c.image.begin() + static_cast<long>(c.start + header_count)));
    }
}

// A USB stick whose byte at fickle_at reads differently after the first read
// (the stream is unbuffered, so every read reaches it).
struct FickleStick {
    Bytes bytes;
    size_t fickle_at, position = 0, reads_of_it = 0;
};

ssize_t stick_read(void* cookie, char* buffer, size_t size) {
    auto* stick = static_cast<FickleStick*>(cookie);
    size_t count = 0;
    for (; count < size && stick->position < stick->bytes.size(); ++count, ++stick->position)
        buffer[count] = static_cast<char>(
            stick->bytes[stick->position] ^
            (stick->position == stick->fickle_at && ++stick->reads_of_it > 1 ? 1 : 0));
    return static_cast<ssize_t>(count);
}

int stick_seek(void* cookie, off64_t* offset, int whence) {
    auto* stick = static_cast<FickleStick*>(cookie);
    stick->position = static_cast<size_t>(*offset) + (whence == SEEK_CUR ? stick->position : 0);
    *offset = static_cast<off64_t>(stick->position);
    return whence == SEEK_END ? -1 : 0;
}

TEST(VerifyAndUnpack, TheArchiveHoldsTheBytesThatVerifiedOrTheBootIsRefused) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    test_support::TempDir dir;
    const BoardPaths paths{dir.file("p.pem"), dir.file("d.pem"), dir.file("rfs"), dir.file("ls")};
    Bytes payload(0x10000 + 300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 13 + i / 256);
    UniqueFile key_file(std::fopen(PRODUCTION_SIGNING_KEY_FILE, "r"));
    openssl::Pkey key(PEM_read_PrivateKey(key_file.get(), nullptr, nullptr, nullptr));
    openssl::MdCtx ctx(EVP_MD_CTX_new());
    Bytes signature(256);
    size_t length = signature.size();
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get());
    EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size());
    const Bytes header = v3_header(static_cast<uint32_t>(payload.size() + 270), APP, 0,
                                   {signature_record(signature)});
    const Bytes image = concat({v1_component(KERNEL, 0, 20), header, payload});

    for (bool fickle : {false, true}) {
        SCOPED_TRACE(fickle ? "fickle stick" : "steady stick");
        FickleStick stick{image, fickle ? 36 + header.size() + 7 : image.size()};
        UniqueFile file(fopencookie(&stick, "rb", {stick_read, nullptr, stick_seek, nullptr}));
        ASSERT_EQ(std::setvbuf(file.get(), nullptr, _IONBF, 0), 0);
        BootComponent found;
        ASSERT_TRUE(find_boot_component(file.get(), &found));
        UniqueFile archive(std::tmpfile());
        CaptureStdout();
        EXPECT_EQ(verify_and_unpack(file.get(), found, archive.get(), true, paths), !fickle);
        EXPECT_EQ(std::regex_replace(GetCapturedStdout(),
                                     std::regex("I2C error[^\n]*\n|Creating system key\n"), ""),
                  std::string(" Image signature verified. \nUnpacking image:     "
                              "\b\b\b\b099%\b\b\b\b100%\n") +
                      (fickle ? "Image has invalid signature. Quitting\n" : ""));
        std::rewind(archive.get());
        Bytes written(payload.size() + 1);
        written.resize(std::fread(written.data(), 1, written.size(), archive.get()));
        EXPECT_EQ(written == payload, !fickle);
    }
}

TEST(RejectedList, OneEntryPerContentNamedByItsMd5) {
    test_support::TempDir dir;
    const std::string list = dir.file("images/rejected");
    const std::string a = dir.file("a.img"), b = dir.file("b with; $(space).img"),
                      other = dir.file("c.img"), missing = dir.file("none.img");
    test_support::write_file(a, {'a', 'b', 'c'});
    test_support::write_file(b, {'a', 'b', 'c'});
    test_support::write_file(other, {'a', 'b', 'd'});
    char digest[IMAGE_MD5_TEXT_SIZE];
    ASSERT_TRUE(image_md5(a.c_str(), digest));
    EXPECT_STREQ(digest, "900150983cd24fb0d6963f7d28e17f72");

    CaptureStdout();
    EXPECT_FALSE(reject_list_contains(a.c_str(), list.c_str()));
    reject_list_add(a.c_str(), list.c_str());
    EXPECT_TRUE(test_support::file_exists(list + "/900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_TRUE(reject_list_contains(b.c_str(), list.c_str()));
    EXPECT_FALSE(reject_list_contains(other.c_str(), list.c_str()));
    EXPECT_FALSE(reject_list_contains(missing.c_str(), list.c_str()));
    reject_list_add(missing.c_str(), list.c_str());
    EXPECT_EQ(GetCapturedStdout(), "Warning: Cannot determine if image is in rejected list!\n"
                                   "Warning: Cannot add image to rejected list!\n");
}

} // namespace
