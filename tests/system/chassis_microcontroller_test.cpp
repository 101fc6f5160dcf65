// The chassis microcontroller on a running controller: found and set up,
// its events for bays, supplies and the mute button taken, the indicators,
// the sounder and the fan drives written through it, and the link back on
// its feet after a transaction that never ended.
#include <gtest/gtest.h>

#include "config/config_phase.h"
#include "enclosure/audible_alarm.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/environment_monitor.h"
#include "enclosure/microcontroller_link.h"
#include "enclosure/own_enclosure.h"
#include "harness/dispatch_board.h"
#include "hw/chassis_microcontroller.h"
#include "hw/fpga.h"
#include "hw/ses.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fpga.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
constexpr uint8_t kFan0 = 38, kFan1 = 39, kSupply1 = 36;

sim::ChassisOptions Options() {
    sim::ChassisOptions o;
    o.drives = 8;
    o.driveBytes = 64ull << 20;
    return o;
}

class ChassisMicrocontrollerTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                             600 * kSecond));
        ASSERT_TRUE(RunUntil([] { return fw::fIsMicrocontrollerPresent() == fw::TRUE && fw::dGetFanRpm(1) != 0; },
                             60 * kSecond));
        // The own chassis' first page pass, which waits for the bays'
        // presence, has counted the drives.
        ASSERT_TRUE(RunUntil([] { return fw::pGetEnclosureTable()->asEnclosure[0].bNoOfDrivesPresent == 8; },
                             60 * kSecond));
    }
    template <typename P>
    bool RunUntil(P p, uint64_t ns) {
        return board.RunUntil(p, ns) == sim::StopKind::Running && p();
    }
    static uint8_t Status(uint8_t bElement) { return fw::pGetOwnElement(bElement)[0] & fw::SES_STATUS_CODE_MASK; }
    static bool DriveListed(uint8_t bBay) {
        fw::DRIVE_INFO* ps = nullptr;
        return fw::fFindDriveByEnclosureSlot(1, bBay, &ps) == fw::TRUE;
    }
    sim::ChassisMicrocontroller& Micro() { return board.fpga().microcontroller(); }
    // The two registers of bay k's indicator.
    std::pair<uint8_t, uint8_t> Bay(uint8_t k) {
        const uint8_t r = fw::bMicroIndicatorRegister(static_cast<uint8_t>(k - 1));
        return {Micro().Register(r), Micro().Register(static_cast<uint8_t>(r + 1))};
    }

    sim::Chassis chassis{Options()};
    sim::Board board;
};

// Set up once after its identity; a pulled drive is an event of its bay
// (empty: status 5 and the bay's light code 3), put back it is present
// again; a failing drive lights its own bay and no other.
TEST_F(ChassisMicrocontrollerTest, SetUpThenBaysFollowTheirDrivesAndTheirFaults) {
    EXPECT_EQ(Micro().identityReads, 1u);
    EXPECT_EQ(Micro().Register(0x11), 0x03);
    EXPECT_EQ(Micro().Register(0x14), 0xE0);
    EXPECT_EQ(Micro().Register(fw::MICRO_MUTE_EVENT), fw::MICRO_MUTE_EVENT_ENABLE);
    EXPECT_EQ(Micro().Register(fw::MICRO_BAY9_EVENT + 3), fw::MICRO_EVENT_ENABLE);
    EXPECT_EQ(Micro().Register(fw::MICRO_FAN0_CONTROL), 0x81);
    ASSERT_TRUE(RunUntil([&] { return Bay(9) == std::make_pair<uint8_t, uint8_t>(1, 0); }, 5 * kSecond));

    const sim::DriveConfig sDrive = chassis.DriveAt(3)->config();
    chassis.Pull(3);
    ASSERT_TRUE(RunUntil([] { return Status(3) == fw::SES_CODE_NOT_INSTALLED; }, 5 * kSecond));
    ASSERT_TRUE(RunUntil([&] { return Bay(3) == std::make_pair<uint8_t, uint8_t>(1, 0); }, 5 * kSecond));
    ASSERT_TRUE(RunUntil([] { return !DriveListed(3); }, 5 * kSecond));
    chassis.Insert(3, sDrive);
    ASSERT_TRUE(RunUntil([] { return Status(3) == fw::SES_CODE_OK; }, 5 * kSecond));
    ASSERT_TRUE(RunUntil([&] { return Bay(3) == std::make_pair<uint8_t, uint8_t>(0, 0); }, 5 * kSecond));
    // The drive side looks once the new link has been quiet a while; the
    // faults below are set in the drive table, which that look replaces.
    ASSERT_TRUE(RunUntil([] { return DriveListed(3); }, 10 * kSecond));

    for (uint8_t bBay : {1, 5, 8}) {
        fw::DRIVE_INFO* ps = nullptr;
        ASSERT_EQ(fw::fFindDriveByEnclosureSlot(1, bBay, &ps), fw::TRUE);
        const uint8_t bStatus = ps->bDriveStatus;
        ps->bDriveStatus = fw::DRIVE_STATUS_FAILED_LIST;
        ASSERT_TRUE(RunUntil([&] { return Bay(bBay).second == 1; }, 10 * kSecond)) << "bay " << int(bBay);
        for (uint8_t k = 1; k <= 8; ++k) {
            if (k != bBay) {
                EXPECT_EQ(Bay(k).second, 0) << "fault on bay " << int(bBay) << ", bay " << int(k);
            }
        }
        ASSERT_TRUE(RunUntil([&] { return Micro().Register(fw::MICRO_CHASSIS_INDICATOR + 1) == 1; }, 10 * kSecond));
        ps->bDriveStatus = bStatus;
        ASSERT_TRUE(RunUntil([&] { return Bay(bBay).second == 0; }, 10 * kSecond)) << "bay " << int(bBay);
    }
}

