// The signature policy on the virtual switch, row by row of its decision
// table: images made by the image tool (swimage) and signed with the
// production key, the development key, a stranger's key or not at all, the
// installed root filesystem in the flash model, low-security mode through its
// marker, and the key files on /user enciphered under the board's NVRAM key.
#include <gtest/gtest.h>

#include <termios.h>

#include <string>
#include <thread>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "testbed/fixture.h"
#include "verdict_texts.h"

namespace vswitch {
namespace {

using namespace std::chrono_literals;
using namespace image_test;

const std::string UNSIGNED_WARNING = "\nWARNING: Image is unsigned but you are running developer "
                                     "images and are in low security mode\n";
const std::string CONFIRM = "Install image anyway? y/N? ";

enum class Key { production, development, stranger, none };
enum class RootFs { production, development, unsigned_v1, erased };

const char* key_file(Key key) {
    switch (key) {
    case Key::production:
        return PRODUCTION_SIGNING_KEY_FILE;
    case Key::development:
        return DEVELOPMENT_SIGNING_KEY_FILE;
    case Key::stranger:
        return STRANGER_SIGNING_KEY_FILE;
    case Key::none:
        break;
    }
    return "";
}

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
    }
    void TearDown() override {
        if (!work.empty())
            remove_tree(work);
    }

    void run(std::vector<std::string> args) { boot_program(SECURITY_SCENARIO, std::move(args)); }

    // An image made by the image tool: one component of the type, signed
    // with the key (version 3), or a version-1 header when unsigned is asked
    // for with header version 1.
    std::string make_image(const std::string& type, Key key, int header_version = 3) {
        const std::string out = work + "/image-" + std::to_string(images++);
        std::vector<std::string> argv = {
            SWIMAGE,     "create",           out,
            "--payload", work + "/payload",  "--type",
            type,        "--header-version", std::to_string(header_version)};
        if (key != Key::none) {
            argv.push_back("--sign");
            argv.push_back(key_file(key));
        }
        EXPECT_TRUE(platform::command_succeeded(platform::run_program(argv)));
        return read_file(out);
    }

    void set_root_filesystem(RootFs rootfs) {
        std::string image = rootfs == RootFs::unsigned_v1  ? make_image("rootfs", Key::none, 1)
                            : rootfs == RootFs::production ? make_image("rootfs", Key::production)
                                                           : make_image("rootfs", Key::development);
        board().erase_flash(Partition::rfs);
        if (rootfs != RootFs::erased)
            board().set_flash(Partition::rfs, 0, std::vector<uint8_t>(image.begin(), image.end()));
    }

    // Runs the policy on an application image in the given board state and
    // returns what it wrote from the first NOTE or verdict on; answers the
    // operator's question with answer when it comes.
    std::string check(Key key, RootFs rootfs, bool low_security, const std::string& answer = "") {
        vswitch().write_user_file("images/test.img", make_image("application", key));
        set_root_filesystem(rootfs);
        std::vector<std::string> args = {"verify", "/user/images/test.img"};
        if (low_security)
            args.push_back("--marker");
        run(args);
        if (!answer.empty()) {
            EXPECT_TRUE(expect_console(CONFIRM));
            for (int i = 0; i < 500; ++i) {
                termios mode{};
                if (::tcgetattr(current_run().console_fd(), &mode) == 0 && !(mode.c_lflag & ICANON))
                    break;
                std::this_thread::sleep_for(10ms);
            }
            send_keys(answer);
        }
        EXPECT_TRUE(expect_console("[result "));
        Outcome outcome = wait_for_end();
        EXPECT_EQ(outcome.ending, Ending::exited) << console();
        return console();
    }

    std::string work;
    int images = 0;
};

std::string verdict(const std::string& text, int result) {
    return text + "\n[position 0]\n[result " + std::to_string(result) + "]\n[";
}

TEST_F(SignaturePolicy, ProductionSignatureIsAccepted) {
    for (RootFs rootfs : {RootFs::production, RootFs::unsigned_v1})
        for (bool low_security : {false, true})
            EXPECT_EQ(check(Key::production, rootfs, low_security).rfind(verdict(VERIFIED, 1), 0),
                      0u)
                << console();
}

TEST_F(SignaturePolicy, DevelopmentSignatureNeedsDeveloperImagesOrLowSecurity) {
    EXPECT_EQ(check(Key::development, RootFs::production, false).rfind(verdict(REJECTED, 0), 0), 0u)
        << console();
    EXPECT_EQ(check(Key::development, RootFs::unsigned_v1, false)
                  .rfind(verdict(NOTE_DEVELOPER + VERIFIED, 1), 0),
              0u)
        << console();
    EXPECT_EQ(check(Key::development, RootFs::erased, false)
                  .rfind(verdict(NOTE_DEVELOPER + VERIFIED, 1), 0),
              0u)
        << console();
    EXPECT_EQ(check(Key::development, RootFs::development, true)
                  .rfind(verdict(NOTE_DEVELOPER + VERIFIED, 1), 0),
              0u)
        << console();
    EXPECT_EQ(check(Key::development, RootFs::production, true)
                  .rfind(verdict(NOTE_LOW_SECURITY + VERIFIED, 1), 0),
              0u)
        << console();
}

TEST_F(SignaturePolicy, StrangerSignatureIsRejectedUnlessTheOperatorDecides) {
    EXPECT_EQ(check(Key::stranger, RootFs::development, false)
                  .rfind(verdict(NOTE_DEVELOPER + REJECTED, 0), 0),
              0u)
        << console();
    EXPECT_EQ(check(Key::stranger, RootFs::production, true)
                  .rfind(verdict(NOTE_LOW_SECURITY + REJECTED, 0), 0),
              0u)
        << console();
    EXPECT_EQ(check(Key::stranger, RootFs::unsigned_v1, true, "y")
                  .rfind(verdict(NOTE_DEVELOPER + ALL_FAILED + CONFIRM + "y\n" + VERIFIED, 1), 0),
              0u)
        << console();
    EXPECT_EQ(check(Key::stranger, RootFs::unsigned_v1, true, "n")
                  .rfind(verdict(NOTE_DEVELOPER + ALL_FAILED + CONFIRM + "n\n" + REJECTED, 0), 0),
              0u)
        << console();
}

TEST_F(SignaturePolicy, UnsignedImageIsRejectedUnlessTheOperatorDecides) {
    const std::string unsigned_verdict = NO_SIGNATURE + "\n[position 0]\n[result 0]\n[";
    EXPECT_EQ(check(Key::none, RootFs::production, true).rfind(unsigned_verdict, 0), 0u)
        << console();
    EXPECT_EQ(check(Key::none, RootFs::unsigned_v1, false).rfind(unsigned_verdict, 0), 0u)
        << console();
    EXPECT_EQ(check(Key::none, RootFs::unsigned_v1, true, "Y")
                  .rfind(UNSIGNED_WARNING + CONFIRM + "Y\n\n[position 0]\n[result 1]\n[", 0),
              0u)
        << console();
}

} // namespace
} // namespace vswitch
