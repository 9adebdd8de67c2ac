// usb-mount, black-box on the virtual switch: the binary as it ships, run as
// the hot-plug handler in the sandbox with the real mount tools, the stick a
// real block device (a disk image on loop devices shown as /dev/sda and
// /dev/sda1). Its messages are read from the terminal that stands for
// "/dev/console"; its own standard output and error go to files, so the
// console holds only what it wrote there. What it left behind (mounts, the
// two directories) is looked at inside the switch once it has ended.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testbed/fixture.h"

namespace vswitch {
namespace {

const std::string READY = "New USB device is ready.\n";
const std::string DISCONNECTED = "USB device disconnected.\n";
const std::string NO_DEVICE = "USB mount error: Cannot detect any block devices\n";
const std::string CANNOT_MOUNT = "USB mount error: Cannot mount device. Please check if "
                                 "filesystem is supported and valid.\n";
const std::string UNKNOWN = "Unknown parameter!\n";

using Commands = std::vector<std::string>;

const Commands MOUNT_PARTITION = {"/bin/mkdir -p /mnt/usb", "/bin/mount -o sync /dev/sda1 /mnt/usb",
                                  "/bin/mkdir -p /tmp/usb"};
const Commands MOUNT_DISK = {"/bin/mkdir -p /mnt/usb", "/bin/mount -o sync /dev/sda /mnt/usb",
                             "/bin/mkdir -p /tmp/usb"};
const Commands UNMOUNT = {"/bin/rmdir /tmp/usb", "/bin/umount /mnt/usb", "/bin/rmdir /mnt/usb"};

Commands operator+(Commands first, const Commands& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Lists the mount on /mnt/usb and the two directories, one fact per line.
const char* const LOOK_AROUND = "grep ' /mnt/usb ' /proc/mounts | sed 's/^/mount /'\n"
                                "if [ -d /mnt/usb ]; then\n"
                                "  echo dir /mnt/usb; ls -A /mnt/usb | sed 's/^/entry /'\n"
                                "fi\n"
                                "if [ -d /tmp/usb ]; then echo dir /tmp/usb; fi\n"
                                "echo end\n";

struct Mount {
    std::string device;
    std::string type;
    std::vector<std::string> options;
    bool has_option(const std::string& option) const {
        for (const auto& o : options)
            if (o == option)
                return true;
        return false;
    }
};

// What a run left in the switch.
struct Leftovers {
    bool seen = false; // the look around ran to its end
    std::vector<Mount> mounts;
    bool mnt_usb = false;
    std::vector<std::string> mnt_usb_entries;
    bool tmp_usb = false;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

Leftovers parse_leftovers(const std::string& log) {
    Leftovers left;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("mount ", 0) == 0) {
            auto fields = split(line.substr(6), ' ');
            if (fields.size() >= 4)
                left.mounts.push_back({fields[0], fields[2], split(fields[3], ',')});
        } else if (line == "dir /mnt/usb") {
            left.mnt_usb = true;
        } else if (line.rfind("entry ", 0) == 0) {
            left.mnt_usb_entries.push_back(line.substr(6));
        } else if (line == "dir /tmp/usb") {
            left.tmp_usb = true;
        } else if (line == "end") {
            left.seen = true;
        }
    }
    return left;
}

// Whether this machine's kernel has the filesystem: built in or loaded, or
// as a module it loads on the first mount.
bool kernel_has_filesystem(const std::string& type) {
    for (const auto& line : split(read_file("/proc/filesystems"), '\n'))
        if (line.size() > type.size() && line.substr(line.size() - type.size()) == type &&
            line[line.size() - type.size() - 1] == '\t')
            return true;
    utsname name{};
    if (::uname(&name) != 0)
        return false;
    std::string aliases = read_file(std::string("/lib/modules/") + name.release + "/modules.alias");
    return aliases.find("\nalias fs-" + type + " ") != std::string::npos;
}

// The stick for cases where its filesystem does not matter: FAT as on most
// sticks, or ext2 on a kernel without FAT.
std::string any_filesystem() {
    return kernel_has_filesystem("vfat") ? "vfat" : "ext2";
}

class UsbMountTest : public VirtualSwitchTest {
  protected:
    void SetUp() override {
        VirtualSwitchTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_FALSE(usb_mount_path().empty()) << "usb-mount is not part of this build";
        for (const char* tool : {"mount", "umount"})
            vswitch().use_real_tool(tool);
    }

