// The settings of an array that exists: its cache (read-ahead size and the
// write-back dialogue) and the advanced menu (initialise, trust, pause,
// name, chunk size, force fault tolerant, bad block list).  Every change
// goes into the array's record of the scratch image and takes effect when
// the configuration is saved.
#include "console/menu_tree.h"

#include <cstring>

#include "config/array_operations.h"
#include "config/bad_blocks.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "config/spares_wwn.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "dataservices/data_services.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint64_t PATH_CACHE_SELECT = 0x1115;
constexpr uint64_t PATH_CACHE = 0x11151;
constexpr uint64_t PATH_READ_AHEAD = 0x111511;
constexpr uint64_t PATH_WRITEBACK = 0x111512;

constexpr uint64_t PATH_ADVANCED = 0x1117;
constexpr uint64_t PATH_INITIALIZE = 0x11171;
constexpr uint64_t PATH_CONFIRM_INITIALIZE = 0x111711;
constexpr uint64_t PATH_TRUST = 0x11172;
constexpr uint64_t PATH_CONFIRM_TRUST = 0x111721;
constexpr uint64_t PATH_PAUSE = 0x11173;
constexpr uint64_t PATH_CONFIRM_PAUSE = 0x111731;
constexpr uint64_t PATH_NAME = 0x11174;
constexpr uint64_t PATH_MODIFY_NAME = 0x111741;
constexpr uint64_t PATH_CHUNK = 0x11175;
constexpr uint64_t PATH_NEW_CHUNK = 0x111751;
constexpr uint64_t PATH_CONFIRM_CHUNK = 0x1117511;
constexpr uint64_t PATH_FORCE = 0x11176;
constexpr uint64_t PATH_CONFIRM_FORCE = 0x111761;
constexpr uint64_t PATH_BAD_BLOCKS = 0x11177;
constexpr uint64_t PATH_SHOW_BAD_BLOCKS = 0x111771;
constexpr uint64_t PATH_REMOVE_BAD_BLOCKS = 0x111772;
constexpr uint64_t PATH_CONFIRM_REMOVE = 0x1117721;

// Read-ahead codes of the record; any code above the largest size shows
// as disabled.
constexpr uint16_t READ_AHEAD_LARGEST = 4;
constexpr uint16_t READ_AHEAD_DISABLED = 15;
// The read-ahead code of options 1 to 6.
constexpr uint16_t READ_AHEAD_OF_OPTION[] = {0, READ_AHEAD_DISABLED, 1, 2, 3, 4};

// Cache policy bits the console changes.
constexpr uint8_t POLICY_WRITE_BACK = 0x01;
constexpr uint8_t POLICY_OFF_PARTNER_FAILED = 0x02;
constexpr uint8_t POLICY_OFF_BATTERY_LOW = 0x08;
constexpr uint8_t POLICY_OFF_CRITICAL = 0x10;
constexpr uint8_t POLICY_NO_WRITE_THROUGH = 0x40;
constexpr uint8_t POLICY_WRITE_BACK_DEFAULT = 0x5B;
constexpr uint16_t THRESHOLD_DEFAULT_MB = 16;
constexpr uint16_t THRESHOLD_HIGHEST_CODE = 10;

// The write-back dialogue's questions (bMenuStep).
constexpr uint8_t WB_ENABLE = 0;
constexpr uint8_t WB_THRESHOLD = 1;
constexpr uint8_t WB_WRITE_THROUGH = 2;
constexpr uint8_t WB_PARTNER = 3;
constexpr uint8_t WB_CRITICAL = 4;
constexpr uint8_t WB_BATTERY = 5;

constexpr uint8_t STATE_TO_INITIALIZE = 1;
constexpr uint8_t STATE_TRUSTED_RAID_0 = 0;
constexpr uint8_t ADVANCED_LEVEL = 2;
constexpr uint8_t NAME_LENGTH = 32;
// Chunk sizes on offer: 128 blocks doubling up to 512.
constexpr uint16_t CHUNK_SIZES[] = {128, 256, 512};

MENU_STATE& Menu() { return *psGetMenuState(); }
CONFIG_IMAGE& Scratch() { return *pGetScratchConfigImage(); }
uint32_t dArrays() { return Scratch().sHeader.wRankCount; }
// The array chosen between the steps; a number the image no longer holds
// reads record 0 rather than past the list.
CONFIG_RANK_RECORD& Chosen() {
    const uint8_t b = bGetPhaseParam3();
    return Scratch().asRank[b < MAX_RANKS ? b : 0];
}
bool IsParityLevel(uint8_t bLevel) {
    return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_6;
}
// Battery questions are asked only where a battery matters.
bool fBatteryAsked() { return fIsLinePowerMode() != TRUE && fGetNvramOptionBit2() != TRUE; }
bool fPartnerAsked() { return Scratch().sHeader.fSingleControllerMode != TRUE; }

