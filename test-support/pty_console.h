// Puts a real pseudo-terminal on descriptor 0 for the duration of a test, so
// that the console operations run against a terminal driver.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/unique_fd.h"

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
        int master = -1, slave = -1;
        if (::openpty(&master, &slave, nullptr, &mode, nullptr) != 0)
            return;
        master_.reset(master);
        slave_.reset(slave);
        saved_stdin_.reset(::dup(0));
        ::dup2(slave, 0);
    }
    ~PtyConsole() {
        if (saved_stdin_.valid())
            ::dup2(saved_stdin_.get(), 0);
    }
    PtyConsole(const PtyConsole&) = delete;
    PtyConsole& operator=(const PtyConsole&) = delete;

    bool ok() const { return master_.valid() && slave_.valid(); }
    void type(const std::string& keys) const {
        [[maybe_unused]] ssize_t n = ::write(master_.get(), keys.data(), keys.size());
    }
    // The far end goes away, as a serial line whose carrier drops.
    void hang_up() { master_.reset(); }
    termios mode() const {
        termios t{};
        ::tcgetattr(slave_.get(), &t);
        return t;
    }

  private:
    platform::UniqueFd master_, slave_, saved_stdin_;
};
