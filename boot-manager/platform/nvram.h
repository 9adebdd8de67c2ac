// Board NVRAM: one operation per field. The map is shared with the
// Application OS, so offsets, widths and byte values are fixed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/rtc.h"

constexpr uint16_t NVRAM_BOARD_KEY = 0x000D;
constexpr size_t NVRAM_BOARD_KEY_LEN = 12;
constexpr uint16_t NVRAM_BOOT_IMAGE_ARVO = 0x0100;
constexpr uint16_t NVRAM_CONFIG_BLOCK = 0x0102;
constexpr uint16_t NVRAM_IMAGE1_TIME = 0x0108;
constexpr uint16_t NVRAM_IMAGE2_TIME = 0x0110;
constexpr uint16_t NVRAM_OS_MODE = 0x0138;
constexpr uint16_t NVRAM_BOOT_IMAGE_TESK = 0x0139;
constexpr uint16_t NVRAM_RUNNING_IMAGE = 0x013A;
constexpr uint16_t NVRAM_USB_BOOT = 0x013B;
constexpr uint16_t NVRAM_FACTORY_CONFIG = 0x0206;

constexpr uint8_t OS_MODE_TESK = 'C';
constexpr uint8_t OS_MODE_ARVO = 'E';
constexpr uint8_t USB_BOOT_ENABLED = 213;
constexpr uint8_t FACTORY_CONFIG_REQUEST = 'F';

// The only write path to the NVRAM: one byte per transaction, followed by the
// EEPROM's 100 ms write time. The I2C write result (negative on failure).
int set_nvram_offset(uint16_t offset, uint8_t value);
// Reads length bytes; returns the first byte of the buffer.
int get_nvram_offset(uint16_t offset, size_t length, uint8_t* buffer);

int is_tesk_mode();
void set_os_mode(int tesk);
int get_boot_image();
void set_boot_image(int slot);
void set_running_image(int image);
int get_config_block(uint8_t* out);
void set_config_block(int block);
int request_factory_config();
void get_board_key_bytes(uint8_t* buffer);
int get_usb_boot_flag();
int set_image_timestamp(int slot, const RtcTime& time);
