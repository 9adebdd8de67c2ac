// Puts a real pseudo-terminal on descriptor 0 for the duration of a test, so
// that the console operations run against a terminal driver.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

class PtyConsole {
  public:
    // The slave starts in canonical, echoing mode like a serial console. The
    // line discipline's special characters are switched off, so that bytes
    // typed ahead (while the console is still canonical) reach the program as
    // the bytes they are: Ctrl-C, Ctrl-D and DEL included.
    PtyConsole() {
        termios mode{};
        cfmakeraw(&mode);
        mode.c_iflag = ICRNL;
        mode.c_oflag = OPOST | ONLCR;
        mode.c_lflag = ICANON | ECHO | ISIG;
        mode.c_cflag = CS8 | CREAD | CLOCAL;
        for (cc_t& c : mode.c_cc)
            c = _POSIX_VDISABLE;
        mode.c_cc[VMIN] = 1;
        ::openpty(&master_, &slave_, nullptr, &mode, nullptr);
        saved_stdin_ = ::dup(0);
        ::dup2(slave_, 0);
    }
    ~PtyConsole() {
        ::dup2(saved_stdin_, 0);
        ::close(saved_stdin_);
        ::close(slave_);
        ::close(master_);
    }
    PtyConsole(const PtyConsole&) = delete;
    PtyConsole& operator=(const PtyConsole&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    void type(const std::string& keys) const {
        [[maybe_unused]] ssize_t n = ::write(master_, keys.data(), keys.size());
    }
    termios mode() const {
        termios t{};
        ::tcgetattr(slave_, &t);
        return t;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    int saved_stdin_ = -1;
};
