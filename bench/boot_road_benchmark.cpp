// Time of the boot road on the virtual switch, with virtual time so that its
// sleeps cost nothing: a signed Application OS of 256 MiB (a .tar.gz of
// random bytes) from slot 1 to the exit of the Application OS starter the
// boot manager hands over to, against the same switch running
// "openssl dgst -sha256" of the image, "cp" of the payload and "tar xzf" of
// it in one shell command line. Both run from the same driver in the switch,
// in turns, the files in the page cache. Run by scripts/bench, or by hand as
// root (the switch needs namespaces):
//   bench/boot_road_benchmark [--mib N]   (N MiB instead of 256)
// Medians of five runs after a warm-up; exits 1 when the boot takes more than
// 1.15x the reference, 2 when it could not be measured. The last line is
// "figures BOOT_US REFERENCE_US" for scripts/bench.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/unique_file.h"
#include "switch_bench.h"
#include "test_support.h"

namespace {

using bench::copy_program;
using bench::median;

constexpr double GOAL_RATIO = 1.15;
constexpr int RUNS = 6; // the first warms up

// Random bytes, which gzip cannot shrink: the archive is as large as them.
bool write_random_file(const std::string& path, uint64_t mib) {
    platform::UniqueFile file(std::fopen(path.c_str(), "wb"));
    std::mt19937_64 random(mib);
    std::vector<uint64_t> piece((1 << 20) / sizeof(uint64_t));
    bool ok = file != nullptr;
    for (uint64_t i = 0; ok && i < mib; ++i) {
        for (uint64_t& word : piece)
            word = random();
        ok = std::fwrite(piece.data(), sizeof(uint64_t), piece.size(), file.get()) == piece.size();
    }
    return platform::close_written(std::move(file)) && ok;
}

bool run(const std::vector<std::string>& argv) {
    return platform::command_succeeded(platform::run_program(argv));
}

int fail(const std::string& why) {
    std::fprintf(stderr, "boot_road_benchmark: %s\n", why.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    uint64_t mib = 256;
    if (const std::string why = bench::why_not_start(argc, argv, &mib); !why.empty())
        return fail(why);
    test_support::TempDir dir;
    vswitch::VirtualSwitch vswitch = vswitch::VirtualSwitch::create(dir.file("switch"));
    const std::string user = vswitch.user_dir();
    const std::string archive = dir.file("payload.tar.gz");
    if (!write_random_file(dir.file("payload.bin"), mib) ||
        !run({"tar", "-C", dir.path(), "-cf", dir.file("payload.tar"), "payload.bin"}) ||
        !run({"gzip", "-1", "-n", dir.file("payload.tar")}) ||
        !run({"mkdir", "-p", user + "/images"}) ||
        !run({SWIMAGE, "create", user + "/images/image1", "--payload", archive, "--type",
              "application", "--sign", PRODUCTION_SIGNING_KEY_FILE}) ||
        !copy_program(archive, user + "/payload.tar.gz"))
        return fail("could not make the signed image");
    std::remove(dir.file("payload.bin").c_str());
    if (!copy_program(vswitch::boot_manager_path(), user + "/boot-manager") ||
        !copy_program(bench::openssl_path(), user + "/openssl"))
        return fail("could not copy the boot manager and openssl into the switch");
    // The starter fails unless the whole payload was unpacked.
    vswitch.set_tool_effect("backtrace", "[ \"$(stat -c %s /tmp/payload.bin)\" = " +
                                             std::to_string(mib << 20) + " ] || status=1\n");

    const std::string reference_line =
        "/user/openssl dgst -sha256 -out /dev/null /user/images/image1 && "
        "cp /user/payload.tar.gz /tmp/kopraimage.tar.gz && cd /tmp && tar xzf kopraimage.tar.gz";
    std::vector<long long> boot_times, reference_times;
    for (int round = 0; round < RUNS; ++round) {
        const std::string booted = bench::drive(vswitch, {"--time", "/user/boot-manager"});
        int result = 0;
        long long took = -1;
        if (std::sscanf(booted.c_str(), "\n[result %d]\n[time %lld]", &result, &took) != 2 ||
            result != 1 || !vswitch.application_os_start())
            return fail("the boot did not reach the Application OS" + booted);
        vswitch.clear_records();
        const std::string referenced =
            bench::drive(vswitch, {"--time", "/bin/sh", "-c", reference_line});
        long long reference = -1;
        if (std::sscanf(referenced.c_str(), "\n[result %d]\n[time %lld]", &result, &reference) !=
                2 ||
            result != 1)
            return fail("openssl dgst, cp or tar failed" + referenced);
        if (round > 0) {
            boot_times.push_back(took);
            reference_times.push_back(reference);
        }
    }

    const long long boot = median(boot_times), reference = median(reference_times);
    const double ratio = static_cast<double>(boot) / static_cast<double>(reference);
    const bool pass = ratio <= GOAL_RATIO;
    std::printf("boot of a %llu MiB Application OS from slot 1 to its starter: %.0f ms, "
                "openssl dgst -sha256 + cp + tar xzf %.0f ms (%.2fx, goal at most %.2fx): %s\n",
                static_cast<unsigned long long>(mib), boot / 1e3, reference / 1e3, ratio,
                GOAL_RATIO, pass ? "PASS" : "FAIL");
    std::printf("figures %lld %lld\n", boot, reference);
    return pass ? 0 : 1;
}
