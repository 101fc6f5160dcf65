// A seeded campaign of losses: a pair under host writes through both
// controllers loses one controller, both, or one while both start again
// together, at seeded moments, again and again.  After each case every
// write a host was told was done reads back through the survivor, and
// through both once the pair runs again; the rows on the drives hold once
// the caches are empty.  A block the pair reports lost (event 101) may
// answer a medium error instead, never old data.  A survivor that lacks
// what the lost one acknowledged alone serves nothing until it is back.
//
// Each test runs kLossCasesPerTest cases on one pair, one after the other,
// each from the state the last left, from the seed of its parameter.  The
// test suite runs the first seeds, the bench (bench/pair_loss_bench) more.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "cache/flush_sequencer.h"
#include "config/rank_table.h"
#include "pair_writes.h"

namespace fw_b {
uint8_t fIsAwaitingPartnerJournals();
uint8_t fGetDualControllerWorkFlag();
}  // namespace fw_b

namespace dual {

// Cases each test of the campaign runs on its pair.
constexpr int kLossCasesPerTest = 8;

// A survivor holds new host commands through its takeover, until the lost
// one's mirrored writes are on the drives, and that flush first waits for
// the drive side to be found again after the drive IOC's restart (some 14 s
// here: the links' 4 s to settle, the restart, 4 s after it).  The writes
// held through it are given a minute, and so is a read sent meanwhile.
constexpr uint64_t kTakeoverNs = 60'000'000'000ull;

class PairLossCampaign : public dual::PairUnderWrites, public ::testing::WithParamInterface<int> {
protected:
    enum class Loss { One, Both, DuringStart };
    enum class Moment { Time, MirrorData, DriveWrite };

    void SetUp() override {
        seed.seed(static_cast<uint32_t>(GetParam()) * 7919u + 17u);
        rng.seed(static_cast<uint32_t>(GetParam()) + 101u);
        // Some pairs keep write-back when a partner fails: what a controller
        // then acknowledges alone has no copy until the pair runs again.
        fKeepWriteBack = seed() % 2 == 0;
        const uint8_t abLevels[] = {fw::RAID_LEVEL_5, fw::RAID_LEVEL_5, fw::RAID_LEVEL_6, fw::RAID_LEVEL_10};
        const uint8_t bPolicy = fKeepWriteBack ? fw::POLICY_WRITE_BACK : fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR;
        const uint8_t bArrayLevel = abLevels[seed() % 4];
        setting = std::string(fKeepWriteBack ? "write-back kept alone" : "write-back off alone") + ", RAID " +
                  std::to_string(bArrayLevel == fw::RAID_LEVEL_10 ? 10 : bArrayLevel);
        Start(bArrayLevel, 0, bPolicy);
    }
    void TearDown() override {
        for (dual::Side* s : {a.get(), b.get()}) {
            s->board.sasController().driveCommandSeen = nullptr;
            s->board.sasController().partnerAnswerSeen = nullptr;
        }
    }

    uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(seed() % n); }
    dual::Side& SideOf(bool fB) { return fB ? *b : *a; }
    sim::FcHost& HostOf(bool fB) { return fB ? *hostB : *hostA; }

    // Arms a seeded moment of the boards given: a time (up to `spanMs`
    // from now), an answer to a mirror message one of them sent (copies
    // included), or a write to the array's data region one of them issued.
    // A write issued by the board to be cut (`cut`) is torn: part of it
    // reaches the medium.
    std::function<bool()> ArmMoment(std::initializer_list<sim::Board*> boards, const sim::Board* cut,
                                    uint32_t spanMs) {
        const Moment m = static_cast<Moment>(Pick(3));
        const uint32_t k = 1 + Pick(16);
        count = 0;
        fMoment = false;
        std::ostringstream o;
        switch (m) {
        case Moment::Time: {
            const uint64_t at = clock.Now() + (1 + Pick(spanMs)) * kMs;
            o << "after " << (at - clock.Now()) / kMs << " ms";
            story += o.str();
            return [this, at] { return clock.Now() >= at; };
        }
        case Moment::MirrorData:
            for (sim::Board* board : boards) {
                board->sasController().partnerAnswerSeen = [this, k](const uint8_t* pbCdb, uint8_t bStatus) {
                    if (pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && bStatus == fw::SCSI_STATUS_GOOD &&
                        (pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR_DATA || pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR) &&
                        ++count == k) {
                        fMoment = true;
                    }
                };
            }
            o << "at answer " << k << " to a mirror message";
            story += o.str();
            return [this] { return fMoment; };
        case Moment::DriveWrite:
            for (sim::Board* board : boards) {
                const bool fTear = board == cut;
                board->sasController().driveCommandSeen = [this, k, fTear](sim::Drive& drive,
                                                                          std::span<const uint8_t> cdb) {
                    if (fMoment || (cdb[0] != fw::SCSI_WRITE10 && cdb[0] != fw::SCSI_WRITE16) ||
                        WriteLba(cdb) >= uint64_t(kRows) * kChunk || ++count != k) {
                        return;
                    }
                    fMoment = true;
                    if (fTear) drive.CutPowerDuringNextWrite(4);
                };
            }
            o << "at data write " << k;
            story += o.str();
            return [this] { return fMoment; };
        }
        return [] { return true; };
    }
    void Disarm() {
        for (dual::Side* s : {a.get(), b.get()}) {
            s->board.sasController().driveCommandSeen = nullptr;
            s->board.sasController().partnerAnswerSeen = nullptr;
        }
    }
    // Runs until the moment, or until it can no longer come (the writes it
    // counts on have all ended): true when it came.
    bool RunToMoment(const std::function<bool()>& moment, uint64_t limitNs) {
        return RunUntil(moment, limitNs);
    }
    void Cut(bool fB) {
        if (!SideOf(fB).board.poweredOff()) SideOf(fB).board.CutPower();
    }

