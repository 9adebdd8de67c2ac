#include "image/signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "console/console.h"
#include "image/image_format.h"
#include "image/openssl_handles.h"
#include "platform/low_security_mode.h"
#include "platform/unique_fd.h"

namespace {

using openssl::Bio;
using openssl::MdCtx;
using openssl::Pkey;

// A public key never asks for a pass phrase; refuse to prompt for one.
int no_pass_phrase(char*, int, int, void*) {
    return -1;
}

Pkey read_rsa_public_key(const KeyRecord& key) {
    Bio bio(BIO_new_mem_buf(key.text, key.length));
    if (!bio)
        return nullptr;
    Pkey pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, no_pass_phrase, nullptr));
    if (pkey && !EVP_PKEY_is_a(pkey.get(), "RSA"))
        pkey.reset();
    return pkey;
}

// Fills the buffer with the next bytes of the payload; false when they
// cannot all be read.
using PayloadReader = std::function<bool(uint8_t* buffer, size_t length)>;

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// The SHA-256 of payload_size bytes, each piece handed on to the sink as
// well. Absent when a read comes up short or the digest fails (reported).
PayloadDigest hash_payload(const PayloadReader& read, int32_t payload_size,
                           const PayloadSink& sink) {
    PayloadDigest digest;
    const EVP_MD* md = EVP_sha256();
    if (!md) {
        std::printf("openssl_verifySignature: Error creating message digest\n");
        return digest;
    }
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) {
        std::printf("openssl_verifySignature: Error creating the message digest context!");
        return digest;
    }
    if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        std::printf("openssl_verifySignature: Error verifying digest - init!\n");
        return digest;
    }
    if (payload_size < 0)
        return digest;
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[SIGNATURE_HASH_CHUNK]);
    if (!chunk)
        return digest;
    size_t remaining = static_cast<size_t>(payload_size);
    bool sinking = static_cast<bool>(sink);
    while (remaining > 0) {
        size_t piece = remaining < SIGNATURE_HASH_CHUNK ? remaining : SIGNATURE_HASH_CHUNK;
        // A payload cut short cannot verify; nothing is hashed that was not read.
        if (!read(chunk.get(), piece))
            return digest;
        if (EVP_DigestUpdate(ctx.get(), chunk.get(), piece) != 1) {
            std::printf("openssl_verifySignature: Error verifying digest - update!\n");
            return digest;
        }
        sinking = sinking && sink(chunk.get(), piece);
        remaining -= piece;
    }
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.bytes.data(), &length) == 1 &&
        length == digest.bytes.size())
        digest.present = true;
    return digest;
}

// The public key of the record, or nullptr (reported).
Pkey verification_key(const KeyRecord* key) {
    Pkey pkey = key ? read_rsa_public_key(*key) : nullptr;
    if (!pkey) {
        std::printf("openssl_verifySignature: Error reading key from buffer %d !\n",
                    key ? key->length : 0);
        ERR_clear_error();
    }
    return pkey;
}

// RSA PKCS#1 v1.5 over a SHA-256 digest taken beforehand, so that one pass
// over the payload serves every key tried. 0 when it verifies, -1 otherwise.
int verify_digest(const PayloadDigest& digest, const uint8_t* signature, size_t signature_length,
                  EVP_PKEY* pkey) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    const int result = digest.present && ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                               EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                               EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
                               EVP_PKEY_verify(ctx.get(), signature, signature_length,
                                               digest.bytes.data(), digest.bytes.size()) == 1
                           ? 0
                           : -1;
    // Leave no failure behind for the next OpenSSL user to trip over.
    ERR_clear_error();
    return result;
}

