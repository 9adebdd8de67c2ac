#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "image/copy_progress.h"
#include "image_bytes.h"
#include "temp_dir.h"

using namespace image_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

Bytes pattern(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return b;
}

const std::string FULL = "File write failed (err 28: bytes_written 0, len 65536, wr_len 65536)\n";

TEST(CopyWithProgress, CopiesFromWhereTheStreamsAreAndCountsUp) {
    const struct {
        const char* name;
        size_t size, from;
        uint32_t length;
        const char* printed;
    } rows[] = {
        {"one piece", 0x10000, 0, 0x10000, "    \b\b\b\b100%\n"},
        {"three pieces", 0x30000, 0, 0x30000, "    \b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n"},
        {"nothing", 0, 0, 0, "    \b\b\b\b100%\n"},
        {"255 bytes", 255, 0, 255, "    \b\b\b\b100%\n"},
        {"from the middle", 1000, 600, 300, "    \b\b\b\b100%\n"},
        {"short read", 0x18000, 0, 0x20000,
         "    \b\b\b\b050%WARNING: unexpected read buffer len 32768 != 65536\n\b\b\b\b100%\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes data = pattern(row.size);
        File source(temp_file_with(data));
        File destination(std::tmpfile());
        std::fwrite("head", 1, 4, destination.get());
        std::fseek(source.get(), static_cast<long>(row.from), SEEK_SET);
        CaptureStdout();
        EXPECT_EQ(copy_with_progress(source.get(), row.length, destination.get()), 1);
        EXPECT_EQ(GetCapturedStdout(), row.printed);
        const size_t copied = std::min<size_t>(row.length, row.size - row.from);
        EXPECT_EQ(std::ftell(source.get()), static_cast<long>(row.from + copied));
        // A short read is made up with zeros, never stale bytes.
        Bytes expected = concat({{'h', 'e', 'a', 'd'},
                                 Bytes(data.begin() + row.from, data.begin() + row.from + copied)});
        expected.resize(4 + row.length, 0);
        std::rewind(destination.get());
        Bytes written(expected.size() + 1);
        written.resize(std::fread(written.data(), 1, written.size(), destination.get()));
        EXPECT_EQ(written, expected);
    }
}

// Takes 64 KiB and then fails every write with EIO.
ssize_t failing_write(void* cookie, const char*, size_t size) {
    auto* taken = static_cast<size_t*>(cookie);
    if (*taken + size > 0x10000) {
        errno = EIO;
        return -1;
    }
    *taken += size;
    return static_cast<ssize_t>(size);
}

TEST(CopyWithProgress, FailingWriteIsReported) {
    File source(temp_file_with(pattern(0x30000)));
    File full(std::fopen("/dev/full", "wb"));
    CaptureStdout();
    EXPECT_EQ(copy_with_progress(source.get(), 0x10000, full.get()), 0);
    EXPECT_EQ(GetCapturedStdout(), "    " + FULL);

    size_t taken = 0;
    File failing(fopencookie(&taken, "w", {nullptr, failing_write, nullptr, nullptr}));
    CaptureStdout();
    EXPECT_EQ(copy_with_progress(source.get(), 0x30000, failing.get()), 0);
    EXPECT_EQ(GetCapturedStdout(), "    \b\b\b\b033%File write failed (err 5: bytes_written 65536, "
                                   "len 196608, wr_len 65536)\n");
}

TEST(CopyToFile, CreatesTruncatesAndClosesTheFile) {
    TempDir dir;
    const std::string path = dir.file("payload.gz");
    ASSERT_TRUE(write_file(path, Bytes(100000, 0xEE)));
    const Bytes data = pattern(0x20000 + 10);
    File source(temp_file_with(data));
    CaptureStdout();
    EXPECT_EQ(copy_stream_to_file(path.c_str(), source.get(), 0x20000 + 10), 1);
    EXPECT_EQ(GetCapturedStdout(), "    \b\b\b\b050%\b\b\b\b100%\b\b\b\b100%\n");
    EXPECT_EQ(read_file(path), data);

    // A short read is not reported here.
    File small(temp_file_with(pattern(10)));
    CaptureStdout();
    EXPECT_EQ(copy_stream_to_file(path.c_str(), small.get(), 300), 1);
    EXPECT_EQ(GetCapturedStdout(), "    \b\b\b\b100%\n");
    Bytes expected = pattern(10);
    expected.resize(300, 0);
    EXPECT_EQ(read_file(path), expected);

    ASSERT_TRUE(write_file(dir.file("nos-image"), data));
    CaptureStdout();
    EXPECT_EQ(copy_file_with_progress(dir.file("nos-image").c_str(), path.c_str()), 1);
    EXPECT_EQ(GetCapturedStdout(), "    \b\b\b\b050%\b\b\b\b100%\b\b\b\b100%\n");
    EXPECT_EQ(read_file(path), data); // truncated first
}

TEST(CopyToFile, FailuresNameTheFileAndKeepErrno) {
    TempDir dir;
    File source(temp_file_with(pattern(0x20000)));
    CaptureStdout();
    errno = 0;
    EXPECT_EQ(copy_stream_to_file("/dev/full", source.get(), 0x10000), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(copy_stream_to_file(dir.file("missing/out").c_str(), source.get(), 10), 0);
    EXPECT_EQ(copy_file_with_progress(dir.file("absent").c_str(), dir.file("t2").c_str()), 0);
    EXPECT_EQ(GetCapturedStdout(), "    File /dev/full write failed (err 28: bytes_written 0, len "
                                   "65536, wr_len 65536)\n");
    EXPECT_FALSE(file_exists(dir.file("t2")));

    ASSERT_TRUE(write_file(dir.file("image"), pattern(0x10000)));
    CaptureStdout();
    EXPECT_EQ(copy_file_with_progress(dir.file("image").c_str(), "/dev/full"), 0);
    EXPECT_EQ(GetCapturedStdout(), "    " + FULL);
}

} // namespace
