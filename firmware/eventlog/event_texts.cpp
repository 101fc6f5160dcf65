// Event texts: what each code and its argument bytes read like on the
// console.
#include "eventlog/event_texts.h"

#include <cstring>

#include "eventlog/drive_id.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/addresses.h"

namespace fw {

// The program image's bounds from the linker: read-only texts lie between the
// end of the code and the end of the initialised data.
extern const char g_acImageCodeEnd[] __asm__("etext");
extern const char g_acImageDataEnd[] __asm__("edata");

namespace {

using ARGS = const uint8_t*;

constexpr uint8_t HOST_FC = 1;
constexpr uint8_t HOST_SAS = 2;
constexpr uint8_t HOST_SAS_TARGET = 6;
constexpr uint32_t ASSERT_TEXT_MAX = 80;
constexpr uint32_t TEXT_PART_SIZE = 96;

const EVENT_LOG_MIRROR* s_psDecodeImage = nullptr;

uint8_t bHostType() { return bGetHostInterfaceType(); }

// Port and controller bytes: 1 shows as "0", 2 as "1".
const char* pszUnit(uint8_t b) { return b == 1 ? "0" : b == 2 ? "1" : nullptr; }

const char* pszUnitOr(uint8_t b, const char* pszElse) {
    const char* psz = pszUnit(b);
    return psz != nullptr ? psz : pszElse;
}

// Texts chosen at run time: only line ends in the format become CR LF, so
// a text's own line ends are sent as format line ends.
void PrintText(const char* psz) {
    char acPart[TEXT_PART_SIZE];
    while (*psz != '\0') {
        uint32_t dLength = 0;
        while (psz[dLength] != '\0' && psz[dLength] != '\n' && dLength < TEXT_PART_SIZE - 1) {
            acPart[dLength] = psz[dLength];
            ++dLength;
        }
        acPart[dLength] = '\0';
        ConsolePrintText(acPart);
        psz += dLength;
        if (*psz == '\n') {
            ConsolePrintf("\n");
            ++psz;
        }
    }
}

char cShown(uint8_t b) { return b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.'; }

uint32_t dLE(ARGS a, uint32_t dFirst, uint32_t dCount) {
    uint32_t d = 0;
    for (uint32_t i = dCount; i-- > 0;) {
        d = (d << 8) | a[dFirst + i];
    }
    return d;
}

uint32_t dBE(ARGS a, uint32_t dFirst, uint32_t dCount) {
    uint32_t d = 0;
    for (uint32_t i = 0; i < dCount; ++i) {
        d = (d << 8) | a[dFirst + i];
    }
    return d;
}

void PrintHex8(const char* pszLead, ARGS a, const char* pszTail) {
    ConsolePrintf("%s%02x%02x%02x%02x%02x%02x%02x%02x", pszLead, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    PrintText(pszTail);
}

void PrintChars(ARGS a, uint32_t dCount) {
    for (uint32_t i = 0; i < dCount; ++i) {
        ConsolePrintf("%c", cShown(a[i]));
    }
}

void PrintDriveAt(ARGS a, uint8_t p, uint8_t q) { PrintDriveIdAndSlot(a + p, a[q]); }

void PrintRepeatSuffix(ARGS a) {
    const uint32_t dRepeats = dLE(a, 8, 4);
    if (dRepeats != 0) {
        ConsolePrintf(" Repeated %u times\n", static_cast<unsigned>(dRepeats + 1));
    } else {
        ConsolePrintf("\n");
    }
}

// A block count as megabytes ("%d MB" or "<1 MB") followed by a line end.
void PrintMegabytesLine(uint32_t dBlocks) {
    if (dBlocks < 2048) {
        ConsolePrintf("<1 MB\n");
    } else {
        ConsolePrintf("%u MB\n", static_cast<unsigned>(dBlocks / 2048));
    }
}

// A text chosen by one argument byte; pszElse is a format that may show it.
struct TEXT_CHOICE {
    uint8_t bValue;
    const char* pszText;
};

template <size_t N>
void PrintChoice(uint8_t b, const TEXT_CHOICE (&asChoices)[N], const char* pszElse) {
    for (const TEXT_CHOICE& s : asChoices) {
        if (s.bValue == b) {
            PrintText(s.pszText);
            return;
        }
    }
    ConsolePrintf(pszElse, b);
}

void PrintUnknownCode(uint8_t bCode) { ConsolePrintf("Event Code: %02x\n", bCode); }

// ---- drive and loop events ----------------------------------------------

constexpr const char* SAS_DISCOVERY_ERRORS[] = {
    "Loop Detected\n",         "Unaddressable Device Found\n", "Ports With Same Address\n",
    "Expander Error\n",        "SMP Timeout\n",                "Expander Out of Entries\n",
    "Route Table Index Missing\n", "SMP Function Failed\n",    "SMP CRC Error\n",
    "Multiple Subtractive\n",  "Table to Table\n",             "Multiple Paths\n",
    "Max SATA Targets\n"};
constexpr uint32_t SAS_DISCOVERY_KNOWN_BITS = 13;

constexpr TEXT_CHOICE SLOT_ERRORS[] = {{1, "PHY Disabled Due to Excessive Errors\n"},
                                       {2, "SATA Multiplexer Switching Failure\n"}};
constexpr TEXT_CHOICE SLOT_OPERATIONS[] = {{1, "Slot Power-down\n"}, {2, "Slot Power-up\n"}, {3, "Drive Failure\n"}};
constexpr TEXT_CHOICE DRIVE_PATH_EVENTS[] = {
    {0, "Entered proxy mode\n"}, {1, "No longer in proxy mode\n"}, {2, "DrivePath error counter exceeded\n"}};

void PrintSasDiscoveryError(const EVENT_LOG_ENTRY* ps) {
    ARGS a = ps->abArgs;
    const uint32_t dStatus = dBE(a, 1, 4);
    bool fFirst = true;
    auto LineStart = [&]() {
        if (!fFirst) {
            PrintDateTime(&ps->sTimeStamp);
        }
        fFirst = false;
        ConsolePrintf("Port %01x SAS Discovery Error, ", a[0]);
    };
    for (uint32_t dBit = 0; dBit < SAS_DISCOVERY_KNOWN_BITS; ++dBit) {
        if ((dStatus >> dBit) & 1) {
            LineStart();
            PrintText(SAS_DISCOVERY_ERRORS[dBit]);
        }
    }
    if (dStatus >= (1u << SAS_DISCOVERY_KNOWN_BITS)) {
        LineStart();
        ConsolePrintf("%08x\n", static_cast<unsigned>(dStatus));
    }
    // A status with no bit set leaves only the prefix; its line is ended
    // so that the next event starts a line of its own.
    if (fFirst) {
        LineStart();
        ConsolePrintf("\n");
    }
}

void PrintDriveStatus(ARGS a) {
    switch (a[9]) {
        case 2: ConsolePrintf("Drive CC "); break;
        case 8: ConsolePrintf("Drive Busy "); break;
        case 40: ConsolePrintf("Drive Task Full "); break;
        case 34: ConsolePrintf("Command Terminated "); break;
        case 255: ConsolePrintf("IOP Status:%02x ", a[11]); break;
        default: ConsolePrintf("Drive Status:%02x ", a[9]); break;
    }
    PrintDriveAt(a, 0, 8);
    ConsolePrintf("P%s ", (a[8] & 0x80) ? "1" : "0");
    ConsolePrintf("OP:%02x", a[10]);
    if (a[9] == 2) {
        ConsolePrintf(" S:%02x%02x%02x\n", a[11], a[12], a[13]);
    } else {
        ConsolePrintf("\n");
    }
}

void PrintSasCommandError(ARGS a) {
    const bool fAborted = a[0] == 1 || a[0] == 2 || a[0] == 3 || a[0] == 75;
    PrintText(fAborted ? "SAS Cmd Aborted " : "SAS Err ");
    PrintDriveAt(a, 1, 9);
    ConsolePrintf("%02x ", a[10]);
    const char* pszKind = a[0] == 1 ? "0" : a[0] == 2 ? "1" : a[0] == 3 ? "2" : a[0] == 15 ? "?" : nullptr;
    if (pszKind != nullptr) {
        ConsolePrintf("3%s%02x%02x%02x", pszKind, a[11], a[12], a[13]);
    }
    ConsolePrintf("\n");
}

bool fPrintDriveEvent(const EVENT_LOG_ENTRY* ps) {
    ARGS a = ps->abArgs;
    const uint8_t bCode = ps->bCode;
    switch (bCode) {
        case 10: case 11: case 12: case 13: case 14: case 48: case 50: {
            const char* psz = bCode == 10   ? "Drive CC Fail "
                              : bCode == 11 ? "Drive Failed "
                              : bCode == 12 ? "Rebuild Fail "
                              : bCode == 13 ? "New Rebuild Fail "
                              : bCode == 14 ? "Timeout Fail "
                              : bCode == 48 ? "Rebuild Started "
                                            : "Rebuild Restarted ";
            PrintText(psz);
            PrintDriveAt(a, 0, 10);
            ConsolePrintf("A:%02d D:%02d\n", a[8], a[9]);
            return true;
        }
        case 49: case 115:
            ConsolePrintf("%sA:%02d D:%02d\n", bCode == 49 ? "Rebuild Complete " : "Rebuild Aborted ", a[0], a[1]);
            return true;
        case 15: PrintSasDiscoveryError(ps); return true;
        case 16: ConsolePrintf("Loop Error On Drive Loop %s\n", "1"); return true;
        case 17: case 18:
            ConsolePrintf("Some Or All Drives Not Available On Loop %s\n", bCode == 17 ? "0" : "1");
            return true;
        case 19:
            ConsolePrintf("Encl:%02d Slot:%02d ", a[1], a[2]);
            PrintChoice(a[0], SLOT_ERRORS, "Error\n");
            return true;
        case 20: ConsolePrintf("Excessive Errors on Drive Loop %s, Loop Disabled\n", "1"); return true;
        case 29:
            ConsolePrintf("Drive Failed APM Selftest ");
            PrintDriveIdAndSlot(a, static_cast<uint8_t>(((a[8] & 7) << 5) | (a[9] & 31)));
            ConsolePrintf("S:%02x%02x%02x ", a[10], a[11], a[12]);
            ConsolePrintf(" FC:%02x\n", a[13]);
            return true;
        case 33:
            ConsolePrintf("LIP: Drive Loop ");
            if (pszUnit(a[0]) != nullptr) {
                ConsolePrintf("%s ", pszUnit(a[0]));
            }
            ConsolePrintf("Type: %02x,%02x", a[1], a[2]);
            PrintRepeatSuffix(a);
            return true;
        case 34: ConsolePrintf("SAS Discovery Completed\n"); return true;
        case 35: ConsolePrintf("SAS Discovery Started\n"); return true;
        case 39: PrintDriveStatus(a); return true;
        case 180:
            PrintText("Drive Out Of Space, Writes Held ");
            PrintDriveAt(a, 0, 10);
            ConsolePrintf("A:%02d D:%02d\n", a[8], a[9]);
            return true;
        case 40:
            ConsolePrintf("Drive Timeout ");
            PrintDriveAt(a, 0, 10);
            if (a[9] == 255) {
                ConsolePrintf("Reset\n");
            } else {
                ConsolePrintf("OP:%02x (%03d)\n", a[9], a[11]);
            }
            return true;
        case 57: PrintSasCommandError(a); return true;
        case 58:
            ConsolePrintf("Invalid Drive Status %02x Loop %s %02x%02x\n", bCode, pszUnitOr(a[0], "?"), a[1], a[2]);
            return true;
        case 59:
            ConsolePrintf("Data Underrun ");
            PrintDriveAt(a, 0, 10);
            if (a[9] != 255) {
                ConsolePrintf("OP:%02x", a[9]);
            }
            ConsolePrintf("\n");
            return true;
        case 60:
            ConsolePrintf("Internal Drive Reset ");
            PrintDriveAt(a, 2, 10);
            ConsolePrintf(" (%03d)\n", a[11]);
            return true;
        case 62:
            ConsolePrintf("Drive Invalid Block Size (0x%02x%02x) SN:", a[9], a[10]);
            PrintChars(a, 8);
            ConsolePrintf(" ");
            if (a[8] == 1 || a[8] == 2) {
                ConsolePrintf("P%s\n", a[8] == 1 ? "0" : "1");
            } else if (a[8] == 3) {
                ConsolePrintf("P%s&%s\n", "0", "1");
            } else {
                ConsolePrintf("\n");
            }
            return true;
        case 97: case 118: case 119: case 123:
            PrintText(bCode == 97    ? "Drive Inserted "
                                : bCode == 118 ? "Drive Removed "
                                : bCode == 119 ? "Drive ID Invalid "
                                               : "Unsupported Drive ");
            PrintDriveAt(a, 0, 8);
            ConsolePrintf("\n");
            return true;
        case 102:
            PrintDriveAt(a, 0, 8);
            ConsolePrintf("FW Download Start Rev:");
            PrintChars(a + 9, 4);
            ConsolePrintf("\n");
            return true;
        case 103:
            PrintDriveAt(a, 0, 8);
            ConsolePrintf("FW Download Complete\n");
            return true;
        case 113:
            PrintDriveAt(a, 0, 8);
            ConsolePrintf("Reallocate LBA %02x%02x%02x%02x %02x\n", a[9], a[10], a[11], a[12], a[13]);
            return true;
        case 117:
            ConsolePrintf("SATA Slot %02d Error %02x %02x %02x %02x%02x%02x%02x %02x%02x %02x%02x%02x%02x\n", a[0],
                          a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13]);
            return true;
        case 120:
            ConsolePrintf("Rebuild Error A:%02d D:%02d LBA:%02x%02x%02x%02x Blocks:%02x%02x\n", a[0], a[1], a[2],
                          a[3], a[4], a[5], a[6], a[7]);
            return true;
        case 121:
            if (a[10] == 255) {
                ConsolePrintf("Encl.N/A ");
            } else {
                ConsolePrintf("Encl.%02d ", a[10]);
            }
            ConsolePrintf("Timeout ");
            PrintDriveId(a);
            if (a[9] != 255) {
                ConsolePrintf("OP:%02x", a[9]);
            }
            ConsolePrintf("\n");
            return true;
        case 145:
            ConsolePrintf("Drive State Operation S:%01d:%02d - ", a[0], a[1]);
            PrintChoice(a[2], SLOT_OPERATIONS, "Unknown Operation\n");
            return true;
        case 147:
            ConsolePrintf(a[0] == 1 ? "Drive Enc: %02d Slot: %02d spun down.\n" : "Drive Enc: %02d Slot: %02d spun up.\n",
                          a[9], a[10]);
            return true;
        case 173:
            PrintDriveAt(a, 0, 10);
            PrintChoice(a[11], DRIVE_PATH_EVENTS, "Unknown drive error event type\n");
            return true;
        case 178:
            ConsolePrintf("Medium Error: ");
            if (a[0] == 1) {
                ConsolePrintf("Bad Block Array:%02d LBA:%02x%02x%02x%02x%02x%02x%02x%02x BC:%04x\n", a[1], a[2], a[3],
                              a[4], a[5], a[6], a[7], a[8], a[9], static_cast<unsigned>(dLE(a, 10, 2)));
            } else {
                ConsolePrintf("Unknown %02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n", a[0], a[1], a[2],
                              a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13]);
            }
            return true;
        case 170:
            ConsolePrintf("Info:%02x%02x%02x%02x CSI:%02x%02x%02x%02x FRU:%02x SKS:%02x%02x%02x\n", a[0], a[1], a[2],
                          a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]);
            return true;
        default: return false;
    }
}

// ---- host port events ------------------------------------------------------

void PrintHostReset(ARGS a) {
    const uint8_t bType = bHostType();
    if (bType == HOST_FC) {
        ConsolePrintf("LIP: Host Loop ");
        if (pszUnit(a[0]) != nullptr) {
            ConsolePrintf("%s ", pszUnit(a[0]));
        }
        ConsolePrintf("Type: %02x,%02x", a[1], a[2]);
    } else if (bType == HOST_SAS_TARGET) {
        const char* pszKind = a[1] == 254   ? "SAS Tgt: BUS Reset-P"
                              : a[1] == 246 ? "SAS Tgt: CMD TMO-P"
                              : a[1] == 247 ? "SAS Tgt: CMD RST-P"
                              : a[1] == 248 ? "SAS Tgt: CMD ABT-P"
                              : a[1] == 245 ? "SAS Tgt: CMD PDn-P"
                                            : nullptr;
        if (pszKind != nullptr) {
            ConsolePrintf("%s%s ", pszKind, pszUnitOr(a[0], "?"));
            ConsolePrintf(" LUN %02x%02x Tag %02x%02x PS %02x Op %02x TS %02x%02x", a[2], a[3], a[4], a[5], a[6],
                          a[7], a[12], a[13]);
        } else {
            ConsolePrintf("%s%s ", a[1] == 255 ? "SAS Tgt: Unknown TMR-P" : "SAS Tgt: TMR-P", pszUnitOr(a[0], "?"));
            ConsolePrintf("Type %02x, LUN %02x%02x, Tag %02x%02x", a[1], a[2], a[3], a[4], a[5]);
        }
    } else if (bType == HOST_SAS) {
        ConsolePrintf("SCSI Bus Reset: Host Port %s", pszUnitOr(a[0], ""));
        if (a[1] == 2) {
            ConsolePrintf("(Int) ");
        } else if (a[1] == 3) {
            ConsolePrintf("(Cont) ");
        }
    } else {
        ConsolePrintf("Reset %02x %02x ", a[0], a[1]);
    }
    PrintRepeatSuffix(a);
}

void PrintSasTargetPorts(uint8_t bPorts, const char* pszBoth) {
    if (bPorts == 1 || bPorts == 2) {
        ConsolePrintf("Port %s\n", bPorts == 1 ? "0" : "1");
    } else if (bPorts == 3) {
        ConsolePrintf(pszBoth, "0", "1");
    } else {
        ConsolePrintf("\n");
    }
}

void PrintHostCommandError(ARGS a) {
    if (bHostType() == HOST_SAS_TARGET) {
        ConsolePrintf("SAS Tgt: CMD ERR-P");
        if (pszUnit(a[0]) != nullptr) {
            PrintText(pszUnit(a[0]));
        } else {
            ConsolePrintf("%0x", a[0]);
        }
        ConsolePrintf("-%02x%02x PR:%02x LI:%02x%02x%02x%02x Tag:%02x%02x", a[1], a[2], a[3], a[4], a[5], a[6], a[7],
                      a[12], a[13]);
    } else {
        ConsolePrintf("Host Loop %s", pszUnitOr(a[0], "?"));
        if (a[1] == 11) {
            ConsolePrintf(" Timeout");
        } else {
            ConsolePrintf(" Error %02x", a[1]);
        }
    }
    PrintRepeatSuffix(a);
}

const char* pszHostAddressLabel(const char* pszOther) {
    return bHostType() == HOST_SAS_TARGET ? " SAS Addr: " : pszOther;
}

void PrintPersistentReservationError(ARGS a) {
    PrintCurrentDateTime();
    ConsolePrintf("PR: C%dP%d L%03x", a[1], a[2], 256 * a[3] + a[4]);
    switch (a[0]) {
        case 1: ConsolePrintf(" reservation key does not match\n"); break;
        case 2: ConsolePrintf(" reservation type does not match\n"); break;
        case 3: ConsolePrintf(" release of an unreserved I_T nexus\n"); break;
        case 4: ConsolePrintf(" I_T nexus is not registered\n"); break;
        case 5: ConsolePrintf(" reservation conflict detected\n"); break;
        case 6: ConsolePrintf(" general error detected\n"); break;
        default: ConsolePrintf(" unknown error code 0x%0X\n", a[0]); break;
    }
}

bool fPrintHostEvent(const EVENT_LOG_ENTRY* ps) {
    ARGS a = ps->abArgs;
    const uint8_t bCode = ps->bCode;
    const bool fSasTarget = bHostType() == HOST_SAS_TARGET;
    switch (bCode) {
        case 36: PrintHostReset(a); return true;
        case 37:
            if (fSasTarget) {
                ConsolePrintf("SAS Tgt: Discovery Complete: ");
                PrintSasTargetPorts(a[0], "Ports %s, %s\n");
            } else {
                ConsolePrintf("Loop Up: Host Loop %s", pszUnitOr(a[0], ""));
                ConsolePrintf("%s\n", a[1] == 1 ? ", 1Gb/s" : a[1] == 2 ? ", 2Gb/s" : a[1] == 3 ? ", 4Gb/s" : "");
            }
            return true;
        case 38:
            if (fSasTarget) {
                ConsolePrintf("SAS Tgt: Discovery Started");
                PrintSasTargetPorts(a[0], "Ports %s & %s\n");
            } else {
                ConsolePrintf("Loop Down: Host Loop %s\n", pszUnitOr(a[0], ""));
            }
            return true;
        case 23: case 24:
            ConsolePrintf("Controller Port %s Incorrect Address, Should Be:%03d Is:%03d\n", bCode == 23 ? "0" : "1",
                          a[0], a[1]);
            return true;
        case 46:
            ConsolePrintf("C%sP%s Detected Power-on/Reset at ID:%03d LD:%03d Op:%02x\n", pszUnitOr(a[5], "?"),
                          pszUnitOr(a[0], "?"), a[1], a[2] + 256 * a[3], a[4]);
            return true;
        case 55: PrintHostCommandError(a); return true;
        case 56:
            ConsolePrintf("Invalid Host Status %02x Loop %s %02x%02x\n", bCode, pszUnitOr(a[0], "?"), a[1], a[2]);
            return true;
        case 61:
            ConsolePrintf("%s%s\n", fSasTarget ? "Controller SAS Reset: Host Port " : "Controller LIP: Host Loop ",
                          pszUnitOr(a[0], ""));
            return true;
        case 63: case 124:
            ConsolePrintf("Host P%s%s", pszUnitOr(a[8], "?"), pszHostAddressLabel("WWN: "));
            PrintHex8("", a, bCode == 63 ? " Logged in at ID: " : ", ID: ");
            ConsolePrintf(bCode == 63 ? "%03d\n" : "%03d Logged in\n", a[9]);
            return true;
        case 125:
            ConsolePrintf("Host P%s%s", pszUnitOr(a[8], ""), pszHostAddressLabel(" WWN: "));
            PrintHex8("", a, ", ID:");
            ConsolePrintf("%03d - Logged out", a[9]);
            PrintText(a[10] == 254 ? ", INACTIVE\n" : "\n");
            return true;
        case 64:
            ConsolePrintf("CC to Host ID:%03d LD:%03d P%s OP:%02x SN:%02x EXT:%02x QL:%02x\n", a[1], a[2] + 256 * a[3],
                          pszUnitOr(a[0], ""), a[4], a[5], a[6], a[7]);
            return true;
        case 135: PrintPersistentReservationError(a); return true;
        default: return false;
    }
}

// ---- controller, partner and power events ------------------------------------

void PrintSdramBit(const char* pszS, const char* pszD, uint8_t b) {
    if (b & 0x80) {
        ConsolePrintf(pszS, b - 128);
    } else {
        ConsolePrintf(pszD, b);
    }
}

void PrintPcieLinkError(ARGS a) {
    ConsolePrintf("LSTS: %02x%02x BUS: %02x DEV: %02x\n", a[2], a[3], a[4], a[5]);
}

void PrintErrcor(ARGS a) {
    ConsolePrintf("ERRCOR_STS: %02x%02x%02x%02x, BUS: %02x DEV: %02x", a[2], a[3], a[4], a[5], a[6], a[7]);
}

bool fPrintFatalError(ARGS a) {
    switch (a[0]) {
        case 1: ConsolePrintf("Fatal Watchdog Error (%02x %02x %02x %02x)\n", a[1], a[2], a[3], a[4]); return true;
        case 2:
            ConsolePrintf("Fatal SDRAM ECC Error");
            for (uint32_t i = 1; i <= 2; ++i) {
                if (a[i] < 255) {
                    PrintSdramBit(" S:%01d", " D:%02d", a[i]);
                }
            }
            ConsolePrintf("\n");
            return true;
        case 3: ConsolePrintf("Fatal Coprocessor Error\n"); return true;
        case 4:
            if (bHostType() == HOST_SAS_TARGET) {
                ConsolePrintf("SAS Tgt: Fatal Interface Error 0x%02x%02x%02x%02x\n", a[1], a[2], a[3], a[4]);
            } else if (pszUnit(a[1]) != nullptr) {
                ConsolePrintf("Fatal Host FC Channel %s Error (%02x)\n", pszUnit(a[1]), a[2]);
            } else {
                ConsolePrintf("Fatal Host FC Channel ? Error\n");
            }
            return true;
        case 5:
            switch (dBE(a, 1, 4)) {
                case 0x10000000: ConsolePrintf("Inter-Controller Link Error\n"); break;
                case 0x10000001: ConsolePrintf("Inter-Controller Link Initialization Error\n"); break;
                case 0x10000002: ConsolePrintf("SAS Discovery Timeout\n"); break;
                case 0x10000003: ConsolePrintf("SAS Discovery Error\n"); break;
                case 0x10000004: ConsolePrintf("SAS Controller Reinitialization Error\n"); break;
                default: ConsolePrintf("SAS Interface Error (%02x%02x%02x%02x)\n", a[1], a[2], a[3], a[4]); break;
            }
            return true;
        case 6: {
            static constexpr const char* FAULTS[] = {"Data Abort: ",         "Prefetch Abort: ", "Software Interrupt: ",
                                                     "Bad Instruction: ",    "IRQ Interrupt: ",  "ATU Error: ",
                                                     "PBI Error: ",          "AAU Error: "};
            if (a[1] >= 1 && a[1] <= 8) {
                PrintText(FAULTS[a[1] - 1]);
            } else if (a[1] == 255) {
                ConsolePrintf("Internal Error Log Continuation: ");
            } else {
                ConsolePrintf("F/W Error: %02x ", a[1]);
            }
            ConsolePrintf("%02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x\n", a[2], a[3], a[4], a[5],
                          a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13]);
            return true;
        }
        case 7:
            switch (a[1]) {
                case 1: ConsolePrintf("PCIe training failure. "); PrintPcieLinkError(a); break;
                case 2: ConsolePrintf("PCIe width error. "); PrintPcieLinkError(a); break;
                case 3: ConsolePrintf("PCIe link training error. "); PrintPcieLinkError(a); break;
                case 4:
                    ConsolePrintf("Can't clear PCIe correctable errors. ");
                    PrintErrcor(a);
                    ConsolePrintf("\n");
                    break;
                default:
                    ConsolePrintf("%02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x\n", a[1], a[2],
                                  a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13]);
                    break;
            }
            return true;
        default: return false;
    }
}

