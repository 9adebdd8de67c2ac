// Owning handle for a stdio stream: closed when the owner goes away. A stream
// that was written to is closed with close_written, which reports whether its
// last bytes got out.
#pragma once

#include <cstdio>
#include <memory>

namespace platform {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// False when the buffered data could not be written; errno tells why.
[[nodiscard]] inline bool close_written(UniqueFile file) {
    return file && std::fclose(file.release()) == 0;
}

} // namespace platform
