// The controller's own chassis on a running controller: fans, supplies and
// sensors changed under it at a chosen time, and what it shows and sounds
// in answer (element states, events once, full fan speed, the sounder's
// pattern, the bay lights); the board's own temperatures.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "console/option_settings.h"
#include "config/config_phase.h"
#include "enclosure/audible_alarm.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_table.h"
#include "enclosure/environment_monitor.h"
#include "enclosure/own_enclosure.h"
#include "executive/system_state.h"
#include "harness/dispatch_board.h"
#include "hw/fpga.h"
#include "hw/ses.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fpga.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
constexpr uint64_t kMs = 1'000'000ull;
constexpr uint8_t kEventSupply = 107;
constexpr uint8_t kEventCooling = 108;
constexpr uint8_t kEventTemperature = 109;
constexpr uint8_t kEventShutdown = 3;
constexpr uint8_t kEventWarning = 4;
constexpr uint8_t kFan0 = 38, kFan1 = 39, kSupply0 = 35, kSupply1 = 36, kSensor0 = 43, kSensor1 = 44;

sim::ChassisOptions Options() {
    sim::ChassisOptions o;
    o.drives = 8;
    o.driveBytes = 64ull << 20;
    return o;
}

class ChassisEnvironmentTest : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override {
        // The direct backplane's board has no microcontroller: the chassis
        // is read from the board alone.
        if (GetParam() == 6) {
            board.fpga().SetBoardStraps(fw::FPGA_BOARD_ALTERNATE_BACKPLANE);
            board.fpga().microcontroller().present = false;
        }
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_EQ(fw::bGetBackplaneType(), GetParam());
        ASSERT_TRUE(RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                             600 * kSecond));
        // A whole pass of the monitor with everything well.
        ASSERT_TRUE(RunUntil([] { return fw::dGetFanRpm(0) != 0 && fw::dGetFanRpm(1) != 0; }, 60 * kSecond));
        ASSERT_EQ(fw::dGetEnclosureFaultFlags() & ~fw::FAULT_DRIVE, 0u);
    }
    template <typename P>
    bool RunUntil(P p, uint64_t ns) {
        return board.RunUntil(p, ns) == sim::StopKind::Running && p();
    }
    void RunFor(uint64_t ns) {
        const uint64_t lEnd = board.clock().Now() + ns;
        board.RunUntil([&] { return board.clock().Now() >= lEnd; }, ns + kSecond);
    }
    static uint8_t Status(uint8_t bElement) { return fw::pGetOwnElement(bElement)[0] & fw::SES_STATUS_CODE_MASK; }
    uint16_t Fpga(uint32_t dRegister) { return board.fpga().Register(dRegister - fw::FPGA_BASE); }
    sim::ChassisEnvironment& Env() { return board.fpga().environment(); }

    sim::Chassis chassis{Options()};
    sim::Board board;
};

