#include "image/image_format.h"

#include <arpa/inet.h>
#include <sys/types.h>

#include <array>
#include <cstring>
#include <limits>

uint16_t image_be16(const uint8_t* bytes) {
    uint16_t raw;
    std::memcpy(&raw, bytes, sizeof raw);
    return ntohs(raw);
}

uint32_t image_be32(const uint8_t* bytes) {
    uint32_t raw;
    std::memcpy(&raw, bytes, sizeof raw);
    return ntohl(raw);
}

void image_put_be16(uint8_t* bytes, uint16_t value) {
    const uint16_t raw = htons(value);
    std::memcpy(bytes, &raw, sizeof raw);
}

void image_put_be32(uint8_t* bytes, uint32_t value) {
    const uint32_t raw = htonl(value);
    std::memcpy(bytes, &raw, sizeof raw);
}

namespace {

constexpr uint32_t CRC_POLYNOMIAL = 0xEDB88320U;

// The bit-by-bit register update, eight bits at a time.
constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t value = byte;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1U) ? (value >> 1) ^ CRC_POLYNOMIAL : value >> 1;
        table[byte] = value;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

} // namespace

uint32_t image_crc_update(uint32_t crc, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i)
        crc = crc_table[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8);
    return crc;
}

uint32_t image_crc(const uint8_t* data, size_t length) {
    return image_crc_update(IMAGE_CRC_INITIAL, data, length);
}

void format_image_version(uint32_t id, char (&text)[IMAGE_VERSION_TEXT_SIZE]) {
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(id >> 24),
                  static_cast<int>((id >> 16) & 0xFFU), static_cast<int>((id >> 8) & 0xFFU),
                  static_cast<int>(id & 0xFFU));
}

bool read_component_header(const uint8_t* bytes, ComponentHeader* header, HeaderRules rules) {
    ComponentHeader h;
    h.crc = image_be32(bytes + IMAGE_CRC_OFFSET);
    h.len = image_be32(bytes + IMAGE_LEN_OFFSET);
    h.type_word = image_be32(bytes + IMAGE_MAGIC_OFFSET);
    h.id = image_be32(bytes + IMAGE_ID_OFFSET);
    h.type = image_type_of(h.type_word);

    bool sane = true;
    if (image_be32(bytes + IMAGE_HDR3_MAGIC_OFFSET) == IMAGE_HDR3_MAGIC) {
        h.version = 3;
        h.header_size = image_be16(bytes + IMAGE_V3_HEADER_LENGTH_OFFSET);
        h.span = static_cast<uint64_t>(h.len) + IMAGE_BASE_HEADER_SIZE;
        // A header longer than the component would give a negative payload.
        if (h.header_size < IMAGE_PROBE_SIZE || h.header_size > h.span) {
            sane = false;
            h.payload_size = 0;
        } else {
            h.payload_size = h.span - h.header_size;
        }
    } else if ((h.type_word & IMAGE_V2_FLAG) && rules == HeaderRules::all_versions) {
        h.version = 2;
        h.header_size = image_be16(bytes + IMAGE_V2_HEADER_SIZE_OFFSET);
        h.payload_size = h.len;
        h.span = static_cast<uint64_t>(h.header_size) + h.len;
        sane = h.header_size >= IMAGE_V2_MIN_HEADER_SIZE;
    } else {
        h.version = 1;
        h.header_size = IMAGE_BASE_HEADER_SIZE;
        h.payload_size = h.len;
        h.span = static_cast<uint64_t>(h.len) + IMAGE_BASE_HEADER_SIZE;
    }
    *header = h;
    return sane;
}

SizeLimit image_size_limit(uint32_t type) {
    switch (type) {
    case IMAGE_TYPE_BOOT_LOADER:
        return {SizeLimitKind::payload, BOOT_LOADER_PAYLOAD_LIMIT};
    case IMAGE_TYPE_KERNEL:
        return {SizeLimitKind::span, KERNEL_SPAN_LIMIT};
    case IMAGE_TYPE_ROOT_FS:
        return {SizeLimitKind::span, ROOT_FS_SPAN_LIMIT};
    case IMAGE_TYPE_DEVICE_TREE:
        return {SizeLimitKind::span, DEVICE_TREE_SPAN_LIMIT};
    case IMAGE_TYPE_ONIE:
        return {SizeLimitKind::payload, ONIE_PAYLOAD_LIMIT};
    default:
        return {SizeLimitKind::none, 0};
    }
}

bool within_size_limit(const ComponentHeader& header) {
    const SizeLimit limit = image_size_limit(header.type);
    switch (limit.kind) {
    case SizeLimitKind::payload:
        return header.payload_size <= limit.limit;
    case SizeLimitKind::span:
        return header.span <= limit.limit;
    case SizeLimitKind::none:
        break;
    }
    return true;
}

const char* image_type_name(uint32_t type) {
    switch (type) {
    case IMAGE_TYPE_APPLICATION:
        return "application";
    case IMAGE_TYPE_BOOT_LOADER:
        return "bootloader";
    case IMAGE_TYPE_KERNEL:
        return "kernel";
    case IMAGE_TYPE_ROOT_FS:
        return "rootfs";
    case IMAGE_TYPE_DEVICE_TREE:
        return "devicetree";
    case IMAGE_TYPE_DIAG_APPLICATION:
        return "diag-application";
    case IMAGE_TYPE_TESK_APPLICATION:
        return "tesk-application";
    case IMAGE_TYPE_ONIE:
        return "onie";
    case IMAGE_TYPE_ODM_DIAGS:
        return "odm-diags";
    default:
        return nullptr;
    }
}

