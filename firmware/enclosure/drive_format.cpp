// Formatting the unassigned drives of the drive loops.  One mother entry
// counts a child per drive; each child walks its drive through START STOP
// UNIT, TEST UNIT READY, MODE SELECT (512-byte blocks) and FORMAT UNIT,
// being rebuilt in place for the next command as the last one comes back.
// A drive's first failure ends its walk and is what the operator hears of.
// When every drive has its result the background pass takes over: each
// drive that failed gets a follow-up through phase 9, then the format ends.
#include "enclosure/drive_format.h"

#include <algorithm>
#include <cstring>

#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "enclosure/drive_management.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/drive_loop_isr.h"
#include "hw/isp_fc.h"
#include "hw/scsi.h"
#include "raid/child_commands.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint8_t LOOP_PATH_1 = 3;
constexpr uint8_t LOOP_PATH_2 = 4;
constexpr uint8_t NO_LOOP_ID = 0xFF;
constexpr uint8_t NO_RANK = 0xFF;
constexpr uint16_t SHORT_TIMEOUT = 8;
// A format runs for as long as the drive needs; the longest time-out the
// loop chip takes.
constexpr uint16_t FORMAT_TIMEOUT = 0xFFFF;
// The mode parameter list lies in the configuration work buffer, clear of
// what the drive rescan reads there (its data and two mode pages).
constexpr uint32_t WORK_FORMAT_MODE_LIST = 1024;
constexpr uint8_t MODE_LIST_BYTES = 12;
// Header (no medium type, one 8-byte block descriptor), then the descriptor:
// every block, 512 bytes each.
constexpr uint8_t MODE_LIST[MODE_LIST_BYTES] = {0x00, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF,
                                                0x00, 0x00, 0x02, 0x00};
// What a failed command that brought no sense is reported as.
constexpr uint8_t NO_SENSE_FAILURE_KEY = SENSE_ABORTED_COMMAND;

enum : uint8_t { FOLLOW_UP_SEND = 0, FOLLOW_UP_WAIT = 1 };

DRIVE_FORMAT_LIST s_sList;
KERNEL_ENTRY* s_psMother = nullptr;
uint8_t s_fAllIn = FALSE;   // every drive has its result

bool IsLoopPath(uint8_t bPath) { return bPath == LOOP_PATH_1 || bPath == LOOP_PATH_2; }

DRIVE_FORMAT_DRIVE* psDriveOf(const KERNEL_ENTRY* ps) {
    for (uint32_t i = 0; i < s_sList.bCount; ++i) {
        DRIVE_FORMAT_DRIVE& d = s_sList.asDrive[i];
        if (d.bPath == ps->bPortCode && d.bLoopId == ps->wTargetId) return &d;
    }
    return nullptr;
}

bool HasFailed(const DRIVE_FORMAT_DRIVE& d) { return d.bSenseKey != FORMAT_NOT_FAILED && d.bSenseKey != 0; }

// Fills the entry with a command for the drive at the path and loop ID as a
// child of the mother.  Every command starts with clean status fields: the
// entry carried the drive's answer to the one before.
void BuildChild(KERNEL_ENTRY* ps, uint8_t bPath, uint8_t bLoopId, KERNEL_ENTRY* psMother, const uint8_t* pbCdb,
                uint16_t wControl, uint32_t dLength, uint16_t wTimeout, uint8_t bType) {
    const uint32_t dAddress =
        dLength == 0 ? 0 : static_cast<uint32_t>(dPciAddressOf(pGetConfigWorkBuffer() + WORK_FORMAT_MODE_LIST));
    BuildDriveCommand(ps, bPath, FC_AL_LOOP_ID_TO_ALPA[bLoopId], wTimeout, wControl, dLength, dLength != 0 ? 1 : 0,
                      dAddress, pbCdb, bType);
    ps->psMother = psMother;
    ps->bRank = NO_RANK;
    ps->bMember = NO_MEMBER;
    ClearDriveSideStatus(ps);
}

void RebuildChild(KERNEL_ENTRY* ps, const uint8_t* pbCdb, uint16_t wControl, uint32_t dLength, uint16_t wTimeout,
                  uint8_t bType) {
    BuildChild(ps, ps->bPortCode, static_cast<uint8_t>(ps->wTargetId), ps->psMother, pbCdb, wControl, dLength,
               wTimeout, bType);
}

