#include "board/board_state.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "board/board_layout.h"
#include "board/log_fields.h"
#include "board/open_without_links.h"
#include "board/rtc_clock.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;

namespace vswitch {

namespace {

const layout::PartitionInfo& info_of(Partition partition) {
    return layout::PARTITIONS[static_cast<int>(partition)];
}

void write_file(const std::string& path, const void* data, size_t length) {
    if (!write_without_links(path, data, length))
        throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string& path, const std::string& text) {
    write_file(path, text.data(), text.size());
}

// Bytes of a device image; past the end of the file they read as fill.
std::vector<uint8_t> read_image(const std::string& path, uint64_t offset, size_t length,
                                uint8_t fill) {
    std::vector<uint8_t> bytes(length, fill);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return bytes;
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
}

// Writes bytes into a device image, extending it with fill (never a hole).
void write_image(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes,
                 uint8_t fill) {
    platform::UniqueFd file = open_without_links(path, O_RDWR | O_CREAT, 0644);
    if (!file.valid())
        throw std::runtime_error("cannot open " + path);
    const int fd = file.get();
    struct stat info {};
    ::fstat(fd, &info);
    bool ok = true;
    if (static_cast<uint64_t>(info.st_size) < offset) {
        std::vector<uint8_t> gap(offset - static_cast<uint64_t>(info.st_size), fill);
        ok = ::pwrite(fd, gap.data(), gap.size(), info.st_size) == static_cast<ssize_t>(gap.size());
    }
    if (ok && !bytes.empty())
        ok = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
             static_cast<ssize_t>(bytes.size());
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

uint64_t number(const std::string& text) {
    return std::strtoull(text.c_str(), nullptr, 0);
}

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string i2c_fault_name(int bus, uint8_t address7, const char* what) {
    char name[64];
    std::snprintf(name, sizeof name, "%s/i2c-%d-0x%02x-%s", layout::FAULT_DIR, bus, address7, what);
    return name;
}

std::string fault_name(const std::string& what) {
    return std::string(layout::FAULT_DIR) + "/" + what;
}

std::string mtd_fault_name(Partition partition, const char* what) {
    return fault_name(std::string("mtd-") + info_of(partition).name + "-" + what);
}

void set_flag(const std::string& path, bool on) {
    if (on)
        write_text(path, "1\n");
    else
        fs::remove(path);
}

Partition partition_named(const std::string& name) {
    for (Partition partition : ALL_PARTITIONS) {
        if (name == info_of(partition).name)
            return partition;
    }
    throw std::runtime_error("unknown partition " + name);
}

} // namespace

const char* partition_name(Partition partition) {
    return info_of(partition).name;
}
const char* partition_device(Partition partition) {
    return info_of(partition).device;
}

PartitionGeometry default_geometry(Partition partition) {
    return {info_of(partition).size, info_of(partition).erase_size};
}

Board Board::create(const std::string& dir) {
    fs::create_directories(dir);
    for (const char* name :
         {layout::NVRAM_FILE, layout::RTC_FILE, layout::RTC_TICKING_FILE, layout::LED_FILE,
          layout::CLOCK_FILE, layout::HALTED_FILE, layout::PAUSE_FILE, layout::PARKED_FILE,
          layout::I2C_LOG, layout::FLASH_LOG, layout::COMMAND_LOG, layout::TIME_LOG})
        fs::remove(fs::path(dir) / name);
    fs::remove_all(fs::path(dir) / layout::FLASH_DIR);
    fs::remove_all(fs::path(dir) / layout::FAULT_DIR);
    fs::create_directories(fs::path(dir) / layout::FLASH_DIR);
    fs::create_directories(fs::path(dir) / layout::FAULT_DIR);

    Board board(dir);
    std::vector<uint8_t> erased(layout::NVRAM_SIZE, layout::ERASED);
    write_file(board.path(layout::NVRAM_FILE), erased.data(), erased.size());
    board.set_rtc({0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25});
    std::vector<uint8_t> led(layout::LED_REGISTERS, 0x00);
    write_file(board.path(layout::LED_FILE), led.data(), led.size());
    write_text(board.path(layout::CLOCK_FILE), "0\n");
    for (Partition partition : ALL_PARTITIONS) {
        board.set_geometry(partition, default_geometry(partition));
        write_file(board.path(std::string(layout::FLASH_DIR) + "/" + partition_name(partition)), "",
                   0);
    }
    return board;
}

// Canonical, so that a link in any name below it is the switch's doing.
Board::Board(std::string dir) : dir_(fs::weakly_canonical(dir).string()) {}

std::string Board::path(const std::string& name) const {
    return dir_ + "/" + name;
}

std::vector<uint8_t> Board::nvram(uint16_t offset, size_t length) const {
    return read_image(path(layout::NVRAM_FILE), offset, length, layout::ERASED);
}

uint8_t Board::nvram_byte(uint16_t offset) const {
    return nvram(offset, 1)[0];
}

void Board::set_nvram(uint16_t offset, const std::vector<uint8_t>& bytes) {
    if (offset + bytes.size() > layout::NVRAM_SIZE)
        throw std::out_of_range("NVRAM write past 64 KiB");
    write_image(path(layout::NVRAM_FILE), offset, bytes, layout::ERASED);
}

void Board::set_nvram_byte(uint16_t offset, uint8_t value) {
    set_nvram(offset, {value});
}

RtcRegisters Board::rtc() const {
    RtcRegisters regs{};
    auto stored = read_image(path(layout::RTC_FILE), 0, regs.size(), 0x00);
    std::copy(stored.begin(), stored.end(), regs.begin());
    std::ifstream ticking(path(layout::RTC_TICKING_FILE));
    uint64_t since = 0;
    if (ticking >> since) {
        uint64_t now = clock_ns();
        if (now > since)
            rtc_advance(regs.data(), (now - since) / 1000000000ULL);
    }
    return regs;
}

void Board::set_rtc(const RtcRegisters& registers, bool ticking) {
    write_file(path(layout::RTC_FILE), registers.data(), registers.size());
    if (ticking)
        write_text(path(layout::RTC_TICKING_FILE), std::to_string(clock_ns()) + "\n");
    else
        fs::remove(path(layout::RTC_TICKING_FILE));
}

uint8_t Board::led_register(uint8_t reg) const {
    return read_image(path(layout::LED_FILE), reg, 1, 0x00)[0];
}

void Board::set_led_register(uint8_t reg, uint8_t value) {
    write_image(path(layout::LED_FILE), reg, {value}, 0x00);
}

PartitionGeometry Board::geometry(Partition partition) const {
    PartitionGeometry geometry = default_geometry(partition);
    for (const std::string& line : lines_of(path(std::string(layout::FLASH_DIR) + "/" +
                                                 partition_name(partition) + ".geometry"))) {
        auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals);
        uint32_t value = static_cast<uint32_t>(number(line.substr(equals + 1)));
        if (key == "size")
            geometry.size = value;
        else if (key == "erase_size")
            geometry.erase_size = value;
    }
    return geometry;
}

void Board::set_geometry(Partition partition, PartitionGeometry geometry) {
    write_text(path(std::string(layout::FLASH_DIR) + "/" + partition_name(partition) + ".geometry"),
               "size=" + hex(geometry.size) + "\nerase_size=" + hex(geometry.erase_size) + "\n");
}

std::vector<uint8_t> Board::flash(Partition partition, uint32_t offset, uint32_t length) const {
    return read_image(path(std::string(layout::FLASH_DIR) + "/" + partition_name(partition)),
                      offset, length, layout::ERASED);
}

void Board::set_flash(Partition partition, uint32_t offset, const std::vector<uint8_t>& bytes) {
    if (static_cast<uint64_t>(offset) + bytes.size() > geometry(partition).size)
        throw std::out_of_range(std::string("flash contents past the end of ") +
                                partition_name(partition));
    write_image(path(std::string(layout::FLASH_DIR) + "/" + partition_name(partition)), offset,
                bytes, layout::ERASED);
}

void Board::set_flash_text(Partition partition, uint32_t offset, const std::string& text) {
    set_flash(partition, offset, std::vector<uint8_t>(text.begin(), text.end()));
}

void Board::erase_flash(Partition partition) {
    write_file(path(std::string(layout::FLASH_DIR) + "/" + partition_name(partition)), "", 0);
}

uint64_t Board::clock_ns() const {
    std::ifstream in(path(layout::CLOCK_FILE));
    uint64_t clock = 0;
    in >> clock;
    return clock;
}

std::vector<TimeRecord> Board::waits() const {
    std::vector<TimeRecord> records;
    for (const std::string& line : lines_of(path(layout::TIME_LOG))) {
        auto fields = test_support::split(line, '\t');
        if (fields.size() == 3)
            records.push_back({number(fields[0]), fields[1], number(fields[2])});
    }
    return records;
}

bool Board::halted() const {
    return fs::exists(path(layout::HALTED_FILE));
}

void Board::pause_at(uint64_t clock_ns) {
    write_text(path(layout::PAUSE_FILE), std::to_string(clock_ns) + "\n");
}

void Board::cancel_pause() {
    fs::remove(path(layout::PAUSE_FILE));
}

bool Board::parked() const {
    return fs::exists(path(layout::PARKED_FILE));
}

void Board::go_on() {
    fs::remove(path(layout::PARKED_FILE));
}

std::vector<I2cTransfer> Board::i2c_log() const {
    std::vector<I2cTransfer> transfers;
    for (const std::string& line : lines_of(path(layout::I2C_LOG))) {
        auto fields = test_support::split(line, ' ');
        if (fields.size() < 6)
            continue;
        I2cTransfer transfer{};
        transfer.time_ns = number(fields[0]);
        transfer.bus = static_cast<int>(number(fields[1]));
        transfer.address = static_cast<uint8_t>(number(fields[2]));
        transfer.write = fields[3] == "write";
        transfer.acked = fields[4] == "ok";
        transfer.requested = static_cast<size_t>(number(fields[5]));
        for (size_t i = 6; i < fields.size(); ++i)
            transfer.bytes.push_back(
                static_cast<uint8_t>(std::strtoul(fields[i].c_str(), nullptr, 16)));
        transfers.push_back(transfer);
    }
    return transfers;
}

std::vector<LedWrite> Board::led_writes() const {
    std::vector<LedWrite> writes;
    for (const I2cTransfer& transfer : i2c_log()) {
        if (transfer.bus == 0 && transfer.address == layout::ADDR_LED && transfer.write &&
            transfer.acked && transfer.bytes.size() >= 2) {
            for (size_t i = 1; i < transfer.bytes.size(); ++i)
                writes.push_back({transfer.time_ns, static_cast<uint8_t>(transfer.bytes[0] + i - 1),
                                  transfer.bytes[i]});
        }
    }
    return writes;
}

std::vector<FlashEvent> Board::flash_log() const {
    std::vector<FlashEvent> events;
    for (const std::string& line : lines_of(path(layout::FLASH_LOG))) {
        auto fields = test_support::split(line, ' ');
        if (fields.size() != 6)
            continue;
        FlashEvent event{};
        event.time_ns = number(fields[0]);
        event.partition = partition_named(fields[1]);
        const std::string& kind = fields[2];
        event.kind = kind == "open"    ? FlashEvent::open
                     : kind == "info"  ? FlashEvent::info
                     : kind == "read"  ? FlashEvent::read
                     : kind == "write" ? FlashEvent::write
                                       : FlashEvent::erase;
        event.ok = fields[3] == "ok";
        event.offset = static_cast<uint32_t>(number(fields[4]));
        event.length = static_cast<uint32_t>(number(fields[5]));
        events.push_back(event);
    }
    return events;
}

std::vector<CommandRecord> Board::commands() const {
    std::vector<CommandRecord> records;
    for (const std::string& line : lines_of(path(layout::COMMAND_LOG))) {
        auto fields = test_support::split(line, '\t');
        if (fields.size() < 3)
            continue;
        CommandRecord record{number(fields[0]), fields[1], {}};
        for (size_t i = 2; i < fields.size(); ++i)
            record.args.push_back(unescape_field(fields[i]));
        records.push_back(record);
    }
    return records;
}

void Board::clear_logs() {
    for (const char* name : {layout::I2C_LOG, layout::FLASH_LOG, layout::COMMAND_LOG,
                             layout::TIME_LOG, layout::POWER_CUT_FILE})
        fs::remove(path(name));
}

void Board::fail_i2c_open(int bus, bool on) {
    set_flag(path(fault_name("i2c-" + std::to_string(bus) + "-open")), on);
}

void Board::stop_i2c_device(int bus, uint8_t address7, unsigned nth) {
    write_text(path(i2c_fault_name(bus, address7, "stop-at")), std::to_string(nth) + "\n");
}

void Board::fail_nvram_offset(uint16_t offset) {
    write_text(path(fault_name("nvram-offset")), hex(offset) + "\n");
}

void Board::short_i2c_read(int bus, uint8_t address7, size_t bytes) {
    write_text(path(i2c_fault_name(bus, address7, "short-read")), std::to_string(bytes) + "\n");
}

void Board::fail_flash_open(Partition partition, bool on) {
    set_flag(path(mtd_fault_name(partition, "open")), on);
}

void Board::fail_flash_info(Partition partition, bool on) {
    set_flag(path(mtd_fault_name(partition, "info")), on);
}

void Board::fail_flash_read_at(Partition partition, uint32_t offset) {
    write_text(path(mtd_fault_name(partition, "read-at")), hex(offset) + "\n");
}

void Board::fail_flash_erase_at(Partition partition, uint32_t offset) {
    write_text(path(mtd_fault_name(partition, "erase-at")), hex(offset) + "\n");
}

void Board::fail_flash_write_at(Partition partition, uint32_t offset) {
    write_text(path(mtd_fault_name(partition, "write-at")), hex(offset) + "\n");
}

void Board::fail_file(const std::string& fault, const std::string& path_of_file) {
    write_text(path(fault_name(fault)), path_of_file + "\n");
}

void Board::cut_power_after_flash_ops(uint64_t n) {
    write_text(path(fault_name("power-cut-flash-op")), std::to_string(n) + "\n");
}

void Board::cut_power_after_slot_bytes(uint64_t n) {
    write_text(path(fault_name("power-cut-file-bytes")), std::to_string(n) + "\n");
}

void Board::cut_power_after_i2c_writes(uint64_t n) {
    write_text(path(fault_name("power-cut-i2c-write")), std::to_string(n) + "\n");
}

void Board::cut_power_at(uint64_t clock_ns) {
    write_text(path(fault_name("power-cut-at")), std::to_string(clock_ns) + "\n");
}

std::string Board::power_cut() const {
    std::ifstream in(path(layout::POWER_CUT_FILE));
    std::string line;
    std::getline(in, line);
    return line;
}

void Board::clear_faults() {
    fs::remove_all(path(layout::FAULT_DIR));
    fs::create_directories(path(layout::FAULT_DIR));
}

namespace {

const std::string& made(const test_support::TempDir& dir) {
    if (dir.path().empty())
        throw std::runtime_error("cannot create a temporary board directory");
    return dir.path();
}

} // namespace

TemporaryBoard::TemporaryBoard() : board_(Board::create(made(dir_))) {}

TemporaryBoard::~TemporaryBoard() = default;

void use_board_in_this_process(const Board& board) {
    ::setenv(layout::ENV_BOARD, board.dir().c_str(), 1);
    ::setenv(layout::ENV_TIME, "virtual", 1);
}

bool interposer_loaded() {
    return ::dlsym(RTLD_DEFAULT, "vswitch_board_interposer") != nullptr;
}

std::string escape_field(const std::string& text) {
    return board::escape_log_field(text.c_str());
}

std::string unescape_field(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char code = text[++i];
        if (code == 'n')
            out += '\n';
        else if (code == 't')
            out += '\t';
        else if (code == 'r')
            out += '\r';
        else if (code == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += code;
    }
    return out;
}

} // namespace vswitch
