// Task management traffic of the Fibre Channel host ports.
//
// A reset or task-set request is latched for the host-port event service,
// which sets the unit attentions and acknowledges it at the end of the host
// chip's interrupt pass.  The tasks a request ends are marked aborted at
// once, so that none of them sends a status afterwards.
#include "target/task_management.h"

#include <cstring>

#include "config/host_lun_tables.h"
#include "eventlog/statistics.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint16_t NOTIFY_POSTED_BACK = 1;

// ISP2x00 task flags of a task management notify.
constexpr uint16_t TASK_ABORT_TASK_SET = 0x0200;
constexpr uint16_t TASK_CLEAR_TASK_SET = 0x0400;
constexpr uint16_t TASK_TARGET_RESET = 0x2000;
constexpr uint16_t TASK_CLEAR_ACA = 0x4000;
constexpr uint16_t TASK_TERMINATE = 0x8000;

constexpr uint16_t CTIO7_GOOD_STATUS_FLAGS = CTIO7_FLAG_SEND_STATUS | CTIO7_FLAG_STATUS_MODE_1;
constexpr uint16_t ANY_INITIATOR = 0xFFFF;

uint8_t s_fNotifyBusy = FALSE;

KERNEL_ENTRY* psPeekNotify(uint8_t bPort) {
    KERNEL_ENTRY* ps = nullptr;
    return bPeekImmediateNotify(bPort, &ps) == STATUS_FOUND ? ps : nullptr;
}

template <typename ENTRY>
ENTRY sReadHead(const KERNEL_ENTRY* psEntry) {
    ENTRY s;
    std::memcpy(&s, psEntry, sizeof(s));
    return s;
}

// Latches a reset of the port for the host-port event service.  An ABORT
// TASK SET (one initiator's tasks) is acknowledged like the others but
// raises no unit attention.
void LatchReset(uint8_t bPort, uint16_t wLun, uint16_t wInitiator, uint16_t wTaskFlags, uint16_t wSequence,
                uint32_t dExchange, bool fOwnTasksOnly = false) {
    SetResetPortCode(bPort);
    SetResetLun(wLun);
    SetResetInitiator(wInitiator);
    SetResetWithoutAttention(ToFlag(fOwnTasksOnly));
    SetResetWords(wTaskFlags, wSequence);
    SetResetExchange(dExchange);
    SetPortResetEvent(bPort);
}

// A TARGET RESET drops every SCSI-2 reservation and tells the partner side.
void TargetReset() {
    InitScsi2Reservations();
    SetHostTargetWork(TRUE);
}

// A login ended: the SCSI-2 reservations of its handle end, and the names
// the handle stood for are learnt again (the chip gives the handle to the
// next host).
void EndLogin(uint8_t bPort, uint16_t wHandle) {
    EndScsi2ReservationsOfInitiator(bPort, wHandle);
    ForgetInitiatorPortName(bPort, wHandle);
    ForgetLoginNames(bPort, wHandle);
}

// ISP2x00: a task management notify.  Answers whether an event was latched
// (its acknowledge then waits for the event service).
bool TakeTaskManagementNotify(uint8_t bPort, const IMMEDIATE_NOTIFY2_ENTRY& s) {
    uint16_t wInitiator = NO_INITIATOR;
    uint16_t wLun = ALL_LUNS;
    bool fOwnTasksOnly = false;
    if (s.wTaskFlags & TASK_ABORT_TASK_SET) {
        wInitiator = s.wInitiator;
        wLun = s.wLun;
        fOwnTasksOnly = true;
        (void)wMarkTaskSetAborted(bPort, s.wInitiator, 0, s.wLun);
    } else if (s.wTaskFlags & TASK_CLEAR_TASK_SET) {
        wLun = s.wLun;
        (void)wMarkTaskSetAborted(bPort, ANY_INITIATOR, 0, s.wLun);
    } else if (s.wTaskFlags & TASK_TARGET_RESET) {
        TargetReset();
        (void)wMarkTaskSetAborted(bPort, ANY_INITIATOR, 0, ALL_LUNS);
    } else if ((s.wTaskFlags & (TASK_CLEAR_ACA | TASK_TERMINATE)) == 0) {
        return false;
    }
    LatchReset(bPort, wLun, wInitiator, s.wTaskFlags, s.wSequenceId, 0, fOwnTasksOnly);
    return true;
}

