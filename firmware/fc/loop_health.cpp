#include "fc/loop_health.h"

#include <cstring>

#include "config/config_db.h"
#include "config/config_flags.h"
#include "eventlog/event_log.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/drive_loop_isr.h"
#include "fc/fc_driver.h"
#include "fc/loop_maps.h"
#include "fc/ql_mailbox_commands.h"
#include "fc/ql_rings.h"
#include "fc/ql_target_entries.h"
#include "hw/isp_fc.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_LOOP3_ERRORS = 19;
constexpr uint8_t EVENT_LOOP4_ERRORS = 20;
constexpr uint32_t CHECK_WINDOW_TICKS = 14400;
constexpr uint32_t RESET_SPACING_TICKS = 1200;
constexpr uint32_t LOOP_EVENT_SETTLE_TICKS = 10;

// Immediate notify as the drive chips write it, and its acknowledge.
constexpr uint32_t NOTIFY_LOOP_ID = 0x08;
constexpr uint32_t NOTIFY_STATUS = 0x10;
constexpr uint32_t NOTIFY_TASK_FLAGS = 0x12;
constexpr uint32_t NOTIFY_SEQUENCE = 0x14;
constexpr uint16_t NOTIFY_MESSAGE_RECEIVED = 0x36;
constexpr uint16_t NOTIFY_PORT_LOGOUT = 0x29;
constexpr uint16_t NOTIFY_PORT_CHANGED = 0x2A;
constexpr uint16_t NOTIFY_TASK_ABORTS = 0x0200 | 0x0400 | 0x2000;
constexpr uint16_t NOTIFY_TASK_TARGET_RESET = 0x4000;
constexpr uint16_t ACK_FLAGS = 0x0100;
constexpr uint16_t ACK_FLAGS_NO_TASK = 0x0120;
constexpr uint8_t NOTIFY_QUEUE_DEPTH = 16;

struct DRIVE_LOOP_HEALTH {
    uint32_t dErrorCount;
    uint32_t dWindowStart;
    uint32_t dLastReset;
    uint32_t dLastLoopEvent;
    uint8_t bLoopFlag;
};

// The notifies of one drive chip waiting for their acknowledge, oldest first.
struct NOTIFY_QUEUE {
    uint16_t awIndex[NOTIFY_QUEUE_DEPTH];
    uint8_t bOut;
    uint8_t bCount;
};

DRIVE_LOOP_HEALTH s_asHealth[2];
NOTIFY_QUEUE s_asNotify[2];
uint8_t s_afEnableLun[2];
uint8_t s_fCheckRequest = FALSE;
uint32_t s_dCheckStamp = 0;
uint32_t s_dDroppedNotifies = 0;

bool IsDrivePort(uint8_t bPort) { return bPort == 3 || bPort == 4; }
DRIVE_LOOP_HEALTH& Health(uint8_t bPort) { return s_asHealth[bPort == 3 ? 0 : 1]; }
NOTIFY_QUEUE& Notifies(uint8_t bPort) { return s_asNotify[bPort == 3 ? 0 : 1]; }

uint16_t wGet16(const uint8_t* pb, uint32_t dOffset) { return static_cast<uint16_t>(pb[dOffset] | pb[dOffset + 1] << 8); }

void RequestBothLoopResets() {
    SetLoopResetRequest(3, TRUE);
    SetLoopResetRequest(4, TRUE);
}

void CheckPort(uint8_t bPort, uint32_t dNow) {
    DRIVE_LOOP_HEALTH& s = Health(bPort);
    if (dNow - s.dWindowStart > CHECK_WINDOW_TICKS) {
        s.dWindowStart = dNow;
        if (s.dErrorCount >= DRIVE_LOOP_ERROR_LIMIT) RequestBothLoopResets();
        s.dErrorCount = 0;
        return;
    }
    // A loop with errors below the limit is reset at most once per spacing,
    // and never while a loop event (a reset's own LIP among them) settles:
    // a loop without errors is healthy and left alone.
    if (fGetDriveLoopHoldSetting(bPort) == FALSE && s.dErrorCount != 0 && s.dErrorCount < DRIVE_LOOP_ERROR_LIMIT &&
        dNow - s.dLastReset > RESET_SPACING_TICKS && dNow - s.dLastLoopEvent > LOOP_EVENT_SETTLE_TICKS) {
        s.dLastReset = dNow;
        s.dErrorCount = 0;
        RequestBothLoopResets();
    }
}

}  // namespace

