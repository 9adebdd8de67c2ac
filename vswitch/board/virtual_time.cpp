// Time on the simulated board. Every sleep of the program moves the board
// clock (kept in the state directory, so it runs on across reboots). With
// VSWITCH_TIME=virtual (the default) a sleep returns at once and the clocks
// the program reads run ahead by the time it has slept; with VSWITCH_TIME=real
// it really sleeps. Console time-outs under virtual time wait a short real
// grace for a key before they count as having run out.
//
// The test bed can stop the program at a moment of board time ("pause-at"):
// the wait in progress then stands still ("parked") in real time, so keys
// typed meanwhile reach the program through its terminal and its signals
// interrupt the wait as the kernel would, until the test bed lets it go on.
//
// The program halts by sleeping in an endless loop; once it has slept past
// VSWITCH_MAX_VIRTUAL_SECONDS in one run it is parked for good and the
// "halted" marker tells the runner so.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "board_layout.h"
#include "models.h"
#include "state_files.h"

namespace vswitch::board {

namespace {

constexpr uint64_t NS_PER_SECOND = 1000000000ULL;

// Time this process has slept (virtual or real); the clocks it reads run
// ahead by it under virtual time.
std::atomic<uint64_t> slept_ns{0};

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    return end != text ? value : fallback;
}

uint64_t to_ns(const timespec& t) {
    if (t.tv_sec < 0 || t.tv_nsec < 0)
        return 0;
    return static_cast<uint64_t>(t.tv_sec) * NS_PER_SECOND + static_cast<uint64_t>(t.tv_nsec);
}

timespec from_ns(uint64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / NS_PER_SECOND);
    t.tv_nsec = static_cast<long>(ns % NS_PER_SECOND);
    return t;
}

bool is_terminal(int fd) {
    int saved = errno;
    termios settings{};
    bool terminal = ::tcgetattr(fd, &settings) == 0;
    errno = saved;
    return terminal;
}

[[noreturn]] void park_forever() {
    char path[PATH_LEN];
    if (board_path(path, layout::HALTED_FILE))
        write_number(path, board_clock_ns());
    for (;;)
        ::pause();
}

void advance(uint64_t ns, const char* kind) {
    char path[PATH_LEN];
    if (!board_path(path, layout::CLOCK_FILE))
        return;
    uint64_t clock = 0;
    read_number(path, &clock);
    char text[128];
    LineBuffer line(text, sizeof text);
    line.dec(clock).chr('\t').text(kind).chr('\t').dec(ns).chr('\n');
    append_log(layout::TIME_LOG, text, line.length());
    write_number(path, clock + ns);
    const uint64_t total = slept_ns.fetch_add(ns) + ns;
    const uint64_t bound =
        env_number(layout::ENV_MAX_VIRTUAL_SECONDS, layout::DEFAULT_MAX_VIRTUAL_SECONDS);
    if (total > bound * NS_PER_SECOND)
        park_forever();
}

// The moment inside a wait of ns from clock at which the test bed wants the
// program stopped, if any.
bool pause_within(uint64_t clock, uint64_t ns, uint64_t* at) {
    char path[PATH_LEN];
    uint64_t when = 0;
    if (!board_path(path, layout::PAUSE_FILE) || !read_number(path, &when) || when < clock ||
        when - clock >= ns)
        return false;
    *at = when;
    return true;
}

// A timed terminal read that a signal interrupts is restarted by the kernel
// when the handler asks for it; the keys the test bed types raise SIGINT.
bool restarted_by_kernel(const char* kind) {
    struct sigaction action {};
    return std::strcmp(kind, "read-timeout") == 0 && ::sigaction(SIGINT, nullptr, &action) == 0 &&
           (action.sa_flags & SA_RESTART) != 0;
}

// Stands still at board time `at` until the test bed removes "parked". All
// signals stay blocked except inside ppoll, so one that arrives is seen as the
// interruption of this wait. The poll() result: input ready on fds, -1 with
// EINTR for a signal, 0 when neither came.
int park(uint64_t at, const char* kind, pollfd* fds, nfds_t count) {
    char pause[PATH_LEN];
    char parked[PATH_LEN];
    if (!board_path(pause, layout::PAUSE_FILE) || !board_path(parked, layout::PARKED_FILE))
        return 0;
    sigset_t all;
    sigset_t original;
    ::sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &original);
    ::unlink(pause);
    write_number(parked, at);
    int result = 0;
    for (;;) {
        const bool let_go = !file_exists(parked);
        timespec slice = from_ns(let_go ? 0 : 10000000ULL);
        if (result == 0) {
            int ready = ::ppoll(count > 0 ? fds : nullptr, count, &slice, &original);
            if (ready > 0 || (ready < 0 && errno == EINTR && !restarted_by_kernel(kind)))
                result = ready;
        } else if (!let_go) {
            ::ppoll(nullptr, 0, &slice, &all);
        }
        if (let_go)
            break;
    }
    ::sigprocmask(SIG_SETMASK, &original, nullptr);
    if (result < 0)
        errno = EINTR;
    return result;
}

