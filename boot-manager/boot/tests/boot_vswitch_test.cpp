// The start-up road with the boot-manager binary on the virtual switch: slot
// choice and fall-back, the unpack with the real tar, the install script and
// environment, the debuggers and the hand-over; the USB phase with usb-mount
// mounting a real stick (an ext2 disk image on a loop device) across reboots;
// power cuts while start-up installs from the stick. Images come from the
// image tool, the Application OS archive from the demo's sample tree.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "boot/usb_images.h"
#include "signed_images.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

constexpr uint16_t NVRAM_IMAGE1_TIME = 0x0108; // 7 bytes, written after the boot slot

class BootScenario : public VirtualSwitchTest {
  protected:
    void SetUp() override {
        VirtualSwitchTest::SetUp();
        if (!*PRODUCTION_SIGNING_KEY_FILE || !*DEVELOPMENT_SIGNING_KEY_FILE)
            GTEST_SKIP() << "the build was given public keys without their private halves";
    }
    // The sample Application OS archive `name`, with a file of the switch's
    // directory added if given; its path.
    std::string archive(const std::string& name, const std::string& extra = "") {
        const std::string dir = vswitch().dir() + "/";
        std::vector<std::string> argv = {
            "tar", "-czf", dir + name, "--mode=0755", "-C", SAMPLES_DIR "/appos", "home"};
        if (!extra.empty())
            argv.insert(argv.end(), {"-C", dir, extra});
        test_support::run_ok(argv);
        return dir + name;
    }
    // A signed image whose payload ends in `filler` random bytes of `seed`.
    std::string image(const char* type, const std::string& version, unsigned seed, size_t filler) {
        const std::string dir = vswitch().dir() + "/", name = dir + "v" + version;
        std::mt19937 random(seed);
        std::string bytes(filler, '\0');
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
        write_file(dir + "filler", bytes);
        return test_support::swimage_create(
            SWIMAGE, name + ".img",
            std::string(type) == "kernel" ? dir + "filler"
                                          : archive("v" + version + ".tgz", "filler"),
            {"--type", type, "--version", version, "--sign", PRODUCTION_SIGNING_KEY_FILE});
    }
    // One power-on with the image on the stick under `name`, cut by `arm` (if any).
    void cut_run(const char* name, const std::string& bytes,
                 const std::function<void(Board&)>& arm) {
        board().set_nvram_byte(NVRAM_USB_BOOT, 0xD5); // USB handling on
        vswitch().set_usb_stick(true);
        vswitch().write_usb_file(name, bytes);
        if (arm)
            arm(board());
        boot();
        EXPECT_EQ(wait_for_end().ending, arm ? Ending::signalled : Ending::exited) << console();
        EXPECT_EQ(board().power_cut().empty(), !arm) << console();
    }
};
using PowerCut = BootScenario;
using UsbPhase = BootScenario;

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
struct Kind { const char *payload, *type, *header_version, *key; };
const std::map<char, Kind> KINDS = {
    {'g', {"appos.tar.gz", "application", "3", PRODUCTION_SIGNING_KEY_FILE}}, {'s', {"appos.tar.gz", "application", "3", STRANGER_SIGNING_KEY_FILE}},
    {'k', {"appos.tar.gz", "kernel", "3", PRODUCTION_SIGNING_KEY_FILE}}, {'d', {"appos.tar.gz", "diag-application", "3", PRODUCTION_SIGNING_KEY_FILE}},
    {'v', {"appos.tar.gz", "application", "3", DEVELOPMENT_SIGNING_KEY_FILE}}, {'2', {"gdb.gz", "application", "2", ""}}, {'3', {"gdb.gz", "application", "3", ""}}};
// clang-format on

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class BootRoad : public BootScenario, public ::testing::WithParamInterface<Row> {};