// The drive has its result: recorded, and counted on the mother.
void DriveDone(KERNEL_ENTRY* psChild, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    ReportDriveFormatFailure(psChild, bKey, bAsc, bAscq);
    if (fCountDownGroup(psChild->psMother) != TRUE) return;
    s_fAllIn = TRUE;
    SetWorkPending(TRUE);
}

// The failure a child came back with; a failure without sense (a time-out,
// a transport fault) is one all the same.
void DriveFailed(KERNEL_ENTRY* psChild) {
    const SAS_ENTRY_FIELDS* ps = psSasFields(psChild);
    if (HasFlag(psChild, KE_FLAG_SENSE_PRESENT) && ps->bSenseKey != SENSE_NO_SENSE) {
        DriveDone(psChild, ps->bSenseKey, ps->bAsc, ps->bAscq);
    } else {
        DriveDone(psChild, NO_SENSE_FAILURE_KEY, 0, 0);
    }
}

void FollowUpDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, FollowUpDone) == TRUE) return;
    SetDriveCommandPendingFlag(TRUE);
    EndPhaseDriveCommand(psEntry);
}

}  // namespace

void BuildDriveFormatList(DRIVE_FORMAT_LIST* psList) {
    psList->bCount = 0;
    const DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
    const bool fLoop1 = fIsDriveLoopUp(LOOP_PATH_1) == TRUE;
    const bool fLoop2 = fIsDriveLoopUp(LOOP_PATH_2) == TRUE;
    const uint32_t dSlots = std::min<uint32_t>(psSlots->bCount, DRIVE_SLOTS);
    for (uint32_t i = 0; i < dSlots; ++i) {
        DRIVE_FORMAT_DRIVE d = {0, NO_LOOP_ID, FORMAT_NOT_FAILED, FORMAT_NOT_FAILED, 0, FALSE};
        if (fLoop1 && psSlots->abDrive[i] < FC_AL_LOOP_IDS) {
            d.bPath = LOOP_PATH_1;
            d.bLoopId = psSlots->abDrive[i];
        } else if (fLoop2 && psSlots->abDriveAlt[i] < FC_AL_LOOP_IDS) {
            d.bPath = LOOP_PATH_2;
            d.bLoopId = psSlots->abDriveAlt[i];
        } else {
            continue;
        }
        psList->asDrive[psList->bCount++] = d;
    }
}

uint8_t StartDriveFormat(const DRIVE_FORMAT_LIST* psList) {
    if (psList == nullptr || psList->bCount == 0 || psList->bCount > DRIVE_SLOTS) return 0;
    // One format at a time, and none while drive firmware is being loaded.
    if (s_psMother != nullptr || fIsDriveFwDownloadActive() == TRUE || fIsDriveFirmwareDownloadInProgress() == TRUE) {
        return 0;
    }
    for (uint32_t i = 0; i < psList->bCount; ++i) {
        const DRIVE_FORMAT_DRIVE& d = psList->asDrive[i];
        if (!IsLoopPath(d.bPath) || d.bLoopId >= FC_AL_LOOP_IDS) return 0;
    }
    // Every entry is had before any drive hears of the format: a format is
    // started whole or not at all.
    KERNEL_ENTRY* psMother = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(PORT_CODE_INTERNAL, 1, &psMother, &wIndex, FALSE) != STATUS_OK || psMother == nullptr) {
        return STATUS_RETRY;
    }
    KERNEL_ENTRY* apsChild[DRIVE_SLOTS] = {};
    for (uint32_t i = 0; i < psList->bCount; ++i) {
        if (bAllocKernelEntries(psList->asDrive[i].bPath, 1, &apsChild[i]) == STATUS_OK && apsChild[i] != nullptr) {
            continue;
        }
        for (uint32_t j = 0; j < i; ++j) FreeKernelEntries(apsChild[j]);
        FreeTargetEntry(psMother);
        return STATUS_RETRY;
    }
    std::memset(psMother, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    std::memset(pRaidFields(psMother), 0, sizeof(RAID_ENTRY_FIELDS));
    psMother->bPortCode = PORT_CODE_INTERNAL;
    psMother->bCommandType = CT_FORMAT_UNIT;
    psMother->bRank = NO_RANK;
    psMother->bMember = NO_MEMBER;
    psMother->psMother = psMother;
    psMother->wChildrenOutstanding = psList->bCount;
    psMother->wTotalChildren = psList->bCount;
    psMother->bPrimaryState = PS_DRIVE_FORMAT;

    std::memcpy(&s_sList, psList, sizeof s_sList);
    s_psMother = psMother;
    s_fAllIn = FALSE;
    std::memcpy(pGetConfigWorkBuffer() + WORK_FORMAT_MODE_LIST, MODE_LIST, MODE_LIST_BYTES);
    // No commit, rescan or rebuild check may change the drive tables while
    // the drives are formatted.
    SetHostCommandHold(TRUE);
    SetDriveFwDownloadAbort(FALSE);
    SetDriveFwDownloadActive(TRUE);
    const uint8_t abStart[10] = {SCSI_START_STOP_UNIT, 0x01, 0, 0, 0x01, 0};
    for (uint32_t i = 0; i < psList->bCount; ++i) {
        DRIVE_FORMAT_DRIVE& d = s_sList.asDrive[i];
        d.bSenseKey = FORMAT_NOT_FAILED;
        d.bAsc = FORMAT_NOT_FAILED;
        d.bAscq = 0;
        d.fLookedAt = FALSE;
        KERNEL_ENTRY* ps = apsChild[i];
        BuildChild(ps, d.bPath, d.bLoopId, psMother, abStart, DRIVE_COMMAND_NO_DATA, 0, SHORT_TIMEOUT,
                   DRIVE_COMMAND_TYPE_START_UNIT);
        if (QueueKernelEntry(d.bPath, ps->wIndex) == STATUS_OK) continue;
        DriveFailed(ps);
        FreeKernelEntries(ps);
    }
    return STATUS_OK;
}

