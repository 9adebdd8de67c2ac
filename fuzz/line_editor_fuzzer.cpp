// The console line editor: keys, control keys and escape sequences typed into
// buffers of every size, line after line until the keys run out.
#include <cstring>
#include <vector>

#include "console/console.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096)
        return 0;
    const size_t buffer_size = data[0] % 130; // 0 and 1 included
    std::vector<char> buffer(buffer_size + 8, '\x5A');
    fuzz::with_console(data + 1, size - 1, [&] {
        for (;;) {
            char* line = console_read_line(buffer.data(), buffer_size);
            if (!line) {
                fuzz::require(buffer_size == 0 || console_interrupted);
                return;
            }
            fuzz::require(line == buffer.data());
            fuzz::require(std::strlen(line) < buffer_size);
            for (size_t i = buffer_size; i < buffer.size(); ++i)
                fuzz::require(buffer[i] == '\x5A');
            for (const char* c = line; *c; ++c) // only printable keys are taken
                fuzz::require(static_cast<unsigned char>(*c) >= 32);
        }
    });
    return 0;
}
