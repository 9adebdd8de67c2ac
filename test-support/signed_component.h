// A version-3 image component whose payload carries a signature made with a
// private key file (the production key unless told otherwise), for tests
// that need images the boot manager accepts without the image tool.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>

#include "image/openssl_handles.h"
#include "image/signing_key_files.h"
#include "image/tests/image_bytes.h"
#include "platform/unique_file.h"

namespace test_support {

inline image_test::Bytes signed_component(uint32_t type, const image_test::Bytes& payload,
                                          const char* key_path = PRODUCTION_SIGNING_KEY_FILE) {
    platform::UniqueFile key_file(std::fopen(key_path, "r"));
    openssl::Pkey key(key_file ? PEM_read_PrivateKey(key_file.get(), nullptr, nullptr, nullptr)
                               : nullptr);
    openssl::MdCtx ctx(EVP_MD_CTX_new());
    image_test::Bytes signature(256);
    size_t length = signature.size();
    if (!key || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size()) != 1)
        return {};
    const image_test::Bytes record = image_test::signature_record(signature);
    return image_test::concat(
        {image_test::v3_header(static_cast<uint32_t>(8 + record.size() + payload.size()), type, 0,
                               {record}),
         payload});
}

} // namespace test_support