// A Y or N confirmation: TRUE only for Y.
bool fConfirmed() { return bParseYesNo() == TRUE; }

void Edited() { SetConfigModified(TRUE); }

// --- the array choice the advanced options and the cache menu share --------------

struct ARRAY_CHOICE {
    uint64_t lPath;
    const char* pszTitle;
    const char* pszAction;      // "...the array to %s (0..n): "
    const char* pszNoArrays;
    MENU_FUNCTION pfnBack;      // after a refused answer
    // The chosen array's own refusal, nullptr when it may go on.
    const char* (*pfnRefusal)(const CONFIG_RANK_RECORD&);
    MENU_FUNCTION pfnNext;
};

// Display or selection of an array choice; the display refuses while an
// expansion waits in the scratch image.
void RunArrayChoice(MENU_FUNCTION pfnSelf, const ARRAY_CHOICE& s, bool fExpansionRefused) {
    if (Menu().lMenuPath != s.lPath) {
        EnterMenu(pfnSelf, s.lPath);
        if (dArrays() == 0) {
            ShowResult(s.pszNoArrays, ArrayConfigurationMenu);
        } else if (fExpansionRefused && Scratch().sHeader.fExpansionActive == TRUE) {
            ShowResult("\nArray Expansion in Progress\n\n", ArrayConfigurationMenu);
        } else {
            ClearScreen(FALSE);
            PrintMenuTitle(s.pszTitle);
            PromptArrayNumber(s.pszAction);
        }
        return;
    }
    uint8_t bArray = 0;
    if (!fTypedArray(&bArray)) {
        ShowResult("\nInvalid selection\n\n", s.pfnBack);
        return;
    }
    if (s.pfnRefusal != nullptr) {
        if (const char* psz = s.pfnRefusal(Scratch().asRank[bArray]); psz != nullptr) {
            ShowResult(psz, s.pfnBack);
            return;
        }
    }
    SetPhaseParam3(bArray);
    s.pfnNext();
}

// A prompt-only confirmation: the lines, then the typed answer.
bool fShowConfirmation(MENU_FUNCTION pfnSelf, uint64_t lPath) {
    if (Menu().lMenuPath == lPath) return false;
    EnterMenu(pfnSelf, lPath);
    return true;
}

// --- cache -------------------------------------------------------------------------

void PrintYesNo(const char* pszLine, uint8_t bBit, uint8_t bPolicy) {
    ConsolePrintText(pszLine);
    ConsolePrintText((bPolicy & bBit) != 0 ? "Yes\n" : "No\n");
}

void ShowWritebackSettings() {
    const CONFIG_RANK_RECORD& r = Chosen();
    const uint8_t bArray = bGetPhaseParam3();
    ConsolePrintf("Array %02u Writeback Cache                    : ", bArray);
    SetMenuSelection(r.bCachePolicy);
    if ((r.bCachePolicy & POLICY_WRITE_BACK) == 0) {
        ConsolePrintText("Disabled\n\n");
    } else {
        ConsolePrintText("Enabled\n");
        PrintYesNo("Disable Writethrough Transition when Writeback Cache Full: ", POLICY_NO_WRITE_THROUGH, r.bCachePolicy);
        if (fPartnerAsked()) PrintYesNo("Disable Writeback Cache when Partner Fails  : ", POLICY_OFF_PARTNER_FAILED, r.bCachePolicy);
        if (r.bRaidLevel != RAID_LEVEL_0) PrintYesNo("Disable Writeback Cache when Array Critical : ", POLICY_OFF_CRITICAL, r.bCachePolicy);
        if (fBatteryAsked()) PrintYesNo("Disable Writeback Cache when Battery Low    : ", POLICY_OFF_BATTERY_LOW, r.bCachePolicy);
        if (r.wWriteThreshold == 0) {
            ConsolePrintText("Writeback Cache Threshold                   : 0 MB\n");
        } else {
            const uint32_t dCode = r.wWriteThreshold < 32 ? r.wWriteThreshold : 31;
            ConsolePrintf("Writeback Cache Threshold                   : %d MB\n", 1u << (dCode - 1));
        }
        ConsolePrintText("\n");
    }
    ConsolePrintf("Enable Writeback Cache for Array %02u         (Y or N) (<CR> = Y): ", bArray);
    Menu().bMenuStep = WB_ENABLE;
    AwaitTypedAnswer();
}

