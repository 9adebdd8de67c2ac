// Sleeping. Every wait of the boot manager goes through here (and so through
// nanosleep), which keeps time one seam that a simulated board can take over.
#pragma once

namespace platform {

void sleep_seconds(unsigned seconds);
void sleep_milliseconds(unsigned milliseconds);
void sleep_microseconds(unsigned microseconds);

// Never returns: waits for a power cycle without output, input or reboot.
[[noreturn]] void halt_forever();

} // namespace platform
