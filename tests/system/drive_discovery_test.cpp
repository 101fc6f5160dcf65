// The whole controller booted on an enclosure of drives: start of day finds
// every drive, and a drive pulled from the running controller is noticed
// through the IOC's event and the background discovery.
#include <gtest/gtest.h>

#include <string>

#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "harness/dispatch_board.h"
#include "executive/startup.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

struct DriveCase {
    const char* pszName;
    bool fSata;
    unsigned uDrives;
};

void PrintTo(const DriveCase& c, std::ostream* os) { *os << c.pszName; }

class DriveDiscoveryTest : public ::testing::TestWithParam<DriveCase> {};

TEST_P(DriveDiscoveryTest, StartOfDayListsEveryDriveAndNoticesAPull) {
    const DriveCase& c = GetParam();
    sim::ChassisOptions o;
    o.sata = c.fSata;
    o.drives = c.uDrives;
    sim::Chassis chassis(o);
    sim::Board board;
    board.sasController().AttachChassis(&chassis);
    ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
    const fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
    ASSERT_EQ(ps->bEntryCount, c.uDrives);
    for (uint8_t i = 0; i < ps->bEntryCount; ++i) {
        EXPECT_EQ(ps->asEntry[i].fValid, fw::TRUE);
        EXPECT_EQ(ps->asEntry[i].fSAS, c.fSata ? fw::FALSE : fw::TRUE);
        EXPECT_EQ(ps->asEntry[i].bEnclosure, 1);
    }
    if (c.uDrives == 0) return;
    chassis.Pull(1);
    board.RunUntil([&] { return fw::pGetSASDriveInfoList()->bEntryCount == c.uDrives - 1; }, 30'000'000'000ull);
    EXPECT_EQ(fw::pGetSASDriveInfoList()->bEntryCount, c.uDrives - 1);
}

// Start-up leaves the drive table in its empty form until a rebuild fills
// it: nothing found, every record's ids 0xFF.
TEST(DriveTableAtStartOfDay, IsEmptyAfterBoot) {
    sim::Chassis chassis;
    sim::Board board;
    board.sasController().AttachChassis(&chassis);
    ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
    const fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->dUsedBytes, 8u);
    EXPECT_EQ(ps->bDriveCount, 0);
    EXPECT_EQ(ps->asDriveInfo[0].bLoopID1, 0xFF);
    EXPECT_EQ(ps->asDriveInfo[125].bSlotNo, 0xFF);
    EXPECT_EQ(ps->asDriveInfo[0].fSESEnabled, fw::FALSE);
    EXPECT_EQ(fw::fIsDriveTableFirstBuild(), fw::TRUE);
    ASSERT_NE(fw::pGetDriveFirmwareImageList(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Enclosures, DriveDiscoveryTest,
                         ::testing::Values(DriveCase{"EightSas", false, 8}, DriveCase{"TwelveSata", true, 12},
                                           DriveCase{"Empty", false, 0}),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