PORT_NOTIFY_24XX sNotifyFields(const IMMEDIATE_NOTIFY24_ENTRY& s) {
    PORT_NOTIFY_24XX sNotify;
    sNotify.wHandle = s.wNPortHandle;
    sNotify.bElsOpcode = s.bElsOpcode;
    sNotify.dExchange = s.dExchangeAddress;
    sNotify.wOxId = s.wOxId;
    sNotify.wRxId = s.wRxId;
    sNotify.wFlags = s.wFlags;
    return sNotify;
}

// ISP24xx ELS: a new login replaces an old one of the same port id; a
// logout drops it.  Whatever ends a login (a new PLOGI too) ends the SCSI-2
// reservations of its handle, which the chip gives to the next host.
// A login (its PLOGI, and the PRLI that completes it) has the port's table
// of what each initiator sees built again at once, and the port's commands
// wait for it.
void TakeEls(uint8_t bPort, const IMMEDIATE_NOTIFY24_ENTRY& s) {
    const uint32_t dPortId = dGetBe24(s.abPortId);
    uint16_t wKnown = NO_INITIATOR_HANDLE;
    const bool fKnown = bLookupHandleByPortId(bPort, dPortId, &wKnown) == STATUS_OK;
    if (fKnown && (s.bElsOpcode == ELS_PLOGI || s.bElsOpcode == ELS_LOGO)) {
        (void)bRemoveHandleMapping(bPort, dPortId, wKnown);
        EndLogin(bPort, wKnown);
    }
    if (s.bElsOpcode == ELS_LOGO || s.bElsOpcode == ELS_PRLO) EndLogin(bPort, s.wNPortHandle);
    if (s.bElsOpcode == ELS_PLOGI || (s.bElsOpcode == ELS_PRLI && !fKnown)) {
        (void)bAddHandleMapping(bPort, dPortId, s.wNPortHandle);
    }
    if (s.bElsOpcode == ELS_PLOGI || s.bElsOpcode == ELS_PRLI) RequestLoginScan(bPort);
}

void PostEntry(uint8_t bPort, const void* pEntry) { (void)bPostRequestQueueEntries(bPort, 1, pEntry); }

void FinishRequest(KERNEL_ENTRY* psEntry) { FreeTargetEntry(psEntry); }

}  // namespace

// A logical unit reset releases the SCSI-2 reservation this controller holds
// on the logical drive, here and at the partner.
void ReleaseLunReservation(uint16_t wLd) {
    uint8_t bPortCode;
    uint16_t wInitiator;
    uint8_t fOnBehalf;
    uint16_t wOnBehalfId;
    uint8_t bController;
    if (bGetScsi2Reservation(wLd, &bPortCode, &wInitiator, &fOnBehalf, &wOnBehalfId, &bController) != SCSI2_RESERVED) {
        return;
    }
    if (bController != bGetControllerNumber()) return;
    (void)bReleaseScsi2Reservation(bPortCode, wLd, wInitiator, fOnBehalf, wOnBehalfId, bController);
    if (fIsDualControllerActive() == TRUE) {
        (void)bSendReservationMessage125(nullptr, fOnBehalf, bPortCode, wLd, wInitiator, wOnBehalfId, bController);
    }
}

void ResetTaskManagement() { s_fNotifyBusy = FALSE; }

uint8_t fIsImmediateNotifyBusy() { return s_fNotifyBusy; }

