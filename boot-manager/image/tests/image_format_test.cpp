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

ComponentHeader parse(const Bytes& bytes, HeaderRules rules = HeaderRules::all_versions,
                      bool expect_sane = true) {
    Bytes probe = bytes;
    probe.resize(24, 0);
    ComponentHeader h;
    EXPECT_EQ(read_component_header(probe.data(), &h, rules), expect_sane);
    return h;
}

TEST(ComponentHeader, Version3TakesHeaderLengthFromOffset22) {
    const auto h = parse(v3_header(1000, IMAGE_TYPE_APPLICATION, 0x01020304, {}, 200));
    EXPECT_EQ(h.version, 3);
    EXPECT_EQ(h.header_size, 200U);
    EXPECT_EQ(h.payload_size, 816U);
    EXPECT_EQ(h.span, 1016U);
    EXPECT_EQ(h.type, IMAGE_TYPE_APPLICATION);
    EXPECT_EQ(h.id, 0x01020304U);
}

TEST(ComponentHeader, Version1PayloadStartsAt16) {
    auto bytes = base_header(0xDEADBEEF, 1000, IMAGE_TYPE_KERNEL, 0x05060708);
    bytes.resize(24, 0xEE); // payload bytes where the extension would be
    const auto h = parse(bytes);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.header_size, 16U);
    EXPECT_EQ(h.payload_size, 1000U);
    EXPECT_EQ(h.span, 1016U);
    EXPECT_EQ(h.crc, 0xDEADBEEFU);
}

TEST(ComponentHeader, Version2TakesHeaderSizeFromOffset18) {
    Bytes bytes = base_header(0, 100, 0x814D4152, 0);
    put16(bytes, 0xBEEF); // not "HDR3"
    put16(bytes, 40);     // header size
    put32(bytes, 0);
    const auto h = parse(bytes);
    EXPECT_EQ(h.version, 2);
    EXPECT_EQ(h.type_word, 0x814D4152U);
    EXPECT_EQ(h.type, IMAGE_TYPE_APPLICATION);
    EXPECT_EQ(h.header_size, 40U);
    EXPECT_EQ(h.payload_size, 100U);
    EXPECT_EQ(h.span, 140U);

    // The installation engine reads the same header as version 1.
    const auto engine = parse(bytes, HeaderRules::versions_1_and_3);
    EXPECT_EQ(engine.version, 1);
    EXPECT_EQ(engine.header_size, 16U);
    EXPECT_EQ(engine.span, 116U);
    EXPECT_EQ(engine.type, IMAGE_TYPE_APPLICATION);
}

TEST(ComponentHeader, Hdr3IsTestedBeforeBit31) {
    const auto h = parse(v3_header(100, 0x844D4152, 0, {}, 24));
    EXPECT_EQ(h.version, 3);
    EXPECT_EQ(h.type, IMAGE_TYPE_ROOT_FS);
}

TEST(ComponentHeader, HeadersThatCannotDescribeAComponent) {
    // Version-3 header length shorter than the fixed part, or longer than
    // the component (the payload size would be negative).
    parse(v3_header(100, IMAGE_TYPE_APPLICATION, 0, {}, 23), HeaderRules::all_versions, false);
    parse(v3_header(100, IMAGE_TYPE_APPLICATION, 0, {}, 117), HeaderRules::all_versions, false);
    parse(v3_header(100, IMAGE_TYPE_APPLICATION, 0, {}, 116)); // no payload: fine
    // A version-2 header of size 0 would never move on.
    Bytes v2 = base_header(0, 0, 0x814D4152, 0);
    v2.resize(24, 0);
    parse(v2, HeaderRules::all_versions, false);
    parse(v2, HeaderRules::versions_1_and_3, true);
}

TEST(ComponentHeader, LengthNearTheTopDoesNotWrap) {
    const auto h = parse(base_header(0, 0xFFFFFFFF, IMAGE_TYPE_APPLICATION, 0));
    EXPECT_EQ(h.span, 0x10000000FULL);
    EXPECT_GT(h.span, IMAGE_SPAN_LIMIT);
}

TEST(ImageCrc, IsTheComplementOfTheCommonCrc32) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(image_crc(abc, 3), 0xCADBBE3DU);
    EXPECT_EQ(image_crc(abc, 0), 0xFFFFFFFFU);
    // Pieces give the same register as the whole.
    EXPECT_EQ(image_crc_update(image_crc_update(IMAGE_CRC_INITIAL, abc, 1), abc + 1, 2),
              0xCADBBE3DU);
}

