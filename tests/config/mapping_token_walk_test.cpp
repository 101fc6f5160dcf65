// SAN LUN mappings and LUN choices, the configuration write token, the
// automatic spare choice, and the drive slot edits and drive walk.
#include <string>
#include <vector>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/drive_walk.h"
#include "config/rank_table.h"
#include "config/san_lun_map.h"
#include "target/host_list.h"
#include "config/spare_assign.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_rescan.h"
#include "config/write_semaphore.h"
#include "harness/config_test.h"
#include "executive/kernel_queue.h"
#include "partner/partner_link.h"

namespace cfgtest {

using namespace harness;

namespace {

// A partner reached on drive-side path 1, the link valid.
void SetPartnerOnDriveSide() {
    const uint32_t adPortAddress[2] = {0x00002010, 0x500605B0};
    fw::SetPartnerDrivePath(1, fw::TRUE, 0x20, adPortAddress);
    fw::SetDualControllerValid(fw::TRUE);
}

class MappingTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::CopyConfigImage(&s_sLive, &s_sScratch);
        // Five logical drives on LUNs 0..4.
        for (uint16_t l = 0; l < 5; ++l) {
            s_sScratch.asLd[l].wLdNumber = l;
            s_sScratch.asLd[l].wDefaultLun = l;
            s_sScratch.asLd[l].bAvailability = 0x0F;
        }
        s_sScratch.sHeader.wLdCount = 5;
    }
    static fw::SAN_LUN_MAP_ENTRY Request(uint8_t bHostType, uint8_t bPort, const std::string& name) {
        fw::SAN_LUN_MAP_ENTRY s;
        fw::InitSanLunMapRequest(&s);
        s.bHostType = bHostType;
        s.wMapControllerLun = 0xFFFF;
        for (int i = 0; i < 8; ++i) s.abNodeWwn[i] = s.abPortWwn[i] = static_cast<uint8_t>(0x20 + i);
        s.abNodeWwn[7] = s.abPortWwn[7] = bPort;
        std::memset(s.acMapName, ' ', 32);
        std::memcpy(s.acMapName, name.data(), name.size());
        return s;
    }
    static uint8_t Create(const fw::SAN_LUN_MAP_ENTRY& s) { return fw::CreateSanLunMapping(&s); }
    static const fw::CONFIG_IMAGE& Scratch() { return s_sScratch; }
};

TEST_F(MappingTest, ChecksOfANewMapping) {
    fw::SAN_LUN_MAP_ENTRY s = Request(1, 1, "FIRST");
    s.awLunMap[0] = 0x7804;
    ASSERT_EQ(Create(s), fw::STATUS_OK);
    EXPECT_EQ(Scratch().asLd[4].bSanMapState, fw::SAN_MAP_NAMED);
    EXPECT_EQ(Scratch().asLd[4].bAvailability, 0);
    // The same initiator, or the same name, only once.
    EXPECT_EQ(Create(Request(1, 1, "OTHER")), 0);
    EXPECT_EQ(Create(Request(1, 2, "FIRST")), 0);
    // Fibre Channel needs both names; host type 2 neither.
    fw::SAN_LUN_MAP_ENTRY sNoPort = Request(1, 3, "NOPORT");
    std::memset(sNoPort.abPortWwn, 0, 8);
    EXPECT_EQ(Create(sNoPort), 0);
    fw::SAN_LUN_MAP_ENTRY sType2 = Request(2, 3, "TYPE2");
    std::memset(sType2.abPortWwn, 0, 8);
    std::memset(sType2.abNodeWwn, 0, 8);
    EXPECT_EQ(Create(sType2), fw::STATUS_OK);
    EXPECT_EQ(Create(Request(5, 4, "TYPE5")), 0);
    // The controller's own LUN must not carry a logical drive.
    fw::SAN_LUN_MAP_ENTRY sLun = Request(1, 5, "CTRLLUN");
    sLun.awLunMap[7] = 0x7801;
    sLun.wMapControllerLun = 7;
    EXPECT_EQ(Create(sLun), 0);
    sLun.wMapControllerLun = 600;
    EXPECT_EQ(Create(sLun), fw::STATUS_OK);
    fw::SAN_LUN_MAP_ENTRY sName = Request(1, 6, "");
    sName.acMapName[3] = 0x7F;
    EXPECT_EQ(Create(sName), 0);
    // An update keeps its own name and initiator, not another entry's.
    fw::SAN_LUN_MAP_ENTRY sUpdate = Request(1, 1, "FIRST");
    sUpdate.bMapFlags = 3;
    EXPECT_EQ(fw::UpdateSanLunMapping(&sUpdate, 0), fw::STATUS_OK);
    EXPECT_EQ(Scratch().asSanMap[0].bMapFlags, 3);
    EXPECT_EQ(Scratch().asSanMap[0].awLunMap[0], 0x7804);
    sUpdate = Request(1, 1, "TYPE2");
    EXPECT_EQ(fw::UpdateSanLunMapping(&sUpdate, 0), 0);
    EXPECT_EQ(fw::UpdateSanLunMapping(&sUpdate, 9), 0);
}