// The fans are counted by the microcontroller: a count past its byte is a
// fan that stands, one just inside it turns.  The failure sounds the
// chassis through the microcontroller until the mute button; the repair
// ends it.  A supply pulled arrives as its event.
// Four of the twelve bays are empty: a start is silent and lights no fault,
// before and after the bays' presence is first read.
TEST_F(ChassisMicrocontrollerTest, AStartWithEmptyBaysSoundsNoAlarm) {
    EXPECT_EQ(fw::dGetEnclosureFaultFlags() & fw::FAULT_DRIVE, 0u);
    EXPECT_EQ(Status(9), fw::SES_CODE_NOT_INSTALLED);
    for (const auto& s : Micro().sounds) EXPECT_EQ(s.value, 1) << "the sounder changed at " << s.ns << " ns";
}

TEST_F(ChassisMicrocontrollerTest, AFailedFanSoundsUntilMutedAndTheFansRunFlatOut) {
    std::vector<sim::ChassisMicrocontroller::Sound>& log = Micro().sounds;
    log.clear();
    board.fpga().environment().fanHeldRpm = {2304, 2362};
    ASSERT_TRUE(RunUntil([] { return Status(kFan0) == fw::SES_CODE_CRITICAL; }, 60 * kSecond));
    EXPECT_EQ(Status(kFan1), fw::SES_CODE_OK);
    EXPECT_EQ(fw::dGetFanRpm(1), 2362u);
    ASSERT_TRUE(RunUntil([&] { return Micro().Register(fw::MICRO_FAN1_DRIVE) == fw::MICRO_FAN_DRIVE_FULL; }, 5 * kSecond));
    ASSERT_TRUE(RunUntil([&] { return !log.empty(); }, 5 * kSecond));
    EXPECT_EQ(log[0].value, fw::MICRO_SOUNDER_ON);
    EXPECT_NE(fw::pGetOwnElement(46)[3] & 0x04, 0);

    const uint32_t uMuted = harness::CountEvents(141);
    // The button mutes once the enclosure's status shows the failure.
    ASSERT_TRUE(RunUntil([] { return fw::fEnclosureHasAlarmCondition(0) == fw::TRUE; }, 10 * kSecond));
    Micro().PressMute();
    ASSERT_TRUE(RunUntil([&] { return log.size() >= 2; }, 5 * kSecond));
    EXPECT_EQ(log[1].value, fw::MICRO_SOUNDER_OFF);
    EXPECT_EQ(harness::CountEvents(141) - uMuted, 1u);
    EXPECT_EQ(fw::pGetOwnElement(46)[3] & 0x04, 0);

    // A second failure while muted stays silent; the repair of both clears
    // the mute, and the next failure sounds again.
    board.fpga().environment().supplyGood[1] = false;
    ASSERT_TRUE(RunUntil([] { return Status(kSupply1) == fw::SES_CODE_NOT_INSTALLED; }, 5 * kSecond));
    board.fpga().environment().fanHeldRpm = {-1, -1};
    board.fpga().environment().supplyGood[1] = true;
    ASSERT_TRUE(RunUntil([] { return fw::dGetEnclosureFaultFlags() == 0; }, 60 * kSecond));
    ASSERT_TRUE(RunUntil([] { return fw::fIsEnclosureAlarmMuted(0) == fw::FALSE; }, 5 * kSecond));
    EXPECT_EQ(log.size(), 2u);
    board.fpga().environment().fanHeldRpm = {0, -1};
    ASSERT_TRUE(RunUntil([&] { return log.size() == 3; }, 60 * kSecond));
    EXPECT_EQ(log[2].value, fw::MICRO_SOUNDER_ON);
}

