#include "fc/drive_loop_watch.h"

#include <cstring>

#include "config/config_db.h"
#include "config/config_phase.h"
#include "config/drive_loop_tables.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "fc/drive_loop_isr.h"
#include "fc/loop_maps.h"
#include "fc/ql_mailbox_commands.h"
#include "fc/ql_chip.h"
#include "fc/ql_rings.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint32_t REPORT_REFRESH_TICKS = 180;
constexpr uint32_t FAILED_KEEP_TICKS = 600;
constexpr uint8_t EVENT_LOOP_DEVICE_LOST = 40;
constexpr uint8_t ATTENTION_BYTES = 16;
constexpr uint16_t PROBE_CONTROL_NO_DATA = 8;
constexpr uint16_t PROBE_TIMEOUT_S = 4;
// A probe the ring does not take at once is offered again this often, then
// the drive goes unprobed: a stopped chip must not hold bring-up forever.
constexpr uint32_t PROBE_POST_ATTEMPTS = 1000;

struct DRIVE_LOOP_DEVICE_TABLE {
    uint8_t bCount;
    DRIVE_LOOP_DEVICE asEntry[DRIVE_LOOP_DEVICE_ENTRIES];
};

DRIVE_LOOP_DEVICE_TABLE s_sTable;
uint8_t s_aabAttention[2][ATTENTION_BYTES];
uint32_t s_dDrops = 0;
volatile uint16_t s_wProbeCompletions = 0;
uint8_t s_abProbeStatus[5];
// No drive-loop bring-up has to run first on a board without drive loops:
// the drive side counts as ready from the start until something says
// otherwise.
uint8_t s_fDriveLoopsReady = TRUE;
uint8_t s_fDrivesStarting = FALSE;
uint8_t s_fDriveLoopsHold = FALSE;

bool IsDrivePort(uint8_t bPort) { return bPort == 3 || bPort == 4; }

