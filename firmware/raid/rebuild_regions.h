// The rebuild's regions on the RAID engine's side: a region command (a host
// pool entry the rebuild fills and puts on wait list A) is carried through
// a read phase, which reads the member's sources and regenerates its data
// into the region's buffer, and a write phase, which writes that buffer to
// the replacement drive.  Two main-loop passes run them: the issue pass
// over wait list A and the completion pass over wait list B.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/kernel_entry.h"
#include "raid/child_commands.h"

namespace fw {

// Region states (primary state of the region command).
constexpr uint8_t REGION_NEW = 0x50;                  // 'P': issued by the rebuild, or back for its write
constexpr uint8_t REGION_RAID10_READING = 0x51;       // 'Q'
constexpr uint8_t REGION_RAID10_READ_DONE = 0x52;     // 'R'
constexpr uint8_t REGION_RAID5_READING = 0x53;        // 'S'
constexpr uint8_t REGION_RAID5_READS_DONE = 0x54;     // 'T'
constexpr uint8_t REGION_RAID5_REGENERATING = 0x55;
constexpr uint8_t REGION_RAID10_WRITING = 0x57;       // 'W'
constexpr uint8_t REGION_RAID5_WRITING = 0x58;        // 'X'
constexpr uint8_t REGION_RAID10_WRITE_DONE = 0x59;    // 'Y'
constexpr uint8_t REGION_RAID5_WRITE_DONE = 0x5A;     // 'Z'
constexpr uint8_t REGION_READ_REPAIR = 0x9F;
constexpr uint8_t REGION_RAID6_READING = 163;
constexpr uint8_t REGION_RAID6_READS_DONE = 0xA4;
constexpr uint8_t REGION_RAID6_REGENERATING = 0xA5;
constexpr uint8_t REGION_RAID6_WRITING = 167;
constexpr uint8_t REGION_RAID6_WRITE_DONE = 0xAB;
constexpr uint8_t REGION_STRIPE_INIT_STEP_DONE = 94;

// Command types of the region children.
constexpr uint8_t CT_REGION_RAID5_READ = 0x20;
constexpr uint8_t CT_REGION_RAID5_REGENERATE = 0x21;
constexpr uint8_t CT_REGION_RAID5_WRITE = 0x22;
constexpr uint8_t CT_REGION_RAID10_READ = 0x23;
constexpr uint8_t CT_REGION_RAID10_WRITE = 0x24;
constexpr uint8_t CT_REGION_READ_REPAIR = 0xBC;
constexpr uint8_t CT_REGION_RAID6_READ = 245;
constexpr uint8_t CT_REGION_RAID6_REGENERATE = 0xF6;
constexpr uint8_t CT_REGION_RAID6_WRITE = 247;

constexpr uint8_t REGION_NO_MEMBER = 255;

// What the rebuild fills in a region command; the region's buffer is the
// entry's buffer handle and page count.
#pragma pack(push, 1)
struct REBUILD_REGION_FIELDS {
    uint8_t bMember;              // D0: the member rebuilt
    uint8_t bSecondMember;        // D1: RAID 6, a second member rebuilt (255 none)
    uint8_t bReplacement;         // the drive D0 is written to
    uint8_t bReplacementAlt;      // the drive D1 is written to
    uint8_t abSource[16];         // RAID 5/50: the P - 1 surviving drives of the sub-rank;
                                  // RAID 6: the drive of each member, by position
    uint8_t abStart[4];           // first member block, big-endian
    uint8_t abBlocks[2];          // blocks of the region, big-endian
    uint8_t fWritePhase;          // TRUE: the buffer goes to the replacement
};
#pragma pack(pop)
static_assert(sizeof(REBUILD_REGION_FIELDS) <= sizeof(RAID_ENTRY_FIELDS::abJobFields));

// In the job part of the RAID range: a region is a mother too, and its
// children read its path from the rest of the range.
inline REBUILD_REGION_FIELDS* psRegionFields(KERNEL_ENTRY* psEntry) {
    return reinterpret_cast<REBUILD_REGION_FIELDS*>(pRaidFields(psEntry)->abJobFields);
}

// The two passes (the main loop's wait-list services).
void IssueRebuildRegions();
void ProcessRebuildRegionCompletions();
// One region child: a READ(10) or WRITE(10) of the region's blocks on a
// drive from or into a buffer address.
void BuildRegionChild(KERNEL_ENTRY* psRegion, KERNEL_ENTRY* psChild, uint8_t bOpcode, uint8_t bDrive,
                      uint8_t bMember, uint32_t dAddress, uint8_t bCommandType);
uint8_t bIssueRaid10RegionChild(KERNEL_ENTRY* psRegion);
void RegenerateRegion(KERNEL_ENTRY* psRegion);
uint8_t bRepairRegionReadError(KERNEL_ENTRY* psRegion);

}  // namespace fw
