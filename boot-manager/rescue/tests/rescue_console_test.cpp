// The rescue menu and its NVRAM dialogues in-process on a simulated board of
// their own (NVRAM, flash, virtual time; run with the board interposer
// preloaded), with the console on a pseudo-terminal. Actions that start
// commands run on the virtual switch instead.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "board/board_state.h"
#include "console/console.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/nvram.h"
#include "pty_console.h"
#include "rescue/boot_settings.h"
#include "rescue/rescue_menu.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// clang-format off
const std::string LIST = "Entering Rescue Mode.\nPlease select one of the following options:\n\tT) Configure networking and tftp download an image\n\tX) Use xmodem 1K to serial download an image\n\tU) Install image from USB stick\n\tP) Physical presence test (low security mode)\n\tF) Run filesystem check\n\tI) Select which image to boot\n\tC) Select configuration block to use\n\tR) Reboot\n\tE) Exit\n";
const std::string AGAIN = LIST.substr(22), OPT = "\nOption? : ", SLOT = "Install image as image 1 or 2 (q to quit): ";
const std::string BLOCK = "Enter configuration block: a, b or f (active, backup or factory): ", BAD = "ERROR: invalid configuration block entered\n";
const std::string ACTIVE = "\nCurrently using active configuration block\n" + BLOCK, FACTORY = "Confirm resetting the configuration to factory default: y/N? ";
const std::string NUL(1, '\0');

// Arvo mode is the only one in which Exit returns, so the menu's rows run
// there. Action, Tesk mode, interrupted, NVRAM offset and value before, keys;
// transcript, result, the byte at the offset afterwards and the
// factory-default request.
const std::tuple<int (*)(), bool, bool, uint16_t, uint8_t, const char*, std::string, int, uint8_t, uint8_t> cases[] = {
{rescue_menu, 0, 0, NVRAM_CONFIG_BLOCK, 'a', "e", LIST + OPT + "e\n", 1, 'a', 0xFF},
{rescue_menu, 0, 0, NVRAM_CONFIG_BLOCK, 'a', "zE", LIST + OPT + "z\nunknown option \"Z\". Please try again\n" + OPT + "E\n", 1, 'a', 0xFF},
{rescue_menu, 0, 1, NVRAM_CONFIG_BLOCK, 'a', "ze", LIST + OPT + NUL + "\n" + OPT + "e\n", 1, 'a', 0xFF}, // the key read with Ctrl-C is lost
{rescue_menu, 0, 0, NVRAM_CONFIG_BLOCK, 'a', "kne", LIST + OPT + "k\nConfirm: wiping system keys y/N: \n" + AGAIN + OPT + "e\n", 1, 'a', 0xFF},
{rescue_menu, 0, 0, NVRAM_CONFIG_BLOCK, 'a', "cbe", LIST + OPT + "c\n" + ACTIVE + "b\n" + AGAIN + OPT + "e\n", 1, 'b', 0xFF},
{select_boot_image, 0, 0, NVRAM_BOOT_IMAGE_ARVO, 2, "1\r", "Currently booting image 2\n" + SLOT + "Booting from image 1\n", 1, 1, 0xFF},
{select_boot_image, 0, 0, NVRAM_BOOT_IMAGE_ARVO, 2, "12\r", "Currently booting image 2\n" + SLOT + "Booting from image 1\n", 1, 1, 0xFF},
{select_boot_image, 0, 0, NVRAM_BOOT_IMAGE_ARVO, 1, "3\r\r 1\r2\r", "Currently booting image 1\n" + SLOT + SLOT + SLOT + SLOT + "Booting from image 2\n", 1, 2, 0xFF},
{select_boot_image, 0, 0, NVRAM_BOOT_IMAGE_ARVO, 7, "Quit\r", "Currently booting image 7\n" + SLOT, 0, 7, 0xFF},
{select_boot_image, 1, 0, NVRAM_BOOT_IMAGE_TESK, 1, "2\r", "Currently booting image 1\n" + SLOT + "Booting from image 2\n", 1, 2, 0xFF},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 'b', "F", "\nCurrently using backup configuration block\n" + BLOCK + "F\n", 1, 'f', 0xFF},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 'f', "A", "\nCurrently using factory default configuration block\n" + BLOCK + "A\n", 1, 'a', 0xFF},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 'B', "x", "\nUnknown current config block 66\n" + BLOCK + "x\n" + BAD, 0, 'B', 0xFF},
{select_config_block, 0, 0, NVRAM_CONFIG_BLOCK, 0, "B", "\nUnknown current config block 0\n" + BLOCK + "B\n", 1, 'b', 0xFF},
{select_config_block, 0, 1, NVRAM_CONFIG_BLOCK, 'a', "b", ACTIVE + NUL + "\n" + BAD, 0, 'a', 0xFF},
{select_config_block, 1, 0, NVRAM_CONFIG_BLOCK, 'a', "\r", FACTORY + "\n\n", 1, 'a', 0xFF},
// The slot files are looked for on /user, which this machine does not have.
{show_installed_images, 0, 0, NVRAM_CONFIG_BLOCK, 'a', "", "Installed images versions: \n\tBoot image  : 1.2.3.4\n\tRFS image   : 5.2.3.4\n\tKernel image: 255.255.255.255\n\tDFT image   : 200.2.3.4\n\tOS image 1  : 0.0.0.0\n\tOS image 2  : 0.0.0.0\n", 0, 'a', 0xFF},
{select_config_block, 1, 0, NVRAM_CONFIG_BLOCK, 'a', "Y", FACTORY + "Y\nStartup configuration will be reset to factory default.\nPlease reboot to complete the process.\n", 1, 'a', 'F'},
};
// clang-format on

TEST(RescueConsole, MenuAndNvramDialogues) {
    ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
    for (const auto& [action, tesk, stop, offset, before, keys, output, result, after, factory] :
         cases) {
        SCOPED_TRACE(output);
        vswitch::TemporaryBoard board;
        vswitch::use_board_in_this_process(board.board());
        ASSERT_EQ(i2c_open_buses(), 0);
        board->set_nvram_byte(NVRAM_OS_MODE, tesk ? 'C' : 'E');
        board->set_nvram_byte(offset, before);
        ASSERT_EQ(flash_init(), 1);
        using vswitch::Partition; // headers of a boot loader, a root filesystem, a device tree
        for (const auto& [part, at, type, major] : {std::tuple{Partition::uboot, 0xF0, 2, 1},
                                                    {Partition::rfs, 0, 4, 5},
                                                    {Partition::devicetree, 0, 5, 200}})
            board->set_flash(
                part, at,
                {0, 0, 0, 0, 0, 0, 0, 9, uint8_t(type), 'M', 'A', 'R', uint8_t(major), 2, 3, 4});
        console_interrupted = stop;
        PtyConsole pty;
        pty.type(keys);
        CaptureStdout();
        EXPECT_EQ(action(), result);
        EXPECT_EQ(GetCapturedStdout(), output);
        EXPECT_EQ(board->nvram_byte(offset), after);
        EXPECT_EQ(board->nvram_byte(NVRAM_FACTORY_CONFIG), factory);
        EXPECT_EQ(board->nvram_byte(tesk ? NVRAM_BOOT_IMAGE_ARVO : NVRAM_BOOT_IMAGE_TESK), 0xFF);
        EXPECT_TRUE(board->commands().empty());
        console_interrupted = 0;
        i2c_close_buses();
    }
}

} // namespace
