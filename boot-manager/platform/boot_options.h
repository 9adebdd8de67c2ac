// The process-wide boot options and boot-state flags.
#pragma once

#include <cstddef>
#include <cstdint>

struct BootOptions {
    bool gdb = false;
    bool gdbserver = false;
    int32_t gdb_port = 1234;
    bool shell = false;
    bool diagnostics_rescue = false;
    bool lowsec = false;
    bool usb_boot = false;
    bool failover_attempt = false;
};

extern BootOptions boot_options;

// Fills the option fields from environment text in which the variables are
// separated by blanks. Only a keyword that occurs changes its field.
void apply_boot_option_text(const char* text, BootOptions* options);

// Reads the boot loader environment from its flash partition once and fills
// the option fields of boot_options.
void parse_boot_options();
