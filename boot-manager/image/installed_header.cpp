#include "image/installed_header.h"

#include <cstdio>
#include <cstring>

#include "image/image_format.h"
#include "platform/flash.h"
#include "platform/unique_file.h"

namespace {

// A boot loader payload keeps a copy of its own base header here.
constexpr uint32_t BOOT_LOADER_HEADER_COPY_OFFSET = 0xF0;

int read_installed_flash_header(FlashPartition partition, uint32_t offset, uint8_t* header) {
    if (flash_read_range(header, flash_fd(partition), offset, IMAGE_BASE_HEADER_SIZE) != 0) {
        // A part-done read must not pass for an installed header.
        std::memset(header, 0, IMAGE_BASE_HEADER_SIZE);
    }
    return 1;
}

} // namespace

int read_installed_header_in(uint32_t type_word, uint8_t* header, int slot,
                             const char* images_dir) {
    std::memset(header, 0, IMAGE_BASE_HEADER_SIZE);
    switch (type_word) {
    case IMAGE_TYPE_APPLICATION: {
        char path[256];
        std::snprintf(path, sizeof path, "%s/image%d", images_dir, slot);
        platform::UniqueFile file(std::fopen(path, "rb"));
        if (!file)
            return 0;
        if (std::fread(header, 1, IMAGE_BASE_HEADER_SIZE, file.get()) != IMAGE_BASE_HEADER_SIZE)
            std::memset(header, 0, IMAGE_BASE_HEADER_SIZE);
        return 1;
    }
    case IMAGE_TYPE_BOOT_LOADER:
        return read_installed_flash_header(UBOOT, BOOT_LOADER_HEADER_COPY_OFFSET, header);
    case IMAGE_TYPE_KERNEL:
        return read_installed_flash_header(KERNEL, 0, header);
    case IMAGE_TYPE_ROOT_FS:
        return read_installed_flash_header(RFS, 0, header);
    case IMAGE_TYPE_DEVICE_TREE:
        return read_installed_flash_header(DEVICETREE, 0, header);
    case IMAGE_TYPE_ONIE:
        return read_installed_flash_header(ONIE, 0, header);
    default:
        std::printf("Unknown image type 0x%x \n", type_word);
        return 0;
    }
}

int read_installed_header(uint32_t type_word, uint8_t* header, int slot) {
    return read_installed_header_in(type_word, header, slot, INSTALLED_IMAGES_DIR);
}

bool same_version_headers(const uint8_t* new_header, const uint8_t* installed) {
    const uint32_t type_word = image_be32(new_header + IMAGE_MAGIC_OFFSET);
    // The boot loader's own copy of its header does not carry the CRC of the
    // component it came in.
    const size_t from = image_type_of(type_word) == IMAGE_TYPE_BOOT_LOADER ? IMAGE_LEN_OFFSET : 0;
    return std::memcmp(new_header + from, installed + from, IMAGE_BASE_HEADER_SIZE - from) == 0;
}

int same_installed_version_in(const uint8_t* new_header, int slot, const char* images_dir) {
    uint8_t installed[IMAGE_BASE_HEADER_SIZE];
    const uint32_t type_word = image_be32(new_header + IMAGE_MAGIC_OFFSET);
    if (!read_installed_header_in(type_word, installed, slot, images_dir))
        return 0;
    return same_version_headers(new_header, installed) ? 1 : 0;
}

int same_installed_version(const uint8_t* new_header, int slot) {
    return same_installed_version_in(new_header, slot, INSTALLED_IMAGES_DIR);
}

void print_image_header(const uint8_t* header, int verbose) {
    if (!verbose)
        return;
    std::printf("  crc: 0x%08x\n", image_be32(header + IMAGE_CRC_OFFSET));
    std::printf("  len: 0x%08x\n", image_be32(header + IMAGE_LEN_OFFSET));
    std::printf("magic: 0x%08x\n", image_be32(header + IMAGE_MAGIC_OFFSET));
    std::printf("   id: 0x%08x\n", image_be32(header + IMAGE_ID_OFFSET));
}
