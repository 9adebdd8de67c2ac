// The boot loader environment text: the option keywords and their values, as
// the boot manager reads them from the environment partition (NULs between
// the variables become blanks there; here any byte may come).
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "platform/boot_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    BootOptions options;
    apply_boot_option_text(text.c_str(), &options);
    // Only a keyword that occurs changes its field.
    const BootOptions defaults;
    if (!std::strstr(text.c_str(), "gdbport="))
        fuzz::require(options.gdb_port == defaults.gdb_port);
    if (!std::strstr(text.c_str(), "lowsec=on"))
        fuzz::require(!options.lowsec);
    if (!std::strstr(text.c_str(), "shell=on"))
        fuzz::require(!options.shell);
    if (options.gdbserver)
        fuzz::require(options.gdb);
    return 0;
}
