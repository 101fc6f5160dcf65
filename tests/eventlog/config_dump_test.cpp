// The configuration dump on arrays of every RAID level with logical drives,
// a SAN LUN mapping, a hot spare, a failed drive and a bad block: every
// dump type's text, and the bounds it keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/config_image.h"
#include "config/drive_tables.h"
#include "config/ld_table.h"
#include "console/console_menu.h"
#include "config_dump_goldens.h"
#include "dump_test_board.h"
#include "eventlog/config_dump.h"
#include "executive/types.h"
#include "executive/work_flags.h"

namespace {

using fw::CONFIG_IMAGE;

class ConfigDumpTest : public dumptest::DumpTest {
protected:
    void SetUp() override {
        DumpTest::SetUp();
        CONFIG_IMAGE& s = harness::s_sLive;
        std::memset(s.sHeader.acConfigName, 0, sizeof s.sHeader.acConfigName);
        std::memcpy(s.sHeader.acConfigName, "Test Configuration", 18);
        AddRank(fw::RAID_LEVEL_0, 2, 128, 4 * fw::CAPACITY_UNIT_BLOCKS);
        AddRank(fw::RAID_LEVEL_10, 2, 256, 2 * fw::CAPACITY_UNIT_BLOCKS);
        AddRank(fw::RAID_LEVEL_5, 3, 2048, 4 * fw::CAPACITY_UNIT_BLOCKS, 1);
        AddRank(fw::RAID_LEVEL_6, 4, 3072, 4 * fw::CAPACITY_UNIT_BLOCKS, 2);
        AddRank(fw::RAID_LEVEL_50, 6, 4096, 8 * fw::CAPACITY_UNIT_BLOCKS, 2);
        for (uint32_t r = 0; r < 5; ++r) {
            fw::CONFIG_RANK_RECORD& sRank = s.asRank[r];
            sRank.wCapacityGb = static_cast<uint16_t>((sRank.lLastOffset + 1) / fw::CAPACITY_UNIT_BLOCKS);
            sRank.bCachePolicy = 0x1B;
            sRank.wWriteThreshold = 5;
            sRank.wReadAhead = static_cast<uint16_t>(r);
        }
        std::memcpy(s.asRank[2].acArrayName, "Parity Array", 12);
        s.asRank[2].bCapacityReserve = 150;
        s.asRank[3].fInitialized = fw::FALSE;
        s.asRank[4].bInitState = 1;
        // The RAID 10's second member failed.
        s.asRank[1].abMemberState[1] = 34;
        const uint64_t lRaid5 = s.asRank[2].lStartAddress;
        AddLd({{0, fw::CAPACITY_UNIT_BLOCKS}}, 0);
        AddLd({{lRaid5, 2 * fw::CAPACITY_UNIT_BLOCKS}, {s.asRank[4].lStartAddress, fw::CAPACITY_UNIT_BLOCKS}}, 1);
        s.asLd[0].wCapacityGb = 1;
        s.asLd[0].bAvailability = 3;
        std::memcpy(s.asLd[0].acLdName, "Boot", 4);
        s.asLd[1].wCapacityGb = 3;
        s.asLd[1].wBlockSize = 4096;
        s.asLd[1].bAvailability = 1;
        // A mapping of one host.
        s.sHeader.wSanMapCount = 1;
        fw::SAN_LUN_MAP_ENTRY& m = s.asSanMap[0];
        std::memset(m.awLunMap, 0xFF, sizeof m.awLunMap);
        std::memcpy(m.acMapName, "Host A", 6);
        const uint8_t abNode[8] = {0x20, 0, 0, 0xE0, 0x8B, 1, 2, 3};
        const uint8_t abPort[8] = {0x21, 0, 0, 0xE0, 0x8B, 1, 2, 3};
        std::memcpy(m.abNodeWwn, abNode, 8);
        std::memcpy(m.abPortWwn, abPort, 8);
        m.awLunMap[0] = 0x0001 | 0x6000;
        m.awLunMap[7] = 0x8000 | 0x4000;
        m.wMapControllerLun = 512;
        // A spare, a failed drive, a bad block.
        s.sHeader.wSpareCount = 1;
        std::memcpy(s.asSpare[0].abWwn, harness::MemberWwn(9, 0).ab, 8);
        s.sHeader.wFailedDriveCount = 1;
        std::memcpy(s.asFailedDrive[0].abWwn, harness::MemberWwn(1, 1).ab, 8);
        s.asFailedDrive[0].abFailure[0] = 0x2A;
        s.asFailedDrive[0].abFailure[1] = 3;
        s.asFailedDrive[0].abFailure[2] = 0x11;
        s.asFailedDrive[0].abFailure[4] = 0x21;
        s.sHeader.wBadBlockCount = 1;
        const uint8_t abStart[5] = {0, 0, 1, 0x23, 0x45};
        std::memcpy(s.asBadBlock[0].abStart, abStart, 5);
        s.asBadBlock[0].bRank = 2;
        s.asBadBlock[0].wLength = 8;
        PresentAllExcept({{1, 1}});
        // The drives say who they are.
        fw::DRIVE_INFO_LIST* psDrives = fw::pGetDriveInfoList();
        for (uint32_t d = 0; d < psDrives->bDriveCount; ++d) {
            fw::DRIVE_INFO& sDrive = psDrives->asDriveInfo[d];
            std::memcpy(sDrive.acProductID, "SIMDISK 4G      ", 16);
            std::memcpy(sDrive.acRevision, "0001", 4);
            std::memcpy(sDrive.acSerialNo, "SIM00000", 8);
            sDrive.dCapacity = 8388607;
            sDrive.bEnclosureNo = 1;
            sDrive.bSlotNo = static_cast<uint8_t>(d + 1);
        }
        uint8_t f = 0;
        fw::BuildLogicalDriveTable(&s, fw::FALSE, &f, &f);
        std::memcpy(&harness::s_sScratch, &s, sizeof s);
    }
};

TEST_F(ConfigDumpTest, EveryTypePrintsItsSections) {
    for (const configdumptest::GOLDEN& g : configdumptest::kGoldens) {
        EXPECT_EQ(Dump(g.bType), g.pszText) << "type " << int(g.bType);
        EXPECT_EQ(fw::fGetInfoDumpRequest(), fw::FALSE);
        EXPECT_EQ(fw::bGetInfoDumpType(), 0);
    }
}

TEST_F(ConfigDumpTest, AdvancedModeShowsWhereArraysAndRegionsLie) {
    fw::SetAdvancedConfigModeLevel(2);
    const std::string s = Dump(fw::CONFIG_DUMP_ALL);
    for (const char* psz : {"Array:02 0000b2e000->00012a2000:0000774000\n",
                            "LD:001 Capacity:   3GB Regions:02 Mapped to:001 Ref:001 Blk:4096  Not Shared\n",
                            " REG:01 Capacity:   1GB Array:04 LBA:003ba000 (0001a16000->0001bf2fff:001dcfff)\n"}) {
        EXPECT_NE(s.find(psz), std::string::npos) << psz << s;
    }
}

TEST_F(ConfigDumpTest, AnEditShowsAsItWillBeCommittedButTheDebugDumpShowsTheLiveImage) {
    std::memcpy(harness::s_sScratch.sHeader.acConfigName, "Edited", 6);
    EXPECT_EQ(Dump(fw::CONFIG_DUMP_ALL).substr(0, 33), "Configuration: Editedonfiguration");
    fw::SetDebugDumpWork(fw::TRUE);
    EXPECT_EQ(Dump(fw::CONFIG_DUMP_ALL).substr(0, 33), "Configuration: Test Configuration");
    EXPECT_EQ(std::string(harness::s_sScratch.sHeader.acConfigName, 6), "Edited");
}

TEST_F(ConfigDumpTest, EmptyListsSayWhatIsMissing) {
    CONFIG_IMAGE& s = harness::s_sScratch;
    harness::s_sLive.sHeader.wFailedDriveCount = 0;
    EXPECT_EQ(Dump(fw::CONFIG_DUMP_FAILED_DRIVES), "No Failed Drives Listed\n\n\nPress any key to continue...\n");
    s.sHeader.wSanMapCount = 0;
    s.sHeader.wRankCount = 0;
    s.sHeader.wLdCount = 0;
    EXPECT_EQ(Dump(fw::CONFIG_DUMP_ARRAYS), "Unconfigured\n\n\nPress any key to continue...\n");
    EXPECT_EQ(Dump(fw::CONFIG_DUMP_SAN_MAPPINGS), "No San Mappings Configured\n\n\n\nPress any key to continue...\n");
    EXPECT_EQ(Dump(fw::CONFIG_DUMP_FREE_CAPACITY), "No Unused Capacity\n\n\nPress any key to continue...\n");
}

// Counts beyond their tables print the tables and stop.
TEST_F(ConfigDumpTest, CountsBeyondTheirTablesStopAtTheTable) {
    CONFIG_IMAGE& s = harness::s_sScratch;
    s.sHeader.wSpareCount = 70;
    s.sHeader.wBadBlockCount = 5000;
    const std::string sSpares = Dump(fw::CONFIG_DUMP_SPARES);
    EXPECT_NE(sSpares.find("\n63  "), std::string::npos);
    EXPECT_EQ(sSpares.find("\n64  "), std::string::npos) << "one past the 64 spares";
    uint32_t dSteps = 0;
    Request(fw::CONFIG_DUMP_ALL);
    const std::string sAll = RunDump(&dSteps);
    EXPECT_NE(sAll.find("\n4095 Array:"), std::string::npos);
    EXPECT_EQ(sAll.find("\n4096 Array:"), std::string::npos);
    EXPECT_EQ(fw::fGetInfoDumpRequest(), fw::FALSE);
}
}  // namespace
