// The USB pick list: file names of any bytes on the stick (files, folders,
// dangling links) and the file number typed. The stick is a tmpfs on /mnt in
// this process's own mount namespace. Input: up to 8 entries, each a kind
// byte and a NUL-terminated name, an empty name ending the list, then keys.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "rescue/downloads.h"

namespace {
char start_dir[PATH_MAX];
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::require(::getcwd(start_dir, sizeof start_dir) != nullptr);
    fuzz::require(::unshare(CLONE_NEWNS) == 0);
    fuzz::require(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    fuzz::require(::mount("fuzz-mnt", "/mnt", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0);
    fuzz::require(::mkdir("/mnt/usb", 0755) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const char* at = reinterpret_cast<const char*>(data);
    const char* const end = at + size;
    // A fresh stick for every input.
    fuzz::require(::mount("fuzz-usb", "/mnt/usb", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0);
    for (int entries = 0; entries < 8 && end - at >= 2; ++entries) {
        const char kind = *at++;
        const char* name_end = static_cast<const char*>(std::memchr(at, '\0', end - at));
        const std::string name(at, name_end ? name_end : end);
        at = name_end ? name_end + 1 : end;
        if (name.empty())
            break;
        if (name.find('/') != std::string::npos)
            continue; // a path, not a name
        const std::string path = "/mnt/usb/" + name.substr(0, NAME_MAX);
        if (kind & 1)
            ::mkdir(path.c_str(), 0755);
        else if (kind & 2)
            ::symlink("nowhere", path.c_str());
        else
            fuzz::write_file(path, nullptr, 0);
    }
    fuzz::with_console(reinterpret_cast<const uint8_t*>(at), end - at, [] {
        fuzz::require(rescue_usb_install() == 0);
        char cwd[16];
        // The stick is left, so that it can be unmounted.
        fuzz::require(::getcwd(cwd, sizeof cwd) && std::strcmp(cwd, "/tmp") == 0);
    });
    fuzz::require(::chdir(start_dir) == 0); // libFuzzer's paths may be relative
    fuzz::require(::umount("/mnt/usb") == 0);
    return 0;
}
