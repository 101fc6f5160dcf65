// Applying the live configuration image to the run-time state.
#include "config/apply_settings.h"

#include <algorithm>
#include <cstring>

#include "cache/cache.h"
#include "cache/read_ahead.h"
#include "cache/write_sort.h"
#include "config/address_translation.h"
#include "config/bad_blocks.h"
#include "config/config_db.h"
#include "config/config_load.h"
#include "config/config_state.h"
#include "config/default_config.h"
#include "config/drive_tables.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "config/spares_wwn.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"
#include "sas/sas_drive.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

// Settings derived by every apply.
struct SETTINGS {
    uint8_t abHardAddress[2];
    uint16_t wControllerLun;
    uint8_t fAutoRebuild;
    uint8_t bRebuildPriority;
    uint8_t bInitPriority;
    uint8_t fWriteBackWithoutPartner;
    uint8_t fVerifyEnabled;
    uint8_t fAutoHotSpare;
    uint8_t fDiskIoModuleUpdate;
    uint8_t fDifferentNodeName;
    uint8_t abConnection[2];
    uint8_t abSpeed[2];
    uint8_t afOptionB[2];
    uint8_t fExpansionGeometry;
    uint8_t fMultipleStripeAccess;
    uint8_t fCacheFlushCommand;
    uint8_t fThreadBalance;
    uint8_t bSpcLevel;
    TQM_SETTINGS sTqmSettings;
    uint8_t fCacheFlushArray;
    uint8_t bCacheFlushArray;
};

SETTINGS s_sSettings;
uint8_t s_fStartOfDayApply = FALSE;
uint8_t s_fSaveRequest = FALSE;
uint8_t s_fUpsRequired = FALSE;
uint8_t s_abApplyOption[10];
uint8_t s_fActiveActiveOption = FALSE;
// The outstanding queues' settings: 206 asks for the list kind with its
// stripe-unit collapse rule, 209 for the list kind's supersede rule, 207
// lets a read be served from a write's buffer; 208, the kind in use, is
// derived by every apply.
uint8_t s_bCacheSetting206 = FALSE;
uint8_t s_bCacheSetting207 = TRUE;
uint8_t s_bCacheSetting208 = TRUE;
uint8_t s_bCacheSetting209 = FALSE;
uint8_t s_fSystemModeLatch = FALSE;
uint8_t s_bSasDeviceCountAtStart;

constexpr uint8_t DEFAULT_PRIORITY = 50;
constexpr uint32_t SNAPSHOT_SETS_CHECKED = 256;
constexpr uint8_t MEMBER_STATE_SKIP_CLAIM_1 = 0x11;
constexpr uint8_t MEMBER_STATE_SKIP_CLAIM_2 = 0x33;
constexpr uint8_t FAILURE_TIMEOUT_COMMAND = 0x99;
constexpr uint8_t FAILURE_TIMEOUT_SENSE = 0x22;

constexpr uint8_t EVENT_MEMBER_MISSING = 11;
constexpr uint8_t EVENT_MEMBER_NOT_REDUNDANT = 12;
constexpr uint8_t EVENT_REBUILD_TARGET_MISSING = 13;
constexpr uint8_t EVENT_DRIVE_PATH3 = 17;
constexpr uint8_t EVENT_DRIVE_PATH4 = 18;
constexpr uint8_t EVENT_ARRAY_CRITICAL = 27;
constexpr uint8_t EVENT_NO_REDUNDANT_MEMBER = 115;
constexpr uint8_t EVENT_UNSUPPORTED_ATTACHMENT = 140;

// A stored boolean counts only when it is exactly TRUE or FALSE.
uint8_t fStoredBoolean(uint8_t bStored, uint8_t fDefault) {
    return (bStored == TRUE || bStored == FALSE) ? bStored : fDefault;
}
uint8_t fOnlyTrue(uint8_t bStored) { return ToFlag(bStored == TRUE); }
uint8_t bPriority(uint8_t bStored) { return (bStored >= 10 && bStored <= 90) ? bStored : DEFAULT_PRIORITY; }

bool IsFcOrSasHost(uint8_t bInterface) { return bInterface == HOST_INTERFACE_FC || bInterface == HOST_INTERFACE_SAS_TARGET; }

void SetNoArraySettings() {
    SETTINGS& s = s_sSettings;
    const bool fFcOrSas = IsFcOrSasHost(bGetHostInterfaceType());
    s.abHardAddress[0] = 0x84;
    s.abHardAddress[1] = 0x85;
    s.wControllerLun = 0;
    s.fAutoRebuild = FALSE;
    s.bRebuildPriority = DEFAULT_PRIORITY;
    s.bInitPriority = DEFAULT_PRIORITY;
    s.fWriteBackWithoutPartner = FALSE;
    s.fVerifyEnabled = FALSE;
    s.fAutoHotSpare = FALSE;
    s.fDiskIoModuleUpdate = TRUE;
    s.fDifferentNodeName = FALSE;
    for (uint8_t p = 0; p < 2; p++) {
        s.abConnection[p] = 0;
        s.abSpeed[p] = fFcOrSas ? 0 : 2;
        s.afOptionB[p] = TRUE;
    }
    s.fExpansionGeometry = fOnlyTrue(pGetConfigImage()->sHeader.fExpansionActive);
    s.fMultipleStripeAccess = FALSE;
    s.fCacheFlushCommand = FALSE;
    s.fThreadBalance = FALSE;
    s.bSpcLevel = 5;
    SetDefaultTqmSettings(&s.sTqmSettings);
}

