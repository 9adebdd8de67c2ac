// Hashing throughput of the signature check against the openssl command on
// the same bytes. Built with the tests, run by hand:
//   boot-manager/image/tests/signature_benchmark
// The signature check should come close to "openssl dgst -sha256" (wall
// time: the command runs in a child process).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/key_store.h"
#include "image/signature.h"
#include "image/signing_keys.h"
#include "platform/process.h"
#include "signing_support.h"
#include "temp_dir.h"

namespace {

constexpr size_t PAYLOAD_SIZE = 32 * 1024 * 1024;

// The payload file and its production signature, made once.
struct Payload {
    image_test::TempDir dir;
    std::string path = dir.file("payload");
    image_test::Bytes signature;
};

Payload& payload() {
    static Payload p;
    if (p.signature.empty()) {
        const image_test::Bytes bytes = image_test::payload_of(PAYLOAD_SIZE);
        image_test::write_file(p.path, bytes);
        p.signature = image_test::sign_payload(bytes, PRODUCTION_SIGNING_KEY_FILE);
    }
    return p;
}

void BM_VerifySignature(benchmark::State& state) {
    Payload& p = payload();
    KeyRecord key{};
    key.length = static_cast<uint16_t>(SIGNING_KEY_PEM_LENGTH);
    std::copy(production_public_key, production_public_key + SIGNING_KEY_PEM_SIZE, key.text);
    FILE* file = std::fopen(p.path.c_str(), "rb");
    for (auto _ : state) {
        std::rewind(file);
        if (openssl_verifySignature(file, static_cast<int32_t>(PAYLOAD_SIZE), p.signature.data(),
                                    p.signature.size(), &key) != 0)
            state.SkipWithError("the signature did not verify");
    }
    std::fclose(file);
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
