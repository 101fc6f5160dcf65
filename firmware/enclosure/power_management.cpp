// The power management engine: settings, the array power states and their
// jobs, the level-1 cycle of spares, unused and failed drives.
#include "enclosure/power_management.h"

#include <cstring>

#include "config/config_image.h"
#include "config/drive_tables.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "enclosure/drive_list_display.h"
#include "executive/background_process.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "mgmt/management_commands.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "raid/parity_check.h"
#include "raid/rebuild.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_ARRAY_SPIN = 149;
constexpr uint8_t EVENT_TEST_STARTED = 150;
constexpr uint8_t EVENT_TEST_FINISHED = 151;
constexpr uint8_t EVENT_KIND_LEVEL1 = 1;
constexpr uint8_t EVENT_KIND_ARRAY = 2;
constexpr uint8_t MESSAGE_APM_NOTICE = 120;
constexpr uint8_t MESSAGE_APM_REQUEST = 123;
constexpr uint8_t SUB_ARRAY_SPIN = 19;
constexpr uint8_t SUB_ARRAY_STATE = 34;
constexpr uint8_t MODE_SPIN_DOWN = 0;
constexpr uint8_t MODE_SPIN_UP = 1;
constexpr uint8_t VERIFY_KIND_LEVEL1 = 1;
constexpr uint8_t VERIFY_KIND_ARRAY = 2;
// A host access this recent keeps an array spinning, whatever its idle time.
constexpr uint64_t RECENT_ACCESS_MS = 9'000;
constexpr uint8_t INIT_STATE_RUNNING = 3;
constexpr uint8_t RETRY_SECONDS = 5;
constexpr uint32_t MINUTES_PER_DAY = 1440;
constexpr uint32_t MINUTES_PER_WEEK = 7 * MINUTES_PER_DAY;

struct APM_STATE {
    APM_LEVEL1_SETTINGS sLevel1;
    uint8_t fConfigured;
    uint8_t abArrayState[APM_ARRAYS];
    uint32_t adSpunDownAt[APM_ARRAYS];   // seconds clock when the state became 1
    uint8_t abArrayArgument[APM_ARRAYS];  // what the spin-up routines are handed
    uint8_t fSparesSpinningUp;
    uint8_t fUnusedSpinningUp;
    uint32_t dNextTestCycle;              // seconds clock
};
APM_STATE s_sApm;

uint8_t ArrayCount() { return static_cast<uint8_t>(dClampedRankCount(pGetConfigImage())); }
bool IsArray(uint8_t bArray) { return bArray < APM_ARRAYS && bArray < ArrayCount(); }
const uint8_t* pbArraySettings(uint8_t bArray) {
    return reinterpret_cast<const uint8_t*>(&pGetConfigImage()->asRank[bArray]) + ARRAY_APM_RECORD_OFFSET;
}

// Every in-service member of the array that the drive table holds.
template <typename Visit>
void ForEachMember(uint8_t bArray, Visit visit) {
    if (!IsArray(bArray)) return;
    const CONFIG_RANK_RECORD& sRank = pGetConfigImage()->asRank[bArray];
    const uint32_t dMembers = dClampedDriveCount(&sRank);
    for (uint32_t m = 0; m < dMembers; ++m) {
        DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (sRank.abMemberState[m] != 0 || fIsNonZeroWwn(sRank.aabMemberWwn[m]) != TRUE ||
            fFindDriveByWWN(sRank.aabMemberWwn[m], &ps, &bIndex) != TRUE) {
            continue;
        }
        visit(ps->bEnclosureNo, ps->bSlotNo);
    }
}

uint8_t bMemberSet(uint8_t bArray, DRIVE_MASK_SET* psSet, bool fSkipSpunDown) {
    ClearDriveSet(psSet);
    uint8_t bCount = 0;
    ForEachMember(bArray, [&](uint8_t e, uint8_t s) {
        ++bCount;
        if (!fSkipSpunDown || bGetDriveAPMState(e, s) != DRIVE_APM_SPUN_DOWN) AddDriveToSet(psSet, e, s);
    });
    return bCount;
}

void ArraySpunUp(void* pArgument) {
    SetArrayAPMState(*static_cast<const uint8_t*>(pArgument), APM_SPUN_UP, TRUE, FALSE);
}

void SparesSpunUp(void*) { s_sApm.fSparesSpinningUp = FALSE; }
void UnusedSpunUp(void*) { s_sApm.fUnusedSpinningUp = FALSE; }

// The job of (type, action), created when none exists, with its delay.
uint8_t bNewJob(uint8_t bType, uint8_t bAction, BackgroundProcessCallback pfn, uint16_t wArg, uint8_t bSeconds,
                uint8_t bMinutes = 0, uint8_t bHours = 0, uint16_t wDays = 0) {
    uint16_t wId = BACKGROUND_PROCESS_NONE;
    const uint8_t bStatus = bCreateBackgroundProcess(bType, bAction, pfn, &wId, wArg, 0);
    if (bStatus != STATUS_OK) return bStatus;
    return bSetBackgroundProcessDelay(wId, 0, bSeconds, bMinutes, bHours, wDays);
}

void Retry(uint16_t wId) { (void)bSetBackgroundProcessDelay(wId, 0, RETRY_SECONDS, 0, 0, 0); }

void SplitSeconds(uint32_t dSeconds, uint32_t* pdDays, uint32_t* pdHours, uint32_t* pdMinutes, uint32_t* pdSeconds) {
    *pdDays = dSeconds / 86400;
    *pdHours = dSeconds / 3600 % 24;
    *pdMinutes = dSeconds / 60 % 60;
    *pdSeconds = dSeconds % 60;
}

bool IsLeapYear(uint32_t dYear) { return (dYear % 4 == 0 && dYear % 100 != 0) || dYear % 400 == 0; }
uint32_t dMinuteOfYear(uint32_t dYear, uint8_t bMonth, uint8_t bDay, uint8_t bHour, uint8_t bMinute) {
    static constexpr uint16_t DAYS_BEFORE[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const uint32_t dMonth = bMonth >= 1 && bMonth <= 12 ? bMonth : 1;
    uint32_t dDays = DAYS_BEFORE[dMonth - 1] + (bDay >= 1 ? bDay - 1u : 0u);
    if (dMonth > 2 && IsLeapYear(dYear)) ++dDays;
    return dDays * MINUTES_PER_DAY + bHour * 60u + bMinute;
}

// The level-1 groups' candidates, each handed (enclosure, slot) of a drive
// the drive table holds.
template <typename Visit>
void ForEachSpare(Visit visit) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    const uint32_t dCount = dClampedSpareCount(psImage);
    for (uint32_t i = 0; i < dCount; ++i) {
        DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByWWN(psImage->asSpare[i].abWwn, &ps, &bIndex) == TRUE) visit(ps->bEnclosureNo, ps->bSlotNo);
    }
}
template <typename Visit>
void ForEachUnused(Visit visit) {
    constexpr uint8_t RANK_NONE = 255;
    const DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    if (psList == nullptr) return;
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    for (uint8_t i = 0; i < psList->bDriveCount && i < DRIVE_INFO_RECORDS; ++i) {
        const DRIVE_INFO& s = psList->asDriveInfo[i];
        if (s.bRankNo != RANK_NONE || fIsWwnInFailedDriveList(s.abWWN, psImage) == TRUE) continue;
        visit(s.bEnclosureNo, s.bSlotNo);
    }
}
template <typename Visit>
void ForEachFailed(Visit visit) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    const uint32_t dCount = dClampedFailedDriveCount(psImage);
    for (uint32_t i = 0; i < dCount; ++i) {
        DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByWWN(psImage->asFailedDrive[i].abWwn, &ps, &bIndex) != TRUE) return;
        visit(ps->bEnclosureNo, ps->bSlotNo);
    }
}

