// Array and logical drive operations on the scratch image: the geometry a
// request gets, what is refused, and what deletions and expansions carry
// along.
#include <string>
#include <vector>

#include "config/address_translation.h"
#include "config/array_operations.h"
#include "config/bad_blocks.h"
#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/ld_operations.h"
#include "config/san_lun_map.h"
#include "config/spares_wwn.h"
#include "harness/config_test.h"

namespace cfgtest {

using namespace harness;

namespace {

constexpr uint32_t kDriveLastLba = (8u << 20) - 1;   // a 4 GiB drive
constexpr uint32_t kMember = 8339456;                // its member size

Wwn DriveWwn(uint8_t n) { return Wwn{{0x50, 0x00, 0xC5, 0x00, 0x11, 0x22, 0x00, n}}; }

class OperationsTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::SetConfigWorkBuffer(m_abWork);
        fw::ResetConfigStartFlags();
        fw::InitSASDeviceList(fw::pGetSASDriveInfoList());
        fw::ClearDriveInfoList(fw::pGetDriveInfoList());
        std::memset(fw::pGetDriveAddressList(), 0, sizeof(fw::DRIVE_ADDRESS_LIST));
        fw::CopyConfigImage(&s_sLive, &s_sScratch);
    }
    // Drives 1..n of the given last block address, on the SAS side.
    void AddDrives(uint8_t bCount, uint32_t dLastLba = kDriveLastLba) {
        for (uint8_t n = 1; n <= bCount; ++n) AddDrive(n, dLastLba);
    }
    void AddDrive(uint8_t n, uint32_t dLastLba = kDriveLastLba) {
        AddPresentDrive(DriveWwn(n), n);
        fw::DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        ASSERT_EQ(fw::fFindDriveByWWN(DriveWwn(n).ab, &ps, &bIndex), fw::TRUE);
        ps->dCapacity = dLastLba;
    }
    static fw::CONFIG_RANK_RECORD Request(uint8_t bLevel, const std::vector<uint8_t>& abDrives, uint16_t wChunk = 256,
                                          uint8_t bSubRanks = 0) {
        fw::CONFIG_RANK_RECORD s{};
        s.bRaidLevel = bLevel;
        s.bDriveCount = static_cast<uint8_t>(abDrives.size());
        s.wChunkSize = wChunk;
        s.bParityCount = bSubRanks;
        s.fCacheFlushArray = fw::FALSE;
        s.fInitialized = fw::FALSE;
        s.wWriteThreshold = 5;
        std::memset(s.acArrayName, ' ', sizeof s.acArrayName);
        for (size_t m = 0; m < abDrives.size() && m < 16; ++m) std::memcpy(s.aabMemberWwn[m], DriveWwn(abDrives[m]).ab, 8);
        return s;
    }
    static const fw::CONFIG_IMAGE& Scratch() { return s_sScratch; }
    uint8_t Create(uint8_t bLevel, const std::vector<uint8_t>& abDrives, uint16_t wChunk = 256, uint8_t bSubRanks = 0) {
        const fw::CONFIG_RANK_RECORD s = Request(bLevel, abDrives, wChunk, bSubRanks);
        return fw::CreateArray(&s);
    }
    static uint8_t CreateLd(uint16_t wUnits, uint16_t wExtent = fw::ANY_EXTENT) {
        return fw::CreateLogicalDrive(wUnits, wExtent, 512, 0x0F, nullptr);
    }
    // The index of the first free extent on the array.
    static uint16_t ExtentOn(uint16_t wRank) {
        static fw::SEGMENT_MAP s_sMap;
        fw::BuildLdFreeSpaceMap(&s_sScratch, fw::FALSE, &s_sMap);
        uint16_t e = 0;
        while (e < s_sMap.dEntryCount && s_sMap.asEntry[e].wRank != wRank) ++e;
        return e;
    }
    static void ExpectSegmentsInStep(uint16_t wLd) {
        const fw::CONFIG_LD_RECORD& s = Scratch().asLd[wLd];
        for (uint32_t i = 0; i < s.bSegmentCount; ++i)
            EXPECT_EQ(s.asSegment[i].lEnd - s.asSegment[i].lStart, s.asSegment[i].lLastOffset) << wLd << "/" << i;
    }

