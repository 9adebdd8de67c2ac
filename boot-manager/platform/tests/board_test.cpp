// The platform layer on a simulated board of its own (the test binary runs
// with the board interposer preloaded): the bytes that reach the board's I2C
// devices and flash, the virtual time spent, and what is printed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "board/board_state.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/led.h"
#include "platform/low_security_mode.h"
#include "platform/nvram.h"
#include "platform/process.h"
#include "platform/rtc.h"
#include "test_support.h"

using namespace vswitch;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t E = 0x10000; // erase block of the default geometry
constexpr Partition K = Partition::kernel;

template <typename... Values> std::string format(const char* text, Values... values) {
    char field[160];
    std::snprintf(field, sizeof field, text, values...);
    return field;
}

Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8)); // includes zero bytes
    return bytes;
}

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
        vswitch::use_board_in_this_process(board());
        ASSERT_EQ(flash_init(), 1);
        ASSERT_GE(kernel_ = flash_fd(KERNEL), 0);
        board().set_flash(K, 0, old_);
    }
    void TearDown() override {
        i2c_close_buses();
        ::unsetenv("VSWITCH_BOARD");
    }
    Board& board() { return board_.board(); }
    // What call printed on standard output, after its result and "|" if it has
    // one, then the I2C transactions on the wire and the flash requests:
    // "0x70 <- 04" for a write to 7-bit address 0x70, "0x56 -> 43" for a read,
    // "bus1 " before those on bus 1, " (nak)" after those the device did not
    // answer, "+100ms" for virtual time spent before each one and at the end.
    template <typename Call> std::string run(Call&& call) {
        board().clear_logs();
        uint64_t time = board().clock_ns();
        std::fflush(stdout);
        testing::internal::CaptureStdout();
        std::string text = std::to_string(call()) + "|";
        text += testing::internal::GetCapturedStdout();
        auto spent = [&](uint64_t now) {
            text += now != time ? "+" + std::to_string((now - time) / 1000000) + "ms, " : "";
            time = now;
        };
        for (const auto& transfer : board().i2c_log()) {
            spent(transfer.time_ns);
            text += format("%s0x%02x %s", transfer.bus != 0 ? "bus1 " : "", transfer.address,
                           transfer.write ? "<-" : "->");
            for (uint8_t byte : transfer.bytes)
                text += format(" %02x", byte);
            text += transfer.acked ? ", " : " (nak), ";
        }
        spent(board().clock_ns());
        return text + requests();
    }
    // The requests to the device: "i" for its geometry, "r0+10000" for a read
    // of 0x10000 bytes at 0, "e0+10000" for an erase, "w64" for 64 writes in a
    // row, "!" after one that failed.
    std::string requests() {
        std::string text;
        int writes = 0;
        auto end_writes = [&] {
            text += writes ? "w" + std::to_string(writes) + " " : "";
            writes = 0;
        };
        for (const FlashEvent& e : board().flash_log()) {
            if (e.kind == FlashEvent::write && e.ok && ++writes)
                continue;
            end_writes();
            text += e.kind == FlashEvent::info
                        ? "i"
                        : format("%c%x+%x", "oirwe"[e.kind], e.offset, e.length);
            text += e.ok ? " " : "! ";
        }
        end_writes();
        return text;
    }

    int kernel_ = -1;
    const Bytes old_ = pattern(4 * E, 0x11);

  private:
    vswitch::TemporaryBoard board_;
};

const RtcTime TIME{{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}};

// One NVRAM byte written behind the mux, with the EEPROM's write time.
std::string written(uint16_t offset, uint8_t value, const char* nak = "") {
    return format("0x70 <- 04, 0x56 <- %02x %02x %02x%s, +100ms, 0x70 <- 00, ", offset >> 8,
                  offset & 0xFF, value, nak);
}

std::string read(uint16_t offset, const char* bytes) {
    return format("0x70 <- 04, 0x56 <- %02x %02x, 0x56 -> %s, 0x70 <- 00, ", offset >> 8,
                  offset & 0xFF, bytes);
}

std::string stamp(uint16_t offset, int count) {
    std::string wire;
    for (int i = 0; i < count; ++i)
        wire += written(static_cast<uint16_t>(offset + i), TIME.bytes[i]);
    return wire;
}

