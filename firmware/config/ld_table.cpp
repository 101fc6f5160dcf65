// The run-time logical drive table: the record pass of an apply, accessors
// and the rule that decides whether both controllers present a drive.
#include "config/ld_table.h"

#include <algorithm>
#include <cstring>

#include "config/host_port_tables.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"

namespace fw {

namespace {

LD_RECORD s_asLd[MAX_LDS];
uint8_t s_abPreviousState[MAX_LDS];
uint16_t s_wLdCount;

constexpr uint16_t LD_ID_MASK = 0x01FF;
constexpr uint16_t LD_ID_SET = 0x8000;

bool IsConfiguredLd(uint16_t wLd) { return wLd < s_wLdCount; }

// A drive offered through the ports of one controller only is not presented
// by both; a SAN mapping always makes it visible everywhere.
uint8_t fComputeBothControllers(const LD_RECORD& sLd) {
    if (sLd.bSanMapState != 0) return TRUE;
    const uint8_t bPorts = sLd.bAvailability & 0x0F;
    switch (bPorts) {
        case 1: case 2: case 3: case 4: case 8: case 12: return FALSE;
        default: return TRUE;
    }
}

}  // namespace

uint8_t bFindRankHoldingAddress(uint64_t lAddress) {
    const RANK_RECORD* psRanks = pGetRankTable();
    for (uint8_t r = 0; r < bGetRankCount(); r++)
        if (psRanks[r].lLastAddress >= lAddress) return r;
    return 0xFF;
}

void BuildLogicalDriveTable(CONFIG_IMAGE* psImage, uint8_t fPartnerCopy, uint8_t* pfSave, uint8_t* pfChanged) {
    s_wLdCount = static_cast<uint16_t>(dClampedLdCount(psImage));
    for (uint16_t l = 0; l < MAX_LDS; l++) {
        LD_RECORD& sLd = s_asLd[l];
        s_abPreviousState[l] = fPartnerCopy == TRUE ? LD_STATE_UNAVAILABLE : sLd.bLdState;
        if (l >= s_wLdCount) {
            sLd.bLdState = LD_STATE_UNAVAILABLE;
            continue;
        }
        CONFIG_LD_RECORD& sStored = psImage->asLd[l];
        sLd.wLdNumber = sStored.wLdNumber;
        sLd.wDefaultLun = sStored.wDefaultLun;
        const uint8_t bSegments = static_cast<uint8_t>(dClampedSegmentCount(&sStored));
        sLd.bSegmentCount = bSegments;
        if (sStored.wLdId == 0) {
            sStored.wLdId = static_cast<uint16_t>(l | LD_ID_SET);
            *pfSave = TRUE;
        }
        sLd.wLdId = sStored.wLdId;
        uint64_t lBlocks = 0;
        for (uint8_t s = 0; s < bSegments; s++) {
            const LD_SEGMENT& sSegment = sStored.asSegment[s];
            lBlocks += sSegment.lLastOffset + 1;
            sLd.asSegment[s] = sSegment;
            const uint8_t bRank = bFindRankHoldingAddress(sSegment.lStart);
            if (s == 0) sLd.bLdRank = bRank;
            else if (sLd.bLdRank != bRank) sLd.bLdRank = 0xFF;
            RANK_RECORD* psRank = pGetRankRecord(bRank);
            if (psRank != nullptr) psRank->wSegmentCount++;
        }
        if (bSegments == 0) sLd.bLdRank = 0xFF;
        sLd.lLastBlock = bSegments == 0 ? 0 : lBlocks - 1;
        if (sStored.wBlockSize == 0) {
            sStored.wBlockSize = dGetOemCode() == 0x101 ? 4096 : 512;
            *pfChanged = TRUE;
        }
        // A drive without a segment has no blocks to offer.
        sLd.bLdState = bSegments == 0 ? LD_STATE_UNAVAILABLE : LD_STATE_AVAILABLE;
        sLd.wBlockSize = sStored.wBlockSize;
        sLd.bSanMapState = sStored.bSanMapState;
        sLd.bAvailability = sStored.bAvailability;
        sLd.bLdUseFlags = sStored.bLdUseFlags;
        sLd.bDupRole = sStored.bDupRole;
        sLd.fHasSnapshots = FALSE;
    }
}

uint8_t bGetPreviousLogicalDriveState(uint16_t wLd) {
    return wLd < MAX_LDS ? s_abPreviousState[wLd] : LD_STATE_UNAVAILABLE;
}
void SetLogicalDriveHasSnapshots(uint16_t wLd, uint8_t f) {
    if (wLd < MAX_LDS) s_asLd[wLd].fHasSnapshots = f;
}
void SetLogicalDriveState(uint16_t wLd, uint8_t bState) {
    if (wLd < MAX_LDS) s_asLd[wLd].bLdState = bState;
}
LD_RECORD* pGetLogicalDriveRecord(uint16_t wLd) { return wLd < MAX_LDS ? &s_asLd[wLd] : nullptr; }

uint16_t wGetLogicalDriveCount() { return s_wLdCount; }
LD_RECORD* pGetLogicalDriveTable() { return s_asLd; }
uint8_t bGetLogicalDriveState(uint16_t wLd) { return wLd < MAX_LDS ? s_asLd[wLd].bLdState : LD_STATE_UNAVAILABLE; }
uint8_t bGetLogicalDriveBothControllers(uint16_t wLd) {
    if (fIsParityCheckInProgress() == TRUE) return TRUE;
    return wLd < MAX_LDS ? s_asLd[wLd].fBothControllers : FALSE;
}
uint8_t bGetLogicalDriveSegmentCount(uint16_t wLd) { return wLd < MAX_LDS ? s_asLd[wLd].bSegmentCount : 0; }
void GetLogicalDriveSegmentStart(uint16_t wLd, uint8_t bSegment, uint64_t* plStart) {
    *plStart = (wLd < MAX_LDS && bSegment < MAX_LD_SEGMENTS) ? s_asLd[wLd].asSegment[bSegment].lStart : 0;
}
void GetLogicalDriveSegmentLastOffset(uint16_t wLd, uint8_t bSegment, uint64_t* plLastOffset) {
    *plLastOffset = (wLd < MAX_LDS && bSegment < MAX_LD_SEGMENTS) ? s_asLd[wLd].asSegment[bSegment].lLastOffset : 0;
}
uint32_t dGetLogicalDriveSegmentMark(uint16_t wLd, uint8_t bSegment) {
    if (!IsConfiguredLd(wLd) || bSegment >= s_asLd[wLd].bSegmentCount) return 0;
    return s_asLd[wLd].asSegment[bSegment].dExpandMark;
}
uint8_t bGetLogicalDriveCapacity(uint16_t wLd, uint64_t* plLastBlock) {
    if (!IsConfiguredLd(wLd)) {
        *plLastBlock = 0;
        return 0;
    }
    *plLastBlock = s_asLd[wLd].lLastBlock;
    return 0xFF;
}
uint16_t wGetLogicalDriveId(uint16_t wLd) { return IsConfiguredLd(wLd) ? (s_asLd[wLd].wLdId & LD_ID_MASK) : 0xFFFF; }
uint16_t wFindLogicalDriveById(uint16_t wId) {
    // Every identifier carries bit 15; a record never filled carries none.
    for (uint16_t l = 0; l < MAX_LDS; l++)
        if ((s_asLd[l].wLdId & LD_ID_SET) && (s_asLd[l].wLdId & LD_ID_MASK) == wId) return l;
    return 0xFFFF;
}
uint16_t wGetLogicalDriveBlockSize(uint16_t wLd) {
    if (!IsConfiguredLd(wLd) || s_asLd[wLd].wBlockSize == 0) return 512;
    return s_asLd[wLd].wBlockSize;
}
uint8_t bGetLogicalDriveBlockFactor(uint16_t wLd) { return static_cast<uint8_t>(wGetLogicalDriveBlockSize(wLd) / 512); }
uint8_t bGetLogicalDriveRank(uint16_t wLd) { return wLd < MAX_LDS ? s_asLd[wLd].bLdRank : 0xFF; }
uint8_t fGetLogicalDriveHasSnapshots(uint16_t wLd) {
    if (wLd >= MAX_LDS || s_asLd[wLd].bLdState == LD_STATE_UNAVAILABLE) return FALSE;
    return s_asLd[wLd].fHasSnapshots;
}
void SetLogicalDriveDupRole(uint16_t wLd, uint8_t bRole) {
    if (wLd < MAX_LDS) s_asLd[wLd].bDupRole = bRole;
}
uint8_t bGetLogicalDriveDupRole(uint16_t wLd) { return wLd < MAX_LDS ? s_asLd[wLd].bDupRole : 0; }
uint16_t wCountInternalUseLogicalDrives() {
    uint16_t wCount = 0;
    for (uint16_t l = 0; l < s_wLdCount; l++)
        if (s_asLd[l].bLdUseFlags != 0) wCount++;
    return wCount;
}
uint8_t bGetLogicalDriveFirstRank(uint16_t wLd) {
    if (wLd >= MAX_LDS) return 0xFF;
    return bFindRankHoldingAddress(s_asLd[wLd].asSegment[0].lStart);
}
uint32_t dGetConfigGeneration() { return pGetConfigImage()->sHeader.dGeneration; }

void UpdateLdBothControllers() {
    for (uint16_t l = 0; l < s_wLdCount; l++) s_asLd[l].fBothControllers = fComputeBothControllers(s_asLd[l]);
}

void RebuildHostLunVisibility() {
    if (fIsDualControllerActive() != TRUE) ClearPartnerPortRecords();
    UpdateLdBothControllers();
    for (uint16_t l = s_wLdCount; l < MAX_LDS; l++) s_asLd[l].fBothControllers = FALSE;
}

void BuildLdIdentifier(uint8_t* pbIdentifier) {
    uint8_t abWwn[8];
    pGetControllerWWN(abWwn);
    uint64_t lWwn = 0;
    for (uint8_t b : abWwn) lWwn = (lWwn << 8) | b;
    const uint64_t lOui = (lWwn >> 24) & 0xFFFFFF;
    const uint64_t lValue = (0x6ull << 60) | (lOui << 36) | (lWwn & 0xFFFFFF);
    const uint32_t dSerial = dNvramReadLE32(NVRAM_OFFSET(abLdIdentifierCounter)) + 1;
    NvramWriteLE32(NVRAM_OFFSET(abLdIdentifierCounter), dSerial);
    for (int i = 0; i < 8; i++) pbIdentifier[i] = static_cast<uint8_t>(lValue >> (56 - 8 * i));
    std::memset(pbIdentifier + 8, 0, 4);
    for (int i = 0; i < 4; i++) pbIdentifier[12 + i] = static_cast<uint8_t>(dSerial >> (24 - 8 * i));
}

}  // namespace fw
