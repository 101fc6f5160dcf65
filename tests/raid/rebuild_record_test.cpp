// The rebuild's progress record in NVRAM and its window tests: a power cut
// at any byte store of a progress write leaves a whole record; a resume goes
// back two regions and refuses a record that does not fit the array; the
// window answers by where a write lies against the front; the percent holds
// on members past 43 million blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/nvram_layout.h"
#include "config/config_state.h"
#include "config/rank_table.h"
#include "executive/buffer_pages.h"
#include "executive/nvram_access.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"
#include "harness/calendar.h"
#include "hw/scsi.h"
#include "raid/raid_engine.h"
#include "raid/rebuild.h"
#include "sim/board.h"
#include "sim/nvram.h"

namespace {

struct Geometry {
    uint8_t bLevel;
    uint8_t bDrives;
    uint16_t wChunk;
    uint8_t bSubRanks;
    uint64_t lLastOffset;   // the array's last internal block
};

Geometry g_sGeometry{fw::RAID_LEVEL_5, 4, 64, 1, 3 * 6400 - 1};

void MakeRank() {
    const Geometry& g = g_sGeometry;
    fw::SetRankCount(1);
    fw::RANK_RECORD* ps = fw::pGetRankRecord(0);
    std::memset(ps, 0, sizeof *ps);
    ps->bRaidLevel = g.bLevel;
    ps->bDriveCount = g.bDrives;
    ps->wChunkSize = g.wChunk;
    ps->bSubRankCount = g.bSubRanks;
    ps->lLastOffset = g.lLastOffset;
    ps->bDataDriveCount = static_cast<uint8_t>(g.bLevel == fw::RAID_LEVEL_10 ? g.bDrives / 2 : g.bDrives - g.bSubRanks);
    ps->bRankState = fw::RANK_STATE_DEGRADED;
    for (uint8_t m = 0; m < 16; ++m) {
        ps->abMemberDrive[m] = m < g.bDrives ? uint8_t(10 + m) : 0xFF;
        ps->abMemberDriveAlt[m] = 0xFF;
        ps->abMemberState[m] = 1;
    }
}

uint32_t MemberBlocks() {
    const Geometry& g = g_sGeometry;
    const uint32_t n = g.bLevel == fw::RAID_LEVEL_10 ? g.bDrives / 2u : g.bDrives - uint32_t(g.bSubRanks);
    return static_cast<uint32_t>((g.lLastOffset + 1) / n);
}

fw::REBUILD_NV_COPY Record(uint32_t dPosition, uint16_t wBlocks) {
    fw::REBUILD_NV_COPY s{};
    std::memset(&s, 0xFF, sizeof s);
    s.bRank = 0;
    s.bMember0 = 1;
    s.bRaidLevel = g_sGeometry.bLevel;
    s.bReserved4 = fw::FALSE;
    for (uint8_t i = 0; i < 8; ++i) s.abWwn[i] = uint8_t(0x50 + i);
    fw::PutBe32(s.abPosition, dPosition);
    fw::PutBe32(s.abEnd, MemberBlocks() - 1);
    fw::PutBe16(s.abBlocks, wBlocks);
    std::memset(s.abReserved55, 0, sizeof s.abReserved55);
    return s;
}

constexpr uint32_t kCopy1 = NVRAM_OFFSET(abRebuildRecord);
constexpr uint32_t kCopy2 = kCopy1 + 64;

// Copy 1 current at 10 regions, copy 2 one region behind, as a retire
// leaves them.
void WriteRecord(uint32_t dCurrent, uint32_t dOther) {
    const uint16_t S = g_sGeometry.wChunk;
    const fw::REBUILD_NV_COPY a = Record(dCurrent, S), b = Record(dOther, S);
    fw::NvramWrite(kCopy1, &a, sizeof a);
    fw::NvramWrite(kCopy2, &b, sizeof b);
    fw::SetNvramRebuildSelector(fw::TRUE);
    fw::SetNvramRebuildPendingFlag(fw::TRUE);
}

fw::REBUILD_NV_COPY CurrentIn(const std::vector<uint8_t>& image) {
    fw::REBUILD_NV_COPY s;
    const uint32_t off = image[NVRAM_OFFSET(bRebuildSelector)] == fw::TRUE ? kCopy1 : kCopy2;
    std::memcpy(&s, image.data() + off, sizeof s);
    return s;
}

void BringUp() {
    harness::PrepareInterruptsAndCalendar();
    fw::ValidateNvram();
    MakeRank();
}

uint8_t g_bResumed = 0;
void Resume() {
    BringUp();
    g_bResumed = fw::ResumeRebuildFromNvram(20, 0xFF);
}

sim::StopKind RunAfterReset(sim::Board& board, void (*pfnEntry)()) {
    board.SetResetEntry(pfnEntry);
    board.Boot();
    return board.RunFor(60000000000ull);
}

// The back-off from 0x10040 to 0xFFC0 changes three bytes of the position.
constexpr uint32_t kCutFrom = 0x10040, kCutTo = 0xFFC0;

void Baseline() {
    g_sGeometry.lLastOffset = 3 * 0x20000 - 1;
    BringUp();
    WriteRecord(kCutFrom, kCutFrom - 64);
}
void ResumeBig() {
    g_sGeometry.lLastOffset = 3 * 0x20000 - 1;
    Resume();
}

// Every byte store of the resume's back-off is a place the power may fail:
// the record the selector names afterwards is whole, at the old position or
// at the new one, never a mixture.
TEST(RebuildRecord, APowerCutAtAnyStoreOfAProgressWriteLeavesAWholeRecord) {
    g_sGeometry.lLastOffset = 3 * 0x20000 - 1;
    std::vector<uint8_t> abBaseline;
    uint64_t lWrites = 0;
    {
        sim::Board board;
        ASSERT_EQ(RunAfterReset(board, Baseline), sim::StopKind::Finished);
        abBaseline = board.nvram().Image();
        const uint64_t lBefore = board.nvram().WriteCount();
        ASSERT_EQ(RunAfterReset(board, ResumeBig), sim::StopKind::Finished);
        ASSERT_EQ(g_bResumed, 255);
        lWrites = board.nvram().WriteCount() - lBefore;
        const fw::REBUILD_NV_COPY s = CurrentIn(board.nvram().Image());
        EXPECT_EQ(fw::dGetBe32(s.abPosition), kCutTo) << "two regions back";
    }
    ASSERT_GT(lWrites, 64u);
    const fw::REBUILD_NV_COPY sOld = Record(kCutFrom, 64);
    const fw::REBUILD_NV_COPY sNew = Record(kCutTo, 64);
    for (uint64_t k = 1; k <= lWrites; ++k) {
        sim::Board board;
        board.nvram().LoadImage(abBaseline);
        board.nvram().CutPowerAfterWrites(k);
        const sim::StopKind stop = RunAfterReset(board, ResumeBig);
        ASSERT_TRUE(stop == sim::StopKind::PowerCut || (stop == sim::StopKind::Finished && k == lWrites)) << "cut " << k;
        const fw::REBUILD_NV_COPY s = CurrentIn(board.nvram().Image());
        const uint32_t dPos = fw::dGetBe32(s.abPosition);
        ASSERT_TRUE(dPos == kCutFrom || dPos == kCutTo) << "cut " << k << " position " << dPos;
        // The fields besides the position and the source lists are those
        // of one record.
        const fw::REBUILD_NV_COPY& sWant = dPos == kCutFrom ? sOld : sNew;
        EXPECT_EQ(std::memcmp(s.abWwn, sWant.abWwn, 8), 0) << "cut " << k;
        EXPECT_EQ(std::memcmp(s.abEnd, sWant.abEnd, 4), 0) << "cut " << k;
        EXPECT_EQ(std::memcmp(s.abBlocks, sWant.abBlocks, 2), 0) << "cut " << k;
        EXPECT_EQ(s.bRank, 0) << "cut " << k;
        EXPECT_EQ(s.bMember0, 1) << "cut " << k;
    }
}

struct ResumeCase {
    const char* what;
    uint32_t dPosition;
    uint16_t wBlocks;
    int64_t lEndDelta;      // added to the record's end
    uint8_t bMember;
    uint8_t bResult;        // 255 resumed, 0 refused
    uint32_t dResumedAt;
};

void WriteCase(const ResumeCase& c) {
    fw::REBUILD_NV_COPY s = Record(c.dPosition, c.wBlocks);
    fw::PutBe32(s.abEnd, static_cast<uint32_t>(MemberBlocks() - 1 + c.lEndDelta));
    s.bMember0 = c.bMember;
    fw::NvramWrite(kCopy1, &s, sizeof s);
    fw::NvramWrite(kCopy2, &s, sizeof s);
    fw::SetNvramRebuildSelector(fw::TRUE);
    fw::SetNvramRebuildPendingFlag(fw::TRUE);
}

// A record that does not fit the array starts the rebuild again from the
// first block, or, naming no member of it, is not resumed at all.
TEST(RebuildRecord, AResumeGoesBackTwoRegionsAndDistrustsARecordThatDoesNotFit) {
    const uint32_t M = MemberBlocks();
    const ResumeCase kCases[] = {
        {"mid-way", 10 * 64, 64, 0, 1, 255, 8 * 64},
        {"first region", 64, 64, 0, 1, 255, 0},
        {"at the start", 0, 64, 0, 1, 255, 0},
        {"last region short", M - 10, 10, 0, 1, 255, (M - 10) / 64 * 64 - 2 * 64},
        {"end not the member's last block", 10 * 64, 64, -1, 1, 255, 0},
        {"position past the end", M + 64, 64, 0, 1, 255, 0},
        {"blocks 0", 10 * 64, 0, 0, 1, 255, 0},
        {"blocks not the region", 10 * 64, 63, 0, 1, 255, 0},
        {"member outside the array", 10 * 64, 64, 0, 4, 0, 0},
    };
    for (const ResumeCase& c : kCases) {
        SCOPED_TRACE(c.what);
        sim::Board board;
        static const ResumeCase* s_pc;
        s_pc = &c;
        board.SetResetEntry([] {
            BringUp();
            WriteCase(*s_pc);
            g_bResumed = fw::ResumeRebuildFromNvram(20, 0xFF);
        });
        board.Boot();
        ASSERT_EQ(board.RunFor(60000000000ull), sim::StopKind::Finished);
        EXPECT_EQ(g_bResumed, c.bResult);
        if (c.bResult != 255) continue;
        const fw::REBUILD_NV_COPY s = CurrentIn(board.nvram().Image());
        EXPECT_EQ(fw::dGetBe32(s.abPosition), c.dResumedAt);
        EXPECT_EQ(fw::dGetBe32(s.abEnd), M - 1);
        EXPECT_EQ(s.bReplacement3, 20);
        EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_REBUILDING);
        EXPECT_EQ(fw::fGetRebuildWork(), fw::TRUE);
    }
}

