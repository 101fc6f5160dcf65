// The write sort on its own: which logical drives its lists hold and in
// what order, the sweep over an array's parked writes up and down, the load
// limits, the writes it lets go when an array leaves it, the dump and the
// write-optimisation modes.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "cache/outstanding_queues.h"
#include "config/apply_settings.h"
#include "config/ld_table.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
#include "host_io_board.h"

namespace iotest {
namespace {

using namespace fw;

constexpr uint64_t kUnit = 1u << 20;   // each logical drive's blocks

class WriteSortTest : public HostIo {
protected:
    // One sorted array (policy bit 6) with three logical drives stored out
    // of address order, and a second array without the bit.
    void SetUp() override {
        HostIo::SetUp();
        InitWriteSort();
        const uint8_t r = AddRank(RAID_LEVEL_0, 4, 128, 3 * kUnit);
        harness::s_sLive.asRank[r].bCachePolicy = POLICY_WRITE_BACK | POLICY_SHARED_OUTSTANDING;
        const uint8_t r2 = AddRank(RAID_LEVEL_0, 2, 128, kUnit);
        harness::s_sLive.asRank[r2].bCachePolicy = POLICY_WRITE_BACK;
        AddLd({{2 * kUnit, kUnit}}, kLun);   // 0: the highest addresses
        AddLd({{0, kUnit}}, 1);              // 1: the lowest
        AddLd({{kUnit, kUnit}}, 2);          // 2
        AddLd({{3 * kUnit, kUnit}}, 3);      // 3: on the second array
        PresentAllExcept();
        ApplyStoredSettings(FALSE, TRUE);
        ASSERT_EQ(fGetWriteSortEnabled(), TRUE);
    }
    // A write-back write of logical drive wLd parked by the optimisation
    // stage at the drive's block lLba.
    KERNEL_ENTRY* Park(uint16_t wLd, uint64_t lLba) {
        KERNEL_ENTRY* ps = Admit(SCSI_WRITE16, lLba, 8);
        ps->wLunIndex = wLd;
        ParseReadWrite16Cdb(ps);
        InsertOutstandingWrite(ps);
        SetFlag(ps, KE_FLAG_CACHE_COUNTED);
        EXPECT_EQ(fParkSortedWrite(ps), TRUE);
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_WRITE_SORT);
        return ps;
    }
    // The internal addresses of the writes the service lets go, each cycle's
    // in turn, until a cycle lets none go.
    std::vector<uint64_t> Issued(const std::vector<KERNEL_ENTRY*>& aps, int iCycles = 64) {
        std::vector<uint64_t> al;
        for (int i = 0; i < iCycles; ++i) {
            WriteSortService();
            bool fAny = false;
            for (KERNEL_ENTRY* ps : aps) {
                if (ps->bPrimaryState != HOST_STATE_WRITE_READY || !m_seen.insert(ps).second) continue;
                al.push_back(ps->lInternalAddress);
                fAny = true;
            }
            if (!fAny) break;
        }
        return al;
    }
    std::set<const KERNEL_ENTRY*> m_seen;
};

TEST_F(WriteSortTest, ListsHoldTheSortedArraysDrivesInAddressOrderAndTheDumpShowsThem) {
    SetLogicalDriveState(2, LD_STATE_UNAVAILABLE);
    RebuildWriteSort();
    EXPECT_EQ(fIsRankWriteSortActive(0), TRUE);
    EXPECT_EQ(fIsRankWriteSortActive(1), FALSE);
    EXPECT_EQ(fIsRankWriteSortActive(64), FALSE);
    board.ClearConsoleText();
    ShowWriteSortOrder();
    std::string text = board.ConsoleText();
    EXPECT_EQ(text.substr(0, text.find("Array 2 ")),
              "Write Sort Ordering:\r\n"
              "\r\nActive Rank Info:\r\n"
              "\tRankIndex 0, RankNo = 0\r\n"
              "\r\nLun Node Info:\r\n"
              "\tLunIndex 0, LunNo = 0, RankNo = 0, Address = 0x000200000\r\n"
              "\tLunIndex 1, LunNo = 1, RankNo = 0, Address = 0x000000000\r\n"
              "Array 0 Lun Ordering:\r\n"
              "Sortable = TRUE, Current Lun =  1, Sort Up = TRUE, Last Address = 0x000000000\r\n"
              "\tLun 1 Start Address: 0x000000000\r\n"
              "\tLun 0 Start Address: 0x000200000\r\n"
              "Array 1 Lun Ordering:\r\n"
              "Sortable = FALSE\r\n");
    SetWriteSortEnabled(FALSE);
    board.ClearConsoleText();
    ShowWriteSortOrder();
    EXPECT_EQ(board.ConsoleText(), "Write Sort Disabled\r\n");
    EXPECT_EQ(fIsRankWriteSortActive(0), FALSE);
}

// Up from the lowest address over the drives in address order, writes
// parked meanwhile joining where the sweep has not yet been; at the top it
// turns down, and at the bottom up again.
TEST_F(WriteSortTest, TheSweepGoesUpOverTheDrivesTurnsAtTheTopAndAgainAtTheBottom) {
    std::vector<KERNEL_ENTRY*> aps = {Park(1, 5000), Park(2, 10), Park(0, 500)};
    std::vector<uint64_t> al = Issued(aps, 1);
    aps.push_back(Park(1, 100));
    aps.push_back(Park(0, 7));
    for (uint64_t l : Issued(aps)) al.push_back(l);
    EXPECT_EQ(al, (std::vector<uint64_t>{5000, kUnit + 10, 2 * kUnit + 7, 2 * kUnit + 500, 100}));
    aps.push_back(Park(1, 200));
    aps.push_back(Park(0, 1));
    aps.push_back(Park(1, 50));
    EXPECT_EQ(Issued(aps), (std::vector<uint64_t>{50, 200, 2 * kUnit + 1}));
    EXPECT_EQ(dGetSortableWriteCount(), 0u);
    // Without the turn an upward sweep ends and starts again from the
    // bottom in the next cycle.
    SetWriteSortReverseAtEnd(FALSE);
    aps.push_back(Park(0, 900));
    EXPECT_EQ(Issued(aps), (std::vector<uint64_t>{2 * kUnit + 900}));
    aps.push_back(Park(1, 20));
    WriteSortService();   // the sweep ends
    EXPECT_EQ(Issued(aps), (std::vector<uint64_t>{20}));
    // A sorted write counts once among its array's writes in progress.
    EXPECT_EQ(dGetRankWritesInProgress(0), aps.size());
}

TEST_F(WriteSortTest, AnArrayBusyPastBothLimitsGetsNoSortedWrite) {
    struct Case {
        uint32_t dReads;
        uint32_t dWrites;
        bool fIssued;
    };
    const Case cases[] = {{24, 9, false}, {25, 8, true}, {1, 32, false}, {23, 9, true}, {40, 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dReads) + " reads, " + std::to_string(c.dWrites) + " writes");
        ClearRankReadsInProgress(0);
        ClearRankWritesInProgress(0);
        for (uint32_t i = 0; i < c.dReads; ++i) IncRankReadsInProgress(0);
        for (uint32_t i = 0; i < c.dWrites; ++i) IncRankWritesInProgress(0);
        KERNEL_ENTRY* ps = Park(1, 64);
        WriteSortService();
        EXPECT_EQ(ps->bPrimaryState == HOST_STATE_WRITE_READY, c.fIssued);
        if (!c.fIssued) {
            ClearRankWritesInProgress(0);
            WriteSortService();
        }
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_WRITE_READY);
    }
}