void PrintTemperature(ARGS a, bool fWarning) {
    if (pszUnit(a[1]) != nullptr) {
        ConsolePrintf("Cntrl %s", pszUnit(a[1]));
    } else {
        ConsolePrintf("Cntrl ?");
    }
    if (a[2] != 0) {
        ConsolePrintf(" Probe %d", a[3]);
    }
    if (fWarning) {
        ConsolePrintf(" Temp Warning: %02dC Shutdown at %02dC\n", a[0], a[2] != 0 ? a[2] : 72);
    } else {
        ConsolePrintf(" Temp Exceeded: %02dC", a[0]);
        if (a[2] != 0) {
            ConsolePrintf(" (Max: %02dC)", a[2]);
        }
        ConsolePrintf("\n");
    }
}

void PrintBatteryFault(ARGS a) {
    switch (a[1]) {
        case 98: ConsolePrintf("Battery Fault - Charging Unexpected"); break;
        case 145: ConsolePrintf("Battery Inserted"); break;
        case 144: ConsolePrintf("Battery Removed"); break;
        case 3: ConsolePrintf("Battery Fault - Disabled"); break;
        case 0: ConsolePrintf("Battery Fault, Status: 0x%02x%02x", a[2], a[3]); break;
        default: ConsolePrintf("Battery Fault, Unknown: 0x%02x", a[1]); break;
    }
    ConsolePrintf("\n");
}

