#include "platform/net_device.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace platform {

namespace {

// A zeroed request naming the interface.
ifreq request_for(const char* name) {
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    return request;
}

} // namespace

UniqueFd open_interface_socket() {
    return UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

bool close_interface_socket(UniqueFd socket) {
    return ::close(socket.release()) == 0;
}

bool interface_private_request(int socket, const char* name, uint32_t value) {
    ifreq request = request_for(name);
    std::memcpy(&request.ifr_ifru, &value, sizeof value);
    return ::ioctl(socket, SIOCDEVPRIVATE, &request) != -1;
}

bool interface_exists(int socket, const char* name) {
    ifreq request = request_for(name);
    return ::ioctl(socket, SIOCGIFINDEX, &request) != -1;
}

bool interface_flags(int socket, const char* name, short* flags) {
    ifreq request = request_for(name);
    if (::ioctl(socket, SIOCGIFFLAGS, &request) == -1)
        return false;
    *flags = request.ifr_flags;
    return true;
}

bool interface_link(int socket, const char* name, uint32_t* link) {
    ifreq request = request_for(name);
    ethtool_value value{};
    value.cmd = ETHTOOL_GLINK;
    request.ifr_data = reinterpret_cast<char*>(&value);
    if (::ioctl(socket, SIOCETHTOOL, &request) == -1)
        return false;
    *link = value.data;
    return true;
}

bool dhcp_client_installed() {
    return ::access("/bin/dhclient", F_OK) == 0;
}

} // namespace platform