template <typename ForEach>
uint8_t bSpinGroup(ForEach forEach, uint8_t bMode, uint8_t* pfInProgress, void (*pfnDone)(void*)) {
    DRIVE_MASK_SET s;
    ClearDriveSet(&s);
    if (bMode == MODE_SPIN_DOWN) {
        forEach([&](uint8_t e, uint8_t sl) {
            if (bGetDriveAPMState(e, sl) != DRIVE_APM_SPUN_DOWN) AddDriveToSet(&s, e, sl);
        });
        return bRequestDriveSpinDown(&s);
    }
    if (pfInProgress != nullptr) *pfInProgress = TRUE;
    forEach([&](uint8_t e, uint8_t sl) {
        if (bGetDriveAPMState(e, sl) != DRIVE_APM_SPUN_UP) AddDriveToSet(&s, e, sl);
    });
    const uint8_t bStatus = bRequestDriveSpinUp(&s, pfnDone, nullptr);
    if (bStatus != STATUS_OK && pfInProgress != nullptr) *pfInProgress = FALSE;
    return bStatus;
}

// Verifies on the group's drives not yet under test; FALSE on the first
// that could not start.
template <typename ForEach>
bool VerifyGroup(ForEach forEach) {
    bool fStarted = true;
    forEach([&](uint8_t e, uint8_t sl) {
        if (!fStarted || fIsDriveAPMTestRunning(e, sl) == TRUE) return;
        fStarted = bStartDriveFunctionalVerify(e, sl, VERIFY_KIND_LEVEL1) == STATUS_OK;
    });
    return fStarted;
}

void SpinDownDrivesJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*);
void SpinUpDrivesJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*);
void CheckDrivesReadyJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*);
void FunctionalVerifyJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*);
void CheckTestCompleteJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*);
void ArrayAPMControlJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*);

// The partner's idle times of the arrays a pass asks about land in one
// page of buffer memory (what the drive-side controller reaches), eight
// bytes an array, held until the last answer is in.
constexpr uint8_t SUB_IDLE_SECONDS = 35;
constexpr uint8_t IDLE_SECONDS_BYTES = 8;
BUFFER_HANDLE s_dIdlePage = NULL_BUFFER_HANDLE;
uint8_t s_bIdleAnswersOut = 0;

void ReleaseIdlePage() {
    if (s_bIdleAnswersOut != 0 || s_dIdlePage == NULL_BUFFER_HANDLE) return;
    (void)wFreeDataPages(s_dIdlePage, 1);
    s_dIdlePage = NULL_BUFFER_HANDLE;
}

uint8_t* pbIdleSeconds(uint8_t bArray) {
    return static_cast<uint8_t*>(pBufferHandleToPointer(s_dIdlePage)) + bArray * IDLE_SECONDS_BYTES;
}

void AskPartnerIdleTime(uint8_t bArray) {
    if (s_dIdlePage == NULL_BUFFER_HANDLE && bAllocDataPages(0, 1, &s_dIdlePage) != STATUS_OK) {
        s_dIdlePage = NULL_BUFFER_HANDLE;
        return;   // asked again next minute
    }
    const uint8_t abArgs[3] = {bArray, 0, 0};
    if (bSendAPMMessageToPartner(nullptr, pbIdleSeconds(bArray), IDLE_SECONDS_BYTES, MESSAGE_APM_REQUEST,
                                 SUB_IDLE_SECONDS, abArgs) == STATUS_OK) {
        ++s_bIdleAnswersOut;
        return;
    }
    ReleaseIdlePage();
}

// The partner's answer: the array is parked when the shorter of the two
// idle times has reached its threshold and it is still up and idle-parked.
void PartnerIdleTimeAnswered(uint8_t bArray, bool fGood) {
    if (s_bIdleAnswersOut != 0) --s_bIdleAnswersOut;
    if (fGood && bArray < APM_ARRAYS && s_dIdlePage != NULL_BUFFER_HANDLE) {
        const uint64_t lPartner = lGetBe64(pbIdleSeconds(bArray));
        const uint64_t lOwn = lGetSecondsSince(bArray);
        const uint64_t lIdle = lPartner < lOwn ? lPartner : lOwn;
        const uint16_t wOptions = wGetArrayAPMOptions(bArray);
        if (bGetArrayAPMState(bArray) == APM_SPUN_UP &&
            (wOptions & (ARRAY_APM_SPIN_DOWN | ARRAY_APM_SPIN_DOWN_AND_TEST)) != 0 &&
            lIdle >= dGetArrayIdleSeconds(bArray)) {
            (void)bSpinArrayUpDown(FALSE, bArray);
        }
    }
    ReleaseIdlePage();
}

// The management request forwarded to the master, and the message that
// carries it: one at a time, as the management protocol runs one command.
struct FORWARDED_REQUEST {
    void* pRequest;
    uint16_t wSlot;
};
FORWARDED_REQUEST s_sForwarded = {nullptr, 0};
void ArraySpinDownJob(uint16_t wId, uint16_t wArray, uint16_t, BACKGROUND_PROCESS*);
void ArrayTestCheckJob(uint16_t wId, uint16_t wArray, uint16_t, BACKGROUND_PROCESS*);

void SpinDownDrivesJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*) {
    const uint16_t w = s_sApm.sLevel1.wOptions;
    uint8_t bBusy = FALSE;
    if ((w & (APM_L1_SPIN_DOWN_SPARES | APM_L1_TEST_SPARES)) != 0 && bSpinHotSpareDrives(MODE_SPIN_DOWN) == STATUS_RETRY)
        bBusy = TRUE;
    if ((w & (APM_L1_SPIN_DOWN_UNUSED | APM_L1_TEST_UNUSED)) != 0 && bSpinUnusedDrives(MODE_SPIN_DOWN) == STATUS_RETRY)
        bBusy = TRUE;
    if ((w & APM_L1_SPIN_DOWN_FAILED) != 0 && bSpinFailedDrives(MODE_SPIN_DOWN) == STATUS_RETRY) bBusy = TRUE;
    if (bBusy == TRUE) return Retry(wId);
    DeleteBackgroundProcess(wId);
    if ((w & (APM_L1_TEST_SPARES | APM_L1_TEST_UNUSED)) == 0) return;
    const uint32_t dNow = dGetCurrentSeconds();
    const uint32_t dLeft = dComputeNextTestCycleTime() - dNow;
    uint32_t dDays = 0, dHours = 0, dMinutes = 0, dSeconds = 0;
    SplitSeconds(dLeft, &dDays, &dHours, &dMinutes, &dSeconds);
    // Never a zero delay: a cycle due this very minute runs a second on.
    if (dLeft == 0) dSeconds = 1;
    (void)bNewJob(APM_L1_JOB_TYPE, APM_L1_SPIN_UP, SpinUpDrivesJob, 0, static_cast<uint8_t>(dSeconds),
                  static_cast<uint8_t>(dMinutes), static_cast<uint8_t>(dHours), static_cast<uint16_t>(dDays));
}

void SpinUpDrivesJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*) {
    const uint16_t w = s_sApm.sLevel1.wOptions;
    uint8_t bBusy = FALSE;
    if ((w & APM_L1_TEST_SPARES) != 0 && bSpinHotSpareDrives(MODE_SPIN_UP) == STATUS_RETRY) bBusy = TRUE;
    if ((w & APM_L1_TEST_UNUSED) != 0 && bSpinUnusedDrives(MODE_SPIN_UP) == STATUS_RETRY) bBusy = TRUE;
    if (bBusy == TRUE) return Retry(wId);
    DeleteBackgroundProcess(wId);
    (void)bNewJob(APM_L1_JOB_TYPE, APM_L1_CHECK_READY, CheckDrivesReadyJob, 0, 15);
}

void CheckDrivesReadyJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*) {
    if (s_sApm.fSparesSpinningUp == TRUE || s_sApm.fUnusedSpinningUp == TRUE) {
        (void)bSetBackgroundProcessDelay(wId, 0, 30, 0, 0, 0);
        return;
    }
    DeleteBackgroundProcess(wId);
    (void)bNewJob(APM_L1_JOB_TYPE, APM_L1_VERIFY, FunctionalVerifyJob, 0, 5);
}

void FunctionalVerifyJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*) {
    const uint16_t w = s_sApm.sLevel1.wOptions;
    if ((w & APM_L1_TEST_SPARES) != 0 && !VerifyGroup([](auto visit) { ForEachSpare(visit); })) return Retry(wId);
    if ((w & APM_L1_TEST_UNUSED) != 0 && !VerifyGroup([](auto visit) { ForEachUnused(visit); })) return Retry(wId);
    DeleteBackgroundProcess(wId);
    (void)bNewJob(APM_L1_JOB_TYPE, APM_L1_CHECK_TEST, CheckTestCompleteJob, 0, 20);
    PostEvent(EVENT_TEST_STARTED, EVENT_KIND_LEVEL1, bCountDrivesUnderTest());
}

void CheckTestCompleteJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*) {
    DeleteBackgroundProcess(wId);
    if (fIsAPMDriveVerifyRunning() == TRUE) {
        (void)bNewJob(APM_L1_JOB_TYPE, APM_L1_CHECK_TEST, CheckTestCompleteJob, 0, 10);
        return;
    }
    const uint8_t bTested = bCountDrivesUnderTest();
    ClearDriveAPMTestMask();
    (void)bNewJob(APM_L1_JOB_TYPE, APM_L1_SPIN_DOWN, SpinDownDrivesJob, 0, 15);
    PostEvent(EVENT_TEST_FINISHED, EVENT_KIND_LEVEL1, bTested);
}

// With two controllers active an idle array is parked only when it is idle
// on both: the partner is asked for its idle time of the array (sub-op 35)
// and its answer decides (PartnerIdleTimeAnswered).  Answers still out from
// the last pass hold the asking of this one.
void ArrayAPMControlJob(uint16_t wId, uint16_t, uint16_t, BACKGROUND_PROCESS*) {
    DeleteBackgroundProcess(wId);
    // Asks of a partner since lost are not waited for.
    if (fIsDualControllerActive() != TRUE) {
        s_bIdleAnswersOut = 0;
        ReleaseIdlePage();
    }
    const bool fMayAsk = s_bIdleAnswersOut == 0;
    const uint8_t bArrays = ArrayCount();
    for (uint8_t a = 0; a < bArrays && a < APM_ARRAYS; ++a) {
        const uint16_t wOptions = wGetArrayAPMOptions(a);
        const uint8_t bState = bGetArrayAPMState(a);
        bool fIdleTest = false;
        if ((wOptions & ARRAY_APM_SPIN_DOWN) != 0) {
            fIdleTest = bState == APM_SPUN_UP;
        } else if ((wOptions & ARRAY_APM_SPIN_DOWN_AND_TEST) != 0) {
            if (bState == APM_SPUN_DOWN) {
                uint16_t wTestJob = 0;
                if (dGetCurrentSeconds() - s_sApm.adSpunDownAt[a] >= dGetArrayTestSeconds(a) &&
                    fFindBackgroundProcessOfType(APM_ARRAY_TEST_JOB_TYPE, &wTestJob) != TRUE) {
                    (void)bStartArraySpinUp(a);
                }
                continue;
            }
            fIdleTest = bState == APM_SPUN_UP;
        }
        if (!fIdleTest || lGetSecondsSince(a) < dGetArrayIdleSeconds(a)) continue;
        if (fIsDualControllerActive() == TRUE) {
            if (fMayAsk) AskPartnerIdleTime(a);
            continue;
        }
        (void)bSpinArrayUpDown(FALSE, a);
    }
    if (fIsMasterController() == TRUE) {
        (void)bNewJob(APM_CONTROL_JOB_TYPE, APM_CONTROL_JOB_ACTION, ArrayAPMControlJob, 0, 0, 1);
    }
}

void ArraySpinDownJob(uint16_t wId, uint16_t wArray, uint16_t, BACKGROUND_PROCESS*) {
    DeleteBackgroundProcess(wId);
    const uint8_t bArray = static_cast<uint8_t>(wArray);
    if (fCanArraySpinDown(bArray) != TRUE) return;
    DRIVE_MASK_SET s;
    (void)bMemberSet(bArray, &s, true);
    if (bRequestDriveSpinDown(&s) != STATUS_OK) return;
    SetArrayAPMState(bArray, APM_SPUN_DOWN, TRUE, FALSE);
}

void StartArrayFunctionalVerify(void* pArgument) {
    const uint8_t bArray = *static_cast<const uint8_t*>(pArgument);
    uint8_t bLast = STATUS_OK;
    uint8_t bCount = 0;
    ForEachMember(bArray, [&](uint8_t e, uint8_t s) {
        ++bCount;
        if (bLast == STATUS_RETRY || fIsDriveAPMTestRunning(e, s) == TRUE) return;
        bLast = bStartDriveFunctionalVerify(e, s, VERIFY_KIND_ARRAY);
    });
    if (bLast != STATUS_OK) {
        SetArrayAPMState(bArray, APM_SPUN_UP, TRUE, FALSE);
        return;
    }
    SetAPMArrayVerifyRunning(TRUE);
    SetArrayAPMState(bArray, APM_UNDER_TEST, FALSE, FALSE);
    (void)bNewJob(APM_ARRAY_TEST_JOB_TYPE, 5, ArrayTestCheckJob, bArray, 20);
    PostEvent(EVENT_TEST_STARTED, EVENT_KIND_ARRAY, bCount, bArray);
}

void ArrayTestCheckJob(uint16_t wId, uint16_t wArray, uint16_t, BACKGROUND_PROCESS*) {
    DeleteBackgroundProcess(wId);
    const uint8_t bArray = static_cast<uint8_t>(wArray);
    if (fIsAPMArrayVerifyRunning() == TRUE) {
        (void)bNewJob(APM_ARRAY_TEST_JOB_TYPE, 5, ArrayTestCheckJob, bArray, 10);
        return;
    }
    ForEachMember(bArray, [](uint8_t e, uint8_t s) {
        (void)bMarkDriveSpunUp(e, s);
        ClearDriveAPMTestBit(e, s);
    });
    SetArrayAPMState(bArray, APM_SPUN_UP, TRUE, FALSE);
    if ((wGetArrayAPMOptions(bArray) & (ARRAY_APM_SPIN_DOWN | ARRAY_APM_SPIN_DOWN_AND_TEST)) != 0 &&
        bScheduleArraySpinDown(bArray) != STATUS_OK) {
        return;
    }
    PostEvent(EVENT_TEST_FINISHED, EVENT_KIND_ARRAY, 0, bArray);
}

}  // namespace

// ---- settings --------------------------------------------------------------

void LoadSaveAPMConfig(const uint8_t* pbRecord, uint8_t fValid) {
    APM_LEVEL1_SETTINGS& s = s_sApm.sLevel1;
    if (fValid != TRUE || pbRecord == nullptr) {
        s.wOptions = 0;
        return;
    }
    s.wOptions = static_cast<uint16_t>(pbRecord[0] | (pbRecord[1] << 8));
    s.bCycleType = pbRecord[2];
    s.bDayOfMonth = pbRecord[3];
    s.bWeekday = pbRecord[4];
    s.bHour = pbRecord[5];
    s.bMinute = pbRecord[6];
}
uint16_t wGetAPMOptions() { return s_sApm.sLevel1.wOptions; }
uint8_t bGetAPMCycleType() { return s_sApm.sLevel1.bCycleType; }
uint8_t bGetAPMCycleDayOfMonth() { return s_sApm.sLevel1.bDayOfMonth; }
uint8_t bGetAPMCycleWeekday() { return s_sApm.sLevel1.bWeekday; }
uint8_t bGetAPMCycleHour() { return s_sApm.sLevel1.bHour; }
uint8_t bGetAPMCycleMinute() { return s_sApm.sLevel1.bMinute; }
uint8_t fGetAPMOptionBit(uint8_t bBit) { return ToFlag(bBit < 16 && (s_sApm.sLevel1.wOptions >> bBit & 1) != 0); }

