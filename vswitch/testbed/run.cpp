#include "testbed/run.h"

#include "board/board_layout.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#ifndef VSWITCH_SANDBOX
#define VSWITCH_SANDBOX ""
#endif
#ifndef VSWITCH_BOOT_MANAGER
#define VSWITCH_BOOT_MANAGER ""
#endif
#ifndef VSWITCH_USB_MOUNT
#define VSWITCH_USB_MOUNT ""
#endif
#ifndef VSWITCH_INTERPOSER
#define VSWITCH_INTERPOSER ""
#endif

namespace vswitch {

namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal pair set up as the switch's serial line leaves it.
bool open_terminal(platform::UniqueFd& master_fd, platform::UniqueFd& slave_fd,
                   bool translate_newlines) {
    master_fd.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    const int master = master_fd.get();
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return false;
    const char* name = ::ptsname(master);
    if (!name)
        return false;
    slave_fd.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    const int slave = slave_fd.get();
    if (slave < 0)
        return false;
    termios settings{};
    ::tcgetattr(slave, &settings);
    if (translate_newlines)
        settings.c_oflag |= OPOST | ONLCR;
    else
        settings.c_oflag &= ~ONLCR;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    ::tcsetattr(slave, TCSANOW, &settings);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    ::ioctl(slave, TIOCSWINSZ, &size);
    int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    return true;
}

std::string terminal_name(int fd) {
    char name[128] = {};
    if (::ptsname_r(fd, name, sizeof name) != 0)
        return {};
    return name;
}

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

} // namespace

std::string boot_manager_path() {
    return env_or("VSWITCH_BOOT_MANAGER", VSWITCH_BOOT_MANAGER);
}
std::string usb_mount_path() {
    return env_or("VSWITCH_USB_MOUNT", VSWITCH_USB_MOUNT);
}
std::string sandbox_path() {
    return env_or("VSWITCH_SANDBOX", VSWITCH_SANDBOX);
}
std::string interposer_path() {
    return env_or("VSWITCH_INTERPOSER", VSWITCH_INTERPOSER);
}

std::string after_log_path(const VirtualSwitch& vswitch) {
    return vswitch.dir() + "/after.log";
}

const char* ending_name(Ending ending) {
    switch (ending) {
    case Ending::running:
        return "running";
    case Ending::exited:
        return "exited";
    case Ending::signalled:
        return "signalled";
    case Ending::halted:
        return "halted";
    case Ending::silent:
        return "silent";
    case Ending::timed_out:
        return "timed out";
    case Ending::stopped:
        return "stopped";
    case Ending::failed:
        return "failed";
    }
    return "?";
}

