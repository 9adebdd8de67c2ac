// The start-up and boot sequence: from the moment the boot root filesystem
// starts the boot manager until the board is handed over, rebooted or halted.
#pragma once

#include "platform/rtc.h"

// The command that sets the system clock from the RTC registers.
void format_date_command(const RtcTime& time, char* out, unsigned size);

[[noreturn]] void run_boot_sequence();