uint8_t bFilterSpeed(uint8_t bInterface, uint8_t bPort, uint8_t bStored) {
    if (bInterface == HOST_INTERFACE_FC) {
        if (bStored <= 2) return bStored;
        if (bStored == 3) {
            if (fIsQL24xx() == TRUE) return 3;
            ConsolePrintf(bPort == 0 ? "001: RESET Port0 to Auto" : "002: RESET Port1 to Auto");
        }
        return 0;
    }
    if (bInterface == HOST_INTERFACE_SAS_TARGET) return bFilterSASHostPortConnectionOption(bStored);
    return bStored > 2 ? 2 : bStored;
}

void DeriveSettings(const CONFIG_IMAGE* psImage) {
    const CONFIG_HEADER& h = psImage->sHeader;
    SETTINGS& s = s_sSettings;
    const uint8_t bInterface = bGetHostInterfaceType();
    const uint8_t bFirst = fIsControllerSlot1() == TRUE ? 0 : 2;
    s.abHardAddress[0] = h.abPortHardAddress[bFirst];
    s.abHardAddress[1] = h.abPortHardAddress[bFirst + 1];
    s.wControllerLun = h.wControllerLun;
    s.fAutoRebuild = fOnlyTrue(h.fAutoRebuild);
    s.bRebuildPriority = bPriority(h.bRebuildPriority);
    s.bInitPriority = bPriority(h.bInitPriority);
    s.fWriteBackWithoutPartner = fOnlyTrue(h.fSingleControllerMode);
    const uint8_t fVerify = fOnlyTrue(h.fBackgroundVerify);
    if (fVerify == TRUE && s.fVerifyEnabled != TRUE && s_fStartOfDayApply != TRUE) ResetDriveVerifyState();
    s.fVerifyEnabled = fVerify;
    s.fAutoHotSpare = fOnlyTrue(h.fAutoHotSpare);
    s.fDiskIoModuleUpdate = fOnlyTrue(h.fControllerMonitorSes);
    s.fDifferentNodeName = fOnlyTrue(h.fDifferentNodeName);
    for (uint8_t p = 0; p < 2; p++) {
        const uint8_t bConnection = h.abPortConnection[p];
        if (bInterface == HOST_INTERFACE_FC) s.abConnection[p] = bConnection > 2 ? 0 : bConnection;
        else if (bInterface == HOST_INTERFACE_SAS_TARGET) s.abConnection[p] = bFilterSASHostPortPhySetting(bConnection);
        else s.abConnection[p] = bConnection;
        s.abSpeed[p] = bFilterSpeed(bInterface, p, h.abPortDataRate[p]);
        s.afOptionB[p] = IsFcOrSasHost(bInterface) ? TRUE : fStoredBoolean(h.afPortOptionB[p], TRUE);
    }
    s.fExpansionGeometry = fOnlyTrue(h.fExpansionActive);
    s.fMultipleStripeAccess = fStoredBoolean(h.fMultipleStripeAccess, FALSE);
    s.fCacheFlushCommand = fStoredBoolean(h.fCacheFlushCommand, FALSE);
    s.fThreadBalance = fStoredBoolean(h.fThreadBalance, FALSE);
    s.bSpcLevel = (h.bSpcLevel == 4 || h.bSpcLevel == 5) ? h.bSpcLevel : 5;
    if (psImage->sTqmSettings.bResponseType == 0) SetDefaultTqmSettings(&s.sTqmSettings);
    else s.sTqmSettings = psImage->sTqmSettings;
    SetSequentialWriteLevel(h.bSequentialWriteLevel);
    SetThreadBalance(s.fThreadBalance == TRUE ? FALSE : TRUE);
}

void DeriveCacheFlushArray(const CONFIG_IMAGE* psImage) {
    const CONFIG_HEADER& h = psImage->sHeader;
    const uint16_t wRank = h.wCacheFlushArray;
    const bool fAgree = h.fCacheFlushArrayUsed == TRUE && wRank < dClampedRankCount(psImage) &&
                        psImage->asRank[wRank].fCacheFlushArray == TRUE;
    s_sSettings.fCacheFlushArray = ToFlag(fAgree);
    s_sSettings.bCacheFlushArray = fAgree ? static_cast<uint8_t>(wRank) : 0xFF;
}

void SetFixedOptions() {
    static constexpr uint8_t abFixed[10] = {TRUE, TRUE, FALSE, FALSE, TRUE, TRUE, FALSE, TRUE, FALSE, FALSE};
    std::memcpy(s_abApplyOption, abFixed, sizeof(abFixed));
    if (s_sSettings.fMultipleStripeAccess == TRUE) s_abApplyOption[1] = FALSE;
    // The tree, unless the list kind is asked for.
    s_bCacheSetting208 = s_bCacheSetting206 == TRUE ? FALSE : TRUE;
    s_fActiveActiveOption = fIsSASActiveActiveState4();
    SetNvramSasByte1(0);
    SetNvramSasByte2(0);
}

