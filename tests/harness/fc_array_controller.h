// A controller on a chassis of drives, its Fibre Channel host ports on a
// fabric, booted (and booted again) on the same drives: for the system
// tests that drive it as hosts and management clients do.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_menu.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace harness {

// Console keys one at a time, each once the console has dealt with the one
// before; the console's text meanwhile.
inline std::string TypeAtConsole(sim::Board& b, std::string_view keys) {
    b.ClearConsoleText();
    for (char k : keys) {
        b.TypeKeys(std::string_view(&k, 1));
        b.RunUntil([&b] { return !b.uart().ReceivePending() && fw::psGetMenuState()->fMenuCallPending != fw::TRUE; },
                   60'000'000'000ull);
        b.RunFor(2'000'000);
    }
    return b.ConsoleText();
}

struct FcArrayController {
    // A new board and fabric on the chassis, run to the main loop and its
    // first rest.
    void Boot(sim::FcFabric::Topology eTopology = sim::FcFabric::Topology::Fabric, uint32_t dSpeedGb = 4) {
        board = std::make_unique<sim::Board>();
        fabric = std::make_unique<sim::FcFabric>(eTopology);
        fabric->SetLinkSpeedGb(dSpeedGb);
        board->sasController().AttachChassis(&chassis);
        for (uint8_t bChip = 1; bChip <= 2; ++bChip) sim::FindIspChip(*board, bChip)->AttachFabric(*fabric);
        ASSERT_TRUE(BootToMainLoop(*board)) << board->ConsoleText();
        ASSERT_TRUE(cfgbuild::Builder(*board).WaitIdle());
    }
    sim::IspChip& Chip(uint8_t bChip = 1) { return *sim::FindIspChip(*board, bChip); }

    std::string Type(std::string_view keys) { return TypeAtConsole(*board, keys); }

    // The command once any unit attention it meets has been reported.
    static sim::FcpResult Settled(sim::FcHost& host, uint16_t lun, const std::vector<uint8_t>& cdb,
                                  const std::vector<uint8_t>& out = {}, uint32_t in = 0) {
        sim::FcpResult r;
        for (int i = 0; i < 6; ++i) {
            r = host.Send(lun, cdb, out, in);
            if (r.outcome != sim::FcpResult::Outcome::Done || r.status != fw::SCSI_STATUS_CHECK_CONDITION ||
                r.sense.size() < 3 || (r.sense[2] & 0x0F) != fw::SENSE_UNIT_ATTENTION) {
                break;
            }
        }
        EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        return r;
    }

    // A management set command: WRITE BUFFER mode 1 with the code and the
    // arguments of CDB bytes 3-5, its data the signature and the block.
    static std::vector<uint8_t> ManagementCdb(uint8_t bCode, uint8_t b3, uint8_t b4, uint8_t b5, uint32_t dLength) {
        return {fw::SCSI_WRITE_BUFFER, 0x01, bCode, b3, b4, b5, uint8_t(dLength >> 16), uint8_t(dLength >> 8),
                uint8_t(dLength), 0};
    }
    static std::vector<uint8_t> ManagementData(const std::vector<uint8_t>& block) {
        std::vector<uint8_t> ab(std::begin(fw::MANAGEMENT_SIGNATURE), std::end(fw::MANAGEMENT_SIGNATURE));
        ab.insert(ab.end(), block.begin(), block.end());
        return ab;
    }
    static sim::FcpResult Management(sim::FcHost& host, uint8_t bCode, uint8_t b3 = 0, uint8_t b4 = 0,
                                     uint8_t b5 = 0, const std::vector<uint8_t>& block = {}) {
        const std::vector<uint8_t> data = ManagementData(block);
        return Settled(host, 0, ManagementCdb(bCode, b3, b4, b5, static_cast<uint32_t>(data.size())), data);
    }
    // Sense key, ASC and ASCQ of a CHECK CONDITION; 0 for other status.
    static uint32_t Sense(const sim::FcpResult& r) {
        if (r.status != fw::SCSI_STATUS_CHECK_CONDITION || r.sense.size() < 14) return 0;
        return uint32_t(r.sense[2] & 0x0F) << 16 | uint32_t(r.sense[12]) << 8 | r.sense[13];
    }

    sim::Chassis chassis;
    std::unique_ptr<sim::FcFabric> fabric;
    std::unique_ptr<sim::Board> board;
};

}  // namespace harness
