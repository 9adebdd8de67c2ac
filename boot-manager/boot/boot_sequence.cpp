#include "boot/boot_sequence.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "boot/slot_boot.h"
#include "boot/slots.h"
#include "boot/usb_images.h"
#include "console/console.h"
#include "image/key_store.h"
#include "network/mgmt_port.h"
#include "platform/board_paths.h"
#include "platform/boot_options.h"
#include "platform/files.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/nvram.h"
#include "platform/process.h"
#include "platform/timing.h"
#include "rescue/filesystem.h"
#include "rescue/rescue_menu.h"

void format_date_command(const RtcTime& time, char* out, unsigned size) {
    const uint8_t* r = time.bytes;
    std::snprintf(out, size, "date %2.2x%2.2x%2.2x%2.2x20%2.2x.%2.2x\n", r[5] & 0x1F, r[4] & 0x3F,
                  r[2] & 0x3F, r[1] & 0x7F, r[6], r[0] & 0x7F);
}

namespace {

void set_system_clock() {
    RtcTime time{}; // a failed read runs the command with zeros
    rtc_read_time(&time);
    char command[64];
    format_date_command(time, command, sizeof command);
    platform::run_shell_command(command);
}

bool emmc_present() {
    return platform::path_exists("/sys/block/mmcblk0");
}

// A USB stick may install a boot image, replace a slot's image or supply an
// image to boot. Returns the slot chosen from USB, or 0.
ImageSlot usb_phase() {
    boot_options.usb_boot = get_usb_boot_flag() == USB_BOOT_ENABLED;
    if (boot_options.usb_boot && wait_for_usb_mount() < 0)
        boot_options.usb_boot = false;
    if (!boot_options.usb_boot)
        return 0;

    install_usb_boot_image();
    ImageSlot slot = install_usb_replacements();
    if (slot == SLOT_USB) {
        std::printf("Booting image '%s' from USB stick.\n", "QTX5150_OS.img");
        if (boot_image_slot(SLOT_USB))
            platform::reboot_board();
        std::printf("USB Boot failed. Trying flash images.\n");
        slot = 0;
    }
    return slot;
}

} // namespace

void run_boot_sequence() {
    install_interrupt_handler();
    i2c_open_buses();
    flash_init();
    parse_boot_options();
    set_system_clock();

    std::printf("Running filesystem check.....\n");
    platform::sleep_seconds(3);
    if (!emmc_present()) {
        std::printf("No MMC storage device found. Unable to continue booting. Contact Halvex for "
                    "support\n");
        std::fflush(stdout);
        platform::halt_forever();
    }

    check_user_filesystem(1, 100);
    if (!signing_keys_present(BoardPaths{}))
        std::printf("WARNING - problem with security keys. No keys found\n");

    if (boot_options.diagnostics_rescue)
        rescue_menu();

    ImageSlot slot = usb_phase();
    if (slot == 0)
        slot = select_boot_slot();

    if (boot_options.gdbserver)
        configure_mgmt_port(1);

    std::printf("Booting image '%d'\n", slot);
    if (boot_image_slot(slot))
        platform::reboot_board();

    std::printf("Booting image '%d'\n", other_slot(slot));
    boot_options.failover_attempt = true;
    boot_image_slot(other_slot(slot));
    platform::reboot_board();
}
