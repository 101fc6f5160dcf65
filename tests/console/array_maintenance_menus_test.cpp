// The array deletion and expansion menus on a running controller with
// twelve alike drives: the screens as an operator sees them, the refusals,
// and what each leaves in the scratch image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/array_operations.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console_board.h"
#include "made_arrays.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/types.h"
#include "raid/expansion.h"
#include "raid/parity_check.h"
#include "raid/raid_reference.h"
#include "raid/stripe_init.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kArrayMenu;
using consoletest::kArraysMenu;
using consoletest::kContinue;
using consoletest::kPrompt;
using consoletest::MakeArray;

const std::string kAnyKey = "Press any key to continue...\n";

sim::ChassisOptions TwelveDrives() {
    sim::ChassisOptions o;
    o.drives = 12;
    return o;
}

class ArrayMaintenanceMenus : public ::testing::Test {
protected:
    ArrayMaintenanceMenus() : c(TwelveDrives()) {}
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        c.Enter("1");
    }
    fw::CONFIG_IMAGE& Scratch() const { return *fw::pGetScratchConfigImage(); }
    void AddDrives(const std::string& sAnswers) { consoletest::AddDrives(c, sAnswers); }
    static uint16_t Events(uint8_t bCode, uint8_t* pbReason = nullptr) {
        uint16_t wCount = 0, wNext = 0, n = 0;
        fw::GetEventLogPosition(&wCount, &wNext);
        for (uint16_t w = 0; w < wCount; ++w) {
            const auto* ps = fw::psGetEventLogEntry(w);
            if (ps->bCode != bCode) continue;
            ++n;
            if (pbReason != nullptr) *pbReason = ps->abArgs[1];
        }
        return n;
    }
    ConsoleBoard c;
};

TEST_F(ArrayMaintenanceMenus, DeleteAsksThenDeletesTheArrayAndItsLaterOnesMoveDown) {
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\nNo configured arrays to delete\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kArrayMenu);
    MakeArray(fw::RAID_LEVEL_5, 3);
    MakeArray(fw::RAID_LEVEL_0, 2);
    MakeArray(fw::RAID_LEVEL_10, 2);
    const uint64_t lThirdSize = Scratch().asRank[2].lLastOffset;
    c.Enter("0");
    c.Enter("1");

    EXPECT_EQ(c.Enter("3"), "3\r\n\n\n\nDelete Array Configuration Menu (1-1-3) (C0)\n\n"
                            "\nEnter the number of the array to delete (0..2): ");
    EXPECT_EQ(c.Enter("3"), "3\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("x"), "x\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("1"), "1\r\nArray deletion will delete all data!!\nConfirm deletion of array 1 (Y or N): ");
    EXPECT_EQ(c.Enter("n"), "n\r\nNo change to arrays\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().sHeader.wRankCount, 3);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(c.Type(" "), kArraysMenu);

    c.Enter("3");
    c.Enter("1");
    EXPECT_EQ(c.Enter("y"), "y\r\nDeleting array 1\n\n" + kAnyKey);
    ASSERT_EQ(Scratch().sHeader.wRankCount, 2);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    // The RAID 1/10 array is array 1 now, right after array 0.
    const fw::CONFIG_RANK_RECORD& r = Scratch().asRank[1];
    EXPECT_EQ(r.bRaidLevel, fw::RAID_LEVEL_10);
    EXPECT_EQ(r.lLastOffset, lThirdSize);
    EXPECT_EQ(r.lStartAddress, Scratch().asRank[0].lStartAddress + Scratch().asRank[0].lLastOffset + 1);
    EXPECT_EQ(fw::bGetSpareDriveTableCount(), 12 - 3 - 2);
    EXPECT_EQ(c.Type(" "), kArraysMenu);

    c.Enter("3");
    EXPECT_EQ(c.Enter("0"), "0\r\nArray deletion will delete all data!!\nConfirm deletion of array 0 (Y or N): ");
    c.Enter("Y");
    c.Type(" ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\n\nDelete Array Configuration Menu (1-1-3) (C0)\n\n"
                            "\nEnter the number of the array to delete (0): ");
}

