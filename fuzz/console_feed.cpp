// The console fed from a pipe (fuzz_support.h), linked with the console.
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "console/console.h"
#include "fuzz_support.h"
#include "platform/timing.h"

namespace fuzz {

namespace {
int idle_waits = 0; // console waits that found no key, this session
} // namespace

void console_load(const uint8_t* data, size_t size) {
    int ends[2];
    require(::pipe2(ends, O_CLOEXEC) == 0);
    // All keys are typed ahead: the pipe holds 64 KiB, the targets' inputs less.
    require(size == 0 || ::write(ends[1], data, size) == static_cast<ssize_t>(size));
    ::close(ends[1]);
    require(::dup2(ends[0], 0) == 0);
    ::close(ends[0]);
    // Nothing of the previous input may stay in stdin's buffer.
    __fpurge(stdin);
    std::clearerr(stdin);
    console_interrupted = 0;
    idle_waits = 0;
}

void console_unload() {
    // Descriptor 0 stays taken, so that no file of the next input lands there.
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null > 0) {
        ::dup2(null, 0);
        ::close(null);
    }
    console_interrupted = 0;
}

} // namespace fuzz

// The console's wait between two reads that found no key (input that is no
// terminal). With keys left it returns at once; without, the operator presses
// Ctrl-C once, and then nobody answers any more.
void platform::sleep_milliseconds(unsigned) {
    int waiting = 0;
    if (::ioctl(0, FIONREAD, &waiting) == 0 && waiting > 0)
        return;
    if (++fuzz::idle_waits > 1)
        throw fuzz::SessionEnd{};
    console_interrupted = 1;
}
