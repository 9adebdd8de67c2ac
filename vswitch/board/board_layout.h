// The layout of a board's state directory, shared by the interposer (which
// emulates the devices from it) and the test API (which seeds and reads it).
// Plain constants only: the interposer must not allocate while it answers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vswitch::layout {

// Environment of the process under emulation.
constexpr const char* ENV_BOARD = "VSWITCH_BOARD";
constexpr const char* ENV_TIME = "VSWITCH_TIME"; // "virtual" (default) or "real"
constexpr const char* ENV_INPUT_GRACE_MS = "VSWITCH_INPUT_GRACE_MS";
constexpr const char* ENV_MAX_VIRTUAL_SECONDS = "VSWITCH_MAX_VIRTUAL_SECONDS";
constexpr const char* ENV_REAL_MS_PER_SECOND = "VSWITCH_REAL_MS_PER_SECOND";
constexpr unsigned DEFAULT_INPUT_GRACE_MS = 300;
constexpr unsigned long DEFAULT_MAX_VIRTUAL_SECONDS = 86400;

// Files under the state directory.
constexpr const char* NVRAM_FILE = "nvram";             // 64 KiB EEPROM image
constexpr const char* RTC_FILE = "rtc";                 // 7 BCD registers
constexpr const char* RTC_TICKING_FILE = "rtc.ticking"; // board clock at which "rtc" held
constexpr const char* LED_FILE = "led";                 // 256 registers of the LED device
constexpr const char* CLOCK_FILE = "clock";             // board clock, decimal nanoseconds
constexpr const char* HALTED_FILE = "halted";           // present once the halt bound passed
constexpr const char* PAUSE_FILE = "pause-at";          // board clock to stop the program at
constexpr const char* PARKED_FILE = "parked";           // present while it stands there
constexpr const char* POWER_CUT_FILE = "power-cut";     // where the last power cut came
constexpr const char* I2C_LOG = "i2c.log";
constexpr const char* FLASH_LOG = "flash.log";
constexpr const char* COMMAND_LOG = "commands.log";
constexpr const char* TIME_LOG = "time.log";
constexpr const char* FLASH_DIR = "flash"; // flash/<name> data, flash/<name>.geometry
constexpr const char* FAULT_DIR = "faults";

constexpr size_t NVRAM_SIZE = 0x10000;
constexpr size_t NVRAM_PAGE = 128; // a data write wraps inside one page, as on the EEPROM
constexpr size_t RTC_REGISTERS = 7;
constexpr size_t LED_REGISTERS = 256;

// 7-bit addresses on bus 0.
constexpr uint8_t ADDR_MUX = 0x70;
constexpr uint8_t ADDR_NVRAM = 0x56;
constexpr uint8_t ADDR_RTC = 0x68;
constexpr uint8_t ADDR_LED = 0x47;
constexpr uint8_t MUX_NVRAM_BIT = 0x04;
constexpr int I2C_BUSES = 2;

constexpr uint8_t ERASED = 0xFF;

struct PartitionInfo {
    const char* name;   // file name under flash/
    const char* device; // the path the program opens
    uint32_t size;
    uint32_t erase_size;
};

constexpr uint32_t KiB = 1024;
constexpr uint32_t MiB = 1024 * KiB;
constexpr uint32_t DEFAULT_ERASE_SIZE = 64 * KiB;

constexpr PartitionInfo PARTITIONS[] = {
    {"uboot", "/dev/mtd-uboot", 1 * MiB, DEFAULT_ERASE_SIZE},
    {"ubootenv", "/dev/mtd-ubootenv", 256 * KiB, DEFAULT_ERASE_SIZE},
    {"devicetree", "/dev/mtd-devicetree", 256 * KiB, DEFAULT_ERASE_SIZE},
    {"kernel", "/dev/mtd-kernel", 8 * MiB, DEFAULT_ERASE_SIZE},
    {"rfs", "/dev/mtd-rfs", 32 * MiB, DEFAULT_ERASE_SIZE},
    {"rescue", "/dev/mtd-rescue", 8 * MiB, DEFAULT_ERASE_SIZE},
    {"onie", "/dev/mtd-onie", 8 * MiB, DEFAULT_ERASE_SIZE},
    {"siskeys", "/dev/mtd-siskeys", 128 * KiB, DEFAULT_ERASE_SIZE},
};
constexpr int PARTITION_COUNT = sizeof PARTITIONS / sizeof PARTITIONS[0];

} // namespace vswitch::layout
