// The sandbox itself: the console, the fakes, the private root and its seals.
// A bash script stands in for the program, so each case shows one property.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "test_support.h"
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

// The value of a "Name:\tvalue" line of /proc/<pid>/status as the console shows it.
std::string status_field(const std::string& text, const std::string& name) {
    auto at = text.find(name + ":\t");
    if (at == std::string::npos)
        return "";
    at += name.size() + 2;
    return text.substr(at, text.find('\n', at) - at);
}

TEST_F(SandboxTest, RootIsPrivateAndProcessesAreSealed) {
    // A file only the host has: the sandbox may bind the build's own folders
    // (sanitizer reports), so a well-known host path would prove nothing.
    const test_support::TempDir host("/var/tmp");
    const std::string& host_dir = host.path();
    ASSERT_FALSE(host_dir.empty());
    const std::string host_file = host.file("marker");
    std::ofstream(host_file) << "host\n";
    // Left open across the start, as a careless caller would.
    platform::UniqueFd leaked(::open(host_file.c_str(), O_RDONLY));
    ASSERT_TRUE(leaked.valid());
    run_script(
        "cat /proc/self/status; [ $$ -lt 20 ] && echo new-pids; cat /etc/hostname; grep -cv ':/$' "
        "/proc/self/cgroup\n"
        "ls /proc/$$/fd > /tmp/fds; echo fds $(cat /tmp/fds); ls /.vswitch/board/private | wc -l\n"
        "[ -e " +
        host_file + " ] || echo no-host-tree");
    ASSERT_TRUE(expect_console("no-host-tree\n"));
    wait_for_end();
    leaked.reset();
    const std::string text = console();
    // CAP_CHOWN, CAP_DAC_OVERRIDE, CAP_FOWNER, CAP_NET_ADMIN and CAP_NET_RAW,
    // and nothing else in any set (in the switch's own user namespace: see
    // NetworkIsTheSwitchsOwn).
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd"})
        EXPECT_EQ(status_field(text, set), "000000000000300b") << set;
    EXPECT_EQ(status_field(text, "CapAmb"), "0000000000000000");
    EXPECT_EQ(status_field(text, "NoNewPrivs"), "1");
    EXPECT_EQ(status_field(text, "Seccomp"), "2");
    // Every cgroup of its own is the root of its cgroup namespace.
    EXPECT_NE(text.find("new-pids\nswitch\n0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("fds 0 1 2\n0\n"), std::string::npos) << text;
}

// The switch configures its eth0, which reaches the peer, and nothing of
// this machine's network: it sees none of its interfaces, and its
// capabilities are those of a user namespace of its own.
TEST_F(SandboxTest, NetworkIsTheSwitchsOwn) {
    vswitch().use_real_tool("ip");
    vswitch().set_peer_command("ip -o -4 address show dev peer0");
    run_script("stat -L -c 'user:[%i]' /proc/self/ns/user; cat /proc/self/uid_map\n"
               "echo links $(ls /proc/self/net/dev_snmp6)\n"
               "ip address add 192.0.2.7/24 dev eth0 && ip link set eth0 up && echo configured\n"
               "echo x > /dev/udp/192.0.2.1/9; /bin/sleep 0.5; ip neigh show 192.0.2.1");
    ASSERT_TRUE(expect_console("configured\n"));
    wait_for_end();
    const std::string text = console();
    char host_namespace[64] = {};
    ASSERT_GT(::readlink("/proc/self/ns/user", host_namespace, sizeof host_namespace - 1), 0);
    EXPECT_EQ(text.find(host_namespace), std::string::npos) << text;
    EXPECT_NE(text.find("user:["), std::string::npos) << text;
    // Identity maps: root of the switch owns what root owns.
    EXPECT_NE(text.find("         0          0 4294967295\n"), std::string::npos) << text;
    EXPECT_NE(text.find("links eth0 lo\n"), std::string::npos) << text;
    EXPECT_NE(text.find("192.0.2.1 dev eth0 lladdr "), std::string::npos) << text;
    EXPECT_NE(vswitch().network_state().find("eth0    inet 192.0.2.7/24"), std::string::npos)
        << vswitch().network_state();
    EXPECT_NE(vswitch().peer_log().find("peer0    inet 192.0.2.1/24"), std::string::npos)
        << vswitch().peer_log();
}

// With the real mount tools: what would reach this machine is refused, and
// what the switch mounts of its own is sealed.
TEST_F(SandboxTest, MountsReachingPastTheSwitchAreRefused) {
    ASSERT_TRUE(vswitch().use_ext3_user());
    for (const char* tool : {"mount", "umount"})
        vswitch().use_real_tool(tool);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"devtmpfs", "mount -t devtmpfs devtmpfs /mnt"},
        {"tmpfs", "mount -t tmpfs tmpfs /mnt"},
        {"proc_sys_writable", "mount -o remount,rw /proc/sys"},
        {"proc_sys_unmasked", "umount /proc/sys"},
        {"sysrq", ": > /proc/sysrq-trigger"},
        {"sysctl", ": > /proc/sys/vm/drop_caches"},
        {"private_unmasked", "umount /.vswitch/board/private"},
        {"board_bound", "mount --bind /.vswitch/board /mnt"},
        {"own_device_on_dev", "mount -t ext3 /dev/mmcblk0p1 /dev"},
        {"not_a_block_device", "mount -t ext3 /dev/zero /mnt"}};
    std::string script;
    for (const auto& [name, command] : refused)
        script += "(" + command + ") > /dev/null 2>&1; echo " + name + "=$?\n";
    script += "mount -o suid,dev /dev/mmcblk0p1 /mnt && grep ' /mnt ' /proc/mounts && umount /mnt "
              "&& echo own-mount-done";
    run_script(script);
    ASSERT_TRUE(expect_console("own-mount-done\n"));
    wait_for_end();
    for (const auto& [name, command] : refused) {
        SCOPED_TRACE(command);
        EXPECT_EQ(console().find(name + "=0\n"), std::string::npos) << console();
        EXPECT_NE(console().find(name + "="), std::string::npos) << console();
    }
    EXPECT_NE(console().find("/dev/mmcblk0p1 /mnt ext3 rw,nosuid,nodev,"), std::string::npos)
        << console();
}

