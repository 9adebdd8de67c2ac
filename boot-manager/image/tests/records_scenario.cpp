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

namespace {

// "[name-suffix hex bytes]", "[name-suffix text]" or "[name-suffix absent]".
void report_record_file(const std::string& name, const char* suffix, bool text) {
    const std::string file = name + "-" + suffix;
    FILE* f = std::fopen(("/tmp/zimr-cfg/" + file).c_str(), "rb");
    if (!f) {
        std::printf("[%s absent]\n", file.c_str());
        return;
    }
    std::printf("[%s ", file.c_str());
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (text)
            std::putchar(c);
        else
            std::printf("%02x", c);
    }
    std::fclose(f);
    std::printf("]\n");
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2)
        return 2;
    i2c_open_buses();
    const std::string operation = argv[1];
    int result;
    if (operation == "log" && argc == 4) {
        result = append_install_log(argv[2], argv[3]);
    } else if (operation == "records" && argc == 5) {
        const auto version = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0));
        const auto crc = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0));
        result = update_install_records(argv[2], version, crc);
        report_record_file(argv[2], "version", false);
        report_record_file(argv[2], "crc", false);
        report_record_file(argv[2], "timestamp", true);
    } else {
        return 2;
    }
    std::printf("[result %d]\n", result);
    return 0;
}
