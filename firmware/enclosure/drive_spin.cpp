// Drive spin control: the per-position power marks, the pending spin-up and
// spin-down sets the spin job works through, and the drive commands of
// power management with their completion.
#include "enclosure/drive_spin.h"

#include <cstring>

#include "config/config_commit.h"
#include "config/config_db.h"
#include "config/config_image.h"
#include "config/drive_tables.h"
#include "config/spares_wwn.h"
#include "config/config_phase.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "enclosure/power_management.h"
#include "eventlog/event_log.h"
#include "executive/background_process.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "mgmt/management_commands.h"
#include "partner/partner_link.h"
#include "raid/drive_verify.h"
#include "sas/sas_device_list.h"
#include "sas/sas_scsi_path.h"
#include "target/command_access.h"
#include "target/drive_pass_through.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_DRIVE_SPIN = 147;
constexpr uint8_t EVENT_SELF_TEST_FAILED = 29;
constexpr uint8_t EVENT_SPIN_DOWN = 1;
constexpr uint8_t EVENT_SPIN_UP = 2;
constexpr uint8_t MESSAGE_APM_NOTICE = 120;
constexpr uint8_t SUB_DRIVE_SPIN_STATE = 36;
constexpr uint8_t SELF_TEST_CLEAR_MODE = 128;
constexpr uint8_t START_UNIT_IMMEDIATE = 0x01;
constexpr uint8_t SELF_TEST_BACKGROUND_SHORT = 0x20;
constexpr uint8_t STOPS_RETRY_SECONDS = 10;
constexpr uint8_t SPIN_UPS_POLL_SECONDS = 4;
constexpr uint8_t HOLD_RETRY_SECONDS = 10;
constexpr uint16_t FIRST_PASS_MS = 10;

struct SPIN_CALLBACK {
    void (*pfnDone)(void*);
    void* pArgument;
};

struct DRIVE_SPIN_TABLES {
    uint32_t adSpunDown[APM_ENCLOSURES];
    uint32_t adSpinningUp[APM_ENCLOSURES];
    uint32_t adTest[APM_ENCLOSURES];
    DRIVE_MASK_SET sPendingUp;
    DRIVE_MASK_SET sPendingDown;
    SPIN_CALLBACK asCallback[APM_SPIN_CALLBACKS];
    uint8_t bCallbacks;
    uint8_t fHold;
    // Per position: STARTs sent since it was last up, and when the first
    // of them went (ms tick).
    uint8_t aabStarts[APM_ENCLOSURES][APM_SLOTS];
    uint64_t aalFirstStart[APM_ENCLOSURES][APM_SLOTS];
    // Per position: STOPs refused in a row.
    uint8_t aabStopsRefused[APM_ENCLOSURES][APM_SLOTS];
};
DRIVE_SPIN_TABLES s_sSpin;

// The functional verifies of each level: outstanding, and whether the level
// still runs.
constexpr uint8_t VERIFY_KIND_LEVEL1 = 1;
struct VERIFY_LEVEL {
    uint32_t dOutstanding;
    uint8_t fRunning;
};
VERIFY_LEVEL s_asVerify[2] = {{0, FALSE}, {0, FALSE}};
constexpr uint32_t VERIFY_BLOCKS = 4096;

bool IsValidPosition(uint8_t bEnclosure, uint8_t bSlot) {
    return bEnclosure >= 1 && bEnclosure <= APM_ENCLOSURES && bSlot >= 1 && bSlot <= APM_SLOTS;
}
uint32_t dBit(uint8_t bSlot) { return 1u << (bSlot - 1); }
uint32_t& rWord(uint32_t* pd, uint8_t bEnclosure) { return pd[bEnclosure - 1]; }

uint8_t bCountBits(const uint32_t* pd) {
    uint32_t dCount = 0;
    for (uint8_t e = 0; e < APM_ENCLOSURES; ++e) dCount += static_cast<uint32_t>(__builtin_popcount(pd[e]));
    return static_cast<uint8_t>(dCount);
}

