// GoogleTest fixture for scenarios on the virtual switch.
//
//   TEST_F(VirtualSwitchTest, BootsSlotTwoFirst) {
//       board().set_nvram_byte(0x0100, 2);
//       boot();
//       EXPECT_TRUE(expect_console("Booting image '2'\n"));
//       EXPECT_EQ(wait_for_end().ending, vswitch::Ending::exited);
//       EXPECT_EQ(shell_commands().back(), "reboot");
//   }
//
// Each test gets a fresh switch in a temporary directory, removed afterwards
// (kept when the test failed and VSWITCH_KEEP is set, for a look by hand).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "testbed/run.h"
#include "testbed/virtual_switch.h"

namespace vswitch {

class VirtualSwitchTest : public ::testing::Test {
  protected:
    VirtualSwitchTest();
    ~VirtualSwitchTest() override;
    void SetUp() override; // skips when not root: namespaces and mounts need it

    VirtualSwitch& vswitch() { return vswitch_; }
    Board& board() { return vswitch_.board(); }

    // Powers the switch on; a run still going is stopped first. What earlier
    // runs recorded (tools, commands, waits) is forgotten; state stays.
    void boot(RunOptions options = {});
    // Powers on with another program than the boot manager in its place.
    void boot_program(const std::string& program, std::vector<std::string> args);
    BootRun& current_run();
    // Under virtual time every sleep of the program also takes this many real
    // milliseconds per second slept, so that what happens outside it meanwhile
    // (a link the kernel reports up a moment after the port came up) has
    // happened when it looks, as on the board.
    void set_real_ms_per_second(unsigned ms) { real_ms_per_second_ = ms; }

    // Waits for text in the console output after what earlier expectations
    // matched; fails with the transcript when it does not come.
    ::testing::AssertionResult
    expect_console(const std::string& text,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void send_keys(const std::string& keys);
    // Waits for the run to end; the console must stay silent for `silence`
    // before the run counts as stuck.
    Outcome wait_for_end(std::chrono::milliseconds limit = std::chrono::seconds(30),
                         std::chrono::milliseconds silence = std::chrono::seconds(5));

    // The whole console transcript so far.
    std::string console() const;
    // The command lines the program gave the shell (system()), in order.
    std::vector<std::string> shell_commands() const;
    // Every command the program started, as "kind: args..." lines.
    std::vector<CommandRecord> commands() const { return vswitch_.board().commands(); }
    std::vector<ToolCall> tool_calls() const { return vswitch_.tool_calls(); }
    // Board time the program spent waiting, in milliseconds.
    uint64_t virtual_ms() const { return vswitch_.board().clock_ns() / 1000000; }

  private:
    std::string dir_;
    VirtualSwitch vswitch_;
    std::unique_ptr<BootRun> run_;
    unsigned real_ms_per_second_ = 0;
};

// Boot-manager NVRAM offsets the scenarios set.
constexpr uint16_t NVRAM_BOOT_SLOT = 0x0100;
constexpr uint16_t NVRAM_OS_MODE = 0x0138;
constexpr uint16_t NVRAM_TESK_BOOT_SLOT = 0x0139;
constexpr uint16_t NVRAM_RUNNING_IMAGE = 0x013A;
constexpr uint16_t NVRAM_USB_BOOT = 0x013B;

} // namespace vswitch
