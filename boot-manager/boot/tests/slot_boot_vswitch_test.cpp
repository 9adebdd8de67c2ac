// The boot road with the boot-manager binary on the virtual switch: slot
// choice and fall-back, the unpack with the real tar, the install script and
// environment, the debuggers and the hand-over. Images come from the image
// tool, the Application OS archive from the demo's sample tree.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

// Slots 1 and 2 ('-' none, else a kind of image), the boot slot in NVRAM, the
// boot loader's environment, the console texts in this order, the outcome
// (standard error, running image, the start, the last shell commands), the
// keys typed after the console text of the same place.
struct Row {
    const char *name, *images;
    int nvram_slot;
    std::vector<std::string> env, console;
    std::string outcome;
    std::vector<std::string> keys = {};
    bool without_starter = false;                                 // no /bin/backtrace on the switch
    std::vector<std::pair<std::string, std::string>> faults = {}; // file switch, the path it names
};

// clang-format off
const std::string VERIFIED = " Image signature verified. \nUnpacking image:     ", RESCUE = "Entering Rescue Mode.\n";
const std::string INSTALLED = "Running install script\nApplication OS install script: installing switch software 1.2.3\n";
const std::string STARTED = "/bin/backtrace APPOS_VERSION=1.2.3 APPOS_READY=\n$ /bin/mount /dev/mmcblk0p1 /user\n$ cd /tmp \ntar mxzf /tmp/kopraimage.tar.gz \nrm /tmp/kopraimage.tar.gz\n$ /tmp/home/bin/install.sh\n";
const std::string RESCUED = "running 255\n$ /sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null\n$ /bin/mount /dev/mmcblk0p1 /user\n$ reboot\n";
const std::string GDB_RUN = "$ /tmp/gdb /tmp/home/bin/mp.elf.strip\n$ reboot\n", DHCP = "Confirm: Use DHCP for network configuration? y/N: ";
const std::string GDB = "*** Launching under GDB ***\ndebugger ran on /tmp/home/bin/mp.elf.strip\n";
// Payload, type, header version and signing key of each kind; a debugger image carries no signature: nothing checks it.
const std::map<char, std::vector<std::string>> KINDS = {
    {'g', {"appos.tar.gz", "application", "3", PRODUCTION_SIGNING_KEY_FILE}}, {'s', {"appos.tar.gz", "application", "3", STRANGER_SIGNING_KEY_FILE}},
    {'k', {"appos.tar.gz", "kernel", "3", PRODUCTION_SIGNING_KEY_FILE}}, {'d', {"appos.tar.gz", "diag-application", "3", PRODUCTION_SIGNING_KEY_FILE}},
    {'2', {"gdb.gz", "application", "2", ""}}, {'3', {"gdb.gz", "application", "3", ""}}};
// clang-format on

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class BootRoad : public VirtualSwitchTest, public ::testing::WithParamInterface<Row> {};

