// A board for the RAID engine's tests: buffer pages, the interrupt
// controller with the firmware's own FIQ dispatch, and the XOR engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "raid/xor_engine.h"
#include "sim/board.h"
#include "sim/xor_accelerator.h"
#include "raid_road.h"
#include "hw/addresses.h"

namespace raidtest {


class RaidBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        const uint32_t dFiq = fw::dAddressWord(&fw::FiqHandler);
        std::memcpy(fw::HwGetWindow(fw::HW_WINDOW_VECTOR_PAGE).pBase + 0x38, &dFiq, 4);
        fw::SetSystemMemorySize(board.config().memorySize);
        ASSERT_EQ(fw::InitBufferPages(), fw::STATUS_OK);
        fw::InitBoardStateDefaults();
        fw::ResetInterruptLocks();
        fw::InitInterruptController();
        fw::InitXorQueues();
        fw::EnableInterrupts();
    }

    sim::XorAccelerator& aau() { return board.xorAccelerator(); }

    // A run of buffer memory; its processor address.
    uint32_t Buffer(uint32_t dBytes) {
        fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
        EXPECT_EQ(fw::bAllocDataPages(0, (dBytes + fw::BUFFER_PAGE_SIZE - 1) / fw::BUFFER_PAGE_SIZE, &d),
                  fw::STATUS_OK);
        return static_cast<uint32_t>(fw::dBufferHandleToCpuAddress(d));
    }

    // Lets time pass at main-loop polls until the condition holds.
    void PollUntil(const std::function<bool()>& fDone, uint32_t dPolls = 100000) {
        for (uint32_t i = 0; i < dPolls && !fDone(); ++i) fw::HwPoll();
        ASSERT_TRUE(fDone());
    }
    // Every queued request run and handed over.
    void DrainXor() {
        PollUntil([] {
            if (fw::fGetXorQueue1Work() == fw::TRUE) fw::ServiceXorCompletions();
            return fw::wGetXorOutstanding() == 0;
        });
    }

    sim::Board board;
};

}  // namespace raidtest
