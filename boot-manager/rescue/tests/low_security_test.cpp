#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "boot/boot_options.h"
#include "rescue/low_security.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class LowSecurity : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lowsec-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        marker = dir + "/lowsec";
        saved_path = low_security_marker_path;
        low_security_marker_path = marker.c_str();
        boot_options.lowsec = false;
    }
    void TearDown() override {
        low_security_marker_path = saved_path;
        boot_options.lowsec = false;
        std::remove(marker.c_str());
        ::rmdir(dir.c_str());
    }

    bool marker_exists() const {
        struct stat info {};
        return ::stat(marker.c_str(), &info) == 0;
    }

    std::string dir;
    std::string marker;
    const char* saved_path = nullptr;
};

TEST(BlinkCount, SumOfTheBcdDigitsOfTheSeconds) {
    EXPECT_EQ(blink_count(0x00), 1);
    EXPECT_EQ(blink_count(0x01), 1);
    EXPECT_EQ(blink_count(0x10), 1);
    EXPECT_EQ(blink_count(0x37), 10);
    EXPECT_EQ(blink_count(0x29), 11);
    EXPECT_EQ(blink_count(0x59), 14);
    // Bit 7 holds no part of the seconds.
    EXPECT_EQ(blink_count(0x80), 1);
    EXPECT_EQ(blink_count(0xD9), 14);
}

TEST_F(LowSecurity, MarkerHoldsNineBytesAndItsExistenceIsTheMode) {
    EXPECT_FALSE(low_security_mode_active());
    set_low_security_mode(true);
    std::ifstream in(marker, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "wumbrelo\n");
    EXPECT_TRUE(low_security_mode_active());

    set_low_security_mode(false);
    EXPECT_FALSE(marker_exists());
    EXPECT_FALSE(low_security_mode_active());
    // Removing an absent marker is no error.
    set_low_security_mode(false);
}

TEST_F(LowSecurity, OnlyExistenceCounts) {
    std::ofstream(marker) << "";
    EXPECT_TRUE(low_security_mode_active());
}

TEST_F(LowSecurity, OverrideIsNotedAtEveryCall) {
    boot_options.lowsec = true;
    CaptureStdout();
    EXPECT_TRUE(low_security_mode_active());
    EXPECT_TRUE(low_security_mode_active());
    EXPECT_EQ(GetCapturedStdout(), "NOTE: Uboot low security mode override enabled\n"
                                   "NOTE: Uboot low security mode override enabled\n");
    // Without the override nothing is printed.
    boot_options.lowsec = false;
    CaptureStdout();
    EXPECT_FALSE(low_security_mode_active());
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(LowSecurity, UncreatableMarkerLeavesTheModeOff) {
    std::string bad = dir + "/missing/lowsec";
    low_security_marker_path = bad.c_str();
    set_low_security_mode(true);
    EXPECT_FALSE(low_security_mode_active());
    low_security_marker_path = marker.c_str();
}

} // namespace
