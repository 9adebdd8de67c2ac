// One boot attempt from an image slot.
#pragma once

#include "boot/slots.h"

// Returns (false) only when the slot cannot be booted; a successful attempt
// ends in the Application OS and never comes back.
bool boot_image_slot(ImageSlot slot);