void UpdateAPMConfiguredFlag(const CONFIG_IMAGE* psImage) {
    bool fAny = psImage->sHeader.fPowerManagementSet == TRUE &&
                (psImage->abPowerSettings[0] | psImage->abPowerSettings[1]) != 0;
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks && !fAny; ++r) {
        const uint8_t* pb = reinterpret_cast<const uint8_t*>(&psImage->asRank[r]) + ARRAY_APM_RECORD_OFFSET;
        fAny = (pb[0] | pb[1]) != 0;
    }
    s_sApm.fConfigured = ToFlag(fAny);
}
uint8_t fIsAPMConfigured() { return s_sApm.fConfigured; }

uint16_t wGetArrayAPMOptions(uint8_t bArray) {
    if (!IsArray(bArray)) return 0;
    const uint8_t* pb = pbArraySettings(bArray);
    return static_cast<uint16_t>(pb[0] | (pb[1] << 8));
}
uint32_t dGetArrayIdleSeconds(uint8_t bArray) {
    if (!IsArray(bArray)) return 0;
    const uint8_t* pb = pbArraySettings(bArray);
    return pb[4] * 3600u + pb[5] * 60u;
}
uint32_t dGetArrayTestSeconds(uint8_t bArray) {
    if (!IsArray(bArray)) return 0;
    const uint8_t* pb = pbArraySettings(bArray);
    return pb[2] * 86400u + pb[3] * 3600u;
}

// ---- start and stop --------------------------------------------------------

uint8_t bStartAPM() {
    SetAPMHoldFlag(FALSE);
    if (fIsMasterController() != TRUE) return FALSE;
    uint16_t wId = BACKGROUND_PROCESS_NONE;
    if (fFindBackgroundProcessOfType(APM_CONTROL_JOB_TYPE, &wId) != TRUE) {
        for (uint8_t a = 0; a < APM_ARRAYS; ++a) {
            s_sApm.abArrayState[a] = APM_SPUN_UP;
            s_sApm.adSpunDownAt[a] = 0;
        }
        const uint8_t bStatus = bNewJob(APM_CONTROL_JOB_TYPE, APM_CONTROL_JOB_ACTION, ArrayAPMControlJob, 0, 30);
        if (bStatus != STATUS_OK) return bStatus;
    }
    const uint8_t bArrays = ArrayCount();
    for (uint8_t a = 0; a < bArrays && a < APM_ARRAYS; ++a) {
        if ((wGetArrayAPMOptions(a) & ARRAY_APM_MANUAL) != 0) (void)bScheduleArraySpinDown(a);
    }
    if (s_sApm.sLevel1.wOptions == 0) return 0;
    if (fFindBackgroundProcessOfType(APM_L1_JOB_TYPE, &wId) == TRUE) {
        const uint8_t bAction = bGetBackgroundProcessAction(APM_L1_JOB_TYPE);
        if (bAction == APM_L1_SPIN_UP) {
            DeleteBackgroundProcessesOfType(APM_L1_JOB_TYPE);
            const uint8_t bStatus =
                bCreateBackgroundProcess(APM_L1_JOB_TYPE, APM_L1_SPIN_DOWN, SpinDownDrivesJob, &wId, 0, 0);
            if (bStatus != STATUS_OK) return bStatus;
        } else if (bAction != APM_L1_SPIN_DOWN) {
            return bAction;
        }
    } else {
        const uint8_t bStatus = bCreateBackgroundProcess(APM_L1_JOB_TYPE, APM_L1_SPIN_DOWN, SpinDownDrivesJob, &wId, 0, 0);
        if (bStatus != STATUS_OK) return bStatus;
    }
    return bSetBackgroundProcessDelay(wId, 0, 0, fIsDualControllerActive() == TRUE ? 2 : 6, 0, 0);
}

void StopAPM() {
    SetAPMHoldFlag(FALSE);
    SetAPMDriveVerifyRunning(FALSE);
    SetAPMArrayVerifyRunning(FALSE);
    DeleteBackgroundProcessesOfType(APM_L1_JOB_TYPE);
    DeleteBackgroundProcessesOfType(APM_CONTROL_JOB_TYPE);
    DeleteBackgroundProcessesOfType(APM_ARRAY_SPIN_DOWN_JOB_TYPE);
    (void)bSpinHotSpareDrives(MODE_SPIN_UP);
    (void)bSpinUnusedDrives(MODE_SPIN_UP);
    (void)bSpinFailedDrives(MODE_SPIN_UP);
}

// ---- array states ------------------------------------------------------------

void SendArrayAPMStatesToPartner() {
    if (fIsDualControllerActive() != TRUE) return;
    const uint8_t bArrays = ArrayCount();
    for (uint8_t a = 0; a < bArrays && a < APM_ARRAYS; ++a) {
        const uint8_t abArgs[3] = {a, bGetArrayAPMState(a), 0};
        (void)bSendAPMMessageToPartner(nullptr, nullptr, 0, MESSAGE_APM_NOTICE, SUB_ARRAY_STATE, abArgs);
    }
}

uint8_t bGetArrayAPMState(uint8_t bArray) {
    if (bArray >= APM_ARRAYS || s_sApm.abArrayState[bArray] == 0) return APM_SPUN_UP;
    return s_sApm.abArrayState[bArray];
}

void SetArrayAPMState(uint8_t bArray, uint8_t bState, uint8_t fNotify, uint8_t fMarkDrives) {
    if (bArray >= APM_ARRAYS) return;
    s_sApm.abArrayState[bArray] = bState;
    s_sApm.adSpunDownAt[bArray] = bState == APM_SPUN_DOWN ? dGetCurrentSeconds() : 0;
    if (fNotify == TRUE && fIsDualControllerActive() == TRUE) {
        const uint8_t abArgs[3] = {bArray, bState, 0};
        (void)bSendAPMMessageToPartner(nullptr, nullptr, 0, MESSAGE_APM_NOTICE, SUB_ARRAY_STATE, abArgs);
    }
    if (fMarkDrives != TRUE) return;
    // A state the partner sent is the partner's own news: its members are
    // marked here without telling the partner back.  Told back, a member
    // the partner is about to stop reads as stopped there, and the partner
    // never sends its STOP.
    const bool fOwn = fNotify == TRUE;
    ForEachMember(bArray, [bState, fOwn](uint8_t e, uint8_t s) {
        switch (bState) {
        case APM_SPUN_DOWN: fOwn ? MarkDriveSpunDown(e, s) : SetDriveSpunDownBit(e, s); break;
        case APM_SPINNING_UP: MarkDriveSpinningUp(e, s); break;
        case APM_UNDER_TEST: SetDriveAPMTestBit(e, s); break;
        default: fOwn ? (void)bMarkDriveSpunUp(e, s) : ClearDriveSpinBits(e, s); break;
        }
    });
}

uint8_t fCanArraySpinDown(uint8_t bArray) {
    if (!IsArray(bArray)) return FALSE;
    if (dGetRankHostCommandsOutstanding(bArray) != 0) return FALSE;
    const uint64_t lLast = lGetRankLastAccessTime(bArray);
    if (lLast != 0 && lGetTickCount() - lLast <= RECENT_ACCESS_MS) return FALSE;
    // Writes answered GOOD and still in the cache go to the drives first.
    if (dGetRankWritesInProgress(bArray) != 0) return FALSE;
    if (bGetRebuildRank() == bArray && fGetRebuildWork() == TRUE) return FALSE;
    const uint8_t bInit = pGetConfigImage()->asRank[bArray].bInitState;
    if (bInit == INIT_STATE_RUNNING) return FALSE;
    if (fIsParityCheckInProgress() == TRUE && bGetParityCheckRank() == bArray) return FALSE;
    return TRUE;
}