void PrintControllerState(uint8_t b, const char* pszKnown, const char* pszOther) {
    if (pszUnit(b) != nullptr) {
        ConsolePrintf(pszKnown, pszUnit(b));
    } else {
        PrintText(pszOther);
    }
}

void PrintVoltageError(ARGS a) {
    ConsolePrintf("Voltage Error: ");
    const uint32_t dMillivolts = a[1] + 256u * a[2];
    const char* psz = a[0] == 1   ? "12V In Value: %d.%02dV\n"
                      : a[0] == 2 ? "5V In Value: %d.%02dV\n"
                      : a[0] == 3 ? "5V Fused Value: %d.%02dV\n"
                                  : nullptr;
    if (psz == nullptr) {
        ConsolePrintf("\n");
    } else {
        ConsolePrintf(psz, static_cast<int>(dMillivolts / 1000), static_cast<int>((dMillivolts % 1000) / 10));
    }
}

void PrintControllerWarning(ARGS a) {
    switch (a[0]) {
        case 1: ConsolePrintf("Watchdog Interrupt Warning"); break;
        case 2: ConsolePrintf("PCIe init deadlock, re-enable the bus."); PrintErrcor(a); break;
        case 3: ConsolePrintf("PCIe init deadlock, reset controller. "); PrintErrcor(a); break;
        case 4:
            ConsolePrintf("PCIe init abort detected, reset controller. IP:0x%02x%02x%02x%02x", a[2], a[3], a[4], a[5]);
            break;
        case 5:
            ConsolePrintf("PCIe Info: errors cleared on init. ERRCOR_STS: %02x%02x%02x%02x, DSTS: %02x%02x", a[2], a[3],
                          a[4], a[5], a[6], a[7]);
            break;
        case 7:
            ConsolePrintf("Recoverable Icache parity error detected, Address: 0x%02x%02x%02x%02x", a[2], a[3], a[4],
                          a[5]);
            break;
        default: ConsolePrintf("Unknown Controller Warning: %02d", a[0]); break;
    }
    PrintRepeatSuffix(a);
}

