// Two controllers in one enclosure: the controller's firmware (fw) on the
// board in controller slot 1 and its second build (fw_b) on the board in
// slot 2, both on one clock, sharing the chassis and its drives, their
// drive IOCs and heartbeat lines joined.  Each has host fabrics of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "executive/startup.h"
#include "harness/second_firmware.h"
#include "hw/scsi.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/side_by_side.h"

namespace fw_b {
using fw::PARTNER_MESSAGE_COUNTS;
const PARTNER_MESSAGE_COUNTS& sGetPartnerMessageCounts();
uint8_t fIsDriveRescanRequested();
uint8_t fIsDriveRescanInProgress();
}  // namespace fw_b

namespace fw {
uint8_t fIsDriveRescanRequested();
uint8_t fIsDriveRescanInProgress();
}  // namespace fw

namespace dual {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;

struct Side {
    // Host ports of another kind than Fibre Channel take their hosts from
    // the test (the fabric stays empty).
    Side(sim::Clock* clock, sim::Chassis& chassis, bool slot1, uint32_t sdramBytes = 128u << 20,
         sim::HostInterface host = sim::HostInterface::Fc)
        : board(Config(clock, slot1, sdramBytes, host)) {
        board.sasController().AttachChassis(&chassis);
        for (uint8_t chip = 1; host == sim::HostInterface::Fc && chip <= 2; ++chip) {
            sim::FindIspChip(board, chip)->AttachFabric(fabric);
        }
        board.SetResetEntry(slot1 ? &fw::ControllerEntry : &fw_b::ControllerEntry);
        board.Boot();
    }
    static sim::BoardConfig Config(sim::Clock* clock, bool slot1, uint32_t sdramBytes = 128u << 20,
                                   sim::HostInterface host = sim::HostInterface::Fc) {
        sim::BoardConfig config;
        config.clock = clock;
        config.slot1 = slot1;
        config.sdramBytes = sdramBytes;
        config.hostInterface = host;
        config.firmware = slot1 ? &fw::hwFirmwareImage : &fw_b::hwFirmwareImage;
        config.wwn = slot1 ? 0x2000005AA5A00001ull : 0x2000005AA5A00002ull;
        return config;
    }
    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }

    sim::FcFabric fabric;
    sim::Board board;
};

// A typed message without data, of the code given.
inline fw::INTER_CONTROLLER_MESSAGE TypedMessage(uint8_t bCode) {
    fw::INTER_CONTROLLER_MESSAGE s{};
    s.bEntryType = 0x11;
    s.bEntryCount = 1;
    s.wControlFlags = fw::PARTNER_CONTROL_NO_DATA;
    s.wTimeout = fw::PARTNER_MESSAGE_TIMEOUT_S;
    s.abCdb[0] = fw::PARTNER_TYPED_MESSAGE;
    s.abCdb[1] = bCode;
    return s;
}

// A host's READ(16) or WRITE(16) CDB.
inline std::vector<uint8_t> Cdb16(uint8_t bOpcode, uint64_t lba, uint32_t blocks) {
    std::vector<uint8_t> cdb(16, 0);
    cdb[0] = bOpcode;
    for (int i = 0; i < 8; ++i) cdb[2 + i] = static_cast<uint8_t>(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) cdb[10 + i] = static_cast<uint8_t>(blocks >> (24 - 8 * i));
    return cdb;
}

