// Runs in the virtual switch for the benchmarks there: one installation of an
// image file into a slot as the download paths run it, then its wall time and
// the kernel's high-water mark of this process's resident memory; or the
// install's reference, "openssl dgst -sha256" of the file and "cp" of it, in
// the same confinement and on the same filesystem, and its wall time; or the
// wall time of a program run to its end (a boot, to the exit of the
// Application OS starter it hands over to, or the boot's reference).
//
//   install_memory_driver FILE SLOT
//   install_memory_driver --reference FILE COPY OPENSSL CP
//   install_memory_driver --time PROGRAM [ARGS...]
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/install_engine.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/process.h"
#include "platform/unique_file.h"

extern char** environ;

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
#ifdef SYS_clock_gettime64
    // A 32-bit CPU: the call whose seconds do not run out in 2038, with the
    // kernel's own layout whatever this build's time_t.
    struct {
        int64_t seconds, nanoseconds;
    } now{};
    ::syscall(SYS_clock_gettime64, CLOCK_MONOTONIC, &now);
    return now.seconds * 1000000 + now.nanoseconds / 1000;
#else
    timespec now{};
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
#endif
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

// The program's wall time; the result is 1 when it exited with status 0. It
// is started with this environment as it is: the board's library would give
// it one without the board, as it does for the tools a program runs.
int time_program(char** argv) {
    const long long start = real_microseconds();
    const pid_t child = ::fork();
    if (child == 0) {
        ::syscall(SYS_execve, argv[0], argv, environ);
        ::_exit(127);
    }
    int status = 0;
    const bool ok = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0;
    const long long took = real_microseconds() - start;
    std::printf("\n[result %d]\n[time %lld]\n", ok ? 1 : 0, took);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--time") == 0)
        return time_program(argv + 2);
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