// --- judging the members of one array ------------------------------------

struct APPLY_STATE {
    CONFIG_IMAGE* psImage;
    bool fStartOfDay;
    bool fImageChanged;
    bool fMemberFound;
    bool fCopiesRead;   // the drives' copies were read just before
};

void AddMissingToFailedList(APPLY_STATE& a, const uint8_t* pbWwn, uint8_t bDriveIndex) {
    AddFailedDriveWwn(pbWwn, a.psImage, FAILURE_TIMEOUT_COMMAND, FAILURE_TIMEOUT_SENSE, 0, 0, bDriveIndex);
}

// Whether the drive of an in-service member's name holds the array's data.
// Just after the drives' copies were read, its own copy says; later the
// failed-drive list does, which keeps a drive found not to hold it while
// its member stays in service in a failed array's picture.
bool fDriveHoldsMember(const APPLY_STATE& a, const CONFIG_RANK_RECORD& sStored, uint8_t bMember) {
    const uint8_t* pbWwn = sStored.aabMemberWwn[bMember];
    if (a.fCopiesRead) return fDriveCopyNamesMember(pbWwn, sStored, bMember) == TRUE;
    return fIsWwnInFailedDriveList(pbWwn, a.psImage) != TRUE;
}

uint8_t bCountOtherMembersWithState(const CONFIG_RANK_RECORD& sStored, uint8_t bFirst, uint8_t bCount, uint8_t bExcept) {
    uint8_t bOthers = 0;
    for (uint8_t i = bFirst; i < bFirst + bCount && i < MAX_RANK_MEMBERS; i++)
        if (i != bExcept && sStored.abMemberState[i] != 0) bOthers++;
    return bOthers;
}

// An expansion adds members: one missing beyond the old count is a failed
// drive, one of the old geometry is left to the expansion code.
void ApplyExpansionRule(APPLY_STATE& a, uint8_t bMember, uint8_t st, const uint8_t* pbWwn, uint8_t bDriveIndex) {
    if (st == 0 && bMember >= a.psImage->asRank[EXPANSION_RANK].bDriveCount) AddMissingToFailedList(a, pbWwn, bDriveIndex);
}

// The rule of a parity array whose group still survives, by its stored job
// state.
void ApplyParityRule(APPLY_STATE& a, RANK_RECORD& sRank, CONFIG_RANK_RECORD& sStored, uint8_t bMember, uint8_t st,
                     const uint8_t* pbWwn, uint8_t bDriveIndex) {
    const bool fWasInService = st == 0;
    switch (sStored.bInitState) {
        case 3:
            ApplyExpansionRule(a, bMember, st, pbWwn, bDriveIndex);
            break;
        case 0:
            if (fWasInService) AddMissingToFailedList(a, pbWwn, bDriveIndex);
            break;
        case 0xFF:
            sStored.bInitState = 0;
            sRank.bRankState = RANK_STATE_DEGRADED;
            if (fWasInService) AddMissingToFailedList(a, pbWwn, bDriveIndex);
            break;
        case 1:
            sRank.bRankState = RANK_STATE_DEGRADED;
            if (fWasInService) AddMissingToFailedList(a, pbWwn, bDriveIndex);
            break;
        default:
            break;
    }
}