TEST_F(BoardTest, EachFieldIsItsBytesBehindTheMuxAndEveryFailureIsReported) {
    uint8_t block = 0, key[16] = {}, value = 0;
    RtcTime time{};
    const struct {
        std::function<void(Board&)> setup;
        std::function<int()> call;
        std::string wire;
    } rows[] = {
        // clang-format off
        {[](Board& b) { b.set_nvram(0x0102, {'b'}); b.set_nvram(0x013B, {213}); b.set_nvram(0x01C5, {7}); }, [&] { const int config = get_config_block(&block) * 1000 + block, flag = get_usb_boot_flag(); return config * 1000 + flag + get_nvram_offset(0x01C5, 1, &value); }, "1098220|" + read(0x0102, "62") + read(0x013B, "d5") + read(0x01C5, "07")},
        {[](Board& b) { b.set_nvram(0x000D, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}); }, [&] { get_board_key_bytes(key); return key[11] * 100 + key[12]; }, "1200|" + read(0x000D, "01 02 03 04 05 06 07 08 09 0a 0b 0c")},
        {[](Board& b) { b.set_rtc({0x59, 0x30, 0x23, 0x07, 0x31, 0x12, 0x26}); }, [&] { return (rtc_read_time(&time) >= 0) + time.bytes[0] + time.bytes[6]; }, "128|0x68 <- 00, 0x68 -> 59 30 23 07 31 12 26, "},
        {{}, request_factory_config, "3|" + written(0x0206, 'F')},
        {{}, [] { set_running_image(0x103); set_config_block('f'); set_os_mode(2); set_os_mode(256); return 0; }, "0|" + written(0x013A, 3) + written(0x0102, 'f') + written(0x0138, 'C') + written(0x0138, 'E')},
        {{}, [] { const int none = set_image_timestamp(0, TIME) + set_image_timestamp(3, TIME); return none * 10 + set_image_timestamp(2, TIME); }, "1|" + stamp(0x0110, 7)},
        {[](Board& b) { b.fail_nvram_offset(0x010B); }, [] { return set_image_timestamp(1, TIME); }, "0|set_nvram_offset: I2C error when writing bus 0 offset 0x10b: -1:6\nError setting image timestamp at offset 0x108 byte 3\n" + stamp(0x0108, 3) + written(0x010B, 0x02, " (nak)")},
        {[](Board& b) { b.short_i2c_read(0, 0x56, 5); }, [&] { errno = 0; get_board_key_bytes(key); return key[0] + key[11]; }, "13|I2C error - device 0xac @ 13, 12 bytes : 0\n" + read(0x000D, "01 02 03 04 05")},
        {[](Board& b) { b.stop_i2c_device(0, 0x56, 1); }, is_tesk_mode, "0|I2C error - device 0xac writing bus 0 offset 312: 6\n0x70 <- 04, 0x56 <- 01 38 (nak), 0x70 <- 00, "},
        {[](Board& b) { b.stop_i2c_device(0, 0x56, 1); }, [&] { return get_config_block(&block) * 10 + block; }, "10|I2C error - device 0xac writing bus 0 offset 258: 6\n0x70 <- 04, 0x56 <- 01 02 (nak), 0x70 <- 00, "},
        {[](Board& b) { b.stop_i2c_device(0, 0x56, 1); }, [] { return set_nvram_offset(0x0102, 'a') < 0; }, "1|set_nvram_offset: I2C error when writing bus 0 offset 0x102: -1:6\n" + written(0x0102, 'a', " (nak)")},
        // The boot slot byte is where the OS mode, read first, puts it; only its low byte is set, unchecked.
        {[](Board& b) { b.set_nvram(0x0100, {1, 0xEE}); b.set_nvram(0x0138, {'C', 2}); }, [] { const int slot = is_tesk_mode() * 10 + get_boot_image(); set_boot_image(0x107); return slot; }, "12|" + read(0x0138, "43") + read(0x0138, "43") + read(0x0139, "02") + read(0x0138, "43") + written(0x0139, 7)},
        {[](Board& b) { b.set_nvram(0x0138, {'E'}); }, [] { const int slot = get_boot_image(); set_boot_image(0x107); return slot; }, "1|" + read(0x0138, "45") + read(0x0100, "01") + read(0x0138, "45") + written(0x0100, 7)},
        {[](Board& b) { b.set_nvram(0x0138, {0xFF}); }, [] { set_boot_image(0x107); return get_boot_image(); }, "7|" + read(0x0138, "ff") + written(0x0100, 7) + read(0x0138, "ff") + read(0x0100, "07")},
        {[](Board& b) { b.set_led_register(2, 0xA4); }, [&] { return led_read_reg(2, &value) * 1000 + value + led_write_reg(2, 0xA5); }, "164166|0x47 <- 02, 0x47 -> a4, 0x47 <- 02 a5, +100ms, "},
        {[](Board& b) { b.stop_i2c_device(0, 0x47, 1); }, [&] { return led_read_reg(2, &value) * 10 + (led_write_reg(2, 1) < 0); }, "1641|I2C error - device 0x8e writing bus 0 offset 2: 6\nI2C error when writing LED on bus 0 offset 2: 6\n0x47 <- 02 (nak), 0x47 <- 02 01 (nak), +100ms, "},
        // A multiplexer that does not answer hides the NVRAM behind it (an offset whose low byte has bit 7 set).
        {[](Board& b) { b.stop_i2c_device(0, 0x70, 1); }, [] { return set_nvram_offset(0x01C2, 'a') < 0; }, "1|set_nvram_offset: I2C error when writing bus 0 offset 0x1c2: -1:6\n0x70 <- 04 (nak), 0x56 <- 01 c2 61 (nak), +100ms, 0x70 <- 00 (nak), "},
        // The RTC takes its register pointer (its 3rd transaction) but not the read: the record keeps its bytes.
        {[](Board& b) { b.stop_i2c_device(0, 0x68, 4); }, [&] { return rtc_read_time(&time) * 1000 + time.bytes[0]; }, "89|I2C error - device 0xd0 @ 0, 7 bytes : 6\n0x68 <- 00, 0x68 -> (nak), "},
        // A bus that fails to open stops the opening; bus 0 works regardless.
        {[](Board& b) { b.fail_i2c_open(1); }, [] { i2c_close_buses(); return i2c_open_buses() * 1000 + get_usb_boot_flag(); }, "-787|ERROR: driver /dev/i2c-1 couldn't be opened\n" + read(0x013B, "d5")},
        // Were bus 1 tried, it would print a second message. No bus: no write, so no write time.
        {[](Board& b) { b.fail_i2c_open(0); }, [] { i2c_close_buses(); const int opened = i2c_open_buses() * 100 + get_usb_boot_flag() * 10 + (set_nvram_offset(0x0206, 'F') < 0); return opened * 10 + (led_write_reg(2, 1) < 0); }, "-989|ERROR: driver /dev/i2c-0 couldn't be opened\nI2C error when setting bus 0, device 0xac: 9\nI2C error when setting bus 0: 9\nI2C error when setting LED on bus 0: 9\n"},
        // clang-format on
    };
    ASSERT_EQ(i2c_open_buses(), 0);
    for (const auto& row : rows) {
        board().clear_faults();
        row.setup ? row.setup(board()) : void();
        EXPECT_EQ(run(row.call), row.wire);
    }
    EXPECT_EQ(Bytes(key, key + 16), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0}));
}