TEST_F(MappingTest, DeletingAMappingRenamesTheMovedOnesAndReleasesItsDrives) {
    for (uint8_t i = 0; i < 3; ++i) {
        char ac[17];
        std::snprintf(ac, sizeof ac, "LUN MAPPING  %03u", i);
        fw::SAN_LUN_MAP_ENTRY s = Request(1, static_cast<uint8_t>(10 + i), ac);
        s.awLunMap[0] = static_cast<uint16_t>(0x7800 | (i == 1 ? 4 : 2));
        ASSERT_EQ(Create(s), fw::STATUS_OK);
    }
    std::memcpy(s_sScratch.asSanMap[2].acMapName, "MY OWN NAME     ", 16);
    fw::DeleteSanLunMapping(&s_sScratch, 0);
    ASSERT_EQ(Scratch().sHeader.wSanMapCount, 2);
    EXPECT_EQ(std::string(Scratch().asSanMap[0].acMapName, 16), "LUN MAPPING  000");
    EXPECT_EQ(std::string(Scratch().asSanMap[1].acMapName, 16), "MY OWN NAME     ");
    EXPECT_EQ(Scratch().asSanMap[0].awLunMap[0], 0x7804);
    // Logical drive 2 is still named by the last entry.
    EXPECT_EQ(Scratch().asLd[2].bSanMapState, fw::SAN_MAP_NAMED);
    fw::DeleteSanLunMapping(&s_sScratch, 0);
    EXPECT_EQ(Scratch().asLd[4].bSanMapState, fw::SAN_MAP_NONE);
    EXPECT_EQ(Scratch().asSanMap[1].abNodeWwn[0], 0);
    // Three-digit names follow an entry far down the list too.
    s_sScratch.sHeader.wSanMapCount = 121;
    std::memcpy(s_sScratch.asSanMap[120].acMapName, "LUN MAPPING  120", 16);
    s_sScratch.asSanMap[120].awLunMap[0] = 1;
    fw::DeleteSanLunMapping(&s_sScratch, 5);
    EXPECT_EQ(std::string(Scratch().asSanMap[119].acMapName, 16), "LUN MAPPING  119");
}

TEST_F(MappingTest, ControllerLunAndFreeLuns) {
    // Logical drives on LUNs 0..4: the controller goes right above them.
    EXPECT_EQ(fw::wFindControllerLun(&s_sScratch), 5);
    EXPECT_EQ(fw::wFindFreeLun(&s_sScratch), 5);
    for (uint16_t l = 5; l < 10; ++l) s_sScratch.asLd[l].wDefaultLun = l;
    s_sScratch.sHeader.wLdCount = 10;
    EXPECT_EQ(fw::wFindControllerLun(&s_sScratch), 10);
    s_sScratch.asLd[2].wDefaultLun = 300;
    EXPECT_EQ(fw::wFindControllerLun(&s_sScratch), 301);
    EXPECT_EQ(fw::wFindFreeLun(&s_sScratch), 2);
    EXPECT_EQ(fw::fIsLunUsed(&s_sScratch, 300), fw::TRUE);
    s_sScratch.sHeader.wLdCount = 0;
    EXPECT_EQ(fw::wFindControllerLun(&s_sScratch), 0);
    s_sScratch.sHeader.wLdCount = 512;
    EXPECT_EQ(fw::wFindControllerLun(&s_sScratch), 0xFFFF);
}