    uint8_t m_abWork[32768] = {};
};

// ---- CreateArray ----

struct GeometryCase {
    const char* pszName;
    uint8_t bLevel;
    uint8_t bDrives;
    uint16_t wChunk;
    uint8_t bSubRanks;
    uint8_t bResult;
    uint16_t wStoredChunk;
    uint8_t bParity;
    uint32_t dDataDrives;
};

class CreateGeometryTest : public OperationsTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(CreateGeometryTest, RequestGivesItsGeometryOrIsRefused) {
    const GeometryCase& c = GetParam();
    AddDrives(16);
    std::vector<uint8_t> abDrives;
    for (uint8_t n = 1; n <= c.bDrives; ++n) abDrives.push_back(n);
    ASSERT_EQ(Create(c.bLevel, abDrives, c.wChunk, c.bSubRanks), c.bResult);
    if (c.bResult != fw::STATUS_OK) {
        EXPECT_EQ(Scratch().sHeader.wRankCount, 0);
        return;
    }
    const fw::CONFIG_RANK_RECORD& s = Scratch().asRank[0];
    EXPECT_EQ(s.wChunkSize, c.wStoredChunk);
    EXPECT_EQ(s.bParityCount, c.bParity);
    EXPECT_EQ(s.dStripeSize, c.dDataDrives * c.wStoredChunk * 512u);
    EXPECT_EQ(s.lLastOffset + 1, uint64_t{kMember} * c.dDataDrives);
    EXPECT_EQ(s.wCapacityGb, uint64_t{kMember} * c.dDataDrives / fw::CAPACITY_UNIT_BLOCKS);
    for (uint8_t m = 0; m < c.bDrives; ++m) EXPECT_EQ(s.abMemberState[m], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, CreateGeometryTest,
    ::testing::Values(
        GeometryCase{"Raid5TwoDrives", fw::RAID_LEVEL_5, 2, 128, 0, 0, 0, 0, 0},
        GeometryCase{"Raid5ThreeDrives", fw::RAID_LEVEL_5, 3, 128, 0, fw::STATUS_OK, 128, 1, 2},
        GeometryCase{"Raid0TwoDrivesTakeChunk512", fw::RAID_LEVEL_0, 2, 128, 0, fw::STATUS_OK, 512, 0, 2},
        GeometryCase{"Raid0ThreeDrivesTakeChunk256", fw::RAID_LEVEL_0, 3, 128, 0, fw::STATUS_OK, 256, 0, 3},
        GeometryCase{"Raid10FourDrives", fw::RAID_LEVEL_10, 4, 128, 0, fw::STATUS_OK, 512, 0, 2},
        GeometryCase{"Raid10OddDrives", fw::RAID_LEVEL_10, 3, 256, 0, 0, 0, 0, 0},
        GeometryCase{"Raid6ThreeDrives", fw::RAID_LEVEL_6, 3, 256, 0, 0, 0, 0, 0},
        GeometryCase{"Raid6FourDrives", fw::RAID_LEVEL_6, 4, 256, 0, fw::STATUS_OK, 256, 2, 2},
        GeometryCase{"Raid50EightByThree", fw::RAID_LEVEL_50, 8, 256, 3, 0, 0, 0, 0},
        GeometryCase{"Raid50NineByThree", fw::RAID_LEVEL_50, 9, 256, 3, fw::STATUS_OK, 256, 3, 6},
        GeometryCase{"Raid50SixSubRanks", fw::RAID_LEVEL_50, 12, 256, 6, 0, 0, 0, 0},
        GeometryCase{"LevelNFiveDrives", fw::RAID_LEVEL_N, 5, 256, 2, fw::STATUS_OK, 256, 2, 3},
        GeometryCase{"OddChunk", fw::RAID_LEVEL_5, 4, 300, 0, 0, 0, 0, 0},
        // The RAID engine keeps a row's data blocks in 16 bits.
        GeometryCase{"RowOf65536Blocks", fw::RAID_LEVEL_0, 16, 4096, 0, 0, 0, 0, 0},
        GeometryCase{"RowOf61440Blocks", fw::RAID_LEVEL_5, 16, 4096, 0, fw::STATUS_OK, 4096, 1, 15}),
    [](const auto& info) { return std::string(info.param.pszName); });

TEST_F(OperationsTest, CapacityReserveAndDriveSizesDecideTheMemberSize) {
    // 201 keeps a thousandth, raised to the smallest member size.
    AddDrives(6);
    fw::CONFIG_RANK_RECORD s = Request(fw::RAID_LEVEL_5, {1, 2, 3});
    s.bCapacityReserve = 200;
    EXPECT_EQ(fw::CreateArray(&s), 0);
    s.bCapacityReserve = 201;
    ASSERT_EQ(fw::CreateArray(&s), fw::STATUS_OK);
    EXPECT_EQ(Scratch().asRank[0].lLastOffset + 1, 2u * fw::MIN_MEMBER_BLOCKS);
    s = Request(fw::RAID_LEVEL_5, {4, 5, 6});
    s.bCapacityReserve = 150;   // half a percent held back
    ASSERT_EQ(fw::CreateArray(&s), fw::STATUS_OK);
    const uint64_t lMember = (uint64_t{kMember} * (10000 - 50) / 10000) / 16384 * 16384;
    EXPECT_EQ(Scratch().asRank[1].lLastOffset + 1, 2 * lMember);
    // The second array follows the first in the internal address space.
    EXPECT_EQ(Scratch().asRank[1].lStartAddress, Scratch().asRank[0].lLastOffset + 1);
}

TEST_F(OperationsTest, DrivesTooSmallForTheSmallestArrayAreRefused) {
    const uint32_t dSmallest = fw::MIN_MEMBER_BLOCKS + fw::MEMBER_END_RESERVE;
    AddDrive(1, dSmallest);
    AddDrive(2, dSmallest);
    AddDrive(3, dSmallest - 1);
    AddDrive(4, 1000);
    EXPECT_EQ(Create(fw::RAID_LEVEL_0, {1, 4}), 0);
    EXPECT_EQ(Create(fw::RAID_LEVEL_0, {1, 3}), 0);
    ASSERT_EQ(Create(fw::RAID_LEVEL_0, {1, 2}), fw::STATUS_OK);
    EXPECT_EQ(Scratch().asRank[0].lLastOffset + 1, 2u * fw::MIN_MEMBER_BLOCKS);
    // The cache flush area needs its own room on top.
    AddDrive(5, dSmallest);
    AddDrive(6, dSmallest);
    fw::CONFIG_RANK_RECORD s = Request(fw::RAID_LEVEL_10, {5, 6});
    s.fCacheFlushArray = fw::TRUE;
    EXPECT_EQ(fw::CreateArray(&s), 0);
}

TEST_F(OperationsTest, TheCacheFlushAreaComesOffEveryMember) {
    AddDrives(2);
    fw::CONFIG_RANK_RECORD s = Request(fw::RAID_LEVEL_10, {1, 2});
    s.fCacheFlushArray = fw::TRUE;
    ASSERT_EQ(fw::CreateArray(&s), fw::STATUS_OK);
    const fw::CONFIG_RANK_RECORD& r = Scratch().asRank[0];
    EXPECT_EQ(r.fCacheFlushArray, fw::TRUE);
    EXPECT_EQ(Scratch().sHeader.fCacheFlushArraySet, fw::TRUE);
    EXPECT_EQ(Scratch().sHeader.wCacheFlushArray, 0);
    EXPECT_EQ(r.lLastOffset + 1, uint64_t{kMember - fw::CACHE_FLUSH_AREA_BLOCKS});
}

TEST_F(OperationsTest, MembersMustBeUsableDistinctDrives) {
    AddDrives(5);
    fw::CONFIG_RANK_RECORD s = Request(fw::RAID_LEVEL_5, {1, 2, 2});
    EXPECT_EQ(fw::CreateArray(&s), 0);   // one drive twice
    s = Request(fw::RAID_LEVEL_5, {1, 2, 9});
    EXPECT_EQ(fw::CreateArray(&s), 0);   // not in the drive table
    s = Request(fw::RAID_LEVEL_5, {1, 2, 3});
    s.acArrayName[4] = 0;
    EXPECT_EQ(fw::CreateArray(&s), 0);
    s = Request(fw::RAID_LEVEL_5, {1, 2, 3});
    s.bCachePolicy = 0x80;
    EXPECT_EQ(fw::CreateArray(&s), 0);
    s.bCachePolicy = 0x33;
    s.fInitialized = 7;
    EXPECT_EQ(fw::CreateArray(&s), 0);
    s.fInitialized = fw::TRUE;
    ASSERT_EQ(fw::CreateArray(&s), fw::STATUS_OK);
    // Bit 5 never stays; single controller mode asks for bit 1.
    EXPECT_EQ(Scratch().asRank[0].bCachePolicy, 0x13);
    EXPECT_EQ(Scratch().asRank[0].bInitState, 1);
    // An in-service member of an existing array is refused.
    EXPECT_EQ(Create(fw::RAID_LEVEL_0, {3, 4}), 0);
    // A one-drive mirror only in line-power mode.
    EXPECT_EQ(Create(fw::RAID_LEVEL_10, {5}), 0);
}

TEST_F(OperationsTest, AMemberNotInServiceMovesToTheNewArrayOnlyWhenItIsMade) {
    AddDrives(6);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    s_sScratch.asRank[0].abMemberState[2] = fw::MEMBER_STATE_MISSING;
    fw::CONFIG_RANK_RECORD s = Request(fw::RAID_LEVEL_5, {4, 5, 3});
    s.bCapacityReserve = 200;
    EXPECT_EQ(fw::CreateArray(&s), 0);
    EXPECT_EQ(std::memcmp(Scratch().asRank[0].aabMemberWwn[2], DriveWwn(3).ab, 8), 0);
    s.bCapacityReserve = 0;
    ASSERT_EQ(fw::CreateArray(&s), fw::STATUS_OK);
    EXPECT_EQ(fw::fIsNonZeroWwn(Scratch().asRank[0].aabMemberWwn[2]), fw::FALSE);
    EXPECT_EQ(std::memcmp(Scratch().asRank[1].aabMemberWwn[2], DriveWwn(3).ab, 8), 0);
}

TEST_F(OperationsTest, Record63IsNotCreatedWhileAnExpansionHoldsIt) {
    AddDrives(3);
    s_sScratch.sHeader.wRankCount = 63;
    s_sScratch.sHeader.fExpansionActive = fw::TRUE;
    EXPECT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), 0);
    s_sScratch.sHeader.fExpansionActive = fw::FALSE;
    EXPECT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    EXPECT_EQ(Scratch().sHeader.wRankCount, 64);
    EXPECT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), 0);
}

