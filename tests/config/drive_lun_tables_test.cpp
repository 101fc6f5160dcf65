// The failed-drive list, the spare list, host port records and the host LUN
// tables through which a host command finds its logical drive.
#include <cstring>

#include "config/config_state.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "config/spares_wwn.h"
#include "harness/config_test.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"

namespace cfgtest {

using namespace harness;

namespace {

class DriveTablesTest : public ConfigTest {};

Wwn Numbered(uint8_t b) { return Wwn{{0x20, 0, 0, 0x11, 0x22, 0x44, 0, b}}; }

TEST_F(DriveTablesTest, FailedDriveListDropsTheOldestWhenFull) {
    for (uint8_t i = 0; i < 65; i++) fw::AddFailedDriveWwn(Numbered(i).ab, &s_sLive, 0x99, 0x22, 0, 0, i);
    EXPECT_EQ(s_sLive.sHeader.wFailedDriveCount, 64);
    EXPECT_EQ(fw::fIsWwnInFailedDriveList(Numbered(0).ab, &s_sLive), fw::FALSE);
    EXPECT_EQ(s_sLive.asFailedDrive[0].abWwn[7], 1);
    EXPECT_EQ(s_sLive.asFailedDrive[63].abWwn[7], 64);
    EXPECT_EQ(s_sLive.asFailedDrive[63].abFailure[4], 64);
    fw::AddFailedDriveWwn(Numbered(10).ab, &s_sLive, 1, 2, 3, 4, 5);   // already listed
    EXPECT_EQ(s_sLive.asFailedDrive[9].abWwn[7], 10);
    EXPECT_EQ(s_sLive.asFailedDrive[9].abFailure[0], 0x99);
    const Wwn sUnset{{0xFF, 0xFF, 0, 0, 0xFF, 0, 0, 0}};
    fw::RemoveFailedDriveWwn(Numbered(1).ab, &s_sLive);
    fw::AddFailedDriveWwn(sUnset.ab, &s_sLive, 0, 0, 0, 0, 0);
    EXPECT_EQ(s_sLive.sHeader.wFailedDriveCount, 63);
}

TEST_F(DriveTablesTest, RemovingTheOnlyEntryClearsIt) {
    fw::AddFailedDriveWwn(Numbered(3).ab, &s_sLive, 0x99, 0x22, 0, 0, 7);
    fw::RemoveFailedDriveWwn(Numbered(3).ab, &s_sLive);
    EXPECT_EQ(s_sLive.sHeader.wFailedDriveCount, 0);
    EXPECT_EQ(s_sLive.asFailedDrive[0].abWwn[7], 0);
    EXPECT_EQ(s_sLive.asFailedDrive[0].abFailure[0], 0);
    EXPECT_EQ(s_sLive.asFailedDrive[0].abFailure[4], 0xFF);
    s_sLive.sHeader.wFailedDriveCount = 500;   // a corrupt count never reads past the list
    EXPECT_EQ(fw::fIsWwnInFailedDriveList(Numbered(3).ab, &s_sLive), fw::FALSE);
}

TEST_F(DriveTablesTest, WwnUtilities) {
    struct Case {
        Wwn s;
        uint8_t fSet;
    };
    const Case asCases[] = {{{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}, fw::FALSE},
                            {{{0, 0, 0, 0, 0, 0, 0, 0}}, fw::FALSE},
                            {{{0xFF, 0xFF, 0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}}, fw::TRUE},
                            {{{0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFE}}, fw::TRUE}};
    for (const Case& c : asCases) EXPECT_EQ(fw::fIsNonZeroWwn(c.s.ab), c.fSet);
    uint8_t ab[8];
    EXPECT_EQ(fw::CopyWwn(asCases[2].s.ab, ab), asCases[2].s.ab);
    EXPECT_EQ(fw::fWwnEqual(ab, asCases[2].s.ab), fw::TRUE);
    fw::FillWwn(ab, 0x5A);
    EXPECT_EQ(ab[0], 0x5A);
    EXPECT_EQ(ab[7], 0x5A);
    EXPECT_EQ(fw::fWwnEqual(ab, asCases[2].s.ab), fw::FALSE);
}

TEST_F(DriveTablesTest, SpareListEdits) {
    AddRank(fw::RAID_LEVEL_5, 3, 128, 10000, 1);
    PresentAllExcept();
    for (uint8_t i = 1; i <= 3; i++) AddPresentDrive(Numbered(i), static_cast<uint8_t>(10 + i));
    std::memcpy(&s_sScratch, &s_sLive, sizeof(s_sScratch));
    EXPECT_EQ(fw::AddSpare(Numbered(1).ab, 64), 0);
    EXPECT_EQ(fw::AddSpare(Numbered(1).ab, 255), 0xFF);
    EXPECT_EQ(fw::AddSpare(Numbered(2).ab, 0), 0xFF);
    EXPECT_EQ(fw::AddSpare(Numbered(3).ab, 255), 0xFF);
    EXPECT_EQ(fw::AddSpare(Numbered(1).ab, 255), 0);           // already a spare
    EXPECT_EQ(fw::AddSpare(MemberWwn(0, 1).ab, 255), 0);       // an in-service member
    EXPECT_EQ(s_sScratch.sHeader.wSpareCount, 3);
    EXPECT_EQ(s_sScratch.asSpare[0].bDedicatedRank, 255);
    fw::DeleteSpareEntry(&s_sScratch, 0);
    EXPECT_EQ(s_sScratch.sHeader.wSpareCount, 2);
    EXPECT_EQ(s_sScratch.asSpare[0].abWwn[7], 2);
    EXPECT_EQ(s_sScratch.asSpare[0].bDedicatedRank, 0);
    EXPECT_EQ(s_sScratch.asSpare[2].abWwn[7], 0);
    for (uint8_t i = 10; i < 80; i++) fw::AddSpare(Numbered(i).ab, 255);
    EXPECT_EQ(s_sScratch.sHeader.wSpareCount, 64);
    fw::DeleteAllSpares(&s_sScratch);
    EXPECT_EQ(s_sScratch.sHeader.wSpareCount, 0);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
}

class HostLunTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        ASSERT_EQ(fw::AllocateHostLunTables(), fw::STATUS_OK);
        fw::AllocateHostPortRecords();
        AddRank(fw::RAID_LEVEL_5, 3, 128, 100000, 1);
        for (int i = 0; i < 6; i++) AddLd({{static_cast<uint64_t>(i) * 1000, 1000}});
        PresentAllExcept();
    }
    void Apply() { fw::ApplyStoredSettings(fw::FALSE, fw::TRUE); }
};

