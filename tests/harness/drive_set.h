// A controller's drive side as start-up leaves it: an enclosure of drives
// behind the board's drive-side controller, the controller brought up and
// the drives discovered, kernel entries and buffer pages ready.  For the
// drive path's tests and its benchmark.
#pragma once

#include <cstdint>

#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/startup.h"
#include "harness/dispatch_board.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_drive.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace harness {

class DriveSet {
public:
    explicit DriveSet(const sim::ChassisOptions& options = sim::ChassisOptions()) : m_chassis(options) {
        ioc().AttachChassis(&m_chassis);
    }
    DriveSet(const DriveSet&) = delete;
    DriveSet& operator=(const DriveSet&) = delete;

    // Start of day of the drive side, on the processor: buffer pages, entry
    // pools, drive tables, the controller's bring-up and discovery.  False
    // when the controller did not come up.
    bool BringUp() {
        fw::SetSystemMemorySize(board().config().memorySize);
        if (fw::InitBufferPages() != fw::STATUS_OK) return false;
        bool fUp = false;
        const sim::StopKind e = board().RunOnCpu([&fUp] {
            fw::InitKernelEntryPools();
            fw::InitDriveTables();
            (void)fw::bAllocateMuxTables();
            fUp = fw::LSI_SAS_DriveIOCBringUp(fw::FALSE) == fw::STATUS_OK;
            if (fUp) fw::InitDriveSideSAS();
        });
        return e == sim::StopKind::Finished && fUp;
    }

    sim::Board& board() { return m_board.board(); }
    DispatchBoard& dispatch() { return m_board; }
    sim::Chassis& chassis() { return m_chassis; }
    sim::SasController& ioc() { return board().sasController(); }
    // The target id the controller gave the drive in a slot.
    uint8_t TargetOfSlot(unsigned uSlot) { return ioc().TargetOf(m_chassis.ConfigAt(uSlot)->sasAddress); }

private:
    sim::Chassis m_chassis;
    DispatchBoard m_board;
};

}  // namespace harness
