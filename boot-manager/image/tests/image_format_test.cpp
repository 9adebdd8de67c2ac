#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "image/image_format.h"
#include "image_bytes.h"

using namespace image_test;

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool parse(const Bytes& bytes, ComponentHeader* h, HeaderRules rules = HeaderRules::all_versions) {
    Bytes probe = bytes;
    probe.resize(24, 0xEE); // payload bytes where the extension would be
    return read_component_header(probe.data(), h, rules);
}

Bytes v2_header(uint16_t header_size, uint32_t len) {
    Bytes bytes = base_header(0, len, 0x814D4152, 0);
    put16(bytes, 0xBEEF); // not "HDR3"
    put16(bytes, header_size);
    return bytes;
}

TEST(ComponentHeader, VersionAndSizesByTheRulesOfTheReader) {
    const auto A = HeaderRules::all_versions, E = HeaderRules::versions_1_and_3;
    const uint32_t APP = IMAGE_TYPE_APPLICATION, KERNEL = IMAGE_TYPE_KERNEL;
    const struct {
        const char* name;
        Bytes bytes;
        HeaderRules rules;
        bool sane;
        int version;
        uint32_t header_size;
        uint64_t payload, span;
        uint32_t type;
    } rows[] = {
        {"v1", base_header(0, 1000, KERNEL, 0), A, true, 1, 16, 1000, 1016, KERNEL},
        {"v3", v3_header(1000, APP, 0, {}, 200), A, true, 3, 200, 816, 1016, APP},
        {"v3 before bit 31", v3_header(100, 0x844D4152, 0, {}, 24), A, true, 3, 24, 92, 116,
         IMAGE_TYPE_ROOT_FS},
        {"v3 no payload", v3_header(100, 0, 0, {}, 116), A, true, 3, 116, 0, 116, 0},
        {"v3 below 24", v3_header(100, 0, 0, {}, 23), A, false, 3, 23, 0, 116, 0},
        {"v3 beyond the span", v3_header(100, 0, 0, {}, 117), A, false, 3, 117, 0, 116, 0},
        {"v2", v2_header(20, 100), A, true, 2, 20, 100, 120, APP},
        {"v2 too short", v2_header(19, 100), A, false, 2, 19, 100, 119, APP},
        {"v2 read by the engine", v2_header(0, 100), E, true, 1, 16, 100, 116, APP},
        {"length at the top", base_header(0, 0xFFFFFFFF, 0, 0), A, true, 1, 16, 0xFFFFFFFF,
         0x10000000F, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ComponentHeader h;
        EXPECT_EQ(parse(row.bytes, &h, row.rules), row.sane);
        EXPECT_EQ(h.version, row.version);
        EXPECT_EQ(h.header_size, row.header_size);
        EXPECT_EQ(h.payload_size, row.payload);
        EXPECT_EQ(h.span, row.span);
        EXPECT_EQ(h.type, row.type);
    }
}

TEST(ComponentHeader, SizeLimitsAtAndOnePastEachLimit) {
    // Version-1 components: payload = len, span = len + 16.
    const struct {
        uint32_t type, len_at_limit;
    } rows[] = {{IMAGE_TYPE_BOOT_LOADER, 0x80000},   {IMAGE_TYPE_KERNEL, 0x300000 - 16},
                {IMAGE_TYPE_ROOT_FS, 0x500000 - 16}, {IMAGE_TYPE_DEVICE_TREE, 0x20000 - 16},
                {IMAGE_TYPE_ONIE, 0x3E0000},         {IMAGE_TYPE_APPLICATION, 0xFFFFFFF0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        ComponentHeader h;
        parse(base_header(0, row.len_at_limit, row.type, 0), &h);
        EXPECT_TRUE(within_size_limit(h));
        parse(base_header(0, row.len_at_limit + 1, row.type, 0), &h);
        EXPECT_EQ(within_size_limit(h), row.type == IMAGE_TYPE_APPLICATION);
    }
}

TEST(ImageFields, CrcIsTheComplementOfTheCommonCrc32AndVersionIsFourBytes) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(image_crc(abc, 3), 0xCADBBE3DU);
    EXPECT_EQ(image_crc_update(image_crc_update(IMAGE_CRC_INITIAL, abc, 1), abc + 1, 2),
              0xCADBBE3DU);
    char text[IMAGE_VERSION_TEXT_SIZE];
    format_image_version(0x01FEFDFC, text);
    EXPECT_STREQ(text, "1.254.253.252");
}

Bytes first_bytes(const Bytes& bytes, size_t count) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(count));
}

