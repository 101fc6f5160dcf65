// The mode page adjustment, and the internal drive commands of the drive
// loops: their command entry, the status entry read back, what happens on a
// board without a drive-loop chip, and MODE SENSE and MODE SELECT on a drive
// of a loop.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "enclosure/drive_commands.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "tests/fc/drive_loop_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fw::FALSE;
using fw::TRUE;

struct Page {
    uint8_t bCode;
    Bytes ab;   // the page bytes after the two-byte page header
};

// A MODE SENSE(6) reply for all pages, in a 256-byte buffer.
Bytes Reply(const std::vector<Page>& aPages, uint32_t dBlockLength = 512, int iDataLength = -1) {
    Bytes ab(fw::MODE_PAGE_BUFFER_BYTES, 0);
    ab[2] = 0x10;
    ab[3] = 8;
    ab[4] = 0x01;                 // density code, cleared by the adjustment
    ab[5] = 0x12;
    ab[6] = 0x34;
    ab[7] = 0x56;
    ab[9] = static_cast<uint8_t>(dBlockLength >> 16);
    ab[10] = static_cast<uint8_t>(dBlockLength >> 8);
    ab[11] = static_cast<uint8_t>(dBlockLength);
    size_t at = 12;
    for (const Page& p : aPages) {
        ab[at] = static_cast<uint8_t>(0x80 | p.bCode);
        ab[at + 1] = static_cast<uint8_t>(p.ab.size());
        std::memcpy(&ab[at + 2], p.ab.data(), p.ab.size());
        at += 2 + p.ab.size();
    }
    ab[0] = static_cast<uint8_t>(iDataLength >= 0 ? iDataLength : at - 1);
    return ab;
}

// Pages as a drive might hold them, and what the controller wants.
const Page kErrorsNow{0x01, {0xC0, 0x14, 0, 0, 0, 0, 0x14, 0, 0xFF, 0xFF}};
const Page kErrorsWanted{0x01, {0xCC, 0x14, 0, 0, 0, 0, 0x14, 0, 0x13, 0x88}};
const Page kVerifyNow{0x07, {0x00, 0x14, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}};
const Page kVerifyWanted{0x07, {0x04, 0x14, 0, 0, 0, 0, 0, 0, 0x13, 0x88}};
const Page kCachingNow{0x08, {0x05, 0, 0xFF, 0xFF}};
const Page kCachingWanted{0x08, {0x00, 0, 0xFF, 0xFF}};
const Page kExceptionsNow{0x1C, {0x08, 0x06, 0, 0}};
const Page kExceptionsWanted{0x1C, {0x90, 0x04, 0, 0}};
const Page kAllChangeable01{0x01, Bytes(10, 0xFF)};
const Page kAllChangeable07{0x07, Bytes(10, 0xFF)};
const Page kAllChangeable08{0x08, {0x05, 0, 0, 0}};
const Page kAllChangeable1C{0x1C, {0x99, 0x0F, 0, 0}};

fw::DRIVE_INFO Drive(const char* pszVendor) {
    fw::DRIVE_INFO s;
    fw::ClearDriveInfoRecord(&s);
    std::memset(s.acVendorID, ' ', sizeof s.acVendorID);
    std::memcpy(s.acVendorID, pszVendor, std::strlen(pszVendor));
    return s;
}

