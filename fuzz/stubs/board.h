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

// The argument vector of the last program the boot manager ran.
extern std::vector<std::string> fuzz_last_program;
