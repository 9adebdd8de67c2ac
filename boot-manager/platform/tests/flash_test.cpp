// The MTD flash layer on the simulated NOR flash: what each whole-range
// operation leaves in the partition, which erases it issues, and what it
// prints, on success and on every failure.

#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include "board_fixture.h"
#include "platform/flash.h"

using vswitch::FlashEvent;
using vswitch::Partition;

namespace {

constexpr uint32_t E = 0x10000; // erase block of the default geometry

Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8)); // includes zero bytes
    return bytes;
}

Bytes slice(const Bytes& bytes, size_t from, size_t length) {
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + length));
}

class FlashTest : public BoardTest {
  protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(flash_init(), 1);
        kernel_ = flash_fd(KERNEL);
        ASSERT_GE(kernel_, 0);
        old_ = pattern(4 * E, 0x11);
        board().set_flash(Partition::kernel, 0, old_);
        board().clear_logs();
    }

    // The kernel partition's events of one kind.
    std::vector<FlashEvent> events(FlashEvent::Kind kind) {
        std::vector<FlashEvent> selected;
        for (const FlashEvent& event : board().flash_log()) {
            if (event.partition == Partition::kernel && event.kind == kind)
                selected.push_back(event);
        }
        return selected;
    }
    std::vector<uint32_t> erased_blocks() {
        std::vector<uint32_t> offsets;
        for (const FlashEvent& event : events(FlashEvent::erase)) {
            EXPECT_TRUE(event.ok);
            EXPECT_EQ(event.length, E);
            offsets.push_back(event.offset);
        }
        return offsets;
    }
    Bytes kernel(uint32_t offset, uint32_t length) {
        return board().flash(Partition::kernel, offset, length);
    }

    int kernel_ = -1;
    Bytes old_; // the kernel partition's first four blocks before each test
};

TEST_F(FlashTest, WriteAcrossABlockEdgeKeepsEveryByteOutsideTheRange) {
    const Bytes data = pattern(10, 0xA0);
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(data.data(), kernel_, E - 5, 10, 0), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(kernel(0, E - 5), slice(old_, 0, E - 5));
    EXPECT_EQ(kernel(E - 5, 10), data);
    EXPECT_EQ(kernel(E + 5, 3 * E - 5), slice(old_, E + 5, 3 * E - 5));
    EXPECT_EQ(erased_blocks(), (std::vector<uint32_t>{0, E}));

    // Each block: one whole-block read, then the erase, then 1024-byte writes.
    auto log = board().flash_log();
    ASSERT_EQ(log.size(), 1u + 2 * (2 + E / 1024));
    EXPECT_EQ(log[0].kind, FlashEvent::info);
    EXPECT_EQ(log[1].kind, FlashEvent::read);
    EXPECT_EQ(log[1].length, E);
    EXPECT_EQ(log[2].kind, FlashEvent::erase);
    EXPECT_EQ(log[3].kind, FlashEvent::write);
    EXPECT_EQ(log[3].length, 1024u);
}

TEST_F(FlashTest, WriteEndingInsideABlockKeepsTheRestOfIt) {
    const Bytes data = pattern(E + 100, 0x42);
    EXPECT_EQ(flash_write_range(data.data(), kernel_, 0, E + 100, 0), 0);
    EXPECT_EQ(kernel(0, E + 100), data);
    EXPECT_EQ(kernel(E + 100, E - 100), slice(old_, E + 100, E - 100));
    EXPECT_EQ(kernel(2 * E, E), slice(old_, 2 * E, E));
}

TEST_F(FlashTest, ZeroLengthWriteAtABlockBoundaryTouchesNothing) {
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(nullptr, kernel_, E, 0, 1), 0); });
    EXPECT_EQ(out, "     \b\b\b\b100%\n");
    EXPECT_TRUE(events(FlashEvent::read).empty());
    EXPECT_TRUE(events(FlashEvent::erase).empty());
    EXPECT_TRUE(events(FlashEvent::write).empty());
}

TEST_F(FlashTest, ZeroLengthWriteInsideABlockRewritesThatBlockUnchanged) {
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(nullptr, kernel_, 100, 0, 1), 0); });
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b100%\n");
    EXPECT_EQ(erased_blocks(), (std::vector<uint32_t>{0}));
    EXPECT_EQ(kernel(0, 2 * E), slice(old_, 0, 2 * E));
}

