// The I2C layer, the NVRAM fields, the RTC and the LED device, checked by the
// bytes that reach the simulated board and the text printed on the console.

#include <cerrno>

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

TEST_F(NvramTest, FactoryRequestIsOneThreeByteWriteBehindTheMuxFollowedBy100ms) {
    std::string out = stdout_of([] { EXPECT_EQ(request_factory_config(), 3); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(wire(board()), (Lines{"0x70 <- 04", "0x56 <- 02 06 46", "0x70 <- 00"}));
    EXPECT_EQ(board().nvram_byte(0x0206), 'F');

    // The EEPROM's write time lies between the write and the deselect.
    auto log = board().i2c_log();
    EXPECT_EQ(log[1].time_ns, 0u);
    EXPECT_EQ(log[2].time_ns, 100 * MS);
    EXPECT_EQ(board().clock_ns(), 100 * MS);
}

TEST_F(NvramTest, ReadsSelectReadAndDeselectWithoutDelay) {
    board().set_nvram(0x0102, {'b'});
    uint8_t block = 0xEE;
    EXPECT_EQ(get_config_block(&block), 1);
    EXPECT_EQ(block, 'b');
    EXPECT_EQ(wire(board()), (Lines{"0x70 <- 04", "0x56 <- 01 02", "0x56 -> 62", "0x70 <- 00"}));
    EXPECT_EQ(board().clock_ns(), 0u);

    board().set_nvram(0x000D, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    uint8_t key[16] = {};
    get_board_key_bytes(key);
    EXPECT_EQ(Bytes(key, key + 16), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0}));
}

TEST_F(NvramTest, UsbBootFlagIsTheRawByte) {
    for (int value : {212, 213, 214}) {
        board().set_nvram_byte(0x013B, static_cast<uint8_t>(value));
        EXPECT_EQ(get_usb_boot_flag(), value);
    }
}

struct ModeCase {
    uint8_t mode_byte;
    bool tesk;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << "mode byte " << static_cast<int>(c.mode_byte);
}

class BootSlotByMode : public NvramTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(BootSlotByMode, SlotByteFollowsTheOsModeReadFirst) {
    const ModeCase mode = GetParam();
    const uint16_t slot_offset = mode.tesk ? 0x0139 : 0x0100;
    const uint16_t other_offset = mode.tesk ? 0x0100 : 0x0139;
    board().set_nvram(0x0138, {mode.mode_byte});
    board().set_nvram(0x0100, {1});
    board().set_nvram(0x0139, {2});

    EXPECT_EQ(is_tesk_mode(), mode.tesk ? 1 : 0);
    EXPECT_EQ(get_boot_image(), mode.tesk ? 2 : 1);

    board().clear_logs();
    set_boot_image(0x107); // only the low byte is written, unchecked
    EXPECT_EQ(board().nvram_byte(slot_offset), 0x07);
    EXPECT_EQ(board().nvram_byte(other_offset), mode.tesk ? 1 : 2);
    // The mode is read first, then the slot byte of that mode is written.
    char mode_read[16];
    std::snprintf(mode_read, sizeof mode_read, "0x56 -> %02x", mode.mode_byte);
    char slot_write[32];
    std::snprintf(slot_write, sizeof slot_write, "0x56 <- 01 %02x 07", slot_offset & 0xFF);
    EXPECT_EQ(wire(board()), (Lines{"0x70 <- 04", "0x56 <- 01 38", mode_read, "0x70 <- 00",
                                    "0x70 <- 04", slot_write, "0x70 <- 00"}));
}

INSTANTIATE_TEST_SUITE_P(Modes, BootSlotByMode,
                         ::testing::Values(ModeCase{'C', true}, ModeCase{'E', false},
                                           ModeCase{0xFF, false}, ModeCase{0x00, false}),
                         [](const auto& info) {
                             return "byte" + std::to_string(info.param.mode_byte);
                         });

TEST_F(NvramTest, OsModeLooksOnlyAtTheLowByte) {
    set_os_mode(2);
    EXPECT_EQ(board().nvram_byte(0x0138), 'C');
    set_os_mode(256);
    EXPECT_EQ(board().nvram_byte(0x0138), 'E');
    set_os_mode(0);
    EXPECT_EQ(board().nvram_byte(0x0138), 'E');
}

TEST_F(NvramTest, RunningImageAndConfigBlockAreSingleBytes) {
    set_running_image(3);
    set_config_block('f');
    EXPECT_EQ(board().nvram_byte(0x013A), 3);
    EXPECT_EQ(board().nvram_byte(0x0102), 'f');
    EXPECT_EQ(board().clock_ns(), 200 * MS);
}

TEST_F(NvramTest, TimestampWritesSevenBytesEachAfterItsOwnSelect) {
    const RtcTime time{{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}};
    EXPECT_EQ(set_image_timestamp(2, time), 1);
    EXPECT_EQ(board().nvram(0x0110, 7), (Bytes{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}));
    EXPECT_EQ(board().nvram_byte(0x0108), 0xFF);
    auto lines = wire(board());
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[3], "0x70 <- 04");
    EXPECT_EQ(lines[4], "0x56 <- 01 11 45");
    EXPECT_EQ(board().clock_ns(), 700 * MS);
}

