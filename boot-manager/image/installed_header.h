// What is installed already: the base header last installed for each image
// type, read back from the slot files and the flash partitions.
#pragma once

#include <cstdint>

constexpr const char* INSTALLED_IMAGES_DIR = "/user/images";

// Clears header[0..16) and fills it with the installed base header of the type
// word (taken as given, bit 31 included). 1 when the type has an installed
// header (even when the flash read fails, which leaves zeros); 0 for an
// Application OS slot file that cannot be opened and for any other type.
[[nodiscard]] int read_installed_header(uint32_t type_word, uint8_t* header, int slot);
// The same, with the slot files "image1" and "image2" looked for in images_dir.
[[nodiscard]] int read_installed_header_in(uint32_t type_word, uint8_t* header, int slot,
                                           const char* images_dir);

// 1 when the new base header equals the installed one of its type and slot.
// A boot loader is compared without its CRC, every other type with it.
[[nodiscard]] int same_installed_version(const uint8_t* new_header, int slot);
[[nodiscard]] int same_installed_version_in(const uint8_t* new_header, int slot,
                                            const char* images_dir);
// The comparison itself, over two base headers.
bool same_version_headers(const uint8_t* new_header, const uint8_t* installed);

// Prints the four base fields when verbose is non-zero.
void print_image_header(const uint8_t* header, int verbose);
