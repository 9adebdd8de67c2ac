// The security operations on the virtual switch, run by a driver program in
// its sandbox: the presence test on the console terminal with the LED device,
// the marker file and the reset; the key wipe on /user and in flash; a
// question that times out in board time.
#include <gtest/gtest.h>

#include <termios.h>

#include <string>
#include <thread>
#include <vector>

#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

const std::string CONTINUE = "WARNING: the following test is used to determine physical presence "
                             "and if completed will put the switch in low security mode.\nDo you "
                             "wish to continue y/N? ";
const std::string HIT_A_KEY =
    "Hit a key to start the test. The blue location LED will blink a number of times.";
const std::string HOW_MANY = "\nHow many times did the LED blink? ";
const std::string MARKER = "[marker 9 wumbrelo\n]\n";
const std::string NO_MARKER = "[no marker]\n";

constexpr uint8_t LED_START = 0xA6; // the board's other six bits must survive
constexpr uint8_t LED_OFF = 0xA4;
constexpr uint8_t LED_ON = 0xA5;

class SecurityScenario : public VirtualSwitchTest {
  protected:
    void run(std::vector<std::string> args) { boot_program(SECURITY_SCENARIO, std::move(args)); }

    // Types keys once the program reads the console raw, as an operator
    // answering the prompt does; typed earlier, the terminal would echo them.
    void type(const std::string& keys) {
        for (int i = 0; i < 500; ++i) {
            termios mode{};
            if (::tcgetattr(current_run().console_fd(), &mode) == 0 && !(mode.c_lflag & ICANON))
                break;
            std::this_thread::sleep_for(10ms);
        }
        send_keys(keys);
    }
    void expect_exit() {
        Outcome outcome = wait_for_end();
        EXPECT_EQ(outcome.ending, Ending::exited) << console();
        EXPECT_EQ(outcome.code, 0);
    }

    // Starts the presence test with the RTC seconds register at seconds and
    // answers up to the first blink.
    void start_presence(uint8_t seconds) {
        RtcRegisters rtc = board().rtc();
        rtc[0] = seconds;
        board().set_rtc(rtc);
        board().set_led_register(2, LED_START);
        run({"presence"});
        ASSERT_TRUE(expect_console(CONTINUE));
        type("y");
        ASSERT_TRUE(expect_console("y\n" + HIT_A_KEY));
        type(" ");
    }
    // Another attempt after a wrong answer.
    void next_attempt(int attempt) {
        ASSERT_TRUE(expect_console("Incorrect. Try again (attempt " + std::to_string(attempt) +
                                   " of 3)\n" + HIT_A_KEY));
        type("x");
        ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    }

    std::vector<uint8_t> led_values() {
        std::vector<uint8_t> values;
        for (const auto& write : board().led_writes()) {
            EXPECT_EQ(write.reg, 2);
            values.push_back(write.value);
        }
        return values;
    }
};

TEST_F(SecurityScenario, RightCountEnablesTheMode) {
    start_presence(0x37); // 3 + 7 = 10 blinks in 11 cycles
    ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    EXPECT_NE(console().find(" \n" + std::string(11, '.') + HOW_MANY), std::string::npos)
        << console();
    // Off before the prompt, on and off for each blink, off twice to pad.
    std::vector<uint8_t> writes{LED_OFF};
    for (int i = 0; i < 10; ++i)
        writes.insert(writes.end(), {LED_ON, LED_OFF});
    writes.insert(writes.end(), {LED_OFF, LED_OFF});
    EXPECT_EQ(led_values(), writes);
    // Two seconds a cycle, and 100 ms after every LED write.
    EXPECT_GE(virtual_ms(), 11 * 2000u + 23 * 100u);

    type("10 blinks\r"); // seven characters fit the line; its leading number counts
    ASSERT_TRUE(expect_console("10 blin\a\a\nCorrect. Physical presence established and low "
                               "security mode enabled\n\n[result 1]\n" +
                               MARKER));
    expect_exit();
    EXPECT_EQ(board().led_register(2), LED_OFF);
}

TEST_F(SecurityScenario, ThreeWrongAnswersResetTheBoard) {
    start_presence(0x37);
    ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    type("9\r");
    next_attempt(1);
    type("\r");
    next_attempt(2);
    type("1O\r");
    ASSERT_TRUE(expect_console("Incorrect. Try again (attempt 3 of 3)\n"
                               "Maximum number of test failed. Board is resetting\n"));
    expect_exit();
    EXPECT_EQ(shell_commands().back(), "reboot");
    EXPECT_EQ(console().find("[result"), std::string::npos) << console();
    EXPECT_EQ(led_values().size(), 3 * 23u);
}

