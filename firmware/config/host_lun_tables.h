// Per-port host LUN tables: the logical drive each initiator sees at each
// host LUN, and the LUN at which the controller itself is presented to it.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint32_t HOST_LUN_INITIATORS = 255;
constexpr uint32_t HOST_LUN_ROWS = 512;
constexpr uint32_t HOST_LUN_TABLE_PAGES = 64;
constexpr uint16_t HOST_LUN_SET_MARK = 0x4000;
constexpr uint16_t HOST_LUN_FLAG = 0x8000;

// Look-up results (bit 7 carries the per-LUN flag of the word).
constexpr uint8_t LUN_LOOKUP_LD = 1;
constexpr uint8_t LUN_LOOKUP_VIRTUAL = 2;
constexpr uint8_t LUN_LOOKUP_NONE = 0xFF;
constexpr uint8_t LUN_LOOKUP_READ_ONLY = 0x80;   // the mapping's per-LUN flag

uint8_t AllocateHostLunTables();   // 0xFF
uint16_t* pGetHostLunTable(uint8_t bPort);
uint8_t bLookupCommandLun(const KERNEL_ENTRY* psEntry, uint16_t* pwLd);
uint8_t bLookupPortLun(uint8_t bPort, uint16_t wLunOrLd, uint16_t wInitiator, uint16_t* pwLd);
uint8_t bSetHostLun(uint8_t bPort, uint16_t wInitiator, uint16_t wLun, uint16_t wLd, uint8_t fFlag);
uint16_t wGetInitiatorControllerLun(const KERNEL_ENTRY* psEntry);
// False when the port's last rebuild is too recent and nothing was done.
bool RebuildPortLunTable(uint8_t bPort);
// The two halves of a rebuild that a port's driver runs around its own
// scan of the port: every word to 0xFFFF (and no initiator mapped), then
// the table from the SAN mappings and defaults for the port's record.
void ClearPortLunTable(uint8_t bPort);
void FillPortLunTable(uint8_t bPort);

}  // namespace fw
