// Drive list displays.
#include "enclosure/drive_list_display.h"

#include <initializer_list>

#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

constexpr uint8_t NONE = 0xFF;
constexpr uint8_t MUX_BITS = 0x30;
constexpr uint8_t MUX_ACTIVE_ACTIVE = 0x10;

const char MISSING_COLUMNS[] = " ------------ ---- --- -------- --- -- --- -- -- --";
const char DUMP_ROW_RULE[] = "---- ---------------- ------------ -------- -------- ---- --- -- - -- --";

bool IsPrintable(uint8_t b) { return b >= 32 && b <= 126; }

void PrintChars(const char* pc, uint32_t dCount) {
    for (uint32_t i = 0; i < dCount; ++i) ConsolePrintf("%c", pc[i]);
}

void PrintWwnHex(const uint8_t* pb) {
    for (uint32_t i = 0; i < 8; ++i) ConsolePrintf("%02x", pb[i]);
}

// "SAS  " and the WWN in hexadecimal, or "SATA " and the identifier the
// drive side made of its serial number.
void PrintTypeAndIdentifier(const DRIVE_INFO& s, const SAS_DEVICE_ENTRY& e) {
    if (e.fSAS == TRUE) {
        ConsolePrintf("SAS  ");
        PrintWwnHex(s.abWWN);
    } else {
        ConsolePrintf("SATA ");
        PrintChars(reinterpret_cast<const char*>(s.abWWN), 8);
        ConsolePrintf("         ");
    }
}

void PrintEnclosureSlot(const DRIVE_INFO& s) {
    for (uint8_t b : {s.bEnclosureNo, s.bSlotNo}) {
        if (b == NONE) {
            ConsolePrintf(" NA");
        } else {
            ConsolePrintf(" %02d", b);
        }
    }
}

const char* pszPowerState(const DRIVE_INFO& s) {
    switch (bGetDriveAPMState(s.bEnclosureNo, s.bSlotNo)) {
    case DRIVE_APM_SPUN_DOWN: return "  Spun Down";
    case DRIVE_APM_SPINNING_UP: return "  Spinning Up";
    case DRIVE_APM_SPUN_UP:
        return fIsDriveAPMTestRunning(s.bEnclosureNo, s.bSlotNo) == TRUE ? "  Testing" : "  Spun Up";
    default: return "  Undefined";
    }
}

const char* pszPathType(const SAS_DEVICE_ENTRY& e) {
    if (e.fSAS == TRUE) return " --";
    switch (e.bStatus & MUX_BITS) {
    case MUX_ACTIVE_ACTIVE: return " AA";
    case MUX_BITS: return " DD";
    default: return " AP";
    }
}

// A SATA drive's read and write caching as its IDENTIFY data gave them:
// on, supported but off, or not supported.
char cSataCache(const SAS_DEVICE_ENTRY& e, uint8_t bOn, uint8_t bSupported) {
    return (e.bATAFeatures & bOn) != 0 ? 'Y' : (e.bATAFeatures & bSupported) != 0 ? 'S' : 'N';
}

void PrintDumpRow(const DRIVE_INFO& s) {
    SAS_DEVICE_ENTRY* pe = nullptr;
    if (bGetSASDeviceEntryBySASAddress(s.abWWN, &pe) != STATUS_OK) {
        ConsolePrintf("SAS  ");
        PrintWwnHex(s.abWWN);
        ConsolePrintf("%s\n", MISSING_COLUMNS);
        return;
    }
    const SAS_DEVICE_ENTRY& e = *pe;
    PrintTypeAndIdentifier(s, e);
    ConsolePrintf(" ");
    PrintChars(s.acProductID, 12);
    ConsolePrintf(" ");
    if (e.fSAS == TRUE) {
        ConsolePrintf("    ");
        PrintChars(s.acRevision, 4);
    } else {
        for (char c : e.acFirmwareRevision) ConsolePrintf("%c", IsPrintable(static_cast<uint8_t>(c)) ? c : '.');
    }
    ConsolePrintf(" ");
    PrintChars(s.acSerialNo, 8);
    if (e.fSAS == TRUE) {
        ConsolePrintf(" YYYN");
    } else {
        ConsolePrintf(" %c%c%c%c", e.f48BitLBA == TRUE ? 'Y' : 'N', e.fQueued == TRUE ? 'Y' : 'N',
                      cSataCache(e, SATA_FEATURE_LOOK_AHEAD_ON, SATA_FEATURE_LOOK_AHEAD_SUPPORTED),
                      cSataCache(e, SATA_FEATURE_WRITE_CACHE_ON, SATA_FEATURE_WRITE_CACHE_SUPPORTED));
    }
    ConsolePrintf(" %03d ", dDriveCapacityGb(s.dCapacity));
    ConsolePrintf("%02x ", s.bHardIDFromADISC);
    ConsolePrintf(e.bTargetId < SAS_PROXY_TARGET_BIT ? "1" : "0");
    PrintEnclosureSlot(s);
    ConsolePrintf("\n%s\n", DUMP_ROW_RULE);
}

}  // namespace

