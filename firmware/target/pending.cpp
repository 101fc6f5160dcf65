// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "target/target_engine.h"

#include <cstring>

#include "cache/outstanding_queues.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "hw/scsi.h"
#include "target/stage_rings.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/isp_fc.h"
#include "hw/scsi.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {
void AnswerGood(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, 0, 0, 0);
}
}  // namespace

void InitIntermediateTargetQueues() {}
void InitPersistentReservations() {}
void PreparePersistentReservationsForJoin() {}
void PreparePersistentReservationKeysForJoin() {}
void InitScsi2Reservations() {}
void SetPrOutWaitFlag(uint8_t) {}
void SetPrOutPendingFlag(uint8_t) {}
void SetPrOutPendingEntry(uint16_t) {}
void TqmCommandDone(KERNEL_ENTRY*) {}
uint8_t fGetTqmStatisticsEnabled() { return FALSE; }
void ParkCommandIocb(KERNEL_ENTRY*, const uint8_t*, const uint8_t*) {}
void AllocateHostList() {}
uint16_t wGetParkedCommandCount(uint8_t) { return 0; }
void ReleaseParkedCommand(uint8_t) {}
uint16_t wGetCompletedCommandCount(uint8_t) { return 0; }

void IwcqQueueWrite(KERNEL_ENTRY*, uint8_t) {}
void SetIwcqPendingFlag(uint8_t) {}
void DumpWriteCollapseQueues() {}
// Stand-in for the shutdown request.
void ReleaseLunQueuesForShutdown() {}

uint16_t wGetTargetSchedulingCount(uint8_t) { return 0; }
void TargetQueueService(uint8_t) {}
void TargetQueueTimeoutService() {}

void TargetEnginePostCommit(const CACHE_SETTINGS_BLOCK*) {}
void RestorePersistentReservation(const PR_RECORD*) {}

uint8_t bPersistentReserveOutData(KERNEL_ENTRY* psEntry) {
    AnswerGood(psEntry);
    return STATUS_OK;
}
void ReserveParameterData(KERNEL_ENTRY* psEntry, uint8_t) { AnswerGood(psEntry); }
void ReleaseParameterData(KERNEL_ENTRY* psEntry, uint8_t) { AnswerGood(psEntry); }
// --- ISP24xx immediate notifies: the least of the task management that lets
// hosts log in: PLOGI and PRLI become handle mappings, LOGO, PRLO and the
// port logouts drop them, and every notify is acknowledged at once. ---------

namespace {

void AcknowledgeNotify(uint8_t bPort, const ISP24_IMMEDIATE_NOTIFY& sNotify) {
    ISP24_NOTIFY_ACK sAck{};
    sAck.bEntryType = ISP_ENTRY_NOTIFY_ACK;
    sAck.bEntryCount = 1;
    sAck.wNportHandle = sNotify.wNportHandle;
    sAck.wFlags = sNotify.wFlags;
    sAck.wStatus = sNotify.wStatus;
    sAck.bElsOpcode = sNotify.bElsOpcode;
    sAck.dExchangeAddress = sNotify.dExchangeAddress;
    std::memcpy(sAck.abPortId, sNotify.abPortId, 3);
    sAck.wOxId = sNotify.wOxId;
    (void)bPostRequestQueueEntries(bPort, 1, &sAck);
}

}  // namespace

void ProcessImmediateNotify24(uint8_t bPort) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekImmediateNotify(bPort, &psEntry) != STATUS_FOUND) return;
    ISP24_IMMEDIATE_NOTIFY sNotify;
    std::memcpy(&sNotify, psEntry, sizeof sNotify);
    const uint32_t dPortId = sNotify.abPortId[0] | sNotify.abPortId[1] << 8 | static_cast<uint32_t>(sNotify.abPortId[2]) << 16;
    switch (sNotify.wStatus) {
    case ISP24_NOTIFY_ELS:
        if (sNotify.bElsOpcode == ELS_PLOGI || sNotify.bElsOpcode == ELS_PRLI) {
            (void)bAddHandleMapping(bPort, dPortId, sNotify.wNportHandle);
        } else if (sNotify.bElsOpcode == ELS_LOGO || sNotify.bElsOpcode == ELS_PRLO) {
            (void)bRemoveHandleMapping(bPort, dPortId, sNotify.wNportHandle);
        }
        break;
    case ISP24_NOTIFY_PORT_LOGOUT:
        (void)bRemoveHandleMapping(bPort, dPortId, sNotify.wNportHandle);
        break;
    case ISP24_NOTIFY_GLOBAL_LOGOUT:
        ClearHandleMap(bPort);
        break;
    default:
        break;
    }
    AcknowledgeNotify(bPort, sNotify);
    TakeImmediateNotify(bPort);
    FreeTargetEntry(psEntry);
}

