// Power cuts on the virtual switch while start-up installs from the USB stick:
// an Application OS image into slot 1, cut at many points, and a kernel into
// flash. The next power-on shows what each cut left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "boot/usb_images.h"
#include "image/signing_key_files.h"
#include "platform/process.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

constexpr uint16_t NVRAM_IMAGE1_TIME = 0x0108; // 7 bytes, written after the boot slot

class PowerCut : public VirtualSwitchTest {
  protected:
    void SetUp() override {
        VirtualSwitchTest::SetUp();
        if (!*PRODUCTION_SIGNING_KEY_FILE)
            GTEST_SKIP() << "the build was given public keys without their private halves";
        board().set_nvram_byte(NVRAM_USB_BOOT, 0xD5); // USB handling on
    }
    // A signed image whose payload ends in `filler` random bytes of `seed`.
    std::string image(const char* type, const std::string& version, unsigned seed, size_t filler) {
        const std::string dir = vswitch().dir() + "/", name = "v" + version;
        std::mt19937 random(seed);
        std::string bytes(filler, '\0');
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
        write_file(dir + "filler", bytes);
        // clang-format off
        for (const std::vector<std::string>& argv : {
                 std::vector<std::string>{"tar", "-czf", dir + name + ".tgz", "--mode=0755", "-C", SAMPLES_DIR "/appos", "home", "-C", dir, "filler"},
                 {SWIMAGE, "create", dir + name + ".img", "--payload", dir + (std::string(type) == "kernel" ? "filler" : name + ".tgz"), "--type", type, "--version", version, "--sign", PRODUCTION_SIGNING_KEY_FILE}})
            EXPECT_TRUE(platform::command_succeeded(platform::run_program(argv))) << argv[0];
        // clang-format on
        return read_file(dir + name + ".img");
    }
    // One power-on with the image on the stick under `name`, cut by `arm` (if any).
    void cut_run(const char* name, const std::string& bytes,
                 const std::function<void(Board&)>& arm) {
        vswitch().set_usb_stick(true);
        vswitch().write_usb_file(name, bytes);
        if (arm)
            arm(board());
        boot();
        EXPECT_EQ(wait_for_end().ending, arm ? Ending::signalled : Ending::exited) << console();
        EXPECT_EQ(board().power_cut().empty(), !arm) << console();
    }
};

// Whatever the moment of the cut, slot 1 holds its old image or the new one
// whole (the new one once renamed into place), slot 2 is untouched, the image
// timestamp in NVRAM holds old or new bytes, and the next power-on boots slot
// 1 to the Application OS.
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
        const bool data = t.write && t.address == 0x56 && t.bytes.size() == 3;
        if (data && t.bytes[0] == 0x01 && t.bytes[1] == 0x00 && !boot_slot_write)
            boot_slot_write = writes, boot_slot_at = t.time_ns - power_on;
        if (data && t.bytes[0] == 0x01 && t.bytes[1] == 0x0B && !timestamp_write)
            timestamp_write = writes;
    }
    // clang-format off
    const auto bytes = [](uint64_t n) { return [n](Board& b) { b.cut_power_after_slot_bytes(n); }; };
    const auto i2c = [](uint64_t n) { return [n](Board& b) { b.cut_power_after_i2c_writes(n); }; };
    struct Cut {
        std::string name;
        std::function<void(Board&)> arm;
        bool new_image;
        int new_stamp_bytes; // of 7, from the first
    };
    std::vector<Cut> cuts = {
        {"before_the_first_byte", bytes(0), false, 0}, {"after_the_last_byte", bytes(new_image.size()), false, 0},
        {"after_the_boot_slot", i2c(boot_slot_write), true, 0}, {"in_the_timestamp", i2c(timestamp_write), true, 4},
        // In the second between the boot slot and the timestamp.
        {"before_the_timestamp", [&](Board& b) { b.cut_power_at(b.clock_ns() + boot_slot_at + 600000000); }, true, 0}};
    // clang-format on
    for (uint64_t i = 1; i <= 50; ++i)
        cuts.push_back({"byte_" + std::to_string(new_image.size() * i / 51),
                        bytes(new_image.size() * i / 51), false, 0});
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
        const std::vector<uint8_t> stamp = {0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}; // the RTC
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(board().nvram_byte(NVRAM_IMAGE1_TIME + i),
                      i < new_stamp_bytes ? stamp[i] : 0xFF);
    }
}

// A kernel is erased and written in place: a cut leaves the partition torn,
// but its header goes in last, so the next try writes it again.
TEST_F(PowerCut, KernelFlashIsNotAtomic) {
    const std::string new_kernel = image("kernel", "2.0.0.2", 5, 40000);
    vswitch().write_user_file("images/image1", image("application", "1.0.0.1", 1, 1024));
    const std::string
        installs = "Installing Kernel:  Image signature verified.      \b\b\b\b000%\b\b\b\b100%\n"
                   "Updating install log. File /mnt/usb/" +
                   std::string(USB_BOOT_IMAGE) + " installed",
        skips = "Installing Kernel: Image has same version as existing image. "
                "Skipping update...\nNo valid image found on USB\nBooting image '1'\n";
    const struct {
        uint64_t after_ops; // one erase, then 1 KiB writes
        std::string next_boot;
        bool torn;
    } rows[] = {{1, installs, false}, // erased: no header, so it is written again
                {2, installs, false},
                {64, installs, false}, // all but the header's piece
                {65, skips, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.after_ops);
        board().erase_flash(Partition::kernel);
        cut_run(USB_BOOT_IMAGE, new_kernel,
                [&](Board& b) { b.cut_power_after_flash_ops(row.after_ops); });
        boot(); // the stick still in
        EXPECT_TRUE(expect_console(row.next_boot));
        wait_for_end();
        const auto flash = board().flash(Partition::kernel, 0, new_kernel.size());
        EXPECT_NE(std::string(flash.begin(), flash.end()) == new_kernel, row.torn);
    }
}

} // namespace
} // namespace vswitch
