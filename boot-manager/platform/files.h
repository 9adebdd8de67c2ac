// Files and folders as the boot road asks about them.
#pragma once

#include <sys/stat.h>

#include <string>

namespace platform {

// Whether anything (file, folder, device, marker) is at path; links followed.
[[nodiscard]] inline bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

} // namespace platform
