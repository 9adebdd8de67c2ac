// Interface requests on the switch's Ethernet ports: the link test and the
// Ethernet driver's private interrupt-thresholding request, each one ioctl on
// an AF_INET datagram socket.
#pragma once

#include <cstdint>

#include "platform/unique_fd.h"

namespace platform {

// The socket the requests go through; not valid when none could be opened.
[[nodiscard]] UniqueFd open_interface_socket();
// Closes it and tells whether the close succeeded.
[[nodiscard]] bool close_interface_socket(UniqueFd socket);

// SIOCDEVPRIVATE with the value in the first word of the request's data.
[[nodiscard]] bool interface_private_request(int socket, const char* name, uint32_t value);
// SIOCGIFINDEX: whether the interface exists.
[[nodiscard]] bool interface_exists(int socket, const char* name);
// SIOCGIFFLAGS.
[[nodiscard]] bool interface_flags(int socket, const char* name, short* flags);
// SIOCETHTOOL with ETHTOOL_GLINK: the driver's link state (nonzero: up).
[[nodiscard]] bool interface_link(int socket, const char* name, uint32_t* link);

// Whether the DHCP client of the boot root filesystem ("/bin/dhclient") is there.
[[nodiscard]] bool dhcp_client_installed();

} // namespace platform
