// A controller on the test board that fits the Fibre Channel drive-loop
// chips 3 and 4, with drives on the loops, booted to the end of its first
// drive-loop bring-up.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "config/host_port_tables.h"
#include "executive/kernel_entry.h"
#include "executive/startup.h"
#include "executive/timers.h"
#include "fc/fc_driver.h"
#include "hw/isp_fc.h"
#include "sim/board.h"
#include "sim/drive.h"
#include "sim/isp_loop_chip.h"
#include "tests/harness/dispatch_board.h"
#include "tests/harness/main_loop_call.h"

namespace looptest {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kBringUpLimitNs = 60'000'000'000ull;
constexpr uint64_t kWwnBase = 0x2000001122330000ull;
constexpr uint32_t kDriveBlocks = 1u << 20;

inline sim::BoardConfig LoopBoardConfig() {
    sim::BoardConfig c;
    c.driveLoopChips = true;
    return c;
}

// The drive's WWN as the firmware's tables hold it, most significant byte first.
inline std::array<uint8_t, 8> WwnBytes(uint64_t wwn) {
    std::array<uint8_t, 8> ab{};
    for (int i = 0; i < 8; ++i) ab[i] = static_cast<uint8_t>(wwn >> (56 - 8 * i));
    return ab;
}

struct LoopController {
    explicit LoopController(const sim::BoardConfig& config = LoopBoardConfig()) : board(config) {}

    sim::IspLoopChip& Chip(uint8_t chip) { return *board.loopChip(chip); }

    // Drive k (loop ID k on each loop it is on), its WWN kWwnBase + k.
    sim::Drive& AddDrive(uint8_t k, bool onLoop3 = true, bool onLoop4 = true) {
        sim::DriveConfig dc;
        dc.blocks = kDriveBlocks;
        dc.unitAttentionAtPowerOn = false;
        drives.push_back(std::make_unique<sim::Drive>(dc));
        sim::LoopDevice d;
        d.alpa = fw::FC_AL_LOOP_ID_TO_ALPA[k];
        d.nodeName = kWwnBase + k;
        d.drive = drives.back().get();
        for (uint8_t chip = 3; chip <= 4; ++chip) {
            if ((chip == 3 && !onLoop3) || (chip == 4 && !onLoop4)) continue;
            d.portName = d.nodeName + (chip == 3 ? 0x100000000ull : 0x200000000ull);
            Chip(chip).devices.push_back(d);
        }
        return *drives.back();
    }

    sim::LoopDevice* Device(uint8_t chip, uint8_t k) { return Chip(chip).Find(fw::FC_AL_LOOP_ID_TO_ALPA[k]); }

    static bool BroughtUp() {
        return fw::fGetDriveLoopsStarted() == fw::FALSE && fw::fGetDriveLoopLipFlag(3) == fw::FALSE &&
               fw::fGetDriveLoopLipFlag(4) == fw::FALSE && fw::bGetLoopMapCount(3) != 0;
    }

    bool Boot() {
        board.SetResetEntry(&fw::ControllerEntry);
        board.Boot();
        if (board.RunUntil([this] { return Booted(); }, kBootLimitNs) != sim::StopKind::Running) return false;
        return WaitBringUp();
    }

    bool WaitBringUp() {
        return board.RunUntil([] { return BroughtUp(); }, kBringUpLimitNs) == sim::StopKind::Running &&
               BroughtUp();
    }

    // A loop initialisation on the loop, and the bring-up it starts.
    bool Lip(uint8_t chip) {
        Chip(chip).Lip();
        if (board.RunUntil([] { return fw::fGetDriveLoopLipFlag(3) == fw::TRUE || fw::fGetDriveLoopLipFlag(4) == fw::TRUE; },
                           1'000'000'000ull) != sim::StopKind::Running) {
            return false;
        }
        return WaitBringUp();
    }

    // Runs `fn` on the controller's processor at its next main-loop poll,
    // between two cycles, as the firmware's own code would run.
    void OnCpu(const std::function<void()>& fn) { harness::OnMainLoop(board, fn); }

    // Runs `fn`, which waits on the chips, from the main loop's timer pass:
    // the firmware's own callers of such waits run there too.
    bool CallWaiting(const std::function<void()>& fn) {
        static std::function<void()> s_fn;
        static bool s_fDone;
        s_fn = fn;
        s_fDone = false;
        OnCpu([] {
            fw::KERNEL_ENTRY* ps = nullptr;
            if (fw::bAllocKernelEntries(1, 1, &ps) != fw::STATUS_OK) return;
            fw::InsertTimer(ps, [](fw::KERNEL_ENTRY*, fw::TIMER_NODE*) {
                s_fn();
                s_fDone = true;
            }, 0);
        });
        return board.RunUntil([] { return s_fDone; }, 30'000'000'000ull) == sim::StopKind::Running && s_fDone;
    }

    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }
    void Run(uint64_t ns) { (void)board.RunFor(ns); }

    sim::Board board;
    std::vector<std::unique_ptr<sim::Drive>> drives;
};

// A status entry (type 0x03) as the chip writes it.
inline std::array<uint8_t, 64> StatusEntry(uint32_t handle, uint8_t tag, uint8_t scsiStatus, uint16_t completion) {
    std::array<uint8_t, 64> e{};
    e[0] = fw::ISP_ENTRY_STATUS;
    e[1] = 1;
    e[2] = tag;
    std::memcpy(&e[4], &handle, 4);
    e[8] = scsiStatus;
    std::memcpy(&e[10], &completion, 2);
    return e;
}

}  // namespace looptest