uint8_t bSpinArrayUpDown(uint8_t fSpinUp, uint8_t bArray) {
    if (!IsArray(bArray)) return 0;
    if (fSpinUp != TRUE && fCanArraySpinDown(bArray) != TRUE) return 0;
    if (fIsMasterController() != TRUE) {
        const uint8_t abArgs[3] = {1, bArray, 1};
        if (bSendAPMMessageToPartner(nullptr, nullptr, 0, MESSAGE_APM_REQUEST, SUB_ARRAY_SPIN, abArgs) == STATUS_OK) {
            SetArrayAPMState(bArray, APM_SPINNING_UP, FALSE, FALSE);
            return STATUS_OK;
        }
    }
    DRIVE_MASK_SET s;
    const uint8_t bMembers = bMemberSet(bArray, &s, false);
    if (fSpinUp == TRUE) {
        s_sApm.abArrayArgument[bArray] = bArray;
        if (bRequestDriveSpinUp(&s, ArraySpunUp, &s_sApm.abArrayArgument[bArray]) == STATUS_RETRY) return 0;
        SetArrayAPMState(bArray, APM_SPINNING_UP, TRUE, FALSE);
        PostEvent(EVENT_ARRAY_SPIN, 2, bMembers, bArray);
        return STATUS_OK;
    }
    if (bRequestDriveSpinDown(&s) == STATUS_RETRY) return 0;
    SetArrayAPMState(bArray, APM_SPUN_DOWN, TRUE, FALSE);
    PostEvent(EVENT_ARRAY_SPIN, 1, bMembers, bArray);
    return STATUS_OK;
}

uint8_t bScheduleArraySpinDown(uint8_t bArray) {
    if (fIsMasterController() != TRUE || !IsArray(bArray)) return 0;
    uint16_t wId = BACKGROUND_PROCESS_NONE;
    if (fFindBackgroundProcessByArg(bArray, &wId) != TRUE &&
        bCreateBackgroundProcess(APM_ARRAY_SPIN_DOWN_JOB_TYPE, 1, ArraySpinDownJob, &wId, bArray, 0) != STATUS_OK) {
        return 0;
    }
    return bSetBackgroundProcessDelay(wId, 0, 0, fIsDualControllerActive() == TRUE ? 2 : 6, 0, 0);
}

uint8_t bStartArraySpinUp(uint8_t bArray) {
    if (fIsMasterController() != TRUE || !IsArray(bArray)) return 0;
    s_sApm.abArrayArgument[bArray] = bArray;
    if (bGetArrayAPMState(bArray) == APM_SPUN_UP) {
        StartArrayFunctionalVerify(&s_sApm.abArrayArgument[bArray]);
        return STATUS_OK;
    }
    DRIVE_MASK_SET s;
    (void)bMemberSet(bArray, &s, false);
    if (bRequestDriveSpinUp(&s, StartArrayFunctionalVerify, &s_sApm.abArrayArgument[bArray]) != STATUS_OK) return 0;
    SetArrayAPMState(bArray, APM_SPINNING_UP, TRUE, FALSE);
    return STATUS_OK;
}

void UpdateArrayAPMStatesOnEvent(uint8_t bKind) {
    // (current state, kind) pairs that take the kind as the new state.
    static constexpr uint8_t TAKES[5][5] = {
        {},
        {0, 1, 0, 1, 0},
        {0, 1, 1, 0, 1},
        {0, 0, 1, 1, 0},
        {0, 0, 1, 0, 1},
    };
    if (bKind < 1 || bKind > 4) return;
    for (uint8_t a = 0; a < APM_ARRAYS; ++a) {
        if (TAKES[bGetArrayAPMState(a)][bKind] != 0) SetArrayAPMState(a, bKind, TRUE, FALSE);
    }
}

uint64_t lGetSecondsSince(uint8_t bArray) { return (lGetTickCount() - lGetRankLastAccessTime(bArray)) / 1000; }

void GetArrayTimeToNextAPMTest(uint32_t* pdDays, uint32_t* pdHours, uint32_t* pdMinutes, uint32_t* pdSeconds,
                               uint8_t bArray) {
    uint32_t dLeft = 0;
    if (bGetArrayAPMState(bArray) == APM_SPUN_DOWN && bArray < APM_ARRAYS) {
        const uint32_t dDue = s_sApm.adSpunDownAt[bArray] + dGetArrayTestSeconds(bArray);
        const uint32_t dNow = dGetCurrentSeconds();
        dLeft = dDue > dNow ? dDue - dNow : 0;
    }
    SplitSeconds(dLeft, pdDays, pdHours, pdMinutes, pdSeconds);
}

void GetTimeToNextTestCycle(uint32_t* pdDays, uint32_t* pdHours, uint32_t* pdMinutes, uint32_t* pdSeconds) {
    const uint32_t dNow = dGetCurrentSeconds();
    SplitSeconds(s_sApm.dNextTestCycle > dNow ? s_sApm.dNextTestCycle - dNow : 0, pdDays, pdHours, pdMinutes,
                 pdSeconds);
}

// ---- the level-1 cycle -----------------------------------------------------

uint32_t dMinutesToNextTestCycle(const DATE_TIME& sNow, const APM_LEVEL1_SETTINGS& s) {
    const uint32_t dNowOfDay = sNow.bHour * 60u + sNow.bMinute;
    const uint32_t dSetOfDay = s.bHour * 60u + s.bMinute;
    switch (s.bCycleType) {
    case APM_CYCLE_DAILY:
        return dNowOfDay <= dSetOfDay ? dSetOfDay - dNowOfDay : dSetOfDay + MINUTES_PER_DAY - dNowOfDay;
    case APM_CYCLE_WEEKLY: {
        const uint32_t dNow = (sNow.bWeekday - 1u) * MINUTES_PER_DAY + dNowOfDay;
        const uint32_t dSet = (s.bWeekday - 1u) * MINUTES_PER_DAY + dSetOfDay;
        return dNow <= dSet ? dSet - dNow : dSet + MINUTES_PER_WEEK - dNow;
    }
    case APM_CYCLE_MONTHLY: {
        uint32_t dYear = sNow.wYear;
        uint8_t bMonth = sNow.bMonth;
        const uint32_t dNow = dMinuteOfYear(dYear, bMonth, sNow.bDay, sNow.bHour, sNow.bMinute);
        if (sNow.bDay > s.bDayOfMonth || (sNow.bDay == s.bDayOfMonth && dNowOfDay >= dSetOfDay)) {
            if (++bMonth > 12) {
                bMonth = 1;
                ++dYear;
            }
        }
        uint32_t dTarget = dMinuteOfYear(dYear, bMonth, s.bDayOfMonth, s.bHour, s.bMinute);
        // Into next year: this year's own length, a leap day included.
        if (dYear != sNow.wYear) dTarget += (IsLeapYear(sNow.wYear) ? 366u : 365u) * MINUTES_PER_DAY;
        return dTarget - dNow;
    }
    default: return 0;
    }
}

uint32_t dComputeNextTestCycleTime() {
    DATE_TIME sNow{};
    (void)GetDateTime(&sNow);
    const uint32_t dNext = dGetCurrentSeconds() + dMinutesToNextTestCycle(sNow, s_sApm.sLevel1) * 60u;
    if (s_sApm.sLevel1.bCycleType != APM_CYCLE_NONE) s_sApm.dNextTestCycle = dNext;
    return dNext;
}

uint8_t bSpinHotSpareDrives(uint8_t bMode) {
    return bSpinGroup([](auto visit) { ForEachSpare(visit); }, bMode, &s_sApm.fSparesSpinningUp, SparesSpunUp);
}
uint8_t bSpinUnusedDrives(uint8_t bMode) {
    return bSpinGroup([](auto visit) { ForEachUnused(visit); }, bMode, &s_sApm.fUnusedSpinningUp, UnusedSpunUp);
}
uint8_t bSpinFailedDrives(uint8_t bMode) {
    return bSpinGroup([](auto visit) { ForEachFailed(visit); }, bMode, nullptr, nullptr);
}

// ---- the console's status ---------------------------------------------------

