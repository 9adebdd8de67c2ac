#include <gtest/gtest.h>

#include <string>

#include "boot/boot_options.h"

namespace {

BootOptions parse(const std::string& text) {
    BootOptions options;
    apply_boot_option_text(text.c_str(), &options);
    return options;
}

TEST(BootOptions, NoKeywordKeepsInitialValues) {
    BootOptions options = parse("bootcmd=run flash_self baudrate=115200   ");
    EXPECT_FALSE(options.gdb);
    EXPECT_FALSE(options.gdbserver);
    EXPECT_EQ(options.gdb_port, 1234);
    EXPECT_FALSE(options.shell);
    EXPECT_FALSE(options.diagnostics_rescue);
    EXPECT_FALSE(options.lowsec);
}

TEST(BootOptions, GdbserverOnAlsoSetsGdb) {
    BootOptions options = parse("gdbserver=on ");
    EXPECT_TRUE(options.gdbserver);
    EXPECT_TRUE(options.gdb);
}

TEST(BootOptions, LaterKeywordWinsForGdb) {
    BootOptions options = parse("gdb=off gdbserver=on ");
    EXPECT_TRUE(options.gdb);
    EXPECT_TRUE(options.gdbserver);

    options = parse("gdb=on gdbserver=off ");
    EXPECT_TRUE(options.gdb);
    EXPECT_FALSE(options.gdbserver);
}

TEST(BootOptions, OnTestComparesTwoLowerCaseCharacters) {
    EXPECT_TRUE(parse("shell=only ").shell);
    EXPECT_TRUE(parse("shell=on1 ").shell);
    EXPECT_FALSE(parse("shell=ON ").shell);
    EXPECT_FALSE(parse("shell=1 ").shell);
    EXPECT_FALSE(parse("shell= ").shell);
    EXPECT_TRUE(parse("lowsec=on ").lowsec);
    EXPECT_FALSE(parse("lowsec=yes ").lowsec);
}

TEST(BootOptions, KeywordInsideAnotherVariableCounts) {
    EXPECT_TRUE(parse("mygdb=on ").gdb);
    EXPECT_TRUE(parse("bootargs=console=ttyS0 shell=on ").shell);
}

TEST(BootOptions, OnlyFirstOccurrenceCounts) {
    EXPECT_FALSE(parse("shell=off shell=on ").shell);
}

TEST(BootOptions, RescueComparesSixCharacters) {
    EXPECT_TRUE(parse("diagnostics=rescue ").diagnostics_rescue);
    EXPECT_TRUE(parse("diagnostics=rescue1 ").diagnostics_rescue);
    EXPECT_FALSE(parse("diagnostics=resc ").diagnostics_rescue);
}

TEST(BootOptions, PortIsReadWithoutRangeCheck) {
    EXPECT_EQ(parse("gdbport=-5 ").gdb_port, -5);
    EXPECT_EQ(parse("gdbport=70000 ").gdb_port, 70000);
    EXPECT_EQ(parse("gdbport=abc ").gdb_port, 1234);
}

TEST(BootOptions, EmptyPortTakesDigitsOfNextVariable) {
    // The NUL between the variables became a blank, which %d skips.
    EXPECT_EQ(parse("gdbport= 4321abc=x ").gdb_port, 4321);
}

} // namespace
