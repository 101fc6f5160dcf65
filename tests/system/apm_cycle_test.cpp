// The level-1 cycle on a controller with a RAID 5 array, two spares and two
// unused drives, its settings saved through an edit: the spares and unused
// drives are parked, on New Year's Eve of a leap year the daily cycle at
// midnight spins them up, verifies 4096 blocks on each, and parks them
// again (events 150 and 151); a bad block the verify meets is reassigned
// and written anew; a spare whose self-test fails meanwhile is failed
// (event 29) and the failure is on the drives after a restart.
#include <gtest/gtest.h>

#include <cstring>

#include "config/config_image.h"
#include "config/drive_tables.h"
#include "enclosure/drive_table.h"
#include "console/console_board.h"
#include "enclosure/drive_spin.h"
#include "enclosure/power_management.h"
#include "eventlog/event_log.h"
#include "executive/background_process.h"
#include "executive/date_time.h"
#include "executive/types.h"
#include "executive/rtc.h"
#include "executive/tick.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "sim/drive.h"
#include "sim/fc_fabric.h"
#include "sim/isp_chip.h"
#include "sim/rtc.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
constexpr uint64_t kMinute = 60 * kSecond;
constexpr uint8_t kTestStarted = 150;
constexpr uint8_t kTestFinished = 151;
constexpr uint8_t kSelfTestFailed = 29;
constexpr uint8_t kBlockReassigned = 113;
constexpr unsigned kSpares[] = {5, 6};
constexpr unsigned kUnused[] = {7, 8};

sim::ChassisOptions Chassis() {
    sim::ChassisOptions o;
    o.spinUpNs = 2 * kSecond;
    o.driveBytes = 1ull << 30;
    return o;
}

class ApmCycle : public ::testing::Test {
protected:
    ApmCycle() : c(Chassis()) {}
    void SetUp() override {
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            if (sim::IspChip* p = sim::FindIspChip(c.board, chip)) p->AttachFabric(fabric);
        }
        c.Boot();
        cfgbuild::Builder b(c.board);
        ASSERT_TRUE(b.OpenEdit());
        ASSERT_EQ(b.CreateArray({fw::RAID_LEVEL_5, {1, 2, 3, 4}}), fw::STATUS_OK);
        ASSERT_EQ(cfgbuild::Builder::CreateLd(1), fw::STATUS_OK);
        for (unsigned s : kSpares) ASSERT_EQ(b.AddGlobalSpare(s), fw::STATUS_OK);
        // Spares and unused drives parked and test-cycled, failed drives
        // parked; daily at midnight.
        fw::CONFIG_IMAGE* ps = fw::pGetScratchConfigImage();
        const uint8_t abLevel1[7] = {fw::APM_L1_TEST_SPARES | fw::APM_L1_TEST_UNUSED | fw::APM_L1_SPIN_DOWN_FAILED,
                                     0, fw::APM_CYCLE_DAILY, 0, 0, 0, 0};
        std::memcpy(ps->abPowerSettings, abLevel1, sizeof abLevel1);
        ps->sHeader.fPowerManagementSet = fw::TRUE;
        ASSERT_TRUE(b.Commit());
        // The last minutes of a leap year, on the board's clock and in the
        // calendar the firmware last read from it.
        c.board.rtc().Set({2024, 12, 31, 23, 59, 40});
        *fw::psTimeDisplay = {2024, 12, 31, 3, 23, 59, 40};
        fw::SetCalendarReference(fw::lGetTickCount());
        // The first parking waits six minutes after a start: not what this
        // test is about.
        uint16_t wJob = 0;
        ASSERT_EQ(fw::fFindBackgroundProcessOfType(fw::APM_L1_JOB_TYPE, &wJob), fw::TRUE);
        ASSERT_EQ(fw::bSetBackgroundProcessDelay(wJob, 0, 1, 0, 0, 0), fw::STATUS_OK);
    }
    bool Parked(std::initializer_list<unsigned> slots) {
        for (unsigned s : slots)
            if (!c.chassis.DriveAt(s)->Parked()) return false;
        return true;
    }
    bool AllParked() { return Parked({5, 6, 7, 8}); }
    uint64_t Verifies(unsigned s) { return c.chassis.DriveAt(s)->CommandCount(fw::SCSI_VERIFY10); }
    sim::FcFabric fabric;
    consoletest::ConsoleBoard c;
};