uint32_t dDriveCapacityGb(uint32_t dCapacity) {
    return static_cast<uint32_t>((static_cast<uint64_t>(dCapacity >> 12) * 9004132u) >> 32);
}

void ShowDriveListHeader(uint8_t fApm) {
    if (fApm == TRUE) {
        ConsolePrintf("\nNo. Type Identifier       Product ID    Cap.   EN SL  APM Status\n");
        ConsolePrintf("--- ---- ---------------- ------------  ------ -- --  ----------\n");
    } else {
        ConsolePrintf("\nNo. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST\n");
        ConsolePrintf("--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --\n");
    }
}

uint8_t ShowDriveListEntry(const uint8_t* pbWwn, uint8_t fApm) {
    uint8_t bIndex = 0;
    SAS_DEVICE_ENTRY* pe = nullptr;
    if (fFindKnownDriveByWwn(pbWwn, &bIndex) != TRUE || bGetSASDeviceEntryBySASAddress(pbWwn, &pe) != STATUS_OK) {
        bool fText = true;
        for (uint32_t i = 0; i < 8; ++i) fText = fText && IsPrintable(pbWwn[i]);
        if (fText) {
            ConsolePrintf("SATA ");
            PrintChars(reinterpret_cast<const char*>(pbWwn), 8);
            ConsolePrintf("        ");
        } else {
            ConsolePrintf("SAS  ");
            PrintWwnHex(pbWwn);
        }
        ConsolePrintText(MISSING_COLUMNS);
        return 0;
    }
    const DRIVE_INFO& s = pGetDriveInfoList()->asDriveInfo[bIndex];
    PrintTypeAndIdentifier(s, *pe);
    ConsolePrintf(" ");
    PrintChars(s.acProductID, 12);
    ConsolePrintf(" ");
    if (fApm != TRUE) {
        PrintChars(s.acRevision, 4);
        ConsolePrintf(s.fFirmwareFileStored == TRUE ? " Yes " : " No  ");
        PrintChars(s.acSerialNo, 8);
    }
    ConsolePrintf(" %03d GB", dDriveCapacityGb(s.dCapacity));
    if (fApm != TRUE) {
        if (s.bLoopID1 == NONE) {
            ConsolePrintf(" NA ");
        } else {
            ConsolePrintf(" %03d", s.bLoopID1);
        }
    }
    PrintEnclosureSlot(s);
    ConsolePrintText(fApm == TRUE ? pszPowerState(s) : pszPathType(*pe));
    return STATUS_OK;
}

void ShowDriveTableDump(uint8_t fDiscovery) {
    const DRIVE_INFO_LIST* ps = fDiscovery == TRUE ? pGetDriveInfoListDiscovery() : pGetDriveInfoList();
    ConsolePrintf("\nType Identifier       Product ID   Firmware Ser. No. EQRW Cap ID C EN SL ST R D\n");
    ConsolePrintf("--------------------------------------------------------------------------------\n");
    const uint8_t bCount = ps->bDriveCount < DRIVE_INFO_RECORDS ? ps->bDriveCount : DRIVE_INFO_RECORDS;
    for (uint8_t i = 0; i < bCount; ++i) PrintDumpRow(ps->asDriveInfo[i]);
    ConsolePrintf("\n%02d Drives\n\n", bCount);
}

}  // namespace fw
