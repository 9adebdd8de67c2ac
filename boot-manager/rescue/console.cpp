#include "rescue/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/timing.h"

volatile sig_atomic_t console_interrupted = 0;

namespace {

constexpr int CONSOLE_FD = 0;
constexpr int ANSWER_TIMEOUT_MS = 5000;

constexpr int KEY_CTRL_A = 1;
constexpr int KEY_CTRL_B = 2;
constexpr int KEY_CTRL_C = 3;
constexpr int KEY_CTRL_D = 4;
constexpr int KEY_CTRL_F = 6;
constexpr int KEY_BEL = 7;
constexpr int KEY_BACKSPACE = 8;
constexpr int KEY_LF = 10;
constexpr int KEY_CR = 13;
constexpr int KEY_ESC = 27;
constexpr int KEY_DEL = 127;

enum EscapeState { NORMAL, AFTER_ESC, IN_SEQUENCE };

void put_string(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The console without line editing and echo, for reading single bytes; the
// mode it was found in comes back when the object goes. timeout is in tenths
// of a second (low 8 bits), 0 blocks until a byte arrives. ISIG stays as it
// was, so Ctrl-C still interrupts where the console raises SIGINT.
class RawConsole {
  public:
    explicit RawConsole(unsigned timeout) : timeout_(timeout) {
        terminal_ = ::tcgetattr(CONSOLE_FD, &saved_) == 0;
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VTIME] = static_cast<cc_t>(timeout & 0xFF);
        raw.c_cc[VMIN] = timeout == 0 ? 1 : 0;
        ::tcsetattr(CONSOLE_FD, TCSANOW, &raw);
    }
    ~RawConsole() { ::tcsetattr(CONSOLE_FD, TCSANOW, &saved_); }
    RawConsole(const RawConsole&) = delete;
    RawConsole& operator=(const RawConsole&) = delete;

    // The byte read, 0 when none came in time (or the read was interrupted).
    int read_byte() const {
        unsigned char byte = 0;
        ssize_t count = ::read(CONSOLE_FD, &byte, 1);
        // Input that is no terminal ends without waiting: keep the pace the
        // time-out promises, so that a polling caller does not spin.
        if (!terminal_ && count == 0 && timeout_ != 0)
            platform::sleep_milliseconds((timeout_ & 0xFF) * 100U);
        return byte;
    }

  private:
    unsigned timeout_;
    termios saved_{};
    bool terminal_ = false;
};

// The editing state of one console_read_line call.
class LineEditor {
  public:
    LineEditor(char* buf, size_t size) : buf_(buf), size_(size) { std::memset(buf, 0, size); }

    // Handles one key in the normal state; true when the line is complete.
    bool key(int c) {
        switch (c) {
        case KEY_CR:
        case KEY_LF:
            console_put_char('\n');
            return true;
        case KEY_CTRL_C:
            put_string(" <break>\n");
            return true;
        case KEY_CTRL_A:
            while (cursor_ > 0)
                left();
            return false;
        case KEY_CTRL_B:
            left();
            return false;
        case KEY_CTRL_F:
            right();
            return false;
        case KEY_CTRL_D:
            delete_at_cursor();
            return false;
        case KEY_BACKSPACE:
        case KEY_DEL:
            backspace();
            return false;
        default:
            if (c >= 32 && room() > 1)
                insert(static_cast<char>(c));
            else
                console_put_char(KEY_BEL);
            return false;
        }
    }

    void left() {
        if (cursor_ == 0)
            return;
        console_put_char(KEY_BACKSPACE);
        --cursor_;
    }

    void right() {
        if (cursor_ == length_)
            return;
        console_put_char(static_cast<unsigned char>(buf_[cursor_]));
        ++cursor_;
    }

    void backspace() {
        if (cursor_ == 0)
            return;
        console_put_char(KEY_BACKSPACE);
        --cursor_;
        delete_at_cursor();
    }

  private:
    size_t room() const { return size_ - length_; }

