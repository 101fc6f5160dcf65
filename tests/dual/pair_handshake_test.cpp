// The pair's handshake, each step seen on its own: the partner holds a
// write's record before the drives see the write, data the partner refused
// makes the write a write-through one, and a controller coming back keeps
// asking for its failback until the partner lets it in.  Each test runs a
// single write or a single rejoin, so a step left out shows as that write's
// loss or that answer, not as one failure among a campaign's thousands.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

#include "pair_writes.h"
#include "partner/partner_link.h"

namespace fw_b {
uint8_t fIsSASFailbackAcceptedByPartner();
}  // namespace fw_b

namespace {

using dual::Cdb16;

class PairHandshake : public dual::PairUnderWrites {
protected:
    // One write of `blocks` blocks at the start of row `row`, sent by the
    // host given through its board.
    void SendOne(sim::FcHost& host, sim::Board& board, uint32_t row, uint32_t blocks) {
        Write w{&board, &host, uint64_t(row) * kRowBlocks, {}, 0};
        w.data.resize(size_t(blocks) * kBlock);
        for (uint8_t& c : w.data) c = static_cast<uint8_t>(rng() | 1);
        sim::FcpCommand c;
        c.cdb = Cdb16(fw::SCSI_WRITE16, w.lba, blocks);
        c.dataOut = w.data;
        w.tag = host.initiator().Submit(host.target(), c);
        inFlight.push_back(std::move(w));
    }
    // Controller 1 is gone: controller 0 serves every acknowledged write,
    // and once its cache is empty the rows on the drives hold.
    void CheckSurvivorA() {
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SlowDrives(0);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_TRUE(RunUntil([] { return fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    }
    bool AnyUnfinished() const {
        return std::any_of(inFlight.begin(), inFlight.end(),
                           [](const Write& w) { return !w.host->initiator().Finished(w.tag); });
    }
    static bool Typed(const uint8_t* pbCdb, uint8_t bMessage) {
        return pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == bMessage;
    }
};

// A write-through write (the array keeps no write-back) still tells the
// partner which row it is about to write: the record reaches controller 0
// late (the link is slow), and controller 1 is cut on the first drive write
// of that row, part of it on the medium.  Controller 1 may write only once
// its partner holds the record, so the survivor knows the row is half
// written and makes its parity whole again.
TEST_F(PairHandshake, AWriteReachesTheDrivesOnlyOnceThePartnerHoldsItsRecord) {
    ASSERT_NO_FATAL_FAILURE(Start(fw::RAID_LEVEL_5, 0, fw::POLICY_MIRROR));
    b->board.sasController().linkFaults.delayNs = 50 * kMs;
    fArmed = true;
    const auto fTorn = WhenTearsAWrite(b->board, [](std::span<const uint8_t>) { return true; });
    SendOne(*hostB, b->board, 1, 16);
    ASSERT_TRUE(RunUntil(fTorn, 10'000 * kMs)) << Consoles();
    b->board.CutPower();
    b->board.sasController().driveCommandSeen = nullptr;
    b->board.sasController().linkFaults.delayNs = 0;
    ASSERT_NO_FATAL_FAILURE(CheckSurvivorA());
}

// Controller 0 takes a write's record, and the copy is gone from it before
// the data arrives (the link is slow), so it refuses the data: controller
// 1 alone holds the write, so it answers the host only once the drives
// have it.  Cut the moment its host hears GOOD, the write reads back
// through controller 0.
TEST_F(PairHandshake, DataThePartnerRefusedIsAnsweredOnlyOnceOnTheDrives) {
    ASSERT_NO_FATAL_FAILURE(Start(fw::RAID_LEVEL_5));
    SlowDrives(300 * kMs);
    int slot = -1;
    bool fRefused = false;
    sim::SasController& link = b->board.sasController();
    link.partnerAnswerSeen = [&](const uint8_t* pbCdb, uint8_t bStatus) {
        if (slot < 0 && Typed(pbCdb, fw::PARTNER_MESSAGE_MIRROR) && bStatus == fw::SCSI_STATUS_GOOD) {
            slot = pbCdb[2] << 8 | pbCdb[3];
            link.linkFaults.delayNs = 20 * kMs;
        } else if (Typed(pbCdb, fw::PARTNER_MESSAGE_MIRROR_DATA)) {
            fRefused = bStatus == fw::SCSI_STATUS_CHECK_CONDITION && link.lastPartnerAnswer().key == 5 &&
                       link.lastPartnerAnswer().asc == 0x55;
        }
    };
    SendOne(*hostB, b->board, 1, 16);
    ASSERT_TRUE(RunUntil([&] { return slot >= 0; }, 10'000 * kMs)) << Consoles();
    ASSERT_TRUE(OnProcessor(a->board, [&] { fw::ReleasePartnerNvramQueueEntry(uint16_t(slot), fw::TRUE); }));
    link.linkFaults.delayNs = 0;
    ASSERT_TRUE(RunUntil([&] { return hostB->initiator().Finished(inFlight.back().tag); }, 10'000 * kMs))
        << Consoles();
    b->board.CutPower();
    link.partnerAnswerSeen = nullptr;
    ASSERT_TRUE(fRefused) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckSurvivorA());
    EXPECT_EQ(acknowledged, 1u);
}

// Controller 1 comes back while controller 0 serves its host alone on
// slow drives: controller 0 refuses the failback (NOT READY) until the
// host commands it has at work have ended, seconds of them.  Controller 1
// keeps asking until it is let in, and does not rediscover the drive side
// under a partner that still holds it.
TEST_F(PairHandshake, ARejoiningControllerAsksForItsFailbackUntilThePartnerLetsItIn) {
    ASSERT_NO_FATAL_FAILURE(Start(fw::RAID_LEVEL_5));
    b->board.CutPower();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
    uint64_t firstRefusal = 0, accepted = 0;
    b->board.sasController().partnerAnswerSeen = [&](const uint8_t* pbCdb, uint8_t bStatus) {
        if (!Typed(pbCdb, fw::PARTNER_MESSAGE_HEARTBEAT) || fw_b::fIsSASFailbackInProgress() != fw::TRUE) return;
        if (bStatus != fw::SCSI_STATUS_GOOD && firstRefusal == 0) firstRefusal = clock.Now();
        if (bStatus == fw::SCSI_STATUS_GOOD && accepted == 0) accepted = clock.Now();
    };
    Restart(*b);
    SlowDrives(1500 * kMs);
    bool fFailback = false;
    const auto fEnded = [&] {
        fFailback = fFailback || fw_b::fIsSASFailbackInProgress() == fw::TRUE;
        return fFailback && fw_b::fIsSASFailbackInProgress() != fw::TRUE;
    };
    // Controller 0's host writes on, a batch at a time, until the failback
    // has ended.
    while (!fEnded()) {
        ASSERT_LT(clock.Now(), 600'000 * kMs) << Consoles();
        SendBatch(true, false, true);
        ASSERT_TRUE(RunUntil([&] { return fEnded() || !AnyUnfinished(); }, 120'000 * kMs)) << Consoles();
        if (!AnyUnfinished()) {
            ASSERT_NO_FATAL_FAILURE(Settle(0));
        }
    }
    b->board.sasController().partnerAnswerSeen = nullptr;
    ASSERT_NE(firstRefusal, 0u) << Consoles();
    EXPECT_NE(accepted, 0u) << Consoles();
    EXPECT_EQ(fw_b::fIsSASFailbackAcceptedByPartner(), fw::TRUE);
    EXPECT_GT(accepted, firstRefusal + 1000 * kMs);
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
}

}  // namespace