void JudgeRank(APPLY_STATE& a, uint8_t bRank, bool fConfigured) {
    RANK_RECORD& sRank = *pGetRankRecord(bRank);
    CONFIG_RANK_RECORD& sStored = a.psImage->asRank[bRank];
    const uint8_t bOldState = sRank.bRankState;
    const bool fUsable = fDeriveRankRecord(bRank, &sStored) == TRUE;
    if (!fUsable) return;
    const uint8_t bDerivedState = sRank.bRankState;
    const uint8_t bStoredInitState = sStored.bInitState;
    const bool fChangedBefore = a.fImageChanged;
    uint8_t abStoredState[MAX_RANK_MEMBERS];
    std::memcpy(abStoredState, sStored.abMemberState, sizeof(abStoredState));
    bool afJudgedMissing[MAX_RANK_MEMBERS] = {};
    uint8_t abPathTypeSeen[6] = {};
    DRIVE_ADDRESS_LIST* psList = pGetDriveAddressList();
    const uint8_t n = sRank.bDriveCount;

    bool afNotHeld[MAX_RANK_MEMBERS] = {};

    for (uint8_t m = 0; m < n; m++) {
        const uint8_t* pbWwn = sStored.aabMemberWwn[m];
        const uint8_t st = abStoredState[m];
        const uint8_t fClaim = ToFlag(st != MEMBER_STATE_MISSING && st != MEMBER_STATE_SKIP_CLAIM_1 && st != MEMBER_STATE_SKIP_CLAIM_2);
        uint8_t bTarget = 0xFF;
        DRIVE_ADDRESS_ENTRY* psDrive = pFindSASAddressInList(psList, pbWwn, &bTarget, FALSE);
        // A drive of the member's name that does not hold the array's data
        // (a blank drive put in the slot, one wiped) is no member: the
        // member is missing, and the drive is a drive of its own.
        if (psDrive != nullptr && st == 0 && !fDriveHoldsMember(a, sStored, m)) {
            psDrive = nullptr;
            bTarget = 0xFF;
            afNotHeld[m] = true;
        } else if (psDrive != nullptr && st == 0 && a.fCopiesRead &&
                   fIsWwnInFailedDriveList(pbWwn, a.psImage) == TRUE) {
            // The member's own drive is back in place of one that did not
            // hold its data.
            RemoveFailedDriveWwn(pbWwn, a.psImage);
            a.fImageChanged = true;
        }
        if (psDrive != nullptr && fClaim == TRUE) psDrive->fClaimed = TRUE;
        bool fFound = psDrive != nullptr;
        if (fFound && (bTarget & 0x80)) sRank.fMemberOnMux = TRUE;
        const uint8_t bPathType = bGetDrivePathType(pbWwn);
        if (bPathType == 2 || bPathType == 4 || bPathType == 5) abPathTypeSeen[bPathType] = 1;
        if (st != 0) fFound = false;

        if (fFound) {
            sRank.abMemberFlags[m] = MEMBER_FLAGS_IN_SERVICE;
            sRank.abMemberState[m] = 1;
            sRank.abMemberDriveAlt[m] = 0xFF;
            sRank.abMemberDrive[m] = bTarget;
            a.fMemberFound = true;
            continue;
        }
        sRank.abMemberFlags[m] = MEMBER_FLAGS_MISSING;
        sRank.abMemberState[m] = 0xFF;
        sRank.abMemberDriveAlt[m] = 0xFF;
        sRank.abMemberDrive[m] = 0xFF;
        const uint8_t bDriveIndex = bGetDriveIndexOfWWN(pbWwn);
        if (st == 0) {
            sStored.abMemberState[m] = MEMBER_STATE_MISSING;
            a.fImageChanged = true;
            if (bOldState != RANK_STATE_FAILED && fConfigured) {
                PostEvent(EVENT_MEMBER_MISSING, pbWwn[0], pbWwn[1], pbWwn[2], pbWwn[3], pbWwn[4], pbWwn[5], pbWwn[6],
                          pbWwn[7], sStored.bRankNumber, m, bDriveIndex);
                PostEvent(EVENT_ARRAY_CRITICAL, sStored.bRankNumber);
            }
        }
        afJudgedMissing[m] = true;
        if (sRank.bRankState == RANK_STATE_FAILED) continue;
        switch (sRank.bRaidLevel) {
            case RAID_LEVEL_0:
                sRank.bRankState = RANK_STATE_FAILED;
                break;
            case RAID_LEVEL_10:
                if ((m & 1) && afJudgedMissing[m - 1] && bStoredInitState != 3) {
                    sRank.bRankState = RANK_STATE_FAILED;
                } else if (sStored.bInitState == 3) {
                    ApplyExpansionRule(a, m, st, pbWwn, bDriveIndex);
                } else {
                    sRank.bRankState = RANK_STATE_DEGRADED;
                    if (sStored.bInitState != 1) sStored.bInitState = 0;
                    if (st == 0) AddMissingToFailedList(a, pbWwn, bDriveIndex);
                }
                break;
            case RAID_LEVEL_6:
                if (bCountOtherMembersWithState(sStored, 0, n, m) > 1) sRank.bRankState = RANK_STATE_FAILED;
                else ApplyParityRule(a, sRank, sStored, m, st, pbWwn, bDriveIndex);
                break;
            default: {
                // Parity groups of P members each (one group for RAID 5).
                const uint8_t P = static_cast<uint8_t>(n / sRank.bSubRankCount);
                const uint8_t bGroupFirst = static_cast<uint8_t>((m / P) * P);
                if (bCountOtherMembersWithState(sStored, bGroupFirst, P, m) > 0) {
                    if (st == 0) sRank.bRankState = RANK_STATE_FAILED;
                } else {
                    ApplyParityRule(a, sRank, sStored, m, st, pbWwn, bDriveIndex);
                }
                break;
            }
        }
    }

    uint8_t bAttachment = 0;
    if (abPathTypeSeen[2] && abPathTypeSeen[4]) bAttachment = 1;
    else if (abPathTypeSeen[4] && fIsSASActiveActiveModeSet() != TRUE) bAttachment = 2;
    else if (abPathTypeSeen[2]) bAttachment = 3;
    else if (abPathTypeSeen[5]) bAttachment = 4;
    if (bAttachment != 0) {
        sRank.bRankState = RANK_STATE_FAILED;
        if (bOldState != RANK_STATE_FAILED) PostEvent(EVENT_UNSUPPORTED_ATTACHMENT, bRank, bAttachment);
    }

    if (fConfigured && bOldState == RANK_STATE_FAILED && sRank.bRankState != RANK_STATE_FAILED && !a.fStartOfDay)
        s_fSaveRequest = TRUE;

    if (sRank.bRankState == RANK_STATE_FAILED) {
        // A failed array keeps its stored picture, so that its drives
        // coming back bring it back.  A drive found not to hold its member's
        // data stays in the failed-drive list: it is not taken back, and no
        // copy of the configuration is written onto it.
        sStored.bInitState = bDerivedState;
        std::memcpy(sStored.abMemberState, abStoredState, sizeof(abStoredState));
        a.fImageChanged = fChangedBefore;
        for (uint8_t m = 0; m < n; m++) {
            if (abStoredState[m] != 0) continue;
            const uint8_t* pbWwn = sStored.aabMemberWwn[m];
            if (!afNotHeld[m]) {
                RemoveFailedDriveWwn(pbWwn, a.psImage);
            } else if (fIsWwnInFailedDriveList(pbWwn, a.psImage) != TRUE) {
                AddMissingToFailedList(a, pbWwn, bGetDriveIndexOfWWN(pbWwn));
                a.fImageChanged = true;
            }
        }
    }
}

