#include "rescue/low_security.h"

#include <cstdio>
#include <cstdlib>

#include "console/console.h"
#include "platform/flash.h"
#include "platform/led.h"
#include "platform/low_security_mode.h"
#include "platform/process.h"
#include "platform/rtc.h"
#include "platform/timing.h"

namespace {

constexpr int PRESENCE_ATTEMPTS = 3;
// Every test shows this many dots, so that neither they nor the duration give
// the count away.
constexpr int PRESENCE_DOTS = 11;
constexpr uint8_t LED_LOCATION_MASK = 0x03;
constexpr uint8_t LED_LOCATION_ON = 0x01;
constexpr uint32_t KEY_PARTITION_ERASE_LENGTH = 0x20000;

int prompt_key(const char* prompt) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    int key = console_wait_key();
    std::printf("%c\n", key);
    std::fflush(stdout);
    return key;
}

bool is_yes(int key) {
    return key == 'y' || key == 'Y';
}

// One cycle of the blink sequence: a dot, the LED in the given state for a
// second, then off for a second. False when the operator interrupted.
bool blink_cycle(uint8_t first_value, uint8_t off_value) {
    if (console_interrupted)
        return false;
    std::fputs(".", stdout);
    std::fflush(stdout);
    led_write_reg(LED_REG_LOCATION, first_value);
    platform::sleep_seconds(1);
    led_write_reg(LED_REG_LOCATION, off_value);
    platform::sleep_seconds(1);
    return true;
}

int read_blink_count() {
    RtcTime time{}; // a failed read counts as second 0
    rtc_read_time(&time);
    return blink_count(time.bytes[0]);
}

} // namespace

int blink_count(uint8_t rtc_seconds) {
    // Bit 7 of the seconds register is no part of the value.
    uint8_t seconds = rtc_seconds & 0x7F;
    int count = (seconds >> 4) + (seconds & 0x0F);
    return count == 0 ? 1 : count;
}

int physical_presence_test(const BoardPaths& paths) {
    if (low_security_mode_active(paths)) {
        int key = prompt_key("Switch is in low security mode. Confirm disabling Y/n? ");
        if (key == 0)
            return 0;
        if (key != 'n' && key != 'N')
            set_low_security_mode(paths, false);
        return 1;
    }

    int key = prompt_key("WARNING: the following test is used to determine physical presence and "
                         "if completed will put the switch in low security mode.\nDo you wish to "
                         "continue y/N? ");
    if (!is_yes(key))
        return 0;

    uint8_t led = 0;
    led_read_reg(LED_REG_LOCATION, &led);
    const uint8_t led_off = static_cast<uint8_t>(led & ~LED_LOCATION_MASK);
    const uint8_t led_on = static_cast<uint8_t>(led_off | LED_LOCATION_ON);

    for (int attempt = 1; attempt <= PRESENCE_ATTEMPTS; ++attempt) {
        led_write_reg(LED_REG_LOCATION, led_off);
        prompt_key("Hit a key to start the test. The blue location LED will blink a number of "
                   "times.");
        int count = read_blink_count();
        for (int i = 0; i < count; ++i)
            if (!blink_cycle(led_on, led_off))
                return 0;
        for (int i = count; i < PRESENCE_DOTS; ++i)
            if (!blink_cycle(led_off, led_off))
                return 0;

        std::fputs("\nHow many times did the LED blink? ", stdout);
        std::fflush(stdout);
        char answer[8];
        // An interrupt at the answer ends the test like one anywhere else,
        // also on the last attempt, which would otherwise reset the board.
        if (!console_read_line(answer, sizeof answer) || console_interrupted)
            return 0;
        if (std::atoi(answer) == count) {
            std::printf("Correct. Physical presence established and low security mode enabled\n");
            set_low_security_mode(paths, true);
            return 1;
        }
        std::printf("Incorrect. Try again (attempt %d of %d)\n", attempt, PRESENCE_ATTEMPTS);
    }

    std::printf("Maximum number of test failed. Board is resetting\n");
    std::fflush(stdout);
    platform::sleep_seconds(1);
    platform::reboot_board();
}

int wipe_security_keys() {
    std::fputs("Confirm: wiping system keys y/N: ", stdout);
    std::fflush(stdout);
    int key = console_wait_key();
    std::printf("\n");
    if (!is_yes(key))
        return 1;

    platform::run_shell_command("rm /user/*.pem");
    int keys_fd = flash_fd(SISKEYS);
    // A failed erase is reported on the console by the flash layer.
    if (keys_fd > 0)
        static_cast<void>(flash_erase_range(keys_fd, 0, KEY_PARTITION_ERASE_LENGTH));
    std::printf("System keys have been deleted. Reset the switch to complete the operation\n");
    return 1;
}