// ---- DeleteArray and ExpandArray ----

TEST_F(OperationsTest, DeletingAnArrayMovesWhatLiesAboveIt) {
    AddDrives(9);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {4, 5, 6}), fw::STATUS_OK);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {7, 8, 9}), fw::STATUS_OK);
    ASSERT_EQ(CreateLd(2), fw::STATUS_OK);                  // on array 0
    // One logical drive on each array.
    for (uint16_t r = 1; r < 3; ++r) ASSERT_EQ(CreateLd(2, ExtentOn(r)), fw::STATUS_OK);
    const uint64_t lArray2Start = Scratch().asRank[2].lStartAddress;
    const uint64_t lLd2Start = Scratch().asLd[2].asSegment[0].lStart;
    fw::BAD_BLOCK_ENTRY& sBad = s_sScratch.asBadBlock[0];
    fw::SetBadBlockEntry(&sBad, lArray2Start + 100, 2, 4);
    s_sScratch.sHeader.wBadBlockCount = 1;
    s_sScratch.sHeader.wSpareCount = 2;
    s_sScratch.asSpare[0].bDedicatedRank = 1;
    s_sScratch.asSpare[1].bDedicatedRank = 2;
    fw::SAN_LUN_MAP_ENTRY sMap;
    fw::InitSanLunMapRequest(&sMap);
    sMap.bHostType = 2;
    sMap.wMapControllerLun = 0xFFFF;
    sMap.awLunMap[0] = 1;
    sMap.awLunMap[1] = 0x7802;
    std::memset(sMap.acMapName, 'M', 32);
    ASSERT_EQ(fw::CreateSanLunMapping(&sMap), fw::STATUS_OK);

    fw::DeleteArray(1);
    const fw::CONFIG_IMAGE& s = Scratch();
    ASSERT_EQ(s.sHeader.wRankCount, 2);
    EXPECT_EQ(s.asRank[1].bRankNumber, 1);
    EXPECT_EQ(s.asRank[1].lStartAddress, s.asRank[0].lStartAddress + s.asRank[0].lLastOffset + 1);
    EXPECT_EQ(std::memcmp(s.asRank[1].aabMemberWwn[0], DriveWwn(7).ab, 8), 0);
    EXPECT_EQ(s.asRank[2].bDriveCount, 0);
    // Its logical drive went; the one above moved down with its array.
    ASSERT_EQ(s.sHeader.wLdCount, 2);
    const uint64_t lDown = lArray2Start - s.asRank[1].lStartAddress;
    EXPECT_EQ(s.asLd[1].asSegment[0].lStart, lLd2Start - lDown);
    EXPECT_EQ(s.asLd[1].wLdNumber, 1);
    EXPECT_EQ(s.asSanMap[0].awLunMap[0], 0xFFFF);
    EXPECT_EQ(s.asSanMap[0].awLunMap[1], 0x7801);
    EXPECT_EQ(fw::lGetBadBlockEntryStart(&s.asBadBlock[0]), s.asRank[1].lStartAddress + 100);
    EXPECT_EQ(s.asBadBlock[0].bRank, 1);
    EXPECT_EQ(s.asSpare[0].bDedicatedRank, fw::GLOBAL_SPARE);
    EXPECT_EQ(s.asSpare[1].bDedicatedRank, 1);
    EXPECT_EQ(fw::fGetWriteBackCheckEnable(), fw::TRUE);
    EXPECT_EQ(fw::fGetArrayDeletedFlag(), fw::TRUE);
    // Its members are unassigned drives again.
    uint8_t bSlot = 0;
    for (uint8_t n = 4; n <= 6; ++n) EXPECT_EQ(fw::fFindDriveSlot(n, &bSlot), fw::TRUE) << int(n);
}

