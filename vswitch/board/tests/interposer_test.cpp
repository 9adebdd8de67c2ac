// The board model as a program sees it through its system calls. This binary
// runs with libvswitch-board.so preloaded; each test has its own board.

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board/board_state.h"
#include "platform/unique_fd.h"

using namespace vswitch;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint64_t SECOND = 1000000000ULL;

// Real time, past the interposer (which moves the program's clocks on by
// the time it has slept virtually).
uint64_t real_ms() {
    timespec now{};
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
        use_board_in_this_process(board_.board());
    }
    void TearDown() override { ::unsetenv("VSWITCH_BOARD"); }

    Board& board() { return board_.board(); }

    platform::UniqueFd open_bus(int bus) {
        platform::UniqueFd fd(::open(("/dev/i2c-" + std::to_string(bus)).c_str(), O_RDWR));
        EXPECT_TRUE(fd.valid()) << std::strerror(errno);
        return fd;
    }
    static ssize_t put(int fd, int address7, const Bytes& bytes) {
        if (::ioctl(fd, I2C_SLAVE, address7) != 0)
            return -2;
        return ::write(fd, bytes.data(), bytes.size());
    }
    static Bytes get(int fd, int address7, size_t length, ssize_t* result = nullptr) {
        Bytes bytes(length, 0xEE);
        ::ioctl(fd, I2C_SLAVE, address7);
        ssize_t got = ::read(fd, bytes.data(), length);
        if (result != nullptr)
            *result = got;
        return bytes;
    }
    static void select_nvram(int fd) { ASSERT_EQ(put(fd, 0x70, {0x04}), 1); }

    TemporaryBoard board_;
};

// ---- I2C ------------------------------------------------------------------

TEST_F(BoardTest, NvramAnswersOnlyBehindMuxChannel2) {
    platform::UniqueFd fd = open_bus(0);
    errno = 0;
    EXPECT_EQ(put(fd.get(), 0x56, {0x01, 0x38, 'C'}), -1);
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(put(fd.get(), 0x70, {0x01}), 1); // another channel
    EXPECT_EQ(put(fd.get(), 0x56, {0x01, 0x38, 'C'}), -1);
    select_nvram(fd.get());
    EXPECT_EQ(put(fd.get(), 0x56, {0x01, 0x38, 'C'}), 3);
    EXPECT_EQ(board().nvram_byte(0x138), 'C');
    EXPECT_EQ(board().nvram_byte(0x137), 0xFF);

    // Reads continue from the address written.
    board().set_nvram(0x000D, {1, 2, 3, 4});
    ASSERT_EQ(put(fd.get(), 0x56, {0x00, 0x0D}), 2);
    EXPECT_EQ(get(fd.get(), 0x56, 2), (Bytes{1, 2}));
    EXPECT_EQ(get(fd.get(), 0x56, 2), (Bytes{3, 4}));
    fd.reset();

    auto log = board().i2c_log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_FALSE(log[0].acked);
    EXPECT_EQ(log[0].address, 0x56);
    EXPECT_EQ(log[1].bytes, Bytes{0x01});
    EXPECT_EQ(log[4].bytes, (Bytes{0x01, 0x38, 'C'}));
    EXPECT_TRUE(log[4].write);
    EXPECT_TRUE(log[4].acked);
    EXPECT_FALSE(log[6].write);
    EXPECT_EQ(log[6].requested, 2u);
    EXPECT_EQ(log[6].bytes, (Bytes{1, 2}));
}

TEST_F(BoardTest, NvramDataWritesWrapInsideTheirPage) {
    platform::UniqueFd fd = open_bus(0);
    select_nvram(fd.get());
    EXPECT_EQ(put(fd.get(), 0x56, {0x00, 0x7F, 0xA1, 0xA2}), 4);
    EXPECT_EQ(board().nvram_byte(0x7F), 0xA1);
    EXPECT_EQ(board().nvram_byte(0x00), 0xA2);
    EXPECT_EQ(board().nvram_byte(0x80), 0xFF);
}

