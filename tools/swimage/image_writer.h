// Lays out image components: the header of each header version, its records,
// len and the image CRC, by the same rules the switch reads them with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace swimage {

struct RawRecord {
    uint16_t type = 0;
    std::vector<uint8_t> body;
};

struct ComponentRecipe {
    std::vector<uint8_t> payload;
    uint32_t type_word = 0; // bit 31 is added for a version-2 header
    uint32_t id = 0;        // version a.b.c.d, a in the top byte
    int header_version = 3;
    uint16_t v2_header_size = 24;
    std::vector<uint8_t> signature; // empty: unsigned
    bool has_type_override = false;
    uint32_t type_override = 0;
    std::vector<RawRecord> records; // after the signature and type-override records
};

// The header bytes of the component (its payload follows them in the file),
// with len and the CRC filled in. False with a one-line reason when the
// component cannot be laid out.
bool build_component_header(const ComponentRecipe& recipe, std::vector<uint8_t>* header,
                            std::string* error);

} // namespace swimage