TEST_F(OperationsTest, ExpandingAnArrayKeepsItsOldGeometryInRecord63) {
    AddDrives(7);
    AddDrive(8, kMember + fw::MEMBER_END_RESERVE - 1);
    AddDrive(9, kMember + fw::MEMBER_END_RESERVE);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    ASSERT_EQ(Create(fw::RAID_LEVEL_0, {4, 5}), fw::STATUS_OK);
    ASSERT_EQ(CreateLd(2, ExtentOn(1)), fw::STATUS_OK);
    const uint64_t lLdStart = Scratch().asLd[0].asSegment[0].lStart;

    fw::EXPANSION_REQUEST sRequest{};
    sRequest.bArray = 0;
    sRequest.bAddDrives = 1;
    sRequest.fAddSubRanks = fw::FALSE;
    std::memcpy(sRequest.aabWwn[0], DriveWwn(8).ab, 8);
    EXPECT_EQ(fw::ExpandArray(&sRequest), 0);   // one block short of the copy's room
    std::memcpy(sRequest.aabWwn[0], DriveWwn(9).ab, 8);
    sRequest.fAddSubRanks = fw::TRUE;
    sRequest.bAddSubRanks = 1;
    EXPECT_EQ(fw::ExpandArray(&sRequest), 0);   // a sub-rank is three drives here
    sRequest.fAddSubRanks = fw::FALSE;
    const fw::CONFIG_RANK_RECORD sOld = Scratch().asRank[0];
    ASSERT_EQ(fw::ExpandArray(&sRequest), fw::STATUS_OK);
    const fw::CONFIG_IMAGE& s = Scratch();
    EXPECT_EQ(std::memcmp(&s.asRank[63], &sOld, sizeof sOld), 0);
    EXPECT_EQ(s.asRank[0].bDriveCount, 4);
    EXPECT_EQ(s.asRank[0].bInitState, 3);
    EXPECT_EQ(s.asRank[0].lLastOffset + 1, 3ull * kMember);
    EXPECT_EQ(s.sHeader.fExpansionActive, fw::TRUE);
    EXPECT_EQ(s.sHeader.bExpansionArray, 0);
    // The later array and its logical drive move up by what was gained.
    EXPECT_EQ(s.asRank[1].lStartAddress, s.asRank[0].lLastOffset + 1);
    EXPECT_EQ(s.asLd[0].asSegment[0].lStart, lLdStart + kMember);
    ExpectSegmentsInStep(0);
    // One expansion at a time.
    std::memcpy(sRequest.aabWwn[0], DriveWwn(6).ab, 8);
    sRequest.bArray = 1;
    EXPECT_EQ(fw::ExpandArray(&sRequest), 0);
}

