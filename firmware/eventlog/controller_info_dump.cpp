// The controller information dump: this controller's information record,
// built on the spot, or the partner's, handed in by the console menu or the
// debug dump; one group of lines per step.
#include "eventlog/controller_info_dump.h"

#include <cstring>

#include "config/host_port_tables.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "console/console_menu.h"
#include "console/information_menus.h"
#include "eventlog/info_dump.h"
#include "eventlog/negotiated_parameters.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "fc/ql_chip.h"
#include "fc/ql_chip_services.h"
#include "fc/ql_mailbox_commands.h"
#include "hw/host_interface.h"
#include "platform/battery.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint32_t SFP_PAGE = 128;
constexpr uint8_t SFP_PAGES = 4;      // port 0 identity, port 0 diagnostics, port 1 identity, port 1 diagnostics
constexpr uint8_t SFP_DIAGNOSTICS_LONG_BIT = 0x20;   // identity byte 92
constexpr uint8_t LINK_DOWN = 0xF0;
constexpr uint8_t NO_PORT_ID = 255;
constexpr uint8_t TEMPERATURES = 3;

enum : uint8_t {
    STEP_OWN = 0,
    STEP_PARTNER = 1,
    STEP_TYPE = 2,
    STEP_CONFIG_WWN,
    STEP_CONFIG_NAME,
    STEP_FIRMWARE,
    STEP_POWER_COUNT,
    STEP_TOTAL_TIME,
    STEP_CURRENT_TIME,
    STEP_CLOCK,
    STEP_PORT_0,
    STEP_PORT_1,
    STEP_GAP_A,
    STEP_GAP_B,
    STEP_TEMPERATURES,
    STEP_END,
};

// The SFP page: four 128-byte pages, then a read flag for each.
struct SFP_DATA {
    uint8_t aabPage[SFP_PAGES][SFP_PAGE];
    uint8_t afRead[SFP_PAGES];
};
static_assert(sizeof(SFP_DATA) <= BUFFER_PAGE_SIZE);
enum : uint8_t { SFP_PORT0_IDENTITY, SFP_PORT0_DIAGNOSTICS, SFP_PORT1_IDENTITY, SFP_PORT1_DIAGNOSTICS };

BUFFER_HANDLE s_dRecordPage;
BUFFER_HANDLE s_dSfpPage;
uint8_t s_fOwn = TRUE;

const CONTROLLER_INFO_RECORD& Record() {
    return *static_cast<const CONTROLLER_INFO_RECORD*>(pBufferHandleToPointer(s_dRecordPage));
}
SFP_DATA* psSfp() {
    return s_dSfpPage == NULL_BUFFER_HANDLE ? nullptr : static_cast<SFP_DATA*>(pBufferHandleToPointer(s_dSfpPage));
}
bool Own() { return s_fOwn == TRUE; }
const char* pszLetter(bool fOwnController) {
    return (fIsControllerSlot1() == TRUE) == fOwnController ? "0" : "1";
}
void Next() { SetInfoDumpState(static_cast<uint16_t>(bGetInfoDumpState() + 1)); }

// An SFP page of a host port read into the SFP page at its place.
bool ReadSfp(uint8_t bChip, uint8_t fDiagnostics, uint8_t bPage) {
    const uint8_t bResult = bQLReadSfp(bChip, fDiagnostics, s_dSfpPage + static_cast<uint32_t>(bPage) * SFP_PAGE);
    if (bResult != STATUS_OK) return false;
    psSfp()->afRead[bPage] = TRUE;
    return true;
}

void ReadSfpPages() {
    if (bAllocDataPages(0, 1, &s_dSfpPage) != STATUS_OK) {
        s_dSfpPage = NULL_BUFFER_HANDLE;
        return;
    }
    std::memset(psSfp()->afRead, FALSE, sizeof psSfp()->afRead);
    if (ReadSfp(1, FALSE, SFP_PORT0_IDENTITY)) (void)ReadSfp(1, TRUE, SFP_PORT0_DIAGNOSTICS);
    if (ReadSfp(2, FALSE, SFP_PORT1_IDENTITY)) (void)ReadSfp(2, TRUE, SFP_PORT1_DIAGNOSTICS);
}