TEST(ImageVersion, FourDecimalNumbersMostSignificantFirst) {
    char text[IMAGE_VERSION_TEXT_SIZE];
    format_image_version(0x01020304, text);
    EXPECT_STREQ(text, "1.2.3.4");
    format_image_version(0xFFFFFFFF, text);
    EXPECT_STREQ(text, "255.255.255.255");
    format_image_version(0, text);
    EXPECT_STREQ(text, "0.0.0.0");
}

TEST(SizeLimits, AtAndOnePastEachLimit) {
    struct Case {
        uint32_t type;
        bool payload_limited;
        uint32_t limit;
    };
    const Case cases[] = {
        {IMAGE_TYPE_BOOT_LOADER, true, 0x80000}, {IMAGE_TYPE_KERNEL, false, 0x300000},
        {IMAGE_TYPE_ROOT_FS, false, 0x500000},   {IMAGE_TYPE_DEVICE_TREE, false, 0x20000},
        {IMAGE_TYPE_ONIE, true, 0x3E0000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        // A version-1 component: payload = len, span = len + 16.
        const uint32_t at = c.payload_limited ? c.limit : c.limit - 16;
        EXPECT_TRUE(within_size_limit(parse(base_header(0, at, c.type, 0))));
        EXPECT_FALSE(within_size_limit(parse(base_header(0, at + 1, c.type, 0))));
    }
    EXPECT_TRUE(within_size_limit(parse(base_header(0, 0xFFFFFFF0, IMAGE_TYPE_APPLICATION, 0))));
    EXPECT_TRUE(within_size_limit(parse(base_header(0, 0x7FFFFFFF, IMAGE_TYPE_ODM_DIAGS, 0))));
}

TEST(ImageTypes, NamesAndNumbers) {
    EXPECT_EQ(image_type_from_number(11), IMAGE_TYPE_ODM_DIAGS);
    EXPECT_STREQ(image_type_name(IMAGE_TYPE_TESK_APPLICATION), "tesk-application");
    EXPECT_EQ(image_type_name(image_type_from_number(7)), nullptr);
    EXPECT_EQ(image_type_name(image_type_from_number(10)), nullptr);
}

// Record scans over a header held in a buffer of exactly its size, so that
// a read past it is caught by the sanitizers in the fuzz build.
TEST(RecordScan, SecondSignatureRecordWins) {
    const Bytes first(256, 0x11), second(256, 0x22);
    const Bytes header =
        v3_header(1000, IMAGE_TYPE_APPLICATION, 0,
                  {signature_record(first), record(9, 8, Bytes(4, 0)), signature_record(second)});
    const auto sig = find_signature_record(header.data(), header.size());
    ASSERT_TRUE(sig.found);
    ASSERT_TRUE(sig.intact);
    EXPECT_EQ(sig.record_offset, 24U + 262 + 8);
    EXPECT_EQ(sig.signature_length, 256);
    EXPECT_EQ(sig.signature, header.data() + 24 + 262 + 8 + 6);
    EXPECT_EQ(sig.signature[0], 0x22);
}

TEST(RecordScan, HeaderLength24HasNoRecords) {
    // Bytes after the header length are payload, even when they look like a
    // signature record.
    Bytes bytes = v3_header(1000, IMAGE_TYPE_APPLICATION, 0, {}, 24);
    const Bytes payload = signature_record(Bytes(16, 0x33));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    EXPECT_FALSE(find_signature_record(bytes.data(), bytes.size()).found);
    HeaderRecordCursor cursor(bytes.data(), bytes.size());
    HeaderRecord r;
    EXPECT_FALSE(cursor.next(&r));
}

TEST(RecordScan, RecordShorterThanItsHeadEndsTheScan) {
    for (uint16_t length : {0, 1, 3}) {
        SCOPED_TRACE(length);
        const Bytes before =
            v3_header(1000, IMAGE_TYPE_KERNEL, 0,
                      {signature_record(Bytes(8, 1)), record(7, length, {0, 0, 0, 0}),
                       signature_record(Bytes(8, 2))});
        const auto sig = find_signature_record(before.data(), before.size());
        ASSERT_TRUE(sig.found);
        EXPECT_EQ(sig.signature[0], 1); // the record after the short one is not seen

        const Bytes only =
            v3_header(1000, IMAGE_TYPE_KERNEL, 0,
                      {record(3, length, {0, 0, 0, 0}), signature_record(Bytes(8, 2))});
        EXPECT_FALSE(find_signature_record(only.data(), only.size()).found);
    }
}

TEST(RecordScan, RecordRunningPastTheHeader) {
    // The signature record claims 300 bytes but the header ends after 24 + 40.
    Bytes rec = record(3, 300);
    put16(rec, 256);
    rec.resize(40, 0x44);
    Bytes bytes = v3_header(1000, IMAGE_TYPE_APPLICATION, 0, {rec});
    const size_t header_length = bytes.size();
    bytes.resize(header_length + 400, 0x55); // payload follows
    const auto sig = find_signature_record(bytes.data(), bytes.size());
    EXPECT_TRUE(sig.found);
    EXPECT_FALSE(sig.intact);
    EXPECT_EQ(sig.signature, nullptr);

    // A signature longer than its record.
    Bytes long_sig = record(3, 16);
    put16(long_sig, 11);
    long_sig.resize(16, 0x66);
    const Bytes h2 = v3_header(1000, IMAGE_TYPE_APPLICATION, 0, {long_sig});
    const auto s2 = find_signature_record(h2.data(), h2.size());
    EXPECT_TRUE(s2.found);
    EXPECT_FALSE(s2.intact);

    // A signature record too short to hold its signature length.
    const Bytes h3 = v3_header(1000, IMAGE_TYPE_APPLICATION, 0, {record(3, 4)});
    const auto s3 = find_signature_record(h3.data(), h3.size());
    EXPECT_TRUE(s3.found);
    EXPECT_FALSE(s3.intact);
}

TEST(RecordScan, HeaderLengthBeyondTheBytesAtHand) {
    // The caller read 24 + 10 bytes of a header that claims 500.
    Bytes bytes =
        v3_header(1000, IMAGE_TYPE_APPLICATION, 0, {signature_record(Bytes(256, 7))}, 500);
    bytes.resize(34);
    const auto sig = find_signature_record(bytes.data(), bytes.size());
    EXPECT_TRUE(sig.found);
    EXPECT_FALSE(sig.intact);
    // Not even a record head: nothing is read.
    bytes.resize(26);
    EXPECT_FALSE(find_signature_record(bytes.data(), bytes.size()).found);
}

TEST(RecordScan, OnlyVersion3HeadersHaveRecords) {
    Bytes v1 = base_header(0, 1000, IMAGE_TYPE_APPLICATION, 0);
    const Bytes rec = signature_record(Bytes(8, 9));
    v1.insert(v1.end(), rec.begin(), rec.end());
    EXPECT_FALSE(find_signature_record(v1.data(), v1.size()).found);
    EXPECT_FALSE(find_signature_record(v1.data(), 16).found);
    uint32_t word = 0;
    EXPECT_FALSE(find_type_override(v1.data(), v1.size(), &word));
}

TEST(RecordScan, FirstTypeOverrideEndsTheScan) {
    const Bytes header =
        v3_header(1000, IMAGE_TYPE_KERNEL, 0,
                  {override_record(0x01000000), // not "MAR": passed by
                   signature_record(Bytes(4, 0)), override_record(IMAGE_TYPE_DIAG_APPLICATION),
                   override_record(IMAGE_TYPE_APPLICATION)});
    uint32_t word = 0;
    ASSERT_TRUE(find_type_override(header.data(), header.size(), &word));
    EXPECT_EQ(word, IMAGE_TYPE_DIAG_APPLICATION);

    const Bytes none = v3_header(1000, IMAGE_TYPE_KERNEL, 0, {signature_record(Bytes(4, 0))});
    EXPECT_FALSE(find_type_override(none.data(), none.size(), &word));

    // A type-override record cut short by the header length is not used.
    Bytes cut =
        v3_header(1000, IMAGE_TYPE_KERNEL, 0, {override_record(IMAGE_TYPE_APPLICATION)}, 24 + 6);
    EXPECT_FALSE(find_type_override(cut.data(), cut.size(), &word));
}

TEST(RecordScan, CursorListsEveryRecord) {
    const Bytes header = v3_header(
        1000, IMAGE_TYPE_KERNEL, 0,
        {record(1, 4), override_record(IMAGE_TYPE_APPLICATION), record(200, 10, Bytes(6, 0))});
    HeaderRecordCursor cursor(header.data(), header.size());
    HeaderRecord r;
    ASSERT_TRUE(cursor.next(&r));
    EXPECT_EQ(r.offset, 24U);
    EXPECT_EQ(r.type, 1);
    ASSERT_TRUE(cursor.next(&r));
    EXPECT_EQ(r.offset, 28U);
    EXPECT_EQ(r.type, 6);
    ASSERT_TRUE(cursor.next(&r));
    EXPECT_EQ(r.offset, 36U);
    EXPECT_EQ(r.length, 10);
    EXPECT_TRUE(r.intact);
    EXPECT_FALSE(cursor.next(&r));
}

TEST(Walker, PassesAKernelByItsSpanToReachTheApplication) {
    // Header length 40 (one record), payload 60: span 100, len 84.
    const Bytes kernel =
        concat({v3_header(84, IMAGE_TYPE_KERNEL, 0x01000000, {record(9, 16, Bytes(12, 0))}),
                Bytes(60, 0x77)});
    ASSERT_EQ(kernel.size(), 100U);
    const Bytes app = v1_component(IMAGE_TYPE_APPLICATION, 0x02000000, 50);
    File file(temp_file_with(concat({kernel, app})));
    ASSERT_TRUE(file);

    ImageWalker walker(file.get());
    ImageComponent c;
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    EXPECT_EQ(c.start, 0U);
    EXPECT_EQ(c.header.type, IMAGE_TYPE_KERNEL);
    EXPECT_EQ(c.header.span, kernel.size());
    EXPECT_EQ(ftello(file.get()), 0);

    // Wherever the caller leaves the file, the next step starts after the span.
    std::fseek(file.get(), 3, SEEK_SET);
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    EXPECT_EQ(c.start, kernel.size());
    EXPECT_EQ(c.header.type, IMAGE_TYPE_APPLICATION);
    EXPECT_EQ(c.header.payload_size, 50U);
    EXPECT_EQ(ftello(file.get()), static_cast<off_t>(kernel.size()));
    EXPECT_EQ(std::memcmp(c.probe, app.data(), 24), 0);
    EXPECT_EQ(walker.next(&c), WalkStep::end);
    EXPECT_EQ(walker.next(&c), WalkStep::end);
}

TEST(Walker, FewerThan24TrailingBytesEndTheWalk) {
    const Bytes one = v1_component(IMAGE_TYPE_ROOT_FS, 0, 30);
    File file(temp_file_with(concat({one, Bytes(23, 0xFF)})));
    ImageWalker walker(file.get());
    ImageComponent c;
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    EXPECT_EQ(walker.next(&c), WalkStep::end);

    // A component of fewer than 24 bytes at the very end is no component,
    // even though its own 16-byte header is complete.
    File small(temp_file_with(concat({one, v1_component(IMAGE_TYPE_KERNEL, 0, 4)})));
    ImageWalker walker2(small.get());
    ASSERT_EQ(walker2.next(&c), WalkStep::component);
    EXPECT_EQ(walker2.next(&c), WalkStep::end);

    File empty(temp_file_with({}));
    ImageWalker walker3(empty.get());
    EXPECT_EQ(walker3.next(&c), WalkStep::end);
}

TEST(Walker, StartsWhereTheFileIsAndStopsAtAMalformedHeader) {
    Bytes v2_empty = base_header(0, 0, 0x814D4152, 0);
    v2_empty.resize(24, 0); // header size 0: the walk would stand still
    const Bytes app = v1_component(IMAGE_TYPE_APPLICATION, 0, 8);
    File file(temp_file_with(concat({Bytes(5, 0), app, v2_empty, app})));
    std::fseek(file.get(), 5, SEEK_SET);
    ImageWalker walker(file.get());
    ImageComponent c;
    ASSERT_EQ(walker.next(&c), WalkStep::component);
    EXPECT_EQ(c.start, 5U);
    ASSERT_EQ(walker.next(&c), WalkStep::malformed);
    EXPECT_EQ(c.start, 5U + app.size());
    EXPECT_EQ(c.header.version, 2);
    EXPECT_EQ(walker.next(&c), WalkStep::end);

    // The engine's rules read it as a version-1 component of span 16.
    std::rewind(file.get());
    std::fseek(file.get(), 5, SEEK_SET);
    ImageWalker engine(file.get(), HeaderRules::versions_1_and_3);
    ASSERT_EQ(engine.next(&c), WalkStep::component);
    ASSERT_EQ(engine.next(&c), WalkStep::component);
    EXPECT_EQ(c.header.span, 16U);
    ASSERT_EQ(engine.next(&c), WalkStep::component);
    EXPECT_EQ(c.start, 5U + app.size() + 16U);
}

TEST(Walker, ComponentCrcAsStored) {
    Bytes comp = v1_component(IMAGE_TYPE_KERNEL, 0x01020304, 3);
    comp[16] = 'a';
    comp[17] = 'b';
    comp[18] = 'c';
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
    ImageComponent whole = c;
    EXPECT_FALSE(compute_component_crc(cut.get(), whole, &crc));
}

TEST(ByteOrder, FieldsAreBigEndianWhateverTheHost) {
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(image_be32(bytes), 0x12345678U);
    EXPECT_EQ(image_be16(bytes + 2), 0x5678);
    uint8_t out[4];
    image_put_be32(out, 0xA1B2C3D4);
    EXPECT_EQ(out[0], 0xA1);
    EXPECT_EQ(out[3], 0xD4);
    image_put_be16(out, 0x0102);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x02);
}

} // namespace