// Walks every position of a set in enclosure and slot order.
template <typename Visit>
void ForEachInSet(const DRIVE_MASK_SET& s, Visit visit) {
    for (uint8_t e = 1; e <= APM_ENCLOSURES; ++e) {
        for (uint8_t sl = 1; sl <= APM_SLOTS; ++sl) {
            if ((s.adEnclosure[e - 1] & dBit(sl)) != 0 && !visit(e, sl)) return;
        }
    }
}

void TellPartner(uint8_t bEnclosure, uint8_t bSlot, uint8_t bUp) {
    if (fIsDualControllerActive() != TRUE) return;
    const uint8_t abArgs[3] = {bEnclosure, bSlot, bUp};
    (void)bSendAPMMessageToPartner(nullptr, nullptr, 0, MESSAGE_APM_NOTICE, SUB_DRIVE_SPIN_STATE, abArgs);
}

void PostSpinEvent(uint8_t bKind, uint8_t bEnclosure, uint8_t bSlot) {
    uint8_t abWwn[8] = {};
    DRIVE_INFO* ps = nullptr;
    if (fFindDriveByEnclosureSlot(bEnclosure, bSlot, &ps) == TRUE) std::memcpy(abWwn, ps->abWWN, sizeof abWwn);
    PostEvent(EVENT_DRIVE_SPIN, bKind, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6], abWwn[7],
              bEnclosure, bSlot);
}

void ForgetStarts(uint8_t bEnclosure, uint8_t bSlot) {
    s_sSpin.aabStarts[bEnclosure - 1][bSlot - 1] = 0;
    s_sSpin.aalFirstStart[bEnclosure - 1][bSlot - 1] = 0;
}

// A power command: the drive's six-byte CDB, sent through the host command
// path, which hands what the drive answered to APMDriveCommandComplete.
uint8_t bQueuePowerCommand(uint8_t bEnclosure, uint8_t bSlot, const uint8_t (&abInner)[6], uint8_t fHasRequest,
                           KERNEL_ENTRY* psRequest) {
    DRIVE_INFO* psDrive = nullptr;
    if (!IsValidPosition(bEnclosure, bSlot) || fFindDriveByEnclosureSlot(bEnclosure, bSlot, &psDrive) != TRUE) return 0;
    return bQueueDrivePassThrough(bEnclosure, bSlot, abInner, fHasRequest == TRUE ? psRequest : nullptr);
}

// The spin job's entry: created when none is, its next pass in 10 ms.
uint8_t bScheduleSpinJob() {
    uint16_t wId = BACKGROUND_PROCESS_NONE;
    if (fFindBackgroundProcessOfType(APM_SPIN_JOB_TYPE, &wId) != TRUE &&
        bCreateBackgroundProcess(APM_SPIN_JOB_TYPE, APM_SPIN_JOB_ACTION, DriveSpinJob, &wId, 0, 0) != STATUS_OK) {
        return STATUS_RETRY;
    }
    return bSetBackgroundProcessDelay(wId, FIRST_PASS_MS, 0, 0, 0, 0) == STATUS_OK ? STATUS_OK : STATUS_RETRY;
}

bool fAllPendingUp() {
    bool fAll = true;
    ForEachInSet(s_sSpin.sPendingUp, [&](uint8_t e, uint8_t sl) {
        fAll = bGetDriveAPMState(e, sl) == DRIVE_APM_SPUN_UP;
        return fAll;
    });
    return fAll;
}

// A drive that has had its STARTs or its time and is still not up.
bool IsGivenUp(uint8_t e, uint8_t sl) {
    const uint64_t lFirst = s_sSpin.aalFirstStart[e - 1][sl - 1];
    return s_sSpin.aabStarts[e - 1][sl - 1] >= APM_START_LIMIT ||
           (lFirst != 0 && lGetTickCount() - lFirst >= APM_SPIN_UP_LIMIT_MS);
}

