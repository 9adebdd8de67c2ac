#include "image_signing.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace swimage {

namespace {

using openssl::Bio;
using openssl::MdCtx;

Pkey require_rsa(Pkey key, const std::string& path, std::string* error) {
    if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        *error = path + ": not an RSA key";
        return nullptr;
    }
    return key;
}

} // namespace

std::string openssl_error_text() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

Pkey load_private_key(const std::string& path, std::string* error) {
    Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        *error = path + ": cannot open the key file";
        ERR_clear_error();
        return nullptr;
    }
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        *error = path + ": no PEM private key (" + openssl_error_text() + ")";
        return nullptr;
    }
    return require_rsa(std::move(key), path, error);
}

Pkey load_public_key(const std::string& path, std::string* error) {
    Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        *error = path + ": cannot open the key file";
        ERR_clear_error();
        return nullptr;
    }
    Pkey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        BIO_reset(bio.get());
        ERR_clear_error();
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!key) {
        *error = path + ": no PEM public key (" + openssl_error_text() + ")";
        return nullptr;
    }
    return require_rsa(std::move(key), path, error);
}

bool sign_payload(EVP_PKEY* key, const std::vector<uint8_t>& payload,
                  std::vector<uint8_t>* signature, std::string* error) {
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;
    size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pkey_ctx, EVP_sha256(), nullptr, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pkey_ctx, RSA_PKCS1_PADDING) <= 0 ||
        EVP_DigestSignUpdate(ctx.get(), payload.data(), payload.size()) != 1 ||
        EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) {
        *error = "signing failed (" + openssl_error_text() + ")";
        return false;
    }
    signature->assign(length, 0);
    if (EVP_DigestSignFinal(ctx.get(), signature->data(), &length) != 1) {
        *error = "signing failed (" + openssl_error_text() + ")";
        return false;
    }
    signature->resize(length);
    return true;
}

Verdict verify_payload(EVP_PKEY* key, FILE* file, uint64_t size, const uint8_t* signature,
                       size_t signature_length) {
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pkey_ctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pkey_ctx, EVP_sha256(), nullptr, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pkey_ctx, RSA_PKCS1_PADDING) <= 0) {
        ERR_clear_error();
        return Verdict::error;
    }
    std::vector<uint8_t> buffer(0x10000);
    while (size > 0) {
        const size_t piece = size < buffer.size() ? static_cast<size_t>(size) : buffer.size();
        if (std::fread(buffer.data(), 1, piece, file) != piece)
            return Verdict::error;
        if (EVP_DigestVerifyUpdate(ctx.get(), buffer.data(), piece) != 1) {
            ERR_clear_error();
            return Verdict::error;
        }
        size -= piece;
    }
    const int result = EVP_DigestVerifyFinal(ctx.get(), signature, signature_length);
    ERR_clear_error();
    return result == 1 ? Verdict::verified : Verdict::failed;
}

} // namespace swimage
