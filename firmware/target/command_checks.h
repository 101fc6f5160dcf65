// The two checks between a received CDB and its handler.  Both only
// compute: they answer 255 when the command may go on, or 0 with the sense
// key, ASC and ASCQ the caller answers it with.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// READ(16), WRITE(16) and WRITE AND VERIFY(16) against their logical drive:
// reserved fields and a transfer of 65536 units or more give 5/0x24, a
// range outside the drive 5/0x21, a transfer length of 0 inside it 0/0/0.
// Every refusal clears CDB bytes 12 and 13.
uint8_t bCheckLbaRange(KERNEL_ENTRY* psEntry, uint16_t wLd, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq);

// 512-byte units in one block of the logical drive (1 for a drive that
// names none).
uint32_t dBlockFactor(uint16_t wLd);
// The logical drive's size in its own blocks: its capacity names the last
// 512-byte unit, and a partial block at the end does not count.  0 when
// there is no such drive.
uint64_t lGetLogicalDriveBlocks(uint16_t wLd);
// TRUE when blocks [lLba, lLba + dBlocks) of the drive exist; with dBlocks
// 0, when block lLba does.  No product is formed, so nothing can wrap.
uint8_t fIsBlockRangeInside(uint16_t wLd, uint64_t lLba, uint32_t dBlocks);

// The bits of a supported command's CDB that the controller does not
// implement must be zero: 5/0x24 when one is set, 5/0x20 for an opcode the
// table does not know.
uint8_t fIsCdbReservedFieldSet(const KERNEL_ENTRY* psEntry, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq);

}  // namespace fw