TEST_P(BootRoad, ConsoleCommandsAndHandOver) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    const Row& row = GetParam();
    const std::string dir = vswitch().dir() + "/";
    const auto run = [](const std::vector<std::string>& argv) {
        EXPECT_TRUE(platform::command_succeeded(platform::run_program(argv))) << argv[2];
    };
    write_file(dir + "mpdiag.elf.strip", "diagnostics program\n");
    write_file(dir + "gdb", "#!/bin/sh\necho \"debugger ran on $1\"\n");
    run({"tar", "-czf", dir + "appos.tar.gz", "--mode=0755", "-C", SAMPLES_DIR "/appos", "home",
         "-C", dir, "mpdiag.elf.strip"});
    run({"gzip", "-nkf", dir + "gdb"});
    for (int slot : {1, 2}) {
        if (row.images[slot - 1] == '-')
            continue;
        const auto& kind = KINDS.at(row.images[slot - 1]);
        run({SWIMAGE, "create", dir + "out.img", "--payload", dir + kind[0], "--type", kind[1],
             "--header-version", kind[2], "--sign", kind[3]});
        vswitch().write_user_file("images/image" + std::to_string(slot),
                                  read_file(dir + "out.img"));
    }
    board().set_nvram_byte(NVRAM_BOOT_SLOT, static_cast<uint8_t>(row.nvram_slot));
    vswitch().set_bootloader_env(row.env);
    if (row.without_starter)
        vswitch().remove_tool("backtrace");
    for (const auto& [name, path] : row.faults)
        write_file(board().path("faults/" + name), path + "\n");
    RunOptions options;
    options.stderr_to_file = true;
    boot(options);
    for (size_t i = 0; i < row.console.size(); ++i) {
        ASSERT_TRUE(expect_console(row.console[i])) << console();
        if (i < row.keys.size() && !row.keys[i].empty()) {
            // The boot manager reads keys raw, the shell whole lines.
            ASSERT_TRUE(row.keys[i] == "exit\n" ||
                        test_support::wait_for_raw_mode(current_run().console_fd()));
            send_keys(row.keys[i]);
        }
    }
    EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
    std::string outcome = read_file(dir + "stderr.log") + "running " +
                          std::to_string(board().nvram_byte(NVRAM_RUNNING_IMAGE)) + "\n";
    if (auto start = vswitch().application_os_start()) {
        outcome += start->argv.at(0);
        for (const char* name : {"APPOS_VERSION", "APPOS_READY"})
            if (auto it = start->environment.find(name); it != start->environment.end())
                outcome += " " + it->first + "=" + it->second;
        outcome += "\n";
    }
    const auto commands = shell_commands();
    for (size_t i = commands.size() < 3 ? 0 : commands.size() - 3; i < commands.size(); ++i)
        outcome += "$ " + commands[i] + (commands[i].back() == '\n' ? "" : "\n");
    EXPECT_EQ(outcome, row.outcome);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Boots, BootRoad, ::testing::Values(
    Row{"slot1_missing", "-g", 1, {}, {"Booting image '1'\n" + VERIFIED}, "Failed to open Application image 1. Trying image 2.\nrunning 2\n" + STARTED},
    Row{"slot2_missing", "g-", 2, {}, {"Booting image '2'\n" + VERIFIED}, "Failed to open Application image 2. Trying image 1.\nrunning 1\n" + STARTED},
    Row{"refused_then_failover", "sg", 1, {}, {" Image rejected. Image has invalid signature. Quitting\nBooting image '2'\n" + VERIFIED}, "running 2\n" + STARTED},
    Row{"both_missing", "--", 1, {}, {"Booting image '1'\n" + RESCUE, "Option? : "}, "Failed to open Application image 1. Trying image 2.\nFailed to open Application image 2.\n" + RESCUED, {"", "E"}},
    Row{"nothing_bootable", "kk", 1, {}, {"Booting image '2'\n" + RESCUE, "Option? : "}, "Image1 has invalid header... trying Image2.\nNo valid application image found. Trying rescue image\n" + RESCUED, {"", "E"}},
    Row{"diagnostics", "d-", 1, {}, {"100%\ninstall diags image\nRunning install script\nApplication OS install script: installing diagnostics program\n"}, "running 1\n/bin/backtrace APPOS_VERSION=1.2.3 APPOS_READY=\n$ mkdir -p /tmp/home/bin\n$ mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip\n$ /tmp/home/bin/install.sh\n"},
    Row{"shell_then_gdbserver", "g-", 1, {"shell=on", "gdbserver=on", "gdbport=2345"}, {DHCP, INSTALLED + "Dropping into shell\n", "Dropping out of shell\n"}, "running 1\n$ /bin/sh\n$ /bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\n$ reboot\n", {"\x03", "exit\n"}},
    Row{"gdb_without_debugger", "gg", 1, {"gdb=on"}, {"Extracting GDB from image slot 2\nFound GDB image 2 of length = ", "decompressing GDB....\n", INSTALLED + "**** GDB mode selected but GDB not available. Please install GDB image ***\n"}, "Unexpected format for GDB image.\nrunning 1\n/bin/backtrace APPOS_VERSION=1.2.3 APPOS_READY=\n$ rm /tmp/gdb\n$ cd /tmp \ntar mxzf /tmp/kopraimage.tar.gz \nrm /tmp/kopraimage.tar.gz\n$ /tmp/home/bin/install.sh\n"},
    Row{"exec_failure", "g-", 1, {}, {INSTALLED}, "Failed to start Application OS.\nrunning 1\n$ cd /tmp \ntar mxzf /tmp/kopraimage.tar.gz \nrm /tmp/kopraimage.tar.gz\n$ /tmp/home/bin/install.sh\n$ reboot\n", {}, true},
    Row{"gdb_v2", "g2", 1, {"gdb=on"}, {"100%\n", INSTALLED + GDB}, "running 1\n$ /tmp/home/bin/install.sh\n" + GDB_RUN},
    Row{"gdb_v3", "3g", 2, {"gdb=on"}, {"Extracting GDB from image slot 1\n", GDB}, "running 2\n$ /tmp/home/bin/install.sh\n" + GDB_RUN},
    // Files that fail (faults/file-*): the boot goes on from what the failure left.
    Row{"image_read_fails", "gg", 1, {}, {"Booting image '1'\nBooting image '2'\n" + VERIFIED}, "Image1 has invalid header... trying Image2.\nrunning 2\n" + STARTED, {}, false, {{"file-eio", "/user/images/image1"}}},
    Row{"key_file_not_written", "gg", 1, {}, {"Creating system key....\nERROR creating file /user/production_key.pub.pem\nERROR - unable to find system key\nWARNING - problem with security keys. No keys found\n", "Booting image '2'\n"}, RESCUED, {}, false, {{"file-eio", "/user/production_key.pub.pem"}}},
    Row{"key_file_not_created", "gg", 1, {}, {"Creating system key....\nERROR creating file /user/production_key.pub.pem\nERROR - unable to find system key\nWARNING - problem with security keys. No keys found\n", "Booting image '2'\n"}, RESCUED, {}, false, {{"file-missing", "/user/production_key.pub.pem"}}},
    Row{"archive_not_created", "gg", 1, {}, {"Booting image '1'\n"}, "Failed to open application image output file.\n" + RESCUED, {}, false, {{"file-missing", "/tmp/kopraimage.tar.gz"}}},
    // A failed unpack is not looked at: tar finds a short archive and the starter runs all the same.
    Row{"archive_on_full_tmp", "gg", 1, {}, {"Unpacking image:     File write failed (err 28: bytes_written 0, len "}, "\ngzip: stdin: unexpected end of file\ntar: Child returned status 1\ntar: Error is not recoverable: exiting now\nrunning 1\n/bin/backtrace\n$ /sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null\n$ /bin/mount /dev/mmcblk0p1 /user\n$ cd /tmp \ntar mxzf /tmp/kopraimage.tar.gz \nrm /tmp/kopraimage.tar.gz\n", {}, false, {{"file-enospc", "/tmp/kopraimage.tar.gz"}}},
    Row{"env_file_read_fails", "gg", 1, {}, {INSTALLED}, "running 1\n/bin/backtrace\n" + STARTED.substr(STARTED.find('$')), {}, false, {{"file-eio", "/tmp/home/bin/env-setup"}}},
    Row{"env_file_missing", "gg", 1, {}, {INSTALLED}, "running 1\n/bin/backtrace\n" + STARTED.substr(STARTED.find('$')), {}, false, {{"file-missing", "/tmp/home/bin/env-setup"}}},
    Row{"gdb_image_read_fails", "g2", 1, {"gdb=on"}, {"Extracting GDB from image slot 2\n"}, "Image has invalid header 0x0\nrunning 1\n" + STARTED, {}, false, {{"file-eio", "/user/images/image2"}}},
    Row{"gdb_file_not_created", "g2", 1, {"gdb=on"}, {"Extracting GDB from image slot 2\n"}, "Failed to open GDB output file.\nrunning 1\n" + STARTED, {}, false, {{"file-missing", "/tmp/gdb.gz"}}},
    Row{"gdb_on_full_tmp", "g2", 1, {"gdb=on"}, {"Found GDB image 2 of length = ", INSTALLED + "**** GDB mode selected but GDB not available. Please install GDB image ***\n"}, "Failed to open GDB output file.\nrunning 1\n" + STARTED, {}, false, {{"file-enospc", "/tmp/gdb.gz"}}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
} // namespace vswitch
