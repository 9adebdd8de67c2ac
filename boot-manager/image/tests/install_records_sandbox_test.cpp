// The install records as they reach the switch's own paths: /user/install.log,
// the "mount" of the configuration partition and /tmp/zimr-cfg. Runs only
// inside run_in_mount_sandbox.sh, which gives it private, empty /user and /tmp
// and recording fakes for mount and umount.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statfs.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "image/install_records.h"
#include "temp_dir.h"

using namespace image_test;

namespace {

constexpr long TMPFS_MAGIC_NUMBER = 0x01021994;

bool sealed_off() {
    const char* flag = std::getenv("IMAGE_TEST_SANDBOX");
    struct statfs user {};
    struct statfs tmp {};
    return flag && std::strcmp(flag, "1") == 0 && ::statfs("/user", &user) == 0 &&
           ::statfs("/tmp", &tmp) == 0 && user.f_type == TMPFS_MAGIC_NUMBER &&
           tmp.f_type == TMPFS_MAGIC_NUMBER;
}

std::string text_of(const std::string& path) {
    const auto bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

class Sandboxed : public testing::Test {
  protected:
    void SetUp() override {
        // Never against this machine's own /user and mount.
        ASSERT_TRUE(sealed_off()) << "run this through run_in_mount_sandbox.sh";
        std::remove("/fake/tools.log");
        std::remove("/fake/mount.status");
        std::remove("/user/install.log");
        for (const char* name : {"version", "crc", "timestamp"}) {
            for (const char* record : {"uboot", "onie", "image1", "image2"})
                std::remove((std::string("/tmp/zimr-cfg/") + record + "-" + name).c_str());
        }
    }
};

TEST_F(Sandboxed, RecordsAreWrittenOnTheMountedPartition) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(update_install_records("uboot", 0x01020304, 0xCADBBE3D), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Updating install logs\n");
    EXPECT_EQ(text_of("/fake/tools.log"),
              "mount /dev/mmcblk0p4 /tmp/zimr-cfg\numount /tmp/zimr-cfg\n");
    EXPECT_EQ(read_file("/tmp/zimr-cfg/uboot-version"), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(read_file("/tmp/zimr-cfg/uboot-crc"), (std::vector<uint8_t>{0xCA, 0xDB, 0xBE, 0x3D}));
    const std::string stamp = text_of("/tmp/zimr-cfg/uboot-timestamp");
    EXPECT_TRUE(std::regex_match(
        stamp, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9] \\S+ [A-Z][a-z]{2} [A-Z][a-z]{2} "
                          "[ 123][0-9] [0-9]{4}\n")))
        << stamp;
}

TEST_F(Sandboxed, MountFailureWritesNothing) {
    ASSERT_TRUE(write_file("/fake/mount.status", {'3', '2', '\n'}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(update_install_records("image2", 0x01020304, 0x11223344), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Updating install logs\nError mounting Tesk configuration  partition. Unable to "
              "update installed image details\n");
    EXPECT_EQ(text_of("/fake/tools.log"), "mount /dev/mmcblk0p4 /tmp/zimr-cfg\n");
    EXPECT_TRUE(file_exists("/tmp/zimr-cfg")); // made before the mount
    for (const char* name : {"version", "crc", "timestamp"})
        EXPECT_FALSE(file_exists(std::string("/tmp/zimr-cfg/image2-") + name));
}

TEST_F(Sandboxed, InstallLogGrowsByOneLinePerInstall) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(append_install_log("/mnt/usb/QTX5150_Boot.img", "USB"), 1);
    EXPECT_EQ(append_install_log("image", "192.168.1.20"), 1);
    const std::string output = testing::internal::GetCapturedStdout();
    // No RTC here: the reading stays all zeros.
    const std::string first =
        "File /mnt/usb/QTX5150_Boot.img installed from USB at 00:00:00 on 0-0-200\n";
    const std::string second = "File image installed from 192.168.1.20 at 00:00:00 on 0-0-200\n";
    EXPECT_NE(output.find("Updating install log. " + first), std::string::npos) << output;
    EXPECT_NE(output.find("Updating install log. " + second), std::string::npos) << output;
    EXPECT_EQ(text_of("/user/install.log"), first + second);
}

TEST_F(Sandboxed, InstallLogSkippedWhenUserIsReadOnly) {
    ASSERT_EQ(::mount(nullptr, "/user", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(append_install_log("image", "xmodem"), 1);
    const std::string output = testing::internal::GetCapturedStdout();
    ::mount(nullptr, "/user", nullptr, MS_REMOUNT, nullptr);
    EXPECT_NE(output.find("Updating install log. File image installed from xmodem at "),
              std::string::npos)
        << output;
    EXPECT_FALSE(file_exists("/user/install.log"));
}

} // namespace