// Window answers against a front at member block 10 regions (RAID 5, 3 data
// members, 64-block chunks: F = 1920, W = 192).
TEST(RebuildRecord, TheWindowAnswersByWhereAWriteLiesAgainstTheFront) {
    struct Case {
        uint64_t lAddress;
        uint16_t wBlocks;
        uint8_t bWant;
    };
    static const Case kCases[] = {
        {0, 1, fw::REBUILD_WINDOW_REBUILT},         // the window reaches back to 192 at most
        {191, 1, fw::REBUILD_WINDOW_REBUILT},
        {191, 2, fw::REBUILD_WINDOW_BUSY},
        {1920 + 20 * 192, 8, fw::REBUILD_WINDOW_AHEAD},
        {1920 + 20 * 192 - 1, 1, fw::REBUILD_WINDOW_BUSY},
        {1920, 1, fw::REBUILD_WINDOW_BUSY},
        {1919, 1, fw::REBUILD_WINDOW_BUSY},
    };
    static uint8_t s_abGot[std::size(kCases)];
    static uint8_t s_bOtherRank, s_bNoRecord;
    sim::Board board;
    board.SetResetEntry([] {
        BringUp();
        WriteRecord(10 * 64, 9 * 64);
        fw::KERNEL_ENTRY s{};
        for (size_t i = 0; i < std::size(kCases); ++i) {
            s.lRankAddress = kCases[i].lAddress;
            s_abGot[i] = fw::bCheckRebuildWindow(0, 0, kCases[i].wBlocks, &s);
        }
        s.lRankAddress = 0;
        s_bOtherRank = fw::bCheckRebuildWindow(1, 0, 1, &s);
        fw::SetNvramRebuildPendingFlag(fw::FALSE);
        s_bNoRecord = fw::bCheckRebuildWindow(0, 0, 1, &s);
    });
    board.Boot();
    ASSERT_EQ(board.RunFor(60000000000ull), sim::StopKind::Finished);
    for (size_t i = 0; i < std::size(kCases); ++i) EXPECT_EQ(s_abGot[i], kCases[i].bWant) << "case " << i;
    EXPECT_EQ(s_bOtherRank, fw::REBUILD_WINDOW_OUTSIDE);
    EXPECT_EQ(s_bNoRecord, fw::REBUILD_WINDOW_OUTSIDE);
}

