#include "network/mgmt_port.h"

#include <cstdio>

// Stand-in until the management port exists: says where the dialogue will be.
int configure_mgmt_port(int) {
    std::printf("Management port configuration is not available.\n");
    return 0;
}