void AskWriteback(const char* pszQuestion, uint8_t bStep) {
    ConsolePrintText(pszQuestion);
    Menu().bMenuStep = bStep;
    AwaitTypedAnswer();
}

void FinishWriteback() {
    CONFIG_RANK_RECORD& r = Chosen();
    const uint16_t wChosen = bGetMenuController();
    if (r.bCachePolicy != bGetMenuSelection() || r.wWriteThreshold != wChosen) {
        r.wWriteThreshold = wChosen;
        Edited();
        ShowResult("\nWriteback cache parameters modified\n\n", ArrayCacheMenu);
    } else {
        ShowResult("\nNo change to writeback cache parameters\n\n", ArrayCacheMenu);
    }
}

// The questions after the partner's: the critical array, the battery.
void AfterPartnerQuestion() {
    CONFIG_RANK_RECORD& r = Chosen();
    if (r.bRaidLevel != RAID_LEVEL_0) {
        AskWriteback("\nDisable Writeback Cache when Array Critical (Y or N) (<CR> = Y): ", WB_CRITICAL);
        return;
    }
    r.bCachePolicy &= static_cast<uint8_t>(~POLICY_OFF_CRITICAL);
    if (fBatteryAsked()) {
        AskWriteback("\nDisable Writeback Cache when Battery Low    (Y or N) (<CR> = Y): ", WB_BATTERY);
        return;
    }
    r.bCachePolicy &= static_cast<uint8_t>(~POLICY_OFF_BATTERY_LOW);
    FinishWriteback();
}

void TakeWritebackAnswer() {
    CONFIG_RANK_RECORD& r = Chosen();
    const uint8_t bStep = Menu().bMenuStep;
    if (bStep == WB_THRESHOLD) {
        uint32_t dMb = 0;
        const uint8_t bParsed = bParseMenuNumber(&dMb);
        if (bParsed == PARSE_EMPTY) dMb = THRESHOLD_DEFAULT_MB;
        uint16_t wCode = 0;
        for (uint16_t c = 1; c <= THRESHOLD_HIGHEST_CODE; c++)
            if ((bParsed == PARSE_VALUE || bParsed == PARSE_EMPTY) && dMb == (1u << (c - 1))) wCode = c;
        if (wCode == 0) {
            // The Y that began the dialogue already wrote the default bits:
            // put back the ones the array had, or a mistyped threshold would
            // leave write-back switched on for it unasked.
            r.bCachePolicy = bGetMenuSelection();
            ShowResult("\nInvalid selection\n\n", ArrayCacheMenu);
            return;
        }
        SetMenuController(static_cast<uint8_t>(wCode));
        AskWriteback("\nDisable Writethrough Transition when Writeback Cache Full (Y or N) (<CR> = Y): ", WB_WRITE_THROUGH);
        return;
    }
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer != TRUE && bAnswer != FALSE && bAnswer != PARSE_EMPTY) {
        r.bCachePolicy = bGetMenuSelection();
        ShowResult("\nInvalid selection\n\n", ArrayCacheMenu);
        return;
    }
    const bool fYes = bAnswer != FALSE;
    auto Set = [&r, fYes](uint8_t bBit) {
        r.bCachePolicy = static_cast<uint8_t>(fYes ? r.bCachePolicy | bBit : r.bCachePolicy & ~bBit);
    };
    switch (bStep) {
    case WB_ENABLE:
        if (!fYes) {
            r.bCachePolicy = 0;
            if (r.bCachePolicy != bGetMenuSelection()) {
                Edited();
                ShowResult("\nWriteback cache disabled\n\n", ArrayCacheMenu);
            } else {
                ShowResult("\nNo change to writeback cache parameters\n\n", ArrayCacheMenu);
            }
            return;
        }
        r.bCachePolicy = POLICY_WRITE_BACK_DEFAULT;
        AskWriteback("\nCache Threshold (1,2,4,8,16,32,64,128,256,512)  (<CR> = 16 MB) : ", WB_THRESHOLD);
        return;
    case WB_WRITE_THROUGH:
        Set(POLICY_NO_WRITE_THROUGH);
        if (fPartnerAsked()) {
            AskWriteback("\nDisable Writeback Cache when Partner Fails  (Y or N) (<CR> = Y): ", WB_PARTNER);
            return;
        }
        AfterPartnerQuestion();
        return;
    case WB_PARTNER:
        Set(POLICY_OFF_PARTNER_FAILED);
        AfterPartnerQuestion();
        return;
    case WB_CRITICAL:
        Set(POLICY_OFF_CRITICAL);
        if (fBatteryAsked()) {
            AskWriteback("\nDisable Writeback Cache when Battery Low    (Y or N) (<CR> = Y): ", WB_BATTERY);
            return;
        }
        r.bCachePolicy &= static_cast<uint8_t>(~POLICY_OFF_BATTERY_LOW);
        FinishWriteback();
        return;
    default:
        Set(POLICY_OFF_BATTERY_LOW);
        FinishWriteback();
        return;
    }
}