// Far from the start the window's back edge leaves rebuilt rows behind it;
// a mirror front inside a chunk counts from the start of its row.
TEST(RebuildRecord, WritesBehindTheWindowAreRebuiltAndAMirrorFrontCountsFromItsRow) {
    static uint8_t s_bBehind, s_bEdge, s_bInRow;
    sim::Board board;
    board.SetResetEntry([] {
        g_sGeometry = {fw::RAID_LEVEL_5, 4, 64, 1, 3 * 64000 - 1};
        BringUp();
        WriteRecord(500 * 64, 499 * 64);
        fw::KERNEL_ENTRY s{};
        // F = 96000, W = 192, L = 96000 - 32 * 192 = 89856.
        s.lRankAddress = 89855;
        s_bBehind = fw::bCheckRebuildWindow(0, 0, 1, &s);
        s_bEdge = fw::bCheckRebuildWindow(0, 0, 2, &s);
        // RAID 10 on 4 drives, 4096-block chunks: after the first region
        // the front (member block 2048) lies inside row 0, and block 4000
        // of the array sits at member block 4000 of the first pair, not
        // rebuilt yet.
        g_sGeometry = {fw::RAID_LEVEL_10, 4, 4096, 0, 2 * 4096 * 40 - 1};
        MakeRank();
        const fw::REBUILD_NV_COPY r = Record(2048, 2048);
        fw::NvramWrite(kCopy1, &r, sizeof r);
        s.lRankAddress = 4000;
        s_bInRow = fw::bCheckRebuildWindow(0, 0, 1, &s);
    });
    board.Boot();
    ASSERT_EQ(board.RunFor(60000000000ull), sim::StopKind::Finished);
    EXPECT_EQ(s_bBehind, fw::REBUILD_WINDOW_REBUILT);
    EXPECT_EQ(s_bEdge, fw::REBUILD_WINDOW_BUSY);
    EXPECT_EQ(s_bInRow, fw::REBUILD_WINDOW_BUSY);
}