// The address of an assertion text, trusted only when it lies inside this
// program's own constant data and ends there: after a restart, a firmware
// change or in the partner's log it may point anywhere.
const char* pszAssertionText(uint32_t dAddress) {
    const uintptr_t dStart = reinterpret_cast<uintptr_t>(g_acImageCodeEnd);
    const uintptr_t dEnd = reinterpret_cast<uintptr_t>(g_acImageDataEnd);
    if (dAddress < dStart || dAddress >= dEnd) {
        return nullptr;
    }
    const char* psz = pAddressWordToPointer<const char>(dAddress);
    const uint32_t dLimit = static_cast<uint32_t>(dEnd - dAddress) < ASSERT_TEXT_MAX
                                ? static_cast<uint32_t>(dEnd - dAddress)
                                : ASSERT_TEXT_MAX;
    for (uint32_t i = 0; i < dLimit; ++i) {
        if (psz[i] == '\0') {
            return psz;
        }
        if (static_cast<uint8_t>(psz[i]) < 0x20 || static_cast<uint8_t>(psz[i]) > 0x7E) {
            return nullptr;
        }
    }
    return nullptr;
}

void PrintAssertionFailure(ARGS a) {
    const uint32_t dText = dLE(a, 0, 4);
    const uint32_t dFile = dLE(a, 4, 4);
    const char* pszText = pszAssertionText(dText);
    const char* pszFile = pszAssertionText(dFile);
    if (a[11] == 0 && a[12] == 0 && a[13] == 0 && pszText != nullptr && pszFile != nullptr) {
        ConsolePrintf("AF(%s), %s: ", pszText, pszFile);
    } else {
        ConsolePrintf("ASSERT FAILURE: %08X %08X ", static_cast<unsigned>(dText), static_cast<unsigned>(dFile));
    }
    ConsolePrintf("%d\n", static_cast<int>(dLE(a, 8, 3)));
}