    // Every acknowledged write reads back through the controller given; a
    // block it reported lost since the case began may answer a medium error.
    // A survivor may still be taking over: its first answer may take that
    // long.
    void CheckWithReportedLoss(bool fB) {
        const uint16_t wFrom = fB ? wLogB : wLogA;
        ASSERT_NO_FATAL_FAILURE(
            CheckThrough(HostOf(fB), [fB, wFrom] { return PostedSince(fB, wFrom, 101); }, story, kTakeoverNs));
    }
    // A read through the controller given is not answered: its host
    // commands wait.
    void ExpectNoAnswer(bool fB) {
        sim::FcHost& host = HostOf(fB);
        if (!RunUntil([&] { return host.target().Online(); }, 5000 * kMs)) return;
        host.initiator().LogIn(host.target());
        RunUntil([&] { return host.initiator().LoginState(host.target()) != sim::FcInitiator::Login::Pending; },
                 5000 * kMs);
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_READ16, 0, kRowBlocks);
        c.dataInLength = kRowBlocks * kBlock;
        const uint32_t tag = host.initiator().Submit(host.target(), c);
        RunUntil([&] { return host.initiator().Finished(tag); }, 2000 * kMs);
        const bool fDone = host.initiator().Finished(tag);
        const sim::FcpResult r = host.initiator().Result(tag);
        ASSERT_FALSE(fDone && r.outcome == Outcome::Done && r.status == 0) << story << ": answered while waiting";
        waiting.push_back({&host, tag});
    }
    // Both serve again: the hosts read everything back through both, and
    // once both caches are empty the rows on the drives hold.
    void CheckBoth() {
        // A read held while the survivor waited, answered once the journals
        // it waited for were written, gives what the hosts were told.
        for (const Waiting& w : waiting) {
            RunUntil([&] { return w.host->initiator().Finished(w.tag); }, 10'000 * kMs);
            const sim::FcpResult r = w.host->initiator().Result(w.tag);
            if (w.host->initiator().Finished(w.tag) && r.outcome == Outcome::Done && r.status == 0) {
                for (uint32_t k = 0; k < kRowBlocks; ++k) {
                    if (!known[k]) continue;
                    ASSERT_TRUE(std::equal(r.dataIn.begin() + size_t(k) * kBlock, r.dataIn.begin() + size_t(k + 1) * kBlock,
                                           expected.begin() + size_t(k) * kBlock))
                        << story << ": the read held meanwhile, block " << k;
                }
            }
            w.host->initiator().Forget(w.tag);
        }
        waiting.clear();
        ASSERT_NO_FATAL_FAILURE(CheckWithReportedLoss(false));
        ASSERT_NO_FATAL_FAILURE(CheckWithReportedLoss(true));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << story << Journals();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives()) << story;
    }

    // Both write a batch and see it through, then send another: the case's
    // loss comes while it is on its way.
    void WriteThroughBoth() {
        SlowDrives(Pick(3) == 0 ? 0 : (20 + Pick(180)) * kMs);
        SendBatch(!a->board.poweredOff(), !b->board.poweredOff());
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SendBatch(!a->board.poweredOff(), !b->board.poweredOff());
    }
    // The controller given is lost at a seeded moment under writes; the
    // survivor's host writes on alone.
    void LoseOneUnderWrites(bool fB) {
        ASSERT_NO_FATAL_FAILURE(WriteThroughBoth());
        story += std::string(fB ? " controller 1" : " controller 0") + " cut ";
        const auto moment = ArmMoment({&a->board, &b->board}, &SideOf(fB).board, 600);
        (void)RunToMoment(moment, 20'000 * kMs);
        Disarm();
        Cut(fB);
        ASSERT_NO_FATAL_FAILURE(Settle(kTakeoverNs));
        SendBatch(fB, !fB);
        ASSERT_NO_FATAL_FAILURE(Settle(kTakeoverNs));
        SlowDrives(0);
    }
    // Both are lost under writes at a seeded moment: at once (the program
    // killed), or the second a little after the first.
    void LoseBothUnderWrites(bool fFirstB) {
        const bool fAlreadyOne = a->board.poweredOff() || b->board.poweredOff();
        if (fAlreadyOne) fFirstB = b->board.poweredOff();
        ASSERT_NO_FATAL_FAILURE(WriteThroughBoth());
        story += " both cut ";
        const auto moment = ArmMoment({&a->board, &b->board}, &SideOf(!fFirstB).board, 600);
        (void)RunToMoment(moment, 20'000 * kMs);
        Disarm();
        Cut(fFirstB);
        if (Pick(2) == 0) {
            const uint64_t lateNs = (1 + Pick(300)) * kMs;
            story += " (the other " + std::to_string(lateNs / kMs) + " ms later)";
            (void)RunUntil([] { return false; }, lateNs);
        }
        Cut(!fFirstB);
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
        SlowDrives(0);
    }
    // Both start together; with `fCut` one of them is lost at a seeded
    // moment of the start, and the other serves alone.
    void StartTogether(bool fCut) {
        SlowDrives(Pick(2) == 0 ? 0 : (20 + Pick(180)) * kMs);
        std::function<bool()> moment;
        const bool fB = Pick(2) == 0;
        if (fCut) {
            story += std::string("; both start, ") + (fB ? "controller 1" : "controller 0") + " cut ";
            // The writer is not known ahead: the moment is either board's.
            // A start together takes about a minute of board time, its
            // journals written out at the end.
            moment = ArmMoment({&a->board, &b->board}, &SideOf(fB).board, 60'000);
        } else {
            story += "; both start";
        }
        PowerBothOn();
        if (fCut) {
            (void)RunToMoment(moment, 120'000 * kMs);
            Disarm();
            Cut(fB);
            SlowDrives(0);
            // The survivor has started and taken the loss in.
            ASSERT_TRUE(RunUntil(
                [&] {
                    return SideOf(!fB).Booted() &&
                           (fB ? fw::fIsDualControllerActive() : fw_b::fIsDualControllerActive()) != fw::TRUE &&
                           (fB ? fw::fGetDualControllerWorkFlag() : fw_b::fGetDualControllerWorkFlag()) != fw::TRUE;
                },
                dual::kBootLimitNs))
                << story << Consoles();
            // A survivor that lacks what the lost one acknowledged alone
            // serves no host until it is back: nothing to read through it.
            if ((fB ? fw::fIsAwaitingPartnerJournals() : fw_b::fIsAwaitingPartnerJournals()) == fw::TRUE) {
                story += " (the other waits for it)";
                ASSERT_NO_FATAL_FAILURE(ExpectNoAnswer(!fB));
            } else {
                ASSERT_TRUE(HostReady(HostOf(!fB))) << story << Consoles();
                ASSERT_NO_FATAL_FAILURE(CheckWithReportedLoss(!fB));
            }
            ASSERT_NO_FATAL_FAILURE(Rejoin(SideOf(fB), HostOf(fB))) << story;
            if (!HostOf(!fB).LoggedIn() || HostOf(!fB).initiator().LoginState(HostOf(!fB).target()) !=
                                               sim::FcInitiator::Login::LoggedIn) {
                ASSERT_TRUE(HostReady(HostOf(!fB))) << story << Consoles();
            }
            return;
        }
        SlowDrives(0);
        ASSERT_TRUE(Boot()) << story << Consoles();
        ASSERT_TRUE(HostReady(*hostA)) << story << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << story << Consoles();
    }

    // One seeded case, from a pair that runs.
    void RunCase(int iCase) {
        story = "case " + std::to_string(GetParam()) + "." + std::to_string(iCase) + " (" + setting + "):";
        wLogA = LogEnd(false);
        wLogB = LogEnd(true);
        const Loss loss = static_cast<Loss>(Pick(3));
        const bool fB = Pick(2) == 0;
        // Now and then one runs alone first, its host writing on.
        if (loss != Loss::One && Pick(3) == 0) {
            story += " first";
            ASSERT_NO_FATAL_FAILURE(LoseOneUnderWrites(fB));
            story += ";";
        }
        switch (loss) {
        case Loss::One:
            ASSERT_NO_FATAL_FAILURE(LoseOneUnderWrites(fB));
            ASSERT_NO_FATAL_FAILURE(CheckWithReportedLoss(!fB));
            ASSERT_NO_FATAL_FAILURE(Rejoin(SideOf(fB), HostOf(fB))) << story;
            break;
        case Loss::Both:
            ASSERT_NO_FATAL_FAILURE(LoseBothUnderWrites(fB));
            ASSERT_NO_FATAL_FAILURE(StartTogether(false));
            break;
        case Loss::DuringStart:
            ASSERT_NO_FATAL_FAILURE(LoseBothUnderWrites(fB));
            ASSERT_NO_FATAL_FAILURE(StartTogether(true));
            break;
        }
        ASSERT_NO_FATAL_FAILURE(CheckBoth());
    }

    struct Waiting {
        sim::FcHost* host;
        uint32_t tag;
    };
    std::vector<Waiting> waiting;
    std::mt19937 seed;
    bool fKeepWriteBack = false;
    uint32_t count = 0;
    uint16_t wLogA = 0;
    uint16_t wLogB = 0;
    std::string story;
    std::string setting;
};

}  // namespace dual