void ResumeExpansion(const APPLY_STATE& a, bool fMaster) {
    uint8_t bExpanding = 0xFF;
    for (uint8_t r = 0; r < MAX_RANKS; r++) {
        if (bGetRankOperationState(r) == RANK_STATE_EXPANDING) {
            bExpanding = r;
            break;
        }
    }
    (void)a;
    if (bGetNvramExpansionFlag() == TRUE) {
        if (bExpanding != 0xFF) {
            if (!fMaster) return;
            if (bGetExpansionRank() != bExpanding) SetExpansionRank(bExpanding);
            if (fIsExpansionInProgress() != TRUE) StartExpansion(bExpanding, TRUE);
        } else if (fMaster && fIsExpansionInProgress() == TRUE) {
            SetExpansionFlag4(TRUE);
        } else if (fIsExpansionTaskDue() != TRUE) {
            // (While a finished expansion's commit is on its way to the
            // drives its record stays: a cut then commits again.)
            ClearExpansionNvRecord();
        }
    } else if (bExpanding != 0xFF && fMaster) {
        StartExpansion(bExpanding, FALSE);
    }
}

void ResumeStripeInitialisation(bool fStartOfDay, bool fMaster, bool fNvramTie, uint8_t bRankCount) {
    const bool fDualActive = fIsDualControllerActive() == TRUE;
    const bool fDualStart = fGetDualStartFlag() == TRUE;
    // Without the partner ports no partner exchanged its progress with us.
    const bool fPartnerPorts = fGetBoardFlagB6() == TRUE;
    const bool fPartnerProgress = fPartnerPorts && !fDualStart && fDualActive;
    if (fStartOfDay && !fNvramTie && !fPartnerProgress) ClearStripeInitNvProgress(MAX_RANKS);
    bool fNoted = false;
    for (uint8_t r = 0; r < MAX_RANKS; r++) {
        if (r < bRankCount && fGetRankInitPending(r) == TRUE) {
            if (fStartOfDay) {
                StartStripeInit(r, fPartnerProgress ? 4 : 3);
            } else if (fIsStripeInitInProgress(r) != TRUE) {
                ClearStripeInitNvProgress(r);
                StartStripeInit(r, 1);
            } else {
                fNoted = true;
            }
            if (fMaster) RequestEnclosureStatusUpdate(TRUE);
        } else if (fIsStripeInitInProgress(r) == TRUE) {
            fNoted = true;
        }
    }
    if (fNoted) MarkStripeInitForRestart();
    if (bRankCount == 0) {
        MarkStripeInitForRestart();
        SetStripeInitRestartAll();
    }
}

void PostWwnEvent(uint8_t bCode, const uint8_t* pbWwn, uint8_t bRank, uint8_t bMember, uint8_t bDriveIndex) {
    PostEvent(bCode, pbWwn[0], pbWwn[1], pbWwn[2], pbWwn[3], pbWwn[4], pbWwn[5], pbWwn[6], pbWwn[7], bRank, bMember,
              bDriveIndex);
}