    void plug_in(const std::string& filesystem, bool partition_table = true) {
        UsbStickImage stick;
        stick.filesystem = filesystem;
        stick.partition_table = partition_table;
        ASSERT_TRUE(vswitch().use_usb_stick_image(stick))
            << "cannot make a " << (filesystem.empty() ? "blank" : filesystem) << " stick (mkfs."
            << filesystem << " missing?)";
    }

    // usb-mount started by the hot-plug mechanism with these arguments. A
    // stick in at power-on is already handled (mounted by usb-mount) when
    // `handled` is set, else left for this run.
    Outcome run(const std::vector<std::string>& args, bool handled = false,
                bool streams_to_files = true) {
        RunOptions options;
        options.program = usb_mount_path();
        options.args = args;
        options.handle_usb_at_power_on = handled;
        options.stdout_to_file = streams_to_files;
        options.stderr_to_file = streams_to_files;
        options.after = LOOK_AROUND;
        boot(options);
        Outcome outcome = wait_for_end(std::chrono::seconds(30), std::chrono::seconds(10));
        EXPECT_NE(outcome.ending, Ending::failed) << outcome.detail;
        left_ = parse_leftovers(read_file(after_log_path(vswitch())));
        EXPECT_TRUE(left_.seen) << "no look at the switch after the run:\n"
                                << read_file(after_log_path(vswitch()));
        return outcome;
    }

    const Leftovers& left() const { return left_; }
    std::string own_stdout() { return read_file(vswitch().dir() + "/stdout.log"); }
    std::string own_stderr() { return read_file(vswitch().dir() + "/stderr.log"); }

    void expect_exit(const Outcome& outcome, int code) {
        EXPECT_EQ(outcome.ending, Ending::exited) << ending_name(outcome.ending);
        EXPECT_EQ(outcome.code, code);
    }

    // The stick mounted as usb-mount leaves it: on /mnt/usb from the device,
    // with sync, and the sign /tmp/usb.
    void expect_mounted(const std::string& device, const std::string& type) {
        ASSERT_EQ(left().mounts.size(), 1u) << read_file(after_log_path(vswitch()));
        const Mount& mount = left().mounts[0];
        EXPECT_EQ(mount.device, device);
        EXPECT_EQ(mount.type, type);
        EXPECT_TRUE(mount.has_option("sync"))
            << split(read_file(after_log_path(vswitch())), '\n')[0];
        EXPECT_TRUE(mount.has_option("rw"));
        EXPECT_TRUE(left().tmp_usb);
    }

    // A failed mount: /mnt/usb made and left empty, no sign.
    void expect_empty_mount_point() {
        EXPECT_TRUE(left().mounts.empty()) << read_file(after_log_path(vswitch()));
        EXPECT_TRUE(left().mnt_usb);
        EXPECT_TRUE(left().mnt_usb_entries.empty());
        EXPECT_FALSE(left().tmp_usb);
    }

    // Nothing of the stick left: no mount, neither directory.
    void expect_nothing_left() {
        EXPECT_TRUE(left().mounts.empty()) << read_file(after_log_path(vswitch()));
        EXPECT_FALSE(left().mnt_usb);
        EXPECT_FALSE(left().tmp_usb);
    }

  private:
    Leftovers left_;
};

// ---- mounting a stick --------------------------------------------------------------------------

class StickFilesystemTest : public UsbMountTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        UsbMountTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure() && !kernel_has_filesystem(GetParam()))
            GTEST_SKIP() << "this machine's kernel cannot mount " << GetParam();
    }
};

TEST_P(StickFilesystemTest, PartitionedStickIsMountedFromItsFirstPartitionWithSync) {
    ASSERT_NO_FATAL_FAILURE(plug_in(GetParam(), true));
    Outcome outcome = run({"mount"});
    expect_exit(outcome, 0);
    EXPECT_EQ(console(), READY);
    // /dev/sda exists too; the partition is preferred, and the sign comes
    // only after the mount.
    EXPECT_EQ(shell_commands(), MOUNT_PARTITION);
    expect_mounted("/dev/sda1", GetParam());
    EXPECT_EQ(own_stdout(), "");
    EXPECT_EQ(own_stderr(), "");
}

