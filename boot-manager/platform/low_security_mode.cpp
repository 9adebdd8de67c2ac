#include "platform/low_security_mode.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/boot_options.h"
#include "platform/files.h"
#include "platform/unique_file.h"

namespace {

constexpr char LOW_SECURITY_MARKER[] = "wumbrelo\n";

} // namespace

bool low_security_mode_active(const BoardPaths& paths) {
    if (boot_options.lowsec) {
        std::printf("NOTE: Uboot low security mode override enabled\n");
        return true;
    }
    return platform::path_exists(paths.low_security_marker);
}

void set_low_security_mode(const BoardPaths& paths, bool on) {
    const char* path = paths.low_security_marker.c_str();
    if (!on) {
        std::remove(path);
        return;
    }
    platform::UniqueFile marker(std::fopen(path, "w"));
    if (!marker)
        return;
    std::fputs(LOW_SECURITY_MARKER, marker.get());
    // Only the marker's existence counts: one cut short still turns the mode on.
    static_cast<void>(platform::close_written(std::move(marker)));
}
