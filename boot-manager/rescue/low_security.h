// The physical-presence test through which an operator at the switch turns
// low-security mode on or off, and the wipe of the image-signing keys.
#pragma once

#include <cstdint>

#include "platform/board_paths.h"

// The operator counts the blinks of the location LED. 1 when the mode was
// switched on, kept or left; 0 when abandoned. Resets the board after three
// wrong counts.
int physical_presence_test(const BoardPaths& paths);

// The number of blinks for an RTC seconds register: the sum of its two BCD
// digits, at least 1.
int blink_count(uint8_t rtc_seconds);

// Removes the key files and erases the key partition after a Y. Always 1.
int wipe_security_keys();
