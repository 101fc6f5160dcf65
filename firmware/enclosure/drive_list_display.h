// The drive table as the console menus and the debug dump show it: one
// fixed-width line per drive.
#pragma once

#include <cstdint>

namespace fw {

// The column header and its rule; with fApm the power management columns.
void ShowDriveListHeader(uint8_t fApm);
// One drive's row without its line end (the caller prints the row number
// before it and the status column after it): 255 when the drive is in the
// table, else 0 with a row of dashes.
uint8_t ShowDriveListEntry(const uint8_t* pbWwn, uint8_t fApm);
// Every record of the current table (the discovery table with fDiscovery),
// each followed by a rule, and the count.
void ShowDriveTableDump(uint8_t fDiscovery);

// Decimal gigabytes of a drive's last block address, as the rows show it.
uint32_t dDriveCapacityGb(uint32_t dCapacity);

}  // namespace fw
