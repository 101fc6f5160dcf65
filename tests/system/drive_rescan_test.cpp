// The drive table rebuilt from discovery on a whole controller: every drive
// is read once, qualified by its capacity and block size, its mode pages set
// as the controller wants them; a rescan follows drives in and out.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "harness/dispatch_board.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kRunLimitNs = 600'000'000'000ull;

class DriveRescanTest : public ::testing::Test {
protected:
    void Boot() {
        board = std::make_unique<sim::Board>();
        board->sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(*board)) << board->ConsoleText();
        WaitForTable();
    }
    // Until no rebuild is asked for or running.
    void WaitForTable() {
        board->RunUntil(
            [] {
                return fw::dGetDriveTableChangeCount() != 0 && fw::fIsDriveRescanInProgress() != fw::TRUE &&
                       fw::fIsDriveRescanRequested() != fw::TRUE;
            },
            kRunLimitNs);
    }
    // Discovery notices the change, then a rescan rebuilds the table.
    void Rescan() {
        board->RunUntil([] { return false; }, 20'000'000'000ull);
        const uint32_t dBefore = fw::dGetDriveTableChangeCount();
        fw::fRequestDriveRescan();
        board->RunUntil([&] { return fw::dGetDriveTableChangeCount() != dBefore && fw::fIsDriveRescanInProgress() != fw::TRUE; },
                        kRunLimitNs);
    }
    static std::vector<unsigned> TabledSlots() {
        std::vector<unsigned> a;
        const fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
        for (uint8_t i = 0; i < ps->bDriveCount; ++i) a.push_back(ps->asDriveInfo[i].bSlotNo);
        return a;
    }
    void InsertDrive(unsigned uSlot, uint64_t lBlocks, uint32_t uBlockSize = 512) {
        sim::DriveConfig d = sim::Chassis::DefaultDriveConfig(uSlot, sim::ChassisOptions());
        d.blocks = lBlocks;
        d.blockSize = uBlockSize;
        chassis.Insert(uSlot, d);
    }
    // The drive's current values of one mode page, header included.
    static Bytes CurrentPage(sim::Drive& d, uint8_t bPage) {
        Bytes ab(255);
        const Bytes cdb{0x1A, 0x08, bPage, 0, 255, 0};
        sim::DriveResult r = d.Execute(cdb, {}, ab);
        if (r.status != 0 || r.transferred < 6) return {};
        ab.resize(r.transferred);
        return Bytes(ab.begin() + 4, ab.end());
    }

    sim::Chassis chassis;
    std::unique_ptr<sim::Board> board;
};

TEST_F(DriveRescanTest, StartOfDayTablesEveryDriveWithIdentityCapacityAndSlot) {
    Boot();
    const fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
    ASSERT_EQ(ps->bDriveCount, 8) << board->ConsoleText();
    const fw::SAS_DEVICE_LIST* psDevices = fw::pGetSASDriveInfoList();
    for (uint8_t i = 0; i < ps->bDriveCount; ++i) {
        const fw::DRIVE_INFO& s = ps->asDriveInfo[i];
        EXPECT_EQ(s.bEnclosureNo, 1);
        EXPECT_EQ(s.bSlotNo, i + 1);
        EXPECT_EQ(s.dCapacity, (4u << 21) - 1);
        EXPECT_EQ(s.wBlockSize, 512);
        EXPECT_EQ(std::string(s.acVendorID, 8), "DRIVEVND");
        EXPECT_EQ(std::string(s.acProductID, 10), "SIMDISK 4G");
        EXPECT_EQ(std::string(s.acRevision, 4), "0001");
        EXPECT_EQ(std::string(s.acSerialNo, 8), "M000000" + std::to_string(i + 1));
        EXPECT_EQ(s.bLoopID2, 0xFF);
        EXPECT_EQ(s.bLoopID1, s.bHardIDFromADISC);
        uint8_t bTarget = 0xFF;
        ASSERT_EQ(fw::bGetTargetIdBySASAddress(s.abWWN, &bTarget), fw::STATUS_OK);
        EXPECT_EQ(s.bLoopID1, bTarget);
    }
    (void)psDevices;
    EXPECT_EQ(fw::dGetDriveTableChangeCount(), 1u);
}