void ProcessImmediateNotify(uint8_t bPort) {
    if (s_fNotifyBusy == TRUE) return;
    KERNEL_ENTRY* psEntry = psPeekNotify(bPort);
    if (psEntry == nullptr) return;
    s_fNotifyBusy = TRUE;
    IMMEDIATE_NOTIFY2_ENTRY s = sReadHead<IMMEDIATE_NOTIFY2_ENTRY>(psEntry);
    bool fWaitsForService = false;
    switch (s.wStatus) {
    case NOTIFY_TASK_MANAGEMENT: fWaitsForService = TakeTaskManagementNotify(bPort, s); break;
    case NOTIFY_LOGOUT: {
        EndLogin(bPort, s.wInitiator);
        const PORT_NOTIFY_2X00 sNotify = {s.wInitiator, 0, s.wSequenceId};
        SetPortNotify2x00(bPort, sNotify);
        SetPortAckEvent(bPort);
        fWaitsForService = true;
        break;
    }
    case NOTIFY_LIP_RESET:
            LatchReset(bPort, ALL_LUNS, NO_INITIATOR, s.wTaskFlags, s.wSequenceId, 0);
        fWaitsForService = true;
        break;
    case NOTIFY_ABORT_TASK: (void)bMarkExchangeTagAborted(bPort, s.wInitiator, s.wExchangeTag); break;
    default: break;
    }
    // The notify goes back to the chip, which takes it as the acknowledge
    // of its receipt.
    TakeImmediateNotify(bPort);
    s.wStatus = NOTIFY_POSTED_BACK;
    PostEntry(bPort, &s);
    FinishRequest(psEntry);
    if (!fWaitsForService) s_fNotifyBusy = FALSE;
}

void ProcessImmediateNotify24(uint8_t bPort) {
    if (s_fNotifyBusy == TRUE) return;
    KERNEL_ENTRY* psEntry = psPeekNotify(bPort);
    if (psEntry == nullptr) return;
    s_fNotifyBusy = TRUE;
    const IMMEDIATE_NOTIFY24_ENTRY s = sReadHead<IMMEDIATE_NOTIFY24_ENTRY>(psEntry);
    const PORT_NOTIFY_24XX sNotify = sNotifyFields(s);
    switch (s.wStatus) {
    case NOTIFY_ELS:
        TakeEls(bPort, s);
        SendNotifyAcknowledge24(bPort, 0, sNotify);
        break;
    case NOTIFY_LOGOUT:
        EndLogin(bPort, sNotify.wHandle);
        SetPortNotify24xx(bPort, sNotify);
        SetPortAckEvent(bPort);
        break;
    case NOTIFY_LIP_RESET:
            SetPortNotify24xx(bPort, sNotify);
        LatchReset(bPort, ALL_LUNS, NO_INITIATOR, 0, 0, s.dExchangeAddress);
        break;
    case NOTIFY_GLOBAL_LOGOUT:
        ClearHandleMap(bPort);
        EndScsi2ReservationsOfPort(bPort);
        ForgetInitiatorPortNames(bPort);
        // Acknowledged, so that the next notify is taken.
        SendNotifyAcknowledge24(bPort, 0, sNotify);
        break;
    case NOTIFY_PORT_CHANGE: SendNotifyAcknowledge24(bPort, 0, sNotify); break;
    default: s_fNotifyBusy = FALSE; break;
    }
    TakeImmediateNotify(bPort);
    FinishRequest(psEntry);
}

