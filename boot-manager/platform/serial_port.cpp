#include "platform/serial_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/timing.h"

namespace {

constexpr unsigned char CARRIAGE_RETURN = 0x0D;
constexpr unsigned char LINE_FEED = 0x0A;
constexpr int ROUNDS_PER_REMINDER = 11;

// The console's settings while the port is in download mode; one copy, so a
// second switch without a restore in between overwrites it.
termios saved_settings{};

} // namespace

termios download_mode_settings(const termios& saved) {
    termios settings = saved;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    settings.c_cflag |= CS8;
    // Every byte of the transfer passes untouched: no CR/LF translation, no
    // software flow control, no output processing.
    settings.c_iflag = IGNBRK;
    settings.c_oflag = 0;
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);
    return settings;
}

void wait_for_key_byte(int fd, unsigned char key, const char* reminder) {
    int rounds = 0;
    for (;;) {
        unsigned char byte = 0;
        if (::read(fd, &byte, 1) == 1 && byte == key)
            return;
        platform::sleep_seconds(1);
        if (++rounds == ROUNDS_PER_REMINDER) {
            std::printf("%s\n", reminder);
            std::fflush(stdout);
            rounds = 0;
        }
    }
}

int open_download_port_at(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("Can't open serial port!");
        return -1;
    }
    std::printf("       Change the baud rate to 115200 bps and hit the <ENTER> key\n");
    std::printf("       before initiating the download.\n");
    std::fflush(stdout);
    tcdrain(fd);
    tcflush(fd, TCIOFLUSH);
    tcgetattr(fd, &saved_settings);
    const termios settings = download_mode_settings(saved_settings);
    tcsetattr(fd, TCSADRAIN, &settings);
    tcflow(fd, TCOON);
    // Raw input: Enter arrives as the carriage return the terminal sends.
    wait_for_key_byte(fd, CARRIAGE_RETURN,
                      "\r\n    ... Waiting for the <Enter> key to be hit before the download can "
                      "start...\r");
    return fd;
}

int open_download_port() {
    return open_download_port_at(DOWNLOAD_PORT_PATH);
}

void restore_console_port(int fd) {
    std::printf("       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
    std::fflush(stdout);
    tcdrain(fd);
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSADRAIN, &saved_settings);
    tcflow(fd, TCOON);
    // The console's input translation turns Enter into a line feed.
    wait_for_key_byte(fd, LINE_FEED, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}
