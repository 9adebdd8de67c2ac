// The rescue menu as start-up enters it on the virtual switch (terminal,
// Ctrl-C, reboot), and the /user check and repartitioning with real
// e2fsprogs on an ext3 image, run by a driver program in the sandbox.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

// clang-format off
const std::string LIST = "Please select one of the following options:\n\tT) Configure networking and tftp download an image\n\tU) Install image from USB stick\n\tP) Physical presence test (low security mode)\n\tF) Run filesystem check\n\tI) Select which image to boot\n\tC) Reset configuration to factory default\n\tR) Reboot\n\tE) Exit\n\nOption? : ";
const std::string OK = "Filesystem OK - no action required\n", SFDISK = "sfdisk /dev/mmcblk0 < /etc/partsetup &> /tmp/repart.txt";
const std::string UPDATE = "Filesystem partitions need updating.\nIt is recommended to backup your configuration before performing this update.\nConfirm: update filesystem y/N: ";
const std::string REPAIR = "*** Your filesystem has errors. Attempting to recover but data may be lost.***\n";
const std::string RECREATE = "****** ERROR: Your filesystem is corrupted beyond automated repair ******\nConfirm: Recreate filesystem. Any data will be lost y/N: ";
const std::string REMADE = "\n\tCreating new filesystem partitions\n\tReformatting Arvo partition\n\tVerifying Arvo partition\n\tReformatting Tesk config partition\n\tVerifying Tesk config partition\n";
// clang-format on

