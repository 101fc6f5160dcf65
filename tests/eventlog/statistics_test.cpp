// The command statistics: work in flight and its listing, the event and
// disk-port counters, the shape of host commands, the statistics record's
// percentages, and the array write-load test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cache/cache_entry.h"
#include "config/ld_table.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_record.h"
#include "eventlog/statistics_tables.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "harness/config_test.h"
#include "hw/scsi.h"
#include "sas/sas_scsi_path.h"
#include "target/host_command_codes.h"

namespace {

using fw::KERNEL_ENTRY;

constexpr uint8_t ONE_RANK = 255;

// A host READ(16) or WRITE(16) as the dispatcher hands it on: the CDB in the
// port's command block, LUN, array and block counts filled.
KERNEL_ENTRY HostCommand(uint8_t bOpcode, uint16_t wLun, uint8_t bRank, uint16_t wBlocks, uint64_t lLba = 0,
                         uint8_t bPortCode = fw::PORT_CODE_FC_HOST_1) {
    KERNEL_ENTRY s{};
    s.bPortCode = bPortCode;
    s.wLunIndex = wLun;
    s.bRank = bRank;
    s.bSecondRank = ONE_RANK;
    s.wBlocks = wBlocks;
    s.wBlockCount = wBlocks;
    uint8_t* pbCdb = reinterpret_cast<uint8_t*>(&s) +
                     (bPortCode == fw::PORT_CODE_INTERNAL || bPortCode == fw::PORT_CODE_MODULE
                          ? fw::KERNEL_ENTRY_INTERNAL_CDB_OFFSET
                          : 20);
    pbCdb[0] = bOpcode;
    for (int i = 0; i < 8; ++i) pbCdb[2 + i] = static_cast<uint8_t>(lLba >> (56 - 8 * i));
    fw::PutBe16(pbCdb + 12, wBlocks);
    return s;
}

void Start(KERNEL_ENTRY* ps) {
    fw::SetFlag(ps, fw::KE_FLAG_LUN_STATISTICS);
    fw::UpdateCurrentDataOnStart(ps);
}

class StatisticsTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::InitStatistics();
        fw::ClearCurrentDataCounters();
    }
    // A logical drive 0 of the block size given, on array 0.
    void OneLogicalDrive(uint16_t wBlockSize) {
        AddRank(0x00, 2, 128, 1 << 20);
        AddLd({{0, 1 << 20}});
        harness::s_sLive.asLd[0].wBlockSize = wBlockSize;
        uint8_t f = 0;
        fw::BuildLogicalDriveTable(&harness::s_sLive, fw::FALSE, &f, &f);
    }
    static void AdvanceMs(uint32_t dMs) {
        for (uint32_t d = 0; d < dMs; d++) fw::SystemTickHandler();
    }
    fw::STATISTICS_RECORD Record(uint8_t bPortSelect = fw::STATISTICS_BOTH_SIDES,
                                 uint16_t wLun = fw::ALL_STATISTICS_LUNS) {
        fw::STATISTICS_RECORD s;
        fw::FillStatisticsRecord(bPortSelect, wLun, &s);
        return s;
    }
};

// ---- work in flight ----

TEST_F(StatisticsTest, ReadsAndWritesCountUpOnceAndDownOnce) {
    KERNEL_ENTRY sRead = HostCommand(fw::SCSI_READ16, 7, 3, 16);
    KERNEL_ENTRY sWrite = HostCommand(fw::SCSI_WRITE16, 7, 3, 24);
    sWrite.bCommandType = 130;
    Start(&sRead);
    Start(&sWrite);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(7), 2u);
    EXPECT_EQ(fw::dGetRankHostCommandsOutstanding(3), 2u);
    EXPECT_EQ(fw::dGetRankHostBlocksOutstanding(3), 40u);
    EXPECT_EQ(fw::dGetRanksWithWrites(), 1u);
    fw::UpdateStatisticsOnCommandComplete(&sWrite);
    EXPECT_FALSE(fw::HasFlag(&sWrite, fw::KE_FLAG_LUN_STATISTICS)) << "counted down once only";
    EXPECT_EQ(fw::dGetRanksWithWrites(), 0u);
    // A second completion of the same command changes nothing.
    fw::UpdateStatisticsOnCommandComplete(&sWrite);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(7), 1u);
    fw::UpdateStatisticsOnCommandComplete(&sRead);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(7), 0u);
    EXPECT_EQ(fw::dGetRankHostBlocksOutstanding(3), 0u);
    // Out of the tables' range reads 0.
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(512), 0u);
    EXPECT_EQ(fw::dGetRankHostCommandsOutstanding(64), 0u);
}