TEST_F(NvramTest, TimestampStopsAtTheFailingByteAndNamesTheBaseOffset) {
    board().fail_nvram_offset(0x010B);
    const RtcTime time{{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}};
    std::string out = stdout_of([&] { EXPECT_EQ(set_image_timestamp(1, time), 0); });
    EXPECT_EQ(out, "set_nvram_offset: I2C error when writing bus 0 offset 0x10b: -1:6\n"
                   "Error setting image timestamp at offset 0x108 byte 3\n");
    EXPECT_EQ(board().nvram(0x0108, 7), (Bytes{0x30, 0x45, 0x13, 0xFF, 0xFF, 0xFF, 0xFF}));
    auto lines = wire(board());
    ASSERT_EQ(lines.size(), 12u); // bytes 4-6 never went out
    EXPECT_EQ(lines[10], "0x56 <- 01 0b 02 (nak)");
    EXPECT_EQ(lines[11], "0x70 <- 00"); // deselected after the failure too
    EXPECT_EQ(board().clock_ns(), 400 * MS);
}

TEST_F(NvramTest, TimestampOfAnotherSlotDoesNothing) {
    const RtcTime time{{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}};
    for (int slot : {0, 3}) {
        std::string out = stdout_of([&] { EXPECT_EQ(set_image_timestamp(slot, time), 0); });
        EXPECT_EQ(out, "");
    }
    EXPECT_TRUE(wire(board()).empty());
    EXPECT_EQ(board().clock_ns(), 0u);
}

TEST_F(NvramTest, FailedOneByteReadsYieldZero) {
    board().set_nvram(0x0138, {'C'});
    board().set_nvram(0x0139, {2});
    board().set_nvram(0x013B, {213});
    board().stop_i2c_device(0, 0x56, 1);
    std::string out = stdout_of([] {
        EXPECT_EQ(is_tesk_mode(), 0);
        EXPECT_EQ(get_boot_image(), 0);
        EXPECT_EQ(get_usb_boot_flag(), 0);
        uint8_t block = 0xEE;
        get_config_block(&block);
        EXPECT_EQ(block, 0);
    });
    EXPECT_EQ(out, "I2C error - device 0xac writing bus 0 offset 312: 6\n"
                   "I2C error - device 0xac writing bus 0 offset 312: 6\n"
                   "I2C error - device 0xac writing bus 0 offset 256: 6\n"
                   "I2C error - device 0xac writing bus 0 offset 315: 6\n"
                   "I2C error - device 0xac writing bus 0 offset 258: 6\n");
}

TEST_F(NvramTest, ShortReadLeavesTheBufferAsItWas) {
    board().set_nvram(0x000D, Bytes(12, 0x5A));
    board().short_i2c_read(0, 0x56, 5);
    uint8_t key[16] = {};
    errno = 0;
    std::string out = stdout_of([&] { get_board_key_bytes(key); });
    EXPECT_EQ(out, "I2C error - device 0xac @ 13, 12 bytes : 0\n");
    EXPECT_EQ(Bytes(key, key + 16), Bytes(16, 0));
}

TEST_F(NvramTest, FailedWriteStillWaitsAndReportsTheResult) {
    board().stop_i2c_device(0, 0x56, 1);
    std::string out = stdout_of([] { EXPECT_LT(set_nvram_offset(0x0102, 'a'), 0); });
    EXPECT_EQ(out, "set_nvram_offset: I2C error when writing bus 0 offset 0x102: -1:6\n");
    EXPECT_EQ(board().clock_ns(), 100 * MS);
    EXPECT_EQ(wire(board()), (Lines{"0x70 <- 04", "0x56 <- 01 02 61 (nak)", "0x70 <- 00"}));
}

