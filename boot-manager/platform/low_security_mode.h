// Low-security mode, which relaxes the image signature policy: on for this
// boot when the boot options override says so or while its marker file exists.
#pragma once

#include "platform/board_paths.h"

// True when the boot option override is on (noted on the console at every
// call) or when the marker exists.
[[nodiscard]] bool low_security_mode_active(const BoardPaths& paths);

// true writes the marker, false removes it.
void set_low_security_mode(const BoardPaths& paths, bool on);
