// The I2C devices of the board. Bus 0 carries the multiplexer, the NVRAM
// behind its channel 2, the real-time clock and the LED control device; bus 1
// carries nothing. A device that is absent, hidden by the multiplexer or
// faulted does not acknowledge, and the caller sees ENXIO as from i2c-dev.
//
// Register contents live in the board directory; the multiplexer setting and
// the devices' address pointers are hardware state of this power-on (process).

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "board_layout.h"
#include "models.h"
#include "rtc_clock.h"
#include "state_files.h"

namespace vswitch::board {

namespace {

struct I2cState {
    uint8_t mux_control = 0;
    uint16_t nvram_pointer = 0;
    uint8_t rtc_pointer = 0;
    uint8_t led_pointer = 0;
    unsigned transactions[layout::I2C_BUSES][128] = {};
};

I2cState state;

enum class Device { none, mux, nvram, rtc, led };

Device device_at(int bus, int address7) {
    if (bus != 0)
        return Device::none;
    switch (address7) {
    case layout::ADDR_MUX:
        return Device::mux;
    case layout::ADDR_NVRAM:
        return (state.mux_control & layout::MUX_NVRAM_BIT) != 0 ? Device::nvram : Device::none;
    case layout::ADDR_RTC:
        return Device::rtc;
    case layout::ADDR_LED:
        return Device::led;
    default:
        return Device::none;
    }
}

// faults/i2c-<bus>-0x<addr>-<what>
bool device_fault(int bus, int address7, const char* what, uint64_t* value) {
    char name[96];
    LineBuffer line(name, sizeof name);
    line.text(layout::FAULT_DIR).text("/i2c-").dec(static_cast<unsigned>(bus)).text("-0x");
    line.byte_hex(static_cast<uint8_t>(address7)).chr('-').text(what);
    char path[PATH_LEN];
    return board_path(path, name) && read_number(path, value);
}

bool nvram_fault_in(uint16_t first, size_t count) {
    char path[PATH_LEN];
    uint64_t offset = 0;
    if (!board_path(path, "faults/nvram-offset") || !read_number(path, &offset))
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (static_cast<uint16_t>(first + i) == offset)
            return true;
    }
    return false;
}

// One line of i2c.log: time bus 0xaddr write|read ok|nak requested bytes...
void log_transfer(int bus, int address7, bool write, bool acked, size_t requested,
                  const uint8_t* bytes, size_t count) {
    static char text[3 * 8192 + 128];
    LineBuffer line(text, sizeof text);
    line.dec(board_clock_ns()).chr(' ').dec(static_cast<unsigned>(bus)).text(" 0x");
    line.byte_hex(static_cast<uint8_t>(address7)).text(write ? " write " : " read ");
    line.text(acked ? "ok " : "nak ").dec(requested);
    for (size_t i = 0; i < count && i < 8192; ++i)
        line.chr(' ').byte_hex(bytes[i]);
    line.chr('\n');
    append_log(layout::I2C_LOG, text, line.length());
}

bool register_file(const char* name, char* path) {
    return board_path(path, name);
}

// The RTC registers as they read now (a ticking clock has moved on since it was set).
void rtc_load(uint8_t regs[layout::RTC_REGISTERS]) {
    char path[PATH_LEN];
    if (!register_file(layout::RTC_FILE, path) || !image_read(path, 0, regs, 7, 0x00))
        std::memset(regs, 0, layout::RTC_REGISTERS);
    uint64_t since = 0;
    if (register_file(layout::RTC_TICKING_FILE, path) && read_number(path, &since)) {
        uint64_t now = board_clock_ns();
        if (now > since)
            rtc_advance(regs, (now - since) / 1000000000ULL);
    }
}

void rtc_store(const uint8_t regs[layout::RTC_REGISTERS]) {
    char path[PATH_LEN];
    if (register_file(layout::RTC_FILE, path))
        image_write(path, 0, regs, layout::RTC_REGISTERS, 0x00);
    if (register_file(layout::RTC_TICKING_FILE, path) && file_exists(path))
        write_number(path, board_clock_ns());
}

// Data bytes of an EEPROM write wrap inside the page of the first one.
uint16_t nvram_data_offset(uint16_t start, size_t index) {
    const uint16_t page = static_cast<uint16_t>(start & ~(layout::NVRAM_PAGE - 1));
    return static_cast<uint16_t>(page + (start - page + index) % layout::NVRAM_PAGE);
}

void nvram_write(const uint8_t* bytes, size_t length) {
    if (length < 2)
        return; // half an address: nothing latched
    const uint16_t start = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    state.nvram_pointer = start;
    char path[PATH_LEN];
    if (!register_file(layout::NVRAM_FILE, path))
        return;
    for (size_t i = 2; i < length; ++i) {
        const uint16_t offset = nvram_data_offset(start, i - 2);
        image_write(path, offset, &bytes[i], 1, layout::ERASED);
        state.nvram_pointer = static_cast<uint16_t>(offset + 1);
    }
}

void nvram_read(uint8_t* bytes, size_t length) {
    char path[PATH_LEN];
    bool have_file = register_file(layout::NVRAM_FILE, path);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = layout::ERASED;
        if (have_file)
            image_read(path, state.nvram_pointer, &bytes[i], 1, layout::ERASED);
        state.nvram_pointer = static_cast<uint16_t>(state.nvram_pointer + 1);
    }
}

