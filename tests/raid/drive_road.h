// The RAID engine's road to the drives on a board, shared by the RAID tests
// and the road's benchmark: the bring-up of the drive side and of the
// engine's pools and queues, and one pass over the main loop's drive
// services.
#pragma once

#include <cstring>

#include "harness/dispatch_board.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/work_flags.h"
#include "executive/startup.h"
#include "hw/hw.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid/xor_engine.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_drive.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"
#include "target/back_end_completion.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_pool.h"

namespace raidtest {

// A board whose drive-side IOC has an enclosure of memory-backed drives.
struct DriveRoadBoard {
    explicit DriveRoadBoard(const sim::ChassisOptions& options) : chassis(options) {
        b.board().sasController().AttachChassis(&chassis);
        fw::SetSystemMemorySize(b.board().config().memorySize);
    }
    static sim::ChassisOptions Options(bool fSata, unsigned drives) {
        sim::ChassisOptions o;
        o.sata = fSata;
        o.drives = drives;
        return o;
    }
    uint8_t TargetOfSlot(unsigned slot) {
        return b.board().sasController().TargetOf(chassis.ConfigAt(slot)->sasAddress);
    }

    sim::Chassis chassis;
    harness::DispatchBoard b;
};

// On the board's processor; false when the drive-side IOC did not come up.
inline bool BringUpDriveRoad() {
    fw::InitKernelEntryPools();
    fw::InitDriveTables();
    if (fw::LSI_SAS_DriveIOCBringUp(fw::FALSE) != fw::STATUS_OK) return false;
    fw::InitDriveSideSAS();
    // As the main loop starts: the link changes of start of day are not
    // looked at again.
    fw::SetSasDriveWork(fw::FALSE);
    fw::SetSasDiscoveryWork(fw::FALSE);
    fw::InitHostCommandPool();
    fw::InitXorQueues();
    fw::InitBackEndCompletion();
    fw::InitReservedWriteBuffer();
    return true;
}

// A host command as the cache hands it to the RAID engine: READ(16) or
// WRITE(16) of `wBlocks` at rank address `lAddress`.
inline void SetHostTransfer(fw::KERNEL_ENTRY* ps, bool fWrite, uint64_t lAddress, uint16_t wBlocks) {
    uint8_t* pbCdb = fw::pGetCommandCdb(ps);
    std::memset(pbCdb, 0, 16);
    pbCdb[0] = fWrite ? fw::SCSI_WRITE16 : fw::SCSI_READ16;
    fw::PutBe64(pbCdb + 2, lAddress);
    fw::PutBe32(pbCdb + 10, wBlocks);
    ps->lRankAddress = lAddress;
    ps->wBlocks = wBlocks;
}

// One pass over the drive services, as the main loop makes it.
inline void RunDriveServices() {
    fw::HwPoll();
    if (fw::wGetNewCommandCount(fw::PORT_CODE_INITIATOR) != 0) {
        (void)fw::PostKernelQueueEntries(fw::PORT_CODE_INITIATOR);
    }
    while (fw::wGetCommandCompleteCount(fw::PORT_CODE_INITIATOR) != 0) {
        (void)fw::ProcessBackEndCompletion(fw::PORT_CODE_INITIATOR);
    }
    if (fw::fGetXorQueue1Work() == fw::TRUE) fw::ServiceXorCompletions();
    if (fw::wGetBackEndCompletionCount() != 0) fw::ReissueDelayedCommands(fw::PORT_CODE_INITIATOR);
    fw::FailedDriveCommandTask();
}

}  // namespace raidtest
