// A simulated switch board kept in a directory: NVRAM, RTC, LED registers,
// MTD flash partitions, faults, the virtual clock and the logs that the device
// interposer (libvswitch-board.so) writes. Tests use this to set a board up
// before a run and to inspect it afterwards; the state survives the process
// ("reboot"), so a later run sees what the last one left.
//
// The file formats are documented in README.md beside this header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace vswitch {

enum class Partition { uboot, ubootenv, devicetree, kernel, rfs, rescue, onie, siskeys };
constexpr Partition ALL_PARTITIONS[] = {
    Partition::uboot, Partition::ubootenv, Partition::devicetree, Partition::kernel,
    Partition::rfs,   Partition::rescue,   Partition::onie,       Partition::siskeys};

const char* partition_name(Partition partition);   // "uboot", "ubootenv", ...
const char* partition_device(Partition partition); // "/dev/mtd-uboot", ...

struct PartitionGeometry {
    uint32_t size;
    uint32_t erase_size;
};
PartitionGeometry default_geometry(Partition partition);

using RtcRegisters = std::array<uint8_t, 7>; // BCD: sec, min, hour, weekday, day, month, year

// One I2C transaction as it went over the wire.
struct I2cTransfer {
    uint64_t time_ns;
    int bus;
    uint8_t address;            // 7-bit
    bool write;                 // false: read
    bool acked;                 // false: nobody answered (the caller saw ENXIO)
    size_t requested;           // bytes the program asked to move
    std::vector<uint8_t> bytes; // bytes written, or bytes returned by a read
};

struct LedWrite {
    uint64_t time_ns;
    uint8_t reg;
    uint8_t value;
};

// One operation on a flash partition.
struct FlashEvent {
    enum Kind { open, info, read, write, erase };
    uint64_t time_ns;
    Partition partition;
    Kind kind;
    bool ok;
    uint32_t offset; // read/write/erase only
    uint32_t length;
};

// One command started by the program.
struct CommandRecord {
    uint64_t time_ns;
    std::string kind;              // "system", "spawn", "spawnp" or "exec"
    std::vector<std::string> args; // system: {command text}; else {path or file, argv...}
};

// One wait the program made.
struct TimeRecord {
    uint64_t at_ns;       // board clock when the wait began
    std::string kind;     // "sleep", "poll-timeout", "read-timeout"
    uint64_t duration_ns; // how far it moved the board clock
};

class Board {
  public:
    // Lays out a fresh board in dir (created if missing; previous state is
    // replaced): NVRAM all 0xFF, RTC at 2025-06-24 13:45:30 and frozen, LED
    // registers 0, flash erased with default geometry, clock 0, no faults, no logs.
    static Board create(const std::string& dir);
    // Attaches to an existing board directory.
    explicit Board(std::string dir);

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const; // dir/name

    // NVRAM (64 KiB EEPROM behind the multiplexer).
    std::vector<uint8_t> nvram(uint16_t offset, size_t length) const;
    uint8_t nvram_byte(uint16_t offset) const;
    void set_nvram(uint16_t offset, const std::vector<uint8_t>& bytes);
    void set_nvram_byte(uint16_t offset, uint8_t value);

    // Real-time clock. A ticking clock advances with the board clock.
    RtcRegisters rtc() const;
    void set_rtc(const RtcRegisters& registers, bool ticking = false);

    // LED control device registers.
    uint8_t led_register(uint8_t reg) const;
    void set_led_register(uint8_t reg, uint8_t value);

    // Flash. Contents are written as a factory programmer would: plainly,
    // without NOR rules. Bytes never written read 0xFF.
    PartitionGeometry geometry(Partition partition) const;
    void set_geometry(Partition partition, PartitionGeometry geometry);
    std::vector<uint8_t> flash(Partition partition, uint32_t offset, uint32_t length) const;
    void set_flash(Partition partition, uint32_t offset, const std::vector<uint8_t>& bytes);
    void set_flash_text(Partition partition, uint32_t offset, const std::string& text);
    void erase_flash(Partition partition);

    // Virtual time: the board clock counts every sleep and console time-out.
    uint64_t clock_ns() const;
    std::vector<TimeRecord> waits() const;
    bool halted() const; // the halt bound passed and the program was parked
    // The program stops in the wait in progress when the board clock reaches
    // clock_ns (one moment; the file is consumed when it stops there). While
    // it stands still keys reach it and signals interrupt the wait, as on the
    // board; go_on lets it carry on with the rest of the wait.
    void pause_at(uint64_t clock_ns);
    void cancel_pause();
    bool parked() const;
    void go_on();

    // Logs.
    std::vector<I2cTransfer> i2c_log() const;
    std::vector<LedWrite> led_writes() const;
    std::vector<FlashEvent> flash_log() const;
    std::vector<CommandRecord> commands() const;
    void clear_logs(); // i2c, flash, command and time logs; the clock stays

    // Faults, read by the interposer at every operation.
    void fail_i2c_open(int bus, bool on = true);
    // The device stops answering at its nth transaction (1-based, counted in
    // the running process since it first used this board) and after it.
    void stop_i2c_device(int bus, uint8_t address7, unsigned nth);
    // Every NVRAM transaction that sets, reads or writes this offset fails.
    void fail_nvram_offset(uint16_t offset);
    // Reads from the device return at most this many bytes.
    void short_i2c_read(int bus, uint8_t address7, size_t bytes);
    void fail_flash_open(Partition partition, bool on = true);
    void fail_flash_info(Partition partition, bool on = true);
    // An operation whose range covers this byte offset fails with EIO.
    void fail_flash_read_at(Partition partition, uint32_t offset);
    void fail_flash_erase_at(Partition partition, uint32_t offset);
    void fail_flash_write_at(Partition partition, uint32_t offset);
    // fault: "file-missing", "file-enospc", "file-eio", "file-missing-reading"
    // or "file-eio-reading": this one path, as the program spells it, fails so.
    void fail_file(const std::string& fault, const std::string& path);
    void clear_faults();

    // Power cuts: the program dies of SIGKILL, its own buffers unflushed,
    // right after its nth flash write or erase, once n bytes in all have gone
    // to the slot files, right after its nth I2C write transaction, or in the
    // wait that reaches a board clock. Each is used up when it fires, so the
    // next power-on runs from the state left behind.
    void cut_power_after_flash_ops(uint64_t n);
    void cut_power_after_slot_bytes(uint64_t n);
    void cut_power_after_i2c_writes(uint64_t n);
    void cut_power_at(uint64_t clock_ns);
    // Where the last run lost power ("power-cut-flash-op 3 at <clock>"), or
    // empty; clear_logs forgets it.
    std::string power_cut() const;

  private:
    std::string dir_;
};

// A board in a fresh temporary directory, removed when it goes out of scope.
class TemporaryBoard {
  public:
    TemporaryBoard();
    ~TemporaryBoard();
    TemporaryBoard(const TemporaryBoard&) = delete;
    TemporaryBoard& operator=(const TemporaryBoard&) = delete;

    Board& board() { return board_; }
    Board* operator->() { return &board_; }

  private:
    test_support::TempDir dir_;
    Board board_;
};

// Points the interposer loaded into this process at the board, with virtual
// time (for in-process unit tests run under LD_PRELOAD).
void use_board_in_this_process(const Board& board);
// Whether libvswitch-board.so is loaded into this process.
bool interposer_loaded();

// Escaping used in the command log (tab-separated fields).
std::string escape_field(const std::string& text);
std::string unescape_field(const std::string& text);

} // namespace vswitch
