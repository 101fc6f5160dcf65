// A board with the tick, the real-time clock and their interrupts running,
// for the tests of time, the clock and stopping.  A small FIQ handler serves
// timer 0 and the I2C units so that these tests stand on their own.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/main_loop.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "platform/i2c.h"
#include "sim/board.h"
#include "sim/rtc.h"
#include "hw/addresses.h"

namespace harness {

inline void TestFiq() {
    const uint32_t dSources = fw::Cp6Read(0, 7);
    if (dSources & (1u << 8)) {
        fw::Cp6Write(6, 9, 1);
        fw::SystemTickHandler();
    }
    if (dSources & (1u << 10)) fw::I2cUnit0InterruptService();
    if (dSources & (1u << 11)) fw::I2cUnit1InterruptService();
}

inline sim::BoardConfig Config(bool fSlot1 = true) {
    sim::BoardConfig c;
    c.slot1 = fSlot1;
    return c;
}

struct TimeBoard {
    explicit TimeBoard(const sim::BoardConfig& config = Config()) : board(config) {
        const uint32_t dHandler = fw::dAddressWord(&TestFiq);
        std::memcpy(fw::HwGetWindow(fw::HW_WINDOW_VECTOR_PAGE).pBase + 0x38, &dHandler, 4);
    }
    sim::Rtc& rtc() { return board.rtc(); }

    // Bring-up as start-up does it, up to interrupts on.
    void Start() {
        fw::InitBoardStateDefaults();
        fw::ResetInterruptLocks();
        fw::InitInterruptController();
        fw::InitConsoleUart(115200);
        fw::bInitI2cUnit1(fw::TRUE);
        fw::SetClockBusy(fw::FALSE);
        fw::ReadClockAtStart();
        fw::InitClockReference();
        fw::InitSystemTick();
        fw::EnableInterrupts();
    }
    void StartMainLoop() {
        Start();
        fw::dMainLoopCycles = 1;
        fw::SetInitializationComplete(fw::TRUE);
    }
    // Time passes as in a live main loop: its cycle counter moves on.
    void RunMs(uint32_t dMs) {
        while (dMs > 0) {
            const uint32_t dStep = dMs < 10 ? dMs : 10;
            fw::HwDelayUs(dStep * 1000);
            ++fw::dMainLoopCycles;
            dMs -= dStep;
        }
    }

    sim::Board board;
};

}  // namespace harness
