// The installation engine on a simulated board of its own: what each kind of
// component prints, writes to flash, /user and NVRAM, and which commands and
// records it asks for. The tools and the hand-over are stand-ins here, so
// nothing runs on this machine.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/resource.h>

#include <csignal>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "board/board_state.h"
#include "image/image_format.h"
#include "image/install_engine.h"
#include "image/key_store.h"
#include "image/openssl_handles.h"
#include "image/signature.h"
#include "image/signing_key_files.h"
#include "image_bytes.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/nvram.h"
#include "platform/unique_file.h"
#include "test_support.h"

namespace {

using namespace image_test;
using test_support::file_exists;
using test_support::read_file;
using test_support::write_file;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using vswitch::Partition;

Bytes signed_component(uint32_t type, uint32_t id, const Bytes& payload) {
    platform::UniqueFile key_file(std::fopen(PRODUCTION_SIGNING_KEY_FILE, "r"));
    openssl::Pkey key(PEM_read_PrivateKey(key_file.get(), nullptr, nullptr, nullptr));
    openssl::MdCtx ctx(EVP_MD_CTX_new());
    Bytes signature(256);
    size_t length = signature.size();
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get());
    EVP_DigestSign(ctx.get(), signature.data(), &length, payload.data(), payload.size());
    const Bytes record = signature_record(signature);
    const auto len = static_cast<uint32_t>(8 + record.size() + payload.size());
    return concat({v3_header(len, type, id, {record}), payload});
}

Bytes part(const Bytes& bytes, size_t from, size_t length) {
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + length));
}

