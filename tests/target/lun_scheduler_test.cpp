// The LUN scheduler: bursts by the arrays' shape, least-recently-serviced
// order between LUNs, yielding to new commands after 32 starts, and the age
// buckets, active LUNs, port histories and command chains around it.
#include <random>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/write_sort.h"
#include "console/option_settings.h"
#include "eventlog/target_trace.h"
#include "executive/tick.h"
#include "host_board.h"

namespace target_test {
namespace {

using namespace fw;

class LunSchedulerTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        SetTargetCommandTrace(TRUE);
    }
    void Queue(uint16_t wLun, int iCount) {
        for (int i = 0; i < iCount; i++) Send(wLun, Cdb10(SCSI_READ10, i * 8, 8), 4096);
        Dispatch();
        ASSERT_EQ(wGetLunQueueCount(wLun), iCount);
    }
    // The LUNs of the commands started, in the order they started, from the
    // scheduler's trace lines.
    std::string StartOrder() {
        const std::string s = board.ConsoleText();
        std::string sOrder;
        for (size_t i = s.find(" Started"); i != std::string::npos; i = s.find(" Started", i + 1)) {
            sOrder += i >= 3 ? s[i - 1] : '?';   // the last digit of "L:%03d"
        }
        board.ClearConsoleText();
        return sOrder;
    }
    static void AdvanceMs(uint32_t dMs) {
        for (uint32_t d = 0; d < dMs; d++) SystemTickHandler();
    }
};

TEST_F(LunSchedulerTest, OneDriveArrayStartsFortyCommandsSixteenAtATime) {
    MakeDrives({100000, 100000});
    ClearAttentions();
    Queue(0, 20);
    Queue(1, 20);
    board.ClearConsoleText();
    EXPECT_EQ(ServiceLunQueues(), STATUS_OK);
    EXPECT_EQ(StartOrder(), std::string(16, '0') + std::string(16, '1') + "0000" + "1111");
    EXPECT_EQ(wGetNewCmdContTotal(), 0);
    EXPECT_EQ(wGetLrsLunCount(), 0);

    Queue(0, 40);
    EXPECT_EQ(ServiceLunQueues(), STATUS_OK);
    EXPECT_EQ(StartOrder(), std::string(40, '0'));
}

TEST_F(LunSchedulerTest, DrivesSharingAnArrayTakeBurstsOfFour) {
    MakeDrives({50000, 50000}, true);
    ClearAttentions();
    Queue(1, 6);
    Queue(0, 6);   // LUN 1 got work first: it goes first
    board.ClearConsoleText();
    EXPECT_EQ(ServiceLunQueues(), STATUS_OK);
    EXPECT_EQ(StartOrder(), "1111000011" "00");
}

TEST_F(LunSchedulerTest, ArrayWhoseShareIsUsedUpWaitsForTheNextPass) {
    // Array 0 holds drives 0 and 1 and refuses writes over its share; array
    // 1 holds drive 2.
    AddRank(RAID_LEVEL_0, 2, 128, 200000);
    AddRank(RAID_LEVEL_0, 2, 128, 100000);
    harness::s_sLive.asRank[0].bCachePolicy = POLICY_SHARED_OUTSTANDING;
    AddLd({{0, 100000}});
    AddLd({{100000, 100000}});
    AddLd({{200000, 100000}});
    PresentAllExcept();
    ApplyStoredSettings(FALSE, TRUE);
    for (uint16_t l = 0; l < 3; l++) Map(l, l);
    ClearAttentions();
    SetCachedWriteLimit(0);   // the cache is full
    Send(0, Cdb10(SCSI_WRITE10, 0, 8), 4096);
    Dispatch();
    for (uint16_t wLun : {1, 2}) {
        Send(wLun, Cdb10(SCSI_READ10, 0, 8), 4096);
        Send(wLun, Cdb10(SCSI_READ10, 8, 8), 4096);
    }
    Dispatch();
    board.ClearConsoleText();
    EXPECT_EQ(ServiceLunQueues(), STATUS_OK);
    // The write found the share used up: drive 1, on the same array, starts
    // nothing in this pass; drive 2 does.
    EXPECT_EQ(StartOrder(), "22");
    EXPECT_EQ(wGetLunQueueCount(0), 1);
    EXPECT_EQ(wGetLunQueueCount(1), 2);
    EXPECT_EQ(wGetLunQueueCount(2), 0);
}

