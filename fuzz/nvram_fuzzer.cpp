// The NVRAM bytes as the boot manager interprets them: OS mode, boot slot,
// configuration block, USB boot flag and board key, with reads that may fail.
#include <cstring>

#include "boot/slots.h"
#include "fuzz_support.h"
#include "platform/nvram.h"
#include "stubs/board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    fuzz_nvram_fails = data[0] == 0xFF;
    fuzz_load_nvram(data + 1, size - 1, FUZZ_NVRAM_SIZE);

    const int tesk = is_tesk_mode();
    fuzz::require(tesk == (!fuzz_nvram_fails && fuzz_nvram[NVRAM_OS_MODE] == OS_MODE_TESK));
    const int stored = get_boot_image();
    fuzz::require(stored >= 0 && stored <= 0xFF);
    const ImageSlot slot = select_boot_slot();
    fuzz::require(slot == (stored == 2 ? 2 : 1));
    fuzz::require(other_slot(slot) == 3 - slot);

    uint8_t block = 0xAA;
    fuzz::require(get_config_block(&block) == 1);
    fuzz::require(fuzz_nvram_fails ? block == 0 : block == fuzz_nvram[NVRAM_CONFIG_BLOCK]);
    fuzz::require(get_usb_boot_flag() >= 0);

    uint8_t key[NVRAM_BOARD_KEY_LEN + 1] = {};
    key[NVRAM_BOARD_KEY_LEN] = 0x5A; // the reader stays within its 12 bytes
    get_board_key_bytes(key);
    fuzz::require(key[NVRAM_BOARD_KEY_LEN] == 0x5A);
    return 0;
}