bool fPrintControllerEvent(const EVENT_LOG_ENTRY* ps) {
    ARGS a = ps->abArgs;
    switch (ps->bCode) {
        case 1: return fPrintFatalError(a);
        case 2: ConsolePrintf("Other Controller Firmware Incompatible, Please Upgrade\n"); return true;
        case 3: PrintTemperature(a, false); return true;
        case 4: PrintTemperature(a, true); return true;
        case 6: ConsolePrintf("UPS Failure\n"); return true;
        case 7: PrintBatteryFault(a); return true;
        case 8: PrintControllerState(a[0], "Controller %s Failed/Removed\n", "Controller ? Failed/Removed\n"); return true;
        case 9: PrintControllerState(a[0], "Controller %s Timeout\n", "Other Controller Timeout\n"); return true;
        case 41: PrintControllerState(a[0], "Controller %s Present\n", "Other Controller Present\n"); return true;
        case 42: PrintControllerState(a[0], "Controller %s Valid\n", "Other Controller Valid\n"); return true;
        case 43: ConsolePrintf("Other Controller Shutdown\n"); return true;
        case 92: ConsolePrintf("Controller Failover Started\n"); return true;
        case 93: ConsolePrintf("Controller Failover Completed\n"); return true;
        case 94: ConsolePrintf("Controller Failback Started\n"); return true;
        case 95: ConsolePrintf("Controller Failback Completed\n"); return true;
        case 44: ConsolePrintf("Resync Started\n"); return true;
        case 45: ConsolePrintf("Resync Completed\n"); return true;
        case 25: PrintVoltageError(a); return true;
        case 26: ConsolePrintf("DMA Error\n"); return true;
        case 28:
            ConsolePrintf("Controller Version Mismatch");
            if (a[2] != 0) {
                ConsolePrintf(" %02x %02x %02x", a[2], a[3], a[4]);
            }
            ConsolePrintf("\n");
            return true;
        case 65: ConsolePrintf("UPS OK\n"); return true;
        case 66: {
            const int iSeconds = 256 * a[1] + a[2];
            if (a[0] == 1) {
                ConsolePrintf("\"Line Power Mode\" ENABLED (Battery not required)\n");
            } else if (a[0] == 2) {
                ConsolePrintf("\"Line Power Mode\" ENABLED (WARNING: Battery is Installed!)\n");
            } else if (iSeconds == 0) {
                ConsolePrintf("Battery OK\n");
            } else if (a[0] == 3) {
                ConsolePrintf("Battery Topoff end - topoff for %02d Seconds\n", iSeconds);
            } else {
                ConsolePrintf("Battery OK - Charged for %02d Seconds\n", iSeconds);
            }
            return true;
        }
        case 98: {
            const int iMinutes = 256 * a[1] + a[2];
            if (iMinutes == 0) {
                ConsolePrintf("Battery Charging\n");
            } else if (a[0] == 3) {
                ConsolePrintf("Battery Topoff Start after %02d Minutes\n", iMinutes);
            } else {
                ConsolePrintf("Battery Charging after %02d Minutes\n", iMinutes);
            }
            return true;
        }
        case 80: ConsolePrintf("Controller Powered Off\n\n"); return true;
        case 81: ConsolePrintf("Controller Powered On\n"); return true;
        case 82: ConsolePrintf("Controller Selftest Passed\n"); return true;
        case 83: ConsolePrintf("Controller Selftest Failed\n"); return true;
        case 84: ConsolePrintf("NVRAM Reset\n"); return true;
        case 85: ConsolePrintf("Invalid World Wide Name, Using Default\n"); return true;
        case 86: ConsolePrintf("Event Log Cleared\n"); return true;
        case 87: ConsolePrintf("Controller Reset\n\n"); return true;
        case 88: ConsolePrintf("Controller Shutdown: Flags: %02x\n\n", a[1]); return true;
        case 96:
            ConsolePrintf("Controller Firmware Upgraded to Rev. %d.%d Build ", a[8] & 15, a[7] & 15);
            PrintChars(a, 4);
            ConsolePrintf("\n");
            return true;
        case 114:
            ConsolePrintf("Recovered SDRAM ECC Error, Address: %02x%02x%02x%02x Bit:", a[1], a[2], a[3], a[4]);
            PrintSdramBit("S:%01d\n", "D:%02d\n", a[0]);
            return true;
        case 141: ConsolePrintf("Audible alarm muted\n"); return true;
        case 142: ConsolePrintf("Audible alarm disabled\n"); return true;
        case 143: ConsolePrintf("Audible alarm enabled\n"); return true;
        case 146: ConsolePrintf("Controller Cache Mismatch %02x %02x %02x\n", a[2], a[3], a[4]); return true;
        case 200: ConsolePrintf("Controller Clock %u Seconds Behind Real Time Clock\n", dBE(a, 0, 4)); return true;
        case 156: PrintControllerWarning(a); return true;
        case 157: ConsolePrintf("SAS Controller Reset event code: %02x\n", a[0]); return true;
        case 171: PrintAssertionFailure(a); return true;
        default: return false;
    }
}

// ---- array, cache and configuration events ---------------------------------------

void PrintCacheFlush(ARGS a, const char* pszPrefix) {
    ConsolePrintf("%s, %02d Entries, ", pszPrefix, a[0] + 256 * a[1]);
    PrintMegabytesLine(dLE(a, 2, 4));
}

void PrintParityPrefix(ARGS a) {
    ConsolePrintf("Array %02d Parity ", a[0]);
    PrintText(a[1] == 1 ? "Check" : a[1] == 2 ? "Rewrite" : a[1] == 3 ? "Check and Rewrite" : "");
}

void PrintParityEnd(ARGS a, const char* pszHow) {
    PrintParityPrefix(a);
    const uint32_t dErrors = dLE(a, 2, 4);
    if (dErrors == 0) {
        ConsolePrintf(" %s, No Errors\n", pszHow);
    } else if (dErrors == 1) {
        ConsolePrintf(" %s, 1 Error\n", pszHow);
    } else {
        ConsolePrintf(" %s, %u Errors\n", pszHow, static_cast<unsigned>(dErrors));
    }
}

