// Firmware downloads through WRITE BUFFER.  This board takes a new image
// over the console only, so a download mode names no buffer it has.
#include "platform/firmware_download.h"

#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_replies.h"

namespace fw {

uint8_t bStartFirmwareDownload(KERNEL_ENTRY* psEntry) {
    AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
    return STATUS_OK;
}

}  // namespace fw
