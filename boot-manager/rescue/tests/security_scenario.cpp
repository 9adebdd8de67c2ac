// Test driver for the virtual switch: sets the board up as the start-up
// sequence does, runs one security operation on the console and prints its
// result and the low-security marker it left, for a scenario to read.
//
//   security_scenario presence | wipe | keys | ask | verify <image file>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "image/image_format.h"
#include "image/key_store.h"
#include "image/signature.h"
#include "platform/board_paths.h"
#include "platform/boot_options.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/low_security_mode.h"
#include "rescue/low_security.h"

namespace {

// verify_image_signature on the first component of an image file, handed
// its whole header as the slot boot path does.
int verify_first_component(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return -1;
    uint8_t probe[IMAGE_PROBE_SIZE] = {};
    std::vector<uint8_t> header;
    int result = -1;
    if (std::fread(probe, 1, sizeof probe, file) == sizeof probe &&
        read_image_bytes(file, 0, image_be16(probe + IMAGE_V3_HEADER_LENGTH_OFFSET), &header) &&
        seek_image(file, 0)) {
        result = verify_image_signature(file, header.data(), header.size(), BoardPaths{});
        std::printf("\n[position %ld]", std::ftell(file));
    }
    std::fclose(file);
    return result;
}

void report_marker() {
    FILE* marker = std::fopen("/tmp/lowsec", "rb");
    if (!marker) {
        std::printf("[no marker]\n");
        return;
    }
    char content[32] = {};
    size_t size = std::fread(content, 1, sizeof content - 1, marker);
    std::fclose(marker);
    std::printf("[marker %zu %s]\n", size, content);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2)
        return 2;
    install_interrupt_handler();
    i2c_open_buses();
    flash_init();
    parse_boot_options();

    const std::string operation = argv[1];
    if (argc > 2 && std::strcmp(argv[argc - 1], "--marker") == 0)
        set_low_security_mode(BoardPaths{}, true);

    int result;
    if (operation == "presence")
        result = physical_presence_test(BoardPaths{});
    else if (operation == "wipe")
        result = wipe_security_keys();
    else if (operation == "keys")
        result = signing_keys_present(BoardPaths{});
    else if (operation == "ask")
        result = console_ask_yes_no("Load it? ") ? 1 : 0;
    else if (operation == "verify" && argc > 2)
        result = verify_first_component(argv[2]);
    else
        return 2;
    std::printf("\n[result %d]\n", result);
    report_marker();
    return 0;
}