TEST_F(StatisticsTest, AStreamHeadTakesItsMergedPiecesOffWithIt) {
    // A head and two pieces start; the pieces never complete on their own.
    KERNEL_ENTRY sHead = HostCommand(fw::SCSI_WRITE16, 1, 0, 8);
    KERNEL_ENTRY asPiece[2] = {HostCommand(fw::SCSI_WRITE16, 1, 0, 8), HostCommand(fw::SCSI_WRITE16, 1, 0, 8)};
    Start(&sHead);
    for (KERNEL_ENTRY& s : asPiece) Start(&s);
    sHead.bCommandType = fw::COMMAND_TYPE_STREAM_HEAD;
    sHead.wBlocks = 24;
    fw::psCacheFields(&sHead)->wPiecesIssued = 2;
    // Another write of the LUN stays in flight meanwhile.
    KERNEL_ENTRY sOther = HostCommand(fw::SCSI_WRITE16, 1, 0, 8);
    sOther.bCommandType = 130;
    Start(&sOther);
    fw::UpdateStatisticsOnCommandComplete(&sHead);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(1), 1u);
    EXPECT_EQ(fw::dGetRankHostBlocksOutstanding(0), 8u);
    fw::UpdateStatisticsOnCommandComplete(&sOther);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(1), 0u);
    EXPECT_EQ(fw::dGetRanksWithWrites(), 0u);
}

TEST_F(StatisticsTest, OnlyCommandsOnOneArrayAndAKnownLunCount) {
    KERNEL_ENTRY sSpanning = HostCommand(fw::SCSI_READ16, 2, 0, 8);
    sSpanning.bSecondRank = 1;
    KERNEL_ENTRY sNoLun = HostCommand(fw::SCSI_READ16, 512, 0, 8);
    Start(&sSpanning);
    Start(&sNoLun);
    EXPECT_EQ(fw::dGetRankHostCommandsOutstanding(0), 0u);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(2), 0u);
    // An array beyond the tables counts for its LUN only.
    KERNEL_ENTRY sFar = HostCommand(fw::SCSI_WRITE16, 4, 70, 8);
    Start(&sFar);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(4), 1u);
    EXPECT_EQ(fw::dGetRanksWithWrites(), 0u);
}

TEST_F(StatisticsTest, APairLeftWithoutCountOrBlocksGoesToZero) {
    // One read of 4 blocks counted, then a completion that takes 8.
    KERNEL_ENTRY sRead = HostCommand(fw::SCSI_READ16, 3, 1, 4);
    Start(&sRead);
    sRead.wBlocks = 8;
    fw::UpdateStatisticsOnCommandComplete(&sRead);
    EXPECT_EQ(fw::dGetRankHostBlocksOutstanding(1), 0u);
    // Two writes of 4 blocks, one completion taking all 8: no blocks left,
    // so the count left over is no command either.
    KERNEL_ENTRY asWrite[2] = {HostCommand(fw::SCSI_WRITE16, 3, 1, 4), HostCommand(fw::SCSI_WRITE16, 3, 1, 4)};
    for (KERNEL_ENTRY& s : asWrite) {
        s.bCommandType = 130;
        Start(&s);
    }
    asWrite[0].wBlockCount = 8;
    fw::UpdateStatisticsOnCommandComplete(&asWrite[0]);
    EXPECT_EQ(fw::dGetLunCommandsOutstanding(3), 0u);
    EXPECT_EQ(fw::dGetRanksWithWrites(), 0u);
}

