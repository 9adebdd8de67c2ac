// MTD flash partitions: opened once at start-up, never closed, and reached
// through three whole-range operations (0 on success, -1 on failure).
#pragma once

#include <cstdint>

enum FlashPartition {
    UBOOT,
    UBOOTENV,
    DEVICETREE,
    KERNEL,
    RFS,
    RESCUE,
    ONIE,
    SISKEYS,
    FLASH_PARTITION_COUNT
};

struct FlashGeometry {
    uint32_t block_count;
    uint32_t erase_size;
    uint32_t erase_shift;
    uint32_t total_size;
};

// Which blocks a byte range touches, in unsigned 32-bit arithmetic.
struct BlockSpan {
    uint32_t first; // start of the first touched block
    uint32_t last;  // last byte of the last touched block
    uint32_t blocks;
};
BlockSpan flash_block_span(uint32_t offset, uint32_t length, const FlashGeometry& geometry);

const char* flash_partition_path(FlashPartition partition);
// The descriptor opened for a partition (negative when its open failed).
int flash_fd(FlashPartition partition);

int mtd_open_all();
int flash_init();

[[nodiscard]] int mtd_get_geometry(int fd, FlashGeometry* geometry);
[[nodiscard]] int mtd_erase_block(int fd, uint32_t offset, uint32_t length);
[[nodiscard]] int mtd_pread(int fd, uint32_t offset, uint32_t length, uint8_t* buffer);
[[nodiscard]] int mtd_pwrite(int fd, uint32_t offset, uint32_t length, const uint8_t* buffer);

[[nodiscard]] int flash_read(uint8_t* buffer, int fd, uint32_t length, uint32_t offset);
[[nodiscard]] int flash_write(const uint8_t* data, int fd, uint32_t length, uint32_t offset,
                              uint8_t show_progress, const FlashGeometry& geometry);
[[nodiscard]] int flash_erase(int fd, uint32_t length, uint32_t offset,
                              const FlashGeometry& geometry);

[[nodiscard]] int flash_read_range(uint8_t* buffer, int fd, uint32_t offset, uint32_t length);
[[nodiscard]] int flash_write_range(const uint8_t* data, int fd, uint32_t offset, uint32_t length,
                                    uint8_t show_progress);
[[nodiscard]] int flash_erase_range(int fd, uint32_t offset, uint32_t length);
