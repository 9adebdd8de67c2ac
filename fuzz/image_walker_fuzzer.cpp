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
        (void)image_crc(signature.signature, signature.signature_length); // reads every byte
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

void check_header(const ComponentHeader& h) {
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
        check_header(component.header);
        previous_end = component.start + component.header.span;

        // What the boot paths and the engine read: the header bytes, then scans.
        std::vector<uint8_t> header; // fresh, so that it holds exactly the bytes read
        if (read_image_bytes(file, component.start, component.header.header_size, &header))
            scan_records(header.data(), header.size());
        uint32_t crc = 0;
        (void)compute_component_crc(file, component, &crc);
    }
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input as a header buffer of exactly its size.
    scan_records(data, size);
    for (const HeaderRules rules : {HeaderRules::all_versions, HeaderRules::versions_1_and_3}) {
        ComponentHeader h;
        if (size >= IMAGE_PROBE_SIZE && read_component_header(data, &h, rules))
            check_header(h);
        if (size > 0)
            walk(data, size, rules);
    }
    (void)image_crc(data, size);
    return 0;
}
