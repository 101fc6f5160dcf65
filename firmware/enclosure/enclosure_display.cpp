// The enclosures shown to the operator: the Enclosure Information screen
// (also a page of the paged information dump) and the raw dumps of the
// enclosure state behind the debug hot key.
#include <algorithm>

#include "console/information_menus.h"
#include "enclosure/audible_alarm.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/io_module_firmware.h"
#include "enclosure/ses_poll.h"
#include "eventlog/info_dump.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/ses.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

constexpr uint8_t HOST_INTERFACE_PARALLEL_SCSI = 2;

void PrintSupply(const uint8_t* e, uint8_t bIndex) {
    ConsolePrintf("Power Supply %02d       : ", bIndex);
    switch (e[0] & SES_STATUS_CODE_MASK) {
    case SES_CODE_OK: ConsolePrintf("OK        \n"); break;
    case SES_CODE_CRITICAL: ConsolePrintf("Critical  \n"); break;
    case SES_CODE_UNSUPPORTED:
    case SES_CODE_NOT_INSTALLED: ConsolePrintf("Not Found \n"); break;
    default: ConsolePrintf("\n"); break;
    }
}

void PrintFan(const uint8_t* e, uint8_t bIndex) {
    ConsolePrintf("Cooling Fan %02d        : ", bIndex);
    switch (e[0] & SES_STATUS_CODE_MASK) {
    case SES_CODE_OK: ConsolePrintf("OK        "); break;
    case SES_CODE_CRITICAL: ConsolePrintf("Critical  "); break;
    case SES_CODE_NOT_INSTALLED: ConsolePrintf("Not Found "); break;
    default: ConsolePrintf("\n"); return;
    }
    // The own chassis' fan speeds are not measured here.
    ConsolePrintf("             \n");
}

void PrintSensor(const uint8_t* e, uint8_t bIndex) {
    ConsolePrintf("Temperature Sensor %02d : ", bIndex);
    const uint8_t bCode = e[0] & SES_STATUS_CODE_MASK;
    if (bCode == SES_CODE_NOT_INSTALLED) {
        ConsolePrintf("Not Found \n");
        return;
    }
    if (bCode == SES_CODE_UNKNOWN) {
        ConsolePrintf("Unknown \n");
        return;
    }
    ConsolePrintf("OK | ");
    ConsolePrintf("Current Temperature :");
    if (e[2] < SES_TEMPERATURE_OFFSET) {
        ConsolePrintf("NA | ");
    } else {
        ConsolePrintf("%02d | ", e[2] - SES_TEMPERATURE_OFFSET);
    }
    ConsolePrintf("Status : ");
    if (e[3] & SES_TEMPERATURE_OT_FAILURE) {
        ConsolePrintf(" Critical \n");
    } else if (e[3] & SES_TEMPERATURE_OT_WARNING) {
        ConsolePrintf(" Warning  \n");
    } else {
        ConsolePrintf(" OK       \n");
    }
}

void PrintAlarm(const uint8_t* e) {
    ConsolePrintf("Alarm 01, %04x        : ", e[3]);
    if ((e[3] & 0x0E) == 0x0E) {
        ConsolePrintf("Intermittent-ON. \n");
    } else if (e[3] & SES_ALARM_REMIND) {
        ConsolePrintf("Remind-ON. \n");
    } else if (e[3] & SES_ALARM_MUTED) {
        ConsolePrintf("Muted-OFF. \n");
    } else if (e[3] & 0x01) {
        ConsolePrintf("Continuous-ON. \n");
    } else if (e[3] & 0x04) {
        ConsolePrintf("The alarm is ON. \n");
    } else {
        ConsolePrintf("The alarm is OFF.\n");
    }
}

