#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "boot/slots.h"

namespace {

TEST(DateCommand, BcdRegistersWithoutTheBitsThatHoldNoTime) {
    // Oscillator-stop, century and weekday bits must not leak into the date;
    // the year uses all eight.
    const RtcTime time{{0xD9, 0xD9, 0xE3, 0xFF, 0xF1, 0xF2, 0x99}};
    char command[64];
    format_date_command(time, command, sizeof command);
    EXPECT_STREQ(command, "date 123123592099.59\n");
}

TEST(Slots, OtherSlotIsTwoOnlyForSlotOne) {
    EXPECT_EQ(other_slot(1), 2);
    EXPECT_EQ(other_slot(2), 1);
    EXPECT_EQ(other_slot(3), 1);
}

} // namespace