void PrintCacheDisabled(ARGS a) {
    if (a[1] & 0x10) {
        ConsolePrintf("Array %02d Cache Disabled In Preparation For Shutdown\n", a[0]);
        return;
    }
    ConsolePrintf("Array %02d Cache Disabled: ", a[0]);
    static constexpr const char* REASONS[] = {"Partner", "Battery", "Critical", "UPS"};
    bool fFirst = true;
    for (uint32_t i = 0; i < 4; ++i) {
        if (a[1] & (1u << i)) {
            ConsolePrintf("%s%s", fFirst ? "" : ",", REASONS[i]);
            fFirst = false;
        }
    }
    ConsolePrintf("\n");
}

constexpr TEXT_CHOICE REJECTED_OPERATIONS[] = {
    {144, "Add array"},        {176, "Delete array"},    {171, "Expand array"},   {172, "Trust array"},
    {166, "Initialize array"}, {145, "Add host LUN"},    {177, "Delete host LUN"}, {165, "Expand host LUN"}};
constexpr TEXT_CHOICE REJECTION_CAUSES[] = {
    {1, "array expansion\n"}, {2, "array rebuild\n"}, {3, "array initialization\n"}, {4, "array parity check\n"}};
constexpr TEXT_CHOICE SNAPSHOT_ACTIONS[] = {
    {0, "Created\n"}, {1, "Delete Completed\n"}, {2, "Restore Started\n"}, {3, "Restore Completed\n"}, {9, "Delete Started\n"}};

void PrintRejectedOperation(ARGS a) {
    PrintChoice(a[0], REJECTED_OPERATIONS, "Unknown command");
    ConsolePrintf(" rejected due to ");
    PrintChoice(a[1], REJECTION_CAUSES, "default\n");
}

void PrintDuplication(ARGS a) {
    static constexpr const char* STATES[] = {"%d is ready to start\n", "%d has started copy process\n",
                                             "%d has started snapback process\n", "%d has failed\n",
                                             "%d has completed\n", "%d is paused\n", "%d was restarted\n",
                                             "%d has been aborted\n"};
    PrintText(a[2] == 2 ? "Copyback " : "LD Copy ");
    if (a[0] >= 1 && a[0] <= 8) {
        ConsolePrintf(STATES[a[0] - 1], a[1]);
    } else {
        ConsolePrintf("event code: %02x\n", a[0]);
    }
}

void PrintOdaPrefix(ARGS a) {
    ConsolePrintf("ODA:%03d ODALUN:%03d LD:%03d ", a[0] + 256 * a[1], a[2] + 256 * a[3], a[4] + 256 * a[5]);
}

bool fPrintSnapshotEvent(const EVENT_LOG_ENTRY* ps) {
    ARGS a = ps->abArgs;
    switch (ps->bCode) {
        case 129:
            PrintOdaPrefix(a);
            if (a[6] < 254) {
                ConsolePrintf("ODA Capacity %02d\n", a[6]);
            } else {
                PrintText(a[6] == 254 ? "ODA Invalidated\n" : "ODA Invalidated - Full\n");
            }
            return true;
        case 130: {
            static constexpr const char* STATES[] = {"ODA Deleted\n", "ODA Created\n", "ODA Unassigned\n",
                                                     "ODA Assigned\n"};
            PrintOdaPrefix(a);
            if (a[6] < 4) {
                PrintText(STATES[a[6]]);
            } else {
                ConsolePrintf("%02x\n", a[6]);
            }
            return true;
        }
        case 131:
            PrintOdaPrefix(a);
            ConsolePrintf("VLUN:%3d ", a[6] + 256 * a[7]);
            PrintText(a[8] != 0 ? "Enabled\n" : "Disabled\n");
            return true;
        case 132:
            PrintOdaPrefix(a);
            if (a[6] == 254) {
                ConsolePrintf("All Snapshot ");
            } else {
                ConsolePrintf("Snapshot %02d ", a[6]);
            }
            PrintChoice(a[7], SNAPSHOT_ACTIONS, "\n");
            return true;
        case 133:
            PrintOdaPrefix(a);
            ConsolePrintf("Snapshot %02d Error:%02x\n", a[6], a[7]);
            return true;
        case 136:
            switch (a[0]) {
                case 4: ConsolePrintf("Snapshot Metadata Resync Started\n"); return true;
                case 5: ConsolePrintf("Snapshot Metadata Resync Completed\n"); return true;
                case 6: ConsolePrintf("Snapshot Metadata Invalid, Cache Backup Failure\n"); return true;
                case 7: ConsolePrintf("Snapshot Metadata Invalid, Out Of Sync\n"); return true;
                case 8: ConsolePrintf("Snapshot Metadata Invalid, Corrupted\n"); return true;
                case 10: ConsolePrintf("Snapshot Metadata Version Unsupported\n"); return true;
                default: return false;
            }
        default: return false;
    }
}

bool fPrintArrayEvent(const EVENT_LOG_ENTRY* ps) {
    ARGS a = ps->abArgs;
    switch (ps->bCode) {
        case 27: ConsolePrintf("Array %02d Critical\n", a[0]); return true;
        case 47: ConsolePrintf("Configuration Changed\n"); return true;
        case 51: ConsolePrintf("Array %02d Initialization Started\n", a[0]); return true;
        case 52: ConsolePrintf("Array %02d Initialization Complete\n", a[0]); return true;
        case 116:
            if (a[0] == 3) {
                ConsolePrintf("Array %02d ", a[2]);
                if (a[1] == 5) {
                    ConsolePrintf("Initialization Aborted");
                }
            }
            ConsolePrintf("\n");
            return true;
        case 53: PrintCacheFlush(a, "Flush Mirrored Cache Started"); return true;
        case 54: ConsolePrintf("Flush Mirrored Cache Completed\n"); return true;
        case 99: PrintCacheFlush(a, "Flush Cache Started"); return true;
        case 100: ConsolePrintf("Flush Cache Completed\n"); return true;
        case 101: {
            const int iEntries = a[0] + 256 * a[1];
            if (iEntries == 0 && dLE(a, 2, 4) == LOST_BLOCKS_UNKNOWN) {
                ConsolePrintf("Cached Data Lost, Array %02d, Amount Unknown\n", a[6]);
                return true;
            }
            if (iEntries == 0) {
                ConsolePrintf("Cached Data Lost, Array %02d, ", a[6]);
            } else {
                ConsolePrintf("Cached Data Lost, %02d Entries, ", iEntries);
            }
            PrintMegabytesLine(dLE(a, 2, 4));
            return true;
        }
        case 67: PrintParityPrefix(a); ConsolePrintf(" Started\n"); return true;
        case 68: PrintParityEnd(a, "Completed"); return true;
        case 69: PrintParityEnd(a, "Aborted"); return true;
        case 70:
            ConsolePrintf("Array %02d Parity Retry ", a[0]);
            if (a[1] == 1) {
                ConsolePrintf("Passed\n");
            } else if (a[1] == 2) {
                ConsolePrintf(" Failed %u Errors Drive = %d Chunk address = %x\n", static_cast<unsigned>(dLE(a, 2, 4)),
                              a[6], static_cast<unsigned>(dLE(a, 7, 4)));
            } else {
                ConsolePrintf("\n");
            }
            return true;
        case 104: ConsolePrintf("Array %02d Expansion Started\n", a[0]); return true;
        case 105: ConsolePrintf("Array %02d Expansion Complete\n", a[0]); return true;
        case 106: ConsolePrintf("Array %02d Expansion Restarted\n", a[0]); return true;
        case 174: ConsolePrintf("Array %02d Expansion Suspended: Write Failed\n", a[0]); return true;
        case 175:
            ConsolePrintf("Array %02d Expansion: Unreadable Blocks Zeroed LBA:%02x%02x%02x%02x Count:%02x\n", a[0], a[1],
                          a[2], a[3], a[4], a[5]);
            return true;
        case 176: ConsolePrintf("Array %02d Expansion Record Invalid: Rank %02x\n", a[0], a[1]); return true;
        case 177:
            ConsolePrintf("Start Stopped: No Run Of %u Free Buffer Pages, Cache Holds %02d Entries, ",
                          static_cast<unsigned>(dLE(a, 6, 4)), a[0] + 256 * a[1]);
            PrintMegabytesLine(dLE(a, 2, 4));
            return true;
        case 179: PrintText("Controller Firmware Update Lost, Older Image Started\n"); return true;
        case 111: PrintCacheDisabled(a); return true;
        case 112: ConsolePrintf("Array %02d Cache Re-Enabled\n", a[0]); return true;
        case 140:
            switch (a[1]) {
                case 1: ConsolePrintf("Mixed AA/AP MUX, Array %02x\n", a[0]); break;
                case 2: ConsolePrintf("AA MUX in Z7Q2, Array %02x\n", a[0]); break;
                case 3: ConsolePrintf("AP MUX not supported in this product, Array %02x\n", a[0]); break;
                case 4: ConsolePrintf("Direct docked SATA drives not supported, Array %02x\n", a[0]); break;
                default: ConsolePrintf("Unknown error code 0x%0x\n", a[1]); break;
            }
            return true;
        case 149:
            ConsolePrintf(a[0] == 1 ? "Array %02d was spun down.\n" : "Array %02d was spun up.\n", a[2]);
            return true;
        case 148:
            PrintText(a[0] == 1 ? "Group of APM L1 drives was spun down.\n"
                                          : "Group of APM L1 drives was spun up.\n");
            return true;
        case 150:
            ConsolePrintf(a[0] == 1 ? "APM L1 test started.\n" : "APM test started on array %02d.\n", a[2]);
            return true;
        case 151:
            ConsolePrintf(a[0] == 1 ? "APM L1 test finished.\n" : "APM test on array %02d finished.\n", a[2]);
            return true;
        case 158: PrintRejectedOperation(a); return true;
        case 164: PrintDuplication(a); return true;
        default: return fPrintSnapshotEvent(ps);
    }
}

