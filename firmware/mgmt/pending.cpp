// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "mgmt/management.h"

#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_replies.h"

namespace fw {

// No management page but the enclosure pages, no MAINTENANCE IN or OUT, buffer ID 0xF2 or data
// services set command is served yet: each is answered as a host asking
// for something this controller does not offer.
namespace {
void Refuse(KERNEL_ENTRY* psEntry, uint8_t bAsc) { AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, bAsc, 0); }
}  // namespace
void AnswerMaintenanceIn(KERNEL_ENTRY* psEntry) { Refuse(psEntry, ASC_INVALID_OPCODE); }
void AnswerMaintenanceOut(KERNEL_ENTRY* psEntry) { Refuse(psEntry, ASC_INVALID_OPCODE); }
uint8_t bReadOtherManagementPage(KERNEL_ENTRY* psEntry) {
    Refuse(psEntry, ASC_INVALID_FIELD_IN_CDB);
    return STATUS_OK;
}
uint8_t bStartManagementBufferWrite(KERNEL_ENTRY* psEntry) {
    Refuse(psEntry, ASC_INVALID_FIELD_IN_CDB);
    return STATUS_OK;
}
uint8_t bStartDataServicesSetCommand(KERNEL_ENTRY* psEntry) {
    Refuse(psEntry, ASC_INVALID_FIELD_IN_CDB);
    return STATUS_OK;
}
void DownloadData(KERNEL_ENTRY*) {}
void ProductionTestDataOut(KERNEL_ENTRY*) {}
// The pages, and with them a capture read through them, are not served.
uint8_t fIsManagementWaitingForCapture() { return FALSE; }
void HandOverDebugCapture(uint8_t) {}

}  // namespace fw
