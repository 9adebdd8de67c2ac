// The rejected list: entries named by the MD5 digest of an image of any
// content. An image is on the list only after it was added; adding twice
// leaves one entry.
#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "boot/usb_images.h"
#include "fuzz_support.h"

namespace {

int entries(const std::string& dir) {
    int count = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(d))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ++count;
        ::closedir(d);
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string image = fuzz::scratch_dir() + "/QTX5150_replace1_OS.img";
    const std::string list = fuzz::scratch_dir() + "/rejected/list";
    fuzz::require(fuzz::write_file(image, data, size));

    fuzz::require(!reject_list_contains(image.c_str(), list.c_str()));
    reject_list_add(image.c_str(), list.c_str());
    reject_list_add(image.c_str(), list.c_str());
    fuzz::require(reject_list_contains(image.c_str(), list.c_str()));
    fuzz::require(entries(list) == 1);

    char digest[IMAGE_MD5_TEXT_SIZE];
    fuzz::require(image_md5(image.c_str(), digest) && std::strlen(digest) == 32);
    fuzz::require(std::strspn(digest, "0123456789abcdef") == 32);
    fuzz::require(::unlink((list + "/" + digest).c_str()) == 0);
    return 0;
}
