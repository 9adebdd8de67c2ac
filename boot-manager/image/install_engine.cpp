#include "image/install_engine.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "image/copy_progress.h"
#include "image/image_format.h"
#include "image/installed_header.h"
#include "image/payload_digest.h"
#include "image/signature.h"
#include "platform/flash.h"
#include "platform/nvram.h"
#include "platform/rtc.h"
#include "platform/timing.h"
#include "platform/unique_file.h"

namespace {

using platform::UniqueFile;

constexpr uint32_t PIECE_SIZE = 0x10000;
constexpr int ANSWER_SIZE = 32; // a line of up to 31 characters
constexpr mode_t INSTALL_DIR_MODE = 0755;
constexpr const char* CHANGED_AFTER_CHECK =
    "ERROR: image changed after its signature was checked. Image rejected.\n";

enum class Result { done, failed, quit };

struct Walk {
    const InstallEnvironment& env;
    bool check_same_version;
    int slot;
    bool from_usb;
    UniqueFile file;
    bool installed = false;
    bool skipped = false;
    bool tesk = false;
};

struct Component {
    const ImageComponent& found;
    const std::vector<uint8_t>& header; // header-size bytes
    const ComponentHeader& fields() const { return found.header; }
    uint64_t payload_start() const { return found.start + found.header.header_size; }
};

// The shell commands' results are not examined: each tool reports itself.
void run(const InstallEnvironment& env, const std::string& command) {
    if (env.run_command)
        env.run_command(command.c_str());
}

// A record that cannot be written does not stop the installation.
void record(const InstallEnvironment& env, const char* name, const ComponentHeader& h) {
    if (env.update_records)
        static_cast<void>(env.update_records(name, h.id, h.crc));
}

bool directory_exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void make_directory(const std::string& path) {
    if (!directory_exists(path))
        ::mkdir(path.c_str(), INSTALL_DIR_MODE);
}

// End of input counts as an empty answer; the rest of a longer line is
// dropped so that it cannot answer the next prompt.
bool read_answer(FILE* input, char (&answer)[ANSWER_SIZE]) {
    answer[0] = '\0';
    if (!std::fgets(answer, sizeof answer, input))
        return false;
    if (!std::strchr(answer, '\n'))
        for (int c = std::fgetc(input); c != EOF && c != '\n'; c = std::fgetc(input)) {
        }
    return true;
}

// The bytes of [offset, offset + length) of the image; false when they are
// not all there (the file was cut short), with errno telling why.
bool read_exactly(FILE* file, uint64_t offset, uint64_t length, std::vector<uint8_t>* bytes) {
    errno = 0;
    if (read_image_bytes(file, offset, static_cast<size_t>(length), bytes))
        return true;
    if (errno == 0)
        errno = EIO;
    return false;
}

// A payload written from the USB stick must be the one the signature check
// saw: the stick can be rewritten, or swapped, between the two reads. Nothing
// to compare when no key verified the payload.
bool must_match(const Walk& walk, const PayloadDigest& verified) {
    return walk.from_usb && verified.present;
}

PayloadDigest digest_of(const uint8_t* data, size_t length) {
    PayloadHasher hasher(true);
    hasher.update(data, length);
    PayloadDigest digest;
    static_cast<void>(hasher.finish(&digest));
    return digest;
}

// The digest of a whole file, read back.
PayloadDigest digest_of_file(const std::string& path) {
    PayloadDigest digest;
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[PIECE_SIZE]);
    if (!file || !buffer)
        return digest;
    PayloadHasher hasher(true);
    size_t got;
    while ((got = std::fread(buffer.get(), 1, PIECE_SIZE, file.get())) > 0)
        hasher.update(buffer.get(), got);
    if (!std::ferror(file.get()))
        static_cast<void>(hasher.finish(&digest));
    return digest;
}

