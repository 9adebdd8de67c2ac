// usb-mount on the virtual switch, one run per row: the binary as it ships,
// started as the hot-plug mechanism starts it, with the real mount (and a fake
// umount that unmounts for real) and an ext2 stick on loop devices shown as
// /dev/sda and /dev/sda1. Its messages are read
// from the terminal behind "/dev/console"; its own standard output and error
// go to files. What it left (mounts, the two directories) is looked at in the
// switch once it has ended.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testbed/fixture.h"

namespace vswitch {
namespace {

using Lines = std::vector<std::string>;

const std::string READY = "New USB device is ready.\n";
const std::string GONE = "USB device disconnected.\n";
const std::string NO_DEVICE = "USB mount error: Cannot detect any block devices\n";
const std::string CANNOT_MOUNT = "USB mount error: Cannot mount device. Please check if "
                                 "filesystem is supported and valid.\n";
const std::string UNKNOWN = "Unknown parameter!\n";

const std::string MKDIR = "/bin/mkdir -p /mnt/usb";
const std::string MOUNT_SDA1 = "/bin/mount -o sync /dev/sda1 /mnt/usb";
const std::string MOUNT_SDA = "/bin/mount -o sync /dev/sda /mnt/usb";
const std::string SIGN = "/bin/mkdir -p /tmp/usb";
const Lines UNMOUNT = {"/bin/rmdir /tmp/usb", "/bin/umount /mnt/usb", "/bin/rmdir /mnt/usb"};

// What a run left, as LOOK_AROUND prints it: the mount on /mnt/usb (device,
// type, rw or ro, sync), what /mnt/usb holds, the sign.
const std::string ON_SDA1 = "/dev/sda1 ext2 rw,sync\n/mnt/usb: lost+found\n/tmp/usb\n";
const std::string ON_SDA = "/dev/sda ext2 rw,sync\n/mnt/usb: lost+found\n/tmp/usb\n";
const std::string EMPTY_MOUNT_POINT = "/mnt/usb:\n";

const char* const LOOK_AROUND =
    "while read -r dev dir type opts rest; do\n"
    "  [[ ,$opts, == *,sync,* ]] && opts=${opts:0:2},sync || opts=${opts:0:2}\n"
    "  [[ $dir != /mnt/usb ]] || echo \"$dev $type $opts\"\n"
    "done </proc/mounts\n"
    "[[ ! -d /mnt/usb ]] || echo /mnt/usb: $(ls -A /mnt/usb)\n"
    "[[ ! -d /tmp/usb ]] || echo /tmp/usb\n"
    "echo end\n";

// The fake umount (it unmounts for real) notes where its standard error
// leads, and for each descriptor open on "/dev/console" in the switch its
// owner, access mode and close-on-exec flag.
const char* const UMOUNT_PROBE =
    "{ find /proc/$$/fd/2 -printf '%l\\n'\n"
    "  for fd in $(find /proc/[0-9]*/fd -lname /dev/console 2>/dev/null); do\n"
    "    flags=$(grep flags ${fd/fd/fdinfo}); flags=0${flags##*[^0-7]}\n"
    "    echo $(<${fd%/fd/*}/comm) mode $((flags & 3)) cloexec $((flags >> 19 & 1))\n"
    "  done; } >/.vswitch/board/umount-probe\n";
// Only usb-mount holds the console, write-only and closed on exec.
const std::string PROBED = "/.vswitch/board/stderr.log\nusb-mount mode 1 cloexec 1\n";

enum class Stick { partitioned, whole_disk, blank, none };
enum class Setup { plain, mounted_at_power_on, no_console, no_shell, hot_plug };
constexpr int NONZERO = -1;

struct Expected {
    int status; // or NONZERO
    std::string console;
    Lines commands;
    std::string left;
};

const Expected REFUSED = {255, UNKNOWN, {}, ""};
const Expected SILENT = {255, "", {}, ""};
// usb-mount started by the hot-plug stand-in runs unwatched: no commands on record.
const Expected PLUGGED_AND_PULLED = {0, READY + GONE, {}, ""};

struct Case {
    const char* name;
    Lines args; // hot_plug: the kernel's events, played through the shipped mdev rules
    Stick stick;
    Setup setup;
    Expected expected;
};

// clang-format off
const Case CASES[] = {
    {"partitioned", {"mount"}, Stick::partitioned, Setup::plain, {0, READY, {MKDIR, MOUNT_SDA1, SIGN}, ON_SDA1}},
    {"whole_disk_no_argument", {}, Stick::whole_disk, Setup::plain, {0, READY, {MKDIR, MOUNT_SDA, SIGN}, ON_SDA}},
    {"unmountable_mount_extra", {"mount", "extra"}, Stick::blank, Setup::plain,
     {NONZERO, CANNOT_MOUNT, {MKDIR, MOUNT_SDA1}, EMPTY_MOUNT_POINT}},
    {"no_block_device", {"mount"}, Stick::none, Setup::plain, {255, NO_DEVICE, {MKDIR}, EMPTY_MOUNT_POINT}},
    {"unmount", {"unmount"}, Stick::partitioned, Setup::mounted_at_power_on,
     {0, READY + GONE, {MKDIR, MOUNT_SDA1, SIGN, UNMOUNT[0], UNMOUNT[1], UNMOUNT[2]}, ""}},
    {"unmount_nothing_mounted", {"unmount"}, Stick::none, Setup::plain, {0, GONE, UNMOUNT, ""}},
    {"unmount_extra", {"unmount", "extra"}, Stick::partitioned, Setup::plain, REFUSED},
    {"letter_case", {"Mount"}, Stick::partitioned, Setup::plain, REFUSED},
    {"letter_case_unmount", {"UNMOUNT"}, Stick::partitioned, Setup::plain, REFUSED},
    {"longer_word", {"mount "}, Stick::partitioned, Setup::plain, REFUSED},
    {"no_console", {"mount"}, Stick::partitioned, Setup::no_console, SILENT},
    {"no_shell", {"mount"}, Stick::partitioned, Setup::no_shell, SILENT},
    {"hot_plug_partitioned", {"sda add", "sda1 add", "sda1 remove", "sda remove"}, Stick::partitioned,
     Setup::hot_plug, PLUGGED_AND_PULLED},
    {"hot_plug_whole_disk", {"sda add", "sda remove"}, Stick::whole_disk, Setup::hot_plug, PLUGGED_AND_PULLED},
};
// clang-format on

// mdev for the kernel's events ("sda add"): the first rule whose pattern
// matches the device name handles the event; its command runs through the
// shell with ACTION and MDEV set when its mark says so ('@' after add, '$'
// before remove, '*' both). The commands go in as bash's positional parameters.
Lines mdev(const Lines& events) {
    Lines args = {"-c", "", "mdev"};
    for (const auto& event : events) {
        std::string name = event.substr(0, event.find(' ')), action = event.substr(name.size() + 1);
        std::istringstream rules(read_file(MDEV_CONF));
        for (std::string line, pattern, owner, mode, command; std::getline(rules, line);) {
            std::istringstream rule(line);
            if (!(rule >> pattern >> owner >> mode) || pattern[0] == '#' ||
                !std::regex_match(name, std::regex(pattern)))
                continue;
            std::getline(rule >> std::ws, command);
            if (command[0] == '*' || command[0] == (action == "add" ? '@' : '$')) {
                args.push_back(command.substr(1));
                args[1] += "ACTION=" + action + " MDEV=" + name + " /bin/sh -c \"${" +
                           std::to_string(args.size() - 3) + "}\"\n";
            }
            break;
        }
    }
    return args;
}

class UsbMountTest : public VirtualSwitchTest, public ::testing::WithParamInterface<Case> {};

TEST_P(UsbMountTest, Run) {
    const Case& c = GetParam();
    ASSERT_FALSE(usb_mount_path().empty()) << "usb-mount is not part of this build";
    vswitch().use_real_tool("mount");
    vswitch().set_tool_effect("umount", UMOUNT_PROBE);
    vswitch().set_console_node(c.setup != Setup::no_console);
    vswitch().set_shell_available(c.setup != Setup::no_shell);
    UsbStickImage stick;
    stick.filesystem = c.stick == Stick::blank ? "" : "ext2";
    stick.partition_table = c.stick != Stick::whole_disk;
    ASSERT_TRUE(c.stick == Stick::none || vswitch().use_usb_stick_image(stick)) << "no mkfs.ext2?";

    RunOptions options;
    options.program = c.setup == Setup::hot_plug ? "/bin/bash" : usb_mount_path();
    options.args = c.setup == Setup::hot_plug ? mdev(c.args) : c.args;
    options.handle_usb_at_power_on = c.setup == Setup::mounted_at_power_on;
    // Without a console or a shell the standard streams are the console
    // terminal: nothing may reach it by any road.
    options.stdout_to_file = options.stderr_to_file =
        c.setup != Setup::no_console && c.setup != Setup::no_shell;
    options.after = LOOK_AROUND;
    boot(options);
    Outcome outcome = wait_for_end(std::chrono::seconds(30), std::chrono::seconds(10));

    const Expected& expected = c.expected;
    EXPECT_EQ(outcome.ending, Ending::exited) << ending_name(outcome.ending);
    EXPECT_TRUE(expected.status == NONZERO ? outcome.code != 0 : outcome.code == expected.status)
        << "exit status " << outcome.code;
    EXPECT_EQ(console(), expected.console);
    EXPECT_EQ(shell_commands(), expected.commands);
    EXPECT_EQ(read_file(after_log_path(vswitch())), expected.left + "end\n");
    // Its own streams hold nothing of it; the commands it runs inherit them.
    if (options.stdout_to_file) {
        EXPECT_EQ(read_file(vswitch().dir() + "/stdout.log"), "");
        for (const auto& message : {READY, GONE, NO_DEVICE, CANNOT_MOUNT, UNKNOWN})
            EXPECT_EQ(read_file(vswitch().dir() + "/stderr.log").find(message), std::string::npos);
    }
    bool unmounts = expected.console.find(GONE) != std::string::npos;
    EXPECT_EQ(read_file(vswitch().dir() + "/umount-probe"), unmounts ? PROBED : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbMountTest, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vswitch
