// Both controllers start together on what their NVRAM and banks kept, and
// one of them is lost while the journals are written out: every write a
// host was told was done reads back through the survivor, and again
// through both once the lost one has come back and joined.
#include <gtest/gtest.h>

#include <span>

#include "cache/flush_sequencer.h"
#include "config/config_commit.h"
#include "config/config_phase.h"
#include "config/config_image.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "executive/work_flags.h"
#include "pair_writes.h"

namespace fw_b {
uint8_t bGetRankCount();
uint8_t bGetRankMemberFlags(uint8_t bRank, uint8_t bMember);
}  // namespace fw_b

namespace {

class PartnerStartTogether : public dual::PairUnderWrites {
protected:
    // The array keeps its write-back cache when the partner fails.
    void SetUp() override { Start(fw::RAID_LEVEL_5, 0, fw::POLICY_WRITE_BACK); }

    dual::Side& SideOf(bool fB) { return fB ? *b : *a; }
    sim::FcHost& HostOf(bool fB) { return fB ? *hostB : *hostA; }

    // The controller given is cut with writes of both on their way; the
    // other takes over and its host writes every row alone (write-back
    // kept), the drives slow, so that the writes acknowledged last are only
    // in its cache; then it is cut too.
    void OneRunsAloneThenBothAreCut(bool fBGoesFirst) {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
        SideOf(fBGoesFirst).board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SendBatch(fBGoesFirst, !fBGoesFirst, true);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SideOf(!fBGoesFirst).board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    }
    // The blocks controller 0 reported lost since its log ended at `wFrom`
    // (event 101).
    static uint32_t LostBlocksPostedSince(uint16_t wFrom) {
        uint32_t dBlocks = 0;
        for (uint16_t w = wFrom; w != LogEnd(false); w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(w);
            if (ps->bCode != 101) continue;
            uint32_t dThis = 0;
            for (unsigned k = 0; k < 4; ++k) dThis |= uint32_t(ps->abArgs[2 + k]) << (8 * k);
            dBlocks += dThis;
        }
        return dBlocks;
    }
    // Controller 1, giving controller 0 its copies, is cut; controller 0
    // waits for it until the operator sets single-controller mode and the
    // setting is saved; then it serves its host.
    void CutTheGiverAndGoOnAlone() {
        b->board.CutPower();
        b->board.sasController().partnerAnswerSeen = nullptr;
        ASSERT_TRUE(RunUntil([&] { return a->Booted() && fw::fIsAwaitingPartnerJournals() == fw::TRUE; },
                             dual::kBootLimitNs))
            << Consoles();
        ASSERT_TRUE(OnProcessor(a->board, [] {
            fw::pGetConfigImage()->sHeader.fSingleControllerMode = fw::TRUE;
            (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
        }));
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
    }
    // Both are cut with writes of both on their way and in the caches.
    void BothAreCutUnderWrites() {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
        a->board.CutPower();
        b->board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    }
    // Both start together, and the controller given is cut as the one that
    // writes the journals out (`fBWrites`) writes a block of the array's
    // data region: the writer itself with part of that write on the medium.
    // The other serves every acknowledged write; the lost one comes back,
    // joins, and both serve them all.
    void StartTogetherAndCutAtTheFirstWriteOut(bool fBWrites, bool fBCut) {
        fArmed = true;
        fMoment = false;
        sim::Board& writer = SideOf(fBWrites).board;
        const auto fInDataRegion = [](std::span<const uint8_t> cdb) { return WriteLba(cdb) < uint64_t(kRows) * kChunk; };
        std::function<bool()> fCut;
        if (fBCut == fBWrites) {
            fCut = WhenTearsAWrite(writer, fInDataRegion);
        } else {
            writer.sasController().driveCommandSeen = [this, fInDataRegion](sim::Drive&, std::span<const uint8_t> cdb) {
                fMoment = fMoment || ((cdb[0] == fw::SCSI_WRITE10 || cdb[0] == fw::SCSI_WRITE16) && fInDataRegion(cdb));
            };
            fCut = [&] {
                if (fMoment) SideOf(fBCut).board.CutPower();
                return fMoment;
            };
        }
        PowerBothOn();
        ASSERT_TRUE(RunUntil(fCut, 60'000 * kMs)) << Consoles();
        writer.sasController().driveCommandSeen = nullptr;
        SlowDrives(0);
        dual::Side& survivor = SideOf(!fBCut);
        ASSERT_TRUE(RunUntil(
            [&] {
                return survivor.Booted() &&
                       (fBCut ? fw::fIsDualControllerActive() : fw_b::fIsDualControllerActive()) != fw::TRUE;
            },
            60'000 * kMs))
            << Consoles();
        ASSERT_TRUE(HostReady(HostOf(!fBCut))) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckThrough(HostOf(!fBCut)));

        ASSERT_NO_FATAL_FAILURE(Rejoin(SideOf(fBCut), HostOf(fBCut)));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    }
};

// Controller 0 is cut; controller 1 serves alone, its host's writes cached,
// and is cut too.  Both start together: controller 1 outlived controller 0,
// so it writes its journals out, and is cut as it does.  Controller 0 serves
// every write controller 1 acknowledged alone.
TEST_F(PartnerStartTogether, TheSlot2ControllerThatRanAloneLostAsItWritesOutLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(false));
    ASSERT_NO_FATAL_FAILURE(StartTogetherAndCutAtTheFirstWriteOut(true, true));
}

// The same with the slots the other way round: controller 0 ran alone and
// is lost as it writes out.
TEST_F(PartnerStartTogether, TheSlot1ControllerThatRanAloneLostAsItWritesOutLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(true));
    ASSERT_NO_FATAL_FAILURE(StartTogetherAndCutAtTheFirstWriteOut(false, false));
}

// Both are cut under writes of both; they start together and controller 0,
// which writes out both journals, is cut as it does: controller 1 serves
// every write either host was told was done.
TEST_F(PartnerStartTogether, TheSlot1ControllerLostAsItWritesOutWhatBothHeldLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(BothAreCutUnderWrites());
    ASSERT_NO_FATAL_FAILURE(StartTogetherAndCutAtTheFirstWriteOut(false, false));
}

// Controller 1 is cut as controller 0 writes out: controller 0 goes on.
// And controller 0 cut the same way after controller 1 ran alone: the
// journals controller 1 writes out are its own.
TEST_F(PartnerStartTogether, TheSlot2ControllerLostAsTheOtherWritesOutLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(BothAreCutUnderWrites());
    ASSERT_NO_FATAL_FAILURE(StartTogetherAndCutAtTheFirstWriteOut(false, true));
}

TEST_F(PartnerStartTogether, TheSlot1ControllerLostAsTheOneThatRanAloneWritesOutLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(false));
    ASSERT_NO_FATAL_FAILURE(StartTogetherAndCutAtTheFirstWriteOut(true, false));
}

// Controller 0 is cut; controller 1 serves alone, its host's writes cached,
// and is cut before they are on the drives.  Both start together: every
// write either host was told was done reads back through both.
TEST_F(PartnerStartTogether, WritesTheSlot2ControllerCachedAloneAreWrittenOutWhenBothStart) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(false));
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// The same, controller 0 the one that ran alone.
TEST_F(PartnerStartTogether, WritesTheSlot1ControllerCachedAloneAreWrittenOutWhenBothStart) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(true));
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// Controller 0 is cut; controller 1 serves alone, its host's writes cached,
// and is cut too.  Both start together; controller 0 has no room for the
// copies controller 1 gives it of those writes (every page taken), and
// controller 1 is cut as it writes them out.  Controller 0 reports them
// lost, on its console and in its log, and a read of their blocks answers
// a medium error, never the old data; every other acknowledged write reads
// back.
TEST_F(PartnerStartTogether, CopiesThePartnerHadNoRoomForAreReportedLostAndTheirBlocksAnswerAnError) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(false));
    fArmed = true;
    fMoment = false;
    const auto fTorn = WhenTearsAWrite(b->board, [](std::span<const uint8_t> cdb) {
        return WriteLba(cdb) < uint64_t(kRows) * kChunk;
    });
    const uint16_t wFrom = LogEnd(false);
    PowerBothOn();
    // Controller 0 runs; every page it has goes before the copies come.
    ASSERT_TRUE(RunUntil([&] { return a->Booted(); }, dual::kBootLimitNs)) << Consoles();
    std::vector<std::pair<fw::BUFFER_HANDLE, uint32_t>> held;
    ASSERT_TRUE(OnProcessor(a->board, [&] {
        for (uint32_t run : {256u, 1u}) {
            fw::BUFFER_HANDLE h{};
            while (fw::bAllocDataPages(fw::BUFFER_BANK_EITHER, run, &h) == fw::STATUS_OK) held.emplace_back(h, run);
        }
    }));
    ASSERT_TRUE(RunUntil(fTorn, 60'000 * kMs)) << Consoles();
    b->board.sasController().driveCommandSeen = nullptr;
    ASSERT_TRUE(OnProcessor(a->board, [&] {
        for (const auto& [h, run] : held) (void)fw::wFreeDataPages(h, run);
    }));
    SlowDrives(0);
    ASSERT_TRUE(RunUntil([] { return fw::fIsDualControllerActive() != fw::TRUE; }, 60'000 * kMs)) << Consoles();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
    EXPECT_TRUE(PostedSince(false, wFrom, 101)) << Consoles();
    EXPECT_NE(a->board.ConsoleText().find("Cached Data Lost, "), std::string::npos) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA, [&] { return PostedSince(false, wFrom, 101); }));
    EXPECT_GT(lostBlocks, 0u);
    ASSERT_NO_FATAL_FAILURE(Rejoin(*b, *hostB));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB, [&] { return PostedSince(false, wFrom, 101); }));
}

