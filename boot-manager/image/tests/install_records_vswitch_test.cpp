// The install records on the virtual switch: the log line from the board's
// RTC appended to /user, and the configuration partition mounted through the
// shell, its three files written and unmounted again, or the mount failing.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "testbed/fixture.h"

namespace vswitch {
namespace {

class InstallRecords : public VirtualSwitchTest {
  protected:
    void run(std::vector<std::string> args, const std::string& printed) {
        boot_program(RECORDS_SCENARIO, std::move(args));
        EXPECT_TRUE(expect_console(printed));
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
    const std::string line =
        "File /mnt/usb/QTX5150_Boot.img installed from USB at 23:59:59 on 31-12-2025\n";
    run({"log", "/mnt/usb/QTX5150_Boot.img", "USB"},
        "Updating install log. " + line + "[result 1]\n");
    EXPECT_EQ(vswitch().read_user_file("install.log").value_or("(none)"), earlier + line);
}

TEST_F(InstallRecords, RecordsAreWrittenOnlyOnTheMountedPartition) {
    vswitch().set_tool_status("mount", 32);
    run({"records", "image2", "0x01020304", "0x11223344"},
        "Updating install logs\nError mounting Tesk configuration  partition. Unable to update "
        "installed image details\n[image2-version absent]\n[image2-crc absent]\n"
        "[image2-timestamp absent]\n[result -1]\n");
    EXPECT_EQ(tool_lines(), (std::vector<std::string>{"mount /dev/mmcblk0p4 /tmp/zimr-cfg"}));

    vswitch().set_tool_status("mount", 0);
    run({"records", "uboot", "0x01020304", "0xcadbbe3d"},
        "Updating install logs\n[uboot-version 01020304]\n[uboot-crc cadbbe3d]\n");
    const std::regex stamp(
        "\\[uboot-timestamp [0-2][0-9]:[0-5][0-9]:[0-6][0-9] \\S+ "
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}\n\\]\n\\[result 1\\]\n");
    EXPECT_TRUE(std::regex_search(console(), stamp)) << console();
    EXPECT_EQ(shell_commands(), (std::vector<std::string>{"mkdir -p /tmp/zimr-cfg",
                                                          "mount /dev/mmcblk0p4 /tmp/zimr-cfg",
                                                          "umount /tmp/zimr-cfg"}));
}

} // namespace
} // namespace vswitch
