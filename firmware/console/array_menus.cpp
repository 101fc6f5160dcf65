// The Array Configuration Menu and the array creation dialogue: a RAID
// level, then a ready-made proposal or, by hand, the chunk size, the member
// drives, the reserved capacity and the subarray count.  Creation edits the
// scratch image only; the array reaches the drives when the edit is saved.
#include "console/menu_tree.h"

#include <cstring>

#include "config/array_operations.h"
#include "config/array_proposals.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/host_port_tables.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "enclosure/drive_list_display.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "eventlog/event_texts.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "raid/expansion.h"
#include "raid/parity_check.h"
#include "raid/stripe_init.h"

namespace fw {

namespace {

constexpr uint64_t PATH_ARRAY = 0x111;
constexpr uint64_t PATH_CREATE_ARRAY = 0x1112;
constexpr uint8_t DUMP_TYPE_ARRAYS = 17;
constexpr uint8_t DUMP_TYPE_UNUSED_DRIVES = 26;
constexpr uint32_t FEATURE_RAID_6 = 0x4;

// The default 1 % reserve of a new array (its cache policy and write-back
// threshold are the configuration's NEW_ARRAY_* values).
constexpr uint8_t RESERVE_DEFAULT = 1;
constexpr uint8_t RESERVE_NINETY_NINE_POINT_NINE = 201;
constexpr uint32_t RESERVE_MAX = 10;
constexpr uint32_t RESERVE_MAX_ADVANCED = 99;

// Chunk sizes on offer: 128 blocks doubling up to 512.
constexpr uint16_t CHUNK_FIRST = 128;
constexpr uint32_t CHUNK_OPTIONS = 3;
constexpr uint8_t MAX_SUBARRAYS = 5;
constexpr uint8_t MIN_SUBARRAY_DRIVES = 3;

// The RAID levels in the order of the level options 1 to 4.
struct LevelChoice {
    uint8_t bLevel;
    uint8_t bDrivesNeeded;
    const char* pszTitle;
    const char* pszTooFew;
};
constexpr LevelChoice LEVELS[] = {
    {RAID_LEVEL_0, 1, "RAID 0 Array Configuration Menu", ""},
    {RAID_LEVEL_10, 2, "RAID 1/10 Array Configuration Menu",
     "\nInsufficient unused drives available for RAID 1/10 configuration\n\n"},
    {RAID_LEVEL_50, 3, "RAID 5/50 Array Configuration Menu",
     "\nInsufficient unused drives available for RAID 5/50 configuration\n\n"},
    {RAID_LEVEL_6, 4, "RAID 6 Array Configuration Menu",
     "\nInsufficient unused drives available for RAID 6 RAID 6 configuration\n\n"},
};
constexpr uint32_t LEVEL_COUNT = sizeof LEVELS / sizeof LEVELS[0];

// The dialogue's steps of drive selection (bMenuStep).
constexpr uint8_t STEP_ADD_DRIVE = 0;
constexpr uint8_t STEP_CONTINUE = 1;
constexpr uint8_t STEP_VALIDATE = 2;

MENU_STATE& Menu() { return *psGetMenuState(); }
CONFIG_RANK_RECORD& Request() { return *pGetNewArrayRequest(); }
const CONFIG_IMAGE& Scratch() { return *pGetScratchConfigImage(); }
uint8_t bUnusedDrives() { return bGetSpareDriveTableCount(); }

// The option number of the level the request holds (1 to 4), 0 for none.
uint32_t dLevelOption() {
    for (uint32_t i = 0; i < LEVEL_COUNT; i++)
        if (LEVELS[i].bLevel == Request().bRaidLevel) return i + 1;
    return 0;
}

// The codes of the dialogue's steps follow the choices made on the way.
uint64_t lLevelPath() { return PATH_CREATE_ARRAY * 16 + dLevelOption(); }
uint64_t lChunkPath() { return lLevelPath() * 16 + 1; }
uint64_t lDrivePath() {
    uint32_t dOption = 1;
    while (dOption < CHUNK_OPTIONS && (CHUNK_FIRST << (dOption - 1)) < Request().wChunkSize) ++dOption;
    return lChunkPath() * 16 + dOption;
}
uint64_t lReservePath() { return lDrivePath() * 16 + 1; }
uint64_t lSubarrayPath() { return lReservePath() * 16 + 1; }

void RefuseTo(MENU_FUNCTION pfnMenu, const char* pszText) {
    ConsolePrintText(pszText);
    WaitForAnyKeyThen(pfnMenu);
}

void ResetRequestName(CONFIG_RANK_RECORD* ps) { std::memset(ps->acArrayName, ' ', sizeof ps->acArrayName); }

// The request is complete: the array goes into the scratch image.
void CreateRequestedArray(const char* pszDone, const char* pszFailed) {
    if (CreateArray(&Request()) == STATUS_OK) {
        ConsolePrintf(pszDone, Request().bRankNumber);
        SetConfigModified(TRUE);
    } else {
        ConsolePrintText(pszFailed);
    }
    WaitForAnyKeyThen(ArrayConfigurationMenu);
}

void CreateRequestedArray() {
    CreateRequestedArray("\nArray %02d Successfully Created\n\n", "\nFailed to Create Array\n\n");
}

// --- the level menu and the proposals -----------------------------------------

// Whole capacity units of the array made from the proposal: created as
// CreateArrayFromProposal asks, without the cache flush area and with the
// default reserve.
uint32_t dProposalCapacityGb(const ARRAY_PROPOSAL& s) {
    return dNewArrayCapacityGb(s.bRaidLevel, s.bDriveCount, s.bSubarrayCount, s.dMemberCapacity, RESERVE_DEFAULT);
}

void ShowArrayRaidLevelMenu() {
    const uint32_t dOption = dLevelOption();
    EnterMenu(ArrayRaidLevelMenu, lLevelPath());
    if (dOption == 0) {
        ArrayConfigurationMenu();
        return;
    }
    const LevelChoice& sLevel = LEVELS[dOption - 1];
    const uint8_t bNeeded = sLevel.bLevel == RAID_LEVEL_10 && fIsLinePowerMode() == TRUE ? 1 : sLevel.bDrivesNeeded;
    if (bUnusedDrives() < bNeeded) {
        RefuseTo(ArrayConfigurationMenu, sLevel.pszTooFew);
        return;
    }
    PrintMenuTitle(sLevel.pszTitle);
    ARRAY_PROPOSAL_LIST* psList = pGetArrayProposalList();
    BuildArrayProposals(sLevel.bLevel, psList);
    ConsolePrintf("1.  Manual Configuration\n");
    uint16_t wMask = MenuOptionBit(0) | MenuOptionBit(1);
    for (uint32_t i = 0; i < psList->bCount && i < MAX_ARRAY_PROPOSALS; i++) {
        const ARRAY_PROPOSAL& s = psList->asProposal[i];
        if (s.bRaidLevel == RAID_LEVEL_6) continue;
        ConsolePrintf(i + 2 < 10 ? "%d.  " : "%d. ", i + 2);
        ConsolePrintf("%4d GB", dProposalCapacityGb(s));
        ConsolePrintf(", %2d Drives", s.bDriveCount);
        if (s.bSubarrayCount == 1) {
            ConsolePrintf(", 1 Subarray\n");
        } else if (s.bSubarrayCount > 1) {
            ConsolePrintf(", %d Subarrays\n", s.bSubarrayCount);
        } else {
            ConsolePrintf("\n");
        }
        wMask |= MenuOptionBit(i + 2);
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void CreateArrayFromProposal(uint32_t dOption) {
    const ARRAY_PROPOSAL_LIST* psList = pGetArrayProposalList();
    const uint32_t dIndex = dOption - 2;
    if (dIndex >= psList->bCount || dIndex >= MAX_ARRAY_PROPOSALS) {
        ArrayConfigurationMenu();
        return;
    }
    const ARRAY_PROPOSAL& s = psList->asProposal[dIndex];
    CONFIG_RANK_RECORD& r = Request();
    r.bRankNumber = static_cast<uint8_t>(Scratch().sHeader.wRankCount);
    r.bRaidLevel = s.bRaidLevel;
    r.bDriveCount = s.bDriveCount;
    r.bParityCount = s.bSubarrayCount;
    r.wChunkSize = s.wChunkSize;
    r.lStartAddress = s.dMemberCapacity;
    std::memset(r.aabMemberWwn, 0, sizeof r.aabMemberWwn);
    std::memcpy(r.aabMemberWwn, s.aabMemberWwn, 8u * (s.bDriveCount < MAX_RANK_MEMBERS ? s.bDriveCount : MAX_RANK_MEMBERS));
    r.bCachePolicy = NEW_ARRAY_CACHE_POLICY;
    r.fInitialized = TRUE;
    r.fCacheFlushArray = FALSE;
    SetSmallestMemberCapacity(s.dMemberCapacity);
    r.bCapacityReserve = RESERVE_DEFAULT;
    ResetRequestName(&r);
    CreateRequestedArray("Array %02d Successfully Created\n\n", "Failed to Create Array\n\n");
}

// --- drive selection --------------------------------------------------------------

// Offers the n-th unused drive and remembers its WWN; a drive that cannot
// be shown ends the dialogue.
void OfferDrive(uint8_t bIndex) {
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bRecord = 0;
    if (fFindDriveByLoopIDMapped(bIndex, &psDrive, &bRecord) != TRUE) {
        RefuseTo(ArrayConfigurationMenu, "\n\nError displaying drive information\n");
        return;
    }
    if (bIndex == 0) ShowDriveListHeader(FALSE);
    ConsolePrintf("%03d ", bIndex);
    if (ShowDriveListEntry(psDrive->abWWN, FALSE) != STATUS_OK) {
        RefuseTo(ArrayConfigurationMenu, "\n\nError displaying drive information\n");
        return;
    }
    ConsolePrintf(fIsDriveWwnFailed(psDrive->abWWN) == TRUE ? " FL\n" : " OK\n");
    ConsolePrintf("Add this Disk Drive? (Y or N, <CR> = Y): ");
    std::memcpy(pGetMenuArrayList(), psDrive->abWWN, 8);
    AwaitTypedAnswer();
}

void ShowArrayDriveSelectionMenu() {
    EnterMenu(ArrayDriveSelectionMenu, lDrivePath());
    CONFIG_RANK_RECORD& r = Request();
    r.lStartAddress = 0;
    r.dStoredWord = 0;
    r.bDriveCount = 0;
    r.bParityCount = 0;
    r.bCachePolicy = NEW_ARRAY_CACHE_POLICY;
    r.fCacheFlushArray = FALSE;
    r.wReadAhead = 0;
    r.wWriteThreshold = NEW_ARRAY_WRITE_THRESHOLD;
    r.fInitialized = TRUE;
    r.bCapacityReserve = RESERVE_DEFAULT;
    std::memset(r.aabMemberWwn, 0, sizeof r.aabMemberWwn);
    ResetRequestName(&r);
    SetSmallestMemberCapacity(0xFFFFFFFF);
    SetMenuSelection(0);
    PrintMenuTitle("Create Array Configuration Menu");
    ConsolePrintf("\nSelect Disk Drives -- %02d Disk Drives Added\n\n", r.bDriveCount);
    OfferDrive(0);
}

// After the answer to a drive offer: the selection ends with its message
// (then any key validates the drives taken), or goes on with the next.
void EndDriveAnswer(const char* pszEnd, uint32_t dValue, MENU_FUNCTION pfnSelection) {
    if (pszEnd != nullptr) {
        ConsolePrintf(pszEnd, dValue);
        Menu().bMenuStep = STEP_VALIDATE;
        WaitForAnyKeyThen(pfnSelection);
        return;
    }
    ConsolePrintf("Continue adding disk drives? (Y or N, <CR> = Y): ");
    Menu().bMenuStep = STEP_CONTINUE;
    AwaitTypedAnswer();
}

// The answer to "Add this Disk Drive?".
void TakeDriveAnswer() {
    CONFIG_RANK_RECORD& r = Request();
    const uint8_t bAnswer = bParseYesNo();
    if ((bAnswer == TRUE || bAnswer == PARSE_EMPTY) && r.bDriveCount < MAX_RANK_MEMBERS) {
        const uint8_t* pbWwn = pGetMenuArrayList();
        std::memcpy(r.aabMemberWwn[r.bDriveCount++], pbWwn, 8);
        DRIVE_INFO* psDrive = nullptr;
        uint8_t bRecord = 0;
        if (fFindDriveByWWN(pbWwn, &psDrive, &bRecord) == TRUE &&
            psDrive->dCapacity + 1ull < dGetSmallestMemberCapacity()) {
            SetSmallestMemberCapacity(psDrive->dCapacity + 1);
        }
        BeginCountLineRewrite();
        ConsolePrintf("Select Disk Drives -- %02d Disk Drives Added\n\n", r.bDriveCount);
        EndCountLineRewrite();
    } else {
        EraseAnswerLine();
    }
    const uint8_t bNext = static_cast<uint8_t>(bGetMenuSelection() + 1);
    SetMenuSelection(bNext);
    const char* pszEnd = nullptr;
    uint32_t dValue = 0;
    if (r.bDriveCount > MAX_RANK_MEMBERS - 1) {
        pszEnd = "\nMaximum drive count (%02d) added\n\n";
        dValue = MAX_RANK_MEMBERS;
    } else if (r.bDriveCount >= bUnusedDrives()) {
        pszEnd = "\nAll unused drives (%02d) added\n\n";
        dValue = bUnusedDrives();
    } else if (bNext >= bUnusedDrives()) {
        pszEnd = "\nNo more unused drives to add\n\n";
    }
    EndDriveAnswer(pszEnd, dValue, ArrayDriveSelectionMenu);
}

// The answer to "Continue adding disk drives?" of the selection menu given.
void TakeContinueAnswer(MENU_FUNCTION pfnSelection) {
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer == TRUE || bAnswer == PARSE_EMPTY) {
        EraseContinueQuestion();
        Menu().bMenuStep = STEP_ADD_DRIVE;
        OfferDrive(bGetMenuSelection());
        return;
    }
    ConsolePrintf("\n\n");
    Menu().bMenuStep = STEP_VALIDATE;
    WaitForAnyKeyThen(pfnSelection);
}

void ValidateDriveSelection() {
    CONFIG_RANK_RECORD& r = Request();
    const uint8_t bDrives = r.bDriveCount;
    const bool fLinePower = fIsLinePowerMode() == TRUE;
    const char* pszRefused = nullptr;
    if (bDrives == 0) {
        pszRefused = "\nNo Drives Specified, Array Not Added\n\n";
    } else if (r.bRaidLevel == RAID_LEVEL_10 && bDrives % 2 != 0 && !(fLinePower && bDrives <= 2)) {
        pszRefused = "\nUneven Number of Drives Specified, Array Not Added\n\n";
    } else if (r.bRaidLevel == RAID_LEVEL_50 && bDrives < 3) {
        pszRefused = "\nInsufficient Number of Drives Specified, Array Not Added\n\n";
    } else if (r.bRaidLevel == RAID_LEVEL_6 && bDrives < 4) {
        pszRefused = "\nInsufficient Number of Drives Specified RAID_6, Array Not Added\n\n";
    }
    if (pszRefused != nullptr) {
        RefuseTo(ArrayConfigurationMenu, pszRefused);
        return;
    }
    if (fLinePower && bDrives == 1) {
        // One drive on line power: no reserve to ask for.
        r.bCapacityReserve = 0;
        CreateRequestedArray();
        return;
    }
    ArrayReserveCapacityMenu();
}

// --- reserved capacity and subarrays ----------------------------------------------

uint32_t dReserveMax() { return bGetAdvancedConfigModeLevel() == 0 ? RESERVE_MAX : RESERVE_MAX_ADVANCED; }

void ShowArrayReserveCapacityMenu() {
    EnterMenu(ArrayReserveCapacityMenu, lReservePath());
    PrintMenuTitle("Create Array Configuration Menu");
    ConsolePrintf("\nIn order to allow drives from a different family or manufacturer to be used\n");
    ConsolePrintf("as a replacement for a drive in this array, it is recommended that a small\n");
    ConsolePrintf("percentage of the drive's capacity be reserved when creating the array.\n");
    ConsolePrintf("\nThe value is user entered from 0, 0.01 - 0.99, 1 - 99, and 99.9%%.\n");
    ConsolePrintf("\nSelect percentage of drive capacity to reserve (<CR> = %d%%): ", RESERVE_DEFAULT);
    AwaitTypedAnswer();
}

// The reserve code of the typed line, or FALSE when it holds none.
bool fTypedReserve(uint8_t* pbCode) {
    uint32_t dValue = 0;
    switch (bParseMenuNumber(&dValue)) {
    case PARSE_EMPTY: *pbCode = RESERVE_DEFAULT; return true;
    case PARSE_NINETY_NINE_POINT_NINE: *pbCode = RESERVE_NINETY_NINE_POINT_NINE; return true;
    case PARSE_FRACTION:
        if (bParseDecimalFraction(&dValue) != PARSE_VALUE) return false;
        // "0.0" is no reserve; code 100 would read as the whole drive.
        *pbCode = static_cast<uint8_t>(dValue == 100 ? 0 : dValue);
        return true;
    case PARSE_VALUE:
        if (dValue > dReserveMax()) return false;
        *pbCode = static_cast<uint8_t>(dValue);
        return true;
    default: return false;
    }
}

void TakeReserveAnswer() {
    CONFIG_RANK_RECORD& r = Request();
    uint8_t bCode = 0;
    if (!fTypedReserve(&bCode)) {
        // The answer is blanked out (78 columns) and the question asked again.
        ConsolePrintf("\r                                                                              \r");
        ConsolePrintf("Select percentage of drive capacity to reserve (%d..%d%%) (<CR> = %d%%): ", 0, dReserveMax(),
                      RESERVE_DEFAULT);
        AwaitTypedAnswer();
        return;
    }
    r.bCapacityReserve = bCode;
    if (r.bRaidLevel == RAID_LEVEL_50 && r.bDriveCount > 5) {
        ConsolePrintf("\n");
        ArraySubarrayCountMenu();
        return;
    }
    r.bParityCount = r.bRaidLevel == RAID_LEVEL_50 ? 1 : r.bRaidLevel == RAID_LEVEL_6 ? 2 : 0;
    CreateRequestedArray();
}

// The subarray counts a RAID 5/50 array of n drives can have: 1, and every
// count up to 5 that splits the drives evenly into groups of at least 3.
uint8_t bSubarrayCandidates(uint8_t bDrives, uint8_t* pbCounts) {
    uint8_t n = 0;
    pbCounts[n++] = 1;
    for (uint8_t k = 2; k <= MAX_SUBARRAYS; k++)
        if (bDrives % k == 0 && bDrives / k >= MIN_SUBARRAY_DRIVES) pbCounts[n++] = k;
    return n;
}

void ShowArraySubarrayCountMenu() {
    EnterMenu(ArraySubarrayCountMenu, lSubarrayPath());
    const uint8_t bDrives = Request().bDriveCount;
    uint8_t abCounts[MAX_SUBARRAYS];
    const uint8_t bCandidates = bSubarrayCandidates(bDrives, abCounts);
    PrintMenuTitle("Create Array Configuration Menu");
    ConsolePrintf("\nSelect Subarray Count (No. of Parity Drives)\n\n");
    ConsolePrintf("1.  1 Subarray  (%02d Data Drives)\n", bDrives - 1);
    uint16_t wMask = MenuOptionBit(0) | MenuOptionBit(1);
    for (uint8_t i = 1; i < bCandidates; i++) {
        ConsolePrintf("%d.  %d Subarrays (%02d Data Drives)\n", i + 1, abCounts[i], bDrives - abCounts[i]);
        wMask |= MenuOptionBit(i + 1u);
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

// --- deletion and expansion ------------------------------------------------------

constexpr uint64_t PATH_DELETE_ARRAY = 0x1113;
constexpr uint64_t PATH_CONFIRM_DELETE = 0x11131;
constexpr uint64_t PATH_EXPAND_ARRAY = 0x1114;
constexpr uint64_t PATH_EXPAND_DRIVES = 0x11141;
constexpr uint64_t PATH_EXPAND_SUBARRAYS = 0x111411;

// A deletion refused for a running job: event 158 names the operation
// and the job.
constexpr uint8_t EVENT_OPERATION_REJECTED = 158;
constexpr uint8_t OPERATION_DELETE_ARRAY = 176;
constexpr uint8_t REJECTED_FOR_EXPANSION = 1;
constexpr uint8_t REJECTED_FOR_REBUILD = 2;
constexpr uint8_t REJECTED_FOR_INITIALIZATION = 3;
constexpr uint8_t REJECTED_FOR_PARITY_CHECK = 4;

EXPANSION_REQUEST& Expansion() { return *pGetExpandArrayRequest(); }
uint32_t dArrayCount() { return Scratch().sHeader.wRankCount; }

// What a deletion would disturb, in the order the refusal names it; 0
// for nothing.
uint8_t bDeletionRejectedFor() {
    if (bGetNvramRebuildPendingFlag() == TRUE) return REJECTED_FOR_REBUILD;
    if (fIsStripeInitInProgress(STRIPE_INIT_ALL_RANKS) == TRUE) return REJECTED_FOR_INITIALIZATION;
    if (fIsExpansionInProgress() == TRUE) return REJECTED_FOR_EXPANSION;
    if (fIsParityCheckInProgress() == TRUE) return REJECTED_FOR_PARITY_CHECK;
    return 0;
}

// The request is complete: the drives join the array in the scratch image.
void ExpandRequestedArray() {
    if (ExpandArray(&Expansion()) == STATUS_OK) {
        ConsolePrintf("\nArray %02d Successfully Expanded\n\n", Expansion().bArray);
        SetConfigModified(TRUE);
    } else {
        ConsolePrintText("\nFailed to Expand Array\n\n");
    }
    WaitForAnyKeyThen(ArrayConfigurationMenu);
}

const CONFIG_RANK_RECORD& ExpandingArray() { return Scratch().asRank[Expansion().bArray]; }
bool IsParityLevel(uint8_t bLevel) { return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50; }
// Subarrays of an array: its parity count for RAID 5/50 (at least one).
uint8_t bSubarrays(const CONFIG_RANK_RECORD& r) { return r.bParityCount == 0 ? 1 : r.bParityCount; }

void ShowExpandDriveSelection() {
    EnterMenu(ExpandArrayDriveSelection, PATH_EXPAND_DRIVES);
    EXPANSION_REQUEST& x = Expansion();
    x = EXPANSION_REQUEST{};
    x.bArray = bGetPhaseParam3();
    x.fAddSubRanks = FALSE;
    SetMenuSelection(0);
    Menu().bMenuStep = STEP_ADD_DRIVE;
    PrintMenuTitle("Expand Array Configuration Menu");
    ConsolePrintf("\nSelect Disk Drives -- %02d Disk Drives Added, %02d Total\n\n", x.bAddDrives,
                  x.bAddDrives + ExpandingArray().bDriveCount);
    OfferDrive(0);
}

void TakeExpandDriveAnswer() {
    EXPANSION_REQUEST& x = Expansion();
    const uint8_t bAnswer = bParseYesNo();
    if ((bAnswer == TRUE || bAnswer == PARSE_EMPTY) && x.bAddDrives < MAX_RANK_MEMBERS) {
        const uint8_t* pbWwn = pGetMenuArrayList();
        std::memcpy(x.aabWwn[x.bAddDrives++], pbWwn, 8);
        DRIVE_INFO* psDrive = nullptr;
        uint8_t bRecord = 0;
        if (fFindDriveByWWN(pbWwn, &psDrive, &bRecord) == TRUE && psDrive->dCapacity < dGetSmallestMemberCapacity()) {
            SetSmallestMemberCapacity(psDrive->dCapacity);
        }
        BeginCountLineRewrite();
        ConsolePrintf("Select Disk Drives -- %02d Disk Drives Added, %02d Total\n\n", x.bAddDrives,
                      x.bAddDrives + ExpandingArray().bDriveCount);
        EndCountLineRewrite();
    } else {
        EraseAnswerLine();
    }
    const uint8_t bNext = static_cast<uint8_t>(bGetMenuSelection() + 1);
    SetMenuSelection(bNext);
    const char* pszEnd = nullptr;
    if (x.bAddDrives + ExpandingArray().bDriveCount > MAX_RANK_MEMBERS - 1) {
        pszEnd = "\nMaximum drive count (%02d) added\n\n";
    } else if (bNext >= bUnusedDrives()) {
        pszEnd = "\nNo more unused drives to add\n\n";
    }
    EndDriveAnswer(pszEnd, MAX_RANK_MEMBERS, ExpandArrayDriveSelection);
}

void ValidateExpandSelection() {
    const EXPANSION_REQUEST& x = Expansion();
    const CONFIG_RANK_RECORD& r = ExpandingArray();
    const uint32_t a = x.bAddDrives;
    const uint32_t m = r.bDriveCount;
    const char* pszRefused = nullptr;
    if (a == 0) {
        pszRefused = "\nNo Drives Specified, Array Not Expanded\n\n";
    } else if (r.bRaidLevel == RAID_LEVEL_10 && a % 2 != 0) {
        pszRefused = "\nUneven Number of Drives Specified, Array Not Expanded\n\n";
    } else if (IsParityLevel(r.bRaidLevel)) {
        const uint32_t k = bSubarrays(r);
        const uint32_t dPerSubarray = m / k;
        if (dPerSubarray != 0 && a % dPerSubarray == 0 && a / dPerSubarray + k <= MAX_SUBARRAYS) {
            ExpandArraySubarrayMenu();
            return;
        }
        if (a % k != 0) pszRefused = "\nInsufficient Number of Drives Specified, Array Not Expanded\n\n";
    } else if (r.bRaidLevel == RAID_LEVEL_6 && a + m > MAX_RANK_MEMBERS) {
        pszRefused = "\nExceeded maximum rank size, RAID 6 Array Not Expanded\n\n";
    }
    if (pszRefused != nullptr) {
        RefuseTo(ArrayConfigurationMenu, pszRefused);
        return;
    }
    ExpandRequestedArray();
}

// The subarray counts the added drives allow: k as it is, or k2 with the
// added drives as new subarrays.
struct SubarrayChoice {
    uint32_t k, k2, t;
};
SubarrayChoice SubarrayChoices() {
    const CONFIG_RANK_RECORD& r = ExpandingArray();
    const uint32_t k = bSubarrays(r);
    const uint32_t a = Expansion().bAddDrives;
    const uint32_t dPerSubarray = r.bDriveCount / k == 0 ? 1 : r.bDriveCount / k;
    return {k, a / dPerSubarray + k, r.bDriveCount + a};
}

}  // namespace

void ArrayConfigurationMenu() {
    if (Menu().lMenuPath != PATH_ARRAY) {
        ClearScreen(FALSE);
        EnterMenu(ArrayConfigurationMenu, PATH_ARRAY);
        PrintMenuTitle("Array Configuration Menu");
        ConsolePrintf(Scratch().sHeader.wRankCount < 2 ? "1.  View Array\n" : "1.  View Arrays\n");
        ConsolePrintf("2.  Create Array\n");
        ConsolePrintf("3.  Delete Array\n");
        ConsolePrintf("4.  Expand Array\n");
        ConsolePrintf("5.  Array Cache Configuration\n");
        ConsolePrintf("6.  View Unused Drives\n");
        ConsolePrintf("7.  Advanced Array Configuration\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x00FF);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 0: ConfigurationMenu(); break;
    case 1u << 1: StartMenuDump(PATH_ARRAY * 16 + 1, ArrayConfigurationMenu, DUMP_TYPE_ARRAYS); break;
    case 1u << 2: CreateArrayMenu(); break;
    case 1u << 3: DeleteArrayMenu(); break;
    case 1u << 4: ExpandArrayMenu(); break;
    case 1u << 5: ArrayCacheSelectMenu(); break;
    case 1u << 6: StartMenuDump(PATH_ARRAY * 16 + 6, ArrayConfigurationMenu, DUMP_TYPE_UNUSED_DRIVES); break;
    case 1u << 7: AdvancedArrayMenu(); break;
    default: break;
    }
}

void CreateArrayMenu() {
    if (Menu().lMenuPath != PATH_CREATE_ARRAY) {
        EnterMenu(CreateArrayMenu, PATH_CREATE_ARRAY);
        const CONFIG_IMAGE& s = Scratch();
        if (s.sHeader.fExpansionActive == TRUE) {
            RefuseTo(ArrayConfigurationMenu, "\nArray Expansion in Progress\n\n");
        } else if (fGetPendingStripeInitFlag() == TRUE) {
            RefuseTo(ArrayConfigurationMenu, "\nPlease save configuration before creating array\n\n");
        } else if (s.sHeader.wRankCount >= MAX_RANKS) {
            ConsolePrintf("\nMaximum array count reached (%02d)\n\n", MAX_RANKS);
            WaitForAnyKeyThen(ArrayConfigurationMenu);
        } else if (bUnusedDrives() == 0) {
            RefuseTo(ArrayConfigurationMenu, "\nNo unused drives available for configuration\n\n");
        } else {
            ClearScreen(FALSE);
            PrintMenuTitle("Create Array Configuration Menu");
            ConsolePrintf("%u unused drives available for configuration\n", bUnusedDrives());
            ConsolePrintf("\nSelect RAID Level\n\n");
            ConsolePrintf("1.  RAID 0\n");
            ConsolePrintf("2.  RAID 1/10\n");
            ConsolePrintf("3.  RAID 5/50\n");
            const bool fRaid6 = (dGetFeatureMask() & FEATURE_RAID_6) != 0;
            if (fRaid6) ConsolePrintf("4.  RAID 6\n");
            ConsolePrintf("\n0.  Exit\n\n");
            EndOptionScreen(fRaid6 ? 0x1F : 0x0F);
        }
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 0; i < LEVEL_COUNT; i++) {
        if (wSelected != MenuOptionBit(i + 1)) continue;
        Request().bRankNumber = static_cast<uint8_t>(Scratch().sHeader.wRankCount);
        Request().bRaidLevel = LEVELS[i].bLevel;
        ArrayRaidLevelMenu();
        return;
    }
    ArrayConfigurationMenu();
}

void ArrayRaidLevelMenu() {
    if (Menu().lMenuPath != lLevelPath()) {
        ShowArrayRaidLevelMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1)) {
        ArrayChunkSizeMenu();
        return;
    }
    for (uint32_t dOption = 2; dOption < 16; dOption++) {
        if (wSelected == MenuOptionBit(dOption)) {
            CreateArrayFromProposal(dOption);
            return;
        }
    }
    ArrayConfigurationMenu();
}

void ArrayChunkSizeMenu() {
    if (Menu().lMenuPath != lChunkPath()) {
        EnterMenu(ArrayChunkSizeMenu, lChunkPath());
        PrintMenuTitle("Create Array Configuration Menu");
        ConsolePrintf("\nSelect Chunk Size\n\n");
        for (uint32_t i = 0; i < CHUNK_OPTIONS; i++) ConsolePrintf("%d.  %d K\n", i + 1, (CHUNK_FIRST << i) / 2);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x0F);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint32_t i = 0; i < CHUNK_OPTIONS; i++) {
        if (wSelected != MenuOptionBit(i + 1)) continue;
        Request().wChunkSize = static_cast<uint16_t>(CHUNK_FIRST << i);
        ArrayDriveSelectionMenu();
        return;
    }
    ArrayConfigurationMenu();
}

void ArrayDriveSelectionMenu() {
    if (Menu().lMenuPath != lDrivePath()) {
        ShowArrayDriveSelectionMenu();
        return;
    }
    switch (Menu().bMenuStep) {
    case STEP_ADD_DRIVE: TakeDriveAnswer(); break;
    case STEP_CONTINUE: TakeContinueAnswer(ArrayDriveSelectionMenu); break;
    default: ValidateDriveSelection(); break;
    }
}

void ArrayReserveCapacityMenu() {
    if (Menu().lMenuPath != lReservePath()) {
        ShowArrayReserveCapacityMenu();
        return;
    }
    TakeReserveAnswer();
}

void ArraySubarrayCountMenu() {
    if (Menu().lMenuPath != lSubarrayPath()) {
        ShowArraySubarrayCountMenu();
        return;
    }
    uint8_t abCounts[MAX_SUBARRAYS];
    const uint8_t bCandidates = bSubarrayCandidates(Request().bDriveCount, abCounts);
    const uint16_t wSelected = wGetSelectedOption();
    for (uint8_t j = 1; j <= bCandidates; j++) {
        if (wSelected != MenuOptionBit(j)) continue;
        Request().bParityCount = abCounts[j - 1];
        CreateRequestedArray();
        return;
    }
    ArrayConfigurationMenu();
}

void DeleteArrayMenu() {
    if (Menu().lMenuPath != PATH_DELETE_ARRAY) {
        EnterMenu(DeleteArrayMenu, PATH_DELETE_ARRAY);
        if (dArrayCount() == 0) {
            RefuseTo(ArrayConfigurationMenu, "\nNo configured arrays to delete\n\n");
        } else if (fGetPendingStripeInitFlag() == TRUE) {
            RefuseTo(ArrayConfigurationMenu, "\nPlease save configuration before deleting array\n\n");
        } else {
            ClearScreen(FALSE);
            PrintMenuTitle("Delete Array Configuration Menu");
            PromptArrayNumber("delete");
        }
        return;
    }
    uint8_t bArray = 0;
    if (!fTypedArray(&bArray)) {
        RefuseTo(ArrayConfigurationMenu, "\nInvalid selection\n\n");
        return;
    }
    // Refused while a job runs: the operator reads why in the words the
    // event log keeps.
    if (const uint8_t bWhy = bDeletionRejectedFor(); bWhy != 0) {
        PostEvent(EVENT_OPERATION_REJECTED, OPERATION_DELETE_ARRAY, bWhy);
        EVENT_LOG_ENTRY sRefusal{};
        sRefusal.bCode = EVENT_OPERATION_REJECTED;
        sRefusal.abArgs[0] = OPERATION_DELETE_ARRAY;
        sRefusal.abArgs[1] = bWhy;
        ConsolePrintf("\n");
        PrintEventText(&sRefusal);
        ConsolePrintf("\n");
        WaitForAnyKeyThen(ArrayConfigurationMenu);
        return;
    }
    SetPhaseParam3(bArray);
    ConfirmDeleteArray();
}

void ConfirmDeleteArray() {
    const uint8_t bArray = bGetPhaseParam3();
    if (Menu().lMenuPath != PATH_CONFIRM_DELETE) {
        EnterMenu(ConfirmDeleteArray, PATH_CONFIRM_DELETE);
        const CONFIG_HEADER& h = Scratch().sHeader;
        if (h.fExpansionActive == TRUE && h.bExpansionArray != bArray) {
            RefuseTo(ArrayConfigurationMenu, "\nArray Expansion in Progress\n\n");
            return;
        }
        ConsolePrintf("\nArray deletion will delete all data!!\n");
        ConsolePrintf("Confirm deletion of array %u (Y or N): ", bArray);
        AwaitTypedAnswer();
        return;
    }
    if (bParseYesNo() == TRUE) {
        ConsolePrintf("\nDeleting array %u\n\n", bArray);
        DeleteArray(bArray);
        SetConfigModified(TRUE);
    } else {
        ConsolePrintf("\nNo change to arrays\n\n");
    }
    WaitForAnyKeyThen(ArrayConfigurationMenu);
}

void ExpandArrayMenu() {
    if (Menu().lMenuPath != PATH_EXPAND_ARRAY) {
        EnterMenu(ExpandArrayMenu, PATH_EXPAND_ARRAY);
        if (Scratch().sHeader.fExpansionActive == TRUE) {
            RefuseTo(ArrayConfigurationMenu, "\nArray Expansion in Progress\n\n");
        } else if (dArrayCount() == 0) {
            RefuseTo(ArrayConfigurationMenu, "\nNo configured arrays to expand\n\n");
        } else if (dArrayCount() >= EXPANSION_RANK) {
            RefuseTo(ArrayConfigurationMenu, "\nNo free arrays to expand\n\n");
        } else {
            ClearScreen(FALSE);
            PrintMenuTitle("Expand Array Configuration Menu");
            PromptArrayNumber("expand");
        }
        return;
    }
    uint8_t n = 0;
    if (!fTypedArray(&n)) {
        RefuseTo(ArrayConfigurationMenu, "\nInvalid selection\n\n");
        return;
    }
    const CONFIG_RANK_RECORD& r = Scratch().asRank[n];
    const uint8_t bLevel = r.bRaidLevel;
    const bool fRedundant = bLevel == RAID_LEVEL_10 || IsParityLevel(bLevel) || bLevel == RAID_LEVEL_6;
    // RAID 5/50 grows by at least one drive per subarray.
    const uint32_t dLeast = IsParityLevel(bLevel) ? bSubarrays(r) : 1;
    const char* pszRefused = nullptr;
    if (fRedundant && r.bInitState != RANK_STATE_OPTIMAL) {
        ConsolePrintf("\nArray %03d Not Fault Tolerant!\n\n", n);
    } else if (r.bDriveCount > MAX_RANK_MEMBERS - 1 || r.bDriveCount + dLeast > MAX_RANK_MEMBERS) {
        ConsolePrintf("\nArray %03d Maximum Drive Count (%d) Reached!\n\n", n, MAX_RANK_MEMBERS);
    } else if (IsParityLevel(bLevel) && bUnusedDrives() < bSubarrays(r)) {
        pszRefused = "\nInsufficient unused drives available for RAID 5/50 expansion\n\n";
    } else if (bLevel == RAID_LEVEL_10 && bUnusedDrives() < 2) {
        pszRefused = "\nInsufficient unused drives available for RAID 1/10 expansion\n\n";
    } else if (bLevel == RAID_LEVEL_6 && bUnusedDrives() < 1) {
        pszRefused = "\nInsufficient unused drives available for RAID 6 expansion\n\n";
    } else {
        SetPhaseParam3(n);
        ExpandArrayDriveSelection();
        return;
    }
    if (pszRefused != nullptr) ConsolePrintText(pszRefused);
    WaitForAnyKeyThen(ArrayConfigurationMenu);
}

void ExpandArrayDriveSelection() {
    if (Menu().lMenuPath != PATH_EXPAND_DRIVES) {
        ShowExpandDriveSelection();
        return;
    }
    switch (Menu().bMenuStep) {
    case STEP_ADD_DRIVE: TakeExpandDriveAnswer(); break;
    case STEP_CONTINUE: TakeContinueAnswer(ExpandArrayDriveSelection); break;
    default: ValidateExpandSelection(); break;
    }
}

void ExpandArraySubarrayMenu() {
    const SubarrayChoice c = SubarrayChoices();
    if (Menu().lMenuPath != PATH_EXPAND_SUBARRAYS) {
        EnterMenu(ExpandArraySubarrayMenu, PATH_EXPAND_SUBARRAYS);
        PrintMenuTitle("Expand Array Configuration Menu");
        ConsolePrintf("\nSelect Subarray Count (No. of Parity Drives)\n\n");
        if (c.k == 1) {
            ConsolePrintf("1.  1 Subarray  (%02d Data Drives)\n", c.t - 1);
        } else {
            ConsolePrintf("1.  %d Subarrays (%02d Data Drives)\n", c.k, c.t - c.k);
        }
        ConsolePrintf("2.  %d Subarrays (%02d Data Drives)\n", c.k2, c.t - c.k2);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x07);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1)) {
        Expansion().fAddSubRanks = FALSE;
        ExpandRequestedArray();
    } else if (wSelected == MenuOptionBit(2)) {
        Expansion().fAddSubRanks = TRUE;
        Expansion().bAddSubRanks = static_cast<uint8_t>(c.k2 - c.k);
        ExpandRequestedArray();
    } else {
        ArrayConfigurationMenu();
    }
}

}  // namespace fw
