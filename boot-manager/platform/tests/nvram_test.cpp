// The I2C layer, the NVRAM fields, the RTC and the LED device, checked by the
// bytes that reach the simulated board and the text printed on the console.

#include <cerrno>
#include <functional>

#include "board_fixture.h"
#include "platform/led.h"
#include "platform/nvram.h"
#include "platform/rtc.h"

using Lines = std::vector<std::string>;

namespace {

class NvramTest : public BoardTest {
  protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(i2c_open_buses(), 0);
    }
};

const RtcTime TIME{{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}};

TEST_F(NvramTest, EachFieldIsOneByteWrittenBehindTheMuxFollowedBy100ms) {
    const struct {
        const char* name;
        std::function<void()> call;
        uint16_t offset;
        uint8_t value;
    } rows[] = {
        {"factory request", [] { EXPECT_EQ(request_factory_config(), 3); }, 0x0206, 'F'},
        {"running image", [] { set_running_image(0x103); }, 0x013A, 3},
        {"config block", [] { set_config_block('f'); }, 0x0102, 'f'},
        {"os mode 2", [] { set_os_mode(2); }, 0x0138, 'C'},
        {"os mode 256", [] { set_os_mode(256); }, 0x0138, 'E'},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        board().clear_logs();
        const uint64_t start = board().clock_ns();
        EXPECT_EQ(stdout_of(row.call), "");
        char write[32];
        std::snprintf(write, sizeof write, "0x56 <- %02x %02x %02x", row.offset >> 8,
                      row.offset & 0xFF, row.value);
        EXPECT_EQ(wire(board()), (Lines{"0x70 <- 04", write, "0x70 <- 00"}));
        EXPECT_EQ(board().nvram_byte(row.offset), row.value);
        // The EEPROM's write time lies between the write and the deselect.
        const auto log = board().i2c_log();
        EXPECT_EQ(log[2].time_ns - log[1].time_ns, 100 * MS);
        EXPECT_EQ(board().clock_ns() - start, 100 * MS);
    }
}

TEST_F(NvramTest, ReadsSelectReadAndDeselectWithoutDelay) {
    board().set_nvram(0x0102, {'b'});
    board().set_nvram(0x013B, {213});
    board().set_nvram(0x000D, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    uint8_t block = 0xEE;
    EXPECT_EQ(get_config_block(&block), 1);
    EXPECT_EQ(block, 'b');
    EXPECT_EQ(wire(board()), (Lines{"0x70 <- 04", "0x56 <- 01 02", "0x56 -> 62", "0x70 <- 00"}));
    EXPECT_EQ(get_usb_boot_flag(), 213);
    uint8_t key[16] = {};
    get_board_key_bytes(key);
    EXPECT_EQ(Bytes(key, key + 16), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0}));
    EXPECT_EQ(board().clock_ns(), 0u);
}

TEST_F(NvramTest, BootSlotByteFollowsTheOsModeReadFirst) {
    const uint8_t modes[] = {'C', 'E', 0xFF, 0x00};
    for (uint8_t mode : modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        const bool tesk = mode == 'C';
        board().set_nvram(0x0138, {mode});
        board().set_nvram(0x0100, {1});
        board().set_nvram(0x0139, {2});
        EXPECT_EQ(is_tesk_mode(), tesk ? 1 : 0);
        EXPECT_EQ(get_boot_image(), tesk ? 2 : 1);

        board().clear_logs();
        set_boot_image(0x107); // only the low byte is written, unchecked
        EXPECT_EQ(board().nvram_byte(tesk ? 0x0139 : 0x0100), 0x07);
        EXPECT_EQ(board().nvram_byte(tesk ? 0x0100 : 0x0139), tesk ? 1 : 2);
        char mode_read[16], slot_write[32];
        std::snprintf(mode_read, sizeof mode_read, "0x56 -> %02x", mode);
        std::snprintf(slot_write, sizeof slot_write, "0x56 <- 01 %02x 07", tesk ? 0x39 : 0x00);
        EXPECT_EQ(wire(board()), (Lines{"0x70 <- 04", "0x56 <- 01 38", mode_read, "0x70 <- 00",
                                        "0x70 <- 04", slot_write, "0x70 <- 00"}));
    }
}

TEST_F(NvramTest, TimestampIsSevenByteWritesAndStopsAtTheFirstFailure) {
    for (int slot : {0, 3})
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(set_image_timestamp(slot, TIME), 0); }), "");
    EXPECT_TRUE(wire(board()).empty());

    EXPECT_EQ(set_image_timestamp(2, TIME), 1);
    EXPECT_EQ(board().nvram(0x0110, 7), Bytes(TIME.bytes, TIME.bytes + 7));
    EXPECT_EQ(wire(board()).size(), 21u);
    EXPECT_EQ(board().clock_ns(), 700 * MS);

    board().fail_nvram_offset(0x010B);
    board().clear_logs();
    std::string out = stdout_of([&] { EXPECT_EQ(set_image_timestamp(1, TIME), 0); });
    EXPECT_EQ(out, "set_nvram_offset: I2C error when writing bus 0 offset 0x10b: -1:6\n"
                   "Error setting image timestamp at offset 0x108 byte 3\n");
    EXPECT_EQ(board().nvram(0x0108, 7), (Bytes{0x30, 0x45, 0x13, 0xFF, 0xFF, 0xFF, 0xFF}));
    const Lines lines = wire(board());
    ASSERT_EQ(lines.size(), 12u); // bytes 4-6 never went out
    EXPECT_EQ(lines[10], "0x56 <- 01 0b 02 (nak)");
    EXPECT_EQ(lines[11], "0x70 <- 00"); // deselected after the failure too
    EXPECT_EQ(board().clock_ns(), 1100 * MS);
}

