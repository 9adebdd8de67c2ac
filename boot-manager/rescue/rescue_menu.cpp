#include "rescue/rescue_menu.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "console/console.h"
#include "network/mgmt_port.h"
#include "platform/board_paths.h"
#include "platform/boot_options.h"
#include "platform/nvram.h"
#include "platform/process.h"
#include "platform/timing.h"
#include "rescue/boot_settings.h"
#include "rescue/downloads.h"
#include "rescue/filesystem.h"
#include "rescue/low_security.h"

namespace {

struct rescue_option {
    uint8_t key;
    const char* label;
    uint8_t in_arvo_mode;
    uint8_t in_tesk_mode;
    uint8_t hidden;
    int (*action)();
};

constexpr uint8_t KEY_CTRL_A = 1;

int presence_test() {
    return physical_presence_test(BoardPaths{});
}

// Scanned in this order for the list and for dispatch; a key may have a row
// in each mode.
const rescue_option rescue_options[] = {
    {'T', "Configure networking and tftp download an image", 1, 1, 0, rescue_tftp_download},
    {'X', "Use xmodem 1K to serial download an image", 1, 0, 0, rescue_xmodem_download},
    {'U', "Install image from USB stick", 1, 1, 0, rescue_usb_install},
    {'P', "Physical presence test (low security mode)", 1, 1, 0, presence_test},
    {'K', "Wipe security keys", 1, 1, 1, wipe_security_keys},
    {KEY_CTRL_A, "Run ODM diags wipe", 1, 1, 1, wipe_odm_diags},
    {'M', "Configure temporary switch MAC", 1, 1, 1, set_temporary_mac},
    {'F', "Run filesystem check", 1, 1, 0, rescue_filesystem_check},
    {'I', "Select which image to boot", 1, 1, 0, select_boot_image},
    {'C', "Select configuration block to use", 1, 0, 0, select_config_block},
    {'C', "Reset configuration to factory default", 0, 1, 0, select_config_block},
    {'V', "Display Installed images", 1, 1, 1, show_installed_images},
    {'R', "Reboot", 1, 1, 0, rescue_reboot},
    {'E', "Exit", 1, 1, 0, rescue_exit},
};

bool offered(const rescue_option& option, bool tesk) {
    return tesk ? option.in_tesk_mode : option.in_arvo_mode;
}

void list_options(bool tesk) {
    std::printf("Please select one of the following options:\n");
    for (const auto& option : rescue_options)
        if (offered(option, tesk) && !option.hidden)
            std::printf("\t%c) %s\n", option.key, option.label);
}

} // namespace

int rescue_reboot() {
    platform::sleep_seconds(1);
    platform::reboot_board();
}

int rescue_exit() {
    if (!is_tesk_mode())
        return 1;
    if (boot_options.shell)
        platform::run_shell_command("/bin/sh\n");
    platform::sleep_seconds(1);
    platform::reboot_board();
}

int rescue_menu() {
    // Read once: an action that changes the mode takes effect at the next entry.
    const bool tesk = is_tesk_mode() != 0;
    std::printf("Entering Rescue Mode.\n");
    list_options(tesk);
    for (;;) {
        std::printf("\nOption? : ");
        std::fflush(stdout);
        const int key = console_wait_key();
        std::printf("%c\n", key);
        if (console_interrupted) {
            console_interrupted = 0;
            continue;
        }
        if (key == 0)
            continue;

        const int wanted = std::toupper(key);
        bool matched = false;
        for (const auto& option : rescue_options) {
            if (option.key != wanted)
                continue;
            if (offered(option, tesk) && option.action)
                option.action();
            if (wanted == 'E')
                return 1;
            matched = true;
        }
        if (!matched) {
            std::printf("unknown option \"%c\". Please try again\n", wanted);
            continue;
        }
        // Ctrl-C inside an action ends only that action.
        console_interrupted = 0;
        list_options(tesk);
    }
}
