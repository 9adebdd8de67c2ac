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

TEST_F(VirtualSwitchTest, InstallLogTakesTheRtcTimeAndRecordsAreWrittenOnTheMountedPartition) {
    board().set_rtc({0x59, 0x59, 0x23, 0x03, 0x31, 0x12, 0x25});
    vswitch().write_user_file("install.log", "earlier\n");
    vswitch().set_tool_status("mount", 32);
    const std::string line = "File /mnt/usb/b.img installed from USB at 23:59:59 on 31-12-2025\n";
    std::string printed; // each run's console, then the command lines it gave the shell
    for (const auto& args : {std::vector<std::string>{"records", "image2", "0x01020304", "0x1122"},
                             {"log", "/mnt/usb/b.img", "USB"},
                             {"records", "uboot", "0x01020304", "0xcadbbe3d"}}) {
        boot_program(RECORDS_SCENARIO, args);
        EXPECT_EQ(wait_for_end().code, 0) << console();
        printed += console();
        for (const std::string& command : shell_commands())
            printed += "$ " + command + "\n";
        vswitch().set_tool_status("mount", 0);
    }
    EXPECT_EQ(vswitch().read_user_file("install.log").value_or("(none)"), "earlier\n" + line);
    const std::string time = "\\d\\d:\\d\\d:\\d\\d \\S+ \\w{3} \\w{3} [ \\d]\\d \\d{4}\n"; // now
    const std::string mount = "$ mkdir -p /tmp/zimr-cfg\n$ mount /dev/mmcblk0p4 /tmp/zimr-cfg\n";
    EXPECT_EQ(
        std::regex_replace(printed, std::regex(time), "TIME"),
        "Updating install logs\nError mounting Tesk configuration  partition. Unable to update "
        "installed image details\n[image2-version absent]\n[image2-crc absent]\n"
        "[image2-timestamp absent]\n[result -1]\n" +
            mount + "Updating install log. " + line +
            "[result 1]\nUpdating install logs\n[uboot-version 01020304]\n[uboot-crc "
            "cadbbe3d]\n[uboot-timestamp TIME]\n[result 1]\n" +
            mount + "$ umount /tmp/zimr-cfg\n");
}

} // namespace
} // namespace vswitch
