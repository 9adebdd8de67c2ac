// The USB phase of start-up on the virtual switch, with usb-mount mounting a
// real stick (an ext2 disk image on a loop device) and the engine installing
// from it, across reboots of one switch.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "boot/usb_images.h"
#include "image/signing_key_files.h"
#include "platform/process.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using UsbPhase = VirtualSwitchTest;
using Stick = std::vector<std::pair<char, const char*>>; // image kind, file name

TEST_F(UsbPhase, InstallsAndBootsFromTheStickAcrossReboots) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    const auto run = [](const std::vector<std::string>& argv) {
        ASSERT_TRUE(platform::command_succeeded(platform::run_program(argv))) << argv[0];
    };
    const std::string dir = vswitch().dir() + "/", archive = dir + "appos.tar.gz";
    run({"tar", "-czf", archive, "--mode=0755", "-C", SAMPLES_DIR "/appos", "home"});
    // Signed images of the sample Application OS ("<kind>.img"): B as a kernel, S by a stranger.
    for (char kind : std::string("OB21S"))
        run({SWIMAGE, "create", dir + kind + ".img", "--payload", archive, "--type",
             kind == 'B' ? "kernel" : "application", "--version", "1.0.0." + std::to_string(kind),
             "--sign", kind == 'S' ? STRANGER_SIGNING_KEY_FILE : PRODUCTION_SIGNING_KEY_FILE});
    vswitch().use_real_tool("mount");
    vswitch().write_user_file("images/image1", read_file(dir + "O.img"));
    board().set_nvram_byte(NVRAM_USB_BOOT, 0xD5); // USB handling on
    // The slot-2 replacement is on the rejected list.
    char digest[IMAGE_MD5_TEXT_SIZE];
    ASSERT_TRUE(image_md5((dir + "2.img").c_str(), digest));
    vswitch().write_user_file(std::string("images/rejected/") + digest, "");
    const struct {
        Stick plug;                       // a fresh stick with these before the boot
        const char* keys;                 // typed while the rejected-list question waits
        std::vector<std::string> console; // in this order
        int running_image;                // NVRAM afterwards; 0xFF: the board rebooted
    } boots[] = {
        // The switch starts without a stick: the wait times out.
        // clang-format off
        {{}, "", {"seconds.\n..........USB mount timed out\nBooting image '1'\n"}, 1},
        {{{'B', USB_BOOT_IMAGE}, {'2', USB_REPLACE2_IMAGE}, {'1', USB_REPLACE1_IMAGE}}, "", {"seconds.\nUSB mounted and ready!\nBoot image found on USB.\n", "installed from USB at "}, 0xFF},
        {{}, "y\n", {"Boot image found on USB.\n", "(y/n) y\nContinuing with replacement USB image...\n", "Image2 has been successfully replaced\n", "Image1 has been successfully replaced\nUSB replacement image: board will boot with image1.\nBooting image '1'\n"}, 1},
        {{}, "n\n", {"image2 found\nReplacement USB image is in rejected list.\nWould you still like to load it? (y/n) n\nBooting image '1'\n"}, 1},
        {{{'S', USB_OS_IMAGE}}, "", {"No boot image found on USB.\nBooting image 'QTX5150_OS.img' from USB stick.\n", "USB Boot failed. Trying flash images.\nBooting image '1'\n"}, 1},
        // clang-format on
    };
    for (const auto& expected : boots) {
        ASSERT_TRUE(expected.plug.empty() ||
                    vswitch().use_usb_stick_image(UsbStickImage{false, "ext2", 16}));
        for (const auto& [kind, name] : expected.plug)
            run({"debugfs", "-w", "-R", "write " + dir + kind + ".img " + name,
                 vswitch().usb_stick_image()});
        RunOptions options;
        // The question waits 5 s from about 4 s after power-on.
        options.timed_keys = {{std::chrono::milliseconds(6500), expected.keys}};
        board().set_nvram_byte(NVRAM_RUNNING_IMAGE, 0xFF);
        boot(options);
        for (const auto& text : expected.console)
            ASSERT_TRUE(expect_console(text));
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
        EXPECT_EQ(board().nvram_byte(NVRAM_RUNNING_IMAGE), expected.running_image) << console();
    }
    // Entries for the boot image and both slots.
    EXPECT_EQ(
        test_support::split(vswitch().read_user_file("install.log").value_or(""), '\n').size(), 3u);
}

} // namespace
} // namespace vswitch