BootRun::BootRun(VirtualSwitch& vswitch, RunOptions options)
    : vswitch_(vswitch), timed_keys_(std::move(options.timed_keys)) {
    // A power-on ends the halt of the last run.
    ::unlink(vswitch_.board().path(layout::HALTED_FILE).c_str());
    vswitch_.board().go_on();
    power_on_ns_ = vswitch_.board().clock_ns();
    schedule_stop();
    if (!open_terminal(console_master_, console_slave_, options.translate_newlines) ||
        !open_terminal(serial_master_, serial_slave_, true)) {
        outcome_ = {Ending::failed, 0, "no pseudo-terminal"};
        return;
    }
    run_dir_ = std::make_unique<test_support::TempDir>("/tmp");
    if (run_dir_->path().empty()) {
        outcome_ = {Ending::failed, 0, "no run directory"};
        return;
    }
    const std::string run_dir = run_dir_->path();
    ::mkdir((run_dir + "/root").c_str(), 0755);

    std::string program = options.program.empty() ? boot_manager_path() : options.program;
    std::vector<std::string> argv = {sandbox_path(),
                                     "--board",
                                     vswitch_.dir(),
                                     "--root",
                                     run_dir + "/root",
                                     "--report",
                                     run_dir + "/report",
                                     "--console",
                                     terminal_name(console_master_.get()),
                                     "--serial",
                                     terminal_name(serial_master_.get()),
                                     "--time",
                                     options.virtual_time ? "virtual" : "real",
                                     "--term",
                                     options.term};
    if (!interposer_path().empty())
        argv.insert(argv.end(), {"--preload", interposer_path()});
    // Programs built for the switch's CPU run under its emulator, which finds
    // that CPU's libraries where VSWITCH_GUEST_LIBRARIES says.
    for (const auto& [variable, option] :
         {std::pair{"VSWITCH_EMULATOR", "--emulator"},
          std::pair{"VSWITCH_GUEST_LIBRARIES", "--guest-libraries"}})
        if (const std::string value = env_or(variable, ""); !value.empty())
            argv.insert(argv.end(), {option, value});
    if (options.hotplug_usb_mount && !usb_mount_path().empty())
        argv.insert(argv.end(), {"--usb-mount", usb_mount_path()});
    if (options.stderr_to_file)
        argv.insert(argv.end(), {"--stderr", "/.vswitch/board/stderr.log"});
    if (options.stdout_to_file)
        argv.insert(argv.end(), {"--stdout", "/.vswitch/board/stdout.log"});
    if (!options.handle_usb_at_power_on)
        argv.insert(argv.end(), {"--usb-handling", "no"});
    if (!options.after.empty()) {
        ::unlink(after_log_path(vswitch_).c_str());
        argv.insert(argv.end(), {"--after", options.after});
    }
    for (const auto& variable : options.environment)
        argv.insert(argv.end(), {"--env", variable});
    argv.push_back("--");
    argv.push_back(program);
    argv.insert(argv.end(), options.args.begin(), options.args.end());

    std::vector<char*> pointers;
    for (auto& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    pid_t parent = ::getpid();
    sandbox_ = ::fork();
    if (sandbox_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (::getppid() != parent)
            _exit(1);
        ::dup2(console_slave_.get(), 0);
        ::dup2(console_slave_.get(), 1);
        ::dup2(console_slave_.get(), 2);
        ::execv(pointers[0], pointers.data());
        _exit(127);
    }
    if (sandbox_ < 0)
        outcome_ = {Ending::failed, 0, std::string("fork: ") + std::strerror(errno)};
}

BootRun::~BootRun() {
    if (!finished() && sandbox_ > 0)
        stop();
    vswitch_.board().cancel_pause();
    vswitch_.board().go_on();
    for (auto* fd : {&console_master_, &console_slave_, &serial_master_, &serial_slave_})
        fd->reset();
    if (run_dir_ && !run_dir_->path().empty())
        ::rmdir(run_dir_->file("root").c_str());
    run_dir_.reset();
}

bool BootRun::pump(int timeout_ms) {
    bool got_any = read_console(timeout_ms);
    serve_stop();
    return got_any;
}

void BootRun::schedule_stop() {
    if (next_stop_ < timed_keys_.size())
        vswitch_.board().pause_at(
            power_on_ns_ +
            static_cast<uint64_t>(std::chrono::nanoseconds(timed_keys_[next_stop_].at).count()));
    else
        vswitch_.board().cancel_pause();
}

// The program stands still at the next moment of timed_keys: keep the console
// as it is, type the keys, and let it go on.
void BootRun::serve_stop() {
    if (next_stop_ >= timed_keys_.size() || !vswitch_.board().parked())
        return;
    drain();
    stops_.push_back(transcript_);
    send(timed_keys_[next_stop_].keys);
    // Polling the terminal makes its line discipline take the keys now, so a
    // Ctrl-C has raised SIGINT before the program goes on.
    pollfd settle{console_slave_.get(), POLLIN, 0};
    ::poll(&settle, 1, 0);
    ++next_stop_;
    schedule_stop();
    vswitch_.board().go_on();
}

bool BootRun::read_console(int timeout_ms) {
    if (!console_master_.valid())
        return false;
    pollfd watch{console_master_.get(), POLLIN, 0};
    if (::poll(&watch, 1, timeout_ms) <= 0 || !(watch.revents & POLLIN))
        return false;
    bool got_any = false;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(console_master_.get(), buffer, sizeof buffer);
        if (got <= 0)
            break;
        transcript_.append(buffer, static_cast<size_t>(got));
        if (sink_)
            sink_(buffer, static_cast<size_t>(got));
        got_any = true;
    }
    return got_any;
}

