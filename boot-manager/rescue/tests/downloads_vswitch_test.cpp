// The rescue menu's downloads on the virtual switch: TFTP with BusyBox's
// client from a real server in the peer namespace, XMODEM-1K over the serial
// line between this machine's sender and the switch's receiver, and the USB
// stick's pick list, whose images (a boot loader, a TESK application through
// the switch's own tools, an Application OS booted without installing) go
// through the engine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <map>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

// A TFTP name with shell syntax fails three times as a name, a good one comes at the second try,
// and a one-character name is refused; XMODEM-1K leaves the image byte for byte (its size a whole
// number of blocks: the sender pads the last one), and a second run that receives nothing installs
// the file the first one left; the USB pick list shows the entries that are not directories, a
// link to one included, in the order the directory lists them.
TEST_F(VirtualSwitchTest, DownloadsByTftpXmodemAndUsb) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    const std::string dir = vswitch().dir(), usb = vswitch().usb_dir(), odd = "a\"; reboot; \"";
    // clang-format off
    std::filesystem::create_directories(dir + "/served"), std::filesystem::create_directories(usb);
    write_file(dir + "/payload", std::string(5858, 'u'));
    ASSERT_TRUE(platform::command_succeeded(platform::run_program({"gzip", "-k", dir + "/payload"})));
    for (const auto& [path, type, payload] : {std::array<std::string, 3>{dir + "/served/boot.img", "bootloader", "payload"}, {usb + "/tesk.img", "tesk-application", "payload.gz"}, {usb + "/app.img", "application", "payload.gz"}})
        ASSERT_TRUE(platform::command_succeeded(platform::run_program({SWIMAGE, "create", path, "--payload", dir + "/" + payload, "--type", type, "--version", "1.2.3.4", "--sign", PRODUCTION_SIGNING_KEY_FILE})));
    // clang-format on
    const std::string image = read_file(dir + "/served/boot.img");
    for (const char* name : {"notes.txt", "boot.img", "more/inner.img", "z.img"})
        vswitch().write_usb_file(name, std::string(name) == "notes.txt" ? "not an image" : image);
    // Listed: a link is not a directory, whatever it leads to.
    std::filesystem::create_directory_symlink("more", usb + "/link");
    // On the board the console is the serial line: the receiver runs on it once, in the modes the
    // boot manager set, after the file TFTP left is gone. It reads through a pipe, as it would
    // flush a pseudo-terminal's input right after its NAK and lose the block a sender here answers
    // with at once (a real line takes its time).
    // clang-format off
    vswitch().set_tool_effect("rx", "[[ -e /tmp/rx ]] || { >/tmp/rx; rm -f \"$1\"; exec 3< <(exec /bin/cat </dev/ttyS0); cat=$!; "
                                    "/.vswitch/bin/rx -cU \"$@\" <&3 >/dev/ttyS0; status=$?; kill $cat; wait $cat; /bin/cp \"$1\" \"$board/received\"; }");
    // clang-format on
    vswitch().set_peer_command("exec /usr/sbin/in.tftpd -L -u root -s " + dir + "/served");
    for (const char* tool : {"ifconfig", "route", "busybox"})
        vswitch().use_real_tool(tool);
    // The first try of boot.img gets no answer; the second one does.
    vswitch().set_tool_effect(
        "tftp", "if [[ $3 == boot.img && ! -e /tmp/tried ]]; then >/tmp/tried; status=1; "
                "else /bin/busybox tftp \"$@\"; status=$?; fi");
    vswitch().set_bootloader_env({"diagnostics=rescue"});
    vswitch().set_usb_stick(true);
    std::map<std::string, std::string> number; // of each entry in the pick list
    std::string choose;
    for (const auto& entry : std::filesystem::directory_iterator(usb))
        if (!entry.is_directory() || entry.is_symlink()) {
            const std::string name = entry.path().filename();
            choose += "\t" + number.emplace(name, std::to_string(number.size() + 1)).first->second +
                      ": " + name + "\n";
        }
    choose += "Choose file number to install (q to quit): ";
    // The menu's key, then each prompt's answer: on the console once the
    // program reads it raw (a line at the slot prompt), or after a reminder
    // on the download port; then, unless the run ends, the menu is back.
    const auto action = [&](std::vector<std::pair<std::string, std::string>> answers,
                            const char* back = "Please select one of the") {
        for (const auto& [prompt, keys] : answers) {
            ASSERT_TRUE(expect_console(prompt, 20s));
            if (prompt.back() == '\r') {
                ASSERT_EQ(::write(current_run().serial_fd(), keys.data(), 1), 1);
                continue;
            }
            ASSERT_TRUE(prompt.find("image 1 or 2") != std::string::npos ||
                        test_support::wait_for_raw_mode(current_run().console_fd()));
            send_keys(keys);
        }
        ASSERT_TRUE(expect_console(back, 20s));
    };
    set_real_ms_per_second(60); // the link comes up within the waits
    boot();
    // clang-format off
    for (const std::string& name : {odd, std::string("boot.img")})
        action({{"Option? : ", "t"}, {"IP addr    :", "192.0.2.10\r"}, {"Netmask    :", "255.255.255.0\r"}, {"Gateway    :", "\r"},
                {"Server addr:", "192.0.2.1\r"}, {"Filename: ", "x\r"}, {"x\nInvalid filename. Try again please\nImage Filename: ", name + "\r"}});
    // The sender on the far end of the line once it is switched, through a pipe too: the terminal
    // settings it makes and puts back would be the switch's on this end of a pseudo-terminal.
    const int port = current_run().serial_fd(), flags = ::fcntl(port, F_GETFL);
    termios before{}, after{}; ::tcgetattr(port, &before);
    action({{"Option? : ", "x"}}, "download can start...\r"); // each Enter once the port's reminder shows it waits
    ASSERT_EQ(::write(port, "\r", 1), 1);
    posix_spawn_file_actions_t io; posix_spawnattr_t group; pid_t sender = 0;
    ::fcntl(port, F_SETFL, flags & ~O_NONBLOCK), posix_spawn_file_actions_init(&io), posix_spawn_file_actions_adddup2(&io, port, 0), posix_spawn_file_actions_adddup2(&io, port, 1), posix_spawnattr_init(&group), posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
    std::string sh = "bash", c = "-c", script = "cat | sx -kq \"$0\"", sent = dir + "/served/boot.img"; char* argv[] = {sh.data(), c.data(), script.data(), sent.data(), nullptr};
    ASSERT_EQ(::posix_spawnp(&sender, "bash", &io, &group, argv, environ), 0);
    action({{"to be hit...\r", "\n"}});
    ::kill(-sender, SIGKILL), ::waitpid(sender, nullptr, 0), ::fcntl(port, F_SETFL, flags), ::tcgetattr(port, &after), posix_spawn_file_actions_destroy(&io), posix_spawnattr_destroy(&group);
    EXPECT_EQ(read_file(dir + "/received"), image); EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    action({{"Option? : ", "x"}, {"download can start...\r", "\r"}, {"to be hit...\r", "\n"}});
    for (const std::string& answer : std::vector<std::string>{"0\r", "7\r", "4294967297\r", "q\r", number["notes.txt"] + "\r"}) // the last no image: not logged
        action({{"Option? : ", "u"}, {choose, answer}});
    action({{"Option? : ", "u"}, {choose, "z\r"}, {"z\nInvalid file number z. Try again pleas\n", number["boot.img"] + "abc\r"}});
    action({{"Option? : ", "u"}, {choose, number["tesk.img"] + "\r"}, {"Install image as image 1 or 2 (q to quit): ", "2\n"}});
    action({{"Option? : ", "u"}, {choose, number["app.img"] + "\r"}, {"image 1 or 2 (hit return to just boot image): ", "\n"}}, "Booting downloaded image\nImage ready to boot...\n");
    wait_for_end();
    EXPECT_TRUE(vswitch().application_os_start().has_value()) << console();
    std::string calls, commands, tries = "tftp -g -r " + odd + " -l /tmp/image 192.0.2.1|";
    for (const auto& call : tool_calls())
        calls += call.name() == "tftp" || call.name() == "rx" || call.name() == "reboot" ? call.line() + "|" : "";
    for (const std::string& command : shell_commands())
        commands += command + "|";
    EXPECT_EQ(calls, tries + tries + tries + "tftp -g -r boot.img -l /tmp/image 192.0.2.1|tftp -g -r boot.img -l /tmp/image 192.0.2.1|rx /tmp/image|rx /tmp/image|");
    EXPECT_NE(commands.find("|/bin/mount /dev/mmcblk0p1 /user|gunzip /tmp/nos-image.gz|e2fsck -fp /dev/mmcblk0p3 &> /tmp/e2fsck.log|e2fsck -fp /dev/mmcblk0p3 &> /tmp/e2fsck2.log|resize2fs /dev/mmcblk0p3 &> /tmp/resize2fs.log|mkdir -p /tmp/zimr-cfg|mount /dev/mmcblk0p4 /tmp/zimr-cfg|umount /tmp/zimr-cfg|mkdir -p /tmp/zimr-cfg|mount /dev/mmcblk0p4 /tmp/zimr-cfg|umount /tmp/zimr-cfg|rm /tmp/nos-image*|"), std::string::npos) << commands;
    EXPECT_EQ(board().flash(Partition::uboot, 0, 5858), std::vector<uint8_t>(5858, 'u'));
    EXPECT_EQ(board().nvram(NVRAM_OS_MODE, 2), (std::vector<uint8_t>{'C', 2}));
    const std::string at = " at 13:45:30 on 24-6-2025\n", slow = "Warning: unable to disable mgmt port thresholding feature. Download will be slow\n";
    EXPECT_EQ(vswitch().read_user_file("install.log"), "File boot.img installed from 192.0.2.1" + at + "File image installed from xmodem" + at + "File image installed from xmodem" + at + "File /mnt/usb/boot.img installed from USB" + at + "File /mnt/usb/tesk.img installed from USB" + at);
    const std::string attempt = "Installing image " + odd + " from TFTP server 192.0.2.1\ntftp: server error: (1) File not found\nAttempt ";
    for (const std::string& shown : {slow + attempt + "1/3 of tftp timed out\n" + attempt + "2/3 of tftp timed out\n" + attempt + "3/3 of tftp timed out\n" + slow + "Tftp download failed. Aborting\n",
                                     slow + "Installing image boot.img from TFTP server 192.0.2.1\nAttempt 1/3 of tftp timed out\nInstalling image boot.img from TFTP server 192.0.2.1\n" + slow + "\nExtracting images", std::string("Running xmodem rescue.....\n"),
                                     "u\n" + choose + "7\nPlease select", "pleas\n" + number["boot.img"] + "abc\nInstalling boot.img\n\nExtracting"})
        EXPECT_NE(console().find(shown), std::string::npos) << shown << console();
    // clang-format on
}

} // namespace
} // namespace vswitch