TEST_F(NvramTest, FailedReadsYieldZeroOrLeaveTheBufferAsItWas) {
    board().set_nvram(0x0138, {'C'});
    board().set_nvram(0x013B, {213});
    board().set_nvram(0x000D, Bytes(12, 0x5A));
    board().short_i2c_read(0, 0x56, 5);
    uint8_t key[16] = {};
    errno = 0;
    EXPECT_EQ(stdout_of([&] { get_board_key_bytes(key); }),
              "I2C error - device 0xac @ 13, 12 bytes : 0\n");
    EXPECT_EQ(Bytes(key, key + 16), Bytes(16, 0));

    board().stop_i2c_device(0, 0x56, 1);
    std::string out = stdout_of([] {
        EXPECT_EQ(is_tesk_mode(), 0);
        uint8_t block = 0xEE;
        get_config_block(&block);
        EXPECT_EQ(block, 0);
        EXPECT_LT(set_nvram_offset(0x0102, 'a'), 0);
    });
    EXPECT_EQ(out, "I2C error - device 0xac writing bus 0 offset 312: 6\n"
                   "I2C error - device 0xac writing bus 0 offset 258: 6\n"
                   "set_nvram_offset: I2C error when writing bus 0 offset 0x102: -1:6\n");
    EXPECT_EQ(wire(board()).back(), "0x70 <- 00");
    EXPECT_EQ(board().clock_ns(), 100 * MS); // the failed write waits all the same
}

TEST_F(BoardTest, BusThatFailsToOpenStopsTheOpeningAndLaterAccessReportsTheBind) {
    board().fail_i2c_open(1);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(i2c_open_buses(), -1); }),
              "ERROR: driver /dev/i2c-1 couldn't be opened\n");
    board().set_nvram(0x013B, {213});
    EXPECT_EQ(get_usb_boot_flag(), 213); // bus 0 works regardless
    i2c_close_buses();

    board().fail_i2c_open(0); // were bus 1 tried, it would print a second message
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(i2c_open_buses(), -1); }),
              "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    board().clear_logs();
    std::string out = stdout_of([] {
        EXPECT_EQ(get_usb_boot_flag(), 0);
        EXPECT_LT(set_nvram_offset(0x0206, 'F'), 0);
    });
    EXPECT_EQ(out, "I2C error when setting bus 0, device 0xac: 9\n"
                   "I2C error when setting bus 0: 9\n");
    EXPECT_EQ(board().clock_ns(), 0u); // no write, so no write time
    EXPECT_TRUE(wire(board()).empty());
}

TEST_F(NvramTest, RtcIsOneRegisterTransactionWithoutTheMux) {
    board().set_rtc({0x59, 0x30, 0x23, 0x07, 0x31, 0x12, 0x26});
    RtcTime time{};
    EXPECT_GE(rtc_read_time(&time), 0);
    EXPECT_EQ(Bytes(time.bytes, time.bytes + 7), (Bytes{0x59, 0x30, 0x23, 0x07, 0x31, 0x12, 0x26}));
    EXPECT_EQ(wire(board()), (Lines{"0x68 <- 00", "0x68 -> 59 30 23 07 31 12 26"}));
}

TEST_F(NvramTest, LedRegisterReadAndWrite) {
    board().set_led_register(2, 0xA4);
    uint8_t value = 0;
    EXPECT_EQ(led_read_reg(2, &value), 0xA4);
    EXPECT_EQ(value, 0xA4);
    EXPECT_EQ(led_write_reg(2, 0xA5), 2);
    EXPECT_EQ(board().led_register(2), 0xA5);
    EXPECT_EQ(wire(board()), (Lines{"0x47 <- 02", "0x47 -> a4", "0x47 <- 02 a5"}));
    EXPECT_EQ(board().clock_ns(), 100 * MS);

    board().stop_i2c_device(0, 0x47, 1);
    std::string out = stdout_of([&] {
        EXPECT_EQ(led_read_reg(2, &value), 0xA4);
        EXPECT_LT(led_write_reg(2, 0x01), 0);
    });
    EXPECT_EQ(out, "I2C error - device 0x8e writing bus 0 offset 2: 6\n"
                   "I2C error when writing LED on bus 0 offset 2: 6\n");
    EXPECT_EQ(board().clock_ns(), 200 * MS); // the write time is spent all the same

    i2c_close_buses();
    out = stdout_of([] { EXPECT_LT(led_write_reg(2, 0x01), 0); });
    EXPECT_EQ(out, "I2C error when setting LED on bus 0: 9\n");
    EXPECT_EQ(board().clock_ns(), 200 * MS);
}

} // namespace
