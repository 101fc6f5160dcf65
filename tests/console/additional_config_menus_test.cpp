// The Additional Configuration Menu and the screens below it: what each
// shows, what each answer leaves in the scratch image, and what is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cache/flush_sequencer.h"
#include "config/apply_settings.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "made_arrays.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace {

using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

std::string Hex(const uint8_t* pb) {
    char ac[17];
    for (int i = 0; i < 8; ++i) std::snprintf(ac + 2 * i, 3, "%02x", pb[i]);
    return ac;
}

class AdditionalConfigMenus : public consoletest::ConfigurationMenuTest {
protected:
    explicit AdditionalConfigMenus(sim::HostInterface eInterface = sim::HostInterface::Fc)
        : ConfigurationMenuTest(eInterface) {}
    std::string Open() { return ConfigurationMenuTest::Open(fw::AdditionalConfigMenu); }
    fw::CONFIG_HEADER& Header() { return fw::pGetScratchConfigImage()->sHeader; }
    std::string NvramWwn() {
        uint8_t ab[8];
        fw::GetNvramControllerWwn(ab);
        return Hex(ab);
    }
};

class ScsiAdditionalConfigMenus : public AdditionalConfigMenus {
protected:
    ScsiAdditionalConfigMenus() : AdditionalConfigMenus(sim::HostInterface::Scsi) {}
};

const std::string kMenu = Title("Additional Configuration Menu", "1-8") +
                          "1.  Modify Configuration Name\n"
                          "2.  Modify Configuration WWN\n"
                          "3.  Set Background Verification\n"
                          "4.  Log Enclosure Events\n"
                          "5.  Set Single Controller Mode\n"
                          "6.  Configure Advanced Performance Options\n"
                          "\n0.  Exit\n\n" +
                          kPrompt;

// Option 7 (the developer options) is accepted only at an unlocked
// advanced level; Exit returns to the Configuration Menu.
TEST_F(AdditionalConfigMenus, MenuOffersItsOptionsAndHidesTheDeveloperOptions) {
    EXPECT_EQ(Open(), kMenu);
    EXPECT_EQ(c.Enter("7"), "7\r" + kPrompt);
    fw::SetAdvancedConfigModeLevel(4);
    EXPECT_EQ(Open(), kMenu);
    EXPECT_EQ(c.Enter("7").rfind("7\r\n\n" + Title("Developer Options Menu", "1-8-7"), 0), 0u);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + consoletest::kConfigurationMenu);
}

const std::string kNameScreen = Title("Modify Configuration Name Menu", "1-8-1") + "\nCurrent Name : ";

