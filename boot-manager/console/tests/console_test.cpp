#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "console/console.h"
#include "platform/terminal.h"
#include "pty_console.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(Console, KeysLineEditorAndQuestions) {
    const std::string B = "\b", WIPE = "\b \b";
    // Keys, line size, the line read (or what another kind of read gave: 'k'
    // a key at once, one waited for, none within 0.1 s; 'i' a key waited for
    // after an interrupt; 'c' confirm, 'a' ask yes/no), the echo.
    const std::tuple<const char*, size_t, const char*, std::string> cases[] = {
        // clang-format off
        {"ab", 'k', "ab", ""},
        {"z", 'i', "", ""},
        {"abc\x01X\r", 32, "Xabc", "abc" + B + B + B + "Xabc" + B + B + B + "\n"}, // Ctrl-A, insert
        {"abc\x02\x04\n", 32, "ab", "abc" + WIPE + "\n"},                          // Ctrl-B, Ctrl-D
        {"abc\x1b[D\x7f\r", 32, "ac", "abc" + B + B + "c " + B + B + "\n"},
        {"abc\x02\x02\x1b[1;5CX\r", 32, "abXc", "abc" + B + B + "bXc" + B + "\n"},
        {"ab\x1b[A\x1b[3~\x06\x05\r", 32, "ab", "ab\a\n"}, // ignored; Ctrl-E rings
        {"a\x1bq\r", 32, "aq", "aq\n"},
        {"ab\x1b\b\r", 32, "a", "ab" + WIPE + "\n"},
        {"1234567\xe9" "8\r", 8, "1234567", "1234567\a\a\n"},
        {"123456789\x7f\xe9\r", 8, "123456\xe9", "1234567\a\a" + WIPE + "\xe9\n"},
        {"ab\x03zz\r", 32, "ab", "ab <break>\n"},
        {"y", 'c', "1", "Go y/N? y\n"},
        {"Y", 'c', "1", "Go y/N? Y\n"},
        {"n", 'c', "", "Go y/N? n\n"},
        {"\r", 'c', "", "Go y/N? \n\n"},
        {"q", 'c', "", "Go y/N? q\n"},
        {"", 'c', "", std::string("Go y/N? \0\n", 10)}, // timed out
        // Line-buffered here, and case-sensitive.
        {"x\ny\n", 'a', "1", "Go (y/n) (y/n) (y/n) "},
        {"Y\nn\n", 'a', "", "Go (y/n) (y/n) (y/n) "},
        // clang-format on
    };
    for (const auto& [keys, size, expected, echo] : cases) {
        SCOPED_TRACE(keys);
        PtyConsole pty;
        const termios before = pty.mode();
        pty.type(keys);
        std::string line(32, 'x');
        CaptureStdout();
        if (size == 'k' || size == 'i') {
            console_interrupted = size == 'i';
            const std::string got =
                size == 'i' ? std::string(1, char(console_wait_key()))
                            : std::string{char(console_get_key(0)), char(console_wait_key()),
                                          char(console_get_key(1))};
            EXPECT_EQ(got, std::string(expected, strlen(expected) + 1));
            console_interrupted = 0;
        } else if (size == 'c' || size == 'a') {
            EXPECT_EQ(size == 'c' ? console_confirm("Go", 1) : console_ask_yes_no("Go "),
                      *expected == '1');
        } else {
            EXPECT_EQ(console_read_line(line.data(), size), line.data());
            // The rest of the buffer is cleared.
            EXPECT_EQ(line.substr(0, size), expected + std::string(size - strlen(expected), 0));
        }
        EXPECT_EQ(GetCapturedStdout(), echo);
        // The modes and control characters, not the whole struct: its padding
        // and speed fields differ between the host and the target's emulator.
        const termios after = pty.mode();
        EXPECT_TRUE(after.c_iflag == before.c_iflag && after.c_oflag == before.c_oflag &&
                    after.c_cflag == before.c_cflag && after.c_lflag == before.c_lflag &&
                    std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc) == 0);
    }
    // A line that hangs up during a key wait answers every read at once; each
    // read still takes its time-out instead of spinning.
    PtyConsole pty;
    const platform::RawTerminal raw(0, 1);
    pty.hang_up();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(raw.read_byte(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

} // namespace
