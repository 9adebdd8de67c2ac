// The install records on the virtual switch: the log line from the board's
// RTC on /user, and the configuration partition mounted through the shell,
// its three files written and unmounted again, or the mount failing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "testbed/fixture.h"

namespace vswitch {
namespace {

const std::string MOUNT_ERROR = "Error mounting Tesk configuration  partition. Unable to update "
                                "installed image details\n";

class InstallRecords : public VirtualSwitchTest {
  protected:
    void run(std::vector<std::string> args) { boot_program(RECORDS_SCENARIO, std::move(args)); }
    void expect_clean_exit() {
        const Outcome outcome = wait_for_end();
        EXPECT_EQ(outcome.ending, Ending::exited) << console();
        EXPECT_EQ(outcome.code, 0);
    }
    std::vector<std::string> tool_lines() const {
        std::vector<std::string> lines;
        for (const auto& call : tool_calls())
            lines.push_back(call.line());
        return lines;
    }
};

TEST_F(InstallRecords, LogLineTakesTheRtcTimeAndIsAppended) {
    board().set_rtc({0x59, 0x59, 0x23, 0x03, 0x31, 0x12, 0x25});
    const std::string earlier = "File image installed from xmodem at 09:05:30 on 7-3-2025\n";
    vswitch().write_user_file("install.log", earlier);
    run({"log", "/mnt/usb/QTX5150_Boot.img", "USB"});
    const std::string line =
        "File /mnt/usb/QTX5150_Boot.img installed from USB at 23:59:59 on 31-12-2025\n";
    EXPECT_TRUE(expect_console("Updating install log. " + line + "[result 1]\n"));
    expect_clean_exit();
    EXPECT_EQ(vswitch().read_user_file("install.log").value_or("(none)"), earlier + line);
}

TEST_F(InstallRecords, LogThatCannotBeOpenedIsSkipped) {
    board().set_rtc({0x30, 0x05, 0x09, 0x06, 0x07, 0x03, 0x26});
    ASSERT_EQ(::mkdir((vswitch().user_dir() + "/install.log").c_str(), 0755), 0);
    run({"log", "image", "10.1.2.3"});
    EXPECT_TRUE(expect_console(
        "Updating install log. File image installed from 10.1.2.3 at 09:05:30 on 7-3-2026\n"
        "[result 1]\n"));
    expect_clean_exit();
}

TEST_F(InstallRecords, RecordsAreWrittenOnTheMountedPartition) {
    run({"records", "uboot", "0x01020304", "0xcadbbe3d"});
    EXPECT_TRUE(
        expect_console("Updating install logs\n[uboot-version 01020304]\n[uboot-crc cadbbe3d]\n"));
    EXPECT_TRUE(expect_console("[result 1]\n"));
    expect_clean_exit();
    const std::regex stamp("\\[uboot-timestamp [0-2][0-9]:[0-5][0-9]:[0-6][0-9] \\S+ "
                           "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}\n\\]\n");
    EXPECT_TRUE(std::regex_search(console(), stamp)) << console();
    EXPECT_EQ(shell_commands(), (std::vector<std::string>{"mkdir -p /tmp/zimr-cfg",
                                                          "mount /dev/mmcblk0p4 /tmp/zimr-cfg",
                                                          "umount /tmp/zimr-cfg"}));
    EXPECT_EQ(tool_lines(), (std::vector<std::string>{"mount /dev/mmcblk0p4 /tmp/zimr-cfg",
                                                      "umount /tmp/zimr-cfg"}));
}

TEST_F(InstallRecords, MountFailureWritesNothing) {
    vswitch().set_tool_status("mount", 32);
    run({"records", "image2", "0x01020304", "0x11223344"});
    EXPECT_TRUE(expect_console("Updating install logs\n" + MOUNT_ERROR +
                               "[image2-version absent]\n[image2-crc absent]\n"
                               "[image2-timestamp absent]\n[result -1]\n"));
    expect_clean_exit();
    EXPECT_EQ(tool_lines(), (std::vector<std::string>{"mount /dev/mmcblk0p4 /tmp/zimr-cfg"}));
}

} // namespace
} // namespace vswitch
