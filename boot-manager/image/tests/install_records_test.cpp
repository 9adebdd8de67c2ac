#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "image/install_records.h"
#include "image_bytes.h"
#include "temp_dir.h"

using namespace image_test;

namespace {

// sec, min, hour, weekday, day, month, year (BCD)
const RtcTime new_year_eve{{0x59, 0x59, 0x23, 0x03, 0x31, 0x12, 0x25}};

std::string log_line(const RtcTime& time, const char* file = "image", const char* source = "USB") {
    char line[512];
    format_install_log_line(line, sizeof line, file, source, time);
    return line;
}

TEST(InstallLog, RtcRegistersReadAsDecimalDigits) {
    EXPECT_EQ(log_line(new_year_eve), "File image installed from USB at 23:59:59 on 31-12-2025\n");
    const RtcTime march{{0x30, 0x05, 0x09, 0x06, 0x07, 0x03, 0x26}};
    EXPECT_EQ(log_line(march, "/mnt/usb/QTX5150_Boot.img", "10.0.0.1"),
              "File /mnt/usb/QTX5150_Boot.img installed from 10.0.0.1 at 09:05:30 on 7-3-2026\n");
    // Bits that hold no time (oscillator stop, century, 12-hour mode) are masked.
    const RtcTime flagged{{0xD9, 0x81, 0xC2, 0xF8, 0xC1, 0xE1, 0x00}};
    EXPECT_EQ(log_line(flagged, "f", "xmodem"),
              "File f installed from xmodem at 02:01:59 on 1-1-200\n");
    // Every minute and second up to 59 survives the masks.
    const RtcTime forties{{0x47, 0x40, 0x19, 0x00, 0x29, 0x02, 0x28}};
    EXPECT_EQ(log_line(forties), "File image installed from USB at 19:40:47 on 29-2-2028\n");
}

TEST(InstallLog, EntryIsPrintedAndAppended) {
    TempDir dir;
    const std::string path = dir.file("install.log");
    ASSERT_TRUE(write_file(path, {'o', 'l', 'd', '\n'}));
    testing::internal::CaptureStdout();
    write_install_log_entry(path.c_str(), "image", "xmodem", new_year_eve);
    write_install_log_entry(path.c_str(), "/tmp/image", "USB", new_year_eve);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Updating install log. File image installed from xmodem at 23:59:59 on 31-12-2025\n"
              "Updating install log. File /tmp/image installed from USB at 23:59:59 on "
              "31-12-2025\n");
    const auto bytes = read_file(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "old\nFile image installed from xmodem at 23:59:59 on 31-12-2025\n"
              "File /tmp/image installed from USB at 23:59:59 on 31-12-2025\n");
}

TEST(InstallLog, UnopenableLogIsSkippedAfterPrinting) {
    TempDir dir;
    const std::string path = dir.file("not-mounted/install.log");
    testing::internal::CaptureStdout();
    write_install_log_entry(path.c_str(), "image", "USB", new_year_eve);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Updating install log. File image installed from USB at 23:59:59 on 31-12-2025\n");
    EXPECT_FALSE(file_exists(path));
}

class InstallRecordFiles : public testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (tz)
            old_tz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    bool had_tz_ = false;
    std::string old_tz_;
};

constexpr time_t last_second_of_2025 = 1767225599; // 2025-12-31 23:59:59 UTC

TEST_F(InstallRecordFiles, VersionAndCrcMostSignificantByteFirst) {
    TempDir dir;
    write_install_record_files(dir.path().c_str(), "uboot", 0x01020304, 0xCADBBE3D,
                               last_second_of_2025);
    EXPECT_EQ(read_file(dir.file("uboot-version")), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(read_file(dir.file("uboot-crc")), (Bytes{0xCA, 0xDB, 0xBE, 0x3D}));
    const auto stamp = read_file(dir.file("uboot-timestamp"));
    EXPECT_EQ(std::string(stamp.begin(), stamp.end()), "23:59:59 UTC Wed Dec 31 2025\n");
}

TEST_F(InstallRecordFiles, RewrittenOnEveryUpdate) {
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("image2-timestamp"), Bytes(300, 'x')));
    write_install_record_files(dir.path().c_str(), "image2", 0x0A000001, 0, 86400 * 6);
    EXPECT_EQ(read_file(dir.file("image2-version")), (Bytes{0x0A, 0x00, 0x00, 0x01}));
    EXPECT_EQ(read_file(dir.file("image2-crc")), (Bytes{0, 0, 0, 0}));
    const auto stamp = read_file(dir.file("image2-timestamp"));
    EXPECT_EQ(std::string(stamp.begin(), stamp.end()), "00:00:00 UTC Wed Jan  7 1970\n");
}

TEST_F(InstallRecordFiles, UncreatableFilesAreSkippedSilently) {
    TempDir dir;
    testing::internal::CaptureStdout();
    write_install_record_files(dir.file("absent").c_str(), "onie", 1, 2, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(file_exists(dir.file("absent")));
}

} // namespace