// Under virtual time a sleep may still take a share of real time
// (VSWITCH_REAL_MS_PER_SECOND): what the program waits for outside itself,
// such as a link the kernel reports up only a moment after the interface came
// up, then happens within the sleeps as on the board.
void real_share_of_sleep(uint64_t ns, const char* kind) {
    const uint64_t ms_per_second = env_number(layout::ENV_REAL_MS_PER_SECOND, 0);
    if (ms_per_second == 0 || std::strcmp(kind, "sleep") != 0)
        return;
    REAL(nanosleep);
    const int saved = errno;
    timespec share = from_ns(ns / 1000 * ms_per_second);
    while (real_nanosleep(&share, &share) != 0 && errno == EINTR) {
    }
    errno = saved;
}

// A wait of ns on the board clock, stopped where the test bed asked. The
// poll() result; *left: what remained of the wait when input or a signal
// ended it.
int virtual_wait(uint64_t ns, const char* kind, pollfd* fds, nfds_t count, uint64_t* left) {
    uint64_t clock = board_clock_ns();
    uint64_t at = 0;
    uint64_t cut_at = 0;
    const bool cut = power_cut_within(clock, ns, &cut_at);
    while (pause_within(clock, ns, &at) && !(cut && cut_at <= at)) {
        if (at > clock)
            advance(at - clock, kind);
        ns -= at - clock;
        clock = at;
        int result = park(at, kind, fds, count);
        if (result != 0) {
            *left = ns;
            return result;
        }
    }
    if (power_cut_within(clock, ns, &cut_at)) {
        if (cut_at > clock)
            advance(cut_at - clock, kind);
        power_cut_now(cut_at);
    }
    advance(ns, kind);
    real_share_of_sleep(ns, kind);
    *left = 0;
    return 0;
}

uint64_t grace_ns() {
    return env_number(layout::ENV_INPUT_GRACE_MS, layout::DEFAULT_INPUT_GRACE_MS) * 1000000ULL;
}

bool adjusts_clock(clockid_t clock) {
    switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_BOOTTIME:
        return true;
    default:
        return false;
    }
}

bool emulating() {
    return current_board() != nullptr;
}

bool virtual_now() {
    return emulating() && virtual_time();
}

} // namespace

void time_model_reset() {
    slept_ns = 0;
}

uint64_t board_clock_ns() {
    char path[PATH_LEN];
    uint64_t clock = 0;
    if (board_path(path, layout::CLOCK_FILE))
        read_number(path, &clock);
    return clock;
}

bool virtual_time() {
    const char* mode = std::getenv(layout::ENV_TIME);
    return mode == nullptr || std::strcmp(mode, "real") != 0;
}

void pass_time(uint64_t nanoseconds, const char* kind) {
    advance(nanoseconds, kind);
}

// Waits for input on a terminal under virtual time: a real grace period for a
// key, then the whole time-out counts as passed. The poll() result.
int terminal_wait(pollfd* fds, nfds_t count, uint64_t timeout_ns, const char* kind) {
    REAL(poll);
    uint64_t at = 0;
    // A wait the test bed stops in gets its keys there, not in a grace.
    if (!pause_within(board_clock_ns(), timeout_ns, &at)) {
        const uint64_t grace = grace_ns();
        const uint64_t wait = timeout_ns < grace ? timeout_ns : grace;
        int ready = real_poll(fds, count, static_cast<int>(wait / 1000000ULL));
        if (ready > 0 || (ready < 0 && !(errno == EINTR && restarted_by_kernel(kind))))
            return ready;
    }
    uint64_t left = 0;
    return virtual_wait(timeout_ns, kind, fds, count, &left);
}

} // namespace vswitch::board

using namespace vswitch::board;

