// The management port dialogues: IP address, netmask and gateway (with or
// without the DHCP question), a server address, and the temporary MAC. Input:
// which dialogue, then the keys typed.
#include <arpa/inet.h>

#include "console/console.h"
#include "fuzz_support.h"
#include "network/mgmt_port.h"
#include "stubs/board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096)
        return 0;
    const int dialogue = data[0] % 4;
    fuzz_last_program.clear();
    fuzz::with_console(data + 1, size - 1, [&] {
        if (dialogue == 0 || dialogue == 1) {
            mgmt_settings settings{};
            if (ask_network_settings(&settings, dialogue) && !settings.use_dhcp)
                fuzz::require(is_valid_host_address(settings.address) &&
                              (settings.gateway == 0 || is_valid_host_address(settings.gateway)));
        } else if (dialogue == 2) {
            uint32_t server = 0;
            if (ask_ip_address("Server addr:", &server, 1, 1))
                fuzz::require(is_valid_host_address(server));
        } else if (set_temporary_mac()) {
            // One argument as typed, and only a well-formed address.
            fuzz::require(fuzz_last_program.size() == 5 && fuzz_last_program[3] == "ether");
            fuzz::require(is_mac_address(fuzz_last_program[4].c_str()));
        }
    });
    return 0;
}
