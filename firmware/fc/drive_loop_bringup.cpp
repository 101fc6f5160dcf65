#include "fc/drive_loop_bringup.h"

#include "cache/flush_sequencer.h"
#include "cache/stripe_access.h"
#include "config/apply_settings.h"
#include "config/config_flags.h"
#include "config/config_load_loops.h"
#include "config/config_state.h"
#include "config/drive_loop_tables.h"
#include "config/host_port_tables.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_discovery.h"
#include "eventlog/event_log.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/drive_loop_isr.h"
#include "fc/drive_loop_watch.h"
#include "fc/loop_health.h"
#include "fc/loop_maps.h"
#include "fc/loop_operations.h"
#include "fc/ql_chip.h"
#include "fc/ql_firmware_start.h"
#include "fc/ql_rings.h"
#include "fc/ql_mailbox_commands.h"
#include "hw/isp_fc.h"
#include "partner/partner_link.h"
#include "raid/rebuild.h"
#include "target/back_end_completion.h"

namespace fw {

namespace {

constexpr uint32_t FIRMWARE_WAIT_MS = 5000;
constexpr uint32_t FIRMWARE_POLL_MS = 10;
constexpr uint32_t FIRMWARE_CONFIRM_MS = 50;
constexpr uint32_t MAP_RETRY_MS = 100;
constexpr uint32_t EMPTY_MAP_WAIT_MS = 5000;
constexpr uint8_t EVENT_LOOP3_MAP_FAILED = 15;
constexpr uint8_t EVENT_LOOP4_MAP_FAILED = 16;
constexpr uint8_t EVENT_PARTNER_LOST = 9;
constexpr uint8_t EVENT_WRITE_BACK_ALONE = 8;
constexpr uint8_t EVENT_PARTNER_NOT_ON_LOOPS = 92;

uint8_t s_bStep = 0;
uint8_t s_abDeviceCount[2];

enum class Wait : uint8_t { Skip, InProgress, Confirming, Ready, Down };

void Step(uint8_t b) { s_bStep = b; }

// The firmware wait: each loop's state every 10 ms; ready counts once a
// second read 50 ms later agrees.
void WaitForFirmware() {
    Wait aeLoop[2] = {Wait::InProgress, fIsNvramOption0Set() == TRUE ? Wait::Skip : Wait::InProgress};
    uint64_t alConfirmAt[2] = {0, 0};
    const uint64_t lStart = lGetTickCount();
    for (;;) {
        bool fBusy = false, fReady = false;
        for (uint8_t i = 0; i < 2; ++i) {
            Wait& e = aeLoop[i];
            if (e == Wait::Skip || e == Wait::Ready) {
                fReady = fReady || e == Wait::Ready;
                continue;
            }
            if (e == Wait::Confirming && lGetTickCount() < alConfirmAt[i]) {
                fBusy = true;
                continue;
            }
            uint16_t wState = 0;
            const bool fRead = bGetFirmwareState(static_cast<uint8_t>(3 + i), &wState) == STATUS_OK;
            if (fRead && wState == ISP_FW_STATE_READY) {
                if (e == Wait::Confirming) {
                    e = Wait::Ready;
                    fReady = true;
                    continue;
                }
                e = Wait::Confirming;
                alConfirmAt[i] = lGetTickCount() + FIRMWARE_CONFIRM_MS;
            } else if (fRead && (wState == ISP_FW_STATE_WAIT_AL_PA || wState == ISP_FW_STATE_WAIT_LOGIN)) {
                e = Wait::InProgress;
            } else {
                e = Wait::Down;
                continue;
            }
            fBusy = true;
        }
        if (!fBusy) return;
        if (lGetTickCount() - lStart >= FIRMWARE_WAIT_MS && fReady) return;
        // However long a loop stays in progress, bring-up does not wait on
        // it for ever: twice the wait ends it.
        if (lGetTickCount() - lStart >= 2 * FIRMWARE_WAIT_MS) return;
        SpinDelayMs(FIRMWARE_POLL_MS);
    }
}

void ReadBothMaps(uint8_t* pbMap3, uint8_t* pbMap4) {
    *pbMap3 = BuildLoopPositionMap(3);
    *pbMap4 = BuildLoopPositionMap(4);
}

void PartnerLostOnLoops() {
    SetPartnerWork(FALSE);
    SetCacheFlushRequest(TRUE);
    PostEvent(EVENT_PARTNER_LOST, bGetPartnerControllerNumber());
    PostEvent(EVENT_WRITE_BACK_ALONE, bGetPartnerControllerNumber());
    PostEvent(EVENT_PARTNER_NOT_ON_LOOPS);
    ResetEnclosureScanState();
    (void)bUpdatePartnerMissingIndicator();
    SetConfigApplyOption(TRUE);
    SetPartnerAlive(FALSE);
    SetDualControllerValid(FALSE);
    ResetBatteryGaugeState();
    ClearLunOcioFlags();
    SetDriveFirmwareDownloadInProgress(FALSE);
    SetDriveFirmwareDownloadPartnerSync(FALSE);
}

}  // namespace

void StartDriveLoopChips() {
    InitDriveChipRings();
    InitLoopCheckState();
    AllocateDriveLoopTables();
    SetChipPresent(3, TRUE);
    SetChipPresent(4, TRUE);
    StartDriveChips();
    SetDriveLoopsReady(FALSE);
    SetDriveLoopLipFlag(3, TRUE);
    SetDriveLoopLipFlag(4, TRUE);
}

void BringUpDriveLoops() {
    // Nothing to bring up on a board without drive-loop chips.
    if (fIsChipPresent(3) != TRUE && fIsChipPresent(4) != TRUE) return;
    (void)lGetTickCount();
    SetDriveLoopsStarted(TRUE);
    SetDriveLoopFlag(3, FALSE);
    SetDriveLoopFlag(4, FALSE);
    if (fGetDualControllerWorkFlag() == TRUE) return;

    Step(0);
    const bool fDualAtStart = fIsDualControllerActive() == TRUE;
    SpinDelayMs(100);
    Step(1);
    bool fReset = false;
    for (uint8_t bPort = 3; bPort <= 4; ++bPort) {
        if (fGetDriveLoopLipFlag(bPort) == FALSE && fIsDriveLoopUp(bPort) == TRUE && fIsMasterController() == TRUE) {
            ResetLoop(bPort);
            fReset = true;
        }
    }
    if (fReset) SpinDelayMs(100);

    Step(2);
    WaitForFirmware();
    const uint16_t wLips3 = wGetDriveLoopLipCount(3), wLips4 = wGetDriveLoopLipCount(4);
    uint8_t bMap3 = 0, bMap4 = 0;
    ReadBothMaps(&bMap3, &bMap4);
    if ((bMap3 == STATUS_OK && wGetDriveLoopLipCount(3) != wLips3) ||
        (bMap4 == STATUS_OK && wGetDriveLoopLipCount(4) != wLips4)) {
        SpinDelayMs(MAP_RETRY_MS);
        ReadBothMaps(&bMap3, &bMap4);
        SpinDelayMs(MAP_RETRY_MS);
    }
    if (bMap3 != STATUS_OK && bMap4 != STATUS_OK) {
        WaitForFirmware();
        ReadBothMaps(&bMap3, &bMap4);
    }

    Step(3);
    const uint64_t lEmptySince = lGetTickCount();
    while (bGetLoopMapCount(3) == 0 && bGetLoopMapCount(4) == 0 &&
           lGetTickCount() - lEmptySince < EMPTY_MAP_WAIT_MS) {
        SpinDelayMs(MAP_RETRY_MS);
        ReadBothMaps(&bMap3, &bMap4);
    }
    s_abDeviceCount[0] = bGetLoopMapCount(3);
    s_abDeviceCount[1] = bGetLoopMapCount(4);

    Step(4);
    bool afLip[2] = {false, false};
    const uint8_t abMap[2] = {bMap3, bMap4};
    for (uint8_t i = 0; i < 2; ++i) {
        const uint8_t bPort = static_cast<uint8_t>(3 + i);
        const uint8_t bEvent = i == 0 ? EVENT_LOOP3_MAP_FAILED : EVENT_LOOP4_MAP_FAILED;
        if (abMap[i] == STATUS_OK) {
            afLip[i] = fGetDriveLoopLipFlag(bPort) == TRUE;
            SetDriveLoopLipFlag(bPort, FALSE);
            SetDriveLipReset(bPort, FALSE);
            SetLoopResetRequest(bPort, FALSE);
            SetDriveLoopBringUpFlag(bPort, FALSE);
            SetEventMaskBit(bEvent, FALSE);
        } else if (fIsNvramOption0Set() == FALSE && fIsDriveLoopUp(bPort) == TRUE) {
            PostEvent(bEvent);
        }
    }
    for (uint8_t i = 0; i < 2; ++i) {
        if (afLip[i]) RecordLoopResetTick(static_cast<uint8_t>(3 + i));
        SetDriveLoopLipFlag(static_cast<uint8_t>(3 + i), FALSE);
        SetDriveLipReset(static_cast<uint8_t>(3 + i), FALSE);
    }

    Step(5);
    AgeDriveLoopDeviceTable();
    Step(6);
    (void)RescanDriveLoop(3);
    Step(7);
    (void)RescanDriveLoop(4);
    Step(8);
    if (bMap3 != STATUS_OK && bMap4 != STATUS_OK) {
        // Neither loop answered: the LIP flags bring bring-up back.
        SetDriveLoopLipFlag(3, TRUE);
        SetDriveLoopLipFlag(4, TRUE);
        SetDriveLoopsStarted(FALSE);
        Step(0);
        return;
    }

    if (bGetNvramRebuildPendingFlag() == TRUE) {
        Step(9);
        ResetRebuildState();
    }
    Step(11);
    if (fDualAtStart && fIsPartnerOnPath1() != TRUE && fIsPartnerOnPath2() != TRUE) {
        Step(12);
        PartnerLostOnLoops();
    }

    ClearLoopIdAttentionBits(3);
    ClearLoopIdAttentionBits(4);
    const bool fAttention = fGetDriveAttentionFlag() == TRUE;
    if (!fAttention && fIsProductionTestMode() != TRUE) {
        Step(13);
        ResetDriveLoopTargets(bMap3 == STATUS_OK ? SWEEP_PATH : 0, bMap4 == STATUS_OK ? SWEEP_PATH : 0,
                              fIsMasterController());
        SpinDelayMs(100);
        Step(14);
        ProbeDriveLoops(bMap3, bMap4);
    } else {
        for (uint8_t i = 0; i < 2; ++i) {
            Step(static_cast<uint8_t>(15 + i));
            if (afLip[i]) (void)bSendSyncMarker(static_cast<uint8_t>(3 + i));
        }
    }
    Step(17);
    ReportLostLoopDevices();
    if (!fAttention) {
        Step(18);
        if (fIsLinePowerMode() == TRUE && fIsProductionTestMode() != TRUE && fGetSystemModeLatch() == TRUE) {
            LoadConfigFromLoopDrives();
            SetSystemModeLatch(FALSE);
        }
        (void)ApplyStoredSettings(fIsMasterController(), FALSE);
        Step(23);
        ValidateInitiatorCommandsAfterLIP();
    }
    Step(0);
    SetDriveLoopsStarted(FALSE);
    SetDriveLoopsReady(TRUE);
}

uint8_t bGetDriveLoopBringUpStep() { return s_bStep; }

uint8_t bGetDriveLoopDeviceCount(uint8_t bPort) { return bPort == 3 || bPort == 4 ? s_abDeviceCount[bPort - 3] : 0; }

}  // namespace fw
