// The Additional Configuration Menu and the screens below it: the
// configuration's name and WWN, the controller-wide switches, and the
// performance and developer options.  Every answer lands in the scratch
// image; nothing takes effect before the configuration is saved.
#include <cstring>

#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/spares_wwn.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "console/menu_tree.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/host_interface.h"
#include "partner/partner_state.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint64_t PATH_ADDITIONAL = 0x118;
constexpr uint64_t PATH_NAME = 0x1181;
constexpr uint64_t PATH_WWN = 0x1182;
constexpr uint64_t PATH_WWN_ENTRY_SINGLE = 0x11822;
constexpr uint64_t PATH_WWN_ENTRY_PAIR = 0x11823;
constexpr uint64_t PATH_VERIFY = 0x1183;
constexpr uint64_t PATH_LOG_ENCLOSURE = 0x1184;
constexpr uint64_t PATH_SINGLE = 0x1185;
constexpr uint64_t PATH_PERFORMANCE = 0x1186;
constexpr uint64_t PATH_SPC = 0x11863;
constexpr uint64_t PATH_SEQUENTIAL = 0x11865;
constexpr uint64_t PATH_DEVELOPER = 0x1187;

// The developer options and the performance options that change how
// commands run are for an unlocked advanced configuration level.
constexpr uint8_t ADVANCED_OPTIONS_LEVEL = 4;
// The manual WWN keeps the configuration's company bytes; its top 2 bits
// stay clear.
constexpr uint8_t WWN_ENTRY_BYTES = 3;
constexpr uint8_t WWN_ENTRY_HIGHEST_FIRST = 0x3F;
constexpr uint8_t SPC_2 = 4;
constexpr uint8_t SPC_3 = 5;
constexpr uint8_t SEQUENTIAL_LOW = 2;
constexpr uint8_t SEQUENTIAL_LEVELS = 4;

MENU_STATE& Menu() { return *psGetMenuState(); }
CONFIG_HEADER& Header() { return pGetScratchConfigImage()->sHeader; }
// Parallel SCSI hosts know the configuration by a serial number.
bool fSerialNumber() { return bGetHostInterfaceType() == HOST_INTERFACE_SAS; }
uint16_t wSelected() { return wGetSelectedOption(); }

// --- the configuration name -------------------------------------------------

void ModifyConfigName() {
    char* pcName = Header().acConfigName;
    constexpr uint8_t bSize = sizeof(Header().acConfigName);
    if (Menu().lMenuPath != PATH_NAME) {
        BeginScreen(ModifyConfigName, PATH_NAME, "Modify Configuration Name Menu");
        ConsolePrintf("\nCurrent Name : ");
        for (uint8_t i = 0; i < bSize; ++i) {
            const char c = pcName[i];
            ConsolePrintf("%c", c >= 32 && c <= 126 ? c : ' ');
        }
        ConsolePrintf("\nNew Name <CR>: ");
        AwaitTypedAnswer();
        return;
    }
    char acTyped[bSize];
    uint8_t bLength = 0;
    const uint8_t bResult = bGetMenuTextInput(acTyped, &bLength, bSize);
    if (bResult == PARSE_EMPTY) {
        ShowResult("\nNo change\n\n", AdditionalConfigMenu);
    } else if (bResult == PARSE_VALUE) {
        std::memset(pcName, ' ', bSize);
        std::memcpy(pcName, acTyped, bLength);
        SetConfigModified(TRUE);
        ShowResult("\nConfiguration Name Changed\n\n", AdditionalConfigMenu);
    } else {
        ShowResult("\nInvalid selection\n\n", AdditionalConfigMenu);
    }
}

// --- the configuration WWN --------------------------------------------------

void ModifyConfigWwn();

const char* pszWwnChanged() {
    return fSerialNumber() ? "\nConfiguration Serial Number Changed\n\n" : "\nConfiguration WWN Changed\n\n";
}

