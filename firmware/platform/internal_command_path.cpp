// Status and data of commands made inside the controller.
#include "platform/internal_command_path.h"

#include "executive/types.h"
#include "hw/scsi.h"
#include "target/host_command_codes.h"
#include "target/stage_rings.h"

namespace fw {

uint8_t bInternalSendStatus(KERNEL_ENTRY* psEntry, uint8_t bStatus, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    psFields->bScsiStatus = bStatus;
    psFields->bSenseKey = bKey;
    psFields->bAsc = bAsc;
    psFields->bAscq = bAscq;
    psEntry->bPrimaryState = HOST_STATE_COMPLETE;
    QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
    return STATUS_OK;
}

uint8_t bInternalDataIn(KERNEL_ENTRY* psEntry, uint8_t fSendStatus) {
    if (fSendStatus != TRUE) return STATUS_OK;
    return bInternalSendStatus(psEntry, SCSI_STATUS_GOOD, SENSE_NO_SENSE, 0, 0);
}

void InternalDataOut(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = HOST_STATE_DATA_RECEIVED;
    QueueDataReceived(psEntry->wIndex);
}

}  // namespace fw