TEST_F(ApmCycle, SparesAndUnusedDrivesAreParkedTestedOverTheYearsEndAndParkedAgain) {
    ASSERT_EQ(fw::wGetAPMOptions(), 26);
    c.board.RunUntil([this] { return AllParked(); }, kMinute);
    ASSERT_TRUE(AllParked());
    EXPECT_FALSE(Parked({1})) << "an array member parked by level 1";
    EXPECT_EQ(fw::bGetDriveAPMState(1, 5), fw::DRIVE_APM_SPUN_DOWN);
    uint32_t d = 0, h = 0, m = 0, s = 0;
    fw::GetTimeToNextTestCycle(&d, &h, &m, &s);
    EXPECT_EQ(d, 0u);
    EXPECT_EQ(h, 0u);
    EXPECT_LE(m, 1u);
    c.chassis.DriveAt(6)->FailSelfTests(true);
    // A bad block where unused drive 7's verify will run: the verify mends
    // it as the background verify would, and its level still ends.
    fw::DRIVE_INFO* psDrive7 = nullptr;
    ASSERT_EQ(fw::fFindDriveByEnclosureSlot(1, 7, &psDrive7), fw::TRUE);
    c.chassis.DriveAt(7)->InjectMediaError(psDrive7->dVerifyNextBlock + 100, 1);
    const uint32_t reassignedBefore = harness::CountEvents(kBlockReassigned);

    const uint32_t startedBefore = harness::CountEvents(kTestStarted);
    c.board.RunUntil([&] { return harness::CountEvents(kTestStarted) > startedBefore; }, 3 * kMinute);
    ASSERT_GT(harness::CountEvents(kTestStarted), startedBefore) << c.board.ConsoleText();
    fw::DATE_TIME sNow{};
    fw::GetDateTime(&sNow);
    EXPECT_EQ(sNow.wYear, 2025);
    EXPECT_EQ(sNow.bMonth, 1);
    EXPECT_EQ(sNow.bDay, 1);
    const fw::EVENT_LOG_ENTRY* psStarted = harness::NewestEvent(kTestStarted);
    EXPECT_EQ(psStarted->abArgs[0], 1);
    EXPECT_EQ(psStarted->abArgs[1], 4);
    for (unsigned slot : {5u, 6u, 7u, 8u}) EXPECT_FALSE(c.chassis.DriveAt(slot)->Parked()) << slot;

    // The master is asked for the self-test of a drive under test (its
    // partner's sub-operation 7); the spare fails it.
    uint8_t abCdb[16] = {0x05, 123, 0x20, 7};
    abCdb[12] = 1;
    abCdb[13] = 6;
    uint32_t dReply = 0;
    fw::APM_REQUEST_SENSE sSense{};
    ASSERT_EQ(fw::bServeAPMPartnerRequest(abCdb, nullptr, 0, &dReply, &sSense), fw::STATUS_OK);
    c.board.RunUntil([] { return harness::NewestEvent(kSelfTestFailed) != nullptr; }, kMinute);
    ASSERT_NE(harness::NewestEvent(kSelfTestFailed), nullptr);

    c.board.RunUntil([] { return harness::NewestEvent(kTestFinished) != nullptr; }, 5 * kMinute);
    const fw::EVENT_LOG_ENTRY* psFinished = harness::NewestEvent(kTestFinished);
    ASSERT_NE(psFinished, nullptr);
    EXPECT_EQ(psFinished->abArgs[0], 1);
    EXPECT_EQ(psFinished->abArgs[1], 3) << "the failed spare's test ended with its self-test";
    for (unsigned slot : {5u, 6u, 8u}) EXPECT_EQ(Verifies(slot), 1u) << slot;
    // The range, then its blocks one by one up to the bad one and on.
    EXPECT_EQ(Verifies(7), 1u + 4096u);
    EXPECT_EQ(harness::CountEvents(kBlockReassigned), reassignedBefore + 1);
    EXPECT_EQ(fw::fIsAPMDriveVerifyRunning(), fw::FALSE);
    EXPECT_EQ(Verifies(1), 0u);
    EXPECT_EQ(fw::bCountDrivesUnderTest(), 0);
    c.board.RunUntil([this] { return AllParked(); }, 2 * kMinute);
    EXPECT_TRUE(AllParked());

    // The spare left the spare list for the failed-drive list, on the drives.
    c.Settle();
    uint8_t abWwn[8];
    ASSERT_TRUE(cfgbuild::Builder::SlotWwn(6, abWwn));
    EXPECT_EQ(fw::fIsWwnInFailedDriveList(abWwn, fw::pGetConfigImage()), fw::TRUE);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wSpareCount, 1);
    c.board.ClearConsoleText();
    c.Boot();
    EXPECT_EQ(fw::fIsWwnInFailedDriveList(abWwn, fw::pGetConfigImage()), fw::TRUE);
    EXPECT_EQ(fw::wGetAPMOptions(), 26);
}

}  // namespace
