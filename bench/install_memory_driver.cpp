// Runs in the virtual switch for install_memory_benchmark: one installation
// of an image file into a slot as the download paths run it, then its wall
// time and the kernel's high-water mark of this process's resident memory;
// or the reference, "openssl dgst -sha256" of the file and "cp" of it, in
// the same confinement and on the same filesystem, and its wall time.
//
//   install_memory_driver FILE SLOT
//   install_memory_driver --reference FILE COPY OPENSSL CP
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/install_engine.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/process.h"
#include "platform/unique_file.h"

namespace {

// VmHWM of /proc/self/status in KiB, -1 when not there. Unlike ru_maxrss it
// belongs to this program's own address space, not to what the process held
// before it was started.
long peak_resident_kib() {
    platform::UniqueFile status(std::fopen("/proc/self/status", "r"));
    char line[256];
    while (status && std::fgets(line, sizeof line, status.get()))
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            return std::strtol(line + 6, nullptr, 10);
    return -1;
}

// The switch's clocks run on through virtual sleeps; the kernel's own
// monotonic clock, asked directly, counts only the time that really passed.
long long real_microseconds() {
    timespec now{};
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

int reference(char** argv) {
    const long long start = real_microseconds();
    const bool ok = platform::command_succeeded(platform::run_program(
                        {argv[3], "dgst", "-sha256", "-out", "/dev/null", argv[1]})) &&
                    platform::command_succeeded(platform::run_program({argv[4], argv[1], argv[2]}));
    const long long took = real_microseconds() - start;
    std::printf("\n[result %d]\n[time %lld]\n", ok ? 1 : 0, took);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--reference") == 0)
        return reference(argv + 1);
    if (argc != 3)
        return 2;
    i2c_open_buses();
    flash_init();
    const long long start = real_microseconds();
    const int result = install_image_file(argv[1], 0, std::atoi(argv[2]));
    const long long took = real_microseconds() - start;
    std::printf("\n[result %d]\n[peak %ld]\n[time %lld]\n", result, peak_resident_kib(), took);
    return 0;
}