// A drive still spinning up is asked whether it is ready; one gone from the
// table has nothing to wait for.  A SATA drive behind an active-passive
// multiplexer is not asked: its START completes only once it is up.
void PollSpinningDrive(uint8_t e, uint8_t sl) {
    DRIVE_INFO* ps = nullptr;
    if (fFindDriveByEnclosureSlot(e, sl, &ps) != TRUE) {
        (void)bMarkDriveSpunUp(e, sl);
        RemoveDriveFromSet(&s_sSpin.sPendingUp, e, sl);
        return;
    }
    if (bGetDrivePathType(ps->abWWN) == DRIVE_PATH_SATA_ACTIVE_PASSIVE) {
        (void)bMarkDriveSpunUp(e, sl);
        return;
    }
    static constexpr uint8_t TEST_UNIT_READY_CDB[6] = {SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    (void)bQueuePowerCommand(e, sl, TEST_UNIT_READY_CDB, FALSE, nullptr);
}

// Step 7: STOPs to the pending spin-downs still turning, at most eight a
// pass; TRUE when none is left.
bool IssueSpinDowns() {
    uint8_t bSent = 0;
    bool fLeft = false;
    ForEachInSet(s_sSpin.sPendingDown, [&](uint8_t e, uint8_t sl) {
        const uint8_t bState = bGetDriveAPMState(e, sl);
        if (bState == DRIVE_APM_SPUN_DOWN) {
            RemoveDriveFromSet(&s_sSpin.sPendingDown, e, sl);
            return true;
        }
        if (bState != DRIVE_APM_SPUN_UP || bSent >= APM_MAX_STOPS_PER_PASS) {
            fLeft = true;
            return true;
        }
        const uint8_t bStatus = bStartStopDrive(e, sl, FALSE, FALSE, nullptr);
        if (bStatus == STATUS_RETRY) {
            fLeft = true;
            return true;
        }
        ++bSent;
        // A drive gone from the table has nothing to stop.
        if (bStatus == STATUS_OK) MarkDriveSpunDown(e, sl);
        RemoveDriveFromSet(&s_sSpin.sPendingDown, e, sl);
        return true;
    });
    return !fLeft;
}

}  // namespace

void InitPowerManagementTables() {
    std::memset(&s_sSpin, 0, sizeof s_sSpin);
    s_sSpin.fHold = FALSE;
    s_asVerify[0] = s_asVerify[1] = {0, FALSE};
}

uint8_t bGetDriveAPMState(uint8_t bEnclosure, uint8_t bSlot) {
    if (!IsValidPosition(bEnclosure, bSlot)) return DRIVE_APM_INVALID;
    if ((rWord(s_sSpin.adSpunDown, bEnclosure) & dBit(bSlot)) != 0) return DRIVE_APM_SPUN_DOWN;
    if ((rWord(s_sSpin.adSpinningUp, bEnclosure) & dBit(bSlot)) != 0) return DRIVE_APM_SPINNING_UP;
    return DRIVE_APM_SPUN_UP;
}

void SetDriveSpunDownBit(uint8_t bEnclosure, uint8_t bSlot) {
    if (!IsValidPosition(bEnclosure, bSlot)) return;
    rWord(s_sSpin.adSpunDown, bEnclosure) |= dBit(bSlot);
    rWord(s_sSpin.adSpinningUp, bEnclosure) &= ~dBit(bSlot);
}

void ClearDriveSpinBits(uint8_t bEnclosure, uint8_t bSlot) {
    if (!IsValidPosition(bEnclosure, bSlot)) return;
    rWord(s_sSpin.adSpunDown, bEnclosure) &= ~dBit(bSlot);
    rWord(s_sSpin.adSpinningUp, bEnclosure) &= ~dBit(bSlot);
}

void MarkDriveSpunDown(uint8_t bEnclosure, uint8_t bSlot) {
    if (!IsValidPosition(bEnclosure, bSlot)) return;
    TellPartner(bEnclosure, bSlot, 0);
    SetDriveSpunDownBit(bEnclosure, bSlot);
    PostSpinEvent(EVENT_SPIN_DOWN, bEnclosure, bSlot);
}

