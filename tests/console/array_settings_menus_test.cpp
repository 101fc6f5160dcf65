// The cache and advanced settings of arrays that exist, typed at the
// console: the screens, the answers each dialogue takes or refuses, and
// the fields each leaves in the array's record of the scratch image.
#include <gtest/gtest.h>

#include <string>

#include "config/bad_blocks.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/nvram_records.h"
#include "console/console_menu.h"
#include "console_board.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "made_arrays.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::MakeArray;

const std::string kCacheMenu =
    "\n\nArray Cache Configuration Menu (1-1-5-1) (C0)\n\n"
    "1.  Read-Ahead Cache\n"
    "2.  Writeback Cache\n"
    "\n0.  Exit\n\n" +
    kPrompt;

std::string AdvancedMenu(bool fAll) {
    std::string s =
        "\n\nAdvanced Array Configuration Menu (1-1-7) (C0)\n\n"
        "1.  Initialize Array\n"
        "2.  Trust Array\n"
        "3.  Pause/Resume Array Initialization\n";
    if (fAll) {
        s += "4.  Modify Array Name\n"
             "5.  Modify Array Chunk Size\n"
             "6.  Force Array Fault Tolerant\n"
             "7.  Array Bad Block List\n";
    }
    return s + "\n0.  Exit\n\n" + kPrompt;
}

class ArraySettingsMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        c.Enter("1");
        MakeArray(fw::RAID_LEVEL_5, 3);
        MakeArray(fw::RAID_LEVEL_0, 2);
    }
    fw::CONFIG_RANK_RECORD& Rank(int i) const { return fw::pGetScratchConfigImage()->asRank[i]; }
    // From the Array Configuration Menu to the cache menu of the array.
    std::string OpenCacheMenu(const char* pszArray) {
        c.Enter("5");
        return c.Enter(pszArray);
    }
    ConsoleBoard c;
};

TEST_F(ArraySettingsMenus, ReadAheadShowsTheCurrentSizeAndStoresAChange) {
    EXPECT_EQ(c.Enter("5"), "5\r\n\n\n\nArray Cache Configuration Menu (1-1-5) (C0)\n\n"
                            "\nEnter the number of the array to modify (0..1): ");
    EXPECT_EQ(c.Enter("2"), "2\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    EXPECT_EQ(OpenCacheMenu("0"), "0\r" + kCacheMenu);
    const std::string sOptions = "1.  Automatic (current)\n2.  Disabled\n3.  256 KB\n4.  512 KB\n5.  1 MB\n6.  2 MB\n";
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\n\nArray Read-Ahead Cache Configuration Menu (1-1-5-1-1) (C0)\n\n"
                            "\nSelect Read-Ahead Size for Array 0 \n\n" +
                                sOptions + "\n0.  Exit\n\n" + kPrompt);
    // The size it has: nothing said, nothing edited.
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(c.Type(" "), kCacheMenu);
    c.Enter("1");
    EXPECT_EQ(c.Enter("5"), "5\r\n\n\nReadahead Parameters Changed\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).wReadAhead, 3);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");
    // A code past the largest size shows as disabled.
    Rank(0).wReadAhead = 9;
    const std::string sShown = c.Enter("1");
    EXPECT_NE(sShown.find("\n2.  Disabled (current)\n3.  256 KB\n"), std::string::npos) << sShown;
    c.Enter("2");
    EXPECT_EQ(Rank(0).wReadAhead, 15);
    c.Type(" ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\n\n\nArray Configuration Menu (1-1) (C0)\n\n1.  View Arrays\n2.  Create Array\n"
                            "3.  Delete Array\n4.  Expand Array\n5.  Array Cache Configuration\n6.  View Unused Drives\n"
                            "7.  Advanced Array Configuration\n\n0.  Exit\n\n" +
                                kPrompt);
}

