// Helpers shared by the tests of the boot manager and the virtual switch:
// scratch folders, whole-file reads and writes, field splitting, and waiting
// for a program to put its terminal in raw mode before typing to it.
#pragma once

#include <ftw.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// A private scratch folder, removed with everything in it; in base when given,
// else in $TMPDIR or /tmp. The path is empty when it could not be made.
class TempDir {
  public:
    explicit TempDir(const char* base = nullptr) {
        if (!base || !*base)
            base = std::getenv("TMPDIR");
        std::string name = std::string(base && *base ? base : "/tmp") + "/test-XXXXXX";
        if (::mkdtemp(name.data()))
            path_ = name;
    }
    ~TempDir() {
        if (!path_.empty())
            ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
        return std::remove(path);
    }
    std::string path_;
};

// The whole file; empty when it cannot be read.
inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

inline bool file_exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// The fields of text between separators; a separator at the end adds none.
inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    for (std::string field; std::getline(in, field, separator);)
        fields.push_back(field);
    return fields;
}

// Waits (up to 5 s) until the terminal leaves canonical mode, as it does when
// the program reads single keys: keys typed earlier would be echoed by the
// terminal. False when it never did.
inline bool wait_for_raw_mode(int terminal) {
    for (int i = 0; i < 500; ++i) {
        termios mode{};
        if (::tcgetattr(terminal, &mode) == 0 && !(mode.c_lflag & ICANON))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace test_support
