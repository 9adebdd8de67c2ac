// The fuzz targets' board: a DHCP client is there, the management port is not.
#include "platform/net_device.h"

namespace platform {

UniqueFd open_interface_socket() {
    return UniqueFd();
}
bool close_interface_socket(UniqueFd) {
    return true;
}
bool interface_private_request(int, const char*, uint32_t) {
    return false;
}
bool interface_exists(int, const char*) {
    return false;
}
bool interface_flags(int, const char*, short*) {
    return false;
}
bool interface_link(int, const char*, uint32_t*) {
    return false;
}
bool dhcp_client_installed() {
    return true;
}

} // namespace platform
