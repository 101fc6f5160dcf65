// The start every host-road benchmark shares: a controller booted on a
// simulated board with its drives in a chassis and its Fibre Channel host
// chips on a fabric, and one host logged in and past the power-on unit
// attention.
#pragma once

#include <cstdio>
#include <memory>

#include "executive/startup.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace bench {

// The host on chip 1, or nothing when the controller did not come up (the
// console is printed, headed by the benchmark's name).  `entry` is the reset
// entry of the firmware the board runs (its BoardConfig names that
// firmware's image).
inline std::unique_ptr<sim::FcHost> StartFcRoad(sim::Board& board, sim::Chassis& chassis, sim::FcFabric& fabric,
                                                const char* name, void (*entry)() = &fw::ControllerEntry) {
    board.sasController().AttachChassis(&chassis);
    for (uint8_t chip = 1; chip <= 2; ++chip) {
        if (sim::IspChip* p = sim::FindIspChip(board, chip)) p->AttachFabric(fabric);
    }
    board.SetResetEntry(entry);
    board.Boot();
    board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; },
                   120'000'000'000ull);
    auto host = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 1), 0x2100001B32000001ull);
    if (!host->LogIn()) {
        std::fprintf(stderr, "%s: the controller did not come up\n%s", name, board.ConsoleText().c_str());
        return nullptr;
    }
    // The power-on unit attention goes to the first command.
    for (int i = 0; i < 4; ++i) {
        if (host->Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status == 0) break;
    }
    return host;
}

}  // namespace bench
