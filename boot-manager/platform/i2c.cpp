#include "platform/i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/unique_fd.h"

namespace {

// Open for the whole run, closed just before the Application OS is executed.
platform::UniqueFd bus_fds[I2C_BUS_COUNT];

} // namespace

int i2c_open_buses() {
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        platform::UniqueFd fd(::open(path, O_RDWR));
        if (!fd.valid()) {
            std::printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
        bus_fds[bus] = std::move(fd);
    }
    return 0;
}

int i2c_close_buses() {
    for (platform::UniqueFd& fd : bus_fds)
        fd.reset();
    return 0;
}

int i2c_bus_fd(int bus) {
    // 0, never -1, for a bus that is not open: callers test for a positive
    // descriptor.
    return bus >= 0 && bus < I2C_BUS_COUNT && bus_fds[bus].valid() ? bus_fds[bus].get() : 0;
}

int i2c_bind(int bus, uint8_t addr8) {
    int fd = i2c_bus_fd(bus);
    if (fd <= 0) {
        errno = EBADF;
        return -1;
    }
    return ::ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(addr8 >> 1));
}

namespace {

int mux_write(uint8_t addr8, int bus, uint8_t control) {
    // With the bus not open there is nothing to write to (descriptor 0 would
    // be the console).
    int bound = i2c_bind(bus, addr8);
    if (bound < 0)
        return bound;
    return static_cast<int>(::write(i2c_bus_fd(bus), &control, 1));
}

} // namespace

int i2c_mux_select(uint8_t addr8, int bus, int channel) {
    return mux_write(addr8, bus, static_cast<uint8_t>(1U << channel));
}

int i2c_mux_deselect(uint8_t addr8, int bus) {
    return mux_write(addr8, bus, 0x00);
}

int i2c_read_reg(int bus, uint8_t addr8, uint16_t offset, size_t length, int offset_width,
                 uint8_t* buffer) {
    uint8_t offset_bytes[2];
    if (offset_width == 2) {
        offset_bytes[0] = static_cast<uint8_t>(offset >> 8);
        offset_bytes[1] = static_cast<uint8_t>(offset & 0xFF);
    } else {
        offset_bytes[0] = static_cast<uint8_t>(offset & 0xFF);
    }

    if (i2c_bind(bus, addr8) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, addr8, errno);
        return 0;
    }
    int fd = i2c_bus_fd(bus);
    if (::write(fd, offset_bytes, static_cast<size_t>(offset_width)) != offset_width) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", addr8, bus, offset,
                    errno);
        return 0;
    }
    // Read aside so that a short read leaves the caller's buffer as it was.
    std::vector<uint8_t> received(length);
    ssize_t got = ::read(fd, received.data(), length);
    if (got < 0 || static_cast<size_t>(got) != length) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", addr8, offset,
                    static_cast<int>(length), errno);
        return 0;
    }
    std::memcpy(buffer, received.data(), length);
    return static_cast<int>(got);
}
