// Console character handling and hot keys.
//
// Service phrases and hidden commands, typed as a whole line and ended with
// the Enter key (service staff: these are the only places they are kept):
//
//   Configuration Menu     "enable advanced configuration"   advanced
//                          configuration level 1; followed by a blank and a
//                          digit 0-9, that level
//   Diagnostics Menu       "grant diagnostics privilege"     diagnostics
//                          level 1; followed by a blank and a digit, that
//                          level
//   Diagnostics Menu,      "cp" + action + enclosure + slot  slot power:
//   diagnostics level 3+   action "f" off, "n" on, "c" off and back on;
//                          enclosure "1".."9"; slot "1".."9", "a".."c"
//                          (10-12); e.g. "cpf13" powers off enclosure 1
//                          slot 3
//   Drive Port Integrity   "enable random"   random destructive test switch
//   Test Menu,             "with peer"       include the partner controller
//   diagnostics level 3+   "enable jitter"   link jitter test
//
// Hot keys (diagnostics level 3 and above, on an empty line while a menu
// waits for an option): see RunHotKey below.  "!" enters the debug monitor
// and Ctrl-C twice within a second resets the controller.  Every phrase
// begins with a character that is no hot key, so that it can be typed at
// any level.
#include "console/console_keys.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/nvram_journal.h"
#include "cache/stripe_access.h"
#include "config/config_flags.h"
#include "config/config_db.h"
#include "config/config_phase.h"
#include "config/write_semaphore.h"
#include "console/console_menu.h"
#include "console/debug_monitor.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "console/throughput_test.h"
#include "console/xmodem_receive.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_table.h"
#include "enclosure/ses_host_reads.h"
#include "enclosure/drive_table.h"
#include "eventlog/bus_monitor.h"
#include "eventlog/statistics.h"
#include "eventlog/status_line.h"
#include "eventlog/time_logs.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/host_interface.h"
#include "partner/partner_link.h"
#include "platform/embedded_module.h"
#include "sas/mpi_diagnostics.h"
#include "sas/request_frames.h"
#include "sas/sas_drive.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint8_t CTRL_C = 0x03;
constexpr uint8_t CTRL_D = 0x04;
constexpr uint8_t CTRL_E = 0x05;
constexpr uint8_t BELL = 0x07;
constexpr uint8_t BACKSPACE = 0x08;
constexpr uint8_t LF = 0x0A;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t CTRL_Q = 0x11;
constexpr uint8_t CTRL_S = 0x13;
constexpr uint8_t ESC = 0x1B;

constexpr uint64_t RESET_WINDOW_MS = 1000;
constexpr uint8_t SERVICE_LEVEL = 2;   // the service rules need a level above it
constexpr uint8_t ENCLOSURE_SERVICE_LEVEL = 3;

constexpr uint64_t PATH_CONFIGURATION = 0x11;
constexpr uint64_t PATH_DIAGNOSTICS = 0x12;
constexpr uint64_t PATH_DRIVE_PORT_TEST = 0x1211;

// The phrases (see the head of this file); only their lengths are fixed.
constexpr char CONFIGURATION_PHRASE[] = "enable advanced configuration";
constexpr char DIAGNOSTICS_PHRASE[] = "grant diagnostics privilege";
constexpr char RANDOM_TEST_PHRASE[] = "enable random";
constexpr char PARTNER_TEST_PHRASE[] = "with peer";
constexpr char LINK_JITTER_PHRASE[] = "enable jitter";
constexpr char SLOT_PREFIX[] = "cp";
static_assert(sizeof CONFIGURATION_PHRASE - 1 == 29);
static_assert(sizeof DIAGNOSTICS_PHRASE - 1 == 27);
static_assert(sizeof RANDOM_TEST_PHRASE - 1 == 13);
static_assert(sizeof PARTNER_TEST_PHRASE - 1 == 9);
static_assert(sizeof LINK_JITTER_PHRASE - 1 == 13);
static_assert(sizeof SLOT_PREFIX - 1 == 2);
constexpr uint8_t SLOT_COMMAND_LENGTH = 5;
constexpr uint8_t SLOT_POWER_OFF = 'f';
constexpr uint8_t SLOT_POWER_ON = 'n';
constexpr uint8_t SLOT_POWER_CYCLE = 'c';
constexpr uint8_t SLOT_CONTROL_ON = 1;
constexpr uint8_t SLOT_CONTROL_OFF = 2;
constexpr uint8_t SLOT_REQUEST_ONCE = 2;
constexpr uint8_t SLOT_REQUEST_CYCLE = 3;
constexpr uint8_t SLOT_CONTROL_DURATION = 20;