void ResumeRebuild(APPLY_STATE& a, uint8_t bRankCount) {
    if (bGetNvramRebuildPendingFlag() != TRUE && fGetRebuildWork() != TRUE) return;
    uint8_t abWwn[8];
    GetRebuildTargetWwn(abWwn);
    const uint8_t r = bGetRebuildRank();
    const uint8_t d = bGetRebuildRecordByte(0);
    const bool fConfigured = r < bRankCount;
    if (fConfigured && bGetRankOperationState(r) == RANK_STATE_DEGRADED && bGetRankRaidLevel(r) != RAID_LEVEL_0) {
        uint8_t bTarget = 0xFF;
        if (pFindSASAddressInList(pGetDriveAddressList(), abWwn, &bTarget, FALSE) != nullptr) {
            if (ResumeRebuildFromNvram(bTarget, 0xFF) == 255) return;
        } else {
            SetRebuildWork(FALSE);
            SetNvramRebuildPendingFlag(FALSE);
            PostWwnEvent(EVENT_REBUILD_TARGET_MISSING, abWwn, r, d, bGetRebuildTargetLoopId());
            AddFailedDriveWwn(abWwn, a.psImage, FAILURE_TIMEOUT_COMMAND, FAILURE_TIMEOUT_SENSE, 0, 0, bGetDriveIndexOfWWN(abWwn));
            a.fImageChanged = true;
        }
    }
    if (fConfigured && bGetRankOperationState(r) == RANK_STATE_FAILED && bGetRankRaidLevel(r) != RAID_LEVEL_0 &&
        d < MAX_RANK_MEMBERS) {
        const RANK_RECORD& sRank = *pGetRankRecord(r);
        uint8_t bFirst = 0;
        uint8_t bCount = sRank.bDriveCount;
        if (sRank.bRaidLevel == RAID_LEVEL_10) {
            bFirst = d ^ 1;
            bCount = 1;
        } else if (sRank.bRaidLevel == RAID_LEVEL_50 && sRank.bSubRankCount != 0) {
            bCount = static_cast<uint8_t>(sRank.bDriveCount / sRank.bSubRankCount);
            bFirst = static_cast<uint8_t>((d / bCount) * bCount);
        }
        bool fPosted = false;
        for (uint8_t m = bFirst; m < bFirst + bCount && m < sRank.bDriveCount; m++) {
            if (m == d || sRank.abMemberFlags[m] == 0) continue;
            const uint8_t* pbWwn = a.psImage->asRank[r].aabMemberWwn[m];
            PostWwnEvent(EVENT_MEMBER_NOT_REDUNDANT, pbWwn, r, m, bGetDriveIndexOfWWN(pbWwn));
            fPosted = true;
        }
        if (!fPosted) PostEvent(EVENT_NO_REDUNDANT_MEMBER, r, d);
    }
    ResetRebuildState();
    SetRebuildWork(FALSE);
    SetNvramRebuildPendingFlag(FALSE);
}

void MarkSnapshots(const CONFIG_IMAGE* psImage) {
    for (uint32_t i = 0; i < SNAPSHOT_SETS_CHECKED; i++) {
        const uint8_t* pb = psImage->asSnapshotSet[i].abData;
        const uint16_t wLd = static_cast<uint16_t>(pb[4] | (pb[5] << 8));
        if (pb[0] != TRUE || wLd == 0xFFFF || bGetLogicalDriveState(wLd) == LD_STATE_UNAVAILABLE) continue;
        if (fLdHasSnapshots(wLd, FALSE) == TRUE) SetLogicalDriveHasSnapshots(wLd, TRUE);
    }
}

void MarkDrivesOfFailedArrays() {
    const SEGMENT_MAP* psMap = pGetSegmentMap();
    for (uint32_t i = 0; i < psMap->dEntryCount; i++) {
        const SEGMENT_MAP_ENTRY& sEntry = psMap->asEntry[i];
        if (sEntry.wLd < 0 || static_cast<uint16_t>(sEntry.wLd) >= wGetLogicalDriveCount()) continue;
        const uint8_t bState = bGetRankOperationState(static_cast<uint8_t>(sEntry.wRank));
        if (bState == RANK_STATE_DEGRADED || bState == RANK_STATE_OPTIMAL || bState == RANK_STATE_EXPANDING) continue;
        SetLogicalDriveState(static_cast<uint16_t>(sEntry.wLd), LD_STATE_UNAVAILABLE);
        NotifyLdUnavailable(static_cast<uint16_t>(sEntry.wLd));
    }
}

void UpdateDriveLoopFlags(bool fMemberFound) {
    SetDriveLoopAvailable(3, TRUE);
    SetEventMaskBit(EVENT_DRIVE_PATH3, FALSE);
    if (fMemberFound && bGetPortLoopState(4) == 0xFF) {
        if (fIsNvramOption0Set() != TRUE) PostEvent(EVENT_DRIVE_PATH4);
        SetDriveLoopAvailable(4, FALSE);
    } else {
        SetDriveLoopAvailable(4, TRUE);
        SetEventMaskBit(EVENT_DRIVE_PATH4, FALSE);
    }
}

}  // namespace

