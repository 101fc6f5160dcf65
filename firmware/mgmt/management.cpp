#include "mgmt/management.h"

#include "executive/types.h"
#include "hw/scsi.h"
#include "target/host_command_codes.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

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
// answered as unsupported operation codes, and no WRITE BUFFER carries a
// management action.
namespace {
void AnswerMaintenance(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0);
    DecPortNewCommands(psEntry->bPortCode);
}
}  // namespace
void AnswerMaintenanceIn(KERNEL_ENTRY* psEntry) { AnswerMaintenance(psEntry); }
void AnswerMaintenanceOut(KERNEL_ENTRY* psEntry) { AnswerMaintenance(psEntry); }
void EndManagementAction(KERNEL_ENTRY*) {}

}  // namespace fw