struct Pair {
    explicit Pair(const sim::Chassis::Options& options = sim::Chassis::Options(),
                  sim::HostInterface host = sim::HostInterface::Fc, uint32_t sdram = 128u << 20)
        : chassis(options), hostInterface(host), sdramBytes(sdram) {
        sim::Board::ConnectPartners(a->board, b->board);
    }
    // A hung board's processor runs no more; its devices and the drives go
    // on, and nothing it was asked is answered.  With `rebootOnReset`, a
    // board that resets itself starts again at once, on the NVRAM and the
    // drives it had, as a real one would (its console starts afresh).
    bool RunUntil(const std::function<bool()>& done, uint64_t limitNs) {
        const uint64_t end = limitNs > UINT64_MAX - clock.Now() ? UINT64_MAX : clock.Now() + limitNs;
        const auto resetOne = [this] {
            return rebootOnReset && (a->board.lastStop() == sim::StopKind::Reset ||
                                     b->board.lastStop() == sim::StopKind::Reset);
        };
        for (;;) {
            const std::function<bool()> stop = [&] { return (done && done()) || resetOne(); };
            const uint64_t left = end - clock.Now();
            if (hung == &a->board) {
                (void)sim::RunSideBySide({&b->board}, stop, left);
            } else if (hung == &b->board) {
                (void)sim::RunSideBySide({&a->board}, stop, left);
            } else {
                (void)sim::RunSideBySide({&a->board, &b->board}, stop, left);
            }
            if (done && done()) return true;
            if (!resetOne() || clock.Now() >= end) return false;
            for (Side* s : {a.get(), b.get()}) {
                if (s->board.lastStop() != sim::StopKind::Reset) continue;
                ++restarts;
                s->board.ClearConsoleText();
                s->board.Boot();
            }
        }
    }
    // Both started, their drive tables rebuilt (the master hands its
    // table over at the end) and the messages between them answered: what
    // a test sends next goes on a quiet link.
    bool Boot() {
        return RunUntil(
            [this] {
                return a->Booted() && b->Booted() && !Rescanning(fw::fIsDriveRescanRequested, fw::fIsDriveRescanInProgress) &&
                       !Rescanning(fw_b::fIsDriveRescanRequested, fw_b::fIsDriveRescanInProgress) &&
                       Quiet(fw::sGetPartnerMessageCounts()) && Quiet(fw_b::sGetPartnerMessageCounts());
            },
            kBootLimitNs);
    }
    // Runs fn once on the board's processor at its next poll (the processor
    // window then shows that board's memory); a poll inside fn does not run
    // it again.  True once fn has returned.
    bool OnProcessor(sim::Board& board, const std::function<void()>& fn, uint64_t limitNs = 10'000'000'000ull) {
        bool fStarted = false, fDone = false;
        board.pollHook = [&] {
            if (fStarted) return;
            fStarted = true;
            fn();
            fDone = true;
        };
        const bool f = RunUntil([&] { return fDone; }, limitNs);
        board.pollHook = nullptr;
        return f;
    }
    static bool Rescanning(uint8_t (*pfRequested)(), uint8_t (*pfInProgress)()) {
        return pfRequested() == fw::TRUE || pfInProgress() == fw::TRUE;
    }
    // One command from the host, run to its end (10 s at most, unless the
    // caller knows of a longer wait).
    sim::FcpResult RunCommand(sim::FcHost& host, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& data,
                       uint32_t dataIn = 0, uint64_t limitNs = 10'000'000'000ull) {
        sim::FcpCommand c;
        c.cdb = cdb;
        c.dataOut = data;
        c.dataInLength = dataIn;
        const uint32_t tag = host.initiator().Submit(host.target(), c);
        RunUntil([&] { return host.initiator().Finished(tag); }, limitNs);
        sim::FcpResult r = host.initiator().Result(tag);
        host.initiator().Forget(tag);
        return r;
    }
    // The host logged in to its controller and its power-on unit attention
    // taken: true once a read of block 0 is answered GOOD.
    bool HostReady(sim::FcHost& host) {
        constexpr uint64_t kLimitNs = 5'000'000'000ull;
        if (!RunUntil([&] { return host.target().Online(); }, kLimitNs)) return false;
        host.initiator().LogIn(host.target());
        RunUntil([&] { return host.initiator().LoginState(host.target()) != sim::FcInitiator::Login::Pending; },
                 kLimitNs);
        if (!host.LoggedIn()) return false;
        for (int i = 0; i < 4; ++i) {
            const sim::FcpResult r = RunCommand(host, Cdb16(fw::SCSI_READ16, 0, 1), {}, 512);
            if (r.outcome == sim::FcpResult::Outcome::Done && r.status == 0) return true;
        }
        return false;
    }
    static bool Quiet(const fw::PARTNER_MESSAGE_COUNTS& s) { return s.wOutgoingTotal == 0 && s.wIncomingTotal == 0; }
    // Controller 0 keeps its partner on both paths (the pair stays active)
    // but has no target id to send to: every message it queues is refused
    // as one would be with its message table full.  Until restored.
    void LosePartnerTargets() {
        abKeptTarget[0] = fw::bGetPartnerAlpaPath1();
        abKeptTarget[1] = fw::bGetPartnerAlpaPath2();
        fw::SetPartnerAlpaPath1(0xFF);
        fw::SetPartnerAlpaPath2(0xFF);
    }
    void RestorePartnerTargets() {
        fw::SetPartnerAlpaPath1(abKeptTarget[0]);
        fw::SetPartnerAlpaPath2(abKeptTarget[1]);
    }
    std::string Consoles() const {
        return "--- controller 0 ---\n" + a->board.ConsoleText() + "\n--- controller 1 ---\n" + b->board.ConsoleText();
    }

    sim::Clock clock;
    sim::Chassis chassis;
    sim::HostInterface hostInterface = sim::HostInterface::Fc;
    uint32_t sdramBytes = 128u << 20;   // each board's
    std::unique_ptr<Side> a = std::make_unique<Side>(&clock, chassis, true, sdramBytes, hostInterface);
    std::unique_ptr<Side> b = std::make_unique<Side>(&clock, chassis, false, sdramBytes, hostInterface);
    const sim::Board* hung = nullptr;
    uint8_t abKeptTarget[2] = {0xFF, 0xFF};
    bool rebootOnReset = false;
    unsigned restarts = 0;
};

}  // namespace dual
