// The failback sequence: when this controller comes back beside a running
// partner, it asks the partner to let go of the drive side (message 159),
// then discovers the fabric again and hands its own device list over
// (message 157) before its host ports take commands.
#include "sas/sas_failback.h"

#include <cstring>

#include "cache/flush_sequencer.h"
#include "config/apply_settings.h"
#include "dataservices/data_services.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/interrupt_controller.h"
#include "executive/work_flags.h"
#include "fc/ql_chip_services.h"
#include "hw/host_interface.h"
#include "hw/mpi.h"
#include "partner/partner_link.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/request_frames.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"
#include "sas/sas_target.h"

namespace fw {

namespace {

constexpr uint32_t ASK_AGAIN_MS = 100;
constexpr uint32_t ACCEPT_LIMIT_MS = 120000;
constexpr uint32_t SETTLE_MS = 4000;
constexpr uint32_t MORE_EXPANDERS_MS = 6000;
constexpr uint32_t FINISH_MS = 2000;

uint8_t s_fInProgress = FALSE;
uint8_t s_fOCInProgress = FALSE;
uint8_t s_fWaitingForPartner = FALSE;
uint8_t s_fPartnerAccepted = FALSE;
uint8_t s_fPhyListReceived = FALSE;
uint8_t s_fExtendPartnerDeadlines = FALSE;
uint8_t s_bState = SAS_FAILBACK_START;
uint64_t s_lStepTick = 0;
uint64_t s_lStartTick = 0;

bool Waited(uint32_t dMs) { return lGetTickCount() - s_lStepTick >= dMs; }

// The host ports take commands again: the start of day left the host
// chips' interrupts off, or the SAS host ports not enabled, while the
// failback ran.
void ReleaseHostPorts() {
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_FC:
        (void)bSetHostChipGpio(1, TRUE);
        (void)bSetHostChipGpio(2, TRUE);
        EnableHostChipInterrupts();
        break;
    case HOST_INTERFACE_SAS_TARGET: SetSASTargetPortServiceRequest(TRUE); break;
    default: break;
    }
}

}  // namespace

uint8_t fIsSASFailbackInProgress() { return s_fInProgress; }
void SetSASFailbackInProgress(uint8_t f) {
    s_fInProgress = f;
    if (f == TRUE) s_bState = SAS_FAILBACK_START;
}
uint8_t bGetSASFailbackState() { return s_bState; }

uint8_t fIsSASOCFailbackInProgress() { return s_fOCInProgress; }
void SetSASOCFailbackInProgress(uint8_t f) {
    if (s_fOCInProgress == TRUE && f != TRUE) s_fExtendPartnerDeadlines = TRUE;
    s_fOCInProgress = f;
}
uint8_t fTakeSASExtendPartnerDeadlines() {
    const uint8_t f = s_fExtendPartnerDeadlines;
    s_fExtendPartnerDeadlines = FALSE;
    return f;
}

void SASFailbackRequestAnswered(uint8_t fSense) {
    s_fWaitingForPartner = FALSE;
    s_fPartnerAccepted = ToFlag(fSense != TRUE);
}
uint8_t fIsSASFailbackWaitingForPartner() { return s_fWaitingForPartner; }
uint8_t fIsSASFailbackAcceptedByPartner() { return s_fPartnerAccepted; }

void SetSASPartnerPhyListReceived(uint8_t f) { s_fPhyListReceived = f; }
uint8_t fIsSASPartnerPhyListReceived() { return s_fPhyListReceived; }

