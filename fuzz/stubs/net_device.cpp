// The fuzz targets' board: a DHCP client is there; the management port is
// there, up and linked only while fuzz_port_up is set.
#include "platform/net_device.h"

#include <fcntl.h>
#include <net/if.h>

#include "stubs/board.h"

bool fuzz_port_up = false;

namespace platform {

UniqueFd open_interface_socket() {
    return UniqueFd(fuzz_port_up ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1);
}
bool close_interface_socket(UniqueFd) {
    return true;
}
bool interface_private_request(int, const char*, uint32_t) {
    return fuzz_port_up;
}
bool interface_exists(int, const char*) {
    return fuzz_port_up;
}
bool interface_flags(int, const char*, short* flags) {
    *flags = IFF_UP | IFF_RUNNING;
    return fuzz_port_up;
}
bool interface_link(int, const char*, uint32_t* link) {
    *link = 1;
    return fuzz_port_up;
}
bool dhcp_client_installed() {
    return true;
}

} // namespace platform