// A transaction that never ends does not hold the unit: it is given up,
// the unit freed, and the link starts over from the identity, then shows
// what changed meanwhile.
TEST_F(ChassisMicrocontrollerTest, ALostTransactionIsGivenUpAndTheLinkStartsOver) {
    const unsigned uIdentity = Micro().identityReads;
    board.i2c().SetStuck(0, true);
    const uint64_t lEnd = board.clock().Now() + 2 * kSecond;
    board.RunUntil([&] { return board.clock().Now() >= lEnd; }, 3 * kSecond);
    EXPECT_EQ(Micro().identityReads, uIdentity);
    chassis.Pull(6);
    board.i2c().SetStuck(0, false);
    ASSERT_TRUE(RunUntil([&] { return Micro().identityReads > uIdentity; }, 10 * kSecond));
    ASSERT_TRUE(RunUntil([&] { return Bay(6) == std::make_pair<uint8_t, uint8_t>(1, 0); }, 10 * kSecond));
}

// The direct backplane with a microcontroller: its sounder runs the board
// sounder's patterns on its own, in its own values (1 silent, 0 the short
// tone, 12 the fault tone), and the front panel test lights all sixteen
// bays it has registers for.
class DirectBackplaneMicrocontrollerTest : public ChassisMicrocontrollerTest {
protected:
    void SetUp() override {
        board.fpga().SetBoardStraps(fw::FPGA_BOARD_ALTERNATE_BACKPLANE);
        ChassisMicrocontrollerTest::SetUp();
        ASSERT_EQ(fw::bGetBackplaneType(), 6);
    }
};

TEST_F(DirectBackplaneMicrocontrollerTest, ItsSounderFollowsThePatternsAndEveryBayIsTested) {
    std::vector<sim::ChassisMicrocontroller::Sound>& log = Micro().sounds;
    sim::ChassisEnvironment& env = board.fpga().environment();
    log.clear();
    // No fault: the button starts the front panel test.
    env.mutePressed = true;
    ASSERT_TRUE(RunUntil([&] { return Bay(16) == std::make_pair<uint8_t, uint8_t>(16, 12); }, 5 * kSecond));
    const std::pair<uint8_t, uint8_t> lit{16, 12};
    for (uint8_t k : {1, 12, 13, 14, 15}) EXPECT_EQ(Bay(k), lit) << int(k);
    ASSERT_TRUE(RunUntil([&] { return log.size() >= 3; }, 5 * kSecond));
    EXPECT_EQ(log[0].value, 0);
    EXPECT_EQ(log[1].value, fw::MICRO_SOUNDER_OFF);
    EXPECT_EQ(log[2].value, 0);
    ASSERT_TRUE(RunUntil([&] { return log.size() >= 4; }, 5 * kSecond));
    EXPECT_EQ(log[3].value, fw::MICRO_SOUNDER_OFF);
    env.mutePressed = true;
    ASSERT_TRUE(RunUntil([&] { return Bay(16) == std::make_pair<uint8_t, uint8_t>(0, 0); }, 5 * kSecond));

    // A stopped fan sounds both sounders until the mute.
    log.clear();
    env.fanHeldRpm[1] = 0;
    ASSERT_TRUE(RunUntil([&] { return !log.empty(); }, 60 * kSecond));
    EXPECT_EQ(log[0].value, 12);
    ASSERT_TRUE(RunUntil([&] {
        return (board.fpga().Register(fw::FPGA_CHASSIS_INDICATORS - fw::FPGA_BASE) & fw::FPGA_SOUNDER_MASK) == 0x20;
    }, 5 * kSecond));
    ASSERT_TRUE(RunUntil([] { return fw::fEnclosureHasAlarmCondition(0) == fw::TRUE; }, 10 * kSecond));
    EXPECT_EQ(fw::bSetAudibleAlarm(fw::ALARM_MUTE, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([&] { return log.size() >= 2; }, 5 * kSecond));
    EXPECT_EQ(log[1].value, fw::MICRO_SOUNDER_OFF);
    // Enable: the mute goes and both sound again.
    EXPECT_EQ(fw::bSetAudibleAlarm(fw::ALARM_ENABLE_ALL, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([&] { return log.size() >= 3; }, 5 * kSecond));
    EXPECT_EQ(log[2].value, 12);
}

// A board without a microcontroller: its identity goes unanswered and the
// chassis is read from the board alone.
TEST(ChassisMicrocontrollerAbsent, TheChassisIsReadFromTheBoard) {
    sim::Chassis chassis{Options()};
    sim::Board board;
    board.fpga().microcontroller().present = false;
    board.sasController().AttachChassis(&chassis);
    ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
    ASSERT_EQ(board.RunUntil([] { return fw::dGetFanRpm(0) != 0; }, 60 * kSecond), sim::StopKind::Running);
    EXPECT_EQ(fw::fIsMicrocontrollerPresent(), fw::FALSE);
    EXPECT_EQ(fw::dGetFanRpm(0), 4600u);
}

TEST(TachometerCount, BothEndsOfTheCountAreAFanThatStands) {
    EXPECT_EQ(fw::dTachometerCountToRpm(0), 0u);
    EXPECT_EQ(fw::dTachometerCountToRpm(255), 0u);
    EXPECT_EQ(fw::dTachometerCountToRpm(254), 2362u);
    EXPECT_EQ(fw::dTachometerCountToRpm(130), 4615u);
}

}  // namespace
