// The sandbox itself: the console, the fakes, the private root and its seals.
// A bash script stands in for the program, so each case shows one property.
#include <gtest/gtest.h>

#include <cstdlib>

#include <filesystem>

#include <fstream>

#include <string>
#include <thread>
#include <vector>

#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

// Loop devices backed by the file.
std::vector<std::string> loop_devices_of(const std::string& image) {
    std::vector<std::string> devices;
    for (int n = 0; n < 256; ++n) {
        std::string backing =
            read_file("/sys/block/loop" + std::to_string(n) + "/loop/backing_file");
        if (backing.rfind(image, 0) == 0)
            devices.push_back("loop" + std::to_string(n));
    }
    return devices;
}

// The kernel lets go of a loop device shortly after its last user.
bool loop_devices_released(const std::string& image) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (loop_devices_of(image).empty())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class SandboxTest : public VirtualSwitchTest {
  protected:
    void run_script(const std::string& script) { boot_program("/bin/bash", {"-c", script}); }
};

TEST_F(SandboxTest, ConsoleIsTheControllingTerminalAndCtrlCInterrupts) {
    run_script("trap 'echo interrupted; exit 5' INT\n"
               "echo ready\n"
               "read -r line; echo \"line=$line\"\n"
               "while :; do /bin/sleep 0.01; done");
    ASSERT_TRUE(expect_console("ready\n"));
    send_keys("abc\n");
    // The line discipline echoes the typed line and hands it over whole.
    ASSERT_TRUE(expect_console("abc\n"));
    ASSERT_TRUE(expect_console("line=abc\n"));
    send_keys("\x03");
    ASSERT_TRUE(expect_console("interrupted\n"));
    Outcome outcome = wait_for_end();
    EXPECT_EQ(outcome.ending, Ending::exited);
    EXPECT_EQ(outcome.code, 5);
}

TEST_F(SandboxTest, FakesRecordArgumentsAndTakeScriptedStatusAndEffect) {
    vswitch().set_tool_status("e2fsck", 4);
    vswitch().set_tool_effect("mount", "echo \"mounting $1 on $2\"");
    run_script("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null; echo e2fsck=$?\n"
               "mount /dev/mmcblk0p1 /user; echo mount=$?\n"
               "tftp -g -r 'name with blank' -l /tmp/x 10.0.0.1\n"
               "date 'two\nlines'\n"
               "reboot");
    ASSERT_TRUE(expect_console("e2fsck=4\n"));
    ASSERT_TRUE(expect_console("mounting /dev/mmcblk0p1 on /user\nmount=0\n"));
    EXPECT_EQ(wait_for_end().ending, Ending::exited);

    auto calls = tool_calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].path, "/sbin/e2fsck");
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-p", "/dev/mmcblk0p1"}));
    EXPECT_EQ(calls[1].line(), "mount /dev/mmcblk0p1 /user");
    EXPECT_EQ(calls[2].path, "/usr/bin/tftp");
    EXPECT_EQ(calls[2].args[2], "name with blank");
    EXPECT_EQ(calls[3].args, (std::vector<std::string>{"two\nlines"}));
    EXPECT_EQ(calls[4].path, "/sbin/reboot");
}

TEST_F(SandboxTest, ShellTakesAmpersandRedirectAndBusyboxMd5sumIsReal) {
    vswitch().write_user_file("images/image1", "abc");
    run_script("echo hidden &> /tmp/both; echo also-hidden 1>&2 &>> /tmp/both\n"
               "cat /tmp/both\n"
               "/bin/busybox md5sum /user/images/image1 > /tmp/img_md5string\n"
               "cat /tmp/img_md5string");
    EXPECT_EQ(wait_for_end().ending, Ending::exited);
    EXPECT_EQ(console(), "hidden\nalso-hidden\n"
                         "900150983cd24fb0d6963f7d28e17f72  /user/images/image1\n");
}

TEST_F(SandboxTest, UserPersistsBetweenRunsAndTmpStartsEmpty) {
    run_script("echo kept > /user/note; echo lost > /tmp/note");
    EXPECT_EQ(wait_for_end().code, 0);
    EXPECT_EQ(vswitch().read_user_file("note"), "kept\n");

    run_script("cat /user/note; [ -e /tmp/note ] || echo fresh-tmp");
    ASSERT_TRUE(expect_console("kept\nfresh-tmp\n"));
    EXPECT_EQ(wait_for_end().code, 0);
}

