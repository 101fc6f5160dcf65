// The drive table: its empty form, the look-ups (what they find, and what
// they must never find), the sort, the firmware file list and the small
// services beside them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "config/config_image.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "harness/sas_board_test.h"

namespace {

using namespace fw;

class DriveTableTest : public harness::SasBoardTest {
protected:
    void SetUp() override {
        SasBoardTest::SetUp();
        static CONFIG_IMAGE s_sImage;   // an image with no failed drives
        std::memset(&s_sImage, 0, sizeof s_sImage);
        SetConfigImagePointer(&s_sImage);
        InitSASDeviceList(pGetSASDriveInfoList());
        InitDriveTables();
    }

    // Puts records straight into the current table.
    DRIVE_INFO* Add(uint8_t bTarget, uint8_t bEnclosure, uint8_t bSlot, uint8_t bWwnTail) {
        DRIVE_INFO s;
        ClearDriveInfoRecord(&s);
        s.bLoopID1 = s.bHardIDFromADISC = bTarget;
        s.bEnclosureNo = bEnclosure;
        s.bSlotNo = bSlot;
        const uint8_t abWwn[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, bWwnTail};
        std::memcpy(s.abWWN, abWwn, 8);
        EXPECT_EQ(fAppendDriveInfo(pGetDriveInfoList(), &s), TRUE);
        return &pGetDriveInfoList()->asDriveInfo[pGetDriveInfoList()->bDriveCount - 1];
    }