class RescueScenario : public VirtualSwitchTest {
  protected:
    // Types the keys once the text is there and the program reads raw.
    void answer(const std::string& text, const std::string& keys) {
        ASSERT_TRUE(expect_console(text, 30s));
        ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
        send_keys(keys);
    }
    bool ran(const std::string& command) {
        const auto all = shell_commands();
        return std::find(all.begin(), all.end(), command) != all.end();
    }
    // /user on ext3 with a few files, e2fsprogs and the mount tools real.
    // sfdisk stays a fake (the sandbox has no whole eMMC): it keeps its input
    // and makes partition 4 as a plain file, as the new layout would.
    void real_storage() {
        ASSERT_TRUE(vswitch().use_ext3_user());
        for (const char* tool : {"mount", "umount", "e2fsck", "mkfs.ext3"})
            vswitch().use_real_tool(tool);
        vswitch().set_tool_effect("sfdisk", "cat > /.vswitch/board/partsetup.seen; dd "
                                            "if=/dev/zero of=/dev/mmcblk0p4 bs=1M count=8");
        in_switch("mount /dev/mmcblk0p1 /user && echo x > /user/scrap && mkdir /user/images && "
                  "printf 'a\\0\\377b' > "
                  "/user/images/image1 && echo hidden > /user/.keep && umount /user");
    }
    std::string in_switch(const std::string& script) {
        boot_program("/bin/bash", {"-c", script + "\necho '[end]'"});
        EXPECT_TRUE(expect_console("[end]\n", 30s));
        EXPECT_EQ(wait_for_end().ending, Ending::exited);
        return console();
    }
    std::string user_files() {
        return in_switch("mount /dev/mmcblk0p1 /user && cd /user && find . -path ./lost+found "
                         "-prune -o -path ./scrap -prune -o -type f -exec md5sum {} + | sort; cd "
                         "/; umount /user");
    }
    // The check as the rescue menu runs it; key answers the question.
    std::string check(const std::string& question, const std::string& key,
                      const std::vector<std::string>& args = {"1", "0"}) {
        boot_program(STORAGE_SCENARIO, args);
        if (!key.empty())
            answer(question, key);
        EXPECT_TRUE(expect_console("[result 1]\n", 60s));
        EXPECT_EQ(wait_for_end().ending, Ending::exited);
        return console();
    }
    void patch_image(uint64_t offset, const std::string& bytes) {
        std::fstream image(vswitch().user_image(), std::ios::binary | std::ios::in | std::ios::out);
        image.seekp(static_cast<std::streamoff>(offset));
        image.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
};

// Entered from start-up in Tesk mode: a key of the other mode, Ctrl-C at the
// prompt and inside an action, the hidden rows, the check, Exit rebooting.
TEST_F(RescueScenario, TeskMenuFromStartUp) {
    vswitch().set_bootloader_env({"diagnostics=rescue"});
    board().set_nvram_byte(NVRAM_OS_MODE, 'C');
    vswitch().write_user_file("odmdiags/uImage", "diags");
    vswitch().write_user_file("images/image1", std::string("crc len \x01MAR\x03\x01\x04\x01", 16));
    boot();
    answer("Entering Rescue Mode.\n" + LIST, "x");
    answer("x\n" + LIST, "\x03");
    answer(std::string("\0\n\nOption? : ", 12), "c");
    answer("c\nConfirm resetting the configuration to factory default: y/N? ", "\x03");
    answer(std::string("\0\n", 2) + LIST, "\x01");
    answer("\x01\nWiping ODM diags from system...Done\n" + LIST, "v");
    answer("\tOS image 1  : 3.1.4.1\n\tOS image 2  : 0.0.0.0\n" + LIST, "m");
    answer("m\n", "\x03"); // the management port's dialogue
    answer(LIST, "f");
    answer("f\n" + OK + LIST, "e");
    EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
    const auto all = shell_commands();
    EXPECT_EQ(std::vector<std::string>(all.end() - 4, all.end()),
              (std::vector<std::string>{"umount /dev/mmcblk0p1 &> /dev/null",
                                        "/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null",
                                        "/bin/mount /dev/mmcblk0p1 /user", "reboot"}));
    EXPECT_FALSE(vswitch().read_user_file("odmdiags/uImage").has_value());
    EXPECT_EQ(board().nvram_byte(0x0206), 0xFF);
}

// Exit in Tesk mode after the shell the boot option asks for; Reboot in Arvo
// mode, a second after the key.
TEST_F(RescueScenario, ExitAfterTheShellAndReboot) {
    vswitch().set_bootloader_env({"diagnostics=rescue", "shell=on"});
    board().set_nvram_byte(NVRAM_OS_MODE, 'C');
    boot();
    answer(LIST, "e");
    send_keys("echo in-shell; exit\n");
    ASSERT_TRUE(expect_console("in-shell\n"));
    EXPECT_EQ(wait_for_end().ending, Ending::exited);
    const auto all = shell_commands();
    EXPECT_EQ(std::vector<std::string>(all.end() - 2, all.end()),
              (std::vector<std::string>{"/bin/sh\n", "reboot"}));
    board().set_nvram_byte(NVRAM_OS_MODE, 'E');
    boot();
    answer("\nOption? : ", "R");
    EXPECT_EQ(wait_for_end().ending, Ending::exited);
    EXPECT_EQ(shell_commands().back(), "reboot");
    const auto waits = board().waits(); // a second before the reboot's own
    ASSERT_GE(waits.size(), 2u);
    EXPECT_EQ(waits.end()[-2].kind + std::to_string(waits.end()[-2].duration_ns),
              "sleep1000000000");
}

TEST_F(RescueScenario, CheckRepairsOrRecreatesUser) {
    real_storage();
    const std::string files = user_files();
    EXPECT_EQ(check("", "", {"0", "0"}), "[result 1]\n"); // healthy, no report
    // Marked as having errors, the first block of the first file (scrap)
    // past the end: a fault that "e2fsck -p" leaves to an operator.
    patch_image(1024 + 58, std::string("\x02\x00", 2));
    const std::string image = read_file(vswitch().user_image());
    const auto u16 = [&](size_t at) { return uint8_t(image[at]) | uint8_t(image[at + 1]) << 8; };
    // The inode table's block (from the group descriptor) and the inode size.
    patch_image(u16(4096 + 8) * 4096ULL + 11 * u16(1024 + 88) + 40, std::string("\0\0\0\x0F", 4));
    const std::string repaired = check("", "");
    EXPECT_NE(repaired.find(REPAIR), std::string::npos) << repaired;
    EXPECT_EQ(repaired.substr(repaired.size() - OK.size() - 11), OK + "[result 1]\n");
    EXPECT_EQ(repaired.find(RECREATE), std::string::npos);
    EXPECT_EQ(user_files(), files);

    patch_image(1024, std::string(1024, '\0')); // no superblock left
    const std::string declined = check(RECREATE, "n");
    EXPECT_EQ(declined.substr(declined.size() - OK.size() - 11), OK + "[result 1]\n");
    EXPECT_FALSE(ran(SFDISK));
    const std::string recreated = check(RECREATE, "Y");
    EXPECT_NE(recreated.find(RECREATE + REMADE + "[result 1]\n"), std::string::npos) << recreated;
    EXPECT_EQ(recreated.find("Backing up"), std::string::npos);
    EXPECT_NE(in_switch("/sbin/e2fsck -n /dev/mmcblk0p1; echo fsck=$?").find("fsck=0"),
              std::string::npos);
}

// The old layout: nobody answers within 10 s, the backup cannot be written,
// then the files survive the new partitions byte for byte.
TEST_F(RescueScenario, RepartitionKeepsTheFilesOnUser) {
    real_storage();
    vswitch().set_emmc(true, {1, 2, 3});
    const std::string files = user_files();
    boot_program(STORAGE_SCENARIO, {"1", "100"});
    ASSERT_TRUE(expect_console(UPDATE + "\n"));
    ASSERT_TRUE(expect_console(OK + "[result 1]\n"));
    EXPECT_EQ(virtual_ms(), 10000u);
    EXPECT_EQ(shell_commands(), std::vector<std::string>{"mount /dev/mmcblk0p1 /user"});

    const std::string blocked = check(UPDATE, "y", {"1", "0", "blocked-backup"});
    EXPECT_NE(blocked.find("\tFailed to back up Arvo files. Quitting\n" + OK), std::string::npos)
        << blocked;
    EXPECT_FALSE(ran(SFDISK));
    EXPECT_EQ(user_files(), files);

    const std::string shown = check(UPDATE, "y");
    // clang-format off
    EXPECT_NE(shown.find("No Tesk config partition found to backup" + REMADE + "\tRestoring Arvo filesystem with backup. This can take a few minutes\n" + OK), std::string::npos) << shown;
    // clang-format on
    EXPECT_TRUE(ran("mkfs.ext3 -b 4096 /dev/mmcblk0p1 &> /tmp/koprapart.txt"));
    EXPECT_EQ(read_file(vswitch().dir() + "/partsetup.seen"),
              "label: dos\n,1G,L\n,1G,L\n,1G,L\n,,L\n");
    EXPECT_EQ(user_files(), files);

    vswitch().set_tool_effect("sfdisk", "true"); // no partition 4 to format
    const std::string failed = check(UPDATE, "y");
    EXPECT_NE(failed.find("\tRestoring Arvo filesystem with backup."), std::string::npos) << failed;
    EXPECT_NE(failed.find("\tFailed to format Tesk config partition. Quitting\n"),
              std::string::npos);
    EXPECT_EQ(user_files(), files);
}

} // namespace
} // namespace vswitch
