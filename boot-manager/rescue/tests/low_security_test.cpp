// The physical-presence dialogue in-process on a simulated board of its own
// (LED, RTC, virtual time; run with the board interposer preloaded), with the
// console on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
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

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(BlinkCount, SumOfTheBcdDigitsOfTheSecondsAtLeastOne) {
    const int cases[][2] = {{0x00, 1},  {0x01, 1},  {0x10, 1}, {0x37, 10},
                            {0x29, 11}, {0x59, 14}, {0x80, 1}, {0xD9, 14}}; // bit 7 is no digit
    for (const auto& c : cases)
        EXPECT_EQ(blink_count(static_cast<uint8_t>(c[0])), c[1]) << c[0];
}

constexpr uint8_t LED_START = 0xA6; // the board's other six bits must survive
constexpr uint8_t LED_OFF = 0xA4;
constexpr uint8_t LED_ON = 0xA5;

const std::string WARNING = "WARNING: the following test is used to determine physical presence "
                            "and if completed will put the switch in low security mode.\nDo you "
                            "wish to continue y/N? ";
const std::string HIT = "Hit a key to start the test. The blue location LED will blink a number "
                        "of times. \n";
const std::string HOW_MANY = "\nHow many times did the LED blink? ";
const std::string CORRECT =
    "Correct. Physical presence established and low security mode enabled\n";
const std::string LEAVE = "Switch is in low security mode. Confirm disabling Y/n? ";
const std::string OVERRIDE = "NOTE: Uboot low security mode override enabled\n";

std::string shown(int blinks, const std::string& answer) {
    return HIT + std::string(static_cast<size_t>(std::max(blinks, 11)), '.') + HOW_MANY + answer;
}

struct PresenceCase {
    const char* name;
    const char* marker; // its content before; null: none
    bool override, interrupted;
    uint8_t seconds; // the RTC seconds register
    const char* keys;
    int result;
    std::string transcript;
    const char* marker_after;
    int attempts, blinks; // blink sequences shown
};

const PresenceCase PRESENCE_CASES[] = {
    {"declined", nullptr, 0, 0, 0x37, "n", 0, WARNING + "n\n", nullptr, 0, 0},
    {"Enter declines", nullptr, 0, 0, 0x37, "\r", 0, WARNING + "\n\n", nullptr, 0, 0},
    {"right count", nullptr, 0, 0, 0x37, "y 10\r", 1, WARNING + "y\n" + shown(10, "10\n") + CORRECT,
     "wumbrelo\n", 1, 10},
    // The answer line holds 7 characters; the number before the rest counts.
    {"long answer", nullptr, 0, 0, 0x59, "Y 14 blinks\r", 1,
     WARNING + "Y\n" + shown(14, "14 blin\a\a\n") + CORRECT, "wumbrelo\n", 1, 14},
    {"second attempt", nullptr, 0, 0, 0x00, "y 3\r 1\r", 1,
     WARNING + "y\n" + shown(1, "3\n") + "Incorrect. Try again (attempt 1 of 3)\n" +
         shown(1, "1\n") + CORRECT,
     "wumbrelo\n", 2, 1},
    {"kept", "wumbrelo\n", 0, 0, 0, "n", 1, LEAVE + "n\n", "wumbrelo\n", 0, 0},
    {"kept with N", "wumbrelo\n", 0, 0, 0, "N", 1, LEAVE + "N\n", "wumbrelo\n", 0, 0},
    {"left with Enter", "wumbrelo\n", 0, 0, 0, "\r", 1, LEAVE + "\n\n", nullptr, 0, 0},
    {"empty marker left", "", 0, 0, 0, "Y", 1, LEAVE + "Y\n", nullptr, 0, 0},
    {"interrupted", "x", 0, 1, 0, "y", 0, LEAVE + std::string(1, '\0') + "\n", "x", 0, 0},
    {"override kept", nullptr, 1, 0, 0, "N", 1, OVERRIDE + LEAVE + "N\n", nullptr, 0, 0},
};

class Presence : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
        ASSERT_TRUE(pty.ok());
        // A reset would run "reboot": let no such program be found.
        ::setenv("PATH", dir.path().c_str(), 1);
        paths.low_security_marker = dir.file("lowsec");
    }
    void TearDown() override {
        i2c_close_buses();
        ::unsetenv("VSWITCH_BOARD");
        boot_options.lowsec = false;
        console_interrupted = 0;
    }

    test_support::TempDir dir;
    PtyConsole pty;
    BoardPaths paths;
};

TEST_F(Presence, Dialogue) {
    for (const PresenceCase& c : PRESENCE_CASES) {
        SCOPED_TRACE(c.name);
        vswitch::TemporaryBoard board;
        vswitch::use_board_in_this_process(board.board());
        ASSERT_EQ(i2c_open_buses(), 0);
        board->set_rtc({c.seconds, 0, 0, 1, 1, 1, 0x26});
        board->set_led_register(2, LED_START);
        std::remove(paths.low_security_marker.c_str());
        if (c.marker)
            test_support::write_file(paths.low_security_marker,
                                     {c.marker, c.marker + std::strlen(c.marker)});
        boot_options.lowsec = c.override;
        console_interrupted = c.interrupted;
        pty.type(c.keys);

        CaptureStdout();
        EXPECT_EQ(physical_presence_test(paths), c.result);
        EXPECT_EQ(GetCapturedStdout(), c.transcript);
        const auto marker = test_support::read_file(paths.low_security_marker);
        EXPECT_EQ(test_support::file_exists(paths.low_security_marker), c.marker_after != nullptr);
        EXPECT_EQ(std::string(marker.begin(), marker.end()), c.marker_after ? c.marker_after : "");

        // Each attempt: off before the prompt, then per cycle the first
        // value (on while blinking) and off.
        std::vector<uint8_t> writes;
        for (int attempt = 0; attempt < c.attempts; ++attempt) {
            writes.push_back(LED_OFF);
            for (int i = 0; i < std::max(c.blinks, 11); ++i)
                writes.insert(writes.end(), {i < c.blinks ? LED_ON : LED_OFF, LED_OFF});
        }
        std::vector<uint8_t> seen;
        for (const auto& write : board->led_writes())
            seen.push_back(write.reg == 2 ? write.value : 0);
        EXPECT_EQ(seen, writes);
        i2c_close_buses();
        console_interrupted = 0;
        while (console_get_key(1) != 0) {
        } // keys the dialogue left unread
    }
}

TEST_F(Presence, UnwritableMarkerLeavesTheModeOff) {
    paths.low_security_marker = dir.file("missing/lowsec");
    set_low_security_mode(paths, true);
    EXPECT_FALSE(low_security_mode_active(paths));
}

} // namespace