uint8_t bGetAPMGroupDrives(uint8_t bGroup, uint8_t (*paabWwn)[8], uint8_t bMax) {
    uint8_t bCount = 0;
    auto take = [&](const uint8_t* pbWwn) {
        if (bCount < bMax) std::memcpy(paabWwn[bCount++], pbWwn, 8);
    };
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (bGroup == APM_GROUP_SPARES) {
        const uint32_t dCount = dClampedSpareCount(psImage);
        for (uint32_t i = 0; i < dCount; ++i) take(psImage->asSpare[i].abWwn);
    } else if (bGroup == APM_GROUP_FAILED) {
        const uint32_t dCount = dClampedFailedDriveCount(psImage);
        for (uint32_t i = 0; i < dCount; ++i) take(psImage->asFailedDrive[i].abWwn);
    } else if (bGroup == APM_GROUP_UNUSED) {
        ForEachUnused([&](uint8_t e, uint8_t sl) {
            DRIVE_INFO* ps = nullptr;
            if (fFindDriveByEnclosureSlot(e, sl, &ps) == TRUE) take(ps->abWWN);
        });
    }
    return bCount;
}

APM_LEVEL1_SETTINGS sReadAPMLevel1Record(const uint8_t* pb) {
    return APM_LEVEL1_SETTINGS{static_cast<uint16_t>(pb[0] | (pb[1] << 8)), pb[2], pb[3], pb[4], pb[5], pb[6]};
}

namespace {

void PrintClock(const char* pszFormatAm, const char* pszFormatPm, uint8_t bHour, uint8_t bMinute) {
    // The hours up to 12 are morning ones, as the console has always shown them.
    if (bHour <= 12) {
        ConsolePrintf(pszFormatAm, bHour, bMinute);
    } else {
        ConsolePrintf(pszFormatPm, bHour - 12, bMinute);
    }
}

const char* pszDaySuffix(uint8_t bDay) {
    switch (bDay) {
    case 1: case 21: return "%dst ";
    case 2: case 22: return "%dnd ";
    case 3: case 23: return "%drd ";
    default: return "%dth ";
    }
}

// One member row of a drive list in power management mode, or the line of
// a drive the table no longer holds.
void ShowMemberRow(uint32_t dRow, const uint8_t* pbWwn) {
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    if (fFindDriveByWWN(pbWwn, &ps, &bIndex) != TRUE) {
        ConsolePrintf(" Failed obtaining data for drive %02d\n", dRow);
        return;
    }
    ConsolePrintf("%02d  ", dRow);
    (void)ShowDriveListEntry(pbWwn, TRUE);
    ConsolePrintf("\n");
}

void ShowArrayAPMSettingsDump(uint8_t bArray) {
    const uint16_t wOptions = wGetArrayAPMOptions(bArray);
    const uint8_t* pb = pbArraySettings(bArray);
    ConsolePrintf("\nArray %d APM Level 2 Configuration\n", bArray);
    ConsolePrintf("    Option Flags: \n");
    if ((wOptions & ARRAY_APM_SPIN_DOWN_AND_TEST) != 0) ConsolePrintf("                   Spin down and test cycle the array\n");
    if ((wOptions & ARRAY_APM_SPIN_DOWN) != 0) ConsolePrintf("                   Spin down the array\n");
    if (wOptions == 0) {
        ConsolePrintf("       Feature Not In Use\n");
        return;
    }
    if ((wOptions & (ARRAY_APM_SPIN_DOWN | ARRAY_APM_SPIN_DOWN_AND_TEST)) == 0) {
        ConsolePrintf("                   Manual APM array\n");
        return;
    }
    ConsolePrintf("\n    Idle Period To Array Spin Down: ");
    ConsolePrintf("Hours: %d ", pb[4]);
    ConsolePrintf("Minutes: %d\n", pb[5]);
    ConsolePrintf("\n    Spun Down Period To Start APM Test: ");
    if ((wOptions & ARRAY_APM_SPIN_DOWN_AND_TEST) == 0) {
        ConsolePrintf(" No spin up cycle time selected\n");
        return;
    }
    ConsolePrintf("Days: %d ", pb[2]);
    ConsolePrintf("Hours: %d\n", pb[3]);
    ConsolePrintf("\n    Time to next functional verification: ");
    if (bGetArrayAPMState(bArray) != APM_SPUN_DOWN) {
        ConsolePrintf("APM test will be scheduled once drives are spun down\n");
        return;
    }
    uint32_t d = 0, h = 0, m = 0, sec = 0;
    GetArrayTimeToNextAPMTest(&d, &h, &m, &sec, bArray);
    ConsolePrintf("Days: %d   Hours: %d   Minutes: %d Seconds %d\n", d, h, m, sec);
}

}  // namespace

void ShowAPMLevel1Settings(const APM_LEVEL1_SETTINGS& s, uint8_t fDump) {
    static constexpr struct {
        uint16_t wBit;
        const char* pszText;
    } OPTIONS[] = {
        {APM_L1_TEST_SPARES, "Spin down and test cycle hot spare drives"},
        {APM_L1_TEST_UNUSED, "Spin down and test cycle unused drives"},
        {APM_L1_SPIN_DOWN_UNUSED, "Spin down unused drives"},
        {APM_L1_SPIN_DOWN_FAILED, "Spin down failed drives"},
        {APM_L1_SPIN_DOWN_SPARES, "Spin down hot spare drives"},
    };
    for (const auto& o : OPTIONS) {
        if ((s.wOptions & o.wBit) != 0) ConsolePrintf("                   %s\n", o.pszText);
    }
    if (s.wOptions == 0) {
        ConsolePrintf("       Feature Not In Use\n");
        return;
    }
    ConsolePrintf("\n    Spin Up/Test/Spin Down Cycle Time: ");
    switch (s.bCycleType) {
    case APM_CYCLE_NONE: ConsolePrintf("Not In Use\n"); return;
    case APM_CYCLE_DAILY:
        ConsolePrintf(" Once a day at");
        PrintClock(" %02d:%02d am\n", " %02d:%02d pm\n", s.bHour, s.bMinute);
        break;
    case APM_CYCLE_WEEKLY: {
        static constexpr const char* WEEKDAYS[] = {"Sunday", "Monday", "Tuesday", "Wednesday",
                                                   "Thursday", "Friday", "Saturday"};
        ConsolePrintf(" Once a week, \n                                   ");
        if (s.bWeekday >= 1 && s.bWeekday <= 7) ConsolePrintf("on a %s \n ", WEEKDAYS[s.bWeekday - 1]);
        PrintClock("                                  %02d:%02d am\n", "                                  %02d:%02d pm\n",
                   s.bHour, s.bMinute);
        break;
    }
    case APM_CYCLE_MONTHLY:
        ConsolePrintf(" Once a month, on the ");
        ConsolePrintf(pszDaySuffix(s.bDayOfMonth), s.bDayOfMonth);
        PrintClock("at %02d:%02d am\n", "at %02d:%02d pm\n", s.bHour, s.bMinute);
        break;
    default: ConsolePrintf(" No spin up cycle time selected\n"); return;
    }
    uint32_t d = 0, h = 0, m = 0, sec = 0;
    if (fDump == TRUE) {
        (void)dComputeNextTestCycleTime();
        GetTimeToNextTestCycle(&d, &h, &m, &sec);
        ConsolePrintf("\n    Time to next functional verification: ");
    } else {
        DATE_TIME sNow{};
        (void)GetDateTime(&sNow);
        SplitSeconds(dMinutesToNextTestCycle(sNow, s) * 60u, &d, &h, &m, &sec);
        ConsolePrintf("\nTime to next functional verification: ");
    }
    ConsolePrintf(s.bCycleType == APM_CYCLE_DAILY && fDump == TRUE ? "Days: %d  Hours: %d  Minutes: %d \n"
                                                                  : "Days: %d   Hours: %d   Minutes: %d \n",
                  d, h, m);
}

