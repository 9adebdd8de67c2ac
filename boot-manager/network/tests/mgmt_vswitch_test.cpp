// The management port on the virtual switch's eth0, whose far end is the
// peer at 192.0.2.1: the dialogue on the real terminal, the commands run
// with the real network tools, and what they left configured.
#include "testbed/console_scenario.h"

namespace vswitch {
namespace {

// clang-format off
const std::string DHCP = "Confirm: Use DHCP for network configuration? y/N: ", IP = "IP addr    :", MASK = "Netmask    :", GW = "Gateway    :";
const std::string MAC = "MAC address (format nn:nn:nn:nn:nn:nn): ", BAD_MAC = "Invalid MAC address. Try again please\n";
const std::string CONFIGURING = "Configuring management port..." + std::string(20, '.') + "\n", NO_LINK = "Mgmt link not available. Quitting.\n\n[result 0]\n";
// clang-format on

using MgmtScenario = ConsoleScenarioTest;

// Each row runs the operation, answering each prompt as an operator does.
// Sleeps take a share of real time: the kernel reports a link that went down
// and up again only a moment later, which virtual time alone would skip.
TEST_F(MgmtScenario, ManagementPortDialogues) {
    for (const char* tool : {"ifconfig", "route"})
        vswitch().use_real_tool(tool);
    set_real_ms_per_second(60);
    // clang-format off
    // The operation, each prompt and the keys typed at it, the transcript and then the commands
    // started, what the network state shows, whether the peer's end of the link is down and
    // there is no DHCP client.
    const std::tuple<const char*, std::vector<std::pair<std::string, std::string>>, std::string, std::string, bool> rows[] = {
        {"configure", {{DHCP, "y\r"}}, DHCP + "y\n\n" + NO_LINK + "spawnp dhclient -1 eth0\n", "", false},
        {"threshold", {}, "Warning: unable to disable mgmt port thresholding feature. Download will be slow\n\n[result 0]\n", "", false},
        {"configure", {{DHCP, "\r"}, {IP, "\x03"}}, DHCP + "\n\n" + IP + "^C\n\n[result 0]\n", "", false},
        {"mac", {{MAC, "q\r"}}, MAC + "q\n\n[result 0]\n", "", false},
        {"mac", {{MAC, "2:0:0:0:0:1;reboot\r"}, {MAC, "02-00-00-00-00-01\r"}, {MAC, "02:00:00:00:00:01\r"}}, MAC + "2:0:0:0:0:1;reboo\a\n" + BAD_MAC + MAC + "02-00-00-00-00-01\n" + BAD_MAC + MAC + "02:00:00:00:00:01\n\n[result 1]\nspawnp ifconfig eth0 hw ether 02:00:00:00:00:01\n", "link/ether 02:00:00:00:00:01 ", false},
        {"configure", {{DHCP, "n\r"}, {IP, "192.0.2.10\r"}, {MASK, "255.255.255.128\r"}, {GW, "192.0.2.1\r"}}, DHCP + "n\n\n" + IP + "192.0.2.10\n" + MASK + "255.255.255.128\n" + GW + "192.0.2.1\n\tNetmask    : 255.255.255.128\n\tGateway    : 192.0.2.1\n" + CONFIGURING + "\n[result 1]\nspawnp ifconfig eth0 192.0.2.10\nspawnp ifconfig eth0 down\nspawnp ifconfig eth0 netmask 255.255.255.128\nspawnp ifconfig eth0 up\nspawnp route add default gw 192.0.2.1\n", "eth0    inet 192.0.2.10/25 ", false},
        {"configure", {{IP, "192.0.2.10\r"}, {MASK, "\r"}, {GW, "\r"}}, IP + "192.0.2.10\n" + MASK + "\n" + GW + "\n" + CONFIGURING + NO_LINK + "spawnp ifconfig eth0 192.0.2.10\n", "", true},
    };
    // clang-format on
    for (const auto& [operation, answers, transcript, configured, cut] : rows) {
        SCOPED_TRACE(transcript);
        if (cut) {
            vswitch().remove_tool("dhclient");
            vswitch().set_peer_link(false);
        }
        boot_program(MGMT_SCENARIO, {operation});
        for (const auto& [prompt, keys] : answers)
            answer(prompt, keys);
        EXPECT_EQ(wait_for_end().ending, Ending::exited) << console();
        std::string seen = console();
        for (const auto& command : commands()) {
            seen += command.kind;
            for (size_t i = 1; i < command.args.size(); ++i)
                seen += " " + command.args[i];
            seen += "\n";
        }
        EXPECT_EQ(seen, transcript);
        EXPECT_NE(vswitch().network_state().find(configured), std::string::npos)
            << vswitch().network_state();
    }
}

} // namespace
} // namespace vswitch