void ProcessTaskManagementAtio(uint8_t bPort) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekTaskMgmtRequest(bPort, &psEntry) != STATUS_FOUND) return;
    ATIO7_ENTRY sAtio;
    std::memcpy(&sAtio, pGetAtioCopy(psEntry), sizeof(sAtio));
    const uint32_t dPortId = dGetBe24(sAtio.abSourceId);
    uint16_t wHandle = NO_INITIATOR_HANDLE;
    {
        HostPoolLock sLock;
        // Without its initiator's handle the request waits at the head.
        if (bLookupHandleByPortId(bPort, dPortId, &wHandle) != STATUS_OK) return;
    }
    const uint16_t wLun = wGetBe16(sAtio.abFcpLun);
    bool fLatch = true;
    bool fOwnTasksOnly = false;
    uint8_t bResponse = FCP_RSP_CODE_COMPLETE;
    uint16_t wResetInitiator = NO_INITIATOR;
    uint16_t wResetLun = ALL_LUNS;
    uint16_t wLd = NO_LUN_INDEX;
    const bool fUnitAddressed = sAtio.bTaskManagement == TMF_ABORT_TASK_SET ||
                                sAtio.bTaskManagement == TMF_CLEAR_TASK_SET || sAtio.bTaskManagement == TMF_LUN_RESET;
    // LUN 0 answers with or without a logical drive (INQUIRY, REPORT LUNS,
    // management) and has a task set; a reset needs the logical drive,
    // whose reservation it releases.
    if (fUnitAddressed && bLookupPortLun(bPort, wLun, wHandle, &wLd) == LUN_LOOKUP_NONE &&
        (wLun != 0 || sAtio.bTaskManagement == TMF_LUN_RESET)) {
        // A logical unit the host does not have: nothing of it was ended,
        // cleared or reset, and no other unit is touched in its place.
        fLatch = false;
        bResponse = FCP_RSP_CODE_INCORRECT_LUN;
    } else {
        switch (sAtio.bTaskManagement) {
        case TMF_ABORT_TASK_SET:
            wResetInitiator = wHandle;
            wResetLun = wLun;
            fOwnTasksOnly = true;
            (void)wMarkTaskSetAborted(bPort, wHandle, dPortId, wLun);
            break;
        case TMF_CLEAR_TASK_SET:
            wResetLun = wLun;
            (void)wMarkTaskSetAborted(bPort, ANY_INITIATOR, 0, wLun);
            break;
        case TMF_LUN_RESET:
            // The unit attention goes to the LUN the hosts address.
            wResetLun = wLun;
            ReleaseLunReservation(wLd);
            (void)wMarkTaskSetAborted(bPort, ANY_INITIATOR, 0, wLun);
            break;
        case TMF_TARGET_RESET:
            TargetReset();
            (void)wMarkTaskSetAborted(bPort, ANY_INITIATOR, 0, ALL_LUNS);
            break;
        case TMF_CLEAR_ACA: break;
        default:
            fLatch = false;
            bResponse = FCP_RSP_CODE_NOT_SUPPORTED;
            break;
        }
    }
    if (fLatch) {
        LatchReset(bPort, wResetLun, wResetInitiator, sAtio.bTaskManagement, 0, sAtio.dExchangeAddress,
                   fOwnTasksOnly);
    }

    // The answer is the FCP_RSP_INFO of the function, its RSP_CODE saying
    // whether it was done.
    uint8_t abCtio[CTIO_ENTRY_BYTES];
    uint8_t abResponse[FCP_RESPONSE_INFO_LENGTH] = {};
    abResponse[3] = bResponse;
    const uint16_t wAttribute =
        static_cast<uint16_t>((sAtio.bTaskAttribute & FCP_TASK_ATTRIBUTE_MASK) << CTIO7_TASK_ATTRIBUTE_SHIFT);
    (void)bBuildQlCtio7Status(CTIO_HANDLE_NOTHING, wHandle, wGetBe16(sAtio.abOxId), CTIO7_GOOD_STATUS_FLAGS | wAttribute,
                              0, dPortId, sAtio.dExchangeAddress, SCSI_STATUS_GOOD | FCP_RESPONSE_INFO_VALID, 0,
                              FCP_RESPONSE_INFO_LENGTH, abResponse, abCtio);
    PostEntry(bPort, abCtio);
    TakeTaskMgmtRequest(bPort);
    FinishRequest(psEntry);
}

