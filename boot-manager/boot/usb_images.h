// Images supplied on a USB stick at start-up.
#pragma once

#include <cstddef>
#include <functional>

#include "boot/slots.h"

// The files the USB phase looks for on the stick.
constexpr const char* USB_BOOT_IMAGE = "QTX5150_Boot.img";
constexpr const char* USB_REPLACE1_IMAGE = "QTX5150_replace1_OS.img";
constexpr const char* USB_REPLACE2_IMAGE = "QTX5150_replace2_OS.img";
constexpr const char* USB_OS_IMAGE = "QTX5150_OS.img";

// 0 when USB handling is off or the stick appeared, -1 when it did not
// appear in time.
[[nodiscard]] int wait_for_usb_mount();
// The same, with the look for usb-mount's sign ("/tmp/usb") handed in.
[[nodiscard]] int wait_for_usb_mount(const std::function<bool()>& stick_announced);
// Returns only when nothing was installed; a successful install reboots.
void install_usb_boot_image();
// The slot to boot: 1 or 2 (replaced), 3 (boot the stick's image) or 0.
[[nodiscard]] ImageSlot install_usb_replacements();

// The rejected list: one empty file per USB image already tried, named by the
// image's MD5 digest, so that an image left on the stick is not booted again
// without the operator's consent.
constexpr const char* REJECTED_LIST_DIR = "/user/images/rejected";
constexpr size_t IMAGE_MD5_TEXT_SIZE = 33; // 32 lower-case hex digits and a NUL

// The image file's MD5 digest as md5sum prints it; false when it cannot be read.
[[nodiscard]] bool image_md5(const char* image_path, char (&digest)[IMAGE_MD5_TEXT_SIZE]);
// True when the image's entry exists; false when not or when no digest came.
[[nodiscard]] bool reject_list_contains(const char* image_path,
                                        const char* list_dir = REJECTED_LIST_DIR);
// Creates the image's entry if it is missing.
void reject_list_add(const char* image_path, const char* list_dir = REJECTED_LIST_DIR);