TEST_F(HostLunTest, LookupDecodesTheLunWord) {
    Apply();
    fw::SetLogicalDriveState(4, fw::LD_STATE_UNAVAILABLE);
    struct Case {
        uint16_t wWord;
        uint8_t bCommandResult;
        uint8_t bPortResult;
        uint16_t wLd;
    };
    const Case asCases[] = {
        {0x8403, 0x82, 2, 3},     {0x0403, 2, 2, 3},      {0x4005, 1, 1, 5},   {0xC005, 0x81, 0x81, 5},
        {0x4004, 0xFF, 0xFF, 0xFFFF}, {0xFFFF, 0xFF, 0xFF, 0xFFFF},
    };
    uint16_t* pwTable = fw::pGetHostLunTable(1);
    ASSERT_NE(pwTable, nullptr);
    fw::KERNEL_ENTRY sEntry{};
    sEntry.bPortCode = 1;
    for (const Case& c : asCases) {
        pwTable[0] = c.wWord;   // LUN 0, initiator 0 (the command's)
        uint16_t wLd = 0;
        EXPECT_EQ(fw::bLookupCommandLun(&sEntry, &wLd), c.bCommandResult) << std::hex << c.wWord;
        EXPECT_EQ(wLd, c.wLd) << std::hex << c.wWord;
        EXPECT_EQ(fw::bLookupPortLun(0x31, 0, 0, &wLd), c.bPortResult) << std::hex << c.wWord;
        EXPECT_EQ(wLd, c.wLd);
    }
    uint16_t wLd = 0;
    EXPECT_EQ(fw::bLookupPortLun(1, 512, 0, &wLd), 0xFF);
    EXPECT_EQ(fw::bLookupPortLun(1, 0, 255, &wLd), 0xFF);   // no such initiator
    EXPECT_EQ(wLd, 0xFFFF);
    // Internal queues name the logical drive itself.
    sEntry.bPortCode = 0x50;
    EXPECT_EQ(fw::bLookupCommandLun(&sEntry, &wLd), 1);
    EXPECT_EQ(wLd, 0);
    s_sLive.asLd[2].wDefaultLun = 17;
    Apply();
    EXPECT_EQ(fw::bLookupPortLun(0x40, 2, 0, &wLd), 1);
    EXPECT_EQ(wLd, 17);
    EXPECT_EQ(fw::bLookupPortLun(0x40, 6, 0, &wLd), 0xFF);
    EXPECT_EQ(fw::bLookupPortLun(0x20, 2, 0, &wLd), 0xFF);
}

