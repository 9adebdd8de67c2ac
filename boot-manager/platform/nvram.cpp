#include "platform/nvram.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "platform/i2c.h"
#include "platform/timing.h"

namespace {

constexpr unsigned EEPROM_WRITE_TIME_US = 100000;

// A failed read must yield 0, so one-byte readers start from a cleared byte.
uint8_t read_byte(uint16_t offset) {
    uint8_t value = 0;
    get_nvram_offset(offset, 1, &value);
    return value;
}

uint16_t boot_image_offset() {
    return is_tesk_mode() ? NVRAM_BOOT_IMAGE_TESK : NVRAM_BOOT_IMAGE_ARVO;
}

} // namespace

int set_nvram_offset(uint16_t offset, uint8_t value) {
    i2c_mux_select(I2C_ADDR_MUX, 0, I2C_MUX_NVRAM_CHANNEL);

    const uint8_t bytes[3] = {static_cast<uint8_t>(offset >> 8),
                              static_cast<uint8_t>(offset & 0xFF), value};
    int result = i2c_bind(0, I2C_ADDR_NVRAM);
    if (result < 0) {
        std::printf("I2C error when setting bus %d: %d\n", 0, errno);
    } else {
        result = static_cast<int>(::write(i2c_bus_fd(0), bytes, sizeof bytes));
        int write_errno = errno;
        platform::sleep_microseconds(EEPROM_WRITE_TIME_US);
        if (result < 0)
            std::printf("set_nvram_offset: I2C error when writing bus %d offset 0x%x: %d:%d\n", 0,
                        offset, result, write_errno);
    }

    i2c_mux_deselect(I2C_ADDR_MUX, 0);
    return result;
}

int get_nvram_offset(uint16_t offset, size_t length, uint8_t* buffer) {
    i2c_mux_select(I2C_ADDR_MUX, 0, I2C_MUX_NVRAM_CHANNEL);
    i2c_read_reg(0, I2C_ADDR_NVRAM, offset, length, 2, buffer);
    i2c_mux_deselect(I2C_ADDR_MUX, 0);
    return buffer[0];
}

int is_tesk_mode() {
    return read_byte(NVRAM_OS_MODE) == OS_MODE_TESK ? 1 : 0;
}

void set_os_mode(int tesk) {
    set_nvram_offset(NVRAM_OS_MODE, static_cast<uint8_t>(tesk) != 0 ? OS_MODE_TESK : OS_MODE_ARVO);
}

int get_boot_image() {
    return read_byte(boot_image_offset());
}

void set_boot_image(int slot) {
    set_nvram_offset(boot_image_offset(), static_cast<uint8_t>(slot));
}

void set_running_image(int image) {
    set_nvram_offset(NVRAM_RUNNING_IMAGE, static_cast<uint8_t>(image));
}

int get_config_block(uint8_t* out) {
    *out = 0;
    get_nvram_offset(NVRAM_CONFIG_BLOCK, 1, out);
    return 1;
}

void set_config_block(int block) {
    set_nvram_offset(NVRAM_CONFIG_BLOCK, static_cast<uint8_t>(block));
}

int request_factory_config() {
    return set_nvram_offset(NVRAM_FACTORY_CONFIG, FACTORY_CONFIG_REQUEST);
}

void get_board_key_bytes(uint8_t* buffer) {
    get_nvram_offset(NVRAM_BOARD_KEY, NVRAM_BOARD_KEY_LEN, buffer);
}

int get_usb_boot_flag() {
    return read_byte(NVRAM_USB_BOOT);
}

int set_image_timestamp(int slot, const RtcTime& time) {
    uint16_t base;
    if (slot == 1)
        base = NVRAM_IMAGE1_TIME;
    else if (slot == 2)
        base = NVRAM_IMAGE2_TIME;
    else
        return 0;

    for (int i = 0; i < RTC_REGISTER_COUNT; ++i) {
        if (set_nvram_offset(static_cast<uint16_t>(base + i), time.bytes[i]) < 0) {
            std::printf("Error setting image timestamp at offset 0x%x byte %d\n", base, i);
            return 0;
        }
    }
    return 1;
}
