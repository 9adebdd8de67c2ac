#include "console/console.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/terminal.h"
#include "platform/timing.h"

volatile sig_atomic_t console_interrupted = 0;

void on_interrupt(int) {
    console_interrupted = 1;
}

void install_interrupt_handler() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a waiting console read returns at once
    ::sigaction(SIGINT, &action, nullptr);
}

namespace {

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
    platform::RawTerminal raw(platform::CONSOLE_FD, timeout);
    return raw.read_byte();
}

int console_wait_key() {
    // Raw for the whole wait, not only around each pass: a key that arrived
    // between two passes would otherwise be echoed by the terminal.
    platform::RawTerminal raw(platform::CONSOLE_FD, 1);
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
    platform::RawTerminal raw(platform::CONSOLE_FD, 1);
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
        unsigned char byte = 0;
        platform::InputWait wait =
            platform::read_byte_within(platform::CONSOLE_FD, ANSWER_TIMEOUT_MS, &byte);
        if (wait == platform::InputWait::no_byte)
            continue;
        // Nobody is there to answer a console that has gone away.
        if (wait != platform::InputWait::ready) {
            put_string("\nTimeout. Assuming \"no\".\n");
            return false;
        }
        if (byte == 'y')
            return true;
        if (byte == 'n')
            return false;
    }
}
