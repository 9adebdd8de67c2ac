// The boot road with the boot-manager binary on the virtual switch: slot
// choice and fall-back, the unpack with the real tar, the install script and
// environment, the debuggers and the hand-over. Images come from the image
// tool, the Application OS archive from the demo's sample tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

enum Image { none, good, stranger, kernel_only, diagnostics, debugger_v2, debugger_v3 };

struct Row {
    const char* name;
    Image image1, image2;
    int nvram_slot;
    std::vector<std::string> env;
    std::vector<std::string> console; // in this order
    std::string stderr_text;
    int running_image;                           // 0xFF: not written
    bool started;                                // the Application OS starter ran
    std::vector<std::string> last_commands = {}; // the shell's last command lines
    bool without_starter = false;                // no /bin/backtrace on the switch
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

const std::string VERIFIED = " Image signature verified. \nUnpacking image:     ";
const std::string INSTALLED =
    "Running install script\nApplication OS install script: installing switch software 1.2.3\n";
const std::string GDB_RUN = "/tmp/gdb /tmp/home/bin/mp.elf.strip";
const std::string RESCUE = "Entering Rescue Mode.\n", OPTION = "Option? : ";
const std::string DHCP = "Confirm: Use DHCP for network configuration? y/N: ";
const std::pair<std::string, std::string> ANSWERS[] = {
    {"Dropping into shell\n", "exit\n"}, {OPTION, "E"}, {DHCP, "\x03"}};
const std::string NO_GDB =
    "**** GDB mode selected but GDB not available. Please install GDB image ***\n";

class BootRoad : public VirtualSwitchTest, public ::testing::WithParamInterface<Row> {
  protected:
    void run(const std::vector<std::string>& argv) {
        EXPECT_TRUE(platform::command_succeeded(platform::run_program(argv))) << argv[2];
    }
    // The sample archive as an image of the given kind.
    std::string image(Image kind) {
        const std::string dir = vswitch().dir() + "/", archive = dir + "appos.tar.gz";
        write_file(dir + "mpdiag.elf.strip", "diagnostics program\n");
        write_file(dir + "gdb", "#!/bin/sh\necho \"debugger ran on $1\"\n");
        run({"tar", "-czf", archive, "--mode=0755", "-C", SAMPLES_DIR "/appos", "home", "-C", dir,
             "mpdiag.elf.strip"});
        run({"gzip", "-nkf", dir + "gdb"});
        const char* type = kind == diagnostics   ? "diag-application"
                           : kind == kernel_only ? "kernel"
                                                 : "application";
        const bool debugger = kind == debugger_v2 || kind == debugger_v3;
        // A debugger image carries no signature: nothing checks it.
        run({SWIMAGE, "create", dir + "out.img", "--payload", debugger ? dir + "gdb.gz" : archive,
             "--type", type, "--header-version", kind == debugger_v2 ? "2" : "3", "--sign",
             debugger           ? ""
             : kind == stranger ? STRANGER_SIGNING_KEY_FILE
                                : PRODUCTION_SIGNING_KEY_FILE});
        return read_file(dir + "out.img");
    }
};

TEST_P(BootRoad, ConsoleCommandsAndHandOver) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    const Row& row = GetParam();
    for (int slot : {1, 2})
        if (Image kind = slot == 1 ? row.image1 : row.image2; kind != none)
            vswitch().write_user_file("images/image" + std::to_string(slot), image(kind));
    board().set_nvram_byte(NVRAM_BOOT_SLOT, static_cast<uint8_t>(row.nvram_slot));
    vswitch().set_bootloader_env(row.env);
    if (row.without_starter)
        vswitch().remove_tool("backtrace");
    RunOptions options;
    options.stderr_to_file = true;
    boot(options);
    for (const auto& text : row.console) {
        ASSERT_TRUE(expect_console(text)) << read_file(vswitch().dir() + "/stderr.log");
        // The operator leaves the shell, the rescue menu and the port dialogue.
        for (const auto& [prompt, keys] : ANSWERS) {
            if (text.size() >= prompt.size() &&
                text.compare(text.size() - prompt.size(), prompt.size(), prompt) == 0) {
                // The shell reads whole lines; the boot manager reads keys raw.
                if (keys != "exit\n") {
                    ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
                }
                send_keys(keys);
            }
        }
    }
    EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
    EXPECT_EQ(read_file(vswitch().dir() + "/stderr.log"), row.stderr_text);
    EXPECT_EQ(board().nvram_byte(NVRAM_RUNNING_IMAGE), row.running_image);
    auto start = vswitch().application_os_start();
    ASSERT_EQ(start.has_value(), row.started) << console();
    const auto commands = shell_commands();
    ASSERT_GE(commands.size(), row.last_commands.size());
    EXPECT_EQ(std::vector<std::string>(commands.end() - static_cast<long>(row.last_commands.size()),
                                       commands.end()),
              row.last_commands);
    if (!row.started) {
        EXPECT_EQ(commands.back(), "reboot");
        return;
    }
    EXPECT_EQ(start->argv, std::vector<std::string>{"/bin/backtrace"});
    EXPECT_EQ(start->environment["APPOS_VERSION"], "1.2.3");
    EXPECT_EQ(start->environment.count("APPOS_READY"), 1u);
    EXPECT_EQ(start->environment["APPOS_READY"], "");
    EXPECT_NE(std::find(commands.begin(), commands.end(),
                        "cd /tmp \ntar mxzf /tmp/kopraimage.tar.gz \nrm /tmp/kopraimage.tar.gz\n"),
              commands.end());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Slots, BootRoad, ::testing::Values(
    Row{"slot1", good, none, 1, {}, {"Booting image '1'\n" + VERIFIED, "100%\n" + INSTALLED}, "", 1, true},
    Row{"slot1_missing", none, good, 1, {}, {"Booting image '1'\n" + VERIFIED}, "Failed to open Application image 1. Trying image 2.\n", 2, true},
    Row{"slot2_missing", good, none, 2, {}, {"Booting image '2'\n" + VERIFIED}, "Failed to open Application image 2. Trying image 1.\n", 1, true},
    Row{"refused_then_failover", stranger, good, 1, {}, {" Image rejected. Image has invalid signature. Quitting\nBooting image '2'\n" + VERIFIED}, "", 2, true},
    Row{"both_missing", none, none, 1, {}, {"Booting image '1'\n" + RESCUE, OPTION}, "Failed to open Application image 1. Trying image 2.\nFailed to open Application image 2.\n", 0xFF, false, {"reboot"}},
    Row{"nothing_bootable", kernel_only, kernel_only, 1, {}, {"Booting image '2'\n" + RESCUE, OPTION}, "Image1 has invalid header... trying Image2.\nNo valid application image found. Trying rescue image\n", 0xFF, false},
    Row{"diagnostics", diagnostics, none, 1, {}, {"100%\ninstall diags image\nRunning install script\nApplication OS install script: installing diagnostics program\n"}, "", 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Launch, BootRoad, ::testing::Values(
    Row{"shell_then_gdbserver", good, none, 1, {"shell=on", "gdbserver=on", "gdbport=2345"}, {DHCP, INSTALLED + "Dropping into shell\n", "Dropping out of shell\n"}, "", 1, false, {"/bin/sh\n", "/bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\n", "reboot"}},
    Row{"gdb_without_debugger", good, good, 1, {"gdb=on"}, {"Extracting GDB from image slot 2\nFound GDB image 2 of length = ", "decompressing GDB....\n", INSTALLED + NO_GDB}, "Unexpected format for GDB image.\n", 1, true},
    Row{"exec_failure", good, none, 1, {}, {INSTALLED}, "Failed to start Application OS.\n", 1, false, {"reboot"}, true},
    Row{"gdb_v2", good, debugger_v2, 1, {"gdb=on"}, {"100%\n", INSTALLED + "*** Launching under GDB ***\ndebugger ran on /tmp/home/bin/mp.elf.strip\n"}, "", 1, false, {GDB_RUN, "reboot"}},
    Row{"gdb_v3", debugger_v3, good, 2, {"gdb=on"}, {"Extracting GDB from image slot 1\n", "*** Launching under GDB ***\ndebugger ran on /tmp/home/bin/mp.elf.strip\n"}, "", 2, false, {GDB_RUN, "reboot"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
} // namespace vswitch