MENU_STATE& Menu() { return *psGetMenuState(); }

// Keys typed while a menu call waits to run, kept in order for whatever the
// call leaves on the screen: the pause it prints, the menu it draws.  A
// fast typist, a paste or an Enter typed at a pause must not lose the key
// after it.  A paste reaches the receive path in one burst, so the ring
// holds four full lines, not one.
constexpr uint32_t TYPE_AHEAD_SIZE = 4 * MENU_LINE_SIZE;
struct TYPE_AHEAD {
    uint8_t abKey[TYPE_AHEAD_SIZE];
    uint32_t dIn;
    uint32_t dCount;
};
TYPE_AHEAD s_sTypeAhead;
// The last key was a CR: a LF right after it is the rest of the same Enter
// (terminals that end lines with CR LF), not the first key of the next line.
uint8_t s_fAfterCr = FALSE;

void KeepTypedAhead(uint8_t c) {
    TYPE_AHEAD& t = s_sTypeAhead;
    if (t.dCount == TYPE_AHEAD_SIZE) {
        // The key is lost: the bell says so, as a terminal's full input
        // line does, rather than a line that silently misses it.
        UartPutChar(BELL);
        return;
    }
    t.abKey[t.dIn] = c;
    t.dIn = (t.dIn + 1) % TYPE_AHEAD_SIZE;
    ++t.dCount;
}

bool LineIs(const char* pszText, uint32_t dLength) {
    const MENU_STATE& s = Menu();
    return s.bLineLength == dLength && std::memcmp(s.abLineBuffer, pszText, dLength) == 0;
}

bool LineStartsWith(const char* pszText, uint32_t dLength) {
    const MENU_STATE& s = Menu();
    return s.bLineLength >= dLength && std::memcmp(s.abLineBuffer, pszText, dLength) == 0;
}

// A level phrase alone, or followed by one character and a digit: the
// digit is the level, anything else there gives level 1.
bool fMatchLevelPhrase(const char* pszPhrase, uint32_t dLength, uint8_t* pbLevel) {
    const MENU_STATE& s = Menu();
    if (s.bLineLength != dLength && s.bLineLength != dLength + 2) return false;
    if (!LineStartsWith(pszPhrase, dLength)) return false;
    const uint8_t c = s.bLineLength == dLength + 2 ? s.abLineBuffer[dLength + 1] : 0;
    *pbLevel = c >= '0' && c <= '9' ? static_cast<uint8_t>(c - '0') : 1;
    return true;
}

// The slot of a slot command character, or 0 when the character names none.
uint8_t bSlotOfCharacter(uint8_t c) {
    if (c >= '1' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'c') return static_cast<uint8_t>(c - 'a' + 10);
    return 0;
}