const Bytes PAYLOAD = [] { // more than one 64 KiB piece, no two alike
    Bytes bytes(0x14000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    return bytes;
}();
const uint32_t V = 0x01020304;
const std::string OK = " Image signature verified. ";

class InstallEngine : public testing::Test {
  protected:
    void SetUp() override {
        if (!*PRODUCTION_SIGNING_KEY_FILE)
            GTEST_SKIP() << "the build was given public keys without their private halves";
        ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
        vswitch::use_board_in_this_process(board());
        i2c_open_buses();
        flash_init();
        board().set_rtc({0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25});
        // clang-format off
        env.images_dir = D("images"), env.odm_dir = D("odm"), env.boot_archive = D("archive.tar.gz");
        env.tesk_staging = D("nos-image"), env.tesk_devices[0] = D("p2"), env.tesk_devices[1] = D("p3");
        env.usb_dir = D("usb"), env.security = {D("p.pem"), D("d.pem"), D("rfs"), D("lowsec")};
        // clang-format on
        ::mkdir(env.usb_dir.c_str(), 0755);
        ::mkdir(env.images_dir.c_str(), 0755);
        write_file(env.security.developer_images_partition,
                   signed_component(IMAGE_TYPE_ROOT_FS, 0, Bytes(64, 1)));
        // The key files made and the developer-images answer settled before
        // the rows, which then print only what the engine says.
        CaptureStdout();
        KeyRecord key{};
        EXPECT_EQ(load_signing_key(&key, env.security.production_key.c_str(), env.security) +
                      developer_images_installed(env.security),
                  1);
        GetCapturedStdout();
        env.run_command = [this](const char* command) {
            done += std::string(command) + "|";
            if (std::string(command).rfind("gunzip ", 0) == 0) // leaves the file without .gz
                std::rename((env.tesk_staging + ".gz").c_str(), env.tesk_staging.c_str());
            return 0;
        };
        env.update_records = [this](const char* name, uint32_t version, uint32_t crc) {
            char text[64];
            std::snprintf(text, sizeof text, "%s %08x %08x|", name, version, crc);
            done += text;
            return 1;
        };
        env.check_user_filesystem = [this](int report, int timeout) {
            done += "check " + std::to_string(report) + std::to_string(timeout) + "|";
            return 1;
        };
        env.launch = [](bool) { std::abort(); }; // booted on the virtual switch
    }
    void TearDown() override {
        i2c_close_buses();
        forget_developer_images_state();
    }
    vswitch::Board& board() { return board_.board(); }
    std::string D(const char* name) { return dir.file(name); }

    // Lays out bytes as an image file (under the USB directory when from_usb)
    // and the answers to be typed in; the image's path.
    std::string prepare(const Bytes& image, const std::string& answers, bool from_usb = false) {
        const std::string path = from_usb ? env.usb_dir + "/image" : dir.file("image");
        write_file(path, image);
        write_file(dir.file("answers"), Bytes(answers.begin(), answers.end()));
        input.reset(on_input ? fopencookie(this, "r", {on_input, nullptr, nullptr, nullptr})
                             : std::fopen(dir.file("answers").c_str(), "r"));
        env.input = input.get();
        board().clear_logs();
        std::fflush(stdout);
        return path;
    }
    // Installs the image; what is printed.
    std::string install(const Bytes& image, int check, int slot, const std::string& answers,
                        int* result, bool from_usb = false) {
        const std::string path = prepare(image, answers, from_usb);
        CaptureStdout();
        *result = install_image_file(path.c_str(), check, slot, env);
        std::fflush(stdout);
        return GetCapturedStdout();
    }
    // The NVRAM bytes written, in order: "offset=value".
    std::string nvram_writes() {
        std::string text;
        for (const auto& t : board().i2c_log())
            if (t.address == 0x56 && t.write && t.bytes.size() == 3) {
                char field[16];
                std::snprintf(field, sizeof field, "%x=%02x ", t.bytes[0] << 8 | t.bytes[1],
                              t.bytes[2]);
                text += field;
            }
        return text;
    }

  public:
    test_support::TempDir dir;
    InstallEnvironment env;
    std::string done; // commands, records and checks asked for, each ended by |
    cookie_read_function_t* on_input = nullptr;
    platform::UniqueFile input;

  private:
    vswitch::TemporaryBoard board_;
};

TEST_F(InstallEngine, DecisionTable) {
    const Bytes kernel = signed_component(IMAGE_TYPE_KERNEL, V, PAYLOAD);
    const Bytes loader = v1_component(IMAGE_TYPE_BOOT_LOADER, V, BOOT_LOADER_PAYLOAD_LIMIT, 0x5C);
    const Bytes app = signed_component(IMAGE_TYPE_APPLICATION, V, PAYLOAD);
    const Bytes tesk = signed_component(IMAGE_TYPE_TESK_APPLICATION, V, PAYLOAD);
    const Bytes onie = signed_component(IMAGE_TYPE_ONIE, V, PAYLOAD);
    const Bytes unknown = v1_component(0x0A4D4152, V, 40);
    const std::string big = " image is too big for flash (";
    const std::string copied = "    \b\b\b\b080%\b\b\b\b100%\n";
    // clang-format off
    const std::string loader_ok = "Installing Boot Loader:      \b\b\b\b000%\b\b\b\b012%\b\b\b\b025%\b\b\b\b037%\b\b\b\b050%\b\b\b\b062%\b\b\b\b075%\b\b\b\b087%\b\b\b\b100%\n";
    const std::string tesk_prompt = "Install image as image 1 or 2 (q to quit): ";
    const std::string tesk_log = "check 00|gunzip D/nos-image.gz|e2fsck -fp D/p3 &> /tmp/e2fsck.log|e2fsck -fp D/p3 &> /tmp/e2fsck2.log|resize2fs D/p3 &> /tmp/resize2fs.log|image2 01020304 00000000|uboot 01020304 00000000|rm D/nos-image*|";
    const struct {
        const char* name;
        Bytes image;
        int check, slot;
        const char* answers;
        std::function<void()> before;
        int result;
        std::string printed, done; // printed after the extracting line
        std::function<void()> after;
    } rows[] = {
        {"boot loader at its limit, unsigned, then 23 bytes", concat({loader, Bytes(23)}), 0, 1, "", [] {}, 1, loader_ok, "uboot 01020304 00000000|", [&] {
             EXPECT_EQ(board().flash(Partition::uboot, 0, BOOT_LOADER_PAYLOAD_LIMIT + 1), concat({part(loader, 16, BOOT_LOADER_PAYLOAD_LIMIT), {0xFF}}));
             EXPECT_EQ(read_file(D("images/uboot-hdr")), part(loader, 0, 16)); }},
        {"boot loader too big", v1_component(IMAGE_TYPE_BOOT_LOADER, V, BOOT_LOADER_PAYLOAD_LIMIT + 1), 0, 1, "", [] {}, 0, "Installing Boot Loader: UBOOT" + big + "524289 > 524288)\n", "", [] {}},
        {"same kernel skipped, unknown passed over", concat({kernel, unknown}), 1, 1, "", [&] { board().set_flash(Partition::kernel, 0, part(kernel, 0, 16)); }, 0,
         "Installing Kernel: Image has same version as existing image. Skipping update...\n", "", [] {}},
        {"unsigned kernel", v1_component(IMAGE_TYPE_KERNEL, V, 100), 0, 1, "", [] {}, 0, "Installing Kernel:  Image rejected as it has no signature\n", "", [] {}},
        {"kernel write fails", kernel, 0, 1, "", [&] { board().fail_flash_write_at(Partition::kernel, 0x10400); }, 0,
         "Installing Kernel: " + OK + "     \b\b\b\b000%Flash Write mtd write failed.\n\nkernel image update failed\n", "", [] {}},
        {"device tree too big", v1_component(IMAGE_TYPE_DEVICE_TREE, V, DEVICE_TREE_SPAN_LIMIT - 15), 0, 1, "", [] {}, 0, "Installing Device Tree: DFT" + big + "131073 > 131072)\n", "", [] {}},
        {"only unknown types", concat({unknown, unknown}), 0, 1, "", [] {}, 0, "ERROR: No valid image found\n", "", [] {}},
        {"length beyond 1 GiB", concat({base_header(0, 0x40000000, IMAGE_TYPE_KERNEL, V), Bytes(8)}), 0, 1, "", [] {}, 0, "Image has invalid length field. Quitting (1073741840)\n", "", [] {}},
        {"application into slot 2 on a TESK board", app, 0, 0, "2 and more\n", [&] { board().set_nvram_byte(NVRAM_OS_MODE, OS_MODE_TESK); }, 1,
         "Installing Application: " + OK + "Install image as image 1 or 2 (hit return to just boot image): Installing image as image2:     \b\b\b\b079%\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\n", "", [&] {
             EXPECT_EQ(read_file(D("images/image2")), app);
             EXPECT_EQ(nvram_writes(), "139=02 110=30 111=45 112=13 113=02 114=24 115=06 116=25 138=45 "); }},
        {"end of input at the TESK prompt", concat({loader, tesk}), 0, 0, "x\n", [] {}, 0, loader_ok + "Installing TESK application: " + OK + tesk_prompt + tesk_prompt, "uboot 01020304 00000000|", [] {}},
        {"q at the TESK prompt", concat({loader, tesk}), 0, 0, "q\n1\n", [] {}, 0, loader_ok + "Installing TESK application: " + OK + tesk_prompt, "uboot 01020304 00000000|", [] {}},
        {"TESK into slot 2", tesk, 0, 2, "", [] {}, 1,
         "Installing TESK application: " + OK + "Installing image as image2: Preparing image for installation: " + copied + "decompressing image...\nInstalling image: " + copied + "Cleaning up partition........\nImage2 updated succeeded\n", tesk_log, [&] {
             EXPECT_EQ(read_file(D("p3")), PAYLOAD);
             EXPECT_EQ(nvram_writes(), "138=43 139=02 "); }},
        {"ONIE", onie, 0, 1, "", [] {}, 1, "Installing ONIE: " + OK + "     \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n", "onie 01020304 00000000|", [&] {
             EXPECT_EQ(board().flash(Partition::onie, 0, 0x14000), PAYLOAD);
             EXPECT_EQ(read_file(D("images/onie-hdr")), part(onie, 0, onie.size() - PAYLOAD.size())); }},
        {"ONIE too big", v1_component(IMAGE_TYPE_ONIE, V, ONIE_PAYLOAD_LIMIT + 1), 0, 1, "", [] {}, 0, "Installing ONIE: ONIE" + big + "4063233 > 4063232)\n", "", [] {}},
        {"ODM diagnostics", signed_component(IMAGE_TYPE_ODM_DIAGS, V, PAYLOAD), 0, 1, "", [] {}, 1, "Installing ODM Diagnostics: " + OK + copied, "md5sum D/odm/*|", [&] {
             EXPECT_EQ(read_file(D("odm/uImage")), PAYLOAD); }},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        done.clear();
        board().erase_flash(Partition::kernel);
        board().clear_faults();
        board().set_nvram_byte(NVRAM_OS_MODE, 0xFF);
        row.before();
        int result = -1;
        EXPECT_EQ(install(row.image, row.check, row.slot, row.answers, &result),
                  "\nExtracting images ... Do *NOT* power cycle the switch.\n" + row.printed);
        EXPECT_EQ(result, row.result);
        for (size_t at; (at = done.find(dir.path())) != std::string::npos;)
            done.replace(at, dir.path().size(), "D");
        EXPECT_EQ(done, row.done);
        row.after();
    }
}

// A slot keeps its image until the new one is whole and, from the USB stick,
// holds the bytes verified.
TEST_F(InstallEngine, SlotFileReplacedOnlyWhenWhole) {
    const Bytes app = signed_component(IMAGE_TYPE_APPLICATION, V, PAYLOAD), old(100, 0x0D);
    const std::string
        slot1 = D("images/image1"),
        asked =
            "\nExtracting images ... Do *NOT* power cycle the switch.\nInstalling Application: " +
            OK + "Install image as image 1 or 2 (hit return to just boot image): ";
    int result = -1;

    // A write that fails half-way: the slot keeps its image, no temporary
    // file stays.
    write_file(slot1, old);
    rlimit limit{}, small{0x10000 + 100, 0};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    small.rlim_max = limit.rlim_max;
    std::signal(SIGXFSZ, SIG_IGN);
    std::string path = prepare(app, "1\n");
    CaptureStdout();
    ::setrlimit(RLIMIT_FSIZE, &small);
    result = install_image_file(path.c_str(), 0, 0, env);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(GetCapturedStdout(),
              asked +
                  "Installing image as image1:     \b\b\b\b079%Image1 update failed (err 27)\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(slot1), old);
    EXPECT_FALSE(file_exists(slot1 + ".new"));

    // The stick is rewritten while the operator answers.
    on_input = [](void* cookie, char* buffer, size_t) -> ssize_t {
        auto* test = static_cast<InstallEngine*>(cookie);
        platform::UniqueFile image(std::fopen((test->env.usb_dir + "/image").c_str(), "r+"));
        std::fseek(image.get(), 20000, SEEK_SET);
        std::fputc('!', image.get());
        buffer[0] = '1';
        buffer[1] = '\n';
        test->on_input = nullptr;
        return 2;
    };
    EXPECT_EQ(install(app, 0, 0, "", &result, true),
              asked + "Installing image as image1:     \b\b\b\b079%\b\b\b\b100%\b\b\b\b100%\n" +
                  "ERROR: image changed after its signature was checked. Image rejected.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(slot1), old);
    EXPECT_FALSE(file_exists(slot1 + ".new"));
}

} // namespace