TEST_F(AdditionalConfigMenus, NameIsStoredBlankFilledAndBadAnswersChangeNothing) {
    Open();
    const std::string sOld = "Default Configuration Name" + std::string(38, ' ');
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kNameScreen + sOld + "\nNew Name <CR>: ");
    EXPECT_EQ(c.Enter(""), "\r\nNo change\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kMenu);
    c.Enter("1");
    EXPECT_EQ(c.Enter("bad\x01name"), "bad\x01name\r\nInvalid selection\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(std::string(Header().acConfigName, 64), sOld);
    c.Type(" ");
    c.Enter("1");
    EXPECT_EQ(c.Enter("Lab pair"), "Lab pair\r\nConfiguration Name Changed\n\n" + kAnyKey);
    EXPECT_EQ(std::string(Header().acConfigName, 64), "Lab pair" + std::string(56, ' '));
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    // The same name again still counts as a change; a non-printable stored
    // byte shows as a blank.
    Header().acConfigName[1] = '\x07';
    fw::SetConfigModified(fw::FALSE);
    c.Type(" ");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kNameScreen + "L b pair" + std::string(56, ' ') + "\nNew Name <CR>: ");
    EXPECT_EQ(c.Enter("Lab pair"), "Lab pair\r\nConfiguration Name Changed\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
}

// A single controller outside line power: only its own WWN is offered.
TEST_F(AdditionalConfigMenus, WwnMenuOffersThisControllersWwn) {
    Open();
    const std::string sOwn = NvramWwn();
    const std::string sScreen = Title("Modify Configuration WWN Menu", "1-8-2") + "Current Configuration WWN: " +
                                Hex(Header().abWriterWwn) + "\n\n1.  Use Controller 0 WWN (" + sOwn +
                                ")\n\n0.  Exit\n\n" + kPrompt;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + sScreen);
    EXPECT_EQ(c.Enter("2"), "2\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nNo Change\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    // Another WWN in the image: option 1 takes this controller's back.
    Header().abWriterWwn[7] ^= 0x5A;
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nConfiguration WWN Changed\n\n" + kAnyKey);
    EXPECT_EQ(Hex(Header().abWriterWwn), sOwn);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(c.Type(" "), kMenu);
}

// In line power the last three bytes may be typed: at most 3FFFFF, exactly
// three bytes.  The accepted WWN is kept in NVRAM too.
TEST_F(AdditionalConfigMenus, ManualWwnTakesThreeBytesUpTo3FFFFF) {
    fw::SetLinePowerMode(fw::TRUE);
    Open();
    const std::string sOwn = NvramWwn();
    const std::string sWwnScreen = Title("Modify Configuration WWN Menu", "1-8-2") + "Current Configuration WWN: " +
                                   sOwn + "\n\n1.  Use Controller 0 WWN (" + sOwn +
                                   ")\n2.  Manually Enter WWN\n\n0.  Exit\n\n" + kPrompt;
    ASSERT_EQ(c.Enter("2"), "2\r\n\n" + sWwnScreen);
    const std::string sAsk = Title("Modify Configuration WWN Menu", "1-8-2-2") +
                             "\nEnter New Configuration WWN (3 bytes hex,000000->3fffff): ";
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + sAsk);
    for (const char* psz : {"400000", "3fff", "3fffff00", "", "3fffzz", "3ffff"}) {
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r\nInvalid Selection\n\n" + kAnyKey) << psz;
        EXPECT_EQ(c.Type(" "), sWwnScreen) << psz;
        c.Enter("2");
    }
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(c.Enter("3FFFFF"), "3FFFFF\r\nConfiguration WWN Changed\n\n" + kAnyKey);
    const std::string sNew = sOwn.substr(0, 10) + "3fffff";
    EXPECT_EQ(Hex(Header().abWriterWwn), sNew);
    uint8_t abStored[8];
    fw::GetNvramAlternateWwn(abStored);
    EXPECT_EQ(Hex(abStored), sNew);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");
    c.Enter("2");
    c.Enter("2");
    EXPECT_EQ(c.Enter("3fffff"), "3fffff\r\nNo Change\n\n" + kAnyKey);
}

TEST_F(ScsiAdditionalConfigMenus, ParallelScsiPortsCallTheWwnASerialNumber) {
    fw::SetLinePowerMode(fw::TRUE);
    const std::string sMenu = Open();
    EXPECT_NE(sMenu.find("2.  Modify Configuration Serial Number\n"), std::string::npos) << sMenu;
    const std::string sScreen = c.Enter("2");
    EXPECT_NE(sScreen.find(Title("Modify Configuration Serial Number", "1-8-2") +
                           "Current Configuration Serial Number: "),
              std::string::npos)
        << sScreen;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + Title("Modify Configuration Serial Number", "1-8-2-2") +
                                "\nEnter New Configuration Serial Number (3 bytes hex,000000->3fffff): ");
    EXPECT_EQ(c.Enter("000001"), "000001\r\nConfiguration Serial Number Changed\n\n" + kAnyKey);
}

