// The security operations on the virtual switch: a driver program runs them
// in the sandbox, on the simulated board, with the console on a terminal.
// Seen from outside: the console, the LED register writes, the flash
// partition, the commands and the files on /user.
#include <gtest/gtest.h>

#include <termios.h>

#include <algorithm>
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
const std::string CORRECT =
    "Correct. Physical presence established and low security mode enabled\n";
const std::string OVERRIDE_NOTE = "NOTE: Uboot low security mode override enabled\n";
const std::string MARKER = "[marker 9 wumbrelo\n]\n";
const std::string NO_MARKER = "[no marker]\n";

constexpr uint8_t LED_START = 0xA6; // the board's other six bits must survive
constexpr uint8_t LED_OFF = 0xA4;
constexpr uint8_t LED_ON = 0xA5;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class SecurityScenario : public VirtualSwitchTest {
  protected:
    void run(std::vector<std::string> args) { boot_program(SECURITY_SCENARIO, std::move(args)); }

    // Types keys once the program reads the console key by key (raw), as an
    // operator answering the prompt does; typed earlier, the terminal itself
    // would echo them.
    void type(const std::string& keys) {
        for (int i = 0; i < 500; ++i) {
            termios mode{};
            if (::tcgetattr(current_run().console_fd(), &mode) == 0 && !(mode.c_lflag & ICANON))
                break;
            std::this_thread::sleep_for(10ms);
        }
        send_keys(keys);
    }

    void set_rtc_seconds(uint8_t bcd) {
        RtcRegisters rtc = board().rtc();
        rtc[0] = bcd;
        board().set_rtc(rtc);
    }

    std::vector<uint8_t> led_values() const {
        std::vector<uint8_t> values;
        for (const auto& write : vswitch_().board().led_writes()) {
            EXPECT_EQ(write.reg, 2);
            values.push_back(write.value);
        }
        return values;
    }
    const VirtualSwitch& vswitch_() const { return const_cast<SecurityScenario*>(this)->vswitch(); }

    // One attempt's LED writes: off before the prompt, then for each of the
    // eleven (or more) cycles a first write (on while blinking) and an off.
    static std::vector<uint8_t> attempt_writes(int blinks) {
        std::vector<uint8_t> values{LED_OFF};
        for (int i = 0; i < std::max(blinks, 11); ++i) {
            values.push_back(i < blinks ? LED_ON : LED_OFF);
            values.push_back(LED_OFF);
        }
        return values;
    }

    // Answers the first two questions and waits for the count question.
    void start_test() {
        ASSERT_TRUE(expect_console(CONTINUE));
        type("y");
        ASSERT_TRUE(expect_console("y\n" + HIT_A_KEY));
        type(" ");
        ASSERT_TRUE(expect_console(" \n"));
        ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    }

    void expect_exit() {
        Outcome outcome = wait_for_end();
        EXPECT_EQ(outcome.ending, Ending::exited) << console();
        EXPECT_EQ(outcome.code, 0);
    }
};

struct BlinkCase {
    uint8_t seconds;
    int blinks;
    std::string answer;
    std::string echo; // the answer line holds at most 7 characters
};

void PrintTo(const BlinkCase& c, std::ostream* os) {
    *os << "seconds register " << static_cast<int>(c.seconds) << ", answer " << c.answer;
}

class PresenceBlinks : public SecurityScenario, public ::testing::WithParamInterface<BlinkCase> {};

TEST_P(PresenceBlinks, CountFromTheRtcSecondsAndTheRightAnswerEnablesTheMode) {
    const BlinkCase& c = GetParam();
    set_rtc_seconds(c.seconds);
    board().set_led_register(2, LED_START);
    run({"presence"});
    start_test();
    const std::string dots(static_cast<size_t>(std::max(c.blinks, 11)), '.');
    EXPECT_NE(console().find(" \n" + dots + HOW_MANY), std::string::npos) << console();
    EXPECT_EQ(led_values(), attempt_writes(c.blinks));
    // Two seconds a cycle, and 100 ms after every LED write.
    const uint64_t cycles = static_cast<uint64_t>(std::max(c.blinks, 11));
    EXPECT_GE(virtual_ms(), cycles * 2000 + (2 * cycles + 1) * 100);

    type(c.answer + "\r");
    ASSERT_TRUE(expect_console(c.echo + "\n" + CORRECT + "\n[result 1]\n" + MARKER));
    expect_exit();
    EXPECT_EQ(board().led_register(2), LED_OFF);
}

INSTANTIATE_TEST_SUITE_P(Seconds, PresenceBlinks,
                         ::testing::Values(BlinkCase{0x00, 1, "1", "1"},
                                           BlinkCase{0x37, 10, "10", "10"},
                                           BlinkCase{0x59, 14, "14 blinks", "14 blin\a\a"}),
                         [](const auto& info) {
                             return "seconds" + std::to_string(info.param.seconds >> 4) +
                                    std::to_string(info.param.seconds & 0x0F);
                         });