TEST_F(StatisticsTest, ListingShowsTheMaximaSinceTheListingBefore) {
    KERNEL_ENTRY asRead[3] = {HostCommand(fw::SCSI_READ16, 0x10, 2, 4096), HostCommand(fw::SCSI_READ16, 0x10, 2, 2),
                              HostCommand(fw::SCSI_READ16, 0x10, 2, 1)};
    for (KERNEL_ENTRY& s : asRead) Start(&s);
    fw::UpdateStatisticsOnCommandComplete(&asRead[0]);
    board.ClearConsoleText();
    fw::ShowCurrentDataCounters();
    const std::string sText = board.ConsoleText();
    const size_t i = sText.find("Rank and LUN Current Data Counters:");
    ASSERT_NE(i, std::string::npos) << sText;
    EXPECT_EQ(sText.substr(i),
              "Rank and LUN Current Data Counters:\r\n\r\n"
              "Cur. Writes:000 Blocks:00000000     0 KB   Reads:002 Blocks:00000003     1 KB\r\n"
              "Max. Writes:000 Blocks:00000000     0 KB   Reads:003 Blocks:00001003     2 MB\r\n"
              "\r\n"
              "L010 Writes:000 Blocks:00000000     0 KB   Reads:002 Blocks:00000003     1 KB\r\n"
              "\r\n"
              "R002 Writes:000 Blocks:00000000     0 KB   Reads:002 Blocks:00000003     1 KB\r\n"
              "\r\n\r\n");
    board.ClearConsoleText();
    fw::ShowCurrentDataCounters();
    EXPECT_NE(board.ConsoleText().find("Max. Writes:000 Blocks:00000000     0 KB   Reads:000 Blocks:00000000     0 KB"),
              std::string::npos);
}

TEST_F(StatisticsTest, ArrayAndLunAccessTimesFollowStartsAndEnds) {
    EXPECT_EQ(fw::lGetRankLastAccessTime(5), 0u) << "never accessed";
    AdvanceMs(20);
    KERNEL_ENTRY sRead = HostCommand(fw::SCSI_READ16, 9, 5, 8);
    Start(&sRead);
    const uint64_t lStarted = fw::lGetTickCount();
    EXPECT_EQ(fw::lGetRankLastAccessTime(5), lStarted);
    EXPECT_EQ(fw::lGetLunLastAccessTime(9), lStarted);
    AdvanceMs(30);
    fw::UpdateStatisticsOnCommandComplete(&sRead);
    EXPECT_GT(fw::lGetRankLastAccessTime(5), lStarted);
    fw::SetRankLastAccessTime(64);
    EXPECT_EQ(fw::lGetRankLastAccessTime(64), 0u);
    // The RAID layer's own counts never go below 0.
    fw::DecRankReadsInProgress(5);
    EXPECT_EQ(fw::dGetRankReadsInProgress(5), 0u);
    fw::IncRankWritesInProgress(5);
    fw::IncRankWritesInProgress(64);
    EXPECT_EQ(fw::dGetRankWritesInProgress(5), 1u);
    EXPECT_EQ(fw::dGetRankWritesInProgress(64), 0u);
}

