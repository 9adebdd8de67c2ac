// Peak resident memory of the installation engine while it installs a signed
// 512 MiB Application OS image into slot 1 on the virtual switch. Built with
// the tests, run by hand as root (the switch needs namespaces):
//   bench/install_memory_benchmark
// The install streams the image, so the peak must stay under 16 MiB; exits 1
// when it does not, 2 when the installation could not be measured.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "platform/unique_file.h"
#include "test_support.h"
#include "testbed/run.h"
#include "testbed/virtual_switch.h"

namespace {

constexpr uint64_t IMAGE_MIB = 512;
constexpr long GOAL_KIB = 16 * 1024;

// Payload bytes need not be an archive for a slot install: a pattern that
// no filesystem stores sparsely.
bool write_payload(const std::string& path) {
    platform::UniqueFile file(std::fopen(path.c_str(), "wb"));
    std::vector<uint8_t> piece(1 << 20);
    bool ok = file != nullptr;
    for (uint64_t mib = 0; ok && mib < IMAGE_MIB; ++mib) {
        for (size_t i = 0; i < piece.size(); ++i)
            piece[i] = static_cast<uint8_t>((mib << 20 | i) * 2654435761u >> 24);
        ok = std::fwrite(piece.data(), 1, piece.size(), file.get()) == piece.size();
    }
    return platform::close_written(std::move(file)) && ok;
}

long long file_size(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "install_memory_benchmark: %s\n", why.c_str());
    return 2;
}

} // namespace

int main() {
    if (::geteuid() != 0)
        return fail("needs root for the virtual switch");
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        return fail("the build has no production private key to sign with");
    test_support::TempDir dir;
    vswitch::VirtualSwitch vswitch = vswitch::VirtualSwitch::create(dir.file("switch"));
    const std::string payload = dir.file("payload");
    const std::string image = vswitch.user_dir() + "/application.img";
    if (!write_payload(payload) || !platform::command_succeeded(platform::run_program(
                                       {SWIMAGE, "create", image, "--payload", payload, "--type",
                                        "application", "--sign", PRODUCTION_SIGNING_KEY_FILE})))
        return fail("could not make the signed image");
    std::remove(payload.c_str());

    vswitch::RunOptions options;
    options.program = INSTALL_MEMORY_DRIVER;
    options.args = {"/user/application.img", "1"};
    vswitch::BootRun run(vswitch, options);
    const vswitch::Outcome outcome = run.wait(std::chrono::minutes(2), std::chrono::minutes(10));
    const std::string& console = run.transcript();
    const size_t at = console.rfind("\n[result ");
    int result = 0;
    long peak = -1;
    if (outcome.ending != vswitch::Ending::exited || at == std::string::npos ||
        std::sscanf(console.c_str() + at, "\n[result %d]\n[peak %ld]", &result, &peak) != 2 ||
        result != 1 || peak < 0 ||
        file_size(vswitch.user_dir() + "/images/image1") != file_size(image))
        return fail(std::string("the installation failed (run ") +
                    vswitch::ending_name(outcome.ending) + "), console ends:\n" +
                    console.substr(console.size() > 2000 ? console.size() - 2000 : 0));

    const bool pass = peak < GOAL_KIB;
    std::printf("install of a %llu MiB Application OS image (%lld bytes) into slot 1: peak RSS "
                "%ld KiB, goal under %ld KiB (16 MiB): %s\n",
                static_cast<unsigned long long>(IMAGE_MIB), file_size(image), peak, GOAL_KIB,
                pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
