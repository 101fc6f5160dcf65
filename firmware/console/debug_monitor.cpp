// The debug monitor: a command line for service engineers in place of the
// menus.  Each line is split into a command word and up to six arguments
// (numbers, decimal or 0x hexadecimal and possibly negative, or strings,
// quoted with ' to hold blanks), kept in a ring of past lines that the
// cursor keys recall, and dispatched through a fixed table.
#include "console/debug_monitor.h"

#include <cstring>

#include "cache/write_sort.h"
#include "console/console_keys.h"
#include "console/console_menu.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint8_t ESC = 0x1B;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t BACKSPACE = 0x08;
constexpr uint32_t EDIT_LINE_SIZE = 64;
constexpr uint32_t COMMAND_LINE_SIZE = 80;
constexpr uint32_t ARGUMENT_COUNT = 6;
constexpr uint32_t ARGUMENT_STRING_SIZE = 84;
constexpr uint32_t WORD_SIZE = 32;
constexpr uint32_t LOG_SIZE = 1025;
constexpr uint8_t LOG_MARK = 0xFF;
constexpr uint8_t LOG_CLEARED = 0xFE;
constexpr uint32_t RECALL_BACKSPACES = 10;
constexpr uint8_t RANKS = 64;

enum : uint32_t { ARGUMENT_NONE = 0, ARGUMENT_STRING = 1, ARGUMENT_NUMBER = 2 };

struct DEBUG_ARG {
    uint32_t dType;
    char acString[ARGUMENT_STRING_SIZE];
    uint64_t lNumber;
};
using DEBUG_ARGS = DEBUG_ARG[ARGUMENT_COUNT];

struct DEBUG_COMMAND {
    char acName[WORD_SIZE];
    void (*pfnHandler)(DEBUG_ARGS& as);
    uint8_t fEnabled;
};

struct DEBUG_VARIABLE {
    char acName[WORD_SIZE];
    void (*pfnSet)(uint64_t l);
    uint64_t (*pfnGet)();
    uint32_t dSize;
    uint8_t fAssignable;
};

struct DEBUG_MONITOR {
    uint8_t fActive;
    uint8_t bEscapeState;
    uint8_t bEscapeSecond;
    uint8_t fRawTagTimer;
    uint8_t fMenuOptionEntry;   // the entry mode of the menu it was entered from
    uint16_t wLogIndex;
    uint16_t wRecallIndex;
    uint8_t abLog[LOG_SIZE];
    char acLine[COMMAND_LINE_SIZE + 1];
};

DEBUG_MONITOR s_sMonitor;

MENU_STATE& Menu() { return *psGetMenuState(); }

uint16_t wLogNext(uint32_t d) { return static_cast<uint16_t>((d + 1) % LOG_SIZE); }
uint16_t wLogPrevious(uint32_t d) { return static_cast<uint16_t>((d + LOG_SIZE - 1) % LOG_SIZE); }

void PrintPrompt() {
    ConsolePrintf("\nDebug> ");
    AwaitTypedAnswer();
}

void EraseTypedLine() {
    MENU_STATE& s = Menu();
    for (uint32_t i = 0; i < s.bLineLength; ++i) {
        UartPutChar(BACKSPACE);
        UartPutChar(' ');
        UartPutChar(BACKSPACE);
    }
    s.bLineLength = 0;
}

// --- the command log --------------------------------------------------------

void LogByte(uint8_t b) {
    s_sMonitor.abLog[s_sMonitor.wLogIndex] = b;
    s_sMonitor.wLogIndex = wLogNext(s_sMonitor.wLogIndex);
}

void LogLine(const char* psz) {
    if (*psz == 0) return;
    LogByte(LOG_MARK);
    for (; *psz != 0; ++psz) LogByte(static_cast<uint8_t>(*psz));
    LogByte(0);
}

