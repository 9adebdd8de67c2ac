// Low-security mode, which relaxes the image signature policy, and the
// physical-presence test through which an operator at the switch enables it.
#pragma once

#include <cstdint>

// The marker whose existence means low-security mode until the next boot
// ("/tmp/lowsec"); tests point it elsewhere.
extern const char* low_security_marker_path;

// True when the boot option override is on (noted on the console at every
// call) or when the marker exists.
bool low_security_mode_active();

// true writes the marker, false removes it.
void set_low_security_mode(bool on);

// The operator counts the blinks of the location LED. 1 when the mode was
// switched on, kept or left; 0 when abandoned. Resets the board after three
// wrong counts.
int physical_presence_test();

// The number of blinks for an RTC seconds register: the sum of its two BCD
// digits, at least 1.
int blink_count(uint8_t rtc_seconds);

// Removes the key files and erases the key partition after a Y. Always 1.
int wipe_security_keys();