TEST_F(SecurityScenario, NoYesOrCtrlCLeavesTheModeOff) {
    run({"presence"});
    ASSERT_TRUE(expect_console(CONTINUE));
    type("\r");
    ASSERT_TRUE(expect_console("\n\n[result 0]\n" + NO_MARKER));
    expect_exit();

    start_presence(0x59);
    ASSERT_TRUE(expect_console("..."));
    send_keys("\x03");
    ASSERT_TRUE(expect_console("\n[result 0]\n" + NO_MARKER));
    expect_exit();
    EXPECT_EQ(console().find(HOW_MANY), std::string::npos);

    // At the answer, on any attempt, without a reset.
    start_presence(0x00);
    ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    type("\x03");
    ASSERT_TRUE(expect_console("^C\n\n[result 0]\n" + NO_MARKER));
    expect_exit();
    EXPECT_TRUE(shell_commands().empty());
}

TEST_F(SecurityScenario, InLowSecurityModeTheTestOffersToLeaveIt) {
    const struct {
        const char* key;
        std::string printed;
    } rows[] = {{"n", "n\n\n[result 1]\n" + MARKER}, {"\r", "\n\n[result 1]\n" + NO_MARKER}};
    for (const auto& row : rows) {
        run({"presence", "--marker"});
        ASSERT_TRUE(expect_console("Switch is in low security mode. Confirm disabling Y/n? "));
        type(row.key);
        ASSERT_TRUE(expect_console(row.printed));
        expect_exit();
    }
    EXPECT_TRUE(led_values().empty());
}

TEST_F(SecurityScenario, WipeRemovesTheKeyFilesAndErasesTheKeyPartitionOnlyAfterY) {
    for (const char* name : {"production_key.pub.pem", "development_key.pub.pem"})
        vswitch().write_user_file(name, "key");
    vswitch().write_user_file("install.log", "kept");
    const uint32_t size = board().geometry(Partition::siskeys).size; // 128 KiB
    board().set_flash(Partition::siskeys, 0, std::vector<uint8_t>(size, 0x42));
    run({"wipe"});
    ASSERT_TRUE(expect_console("Confirm: wiping system keys y/N: "));
    type("n");
    expect_exit();
    // The key is not echoed.
    EXPECT_EQ(console(), "Confirm: wiping system keys y/N: \n\n[result 1]\n" + NO_MARKER);
    EXPECT_TRUE(shell_commands().empty());
    EXPECT_EQ(board().flash(Partition::siskeys, 0, size), std::vector<uint8_t>(size, 0x42));

    run({"wipe"});
    ASSERT_TRUE(expect_console("Confirm: wiping system keys y/N: "));
    type("Y");
    ASSERT_TRUE(expect_console(
        "\nSystem keys have been deleted. Reset the switch to complete the operation\n"));
    expect_exit();
    EXPECT_EQ(shell_commands(), std::vector<std::string>{"rm /user/*.pem"});
    EXPECT_FALSE(vswitch().read_user_file("production_key.pub.pem").has_value());
    EXPECT_FALSE(vswitch().read_user_file("development_key.pub.pem").has_value());
    EXPECT_EQ(vswitch().read_user_file("install.log"), "kept");
    EXPECT_EQ(board().flash(Partition::siskeys, 0, size), std::vector<uint8_t>(size, 0xFF));
}

TEST_F(SecurityScenario, AskYesNoTimesOutAfterFiveSeconds) {
    run({"ask"});
    ASSERT_TRUE(expect_console("Load it? (y/n) \nTimeout. Assuming \"no\".\n\n[result 0]\n"));
    expect_exit();
    EXPECT_GE(virtual_ms(), 5000u);
    EXPECT_LT(virtual_ms(), 6000u);
}

TEST_F(SecurityScenario, CtrlCAtAPromptIsAnsweredAtOnce) {
    // Ctrl-C 50 ms into the first tenth-of-a-second console read of the prompt.
    RunOptions options;
    options.program = SECURITY_SCENARIO;
    options.args = {"presence"};
    options.timed_keys = {{50ms, "\x03"}};
    boot(options);
    expect_exit();
    EXPECT_EQ(console(), CONTINUE + std::string("\0\n", 2) + "\n[result 0]\n" + NO_MARKER);
    // The interrupted read ends there instead of running on to its time-out.
    EXPECT_EQ(virtual_ms(), 50u);
}

} // namespace
} // namespace vswitch
