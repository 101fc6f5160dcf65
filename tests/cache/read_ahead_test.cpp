// The read-ahead slots on their own: the prefetch size, the claim of a slot
// and its LRU order, the lookup, the cut or drop of slots by writes, the
// point at which the next extent is asked for, and the dump.
#include <cstdio>
#include <cstring>
#include <string>

#include "cache/read_ahead.h"
#include "cache/read_path.h"
#include "host_io_board.h"

namespace iotest {
namespace {

using namespace fw;

constexpr uint64_t kBlocks = 1u << 20;

class ReadAheadTest : public HostIo {
protected:
    void SetUp() override {
        HostIo::SetUp();
        AllocReadAheadBuffers();
    }
    // RAID 5 over 4 drives (rows of 384 blocks); the rank's read-ahead
    // setting as stored (4: 4096 blocks; 0: one row).
    void Make(uint16_t wReadAhead) {
        const uint8_t r = AddRank(RAID_LEVEL_5, 4, 128, kBlocks);
        harness::s_sLive.asRank[r].bCachePolicy = POLICY_WRITE_BACK;
        harness::s_sLive.asRank[r].wReadAhead = wReadAhead;
        harness::s_sLive.asRank[r].dStripeSize = 3 * 128 * 512;
        AddLd({{0, kBlocks}}, kLun);
        PresentAllExcept();
        ApplyStoredSettings(FALSE, TRUE);
    }
    KERNEL_ENTRY* Read(uint64_t lLba, uint32_t dBlocks) { return Admit(SCSI_READ16, lLba, dBlocks); }
    // A slot claimed and filled for [lStart, lStart + wBlocks).
    uint8_t Loaded(uint64_t lStart, uint16_t wBlocks) {
        BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
        uint8_t bSlot = 0;
        EXPECT_EQ(bClaimReadAheadSlot(Read(lStart, 8), &d, wBlocks, &bSlot), TRUE);
        SetReadAheadLoaded(bSlot, TRUE);
        return bSlot;
    }
    static uint8_t Lookup(KERNEL_ENTRY* ps, BUFFER_HANDLE* pd = nullptr, uint8_t* pfStream = nullptr) {
        BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
        uint16_t w = 0;
        uint8_t b = 0;
        uint8_t f = FALSE;
        const uint8_t bAnswer = bLookupReadAhead(ps, pd != nullptr ? pd : &d, &w, &b, pfStream != nullptr ? pfStream : &f);
        return bAnswer;
    }
};

TEST_F(ReadAheadTest, PrefetchSizesFollowTheReadTheSegmentTheRowAndTheRank) {
    struct Case {
        const char* pszWhat;
        uint16_t wReadAhead;      // the rank's setting
        uint64_t lLba;
        uint32_t dBlocks;
        bool fStripeAccess;
        uint16_t wSize;           // 0: no prefetch
    };
    const Case cases[] = {
        {"64 blocks: 64 reads, the slot's 4096", 4, 0, 64, false, 4096},
        {"8 blocks: at least 1024", 4, 0, 8, false, 1024},
        {"3000 blocks: not twice the read", 4, 0, 3000, false, 0},
        {"1000 blocks: whole reads", 4, 0, 1000, false, 4000},
        {"the segment's last 200 blocks", 4, kBlocks - 200, 64, false, 192},
        {"the segment's last 100 blocks", 4, kBlocks - 100, 64, false, 0},
        {"the rank's one row", 0, 0, 64, false, 384},
        {"read-ahead off on the rank", 15, 0, 64, false, 0},
        {"a stripe access record: its row", 4, 128, 64, true, 256},
        {"a stripe access record: too little row left", 4, 320, 64, true, 0},
    };
    Make(4);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        harness::s_sLive.asRank[0].wReadAhead = c.wReadAhead;
        ApplyStoredSettings(FALSE, TRUE);
        KERNEL_ENTRY* ps = Read(c.lLba, c.dBlocks);
        if (c.fStripeAccess) SetFlag(ps, KE_FLAG_STRIPE_ACCESS);
        uint16_t wSize = 0;
        EXPECT_EQ(bGetPrefetchSize(ps, &wSize), c.wSize != 0 ? TRUE : FALSE);
        if (c.wSize != 0) {
            EXPECT_EQ(wSize, c.wSize);
        }
        FreeTargetEntry(ps);
    }
}

// A read inside a slot hits, at its offset in the slot's buffer; one that
// runs past the slot's end misses; a slot still loading makes it wait.
TEST_F(ReadAheadTest, ReadsInsideASlotHitAndAReadPastItsEndMisses) {
    Make(4);
    BUFFER_HANDLE dSlot = NULL_BUFFER_HANDLE;
    uint8_t bSlot = 0;
    ASSERT_EQ(bClaimReadAheadSlot(Read(1000, 8), &dSlot, 4096, &bSlot), TRUE);
    EXPECT_EQ(Lookup(Read(1000, 64)), READ_AHEAD_LOADING);
    EXPECT_EQ(psGetReadAheadSlot(bSlot)->wWaiters, 1);
    SetReadAheadLoaded(bSlot, TRUE);
    BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
    EXPECT_EQ(Lookup(Read(1064, 64), &d), READ_AHEAD_HIT);
    EXPECT_EQ(d, dSlot + 64 * 512);
    EXPECT_EQ(Lookup(Read(5032, 64)), READ_AHEAD_HIT);
    EXPECT_EQ(Lookup(Read(5033, 64)), READ_AHEAD_MISS);
    EXPECT_EQ(Lookup(Read(999, 8)), READ_AHEAD_MISS);
}

// A write over a slot cuts off its front, whatever of the slot lies before
// the write included, or drops it when it reaches the slot's end; the data
// offsets of what is left stay where they were.
TEST_F(ReadAheadTest, WritesCutOrDropTheSlotsTheyOverlap) {
    Make(4);
    struct Case {
        const char* pszWhat;
        uint64_t lWrite;
        uint32_t dBlocks;
        uint8_t bAnswer;
        uint64_t lStart;        // the slot's start after; 0 emptied
    };
    const Case cases[] = {
        {"before the slot", 0, 1000, READ_AHEAD_MISS, 1000},
        {"after the slot", 5096, 100, READ_AHEAD_MISS, 1000},
        {"in its middle", 2000, 8, READ_AHEAD_MISS, 2008},
        {"over its front", 900, 200, READ_AHEAD_MISS, 1100},
        {"to its end", 5000, 96, READ_AHEAD_HIT, 0},
        {"over all of it", 900, 5000, READ_AHEAD_HIT, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        InitReadAheadBuffers();
        BUFFER_HANDLE dSlot = NULL_BUFFER_HANDLE;
        uint8_t bSlot = 0;
        ASSERT_EQ(bClaimReadAheadSlot(Read(1000, 8), &dSlot, 4096, &bSlot), TRUE);
        SetReadAheadLoaded(bSlot, TRUE);
        EXPECT_EQ(InvalidateReadAhead(c.lWrite, c.dBlocks), c.bAnswer);
        const READ_AHEAD_SLOT* ps = psGetReadAheadSlot(bSlot);
        if (c.lStart == 0) {
            EXPECT_EQ(ps->wLength, 0);
            EXPECT_EQ(Lookup(Read(4000, 8)), READ_AHEAD_MISS);
            continue;
        }
        EXPECT_EQ(ps->lStart, c.lStart);
        EXPECT_EQ(Lookup(Read(c.lStart - 1, 8)), READ_AHEAD_MISS);
        BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
        EXPECT_EQ(Lookup(Read(4000, 8), &d), READ_AHEAD_HIT);
        EXPECT_EQ(d, dSlot + 3000 * 512);
    }
}

// Half a slot read asks for the next extent, a tenth while reads waited
// for it; once.
TEST_F(ReadAheadTest, TheNextExtentIsAskedForOnceHalfTheSlotIsRead) {
    Make(4);
    const uint8_t bSlot = Loaded(0, 1000);
    uint8_t fStream = FALSE;
    AddReadAheadUser(bSlot, 400);
    EXPECT_EQ(Lookup(Read(400, 64), nullptr, &fStream), READ_AHEAD_HIT);
    EXPECT_EQ(fStream, FALSE);
    AddReadAheadUser(bSlot, 64);
    EXPECT_EQ(Lookup(Read(464, 36), nullptr, &fStream), READ_AHEAD_HIT);
    EXPECT_EQ(fStream, TRUE);
    EXPECT_EQ(Lookup(Read(500, 64), nullptr, &fStream), READ_AHEAD_HIT);
    EXPECT_EQ(fStream, FALSE);

    InitReadAheadBuffers();
    BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
    uint8_t bWaited = 0;
    ASSERT_EQ(bClaimReadAheadSlot(Read(0, 8), &d, 1000, &bWaited), TRUE);
    EXPECT_EQ(Lookup(Read(0, 64), nullptr, &fStream), READ_AHEAD_LOADING);
    EXPECT_EQ(fStream, FALSE);
    AddReadAheadUser(bWaited, 64);
    EXPECT_EQ(Lookup(Read(64, 64), nullptr, &fStream), READ_AHEAD_LOADING);
    EXPECT_EQ(fStream, TRUE);
}

// A read of a stream grows into a fill of a slot; a read inside the slot
// while the drives still fill it waits, and is answered once the fill is in,
// with the data the drives gave the slot.
TEST_F(ReadAheadTest, AReadOfASlotStillLoadingWaitsForTheFill) {
    Make(4);
    KERNEL_ENTRY* psFirst = Read(0, 64);
    KERNEL_ENTRY* psFill = Read(64, 64);
    ASSERT_EQ(StartHostRead(psFirst), STATUS_OK);
    ASSERT_EQ(StartHostRead(psFill), STATUS_OK);
    ASSERT_EQ(psFill->bCommandType, CT_READ_FILL);
    const uint8_t bSlot = Cache(psFill).bReadAheadSlot;
    ASSERT_LT(bSlot, READ_AHEAD_SLOTS);
    const uint32_t dFillBlocks = psGetReadAheadSlot(bSlot)->wLength;
    ASSERT_GE(dFillBlocks, 192u);

    KERNEL_ENTRY* psWaiting = Read(128, 64);
    ASSERT_EQ(StartHostRead(psWaiting), STATUS_OK);
    EXPECT_EQ(psWaiting->bPrimaryState, HOST_STATE_READ_AHEAD_WAIT);
    EXPECT_EQ(+Cache(psWaiting).bReadAheadSlot, bSlot);
    EXPECT_FALSE(Answer(psWaiting).fStatus) << "answered before the slot was filled";
    EXPECT_TRUE(Answer(psWaiting).aDataIn.empty());

    // The drives fill the slot; its fill goes out (after the first read),
    // and the waiting read with it.
    RunDrives();
    ASSERT_EQ(psFill->bPrimaryState, HOST_STATE_DATA_AVAILABLE);
    std::memset(Bytes(psFill->dBufferHandle), 0x5A, dFillBlocks * kBlock);
    ProcessDataAvailableQueue(PORT_CODE_MODULE);
    ASSERT_TRUE(Good(psFirst));
    EXPECT_FALSE(Answer(psWaiting).fStatus);
    EXPECT_EQ(psGetReadAheadSlot(bSlot)->fLoaded, FALSE);
    ProcessDataAvailableQueue(PORT_CODE_MODULE);
    EXPECT_TRUE(Good(psFill));
    EXPECT_EQ(psGetReadAheadSlot(bSlot)->fLoaded, TRUE);
    EXPECT_EQ(psWaiting->bPrimaryState, HOST_STATE_DATA_AVAILABLE);
    ProcessDataAvailableQueue(PORT_CODE_MODULE);
    const HostAnswer& a = Answer(psWaiting);
    ASSERT_TRUE(Good(psWaiting));
    uint32_t dBytes = 0;
    for (const auto& seg : a.aDataIn) {
        const uint8_t* pb = sim::Board::Current().memory().Translate(seg.first, seg.second);
        for (uint32_t i = 0; i < seg.second; ++i) ASSERT_EQ(pb[i], 0x5A) << dBytes + i;
        dBytes += seg.second;
    }
    EXPECT_EQ(dBytes, 64 * kBlock);
}

// The next extent goes into a slot of its own, which its completion marks
// loaded; one the drives did not fill is emptied, so no read finds pages
// they never wrote.  Either way the prefetch gives up its use of the slot.
TEST_F(ReadAheadTest, APrefetchLoadsItsSlotOrLeavesItEmpty) {
    Make(4);
    for (const bool fFail : {false, true}) {
        SCOPED_TRACE(fFail ? "failed" : "good");
        InitReadAheadBuffers();
        const uint8_t bFrom = Loaded(0, 4096);
        KERNEL_ENTRY* psRead = Read(2048, 64);
        psCacheFields(psRead)->bReadAheadSlot = bFrom;
        KERNEL_ENTRY* psPrefetch = nullptr;
        ASSERT_EQ(bPrefetchNextExtent(psRead, &psPrefetch), STATUS_OK);
        const uint8_t bSlot = psCacheFields(psPrefetch)->bReadAheadSlot;
        ASSERT_NE(bSlot, bFrom);
        const READ_AHEAD_SLOT* ps = psGetReadAheadSlot(bSlot);
        EXPECT_EQ(ps->lStart, 4096u);
        EXPECT_EQ(ps->wLength, 4096u);
        EXPECT_EQ(ps->wUsers, 1u);
        EXPECT_EQ(Lookup(Read(4096, 64)), READ_AHEAD_LOADING);
        if (fFail) SetFlag(psPrefetch, KE_FLAG_CHILD_FAILED);
        CompleteReadAheadPrefetch(psPrefetch);
        EXPECT_EQ(ps->wUsers, 0u);
        EXPECT_EQ(ps->fLoaded, fFail ? FALSE : TRUE);
        EXPECT_EQ(ps->wLength, fFail ? 0u : 4096u);
        EXPECT_EQ(Lookup(Read(4096, 64)), fFail ? READ_AHEAD_MISS : READ_AHEAD_HIT);
    }
}

// The reads that wait on the slot of a prefetch go on when it ends: with
// the slot's data when the drives filled it, else back to their queue as
// plain reads of the drives.
TEST_F(ReadAheadTest, ReadsWaitingOnAPrefetchGoOnWhenItEnds) {
    Make(4);
    for (const bool fFail : {false, true}) {
        SCOPED_TRACE(fFail ? "failed" : "good");
        InitReadAheadBuffers();
        const uint8_t bFrom = Loaded(0, 4096);
        KERNEL_ENTRY* psRead = Read(2048, 64);
        psCacheFields(psRead)->bReadAheadSlot = bFrom;
        KERNEL_ENTRY* psPrefetch = nullptr;
        ASSERT_EQ(bPrefetchNextExtent(psRead, &psPrefetch), STATUS_OK);
        KERNEL_ENTRY* psWaiting = Read(4160, 64);
        ASSERT_EQ(StartHostRead(psWaiting), STATUS_OK);
        ASSERT_EQ(psWaiting->bPrimaryState, HOST_STATE_READ_AHEAD_WAIT);
        if (fFail) SetFlag(psPrefetch, KE_FLAG_CHILD_FAILED);
        CompleteReadAheadPrefetch(psPrefetch);
        if (fFail) {
            EXPECT_EQ(psWaiting->bPrimaryState, HOST_STATE_LUN_QUEUED);
            EXPECT_EQ(psWaiting->bCommandType, CT_READ_FILL_FALLBACK);
        } else {
            EXPECT_EQ(psWaiting->bPrimaryState, HOST_STATE_DATA_AVAILABLE);
            EXPECT_EQ(psWaiting->dBufferHandle,
                      psGetReadAheadSlot(psCacheFields(psWaiting)->bReadAheadSlot)->dHandle + 64 * kBlock);
        }
    }
}

// A slot with a user is never taken; slots never loaded go first, then the
// least recently used; the two odd ports take odd slots only.  (The test
// board's 128 MB give the slots no more than a quarter of its bank.)
TEST_F(ReadAheadTest, ClaimsTakeFreeSlotsLeastRecentlyUsedFirst) {
    Make(4);
    uint8_t n = 0;
    while (n < READ_AHEAD_SLOTS && psGetReadAheadSlot(n)->dHandle != NULL_BUFFER_HANDLE) n++;
    ASSERT_GE(n, 4);
    for (uint8_t b = 0; b < n; b++) EXPECT_EQ(Loaded(uint64_t(b) * 8192, 4096), b);
    EXPECT_EQ(bGetLruSlot(READ_AHEAD_SLOTS - 1), n - 1);
    AddReadAheadUser(0, 0);
    TouchReadAheadSlot(1);
    EXPECT_EQ(bGetLruSlot(READ_AHEAD_SLOTS - 1), 1);
    EXPECT_EQ(Loaded(500000, 4096), 2);     // 0 is in use, 1 was touched
    KERNEL_ENTRY* ps = Read(600000, 8);
    ps->bPortCode = PORT_CODE_HOST_VARIANT_1;
    BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
    uint8_t bSlot = 0;
    ASSERT_EQ(bClaimReadAheadSlot(ps, &d, 4096, &bSlot), TRUE);
    EXPECT_EQ(bSlot, 3);
    ps->bPortCode = kPort;
    for (uint8_t b = 0; b < READ_AHEAD_SLOTS; b++) AddReadAheadUser(b, 0);
    EXPECT_EQ(bClaimReadAheadSlot(Read(700000, 8), &d, 4096, &bSlot), FALSE);
    DecReadAheadWaitCount(n - 1, FALSE);
    EXPECT_EQ(bClaimReadAheadSlot(Read(700000, 8), &d, 4096, &bSlot), TRUE);
    EXPECT_EQ(bSlot, n - 1);
}

// On a board with less memory than the slots were made for, they take no
// more than a quarter of the bank, and a slot without its 2 MB is never
// claimed.
TEST_F(ReadAheadTest, ASmallBankGivesTheSlotsAQuarterOfIt) {
    Make(4);
    uint32_t dWithBuffer = 0;
    for (uint8_t b = 0; b < READ_AHEAD_SLOTS; b++) {
        if (psGetReadAheadSlot(b)->dHandle != NULL_BUFFER_HANDLE) dWithBuffer++;
    }
    const uint32_t dBank = dGetAvailablePages(0) + 25;
    EXPECT_GT(dWithBuffer, 0u);
    EXPECT_LT(dWithBuffer, READ_AHEAD_SLOTS);
    EXPECT_LE(dWithBuffer * 512, dBank / 4);
    uint32_t dClaimed = 0;
    BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
    uint8_t bSlot = 0;
    while (bClaimReadAheadSlot(Read(uint64_t(dClaimed) * 8192, 8), &d, 4096, &bSlot) == TRUE) {
        EXPECT_NE(d, NULL_BUFFER_HANDLE);
        AddReadAheadUser(bSlot, 0);
        dClaimed++;
    }
    EXPECT_EQ(dClaimed, dWithBuffer);
}

TEST_F(ReadAheadTest, TheDumpShowsEverySlotAndTheLruOrder) {
    Make(4);
    const uint8_t bSlot = Loaded(0x100000010ull, 4096);
    AddReadAheadUser(bSlot, 64);
    EXPECT_EQ(Lookup(Read(0x100000010ull, 64)), READ_AHEAD_HIT);
    board.ClearConsoleText();
    ShowReadAheadBuffers();
    const std::string s = board.ConsoleText();
    char acFirst[120];
    std::snprintf(acFirst, sizeof acFirst,
                  "00 TF A:%08x Cnt:001 Wait:0000 A:0100000010->0100001010 L:1000 T:00000040\r\n",
                  static_cast<uint32_t>(psGetReadAheadSlot(0)->dHandle));
    EXPECT_EQ(s.substr(0, 24), "Read-Ahead Buffer info\r\n");
    EXPECT_EQ(s.substr(24, std::strlen(acFirst)), acFirst);
    EXPECT_NE(s.find("01 FF A:"), std::string::npos);
    EXPECT_NE(s.find(" Cnt:000 Wait:0000 A:ffffffffff->ffffffffff L:0000 T:00000000\r\n"), std::string::npos);
    EXPECT_EQ(s.substr(s.size() - 2 - 3 * READ_AHEAD_SLOTS - 5, 8), "LRU: 01 ");
    EXPECT_EQ(s.substr(s.size() - 8), "27 00 \r\n");
}

}  // namespace
}  // namespace iotest