TEST_F(ArraySettingsMenus, WritebackDialogueOfARedundantArrayAsksEveryQuestion) {
    // A configuration of two controllers asks about the partner too.
    fw::pGetScratchConfigImage()->sHeader.fSingleControllerMode = fw::FALSE;
    OpenCacheMenu("0");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n"
                            "Array 00 Writeback Cache                    : Enabled\n"
                            "Disable Writethrough Transition when Writeback Cache Full: Yes\n"
                            "Disable Writeback Cache when Partner Fails  : Yes\n"
                            "Disable Writeback Cache when Array Critical : Yes\n"
                            "Disable Writeback Cache when Battery Low    : Yes\n"
                            "Writeback Cache Threshold                   : 16 MB\n"
                            "\n"
                            "Enable Writeback Cache for Array 00         (Y or N) (<CR> = Y): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nCache Threshold (1,2,4,8,16,32,64,128,256,512)  (<CR> = 16 MB) : ");
    EXPECT_EQ(c.Enter("64"), "64\r\nDisable Writethrough Transition when Writeback Cache Full (Y or N) (<CR> = Y): ");
    EXPECT_EQ(c.Enter("n"), "n\r\nDisable Writeback Cache when Partner Fails  (Y or N) (<CR> = Y): ");
    EXPECT_EQ(c.Enter(""), "\r\nDisable Writeback Cache when Array Critical (Y or N) (<CR> = Y): ");
    EXPECT_EQ(c.Enter("N"), "N\r\nDisable Writeback Cache when Battery Low    (Y or N) (<CR> = Y): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nWriteback cache parameters modified\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).bCachePolicy, 0x0B);
    EXPECT_EQ(Rank(0).wWriteThreshold, 7);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(c.Type(" "), kCacheMenu);

    // Off, then off again: the second time nothing changes.
    c.Enter("2");
    EXPECT_EQ(c.Enter("n"), "n\r\nWriteback cache disabled\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).bCachePolicy, 0);
    c.Type(" ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\nArray 00 Writeback Cache                    : Disabled\n\n"
                            "Enable Writeback Cache for Array 00         (Y or N) (<CR> = Y): ");
    EXPECT_EQ(c.Enter("n"), "n\r\nNo change to writeback cache parameters\n\n" + kAnyKey);
    c.Type(" ");

    // A threshold not on the list: refused, and the array keeps its cache
    // off although the Y before it had written the default bits.
    c.Enter("2");
    c.Enter("");
    EXPECT_EQ(c.Enter("3"), "3\r\nInvalid selection\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).bCachePolicy, 0);
    EXPECT_EQ(Rank(0).wWriteThreshold, 7);
    c.Type(" ");
    // Any answer but Y, N or none puts the bits back as they were.
    Rank(0).bCachePolicy = 0x13;
    c.Enter("2");
    c.Enter("y");
    c.Enter("");
    EXPECT_EQ(c.Enter("maybe"), "maybe\r\nInvalid selection\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).bCachePolicy, 0x13);
    c.Type(" ");
    // Every default answer: the default bits and 16 MB.
    c.Enter("2");
    for (int i = 0; i < 5; ++i) c.Enter("");
    EXPECT_EQ(c.Enter(""), "\r\nWriteback cache parameters modified\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).bCachePolicy, 0x5B);
    EXPECT_EQ(Rank(0).wWriteThreshold, 5);
}

TEST_F(ArraySettingsMenus, WritebackOfRaidZeroOnLinePowerSkipsTheCriticalAndBatteryQuestions) {
    fw::SetLinePowerMode(fw::TRUE);
    ASSERT_EQ(fw::pGetScratchConfigImage()->sHeader.fSingleControllerMode, fw::TRUE);
    OpenCacheMenu("1");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n"
                            "Array 01 Writeback Cache                    : Enabled\n"
                            "Disable Writethrough Transition when Writeback Cache Full: Yes\n"
                            "Writeback Cache Threshold                   : 16 MB\n"
                            "\n"
                            "Enable Writeback Cache for Array 01         (Y or N) (<CR> = Y): ");
    c.Enter("");
    c.Enter("1");
    // Alone and on line power, the write-through question is the last.
    EXPECT_EQ(c.Enter("y"), "y\r\nWriteback cache parameters modified\n\n" + kAnyKey);
    // Critical and battery cleared though the defaults set them; the
    // partner bit is left as the defaults have it.
    EXPECT_EQ(Rank(1).bCachePolicy, 0x43);
    EXPECT_EQ(Rank(1).wWriteThreshold, 1);
}

TEST_F(ArraySettingsMenus, AdvancedMenuOffersTheRestOnlyAtTheAdvancedLevel) {
    EXPECT_EQ(c.Enter("7"), "7\r\n\n" + AdvancedMenu(false));
    // An option not offered asks again.
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    c.Enter("0");
    fw::SetAdvancedConfigModeLevel(2);
    EXPECT_EQ(c.Enter("7"), "7\r\n\n" + AdvancedMenu(true));
    // The level ran out meanwhile: back to the Array Configuration Menu.
    fw::SetAdvancedConfigModeLevel(0);
    EXPECT_NE(c.Enter("5").find("Array Configuration Menu (1-1)"), std::string::npos);
}

TEST_F(ArraySettingsMenus, InitializeTrustAndPause) {
    c.Enter("7");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\n\nTrust Array Configuration Menu (1-1-7-2) (C0)\n\n"
                            "\nEnter the number of the array to trust (0..1): ");
    EXPECT_EQ(c.Enter("0"), "0\r\nThis array is already initialized\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), AdvancedMenu(false));

    EXPECT_EQ(c.Enter("1"), "1\r\n\n\n\nInitialize Array Configuration Menu (1-1-7-1) (C0)\n\n"
                            "\nEnter the number of the array to initialize (0..1): ");
    EXPECT_EQ(c.Enter("0"), "0\r\nArray initialization will delete all data!!\n"
                            "Confirm Initialization of array 0 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nArray 0 will be initialized after saving configuration\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).bInitState, 1);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");

    // Pausing and resuming: Y pauses a running one, N resumes a paused one.
    c.Enter("3");
    EXPECT_EQ(c.Enter("0"), "0\r\nArray 0 Initialization is not paused\nPause Initialization of array 0 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nArray 0 initialization will be paused after saving configuration\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).fInitPaused, fw::TRUE);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("0"), "0\r\nArray 0 Initialization is paused\nPause Initialization of array 0 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nNo change to arrays\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("3");
    c.Enter("0");
    EXPECT_EQ(c.Enter("n"), "n\r\nArray 0 initialization will be resumed after saving configuration\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).fInitPaused, fw::FALSE);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("1"), "1\r\nThis array is already initialized\n\n" + kAnyKey);
    c.Type(" ");

    // Trusting the parity array warns; it ends fault tolerant.
    c.Enter("2");
    EXPECT_EQ(c.Enter("0"), "0\r\nTrusting an array will result in inconsistent parity\n"
                            "and the potential loss of data in the event of a drive failure.\n"
                            "Please ensure a parity re-write is performed before using\n"
                            "the array.\n"
                            "\nConfirm Trusting of array 0 (Y or N): ");
    EXPECT_EQ(c.Enter("Y"), "Y\r\nArray 0 will not be initialized after saving configuration\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).bInitState, 0xFF);
    c.Type(" ");
    // RAID 0 is trusted without the warning, to state 0.
    Rank(1).bInitState = 1;
    c.Enter("2");
    EXPECT_EQ(c.Enter("1"), "1\r\nConfirm Trusting of array 1 (Y or N): ");
    c.Enter("y");
    EXPECT_EQ(Rank(1).bInitState, 0);
    c.Type(" ");
    c.Enter("1");
    c.Enter("1");
    EXPECT_EQ(c.Enter("n"), "n\r\nNo change to arrays\n\n" + kAnyKey);
    EXPECT_EQ(Rank(1).bInitState, 0);
}

TEST_F(ArraySettingsMenus, NameChunkSizeAndForceFaultTolerant) {
    fw::SetAdvancedConfigModeLevel(2);
    c.Enter("7");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\n\nAdvanced Array Configuration Menu (1-1-7-4) (C0)\n\n"
                            "\nEnter the number of the array to modify name (0..1): ");
    Rank(0).acArrayName[0] = '\x07';
    EXPECT_EQ(c.Enter("0"), "0\r\n\nAdvanced Array Configuration Menu (1-1-7-4-1) (C0)\n\n"
                            "\nCurrent Array Name                    : " +
                                std::string(32, ' ') + "\nNew Name (Max 32 chars, <CR> for same): ");
    EXPECT_EQ(c.Enter("Fast one"), "Fast one\r\nArray 00 Name Modified\n\n" + kAnyKey);
    EXPECT_EQ(std::string(Rank(0).acArrayName, 32), "Fast one" + std::string(24, ' '));
    c.Type(" ");
    c.Enter("4");
    c.Enter("0");
    EXPECT_EQ(c.Enter(""), "\r\nNo change to Array Name\n\n" + kAnyKey);
    c.Type(" ");

    // Chunk size: the current one changes nothing.
    c.Enter("5");
    EXPECT_EQ(c.Enter("0"), "0\r\n\nAdvanced Array Configuration Menu (1-1-7-5-1) (C0)\n\n"
                            "\nSelect New Chunk Size for Array 0 \n\n"
                            "1.  64 K\n2.  128 K (current chunk size)\n3.  256 K\n"
                            "\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nModifying the chunk size will delete all data!!\n"
                            "Confirm chunk size modification of array 0 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nNo change to arrays\n\n" + kAnyKey);
    c.Type(" ");
    const uint32_t dWord = Rank(0).dStoredWord;
    c.Enter("5");
    c.Enter("0");
    c.Enter("3");
    EXPECT_EQ(c.Enter("y"), "y\r\nArray 0 will be reinitialized after saving configuration\n\n" + kAnyKey);
    EXPECT_EQ(Rank(0).wChunkSize, 512);
    EXPECT_EQ(Rank(0).dStoredWord, dWord / 256 * 512);
    EXPECT_EQ(Rank(0).bInitState, 1);
    c.Type(" ");
    // The RAID 0 array of two drives was made with 256 K chunks.
    c.Enter("5");
    c.Enter("1");
    c.Enter("1");
    EXPECT_EQ(c.Enter("y"), "y\r\nArray 1 will be reconfigured after saving configuration\n\n" + kAnyKey);
    c.Type(" ");

    // Force fault tolerant: RAID 0 and arrays in order or initialising refuse.
    c.Enter("6");
    EXPECT_EQ(c.Enter("1"), "1\r\nArray status cannot be changed\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("6");
    EXPECT_EQ(c.Enter("0"), "0\r\nArray status cannot be changed\n\n" + kAnyKey);
    c.Type(" ");
    fw::CONFIG_RANK_RECORD& r = Rank(0);
    r.bInitState = 0;   // degraded
    r.abMemberState[1] = 0x44;
    r.abMemberState[2] = 0x55;
    c.Enter("6");
    EXPECT_EQ(c.Enter("0"), "0\r\nForcing array fault tolerant will corrupt data!!\n"
                            "Confirm forcing fault tolerant of array 0 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nArray 0 will be marked as fault tolerant after saving configuration\n\n" + kAnyKey);
    EXPECT_EQ(r.bInitState, 0xFF);
    EXPECT_EQ(r.abMemberState[1], 0);
    EXPECT_EQ(r.abMemberState[2], 0x55);
}

TEST_F(ArraySettingsMenus, BadBlockListShownFromTheLiveImageAndRemovedPerArray) {
    fw::SetAdvancedConfigModeLevel(2);
    // Entries of both arrays, in the live image and in the edit.
    for (fw::CONFIG_IMAGE* ps : {fw::pGetConfigImage(), fw::pGetScratchConfigImage()}) {
        ps->sHeader.wRankCount = 2;
        fw::SetBadBlockEntry(&ps->asBadBlock[0], 0x1234, 0, 8);
        fw::SetBadBlockEntry(&ps->asBadBlock[1], 0x10000005ull, 1, 1);
        fw::SetBadBlockEntry(&ps->asBadBlock[2], 0x9000, 1, 0x10);
        ps->sHeader.wBadBlockCount = 3;
    }
    c.Enter("7");
    EXPECT_EQ(c.Enter("7"), "7\r\n\n\n\nArray Bad Block List Menu (1-1-7-7) (C0)\n\n"
                            "1.  Display Bad Block List\n2.  Remove Array Bad Block List\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\n\nDisplay Bad Block List Menu (1-1-7-7-1) (C0)\n\n"
                            "\nBad Block List:\n"
                            "0000 Array:00 LBA:0000000000001234 Block Count:0008\n"
                            "0001 Array:01 LBA:0000000010000005 Block Count:0001\n"
                            "0002 Array:01 LBA:0000000000009000 Block Count:0010\n"
                            "\n" +
                                kAnyKey);
    c.Type(" ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\n\nRemove Array Bad Block List Menu (1-1-7-7-2) (C0)\n\n"
                            "\nEnter the number of the array to remove the bad block list (0..1): ");
    EXPECT_EQ(c.Enter("0"), "0\r\nConfirm removing the bad block list of array 0 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nThe bad block count for Array 0 is currently 01\n\n"
                            "\nThe bad block list for Array 0 will be removed after saving configuration\n\n" +
                                kAnyKey);
    // Array 1 keeps its entries under its own number.
    const fw::CONFIG_IMAGE& s = *fw::pGetScratchConfigImage();
    ASSERT_EQ(s.sHeader.wBadBlockCount, 2);
    EXPECT_EQ(s.asBadBlock[0].bRank, 1);
    EXPECT_EQ(s.asBadBlock[1].bRank, 1);
    EXPECT_EQ(fw::wCountRankBadBlocks(&s, 1), 2);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wBadBlockCount, 3);
    c.Type(" ");
    c.Enter("7");
    c.Enter("7");
    c.Enter("2");
    c.Enter("1");
    EXPECT_EQ(c.Enter("n"), "n\r\nNo change to bad block list for Array 1\n\n" + kAnyKey);
}

}  // namespace
