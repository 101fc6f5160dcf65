// The rebuild check: a background task that finds an array member missing
// and a hot spare to rebuild it onto, and starts the rebuild.
#pragma once

#include <cstdint>

namespace fw {

// A spare must hold the member and the configuration copy kept in the
// last 32768 blocks before its last block address, with that copy clear of
// the member's data: the member size and 49151 blocks more.
constexpr uint32_t SPARE_MARGIN_BLOCKS = 49151;

// What the check knows of one row of the hot spare table.
struct SPARE_CANDIDATE {
    uint8_t bDedicatedRank;   // 255: global
    uint8_t fUsable;          // present, its path type the array's, in no array
    uint32_t dLastBlock;      // the drive's last block address
};

// For an array, the rows of up to bWanted dedicated and bWanted global
// spares able to hold lRequired blocks, smallest first, the earlier of
// equals first (255 fills the rest); the number found of each kind.
void ChooseSpares(const SPARE_CANDIDATE* pasCandidate, uint8_t bCount, uint8_t bRank, uint64_t lRequired,
                  uint8_t bWanted, uint8_t* pbDedicated, uint8_t* pbGlobal);

// The hot spares that can replace a missing member of the rank: the rows
// of the best dedicated and the best global one (255 none), the drive
// position of the one to take, and the member size it must hold.  TRUE
// when one was found.  RAID 6 with two members missing: the two best of
// each kind.
uint8_t bSelectSpareForMember(uint8_t bRank, uint8_t bMember, uint8_t* pbDedicated, uint8_t* pbGlobal,
                              uint8_t* pbDrivePosition, uint32_t* pdMemberBlocks);
uint8_t bSelectSparesForRaid6(uint8_t bRank, const uint8_t* pbMembers, uint8_t* pbDedicated, uint8_t* pbGlobal,
                              uint8_t* pbDrivePosition, uint32_t* pdMemberBlocks);

// The blocks a replacement for a member of `dMemberBlocks` must hold: the
// member and the configuration copy (SPARE_MARGIN_BLOCKS), and on the
// array that holds the cache flush area that area too, which lies past
// every member's data.
uint64_t lGetReplacementBlocks(uint8_t bRank, uint32_t dMemberBlocks);

struct DRIVE_INFO;
// A replace request for the member may be carried out: the member has
// failed, no rebuild is recorded or running, and the drive it names is on
// the drive side and in no array.  What a controller without a drive table
// can check.
uint8_t fMayReplaceMember(uint8_t bRank, uint8_t bMember, const uint8_t* pbWwn);
// The drive the request names, when it may take the member: also known in
// the drive table, qualified, of the array's block length and large enough
// for the member and the configuration copy.  Null otherwise.
DRIVE_INFO* psNamedReplacement(uint8_t bRank, uint8_t bMember, const uint8_t* pbWwn);

void SetRebuildCheckPending(uint8_t f);
uint8_t fGetRebuildCheckPending();
// A rank from (start rank, start member) with a member missing: TRUE with
// the rank and up to two members (255 none).
uint8_t fFindRankWithMissingMember(uint8_t bStartRank, uint8_t bStartMember, uint8_t* pbRank, uint8_t* pbMembers,
                                   uint8_t fFirst);
// One pass of the check.
void RebuildCheckTask();

}  // namespace fw
