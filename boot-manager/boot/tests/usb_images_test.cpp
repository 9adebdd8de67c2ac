// The wait for usb-mount's sign, on the simulated board's clock.
#include <gtest/gtest.h>

#include <string>

#include "board/board_state.h"
#include "boot/usb_images.h"
#include "platform/boot_options.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(WaitForUsbMount, DotsOnOneLineUntilTheSignOrTenSeconds) {
    const std::string announce =
        "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n";
    const struct {
        bool usb_boot;
        int appears_at; // the check that first finds the sign; 0: never
        std::string console;
        int result;
        uint64_t seconds; // of board time
    } cases[] = {
        {true, 5, announce + "....USB mounted and ready!\n", 0, 5},
        {true, 0, announce + std::string(10, '.') + "USB mount timed out\n", -1, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.console);
        vswitch::TemporaryBoard board;
        vswitch::use_board_in_this_process(board.board());
        boot_options.usb_boot = c.usb_boot;
        int checks = 0;
        CaptureStdout();
        EXPECT_EQ(wait_for_usb_mount([&] { return ++checks == c.appears_at; }), c.result);
        EXPECT_EQ(GetCapturedStdout(), c.console);
        EXPECT_EQ(board->clock_ns(), c.seconds * 1000000000);
    }
    boot_options.usb_boot = false;
}

} // namespace
