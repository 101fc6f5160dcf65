// A board with the host command pool and its rings at start of day, and
// helpers that make host commands as a host-port driver would.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "sim/board.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace target_test {

using fw::KERNEL_ENTRY;

class TargetBoard : public ::testing::Test {
protected:
    void SetUp() override {
        fw::ResetInterruptLocks();
        fw::InitInterruptController();
        fw::InitConsoleUart(115200);
        fw::SetHostInterfaceType(1);
        fw::InitHostCommandPool();
        board.ClearConsoleText();
    }

    static KERNEL_ENTRY* Entry(uint16_t wIndex) {
        KERNEL_ENTRY* ps = nullptr;
        fw::wGetTargetEntry(wIndex, &ps);
        return ps;
    }

    // One entry of the port in the state given, with an internal command
    // block carrying the opcode.
    static KERNEL_ENTRY* Command(uint8_t bPort = fw::PORT_CODE_INTERNAL, uint8_t bState = fw::HOST_STATE_NEW_COMMAND) {
        KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        EXPECT_EQ(fw::bAllocTargetEntries(bPort, 1, &ps, &wIndex, fw::FALSE), fw::STATUS_OK);
        uint8_t abBlock[128] = {};
        fw::CopyNewCommandIocb(bPort, abBlock, ps, bState, fw::FALSE);
        return ps;
    }

    std::string Console() const { return board.ConsoleText(); }

    sim::Board board;
};

}  // namespace target_test
