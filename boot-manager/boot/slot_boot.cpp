#include "boot/slot_boot.h"

#include <cerrno>
#include <cstdio>

#include "boot/debugger_image.h"
#include "boot/usb_images.h"
#include "console/console.h"
#include "image/copy_progress.h"
#include "image/signature.h"
#include "launch/launch.h"
#include "platform/boot_options.h"
#include "platform/nvram.h"
#include "platform/process.h"
#include "platform/unique_file.h"
#include "rescue/rescue_menu.h"

namespace {

constexpr const char* ARCHIVE = "/tmp/kopraimage.tar.gz";

using platform::UniqueFile;

// Neither installed image opens, or the fail-over finds nothing to boot: the
// operator gets the rescue menu, then the optional shell, then a reboot.
[[noreturn]] void give_up_on_slots() {
    rescue_menu();
    if (boot_options.shell)
        run_console_shell();
    platform::reboot_board();
}

// Opens slot 1 or 2, falling back to the other one; the slot opened is
// returned through slot. Both missing ends the boot.
UniqueFile open_installed_image(ImageSlot* slot) {
    UniqueFile image(std::fopen(slot_image_path(*slot), "rb"));
    if (image)
        return image;
    const ImageSlot other = other_slot(*slot);
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", *slot, other);
    *slot = other;
    image.reset(std::fopen(slot_image_path(other), "rb"));
    if (image)
        return image;
    std::fprintf(stderr, "Failed to open Application image %d.\n", other);
    give_up_on_slots();
}

// The stick's image, asked about when it was tried before; null when it is
// not to be booted.
UniqueFile open_usb_image() {
    const char* path = slot_image_path(SLOT_USB);
    UniqueFile image(std::fopen(path, "rb"));
    if (!image) {
        std::fprintf(stderr, "Failed to open application image from USB.\n");
        return nullptr;
    }
    if (reject_list_contains(path)) {
        if (!console_ask_yes_no(
                "USB image is in rejected list.\nWould you still like to load it? "))
            return nullptr;
        std::printf("Continuing to load USB image...\n");
    } else {
        // Listed before it is tried: it boots without a question only once.
        reject_list_add(path);
    }
    return image;
}

bool is_bootable(uint32_t type) {
    return type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAG_APPLICATION;
}

} // namespace

const char* slot_image_path(ImageSlot slot) {
    switch (slot) {
    case 1:
        return "/user/images/image1";
    case 2:
        return "/user/images/image2";
    default:
        return "/mnt/usb/QTX5150_OS.img";
    }
}

bool find_boot_component(FILE* image, BootComponent* found) {
    ImageWalker walker(image);
    ImageComponent component;
    while (walker.next(&component) == WalkStep::component) {
        BootComponent candidate;
        candidate.component = component;
        uint32_t type_word = component.header.type_word;
        if (component.header.version == 3) {
            // The whole header, records included; the signature check needs it.
            if (!read_image_bytes(image, component.start, component.header.header_size,
                                  &candidate.header_bytes))
                return false;
            find_type_override(candidate.header_bytes.data(), candidate.header_bytes.size(),
                               &type_word);
        } else {
            // Older headers carry no records: their first 24 bytes are all the
            // signature check looks at, and they count as unsigned there.
            candidate.header_bytes.assign(component.probe, component.probe + IMAGE_PROBE_SIZE);
        }
        candidate.type = image_type_of(type_word);
        if (is_bootable(candidate.type)) {
            if (!seek_image(image, component.start))
                return false;
            *found = std::move(candidate);
            return true;
        }
    }
    return false;
}

bool verify_and_unpack(FILE* image, const BootComponent& found, FILE* archive,
                       bool same_bytes_as_verified, const BoardPaths& paths) {
    PayloadDigest verified;
    if (!verify_image_signature(image, found.header_bytes.data(), found.header_bytes.size(), paths,
                                same_bytes_as_verified ? &verified : nullptr)) {
        std::printf("Image has invalid signature. Quitting\n");
        return false;
    }
    std::printf("\n");
    const ComponentHeader& header = found.component.header;
    // The check left the file at the component start; the payload follows
    // the header. Read problems of the copy show in its own messages.
    if (!seek_image(image, found.component.start + header.header_size)) {
        std::printf("Image has invalid signature. Quitting\n");
        return false;
    }
    std::printf("Unpacking image: ");
    PayloadDigest copied;
    // An archive cut short (a full /tmp) would start a partial Application OS
    // and count the slot as running: the copy printed why; the caller moves on.
    if (!copy_with_progress(image, static_cast<uint32_t>(header.payload_size), archive,
                            same_bytes_as_verified ? &copied : nullptr))
        return false;
    // Accepted without a verified digest (unsigned, operator's word): there is
    // nothing to hold the copy to.
    if (same_bytes_as_verified && verified.present && !same_payload(verified, copied)) {
        std::printf("Image has invalid signature. Quitting\n");
        return false;
    }
    return true;
}

bool boot_image_slot(ImageSlot slot) {
    UniqueFile image;
    if (slot == 1 || slot == 2)
        image = open_installed_image(&slot);
    else if (slot == SLOT_USB)
        image = open_usb_image();
    if (!image)
        return false;

    UniqueFile archive(std::fopen(ARCHIVE, "wb"));
    if (!archive) {
        std::fprintf(stderr, "Failed to open application image output file.\n");
        image.reset();
        if (boot_options.shell)
            run_console_shell();
        platform::reboot_board();
    }

    BootComponent found;
    if (!find_boot_component(image.get(), &found)) {
        image.reset();
        archive.reset();
        if (slot == SLOT_USB) {
            std::fprintf(stderr, "Error: USB image corrupted or belongs to another switch type.\n");
            return false;
        }
        if (boot_options.failover_attempt) {
            std::fprintf(stderr, "No valid application image found. Trying rescue image\n");
            give_up_on_slots();
        }
        std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot,
                     other_slot(slot));
        return false;
    }

    // A stick can answer a second read with other bytes than the first.
    const bool from_stick = slot == SLOT_USB;
    const bool unpacked = verify_and_unpack(image.get(), found, archive.get(), from_stick, {});
    image.reset();
    errno = 0;
    const bool closed = platform::close_written(std::move(archive));
    if (unpacked && !closed)
        std::printf("Image unpack failed (err %d)\n", errno);
    if (!unpacked || !closed) {
        // Never unpack bytes that did not verify or arrive whole; the space
        // goes back to /tmp for the other slot.
        std::remove(ARCHIVE);
        return false;
    }

    set_running_image(slot);
    if (boot_options.gdb && !boot_options.gdbserver)
        extract_debugger_image(slot);
    launch_application_os(found.type == IMAGE_TYPE_DIAG_APPLICATION);
}
