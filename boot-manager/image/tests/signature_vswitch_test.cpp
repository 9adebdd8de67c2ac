// The signature policy on the virtual switch: images made by the image tool
// (swimage), the key files on /user enciphered under the board's NVRAM key,
// and the installed root filesystem read from the flash partition. The
// decision table itself is checked in-process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "testbed/fixture.h"
#include "verdict_texts.h"

namespace vswitch {
namespace {

using namespace image_test;

class SignaturePolicy : public VirtualSwitchTest {
  protected:
    void SetUp() override {
        VirtualSwitchTest::SetUp();
        if (IsSkipped())
            return;
        if (!*PRODUCTION_SIGNING_KEY_FILE || !*DEVELOPMENT_SIGNING_KEY_FILE)
            GTEST_SKIP() << "the build was given public keys without their private halves";
        char pattern[] = "/tmp/swimage-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        work = pattern;
        write_file(work + "/payload", std::string(70000, 'p') + "end");
        // The key files exist before the first check, as start-up leaves them.
        run({"keys"});
        ASSERT_TRUE(expect_console("Creating system key....\nCreating system development "
                                   "key....\n\n[result 1]\n"));
        wait_for_end();
        for (const char* name : {"production_key.pub.pem", "development_key.pub.pem"})
            EXPECT_EQ(vswitch().read_user_file(name).value_or("").size(), 464u) << name;
    }
    void TearDown() override {
        if (!work.empty())
            remove_tree(work);
    }

    void run(std::vector<std::string> args) { boot_program(SECURITY_SCENARIO, std::move(args)); }

    // An image of one component made by the image tool, signed with key_file
    // (version-3 header) or, when it is null, unsigned (version-1 header).
    std::vector<uint8_t> make_image(const std::string& type, const char* key_file) {
        const std::string out = work + "/image";
        std::vector<std::string> argv = {SWIMAGE,     "create",           out,
                                         "--payload", work + "/payload",  "--type",
                                         type,        "--header-version", key_file ? "3" : "1"};
        if (key_file)
            argv.insert(argv.end(), {"--sign", key_file});
        EXPECT_TRUE(platform::command_succeeded(platform::run_program(argv)));
        const std::string bytes = read_file(out);
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    }

    std::string work;
};

TEST_F(SignaturePolicy, VerdictFromTheKeyFilesAndTheInstalledRootFilesystem) {
    const struct {
        const char* key;
        const char* rootfs_key; // null: an unsigned root filesystem
        std::string console;
    } rows[] = {
        {PRODUCTION_SIGNING_KEY_FILE, PRODUCTION_SIGNING_KEY_FILE,
         VERIFIED + "\n[position 0]\n[result 1]\n"},
        {DEVELOPMENT_SIGNING_KEY_FILE, PRODUCTION_SIGNING_KEY_FILE,
         REJECTED + "\n[position 0]\n[result 0]\n"},
        {DEVELOPMENT_SIGNING_KEY_FILE, nullptr,
         NOTE_DEVELOPER + VERIFIED + "\n[position 0]\n[result 1]\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.console);
        const std::vector<uint8_t> image = make_image("application", row.key);
        vswitch().write_user_file("images/test.img", std::string(image.begin(), image.end()));
        board().erase_flash(Partition::rfs);
        board().set_flash(Partition::rfs, 0, make_image("rootfs", row.rootfs_key));
        run({"verify", "/user/images/test.img"});
        EXPECT_TRUE(expect_console("[no marker]\n"));
        EXPECT_EQ(wait_for_end().ending, Ending::exited);
        EXPECT_EQ(console(), row.console + "[no marker]\n");
    }
}

} // namespace
} // namespace vswitch
