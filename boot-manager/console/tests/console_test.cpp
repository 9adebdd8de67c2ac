#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "console/console.h"
#include "pty_console.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class Console : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        console_interrupted = 0;
    }
    void TearDown() override { console_interrupted = 0; }
    // Reads away what a case left unread.
    static void drain() {
        while (console_get_key(1) != 0) {
        }
    }

    PtyConsole pty;
};

const std::string BS = "\b";

TEST_F(Console, SingleKeysAreReadRawAndTheTerminalRestored) {
    const termios before = pty.mode();
    pty.type("ab");
    EXPECT_EQ(console_get_key(0), 'a');
    EXPECT_EQ(console_wait_key(), 'b');
    EXPECT_EQ(console_get_key(1), 0); // nothing more within 0.1 s
    const termios after = pty.mode();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    console_interrupted = 1;
    pty.type("z");
    EXPECT_EQ(console_wait_key(), 0);
}

TEST_F(Console, LineEditor) {
    const struct {
        const char* keys;
        size_t size;
        const char* line;
        std::string echo;
    } cases[] = {
        // Ctrl-A to the start, X inserted and the rest redrawn and stepped over.
        {"abc\x01X\r", 32, "Xabc", "abc" + BS + BS + BS + "Xabc" + BS + BS + BS + "\n"},
        // Ctrl-B, then Ctrl-D deletes the c: a blank wipes its column.
        {"abc\x02\x04\n", 32, "ab", "abc" + BS + " " + BS + "\n"},
        {"abc\x1b[D\x7f\r", 32, "ac", "abc" + BS + BS + "c " + BS + BS + "\n"},
        // ESC [ 1 ; 5 C moves one right.
        {"abc\x02\x02\x1b[1;5CX\r", 32, "abXc", "abc" + BS + BS + "bXc" + BS + "\n"},
        // ESC [ A, ESC [ 3 ~ and Ctrl-F at the end do nothing; Ctrl-E rings.
        {"ab\x1b[A\x1b[3~\x06\x05\r", 32, "ab", "ab\a\n"},
        {"a\x1bq\r", 32, "aq", "aq\n"},
        {"ab\x1b\b\r", 32, "a", "ab" + BS + " " + BS + "\n"},
        {"1234567\xe9"
         "8\r",
         8, "1234567", "1234567\a\a\n"},
        // A deletion makes room again; bytes from 128 up are printable.
        {"123456789\x7f\xe9\r", 8, "123456\xe9", "1234567\a\a" + BS + " " + BS + "\xe9\n"},
        {"ab\x03zz\r", 32, "ab", "ab <break>\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        char line[32];
        std::memset(line, 'x', sizeof line);
        pty.type(c.keys);
        CaptureStdout();
        EXPECT_EQ(console_read_line(line, c.size), line);
        EXPECT_EQ(GetCapturedStdout(), c.echo);
        // The rest of the buffer is cleared.
        EXPECT_EQ(std::string(line, c.size),
                  c.line + std::string(c.size - std::strlen(c.line), '\0'));
        drain();
    }
}

TEST_F(Console, InterruptAbandonsTheLine) {
    install_interrupt_handler();
    pty.type("ab");
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(::getpid(), SIGINT);
    });
    char line[8];
    CaptureStdout();
    EXPECT_EQ(console_read_line(line, sizeof line), nullptr);
    interrupter.join();
    // While the flag stays set every further read ends at once.
    EXPECT_EQ(console_read_line(line, sizeof line), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "ab^C\n^C\n");
    std::signal(SIGINT, SIG_DFL);
}

TEST_F(Console, Questions) {
    const struct {
        const char* keys;
        bool confirm; // console_confirm, else console_ask_yes_no
        bool answer;
        std::string echo;
    } cases[] = {
        {"y", true, true, "Go y/N? y\n"},
        {"Y", true, true, "Go y/N? Y\n"},
        {"n", true, false, "Go y/N? n\n"},
        {"\r", true, false, "Go y/N? \n\n"},
        {"q", true, false, "Go y/N? q\n"},
        {"", true, false, std::string("Go y/N? ") + '\0' + "\n"}, // timed out
        // The console is line-buffered here, and the answer case-sensitive.
        {"x\ny\n", false, true, "Go (y/n) (y/n) (y/n) "},
        {"Y\nn\n", false, false, "Go (y/n) (y/n) (y/n) "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        pty.type(c.keys);
        CaptureStdout();
        EXPECT_EQ(c.confirm ? console_confirm("Go", 1) : console_ask_yes_no("Go "), c.answer);
        EXPECT_EQ(GetCapturedStdout(), c.echo);
        drain();
    }
}

} // namespace