TEST_F(DriveRescanTest, ModePagesAreSetOnceAndUnchangeableBitsAreLeftAlone) {
    sim::DriveConfig d = sim::Chassis::DefaultDriveConfig(2, sim::ChassisOptions());
    d.writeCacheChangeable = false;
    chassis.Pull(2);
    chassis.Insert(2, d);
    Boot();
    for (unsigned uSlot : {1u, 2u}) {
        sim::Drive& sDrive = *chassis.DriveAt(uSlot);
        EXPECT_EQ(sDrive.CommandCount(0x15), 1u) << uSlot;
        const Bytes abErrors = CurrentPage(sDrive, 0x01);
        ASSERT_GE(abErrors.size(), 12u);
        EXPECT_EQ(abErrors[2], 0xCC);
        EXPECT_EQ(abErrors[3], 0x14) << "retry count kept";
        EXPECT_EQ(abErrors[10], 0x13);
        EXPECT_EQ(abErrors[11], 0x88);
        const Bytes abExceptions = CurrentPage(sDrive, 0x1C);
        ASSERT_GE(abExceptions.size(), 4u);
        EXPECT_EQ(abExceptions[2], 0x90);
        EXPECT_EQ(abExceptions[3], 0x04);
        // Write cache off, except where the drive does not let it change.
        EXPECT_EQ(CurrentPage(sDrive, 0x08)[2] & 0x04, uSlot == 2 ? 0x04 : 0x00) << uSlot;
    }
    // The drives keep their pages: a controller restarted finds them right.
    board.reset();
    Boot();
    for (unsigned uSlot = 1; uSlot <= 8; ++uSlot) EXPECT_EQ(chassis.DriveAt(uSlot)->CommandCount(0x15), 1u) << uSlot;
    EXPECT_EQ(fw::pGetDriveInfoList()->bDriveCount, 8);
}

TEST_F(DriveRescanTest, ARescanFollowsDrivesInAndOutAndRefusesUnusableOnes) {
    Boot();
    chassis.Pull(3);
    InsertDrive(9, 4ull << 21);                  // a good one
    InsertDrive(10, 4ull << 21, 520);            // formatted for another system
    InsertDrive(11, 1);                          // capacity 0
    InsertDrive(12, 0x100000000ull + 64);        // beyond READ CAPACITY(10)
    const uint64_t lInquiries = chassis.DriveAt(1)->CommandCount(0x12);
    Rescan();
    EXPECT_EQ(TabledSlots(), (std::vector<unsigned>{1, 2, 4, 5, 6, 7, 8, 9}));
    // Start of day, the rescan that discovery's re-applied configuration
    // asks for, and the one asked for here.
    EXPECT_EQ(fw::dGetDriveTableChangeCount(), 3u);
    // The drives refused were still asked.
    EXPECT_GE(chassis.DriveAt(10)->CommandCount(0x25), 1u);
    EXPECT_GE(chassis.DriveAt(11)->CommandCount(0x25), 1u);
    EXPECT_GE(chassis.DriveAt(12)->CommandCount(0x25), 1u);
    // Known drives are carried over, not read again.
    EXPECT_EQ(chassis.DriveAt(1)->CommandCount(0x12), lInquiries);
    EXPECT_EQ(chassis.DriveAt(1)->CommandCount(0x1A), 3u);
}

TEST_F(DriveRescanTest, ADriveThatStaysNotReadyIsSkippedAndTheWalkGoesOn) {
    Boot();
    chassis.DriveAt(3)->SetNotReady(true);
    chassis.Pull(5);
    InsertDrive(5, 4ull << 21);
    Rescan();
    EXPECT_EQ(TabledSlots(), (std::vector<unsigned>{1, 2, 4, 5, 6, 7, 8}));
    // It was asked while its retries lasted, then left out.
    EXPECT_GT(chassis.DriveAt(3)->CommandCount(0x00), 80u);
}

TEST_F(DriveRescanTest, AnEmptyEnclosureGivesAnEmptyTable) {
    chassis.Pull(1);
    for (unsigned u = 2; u <= 8; ++u) chassis.Pull(u);
    Boot();
    EXPECT_EQ(fw::pGetDriveInfoList()->bDriveCount, 0);
    EXPECT_EQ(fw::pGetDriveInfoList()->dUsedBytes, 8u);
    EXPECT_NE(harness::NewestEvent(89), nullptr);
}

}  // namespace
