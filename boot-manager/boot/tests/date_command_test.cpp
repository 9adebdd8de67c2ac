#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "boot/slots.h"

namespace {

TEST(DateCommand, BcdRegistersGiveMonthDayHourMinuteYearSeconds) {
    const RtcTime time{{0x30, 0x45, 0x13, 0x02, 0x24, 0x06, 0x25}};
    char command[64];
    format_date_command(time, command, sizeof command);
    EXPECT_STREQ(command, "date 062413452025.30\n");
}

TEST(DateCommand, MasksBitsThatHoldNoValue) {
    // Oscillator-stop, century and weekday bits must not leak into the date.
    const RtcTime time{
        {0x80 | 0x59, 0x80 | 0x59, 0xC0 | 0x23, 0x07, 0xC0 | 0x31, 0xE0 | 0x12, 0x99}};
    char command[64];
    format_date_command(time, command, sizeof command);
    EXPECT_STREQ(command, "date 123123592099.59\n");
}

TEST(DateCommand, ZeroRecordStillFormsCommand) {
    const RtcTime time{};
    char command[64];
    format_date_command(time, command, sizeof command);
    EXPECT_STREQ(command, "date 000000002000.00\n");
}

TEST(Slots, OtherSlot) {
    EXPECT_EQ(other_slot(1), 2);
    EXPECT_EQ(other_slot(2), 1);
    EXPECT_EQ(other_slot(3), 1);
}

} // namespace
