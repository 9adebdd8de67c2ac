#include <gtest/gtest.h>

#include <cstring>

#include "image/image_format.h"
#include "image/installed_header.h"
#include "image_bytes.h"
#include "temp_dir.h"

using namespace image_test;

namespace {

TEST(SameVersion, BootLoaderIgnoresTheCrcOtherTypesDoNot) {
    const Bytes boot = base_header(0x11111111, 0x1000, IMAGE_TYPE_BOOT_LOADER, 0x01020304);
    Bytes other_crc = boot;
    other_crc[0] ^= 0xFF;
    EXPECT_TRUE(same_version_headers(boot.data(), other_crc.data()));
    // Bit 31 does not hide the boot loader from the rule.
    Bytes v2_boot = base_header(0x11111111, 0x1000, 0x824D4152, 0x01020304);
    Bytes v2_other = v2_boot;
    v2_other[3] ^= 0x01;
    EXPECT_TRUE(same_version_headers(v2_boot.data(), v2_other.data()));

    Bytes other_id = boot;
    other_id[15] ^= 0x01;
    EXPECT_FALSE(same_version_headers(boot.data(), other_id.data()));
    Bytes other_len = boot;
    other_len[4] ^= 0x01;
    EXPECT_FALSE(same_version_headers(boot.data(), other_len.data()));

    const Bytes kernel = base_header(0x22222222, 0x1000, IMAGE_TYPE_KERNEL, 0x01020304);
    Bytes kernel_crc = kernel;
    kernel_crc[2] ^= 0x10;
    EXPECT_TRUE(same_version_headers(kernel.data(), kernel.data()));
    EXPECT_FALSE(same_version_headers(kernel.data(), kernel_crc.data()));
}

TEST(InstalledHeader, UnknownTypeWordIsReportedAndNeverTheSame) {
    uint8_t out[16];
    std::memset(out, 0xCC, sizeof out);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_installed_header(0x844D4152, out, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown image type 0x844d4152 \n");
    for (uint8_t b : out)
        EXPECT_EQ(b, 0);

    // A root filesystem with bit 31 set is therefore never skipped.
    const Bytes rfs = base_header(0, 0x100, 0x844D4152, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(same_installed_version(rfs.data(), 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown image type 0x844d4152 \n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(read_installed_header(IMAGE_TYPE_TESK_APPLICATION, out, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown image type 0x84d4152 \n");
}

TEST(InstalledHeader, ApplicationSlotsAreTheSlotFiles) {
    TempDir dir;
    const Bytes installed = base_header(0xABCDEF01, 5000, IMAGE_TYPE_APPLICATION, 0x03000001);
    ASSERT_TRUE(write_file(dir.file("image1"), concat({installed, Bytes(40, 1)})));

    uint8_t out[16];
    EXPECT_EQ(read_installed_header_in(IMAGE_TYPE_APPLICATION, out, 1, dir.path().c_str()), 1);
    EXPECT_EQ(Bytes(out, out + 16), installed);

    std::memset(out, 0xCC, sizeof out);
    EXPECT_EQ(read_installed_header_in(IMAGE_TYPE_APPLICATION, out, 2, dir.path().c_str()), 0);
    EXPECT_EQ(Bytes(out, out + 16), Bytes(16, 0));

    EXPECT_EQ(same_installed_version_in(installed.data(), 1, dir.path().c_str()), 1);
    EXPECT_EQ(same_installed_version_in(installed.data(), 2, dir.path().c_str()), 0);
    Bytes rebuilt = installed;
    rebuilt[1] ^= 0x40; // same version, other CRC: an Application OS is installed again
    EXPECT_EQ(same_installed_version_in(rebuilt.data(), 1, dir.path().c_str()), 0);
}

TEST(InstalledHeader, FlashTypesGiveOneEvenWhenTheReadFails) {
    // No partition is open in a unit test: the buffer stays cleared.
    uint8_t out[16];
    for (uint32_t type : {IMAGE_TYPE_BOOT_LOADER, IMAGE_TYPE_KERNEL, IMAGE_TYPE_ROOT_FS,
                          IMAGE_TYPE_DEVICE_TREE, IMAGE_TYPE_ONIE}) {
        std::memset(out, 0xCC, sizeof out);
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_installed_header(type, out, 0), 1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Bytes(out, out + 16), Bytes(16, 0));
    }
}

TEST(PrintImageHeader, FourFieldsWhenVerboseNothingOtherwise) {
    const Bytes h = base_header(0x0000ABCD, 0x10, IMAGE_TYPE_KERNEL, 0x01020304);
    testing::internal::CaptureStdout();
    print_image_header(h.data(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "  crc: 0x0000abcd\n  len: 0x00000010\nmagic: 0x034d4152\n   id: 0x01020304\n");
    testing::internal::CaptureStdout();
    print_image_header(h.data(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace
