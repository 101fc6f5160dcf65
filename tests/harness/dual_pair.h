// Two controllers in one enclosure: the controller's firmware (fw) on the
// board in controller slot 1 and its second build (fw_b) on the board in
// slot 2, both on one clock, sharing the chassis and its drives, their
// drive IOCs and heartbeat lines joined.  Each has host fabrics of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "executive/startup.h"
#include "harness/second_firmware.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/side_by_side.h"

namespace dual {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;

struct Side {
    Side(sim::Clock* clock, sim::Chassis& chassis, bool slot1)
        : board(Config(clock, slot1)) {
        board.sasController().AttachChassis(&chassis);
        for (uint8_t chip = 1; chip <= 2; ++chip) sim::FindIspChip(board, chip)->AttachFabric(fabric);
        board.SetResetEntry(slot1 ? &fw::ControllerEntry : &fw_b::ControllerEntry);
        board.Boot();
    }
    static sim::BoardConfig Config(sim::Clock* clock, bool slot1) {
        sim::BoardConfig config;
        config.clock = clock;
        config.slot1 = slot1;
        config.firmware = slot1 ? &fw::hwFirmwareImage : &fw_b::hwFirmwareImage;
        config.wwn = slot1 ? 0x2000005AA5A00001ull : 0x2000005AA5A00002ull;
        return config;
    }
    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }

    sim::FcFabric fabric;
    sim::Board board;
};

struct Pair {
    explicit Pair(const sim::Chassis::Options& options = sim::Chassis::Options()) : chassis(options) {
        sim::Board::ConnectPartners(a->board, b->board);
    }
    bool RunUntil(const std::function<bool()>& done, uint64_t limitNs) {
        return sim::RunSideBySide({&a->board, &b->board}, done, limitNs);
    }
    bool Boot() {
        return RunUntil([this] { return a->Booted() && b->Booted(); }, kBootLimitNs);
    }
    std::string Consoles() const {
        return "--- controller 0 ---\n" + a->board.ConsoleText() + "\n--- controller 1 ---\n" + b->board.ConsoleText();
    }

    sim::Clock clock;
    sim::Chassis chassis;
    std::unique_ptr<Side> a = std::make_unique<Side>(&clock, chassis, true);
    std::unique_ptr<Side> b = std::make_unique<Side>(&clock, chassis, false);
};

}  // namespace dual
