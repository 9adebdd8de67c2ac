// The boot decisions in-process: the boot options, the date command, which
// component boots, what the signature check and the unpack see, the rejected
// list.
#include <gtest/gtest.h>

#include <numeric>
#include <regex>

#include "boot/boot_sequence.h"
#include "boot/slot_boot.h"
#include "boot/slots.h"
#include "boot/usb_images.h"
#include "fickle_stream.h"
#include "platform/boot_options.h"
#include "signed_component.h"
#include "test_support.h"

namespace {

using namespace image_test;
using platform::UniqueFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t APP = IMAGE_TYPE_APPLICATION, KERNEL = IMAGE_TYPE_KERNEL;

TEST(FindBootComponent, FirstApplicationOsAfterTheOverrideRule) {
    const Bytes kernel = v1_component(KERNEL, 0, 100);
    const auto v3 = [](uint32_t type, uint32_t override_type) {
        return concat({v3_header(40, type, 0, {record(6, 8, be(override_type, 4))}), Bytes(16)});
    };
    // Expected start, header and payload size, type; type 0: nothing found.
    const std::tuple<const char*, Bytes, uint64_t, uint64_t, uint64_t, uint32_t> cases[] = {
        // clang-format off
        {"version 1", v1_component(APP, 0, 40), 0, 16, 40, APP},
        {"kernel passed over by its span", concat({kernel, v1_component(APP, 0, 40)}), 116, 16, 40, APP},
        {"version 3, header 200, len 1000", concat({v3_header(1000, APP, 0, {}, 200), Bytes(992)}), 0, 200, 816, APP},
        {"version 2, header size at 18", concat({base_header(0, 50, 0x814D4152, 0), be(0, 2), be(32, 2), Bytes(78)}), 0, 32, 50, APP},
        {"diagnostics", v1_component(IMAGE_TYPE_DIAG_APPLICATION, 0, 8), 0, 16, 8, IMAGE_TYPE_DIAG_APPLICATION},
        {"override makes a kernel bootable", v3(KERNEL, 0x814D4152), 0, 32, 24, APP},
        {"override makes an application a kernel", v3(APP, KERNEL), 0, 0, 0, 0},
        {"override without the type suffix", v3(KERNEL, 0x01000000), 0, 0, 0, 0},
        {"nothing bootable", kernel, 0, 0, 0, 0},
        {"header length past the component", concat({v3_header(8, APP, 0, {}, 40), Bytes(16)}), 0, 0, 0, 0},
        // clang-format on
    };
    for (const auto& [name, image, start, header_size, payload_size, type] : cases) {
        SCOPED_TRACE(name);
        UniqueFile file(temp_file_with(image));
        BootComponent f;
        ASSERT_EQ(find_boot_component(file.get(), &f), type != 0);
        if (type == 0)
            continue;
        // The signature check gets the whole version-3 header, else the 24
        // bytes that tell the version.
        const auto from = image.begin() + static_cast<long>(start);
        EXPECT_EQ(std::make_tuple(f.component.start, f.component.header.header_size,
                                  f.component.header.payload_size, f.type, ftello(file.get()),
                                  f.header_bytes),
                  std::make_tuple(
                      start, header_size, payload_size, type, static_cast<off_t>(start),
                      Bytes(from, from + (f.component.header.version == 3 ? header_size : 24))));
    }
}

TEST(VerifyAndUnpack, TheArchiveHoldsTheBytesThatVerifiedOrTheBootIsRefused) {
    if (!*PRODUCTION_SIGNING_KEY_FILE)
        GTEST_SKIP() << "the build was given public keys without their private halves";
    test_support::TempDir dir;
    Bytes payload(0x10000 + 300);
    std::iota(payload.begin(), payload.end(), 7);
    const Bytes component = test_support::signed_component(APP, payload);
    const Bytes image = concat({v1_component(KERNEL, 0, 20), component});
    for (bool fickle : {false, true}) {
        SCOPED_TRACE(fickle ? "fickle stick" : "steady stick");
        // Fickle: a payload byte reads differently in the copy than it did
        // when verified.
        test_support::FickleBytes stick(image, image.size() - payload.size() +
                                                   (fickle ? 7 : payload.size()));
        UniqueFile file(stick.open());
        BootComponent found;
        ASSERT_TRUE(find_boot_component(file.get(), &found));
        UniqueFile archive(std::fopen(dir.file("archive").c_str(), "wb"));
        CaptureStdout();
        EXPECT_EQ(verify_and_unpack(file.get(), found, archive.get(), true,
                                    {dir.file("p"), dir.file("d"), dir.file("r"), dir.file("l")}),
                  !fickle);
        EXPECT_EQ(std::regex_replace(GetCapturedStdout(),
                                     std::regex("I2C error[^\n]*\n|Creating system key\n"), ""),
                  std::string(" Image signature verified. \nUnpacking image:     "
                              "\b\b\b\b099%\b\b\b\b100%\n") +
                      (fickle ? "Image has invalid signature. Quitting\n" : ""));
        archive.reset();
        EXPECT_EQ(test_support::read_file(dir.file("archive")) == payload, !fickle);
    }
}

TEST(RejectedList, OneEntryPerContentNamedByItsMd5) {
    test_support::TempDir dir;
    const std::string list = dir.file("images/rejected"), a = dir.file("a"),
                      b = dir.file("b with; $(space)"), c = dir.file("c"), none = dir.file("none");
    for (const auto& [path, last] : {std::pair{a, 'c'}, {b, 'c'}, {c, 'd'}})
        test_support::write_file(path, {'a', 'b', static_cast<uint8_t>(last)});
    CaptureStdout();
    reject_list_add(a.c_str(), list.c_str());
    reject_list_add(none.c_str(), list.c_str());
    EXPECT_TRUE(test_support::file_exists(list + "/900150983cd24fb0d6963f7d28e17f72"));
    std::string listed;
    for (const auto& path : {a, b, c, none})
        listed += reject_list_contains(path.c_str(), list.c_str()) ? 'y' : 'n';
    EXPECT_EQ(listed, "yynn");
    EXPECT_EQ(GetCapturedStdout(), "Warning: Cannot add image to rejected list!\n"
                                   "Warning: Cannot determine if image is in rejected list!\n");
}

TEST(BootOptions, KeywordsFoundInTheEnvironmentText) {
    // Expected: gdb, gdbserver, port, shell, diagnostics rescue, lowsec.
    const char* rows[][2] = {
        // clang-format off
        {"bootcmd=run flash_self baudrate=115200   ", "00 1234 000"},
        {"gdb=off gdbserver=on ", "11 1234 000"},
        {"gdb=on gdbserver=off ", "10 1234 000"},
        {"mygdb=on ", "10 1234 000"},
        // "on" is two lower-case characters; only the first occurrence counts.
        {"shell=only lowsec=on ", "00 1234 101"},
        {"bootargs=console=ttyS0 shell=on1 ", "00 1234 100"},
        {"shell=ON lowsec=yes shell=on ", "00 1234 000"},
        {"diagnostics=rescue1 ", "00 1234 010"},
        {"diagnostics=rescu ", "00 1234 000"},
        // No range check; the NUL between variables became a blank, which the conversion skips.
        {"gdbport=-5 ", "00 -5 000"},
        {"gdbport=70000 ", "00 70000 000"},
        // A number that does not fit an int leaves the port unchanged.
        {"gdbport=2147483648 ", "00 1234 000"},
        {"gdbport=-2147483648 ", "00 -2147483648 000"},
        {"gdbport=abc ", "00 1234 000"},
        {"gdbport= 4321abc=x ", "00 4321 000"},
        // clang-format on
    };
    for (const auto& row : rows) {
        BootOptions o;
        apply_boot_option_text(row[0], &o);
        char got[32];
        std::snprintf(got, sizeof got, "%d%d %d %d%d%d", o.gdb, o.gdbserver, o.gdb_port, o.shell,
                      o.diagnostics_rescue, o.lowsec);
        EXPECT_STREQ(got, row[1]) << row[0];
    }
}

TEST(BootSequence, DateCommandKeepsOnlyTheTimeBitsAndOtherSlotIsTwoOnlyForSlotOne) {
    // Oscillator-stop, century and weekday bits must not leak into the date;
    // the year uses all eight.
    const RtcTime time{{0xD9, 0xD9, 0xE3, 0xFF, 0xF1, 0xF2, 0x99}};
    char command[64];
    format_date_command(time, command, sizeof command);
    EXPECT_STREQ(command, "date 123123592099.59\n");
    EXPECT_EQ(other_slot(1) * 100 + other_slot(2) * 10 + other_slot(3), 211);
}

} // namespace
