// A virtual switch test that answers the program's console prompts as an
// operator does.
#pragma once

#include <chrono>
#include <string>

#include "test_support.h"
#include "testbed/fixture.h"

namespace vswitch {

class ConsoleScenarioTest : public VirtualSwitchTest {
  protected:
    // Waits for the text, then types the keys once the program reads the
    // console raw: typed earlier, the terminal would echo them. Once an
    // answer failed, the rest of the dialogue is not waited for.
    void answer(const std::string& text, const std::string& keys) {
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(expect_console(text, std::chrono::seconds(30)));
        ASSERT_TRUE(test_support::wait_for_raw_mode(current_run().console_fd()));
        send_keys(keys);
    }
};

} // namespace vswitch