const std::string START = "     ", P000 = "\b\b\b\b000%", P100 = "\b\b\b\b100%\n";
const std::string BLOCK0 = "r0+10000 e0+10000 w64 ", BLOCK1 = "r10000+10000 e10000+10000 w64 ";
// Over several blocks the first block's first piece is written after the rest.
const std::string FIRST = "r0+10000 e0+10000 w63 ", LAST1 = "r10000+10000 e10000+10000 w65 ",
                  LAST2 = "r20000+10000 e20000+10000 w65 ";

TEST_F(BoardTest, FlashRangesKeepEveryByteOutsideAndFailuresStopAtTheFailingBlock) {
    const struct {
        std::function<void(Board&)> fault;
        char operation; // write or erase
        uint32_t offset, length;
        uint8_t show_progress;
        uint32_t data_end, erased_end; // data from offset up to data_end, then 0xFF
        std::string printed;           // then the requests
    } rows[] = {
        // clang-format off
        {{}, 'w', E - 5, 10, 0, E + 5, 0, "0|i " + FIRST + LAST1},
        {{}, 'w', 0, E + 100, 0, E + 100, 0, "0|i " + FIRST + LAST1},
        {{}, 'w', E / 2, 2 * E, 0, 5 * E / 2, 0, "0|i " + FIRST + BLOCK1 + LAST2},
        {{}, 'w', E, 0, 1, E, 0, "0|" + START + P100 + "i "},
        {{}, 'w', 100, 0, 1, 100, 0, "0|" + START + P000 + P100 + "i " + BLOCK0},
        {{}, 'w', 0, E, 1, E, 0, "0|" + START + P000 + P100 + "i " + BLOCK0},
        {{}, 'w', 0, 3 * E, 1, 3 * E, 0, "0|" + START + P000 + "\b\b\b\b033%\b\b\b\b066%" + P100 + "i " + FIRST + BLOCK1 + LAST2},
        {{}, 'e', E - 1, 2, 0, 0, 2 * E, "0|i e0+10000 e10000+10000 "},
        {[](Board& b) { b.fail_flash_read_at(K, E + 1); }, 'w', 0, 3 * E, 1, E, E, "-1|" + START + P000 + "Flash Write mtd read failed.\n\ni " + FIRST + "r10000+10000! "},
        {[](Board& b) { b.fail_flash_erase_at(K, E); }, 'w', 0, 3 * E, 1, E, E, "-1|" + START + P000 + "Flash Write mtd erase failed.\n\ni " + FIRST + "r10000+10000 e10000+10000! "},
        {[](Board& b) { b.fail_flash_write_at(K, E + 0x400); }, 'w', 0, 3 * E, 1, E + 0x400, 2 * E, "-1|" + START + P000 + "Flash Write mtd write failed.\n\ni " + FIRST + "r10000+10000 e10000+10000 w1 w10400+400! "},
        {[](Board& b) { b.fail_flash_erase_at(K, 2 * E); }, 'e', 0, 3 * E, 0, 0, 2 * E, "-1|Flash Erase mtd erase failed.\ni e0+10000 e10000+10000 e20000+10000! "},
        {[](Board& b) { b.fail_flash_info(K); }, 'w', 0, 16, 1, 0, 0, "-1|Could not get MTD device info \ni! "},
        {[](Board& b) { b.fail_flash_info(K); }, 'e', 0, 16, 1, 0, 0, "-1|Could not get MTD device info \ni! "},
        // A range that wraps or passes the end of the partition is refused before any block is touched.
        {{}, 'w', 0xFFFFFFF0, 0x20, 1, 0, 0, "-1|Flash range 0xfffffff0+0x20 is outside the partition (0x800000 bytes)\ni "},
        {{}, 'e', 0x7F0000, E, 0, 0, 0, "0|i e7f0000+10000 "},
        {{}, 'e', 0x7F0000, 2 * E, 0, 0, 0, "-1|Flash range 0x7f0000+0x20000 is outside the partition (0x800000 bytes)\ni "},
        // clang-format on
    };
    for (const auto& row : rows) {
        board().set_flash(K, 0, old_);
        board().clear_faults();
        row.fault ? row.fault(board()) : void();
        const Bytes data = pattern(row.length, 0xA0);
        EXPECT_EQ(run([&] {
                      return row.operation == 'e'
                                 ? flash_erase_range(kernel_, row.offset, row.length)
                                 : flash_write_range(row.length ? data.data() : nullptr, kernel_,
                                                     row.offset, row.length, row.show_progress);
                  }),
                  row.printed);
        Bytes want = old_;
        if (row.data_end > row.offset)
            std::copy_n(data.begin(), row.data_end - row.offset, &want[row.offset]);
        std::fill(&want[row.data_end], &want[std::max(row.data_end, row.erased_end)], 0xFF);
        if (row.fault && row.operation == 'w' && row.data_end != 0)
            std::fill_n(want.begin(), 0x400, 0xFF); // the head, kept for last, never came
        EXPECT_EQ(board().flash(K, 0, 4 * E), want);
    }
}