VSWITCH_EXPORT int nanosleep(const timespec* request, timespec* remaining) {
    REAL(nanosleep);
    if (!emulating() || request == nullptr || request->tv_nsec < 0 ||
        request->tv_nsec >= static_cast<long>(NS_PER_SECOND))
        return real_nanosleep(request, remaining);
    if (virtual_time()) {
        uint64_t left = 0;
        if (virtual_wait(to_ns(*request), "sleep", nullptr, 0, &left) == 0)
            return 0;
        if (remaining != nullptr)
            *remaining = from_ns(left);
        return -1; // errno EINTR
    }
    int saved = errno;
    timespec left{};
    int result = real_nanosleep(request, &left);
    int sleep_errno = errno;
    uint64_t slept = result == 0 ? to_ns(*request) : to_ns(*request) - to_ns(left);
    advance(slept, "sleep");
    if (remaining != nullptr)
        *remaining = left;
    errno = result == 0 ? saved : sleep_errno;
    return result;
}

VSWITCH_EXPORT int clock_nanosleep(clockid_t clock, int flags, const timespec* request,
                                   timespec* remaining) {
    REAL(clock_nanosleep);
    if (!virtual_now() || request == nullptr)
        return real_clock_nanosleep(clock, flags, request, remaining);
    uint64_t ns = to_ns(*request);
    if ((flags & TIMER_ABSTIME) != 0) {
        timespec now{};
        ::clock_gettime(clock, &now); // through the adjusted clock
        ns = ns > to_ns(now) ? ns - to_ns(now) : 0;
    }
    const int saved = errno;
    uint64_t left = 0;
    const bool interrupted = virtual_wait(ns, "sleep", nullptr, 0, &left) != 0;
    errno = saved;
    if (!interrupted)
        return 0;
    if (remaining != nullptr && (flags & TIMER_ABSTIME) == 0)
        *remaining = from_ns(left);
    return EINTR;
}

VSWITCH_EXPORT int usleep(useconds_t microseconds) {
    if (!emulating()) {
        REAL(usleep);
        return real_usleep(microseconds);
    }
    timespec request = from_ns(static_cast<uint64_t>(microseconds) * 1000ULL);
    return nanosleep(&request, nullptr);
}

VSWITCH_EXPORT unsigned int sleep(unsigned int seconds) {
    if (!emulating()) {
        REAL(sleep);
        return real_sleep(seconds);
    }
    timespec request{static_cast<time_t>(seconds), 0};
    timespec remaining{};
    if (nanosleep(&request, &remaining) != 0)
        return static_cast<unsigned>(remaining.tv_sec + (remaining.tv_nsec > 0 ? 1 : 0));
    return 0;
}

VSWITCH_EXPORT int clock_gettime(clockid_t clock, timespec* now) noexcept {
    REAL(clock_gettime);
    int result = real_clock_gettime(clock, now);
    if (result == 0 && adjusts_clock(clock) && virtual_now())
        *now = from_ns(to_ns(*now) + slept_ns.load());
    return result;
}

VSWITCH_EXPORT int gettimeofday(timeval* now, void* zone) noexcept {
    REAL(gettimeofday);
    int result = real_gettimeofday(now, zone);
    if (result == 0 && virtual_now()) {
        uint64_t us = static_cast<uint64_t>(now->tv_sec) * 1000000ULL +
                      static_cast<uint64_t>(now->tv_usec) + slept_ns.load() / 1000ULL;
        now->tv_sec = static_cast<time_t>(us / 1000000ULL);
        now->tv_usec = static_cast<suseconds_t>(us % 1000000ULL);
    }
    return result;
}

VSWITCH_EXPORT time_t time(time_t* out) noexcept {
    REAL(time);
    time_t now = real_time(nullptr);
    if (virtual_now())
        now += static_cast<time_t>(slept_ns.load() / NS_PER_SECOND);
    if (out != nullptr)
        *out = now;
    return now;
}

VSWITCH_EXPORT int poll(pollfd* fds, nfds_t count, int timeout_ms) {
    REAL(poll);
    if (timeout_ms <= 0 || !virtual_now())
        return real_poll(fds, count, timeout_ms);
    const uint64_t timeout_ns = static_cast<uint64_t>(timeout_ms) * 1000000ULL;
    if (count == 0) {
        uint64_t left = 0;
        return virtual_wait(timeout_ns, "sleep", nullptr, 0, &left);
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].fd >= 0 && is_terminal(fds[i].fd))
            return terminal_wait(fds, count, timeout_ns, "poll-timeout");
    }
    return real_poll(fds, count, timeout_ms);
}

VSWITCH_EXPORT int __poll_chk(pollfd* fds, nfds_t count, int timeout_ms, size_t) {
    return poll(fds, count, timeout_ms);
}
