#include "rescue/boot_settings.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "console/console.h"
#include "image/image_format.h"
#include "image/installed_header.h"
#include "platform/nvram.h"

namespace {

constexpr int SLOT_ANSWER_SIZE = 32;

int select_arvo_config_block() {
    uint8_t current = 0;
    get_config_block(&current);
    switch (current) {
    case 'a':
        std::printf("\nCurrently using active configuration block\n");
        break;
    case 'b':
        std::printf("\nCurrently using backup configuration block\n");
        break;
    case 'f':
        std::printf("\nCurrently using factory default configuration block\n");
        break;
    default:
        std::printf("\nUnknown current config block %d\n", current);
        break;
    }
    std::printf("Enter configuration block: a, b or f (active, backup or factory): ");
    std::fflush(stdout);
    const int key = console_wait_key();
    std::printf("%c\n", key);
    switch (key) {
    case 'a':
    case 'A':
        set_config_block('a');
        return 1;
    case 'b':
    case 'B':
        set_config_block('b');
        return 1;
    case 'f':
    case 'F':
        set_config_block('f');
        return 1;
    default:
        std::printf("ERROR: invalid configuration block entered\n");
        return 0;
    }
}

struct VersionLine {
    const char* format;
    uint32_t type;
    int slot;
};

const VersionLine version_lines[] = {
    {"\tBoot image  : %d.%d.%d.%d\n", IMAGE_TYPE_BOOT_LOADER, 0},
    {"\tRFS image   : %d.%d.%d.%d\n", IMAGE_TYPE_ROOT_FS, 0},
    {"\tKernel image: %d.%d.%d.%d\n", IMAGE_TYPE_KERNEL, 0},
    {"\tDFT image   : %d.%d.%d.%d\n", IMAGE_TYPE_DEVICE_TREE, 0},
    {"\tOS image 1  : %d.%d.%d.%d\n", IMAGE_TYPE_APPLICATION, 1},
    {"\tOS image 2  : %d.%d.%d.%d\n", IMAGE_TYPE_APPLICATION, 2},
};

} // namespace

int select_boot_image() {
    std::printf("Currently booting image %d\n", get_boot_image());
    for (;;) {
        std::printf("Install image as image 1 or 2 (q to quit): ");
        std::fflush(stdout);
        char answer[SLOT_ANSWER_SIZE];
        errno = 0;
        if (!std::fgets(answer, sizeof answer, stdin)) {
            // Only a read cut short by Ctrl-C asks again. At the end of input
            // nobody is there to answer, and asking again would spin for ever.
            const bool interrupted = std::ferror(stdin) && errno == EINTR;
            std::clearerr(stdin);
            if (!interrupted)
                return 0;
            continue;
        }
        const char first = answer[0];
        if (first == 'q' || first == 'Q')
            return 0;
        if (first == '1' || first == '2') {
            const int slot = first - '0';
            std::printf("Booting from image %d\n", slot);
            set_boot_image(slot);
            return 1;
        }
    }
}

int select_config_block() {
    if (!is_tesk_mode())
        return select_arvo_config_block();
    if (console_confirm("Confirm resetting the configuration to factory default:", 0)) {
        request_factory_config();
        std::printf("Startup configuration will be reset to factory default.\nPlease reboot to "
                    "complete the process.\n");
    }
    return 1;
}

int show_installed_images() {
    std::printf("Installed images versions: \n");
    for (const auto& line : version_lines) {
        uint8_t header[IMAGE_BASE_HEADER_SIZE];
        // A component that is not there shows as 0.0.0.0.
        static_cast<void>(read_installed_header(line.type, header, line.slot));
        const uint8_t* id = header + IMAGE_ID_OFFSET;
        std::printf(line.format, id[0], id[1], id[2], id[3]);
    }
    return 0;
}
