#include "platform/flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/unique_fd.h"

namespace {

struct PartitionEntry {
    const char* path;
    int flags;
};

constexpr PartitionEntry partition_table[FLASH_PARTITION_COUNT] = {
    {"/dev/mtd-uboot", O_RDWR | O_SYNC},
    {"/dev/mtd-ubootenv", O_RDWR | O_SYNC},
    {"/dev/mtd-devicetree", O_RDWR | O_SYNC},
    {"/dev/mtd-kernel", O_RDWR | O_SYNC},
    {"/dev/mtd-rfs", O_RDWR | O_SYNC},
    {"/dev/mtd-rescue", O_RDWR},
    {"/dev/mtd-onie", O_RDWR},
    {"/dev/mtd-siskeys", O_RDWR | O_SYNC},
};

// Lives for the whole run: the partitions are never closed.
platform::UniqueFd partition_fds[FLASH_PARTITION_COUNT];

constexpr uint32_t WRITE_PIECE = 1024;

// A range must lie inside the partition, in a partition whose erase size is
// known, before any byte of it is copied or any block erased: a wrapping
// offset plus length would otherwise pick blocks far from the range, and an
// erase size of 0 would make every range touch no block and "succeed".
bool range_refused(uint32_t offset, uint32_t length, const FlashGeometry& geometry) {
    if (geometry.erase_size == 0) {
        std::printf("Flash erase size is 0\n");
        return true;
    }
    if (offset > geometry.total_size || length > geometry.total_size - offset) {
        std::printf("Flash range 0x%x+0x%x is outside the partition (0x%x bytes)\n", offset, length,
                    geometry.total_size);
        return true;
    }
    return false;
}

void print_percentage(uint32_t percent) {
    std::printf("\b\b\b\b%3.3u%c", percent, '%');
    std::fflush(stdout);
}

} // namespace

const char* flash_partition_path(FlashPartition partition) {
    return partition_table[partition].path;
}

int flash_fd(FlashPartition partition) {
    return partition_fds[partition].get();
}

int mtd_open_all() {
    for (int i = 0; i < FLASH_PARTITION_COUNT; ++i)
        partition_fds[i].reset(::open(partition_table[i].path, partition_table[i].flags));
    return 1;
}

int flash_init() {
    return mtd_open_all();
}

BlockSpan flash_block_span(uint32_t offset, uint32_t length, const FlashGeometry& geometry) {
    const uint32_t mask = ~(geometry.erase_size - 1U);
    BlockSpan span{};
    span.first = offset & mask;
    // Wraps on purpose: a zero length at a block boundary spans no block.
    span.last = ((offset + length - 1U) & mask) + geometry.erase_size - 1U;
    span.blocks = (span.last - span.first + 1U) >> geometry.erase_shift;
    return span;
}

int mtd_get_geometry(int fd, FlashGeometry* geometry) {
    mtd_info_user info{};
    if (::ioctl(fd, MEMGETINFO, &info) != 0) {
        std::printf("Could not get MTD device info \n");
        return 0;
    }
    geometry->block_count = info.erasesize != 0 ? info.size / info.erasesize : 0;
    geometry->erase_size = info.erasesize;
    geometry->total_size = info.size;
    for (uint32_t bit = 0; bit < 32; ++bit) {
        if (info.erasesize & (1U << bit)) {
            geometry->erase_shift = bit;
            break;
        }
    }
    return 1;
}

int mtd_erase_block(int fd, uint32_t offset, uint32_t length) {
    erase_info_user erase{offset, length};
    return ::ioctl(fd, MEMERASE, &erase) == 0 ? 1 : 0;
}

int mtd_pread(int fd, uint32_t offset, uint32_t length, uint8_t* buffer) {
    return ::pread(fd, buffer, length, static_cast<off_t>(offset)) >= 0 ? 1 : 0;
}

int mtd_pwrite(int fd, uint32_t offset, uint32_t length, const uint8_t* buffer) {
    return ::pwrite(fd, buffer, length, static_cast<off_t>(offset)) >= 0 ? 1 : 0;
}

int flash_read(uint8_t* buffer, int fd, uint32_t length, uint32_t offset) {
    return mtd_pread(fd, offset, length, buffer);
}