TEST_F(FlashTest, ProgressForOneBlock) {
    const Bytes data = pattern(E, 0x01);
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(data.data(), kernel_, 0, E, 1), 0); });
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b100%\n");
    EXPECT_EQ(erased_blocks(), (std::vector<uint32_t>{0}));
    EXPECT_EQ(kernel(0, E), data);
}

TEST_F(FlashTest, ProgressForThreeBlocks) {
    const Bytes data = pattern(3 * E, 0x02);
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(data.data(), kernel_, 0, 3 * E, 1), 0); });
    EXPECT_EQ(out, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");
    EXPECT_EQ(erased_blocks(), (std::vector<uint32_t>{0, E, 2 * E}));
    EXPECT_EQ(kernel(0, 3 * E), data);
    EXPECT_EQ(kernel(3 * E, E), slice(old_, 3 * E, E));
}

TEST_F(FlashTest, EraseIssuesOneEraseForEachTouchedBlock) {
    const int keys = flash_fd(SISKEYS);
    board().set_flash(Partition::siskeys, 0, pattern(0x20000, 0x33));
    board().clear_logs();
    EXPECT_EQ(flash_erase_range(keys, 0, 0x20000), 0);
    std::vector<uint32_t> offsets;
    for (const FlashEvent& event : board().flash_log()) {
        if (event.kind == FlashEvent::erase)
            offsets.push_back(event.offset);
    }
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 0x10000}));
    EXPECT_EQ(board().flash(Partition::siskeys, 0, 0x20000), Bytes(0x20000, 0xFF));

    // An unaligned range erases every block it touches.
    EXPECT_EQ(flash_erase_range(kernel_, E - 1, 2), 0);
    EXPECT_EQ(erased_blocks(), (std::vector<uint32_t>{0, E}));
    EXPECT_EQ(kernel(0, 2 * E), Bytes(2 * E, 0xFF));
    EXPECT_EQ(kernel(2 * E, E), slice(old_, 2 * E, E));
}

TEST_F(FlashTest, ReadRangeReadsTheBytesAndTakesAShortReadAsSuccess) {
    Bytes buffer(16, 0);
    EXPECT_EQ(flash_read_range(buffer.data(), kernel_, 0x100, 16), 0);
    EXPECT_EQ(buffer, slice(old_, 0x100, 16));

    // The last 8 bytes of the partition and 8 past its end.
    Bytes tail(16, 0xEE);
    EXPECT_EQ(flash_read_range(tail.data(), kernel_, (8u << 20) - 8, 16), 0);
    EXPECT_EQ(tail, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE, 0xEE, 0xEE, 0xEE,
                           0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(FlashTest, GeometryFailureFailsEveryOperationBeforeItTouchesFlash) {
    board().fail_flash_info(Partition::kernel);
    Bytes buffer(16, 0xEE);
    std::string out = stdout_of([&] {
        EXPECT_EQ(flash_read_range(buffer.data(), kernel_, 0, 16), -1);
        EXPECT_EQ(flash_write_range(buffer.data(), kernel_, 0, 16, 1), -1);
        EXPECT_EQ(flash_erase_range(kernel_, 0, 16), -1);
    });
    EXPECT_EQ(out, "Could not get MTD device info \n"
                   "Could not get MTD device info \n"
                   "Could not get MTD device info \n");
    EXPECT_EQ(buffer, Bytes(16, 0xEE));
    EXPECT_EQ(board().flash_log().size(), 3u); // three failed MEMGETINFO, nothing else
    EXPECT_EQ(kernel(0, E), slice(old_, 0, E));
}

TEST_F(BoardTest, PartitionThatFailedToOpenIsReportedByTheGeometryMessage) {
    board().fail_flash_open(Partition::onie);
    ASSERT_EQ(flash_init(), 1); // nothing is reported at open time
    EXPECT_LT(flash_fd(ONIE), 0);
    EXPECT_GE(flash_fd(RESCUE), 0);
    Bytes buffer(16, 0xEE);
    std::string out = stdout_of([&] {
        EXPECT_EQ(flash_read_range(buffer.data(), flash_fd(ONIE), 0, 16), -1);
        EXPECT_EQ(flash_erase_range(flash_fd(ONIE), 0, E), -1);
    });
    EXPECT_EQ(out, "Could not get MTD device info \nCould not get MTD device info \n");
    EXPECT_EQ(buffer, Bytes(16, 0xEE));
}

TEST_F(FlashTest, BlockReadFailureStopsBeforeThatBlock) {
    board().fail_flash_read_at(Partition::kernel, E + 1);
    const Bytes data = pattern(3 * E, 0x05);
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(data.data(), kernel_, 0, 3 * E, 1), -1); });
    EXPECT_EQ(out, "     \b\b\b\b000%Flash Write mtd read failed.\n\n");
    EXPECT_EQ(kernel(0, E), slice(data, 0, E));         // already rewritten
    EXPECT_EQ(kernel(E, 2 * E), slice(old_, E, 2 * E)); // untouched
    EXPECT_EQ(erased_blocks(), (std::vector<uint32_t>{0}));
}

