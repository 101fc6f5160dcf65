// Drive locate on a running controller: TEST UNIT READY after TEST UNIT
// READY to one drive until the deadline, a stop on failure, nothing when no
// entry is free.
#include <gtest/gtest.h>

#include <vector>

#include "config/drive_locate.h"
#include "harness/dispatch_board.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "hw/scsi.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"
#include "harness/config_builder.h"

namespace {

class DriveLocateTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
        const fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
        for (uint8_t i = 0; i < ps->bEntryCount; ++i)
            if (ps->asEntry[i].bSlot == 3) m_bTarget = ps->asEntry[i].bTargetId;
        ASSERT_NE(m_bTarget, 0xFF);
        m_wEntries = fw::wGetKernelEntriesUsed();
    }
    uint64_t Turs() { return chassis.DriveAt(3)->CommandCount(fw::SCSI_TEST_UNIT_READY); }
    bool RunUntilEnded(uint64_t ns) {
        const uint16_t w = m_wEntries;
        return board.RunUntil([w] { return fw::wGetKernelEntriesUsed() == w; }, ns) == sim::StopKind::Running &&
               fw::wGetKernelEntriesUsed() == w;
    }

    sim::Chassis chassis;
    sim::Board board;
    cfgbuild::Builder builder{board};
    uint8_t m_bTarget = 0xFF;
    uint16_t m_wEntries = 0;
};

TEST_F(DriveLocateTest, ALocateOfNoSecondsRunsUntilTheNextCoarseTickHasPassed) {
    const uint64_t lTurs = Turs();
    const uint32_t dStart = fw::dGetCoarseTick();
    fw::SendDriveLocateCommand(0, m_bTarget, 0);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), m_wEntries + 1);
    ASSERT_TRUE(RunUntilEnded(5'000'000'000ull));
    EXPECT_GT(fw::dGetCoarseTick(), dStart + 1);
    EXPECT_LE(fw::dGetCoarseTick(), dStart + 3);
    EXPECT_GT(Turs(), lTurs + 10);
    // Over: the drive hears no more of it.
    const uint64_t lAfter = Turs();
    board.RunFor(100'000'000ull);
    EXPECT_EQ(Turs(), lAfter);
}

TEST_F(DriveLocateTest, AFailedCommandEndsTheLocateEarly) {
    fw::SendDriveLocateCommand(0, m_bTarget, 60);
    board.RunFor(50'000'000ull);
    chassis.DriveAt(3)->FailCommand(fw::SCSI_TEST_UNIT_READY, 1);
    const uint32_t dStart = fw::dGetCoarseTick();
    ASSERT_TRUE(RunUntilEnded(2'000'000'000ull));
    EXPECT_LE(fw::dGetCoarseTick(), dStart + 1);
}

TEST_F(DriveLocateTest, WithNoFreeEntryTheRequestIsDropped) {
    std::vector<fw::KERNEL_ENTRY*> aps;
    for (fw::KERNEL_ENTRY* ps; fw::bAllocKernelEntries(0, 1, &ps) == fw::STATUS_OK;) aps.push_back(ps);
    const uint64_t lTurs = Turs();
    fw::SendDriveLocateCommand(0, m_bTarget, 5);
    for (fw::KERNEL_ENTRY* ps : aps) fw::FreeKernelEntries(ps);
    board.RunFor(100'000'000ull);
    EXPECT_EQ(Turs(), lTurs);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), m_wEntries);
}

}  // namespace