// Copies [offset, offset + length) of the image into destination in 64 KiB
// pieces, hashing the bytes from hash_from on. after_piece is told the bytes
// done after each piece. False on a short read or a failed write (errno set).
template <typename AfterPiece>
bool stream_copy(FILE* source, uint64_t offset, uint64_t length, FILE* destination,
                 uint64_t hash_from, PayloadDigest* digest, AfterPiece&& after_piece) {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[PIECE_SIZE]);
    if (!buffer) {
        errno = ENOMEM;
        return false;
    }
    if (!seek_image(source, offset)) {
        errno = errno ? errno : EIO;
        return false;
    }
    PayloadHasher hasher(digest != nullptr);
    uint64_t done = 0;
    while (done < length) {
        const size_t piece =
            static_cast<size_t>(length - done < PIECE_SIZE ? length - done : PIECE_SIZE);
        errno = 0;
        if (std::fread(buffer.get(), 1, piece, source) != piece) {
            errno = errno ? errno : EIO; // a file cut short is not an image
            return false;
        }
        if (std::fwrite(buffer.get(), 1, piece, destination) != piece ||
            std::fflush(destination) != 0)
            return false;
        if (done + piece > hash_from) {
            const size_t skip = done < hash_from ? static_cast<size_t>(hash_from - done) : 0;
            hasher.update(buffer.get() + skip, piece - skip);
        }
        done += piece;
        after_piece(done);
    }
    if (digest && !hasher.finish(digest))
        digest->present = false;
    return true;
}

void write_header_copy(const std::vector<uint8_t>& header, const std::string& path,
                       const char* failure) {
    UniqueFile file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        std::printf("WARNING: Unable to open %s for writing\n", path.c_str());
        return;
    }
    const bool written = std::fwrite(header.data(), 1, header.size(), file.get()) == header.size();
    const int error = errno;
    if (!platform::close_written(std::move(file)) || !written)
        std::printf(failure, written ? errno : error);
}

bool skipped_as_same_version(Walk& walk, const Component& c) {
    if (!walk.check_same_version || !same_installed_version(c.header.data(), walk.slot))
        return false;
    std::printf("Image has same version as existing image. Skipping update...\n");
    walk.skipped = true;
    return true;
}

// Writes data to a flash partition from offset 0, with the percentage shown.
bool write_flash(FlashPartition partition, const std::vector<uint8_t>& data, const char* failure) {
    if (flash_write_range(data.data(), flash_fd(partition), 0, static_cast<uint32_t>(data.size()),
                          1) < 0) {
        std::printf("%s\n", failure);
        return false;
    }
    return true;
}

Result install_boot_loader(Walk& walk, const Component& c) {
    std::printf("Installing Boot Loader: ");
    std::fflush(stdout);
    const ComponentHeader& h = c.fields();
    if (h.payload_size > BOOT_LOADER_PAYLOAD_LIMIT) {
        std::printf("UBOOT image is too big for flash (%d > %d)\n",
                    static_cast<int>(h.payload_size), static_cast<int>(BOOT_LOADER_PAYLOAD_LIMIT));
        return Result::failed;
    }
    if (skipped_as_same_version(walk, c))
        return Result::done;
    std::vector<uint8_t> payload;
    // A boot loader cut short would leave the switch unable to start.
    if (!read_exactly(walk.file.get(), c.payload_start(), h.payload_size, &payload)) {
        std::printf("Uboot image update failed\n");
        return Result::failed;
    }
    if (!write_flash(UBOOT, payload, "Uboot image update failed"))
        return Result::failed;
    write_header_copy(c.header, walk.env.images_dir + "/uboot-hdr",
                      "WARNING: Uboot header file updated failed (err %d)\n");
    record(walk.env, "uboot", h);
    walk.installed = true;
    return Result::done;
}

struct FlashTarget {
    const char* heading;
    const char* too_big;
    FlashPartition partition;
    uint32_t limit;
    const char* failure;
};

Result install_flash_component(Walk& walk, const Component& c, const FlashTarget& target) {
    std::printf("%s", target.heading);
    std::fflush(stdout);
    const ComponentHeader& h = c.fields();
    if (h.span > target.limit) {
        std::printf(target.too_big, static_cast<int>(h.span), static_cast<int>(target.limit));
        return Result::failed;
    }
    if (skipped_as_same_version(walk, c))
        return Result::done;
    PayloadDigest verified;
    if (!verify_image_signature(walk.file.get(), c.header.data(), c.header.size(),
                                walk.env.security, &verified))
        return Result::failed;
    std::vector<uint8_t> component;
    if (!read_exactly(walk.file.get(), c.found.start, h.span, &component)) {
        std::printf("%s\n", target.failure);
        return Result::failed;
    }
    if (must_match(walk, verified) &&
        !same_payload(verified, digest_of(component.data() + h.header_size,
                                          static_cast<size_t>(h.payload_size)))) {
        std::printf("%s", CHANGED_AFTER_CHECK);
        return Result::failed;
    }
    if (!write_flash(target.partition, component, target.failure))
        return Result::failed;
    walk.installed = true;
    return Result::done;
}

