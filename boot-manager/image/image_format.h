// Image files: components laid back to back, each an image header followed by
// its payload. Every reader of image files (slot boot, debugger image,
// installation, signature check, version display, the host image tool) goes
// through the header rules, record scans and walker below.
//
// All multi-byte header fields are big-endian; nothing here depends on the
// host's byte order or word size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Base header (16 bytes) and the version-3 extension that follows it.
constexpr size_t IMAGE_BASE_HEADER_SIZE = 16;
constexpr size_t IMAGE_PROBE_SIZE = 24; // base header + version-3 extension
constexpr size_t IMAGE_CRC_OFFSET = 0;
constexpr size_t IMAGE_LEN_OFFSET = 4;
constexpr size_t IMAGE_MAGIC_OFFSET = 8;
constexpr size_t IMAGE_ID_OFFSET = 12;
constexpr size_t IMAGE_HDR3_MAGIC_OFFSET = 16;
constexpr size_t IMAGE_V2_HEADER_SIZE_OFFSET = 18;
constexpr size_t IMAGE_V3_HEADER_LENGTH_OFFSET = 22;
constexpr uint32_t IMAGE_HDR3_MAGIC = 0x48445233; // "HDR3"
constexpr uint32_t IMAGE_V2_FLAG = 0x80000000U;
// Smallest version-2 header that still holds its own header-size field.
constexpr uint32_t IMAGE_V2_MIN_HEADER_SIZE = 20;

// Image types: 0x0N4D4152, the type number N followed by "MAR".
constexpr uint32_t IMAGE_TYPE_SUFFIX = 0x004D4152;
constexpr uint32_t IMAGE_TYPE_SUFFIX_MASK = 0x00FFFFFF;
constexpr uint32_t IMAGE_TYPE_APPLICATION = 0x014D4152;
constexpr uint32_t IMAGE_TYPE_BOOT_LOADER = 0x024D4152;
constexpr uint32_t IMAGE_TYPE_KERNEL = 0x034D4152;
constexpr uint32_t IMAGE_TYPE_ROOT_FS = 0x044D4152;
constexpr uint32_t IMAGE_TYPE_DEVICE_TREE = 0x054D4152;
constexpr uint32_t IMAGE_TYPE_DIAG_APPLICATION = 0x064D4152;
constexpr uint32_t IMAGE_TYPE_TESK_APPLICATION = 0x084D4152;
constexpr uint32_t IMAGE_TYPE_ONIE = 0x094D4152;
constexpr uint32_t IMAGE_TYPE_ODM_DIAGS = 0x0B4D4152;

constexpr uint32_t image_type_from_number(uint8_t number) {
    return (static_cast<uint32_t>(number) << 24) | IMAGE_TYPE_SUFFIX;
}
constexpr uint32_t image_type_of(uint32_t type_word) {
    return type_word & ~IMAGE_V2_FLAG;
}

// Size limits of the components that go to flash.
constexpr uint32_t BOOT_LOADER_PAYLOAD_LIMIT = 0x80000;
constexpr uint32_t KERNEL_SPAN_LIMIT = 0x300000;
constexpr uint32_t ROOT_FS_SPAN_LIMIT = 0x500000;
constexpr uint32_t DEVICE_TREE_SPAN_LIMIT = 0x20000;
constexpr uint32_t ONIE_PAYLOAD_LIMIT = 0x3E0000;
// Larger spans are taken as a corrupt length field.
constexpr uint64_t IMAGE_SPAN_LIMIT = 0x40000000;

// Header records (version 3).
constexpr uint16_t IMAGE_RECORD_SIGNATURE = 3;
constexpr uint16_t IMAGE_RECORD_TYPE_OVERRIDE = 6;
constexpr size_t IMAGE_RECORD_HEADER_SIZE = 4;
constexpr size_t IMAGE_SIGNATURE_BODY_OFFSET = 6; // after the u16 signature length
constexpr size_t IMAGE_TYPE_OVERRIDE_RECORD_SIZE = 8;

// Big-endian field access.
uint16_t image_be16(const uint8_t* bytes);
uint32_t image_be32(const uint8_t* bytes);
void image_put_be16(uint8_t* bytes, uint16_t value);
void image_put_be32(uint8_t* bytes, uint32_t value);

// The image CRC: the reflected CRC-32 register started at 0xFFFFFFFF and never
// inverted at the end, i.e. the complement of the common CRC-32. Feed pieces
// through image_crc_update starting from IMAGE_CRC_INITIAL.
constexpr uint32_t IMAGE_CRC_INITIAL = 0xFFFFFFFFU;
uint32_t image_crc_update(uint32_t crc, const uint8_t* data, size_t length);
uint32_t image_crc(const uint8_t* data, size_t length);