// ---- logical drives ----

TEST_F(OperationsTest, ALogicalDriveIsPlacedOnWholeStripeRows) {
    AddDrives(3);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    const uint16_t wFree = static_cast<uint16_t>((2ull * kMember) / fw::CAPACITY_UNIT_BLOCKS);
    EXPECT_EQ(CreateLd(wFree + 1), 0);
    EXPECT_EQ(CreateLd(0), 0);
    char acName[32];
    std::memset(acName, 'N', 32);
    acName[31] = 0;
    EXPECT_EQ(fw::CreateLogicalDrive(2, fw::ANY_EXTENT, 512, 0, acName), 0);
    ASSERT_EQ(fw::CreateLogicalDrive(2, fw::ANY_EXTENT, 520, 0x21, nullptr), fw::STATUS_OK);
    const fw::CONFIG_LD_RECORD& s = Scratch().asLd[0];
    EXPECT_EQ(s.wBlockSize, 512);
    EXPECT_EQ(s.bAvailability, 0x01);
    EXPECT_EQ(std::string(s.acLdName, 32), std::string(32, ' '));
    EXPECT_EQ(s.wDefaultLun, 0);
    EXPECT_EQ(s.wLdId, 0x8000);
    const uint64_t lRow = Scratch().asRank[0].dStripeSize / 512;
    EXPECT_EQ((s.asSegment[0].lLastOffset + 1) % lRow, 0u);
    EXPECT_GE(s.asSegment[0].lLastOffset + 1, 2ull * fw::CAPACITY_UNIT_BLOCKS);
    ExpectSegmentsInStep(0);
    // A second one follows it and takes the next LUN and identifier.
    ASSERT_EQ(fw::CreateLogicalDrive(1, fw::ANY_EXTENT, 512, fw::LD_INTERNAL_USE, nullptr), fw::STATUS_OK);
    EXPECT_EQ(Scratch().asLd[1].asSegment[0].lStart, s.asSegment[0].lEnd + 1);
    EXPECT_EQ(Scratch().asLd[1].wDefaultLun, 1);
    EXPECT_EQ(Scratch().asLd[1].bLdUseFlags, fw::LD_INTERNAL_USE);
    EXPECT_EQ(Scratch().asLd[1].wLdId, 0x8001);
}

