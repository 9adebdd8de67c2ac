// The serial line switched for a download and back, on a pseudo-terminal
// pair, with the one-second rounds of the waits for Enter in board time.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "board/board_state.h"
#include "platform/serial_port.h"
#include "platform/unique_fd.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Flags, control characters and speeds: what the terminal reports.
std::string settings(const termios& t) {
    // clang-format off
    return std::to_string(t.c_iflag) + ' ' + std::to_string(t.c_oflag) + ' ' + std::to_string(t.c_cflag) + ' ' + std::to_string(t.c_lflag) + ' ' + std::string(t.c_cc, t.c_cc + NCCS) + ' ' + std::to_string(cfgetispeed(&t)) + ' ' + std::to_string(cfgetospeed(&t));
    // clang-format on
}

TEST(SerialPort, DownloadModeWaitsForEnterThenTheSavedSettingsComeBackByteForByte) {
    ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
    vswitch::TemporaryBoard board;
    vswitch::use_board_in_this_process(board.board());
    termios before{}, during{}, after{}; // a console at 9600 bps 7E2, canonical, translating
    before.c_iflag = ICRNL | IXON, before.c_oflag = OPOST | ONLCR, before.c_cc[VMIN] = 1;
    before.c_cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL,
    before.c_lflag = ICANON | ISIG | ECHO | ECHOE | IEXTEN;
    cfsetspeed(&before, B9600);
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, &before, nullptr), 0);
    const platform::UniqueFd master_fd(master), slave_fd(slave);
    ::tcgetattr(slave, &before); // as the terminal holds them
    termios expected = before;
    expected.c_cflag = (before.c_cflag & ~(PARENB | CSTOPB | CSIZE)) | CS8;
    expected.c_iflag = IGNBRK, expected.c_oflag = 0, expected.c_lflag = IEXTEN;
    cfsetspeed(&expected, B115200);
    // First, as a carriage return translated on the way in never ends the wait.
    ASSERT_EQ(settings(download_mode_settings(before)), settings(expected));
    // Types keys in the program's next one-second wait (after the flush of
    // the switch); a sleep of this thread would count as the board's.
    const auto type_in_next_wait = [&](const std::string& keys) {
        board->pause_at(board->clock_ns() + 500000000);
        return std::thread([&board, master, keys] {
            while (!board->parked())
                std::this_thread::yield();
            EXPECT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
            board->go_on();
        });
    };
    // Anything but a carriage return, a line feed included, is dropped one per
    // second; the reminder comes after 11 rounds without it.
    // clang-format off
    const std::string reminder = "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
    const struct { std::string typed, shown; uint64_t seconds; } rows[] = {
        {"ab\n\n\n\n\n\n\n\r", "", 10},
        {std::string(10, '\n') + "\r", reminder, 11},
        {std::string(21, 'x') + "\r", reminder + reminder, 22}};
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seconds);
        const uint64_t start = board->clock_ns();
        CaptureStdout();
        std::thread keys = type_in_next_wait(row.typed);
        const int fd = open_download_port_at(::ptsname(master));
        keys.join();
        ::tcgetattr(master, &during);
        keys = type_in_next_wait("b\n"); // Enter, as the console's translation delivers it
        restore_console_port(fd);
        keys.join();
        ::close(fd);
        ::tcgetattr(master, &after);
        // clang-format off
        EXPECT_EQ(GetCapturedStdout(), "       Change the baud rate to 115200 bps and hit the <ENTER> key\n       before initiating the download.\n" + row.shown + "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
        // clang-format on
        EXPECT_EQ((board->clock_ns() - start) / 1000000000, row.seconds + 2);
        EXPECT_EQ(settings(after), settings(before));
        EXPECT_EQ(settings(during), settings(expected));
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_download_port_at("/nonexistent/ttyS0"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open serial port!: No such file or directory\n");
}

} // namespace
