// Runs in the virtual switch for install_memory_benchmark: one installation
// of an image file into a slot as the download paths run it, then the
// kernel's high-water mark of this process's resident memory.
//
//   install_memory_driver FILE SLOT
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/install_engine.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/unique_file.h"

namespace {

// VmHWM of /proc/self/status in KiB, -1 when not there. Unlike ru_maxrss it
// belongs to this program's own address space, not to what the process held
// before it was started.
long peak_resident_kib() {
    platform::UniqueFile status(std::fopen("/proc/self/status", "r"));
    char line[256];
    while (status && std::fgets(line, sizeof line, status.get()))
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            return std::strtol(line + 6, nullptr, 10);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    i2c_open_buses();
    flash_init();
    const int result = install_image_file(argv[1], 0, std::atoi(argv[2]));
    std::printf("\n[result %d]\n[peak %ld]\n", result, peak_resident_kib());
    return 0;
}
