// The management Ethernet port ("eth0"): the operator's address dialogue, the
// commands that configure the port, its link test and the driver's interrupt
// thresholding.
#pragma once

#include <cstdint>

// One dialogue's answers; zero-initialised by the caller. Addresses are IPv4
// in network byte order, 0 meaning not given.
struct mgmt_settings {
    uint32_t address = 0;
    uint32_t netmask = 0;
    uint32_t gateway = 0;
    char interface = '0'; // the digit after "eth"
    uint8_t use_dhcp = 0;
};

// The driver's private thresholding request on "eth<interface>". 1 done.
int set_mgmt_threshold(uint32_t value, char interface);
// 1 when "eth0" is up, running and has a link.
int mgmt_link_is_up(char interface);
// A host address: neither 0.x.x.x nor 240.0.0.0 and above.
bool is_valid_host_address(uint32_t address);
// 1 when an address was stored (or, not required, the answer was empty); 0
// when the operator quit or an interrupt came.
int ask_ip_address(const char* prompt, uint32_t* address, int required, int host_check);
int ask_network_settings(mgmt_settings* settings, int offer_dhcp);
int apply_network_settings(const mgmt_settings& settings);
// Lets the operator configure the port; offer_dhcp allows a DHCP lease.
int configure_mgmt_port(int offer_dhcp);
// 1 when a MAC address was applied, 0 when abandoned.
int set_temporary_mac();
// Exactly six fields of one or two hexadecimal digits between colons, and
// nothing else: the only answers set_temporary_mac applies.
[[nodiscard]] bool is_mac_address(const char* text);
