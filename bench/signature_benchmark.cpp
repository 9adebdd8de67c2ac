// Hashing throughput of the signature check against the openssl command on
// the same bytes. Built with the tests, run by hand:
//   bench/signature_benchmark
// The signature check should come close to "openssl dgst -sha256" (wall
// time: the command runs in a child process).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/key_store.h"
#include "image/openssl_handles.h"
#include "image/signature.h"
#include "image/signing_key_files.h"
#include "image/signing_keys.h"
#include "platform/process.h"
#include "platform/unique_file.h"
#include "test_support.h"

namespace {

constexpr size_t PAYLOAD_SIZE = 32 * 1024 * 1024;

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

// The payload file and its production signature, made once.
struct Payload {
    test_support::TempDir dir;
    std::string path = dir.file("payload");
    Bytes signature;
};

Payload& payload() {
    static Payload p;
    if (p.signature.empty()) {
        Bytes bytes(PAYLOAD_SIZE);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
        if (test_support::write_file(p.path, bytes))
            p.signature = production_signature(bytes);
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

} // namespace

BENCHMARK(BM_VerifySignature)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpensslDgst)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