// A text field of the record, up to its end or its terminator.
void PrintText(const char* pc, uint32_t dLength) {
    for (uint32_t i = 0; i < dLength && pc[i] != 0; ++i) ConsolePrintf("%c", pc[i]);
}

void PrintTimeSplit(const char* pszLabel, uint32_t s) {
    ConsolePrintf(pszLabel, s / 86400, (s / 3600) % 24, (s / 60) % 60, s % 60);
}

void PrintPortId(uint8_t bId) {
    if (bId == NO_PORT_ID) {
        ConsolePrintf("N/A\n");
    } else {
        ConsolePrintf("%03d\n", bId);
    }
}

void PrintFibrePort(uint8_t bPort) {
    const uint8_t bStatus = Record().abHostPort[bPort][0];
    ConsolePrintf("Host Loop %s Status : ", bPort == 0 ? "0" : "1");
    if (bStatus == LINK_DOWN) {
        ConsolePrintf("Loop Down\n");
    } else {
        ConsolePrintf("Loop Up, ");
        ConsolePrintf(bStatus == 0xF1 ? "1Gbit " : bStatus == 0xF2 ? "2Gbit " : "4Gbit ");
        ConsolePrintf("ID: ");
        PrintPortId(Record().abHostPort[bPort][1]);
    }
    const SFP_DATA* ps = psSfp();
    if (ps == nullptr) return;
    const uint8_t bIdentity = bPort == 0 ? SFP_PORT0_IDENTITY : SFP_PORT1_IDENTITY;
    if (ps->afRead[bIdentity] != TRUE) {
        ConsolePrintf(bPort == 0 ? "Host Loop 0 SFP Not Present\n" : "Host Loop 1 SFP Not Present\n");
        return;
    }
    ConsolePrintf(bPort == 0 ? "Host Loop 0 SFP:\n" : "Host Loop 1 SFP:\n");
    PrintSfpInformation(ps->aabPage[bIdentity]);
    if (ps->afRead[bIdentity + 1] == TRUE) {
        const uint8_t bLength = (ps->aabPage[bIdentity][92] & SFP_DIAGNOSTICS_LONG_BIT) != 0 ? 32 : 16;
        PrintSfpDiagnostics(ps->aabPage[bIdentity + 1], bLength);
    }
}

void PrintSasPort(uint8_t bPort) {
    const uint8_t bStatus = Record().abHostPort[bPort][0];
    const uint8_t bController = Own() ? bGetControllerNumber() : bGetPartnerControllerNumber();
    const uint64_t lAddress = lGetSASHostPortAddress(Record().abWwnInUse, bController, bPort);
    ConsolePrintf("Host Port %s SAS Addr: %08x%08x, Status: ", bPort == 0 ? "0" : "1",
                  static_cast<uint32_t>(lAddress >> 32), static_cast<uint32_t>(lAddress));
    if (bStatus == FALSE) {
        ConsolePrintf("Disabled\n");
    } else if (bStatus == 0xF8) {
        ConsolePrintf("Error\n");
    } else if (bStatus == TRUE) {
        ConsolePrintf("Down\n");
    } else {
        ConsolePrintf("Up, ");
        ConsolePrintf(bStatus == 0xF2 ? "1.5 Gbit" : bStatus == 0xF4 ? "3 Gbit" : "Unknown");
        ConsolePrintf(", ID: ");
        PrintPortId(Record().abHostPort[bPort][1]);
    }
}

void PrintHostPort(uint8_t bPort) {
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_FC: PrintFibrePort(bPort); break;
    case HOST_INTERFACE_SAS_TARGET: PrintSasPort(bPort); break;
    case HOST_INTERFACE_SAS:
        if (bPort == 0) {
            ConsolePrintf("\n");
            PrintOwnScsiIdParameters(SCSI_HOST_PORT_0, FALSE);
            PrintOwnScsiIdParameters(SCSI_HOST_PORT_1, FALSE);
        }
        break;
    default: break;
    }
}

