// Test driver for the virtual switch: runs one management port operation on
// the console and prints its result for a scenario to read.
//
//   mgmt_scenario configure | mac | threshold
#include <cstdio>
#include <string>

#include "console/console.h"
#include "network/mgmt_port.h"

int main(int argc, char** argv) {
    install_interrupt_handler();
    const std::string operation = argc > 1 ? argv[1] : "";
    const int result = operation == "configure" ? configure_mgmt_port(1)
                       : operation == "mac"     ? set_temporary_mac()
                                                : set_mgmt_threshold(0, '0');
    std::printf("\n[result %d]\n", result);
    return 0;
}
