#include "boot/slots.h"

#include "platform/nvram.h"

ImageSlot select_boot_slot() {
    int stored = get_boot_image();
    return stored == 2 ? 2 : 1;
}
