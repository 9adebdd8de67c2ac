#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "boot/slots.h"
#include "platform/boot_options.h"

namespace {

TEST(BootOptions, KeywordsFoundInTheEnvironmentText) {
    // Expected: gdb, gdbserver, port, shell, diagnostics rescue, lowsec.
    const char* rows[][2] = {
        // clang-format off
        {"bootcmd=run flash_self baudrate=115200   ", "00 1234 000"},
        {"gdb=off gdbserver=on ", "11 1234 000"},
        {"gdb=on gdbserver=off ", "10 1234 000"},
        {"mygdb=on ", "10 1234 000"},
        // "on" is two lower-case characters; only the first occurrence counts.
        {"shell=only lowsec=on ", "00 1234 101"},
        {"bootargs=console=ttyS0 shell=on1 ", "00 1234 100"},
        {"shell=ON lowsec=yes shell=on ", "00 1234 000"},
        {"diagnostics=rescue1 ", "00 1234 010"},
        {"diagnostics=rescu ", "00 1234 000"},
        // No range check; the NUL between variables became a blank, which the conversion skips.
        {"gdbport=-5 ", "00 -5 000"},
        {"gdbport=70000 ", "00 70000 000"},
        // A number that does not fit an int leaves the port unchanged.
        {"gdbport=2147483648 ", "00 1234 000"},
        {"gdbport=-2147483648 ", "00 -2147483648 000"},
        {"gdbport=abc ", "00 1234 000"},
        {"gdbport= 4321abc=x ", "00 4321 000"},
        // clang-format on
    };
    for (const auto& row : rows) {
        BootOptions o;
        apply_boot_option_text(row[0], &o);
        char got[32];
        std::snprintf(got, sizeof got, "%d%d %d %d%d%d", o.gdb, o.gdbserver, o.gdb_port, o.shell,
                      o.diagnostics_rescue, o.lowsec);
        EXPECT_STREQ(got, row[1]) << row[0];
    }
}

TEST(BootSequence, DateCommandKeepsOnlyTheTimeBitsAndOtherSlotIsTwoOnlyForSlotOne) {
    // Oscillator-stop, century and weekday bits must not leak into the date;
    // the year uses all eight.
    const RtcTime time{{0xD9, 0xD9, 0xE3, 0xFF, 0xF1, 0xF2, 0x99}};
    char command[64];
    format_date_command(time, command, sizeof command);
    EXPECT_STREQ(command, "date 123123592099.59\n");
    EXPECT_EQ(other_slot(1) * 100 + other_slot(2) * 10 + other_slot(3), 211);
}

} // namespace