// Lock 2, unless the caller already runs in its handler.
class DriveSideLock {
public:
    DriveSideLock() : m_bResult(LockInterruptSource(INT_SOURCE_DRIVE_SIDE)) {}
    ~DriveSideLock() {
        if (m_bResult != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    }
    DriveSideLock(const DriveSideLock&) = delete;
    DriveSideLock& operator=(const DriveSideLock&) = delete;

private:
    uint8_t m_bResult;
};

DRIVE_LOOP_DEVICE* psFind(const uint8_t* pbWwn) {
    for (uint8_t i = 0; i < s_sTable.bCount; ++i) {
        if (std::memcmp(s_sTable.asEntry[i].abWwn, pbWwn, 8) == 0) return &s_sTable.asEntry[i];
    }
    return nullptr;
}

void ClearEntry(DRIVE_LOOP_DEVICE* ps) {
    ps->dTick = 0xFFFFFFFF;
    std::memset(ps->abWwn, 0xFF, sizeof ps->abWwn);
    ps->bState = LOOP_DEVICE_EXPIRED;
    ps->bSpare = 0xFF;
    ps->fPending = FALSE;
    ps->bReserved = 0;
}

uint8_t* pbAttention(uint8_t bPort) { return s_aabAttention[bPort == 3 ? 0 : 1]; }

bool IsAttentionSet(uint8_t bPort, uint8_t bLoopId) {
    return (pbAttention(bPort)[bLoopId / 8] >> (bLoopId % 8)) & 1;
}

uint8_t bPartnerAlpa(uint8_t bPort) {
    return bPort == 3 ? (fIsPartnerOnPath1() == TRUE ? bGetPartnerAlpaPath1() : 0xFF)
                      : (fIsPartnerOnPath2() == TRUE ? bGetPartnerAlpaPath2() : 0xFF);
}

// The drive loses its login on the loop; the configuration forgets it there.
void LogOut(uint8_t bPort, uint8_t bLoopId) { RemoveLoopDevice(bPort, bLoopId); }

void ReportLoss(const uint8_t* pbWwn, uint8_t bPath, uint8_t bOtherAlpa, uint8_t bLoopId) {
    PostEvent(EVENT_LOOP_DEVICE_LOST, pbWwn[0], pbWwn[1], pbWwn[2], pbWwn[3], pbWwn[4], pbWwn[5], pbWwn[6], pbWwn[7],
              bPath, bOtherAlpa, bLoopId);
}

// One TEST UNIT READY per drive of the loop, counted; the handler counts
// the completions.
uint16_t wProbeLoop(uint8_t bPort, bool fSkipDownload) {
    uint16_t wPosted = 0;
    const uint8_t bOwn = bGetOwnLoopId(bPort);
    const uint8_t bPartner = bPartnerAlpa(bPort);
    const uint8_t bCount = bGetLoopMapCount(bPort);
    for (uint16_t wPos = 1; wPos <= bCount && wPos < sizeof(LOOP_POSITION_MAP); ++wPos) {
        const uint8_t bAlpa = bGetLoopMapAlpa(bPort, static_cast<uint8_t>(wPos));
        const uint8_t bLoopId = bAlpaToLoopId(bAlpa);
        if (bAlpa == 0xFF || bLoopId == NO_LOOP_ID || bLoopId == bOwn || bAlpa == bPartner) continue;
        uint8_t abWwn[8];
        if (fGetDriveWwnByLoopId(bPort, bLoopId, abWwn) != STATUS_OK) continue;
        if (fSkipDownload && fIsDriveFirmwareDownloadInProgress() == TRUE && bGetPhaseParam1() == bPort &&
            bGetPhaseParam2() == bLoopId) {
            continue;
        }
        uint8_t abEntry[ISP_ENTRY_BYTES] = {};
        abEntry[0] = ISP_ENTRY_COMMAND_2X00;
        abEntry[1] = 1;
        abEntry[2] = bLoopId;
        const uint32_t dHandle = LOOP_PROBE_HANDLE;
        std::memcpy(abEntry + 4, &dHandle, 4);
        abEntry[8] = bLoopId;
        abEntry[12] = PROBE_CONTROL_NO_DATA;
        abEntry[16] = PROBE_TIMEOUT_S;
        abEntry[32] = 9;
        for (uint32_t n = 0; n < PROBE_POST_ATTEMPTS; ++n) {
            if (bPostRequestQueueEntries(bPort, 1, abEntry) == STATUS_OK) {
                ++wPosted;
                break;
            }
            HwDelayUs(1000);
        }
    }
    return wPosted;
}

void Probe(uint8_t bMapResult3, uint8_t bMapResult4, bool fSkipDownload) {
    SetProbeCompletions(0);
    std::memset(s_abProbeStatus, 0, sizeof s_abProbeStatus);
    uint16_t wPosted = 0;
    if (bMapResult3 == STATUS_OK && fIsChipPresent(3) == TRUE) wPosted += wProbeLoop(3, fSkipDownload);
    if (bMapResult4 == STATUS_OK && fIsChipPresent(4) == TRUE) wPosted += wProbeLoop(4, fSkipDownload);
    const uint64_t lStart = lGetTickCount();
    while (wGetProbeCompletions() < wPosted && lGetTickCount() - lStart < LOOP_PROBE_WAIT_MS) HwPoll();
}

}  // namespace

void InitDriveLoopDeviceTable() {
    ClearDriveLoopDeviceTable();
    ClearLoopIdAttentionBits(3);
    ClearLoopIdAttentionBits(4);
}

uint8_t bSetUpDriveLoopDeviceTable() {
    InitDriveLoopDeviceTable();
    return STATUS_OK;
}

void ClearDriveLoopDeviceTable() {
    s_sTable.bCount = 0;
    for (DRIVE_LOOP_DEVICE& s : s_sTable.asEntry) ClearEntry(&s);
}

void RecordDriveLoopDeviceState(const uint8_t* pbWwn, uint8_t bPort, uint8_t bState) {
    DriveSideLock sLock;
    const uint32_t dNow = dGetCoarseTick();
    DRIVE_LOOP_DEVICE* ps = psFind(pbWwn);
    if (ps == nullptr) {
        // A full table drops the report rather than write past its end.
        if (s_sTable.bCount >= DRIVE_LOOP_DEVICE_ENTRIES) {
            ++s_dDrops;
            return;
        }
        ps = &s_sTable.asEntry[s_sTable.bCount++];
        std::memcpy(ps->abWwn, pbWwn, 8);
        ps->bState = bState;
        ps->dTick = dNow;
        ps->fPending = ToFlag(bState == LOOP_DEVICE_LOST_ONE_PATH || bState == LOOP_DEVICE_LOST);
        return;
    }
    if (fGetLoopResetRequest(bPort) == TRUE) return;
    if (dNow - ps->dTick < REPORT_REFRESH_TICKS) {
        ps->bState = LOOP_DEVICE_FAILED;
    } else {
        ps->dTick = dNow;
    }
}