// --- advanced: the array choices -------------------------------------------------

const char* InitializedRefusal(const CONFIG_RANK_RECORD& r) {
    return r.bInitState == STATE_TO_INITIALIZE ? nullptr : "\nThis array is already initialized\n\n";
}
const char* ForceRefusal(const CONFIG_RANK_RECORD& r) {
    const bool fMayForce =
        r.bRaidLevel != RAID_LEVEL_0 && r.bInitState != RANK_STATE_OPTIMAL && r.bInitState != STATE_TO_INITIALIZE;
    return fMayForce ? nullptr : "\nArray status cannot be changed\n\n";
}

// Option 1's step between the choice and the confirmation: an array that
// carries snapshot data cannot be initialised.
void CheckSnapshotsThenConfirm() {
    const uint8_t bArray = bGetPhaseParam3();
    bool fWarned = false;
    const uint32_t dLds = dClampedLdCount(&Scratch());
    for (uint32_t l = 0; l < dLds && !fWarned; l++) {
        if (fLdHasSnapshots(static_cast<uint16_t>(l), FALSE) == TRUE &&
            fIsLunOnRank(&Scratch(), bArray, static_cast<uint16_t>(l)) == TRUE) {
            ConsolePrintf("\nWarning! Snapshots active on logical drives located on array %d\n", bArray);
            ConsolePrintText("These snapshots must be removed before an initialization of the array can start.\n");
            fWarned = true;
        }
    }
    uint16_t wOda = 0;
    if (fFindOdaOnRank(bArray, &wOda) == TRUE) {
        ConsolePrintf("\nWarning! Snapshot overwrite data area %d located on array %d\n", wOda, bArray);
        ConsolePrintText("This snapshot overwrite data area, and possibly others, must be \n");
        ConsolePrintText("removed before an initialization of the array can start.\n");
        fWarned = true;
    }
    if (fWarned) {
        WaitForAnyKeyThen(AdvancedArrayMenu);
        return;
    }
    ConfirmInitializeArray();
}

const ARRAY_CHOICE INITIALIZE_CHOICE = {PATH_INITIALIZE, "Initialize Array Configuration Menu", "initialize",
                                        "\nNo configured arrays to initialize\n\n", AdvancedArrayMenu, nullptr,
                                        CheckSnapshotsThenConfirm};
const ARRAY_CHOICE TRUST_CHOICE = {PATH_TRUST, "Trust Array Configuration Menu", "trust",
                                   "\nNo configured arrays to trust\n\n", AdvancedArrayMenu, InitializedRefusal,
                                   ConfirmTrustArray};
const ARRAY_CHOICE PAUSE_CHOICE = {PATH_PAUSE, "Initialize Array Configuration Menu", "modify",
                                   "\nNo configured arrays to modify\n\n", AdvancedArrayMenu, InitializedRefusal,
                                   ConfirmPauseInit};
const ARRAY_CHOICE NAME_CHOICE = {PATH_NAME, "Advanced Array Configuration Menu", "modify name",
                                  "\nNo configured arrays to modify\n\n", AdvancedArrayMenu, nullptr, ModifyArrayName};
const ARRAY_CHOICE CHUNK_CHOICE = {PATH_CHUNK, "Advanced Array Configuration Menu", "modify chunk size",
                                   "\nNo configured arrays to modify\n\n", AdvancedArrayMenu, nullptr, NewChunkSizeMenu};
const ARRAY_CHOICE FORCE_CHOICE = {PATH_FORCE, "Advanced Array Configuration Menu", "force fault tolerant",
                                   "\nNo configured arrays to modify\n\n", AdvancedArrayMenu, ForceRefusal,
                                   ConfirmForceFaultTolerant};
const ARRAY_CHOICE REMOVE_BAD_BLOCKS_CHOICE = {PATH_REMOVE_BAD_BLOCKS, "Remove Array Bad Block List Menu",
                                               "remove the bad block list", "\nNo configured arrays to modify\n\n",
                                               ArrayConfigurationMenu, nullptr, ConfirmRemoveBadBlocks};
const ARRAY_CHOICE CACHE_CHOICE = {PATH_CACHE_SELECT, "Array Cache Configuration Menu", "modify",
                                   "\nNo configured arrays to modify\n\n", ArrayConfigurationMenu, nullptr,
                                   ArrayCacheMenu};