    // Puts a device into the SAS device list as discovery would.
    static void AddDevice(uint8_t bTarget, const uint8_t* pbWwn, uint8_t fSas) {
        SAS_DEVICE_LIST* ps = pGetSASDriveInfoList();
        SAS_DEVICE_ENTRY& s = ps->asEntry[ps->bEntryCount++];
        s.bTargetId = bTarget;
        s.fValid = TRUE;
        s.fSAS = fSas;
        std::memcpy(s.abWWN, pbWwn, 8);
    }
};

TEST_F(DriveTableTest, StartsInItsEmptyFormInBufferPages) {
    for (DRIVE_INFO_LIST* ps : {pGetDriveInfoList(), pGetDriveInfoListSorted(), pGetDriveInfoListDiscovery()}) {
        ASSERT_NE(ps, nullptr);
        EXPECT_GE(reinterpret_cast<uintptr_t>(ps), board.config().memorySize);   // in bank 0, not static memory
        EXPECT_EQ(ps->dUsedBytes, 8u);
        EXPECT_EQ(ps->bDriveCount, 0);
        for (const DRIVE_INFO& s : ps->asDriveInfo) {
            for (uint8_t i = 0; i < 11; ++i) EXPECT_EQ(reinterpret_cast<const uint8_t*>(&s)[i], 0xFF);
            EXPECT_EQ(s.fSESEnabled, FALSE);
            EXPECT_EQ(s.fFirmwareFileStored, FALSE);
            EXPECT_EQ(s.dCapacity, 0u);
        }
        EXPECT_EQ(ps->aabEnclosureRecord[39][16], 0xFF);
        EXPECT_EQ(ps->aabEnclosureRecord[39][44], 0);
    }
    EXPECT_NE(pGetDriveInfoList(), pGetDriveInfoListSorted());
    ASSERT_NE(pGetDriveFirmwareImageList(), nullptr);
    EXPECT_EQ(pGetDriveFirmwareImageList()->bCount, 0);
    EXPECT_EQ(fIsDriveTableFirstBuild(), TRUE);
    EXPECT_EQ(dGetDriveTableChangeCount(), 0u);
}

TEST_F(DriveTableTest, EmptyTableAndUnsetWwnsFindNothing) {
    const uint8_t abZero[8] = {};
    uint8_t abOnes[8];
    std::memset(abOnes, 0xFF, 8);
    for (int pass = 0; pass < 2; ++pass) {
        // Second pass: a record whose WWN is itself unset must not match.
        for (const uint8_t* pb : {abZero, static_cast<const uint8_t*>(abOnes)}) {
            uint8_t bTarget = 0;
            EXPECT_EQ(fFindDriveByWWN(pb, nullptr, nullptr), FALSE);
            EXPECT_EQ(fFindDriveByWWN(pb, &bTarget), FALSE);
            EXPECT_EQ(bTarget, 0xFF);
            EXPECT_EQ(bGetHardIdOfWWN(pb), 0xFF);
            EXPECT_EQ(bGetDriveIndexOfWWN(pb), 0xFF);
        }
        EXPECT_EQ(fFindDriveByDriveIndex(255, nullptr), FALSE);
        EXPECT_EQ(fIsHardIdDuplicated(255), FALSE);
        DRIVE_INFO* ps = Add(3, 1, 4, 0);
        std::memset(ps->abWWN, pass == 0 ? 0x00 : 0xFF, 8);
        ps->bHardIDFromADISC = 255;
    }
    EXPECT_EQ(fFindDriveByRankDrive(0, 0, nullptr, nullptr), FALSE);
}

TEST_F(DriveTableTest, LookUpsByEveryKey) {
    Add(5, 1, 3, 0x10);
    Add(9, 2, 1, 0x20);
    DRIVE_INFO* ps = Add(7, 1, 12, 0x30);
    ps->bRankNo = 2;
    ps->bDriveNo = 1;
    const uint8_t abWwn[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, 0x20};
    DRIVE_INFO* psFound = nullptr;
    uint8_t bIndex = 0;
    EXPECT_EQ(fFindDriveByWWN(abWwn, &psFound, &bIndex), TRUE);
    EXPECT_EQ(bIndex, 1);
    EXPECT_EQ(bGetDriveIndexOfWWN(abWwn), 32);          // enclosure 2, slot 1
    EXPECT_EQ(fFindDriveByDriveIndex(11, &psFound), TRUE);
    EXPECT_EQ(psFound->bLoopID1, 7);
    EXPECT_EQ(fFindDriveByRankDrive(2, 1, &psFound, &bIndex), TRUE);
    EXPECT_EQ(bIndex, 2);
    EXPECT_EQ(bFindDriveIndexByEnclosureSlot(1, 3, &psFound, &bIndex), STATUS_OK);
    EXPECT_EQ(bFindDriveIndexByEnclosureSlot(1, 4, &psFound, &bIndex), 0);
    EXPECT_EQ(fFindDriveByLoopID(0, 9, &psFound, &bIndex), TRUE);
    uint8_t abOut[8] = {};
    EXPECT_EQ(fGetDriveWwnOfTarget(9, abOut), TRUE);
    EXPECT_EQ(std::memcmp(abOut, abWwn, 8), 0);
    EXPECT_EQ(fIsHardIdDuplicated(5), FALSE);
    Add(5, 3, 3, 0x40);
    EXPECT_EQ(fIsHardIdDuplicated(5), TRUE);
}

TEST_F(DriveTableTest, SortOrdersBySlotUnlessTwoDrivesClaimOne) {
    struct Case {
        uint8_t abSlots[4];
        uint8_t abExpectedTail[4];
    } const aCases[] = {
        {{4, 1, 3, 2}, {2, 4, 3, 1}},
        {{4, 1, 4, 2}, {1, 2, 3, 4}},   // slot 4 twice: discovery order kept
    };
    for (const Case& c : aCases) {
        DRIVE_INFO_LIST* psSource = pGetDriveInfoListDiscovery();
        ClearDriveInfoList(psSource);
        for (uint8_t i = 0; i < 4; ++i) {
            DRIVE_INFO s;
            ClearDriveInfoRecord(&s);
            s.bEnclosureNo = 1;
            s.bSlotNo = c.abSlots[i];
            s.abWWN[0] = 0x50;
            s.abWWN[7] = static_cast<uint8_t>(i + 1);
            fAppendDriveInfo(psSource, &s);
        }
        SortDriveInfoList(psSource, pGetDriveInfoListSorted());
        const uint32_t dBefore = dGetDriveTableChangeCount();
        CommitDriveInfoList();
        EXPECT_EQ(dGetDriveTableChangeCount(), dBefore + 1);
        ASSERT_EQ(pGetDriveInfoList()->bDriveCount, 4);
        EXPECT_EQ(pGetDriveInfoList()->dUsedBytes, 8u + 4 * 72);
        for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(pGetDriveInfoList()->asDriveInfo[i].abWWN[7], c.abExpectedTail[i]);
    }
}

TEST_F(DriveTableTest, FullTableAndOutOfRangeLoopIdsStayInBounds) {
    for (uint8_t i = 0; i < DRIVE_INFO_RECORDS; ++i) Add(i, 1, 1, i);
    DRIVE_INFO s;
    ClearDriveInfoRecord(&s);
    EXPECT_EQ(fAppendDriveInfo(pGetDriveInfoList(), &s), FALSE);
    EXPECT_EQ(pGetDriveInfoList()->bDriveCount, DRIVE_INFO_RECORDS);
    // Second loop IDs above the maps: refused, counted, nothing written past them.
    pGetDriveInfoList()->asDriveInfo[0].bLoopID2 = 200;
    pGetDriveInfoList()->asDriveInfo[1].bLoopID1 = 127;
    pGetDriveInfoList()->asDriveInfo[1].bLoopID2 = 126;
    ClearDriveSlotMaps();
    EXPECT_EQ(dGetDrivePathMapRefusals(), 5u);
    EXPECT_EQ(psGetDrivePathMap(4)[0].bOwnId, 0xFF);
    RecordDriveActivityTick(3, 200);
    CountVerifyCompletionById(126);
    EXPECT_EQ(dGetVerifyCompletionCount(126), 0u);
}

TEST_F(DriveTableTest, SortTakesTargetRankAndMemberFromDeviceListAndConfiguration) {
    const uint8_t abMember[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, 0x10};
    const uint8_t abFailed[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, 0x20};
    const uint8_t abUnknown[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, 0x30};
    AddDevice(12, abMember, TRUE);
    AddDevice(14, abFailed, TRUE);
    SetRankCount(3);
    pGetRankRecord(2)->bDriveCount = 4;
    pGetRankRecord(2)->abMemberDrive[3] = 12;
    AddFailedDriveWwn(abFailed, pGetConfigImage(), 0, 0, 0, 0, 0);

    DRIVE_INFO_LIST* psSource = pGetDriveInfoListDiscovery();
    struct Source {
        const uint8_t* pbWwn;
        uint8_t bStatus;
    } const aSource[] = {{abMember, DRIVE_STATUS_FIRMWARE_DOWNLOAD}, {abFailed, 0}, {abUnknown, 0}};
    for (uint8_t i = 0; i < 3; ++i) {
        DRIVE_INFO s;
        ClearDriveInfoRecord(&s);
        s.bLoopID1 = 0x40;   // discovery's ids are replaced by the device list's
        s.bLoopID2 = 0x41;
        s.bEnclosureNo = 1;
        s.bSlotNo = static_cast<uint8_t>(3 - i);
        s.bRankNo = 7;       // and rank, member and status by the configuration's
        s.bDriveNo = 7;
        s.bDriveStatus = aSource[i].bStatus;
        std::memcpy(s.abWWN, aSource[i].pbWwn, 8);
        fAppendDriveInfo(psSource, &s);
    }
    SortDriveInfoList(psSource, pGetDriveInfoListSorted());
    const DRIVE_INFO_LIST* ps = pGetDriveInfoListSorted();
    ASSERT_EQ(ps->bDriveCount, 3);
    struct Expected {
        uint8_t bLoopId, bRank, bMember, bStatus;
    } const aExpected[] = {{0xFF, 0xFF, 0xFF, DRIVE_STATUS_NORMAL},
                           {14, 0xFF, 0xFF, DRIVE_STATUS_FAILED_LIST},
                           {12, 2, 3, DRIVE_STATUS_NORMAL}};
    for (uint8_t i = 0; i < 3; ++i) {
        const DRIVE_INFO& s = ps->asDriveInfo[i];
        EXPECT_EQ(s.bSlotNo, i + 1);
        EXPECT_EQ(s.bLoopID1, aExpected[i].bLoopId) << int(i);
        EXPECT_EQ(s.bLoopID2, 0xFF);
        EXPECT_EQ(s.bRankNo, aExpected[i].bRank) << int(i);
        EXPECT_EQ(s.bDriveNo, aExpected[i].bMember) << int(i);
        EXPECT_EQ(s.bDriveStatus, aExpected[i].bStatus) << int(i);
    }
}

TEST_F(DriveTableTest, MappedSlotAndVerifyRepairCounters) {
    Add(5, 1, 1, 0x10);
    Add(9, 1, 2, 0x20);
    DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
    psSlots->abDrive[4] = 9;
    psSlots->abDrive[5] = 0xFF;
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    EXPECT_EQ(fFindDriveByLoopIDMapped(4, &ps, &bIndex), TRUE);
    EXPECT_EQ(bIndex, 1);
    EXPECT_EQ(fFindDriveByLoopIDMapped(5, &ps, &bIndex), FALSE);      // a free slot names no drive
    EXPECT_EQ(fFindDriveByLoopIDMapped(DRIVE_SLOTS, &ps, &bIndex), FALSE);

    ClearDriveSlotMaps();
    const uint8_t abWwn[8] = {0x50, 0x05, 0xD5, 0xD0, 0x00, 0xA0, 0x00, 0x20};
    const uint8_t abUnset[8] = {};
    CountVerifyRepairByWwn(abWwn);
    CountVerifyRepairByWwn(abWwn);
    CountVerifyRepairByWwn(abUnset);
    CountVerifyCompletionById(5);
    EXPECT_EQ(dGetVerifyRepairCount(9), 2u);
    EXPECT_EQ(dGetVerifyRepairCount(5), 0u);
    EXPECT_EQ(dGetVerifyCompletionCount(5), 1u);
}

TEST_F(DriveTableTest, InquiryIdentityAndManagementCopy) {
    uint8_t abInquiry[48];
    for (uint8_t i = 0; i < 48; ++i) abInquiry[i] = static_cast<uint8_t>('0' + i % 40);
    std::memcpy(abInquiry + 8, "SIMDRIVE", 8);
    char acVendor[8], acProduct[16], acRevision[4], acSerial[8];
    ExtractInquiryIdentity(abInquiry, acVendor, acProduct, acRevision, acSerial);
    EXPECT_EQ(std::memcmp(acVendor, "SIMDRIVE", 8), 0);
    EXPECT_EQ(std::memcmp(acProduct, abInquiry + 16, 16), 0);
    EXPECT_EQ(std::memcmp(acRevision, abInquiry + 32, 4), 0);
    EXPECT_EQ(std::memcmp(acSerial, abInquiry + 36, 8), 0);
    std::memcpy(abInquiry + 8, "FUJITSU ", 8);
    ExtractInquiryIdentity(abInquiry, acVendor, acProduct, acRevision, acSerial);
    EXPECT_EQ(std::memcmp(acSerial, abInquiry + 40, 8), 0);

    DRIVE_INFO* psSas = Add(5, 1, 1, 0x10);
    DRIVE_INFO* psSata = Add(6, 1, 2, 0x20);
    Add(7, 1, 3, 0x30);
    AddDevice(5, psSas->abWWN, TRUE);
    AddDevice(6, psSata->abWWN, FALSE);
    psSas->bVerifyRepair = 1;
    static uint8_t s_abCopy[DRIVE_TABLE_MANAGEMENT_BYTES + 8];
    std::memset(s_abCopy, 0xEE, sizeof s_abCopy);
    BuildManagementDriveTable(s_abCopy);
    const auto* psCopy = reinterpret_cast<const DRIVE_INFO_LIST*>(s_abCopy);
    EXPECT_EQ(psCopy->bDriveCount, 3);
    EXPECT_EQ(psCopy->asDriveInfo[0].bVerifyRepair, DRIVE_INTERFACE_SAS);
    EXPECT_EQ(psCopy->asDriveInfo[1].bVerifyRepair, DRIVE_INTERFACE_SATA);
    EXPECT_EQ(psCopy->asDriveInfo[2].bVerifyRepair, DRIVE_INTERFACE_UNKNOWN);
    EXPECT_EQ(s_abCopy[DRIVE_TABLE_MANAGEMENT_BYTES], 0xEE);   // nothing past the records
    EXPECT_EQ(psSas->bVerifyRepair, 1);                       // the table itself is untouched
}

TEST_F(DriveTableTest, PartnerDownloadStateMarksTheDownloadDrive) {
    DRIVE_INFO* ps = Add(5, 1, 1, 0x10);
    ps->bRankNo = 2;
    ps->bDriveNo = 1;
    DRIVE_INFO* psOther = Add(6, 1, 2, 0x20);
    psOther->bRankNo = 3;
    psOther->bDriveNo = 0;
    uint8_t abMessage[64] = {};
    abMessage[2] = TRUE;
    abMessage[3] = 97;
    abMessage[4] = 5;
    abMessage[5] = 2;
    abMessage[6] = 1;
    ApplyPartnerDriveFirmwareDownloadState(abMessage);
    EXPECT_EQ(ps->bDriveStatus, DRIVE_STATUS_FIRMWARE_DOWNLOAD);
    EXPECT_EQ(fIsDriveFirmwareDownloadInProgress(), TRUE);
    EXPECT_EQ(fGetDriveFirmwareDownloadPartnerSync(), TRUE);
    // The partner moves on to the next drive: the first is normal again.
    abMessage[5] = 3;
    abMessage[6] = 0;
    ApplyPartnerDriveFirmwareDownloadState(abMessage);
    EXPECT_EQ(ps->bDriveStatus, DRIVE_STATUS_NORMAL);
    EXPECT_EQ(psOther->bDriveStatus, DRIVE_STATUS_FIRMWARE_DOWNLOAD);
    abMessage[2] = FALSE;
    ApplyPartnerDriveFirmwareDownloadState(abMessage);
    EXPECT_EQ(psOther->bDriveStatus, DRIVE_STATUS_NORMAL);
    EXPECT_EQ(fIsDriveFirmwareDownloadInProgress(), FALSE);
}

// A drive firmware file header naming the drives it applies to.
struct FileHeader {
    uint8_t ab[1024] = {};
    FileHeader(const char* pszRevision, std::initializer_list<const char*> products) {
        const uint32_t dLength = 0x1234;
        std::memcpy(ab + 20, &dLength, 4);
        ab[28] = 1;
        ab[29] = static_cast<uint8_t>(products.size());
        std::memcpy(ab + 36, pszRevision, 4);
        uint32_t dAt = 808;
        for (const char* psz : products) {
            std::memcpy(ab + dAt, "SIMDRIVE", 8);
            std::memset(ab + dAt + 8, ' ', 16);
            std::memcpy(ab + dAt + 8, psz, std::strlen(psz));
            dAt += 24;
        }
    }
};

TEST_F(DriveTableTest, FirmwareFileListAddsPrunesAndMatchesDrives) {
    auto SetIdentity = [](DRIVE_INFO* ps, const char* pszProduct, const char* pszRevision, uint8_t fStored) {
        std::memcpy(ps->acVendorID, "SIMDRIVE", 8);
        std::memset(ps->acProductID, ' ', 16);
        std::memcpy(ps->acProductID, pszProduct, std::strlen(pszProduct));
        std::memcpy(ps->acRevision, pszRevision, 4);
        ps->fFirmwareFileStored = fStored;
    };
    SetIdentity(Add(1, 1, 1, 1), "ALPHA", "0100", FALSE);
    SetIdentity(Add(2, 1, 2, 2), "BETA", "0200", TRUE);
    SetIdentity(Add(3, 1, 3, 3), "ALPHA", "0100", TRUE);

    AddDriveFirmwareImage(FileHeader("0100", {"GAMMA", "ALPHA"}).ab);
    AddDriveFirmwareImage(FileHeader("0100", {"GAMMA", "ALPHA"}).ab);   // the same file again
    AddDriveFirmwareImage(FileHeader("0300", {"BETA"}).ab);              // no drive runs 0300
    AddDriveFirmwareImage(FileHeader("0200", {"BETA"}).ab);
    const DRIVE_FIRMWARE_IMAGE_LIST* psList = pGetDriveFirmwareImageList();
    ASSERT_EQ(psList->bCount, 3);
    EXPECT_EQ(psList->asEntry[0].dFileLength, 0x1234u);
    EXPECT_EQ(psList->asEntry[0].bPairCount, 2);
    EXPECT_EQ(std::memcmp(psList->asEntry[0].asPair[1].acProduct, "ALPHA", 5), 0);

    uint8_t b = 0;
    EXPECT_EQ(fFindDriveForFirmwareImage(0, 0, &b), TRUE);
    EXPECT_EQ(b, 2);                                   // the first drive with a stored file
    EXPECT_EQ(fFindDriveForFirmwareImage(0, 3, &b), FALSE);
    EXPECT_EQ(b, 0xFF);
    EXPECT_EQ(fFindDriveForFirmwareImage(3, 0, &b), 0);     // no such entry
    EXPECT_EQ(fFindDriveForFirmwareImage(0, DRIVE_INFO_RECORDS, &b), 0);
    EXPECT_EQ(fFindFirmwareImageForDrive(1, &b), TRUE);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(fFindFirmwareImageForDrive(0, &b), 0);         // no stored file
    EXPECT_EQ(fFindFirmwareImageForDrive(3, &b), 0);         // no such drive

    PruneDriveFirmwareImageList();
    ASSERT_EQ(psList->bCount, 2);
    EXPECT_EQ(std::memcmp(psList->asEntry[0].acRevision, "0100", 4), 0);
    EXPECT_EQ(std::memcmp(psList->asEntry[1].acRevision, "0200", 4), 0);
    EXPECT_EQ(psList->asEntry[2].dFileLength, 0u);

    // A full list takes no further file.
    for (uint16_t i = psList->bCount; i < DRIVE_FIRMWARE_IMAGE_ENTRIES; ++i) {
        char acRevision[5];
        std::snprintf(acRevision, sizeof acRevision, "R%03u", i);
        AddDriveFirmwareImage(FileHeader(acRevision, {"ALPHA"}).ab);
    }
    ASSERT_EQ(psList->bCount, DRIVE_FIRMWARE_IMAGE_ENTRIES);
    AddDriveFirmwareImage(FileHeader("0999", {"ALPHA"}).ab);
    EXPECT_EQ(psList->bCount, DRIVE_FIRMWARE_IMAGE_ENTRIES);
}

// Which slot each expander phy leads to, by enclosure model, side and path.
TEST(ExpanderSlotMap, PhysMapToSlotsByModel) {
    struct Case {
        uint8_t bEnclosure, bType, bSide, bPath, bPhy, bSlot;
    } const aCases[] = {
        {1, 0, 0, 0, 0, 0xB0},    {1, 0, 0, 0, 8, 0xA0},    {1, 0, 0, 0, 12, 9},      {1, 0, 1, 1, 23, 4},
        {1, 0, 0, 0, 24, 0xFF},   {2, 0x10, 0, 0, 4, 0xB1}, {2, 0x10, 0, 0, 14, 1},   {2, 0x11, 1, 0, 11, 0xFF},
        {2, 0x11, 1, 0, 12, 4},   {2, 0x11, 0, 0, 12, 9},   {2, 0x11, 0, 0, 35, 0xC0}, {2, 0x11, 0, 0, 36, 0xFF},
        {3, 6, 0, 0, 0, 11},      {3, 6, 0, 1, 0, 9},       {3, 6, 0, 2, 0, 0xFF},    {3, 2, 0, 0, 5, 11},
        {3, 2, 0, 1, 5, 6},       {3, 2, 0, 1, 12, 0xFF},   {3, 2, 0, 1, 13, 0xFF},
    };
    for (const Case& c : aCases) {
        SAS_EXPANDER s{};
        s.bEnclosure = c.bEnclosure;
        s.bEnclosureType = c.bType;
        s.bSide = c.bSide;
        s.bPath = c.bPath;
        EXPECT_EQ(bSlotOfExpanderPhy(&s, c.bPhy), c.bSlot)
            << int(c.bEnclosure) << " " << int(c.bType) << " " << int(c.bSide) << " " << int(c.bPath) << " "
            << int(c.bPhy);
    }
}

}  // namespace
