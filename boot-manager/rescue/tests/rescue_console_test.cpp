// The rescue menu, its NVRAM dialogues and the physical-presence dialogue
// in-process, each on a simulated board of its own (NVRAM, flash, LED, RTC,
// virtual time; run with the board interposer preloaded), with the console on
// a pseudo-terminal. Actions that start commands run on the virtual switch
// instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "board/board_state.h"
#include "console/console.h"
#include "platform/boot_options.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/low_security_mode.h"
#include "platform/nvram.h"
#include "pty_console.h"
#include "rescue/boot_settings.h"
#include "rescue/low_security.h"
#include "rescue/rescue_menu.h"
#include "test_support.h"

namespace {

using namespace test_support;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// clang-format off
const std::string LIST = "Entering Rescue Mode.\nPlease select one of the following options:\n\tT) Configure networking and tftp download an image\n\tX) Use xmodem 1K to serial download an image\n\tU) Install image from USB stick\n\tP) Physical presence test (low security mode)\n\tF) Run filesystem check\n\tI) Select which image to boot\n\tC) Select configuration block to use\n\tR) Reboot\n\tE) Exit\n";
const std::string OPT = "\nOption? : ", SLOT = "Install image as image 1 or 2 (q to quit): ";
const std::string BLOCK = "Enter configuration block: a, b or f (active, backup or factory): ", BAD = "ERROR: invalid configuration block entered\n";
const std::string FACTORY = "Confirm resetting the configuration to factory default: y/N? ", NUL(1, '\0');

// Arvo mode is the only one in which Exit returns, so the menu's rows run
// there. Action, Tesk mode, interrupted, NVRAM offset and value before, keys;
// transcript, result and the byte at the offset afterwards.
const std::tuple<int (*)(), bool, bool, uint16_t, uint8_t, const char*, std::string, int, uint8_t> cases[] = {
{rescue_menu, 0, 0, NVRAM_CONFIG_BLOCK, 'a', "ze", LIST + OPT + "z\nunknown option \"Z\". Please try again\n" + OPT + "e\n", 1, 'a'},
{rescue_menu, 0, 1, NVRAM_CONFIG_BLOCK, 'a', "zE", LIST + OPT + NUL + "\n" + OPT + "E\n", 1, 'a'}, // the key read with Ctrl-C is lost
{select_boot_image, 0, 0, NVRAM_BOOT_IMAGE_ARVO, 2, "12\r", "Currently booting image 2\n" + SLOT + "Booting from image 1\n", 1, 1},
{select_boot_image, 0, 0, NVRAM_BOOT_IMAGE_ARVO, 1, "3\r\r 1\r2\r", "Currently booting image 1\n" + SLOT + SLOT + SLOT + SLOT + "Booting from image 2\n", 1, 2},
{select_boot_image, 0, 0, NVRAM_BOOT_IMAGE_ARVO, 7, "Quit\r", "Currently booting image 7\n" + SLOT, 0, 7},
{select_boot_image, 1, 0, NVRAM_BOOT_IMAGE_TESK, 1, "2\r", "Currently booting image 1\n" + SLOT + "Booting from image 2\n", 1, 2},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 'b', "F", "\nCurrently using backup configuration block\n" + BLOCK + "F\n", 1, 'f'},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 'f', "A", "\nCurrently using factory default configuration block\n" + BLOCK + "A\n", 1, 'a'},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 'B', "x", "\nUnknown current config block 66\n" + BLOCK + "x\n" + BAD, 0, 'B'},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 0, "B", "\nUnknown current config block 0\n" + BLOCK + "B\n", 1, 'b'},
{select_config_block, 0, 1, NVRAM_CONFIG_BLOCK, 'a', "b", "\nCurrently using active configuration block\n" + BLOCK + NUL + "\n" + BAD, 0, 'a'},
{select_config_block, 1, 0, NVRAM_FACTORY_CONFIG, 0xFF, "\r", FACTORY + "\n\n", 1, 0xFF},
{select_config_block, 1, 0, NVRAM_FACTORY_CONFIG, 0xFF, "Y", FACTORY + "Y\nStartup configuration will be reset to factory default.\nPlease reboot to complete the process.\n", 1, 'F'},
// The slot files are looked for on /user, which this machine does not have.
{show_installed_images, 0, 0, NVRAM_CONFIG_BLOCK, 'a', "", "Installed images versions: \n\tBoot image  : 1.2.3.4\n\tRFS image   : 5.2.3.4\n\tKernel image: 255.255.255.255\n\tDFT image   : 200.2.3.4\n\tOS image 1  : 0.0.0.0\n\tOS image 2  : 0.0.0.0\n", 0, 'a'},
};
// clang-format on