void AnswerAbtsRequest(uint8_t bPort) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekAbortRequest(bPort, &psEntry) != STATUS_FOUND) return;
    const ABTS_ENTRY sAbts = sReadHead<ABTS_ENTRY>(psEntry);
    const uint32_t dPortId = dGetBe24(sAbts.abPortId);
    // The command of that exchange, if the controller still has it: it must
    // not answer on the exchange that is being aborted.
    bool fFound = false;
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT && !fFound; w++) {
        KERNEL_ENTRY* ps;
        wGetTargetEntry(w, &ps);
        if (ps->fUsed != TRUE || ps->bPortCode != bPort || ps == psEntry) continue;
        ATIO7_ENTRY sAtio;
        std::memcpy(&sAtio, pGetAtioCopy(ps), sizeof(sAtio));
        if (sAtio.dExchangeAddress != sAbts.dExchangeToAbort || dGetBe24(sAtio.abSourceId) != dPortId) continue;
        fFound = true;
        if (!HasFlag(ps, KE_FLAG_STATUS_SENT)) SetFlag(ps, KE_FLAG_ABORTED);
    }
    ATIO7_ENTRY sExchange{};
    sExchange.dExchangeAddress = sAbts.dExchangeToAbort;
    std::memcpy(sExchange.abSourceId, sAbts.abPortId, sizeof(sExchange.abSourceId));
    PutBe16(sExchange.abOxId, sAbts.wOxId);
    TerminateAtioExchange(bPort, reinterpret_cast<const uint8_t*>(&sExchange));

    ABTS_ENTRY sResponse = sAbts;
    sResponse.bEntryType = ABTS_RESPONSE_ENTRY_TYPE;
    sResponse.bEntryCount = 1;
    sResponse.dHandle = CTIO_HANDLE_NOTHING;
    sResponse.bResponseCode = fFound ? BA_ACC : BA_RJT;
    sResponse.bReasonCode = fFound ? 0 : BA_RJT_REASON_UNABLE;
    PostEntry(bPort, &sResponse);
    TakeAbortRequest(bPort);
    FinishRequest(psEntry);
}

void TerminateAtioExchange(uint8_t bPort, const uint8_t* pbAtio) {
    ATIO7_ENTRY sAtio;
    std::memcpy(&sAtio, pbAtio, sizeof(sAtio));
    const uint32_t dPortId = dGetBe24(sAtio.abSourceId);
    uint16_t wHandle = NO_INITIATOR_HANDLE;
    (void)bLookupHandleByPortId(bPort, dPortId, &wHandle);
    uint8_t abCtio[CTIO_ENTRY_BYTES];
    (void)bBuildQlCtio7Status(CTIO_HANDLE_NOTHING, wHandle, wGetBe16(sAtio.abOxId),
                              CTIO7_FLAG_TERMINATE | CTIO7_FLAG_STATUS_MODE_1, 0, dPortId, sAtio.dExchangeAddress, 0,
                              0, 0, nullptr, abCtio);
    PostEntry(bPort, abCtio);
}

void SendNotifyAcknowledge(uint8_t bPort, uint16_t wStatus, uint16_t wInitiator, uint16_t wFlags, uint16_t wSequence,
                           uint16_t wTaskFlags) {
    uint8_t abEntry[CTIO_ENTRY_BYTES];
    (void)BuildQlNotifyAck(0, wInitiator, wFlags, wTaskFlags, wStatus, wSequence, abEntry);
    PostEntry(bPort, abEntry);
    s_fNotifyBusy = FALSE;
}

void SendNotifyAcknowledge24(uint8_t bPort, uint16_t wStatus, const PORT_NOTIFY_24XX& sNotify) {
    IMMEDIATE_NOTIFY24_ENTRY s{};
    s.bEntryType = NOTIFY_ACK_ENTRY_TYPE;
    s.bEntryCount = 1;
    s.dHandle = CTIO_HANDLE_NOTHING;
    s.wNPortHandle = sNotify.wHandle;
    s.wFlags = sNotify.wFlags;
    s.wStatus = wStatus;
    s.bElsOpcode = sNotify.bElsOpcode;
    s.dExchangeAddress = sNotify.dExchange;
    s.wOxId = sNotify.wOxId;
    s.wRxId = sNotify.wRxId;
    PostEntry(bPort, &s);
    s_fNotifyBusy = FALSE;
}

uint16_t wGetHostCommandPoolCount(uint8_t bPort) {
    return static_cast<uint16_t>(wGetPortTaskMgmtCount(bPort) + wGetPortAbortCount(bPort));
}

void HostCommandService(uint8_t bPort) {
    if (wGetPortTaskMgmtCount(bPort) != 0) ProcessTaskManagementAtio(bPort);
    if (wGetPortAbortCount(bPort) != 0) AnswerAbtsRequest(bPort);
}

}  // namespace fw
