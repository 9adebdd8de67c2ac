#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "image/install_records.h"
#include "image_bytes.h"
#include "temp_dir.h"

using namespace image_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// sec, min, hour, weekday, day, month, year (BCD)
const RtcTime NEW_YEAR_EVE{{0x59, 0x59, 0x23, 0x03, 0x31, 0x12, 0x25}};
const std::string EVE_LINE = "File image installed from USB at 23:59:59 on 31-12-2025\n";

std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(InstallLog, RtcRegistersReadAsDecimalDigitsWithoutTheirFlagBits) {
    const struct {
        RtcTime time;
        const char* when;
    } rows[] = {
        {NEW_YEAR_EVE, "23:59:59 on 31-12-2025"},
        {{{0x30, 0x05, 0x09, 0x06, 0x07, 0x03, 0x26}}, "09:05:30 on 7-3-2026"},
        // Oscillator stop, century and 12-hour bits hold no time.
        {{{0xD9, 0x81, 0xC2, 0xF8, 0xC1, 0xE1, 0x00}}, "02:01:59 on 1-1-200"},
        {{{0x47, 0x40, 0x19, 0x00, 0x29, 0x02, 0x28}}, "19:40:47 on 29-2-2028"},
    };
    for (const auto& row : rows) {
        char line[512];
        format_install_log_line(line, sizeof line, "f", "xmodem", row.time);
        EXPECT_EQ(line, "File f installed from xmodem at " + std::string(row.when) + "\n");
    }
}

TEST(InstallLog, EntryIsPrintedAndAppendedWhenTheLogCanBeOpened) {
    TempDir dir;
    const std::string path = dir.file("install.log");
    ASSERT_TRUE(write_file(path, {'o', 'l', 'd', '\n'}));
    CaptureStdout();
    write_install_log_entry(path.c_str(), "image", "USB", NEW_YEAR_EVE);
    write_install_log_entry(dir.file("absent/install.log").c_str(), "image", "USB", NEW_YEAR_EVE);
    EXPECT_EQ(GetCapturedStdout(),
              "Updating install log. " + EVE_LINE + "Updating install log. " + EVE_LINE);
    EXPECT_EQ(text_of(read_file(path)), "old\n" + EVE_LINE);
    EXPECT_FALSE(file_exists(dir.file("absent")));
}

TEST(InstallRecordFiles, VersionAndCrcMostSignificantByteFirstAndTheLocalTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("uboot-timestamp"), Bytes(300, 'x')));
    write_install_record_files(dir.path().c_str(), "uboot", 0x01020304, 0xCADBBE3D,
                               1767225599); // 2025-12-31 23:59:59 UTC
    EXPECT_EQ(read_file(dir.file("uboot-version")), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(read_file(dir.file("uboot-crc")), (Bytes{0xCA, 0xDB, 0xBE, 0x3D}));
    EXPECT_EQ(text_of(read_file(dir.file("uboot-timestamp"))), "23:59:59 UTC Wed Dec 31 2025\n");
    write_install_record_files(dir.path().c_str(), "onie", 1, 2, 86400 * 6);
    EXPECT_EQ(text_of(read_file(dir.file("onie-timestamp"))), "00:00:00 UTC Wed Jan  7 1970\n");

    CaptureStdout();
    write_install_record_files(dir.file("absent").c_str(), "onie", 1, 2, 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_FALSE(file_exists(dir.file("absent")));
}

} // namespace