uint8_t bMarkDriveSpunUp(uint8_t bEnclosure, uint8_t bSlot) {
    if (!IsValidPosition(bEnclosure, bSlot)) return 0;
    TellPartner(bEnclosure, bSlot, 1);
    ClearDriveSpinBits(bEnclosure, bSlot);
    ForgetStarts(bEnclosure, bSlot);
    PostSpinEvent(EVENT_SPIN_UP, bEnclosure, bSlot);
    return STATUS_OK;
}

void MarkDriveSpinningUp(uint8_t bEnclosure, uint8_t bSlot) {
    if (!IsValidPosition(bEnclosure, bSlot)) return;
    rWord(s_sSpin.adSpinningUp, bEnclosure) |= dBit(bSlot);
    rWord(s_sSpin.adSpunDown, bEnclosure) &= ~dBit(bSlot);
}

void SetDriveAPMTestBit(uint8_t bEnclosure, uint8_t bSlot) {
    if (IsValidPosition(bEnclosure, bSlot)) rWord(s_sSpin.adTest, bEnclosure) |= dBit(bSlot);
}
void ClearDriveAPMTestBit(uint8_t bEnclosure, uint8_t bSlot) {
    if (IsValidPosition(bEnclosure, bSlot)) rWord(s_sSpin.adTest, bEnclosure) &= ~dBit(bSlot);
}
uint8_t fIsDriveAPMTestRunning(uint8_t bEnclosure, uint8_t bSlot) {
    return ToFlag(IsValidPosition(bEnclosure, bSlot) && (rWord(s_sSpin.adTest, bEnclosure) & dBit(bSlot)) != 0);
}
void ClearDriveAPMTestMask() { std::memset(s_sSpin.adTest, 0, sizeof s_sSpin.adTest); }
uint8_t bCountSpinningUpDrives() { return bCountBits(s_sSpin.adSpinningUp); }
uint8_t bCountDrivesUnderTest() { return bCountBits(s_sSpin.adTest); }

void ClearDriveSet(DRIVE_MASK_SET* psSet) { std::memset(psSet, 0, sizeof *psSet); }
void AddDriveToSet(DRIVE_MASK_SET* psSet, uint8_t bEnclosure, uint8_t bSlot) {
    if (IsValidPosition(bEnclosure, bSlot)) rWord(psSet->adEnclosure, bEnclosure) |= dBit(bSlot);
}
void RemoveDriveFromSet(DRIVE_MASK_SET* psSet, uint8_t bEnclosure, uint8_t bSlot) {
    if (IsValidPosition(bEnclosure, bSlot)) rWord(psSet->adEnclosure, bEnclosure) &= ~dBit(bSlot);
}
uint8_t fIsDriveInSet(const DRIVE_MASK_SET* psSet, uint8_t bEnclosure, uint8_t bSlot) {
    return ToFlag(IsValidPosition(bEnclosure, bSlot) && (psSet->adEnclosure[bEnclosure - 1] & dBit(bSlot)) != 0);
}

uint8_t bRequestDriveSpinUp(const DRIVE_MASK_SET* psSet, void (*pfnDone)(void*), void* pArgument) {
    if (pfnDone != nullptr && s_sSpin.bCallbacks >= APM_SPIN_CALLBACKS - 1) return STATUS_RETRY;
    if (bScheduleSpinJob() != STATUS_OK) return STATUS_RETRY;
    for (uint8_t e = 0; e < APM_ENCLOSURES; ++e) {
        s_sSpin.sPendingUp.adEnclosure[e] |= psSet->adEnclosure[e];
        s_sSpin.sPendingDown.adEnclosure[e] &= ~psSet->adEnclosure[e];
    }
    if (pfnDone != nullptr) s_sSpin.asCallback[s_sSpin.bCallbacks++] = {pfnDone, pArgument};
    return STATUS_OK;
}

uint8_t bRequestDriveSpinDown(const DRIVE_MASK_SET* psSet) {
    if (bScheduleSpinJob() != STATUS_OK) return STATUS_RETRY;
    for (uint8_t e = 0; e < APM_ENCLOSURES; ++e) s_sSpin.sPendingDown.adEnclosure[e] |= psSet->adEnclosure[e];
    return STATUS_OK;
}