void ShowDriveAPMStatus() {
    static uint8_t s_aabWwn[DRIVE_INFO_RECORDS][8];
    static constexpr struct {
        uint8_t bGroup;
        const char* pszTitle;
        const char* pszNone;
    } GROUPS[] = {
        {APM_GROUP_SPARES, "Hot Spare Drive APM Status: ", "No Hot Spare Disk Drives Present"},
        {APM_GROUP_UNUSED, "\n\nUnused Disk Drive APM Status: ", "\n\nNo Unused Disk Drives Present"},
        {APM_GROUP_FAILED, "\n\nFailed Disk Drive APM Status: ", "\n\n No Failed Drives Present"},
    };
    for (const auto& g : GROUPS) {
        const uint8_t bCount = bGetAPMGroupDrives(g.bGroup, s_aabWwn, DRIVE_INFO_RECORDS);
        if (bCount == 0) {
            ConsolePrintText(g.pszNone);
            continue;
        }
        ConsolePrintText(g.pszTitle);
        ShowDriveListHeader(TRUE);
        for (uint8_t i = 0; i < bCount; ++i) {
            if (g.bGroup != APM_GROUP_UNUSED) {
                ShowMemberRow(i, s_aabWwn[i]);
                continue;
            }
            ConsolePrintf("%03d ", i);
            if (ShowDriveListEntry(s_aabWwn[i], TRUE) != STATUS_OK) {
                ConsolePrintf("\n\nError displaying drive information for unused drive %d\n", i);
                continue;
            }
            ConsolePrintf("\n");
        }
    }
    ConsolePrintf("\n");
}

void ShowArrayAPMStatus() {
    const uint8_t bArrays = ArrayCount();
    for (uint8_t a = 0; a < bArrays && a < APM_ARRAYS; ++a) {
        ConsolePrintf("Array %d Drive APM Status: \n\n", a);
        const CONFIG_RANK_RECORD& sRank = pGetConfigImage()->asRank[a];
        const uint32_t dMembers = dClampedDriveCount(&sRank);
        ShowDriveListHeader(TRUE);
        for (uint32_t m = 0; m < dMembers; ++m) ShowMemberRow(m, sRank.aabMemberWwn[m]);
        ConsolePrintf("\n");
    }
}

void ShowAPMStatusInformation() {
    ConsolePrintf("\n\n------------------ APM Status Information ------------------\n");
    ConsolePrintf("\n\n---------------- APM Level 1 Configuration -----------------\n");
    ConsolePrintf("\n    Option Flags: \n");
    ShowAPMLevel1Settings(s_sApm.sLevel1, TRUE);
    ConsolePrintf("\n\n---------------- APM Level 2 Configuration -----------------\n");
    const uint8_t bArrays = ArrayCount();
    for (uint8_t a = 0; a < bArrays && a < APM_ARRAYS; ++a) ShowArrayAPMSettingsDump(a);
    ConsolePrintf("\n\n------------------ APM Level 1 Diagnostic ------------------\n");
    ShowDriveAPMStatus();
    ConsolePrintf("\n\n------------------ APM Level 2 Diagnostic ------------------\n");
    ShowArrayAPMStatus();
}

// ---- the partner's requests -------------------------------------------------

namespace {

constexpr uint8_t STATUS_BLOCK_BYTES = 16;
constexpr uint8_t GROUP_COUNT_BYTES = 8;
constexpr uint8_t SECONDS_BYTES = 8;
constexpr uint8_t SELECTOR_ARRAY = 1;

bool IsPosition(uint8_t e, uint8_t sl) { return e >= 1 && e <= APM_ENCLOSURES && sl >= 1 && sl <= APM_SLOTS; }

// The answer's bytes, cut to what the requester has room for.
uint32_t dCut(uint32_t dBytes, const uint8_t* pbCdb, uint32_t dReplyMax) {
    const uint32_t dAllocation = dGetBe32(pbCdb + 6);
    const uint32_t d = dBytes < dAllocation ? dBytes : dAllocation;
    return d < dReplyMax ? d : dReplyMax;
}

}  // namespace

uint8_t bServeAPMPartnerRequest(const uint8_t* pbCdb, uint8_t* pbReply, uint32_t dReplyMax, uint32_t* pdReplyLength,
                                APM_REQUEST_SENSE* psSense) {
    *pdReplyLength = 0;
    *psSense = {SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB};
    const uint8_t b0 = pbCdb[12], b1 = pbCdb[13], b2 = pbCdb[14];
    // The operation's own status: busy means not now.
    auto done = [&](uint8_t bStatus) -> uint8_t {
        if (bStatus == STATUS_OK) return STATUS_OK;
        *psSense = {SENSE_NOT_READY, ASC_NOT_READY};
        return 0;
    };
    uint8_t abAnswer[STATUS_BLOCK_BYTES] = {};
    auto answer = [&](const uint8_t* pb, uint32_t dBytes) -> uint8_t {
        *pdReplyLength = dCut(dBytes, pbCdb, dReplyMax);
        std::memcpy(pbReply, pb, *pdReplyLength);
        return STATUS_OK;
    };
    switch (pbCdb[3]) {
    case 1: {
        abAnswer[1] = STATUS_BLOCK_BYTES;
        uint32_t d = 0, h = 0, m = 0, sec = 0;
        if (b0 == SELECTOR_ARRAY) {
            if (b1 >= APM_ARRAYS) return 0;
            abAnswer[5] = bGetArrayAPMState(b1);
            if (abAnswer[5] == APM_SPUN_DOWN) {
                GetArrayTimeToNextAPMTest(&d, &h, &m, &sec, b1);
            } else {
                const uint64_t lIdle = lGetSecondsSince(b1);
                const uint64_t lHours = lIdle / 3600;
                abAnswer[3] = static_cast<uint8_t>(lHours > 255 ? 255 : lHours);
                abAnswer[4] = static_cast<uint8_t>(lIdle / 60 % 60);
            }
        } else {
            (void)dComputeNextTestCycleTime();
            GetTimeToNextTestCycle(&d, &h, &m, &sec);
        }
        if (b0 != SELECTOR_ARRAY || abAnswer[5] == APM_SPUN_DOWN) {
            abAnswer[6] = static_cast<uint8_t>(d > 255 ? 255 : d);
            abAnswer[7] = static_cast<uint8_t>(h);
            abAnswer[8] = static_cast<uint8_t>(m);
            abAnswer[9] = static_cast<uint8_t>(sec);
        }
        return answer(abAnswer, STATUS_BLOCK_BYTES);
    }
    case 2: {
        const uint8_t bStatus = bStartAPM();
        // Level 1 off, or a level-1 job in its cycle, is no failure.
        return bStatus == 16 ? done(bStatus) : STATUS_OK;
    }
    case 3: StopAPM(); return STATUS_OK;
    case 4:
    case 17:
        if (!IsPosition(b0, b1)) return 0;
        return done(bSpinDriveUpDown(b0, b1, b2 != 0 ? TRUE : FALSE));
    case 5: {
        if (b0 < APM_GROUP_UNUSED || b0 > APM_GROUP_FAILED) return 0;
        uint8_t abCounts[GROUP_COUNT_BYTES] = {b0};
        auto count = [&](uint8_t e, uint8_t sl) {
            switch (bGetDriveAPMState(e, sl)) {
            case DRIVE_APM_SPINNING_UP: ++abCounts[1]; break;
            case DRIVE_APM_SPUN_UP: ++abCounts[2]; break;
            case DRIVE_APM_SPUN_DOWN: ++abCounts[3]; break;
            default: break;
            }
        };
        if (b0 == APM_GROUP_UNUSED) ForEachUnused(count);
        if (b0 == APM_GROUP_SPARES) ForEachSpare(count);
        if (b0 == APM_GROUP_FAILED) ForEachFailed(count);
        return answer(abCounts, GROUP_COUNT_BYTES);
    }
    case 6:
    case 18:
        if (!IsPosition(b0, b1)) return 0;
        return done(bStartDriveFunctionalVerify(b0, b1, VERIFY_KIND_LEVEL1));
    case 7:
    case 20:
        if (!IsPosition(b0, b1)) return 0;
        if (fIsDriveAPMTestRunning(b0, b1) != TRUE) return STATUS_OK;
        return done(bStartDriveSelfTest(b0, b1, 128, FALSE, nullptr));
    case 8: {
        static uint8_t s_abList[APM_DRIVE_LIST_BYTES];
        std::memset(s_abList, 0, sizeof s_abList);
        const DRIVE_INFO_LIST* psList = pGetDriveInfoList();
        uint8_t bCount = 0;
        constexpr uint32_t RECORDS = (APM_DRIVE_LIST_BYTES - 8) / 16;
        for (uint8_t i = 0; psList != nullptr && i < psList->bDriveCount && i < DRIVE_INFO_RECORDS && i < RECORDS; ++i) {
            const DRIVE_INFO& sDrive = psList->asDriveInfo[i];
            uint8_t* pb = s_abList + 8 + 16u * bCount++;
            pb[0] = sDrive.bEnclosureNo;
            pb[1] = sDrive.bSlotNo;
            pb[2] = sDrive.bDriveStatus;
            const uint8_t bState = bGetDriveAPMState(sDrive.bEnclosureNo, sDrive.bSlotNo);
            pb[3] = bState == DRIVE_APM_SPUN_UP && fIsDriveAPMTestRunning(sDrive.bEnclosureNo, sDrive.bSlotNo) == TRUE
                        ? APM_UNDER_TEST
                        : bState;
            std::memcpy(pb + 4, sDrive.abWWN, 8);
        }
        const uint32_t dBytes = bCount * 16u;
        s_abList[0] = static_cast<uint8_t>(dBytes);
        s_abList[1] = static_cast<uint8_t>(dBytes >> 8);
        s_abList[2] = static_cast<uint8_t>(dBytes >> 16);
        s_abList[3] = static_cast<uint8_t>(dBytes >> 24);
        s_abList[4] = bCount;
        return answer(s_abList, APM_DRIVE_LIST_BYTES);
    }
    case 16:
    case 21: {
        static uint8_t s_abTables[APM_MASK_TABLES_BYTES];
        GetDriveAPMMaskTables(s_abTables);
        return answer(s_abTables, APM_MASK_TABLES_BYTES);
    }
    case 19:
    case 32:
        if (!IsArray(b1)) return 0;
        return b0 != 0 ? done(bSpinArrayUpDown(TRUE, b1)) : done(bScheduleArraySpinDown(b1));
    case 22:
    case 33:
        if (!IsArray(b0)) return 0;
        return done(bStartArraySpinUp(b0));
    case 34:
        if (b0 >= APM_ARRAYS || b1 < APM_SPUN_DOWN || b1 > APM_UNDER_TEST) return 0;
        SetArrayAPMState(b0, b1, FALSE, TRUE);
        return STATUS_OK;
    case 35: {
        if (b0 >= APM_ARRAYS) return 0;
        uint8_t abSeconds[SECONDS_BYTES];
        PutBe64(abSeconds, lGetSecondsSince(b0));
        return answer(abSeconds, SECONDS_BYTES);
    }
    case 36:
        if (!IsPosition(b0, b1) || b2 > 1) return 0;
        if (b2 == 0) {
            SetDriveSpunDownBit(b0, b1);
        } else {
            ClearDriveSpinBits(b0, b1);
        }
        return STATUS_OK;
    default: return 0;
    }
}