// Writes parked on an array the sort leaves go on at once, whatever takes
// it out: the sort turned off, the list kind of the outstanding queues, a
// logical drive gone unavailable; one freed while parked is no longer
// counted.
TEST_F(WriteSortTest, WritesParkedOnAnArrayTheSortLeavesGoOnAtOnce) {
    struct Case {
        const char* pszWhat;
        void (*pfLeave)();
        void (*pfBack)();
    };
    const Case cases[] = {
        {"sort off", [] { SetWriteSortEnabled(FALSE); }, [] { SetWriteSortEnabled(TRUE); }},
        {"list kind",
         [] {
             SetCacheSetting208(FALSE);
             RebuildWriteSort();
         },
         [] {
             SetCacheSetting208(TRUE);
             RebuildWriteSort();
         }},
        {"drive unavailable",
         [] {
             SetLogicalDriveState(1, LD_STATE_UNAVAILABLE);
             RebuildWriteSort();
         },
         [] {
             SetLogicalDriveState(1, LD_STATE_AVAILABLE);
             RebuildWriteSort();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        ClearRankWritesInProgress(0);
        std::vector<KERNEL_ENTRY*> aps = {Park(1, 8), Park(1, 800), Park(0, 8)};
        c.pfLeave();
        // Drive 0 stays sorted when only drive 1 left.
        const bool fZeroStays = fIsRankWriteSortActive(0) == TRUE;
        EXPECT_EQ(aps[0]->bPrimaryState, HOST_STATE_WRITE_READY);
        EXPECT_EQ(aps[1]->bPrimaryState, HOST_STATE_WRITE_READY);
        EXPECT_EQ(aps[2]->bPrimaryState, fZeroStays ? HOST_STATE_WRITE_SORT : HOST_STATE_WRITE_READY);
        EXPECT_EQ(dGetSortableWriteCount(), fZeroStays ? 1u : 0u);
        EXPECT_EQ(dGetRankWritesInProgress(0), fZeroStays ? 2u : 3u);
        c.pfBack();
        if (fZeroStays) FreeTargetEntry(aps[2]);
        EXPECT_EQ(dGetSortableWriteCount(), 0u);
    }
    KERNEL_ENTRY* ps = Park(0, 64);
    FreeTargetEntry(ps);
    EXPECT_EQ(dGetSortableWriteCount(), 0u);
}

// The sweep finds the parked writes among many queued writes that are not
// parked (held for their streams, issued), in address order, while writes
// come and go in any order around them: the tree keeps a count of parked
// writes in every subtree, and the search follows it.
TEST_F(WriteSortTest, TheSweepFindsTheParkedWritesAmongTheOthersInAddressOrder) {
    std::vector<KERNEL_ENTRY*> apParked;
    std::vector<KERNEL_ENTRY*> apOthers;
    std::set<uint64_t> alParked;
    uint32_t dSeed = 12345;
    const auto Next = [&] { return dSeed = dSeed * 1103515245u + 12345u; };
    for (uint32_t n = 0; n < 400; ++n) {
        const uint64_t lLba = (Next() >> 8) % (kUnit / 8) * 8;
        if (alParked.count(lLba) != 0) continue;
        if (n % 5 == 0) {
            apParked.push_back(Park(1, lLba));
            alParked.insert(lLba);
            RemoveFromLunRing(kLun);
        } else {
            KERNEL_ENTRY* ps = Admit(SCSI_WRITE16, lLba, 8);
            RemoveFromLunRing(kLun);
            ps->wLunIndex = 1;
            ParseReadWrite16Cdb(ps);
            InsertOutstandingWrite(ps);
            ps->bPrimaryState = n % 2 == 0 ? HOST_STATE_OPTIMISATION : HOST_STATE_WRITE_ISSUED;
            apOthers.push_back(ps);
        }
        // Every third of the others leaves again: the tree rotates around
        // the parked writes.
        if (n % 3 == 0 && !apOthers.empty()) {
            KERNEL_ENTRY* ps = apOthers[(Next() >> 8) % apOthers.size()];
            RemoveOutstandingWrite(ps);
            FreeTargetEntry(ps);
            apOthers.erase(std::find(apOthers.begin(), apOthers.end(), ps));
        }
        ASSERT_EQ(fIsOutstandingTreeSound(1), TRUE) << n;
    }
    ASSERT_GT(apParked.size(), 60u);
    ClearRankWritesInProgress(0);
    std::vector<uint64_t> alIssued;
    for (int i = 0; i < 1000 && dGetSortableWriteCount() != 0; ++i) {
        WriteSortService();
        ClearRankWritesInProgress(0);
        for (KERNEL_ENTRY* ps : apParked) {
            if (ps->bPrimaryState == HOST_STATE_WRITE_READY && m_seen.insert(ps).second) {
                alIssued.push_back(ps->lInternalAddress);
            }
        }
        ASSERT_EQ(fIsOutstandingTreeSound(1), TRUE) << i;
    }
    EXPECT_EQ(alIssued, std::vector<uint64_t>(alParked.begin(), alParked.end()));
    for (KERNEL_ENTRY* ps : apOthers) {
        EXPECT_TRUE(ps->bPrimaryState == HOST_STATE_OPTIMISATION || ps->bPrimaryState == HOST_STATE_WRITE_ISSUED);
    }
}

TEST_F(WriteSortTest, TheWriteOptimisationModeSetsTheHoldAndTheWindows) {
    struct Case {
        uint8_t bMode;
        uint8_t fClustering;
        uint8_t bStored;
        uint32_t dHold;
        uint32_t dDepth;
        uint64_t lWindow;
    };
    const Case cases[] = {{1, FALSE, 1, 2, 0, 0},   {2, TRUE, 2, 3, 24, 72},    {3, TRUE, 3, 5, 64, 192},
                          {4, TRUE, 4, 7, 150, 450}, {0, TRUE, 4, 3, 24, 72}, {9, TRUE, 4, 3, 24, 72}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.bMode));
        SetSequentialWriteLevel(c.bMode);
        EXPECT_EQ(fGetCommandClustering(), c.fClustering);
        EXPECT_EQ(bGetSequentialWriteLevel(), c.bStored);
        EXPECT_EQ(dGetOptimisationHoldLimit(), c.dHold);
        EXPECT_EQ(dGetSequentialHistoryDepth(), c.dDepth);
        EXPECT_EQ(lGetOptimisationSequenceWindow(), c.lWindow);
    }
}

}  // namespace
}  // namespace iotest