    void insert(char c) {
        console_put_char(static_cast<unsigned char>(c));
        for (size_t i = cursor_; i < length_; ++i)
            console_put_char(static_cast<unsigned char>(buf_[i]));
        for (size_t i = cursor_; i < length_; ++i)
            console_put_char(KEY_BACKSPACE);
        std::memmove(buf_ + cursor_ + 1, buf_ + cursor_, length_ - cursor_);
        buf_[cursor_++] = c;
        ++length_;
    }

    // Removes the character under the cursor and redraws the rest of the
    // line, wiping the column it leaves free.
    void delete_at_cursor() {
        if (cursor_ == length_)
            return;
        std::memmove(buf_ + cursor_, buf_ + cursor_ + 1, length_ - cursor_ - 1);
        buf_[--length_] = '\0';
        for (size_t i = cursor_; i < length_; ++i)
            console_put_char(static_cast<unsigned char>(buf_[i]));
        console_put_char(' ');
        for (size_t i = cursor_; i <= length_; ++i)
            console_put_char(KEY_BACKSPACE);
    }

    char* buf_;
    size_t size_;
    size_t cursor_ = 0;
    size_t length_ = 0;
};

} // namespace

int console_get_key(unsigned timeout) {
    RawConsole raw(timeout);
    return raw.read_byte();
}

int console_wait_key() {
    // Raw for the whole wait, not only around each pass: a key that arrived
    // between two passes would otherwise be echoed by the terminal.
    RawConsole raw(1);
    for (;;) {
        int key = raw.read_byte();
        if (console_interrupted)
            return 0;
        if (key != 0)
            return key;
    }
}

void console_put_char(int c) {
    std::putchar(c);
    std::fflush(stdout);
}

char* console_read_line(char* buf, size_t size) {
    if (size == 0)
        return nullptr;
    // Keys that arrive while a key is being handled must not be echoed by
    // the terminal: the editor echoes what it takes.
    RawConsole raw(1);
    LineEditor editor(buf, size);
    EscapeState state = NORMAL;
    for (;;) {
        int c = console_wait_key();
        if (console_interrupted) {
            put_string("^C\n");
            return nullptr;
        }
        if (state == AFTER_ESC) {
            state = NORMAL;
            if (c == '[') {
                state = IN_SEQUENCE;
                continue;
            }
            if (c == KEY_BACKSPACE || c == KEY_DEL) {
                editor.backspace();
                continue;
            }
        } else if (state == IN_SEQUENCE) {
            if ((c >= '0' && c <= '9') || c == ';')
                continue;
            state = NORMAL;
            if (c == 'C')
                editor.right();
            else if (c == 'D')
                editor.left();
            continue;
        }
        if (c == KEY_ESC) {
            state = AFTER_ESC;
            continue;
        }
        if (editor.key(c))
            return buf;
    }
}

bool console_confirm(const char* prompt, unsigned timeout) {
    std::printf("%s y/N? ", prompt);
    std::fflush(stdout);
    int key = console_get_key(timeout);
    std::printf("%c\n", key);
    std::fflush(stdout);
    return key != 0 && std::toupper(key) == 'Y';
}

bool console_ask_yes_no(const char* prompt) {
    std::fputs(prompt, stdout);
    for (;;) {
        put_string("(y/n) ");
        pollfd console{CONSOLE_FD, POLLIN, 0};
        if (::poll(&console, 1, ANSWER_TIMEOUT_MS) <= 0) {
            put_string("\nTimeout. Assuming \"no\".\n");
            return false;
        }
        unsigned char byte = 0;
        ssize_t count = ::read(CONSOLE_FD, &byte, 1);
        // A console that has gone away would answer every poll at once:
        // nobody is there to answer.
        if (count <= 0 && (console.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            put_string("\nTimeout. Assuming \"no\".\n");
            return false;
        }
        if (count == 1 && byte == 'y')
            return true;
        if (count == 1 && byte == 'n')
            return false;
    }
}
