// The image tests' names for the shared scratch-folder and file helpers.
#pragma once

#include "test_support.h"

namespace image_test {

using test_support::file_exists;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

} // namespace image_test
