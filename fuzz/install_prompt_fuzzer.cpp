// The installation engine's slot prompts, as the rescue menu's downloads
// reach them: an Application OS or a TESK application, the slot given or
// asked for, and the lines the operator answers. Input: the component kind and
// the slot given, then the answers. The signature policy accepts every
// component (stubs/signature.cpp); the engine writes under a scratch folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "image/image_format.h"
#include "image/install_engine.h"
#include "image_bytes.h"
#include "stubs/board.h"

namespace {

using image_test::Bytes;

std::string path_of(const char* name) {
    return fuzz::scratch_dir() + "/" + name;
}

Bytes read_file(const std::string& path) {
    Bytes bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;)
            bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(file);
    }
    return bytes;
}

const char* const LEFT_BEHIND[] = {"images/image1",
                                   "images/image2",
                                   "images/image1.new",
                                   "images/image2.new",
                                   "p2",
                                   "p3",
                                   "nos-image",
                                   "nos-image.gz",
                                   "archive"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096)
        return 0;
    const bool tesk = data[0] & 1;
    const int given = (data[0] >> 1) % 3;
    const Bytes payload(64, 0x5A);
    const Bytes image =
        image_test::v1_component(tesk ? IMAGE_TYPE_TESK_APPLICATION : IMAGE_TYPE_APPLICATION,
                                 0x01020304, static_cast<uint32_t>(payload.size()), 0x5A);
    const std::string image_path = path_of("image");
    fuzz::require(fuzz::write_file(image_path, image.data(), image.size()));
    static const bool made = ::mkdir(path_of("images").c_str(), 0755) == 0;
    fuzz::require(made);
    for (const char* name : LEFT_BEHIND)
        ::unlink(path_of(name).c_str());

    InstallEnvironment env;
    env.images_dir = path_of("images");
    env.boot_archive = path_of("archive");
    env.tesk_staging = path_of("nos-image");
    env.tesk_devices[0] = path_of("p2");
    env.tesk_devices[1] = path_of("p3");
    env.usb_dir = path_of("usb");
    // The shell's part: gunzip leaves the file without .gz, rm takes both.
    env.run_command = [&](const char* command) {
        const std::string line = command, staging = env.tesk_staging;
        if (line == "gunzip " + staging + ".gz")
            return std::rename((staging + ".gz").c_str(), staging.c_str());
        if (line == "rm " + staging + "*")
            return std::remove(staging.c_str()) + std::remove((staging + ".gz").c_str());
        return 0;
    };
    env.update_records = [](const char*, uint32_t, uint32_t) { return 1; };
    bool launched = false;
    env.launch = [&](bool) {
        launched = true;
        throw fuzz::SessionEnd{};
    };
    int result = -1;
    fuzz::with_console(data + 1, size - 1,
                       [&] { result = install_image_file(image_path.c_str(), 0, given, env); });

    // One slot at most, the one given if any, holding the whole image (the
    // payload on a TESK partition); no staging file or half-written slot left.
    const char* const slots[2][2] = {{"images/image1", "images/image2"}, {"p2", "p3"}};
    int installed = 0;
    for (int slot = 1; slot <= 2; ++slot) {
        const Bytes held = read_file(path_of(slots[tesk][slot - 1]));
        if (held.empty())
            continue;
        fuzz::require(installed == 0 && (given == 0 || given == slot));
        fuzz::require(held == (tesk ? payload : image));
        installed = slot;
    }
    for (const char* name : {"images/image1.new", "images/image2.new", "nos-image", "nos-image.gz"})
        fuzz::require(::access(path_of(name).c_str(), F_OK) != 0);
    fuzz::require(result == (installed != 0 ? 1 : launched ? -1 : 0));
    // Only the operator's 1 or 2 picks a slot; only an Application OS boots
    // without one.
    if (given == 0 && installed != 0)
        fuzz::require(std::memchr(data + 1, '0' + installed, size - 1) != nullptr);
    if (launched)
        fuzz::require(!tesk && installed == 0 && read_file(env.boot_archive) == payload);
    return 0;
}
