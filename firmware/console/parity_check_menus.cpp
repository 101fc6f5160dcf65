// The RAID 5/50/6 Parity Check Menu: starts a check, a rewrite or both on one
// array or on all of them, shows the running check and cancels it.  On the
// slave controller the requests go to the master, which runs the job.
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "partner/partner_link.h"
#include "raid/parity_check.h"
#include "raid/rebuild.h"

namespace fw {

namespace {

constexpr uint64_t PATH_PARITY_CHECK = 0x1223;
constexpr uint64_t PATH_MODE_FROM_ALL = 0x12231;
constexpr uint64_t PATH_ARRAY_PROMPT = 0x12232;
constexpr uint64_t PATH_MODE_FROM_PROMPT = 0x122321;
constexpr uint64_t PATH_STATUS = 0x12233;
constexpr uint64_t PATH_CONFIRM_CANCEL = 0x12234;
constexpr uint8_t NO_ARRAY = 255;
constexpr const char* TITLE = "RAID 5/50/6 Parity Check Menu";

// The request handed from one screen to the next.  The shared menu
// selection registers will not do: a drive rescan stores its own answer in
// one of them while the operator is between two screens.
struct PARITY_REQUEST {
    uint8_t bArray;   // 255: none
    uint8_t fAll;
};
PARITY_REQUEST s_sRequest = {NO_ARRAY, FALSE};

MENU_STATE& Menu() { return *psGetMenuState(); }

bool IsParityLevel(uint8_t bLevel) { return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_6; }

uint32_t dMissingMembers(uint8_t bArray) {
    uint32_t n = 0;
    for (uint8_t m = 0; m < bGetRankDriveCount(bArray); ++m) n += bGetRankMemberFlags(bArray, m) != MEMBER_FLAGS_IN_SERVICE;
    return n;
}

bool IsFaultTolerant(uint8_t bArray) {
    const uint8_t bLevel = bGetRankRaidLevel(bArray);
    const bool fOptimal = bGetRankOperationState(bArray) == RANK_STATE_OPTIMAL;
    if (bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50) return fOptimal;
    return bLevel == RAID_LEVEL_6 && (fOptimal || dMissingMembers(bArray) <= 1);
}

bool IsCheckRunning() { return fIsParityCheckInProgress() == TRUE; }

void PauseBackToMenu(uint64_t lPath) {
    Menu().lMenuPath = lPath;
    WaitForAnyKeyThen(ParityCheckMenu);
}

void PrintStatusLine() {
    const uint8_t bMode = bGetParityCheckMode();
    ConsolePrintf(bMode == PARITY_MODE_CHECK ? "Checking " : bMode == PARITY_MODE_REWRITE ? "Rewriting " : "Checking/Rewriting ");
    ConsolePrintf(fGetParityCheckAllRanks() == TRUE ? "Parity on all Arrays, Array %02d: " : "Parity on Array %02d: ",
                  bGetParityCheckRank());
    ConsolePrintf("%d%% Complete", bGetParityCheckPercent());
    const uint32_t dErrors = dGetParityCheckErrorCount();
    if (bMode == PARITY_MODE_REWRITE) {
        ConsolePrintf("\n\n");
    } else if (dErrors == 0) {
        ConsolePrintf(", No Errors\n\n");
    } else if (dErrors == 1) {
        ConsolePrintf(", 1 Error\n\n");
    } else {
        ConsolePrintf(", %d Errors\n\n", dErrors);
    }
}

void StartRequested(uint8_t bMode) {
    const uint8_t bArray = s_sRequest.bArray;
    const uint8_t fAll = s_sRequest.fAll;
    if (bArray == bGetRebuildRank() && fGetRebuildWork() == TRUE) {
        ConsolePrintf("\nParity Check Not Started, Array Rebuild in Progress.\n\n");
    } else {
        if (fIsMasterController() == TRUE) {
            (void)StartParityCheck(bArray, bMode, fAll);
        } else if (fIsDualControllerActive() == TRUE) {
            SendParityJobMessage(PARITY_MESSAGE_START, bArray, bMode, fAll);
        }
        ConsolePrintf(bMode == PARITY_MODE_CHECK     ? "\nParity Check Started\n\n"
                      : bMode == PARITY_MODE_REWRITE ? "\nParity Rewrite Started\n\n"
                                                     : "\nParity Check and Rewrite Started\n\n");
    }
    WaitForAnyKeyThen(ParityCheckMenu);
}

void ArrayRefused(const char* pszFormat, uint32_t dArray) {
    ConsolePrintf(pszFormat, dArray);
    WaitForAnyKeyThen(ParityCheckMenu);
}

}  // namespace

void ParityCheckMenu() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_PARITY_CHECK) {
        const bool fRunning = IsCheckRunning();
        bool fAnyParity = false;
        bool fAnyTolerant = false;
        for (uint8_t a = 0; a < bGetRankCount(); ++a) {
            fAnyParity |= IsParityLevel(bGetRankRaidLevel(a));
            fAnyTolerant |= IsFaultTolerant(a);
        }
        if (!fRunning && !fAnyTolerant) {
            ConsolePrintf(fAnyParity ? "\nNo fault tolerant RAID 5/50/6 arrays found!\n\n"
                                     : "\nNo RAID 5/50/6 arrays found!\n\n");
            s.lMenuPath = PATH_PARITY_CHECK;
            WaitForAnyKeyThen(OnlineDiagnosticsMenu);
            return;
        }
        ClearScreen(FALSE);
        EnterMenu(ParityCheckMenu, PATH_PARITY_CHECK);
        PrintMenuTitle(TITLE);
        ConsolePrintf("1.  Check All RAID 5/50/6 Arrays\n");
        ConsolePrintf("2.  Check Specific RAID 5/50/6 Array\n");
        if (fRunning) {
            ConsolePrintf("3.  Display Parity Check Status\n");
            ConsolePrintf("4.  Cancel Parity Check\n");
        }
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(fRunning ? 0x1F : 0x7);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1) || wSelected == MenuOptionBit(2)) {
        const bool fAll = wSelected == MenuOptionBit(1);
        if (IsCheckRunning()) {
            ConsolePrintf("\nParity Check Already in Progress\n\n");
            PauseBackToMenu(fAll ? PATH_MODE_FROM_ALL : PATH_ARRAY_PROMPT);
            return;
        }
        if (!fAll) {
            ParityCheckArrayPrompt();
            return;
        }
        uint8_t bFirst = NO_ARRAY;
        for (uint8_t a = 0; a < bGetRankCount() && bFirst == NO_ARRAY; ++a) {
            if (IsFaultTolerant(a)) bFirst = a;
        }
        s_sRequest = {bFirst, TRUE};
        ParityCheckModeMenu();
    } else if (wSelected == MenuOptionBit(3)) {
        s.lMenuPath = PATH_STATUS;
        // A check that ended meanwhile leaves nothing to show: the next line
        // brings the menu back.
        if (!IsCheckRunning()) return;
        PrintStatusLine();
        WaitForAnyKeyThen(ParityCheckMenu);
    } else if (wSelected == MenuOptionBit(4)) {
        ConfirmParityCheckCancel();
    } else {
        OnlineDiagnosticsMenu();
    }
}

