// A test of the platform layer on a simulated board of its own (the test
// binary runs with the board interposer preloaded), and capture of what a call
// prints on standard output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/board_state.h"
#include "platform/i2c.h"

using Bytes = std::vector<uint8_t>;

constexpr uint64_t MS = 1000000ULL;

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
        vswitch::use_board_in_this_process(board());
    }
    void TearDown() override {
        i2c_close_buses();
        ::unsetenv("VSWITCH_BOARD");
    }

    vswitch::Board& board() { return board_.board(); }

  private:
    vswitch::TemporaryBoard board_;
};

// The I2C transactions on the wire, one string each: "0x70 <- 04" for a write
// to 7-bit address 0x70, "0x56 -> 43" for a read, "(nak)" appended when the
// device did not answer. Bus 1 transactions start with "bus1 ".
inline std::vector<std::string> wire(const vswitch::Board& board) {
    std::vector<std::string> lines;
    for (const auto& transfer : board.i2c_log()) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%02x %s", transfer.address,
                      transfer.write ? "<-" : "->");
        std::string line =
            (transfer.bus != 0 ? "bus" + std::to_string(transfer.bus) + " " : "") + text;
        for (uint8_t byte : transfer.bytes) {
            std::snprintf(text, sizeof text, " %02x", byte);
            line += text;
        }
        if (!transfer.acked)
            line += " (nak)";
        lines.push_back(line);
    }
    return lines;
}

// Runs call with standard output going to a file; returns what it printed.
template <typename Call> std::string stdout_of(Call&& call) {
    std::fflush(stdout);
    std::FILE* capture = std::tmpfile();
    const int saved = ::dup(1);
    ::dup2(::fileno(capture), 1);
    call();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    std::string text;
    std::rewind(capture);
    for (int c; (c = std::fgetc(capture)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(capture);
    return text;
}
