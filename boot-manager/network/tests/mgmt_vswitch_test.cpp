// The management port on the virtual switch's eth0, whose far end is the
// peer at 192.0.2.1: the dialogue on the real terminal, the commands run
// with the real network tools, and what they left configured.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;

const std::string DHCP = "Confirm: Use DHCP for network configuration? y/N: ";
const std::string IP = "IP addr    :", MASK = "Netmask    :", GW = "Gateway    :";
const std::string MAC = "MAC address (format nn:nn:nn:nn:nn:nn): ";
const std::string INVALID_MAC = "Invalid MAC address. Try again please\n";
const std::string CONFIGURING = "Configuring management port..." + std::string(20, '.') + "\n";

class MgmtPortScenario : public VirtualSwitchTest {
  protected:
    void SetUp() override {
        VirtualSwitchTest::SetUp();
        for (const char* tool : {"ifconfig", "route"})
            vswitch().use_real_tool(tool);
    }
    // Runs the operation, answering each prompt once the program reads the
    // console raw; typed earlier, the terminal would echo the keys. Sleeps
    // take a share of real time: the kernel reports a link that went down and
    // up again only a moment later, which virtual time alone would skip.
    void run(const std::string& operation,
             const std::vector<std::pair<std::string, std::string>>& answers) {
        set_real_ms_per_second(60);
        boot_program(MGMT_SCENARIO, {operation});
        for (const auto& [prompt, keys] : answers) {
            ASSERT_TRUE(expect_console(prompt, 30s));
            ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
            send_keys(keys);
        }
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
    }
    // The argument vectors the program started.
    std::vector<std::string> started() const {
        std::vector<std::string> lines;
        for (const auto& command : commands()) {
            std::string line = command.kind;
            for (size_t i = 1; i < command.args.size(); ++i)
                line += " " + command.args[i];
            lines.push_back(line);
        }
        return lines;
    }
};

TEST_F(MgmtPortScenario, StaticAddressNetmaskAndGateway) {
    run("configure",
        {{DHCP, "n\r"}, {IP, "192.0.2.10\r"}, {MASK, "255.255.255.128\r"}, {GW, "192.0.2.1\r"}});
    EXPECT_EQ(console(), DHCP + "n\n\n" + IP + "192.0.2.10\n" + MASK + "255.255.255.128\n" + GW +
                             "192.0.2.1\n\tNetmask    : 255.255.255.128\n\tGateway    : "
                             "192.0.2.1\n" +
                             CONFIGURING + "\n[result 1]\n");
    EXPECT_EQ(started(), (std::vector<std::string>{
                             "spawnp ifconfig eth0 192.0.2.10", "spawnp ifconfig eth0 down",
                             "spawnp ifconfig eth0 netmask 255.255.255.128",
                             "spawnp ifconfig eth0 up", "spawnp route add default gw 192.0.2.1"}));
    const std::string state = vswitch().network_state();
    EXPECT_NE(state.find("eth0    inet 192.0.2.10/25 "), std::string::npos) << state;
    EXPECT_NE(state.find("default via 192.0.2.1 dev eth0"), std::string::npos) << state;
    EXPECT_EQ(virtual_ms(), 26000u);
}

// Without a DHCP client there is no DHCP question; empty answers skip the
// netmask and the route; the link test needs the peer's end up.
TEST_F(MgmtPortScenario, SkippedAnswersAndLinkDown) {
    vswitch().remove_tool("dhclient");
    vswitch().set_peer_link(false);
    run("configure", {{IP, "192.0.2.10\r"}, {MASK, "\r"}, {GW, "\r"}});
    EXPECT_EQ(console(), IP + "192.0.2.10\n" + MASK + "\n" + GW + "\n" + CONFIGURING +
                             "Mgmt link not available. Quitting.\n\n[result 0]\n");
    EXPECT_EQ(started(), std::vector<std::string>{"spawnp ifconfig eth0 192.0.2.10"});
}

TEST_F(MgmtPortScenario, DhcpThresholdAndAbandonedDialogues) {
    run("configure", {{DHCP, "y\r"}});
    EXPECT_EQ(tool_calls().at(0).line(), "dhclient -1 eth0");
    EXPECT_NE(console().find("Mgmt link not available. Quitting.\n\n[result 0]"),
              std::string::npos);
    run("threshold", {});
    EXPECT_EQ(console(), "Warning: unable to disable mgmt port thresholding feature. Download "
                         "will be slow\n\n[result 0]\n");
    run("configure", {{DHCP, "\r"}, {IP, "\x03"}});
    EXPECT_TRUE(expect_console("^C\n\n[result 0]\n"));
    run("mac", {{MAC, "q\r"}});
    EXPECT_TRUE(started().empty());
}

// A MAC address is exactly six hexadecimal fields: text after them never
// reaches a command.
TEST_F(MgmtPortScenario, TemporaryMacAddress) {
    run("mac", {{MAC, "2:0:0:0:0:1;reboot\r"},
                {MAC, "02-00-00-00-00-01\r"},
                {MAC, "02:00:00:00:00:01\r"}});
    EXPECT_EQ(console(), MAC + "2:0:0:0:0:1;reboo\a\n" + INVALID_MAC + MAC + "02-00-00-00-00-01\n" +
                             INVALID_MAC + MAC + "02:00:00:00:00:01\n\n[result 1]\n");
    EXPECT_EQ(started(),
              std::vector<std::string>{"spawnp ifconfig eth0 hw ether 02:00:00:00:00:01"});
    EXPECT_NE(vswitch().network_state().find("link/ether 02:00:00:00:00:01 "), std::string::npos)
        << vswitch().network_state();
}

} // namespace
} // namespace vswitch