TEST_F(BoardTest, FlashReadsAndBlockSpans) {
    // A read past the end of the partition is short, and that is success.
    Bytes got(32, 0xEE), want(8, 0xFF);
    want.resize(16, 0xEE);
    want.insert(want.end(), old_.begin() + 3 * E, old_.begin() + 3 * E + 16);
    EXPECT_EQ(flash_read_range(got.data(), kernel_, (8u << 20) - 8, 16), 0);
    EXPECT_EQ(flash_read_range(got.data() + 16, kernel_, 3 * E, 16), 0);
    board().fail_flash_read_at(K, 3 * E);
    EXPECT_EQ(flash_read_range(got.data() + 16, kernel_, 3 * E, 16), -1);
    EXPECT_EQ(flash_block_span(E - 5, 10, {4, E, 16, 4 * E}).last, 2 * E - 1);
    // Without geometry nothing is read; a partition that failed to open has none.
    board().fail_flash_info(K);
    board().fail_flash_open(Partition::onie);
    ASSERT_EQ(flash_init(), 1); // nothing is reported at open time
    ASSERT_LT(flash_fd(ONIE), 0);
    EXPECT_EQ(run([&] {
                  return flash_read_range(got.data(), flash_fd(KERNEL), 0, 16) +
                         flash_read_range(got.data(), flash_fd(ONIE), 0, 16);
              }),
              "-2|Could not get MTD device info \nCould not get MTD device info \ni! ");
    EXPECT_EQ(got, want);
    // An erase size of 0 would make every range touch no block.
    const FlashGeometry no_blocks{0, 0, 0, 4 * E};
    EXPECT_EQ(run([&] {
                  return flash_erase(kernel_, E, 0, no_blocks) +
                         flash_write(old_.data(), kernel_, 16, 0, 1, no_blocks);
              }),
              "0|Flash erase size is 0\nFlash erase size is 0\n");
}

