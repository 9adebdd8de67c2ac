// One boot attempt from an image slot.
#pragma once

#include <cstdio>
#include <vector>

#include "boot/slots.h"
#include "image/image_format.h"
#include "platform/board_paths.h"

// The image file of slot 1, 2 or 3 (the USB stick's).
const char* slot_image_path(ImageSlot slot);

// Returns (false) only when the slot cannot be booted; a successful attempt
// ends in the Application OS and never comes back.
bool boot_image_slot(ImageSlot slot);

// The bootable component of an image: its place and 24-byte header, its type
// (after a type-override record, bit 31 cleared), and the header bytes the
// signature check receives.
struct BootComponent {
    ImageComponent component;
    uint32_t type = 0;
    std::vector<uint8_t> header_bytes;
};

// Walks the image file from its start to the first Application OS or
// diagnostics Application OS component and leaves the file at that
// component's start. False when there is none.
[[nodiscard]] bool find_boot_component(FILE* image, BootComponent* found);

// Has the component's signature checked and writes its payload to the
// archive, with the console output of a boot. False when the signature is
// refused, or, with same_bytes_as_verified, when the bytes copied are not
// the bytes that verified (a stick may read differently the second time);
// the caller then removes the archive.
[[nodiscard]] bool verify_and_unpack(FILE* image, const BootComponent& found, FILE* archive,
                                     bool same_bytes_as_verified, const BoardPaths& paths);