TEST_F(StatisticsTest, ArrayWriteLoadTest) {
    AddRank(0x05, 4, 128, 1 << 20);
    AddLd({{0, 1 << 20}});
    uint8_t f = 0;
    fw::BuildLogicalDriveTable(&harness::s_sLive, fw::FALSE, &f, &f);
    fw::SetRankCount(1);
    fw::RANK_RECORD& sRank = fw::pGetRankTable()[0];
    sRank.dWriteThreshold = 1000;
    KERNEL_ENTRY sProbe = HostCommand(fw::SCSI_WRITE16, 0, 0, 8);
    struct Case {
        const char* pszName;
        uint32_t dWrites;
        uint16_t wBlocksEach;
        uint8_t bPolicy;
        uint8_t fInitPending;
        uint8_t fOnMux;
        uint8_t bExpected;
    };
    const Case cases[] = {
        {"idle", 0, 8, 0, fw::FALSE, fw::FALSE, fw::FALSE},
        {"blocks over the threshold", 2, 600, 0, fw::FALSE, fw::FALSE, fw::TRUE},
        {"over the threshold, shared budget", 2, 600, fw::POLICY_SHARED_OUTSTANDING, fw::FALSE, fw::FALSE,
         fw::RANK_WRITE_LOAD_SHARED},
        {"33 writes while initialising on the mux", 33, 8, 0, fw::TRUE, fw::TRUE, fw::TRUE},
        {"32 writes while initialising on the mux", 32, 8, 0, fw::TRUE, fw::TRUE, fw::FALSE},
        {"33 writes, not initialising", 33, 8, 0, fw::FALSE, fw::TRUE, fw::FALSE},
        {"33 writes initialising, seen by one controller", 33, 8, 0, fw::TRUE, fw::FALSE, fw::FALSE},
    };
    for (const Case& c : cases) {
        fw::ClearCurrentDataCounters();
        sRank.bCachePolicy = c.bPolicy;
        sRank.fInitPending = c.fInitPending;
        sRank.fMemberOnMux = c.fOnMux;
        for (uint32_t i = 0; i < c.dWrites; ++i) {
            KERNEL_ENTRY s = HostCommand(fw::SCSI_WRITE16, 0, 0, c.wBlocksEach);
            Start(&s);
        }
        EXPECT_EQ(fw::bCheckRankWriteLoad(&sProbe), c.bExpected) << c.pszName;
    }
    KERNEL_ENTRY sNoLun = HostCommand(fw::SCSI_WRITE16, 600, 0, 8);
    EXPECT_EQ(fw::bCheckRankWriteLoad(&sNoLun), fw::TRUE);
    KERNEL_ENTRY sFarArray = HostCommand(fw::SCSI_WRITE16, 0, 64, 8);
    EXPECT_EQ(fw::bCheckRankWriteLoad(&sFarArray), fw::FALSE);
}

// ---- event and disk-port counters ----

TEST_F(StatisticsTest, EachEventCountsInItsOwnPlaceOfTheRecord) {
    struct Case {
        void (*pfnCount)();
        uint8_t bIndex;
    };
    const Case cases[] = {
        {fw::CountReadCacheFull, 0},        {fw::CountWriteCacheFull, 1},         {fw::CountRaid50WriteCacheFull, 3},
        {fw::CountMirrorCacheFull, 4},      {fw::CountNewCommandCacheLimit, 5},   {fw::CountSpannedCommand, 6},
        {fw::CountRebuildOverlap, 7},       {fw::CountInitiatorQueueFull, 8},     {fw::CountTargetQueueFull, 9},
        {fw::CountReadWriteCollision, 10},  {fw::CountWriteReadCollision, 11},    {fw::CountReadAheadWriteCollision, 12},
        {fw::CountWriteReadAheadCollision, 13}, {fw::CountWriteWriteCollision, 15}, {fw::CountWriteStripeCollision, 16},
        {fw::CountSharedLdOverlap, 17},     {fw::CountReservationConflict, 18},   {fw::CountInvalidCommand, 19},
    };
    for (const Case& c : cases) {
        for (uint8_t n = 0; n <= c.bIndex; ++n) c.pfnCount();
    }
    const fw::STATISTICS_RECORD s = Record();
    for (const Case& c : cases) EXPECT_EQ(s.adEventCounters[c.bIndex], c.bIndex + 1u) << int(c.bIndex);
    EXPECT_EQ(s.adEventCounters[2], 0u);
    EXPECT_EQ(s.adEventCounters[14], 0u);
}

