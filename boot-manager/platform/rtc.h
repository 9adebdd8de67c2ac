// The board's real-time clock: seven BCD registers, seconds to year.
#pragma once

#include <cstdint>

constexpr int RTC_REGISTER_COUNT = 7;

struct RtcTime {
    uint8_t bytes[RTC_REGISTER_COUNT]; // seconds, minutes, hours, weekday, day, month, year
};

// Reads registers 0-6; the register-read result. A failed read leaves the
// record unchanged.
int rtc_read_time(RtcTime* time);
