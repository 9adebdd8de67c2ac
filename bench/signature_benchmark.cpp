// Hashing throughput of the signature check against the openssl command on
// the same bytes, and the policy's check of a production- and a
// development-signed image on a developer board. Run by scripts/bench, or by
// hand:
//   bench/signature_benchmark
// The signature check should come close to "openssl dgst -sha256" (wall
// time: the command runs in a child process); a development-signed image,
// whose payload the production key fails first, should cost about as much as
// a production-signed one, as the payload is hashed once for both keys.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/image_format.h"
#include "image/key_store.h"
#include "image/openssl_handles.h"
#include "image/signature.h"
#include "image/signing_key_files.h"
#include "image/signing_keys.h"
#include "platform/process.h"
#include "platform/unique_file.h"
#include "test_support.h"

namespace {

constexpr size_t PAYLOAD_SIZE = 256 * 1024 * 1024;

using Bytes = std::vector<uint8_t>;

// RSA PKCS#1 v1.5 over SHA-256 with the production signing key of this build.
Bytes production_signature(const Bytes& payload) {
    platform::UniqueFile file(std::fopen(PRODUCTION_SIGNING_KEY_FILE, "r"));
    openssl::Pkey key(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
    openssl::MdCtx ctx(EVP_MD_CTX_new());
    Bytes signature(1024);
    size_t length = signature.size();
    if (!key || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size()) != 1)
        return {};
    signature.resize(length);
    return signature;
}

// The payload file and its production signature, made once, and the same
// payload as production- and development-signed image files.
struct Payload {
    test_support::TempDir dir;
    std::string path = dir.file("payload");
    Bytes signature;
    std::string images[2] = {dir.file("production.img"), dir.file("development.img")};
    bool images_made = false;
};

Payload& payload() {
    static Payload p;
    if (p.signature.empty()) {
        Bytes bytes(PAYLOAD_SIZE);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
        if (test_support::write_file(p.path, bytes))
            p.signature = production_signature(bytes);
        const char* keys[2] = {PRODUCTION_SIGNING_KEY_FILE, DEVELOPMENT_SIGNING_KEY_FILE};
        p.images_made = !p.signature.empty();
        for (int i = 0; i < 2 && p.images_made; ++i)
            p.images_made = platform::command_succeeded(
                platform::run_program({SWIMAGE, "create", p.images[i], "--payload", p.path,
                                       "--type", "application", "--sign", keys[i]}));
    }
    return p;
}

void BM_VerifySignature(benchmark::State& state) {
    Payload& p = payload();
    KeyRecord key{};
    key.length = static_cast<uint16_t>(SIGNING_KEY_PEM_LENGTH);
    std::copy(production_public_key, production_public_key + SIGNING_KEY_PEM_SIZE, key.text);
    platform::UniqueFile file(std::fopen(p.path.c_str(), "rb"));
    if (!file || p.signature.empty()) {
        state.SkipWithError("no signed payload");
        return;
    }
    for (auto _ : state) {
        std::rewind(file.get());
        if (openssl_verifySignature(file.get(), static_cast<int32_t>(PAYLOAD_SIZE),
                                    p.signature.data(), p.signature.size(), &key) != 0)
            state.SkipWithError("the signature did not verify");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PAYLOAD_SIZE));
}

void BM_OpensslDgst(benchmark::State& state) {
    const std::string& path = payload().path;
    for (auto _ : state) {
        if (!platform::command_succeeded(
                platform::run_program({"openssl", "dgst", "-sha256", "-out", "/dev/null", path})))
            state.SkipWithError("openssl dgst failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PAYLOAD_SIZE));
}

// The whole policy on a developer board (its root filesystem unsigned):
// argument 0 a production-signed image, 1 a development-signed one.
void BM_VerifyImageOnDeveloperBoard(benchmark::State& state) {
    Payload& p = payload();
    test_support::TempDir dir;
    BoardPaths paths{dir.file("p.pem"), dir.file("d.pem"), dir.file("rfs"), dir.file("lowsec")};
    platform::UniqueFile file(std::fopen(p.images[state.range(0)].c_str(), "rb"));
    uint8_t probe[IMAGE_PROBE_SIZE];
    if (!p.images_made ||
        !test_support::write_file(paths.developer_images_partition,
                                  std::vector<uint8_t>(4096, 0xFF)) ||
        !file || std::fread(probe, 1, sizeof probe, file.get()) != sizeof probe) {
        state.SkipWithError("no signed image");
        return;
    }
    Bytes header(image_be16(probe + IMAGE_V3_HEADER_LENGTH_OFFSET));
    std::rewind(file.get());
    if (std::fread(header.data(), 1, header.size(), file.get()) != header.size()) {
        state.SkipWithError("no image header");
        return;
    }
    for (auto _ : state) {
        std::rewind(file.get());
        if (verify_image_signature(file.get(), header.data(), header.size(), paths) != 1)
            state.SkipWithError("the image was rejected");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PAYLOAD_SIZE));
}

} // namespace

BENCHMARK(BM_VerifyImageOnDeveloperBoard)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_VerifySignature)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpensslDgst)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