// One boot for the chassis' failures in turn, each reported once and
// cleared by its repair: a fan at 2304 RPM has failed while one just above
// it has not (2305 on the board; the microcontroller's slowest count,
// 2362), and the other fan runs flat out; a pulled supply is not installed
// and counts as failed, a supply's fault line is taken on the second look;
// a chassis sensor reading over its limit is a glitch once and critical
// twice in a row; a sensor that stops answering does not hold the bus.
TEST_P(ChassisEnvironmentTest, EachFailureIsReportedOnceAndClearedByItsRepair) {
    const uint32_t uCooling = harness::CountEvents(kEventCooling);
    Env().fanHeldRpm = {2304, GetParam() == 6 ? 2305 : 2362};
    ASSERT_TRUE(RunUntil([] { return Status(kFan0) == fw::SES_CODE_CRITICAL; }, 60 * kSecond));
    EXPECT_EQ(Status(kFan1), fw::SES_CODE_OK);
    EXPECT_EQ(fw::dGetEnclosureFaultFlags() & (fw::FAULT_FAN0 | fw::FAULT_FAN1), fw::FAULT_FAN0);
    ASSERT_TRUE(RunUntil([&] { return Fpga(fw::FPGA_FAN_DRIVE + 2) == 0; }, 10 * kSecond));
    EXPECT_EQ(fw::pGetOwnElement(37)[3] & fw::SES_COOLING_SPEED_MASK, 7);
    Env().fanHeldRpm = {-1, -1};
    ASSERT_TRUE(RunUntil([] { return Status(kFan0) == fw::SES_CODE_OK; }, 60 * kSecond));
    EXPECT_EQ(fw::dGetEnclosureFaultFlags() & (fw::FAULT_FAN0 | fw::FAULT_FAN1), 0u);
    // Failed and repaired: two changes, each reported once.
    ASSERT_TRUE(RunUntil([&] { return harness::CountEvents(kEventCooling) - uCooling >= 2; }, 10 * kSecond));

    const uint32_t uSupply = harness::CountEvents(kEventSupply);
    Env().supplyGood[1] = false;
    ASSERT_TRUE(RunUntil([] { return Status(kSupply1) == fw::SES_CODE_NOT_INSTALLED; }, 60 * kSecond));
    EXPECT_NE(fw::dGetEnclosureFaultFlags() & fw::FAULT_SUPPLY1, 0u);
    EXPECT_EQ(fw::pGetOwnElement(37)[3] & fw::SES_COOLING_SPEED_MASK, 7);
    ASSERT_TRUE(RunUntil([] { return fw::fEnclosureHasAlarmCondition(0) == fw::TRUE; }, 10 * kSecond));
    Env().supplyGood[0] = false;
    Env().supplyFault[0] = true;
    ASSERT_TRUE(RunUntil([] { return Status(kSupply0) == fw::SES_CODE_CRITICAL; }, 60 * kSecond));
    EXPECT_NE(fw::dGetEnclosureFaultFlags() & fw::FAULT_SUPPLY0, 0u);
    RunFor(35 * kSecond);
    EXPECT_EQ(harness::CountEvents(kEventSupply) - uSupply, 2u);
    Env().supplyGood = {true, true};
    Env().supplyFault = {false, false};
    ASSERT_TRUE(RunUntil([] { return Status(kSupply0) == fw::SES_CODE_OK && Status(kSupply1) == fw::SES_CODE_OK; },
                         60 * kSecond));
    EXPECT_EQ(fw::dGetEnclosureFaultFlags() & (fw::FAULT_SUPPLY0 | fw::FAULT_SUPPLY1), 0u);

    const uint32_t uTemperature = harness::CountEvents(kEventTemperature);
    sim::ChassisSensor& s = Env().sensors[1];
    s.degrees = 73;
    const unsigned uReads = s.reads;
    ASSERT_TRUE(RunUntil([&] { return s.reads > uReads; }, 60 * kSecond));
    RunFor(2 * kSecond);
    EXPECT_EQ(Status(kSensor1), fw::SES_CODE_OK);
    ASSERT_TRUE(RunUntil([] { return Status(kSensor1) == fw::SES_CODE_CRITICAL; }, 60 * kSecond));
    EXPECT_EQ(fw::pGetOwnElement(kSensor1)[2], 73 + 20);
    EXPECT_NE(fw::dGetEnclosureFaultFlags() & fw::FAULT_SENSOR1, 0u);
    EXPECT_EQ(Status(kSensor0), fw::SES_CODE_OK);
    s.degrees = 60;   // over the warning limit only
    ASSERT_TRUE(RunUntil([] { return Status(kSensor1) == fw::SES_CODE_NONCRITICAL; }, 60 * kSecond));
    s.degrees = 30;
    ASSERT_TRUE(RunUntil([] { return Status(kSensor1) == fw::SES_CODE_OK; }, 60 * kSecond));
    EXPECT_EQ(fw::dGetEnclosureFaultFlags() & fw::FAULT_SENSOR1, 0u);
    ASSERT_TRUE(RunUntil([&] { return harness::CountEvents(kEventTemperature) - uTemperature >= 3; }, 10 * kSecond));

    Env().sensors[0].silent = true;
    const unsigned uOther = Env().sensors[1].reads;
    RunFor(40 * kSecond);
    // Every change came once: critical, warning, OK; failed and repaired.
    EXPECT_EQ(harness::CountEvents(kEventTemperature) - uTemperature, 3u);
    EXPECT_EQ(harness::CountEvents(kEventCooling) - uCooling, 2u);
    EXPECT_EQ(Env().sensors[1].reads, uOther);
    EXPECT_EQ(fw::fIsChassisSensorBusy(), fw::FALSE);
    Env().sensors[0].silent = false;
    ASSERT_TRUE(RunUntil([&] { return Env().sensors[1].reads > uOther; }, 60 * kSecond));
}

