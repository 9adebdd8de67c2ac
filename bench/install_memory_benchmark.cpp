// Time and peak resident memory of the installation engine while it installs
// a signed 512 MiB Application OS image into slot 1 on the virtual switch,
// against "openssl dgst -sha256" plus "cp" of the same image run the same way
// (in the switch, on the same filesystem). An install replaces the image the
// slot holds; the reference's copy likewise replaces the one of the round
// before, so that both pay for dropping 512 MiB of old file. Run by scripts/bench, or by hand
// as root (the switch needs namespaces):
//   bench/install_memory_benchmark
// Medians of five runs after a warm-up, the image in the page cache for both
// sides. The install streams the image, so the peak must stay under 16 MiB
// and the time within 1.15x the reference; exits 1 when a goal is missed, 2
// when the installation could not be measured. The last line is
// "figures INSTALL_US REFERENCE_US PEAK_KIB" for scripts/bench.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
constexpr double GOAL_RATIO = 1.15;
constexpr int RUNS = 6; // the first warms up

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

long long median(std::vector<long long> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs the driver in the switch: its console from "[result" on, or empty
// when it did not run to its end (the console's end then follows).
std::string drive(vswitch::VirtualSwitch& vswitch, const std::vector<std::string>& args) {
    vswitch::RunOptions options;
    options.program = INSTALL_MEMORY_DRIVER;
    options.args = args;
    vswitch::BootRun run(vswitch, options);
    const vswitch::Outcome outcome = run.wait(std::chrono::minutes(2), std::chrono::minutes(10));
    const std::string& console = run.transcript();
    const size_t at = console.rfind("\n[result ");
    if (outcome.ending == vswitch::Ending::exited && at != std::string::npos)
        return console.substr(at);
    std::fprintf(stderr, "install_memory_benchmark: the run ended %s, console ends:\n%s\n",
                 vswitch::ending_name(outcome.ending),
                 console.substr(console.size() > 2000 ? console.size() - 2000 : 0).c_str());
    return {};
}

// Copies a host program into the switch's /user, where the driver can run it.
bool copy_program(const std::string& from, const std::string& to) {
    return platform::command_succeeded(platform::run_program({"cp", from, to}));
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
    if (!copy_program("/usr/bin/openssl", vswitch.user_dir() + "/openssl") ||
        !copy_program("/bin/cp", vswitch.user_dir() + "/cp"))
        return fail("could not copy openssl and cp into the switch");

    // Install and reference take turns, so that a busy moment of the machine
    // does not fall on one side only.
    std::vector<long long> install_times, reference_times;
    long peak = 0;
    for (int round = 0; round < RUNS; ++round) {
        const std::string installed = drive(vswitch, {"/user/application.img", "1"});
        int result = 0;
        long run_peak = -1;
        long long took = -1;
        if (std::sscanf(installed.c_str(), "\n[result %d]\n[peak %ld]\n[time %lld]", &result,
                        &run_peak, &took) != 3 ||
            result != 1 || run_peak < 0 ||
            file_size(vswitch.user_dir() + "/images/image1") != file_size(image))
            return fail("the installation failed" + installed);
        const std::string copied =
            drive(vswitch, {"--reference", "/user/application.img", "/user/reference.img",
                            "/user/openssl", "/user/cp"});
        long long reference = -1;
        if (std::sscanf(copied.c_str(), "\n[result %d]\n[time %lld]", &result, &reference) != 2 ||
            result != 1)
            return fail("openssl dgst or cp failed" + copied);
        peak = std::max(peak, run_peak);
        if (round > 0) {
            install_times.push_back(took);
            reference_times.push_back(reference);
        }
    }

    const long long install = median(install_times), reference = median(reference_times);
    const double ratio = static_cast<double>(install) / static_cast<double>(reference);
    const bool pass = peak < GOAL_KIB && ratio <= GOAL_RATIO;
    std::printf("install of a %llu MiB Application OS image (%lld bytes) into slot 1: %.0f ms, "
                "openssl dgst -sha256 + cp %.0f ms (%.2fx, goal at most %.2fx); peak RSS %ld KiB, "
                "goal under %ld KiB (16 MiB): %s\n",
                static_cast<unsigned long long>(IMAGE_MIB), file_size(image), install / 1e3,
                reference / 1e3, ratio, GOAL_RATIO, peak, GOAL_KIB, pass ? "PASS" : "FAIL");
    std::printf("figures %lld %lld %ld\n", install, reference, peak);
    return pass ? 0 : 1;
}