// Image version "a.b.c.d" from the id field (host order, a in the top byte).
constexpr size_t IMAGE_VERSION_TEXT_SIZE = 16;
void format_image_version(uint32_t id, char (&text)[IMAGE_VERSION_TEXT_SIZE]);

// Which header versions a reader knows. The boot paths know all three; the
// installation engine and the signature check know 1 and 3 and read every
// other header as version 1, with bit 31 masked off the type.
enum class HeaderRules { all_versions, versions_1_and_3 };

// What the first 24 bytes of a component say about it.
struct ComponentHeader {
    uint32_t crc = 0;
    uint32_t len = 0;
    uint32_t type_word = 0; // as stored, bit 31 included
    uint32_t id = 0;
    uint32_t type = 0; // type word with bit 31 cleared
    int version = 1;
    uint32_t header_size = 0;
    uint64_t payload_size = 0;
    uint64_t span = 0; // header size + payload size: where the next component starts
};

// Derives the header version and sizes from 24 bytes. Returns false when the
// header cannot describe a component (a version-3 header length below 24 or
// beyond the component, a version-2 header too short to hold its own size
// field); the fields are filled in all the same.
bool read_component_header(const uint8_t* bytes, ComponentHeader* header,
                           HeaderRules rules = HeaderRules::all_versions);

// Size limit of a component type. kind tells what the limit applies to.
enum class SizeLimitKind { none, payload, span };
struct SizeLimit {
    SizeLimitKind kind;
    uint32_t limit;
};
SizeLimit image_size_limit(uint32_t type);
bool within_size_limit(const ComponentHeader& header);

// Names of the image types, for people (the image tool). Null when the type
// has no meaning to the system.
const char* image_type_name(uint32_t type);

// One header record, seen in a header buffer.
struct HeaderRecord {
    size_t offset = 0; // from the component start
    uint16_t type = 0;
    uint16_t length = 0; // the whole record, its 4-byte head included
    // The record's declared extent lies within both the header length and the
    // bytes at hand; only then may its body be read.
    bool intact = false;
};

// Steps through the header records of a version-3 header held in
// header[0..count). Records start at 24 and go on while the header length is
// above the current offset. The walk ends at a record shorter than its own
// head (it would never advance) and at a record head that lies outside the
// bytes at hand. Headers that are not version 3 have no records.
class HeaderRecordCursor {
  public:
    HeaderRecordCursor(const uint8_t* header, size_t count);
    bool next(HeaderRecord* record);

  private:
    const uint8_t* header_;
    size_t count_;
    size_t header_length_ = 0;
    size_t offset_ = IMAGE_PROBE_SIZE;
    bool done_ = false;
};

bool is_version3_header(const uint8_t* header, size_t count);

// The signature record: the last record of type 3. intact is false when the
// record or its signature runs past the record, the header length or the
// bytes at hand; such a signature must count as failed.
struct SignatureRecord {
    bool found = false;
    bool intact = false;
    size_t record_offset = 0;
    const uint8_t* signature = nullptr;
    uint16_t signature_length = 0;
};
SignatureRecord find_signature_record(const uint8_t* header, size_t count);

// The type-override record: the first record of type 6 whose type word ends in
// "MAR". Returns true and sets type_word when there is one.
bool find_type_override(const uint8_t* header, size_t count, uint32_t* type_word);

// A component found by the walker.
struct ImageComponent {
    uint64_t start = 0; // file offset of the component
    uint8_t probe[IMAGE_PROBE_SIZE] = {};
    ComponentHeader header;
};

enum class WalkStep {
    component, // a component was read; the file is at its start
    end,       // fewer than 24 bytes remain (or the file cannot be read)
    malformed, // the header cannot describe a component; the walk cannot go on
};

// Walks the components of an open image file from its current position. The
// file stays owned by the caller. After each step the file is positioned at the
// start of the component returned; the next step begins at start + span,
// wherever the caller has left the file meanwhile.
class ImageWalker {
  public:
    explicit ImageWalker(FILE* file, HeaderRules rules = HeaderRules::all_versions);
    [[nodiscard]] WalkStep next(ImageComponent* component);

  private:
    FILE* file_;
    HeaderRules rules_;
    uint64_t next_start_ = 0;
    bool failed_ = false;
};

// Reads count bytes from a file offset (the header bytes of a component, say).
// True when all of them arrived.
[[nodiscard]] bool read_image_bytes(FILE* file, uint64_t offset, size_t count,
                                    std::vector<uint8_t>* bytes);
// Positions the file at an offset; false when the offset cannot be reached.
[[nodiscard]] bool seek_image(FILE* file, uint64_t offset);

// The image CRC of a component as the file holds it (from offset 4 to the end
// of its payload). False when the file ends before the component does.
[[nodiscard]] bool compute_component_crc(FILE* file, const ImageComponent& component,
                                         uint32_t* crc);