// Register devices: the first byte written sets the pointer, the rest are data.
void rtc_write(const uint8_t* bytes, size_t length) {
    if (length == 0)
        return;
    state.rtc_pointer = bytes[0];
    if (length == 1)
        return;
    uint8_t regs[layout::RTC_REGISTERS];
    rtc_load(regs);
    for (size_t i = 1; i < length; ++i) {
        if (state.rtc_pointer < layout::RTC_REGISTERS)
            regs[state.rtc_pointer] = bytes[i];
        ++state.rtc_pointer;
    }
    rtc_store(regs);
}

void rtc_read(uint8_t* bytes, size_t length) {
    uint8_t regs[layout::RTC_REGISTERS];
    rtc_load(regs);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = state.rtc_pointer < layout::RTC_REGISTERS ? regs[state.rtc_pointer] : 0x00;
        ++state.rtc_pointer;
    }
}

void led_write(const uint8_t* bytes, size_t length) {
    if (length == 0)
        return;
    state.led_pointer = bytes[0];
    char path[PATH_LEN];
    if (!register_file(layout::LED_FILE, path))
        return;
    for (size_t i = 1; i < length; ++i) {
        image_write(path, state.led_pointer, &bytes[i], 1, 0x00);
        ++state.led_pointer;
    }
}

void led_read(uint8_t* bytes, size_t length) {
    char path[PATH_LEN];
    bool have_file = register_file(layout::LED_FILE, path);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = 0x00;
        if (have_file)
            image_read(path, state.led_pointer, &bytes[i], 1, 0x00);
        ++state.led_pointer;
    }
}

// Whether the addressed device acknowledges this transaction.
Device answering_device(int bus, int address7, bool write, const uint8_t* bytes, size_t length) {
    if (bus < 0 || bus >= layout::I2C_BUSES || address7 < 0 || address7 > 0x7F)
        return Device::none;
    const unsigned nth = ++state.transactions[bus][address7];
    Device device = device_at(bus, address7);
    if (device == Device::none)
        return device;
    uint64_t stop_at = 0;
    if (device_fault(bus, address7, "stop-at", &stop_at) && stop_at > 0 && nth >= stop_at)
        return Device::none;
    if (device == Device::nvram) {
        if (write && length >= 2) {
            const uint16_t start = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
            if (nvram_fault_in(start, 1))
                return Device::none;
            for (size_t i = 2; i < length; ++i) {
                if (nvram_fault_in(nvram_data_offset(start, i - 2), 1))
                    return Device::none;
            }
        } else if (!write && nvram_fault_in(state.nvram_pointer, length)) {
            return Device::none;
        }
    }
    return device;
}

} // namespace

void i2c_model_reset() {
    state = I2cState{};
}

int i2c_open(int bus) {
    char name[64];
    LineBuffer line(name, sizeof name);
    line.text(layout::FAULT_DIR).text("/i2c-").dec(static_cast<unsigned>(bus)).text("-open");
    char path[PATH_LEN];
    if (bus < 0 || bus >= layout::I2C_BUSES)
        return ENOENT;
    if (board_path(path, name) && file_exists(path))
        return ENOENT;
    return 0;
}

ssize_t i2c_write(int bus, int address7, const uint8_t* bytes, size_t length) {
    Device device = answering_device(bus, address7, true, bytes, length);
    log_transfer(bus, address7, true, device != Device::none, length, bytes, length);
    switch (device) {
    case Device::none:
        power_cut_after_i2c_write();
        errno = ENXIO;
        return -1;
    case Device::mux:
        if (length > 0)
            state.mux_control = bytes[length - 1]; // the last control byte holds
        break;
    case Device::nvram:
        nvram_write(bytes, length);
        break;
    case Device::rtc:
        rtc_write(bytes, length);
        break;
    case Device::led:
        led_write(bytes, length);
        break;
    }
    power_cut_after_i2c_write();
    return static_cast<ssize_t>(length);
}

ssize_t i2c_read(int bus, int address7, uint8_t* bytes, size_t length) {
    Device device = answering_device(bus, address7, false, nullptr, length);
    if (device == Device::none) {
        log_transfer(bus, address7, false, false, length, nullptr, 0);
        errno = ENXIO;
        return -1;
    }
    size_t count = length;
    uint64_t limit = 0;
    if (device_fault(bus, address7, "short-read", &limit) && limit < count)
        count = static_cast<size_t>(limit);
    switch (device) {
    case Device::none:
        break;
    case Device::mux:
        std::memset(bytes, state.mux_control, count);
        break;
    case Device::nvram:
        nvram_read(bytes, count);
        break;
    case Device::rtc:
        rtc_read(bytes, count);
        break;
    case Device::led:
        led_read(bytes, count);
        break;
    }
    log_transfer(bus, address7, false, true, length, bytes, count);
    return static_cast<ssize_t>(count);
}

} // namespace vswitch::board