// ---- enclosure and board events ----------------------------------------------

// The enclosure identity in A6..A13, in the form the host interface uses.
void PrintEnclosureIdentity(ARGS a, const char* pszSasLabel, bool fSerialOnSas) {
    const uint8_t bType = bHostType();
    const char* pszLabel = bType == HOST_SAS_TARGET             ? pszSasLabel
                           : (bType == HOST_SAS && fSerialOnSas) ? "SN:"
                                                                 : "WWN:";
    PrintHex8(pszLabel, a + 6, "\n");
}

void PrintEnclosureTemperature(ARGS a) {
    const int iEnclosure = a[5] + 1;
    const int iSensor = a[0] + 1;
    if ((a[1] & 0x05) == 0x05) {
        ConsolePrintf("Encl.%02d Temp. %01d Not Found   ", iEnclosure, iSensor);
    } else if ((a[1] & 0x06) == 0x06) {
        ConsolePrintf("Encl.%02d Temp. %01d Unknown     ", iEnclosure, iSensor);
    } else {
        ConsolePrintf("Encl.%02d Temp. %01d %02dC", iEnclosure, iSensor, a[3] - 20);
        PrintText((a[4] & 0x08) ? " Critical " : (a[4] & 0x04) ? " Warning  " : " OK       ");
    }
    PrintEnclosureIdentity(a, "SAS Addr:", true);
}

void PrintEnclosureAlarm(ARGS a) {
    ConsolePrintf("Encl.%02d Alarm %01d ", a[5] + 1, a[0] + 1);
    const uint8_t b = a[4];
    const char* psz = (b & 0x0E) == 0x0E ? "Intermittent-ON. "
                      : (b & 0x10)       ? "Remind-ON. "
                      : (b & 0x40)       ? "Muted-OFF. "
                      : (b & 0x01)       ? "Continuous-ON. "
                      : (b & 0x04)       ? "The alarm is ON. "
                                         : "The alarm is OFF.";
    PrintText(psz);
    PrintEnclosureIdentity(a, "SAS Adr:", true);
}

void PrintHardwareError(ARGS a) {
    ConsolePrintf("Hardware Error ");
    if (a[0] == 0) {
        ConsolePrintf("I2C:00 Address:%02x Mux:%02x Oper:%02x \n", a[1], a[2], a[3]);
    } else if (a[0] == 1) {
        ConsolePrintf("I2C:01 ");
        if (a[6] == 1 || a[6] == 2) {
            ConsolePrintf("%s I2C status: 0x%08x \n",
                          a[6] == 2 ? "I2C reinit failed on RTC abort " : "I2C reinit failed on Temperature abort ",
                          static_cast<unsigned>(dBE(a, 7, 4)));
        } else {
            ConsolePrintf("Address:%02x Mux:%02x \n", a[1], a[2]);
        }
    } else {
        ConsolePrintf("General Hardware Error:%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x \n", a[0], a[1], a[2], a[3],
                      a[4], a[5], a[6], a[7], a[8], a[9], a[10]);
    }
}

void PrintDiskIoUpgrade(ARGS a, const char* pszWhat) {
    ConsolePrintf("Disk IO FW upgrade %s %02x %02x ", pszWhat, a[0], a[1]);
    PrintChars(a + 2, 4);
    ConsolePrintf(" ");
    PrintChars(a + 6, 4);
    ConsolePrintf("\n");
}

bool fPrintEmbeddedModule(ARGS a) {
    if (a[0] == 0) {
        ConsolePrintf("Running %02x%02x CEMI FW version: Release %02x, Build %02x\n", a[7], a[8], a[2], a[3]);
        return true;
    }
    if (a[0] == 1) {
        if (a[1] == 0) {
            ConsolePrintf("CEMI Fw upgraded: ");
        } else if (a[1] == 255) {
            ConsolePrintf("Failed to upgrade CEMI Fw ");
        } else if (a[1] == 16) {
            PrintText(a[6] == 1 ? "Begin CEMI Fw manual Fw update: " : "Begin CEMI Fw auto-update: ");
        }
        ConsolePrintf("%02x%02x v.%02x.%02x to %02x%02x v.%02x.%02x\n", a[9], a[10], a[4], a[5], a[7], a[8], a[2], a[3]);
        return true;
    }
    if (a[0] == 2) {
        PrintText(a[1] == 16 ? "Embedded Module cannot detect response from v850 serial port.\n"
                                       : "Embedded Module reports unknown error from v850.\n");
        return true;
    }
    return false;
}

bool fPrintModuleReset(ARGS a) {
    if (a[0] != 1) {
        return false;
    }
    if (a[1] == 0) {
        ConsolePrintf("Embedded Module reset request accepted, resetting Netburner.\n");
    } else if (a[1] == 255) {
        PrintText(a[2] < 255 ? "Embedded Module reset request failed.\n"
                                       : "Embedded Module reset request blocked, Cemi is updating.\n");
    } else {
        ConsolePrintf("Embedded Module reset request: unknown log entry.\n");
    }
    return true;
}