// One line per element of the cached status page, walked by the cached
// configuration's type headers, both no further than their copies.
void PrintElements(const ENCLOSURE& s) {
    const uint8_t* pbStatus = s.abStatusPage;
    if (pbStatus[0] != SES_PAGE_STATUS) return;
    const uint32_t dStatusBytes = std::min<uint32_t>(dSesPageBytes(pbStatus), ENCLOSURE_STATUS_COPY_BYTES);
    ForEachSesElement(s, dStatusBytes, [&](uint8_t bType, uint8_t i, uint32_t dElement) {
        if (i == SES_OVERALL_ELEMENT) return;
        const uint8_t* e = pbStatus + dElement;
        switch (bType) {
        case SES_TYPE_POWER_SUPPLY: PrintSupply(e, i); break;
        case SES_TYPE_COOLING: PrintFan(e, i); break;
        case SES_TYPE_TEMPERATURE: PrintSensor(e, i); break;
        case SES_TYPE_ALARM: PrintAlarm(e); break;
        default: break;
        }
    });
}

}  // namespace

void ShowEnclosureInformation() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    const DRIVE_INFO_LIST* psDrives = pGetDriveInfoList();
    const bool fPresent = psDrives != nullptr && psDrives->bDriveCount != 0;
    if (!fPresent) {
        ConsolePrintf(bGetSesLevel() < SES_LEVEL_UNKNOWN ? "No drives present! " : "SES data is currently being initialized. ");
    }
    if (bGetSesLevel() != SES_LEVEL_FULL || !fPresent || ps == nullptr) {
        ConsolePrintf("SES access is not available.\n");
    } else {
        ConsolePrintf("Number of Enclosures  : %2d\n", ps->dTotalNoOfEnclosures);
        ConsolePrintf("Total Number of Drives: %2d\n", ps->bTotalNoOfDrives);
        if (ps->fSesDataValid != TRUE) {
            ConsolePrintf("\nEnd of Enclosure Information.\n");
        } else {
            const uint32_t dCount = std::min<uint32_t>(ps->dTotalNoOfEnclosures, MAX_ENCLOSURES);
            for (uint32_t n = 0; n < dCount; ++n) {
                const ENCLOSURE& s = ps->asEnclosure[n];
                if (s.bNoOfDrives == 0) continue;
                ConsolePrintf("\n\nEnclosure Number      : %2d\n", n + 1);
                ConsolePrintf(bGetHostInterfaceType() == HOST_INTERFACE_PARALLEL_SCSI ? "Enclosure SN          : "
                                                                                       : "Enclosure WWN         : ");
                for (uint8_t b : s.abEclosureIdentifier) ConsolePrintf("%02x", b);
                ConsolePrintf("\nDrives Present        : %02d\n", s.bNoOfDrivesPresent);
                PrintElements(s);
            }
            ShowEnclosureFirmwareVersions();
            ShowAudibleAlarmFlags();
        }
    }
    const uint8_t bMode = bGetInfoDumpMode();
    SetInfoDumpRequest(FALSE);
    SetInfoDumpType(0);
    SetInfoDumpState(0);
    ConsolePrintf("\nEnd Of Enclosure Information\n\n");
    SetInfoDumpMode(bMode == DUMP_MODE_MENU ? bMode : 0);
    if (bMode == DUMP_MODE_MENU) OnEnclosureInformationShown();
}

// The debug hot key's dumps: the enclosure manager, each drive's SES
// fields, the drive side's enclosure processors and the table.
void DumpSesState() {
    ConsolePrintf("bSesLevel: %01x\n", bGetSesLevel());
    ConsolePrintf("bEnclosureNumber: %01x\n", bGetSesEnclosureNumber());
    ConsolePrintf("bCurrentDriveInService: %01x\n", bGetCurrentDriveInService());
    uint8_t bPath = 0, bTarget = 0;
    const uint8_t fDevice = fSelectSesDevice(&bPath, &bTarget);
    ConsolePrintf("bAlpa: %01x\n", fDevice == TRUE ? bTarget : 0);
    ConsolePrintf("bDevice: %01x\n", fDevice == TRUE ? bPath : 0);
}