// Only an enclosure the drive table knows and a slot the characters can
// name are acted on: anything else would reach the enclosure code as an
// unchecked index.
void RunSlotCommand() {
    const uint8_t* pb = Menu().abLineBuffer;
    const uint8_t bAction = pb[2];
    const uint8_t bEnclosure = pb[3] >= '1' && pb[3] <= '9' ? static_cast<uint8_t>(pb[3] - '0') : 0;
    const uint8_t bSlot = bSlotOfCharacter(pb[4]);
    const DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    const uint8_t bEnclosures = psList == nullptr ? 0 : bGetHighestEnclosureNumber(psList);
    if (bEnclosure == 0 || bEnclosure > bEnclosures || bSlot == 0) return;
    const bool fHigh = bSlot >= 10;
    uint8_t bKind = 0, bRequest = 0;
    if (bAction == SLOT_POWER_OFF) {
        ConsolePrintf(fHigh ? " \n Turn OFF \n" : "Turn OFF \n");
        bKind = SLOT_CONTROL_OFF;
        bRequest = SLOT_REQUEST_ONCE;
    } else if (bAction == SLOT_POWER_ON) {
        ConsolePrintf(fHigh ? " \n Turn ON \n" : "Turn ON \n");
        bKind = SLOT_CONTROL_ON;
        bRequest = SLOT_REQUEST_ONCE;
    } else if (bAction == SLOT_POWER_CYCLE) {
        ConsolePrintf(fHigh ? " \n Turn OFF and back ON\n" : "Turn OFF and back ON\n");
        bKind = SLOT_CONTROL_OFF;
        bRequest = SLOT_REQUEST_CYCLE;
    } else {
        return;
    }
    (void)bQueueEnclosureSlotControl(bEnclosure, bSlot, bKind, bRequest, SLOT_CONTROL_DURATION);
}

// The service phrases and hidden commands of the menu the line was typed
// in; TRUE with the selection code stored when one matched.
bool fMatchServiceLine() {
    MENU_STATE& s = Menu();
    const uint8_t bDiagnostics = bGetDiagnosticsModeLevel();
    uint8_t bLevel = 0;
    if (s.lMenuPath == PATH_CONFIGURATION &&
        fMatchLevelPhrase(CONFIGURATION_PHRASE, sizeof CONFIGURATION_PHRASE - 1, &bLevel)) {
        SetAdvancedConfigModeLevel(bLevel);
        s.wSelectedOption = MENU_CODE_PHRASE;
        return true;
    }
    if (s.lMenuPath == PATH_DIAGNOSTICS) {
        if (fMatchLevelPhrase(DIAGNOSTICS_PHRASE, sizeof DIAGNOSTICS_PHRASE - 1, &bLevel)) {
            SetDiagnosticsModeLevel(bLevel);
            s.wSelectedOption = MENU_CODE_PHRASE;
            return true;
        }
        if (bDiagnostics > SERVICE_LEVEL && s.bLineLength == SLOT_COMMAND_LENGTH &&
            LineStartsWith(SLOT_PREFIX, sizeof SLOT_PREFIX - 1)) {
            RunSlotCommand();
            s.wSelectedOption = MENU_CODE_SLOT_COMMAND;
            return true;
        }
    }
    if (s.lMenuPath == PATH_DRIVE_PORT_TEST && bDiagnostics > SERVICE_LEVEL) {
        if (LineIs(RANDOM_TEST_PHRASE, sizeof RANDOM_TEST_PHRASE - 1)) {
            s.wSelectedOption = MENU_CODE_PHRASE;
            return true;
        }
        if (LineIs(PARTNER_TEST_PHRASE, sizeof PARTNER_TEST_PHRASE - 1)) {
            SetThroughputTestPartnerIncluded(TRUE);
            s.wSelectedOption = MENU_CODE_PARTNER_TEST;
            return true;
        }
        if (LineIs(LINK_JITTER_PHRASE, sizeof LINK_JITTER_PHRASE - 1)) {
            SetThroughputTestLinkJitter(TRUE);
            s.wSelectedOption = MENU_CODE_LINK_JITTER;
            return true;
        }
    }
    return false;
}

