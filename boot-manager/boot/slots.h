// Where an Application OS image is booted from.
#pragma once

using ImageSlot = int;

constexpr ImageSlot SLOT_USB = 3;

inline ImageSlot other_slot(ImageSlot slot) {
    return slot == 1 ? 2 : 1;
}

// The boot slot from NVRAM: 1 or 2; any other stored value boots slot 1.
ImageSlot select_boot_slot();