// The three switches: Y turns one on, N off, anything else (or the state it
// has) is no change.
TEST_F(AdditionalConfigMenus, SwitchesStoreTheirByteOnlyOnAChange) {
    struct Switch {
        const char* pszOption;
        const char* pszTitle;
        const char* pszPath;
        const char* pszOn;
        const char* pszOff;
        const char* pszQuestion;
        const char* pszEnabled;
        const char* pszDisabled;
        size_t dOffset;
    };
    const Switch aSwitches[] = {
        {"3", "Background Verification Configuration Menu", "1-8-3", "\nBackground Verification is currently enabled\n",
         "\nBackground Verification is currently disabled\n", "Enable Background Verification? (Y or N): ",
         "\nBackground Verification Enabled\n\n", "\nBackground Verification Disabled\n\n", 208},
        {"4", "Log Enclosure Events Menu", "1-8-4", "\nLog Enclosure Events is Currently Enabled\n",
         "\nLog Enclosure Events is Currently Disabled\n", "Enable Log Enclosure Events? (Y or N): ",
         "\nLog Enclosure Events Enabled\n\n", "\nLog Enclosure Events Disabled\n\n", 210},
        {"5", "Single Controller Mode Configuration Menu", "1-8-5", "\nSingle Controller Mode is Currently Enabled\n",
         "\nSingle Controller Mode is Currently Disabled\n", "Enable Single Controller Mode? (Y or N): ",
         "\nSingle Controller Mode Enabled\n\n", "\nSingle Controller Mode Disabled\n\n", 171},
    };
    uint8_t* pbImage = reinterpret_cast<uint8_t*>(fw::pGetScratchConfigImage());
    for (const Switch& s : aSwitches) {
        pbImage[s.dOffset] = fw::FALSE;
        fw::SetConfigModified(fw::FALSE);
        Open();
        const std::string sHead = Title(s.pszTitle, s.pszPath);
        EXPECT_EQ(c.Enter(s.pszOption), std::string(s.pszOption) + "\r\n\n" + sHead + s.pszOff + s.pszQuestion);
        EXPECT_EQ(c.Enter("N"), "N\r\nNo Change\n\n" + kAnyKey) << s.pszTitle;
        c.Type(" ");
        c.Enter(s.pszOption);
        EXPECT_EQ(c.Enter("YY"), "YY\r\nNo Change\n\n" + kAnyKey) << s.pszTitle;
        EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE) << s.pszTitle;
        c.Type(" ");
        c.Enter(s.pszOption);
        EXPECT_EQ(c.Enter("y"), std::string("y\r") + s.pszEnabled + kAnyKey);
        EXPECT_EQ(pbImage[s.dOffset], fw::TRUE) << s.pszTitle;
        EXPECT_EQ(c.Type(" "), kMenu);
        EXPECT_EQ(c.Enter(s.pszOption), std::string(s.pszOption) + "\r\n\n" + sHead + s.pszOn + s.pszQuestion);
        EXPECT_EQ(c.Enter("n"), std::string("n\r") + s.pszDisabled + kAnyKey);
        EXPECT_EQ(pbImage[s.dOffset], fw::FALSE) << s.pszTitle;
        EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE) << s.pszTitle;
        c.Type(" ");
    }
}

// The mode is saved, and the cache writes back without the partner, or no
// longer does, as soon as the commit is applied: no reset is needed, and
// none is asked for.  Switched on with the keys the README gives for a
// pair's data directory run alone.
TEST_F(AdditionalConfigMenus, SingleControllerModeTakesEffectWhenSaved) {
    const auto Save = [this](const char* pszAnswer, const char* pszSaid) {
        c.Enter("8");
        c.Enter("5");
        EXPECT_EQ(c.Enter(pszAnswer),
                  std::string(pszAnswer) + "\r\nSingle Controller Mode " + pszSaid + "\n\n" + kAnyKey);
        EXPECT_EQ(c.Type(" "), kMenu);
        c.Enter("0");
        EXPECT_NE(c.Enter("0").find("Confirm saving of new configuration (Y or N): "), std::string::npos);
        EXPECT_EQ(c.Enter("y"), "y\r\nSaving Configuration\n\n" + kAnyKey);
    };
    consoletest::MakeArray(fw::RAID_LEVEL_5, 3);   // the Configuration Menu's options need one
    Save("n", "Disabled");
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.fSingleControllerMode, fw::FALSE);
    EXPECT_EQ(fw::fGetWriteBackWithoutPartner(), fw::FALSE);
    c.Type(" ");
    c.Enter("1");
    Save("y", "Enabled");
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.fSingleControllerMode, fw::TRUE);
    EXPECT_EQ(fw::fGetWriteBackWithoutPartner(), fw::TRUE);
}

