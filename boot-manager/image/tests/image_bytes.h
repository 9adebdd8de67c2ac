// Image bytes laid out by hand for the tests, field by field, big-endian.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <vector>

namespace image_test {

using Bytes = std::vector<uint8_t>;

// value as width bytes, most significant first
inline Bytes be(uint32_t value, int width) {
    Bytes b;
    while (width-- > 0)
        b.push_back(static_cast<uint8_t>(value >> (8 * width)));
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Bytes base_header(uint32_t crc, uint32_t len, uint32_t magic, uint32_t id) {
    return concat({be(crc, 4), be(len, 4), be(magic, 4), be(id, 4)});
}

inline Bytes record(uint16_t type, uint16_t length, const Bytes& body = {}) {
    return concat({be(type, 2), be(length, 2), body});
}

inline Bytes signature_record(const Bytes& signature) {
    const auto size = static_cast<uint16_t>(signature.size());
    return record(3, static_cast<uint16_t>(6 + size), concat({be(size, 2), signature}));
}

// A version-3 header: base header, "HDR3", reserved, header length, records.
// header_length 0 means the real length of what is laid out.
inline Bytes v3_header(uint32_t len, uint32_t magic, uint32_t id,
                       std::initializer_list<Bytes> records, uint16_t header_length = 0) {
    const Bytes all = concat(records);
    const auto length = header_length ? header_length : static_cast<uint32_t>(24 + all.size());
    return concat(
        {base_header(0, len, magic, id), be(0x48445233, 4), be(0, 2), be(length, 2), all});
}

// A version-1 component with a payload of the given size, filled with fill.
inline Bytes v1_component(uint32_t magic, uint32_t id, uint32_t payload_size, uint8_t fill = 0xA5) {
    return concat({base_header(0, payload_size, magic, id), Bytes(payload_size, fill)});
}

// An anonymous temporary file holding bytes, positioned at its start.
inline FILE* temp_file_with(const Bytes& bytes) {
    FILE* file = std::tmpfile(); // fwrite's buffer must not be null, even for no bytes
    if (file && !bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) > 0)
        std::rewind(file);
    return file;
}

} // namespace image_test