TEST_F(ArrayMaintenanceMenus, DeletionWaitsForTheJobsAndAnExpansionOfAnotherArray) {
    MakeArray(fw::RAID_LEVEL_5, 3);
    MakeArray(fw::RAID_LEVEL_5, 3);
    // A rebuild recorded in NVRAM is named first, even with a parity check.
    fw::SetNvramRebuildPendingFlag(fw::TRUE);
    c.Enter("3");
    EXPECT_EQ(c.Enter("0"), "0\r\nDelete array rejected due to array rebuild\n\n" + kAnyKey);
    uint8_t bReason = 0;
    EXPECT_EQ(Events(158, &bReason), 1);
    EXPECT_EQ(bReason, 2);
    EXPECT_EQ(Scratch().sHeader.wRankCount, 2);
    EXPECT_EQ(c.Type(" "), kArraysMenu);
    fw::SetNvramRebuildPendingFlag(fw::FALSE);

    // An expansion of array 1 waits in the scratch image: array 1 may go,
    // array 0 may not.
    fw::EXPANSION_REQUEST x{};
    x.bArray = 1;
    x.bAddDrives = 1;
    x.fAddSubRanks = fw::FALSE;
    fw::DRIVE_INFO* ps = nullptr;
    uint8_t bRecord = 0;
    ASSERT_EQ(fw::fFindDriveByLoopIDMapped(0, &ps, &bRecord), fw::TRUE);
    std::memcpy(x.aabWwn[0], ps->abWWN, 8);
    ASSERT_EQ(fw::ExpandArray(&x), fw::STATUS_OK);
    c.Enter("3");
    EXPECT_EQ(c.Enter("0"), "0\r\nArray Expansion in Progress\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("1"), "1\r\nArray deletion will delete all data!!\nConfirm deletion of array 1 (Y or N): ");
    c.Enter("y");
    EXPECT_EQ(Scratch().sHeader.fExpansionActive, fw::FALSE);
    EXPECT_EQ(Scratch().sHeader.wRankCount, 1);
}

// A running initialisation is named before a parity check; the screen and
// the log say which job refused the deletion, each in its own line.
TEST_F(ArrayMaintenanceMenus, DeletionNamesTheInitialisationThenTheParityCheck) {
    MakeArray(fw::RAID_LEVEL_5, 3);
    fw::SetStripeInitInProgress(0, fw::TRUE);
    fw::SetParityCheckInProgress(fw::TRUE);
    c.Enter("3");
    EXPECT_EQ(c.Enter("0"), "0\r\nDelete array rejected due to array initialization\n\n" + kAnyKey);
    uint8_t bReason = 0;
    EXPECT_EQ(Events(158, &bReason), 1);
    EXPECT_EQ(bReason, 3);
    c.Type(" ");
    fw::SetStripeInitInProgress(0, fw::FALSE);
    c.Enter("3");
    EXPECT_EQ(c.Enter("0"), "0\r\nDelete array rejected due to array parity check\n\n" + kAnyKey);
    EXPECT_EQ(Events(158, &bReason), 2);
    EXPECT_EQ(bReason, 4);
    fw::SetParityCheckInProgress(fw::FALSE);
    EXPECT_EQ(Scratch().sHeader.wRankCount, 1);
}

TEST_F(ArrayMaintenanceMenus, ExpandARaid5ArrayByOneDrive) {
    MakeArray(fw::RAID_LEVEL_5, 3);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\n\nExpand Array Configuration Menu (1-1-4) (C0)\n\n"
                            "\nEnter the number of the array to expand (0): ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\nExpand Array Configuration Menu (1-1-4-1) (C0)\n\n"
                            "\nSelect Disk Drives -- 00 Disk Drives Added, 03 Total\n\n"
                            "\nNo. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST\n"
                            "--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --\n"
                            "000 SAS  5005d5d000a00040 SIMDISK 4G   0001 No  M0000004 004 GB 011 01 04 -- OK\n"
                            "Add this Disk Drive? (Y or N, <CR> = Y): ");
    EXPECT_EQ(c.Enter(""), "\r\x1b[6A\rSelect Disk Drives -- 01 Disk Drives Added, 04 Total\n\n\x1b[4B\r\x1b[2K" + kContinue);
    EXPECT_EQ(c.Enter("n"), "n\r\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), "\nArray 00 Successfully Expanded\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(Scratch().sHeader.fExpansionActive, fw::TRUE);
    EXPECT_EQ(Scratch().sHeader.bExpansionArray, 0);
    EXPECT_EQ(Scratch().asRank[0].bDriveCount, 4);
    EXPECT_EQ(c.Type(" "), kArrayMenu);
    // One expansion at a time.
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\nArray Expansion in Progress\n\n" + kAnyKey);
}

TEST_F(ArrayMaintenanceMenus, RaidFiftyOfTwoSubarraysGrowsByDrivesOrBySubarrays) {
    MakeArray(fw::RAID_LEVEL_50, 6, 2);
    // Three added drives: a multiple of both the subarray count's share and
    // the drives per subarray, so both counts are offered.
    c.Enter("4");
    c.Enter("0");
    AddDrives("yyy");
    EXPECT_EQ(c.Type(" "), "\n\nExpand Array Configuration Menu (1-1-4-1-1) (C0)\n\n"
                           "\nSelect Subarray Count (No. of Parity Drives)\n\n"
                           "1.  2 Subarrays (07 Data Drives)\n"
                           "2.  3 Subarrays (06 Data Drives)\n"
                           "\n0.  Exit\n\n" +
                               kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kArrayMenu);
    EXPECT_EQ(Scratch().sHeader.fExpansionActive, fw::FALSE);

    // Five are no multiple of the two subarrays.
    c.Enter("4");
    c.Enter("0");
    AddDrives("yyyyy");
    EXPECT_EQ(c.Type(" "), "\nInsufficient Number of Drives Specified, Array Not Expanded\n\n" + kAnyKey);
    c.Type(" ");
    // Four go to the expansion at once, keeping two subarrays.
    c.Enter("4");
    c.Enter("0");
    AddDrives("yyyy");
    EXPECT_EQ(c.Type(" "), "\nArray 00 Successfully Expanded\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().asRank[0].bDriveCount, 10);
    EXPECT_EQ(Scratch().asRank[0].bParityCount, 2);
}

TEST_F(ArrayMaintenanceMenus, RaidFiveGrowsByASubarrayIntoRaidFifty) {
    MakeArray(fw::RAID_LEVEL_5, 3);
    c.Enter("4");
    c.Enter("0");
    AddDrives("yyy");
    EXPECT_EQ(c.Type(" "), "\n\nExpand Array Configuration Menu (1-1-4-1-1) (C0)\n\n"
                           "\nSelect Subarray Count (No. of Parity Drives)\n\n"
                           "1.  1 Subarray  (05 Data Drives)\n"
                           "2.  2 Subarrays (04 Data Drives)\n"
                           "\n0.  Exit\n\n" +
                               kPrompt);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nArray 00 Successfully Expanded\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().asRank[0].bRaidLevel, fw::RAID_LEVEL_50);
    EXPECT_EQ(Scratch().asRank[0].bParityCount, 2);
    EXPECT_EQ(Scratch().asRank[0].bDriveCount, 6);
}

TEST_F(ArrayMaintenanceMenus, ExpansionRefusals) {
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\nNo configured arrays to expand\n\n" + kAnyKey);
    c.Type(" ");
    MakeArray(fw::RAID_LEVEL_5, 3);
    MakeArray(fw::RAID_LEVEL_10, 2);
    MakeArray(fw::RAID_LEVEL_6, 4);
    // An array still to be initialised is not fault tolerant.
    Scratch().asRank[0].bInitState = 1;
    c.Enter("4");
    EXPECT_EQ(c.Enter("3"), "3\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("4");
    EXPECT_EQ(c.Enter("0"), "0\r\nArray 000 Not Fault Tolerant!\n\n" + kAnyKey);
    c.Type(" ");
    // No drive chosen.
    c.Enter("4");
    c.Enter("1");
    AddDrives("n");
    EXPECT_EQ(c.Type(" "), "\nNo Drives Specified, Array Not Expanded\n\n" + kAnyKey);
    c.Type(" ");
    // RAID 1/10 grows by pairs.
    c.Enter("4");
    c.Enter("1");
    AddDrives("y");
    EXPECT_EQ(c.Type(" "), "\nUneven Number of Drives Specified, Array Not Expanded\n\n" + kAnyKey);
    c.Type(" ");
    Scratch().asRank[2].bDriveCount = 16;
    c.Enter("4");
    EXPECT_EQ(c.Enter("2"), "2\r\nArray 002 Maximum Drive Count (16) Reached!\n\n" + kAnyKey);
    c.Type(" ");
    Scratch().asRank[2].bDriveCount = 4;
    EXPECT_EQ(Scratch().sHeader.fExpansionActive, fw::FALSE);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);

    // Added drives stop at sixteen members.
    Scratch().asRank[2].bDriveCount = 14;
    c.Enter("4");
    c.Enter("2");
    c.Enter("");
    c.Enter("");
    EXPECT_EQ(c.Enter(""), "\r\x1b[6A\rSelect Disk Drives -- 02 Disk Drives Added, 16 Total\n\n\x1b[4B\r\x1b[2K"
                           "\nMaximum drive count (16) added\n\n" + kAnyKey);
}

TEST_F(ArrayMaintenanceMenus, ADriveTooSmallFailsTheExpansion) {
    MakeArray(fw::RAID_LEVEL_0, 2);
    // The array's members as large as the next drive: no room for the
    // configuration copy at its end.
    Scratch().asRank[0].lLastOffset += 2 * 200000;
    c.Enter("4");
    c.Enter("0");
    AddDrives("y");
    EXPECT_EQ(c.Type(" "), "\nFailed to Expand Array\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().sHeader.fExpansionActive, fw::FALSE);
    EXPECT_EQ(Scratch().asRank[0].bDriveCount, 2);
}

// The road an operator takes with the menus alone: an array saved, grown
// by one drive from the Expand Array menu and saved again.  The restripe
// then runs by itself: it starts with the save, its share done shows in
// the array view, every block of the old layout arrives where the new one
// keeps it with the rest of the new capacity zeroed, and the grown array
// is committed to the drives, so a restart finds it grown and nothing to
// resume.
class MenuDrivenExpansion : public ArrayMaintenanceMenus {
protected:
    static constexpr uint16_t kChunk = 256;
    static constexpr uint64_t kMemberBlocks = 48 * kChunk;
    static constexpr uint64_t kOldBlocks = 2 * kMemberBlocks;
    static constexpr uint64_t kNewBlocks = 3 * kMemberBlocks;
    static constexpr uint64_t kNewRow = 3 * kChunk;

    static std::vector<uint8_t> Pattern(uint64_t x) {
        std::vector<uint8_t> v(512);
        for (size_t i = 0; i < v.size(); i += 8) {
            const uint64_t w = (x << 16) ^ i ^ 0x5A5A0000'00000000ull;
            std::memcpy(&v[i], &w, 8);
        }
        return v;
    }
    // The drive holding member m of array 0 in the live image.
    sim::Drive& Member(unsigned m) {
        const uint8_t* pbWwn = fw::pGetConfigImage()->asRank[0].aabMemberWwn[m];
        fw::DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        EXPECT_EQ(fw::fFindDriveByWWN(pbWwn, &ps, &bIndex), fw::TRUE);
        return *c.chassis.DriveAt(ps->bSlotNo);
    }
    // From the Array Configuration Menu: out to the save question, saved,
    // and back to the Array Configuration Menu.
    void SaveAndReturn() {
        c.Enter("0");
        c.Enter("0");
        ASSERT_NE(c.Enter("Y").find("Saving Configuration"), std::string::npos);
        c.Type(" ");
        ASSERT_NO_FATAL_FAILURE(OpenArrayMenu());
    }
    void OpenArrayMenu() {
        c.Type("\x05");
        c.Enter("1");
        ASSERT_EQ(c.Enter("1"), "1\r\n\n" + kArrayMenu);
    }
    // The array view's state of array 0: what follows the RAID level.
    std::string ArrayState() {
        const std::string s = c.Enter("1");
        c.Type(" ");
        const size_t uAt = s.find(" RAID 5");
        if (uAt == std::string::npos) return s;
        const size_t uEnd = s.find_first_of(")\n", uAt + 7);
        return s.substr(uAt + 7, uEnd == std::string::npos ? std::string::npos : uEnd + 1 - uAt - 7);
    }
    uint64_t W() const { return fw::psGetExpansionState()->lWrite; }
};

TEST_F(MenuDrivenExpansion, ARaid5ArrayGrowsByOneDriveFromStartToCommit) {
    MakeArray(fw::RAID_LEVEL_5, 3);
    // A small array, so that the whole restripe runs in the test.
    Scratch().asRank[0].lLastOffset = kOldBlocks - 1;
    Scratch().asRank[0].wCapacityGb = 0;
    fw::SetConfigModified(fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(SaveAndReturn());
    ASSERT_EQ(fw::pGetConfigImage()->asRank[0].bDriveCount, 3);

    // The old layout's data blocks; the drive to be added holds leftovers.
    const raidref::ParityRank sOld{3, 1, kChunk}, sNew{4, 1, kChunk};
    for (uint64_t x = 0; x < kOldBlocks; ++x) {
        const raidref::Place p = sOld.Data(x);
        Member(p.member).WriteBlocks(p.block, 1, Pattern(x).data());
    }
    const std::vector<uint8_t> abLeftover(kMemberBlocks * 512, 0xA5);

    c.Enter("4");
    c.Enter("0");
    AddDrives("y");
    ASSERT_EQ(c.Type(" "), "\nArray 00 Successfully Expanded\n\n" + kAnyKey);
    c.Type(" ");
    fw::DRIVE_INFO* psAdded = nullptr;
    uint8_t bIndex = 0;
    ASSERT_EQ(fw::fFindDriveByWWN(Scratch().asRank[0].aabMemberWwn[3], &psAdded, &bIndex), fw::TRUE);
    sim::Drive& sAdded = *c.chassis.DriveAt(psAdded->bSlotNo);
    sAdded.WriteBlocks(0, uint32_t(kMemberBlocks), abLeftover.data());
    // A slow new drive keeps the restripe going while the operator looks.
    sAdded.SetExtraLatencyNs(20'000'000);
    ASSERT_NO_FATAL_FAILURE(SaveAndReturn());

    // Started by the save: the live image records the growth, the record
    // in NVRAM the expansion.
    EXPECT_EQ(Events(fw::EVENT_EXPANSION_STARTED), 1);
    ASSERT_EQ(fw::fIsExpansionInProgress(), fw::TRUE);
    EXPECT_EQ(fw::bGetNvramExpansionFlag(), fw::TRUE);
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].bInitState, fw::RANK_STATE_EXPANDING);
    EXPECT_EQ(fw::psGetExpansionState()->lEnd, kNewBlocks);

    // A third of the way: the view shows the share of the new capacity
    // written, W over the end.
    c.board.RunUntil([&] { return W() >= 12 * kNewRow; }, 600'000'000'000ull);
    const uint64_t lBefore = W();
    ASSERT_LT(lBefore, kOldBlocks) << "the restripe ran past the copy unseen";
    const std::string sShown = ArrayState();
    const uint64_t lAfter = W();
    unsigned uPercent = 1000;
    ASSERT_EQ(std::sscanf(sShown.c_str(), ", Expand (%u%%)", &uPercent), 1) << sShown;
    EXPECT_GE(uPercent, lBefore * 100 / kNewBlocks) << sShown;
    EXPECT_LE(uPercent, lAfter * 100 / kNewBlocks) << sShown;

    sAdded.SetExtraLatencyNs(0);
    c.board.RunUntil([] { return fw::fIsExpansionTaskDue() != fw::TRUE && fw::bGetNvramExpansionFlag() != fw::TRUE; },
                     600'000'000'000ull);
    ASSERT_NE(fw::fIsExpansionTaskDue(), fw::TRUE);
    c.Settle();
    // The commit saved an image under the operator's open edit, which ends
    // it: the menus are opened afresh.
    c.Type(" ");
    ASSERT_NO_FATAL_FAILURE(OpenArrayMenu());

    // Committed: the array is the grown one, fault tolerant and
    // initialised, and no expansion is left in the image or in NVRAM.
    EXPECT_EQ(Events(fw::EVENT_EXPANSION_COMPLETE), 1);
    const fw::CONFIG_IMAGE& sLive = *fw::pGetConfigImage();
    EXPECT_EQ(sLive.asRank[0].bDriveCount, 4);
    EXPECT_EQ(sLive.asRank[0].lLastOffset + 1, kNewBlocks);
    EXPECT_EQ(sLive.asRank[0].bInitState, fw::RANK_STATE_OPTIMAL);
    EXPECT_EQ(sLive.asRank[0].fInitialized, fw::TRUE);
    EXPECT_EQ(sLive.sHeader.fExpansionActive, fw::FALSE);
    EXPECT_EQ(sLive.asRank[fw::EXPANSION_RANK].bDriveCount, 0);
    EXPECT_EQ(Scratch().sHeader.fExpansionActive, fw::FALSE);
    const std::string sGrown = ArrayState();
    EXPECT_EQ(sGrown.rfind(", Initialized, 04 Drives", 0), 0u) << sGrown;

    // Every old block in its new place, zeros after them, and every new
    // row's parity the sum of its data.
    std::vector<uint8_t> v(512);
    for (uint64_t x = 0; x < kNewBlocks; ++x) {
        const raidref::Place p = sNew.Data(x);
        Member(p.member).ReadBlocks(p.block, 1, v.data());
        ASSERT_TRUE(v == (x < kOldBlocks ? Pattern(x) : std::vector<uint8_t>(512, 0))) << "block " << x;
    }
    std::vector<uint8_t> abSum(kMemberBlocks * 512, 0), abMember(kMemberBlocks * 512);
    for (unsigned m = 0; m < 4; ++m) {
        Member(m).ReadBlocks(0, uint32_t(kMemberBlocks), abMember.data());
        for (size_t i = 0; i < abSum.size(); ++i) abSum[i] ^= abMember[i];
    }
    EXPECT_EQ(std::count(abSum.begin(), abSum.end(), 0), long(abSum.size())) << "a row's parity is off";

    // The drives hold the grown array: a restart neither resumes nor
    // shrinks it.
    c.board.ClearConsoleText();
    c.Boot();
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].bDriveCount, 4);
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].lLastOffset + 1, kNewBlocks);
    EXPECT_NE(fw::fIsExpansionInProgress(), fw::TRUE);
    EXPECT_EQ(Events(fw::EVENT_EXPANSION_RESTARTED), 0);
}

}  // namespace
