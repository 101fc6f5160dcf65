// The enclosure code's small services: the retry back-off, the SAS address
// comparison, and the console dumps of bytes and supported pages.
#include <gtest/gtest.h>

#include <cstring>
#include <cstdio>
#include <string>

#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/enclosure_utilities.h"
#include "executive/tick.h"
#include "harness/config_test.h"
#include "sas/sas_device_list.h"

namespace {

using fw::FALSE;
using fw::TRUE;

class EnclosureUtilitiesTest : public harness::ConfigTest {
protected:
    // The console turns each line end into CR LF.
    std::string Printed() { return board.ConsoleText(); }
};

TEST(SesRetryBackoff, FourQuickRetriesThenLongWaits) {
    fw::ResetSesRetryBackoff();
    for (uint8_t i = 1; i <= 6; ++i) {
        fw::SesRetryBackoff(FALSE);
        EXPECT_EQ(fw::dGetSesRetryTime() - fw::dGetCoarseTick(), i <= 4 ? 60u : 600u) << int(i);
    }
    EXPECT_EQ(fw::fIsSesRetryDue(), FALSE);
    fw::ResetSesRetryBackoff();
    EXPECT_EQ(fw::bGetSesRetryAttempts(), 0);
    fw::SesRetryBackoff(FALSE);
    EXPECT_EQ(fw::dGetSesRetryTime() - fw::dGetCoarseTick(), 60u);
}

TEST(SameSasAddress, TheTwoPortsOfADeviceAreOneAddress) {
    const uint8_t a[8] = {0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10, 0x3F};
    uint8_t b[8] = {0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x12, 0x3F};
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), TRUE);
    b[6] = 0x11;
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), FALSE);
    b[6] = 0x10;
    b[7] = 0x3E;
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), FALSE);
    b[7] = 0x3F;
    b[0] = 0x51;
    EXPECT_EQ(fw::fIsSameSasAddress(a, b), FALSE);
}

TEST_F(EnclosureUtilitiesTest, HexDumpShowsOffsetsGroupsAndText) {
    uint8_t ab[20];
    for (uint8_t i = 0; i < 20; ++i) ab[i] = static_cast<uint8_t>(0x3E + i);
    ab[1] = 0x7F;
    fw::HexDumpBytes(ab, sizeof ab);
    EXPECT_EQ(Printed(),
              "0000  3e 7f 40 41 - 42 43 44 45 - 46 47 48 49 - 4a 4b 4c 4d {>.@ABCDEFGHIJKLM}\r\n"
              "0016  4e 4f 50 51 - {NOPQ}\r\n");
}

TEST_F(EnclosureUtilitiesTest, SupportedPagesAreListedAndNamedWithinTheirCopy) {
    fw::InitEnclosureTable();
    fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    ASSERT_NE(ps, nullptr);
    ps->dTotalNoOfEnclosures = 3;
    const uint8_t abList[] = {0, 0, 0, 5, 0x00, 0x01, 0x02, 0x07, 0x89};
    std::memcpy(ps->asEnclosure[0].abSupportedPages, abList, sizeof abList);
    // A list that claims more pages than its copy holds.
    uint8_t* pbLong = ps->asEnclosure[1].abSupportedPages;
    pbLong[0] = 0;
    pbLong[3] = 200;
    for (uint8_t i = 4; i < fw::ENCLOSURE_SUPPORTED_COPY_BYTES; ++i) pbLong[i] = 0x05;
    ps->asEnclosure[2].abSupportedPages[0] = fw::ENCLOSURE_PAGE_NONE;
    fw::ShowSupportedDiagnosticPages();
    EXPECT_EQ(Printed(),
              "Enclosure 1 \r\nCurrent Supported Diagnostics\r\n00 01 02 07 89 \r\n"
              "\r\nConfiguration Page\r\n\r\nStatus Page\r\n\r\nElement Descriptor Page\r\n"
              "Enclosure 2 \r\nCurrent Supported Diagnostics\r\n"
              "05 05 05 05 05 05 05 05 05 05 05 05 \r\n\r\nThreshold In Page\r\n"
              "Enclosure 3 \r\nCurrent Supported Diagnostics\r\n\r\n");
}