void ProcessImmediateNotify(uint8_t bPort) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekImmediateNotify(bPort, &psEntry) != STATUS_FOUND) return;
    TakeImmediateNotify(bPort);
    FreeTargetEntry(psEntry);
}

// Ends an exchange the controller will not serve: nothing goes to the host
// and no completion comes back.
void TerminateAtioExchange(uint8_t bPort, const uint8_t* pbAtio) {
    ATIO7_ENTRY sAtio;
    std::memcpy(&sAtio, pbAtio, sizeof sAtio);
    const uint32_t dSourceId = dGetBe24(sAtio.abSourceId);
    uint16_t wHandle = 0xFFFF;
    if (bLookupHandleByPortId(bPort, dSourceId, &wHandle) != STATUS_OK) wHandle = 0xFFFF;
    uint8_t abEntry[CTIO_ENTRY_BYTES];
    (void)QL24_BuildCtio7(CTIO_HANDLE_NOTHING, wHandle, wGetBe16(sAtio.abOxId),
                          CTIO7_FLAG_TERMINATE | CTIO7_FLAG_STATUS_MODE_1, 0, dSourceId, sAtio.dExchangeAddress, 0, 0, 0,
                          0, 0, 0, 0, abEntry);
    (void)bPostRequestQueueEntries(bPort, 1, abEntry);
}

uint8_t fGetHostPortEventPending() { return FALSE; }
void ServiceHostPortEvents() {}
void FillHostInterfaceBitmap(uint8_t, uint8_t) {}
void DecReleasedCount(uint8_t) {}

// Target queue management is off until it is built: every command is admitted.
uint8_t bTqmCheckCommand(KERNEL_ENTRY*) { return 241; }
uint8_t bTqmStatusDelay(KERNEL_ENTRY*) { return 240; }
uint8_t fIsStatusDelaySet() { return FALSE; }
uint8_t bGetTqmResponseStatus(const KERNEL_ENTRY*) { return SCSI_STATUS_BUSY; }

// Handlers not built yet answer as an unsupported operation code.
namespace {
void AnswerUnsupported(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0);
    DecPortNewCommands(psEntry->bPortCode);
}
}  // namespace
uint8_t bCheckScsi2Reservation(uint8_t, uint16_t, uint16_t, uint8_t) { return STATUS_OK; }
uint8_t bGetScsi2Reservation(uint16_t, uint8_t*, uint16_t*, uint8_t*, uint16_t*, uint8_t*) { return 244; }
uint8_t bReleaseScsi2Reservation(uint8_t, uint16_t, uint16_t, uint8_t, uint16_t, uint8_t) { return STATUS_OK; }
uint8_t AnswerReserve(KERNEL_ENTRY* psEntry, uint16_t) {
    AnswerUnsupported(psEntry);
    return STATUS_OK;
}
uint8_t AnswerRelease(KERNEL_ENTRY* psEntry, uint16_t) {
    AnswerUnsupported(psEntry);
    return STATUS_OK;
}
uint8_t bCheckPersistentReservation(uint8_t, uint8_t, uint8_t, uint8_t, uint16_t, uint16_t) { return STATUS_OK; }
uint8_t fIsAnyPersistentReservation() { return FALSE; }
uint8_t fGetPrAttentionPendingByte(uint8_t) { return FALSE; }
uint8_t bGetPendingPrAttention(uint8_t, uint8_t, uint16_t, uint16_t, uint8_t*, uint8_t*, uint8_t*) { return FALSE; }
void AnswerPendingPrAttention(uint8_t, uint8_t, uint16_t, uint16_t, KERNEL_ENTRY* psEntry) {
    AnswerUnsupported(psEntry);
}
uint8_t fIsPrOutInProgress() { return FALSE; }
void AnswerPersistentReserveIn(KERNEL_ENTRY* psEntry) { AnswerUnsupported(psEntry); }
void AnswerPersistentReserveOut(KERNEL_ENTRY* psEntry) { AnswerUnsupported(psEntry); }
void ClearPrOutWaitFlags() {}

void CompleteTargetEngineConfigRequest(uint8_t, uint8_t, uint8_t, uint8_t) {}
void FailManagementCommandOnAbort() {}
void DumpReservationVariables() {}
void DumpPersistentReservations() {}
void ShowActiveLunsPerRank() {}

namespace {
uint8_t s_fDrivePortReady = FALSE;
}  // namespace
void SetDrivePortReady(uint8_t, uint8_t f) { s_fDrivePortReady = f; }
uint8_t fIsDrivePortReady(uint8_t) { return s_fDrivePortReady; }

}  // namespace fw
