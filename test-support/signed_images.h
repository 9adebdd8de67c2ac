// Images made with the image tool, for scenarios that need the bytes the
// release process produces.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/signing_key_files.h"
#include "platform/process.h"
#include "test_support.h"

namespace test_support {

// Runs a program of this machine or of the build; its failure fails the test.
inline void run_ok(const std::vector<std::string>& argv) {
    EXPECT_TRUE(platform::command_succeeded(platform::run_program(argv))) << argv.at(0);
}

// The bytes of `out`, made by "swimage create" from `payload`, with the
// options that set the type, the versions and the signing key.
inline std::string swimage_create(const std::string& swimage, const std::string& out,
                                  const std::string& payload, std::vector<std::string> options) {
    options.insert(options.begin(), {swimage, "create", out, "--payload", payload});
    run_ok(options);
    const std::vector<uint8_t> bytes = read_file(out);
    return {bytes.begin(), bytes.end()};
}

} // namespace test_support
