// Advancing the real-time clock's BCD registers by a number of seconds, for a
// clock that ticks with the board clock. Header-only and allocation-free: the
// interposer and the test API both use it.
#pragma once

#include <cstdint>

namespace vswitch {

namespace rtc_detail {

inline int from_bcd(uint8_t value) {
    return (value >> 4) * 10 + (value & 0x0F);
}
inline uint8_t to_bcd(int value) {
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
inline int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

inline void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

} // namespace rtc_detail

// regs: seconds, minutes, hours (24 h), weekday (1-7), day, month, year (20xx).
// Bits outside each value field are kept; an unreadable date is left alone.
inline void rtc_advance(uint8_t regs[7], uint64_t seconds) {
    using namespace rtc_detail;
    if (seconds == 0)
        return;
    const int sec = from_bcd(regs[0] & 0x7F);
    const int min = from_bcd(regs[1] & 0x7F);
    const int hour = from_bcd(regs[2] & 0x3F);
    const unsigned day = static_cast<unsigned>(from_bcd(regs[4] & 0x3F));
    const unsigned month = static_cast<unsigned>(from_bcd(regs[5] & 0x1F));
    const int year = 2000 + from_bcd(regs[6]);
    if (sec > 59 || min > 59 || hour > 23 || day < 1 || day > 31 || month < 1 || month > 12)
        return;

    const int64_t start_day = days_from_civil(year, month, day);
    const uint64_t total = static_cast<uint64_t>(sec + 60 * min + 3600 * hour) + seconds;
    const int64_t new_day = start_day + static_cast<int64_t>(total / 86400);
    const uint64_t in_day = total % 86400;

    int64_t new_year = 0;
    unsigned new_month = 0, new_mday = 0;
    civil_from_days(new_day, &new_year, &new_month, &new_mday);
    regs[0] = static_cast<uint8_t>((regs[0] & 0x80) | to_bcd(static_cast<int>(in_day % 60)));
    regs[1] = static_cast<uint8_t>((regs[1] & 0x80) | to_bcd(static_cast<int>(in_day / 60 % 60)));
    regs[2] = static_cast<uint8_t>((regs[2] & 0xC0) | to_bcd(static_cast<int>(in_day / 3600)));
    if ((regs[3] & 0x07) >= 1 && (regs[3] & 0x07) <= 7) {
        const int64_t days = new_day - start_day;
        const int weekday = static_cast<int>(((regs[3] & 0x07) - 1 + days) % 7) + 1;
        regs[3] = static_cast<uint8_t>((regs[3] & 0xF8) | weekday);
    }
    regs[4] = static_cast<uint8_t>((regs[4] & 0xC0) | to_bcd(static_cast<int>(new_mday)));
    regs[5] = static_cast<uint8_t>((regs[5] & 0xE0) | to_bcd(static_cast<int>(new_month)));
    regs[6] = to_bcd(static_cast<int>(new_year % 100));
}

} // namespace vswitch
