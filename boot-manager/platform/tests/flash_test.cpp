// The MTD flash layer on the simulated NOR flash: what each whole-range
// operation leaves in the partition, which erases it issues, and what it
// prints, on success and on every failure.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

class FlashTest : public BoardTest {
  protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(flash_init(), 1);
        kernel_ = flash_fd(KERNEL);
        ASSERT_GE(kernel_, 0);
        reset_kernel();
    }
    void reset_kernel() {
        board().set_flash(Partition::kernel, 0, old_);
        board().clear_faults();
        board().clear_logs();
    }
    // The first four blocks as expected: data up to data_end, erased up to
    // erased_end, the old bytes after that.
    Bytes expected(const Bytes& data, uint32_t data_end, uint32_t erased_end) const {
        Bytes bytes = old_;
        std::copy(data.begin(), data.begin() + data_end, bytes.begin());
        std::fill(bytes.begin() + data_end, bytes.begin() + erased_end, 0xFF);
        return bytes;
    }
    std::vector<uint32_t> erased_blocks() {
        std::vector<uint32_t> offsets;
        for (const FlashEvent& event : board().flash_log()) {
            if (event.partition == Partition::kernel && event.kind == FlashEvent::erase) {
                EXPECT_EQ(event.length, E);
                offsets.push_back(event.offset);
            }
        }
        return offsets;
    }
    Bytes kernel() { return board().flash(Partition::kernel, 0, 4 * E); }

    int kernel_ = -1;
    const Bytes old_ = pattern(4 * E, 0x11); // the kernel partition's first four blocks
};

const std::string START = "     ", P000 = "\b\b\b\b000%", P100 = "\b\b\b\b100%\n";

TEST_F(FlashTest, WriteKeepsEveryByteOutsideTheRange) {
    const struct {
        const char* name;
        uint32_t offset, length;
        uint8_t show_progress;
        std::string printed;
        std::vector<uint32_t> blocks;
    } rows[] = {
        {"across a block edge", E - 5, 10, 0, "", {0, E}},
        {"ending inside a block", 0, E + 100, 0, "", {0, E}},
        {"middle to middle", E / 2, 2 * E, 0, "", {0, E, 2 * E}},
        {"nothing at a block boundary", E, 0, 1, START + P100, {}},
        {"nothing inside a block", 100, 0, 1, START + P000 + P100, {0}},
        {"one block", 0, E, 1, START + P000 + P100, {0}},
        {"three blocks",
         0,
         3 * E,
         1,
         START + P000 + "\b\b\b\b033%\b\b\b\b066%" + P100,
         {0, E, 2 * E}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reset_kernel();
        const Bytes data = pattern(row.length, 0xA0);
        const std::string out = stdout_of([&] {
            EXPECT_EQ(flash_write_range(row.length ? data.data() : nullptr, kernel_, row.offset,
                                        row.length, row.show_progress),
                      0);
        });
        EXPECT_EQ(out, row.printed);
        Bytes want = old_;
        std::copy(data.begin(), data.end(), want.begin() + row.offset);
        EXPECT_EQ(kernel(), want);
        EXPECT_EQ(erased_blocks(), row.blocks);
        // Each block: one whole-block read, then the erase, then 1024-byte writes.
        const auto log = board().flash_log();
        ASSERT_EQ(log.size(), 1 + row.blocks.size() * (2 + E / 1024));
        if (!row.blocks.empty()) {
            EXPECT_EQ(log[1].kind, FlashEvent::read);
            EXPECT_EQ(log[1].length, E);
            EXPECT_EQ(log[2].kind, FlashEvent::erase);
        }
    }
}

TEST_F(FlashTest, EraseAndReadRanges) {
    // An unaligned range erases every block it touches.
    EXPECT_EQ(flash_erase_range(kernel_, E - 1, 2), 0);
    EXPECT_EQ(erased_blocks(), (std::vector<uint32_t>{0, E}));
    EXPECT_EQ(kernel(), expected({}, 0, 2 * E));

    // A read past the end of the partition is short, and that is success.
    Bytes tail(16, 0xEE);
    EXPECT_EQ(flash_read_range(tail.data(), kernel_, (8u << 20) - 8, 16), 0);
    Bytes want(8, 0xFF);
    want.resize(16, 0xEE);
    EXPECT_EQ(tail, want);
    EXPECT_EQ(flash_read_range(tail.data(), kernel_, 3 * E, 16), 0);
    EXPECT_EQ(tail, Bytes(old_.begin() + 3 * E, old_.begin() + 3 * E + 16));
    board().fail_flash_read_at(Partition::kernel, 3 * E);
    EXPECT_EQ(flash_read_range(tail.data(), kernel_, 3 * E, 16), -1);

    // The span's last byte ends the last touched block.
    EXPECT_EQ(flash_block_span(E - 5, 10, {4, E, 16, 4 * E}).last, 2 * E - 1);
}

TEST_F(FlashTest, FailureStopsAtTheFailingBlock) {
    using vswitch::Board;
    const struct {
        const char* name;
        void (Board::*fail_at)(Partition, uint32_t);
        uint32_t at;
        bool erase_range;
        std::string printed;
        uint32_t data_end, erased_end;
    } rows[] = {
        {"block read", &Board::fail_flash_read_at, E + 1, false,
         START + P000 + "Flash Write mtd read failed.\n\n", E, E},
        {"erase in a write", &Board::fail_flash_erase_at, E, false,
         START + P000 + "Flash Write mtd erase failed.\n\n", E, E},
        {"1024-byte write", &Board::fail_flash_write_at, E + 0x400, false,
         START + P000 + "Flash Write mtd write failed.\n\n", E + 0x400, 2 * E},
        {"erase range", &Board::fail_flash_erase_at, 2 * E, true, "Flash Erase mtd erase failed.\n",
         0, 2 * E},
    };
    const Bytes data = pattern(3 * E, 0x05);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reset_kernel();
        (board().*row.fail_at)(Partition::kernel, row.at);
        const std::string out = stdout_of([&] {
            EXPECT_EQ(row.erase_range ? flash_erase_range(kernel_, 0, 3 * E)
                                      : flash_write_range(data.data(), kernel_, 0, 3 * E, 1),
                      -1);
        });
        EXPECT_EQ(out, row.printed);
        EXPECT_EQ(kernel(), expected(data, row.data_end, row.erased_end));
    }
}

