// vswitch: a virtual switch by hand. Creates, boots, inspects and resets a
// switch whose board state is kept in a directory between runs.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "testbed/run.h"
#include "testbed/virtual_switch.h"

using namespace vswitch;

namespace {

constexpr char ESCAPE_KEY = 0x1d; // Ctrl-]

int usage(FILE* out) {
    std::fprintf(out,
                 "usage: vswitch [--dir DIR] COMMAND [OPTIONS]\n"
                 "\n"
                 "A virtual switch: the real boot manager on a simulated board, sealed in a\n"
                 "sandbox. Its state (NVRAM, flash, /user) stays in DIR between runs\n"
                 "(default: $VSWITCH_DIR, else ~/.cache/vswitch).\n"
                 "\n"
                 "commands:\n"
                 "  boot [--rescue] [--virtual-time] [--reboots N] [--silence SECONDS]\n"
                 "       power the switch on with its console on this terminal (Ctrl-] leaves);\n"
                 "       --rescue adds diagnostics=rescue to the boot loader environment for\n"
                 "       this boot; --reboots N boots again after each of N reboots\n"
                 "  show                   the board: boot options, NVRAM fields, clock, files,\n"
                 "                         what the last run started\n"
                 "  reset                  start afresh: a new switch in DIR\n"
                 "  env [NAME=VALUE...]    show or replace the boot loader environment\n"
                 "  nvram OFFSET [VALUE]   show or set one NVRAM byte (numbers in C notation)\n"
                 "  emmc yes|no            whether the board has its eMMC\n"
                 "  usb yes|no [FILE...]   whether a USB stick is plugged in (files: DIR/usb);\n"
                 "                         FILEs are put on it (QTX5150_replace1_OS.img...).\n"
                 "                         Start-up looks at it when NVRAM 0x13b holds 0xd5\n"
                 "  install-slot 1|2 FILE  put an image file in slot 1 or 2 (/user/images)\n"
                 "  tool-effect TOOL FILE  a bash snippet the fake TOOL runs (e.g. backtrace,\n"
                 "                         the Application OS starter); FILE '-': none\n");
    return out == stderr ? 2 : 0;
}

std::string default_dir() {
    if (const char* dir = std::getenv("VSWITCH_DIR"); dir && *dir)
        return dir;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.cache/vswitch";
    return "/root/.cache/vswitch";
}

// The operator's terminal in raw mode for as long as the console is attached.
class RawTerminal {
  public:
    RawTerminal() {
        if (!::isatty(0) || ::tcgetattr(0, &saved_) != 0)
            return;
        termios raw = saved_;
        ::cfmakeraw(&raw);
        active_ = ::tcsetattr(0, TCSANOW, &raw) == 0;
    }
    ~RawTerminal() {
        if (active_)
            ::tcsetattr(0, TCSANOW, &saved_);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool active() const { return active_; }

  private:
    termios saved_{};
    bool active_ = false;
};

void write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t put = ::write(fd, data, length);
        if (put <= 0)
            return;
        data += put;
        length -= static_cast<size_t>(put);
    }
}

bool rebooted(const VirtualSwitch& vswitch) {
    auto calls = vswitch.tool_calls();
    return !calls.empty() && calls.back().name() == "reboot";
}

