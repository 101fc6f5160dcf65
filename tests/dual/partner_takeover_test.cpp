// A controller lost under host writes from hosts on both: the survivor
// takes its work over and writes out what it held as mirrors.  Every write
// a host was told was done reads back through the survivor, and every
// parity row on the drives holds.
#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "harness/main_loop_call.h"
#include "pair_writes.h"
#include "partner/parity_read_data.h"
#include "partner/partner_link.h"
#include "sas/sas_drive.h"

namespace {

using dual::Cdb16;

class PartnerTakeover : public dual::PairUnderWrites {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_5); }

    // Both write; the board given is cut (or hangs) with writes of both on
    // their way, and the survivor's host writes more alone, no longer
    // mirrored.
    void CutUnderWrites(sim::Board& gone, bool fHang = false) {
        ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
        if (fHang) {
            hung = &gone;
        } else {
            gone.CutPower();
        }
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        const bool aSurvives = &gone != &a->board;
        SendBatch(aSurvives, !aSurvives);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    }
    // Controller 1 is cut (or hangs) while the writes acknowledged last are
    // only in the caches (the drives are that slow): every acknowledged
    // write reads back through controller 0, and once its cache is empty
    // the rows on the drives hold.
    void LoseBWithWritesInTheCaches(bool fHang) {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(b->board, fHang));
        SlowDrives(0);
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_TRUE(RunUntil([] { return fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        EXPECT_GT(acknowledged, 30u);
    }
    // Controller 0 is cut, and controller 1 in turn while it still writes
    // out the cache both held (the drives are slow).
    void CutBothWhileBWritesOutWhatBothHeld() {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
        a->board.CutPower();
        ASSERT_TRUE(RunUntil([] { return fw_b::fGetOutlivedPartnerRecord() == fw::TRUE; }, 10'000 * kMs)) << Consoles();
        ASSERT_NE(fw_b::wGetDirtyExtentCount(), 0) << Consoles();
        b->board.CutPower();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    }

    // Both write, and the board given is cut at the moment the test picks
    // (`moment` turns true) with writes of both on their way; the drives are
    // slow, so what was acknowledged last is only in the caches.  The
    // survivor's host then writes alone.  Every acknowledged write reads
    // back through the survivor, and once its cache is empty the rows on
    // the drives hold (a degraded array's are checked through the reads).
    void CutAt(sim::Board& gone, const std::function<bool()>& moment, bool fDegraded = false) {
        SlowDrives(200 * kMs);
        SendBatch(true, true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        fArmed = true;
        SendBatch(true, true);
        ASSERT_TRUE(RunUntil(moment, 10'000 * kMs)) << Consoles();
        gone.CutPower();
        a->board.sasController().partnerAnswerSeen = nullptr;
        b->board.sasController().partnerAnswerSeen = nullptr;
        b->board.sasController().driveCommandSeen = nullptr;
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        const bool aSurvives = &gone != &a->board;
        SendBatch(aSurvives, !aSurvives);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SlowDrives(0);
        sim::FcHost& survivor = aSurvives ? *hostA : *hostB;
        ASSERT_NO_FATAL_FAILURE(CheckThrough(survivor));
        ASSERT_TRUE(RunUntil(
            [aSurvives] {
                return aSurvives ? fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0
                                 : fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0;
            },
            60'000 * kMs))
            << Consoles();
        if (fDegraded) {
            ASSERT_NO_FATAL_FAILURE(CheckThrough(survivor));
        } else {
            ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        }
        EXPECT_GT(acknowledged, 30u);
    }
    // The moment the writer's partner has answered GOOD to a piece of a
    // write's data held there as a mirror (message 129): the write is not
    // yet answered to its host.
    std::function<bool()> WhenDataIsHeld(sim::Board& writer) {
        writer.sasController().partnerAnswerSeen = [this](const uint8_t* pbCdb, uint8_t bStatus) {
            if (fArmed && pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == fw::PARTNER_MESSAGE_MIRROR_DATA &&
                bStatus == fw::SCSI_STATUS_GOOD) {
                fMoment = true;
            }
        };
        return [this] { return fMoment; };
    }
    std::function<bool()> WhenBTearsAWrite(const std::function<bool()>& after) {
        return WhenTearsAWrite(b->board, [after](std::span<const uint8_t>) { return after(); });
    }
    // Both write; one controller is cut the moment its partner holds a
    // write's data, the drives slow, so what was acknowledged last is only
    // in the caches.  The survivor starts writing the lost one's copies out
    // (event 53) and is cut too, on the first of those writes it hands a
    // drive, part of it on the medium.  Both then start again together on
    // what their NVRAM and banks kept: every write a host was told was done
    // reads back through either, and once both caches are empty the rows
    // on the drives hold.
    void CutTheSurvivorWhileItWritesOutTheCopies(bool fBFirst) {
        sim::Board& first = fBFirst ? b->board : a->board;
        sim::Board& second = fBFirst ? a->board : b->board;
        SlowDrives(200 * kMs);
        SendBatch(true, true);
        ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
        fArmed = true;
        SendBatch(true, true);
        ASSERT_TRUE(RunUntil(WhenDataIsHeld(first), 10'000 * kMs)) << Consoles();
        const uint16_t wFrom = LogEnd(!fBFirst);
        first.CutPower();
        first.sasController().partnerAnswerSeen = nullptr;
        fMoment = false;
        // The lost one's host writes the odd rows when it is controller 1.
        const uint32_t dLostRows = fBFirst ? 1 : 0;
        const auto fTorn = WhenTearsAWrite(second, [&](std::span<const uint8_t> cdb) {
            return PostedSince(!fBFirst, wFrom, 53) && WriteLba(cdb) / kChunk % 2 == dLostRows;
        });
        ASSERT_TRUE(RunUntil(fTorn, 60'000 * kMs)) << Consoles();
        second.CutPower();
        second.sasController().driveCommandSeen = nullptr;
        // Copies of the lost one's writes are still only in the survivor.
        ASSERT_FALSE(PostedSince(!fBFirst, wFrom, 54)) << Consoles();
        ASSERT_NE(fBFirst ? fw::wGetDirtyExtentCount() : fw_b::wGetDirtyExtentCount(), 0) << Consoles();
        ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
        SlowDrives(0);

        // Controller 1 outlived controller 0: controller 0 discards what it
        // kept and serves its host only once controller 1 has written its
        // journals out (event 45 ends that).
        const uint16_t wFromB = LogEnd(true);
        ASSERT_NO_FATAL_FAILURE(RestartBoth([&] {
            if (!fBFirst) {
                EXPECT_TRUE(PostedSince(true, wFromB, 45)) << Consoles();
            }
        }));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        EXPECT_GT(acknowledged, 20u);
    }

    void ResetBUnderWritesAndCheck(const std::function<void()>& reset);

    // Controller 0 is cut while its copies of controller 1's writes are
    // still held (the drives slow); controller 1 takes over and its host
    // goes on writing alone, over some of those writes, until its cache is
    // empty.
    void LoseAWhileItsCopiesAreHeldThenEmptyBsCache() {
        SlowDrives(200 * kMs);
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(a->board));
        SlowDrives(0);
        ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
    }
    // Controller 0's host writes every row (controller 1's too) while the
    // drives are slow, and then its cache empties.
    void AWritesEveryRowAloneUntilItsCacheIsEmpty() {
        SendBatch(true, false, true);
        ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
        SlowDrives(0);
        ASSERT_TRUE(RunUntil([] { return fw::wGetDirtyExtentCount() == 0 && fw::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
    }
    // That, and controller 1 is cut too.  Both start again together, controller 1's
    // frames to controller 0 taking `lateNs` to cross: every write either
    // host was told was done must read back.
    void RestartBothAfterBWentOnAlone(uint64_t lateNs) {
        ASSERT_NO_FATAL_FAILURE(LoseAWhileItsCopiesAreHeldThenEmptyBsCache());
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        b->board.CutPower();
        b->board.sasController().linkFaults.delayNs = lateNs;
        ASSERT_NO_FATAL_FAILURE(RestartBoth());
        b->board.sasController().linkFaults.delayNs = 0;
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    }

    // Both write and controller 1 is cut; it comes back beside the survivor,
    // joins, brings its drive side back (failback) and serves its hosts
    // again; both write, mirrored to each other, and when controller 0 is
    // cut in turn, controller 1 serves every acknowledged write, and the
    // rows on the drives hold once its cache is empty.
    void LoseBBringItBackThenLoseA() {
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(b->board));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
        EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);

        ASSERT_NO_FATAL_FAILURE(Rejoin(*b, *hostB));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        ASSERT_NO_FATAL_FAILURE(CutUnderWrites(a->board));
        ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
        EXPECT_EQ(fw_b::fIsDualControllerActive(), fw::FALSE);
        ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0; },
                             60'000 * kMs))
            << Consoles();
        ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
        EXPECT_GT(acknowledged, 60u);
    }

};

// Both write; controller 1 is cut with writes of both on their way.  The
// survivor holds its hosts' commands from the moment the partner leaves
// the drive side until the partner's acknowledged writes, which it holds
// only as mirrors, are on the drives: a read at once returns them.
// Controller 1 then comes back beside the survivor, joins and serves its
// hosts again; both write, mirrored to each other, and when controller 0
// is cut in turn, controller 1 serves every acknowledged write.
TEST_F(PartnerTakeover, EveryAcknowledgedWriteReadsBackThroughTheSurvivorOfEitherLoss) {
    ASSERT_NO_FATAL_FAILURE(LoseBBringItBackThenLoseA());
}

// Controller 1 hangs with writes of both on their way: its processor
// stops, its heartbeat with it, and it answers nothing more.  Its partner
// gives it up on the silence and serves every write either host was told
// was done, the hung one's from the mirrors it holds.
TEST_F(PartnerTakeover, EveryAcknowledgedWriteReadsBackThroughTheSurvivorOfAHang) {
    ASSERT_NO_FATAL_FAILURE(LoseBWithWritesInTheCaches(true));
    EXPECT_EQ(fw::fIsDualControllerActive(), fw::FALSE);
    // The loss, the takeover, and the mirrors written out, in that order.
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    std::vector<uint8_t> abSeen;
    for (uint16_t w = 0; w < wNext; ++w) {
        const uint8_t bCode = fw::psGetEventLogEntry(w)->bCode;
        if (bCode == 8 || bCode == 9 || bCode == 92 || bCode == 53 || bCode == 54 || bCode == 93) abSeen.push_back(bCode);
    }
    EXPECT_EQ(abSeen, (std::vector<uint8_t>{9, 8, 92, 53, 54, 93}));
}

// Controller 1 is cut the moment its partner holds a write's data and
// before that write is answered: the host never hears of it, and every
// write that was answered reads back through controller 0.
TEST_F(PartnerTakeover, TheWriterCutBetweenItsMirrorAndItsGoodLosesNoAcknowledgedWrite) {
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, WhenDataIsHeld(b->board)));
}

// At the same moment the partner holding the data is cut instead: the
// write goes on to its GOOD on controller 1, which keeps it (and every
// other) without a mirror from then on.
TEST_F(PartnerTakeover, TheMirrorHolderCutBeforeTheWritersGoodLosesNoAcknowledgedWrite) {
    ASSERT_NO_FATAL_FAILURE(CutAt(a->board, WhenDataIsHeld(b->board)));
}

// Controller 1 loses its power while it writes its cache out, half of one
// write on the drive and the rest of its rows not yet updated: controller
// 0 writes the mirrors out over the torn row and every row's parity holds.
TEST_F(PartnerTakeover, TheWriterCutWhileItWritesItsCacheOutLeavesNoRowTorn) {
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, WhenBTearsAWrite([] { return true; })));
}

// Controller 1 is cut, and controller 0 is cut in turn while it writes
// controller 1's copies out; started again together, they lose nothing
// either host was told was done.
TEST_F(PartnerTakeover, TheSurvivorCutWhileItWritesOutThePartnersCopiesLosesNothingOnceBothRestart) {
    ASSERT_NO_FATAL_FAILURE(CutTheSurvivorWhileItWritesOutTheCopies(true));
}

// The same with controller 0, which starts as master, cut first.
// Controller 1 outlived it, so controller 1 writes out what both held, and
// controller 0 serves its host only once that is done.
TEST_F(PartnerTakeover, TheSurvivorOfTheMasterCutWhileItWritesOutItsCopiesLosesNothingOnceBothRestart) {
    ASSERT_NO_FATAL_FAILURE(CutTheSurvivorWhileItWritesOutTheCopies(false));
}

// Controller 0 is cut while its copies of controller 1's writes are
// still held (the drives slow); controller 1 takes over and its host goes
// on writing alone, over some of those writes; its cache empties, and then
// it is cut too.  Both start again together: every write either host was
// told was done must read back.
TEST_F(PartnerTakeover, BothRestartedAfterTheSurvivorWentOnAloneLoseNothing) {
    ASSERT_NO_FATAL_FAILURE(RestartBothAfterBWentOnAlone(0));
}

// The same, controller 1's frames crossing slowly: controller 0, in its
// main loop long before controller 1's first request reaches it, writes
// nothing out of its journals until controller 1 has said it outlived it.
TEST_F(PartnerTakeover, BothRestartedAfterTheSurvivorWentOnAloneLoseNothingThoughItsWordComesLate) {
    ASSERT_NO_FATAL_FAILURE(RestartBothAfterBWentOnAlone(6000 * kMs));
}

// Controller 0 is cut, and controller 1 while it still writes out the
// copies it held; both start together, controller 1 to write out what it
// kept, and it is cut again on its first write.  Controller 0, which
// discarded its journals and waited for controller 1's, takes over and
// serves its host: a partner lost at that moment leaves nothing waiting.
TEST_F(PartnerTakeover, APartnerLostWhileItWritesOutWhatItKeptLeavesNoHostWaiting) {
    ASSERT_NO_FATAL_FAILURE(CutBothWhileBWritesOutWhatBothHeld());
    fArmed = true;
    const auto fTorn = WhenTearsAWrite(b->board, [](std::span<const uint8_t>) { return true; });
    PowerBothOn();
    ASSERT_TRUE(RunUntil(fTorn, 60'000 * kMs)) << Consoles();
    b->board.sasController().driveCommandSeen = nullptr;
    SlowDrives(0);
    ASSERT_TRUE(RunUntil([&] { return a->Booted() && fw::fIsDualControllerActive() != fw::TRUE; }, 60'000 * kMs))
        << Consoles();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
}

// Controller 0 is cut while its copies of controller 1's writes are held;
// controller 1 takes over, its host writes alone, and it is cut in turn.
// Controller 0 starts alone: the configuration moved on without its
// journals, so it writes none of them out, and every acknowledged write
// reads back.  Its host then writes every row, it is cut, and both start
// together: controller 1 outlived controller 0 once, but its journals are
// older than controller 0's run alone since, and are not written out.
TEST_F(PartnerTakeover, TheLostControllerStartingAloneThenBothTogetherLoseNothing) {
    // Controller 1 is cut soon after the takeover, its configuration saved
    // again by then.
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
    a->board.CutPower();
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    SendBatch(false, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    ASSERT_TRUE(RunUntil([] { return fw_b::wGetDirtyExtentCount() == 0 && fw_b::wGetJournalInUseCount() == 0; },
                         60'000 * kMs))
        << Consoles();
    b->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));

    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(AWritesEveryRowAloneUntilItsCacheIsEmpty());
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// Both are cut with writes of both in the caches (and, as it happens, a
// commit of controller 1's on the drives that controller 0 has not heard
// of).  Controller 0 starts alone, writes out what both held, and its host
// writes every row; it is cut, and controller 1 starts alone: what it kept
// is older than those writes, and every write either host was told was
// done reads back.
TEST_F(PartnerTakeover, OneStartingAloneAfterTheOtherRanAloneWritesNothingOldOut) {
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
    a->board.CutPower();
    b->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    ASSERT_NE(fw_b::wGetDirtyExtentCount(), 0) << Consoles();
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    SendBatch(true, false, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(StartAlone(*b, *hostB));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
}

// Controller 1 is cut.  Controller 0 takes over at once (nothing of
// controller 1's is left to write out) and answers no host before the
// configuration it saves names it as the one that went on alone; its host
// writes every row, and it is cut at the first of those writes it answers.
// Controller 1 then starts alone: what it kept is older than that write and
// is not written out.
TEST_F(PartnerTakeover, TheSurvivorAnswersNoHostBeforeItsSaveTellsItWentOnAlone) {
    SendBatch(true, true);
    ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
    const uint32_t dBefore = fw::dGetNvramJournalGeneration();
    b->board.CutPower();
    ASSERT_TRUE(RunUntil([] { return fw::fIsDualControllerActive() != fw::TRUE; }, 10'000 * kMs)) << Consoles();
    SendBatch(true, false, true);
    ASSERT_TRUE(RunUntil([&] { return AnyFinished(); }, 60'000 * kMs)) << Consoles();
    const fw::CONFIG_HEADER& sSaved = fw::pGetConfigImage()->sHeader;
    EXPECT_GT(sSaved.dGeneration, dBefore);
    EXPECT_EQ(fw::fIsConfigCommitInProgress(), fw::FALSE);
    uint8_t abOwn[8];
    fw::GetNvramControllerWwn(abOwn);
    EXPECT_TRUE(std::equal(abOwn, abOwn + 8, sSaved.abAloneWriterWwn));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(Settle(1000 * kMs));
    ASSERT_NO_FATAL_FAILURE(StartAlone(*b, *hostB));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
}

// Controller 1 is cut while controller 0's own acknowledged writes are
// still only in its cache, and as mirrors in controller 1's journals.
// From then on the reads that start an update of one of controller 0's
// rows take 3 s, while controller 1's rows and the configuration's blocks
// answer at once.  Controller 0 writes the copies and its own writes out
// before it names itself in a configuration it saves: such a save tells
// controller 1, starting alone, that its journals were outrun.  Cut the
// moment that save is done, with controller 1 then starting alone and
// discarding what it kept, every acknowledged write still reads back.
TEST_F(PartnerTakeover, TheSurvivorNamesItselfInASaveOnlyOnceItsOwnWritesAreOnTheDrives) {
    SlowDrives(200 * kMs);
    SendBatch(true, true);
    ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
    ASSERT_NE(fw::wGetJournalInUseCount(), 0) << Consoles();
    uint8_t abOwn[8];
    fw::GetNvramControllerWwn(abOwn);
    b->board.CutPower();
    SlowDrives(0);
    // Host A writes the even rows; a row is one chunk on each member.
    a->board.sasController().driveCommandSeen = [](sim::Drive& drive, std::span<const uint8_t> cdb) {
        const uint64_t lba = WriteLba(cdb);
        const bool fOwnRowRead = cdb[0] == fw::SCSI_READ10 && lba < uint64_t(kRows) * kChunk && lba / kChunk % 2 == 0;
        drive.SetExtraLatencyNs(fOwnRowRead ? 3000 * kMs : 0);
    };
    ASSERT_TRUE(RunUntil(
        [&] {
            return fw::fIsConfigCommitInProgress() != fw::TRUE &&
                   std::equal(abOwn, abOwn + 8, fw::pGetConfigImage()->sHeader.abAloneWriterWwn);
        },
        120'000 * kMs))
        << Consoles();
    a->board.CutPower();
    a->board.sasController().driveCommandSeen = nullptr;
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(StartAlone(*b, *hostB));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
}

// Controller 0 is cut, and controller 1 while it still writes out the
// cache both held.  Controller 0 starts alone and writes out its journals
// (controller 1 saved nothing since), its host writes every row, and it is
// cut too.  Both start together: controller 1 outlived controller 0 once,
// but controller 0 ran alone after it, so controller 1's journals are the
// older and are not written out over its writes.
TEST_F(PartnerTakeover, BothTogetherAfterEachRanAloneInTurnWriteOutOnlyTheNewerJournals) {
    ASSERT_NO_FATAL_FAILURE(CutBothWhileBWritesOutWhatBothHeld());
    SlowDrives(0);
    ASSERT_NO_FATAL_FAILURE(StartAlone(*a, *hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    SendBatch(true, false, true);
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// Controller 0 is lost and controller 1 goes on alone; controller 0 comes
// back and joins, and from then on they mirror each other again.  Then
// controller 1 is lost with writes in the caches, and controller 0 goes on
// alone, writing over every row, controller 1's too; its cache empties, it
// is cut, and both start together.  Controller 1 outlived controller 0
// once, but no longer holds anything newer: only controller 0's journals
// may be written out, and every write either host was told was done reads
// back.
TEST_F(PartnerTakeover, BothRestartedAfterEachOutlivedTheOtherInTurnLoseNothing) {
    ASSERT_NO_FATAL_FAILURE(LoseAWhileItsCopiesAreHeldThenEmptyBsCache());
    EXPECT_EQ(fw_b::fGetOutlivedPartnerRecord(), fw::TRUE);

    Restart(*a);
    ASSERT_TRUE(RunUntil(
        [&] {
            return a->Booted() && fw::fIsSASFailbackInProgress() != fw::TRUE &&
                   fw::fIsDualControllerActive() == fw::TRUE && fw_b::fIsDualControllerActive() == fw::TRUE;
        },
        dual::kBootLimitNs))
        << Consoles();
    ASSERT_TRUE(HostReady(*hostA)) << Consoles();
    EXPECT_EQ(fw_b::fGetOutlivedPartnerRecord(), fw::FALSE);
    EXPECT_EQ(fw::fGetOutlivedPartnerRecord(), fw::FALSE);

    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(CutUnderWrites(b->board));
    ASSERT_NO_FATAL_FAILURE(AWritesEveryRowAloneUntilItsCacheIsEmpty());
    EXPECT_EQ(fw::fGetOutlivedPartnerRecord(), fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    a->board.CutPower();
    ASSERT_NO_FATAL_FAILURE(RestartBothAndReadEverythingBack());
}

// Controller 1 resets itself while both hosts write, the writes
// acknowledged last only in the caches (`reset` brings the reset about).
// Controller 1 restarts on what it kept, joins the running controller,
// brings its drive side back and serves its host again; every acknowledged
// write reads back through both, before and after both write once more,
// and the rows on the drives hold.
void PartnerTakeover::ResetBUnderWritesAndCheck(const std::function<void()>& reset) {
    rebootOnReset = true;
    SlowDrives(200 * kMs);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBothUntilOneWriteOfTheNextBatchEnds());
    ASSERT_NO_FATAL_FAILURE(reset());
    restarting = &b->board;
    ASSERT_NO_FATAL_FAILURE(Settle(60'000 * kMs));
    SlowDrives(0);
    bool fFailback = false;
    ASSERT_TRUE(RunUntil(
        [&] {
            fFailback = fFailback || (restarts != 0 && fw_b::fIsSASFailbackInProgress() == fw::TRUE);
            return restarts != 0 && b->Booted() && fFailback && fw_b::fIsSASFailbackInProgress() != fw::TRUE &&
                   fw::fIsDualControllerActive() == fw::TRUE && fw_b::fIsDualControllerActive() == fw::TRUE;
        },
        dual::kBootLimitNs))
        << Consoles() << " restarts " << restarts << " stop " << sim::StopKindName(b->board.lastStop());
    EXPECT_EQ(restarts, 1u);
    EXPECT_NE(b->board.ConsoleText().find("Partner Controller.........Initialized\r\n"), std::string::npos)
        << Consoles();
    restarting = nullptr;
    ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
    SendBatch(true, true);
    ASSERT_NO_FATAL_FAILURE(Settle(10'000 * kMs));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostA));
    ASSERT_NO_FATAL_FAILURE(CheckThrough(*hostB));
    ASSERT_TRUE(RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs)) << Consoles();
    ASSERT_NO_FATAL_FAILURE(CheckParityOnDrives());
    EXPECT_EQ(restarts, 1u);
    EXPECT_GT(acknowledged, 60u);
}

// Controller 0 asks its partner to reset (message 147).
TEST_F(PartnerTakeover, APartnerResetUnderWritesComesBackFailsBackAndLosesNoAcknowledgedWrite) {
    ResetBUnderWritesAndCheck([&] {
        uint8_t bSent = 0;
        harness::OnMainLoop(a->board, [&] { bSent = fw::bSendResetToPartner(); });
        ASSERT_EQ(bSent, fw::STATUS_OK);
    });
}

// Controller 0 no longer hears controller 1's heartbeat and takes its work
// over, while controller 1 still hears controller 0 and goes on serving.
// The next message it sends is answered that it was given up: it stops at
// once, starts again beside controller 0 and joins; every acknowledged
// write reads back through both.
TEST_F(PartnerTakeover, AControllerItsPartnerGaveUpStopsRejoinsAndLosesNoAcknowledgedWrite) {
    ResetBUnderWritesAndCheck([&] {
        const uint16_t wFrom = LogEnd(false);
        b->board.fpga().heartbeatQuiet = true;
        ASSERT_TRUE(RunUntil([&] { return b->board.lastStop() == sim::StopKind::Reset; }, 10'000 * kMs)) << Consoles();
        b->board.fpga().heartbeatQuiet = false;
        EXPECT_TRUE(PostedSince(false, wFrom, 92)) << Consoles();
        EXPECT_NE(b->board.ConsoleText().find("Partner Controller Has Taken Over: Restarting To Rejoin"),
                  std::string::npos)
            << Consoles();
    });
}

// Controller 1's drive IOC reports an external bus reset, which resets
// the controller; its partner holds the mirrors of its cached writes.
TEST_F(PartnerTakeover, AnExternalBusResetUnderWritesComesBackFailsBackAndLosesNoAcknowledgedWrite) {
    ResetBUnderWritesAndCheck([&] { b->board.sasController().ExternalBusReset(); });
}

class PartnerTakeoverDegraded : public PartnerTakeover {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_5, 4); }
};

// On a degraded RAID 5 array controller 1 sends its partner a row's old
// contents before it updates it (message 111), and is cut on its first
// write after that, half of it on the drive: controller 0 writes the old
// contents back, then the mirrored writes, and every acknowledged write
// reads back, the missing member's blocks through their parity.
TEST_F(PartnerTakeoverDegraded, TheWriterCutInTheMiddleOfARowUpdateLosesNoAcknowledgedWrite) {
    bool fParityDataHeld = false;
    b->board.sasController().partnerAnswerSeen = [&](const uint8_t* pbCdb, uint8_t bStatus) {
        if (pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == fw::PARTNER_MESSAGE_PARITY_DATA &&
            bStatus == fw::SCSI_STATUS_GOOD) {
            fParityDataHeld = fArmed;
        }
    };
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, WhenBTearsAWrite([&] { return fParityDataHeld; }), true));
}

class PartnerTakeoverRaid6 : public PartnerTakeover {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_6); }
};

// The same on RAID 6: controller 1 is cut while the writes acknowledged
// last are only in the caches; controller 0 serves them all and both
// parities of every row on the drives hold.
TEST_F(PartnerTakeoverRaid6, EveryAcknowledgedWriteReadsBackThroughTheSurvivor) {
    ASSERT_NO_FATAL_FAILURE(LoseBWithWritesInTheCaches(false));
}

// Controller 1 is lost, comes back and fails back, and then controller 0
// is lost: both parities of every row on the drives hold.
TEST_F(PartnerTakeoverRaid6, TheFailedControllerComesBackAndTheOtherFails) {
    ASSERT_NO_FATAL_FAILURE(LoseBBringItBackThenLoseA());
}

class PartnerTakeoverRaid10 : public PartnerTakeover {
protected:
    void SetUp() override { Start(fw::RAID_LEVEL_10); }
};

// On RAID 10 controller 1 is cut the moment its partner holds a write's
// data and before that write is answered: what controller 1 held only in
// its cache reaches both halves of every pair through controller 0's
// copies.  Until the cut each drive takes one command at a time, so that
// controller 1 holds acknowledged writes no drive has yet: with no parity
// to read first, a RAID 10 write is otherwise on its drives at once, and
// the copies would never be needed.
TEST_F(PartnerTakeoverRaid10, TheWriterCutBetweenItsMirrorAndItsGoodLosesNoAcknowledgedWrite) {
    const auto fQueueDepth = [this](uint32_t depth) {
        for (unsigned m = 1; m <= bDrives; ++m) chassis.DriveAt(m)->SetQueueDepth(depth);
    };
    fQueueDepth(1);
    const auto fHeld = WhenDataIsHeld(b->board);
    ASSERT_NO_FATAL_FAILURE(CutAt(b->board, [&] {
        if (!fHeld()) return false;
        fQueueDepth(0);
        return true;
    }));
}

TEST_F(PartnerTakeoverRaid10, TheFailedControllerComesBackAndTheOtherFails) {
    ASSERT_NO_FATAL_FAILURE(LoseBBringItBackThenLoseA());
}

}  // namespace
