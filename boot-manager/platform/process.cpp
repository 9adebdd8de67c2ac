#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/timing.h"

extern char** environ;

namespace platform {

namespace {

std::vector<char*> argv_pointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (const auto& arg : argv)
        pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Restores the caller's signal dispositions when the wait is over.
class ShellLikeSignals {
  public:
    ShellLikeSignals() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGINT, &ignore, &old_int_);
        ::sigaction(SIGQUIT, &ignore, &old_quit_);
        sigset_t child;
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        ::sigprocmask(SIG_BLOCK, &child, &old_mask_);
    }
    ~ShellLikeSignals() {
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGQUIT, &old_quit_, nullptr);
        ::sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    ShellLikeSignals(const ShellLikeSignals&) = delete;
    ShellLikeSignals& operator=(const ShellLikeSignals&) = delete;

    const sigset_t& old_mask() const { return old_mask_; }

  private:
    struct sigaction old_int_ {};
    struct sigaction old_quit_ {};
    sigset_t old_mask_{};
};

} // namespace

// Output still buffered must reach the console before the command's own.
int run_shell_command(const char* command_line) {
    std::fflush(nullptr);
    return ::system(command_line);
}

int run_program(const std::vector<std::string>& argv) {
    if (argv.empty())
        return -1;
    std::fflush(nullptr);
    // The same signal arrangement as system(): the command, not the boot
    // manager, takes a Ctrl-C typed while it runs.
    ShellLikeSignals signals;

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return -1;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &signals.old_mask());
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    auto pointers = argv_pointers(argv);
    pid_t pid = -1;
    int spawn_error =
        ::posix_spawnp(&pid, pointers[0], nullptr, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawn_error == ENOENT || spawn_error == EACCES || spawn_error == ENOEXEC)
        return 127 << 8; // what the shell reports for a command it cannot run
    if (spawn_error != 0)
        return -1;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

bool command_succeeded(int wait_status) {
    return wait_status >= 0 && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

int exec_program(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    std::fflush(nullptr);
    auto pointers = argv_pointers(argv);
    return ::execvp(pointers[0], pointers.data());
}

void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        // The lowest free number is fd itself, the ones below being open.
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            static_cast<void>(::open("/dev/null", O_RDWR));
    }
}

void reboot_board() {
    sleep_seconds(1);
    if (run_shell_command("reboot") < 0)
        std::fprintf(stderr, "System reboot failed, please power-cycle.\n");
    std::exit(0);
}

} // namespace platform