class EnclosureDevicesTest : public EnclosureUtilitiesTest {
protected:
    void SetUp() override {
        EnclosureUtilitiesTest::SetUp();
        fw::InitEnclosureTable();
        fw::ClearDriveInfoList(fw::pGetDriveInfoList());
    }
    void TearDown() override {
        fw::SetSesLevel(m_bSesLevel);
        EnclosureUtilitiesTest::TearDown();
    }
    static void AddDrives(uint8_t bCount, uint8_t bEnclosure) {
        for (uint8_t i = 0; i < bCount; ++i) {
            fw::DRIVE_INFO s;
            fw::ClearDriveInfoRecord(&s);
            s.bLoopID1 = static_cast<uint8_t>(fw::pGetDriveInfoList()->bDriveCount + 10);
            s.bEnclosureNo = bEnclosure;
            s.bSlotNo = static_cast<uint8_t>(i + 1);
            ASSERT_EQ(fw::fAppendDriveInfo(fw::pGetDriveInfoList(), &s), TRUE);
        }
    }
    static void AddProcessor(uint8_t bEnclosure, uint8_t bTarget) {
        fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
        auto* psRecord = reinterpret_cast<fw::SAS_STP_ENTRY*>(ps->aabEnclosureRecord[ps->bEnclosureRecordCount++]);
        std::memset(psRecord, 0, sizeof *psRecord);
        psRecord->bEnclosure = bEnclosure;
        psRecord->bTargetId = bTarget;
    }
    const uint8_t m_bSesLevel = fw::bGetSesLevel();
};

TEST_F(EnclosureDevicesTest, AnEnclosuresSesDeviceIsFoundThroughItsDrives) {
    AddDrives(2, 3);
    AddDrives(1, 0x80 | 2);   // the high bit is not part of the number
    AddProcessor(2, 70);
    AddProcessor(3, 71);
    AddProcessor(3, 72);
    uint8_t bDevice = 0;
    EXPECT_EQ(fw::bGetSesDeviceForEnclosure(3, &bDevice), fw::STATUS_OK);
    EXPECT_EQ(bDevice, 71);
    EXPECT_EQ(fw::bGetSesDeviceForEnclosure(2, &bDevice), fw::STATUS_OK);
    EXPECT_EQ(bDevice, 70);
    EXPECT_EQ(fw::bGetSesDeviceById(3, &bDevice), fw::STATUS_OK);
    EXPECT_EQ(bDevice, 71);
    // No drive in the enclosure, or no processor for it.
    bDevice = 0x55;
    EXPECT_EQ(fw::bGetSesDeviceForEnclosure(4, &bDevice), 0);
    AddDrives(1, 5);
    EXPECT_EQ(fw::bGetSesDeviceForEnclosure(5, &bDevice), 0);
    EXPECT_EQ(fw::bGetSesDeviceById(9, &bDevice), 0);
    EXPECT_EQ(bDevice, 0x55);
}

TEST_F(EnclosureDevicesTest, DrivesWithoutEnclosureServicesGetTwelveSlotEnclosures) {
    fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    // Nothing without drives.
    EXPECT_EQ(fw::bBuildDirectDriveEnclosures(), 0);
    EXPECT_EQ(ps->dTotalNoOfEnclosures, 0u);
    AddDrives(12, 0xFF);
    AddDrives(13, 0xFF);
    fw::SetSesLevel(fw::SES_LEVEL_NONE);
    ASSERT_EQ(fw::bBuildDirectDriveEnclosures(), fw::STATUS_OK);
    EXPECT_EQ(ps->bTotalNoOfDrives, 25u);
    ASSERT_EQ(ps->dTotalNoOfEnclosures, 3u);
    const uint8_t abPresent[3] = {12, 12, 1};
    for (uint8_t n = 0; n < 3; ++n) {
        const fw::ENCLOSURE& s = ps->asEnclosure[n];
        EXPECT_EQ(s.bNoOfDrives, 12) << int(n);
        EXPECT_EQ(s.bNoOfDrivesPresent, abPresent[n]) << int(n);
        for (uint8_t k = 0; k < 12; ++k) EXPECT_EQ(s.abSlotToElement[k], k + 1) << int(n);
        EXPECT_EQ(s.abSlotToElement[12], 0) << int(n);
    }
    // The services' own table is not overwritten.
    ps->dTotalNoOfEnclosures = 1;
    fw::SetSesLevel(fw::SES_LEVEL_FULL);
    EXPECT_EQ(fw::bBuildDirectDriveEnclosures(), 0);
    fw::SetSesLevel(fw::SES_LEVEL_NONE);
    ps->fSesDataValid = TRUE;
    EXPECT_EQ(fw::bBuildDirectDriveEnclosures(), 0);
    EXPECT_EQ(ps->dTotalNoOfEnclosures, 1u);
}

