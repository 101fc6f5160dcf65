// Host commands a survivor holds for its pair are not left unanswered past
// a host's time-out: a command held 20 s is answered NOT READY, becoming
// ready (04/01), which hosts retry on; INQUIRY and REPORT LUNS are answered
// as ever, and new logins meanwhile at once.  And how long a takeover keeps
// the survivor's hosts waiting, measured in board time.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "cache/flush_sequencer.h"
#include "harness/main_loop_call.h"
#include "pair_writes.h"

namespace fw_b {
uint8_t fGetDualControllerWorkFlag();
}  // namespace fw_b

namespace {

using dual::Cdb16;

constexpr uint64_t kHostTimeOutNs = 30'000'000'000ull;
constexpr uint64_t kHostC = 0x2100001B32F00003ull;
constexpr uint64_t kHostD = 0x2100001B32F00004ull;

class PartnerHeldCommands : public dual::PairUnderWrites {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_5); }

    // A command through the host given, sent now: it is answered within a
    // host's time-out.
    sim::FcpResult AnsweredInTime(sim::FcHost& host, const std::vector<uint8_t>& cdb, uint32_t dataIn) {
        const sim::FcpResult r = RunCommand(host, cdb, {}, dataIn, kHostTimeOutNs);
        EXPECT_EQ(r.outcome, Outcome::Done) << "not answered within 30 s" << Consoles();
        return r;
    }
    static bool IsBecomingReady(const sim::FcpResult& r) {
        return r.status == fw::SCSI_STATUS_CHECK_CONDITION && r.sense.size() > 13 && (r.sense[2] & 0x0F) == 2 &&
               r.sense[12] == 0x04 && r.sense[13] == 0x01;
    }
    // The board's tick, in milliseconds.
    uint64_t NowMs() const { return clock.Now() / kMs; }

    struct Takeover {
        uint64_t lLoginMs;   // from the cut to the new host's login answered
        uint64_t lReadMs;    // from the cut to its first read answered GOOD
    };
    // Controller 0 is cut; a host new to controller 1 (as one failing over
    // from controller 0 is) logs in to it at once and reads until a read is
    // answered GOOD.
    Takeover CutAAndFailOver(uint64_t portName) {
        a->board.CutPower();
        const uint64_t lCutMs = NowMs();
        Takeover t{};
        sim::FcHost host(b->board, b->fabric, *sim::FindIspChip(b->board, 1), portName);
        host.initiator().LogIn(host.target());
        EXPECT_TRUE(RunUntil(
            [&] { return host.initiator().LoginState(host.target()) != sim::FcInitiator::Login::Pending; },
            kHostTimeOutNs))
            << Consoles();
        EXPECT_TRUE(host.LoggedIn()) << Consoles();
        t.lLoginMs = NowMs() - lCutMs;
        for (int i = 0; i < 8; ++i) {
            const sim::FcpResult r = RunCommand(host, Cdb16(fw::SCSI_READ16, 0, 1), {}, kBlock, kHostTimeOutNs);
            if (r.outcome == Outcome::Done && r.status == 0) break;
        }
        t.lReadMs = NowMs() - lCutMs;
        return t;
    }
};

// Controller 1 is lost; controller 0, told its partner holds writes it
// acknowledged alone, waits for it with its host commands held.  A READ
// and a TEST UNIT READY get NOT READY 04/01 within a host's time-out, an
// INQUIRY and a REPORT LUNS their answers, and a new host's login goes
// through at once.
TEST_F(PartnerHeldCommands, ASurvivorHoldingItsHostsAnswersEveryCommandWithinAHostsTimeOut) {
    b->board.CutPower();
    ASSERT_TRUE(RunUntil(
        [] { return fw::fIsDualControllerActive() != fw::TRUE && fw::fGetDualControllerWorkFlag() != fw::TRUE; },
        5000 * kMs))
        << Consoles();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
    harness::OnMainLoop(a->board, [] { fw::AwaitPartnerJournals(); });
    ASSERT_EQ(fw::fIsHostWorkHeldForPartnerStart(), fw::TRUE);

    const uint64_t lSentMs = NowMs();
    const sim::FcpResult read = AnsweredInTime(*hostA, Cdb16(fw::SCSI_READ16, 0, kRowBlocks), kRowBlocks * kBlock);
    EXPECT_TRUE(IsBecomingReady(read)) << "status " << int(read.status);
    // Not before it was held a while: a short hold still ends in data.
    EXPECT_GE(NowMs() - lSentMs, 15'000u);
    EXPECT_TRUE(IsBecomingReady(AnsweredInTime(*hostA, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0)));
    EXPECT_EQ(AnsweredInTime(*hostA, {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0}, 36).status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(AnsweredInTime(*hostA, {fw::SCSI_REPORT_LUNS, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 16).status,
              fw::SCSI_STATUS_GOOD);

    sim::FcHost hostC(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHostC);
    const uint64_t lLoginMs = NowMs();
    ASSERT_TRUE(hostC.LogIn(kHostTimeOutNs)) << Consoles();
    EXPECT_LT(NowMs() - lLoginMs, 2000u);
    EXPECT_EQ(fw::fIsAwaitingPartnerJournals(), fw::TRUE);
}

// How long the survivor keeps a host failing over to it waiting, measured
// in board time: its login is answered at once, its first read once the
// takeover is through.  The same when controller 0 is cut 4 s after it
// came back and joined.
TEST_F(PartnerHeldCommands, AHostFailingOverLogsInAtOnceAfterAPlainCutAndAfterARejoin) {
    const Takeover plain = CutAAndFailOver(kHostC);
    ASSERT_NO_FATAL_FAILURE(Rejoin(*a, *hostA));
    (void)RunUntil([] { return false; }, 4000 * kMs);
    const Takeover rejoined = CutAAndFailOver(kHostD);
    std::printf("takeover: login %llu ms, read %llu ms; cut 4 s after a rejoin: login %llu ms, read %llu ms\n",
                static_cast<unsigned long long>(plain.lLoginMs), static_cast<unsigned long long>(plain.lReadMs),
                static_cast<unsigned long long>(rejoined.lLoginMs), static_cast<unsigned long long>(rejoined.lReadMs));
    EXPECT_LT(plain.lLoginMs, 2000u);
    EXPECT_LT(rejoined.lLoginMs, 2000u);
    // No longer than the first: the drive side is restarted once.
    EXPECT_LT(rejoined.lReadMs, plain.lReadMs + 1000);
}

}  // namespace