void CountDriveLoopError(uint8_t bPort) {
    if (!IsDrivePort(bPort) || fIsNvramOption0Set() == TRUE) return;
    DRIVE_LOOP_HEALTH& s = Health(bPort);
    if (++s.dErrorCount != DRIVE_LOOP_ERROR_LIMIT) return;
    RequestBothLoopResets();
    PostEvent(bPort == 3 ? EVENT_LOOP3_ERRORS : EVENT_LOOP4_ERRORS);
}

uint8_t fIsDriveLoopErrorLimitReached(uint8_t bPort) {
    return ToFlag(IsDrivePort(bPort) && Health(bPort).dErrorCount >= DRIVE_LOOP_ERROR_LIMIT);
}

uint32_t dGetDriveLoopErrorCount(uint8_t bPort) { return IsDrivePort(bPort) ? Health(bPort).dErrorCount : 0; }

void PeriodicDriveLoopCheck() {
    s_fCheckRequest = FALSE;
    if (fGetDriveAttentionFlag() == TRUE || fIsProductionTestMode() == TRUE) return;
    const uint32_t dNow = dGetCoarseTick();
    for (uint8_t bPort = 3; bPort <= 4; ++bPort) {
        if (bGetPortLoopState(bPort) == PORT_LOOP_STATE_VALID) CheckPort(bPort, dNow);
    }
}

