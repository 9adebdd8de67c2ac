#include "network/mgmt_port.h"

#include <cstdio>

// Stand-ins until the management port exists.
int set_mgmt_threshold(uint32_t, char) {
    return 0;
}
int mgmt_link_is_up(char) {
    return 0;
}
bool is_valid_host_address(uint32_t) {
    return false;
}
int ask_ip_address(const char*, uint32_t*, int, int) {
    return 0;
}
int ask_network_settings(mgmt_settings*, int) {
    return 0;
}
int apply_network_settings(const mgmt_settings&) {
    return 0;
}
int configure_mgmt_port(int) {
    std::printf("Management port configuration is not available.\n");
    return 0;
}
int set_temporary_mac() {
    return 0;
}