void PrintFirmware() {
    const CONTROLLER_INFO_RECORD& r = Record();
    ConsolePrintf("Firmware Rev.  : %02x.%02x Build %c%c%c%c ", (r.dFirmwareVersion >> 24) & 0xFF,
                  (r.dFirmwareVersion >> 16) & 0xFF, r.acVersion[0], r.acVersion[1], r.acVersion[2], r.acVersion[3]);
    if (Own() && (bGetDiagnosticsModeLevel() != 0 || fGetDebugDumpWork() == TRUE)) ConsolePrintf("(G)");
    ConsolePrintf(" %s\n", "Dunra");
    ConsolePrintf("Firmware Date  : ");
    PrintText(r.acBuildDate, sizeof r.acBuildDate);
    ConsolePrintf("\nFirmware Time  : ");
    PrintText(r.acBuildTime, sizeof r.acBuildTime);
    ConsolePrintf("\n");
    if (Own()) {
        const uint32_t d = dGetLSIFirmwareVersion();
        ConsolePrintf("SAS F/W   Rev. : %02x.%02x.%02x.%02x\n", (d >> 24) & 0xFF, (d >> 16) & 0xFF, (d >> 8) & 0xFF,
                      d & 0xFF);
        uint16_t wMajor = 0, wMinor = 0, wSubminor = 0, wAttributes = 0;
        uint32_t dMemory = 0;
        if (bGetHostInterfaceType() == HOST_INTERFACE_FC &&
            bGetStoredFirmwareVersion(1, &wMajor, &wMinor, &wSubminor, &wAttributes, &dMemory) > 254) {
            ConsolePrintf("FC F/W    Rev. : %02d.%02d.%02d\n", wMajor, wMinor, wSubminor);
        }
    }
    ConsolePrintf("Boot PROM Rev. : %c%c%c%c\n", r.acBootPromRevision[0], r.acBootPromRevision[1],
                  r.acBootPromRevision[2], r.acBootPromRevision[3]);
    ConsolePrintf("\n");
}

void PrintClock() {
    const CONTROLLER_INFO_RECORD& r = Record();
    DATE_TIME s{};
    std::memcpy(&s, r.abDateTime, sizeof s);
    ConsolePrintf("Current Controller Time: ");
    PrintDateTime(&s);
    ConsolePrintf("\n");
    ConsolePrintf("Last Configuration Time: ");
    (void)SecondsToDateTime(&s, r.dGeneration);
    PrintDateTime(&s);
    ConsolePrintf("\n");
    if (bGetAdvancedConfigModeLevel() >= 2 || fGetDebugDumpWork() == TRUE) {
        ConsolePrintf("NV Configuration Time  : ");
        (void)SecondsToDateTime(&s, dGetNvramJournalGeneration());
        PrintDateTime(&s);
        ConsolePrintf("\n");
    }
}

void PrintTemperatures() {
    ConsolePrintf("\nOnboard Temperature: ");
    for (uint8_t i = 0; i < TEMPERATURES; ++i) {
        const uint8_t b = Record().abTemperature[i];
        if (b == 0) {
            ConsolePrintf("N/A ");
        } else {
            ConsolePrintf("%02dC ", b);
        }
    }
}

void Finish() {
    const CONTROLLER_INFO_RECORD& r = Record();
    ConsolePrintf("\n");
    const bool fOption2 = fGetNvramOptionBit2() == TRUE;
    if (fIsLinePowerMode() != TRUE && !fOption2) PrintBatteryCapacity(r.bBatteryCapacity, r.bHoldUpEstimate);
    if (Own()) {
        PrintBatteryStatus();
    } else if (fOption2) {
        ConsolePrintf("\"Line Power Mode\" ENABLED (Battery not required)\n");
    }
    ConsolePrintf("Controller Memory  : %d MB\n", r.wBank0Megabytes);
    (void)wFreeDataPages(s_dRecordPage, 1);
    s_dRecordPage = NULL_BUFFER_HANDLE;
    SetInfoDumpInfoBuffer(NULL_BUFFER_HANDLE);
    if (s_dSfpPage != NULL_BUFFER_HANDLE) {
        (void)wFreeDataPages(s_dSfpPage, 1);
        s_dSfpPage = NULL_BUFFER_HANDLE;
    }
    SetInfoDumpRequest(FALSE);
    SetInfoDumpType(0);
    SetInfoDumpState(0);
    ConsolePrintf("\nEnd Of Controller Information\n\n");
    const uint8_t bMode = bGetInfoDumpMode();
    SetInfoDumpMode(0);
    if (bMode == DUMP_MODE_MENU) OnControllerInformationShown();
}

}  // namespace