void BuildFormatTestUnitReady(KERNEL_ENTRY* psChild) {
    const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
    RebuildChild(psChild, abCdb, DRIVE_COMMAND_NO_DATA, 0, SHORT_TIMEOUT, DRIVE_COMMAND_TYPE_TEST_UNIT_READY);
}

void BuildFormatModeSelect(KERNEL_ENTRY* psChild) {
    const uint8_t abCdb[10] = {SCSI_MODE_SELECT6, 0x11, 0, 0, MODE_LIST_BYTES, 0};
    RebuildChild(psChild, abCdb, DRIVE_COMMAND_DATA_OUT, MODE_LIST_BYTES, SHORT_TIMEOUT, CT_FORMAT_MODE_SELECT);
}

void BuildFormatUnit(KERNEL_ENTRY* psChild) {
    const uint8_t abCdb[10] = {SCSI_FORMAT_UNIT};
    RebuildChild(psChild, abCdb, DRIVE_COMMAND_NO_DATA, 0, FORMAT_TIMEOUT, CT_FORMAT_UNIT);
}

uint8_t fDriveFormatChildDone(KERNEL_ENTRY* psChild, uint8_t fFailed) {
    if (fFailed == TRUE) {
        // A unit attention, or a drive still spinning up, is asked again.
        if (fIsDriveCommandWorthRetrying(psChild) == TRUE) {
            RetryDriveCommandLater(psChild);
            return FALSE;
        }
        DriveFailed(psChild);
        return TRUE;
    }
    switch (psChild->bCommandType) {
    case DRIVE_COMMAND_TYPE_START_UNIT: BuildFormatTestUnitReady(psChild); break;
    case DRIVE_COMMAND_TYPE_TEST_UNIT_READY: BuildFormatModeSelect(psChild); break;
    case CT_FORMAT_MODE_SELECT: BuildFormatUnit(psChild); break;
    default:
        DriveDone(psChild, SENSE_NO_SENSE, 0, 0);
        return TRUE;
    }
    if (QueueKernelEntry(psChild->bPortCode, psChild->wIndex) == STATUS_OK) return FALSE;
    DriveFailed(psChild);
    return TRUE;
}