TEST(RescueConsole, MenuAndNvramDialogues) {
    ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
    vswitch::TemporaryBoard board;
    vswitch::use_board_in_this_process(board.board());
    ASSERT_EQ(i2c_open_buses(), 0);
    ASSERT_EQ(flash_init(), 1);
    // Headers of a boot loader, a root filesystem and a device tree.
    // clang-format off
    for (const auto& [part, at, type, major] : {std::tuple{vswitch::Partition::uboot, 0xF0, 2, 1}, {vswitch::Partition::rfs, 0, 4, 5}, {vswitch::Partition::devicetree, 0, 5, 200}})
        board->set_flash(part, at, {0, 0, 0, 0, 0, 0, 0, 9, uint8_t(type), 'M', 'A', 'R', uint8_t(major), 2, 3, 4});
    // clang-format on
    for (const auto& [action, tesk, stop, offset, before, keys, output, result, after] : cases) {
        board->set_nvram_byte(NVRAM_OS_MODE, tesk ? 'C' : 'E');
        board->set_nvram_byte(offset, before);
        console_interrupted = stop;
        PtyConsole pty;
        pty.type(keys);
        CaptureStdout();
        const int got = action();
        EXPECT_EQ(std::tuple(got, GetCapturedStdout(), board->nvram_byte(offset)),
                  std::tuple(result, output, after));
        console_interrupted = 0;
    }
    // A console that has gone away ends the slot prompt instead of asking for ever.
    const int saved_stdin = ::dup(0), null_input = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(::dup2(null_input, 0), 0);
    ::close(null_input);
    CaptureStdout();
    EXPECT_EQ(select_boot_image(), 0);
    GetCapturedStdout();
    ::dup2(saved_stdin, 0);
    ::close(saved_stdin);
    std::clearerr(stdin);
    i2c_close_buses();
}

TEST(BlinkCount, SumOfTheBcdDigitsOfTheSecondsAtLeastOne) {
    const int cases[][2] = {{0x00, 1},  {0x01, 1},  {0x10, 1}, {0x37, 10},
                            {0x29, 11}, {0x59, 14}, {0x80, 1}, {0xD9, 14}}; // bit 7 is no digit
    for (const auto& c : cases)
        EXPECT_EQ(blink_count(static_cast<uint8_t>(c[0])), c[1]) << c[0];
}

// clang-format off
const std::string WARNING = "WARNING: the following test is used to determine physical presence and if completed will put the switch in low security mode.\nDo you wish to continue y/N? ";
const std::string HIT = "Hit a key to start the test. The blue location LED will blink a number of times. \n";
const std::string CORRECT = "Correct. Physical presence established and low security mode enabled\n";
const std::string LEAVE = "Switch is in low security mode. Confirm disabling Y/n? ";
const std::string OVERRIDE = "NOTE: Uboot low security mode override enabled\n";
std::string shown(int dots, const std::string& answer) {
    return HIT + std::string(std::max(dots, 11), '.') + "\nHow many times did the LED blink? " + answer;
}
// clang-format on