// The logged line before (or after) the recall position: its first
// character's position, or LOG_SIZE when the walk finds none.
uint32_t dFindLoggedLine(bool fPrevious) {
    uint16_t w = s_sMonitor.wRecallIndex;
    for (uint32_t dSteps = 0; dSteps < LOG_SIZE - 1; ++dSteps) {
        if (w == s_sMonitor.wLogIndex && dSteps != 0) break;
        if (s_sMonitor.abLog[w] == LOG_MARK) {
            s_sMonitor.wRecallIndex = fPrevious ? wLogPrevious(w) : wLogNext(w);
            return wLogNext(w);
        }
        w = fPrevious ? wLogPrevious(w) : wLogNext(w);
    }
    s_sMonitor.wRecallIndex = w;
    return LOG_SIZE;
}

void Recall(bool fPrevious) {
    for (uint32_t i = 0; i < RECALL_BACKSPACES; ++i) UartPutChar(BACKSPACE);
    ConsolePrintf("Debug> ");
    const uint32_t dStart = dFindLoggedLine(fPrevious);
    if (dStart == LOG_SIZE) return;
    // Typed again as if by hand: echoed and collected by the line editor.
    for (uint32_t d = dStart, n = 0; s_sMonitor.abLog[d] != 0 && n < EDIT_LINE_SIZE; d = wLogNext(d), ++n) {
        HandleConsoleCharacter(s_sMonitor.abLog[d]);
    }
}

// --- words and arguments ----------------------------------------------------

// A word: to the next blank, or from a ' to the next ' (or the line's end).
const char* pszTakeWord(const char* psz, char* pcOut, uint32_t dSize) {
    uint32_t n = 0;
    const bool fQuoted = *psz == '\'';
    if (fQuoted) ++psz;
    while (*psz != 0 && *psz != (fQuoted ? '\'' : ' ')) {
        if (n + 1 < dSize) pcOut[n++] = *psz;
        ++psz;
    }
    if (fQuoted && *psz == '\'') ++psz;
    pcOut[n] = 0;
    return psz;
}