bool is_version3_header(const uint8_t* header, size_t count) {
    return count >= IMAGE_PROBE_SIZE &&
           image_be32(header + IMAGE_HDR3_MAGIC_OFFSET) == IMAGE_HDR3_MAGIC;
}

HeaderRecordCursor::HeaderRecordCursor(const uint8_t* header, size_t count)
    : header_(header), count_(count) {
    if (is_version3_header(header, count))
        header_length_ = image_be16(header + IMAGE_V3_HEADER_LENGTH_OFFSET);
    else
        done_ = true;
}

bool HeaderRecordCursor::next(HeaderRecord* record) {
    if (done_ || header_length_ <= offset_ || count_ < offset_ ||
        count_ - offset_ < IMAGE_RECORD_HEADER_SIZE) {
        done_ = true;
        return false;
    }
    HeaderRecord r;
    r.offset = offset_;
    r.type = image_be16(header_ + offset_);
    r.length = image_be16(header_ + offset_ + 2);
    if (r.length < IMAGE_RECORD_HEADER_SIZE) {
        // It would never advance: the header has no further records.
        done_ = true;
        return false;
    }
    const size_t end = offset_ + r.length;
    r.intact = end <= header_length_ && end <= count_;
    offset_ = end;
    *record = r;
    return true;
}

SignatureRecord find_signature_record(const uint8_t* header, size_t count) {
    SignatureRecord found;
    HeaderRecordCursor cursor(header, count);
    HeaderRecord record;
    while (cursor.next(&record)) {
        if (record.type != IMAGE_RECORD_SIGNATURE)
            continue;
        SignatureRecord s;
        s.found = true;
        s.record_offset = record.offset;
        if (record.intact && record.length >= IMAGE_SIGNATURE_BODY_OFFSET) {
            s.signature_length = image_be16(header + record.offset + IMAGE_RECORD_HEADER_SIZE);
            if (IMAGE_SIGNATURE_BODY_OFFSET + s.signature_length <= record.length) {
                s.intact = true;
                s.signature = header + record.offset + IMAGE_SIGNATURE_BODY_OFFSET;
            }
        }
        found = s; // the last one wins
    }
    return found;
}

bool find_type_override(const uint8_t* header, size_t count, uint32_t* type_word) {
    HeaderRecordCursor cursor(header, count);
    HeaderRecord record;
    while (cursor.next(&record)) {
        if (record.type != IMAGE_RECORD_TYPE_OVERRIDE || !record.intact ||
            record.length < IMAGE_TYPE_OVERRIDE_RECORD_SIZE)
            continue;
        const uint32_t word = image_be32(header + record.offset + IMAGE_RECORD_HEADER_SIZE);
        if ((word & IMAGE_TYPE_SUFFIX_MASK) == IMAGE_TYPE_SUFFIX) {
            *type_word = word;
            return true;
        }
    }
    return false;
}

bool seek_image(FILE* file, uint64_t offset) {
    // off_t may be 32 bits wide on the target.
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool read_image_bytes(FILE* file, uint64_t offset, size_t count, std::vector<uint8_t>* bytes) {
    bytes->assign(count, 0);
    if (!seek_image(file, offset))
        return false;
    return std::fread(bytes->data(), 1, count, file) == count;
}

ImageWalker::ImageWalker(FILE* file, HeaderRules rules) : file_(file), rules_(rules) {
    const off_t position = ::ftello(file);
    if (position < 0)
        failed_ = true;
    else
        next_start_ = static_cast<uint64_t>(position);
}

WalkStep ImageWalker::next(ImageComponent* component) {
    if (failed_)
        return WalkStep::end;
    ImageComponent c;
    c.start = next_start_;
    if (!seek_image(file_, c.start) ||
        std::fread(c.probe, 1, sizeof c.probe, file_) != sizeof c.probe ||
        !seek_image(file_, c.start)) {
        failed_ = true;
        return WalkStep::end;
    }
    const bool sane = read_component_header(c.probe, &c.header, rules_);
    *component = c;
    if (!sane) {
        failed_ = true;
        return WalkStep::malformed;
    }
    next_start_ = c.start + c.header.span;
    return WalkStep::component;
}

bool compute_component_crc(FILE* file, const ImageComponent& component, uint32_t* crc) {
    const uint64_t end = component.header.header_size + component.header.payload_size;
    if (end < IMAGE_LEN_OFFSET || !seek_image(file, component.start + IMAGE_LEN_OFFSET))
        return false;
    uint64_t remaining = end - IMAGE_LEN_OFFSET;
    uint32_t value = IMAGE_CRC_INITIAL;
    std::vector<uint8_t> buffer(0x10000);
    while (remaining > 0) {
        const size_t piece =
            remaining < buffer.size() ? static_cast<size_t>(remaining) : buffer.size();
        if (std::fread(buffer.data(), 1, piece, file) != piece)
            return false;
        value = image_crc_update(value, buffer.data(), piece);
        remaining -= piece;
    }
    *crc = value;
    return true;
}
