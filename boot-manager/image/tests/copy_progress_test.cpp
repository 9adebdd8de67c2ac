#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "image/copy_progress.h"
#include "image_bytes.h"
#include "temp_dir.h"

using namespace image_test;

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

Bytes contents(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    Bytes b;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        b.push_back(static_cast<uint8_t>(c));
    return b;
}

struct CopyResult {
    int result;
    std::string output;
    Bytes written;
};

CopyResult copy(const Bytes& source_bytes, uint32_t length) {
    File source(temp_file_with(source_bytes));
    File destination(std::tmpfile());
    testing::internal::CaptureStdout();
    const int result = copy_with_progress(source.get(), length, destination.get());
    std::string output = testing::internal::GetCapturedStdout();
    return {result, output, contents(destination.get())};
}

TEST(CopyWithProgress, OnePieceShowsOnlyHundred) {
    const Bytes data = pattern(0x10000);
    const auto r = copy(data, 0x10000);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output, "    \b\b\b\b100%\n");
    EXPECT_EQ(r.written, data);
}

TEST(CopyWithProgress, ThreePiecesCountThirds) {
    const Bytes data = pattern(0x30000);
    const auto r = copy(data, 0x30000);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output, "    \b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");
    EXPECT_EQ(r.written, data);
}

TEST(CopyWithProgress, CopiesFromTheCurrentPositionAndLeavesStreamsOpen) {
    const Bytes data = pattern(1000);
    File source(temp_file_with(data));
    File destination(std::tmpfile());
    std::fwrite("head", 1, 4, destination.get());
    std::fseek(source.get(), 600, SEEK_SET);
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_with_progress(source.get(), 300, destination.get()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "    \b\b\b\b100%\n");
    EXPECT_EQ(std::ftell(source.get()), 900);
    Bytes expected = {'h', 'e', 'a', 'd'};
    expected.insert(expected.end(), data.begin() + 600, data.begin() + 900);
    EXPECT_EQ(contents(destination.get()), expected);
}

TEST(CopyWithProgress, BelowTwoHundredFiftySixBytesNoDivisionByZero) {
    for (uint32_t length : {0U, 1U, 255U}) {
        SCOPED_TRACE(length);
        const Bytes data = pattern(length);
        const auto r = copy(data, length);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.output, "    \b\b\b\b100%\n");
        EXPECT_EQ(r.written, data);
    }
}

TEST(CopyWithProgress, ShortReadIsReportedAndTheFullPieceWritten) {
    const Bytes data = pattern(0x18000);
    const auto r = copy(data, 0x20000);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output, "    \b\b\b\b050%WARNING: unexpected read buffer len 32768 != 65536\n"
                        "\b\b\b\b100%\n");
    ASSERT_EQ(r.written.size(), 0x20000U);
    EXPECT_EQ(Bytes(r.written.begin(), r.written.begin() + 0x18000), data);
    EXPECT_EQ(Bytes(r.written.begin() + 0x18000, r.written.end()), Bytes(0x8000, 0));
}

TEST(CopyWithProgress, FailingWriteReportsAndFails) {
    File source(temp_file_with(pattern(0x10000)));
    File full(std::fopen("/dev/full", "wb"));
    ASSERT_TRUE(full);
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_with_progress(source.get(), 0x10000, full.get()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "    File write failed (err 28: bytes_written 0, len 65536, wr_len 65536)\n");
}

// A stream that takes limit bytes and then fails every write with EIO.
struct FailingSink {
    size_t taken = 0;
    size_t limit = 0;
};

ssize_t failing_write(void* cookie, const char*, size_t size) {
    auto* sink = static_cast<FailingSink*>(cookie);
    if (sink->taken + size > sink->limit) {
        errno = EIO;
        return -1;
    }
    sink->taken += size;
    return static_cast<ssize_t>(size);
}

TEST(CopyWithProgress, WriteFailingInTheSecondPiece) {
    FailingSink sink{0, 0x10000};
    cookie_io_functions_t functions{nullptr, failing_write, nullptr, nullptr};
    File destination(fopencookie(&sink, "w", functions));
    ASSERT_TRUE(destination);
    File source(temp_file_with(pattern(0x30000)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_with_progress(source.get(), 0x30000, destination.get()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "    \b\b\b\b033%File write failed (err 5: bytes_written 65536, len 196608, wr_len "
              "65536)\n");
    EXPECT_EQ(sink.taken, 0x10000U);
}

TEST(CopyStreamToFile, CreatesTheFileAndClosesIt) {
    TempDir dir;
    const std::string path = dir.file("payload.gz");
    ASSERT_TRUE(write_file(path, Bytes(100000, 0xEE))); // truncated, not overwritten
    const Bytes data = pattern(0x20000 + 10);
    File source(temp_file_with(data));
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_stream_to_file(path.c_str(), source.get(), 0x20000 + 10), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "    \b\b\b\b050%\b\b\b\b100%\b\b\b\b100%\n");
    EXPECT_EQ(read_file(path), data);
}

TEST(CopyStreamToFile, ShortReadIsNotReportedButFilledWithZeros) {
    TempDir dir;
    const std::string path = dir.file("out");
    File source(temp_file_with(pattern(10)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_stream_to_file(path.c_str(), source.get(), 300), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "    \b\b\b\b100%\n");
    Bytes expected = pattern(10);
    expected.resize(300, 0);
    EXPECT_EQ(read_file(path), expected);
}

TEST(CopyStreamToFile, WriteFailureNamesTheFileAndKeepsErrno) {
    File source(temp_file_with(pattern(0x10000)));
    testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_EQ(copy_stream_to_file("/dev/full", source.get(), 0x10000), 0);
    const int error = errno;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "    File /dev/full write failed (err 28: bytes_written 0, len 65536, wr_len "
              "65536)\n");
    EXPECT_EQ(error, ENOSPC);
}

TEST(CopyStreamToFile, UncreatableFileFailsWithoutOutput) {
    TempDir dir;
    File source(temp_file_with(pattern(10)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_stream_to_file(dir.file("missing/out").c_str(), source.get(), 10), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(CopyFileWithProgress, CopiesTheWholeFile) {
    TempDir dir;
    const Bytes data = pattern(0x20005);
    ASSERT_TRUE(write_file(dir.file("nos-image"), data));
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_with_progress(dir.file("nos-image").c_str(), dir.file("target").c_str()),
              1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "    \b\b\b\b050%\b\b\b\b100%\b\b\b\b100%\n");
    EXPECT_EQ(read_file(dir.file("target")), data);

    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_with_progress(dir.file("absent").c_str(), dir.file("t2").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(file_exists(dir.file("t2")));

    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_with_progress(dir.file("nos-image").c_str(), "/dev/full"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "    File write failed (err 28: bytes_written 0, len 131077, wr_len 65536)\n");
}

} // namespace