// A controller waiting for writes its partner acknowledged alone and never
// handed over warns, before it asks, what going on without them costs; the
// screen is the plain one otherwise, and once the mode is on.
TEST_F(AdditionalConfigMenus, SingleControllerModeWarnsOfWritesThePartnerNeverHandedOver) {
    const std::string sHead = Title("Single Controller Mode Configuration Menu", "1-8-5");
    const std::string sWarning =
        "\nWARNING: The Partner Controller Holds Cached Writes It Never Handed Over.\n"
        "Enabling Loses Them Without A Trace: Hosts Will Read Older Data For Them.\n\n";
    Header().fSingleControllerMode = fw::FALSE;
    fw::AwaitPartnerJournals();
    Open();
    EXPECT_EQ(c.Enter("5"), "5\r\n\n" + sHead + "\nSingle Controller Mode is Currently Disabled\n" + sWarning +
                                "Enable Single Controller Mode? (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nSingle Controller Mode Enabled\n\n" + kAnyKey);
    c.Type(" ");
    EXPECT_EQ(c.Enter("5"), "5\r\n\n" + sHead + "\nSingle Controller Mode is Currently Enabled\n" +
                                "Enable Single Controller Mode? (Y or N): ");
}

const std::string kPerformanceHead = Title("Advanced Performance Options Menu", "1-8-6");

// Below the advanced level only options 2 and 5; a toggle reports the change
// and arms the save's write-back check.
TEST_F(AdditionalConfigMenus, PerformanceOptionsByAdvancedLevel) {
    Open();
    const std::string sBasic = kPerformanceHead +
                               "2.  Enable Target Command Thread Balance\n"
                               "5.  Sequential Write Thread Support Level\n"
                               "\n0.  Exit\n\n" +
                               kPrompt;
    EXPECT_EQ(c.Enter("6"), "6\r\n\n" + sBasic);
    EXPECT_EQ(c.Enter("1"), "1\r" + kPrompt);
    EXPECT_EQ(c.Enter("3"), "3\r" + kPrompt);
    fw::SetWriteBackCheckEnable(fw::FALSE);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nParameter Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().fThreadBalance, fw::TRUE);
    EXPECT_EQ(fw::fGetWriteBackCheckEnable(), fw::TRUE);
    fw::SetAdvancedConfigModeLevel(4);
    EXPECT_EQ(c.Type(" "), kPerformanceHead +
                               "1.  Enable Simultaneous Multiple Stripe Access\n"
                               "2.  Disable Target Command Thread Balance\n"
                               "3.  Configure INQUIRY SPC Field\n"
                               "4.  Enable Cache Flushing Command\n"
                               "5.  Sequential Write Thread Support Level\n"
                               "\n0.  Exit\n\n" +
                               kPrompt);
    c.Enter("1");
    c.Type(" ");
    c.Enter("4");
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(Header().fMultipleStripeAccess, fw::TRUE);
    EXPECT_EQ(Header().fCacheFlushCommand, fw::TRUE);
    EXPECT_EQ(Header().fThreadBalance, fw::FALSE);
    EXPECT_EQ(c.Type(" ").find("2.  Enable Target Command Thread Balance\n"), kPerformanceHead.size() + 48);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kMenu);
}

