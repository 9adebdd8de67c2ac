#include "launch/launch.h"

#include <cstdio>

#include "platform/process.h"

// Stand-in until the launch exists.
void launch_application_os(bool) {
    std::fprintf(stderr, "Failed to start Application OS.\n");
    platform::reboot_board();
}
