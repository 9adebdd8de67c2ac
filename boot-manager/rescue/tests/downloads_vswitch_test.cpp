// The rescue menu's downloads on the virtual switch, each bringing a boot
// loader image: TFTP with BusyBox's client from a real server in the peer
// namespace, XMODEM through the download port with a stand-in receiver, and
// the USB stick's pick list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"
#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

std::string logged(const std::string& file, const std::string& source) {
    return "File " + file + " installed from " + source + " at 13:45:30 on 24-6-2025\n";
}

class DownloadScenario : public VirtualSwitchTest {
  protected:
    // The menu's key, then each prompt's answer: on the console once the
    // program reads it raw, or on the download port; then the menu is back.
    void action(const std::vector<std::pair<std::string, std::string>>& answers,
                bool on_port = false) {
        for (size_t i = 0; i < answers.size(); ++i) {
            const auto& [prompt, keys] = answers[i];
            ASSERT_TRUE(expect_console(prompt, 20s));
            if (on_port && i > 0) {
                ASSERT_EQ(::write(current_run().serial_fd(), keys.data(), keys.size()), 1);
                continue;
            }
            ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
            send_keys(keys);
        }
        ASSERT_TRUE(expect_console("Please select one of the", 20s));
    }
};

// A TFTP name with shell syntax fails three times as a name, and a
// one-character name is refused; the XMODEM receiver sends once, so the
// second run installs the file the first one left; the USB pick list shows
// the entries that are not directories in the order the directory lists them.
TEST_F(DownloadScenario, TftpXmodemAndUsb) {
    const std::string dir = vswitch().dir(), odd = "a\"; reboot; \"", option = "\nOption? : ";
    const std::string payload(5000, 'u'), image = dir + "/served/boot.img";
    std::filesystem::create_directory(dir + "/served");
    write_file(dir + "/payload", payload);
    ASSERT_TRUE(platform::command_succeeded(platform::run_program(
        {SWIMAGE, "create", image, "--payload", dir + "/payload", "--type", "bootloader"})));
    vswitch().set_peer_command("exec /usr/sbin/in.tftpd -L -u root -s " + dir + "/served");
    for (const char* tool : {"ifconfig", "route", "busybox"})
        vswitch().use_real_tool(tool);
    vswitch().set_tool_effect("tftp", "/bin/busybox tftp \"$@\"; status=$?");
    vswitch().write_user_file("sent.img", read_file(image));
    vswitch().set_tool_effect("rx", "[[ ! -e /user/sent.img ]] || mv /user/sent.img \"$1\"");
    vswitch().set_bootloader_env({"diagnostics=rescue"});
    vswitch().set_usb_stick(true);
    for (const char* name : {"notes.txt", "boot.img", "more/inner.img", "z.img"})
        vswitch().write_usb_file(name, read_file(image));
    std::string choose;
    int count = 0, pick = 0;
    for (const auto& entry : std::filesystem::directory_iterator(vswitch().usb_dir()))
        if (!entry.is_directory()) {
            pick = entry.path().filename() == "boot.img" ? count + 1 : pick;
            choose +=
                "\t" + std::to_string(++count) + ": " + entry.path().filename().string() + "\n";
        }
    choose += "Choose file number to install (q to quit): ";
    set_real_ms_per_second(60); // the link comes up within the waits
    boot();
    // clang-format off
    for (const std::string& name : {odd, std::string("boot.img")})
        action({{option, "t"}, {"IP addr    :", "192.0.2.10\r"}, {"Netmask    :", "255.255.255.0\r"}, {"Gateway    :", "\r"},
                {"Server addr:", "192.0.2.1\r"}, {"Filename: ", "x\r"}, {"x\nInvalid filename. Try again please\nImage Filename: ", name + "\r"}});
    for (int run = 0; run < 2; ++run) // each Enter once the port's reminder shows it waits
        action({{option, "x"}, {"download can start...\r", "\r"}, {"to be hit...\r", "\n"}}, true);
    for (const char* answer : {"0\r", "4\r", "4294967297\r", "q\r"})
        action({{option, "u"}, {choose, answer}});
    action({{option, "u"}, {choose, "z\r"}, {"z\nInvalid file number z. Try again pleas\n", std::to_string(pick) + "z\r"}});

    std::vector<std::string> calls;
    for (const auto& call : tool_calls())
        if (call.name() == "tftp" || call.name() == "rx" || call.name() == "reboot")
            calls.push_back(call.line());
    const std::string tries = "tftp -g -r " + odd + " -l /tmp/image 192.0.2.1";
    EXPECT_EQ(calls, (std::vector<std::string>{tries, tries, tries, "tftp -g -r boot.img -l /tmp/image 192.0.2.1", "rx /tmp/image", "rx /tmp/image"}));
    EXPECT_EQ(board().flash(Partition::uboot, 0, 5000), std::vector<uint8_t>(5000, 'u'));
    EXPECT_EQ(vswitch().read_user_file("install.log"), logged("boot.img", "192.0.2.1") + logged("image", "xmodem") + logged("image", "xmodem") + logged("/mnt/usb/boot.img", "USB"));
    const std::string slow = "Warning: unable to disable mgmt port thresholding feature. Download will be slow\n";
    const std::string attempt = "Installing image " + odd + " from TFTP server 192.0.2.1\ntftp: server error: (1) File not found\nAttempt ";
    for (const std::string& shown : {slow + attempt + "1/3 of tftp timed out\n" + attempt + "2/3 of tftp timed out\n" + attempt + "3/3 of tftp timed out\n" + slow + "Tftp download failed. Aborting\n",
                                     slow + "Installing image boot.img from TFTP server 192.0.2.1\n" + slow + "\nExtracting images", std::string("Running xmodem rescue.....\n"),
                                     "u\n" + choose + "4\nPlease select", "pleas\n" + std::to_string(pick) + "z\nInstalling boot.img\n\nExtracting"})
        EXPECT_NE(console().find(shown), std::string::npos) << shown << console();
    // clang-format on
}

} // namespace
} // namespace vswitch
