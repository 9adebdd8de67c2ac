// libFuzzer target: the component walker, the header rules and the header
// record scans over arbitrary bytes. Built with AddressSanitizer and
// UndefinedBehaviorSanitizer; a read outside the input, an overflow or a
// broken invariant aborts the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/image_format.h"

namespace {

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The scans over a header held in exactly count bytes.
void scan_records(const uint8_t* header, size_t count) {
    const SignatureRecord signature = find_signature_record(header, count);
    if (signature.intact) {
        require(signature.found);
        require(signature.signature >= header + IMAGE_SIGNATURE_BODY_OFFSET);
        require(signature.signature + signature.signature_length <= header + count);
        // Touch every byte the signature check would hash against.
        volatile uint8_t sum = 0;
        for (uint16_t i = 0; i < signature.signature_length; ++i)
            sum = static_cast<uint8_t>(sum + signature.signature[i]);
    }
    uint32_t word = 0;
    if (find_type_override(header, count, &word))
        require((word & IMAGE_TYPE_SUFFIX_MASK) == IMAGE_TYPE_SUFFIX);

    HeaderRecordCursor cursor(header, count);
    HeaderRecord record;
    size_t last = 0;
    while (cursor.next(&record)) {
        require(record.offset > last || last == 0);
        require(record.length >= IMAGE_RECORD_HEADER_SIZE);
        require(record.offset + IMAGE_RECORD_HEADER_SIZE <= count);
        if (record.intact)
            require(record.offset + record.length <= count);
        last = record.offset;
    }
}

void check_header(const ComponentHeader& h, bool sane) {
    if (!sane)
        return;
    require(h.span >= IMAGE_BASE_HEADER_SIZE);
    require(h.span == h.header_size + h.payload_size);
    char version[IMAGE_VERSION_TEXT_SIZE];
    format_image_version(h.id, version);
    (void)within_size_limit(h);
    (void)image_type_name(h.type);
}

void walk(const uint8_t* data, size_t size, HeaderRules rules) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!file)
        return;
    ImageWalker walker(file, rules);
    ImageComponent component;
    uint64_t previous_end = 0;
    for (int steps = 0; steps < 1000; ++steps) {
        const WalkStep step = walker.next(&component);
        if (step == WalkStep::end)
            break;
        require(component.start == previous_end);
        require(component.start + IMAGE_PROBE_SIZE <= size);
        if (step == WalkStep::malformed)
            break;
        check_header(component.header, true);
        previous_end = component.start + component.header.span;

        // What the boot paths and the engine read: the header bytes, then scans.
        std::vector<uint8_t> header;
        const size_t wanted = component.header.header_size;
        if (read_image_bytes(file, component.start, wanted, &header)) {
            std::vector<uint8_t> exact(header.begin(), header.end());
            scan_records(exact.data(), exact.size());
        }
        uint32_t crc = 0;
        (void)compute_component_crc(file, component, &crc);
    }
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input as a header buffer of exactly its size.
    scan_records(data, size);
    if (size >= IMAGE_PROBE_SIZE) {
        ComponentHeader h;
        check_header(h, read_component_header(data, &h, HeaderRules::all_versions));
        check_header(h, read_component_header(data, &h, HeaderRules::versions_1_and_3));
    }
    if (size > 0) {
        walk(data, size, HeaderRules::all_versions);
        walk(data, size, HeaderRules::versions_1_and_3);
    }
    (void)image_crc(data, size);
    return 0;
}
