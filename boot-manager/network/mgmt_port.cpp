#include "network/mgmt_port.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "console/console.h"
#include "platform/net_device.h"
#include "platform/process.h"
#include "platform/timing.h"

namespace {

// Interface names are built from the character after "eth".
std::string interface_name(char interface) {
    return std::string("eth") + interface;
}

std::string dotted(uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    return inet_ntoa(in);
}

bool run(const std::vector<std::string>& argv) {
    return platform::command_succeeded(platform::run_program(argv));
}

} // namespace

int set_mgmt_threshold(uint32_t value, char interface) {
    platform::UniqueFd socket = platform::open_interface_socket();
    if (!socket.valid()) {
        std::printf("Error : fail to open mgmt port socket\n");
        return 0;
    }
    if (!platform::interface_private_request(socket.get(), interface_name(interface).c_str(),
                                             value)) {
        std::printf("Warning: unable to disable mgmt port thresholding feature. Download will be "
                    "slow\n");
        return 0;
    }
    return platform::close_interface_socket(std::move(socket)) ? 1 : 0;
}

int mgmt_link_is_up(char) {
    // The switch has one management port: the test always looks at eth0.
    const char* const name = "eth0";
    const platform::UniqueFd socket = platform::open_interface_socket();
    if (!socket.valid()) {
        std::printf("Raw Socket open error\n");
        return 0;
    }
    if (!platform::interface_exists(socket.get(), name)) {
        std::printf("Open Interface %s error.\n", name);
        return 0;
    }
    short flags = 0;
    if (!platform::interface_flags(socket.get(), name, &flags)) {
        std::printf("Open flags error.\n");
        return 0;
    }
    uint32_t link = 0;
    if (!platform::interface_link(socket.get(), name, &link)) {
        std::printf("EthTool GLINK error.\n");
        return 0;
    }
    return link != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING) ? 1 : 0;
}

bool is_valid_host_address(uint32_t address) {
    const uint32_t first_octet = ntohl(address) >> 24;
    return first_octet != 0 && first_octet <= 239;
}

int ask_ip_address(const char* prompt, uint32_t* address, int required, int host_check) {
    for (;;) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        char line[128];
        if (!console_read_line(line, sizeof line)) {
            if (console_interrupted)
                return 0;
            continue;
        }
        if (line[0] == 'q' || line[0] == 'Q')
            return 0;
        if (line[0] == '\0' && !required)
            return 1;
        in_addr typed{};
        if (inet_aton(line, &typed) == 0) {
            std::printf("Invalid IP address. Try again please\n");
            continue;
        }
        if (host_check && !is_valid_host_address(typed.s_addr)) {
            std::printf("Invalid IP address %s. Try again please\n", line);
            continue;
        }
        *address = typed.s_addr;
        return 1;
    }
}

int ask_network_settings(mgmt_settings* settings, int offer_dhcp) {
    settings->use_dhcp = 0;
    if (offer_dhcp && platform::dhcp_client_installed()) {
        std::printf("Confirm: Use DHCP for network configuration? y/N: ");
        std::fflush(stdout);
        char line[128];
        if (!console_read_line(line, sizeof line) || console_interrupted)
            return 0;
        if (std::toupper(static_cast<unsigned char>(line[0])) == 'Y')
            settings->use_dhcp = 1;
        std::printf("\n");
    }
    if (settings->use_dhcp)
        return 1;
    return ask_ip_address("IP addr    :", &settings->address, 1, 1) &&
                   ask_ip_address("Netmask    :", &settings->netmask, 0, 0) &&
                   ask_ip_address("Gateway    :", &settings->gateway, 0, 1)
               ? 1
               : 0;
}

int apply_network_settings(const mgmt_settings& settings) {
    const std::string name = interface_name(settings.interface);
    if (settings.use_dhcp) {
        (void)platform::run_program({"dhclient", "-1", name});
        platform::sleep_seconds(3);
    } else {
        if (!run({"ifconfig", name, dotted(settings.address)})) {
            std::printf("ERROR: Invalid IP address\n");
            return 0;
        }
        if (settings.netmask != 0) {
            const std::string netmask = dotted(settings.netmask);
            std::printf("\tNetmask    : %s\n", netmask.c_str());
            (void)platform::run_program({"ifconfig", name, "down"});
            if (!run({"ifconfig", name, "netmask", netmask})) {
                std::printf("ERROR: Invalid netmask configuration\n");
                return 0;
            }
            (void)platform::run_program({"ifconfig", name, "up"});
        }
        platform::sleep_seconds(5);
        if (settings.gateway != 0) {
            const std::string gateway = dotted(settings.gateway);
            std::printf("\tGateway    : %s\n", gateway.c_str());
            if (!run({"route", "add", "default", "gw", gateway})) {
                std::printf("ERROR: Invalid gateway configuration\n");
                return 0;
            }
        }
        std::printf("Configuring management port...");
        for (int second = 0; second < 20; ++second) {
            platform::sleep_seconds(1);
            std::printf(".");
            std::fflush(stdout);
        }
        std::printf("\n");
        platform::sleep_seconds(1);
    }
    if (settings.interface == '0' && !mgmt_link_is_up(settings.interface)) {
        std::printf("Mgmt link not available. Quitting.\n");
        return 0;
    }
    return 1;
}

int configure_mgmt_port(int offer_dhcp) {
    mgmt_settings settings{};
    settings.interface = '0';
    if (!ask_network_settings(&settings, offer_dhcp))
        return 0;
    return apply_network_settings(settings);
}

bool is_mac_address(const char* text) {
    for (int field = 0; field < 6; ++field) {
        if (field > 0 && *text++ != ':')
            return false;
        int digits = 0;
        while (digits < 2 && std::isxdigit(static_cast<unsigned char>(*text))) {
            ++text;
            ++digits;
        }
        if (digits == 0)
            return false;
    }
    return *text == '\0';
}

int set_temporary_mac() {
    for (;;) {
        std::printf("MAC address (format nn:nn:nn:nn:nn:nn): ");
        std::fflush(stdout);
        char line[18];
        if (!console_read_line(line, sizeof line) || console_interrupted)
            return 0;
        if (std::string(line) == "q")
            return 0;
        if (is_mac_address(line)) {
            // One argument as typed: the line never meets a shell.
            (void)platform::run_program({"ifconfig", "eth0", "hw", "ether", line});
            return 1;
        }
        std::printf("Invalid MAC address. Try again please\n");
    }
}