uint8_t bSpinDriveUpDown(uint8_t bEnclosure, uint8_t bSlot, uint8_t fSpinUp) {
    if (!IsValidPosition(bEnclosure, bSlot)) return 0;
    const uint8_t bWanted = fSpinUp == TRUE ? DRIVE_APM_SPUN_UP : DRIVE_APM_SPUN_DOWN;
    if (bGetDriveAPMState(bEnclosure, bSlot) == bWanted) return STATUS_OK;
    DRIVE_MASK_SET s;
    ClearDriveSet(&s);
    AddDriveToSet(&s, bEnclosure, bSlot);
    if (fSpinUp == TRUE) return bRequestDriveSpinUp(&s, nullptr, nullptr);
    const uint8_t bStatus = bRequestDriveSpinDown(&s);
    if (bStatus == STATUS_OK) ClearDriveAPMTestBit(bEnclosure, bSlot);
    return bStatus;
}

void WatchDriveSpinUp(uint8_t bEnclosure, uint8_t bSlot) {
    if (!IsValidPosition(bEnclosure, bSlot)) return;
    MarkDriveSpinningUp(bEnclosure, bSlot);
    uint8_t& bStarts = s_sSpin.aabStarts[bEnclosure - 1][bSlot - 1];
    if (bStarts++ == 0) s_sSpin.aalFirstStart[bEnclosure - 1][bSlot - 1] = lGetTickCount();
    DRIVE_MASK_SET s;
    ClearDriveSet(&s);
    AddDriveToSet(&s, bEnclosure, bSlot);
    // No job entry free: the next request's job polls it.
    (void)bRequestDriveSpinUp(&s, nullptr, nullptr);
}

uint8_t bCollectSpunDownDrives(DRIVE_MASK_SET* psSet) {
    std::memcpy(psSet->adEnclosure, s_sSpin.adSpunDown, sizeof psSet->adEnclosure);
    return bCountBits(psSet->adEnclosure);
}

void ClearPendingSpinDowns() { ClearDriveSet(&s_sSpin.sPendingDown); }

uint8_t bStartStopDrive(uint8_t bEnclosure, uint8_t bSlot, uint8_t fStart, uint8_t fHasRequest,
                        KERNEL_ENTRY* psRequest) {
    const uint8_t abCdb[6] = {SCSI_START_STOP_UNIT, START_UNIT_IMMEDIATE, 0, 0,
                              static_cast<uint8_t>(fStart == TRUE ? 1 : 0), 0};
    return bQueuePowerCommand(bEnclosure, bSlot, abCdb, fHasRequest, psRequest);
}

