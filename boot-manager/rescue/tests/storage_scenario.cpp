// Test driver for the virtual switch: runs a bash script on the storage, then
// with /user mounted as start-up leaves it runs the /user check as the rescue
// menu does, prints the result and the checksums of the files kept on /user.
//
//   storage_scenario <report> <timeout> <script>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/process.h"
#include "rescue/filesystem.h"

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    static_cast<void>(platform::run_program(
        {"/bin/bash", "-c", std::string(argv[3]) + "\nmount /dev/mmcblk0p1 /user 2>/dev/null"}));
    std::printf("[result %d]\n", check_user_filesystem(std::atoi(argv[1]), std::atoi(argv[2])));
    return platform::run_program(
        {"/bin/bash", "-c", "cd /user && md5sum .keep images/* 2>/dev/null"});
}
