// The rescue operations on the virtual switch: the menu as start-up enters it
// (terminal, Ctrl-C, shell, reboot), and, run by a driver program in its
// sandbox, the /user check and repartitioning with real e2fsprogs on an ext3
// image, and the security operations (Ctrl-C, the reset, key files and flash,
// board time).
#include "testbed/console_scenario.h"

namespace vswitch {

using namespace std::chrono_literals;

// clang-format off
const std::string LIST = "Please select one of the following options:\n\tT) Configure networking and tftp download an image\n\tU) Install image from USB stick\n\tP) Physical presence test (low security mode)\n\tF) Run filesystem check\n\tI) Select which image to boot\n\tC) Reset configuration to factory default\n\tR) Reboot\n\tE) Exit\n\nOption? : ";
const std::string OK = "Filesystem OK - no action required\n[result 1]\n", UPDATE = "Filesystem partitions need updating.\nIt is recommended to backup your configuration before performing this update.\nConfirm: update filesystem y/N: \n";
const std::string BACKUP = "\tBacking up Arvo files. This can take a few minutes\n", RESTORE = "\tRestoring Arvo filesystem with backup. This can take a few minutes\n";
const std::string REPAIR = "*** Your filesystem has errors. Attempting to recover but data may be lost.***\n", REMADE = "\tCreating new filesystem partitions\n\tReformatting Arvo partition\n\tVerifying Arvo partition\n\tReformatting Tesk config partition\n\tVerifying Tesk config partition\n";
const std::string FILES = "52eaf68fadf470e9c993efb54a26ba35  .keep\n236116c7d9ffac500c37a70125ffe302  images/image1\n";
const std::string FILL = "mount /dev/mmcblk0p1 /user && echo x > /user/scrap && mkdir /user/images && printf 'a\\0\\377b' > /user/images/image1 && echo hidden > /user/.keep && umount /user";
const std::string CONTINUE = "WARNING: the following test is used to determine physical presence and if completed will put the switch in low security mode.\nDo you wish to continue y/N? ";
const std::string HIT_A_KEY = "Hit a key to start the test. The blue location LED will blink a number of times.";
const std::string HOW_MANY = "\nHow many times did the LED blink? ", CONFIRM_WIPE = "Confirm: wiping system keys y/N: ";
// clang-format on

class RescueScenario : public ConsoleScenarioTest {
  protected:
    void run(std::vector<std::string> args) { boot_program(RESCUE_SCENARIO, std::move(args)); }
    void expect_exit(const std::string& last) {
        ASSERT_TRUE(expect_console(last));
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
    }
};

// Entered from start-up in Tesk mode: a key of the other mode, Ctrl-C at the
// prompt and inside an action, hidden keys, the check, Exit through the shell
// the boot option asks for; then Reboot in Arvo mode, a second after the key.
TEST_F(RescueScenario, MenuFromStartUp) {
    vswitch().set_bootloader_env({"diagnostics=rescue", "shell=on"});
    board().set_nvram_byte(NVRAM_OS_MODE, 'C');
    vswitch().write_user_file("odmdiags/uImage", "diags");
    boot();
    answer("Entering Rescue Mode.\n" + LIST, "x");
    answer("x\n" + LIST, "\x03");
    answer(std::string("\0\n\nOption? : ", 12), "c");
    answer("c\nConfirm resetting the configuration to factory default: y/N? ", "\x03");
    answer(std::string("\0\n", 2) + LIST, "\x01");
    answer("\x01\nWiping ODM diags from system...Done\n" + LIST, "f");
    answer("f\nFilesystem OK - no action required\n" + LIST, "e");
    send_keys("echo in-shell; exit\n");
    ASSERT_TRUE(expect_console("in-shell\n"));
    EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
    board().set_nvram_byte(NVRAM_OS_MODE, 'E');
    boot();
    answer("\nOption? : ", "R");
    EXPECT_EQ(wait_for_end().ending, Ending::exited);
    // A second's sleep before the reboot's own wait.
    EXPECT_EQ(board().waits().at(board().waits().size() - 2).duration_ns, 1000000000u);
}

// In order on one ext3 /user, new layout: damaged so that "e2fsck -p" refuses
// and "-fy" repairs it (no report asked for), beyond repair (declined, then
// recreated); old layout: no answer within 10 s, a backup that cannot be
// written, the files kept across new partitions and across a failed Tesk
// format.
TEST_F(RescueScenario, StorageMaintenanceKeepsTheFiles) {
    ASSERT_TRUE(vswitch().use_ext3_user());
    for (const char* tool : {"mount", "umount", "e2fsck", "mkfs.ext3"})
        vswitch().use_real_tool(tool);
    // No whole eMMC in the sandbox: sfdisk keeps its input and makes
    // partition 4 a plain file, as the new layout would.
    vswitch().set_tool_effect("sfdisk", "cat > /.vswitch/board/seen; dd if=/dev/zero "
                                        "of=/dev/mmcblk0p4 bs=1M count=8");
    // The first file's first block past the end, with the filesystem marked
    // as having errors: from the inode table's block and the inode size.
    const std::string image = read_file(vswitch().user_image());
    const auto u16 = [&](size_t at) { return uint8_t(image[at]) | uint8_t(image[at + 1]) << 8; };
    const uint64_t block = u16(4096 + 8) * 4096ULL + 11 * u16(1024 + 88) + 40;
    const std::string DD = " conv=notrunc status=none of=/dev/mmcblk0p1 bs=1 seek=";
    // Transcripts: '~' stands for the tools' own output.
    // clang-format off
    const std::tuple<std::vector<int>, std::vector<std::string>, const char*, std::string, uint64_t> rows[] = {
        {{1, 2, 3, 4}, {"storage", "0", "0", FILL + "\nprintf '\\2\\0' | dd" + DD + "1082 && printf '\\0\\0\\0\\17' | dd" + DD + std::to_string(block)}, "", REPAIR + "~[result 1]\n" + FILES, 0},
        {{1, 2, 3, 4}, {"storage", "1", "0", "dd if=/dev/zero of=/dev/mmcblk0p1 bs=1024 seek=1 count=1 status=none"}, "n", REPAIR + "~" + OK, 0},
        {{1, 2, 3, 4}, {"storage", "1", "0", ""}, "Y", REPAIR + "~****** ERROR: Your filesystem is corrupted beyond automated repair ******\nConfirm: Recreate filesystem. Any data will be lost y/N: \n" + REMADE + "[result 1]\n", 0},
        {{1, 2, 3}, {"storage", "1", "100", FILL}, "", UPDATE + "~" + OK + FILES, 10000},
        {{1, 2, 3}, {"storage", "1", "0", "touch /tmp/arvo-backup"}, "y", UPDATE + BACKUP + "~\tFailed to back up Arvo files. Quitting\n" + OK + FILES, 10000},
        {{1, 2, 3}, {"storage", "1", "0", ""}, "y", UPDATE + BACKUP + "\tBacking up Tesk configuration files...\n~No Tesk config partition found to backup\n" + REMADE + RESTORE + OK + FILES, 10000},
        {{1, 2, 3}, {"storage", "1", "0", "mkdir /dev/mmcblk0p4"}, "y", UPDATE + BACKUP + "\tBacking up Tesk configuration files...\n~" + RESTORE + OK + FILES, 10000},
    };
    // clang-format on
    for (const auto& [partitions, args, keys, want, ms] : rows) {
        vswitch().set_emmc(true, partitions);
        run(args);
        if (*keys)
            answer("", keys);
        EXPECT_EQ(wait_for_end(60s, 10s).ending, Ending::exited);
        const std::string out = console();
        const size_t gap = want.find('~'), tail = want.size() - gap - 1;
        EXPECT_EQ(out.substr(0, gap) + "~" + out.substr(out.size() - tail), want) << out;
        EXPECT_EQ(virtual_ms(), ms);
    }
    EXPECT_EQ(read_file(vswitch().dir() + "/seen"), "label: dos\n,1G,L\n,1G,L\n,1G,L\n,,L\n");
}

// Ctrl-C ends the test without a reset and at once; three wrong answers reset
// the board.
TEST_F(RescueScenario, PresenceTestEndings) {
    // 50 ms into the first tenth-of-a-second console read of the prompt.
    RunOptions options;
    options.program = RESCUE_SCENARIO;
    options.args = {"presence"};
    options.timed_keys = {{50ms, "\x03"}};
    boot(options);
    expect_exit("\n[result 0]\n");
    EXPECT_EQ(console(), CONTINUE + std::string("\0\n", 2) + "\n[result 0]\n");
    EXPECT_EQ(virtual_ms(), 50u); // not run on to its time-out

    const auto start = [&] {
        run({"presence"});
        answer(CONTINUE, "y");
        answer(HIT_A_KEY, " ");
    };
    start(); // while the LED blinks
    ASSERT_TRUE(expect_console("..."));
    send_keys("\x03");
    expect_exit("\n[result 0]\n");
    EXPECT_EQ(console().find(HOW_MANY), std::string::npos);
    start(); // at the answer
    answer(HOW_MANY, "\x03");
    expect_exit("^C\n\n[result 0]\n");
    EXPECT_TRUE(shell_commands().empty());
    start();
    for (const char* keys : {"99\r", " ", "\r", " ", "15\r"}) // 1 to 14 blinks
        answer(*keys == ' ' ? HIT_A_KEY : HOW_MANY, keys);
    expect_exit("Incorrect. Try again (attempt 3 of 3)\nMaximum number of test failed. Board is "
                "resetting\n");
    EXPECT_EQ(shell_commands(), std::vector<std::string>{"reboot"});
}

// The wipe removes the key files and erases the key partition; a question
// asked with a time-out assumes "no" after five seconds.
TEST_F(RescueScenario, YesNoQuestions) {
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
    run({"ask"});
    expect_exit("Load it? (y/n) \nTimeout. Assuming \"no\".\n\n[result 0]\n");
    EXPECT_EQ(virtual_ms() / 1000, 5u);
}

} // namespace vswitch