// One power-on with the console relayed to this terminal. Returns false when
// the operator left.
bool attach(VirtualSwitch& vswitch, bool virtual_time, int silence_seconds, Outcome& outcome) {
    RunOptions options;
    options.virtual_time = virtual_time;
    // A serial console ends lines with CR LF for a terminal; a file or pipe
    // gets the lines as the program wrote them.
    options.translate_newlines = ::isatty(1);
    if (const char* term = std::getenv("TERM"); term && *term)
        options.term = term;
    BootRun run(vswitch, options);
    if (run.finished()) {
        outcome = run.outcome();
        return true;
    }
    run.on_output([](const char* data, size_t length) { write_all(1, data, length); });

    RawTerminal terminal;
    bool interactive = terminal.active();
    bool stdin_open = interactive;
    int quiet_ms = 0;
    while (!run.finished()) {
        pollfd watch[2] = {{run.console_fd(), POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
        int ready = ::poll(watch, 2, 100);
        if (ready > 0 && (watch[1].revents & (POLLIN | POLLHUP))) {
            char keys[256];
            ssize_t got = ::read(0, keys, sizeof keys);
            if (got <= 0) {
                stdin_open = false;
            } else {
                const char* escape = static_cast<const char*>(std::memchr(keys, ESCAPE_KEY, got));
                if (escape) {
                    run.send(std::string(keys, static_cast<size_t>(escape - keys)));
                    outcome = run.stop();
                    return false;
                }
                run.send(std::string(keys, static_cast<size_t>(got)));
            }
        }
        quiet_ms = run.pump(0) ? 0 : quiet_ms + 100;
        if (vswitch.board().halted()) {
            run.pump(200);
            outcome = run.stop();
            outcome.ending = Ending::halted;
            return true;
        }
        if (run.poll_end())
            break;
        if (!interactive && silence_seconds > 0 && quiet_ms >= silence_seconds * 1000) {
            outcome = run.stop();
            outcome.ending = Ending::silent;
            return true;
        }
    }
    outcome = run.outcome();
    return true;
}

void print_outcome(const VirtualSwitch& vswitch, const Outcome& outcome) {
    std::string what;
    switch (outcome.ending) {
    case Ending::exited:
        what = "the boot manager exited with status " + std::to_string(outcome.code);
        break;
    case Ending::signalled:
        what = "the boot manager died of signal " + std::to_string(outcome.code);
        break;
    case Ending::halted:
        what = "the boot manager halted for good (power-cycle: boot again)";
        break;
    case Ending::silent:
        what = "the console stayed silent; switched off";
        break;
    case Ending::failed:
        what = "the sandbox failed: " + outcome.detail;
        break;
    default:
        what = "switched off";
        break;
    }
    if (vswitch.application_os_start())
        what += "; the Application OS was started";
    else if (rebooted(vswitch))
        what += " after running reboot";
    bool terminal = ::isatty(2);
    std::fprintf(stderr, "%s[vswitch: %s]%s", terminal ? "\r\n" : "", what.c_str(),
                 terminal ? "\r\n" : "\n");
}

int boot(VirtualSwitch& vswitch, const std::vector<std::string>& args) {
    bool rescue = false;
    bool virtual_time = false;
    int reboots = 0;
    int silence = 30;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--rescue")
            rescue = true;
        else if (args[i] == "--virtual-time")
            virtual_time = true;
        else if (args[i] == "--reboots" && i + 1 < args.size())
            reboots = std::atoi(args[++i].c_str());
        else if (args[i] == "--silence" && i + 1 < args.size())
            silence = std::atoi(args[++i].c_str());
        else
            return usage(stderr);
    }
    auto saved_env = vswitch.bootloader_env();
    if (rescue) {
        auto env = saved_env;
        env.push_back("diagnostics=rescue");
        vswitch.set_bootloader_env(env);
    }
    Outcome outcome;
    for (int boot_number = 0;; ++boot_number) {
        vswitch.clear_records();
        bool stayed = attach(vswitch, virtual_time, silence, outcome);
        print_outcome(vswitch, outcome);
        if (!stayed || boot_number >= reboots || !rebooted(vswitch))
            break;
        std::fprintf(stderr, "[vswitch: rebooting]%s", ::isatty(2) ? "\r\n" : "\n");
    }
    if (rescue)
        vswitch.set_bootloader_env(saved_env);
    return outcome.ending == Ending::failed ? 1 : 0;
}

const char* yes_no(bool value) {
    return value ? "yes" : "no";
}

int show(VirtualSwitch& vswitch) {
    Board& board = vswitch.board();
    auto config = vswitch.config();
    std::printf("virtual switch in %s\n", vswitch.dir().c_str());
    std::printf("eMMC: %s (partitions %s); USB stick: %s\n", config["emmc"].c_str(),
                config["emmc_partitions"].c_str(), config["usb_stick"].c_str());
    std::printf("boot loader environment:\n");
    for (const auto& variable : vswitch.bootloader_env())
        std::printf("  %s\n", variable.c_str());
    std::printf("NVRAM: boot slot 0x%02x, Tesk boot slot 0x%02x, OS mode 0x%02x, running image "
                "0x%02x, USB boot 0x%02x, config block 0x%02x\n",
                board.nvram_byte(0x0100), board.nvram_byte(0x0139), board.nvram_byte(0x0138),
                board.nvram_byte(0x013A), board.nvram_byte(0x013B), board.nvram_byte(0x0102));
    auto rtc = board.rtc();
    std::printf("RTC: 20%02x-%02x-%02x %02x:%02x:%02x\n", rtc[6], rtc[5] & 0x1F, rtc[4] & 0x3F,
                rtc[2] & 0x3F, rtc[1] & 0x7F, rtc[0] & 0x7F);
    std::printf("board clock: %.3f s; halted: %s\n", static_cast<double>(board.clock_ns()) / 1e9,
                yes_no(board.halted()));
    std::printf("last run started:\n");
    for (const auto& command : board.commands()) {
        std::string line;
        for (const auto& arg : command.args)
            line += (line.empty() ? "" : " ") + arg;
        while (!line.empty() && line.back() == '\n')
            line.pop_back();
        std::printf("  %s: %s\n", command.kind.c_str(), line.c_str());
    }
    std::printf("tools it ran:\n");
    for (const auto& call : vswitch.tool_calls())
        std::printf("  %s\n", call.line().c_str());
    if (auto start = vswitch.application_os_start())
        std::printf("Application OS started in %s\n", start->working_directory.c_str());
    return 0;
}

long number(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 0);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string dir = default_dir();
    if (args.size() >= 2 && args[0] == "--dir") {
        dir = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return usage(stderr);
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "help" || command == "--help" || command == "-h")
        return usage(stdout);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "vswitch: needs root (namespaces, mounts)\n");
        return 1;
    }

    std::error_code error;
    if (std::filesystem::exists(dir) && !std::filesystem::is_empty(dir, error) &&
        !VirtualSwitch::is_switch(dir)) {
        std::fprintf(stderr, "vswitch: %s holds something other than a virtual switch\n",
                     dir.c_str());
        return 1;
    }
    if (command == "reset" || command == "create") {
        VirtualSwitch::create(dir);
        std::printf("a fresh virtual switch in %s\n", dir.c_str());
        return 0;
    }
    VirtualSwitch vswitch = VirtualSwitch::open(dir);
    if (command == "boot")
        return boot(vswitch, args);
    if (command == "show")
        return show(vswitch);
    if (command == "env") {
        if (!args.empty())
            vswitch.set_bootloader_env(args);
        for (const auto& variable : vswitch.bootloader_env())
            std::printf("%s\n", variable.c_str());
        return 0;
    }
    if (command == "nvram" && (args.size() == 1 || args.size() == 2)) {
        auto offset = static_cast<uint16_t>(number(args[0]));
        if (args.size() == 2)
            vswitch.board().set_nvram_byte(offset, static_cast<uint8_t>(number(args[1])));
        std::printf("0x%04x: 0x%02x\n", offset, vswitch.board().nvram_byte(offset));
        return 0;
    }
    if (command == "emmc" && args.size() == 1) {
        vswitch.set_emmc(args[0] == "yes");
        return 0;
    }
    if (command == "usb" && (args.size() == 1 || (args.size() > 1 && args[0] == "yes"))) {
        vswitch.set_usb_stick(args[0] == "yes");
        for (size_t i = 1; i < args.size(); ++i) {
            std::error_code read_error;
            if (!std::filesystem::is_regular_file(args[i], read_error)) {
                std::fprintf(stderr, "vswitch: %s is no file\n", args[i].c_str());
                return 1;
            }
            vswitch.write_usb_file(std::filesystem::path(args[i]).filename(), read_file(args[i]));
        }
        return 0;
    }
    if (command == "install-slot" && args.size() == 2 && (args[0] == "1" || args[0] == "2")) {
        std::error_code read_error;
        if (!std::filesystem::is_regular_file(args[1], read_error)) {
            std::fprintf(stderr, "vswitch: %s is no image file\n", args[1].c_str());
            return 1;
        }
        vswitch.write_user_file("images/image" + args[0], read_file(args[1]));
        return 0;
    }
    if (command == "tool-effect" && args.size() == 2) {
        vswitch.set_tool_effect(args[0], args[1] == "-" ? "" : read_file(args[1]));
        return 0;
    }
    return usage(stderr);
}
