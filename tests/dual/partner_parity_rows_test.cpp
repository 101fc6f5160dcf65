// A row a controller was writing when it stopped is half written on the
// drives: its parity no longer matches its data.  The controller's journal
// holds the write's record; whoever takes the journal on makes the row
// consistent again, even when the controller that holds the only record is
// lost before it could hand it on.
#include <gtest/gtest.h>

#include <span>

#include "executive/work_flags.h"
#include "pair_writes.h"

namespace {

class PartnerParityRows : public dual::PairUnderWrites {
protected:
    // RAID 6, mirrored write-back that a controller alone turns off: what a
    // controller writes alone it writes through, its journal the only
    // record of the rows under way.
    void SetUp() override { Start(fw::RAID_LEVEL_6); }

    // Both write until every write is on the drives, and controller 1 is
    // cut: it holds no record of anything.  Controller 0 writes every row
    // alone and is cut tearing one of those writes (more blocks than reach
    // the medium): that row's parity no longer matches its data, and only
    // controller 0's journal says so.
    void SlotTwoCutThenSlotOneTornAlone() {
        SendBatch(true, true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles() << Journals();
        b->board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        fArmed = true;
        fMoment = false;
        const auto fTorn = WhenTearsAWrite(a->board, [](std::span<const uint8_t> cdb) {
            const uint32_t blocks = cdb[0] == fw::SCSI_WRITE10 ? uint32_t(cdb[7] << 8 | cdb[8])
                                                               : uint32_t(cdb[10] << 24 | cdb[11] << 16 | cdb[12] << 8 | cdb[13]);
            return WriteLba(cdb) < uint64_t(kRows) * kChunk && blocks > 4;
        });
        SendBatch(true, false, true);
        ASSERT_TRUE(RunUntil(fTorn, 60'000 * kMs)) << Consoles();
        a->board.sasController().driveCommandSeen = nullptr;
        if (!a->board.poweredOff()) a->board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    }
};

// Both start together, and controller 0 is cut again 28 s into the start,
// before it has written anything out: controller 1 goes on without it and
// never learns of the row.  Once controller 0 is back and has joined, every
// row on the drives holds.
TEST_F(PartnerParityRows, ARowHalfWrittenAloneHoldsOnceItsWriterLostAtTheStartHasJoined) {
    ASSERT_NO_FATAL_FAILURE(SlotTwoCutThenSlotOneTornAlone());
    PowerBothOn();
    (void)RunUntil([] { return false; }, 28'000 * kMs);
    ASSERT_NE(fw::fGetRetripeFlag(), fw::TRUE);
    a->board.CutPower();
    ASSERT_TRUE(RunUntil([&] { return b->Booted() && fw_b::fIsDualControllerActive() != fw::TRUE; }, dual::kBootLimitNs))
        << Consoles();
    ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
    ASSERT_NO_FATAL_FAILURE(Rejoin(*a, *hostA));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles() << Journals();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
}

// Controller 1 starts alone while controller 0 is still off, saves the
// configuration and serves, and is cut in turn: controller 0's journals are
// outrun, and it starts alone on them.  Its cached data is older than what
// controller 1 wrote since and goes, but the record of the row it left half
// written is the only one: the row is made consistent all the same.
TEST_F(PartnerParityRows, ARowHalfWrittenAloneHoldsOnceItsWriterStartsAloneOnOutrunJournals) {
    ASSERT_NO_FATAL_FAILURE(SlotTwoCutThenSlotOneTornAlone());
    ASSERT_NO_FATAL_FAILURE(StartAlone(*b, *hostB));
    SendBatch(false, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0; },
                         60'000 * kMs))
        << Consoles() << Journals();
    b->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles() << Journals();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
}

}  // namespace