TEST_P(StickFilesystemTest, StickWithoutPartitionTableIsMountedWhole) {
    ASSERT_NO_FATAL_FAILURE(plug_in(GetParam(), false));
    Outcome outcome = run({"mount"});
    expect_exit(outcome, 0);
    EXPECT_EQ(console(), READY);
    EXPECT_EQ(shell_commands(), MOUNT_DISK);
    expect_mounted("/dev/sda", GetParam());
    EXPECT_EQ(own_stdout(), "");
    EXPECT_EQ(own_stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Filesystems, StickFilesystemTest, ::testing::Values("vfat", "ext2"));

TEST_F(UsbMountTest, WithoutBlockDevicesItSaysSoAndLeavesTheMountPoint) {
    Outcome outcome = run({"mount"});
    expect_exit(outcome, 255);
    EXPECT_EQ(console(), NO_DEVICE);
    EXPECT_EQ(shell_commands(), Commands{"/bin/mkdir -p /mnt/usb"});
    expect_empty_mount_point();
    EXPECT_EQ(own_stdout(), "");
    EXPECT_EQ(own_stderr(), "");
}

class UnsupportedFilesystemTest : public UsbMountTest,
                                  public ::testing::WithParamInterface<bool> {};

TEST_P(UnsupportedFilesystemTest, FailedMountLeavesAnEmptyMountPointAndNoSign) {
    bool partition_table = GetParam();
    ASSERT_NO_FATAL_FAILURE(plug_in("", partition_table)); // blank: no filesystem any kernel knows
    Outcome outcome = run({"mount"});
    EXPECT_EQ(outcome.ending, Ending::exited);
    EXPECT_NE(outcome.code, 0);
    EXPECT_EQ(console(), CANNOT_MOUNT);
    EXPECT_EQ(shell_commands(),
              (Commands{"/bin/mkdir -p /mnt/usb", partition_table
                                                      ? "/bin/mount -o sync /dev/sda1 /mnt/usb"
                                                      : "/bin/mount -o sync /dev/sda /mnt/usb"}));
    expect_empty_mount_point();
    // mount's own complaint goes to the standard error usb-mount passed on;
    // usb-mount's message goes only to the console.
    EXPECT_EQ(own_stdout(), "");
    EXPECT_NE(own_stderr().find("/mnt/usb"), std::string::npos) << own_stderr();
    EXPECT_EQ(own_stderr().find("USB mount error"), std::string::npos) << own_stderr();
}

INSTANTIATE_TEST_SUITE_P(Layouts, UnsupportedFilesystemTest, ::testing::Bool(),
                         [](const auto& info) {
                             return info.param ? "partitioned" : "whole_disk";
                         });

// ---- unmounting ---------------------------------------------------------------------------------

TEST_F(UsbMountTest, UnmountRemovesTheSignThenUnmountsAndRemovesTheMountPoint) {
    ASSERT_NO_FATAL_FAILURE(plug_in(any_filesystem()));
    // At power-on the hot-plug mechanism ran usb-mount mount.
    Outcome outcome = run({"unmount"}, true);
    expect_exit(outcome, 0);
    EXPECT_EQ(console(), READY + DISCONNECTED);
    EXPECT_EQ(shell_commands(), MOUNT_PARTITION + UNMOUNT);
    expect_nothing_left();
    EXPECT_EQ(own_stdout(), "");
    EXPECT_EQ(own_stderr(), "");
}

TEST_F(UsbMountTest, UnmountWithNothingMountedGoesThroughEveryStep) {
    Outcome outcome = run({"unmount"});
    expect_exit(outcome, 0);
    EXPECT_EQ(console(), DISCONNECTED);
    EXPECT_EQ(shell_commands(), UNMOUNT);
    expect_nothing_left();
    // Each step failed (the tools said so on the inherited standard error);
    // usb-mount itself said nothing there.
    EXPECT_EQ(own_stdout(), "");
    EXPECT_NE(own_stderr().find("/tmp/usb"), std::string::npos) << own_stderr();
    EXPECT_EQ(own_stderr().find("USB device"), std::string::npos) << own_stderr();
}

// ---- arguments
// -----------------------------------------------------------------------------------

std::string case_name(const std::vector<std::string>& args) {
    if (args.empty())
        return "none";
    std::string name;
    for (const auto& arg : args) {
        name += name.empty() ? "" : "_";
        if (arg.empty())
            name += "empty";
        for (char c : arg)
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

class MountArgumentsTest : public UsbMountTest,
                           public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(MountArgumentsTest, Mounts) {
    ASSERT_NO_FATAL_FAILURE(plug_in(any_filesystem()));
    Outcome outcome = run(GetParam());
    expect_exit(outcome, 0);
    EXPECT_EQ(console(), READY);
    EXPECT_EQ(shell_commands(), MOUNT_PARTITION);
    expect_mounted("/dev/sda1", any_filesystem());
}

INSTANTIATE_TEST_SUITE_P(Arguments, MountArgumentsTest,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"mount", "extra"},
                                           std::vector<std::string>{"mount", "unmount"}),
                         [](const auto& info) { return case_name(info.param); });

class UnknownArgumentsTest : public UsbMountTest,
                             public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(UnknownArgumentsTest, SaysSoAndDoesNothingElse) {
    ASSERT_NO_FATAL_FAILURE(plug_in(any_filesystem()));
    // Mounted at power-on: an unknown argument neither unmounts nor mounts.
    Outcome outcome = run(GetParam(), true);
    expect_exit(outcome, 255);
    EXPECT_EQ(console(), READY + UNKNOWN);
    EXPECT_EQ(shell_commands(), MOUNT_PARTITION);
    expect_mounted("/dev/sda1", any_filesystem());
    EXPECT_EQ(own_stdout(), "");
    EXPECT_EQ(own_stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, UnknownArgumentsTest,
                         ::testing::Values(std::vector<std::string>{"unmount", "extra"},
                                           std::vector<std::string>{"Mount"},
                                           std::vector<std::string>{"UNMOUNT"},
                                           std::vector<std::string>{"umount"},
                                           std::vector<std::string>{"mount "},
                                           std::vector<std::string>{""}),
                         [](const auto& info) { return case_name(info.param); });

// ---- what it needs before anything else ------------------------------------------------------

class WithoutConsoleTest : public UsbMountTest,
                           public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(WithoutConsoleTest, ExitsWithoutAWordOrACommand) {
    vswitch().set_console_node(false);
    ASSERT_NO_FATAL_FAILURE(plug_in(any_filesystem()));
    // Standard output and error are the console terminal here: nothing may
    // reach it by any road.
    Outcome outcome = run(GetParam(), false, false);
    expect_exit(outcome, 255);
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(shell_commands().empty());
    expect_nothing_left();
}

INSTANTIATE_TEST_SUITE_P(Arguments, WithoutConsoleTest,
                         ::testing::Values(std::vector<std::string>{"mount"},
                                           std::vector<std::string>{"unmount"},
                                           std::vector<std::string>{"Mount"}),
                         [](const auto& info) { return case_name(info.param); });

TEST_F(UsbMountTest, WithoutCommandProcessorExitsWithoutAWordOrACommand) {
    vswitch().set_shell_available(false);
    ASSERT_NO_FATAL_FAILURE(plug_in(any_filesystem()));
    Outcome outcome = run({"mount"}, false, false);
    expect_exit(outcome, 255);
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(shell_commands().empty());
    expect_nothing_left();
}

TEST_F(UsbMountTest, CommandsDoNotGetTheConsoleDescriptor) {
    // A recording mount that lists where its open descriptors lead.
    vswitch().set_config("real_tools", "");
    vswitch().set_tool_effect("mount", "ls -l /proc/$$/fd/ > /.vswitch/board/mount-fds");
    ASSERT_NO_FATAL_FAILURE(plug_in(any_filesystem()));
    Outcome outcome = run({"mount"});
    expect_exit(outcome, 0);
    EXPECT_EQ(console(), READY);
    std::string descriptors = read_file(vswitch().dir() + "/mount-fds");
    // The standard streams are passed on; the console descriptor is not.
    EXPECT_NE(descriptors.find(" 2 -> /.vswitch/board/stderr.log"), std::string::npos)
        << descriptors;
    EXPECT_EQ(descriptors.find("/dev/console"), std::string::npos) << descriptors;
}

// ---- the shipped mdev rules ---------------------------------------------------------------------

#ifndef USB_MOUNT_SOURCE_DIR
#define USB_MOUNT_SOURCE_DIR "."
#endif

// One rule of an mdev.conf: the device name pattern and its command with the
// mark of when it runs ('@' after the node appears, '$' before it goes, '*'
// both).
struct MdevRule {
    std::regex name;
    char when = 0;
    std::string command;
};

std::vector<MdevRule> read_mdev_rules(const std::string& path) {
    std::vector<MdevRule> rules;
    for (const auto& line : split(read_file(path), '\n')) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream in(line);
        std::string pattern, owner, mode;
        in >> pattern >> owner >> mode;
        std::string rest;
        std::getline(in >> std::ws, rest);
        MdevRule rule{std::regex(pattern), 0, ""};
        if (!rest.empty() && std::string("@$*").find(rest[0]) != std::string::npos) {
            rule.when = rest[0];
            rule.command = rest.substr(1);
        }
        rules.push_back(rule);
    }
    return rules;
}

std::string single_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A script that plays mdev for the kernel's events: the first rule whose
// pattern matches the whole name handles the event; its command runs through
// the shell with ACTION and MDEV set, when its mark says so.
std::string mdev_events(const std::vector<MdevRule>& rules,
                        const std::vector<std::pair<std::string, std::string>>& events) {
    std::string script;
    for (const auto& [name, action] : events) {
        for (const auto& rule : rules) {
            if (!std::regex_match(name, rule.name))
                continue;
            bool runs = rule.when == '*' || (rule.when == '@' && action == "add") ||
                        (rule.when == '$' && action == "remove");
            if (runs)
                script += "ACTION=" + action + " MDEV=" + name + " /bin/sh -c " +
                          single_quoted(rule.command) + "\n";
            break;
        }
    }
    return script;
}

class MdevRulesTest : public UsbMountTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MdevRulesTest, OneStickGivesOneMountAndOneUnmount) {
    bool partition_table = GetParam();
    ASSERT_NO_FATAL_FAILURE(plug_in(any_filesystem(), partition_table));
    auto rules = read_mdev_rules(USB_MOUNT_SOURCE_DIR "/mdev.conf");
    ASSERT_FALSE(rules.empty());
    // The kernel's order: the disk after its partition table was read, then
    // the partition; on removal the partition first.
    std::vector<std::pair<std::string, std::string>> plug = {{"sda", "add"}};
    std::vector<std::pair<std::string, std::string>> pull = {{"sda", "remove"}};
    if (partition_table) {
        plug.push_back({"sda1", "add"});
        pull.insert(pull.begin(), {"sda1", "remove"});
    }
    RunOptions options;
    options.program = "/bin/bash";
    options.args = {"-c", mdev_events(rules, plug) +
                              "grep ' /mnt/usb ' /proc/mounts > /.vswitch/board/plugged\n" +
                              mdev_events(rules, pull)};
    options.handle_usb_at_power_on = false;
    options.stdout_to_file = true;
    options.stderr_to_file = true;
    options.after = LOOK_AROUND;
    boot(options);
    EXPECT_EQ(wait_for_end().ending, Ending::exited);
    EXPECT_EQ(console(), READY + DISCONNECTED);
    std::string plugged = read_file(vswitch().dir() + "/plugged");
    EXPECT_EQ(plugged.rfind(partition_table ? "/dev/sda1 /mnt/usb " : "/dev/sda /mnt/usb ", 0), 0u)
        << plugged;
    EXPECT_EQ(std::count(plugged.begin(), plugged.end(), '\n'), 1) << plugged;
    EXPECT_EQ(read_file(vswitch().dir() + "/stderr.log"), "");
    EXPECT_EQ(parse_leftovers(read_file(after_log_path(vswitch()))).mounts.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MdevRulesTest, ::testing::Bool(), [](const auto& info) {
    return info.param ? "partitioned" : "whole_disk";
});

} // namespace
} // namespace vswitch