TEST_F(OperationsTest, TheLastSegmentNeverPassesItsExtent) {
    AddDrives(5);
    // Rows of 5 x 128 blocks do not divide a capacity unit: one unit ends
    // 128 blocks into its last row.
    ASSERT_EQ(Create(fw::RAID_LEVEL_0, {1, 2, 3, 4, 5}, 128), fw::STATUS_OK);
    const uint64_t U = fw::CAPACITY_UNIT_BLOCKS;
    ASSERT_EQ(Scratch().asRank[0].dStripeSize / 512, 640u);
    // A logical drive further on leaves a free extent of one unit and 64
    // blocks in front of it: too short for the rounded unit.
    const auto Blocker = [](uint64_t lStart) {
        fw::CONFIG_LD_RECORD& s = s_sScratch.asLd[0];
        s = fw::CONFIG_LD_RECORD{};
        s.bSegmentCount = 1;
        s.wDefaultLun = 9;
        s.wLdId = 0x8009;
        s.asSegment[0].lStart = lStart;
        s.asSegment[0].lEnd = s_sScratch.asRank[0].lLastOffset;
        s.asSegment[0].lLastOffset = s.asSegment[0].lEnd - lStart;
        s_sScratch.sHeader.wLdCount = 1;
    };
    Blocker(U + 64);
    EXPECT_EQ(CreateLd(1), 0);
    // With a little more room it fits, and takes the rest of its extent
    // since less than a unit would stay free.
    Blocker(U + 1000);
    ASSERT_EQ(CreateLd(1), fw::STATUS_OK);
    EXPECT_EQ(Scratch().asLd[1].asSegment[0].lStart, 0u);
    EXPECT_EQ(Scratch().asLd[1].asSegment[0].lEnd, U + 999);
    ExpectSegmentsInStep(1);
}

