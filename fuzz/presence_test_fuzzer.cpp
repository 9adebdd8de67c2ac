// The physical-presence test and the key wipe: the answer keys, the blink
// count typed (any text) and the RTC seconds that choose the count. Input:
// flags (marker there, key wipe), the RTC seconds register, then the keys.
#include <unistd.h>

#include "fuzz_support.h"
#include "platform/boot_options.h"
#include "rescue/low_security.h"
#include "stubs/board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096)
        return 0;
    BoardPaths paths;
    paths.low_security_marker = fuzz::scratch_dir() + "/lowsec";
    const bool marked = data[0] & 1;
    if (marked)
        fuzz::require(fuzz::write_file(paths.low_security_marker, nullptr, 0));
    else
        ::unlink(paths.low_security_marker.c_str());
    boot_options.lowsec = false;
    fuzz_load_nvram(nullptr, 0, 0);
    fuzz_nvram[0] = data[1]; // RTC seconds; the LED register reads as 0
    fuzz::with_console(data + 2, size - 2, [&] {
        if (data[0] & 2) {
            fuzz::require(wipe_security_keys() == 1);
            return;
        }
        const int result = physical_presence_test(paths);
        const bool marker = ::access(paths.low_security_marker.c_str(), F_OK) == 0;
        // Low-security mode is entered only by a passed test.
        if (!marked)
            fuzz::require(marker == (result == 1));
    });
    return 0;
}