void SASFailbackStep() {
    if (s_fInProgress != TRUE || fIsSASIOCRestartRequested() == TRUE || fIsSASIOCRestartInProgress() == TRUE) return;
    const uint64_t lNow = lGetTickCount();
    bool fWaiting = false;
    switch (s_bState) {
    case SAS_FAILBACK_START:
        s_lStepTick = lNow - ASK_AGAIN_MS;
        s_lStartTick = lNow;
        s_bState = SAS_FAILBACK_ASK;
        break;
    case SAS_FAILBACK_ASK:
        fWaiting = !Waited(ASK_AGAIN_MS);
        if (fWaiting) break;
        s_fWaitingForPartner = TRUE;
        s_fPartnerAccepted = FALSE;
        SendPartnerHeartbeatMessage();
        s_lStepTick = lNow;
        s_bState = SAS_FAILBACK_WAIT_ANSWER;
        break;
    case SAS_FAILBACK_WAIT_ANSWER:
        if (fIsDualControllerActive() != TRUE) {
            s_bState = SAS_FAILBACK_RESTART;
        } else if (s_fWaitingForPartner != TRUE) {
            s_bState = SAS_FAILBACK_CHECK_ANSWER;
        } else {
            fWaiting = true;
        }
        break;
    case SAS_FAILBACK_CHECK_ANSWER:
        // Rows this controller may have left half written are resynced only
        // under the partner's hold, and joining without it would leave them
        // stale: past the limit the partner is asked on.  Both its refusals
        // end by themselves: its own flush, during which it serves its
        // hosts, and its host commands at work, which end (by their drives'
        // time-outs at worst) while it holds new ones.
        s_bState = fIsDualControllerActive() != TRUE || s_fPartnerAccepted == TRUE ||
                           (lNow - s_lStartTick > ACCEPT_LIMIT_MS && fHasRowsToResyncBeforeJoining() != TRUE)
                       ? SAS_FAILBACK_RESTART
                       : SAS_FAILBACK_ASK;
        break;
    case SAS_FAILBACK_RESTART:
        (void)RestartSASDiscovery(TRUE);
        s_lStepTick = lNow;
        s_bState = SAS_FAILBACK_SETTLE;
        break;
    case SAS_FAILBACK_SETTLE:
        fWaiting = !Waited(SETTLE_MS);
        if (!fWaiting) s_bState = SAS_FAILBACK_EXPANDERS;
        break;
    case SAS_FAILBACK_EXPANDERS:
        if (bDiscoverSASExpanders(TRUE) == TRUE) {
            InitSASDeviceList(pGetSASDriveInfoList());
            s_lStepTick = lNow;
            s_bState = SAS_FAILBACK_MORE_EXPANDERS;
        } else {
            s_bState = SAS_FAILBACK_DEVICES;
        }
        break;
    case SAS_FAILBACK_MORE_EXPANDERS:
        fWaiting = !Waited(MORE_EXPANDERS_MS);
        if (!fWaiting) s_bState = SAS_FAILBACK_RESTART;
        break;
    case SAS_FAILBACK_DEVICES:
        RebuildSASDeviceList(TRUE);
        s_lStepTick = lNow;
        s_bState = SAS_FAILBACK_FINISH;
        break;
    case SAS_FAILBACK_FINISH:
        fWaiting = !Waited(FINISH_MS);
        if (fWaiting) break;
        // Rows this controller left half written are made consistent first,
        // while the partner holds its host commands for the join.
        fWaiting = fResyncRowsBeforeJoining(
                       ToFlag(fIsDualControllerActive() != TRUE || s_fPartnerAccepted == TRUE)) == TRUE;
        if (fWaiting) break;
        s_fInProgress = FALSE;
        (void)bSendSasPhyMessage157(FALSE);
        (void)ApplyStoredSettings(FALSE, FALSE);
        ReleaseHostPorts();
        SetPartnerWork(FALSE);
        ReadPartnerStartOfDayData(FALSE);
        CheckWaitForODAStartup();
        if (fGetSASTimedHoldFlag() == TRUE) SetSASTimedHoldFlag(FALSE);
        s_bState = SAS_FAILBACK_START;
        break;
    default: s_bState = SAS_FAILBACK_START; break;
    }
    // The next pass of the main loop takes the next step.  A step that only
    // waits for time or for the partner's answer is taken again at the
    // tick's next call for work (or the answer's): raising it at every pass
    // would keep the main loop spinning through seconds of waiting.
    if (s_fInProgress == TRUE && !fWaiting) SetWorkPending(TRUE);
}

// A port of the drive IOC enabled through the request queue; its reply
// clears the port wait, which discovery and the bring-up wait on.
uint8_t bSendPortEnable(uint8_t bIocId, uint8_t bPort, uint32_t dDeadlineMs) {
    if (bIocId != LSI_IOC_DRIVE) return 0;
    InterruptSourceLock sLock(INT_SOURCE_DRIVE_SIDE);
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    const uint8_t b = bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wRequest, FALSE);
    if (b != STATUS_OK) return b;
    MPI_SIMPLE_REQUEST s{};
    s.bFunction = MPI_FUNCTION_PORT_ENABLE;
    s.bPortNumber = bPort;
    std::memcpy(pbFrame, &s, sizeof s);
    SetSASPortWaitFlag(TRUE);
    (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wRequest, dDeadlineMs, FALSE);
    return STATUS_OK;
}

uint32_t dGetDriveIOCWord() { return dGetLSIFirmwareVersion(); }

}  // namespace fw
