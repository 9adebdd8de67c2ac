#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>

#include "image/image_format.h"
#include "image_signing.h"
#include "image_writer.h"

using swimage::ComponentRecipe;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes build(const ComponentRecipe& recipe) {
    Bytes header;
    std::string error;
    EXPECT_TRUE(swimage::build_component_header(recipe, &header, &error)) << error;
    return header;
}

std::string build_error(const ComponentRecipe& recipe) {
    Bytes header;
    std::string error;
    EXPECT_FALSE(swimage::build_component_header(recipe, &header, &error));
    return error;
}

ComponentHeader read_back(const Bytes& header) {
    Bytes probe = header;
    probe.resize(24, 0);
    ComponentHeader h;
    EXPECT_TRUE(read_component_header(probe.data(), &h));
    return h;
}

TEST(ImageWriter, Version3WithoutRecordsByteForByte) {
    ComponentRecipe recipe;
    recipe.payload = {'a', 'b', 'c'};
    recipe.type_word = IMAGE_TYPE_KERNEL;
    recipe.id = 0x01020304;
    const Bytes header = build(recipe);
    Bytes expected = {0,    0,    0,    0,    0,   0,   0,   11,  0x03, 0x4D, 0x41, 0x52,
                      0x01, 0x02, 0x03, 0x04, 'H', 'D', 'R', '3', 0,    0,    0,    24};
    Bytes covered(expected.begin() + 4, expected.end());
    covered.insert(covered.end(), recipe.payload.begin(), recipe.payload.end());
    image_put_be32(expected.data(), image_crc(covered.data(), covered.size()));
    EXPECT_EQ(header, expected);
    const auto h = read_back(header);
    EXPECT_EQ(h.payload_size, 3U);
    EXPECT_EQ(h.span, 27U);
}

TEST(ImageWriter, RecordsCountInTheHeaderLength) {
    ComponentRecipe recipe;
    recipe.payload = Bytes(1000, 0x5A);
    recipe.type_word = IMAGE_TYPE_ROOT_FS;
    recipe.signature = Bytes(256, 0x11);
    recipe.has_type_override = true;
    recipe.type_override = IMAGE_TYPE_APPLICATION;
    recipe.records = {{9, {1, 2, 3}}, {3, Bytes(10, 0x22)}};
    const Bytes header = build(recipe);
    ASSERT_EQ(header.size(), 24U + 262 + 8 + 7 + 14);
    const auto h = read_back(header);
    EXPECT_EQ(h.version, 3);
    EXPECT_EQ(h.header_size, header.size());
    EXPECT_EQ(h.payload_size, 1000U);
    EXPECT_EQ(h.len, header.size() - 16 + 1000);

    // The raw type-3 record comes last, so it is the signature the switch uses.
    const auto sig = find_signature_record(header.data(), header.size());
    ASSERT_TRUE(sig.found);
    EXPECT_EQ(sig.record_offset, 24U + 262 + 8 + 7);
    uint32_t word = 0;
    ASSERT_TRUE(find_type_override(header.data(), header.size(), &word));
    EXPECT_EQ(word, IMAGE_TYPE_APPLICATION);
}

TEST(ImageWriter, Version1And2) {
    ComponentRecipe recipe;
    recipe.payload = Bytes(50, 1);
    recipe.type_word = IMAGE_TYPE_APPLICATION;
    recipe.header_version = 1;
    const Bytes v1 = build(recipe);
    EXPECT_EQ(v1.size(), 16U);
    EXPECT_EQ(image_be32(v1.data() + 4), 50U);
    EXPECT_EQ(read_back(v1).version, 1);

    recipe.header_version = 2;
    recipe.v2_header_size = 40;
    const Bytes v2 = build(recipe);
    EXPECT_EQ(v2.size(), 40U);
    const auto h = read_back(v2);
    EXPECT_EQ(h.version, 2);
    EXPECT_EQ(h.type_word, 0x814D4152U);
    EXPECT_EQ(h.header_size, 40U);
    EXPECT_EQ(h.payload_size, 50U);
}

TEST(ImageWriter, RefusesWhatCannotBeRead) {
    ComponentRecipe recipe;
    recipe.payload = {'H', 'D', 'R', '3', 0};
    recipe.type_word = IMAGE_TYPE_KERNEL;
    recipe.header_version = 1;
    EXPECT_NE(build_error(recipe).find("HDR3"), std::string::npos);
    recipe.payload = {1};
    recipe.type_word = 0x844D4152;
    EXPECT_NE(build_error(recipe).find("bit 31"), std::string::npos);
    recipe.type_word = IMAGE_TYPE_KERNEL;
    recipe.signature = {1, 2};
    EXPECT_NE(build_error(recipe).find("signature"), std::string::npos);
    recipe.signature.clear();
    recipe.header_version = 2;
    recipe.v2_header_size = 19;
    EXPECT_NE(build_error(recipe).find("20"), std::string::npos);
    recipe.header_version = 4;
    EXPECT_NE(build_error(recipe).find("1, 2 or 3"), std::string::npos);
    recipe.header_version = 3;
    recipe.records = {{7, Bytes(0xFFFF - 24, 0)}};
    EXPECT_NE(build_error(recipe).find("16-bit"), std::string::npos);
}

TEST(ImageSigning, SignatureVerifiesOverThePayloadOnly) {
    swimage::Pkey key(EVP_RSA_gen(2048));
    ASSERT_TRUE(key);
    const Bytes payload(33, 0x42);
    Bytes signature;
    std::string error;
    ASSERT_TRUE(swimage::sign_payload(key.get(), payload, &signature, &error)) << error;
    EXPECT_EQ(signature.size(), 256U);

    std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), std::fclose);
    std::fwrite(payload.data(), 1, payload.size(), file.get());
    std::rewind(file.get());
    EXPECT_EQ(swimage::verify_payload(key.get(), file.get(), payload.size(), signature.data(),
                                      signature.size()),
              swimage::Verdict::verified);
    std::rewind(file.get());
    EXPECT_EQ(swimage::verify_payload(key.get(), file.get(), payload.size() - 1, signature.data(),
                                      signature.size()),
              swimage::Verdict::failed);
    std::rewind(file.get());
    EXPECT_EQ(swimage::verify_payload(key.get(), file.get(), payload.size() + 1, signature.data(),
                                      signature.size()),
              swimage::Verdict::error);
}

} // namespace
