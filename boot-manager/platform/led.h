// The location-LED control device. Register 2, bits 0-1, drive the blue
// location LED; the other bits belong to the board and are written back as read.
#pragma once

#include <cstdint>

constexpr uint8_t LED_REG_LOCATION = 2;

// Writes one register, then waits 100 ms; the write result (negative on failure).
int led_write_reg(uint8_t reg, uint8_t value);
// Reads one register into *out (unchanged on failure); returns *out.
int led_read_reg(uint8_t reg, uint8_t* out);
