// Enclosures on a running controller: the own chassis from its own pages,
// every expansion found through its enclosure processor and watched by the
// page cycle, slot lights and slot power carried to the right slot, and
// faults of an enclosure reported once.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/enclosure_table.h"
#include "enclosure/ses_poll.h"
#include "config/config_phase.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "hw/ses.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
constexpr uint8_t kEventSesLevel3 = 91;
constexpr uint8_t kEventCooling = 108;
constexpr uint8_t kEventSupply = 107;

sim::ChassisOptions Options(unsigned expansions) {
    sim::ChassisOptions o;
    o.drives = 8;
    o.driveBytes = 64ull << 20;
    o.expansions = expansions;
    o.expansionDrives = expansions != 0 ? 5 : 0;
    return o;
}

class EnclosureServicesTest : public ::testing::TestWithParam<unsigned> {
protected:
    EnclosureServicesTest() : chassis(Options(GetParam())) {}
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                             600 * kSecond));
        ASSERT_TRUE(RunUntil([] { return fw::bGetSesLevel() == fw::SES_LEVEL_FULL && fw::fIsSesDeviceBusy() != fw::TRUE; },
                             120 * kSecond));
    }
    template <typename P>
    bool RunUntil(P p, uint64_t ns) {
        return board.RunUntil(p, ns) == sim::StopKind::Running && p();
    }
    const fw::DRIVE_INFO* Drive(uint8_t bEnclosure, uint8_t bSlot) {
        fw::DRIVE_INFO* ps = nullptr;
        return fw::fFindDriveByEnclosureSlot(bEnclosure, bSlot, &ps) == fw::TRUE ? ps : nullptr;
    }
    // Runs passes until the enclosure processor shows what is asked.
    bool Settle(const std::function<bool()>& p) { return RunUntil(p, 60 * kSecond); }

    sim::Chassis chassis;
    sim::Board board;
};

TEST_P(EnclosureServicesTest, EveryEnclosureOnceWithItsIdentifierAndInstalledCount) {
    const unsigned expansions = GetParam();
    const fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->dTotalNoOfEnclosures, 1u + expansions);
    // The first pass reads each expansion's list of pages.
    ASSERT_TRUE(Settle([&] {
        for (unsigned n = 1; n <= expansions; ++n)
            if (ps->asEnclosure[n].abSupportedPages[0] != fw::SES_PAGE_SUPPORTED) return false;
        return true;
    }));
    EXPECT_EQ(harness::CountEvents(kEventSesLevel3), 1u);
    // The own chassis speaks for itself: its processor is never asked.
    EXPECT_EQ(chassis.processor(0).controlPages(fw::SES_PAGE_STATUS), 0u);
    EXPECT_EQ(ps->asEnclosure[0].bNoOfDrives, 12);
    for (unsigned n = 1; n <= expansions; ++n) {
        const fw::ENCLOSURE& s = ps->asEnclosure[n];
        uint64_t id = 0;
        for (int i = 0; i < 8; ++i) id = id << 8 | s.abEclosureIdentifier[i];
        EXPECT_EQ(id, chassis.processor(n).identifier()) << n;
        EXPECT_EQ(s.bNoOfDrives, 12) << n;
        EXPECT_EQ(s.bNoOfDrivesPresent, 5) << n;
        EXPECT_EQ(fw::bEnclosureNumberOfIndex(static_cast<uint8_t>(n)), n + 1);
    }
    // A second discovery finds the same enclosures and reports nothing new.
    fw::SetSasDriveWork(fw::TRUE);
    ASSERT_TRUE(RunUntil([] { return fw::fIsSesDeviceBusy() == fw::TRUE || fw::bGetConfigPhase() != 0; }, 30 * kSecond) ||
                true);
    ASSERT_TRUE(RunUntil([] { return fw::bGetConfigPhase() == 0 && fw::bGetSesLevel() == fw::SES_LEVEL_FULL &&
                                     fw::fIsSesDeviceBusy() != fw::TRUE; },
                         300 * kSecond));
    EXPECT_EQ(ps->dTotalNoOfEnclosures, 1u + expansions);
    EXPECT_EQ(harness::CountEvents(kEventSesLevel3), 1u);
}

INSTANTIATE_TEST_SUITE_P(Expansions, EnclosureServicesTest, ::testing::Values(0u, 3u));

class ExpansionTest : public EnclosureServicesTest {};

TEST_P(ExpansionTest, SlotRequestsReachTheirSlotAndNoOther) {
    const uint8_t bEnclosure = 2;
    sim::EnclosureProcessor& p = chassis.processor(1);
    for (uint8_t bSlot : {1, 3, 5}) {
        const fw::DRIVE_INFO* ps = Drive(bEnclosure, bSlot);
        ASSERT_NE(ps, nullptr) << int(bSlot);
        fw::MarkDriveLocate(1, ps->bLoopID1);
        ASSERT_TRUE(Settle([&] { return p.Indicators(bSlot).identify; })) << int(bSlot);
        for (unsigned k = 1; k <= 12; ++k) {
            if (k == bSlot) continue;
            EXPECT_FALSE(p.Indicators(k).identify) << int(bSlot) << " lit " << k;
        }
        fw::ClearDriveLocate(1, ps->bLoopID1);
        ASSERT_TRUE(Settle([&] { return !p.Indicators(bSlot).identify; })) << int(bSlot);
    }
    // An installed slot without a usable drive shows its fault; the
    // others not.
    for (unsigned k = 1; k <= 5; ++k) EXPECT_FALSE(p.Indicators(k).fault) << k;

    // Slot power: off and back on by its command.
    ASSERT_EQ(fw::bQueueEnclosureSlotControl(2, 4, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0), fw::STATUS_OK);
    ASSERT_TRUE(Settle([&] { return !chassis.SlotPowered(12 + 4); }));
    EXPECT_TRUE(chassis.SlotPowered(12 + 3));
    ASSERT_EQ(fw::bQueueEnclosureSlotControl(2, 4, fw::SLOT_STATE_ON, fw::SLOT_REQUEST_STEADY, 0), fw::STATUS_OK);
    ASSERT_TRUE(Settle([&] { return chassis.SlotPowered(12 + 4); }));
    // Bad requests are refused and change nothing.
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(9, 1, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0), 0);
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(8, 15, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_STEADY, 0), 0);
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(2, 4, 3, fw::SLOT_REQUEST_STEADY, 0), 0);
    EXPECT_EQ(fw::bQueueEnclosureSlotControl(2, 4, fw::SLOT_STATE_OFF, fw::SLOT_REQUEST_TIMED, 0), 0);
}

