// Test driver for the virtual switch: one installation as the download paths
// run it, with the switch's own paths, tools, board and console, and its
// result for a scenario to read.
//
//   install_scenario FILE CHECK_SAME_VERSION SLOT
#include <cstdio>
#include <cstdlib>

#include "image/install_engine.h"
#include "platform/flash.h"
#include "platform/i2c.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 4)
        return 2;
    i2c_open_buses();
    flash_init();
    const int result = install_image_file(argv[1], std::atoi(argv[2]), std::atoi(argv[3]));
    std::printf("[result %d]\n", result);
}
