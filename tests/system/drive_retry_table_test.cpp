// The drive retry table through the whole controller: a drive whose write
// fails on the drive side has its slot entered once, and the ten-second
// walk sends its drive the test and lets the entry go (after the walks it
// was told to skip).
#include <gtest/gtest.h>

#include "host_road.h"
#include "raid/drive_retry_table.h"
#include "sas/sas_device_list.h"

namespace roadtest {
namespace {

class RetryTableRoad : public HostRoad {
protected:
    std::vector<const fw::DRIVE_RETRY_ENTRY*> InUse() const {
        std::vector<const fw::DRIVE_RETRY_ENTRY*> v;
        for (const fw::DRIVE_RETRY_ENTRY& e : fw::psGetDriveRetryTable()->asEntry)
            if (e.fInUse == fw::TRUE) v.push_back(&e);
        return v;
    }
};

TEST_F(RetryTableRoad, AFailedWriteEntersItsSlotOnceUntilTheWalkTestsIt) {
    ASSERT_NO_FATAL_FAILURE(Boot({"r5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    ASSERT_NO_FATAL_FAILURE(Write(0, 64, 1));
    Settle();
    EXPECT_TRUE(InUse().empty());
    const raidref::Place p = DataPlace(3);
    // Two writes of the drive fail (HARDWARE ERROR): retried, entered once.
    chassis->DriveAt(SlotOfMember(p.member))->FailCommand(fw::SCSI_WRITE10, 2);
    fw::SetDriveRetryHoldOff(1);
    ASSERT_NO_FATAL_FAILURE(Write(0, 4, 2));
    Settle();
    const std::vector<const fw::DRIVE_RETRY_ENTRY*> v = InUse();
    ASSERT_EQ(v.size(), 1u);
    uint8_t bTarget = 0;
    ASSERT_EQ(fw::bGetTargetIdByEnclosureSlot(v[0]->bEnclosure, v[0]->bSlot, &bTarget), fw::STATUS_OK);
    uint8_t bEnclosure = 0, bSlot = 0;
    ASSERT_EQ(fw::bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot), fw::STATUS_OK);
    EXPECT_EQ(bSlot, v[0]->bSlot);
    EXPECT_EQ(fw::psGetDriveRetryTable()->asEntry[0].fPending, fw::TRUE);
    // The first walk is skipped, the second tests the drive.
    (void)board->RunFor(fw::DRIVE_RETRY_PERIOD_MS * 1'000'000ull + 1'000'000);
    EXPECT_EQ(InUse().size(), 1u);
    (void)board->RunFor(fw::DRIVE_RETRY_PERIOD_MS * 1'000'000ull);
    EXPECT_TRUE(InUse().empty());
    EXPECT_EQ(fw::psGetDriveRetryTable()->asEntry[0].fPending, fw::FALSE);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(0, 64));
}

}  // namespace
}  // namespace roadtest