void ToggleLowNoiseMode() {
    if (fIsFanLowNoiseMode() == TRUE) {
        ConsolePrintf("Set Fan & Alarm to normal mode\n");
        SetFanLowNoiseMode(FALSE);
        SetAlarmLowNoiseMode(FALSE);
        (void)bSetAudibleAlarm(2, 0);
    } else {
        ConsolePrintf("Set Fan & Alarm to low noise mode\n");
        SetFanLowNoiseMode(TRUE);
        SetAlarmLowNoiseMode(TRUE);
        (void)bSetAudibleAlarm(3, 0);
    }
    RequestEnclosureStatusUpdate(TRUE);
}

void ShowSesDebugData() {
    ConsolePrintf("ShowSesDebugData:\n");
    DumpSesState();
    ConsolePrintf("Drive List:\n");
    DumpDriveSesFields();
    ConsolePrintf("Processor List:\n");
    DumpSasEnclosureLists();
    ConsolePrintf("Config Command: %02x \n", bGetConfigPhase());
    ConsolePrintf("Config Command State: %02x \n", bGetConfigPhaseStep());
    ConsolePrintf("SES Level: %02x \n", bGetSesLevel());
    ConsolePrintf("Enclosure List:\n");
    DumpEnclosureTable();
    ConsolePrintf("SES pages in cache.\n");
    ShowSupportedDiagnosticPages();
}

// The diagnostic hot keys; TRUE when the key was one (done with it).  A key
// whose row's condition fails goes on as an ordinary character.
bool RunHotKey(uint8_t c) {
    const uint8_t bHostType = bGetHostInterfaceType();
    const bool fEnclosureLevel = bGetDiagnosticsModeLevel() > ENCLOSURE_SERVICE_LEVEL;
    switch (c) {
    case 'K': case 'k': PrintStatusLine(FALSE); return true;
    case 'T': case 't': DumpTargetKernelQueue(); return true;
    case 'I': case 'i': DumpInitiatorKernelQueue(); return true;
    case 'D': case 'd':
        ShowDualControllerStats();
        ShowDualControllerIncomingQueue();
        ShowDualControllerOutgoingQueue();
        ShowMirrorCacheAllocationQueue();
        return true;
    case 'L': case 'l': ShowLSISystemRegs(PORT_CODE_INITIATOR); return true;
    case 'S': case 's': DumpStripeAccessTables(FALSE); return true;
    case 'P': case 'p': case 'M': case 'm': case 'n': return true;
    case 'V': case 'v': DumpArmRegs(FALSE); return true;
    case 'Q': case 'q':
        if (bHostType != HOST_INTERFACE_FC) return false;
        PrintQlogicPciStatus();
        return true;
    case 'N':
        if (bHostType == HOST_INTERFACE_SAS_TARGET) ShowLSIRingBuffer(PORT_CODE_SAS_HOST_1);
        return true;
    case 'H': case 'h':
        if (bHostType == HOST_INTERFACE_FC) {
            SetHostLinkStatusWork(TRUE);
        } else if (bHostType == HOST_INTERFACE_SAS) {
            ShowLSITargetPostQueues();
        } else if (bHostType == HOST_INTERFACE_SAS_TARGET) {
            ShowSASTargetInterfaceInfo(c == 'H' ? TRUE : FALSE);
        }
        DumpReservationVariables();
        DumpPersistentReservations();
        return true;
    case 'Z': case 'z':
        PrintDriveCommandTimeLog();
        PrintHostCommandTimeLog();
        return true;
    case 'X': case 'x':
        ShowCurrentDataCounters();
        ShowActiveLunsPerRank();
        return true;
    case 'A': case 'a': SetSasDriveWork(TRUE); return true;
    case 'B': case 'b': ShowSASInfoLists(); return true;
    case 'R': case 'r': ShowSASRequestQueue(PORT_CODE_INITIATOR); return true;
    case 'Y': case 'y': ShowTargetCommandPriorityCounters(); return true;
    case 'F': case 'f': ToggleLowNoiseMode(); return true;
    case 'o': ShowSesDebugData(); return true;
    case 'j':
        PrintConfigIndex();
        PrintConfigWriteSemaphore();
        return true;
    case 'O':
        if (!fEnclosureLevel) return false;
        (void)SendSesStatusPage();
        return true;
    case 'u':
        if (!fEnclosureLevel) return false;
        (void)ReadSesStatusPage();
        return true;
    case 'U':
        if (!fEnclosureLevel) return false;
        (void)ReadSesStatusPage();
        (void)SendSesStatusPage();
        return true;
    default: return false;
    }
}

