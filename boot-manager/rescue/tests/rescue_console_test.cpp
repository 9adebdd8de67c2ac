// The rescue menu and its NVRAM dialogues in-process on a simulated board of
// their own (NVRAM, flash, virtual time; run with the board interposer
// preloaded), with the console on a pseudo-terminal. Actions that start
// commands run on the virtual switch instead.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "board/board_state.h"
#include "console/console.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/nvram.h"
#include "pty_console.h"
#include "rescue/boot_settings.h"
#include "rescue/rescue_menu.h"

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
        testing::internal::CaptureStdout();
        const int got = action();
        EXPECT_EQ(
            std::tuple(got, testing::internal::GetCapturedStdout(), board->nvram_byte(offset)),
            std::tuple(result, output, after));
        console_interrupted = 0;
    }
    i2c_close_buses();
}
