#include <gtest/gtest.h>

#include <cstring>

#include "image/image_format.h"
#include "image/installed_header.h"
#include "image_bytes.h"
#include "temp_dir.h"

using namespace image_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

TEST(InstalledHeader, BootLoaderIsComparedWithoutItsCrcOtherTypesWithIt) {
    const struct {
        uint32_t type_word;
        int flipped; // byte of the installed header that differs, -1 none
        bool same;
    } rows[] = {
        {IMAGE_TYPE_BOOT_LOADER, 0, true},
        {IMAGE_TYPE_BOOT_LOADER, 3, true},
        {0x824D4152, 3, true}, // bit 31 does not hide the boot loader
        {IMAGE_TYPE_BOOT_LOADER, 4, false},
        {IMAGE_TYPE_BOOT_LOADER, 15, false},
        {IMAGE_TYPE_KERNEL, -1, true},
        {IMAGE_TYPE_KERNEL, 2, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.type_word) + " byte " + std::to_string(row.flipped));
        const Bytes header = base_header(0x11111111, 0x1000, row.type_word, 0x01020304);
        Bytes installed = header;
        if (row.flipped >= 0)
            installed[static_cast<size_t>(row.flipped)] ^= 0x10;
        EXPECT_EQ(same_version_headers(header.data(), installed.data()), row.same);
    }
}

TEST(InstalledHeader, ApplicationSlotsAreTheSlotFilesAndOtherTypesAreUnknown) {
    TempDir dir;
    const char* images = dir.path().c_str();
    const Bytes installed = base_header(0xABCDEF01, 5000, IMAGE_TYPE_APPLICATION, 0x03000001);
    ASSERT_TRUE(write_file(dir.file("image1"), concat({installed, Bytes(40, 1)})));
    uint8_t out[16];
    EXPECT_EQ(read_installed_header_in(IMAGE_TYPE_APPLICATION, out, 1, images), 1);
    EXPECT_EQ(Bytes(out, out + 16), installed);
    EXPECT_EQ(same_installed_version_in(installed.data(), 1, images), 1);
    EXPECT_EQ(same_installed_version_in(installed.data(), 2, images), 0);
    Bytes rebuilt = installed;
    rebuilt[1] ^= 0x40; // same version, other CRC: an Application OS is installed again
    EXPECT_EQ(same_installed_version_in(rebuilt.data(), 1, images), 0);

    // Bit 31 makes a root filesystem unknown, so it is never skipped.
    for (uint32_t type : {0x844D4152U, IMAGE_TYPE_TESK_APPLICATION}) {
        const Bytes header = base_header(0, 0x100, type, 0);
        std::memset(out, 0xCC, sizeof out);
        CaptureStdout();
        EXPECT_EQ(read_installed_header_in(type, out, 1, images), 0);
        EXPECT_EQ(same_installed_version_in(header.data(), 1, images), 0);
        char message[64];
        std::snprintf(message, sizeof message, "Unknown image type 0x%x \n", type);
        EXPECT_EQ(GetCapturedStdout(), std::string(message) + message);
        EXPECT_EQ(Bytes(out, out + 16), Bytes(16, 0));
    }
}

TEST(InstalledHeader, FlashTypesGiveOneAndZerosWhenTheReadFails) {
    // No partition is open in a unit test.
    uint8_t out[16];
    for (uint32_t type : {IMAGE_TYPE_BOOT_LOADER, IMAGE_TYPE_KERNEL, IMAGE_TYPE_ROOT_FS,
                          IMAGE_TYPE_DEVICE_TREE, IMAGE_TYPE_ONIE}) {
        std::memset(out, 0xCC, sizeof out);
        CaptureStdout();
        EXPECT_EQ(read_installed_header(type, out, 0), 1);
        GetCapturedStdout();
        EXPECT_EQ(Bytes(out, out + 16), Bytes(16, 0));
    }
}

TEST(InstalledHeader, PrintedWhenVerbose) {
    const Bytes h = base_header(0x0000ABCD, 0x10, IMAGE_TYPE_KERNEL, 0x01020304);
    CaptureStdout();
    print_image_header(h.data(), 1);
    EXPECT_EQ(GetCapturedStdout(),
              "  crc: 0x0000abcd\n  len: 0x00000010\nmagic: 0x034d4152\n   id: 0x01020304\n");
    CaptureStdout();
    print_image_header(h.data(), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
}

} // namespace