// The WWNs offered, controller 0's first: this controller's from NVRAM and
// the partner's while it runs beside us.  Controller 0 is the one in slot 1.
struct WWN_CHOICES {
    uint8_t aabWwn[2][8];
    const char* apszController[2];
    uint8_t bCount;
    bool fPartner;
};

WWN_CHOICES ControllerWwns() {
    WWN_CHOICES s{};
    uint8_t abPartner[8];
    GetPartnerNodeName(abPartner);
    s.fPartner = fIsNonZeroWwn(abPartner) == TRUE && fIsDualControllerActive() == TRUE;
    const bool fOwnIs0 = fIsControllerSlot1() == TRUE;
    const auto Add = [&s](const uint8_t* pbWwn, bool fController0) {
        std::memcpy(s.aabWwn[s.bCount], pbWwn, 8);
        s.apszController[s.bCount++] = fController0 ? "0" : "1";
    };
    uint8_t abOwn[8];
    GetNvramControllerWwn(abOwn);
    if (s.fPartner && !fOwnIs0) Add(abPartner, true);
    Add(abOwn, fOwnIs0);
    if (s.fPartner && fOwnIs0) Add(abPartner, false);
    return s;
}

void EnterConfigWwn() {
    uint8_t* pbWwn = Header().abWriterWwn;
    const uint64_t lPath = ControllerWwns().fPartner ? PATH_WWN_ENTRY_PAIR : PATH_WWN_ENTRY_SINGLE;
    if (Menu().lMenuPath != lPath) {
        BeginScreen(EnterConfigWwn, lPath,
                    fSerialNumber() ? "Modify Configuration Serial Number" : "Modify Configuration WWN Menu");
        ConsolePrintText(fSerialNumber() ? "\nEnter New Configuration Serial Number (3 bytes hex,000000->3fffff): "
                                      : "\nEnter New Configuration WWN (3 bytes hex,000000->3fffff): ");
        AwaitTypedAnswer();
        return;
    }
    uint8_t abTyped[WWN_ENTRY_BYTES];
    uint8_t bCount = 0;
    if (bGetHexInput(abTyped, &bCount, WWN_ENTRY_BYTES) != PARSE_VALUE || bCount != WWN_ENTRY_BYTES ||
        abTyped[0] > WWN_ENTRY_HIGHEST_FIRST) {
        ShowResult("\nInvalid Selection\n\n", ModifyConfigWwn);
        return;
    }
    uint8_t* pbTail = pbWwn + 8 - WWN_ENTRY_BYTES;
    if (std::memcmp(pbTail, abTyped, WWN_ENTRY_BYTES) == 0) {
        ShowResult("\nNo Change\n\n", AdditionalConfigMenu);
        return;
    }
    std::memcpy(pbTail, abTyped, WWN_ENTRY_BYTES);
    SetNvramAlternateWwn(pbWwn);
    SetConfigModified(TRUE);
    ShowResult(pszWwnChanged(), AdditionalConfigMenu);
}