TEST_F(MappingTest, WhatMayBeMapped) {
    s_sScratch.asLd[3].bLdUseFlags = 0x80;
    EXPECT_EQ(fw::fCanMapLogicalDrive(&s_sScratch, 2, fw::FALSE), fw::STATUS_OK);
    EXPECT_EQ(fw::fCanMapLogicalDrive(&s_sScratch, 3, fw::FALSE), 0);
    EXPECT_EQ(fw::fCanMapLogicalDrive(&s_sScratch, 7, fw::FALSE), 0);
    EXPECT_EQ(fw::fCanMapLogicalDrive(&s_sScratch, 0x400 | 9, fw::FALSE), 0);
    s_sScratch.asVirtualLd[9].abData[0] = 1;
    EXPECT_EQ(fw::fCanMapLogicalDrive(&s_sScratch, 0x400 | 9, fw::FALSE), fw::STATUS_OK);
    s_sScratch.asSanMap[0].awLunMap[5] = 0x7802;   // the mapping being built
    EXPECT_EQ(fw::fCanMapLogicalDrive(&s_sScratch, 0x0802, fw::TRUE), 0);
    for (uint16_t l = 0; l < 5; ++l) s_sScratch.asLd[l].bSanMapState = fw::SAN_MAP_UNAVAILABLE;
    EXPECT_EQ(fw::fAnyLdMappable(&s_sScratch), fw::FALSE);
    EXPECT_EQ(Create(Request(1, 1, "NONE")), 0);
}

TEST_F(MappingTest, VirtualDrivesLeaveTheirMappings) {
    fw::SAN_LUN_MAP_ENTRY s = Request(1, 1, "A");
    s.awLunMap[0] = 0x7C09;
    s.awLunMap[1] = 0x7801;
    ASSERT_EQ(Create(s), fw::STATUS_OK);
    s = Request(1, 2, "B");
    s.awLunMap[3] = 0x7C09;
    ASSERT_EQ(Create(s), fw::STATUS_OK);
    EXPECT_EQ(fw::RemoveVirtualLdFromMappings(&s_sScratch, 9), fw::TRUE);
    ASSERT_EQ(Scratch().sHeader.wSanMapCount, 1);
    EXPECT_EQ(Scratch().asSanMap[0].awLunMap[0], 0xFFFF);
    EXPECT_EQ(Scratch().asSanMap[0].awLunMap[1], 0x7801);
    EXPECT_EQ(fw::RemoveVirtualLdFromMappings(&s_sScratch, 9), fw::FALSE);
}

TEST_F(MappingTest, UnmappedInitiatorsOfTheHostList) {
    fw::HOST_LIST s{};
    s.wCount = 4;
    for (uint8_t h = 0; h < 4; ++h) s.asEntry[h].abNodeName[7] = static_cast<uint8_t>(0x40 + h);
    std::memset(s.asEntry[0].abNodeName, 0xFF, 8);   // unset: passed over
    fw::SAN_LUN_MAP_ENTRY sMap = Request(2, 0, "MAPPED");
    std::memset(sMap.abNodeWwn, 0, 8);
    sMap.abNodeWwn[7] = 0x41;
    ASSERT_EQ(Create(sMap), fw::STATUS_OK);
    uint16_t wIndex = 0;
    uint8_t abWwn[8];
    ASSERT_EQ(fw::FindUnmappedInitiator(&s, &s_sScratch, 0, &wIndex, abWwn), fw::STATUS_OK);
    EXPECT_EQ(wIndex, 2);
    EXPECT_EQ(abWwn[7], 0x42);
    ASSERT_EQ(fw::FindUnmappedInitiator(&s, &s_sScratch, 3, &wIndex, abWwn), fw::STATUS_OK);
    EXPECT_EQ(wIndex, 3);
    EXPECT_EQ(fw::FindUnmappedInitiator(&s, &s_sScratch, 4, &wIndex, abWwn), 0);
}

// ---- the write token ----

class WriteTokenTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::ResetConfigStartFlags();
        fw::InitConfigWriteSemaphore();
    }
    void TearDown() override { fw::SetDualControllerValid(fw::FALSE); }
};

