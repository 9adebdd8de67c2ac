// The security operations on the virtual switch, run by a driver program in
// its sandbox: what needs the real terminal (Ctrl-C), the reset, /user and
// flash, board time, and images made by the image tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

// clang-format off
const std::string CONTINUE = "WARNING: the following test is used to determine physical presence and if completed will put the switch in low security mode.\nDo you wish to continue y/N? ";
const std::string HIT_A_KEY = "Hit a key to start the test. The blue location LED will blink a number of times.";
// clang-format on
const std::string HOW_MANY = "\nHow many times did the LED blink? ";
const std::string CONFIRM_WIPE = "Confirm: wiping system keys y/N: ";

class SecurityScenario : public VirtualSwitchTest {
  protected:
    void run(std::vector<std::string> args) { boot_program(SECURITY_SCENARIO, std::move(args)); }
    // Waits for the text, then types the keys once the program reads the
    // console raw, as an operator does; typed earlier, the terminal would
    // echo them.
    void answer(const std::string& text, const std::string& keys) {
        ASSERT_TRUE(expect_console(text, 30s));
        ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
        send_keys(keys);
    }
    void expect_exit(const std::string& last) {
        ASSERT_TRUE(expect_console(last));
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
    }
};

// Ctrl-C ends the test without a reset and at once; three wrong answers reset
// the board.
TEST_F(SecurityScenario, PresenceTestEndings) {
    // 50 ms into the first tenth-of-a-second console read of the prompt.
    RunOptions options;
    options.program = SECURITY_SCENARIO;
    options.args = {"presence"};
    options.timed_keys = {{50ms, "\x03"}};
    boot(options);
    expect_exit("\n[result 0]\n");
    EXPECT_EQ(console(), CONTINUE + std::string("\0\n", 2) + "\n[result 0]\n");
    EXPECT_EQ(virtual_ms(), 50u); // not run on to its time-out

    run({"presence"}); // while the LED blinks
    answer(CONTINUE, "y");
    answer(HIT_A_KEY, " ");
    ASSERT_TRUE(expect_console("..."));
    send_keys("\x03");
    expect_exit("\n[result 0]\n");
    EXPECT_EQ(console().find(HOW_MANY), std::string::npos);

    run({"presence"}); // at the answer
    answer(CONTINUE, "y");
    answer(HIT_A_KEY, " ");
    answer(HOW_MANY, "\x03");
    expect_exit("^C\n\n[result 0]\n");
    EXPECT_TRUE(shell_commands().empty());

    run({"presence"});
    answer(CONTINUE, "y");
    for (const char* wrong : {"99\r", "\r", "15\r"}) { // 1 to 14 blinks
        answer(HIT_A_KEY, " ");
        answer(HOW_MANY, wrong);
    }
    expect_exit("Incorrect. Try again (attempt 3 of 3)\nMaximum number of test failed. Board is "
                "resetting\n");
    EXPECT_EQ(shell_commands(), std::vector<std::string>{"reboot"});
}

TEST_F(SecurityScenario, WipeRemovesTheKeyFilesAndErasesTheKeyPartition) {
    for (const char* name : {"production_key.pub.pem", "development_key.pub.pem", "kept.log"})
        vswitch().write_user_file(name, "key");
    const uint32_t size = board().geometry(Partition::siskeys).size; // 128 KiB
    board().set_flash(Partition::siskeys, 0, std::vector<uint8_t>(size, 0x42));
    run({"wipe"});
    answer(CONFIRM_WIPE, "n");
    expect_exit("[result 1]\n");
    EXPECT_TRUE(shell_commands().empty());
    EXPECT_EQ(board().flash(Partition::siskeys, 0, size), std::vector<uint8_t>(size, 0x42));
    run({"wipe"});
    answer(CONFIRM_WIPE, "Y");
    expect_exit("[result 1]\n");
    EXPECT_EQ(console(), CONFIRM_WIPE + "\nSystem keys have been deleted. Reset the switch to "
                                        "complete the operation\n\n[result 1]\n"); // no echo
    EXPECT_EQ(shell_commands(), std::vector<std::string>{"rm /user/*.pem"});
    EXPECT_EQ(vswitch().read_user_file("production_key.pub.pem"), std::nullopt);
    EXPECT_EQ(vswitch().read_user_file("kept.log"), "key");
    EXPECT_EQ(board().flash(Partition::siskeys, 0, size), std::vector<uint8_t>(size, 0xFF));
}

TEST_F(SecurityScenario, AskYesNoTimesOutAfterFiveSeconds) {
    run({"ask"});
    expect_exit("Load it? (y/n) \nTimeout. Assuming \"no\".\n\n[result 0]\n");
    EXPECT_EQ(virtual_ms() / 1000, 5u);
}

// An image from the image tool against the key files that the check creates
// on /user, enciphered under the board's NVRAM key, and the installed root
// filesystem in flash: unsigned, it marks developer images.
TEST_F(SecurityScenario, SignatureFromTheKeyFilesAndTheRootFilesystemInFlash) {
    if (!*PRODUCTION_SIGNING_KEY_FILE || !*DEVELOPMENT_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    const std::string dir = vswitch().user_dir();
    write_file(dir + "/payload", std::string(70000, 'p'));
    // clang-format off
    const auto make_image = [&](const std::string& out, const char* type, const char* key) {
        std::vector<std::string> argv = {SWIMAGE, "create", dir + out, "--payload", dir + "/payload", "--type", type, "--header-version", key ? "3" : "1"};
        if (key)
            argv.insert(argv.end(), {"--sign", key});
        EXPECT_TRUE(platform::command_succeeded(platform::run_program(argv)));
        return read_file(dir + out);
    };
    make_image("/test.img", "application", DEVELOPMENT_SIGNING_KEY_FILE);
    const std::string verdicts[] = {"Creating system key....\n\nNOTE - developer images operational. Checking developer keys....\nCreating system development key....\n Image signature verified. \n[result 1]\n", " Image rejected. \n[result 0]\n"};
    for (const char* rootfs_key : {static_cast<const char*>(nullptr), PRODUCTION_SIGNING_KEY_FILE}) {
        // clang-format on
        const std::string rootfs = make_image("/rootfs.img", "rootfs", rootfs_key);
        board().erase_flash(Partition::rfs);
        board().set_flash(Partition::rfs, 0, {rootfs.begin(), rootfs.end()});
        run({"verify", "/user/test.img"});
        expect_exit("[result");
        EXPECT_EQ(console(), verdicts[rootfs_key ? 1 : 0]);
    }
}

} // namespace
} // namespace vswitch