TEST_P(BootRoad, ConsoleCommandsAndHandOver) {
    const Row& row = GetParam();
    const std::string dir = vswitch().dir() + "/";
    write_file(dir + "mpdiag.elf.strip", "diagnostics program\n");
    write_file(dir + "gdb", "#!/bin/sh\necho \"debugger ran on $1\"\n");
    archive("appos.tar.gz", "mpdiag.elf.strip");
    test_support::run_ok({"gzip", "-nkf", dir + "gdb"});
    for (int slot : {1, 2})
        if (const auto k = KINDS.find(row.images[slot - 1]); k != KINDS.end())
            vswitch().write_user_file(
                "images/image" + std::to_string(slot),
                test_support::swimage_create(SWIMAGE, dir + "out.img", dir + k->second.payload,
                                             {"--type", k->second.type, "--header-version",
                                              k->second.header_version, "--sign", k->second.key}));
    board().set_nvram_byte(NVRAM_BOOT_SLOT, static_cast<uint8_t>(row.nvram_slot));
    vswitch().set_bootloader_env(row.env);
    if (row.without_starter)
        vswitch().remove_tool("backtrace");
    for (const auto& [name, path] : row.faults)
        board().fail_file(name, path);
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
    // The switch's root filesystem partition holds no signed one: developer images.
    Row{"developer_signed", "v-", 1, {}, {"Booting image '1'\n\nNOTE - developer images operational. Checking developer keys....\n" + VERIFIED}, "running 1\n" + STARTED},
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
    // An archive cut short is never started: both slots fail on a full /tmp, nothing runs, the board restarts.
    Row{"archive_on_full_tmp", "gg", 1, {}, {"Unpacking image:     File write failed (err 28: bytes_written 0, len ", "Booting image '2'\n", "Unpacking image:     File write failed (err 28: "}, "running 255\n$ /sbin/e2fsck -p /dev/mmcblk0p1 &> /dev/null\n$ /bin/mount /dev/mmcblk0p1 /user\n$ reboot\n", {}, false, {{"file-enospc", "/tmp/kopraimage.tar.gz"}}},
    Row{"env_file_read_fails", "gg", 1, {}, {INSTALLED}, "running 1\n/bin/backtrace\n" + STARTED.substr(STARTED.find('$')), {}, false, {{"file-eio", "/tmp/home/bin/env-setup"}}},
    Row{"env_file_missing", "gg", 1, {}, {INSTALLED}, "running 1\n/bin/backtrace\n" + STARTED.substr(STARTED.find('$')), {}, false, {{"file-missing", "/tmp/home/bin/env-setup"}}},
    Row{"gdb_image_read_fails", "g2", 1, {"gdb=on"}, {"Extracting GDB from image slot 2\n"}, "Image has invalid header 0x0\nrunning 1\n" + STARTED, {}, false, {{"file-eio", "/user/images/image2"}}},
    Row{"gdb_image_not_opened", "g2", 1, {"gdb=on"}, {"Extracting GDB from image slot 2\n"}, "Failed to open GDB image (from slot 2)\nrunning 1\n" + STARTED, {}, false, {{"file-missing", "/user/images/image2"}}},
    Row{"gdb_file_not_created", "g2", 1, {"gdb=on"}, {"Extracting GDB from image slot 2\n"}, "Failed to open GDB output file.\nrunning 1\n" + STARTED, {}, false, {{"file-missing", "/tmp/gdb.gz"}}},
    Row{"gdb_on_full_tmp", "g2", 1, {"gdb=on"}, {"Found GDB image 2 of length = ", INSTALLED + "**** GDB mode selected but GDB not available. Please install GDB image ***\n"}, "Failed to open GDB output file.\nrunning 1\n" + STARTED, {}, false, {{"file-enospc", "/tmp/gdb.gz"}}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(UsbPhase, InstallsAndBootsFromTheStickAcrossReboots) {
    const std::string dir = vswitch().dir() + "/", appos = archive("appos.tar.gz");
    // Signed images of the sample Application OS ("<kind>.img"): B as a kernel, S by a stranger.
    for (char kind : std::string("OB21S"))
        test_support::swimage_create(
            SWIMAGE, dir + kind + ".img", appos,
            {"--type", kind == 'B' ? "kernel" : "application", "--version",
             "1.0.0." + std::to_string(kind), "--sign",
             kind == 'S' ? STRANGER_SIGNING_KEY_FILE : PRODUCTION_SIGNING_KEY_FILE});
    vswitch().use_real_tool("mount");
    vswitch().write_user_file("images/image1", read_file(dir + "O.img"));
    board().set_nvram_byte(NVRAM_USB_BOOT, 0xD5);
    // The slot-2 replacement is on the rejected list.
    char digest[IMAGE_MD5_TEXT_SIZE];
    ASSERT_TRUE(image_md5((dir + "2.img").c_str(), digest));
    vswitch().write_user_file(std::string("images/rejected/") + digest, "");
    // The stranger's image cannot be entered on the list: it is tried all the same.
    char stranger[IMAGE_MD5_TEXT_SIZE];
    ASSERT_TRUE(image_md5((dir + "S.img").c_str(), stranger));
    board().fail_file("file-missing", std::string("/user/images/rejected/") + stranger);
    // A fresh stick with these images (kind, name) before the boot, the keys
    // typed while the rejected-list question waits, the console texts in
    // this order, the running image in NVRAM afterwards (0xFF: the board
    // rebooted).
    // clang-format off
    const std::tuple<std::vector<std::pair<char, const char*>>, const char*, std::vector<std::string>, int> boots[] = {
        {{}, "", {"seconds.\n..........USB mount timed out\nBooting image '1'\n"}, 1}, // no stick: the wait times out
        {{{'B', USB_BOOT_IMAGE}, {'2', USB_REPLACE2_IMAGE}, {'1', USB_REPLACE1_IMAGE}}, "", {"seconds.\nUSB mounted and ready!\nBoot image found on USB.\n", "installed from USB at "}, 0xFF},
        {{}, "y\n", {"Boot image found on USB.\n", "(y/n) y\nContinuing with replacement USB image...\n", "Image2 has been successfully replaced\n", "Image1 has been successfully replaced\nUSB replacement image: board will boot with image1.\nBooting image '1'\n"}, 1},
        {{}, "n\n", {"image2 found\nReplacement USB image is in rejected list.\nWould you still like to load it? (y/n) n\nBooting image '1'\n"}, 1},
        {{{'S', USB_OS_IMAGE}}, "", {"No boot image found on USB.\nBooting image 'QTX5150_OS.img' from USB stick.\n", "USB Boot failed. Trying flash images.\nBooting image '1'\n"}, 1},
    };
    // clang-format on
    for (const auto& [plug, keys, texts, running_image] : boots) {
        ASSERT_TRUE(plug.empty() ||
                    vswitch().use_usb_stick_image(UsbStickImage{false, "ext2", 16}));
        for (const auto& [kind, name] : plug)
            test_support::run_ok({"debugfs", "-w", "-R", "write " + dir + kind + ".img " + name,
                                  vswitch().usb_stick_image()});
        RunOptions options;
        // The question waits 5 s from about 4 s after power-on.
        options.timed_keys = {{std::chrono::milliseconds(6500), keys}};
        board().set_nvram_byte(NVRAM_RUNNING_IMAGE, 0xFF);
        boot(options);
        for (const auto& text : texts)
            ASSERT_TRUE(expect_console(text));
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
        EXPECT_EQ(board().nvram_byte(NVRAM_RUNNING_IMAGE), running_image) << console();
    }
    EXPECT_FALSE(vswitch().read_user_file(std::string("images/rejected/") + stranger).has_value());
    // Entries for the boot image and both slots.
    EXPECT_EQ(
        test_support::split(vswitch().read_user_file("install.log").value_or(""), '\n').size(), 3u);
}

// Whatever the moment of the cut, slot 1 holds its old image or the new one
// whole (the new one once renamed into place), slot 2 is untouched, the image
// timestamp in NVRAM holds old or new bytes (new ones from the first), and the
// next power-on boots slot 1 to the Application OS.
TEST_F(PowerCut, SlotInstallLeavesTheOldOrTheNewImage) {
    const std::string old_image = image("application", "1.0.0.1", 1, 256 * 1024),
                      new_image = image("application", "1.0.0.2", 2, 256 * 1024),
                      slot2 = image("application", "1.0.0.3", 3, 1024);
    const auto reset = [&] {
        vswitch().write_user_file("images/image1", old_image);
        vswitch().write_user_file("images/image2", slot2);
        std::filesystem::remove(vswitch().user_dir() + "/images/image1.new");
        board().set_nvram(NVRAM_IMAGE1_TIME, std::vector<uint8_t>(7, 0xFF));
    };
    // An uncut install: where its NVRAM writes fall in the run's I2C writes.
    reset();
    const uint64_t power_on = board().clock_ns();
    cut_run(USB_REPLACE1_IMAGE, new_image, {});
    ASSERT_TRUE(vswitch().read_user_file("images/image1") == new_image) << console();
    uint64_t writes = 0, boot_slot_write = 0, timestamp_write = 0, boot_slot_at = 0;
    for (const I2cTransfer& t : board().i2c_log()) {
        writes += t.write;
        if (!t.write || t.address != 0x56 || t.bytes.size() != 3 || t.bytes[0] != 0x01)
            continue;
        if (t.bytes[1] == 0x00 && !boot_slot_write)
            boot_slot_write = writes, boot_slot_at = t.time_ns - power_on;
        if (t.bytes[1] == 0x0B && !timestamp_write)
            timestamp_write = writes;
    }
    const auto bytes = [](uint64_t n) {
        return [n](Board& b) { b.cut_power_after_slot_bytes(n); };
    };
    const auto i2c = [](uint64_t n) { return [n](Board& b) { b.cut_power_after_i2c_writes(n); }; };
    // clang-format off
    std::vector<std::tuple<std::string, std::function<void(Board&)>, bool, int>> cuts = {
        {"before_the_first_byte", bytes(0), false, 0}, {"after_the_last_byte", bytes(new_image.size()), false, 0},
        {"after_the_boot_slot", i2c(boot_slot_write), true, 0}, {"in_the_timestamp", i2c(timestamp_write), true, 4},
        // In the second between the boot slot and the timestamp.
        {"before_the_timestamp", [&](Board& b) { b.cut_power_at(b.clock_ns() + boot_slot_at + 600000000); }, true, 0}};
    // clang-format on
    for (uint64_t i = 1; i <= 50; ++i)
        cuts.emplace_back("byte_" + std::to_string(new_image.size() * i / 51),
                          bytes(new_image.size() * i / 51), false, 0);
    const std::vector<uint8_t> stamp = {0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}; // the RTC
    for (const auto& [name, arm, new_slot, new_stamp_bytes] : cuts) {
        SCOPED_TRACE(name);
        reset();
        cut_run(USB_REPLACE1_IMAGE, new_image, arm);
        vswitch().set_usb_stick(false);
        boot();
        EXPECT_TRUE(expect_console("Booting image '1'\n Image signature verified. "));
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
        EXPECT_TRUE(vswitch().application_os_start().has_value()) << console();
        EXPECT_TRUE(vswitch().read_user_file("images/image1") ==
                    (new_slot ? new_image : old_image));
        EXPECT_TRUE(vswitch().read_user_file("images/image2") == slot2);
        std::vector<uint8_t> want(7, 0xFF);
        std::copy_n(stamp.begin(), new_stamp_bytes, want.begin());
        EXPECT_EQ(board().nvram(NVRAM_IMAGE1_TIME, 7), want);
    }
}

// A kernel is erased and written in place, its header last: a cut before the
// header went in (after one erase and up to 64 1-KiB writes) has the next
// power-on write it again.
TEST_F(PowerCut, KernelFlashIsRewrittenUntilItsHeaderIsIn) {
    const std::string new_kernel = image("kernel", "2.0.0.2", 5, 40000);
    vswitch().write_user_file("images/image1", image("application", "1.0.0.1", 1, 1024));
    const std::string
        installs = "Installing Kernel:  Image signature verified.      \b\b\b\b000%\b\b\b\b100%\n"
                   "Updating install log. File /mnt/usb/" +
                   std::string(USB_BOOT_IMAGE) + " installed",
        skips = "Installing Kernel: Image has same version as existing image. "
                "Skipping update...\nNo valid image found on USB\nBooting image '1'\n";
    for (const auto& [after_ops, next_boot] :
         {std::pair{1, installs}, {2, installs}, {64, installs}, {65, skips}}) {
        SCOPED_TRACE(after_ops);
        board().erase_flash(Partition::kernel);
        cut_run(USB_BOOT_IMAGE, new_kernel,
                [n = after_ops](Board& b) { b.cut_power_after_flash_ops(n); });
        boot(); // the stick still in
        EXPECT_TRUE(expect_console(next_boot));
        wait_for_end();
        const auto flash = board().flash(Partition::kernel, 0, new_kernel.size());
        EXPECT_TRUE(std::string(flash.begin(), flash.end()) == new_kernel);
    }
}

} // namespace
} // namespace vswitch
