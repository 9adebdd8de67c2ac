// Images supplied on a USB stick at start-up.
#pragma once

#include "boot/slots.h"

// 0 when USB handling is off or the stick appeared, -1 when it did not
// appear in time.
int wait_for_usb_mount();
// Returns only when nothing was installed; a successful install reboots.
void install_usb_boot_image();
// The slot to boot: 1 or 2 (replaced), 3 (boot the stick's image) or 0.
ImageSlot install_usb_replacements();