TEST_F(HostLunTest, SetHostLunOnlyFillsFreeWords) {
    EXPECT_EQ(fw::bSetHostLun(113, 3, 7, 5, fw::TRUE), 0xFF);
    EXPECT_EQ(fw::pGetHostLunTable(1)[7 * 255 + 3], 0xC005);
    EXPECT_EQ(fw::bSetHostLun(1, 3, 7, 6, fw::FALSE), 0);
    EXPECT_EQ(fw::bSetHostLun(2, 3, 7, 6, fw::FALSE), 0xFF);
    EXPECT_EQ(fw::pGetHostLunTable(2)[7 * 255 + 3], 0x4006);
    EXPECT_EQ(fw::bSetHostLun(2, 3, 512, 6, fw::FALSE), 0);
    EXPECT_EQ(fw::bSetHostLun(2, 255, 1, 6, fw::FALSE), 0);
}

TEST_F(HostLunTest, RebuildPresentsMappingsAndDefaultLuns) {
    fw::SetHostInterfaceType(1);
    s_sLive.sHeader.wControllerLun = 31;
    // Logical drive 1 is offered on port 1 of slot 1 at LUN 4; 2 on port 2 only.
    s_sLive.asLd[1].wDefaultLun = 4;
    s_sLive.asLd[1].bAvailability = 1;
    s_sLive.asLd[2].wDefaultLun = 5;
    s_sLive.asLd[2].bAvailability = 2;
    // One initiator on port 1 is mapped: LUN 0 shows drive 3, LUN 1 drive 4.
    fw::HOST_PORT_RECORD* psRecord = fw::pGetHostPortRecord(1);
    psRecord->bInitiatorCount = 2;
    psRecord->asInitiator[0].bId = 9;
    psRecord->asInitiator[1].bId = 12;
    const Wwn sMapped{{0x21, 0, 0, 0xE0, 0x8B, 0, 0, 1}};
    std::memcpy(psRecord->asInitiator[0].abPortName, sMapped.ab, 8);
    fw::SAN_LUN_MAP_ENTRY& sMap = s_sLive.asSanMap[0];
    s_sLive.sHeader.wSanMapCount = 1;
    std::memcpy(sMap.abPortWwn, sMapped.ab, 8);
    for (uint16_t& w : sMap.awLunMap) w = 0xFFFF;
    sMap.awLunMap[0] = 0x4003;
    sMap.awLunMap[1] = 0x2004;   // port 2 only
    sMap.awLunMap[2] = 0x4005;   // a drive kept for internal use
    sMap.awLunMap[3] = 0x4000;   // a drive not available
    // Drive 3 is for mapped hosts only, though it has a default LUN.
    s_sLive.asLd[3].bSanMapState = 34;
    s_sLive.asLd[3].wDefaultLun = 6;
    s_sLive.asLd[3].bAvailability = 1;
    s_sLive.asLd[5].bLdUseFlags = 0x80;
    // The other initiator's node name is the mapped port name: a mapping
    // names a host by its port name only.
    std::memcpy(psRecord->asInitiator[1].abNodeName, sMapped.ab, 8);
    // A second mapping of the same host: the first one's LUNs stand.
    fw::SAN_LUN_MAP_ENTRY& sAgain = s_sLive.asSanMap[1];
    sAgain = sMap;
    s_sLive.sHeader.wSanMapCount = 2;
    for (uint16_t& w : sAgain.awLunMap) w = 0xFFFF;
    sAgain.awLunMap[0] = 0x4002;
    sAgain.awLunMap[7] = 0x4002;
    Apply();
    fw::SetLogicalDriveState(0, fw::LD_STATE_UNAVAILABLE);
    // The table half of the rebuild, for the record as it stands (the Fibre
    // Channel driver scans the port around it).
    fw::ClearPortLunTable(1);
    fw::FillPortLunTable(1);
    const uint16_t* pwTable = fw::pGetHostLunTable(1);
    EXPECT_EQ(pwTable[2 * 255 + 9], 0xFFFF) << "internal use";
    EXPECT_EQ(pwTable[3 * 255 + 9], 0xFFFF) << "not available";
    EXPECT_EQ(pwTable[6 * 255 + 12], 0xFFFF) << "for mapped hosts only";
    EXPECT_EQ(pwTable[7 * 255 + 9] & 0x1FF, 2);
    uint16_t wLd = 0;
    EXPECT_EQ(fw::bLookupPortLun(1, 0, 9, &wLd), 1);
    EXPECT_EQ(wLd, 3);
    EXPECT_EQ(fw::bLookupPortLun(1, 1, 9, &wLd), 0xFF);
    EXPECT_EQ(fw::bLookupPortLun(1, 4, 9, &wLd), 0xFF);    // mapped initiators see no defaults
    EXPECT_EQ(fw::bLookupPortLun(1, 4, 12, &wLd), 1);
    EXPECT_EQ(wLd, 1);
    EXPECT_EQ(fw::bLookupPortLun(1, 5, 12, &wLd), 0xFF);
    EXPECT_EQ(fw::pGetHostLunTable(1)[512 * 255 + 12], 31);
    EXPECT_EQ(fw::pGetHostLunTable(1)[512 * 255 + 9], 0xFFFF);
    ASSERT_NE(FindEvent(63), nullptr);
    EXPECT_EQ(FindEvent(63)->abArgs[9], 9);
    // A controller LUN past the rows is no LUN.
    s_sLive.sHeader.wControllerLun = 512;
    Apply();
    fw::ClearPortLunTable(1);
    fw::FillPortLunTable(1);
    EXPECT_EQ(fw::pGetHostLunTable(1)[512 * 255 + 12], 0xFFFF);
}

