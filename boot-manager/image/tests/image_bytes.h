// Image bytes laid out by hand for the tests, field by field, big-endian.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace image_test {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint16_t v) {
    b.insert(b.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}

inline void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

inline Bytes base_header(uint32_t crc, uint32_t len, uint32_t magic, uint32_t id) {
    Bytes b;
    for (uint32_t field : {crc, len, magic, id})
        put32(b, field);
    return b;
}

inline Bytes record(uint16_t type, uint16_t length, const Bytes& body = {}) {
    Bytes b;
    put16(b, type);
    put16(b, length);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

inline Bytes signature_record(const Bytes& signature) {
    Bytes body;
    put16(body, static_cast<uint16_t>(signature.size()));
    body.insert(body.end(), signature.begin(), signature.end());
    return record(3, static_cast<uint16_t>(4 + body.size()), body);
}

inline Bytes override_record(uint32_t word) {
    Bytes body;
    put32(body, word);
    return record(6, 8, body);
}

// A version-3 header: base header, "HDR3", reserved, header length, records.
// header_length 0 means the real length of what is laid out.
inline Bytes v3_header(uint32_t len, uint32_t magic, uint32_t id,
                       std::initializer_list<Bytes> records, uint16_t header_length = 0) {
    Bytes b = base_header(0, len, magic, id);
    put32(b, 0x48445233);
    put16(b, 0);
    size_t total = 24;
    for (const auto& r : records)
        total += r.size();
    put16(b, header_length ? header_length : static_cast<uint16_t>(total));
    for (const auto& r : records)
        b.insert(b.end(), r.begin(), r.end());
    return b;
}

// A version-1 component with a payload of the given size, filled with fill.
inline Bytes v1_component(uint32_t magic, uint32_t id, uint32_t payload_size, uint8_t fill = 0xA5) {
    Bytes b = base_header(0, payload_size, magic, id);
    b.insert(b.end(), payload_size, fill);
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// An anonymous temporary file holding bytes, positioned at its start.
inline FILE* temp_file_with(const Bytes& bytes) {
    FILE* file = std::tmpfile();
    if (!file)
        return nullptr;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

} // namespace image_test