TEST(RebuildRecord, ThePercentHoldsOnBigMembers) {
    static uint8_t s_bHalf, s_bDone, s_bNone;
    sim::Board board;
    board.SetResetEntry([] {
        g_sGeometry = {fw::RAID_LEVEL_5, 4, 64, 1, 3ull * 100000000 - 1};
        BringUp();
        WriteRecord(50000000, 49999936);
        s_bHalf = fw::bGetRebuildPercent();
        WriteRecord(100000000, 99999936);
        s_bDone = fw::bGetRebuildPercent();
        fw::InitRebuildNvRecord();
        s_bNone = fw::bGetRebuildPercent();
    });
    board.Boot();
    ASSERT_EQ(board.RunFor(60000000000ull), sim::StopKind::Finished);
    EXPECT_EQ(s_bHalf, 50);
    EXPECT_EQ(s_bDone, 100);
    EXPECT_EQ(s_bNone, 0);
}

// The display of the record: both copies as they stand, and on the
// master what the rebuild does in memory; the other controller shows only
// what it keeps in NVRAM.
TEST(RebuildRecord, TheInfoDisplayShowsBothCopiesAndOnTheMasterTheVolatileState) {
    sim::BoardConfig config;
    config.slot1 = false;
    sim::Board board(config);
    board.SetResetEntry([] {
        g_sGeometry = {fw::RAID_LEVEL_5, 4, 64, 1, 3 * 6400 - 1};
        BringUp();
        fw::REBUILD_NV_COPY a = Record(1600, 64), b = Record(1536, 64);
        for (uint8_t i = 0; i < 3; ++i) a.abSource3[i] = b.abSource3[i] = uint8_t(10 + i + (i >= 1));
        a.bReplacement3 = b.bReplacement3 = 0x15;
        fw::NvramWrite(kCopy1, &a, sizeof a);
        fw::NvramWrite(kCopy2, &b, sizeof b);
        fw::SetNvramRebuildSelector(fw::TRUE);
        fw::SetNvramRebuildPendingFlag(fw::TRUE);
        fw::SetRebuildWork(fw::TRUE);
        fw::SetRebuildParFlag(fw::TRUE);
        fw::ShowRebuildInfo();
        fw::InitBoardState();   // this board is in slot 2: with the link up, not master
        fw::SetPartnerOnPath1(fw::TRUE);
        fw::SetDualControllerValid(fw::TRUE);
        fw::SetNvramRebuildSelector(fw::FALSE);
        fw::ShowRebuildInfo();
    });
    board.Boot();
    ASSERT_EQ(board.RunFor(60000000000ull), sim::StopKind::Finished);
    const std::string copies =
        "NV Data 1:\r\n"
        "  R:00 D0:01 D1:ff WWN: 5051525354555657 Alpa1:15 Alpa2:ff\r\n"
        "  Source Alpa1: 0a 0c 0d ff ff ff ff ff ff ff ff ff ff ff ff \r\n"
        "  Source Alpa2: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff \r\n"
        "  Start:00000640 End:000018ff Blocks:0040\r\n"
        "NV Data 2:\r\n"
        "  R:00 D0:01 D1:ff WWN: 5051525354555657 Alpa1:15 Alpa2:ff\r\n"
        "  Source Alpa1: 0a 0c 0d ff ff ff ff ff ff ff ff ff ff ff ff \r\n"
        "  Source Alpa2: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff \r\n"
        "  Start:00000600 End:000018ff Blocks:0040\r\n";
    const std::string master = "Rebuild Info: (25%)\r\n"
                               " New:000 Compl:000\r\n"
                               "NVIn Prog:f1 In Prog:f1 D1Valid:f1 Par:f1 State:00\r\n" +
                               copies +
                               "Volatile Data:\r\n"
                               "  RIP:00 WIP:00 OCC:00 Nxt:00000000 End:0\r\n"
                               "  Seq: 0000000000000000 FSq: 0000000000000000\r\n"
                               "Regen IO: 0.00 MB/s,   0% of Total\r\n"
                               "Regen Read IO: 0, 0.00/s, 0.00 MB/s,   0% of Total\r\n"
                               "Regen Write IO: 0, 0.00/s, 0.00 Avg MB/s\r\n"
                               "Host Blocks:00000000 0000000000000000\r\n"
                               "  0.00/s\r\n"
                               " 0.00 MB/s,   0% of Total\r\n"
                               "Elapsed Time:  0d 00:00:00\r\n"
                               "Estimated Time Remaining:  0d 00:00:00\r\n";
    const std::string other = "Rebuild Info: (24%)\r\n"
                              " New:000 Compl:000\r\n"
                              "NVIn Prog:f1 In Prog:f1 D1Valid:f0 Par:f1 State:00\r\n" +
                              copies +
                              "Elapsed Time:  0d 00:00:00\r\n"
                              "Estimated Time Remaining:  0d 00:00:00\r\n";
    EXPECT_EQ(board.ConsoleText(), master + other);
}