TEST_F(FlashTest, NoGeometryFailsEveryOperationBeforeItTouchesFlash) {
    board().fail_flash_info(Partition::kernel);
    board().fail_flash_open(Partition::onie);
    ASSERT_EQ(flash_init(), 1); // nothing is reported at open time
    ASSERT_LT(flash_fd(ONIE), 0);
    kernel_ = flash_fd(KERNEL);
    board().clear_logs();
    Bytes buffer(16, 0xEE);
    std::string out = stdout_of([&] {
        EXPECT_EQ(flash_read_range(buffer.data(), kernel_, 0, 16), -1);
        EXPECT_EQ(flash_write_range(buffer.data(), kernel_, 0, 16, 1), -1);
        EXPECT_EQ(flash_erase_range(kernel_, 0, 16), -1);
        EXPECT_EQ(flash_read_range(buffer.data(), flash_fd(ONIE), 0, 16), -1);
    });
    EXPECT_EQ(out, "Could not get MTD device info \nCould not get MTD device info \n"
                   "Could not get MTD device info \nCould not get MTD device info \n");
    EXPECT_EQ(buffer, Bytes(16, 0xEE));
    EXPECT_EQ(board().flash_log().size(), 3u); // three failed MEMGETINFO, nothing else
    EXPECT_EQ(kernel(), old_);
}

TEST_F(FlashTest, WorkBufferThatCannotBeHadLeavesTheFlashUntouched) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs the memory this test takes away";
#endif
    // A 1 GiB erase block in a process allowed far less memory.
    board().set_geometry(Partition::kernel, {0x40000000, 0x40000000});
    const std::string printed = board().path("printed");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{256u << 20, 256u << 20};
        ::setrlimit(RLIMIT_DATA, &limit);
        // An emulator (qemu-user) may not enforce the limit: nothing to test then.
        if (std::malloc(512u << 20) != nullptr)
            ::_exit(77);
        std::freopen(printed.c_str(), "w", stdout);
        const int result = flash_write_range(old_.data(), kernel_, 0, 16, 1);
        std::fflush(stdout);
        ::_exit(result == -1 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "the memory limit is not enforced here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(printed);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              "Flash Write malloc failed\n");
    for (const FlashEvent& event : board().flash_log())
        EXPECT_EQ(event.kind, FlashEvent::info);
}

} // namespace
