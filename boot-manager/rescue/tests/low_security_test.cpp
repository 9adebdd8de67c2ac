// The physical-presence dialogue in-process on a simulated board of its own
// (LED, RTC, virtual time; run with the board interposer preloaded), with the
// console on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "board/board_state.h"
#include "console/console.h"
#include "platform/boot_options.h"
#include "platform/i2c.h"
#include "platform/low_security_mode.h"
#include "pty_console.h"
#include "rescue/low_security.h"
#include "test_support.h"

namespace {

using namespace test_support;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(BlinkCount, SumOfTheBcdDigitsOfTheSecondsAtLeastOne) {
    const int cases[][2] = {{0x00, 1},  {0x01, 1},  {0x10, 1}, {0x37, 10},
                            {0x29, 11}, {0x59, 14}, {0x80, 1}, {0xD9, 14}}; // bit 7 is no digit
    for (const auto& c : cases)
        EXPECT_EQ(blink_count(static_cast<uint8_t>(c[0])), c[1]) << c[0];
}

// clang-format off
const std::string WARNING = "WARNING: the following test is used to determine physical presence and if completed will put the switch in low security mode.\nDo you wish to continue y/N? ";
const std::string HIT = "Hit a key to start the test. The blue location LED will blink a number of times. \n";
const std::string CORRECT = "Correct. Physical presence established and low security mode enabled\n";
const std::string LEAVE = "Switch is in low security mode. Confirm disabling Y/n? ";
const std::string OVERRIDE = "NOTE: Uboot low security mode override enabled\n";
std::string shown(int dots, const std::string& answer) {
    return HIT + std::string(std::max(dots, 11), '.') + "\nHow many times did the LED blink? " + answer;
}
// clang-format on

TEST(Presence, Dialogue) {
    ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
    TempDir dir;
    // A reset would run "reboot": let no such program be found.
    ::setenv("PATH", dir.path().c_str(), 1);
    const std::string lowsec = dir.file("lowsec");
    BoardPaths paths{"", "", "", lowsec};
    // The marker before (null: none), override, interrupted, RTC seconds,
    // keys; result, transcript, marker after ("-": none); attempts and blinks shown.
    // clang-format off
    const std::tuple<const char*, bool, bool, uint8_t, const char*, int, std::string, const char*, int, int> cases[] = {
    {nullptr, 0, 0, 0x37, "n", 0, WARNING + "n\n", "-", 0, 0},
    {nullptr, 0, 0, 0x37, "\r", 0, WARNING + "\n\n", "-", 0, 0},
    {nullptr, 0, 0, 0x37, "y 10\r", 1, WARNING + "y\n" + shown(10, "10\n") + CORRECT, "wumbrelo\n", 1, 10},
    // The answer line holds 7 characters; the number before the rest counts.
    {nullptr, 0, 0, 0x59, "Y 14 blinks\r", 1, WARNING + "Y\n" + shown(14, "14 blin\a\a\n") + CORRECT, "wumbrelo\n", 1, 14},
    {nullptr, 0, 0, 0x00, "y 3\r 1\r", 1, WARNING + "y\n" + shown(1, "3\n") + "Incorrect. Try again (attempt 1 of 3)\n" + shown(1, "1\n") + CORRECT, "wumbrelo\n", 2, 1},
    {"wumbrelo\n", 0, 0, 0, "n", 1, LEAVE + "n\n", "wumbrelo\n", 0, 0},
    {"wumbrelo\n", 0, 0, 0, "N", 1, LEAVE + "N\n", "wumbrelo\n", 0, 0},
    {"wumbrelo\n", 0, 0, 0, "\r", 1, LEAVE + "\n\n", "-", 0, 0},
    {"", 0, 0, 0, "Y", 1, LEAVE + "Y\n", "-", 0, 0},
    {"x", 0, 1, 0, "y", 0, LEAVE + std::string(1, '\0') + "\n", "x", 0, 0},
    {nullptr, 1, 0, 0, "N", 1, OVERRIDE + LEAVE + "N\n", "-", 0, 0},
    };
    for (const auto& [marker, forced, stop, rtc, keys, result, output, after, tries, dots] : cases) {
        // clang-format on
        SCOPED_TRACE(output);
        vswitch::TemporaryBoard board;
        vswitch::use_board_in_this_process(board.board());
        ASSERT_EQ(i2c_open_buses(), 0);
        board->set_rtc({rtc, 0, 0, 1, 1, 1, 0x26});
        board->set_led_register(2, 0xA6); // the board's other six bits must survive
        std::remove(lowsec.c_str());
        if (marker)
            write_file(lowsec, {marker, marker + strlen(marker)});
        boot_options.lowsec = forced;
        console_interrupted = stop;
        PtyConsole pty;
        pty.type(keys);

        CaptureStdout();
        EXPECT_EQ(physical_presence_test(paths), result);
        EXPECT_EQ(GetCapturedStdout(), output);
        const auto content = read_file(lowsec);
        EXPECT_EQ(file_exists(lowsec) ? std::string(content.begin(), content.end()) : "-", after);
        // Each attempt: off before the prompt, then per two-second cycle the
        // first value (on while blinking) and off.
        std::string writes, seen;
        for (int attempt = 0; attempt < tries; ++attempt)
            for (int i = -1; i < std::max(dots, 11); ++i)
                writes += i < 0 ? "\xA4" : i < dots ? "\xA5\xA4" : "\xA4\xA4";
        for (const auto& write : board->led_writes())
            seen += char(write.reg == 2 ? write.value : 0);
        EXPECT_EQ(seen, writes);
        EXPECT_GE(board->clock_ns() / 1000000, tries * 22000u);
        i2c_close_buses();
    }
    ::unsetenv("VSWITCH_BOARD");
    boot_options.lowsec = false;
    console_interrupted = 0;

    paths.low_security_marker = dir.file("missing/lowsec"); // cannot be written
    set_low_security_mode(paths, true);
    EXPECT_FALSE(low_security_mode_active(paths));
}

} // namespace