TEST_F(StatisticsTest, DiskPortCellsShareOneTable) {
    struct Case {
        uint8_t bPort;
        uint16_t wDevice;
        uint16_t wControl;
        uint32_t dBytes;
        uint8_t bCell;        // 255: not counted
        uint8_t fRead;
        uint64_t lBlocks;
    };
    const Case cases[] = {
        {fw::PORT_CODE_DRIVE_LOOP_3, 9, fw::SAS_XFER_IN, 4 << 20, 0, fw::TRUE, 8192},
        {fw::PORT_CODE_DRIVE_LOOP_4, 9, fw::SAS_XFER_OUT, 512, 1, fw::FALSE, 1},
        {0x2F, 0, fw::SAS_XFER_IN, 33 << 20, 15, fw::TRUE, 2048},   // 67584 blocks keep their low 16 bits
        {fw::PORT_CODE_INITIATOR, 1, fw::SAS_XFER_OUT, 1024, 1, fw::FALSE, 2},
        {fw::PORT_CODE_INITIATOR, 300, fw::SAS_XFER_IN, 1024, 255, fw::TRUE, 0},
        {fw::PORT_CODE_FC_HOST_1, 5, fw::SAS_XFER_IN, 1024, 255, fw::TRUE, 0},
    };
    for (const Case& c : cases) {
        fw::ClearPerformanceStatistics(fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS);
        KERNEL_ENTRY s{};
        s.wTargetId = c.wDevice;
        s.wControlFlags = c.wControl;
        s.dTotalByteCount = c.dBytes;
        fw::AddDiskPortBlocks(c.bPort, &s);
        if (c.bCell == 255) {
            EXPECT_EQ(fw::lGetDiskPortBlocks(c.bPort, c.wDevice, c.fRead), 0u);
            continue;
        }
        // The cell reads the same through every port code that names it.
        EXPECT_EQ(fw::lGetDiskPortBlocks(fw::PORT_CODE_INITIATOR, c.bCell, c.fRead), c.lBlocks) << int(c.bPort);
        EXPECT_EQ(fw::lGetDiskPortBlocks(fw::PORT_CODE_INITIATOR, c.bCell, c.fRead == fw::TRUE ? fw::FALSE : fw::TRUE), 0u);
    }
}

TEST_F(StatisticsTest, ClearingOneSideKeepsTheOtherButEveryCounter) {
    KERNEL_ENTRY sSide0 = HostCommand(fw::SCSI_READ16, 0, 0, 8, 0, fw::PORT_CODE_FC_HOST_1);
    KERNEL_ENTRY sSide1 = HostCommand(fw::SCSI_READ16, 0, 0, 8, 0, fw::PORT_CODE_FC_HOST_2);
    fw::UpdateAccessStatistics(&sSide0, fw::TRUE);
    fw::UpdateAccessStatistics(&sSide1, fw::TRUE);
    fw::CountInvalidCommand();
    KERNEL_ENTRY sDrive{};
    sDrive.wControlFlags = fw::SAS_XFER_IN;
    sDrive.dTotalByteCount = 512;
    fw::AddDiskPortBlocks(fw::PORT_CODE_DRIVE_LOOP_3, &sDrive);
    fw::ClearPerformanceStatistics(fw::STATISTICS_SIDE_0, fw::ALL_STATISTICS_LUNS);
    EXPECT_EQ(Record(fw::STATISTICS_SIDE_0).sRead.lCommandsSinceReset, 0u);
    EXPECT_EQ(Record(fw::STATISTICS_SIDE_1).sRead.lCommandsSinceReset, 1u);
    EXPECT_EQ(Record().adEventCounters[fw::EVENT_COUNTER_INVALID_COMMAND], 0u);
    EXPECT_EQ(fw::lGetDiskPortBlocks(fw::PORT_CODE_DRIVE_LOOP_3, 0, fw::TRUE), 0u);
    // The lifetime totals stay: they are NVRAM's.
    EXPECT_EQ(Record().sRead.lTotalCommands, 2u);
}

