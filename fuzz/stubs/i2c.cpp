// The board's I2C devices as the fuzz targets see them: the NVRAM's bytes come
// from the input (fuzz_nvram), writes go to /dev/null.
#include <fcntl.h>

#include <cstring>

#include "platform/i2c.h"
#include "stubs/board.h"

uint8_t fuzz_nvram[FUZZ_NVRAM_SIZE];
bool fuzz_nvram_fails = false;

int i2c_open_buses() {
    return 0;
}

int i2c_close_buses() {
    return 0;
}

int i2c_bus_fd(int) {
    static const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return null;
}

int i2c_bind(int, uint8_t) {
    return 0;
}

int i2c_mux_select(uint8_t, int, int) {
    return 1;
}

int i2c_mux_deselect(uint8_t, int) {
    return 1;
}

// As the real transaction: a failed read leaves the buffer unchanged.
int i2c_read_reg(int, uint8_t, uint16_t offset, size_t length, int, uint8_t* buffer) {
    if (fuzz_nvram_fails || offset > FUZZ_NVRAM_SIZE || length > FUZZ_NVRAM_SIZE - offset)
        return 0;
    std::memcpy(buffer, fuzz_nvram + offset, length);
    return static_cast<int>(length);
}