// Ctrl-C at the service levels: a second one within a second resets the
// controller (once the write journal has drained); a later one only disarms.
void HandleControlC() {
    MENU_STATE& s = Menu();
    if (s.fResetArmed != TRUE) {
        s.fResetArmed = TRUE;
        s.lResetArmTick = lGetTickCount();
        return;
    }
    if (lGetTickCount() > s.lResetArmTick + RESET_WINDOW_MS) {
        s.fResetArmed = FALSE;
        return;
    }
    StartControllerReset();
}

// The service rules ahead of ordinary handling; TRUE when they took c.
bool fHandleServiceCharacter(uint8_t c) {
    MENU_STATE& s = Menu();
    if (fIsDebugMonitorActive() == TRUE) {
        DebugMonitorInputCharacter(c);
        return true;
    }
    if (c == CTRL_C) {
        HandleControlC();
        return true;
    }
    s.fResetArmed = FALSE;
    const bool fAwaitsKey =
        s.fOptionEntryMode == TRUE || s.lMenuPath == MENU_PATH_NONE || fIsThroughputTestRunning() == TRUE;
    if (fAwaitsKey && s.bLineLength == 0 && RunHotKey(c)) return true;
    if (c == '!' && s.bLineLength == 0) {
        EnterDebugMonitor();
        return true;
    }
    return false;
}

// The long-running displays and tests own the keyboard; TRUE when one took c.
bool fHandleRunningDisplayKey(uint8_t c) {
    if (fIsThroughputTestRunning() == TRUE) {
        if (c == ESC) StopThroughputTest(TRUE);
        return true;
    }
    if (fIsEthernetLoopbackActive() == TRUE) {
        if (c == ESC) {
            SetEthernetLoopbackMode(TRUE);
        } else if (c == 'k' && bGetDiagnosticsModeLevel() > 1) {
            PrintStatusLine(FALSE);
        }
        return true;
    }
    if (bGetBusMonitorMode() == TRUE) {
        if (c == ESC) SetBusMonitorSingleShot(TRUE);
        return true;
    }
    // A download the console started stops on ESC; the key then goes on.
    if (c == ESC && fIsDriveFirmwareDownloadInProgress() == TRUE && fGetDriveFirmwareDownloadPartnerSync() == FALSE &&
        bGetConfigRequester() == REQUESTER_CONSOLE) {
        AbortDriveFirmwareDownload();
    }
    return false;
}

void CompleteLine() {
    MENU_STATE& s = Menu();
    if (s.fLineOverflow == TRUE) {
        s.bLineLength = 0;
        s.fLineOverflow = FALSE;
        return;
    }
    if (fMatchServiceLine()) {
        CallMenuFromInput();
    } else if (s.fOptionEntryMode == TRUE) {
        TakeOptionEntry();
    } else {
        CallMenuFromInput();
    }
}

}  // namespace

