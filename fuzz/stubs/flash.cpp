// The fuzz targets' board has no flash: every partition fails to open.
#include "platform/flash.h"

int flash_fd(FlashPartition) {
    return -1;
}

int flash_read_range(uint8_t*, int, uint32_t, uint32_t) {
    return -1;
}

int flash_erase_range(int, uint32_t, uint32_t) {
    return -1;
}

int flash_write_range(const uint8_t*, int, uint32_t, uint32_t, uint8_t) {
    return -1;
}
