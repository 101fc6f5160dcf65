// Bad block lists: recording media errors with merging, making blocks good
// again with splits, deleting an array's entries, and a randomised run
// against a reference set of blocks.
#include <algorithm>
#include <random>
#include <utility>

#include "config/bad_blocks.h"
#include "harness/config_test.h"

namespace cfgtest {

using namespace harness;

namespace {

using Range = std::pair<uint64_t, uint64_t>;   // [start, end)

class BadBlockTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        for (int i = 0; i < 3; i++) AddRank(fw::RAID_LEVEL_5, 3, 128, 1000000, 1);
        PresentAllExcept();
        fw::ApplyStoredSettings(fw::FALSE, fw::TRUE);
    }
    // What the commit the operations request does with the list.
    void Commit() { fw::BuildBadBlockTables(&s_sLive); }
    std::vector<Range> Entries(uint8_t bRank) {
        std::vector<Range> a;
        for (uint32_t i = 0; i < s_sLive.sHeader.wBadBlockCount; i++) {
            const fw::BAD_BLOCK_ENTRY& s = s_sLive.asBadBlock[i];
            if (s.bRank != bRank) continue;
            const uint64_t l = fw::lGetBadBlockEntryStart(&s);
            a.push_back({l, l + s.wLength});
        }
        return a;
    }
};

TEST_F(BadBlockTest, RecordingMergesTouchingAndOverlappingRanges) {
    struct Case {
        const char* pszName;
        std::vector<Range> aAdds;
        std::vector<Range> aExpected;
    };
    const Case asCases[] = {
        {"touching the end", {{100, 110}, {110, 120}}, {{100, 120}}},
        {"overlapping the start", {{100, 120}, {95, 105}}, {{95, 120}}},
        {"ending where one starts", {{100, 120}, {90, 100}}, {{90, 100}, {100, 120}}},
        {"contained", {{100, 120}, {102, 106}}, {{100, 120}}},
        {"bridging two", {{100, 110}, {120, 130}, {105, 125}}, {{100, 130}}},
        {"covering two", {{100, 110}, {120, 130}, {90, 140}}, {{90, 140}}},
        {"swallowing a later one", {{100, 110}, {120, 130}, {150, 160}, {95, 135}}, {{95, 135}, {150, 160}}},
        {"kept sorted", {{500, 510}, {100, 110}, {300, 310}}, {{100, 110}, {300, 310}, {500, 510}}},
    };
    for (const Case& c : asCases) {
        SetUp();
        for (const Range& r : c.aAdds)
            EXPECT_EQ(fw::AddMediaErrorRange(r.first, static_cast<uint16_t>(r.second - r.first), 1), 0xFF) << c.pszName;
        EXPECT_EQ(Entries(1), c.aExpected) << c.pszName;
    }
}

TEST_F(BadBlockTest, ContainedRangeStillPostsTheEvent) {
    fw::AddMediaErrorRange(100, 20, 1);
    const size_t nEvents = EventCodes().size();
    EXPECT_EQ(fw::AddMediaErrorRange(102, 4, 1), 0xFF);
    EXPECT_EQ(EventCodes().size(), nEvents + 1);
    const fw::EVENT_LOG_ENTRY* ps = FindEvent(178);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 1);
    EXPECT_EQ(ps->abArgs[8], 100);   // start big-endian in bytes 1..8
    EXPECT_EQ(ps->abArgs[10], 20);   // length big-endian in bytes 9..10
    EXPECT_EQ(s_sLive.sHeader.wBadBlockCount, 1);
}

TEST_F(BadBlockTest, ReadChecksAndWritesMakeBlocksGood) {
    struct Case {
        const char* pszName;
        uint8_t bCode;
        Range sAccess;
        uint8_t fOverlap;
        std::vector<Range> aAfter;
    };
    const Case asCases[] = {
        {"read inside", 0x88, {105, 107}, fw::TRUE, {{100, 120}}},
        {"read beside", 0x88, {120, 130}, fw::FALSE, {{100, 120}}},
        {"write hole", 0x8A, {105, 107}, fw::TRUE, {{100, 105}, {107, 120}}},
        {"write head", 0x8A, {90, 105}, fw::TRUE, {{105, 120}}},
        {"write tail", 0x8A, {110, 200}, fw::TRUE, {{100, 110}}},
        {"write over all", 0x8A, {90, 130}, fw::TRUE, {}},
    };
    for (const Case& c : asCases) {
        SetUp();
        fw::AddMediaErrorRange(100, 20, 1);
        fw::AddMediaErrorRange(5000, 10, 2);
        Commit();
        EXPECT_EQ(fw::UpdateBadBlockList(c.sAccess.first, static_cast<uint16_t>(c.sAccess.second - c.sAccess.first), 1, c.bCode),
                  c.fOverlap)
            << c.pszName;
        EXPECT_EQ(Entries(1), c.aAfter) << c.pszName;
        EXPECT_EQ(fw::pGetBadBlockTables()->awRankBadBlockCount[1], c.aAfter.size()) << c.pszName;
        // The next array's entry is still found where it is.
        EXPECT_EQ(fw::UpdateBadBlockList(5005, 1, 2, 0x88), fw::TRUE) << c.pszName;
        EXPECT_EQ(Entries(2), (std::vector<Range>{{5000, 5010}})) << c.pszName;
    }
    EXPECT_EQ(fw::UpdateBadBlockList(100, 10, 3, 0x8A), fw::FALSE);   // no such array
}