// A drive that asks for its fault light lights its bay and no other, and
// the chassis fault indicator with it.
TEST_P(ChassisEnvironmentTest, AFaultOnEachDriveLightsItsBayAndNoOther) {
    const uint16_t wFault = GetParam() == 6 ? 0 : 2;
    auto Field = [&](uint8_t k) {
        return static_cast<uint16_t>((Fpga(fw::FPGA_BAY_INDICATORS + 2u * ((k - 1) / 4)) >> (4 * ((k - 1) % 4))) & 7);
    };
    for (uint8_t bBay = 1; bBay <= 8; ++bBay) {
        fw::DRIVE_INFO* ps = nullptr;
        ASSERT_EQ(fw::fFindDriveByEnclosureSlot(1, bBay, &ps), fw::TRUE);
        uint16_t awBefore[fw::OWN_BAYS + 1];
        for (uint8_t k = 1; k <= fw::OWN_BAYS; ++k) awBefore[k] = Field(k);
        const uint8_t bStatus = ps->bDriveStatus;
        ps->bDriveStatus = fw::DRIVE_STATUS_FAILED_LIST;
        ASSERT_TRUE(RunUntil([&] { return Field(bBay) == wFault && fw::psGetOwnIndicator(static_cast<uint8_t>(bBay - 1))->bCode == 1; },
                             10 * kSecond)) << "bay " << int(bBay);
        ASSERT_TRUE(RunUntil([&] { return ((Fpga(fw::FPGA_CHASSIS_INDICATORS) >> 6) & 3) == 1; }, 10 * kSecond));
        for (uint8_t k = 1; k <= fw::OWN_BAYS; ++k) {
            if (k != bBay) {
                EXPECT_EQ(Field(k), awBefore[k]) << "fault on bay " << int(bBay) << ", bay " << int(k);
            }
        }
        ps->bDriveStatus = bStatus;
        ASSERT_TRUE(RunUntil([&] { return Field(bBay) == awBefore[bBay]; }, 10 * kSecond)) << "bay " << int(bBay);
    }
}

// The board's own sensors: at 96 degrees write-back caching is held off
// (and comes back below), at 98 event 3 and the shutdown.
class BoardTemperatureTest : public ChassisEnvironmentTest {};

TEST_P(BoardTemperatureTest, AHotBoardForcesWriteThroughThenShutsDown) {
    fw::SetWritebackCaching(fw::TRUE);
    sim::ChassisSensor& s = Env().boardSensors[0];
    s.degrees = 96;
    ASSERT_TRUE(RunUntil([] { return fw::fGetWritebackCaching() == fw::FALSE; }, 60 * kSecond));
    EXPECT_EQ(harness::CountEvents(kEventWarning), 1u);
    EXPECT_EQ(fw::fIsShutdownPending(), fw::FALSE);
    // The warning comes again only above the warmest reading it was given
    // for, or after the board cooled two degrees below its limit.
    const auto Settle = [&](uint8_t bDegrees) {
        s.degrees = bDegrees;
        const unsigned uReads = s.reads;
        ASSERT_TRUE(RunUntil([&] { return s.reads >= uReads + 2; }, 60 * kSecond));
        ASSERT_TRUE(RunUntil([&] { return fw::pGetTemperatureReadings()[0] == bDegrees; }, 30 * kSecond));
    };
    Settle(92);
    Settle(95);
    EXPECT_EQ(harness::CountEvents(kEventWarning), 1u);
    Settle(97);
    EXPECT_EQ(harness::CountEvents(kEventWarning), 2u);
    Settle(91);
    Settle(94);
    EXPECT_EQ(harness::CountEvents(kEventWarning), 3u);
    s.degrees = 90;
    ASSERT_TRUE(RunUntil([] { return fw::fGetWritebackCaching() == fw::TRUE; }, 60 * kSecond));
    s.degrees = 98;
    ASSERT_TRUE(RunUntil([] { return harness::CountEvents(kEventShutdown) != 0; }, 60 * kSecond));
    EXPECT_EQ(fw::fIsShutdownPending(), fw::TRUE);
}

INSTANTIATE_TEST_SUITE_P(DefaultBackplane, BoardTemperatureTest, ::testing::Values(uint8_t{8}),
                         [](const auto& info) { return "Backplane" + std::to_string(info.param); });
INSTANTIATE_TEST_SUITE_P(Backplanes, ChassisEnvironmentTest, ::testing::Values(uint8_t{8}, uint8_t{6}),
                         [](const auto& info) { return "Backplane" + std::to_string(info.param); });

// The direct backplane's sounder: a failed supply sounds, after two minutes
// the sounder reminds every twenty seconds, and the mute button silences it.
class ChassisSounderTest : public ChassisEnvironmentTest {};

