// The serial line switched to 115200 bps raw 8N1 for an XMODEM download and
// back to the console's settings afterwards, each time once the operator has
// changed the terminal's speed and pressed Enter.
#pragma once

#include <termios.h>

constexpr const char* DOWNLOAD_PORT_PATH = "/dev/ttyS0";

// Opens the port, switches it to download mode and returns its descriptor once
// a carriage return has arrived at the new speed; -1 when it cannot be opened
// (nothing changed then: skip the download and do not restore).
[[nodiscard]] int open_download_port();
[[nodiscard]] int open_download_port_at(const char* path);

// Puts back the settings saved by the last open_download_port and returns once
// Enter (a line feed, after the console's input translation) has arrived. The
// descriptor stays open.
void restore_console_port(int fd);

// The settings of download mode, made from the console's.
[[nodiscard]] termios download_mode_settings(const termios& saved);

// Reads one byte a second, dropping it, until key arrives; after every 11
// seconds without it prints reminder as a line. No time limit.
void wait_for_key_byte(int fd, unsigned char key, const char* reminder);