TEST_P(ExpansionTest, AStoppedFanAndAFailedSupplyAreReportedOnce) {
    sim::EnclosureProcessor& p = chassis.processor(1);
    p.SetFanStopped(1, true);
    ASSERT_TRUE(Settle([] { return harness::CountEvents(kEventCooling) == 1; }));
    p.SetSupplyFault(0, true);
    ASSERT_TRUE(Settle([] { return harness::CountEvents(kEventSupply) == 1; }));
    board.RunFor(60 * kSecond);
    EXPECT_EQ(harness::CountEvents(kEventCooling), 1u);
    EXPECT_EQ(harness::CountEvents(kEventSupply), 1u);
    // The screen shows them on the expansion's lines.
    const size_t at = board.ConsoleText().size();
    fw::ShowEnclosureInformation();
    board.RunFor(kSecond);
    const std::string screen = board.ConsoleText().substr(at);
    EXPECT_NE(screen.find("Number of Enclosures  :  2\r\n"), std::string::npos) << screen;
    const size_t second = screen.find("Enclosure Number      :  2\r\n");
    ASSERT_NE(second, std::string::npos) << screen;
    EXPECT_NE(screen.find("Drives Present        : 05\r\nPower Supply 00       : Critical  \r\n"
                          "Power Supply 01       : OK        \r\nCooling Fan 00        : OK        " "             \r\n"
                          "Cooling Fan 01        : Critical  " "             \r\n"
                          "Temperature Sensor 00 : OK | Current Temperature :30 | Status :  OK       \r\n",
                          second),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("Alarm 01, 0000        : The alarm is OFF.\r\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\r\nEnd Of Enclosure Information\r\n\r\n"), std::string::npos) << screen;
}

TEST_P(ExpansionTest, ASilentProcessorIsCountedRediscoveredAndReportedOnce) {
    chassis.processor(1).SetSilent(true);
    ASSERT_TRUE(RunUntil([] { return fw::dGetSesPageFailures() > 0; }, 600 * kSecond));
    // Past the limit the drive side is asked to look again: discovery then
    // misses the enclosure and services go down to level 1.
    ASSERT_TRUE(RunUntil([] { return fw::bGetSesLevel() == fw::SES_LEVEL_NONE; }, 3600 * kSecond));
    // Its few retries spent, the controller reports level 1 once and waits
    // for the next change of the drive side.
    ASSERT_TRUE(RunUntil([] { return fw::dGetSesRetryBudget() == 0 && fw::bGetConfigPhase() == 0; }, 600 * kSecond));
    board.RunFor(120 * kSecond);
    EXPECT_EQ(harness::CountEvents(89), 1u);
    EXPECT_EQ(fw::bGetSesLevel(), fw::SES_LEVEL_NONE);
    const size_t at = board.ConsoleText().size();
    fw::ShowEnclosureInformation();
    board.RunFor(kSecond);
    EXPECT_EQ(board.ConsoleText().substr(at),
              "SES access is not available.\r\n\r\nEnd Of Enclosure Information\r\n\r\n");
}

TEST_P(ExpansionTest, BadPagesTouchNothingOutsideTheirCopies) {
    sim::EnclosureProcessor& p = chassis.processor(1);
    const uint32_t dBefore = fw::dGetSesRejectedPages();
    // Another page's code, then a page whose length runs far past what a
    // copy holds.
    p.ServeOnce(fw::SES_PAGE_SUPPORTED, {fw::SES_PAGE_STATUS, 0, 0, 4, 0, 0, 0, 0});
    std::vector<uint8_t> big(760, 0x5A);
    big[0] = fw::SES_PAGE_DESCRIPTOR;
    big[2] = 0xFF;
    big[3] = 0xFF;
    p.ServeOnce(fw::SES_PAGE_DESCRIPTOR, big);
    fw::RequestEnclosureStatusUpdate(fw::TRUE);
    ASSERT_TRUE(Settle([&] { return fw::dGetSesRejectedPages() > dBefore; }));
    board.RunFor(30 * kSecond);
    const fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    // The supported list of the enclosure is the processor's, the next
    // enclosure's record untouched.
    EXPECT_EQ(ps->asEnclosure[1].abSupportedPages[0], fw::SES_PAGE_SUPPORTED);
    EXPECT_EQ(ps->asEnclosure[2].bNoOfDrivePath, 0);
}

INSTANTIATE_TEST_SUITE_P(OneExpansion, ExpansionTest, ::testing::Values(1u));

}  // namespace
