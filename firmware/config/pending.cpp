// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include <cstring>

#include "config/config_db.h"
#include "config/config_state.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "executive/date_time.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "enclosure/drive_rescan.h"
#include "fc/fc_driver.h"

namespace fw {

void CheckOnDiskHeaders() {}
uint8_t bSetUpConfigUpgradeTable() { return STATUS_OK; }


// Stand-ins for the board state.
uint8_t fGetConfiguredControllerWwn(uint8_t*) { return FALSE; }

uint8_t fGetDriveFirmwareDownloadRequest() { return FALSE; }
void StartConfigCommit() {}

uint8_t RequestConfigUpdate(uint8_t) { return TRUE; }
// The way the array's first members are reached.
uint8_t bGetArrayMemberPathType(const CONFIG_IMAGE* psImage, uint8_t bRank) {
    if (bRank >= MAX_RANKS) return 0;
    const CONFIG_RANK_RECORD& s = psImage->asRank[bRank];
    const uint8_t bMembers = s.bDriveCount >= 3 ? 3 : 2;
    for (uint8_t m = 0; m < bMembers; ++m) {
        const uint8_t b = bGetDrivePathType(s.aabMemberWwn[m]);
        if (b != 0) return b;
    }
    return 0;
}

// The records only: later ones move down, the last is cleared.
void DeleteLogicalDrive(uint16_t wLd, uint8_t fTruncate, uint8_t fScratch) {
    CONFIG_IMAGE* ps = fScratch == TRUE ? pGetScratchConfigImage() : pGetConfigImage();
    const uint32_t dCount = dClampedLdCount(ps);
    if (wLd >= dCount) return;
    const uint32_t dKeep = fTruncate == TRUE ? wLd : dCount - 1;
    for (uint32_t l = wLd; l < dKeep; ++l) {
        ps->asLd[l] = ps->asLd[l + 1];
        ps->asLd[l].wLdNumber = static_cast<uint16_t>(l);
    }
    for (uint32_t l = dKeep; l < dCount; ++l) std::memset(&ps->asLd[l], 0, sizeof ps->asLd[l]);
    ps->sHeader.wLdCount = static_cast<uint16_t>(dKeep);
}

// Edits and commits end at once until they are built.
uint8_t BeginConfigEditPhase(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}
uint8_t CommitConfigurationPhase(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}

void BuildDriveCommand(KERNEL_ENTRY* psEntry, uint8_t bPath, uint8_t bTarget, uint16_t wTimeout,
                       uint16_t wControlFlags, uint32_t dLength, uint16_t wSegments, uint32_t dAddress,
                       const uint8_t* pbCdb, uint8_t bCommandType) {
    constexpr uint8_t DRIVE_LOOP_3 = 3;
    constexpr uint8_t DRIVE_LOOP_4 = 4;
    psEntry->wTargetId = bPath == DRIVE_LOOP_3 || bPath == DRIVE_LOOP_4 ? bAlpaToLoopId(bTarget)
                         : bPath == PORT_CODE_INITIATOR                 ? bTarget
                                                                        : 0;
    psEntry->bEntryType = ENTRY_TYPE_COMMAND;
    psEntry->bCount = 1;
    psEntry->bMark = 255;
    psEntry->bStatus = 0;
    psEntry->dHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(psEntry));
    psEntry->wHead10 = 0;
    psEntry->wControlFlags = wControlFlags;
    psEntry->wTimeout = wTimeout;
    std::memset(psEntry->abCdb, 0, sizeof psEntry->abCdb);
    std::memcpy(psEntry->abCdb, pbCdb, 10);
    psEntry->dTotalByteCount = dLength;
    psEntry->wSegmentCount = wSegments;
    std::memset(psEntry->asSegment, 0, sizeof psEntry->asSegment);
    if (wSegments > 0) psEntry->asSegment[0] = {dAddress, dLength};
    psEntry->bPrimaryState = PS_NEW_COMMAND;
    psEntry->bSecondaryState = 0;
    psEntry->bPortCode = bPath;
    psEntry->bCommandType = bCommandType;
    psEntry->fValid = TRUE;
    psEntry->bRank = bGetPhaseParam3();
    psEntry->bMember = bGetPhaseParam4();
    psEntry->lFlags = 0;
    psEntry->bRetryCount = bCommandType == DRIVE_COMMAND_TYPE_TEST_UNIT_READY ? 90 : 4;
    psEntry->psMother = psEntry;
    psEntry->bSegmentIndex = 0;
    psEntry->bSegmentCount = 0;
    psEntry->bSecondRank = 0;
    psEntry->wDeviceHandle = 0;
}

