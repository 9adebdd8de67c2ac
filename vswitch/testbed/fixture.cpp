#include "testbed/fixture.h"

#include <unistd.h>

#include <cstdlib>

namespace vswitch {

namespace {

std::string make_switch_dir() {
    char dir[] = "/tmp/vswitch-test.XXXXXX";
    if (!::mkdtemp(dir))
        return "/tmp/vswitch-test";
    return dir;
}

} // namespace

VirtualSwitchTest::VirtualSwitchTest()
    : dir_(make_switch_dir()), vswitch_(VirtualSwitch::create(dir_)) {}

VirtualSwitchTest::~VirtualSwitchTest() {
    run_.reset();
    const char* keep = std::getenv("VSWITCH_KEEP");
    if (keep && *keep && HasFailure())
        std::fprintf(stderr, "virtual switch kept in %s\n", dir_.c_str());
    else
        remove_tree(dir_);
}

void VirtualSwitchTest::SetUp() {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the virtual switch needs root";
}

void VirtualSwitchTest::boot(RunOptions options) {
    run_.reset();
    vswitch_.clear_records();
    if (real_ms_per_second_ > 0)
        options.environment.push_back("VSWITCH_REAL_MS_PER_SECOND=" +
                                      std::to_string(real_ms_per_second_));
    run_ = std::make_unique<BootRun>(vswitch_, std::move(options));
    ASSERT_FALSE(run_->outcome().ending == Ending::failed) << run_->outcome().detail;
}

void VirtualSwitchTest::boot_program(const std::string& program, std::vector<std::string> args) {
    RunOptions options;
    options.program = program;
    options.args = std::move(args);
    boot(std::move(options));
}

BootRun& VirtualSwitchTest::current_run() {
    if (!run_)
        boot();
    return *run_;
}

::testing::AssertionResult VirtualSwitchTest::expect_console(const std::string& text,
                                                             std::chrono::milliseconds timeout) {
    if (current_run().wait_for_text(text, timeout))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "console never showed \"" << text << "\" after offset " << current_run().cursor()
           << " (run " << ending_name(current_run().outcome().ending) << ")\n--- console ---\n"
           << current_run().transcript() << "\n--- end ---";
}

void VirtualSwitchTest::send_keys(const std::string& keys) {
    current_run().send(keys);
}

Outcome VirtualSwitchTest::wait_for_end(std::chrono::milliseconds limit,
                                        std::chrono::milliseconds silence) {
    Outcome outcome = current_run().wait(silence, limit);
    if (outcome.ending == Ending::failed)
        ADD_FAILURE() << "the sandbox failed: " << outcome.detail;
    return outcome;
}

std::string VirtualSwitchTest::console() const {
    return run_ ? run_->transcript() : "";
}

std::vector<std::string> VirtualSwitchTest::shell_commands() const {
    std::vector<std::string> lines;
    for (const auto& record : vswitch_.board().commands())
        if (record.kind == "system" && !record.args.empty())
            lines.push_back(record.args[0]);
    return lines;
}

} // namespace vswitch