uint8_t bTestDriveReady(uint8_t bEnclosure, uint8_t bSlot, uint8_t fHasRequest, KERNEL_ENTRY* psRequest) {
    const uint8_t abCdb[6] = {SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    return bQueuePowerCommand(bEnclosure, bSlot, abCdb, fHasRequest, psRequest);
}

uint8_t bStartDriveSelfTest(uint8_t bEnclosure, uint8_t bSlot, uint8_t bMode, uint8_t fHasRequest,
                            KERNEL_ENTRY* psRequest) {
    const uint8_t abCdb[6] = {SCSI_SEND_DIAGNOSTIC, SELF_TEST_BACKGROUND_SHORT, 0, 0, 0, 0};
    const uint8_t bStatus = bQueuePowerCommand(bEnclosure, bSlot, abCdb, fHasRequest, psRequest);
    if (bStatus != STATUS_OK) return bStatus;
    if (bMode == SELF_TEST_CLEAR_MODE) {
        ClearDriveAPMTestBit(bEnclosure, bSlot);
    } else {
        SetDriveAPMTestBit(bEnclosure, bSlot);
    }
    return STATUS_OK;
}

namespace {
bool fRunsSelfTestInBackground(uint8_t e, uint8_t sl) {
    DRIVE_INFO* ps = nullptr;
    return fFindDriveByEnclosureSlot(e, sl, &ps) == TRUE &&
           bGetDrivePathType(ps->abWWN) != DRIVE_PATH_SATA_ACTIVE_PASSIVE;
}

// A drive that refused its STOP is still turning: it is asked again, but
// not for ever.  One that refuses every STOP would otherwise be sent one
// each pass of the spin job, each marking it down and up in the event log.
void StopRefused(uint8_t e, uint8_t sl) {
    if (!IsValidPosition(e, sl)) return;
    uint8_t& bRefused = s_sSpin.aabStopsRefused[e - 1][sl - 1];
    if (++bRefused < APM_STOP_LIMIT) {
        (void)bSpinDriveUpDown(e, sl, FALSE);
        return;
    }
    // The next request asks it afresh.
    bRefused = 0;
    DebugPrintf("Drive Enc: %02d Slot: %02d refused STOP, left spun up\n", e, sl);
}

}  // namespace

void APMDriveCommandComplete(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const HOST_COMMAND_FIELDS* psStatus = pHostFields(psEntry);
    const uint8_t e = pbCdb[PASS_THROUGH_ENCLOSURE_BYTE];
    const uint8_t sl = pbCdb[PASS_THROUGH_SLOT_BYTE];
    const uint8_t* pbInner = pbCdb + PASS_THROUGH_INNER_BYTE;
    const uint8_t bOpcode = pbInner[0];
    const uint8_t bKey = psStatus->bSenseKey;
    const uint8_t bAsc = psStatus->bAsc;
    const bool fGood = bKey == SENSE_NO_SENSE;
    const bool fStart = bOpcode == SCSI_START_STOP_UNIT && (pbInner[4] & 1) != 0;
    // The management command that waits for this one is answered by it.
    KERNEL_ENTRY* psRequest = psGetPassThroughRequest(psEntry);
    if (psRequest != nullptr && psRequest == psGetCurrentManagementCommand()) {
        FinishManagementCommand(fGood ? MGMT_GOOD : MGMT_NOT_READY);
    }
    switch (bOpcode) {
    case SCSI_TEST_UNIT_READY:
        if (!fGood) return;
        (void)bMarkDriveSpunUp(e, sl);
        // The last of a wave up: its routines run now, not a poll later.
        if (fIsDriveInSet(&s_sSpin.sPendingUp, e, sl) == TRUE && fAllPendingUp()) (void)bScheduleSpinJob();
        return;
    case SCSI_START_STOP_UNIT:
        if (fStart) {
            // Back to spun down: the spin job starts it again on a later pass.
            if (!fGood) SetDriveSpunDownBit(e, sl);
            return;
        }
        if (fGood || bKey == SENSE_NOT_READY) {
            if (IsValidPosition(e, sl)) s_sSpin.aabStopsRefused[e - 1][sl - 1] = 0;
            return;
        }
        (void)bMarkDriveSpunUp(e, sl);
        StopRefused(e, sl);
        return;
    case SCSI_SEND_DIAGNOSTIC:
        if (bKey == SENSE_HARDWARE_ERROR && bAsc == ASC_SELF_TEST_FAILED) {
            ClearDriveAPMTestBit(e, sl);
            FailDriveAfterSelfTest(e, sl);
            return;
        }
        // The test runs on in the background and its bit stays; not so
        // behind an active-passive multiplexer, nor for a drive gone.
        if (fGood && fRunsSelfTestInBackground(e, sl)) return;
        ClearDriveAPMTestBit(e, sl);
        return;
    default: return;
    }
}

void FailDriveAfterSelfTest(uint8_t bEnclosure, uint8_t bSlot) {
    DRIVE_INFO* psDrive = nullptr;
    if (fFindDriveByEnclosureSlot(bEnclosure, bSlot, &psDrive) != TRUE) return;
    uint8_t abWwn[8];
    std::memcpy(abWwn, psDrive->abWWN, sizeof abWwn);
    CONFIG_IMAGE* psImage = pGetConfigImage();
    uint8_t bRank = 0;
    uint8_t bIndex = 0;
    if (fFindWwnInConfig(psImage, &bRank, &bIndex, abWwn) == TRUE) {
        // Members fail through their arrays' own road, not here.
        if (bRank != WWN_IN_SPARE_LIST) return;
        DeleteSpareEntry(psImage, bIndex);
    }
    AddFailedDriveWwn(abWwn, psImage, EVENT_SELF_TEST_FAILED, SENSE_HARDWARE_ERROR, ASC_SELF_TEST_FAILED, 0,
                      static_cast<uint8_t>(((bEnclosure - 1) << 5) | (bSlot - 1)));
    PostEvent(EVENT_SELF_TEST_FAILED, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6], abWwn[7],
              bEnclosure, bSlot, SENSE_HARDWARE_ERROR, 0, 0, 0);
    (void)RequestConfigUpdate(REQUESTER_POWER_MANAGEMENT);
}