int flash_write(const uint8_t* data, int fd, uint32_t length, uint32_t offset,
                uint8_t show_progress, const FlashGeometry& geometry) {
    if (range_refused(offset, length, geometry))
        return 0;
    const uint32_t erase_size = geometry.erase_size;
    const BlockSpan span = flash_block_span(offset, length, geometry);

    // One erase block plus one write piece, so the last 1024-byte write-back
    // stays inside the buffer even for an erase size that is not a multiple of it.
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[erase_size + WRITE_PIECE]);
    if (!work) {
        std::printf("Flash Write malloc failed\n");
        return 0;
    }

    if (show_progress)
        std::printf("     ");

    // The piece that holds the start of the range (a component's header) is
    // written last: a write cut short leaves it erased, so a torn partition
    // never passes for an installed component of the same version.
    uint8_t first_piece[WRITE_PIECE];
    const uint32_t first_piece_at = (offset - span.first) / WRITE_PIECE * WRITE_PIECE;

    uint32_t consumed = 0;
    uint32_t block = span.first;
    for (uint32_t i = 0; i < span.blocks; ++i) {
        uint32_t slice_start;
        uint32_t slice_length;
        if (span.blocks == 1) {
            slice_start = offset - span.first;
            slice_length = length;
        } else if (i == 0) {
            slice_start = offset - span.first;
            slice_length = erase_size - slice_start;
        } else if (i == span.blocks - 1) {
            slice_start = 0;
            slice_length = length - consumed;
        } else {
            slice_start = 0;
            slice_length = erase_size;
        }

        std::memset(work.get(), 0, erase_size);
        if (!mtd_pread(fd, block, erase_size, work.get())) {
            std::printf("Flash Write mtd read failed.\n\n");
            return 0;
        }
        // A zero-length write may come with no data at all.
        if (slice_length != 0)
            std::memcpy(work.get() + slice_start, data + consumed, slice_length);

        if (!mtd_erase_block(fd, block, erase_size)) {
            std::printf("Flash Write mtd erase failed.\n\n");
            return 0;
        }
        for (uint32_t w = 0; w < erase_size; w += WRITE_PIECE) {
            if (i == 0 && w == first_piece_at) {
                std::memcpy(first_piece, work.get() + w, WRITE_PIECE);
                continue;
            }
            if (!mtd_pwrite(fd, block + w, WRITE_PIECE, work.get() + w)) {
                std::printf("Flash Write mtd write failed.\n\n");
                return 0;
            }
        }

        if (show_progress)
            print_percentage(i * 100U / span.blocks);
        block += erase_size;
        consumed += slice_length;
    }
    if (span.blocks != 0 &&
        !mtd_pwrite(fd, span.first + first_piece_at, WRITE_PIECE, first_piece)) {
        std::printf("Flash Write mtd write failed.\n\n");
        return 0;
    }

    if (show_progress)
        std::printf("\b\b\b\b100%c\n", '%');
    return 1;
}

int flash_erase(int fd, uint32_t length, uint32_t offset, const FlashGeometry& geometry) {
    if (range_refused(offset, length, geometry))
        return 0;
    const BlockSpan span = flash_block_span(offset, length, geometry);
    uint32_t block = span.first;
    for (uint32_t i = 0; i < span.blocks; ++i) {
        if (!mtd_erase_block(fd, block, geometry.erase_size)) {
            std::printf("Flash Erase mtd erase failed.\n");
            return 0;
        }
        block += geometry.erase_size;
    }
    return 1;
}

int flash_read_range(uint8_t* buffer, int fd, uint32_t offset, uint32_t length) {
    FlashGeometry geometry{};
    if (!mtd_get_geometry(fd, &geometry))
        return -1;
    return flash_read(buffer, fd, length, offset) ? 0 : -1;
}

int flash_write_range(const uint8_t* data, int fd, uint32_t offset, uint32_t length,
                      uint8_t show_progress) {
    FlashGeometry geometry{};
    if (!mtd_get_geometry(fd, &geometry))
        return -1;
    return flash_write(data, fd, length, offset, show_progress, geometry) ? 0 : -1;
}

int flash_erase_range(int fd, uint32_t offset, uint32_t length) {
    FlashGeometry geometry{};
    if (!mtd_get_geometry(fd, &geometry))
        return -1;
    return flash_erase(fd, length, offset, geometry) ? 0 : -1;
}
