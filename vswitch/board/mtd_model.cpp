// The MTD flash partitions: NOR flash as the MTD character devices present
// it. Erasing sets whole erase blocks to 0xFF; writing can only clear bits
// (new = old & data), so a write over unerased flash shows. Each partition is
// a file under flash/; bytes past its end read as erased.

#include <fcntl.h>
#include <mtd/mtd-user.h>

#include <cerrno>
#include <cstring>

#include "board_layout.h"
#include "models.h"
#include "state_files.h"

namespace vswitch::board {

namespace {

const layout::PartitionInfo& info_of(int partition) {
    return layout::PARTITIONS[partition];
}

bool data_path(int partition, char* path) {
    char name[64];
    LineBuffer line(name, sizeof name);
    line.text(layout::FLASH_DIR).chr('/').text(info_of(partition).name);
    return board_path(path, name);
}

// faults/mtd-<name>-<what>
bool fault_file(int partition, const char* what, char* path) {
    char name[96];
    LineBuffer line(name, sizeof name);
    line.text(layout::FAULT_DIR).text("/mtd-").text(info_of(partition).name).chr('-').text(what);
    return board_path(path, name);
}

bool fault_set(int partition, const char* what) {
    char path[PATH_LEN];
    return fault_file(partition, what, path) && file_exists(path);
}

bool fault_in_range(int partition, const char* what, uint64_t offset, uint64_t length) {
    char path[PATH_LEN];
    uint64_t at = 0;
    return fault_file(partition, what, path) && read_number(path, &at) && at >= offset &&
           at - offset < length;
}

struct Geometry {
    uint64_t size;
    uint64_t erase_size;
};

// flash/<name>.geometry: "size=N" and "erase_size=N" lines; defaults otherwise.
Geometry geometry_of(int partition) {
    Geometry geometry{info_of(partition).size, info_of(partition).erase_size};
    char name[96];
    LineBuffer line(name, sizeof name);
    line.text(layout::FLASH_DIR).chr('/').text(info_of(partition).name).text(".geometry");
    char path[PATH_LEN];
    if (board_path(path, name)) {
        read_key(path, "size", &geometry.size);
        read_key(path, "erase_size", &geometry.erase_size);
    }
    if (geometry.erase_size == 0)
        geometry.erase_size = layout::DEFAULT_ERASE_SIZE;
    return geometry;
}

// One line of flash.log: time name open|info|read|write|erase ok|fail 0xoffset 0xlength
void log_event(int partition, const char* kind, bool ok, uint64_t offset, uint64_t length) {
    char text[160];
    LineBuffer line(text, sizeof text);
    line.dec(board_clock_ns()).chr(' ').text(info_of(partition).name).chr(' ').text(kind);
    line.text(ok ? " ok 0x" : " fail 0x").hex(offset).text(" 0x").hex(length).chr('\n');
    append_log(layout::FLASH_LOG, text, line.length());
}

} // namespace

int mtd_index(const char* path) {
    for (int i = 0; i < layout::PARTITION_COUNT; ++i) {
        if (std::strcmp(path, layout::PARTITIONS[i].device) == 0)
            return i;
    }
    return -1;
}

uint64_t mtd_size(int partition) {
    return geometry_of(partition).size;
}

int mtd_open(int partition) {
    bool fail = fault_set(partition, "open");
    log_event(partition, "open", !fail, 0, 0);
    return fail ? ENOENT : 0;
}

int mtd_get_info(int partition, mtd_info_user* info) {
    if (fault_set(partition, "info")) {
        log_event(partition, "info", false, 0, 0);
        errno = EIO;
        return -1;
    }
    const Geometry geometry = geometry_of(partition);
    std::memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = static_cast<uint32_t>(geometry.size);
    info->erasesize = static_cast<uint32_t>(geometry.erase_size);
    info->writesize = 1;
    info->oobsize = 0;
    log_event(partition, "info", true, 0, 0);
    return 0;
}

int mtd_erase(int partition, uint64_t start, uint64_t length) {
    const Geometry geometry = geometry_of(partition);
    // The MTD layer refuses what is not whole erase blocks inside the device.
    if (length == 0 || start % geometry.erase_size != 0 || length % geometry.erase_size != 0 ||
        start > geometry.size || length > geometry.size - start) {
        log_event(partition, "erase", false, start, length);
        errno = EINVAL;
        return -1;
    }
    if (fault_in_range(partition, "erase-at", start, length)) {
        log_event(partition, "erase", false, start, length);
        errno = EIO;
        return -1;
    }
    char path[PATH_LEN];
    bool ok = data_path(partition, path);
    if (ok) {
        // Past the end of the file the flash already reads erased.
        uint64_t file_size = 0;
        if (const SysFd file(sys_open(path, O_RDONLY)); file.valid())
            file_size = sys_file_size(file.get());
        uint8_t erased[4096];
        std::memset(erased, layout::ERASED, sizeof erased);
        const uint64_t end = start + length < file_size ? start + length : file_size;
        for (uint64_t at = start; ok && at < end; at += sizeof erased) {
            const size_t piece = end - at < sizeof erased ? end - at : sizeof erased;
            ok = image_write(path, at, erased, piece, layout::ERASED);
        }
    }
    log_event(partition, "erase", ok, start, length);
    if (!ok) {
        errno = EIO;
        return -1;
    }
    power_cut_after_flash_op();
    return 0;
}

ssize_t mtd_read(int partition, void* buffer, size_t length, uint64_t offset) {
    const uint64_t size = geometry_of(partition).size;
    if (offset >= size) {
        log_event(partition, "read", true, offset, 0);
        return 0;
    }
    if (length > size - offset)
        length = static_cast<size_t>(size - offset);
    char path[PATH_LEN];
    if (fault_in_range(partition, "read-at", offset, length) || !data_path(partition, path) ||
        !image_read(path, offset, buffer, length, layout::ERASED)) {
        log_event(partition, "read", false, offset, length);
        errno = EIO;
        return -1;
    }
    log_event(partition, "read", true, offset, length);
    return static_cast<ssize_t>(length);
}

ssize_t mtd_write(int partition, const void* buffer, size_t length, uint64_t offset) {
    const uint64_t size = geometry_of(partition).size;
    if (offset >= size) {
        log_event(partition, "write", false, offset, length);
        errno = ENOSPC;
        return -1;
    }
    if (length > size - offset)
        length = static_cast<size_t>(size - offset);
    char path[PATH_LEN];
    if (fault_in_range(partition, "write-at", offset, length) || !data_path(partition, path)) {
        log_event(partition, "write", false, offset, length);
        errno = EIO;
        return -1;
    }
    // NOR programming only clears bits.
    const auto* data = static_cast<const uint8_t*>(buffer);
    uint8_t cells[4096];
    bool ok = true;
    for (size_t done = 0; ok && done < length; done += sizeof cells) {
        const size_t piece = length - done < sizeof cells ? length - done : sizeof cells;
        ok = image_read(path, offset + done, cells, piece, layout::ERASED);
        for (size_t i = 0; ok && i < piece; ++i)
            cells[i] &= data[done + i];
        ok = ok && image_write(path, offset + done, cells, piece, layout::ERASED);
    }
    log_event(partition, "write", ok, offset, length);
    if (!ok) {
        errno = EIO;
        return -1;
    }
    power_cut_after_flash_op();
    return static_cast<ssize_t>(length);
}

} // namespace vswitch::board