// Boots the Application OS payload without installing it.
Result boot_downloaded_image(Walk& walk, const Component& c, const PayloadDigest& verified) {
    std::printf("Booting downloaded image\n");
    const std::string& archive_path = walk.env.boot_archive;
    UniqueFile archive(std::fopen(archive_path.c_str(), "wb"));
    PayloadDigest written;
    bool ok = archive &&
              stream_copy(walk.file.get(), c.payload_start(), c.fields().payload_size,
                          archive.get(), 0, walk.from_usb ? &written : nullptr, [](uint64_t) {});
    const int error = errno;
    ok = platform::close_written(std::move(archive)) && ok;
    if (!ok) {
        std::printf("Image unpack failed (err %d)\n", error ? error : errno);
        std::remove(archive_path.c_str());
        return Result::failed;
    }
    if (must_match(walk, verified) && !same_payload(verified, written)) {
        std::remove(archive_path.c_str());
        std::printf("%s", CHANGED_AFTER_CHECK);
        return Result::failed;
    }
    std::printf("Image ready to boot...\n");
    std::fflush(stdout);
    walk.file.reset(); // the Application OS must not inherit the image
    if (walk.env.launch)
        walk.env.launch(false);
    platform::reboot_board();
}

std::string slot_file_path(const Walk& walk, int slot) {
    return walk.env.images_dir + "/image" + std::to_string(slot);
}

bool same_version_in_slot(const Walk& walk, const Component& c, int slot) {
    return walk.check_same_version &&
           same_installed_version_in(c.header.data(), slot, walk.env.images_dir.c_str());
}

// A slot file written while the signature check reads the payload, so that
// the payload is read once for both. Empty when the slot is not known yet or
// nothing is to be written there.
struct EarlySlotFile {
    UniqueFile out;
    std::string path;
    std::unique_ptr<PayloadTee> tee;
};

// Opens the temporary slot file and stores the header in it; the check then
// hands it the payload. Only into an images directory that exists: a
// component that fails its check leaves nothing behind.
EarlySlotFile open_early_slot_file(const Walk& walk, const Component& c) {
    EarlySlotFile early;
    const int slot = walk.slot;
    if ((slot != 1 && slot != 2) || same_version_in_slot(walk, c, slot) ||
        !directory_exists(walk.env.images_dir) || c.header.size() != c.fields().header_size)
        return early;
    early.path = slot_file_path(walk, slot) + ".new";
    early.out.reset(std::fopen(early.path.c_str(), "wb"));
    if (!early.out)
        return early;
    early.tee = std::make_unique<PayloadTee>(early.out.get());
    static_cast<void>(early.tee->store(c.header.data(), c.header.size()));
    return early;
}

void drop_early_slot_file(EarlySlotFile* early) {
    if (!early->out)
        return;
    early->out.reset();
    std::remove(early->path.c_str());
}

// The percentage after each 64 KiB piece of a slot file, as the copy goes;
// sent to the console only when it changes.
class SlotProgress {
  public:
    explicit SlotProgress(uint64_t span) : span_(span) {}
    void done(uint64_t done) {
        const int percent = static_cast<int>(done * 100 / span_);
        std::printf("\b\b\b\b%3.3d%c", percent, '%');
        if (percent != shown_)
            std::fflush(stdout);
        shown_ = percent;
    }

  private:
    uint64_t span_;
    int shown_ = -1;
};