TEST_F(SecurityScenario, ThreeWrongAnswersResetTheBoard) {
    set_rtc_seconds(0x37);
    run({"presence"});
    start_test();
    type("9\r");
    ASSERT_TRUE(expect_console("9\nIncorrect. Try again (attempt 1 of 3)\n" + HIT_A_KEY));
    type("x");
    ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    type("\r");
    ASSERT_TRUE(expect_console("\nIncorrect. Try again (attempt 2 of 3)\n" + HIT_A_KEY));
    type("x");
    ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    type("1O\r");
    ASSERT_TRUE(expect_console("Incorrect. Try again (attempt 3 of 3)\n"
                               "Maximum number of test failed. Board is resetting\n"));
    expect_exit();
    EXPECT_EQ(shell_commands().back(), "reboot");
    EXPECT_EQ(count(console(), "[result"), 0u) << console();
    EXPECT_EQ(led_values().size(), 3 * attempt_writes(10).size());
}

TEST_F(SecurityScenario, CtrlCDuringTheBlinkingAbandonsTheTest) {
    set_rtc_seconds(0x59);
    board().set_led_register(2, LED_START);
    run({"presence"});
    ASSERT_TRUE(expect_console(CONTINUE));
    type("Y");
    ASSERT_TRUE(expect_console(HIT_A_KEY));
    type("\r");
    ASSERT_TRUE(expect_console("..."));
    send_keys("\x03");
    ASSERT_TRUE(expect_console("\n[result 0]\n" + NO_MARKER));
    expect_exit();
    EXPECT_EQ(count(console(), HOW_MANY), 0u);
    EXPECT_LT(count(console(), "."), 14u);
}

TEST_F(SecurityScenario, CtrlCAtTheLastAnswerAbandonsTheTestWithoutAReset) {
    set_rtc_seconds(0x00);
    run({"presence"});
    start_test();
    type("5\r");
    ASSERT_TRUE(expect_console(HIT_A_KEY));
    type("x");
    ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    type("5\r");
    ASSERT_TRUE(expect_console(HIT_A_KEY));
    type("x");
    ASSERT_TRUE(expect_console(HOW_MANY, 30s));
    type("\x03");
    ASSERT_TRUE(expect_console("^C\n\n[result 0]\n" + NO_MARKER));
    expect_exit();
    for (const auto& command : shell_commands())
        EXPECT_NE(command, "reboot");
}

TEST_F(SecurityScenario, AnythingButYLeavesTheTestAtOnce) {
    run({"presence"});
    ASSERT_TRUE(expect_console(CONTINUE));
    type("\r");
    ASSERT_TRUE(expect_console("\n\n[result 0]\n" + NO_MARKER));
    expect_exit();
    EXPECT_TRUE(led_values().empty());
}

TEST_F(SecurityScenario, InLowSecurityModeTheTestOffersToLeaveIt) {
    run({"presence", "--marker"});
    ASSERT_TRUE(expect_console("Switch is in low security mode. Confirm disabling Y/n? "));
    type("n");
    ASSERT_TRUE(expect_console("n\n\n[result 1]\n" + MARKER));
    expect_exit();

    run({"presence", "--marker"});
    ASSERT_TRUE(expect_console("Confirm disabling Y/n? "));
    type("\r");
    ASSERT_TRUE(expect_console("\n\n[result 1]\n" + NO_MARKER));
    expect_exit();
    EXPECT_TRUE(led_values().empty());
}

TEST_F(SecurityScenario, OverrideKeepsTheModeWhenTheMarkerGoes) {
    vswitch().set_bootloader_env({"lowsec=on"});
    run({"presence", "--marker"});
    ASSERT_TRUE(
        expect_console(OVERRIDE_NOTE + "Switch is in low security mode. Confirm disabling Y/n? "));
    type("Y");
    ASSERT_TRUE(expect_console("Y\n\n[result 1]\n" + NO_MARKER));
    expect_exit();
}

TEST_F(SecurityScenario, WipeWithoutYChangesNothing) {
    vswitch().write_user_file("production_key.pub.pem", "p");
    board().set_flash(Partition::siskeys, 0, std::vector<uint8_t>(64, 0x42));
    run({"wipe"});
    ASSERT_TRUE(expect_console("Confirm: wiping system keys y/N: "));
    type("n");
    ASSERT_TRUE(expect_console("\n[result 1]\n"));
    expect_exit();
    // The key is not echoed.
    EXPECT_EQ(console().rfind("Confirm: wiping system keys y/N: \n\n[result 1]\n", 0), 0u)
        << testing::PrintToString(console());
    EXPECT_TRUE(shell_commands().empty());
    EXPECT_TRUE(vswitch().read_user_file("production_key.pub.pem").has_value());
    EXPECT_EQ(board().flash(Partition::siskeys, 0, 64), std::vector<uint8_t>(64, 0x42));
    for (const auto& event : board().flash_log())
        EXPECT_NE(event.kind, FlashEvent::erase);
}