bool fAdvancedLevel() { return bGetAdvancedConfigModeLevel() >= ADVANCED_LEVEL; }

}  // namespace

// --- cache menus -------------------------------------------------------------------

void ArrayCacheSelectMenu() { RunArrayChoice(ArrayCacheSelectMenu, CACHE_CHOICE, false); }

void ArrayCacheMenu() {
    if (Menu().lMenuPath != PATH_CACHE) {
        BeginScreen(ArrayCacheMenu, PATH_CACHE, "Array Cache Configuration Menu");
        ConsolePrintText("1.  Read-Ahead Cache\n");
        ConsolePrintText("2.  Writeback Cache\n");
        ConsolePrintText("\n0.  Exit\n\n");
        EndOptionScreen(0x07);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: ArrayReadAheadMenu(); break;
    case 1u << 2: ArrayWritebackMenu(); break;
    default: ArrayConfigurationMenu(); break;
    }
}

void ArrayReadAheadMenu() {
    CONFIG_RANK_RECORD& r = Chosen();
    if (Menu().lMenuPath != PATH_READ_AHEAD) {
        BeginScreen(ArrayReadAheadMenu, PATH_READ_AHEAD, "Array Read-Ahead Cache Configuration Menu");
        ConsolePrintf("\nSelect Read-Ahead Size for Array %u \n\n", bGetPhaseParam3());
        static const char* const OPTIONS[] = {"1.  Automatic", "\n2.  Disabled", "\n3.  256 KB",
                                              "\n4.  512 KB",  "\n5.  1 MB",     "\n6.  2 MB"};
        const uint16_t wShown = r.wReadAhead > READ_AHEAD_LARGEST ? READ_AHEAD_DISABLED : r.wReadAhead;
        for (uint32_t i = 0; i < 6; i++) {
            ConsolePrintText(OPTIONS[i]);
            if (READ_AHEAD_OF_OPTION[i] == wShown) ConsolePrintText(" (current)");
        }
        ConsolePrintText("\n\n0.  Exit\n\n");
        EndOptionScreen(0x7F);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 0; i < 6; i++) {
        if (wSelected != MenuOptionBit(i + 1)) continue;
        if (r.wReadAhead != READ_AHEAD_OF_OPTION[i]) {
            r.wReadAhead = READ_AHEAD_OF_OPTION[i];
            Edited();
            ConsolePrintText("\nReadahead Parameters Changed\n\n");
        }
        WaitForAnyKeyThen(ArrayCacheMenu);
        return;
    }
    ArrayCacheMenu();
}

void ArrayWritebackMenu() {
    if (Menu().lMenuPath != PATH_WRITEBACK) {
        EnterMenu(ArrayWritebackMenu, PATH_WRITEBACK);
        ShowWritebackSettings();
        return;
    }
    TakeWritebackAnswer();
}

// --- advanced menus ----------------------------------------------------------------