// On a parallel SCSI port a mapping names its host by SCSI id: that host
// sees the mapping and nothing else, every other id the default LUNs.
TEST_F(HostLunTest, ParallelScsiMappingsApplyToTheHostOfTheirScsiId) {
    fw::SetHostInterfaceType(2);
    s_sLive.asLd[1].wDefaultLun = 4;
    s_sLive.asLd[1].bAvailability = 1;
    fw::SAN_LUN_MAP_ENTRY& sMap = s_sLive.asSanMap[0];
    s_sLive.sHeader.wSanMapCount = 2;
    std::memset(sMap.abNodeWwn, 0, 8);
    sMap.abNodeWwn[0] = 6;
    for (uint16_t& w : sMap.awLunMap) w = 0xFFFF;
    sMap.awLunMap[0] = 0x4003;
    // An id past the bus's sixteen names nobody.
    fw::SAN_LUN_MAP_ENTRY& sBad = s_sLive.asSanMap[1];
    sBad = sMap;
    sBad.abNodeWwn[0] = 16;
    sBad.awLunMap[2] = 0x4003;
    s_sLive.asLd[3].bSanMapState = 34;
    Apply();
    fw::ClearPortLunTable(0x31);
    fw::FillPortLunTable(0x31);
    uint16_t wLd = 0;
    EXPECT_EQ(fw::bLookupPortLun(0x31, 0, 6, &wLd), 1);
    EXPECT_EQ(wLd, 3);
    EXPECT_EQ(fw::bLookupPortLun(0x31, 4, 6, &wLd), 0xFF);   // a mapped host sees no defaults
    EXPECT_EQ(fw::bLookupPortLun(0x31, 2, 6, &wLd), 0xFF);
    EXPECT_EQ(fw::bLookupPortLun(0x31, 0, 7, &wLd), 0xFF);
    EXPECT_EQ(fw::bLookupPortLun(0x31, 4, 7, &wLd), 1);
    EXPECT_EQ(wLd, 1);
    // Port 2 offers neither.
    fw::ClearPortLunTable(0x32);
    fw::FillPortLunTable(0x32);
    EXPECT_EQ(fw::bLookupPortLun(0x32, 0, 6, &wLd), 0xFF);
    EXPECT_EQ(fw::bLookupPortLun(0x32, 4, 7, &wLd), 0xFF);
}

