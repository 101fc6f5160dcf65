// The management set commands that start or stop work on drives and
// arrays: drive firmware, drive phases, rebuilds, parity checks, bypasses,
// power management and the zero-write job.  The master controller carries
// the power management ones out; another controller forwards them.
#include <cstring>

#include "config/config_commit.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/host_port_tables.h"
#include "config/rank_table.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/kernel_queue.h"
#include "executive/work_flags.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "mgmt/management_commands.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"
#include "raid/rebuild_check.h"
#include "target/host_command_codes.h"
#include "target/scsi2_reservations.h"

namespace fw {

namespace {

constexpr uint32_t BLOCK = MGMT_SIGNATURE_BYTES;
constexpr uint8_t MESSAGE_APM = 123;
constexpr uint8_t SUB_START_APM = 2;
constexpr uint8_t SUB_STOP_APM = 3;
constexpr uint8_t SUB_START_STOP_DRIVE = 4;
constexpr uint8_t SUB_ARRAY_SPIN_UP = 32;
constexpr uint8_t SUB_SPIN_UP_ARRAY = 33;
constexpr uint8_t MESSAGE_PARITY_START = 90;
constexpr uint8_t MAX_DOWNLOAD_SELECTION = 4;
constexpr uint8_t DOWNLOAD_ONE_DRIVE = 0;
constexpr uint8_t ALL_LOOP_IDS = 255;
constexpr uint32_t FEATURE_MEMBER_COMMAND = 0x1000;
constexpr uint8_t EVENT_MEMBER_COMMAND = 145;
constexpr uint8_t NO_RANK = 255;
constexpr uint16_t POWER_MANUAL = 0x0001;
constexpr uint16_t POWER_SPIN_DOWN_OR_TEST = 0x0006;
constexpr size_t ARRAY_POWER_SETTINGS = 220;
constexpr size_t ARRAY_POWER_BYTES = 6;
constexpr uint8_t ZERO_WRITE_STARTED = STATUS_OK;

bool IsMaster() { return fIsMasterController() == TRUE; }

uint8_t bFlaggedMembers(uint8_t bRank) {
    uint8_t bCount = 0;
    for (uint8_t m = 0; m < bGetRankDriveCount(bRank); m++)
        if (bGetRankMemberFlags(bRank, m) != 0) bCount++;
    return bCount;
}

// RAID 5 and 50 with no background operation, RAID 6 also with one member
// flagged: an array a parity check can run on.
bool IsParityCheckable(uint8_t bRank) {
    const uint8_t bLevel = bGetRankRaidLevel(bRank);
    const bool fIdle = bGetRankOperationState(bRank) == RANK_STATE_OPTIMAL;
    if (bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50) return fIdle;
    if (bLevel == RAID_LEVEL_6) return fIdle || bFlaggedMembers(bRank) <= 1;
    return false;
}


bool IsBeingRebuilt(uint8_t bRank) { return bGetRebuildRank() == bRank && fGetRebuildWork() == TRUE; }

// The array's power settings in the live image: options, then the four
// bytes of its periods.
uint8_t* pbArrayPower(uint8_t bRank) {
    return reinterpret_cast<uint8_t*>(&pGetConfigImage()->asRank[bRank]) + ARRAY_POWER_SETTINGS;
}

// Phase 8 or 13 for requester 4, when the machine is free.
bool StartPhase(uint8_t bPhase) {
    if (bGetConfigPhase() != CONFIG_PHASE_IDLE) return false;
    RequestConfigurationService();
    SetConfigPhase(bPhase);
    SetConfigRequester(REQUESTER_MANAGEMENT);
    SetConfigPhaseStep(0);
    return true;
}

}  // namespace

uint8_t bForwardToMaster(const MGMT_REQUEST& r, uint8_t bSubOperation) {
    if (bSendAPMMessageToPartner(r.psEntry, nullptr, 0, MESSAGE_APM, bSubOperation, r.pbCdb + 3) != STATUS_OK) {
        return MGMT_NOT_READY;
    }
    r.psEntry->bPrimaryState = HOST_STATE_PARTNER_WAIT;
    return MGMT_ANSWER_LATER;
}

uint8_t MgmtStartDriveFirmwareDownload(const MGMT_REQUEST& r) {
    const uint8_t bSelection = r.pbData[BLOCK];
    if (fIsDriveFirmwareDownloadInProgress() == TRUE || fIsDownloadImageReady() != TRUE ||
        bSelection > MAX_DOWNLOAD_SELECTION) {
        return MGMT_INVALID_PARAMETERS;
    }
    uint8_t bDrive = 0xFF;
    if (bSelection == DOWNLOAD_ONE_DRIVE) {
        DRIVE_INFO* ps = nullptr;
        if (fFindDriveByWWN(r.pbData + BLOCK + 4, &ps, &bDrive) != TRUE) return MGMT_INVALID_PARAMETERS;
    }
    if (bGetConfigPhase() != CONFIG_PHASE_IDLE) return MGMT_INVALID_PARAMETERS;
    SetDriveDownloadByte1(bSelection);
    SetDriveDownloadByte2(bDrive);
    (void)StartPhase(CONFIG_PHASE_DRIVE_FIRMWARE);
    return MGMT_GOOD;
}

uint8_t MgmtStartDrivePhase(const MGMT_REQUEST& r) {
    DRIVE_INFO* ps = nullptr;
    uint8_t bDrive = 0;
    if (fIsDriveFirmwareDownloadInProgress() == TRUE || fFindDriveByWWN(r.pbData + BLOCK, &ps, &bDrive) != TRUE ||
        bGetConfigPhase() != CONFIG_PHASE_IDLE) {
        return MGMT_INVALID_PARAMETERS;
    }
    SetPhaseParam1(PORT_CODE_INITIATOR);
    SetPhaseParam2(bDrive);
    (void)StartPhase(CONFIG_PHASE_STORED_FIRMWARE);
    return MGMT_GOOD;
}

// Only an array that may lose the member: RAID 6 with at most one member
// flagged already, any other redundant level with none.
uint8_t MgmtStartMemberDriveCommand(const MGMT_REQUEST& r) {
    if ((dGetFeatureMask() & FEATURE_MEMBER_COMMAND) == 0) return MGMT_INVALID_CDB;
    const uint8_t bRank = r.pbCdb[4];
    const uint8_t bMember = r.pbCdb[5];
    const uint8_t bLevel = bGetRankRaidLevel(bRank);
    const uint8_t bFlagged = bFlaggedMembers(bRank);
    const bool fMayLose = bLevel == RAID_LEVEL_6 ? bFlagged <= 1 : (bLevel != RAID_LEVEL_0 && bFlagged == 0);
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bIndex = 0;
    if (r.pbCdb[3] != 1 || !fMayLose || fFindDriveByRankDrive(bRank, bMember, &psDrive, &bIndex) != TRUE) {
        return MGMT_INVALID_PARAMETERS;
    }
    if (bStartMemberDriveCommand(bRank, bMember) == STATUS_OK) {
        PostEvent(EVENT_MEMBER_COMMAND, psDrive->bEnclosureNo, psDrive->bSlotNo, 3);
    }
    return MGMT_GOOD;
}

// The member must be failed, the drive qualified, present, big enough and
// no member of an array, and no rebuild may be recorded or running.  A
// controller that is not master keeps no drive table: it checks what it
// knows and the master checks the drive when the request reaches it.
uint8_t MgmtReplaceMemberDrive(const MGMT_REQUEST& r) {
    const uint8_t bRank = r.pbData[BLOCK];
    const uint8_t bMember = r.pbData[BLOCK + 1];
    const uint8_t* pbWwn = r.pbData + BLOCK + 2;
    if (bRank >= bGetRankCount() || bMember >= bGetRankDriveCount(bRank)) return MGMT_INVALID_PARAMETERS;
    const uint32_t dBlocks = dGetRankMemberBlocks(bRank);
    if (!IsMaster()) {
        if (fMayReplaceMember(bRank, bMember, pbWwn) != TRUE) return MGMT_INVALID_PARAMETERS;
        return bSendRebuildStartRequest(bRank, bMember, dBlocks, pbWwn) == STATUS_OK ? MGMT_GOOD
                                                                                     : MGMT_INVALID_PARAMETERS;
    }
    const DRIVE_INFO* psDrive = psNamedReplacement(bRank, bMember, pbWwn);
    if (psDrive == nullptr) return MGMT_INVALID_PARAMETERS;
    StartRebuild(bRank, bMember, psDrive->bLoopID1, psDrive->bLoopID2, pbWwn, dBlocks);
    SetRebuildWork(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtCancelRebuild(const MGMT_REQUEST&) {
    CancelRebuild();
    if (fIsDualControllerActive() == TRUE) (void)bSendConfigRecordMessage(REBUILD_MSG_CANCEL, nullptr);
    return MGMT_GOOD;
}

// Byte 3 TRUE: the array of byte 4; otherwise the first that qualifies.
uint8_t MgmtStartParityCheck(const MGMT_REQUEST& r) {
    if (fIsParityCheckInProgress() == TRUE) return MGMT_INVALID_PARAMETERS;
    const bool fNamed = r.pbCdb[3] == TRUE;
    const uint8_t bMode = r.pbCdb[5];
    uint8_t bRank = r.pbCdb[4];
    if (fNamed) {
        if (bRank >= bGetRankCount() || !IsParityCheckable(bRank) || IsBeingRebuilt(bRank)) {
            return MGMT_INVALID_PARAMETERS;
        }
    } else {
        bRank = NO_RANK;
        for (uint8_t b = 0; b < bGetRankCount() && bRank == NO_RANK; b++) {
            if (IsParityCheckable(b) && !IsBeingRebuilt(b)) bRank = b;
        }
        if (bRank == NO_RANK || fIsExpansionInProgress() == TRUE) return MGMT_INVALID_PARAMETERS;
    }
    const uint8_t fAll = ToFlag(!fNamed);
    if (IsMaster()) {
        (void)StartParityCheck(bRank, bMode, fAll);
    } else {
        SendParityJobMessage(MESSAGE_PARITY_START, bRank, bMode, fAll);
    }
    return MGMT_GOOD;
}

uint8_t MgmtStopParityCheck(const MGMT_REQUEST&) {
    RequestParityCheckStop();
    return MGMT_GOOD;
}

uint8_t MgmtBypassDrive(const MGMT_REQUEST& r) {
    const uint8_t bLoopId = r.pbCdb[4];
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    if (bLoopId >= LOOP_IDS || fFindDriveByLoopID(0, bLoopId, &ps, &bIndex) != TRUE) return MGMT_INVALID_PARAMETERS;
    SetDriveLoopBypass(bLoopId, TRUE);
    return MGMT_GOOD;
}

// A loop ID of no present drive, or 255 for every drive.
uint8_t MgmtEnableDrive(const MGMT_REQUEST& r) {
    const uint8_t bLoopId = r.pbCdb[4];
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    if (bLoopId == ALL_LOOP_IDS) {
        for (uint8_t b = 0; b < LOOP_IDS; b++) SetDriveLoopBypass(b, FALSE);
        return MGMT_GOOD;
    }
    if (bLoopId >= LOOP_IDS || fFindDriveByLoopID(0, bLoopId, &ps, &bIndex) == TRUE) return MGMT_INVALID_PARAMETERS;
    SetDriveLoopBypass(bLoopId, FALSE);
    return MGMT_GOOD;
}

uint8_t MgmtSetPowerManagementState(const MGMT_REQUEST& r) {
    const bool fStop = r.pbCdb[3] == 1;
    if (!IsMaster()) return bForwardToMaster(r, fStop ? SUB_STOP_APM : SUB_START_APM);
    if (fStop) {
        StopAPM();
    } else {
        (void)bStartAPM();
    }
    return MGMT_GOOD;
}

// Answered when the drive's START STOP UNIT ends.
uint8_t MgmtStartStopDrive(const MGMT_REQUEST& r) {
    if (!IsMaster()) return bForwardToMaster(r, SUB_START_STOP_DRIVE);
    const bool fStart = r.pbCdb[3] == 1;
    const uint8_t bEnclosure = r.pbCdb[4];
    const uint8_t bSlot = r.pbCdb[5];
    if (bStartStopDrive(bEnclosure, bSlot, ToFlag(fStart), TRUE, r.psEntry) != STATUS_OK) return MGMT_NOT_READY;
    if (fStart) {
        (void)bMarkDriveSpunUp(bEnclosure, bSlot);
    } else {
        MarkDriveSpunDown(bEnclosure, bSlot);
    }
    return MGMT_ANSWER_LATER;
}

// Byte 3 non-zero: the array is in use again; zero: it goes back to
// power management, spun up first when its settings park it.
uint8_t MgmtSetArrayPowerState(const MGMT_REQUEST& r) {
    const uint8_t bRank = r.pbCdb[4];
    uint8_t* pb = pbArrayPower(bRank);
    uint16_t wOptions = static_cast<uint16_t>(pb[0] | (pb[1] << 8));
    if (r.pbCdb[3] != 0) {
        SetRankLastAccessTime(bRank);
        wOptions = static_cast<uint16_t>(wOptions & ~POWER_MANUAL);
    } else if ((wOptions & POWER_SPIN_DOWN_OR_TEST) != 0) {
        if (!IsMaster()) return bForwardToMaster(r, SUB_ARRAY_SPIN_UP);
        (void)bSpinArrayUpDown(TRUE, bRank);
        return MGMT_GOOD;
    } else {
        wOptions |= POWER_MANUAL;
        std::memset(pb + 2, 0, ARRAY_POWER_BYTES - 2);
    }
    pb[0] = static_cast<uint8_t>(wOptions);
    pb[1] = static_cast<uint8_t>(wOptions >> 8);
    return MGMT_GOOD;
}

uint8_t MgmtPowerManagementQuery(const MGMT_REQUEST&) { return MGMT_GOOD; }

uint8_t MgmtSpinUpArray(const MGMT_REQUEST& r) {
    if (!IsMaster()) return bForwardToMaster(r, SUB_SPIN_UP_ARRAY);
    return bSpinArrayUpDown(TRUE, r.pbCdb[3]) == STATUS_OK ? MGMT_GOOD : MGMT_NOT_READY;
}

// Answered by the job when it ends, or now when it cannot start.
uint8_t MgmtStartZeroWrite(const MGMT_REQUEST& r) {
    switch (bStartZeroWriteJob(r.psEntry, wCdbWord(r, 4), dDataLong(r, BLOCK), dDataLong(r, BLOCK + 4))) {
    case ZERO_WRITE_STARTED: return MGMT_ANSWER_LATER;
    case STATUS_RETRY: return MGMT_NOT_READY;
    default: return MGMT_INVALID_PARAMETERS;
    }
}

}  // namespace fw