uint8_t ApplyStoredSettings(uint8_t fSaveOnSlotChange, uint8_t) {
    CONFIG_IMAGE* psImage = pGetConfigImage();
    APPLY_STATE a{psImage, s_fStartOfDayApply == TRUE, false, false, fAreDriveCopiesKnown() == TRUE};

    // 1-2: counts and settings.
    const uint8_t bRankCount = static_cast<uint8_t>(dClampedRankCount(psImage));
    SetRankCount(bRankCount);
    const uint32_t dGenerationOffset = NVRAM_OFFSET(abJournalGeneration);
    const bool fNvramTie = dNvramReadLE32(dGenerationOffset) == psImage->sHeader.dGeneration;
    // The applies before the main loop runs are those of the start of day:
    // the background jobs the NVRAM recorded are resumed, not started anew.
    const bool fBeforeMainLoop = a.fStartOfDay || fIsInitializationComplete() != TRUE;
    if (fBeforeMainLoop) CheckNvramJournalGeneration(psImage);
    if (bRankCount == 0) {
        SetConfigValid(FALSE);
        SetNoArraySettings();
    } else {
        SetConfigValid(TRUE);
        DeriveSettings(psImage);
    }
    SetFixedOptions();

    // 3-5: hand-offs, address list, segment map.
    ApplyTqmSettings(&s_sSettings.sTqmSettings);
    BuildSASAddressList(pGetDriveAddressList());
    if (a.fStartOfDay) s_bSasDeviceCountAtStart = bGetSASDeviceCount();
    const bool fMaster = fIsMasterController() == TRUE;
    s_fUpsRequired = FALSE;
    if (bRankCount == 0) {
        s_sSettings.fCacheFlushArray = FALSE;
        s_sSettings.bCacheFlushArray = 0xFF;
    } else {
        DeriveCacheFlushArray(psImage);
    }
    BuildLdFreeSpaceMap(psImage, TRUE, pGetSegmentMap());

    // 6-7: the array pass.
    for (uint8_t r = 0; r < bRankCount; r++) {
        JudgeRank(a, r, true);
        if (pGetRankRecord(r)->bCachePolicy & POLICY_UPS) s_fUpsRequired = TRUE;
        EvaluateRankCachePolicy(r);
    }
    if (psImage->sHeader.fExpansionActive == TRUE) {
        JudgeRank(a, EXPANSION_RANK, false);
        EvaluateRankCachePolicy(EXPANSION_RANK);
    }
    for (uint8_t r = bRankCount; r < MAX_RANKS; r++) {
        SetRankOperationState(r, RANK_STATE_FAILED);
        pGetRankRecord(r)->wSegmentCount = 0;
    }
    // What the copies said is in the image now; later applies judge by it.
    ForgetDriveCopies();

    // 8-10: background jobs that were running.
    ResumeExpansion(a, fMaster);
    ResumeStripeInitialisation(fBeforeMainLoop, fMaster, fNvramTie, bRankCount);
    ResumeRebuild(a, bRankCount);

    // 11-12: drive tables and bad blocks.
    const uint8_t bOldSlotCount = bGetSpareDriveTableCount();
    BuildHotSpareTableSas(psImage, pGetDriveAddressList());
    BuildDriveSlotTableSas(pGetDriveAddressList(), FALSE);
    if (bGetSpareDriveTableCount() != bOldSlotCount && fIsConfigValid() == TRUE && !a.fStartOfDay &&
        fSaveOnSlotChange == TRUE)
        s_fSaveRequest = TRUE;
    BuildBadBlockTables(psImage);

    // 13-16: logical drives.
    uint8_t fLdSave = FALSE;
    uint8_t fLdChanged = FALSE;
    BuildLogicalDriveTable(psImage, FALSE, &fLdSave, &fLdChanged);
    if (fLdSave == TRUE) s_fSaveRequest = TRUE;
    if (fLdChanged == TRUE) a.fImageChanged = true;
    MarkSnapshots(psImage);
    RebuildHostLunVisibility();
    MarkDrivesOfFailedArrays();
    if (!a.fStartOfDay) {
        for (uint16_t l = 0; l < MAX_LDS; l++) {
            if (bGetLogicalDriveState(l) == bGetPreviousLogicalDriveState(l)) continue;
            for (uint8_t bPort : {PORT_CODE_FC_HOST_1, PORT_CODE_FC_HOST_2, PORT_CODE_FC_TABLE_1, PORT_CODE_FC_TABLE_2,
                                  PORT_CODE_SAS_HOST_1, PORT_CODE_SAS_HOST_2}) {
                SetHostPortLinkFlag(bPort, TRUE);
            }
            break;
        }
    }

    // 17-18: single controller mode and the commit.
    if (psImage->sHeader.fSingleControllerMode == TRUE && fIsDualControllerActive() == TRUE && fMaster) {
        psImage->sHeader.fSingleControllerMode = FALSE;
        s_fSaveRequest = TRUE;
    }
    if ((a.fImageChanged && fMaster) || s_fSaveRequest == TRUE) {
        s_fSaveRequest = ToFlag(!(a.fStartOfDay && fIsConfigValid() != TRUE));
        const bool fSameGeneration = a.fStartOfDay && !a.fImageChanged && fMaster && fGetDualStartFlag() == TRUE;
        RequestConfigUpdate(fSameGeneration ? REQUESTER_COMMIT_SAME_GENERATION : REQUESTER_COMMIT);
    }

    // 19-24: follow-ups.
    if (fMaster && fIsSASFailbackInProgress() != TRUE) fRequestDriveRescan();
    InitReadAheadBuffers();
    if (fMaster && (s_sSettings.fAutoRebuild == TRUE || s_sSettings.fAutoHotSpare == TRUE)) SetRebuildCheckPending(TRUE);
    UpdateDriveLoopFlags(a.fMemberFound);
    bUpdatePartnerMissingIndicator();
    if (!a.fStartOfDay || fGetHeartbeatRequestFlag() == TRUE) NvramWriteLE32(dGenerationOffset, psImage->sHeader.dGeneration);

    // 25-28: reservations, data services, power management, write path.
    (void)fReconcilePersistentReservations(psImage);
    const uint32_t dPrRecords = dClampedPrRecordCount(psImage);
    for (uint32_t i = 0; i < dPrRecords; i++) RestorePersistentReservation(&psImage->asPrRecord[i]);
    StartDataServicesFromImage(psImage);
    LoadSaveAPMConfig(psImage->abPowerSettings, psImage->sHeader.fPowerManagementSet);
    bStartAPM();
    RefreshHostLunTable();
    // The sort lists follow the logical drives as they now are.
    SetWriteSortEnabled(fIsWriteSortWanted());
    s_fStartOfDayApply = FALSE;
    return 0xFF;
}

