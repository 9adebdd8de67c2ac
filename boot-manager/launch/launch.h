// The hand-over to the Application OS: the archive already written to
// "/tmp/kopraimage.tar.gz" is unpacked, installed and started.
#pragma once

#include <cstdio>

// Never returns: ends in the exec of the Application OS starter or in a
// reboot. is_diagnostics: the unpacked component is a diagnostics
// Application OS.
[[noreturn]] void launch_application_os(bool is_diagnostics);

// Sets the variables of an environment file: whitespace-separated name and
// value pairs, each token at most 511 characters (a longer one runs on as the
// next token); a lone last name is set to the empty string.
void apply_environment_file(FILE* file);

// An interactive shell on the console, with the management port's interrupt
// thresholding off while the operator works; returns when it ends.
void run_console_shell();