TEST(ModePageAdjustment, SetsWhatTheControllerWantsWhereTheDriveAllowsIt) {
    struct Case {
        const char* pszWhat;
        const char* pszVendor;
        std::vector<Page> aNow, aChangeable;
        std::vector<Page> aAfter;
        uint8_t fResult;
    };
    const std::vector<Page> aChangeable{kAllChangeable01, kAllChangeable07, kAllChangeable08, kAllChangeable1C};
    const Case cases[] = {
        {"everything to change", "DRIVEVND", {kErrorsNow, kVerifyNow, kCachingNow, kExceptionsNow}, aChangeable,
         {kErrorsWanted, kVerifyWanted, kCachingWanted, kExceptionsWanted}, TRUE},
        {"the quirk vendor keeps its verify time limit", "FUJITSU", {kVerifyNow}, {kAllChangeable07},
         {{0x07, {0x04, 0x14, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}}}, TRUE},
        {"a vendor merely starting alike is no quirk", "FUJITSX", {kVerifyNow}, {kAllChangeable07}, {kVerifyWanted},
         TRUE},
        // The write cache bit cannot change: the caching byte stays whole,
        // the read cache bit with it.
        {"an unchangeable bit", "DRIVEVND", {kCachingNow, kExceptionsNow}, {{0x08, {0x01, 0, 0, 0}}, kAllChangeable1C},
         {kCachingNow, kExceptionsWanted}, TRUE},
        {"nothing changeable", "DRIVEVND", {kExceptionsNow}, {{0x1C, {0, 0, 0, 0}}}, {kExceptionsNow}, FALSE},
    };
    for (const Case& c : cases) {
        Bytes abNow = Reply(c.aNow);
        Bytes abDefault = abNow;
        const Bytes abChangeable = Reply(c.aChangeable);
        const fw::DRIVE_INFO sDrive = Drive(c.pszVendor);
        EXPECT_EQ(fw::fAdjustDriveModePages(&sDrive, abNow.data(), abDefault.data(), abChangeable.data()), c.fResult)
            << c.pszWhat;
        Bytes abWant = Reply(c.aAfter);
        for (size_t at = 12; at < abWant[0] + 1u; at += 2 + abWant[at + 1]) abWant[at] &= 0x3F;
        if (c.fResult == TRUE) {
            std::memset(abWant.data(), 0, 3);
            std::memset(abWant.data() + 4, 0, 5);
            EXPECT_EQ(abNow, abWant) << c.pszWhat;
        } else {
            EXPECT_EQ(Bytes(abNow.begin() + 12, abNow.end()), Bytes(abWant.begin() + 12, abWant.end())) << c.pszWhat;
        }
    }
}

TEST(ModePageAdjustment, PagesAlreadyRightLeaveEverythingIntact) {
    Bytes abNow = Reply({kErrorsWanted, kVerifyWanted, kCachingWanted, kExceptionsWanted});
    const Bytes abBefore = abNow;
    Bytes abDefault = Reply({kErrorsNow, kVerifyNow, kCachingNow, kExceptionsNow});
    const Bytes abChangeable = Reply({kAllChangeable01, kAllChangeable07, kAllChangeable08, kAllChangeable1C});
    const fw::DRIVE_INFO sDrive = Drive("DRIVEVND");
    EXPECT_EQ(fw::fAdjustDriveModePages(&sDrive, abNow.data(), abDefault.data(), abChangeable.data()), FALSE);
    EXPECT_EQ(Bytes(abNow.begin(), abNow.begin() + 12), Bytes(abBefore.begin(), abBefore.begin() + 12));
}

// The pages go back when any byte of the block length is the one a
// 512-byte block has there (0, 2, 0), each byte on its own.
TEST(ModePageAdjustment, PagesGoBackWhenAnyByteOfTheBlockLengthIsAFiveHundredTwelves) {
    struct Case {
        uint32_t dLength;
        uint8_t fResult;
    };
    const Case cases[] = {{512, TRUE},       {520, TRUE},       {0x010200, TRUE},  {0x020000, TRUE},
                          {4096, TRUE},      {0x010101, FALSE}, {0x000101, TRUE},  {0x010201, TRUE},
                          {0x010100, TRUE},  {0xFFFFFF, FALSE}};
    for (const Case& c : cases) {
        Bytes abNow = Reply({kExceptionsNow}, c.dLength);
        Bytes abDefault = abNow;
        const Bytes abChangeable = Reply({kAllChangeable1C}, c.dLength);
        const fw::DRIVE_INFO sDrive = Drive("DRIVEVND");
        EXPECT_EQ(fw::fAdjustDriveModePages(&sDrive, abNow.data(), abDefault.data(), abChangeable.data()), c.fResult)
            << std::hex << c.dLength;
        // Changed either way: the header and the descriptor's count are cleared.
        EXPECT_EQ(abNow[14], 0x90) << std::hex << c.dLength;
        EXPECT_EQ(Bytes(abNow.begin() + 4, abNow.begin() + 9), Bytes(5, 0)) << std::hex << c.dLength;
    }
}

TEST(ModePageAdjustment, APageRunningPastTheDataStopsTheWalk) {
    // The second page says it is longer than what the drive sent.
    Bytes abNow = Reply({kExceptionsNow, {0x01, Bytes(10, 0xFF)}});
    abNow[12 + 6 + 1] = 250;
    abNow[0] = static_cast<uint8_t>(12 + 6 + 12 - 1);
    Bytes abDefault = abNow;
    Bytes abChangeable = Reply({kAllChangeable1C, kAllChangeable01});
    abChangeable[12 + 6 + 1] = 250;
    const Bytes abTail(abNow.begin() + 12 + 6, abNow.end());
    const fw::DRIVE_INFO sDrive = Drive("DRIVEVND");
    EXPECT_EQ(fw::fAdjustDriveModePages(&sDrive, abNow.data(), abDefault.data(), abChangeable.data()), TRUE);
    EXPECT_EQ(abNow[14], 0x90);
    EXPECT_EQ(Bytes(abNow.begin() + 12 + 6, abNow.end()), abTail);
    // A mode data length of 255 cannot take the walk past the buffer either.
    Bytes abLong(fw::MODE_PAGE_BUFFER_BYTES, 0x3F);
    abLong[0] = 255;
    abLong[12] = 0x01;
    abLong[13] = 0xF0;
    Bytes abLongDefault = abLong;
    EXPECT_EQ(fw::fAdjustDriveModePages(&sDrive, abLong.data(), abLongDefault.data(), abLong.data()), FALSE);
}

