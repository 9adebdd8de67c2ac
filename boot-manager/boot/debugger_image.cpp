#include "boot/debugger_image.h"

#include <cstdio>
#include <cstring>

#include "boot/slot_boot.h"
#include "image/image_format.h"
#include "platform/process.h"
#include "platform/unique_file.h"

namespace {

constexpr const char* PACKED = "/tmp/gdb.gz";

// Copies count bytes from the source's position; false when the output
// could not take them. A source that ends early leaves a short file, which
// gunzip reports.
bool copy_payload(FILE* source, uint64_t count, FILE* destination) {
    uint8_t buffer[16 * 1024];
    while (count > 0) {
        const size_t piece = count < sizeof buffer ? static_cast<size_t>(count) : sizeof buffer;
        const size_t got = std::fread(buffer, 1, piece, source);
        if (got > 0 && std::fwrite(buffer, 1, got, destination) != got)
            return false;
        if (got < piece)
            return true;
        count -= got;
    }
    return true;
}

} // namespace

bool extract_debugger_image(ImageSlot booted_slot) {
    if (booted_slot != 1 && booted_slot != 2)
        return false;
    const ImageSlot slot = other_slot(booted_slot);
    std::printf("Extracting GDB from image slot %d\n", slot);

    platform::UniqueFile image(std::fopen(slot_image_path(slot), "rb"));
    if (!image) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", slot);
        return false;
    }
    platform::UniqueFile packed(std::fopen(PACKED, "wb"));
    if (!packed) {
        std::fprintf(stderr, "Failed to open GDB output file.\n");
        return false;
    }

    // Only the first component: a debugger image carries nothing else.
    uint8_t probe[IMAGE_PROBE_SIZE] = {};
    ComponentHeader header;
    const bool complete = std::fread(probe, 1, sizeof probe, image.get()) == sizeof probe;
    const bool sane = read_component_header(probe, &header);
    if (!complete || !sane || header.type != IMAGE_TYPE_APPLICATION) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", header.type_word);
        return false;
    }
    std::printf("Found GDB image %d of length = %u.\n", slot,
                static_cast<unsigned>(header.payload_size));
    const bool copied = seek_image(image.get(), header.header_size) &&
                        copy_payload(image.get(), header.payload_size, packed.get());
    if (!platform::close_written(std::move(packed)) || !copied) {
        std::fprintf(stderr, "Failed to open GDB output file.\n");
        std::remove(PACKED);
        return false;
    }
    image.reset();

    std::printf("decompressing GDB....\n");
    platform::run_shell_command("gunzip /tmp/gdb.gz");
    // A tar archive is an Application OS, not a debugger.
    if (platform::run_shell_command("tar -tf /tmp/gdb > /dev/null 2>&1") != 0) {
        platform::run_shell_command("chmod +x /tmp/gdb");
        return true;
    }
    std::fprintf(stderr, "Unexpected format for GDB image.\n");
    platform::run_shell_command("rm /tmp/gdb");
    return false;
}