// The terminal hands written bytes to the reading side a moment later, so
// the last words of a program that just ended may still be on their way.
void BootRun::drain() {
    while (read_console(30)) {
    }
}

bool BootRun::wait_for_text(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto found = transcript_.find(text, cursor_);
        if (found != std::string::npos) {
            cursor_ = found + text.size();
            return true;
        }
        if (finished() || Clock::now() >= deadline)
            return false;
        pump(20);
        if (check_exit(false))
            drain();
    }
}

void BootRun::send(const std::string& keys) {
    size_t done = 0;
    while (done < keys.size() && console_master_.valid()) {
        ssize_t put = ::write(console_master_.get(), keys.data() + done, keys.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else if (put < 0 && errno == EAGAIN) {
            pump(10); // the program is not reading: make room by reading its output
        } else if (put < 0 && errno != EINTR) {
            break;
        }
    }
}

// True once the sandbox process has ended (the outcome is then set).
bool BootRun::check_exit(bool block) {
    if (finished())
        return true;
    if (sandbox_ <= 0)
        return false;
    int status = 0;
    pid_t done = ::waitpid(sandbox_, &status, block ? 0 : WNOHANG);
    if (done != sandbox_)
        return false;
    sandbox_ = -1;
    read_report();
    return true;
}

void BootRun::read_report() {
    std::string report = run_dir_ ? read_file(run_dir_->file("report")) : "";
    auto first_line = report.substr(0, report.find('\n'));
    if (first_line.rfind("exit ", 0) == 0) {
        outcome_ = {Ending::exited, std::atoi(first_line.c_str() + 5), ""};
    } else if (first_line.rfind("signal ", 0) == 0) {
        outcome_ = {Ending::signalled, std::atoi(first_line.c_str() + 7), ""};
    } else if (first_line.rfind("error: ", 0) == 0) {
        outcome_ = {Ending::failed, 0, first_line.substr(7)};
    } else if (first_line == "killed") {
        outcome_ = {Ending::stopped, 0, ""};
    } else {
        outcome_ = {Ending::failed, 0, "the sandbox gave no report"};
    }
}

Outcome BootRun::finish(Ending ending_if_killed) {
    if (sandbox_ > 0) {
        ::kill(sandbox_, SIGTERM);
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!check_exit(false)) {
            if (Clock::now() >= deadline) {
                ::kill(sandbox_, SIGKILL);
                check_exit(true);
                break;
            }
            pump(10);
        }
    }
    drain();
    if (outcome_.ending == Ending::stopped || outcome_.ending == Ending::running)
        outcome_ = {ending_if_killed, 0, ""};
    return outcome_;
}

bool BootRun::poll_end() {
    if (check_exit(false)) {
        drain();
        return true;
    }
    return false;
}

Outcome BootRun::stop() {
    if (finished())
        return outcome_;
    return finish(Ending::stopped);
}

Outcome BootRun::wait(std::chrono::milliseconds silence, std::chrono::milliseconds limit) {
    auto start = Clock::now();
    auto last_output = start;
    while (!finished()) {
        if (pump(20))
            last_output = Clock::now();
        if (check_exit(false)) {
            drain();
            break;
        }
        auto now = Clock::now();
        if (vswitch_.board().halted()) {
            // Give anything the program might still write a moment to show.
            auto settle = Clock::now() + std::chrono::milliseconds(200);
            while (Clock::now() < settle)
                pump(20);
            return finish(Ending::halted);
        }
        if (now - last_output >= silence)
            return finish(Ending::silent);
        if (now - start >= limit)
            return finish(Ending::timed_out);
    }
    return outcome_;
}

} // namespace vswitch