// Checks the signature under the key, hashing the payload only when *digest
// does not hold its SHA-256 yet (filled in for the next key). The key is read
// first: a key that cannot be read costs no pass over the payload.
int verify_signature(const PayloadReader& read, int32_t payload_size, const uint8_t* signature,
                     size_t signature_length, const KeyRecord* key, PayloadDigest* digest,
                     const PayloadSink& sink = {}) {
    Pkey pkey = verification_key(key);
    if (!pkey)
        return -1;
    if (!digest->present)
        *digest = hash_payload(read, payload_size, sink);
    if (!digest->present) {
        ERR_clear_error();
        return -1;
    }
    return verify_digest(*digest, signature, signature_length, pkey.get());
}

// Payload size = len + 16 - header length, as the signed count the
// verification takes; -1 when it is no such count.
int32_t payload_size_of(const uint8_t* header, size_t header_length) {
    int64_t size = static_cast<int64_t>(image_be32(header + IMAGE_LEN_OFFSET)) +
                   static_cast<int64_t>(IMAGE_BASE_HEADER_SIZE) -
                   static_cast<int64_t>(header_length);
    return size < 0 || size > INT32_MAX ? -1 : static_cast<int32_t>(size);
}

// A signature whose record or length runs past what was read counts as failed
// without a byte of it being read. The payload is read from the file's
// position only when *digest is still absent.
int verify_payload(FILE* file, int32_t payload_size, const SignatureRecord& signature,
                   const KeyRecord& key, PayloadDigest* digest, const PayloadSink& sink) {
    if (!signature.intact)
        return -1;
    return verify_signature(
        [file](uint8_t* buffer, size_t length) {
            return std::fread(buffer, 1, length, file) == length;
        },
        payload_size, signature.signature, signature.signature_length, &key, digest, sink);
}

// Reads exactly length bytes at offset; false on an error or the end.
bool read_partition(int fd, uint64_t offset, uint8_t* buffer, size_t length) {
    while (length > 0) {
        ssize_t count = ::pread(fd, buffer, length, static_cast<off_t>(offset));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        buffer += count;
        length -= static_cast<size_t>(count);
        offset += static_cast<uint64_t>(count);
    }
    return true;
}

// 1 or 0 when the partition says, -1 when it cannot be told. The partition
// is read through a descriptor, as flash partitions are everywhere else.
int read_developer_images_state(const BoardPaths& paths) {
    platform::UniqueFd rfs(::open(paths.developer_images_partition.c_str(), O_RDONLY | O_CLOEXEC));
    if (!rfs.valid())
        return -1;
    uint8_t probe[IMAGE_PROBE_SIZE];
    if (!read_partition(rfs.get(), 0, probe, sizeof probe))
        return -1;
    if (!is_version3_header(probe, sizeof probe))
        return 1; // an old, unsigned root filesystem

    const size_t header_length = image_be16(probe + IMAGE_V3_HEADER_LENGTH_OFFSET);
    std::vector<uint8_t> header(header_length);
    if (header_length < IMAGE_PROBE_SIZE ||
        !read_partition(rfs.get(), 0, header.data(), header_length))
        return -1;
    SignatureRecord signature = find_signature_record(header.data(), header_length);
    if (!signature.found)
        return -1;
    KeyRecord key{};
    if (!load_signing_key(&key, paths.development_key.c_str(), paths))
        return -1;
    if (!signature.intact)
        return 0;
    uint64_t offset = header_length; // the payload follows the header
    const int fd = rfs.get();
    PayloadReader read = [fd, &offset](uint8_t* buffer, size_t length) {
        bool ok = read_partition(fd, offset, buffer, length);
        offset += length;
        return ok;
    };
    PayloadDigest digest;
    return verify_signature(read, payload_size_of(header.data(), header_length),
                            signature.signature, signature.signature_length, &key, &digest) == 0
               ? 1
               : 0;
}

int developer_images_cache = -1;

} // namespace

int openssl_verifySignature(FILE* file, int32_t payload_size, const uint8_t* signature,
                            size_t signature_length, const KeyRecord* key) {
    PayloadDigest digest;
    return verify_signature(
        [file](uint8_t* buffer, size_t length) {
            return std::fread(buffer, 1, length, file) == length;
        },
        payload_size, signature, signature_length, key, &digest);
}

