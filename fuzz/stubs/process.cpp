// The process runner of the fuzz targets: nothing is ever started. Commands
// "succeed" unless the target chose them to fail; the board's reboot ends the
// input's session.
#include <cerrno>

#include "fuzz_support.h"
#include "platform/process.h"
#include "stubs/board.h"

std::vector<std::string> fuzz_last_program;
std::vector<std::vector<std::string>>* fuzz_command_log = nullptr;
uint32_t fuzz_failing_commands = 0;
unsigned fuzz_commands_run = 0;

namespace {
// The exit status of the next command: bit n of the mask fails the n-th.
int next_status() {
    const unsigned n = fuzz_commands_run++;
    return n < 32 && (fuzz_failing_commands >> n & 1) ? 1 << 8 : 0;
}
} // namespace

namespace platform {

int run_shell_command(const char* command_line) {
    if (fuzz_command_log)
        fuzz_command_log->push_back({"sh", "-c", command_line});
    return next_status();
}

int run_program(const std::vector<std::string>& argv) {
    fuzz::require(!argv.empty());
    fuzz_last_program = argv;
    if (fuzz_command_log)
        fuzz_command_log->push_back(argv);
    return next_status();
}

bool command_succeeded(int wait_status) {
    return wait_status == 0;
}

int exec_program(const std::vector<std::string>&) {
    errno = ENOENT;
    return -1;
}

void reboot_board() {
    throw fuzz::SessionEnd{};
}

} // namespace platform