void AdvancedArrayMenu() {
    if (Menu().lMenuPath != PATH_ADVANCED) {
        EnterMenu(AdvancedArrayMenu, PATH_ADVANCED);
        if (dArrays() == 0) {
            ShowResult("\nNo configured arrays!\n\n", ArrayConfigurationMenu);
            return;
        }
        ClearScreen(FALSE);
        PrintMenuTitle("Advanced Array Configuration Menu");
        uint16_t wMask = MenuOptionBit(0) | MenuOptionBit(1) | MenuOptionBit(2) | MenuOptionBit(3);
        ConsolePrintText("1.  Initialize Array\n");
        ConsolePrintText("2.  Trust Array\n");
        ConsolePrintText("3.  Pause/Resume Array Initialization\n");
        if (fAdvancedLevel() || fIsLinePowerMode() == TRUE) {
            ConsolePrintText("4.  Modify Array Name\n");
            wMask |= MenuOptionBit(4);
        }
        if (fAdvancedLevel()) {
            ConsolePrintText("5.  Modify Array Chunk Size\n");
            ConsolePrintText("6.  Force Array Fault Tolerant\n");
            ConsolePrintText("7.  Array Bad Block List\n");
            wMask |= MenuOptionBit(5) | MenuOptionBit(6) | MenuOptionBit(7);
        }
        ConsolePrintText("\n0.  Exit\n\n");
        EndOptionScreen(wMask);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    // The service level may have run out since the menu was shown.
    if ((wSelected == MenuOptionBit(5) || wSelected == MenuOptionBit(6) || wSelected == MenuOptionBit(7)) &&
        !fAdvancedLevel()) {
        ArrayConfigurationMenu();
        return;
    }
    switch (wSelected) {
    case 1u << 1: InitializeArraySelect(); break;
    case 1u << 2: TrustArraySelect(); break;
    case 1u << 3: PauseInitSelect(); break;
    case 1u << 4: ArrayNameSelect(); break;
    case 1u << 5: ChunkSizeSelect(); break;
    case 1u << 6: ForceFaultTolerantSelect(); break;
    case 1u << 7: BadBlockListMenu(); break;
    default: ArrayConfigurationMenu(); break;
    }
}

void InitializeArraySelect() { RunArrayChoice(InitializeArraySelect, INITIALIZE_CHOICE, true); }
void TrustArraySelect() { RunArrayChoice(TrustArraySelect, TRUST_CHOICE, true); }
void PauseInitSelect() { RunArrayChoice(PauseInitSelect, PAUSE_CHOICE, true); }
void ArrayNameSelect() { RunArrayChoice(ArrayNameSelect, NAME_CHOICE, true); }
void ChunkSizeSelect() { RunArrayChoice(ChunkSizeSelect, CHUNK_CHOICE, true); }
void ForceFaultTolerantSelect() { RunArrayChoice(ForceFaultTolerantSelect, FORCE_CHOICE, true); }
void RemoveBadBlockSelect() { RunArrayChoice(RemoveBadBlockSelect, REMOVE_BAD_BLOCKS_CHOICE, true); }

void ConfirmInitializeArray() {
    const uint8_t bArray = bGetPhaseParam3();
    if (fShowConfirmation(ConfirmInitializeArray, PATH_CONFIRM_INITIALIZE)) {
        ConsolePrintText("\nArray initialization will delete all data!!\n");
        ConsolePrintf("Confirm Initialization of array %u (Y or N): ", bArray);
        AwaitTypedAnswer();
        return;
    }
    if (fConfirmed()) {
        ConsolePrintf("\nArray %u will be initialized after saving configuration\n\n", bArray);
        Chosen().bInitState = STATE_TO_INITIALIZE;
        Chosen().fInitPaused = FALSE;
        Edited();
    } else {
        ConsolePrintText("\nNo change to arrays\n\n");
    }
    WaitForAnyKeyThen(AdvancedArrayMenu);
}

void ConfirmTrustArray() {
    const uint8_t bArray = bGetPhaseParam3();
    CONFIG_RANK_RECORD& r = Chosen();
    if (fShowConfirmation(ConfirmTrustArray, PATH_CONFIRM_TRUST)) {
        if (IsParityLevel(r.bRaidLevel)) {
            ConsolePrintText("\nTrusting an array will result in inconsistent parity\n");
            ConsolePrintText("and the potential loss of data in the event of a drive failure.\n");
            ConsolePrintText("Please ensure a parity re-write is performed before using\n");
            ConsolePrintText("the array.\n");
        }
        ConsolePrintf("\nConfirm Trusting of array %u (Y or N): ", bArray);
        AwaitTypedAnswer();
        return;
    }
    if (fConfirmed()) {
        ConsolePrintf("\nArray %u will not be initialized after saving configuration\n\n", bArray);
        r.bInitState = r.bRaidLevel == RAID_LEVEL_0 ? STATE_TRUSTED_RAID_0 : RANK_STATE_OPTIMAL;
        r.fInitPaused = FALSE;
        Edited();
    } else {
        ConsolePrintText("\nNo change to arrays\n\n");
    }
    WaitForAnyKeyThen(AdvancedArrayMenu);
}

void ConfirmPauseInit() {
    const uint8_t bArray = bGetPhaseParam3();
    CONFIG_RANK_RECORD& r = Chosen();
    if (fShowConfirmation(ConfirmPauseInit, PATH_CONFIRM_PAUSE)) {
        ConsolePrintf(r.fInitPaused == TRUE ? "\nArray %u Initialization is paused\n"
                                            : "\nArray %u Initialization is not paused\n",
                      bArray);
        ConsolePrintf("Pause Initialization of array %u (Y or N): ", bArray);
        AwaitTypedAnswer();
        return;
    }
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer == TRUE && r.fInitPaused != TRUE) {
        ConsolePrintf("\nArray %u initialization will be paused after saving configuration\n\n", bArray);
        r.fInitPaused = TRUE;
        Edited();
    } else if (bAnswer == FALSE && r.fInitPaused == TRUE) {
        ConsolePrintf("\nArray %u initialization will be resumed after saving configuration\n\n", bArray);
        r.fInitPaused = FALSE;
        Edited();
    } else {
        ConsolePrintText("\nNo change to arrays\n\n");
    }
    WaitForAnyKeyThen(AdvancedArrayMenu);
}

