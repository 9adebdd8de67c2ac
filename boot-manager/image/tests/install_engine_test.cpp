// The installation engine on a simulated board of its own: what each kind of
// component prints, writes to flash, /user and NVRAM, and which commands and
// records it asks for. The tools and the hand-over are stand-ins here, so
// nothing runs on this machine.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <functional>

#include "board/board_state.h"
#include "image/image_format.h"
#include "image/install_engine.h"
#include "image/key_store.h"
#include "image/signature.h"
#include "platform/flash.h"
#include "platform/i2c.h"
#include "platform/nvram.h"
#include "signed_component.h"
#include "test_support.h"

namespace {

using namespace image_test;
using test_support::read_file;
using test_support::signed_component;
using test_support::write_file;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using vswitch::Partition;
const uint32_t V = 0x01020304;

Bytes part(const Bytes& bytes, long from, long length) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + length);
}

// The operator's answer to the slot prompt, typed while the stick's image is
// rewritten under the engine.
ssize_t answer_after_rewriting_the_stick(void* env, char* buffer, size_t) {
    platform::UniqueFile image(
        std::fopen((static_cast<InstallEnvironment*>(env)->usb_dir + "/image").c_str(), "r+"));
    std::fseek(image.get(), 20000, SEEK_SET);
    std::fputc('!', image.get());
    return std::snprintf(buffer, 3, "1\n");
}

