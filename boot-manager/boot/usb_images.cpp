#include "boot/usb_images.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/boot_options.h"
#include "platform/timing.h"

namespace {

constexpr int USB_MOUNT_WAIT_SECONDS = 10;

bool usb_announced() {
    struct stat info {};
    return ::stat("/tmp/usb", &info) == 0;
}

} // namespace

int wait_for_usb_mount() {
    if (!boot_options.usb_boot)
        return 0;
    std::printf(
        "Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
        USB_MOUNT_WAIT_SECONDS);
    platform::sleep_seconds(1);
    for (int round = 0; round < USB_MOUNT_WAIT_SECONDS; ++round) {
        if (usb_announced()) {
            std::printf("USB mounted and ready!\n");
            return 0;
        }
        std::printf(".");
        std::fflush(stdout);
        platform::sleep_seconds(1);
    }
    std::printf("USB mount timed out\n");
    return -1;
}

// Stand-ins until USB installs exist: the stick offers nothing.
void install_usb_boot_image() {}

ImageSlot install_usb_replacements() {
    return 0;
}
