// Test driver for the virtual switch: sets the board up as the start-up
// sequence does, runs one security operation on the console and prints its
// result for a scenario to read.
//
//   security_scenario presence | wipe | ask | verify <image file>
#include <cstdio>
#include <string>
#include <vector>

#include "console/console.h"
#include "image/image_format.h"
#include "image/signature.h"
#include "platform/boot_options.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/unique_file.h"
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
    } else if (operation == "verify" && argc > 2) {
        // The first component, handed its whole header as the slot boot does.
        platform::UniqueFile file(std::fopen(argv[2], "rb"));
        std::vector<uint8_t> probe, header;
        if (file && read_image_bytes(file.get(), 0, IMAGE_PROBE_SIZE, &probe) &&
            read_image_bytes(file.get(), 0, image_be16(&probe[IMAGE_V3_HEADER_LENGTH_OFFSET]),
                             &header) &&
            seek_image(file.get(), 0))
            result = verify_image_signature(file.get(), header.data(), header.size(), BoardPaths{});
    } else {
        return 2;
    }
    std::printf("\n[result %d]\n", result);
    return 0;
}