TEST_F(FlashTest, EraseFailureDuringAWriteStopsThere) {
    board().fail_flash_erase_at(Partition::kernel, E);
    const Bytes data = pattern(3 * E, 0x06);
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(data.data(), kernel_, 0, 3 * E, 1), -1); });
    EXPECT_EQ(out, "     \b\b\b\b000%Flash Write mtd erase failed.\n\n");
    EXPECT_EQ(kernel(0, E), slice(data, 0, E));
    EXPECT_EQ(kernel(E, 2 * E), slice(old_, E, 2 * E));
    EXPECT_TRUE(events(FlashEvent::write).size() == E / 1024); // block 0 only
}

TEST_F(FlashTest, WriteFailureLeavesTheBlockErasedAndPartlyWritten) {
    board().fail_flash_write_at(Partition::kernel, E + 0x400);
    const Bytes data = pattern(3 * E, 0x07);
    std::string out =
        stdout_of([&] { EXPECT_EQ(flash_write_range(data.data(), kernel_, 0, 3 * E, 1), -1); });
    EXPECT_EQ(out, "     \b\b\b\b000%Flash Write mtd write failed.\n\n");
    EXPECT_EQ(kernel(0, E), slice(data, 0, E));
    EXPECT_EQ(kernel(E, 0x400), slice(data, E, 0x400));
    EXPECT_EQ(kernel(E + 0x400, E - 0x400), Bytes(E - 0x400, 0xFF));
    EXPECT_EQ(kernel(2 * E, E), slice(old_, 2 * E, E));
}

TEST_F(FlashTest, EraseRangeFailureKeepsTheEarlierBlocksErased) {
    board().fail_flash_erase_at(Partition::kernel, 2 * E);
    std::string out = stdout_of([&] { EXPECT_EQ(flash_erase_range(kernel_, 0, 3 * E), -1); });
    EXPECT_EQ(out, "Flash Erase mtd erase failed.\n");
    EXPECT_EQ(kernel(0, 2 * E), Bytes(2 * E, 0xFF));
    EXPECT_EQ(kernel(2 * E, 2 * E), slice(old_, 2 * E, 2 * E));
}

TEST_F(FlashTest, WorkBufferThatCannotBeHadLeavesTheFlashUntouched) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs the memory this test takes away";
#endif
    // A 1 GiB erase block in a process allowed far less memory.
    board().set_geometry(Partition::kernel, {0x40000000, 0x40000000});
    const std::string printed = board().path("printed");
    const Bytes data = pattern(16, 0x08);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{256u << 20, 256u << 20};
        ::setrlimit(RLIMIT_DATA, &limit);
        // An emulator (qemu-user) may not enforce the limit: nothing to test then.
        void* probe = std::malloc(512u << 20);
        if (probe != nullptr)
            ::_exit(77);
        std::freopen(printed.c_str(), "w", stdout);
        int result = flash_write_range(data.data(), kernel_, 0, 16, 1);
        std::fflush(stdout);
        ::_exit(result == -1 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "the memory limit is not enforced here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(printed);
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(out, "Flash Write malloc failed\n");
    EXPECT_TRUE(events(FlashEvent::read).empty());
    EXPECT_TRUE(events(FlashEvent::erase).empty());
    EXPECT_EQ(kernel(0, 16), slice(old_, 0, 16));
}

TEST(FlashBlockSpan, UnsignedArithmeticAtTheEdges) {
    const FlashGeometry geometry{128, E, 16, 8u << 20};
    BlockSpan span = flash_block_span(0, 0, geometry);
    EXPECT_EQ(span.blocks, 0u);
    span = flash_block_span(E - 5, 10, geometry);
    EXPECT_EQ(span.first, 0u);
    EXPECT_EQ(span.last, 2 * E - 1);
    EXPECT_EQ(span.blocks, 2u);
    span = flash_block_span(7, 0, geometry);
    EXPECT_EQ(span.blocks, 1u);
}

} // namespace
