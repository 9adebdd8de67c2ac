// The installed-header reader: the slot file's first bytes (any length) read
// back and compared with a new base header of any type word. Input: the
// slot, the new header's 16 bytes, then the slot file "image<slot>".
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "image/image_format.h"
#include "image/installed_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + IMAGE_BASE_HEADER_SIZE)
        return 0;
    const int slot = data[0] % 2 + 1;
    const uint8_t* new_header = data + 1;
    data += 1 + IMAGE_BASE_HEADER_SIZE;
    size -= 1 + IMAGE_BASE_HEADER_SIZE;
    const std::string dir = fuzz::scratch_dir();
    fuzz::require(fuzz::write_file(dir + "/image" + std::to_string(slot), data, size));

    uint8_t header[IMAGE_BASE_HEADER_SIZE + 1];
    header[IMAGE_BASE_HEADER_SIZE] = 0x5A; // the reader keeps to its 16 bytes
    const uint32_t type = image_be32(new_header + IMAGE_MAGIC_OFFSET);
    const int found = read_installed_header_in(type, header, slot, dir.c_str());
    fuzz::require(header[IMAGE_BASE_HEADER_SIZE] == 0x5A);
    if (type == IMAGE_TYPE_APPLICATION) {
        // A slot file shorter than a header reads as zeros, never as half a header.
        fuzz::require(found == 1);
        const uint8_t zeros[IMAGE_BASE_HEADER_SIZE] = {};
        fuzz::require(std::memcmp(header, size >= IMAGE_BASE_HEADER_SIZE ? data : zeros,
                                  IMAGE_BASE_HEADER_SIZE) == 0);
    }
    const int same = same_installed_version_in(new_header, slot, dir.c_str());
    fuzz::require(same == (found && same_version_headers(new_header, header) ? 1 : 0));
    print_image_header(header, 1);
    return 0;
}