TEST_F(SandboxTest, EmmcEntriesFollowTheBoard) {
    vswitch().set_emmc(true, {1, 2, 3});
    run_script("ls -1 /sys/block/mmcblk0");
    ASSERT_TRUE(expect_console("mmcblk0p1\nmmcblk0p2\nmmcblk0p3\n"));
    wait_for_end();
    EXPECT_EQ(console().find("mmcblk0p4"), std::string::npos);

    vswitch().set_emmc(false);
    run_script("ls /sys/block; [ -e /sys/block/mmcblk0 ] || echo no-emmc");
    ASSERT_TRUE(expect_console("no-emmc\n"));
    wait_for_end();
}

TEST_F(SandboxTest, RootIsPrivateAndCapabilitiesAreGone) {
    // A file only the host has: the sandbox may bind the build's own folders
    // (sanitizer reports), so a well-known host path would prove nothing.
    char host_dir[] = "/var/tmp/vswitch-host-only-XXXXXX";
    ASSERT_NE(::mkdtemp(host_dir), nullptr);
    const std::string host_file = std::string(host_dir) + "/marker";
    std::ofstream(host_file) << "host\n";
    run_script("grep CapBnd /proc/self/status; echo pid=$$; ls /; cat /etc/hostname;"
               " [ -e " +
               host_file + " ] || echo no-host-tree");
    ASSERT_TRUE(expect_console("CapBnd:"));
    wait_for_end();
    auto line = console().substr(console().find("CapBnd:") + 7);
    unsigned long long bounding = std::stoull(line, nullptr, 16);
    for (int cap : {16 /* SYS_MODULE */, 22 /* SYS_BOOT */, 25 /* SYS_TIME */})
        EXPECT_EQ(bounding & (1ULL << cap), 0u) << "capability " << cap;
    EXPECT_NE(console().find("pid=2\n"), std::string::npos);
    EXPECT_NE(console().find("switch\n"), std::string::npos);
    EXPECT_NE(console().find("no-host-tree\n"), std::string::npos);
    std::filesystem::remove_all(host_dir);
}

TEST_F(SandboxTest, ApplicationOsStarterRecordsArgumentsEnvironmentAndDirectory) {
    run_script("cd /tmp && export GREETING=hello && exec /bin/backtrace -x /tmp/home/bin/mp.elf");
    Outcome outcome = wait_for_end();
    EXPECT_EQ(outcome.ending, Ending::exited);
    EXPECT_EQ(outcome.code, 0);
    auto start = vswitch().application_os_start();
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->argv,
              (std::vector<std::string>{"/bin/backtrace", "-x", "/tmp/home/bin/mp.elf"}));
    EXPECT_EQ(start->environment["GREETING"], "hello");
    EXPECT_EQ(start->working_directory, "/tmp");
}

TEST_F(SandboxTest, UsbStickPresentAtPowerOnIsMountedByUsbMount) {
    vswitch().set_usb_stick(true);
    vswitch().write_usb_file("QTX5150_OS.img", "image");
    run_script("[ -d /tmp/usb ] && cat /mnt/usb/QTX5150_OS.img");
    ASSERT_TRUE(expect_console("image"));
    wait_for_end();
    auto calls = tool_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].line(), "mount -o sync /dev/sda1 /mnt/usb");
    EXPECT_NE(console().find("New USB device is ready.\n"), std::string::npos);
}

TEST_F(SandboxTest, UserOnAnExt3ImageIsARealFilesystemThatPersists) {
    ASSERT_TRUE(vswitch().use_ext3_user());
    for (const char* tool : {"mount", "umount", "e2fsck"})
        vswitch().use_real_tool(tool);
    run_script("/sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null; echo fsck=$?\n"
               "/bin/mount /dev/mmcblk0p1 /user && echo kept > /user/note && umount /user\n"
               "echo done");
    ASSERT_TRUE(expect_console("fsck=0\n"));
    ASSERT_TRUE(expect_console("done\n"));
    EXPECT_EQ(wait_for_end().code, 0);
    EXPECT_FALSE(vswitch().read_user_file("note").has_value()); // not the plain directory

    // Mounted when the run is cut short: the loop device still goes away.
    run_script("mount /dev/mmcblk0p1 /user && cat /user/note\n"
               "grep -c ' /user ext3 ' /proc/mounts; read -r never");
    ASSERT_TRUE(expect_console("kept\n1\n"));
    EXPECT_EQ(loop_devices_of(vswitch().user_image()).size(), 1u);
    EXPECT_EQ(wait_for_end(10s, 200ms).ending, Ending::silent);
    EXPECT_TRUE(loop_devices_released(vswitch().user_image()));
}

TEST_F(SandboxTest, SilentProgramIsStoppedAtTheSilenceBound) {
    run_script("echo waiting; read -r never");
    ASSERT_TRUE(expect_console("waiting\n"));
    Outcome outcome = wait_for_end(10s, 300ms);
    EXPECT_EQ(outcome.ending, Ending::silent);
}

} // namespace
} // namespace vswitch
