#include "platform/boot_options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/flash.h"

BootOptions boot_options;

namespace {

constexpr uint32_t ENV_OFFSET = 4; // behind the environment's checksum
constexpr uint32_t ENV_SIZE = 0x20000;

// The characters after the first occurrence of keyword, or null.
const char* value_of(const char* text, const char* keyword) {
    const char* found = std::strstr(text, keyword);
    return found ? found + std::strlen(keyword) : nullptr;
}

bool is_on(const char* value) {
    return std::strncmp(value, "on", 2) == 0;
}

} // namespace

void apply_boot_option_text(const char* text, BootOptions* options) {
    if (const char* value = value_of(text, "gdb="))
        options->gdb = is_on(value);
    if (const char* value = value_of(text, "gdbserver=")) {
        options->gdbserver = is_on(value);
        if (options->gdbserver)
            options->gdb = true;
    }
    if (const char* value = value_of(text, "gdbport=")) {
        // Blanks, a sign and decimal digits; a number that does not fit an
        // int leaves the port as it was.
        char* end = nullptr;
        errno = 0;
        const long port = std::strtol(value, &end, 10);
        if (end != value && errno == 0 && port >= INT_MIN && port <= INT_MAX)
            options->gdb_port = static_cast<int32_t>(port);
    }
    if (const char* value = value_of(text, "shell="))
        options->shell = is_on(value);
    if (const char* value = value_of(text, "diagnostics="))
        options->diagnostics_rescue = std::strncmp(value, "rescue", 6) == 0;
    if (const char* value = value_of(text, "lowsec="))
        options->lowsec = is_on(value);
}

void parse_boot_options() {
    // Zero-filled, so a failed or short read leaves blanks that match nothing.
    std::unique_ptr<char[]> text(new char[ENV_SIZE + 1]());
    static_cast<void>(flash_read_range(reinterpret_cast<uint8_t*>(text.get()), flash_fd(UBOOTENV),
                                       ENV_OFFSET, ENV_SIZE));
    for (uint32_t i = 0; i < ENV_SIZE; ++i) {
        if (text[i] == '\0')
            text[i] = ' ';
    }
    text[ENV_SIZE] = '\0';
    apply_boot_option_text(text.get(), &boot_options);
}
