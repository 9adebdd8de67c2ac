// The USB phase of a boot on the virtual switch, with usb-mount mounting a
// real stick (an ext2 disk image on a loop device) and the engine installing
// from it, across reboots.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "boot/usb_images.h"
#include "image/signing_key_files.h"
#include "platform/process.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

struct Boot {
    std::vector<std::string> console; // in this order
    int running_image;                // NVRAM afterwards; 0xFF: the board rebooted
    std::string keys = "";            // typed while the rejected-list question waits
};

struct Row {
    const char* name;
    const char* stick;  // B boot image, 1 and 2 replacements, O OS image; S by a stranger
    const char* listed; // of these, on the rejected list before the first boot
    const char* slots;  // the images in slots 1 and 2, as on the stick; - none
    std::vector<Boot> boots;
    size_t installs; // install log entries at the end
};

const std::string READY = "seconds.\nUSB mounted and ready!\n",
                  BOOTS_USB = "Booting image 'QTX5150_OS.img' from USB stick.\n",
                  FAILED = "USB Boot failed. Trying flash images.\n";
const std::string LISTED = "USB image is in rejected list.\nWould you still like to load it? ";

class UsbPhase : public VirtualSwitchTest, public ::testing::WithParamInterface<Row> {
  protected:
    void run(const std::vector<std::string>& argv) {
        ASSERT_TRUE(platform::command_succeeded(platform::run_program(argv))) << argv[0];
    }
    // A signed image of the sample Application OS, or of a kernel for B.
    std::string image(char kind, const std::string& out) {
        const std::string archive = vswitch().dir() + "/appos.tar.gz";
        run({"tar", "-czf", archive, "--mode=0755", "-C", SAMPLES_DIR "/appos", "home"});
        run({SWIMAGE, "create", out, "--payload", archive, "--type",
             kind == 'B' ? "kernel" : "application", "--version", "1.0.0." + std::to_string(kind),
             "--sign", kind == 'S' ? STRANGER_SIGNING_KEY_FILE : PRODUCTION_SIGNING_KEY_FILE});
        return out;
    }
};

TEST_P(UsbPhase, AcrossReboots) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    const Row& row = GetParam();
    ASSERT_TRUE(vswitch().use_usb_stick_image(UsbStickImage{false, "ext2", 16}));
    vswitch().use_real_tool("mount");
    for (const char* file = row.stick; *file; ++file) {
        const std::string name = *file == 'B'   ? USB_BOOT_IMAGE
                                 : *file == '1' ? USB_REPLACE1_IMAGE
                                 : *file == '2' ? USB_REPLACE2_IMAGE
                                                : USB_OS_IMAGE;
        const std::string made = image(*file, vswitch().dir() + "/" + name);
        run({"debugfs", "-w", "-R", "write " + made + " " + name, vswitch().usb_stick_image()});
        char digest[IMAGE_MD5_TEXT_SIZE];
        if (std::strchr(row.listed, *file) && image_md5(made.c_str(), digest))
            vswitch().write_user_file(std::string("images/rejected/") + digest, "");
    }
    for (int slot : {1, 2})
        if (const char kind = row.slots[slot - 1]; kind != '-')
            vswitch().write_user_file("images/image" + std::to_string(slot),
                                      read_file(image(kind, vswitch().dir() + "/slot.img")));
    board().set_nvram_byte(NVRAM_USB_BOOT, 0xD5); // USB handling on

    for (const Boot& expected : row.boots) {
        RunOptions options;
        // The question waits 5 s from about 4 s after power-on.
        if (!expected.keys.empty())
            options.timed_keys = {{6500ms, expected.keys}};
        board().set_nvram_byte(NVRAM_RUNNING_IMAGE, 0xFF);
        boot(options);
        for (const auto& text : expected.console)
            ASSERT_TRUE(expect_console(text));
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
        EXPECT_EQ(board().nvram_byte(NVRAM_RUNNING_IMAGE), expected.running_image) << console();
        EXPECT_EQ(vswitch().application_os_start().has_value(), expected.running_image != 0xFF);
    }
    const std::string log = vswitch().read_user_file("install.log").value_or("");
    EXPECT_EQ(test_support::split(log, '\n').size(), row.installs) << log;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, UsbPhase, ::testing::Values(
    Row{"boot_image_first_then_replacement", "B2", "", "O-", {
        {{READY + "Boot image found on USB.\n", "installed from USB at "}, 0xFF},
        {{READY + "Boot image found on USB.\n", "USB image (file 'QTX5150_replace2_OS.img') replacement for image2 found\n", "Image2 has been successfully replaced\nUSB replacement image: board will boot with image2.\nBooting image '2'\n"}, 2}}, 2},
    Row{"both_replaced_boots_slot_1", "12", "", "--", {
        {{"Image1 has been successfully replaced\nUSB replacement image: board will boot with image1.\nBooting image '1'\n"}, 1}}, 2},
    Row{"listed_replacement_no_then_yes", "21O", "2", "O-", {
        {{"replacement for image2 found\nReplacement USB image is in rejected list.\nWould you still like to load it? (y/n) n\nBooting image '1'\n"}, 1, "n\n"},
        {{"Continuing with replacement USB image...\n", "board will boot with image1.\nBooting image '1'\n"}, 1, "y\n"}}, 2},
    Row{"stick_os_listed_then_asked", "O", "", "O-", {
        {{"ready!\nNo boot image found on USB.\n" + BOOTS_USB}, 3},
        {{BOOTS_USB + LISTED + "(y/n) n\n" + FAILED + "Booting image '1'\n"}, 1, "n\n"},
        {{BOOTS_USB + LISTED + "(y/n) y\nContinuing to load USB image...\n"}, 3, "y\n"}}, 0},
    Row{"usb_boot_fails_over_to_flash_never_back", "S", "", "SO", {
        {{BOOTS_USB, FAILED + "Booting image '1'\n", "Booting image '2'\n"}, 2}}, 0},
    Row{"empty_stick", "", "", "O-", {
        {{"ready!\nNo boot image found on USB.\nNo valid image found on USB\nBooting image '1'\n"}, 1}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
} // namespace vswitch