void DumpDriveSesFields() {
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (ps == nullptr) return;
    for (uint8_t i = 0; i < std::min(ps->bDriveCount, DRIVE_INFO_RECORDS); ++i) {
        const DRIVE_INFO& d = ps->asDriveInfo[i];
        ConsolePrintf("************\n");
        ConsolePrintf("psDriveInfoList->asDriveInfo[i].bLoopID1: %08x\n", d.bLoopID1);
        ConsolePrintf("bLoopID2: %08x\n", d.bLoopID2);
        ConsolePrintf("bHardIDFromADISC : %08x\n", d.bHardIDFromADISC);
        ConsolePrintf("bEnclosureNo: %08x\n", d.bEnclosureNo);
        ConsolePrintf("bSES_SlotId : %08x\n", d.bSES_SlotId);
        ConsolePrintf(".bSlotNo : %08x\n", d.bSlotNo);
        ConsolePrintf("bSES0_IDLoop1 : %08x\n", d.bSES0_IDLoop1);
        ConsolePrintf("bSES0_IDLoop2 : %08x\n", d.bSES0_IDLoop2);
        ConsolePrintf("bSES1_IDLoop1 : %08x\n", d.bSES1_IDLoop1);
        ConsolePrintf("bSES1_IDLoop2 : %08x\n", d.bSES1_IDLoop2);
        ConsolePrintf("fSESEnabled : %08x\n", d.fSESEnabled);
        ConsolePrintf("bRankNo : %08x\n", d.bRankNo);
        ConsolePrintf("bDriveNo : %08x\n", d.bDriveNo);
        ConsolePrintf("bDriveStatus : %08x\n", d.bDriveStatus);
        ConsolePrintf("dCapacity : %08x\n", d.dCapacity);
        ConsolePrintf("wBlockSize : %08x\n", d.wBlockSize);
        ConsolePrintf("bSES_ArrayFlags: %08x\n", d.bSES_ArrayFlags);
        ConsolePrintf("bSES_ControlFlags: %08x\n", d.bSES_ControlFlags);
        ConsolePrintf("wBlockSize : %08x\n", d.wBlockSize);
    }
    ConsolePrintf("************\n");
}

namespace {
void PrintProcessors(const SAS_DEVICE_LIST* ps, bool fOther) {
    if (ps == nullptr) return;
    const uint8_t bCount = std::min(ps->bStpCount, SAS_MAX_STP_ENTRIES);
    for (uint8_t i = 0; i < bCount; ++i) {
        const auto* psRecord = reinterpret_cast<const SAS_STP_ENTRY*>(ps->aabStp[i]);
        if (fOther) ConsolePrintf("***STP From Expander Other Controller :\n");
        ConsolePrintf("bEnclosureNo: %02x\n", psRecord->bEnclosure);
        ConsolePrintf("bTargetId: %02x\n", psRecord->bTargetId);
        ConsolePrintf(fOther ? "Other SAS Address:\n" : "SAS Address:\n");
        for (uint8_t b : psRecord->abSASAddressBE) ConsolePrintf("%02x", b);
        ConsolePrintf("\n");
    }
}
}  // namespace

void DumpSasEnclosureLists() {
    ConsolePrintf("Current List:\n");
    PrintProcessors(pGetSASDriveInfoList(), false);
    PrintProcessors(pGetOCSASDriveInfoList(), true);
}

void DumpEnclosureTable() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    if (ps == nullptr) return;
    ConsolePrintf("***********************************\n");
    ConsolePrintf("bTotalNoOfDrives: %x\n", ps->bTotalNoOfDrives);
    ConsolePrintf("dTotalNoOfEnclosures: %x\n", ps->dTotalNoOfEnclosures);
    ConsolePrintf("dCurrentEnclosure: %x\n", ps->dCurrentEnclosure);
    const uint32_t dCount = std::min<uint32_t>(ps->dTotalNoOfEnclosures, MAX_ENCLOSURES);
    for (uint32_t n = 0; n < dCount; ++n) {
        const ENCLOSURE& s = ps->asEnclosure[n];
        ConsolePrintf("bNoOfDrivePath: %x\n", s.bNoOfDrivePath);
        ConsolePrintf("bNoOfDrives: %x\n", s.bNoOfDrives);
        ConsolePrintf("bNoOfDrivesPresent: %x\n", s.bNoOfDrivesPresent);
        ConsolePrintf("bFirstDriveInList: %x\n", s.bFirstDriveInList);
        for (uint8_t b : s.abEclosureIdentifier) ConsolePrintf("asEnclosure[i].abEclosureIdentifier %x\n", b);
    }
    ConsolePrintf("***********************************\n");
}

}  // namespace fw