TEST_F(BoardTest, Bus0FailingToOpenStopsThereAndLaterAccessReportsTheBind) {
    board().fail_i2c_open(0);
    board().fail_i2c_open(1); // were bus 1 tried, it would print a second message
    std::string out = stdout_of([] { EXPECT_EQ(i2c_open_buses(), -1); });
    EXPECT_EQ(out, "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_LE(i2c_bus_fd(0), 0);
    EXPECT_LE(i2c_bus_fd(1), 0);

    out = stdout_of([] {
        EXPECT_EQ(get_usb_boot_flag(), 0);
        EXPECT_EQ(is_tesk_mode(), 0);
    });
    EXPECT_EQ(out, "I2C error when setting bus 0, device 0xac: 9\n"
                   "I2C error when setting bus 0, device 0xac: 9\n");

    out = stdout_of([] { EXPECT_LT(set_nvram_offset(0x0206, 'F'), 0); });
    EXPECT_EQ(out, "I2C error when setting bus 0: 9\n");
    EXPECT_EQ(board().clock_ns(), 0u); // no write, so no write time
    EXPECT_TRUE(wire(board()).empty());
}

TEST_F(BoardTest, Bus1FailingToOpenIsReportedAfterBus0Opened) {
    board().fail_i2c_open(1);
    std::string out = stdout_of([] { EXPECT_EQ(i2c_open_buses(), -1); });
    EXPECT_EQ(out, "ERROR: driver /dev/i2c-1 couldn't be opened\n");
    EXPECT_GT(i2c_bus_fd(0), 0);
    board().set_nvram(0x013B, {213});
    EXPECT_EQ(get_usb_boot_flag(), 213); // bus 0 works regardless
}

TEST_F(BoardTest, ClosedBusesAreForgotten) {
    ASSERT_EQ(i2c_open_buses(), 0);
    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_EQ(i2c_bus_fd(0), 0);
    EXPECT_EQ(i2c_bus_fd(1), 0);
}

TEST_F(NvramTest, RtcReadIsOneRegisterTransactionWithoutTheMux) {
    board().set_rtc({0x59, 0x30, 0x23, 0x07, 0x31, 0x12, 0x26});
    RtcTime time{};
    EXPECT_GE(rtc_read_time(&time), 0);
    EXPECT_EQ(Bytes(time.bytes, time.bytes + 7), (Bytes{0x59, 0x30, 0x23, 0x07, 0x31, 0x12, 0x26}));
    EXPECT_EQ(wire(board()), (Lines{"0x68 <- 00", "0x68 -> 59 30 23 07 31 12 26"}));
}

TEST_F(NvramTest, FailedRtcReadLeavesTheTimeUnchanged) {
    board().short_i2c_read(0, 0x68, 6);
    RtcTime time{{1, 2, 3, 4, 5, 6, 7}};
    errno = 0;
    std::string out = stdout_of([&] { EXPECT_EQ(rtc_read_time(&time), 0); });
    EXPECT_EQ(out, "I2C error - device 0xd0 @ 0, 7 bytes : 0\n");
    EXPECT_EQ(Bytes(time.bytes, time.bytes + 7), (Bytes{1, 2, 3, 4, 5, 6, 7}));

    board().stop_i2c_device(0, 0x68, 1);
    out = stdout_of([&] { EXPECT_EQ(rtc_read_time(&time), 0); });
    EXPECT_EQ(out, "I2C error - device 0xd0 writing bus 0 offset 0: 6\n");
    EXPECT_EQ(Bytes(time.bytes, time.bytes + 7), (Bytes{1, 2, 3, 4, 5, 6, 7}));
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
    auto writes = board().led_writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].reg, 2);
    EXPECT_EQ(writes[0].value, 0xA5);
}

TEST_F(NvramTest, LedFailures) {
    board().stop_i2c_device(0, 0x47, 1);
    uint8_t value = 0x33;
    std::string out = stdout_of([&] {
        EXPECT_EQ(led_read_reg(2, &value), 0x33);
        EXPECT_LT(led_write_reg(2, 0x01), 0);
    });
    EXPECT_EQ(out, "I2C error - device 0x8e writing bus 0 offset 2: 6\n"
                   "I2C error when writing LED on bus 0 offset 2: 6\n");
    EXPECT_EQ(board().clock_ns(), 100 * MS); // the write time is spent all the same

    i2c_close_buses();
    out = stdout_of([] { EXPECT_LT(led_write_reg(2, 0x01), 0); });
    EXPECT_EQ(out, "I2C error when setting LED on bus 0: 9\n");
    EXPECT_EQ(board().clock_ns(), 100 * MS);
}

} // namespace
