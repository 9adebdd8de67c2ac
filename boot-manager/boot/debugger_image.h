// The debugger for a boot under GDB: the gzip'd program that a debugger image
// in the other slot carries as its first component.
#pragma once

#include "boot/slots.h"

// Prepares "/tmp/gdb" from the other slot of booted_slot (1 or 2). True when
// it was prepared; the launch looks for the file itself.
bool extract_debugger_image(ImageSlot booted_slot);
