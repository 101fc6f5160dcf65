// System state and board control: the board straps, the partner battery
// threshold, the battery fault mask, the watchdog and the FPGA bits.
#include <gtest/gtest.h>

#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "sim/board.h"

namespace {

TEST(SystemState, PartnerBatteryThresholdByOemCode) {
    struct Step {
        uint8_t bReport;
        uint8_t bStored;
        uint8_t fAbove;
    };
    struct Case {
        uint32_t dOemCode;
        Step asSteps[5];
    };
    const Case cases[] = {
        // Threshold 80: equal changes nothing, either side flips it.
        {0, {{200, 100, fw::TRUE}, {80, 80, fw::TRUE}, {79, 79, fw::FALSE}, {80, 80, fw::FALSE}, {81, 81, fw::TRUE}}},
        // Threshold 25 with OEM code 0x101.
        {0x101, {{26, 26, fw::TRUE}, {25, 25, fw::TRUE}, {24, 24, fw::FALSE}, {79, 79, fw::TRUE}, {0, 0, fw::FALSE}}},
    };
    for (const Case& c : cases) {
        sim::BoardConfig config;
        config.oemCode = c.dOemCode;
        sim::Board board(config);
        fw::CopyBootParameterBlock();
        fw::ResetBatteryGaugeState();
        EXPECT_EQ(fw::bGetPartnerBatteryCapacity(), 100);
        for (const Step& s : c.asSteps) {
            fw::SetPartnerBatteryCapacity(s.bReport);
            EXPECT_EQ(fw::bGetPartnerBatteryCapacity(), s.bStored) << c.dOemCode << " " << +s.bReport;
            EXPECT_EQ(fw::fIsPartnerBatteryAboveThreshold(), s.fAbove) << c.dOemCode << " " << +s.bReport;
        }
    }
}

TEST(SystemState, BatteryFaultIsMaskedByNvramOptionBit2) {
    sim::Board board;
    fw::SetBatteryFault(fw::TRUE);
    EXPECT_EQ(fw::fIsBatteryFault(), fw::TRUE);
    fw::HwNvramWrite8(0xA7, 0x04);
    EXPECT_EQ(fw::fIsBatteryFault(), fw::FALSE);
    fw::HwNvramWrite8(0xA7, 0x00);
    EXPECT_EQ(fw::fIsBatteryFault(), fw::TRUE);
}

TEST(SystemState, BoardStateComesFromTheSlotStrap) {
    for (bool fSlot1 : {true, false}) {
        sim::BoardConfig config;
        config.slot1 = fSlot1;
        sim::Board board(config);
        fw::InitBoardStateDefaults();
        fw::InitBoardState();
        EXPECT_EQ(fw::fIsControllerSlot1(), fSlot1 ? fw::TRUE : fw::FALSE);
        EXPECT_EQ(fw::bGetControllerNumber(), fSlot1 ? 1 : 2);
        EXPECT_EQ(fw::bGetPartnerControllerNumber(), fSlot1 ? 2 : 1);
        EXPECT_EQ(fw::fIsZ8Q2Controller(), fw::TRUE);
        EXPECT_EQ(fw::bGetBoardType(), 17);
    }
}

TEST(SystemState, HardwareWatchdogDrivesTheFpgaAndTheHeartbeatSource) {
    sim::Board board;
    fw::SetHardwareWatchdog(fw::TRUE);
    EXPECT_EQ(fw::fIsWatchdogEnabled(), fw::TRUE);
    EXPECT_TRUE(board.fpga().WatchdogRunning());
    EXPECT_EQ(board.fpga().Register(0x04), 0xEE2F);
    EXPECT_EQ(board.fpga().Register(0x0E) & 0x20, 0);
    EXPECT_EQ(fw::Cp6Read(3, 4) & 0x80000000u, 0x80000000u);
    fw::SetHardwareWatchdog(fw::FALSE);
    EXPECT_FALSE(board.fpga().WatchdogRunning());
    EXPECT_EQ(board.fpga().Register(0x0E) & 0x20, 0x20);
    EXPECT_EQ(fw::Cp6Read(3, 4) & 0x80000000u, 0u);
}

TEST(SystemState, MemorySizeFallsBackTo32Mb) {
    sim::Board board;
    const struct {
        uint32_t dIn, dOut;
    } cases[] = {{0x02000000, 0x02000000}, {0x04000000, 0x04000000}, {0x03000000, 0x02000000}, {0, 0x02000000}};
    for (const auto& c : cases) {
        fw::SetSystemMemorySize(c.dIn);
        EXPECT_EQ(fw::dGetSystemMemorySize(), c.dOut);
    }
}

}  // namespace