TEST_P(ChassisSounderTest, AFaultSoundsThenRemindsUntilTheMuteButton) {
    std::vector<sim::ChassisEnvironment::Sound>& log = Env().sounds;
    log.clear();
    Env().supplyGood[0] = false;
    Env().supplyFault[0] = true;
    ASSERT_TRUE(RunUntil([&] { return !log.empty(); }, 60 * kSecond));
    EXPECT_EQ(log[0].bits, 0x20);
    const uint64_t lStart = log[0].ns;
    ASSERT_TRUE(RunUntil([&] { return log.size() >= 6; }, 200 * kSecond));
    EXPECT_EQ(log[1].bits, 0);
    EXPECT_NEAR(static_cast<double>(log[1].ns - lStart), 120.0 * kSecond, 1000.0 * kMs);
    for (size_t i = 2; i + 1 < 6; i += 2) {
        EXPECT_EQ(log[i].bits, 0x10);
        EXPECT_EQ(log[i + 1].bits, 0);
        EXPECT_NEAR(static_cast<double>(log[i].ns - log[1].ns), 20.0 * kSecond * (i / 2), 1000.0 * kMs);
        EXPECT_NEAR(static_cast<double>(log[i + 1].ns - log[i].ns), 1000.0 * kMs, 600.0 * kMs);
    }
    // The mute button: silent for good while the fault stays.
    Env().mutePressed = true;
    ASSERT_TRUE(RunUntil([&] { return !Env().mutePressed; }, 5 * kSecond));
    RunFor(1 * kSecond);
    const size_t uAfterPress = log.size();
    RunFor(60 * kSecond);
    EXPECT_EQ(log.size(), uAfterPress);
    EXPECT_EQ(Fpga(fw::FPGA_CHASSIS_INDICATORS) & fw::FPGA_SOUNDER_MASK, 0);
}

TEST_P(ChassisSounderTest, MuteAndDisableSilenceAndEnableSoundsAgain) {
    std::vector<sim::ChassisEnvironment::Sound>& log = Env().sounds;
    Env().fanHeldRpm[1] = 0;   // a stopped fan
    ASSERT_TRUE(RunUntil([&] { return (Fpga(fw::FPGA_CHASSIS_INDICATORS) & fw::FPGA_SOUNDER_MASK) == 0x20; }, 60 * kSecond));
    ASSERT_TRUE(RunUntil([] { return fw::fEnclosureHasAlarmCondition(0) == fw::TRUE; }, 10 * kSecond));
    EXPECT_EQ(fw::bSetAudibleAlarm(fw::ALARM_MUTE, 0), fw::STATUS_OK);
    EXPECT_EQ(fw::fIsEnclosureAlarmMuted(0), fw::TRUE);
    ASSERT_TRUE(RunUntil([&] { return (Fpga(fw::FPGA_CHASSIS_INDICATORS) & fw::FPGA_SOUNDER_MASK) == 0; }, 5 * kSecond));
    // Enable: the mute goes and the sounder starts over.
    EXPECT_EQ(fw::bSetAudibleAlarm(fw::ALARM_ENABLE_ALL, 0), fw::STATUS_OK);
    EXPECT_EQ(fw::fIsEnclosureAlarmMuted(0), fw::FALSE);
    ASSERT_TRUE(RunUntil([&] { return (Fpga(fw::FPGA_CHASSIS_INDICATORS) & fw::FPGA_SOUNDER_MASK) == 0x20; }, 5 * kSecond));
    // Disable twice: one event; silent.
    fw::bSetAudibleAlarm(fw::ALARM_DISABLE_ALL, 0);
    fw::bSetAudibleAlarm(fw::ALARM_DISABLE_ALL, 0);
    EXPECT_EQ(harness::CountEvents(142), 1u);
    ASSERT_TRUE(RunUntil([&] { return (Fpga(fw::FPGA_CHASSIS_INDICATORS) & fw::FPGA_SOUNDER_MASK) == 0; }, 5 * kSecond));
    // A ninth enclosure has no mute flag: nothing happens to anyone's.
    EXPECT_EQ(fw::bSetAudibleAlarm(fw::ALARM_MUTE, 8), 0);
    // Repaired: the fault word is clear and the sounder stays silent.
    Env().fanHeldRpm[1] = -1;
    ASSERT_TRUE(RunUntil([] { return fw::dGetEnclosureFaultFlags() == 0; }, 60 * kSecond));
    (void)log;
}

// With no fault, the mute button runs the front panel test: every bay lit,
// a short tone, and the next press puts the indicators back.
TEST_P(ChassisSounderTest, TheMuteButtonWithoutAFaultTestsTheIndicators) {
    const uint16_t wBefore = Fpga(fw::FPGA_BAY_INDICATORS);
    Env().mutePressed = true;
    ASSERT_TRUE(RunUntil([&] { return Fpga(fw::FPGA_BAY_INDICATORS) == 0x2222; }, 5 * kSecond));
    ASSERT_TRUE(RunUntil([&] { return Env().sounds.size() >= 3; }, 5 * kSecond));
    EXPECT_EQ(Env().sounds[0].bits, 0x10);
    RunFor(3 * kSecond);
    Env().mutePressed = true;
    ASSERT_TRUE(RunUntil([&] { return Fpga(fw::FPGA_BAY_INDICATORS) == wBefore; }, 10 * kSecond));
}

INSTANTIATE_TEST_SUITE_P(DirectBackplane, ChassisSounderTest, ::testing::Values(uint8_t{6}),
                         [](const auto& info) { return "Backplane" + std::to_string(info.param); });

}  // namespace