TEST_F(WriteTokenTest, AloneTheTokenIsGrantedAtOnce) {
    EXPECT_EQ(fw::RequestConfigWriteSemaphore(), fw::WRITE_TOKEN_GRANTED);
    EXPECT_EQ(fw::fIsConfigWriteOwned(), fw::TRUE);
    EXPECT_EQ(fw::fIsConfigWriteInProgress(), fw::TRUE);
    EXPECT_EQ(fw::ReleaseConfigWriteSemaphore(), fw::STATUS_OK);
    EXPECT_EQ(fw::fIsConfigWriteInProgress(), fw::FALSE);
    EXPECT_EQ(fw::fIsConfigWriteOwned(), fw::TRUE);
}

TEST_F(WriteTokenTest, WithAPartnerTheTokenIsAskedForAndHandedOver) {
    SetPartnerOnDriveSide();
    EXPECT_EQ(fw::RequestConfigWriteSemaphore(), fw::WRITE_TOKEN_REQUESTED);
    EXPECT_EQ(fw::fIsConfigWriteOwnPending(), fw::TRUE);
    EXPECT_EQ(fw::fPollConfigWriteSemaphore(), fw::FALSE);
    fw::HandlePartnerConfigWriteSemaphoreMessage(fw::MESSAGE_WRITE_TOKEN_GRANT);
    EXPECT_EQ(fw::fPollConfigWriteSemaphore(), fw::TRUE);
    EXPECT_EQ(fw::fIsConfigWriteOwnPending(), fw::FALSE);
    // The partner asks during the commit: it gets the token at the end.
    fw::SetConfigCommitInProgress(fw::TRUE);
    const uint32_t dIndex = fw::dGetConfigIndex();
    fw::HandlePartnerConfigWriteSemaphoreMessage(fw::MESSAGE_WRITE_TOKEN_REQUEST);
    EXPECT_EQ(fw::fIsConfigWritePartnerPending(), fw::TRUE);
    EXPECT_EQ(fw::fIsConfigWriteOwned(), fw::TRUE);
    fw::SetConfigCommitInProgress(fw::FALSE);
    EXPECT_EQ(fw::ReleaseConfigWriteSemaphore(), fw::STATUS_OK);
    EXPECT_EQ(fw::fIsConfigWriteOwned(), fw::FALSE);
    EXPECT_EQ(fw::fIsConfigWritePartnerPending(), fw::FALSE);
    EXPECT_EQ(fw::dGetConfigIndex(), dIndex);
    // Held and idle: handed over at once, and the change is counted.
    fw::HandlePartnerConfigWriteSemaphoreMessage(fw::MESSAGE_WRITE_TOKEN_GRANT);
    EXPECT_EQ(fw::ReleaseConfigWriteSemaphore(), fw::STATUS_OK);
    fw::HandlePartnerConfigWriteSemaphoreMessage(fw::MESSAGE_WRITE_TOKEN_REQUEST);
    EXPECT_EQ(fw::fIsConfigWriteOwned(), fw::FALSE);
    EXPECT_EQ(fw::dGetConfigIndex(), dIndex + 1);
    // The partner gone: the next poll takes the token here.
    fw::SetDualControllerValid(fw::FALSE);
    EXPECT_EQ(fw::fPollConfigWriteSemaphore(), fw::TRUE);
}

TEST_F(WriteTokenTest, AnEditIsRefusedUnderTheSnapshotLockWithoutTakingTheToken) {
    fw::SetConfigEditLock(fw::TRUE);
    fw::SetConfigPhase(fw::CONFIG_PHASE_EDIT);
    fw::SetConfigPhaseStep(0);
    fw::SetConfigRequester(fw::REQUESTER_EDITOR);
    EXPECT_EQ(fw::BeginConfigEditPhase(0), fw::STATUS_OK);
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(fw::fIsConfigWriteInProgress(), fw::FALSE);
}

// ---- automatic spare choice ----

class SpareChoiceTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::ResetConfigStartFlags();
        fw::InitSpareAssignment();
        fw::InitSASDeviceList(fw::pGetSASDriveInfoList());
        fw::ClearDriveInfoList(fw::pGetDriveInfoList());
        std::memset(fw::pGetDriveAddressList(), 0, sizeof(fw::DRIVE_ADDRESS_LIST));
        // Two unassigned drives in enclosure 1, slots 3 and 4.
        for (uint8_t n = 0; n < 2; ++n) {
            AddPresentDrive(Wwn{{0x50, 0, 0, 0, 0, 0, 0x55, n}}, static_cast<uint8_t>(20 + n));
            fw::DRIVE_INFO* ps = nullptr;
            uint8_t bIndex = 0;
            ASSERT_EQ(fw::fFindDriveByWWN(Wwn{{0x50, 0, 0, 0, 0, 0, 0x55, n}}.ab, &ps, &bIndex), fw::TRUE);
            ps->dCapacity = n == 0 ? 1000000 : 2000000;
            ps->bEnclosureNo = 1;
            ps->bSlotNo = static_cast<uint8_t>(3 + n);
        }
        fw::BuildDriveSlotTableSas(fw::pGetDriveAddressList(), fw::FALSE);
        fw::CopyConfigImage(&s_sLive, &s_sScratch);
    }
};

TEST_F(SpareChoiceTest, TheFirstDriveBigEnoughIsChosenAndAddedInTheEdit) {
    ASSERT_EQ(fw::bGetSpareDriveTableCount(), 2);
    EXPECT_EQ(fw::fFindReplacementDrive(0, fw::DRIVE_PATH_SAS, 2000001), fw::FALSE);
    EXPECT_EQ(fw::fFindReplacementDrive(0, fw::DRIVE_PATH_SATA_ACTIVE_ACTIVE, 100), fw::FALSE);
    ASSERT_EQ(fw::fFindReplacementDrive(0, fw::DRIVE_PATH_SAS, 1000001), fw::TRUE);
    EXPECT_EQ(fw::bGetChosenSpareDrive(0), 3);   // enclosure 1, slot 4
    fw::SetArrayWantsSpare(0, fw::TRUE);
    fw::SetSpareAssignPending(fw::TRUE);
    fw::AssignChosenSpare();
    EXPECT_EQ(fw::fGetSpareAssignPending(), fw::FALSE);
    ASSERT_EQ(s_sScratch.sHeader.wSpareCount, 1);
    EXPECT_EQ(s_sScratch.asSpare[0].abWwn[7], 1);
    EXPECT_EQ(s_sScratch.asSpare[0].bDedicatedRank, fw::GLOBAL_SPARE);
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::TRUE);
    EXPECT_EQ(fw::bGetConfigUpdateRequester(), fw::REQUESTER_MANAGEMENT);
}

TEST_F(SpareChoiceTest, AChosenDriveThatLeftIsNotAddedAndTheRequestStays) {
    ASSERT_EQ(fw::fFindReplacementDrive(0, fw::DRIVE_PATH_SAS, 1), fw::TRUE);
    fw::SetArrayWantsSpare(0, fw::TRUE);
    fw::SetSpareAssignPending(fw::TRUE);
    fw::RemoveDriveSlot(fw::PORT_CODE_INITIATOR, 20);
    fw::AssignChosenSpare();
    EXPECT_EQ(s_sScratch.sHeader.wSpareCount, 0);
    EXPECT_EQ(fw::fGetSpareAssignPending(), fw::TRUE);
    EXPECT_EQ(fw::fGetArrayWantsSpare(0), fw::TRUE);
    // The edit that adds it opens as phase 1 of requester 6.
    fw::StartSpareAssignEdit(0);
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_EDIT);
    EXPECT_EQ(fw::bGetConfigRequester(), fw::REQUESTER_SPARE_ASSIGN);
}

// ---- drive slot edits and the walk ----

class DriveWalkTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::ResetConfigStartFlags();
        fw::ResetDriveWalk();
        fw::SetRankCount(0);
    }
    static std::vector<uint8_t> Slots() {
        const fw::DRIVE_SLOT_TABLES* ps = fw::pGetDriveSlotTables();
        return std::vector<uint8_t>(ps->abDrive, ps->abDrive + ps->bCount);
    }
};

