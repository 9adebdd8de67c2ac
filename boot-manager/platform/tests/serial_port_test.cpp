// The serial line switched for a download and back, on a pseudo-terminal
// pair, with the one-second rounds of the waits for Enter in board time.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "board/board_state.h"
#include "platform/serial_port.h"
#include "platform/unique_fd.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

TEST(SerialPort, DownloadModeWaitsForEnterThenTheSavedSettingsComeBackByteForByte) {
    ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
    vswitch::TemporaryBoard board;
    vswitch::use_board_in_this_process(board.board());
    termios before{}, during{}, after{}; // a console at 9600 bps 7E2, canonical, translating
    before.c_iflag = ICRNL | IXON;
    before.c_oflag = OPOST | ONLCR;
    before.c_cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL;
    before.c_lflag = ICANON | ISIG | ECHO | ECHOE | IEXTEN;
    before.c_cc[VMIN] = 1;
    cfsetspeed(&before, B9600);
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, &before, nullptr), 0);
    const platform::UniqueFd master_fd(master), slave_fd(slave);
    ::tcgetattr(slave, &before); // as the terminal holds them
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
    const std::string reminder = "\r\n    ... Waiting for the <Enter> key to be hit before the "
                                 "download can start...\r\n";
    const std::string typed[] = {"\r", "ab\r", std::string(9, '\n') + "\r",
                                 std::string(10, '\n') + "\r", std::string(21, 'x') + "\r"};
    const std::string shown[] = {"", "", "", reminder, reminder + reminder};
    const uint64_t seconds[] = {1, 3, 10, 11, 22};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const uint64_t start = board->clock_ns();
        CaptureStdout();
        std::thread keys = type_in_next_wait(typed[i]);
        const int fd = open_download_port_at(::ptsname(master));
        keys.join();
        ::tcgetattr(master, &during);
        keys = type_in_next_wait("b\n"); // Enter, as the console's translation delivers it
        restore_console_port(fd);
        keys.join();
        ::close(fd);
        ::tcgetattr(master, &after);
        EXPECT_EQ(GetCapturedStdout(),
                  "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                  "       before initiating the download.\n" +
                      shown[i] +
                      "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
        EXPECT_EQ((board->clock_ns() - start) / 1000000000, seconds[i] + 2);
        EXPECT_TRUE(same_settings(after, before));
    }
    termios expected = before;
    expected.c_cflag = (before.c_cflag & ~(PARENB | CSTOPB | CSIZE)) | CS8;
    cfsetspeed(&expected, B115200);
    expected.c_iflag = IGNBRK;
    expected.c_oflag = 0;
    expected.c_lflag = IEXTEN;
    EXPECT_TRUE(same_settings(during, expected));

    CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_download_port_at("/nonexistent/ttyS0"), -1);
    EXPECT_EQ(GetCapturedStdout() + testing::internal::GetCapturedStderr(),
              "Can't open serial port!: No such file or directory\n");
}

} // namespace
