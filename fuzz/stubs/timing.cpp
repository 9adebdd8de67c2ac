// Time does not pass in the fuzz targets. (The console's wait for a key is in
// fuzz_support.cpp.)
#include "platform/timing.h"
#include "fuzz_support.h"

namespace platform {

void sleep_seconds(unsigned) {}
void sleep_microseconds(unsigned) {}

void halt_forever() {
    throw fuzz::SessionEnd{};
}

} // namespace platform
