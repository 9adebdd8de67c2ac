#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "boot/boot_sequence.h"
#include "pty_console.h"
#include "rescue/console.h"

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

    // Types the keys ahead, runs the line editor on a buffer of size bytes
    // and returns what it wrote to the console.
    std::string edit(const std::string& keys, size_t size = 32) {
        pty.type(keys);
        CaptureStdout();
        result = console_read_line(line, size);
        return GetCapturedStdout();
    }

    PtyConsole pty;
    char line[64] = {};
    char* result = nullptr;
};

const std::string BS = "\b";

TEST_F(Console, GetKeyReadsOneByteRawAndRestoresTheTerminal) {
    const termios before = pty.mode();
    pty.type("ab");
    EXPECT_EQ(console_get_key(0), 'a');
    EXPECT_EQ(console_get_key(0), 'b');
    const termios after = pty.mode();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_TRUE(after.c_lflag & ICANON);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

TEST_F(Console, GetKeyTimesOutWithZero) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(console_get_key(5), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(400));
    EXPECT_TRUE(pty.mode().c_lflag & ICANON);
}

TEST_F(Console, WaitKeySkipsNothingAndStopsOnInterrupt) {
    pty.type("k");
    EXPECT_EQ(console_wait_key(), 'k');
    console_interrupted = 1;
    pty.type("z");
    EXPECT_EQ(console_wait_key(), 0);
}

TEST_F(Console, InsertAtStartWithCtrlA) {
    std::string out = edit("abc\x01X\r");
    ASSERT_EQ(result, line);
    EXPECT_STREQ(line, "Xabc");
    // Three backspaces to the start, then X and the rest redrawn and stepped over.
    EXPECT_EQ(out, "abc" + BS + BS + BS + "Xabc" + BS + BS + BS + "\n");
}

TEST_F(Console, CtrlBThenCtrlDDeletesUnderTheCursor) {
    std::string out = edit("abc\x02\x04\n");
    EXPECT_STREQ(line, "ab");
    // Nothing follows the deleted c: a blank wipes its column and one
    // backspace returns.
    EXPECT_EQ(out, "abc" + BS + " " + BS + "\n");
}

TEST_F(Console, ArrowLeftThenBackspace) {
    std::string out = edit("abc\x1b[D\x7f\r");
    EXPECT_STREQ(line, "ac");
    EXPECT_EQ(out, "abc" + BS + BS + "c " + BS + BS + "\n");
}

TEST_F(Console, EscapeSequenceWithParametersMovesRight) {
    // Left twice, then ESC [ 1 ; 5 C moves one right, and X lands before c.
    std::string out = edit("abc\x02\x02\x1b[1;5CX\r");
    EXPECT_STREQ(line, "abXc");
    EXPECT_EQ(out, "abc" + BS + BS + "b" + "Xc" + BS + "\n");
}

TEST_F(Console, UnknownSequencesAndControlKeys) {
    // ESC [ A, ESC [ 3 ~ do nothing; Ctrl-F at the end does nothing; Ctrl-E rings.
    std::string out = edit("ab\x1b[A\x1b[3~\x06\x05\r");
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(out, "ab\a\n");
    // ESC then a plain key: the key is taken as typed.
    out = edit("a\x1bq\r");
    EXPECT_STREQ(line, "aq");
    // ESC then Backspace deletes before the cursor.
    out = edit("ab\x1b\b\r");
    EXPECT_STREQ(line, "a");
    EXPECT_EQ(out, "ab" + BS + " " + BS + "\n");
}

TEST_F(Console, BufferOfEightHoldsSevenCharacters) {
    std::string out = edit("1234567\xe9"
                           "8\r",
                           8);
    EXPECT_STREQ(line, "1234567");
    EXPECT_EQ(out, "1234567\a\a\n");
    // A deletion makes room again; bytes from 128 up are printable.
    out = edit("123456789\x7f\xe9\r", 8);
    EXPECT_STREQ(line, "123456\xe9");
}

TEST_F(Console, LineBufferIsClearedAndTerminated) {
    std::memset(line, 'x', sizeof line);
    edit("hi\n", 8);
    EXPECT_STREQ(line, "hi");
    EXPECT_EQ(line[7], '\0');
}

TEST_F(Console, CtrlCByteEndsTheLineWithWhatWasTyped) {
    std::string out = edit("ab\x03zz\r");
    ASSERT_EQ(result, line);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(out, "ab <break>\n");
}

TEST_F(Console, InterruptAbandonsTheLine) {
    install_interrupt_handler();
    pty.type("ab");
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(::getpid(), SIGINT);
    });
    CaptureStdout();
    result = console_read_line(line, sizeof line);
    std::string out = GetCapturedStdout();
    interrupter.join();
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(out, "ab^C\n");
    // While the flag stays set every further read ends at once.
    CaptureStdout();
    EXPECT_EQ(console_read_line(line, sizeof line), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "^C\n");
    std::signal(SIGINT, SIG_DFL);
}

TEST_F(Console, ConfirmAcceptsOnlyY) {
    const struct {
        const char* keys;
        bool answer;
        const char* echo;
    } cases[] = {{"y", true, "Go y/N? y\n"},
                 {"Y", true, "Go y/N? Y\n"},
                 {"n", false, "Go y/N? n\n"},
                 {"\r", false, "Go y/N? \n\n"},
                 {"q", false, "Go y/N? q\n"}};
    for (const auto& c : cases) {
        pty.type(c.keys);
        CaptureStdout();
        EXPECT_EQ(console_confirm("Go", 0), c.answer) << c.keys;
        EXPECT_EQ(GetCapturedStdout(), c.echo);
    }
}

TEST_F(Console, ConfirmTimesOutAsNo) {
    CaptureStdout();
    EXPECT_FALSE(console_confirm("Go", 1));
    EXPECT_EQ(GetCapturedStdout(), std::string("Go y/N? ") + '\0' + "\n");
}

TEST_F(Console, AskYesNoRepromptsForEveryOtherByte) {
    pty.type("x\ny\n");
    CaptureStdout();
    EXPECT_TRUE(console_ask_yes_no("Load it? "));
    EXPECT_EQ(GetCapturedStdout(), "Load it? (y/n) (y/n) (y/n) ");

    pty.type("n");
    pty.type("\n");
    CaptureStdout();
    // The newline after the y above is still pending and asks again first.
    EXPECT_FALSE(console_ask_yes_no("Q "));
    EXPECT_EQ(GetCapturedStdout(), "Q (y/n) (y/n) ");
}

TEST_F(Console, AskYesNoIsCaseSensitive) {
    pty.type("Y\nn\n");
    CaptureStdout();
    EXPECT_FALSE(console_ask_yes_no("Q "));
    EXPECT_EQ(GetCapturedStdout(), "Q (y/n) (y/n) (y/n) ");
}

} // namespace