// Multiplexer images: A2 the image kind, CRC words least significant byte
// first (A1.., A5.., A9.. for the summary; A3.. and A7.. for one image).
bool fPrintMultiplexerImages(ARGS a) {
    if (a[0] == 172) {
        ConsolePrintf("PMC images up-to-date.  CRC: %08x %08x %08x\n", static_cast<unsigned>(dLE(a, 1, 4)),
                      static_cast<unsigned>(dLE(a, 5, 4)), static_cast<unsigned>(dLE(a, 9, 4)));
        return true;
    }
    if (a[0] != 176) {
        return false;
    }
    const char* pszImage = a[2] == 0 ? "Data   " : a[2] == 1 ? "Appl Fw" : a[2] == 2 ? "BootROM" : "Unknown";
    const unsigned dOld = static_cast<unsigned>(dLE(a, 3, 4));
    const unsigned dNew = static_cast<unsigned>(dLE(a, 7, 4));
    switch (a[1]) {
        case 160: ConsolePrintf("PMC %s image is up-to-date.  Version CRC: %08x.\n", pszImage, dOld); break;
        case 161: ConsolePrintf("PMC %s image updated from Version CRC %08x to %08x.\n", pszImage, dOld, dNew); break;
        case 241:
            ConsolePrintf("PMC Fw: Failed to update %s image from Version CRC %08x to %08x.\n", pszImage, dOld, dNew);
            break;
        case 240:
            ConsolePrintf("PMC Fw: Failed to obtain current %s version via SAS.  Expected Version CRC: %08x.\n",
                          pszImage, dOld);
            break;
        default: ConsolePrintf("PMC Fw Log event undefined.\n"); break;
    }
    return true;
}

void PrintExpanderSpiMemory(ARGS a) {
    static constexpr const char* EVENTS[] = {"image valid ",
                                             "update successful ",
                                             "download image header invalid ",
                                             "download image match id does not match ",
                                             "download image CRC does not match ",
                                             "Read failed ",
                                             "Erase failed ",
                                             "Page Program failed ",
                                             "Image Verification failed ",
                                             "Image Trailer Verification failed "};
    ConsolePrintf("Expander SPIMEM ");
    if (a[0] < 1 || a[0] > 10) {
        ConsolePrintf("Unknown Event %02x\n", a[0]);
        return;
    }
    PrintText(EVENTS[a[0] - 1]);
    if (a[0] == 1) {
        ConsolePrintf("\n");
        return;
    }
    ConsolePrintf("Cur:");
    PrintChars(a + 1, 4);
    ConsolePrintf(" DL:");
    PrintChars(a + 5, 4);
    if (a[0] == 5) {
        ConsolePrintf(" Exp:%02x%02x Act:%02x%02x", a[9], a[10], a[11], a[12]);
    } else if (a[0] >= 6) {
        ConsolePrintf(" EA:%02x%02x%02x%02x", a[9], a[10], a[11], a[12]);
    }
    ConsolePrintf("\n");
}

constexpr TEXT_CHOICE SUPPLY_STATES[] = {{1, "OK        "}, {2, "Critical  "}, {5, "Not Found "}};
constexpr TEXT_CHOICE FAN_STATES[] = {{1, " OK            "}, {5, "Not Found "}};
constexpr TEXT_CHOICE CARD_STATES[] = {{1, "OK "}, {2, "Critical "}, {5, "Not Found "}};
constexpr TEXT_CHOICE BOOTROM_EVENTS[] = {{2, "flash programmed successfully\n"},
                                          {7, "erasing flash failed\n"},
                                          {8, "flash programming failed\n"},
                                          {9, "flash verification failed\n"}};
constexpr TEXT_CHOICE EEPROM_EVENTS[] = {{1, "image valid\n"},      {2, "update successful\n"},
                                         {3, "I2C read failed\n"},  {4, "I2C write failed\n"},
                                         {5, "verification failed\n"}};

bool fPrintEnclosureEvent(const EVENT_LOG_ENTRY* ps) {
    ARGS a = ps->abArgs;
    switch (ps->bCode) {
        case 107:
            ConsolePrintf("Encl.%02d PWR Supply %01d ", a[5] + 1, a[0] + 1);
            PrintChoice(a[1], SUPPLY_STATES, "Unsupported ");
            PrintEnclosureIdentity(a, "SAS Addr:", true);
            return true;
        case 108:
            ConsolePrintf("Encl.%02d Fan %01d ", a[5] + 1, a[0] + 1);
            PrintChoice(a[1], FAN_STATES, " Critical      ");
            PrintEnclosureIdentity(a, "SAS Addr:", true);
            return true;
        case 109: PrintEnclosureTemperature(a); return true;
        case 110: PrintEnclosureAlarm(a); return true;
        case 79:
            ConsolePrintf("Encl.%02d Channel Card %01d ", a[5] + 1, a[0] + 1);
            PrintChoice(a[1], CARD_STATES, "Unknown ");
            PrintEnclosureIdentity(a, "SAS Addr:", false);
            return true;
        case 89: ConsolePrintf("SES Initialized: SES LEVEL 1. Verify the Configuration\n"); return true;
        case 90: ConsolePrintf("SES Initialized: SES LEVEL 3, Access: Critical\n"); return true;
        case 91: ConsolePrintf("SES Initialized: SES LEVEL 3, Access: Fault Tolerant\n"); return true;
        case 122: PrintHardwareError(a); return true;
        case 126: PrintDiskIoUpgrade(a, "started"); return true;
        case 127: PrintDiskIoUpgrade(a, "finished"); return true;
        case 128: ConsolePrintf("Disk IO FW upgrade stopped due to error\n"); return true;
        case 137: return fPrintEmbeddedModule(a);
        case 138: return fPrintModuleReset(a);
        case 139: return fPrintMultiplexerImages(a);
        case 144: ConsolePrintf("Invalid SAS IO Module: Configuration NOT Supported\n"); return true;
        case 152:
            switch (a[0]) {
                case 1: ConsolePrintf("Expansion cable was connected. Enc: %02x\n", a[1]); return true;
                case 2: ConsolePrintf("Expansion cable has been disconnected. Enc: %02x\n", a[1]); return true;
                case 3: ConsolePrintf("Cable disconnections are over the safe limit. Enc: %02x\n", a[1]); return true;
                default: return false;
            }
        case 153: PrintExpanderSpiMemory(a); return true;
        case 154:
            ConsolePrintf("Expander Bootrom ");
            PrintChoice(a[0], BOOTROM_EVENTS, "Unknown Event %02x\n");
            return true;
        case 155:
            ConsolePrintf("Expander EEPROM ");
            PrintChoice(a[0], EEPROM_EVENTS, "Unknown Event %02x\n");
            return true;
        case 172:
            ConsolePrintf("Encl.%02x Invalid VID/PID Disabled Encl VID:'", a[0]);
            PrintChars(a + 1, 8);
            ConsolePrintf("'.\n");
            return true;
        default: return false;
    }
}

}  // namespace

void SetEventDecodeImage(const EVENT_LOG_MIRROR* psImage) { s_psDecodeImage = psImage; }

void DecodeEvent(uint16_t wIndex) {
    if (s_psDecodeImage == nullptr || wIndex >= EVENT_LOG_ENTRIES) {
        return;
    }
    const EVENT_LOG_ENTRY* ps = &s_psDecodeImage->asEntries[wIndex];
    PrintDateTime(&ps->sTimeStamp);
    PrintEventText(ps);
}

void PrintEventText(const EVENT_LOG_ENTRY* psEntry) {
    if (!fPrintDriveEvent(psEntry) && !fPrintHostEvent(psEntry) && !fPrintControllerEvent(psEntry) &&
        !fPrintArrayEvent(psEntry) && !fPrintEnclosureEvent(psEntry)) {
        PrintUnknownCode(psEntry->bCode);
    }
}

}  // namespace fw
