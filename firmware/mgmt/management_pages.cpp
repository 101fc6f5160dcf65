// Management page reads: the page the buffer ID names.
#include "mgmt/management.h"

#include "enclosure/aux_status_record.h"
#include "enclosure/ses_host_reads.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/command_replies.h"

namespace fw {

uint8_t bReadManagementPage(KERNEL_ENTRY* psEntry) {
    constexpr uint8_t BUFFER_ID_BYTE = 2;
    uint8_t bResult;
    switch (pGetCommandCdb(psEntry)[BUFFER_ID_BYTE]) {
    case MGMT_PAGE_ENCLOSURE_SES_PAGE: bResult = bHostReadSesPage(psEntry); break;
    case MGMT_PAGE_ENCLOSURE_OF_DRIVE: bResult = bHostReadEnclosurePage(psEntry); break;
    case MGMT_PAGE_AUX_STATUS_RECORD: bResult = bHostReadAuxStatusRecord(psEntry); break;
    default: return bReadOtherManagementPage(psEntry);
    }
    // A page that cannot be given is the host asking for something that is
    // not there.
    if (bResult == FALSE) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    return bResult;
}

}  // namespace fw