// ---- access statistics ----

TEST_F(StatisticsTest, StartAndLengthFallIntoTheirBuckets) {
    OneLogicalDrive(512);
    struct Case {
        uint64_t lLba;
        uint16_t wBlocks;
        uint32_t dAlignment;
        uint32_t dSize;
    };
    const Case cases[] = {
        {0, 8, 11, 1},       {8, 7, 1, 0},        {4, 9, 0, 2},          {16, 16, 2, 3},     {32, 17, 3, 4},
        {0x1000, 4096, 10, 19}, {0x800, 4097, 9, 20}, {0x2000, 8192, 11, 20}, {0x10003, 2048, 0, 17},
        {0, 0, 11, 0},       // 65536 blocks keep 0 in their low 16 bits
    };
    for (const Case& c : cases) {
        fw::ClearAccessStatistics(fw::STATISTICS_BOTH_SIDES, fw::ALL_STATISTICS_LUNS);
        KERNEL_ENTRY s = HostCommand(fw::SCSI_WRITE16, 0, 0, c.wBlocks, c.lLba);
        fw::UpdateAccessStatistics(&s, fw::FALSE);
        const fw::ACCESS_CELL& sCell = *fw::psGetAccessCell(fw::FALSE, 0);
        for (uint32_t i = 0; i < fw::ALIGNMENT_BUCKETS; ++i) {
            EXPECT_EQ(sCell.adAlignment[i], i == c.dAlignment ? 1u : 0u) << "LBA " << c.lLba << " bucket " << i;
        }
        for (uint32_t i = 0; i < fw::SIZE_BUCKETS; ++i) {
            EXPECT_EQ(sCell.adSize[i], i == c.dSize ? 1u : 0u) << c.wBlocks << " blocks, bucket " << i;
        }
        EXPECT_EQ(sCell.lBlocks, c.wBlocks);
    }
}

TEST_F(StatisticsTest, LargeBlocksCountInHalfKilobytes) {
    OneLogicalDrive(4096);
    KERNEL_ENTRY s = HostCommand(fw::SCSI_READ16, 0, 0, 1, 1);
    const uint64_t lReads = fw::lGetNvramReadCount();
    const uint64_t lBlocks = fw::lGetNvramReadBlocks();
    fw::UpdateAccessStatistics(&s, fw::TRUE);
    const fw::ACCESS_CELL& sCell = *fw::psGetAccessCell(fw::TRUE, 0);
    EXPECT_EQ(sCell.adAlignment[1], 1u) << "start 8: 4K aligned";
    EXPECT_EQ(sCell.adSize[1], 1u) << "length 8: 4K";
    EXPECT_EQ(fw::lGetNvramReadCount(), lReads + 1);
    EXPECT_EQ(fw::lGetNvramReadBlocks(), lBlocks + 8);
}

TEST_F(StatisticsTest, CellsBySideAndLun) {
    KERNEL_ENTRY sPort2 = HostCommand(fw::SCSI_WRITE16, 511, 0, 8, 0, fw::PORT_CODE_FC_HOST_2);
    KERNEL_ENTRY sInternal = HostCommand(fw::SCSI_WRITE16, 3, 0, 8, 0, fw::PORT_CODE_INTERNAL);
    KERNEL_ENTRY sNoLun = HostCommand(fw::SCSI_WRITE16, 512, 0, 8);
    fw::UpdateAccessStatistics(&sPort2, fw::FALSE);
    fw::UpdateAccessStatistics(&sInternal, fw::FALSE);
    fw::UpdateAccessStatistics(&sNoLun, fw::FALSE);
    EXPECT_EQ(fw::psGetAccessCell(fw::FALSE, 1023)->lCommands, 1u);
    EXPECT_EQ(fw::psGetAccessCell(fw::FALSE, 3)->lCommands, 1u) << "the internal port counts on side 0";
    EXPECT_EQ(Record().sWrite.lCommandsSinceReset, 2u);
    EXPECT_EQ(Record(fw::STATISTICS_BOTH_SIDES, 511).sWrite.lCommandsSinceReset, 1u);
    EXPECT_EQ(Record(2).sWrite.lCommandsSinceReset, Record(7).sWrite.lCommandsSinceReset) << "any other selection is side 1";
}

