#include "image/payload_digest.h"

PayloadHasher::PayloadHasher(bool wanted) {
    if (!wanted)
        return;
    ctx_.reset(EVP_MD_CTX_new());
    failed_ = !ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1;
}

void PayloadHasher::update(const uint8_t* data, size_t length) {
    if (ctx_ && !failed_ && length > 0)
        failed_ = EVP_DigestUpdate(ctx_.get(), data, length) != 1;
}

bool PayloadHasher::finish(PayloadDigest* digest) {
    *digest = PayloadDigest{};
    unsigned int length = 0;
    if (!ctx_ || failed_ || EVP_DigestFinal_ex(ctx_.get(), digest->bytes.data(), &length) != 1 ||
        length != digest->bytes.size())
        return false;
    digest->present = true;
    return true;
}