TEST(ModePageAdjustment, AnUnknownPageEndsTheAdjustment) {
    Bytes abNow = Reply({kExceptionsNow});
    Bytes abDefault = Reply({{0x0A, {0x08, 0x06, 0, 0}}});
    const Bytes abChangeable = Reply({{0x0A, {0xFF, 0xFF, 0, 0}}});
    const fw::DRIVE_INFO sDrive = Drive("DRIVEVND");
    EXPECT_EQ(fw::fAdjustDriveModePages(&sDrive, abNow.data(), abDefault.data(), abChangeable.data()), FALSE);
}

TEST(DriveCommandStatus, SenseIsReadOnlyForACheckConditionWithValidSense) {
    struct Case {
        const char* pszWhat;
        uint16_t wStatus, wCompletion;
        uint8_t fUnderrunGood;
        uint8_t bResult, bStatus, bKey;
    };
    const Case cases[] = {
        {"good", 0x0000, 0, FALSE, fw::STATUS_OK, 0, 0x77},
        {"check condition with sense", 0x0202, 0, FALSE, 0, 2, 0x03},
        {"check condition without valid sense", 0x0002, 0, FALSE, 0, 2, 0x77},
        {"underrun where it is allowed", 0x0000, 0x15, TRUE, fw::STATUS_OK, 0, 0x77},
        {"underrun where it is not", 0x0000, 0x15, FALSE, 0, 0, 0x77},
        {"transport failure", 0x0000, 0x06, TRUE, 0, 0, 0x77},
    };
    for (const Case& c : cases) {
        uint8_t abEntry[64] = {};
        abEntry[8] = static_cast<uint8_t>(c.wStatus);
        abEntry[9] = static_cast<uint8_t>(c.wStatus >> 8);
        abEntry[10] = static_cast<uint8_t>(c.wCompletion);
        abEntry[34] = 0x03;
        abEntry[44] = 0x11;
        abEntry[45] = 0x01;
        uint8_t bStatus = 0x77, bKey = 0x77, bAsc = 0x77, bAscq = 0x77;
        EXPECT_EQ(fw::bReadDriveCommandStatus(abEntry, c.fUnderrunGood, {&bStatus, &bKey, &bAsc, &bAscq}), c.bResult)
            << c.pszWhat;
        EXPECT_EQ(bStatus, c.bStatus) << c.pszWhat;
        EXPECT_EQ(bKey, c.bKey) << c.pszWhat;
        EXPECT_EQ(bAscq, c.bKey == 0x03 ? 0x01 : 0x77) << c.pszWhat;
    }
}