// Scans over a header held in a buffer of exactly its size, so that a read
// past it is caught by the sanitizers.
TEST(RecordScan, SignatureRecord) {
    const Bytes payload = signature_record(Bytes(16, 0x33)); // after the header: no record
    const Bytes claims_500 = v3_header(0, 0, 0, {signature_record(Bytes(256, 7))}, 500);
    auto after_short_record = [](uint16_t length) {
        return v3_header(0, 0, 0,
                         {signature_record(Bytes(8, 1)), record(7, length, {0, 0, 0, 0}),
                          signature_record(Bytes(8, 2))});
    };
    const struct {
        const char* name;
        Bytes header;
        bool found, intact;
        uint8_t first; // first signature byte when intact
    } rows[] = {
        {"last one wins",
         v3_header(0, 0, 0,
                   {signature_record(Bytes(8, 1)), record(9, 8, Bytes(4, 0)),
                    signature_record(Bytes(8, 2))}),
         true, true, 2},
        {"record of length 0 ends the scan", after_short_record(0), true, true, 1},
        {"record of length 1", after_short_record(1), true, true, 1},
        {"record of length 3", after_short_record(3), true, true, 1},
        {"signature record of length 3",
         v3_header(0, 0, 0, {record(3, 3, {0, 0, 0, 0}), signature_record(Bytes(8, 2))}), false,
         false, 0},
        {"header length 24", concat({v3_header(0, 0, 0, {}, 24), payload}), false, false, 0},
        {"version 1", concat({base_header(0, 0, 0, 0), payload}), false, false, 0},
        {"running past the header length",
         concat({v3_header(0, 0, 0, {record(3, 300, concat({{1, 0}, Bytes(34, 0x44)}))}),
                 Bytes(400, 0x55)}),
         true, false, 0},
        {"signature longer than its record",
         v3_header(0, 0, 0, {record(3, 16, concat({{0, 11}, Bytes(10, 0x66)}))}), true, false, 0},
        {"no room for its length", v3_header(0, 0, 0, {record(3, 4)}), true, false, 0},
        {"beyond the bytes at hand", first_bytes(claims_500, 34), true, false, 0},
        {"no record head at hand", first_bytes(claims_500, 26), false, false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto sig = find_signature_record(row.header.data(), row.header.size());
        EXPECT_EQ(sig.found, row.found);
        EXPECT_EQ(sig.intact, row.intact);
        EXPECT_EQ(sig.signature != nullptr, row.intact);
        if (sig.signature != nullptr) {
            EXPECT_EQ(sig.signature[0], row.first);
        }
    }
    const auto sig = find_signature_record(rows[0].header.data(), rows[0].header.size());
    EXPECT_EQ(sig.record_offset, 24U + 14 + 8);
    EXPECT_EQ(sig.signature_length, 8);
    EXPECT_EQ(sig.signature, rows[0].header.data() + 24 + 14 + 8 + 6);
}

TEST(RecordScan, FirstTypeOverrideEndsTheScan) {
    const Bytes header =
        v3_header(0, 0, 0,
                  {override_record(0x01000000), // not "MAR": passed by
                   signature_record(Bytes(4, 0)), override_record(IMAGE_TYPE_DIAG_APPLICATION),
                   override_record(IMAGE_TYPE_APPLICATION)});
    uint32_t word = 0;
    ASSERT_TRUE(find_type_override(header.data(), header.size(), &word));
    EXPECT_EQ(word, IMAGE_TYPE_DIAG_APPLICATION);
    // One cut short by the header length is not used.
    const Bytes cut = v3_header(0, 0, 0, {override_record(IMAGE_TYPE_APPLICATION)}, 24 + 6);
    EXPECT_FALSE(find_type_override(cut.data(), cut.size(), &word));
}

TEST(Walker, StepsBySpanFromWhereTheFileIs) {
    // Header length 40 (one record), payload 60: span 100, len 84.
    const Bytes kernel = concat(
        {v3_header(84, IMAGE_TYPE_KERNEL, 0, {record(9, 16, Bytes(12, 0))}), Bytes(60, 0x77)});
    const Bytes app = v1_component(IMAGE_TYPE_APPLICATION, 0, 50);
    File file(temp_file_with(concat({Bytes(5, 0), kernel, app, Bytes(23, 0xFF)})));
    std::fseek(file.get(), 5, SEEK_SET);
    ImageWalker walker(file.get());
    ImageComponent c;
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    EXPECT_EQ(c.start, 5U);
    EXPECT_EQ(ftello(file.get()), 5);

    // Wherever the caller leaves the file, the next step starts after the span.
    std::fseek(file.get(), 3, SEEK_SET);
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    EXPECT_EQ(c.start, 105U);
    EXPECT_EQ(ftello(file.get()), 105);
    EXPECT_EQ(std::memcmp(c.probe, app.data(), 24), 0);
    // 23 trailing bytes are no component.
    EXPECT_EQ(walker.next(&c), WalkStep::end);
    EXPECT_EQ(walker.next(&c), WalkStep::end);
}

TEST(Walker, StopsAtAMalformedHeader) {
    const Bytes app = v1_component(IMAGE_TYPE_APPLICATION, 0, 8);
    File file(temp_file_with(concat({app, v2_header(0, 0), Bytes(4, 0), app})));
    ImageWalker walker(file.get());
    ImageComponent c;
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    ASSERT_EQ(walker.next(&c), WalkStep::malformed);
    EXPECT_EQ(c.start, app.size());
    EXPECT_EQ(walker.next(&c), WalkStep::end);
}

TEST(Walker, ComponentCrcAsStored) {
    Bytes comp = v1_component(IMAGE_TYPE_KERNEL, 0x01020304, 3);
    const uint32_t expected = image_crc(comp.data() + 4, comp.size() - 4);
    File file(temp_file_with(concat({comp, v1_component(IMAGE_TYPE_KERNEL, 0, 8)})));
    ImageWalker walker(file.get());
    ImageComponent c;
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    uint32_t crc = 0;
    ASSERT_TRUE(compute_component_crc(file.get(), c, &crc));
    EXPECT_EQ(crc, expected);

    // A component cut short by the end of the file has no CRC.
    File cut(temp_file_with(Bytes(comp.begin(), comp.end() - 1)));
    EXPECT_FALSE(compute_component_crc(cut.get(), c, &crc));
}

} // namespace