TEST_F(BoardTest, BusOneHasNoDevicesAndBusesCanFailToOpen) {
    platform::UniqueFd fd = open_bus(1);
    EXPECT_EQ(put(fd.get(), 0x70, {0x04}), -1);
    EXPECT_EQ(errno, ENXIO);
    fd.reset();

    board().fail_i2c_open(0);
    errno = 0;
    EXPECT_EQ(::open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::open("/dev/i2c-7", O_RDWR), -1);
    board().fail_i2c_open(0, false);
    fd = open_bus(0);
}

TEST_F(BoardTest, UnboundOrAbsentDeviceDoesNotAnswer) {
    platform::UniqueFd fd = open_bus(0);
    uint8_t byte = 0;
    EXPECT_EQ(::write(fd.get(), &byte, 1), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(put(fd.get(), 0x50, {0x00}), -1);
    EXPECT_EQ(::ioctl(fd.get(), I2C_SLAVE, 0x80), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(BoardTest, RtcRegistersReadSetAndTick) {
    platform::UniqueFd fd = open_bus(0);
    ASSERT_EQ(put(fd.get(), 0x68, {0x00}), 1);
    EXPECT_EQ(get(fd.get(), 0x68, 7), (Bytes{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}));

    ASSERT_EQ(put(fd.get(), 0x68, {0x00, 0x58, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99}), 8);
    EXPECT_EQ(board().rtc(), (RtcRegisters{0x58, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99}));

    board().set_rtc({0x58, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99}, true);
    ::sleep(3); // virtual
    ASSERT_EQ(put(fd.get(), 0x68, {0x00}), 1);
    EXPECT_EQ(get(fd.get(), 0x68, 7), (Bytes{0x01, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00}));
}

TEST_F(BoardTest, LedWritesAreLoggedWithTheirTime) {
    board().set_led_register(2, 0xA4);
    platform::UniqueFd fd = open_bus(0);
    ASSERT_EQ(put(fd.get(), 0x47, {0x02}), 1);
    EXPECT_EQ(get(fd.get(), 0x47, 1), Bytes{0xA4});
    ASSERT_EQ(put(fd.get(), 0x47, {0x02, 0xA5}), 2);
    ::sleep(1);
    ASSERT_EQ(put(fd.get(), 0x47, {0x02, 0xA4}), 2);
    fd.reset();
    EXPECT_EQ(board().led_register(2), 0xA4);
    auto writes = board().led_writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].value, 0xA5);
    EXPECT_EQ(writes[1].time_ns - writes[0].time_ns, SECOND);
}

TEST_F(BoardTest, I2cFaults) {
    platform::UniqueFd fd = open_bus(0);
    // The RTC answers twice, then stops.
    board().stop_i2c_device(0, 0x68, 3);
    EXPECT_EQ(put(fd.get(), 0x68, {0x00}), 1);
    EXPECT_EQ(get(fd.get(), 0x68, 7).size(), 7u);
    EXPECT_EQ(put(fd.get(), 0x68, {0x00}), -1);
    EXPECT_EQ(errno, ENXIO);

    // A short read fills only part of the buffer.
    board().short_i2c_read(0, 0x47, 0);
    ssize_t got = 0;
    EXPECT_EQ(get(fd.get(), 0x47, 1, &got), Bytes{0xEE});
    EXPECT_EQ(got, 0);

    // The NVRAM stops answering at one offset, for writes and reads.
    board().fail_nvram_offset(0x10B);
    select_nvram(fd.get());
    EXPECT_EQ(put(fd.get(), 0x56, {0x01, 0x0A, 0x11}), 3);
    EXPECT_EQ(put(fd.get(), 0x56, {0x01, 0x0B, 0x11}), -1);
    EXPECT_EQ(put(fd.get(), 0x56, {0x01, 0x0A, 0x11, 0x22}), -1);
    EXPECT_EQ(put(fd.get(), 0x56, {0x01, 0x08}), 2);
    get(fd.get(), 0x56, 7, &got);
    EXPECT_EQ(got, -1);
    EXPECT_EQ(board().nvram_byte(0x10B), 0xFF);
}

// ---- MTD ------------------------------------------------------------------

TEST_F(BoardTest, FlashGeometryAndFreshContents) {
    platform::UniqueFd fd(::open("/dev/mtd-kernel", O_RDWR | O_SYNC));
    ASSERT_TRUE(fd.valid());
    mtd_info_user info{};
    ASSERT_EQ(::ioctl(fd.get(), MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, 8u << 20);
    EXPECT_EQ(info.erasesize, 0x10000u);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    Bytes bytes(16, 0);
    EXPECT_EQ(::pread(fd.get(), bytes.data(), 16, 0x7FFFF8), 8);
    EXPECT_EQ(bytes,
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(::pread(fd.get(), bytes.data(), 16, 8u << 20), 0);
    fd.reset();

    board().set_geometry(Partition::siskeys, {0x8000, 0x2000});
    fd.reset(::open("/dev/mtd-siskeys", O_RDWR));
    ASSERT_EQ(::ioctl(fd.get(), MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, 0x8000u);
    EXPECT_EQ(info.erasesize, 0x2000u);
}

TEST_F(BoardTest, FlashWritesOnlyClearBitsUntilErased) {
    board().set_flash(Partition::uboot, 0x10000, {0xF0, 0xF0});
    platform::UniqueFd fd(::open("/dev/mtd-uboot", O_RDWR | O_SYNC));
    ASSERT_TRUE(fd.valid());
    const uint8_t data[2] = {0x0F, 0x3C};
    EXPECT_EQ(::pwrite(fd.get(), data, 2, 0x10000), 2);
    EXPECT_EQ(board().flash(Partition::uboot, 0x10000, 2), (Bytes{0x00, 0x30}));

    erase_info_user erase{0x10000, 0x10000};
    ASSERT_EQ(::ioctl(fd.get(), MEMERASE, &erase), 0);
    EXPECT_EQ(board().flash(Partition::uboot, 0x10000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(::pwrite(fd.get(), data, 2, 0x10000), 2);
    EXPECT_EQ(board().flash(Partition::uboot, 0x10000, 2), (Bytes{0x0F, 0x3C}));
    // Bytes before the written range were never touched: still erased.
    EXPECT_EQ(board().flash(Partition::uboot, 0, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));

    // Erases must cover whole blocks inside the device.
    erase_info_user partial{0x10000, 0x100};
    EXPECT_EQ(::ioctl(fd.get(), MEMERASE, &partial), -1);
    EXPECT_EQ(errno, EINVAL);
    erase_info_user beyond{0xF0000, 0x20000};
    EXPECT_EQ(::ioctl(fd.get(), MEMERASE, &beyond), -1);
    errno = 0;
    EXPECT_EQ(::pwrite(fd.get(), data, 2, 1u << 20), -1);
    EXPECT_EQ(errno, ENOSPC);
    fd.reset();

    auto log = board().flash_log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].kind, FlashEvent::open);
    EXPECT_EQ(log[1].kind, FlashEvent::write);
    EXPECT_EQ(log[1].offset, 0x10000u);
    EXPECT_EQ(log[2].kind, FlashEvent::erase);
    EXPECT_EQ(log[2].length, 0x10000u);
}

TEST_F(BoardTest, FlashFaults) {
    board().fail_flash_open(Partition::rescue);
    EXPECT_EQ(::open("/dev/mtd-rescue", O_RDWR), -1);

    board().fail_flash_info(Partition::onie);
    platform::UniqueFd onie(::open("/dev/mtd-onie", O_RDWR));
    ASSERT_TRUE(onie.valid());
    mtd_info_user info{};
    EXPECT_EQ(::ioctl(onie.get(), MEMGETINFO, &info), -1);
    onie.reset();

    platform::UniqueFd fd(::open("/dev/mtd-rfs", O_RDWR));
    board().fail_flash_erase_at(Partition::rfs, 0x20000);
    board().fail_flash_write_at(Partition::rfs, 0x30400);
    board().fail_flash_read_at(Partition::rfs, 0x50000);
    erase_info_user erase{0x10000, 0x20000};
    EXPECT_EQ(::ioctl(fd.get(), MEMERASE, &erase), -1);
    EXPECT_EQ(errno, EIO);
    Bytes piece(1024, 0);
    EXPECT_EQ(::pwrite(fd.get(), piece.data(), 1024, 0x30000), 1024);
    EXPECT_EQ(::pwrite(fd.get(), piece.data(), 1024, 0x30400), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(board().flash(Partition::rfs, 0x303FF, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(::pread(fd.get(), piece.data(), 1024, 0x4FC00), 1024);
    EXPECT_EQ(::pread(fd.get(), piece.data(), 1024, 0x4FC01), -1);
}

// ---- Access modes ---------------------------------------------------------

TEST_F(BoardTest, DevicesRefuseWhatTheirDescriptorWasNotOpenedFor) {
    uint8_t bytes[2] = {};
    erase_info_user erase{0, 0x10000};
    erase_info_user64 erase64{0, 0x10000};
    mtd_info_user info{};
    using Op = std::function<long(int)>;
    const Op get = [&](int fd) { return ::read(fd, bytes, 1); };
    const Op put = [&](int fd) { return ::write(fd, bytes, 2); };
    const Op pget = [&](int fd) { return ::pread(fd, bytes, 1, 0); };
    const Op pput = [&](int fd) { return ::pwrite(fd, bytes, 1, 0); };
    const Op wipe = [&](int fd) { return ::ioctl(fd, MEMERASE, &erase); };
    const Op wipe64 = [&](int fd) { return ::ioctl(fd, MEMERASE64, &erase64); };
    const Op ask = [&](int fd) { return ::ioctl(fd, MEMGETINFO, &info); };
    const Op bind = [&](int fd) { return ::ioctl(fd, I2C_SLAVE, 0x68); }; // the RTC answers
    const struct {
        const char* path;
        int flags;
        Op op;
        int error;
    } rows[] = {
        {"/dev/mtd-kernel", O_RDONLY, put, EBADF},  {"/dev/mtd-kernel", O_RDONLY, pput, EBADF},
        {"/dev/mtd-kernel", O_RDONLY, wipe, EPERM}, {"/dev/mtd-kernel", O_RDONLY, wipe64, EPERM},
        {"/dev/mtd-kernel", O_RDONLY, pget, 0},     {"/dev/mtd-kernel", O_RDONLY, ask, 0},
        {"/dev/mtd-kernel", O_WRONLY, get, EBADF},  {"/dev/mtd-kernel", O_WRONLY, pget, EBADF},
        {"/dev/mtd-kernel", O_WRONLY, wipe, 0},     {"/dev/mtd-kernel", O_WRONLY, pput, 0},
        {"/dev/mtd-kernel", O_RDWR, bind, ENOTTY},  {"/dev/i2c-0", O_RDONLY, put, EBADF},
        {"/dev/i2c-0", O_RDONLY, get, 0},           {"/dev/i2c-0", O_WRONLY, get, EBADF},
        {"/dev/i2c-0", O_WRONLY, put, 0},           {"/dev/i2c-0", O_RDWR, ask, ENOTTY},
        {"/dev/i2c-0", O_RDWR, wipe, ENOTTY},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        int fd = ::open(rows[i].path, rows[i].flags);
        int copy = ::dup(fd); // a copy keeps the mode
        ASSERT_GE(copy, 0);
        ::ioctl(copy, I2C_SLAVE, 0x68);
        errno = 0;
        EXPECT_EQ(rows[i].op(copy) < 0 ? errno : 0, rows[i].error);
        ::close(fd);
        ::close(copy);
    }
}

// ---- Time -----------------------------------------------------------------

TEST_F(BoardTest, SleepsAreVirtualAndCounted) {
    timespec before{};
    ::clock_gettime(CLOCK_MONOTONIC, &before);
    const uint64_t real_start = real_ms();
    ::sleep(3600);
    ::usleep(100000);
    timespec request{2, 500};
    EXPECT_EQ(::nanosleep(&request, nullptr), 0);
    EXPECT_LT(real_ms() - real_start, 5000u);

    EXPECT_EQ(board().clock_ns(), 3602 * SECOND + 100000000ULL + 500);
    timespec after{};
    ::clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(after.tv_sec - before.tv_sec, 3602);
    // The wall clock the program reads runs ahead by as much.
    timespec real_now{};
    ::syscall(SYS_clock_gettime, CLOCK_REALTIME, &real_now);
    EXPECT_GE(::time(nullptr) - real_now.tv_sec, 3602);
    timeval day{};
    ::gettimeofday(&day, nullptr);
    EXPECT_GE(day.tv_sec - real_now.tv_sec, 3602);
    auto waits = board().waits();
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_EQ(waits[1].at_ns, 3600 * SECOND);
    EXPECT_EQ(waits[1].duration_ns, 100000000ULL);
    EXPECT_EQ(waits[1].kind, "sleep");
}

TEST_F(BoardTest, ConsolePollTimesOutAfterAGraceAndCountsTheWholeTimeOut) {
    int controller = -1, terminal = -1;
    ASSERT_EQ(::openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
    termios settings{};
    ::tcgetattr(terminal, &settings);
    ::cfmakeraw(&settings); // keys, not lines
    ::tcsetattr(terminal, TCSANOW, &settings);
    ::setenv("VSWITCH_INPUT_GRACE_MS", "50", 1);
    pollfd input{terminal, POLLIN, 0};
    const uint64_t real_start = real_ms();
    EXPECT_EQ(::poll(&input, 1, 5000), 0);
    EXPECT_LT(real_ms() - real_start, 2000u);
    EXPECT_EQ(board().clock_ns(), 5 * SECOND);

    // A key typed in time is read at once and costs no virtual time.
    ASSERT_EQ(::write(controller, "y", 1), 1);
    EXPECT_EQ(::poll(&input, 1, 5000), 1);
    EXPECT_EQ(board().clock_ns(), 5 * SECOND);

    // A timed terminal read (VMIN 0, VTIME 20) times out the same way.
    char key = 0;
    ASSERT_EQ(::read(terminal, &key, 1), 1);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 20;
    ::tcsetattr(terminal, TCSANOW, &settings);
    EXPECT_EQ(::read(terminal, &key, 1), 0);
    EXPECT_EQ(board().clock_ns(), 7 * SECOND);
    auto waits = board().waits();
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_EQ(waits[0].kind, "poll-timeout");
    EXPECT_EQ(waits[1].kind, "read-timeout");
    ::unsetenv("VSWITCH_INPUT_GRACE_MS");
    ::close(controller);
    ::close(terminal);
}

TEST_F(BoardTest, EndlessSleepIsParkedAndMarked) {
    ::setenv("VSWITCH_MAX_VIRTUAL_SECONDS", "7200", 1);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (;;)
            ::sleep(3600);
    }
    ::unsetenv("VSWITCH_MAX_VIRTUAL_SECONDS");
    ::unsetenv("VSWITCH_BOARD"); // this side waits in real time
    for (int i = 0; i < 500 && !board().halted(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(board().halted());
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the halted process must stay parked";
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    EXPECT_EQ(board().clock_ns(), 3 * 3600 * SECOND);
}

// A wait of 10 s that the test bed stops at 4 s, where it presses a key or
// raises SIGINT: the wait ends there, or goes on to its end, as the kernel
// would have it.
TEST_F(BoardTest, StoppedWaitsMeetKeysAndSignalsAsOnTheBoard) {
    enum Wait { sleep, terminal_poll, timed_read };
    const struct {
        Wait wait;
        char event;   // 'k' a key, 'i' SIGINT, '-' nothing
        bool restart; // SA_RESTART on the SIGINT handler
        int result;   // of nanosleep, poll or read (-1: EINTR)
        uint64_t end_s;
    } rows[] = {{sleep, '-', false, 0, 10},        {sleep, 'i', true, -1, 4},
                {terminal_poll, 'k', false, 1, 4}, {terminal_poll, 'i', true, -1, 4},
                {timed_read, 'k', false, 1, 4},    {timed_read, 'i', false, -1, 4},
                {timed_read, 'i', true, 0, 10}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.wait) + row.event + (row.restart ? " SA_RESTART" : ""));
        use_board_in_this_process(board());
        Board fresh = Board::create(board().dir());
        int controller = -1, terminal = -1;
        ASSERT_EQ(::openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
        termios settings{};
        ::tcgetattr(terminal, &settings);
        ::cfmakeraw(&settings);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 100; // a read of 10 s at most
        ::tcsetattr(terminal, TCSANOW, &settings);
        fresh.pause_at(4 * SECOND);
        pid_t child = ::fork();
        if (child == 0) {
            struct sigaction action {};
            action.sa_handler = [](int) {};
            action.sa_flags = row.restart ? SA_RESTART : 0;
            ::sigaction(SIGINT, &action, nullptr);
            timespec ten{10, 0};
            pollfd input{terminal, POLLIN, 0};
            char byte = 0;
            long result = row.wait == sleep           ? ::nanosleep(&ten, nullptr)
                          : row.wait == terminal_poll ? ::poll(&input, 1, 10000)
                                                      : ::read(terminal, &byte, 1);
            ::_exit(result < 0 ? (errno == EINTR ? 9 : 8) : static_cast<int>(result));
        }
        ::unsetenv("VSWITCH_BOARD"); // this side waits in real time
        for (int i = 0; i < 500 && !fresh.parked(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(fresh.clock_ns(), 4 * SECOND) << "standing at the moment asked for";
        if (row.event == 'k') {
            ASSERT_EQ(::write(controller, "k", 1), 1);
            pollfd settle{terminal, POLLIN, 0};
            ::poll(&settle, 1, 0); // the line discipline takes the key now
        } else if (row.event == 'i') {
            ::kill(child, SIGINT);
        }
        fresh.go_on();
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), row.result < 0 ? 9 : row.result);
        EXPECT_EQ(fresh.clock_ns(), row.end_s * SECOND);
        ::close(controller);
        ::close(terminal);
    }
}

// ---- Commands and persistence ---------------------------------------------

TEST_F(BoardTest, CommandsAreLoggedAndChildrenSeeNoEmulation) {
    const std::string out = board().path("child-env");
    ::sleep(2);
    const std::string command = "env > " + out + "; test -e /dev/i2c-0\n";
    int status = ::system(command.c_str());
    EXPECT_NE(WEXITSTATUS(status), 0) << "the child must not see an emulated device";
    std::ifstream env(out);
    std::stringstream text;
    text << env.rdbuf();
    EXPECT_EQ(text.str().find("VSWITCH_BOARD"), std::string::npos);
    EXPECT_EQ(text.str().find("libvswitch-board"), std::string::npos);

    auto records = board().commands();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, "system");
    EXPECT_EQ(records[0].time_ns, 2 * SECOND);
    EXPECT_EQ(records[0].args, std::vector<std::string>{command});
}

TEST_F(BoardTest, SpawnedAndExecutedProgramsAreLoggedWithTheirArguments) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    const std::string preload = std::string("LD_PRELOAD=") + std::getenv("LD_PRELOAD");
    const char* script = "printf '%s|%s|%s' \"$LD_PRELOAD\" \"$VSWITCH_TIME\" \"$VSWITCH_OTHER\"";
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                          const_cast<char*>(script), nullptr};
    char* const envp[] = {const_cast<char*>("PATH=/usr/bin:/bin"),
                          const_cast<char*>(preload.c_str()),
                          const_cast<char*>("VSWITCH_TIME=virtual"),
                          const_cast<char*>("VSWITCH_OTHER=kept"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawnp(&pid, "sh", &actions, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    char output[256] = {};
    ssize_t got = ::read(pipe_fds[0], output, sizeof output - 1);
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(std::string(output, got > 0 ? static_cast<size_t>(got) : 0), "||kept");

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl("/bin/true", "true", "a b", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    auto records = board().commands();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, "spawnp");
    EXPECT_EQ(records[0].args, (std::vector<std::string>{"sh", "sh", "-c", script}));
    EXPECT_EQ(records[1].kind, "exec");
    EXPECT_EQ(records[1].args, (std::vector<std::string>{"/bin/true", "true", "a b"}));
}

TEST_F(BoardTest, StateSurvivesTheProcess) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = ::open("/dev/i2c-0", O_RDWR);
        ::ioctl(fd, I2C_SLAVE, 0x70);
        uint8_t select = 0x04;
        ::write(fd, &select, 1);
        ::ioctl(fd, I2C_SLAVE, 0x56);
        const uint8_t bytes[3] = {0x02, 0x06, 'F'};
        ::write(fd, bytes, 3);
        int mtd = ::open("/dev/mtd-ubootenv", O_RDWR);
        ::pwrite(mtd, "\0\0\0\0gdb=on", 10, 0);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(board().nvram_byte(0x206), 'F');
    EXPECT_EQ(board().flash(Partition::ubootenv, 4, 6), (Bytes{'g', 'd', 'b', '=', 'o', 'n'}));
    // The multiplexer setting was the child's hardware state: here (another
    // power-on) the NVRAM is still disconnected.
    EXPECT_EQ(put(open_bus(0).get(), 0x56, {0x02, 0x06}), -1);
}

// Each power cut kills the process right after the operation it names, leaves
// what came before it on the board, says where it came and is used up.
TEST_F(BoardTest, PowerCutsKillRightAfterTheirPoint) {
    const auto i2c = [](uint8_t address, Bytes bytes) {
        int fd = ::open("/dev/i2c-0", O_RDWR);
        ::ioctl(fd, I2C_SLAVE, address);
        ::write(fd, bytes.data(), bytes.size());
    };
    const auto flash = [](int offset, const char* text) { // no text: erase
        int fd = ::open("/dev/mtd-ubootenv", O_RDWR);
        erase_info_user block{0, 0x10000};
        text ? ::pwrite(fd, text, 2, offset) : ::ioctl(fd, MEMERASE, &block);
    };
    const struct {
        const char* name;
        void (Board::*arm)(uint64_t);
        uint64_t at;
        std::string record;
        Bytes flash, nvram; // what the child left
    } rows[] = {
        {"flash",
         &Board::cut_power_after_flash_ops,
         2,
         "power-cut-flash-op 2 at 0",
         {'a', 'b', 0xFF, 0xFF},
         {0xFF, 0xFF}},
        {"i2c",
         &Board::cut_power_after_i2c_writes,
         2,
         "power-cut-i2c-write 2 at 0",
         {'a', 'b', 'c', 'd'},
         {'F', 0xFF}},
        {"time",
         &Board::cut_power_at,
         5 * SECOND,
         "power-cut-at 5000000000 at 5000000000",
         {'a', 'b', 'c', 'd'},
         {'F', 'G'}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        board().set_flash(Partition::ubootenv, 0, {'o', 'l', 'd', '!'});
        board().set_nvram(0x206, {0xFF, 0xFF});
        (board().*row.arm)(row.at);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            flash(0, nullptr), flash(0, "ab"), flash(2, "cd");
            i2c(0x70, {0x04}), i2c(0x56, {0x02, 0x06, 'F'}), i2c(0x56, {0x02, 0x07, 'G'});
            ::sleep(3), ::sleep(3);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_EQ(board().power_cut(), row.record);
        EXPECT_EQ(board().flash(Partition::ubootenv, 0, 4), row.flash);
        EXPECT_EQ(board().nvram(0x206, 2), row.nvram);
        board().clear_logs();
        EXPECT_EQ(board().power_cut(), "");
    }
}

TEST(BoardWithoutDirectory, EverythingPassesThrough) {
    ::unsetenv("VSWITCH_BOARD");
    errno = 0;
    EXPECT_EQ(::open("/dev/mtd-kernel", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    const auto real_start = std::chrono::steady_clock::now();
    ::usleep(20000);
    EXPECT_GE(std::chrono::steady_clock::now() - real_start, std::chrono::milliseconds(20));
}

TEST(CommandLogEscaping, RoundTrips) {
    const std::string text = "a\tb\\c\nd\x01";
    EXPECT_EQ(escape_field(text), "a\\tb\\\\c\\nd\\x01");
    EXPECT_EQ(unescape_field(escape_field(text)), text);
}

} // namespace
