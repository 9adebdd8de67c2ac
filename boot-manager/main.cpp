// The boot manager takes no arguments: the boot loader environment, board
// NVRAM and the files on the eMMC and a USB stick steer it.
#include <cstdio>

#include "boot/boot_sequence.h"
#include "platform/process.h"

int main() {
    platform::open_standard_descriptors();
    // Whole lines reach the console in order with standard error and with the
    // output of the tools, whatever the console is.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    run_boot_sequence();
}