TEST_F(LunSchedulerTest, CallYieldsToNewCommandsAfterThirtyTwoStarts) {
    MakeDrives({100000});
    ClearAttentions();
    Queue(0, 48);
    Send(0, Cdb6(SCSI_TEST_UNIT_READY));   // a new command waits
    board.ClearConsoleText();
    EXPECT_EQ(ServiceLunQueues(), STATUS_OK);
    EXPECT_EQ(StartOrder(), std::string(32, '0'));
    EXPECT_EQ(wGetLunQueueCount(0), 16);
}

TEST_F(LunSchedulerTest, StaleSlotsAreDroppedAndUnmappedCommandsRefused) {
    MakeDrives({100000, 100000});
    ClearAttentions();
    const uint16_t wAborted = Send(0, Cdb10(SCSI_READ10, 0, 8), 4096);
    const uint16_t wUnmapped = Send(1, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    // One left its state without leaving the ring; the other's LUN was unmapped.
    Entry(wAborted)->bPrimaryState = HOST_STATE_STATUS;
    uint16_t* pw = pGetHostLunTable(PORT);
    pw[1 * HOST_LUN_INITIATORS + HANDLE] = LUN_MAP_NONE;
    (void)ServiceLunQueues();
    Settle();
    EXPECT_EQ(wGetNewCmdContTotal(), 0);
    EXPECT_EQ(wGetLrsLunCount(), 0);
    const Answer s = Reply(wUnmapped);
    EXPECT_EQ(s.bAsc, ASC_LUN_NOT_SUPPORTED);
}

TEST_F(LunSchedulerTest, AgeBucketsHoldBackYoungerCommandsOfTheArray) {
    KERNEL_ENTRY* psOld = Entry(Send(0, Cdb10(SCSI_READ10, 0, 8), 4096));
    KERNEL_ENTRY* psNew = Entry(Send(0, Cdb10(SCSI_READ10, 8, 8), 4096));
    psOld->bRank = psNew->bRank = 2;
    AdvanceMs(3500);
    psNew->lArrivalMs = lGetTickCount();
    psOld->lArrivalMs = lGetTickCount() - 3500;
    // The first test counts a command in bucket 0.
    EXPECT_EQ(fIsOlderCommandWaiting(psOld), FALSE);
    EXPECT_EQ(pHostFields(psOld)->wPriorityBucket, 0);
    EXPECT_EQ(fIsOlderCommandWaiting(psOld), FALSE);   // now its real age: bucket 3
    EXPECT_EQ(pHostFields(psOld)->wPriorityBucket, 3);
    EXPECT_EQ(wGetPriorityCount(2, 0), 0);
    EXPECT_EQ(fIsOlderCommandWaiting(psNew), TRUE);    // bucket 0 behind bucket 3
    AdvanceMs(1000);
    EXPECT_EQ(fIsOlderCommandWaiting(psOld), FALSE);
    EXPECT_EQ(wGetPriorityCount(2, 3), 0);
    EXPECT_EQ(wGetPriorityCount(2, 4), 1);
    ReleasePriorityBucket(psNew);
    EXPECT_EQ(wGetPriorityCount(2, 0), 0);
    // Both hold-release bits: never held back.
    SetFlag(psNew, KE_FLAG_ACCESS_CONFLICTS | KE_FLAG_HOLD_RELEASE_B);
    EXPECT_EQ(fIsOlderCommandWaiting(psNew), FALSE);
}

TEST_F(LunSchedulerTest, OldestBucketIsNinetyNine) {
    KERNEL_ENTRY* ps = Entry(Send(0, Cdb10(SCSI_READ10, 0, 8), 4096));
    ps->bRank = 1;
    pHostFields(ps)->wPriorityBucket = 5;
    IncPriorityCount(1, 5);
    AdvanceMs(2000);
    ps->lArrivalMs = lGetTickCount() - 2000;
    EXPECT_EQ(fIsOlderCommandWaiting(ps), FALSE);
    EXPECT_EQ(pHostFields(ps)->wPriorityBucket, 2);
    ps->lArrivalMs = lGetTickCount() - 250000;   // 250 seconds old
    EXPECT_EQ(fIsOlderCommandWaiting(ps), FALSE);
    EXPECT_EQ(pHostFields(ps)->wPriorityBucket, 99);
    EXPECT_EQ(wGetPriorityCount(1, 99), 1);
    IncPriorityCount(64, 0);   // beyond the table: ignored
    DecPriorityCount(1, 100);
    EXPECT_EQ(wGetPriorityCount(1, 99), 1);
}

TEST_F(LunSchedulerTest, LunServedTwoSecondsAgoIsStillActive) {
    MakeDrives({100000, 100000});
    MarkLunServiced(0);
    AdvanceMs(1000);
    MarkLunServiced(1);
    AdvanceMs(1000);
    AgeActiveLuns();
    EXPECT_EQ(fIsLunActive(0), TRUE);   // 2000 ms
    EXPECT_EQ(wGetActiveLunCount(0), 1);
    AdvanceMs(1001);
    AgeActiveLuns();   // less than 2000 ms since the last ageing: nothing changes
    EXPECT_EQ(fIsLunActive(0), TRUE);
    AdvanceMs(999);
    AgeActiveLuns();
    EXPECT_EQ(fIsLunActive(0), FALSE);
    EXPECT_EQ(fIsLunActive(1), FALSE);
}

// Read in runs, the history gives what one-by-one reading gives: across the
// end of its ring, up to its oldest slot, and up to a slot never written.
TEST_F(LunSchedulerTest, PortHistoryReadInRunsAsOneByOne) {
    InitPortCommandHistory();
    for (uint16_t w = 0; w < 5; w++) RecordPortCommand(PORT, w, w);
    KERNEL_ENTRY* aps[16] = {};
    ASSERT_EQ(wGetRecentPortCommands(PORT, 1, 16, aps), 5);
    EXPECT_EQ(aps[0]->wIndex, 4);
    EXPECT_EQ(aps[4]->wIndex, 0);
    EXPECT_EQ(wGetRecentPortCommands(PORT, 0, 16, aps), 0);
    EXPECT_EQ(wGetRecentPortCommands(PORT_CODE_FC_HOST_2, 1, 16, aps), 0);

    for (uint32_t i = 0; i < STAGE_RING_SLOTS + 99u; i++) RecordPortCommand(PORT, static_cast<uint16_t>(i % HOST_ENTRY_COUNT), i);
    for (const uint16_t wBack : {1, 2, 15, 16, 17, 98, 99, 100, 3185, 3190, 3199, 3200, 3201}) {
        const uint16_t wGot = wGetRecentPortCommands(PORT, wBack, 16, aps);
        EXPECT_EQ(wGot, std::min(16, std::max(0, STAGE_RING_SLOTS - wBack))) << wBack;
        for (uint16_t w = 0; w < 16; w++) {
            KERNEL_ENTRY* ps = nullptr;
            const uint8_t fOne = fGetRecentPortCommand(PORT, static_cast<uint16_t>(wBack + w), &ps);
            ASSERT_EQ(fOne == TRUE, w < wGot) << wBack << " " << w;
            if (w < wGot) {
                EXPECT_EQ(ps, aps[w]) << wBack << " " << w;
            }
        }
    }
}

// Found by their keys, the history gives the commands of a key that reading
// it back record by record gives, newest first and no deeper than asked:
// across the end of its ring, and after keys changed.
TEST_F(LunSchedulerTest, PortHistoryFindsTheCommandsOfAKeyAsReadingItBackDoes) {
    InitPortCommandHistory();
    std::mt19937 random(71);
    // Record number -> the key it carries now; the entry of each record
    // comes from the history itself.
    std::vector<uint64_t> alKey(1, 0);
    std::vector<uint32_t> adLastRecord(HOST_ENTRY_COUNT, 0);
    constexpr uint32_t kRecords = STAGE_RING_SLOTS + 1500;
    for (uint32_t dRecord = 1; dRecord <= kRecords; dRecord++) {
        const uint16_t wIndex = static_cast<uint16_t>(random() % 400);
        const uint64_t lKey = random() % 24;   // a few keys: long chains, many sharing one
        RecordPortCommand(PORT, wIndex, lKey);
        alKey.push_back(lKey);
        adLastRecord[wIndex] = dRecord;
        if (random() % 4 == 0) {
            // A recorded command whose end moved.
            const uint16_t wMoved = static_cast<uint16_t>(random() % 400);
            const uint64_t lMoved = random() % 24;
            RekeyPortCommand(PORT, wMoved, lMoved);
            if (adLastRecord[wMoved] != 0 && dRecord - adLastRecord[wMoved] < STAGE_RING_SLOTS) {
                alKey[adLastRecord[wMoved]] = lMoved;
            }
        }
        if (dRecord % 97 != 0 && dRecord != kRecords) continue;
        for (const uint32_t dDepth : {1u, 7u, 150u, 3200u, 5000u}) {
            const uint64_t lKey = random() % 24;
            std::vector<KERNEL_ENTRY*> apsExpected;
            for (uint32_t dBack = 1; dBack <= dDepth && dBack <= dRecord; dBack++) {
                KERNEL_ENTRY* ps = nullptr;
                if (fGetRecentPortCommand(PORT, static_cast<uint16_t>(std::min<uint32_t>(dBack, 0xFFFF)), &ps) != TRUE) break;
                if (alKey[dRecord + 1 - dBack] == lKey) apsExpected.push_back(ps);
            }
            std::vector<KERNEL_ENTRY*> apsFound;
            uint16_t wCursor = RECENT_KEYED_FIRST;
            KERNEL_ENTRY* aps[5];
            do {
                const uint16_t wGot = wFindRecentPortCommands(PORT, lKey, dDepth, &wCursor, 5, aps);
                apsFound.insert(apsFound.end(), aps, aps + wGot);
            } while (wCursor != RECENT_KEYED_NONE);
            ASSERT_EQ(apsFound, apsExpected) << "record " << dRecord << " depth " << dDepth << " key " << lKey;
        }
    }
    uint16_t wCursor = RECENT_KEYED_FIRST;
    KERNEL_ENTRY* aps[5];
    EXPECT_EQ(wFindRecentPortCommands(PORT_CODE_FC_HOST_2, 1, 150, &wCursor, 5, aps), 0);
}

TEST_F(LunSchedulerTest, PortHistoryAndCommandChains) {
    KERNEL_ENTRY* psA = Entry(Send(0, Cdb10(SCSI_WRITE10, 0, 8), 4096));
    KERNEL_ENTRY* psB = Entry(Send(0, Cdb10(SCSI_WRITE10, 8, 8), 4096));
    KERNEL_ENTRY* psC = Entry(Send(0, Cdb10(SCSI_WRITE10, 16, 8), 4096));
    RecordPortCommand(PORT, psA->wIndex, 8);
    RecordPortCommand(PORT, psB->wIndex, 16);
    KERNEL_ENTRY* ps = nullptr;
    ASSERT_EQ(fGetRecentPortCommand(PORT, 1, &ps), TRUE);
    EXPECT_EQ(ps, psB);
    ASSERT_EQ(fGetRecentPortCommand(PORT, 2, &ps), TRUE);
    EXPECT_EQ(ps, psA);
    EXPECT_EQ(fGetRecentPortCommand(PORT, 3, &ps), FALSE);
    EXPECT_EQ(fGetRecentPortCommand(PORT_CODE_FC_HOST_2, 1, &ps), FALSE);

    ChainCommands(psA, psB);
    ChainCommands(psA, psC);
    EXPECT_TRUE(HasFlag(psA, KE_FLAG_CHAIN_FIRST));
    EXPECT_EQ(pHostFields(psA)->wNextInChain, psC->wIndex);   // the newest follower first
    SetFlag(psB, KE_FLAG_WRITE_BACK);
    ReleaseCommandChain(psA, 129, 0);   // the partner refused: followers go write-through
    EXPECT_FALSE(HasFlag(psA, KE_FLAG_CHAIN_FIRST));
    EXPECT_FALSE(HasFlag(psB, KE_FLAG_CHAIN_FOLLOWER));
    EXPECT_FALSE(HasFlag(psB, KE_FLAG_WRITE_BACK));
    EXPECT_EQ(psB->bPrimaryState, HOST_STATE_DATA_RECEIVED);
    EXPECT_EQ(psC->bPrimaryState, HOST_STATE_DATA_RECEIVED);
    EXPECT_EQ(wGetDataReceivedCount(), 2);
    EXPECT_EQ(pHostFields(psA)->wNextInChain, NO_CHAIN_LINK);
}

}  // namespace
}  // namespace target_test
