// The start-up and boot sequence: from the moment the boot root filesystem
// starts the boot manager until the board is handed over, rebooted or halted.
#pragma once

#include "platform/rtc.h"

void install_interrupt_handler();
void on_interrupt(int signal);

// The command that sets the system clock from the RTC registers.
void format_date_command(const RtcTime& time, char* out, unsigned size);

// Sleeps 1 s, runs "reboot" and exits with status 0.
[[noreturn]] void reboot_board();

[[noreturn]] void run_boot_sequence();