TEST_F(SecurityScenario, WipeWithYRemovesTheKeyFilesAndErasesTheKeyPartition) {
    for (const char* name : {"production_key.pub.pem", "development_key.pub.pem", "other.pem"})
        vswitch().write_user_file(name, "key");
    vswitch().write_user_file("install.log", "kept");
    const uint32_t size = board().geometry(Partition::siskeys).size;
    board().set_flash(Partition::siskeys, 0, std::vector<uint8_t>(size, 0x42));
    run({"wipe"});
    ASSERT_TRUE(expect_console("Confirm: wiping system keys y/N: "));
    type("Y");
    ASSERT_TRUE(expect_console(
        "\nSystem keys have been deleted. Reset the switch to complete the operation\n"
        "\n[result 1]\n"));
    expect_exit();
    EXPECT_EQ(shell_commands(), std::vector<std::string>{"rm /user/*.pem"});
    for (const char* name : {"production_key.pub.pem", "development_key.pub.pem", "other.pem"})
        EXPECT_FALSE(vswitch().read_user_file(name).has_value()) << name;
    EXPECT_EQ(vswitch().read_user_file("install.log"), "kept");

    const uint32_t erased = std::min<uint32_t>(size, 0x20000);
    EXPECT_EQ(board().flash(Partition::siskeys, 0, erased), std::vector<uint8_t>(erased, 0xFF));
    if (size > erased) {
        EXPECT_EQ(board().flash(Partition::siskeys, erased, size - erased),
                  std::vector<uint8_t>(size - erased, 0x42));
    }
    bool erase_seen = false;
    for (const auto& event : board().flash_log())
        if (event.kind == FlashEvent::erase && event.partition == Partition::siskeys) {
            erase_seen = true;
            EXPECT_TRUE(event.ok);
            EXPECT_LT(event.offset, 0x20000u);
        }
    EXPECT_TRUE(erase_seen);
}

TEST_F(SecurityScenario, AskYesNoTimesOutAfterFiveSeconds) {
    run({"ask"});
    ASSERT_TRUE(expect_console("Load it? (y/n) "));
    ASSERT_TRUE(expect_console("\nTimeout. Assuming \"no\".\n\n[result 0]\n"));
    expect_exit();
    EXPECT_EQ(count(console(), "(y/n) "), 1u);
    EXPECT_GE(virtual_ms(), 5000u);
    EXPECT_LT(virtual_ms(), 6000u);
}

TEST_F(SecurityScenario, AskYesNoPromptsAgainForXAndEnter) {
    run({"ask"});
    ASSERT_TRUE(expect_console("Load it? (y/n) "));
    send_keys("x\r");
    ASSERT_TRUE(expect_console("(y/n) (y/n) "));
    ASSERT_TRUE(expect_console("\nTimeout. Assuming \"no\".\n\n[result 0]\n"));
    expect_exit();
    EXPECT_EQ(count(console(), "(y/n) "), 3u);
}

TEST_F(SecurityScenario, KeyFilesFollowTheBoardKeyMaterial) {
    // A board with key material: the files are created once, enciphered.
    board().set_nvram(0x000D, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    run({"keys"});
    ASSERT_TRUE(expect_console("Creating system key....\nCreating system development key....\n"
                               "\n[result 1]\n"));
    expect_exit();
    auto production = vswitch().read_user_file("production_key.pub.pem");
    ASSERT_TRUE(production.has_value());
    EXPECT_EQ(production->size(), 464u);
    EXPECT_EQ(production->find("PUBLIC KEY"), std::string::npos);
    EXPECT_EQ(vswitch().read_user_file("development_key.pub.pem")->size(), 464u);

    run({"keys"});
    ASSERT_TRUE(expect_console("\n[result 1]\n"));
    expect_exit();
    EXPECT_EQ(console().find("Creating"), std::string::npos) << console();
    EXPECT_EQ(vswitch().read_user_file("production_key.pub.pem"), production);

    // Another board key: the files no longer decipher to the keys.
    board().set_nvram(0x000D, {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9});
    run({"keys"});
    ASSERT_TRUE(expect_console("\n[result 1]\n"));
    expect_exit();
    EXPECT_NE(console().find("Updating system key....\n"), std::string::npos) << console();
    EXPECT_NE(console().find("Updating system development key....\n"), std::string::npos);
    EXPECT_NE(vswitch().read_user_file("production_key.pub.pem"), production);
}

TEST_F(SecurityScenario, BoardWithoutKeyMaterialUsesTheCompiledKeys) {
    board().set_nvram(0x000D, std::vector<uint8_t>(12, 0));
    for (int run_number = 0; run_number < 2; ++run_number) {
        run({"keys"});
        ASSERT_TRUE(
            expect_console("Creating system key\nCreating system development key\n\n[result 1]\n"));
        expect_exit();
    }
    EXPECT_FALSE(vswitch().read_user_file("production_key.pub.pem").has_value());
    EXPECT_FALSE(vswitch().read_user_file("development_key.pub.pem").has_value());
}

} // namespace
} // namespace vswitch