TEST(InstallEngine, EachComponentKindItsFailuresAndTheSlotFileReplacedOnlyWhenWhole) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    ASSERT_TRUE(vswitch::interposer_loaded()) << "run with LD_PRELOAD=libvswitch-board.so";
    vswitch::TemporaryBoard temporary_board;
    vswitch::Board& board = temporary_board.board();
    vswitch::use_board_in_this_process(board);
    i2c_open_buses();
    flash_init();
    board.set_rtc({0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25});
    test_support::TempDir dir;
    const auto D = [&](const char* name) { return dir.file(name); };
    InstallEnvironment env;
    std::string done; // commands, records and checks asked for, each ended by |
    // clang-format off
    env.images_dir = D("images"), env.odm_dir = D("odm"), env.boot_archive = D("archive.tar.gz");
    env.tesk_staging = D("nos-image"), env.tesk_devices[0] = D("p2"), env.tesk_devices[1] = D("p3");
    env.usb_dir = D("usb"), env.security = {D("p.pem"), D("d.pem"), D("rfs"), D("lowsec")};
    env.run_command = [&](const char* command) { // gunzip leaves the file without .gz
        done += std::string(command) + "|";
        return std::string(command).rfind("gunzip ", 0) == 0 ? std::rename((env.tesk_staging + ".gz").c_str(), env.tesk_staging.c_str()) : 0;
    };
    env.update_records = [&](const char* name, uint32_t version, uint32_t crc) { return done += name + (" " + std::to_string(version) + " " + std::to_string(crc) + "|"), 1; };
    env.check_user_filesystem = [&](int report, int timeout) { return done += "check " + std::to_string(report) + std::to_string(timeout) + "|", 1; };
    env.launch = [](bool) { std::abort(); }; // booted on the virtual switch
    ::mkdir(env.usb_dir.c_str(), 0755), ::mkdir(env.images_dir.c_str(), 0755);
    write_file(env.security.developer_images_partition, signed_component(IMAGE_TYPE_ROOT_FS, Bytes(64, 1)));
    // The key files made and the developer-images answer settled before the
    // rows, which then print only what the engine says.
    KeyRecord key{};
    CaptureStdout();
    EXPECT_EQ(load_signing_key(&key, env.security.production_key.c_str(), env.security) + developer_images_installed(env.security), 1);
    GetCapturedStdout();
    rlimit limit{}, small{};
    Bytes payload(0x14000); // more than one 64 KiB piece, no two alike
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    const Bytes kernel = signed_component(IMAGE_TYPE_KERNEL, payload), app = signed_component(IMAGE_TYPE_APPLICATION, payload), tesk = signed_component(IMAGE_TYPE_TESK_APPLICATION, payload);
    const Bytes onie = signed_component(IMAGE_TYPE_ONIE, payload), loader = v1_component(IMAGE_TYPE_BOOT_LOADER, V, BOOT_LOADER_PAYLOAD_LIMIT, 0x5C), unknown = v1_component(0x0A4D4152, V, 40), old(100, 0x0D);
    const std::string slot1 = D("images/image1"), big = " image is too big for flash (", ok = " Image signature verified. ", copied = "    \b\b\b\b080%\b\b\b\b100%\n";
    const std::string loader_ok = "Installing Boot Loader:      \b\b\b\b000%\b\b\b\b012%\b\b\b\b025%\b\b\b\b037%\b\b\b\b050%\b\b\b\b062%\b\b\b\b075%\b\b\b\b087%\b\b\b\b100%\n";
    const std::string tesk_prompt = "Install image as image 1 or 2 (q to quit): ", app_prompt = "Installing Application: " + ok + "Install image as image 1 or 2 (hit return to just boot image): ";
    const struct {
        const char* name; Bytes image; int check, slot; const char* answers; int result;
        std::string printed, done, nvram; // printed after the extracting line; NVRAM bytes written in order, offset=value
        std::function<void()> before = [] {}, after = [] {};
        bool from_usb = false;
    } rows[] = {
        {"boot loader at its limit, unsigned, then 23 bytes", concat({loader, Bytes(23)}), 0, 1, "", 1, loader_ok, "uboot 16909060 0|", "", [] {}, [&] { EXPECT_EQ(board.flash(Partition::uboot, 0, BOOT_LOADER_PAYLOAD_LIMIT + 1), concat({part(loader, 16, BOOT_LOADER_PAYLOAD_LIMIT), {0xFF}})); EXPECT_EQ(read_file(D("images/uboot-hdr")), part(loader, 0, 16)); }},
        {"boot loader too big", v1_component(IMAGE_TYPE_BOOT_LOADER, V, BOOT_LOADER_PAYLOAD_LIMIT + 1), 0, 1, "", 0, "Installing Boot Loader: UBOOT" + big + "524289 > 524288)\n", "", ""},
        {"same kernel skipped, unknown passed over", concat({kernel, unknown}), 1, 1, "", 0, "Installing Kernel: Image has same version as existing image. Skipping update...\n", "", "", [&] { board.set_flash(Partition::kernel, 0, part(kernel, 0, 16)); }},
        {"unsigned kernel", v1_component(IMAGE_TYPE_KERNEL, V, 100), 0, 1, "", 0, "Installing Kernel:  Image rejected as it has no signature\n", "", ""},
        {"kernel write fails", kernel, 0, 1, "", 0, "Installing Kernel: " + ok + "     \b\b\b\b000%Flash Write mtd write failed.\n\nkernel image update failed\n", "", "", [&] { board.fail_flash_write_at(Partition::kernel, 0x10400); }},
        {"device tree too big", v1_component(IMAGE_TYPE_DEVICE_TREE, V, DEVICE_TREE_SPAN_LIMIT - 15), 0, 1, "", 0, "Installing Device Tree: DFT" + big + "131073 > 131072)\n", "", ""},
        {"short file", part(kernel, 0, static_cast<long>(kernel.size()) - 100), 0, 1, "", 0, "Installing Kernel:  Image rejected. ", "", ""},
        {"only unknown types", concat({unknown, unknown}), 0, 1, "", 0, "ERROR: No valid image found\n", "", ""},
        {"length beyond 1 GiB", concat({base_header(0, 0x40000000, IMAGE_TYPE_KERNEL, V), Bytes(8)}), 0, 1, "", 0, "Image has invalid length field. Quitting (1073741840)\n", "", ""},
        {"application into slot 2 on a TESK board", app, 0, 0, "2 and more\n", 1, app_prompt + "Installing image as image2:     \b\b\b\b079%\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\n", "", "139=02 110=30 111=45 112=13 113=02 114=24 115=06 116=25 138=45 ", [&] { board.set_nvram_byte(NVRAM_OS_MODE, OS_MODE_TESK); }, [&] { EXPECT_EQ(read_file(D("images/image2")), app); }},
        {"application into slot 1 stored as its signature is checked", app, 0, 1, "", 1, "Installing Application: " + ok + "Installing image as image1:     \b\b\b\b079%\b\b\b\b100%\b\b\b\b100%\n\nImage1 updated succeeded\n", "", "100=01 108=30 109=45 10a=13 10b=02 10c=24 10d=06 10e=25 ", [&] { write_file(slot1, old); }, [&] { EXPECT_EQ(read_file(slot1), app); EXPECT_FALSE(test_support::file_exists(slot1 + ".new")); }},
        {"application for slot 1 cut short", part(app, 0, static_cast<long>(app.size()) - 100), 0, 1, "", 0, "Installing Application:  Image rejected. ", "", "", [&] { write_file(slot1, old); }, [&] { EXPECT_EQ(read_file(slot1), old); EXPECT_FALSE(test_support::file_exists(slot1 + ".new")); }},
        {"end of input at the TESK prompt", concat({loader, tesk}), 0, 0, "x\n", 0, loader_ok + "Installing TESK application: " + ok + tesk_prompt + tesk_prompt, "uboot 16909060 0|", ""},
        {"q at the TESK prompt", concat({loader, tesk}), 0, 0, "q\n1\n", 0, loader_ok + "Installing TESK application: " + ok + tesk_prompt, "uboot 16909060 0|", ""},
        {"TESK into slot 2", tesk, 0, 2, "", 1, "Installing TESK application: " + ok + "Installing image as image2: Preparing image for installation: " + copied + "decompressing image...\nInstalling image: " + copied + "Cleaning up partition........\nImage2 updated succeeded\n", "check 00|gunzip D/nos-image.gz|e2fsck -fp D/p3 &> /tmp/e2fsck.log|e2fsck -fp D/p3 &> /tmp/e2fsck2.log|resize2fs D/p3 &> /tmp/resize2fs.log|image2 0 0|uboot 0 0|rm D/nos-image*|", "138=43 139=02 ", [] {}, [&] { EXPECT_EQ(read_file(D("p3")), payload); }},
        {"ONIE", onie, 0, 1, "", 1, "Installing ONIE: " + ok + "     \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n", "onie 0 0|", "", [] {}, [&] { EXPECT_EQ(board.flash(Partition::onie, 0, 0x14000), payload); EXPECT_EQ(read_file(D("images/onie-hdr")), part(onie, 0, onie.size() - payload.size())); }},
        {"ONIE too big", v1_component(IMAGE_TYPE_ONIE, V, ONIE_PAYLOAD_LIMIT + 1), 0, 1, "", 0, "Installing ONIE: ONIE" + big + "4063233 > 4063232)\n", "", ""},
        {"ODM diagnostics", signed_component(IMAGE_TYPE_ODM_DIAGS, payload), 0, 1, "", 1, "Installing ODM Diagnostics: " + ok + copied, "md5sum D/odm/*|", "", [] {}, [&] { EXPECT_EQ(read_file(D("odm/uImage")), payload); }},
        {"slot file write failing half-way", app, 0, 0, "1\n", 0, app_prompt + "Installing image as image1:     \b\b\b\b079%Image1 update failed (err 27)\n", "", "", [&] { write_file(slot1, old), std::signal(SIGXFSZ, SIG_IGN), ::getrlimit(RLIMIT_FSIZE, &limit), small = limit, small.rlim_cur = 0x10000 + 100, ::setrlimit(RLIMIT_FSIZE, &small); }, [&] { ::setrlimit(RLIMIT_FSIZE, &limit); EXPECT_EQ(read_file(slot1), old); EXPECT_FALSE(test_support::file_exists(slot1 + ".new")); }},
        {"stick rewritten while the operator answers", app, 0, 0, "", 0, app_prompt + "Installing image as image1:     \b\b\b\b079%\b\b\b\b100%\b\b\b\b100%\nERROR: image changed after its signature was checked. Image rejected.\n", "", "", [&] { write_file(slot1, old); }, [&] { EXPECT_EQ(read_file(slot1), old); EXPECT_FALSE(test_support::file_exists(slot1 + ".new")); }, true},
        // Files on /user and /tmp that cannot be created or fill the filesystem (faults/file-*).
        {"header copy on a full filesystem", onie, 0, 1, "", 1, "Installing ONIE: " + ok + "     \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\nWARNING: ONIE header file updated failed (err 28)\n", "onie 0 0|", "", [&] { board.fail_file("file-enospc", D("images/onie-hdr")); }, [&] { EXPECT_EQ(read_file(D("images/onie-hdr")), Bytes{}); }},
        {"header copy not created", loader, 0, 1, "", 1, loader_ok + "WARNING: Unable to open " + D("images/uboot-hdr") + " for writing\n", "uboot 16909060 0|", "", [&] { board.fail_file("file-missing", D("images/uboot-hdr")); }},
        {"ODM copy on a full filesystem", signed_component(IMAGE_TYPE_ODM_DIAGS, payload), 0, 1, "", 0, "Installing ODM Diagnostics: " + ok + "    File " + D("odm/uImage.new") + " write failed (err 28: bytes_written 0, len 81920, wr_len 65536)\nWARNING: writing ODM image file failed (err 28)\n", "", "", [&] { write_file(D("odm/uImage"), Bytes{7}); board.fail_file("file-enospc", D("odm/uImage.new")); }, [&] { EXPECT_EQ(read_file(D("odm/uImage")), Bytes{7}); EXPECT_FALSE(test_support::file_exists(D("odm/uImage.new"))); }},
        {"ODM copy not created", signed_component(IMAGE_TYPE_ODM_DIAGS, payload), 0, 1, "", 0, "Installing ODM Diagnostics: " + ok + "WARNING: writing ODM image file failed (err 2)\n", "", "", [&] { board.fail_file("file-missing", D("odm/uImage.new")); }},
        {"TESK partition full", tesk, 0, 2, "", 0, "Installing TESK application: " + ok + "Installing image as image2: Preparing image for installation: " + copied + "decompressing image...\nInstalling image:     File write failed (err 28: bytes_written 0, len 81920, wr_len 65536)\nWARNING: writing image file failed (err 28)\n", "check 00|gunzip D/nos-image.gz|", "", [&] { board.fail_file("file-enospc", D("p3")); }, [&] { EXPECT_FALSE(test_support::file_exists(D("nos-image"))); }},
        {"TESK staging file not created", tesk, 0, 2, "", 0, "Installing TESK application: " + ok + "Installing image as image2: Preparing image for installation: WARNING: writing image file failed (err 2)\n", "", "", [&] { board.fail_file("file-missing", D("nos-image.gz")); }},
        {"slot file not created", app, 0, 0, "1\n", 0, app_prompt + "Installing image as image1: Image1 update failed (err 2)\n", "", "", [&] { write_file(slot1, old); board.fail_file("file-missing", slot1 + ".new"); }, [&] { EXPECT_EQ(read_file(slot1), old); }},
        {"slot file on a full filesystem", app, 0, 1, "", 0, "Installing Application: " + ok + "Installing image as image1:     Image1 update failed (err 28)\n", "", "", [&] { write_file(slot1, old); board.fail_file("file-enospc", slot1 + ".new"); }, [&] { EXPECT_EQ(read_file(slot1), old); EXPECT_FALSE(test_support::file_exists(slot1 + ".new")); }},
        {"boot archive on a full filesystem", app, 0, 0, "\n", 0, app_prompt + "Booting downloaded image\nImage unpack failed (err 28)\n", "", "", [&] { board.fail_file("file-enospc", D("archive.tar.gz")); }, [&] { EXPECT_FALSE(test_support::file_exists(D("archive.tar.gz"))); }},
        {"boot archive not created", app, 0, 0, "\n", 0, app_prompt + "Booting downloaded image\nImage unpack failed (err 2)\n", "", "", [&] { board.fail_file("file-missing", D("archive.tar.gz")); }},
        {"TESK image gone after unpacking", tesk, 0, 2, "", 0, "Installing TESK application: " + ok + "Installing image as image2: Preparing image for installation: " + copied + "decompressing image...\nInstalling image: WARNING: writing image file failed (err 2)\n", "check 00|gunzip D/nos-image.gz|", "", [&] { board.fail_file("file-missing", D("nos-image")); }, [&] { EXPECT_FALSE(test_support::file_exists(D("nos-image"))); }},
        {"TESK image unreadable", tesk, 0, 2, "", 0, "Installing TESK application: " + ok + "Installing image as image2: Preparing image for installation: " + copied + "decompressing image...\nInstalling image:     WARNING: unexpected read buffer len 0 != 65536\n\b\b\b\b080%WARNING: unexpected read buffer len 0 != 16384\n\b\b\b\b100%\nWARNING: writing image file failed (err 5)\n", "check 00|gunzip D/nos-image.gz|", "", [&] { board.fail_file("file-eio", D("nos-image")); }, [&] { EXPECT_EQ(read_file(D("p3")), Bytes(payload.size())); EXPECT_FALSE(test_support::file_exists(D("nos-image"))); }},
        {"staged TESK image not read back", tesk, 0, 2, "", 0, "Installing TESK application: " + ok + "Installing image as image2: Preparing image for installation: " + copied + "ERROR: image changed after its signature was checked. Image rejected.\n", "", "", [&] { board.fail_file("file-missing-reading", D("nos-image.gz")); }, [&] { EXPECT_FALSE(test_support::file_exists(D("nos-image.gz"))); }, true},
        {"staged TESK image unreadable", tesk, 0, 2, "", 0, "Installing TESK application: " + ok + "Installing image as image2: Preparing image for installation: " + copied + "ERROR: image changed after its signature was checked. Image rejected.\n", "", "", [&] { board.fail_file("file-eio-reading", D("nos-image.gz")); }, [&] { EXPECT_FALSE(test_support::file_exists(D("nos-image.gz"))); }, true},
        {"TESK partition missing", tesk, 0, 1, "", 0, "Installing TESK application: " + ok + "Installing image as image1: Preparing image for installation: " + copied + "decompressing image...\nInstalling image: WARNING: writing image file failed (err 2)\n", "check 00|gunzip D/nos-image.gz|", "", [&] { board.fail_file("file-missing", D("p2")); }, [&] { EXPECT_FALSE(test_support::file_exists(D("p2")) || test_support::file_exists(D("nos-image"))); }},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        done.clear();
        board.clear_faults();
        board.set_nvram_byte(NVRAM_OS_MODE, 0xFF);
        const std::string path = row.from_usb ? env.usb_dir + "/image" : D("image");
        write_file(path, row.image);
        platform::UniqueFile input(
            row.from_usb ? fopencookie(&env, "r", {answer_after_rewriting_the_stick, {}, {}, {}})
                         : fmemopen(const_cast<char*>(row.answers), std::strlen(row.answers), "r"));
        env.input = input.get();
        row.before();
        board.clear_logs();
        CaptureStdout();
        EXPECT_EQ(install_image_file(path.c_str(), row.check, row.slot, env), row.result);
        std::fflush(stdout);
        EXPECT_EQ(GetCapturedStdout(),
                  "\nExtracting images ... Do *NOT* power cycle the switch.\n" + row.printed);
        for (size_t at; (at = done.find(dir.path())) != std::string::npos;)
            done.replace(at, dir.path().size(), "D");
        std::string nvram;
        char field[16];
        for (const auto& t : board.i2c_log())
            if (t.address == 0x56 && t.write && t.bytes.size() == 3)
                nvram += (std::snprintf(field, sizeof field, "%x=%02x ",
                                        t.bytes[0] << 8 | t.bytes[1], t.bytes[2]),
                          field);
        EXPECT_EQ(done + nvram, row.done + row.nvram);
        row.after();
    }
    i2c_close_buses();
    forget_developer_images_state();
}

} // namespace
