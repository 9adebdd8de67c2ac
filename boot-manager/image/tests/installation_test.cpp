// What an installation does around the image: the copies with their progress
// display, the headers of what is installed, and the install records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

#include "image/copy_progress.h"
#include "image/image_format.h"
#include "image/install_records.h"
#include "image/installed_header.h"
#include "image_bytes.h"
#include "platform/unique_file.h"
#include "test_support.h"

using namespace image_test;
using platform::UniqueFile;
using namespace test_support;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The bytes at positions begin up to end of a test stream.
Bytes pattern(size_t end, size_t begin = 0) {
    Bytes b;
    for (size_t i = begin; i < end; ++i)
        b.push_back(static_cast<uint8_t>(i * 7 + (i >> 8)));
    return b;
}

std::string text_of(const std::string& path) {
    const auto bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// Takes 64 KiB and then fails every write with EIO.
ssize_t failing_write(void* cookie, const char*, size_t size) {
    errno = EIO;
    return (*static_cast<size_t*>(cookie) += size) > 0x10000 ? -1 : static_cast<ssize_t>(size);
}

const Bytes HEAD = {'h', 'e', 'a', 'd'};
const std::string P100 = "    \b\b\b\b100%\n",
                  HALVES = "    \b\b\b\b050%\b\b\b\b100%\b\b\b\b100%\n";

TEST(Copy, CopiesFromWhereTheStreamsAreCountsUpTruncatesTheFileAndReportsFailures) {
    TempDir dir;
    const std::string out = dir.file("payload.gz"), image = dir.file("nos-image");
    const Bytes data = pattern(0x20000 + 10);
    ASSERT_TRUE(write_file(out, Bytes(200000, 0xEE)) && write_file(image, data));
    UniqueFile source(temp_file_with(data)), small(temp_file_with(pattern(10)));
    size_t taken = 0;
    // Copies length bytes from position from of a stream of size bytes to where the destination
    // is: to, or after "head" in payload.gz. The stream must end up just after what was copied.
    const auto stream = [&](size_t size, size_t from, uint32_t length, FILE* to = nullptr) {
        UniqueFile in(temp_file_with(pattern(size))), file(to ? to : std::fopen(out.c_str(), "wb"));
        std::fseek(in.get(), static_cast<long>(from), SEEK_SET);
        std::fputs(to ? "" : "head", file.get());
        const int result = copy_with_progress(in.get(), length, file.get());
        EXPECT_EQ(std::ftell(in.get()) * result,
                  static_cast<long>(std::min(size, from + length)) * result);
        return result;
    };
    const struct {
        std::function<int()> copy;
        int result;
        std::string printed;
        Bytes left; // in payload.gz
    } rows[] = {
        // clang-format off
        {[&] { return copy_file_with_progress(image.c_str(), out.c_str()); }, 1, HALVES, data},
        {[&] { errno = 0; return copy_stream_to_file(out.c_str(), small.get(), 300) * 100 + errno; }, EIO, "    ", {}}, // a source cut short fails the copy
        {[&] { return copy_stream_to_file(out.c_str(), source.get(), 0x20000 + 10); }, 1, HALVES, data},
        {[&] { std::rewind(source.get()); errno = 0; return copy_stream_to_file("/dev/full", source.get(), 0x10000) * 100 + errno; }, ENOSPC, "    File /dev/full write failed (err 28: bytes_written 0, len 65536, wr_len 65536)\n", data},
        {[&] { return copy_stream_to_file(dir.file("missing/out").c_str(), source.get(), 10); }, 0, "", data},
        {[&] { return copy_file_with_progress(dir.file("absent").c_str(), dir.file("t2").c_str()) + file_exists(dir.file("t2")); }, 0, "", data},
        {[&] { return copy_file_with_progress(image.c_str(), "/dev/full"); }, 0, "    File write failed (err 28: bytes_written 0, len 131082, wr_len 65536)\n", data},
        {[&] { return stream(0x30000, 0, 0x30000, fopencookie(&taken, "w", {nullptr, failing_write, nullptr, nullptr})); }, 0, "    \b\b\b\b033%File write failed (err 5: bytes_written 65536, len 196608, wr_len 65536)\n", data},
        {[&] { return stream(0x10000, 0, 0x10000); }, 1, P100, concat({HEAD, pattern(0x10000)})},
        {[&] { return stream(0x30000, 0, 0x30000); }, 1, "    \b\b\b\b033%\b\b\b\b066%" + P100.substr(4), concat({HEAD, pattern(0x30000)})},
        {[&] { return stream(0, 0, 0); }, 1, P100, HEAD},
        {[&] { return stream(255, 0, 255); }, 1, P100, concat({HEAD, pattern(255)})},
        {[&] { return stream(1000, 600, 300); }, 1, P100, concat({HEAD, pattern(900, 600)})},
        {[&] { return stream(0x18000, 0, 0x20000); }, 1, "    \b\b\b\b050%WARNING: unexpected read buffer len 32768 != 65536\n" + P100.substr(4), concat({HEAD, pattern(0x18000), Bytes(0x8000)})},
        // clang-format on
    };
    for (const auto& row : rows) {
        CaptureStdout();
        EXPECT_EQ(row.copy(), row.result);
        EXPECT_EQ(GetCapturedStdout(), row.printed);
        EXPECT_EQ(read_file(out), row.left) << row.printed;
    }
}

TEST(InstalledHeader, BootLoaderComparedWithoutItsCrcSlotFilesFlashAndUnknownTypesVerbosePrint) {
    // Whether the version is the same with each byte of the installed header changed in turn.
    std::string same;
    for (uint32_t type_word : {IMAGE_TYPE_BOOT_LOADER, 0x824D4152U, IMAGE_TYPE_KERNEL}) {
        const Bytes header = base_header(0x11111111, 0x1000, type_word, 0x01020304);
        same += " ";
        for (size_t i = 0; i < header.size(); ++i) {
            Bytes installed = header;
            installed[i] ^= 0x10;
            same += same_version_headers(header.data(), installed.data()) ? '1' : '0';
        }
    }
    EXPECT_EQ(same, " 1111000000000000 1111000000000000 0000000000000000");

    TempDir dir;
    const char* images = dir.path().c_str();
    const Bytes installed = base_header(0xABCDEF01, 5000, IMAGE_TYPE_APPLICATION, 0x03000001);
    ASSERT_TRUE(write_file(dir.file("image1"), concat({installed, Bytes(40, 1)})));
    uint8_t out[16];
    EXPECT_EQ(read_installed_header_in(IMAGE_TYPE_APPLICATION, out, 1, images), 1);
    EXPECT_EQ(Bytes(out, out + 16), installed);
    ASSERT_TRUE(write_file(dir.file("image3"), Bytes(installed.begin(), installed.end() - 1)));
    EXPECT_EQ(read_installed_header_in(IMAGE_TYPE_APPLICATION, out, 3, images), 1);
    EXPECT_EQ(Bytes(out, out + 16), Bytes(16)); // a header cut short is none
    Bytes rebuilt = installed;
    rebuilt[1] ^= 0x40; // same version, other CRC: an Application OS is installed again
    EXPECT_EQ(std::make_tuple(same_installed_version_in(installed.data(), 1, images),
                              same_installed_version_in(installed.data(), 2, images),
                              same_installed_version_in(rebuilt.data(), 1, images)),
              std::make_tuple(1, 0, 0));

    // Bit 31 makes a root filesystem unknown, so it is never skipped. No partition is open in a
    // unit test: the flash types read as zeros. What is printed for each type comes twice.
    const Bytes h = base_header(0x0000ABCD, 0x10, IMAGE_TYPE_KERNEL, 0x01020304);
    std::string results;
    CaptureStdout();
    print_image_header(h.data(), 0);
    for (uint32_t type :
         {0x844D4152U, IMAGE_TYPE_TESK_APPLICATION, IMAGE_TYPE_BOOT_LOADER, IMAGE_TYPE_KERNEL,
          IMAGE_TYPE_ROOT_FS, IMAGE_TYPE_DEVICE_TREE, IMAGE_TYPE_ONIE}) {
        const Bytes header = base_header(0, 0x100, type, 0);
        std::memset(out, 0xCC, sizeof out);
        results += std::to_string(read_installed_header_in(type, out, 1, images)) +
                   std::to_string(same_installed_version_in(header.data(), 1, images));
        results += Bytes(out, out + 16) == Bytes(16, 0) ? " " : "! "; // zeros, not what was there
    }
    print_image_header(h.data(), 1);
    const std::string mtd = "Could not get MTD device info \nCould not get MTD device info \n";
    EXPECT_EQ(
        results + GetCapturedStdout(),
        "00 00 10 10 10 10 10 Unknown image type 0x844d4152 \nUnknown image type 0x844d4152 \n"
        "Unknown image type 0x84d4152 \nUnknown image type 0x84d4152 \n" +
            mtd + mtd + mtd + mtd + mtd +
            "  crc: 0x0000abcd\n  len: 0x00000010\nmagic: 0x034d4152\n   id: 0x01020304\n");
}

TEST(InstallRecords, LogLineFromTheRtcRegistersWithoutTheirFlagBitsAndTheRecordFiles) {
    const RtcTime eve{{0x59, 0x59, 0x23, 0x03, 0x31, 0x12, 0x25}}; // sec min hour wday day mon year
    const std::pair<RtcTime, const char*> rows[] = {
        {eve, "23:59:59 on 31-12-2025"},
        {{{0x30, 0x05, 0x09, 0x06, 0x07, 0x03, 0x26}}, "09:05:30 on 7-3-2026"},
        // Oscillator stop, century and 12-hour bits hold no time.
        {{{0xD9, 0x81, 0xC2, 0xF8, 0xC1, 0xE1, 0x00}}, "02:01:59 on 1-1-200"},
        {{{0x47, 0x40, 0x19, 0x00, 0x29, 0x02, 0x28}}, "19:40:47 on 29-2-2028"},
    };
    for (const auto& [time, when] : rows) {
        char line[512];
        format_install_log_line(line, sizeof line, "f", "xmodem", time);
        EXPECT_EQ(line, "File f installed from xmodem at " + std::string(when) + "\n");
    }
    TempDir dir;
    const std::string path = dir.file("install.log");
    const std::string line = "File image installed from USB at 23:59:59 on 31-12-2025\n";
    ASSERT_TRUE(write_file(path, {'o', 'l', 'd', '\n'}));
    CaptureStdout();
    write_install_log_entry(path.c_str(), "image", "USB", eve);
    write_install_log_entry(dir.file("absent/install.log").c_str(), "image", "USB", eve);
    std::filesystem::create_symlink("/dev/full", dir.file("full.log")); // a full filesystem
    write_install_log_entry(dir.file("full.log").c_str(), "image", "USB", eve);
    write_install_record_files(dir.file("absent").c_str(), "onie", 1, 2, 0);
    EXPECT_EQ(GetCapturedStdout(), "Updating install log. " + line + "Updating install log. " +
                                       line + "Updating install log. " + line);
    EXPECT_EQ(text_of(path), "old\n" + line);
    EXPECT_FALSE(file_exists(dir.file("absent")));
    // Record files: version and CRC most significant byte first, and the local time.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ASSERT_TRUE(write_file(dir.file("uboot-timestamp"), Bytes(300)));
    write_install_record_files(dir.path().c_str(), "uboot", 0x01020304, 0xCADBBE3D,
                               1767225599); // 2025-12-31 23:59:59 UTC
    // A record that cannot be written is not left behind.
    std::filesystem::create_symlink("/dev/full", dir.file("onie-crc"));
    write_install_record_files(dir.path().c_str(), "onie", 1, 2, 86400 * 6);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.file("onie-crc"))));
    EXPECT_EQ(text_of(dir.file("uboot-version")) + text_of(dir.file("uboot-crc")),
              "\x01\x02\x03\x04\xCA\xDB\xBE\x3D");
    EXPECT_EQ(text_of(dir.file("uboot-timestamp")) + text_of(dir.file("onie-timestamp")),
              "23:59:59 UTC Wed Dec 31 2025\n00:00:00 UTC Wed Jan  7 1970\n");
}

} // namespace
