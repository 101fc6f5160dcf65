// Drive locate.
#include "config/drive_locate.h"

#include <cstring>

#include "config/config_writer.h"
#include "enclosure/drive_management.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/addresses.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t LOCATE_MODE = 1;
// The drive side answered the command itself (no path to the drive).
constexpr uint8_t ANSWERED_BY_DRIVE_SIDE = 184;

}  // namespace

void SendDriveLocateCommand(uint8_t bType, uint8_t bTarget, uint8_t bSeconds) {
    if (bType == LOCATE_BY_ENCLOSURE) {
        LocateEnclosureDevice(bTarget, bSeconds);
        return;
    }
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &ps) != STATUS_OK) return;
    MarkDriveLocate(LOCATE_MODE, bTarget);
    ps->bEntryType = ENTRY_TYPE_COMMAND;
    ps->bCount = 1;
    ps->bMark = 255;
    ps->bStatus = 0;
    ps->dHandle = dAddressWord(ps);
    ps->psMother = ps;
    ps->wTargetId = bTarget;
    ps->wHead10 = 0;
    ps->wControlFlags = 8;   // no data
    ps->wTimeout = 8;
    std::memset(ps->abCdb, 0, sizeof ps->abCdb);   // TEST UNIT READY
    ps->dTotalByteCount = 0;
    ps->wSegmentCount = 0;
    std::memset(ps->asSegment, 0, sizeof ps->asSegment);
    ps->bRetryCount = 1;
    ps->bCommandType = COMMAND_TYPE_DRIVE_LOCATE;
    ps->bPortCode = PORT_CODE_INITIATOR;
    ps->bPrimaryState = PS_NEW_COMMAND;
    ps->bSecondaryState = 0;
    ps->fValid = TRUE;
    ps->lFlags = 0;
    ps->wChildrenOutstanding = 1;
    ps->wTotalChildren = 1;
    CONFIG_COMMAND_FIELDS* psFields = psConfigFields(ps);
    std::memset(psFields, 0, sizeof *psFields);
    psFields->dDeadline = dGetCoarseTick() + 2u * bSeconds + 1u;
    psFields->wStop = 0;
    if (QueueKernelEntry(PORT_CODE_INITIATOR, ps->wIndex) != STATUS_OK) {
        ClearDriveLocate(LOCATE_MODE, bTarget);
        FreeKernelEntries(ps);
    }
}

uint8_t ContinueDriveLocate(KERNEL_ENTRY* ps) {
    const CONFIG_COMMAND_FIELDS* psFields = psConfigFields(ps);
    if (psFields->dDeadline < dGetCoarseTick() || psFields->wStop != 0 || (ps->lFlags & KE_FLAG_ABORTED) != 0) {
        ClearDriveLocate(LOCATE_MODE, static_cast<uint8_t>(ps->wTargetId));
        return TRUE;
    }
    if (ps->bSecondaryState == ANSWERED_BY_DRIVE_SIDE) {
        // Back through the delayed re-issue, to end at the test above.
        ps->lFlags |= KE_FLAG_ABORTED;
        ps->bPrimaryState = CHILD_STATE_DELAYED_REISSUE;
        ps->dStartTick = dGetCoarseTick();
        RequestBackEndCompletion();
        return FALSE;
    }
    ps->bPrimaryState = PS_NEW_COMMAND;
    (void)QueueKernelEntry(ps->bPortCode, ps->wIndex);
    return FALSE;
}

}  // namespace fw
