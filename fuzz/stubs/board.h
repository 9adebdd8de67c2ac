// The simulated board of the fuzz targets (stubs/*.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// NVRAM bytes from offset 0, enough for every field the boot manager reads.
constexpr size_t FUZZ_NVRAM_SIZE = 0x240;
extern uint8_t fuzz_nvram[FUZZ_NVRAM_SIZE];
extern bool fuzz_nvram_fails; // every NVRAM read fails

// Fills the NVRAM from the first bytes of the input (the rest zero); returns
// how many it took.
inline size_t fuzz_load_nvram(const uint8_t* data, size_t size, size_t take) {
    size_t n = size < take ? size : take;
    for (size_t i = 0; i < FUZZ_NVRAM_SIZE; ++i)
        fuzz_nvram[i] = 0;
    for (size_t i = 0; i < n; ++i)
        fuzz_nvram[i] = data[i];
    return n;
}

// The argument vector of the last program the boot manager ran. When a target
// sets a log, every program's argument vector goes there, and every shell
// command line as {"sh", "-c", line}.
extern std::vector<std::string> fuzz_last_program;
extern std::vector<std::vector<std::string>>* fuzz_command_log;
// Bit n set: the n-th command run (shell lines and programs alike, counted
// from 0 by fuzz_commands_run, which a target resets) fails.
extern uint32_t fuzz_failing_commands;
extern bool fuzz_port_up; // the management port is there, up and linked
extern unsigned fuzz_commands_run;