TEST_F(BoardTest, FlashWorkBufferThatCannotBeHadLeavesTheFlashUntouched) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs the memory this test takes away";
#endif
    // A 1 GiB erase block while the process may have far less memory.
    board().set_geometry(K, {0x40000000, 0x40000000});
    rlimit limit{};
    ::getrlimit(RLIMIT_DATA, &limit);
    const rlimit low{256u << 20, limit.rlim_max};
    ::setrlimit(RLIMIT_DATA, &low);
    void* probe = std::malloc(512u << 20); // an emulator may not enforce the limit
    const bool enforced = probe == nullptr;
    std::free(probe);
    const std::string printed =
        enforced ? run([&] { return flash_write_range(old_.data(), kernel_, 0, 16, 1); }) : "";
    ::setrlimit(RLIMIT_DATA, &limit);
    if (!enforced)
        GTEST_SKIP() << "the memory limit is not enforced here";
    EXPECT_EQ(printed, "-1|Flash Write malloc failed\ni ");
}

TEST_F(BoardTest, LowSecurityMarkerCutShortByAFullFilesystemStillTurnsTheModeOn) {
    test_support::TempDir dir;
    BoardPaths paths;
    paths.low_security_marker = dir.file("lowsec");
    const std::string& marker = paths.low_security_marker;
    board().fail_file("file-enospc", marker);
    set_low_security_mode(paths, true);
    board().clear_faults();
    EXPECT_TRUE(low_security_mode_active(paths));
    EXPECT_EQ(test_support::read_file(marker), Bytes{});
}

TEST(StandardDescriptors, ClosedOnesAreOpenedOnDevNullAndOpenOnesKept) {
    const int saved[3] = {::dup(0), ::dup(1), ::dup(2)};
    ::close(0);
    ::close(2);
    platform::open_standard_descriptors();
    struct stat null {
    }, seen[3]{}, out{};
    ::stat("/dev/null", &null);
    for (int fd = 0; fd < 3; ++fd)
        ::fstat(fd, &seen[fd]);
    ::fstat(saved[1], &out);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(saved[fd], fd), ::close(saved[fd]);
    EXPECT_EQ(seen[0].st_rdev, null.st_rdev);
    EXPECT_EQ(seen[1].st_ino, out.st_ino);
    EXPECT_EQ(seen[2].st_rdev, null.st_rdev);
}

} // namespace
