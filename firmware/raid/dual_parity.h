// RAID 6: every row holds D - 2 data chunks and two parity chunks, P (XOR of
// the data) and Q (the GF(2^8) weighted sum), on rotating members: P on
// member row mod D, Q on the next.  Reads go straight to healthy data
// members and regenerate a lost one from the survivors of its row; writes
// are planned row by row as a full row, a read-modify-write group or a
// degraded write.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Failure cases of a degraded run (the secondary state of its first entry).
constexpr uint8_t R6_CASE_P = 170;
constexpr uint8_t R6_CASE_Q = 171;
constexpr uint8_t R6_CASE_DATA = 172;
constexpr uint8_t R6_CASE_P_AND_Q = 173;
constexpr uint8_t R6_CASE_P_AND_DATA = 174;
constexpr uint8_t R6_CASE_Q_AND_DATA = 175;
constexpr uint8_t R6_CASE_TWO_DATA = 182;

// Command types of RAID 6 children.
constexpr uint8_t CT_R6_DEGRADED_READ_P = 225;
constexpr uint8_t CT_R6_DEGRADED_READ_DATA = 226;
constexpr uint8_t CT_R6_DEGRADED_READ_Q = 227;
constexpr uint8_t CT_R6_DEGRADED_WRITE_READ_P = 228;
constexpr uint8_t CT_R6_DEGRADED_WRITE_READ_DATA = 229;
constexpr uint8_t CT_R6_DEGRADED_WRITE_READ_Q = 230;
constexpr uint8_t CT_R6_DEGRADED_WRITE_P = 231;
constexpr uint8_t CT_R6_DEGRADED_WRITE_DATA = 232;
constexpr uint8_t CT_R6_DEGRADED_WRITE_Q = 233;
constexpr uint8_t CT_R6_READ = 234;
constexpr uint8_t CT_R6_ROW_DATA = 235;
constexpr uint8_t CT_R6_ROW_P = 236;
constexpr uint8_t CT_R6_ROW_Q = 237;
constexpr uint8_t CT_R6_PRE_ROW_DATA = 238;
constexpr uint8_t CT_R6_PRE_ROW_P = 239;
constexpr uint8_t CT_R6_PRE_ROW_Q = 240;
constexpr uint8_t CT_R6_PRE_READ_HEAD = 241;
constexpr uint8_t CT_R6_PRE_READ_HEAD_PART = 242;
constexpr uint8_t CT_R6_PRE_READ_TAIL = 243;
constexpr uint8_t CT_R6_PRE_READ_TAIL_PART = 244;
constexpr uint8_t CT_R6_RMW_P = 213;
constexpr uint8_t CT_R6_RMW_P_PARTNER = 215;
constexpr uint8_t CT_R6_RMW_DATA = 217;
constexpr uint8_t CT_R6_RMW_DATA_PARTNER = 219;
constexpr uint8_t CT_R6_RMW_Q = 221;
constexpr uint8_t CT_R6_RMW_Q_PARTNER = 223;

constexpr uint32_t RAID6_RESERVED_PAGES = 16384;

uint8_t bMapRaid6Command(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress);
uint8_t bBuildRaid6ReadChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bFirstDataMember, uint32_t dRowBlock,
                                uint16_t wBlocks, uint32_t dTail, uint16_t wOffset, uint8_t bDrives,
                                uint16_t wChunkSize, uint32_t dDataAddress);
uint8_t bBuildRaid6WriteChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t bFirstDataMember, uint32_t dRowBlock,
                                 uint16_t wBlocks, uint32_t dTail, uint16_t wOffset, uint8_t bDrives,
                                 uint16_t wChunkSize, uint32_t dDataAddress);
uint8_t fPlanRaid6FullRowWrite(KERNEL_ENTRY* psHost, uint32_t* pdCovered, uint32_t* pdRowOffset, uint32_t* pdTail,
                               uint32_t dRemaining, uint32_t dOffset, uint16_t wChunkSize, uint8_t bDataMember,
                               uint8_t bPMember, uint8_t bQMember, uint8_t bDrives, uint8_t bRank,
                               uint8_t bSubRank, uint32_t dPlanned);
// Frees a degraded read's run: its pages, its entries.
void FreeRaid6ChildChain(KERNEL_ENTRY* psFirst);
// Re-issues the data child of a read-modify-write group as its write.
void IssueRaid6ChildWrite(KERNEL_ENTRY* psChild);
void InitRaid6Buffers();
uint32_t dGetRaid6ReservePages();
uint16_t wGetRaid6PageFailures();

}  // namespace fw
