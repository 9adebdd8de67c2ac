// Test driver for the virtual switch: one install-record operation as the
// installation paths run it, then what it left at the configuration
// partition's mount point, for a scenario to read.
//
//   records_scenario log FILE SOURCE
//   records_scenario records NAME VERSION CRC
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/install_records.h"
#include "platform/i2c.h"
#include "platform/unique_file.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    i2c_open_buses();
    if (argc == 4) // log FILE SOURCE
        return std::printf("[result %d]\n", append_install_log(argv[2], argv[3])) < 0;
    if (argc != 5)
        return 2;
    const int result = update_install_records(argv[2], std::strtoul(argv[3], nullptr, 0),
                                              std::strtoul(argv[4], nullptr, 0));
    // "[name-version hex]", "[name-timestamp text]" or "[name-crc absent]".
    for (const std::string suffix : {"version", "crc", "timestamp"}) {
        const std::string file = std::string(argv[2]) + "-" + suffix;
        platform::UniqueFile f(std::fopen(("/tmp/zimr-cfg/" + file).c_str(), "rb"));
        std::printf("[%s%s", file.c_str(), f ? " " : " absent");
        for (int c; f && (c = std::fgetc(f.get())) != EOF;)
            std::printf(suffix == "timestamp" ? "%c" : "%02x", c);
        std::printf("]\n");
    }
    std::printf("[result %d]\n", result);
}