uint8_t bSendAPMMessageToPartner(void* pRequest, uint8_t* pbBuffer, uint32_t dLength, uint8_t bMessageCode,
                                 uint8_t bSubOperation, const uint8_t* pbArguments) {
    constexpr uint8_t APM_MESSAGE_KIND = 0x20;
    // A management request takes the partner's status only: nothing builds
    // a page from the partner's data for it.  One is out at a time; one the
    // management protocol no longer waits for is not.
    if (s_sForwarded.pRequest != nullptr && s_sForwarded.pRequest != psGetCurrentManagementCommand()) {
        s_sForwarded = {nullptr, 0};
    }
    if (pRequest != nullptr && (dLength != 0 || s_sForwarded.pRequest != nullptr)) return 0;
    if (dLength != 0 && pbBuffer == nullptr) return 0;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(bMessageCode);
    s.abCdb[2] = APM_MESSAGE_KIND;
    s.abCdb[3] = bSubOperation;
    PutBe32(s.abCdb + 6, dLength);
    if (pbArguments != nullptr) std::memcpy(s.abCdb + 12, pbArguments, 3);
    if (dLength != 0) {
        // The answer lands in the caller's buffer (buffer memory, which the
        // drive-side controller reaches); the continuation takes it.
        SetPartnerMessageDataIn(&s, dPciAddressOf(pbBuffer), dLength);
    }
    uint16_t wSlot = 0;
    if (bSendMessageToPartner(&s, &wSlot, 0) != STATUS_OK) return 0;
    if (pRequest != nullptr) s_sForwarded = {pRequest, wSlot};
    return STATUS_OK;
}

namespace {

// The master's three mask tables land in a page of buffer memory (what
// the drive-side controller reaches), held from the request to its answer.
BUFFER_HANDLE s_dMasksPage = NULL_BUFFER_HANDLE;

}  // namespace

uint8_t bRequestMasterAPMMasks(uint8_t bSubOperation) {
    if (s_dMasksPage != NULL_BUFFER_HANDLE) return 0;   // the last request is still out
    if (bAllocDataPages(0, 1, &s_dMasksPage) != STATUS_OK) {
        s_dMasksPage = NULL_BUFFER_HANDLE;
        return 0;
    }
    const uint8_t abArgs[3] = {0, 0, 0};
    if (bSendAPMMessageToPartner(nullptr, static_cast<uint8_t*>(pBufferHandleToPointer(s_dMasksPage)),
                                 APM_MASK_TABLES_BYTES, MESSAGE_APM_REQUEST, bSubOperation, abArgs) != STATUS_OK) {
        (void)wFreeDataPages(s_dMasksPage, 1);
        s_dMasksPage = NULL_BUFFER_HANDLE;
        return 0;
    }
    return STATUS_OK;
}

void APMPartnerRequestAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    constexpr uint8_t APM_MESSAGE_KIND = 0x20;
    if (pbCdb[2] != APM_MESSAGE_KIND) return;
    const bool fGood = psSlot->fFailed != TRUE && psSlot->fSenseValid != TRUE;
    if (s_sForwarded.pRequest != nullptr && psSlot->wSlot == s_sForwarded.wSlot) {
        // The master's status is the management command's: refused as
        // invalid there, invalid here; any other failure, not ready.
        void* pRequest = s_sForwarded.pRequest;
        s_sForwarded = {nullptr, 0};
        if (pRequest == psGetCurrentManagementCommand()) {
            const bool fInvalid = psSlot->fSenseValid == TRUE && psSlot->bSenseKey == SENSE_ILLEGAL_REQUEST;
            FinishManagementCommand(fGood ? MGMT_GOOD : fInvalid ? MGMT_INVALID_CDB : MGMT_NOT_READY);
        }
        return;
    }
    if (pbCdb[3] == SUB_IDLE_SECONDS) {
        PartnerIdleTimeAnswered(pbCdb[12], fGood);
        return;
    }
    if (pbCdb[3] != APM_SUB_DRIVE_MASKS && pbCdb[3] != APM_SUB_ARRAY_MASKS) return;
    if (s_dMasksPage == NULL_BUFFER_HANDLE) return;
    // The master's marks are this controller's view of the drives from now.
    if (fGood) StoreDriveAPMMaskTables(static_cast<const uint8_t*>(pBufferHandleToPointer(s_dMasksPage)));
    (void)wFreeDataPages(s_dMasksPage, 1);
    s_dMasksPage = NULL_BUFFER_HANDLE;
    OnMasterAPMMasks(pbCdb[3], fGood ? STATUS_OK : 0);
}

}  // namespace fw