void HandleConsoleCharacter(uint8_t c) {
    MENU_STATE& s = Menu();
    if (s.fRawInputMode == TRUE) {
        const uint8_t bNext = static_cast<uint8_t>((s.bRawIn + 1) % MENU_RAW_RING_SIZE);
        if (bNext != s.bRawOut) {
            s.abRawInputRing[s.bRawIn] = c;
            s.bRawIn = bNext;
        }
        return;
    }
    const bool fAfterCr = s_fAfterCr == TRUE;
    s_fAfterCr = ToFlag(c == CR);
    if (c == LF && fAfterCr) return;
    if (c == CTRL_Q || c == CTRL_S) {
        SetOutputPaused(c == CTRL_S ? TRUE : FALSE);
        return;
    }
    // Held output lets only Ctrl-Q (above) or Ctrl-E go on: a key typed
    // meanwhile would act on menus the operator cannot see yet, so it is
    // discarded, as while output is written polled.
    if (fIsOutputPaused() == TRUE && c != CTRL_E) return;
    if (c == CTRL_E) SetOutputPaused(FALSE);
    if (c == CTRL_D) {
        RequestConsoleLogClear();
        return;
    }
    // The menu, the line and the pause belong to the call waiting to run;
    // the key is for what it leaves.  Ctrl-C and Ctrl-E act at once: a
    // reset and a new session do not wait for a call that may never run.
    if (s.fMenuCallPending == TRUE && c != CTRL_C && c != CTRL_E) {
        KeepTypedAhead(c);
        return;
    }
    if (bGetDiagnosticsModeLevel() > SERVICE_LEVEL && fHandleServiceCharacter(c)) return;
    if (c == BACKSPACE && s.fConsoleInputEnabled == TRUE) {
        if (s.bLineLength > 0) {
            --s.bLineLength;
            UartPutChar(BACKSPACE);
            UartPutChar(' ');
            UartPutChar(BACKSPACE);
        }
        return;
    }
    if (fHandleRunningDisplayKey(c)) return;
    // A page is printing: a key would be echoed into its text and taken by
    // the menu underneath.  Only Ctrl-E (a new session) gets through.
    if (c != CTRL_E && fIsMenuPagePrinting() == TRUE) return;
    if (s.fAnyKeyWait == TRUE) {
        CallMenuFromInput();
        return;
    }
    if (c == CTRL_E) {
        if (fIsInitializationComplete() != TRUE) {
            ConsolePrintf("\n\nInitialization in progress, please wait\n\n");
            return;
        }
        // The Main Menu draws itself from the main loop.
        ResetMenuSession();
        CallMenuFromInput();
        return;
    }
    if (s.fConsoleInputEnabled != TRUE || s.fMenuCallPending == TRUE) return;
    // A change that only reached the live image leaves the operator where
    // they are: the menu call takes a fresh copy (RunPendingMenuCall).
    if (eConsoleEditStanding() == ConsoleEdit::Lost) AbortMenuByRemoteConfiguration();
    ConsolePrintf("%c", c);
    if (c != CR) {
        if (s.bLineLength < MENU_LINE_SIZE) {
            s.abLineBuffer[s.bLineLength++] = c;
        } else {
            s.fLineOverflow = TRUE;
        }
        return;
    }
    CompleteLine();
}

void HandOnTypedAheadKeys() {
    // The receive path must not edit the line between two of these keys.
    const InterruptSourceLock lock(INT_SOURCE_UART);
    TYPE_AHEAD& t = s_sTypeAhead;
    while (t.dCount > 0 && Menu().fMenuCallPending != TRUE) {
        const uint8_t c = t.abKey[(t.dIn + TYPE_AHEAD_SIZE - t.dCount) % TYPE_AHEAD_SIZE];
        --t.dCount;
        // A call that started a file receive gets the keys typed after it.
        if (fIsXmodemReceiveActive() == TRUE) {
            XmodemReceiveCharacter(c);
        } else {
            HandleConsoleCharacter(c);
        }
    }
}

void DropTypedAheadKeys() {
    s_sTypeAhead.dCount = 0;
    s_fAfterCr = FALSE;
}

void OpenMainMenu() {
    SetTextAttributes(0, 7, 0);
    ResetMenuSession();
    if (fIsProductionTestMode() == TRUE) {
        ProductionTestMenu();
    } else {
        MainMenu();
    }
}

}  // namespace fw