uint8_t fIsDriveLoopDeviceFailed(const uint8_t* pbWwn) {
    DriveSideLock sLock;
    const DRIVE_LOOP_DEVICE* ps = psFind(pbWwn);
    return ToFlag(ps != nullptr && ps->bState == LOOP_DEVICE_FAILED);
}

uint8_t fTakeDriveLoopDeviceReport(const uint8_t* pbWwn, uint8_t fKind) {
    DriveSideLock sLock;
    DRIVE_LOOP_DEVICE* ps = psFind(pbWwn);
    if (ps == nullptr || ps->fPending != TRUE) return FALSE;
    ps->fPending = FALSE;
    if (fKind == TRUE) return ToFlag(ps->bState == LOOP_DEVICE_LOST_ONE_PATH || ps->bState == LOOP_DEVICE_LOST);
    return ToFlag(ps->bState == LOOP_DEVICE_LOST);
}

void AgeDriveLoopDeviceTable() {
    DriveSideLock sLock;
    const uint32_t dNow = dGetCoarseTick();
    bool fExpired = false;
    for (uint8_t i = 0; i < s_sTable.bCount; ++i) {
        DRIVE_LOOP_DEVICE& s = s_sTable.asEntry[i];
        const uint32_t dAge = dNow - s.dTick;
        const bool fLost = s.bState == LOOP_DEVICE_LOST_ONE_PATH || s.bState == LOOP_DEVICE_LOST;
        if ((fLost && dAge > REPORT_REFRESH_TICKS) || (s.bState == LOOP_DEVICE_FAILED && dAge > FAILED_KEEP_TICKS)) {
            s.bState = LOOP_DEVICE_EXPIRED;
            fExpired = true;
        }
    }
    if (!fExpired) return;
    uint8_t bKept = 0;
    for (uint8_t i = 0; i < s_sTable.bCount; ++i) {
        const DRIVE_LOOP_DEVICE s = s_sTable.asEntry[i];
        if (s.bState == LOOP_DEVICE_FAILED || s.bState == LOOP_DEVICE_LOST_ONE_PATH || s.bState == LOOP_DEVICE_LOST) {
            s_sTable.asEntry[bKept++] = s;
        }
    }
    for (uint8_t i = bKept; i < s_sTable.bCount; ++i) ClearEntry(&s_sTable.asEntry[i]);
    s_sTable.bCount = bKept;
}

uint8_t bGetDriveLoopDeviceCount() { return s_sTable.bCount; }

const DRIVE_LOOP_DEVICE* psGetDriveLoopDevice(uint8_t bIndex) {
    return bIndex < s_sTable.bCount ? &s_sTable.asEntry[bIndex] : nullptr;
}

uint32_t dGetDriveLoopDeviceDrops() { return s_dDrops; }

void SetLoopIdAttentionBit(uint8_t bPort, uint8_t bLoopId, uint8_t f) {
    if (!IsDrivePort(bPort) || bLoopId >= LOOP_IDS) return;
    DriveSideLock sLock;
    const uint8_t bMask = static_cast<uint8_t>(1u << (bLoopId % 8));
    uint8_t& b = pbAttention(bPort)[bLoopId / 8];
    b = f == TRUE ? static_cast<uint8_t>(b | bMask) : static_cast<uint8_t>(b & ~bMask);
}

uint8_t fIsLoopIdAttentionBitSet(uint8_t bPort, uint8_t bLoopId) {
    if (!IsDrivePort(bPort) || bLoopId >= LOOP_IDS) return FALSE;
    DriveSideLock sLock;
    return ToFlag(IsAttentionSet(bPort, bLoopId));
}

void ClearLoopIdAttentionBits(uint8_t bPort) {
    if (IsDrivePort(bPort)) std::memset(pbAttention(bPort), 0, ATTENTION_BYTES);
}