void ReportDriveFormatFailure(KERNEL_ENTRY* psEntry, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq) {
    DRIVE_FORMAT_DRIVE* ps = psDriveOf(psEntry);
    if (ps == nullptr || ps->bSenseKey != FORMAT_NOT_FAILED) return;
    ps->bSenseKey = bSenseKey;
    ps->bAsc = bAsc;
    ps->bAscq = bAscq;
    if (bSenseKey == SENSE_NO_SENSE) return;
    // Loops are numbered 1 and 2 on the console, as the paths 3 and 4 are.
    ConsolePrintf("ID %03d on Loop %02x Failed Format: %02x %02x %02x\n", ps->bLoopId, ps->bPath - 2, bSenseKey, bAsc,
                  bAscq);
}

void SelectNextFormatDrive() {
    for (uint32_t i = 0; i < s_sList.bCount; ++i) {
        DRIVE_FORMAT_DRIVE& d = s_sList.asDrive[i];
        if (!HasFailed(d) || d.fLookedAt == TRUE) continue;
        d.fLookedAt = TRUE;
        SetPhaseParam1(d.bPath);
        SetPhaseParam2(d.bLoopId);
        SetConfigPhase(CONFIG_PHASE_DRIVE_FORMAT);
        SetConfigPhaseStep(FOLLOW_UP_SEND);
        RequestConfigurationService();
        return;
    }
    FinishDriveFormat();
}

// Phase 9: the drive of the phase parameters is asked once more whether it
// is ready, so that what the failed format left it in (a unit attention, a
// format-corrupted medium) is taken off it and it answers afresh.
uint8_t DriveFormatPhase(uint8_t bStep) {
    switch (bStep) {
    case FOLLOW_UP_SEND: {
        const uint8_t bPath = bGetPhaseParam1();
        const uint8_t bLoopId = bGetPhaseParam2();
        if (!IsLoopPath(bPath) || bLoopId >= FC_AL_LOOP_IDS) {
            EndConfigPhase();
            return STATUS_OK;
        }
        KERNEL_ENTRY* ps = nullptr;
        if (bAllocKernelEntries(bPath, 1, &ps) != STATUS_OK || ps == nullptr) return PHASE_RUN_AGAIN;
        const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
        BuildChild(ps, bPath, bLoopId, ps, abCdb, DRIVE_COMMAND_NO_DATA, 0, SHORT_TIMEOUT,
                   DRIVE_COMMAND_TYPE_TEST_UNIT_READY);
        SetDriveCommandPendingFlag(FALSE);
        if (bQueuePhaseDriveCommand(ps, FollowUpDone, FALSE) != STATUS_OK) {
            FreeKernelEntries(ps);
            return PHASE_RUN_AGAIN;
        }
        SetConfigWriteWaitFlag(TRUE);
        SetConfigPhaseStep(FOLLOW_UP_WAIT);
        return STATUS_OK;
    }
    case FOLLOW_UP_WAIT:
        if (fGetDriveCommandPendingFlag() != TRUE) return STATUS_OK;
        SetDriveCommandPendingFlag(FALSE);
        EndConfigPhase();
        SetHostCommandHold(FALSE);
        // The format goes on with the next drive that failed.
        SetWorkPending(TRUE);
        return STATUS_OK;
    default:
        EndConfigPhase();
        return STATUS_OK;
    }
}

void FinishDriveFormat() {
    // The mother stays while a child may still come back to it.
    if (s_psMother != nullptr && s_fAllIn != TRUE) return;
    SetDriveFwDownloadActive(FALSE);
    SetDriveFwDownloadAbort(FALSE);
    SetHostCommandHold(FALSE);
    if (s_psMother != nullptr) FreeTargetEntry(s_psMother);
    s_psMother = nullptr;
    s_fAllIn = FALSE;
}

// The background pass's step while the drive firmware activity flag is set:
// nothing while drives are still being formatted; afterwards, when no other
// phase runs, the follow-up of the next failed drive or the end.
void DriveFirmwareDownloadStep() {
    if (s_psMother == nullptr) {
        // No format carries the flag: it is let go of, unless a download
        // runs, whose flag it then is.
        if (fIsDriveFirmwareDownloadInProgress() != TRUE) SetDriveFwDownloadActive(FALSE);
        return;
    }
    if (s_fAllIn != TRUE || bGetConfigPhase() != CONFIG_PHASE_IDLE) return;
    SelectNextFormatDrive();
}

uint8_t fIsDriveFormatRunning() { return ToFlag(s_psMother != nullptr); }
const DRIVE_FORMAT_LIST* pGetDriveFormatList() { return &s_sList; }

}  // namespace fw
