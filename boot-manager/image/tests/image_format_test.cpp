#include <gtest/gtest.h>

#include <tuple>

#include "image/image_format.h"
#include "image_bytes.h"
#include "platform/unique_file.h"

using namespace image_test;
using platform::UniqueFile;

namespace {

ComponentHeader parse(Bytes probe, HeaderRules rules = HeaderRules::all_versions) {
    probe.resize(24, 0xEE); // payload bytes where the extension would be
    ComponentHeader h;
    h.crc = read_component_header(probe.data(), &h, rules); // whether it is sane
    return h;
}

Bytes v2_header(uint8_t header_size, uint32_t len) {
    return concat({base_header(0, len, 0x814D4152, 0), {0xBE, 0xEF, 0, header_size}}); // no "HDR3"
}

TEST(ComponentHeader, VersionSizesAndLimitsByTheRulesOfTheReader) {
    const auto A = HeaderRules::all_versions, E = HeaderRules::versions_1_and_3;
    const struct {
        Bytes bytes;
        HeaderRules rules;
        const char* read; // sane, version, header size + payload size = span, type
    } rows[] = {
        // clang-format off
        {base_header(0, 1000, IMAGE_TYPE_KERNEL, 0), A, "1 v1 16+1000=1016 34d4152"},
        {v3_header(1000, IMAGE_TYPE_APPLICATION, 0, {}, 200), A, "1 v3 200+816=1016 14d4152"},
        {v3_header(100, 0x844D4152, 0, {}, 24), A, "1 v3 24+92=116 44d4152"},
        {v3_header(100, 0, 0, {}, 116), A, "1 v3 116+0=116 0"},
        {v3_header(100, 0, 0, {}, 23), A, "0 v3 23+0=116 0"},
        {v3_header(100, 0, 0, {}, 117), A, "0 v3 117+0=116 0"},
        {v2_header(20, 100), A, "1 v2 20+100=120 14d4152"},
        {v2_header(19, 100), A, "0 v2 19+100=119 14d4152"},
        {v2_header(0, 100), E, "1 v1 16+100=116 14d4152"},
        {v2_header(20, 0xFFFFFFFF), A, "1 v2 20+4294967295=4294967315 14d4152"},
        {base_header(0, 0xFFFFFFFF, 0, 0), A, "1 v1 16+4294967295=4294967311 0"},
        // clang-format on
    };
    for (const auto& row : rows) {
        const ComponentHeader h = parse(row.bytes, row.rules);
        char read[64];
        std::snprintf(read, sizeof read, "%u v%d %u+%llu=%llu %x", h.crc, h.version, h.header_size,
                      static_cast<unsigned long long>(h.payload_size),
                      static_cast<unsigned long long>(h.span), h.type);
        EXPECT_STREQ(read, row.read);
    }
    // Version-1 components at and one past their size limit.
    // clang-format off
    const std::pair<uint32_t, uint32_t> limits[] = {{IMAGE_TYPE_BOOT_LOADER, 0x80000}, {IMAGE_TYPE_KERNEL, 0x300000 - 16}, {IMAGE_TYPE_ROOT_FS, 0x500000 - 16}, {IMAGE_TYPE_DEVICE_TREE, 0x20000 - 16}, {IMAGE_TYPE_ONIE, 0x3E0000}, {IMAGE_TYPE_APPLICATION, 0xFFFFFFF0}};
    // clang-format on
    std::string within;
    for (const auto& [type, len] : limits)
        for (uint32_t past = 0; past < 2; ++past)
            within += within_size_limit(parse(base_header(0, len + past, type, 0))) ? '1' : '0';
    EXPECT_EQ(within, "101010101011");
}

// Scans over a header held in a buffer of exactly its size, so that a read
// past it is caught by the sanitizers.
TEST(RecordScan, SignatureRecord) {
    const Bytes payload = signature_record(Bytes(16, 0x33)); // after the header: no record
    const Bytes claims_500 = v3_header(0, 0, 0, {signature_record(Bytes(256, 7))}, 500);
    const Bytes sig1 = signature_record(Bytes(8, 1)), sig2 = signature_record(Bytes(8, 2));
    // found, intact, first signature byte when intact
    const std::pair<Bytes, std::string> rows[] = {
        // clang-format off
        {v3_header(0, 0, 0, {sig1, record(9, 8, Bytes(4, 0)), sig2}), "112"}, // last wins
        {v3_header(0, 0, 0, {sig1, record(7, 0, {0, 0, 0, 0}), sig2}), "111"}, // lengths below 4 end the scan
        {v3_header(0, 0, 0, {sig1, record(7, 3, {0, 0, 0, 0}), sig2}), "111"},
        {v3_header(0, 0, 0, {record(3, 3, {0, 0, 0, 0}), sig2}), "000"},
        {concat({v3_header(0, 0, 0, {}, 24), payload}), "000"},
        {concat({base_header(0, 0, 0, 0), payload}), "000"},
        {concat({v3_header(0, 0, 0, {record(3, 300, concat({{1, 0}, Bytes(34, 0x44)}))}), Bytes(400, 0x55)}), "100"},
        {v3_header(0, 0, 0, {record(3, 16, concat({{0, 11}, Bytes(10, 0x66)}))}), "100"},
        {v3_header(0, 0, 0, {record(3, 4)}), "100"}, // no room for its length
        {Bytes(claims_500.begin(), claims_500.begin() + 34), "100"},
        {Bytes(claims_500.begin(), claims_500.begin() + 26), "000"},
        // clang-format on
    };
    for (const auto& [header, want] : rows) {
        const auto sig = find_signature_record(header.data(), header.size());
        EXPECT_EQ(std::to_string(sig.found) + std::to_string(sig.intact) +
                      std::to_string(sig.signature ? sig.signature[0] : 0),
                  want);
    }
    const auto sig = find_signature_record(rows[0].first.data(), rows[0].first.size());
    EXPECT_EQ(std::make_tuple(sig.record_offset, sig.signature_length, sig.signature),
              std::make_tuple(size_t{24 + 14 + 8}, 8, rows[0].first.data() + 24 + 14 + 8 + 6));

    // The first type override ending in "MAR" ends its scan; one cut short by
    // the header length is not used.
    const Bytes first = {1, 0, 0, 0}, diag = be(IMAGE_TYPE_DIAG_APPLICATION, 4),
                app = be(IMAGE_TYPE_APPLICATION, 4);
    const Bytes header =
        v3_header(0, 0, 0, {record(6, 8, first), sig1, record(6, 8, diag), record(6, 8, app)});
    uint32_t word = 0;
    ASSERT_TRUE(find_type_override(header.data(), header.size(), &word));
    EXPECT_EQ(word, IMAGE_TYPE_DIAG_APPLICATION);
    const Bytes cut = v3_header(0, 0, 0, {record(6, 8, app)}, 24 + 6);
    EXPECT_FALSE(find_type_override(cut.data(), cut.size(), &word));
}

// The walker's steps over bytes from offset from: "c<start>@<file position>:<type word>", then
// "+" when it has a CRC and "++" when that is the CRC of its bytes; "malformed@<start>" or
// "end". The file is moved away after each step.
std::string walk(const Bytes& bytes, long from) {
    UniqueFile file(temp_file_with(bytes));
    std::fseek(file.get(), from, SEEK_SET);
    ImageWalker walker(file.get());
    ImageComponent c;
    std::string steps;
    for (int i = 0; i < 4; ++i) {
        const WalkStep step = walker.next(&c);
        char text[48];
        std::snprintf(text, sizeof text, "c%llu@%lld:%x", static_cast<unsigned long long>(c.start),
                      static_cast<long long>(ftello(file.get())), image_be32(c.probe + 8));
        uint32_t crc = 0;
        const bool has_crc =
            step == WalkStep::component && compute_component_crc(file.get(), c, &crc);
        const bool right = has_crc && c.start + c.header.span <= bytes.size() &&
                           crc == image_crc(&bytes[c.start + 4], c.header.span - 4);
        steps += step == WalkStep::end         ? "end "
                 : step == WalkStep::component ? text + std::string(has_crc + right, '+') + " "
                                               : "malformed@" + std::to_string(c.start) + " ";
        std::fseek(file.get(), 3, SEEK_SET);
    }
    return steps;
}

TEST(Walker, StepsBySpanFromWhereTheFileIsAndStopsAtAMalformedHeader) {
    // Header length 40 (one record), payload 60: span 100, len 84.
    const Bytes kernel = concat(
        {v3_header(84, IMAGE_TYPE_KERNEL, 0, {record(9, 16, Bytes(12, 0))}), Bytes(60, 0x77)});
    const Bytes app = v1_component(IMAGE_TYPE_APPLICATION, 0x01020304, 50);
    // 23 bytes at the end are no component; a component cut short has no CRC.
    EXPECT_EQ(walk(concat({Bytes(5, 0), kernel, app, Bytes(23, 0xFF)}), 5),
              "c5@5:34d4152++ c105@105:14d4152++ end end ");
    EXPECT_EQ(walk(concat({app, v2_header(0, 0), Bytes(4, 0), app}), 0),
              "c0@0:14d4152++ malformed@66 end end ");
    EXPECT_EQ(walk(Bytes(app.begin(), app.end() - 1), 0), "c0@0:14d4152 end end end ");
    const uint8_t abc[] = {'a', 'b', 'c'}; // the complement of the common CRC-32
    EXPECT_EQ(image_crc_update(image_crc_update(IMAGE_CRC_INITIAL, abc, 1), abc + 1, 2),
              0xCADBBE3DU);
    char text[IMAGE_VERSION_TEXT_SIZE];
    format_image_version(0x01FEFDFC, text);
    EXPECT_STREQ(text, "1.254.253.252");
}

} // namespace
