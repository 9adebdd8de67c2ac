#include "image/copy_progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/unique_file.h"

namespace {

using File = platform::UniqueFile;

enum class CopyStyle {
    stream,  // warns about short reads and goes on; the write message names no file
    to_file, // fails on a short read
};

// The percentage counting up in place: four blanks first, then each new
// value over the last, and 100 at the end.
class ProgressDisplay {
  public:
    explicit ProgressDisplay(uint32_t length) : length_(length), scaled_length_(length / 256) {
        std::printf("    ");
        std::fflush(stdout);
    }
    // Below 256 bytes the scaled length is 0 and only the closing 100 shows.
    // The last piece leaves the 100 to the closing display, so a copy of one
    // piece shows nothing but that.
    void done(uint32_t done) {
        if (scaled_length_ == 0 || done >= length_)
            return;
        const uint32_t percent = (done / 256) * 100 / scaled_length_;
        if (percent != shown_) {
            shown_ = percent;
            std::printf("\b\b\b\b%3.3d%c", static_cast<int>(percent), '%');
            std::fflush(stdout);
        }
    }
    void finish() { std::printf("\b\b\b\b100%c\n", '%'); }

  private:
    uint32_t length_;
    uint32_t scaled_length_;
    uint32_t shown_ = 0;
};

uint32_t piece_after(uint32_t done, uint32_t length) {
    const uint32_t remaining = length - done;
    return remaining < COPY_PIECE_SIZE ? remaining : COPY_PIECE_SIZE;
}

// The loop shared by the copy operations.
int copy_pieces(FILE* source, uint32_t length, FILE* destination, CopyStyle style, const char* path,
                PayloadHasher* hasher) {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[COPY_PIECE_SIZE]);
    if (!buffer) {
        std::printf("Failed to allocate buffer. Quitting\n");
        return 0;
    }
    ProgressDisplay progress(length);
    uint32_t done = 0;
    while (done < length) {
        const uint32_t piece = piece_after(done, length);
        errno = 0;
        const size_t got = std::fread(buffer.get(), 1, piece, source);
        if (got < piece) {
            // A file made from a source cut short would pass for a whole one:
            // the caller reports the failed copy.
            if (style == CopyStyle::to_file) {
                errno = errno ? errno : EIO;
                return 0;
            }
            std::printf("WARNING: unexpected read buffer len %d != %d\n", static_cast<int>(got),
                        static_cast<int>(piece));
            // The whole piece is still written: zeros, never stale bytes.
            std::memset(buffer.get() + got, 0, piece - got);
        }
        hasher->update(buffer.get(), piece);
        if (std::fwrite(buffer.get(), 1, piece, destination) != piece ||
            std::fflush(destination) != 0) {
            const int error = errno;
            if (style == CopyStyle::stream)
                std::printf("File write failed (err %d: bytes_written %d, len %d, wr_len %d)\n",
                            error, static_cast<int>(done), static_cast<int>(length),
                            static_cast<int>(piece));
            else
                std::printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n",
                            path, error, static_cast<int>(done), static_cast<int>(length),
                            static_cast<int>(piece));
            errno = error;
            return 0;
        }
        done += piece;
        progress.done(done);
    }
    progress.finish();
    return 1;
}

} // namespace

int copy_with_progress(FILE* source, uint32_t length, FILE* destination, PayloadDigest* digest) {
    PayloadHasher hasher(digest != nullptr);
    const int copied =
        copy_pieces(source, length, destination, CopyStyle::stream, nullptr, &hasher);
    if (digest && !(copied && hasher.finish(digest)))
        *digest = PayloadDigest{};
    return copied;
}

int copy_stream_to_file(const char* path, FILE* source, uint32_t length) {
    File destination(std::fopen(path, "wb"));
    if (!destination)
        return 0;
    PayloadHasher no_digest(false);
    if (!copy_pieces(source, length, destination.get(), CopyStyle::to_file, path, &no_digest)) {
        const int error = errno;
        destination.reset();
        errno = error;
        return 0;
    }
    // A failure to get the last bytes out is a failed copy.
    return platform::close_written(std::move(destination)) ? 1 : 0;
}

int copy_file_with_progress(const char* source_path, const char* destination_path) {
    struct stat status {};
    if (::stat(source_path, &status) != 0)
        return 0;
    if (status.st_size < 0 || static_cast<uint64_t>(status.st_size) > UINT32_MAX) {
        errno = EFBIG;
        return 0;
    }
    File source(std::fopen(source_path, "rb"));
    if (!source)
        return 0;
    File destination(std::fopen(destination_path, "wb"));
    if (!destination)
        return 0;
    // Zeros written for unreadable bytes must not pass for the file.
    if (!copy_with_progress(source.get(), static_cast<uint32_t>(status.st_size),
                            destination.get()) ||
        std::ferror(source.get())) {
        const int error = errno;
        destination.reset();
        errno = error;
        return 0;
    }
    return platform::close_written(std::move(destination)) ? 1 : 0;
}

bool PayloadTee::store(const uint8_t* data, size_t length) {
    const int fd = ::fileno(destination_);
    while (!failed_ && length > 0) {
        const ssize_t count = ::write(fd, data, length);
        if (count < 0 && errno == EINTR)
            continue;
        failed_ = count <= 0;
        if (count > 0) {
            data += count;
            length -= static_cast<size_t>(count);
            stored_ += static_cast<uint64_t>(count);
        }
    }
    return !failed_;
}
