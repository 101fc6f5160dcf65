// An array member failed on request (the console's Drive Fail, the
// management command): an internal entry handed to the failed-drive task as
// a command the drive side gave up, which takes the member out of its array
// as it takes out one whose commands failed, and only when the array can
// lose it.
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "raid/child_commands.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

constexpr uint8_t MEMBER_FAILURE_OPCODE = 0x8A;
// What the task records as the failure's sense.
constexpr uint8_t REQUEST_SENSE_KEY = 9;
constexpr uint8_t REQUEST_ASC = 0x60;
constexpr uint8_t REQUEST_ASCQ = 0;

}  // namespace

uint8_t bStartMemberDriveCommand(uint8_t bRank, uint8_t bMember) {
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &ps) != STATUS_OK || ps == nullptr) return STATUS_RETRY;
    const uint8_t bDrive = bRank < bGetRankCount() && bMember < bGetRankDriveCount(bRank)
                               ? bGetRankMemberDrive(bRank, bMember)
                               : NO_DRIVE;
    if (bDrive == NO_DRIVE) {
        FreeKernelEntries(ps);
        return 0;
    }
    ps->bPortCode = PORT_CODE_INITIATOR;
    ps->bCommandType = CT_MEMBER_FAILURE_REQUEST;
    ps->abCdb[0] = MEMBER_FAILURE_OPCODE;
    ps->bRank = bRank;
    ps->bMember = bMember;
    ps->wRunLength = 1;
    ps->wTargetId = bDrive;
    SAS_ENTRY_FIELDS* psSas = psSasFields(ps);
    psSas->bSenseKey = REQUEST_SENSE_KEY;
    psSas->bAsc = REQUEST_ASC;
    psSas->bAscq = REQUEST_ASCQ;
    ps->bPrimaryState = PS_PARKED_5B;
    RequestHostChipService();
    return STATUS_OK;
}

}  // namespace fw
