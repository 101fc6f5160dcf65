// A board brought up as start-up does it, with the firmware's own FIQ, IRQ
// and exception entries in the vector page, the event log ready and the
// tick running: for the tests of the background pass, the timed jobs, the
// interrupt dispatch and the console input.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "config/nvram_layout.h"
#include "eventlog/event_log.h"
#include "executive/background_pass.h"
#include "executive/background_process.h"
#include "executive/startup.h"
#include "executive/interrupt_dispatch.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "sim/processor_errors.h"
#include "harness/time_board.h"
#include "hw/addresses.h"

namespace harness {

inline void StoreVector(uint32_t dSlot, fw::HwHandler pHandler) {
    const uint32_t dAddress = fw::dAddressWord(pHandler);
    std::memcpy(fw::HwGetWindow(fw::HW_WINDOW_VECTOR_PAGE).pBase + dSlot, &dAddress, 4);
}

struct DispatchBoard {
    DispatchBoard() {
        StoreVector(0x20, &fw::UndefinedInstructionEntry);
        StoreVector(0x24, &fw::SoftwareInterruptEntry);
        StoreVector(0x28, &fw::PrefetchAbortEntry);
        StoreVector(0x2C, &fw::DataAbortEntry);
        StoreVector(0x34, &fw::IrqHandler);
        StoreVector(0x38, &fw::FiqHandler);
        fw::ResetPrefetchAbortBurst();
        t.Start();
        fw::ValidateNvram();
        fw::InitEventLog();
        fw::InitBackgroundProcesses();
    }
    // The main loop's state: initialisation complete, nothing pending.
    void StartMainLoop() {
        fw::SetInitializationComplete(fw::TRUE);
        fw::SetWorkPending(fw::FALSE);
    }
    sim::ProcessorErrors& errors() { return t.board.processorErrors(); }
    sim::Board& board() { return t.board; }
    void RunMs(uint32_t dMs) { t.RunMs(dMs); }

    TimeBoard t;
};

// Boots the controller from its reset entry up to its first main-loop cycle.
inline bool BootToMainLoop(sim::Board& board) {
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    return board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete") != std::string::npos; },
                          120'000'000'000ull) == sim::StopKind::Running;
}

// The newest event of the log, nullptr when the log is empty.
inline const fw::EVENT_LOG_ENTRY* NewestEvent(uint8_t bCode) {
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t i = 1; i <= wCount; ++i) {
        const uint16_t w = static_cast<uint16_t>((wNext + fw::EVENT_LOG_ENTRIES - i) % fw::EVENT_LOG_ENTRIES);
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(w);
        if (ps != nullptr && ps->bCode == bCode) return ps;
    }
    return nullptr;
}

// The entry posted just before the given one, nullptr when none.
inline const fw::EVENT_LOG_ENTRY* EventBefore(const fw::EVENT_LOG_ENTRY* ps) {
    for (uint16_t w = 0; w < fw::EVENT_LOG_ENTRIES; ++w) {
        if (fw::psGetEventLogEntry(w) != ps) continue;
        uint16_t wCount = 0, wNext = 0;
        fw::GetEventLogPosition(&wCount, &wNext);
        if (wCount < 2) return nullptr;
        return fw::psGetEventLogEntry(static_cast<uint16_t>((w + fw::EVENT_LOG_ENTRIES - 1) % fw::EVENT_LOG_ENTRIES));
    }
    return nullptr;
}

inline uint32_t CountEvents(uint8_t bCode) {
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    uint32_t n = 0;
    for (uint16_t i = 1; i <= wCount; ++i) {
        const uint16_t w = static_cast<uint16_t>((wNext + fw::EVENT_LOG_ENTRIES - i) % fw::EVENT_LOG_ENTRIES);
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(w);
        if (ps != nullptr && ps->bCode == bCode) ++n;
    }
    return n;
}

}  // namespace harness