TEST_F(BadBlockTest, DeletingAnArrayRenumbersTheLaterOnes) {
    fw::AddMediaErrorRange(100, 5, 0);
    fw::AddMediaErrorRange(200, 5, 1);
    fw::AddMediaErrorRange(300, 5, 1);
    fw::AddMediaErrorRange(400, 5, 2);
    fw::ClearRankBadBlocks(&s_sLive, 1, fw::TRUE);
    EXPECT_EQ(s_sLive.sHeader.wBadBlockCount, 2);
    EXPECT_EQ(Entries(0), (std::vector<Range>{{100, 105}}));
    EXPECT_EQ(Entries(1), (std::vector<Range>{{400, 405}}));
    EXPECT_EQ(s_sLive.asBadBlock[2].wLength, 0);
    s_sLive.asBadBlock[2] = s_sLive.asBadBlock[1];
    s_sLive.asBadBlock[2].bRank = 70;
    s_sLive.sHeader.wBadBlockCount = 3;
    Commit();
    EXPECT_EQ(fw::pGetBadBlockTables()->wBadBlockTotal, 2);
}

TEST_F(BadBlockTest, RangesNeverWrapTheirLengthOrTheAddressField) {
    EXPECT_EQ(fw::AddMediaErrorRange(1ull << 40, 10, 0), 0);
    EXPECT_EQ(s_sLive.sHeader.wBadBlockCount, 0);
    fw::AddMediaErrorRange(0, 60000, 0);
    fw::AddMediaErrorRange(60000, 60000, 0);
    fw::AddMediaErrorRange(50000, 65535, 0);
    const std::vector<Range> a = Entries(0);
    uint64_t lEnd = 0;
    for (const Range& r : a) {
        EXPECT_EQ(r.first, lEnd);
        EXPECT_LE(r.second - r.first, 65535u);
        lEnd = r.second;
    }
    EXPECT_EQ(lEnd, 120000u);
}

TEST_F(BadBlockTest, RandomOperationsMatchAReferenceSetOfBlocks) {
    constexpr uint32_t SPAN = 8192;   // blocks per array the run touches
    std::mt19937 rng(7);
    std::vector<uint8_t> abReference(3 * SPAN, 0);
    for (int i = 0; i < 1500; i++) {
        const uint8_t bRank = static_cast<uint8_t>(rng() % 3);
        const uint64_t lStart = rng() % 5000;
        const uint16_t wLength = static_cast<uint16_t>(rng() % 10 == 0 ? 1 + rng() % 3000 : 1 + rng() % 100);
        uint8_t* pbRef = &abReference[bRank * SPAN];
        if (rng() % 3 != 0) {
            ASSERT_EQ(fw::AddMediaErrorRange(lStart, wLength, bRank), 0xFF);
            std::fill(pbRef + lStart, pbRef + lStart + wLength, 1);
            Commit();
        } else {
            const bool fExpected = std::find(pbRef + lStart, pbRef + lStart + wLength, 1) != pbRef + lStart + wLength;
            const uint8_t bCode = rng() % 2 ? 0x88 : 0x8A;
            ASSERT_EQ(fw::UpdateBadBlockList(lStart, wLength, bRank, bCode), fExpected ? fw::TRUE : fw::FALSE) << i;
            if (bCode == 0x8A) std::fill(pbRef + lStart, pbRef + lStart + wLength, 0);
        }
        // The stored list: sorted by array and address, no overlaps, no
        // empty entries, exactly the reference blocks.
        std::vector<uint8_t> abStored(3 * SPAN, 0);
        uint8_t bPrevRank = 0;
        uint64_t lPrevEnd = 0;
        for (uint32_t e = 0; e < s_sLive.sHeader.wBadBlockCount; e++) {
            const fw::BAD_BLOCK_ENTRY& s = s_sLive.asBadBlock[e];
            const uint64_t l = fw::lGetBadBlockEntryStart(&s);
            ASSERT_GT(s.wLength, 0) << i;
            ASSERT_LT(s.bRank, 3) << i;
            ASSERT_LE(l + s.wLength, SPAN) << i;
            ASSERT_GE(s.bRank, bPrevRank) << i;
            if (s.bRank == bPrevRank && e != 0) {
                ASSERT_GE(l, lPrevEnd) << i << " entry " << e;
            }
            bPrevRank = s.bRank;
            lPrevEnd = l + s.wLength;
            std::fill(&abStored[s.bRank * SPAN + l], &abStored[s.bRank * SPAN + l + s.wLength], 1);
        }
        ASSERT_EQ(abStored, abReference) << i;
    }
}

}  // namespace
}  // namespace cfgtest
