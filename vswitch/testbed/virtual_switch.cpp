#include "testbed/virtual_switch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "board/open_without_links.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace vswitch {

namespace {

// What configures the runs and the disk images sit in a folder the sandbox
// never shows the switch.
constexpr const char* PRIVATE_DIR = "private";
constexpr const char* CONFIG_FILE = "private/vswitch.conf";
constexpr const char* TOOLS_LOG = "tools.log";
constexpr const char* TOOLS_DIR = "private/tools";
constexpr const char* APPOS_DIR = "appos";
constexpr const char* MARKER_FILE = "vswitch.switch";

// The boot loader keeps a 128 KiB environment; its data follows the CRC.
constexpr uint32_t ENV_OFFSET = 4;
constexpr uint32_t ENV_SIZE = 0x20000;

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            out += text[i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

void make_parent(const std::string& path) {
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
}

// Runs one of this machine's tools (found in the sbin and bin directories) on
// a file of this switch, its output discarded. True when it exits 0.
bool run_tool(const std::string& name, std::vector<std::string> args) {
    std::string path;
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (path.empty() && ::access((dir + name).c_str(), X_OK) == 0)
            path = dir + name;
    if (path.empty())
        return false;
    args.insert(args.begin(), name);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); // the copies stay open
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(path.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool make_sized_file(const std::string& path, uint64_t size) {
    make_parent(path);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
    }
    std::error_code error;
    fs::resize_file(path, size, error);
    return !error;
}

bool make_filesystem(const std::string& type, const std::string& image) {
    if (type == "vfat")
        return run_tool("mkfs.vfat", {"--mbr=n", image});
    if (type == "ext2" || type == "ext3" || type == "ext4")
        return run_tool("mkfs." + type, {"-q", "-F", image});
    return false;
}

// A DOS partition table with one partition of `sectors` 512-byte sectors
// from sector `first`, of the given type.
std::string master_boot_record(uint32_t first, uint32_t sectors, uint8_t type) {
    std::string mbr(512, '\0');
    auto put32 = [&mbr](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            mbr[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    put32(440, 0x5553424B); // disk signature
    const size_t entry = 446;
    // Addresses beyond what cylinder/head/sector values can hold: the LBA
    // fields count.
    for (size_t chs : {entry + 1, entry + 5}) {
        mbr[chs] = static_cast<char>(0xFE);
        mbr[chs + 1] = static_cast<char>(0xFF);
        mbr[chs + 2] = static_cast<char>(0xFF);
    }
    mbr[entry + 4] = static_cast<char>(type);
    put32(entry + 8, first);
    put32(entry + 12, sectors);
    mbr[510] = static_cast<char>(0x55);
    mbr[511] = static_cast<char>(0xAA);
    return mbr;
}

// Copies the whole of `from` into `to` at `offset`.
bool copy_into(const std::string& from, const std::string& to, uint64_t offset) {
    std::ifstream in(from, std::ios::binary);
    std::fstream out(to, std::ios::binary | std::ios::in | std::ios::out);
    if (!in || !out)
        return false;
    out.seekp(static_cast<std::streamoff>(offset));
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        out.write(buffer.data(), in.gcount());
    }
    return static_cast<bool>(out);
}

} // namespace

std::string ToolCall::name() const {
    return path.substr(path.rfind('/') + 1);
}

std::string ToolCall::line() const {
    std::string out = name();
    for (const auto& arg : args)
        out += " " + arg;
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool write_file(const std::string& path, const std::string& content) {
    make_parent(path);
    return write_without_links(path, content.data(), content.size());
}

bool remove_tree(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
    return !error;
}

uint32_t crc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFU;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    return ~crc;
}

VirtualSwitch::VirtualSwitch(std::string dir) : dir_(std::move(dir)), board_(dir_) {}

VirtualSwitch VirtualSwitch::create(const std::string& dir) {
    // Canonical: a link in any name below it can only be the switch's doing.
    std::string absolute = fs::weakly_canonical(fs::absolute(dir)).string();
    std::error_code error;
    if (is_switch(absolute) || fs::is_empty(absolute, error))
        remove_tree(absolute);
    Board::create(absolute);
    VirtualSwitch vswitch(absolute);
    fs::create_directories(absolute + "/user");
    fs::create_directories(absolute + "/usb");
    fs::create_directories(absolute + "/" + TOOLS_DIR);
    write_file(absolute + "/" + CONFIG_FILE, "# The virtual switch's hardware and tools.\n"
                                             "emmc=yes\n"
                                             "emmc_partitions=1 2 3 4\n"
                                             "usb_stick=no\n");
    vswitch.set_bootloader_env({"baudrate=9600", "bootdelay=3"});
    write_file(absolute + "/" + MARKER_FILE, "");
    return vswitch;
}

bool VirtualSwitch::is_switch(const std::string& dir) {
    return fs::exists(dir + "/" + MARKER_FILE);
}

VirtualSwitch VirtualSwitch::open(const std::string& dir) {
    std::string absolute = fs::weakly_canonical(fs::absolute(dir)).string();
    if (!fs::exists(absolute + "/" + MARKER_FILE))
        return create(absolute);
    // A switch kept before its settings moved out of the switch's sight.
    std::error_code error;
    if (!fs::exists(absolute + "/" + PRIVATE_DIR, error))
        for (const char* entry : {"vswitch.conf", "tools", "emmc", "usb-stick.img"})
            if (fs::exists(absolute + "/" + entry, error)) {
                fs::create_directories(absolute + "/" + PRIVATE_DIR, error);
                fs::rename(absolute + "/" + entry, absolute + "/" + PRIVATE_DIR + "/" + entry,
                           error);
            }
    return VirtualSwitch(absolute);
}

void VirtualSwitch::set_bootloader_env(const std::vector<std::string>& variables) {
    std::vector<uint8_t> block(ENV_SIZE, 0);
    size_t at = ENV_OFFSET;
    for (const auto& variable : variables) {
        if (at + variable.size() + 2 > block.size())
            break;
        std::copy(variable.begin(), variable.end(), block.begin() + at);
        at += variable.size() + 1;
    }
    uint32_t crc = crc32(block.data() + ENV_OFFSET, block.size() - ENV_OFFSET);
    // The switch is big-endian and keeps the CRC in its own byte order.
    block[0] = static_cast<uint8_t>(crc >> 24);
    block[1] = static_cast<uint8_t>(crc >> 16);
    block[2] = static_cast<uint8_t>(crc >> 8);
    block[3] = static_cast<uint8_t>(crc);
    board_.erase_flash(Partition::ubootenv);
    board_.set_flash(Partition::ubootenv, 0, block);
}

std::vector<std::string> VirtualSwitch::bootloader_env() const {
    auto block = board_.flash(Partition::ubootenv, ENV_OFFSET, ENV_SIZE - ENV_OFFSET);
    std::vector<std::string> variables;
    std::string current;
    for (uint8_t byte : block) {
        if (byte == 0 || byte == 0xFF) {
            if (current.empty())
                break;
            variables.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(byte);
        }
    }
    return variables;
}

void VirtualSwitch::set_emmc(bool present, const std::vector<int>& partitions) {
    set_config("emmc", present ? "yes" : "no");
    std::string list;
    for (int partition : partitions)
        list += (list.empty() ? "" : " ") + std::to_string(partition);
    set_config("emmc_partitions", list);
}

bool VirtualSwitch::use_ext3_user(unsigned size_mib) {
    std::string image = user_image();
    make_parent(image);
    {
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
    }
    fs::resize_file(image, static_cast<uintmax_t>(size_mib) << 20);
    // The image is a plain file of this switch: formatting it touches nothing else.
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC); // the copies stay open
        ::dup2(null, 1);
        ::dup2(null, 2);
        for (const char* tool : {"/usr/sbin/mkfs.ext3", "/sbin/mkfs.ext3"})
            ::execl(tool, "mkfs.ext3", "-q", "-F", "-b", "4096", image.c_str(),
                    static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return false;
    set_config("user", "ext3");
    return true;
}

std::string VirtualSwitch::user_image() const {
    return dir_ + "/" + PRIVATE_DIR + "/emmc/mmcblk0p1.img";
}

std::string VirtualSwitch::user_dir() const {
    return dir_ + "/user";
}

void VirtualSwitch::write_user_file(const std::string& path, const std::string& content) {
    write_file(user_dir() + "/" + path, content);
}

std::optional<std::string> VirtualSwitch::read_user_file(const std::string& path) const {
    std::string full = user_dir() + "/" + path;
    if (!fs::is_regular_file(full))
        return std::nullopt;
    return read_file(full);
}

void VirtualSwitch::set_usb_stick(bool present, const std::string& device) {
    set_config("usb_stick", present ? "yes" : "no");
    set_config("usb_device", device);
}

std::string VirtualSwitch::usb_dir() const {
    return dir_ + "/usb";
}

void VirtualSwitch::write_usb_file(const std::string& path, const std::string& content) {
    write_file(usb_dir() + "/" + path, content);
}

bool VirtualSwitch::use_usb_stick_image(const UsbStickImage& stick) {
    constexpr uint64_t MIB = 1 << 20;
    const uint64_t disk_size = static_cast<uint64_t>(stick.size_mib) * MIB;
    const uint64_t offset = stick.partition_table ? MIB : 0;
    if (disk_size < offset + MIB)
        return false;
    const std::string image = usb_stick_image();
    const std::string filesystem = stick.partition_table ? image + ".part" : image;
    if (!make_sized_file(filesystem, disk_size - offset))
        return false;
    if (!stick.filesystem.empty() && !make_filesystem(stick.filesystem, filesystem))
        return false;
    if (stick.partition_table) {
        const auto sectors = static_cast<uint32_t>((disk_size - offset) / 512);
        const uint8_t type = stick.filesystem == "vfat" ? 0x0C : 0x83;
        bool made = make_sized_file(image, disk_size) && copy_into(filesystem, image, offset);
        if (made) {
            std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
            out << master_boot_record(static_cast<uint32_t>(offset / 512), sectors, type);
            made = static_cast<bool>(out);
        }
        std::error_code error;
        fs::remove(filesystem, error);
        if (!made)
            return false;
    }
    set_usb_stick(true);
    set_config("usb_image", "yes");
    set_config("usb_partition", stick.partition_table ? std::to_string(offset) + " " +
                                                            std::to_string(disk_size - offset)
                                                      : "");
    return true;
}

std::string VirtualSwitch::usb_stick_image() const {
    return dir_ + "/" + PRIVATE_DIR + "/usb-stick.img";
}

void VirtualSwitch::set_console_node(bool present) {
    set_config("console", present ? "yes" : "no");
}

void VirtualSwitch::set_tool_status(const std::string& tool, int status) {
    write_file(dir_ + "/" + TOOLS_DIR + "/" + tool + ".status", std::to_string(status) + "\n");
}

void VirtualSwitch::set_tool_effect(const std::string& tool, const std::string& bash) {
    write_file(dir_ + "/" + TOOLS_DIR + "/" + tool + ".effect", bash + "\n");
}

void VirtualSwitch::use_real_tool(const std::string& tool) {
    auto current = config();
    set_config("real_tools", current["real_tools"] + " " + tool);
}

void VirtualSwitch::remove_tool(const std::string& tool) {
    auto current = config();
    set_config("missing_tools", current["missing_tools"] + " " + tool);
}

void VirtualSwitch::set_shell_available(bool available) {
    set_config("shell", available ? "yes" : "no");
}

void VirtualSwitch::set_sigchld_ignored(bool ignored) {
    set_config("sigchld", ignored ? "ignored" : "default");
}

std::vector<ToolCall> VirtualSwitch::tool_calls() const {
    std::vector<ToolCall> calls;
    std::istringstream in(read_file(dir_ + "/" + TOOLS_LOG));
    for (std::string line; std::getline(in, line);) {
        auto fields = test_support::split(line, '\x1f');
        if (fields.empty())
            continue;
        ToolCall call;
        call.path = fields[0];
        for (size_t i = 1; i < fields.size(); ++i)
            call.args.push_back(unescape(fields[i]));
        // A trailing empty argument leaves no field behind getline.
        if (!line.empty() && line.back() == '\x1f')
            call.args.emplace_back();
        calls.push_back(call);
    }
    return calls;
}

std::optional<AppOsStart> VirtualSwitch::application_os_start() const {
    std::string dir = dir_ + "/" + APPOS_DIR;
    if (!fs::exists(dir + "/argv"))
        return std::nullopt;
    AppOsStart start;
    start.argv = test_support::split(read_file(dir + "/argv"), '\0');
    for (const auto& entry : test_support::split(read_file(dir + "/environ"), '\0')) {
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            start.environment[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    start.working_directory = read_file(dir + "/cwd");
    if (!start.working_directory.empty() && start.working_directory.back() == '\n')
        start.working_directory.pop_back();
    return start;
}

void VirtualSwitch::clear_records() {
    std::error_code error;
    fs::remove(dir_ + "/" + TOOLS_LOG, error);
    fs::remove_all(dir_ + "/" + APPOS_DIR, error);
    for (const char* file : {"/net-state", "/peer.log"})
        fs::remove(dir_ + file, error);
    board_.clear_logs();
}

void VirtualSwitch::set_peer_address(const std::string& address_with_prefix) {
    set_config("peer_address", address_with_prefix);
}

void VirtualSwitch::set_peer_link(bool up) {
    set_config("peer_link", up ? "up" : "down");
}

void VirtualSwitch::set_peer_command(const std::string& bash) {
    set_config("peer_command", bash);
}

std::string VirtualSwitch::peer_log() const {
    return read_file(dir_ + "/peer.log");
}

std::string VirtualSwitch::network_state() const {
    return read_file(dir_ + "/net-state");
}

std::map<std::string, std::string> VirtualSwitch::config() const {
    std::map<std::string, std::string> values;
    std::istringstream in(read_file(dir_ + "/" + CONFIG_FILE));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

void VirtualSwitch::set_config(const std::string& key, const std::string& value) {
    std::string path = dir_ + "/" + CONFIG_FILE;
    std::istringstream in(read_file(path));
    std::string out;
    bool replaced = false;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            if (replaced)
                continue;
            line = key + "=" + value;
            replaced = true;
        }
        out += line + "\n";
    }
    if (!replaced)
        out += key + "=" + value + "\n";
    write_file(path, out);
}

} // namespace vswitch