void ShowControllerInformation() {
    switch (bGetInfoDumpState()) {
    case STEP_OWN:
        s_fOwn = TRUE;
        // No page yet: the next pass tries again.
        if (bAllocDataPages(0, 1, &s_dRecordPage) != STATUS_OK) return;
        BuildControllerInfoRecord(static_cast<CONTROLLER_INFO_RECORD*>(pBufferHandleToPointer(s_dRecordPage)));
        ConsolePrintf("Controller %s Information:\n\n", pszLetter(true));
        s_dSfpPage = NULL_BUFFER_HANDLE;
        if (fIsQL24xx() == TRUE) ReadSfpPages();
        SetInfoDumpState(STEP_TYPE);
        return;
    case STEP_PARTNER:
        s_fOwn = FALSE;
        s_dSfpPage = NULL_BUFFER_HANDLE;
        s_dRecordPage = dGetInfoDumpInfoBuffer();
        if (s_dRecordPage == NULL_BUFFER_HANDLE) {
            // Handed no record: the page ends at once.
            SetInfoDumpRequest(FALSE);
            SetInfoDumpType(0);
            SetInfoDumpState(0);
            SetInfoDumpMode(0);
            return;
        }
        ConsolePrintf("Controller %s Information:\n\n", pszLetter(false));
        SetInfoDumpState(STEP_TYPE);
        return;
    case STEP_TYPE: {
        const uint8_t bType = bGetHostInterfaceType();
        ConsolePrintf("Controller Type: ");
        ConsolePrintf(bType == HOST_INTERFACE_FC ? "FC-" : bType == HOST_INTERFACE_SAS_TARGET ? "SAS-" : bType == HOST_INTERFACE_SAS ? "SCSI-" : "");
        ConsolePrintf("SAS\n");
        ConsolePrintf(bType == HOST_INTERFACE_SAS ? "Controller SN  : " : "Controller WWN : ");
        PrintWwn(Record().abNvramWwn);
        ConsolePrintf("\n");
        break;
    }
    case STEP_CONFIG_WWN:
        ConsolePrintf(bGetHostInterfaceType() == HOST_INTERFACE_SAS ? "Config. SN     : " : "Config. WWN    : ");
        PrintWwn(Record().abWwnInUse);
        ConsolePrintf("\n");
        break;
    case STEP_CONFIG_NAME:
        ConsolePrintf("Config. Name   : ");
        for (char c : Record().acConfigName) ConsolePrintf("%c", c >= 32 && c <= 126 ? c : ' ');
        ConsolePrintf("\n");
        break;
    case STEP_FIRMWARE: PrintFirmware(); break;
    case STEP_POWER_COUNT: ConsolePrintf("Total Power on Count   : %d\n", Record().dStartCount); break;
    case STEP_TOTAL_TIME: PrintTimeSplit("Total Power on Time    : %03d:%02d:%02d:%02d\n", Record().dNvramValue); break;
    case STEP_CURRENT_TIME: PrintTimeSplit("Current Power on Time  : %03d:%02d:%02d:%02d\n", Record().dTickTime); break;
    case STEP_CLOCK: PrintClock(); break;
    case STEP_PORT_0: PrintHostPort(0); break;
    case STEP_PORT_1:
        if (fIsNvramOption1Set() != TRUE) PrintHostPort(1);
        break;
    case STEP_GAP_A:
    case STEP_GAP_B: break;
    case STEP_TEMPERATURES: PrintTemperatures(); break;
    default: Finish(); return;
    }
    Next();
}

}  // namespace fw
