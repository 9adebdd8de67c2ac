#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

const std::string& scratch_dir() {
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/bootmgr-fuzz-XXXXXX";
        require(::mkdtemp(name.data()) != nullptr);
        return name;
    }();
    return dir;
}

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
    return ::close(fd) == 0 && written;
}

} // namespace fuzz
