// A row a controller was writing when it stopped is half written on the
// drives: its parity no longer matches its data.  The controller's journal
// holds the write's record; whoever takes the journal on makes the row
// consistent again, even when the controller that holds the only record is
// lost before it could hand it on.
#include <gtest/gtest.h>

#include <span>

#include "executive/work_flags.h"
#include "pair_writes.h"
#include "sim/isp_chip.h"

namespace {

class PartnerParityRows : public dual::PairUnderWrites {
protected:
    // RAID 6, mirrored write-back that a controller alone turns off: what a
    // controller writes alone it writes through, its journal the only
    // record of the rows under way.
    void SetUp() override { Start(fw::RAID_LEVEL_6); }

    dual::Side& SideOf(bool fB) { return fB ? *b : *a; }
    sim::FcHost& HostOf(bool fB) { return fB ? *hostB : *hostA; }

    // Both write until every write is on the drives, and the other
    // controller than the one given is cut: it holds no record of anything.
    // The one given writes every row alone and is cut tearing one of those
    // writes (more blocks than reach the medium): that row's parity no
    // longer matches its data, and only its journal says so.
    void OneCutThenTheOtherTornAlone(bool fBTorn) {
        SendBatch(true, true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles() << Journals();
        SideOf(!fBTorn).board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        fArmed = true;
        fMoment = false;
        sim::Board& writer = SideOf(fBTorn).board;
        const auto fTorn = WhenTearsAWrite(writer, [](std::span<const uint8_t> cdb) {
            const uint32_t blocks = cdb[0] == fw::SCSI_WRITE10 ? uint32_t(cdb[7] << 8 | cdb[8])
                                                               : uint32_t(cdb[10] << 24 | cdb[11] << 16 | cdb[12] << 8 | cdb[13]);
            return WriteLba(cdb) < uint64_t(kRows) * kChunk && blocks > 4;
        });
        SendBatch(!fBTorn, fBTorn, true);
        ASSERT_TRUE(RunUntil(fTorn, 60'000 * kMs)) << Consoles();
        writer.sasController().driveCommandSeen = nullptr;
        if (!writer.poweredOff()) writer.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    }
    // Then the other starts alone, saves the configuration, serves its host
    // and is cut once its writes are on the drives: the torn writer's
    // journals are outrun.
    void TheOtherRunsAloneOnItsOwn(bool fBTorn) {
        ASSERT_NO_FATAL_FAILURE(StartAlone(SideOf(!fBTorn), HostOf(!fBTorn)));
        SendBatch(fBTorn, !fBTorn);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        const auto fEmpty = [fBTorn] {
            return fBTorn ? fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0
                          : fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0;
        };
        ASSERT_TRUE(RunUntil(fEmpty, 60'000 * kMs)) << Consoles() << Journals();
        SideOf(!fBTorn).board.CutPower();
    }

    // Controller 0 tears a row alone; both start together, and controller 0
    // is cut again 28 s into the start, before it has written anything out:
    // controller 1 goes on without it and never learns of the row.
    void TheTornWriterLostAgainAtTheStart() {
        ASSERT_NO_FATAL_FAILURE(OneCutThenTheOtherTornAlone(false));
        PowerBothOn();
        (void)RunUntil([] { return false; }, 28'000 * kMs);
        ASSERT_NE(fw::fGetRetripeFlag(), fw::TRUE);
        a->board.CutPower();
        ASSERT_TRUE(RunUntil([&] { return b->Booted() && fw_b::fIsDualControllerActive() != fw::TRUE; }, dual::kBootLimitNs))
            << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
    }
    // Controller 0 is back, has joined and written its cache out: every
    // row on the drives holds.
    void EveryRowHoldsOnceJoined() {
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles() << Journals();
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    }
};

// Once controller 0 is back and has joined, every row on the drives holds.
TEST_F(PartnerParityRows, ARowHalfWrittenAloneHoldsOnceItsWriterLostAtTheStartHasJoined) {
    ASSERT_NO_FATAL_FAILURE(TheTornWriterLostAgainAtTheStart());
    ASSERT_NO_FATAL_FAILURE(Rejoin(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(EveryRowHoldsOnceJoined());
}

// The same, controller 1 keeping a host read at work for minutes while
// controller 0 joins (its host port chip holds the read's data): controller
// 1 refuses the failback all that time.  Controller 0 waits for it rather
// than join with the row unmended, and mends the row once controller 1
// holds its hosts with none at work.
TEST_F(PartnerParityRows, ARowHalfWrittenAloneHoldsWhenThePartnerRefusesItsWritersFailbackForMinutes) {
    ASSERT_NO_FATAL_FAILURE(TheTornWriterLostAgainAtTheStart());
    sim::IspChip& chipB = *sim::FindIspChip(b->board, 1);
    chipB.faults.holdRequests = true;
    const uint32_t tag = hostB->initiator().Submit(hostB->target(), [] {
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_READ16, 0, kRowBlocks);
        c.dataInLength = kRowBlocks * kBlock;
        return c;
    }());
    ASSERT_NO_FATAL_FAILURE(Rejoin(*a, *hostA, [&] {
        (void)RunUntil([] { return false; }, 150'000 * kMs);
        ASSERT_FALSE(hostB->initiator().Finished(tag));
        chipB.ReleaseRequests();
    }));
    ASSERT_TRUE(RunUntil([&] { return hostB->initiator().Finished(tag); }, 10'000 * kMs)) << Consoles();
    const sim::FcpResult read = hostB->initiator().Result(tag);
    EXPECT_EQ(read.outcome, Outcome::Done);
    EXPECT_EQ(read.status, 0);
    ASSERT_NO_FATAL_FAILURE(EveryRowHoldsOnceJoined());
}

// Controller 1 starts alone while controller 0 is still off, saves the
// configuration and serves, and is cut in turn: controller 0's journals are
// outrun, and it starts alone on them.  Its cached data is older than what
// controller 1 wrote since and goes, but the record of the row it left half
// written is the only one: the row is made consistent all the same.
TEST_F(PartnerParityRows, ARowHalfWrittenAloneHoldsOnceItsWriterStartsAloneOnOutrunJournals) {
    ASSERT_NO_FATAL_FAILURE(OneCutThenTheOtherTornAlone(false));
    ASSERT_NO_FATAL_FAILURE(TheOtherRunsAloneOnItsOwn(false));
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles() << Journals();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
}

// The same with the slots the other way round, both then starting
// together: controller 1's journals are outrun, controller 0 writes out its
// own and never heard of the row, which controller 1 makes consistent once
// controller 0's journals are on the drives, before either serves.
TEST_F(PartnerParityRows, ARowHalfWrittenAloneHoldsOnceItsWriterStartsBesideThePartnerThatOutranIt) {
    ASSERT_NO_FATAL_FAILURE(OneCutThenTheOtherTornAlone(true));
    ASSERT_NO_FATAL_FAILURE(TheOtherRunsAloneOnItsOwn(true));
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

}  // namespace
