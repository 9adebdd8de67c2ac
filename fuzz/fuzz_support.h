// What the fuzz targets share: a private scratch folder for readers that take
// a file, and the console (descriptor 0 and stdin) fed with the input's bytes
// as keys typed ahead. Inputs never reach a program: the targets link stubs of
// the process runner, the clock and the board devices (stubs/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Thrown where the boot manager would wait for ever: the console has no key
// left, or the board reboots. Ends the input's session.
struct SessionEnd {};

void require(bool condition); // traps when false: a finding

// A folder of this process's own under $TMPDIR (or /tmp), made once.
const std::string& scratch_dir();
// Replaces the file's content with the bytes; false when it cannot.
bool write_file(const std::string& path, const uint8_t* data, size_t size);

// Runs body with the bytes waiting on the console. When no key is left, the
// console's next wait is an interrupt (Ctrl-C), the one after that ends the
// session. True when body returned, false when the session ended.
template <typename Body> bool with_console(const uint8_t* data, size_t size, Body body);

// The parts of with_console that are no template.
void console_load(const uint8_t* data, size_t size);
void console_unload();

template <typename Body> bool with_console(const uint8_t* data, size_t size, Body body) {
    console_load(data, size);
    bool returned = true;
    try {
        body();
    } catch (const SessionEnd&) {
        returned = false;
    }
    console_unload();
    return returned;
}

} // namespace fuzz
