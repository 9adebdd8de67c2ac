#include "boot/slot_boot.h"

// Stand-in until the slot boot road exists: no slot can be booted yet.
bool boot_image_slot(ImageSlot) {
    return false;
}
