// RAID 5 and RAID 50: G sub-ranks of P members striped together, one
// parity chunk per sub-rank in every row, rotating with the row.  Reads
// become one child per chunk, or a regeneration run through the other
// members of a missing member's sub-rank; writes become per chunk a
// read-modify-write pair, a reconstruct-write group or a data-only write,
// and whole (or mostly whole) rows a full-row group, with the parity
// computed on the XOR engine.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint8_t CT_PARITY_FLUSH_OF_PARTNER = 0xC3;   // secondary state of a partner extent flush
constexpr uint8_t CT_FLUSH_WRITE = 131;
constexpr uint16_t PAGE_FAILURES_BEFORE_RESERVE = 51;

// 255 issued, 16 retry later, 0 an opcode other than READ and WRITE.
uint8_t bMapParityCommand(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress);
uint8_t bBuildRaid5ReadChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bFirstDataMember, uint64_t lRowBase,
                                uint16_t wBlocks, uint32_t dTail, uint16_t wOffset, uint8_t bDrives,
                                uint16_t wChunkSize, uint32_t dDataAddress);
uint8_t bBuildRaid5WriteChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bFirstDataMember, uint64_t lRowBase,
                                 uint16_t wBlocks, uint32_t dTail, uint16_t wOffset, uint8_t bDrives,
                                 uint16_t wChunkSize, uint32_t dDataAddress);
// TRUE when the chunk begins a full-row write; the row's covered blocks,
// the blocks of the row before it (lead) and after it (trail).
uint8_t fIsFullRowWrite(KERNEL_ENTRY* psHost, uint32_t* pdRowBlocks, uint32_t* pdLead, uint32_t* pdTrail,
                        uint32_t dRemaining, uint32_t dOffset, uint16_t wChunkSize, uint8_t bDataMember,
                        uint8_t bParityMember, uint8_t bMembersPerSubrank, uint8_t bRank, uint8_t bSubRank);

// The completion-side steps of the RAID 5/50 groups.
void ContinueFullRowWrite(KERNEL_ENTRY* psHead);

// Settings of the stored configuration the parity writes follow.
uint16_t wGetParityPageFailures();

}  // namespace fw
