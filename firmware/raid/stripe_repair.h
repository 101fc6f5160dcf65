// Stripe consistency repair: a journalled write may have reached some drives
// of its stripe and not others.  For each such write the cache flush
// sequencer hands over (a resync request), the redundancy of every stripe it
// touched is recomputed from the data on the drives: the mirror copy on
// RAID 1/10, the parity on RAID 5/50, P and Q on RAID 6.  Data is never
// rewritten.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Child command types of the repair groups.
constexpr uint8_t CT_REPAIR_DATA_READ = 38;     // RAID 5/50: a data member's blocks
constexpr uint8_t CT_REPAIR_PARITY_WRITE = 39;  // RAID 5/50: the group head, the new parity
constexpr uint8_t CT_REPAIR_R6_READ = 248;
constexpr uint8_t CT_REPAIR_R6_P_WRITE = 249;   // the RAID 6 group head
constexpr uint8_t CT_REPAIR_R6_Q_WRITE = 250;

// A request whose groups are all issued and counted on it.
constexpr uint8_t PS_RESYNC_REPAIRING = 0x62;

// The next waiting resync request of host port 1 is repaired (or goes on
// where a shortage of entries or pages stopped it).
void StartStripeRepair();
// The next finished request releases its journal slot and its entry:
// STATUS_FOUND, or STATUS_NOT_FOUND when none is finished.
uint8_t FinishStripeRepair();

void RepairRaid10Stripes(KERNEL_ENTRY* psRequest);
void RepairRaid5Stripes(KERNEL_ENTRY* psRequest);
void RepairRaid6Stripes(KERNEL_ENTRY* psRequest);
// One RAID 5/50 group: the parity member of one row of one sub-rank over
// the drive blocks given, recomputed from the P - 1 data members.  255, or
// 16 / 66 when entries or pages are short (nothing taken).
uint8_t IssueRowParityRepair(KERNEL_ENTRY* psRequest, uint32_t dDriveBlock, uint16_t wBlocks, uint8_t bRank,
                             uint8_t bSubRank, uint8_t bParityMember, uint8_t P);

}  // namespace fw
