#include "boot/usb_images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "console/console.h"
#include "image/install_engine.h"
#include "image/install_records.h"
#include "image/openssl_handles.h"
#include "platform/boot_options.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/timing.h"
#include "platform/unique_fd.h"
#include "platform/unique_file.h"
#include "rescue/filesystem.h"

namespace {

constexpr int USB_MOUNT_WAIT_SECONDS = 10;
constexpr const char* USB_SOURCE = "USB"; // the install log's source

std::string on_stick(const char* file) {
    return std::string("/mnt/usb/") + file;
}

// The engine as start-up runs it: /user checked before a TESK application is
// unpacked.
int install_from_stick(const std::string& path, int slot) {
    InstallEnvironment environment;
    environment.check_user_filesystem = check_user_filesystem;
    return install_image_file(path.c_str(), 1, slot, environment);
}

} // namespace

int wait_for_usb_mount() {
    return wait_for_usb_mount([] { return platform::path_exists("/tmp/usb"); });
}

int wait_for_usb_mount(const std::function<bool()>& stick_announced) {
    if (!boot_options.usb_boot)
        return 0;
    std::printf(
        "Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
        USB_MOUNT_WAIT_SECONDS);
    platform::sleep_seconds(1);
    for (int round = 0; round < USB_MOUNT_WAIT_SECONDS; ++round) {
        if (stick_announced()) {
            std::printf("USB mounted and ready!\n");
            return 0;
        }
        std::printf(".");
        std::fflush(stdout);
        platform::sleep_seconds(1);
    }
    std::printf("USB mount timed out\n");
    return -1;
}

void install_usb_boot_image() {
    const std::string path = on_stick(USB_BOOT_IMAGE);
    if (!platform::path_exists(path)) {
        std::printf("No boot image found on USB.\n");
        return;
    }
    std::printf("Boot image found on USB.\n");
    if (install_from_stick(path, 0) != 1)
        return;
    static_cast<void>(append_install_log(path.c_str(), USB_SOURCE));
    platform::reboot_board();
}

ImageSlot install_usb_replacements() {
    // Slot 2 first, so that with both replaced the board boots slot 1.
    struct Replacement {
        ImageSlot slot;
        const char* file;
    };
    constexpr Replacement REPLACEMENTS[] = {{2, USB_REPLACE2_IMAGE}, {1, USB_REPLACE1_IMAGE}};
    ImageSlot chosen = 0;
    for (const Replacement& replacement : REPLACEMENTS) {
        const std::string path = on_stick(replacement.file);
        if (!platform::path_exists(path))
            continue;
        std::printf("USB image (file '%s') replacement for image%d found\n", replacement.file,
                    replacement.slot);
        if (reject_list_contains(path.c_str())) {
            // A no leaves the stick alone for this boot: nothing else from it.
            if (!console_ask_yes_no("Replacement USB image is in rejected list.\nWould you still "
                                    "like to load it? "))
                return 0;
            std::printf("Continuing with replacement USB image...\n");
        }
        if (install_from_stick(path, replacement.slot) == 1) {
            static_cast<void>(append_install_log(path.c_str(), USB_SOURCE));
            std::printf("Image%d has been successfully replaced\n", replacement.slot);
            chosen = replacement.slot;
        }
    }
    if (chosen != 0) {
        std::printf("USB replacement image: board will boot with image%d.\n", chosen);
        return chosen;
    }
    if (platform::path_exists(on_stick(USB_OS_IMAGE)))
        return SLOT_USB;
    std::printf("No valid image found on USB\n");
    return 0;
}

bool image_md5(const char* image_path, char (&digest)[IMAGE_MD5_TEXT_SIZE]) {
    // Read here rather than by a tool: the path comes from the stick.
    platform::UniqueFile image(std::fopen(image_path, "rb"));
    openssl::MdCtx ctx(EVP_MD_CTX_new());
    if (!image || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        return false;
    uint8_t buffer[16 * 1024];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, image.get())) > 0) {
        if (EVP_DigestUpdate(ctx.get(), buffer, count) != 1)
            return false;
    }
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (std::ferror(image.get()) || EVP_DigestFinal_ex(ctx.get(), md, &length) != 1 ||
        length * 2 + 1 != IMAGE_MD5_TEXT_SIZE)
        return false;
    for (unsigned int i = 0; i < length; ++i)
        std::snprintf(digest + 2 * i, 3, "%02x", md[i]);
    return true;
}

namespace {

std::string rejected_entry(const char* list_dir, const char* digest) {
    return std::string(list_dir) + "/" + digest;
}

// mkdir -p: every missing folder on the way.
bool make_dirs(const std::string& path) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (at == std::string::npos)
            return true;
    }
}

} // namespace

bool reject_list_contains(const char* image_path, const char* list_dir) {
    char digest[IMAGE_MD5_TEXT_SIZE];
    if (!image_md5(image_path, digest)) {
        std::printf("Warning: Cannot determine if image is in rejected list!\n");
        return false;
    }
    return platform::path_exists(rejected_entry(list_dir, digest));
}

void reject_list_add(const char* image_path, const char* list_dir) {
    char digest[IMAGE_MD5_TEXT_SIZE];
    if (!image_md5(image_path, digest)) {
        std::printf("Warning: Cannot add image to rejected list!\n");
        return;
    }
    const std::string entry = rejected_entry(list_dir, digest);
    if (platform::path_exists(entry) || !make_dirs(list_dir))
        return;
    platform::UniqueFd created(::open(entry.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
}
