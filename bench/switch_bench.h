// What the benchmarks on the virtual switch share: running the driver program
// in the switch and reading its figures back, medians, host programs copied
// onto the switch's /user.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "testbed/run.h"
#include "testbed/virtual_switch.h"

namespace bench {

// What runs in the switch: this build's driver and this machine's openssl, or
// (BENCH_DRIVER, BENCH_OPENSSL) the builds for the switch's CPU, for runs
// under its emulator (the test bed's VSWITCH_* settings then name the boot
// manager, the board library and the emulator).
inline std::string driver_path() {
    const char* path = std::getenv("BENCH_DRIVER");
    return path && *path ? path : INSTALL_MEMORY_DRIVER;
}
inline std::string openssl_path() {
    const char* path = std::getenv("BENCH_OPENSSL");
    return path && *path ? path : "/usr/bin/openssl";
}

inline long long file_size(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

inline long long median(std::vector<long long> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// Runs the driver in the switch: its console from the last "[result" on, or
// empty when it did not run to its end (the console's end then goes to
// standard error). Nobody types at the console, so its time-outs pass at once
// instead of after the test bed's real grace for keys.
inline std::string drive(vswitch::VirtualSwitch& vswitch, const std::vector<std::string>& args) {
    vswitch::RunOptions options;
    options.program = driver_path();
    options.args = args;
    options.environment = {"VSWITCH_INPUT_GRACE_MS=0"};
    vswitch::BootRun run(vswitch, options);
    const vswitch::Outcome outcome = run.wait(std::chrono::minutes(2), std::chrono::minutes(10));
    const std::string& console = run.transcript();
    const size_t at = console.rfind("\n[result ");
    if (outcome.ending == vswitch::Ending::exited && at != std::string::npos)
        return console.substr(at);
    std::fprintf(stderr, "the run ended %s, console ends:\n%s\n",
                 vswitch::ending_name(outcome.ending),
                 console.substr(console.size() > 2000 ? console.size() - 2000 : 0).c_str());
    return {};
}

// Copies a host program into the switch's /user, where the driver can run it.
inline bool copy_program(const std::string& from, const std::string& to) {
    return platform::command_succeeded(platform::run_program({"cp", from, to}));
}

// The benchmarks' common start: "--mib N" (kept when absent), root for the
// switch, a production key to sign with. Empty when they can run, else why not.
inline std::string why_not_start(int argc, char** argv, uint64_t* mib) {
    if (argc == 3 && std::string(argv[1]) == "--mib")
        *mib = std::strtoull(argv[2], nullptr, 10);
    if (*mib == 0)
        return std::string("usage: ") + argv[0] + " [--mib N]";
    if (::geteuid() != 0)
        return "needs root for the virtual switch";
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        return "the build has no production private key to sign with";
    return "";
}

} // namespace bench
