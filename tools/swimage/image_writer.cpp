#include "image_writer.h"

#include <algorithm>

#include "image/image_format.h"

namespace swimage {

namespace {

void append_record(std::vector<uint8_t>* header, uint16_t type, const std::vector<uint8_t>& body) {
    const size_t at = header->size();
    header->resize(at + IMAGE_RECORD_HEADER_SIZE + body.size());
    image_put_be16(header->data() + at, type);
    image_put_be16(header->data() + at + 2,
                   static_cast<uint16_t>(IMAGE_RECORD_HEADER_SIZE + body.size()));
    std::copy(body.begin(), body.end(), header->begin() + at + IMAGE_RECORD_HEADER_SIZE);
}

bool fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

} // namespace

bool build_component_header(const ComponentRecipe& recipe, std::vector<uint8_t>* header,
                            std::string* error) {
    const uint64_t payload_size = recipe.payload.size();
    std::vector<uint8_t> h(IMAGE_BASE_HEADER_SIZE, 0);
    uint32_t type_word = recipe.type_word;
    uint64_t len = payload_size;

    switch (recipe.header_version) {
    case 1:
        if (type_word & IMAGE_V2_FLAG)
            return fail(error, "a type word with bit 31 set makes a version-2 header");
        if (payload_size >= 4 && image_be32(recipe.payload.data()) == IMAGE_HDR3_MAGIC)
            return fail(error, "the payload starts with \"HDR3\": a version-1 header would be "
                               "read as version 3");
        break;
    case 2:
        if (recipe.v2_header_size < IMAGE_V2_MIN_HEADER_SIZE)
            return fail(error, "a version-2 header needs at least 20 bytes");
        type_word |= IMAGE_V2_FLAG;
        h.resize(recipe.v2_header_size, 0);
        image_put_be16(h.data() + IMAGE_V2_HEADER_SIZE_OFFSET, recipe.v2_header_size);
        break;
    case 3: {
        h.resize(IMAGE_PROBE_SIZE, 0);
        image_put_be32(h.data() + IMAGE_HDR3_MAGIC_OFFSET, IMAGE_HDR3_MAGIC);
        if (!recipe.signature.empty()) {
            if (recipe.signature.size() > 0xFFFF - IMAGE_SIGNATURE_BODY_OFFSET)
                return fail(error, "the signature is too long for a record");
            std::vector<uint8_t> body(2 + recipe.signature.size());
            image_put_be16(body.data(), static_cast<uint16_t>(recipe.signature.size()));
            std::copy(recipe.signature.begin(), recipe.signature.end(), body.begin() + 2);
            append_record(&h, IMAGE_RECORD_SIGNATURE, body);
        }
        if (recipe.has_type_override) {
            std::vector<uint8_t> body(4);
            image_put_be32(body.data(), recipe.type_override);
            append_record(&h, IMAGE_RECORD_TYPE_OVERRIDE, body);
        }
        for (const auto& record : recipe.records) {
            if (record.body.size() > 0xFFFF - IMAGE_RECORD_HEADER_SIZE)
                return fail(error, "a header record is too long");
            append_record(&h, record.type, record.body);
        }
        if (h.size() > 0xFFFF)
            return fail(error, "the header records do not fit a 16-bit header length");
        image_put_be16(h.data() + IMAGE_V3_HEADER_LENGTH_OFFSET, static_cast<uint16_t>(h.size()));
        // len counts from offset 16: the header beyond the base header, then the payload.
        len = h.size() - IMAGE_BASE_HEADER_SIZE + payload_size;
        break;
    }
    default:
        return fail(error, "the header version must be 1, 2 or 3");
    }
    if (len > 0xFFFFFFFFULL)
        return fail(error, "the payload is too large for the 32-bit length field");
    if (recipe.header_version != 3 && !recipe.signature.empty())
        return fail(error, "only a version-3 header carries a signature");
    if (recipe.header_version != 3 && (recipe.has_type_override || !recipe.records.empty()))
        return fail(error, "only a version-3 header carries header records");

    image_put_be32(h.data() + IMAGE_LEN_OFFSET, static_cast<uint32_t>(len));
    image_put_be32(h.data() + IMAGE_MAGIC_OFFSET, type_word);
    image_put_be32(h.data() + IMAGE_ID_OFFSET, recipe.id);
    uint32_t crc = image_crc_update(IMAGE_CRC_INITIAL, h.data() + IMAGE_LEN_OFFSET,
                                    h.size() - IMAGE_LEN_OFFSET);
    crc = image_crc_update(crc, recipe.payload.data(), recipe.payload.size());
    image_put_be32(h.data() + IMAGE_CRC_OFFSET, crc);
    *header = std::move(h);
    return true;
}

} // namespace swimage