uint8_t bStartDriveFunctionalVerify(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind) {
    VERIFY_LEVEL& sLevel = s_asVerify[bKind == VERIFY_KIND_LEVEL1 ? 0 : 1];
    sLevel.fRunning = TRUE;
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    if (bFindDriveIndexByEnclosureSlot(bEnclosure, bSlot, &ps, &bIndex) != STATUS_OK) {
        if (sLevel.dOutstanding == 0) sLevel.fRunning = FALSE;
        return 0;
    }
    SetDriveAPMTestBit(bEnclosure, bSlot);
    // At the background verify's next block, or from the start when the
    // run would pass the end.
    const uint32_t dStart = ps->dVerifyNextBlock + VERIFY_BLOCKS < ps->dCapacity ? ps->dVerifyNextBlock : 0;
    ps->bVerifyRepair = 0;
    const uint8_t bStatus = IssueDriveFunctionalVerify(
        ps->bLoopID1, VERIFY_BLOCKS, dStart,
        bKind == VERIFY_KIND_LEVEL1 ? VERIFY_SUBCODE_APM_LEVEL1 : VERIFY_SUBCODE_APM_LEVEL2);
    if (bStatus != STATUS_OK) {
        if (sLevel.dOutstanding == 0) sLevel.fRunning = FALSE;
        return bStatus;
    }
    ++sLevel.dOutstanding;
    return STATUS_OK;
}

// Whatever the verify found (a bad block is the verify's own to mend), the
// level's count goes down.
void APMFunctionalVerifyEnded(uint8_t bSubCode) {
    VERIFY_LEVEL& s = s_asVerify[bSubCode == VERIFY_SUBCODE_APM_LEVEL1 ? 0 : 1];
    if (s.dOutstanding != 0) --s.dOutstanding;
    if (s.dOutstanding == 0) s.fRunning = FALSE;
}

void SetAPMDriveVerifyRunning(uint8_t f) { s_asVerify[0].fRunning = f; }
uint8_t fIsAPMDriveVerifyRunning() { return s_asVerify[0].fRunning; }
void SetAPMArrayVerifyRunning(uint8_t f) { s_asVerify[1].fRunning = f; }
uint8_t fIsAPMArrayVerifyRunning() { return s_asVerify[1].fRunning; }

void GetDriveAPMMaskTables(uint8_t* pb) {
    const uint32_t* apd[3] = {s_sSpin.adSpunDown, s_sSpin.adSpinningUp, s_sSpin.adTest};
    for (const uint32_t* pd : apd) {
        for (uint8_t e = 0; e < APM_ENCLOSURES; ++e, pb += 8) {
            PutBe32(pb, 0);   // slots 33-64 are never used
            PutBe32(pb + 4, pd[e]);
        }
    }
}

void StoreDriveAPMMaskTables(const uint8_t* pb) {
    constexpr uint32_t TABLE = APM_ENCLOSURES * 8;
    for (uint8_t e = 0; e < APM_ENCLOSURES; ++e) {
        const uint32_t dDown = dGetBe32(pb + e * 8 + 4) | dGetBe32(pb + TABLE + e * 8 + 4);
        s_sSpin.adSpunDown[e] = dDown;
        s_sSpin.adSpinningUp[e] &= ~dDown;
        s_sSpin.adTest[e] = dGetBe32(pb + 2 * TABLE + e * 8 + 4);
    }
}

