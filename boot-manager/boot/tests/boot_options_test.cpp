#include <gtest/gtest.h>

#include <string>

#include "platform/boot_options.h"

namespace {

TEST(BootOptions, KeywordsFoundInTheEnvironmentText) {
    const struct {
        const char* text;
        bool gdb, gdbserver;
        int32_t port;
        bool shell, rescue, lowsec;
    } rows[] = {
        {"bootcmd=run flash_self baudrate=115200   ", false, false, 1234, false, false, false},
        {"gdbserver=on ", true, true, 1234, false, false, false},
        {"gdb=off gdbserver=on ", true, true, 1234, false, false, false},
        {"gdb=on gdbserver=off ", true, false, 1234, false, false, false},
        {"mygdb=on ", true, false, 1234, false, false, false},
        // "on" is two lower-case characters; only the first occurrence counts.
        {"shell=only lowsec=on ", false, false, 1234, true, false, true},
        {"bootargs=console=ttyS0 shell=on1 ", false, false, 1234, true, false, false},
        {"shell=ON lowsec=yes ", false, false, 1234, false, false, false},
        {"shell=1 ", false, false, 1234, false, false, false},
        {"shell= ", false, false, 1234, false, false, false},
        {"shell=off shell=on ", false, false, 1234, false, false, false},
        // "rescue" is six characters.
        {"diagnostics=rescue1 ", false, false, 1234, false, true, false},
        {"diagnostics=resc ", false, false, 1234, false, false, false},
        // The port has no range check; the NUL between the variables became
        // a blank, which the conversion skips.
        {"gdbport=-5 ", false, false, -5, false, false, false},
        {"gdbport=70000 ", false, false, 70000, false, false, false},
        {"gdbport=abc ", false, false, 1234, false, false, false},
        {"gdbport= 4321abc=x ", false, false, 4321, false, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        BootOptions options;
        apply_boot_option_text(row.text, &options);
        EXPECT_EQ(options.gdb, row.gdb);
        EXPECT_EQ(options.gdbserver, row.gdbserver);
        EXPECT_EQ(options.gdb_port, row.port);
        EXPECT_EQ(options.shell, row.shell);
        EXPECT_EQ(options.diagnostics_rescue, row.rescue);
        EXPECT_EQ(options.lowsec, row.lowsec);
    }
}

} // namespace
