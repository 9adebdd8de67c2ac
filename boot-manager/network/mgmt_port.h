// The management Ethernet port.
#pragma once

// Lets the operator configure the port; offer_dhcp allows a DHCP lease.
int configure_mgmt_port(int offer_dhcp);
