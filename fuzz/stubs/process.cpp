// The process runner of the fuzz targets: nothing is ever started. Commands
// "succeed", the board's reboot ends the input's session.
#include <cerrno>

#include "fuzz_support.h"
#include "platform/process.h"
#include "stubs/board.h"

std::vector<std::string> fuzz_last_program;

namespace platform {

int run_shell_command(const char*) {
    return 0;
}

int run_program(const std::vector<std::string>& argv) {
    fuzz::require(!argv.empty());
    fuzz_last_program = argv;
    return 0;
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