// The whole component into the slot file. It is written under a temporary
// name beside the slot file and renamed over it only once complete, so that
// the slot keeps its previous image until the new one is whole. A slot file
// the signature check filled already is only closed.
Result install_into_slot(Walk& walk, const Component& c, const PayloadDigest& verified,
                         EarlySlotFile* early) {
    const int slot = walk.slot;
    const ComponentHeader& h = c.fields();
    std::printf("Installing image as image%d: ", slot);
    if (same_version_in_slot(walk, c, slot)) {
        drop_early_slot_file(early);
        std::printf("Image%d has same version as existing image. Skipping update...\n", slot);
        walk.skipped = true;
        return Result::done;
    }
    make_directory(walk.env.images_dir);
    const std::string slot_path = slot_file_path(walk, slot);
    const std::string temporary = slot_path + ".new";
    const bool stored = early->out && early->tee->holds(h.span);
    UniqueFile out(stored ? std::move(early->out) : nullptr);
    early->out.reset(); // a partial one is written again below
    if (!stored)
        out.reset(std::fopen(temporary.c_str(), "wb"));
    if (!out) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        return Result::failed;
    }
    std::printf("    ");
    SlotProgress progress(h.span);
    PayloadDigest written;
    bool ok = true;
    if (stored) {
        // Written from the very bytes that were hashed.
        written = verified;
        for (uint64_t done = 0; done < h.span;) {
            done += h.span - done < PIECE_SIZE ? h.span - done : PIECE_SIZE;
            progress.done(done);
        }
    } else {
        ok = stream_copy(walk.file.get(), c.found.start, h.span, out.get(), h.header_size,
                         walk.from_usb ? &written : nullptr,
                         [&](uint64_t done) { progress.done(done); });
    }
    int error = errno;
    if (ok) {
        std::printf("\b\b\b\b100%c\n", '%');
        ok = platform::close_written(std::move(out));
        error = errno;
    }
    out.reset();
    if (!ok) {
        std::printf("Image%d update failed (err %d)\n", slot, error);
        std::remove(temporary.c_str());
        return Result::failed;
    }
    if (must_match(walk, verified) && !same_payload(verified, written)) {
        std::remove(temporary.c_str());
        std::printf("%s", CHANGED_AFTER_CHECK);
        return Result::failed;
    }
    if (std::rename(temporary.c_str(), slot_path.c_str()) != 0) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        std::remove(temporary.c_str());
        return Result::failed;
    }
    std::printf("\nImage%d updated succeeded\n", slot);
    walk.installed = true;
    set_boot_image(slot); // the boot slot of the OS mode NVRAM holds now
    walk.tesk = false;
    record_image_timestamp(slot);
    return Result::done;
}

Result install_application(Walk& walk, const Component& c) {
    std::printf("Installing Application: ");
    std::fflush(stdout);
    PayloadDigest verified;
    EarlySlotFile early = open_early_slot_file(walk, c);
    if (!verify_image_signature(walk.file.get(), c.header.data(), c.header.size(),
                                walk.env.security, &verified,
                                early.tee ? early.tee->sink() : PayloadSink{})) {
        drop_early_slot_file(&early);
        return Result::failed;
    }
    if (walk.slot == 0) {
        std::printf("Install image as image 1 or 2 (hit return to just boot image): ");
        std::fflush(stdout);
        char answer[ANSWER_SIZE];
        read_answer(walk.env.input, answer);
        if (answer[0] == '1' || answer[0] == '2')
            walk.slot = answer[0] - '0';
    }
    if (walk.slot == 0)
        return boot_downloaded_image(walk, c, verified);
    return install_into_slot(walk, c, verified, &early);
}

