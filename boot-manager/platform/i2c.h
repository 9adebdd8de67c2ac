// The board's I2C buses and the raw register transaction.
//
// Device addresses are given in their 8-bit form (7-bit address << 1), which
// is also how every message prints them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int I2C_BUS_COUNT = 2;

constexpr uint8_t I2C_ADDR_MUX = 0xE0;   // multiplexer in front of the NVRAM
constexpr uint8_t I2C_ADDR_NVRAM = 0xAC; // board NVRAM, behind mux channel 2
constexpr uint8_t I2C_ADDR_RTC = 0xD0;   // real-time clock
constexpr uint8_t I2C_ADDR_LED = 0x8E;   // location-LED control device
constexpr int I2C_MUX_NVRAM_CHANNEL = 2;

// Opens "/dev/i2c-0" then "/dev/i2c-1"; stops at the first that fails.
// 0 on success, -1 on failure.
int i2c_open_buses();
// Closes every open bus; 0.
int i2c_close_buses();
// The descriptor of a bus (0 or less: not open).
int i2c_bus_fd(int bus);

// Binds the 8-bit address on the bus with I2C_SLAVE; the ioctl result.
int i2c_bind(int bus, uint8_t addr8);

int i2c_mux_select(uint8_t addr8, int bus, int channel);
int i2c_mux_deselect(uint8_t addr8, int bus);

// One register read: bind, write the offset (width 1 or 2, high byte first),
// read length bytes. 0 when a step fails (the buffer is then unchanged),
// non-negative otherwise.
int i2c_read_reg(int bus, uint8_t addr8, uint16_t offset, size_t length, int offset_width,
                 uint8_t* buffer);
