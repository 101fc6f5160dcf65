// The drive side's census of its devices, its idle tracking and the SATA
// option, on the list a discovery made.
#include <gtest/gtest.h>

#include "drive_side_fixture.h"
#include "executive/tick.h"
#include "sas/sas_census.h"
#include "sas/sas_device_list.h"

namespace {

using namespace fw;

class SasCensusTest : public sastest::DriveSideTest {
protected:
    void SetUp() override {
        DriveSideTest::SetUp();
        ASSERT_GE(pGetSASDriveInfoList()->bEntryCount, 3);
    }
    SAS_DEVICE_ENTRY& Entry(uint8_t i) { return pGetSASDriveInfoList()->asEntry[i]; }
    template <typename F>
    void OnCpu(F f) {
        ASSERT_EQ(b.board().RunOnCpu(f), sim::StopKind::Finished);
    }
};

// Direct and proxy entries are counted apart, and only a direct one that had
// a command in the last 4 s is active; one quiet longer with nothing
// outstanding loses its recent-activity flag.  Once a second at most.
TEST_F(SasCensusTest, CountsDirectProxyAndRecentlyActiveEntries) {
    SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
    const uint8_t bCount = ps->bEntryCount;
    for (uint8_t i = 0; i < bCount; ++i) Entry(i).lLastCommandTime = 0;
    Entry(0).bTargetId |= 0x80;
    OnCpu([&] {
        SpinDelayMs(5000);
        Entry(1).lLastCommandTime = lGetTickCount() - 4000;
        Entry(2).lLastCommandTime = lGetTickCount() - 4001;
        Entry(2).wDeviceFlags |= SAS_DEVICE_FLAG_RECENT;
        Entry(2).wOutstanding = 1;
        Entry(1).wDeviceFlags |= SAS_DEVICE_FLAG_RECENT;
        SASDeviceActivityCensus();
    });
    EXPECT_EQ(ps->bActiveCount1, bCount - 1);
    EXPECT_EQ(ps->bActiveCount2, 1);
    EXPECT_EQ(ps->bActiveCount3, 1);
    EXPECT_TRUE(Entry(1).wDeviceFlags & SAS_DEVICE_FLAG_RECENT);
    EXPECT_TRUE(Entry(2).wDeviceFlags & SAS_DEVICE_FLAG_RECENT);
    Entry(2).wOutstanding = 0;
    OnCpu([] { SASDeviceActivityCensus(); });
    EXPECT_TRUE(Entry(2).wDeviceFlags & SAS_DEVICE_FLAG_RECENT);
    OnCpu([] {
        SpinDelayMs(1000);
        SASDeviceActivityCensus();
    });
    EXPECT_FALSE(Entry(2).wDeviceFlags & SAS_DEVICE_FLAG_RECENT);
    EXPECT_FALSE(Entry(1).wDeviceFlags & SAS_DEVICE_FLAG_RECENT);

    uint8_t bTarget = 0;
    EXPECT_EQ(bFindSASTargetByIdentifier(Entry(1).abWWN, &bTarget), STATUS_OK);
    EXPECT_EQ(bTarget, Entry(1).bTargetId);
    const uint8_t abNone[8] = {0x77, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(bFindSASTargetByIdentifier(abNone, &bTarget), 0);
}

// The option applies to a direct SATA drive whose ATA feature byte has bit
// 0 set, and to nothing while it is off.
TEST_F(SasCensusTest, TheSataOptionAppliesToDirectSataDrivesThatOfferIt) {
    SAS_DEVICE_ENTRY& s = Entry(1);
    s.fSAS = FALSE;
    s.bATAFeatures = 0x01;
    EXPECT_EQ(fIsSATAOptionTarget(s.bTargetId), TRUE);
    s.bATAFeatures = 0x02;
    EXPECT_EQ(fIsSATAOptionTarget(s.bTargetId), FALSE);
    s.bATAFeatures = 0x01;
    SetSATAOption(FALSE);
    EXPECT_EQ(fIsSATAOptionTarget(s.bTargetId), FALSE);
    SetSATAOption(TRUE);
    EXPECT_EQ(fIsSATAOptionTarget(Entry(2).bTargetId), FALSE);   // a SAS drive
    Entry(2).fSAS = FALSE;
    Entry(2).bATAFeatures = 0x01;
    Entry(2).bTargetId |= 0x80;
    EXPECT_EQ(fIsSATAOptionTarget(Entry(2).bTargetId), FALSE);   // through the partner
}

// Idle once no direct SATA drive has a command outstanding; the idle flag
// is let go 15 s after it was set.
TEST_F(SasCensusTest, IdleIsHeldFifteenSeconds) {
    Entry(1).fSAS = FALSE;
    Entry(1).wOutstanding = 2;
    Entry(2).wOutstanding = 5;   // a SAS drive: not counted
    uint8_t fBusy = 0, fIdle = 0, fEarly = 0, fLate = 0, fAgain = 0;
    uint16_t wCount = 0;
    OnCpu([&] {
        wCount = wCountSASOutstandingCommands(TRUE);
        fBusy = fCheckSASIdle(TRUE);
        Entry(1).wOutstanding = 0;
        fIdle = fCheckSASIdle(FALSE);
        SpinDelayMs(14000);
        fEarly = fExpireSASIdle();
        SpinDelayMs(1000);
        fLate = fExpireSASIdle();
        fAgain = fExpireSASIdle();
    });
    EXPECT_EQ(wCount, 2);
    EXPECT_EQ(fBusy, FALSE);
    EXPECT_EQ(fIdle, TRUE);
    EXPECT_EQ(fEarly, FALSE);
    EXPECT_EQ(fLate, TRUE);
    EXPECT_EQ(fAgain, FALSE);
}

}  // namespace