const char* pszSkipBlanks(const char* psz) {
    while (*psz == ' ') ++psz;
    return psz;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int32_t iHexDigit(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* pszTakeNumber(const char* psz, uint64_t* pl) {
    const bool fNegative = *psz == '-';
    if (fNegative) ++psz;
    uint64_t l = 0;
    if (psz[0] == '0' && psz[1] == 'x') {
        for (psz += 2; iHexDigit(*psz) >= 0; ++psz) l = l << 4 | static_cast<uint64_t>(iHexDigit(*psz));
    } else {
        for (; IsDigit(*psz); ++psz) l = l * 10 + static_cast<uint64_t>(*psz - '0');
    }
    *pl = fNegative ? ~l + 1 : l;
    return psz;
}

const char* pszTakeArgument(const char* psz, DEBUG_ARG* ps) {
    std::memset(ps, 0, sizeof *ps);
    if (*psz == 0) return psz;
    if (IsDigit(psz[0]) || (psz[0] == '-' && IsDigit(psz[1]))) {
        ps->dType = ARGUMENT_NUMBER;
        return pszTakeNumber(psz, &ps->lNumber);
    }
    ps->dType = ARGUMENT_STRING;
    return pszTakeWord(psz, ps->acString, ARGUMENT_STRING_SIZE);
}

// --- variables --------------------------------------------------------------

void SetRawTagTimer(uint64_t l) { s_sMonitor.fRawTagTimer = l == TRUE ? TRUE : FALSE; }
uint64_t lGetRawTagTimer() { return s_sMonitor.fRawTagTimer == TRUE ? TRUE : FALSE; }
uint64_t lGetSortCount() { return dGetSortableWriteCount(); }
uint64_t lGetWriteSortEnabled() { return fGetWriteSortEnabled(); }
uint64_t lGetMaxOutstandingWrites() { return WRITE_SORT_WRITE_LIMIT; }
uint64_t lGetFlushHoldOff() { return dGetOptimisationHoldLimit(); }
uint64_t lGetSequenceAdder() { return lGetOptimisationSequenceWindow(); }

// Variables this firmware does not keep have no getter: "set" says it
// cannot show them.
constexpr DEBUG_VARIABLE s_asVariables[] = {
    {"dCacheFenceDebugLvl", nullptr, nullptr, 4, FALSE},
    {"dFlushHoldOffTicks", nullptr, lGetFlushHoldOff, 4, FALSE},
    {"dLunAccessDebugLvl", nullptr, nullptr, 4, FALSE},
    {"dMaxImmediateStatusCount", nullptr, nullptr, 4, FALSE},
    {"dMaxOutstandingWritesPerRank", nullptr, lGetMaxOutstandingWrites, 4, FALSE},
    {"dMinOutstandingWritesPerRank", nullptr, nullptr, 4, FALSE},
    {"dSortCount", nullptr, lGetSortCount, 4, FALSE},
    {"dWriteSortDebugLvl", nullptr, nullptr, 4, FALSE},
    {"fRawTagTimer", SetRawTagTimer, lGetRawTagTimer, 1, FALSE},
    {"fSortElevator", nullptr, nullptr, 1, FALSE},
    {"fWriteSortEnabled", nullptr, lGetWriteSortEnabled, 1, FALSE},
    {"lCommandClusterMaxInterval", nullptr, nullptr, 8, FALSE},
    {"lCommandSequenceAdder", nullptr, lGetSequenceAdder, 8, FALSE},
};

void ShowVariable(const DEBUG_VARIABLE& v) {
    if (v.pfnGet == nullptr) {
        ConsolePrintf("!!! Cannot Show This Variable.\n");
        return;
    }
    const uint64_t l = v.pfnGet();
    const unsigned dHigh = static_cast<unsigned>(l >> 32), dLow = static_cast<unsigned>(l);
    switch (v.dSize) {
    case 1: ConsolePrintf("%d (0x%02X)\n", static_cast<int>(dLow), dLow); break;
    case 2: ConsolePrintf("%d (0x%04X)\n", static_cast<int>(dLow), dLow); break;
    case 4: ConsolePrintf("%d (0x%08X)\n", static_cast<int>(dLow), dLow); break;
    case 8:
        if (dHigh != 0) {
            ConsolePrintf("0x%X%08X\n", dHigh, dLow);
        } else {
            ConsolePrintf("%d (0x%X%08X)\n", static_cast<int>(dLow), dHigh, dLow);
        }
        break;
    default: ConsolePrintf("\n!!! Data Size %d bytes not supported on this platform.\n", static_cast<int>(v.dSize));
    }
}

void SetVariable(const DEBUG_VARIABLE& v, uint64_t l) {
    if (v.pfnSet == nullptr) {
        ConsolePrintf("!!! Cannot Set This Variable.\n");
        return;
    }
    if (v.dSize != 1 && v.dSize != 2 && v.dSize != 4 && v.dSize != 8) {
        ConsolePrintf("\n!!! Data Size %d bytes not supported on this platform.\n", static_cast<int>(v.dSize));
        ConsolePrintf("!!! FAILED to Set This Variable.\n");
        return;
    }
    if (v.dSize < 8 && l >> (v.dSize * 8) != 0) {
        ConsolePrintf("!!! Value Out of Bounds, MAX Size = %d bytes.\n", static_cast<int>(v.dSize));
        ConsolePrintf("!!! FAILED to Set This Variable.\n");
        return;
    }
    v.pfnSet(l);
}

void ListVariables() {
    ConsolePrintf("The following commands may be used to Show or Set variables:\n\n");
    ConsolePrintf("- set VariableName\n");
    ConsolePrintf("  Show the current value of VariableName\n\n");
    ConsolePrintf("- set VariableName N\n");
    ConsolePrintf("  where N = the new value to assign to VariableName, \n");
    ConsolePrintf("            also accepts TRUE/true and FALSE/false\n\n");
    ConsolePrintf("- List of the current \"set\"able variable names and their values\n\n");
    for (const DEBUG_VARIABLE& v : s_asVariables) {
        ConsolePrintf("\t%s = ", v.acName);
        ShowVariable(v);
    }
    ConsolePrintf("\n!!! Note: variable names are case sensitive\n\n");
}

// --- commands ---------------------------------------------------------------

void CommandSet(DEBUG_ARGS& as) {
    if (as[0].dType != ARGUMENT_STRING) {
        ListVariables();
        return;
    }
    const DEBUG_VARIABLE* pv = nullptr;
    for (const DEBUG_VARIABLE& v : s_asVariables) {
        if (std::strcmp(v.acName, as[0].acString) == 0) pv = &v;
    }
    if (pv == nullptr) {
        ConsolePrintf("No Such Variable\n");
        ConsolePrintf("!!! Note: variable names are case sensitive\n\n");
        return;
    }
    DEBUG_ARG& sValue = as[1];
    if (sValue.dType == ARGUMENT_STRING) {
        if (pv->fAssignable != TRUE) {
            ConsolePrintf("Value assignment disabled\n");
            return;
        }
        const char* psz = sValue.acString;
        if (std::strcmp(psz, "TRUE") == 0 || std::strcmp(psz, "true") == 0) {
            sValue.lNumber = TRUE;
        } else if (std::strcmp(psz, "FALSE") == 0 || std::strcmp(psz, "false") == 0) {
            sValue.lNumber = FALSE;
        } else {
            ConsolePrintf("Unknown Value: %s\n", psz);
            return;
        }
        sValue.dType = ARGUMENT_NUMBER;
    }
    ConsolePrintf("%s current value: ", pv->acName);
    ShowVariable(*pv);
    if (sValue.dType != ARGUMENT_NUMBER) return;
    if (pv->fAssignable != TRUE) {
        ConsolePrintf("Value assignment disabled\n");
        return;
    }
    SetVariable(*pv, sValue.lNumber);
    ConsolePrintf("%s new value: ", pv->acName);
    ShowVariable(*pv);
}

void PrintRankCounters(uint8_t bRank) {
    ConsolePrintf("RAID Layer outstanding Reads Rank %d = %d\n", bRank, static_cast<int>(dGetRankReadsInProgress(bRank)));
    ConsolePrintf("RAID Layer outstanding Writes Rank %d = %d\n", bRank,
                  static_cast<int>(dGetRankWritesInProgress(bRank)));
}

void CommandGetRaidIoCount(DEBUG_ARGS&) {
    for (uint8_t bRank = 0; bRank < RANKS; ++bRank) {
        if (dGetRankReadsInProgress(bRank) != 0 || dGetRankWritesInProgress(bRank) != 0) PrintRankCounters(bRank);
    }
}

void CommandClearRaidIoCount(DEBUG_ARGS& as) {
    if (as[0].dType != ARGUMENT_NUMBER) {
        ConsolePrintf("Argument needs to be Rank Number [0..63]\n");
        return;
    }
    const uint8_t bRank = static_cast<uint8_t>(as[0].lNumber);
    PrintRankCounters(bRank);
    ClearRankReadsInProgress(bRank);
    ClearRankWritesInProgress(bRank);
    ConsolePrintf("Counters Cleared... Rank %d\n", bRank);
}

void DumpArgument(const DEBUG_ARG& s) {
    if (s.dType == ARGUMENT_STRING) {
        ConsolePrintf("\tArgument Type: STRING\n");
        ConsolePrintf("\tString Contents: %s\n", s.acString);
    } else if (s.dType == ARGUMENT_NUMBER) {
        ConsolePrintf("\tArgument Type: NUMBER\n");
        ConsolePrintf("\tHex: 0x%X%08X\n", static_cast<unsigned>(s.lNumber >> 32), static_cast<unsigned>(s.lNumber));
        const int64_t i = static_cast<int64_t>(s.lNumber);
        if (i < 0) {
            ConsolePrintf("\tDecimal: -%d\n", static_cast<int>(-i));
        } else {
            ConsolePrintf("\tDecimal: %d\n", static_cast<int>(i));
        }
    } else {
        ConsolePrintf("\tArgument Type: UNKNOWN\n");
    }
}

void CommandDebugTest(DEBUG_ARGS& as) {
    ConsolePrintf("You have successfully executed the function call for DebugTest\n");
    for (uint32_t i = 0; i < ARGUMENT_COUNT; ++i) {
        ConsolePrintf("--CLI Argument %d\n", static_cast<int>(i));
        DumpArgument(as[i]);
    }
}

void CommandExit(DEBUG_ARGS&) {
    ConsolePrintf("\nDebug Monitor Inactive\n\n");
    s_sMonitor.fActive = FALSE;
    Menu().pfnCurrentMenu = Menu().pfnPreviousMenu;
    // The menu takes its next line as it did before: an option stays an
    // option.
    SetOptionEntryMode(s_sMonitor.fMenuOptionEntry);
}

void CommandClearLog(DEBUG_ARGS&) { ClearDebugCommandLog(); }

void CommandShowLog(DEBUG_ARGS&) {
    const uint16_t wFrom = wLogNext(s_sMonitor.wLogIndex);
    ConsolePrintf("Command Log \n\tCur Index = %d\n\tLog Index = %d\n\t\n\tTemp Index = %d\n", s_sMonitor.wLogIndex,
                  s_sMonitor.wRecallIndex, wFrom);
    bool fInLine = false;
    for (uint16_t w = wFrom; w != s_sMonitor.wLogIndex; w = wLogNext(w)) {
        const uint8_t b = s_sMonitor.abLog[w];
        if (b == LOG_MARK) {
            fInLine = true;
        } else if (fInLine && b == 0) {
            ConsolePrintf("\n");
            fInLine = false;
        } else if (fInLine) {
            ConsolePrintf("%c", b);
        }
    }
}

void CommandShowSortOrder(DEBUG_ARGS&) { ShowWriteSortOrder(); }
void CommandNothing(DEBUG_ARGS&) {}
void CommandHelp(DEBUG_ARGS&);

constexpr DEBUG_COMMAND s_asCommands[] = {
    {"clearcmdlog", CommandClearLog, TRUE},
    {"clearraidiocnt", CommandClearRaidIoCount, FALSE},
    {"dbgtest", CommandDebugTest, FALSE},
    {"exit", CommandExit, TRUE},
    {"getraidiocnt", CommandGetRaidIoCount, TRUE},
    {"help", CommandHelp, TRUE},
    {"set", CommandSet, TRUE},
    {"showcmdlog", CommandShowLog, TRUE},
    {"showsortorder", CommandShowSortOrder, TRUE},
    {"tclear", CommandNothing, FALSE},
    {"tdump", CommandNothing, FALSE},
    {"tinfo", CommandNothing, FALSE},
    {"tinit", CommandNothing, FALSE},
    {"tstart", CommandNothing, FALSE},
    {"tstop", CommandNothing, FALSE},
    {"?", CommandHelp, TRUE},
};

void CommandHelp(DEBUG_ARGS&) {
    ConsolePrintf("List of Available Debug Monitor Commands:\n\n");
    for (const DEBUG_COMMAND& c : s_asCommands) {
        if (c.fEnabled == TRUE) ConsolePrintf("\t%s\n", c.acName);
    }
}

void DispatchDebugCommand(const char* pszWord, DEBUG_ARGS& as) {
    for (const DEBUG_COMMAND& c : s_asCommands) {
        if (c.fEnabled == TRUE && std::strcmp(c.acName, pszWord) == 0) {
            c.pfnHandler(as);
            return;
        }
    }
    ConsolePrintf("Invalid Command\n");
}

// The monitor's menu function: each completed line.
void DebugMonitorLineHandler() {
    ConsolePrintf("\n");
    s_sMonitor.wRecallIndex = s_sMonitor.wLogIndex;
    const MENU_STATE& s = Menu();
    uint32_t n = 0;
    while (n < s.bLineLength && n < COMMAND_LINE_SIZE && s.abLineBuffer[n] != 0 && s.abLineBuffer[n] != CR) {
        s_sMonitor.acLine[n] = static_cast<char>(s.abLineBuffer[n]);
        ++n;
    }
    s_sMonitor.acLine[n] = 0;
    LogLine(s_sMonitor.acLine);
    if (n != 0) {
        char acWord[WORD_SIZE];
        DEBUG_ARGS as;
        const char* psz = pszSkipBlanks(pszTakeWord(s_sMonitor.acLine, acWord, WORD_SIZE));
        for (DEBUG_ARG& sArg : as) psz = pszSkipBlanks(pszTakeArgument(psz, &sArg));
        DispatchDebugCommand(acWord, as);
    }
    if (s_sMonitor.fActive == TRUE) PrintPrompt();
}

}  // namespace

// The ring is emptied whole: lines of before the clear are neither shown
// nor recalled.
void ClearDebugCommandLog() {
    std::memset(s_sMonitor.abLog, 0, sizeof s_sMonitor.abLog);
    s_sMonitor.abLog[s_sMonitor.wLogIndex] = LOG_CLEARED;
    s_sMonitor.wLogIndex = 0;
    s_sMonitor.wRecallIndex = 0;
}

void EnterDebugMonitor() {
    MENU_STATE& s = Menu();
    s_sMonitor.fActive = TRUE;
    s_sMonitor.bEscapeState = 0;
    s_sMonitor.fMenuOptionEntry = s.fOptionEntryMode;
    ClearScreen(TRUE);
    ConsolePrintf("\n Entering Monitor Mode\n");
    s.pfnPreviousMenu = s.pfnCurrentMenu;
    s.pfnCurrentMenu = DebugMonitorLineHandler;
    s.bLineLength = 0;
    s.fLineOverflow = FALSE;
    PrintPrompt();
}

uint8_t fIsDebugMonitorActive() { return s_sMonitor.fActive; }
void SetDebugMonitorActive(uint8_t f) { s_sMonitor.fActive = f; }

void DebugMonitorInputCharacter(uint8_t c) {
    MENU_STATE& s = Menu();
    // A line is being carried out: keys meanwhile are dropped.
    if (s.fMenuCallPending == TRUE) return;
    if (s_sMonitor.bEscapeState == 1) {
        s_sMonitor.bEscapeSecond = c;
        s_sMonitor.bEscapeState = 2;
        return;
    }
    if (s_sMonitor.bEscapeState == 2) {
        s_sMonitor.bEscapeState = 0;
        EraseTypedLine();
        if (s_sMonitor.bEscapeSecond == '[' && (c == 'A' || c == 'B')) Recall(c == 'A');
        return;
    }
    if (c == ESC) {
        s_sMonitor.bEscapeState = 1;
        return;
    }
    if (c == BACKSPACE) {
        if (s.bLineLength > 0) {
            --s.bLineLength;
            UartPutChar(BACKSPACE);
            UartPutChar(' ');
            UartPutChar(BACKSPACE);
        }
        return;
    }
    if (c == CR) {
        if (s.fLineOverflow == TRUE) {
            s.bLineLength = 0;
            s.fLineOverflow = FALSE;
            return;
        }
        // The line is emptied once the handler has read it.
        CallMenuFromInput();
        return;
    }
    ConsolePrintf("%c", c);
    if (s.bLineLength < EDIT_LINE_SIZE) {
        s.abLineBuffer[s.bLineLength++] = c;
    } else {
        s.fLineOverflow = TRUE;
    }
}

}  // namespace fw