TEST(DriveCommandIocb, CarriesTheCommandTheLoopChipExpects) {
    fw::DRIVE_COMMAND_IOCB s;
    std::memset(&s, 0xEE, sizeof s);
    const uint8_t abCdb[10] = {0x28, 0, 0, 0, 0x10, 0, 0, 0, 2, 0};
    fw::BuildDriveCommandIocb(&s, 0x21, 0, 8, abCdb, 10, 1, 1024, 0x01230000);
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&s);
    EXPECT_EQ(pb[0], 0x11);
    EXPECT_EQ(pb[1], 1);
    EXPECT_EQ(pb[2], 0xEE) << "the system byte is the chip's";
    EXPECT_EQ(pb[3], 0);
    EXPECT_EQ(s.wTarget, 0x21);
    EXPECT_EQ(s.wControlFlags, 0x22);
    EXPECT_EQ(s.wTimeout, 8);
    EXPECT_EQ(s.wSegmentCount, 1);
    EXPECT_EQ(Bytes(s.abCdb, s.abCdb + 16), Bytes({0x28, 0, 0, 0, 0x10, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s.dTotalByteCount, 1024u);
    EXPECT_EQ(s.dSegmentAddress, 0x01230000u);
    EXPECT_EQ(s.dSegmentLength, 1024u);
}

TEST(DriveLoopCommands, WithoutADriveLoopChipNothingIsSentAndNothingIsHeld) {
    sim::Board board;
    fw::SetSystemMemorySize(board.config().memorySize);
    fw::InitBufferPages();
    const uint32_t dFree = fw::dGetAvailablePages(0);
    fw::BUFFER_HANDLE dBuffer;
    ASSERT_EQ(fw::bAllocDataPages(0, 1, &dBuffer), fw::STATUS_OK);
    uint8_t bStatus = 0x77, bKey = 0x77, bAsc = 0x77, bAscq = 0x77;
    EXPECT_EQ(fw::bTestDriveUnitReady(3, 0xE8, 0, 8, &bStatus, &bKey, &bAsc, &bAscq), 0);
    EXPECT_EQ(fw::bInquireDrive(3, 0xE8, 0, 8, &bStatus, &bKey, &bAsc, &bAscq, dBuffer, 36), 0);
    EXPECT_EQ(fw::bReadDriveBlocks(4, 0xE8, 0, 8, &bStatus, &bKey, &bAsc, &bAscq, 0, 0, dBuffer), 0);
    EXPECT_EQ(bStatus, 0x77);
    EXPECT_EQ(bKey, 0x77);
    (void)fw::wFreeDataPages(dBuffer, 1);
    EXPECT_EQ(fw::dGetAvailablePages(0), dFree);
}

// Nothing in this controller asks a drive for its mode pages or sets them
// yet (its drives are reached through the SAS side): the commands are
// asked here of a drive on a loop as a caller would.  The page control bits
// choose the set of values; a drive that returns fewer bytes than asked (an
// underrun) has still answered; the pages sent back are the drive's then.
TEST(DriveLoopCommands, ModeSenseReadsThePageSetAskedForAndModeSelectSetsIt) {
    looptest::LoopController c;
    c.AddDrive(1);
    ASSERT_TRUE(c.Boot());
    struct Step {
        uint8_t bResult = 0;
        uint8_t bStatus = 0x77;
        Bytes ab;
    };
    // Current, changeable, the select of current with its RCD bit turned
    // over, current again.
    static Step s_asStep[4];
    ASSERT_TRUE(c.CallWaiting([] {
        fw::BUFFER_HANDLE dBuffer;
        if (fw::bAllocDataPages(fw::BUFFER_BANK_EITHER, 1, &dBuffer) != fw::STATUS_OK) return;
        auto* pb = static_cast<uint8_t*>(fw::pBufferHandleToPointer(dBuffer));
        const uint8_t bAlpa = fw::FC_AL_LOOP_ID_TO_ALPA[1];
        for (int i = 0; i < 4; ++i) {
            Step& s = s_asStep[i];
            uint8_t bKey = 0, bAsc = 0, bAscq = 0;
            if (i == 2) {
                const uint8_t bLength = static_cast<uint8_t>(s_asStep[0].ab[0] + 1);
                std::memcpy(pb, s_asStep[0].ab.data(), bLength);
                pb[0] = 0;
                pb[12] &= 0x3F;
                pb[14] ^= 0x01;
                s.bResult = fw::bModeSelectDrive(3, bAlpa, 0, 8, &s.bStatus, &bKey, &bAsc, &bAscq, dBuffer, bLength,
                                                 FALSE);
                continue;
            }
            std::memset(pb, 0xEE, 255);
            s.bResult = fw::bModeSenseDrive(3, bAlpa, 0, 8, &s.bStatus, &bKey, &bAsc, &bAscq, dBuffer, 255, 0x08,
                                            i == 1 ? 0x40 : 0x00);
            s.ab.assign(pb, pb + 255);
        }
        (void)fw::wFreeDataPages(dBuffer, 1);
    }));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s_asStep[i].bResult, fw::STATUS_OK) << "step " << i;
        EXPECT_EQ(s_asStep[i].bStatus, fw::SCSI_STATUS_GOOD) << "step " << i;
        if (i == 2) continue;
        ASSERT_GE(s_asStep[i].ab.size(), 15u);
        EXPECT_EQ(s_asStep[i].ab[12] & 0x3F, 0x08) << "the caching page";
        EXPECT_EQ(s_asStep[i].ab[0], 3 + 8 + 20) << "the mode data length of one page";
    }
    // The changeable mask of the caching page's byte 2: WCE and RCD.
    EXPECT_EQ(s_asStep[1].ab[14], 0x05);
    EXPECT_EQ(s_asStep[3].ab[14], s_asStep[0].ab[14] ^ 0x01);
}

}  // namespace
