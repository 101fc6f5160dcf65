// The management set-command dispatch.
#include "target/management_dispatch.h"

#include <algorithm>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "mgmt/management_commands.h"
#include "target/buffer_commands.h"
#include "target/command_access.h"
#include "target/scsi_status.h"

namespace fw {

namespace {

constexpr uint8_t MODE_SET_COMMAND = 1;

}  // namespace

void DispatchManagementSetCommand() {
    KERNEL_ENTRY* ps = psGetDeferredWriteBuffer();
    const uint8_t* pbCdb = ps == nullptr ? nullptr : pGetCommandCdb(ps);
    if (pbCdb == nullptr || (pbCdb[1] & 0x0F) != MODE_SET_COMMAND) return;
    if (bCheckManagementSignature() != STATUS_OK) {
        SetMgmtCommandActive(FALSE);
        SetHostCommandHold(FALSE);
        return;
    }
    const MGMT_COMMAND_ROW* psRow = psFindManagementCommand(pbCdb[2]);
    // The CDB check admits no code without a handler: should one come this
    // far all the same, it is answered, never left without a status.
    if (psRow == nullptr) {
        FinishManagementCommand(MGMT_INVALID_CDB);
        return;
    }
    uint32_t dLength = dGetBe24(pbCdb + 6);
    if (fIsFibreHostCommand(ps) == TRUE) dLength = std::min(dLength, dGetCommandExpectedLength(ps));
    // A host that sent less than the block the command reads.
    if (dLength < MGMT_SIGNATURE_BYTES + psRow->wBlockBytes) {
        FinishManagementCommand(MGMT_INVALID_PARAMETERS);
        return;
    }
    const MGMT_REQUEST r = {ps, pbCdb, static_cast<const uint8_t*>(pBufferHandleToPointer(ps->dBufferHandle)), dLength,
                            pbCdb[2]};
    const uint8_t bAnswer = psRow->pfHandler(r);
    if (bAnswer != MGMT_ANSWER_LATER) FinishManagementCommand(bAnswer);
}

void FinishMgmtDataOutGood() {
    SetMgmtCommandActive(FALSE);
    KERNEL_ENTRY* ps = psGetDeferredWriteBuffer();
    if (ps != nullptr) (void)SendScsiStatus(ps, SCSI_STATUS_GOOD, 0, 0);
}

uint8_t bCheckConfigImageHeader(const CONFIG_IMAGE* psImage) {
    const CONFIG_HEADER& h = psImage->sHeader;
    // Every field is tested, whatever the earlier ones gave.
    bool fValid = h.dImageSize == CONFIG_IMAGE_SIZE;
    fValid = (h.dVersion == CONFIG_VERSION) && fValid;
    fValid = (h.dMagic == CONFIG_MAGIC) && fValid;
    fValid = (h.wRankCount <= MAX_RANKS) && fValid;
    fValid = (h.wLdCount <= MAX_LDS) && fValid;
    return fValid ? STATUS_OK : 0;
}

void FailManagementCommandOnAbort() { FinishManagementCommand(MGMT_NOT_READY); }

}  // namespace fw