// Controller 0 is cut; controller 1 serves alone, its host's writes cached,
// and is cut too.  Both start together: controller 1 outlived controller 0
// and gives it a copy of each write it acknowledged alone, records first,
// and is cut once the data of a few has come.  Controller 0 waits for it,
// until it is set to single-controller mode: it then writes out what the
// copies brought and makes the rows of the others consistent before it
// serves its host; a read of blocks whose data never came answers a medium
// error, never the old data, and the loss is reported with its size.
TEST_F(PartnerStartTogether, SetToSingleControllerModeTheSurvivorThatWaitedLosesNoWriteSilently) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(false));
    SlowDrives(0);
    uint32_t dCopiesWithData = 0;
    b->board.sasController().partnerAnswerSeen = [&](const uint8_t* pbCdb, uint8_t bStatus) {
        if (pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR_DATA &&
            bStatus == fw::SCSI_STATUS_GOOD) {
            ++dCopiesWithData;
        }
    };
    const uint16_t wFrom = LogEnd(false);
    PowerBothOn();
    ASSERT_TRUE(RunUntil([&] { return dCopiesWithData >= 3; }, dual::kBootLimitNs)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CutTheGiverAndGoOnAlone());
    // The rows were made consistent before the host was served, and
    // nothing cached is left to write.
    EXPECT_EQ(fw::fGetRetripeFlag(), fw::FALSE);
    EXPECT_EQ(fw::wGetDirtyExtentCount(), 0u);
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA, [&] { return PostedSince(false, wFrom, 101); }));
    EXPECT_GT(lostBlocks, 0u);
    EXPECT_GE(LostBlocksPostedSince(wFrom), lostBlocks);
    EXPECT_NE(a->board.ConsoleText().find("Cached Data Lost, "), std::string::npos) << Consoles();
}

