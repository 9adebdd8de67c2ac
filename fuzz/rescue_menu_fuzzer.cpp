// The rescue menu's keys and the dialogues it opens without leaving the
// console: boot slot number, configuration block (a key, or the factory reset
// confirmation), temporary MAC, Exit and Reboot. Input: the mode (Tesk or
// Arvo, the shell boot option), the NVRAM boot slot and configuration block
// bytes, then the keys typed.
#include <cstdio>

#include "console/console.h"
#include "fuzz_support.h"
#include "platform/boot_options.h"
#include "platform/nvram.h"
#include "rescue/rescue_menu.h"
#include "stubs/board.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One byte at a time, as the canonical console hands over only one line.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 4096)
        return 0;
    fuzz_load_nvram(nullptr, 0, 0);
    fuzz_nvram[NVRAM_OS_MODE] = data[0] & 1 ? OS_MODE_TESK : OS_MODE_ARVO;
    fuzz_nvram[NVRAM_BOOT_IMAGE_ARVO] = fuzz_nvram[NVRAM_BOOT_IMAGE_TESK] = data[1];
    fuzz_nvram[NVRAM_CONFIG_BLOCK] = data[2];
    boot_options.shell = data[0] & 2;
    const bool returned =
        fuzz::with_console(data + 3, size - 3, [] { fuzz::require(rescue_menu() == 1); });
    // Only Exit in Arvo mode returns; Tesk mode's Exit reboots.
    if (returned)
        fuzz::require(!(data[0] & 1));
    return 0;
}
