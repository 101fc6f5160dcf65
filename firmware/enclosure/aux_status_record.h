// The auxiliary status record: a 40-byte record hosts read through a
// management page, two hooks whose answers are fixed, and a periodic hook
// of the system tick.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint32_t AUX_STATUS_RECORD_BYTES = 40;
constexpr uint8_t AUX_STATUS_RECORD_VERSION = 2;

// Start-up: the flags cleared and the record written.
void InitAuxStatusRecord();
const uint8_t* pGetAuxStatusRecord();
// A host's read of the record: the offset in CDB bytes 3-5, the length in
// 6-8.  255 answered, 66 no buffer page free, FALSE an offset past the
// record (the caller refuses it).
uint8_t bHostReadAuxStatusRecord(KERNEL_ENTRY* psEntry);

// A rank's cache policy condition (bit 4) is always met; the console's
// output always takes its normal path.
uint8_t fAuxCachePolicyCondition();
uint8_t fAuxConsoleHook();

void SetAuxFlagA(uint8_t f);
void SetAuxFlagB(uint8_t f);

// From the half-second tick once the enclosure countdown has run out, the
// option bit is set and no XMODEM receive runs.
void AuxTickHook();

}  // namespace fw
