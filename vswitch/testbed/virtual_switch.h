// A virtual switch kept in a directory: the simulated board (NVRAM, RTC,
// flash, faults, logs; see board/board_state.h) together with what the sandbox
// builds the switch's root from: the eMMC entries, the files on /user and on
// the USB stick, and how each tool of the boot root filesystem behaves.
//
// The directory survives a run, so a scenario can boot, "reboot" and boot
// again and find NVRAM, flash and /user as the last run left them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board/board_state.h"

namespace vswitch {

// One call of a recording fake, as tools.log holds it.
struct ToolCall {
    std::string path;              // as the tool was run: "/sbin/reboot"
    std::vector<std::string> args; // the arguments after the name
    std::string name() const;      // "reboot"
    std::string line() const;      // the name and the arguments joined by blanks
};

// What the Application OS starter (/bin/backtrace) was started with.
struct AppOsStart {
    std::vector<std::string> argv;
    std::map<std::string, std::string> environment;
    std::string working_directory;
};

// A USB stick as a real block device (VirtualSwitch::use_usb_stick_image).
struct UsbStickImage {
    // An MBR with one partition from 1 MiB to the end, holding the filesystem;
    // without, the filesystem fills the whole disk.
    bool partition_table = true;
    // "vfat", "ext2", "ext3" or "ext4", made with this machine's mkfs; empty:
    // blank bytes, which no kernel mounts.
    std::string filesystem = "vfat";
    unsigned size_mib = 16;
};

class VirtualSwitch {
  public:
    // A fresh switch in dir (created if missing; earlier state is removed): a
    // board as Board::create lays it out, an eMMC with its four partitions,
    // an empty /user, no USB stick, fakes for every tool and a boot-loader
    // environment without boot options.
    // A directory that holds something else is never emptied: only the
    // switch's own files are laid out in it.
    static VirtualSwitch create(const std::string& dir);
    // The switch kept in dir; a fresh one when dir holds none yet.
    static VirtualSwitch open(const std::string& dir);
    // Whether dir holds a virtual switch.
    static bool is_switch(const std::string& dir);

    const std::string& dir() const { return dir_; }
    Board& board() { return board_; }
    const Board& board() const { return board_; }

    // The boot loader's environment: the variables ("name=value") NUL-separated
    // at offset 4 of the ubootenv partition behind a CRC-32, as the boot
    // loader keeps them.
    void set_bootloader_env(const std::vector<std::string>& variables);
    std::vector<std::string> bootloader_env() const;

    // The eMMC: "/sys/block/mmcblk0" and its partition entries mmcblk0p<n>.
    void set_emmc(bool present, const std::vector<int>& partitions = {1, 2, 3, 4});

    // /user on a real ext3 filesystem: an image (private/emmc/mmcblk0p1.img,
    // made here with mkfs.ext3) that the sandbox attaches to a loop device and
    // shows as "/dev/mmcblk0p1". The boot manager's tools then need to be the
    // real ones (use_real_tool "mount", "umount", "e2fsck"...). False when the
    // image could not be made.
    bool use_ext3_user(unsigned size_mib = 32);
    std::string user_image() const;

    // Files on /user (a plain directory kept in the switch directory).
    std::string user_dir() const;
    void write_user_file(const std::string& path, const std::string& content);
    std::optional<std::string> read_user_file(const std::string& path) const;

    // The USB stick: present at power-on or not, and its files.
    void set_usb_stick(bool present, const std::string& device = "sda1");
    std::string usb_dir() const;
    void write_usb_file(const std::string& path, const std::string& content);
    // Plugs in a stick that is a real block device: a disk image
    // (private/usb-stick.img) that the sandbox attaches to a loop device shown
    // as "/dev/sda" and, with a partition table, its partition to a second loop
    // device over that byte range, shown as "/dev/sda1"; /sys/block has their
    // entries. usb-mount and the real mount tools (use_real_tool) then mount
    // it; the files of usb_dir() are not on it. False when the image could
    // not be made.
    bool use_usb_stick_image(const UsbStickImage& stick = {});
    std::string usb_stick_image() const;

    // Whether "/dev/console" exists (the console terminal stays the program's
    // standard input, output and error either way).
    void set_console_node(bool present);

    // Tools of the boot root filesystem. Fakes record every call and exit 0
    // unless told otherwise; an effect is a bash snippet the fake runs with
    // its arguments ("$@") before it exits (it may set $status).
    void set_tool_status(const std::string& tool, int status);
    void set_tool_effect(const std::string& tool, const std::string& bash);
    void use_real_tool(const std::string& tool); // this machine's binary instead of the fake
    void remove_tool(const std::string& tool);   // neither: "command not found"
    void set_shell_available(bool available);    // /bin/sh
    // The boot manager is started with SIGCHLD ignored, so that every wait
    // for a command fails (system() then returns -1).
    void set_sigchld_ignored(bool ignored);

    // The switch's "eth0" is one end of a veth pair; the other, "peer0", is
    // in a network namespace of its own for the run (the peer): its address
    // (default 192.0.2.1/24), its link up or down (default up), and a bash
    // command started there for the run, with this machine's files (a server
    // for the switch), its output in peer_log().
    void set_peer_address(const std::string& address_with_prefix);
    void set_peer_link(bool up);
    void set_peer_command(const std::string& bash);
    std::string peer_log() const;
    // The switch's network as the last run left it: "ip -o address", "ip
    // route" and "ip -o link" run in it once the program had ended.
    std::string network_state() const;

    // What the fakes recorded, oldest first.
    std::vector<ToolCall> tool_calls() const;
    std::optional<AppOsStart> application_os_start() const;
    // Forgets the records of earlier runs (tools, Application OS start and
    // the board's logs); state (NVRAM, flash, files) stays.
    void clear_records();

    // The raw configuration the sandbox reads ("key=value" lines).
    std::map<std::string, std::string> config() const;
    void set_config(const std::string& key, const std::string& value);

  private:
    explicit VirtualSwitch(std::string dir);

    std::string dir_;
    Board board_;
};

// Helpers for tests and tools.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& content);
bool remove_tree(const std::string& path);
uint32_t crc32(const uint8_t* data, size_t length);

} // namespace vswitch
