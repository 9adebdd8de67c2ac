// The emulated devices behind the intercepted calls. Each operation returns
// what the system call would (a count, or -1 with errno set).
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct mtd_info_user;

namespace vswitch::board {

// I2C bus N ("/dev/i2c-N"). open: 0, or an errno value.
int i2c_open(int bus);
ssize_t i2c_write(int bus, int address7, const uint8_t* bytes, size_t length);
ssize_t i2c_read(int bus, int address7, uint8_t* bytes, size_t length);

// MTD partitions, by index into layout::PARTITIONS.
int mtd_index(const char* path); // -1 when the path is no partition
int mtd_open(int partition);     // 0, or an errno value
int mtd_get_info(int partition, mtd_info_user* info);
int mtd_erase(int partition, uint64_t start, uint64_t length);
ssize_t mtd_read(int partition, void* buffer, size_t length, uint64_t offset);
ssize_t mtd_write(int partition, const void* buffer, size_t length, uint64_t offset);
uint64_t mtd_size(int partition);

// Virtual time (virtual_time.cpp).
bool virtual_time();
// Moves the board clock on by a wait of the program and logs it; parks the
// process for good once the halt bound has passed.
void pass_time(uint64_t nanoseconds, const char* kind);
// Waits for input on a terminal under virtual time: a real grace period for
// a key, then the whole time-out counts as passed. The poll() result.
int terminal_wait(pollfd* fds, nfds_t count, uint64_t timeout_ns, const char* kind);

// Power cuts (power_cut.cpp): each call that may cut the power kills the
// process when the armed switch says so, and never returns then.
void power_cut_after_flash_op();  // after a flash write or erase that succeeded
void power_cut_after_i2c_write(); // after any I2C write transaction
// Whether a cut at a board clock falls inside a wait of ns from clock.
bool power_cut_within(uint64_t clock, uint64_t ns, uint64_t* at);
[[noreturn]] void power_cut_now(uint64_t at);
// Slot files: a descriptor the program opened (its fd returned), closed or
// forgotten, and writes on the ones opened for writing on a slot file.
int slot_file_opened(int fd, const char* path, int flags);
void slot_file_closed(int fd);
bool is_slot_file(int fd);
ssize_t slot_file_write(int fd, const void* data, size_t length, off64_t offset);

} // namespace vswitch::board