// The display's times run from the half-second tick the rebuild started
// at: a rebuild taken up 30 s after start of day and shown 100 s later,
// 1601 blocks in, has 1441279 blocks to go at 16 blocks a second.
TEST(RebuildRecord, TheInfoDisplayTimesRunFromTheStartOfThePass) {
    sim::BoardConfig config;
    config.slot1 = false;
    sim::Board board(config);
    board.SetResetEntry([] {
        g_sGeometry = {fw::RAID_LEVEL_5, 4, 64, 1, 3ull * 1442880 - 1};
        BringUp();
        ASSERT_EQ(fw::InitBufferPages(), fw::STATUS_OK);
        fw::InitSystemTick();
        const auto Run = [](uint32_t dSeconds) {
            for (uint32_t d = 0; d < dSeconds * 1000; ++d) fw::SystemTickHandler();
        };
        Run(30);
        WriteRecord(1600, 1536);
        ASSERT_EQ(fw::bPrepareRebuildRegions(), 255);
        Run(100);
        fw::ShowRebuildInfo();
    });
    board.Boot();
    ASSERT_EQ(board.RunFor(60000000000ull), sim::StopKind::Finished);
    const std::string s = board.ConsoleText();
    EXPECT_NE(s.find("Elapsed Time:  0d 00:01:40\r\nEstimated Time Remaining:  1d 01:01:19\r\n"), std::string::npos)
        << s;
}

}  // namespace