void SetPeriodicLoopCheckRequest(uint8_t f) {
    s_fCheckRequest = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fGetPeriodicLoopCheckRequest() { return s_fCheckRequest; }

// From the tick: the periodic check is asked for at its period while a
// drive-loop chip runs.
void FcPeriodicService() {
    if (fIsChipPresent(3) != TRUE && fIsChipPresent(4) != TRUE) return;
    const uint32_t dNow = dGetCoarseTick();
    if (dNow - s_dCheckStamp < PERIODIC_LOOP_CHECK_TICKS) return;
    s_dCheckStamp = dNow;
    SetPeriodicLoopCheckRequest(TRUE);
}

void InitLoopCheckState() {
    const uint32_t dNow = dGetCoarseTick();
    for (DRIVE_LOOP_HEALTH& s : s_asHealth) s = DRIVE_LOOP_HEALTH{0, dNow, 0, 0, FALSE};
    for (NOTIFY_QUEUE& s : s_asNotify) s = NOTIFY_QUEUE{};
    s_fCheckRequest = FALSE;
    s_dCheckStamp = dNow;
}

void RecordLoopEventTick(uint8_t bPort) {
    if (IsDrivePort(bPort)) Health(bPort).dLastLoopEvent = dGetCoarseTick();
}

void RecordLoopResetTick(uint8_t bPort) {
    if (IsDrivePort(bPort)) Health(bPort).dLastReset = dGetCoarseTick();
}

void SetDriveLoopFlag(uint8_t bPort, uint8_t f) {
    if (IsDrivePort(bPort)) Health(bPort).bLoopFlag = f;
}

uint8_t bGetDriveLoopFlag(uint8_t bPort) { return IsDrivePort(bPort) ? Health(bPort).bLoopFlag : FALSE; }

void QueueDriveNotify(KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    KernelPoolLock sLock;
    if (!IsDrivePort(bPort) || Notifies(bPort).bCount == NOTIFY_QUEUE_DEPTH) {
        ++s_dDroppedNotifies;
        FreeKernelEntries(psEntry);
        return;
    }
    NOTIFY_QUEUE& q = Notifies(bPort);
    q.awIndex[(q.bOut + q.bCount) % NOTIFY_QUEUE_DEPTH] = psEntry->wIndex;
    ++q.bCount;
}

void AckDriveLoopImmediateNotify(uint8_t bPort) {
    if (!IsDrivePort(bPort)) return;
    KERNEL_ENTRY* ps = nullptr;
    {
        KernelPoolLock sLock;
        NOTIFY_QUEUE& q = Notifies(bPort);
        if (q.bCount == 0) return;
        (void)GetKernelEntryAddress(q.awIndex[q.bOut], &ps);
        q.bOut = static_cast<uint8_t>((q.bOut + 1) % NOTIFY_QUEUE_DEPTH);
        --q.bCount;
    }
    const auto* pb = reinterpret_cast<const uint8_t*>(ps);
    const uint16_t wStatus = wGet16(pb, NOTIFY_STATUS);
    const uint16_t wTaskFlags = wGet16(pb, NOTIFY_TASK_FLAGS);
    const uint16_t wLoopId = wGet16(pb, NOTIFY_LOOP_ID);
    if (wStatus == NOTIFY_MESSAGE_RECEIVED && (wTaskFlags & NOTIFY_TASK_ABORTS) == 0 &&
        (wTaskFlags & NOTIFY_TASK_TARGET_RESET) != 0) {
        SetDriveLoopFlag(bPort, TRUE);
    }
    uint8_t abAck[ISP_ENTRY_BYTES] = {};
    if (wStatus == NOTIFY_PORT_CHANGED) {
        (void)BuildQlNotifyAck(0, 0, ACK_FLAGS, 0, NOTIFY_PORT_CHANGED, 0, abAck);
    } else if (wStatus == NOTIFY_PORT_LOGOUT) {
        (void)BuildQlNotifyAck(0, wLoopId, ACK_FLAGS, 0, NOTIFY_PORT_LOGOUT, 0, abAck);
    } else {
        (void)BuildQlNotifyAck(0, wLoopId, (wTaskFlags & 0xFF) != 0 ? ACK_FLAGS : ACK_FLAGS_NO_TASK, wTaskFlags, 0,
                               wGet16(pb, NOTIFY_SEQUENCE), abAck);
    }
    (void)bPostRequestQueueEntries(bPort, 1, abAck);
    FreeKernelEntries(ps);
    (void)bSendMarker(bPort, 0, 0, 2);
}

uint32_t dGetDroppedDriveNotifies() { return s_dDroppedNotifies; }

void SetDriveEnableLunByte(uint8_t bChip, uint8_t f) {
    if (IsDrivePort(bChip)) s_afEnableLun[bChip == 3 ? 0 : 1] = f;
}

uint8_t fGetDriveEnableLunByte(uint8_t bChip) { return IsDrivePort(bChip) ? s_afEnableLun[bChip == 3 ? 0 : 1] : FALSE; }

void CopyByWidth(const void* pSource, void* pDestination, uint32_t dBytes, uint8_t bWidth) {
    const auto* pbFrom = static_cast<const volatile uint8_t*>(pSource);
    auto* pbTo = static_cast<volatile uint8_t*>(pDestination);
    if (bWidth == 4) {
        for (uint32_t i = 0; i + 4 <= dBytes; i += 4) {
            *reinterpret_cast<volatile uint32_t*>(pbTo + i) = *reinterpret_cast<const volatile uint32_t*>(pbFrom + i);
        }
    } else if (bWidth == 2) {
        for (uint32_t i = 0; i + 2 <= dBytes; i += 2) {
            *reinterpret_cast<volatile uint16_t*>(pbTo + i) = *reinterpret_cast<const volatile uint16_t*>(pbFrom + i);
        }
    } else {
        for (uint32_t i = 0; i < dBytes; ++i) pbTo[i] = pbFrom[i];
    }
}

}  // namespace fw
