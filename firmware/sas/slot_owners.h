// Slots shared by two controllers: which of them owns each slot, and the
// events one controller (or the console) asks the drive side to act on for
// a slot.
#pragma once

#include <cstdint>

namespace fw {

// The owner maps cover the twelve slots of an enclosure.
constexpr uint8_t SLOT_OWNER_MAP_SLOTS = 12;
constexpr uint8_t SLOT_OWNER_MAP_ENCLOSURES = 24;

// Kinds of slot event besides a task management function (kind 0).
constexpr uint8_t SLOT_EVENT_SLOT_CHANGE = 1;
constexpr uint8_t SLOT_EVENT_VISIBILITY = 2;
constexpr uint8_t SLOT_EVENT_DRIVE_RESET = 3;

// After expander discovery: each enclosure gets the owner map its
// enclosure's kind asks for.
void SetupSlotOwnerMaps();
// Start of day: every enclosure starts with the grouped map.
void InitSlotOwnerMaps();

}  // namespace fw