void ReportLostLoopDevices() {
    bool afHandled[LOOP_IDS] = {};
    for (uint8_t bLoopId = 0; bLoopId < LOOP_IDS; ++bLoopId) {
        if (fIsLoopIdAttentionBitSet(3, bLoopId) != TRUE) continue;
        uint8_t abWwn[8];
        if (fGetDriveWwnByLoopId(3, bLoopId, abWwn) != STATUS_OK) continue;
        LogOut(3, bLoopId);
        uint8_t bOtherLoopId = NO_LOOP_ID;
        uint8_t bOtherAlpa = 0xFF;
        const bool fOnLoop4 = fFindLoopIdByWwn(4, &bOtherLoopId, abWwn) == STATUS_OK && bOtherLoopId < LOOP_IDS;
        if (fOnLoop4) (void)fLoopIdToAlpa(bOtherLoopId, &bOtherAlpa);
        if (fOnLoop4 && fIsLoopIdAttentionBitSet(4, bOtherLoopId) == TRUE) {
            afHandled[bOtherLoopId] = true;
            LogOut(4, bOtherLoopId);
            RecordDriveLoopDeviceState(abWwn, 3, LOOP_DEVICE_FAILED);
            ReportLoss(abWwn, 3, bOtherAlpa, bLoopId);
        } else {
            RecordDriveLoopDeviceState(abWwn, 3, LOOP_DEVICE_LOST_ONE_PATH);
            ReportLoss(abWwn, 1, bOtherAlpa, bLoopId);
        }
    }
    for (uint8_t bLoopId = 0; bLoopId < LOOP_IDS; ++bLoopId) {
        if (afHandled[bLoopId] || fIsLoopIdAttentionBitSet(4, bLoopId) != TRUE) continue;
        uint8_t abWwn[8];
        if (fGetDriveWwnByLoopId(4, bLoopId, abWwn) != STATUS_OK) continue;
        LogOut(4, bLoopId);
        uint8_t bOtherLoopId = NO_LOOP_ID;
        uint8_t bOtherAlpa = 0xFF;
        if (fFindLoopIdByWwn(3, &bOtherLoopId, abWwn) == STATUS_OK) (void)fLoopIdToAlpa(bOtherLoopId, &bOtherAlpa);
        RecordDriveLoopDeviceState(abWwn, 4, LOOP_DEVICE_LOST_ONE_PATH);
        ReportLoss(abWwn, 2, bOtherAlpa, bLoopId);
    }
}

void ProbeDriveLoops(uint8_t bMapResult3, uint8_t bMapResult4) { Probe(bMapResult3, bMapResult4, true); }
void ProbeDriveLoopsAtShutdown(uint8_t bMapResult3, uint8_t bMapResult4) { Probe(bMapResult3, bMapResult4, false); }

void IncrementProbeCompletions() { s_wProbeCompletions = static_cast<uint16_t>(s_wProbeCompletions + 1); }
void SetProbeCompletions(uint16_t w) { s_wProbeCompletions = w; }
uint16_t wGetProbeCompletions() { return s_wProbeCompletions; }

void SetProbeStatus(uint8_t fCheck, uint8_t fValid, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq) {
    s_abProbeStatus[0] = fCheck;
    s_abProbeStatus[1] = fValid;
    s_abProbeStatus[2] = bSenseKey;
    s_abProbeStatus[3] = bAsc;
    s_abProbeStatus[4] = bAscq;
}

void GetProbeStatus(uint8_t* pbStatus) { std::memcpy(pbStatus, s_abProbeStatus, sizeof s_abProbeStatus); }

uint8_t fGetDriveLoopsReady() { return s_fDriveLoopsReady; }
void SetDriveLoopsReady(uint8_t f) { s_fDriveLoopsReady = f; }
uint8_t fGetDrivesStarting() { return s_fDrivesStarting; }
void SetDrivesStarting(uint8_t f) { s_fDrivesStarting = f; }
uint8_t fGetDriveLoopsHold() { return s_fDriveLoopsHold; }
void SetDriveLoopsHold(uint8_t f) { s_fDriveLoopsHold = f; }

}  // namespace fw
