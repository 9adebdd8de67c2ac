// Commands the program starts. Each is appended to commands.log with the
// board clock, then started for real. Children get an environment without
// this library's variables and without it in LD_PRELOAD: they are tools (real
// or fakes) that must see neither the emulation nor the virtual clock.

#include <spawn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board_layout.h"
#include "log_fields.h"
#include "state_files.h"

extern char** environ;

namespace vswitch::board {

namespace {

const char* const OWN_VARIABLES[] = {layout::ENV_BOARD, layout::ENV_TIME,
                                     layout::ENV_INPUT_GRACE_MS, layout::ENV_MAX_VIRTUAL_SECONDS};

bool names_variable(const char* entry, const char* name) {
    size_t length = std::strlen(name);
    return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// LD_PRELOAD without this library (entries are separated by blanks or colons),
// nor the sanitizer runtime that a sanitizer build preloads ahead of it.
std::string preload_without_us(const char* value) {
    std::string kept;
    std::string entry;
    auto flush = [&] {
        if (!entry.empty() && entry.find("libvswitch-board") == std::string::npos &&
            entry.find("libasan") == std::string::npos)
            kept += (kept.empty() ? "" : ":") + entry;
        entry.clear();
    };
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == ' ' || *p == ':')
            flush();
        else
            entry += *p;
    }
    flush();
    return kept;
}

// The environment handed to a child, with its own storage.
class ChildEnvironment {
  public:
    explicit ChildEnvironment(char* const* env) {
        for (char* const* entry = env; entry != nullptr && *entry != nullptr; ++entry) {
            bool own = false;
            for (const char* name : OWN_VARIABLES)
                own = own || names_variable(*entry, name);
            if (own)
                continue;
            if (names_variable(*entry, "LD_PRELOAD")) {
                std::string kept = preload_without_us(*entry + std::strlen("LD_PRELOAD="));
                if (!kept.empty())
                    storage_.push_back("LD_PRELOAD=" + kept);
                continue;
            }
            storage_.emplace_back(*entry);
        }
        for (auto& text : storage_)
            pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }
    char** get() { return pointers_.data(); }

  private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

void record(const char* kind, const char* first, char* const* argv) {
    if (current_board() == nullptr)
        return;
    char clock[32];
    LineBuffer time(clock, sizeof clock);
    time.dec(board_clock_ns());
    std::string line =
        std::string(clock) + '\t' + kind + '\t' + escape_log_field(first != nullptr ? first : "");
    for (char* const* arg = argv; arg != nullptr && *arg != nullptr; ++arg)
        line += '\t' + escape_log_field(*arg);
    line += '\n';
    append_log(layout::COMMAND_LOG, line.data(), line.size());
}

std::vector<char*> collect_arguments(const char* first, va_list* rest) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(first));
    while (argv.back() != nullptr)
        argv.push_back(va_arg(*rest, char*));
    return argv;
}

} // namespace

} // namespace vswitch::board

using namespace vswitch::board;

VSWITCH_EXPORT int system(const char* command) {
    REAL(system);
    if (current_board() == nullptr)
        return real_system(command);
    // system(NULL) asks whether there is a shell by starting one, a child
    // like any other; only a command is worth a log line.
    if (command != nullptr)
        record("system", command, nullptr);
    // system() hands the shell the process environment: swap in the child's
    // for the call (the program is single-threaded).
    ChildEnvironment child(environ);
    char** own = environ;
    environ = child.get();
    int status = real_system(command);
    environ = own;
    return status;
}

VSWITCH_EXPORT int posix_spawn(pid_t* pid, const char* path,
                               const posix_spawn_file_actions_t* actions,
                               const posix_spawnattr_t* attributes, char* const argv[],
                               char* const envp[]) {
    REAL(posix_spawn);
    if (current_board() == nullptr)
        return real_posix_spawn(pid, path, actions, attributes, argv, envp);
    record("spawn", path, argv);
    ChildEnvironment child(envp);
    return real_posix_spawn(pid, path, actions, attributes, argv, child.get());
}

VSWITCH_EXPORT int posix_spawnp(pid_t* pid, const char* file,
                                const posix_spawn_file_actions_t* actions,
                                const posix_spawnattr_t* attributes, char* const argv[],
                                char* const envp[]) {
    REAL(posix_spawnp);
    if (current_board() == nullptr)
        return real_posix_spawnp(pid, file, actions, attributes, argv, envp);
    record("spawnp", file, argv);
    ChildEnvironment child(envp);
    return real_posix_spawnp(pid, file, actions, attributes, argv, child.get());
}

VSWITCH_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
    REAL(execve);
    if (current_board() == nullptr)
        return real_execve(path, argv, envp);
    record("exec", path, argv);
    ChildEnvironment child(envp);
    return real_execve(path, argv, child.get());
}

VSWITCH_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept {
    REAL(execvpe);
    if (current_board() == nullptr)
        return real_execvpe(file, argv, envp);
    record("execp", file, argv);
    ChildEnvironment child(envp);
    return real_execvpe(file, argv, child.get());
}

VSWITCH_EXPORT int execv(const char* path, char* const argv[]) noexcept {
    return execve(path, argv, environ);
}

VSWITCH_EXPORT int execvp(const char* file, char* const argv[]) noexcept {
    return execvpe(file, argv, environ);
}

VSWITCH_EXPORT int execl(const char* path, const char* arg, ...) noexcept {
    va_list rest;
    va_start(rest, arg);
    std::vector<char*> argv = collect_arguments(arg, &rest);
    va_end(rest);
    return execve(path, argv.data(), environ);
}

VSWITCH_EXPORT int execlp(const char* file, const char* arg, ...) noexcept {
    va_list rest;
    va_start(rest, arg);
    std::vector<char*> argv = collect_arguments(arg, &rest);
    va_end(rest);
    return execvpe(file, argv.data(), environ);
}

VSWITCH_EXPORT int execle(const char* path, const char* arg, ...) noexcept {
    va_list rest;
    va_start(rest, arg);
    std::vector<char*> argv = collect_arguments(arg, &rest);
    char* const* envp = va_arg(rest, char* const*);
    va_end(rest);
    return execve(path, argv.data(), envp);
}