Result install_tesk_application(Walk& walk, const Component& c) {
    std::printf("Installing TESK application: ");
    std::fflush(stdout);
    PayloadDigest verified;
    if (!verify_image_signature(walk.file.get(), c.header.data(), c.header.size(),
                                walk.env.security, &verified))
        return Result::failed;
    while (walk.slot == 0) {
        std::printf("Install image as image 1 or 2 (q to quit): ");
        std::fflush(stdout);
        char answer[ANSWER_SIZE];
        // End of input ends the prompt as q does: nobody is left to answer.
        if (!read_answer(walk.env.input, answer) || answer[0] == 'q' || answer[0] == 'Q')
            return Result::quit;
        if (answer[0] == '1' || answer[0] == '2')
            walk.slot = answer[0] - '0';
    }
    const int slot = walk.slot;
    const ComponentHeader& h = c.fields();
    const InstallEnvironment& env = walk.env;
    std::printf("Installing image as image%d: ", slot);
    std::printf("Preparing image for installation: ");
    const std::string compressed = env.tesk_staging + ".gz";
    // A failed install must not leave an image-sized staging file on /user.
    const auto drop_staging = [&] {
        std::remove(compressed.c_str());
        std::remove(env.tesk_staging.c_str());
    };
    errno = 0;
    if (!seek_image(walk.file.get(), c.payload_start()) ||
        !copy_stream_to_file(compressed.c_str(), walk.file.get(),
                             static_cast<uint32_t>(h.payload_size))) {
        const int error = errno;
        drop_staging();
        std::printf("WARNING: writing image file failed (err %d)\n", error);
        return Result::failed;
    }
    if (must_match(walk, verified) && !same_payload(verified, digest_of_file(compressed))) {
        drop_staging();
        std::printf("%s", CHANGED_AFTER_CHECK);
        return Result::failed;
    }
    if (env.check_user_filesystem)
        env.check_user_filesystem(0, 0);
    std::printf("decompressing image...\n");
    run(env, "gunzip " + compressed);

    std::printf("Installing image: ");
    const std::string& target = env.tesk_devices[slot == 2 ? 1 : 0];
    errno = 0;
    if (!copy_file_with_progress(env.tesk_staging.c_str(), target.c_str())) {
        const int error = errno;
        drop_staging();
        std::printf("WARNING: writing image file failed (err %d)\n", error);
        return Result::failed;
    }
    std::printf("Cleaning up partition....");
    std::fflush(stdout);
    run(env, "e2fsck -fp " + target + " &> /tmp/e2fsck.log");
    std::printf("..");
    std::fflush(stdout);
    run(env, "e2fsck -fp " + target + " &> /tmp/e2fsck2.log");
    std::printf("..");
    std::fflush(stdout);
    run(env, "resize2fs " + target + " &> /tmp/resize2fs.log");

    std::printf("\nImage%d updated succeeded\n", slot);
    walk.installed = true;
    walk.tesk = true;
    set_os_mode(1);
    const std::string name = "image" + std::to_string(slot);
    record(env, name.c_str(), h);
    record(env, "uboot", h);
    set_boot_image(slot);
    run(env, "rm " + env.tesk_staging + "*");
    return Result::done;
}

Result install_onie(Walk& walk, const Component& c) {
    std::printf("Installing ONIE: ");
    std::fflush(stdout);
    const ComponentHeader& h = c.fields();
    if (h.payload_size > ONIE_PAYLOAD_LIMIT) {
        std::printf("ONIE image is too big for flash (%d > %d)\n", static_cast<int>(h.payload_size),
                    static_cast<int>(ONIE_PAYLOAD_LIMIT));
        return Result::failed;
    }
    PayloadDigest verified;
    if (!verify_image_signature(walk.file.get(), c.header.data(), c.header.size(),
                                walk.env.security, &verified))
        return Result::failed;
    std::vector<uint8_t> payload;
    if (!read_exactly(walk.file.get(), c.payload_start(), h.payload_size, &payload)) {
        std::printf("ONIE image update failed\n");
        return Result::failed;
    }
    if (must_match(walk, verified) &&
        !same_payload(verified, digest_of(payload.data(), payload.size()))) {
        std::printf("%s", CHANGED_AFTER_CHECK);
        return Result::failed;
    }
    if (!write_flash(ONIE, payload, "ONIE image update failed"))
        return Result::failed;
    write_header_copy(c.header, walk.env.images_dir + "/onie-hdr",
                      "WARNING: ONIE header file updated failed (err %d)\n");
    record(walk.env, "onie", h);
    walk.installed = true;
    return Result::done;
}

Result install_odm_diagnostics(Walk& walk, const Component& c) {
    std::printf("Installing ODM Diagnostics: ");
    std::fflush(stdout);
    PayloadDigest verified;
    if (!verify_image_signature(walk.file.get(), c.header.data(), c.header.size(),
                                walk.env.security, &verified))
        return Result::failed;
    const InstallEnvironment& env = walk.env;
    make_directory(env.odm_dir);
    // Written beside the old image and renamed over it only when whole, so a
    // failed copy keeps the diagnostics the switch had.
    const std::string target = env.odm_dir + "/uImage", fresh = target + ".new";
    errno = 0;
    if (!seek_image(walk.file.get(), c.payload_start()) ||
        !copy_stream_to_file(fresh.c_str(), walk.file.get(),
                             static_cast<uint32_t>(c.fields().payload_size))) {
        const int error = errno;
        std::remove(fresh.c_str());
        std::printf("WARNING: writing ODM image file failed (err %d)\n", error);
        return Result::failed;
    }
    if (must_match(walk, verified) && !same_payload(verified, digest_of_file(fresh))) {
        std::remove(fresh.c_str());
        std::printf("%s", CHANGED_AFTER_CHECK);
        return Result::failed;
    }
    if (std::rename(fresh.c_str(), target.c_str()) != 0) {
        const int error = errno;
        std::remove(fresh.c_str());
        std::printf("WARNING: writing ODM image file failed (err %d)\n", error);
        return Result::failed;
    }
    run(env, "md5sum " + env.odm_dir + "/*");
    walk.installed = true;
    return Result::done;
}