int developer_images_installed(const BoardPaths& paths) {
    if (developer_images_cache >= 0)
        return developer_images_cache;
    int answer = read_developer_images_state(paths);
    if (answer < 0)
        return 0;
    developer_images_cache = answer;
    return answer;
}

void forget_developer_images_state() {
    developer_images_cache = -1;
}

int accept_unsigned_image(const BoardPaths& paths) {
    const int developer = developer_images_installed(paths);
    const bool low_security = low_security_mode_active(paths);
    if (developer && low_security) {
        std::printf("\nWARNING: Image is unsigned but you are running developer images and are "
                    "in low security mode\n");
        return console_confirm("Install image anyway?", 0) ? 1 : 0;
    }
    std::printf(" Image rejected as it has no signature\n");
    return 0;
}

int verify_image_signature(FILE* file, const uint8_t* header, size_t count, const BoardPaths& paths,
                           PayloadDigest* digest, const PayloadSink& sink) {
    if (digest)
        *digest = PayloadDigest{};
    const bool low_security = low_security_mode_active(paths);
    if (!is_version3_header(header, count))
        return accept_unsigned_image(paths);

    const size_t header_length = image_be16(header + IMAGE_V3_HEADER_LENGTH_OFFSET);
    SignatureRecord signature = find_signature_record(header, count);
    if (header_length > count) {
        // Records beyond the bytes at hand cannot be read: the header
        // claims more than it shows, which counts as a failed signature.
        signature.found = true;
        signature.intact = false;
    }
    if (!signature.found)
        return accept_unsigned_image(paths);

    KeyRecord key{};
    if (!load_signing_key(&key, paths.production_key.c_str(), paths))
        return 0;

    const off_t start = ftello(file);
    const uint64_t component_start = start < 0 ? 0 : static_cast<uint64_t>(start);
    const uint64_t payload_start = component_start + header_length;
    const int32_t payload_size = payload_size_of(header, header_length);
    // A stream whose position cannot be told or set cannot show its payload:
    // that counts as a failed check. The payload is read and hashed once; the
    // development key is checked against the same digest.
    // The sink sees only the first pass: a pass that came up short is not
    // handed on again.
    PayloadDigest payload_digest;
    bool sink_fed = false;
    const PayloadSink no_sink;
    const PayloadSink first_pass = [&](const uint8_t* data, size_t length) {
        sink_fed = true;
        return sink(data, length);
    };
    const auto payload_verifies = [&] {
        if (start < 0)
            return false;
        if (!payload_digest.present && !seek_image(file, payload_start))
            return false;
        return verify_payload(file, payload_size, signature, key, &payload_digest,
                              sink && !sink_fed ? first_pass : no_sink) == 0;
    };

    bool verified = payload_verifies();
    bool verified_by_key = verified;
    if (!verified) {
        const int developer = developer_images_installed(paths);
        if (developer || low_security) {
            std::printf(developer ? "\nNOTE - developer images operational. Checking developer "
                                    "keys....\n"
                                  : "\nNOTE - low security mode is operational. Checking "
                                    "developer keys....\n");
            if (!load_signing_key(&key, paths.development_key.c_str(), paths))
                return 0;
            verified = payload_verifies();
            verified_by_key = verified;
            if (!verified && developer && low_security) {
                std::printf("\nWARNING: All checks failed but you are running developer images "
                            "and are in low security mode\n");
                verified = console_confirm("Install image anyway?", 0);
            }
        }
    }

    // The caller reads the component on from its start: an image that cannot
    // be put back there is not accepted.
    if (start < 0 || !seek_image(file, component_start))
        verified = false;
    std::printf(verified ? " Image signature verified. " : " Image rejected. ");
    std::fflush(stdout);
    // Accepted on the operator's word, no key verified the digest: hand none back.
    if (verified && digest && verified_by_key)
        *digest = payload_digest;
    return verified ? 1 : 0;
}