// The same, but controller 1 is cut once the first record of its copies
// has come and before any copy's data: controller 0 cannot know which
// blocks the writes it never heard of hold.  Set to single-controller mode
// it serves its host, and claims no count of what was lost: the loss is
// reported for the array that kept write-back alone, its amount unknown.
TEST_F(PartnerStartTogether, SetToSingleControllerModeBeforeAnyCopysDataTheLossIsOfUnknownAmount) {
    ASSERT_NO_FATAL_FAILURE(OneRunsAloneThenBothAreCut(false));
    SlowDrives(0);
    uint32_t dRecords = 0, dData = 0;
    b->board.sasController().partnerAnswerSeen = [&](const uint8_t* pbCdb, uint8_t bStatus) {
        if (pbCdb[0] != fw::PARTNER_TYPED_MESSAGE || bStatus != fw::SCSI_STATUS_GOOD) return;
        if (pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR) ++dRecords;
        if (pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR_DATA) ++dData;
    };
    const uint16_t wFrom = LogEnd(false);
    PowerBothOn();
    ASSERT_TRUE(RunUntil([&] { return dRecords >= 1; }, dual::kBootLimitNs)) << Consoles();
    ASSERT_EQ(dData, 0u);
    ASSERT_NO_FATAL_FAILURE(CutTheGiverAndGoOnAlone());
    EXPECT_EQ(fw::wGetDirtyExtentCount(), 0u);
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    // The copies whose records came are reported with their count; what
    // more the partner held, once for the array, with no count.
    unsigned uUnknown = 0;
    for (uint16_t w = wFrom; w != LogEnd(false); w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(w);
        if (ps->bCode != 101 || (ps->abArgs[0] | ps->abArgs[1]) != 0) continue;
        uint32_t dBlocks = 0;
        for (unsigned k = 0; k < 4; ++k) dBlocks |= uint32_t(ps->abArgs[2 + k]) << (8 * k);
        EXPECT_EQ(dBlocks, fw::LOST_BLOCKS_UNKNOWN);
        EXPECT_EQ(ps->abArgs[6], 0);
        ++uUnknown;
    }
    EXPECT_EQ(uUnknown, 1u);
    EXPECT_NE(a->board.ConsoleText().find("Cached Data Lost, Array 00, Amount Unknown\r\n"), std::string::npos)
        << Consoles();
}

