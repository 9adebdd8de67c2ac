#include "platform/rtc.h"

#include "platform/i2c.h"

int rtc_read_time(RtcTime* time) {
    return i2c_read_reg(0, I2C_ADDR_RTC, 0, RTC_REGISTER_COUNT, 1, time->bytes);
}