TEST_F(EnclosureDevicesTest, TheDebugDumpsOfDrivesProcessorsAndTheTable) {
    AddDrives(1, 2);
    fw::DRIVE_INFO& d = fw::pGetDriveInfoList()->asDriveInfo[0];
    d.bLoopID2 = 0x8A;
    d.bSES_SlotId = 4;
    d.bSES0_IDLoop1 = 0x41;
    d.fSESEnabled = TRUE;
    d.bRankNo = 245;
    d.dCapacity = 0x1FFFF;
    d.wBlockSize = 512;
    d.bSES_ArrayFlags = 0x80;
    fw::DumpDriveSesFields();
    EXPECT_EQ(Printed(),
              "************\r\npsDriveInfoList->asDriveInfo[i].bLoopID1: 0000000a\r\nbLoopID2: 0000008a\r\n"
              "bHardIDFromADISC : 000000ff\r\nbEnclosureNo: 00000002\r\nbSES_SlotId : 00000004\r\n"
              ".bSlotNo : 00000001\r\nbSES0_IDLoop1 : 00000041\r\nbSES0_IDLoop2 : 000000ff\r\n"
              "bSES1_IDLoop1 : 000000ff\r\nbSES1_IDLoop2 : 000000ff\r\nfSESEnabled : 000000f1\r\n"
              "bRankNo : 000000f5\r\nbDriveNo : 000000ff\r\nbDriveStatus : 00000000\r\ndCapacity : 0001ffff\r\n"
              "wBlockSize : 00000200\r\nbSES_ArrayFlags: 00000080\r\nbSES_ControlFlags: 00000000\r\n"
              "wBlockSize : 00000200\r\n************\r\n");

    board.ClearConsoleText();
    fw::SAS_DEVICE_LIST* psOwn = fw::pGetSASDriveInfoList();
    fw::SAS_DEVICE_LIST* psOther = fw::pGetOCSASDriveInfoList();
    fw::InitSASDeviceList(psOwn);
    fw::InitSASDeviceList(psOther);
    auto* psRecord = reinterpret_cast<fw::SAS_STP_ENTRY*>(psOwn->aabStp[0]);
    psRecord->bEnclosure = 2;
    psRecord->bTargetId = 0x40;
    const uint8_t abAddress[8] = {0x50, 0x0A, 0x0B, 0x0C, 0x00, 0x00, 0x12, 0x3E};
    std::memcpy(psRecord->abSASAddressBE, abAddress, 8);
    psOwn->bStpCount = 1;
    std::memcpy(psOther->aabStp[0], psRecord, sizeof *psRecord);
    psOther->bStpCount = 1;
    fw::DumpSasEnclosureLists();
    EXPECT_EQ(Printed(),
              "Current List:\r\nbEnclosureNo: 02\r\nbTargetId: 40\r\nSAS Address:\r\n500a0b0c0000123e\r\n"
              "***STP From Expander Other Controller :\r\nbEnclosureNo: 02\r\nbTargetId: 40\r\n"
              "Other SAS Address:\r\n500a0b0c0000123e\r\n");
    // A count past the list is shown only as far as the list goes.
    psOther->bStpCount = 0;
    psOwn->bStpCount = 200;
    board.ClearConsoleText();
    fw::DumpSasEnclosureLists();
    EXPECT_EQ(Printed().size(), std::string("Current List:\r\n").size() + 40 * (18 + 15 + 14 + 18));

    board.ClearConsoleText();
    fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
    ps->bTotalNoOfDrives = 5;
    ps->dTotalNoOfEnclosures = 1;
    ps->asEnclosure[0].bNoOfDrivePath = 2;
    ps->asEnclosure[0].bNoOfDrives = 12;
    ps->asEnclosure[0].bNoOfDrivesPresent = 5;
    const uint8_t abId[8] = {0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xA7};
    std::memcpy(ps->asEnclosure[0].abEclosureIdentifier, abId, 8);
    fw::DumpEnclosureTable();
    std::string sId;
    for (uint8_t b : abId) {
        char ac[64];
        std::snprintf(ac, sizeof ac, "asEnclosure[i].abEclosureIdentifier %x\r\n", b);
        sId += ac;
    }
    EXPECT_EQ(Printed(), "***********************************\r\nbTotalNoOfDrives: 5\r\ndTotalNoOfEnclosures: 1\r\n"
                         "dCurrentEnclosure: 0\r\nbNoOfDrivePath: 2\r\nbNoOfDrives: c\r\nbNoOfDrivesPresent: 5\r\n"
                         "bFirstDriveInList: 0\r\n" + sId + "***********************************\r\n");
}

}  // namespace
