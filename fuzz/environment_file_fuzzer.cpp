// The environment file an Application OS's install script leaves behind:
// name and value tokens of any bytes and lengths.
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "launch/launch.h"

namespace {
int variables_set = 0;
} // namespace

// Stands in for the C library's: every call is checked, the process's own
// environment is left alone (and so does not grow from input to input).
extern "C" int setenv(const char* name, const char* value, int overwrite) {
    fuzz::require(overwrite == 1);
    const size_t name_length = std::strlen(name);
    // An empty name (a token of NULs) is refused by the real one, which is fine.
    fuzz::require(name_length <= 511 && std::strlen(value) <= 511);
    fuzz::require(std::strpbrk(name, " \t\n\v\f\r") == nullptr);
    ++variables_set;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!file)
        return 0;
    variables_set = 0;
    apply_environment_file(file);
    fuzz::require(static_cast<size_t>(variables_set) <= size / 2 + 1);
    std::fclose(file);
    return 0;
}