TEST_F(AdditionalConfigMenus, SpcLevelShowsUnknownAndStoresTheVersionValue) {
    fw::SetAdvancedConfigModeLevel(4);
    Header().bSpcLevel = 0;
    Open();
    c.Enter("6");
    const std::string sOptions = "1.  Set SPC-2\n2.  Set SPC-3\n\n0.  Exit\n\n" + kPrompt;
    const std::string sHead = Title("SPC Level Configuration Menu", "1-8-6-3");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + sHead + "\nCurent SPC level is unknown.\n\n" + sOptions);
    EXPECT_EQ(c.Enter("3"), "3\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nParameter Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().bSpcLevel, 4);
    c.Type(" ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + sHead + "\nCurrently reporting SPC-2.\n\n" + sOptions);
    c.Enter("2");
    EXPECT_EQ(Header().bSpcLevel, 5);
    c.Type(" ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + sHead + "\nCurrently reporting SPC-3.\n\n" + sOptions);
    EXPECT_EQ(c.Enter("0").rfind("0\r\n\n" + kPerformanceHead, 0), 0u);
}

TEST_F(AdditionalConfigMenus, SequentialWriteLevelMarksTheCurrentOneAndZeroReadsLow) {
    Header().bSequentialWriteLevel = 0;
    Open();
    c.Enter("6");
    const std::string sHead =
        Title("Sequential Write Thread Support Levels", "1-8-6-5") + "** denotes current setting\n\n";
    EXPECT_EQ(c.Enter("5"), "5\r\n\n" + sHead +
                                "1.  Off - Best for Random I/O\n"
                                "**2.  Low (Default) - Good for General Purpose Applications\n"
                                "3.  Medium - Mostly Sequential Loads\n"
                                "4.  High - Multi-Camera Video Surveillance\n"
                                "\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\nParameter Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().bSequentialWriteLevel, 4);
    c.Type(" ");
    EXPECT_NE(c.Enter("5").find("**4.  High"), std::string::npos);
}

// Each developer switch reads a cleared byte by its own rule; a choice
// turns it the other way and stores TRUE or FALSE.
TEST_F(AdditionalConfigMenus, DeveloperOptionsToggleByTheirOnRule) {
    fw::SetAdvancedConfigModeLevel(4);
    uint8_t* pbImage = reinterpret_cast<uint8_t*>(fw::pGetScratchConfigImage());
    const size_t adOffsets[] = {229, 230, 231, 233, 234, 239, 240, 241, 242};
    for (size_t d : adOffsets) pbImage[d] = 0;
    Open();
    EXPECT_EQ(c.Enter("7"), "7\r\n\n" + Title("Developer Options Menu", "1-8-7") +
                                "Warning: Developer Options Only, Do Not Modify!!!\n\n"
                                "1.  Disable Read/Write Overlap Caching\n"
                                "2.  Disable Advanced Overlap Checking\n"
                                "3.  Enable Write Collapsing\n"
                                "4.  Disable Partial Command Clustering\n"
                                "5.  Disable Synchronised Full Stripe Write\n"
                                "6.  Enable SATA Drive NCQ Support\n"
                                "7.  Disable Safe Drive Writeback Cache Support\n"
                                "8.  Enable Reduced Disruption SAS Error Handling\n"
                                "9.  Enable Multithreaded Sequential WT Optimizations\n"
                                "\n0.  Exit\n\n" +
                                kPrompt);
    const uint8_t abAfter[] = {fw::FALSE, fw::FALSE, fw::TRUE, fw::FALSE, fw::FALSE,
                               fw::TRUE,  fw::FALSE, fw::TRUE, fw::TRUE};
    for (int i = 0; i < 9; ++i) {
        const std::string sOption = std::to_string(i + 1);
        EXPECT_EQ(c.Enter(sOption), sOption + "\r\n\n" + kAnyKey);
        EXPECT_EQ(pbImage[adOffsets[i]], abAfter[i]) << sOption;
        EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x1187u * 16 + i + 1);
        c.Type(" ");
    }
    // Chosen again, each goes back.
    c.Enter("1");
    EXPECT_EQ(pbImage[229], fw::TRUE);
}

}  // namespace