void SetStartOfDayApply(uint8_t f) { s_fStartOfDayApply = f; }
uint8_t fGetStartOfDayApply() { return s_fStartOfDayApply; }
void SetConfigApplyOption(uint8_t f) { s_fSaveRequest = f; }
uint8_t fGetConfigApplyOption() { return s_fSaveRequest; }

uint8_t fIsWriteSortWanted() {
    return ToFlag(bGetCacheSetting20d() != TRUE && fGetAgingPrioritySetting() != TRUE);
}

uint8_t bGetHostPortHardAddress(uint8_t bPort) {
    if (bPort == 1 || bPort == 2) {
        const uint8_t b = s_sSettings.abHardAddress[bPort - 1];
        return ((b & 0x80) && (b & 0x7F) <= 125) ? b : 0;
    }
    if (bPort == 49 || bPort == 113) return s_sSettings.abHardAddress[0] & 0x0F;
    if (bPort == 50 || bPort == 114) return s_sSettings.abHardAddress[1] & 0x0F;
    return 0;
}
uint16_t wGetControllerLun() { return s_sSettings.wControllerLun; }
uint8_t fGetAutoRebuild() { return s_sSettings.fAutoRebuild; }
uint8_t bGetHostPortMode() { return 0; }
uint8_t bGetRebuildPriority() { return s_sSettings.bRebuildPriority; }
uint8_t bGetInitPriority() { return s_sSettings.bInitPriority; }
uint8_t fGetWriteBackWithoutPartner() { return s_sSettings.fWriteBackWithoutPartner; }
uint8_t fGetVerifyEnabled() { return s_sSettings.fVerifyEnabled; }
uint8_t fGetAutoHotSpare() { return s_sSettings.fAutoHotSpare; }
uint8_t fGetDiskIoModuleUpdateFlag() { return s_sSettings.fDiskIoModuleUpdate; }
uint8_t fGetDifferentNodeName() { return s_sSettings.fDifferentNodeName; }
// The different node name is port 2's variant WWN.
uint8_t fGetPort2WwnVariant() { return s_sSettings.fDifferentNodeName; }
namespace {

// Port 2 by any of its codes; every other code reads port 1.
uint8_t bSettingIndex(uint8_t bPort) { return bHostPortOfCode(bPort) == 2 ? 1 : 0; }

}  // namespace

uint8_t bGetHostPortConnectionSetting(uint8_t bPort) { return s_sSettings.abConnection[bSettingIndex(bPort)]; }
uint8_t bGetHostPortSpeedSetting(uint8_t bPort) { return s_sSettings.abSpeed[bSettingIndex(bPort)]; }
uint8_t fGetHostPortOptionB(uint8_t bPort) {
    if (bPort == 49) return s_sSettings.afOptionB[0];
    if (bPort == 50) return s_sSettings.afOptionB[1];
    return TRUE;
}
uint8_t fGetExpansionGeometry() { return s_sSettings.fExpansionGeometry; }
uint8_t fGetMultipleStripeAccess() { return s_sSettings.fMultipleStripeAccess; }
uint8_t fGetCacheFlushCommandDisabled() { return s_sSettings.fCacheFlushCommand == TRUE ? FALSE : TRUE; }
uint8_t bGetSpcLevel() { return s_sSettings.bSpcLevel; }
void GetTqmSettings(TQM_SETTINGS* psBlock) { *psBlock = s_sSettings.sTqmSettings; }
uint8_t fGetCacheFlushArray(uint8_t* pbRank) {
    *pbRank = s_sSettings.fCacheFlushArray == TRUE ? s_sSettings.bCacheFlushArray : 0xFF;
    return s_sSettings.fCacheFlushArray == TRUE ? TRUE : FALSE;
}
uint8_t fGetUpsRequired() { return s_fUpsRequired; }
uint8_t fGetApplyOption(uint8_t bIndex) { return (bIndex >= 1 && bIndex <= 10) ? s_abApplyOption[bIndex - 1] : FALSE; }
uint8_t fGetActiveActiveOption() { return s_fActiveActiveOption; }
uint8_t bGetCacheSetting206() { return s_bCacheSetting206; }
void SetCacheSetting206(uint8_t b) { s_bCacheSetting206 = b; }
uint8_t bGetCacheSetting207() { return s_bCacheSetting207; }
void SetCacheSetting207(uint8_t b) { s_bCacheSetting207 = b; }
uint8_t fGetCacheSetting208() { return s_bCacheSetting208; }
void SetCacheSetting208(uint8_t b) { s_bCacheSetting208 = b; }
uint8_t bGetCacheSetting209() { return s_bCacheSetting209; }
void SetCacheSetting209(uint8_t b) { s_bCacheSetting209 = b; }
uint8_t fGetSystemModeLatch() { return s_fSystemModeLatch; }
void SetSystemModeLatch(uint8_t f) { s_fSystemModeLatch = f; }
void SetSystemModeLatch() { s_fSystemModeLatch = TRUE; }

}  // namespace fw