void ParityCheckArrayPrompt() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_ARRAY_PROMPT) {
        ClearScreen(FALSE);
        EnterMenu(ParityCheckArrayPrompt, PATH_ARRAY_PROMPT);
        PrintMenuTitle(TITLE);
        const uint8_t bCount = bGetRankCount();
        if (bCount <= 1) {
            ConsolePrintf("\nEnter the number of the array to check parity (0): ");
        } else {
            ConsolePrintf("\nEnter the number of the array to check parity (0..%d): ", bCount - 1);
        }
        AwaitTypedAnswer();
        return;
    }
    uint32_t dArray = 0;
    if (bParseMenuNumber(&dArray) != PARSE_VALUE || dArray >= bGetRankCount()) {
        ConsolePrintf("\nInvalid selection\n\n");
        WaitForAnyKeyThen(ParityCheckMenu);
        return;
    }
    const uint8_t bArray = static_cast<uint8_t>(dArray);
    const uint8_t bLevel = bGetRankRaidLevel(bArray);
    const bool fOptimal = bGetRankOperationState(bArray) == RANK_STATE_OPTIMAL;
    if (bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50) {
        if (!fOptimal) return ArrayRefused("\nArray %d is not fault tolerant!\n\n", dArray);
    } else if (bLevel == RAID_LEVEL_6) {
        if (!fOptimal && dMissingMembers(bArray) > 1) {
            return ArrayRefused("\nArray %d is not fault tolerant, more than 1 Drive missing!\n\n", dArray);
        }
    } else {
        return ArrayRefused("\nArray %d is not a RAID 5/50 Array!\n\n", dArray);
    }
    s_sRequest = {bArray, FALSE};
    ParityCheckModeMenu();
}

void ParityCheckModeMenu() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_MODE_FROM_ALL && s.lMenuPath != PATH_MODE_FROM_PROMPT) {
        const uint64_t lPath = s.lMenuPath == PATH_PARITY_CHECK ? PATH_MODE_FROM_ALL : PATH_MODE_FROM_PROMPT;
        ClearScreen(FALSE);
        EnterMenu(ParityCheckModeMenu, lPath);
        PrintMenuTitle(TITLE);
        ConsolePrintf("1.  Check Parity Only\n");
        ConsolePrintf("2.  Rewrite Parity Only\n");
        ConsolePrintf("3.  Check and Rewrite Parity\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0xF);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint8_t bMode = PARITY_MODE_CHECK; bMode <= PARITY_MODE_CHECK_AND_REWRITE; ++bMode) {
        if (wSelected == MenuOptionBit(bMode)) return StartRequested(bMode);
    }
    ParityCheckMenu();
}

void ConfirmParityCheckCancel() {
    MENU_STATE& s = Menu();
    if (s.lMenuPath != PATH_CONFIRM_CANCEL) {
        ConsolePrintf("Confirm cancellation of parity check (Y or N): ");
        EnterMenu(ConfirmParityCheckCancel, PATH_CONFIRM_CANCEL);
        AwaitTypedAnswer();
        return;
    }
    if (bParseYesNo() == TRUE && IsCheckRunning()) {
        RequestParityCheckStop();
        ConsolePrintf("\nParity Check Cancelled\n\n");
    } else {
        ConsolePrintf("\nParity Check Not Cancelled\n\n");
    }
    WaitForAnyKeyThen(ParityCheckMenu);
}

}  // namespace fw
