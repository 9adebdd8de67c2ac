// Running the tools of the boot root filesystem.
//
// Fixed command lines (several commands, redirections, wildcards) go to the
// shell. A command that carries operator- or media-supplied text (a typed file
// name, a MAC address, a path from a USB stick) is run from an argument vector
// instead, so that such text can never be read as shell syntax. Both return a
// wait status as system() does: negative when no process could be started,
// 127 as exit status when the program could not be executed.
#pragma once

#include <string>
#include <vector>

namespace platform {

int run_shell_command(const char* command_line);
int run_program(const std::vector<std::string>& argv);

// True when a started command exited with status 0.
bool command_succeeded(int wait_status);

// Replaces the process image (the hand-over to the Application OS starter);
// returns only on failure, with errno set.
int exec_program(const std::vector<std::string>& argv);

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, so that
// no device or file opened later takes its number and gets the program's
// output or the console's input.
void open_standard_descriptors();

// Sleeps 1 s, runs "reboot" and exits with status 0.
[[noreturn]] void reboot_board();

} // namespace platform