void ModifyArrayName() {
    const uint8_t bArray = bGetPhaseParam3();
    CONFIG_RANK_RECORD& r = Chosen();
    if (Menu().lMenuPath != PATH_MODIFY_NAME) {
        BeginScreen(ModifyArrayName, PATH_MODIFY_NAME, "Advanced Array Configuration Menu");
        ConsolePrintText("\nCurrent Array Name                    : ");
        char acShown[NAME_LENGTH + 1];
        for (uint32_t i = 0; i < NAME_LENGTH; i++) {
            const char c = r.acArrayName[i];
            acShown[i] = c >= 32 && c <= 126 ? c : ' ';
        }
        acShown[NAME_LENGTH] = '\0';
        ConsolePrintText(acShown);
        ConsolePrintf("\nNew Name (Max %d chars, <CR> for same): ", NAME_LENGTH);
        Menu().bMenuStep = 0;
        AwaitTypedAnswer();
        return;
    }
    char acName[NAME_LENGTH + 1] = {};
    uint8_t bLength = 0;
    const uint8_t bParsed = bGetMenuTextInput(acName, &bLength, NAME_LENGTH);
    if (bParsed != PARSE_VALUE && bParsed != PARSE_EMPTY) {
        ShowResult("\nInvalid selection\n\n", AdvancedArrayMenu);
        return;
    }
    char acNew[NAME_LENGTH];
    if (bParsed == PARSE_EMPTY) {
        std::memcpy(acNew, r.acArrayName, NAME_LENGTH);
    } else {
        std::memset(acNew, ' ', NAME_LENGTH);
        std::memcpy(acNew, acName, bLength < NAME_LENGTH ? bLength : NAME_LENGTH);
    }
    if (std::memcmp(acNew, r.acArrayName, NAME_LENGTH) != 0) {
        std::memcpy(r.acArrayName, acNew, NAME_LENGTH);
        ConsolePrintf("\nArray %02u Name Modified\n\n", bArray);
        Edited();
    } else {
        ConsolePrintText("\nNo change to Array Name\n\n");
    }
    WaitForAnyKeyThen(AdvancedArrayMenu);
}

void NewChunkSizeMenu() {
    CONFIG_RANK_RECORD& r = Chosen();
    if (Menu().lMenuPath != PATH_NEW_CHUNK) {
        BeginScreen(NewChunkSizeMenu, PATH_NEW_CHUNK, "Advanced Array Configuration Menu");
        ConsolePrintf("\nSelect New Chunk Size for Array %u \n\n", bGetPhaseParam3());
        for (uint32_t i = 0; i < 3; i++) {
            ConsolePrintf("%d.  %d K", i + 1, CHUNK_SIZES[i] / 2);
            ConsolePrintText(CHUNK_SIZES[i] == r.wChunkSize ? " (current chunk size)\n" : "\n");
        }
        ConsolePrintText("\n0.  Exit\n\n");
        EndOptionScreen(0x0F);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 0; i < 3; i++) {
        if (wSelected == MenuOptionBit(i + 1)) {
            SetMenuLogicalDrive(CHUNK_SIZES[i]);
            ConfirmChunkSize();
            return;
        }
    }
    AdvancedArrayMenu();
}

void ConfirmChunkSize() {
    const uint8_t bArray = bGetPhaseParam3();
    CONFIG_RANK_RECORD& r = Chosen();
    if (fShowConfirmation(ConfirmChunkSize, PATH_CONFIRM_CHUNK)) {
        ConsolePrintText("\nModifying the chunk size will delete all data!!\n");
        ConsolePrintf("Confirm chunk size modification of array %u (Y or N): ", bArray);
        AwaitTypedAnswer();
        return;
    }
    const uint16_t wNew = bGetMenuLogicalDrive();
    if (fConfirmed() && wNew != r.wChunkSize && r.wChunkSize != 0) {
        r.dStoredWord = r.dStoredWord / r.wChunkSize * wNew;
        r.wChunkSize = wNew;
        if (IsParityLevel(r.bRaidLevel)) {
            ConsolePrintf("\nArray %u will be reinitialized after saving configuration\n\n", bArray);
            r.bInitState = STATE_TO_INITIALIZE;
            r.fInitPaused = FALSE;
        } else {
            ConsolePrintf("\nArray %u will be reconfigured after saving configuration\n\n", bArray);
        }
        Edited();
    } else {
        ConsolePrintText("\nNo change to arrays\n\n");
    }
    WaitForAnyKeyThen(AdvancedArrayMenu);
}