TEST_F(StatisticsTest, ReadAheadAndClusterRecorders) {
    fw::RecordCommandInterval(33);   // no histogram entry, but the total and maximum
    fw::RecordCommandInterval(2);
    fw::AddReadAheadDepth(64, 8);
    fw::AddReadAheadDepth(64, 0);    // no request length: nothing, not a division by zero
    fw::RecordClusterInterval(9);
    fw::RecordClusterInterval(0);
    const fw::READ_AHEAD_FIGURES& sRa = *fw::psGetReadAheadFigures();
    EXPECT_EQ(sRa.dIntervalTotal, 35u);
    EXPECT_EQ(sRa.dMaxInterval, 33u);
    EXPECT_EQ(sRa.adInterval[1], 1u);
    EXPECT_EQ(sRa.lDepth, 7u);
    const fw::WRITE_CLUSTER_FIGURES& sCl = *fw::psGetWriteClusterFigures();
    EXPECT_EQ(sCl.lIntervalExcess, 9u);
    EXPECT_EQ(sCl.adInterval[8], 1u);
    EXPECT_EQ(sCl.wMaxInterval, 9u);
}

// ---- the record ----

TEST_F(StatisticsTest, PercentRule) {
    struct Case {
        uint64_t lN;
        uint64_t lD;
        uint8_t bPercent;
    };
    const Case cases[] = {
        {0, 0, 0},        {5, 0, 0},          {1, 1000, 255},     {10, 1000, 1},         {3, 2, 100},
        {50000000, 100000000, 50},
        // A numerator whose product with 100 wraps 32 bits to a small value.
        {42949673, 1, 100},
        {0x10000, 0x20000, 50},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fw::bGetStatisticsPercent(c.lN, c.lD, fw::TRUE, fw::TRUE), c.bPercent) << c.lN << "/" << c.lD;
    }
}

TEST_F(StatisticsTest, RecordFormsItsSharesAtBuildTime) {
    EXPECT_EQ(sizeof(fw::STATISTICS_RECORD), 288u);
    fw::STATISTICS_RECORD sEmpty = Record();
    for (uint8_t b : sEmpty.sRead.abAccessSize) EXPECT_EQ(b, 0);
    for (uint8_t b : sEmpty.abWriteCluster) EXPECT_EQ(b, 0);
    // Clusters of 40 only.
    for (int i = 0; i < 5; ++i) fw::RecordClusterCount(40);
    // More read-ahead hits than depth.
    fw::CountReadAheadStart();
    fw::AddReadAheadDepth(16, 8);
    for (int i = 0; i < 3; ++i) fw::CountReadAheadHit();
    // Full rows: a quarter of the RAID write blocks.
    fw::AddRaidWriteBlocks(400);
    fw::AddRaidFullStripeBlocks(100);
    const fw::STATISTICS_RECORD s = Record();
    EXPECT_EQ(s.abWriteCluster[31], 100);
    EXPECT_EQ(s.abWriteCluster[14], 40);
    EXPECT_EQ(s.abWriteCluster[15], 40);
    EXPECT_EQ(s.abWriteCluster[2], 25);
    EXPECT_EQ(s.abReadAhead[1], 100) << "efficiency above 100 % shows 100";
}

// ---- rebuild pacing ----

TEST_F(StatisticsTest, HostBlocksForRebuildPacing) {
    fw::AddHostBlocksTransferred(100);
    fw::AddHostBlocksTransferred(28);
    EXPECT_EQ(fw::dGetHostBlocksTransferred(), 128u);
    fw::ClearHostBlocksTransferred();
    EXPECT_EQ(fw::dGetHostBlocksTransferred(), 0u);
}

}  // namespace
