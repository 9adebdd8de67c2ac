#include "platform/led.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "platform/i2c.h"
#include "platform/timing.h"

int led_write_reg(uint8_t reg, uint8_t value) {
    int result = i2c_bind(0, I2C_ADDR_LED);
    if (result < 0) {
        std::printf("I2C error when setting LED on bus %d: %d\n", 0, errno);
        return result;
    }
    const uint8_t bytes[2] = {reg, value};
    result = static_cast<int>(::write(i2c_bus_fd(0), bytes, sizeof bytes));
    int write_errno = errno;
    platform::sleep_milliseconds(100);
    if (result < 0)
        std::printf("I2C error when writing LED on bus %d offset %d: %d\n", 0, reg, write_errno);
    return result;
}

int led_read_reg(uint8_t reg, uint8_t* out) {
    i2c_read_reg(0, I2C_ADDR_LED, reg, 1, 1, out);
    return *out;
}