// The switch writes in its directory: a link it left there is never
// followed when the sandbox builds the next run.
TEST_F(SandboxTest, SymbolicLinksInTheSwitchDirectoryAreRefused) {
    const test_support::TempDir host("/var/tmp");
    const std::string& host_dir = host.path();
    ASSERT_FALSE(host_dir.empty());
    std::ofstream(host.file("marker")) << "host\n";
    std::ofstream(host.file("marker.copy")) << "host\n";
    ASSERT_TRUE(vswitch().use_ext3_user());
    const std::string dir = vswitch().dir();
    // Links within the directory, and one out of it.
    const std::pair<std::string, std::string> cases[] = {
        {vswitch().user_image(), "mmcblk0p1.img.real"},
        {dir + "/private/emmc", "emmc.real"},
        {dir + "/user", host_dir}};
    for (const auto& [link, target] : cases) {
        SCOPED_TRACE(link);
        std::filesystem::rename(link, link + ".real");
        std::filesystem::create_symlink(target, link);
        RunOptions options;
        options.program = "/bin/bash";
        options.args = {"-c", "cat /user/marker"};
        BootRun run(vswitch(), options);
        EXPECT_EQ(run.wait().ending, Ending::failed) << run.transcript();
        EXPECT_EQ(run.transcript().find("host"), std::string::npos);
        std::filesystem::remove(link);
        std::filesystem::rename(link + ".real", link);
    }
    // A link the switch left behind is not followed by the test bed either.
    std::filesystem::create_symlink(host.file("marker"), vswitch().user_dir() + "/planted");
    std::filesystem::remove(dir + "/nvram");
    std::filesystem::create_symlink(host.file("marker"), dir + "/nvram");
    vswitch().write_user_file("planted", "switch\n");
    EXPECT_ANY_THROW(vswitch().board().set_nvram_byte(0, 0x00));
    EXPECT_EQ(test_support::read_file(host.file("marker")),
              test_support::read_file(host.file("marker.copy")));
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
