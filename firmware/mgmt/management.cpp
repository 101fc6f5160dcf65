#include "mgmt/management.h"

#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_replies.h"

namespace fw {

namespace {
// Offset of the next byte a management page read hands out, and the count of
// configuration changes a management client has not seen yet.
uint32_t s_dBufferOffset;
uint32_t s_dChangeCounter;
}  // namespace

void ResetManagementBufferPointer() { s_dBufferOffset = 0; }
void ClearManagementChangeCounter() { s_dChangeCounter = 0; }

// No management command set on this controller: MAINTENANCE IN and OUT are
// answered as unsupported operation codes, no buffer ID names a management
// page and no WRITE BUFFER carries a management action.
namespace {
void Refuse(KERNEL_ENTRY* psEntry, uint8_t bAsc) { AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, bAsc, 0); }
}  // namespace
void AnswerMaintenanceIn(KERNEL_ENTRY* psEntry) { Refuse(psEntry, ASC_INVALID_OPCODE); }
void AnswerMaintenanceOut(KERNEL_ENTRY* psEntry) { Refuse(psEntry, ASC_INVALID_OPCODE); }
uint8_t bReadManagementPage(KERNEL_ENTRY* psEntry) {
    Refuse(psEntry, ASC_INVALID_FIELD_IN_CDB);
    return STATUS_OK;
}
uint8_t bStartManagementWriteBuffer(KERNEL_ENTRY* psEntry) {
    Refuse(psEntry, ASC_INVALID_FIELD_IN_CDB);
    return STATUS_OK;
}
void EndManagementAction(KERNEL_ENTRY*) {}

}  // namespace fw
