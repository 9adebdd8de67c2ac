// The start-up sequence and the boot options, black-box: the boot-manager
// binary as it ships, on a simulated board, read through its console, the
// commands it started and the board it left.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

const std::string NO_EMMC =
    "No MMC storage device found. Unable to continue booting. Contact Halvex for support\n";
const std::string USB_WAIT =
    "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n";
const std::string REBOOT_FAILED = "System reboot failed, please power-cycle.\n";
// Board time from power-on at which the first second of the USB wait begins.
constexpr auto USB_WAIT_STARTS = 3000ms;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class StartupTest : public VirtualSwitchTest {
  protected:
    // Both slots hold an unsigned Application OS: each attempt is refused and
    // the boot ends in a reboot, never in the rescue menu or the starter.
    void SetUp() override {
        VirtualSwitchTest::SetUp();
        const std::string unsigned_image("\0\0\0\0\0\0\0\10\1MAR\0\0\0\0payload!", 24);
        vswitch().write_user_file("images/image1", unsigned_image);
        vswitch().write_user_file("images/image2", unsigned_image);
    }
    // Boots and expects the two attempts and the reboot that ends a board
    // whose slots hold nothing bootable.
    void expect_failover(int first, int second) {
        ASSERT_TRUE(expect_console("Booting image '" + std::to_string(first) + "'\n"));
        ASSERT_TRUE(expect_console("Booting image '" + std::to_string(second) + "'\n"));
        expect_reboot();
        EXPECT_EQ(count(console(), "Booting image"), 2u) << console();
    }

    void expect_reboot() {
        Outcome outcome = wait_for_end();
        EXPECT_EQ(outcome.ending, Ending::exited) << console();
        EXPECT_EQ(outcome.code, 0);
        auto commands = shell_commands();
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.back(), "reboot");
        auto calls = tool_calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().path, "/sbin/reboot");
        EXPECT_TRUE(calls.back().args.empty());
    }
};

TEST_F(StartupTest, WithoutEmmcItSaysSoAndHaltsForGood) {
    vswitch().set_emmc(false);
    boot();
    ASSERT_TRUE(expect_console("Running filesystem check.....\n" + NO_EMMC));
    Outcome outcome = wait_for_end();
    EXPECT_EQ(outcome.ending, Ending::halted);
    // Nothing after the message: no boot attempt, no rescue menu, no reboot.
    EXPECT_EQ(console().substr(console().size() - NO_EMMC.size()), NO_EMMC);
    EXPECT_EQ(shell_commands(), std::vector<std::string>{"date 062413452025.30\n"});
    for (const auto& call : tool_calls())
        EXPECT_NE(call.name(), "reboot");
}

struct SlotCase {
    int nvram_byte;
    int first;
    int second;
};