// Both start together and controller 0 is lost as it starts, having reset
// every drive: each drive has a unit attention to report to the next
// command controller 1 sends it (the model keeps one for whoever asks next,
// so it is raised again as controller 1 first reads a drive).  Controller
// 1, which was to take its configuration from controller 0, reads it from
// the drives itself: it finds every member of the array there, none taken
// as gone, and the rows hold on all of them once controller 0 is back.
TEST_F(PartnerStartTogether, TheSlot2ControllerReadsTheConfigurationFromDrivesTheLostOneReset) {
    SendBatch(true, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    a->board.CutPower();
    b->board.CutPower();
    const uint32_t dResets = a->board.sasController().targetResets();
    bool fReset = false;
    b->board.sasController().driveCommandSeen = [&](sim::Drive&, std::span<const uint8_t> cdb) {
        if (fReset || cdb[0] != fw::SCSI_READ_CAPACITY10) return;
        fReset = true;
        for (unsigned s = 1; s <= bDrives; ++s) chassis.DriveAt(s)->Reset();
    };
    PowerBothOn();
    ASSERT_TRUE(RunUntil([&] { return a->board.sasController().targetResets() >= dResets + 2u * bDrives; },
                         dual::kBootLimitNs))
        << Consoles();
    a->board.CutPower();
    ASSERT_TRUE(RunUntil([&] { return b->Booted() && fw_b::fIsDualControllerActive() != fw::TRUE; }, dual::kBootLimitNs))
        << Consoles();
    b->board.sasController().driveCommandSeen = nullptr;
    ASSERT_TRUE(fReset);
    ASSERT_EQ(fw_b::bGetRankCount(), 1) << Consoles();
    for (uint8_t m = 0; m < bDrives; ++m) {
        EXPECT_EQ(fw_b::bGetRankMemberFlags(0, m), fw::MEMBER_FLAGS_IN_SERVICE) << "member " << int(m) << Consoles();
    }
    ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
    SendBatch(false, true, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    ASSERT_NO_FATAL_FAILURE(Rejoin(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
}

}  // namespace