void ShowModifyConfigWwn(const WWN_CHOICES& s) {
    BeginScreen(ModifyConfigWwn, PATH_WWN,
                fSerialNumber() ? "Modify Configuration Serial Number" : "Modify Configuration WWN Menu");
    ConsolePrintf(fSerialNumber() ? "Current Configuration Serial Number: " : "Current Configuration WWN: ");
    PrintWwn(Header().abWriterWwn);
    ConsolePrintf("\n\n");
    for (uint8_t i = 0; i < s.bCount; ++i) {
        ConsolePrintf("%u.  Use Controller %s WWN (", i + 1u, s.apszController[i]);
        PrintWwn(s.aabWwn[i]);
        ConsolePrintf(")\n");
    }
    uint16_t wMask = static_cast<uint16_t>((2u << s.bCount) - 1);
    if (fIsLinePowerMode() == TRUE) {
        ConsolePrintf("%u.  Manually Enter WWN\n", s.bCount + 1u);
        wMask = static_cast<uint16_t>(wMask | MenuOptionBit(s.bCount + 1u));
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void ModifyConfigWwn() {
    const WWN_CHOICES s = ControllerWwns();
    if (Menu().lMenuPath != PATH_WWN) {
        ShowModifyConfigWwn(s);
        return;
    }
    for (uint8_t i = 0; i < s.bCount; ++i) {
        if (wSelected() != MenuOptionBit(i + 1u)) continue;
        if (fWwnEqual(s.aabWwn[i], Header().abWriterWwn) == TRUE) {
            ShowResult("\nNo Change\n\n", AdditionalConfigMenu);
            return;
        }
        std::memcpy(Header().abWriterWwn, s.aabWwn[i], 8);
        SetConfigModified(TRUE);
        ShowResult(pszWwnChanged(), AdditionalConfigMenu);
        return;
    }
    if (wSelected() == MenuOptionBit(s.bCount + 1u)) {
        EnterConfigWwn();
        return;
    }
    AdditionalConfigMenu();
}

// --- the controller-wide switches -------------------------------------------

void BackgroundVerifyMenu() {
    static const TOGGLE_SCREEN s{"Background Verification Configuration Menu",
                                 PATH_VERIFY,
                                 "\nBackground Verification is currently enabled\n",
                                 "\nBackground Verification is currently disabled\n",
                                 "Enable Background Verification? (Y or N): ",
                                 "\nBackground Verification Enabled\n\n",
                                 "\nBackground Verification Disabled\n\n",
                                 AdditionalConfigMenu};
    RunToggleScreen(BackgroundVerifyMenu, s, &Header().fBackgroundVerify);
}

void LogEnclosureEventsMenu() {
    static const TOGGLE_SCREEN s{"Log Enclosure Events Menu",
                                 PATH_LOG_ENCLOSURE,
                                 "\nLog Enclosure Events is Currently Enabled\n",
                                 "\nLog Enclosure Events is Currently Disabled\n",
                                 "Enable Log Enclosure Events? (Y or N): ",
                                 "\nLog Enclosure Events Enabled\n\n",
                                 "\nLog Enclosure Events Disabled\n\n",
                                 AdditionalConfigMenu};
    RunToggleScreen(LogEnclosureEventsMenu, s, &Header().fControllerMonitorSes);
}

void SingleControllerMenu() {
    TOGGLE_SCREEN s{"Single Controller Mode Configuration Menu",
                    PATH_SINGLE,
                    "\nSingle Controller Mode is Currently Enabled\n",
                    "\nSingle Controller Mode is Currently Disabled\n",
                    "Enable Single Controller Mode? (Y or N): ",
                    "\nSingle Controller Mode Enabled\n\n",
                    "\nSingle Controller Mode Disabled\n\n",
                    AdditionalConfigMenu};
    // Waiting for writes the partner acknowledged alone, of which not even
    // the records came: which blocks they were is known to the partner
    // only, so going on without it loses them unreported, and the operator
    // must hear that before answering.
    if (fIsAwaitingPartnerJournals() == TRUE && fHasStartCopyDataCome() != TRUE &&
        Header().fSingleControllerMode != TRUE) {
        s.pszWarning = "\nWARNING: The Partner Controller Holds Cached Writes It Never Handed Over.\n"
                       "Enabling Loses Them Without A Trace: Hosts Will Read Older Data For Them.\n\n";
    }
    RunToggleScreen(SingleControllerMenu, s, &Header().fSingleControllerMode);
}

// --- the advanced performance options ---------------------------------------

void PerformanceOptionsMenu();

// A change made here also arms the write-back check of the save.
void PerformanceResult(const char* pszText, MENU_FUNCTION pfnNext) {
    ConsolePrintText(pszText);
    if (fGetConfigModified() == TRUE) {
        SetWriteBackCheckEnable(TRUE);
        ConsolePrintText("\nParameter Changed\n\n");
    }
    WaitForAnyKeyThen(pfnNext);
}

void Toggle(uint8_t* pfSetting, uint64_t lPath) {
    *pfSetting = *pfSetting == TRUE ? FALSE : TRUE;
    SetConfigModified(TRUE);
    Menu().lMenuPath = lPath;
}

void InvalidChoice(MENU_FUNCTION pfnNext) { ShowResult("\nInvalid Choice\n\n", pfnNext); }

void SpcLevelMenu() {
    if (Menu().lMenuPath != PATH_SPC) {
        BeginScreen(SpcLevelMenu, PATH_SPC, "SPC Level Configuration Menu");
        // The stored byte, not the applied level: an unsaved choice shows.
        const uint8_t bLevel = Header().bSpcLevel;
        if (bLevel == SPC_2) ConsolePrintf("\nCurrently reporting SPC-2.\n\n");
        else if (bLevel == SPC_3) ConsolePrintf("\nCurrently reporting SPC-3.\n\n");
        else ConsolePrintf("\nCurent SPC level is unknown.\n\n");
        ConsolePrintf("1.  Set SPC-2\n");
        ConsolePrintf("2.  Set SPC-3\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x07);
        return;
    }
    if (wSelected() == MenuOptionBit(1) || wSelected() == MenuOptionBit(2)) {
        const bool f2 = wSelected() == MenuOptionBit(1);
        Header().bSpcLevel = f2 ? SPC_2 : SPC_3;
        SetConfigModified(TRUE);
        Menu().lMenuPath = PATH_SPC * 16 + (f2 ? 1 : 2);
        PerformanceResult("", PerformanceOptionsMenu);
    } else if (wSelected() == MenuOptionBit(0)) {
        PerformanceOptionsMenu();
    } else {
        InvalidChoice(SpcLevelMenu);
    }
}

void SequentialWriteLevelMenu() {
    static const char* const apszLevels[SEQUENTIAL_LEVELS] = {
        "%s1.  Off - Best for Random I/O\n",
        "%s2.  Low (Default) - Good for General Purpose Applications\n",
        "%s3.  Medium - Mostly Sequential Loads\n",
        "%s4.  High - Multi-Camera Video Surveillance\n",
    };
    if (Menu().lMenuPath != PATH_SEQUENTIAL) {
        BeginScreen(SequentialWriteLevelMenu, PATH_SEQUENTIAL, "Sequential Write Thread Support Levels");
        ConsolePrintf("** denotes current setting\n\n");
        uint8_t bLevel = Header().bSequentialWriteLevel;
        if (bLevel < 1 || bLevel > SEQUENTIAL_LEVELS) bLevel = SEQUENTIAL_LOW;
        for (uint8_t i = 0; i < SEQUENTIAL_LEVELS; ++i) ConsolePrintf(apszLevels[i], i + 1 == bLevel ? "**" : "");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x1F);
        return;
    }
    for (uint8_t n = 1; n <= SEQUENTIAL_LEVELS; ++n) {
        if (wSelected() != MenuOptionBit(n)) continue;
        Header().bSequentialWriteLevel = n;
        SetConfigModified(TRUE);
        Menu().lMenuPath = PATH_SEQUENTIAL * 16 + 1;
        PerformanceResult("", PerformanceOptionsMenu);
        return;
    }
    if (wSelected() == MenuOptionBit(0)) {
        PerformanceOptionsMenu();
    } else {
        InvalidChoice(SequentialWriteLevelMenu);
    }
}

void ShowPerformanceOptionsMenu() {
    BeginScreen(PerformanceOptionsMenu, PATH_PERFORMANCE, "Advanced Performance Options Menu");
    const bool fAdvanced = bGetAdvancedConfigModeLevel() >= ADVANCED_OPTIONS_LEVEL;
    const CONFIG_HEADER& h = Header();
    uint16_t wMask = 0x25;
    if (fAdvanced) {
        ConsolePrintf(h.fMultipleStripeAccess == TRUE ? "1.  Disable Simultaneous Multiple Stripe Access\n"
                                                      : "1.  Enable Simultaneous Multiple Stripe Access\n");
        wMask |= MenuOptionBit(1) | MenuOptionBit(3) | MenuOptionBit(4);
    }
    ConsolePrintf(h.fThreadBalance == TRUE ? "2.  Disable Target Command Thread Balance\n"
                                           : "2.  Enable Target Command Thread Balance\n");
    if (fAdvanced) {
        ConsolePrintf("3.  Configure INQUIRY SPC Field\n");
        ConsolePrintf(h.fCacheFlushCommand == TRUE ? "4.  Disable Cache Flushing Command\n"
                                                   : "4.  Enable Cache Flushing Command\n");
    }
    ConsolePrintf("5.  Sequential Write Thread Support Level\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void PerformanceOptionsMenu() {
    if (Menu().lMenuPath != PATH_PERFORMANCE) {
        ShowPerformanceOptionsMenu();
        return;
    }
    CONFIG_HEADER& h = Header();
    switch (wSelected()) {
    case 1u << 1: Toggle(&h.fMultipleStripeAccess, PATH_PERFORMANCE * 16 + 1); break;
    case 1u << 2: Toggle(&h.fThreadBalance, PATH_PERFORMANCE * 16 + 2); break;
    case 1u << 3: SpcLevelMenu(); return;
    case 1u << 4: Toggle(&h.fCacheFlushCommand, PATH_PERFORMANCE * 16 + 4); break;
    case 1u << 5: SequentialWriteLevelMenu(); return;
    case 1u << 0: AdditionalConfigMenu(); return;
    default: InvalidChoice(AdditionalConfigMenu); return;
    }
    PerformanceResult("", PerformanceOptionsMenu);
}

// --- the developer options --------------------------------------------------

// How a cleared byte (0) reads: most switches are on until turned off.
enum class ZeroReads : uint8_t { On, Off, OnInActiveActiveState4 };

struct DEVELOPER_OPTION {
    const char* pszDisable;
    const char* pszEnable;
    uint8_t CONFIG_HEADER::*pfSetting;
    ZeroReads eZero;
};

const DEVELOPER_OPTION DEVELOPER_OPTIONS[] = {
    {"1.  Disable Read/Write Overlap Caching\n", "1.  Enable Read/Write Overlap Caching\n",
     &CONFIG_HEADER::fOverlapCaching, ZeroReads::On},
    {"2.  Disable Advanced Overlap Checking\n", "2.  Enable Advanced Overlap Checking\n",
     &CONFIG_HEADER::fAdvancedOverlapCheck, ZeroReads::On},
    {"3.  Disable Write Collapsing\n", "3.  Enable Write Collapsing\n", &CONFIG_HEADER::fWriteCollapsing,
     ZeroReads::Off},
    {"4.  Disable Partial Command Clustering\n", "4.  Enable Partial Command Clustering\n",
     &CONFIG_HEADER::fPartialClustering, ZeroReads::On},
    {"5.  Disable Synchronised Full Stripe Write\n", "5.  Enable Synchronised Full Stripe Write\n",
     &CONFIG_HEADER::fSyncFullStripeWrite, ZeroReads::On},
    {"6.  Disable SATA Drive NCQ Support\n", "6.  Enable SATA Drive NCQ Support\n", &CONFIG_HEADER::fSataNcq,
     ZeroReads::OnInActiveActiveState4},
    {"7.  Disable Safe Drive Writeback Cache Support\n", "7.  Enable Safe Drive Writeback Cache Support\n",
     &CONFIG_HEADER::fSafeDriveWriteCache, ZeroReads::On},
    {"8.  Disable Reduced Disruption SAS Error Handling\n", "8.  Enable Reduced Disruption SAS Error Handling\n",
     &CONFIG_HEADER::fReducedSasErrorHandling, ZeroReads::Off},
    {"9.  Disable Multithreaded Sequential WT Optimizations\n",
     "9.  Enable Multithreaded Sequential WT Optimizations\n", &CONFIG_HEADER::fMultithreadedWriteThrough,
     ZeroReads::Off},
};

bool fDeveloperOptionOn(const DEVELOPER_OPTION& o) {
    const uint8_t b = Header().*o.pfSetting;
    if (b == TRUE) return true;
    if (b != 0) return false;
    switch (o.eZero) {
    case ZeroReads::On: return true;
    case ZeroReads::Off: return false;
    case ZeroReads::OnInActiveActiveState4: return fIsSASActiveActiveState4() == TRUE;
    }
    return false;
}

void DeveloperOptionsMenu() {
    if (Menu().lMenuPath != PATH_DEVELOPER) {
        BeginScreen(DeveloperOptionsMenu, PATH_DEVELOPER, "Developer Options Menu");
        ConsolePrintf("Warning: Developer Options Only, Do Not Modify!!!\n\n");
        for (const DEVELOPER_OPTION& o : DEVELOPER_OPTIONS)
            ConsolePrintText(fDeveloperOptionOn(o) ? o.pszDisable : o.pszEnable);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x3FF);
        return;
    }
    for (uint8_t i = 0; i < sizeof DEVELOPER_OPTIONS / sizeof DEVELOPER_OPTIONS[0]; ++i) {
        const DEVELOPER_OPTION& o = DEVELOPER_OPTIONS[i];
        if (wSelected() != MenuOptionBit(i + 1u)) continue;
        Header().*o.pfSetting = fDeveloperOptionOn(o) ? FALSE : TRUE;
        SetConfigModified(TRUE);
        Menu().lMenuPath = PATH_DEVELOPER * 16 + i + 1;
        WaitForAnyKeyThen(DeveloperOptionsMenu);
        return;
    }
    if (wSelected() == MenuOptionBit(0)) {
        AdditionalConfigMenu();
    } else {
        InvalidChoice(AdditionalConfigMenu);
    }
}

// --- the menu itself ----------------------------------------------------------

void ShowAdditionalConfigMenu() {
    BeginScreen(AdditionalConfigMenu, PATH_ADDITIONAL, "Additional Configuration Menu");
    ConsolePrintf("1.  Modify Configuration Name\n");
    ConsolePrintf(fSerialNumber() ? "2.  Modify Configuration Serial Number\n" : "2.  Modify Configuration WWN\n");
    ConsolePrintf("3.  Set Background Verification\n");
    ConsolePrintf("4.  Log Enclosure Events\n");
    uint16_t wMask = 0x5F;
    if (fGetBoardFlagB6() == TRUE) {
        ConsolePrintf("5.  Set Single Controller Mode\n");
        wMask = 0x7F;
    }
    ConsolePrintf("6.  Configure Advanced Performance Options\n");
    ConsolePrintf("\n0.  Exit\n\n");
    // The developer options stay unlisted; an unlocked advanced level
    // opens them as option 7.
    if (bGetAdvancedConfigModeLevel() >= ADVANCED_OPTIONS_LEVEL) wMask |= MenuOptionBit(7);
    EndOptionScreen(wMask);
}

}  // namespace

void AdditionalConfigMenu() {
    if (Menu().lMenuPath != PATH_ADDITIONAL) {
        ShowAdditionalConfigMenu();
        return;
    }
    switch (wSelected()) {
    case 1u << 1: ModifyConfigName(); break;
    case 1u << 2: ModifyConfigWwn(); break;
    case 1u << 3: BackgroundVerifyMenu(); break;
    case 1u << 4: LogEnclosureEventsMenu(); break;
    case 1u << 5: SingleControllerMenu(); break;
    case 1u << 6: PerformanceOptionsMenu(); break;
    case 1u << 7: DeveloperOptionsMenu(); break;
    default: ConfigurationMenu(); break;
    }
}

}  // namespace fw