Result install_component(Walk& walk, const Component& c) {
    switch (c.fields().type) {
    case IMAGE_TYPE_BOOT_LOADER:
        return install_boot_loader(walk, c);
    case IMAGE_TYPE_KERNEL:
        return install_flash_component(
            walk, c,
            {"Installing Kernel: ", "KERNEL image is too big for flash (%d > %d)\n", KERNEL,
             KERNEL_SPAN_LIMIT, "kernel image update failed"});
    case IMAGE_TYPE_ROOT_FS:
        return install_flash_component(
            walk, c,
            {"Installing Root Filesystem: ", "RFS image is too big for flash (%d > %d)\n", RFS,
             ROOT_FS_SPAN_LIMIT, "RFS image update failed"});
    case IMAGE_TYPE_DEVICE_TREE:
        return install_flash_component(
            walk, c,
            {"Installing Device Tree: ", "DFT image is too big for flash (%d > %d)\n", DEVICETREE,
             DEVICE_TREE_SPAN_LIMIT, "DFT image update failed"});
    case IMAGE_TYPE_APPLICATION:
        return install_application(walk, c);
    case IMAGE_TYPE_TESK_APPLICATION:
        return install_tesk_application(walk, c);
    case IMAGE_TYPE_ONIE:
        return install_onie(walk, c);
    case IMAGE_TYPE_ODM_DIAGS:
        return install_odm_diagnostics(walk, c);
    default:
        return Result::done; // no meaning here: passed over
    }
}

bool under_directory(const char* path, const std::string& dir) {
    const size_t n = dir.size();
    return !dir.empty() && std::strncmp(path, dir.c_str(), n) == 0 && path[n] == '/';
}

} // namespace

int install_image_file(const char* path, int check_same_version, int slot,
                       const InstallEnvironment& environment) {
    Walk walk{environment, check_same_version != 0, slot,
              under_directory(path, environment.usb_dir), UniqueFile(nullptr)};
    walk.tesk = is_tesk_mode() != 0;
    walk.file.reset(std::fopen(path, "r"));
    std::printf("\nExtracting images ... Do *NOT* power cycle the switch.\n");
    if (!walk.file) {
        std::printf("Unable to open %s (err %d)\n", path, errno);
        return 0;
    }
    ImageWalker walker(walk.file.get(), HeaderRules::versions_1_and_3);
    for (;;) {
        ImageComponent found;
        const WalkStep step = walker.next(&found);
        if (step == WalkStep::end)
            break;
        print_image_header(found.probe, 0);
        // A header length outside the component leaves no payload to speak
        // of: as corrupt as a length field beyond the limit.
        if (found.header.span > IMAGE_SPAN_LIMIT || step == WalkStep::malformed) {
            std::printf("Image has invalid length field. Quitting (%d)\n",
                        static_cast<int>(found.header.span));
            return 0;
        }
        std::vector<uint8_t> header;
        if (!read_image_bytes(walk.file.get(), found.start, found.header.header_size, &header) ||
            !seek_image(walk.file.get(), found.start))
            break; // the file ends inside the header: nothing more to install
        const Result result = install_component(walk, Component{found, header});
        if (result != Result::done)
            return 0;
    }
    walk.file.reset();
    if (!walk.installed && !walk.skipped) {
        std::printf("ERROR: No valid image found\n");
        return 0;
    }
    if (walk.tesk != (is_tesk_mode() != 0))
        set_os_mode(walk.tesk ? 1 : 0);
    return walk.installed ? 1 : 0;
}

int record_image_timestamp(int slot) {
    RtcTime time{};
    rtc_read_time(&time);
    platform::sleep_seconds(1);
    return set_image_timestamp(slot, time);
}
