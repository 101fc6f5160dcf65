// Drive pass-through commands on the host command path.
#include "target/drive_pass_through.h"

#include <cstring>

#include "config/config_db.h"
#include "config/config_phase.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"
#include "sas/sas_scsi_path.h"
#include "target/command_access.h"
#include "target/dispatcher.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t COMMAND_TYPE_PASS_THROUGH = 'z';
constexpr uint16_t PASS_THROUGH_TIMEOUT = 30;
constexpr uint8_t PASS_THROUGH_CDB_LENGTH = 16;

uint8_t bPassThroughPortCode() {
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_SAS_TARGET: return PORT_CODE_SAS_HOST_1;
    case HOST_INTERFACE_SAS: return PORT_CODE_FC_TABLE_1;
    default: return PORT_CODE_FC_HOST_1;
    }
}

// The drive's answer becomes the mother's three status bytes; the mother
// ends without a status to any host.
void FinishPassThrough(KERNEL_ENTRY* psMother, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    HOST_COMMAND_FIELDS* ps = pHostFields(psMother);
    ps->bSenseKey = bKey;
    ps->bAsc = bAsc;
    ps->bAscq = bAscq;
    APMDriveCommandComplete(psMother);
    MarkFinishedWithoutStatus(psMother);
    QueueCommandComplete(psMother->bPortCode, psMother->wIndex);
}

void PassThroughDone(KERNEL_ENTRY* psChild) {
    KERNEL_ENTRY* psMother = psChild->psLink;
    const SAS_ENTRY_FIELDS* ps = psSasFields(psChild);
    const bool fGood = fPhaseDriveCommandGood(psChild) == TRUE;
    // A check condition without sense, or a command that never reached the
    // drive, still reads as a failure.
    const uint8_t bKey = fGood ? SENSE_NO_SENSE : (ps->bSenseKey != 0 ? ps->bSenseKey : SENSE_HARDWARE_ERROR);
    const uint8_t bAsc = fGood ? 0 : ps->bAsc;
    const uint8_t bAscq = fGood ? 0 : ps->bAscq;
    FreeKernelEntries(psChild);
    FinishPassThrough(psMother, bKey, bAsc, bAscq);
}

}  // namespace

uint8_t bQueueDrivePassThrough(uint8_t bEnclosure, uint8_t bSlot, const uint8_t (&abInner)[PASS_THROUGH_INNER_LENGTH],
                               KERNEL_ENTRY* psRequest) {
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    const uint8_t bPortCode = bPassThroughPortCode();
    if (bAllocTargetEntries(bPortCode, 1, &ps, &wIndex, FALSE) != STATUS_OK) return STATUS_RETRY;
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    ps->bPortCode = bPortCode;
    ps->bPrimaryState = HOST_STATE_NEW_COMMAND;
    ps->bCommandType = COMMAND_TYPE_PASS_THROUGH;
    ps->psLink = psRequest;
    ps->dStartTick = dGetCoarseTick();
    ps->lArrivalMs = lGetTickCount();
    uint8_t* pbCdb = pGetCommandCdb(ps);
    std::memset(pbCdb, 0, PASS_THROUGH_CDB_LENGTH);
    pbCdb[0] = SCSI_MAINTENANCE_IN;
    pbCdb[1] = DRIVE_PASS_THROUGH_SERVICE_ACTION;
    pbCdb[PASS_THROUGH_ENCLOSURE_BYTE] = bEnclosure;
    pbCdb[PASS_THROUGH_SLOT_BYTE] = bSlot;
    std::memcpy(pbCdb + PASS_THROUGH_INNER_BYTE, abInner, PASS_THROUGH_INNER_LENGTH);
    QueueNewCommand(bPortCode, wIndex);
    return STATUS_OK;
}

KERNEL_ENTRY* psGetPassThroughRequest(const KERNEL_ENTRY* psEntry) { return psEntry->psLink; }

uint8_t fIsDrivePassThrough(const KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    return ToFlag(psEntry->bCommandType == COMMAND_TYPE_PASS_THROUGH && pbCdb != nullptr &&
                  pbCdb[0] == SCSI_MAINTENANCE_IN && (pbCdb[1] & 0x1F) == DRIVE_PASS_THROUGH_SERVICE_ACTION);
}

uint8_t bStartDrivePassThrough(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    DRIVE_INFO* psDrive = nullptr;
    if (fFindDriveByEnclosureSlot(pbCdb[PASS_THROUGH_ENCLOSURE_BYTE], pbCdb[PASS_THROUGH_SLOT_BYTE], &psDrive) != TRUE) {
        // The drive left the position after the command was made.
        DecPortNewCommands(psEntry->bPortCode);
        psEntry->bPrimaryState = HOST_STATE_DRIVE_PASS_THROUGH;
        FinishPassThrough(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0);
        return STATUS_OK;
    }
    KERNEL_ENTRY* psChild = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &psChild) != STATUS_OK) {
        PutBackNewCommand(psEntry);
        return STATUS_OK;
    }
    uint8_t abCdb[10] = {};
    std::memcpy(abCdb, pbCdb + PASS_THROUGH_INNER_BYTE, PASS_THROUGH_INNER_LENGTH);
    BuildDriveCommand(psChild, PORT_CODE_INITIATOR, psDrive->bLoopID1, PASS_THROUGH_TIMEOUT, DRIVE_COMMAND_NO_DATA, 0, 0,
                      0, abCdb, COMMAND_TYPE_PASS_THROUGH);
    psChild->bRetryCount = 0;
    // Linked, not mothered: the child ends through its own routine, not by
    // counting down a host command.
    psChild->psLink = psEntry;
    if (bQueuePhaseDriveCommand(psChild, PassThroughDone, FALSE) != STATUS_OK) {
        FreeKernelEntries(psChild);
        PutBackNewCommand(psEntry);
        return STATUS_OK;
    }
    DecPortNewCommands(psEntry->bPortCode);
    psEntry->bPrimaryState = HOST_STATE_DRIVE_PASS_THROUGH;
    return STATUS_OK;
}

}  // namespace fw
