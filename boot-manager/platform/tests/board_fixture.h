// A test of the platform layer on a simulated board of its own (the test
// binary runs with the board interposer preloaded).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
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
        char text[24];
        std::snprintf(text, sizeof text, "%s0x%02x %s", transfer.bus != 0 ? "bus1 " : "",
                      transfer.address, transfer.write ? "<-" : "->");
        std::string line = text;
        for (uint8_t byte : transfer.bytes) {
            std::snprintf(text, sizeof text, " %02x", byte);
            line += text;
        }
        lines.push_back(transfer.acked ? line : line + " (nak)");
    }
    return lines;
}

// Runs call and returns what it printed on standard output.
template <typename Call> std::string stdout_of(Call&& call) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}