TEST_F(OperationsTest, ExpandingALogicalDriveGrowsItsLastSegmentOrAddsOne) {
    AddDrives(6);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {4, 5, 6}), fw::STATUS_OK);
    ASSERT_EQ(CreateLd(2), fw::STATUS_OK);
    EXPECT_EQ(fw::ExpandLogicalDrive(0, 0, 0xFFFF), 0);
    ASSERT_EQ(fw::ExpandLogicalDrive(0, 0, 3), fw::STATUS_OK);   // right behind it
    EXPECT_EQ(Scratch().asLd[0].bSegmentCount, 1);
    EXPECT_EQ(Scratch().asLd[0].wCapacityGb, 5);
    EXPECT_EQ(Scratch().asLd[0].asSegment[0].wSizeGb, 5);
    ExpectSegmentsInStep(0);
    ASSERT_EQ(fw::ExpandLogicalDrive(0, ExtentOn(1), 2), fw::STATUS_OK);   // on the other array
    EXPECT_EQ(Scratch().asLd[0].bSegmentCount, 2);
    EXPECT_EQ(Scratch().asLd[0].wCapacityGb, 7);
    ExpectSegmentsInStep(0);
    // No more than 65535 units, no 17th segment.
    s_sScratch.asLd[0].wCapacityGb = 65535;
    EXPECT_EQ(fw::ExpandLogicalDrive(0, 0, 1), 0);
    s_sScratch.asLd[0].wCapacityGb = 7;
    s_sScratch.asLd[0].bSegmentCount = 16;
    EXPECT_EQ(fw::ExpandLogicalDrive(0, 0, 1), 0);
}