void ConfirmForceFaultTolerant() {
    const uint8_t bArray = bGetPhaseParam3();
    CONFIG_RANK_RECORD& r = Chosen();
    if (fShowConfirmation(ConfirmForceFaultTolerant, PATH_CONFIRM_FORCE)) {
        ConsolePrintText("\nForcing array fault tolerant will corrupt data!!\n");
        ConsolePrintf("Confirm forcing fault tolerant of array %u (Y or N): ", bArray);
        AwaitTypedAnswer();
        return;
    }
    if (fConfirmed()) {
        const uint32_t dMembers = dClampedDriveCount(&r);
        for (uint32_t m = 0; m < dMembers; m++) {
            uint8_t& bState = r.abMemberState[m];
            if (bState == MEMBER_FLAGS_IN_SERVICE || bState == MEMBER_FLAGS_UNMATCHED) continue;
            if (fIsNonZeroWwn(r.aabMemberWwn[m]) != TRUE) continue;
            bState = MEMBER_FLAGS_IN_SERVICE;
            RemoveFailedDriveWwn(r.aabMemberWwn[m], &Scratch());
        }
        r.fInitialized = FALSE;
        r.fInitPaused = FALSE;
        r.bInitState = RANK_STATE_OPTIMAL;
        Edited();
        ConsolePrintf("\nArray %u will be marked as fault tolerant after saving configuration\n\n", bArray);
    } else {
        ConsolePrintText("\nNo change to arrays\n\n");
    }
    WaitForAnyKeyThen(AdvancedArrayMenu);
}

void BadBlockListMenu() {
    if (Menu().lMenuPath != PATH_BAD_BLOCKS) {
        BeginScreen(BadBlockListMenu, PATH_BAD_BLOCKS, "Array Bad Block List Menu");
        ConsolePrintText("1.  Display Bad Block List\n");
        ConsolePrintText("2.  Remove Array Bad Block List\n");
        ConsolePrintText("\n0.  Exit\n\n");
        EndOptionScreen(0x07);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: DisplayBadBlockList(); break;
    case 1u << 2: RemoveBadBlockSelect(); break;
    default: AdvancedArrayMenu(); break;
    }
}

void DisplayBadBlockList() {
    if (Menu().lMenuPath == PATH_SHOW_BAD_BLOCKS) {
        BadBlockListMenu();
        return;
    }
    // What the controller runs with, not the edit.
    const CONFIG_IMAGE& sLive = *pGetConfigImage();
    EnterMenu(DisplayBadBlockList, PATH_SHOW_BAD_BLOCKS);
    if (sLive.sHeader.wRankCount == 0) {
        ShowResult("\nNo configured arrays to modify\n\n", ArrayConfigurationMenu);
        return;
    }
    if (sLive.sHeader.fExpansionActive == TRUE) {
        ShowResult("\nArray Expansion in Progress\n\n", ArrayConfigurationMenu);
        return;
    }
    BeginScreen(DisplayBadBlockList, PATH_SHOW_BAD_BLOCKS, "Display Bad Block List Menu");
    const uint32_t dCount = dClampedBadBlockCount(&sLive);
    for (uint32_t i = 0; i < dCount; i++) {
        const BAD_BLOCK_ENTRY& e = sLive.asBadBlock[i];
        if (i == 0) ConsolePrintText("\nBad Block List:\n");
        ConsolePrintf("%04d Array:%02d LBA:%02x%02x%02x%02x%02x%02x%02x%02x Block Count:%04x\n", i, e.bRank, 0, 0, 0,
                      e.abStart[0], e.abStart[1], e.abStart[2], e.abStart[3], e.abStart[4], e.wLength);
    }
    ConsolePrintText("\n");
    WaitForAnyKeyThen(BadBlockListMenu);
}

void ConfirmRemoveBadBlocks() {
    const uint8_t bArray = bGetPhaseParam3();
    if (fShowConfirmation(ConfirmRemoveBadBlocks, PATH_CONFIRM_REMOVE)) {
        ConsolePrintf("\nConfirm removing the bad block list of array %u (Y or N): ", bArray);
        AwaitTypedAnswer();
        return;
    }
    if (fConfirmed()) {
        ConsolePrintf("\nThe bad block count for Array %u is currently %02d\n\n", bArray,
                      wCountRankBadBlocks(&Scratch(), bArray));
        // The array keeps its number: the other arrays' entries stay theirs.
        ClearRankBadBlocks(&Scratch(), bArray, FALSE);
        ConsolePrintf("\nThe bad block list for Array %u will be removed after saving configuration\n\n", bArray);
        Edited();
    } else {
        ConsolePrintf("\nNo change to bad block list for Array %u\n\n", bArray);
    }
    WaitForAnyKeyThen(ArrayConfigurationMenu);
}

}  // namespace fw
