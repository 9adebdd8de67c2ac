#include "launch/launch.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "network/mgmt_port.h"
#include "platform/boot_options.h"
#include "platform/files.h"
#include "platform/i2c.h"
#include "platform/process.h"
#include "platform/timing.h"
#include "platform/unique_file.h"

namespace {

constexpr const char* ARCHIVE = "/tmp/kopraimage.tar.gz";
constexpr const char* INSTALL_SCRIPT = "/tmp/home/bin/install.sh";
constexpr const char* ENVIRONMENT_FILE = "/tmp/home/bin/env-setup";
constexpr const char* STARTER = "/bin/backtrace";
constexpr size_t TOKEN_SIZE = 512;

void unpack_archive() {
    char command[128];
    std::snprintf(command, sizeof command, "cd /tmp \ntar mxzf %s \nrm %s\n", ARCHIVE, ARCHIVE);
    // Only a shell that cannot be started counts; what tar and rm say is shown.
    if (platform::run_shell_command(command) < 0) {
        std::fprintf(stderr, "Failed to gunzip Application OS.\n");
        platform::reboot_board();
    }
}

void install_diagnostics_program() {
    std::printf("install diags image\n");
    platform::run_shell_command("mkdir -p /tmp/home/bin");
    platform::run_shell_command("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
}

void run_install_script() {
    if (!platform::path_exists(INSTALL_SCRIPT))
        return;
    std::printf("Running install script\n");
    platform::run_shell_command(INSTALL_SCRIPT);
    // The environment file belongs to the install script: without the
    // script it is not read.
    platform::UniqueFile environment(std::fopen(ENVIRONMENT_FILE, "r"));
    if (environment)
        apply_environment_file(environment.get());
}

// Runs a debugger over the Application OS; the board restarts when it ends.
[[noreturn]] void run_debugger_and_reboot(const char* command) {
    platform::run_shell_command(command);
    platform::reboot_board();
}

} // namespace

void apply_environment_file(FILE* file) {
    char name[TOKEN_SIZE];
    char value[TOKEN_SIZE];
    for (;;) {
        // Cleared before each pair: a lone last name gets the empty value.
        std::memset(name, 0, sizeof name);
        std::memset(value, 0, sizeof value);
        if (std::fscanf(file, "%511s %511s", name, value) < 1)
            return;
        ::setenv(name, value, 1);
    }
}

void run_console_shell() {
    set_mgmt_threshold(0, '0');
    platform::run_shell_command("/bin/sh\n");
}

void launch_application_os(bool is_diagnostics) {
    platform::sleep_seconds(1);
    unpack_archive();
    i2c_close_buses();
    if (is_diagnostics)
        install_diagnostics_program();
    run_install_script();

    if (boot_options.shell) {
        std::printf("Dropping into shell\n");
        run_console_shell();
        std::printf("Dropping out of shell\n");
    }
    if (boot_options.gdbserver) {
        char command[96];
        std::snprintf(command, sizeof command, "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                      static_cast<int>(boot_options.gdb_port));
        run_debugger_and_reboot(command);
    }
    if (boot_options.gdb) {
        if (platform::path_exists("/tmp/gdb")) {
            std::printf("*** Launching under GDB ***\n");
            run_debugger_and_reboot("/tmp/gdb /tmp/home/bin/mp.elf.strip");
        }
        std::printf("**** GDB mode selected but GDB not available. Please install GDB image ***\n");
    }

    platform::exec_program({STARTER});
    std::fprintf(stderr, "Failed to start Application OS.\n");
    platform::reboot_board();
}
