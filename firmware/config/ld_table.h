// The run-time logical drive table derived from the live configuration image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config_image.h"

namespace fw {

constexpr uint8_t LD_STATE_AVAILABLE = 3;
constexpr uint8_t LD_STATE_UNAVAILABLE = 4;

#pragma pack(push, 1)
struct LD_RECORD {
    LD_SEGMENT asSegment[MAX_LD_SEGMENTS];
    uint64_t lLastBlock;
    uint16_t wLdNumber;
    uint16_t wDefaultLun;
    uint8_t bLdState;
    uint8_t bSanMapState;
    uint8_t fBothControllers;
    uint8_t bAvailability;
    uint16_t wLdId;
    uint16_t wBlockSize;
    uint8_t bSegmentCount;
    uint8_t bLdUseFlags;
    uint8_t bDupRole;
    uint8_t bLdRank;
    uint8_t fHasSnapshots;
    uint8_t abReserved537[3];
};
#pragma pack(pop)
static_assert(sizeof(LD_RECORD) == 540);
static_assert(offsetof(LD_RECORD, lLastBlock) == 512);
static_assert(offsetof(LD_RECORD, bLdState) == 524);
static_assert(offsetof(LD_RECORD, fBothControllers) == 526);
static_assert(offsetof(LD_RECORD, bDupRole) == 534);
static_assert(offsetof(LD_RECORD, bLdRank) == 535);

// The record pass of an apply over the live image.  Remembers the states the
// records had before (all unavailable in the partner-copy mode).  A stored
// zero identifier is repaired and asks for a save (*pfSave TRUE); a stored
// zero block size is repaired and marks the image changed (*pfChanged TRUE).
void BuildLogicalDriveTable(CONFIG_IMAGE* psImage, uint8_t fPartnerCopy, uint8_t* pfSave, uint8_t* pfChanged);
uint8_t bGetPreviousLogicalDriveState(uint16_t wLd);
void SetLogicalDriveHasSnapshots(uint16_t wLd, uint8_t f);
void SetLogicalDriveState(uint16_t wLd, uint8_t bState);
LD_RECORD* pGetLogicalDriveRecord(uint16_t wLd);     // nullptr above 511
// The first array whose last address is not below the address; 255 when none.
uint8_t bFindRankHoldingAddress(uint64_t lAddress);

uint16_t wGetLogicalDriveCount();
LD_RECORD* pGetLogicalDriveTable();
uint8_t bGetLogicalDriveState(uint16_t wLd);
uint8_t bGetLogicalDriveBothControllers(uint16_t wLd);
uint8_t bGetLogicalDriveSegmentCount(uint16_t wLd);
void GetLogicalDriveSegmentStart(uint16_t wLd, uint8_t bSegment, uint64_t* plStart);
void GetLogicalDriveSegmentLastOffset(uint16_t wLd, uint8_t bSegment, uint64_t* plLastOffset);
uint32_t dGetLogicalDriveSegmentMark(uint16_t wLd, uint8_t bSegment);
uint8_t bGetLogicalDriveCapacity(uint16_t wLd, uint64_t* plLastBlock);
uint16_t wGetLogicalDriveId(uint16_t wLd);
uint16_t wFindLogicalDriveById(uint16_t wId);
uint16_t wGetLogicalDriveBlockSize(uint16_t wLd);
uint8_t bGetLogicalDriveBlockFactor(uint16_t wLd);
uint8_t bGetLogicalDriveRank(uint16_t wLd);
uint8_t fGetLogicalDriveHasSnapshots(uint16_t wLd);
void SetLogicalDriveDupRole(uint16_t wLd, uint8_t bRole);
uint8_t bGetLogicalDriveDupRole(uint16_t wLd);
uint16_t wCountInternalUseLogicalDrives();
uint8_t bGetLogicalDriveFirstRank(uint16_t wLd);
uint32_t dGetConfigGeneration();
void RebuildHostLunVisibility();
void UpdateLdBothControllers();
void BuildLdIdentifier(uint8_t* pbIdentifier);

}  // namespace fw