TEST_F(HostLunTest, HostPortRecordsAndLinkFlags) {
    fw::HOST_PORT_RECORD* psRecord = fw::pGetHostPortRecord(2);
    uint8_t bId = 0;
    const Wwn sName{{0x21, 0, 0, 0xE0, 0x8B, 0, 0, 2}};
    EXPECT_EQ(fw::fFindNameInPortList(psRecord, sName.ab, &bId, fw::TRUE, fw::TRUE), fw::FALSE);
    EXPECT_EQ(fw::fIsHostPortIdKnown(2, 0), fw::FALSE);
    psRecord->bInitiatorCount = 1;
    psRecord->asInitiator[0].bId = 5;
    std::memcpy(psRecord->asInitiator[0].abNodeName, sName.ab, 8);
    EXPECT_EQ(fw::fFindNameInPortList(psRecord, sName.ab, &bId, fw::TRUE, fw::TRUE), fw::TRUE);
    EXPECT_EQ(bId, 5);
    EXPECT_EQ(psRecord->asInitiator[0].fLoggedIn, fw::TRUE);
    uint8_t abName[8] = {};
    EXPECT_EQ(fw::fGetHostPortNodeWwn(0x32, 5, abName), 0xFF);
    EXPECT_EQ(abName[7], 2);
    EXPECT_EQ(fw::fGetHostPortNodeWwn(3, 5, abName), 0);
    EXPECT_EQ(fw::fIsHostPortIdKnown(2, 5), fw::TRUE);
    fw::ClearHostPortRecord(2);
    EXPECT_EQ(fw::fIsHostPortIdKnown(2, 5), fw::FALSE);

    fw::SetHostPortLinkFlag(113, fw::TRUE);
    EXPECT_EQ(fw::bGetHostPortLinkFlag(1), fw::TRUE);
    EXPECT_EQ(fw::bGetHostPortLinkFlag(2), fw::FALSE);
    EXPECT_EQ(fw::bGetHostPortLinkFlag(3), fw::FALSE);
    EXPECT_EQ(fw::fAnyHostPortLinkFlag(), fw::TRUE);
    fw::SetHostPortLinkFlag(3, fw::TRUE);
    fw::SetHostPortLinkFlag(0x31, fw::FALSE);
    EXPECT_EQ(fw::fAnyHostPortLinkFlag(), fw::FALSE);
}

}  // namespace
}  // namespace cfgtest
