// Test driver for the virtual switch: with /user mounted as start-up leaves
// it, runs the /user check as the rescue menu does and prints the result.
//
//   storage_scenario <report> <timeout> [blocked-backup]
//
// blocked-backup: a file stands where the backup of /user goes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "platform/process.h"
#include "rescue/filesystem.h"

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_interrupt_handler();
    static_cast<void>(platform::run_program({"mount", "/dev/mmcblk0p1", "/user"}));
    if (argc > 3 && std::string(argv[3]) == "blocked-backup")
        static_cast<void>(platform::run_program({"touch", "/tmp/arvo-backup"}));
    std::printf("[result %d]\n", check_user_filesystem(std::atoi(argv[1]), std::atoi(argv[2])));
    return 0;
}
