// The installation engine as the USB and download paths of the fuzz targets
// see it: the file handed over must be there; nothing is installed. Weak: the
// install prompt's target links the real engine (and the storage dialogues'
// target the real filesystem check).
#include <sys/stat.h>

#include "fuzz_support.h"
#include "image/install_engine.h"
#include "image/install_records.h"
#include "launch/launch.h"
#include "rescue/filesystem.h"

__attribute__((weak)) int install_image_file(const char* path, int, int slot,
                                             const InstallEnvironment&) {
    struct stat status {};
    fuzz::require(::lstat(path, &status) == 0 && !S_ISDIR(status.st_mode));
    fuzz::require(slot >= 0 && slot <= 2);
    return 0;
}

int append_install_log(const char*, const char*) {
    return 0;
}

int update_install_records(const char*, uint32_t, uint32_t) {
    return 0;
}

void launch_application_os(bool) {
    throw fuzz::SessionEnd{};
}

__attribute__((weak)) int check_user_filesystem(int, int) {
    return 1;
}
