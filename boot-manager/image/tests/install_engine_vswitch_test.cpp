// The installation engine on the virtual switch: a TESK application through
// the shell's tools onto its eMMC partition, and an Application OS handed
// over without installing, at the switch's own paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

TEST_F(VirtualSwitchTest, TeskApplicationThroughItsToolsAndApplicationBootedWithoutInstalling) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    const std::string dir = vswitch().user_dir();
    write_file(dir + "/payload", std::string(70000, 'p'));
    ASSERT_TRUE(
        platform::command_succeeded(platform::run_program({"gzip", "-k", dir + "/payload"})));
    for (const char* type : {"tesk-application", "application"})
        ASSERT_TRUE(platform::command_succeeded(platform::run_program(
            {SWIMAGE, "create", dir + "/" + type + ".img", "--payload", dir + "/payload.gz",
             "--type", type, "--version", "1.2.3.4", "--sign", PRODUCTION_SIGNING_KEY_FILE})));

    boot_program(INSTALL_SCENARIO, {"/user/tesk-application.img", "0", "0"});
    ASSERT_TRUE(expect_console("Install image as image 1 or 2 (q to quit): "));
    send_keys("2\n");
    ASSERT_TRUE(expect_console("[result 1]\n"));
    EXPECT_EQ(wait_for_end().code, 0);
    const std::string records =
        "mkdir -p /tmp/zimr-cfg|mount /dev/mmcblk0p4 /tmp/zimr-cfg|umount /tmp/zimr-cfg|";
    std::string commands;
    for (const std::string& command : shell_commands())
        commands += command + "|";
    EXPECT_EQ(commands, "gunzip /tmp/nos-image.gz|e2fsck -fp /dev/mmcblk0p3 &> /tmp/e2fsck.log|"
                        "e2fsck -fp /dev/mmcblk0p3 &> /tmp/e2fsck2.log|resize2fs /dev/mmcblk0p3 "
                        "&> /tmp/resize2fs.log|" +
                            records + records + "rm /tmp/nos-image*|")
        << console();
    EXPECT_EQ(board().nvram(NVRAM_OS_MODE, 2), (std::vector<uint8_t>{'C', 2}));

    boot_program(INSTALL_SCENARIO, {"/user/application.img", "0", "0"});
    ASSERT_TRUE(expect_console("(hit return to just boot image): "));
    send_keys("\n");
    ASSERT_TRUE(expect_console("Booting downloaded image\nImage ready to boot...\n"));
    wait_for_end();
    EXPECT_TRUE(vswitch().application_os_start().has_value()) << console();
}

} // namespace
} // namespace vswitch
