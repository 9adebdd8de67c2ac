#include "platform/timing.h"

#include <cerrno>
#include <ctime>

namespace platform {

namespace {

void sleep_for(time_t seconds, long nanoseconds) {
    timespec request{seconds, nanoseconds};
    timespec remaining{};
    // A signal (Ctrl-C on the console) must not shorten a pacing delay.
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
}

} // namespace

void sleep_seconds(unsigned seconds) {
    sleep_for(static_cast<time_t>(seconds), 0);
}

void sleep_milliseconds(unsigned milliseconds) {
    sleep_for(static_cast<time_t>(milliseconds / 1000U),
              static_cast<long>(milliseconds % 1000U) * 1000000L);
}

void sleep_microseconds(unsigned microseconds) {
    sleep_for(static_cast<time_t>(microseconds / 1000000U),
              static_cast<long>(microseconds % 1000000U) * 1000L);
}

void halt_forever() {
    for (;;)
        sleep_seconds(3600);
}

} // namespace platform
