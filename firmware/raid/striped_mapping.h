// RAID 0 and RAID 1/10: a host READ or WRITE becomes one child per member
// (per mirrored pair, plus the mirror copy of every write), each a single
// run of consecutive drive blocks gathered from or scattered to the host
// buffer chunk by chunk, so that no block is copied.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// 255 when every child is queued (or the command was ended in error), 16
// when it must be retried later (entries short, rebuild or expansion region
// busy).  The data address is the command's buffer: one run of blocks in
// host block order.
uint8_t bMapStripedCommand(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress);
// The child (or children) of one member, or of one pair; 255 or 16.
uint8_t bBuildRaid0Child(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bMember, uint8_t bFirst, uint64_t lBase,
                         uint16_t wBlocks, uint32_t dEnd, uint16_t wOffset, uint8_t bMembers, uint16_t wChunkSize,
                         uint32_t dDataAddress);
uint8_t bBuildRaid10Child(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bPair, uint8_t bFirst, uint64_t lBase,
                          uint16_t wBlocks, uint32_t dEnd, uint16_t wOffset, uint8_t bPairs, uint16_t wChunkSize,
                          uint32_t dDataAddress);
// Rank level 0x07: no drive transfer.  A READ gets a zeroed buffer.
uint8_t bRouteExpansionCommand(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress);

// The expansion window of a mapping: the rank may become the old layout
// (63) and the address its rebased form.  255 go on, 16 retry.
uint8_t bApplyExpansionWindow(uint8_t* pbRank, KERNEL_ENTRY* psHost, uint8_t bOpcode, uint64_t* plAddress,
                              uint16_t wBlocks);

uint8_t bGetPairReadBalance(uint8_t bPair);

}  // namespace fw
