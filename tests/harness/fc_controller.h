// A controller booted on a simulated board whose Fibre Channel host chips
// sit on a simulated fabric, for the tests that drive it as hosts do.
//
//     fctest::FcController c;                  // boots to the main loop
//     sim::FcHost host(c.board, c.fabric, c.Port(1), 0x2100001B32000001);
//     host.LogIn();
//     sim::FcpResult r = host.Send(0, {0x00, 0, 0, 0, 0, 0});   // TEST UNIT READY
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "executive/startup.h"
#include "sim/board.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"

namespace fctest {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kLinkLimitNs = 1'000'000'000ull;

inline sim::BoardConfig DefaultConfig() { return sim::BoardConfig(); }

struct FcController {
    explicit FcController(const sim::BoardConfig& config = DefaultConfig(),
                          sim::FcFabric::Topology topology = sim::FcFabric::Topology::Fabric)
        : board(config), fabric(topology) {
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            if (sim::IspChip* p = sim::FindIspChip(board, chip)) p->AttachFabric(fabric);
        }
        board.SetResetEntry(&fw::ControllerEntry);
        board.Boot();
        stop = board.RunUntil([this] { return Booted(); }, kBootLimitNs);
        // The links come up once the firmware has its control block.
        if (stop == sim::StopKind::Running) stop = board.RunUntil([this] { return LinksUp(); }, kLinkLimitNs);
    }

    bool LinksUp() {
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            sim::IspChip* p = sim::FindIspChip(board, chip);
            if (p != nullptr && p->risc() == sim::IspChip::Risc::Initialised && !p->Online()) return false;
        }
        return true;
    }

    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }
    sim::IspChip& Chip(uint8_t chip) { return *sim::FindIspChip(board, chip); }
    sim::FcTargetPort& Port(uint8_t chip) { return Chip(chip); }
    // Runs the main loop for a while of board time.
    void Run(uint64_t ns) { (void)board.RunFor(ns); }

    sim::Board board;
    sim::FcFabric fabric;
    sim::StopKind stop = sim::StopKind::Running;
};

}  // namespace fctest