class BootSlotTest : public StartupTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(BootSlotTest, BootsTheNvramSlotThenFailsOverToTheOther) {
    board().set_nvram_byte(NVRAM_BOOT_SLOT, static_cast<uint8_t>(GetParam().nvram_byte));
    boot();
    expect_failover(GetParam().first, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(SlotBytes, BootSlotTest,
                         ::testing::Values(SlotCase{0, 1, 2}, SlotCase{1, 1, 2}, SlotCase{2, 2, 1},
                                           SlotCase{3, 1, 2}, SlotCase{255, 1, 2}),
                         [](const auto& info) {
                             return "byte" + std::to_string(info.param.nvram_byte);
                         });

TEST_F(StartupTest, TeskModeTakesTheSlotFromItsOwnByte) {
    board().set_nvram_byte(NVRAM_OS_MODE, 'C');
    board().set_nvram_byte(NVRAM_BOOT_SLOT, 1);
    board().set_nvram_byte(NVRAM_TESK_BOOT_SLOT, 2);
    boot();
    expect_failover(2, 1);
}

TEST_F(StartupTest, StartupOrderUpToTheFirstAttempt) {
    boot();
    ASSERT_TRUE(expect_console("Running filesystem check.....\n"));
    ASSERT_TRUE(expect_console("Booting image '1'\n"));
    expect_reboot();
    // The clock is set before anything else is started; the filesystem check
    // waits 3 s and the reboot 1 s.
    EXPECT_EQ(shell_commands().front(), "date 062413452025.30\n");
    EXPECT_EQ(console().find("USB"), std::string::npos);
    EXPECT_EQ(console().find("Management port"), std::string::npos);
    EXPECT_GE(virtual_ms(), 4000u);
}

TEST_F(StartupTest, ClockIsSetFromTheRtcRegisters) {
    board().set_rtc({0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25});
    boot();
    expect_reboot();
    ASSERT_FALSE(shell_commands().empty());
    EXPECT_EQ(shell_commands().front(), "date 062413452025.30\n");
    auto calls = tool_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().path, "/bin/date");
    EXPECT_EQ(calls.front().args, std::vector<std::string>{"062413452025.30"});
}

class UsbBootByteTest : public StartupTest, public ::testing::WithParamInterface<int> {};

TEST_P(UsbBootByteTest, OnlyTheEnableValueWaitsForAStick) {
    // The first boot sets the switch up (keys on /user); the second is the
    // plain boot to compare with.
    boot();
    expect_failover(1, 2);
    uint64_t start_ms = virtual_ms(); // the board clock runs on across boots
    boot();
    expect_failover(1, 2);
    uint64_t without_usb_ms = virtual_ms() - start_ms;
    std::string without_usb = console();

    board().set_nvram_byte(NVRAM_USB_BOOT, static_cast<uint8_t>(GetParam()));
    start_ms = virtual_ms();
    boot();
    expect_failover(1, 2);
    uint64_t this_run_ms = virtual_ms() - start_ms;
    if (GetParam() != 213) {
        EXPECT_EQ(console(), without_usb);
        EXPECT_EQ(console().find("USB"), std::string::npos);
        EXPECT_EQ(this_run_ms, without_usb_ms);
        return;
    }
    // No stick: one second, ten one-second rounds with a dot each, time-out,
    // and the NVRAM slot as if USB had never been asked for.
    EXPECT_NE(console().find(USB_WAIT + "..........USB mount timed out\nBooting image '1'\n"),
              std::string::npos)
        << console();
    EXPECT_EQ(this_run_ms - without_usb_ms, 11000u);
}

INSTANTIATE_TEST_SUITE_P(UsbBytes, UsbBootByteTest, ::testing::Values(212, 213, 214),
                         [](const auto& info) { return "byte" + std::to_string(info.param); });

TEST_F(StartupTest, UsbWaitShowsEachDotAsItGoesAndCtrlCDoesNotShortenIt) {
    // Ctrl-C half-way through the fifth second of the wait, after four dots.
    const auto at = USB_WAIT_STARTS + 4500ms;
    board().set_nvram_byte(NVRAM_USB_BOOT, 213);
    RunOptions options;
    options.timed_keys = {{at, "\x03"}};
    boot(options);
    expect_failover(1, 2);
    ASSERT_EQ(current_run().console_at_stops().size(), 1u);
    const std::string& stopped = current_run().console_at_stops()[0];
    EXPECT_EQ(stopped.substr(stopped.find(USB_WAIT)), USB_WAIT + "....");
    // The terminal echoes the Ctrl-C where it was pressed.
    EXPECT_NE(console().find(USB_WAIT + "....^C......USB mount timed out\n"), std::string::npos)
        << console();
    // The second that Ctrl-C broke into still lasts a second.
    const uint64_t stop_ns = std::chrono::nanoseconds(at).count();
    auto waits = board().waits();
    size_t cut = 0;
    while (cut + 1 < waits.size() && waits[cut].at_ns + waits[cut].duration_ns != stop_ns)
        ++cut;
    ASSERT_LT(cut + 1, waits.size());
    EXPECT_EQ(waits[cut + 1].at_ns, stop_ns);
    EXPECT_EQ(waits[cut].duration_ns + waits[cut + 1].duration_ns, 1000000000u);
}

TEST_F(StartupTest, UsbBootFindsAStickAlreadyMounted) {
    board().set_nvram_byte(NVRAM_USB_BOOT, 213);
    vswitch().set_usb_stick(true);
    boot();
    ASSERT_TRUE(expect_console(USB_WAIT + "USB mounted and ready!\n"));
    expect_failover(1, 2);
}

TEST_F(StartupTest, BootOptionsFromAnEnvironmentWithSeveralVariables) {
    vswitch().set_bootloader_env({"baudrate=9600", "bootcmd=run flash_self", "gdbport=2345",
                                  "gdbserver=on", "shell=off", "ethaddr=00:11:22:33:44:55"});
    boot();
    // The management port is offered for the remote debugger before the
    // first attempt and not again before the fail-over; quitting it boots on.
    for (const auto& [prompt, keys] :
         {std::pair{"Confirm: Use DHCP for network configuration? y/N: ", "\r"},
          {"IP addr    :", "q\r"}}) {
        ASSERT_TRUE(expect_console(prompt));
        ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
        send_keys(keys);
    }
    ASSERT_TRUE(expect_console("Booting image '1'\n"));
    ASSERT_TRUE(expect_console("Booting image '2'\n"));
    expect_reboot();
    EXPECT_EQ(count(console(), "IP addr    :"), 1u);
}

TEST_F(StartupTest, RescueOptionReturnsToTheBootSequence) {
    vswitch().set_bootloader_env({"bootdelay=3", "diagnostics=rescue"});
    boot();
    ASSERT_TRUE(expect_console("\nOption? : "));
    ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
    send_keys("e"); // Exit
    expect_failover(1, 2);
    EXPECT_EQ(console().find("Management port"), std::string::npos);
}

TEST_F(StartupTest, WithoutI2cBusZeroTheBootGoesOnWithZeros) {
    board().fail_i2c_open(0);
    board().set_nvram_byte(NVRAM_BOOT_SLOT, 2);
    board().set_nvram_byte(NVRAM_USB_BOOT, 213);
    boot();
    ASSERT_TRUE(expect_console("ERROR: driver /dev/i2c-0 couldn't be opened\n"));
    // Every NVRAM and RTC read fails: the clock command runs with zeros, the
    // slot reads 0 (slot 1 first) and USB boot stays off.
    expect_failover(1, 2);
    EXPECT_EQ(shell_commands().front(), "date 000000002000.00\n");
    EXPECT_EQ(console().find("ERROR: driver /dev/i2c-1"), std::string::npos);
    EXPECT_EQ(console().find("Attempting to mount"), std::string::npos);
}

TEST_F(StartupTest, RebootThatCannotBeStartedIsReportedOnStandardError) {
    // With SIGCHLD ignored no command's status can be collected: system()
    // reports -1, as when the command could not be run at all.
    vswitch().set_sigchld_ignored(true);
    RunOptions options;
    options.stderr_to_file = true;
    boot(options);
    // The filesystem check cannot tell a tool that did not run from one that
    // failed: it asks to recreate /user, and no keeps it.
    ASSERT_TRUE(expect_console("Any data will be lost y/N: "));
    ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
    send_keys("n");
    ASSERT_TRUE(expect_console("Booting image '2'\n"));
    Outcome outcome = wait_for_end();
    EXPECT_EQ(outcome.ending, Ending::exited);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(read_file(vswitch().dir() + "/stderr.log"), REBOOT_FAILED);
    EXPECT_EQ(console().find(REBOOT_FAILED), std::string::npos);
    EXPECT_EQ(shell_commands().back(), "reboot");
}

TEST_F(StartupTest, MissingRebootToolIsNotMistakenForAFailedStart) {
    // The shell starts and reports "not found" (status 127): the command ran,
    // so there is no power-cycle message; the boot manager still exits 0.
    vswitch().remove_tool("reboot");
    RunOptions options;
    options.stderr_to_file = true;
    boot(options);
    Outcome outcome = wait_for_end();
    EXPECT_EQ(outcome.ending, Ending::exited);
    EXPECT_EQ(outcome.code, 0);
    std::string errors = read_file(vswitch().dir() + "/stderr.log");
    EXPECT_NE(errors.find("reboot: command not found"), std::string::npos) << errors;
    EXPECT_EQ(errors.find(REBOOT_FAILED), std::string::npos);
}

TEST_F(StartupTest, RealDateCannotSetTheHostClock) {
    // The real date binary, asked for a time years away from now.
    vswitch().use_real_tool("date");
    board().set_rtc({0x00, 0x00, 0x12, 0x01, 0x01, 0x01, 0x37});
    vswitch().set_tool_effect("reboot", "grep CapBnd /proc/self/status > /.vswitch/board/capbnd");
    timespec wall_before{}, steady_before{};
    ::clock_gettime(CLOCK_REALTIME, &wall_before);
    ::clock_gettime(CLOCK_MONOTONIC, &steady_before);
    boot();
    ASSERT_TRUE(expect_console("date: cannot set date: Operation not permitted\n"));
    expect_reboot();
    timespec wall_after{}, steady_after{};
    ::clock_gettime(CLOCK_REALTIME, &wall_after);
    ::clock_gettime(CLOCK_MONOTONIC, &steady_after);
    long long wall = wall_after.tv_sec - wall_before.tv_sec;
    long long steady = steady_after.tv_sec - steady_before.tv_sec;
    EXPECT_LE(std::llabs(wall - steady), 2) << "the host clock moved";

    std::string bounding = read_file(vswitch().dir() + "/capbnd");
    ASSERT_EQ(bounding.rfind("CapBnd:", 0), 0u) << bounding;
    unsigned long long bits = std::stoull(bounding.substr(7), nullptr, 16);
    EXPECT_EQ(bits & ((1ULL << 16) | (1ULL << 22) | (1ULL << 25)), 0u);
}

} // namespace
} // namespace vswitch