namespace {
uint8_t s_bCacheSetting20d = FALSE;
}  // namespace
uint8_t bGetCacheSetting20d() { return s_bCacheSetting20d; }
void SetCacheSetting20d(uint8_t b) { s_bCacheSetting20d = b; }

namespace {
uint8_t s_fWritebackCaching = TRUE;
uint8_t s_fCommandClustering = TRUE;
uint8_t s_bCacheSetting207 = TRUE;
uint8_t s_bCacheOrdering = FALSE;
uint8_t s_fSecondClustering = TRUE;
uint8_t s_fAgingPriority = FALSE;
uint8_t s_fRankQueueLimit = FALSE;
uint8_t s_fHoldSetting = FALSE;
}  // namespace
uint8_t fGetWritebackCaching() { return s_fWritebackCaching; }
void SetWritebackCaching(uint8_t f) { s_fWritebackCaching = f; }
uint8_t fGetCommandClustering() { return s_fCommandClustering; }
void SetCommandClustering(uint8_t f) { s_fCommandClustering = f; }
uint8_t bGetCacheSetting207() { return s_bCacheSetting207; }
void SetCacheSetting207(uint8_t b) { s_bCacheSetting207 = b; }
namespace {
uint8_t s_bCacheSetting206 = FALSE;
uint8_t s_bCacheSetting208 = TRUE;
uint8_t s_bCacheSetting209 = FALSE;
}  // namespace
uint8_t fGetCacheSetting208() { return s_bCacheSetting208; }
void SetCacheSetting208(uint8_t b) { s_bCacheSetting208 = b; }
uint8_t bGetCacheSetting206() { return s_bCacheSetting206; }
void SetCacheSetting206(uint8_t b) { s_bCacheSetting206 = b; }
uint8_t bGetCacheSetting209() { return s_bCacheSetting209; }
void SetCacheSetting209(uint8_t b) { s_bCacheSetting209 = b; }
uint8_t bGetCacheOrderingSetting() { return s_bCacheOrdering; }
uint8_t fGetSecondClusteringSetting() { return s_fSecondClustering; }
uint8_t fGetAgingPrioritySetting() { return s_fAgingPriority; }
uint8_t fGetRankQueueLimitSetting() { return s_fRankQueueLimit; }
uint8_t fGetHoldSetting() { return s_fHoldSetting; }
void SetCacheOrderingSetting(uint8_t b) { s_bCacheOrdering = b; }
void SetSecondClusteringSetting(uint8_t f) { s_fSecondClustering = f; }
void SetAgingPrioritySetting(uint8_t f) { s_fAgingPriority = f; }
void SetRankQueueLimitSetting(uint8_t f) { s_fRankQueueLimit = f; }
void SetHoldSetting(uint8_t f) { s_fHoldSetting = f; }
namespace {
uint8_t s_fReadAheadCaching = TRUE;
}  // namespace
uint8_t fGetReadAheadCaching() { return s_fReadAheadCaching; }
void SetReadAheadCaching(uint8_t f) { s_fReadAheadCaching = f; }
uint8_t bGetStreamingReadAhead() { return FALSE; }
uint8_t fGetRankStreamingReadAhead(uint8_t) { return FALSE; }
uint8_t fGetRankThrottle(uint8_t) { return FALSE; }
uint8_t fGetRankSecondThrottle(uint8_t) { return FALSE; }
uint8_t fGetLogicalDriveThrottle(uint16_t) { return FALSE; }
namespace {
uint8_t s_fIoQuiesce = FALSE;
}  // namespace
uint8_t fGetIoQuiesceFlag() { return s_fIoQuiesce; }
void SetIoQuiesceFlag(uint8_t f) { s_fIoQuiesce = f; }
uint8_t fGetLdStripeAccessTracking(uint16_t) { return FALSE; }

namespace {
uint8_t s_fPartialFullStripeWrite = FALSE;
uint8_t s_fHoldFullRowDataWrites = FALSE;
}  // namespace
uint8_t fGetPartialFullStripeWrite() { return s_fPartialFullStripeWrite; }
uint8_t fGetHoldFullRowDataWrites() { return s_fHoldFullRowDataWrites; }
void SetPartialFullStripeWrite(uint8_t f) { s_fPartialFullStripeWrite = f; }
void SetHoldFullRowDataWrites(uint8_t f) { s_fHoldFullRowDataWrites = f; }

}  // namespace fw
