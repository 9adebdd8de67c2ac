// The verdict texts of the signature check, as an operator reads them on the
// console; the in-process and the virtual-switch tests expect the same.
#pragma once

#include <string>

namespace image_test {

const std::string NOTE_DEVELOPER =
    "\nNOTE - developer images operational. Checking developer keys....\n";
const std::string NOTE_LOW_SECURITY =
    "\nNOTE - low security mode is operational. Checking developer keys....\n";
const std::string ALL_FAILED = "\nWARNING: All checks failed but you are running developer "
                               "images and are in low security mode\n";
const std::string VERIFIED = " Image signature verified. ";
const std::string REJECTED = " Image rejected. ";
const std::string NO_SIGNATURE = " Image rejected as it has no signature\n";

} // namespace image_test
