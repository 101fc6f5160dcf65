// Mode pages: MODE SENSE and MODE SELECT of 6 and 10 bytes.
//
// One set of pages serves the whole controller, each page in four copies
// (current, changeable, default, saved, in page-control order); the saved
// copies also live in a 192-byte area of NVRAM, so that they outlast a
// restart.  Only the block descriptor and a few geometry fields are worked
// out per logical drive.  Nothing else in the system reads the pages; the
// vendor page's strict bit makes MODE SELECT refuse a change it cannot make.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint32_t MODE_PAGE_AREA_BYTES = 192;
constexpr uint8_t MODE_PAGE_COPIES = 4;
constexpr uint8_t MAX_MODE_PAGE_BYTES = 24;
constexpr uint8_t COMMAND_TYPE_MODE_SELECT = 83;
// Secondary state of a MODE SENSE that arrived in its 6-byte form.
constexpr uint8_t SECONDARY_MODE_SENSE6 = 6;

// Start-up: changeable and default copies from the tables, saved copies
// from NVRAM (or the defaults, stored there on a first start), current
// copies from the saved ones.
void InitModePages();

// MODE SENSE(6) and (10): 255, or 66 when no buffer page is free (the
// command stays at the head of the new-command ring).
uint8_t ModeSense(KERNEL_ENTRY* psEntry);
// MODE SELECT(6) and (10): receives the parameter list.  255, or 66 as for
// MODE SENSE.
uint8_t ModeSelect(KERNEL_ENTRY* psEntry);
// The parameter list has arrived (command type 83): checked whole, then
// applied, then answered.
void ModeSelectData(KERNEL_ENTRY* psEntry);

// Header, block descriptor and pages for a logical drive whose capacity
// names its last 512-byte unit; returns the length built.
uint16_t wBuildModeSenseData(uint8_t* pbBuffer, uint16_t wLd, uint8_t bPageCode, uint8_t fBlockDescriptors,
                             uint8_t bPageControl, uint64_t lCapacity, uint8_t fTenByte, uint8_t fLongLba);

// The copies of a page and the NVRAM offset of its saved bytes; every
// pointer null for a page code the controller does not have.
void GetModePageCopies(uint8_t bPageCode, uint8_t** ppbCurrent, uint8_t** ppbChangeable, uint8_t** ppbSaved,
                       uint32_t* pdNvramOffset);

}  // namespace fw
