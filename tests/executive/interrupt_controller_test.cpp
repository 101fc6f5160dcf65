// Interrupt controller programming and the interrupt-source lock protocol,
// checked on the board's interrupt controller registers.
#include <gtest/gtest.h>

#include <array>

#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "partner/partner_link.h"
#include "executive/types.h"
#include "sim/board.h"

namespace {

constexpr uint32_t INTCTL = 4;
constexpr uint32_t INTSTR = 5;

class InterruptControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw::ResetInterruptLocks();
        fw::InitInterruptController();
    }
    uint32_t Reg(uint32_t dCrn, uint32_t dCrm) { return board.cpu().Cp6Read(dCrn, dCrm); }
    // Every register a lock call may touch.
    std::array<uint32_t, 9> Snapshot() {
        return {Reg(0, INTCTL), Reg(1, INTCTL), Reg(2, INTCTL), Reg(3, INTCTL), Reg(0, INTSTR),
                Reg(1, INTSTR), Reg(2, INTSTR), Reg(3, INTSTR), Reg(0, 0)};
    }
    sim::Board board;
};

// Each source masks and unmasks its own bits and nothing else.
TEST_F(InterruptControllerTest, LockMasksAndUnlockUnmasksOnlyTheSourceBits) {
    struct Case {
        uint8_t bSource;
        uint32_t dCrn, dCrm;
        uint32_t dMaskCleared;   // bits a lock clears
        uint32_t dUnmaskSet;     // bits an unlock sets
    };
    const Case cases[] = {
        {0, 0, INTCTL, 0x03000000, 0x03000000}, {2, 3, INTCTL, 0x1Fu << 17, 0x1Fu << 17},
        {6, 0, INTCTL, 1u << 27, 1u << 27},     {7, 1, INTCTL, 1u << 19, 1u << 19},
        {7, 1, INTSTR, 0, 1u << 19},            {10, 0, 0, 0x0030000F, 0x0030000A},
        {11, 0, 0, 1u << 13, 1u << 13},
    };
    fw::EnableInterruptSource0();
    fw::EnableInterruptSource2();
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.bSource));
        board.cpu().Cp6Write(c.dCrn, c.dCrm, 0xFFFFFFFF);
        ASSERT_EQ(fw::LockInterruptSource(c.bSource), fw::STATUS_OK);
        EXPECT_EQ(Reg(c.dCrn, c.dCrm), ~c.dMaskCleared);
        EXPECT_EQ(fw::bGetInterruptLockByte(c.bSource), '0');

        board.cpu().Cp6Write(c.dCrn, c.dCrm, 0);
        fw::UnlockInterruptSource(c.bSource);
        EXPECT_EQ(Reg(c.dCrn, c.dCrm), c.dUnmaskSet);
        EXPECT_EQ(fw::bGetInterruptLockByte(c.bSource), '1');
    }
}

TEST_F(InterruptControllerTest, NestedLocksOfSource2LeaveItMaskedUntilTheOuterUnlock) {
    fw::EnableInterruptSource2();
    const uint8_t bOuter = fw::LockInterruptSource(2);
    const uint8_t bInner = fw::LockInterruptSource(2);
    EXPECT_EQ(bOuter, fw::STATUS_OK);
    EXPECT_EQ(bInner, '0');
    // The inner section follows the calling rule: no unlock for '0'.
    EXPECT_EQ(Reg(3, INTCTL) & (1u << 17), 0u);
    EXPECT_EQ(fw::bGetSource2LockByte(), '0');

    fw::UnlockInterruptSource(2);
    EXPECT_NE(Reg(3, INTCTL) & (1u << 17), 0u);
    EXPECT_EQ(fw::bGetSource2LockByte(), '1');
}

TEST_F(InterruptControllerTest, LockFromInsideTheHandlerChangesNothing) {
    fw::EnableInterruptSource0();
    fw::EnableInterruptSource2();
    fw::UnlockInterruptSource(10);
    for (uint8_t bSource : {0, 2, 8, 10, 11}) {
        SCOPED_TRACE(static_cast<int>(bSource));
        const auto before = Snapshot();
        fw::SetInterruptSourceActive(bSource, fw::TRUE);
        EXPECT_EQ(fw::LockInterruptSource(bSource), '0');
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(fw::bGetInterruptLockByte(bSource), '1');
        fw::SetInterruptSourceActive(bSource, fw::FALSE);
    }
}

// The chip interrupts stay off until their drivers enable them, whatever
// lock sections run before.
TEST_F(InterruptControllerTest, ChipSourcesStayOffUntilEnabled) {
    struct Case {
        uint8_t bSource;
        uint32_t dCrn;
        uint32_t dBits;
        void (*Enable)();
    };
    const Case cases[] = {
        {0, 0, 0x03000000, fw::EnableInterruptSource0},
        {2, 3, 1u << 17, fw::EnableInterruptSource2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.bSource));
        EXPECT_EQ(fw::LockInterruptSource(c.bSource), fw::STATUS_OK);
        fw::UnlockInterruptSource(c.bSource);
        EXPECT_EQ(Reg(c.dCrn, INTCTL) & c.dBits, 0u);
        c.Enable();
        EXPECT_EQ(Reg(c.dCrn, INTCTL) & c.dBits, c.dBits);
    }
}

TEST_F(InterruptControllerTest, UnknownSourceChangesNothing) {
    fw::EnableInterruptSource0();
    fw::EnableInterruptSource2();
    const auto before = Snapshot();
    for (uint8_t bSource : {1, 3, 9, 12, 255}) {
        SCOPED_TRACE(static_cast<int>(bSource));
        EXPECT_EQ(fw::LockInterruptSource(bSource), fw::STATUS_OK);
        fw::UnlockInterruptSource(bSource);
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(fw::bGetInterruptLockByte(bSource), '1');
    }
}

}  // namespace

// The partner's heartbeat line is served as FIQ, but on a production test
// unit, which runs without a partner.
TEST_F(InterruptControllerTest, TheHeartbeatLineIsFiqButOnAProductionTestUnit) {
    constexpr uint32_t HEARTBEAT = 1u << 27;
    fw::InitDualControllerManager();
    EXPECT_EQ(Reg(0, INTSTR) & HEARTBEAT, HEARTBEAT);
    const uint32_t dOthers = Reg(0, INTSTR) & ~HEARTBEAT;
    fw::SetProductionTestMode(fw::TRUE);
    fw::InitDualControllerManager();
    fw::SetProductionTestMode(fw::FALSE);
    EXPECT_EQ(Reg(0, INTSTR), dOthers);
}