TEST_F(OperationsTest, The512thLogicalDriveTakesTheControllerLunAway) {
    AddDrives(3);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    // 511 logical drives without segments on LUNs 0..510 except 5.
    for (uint16_t l = 0; l < 511; ++l) {
        s_sScratch.asLd[l].wLdNumber = l;
        s_sScratch.asLd[l].wDefaultLun = l < 5 ? l : static_cast<uint16_t>(l + 1);
        s_sScratch.asLd[l].wLdId = static_cast<uint16_t>(0x8000 | l);
    }
    s_sScratch.sHeader.wLdCount = 511;
    s_sScratch.sHeader.wControllerLun = 5;
    ASSERT_EQ(CreateLd(1), fw::STATUS_OK);
    EXPECT_EQ(Scratch().sHeader.wControllerLun, 0xFFFF);
    EXPECT_EQ(Scratch().asLd[511].wDefaultLun, 5);
    EXPECT_EQ(Scratch().asLd[511].wLdId, 0x8000 | 511);
    EXPECT_EQ(CreateLd(1), 0);
}

TEST_F(OperationsTest, ANewLogicalDriveOnTheControllerLunMovesIt) {
    AddDrives(3);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    s_sScratch.sHeader.wControllerLun = 1;
    ASSERT_EQ(CreateLd(1), fw::STATUS_OK);
    EXPECT_EQ(Scratch().sHeader.wControllerLun, 1);
    ASSERT_EQ(CreateLd(1), fw::STATUS_OK);
    EXPECT_EQ(Scratch().asLd[1].wDefaultLun, 1);
    EXPECT_EQ(Scratch().sHeader.wControllerLun, 2);
}

TEST_F(OperationsTest, DeletingALogicalDriveRenumbersTheMappings) {
    AddDrives(3);
    ASSERT_EQ(Create(fw::RAID_LEVEL_5, {1, 2, 3}), fw::STATUS_OK);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(CreateLd(1), fw::STATUS_OK);
    fw::SAN_LUN_MAP_ENTRY sMap;
    fw::InitSanLunMapRequest(&sMap);
    sMap.bHostType = 2;
    sMap.wMapControllerLun = 0xFFFF;
    sMap.awLunMap[0] = 0x0804;
    std::memset(sMap.acMapName, 'A', 32);
    ASSERT_EQ(fw::CreateSanLunMapping(&sMap), fw::STATUS_OK);
    sMap.awLunMap[0] = 3;
    sMap.abPortWwn[0] = 1;
    std::memset(sMap.acMapName, 'B', 32);
    ASSERT_EQ(fw::CreateSanLunMapping(&sMap), fw::STATUS_OK);
    fw::DeleteLogicalDrive(3, fw::FALSE, fw::TRUE);
    const fw::CONFIG_IMAGE& s = Scratch();
    EXPECT_EQ(s.sHeader.wLdCount, 4);
    EXPECT_EQ(s.asLd[3].wLdNumber, 3);
    EXPECT_EQ(s.asLd[4].bSegmentCount, 0);
    // The mapping that named only the deleted drive is gone.
    ASSERT_EQ(s.sHeader.wSanMapCount, 1);
    EXPECT_EQ(s.asSanMap[0].awLunMap[0], 0x0803);
    EXPECT_EQ(fw::fGetWriteBackCheckEnable(), fw::TRUE);
    // Truncating removes it and every later one.
    fw::DeleteLogicalDrive(1, fw::TRUE, fw::TRUE);
    EXPECT_EQ(s.sHeader.wLdCount, 1);
    EXPECT_EQ(s.sHeader.wSanMapCount, 0);
}

}  // namespace
}  // namespace cfgtest