TEST_F(DriveWalkTest, SlotEdits) {
    for (uint8_t b : {1, 7, 20}) ASSERT_EQ(fw::InsertDriveSlot(b, 0xFF, fw::FALSE), fw::TRUE);
    ASSERT_EQ(fw::InsertDriveSlot(3, 0xFF, fw::TRUE), fw::TRUE);
    EXPECT_EQ(Slots(), (std::vector<uint8_t>{1, 3, 7, 20}));
    EXPECT_EQ(fw::pGetDriveSlotTables()->afFailed[1], fw::TRUE);
    EXPECT_EQ(fw::InsertDriveSlot(0xFF, 0xFF, fw::FALSE), fw::FALSE);
    fw::RemoveDriveSlot(0x27, 99);   // slot path: the target id is the path's
    EXPECT_EQ(Slots(), (std::vector<uint8_t>{1, 3, 20}));
    fw::RemoveDriveSlot(fw::PORT_CODE_INITIATOR, 0xFF);
    fw::RemoveDriveSlot(9, 3);
    EXPECT_EQ(Slots(), (std::vector<uint8_t>{1, 3, 20}));
    fw::RemoveDriveSlot(fw::PORT_CODE_INITIATOR, 3);
    EXPECT_EQ(Slots(), (std::vector<uint8_t>{1, 20}));
    EXPECT_EQ(fw::pGetDriveSlotTables()->afFailed[1], fw::FALSE);
    // A full table takes no more.
    while (fw::bGetSpareDriveTableCount() < fw::DRIVE_SLOTS) ASSERT_EQ(fw::InsertDriveSlot(50, 0xFF, fw::FALSE), fw::TRUE);
    EXPECT_EQ(fw::InsertDriveSlot(51, 0xFF, fw::FALSE), fw::FALSE);
    EXPECT_EQ(fw::bGetSpareDriveTableCount(), fw::DRIVE_SLOTS);
}

TEST_F(DriveWalkTest, TheWalkGoesOverMembersSparesAndSlots) {
    // An array of three members, the second not in service.
    fw::SetRankCount(1);
    fw::RANK_RECORD* psRank = fw::pGetRankRecord(0);
    psRank->bDriveCount = 3;
    for (uint8_t m = 0; m < 3; ++m) {
        fw::SetRankMemberDrive(0, m, static_cast<uint8_t>(10 + m));
        fw::SetRankMemberFlags(0, m, m == 1 ? fw::MEMBER_FLAGS_MISSING : fw::MEMBER_FLAGS_IN_SERVICE);
    }
    fw::HOT_SPARE_TABLE* psSpares = fw::pGetHotSpareTable();
    psSpares->bCount = 1;
    psSpares->abDrive[0] = 0xFF;
    psSpares->abDriveAlt[0] = 30;
    ASSERT_EQ(fw::InsertDriveSlot(40, 0xFF, fw::FALSE), fw::TRUE);
    struct Step {
        uint8_t bArray, bMember, bTarget;
    };
    const Step asSteps[] = {{0, 0, 10}, {0, 2, 12}, {fw::WALK_SPARES, 0, 30}, {fw::WALK_SLOTS, 0, 40}};
    for (const Step& s : asSteps) {
        ASSERT_EQ(fw::fSelectNextDrive(fw::FALSE, fw::TRUE), fw::TRUE);
        EXPECT_EQ(fw::bGetPhaseParam1(), fw::PORT_CODE_INITIATOR);
        EXPECT_EQ(fw::bGetPhaseParam2(), s.bTarget);
        EXPECT_EQ(fw::bGetPhaseParam3(), s.bArray);
        EXPECT_EQ(fw::bGetPhaseParam4(), s.bMember);
    }
    EXPECT_EQ(fw::fSelectNextDrive(fw::FALSE, fw::TRUE), fw::FALSE);
    EXPECT_EQ(fw::bGetPhaseParam1(), 0);
    // With wrap the walk starts over; without members it begins at the spares.
    ASSERT_EQ(fw::fSelectNextDrive(fw::TRUE, fw::FALSE), fw::TRUE);
    EXPECT_EQ(fw::bGetPhaseParam2(), 30);
    EXPECT_EQ(fw::bGetSelectedDriveEntry(), 0);
}

}  // namespace
}  // namespace cfgtest
