// Test driver for the virtual switch: sets the board up as the start-up
// sequence does, runs one rescue operation on the console and prints its
// result for a scenario to read.
//
//   rescue_scenario presence | wipe | ask
//   rescue_scenario storage <report> <timeout> <script>: runs the bash script
//       on the storage, then with /user mounted as start-up leaves it checks
//       /user as the rescue menu does and lists the checksums of its files
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "platform/boot_options.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/process.h"
#include "rescue/filesystem.h"
#include "rescue/low_security.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_interrupt_handler();
    i2c_open_buses();
    flash_init();
    parse_boot_options();
    const std::string operation = argc > 1 ? argv[1] : "";
    int result = -1;
    if (operation == "presence") {
        result = physical_presence_test(BoardPaths{});
    } else if (operation == "wipe") {
        result = wipe_security_keys();
    } else if (operation == "ask") {
        result = console_ask_yes_no("Load it? ") ? 1 : 0;
    } else if (operation == "storage" && argc > 4) {
        static_cast<void>(platform::run_program(
            {"/bin/bash", "-c",
             std::string(argv[4]) + "\nmount /dev/mmcblk0p1 /user 2>/dev/null"}));
        std::printf("[result %d]\n", check_user_filesystem(std::atoi(argv[2]), std::atoi(argv[3])));
        return platform::run_program(
            {"/bin/bash", "-c", "cd /user && md5sum .keep images/* 2>/dev/null"});
    } else {
        return 2;
    }
    std::printf("\n[result %d]\n", result);
    return 0;
}
