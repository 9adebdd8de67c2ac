#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "console/console.h"
#include "network/mgmt_port.h"
#include "pty_console.h"

namespace {

TEST(MgmtPort, MacAddressesAreSixHexFieldsAndNothingElse) {
    std::string accepted;
    // clang-format off
    for (const char* text : {"02:00:00:00:00:01", "a:B:c:D:e:F", "02-00-00-00-00-01", "2:0:0:0:0:1;reboo", "2:0:0:0:0", "2:0:0:0:0:1:", "002:0:0:0:0:1", "2::0:0:0:1", " 2:0:0:0:0:1"})
        accepted += is_mac_address(text) ? 'y' : 'n';
    // clang-format on
    EXPECT_EQ(accepted, "yynnnnnnn");
}

TEST(MgmtPort, AddressDialogue) {
    const std::string IP = "IP addr    :", MASK = "Netmask    :", GW = "Gateway    :";
    const std::string BAD = "Invalid IP address. Try again please\n";
    const auto dotted = [](uint32_t address) { return std::string(inet_ntoa({address})); };
    // Keys (null: an interrupt came); 'a' one required host address, 'n' an
    // optional one without host check, 's' the settings dialogue; the result,
    // the address, netmask and gateway stored, the transcript.
    const std::tuple<const char*, char, int, const char*, std::string> cases[] = {
        // clang-format off
        {"\r0.1.2.3\r240.0.0.1\r239.0.0.1\r", 'a', 1, "239.0.0.1 0.0.0.0 0.0.0.0", IP + "\n" + BAD + IP + "0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\n" + IP + "240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\n" + IP + "239.0.0.1\n"},
        {"1.2.3.x\rquit\r", 'a', 0, "0.0.0.0 0.0.0.0 0.0.0.0", IP + "1.2.3.x\n" + BAD + IP + "quit\n"},
        {"Q\r", 'a', 0, "0.0.0.0 0.0.0.0 0.0.0.0", IP + "Q\n"},
        {nullptr, 'a', 0, "0.0.0.0 0.0.0.0 0.0.0.0", IP + "^C\n"},
        {"\r", 'n', 1, "0.0.0.0 0.0.0.0 0.0.0.0", MASK + "\n"},
        {"255.0.0.0\r", 'n', 1, "255.0.0.0 0.0.0.0 0.0.0.0", MASK + "255.0.0.0\n"},
        {"192.0.2.10\r255.255.255.0\rq\r", 's', 0, "192.0.2.10 255.255.255.0 0.0.0.0", IP + "192.0.2.10\n" + MASK + "255.255.255.0\n" + GW + "q\n"},
        // clang-format on
    };
    // A dialogue that wants more keys than were typed would wait for ever.
    ::alarm(30);
    for (const auto& [keys, ask, result, stored, transcript] : cases) {
        SCOPED_TRACE(keys ? keys : "interrupt");
        PtyConsole pty;
        pty.type(keys ? keys : "");
        console_interrupted = keys ? 0 : 1;
        mgmt_settings s{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(ask == 's' ? ask_network_settings(&s, 0)
                             : ask_ip_address(ask == 'a' ? IP.c_str() : MASK.c_str(), &s.address,
                                              ask == 'a', ask == 'a'),
                  result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), transcript);
        EXPECT_EQ(dotted(s.address) + " " + dotted(s.netmask) + " " + dotted(s.gateway), stored);
    }
    console_interrupted = 0;
    ::alarm(0);
}

} // namespace
