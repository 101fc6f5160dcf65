// A controller's drive side brought up on a simulated enclosure as start of
// day does it (bring-up, then drive-side initialisation), for the tests of
// the command path, discovery and the device list.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "executive/buffer_pages.h"
#include "harness/drive_set.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "enclosure/drive_table.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"
#include "hw/addresses.h"

namespace sastest {

using namespace fw;

inline sim::ChassisOptions Options(bool fSata = false) {
    sim::ChassisOptions o;
    o.sata = fSata;
    return o;
}

// Builds a READ(10) of one entry spread over `bElements` buffer elements.
inline KERNEL_ENTRY* BuildRead(uint8_t bTarget, uint32_t dLba, uint8_t bElements, uint8_t* pbData, uint32_t dElementBytes) {
    KERNEL_ENTRY* ps = nullptr;
    const uint16_t wEntries = static_cast<uint16_t>(1 + (bElements > 3 ? (bElements - 3 + 6) / 7 : 0));
    if (bAllocKernelEntries(0, wEntries, &ps) != STATUS_OK) return nullptr;
    ps->bPortCode = PORT_CODE_INITIATOR;
    ps->fUsed = TRUE;
    ps->bPrimaryState = PS_AT_CHIP;
    ps->wTargetId = bTarget;
    const uint32_t dBlocks = bElements * dElementBytes / 512;
    const uint8_t abCdb[10] = {0x28, 0, uint8_t(dLba >> 24), uint8_t(dLba >> 16), uint8_t(dLba >> 8), uint8_t(dLba),
                               0, uint8_t(dBlocks >> 8), uint8_t(dBlocks)};
    std::memcpy(ps->abCdb, abCdb, 10);
    ps->wControlFlags = SAS_XFER_IN | SAS_XFER_SGL;
    ps->wSegmentCount = bElements;
    ps->dTotalByteCount = bElements * dElementBytes;
    for (uint8_t i = 0; i < bElements; ++i) {
        *psEntrySegment(ps, i) = {fw::dAddressWord(pbData) + i * dElementBytes,
                                  dElementBytes};
    }
    return ps;
}

class DriveSideTest : public ::testing::Test {
protected:
    explicit DriveSideTest(bool fSata = false) : DriveSideTest(Options(fSata)) {}
    explicit DriveSideTest(const sim::ChassisOptions& sOptions)
        : drives(sOptions), chassis(drives.chassis()), b(drives.dispatch()), ioc(&drives.ioc()) {}

    void SetUp() override {
        ASSERT_TRUE(drives.BringUp());
        ASSERT_EQ(bAllocDataPages(0, 8, &dBuffer), STATUS_OK);
    }

    uint8_t* Buffer() { return static_cast<uint8_t*>(pBufferHandleToPointer(dBuffer)); }

    struct Waited {
        uint8_t bResult, bStatus, bKey, bAsc, bAscq;
    };
    Waited Wait(uint8_t bTarget, std::vector<uint8_t> abCdb, uint32_t dLength, uint8_t fDataIn = TRUE) {
        abCdb.resize(10);
        Waited w{};
        EXPECT_EQ(b.board().RunOnCpu([&] {
            w.bResult = bSendSCSICommandAndWait(bTarget, 0, abCdb.data(), fDataIn, dLength, dBuffer, &w.bStatus, &w.bKey,
                                                &w.bAsc, &w.bAscq);
        }),
                  sim::StopKind::Finished);
        return w;
    }
    // Lets the processor take its interrupts until done or the time is up.
    void PollFor(uint32_t dMs, const std::function<bool()>& fDone = nullptr) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            const uint64_t lEnd = lGetTickCount() + dMs;
            while (lGetTickCount() < lEnd && !(fDone && fDone())) HwPoll();
        }),
                  sim::StopKind::Finished);
    }
    // What fnShow prints on the console, without carriage returns.
    std::string Screen(const std::function<void()>& fnShow) {
        b.board().ClearConsoleText();
        EXPECT_EQ(b.board().RunOnCpu(fnShow), sim::StopKind::Finished);
        std::string s = b.board().ConsoleText();
        s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
        return s;
    }
    uint8_t TargetOfSlot(unsigned slot) { return ioc->TargetOf(chassis.ConfigAt(slot)->sasAddress); }
    void Rediscover() {
        ASSERT_EQ(b.board().RunOnCpu([] {
            bDiscoverSASExpanders(FALSE);
            RebuildSASDeviceList(TRUE);
        }),
                  sim::StopKind::Finished);
    }

    harness::DriveSet drives;
    sim::Chassis& chassis;
    harness::DispatchBoard& b;
    sim::SasController* ioc;
    BUFFER_HANDLE dBuffer = NULL_BUFFER_HANDLE;
};

}  // namespace sastest