TEST(Presence, Dialogue) {
    ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
    TempDir dir;
    // A reset would run "reboot": let no such program be found.
    ::setenv("PATH", dir.path().c_str(), 1);
    const std::string lowsec = dir.file("lowsec");
    BoardPaths paths{"", "", "", lowsec};
    // The marker before (null: none), override, interrupted, RTC seconds,
    // keys; result, transcript, marker after ("-": none); attempts and blinks shown.
    // clang-format off
    const std::tuple<const char*, bool, bool, uint8_t, const char*, int, std::string, const char*, int, int> cases[] = {
    {nullptr, 0, 0, 0x37, "n", 0, WARNING + "n\n", "-", 0, 0},
    {nullptr, 0, 0, 0x37, "\r", 0, WARNING + "\n\n", "-", 0, 0},
    {nullptr, 0, 0, 0x37, "y 10\r", 1, WARNING + "y\n" + shown(10, "10\n") + CORRECT, "wumbrelo\n", 1, 10},
    // The answer line holds 7 characters; the number before the rest counts.
    {nullptr, 0, 0, 0x59, "Y 14 blinks\r", 1, WARNING + "Y\n" + shown(14, "14 blin\a\a\n") + CORRECT, "wumbrelo\n", 1, 14},
    {nullptr, 0, 0, 0x00, "y 3\r 1\r", 1, WARNING + "y\n" + shown(1, "3\n") + "Incorrect. Try again (attempt 1 of 3)\n" + shown(1, "1\n") + CORRECT, "wumbrelo\n", 2, 1},
    {"wumbrelo\n", 0, 0, 0, "n", 1, LEAVE + "n\n", "wumbrelo\n", 0, 0},
    {"wumbrelo\n", 0, 0, 0, "N", 1, LEAVE + "N\n", "wumbrelo\n", 0, 0},
    {"wumbrelo\n", 0, 0, 0, "\r", 1, LEAVE + "\n\n", "-", 0, 0},
    {"", 0, 0, 0, "Y", 1, LEAVE + "Y\n", "-", 0, 0},
    {"x", 0, 1, 0, "y", 0, LEAVE + std::string(1, '\0') + "\n", "x", 0, 0},
    {nullptr, 1, 0, 0, "N", 1, OVERRIDE + LEAVE + "N\n", "-", 0, 0},
    };
    for (const auto& [marker, forced, stop, rtc, keys, result, output, after, tries, dots] : cases) {
        // clang-format on
        SCOPED_TRACE(output);
        vswitch::TemporaryBoard board;
        vswitch::use_board_in_this_process(board.board());
        ASSERT_EQ(i2c_open_buses(), 0);
        board->set_rtc({rtc, 0, 0, 1, 1, 1, 0x26});
        board->set_led_register(2, 0xA6); // the board's other six bits must survive
        std::remove(lowsec.c_str());
        if (marker)
            write_file(lowsec, {marker, marker + strlen(marker)});
        boot_options.lowsec = forced;
        console_interrupted = stop;
        PtyConsole pty;
        pty.type(keys);
        CaptureStdout();
        EXPECT_EQ(physical_presence_test(paths), result);
        EXPECT_EQ(GetCapturedStdout(), output);
        const auto content = read_file(lowsec);
        EXPECT_EQ(file_exists(lowsec) ? std::string(content.begin(), content.end()) : "-", after);
        // Each attempt: off before the prompt, then per two-second cycle the
        // first value (on while blinking) and off.
        std::string writes, seen;
        for (int attempt = 0; attempt < tries; ++attempt)
            for (int i = -1; i < std::max(dots, 11); ++i)
                writes += i < 0 ? "\xA4" : i < dots ? "\xA5\xA4" : "\xA4\xA4";
        for (const auto& write : board->led_writes())
            seen += char(write.reg == 2 ? write.value : 0);
        EXPECT_EQ(seen, writes);
        EXPECT_GE(board->clock_ns() / 1000000, tries * 22000u);
        i2c_close_buses();
    }
    ::unsetenv("VSWITCH_BOARD");
    boot_options.lowsec = false;
    console_interrupted = 0;

    paths.low_security_marker = dir.file("missing/lowsec"); // cannot be written
    set_low_security_mode(paths, true);
    EXPECT_FALSE(low_security_mode_active(paths));
}

} // namespace