void SetAPMHoldFlag(uint8_t f) { s_sSpin.fHold = f; }
uint8_t fGetAPMHoldFlag() { return s_sSpin.fHold; }

void DriveSpinJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*) {
    if (s_sSpin.fHold == TRUE) {
        (void)bSetBackgroundProcessDelay(wId, 0, HOLD_RETRY_SECONDS, 0, 0, 0);
        return;
    }
    // Drives asked up that are still down, and those under way.  One that
    // will not come up is taken as up and left to fail on its commands.
    uint32_t dWaiting = 0;
    ForEachInSet(s_sSpin.sPendingUp, [&](uint8_t e, uint8_t sl) {
        const uint8_t bState = bGetDriveAPMState(e, sl);
        if (bState != DRIVE_APM_SPUN_UP && IsGivenUp(e, sl)) {
            DebugPrintf("Drive Enc: %02d Slot: %02d did not come ready, taken as spun up\n", e, sl);
            (void)bMarkDriveSpunUp(e, sl);
        } else if (bState == DRIVE_APM_SPUN_DOWN) {
            ++dWaiting;
        } else if (bState == DRIVE_APM_SPINNING_UP) {
            PollSpinningDrive(e, sl);
        }
        return true;
    });
    uint8_t bSpinning = bCountSpinningUpDrives();
    ForEachInSet(s_sSpin.sPendingUp, [&](uint8_t e, uint8_t sl) {
        if (bSpinning >= APM_MAX_SPINNING_UP) return false;
        if (bGetDriveAPMState(e, sl) != DRIVE_APM_SPUN_DOWN) return true;
        const uint8_t bStatus = bStartStopDrive(e, sl, TRUE, FALSE, nullptr);
        if (bStatus == STATUS_RETRY) return true;
        --dWaiting;
        if (bStatus != STATUS_OK) {
            // No drive there any more: nothing to wait for.
            (void)bMarkDriveSpunUp(e, sl);
            return true;
        }
        MarkDriveSpinningUp(e, sl);
        uint8_t& bStarts = s_sSpin.aabStarts[e - 1][sl - 1];
        if (bStarts++ == 0) s_sSpin.aalFirstStart[e - 1][sl - 1] = lGetTickCount();
        ++bSpinning;
        return true;
    });
    // Only the pending set's own drives hold its routines back.
    bool fPendingSpinning = false;
    ForEachInSet(s_sSpin.sPendingUp, [&](uint8_t e, uint8_t sl) {
        fPendingSpinning = bGetDriveAPMState(e, sl) != DRIVE_APM_SPUN_UP;
        return !fPendingSpinning;
    });
    if (fPendingSpinning || dWaiting != 0) {
        (void)bSetBackgroundProcessDelay(wId, 0, SPIN_UPS_POLL_SECONDS, 0, 0, 0);
        return;
    }
    ClearDriveSet(&s_sSpin.sPendingUp);
    // The routines run last-queued first.  One may ask for another spin-up:
    // its routine waits for the next pass, so the list is taken first.
    SPIN_CALLBACK asDue[APM_SPIN_CALLBACKS];
    uint8_t bDue = s_sSpin.bCallbacks;
    std::memcpy(asDue, s_sSpin.asCallback, sizeof asDue);
    s_sSpin.bCallbacks = 0;
    while (bDue != 0) {
        const SPIN_CALLBACK& sCall = asDue[--bDue];
        sCall.pfnDone(sCall.pArgument);
    }
    bool fPendingUp = false;
    for (uint32_t d : s_sSpin.sPendingUp.adEnclosure) fPendingUp = fPendingUp || d != 0;
    if (IssueSpinDowns() && !fPendingUp && s_sSpin.bCallbacks == 0) {
        DeleteBackgroundProcess(wId);
        return;
    }
    (void)bSetBackgroundProcessDelay(wId, fPendingUp ? FIRST_PASS_MS : 0, fPendingUp ? 0 : STOPS_RETRY_SECONDS, 0,
                                     0, 0);
}

}  // namespace fw
