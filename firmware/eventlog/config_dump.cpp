// The configuration dump, one section or record per call.
#include "eventlog/config_dump.h"

#include <algorithm>
#include <cstring>

#include "config/address_translation.h"
#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/drive_tables.h"
#include "config/host_lun_tables.h"
#include "config/ld_table.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/spares_wwn.h"
#include "console/console_menu.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_list_display.h"
#include "eventlog/drive_id.h"
#include "eventlog/info_dump.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/ql_chip.h"
#include "hw/host_interface.h"
#include "raid/raid_engine.h"
#include "sas/sas_drive.h"
#include "target/host_list.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint32_t OEM_PATH_AVAILABILITY = 0x101;
constexpr uint8_t MEMBER_REBUILDING = 85;
constexpr uint8_t INIT_STATE_INITIALISING = 1;
constexpr uint8_t INIT_STATE_EXPANDING = 3;
constexpr uint8_t NAME_CHARACTERS = 32;
constexpr uint8_t CONFIG_NAME_CHARACTERS = 64;
constexpr uint16_t CONTROLLER_LUN_DISABLED = 512;
constexpr uint8_t DUP_ROLE_DUPLICATION = 2;
constexpr uint16_t ODA_COUNT = 256;
constexpr uint8_t SNAPSHOTS_PER_ODA = 64;
constexpr uint8_t HOSTS_PER_PORT = 255;

// Sections of the dump; 0 is the start.
enum : uint8_t {
    S_START = 0,
    S_ARRAY_TOTALS = 1,
    S_ARRAY = 2,
    S_MEMBER = 3,
    S_LD_TOTALS = 4,
    S_LD_ROW = 5,
    S_SAN_TOTALS = 6,
    S_MAPPING = 7,
    S_MAPPED_LUN = 8,
    S_SPARE_TOTALS = 9,
    S_SPARE = 10,
    S_UNUSED_TOTALS = 11,
    S_UNUSED_DRIVE = 12,
    S_FREE_TOTALS = 13,
    S_FREE_REGION = 14,
    S_SETTINGS = 15,
    S_FAILED_DRIVE = 16,
    S_BAD_BLOCK = 17,
    S_HOST_TOTALS = 18,
    S_HOST = 19,
    S_REGION_TOTALS = 20,
    S_REGION = 21,
    S_END = 22,
    S_SNAPSHOT_OVERVIEW = 23,
    S_SNAPSHOT_STATUS = 24,
    S_AVAILABLE_SNAPSHOTS = 26,
    S_INTERNAL_LDS = 27,
    S_VIRTUAL_LDS = 28,
    S_PORT_LUNS = 29,
};

struct DUMP_TYPE_ROW {
    uint8_t bType;
    uint8_t bFirst;
    uint8_t bEnd;
};
// Every other type is the whole configuration, with its header.
constexpr DUMP_TYPE_ROW TYPES[] = {
    {CONFIG_DUMP_ARRAYS, S_ARRAY_TOTALS, S_LD_TOTALS},
    {CONFIG_DUMP_FIRST_ARRAY, S_ARRAY, S_LD_TOTALS},
    {CONFIG_DUMP_LDS, S_LD_TOTALS, S_SAN_TOTALS},
    {CONFIG_DUMP_LD_ROWS, S_LD_ROW, S_SAN_TOTALS},
    {CONFIG_DUMP_SAN_MAPPINGS, S_SAN_TOTALS, S_SPARE_TOTALS},
    {CONFIG_DUMP_SAN_ROWS, S_MAPPING, S_SPARE_TOTALS},
    {CONFIG_DUMP_SETTINGS, S_SETTINGS, S_BAD_BLOCK},
    {CONFIG_DUMP_FAILED_DRIVES, S_FAILED_DRIVE, S_BAD_BLOCK},
    {CONFIG_DUMP_SPARES, S_SPARE_TOTALS, S_SETTINGS},
    {CONFIG_DUMP_UNUSED_DRIVES, S_UNUSED_TOTALS, S_END},
    {CONFIG_DUMP_HOSTS, S_HOST_TOTALS, S_END},
    {CONFIG_DUMP_FREE_CAPACITY, S_FREE_TOTALS, S_END},
    {CONFIG_DUMP_REGIONS, S_REGION_TOTALS, S_END},
    {CONFIG_DUMP_SNAPSHOTS, S_SNAPSHOT_OVERVIEW, S_SAN_TOTALS},
    {CONFIG_DUMP_SNAPSHOT_STATUS, S_SNAPSHOT_STATUS, S_SAN_TOTALS},
    {CONFIG_DUMP_AVAILABLE_SNAPSHOTS, S_AVAILABLE_SNAPSHOTS, S_SAN_TOTALS},
    {CONFIG_DUMP_INTERNAL_LDS, S_INTERNAL_LDS, S_SAN_TOTALS},
    {CONFIG_DUMP_VIRTUAL_LDS, S_VIRTUAL_LDS, S_SAN_TOTALS},
    {CONFIG_DUMP_PORT_LUNS, S_PORT_LUNS, S_SAN_TOTALS},
};

DUMP_POSITION s_sPosition;
uint8_t s_bType;

DUMP_POSITION& Pos() { return s_sPosition; }
// The scratch image, so that an edit shows as it will be committed; while
// the debug dump runs, the live image, which no edit touches.
bool ShowsLive() { return fGetDebugDumpWork() == TRUE; }
CONFIG_IMAGE& Image() { return ShowsLive() ? *pGetConfigImage() : *pGetScratchConfigImage(); }
const CONFIG_HEADER& Header() { return Image().sHeader; }
void Next(uint8_t bSection) { SetInfoDumpState(bSection); }
void End() { Next(static_cast<uint8_t>(Pos().wEndState)); }

// The detail lines: an advanced level above 1, or the debug dump.
bool Advanced() { return bGetAdvancedConfigModeLevel() > 1 || fGetDebugDumpWork() == TRUE; }
bool IsPrintable(char c) { return c >= 32 && c <= 126; }
uint32_t High8(uint64_t l) { return static_cast<uint32_t>(l >> 32) & 0xFF; }
uint32_t Low32(uint64_t l) { return static_cast<uint32_t>(l); }

const char* pszEnabled(uint8_t f) { return f == TRUE ? "Enabled\n" : "Disabled\n"; }
const char* pszYesNo(uint32_t dBit) { return dBit != 0 ? "Y" : "N"; }

// A name up to its first character outside the printable range.
void PrintName(const char* pc, uint32_t dMax) {
    for (uint32_t i = 0; i < dMax && IsPrintable(pc[i]); ++i) ConsolePrintf("%c", pc[i]);
}
// Every character of a fixed field, the unprintable ones as blanks.
void PrintField(const char* pc, uint32_t dLength) {
    for (uint32_t i = 0; i < dLength; ++i) ConsolePrintf("%c", IsPrintable(pc[i]) ? pc[i] : ' ');
}

// The array of the dumped image whose blocks hold an internal address; 255
// when none does.
uint8_t bArrayHolding(uint64_t lAddress) {
    const CONFIG_IMAGE& s = Image();
    const uint32_t dCount = std::min<uint32_t>(s.sHeader.wRankCount, MAX_RANKS);
    for (uint32_t r = 0; r < dCount; ++r) {
        const CONFIG_RANK_RECORD& sRank = s.asRank[r];
        if (lAddress >= sRank.lStartAddress && lAddress - sRank.lStartAddress <= sRank.lLastOffset) {
            return static_cast<uint8_t>(r);
        }
    }
    return 0xFF;
}

// A count of records bounded by the table that holds them.
uint32_t dBounded(uint32_t dCount, uint32_t dTable) { return std::min(dCount, dTable); }

// ---- header and arrays ----

void PrintHeader() {
    const CONFIG_HEADER& h = Header();
    const bool fScsi = bGetHostInterfaceType() == HOST_INTERFACE_SAS;
    ConsolePrintf("Configuration: ");
    PrintField(h.acConfigName, CONFIG_NAME_CHARACTERS);
    ConsolePrintf("\n");
    uint8_t abWwn[8];
    GetNvramControllerWwn(abWwn);
    ConsolePrintf(fScsi ? "Controller SN     :" : "Controller WWN    : ");
    PrintWwn(abWwn);
    ConsolePrintf("\n");
    ConsolePrintf(fScsi ? "Configuration SN  :" : "Configuration WWN : ");
    PrintWwn(h.abWriterWwn);
    ConsolePrintf("\n");
    if (bGetHostInterfaceType() == HOST_INTERFACE_SAS_TARGET) {
        for (uint8_t p = 0; p < 2; ++p) {
            const uint64_t l = lGetSASHostPortAddress(h.abWriterWwn, bGetControllerNumber(), p);
            ConsolePrintf(p == 0 ? "SAS Addr. P0      : %08x%08x\n" : "SAS Addr. P1      : %08x%08x\n",
                          static_cast<uint32_t>(l >> 32), Low32(l));
        }
    }
    ConsolePrintf("\nFirmware Version: %02x.%02x Build %c%c%c%c ", 0x03, 0x09, '0', '0', '2', '1');
    ConsolePrintf("Firmware OEM: %s\n", "Dunra");
}

void ArrayTotals() {
    const CONFIG_HEADER& h = Header();
    const uint32_t dCount = dBounded(h.wRankCount, MAX_RANKS);
    if (dCount == 0) {
        ConsolePrintf("Unconfigured\n");
        End();
        return;
    }
    ConsolePrintf("Total Arrays: %02d, ", dCount);
    if (h.fCacheFlushArraySet == TRUE && h.wCacheFlushArray < dCount &&
        Image().asRank[h.wCacheFlushArray].fCacheFlushArray == TRUE) {
        ConsolePrintf("Array %02d Used For Flushing Cache\n", h.wCacheFlushArray);
    } else {
        ConsolePrintf("No Arrays Used For Flushing Cache\n");
    }
    if (Advanced()) {
        for (uint32_t i = 0; i < dCount; ++i) {
            const CONFIG_RANK_RECORD& r = Image().asRank[i];
            const uint64_t lLength = r.lLastOffset + 1;
            const uint64_t lEnd = r.lStartAddress + lLength;
            ConsolePrintf("Array:%02d %02x%08x->%02x%08x:%02x%08x\n", i, High8(r.lStartAddress), Low32(r.lStartAddress),
                          High8(lEnd), Low32(lEnd), High8(lLength), Low32(lLength));
        }
    }
    ConsolePrintf("\n");
    Next(S_ARRAY);
}

bool IsParityLevel(uint8_t bLevel) {
    return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_6 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_N;
}

void PrintLevel(const CONFIG_RANK_RECORD& r) {
    switch (r.bRaidLevel) {
    case RAID_LEVEL_0: ConsolePrintf(" RAID 0"); break;
    case RAID_LEVEL_10: ConsolePrintf(" RAID 10"); break;
    case RAID_LEVEL_5: ConsolePrintf(" RAID 5"); break;
    case RAID_LEVEL_6: ConsolePrintf(" RAID 6"); break;
    case RAID_LEVEL_50: ConsolePrintf(r.bParityCount > 1 ? " RAID 50" : " RAID 5"); break;
    case RAID_LEVEL_N: ConsolePrintf(" %s", "RAID n"); break;
    default: break;
    }
}

void PrintInitialisation(const CONFIG_RANK_RECORD& r, uint8_t bRank) {
    ConsolePrintf(r.fInitPaused == TRUE ? ", Paused" : r.fInitialized == TRUE ? ", Re-Init" : ", Init");
    ConsolePrintf(" (%d%%)", bGetStripeInitPercent(bRank));
}

void PrintArrayState(const CONFIG_RANK_RECORD& r, uint8_t bRank) {
    const uint8_t bLevel = r.bRaidLevel;
    if (!IsParityLevel(bLevel) && bLevel != RAID_LEVEL_10) {
        if (r.bInitState == INIT_STATE_INITIALISING) PrintInitialisation(r, bRank);
        return;
    }
    if (r.bInitState == 0 && bGetRebuildRank() == bRank && fGetRebuildWork() == TRUE) {
        ConsolePrintf(", Rebuild (%d%%)", bGetRebuildPercent());
    } else if (r.bInitState == INIT_STATE_INITIALISING) {
        PrintInitialisation(r, bRank);
    } else if (r.bInitState == INIT_STATE_EXPANDING) {
        ConsolePrintf(", Expand (%d%%)", bGetExpansionPercent());
    } else if (bLevel == RAID_LEVEL_10) {
    } else if (fIsParityCheckInProgress() == TRUE && bGetParityCheckRank() == bRank) {
        ConsolePrintf(", Check (%d%%)", bGetParityCheckPercent());
    } else {
        ConsolePrintf(r.fInitialized == TRUE ? ", Initialized" : ", Trusted");
    }
}

void PrintReserve(uint8_t bReserve) {
    if (bReserve == 201) {
        ConsolePrintf(" (-99.9%%),");
    } else if (bReserve <= 100) {
        ConsolePrintf(" (-%d%%),", bReserve);
    } else {
        ConsolePrintf(" (-0.%02d%%),", bReserve - 100);
    }
}

void PrintChunk(uint16_t wChunk) {
    if (wChunk <= 1024) {
        ConsolePrintf(" %dK", wChunk / 2);
    } else if (wChunk == 2048) {
        ConsolePrintf(" 1M");
    } else if (wChunk == 4096) {
        ConsolePrintf(" 2M");
    }
    ConsolePrintf(" Chunk");
}

void PrintCachePolicy(const CONFIG_RANK_RECORD& r) {
    const uint8_t b = r.bCachePolicy;
    ConsolePrintf("W/B Cache: ");
    if ((b & 0x01) == 0) {
        ConsolePrintf("No\n");
        return;
    }
    ConsolePrintf("Y");
    if (Header().fSingleControllerMode != TRUE) ConsolePrintf("  Mirror:%s", pszYesNo(b & 0x02));
    if (r.bRaidLevel != RAID_LEVEL_0) ConsolePrintf("  Fault Tolerant:%s", pszYesNo(b & 0x10));
    if (fIsLinePowerMode() != TRUE && fGetNvramOptionBit2() != TRUE) ConsolePrintf("  Battery:%s", pszYesNo(b & 0x08));
    if (r.wWriteThreshold != 0) {
        ConsolePrintf("  Threshold: %d MB", 1u << (std::min<uint16_t>(r.wWriteThreshold, 31) - 1));
    } else {
        ConsolePrintf("  Threshold: 0 MB");
    }
    ConsolePrintf("\nDisable Writethrough Transition when Write Cache Full:%s", pszYesNo(b & 0x40));
    ConsolePrintf("\n");
}

void PrintReadAhead(uint16_t wSetting) {
    ConsolePrintf("R/A Cache: ");
    switch (wSetting) {
    case 1: ConsolePrintf("256 KB\n"); break;
    case 2: ConsolePrintf("512 KB\n"); break;
    case 3: ConsolePrintf("1 MB\n"); break;
    case 4: ConsolePrintf("2 MB\n"); break;
    case 15: ConsolePrintf("Disabled\n"); break;
    default: ConsolePrintf("Automatic\n"); break;
    }
}

void Array() {
    DUMP_POSITION& p = Pos();
    if (p.wIndex >= dBounded(Header().wRankCount, MAX_RANKS)) {
        Next(S_LD_TOTALS);
        return;
    }
    const uint8_t bRank = static_cast<uint8_t>(p.wIndex);
    const CONFIG_RANK_RECORD& r = Image().asRank[bRank];
    ConsolePrintf("Array:%02d", bRank);
    PrintLevel(r);
    PrintArrayState(r, bRank);
    ConsolePrintf(r.bDriveCount > 1 ? ", %02d Drives" : ", 1 Drive", r.bDriveCount);
    if (IsParityLevel(r.bRaidLevel)) ConsolePrintf(" (%d + %d)", r.bDriveCount - r.bParityCount, r.bParityCount);
    PrintReserve(r.bCapacityReserve);
    PrintChunk(r.wChunkSize);
    ConsolePrintf(", %d GB\n", r.wCapacityGb);
    PrintCachePolicy(r);
    PrintReadAhead(r.wReadAhead);
    if (IsPrintable(r.acArrayName[0])) {
        ConsolePrintf("Array Name: ");
        PrintName(r.acArrayName, NAME_CHARACTERS);
        ConsolePrintf("\n");
    }
    ShowDriveListHeader(FALSE);
    p.wSubIndex = 0;
    Next(S_MEMBER);
}

void Member() {
    DUMP_POSITION& p = Pos();
    const CONFIG_RANK_RECORD& r = Image().asRank[p.wIndex];
    const uint32_t dMembers = dBounded(r.bDriveCount, MAX_RANK_MEMBERS);
    if (p.wSubIndex >= dMembers) {
        ConsolePrintf("\n");
        if (s_bType == CONFIG_DUMP_FIRST_ARRAY) {
            End();
        } else {
            ++p.wIndex;
            Next(S_ARRAY);
        }
        return;
    }
    const uint8_t bMember = static_cast<uint8_t>(p.wSubIndex++);
    ConsolePrintf("%02d  ", bMember);
    bool fFound = false;
    if (fIsNonZeroWwn(r.aabMemberWwn[bMember]) == TRUE) {
        fFound = ShowDriveListEntry(r.aabMemberWwn[bMember], FALSE) == STATUS_OK;
    } else {
        ConsolePrintf("---- ---------------- ----------   ---- --- -------- --- -- --- -- -- --");
    }
    const uint8_t bState = r.abMemberState[bMember];
    if (bState == MEMBER_REBUILDING) {
        ConsolePrintf(" RG\n");
    } else if (bState != 0) {
        ConsolePrintf(" FL\n");
    } else {
        ConsolePrintf(fFound ? " OK\n" : " NA\n");
    }
}

// ---- logical drives ----

void LdTotals() {
    DUMP_POSITION& p = Pos();
    p.wIndex = p.wSubIndex = 0;
    if (fIsConfigurationChangeBlocked() == TRUE) ConsolePrintf("Automatic Logical Drive Configuration\n");
    if (Header().wLdCount == 0) {
        ConsolePrintf("No Logical Drives Configured\n\n");
        Next(S_SAN_TOTALS);
        return;
    }
    ConsolePrintf("Total Logical Drives: %02d\n\n", Header().wLdCount);
    Next(S_LD_ROW);
}

void PrintAvailability(const char* pszFormat, const char* psz1, const char* psz2, const char* psz3,
                       uint8_t bAvailability, uint8_t bBit) {
    ConsolePrintf(pszFormat, psz1, psz2, psz3);
    ConsolePrintText((bAvailability & bBit) != 0 ? "Enabled\n" : "Disabled\n");
}

void PrintLdAvailability(const CONFIG_LD_RECORD& l) {
    const uint8_t b = l.bAvailability;
    if (dGetOemCode() == OEM_PATH_AVAILABILITY) {
        switch (b) {
        case 0: ConsolePrintf("No Availability Set\n\n"); break;
        case 1: ConsolePrintf("C0P0 Primary Path, C1P0 Secondary Path\n\n"); break;
        case 2: ConsolePrintf("C0P1 Primary Path, C1P1 Secondary Path\n\n"); break;
        case 4: ConsolePrintf("C1P0 Primary Path, C0P0 Secondary Path\n\n"); break;
        case 8: ConsolePrintf("C1P1 Primary Path, C0P1 Secondary Path\n\n"); break;
        default: ConsolePrintf("Invalid Availability (%02x)\n\n", b); break;
        }
        return;
    }
    const bool fBoardB6 = fGetBoardFlagB6() == TRUE;
    const uint8_t bMode = bGetHostPortMode();
    for (uint8_t bPort = 0; bPort < 2; ++bPort) {
        if (bPort == 1 && fIsNvramOption1Set() == TRUE) break;
        const char* pszPort = bPort == 0 ? "0" : "1";
        const uint8_t bBit = static_cast<uint8_t>(1u << bPort);
        if (!fBoardB6) {
            PrintAvailability("Controller Port %s Availability: ", pszPort, "", "", b, bBit);
        } else if (bMode != 1) {
            PrintAvailability("Controller %s Port %s Availability: ", "0", pszPort, "", b, bBit);
        } else {
            PrintAvailability("Controller %s/%s Port %s Availability: ", "0", "1", pszPort, b, bBit);
        }
    }
    if (fBoardB6 && bMode == 0) {
        PrintAvailability("Controller %s Port %s Availability: ", "1", "0", "", b, 0x04);
        PrintAvailability("Controller %s Port %s Availability: ", "1", "1", "", b, 0x08);
    }
    if (l.bLdUseFlags != 0) {
        ConsolePrintf("LD Flagged For Internal Use Only   : Yes\n");
        if (l.bDupRole == DUP_ROLE_DUPLICATION) ConsolePrintf("LD Flagged For Duplication Use Only: Yes\n");
    } else {
        ConsolePrintf("LD Flagged For Internal Use Only  : No\n");
    }
    ConsolePrintf("\n");
}

void LdRow() {
    DUMP_POSITION& p = Pos();
    if (p.wIndex >= dBounded(Header().wLdCount, MAX_LDS)) {
        ConsolePrintf("\n");
        Next(S_SAN_TOTALS);
        return;
    }
    const CONFIG_LD_RECORD& l = Image().asLd[p.wIndex];
    const uint32_t dRegions = dBounded(l.bSegmentCount, MAX_LD_SEGMENTS);
    if (p.wSubIndex == 0) {
        ConsolePrintf("LD:%03d Capacity:%4dGB Regions:%02d Mapped to:%03d Ref:%03d", p.wIndex, l.wCapacityGb,
                      l.bSegmentCount, l.wDefaultLun, l.wLdId & 0x1FF);
        ConsolePrintf(" Blk:%d", l.wBlockSize);
        if (Advanced()) {
            ConsolePrintf(bGetLogicalDriveBothControllers(p.wIndex) == TRUE ? "  Shared\n" : "  Not Shared\n");
        } else {
            ConsolePrintf("\n");
        }
        if (IsPrintable(l.acLdName[0])) {
            ConsolePrintf("LD Name: ");
            PrintName(l.acLdName, NAME_CHARACTERS);
            ConsolePrintf("\n");
        }
        ++p.wSubIndex;
        return;
    }
    if (p.wSubIndex <= dRegions) {
        const uint32_t r = p.wSubIndex - 1u;
        const LD_SEGMENT& s = l.asSegment[r];
        ConsolePrintf(" REG:%02d Capacity:%4dGB Array:%02d", r, s.wSizeGb, bArrayHolding(s.lStart));
        if (Advanced()) {
            uint32_t dLba = 0;
            for (uint32_t e = 0; e < r; ++e) dLba += Low32(l.asSegment[e].lLastOffset) + 1;
            ConsolePrintf(" LBA:%08x", dLba);
            ConsolePrintf(" (%02x%08x->%02x%08x:%08x)\n", High8(s.lStart), Low32(s.lStart), High8(s.lEnd), Low32(s.lEnd),
                          Low32(s.lLastOffset));
        } else {
            ConsolePrintf("\n");
        }
        ++p.wSubIndex;
        return;
    }
    PrintLdAvailability(l);
    p.wSubIndex = 0;
    ++p.wIndex;
}

// ---- SAN LUN mappings ----

void SanTotals() {
    Pos().wIndex = 0;
    if (fIsConfigurationChangeBlocked() == TRUE) {
        Next(S_SPARE_TOTALS);
        return;
    }
    if (Header().wSanMapCount == 0) {
        ConsolePrintf("No San Mappings Configured\n\n");
        Next(S_SPARE_TOTALS);
        return;
    }
    ConsolePrintf("Total SAN Mappings: %02d\n\n", Header().wSanMapCount);
    Next(S_MAPPING);
}

void Mapping() {
    DUMP_POSITION& p = Pos();
    if (p.wIndex >= dBounded(Header().wSanMapCount, MAX_SAN_MAPS)) {
        ConsolePrintf("\n");
        Next(S_SPARE_TOTALS);
        return;
    }
    const SAN_LUN_MAP_ENTRY& m = Image().asSanMap[p.wIndex];
    const uint8_t bHostType = bGetHostInterfaceType();
    if (bHostType == HOST_INTERFACE_FC) {
        ConsolePrintf("Mapping Name                     Node Name        Port Name        Port\n");
    } else if (bHostType == HOST_INTERFACE_SAS_TARGET) {
        ConsolePrintf("Mapping Name                     SAS Address                       Port\n");
    } else {
        ConsolePrintf("Mapping Name                     Initiator ID                      Port\n");
    }
    ConsolePrintf("-----------------------------------------------------------------------\n");
    PrintField(m.acMapName, NAME_CHARACTERS);
    if (bHostType == HOST_INTERFACE_FC) {
        ConsolePrintf(" ");
        PrintWwn(m.abNodeWwn);
        ConsolePrintf(" ");
        PrintWwn(m.abPortWwn);
    } else if (bHostType == HOST_INTERFACE_SAS_TARGET) {
        ConsolePrintf(" ");
        PrintWwn(m.abNodeWwn);
    } else {
        ConsolePrintf(" %02d", m.abNodeWwn[0]);
    }
    ConsolePrintf("\n");
    if (m.wMapControllerLun < CONTROLLER_LUN_DISABLED) {
        ConsolePrintf("Controller LUN: %03d\n", m.wMapControllerLun);
    } else {
        ConsolePrintf("Controller LUN: Disabled\n");
    }
    p.wSubIndex = 0;
    Next(S_MAPPED_LUN);
}

// One controller's ports of a LUN map word: both, one, or neither.
void PrintControllerPorts(const char* pszController, uint16_t wWord, uint16_t wPort0, uint16_t wPort1) {
    const bool f0 = (wWord & wPort0) != 0;
    const bool f1 = (wWord & wPort1) != 0;
    if (f0 && f1) {
        ConsolePrintf("C%s:%s&%s", pszController, "0", "1");
    } else if (f0 || f1) {
        ConsolePrintf("C%s:%s  ", pszController, f0 ? "0" : "1");
    } else {
        ConsolePrintf("C%s:---", pszController);
    }
}

void MappedLun() {
    DUMP_POSITION& p = Pos();
    const SAN_LUN_MAP_ENTRY& m = Image().asSanMap[p.wIndex];
    uint32_t dLun = p.wSubIndex;
    while (dLun < MAX_HOST_LUNS && m.awLunMap[dLun] == LUN_MAP_NONE) ++dLun;
    if (dLun >= MAX_HOST_LUNS) {
        ConsolePrintf("\n");
        ++p.wIndex;
        Next(S_MAPPING);
        return;
    }
    const uint16_t w = m.awLunMap[dLun];
    ConsolePrintf((w & LUN_MAP_VIRTUAL) != 0 ? "Snapshot Virtual LD %03d Presented to Host as LUN %03d   "
                                             : "Logical Drive %03d Presented to Host as LUN %03d   ",
                  w & LUN_MAP_LD_MASK, dLun);
    ConsolePrintf((w & 0x8000) != 0 ? "Read Only Access   " : "Read/Write Access ");
    if (bGetHostPortMode() == 1) {
        const bool f0 = (w & 0x4000) != 0;
        const bool f1 = (w & 0x2000) != 0;
        if (f0 && f1) {
            ConsolePrintf(" %s&%s", "0", "1");
        } else if (f0 || f1) {
            ConsolePrintf("   %s", f0 ? "0" : "1");
        } else {
            ConsolePrintf(" None");
        }
    } else if ((w & 0x7800) == 0) {
        ConsolePrintf("None");
    } else {
        PrintControllerPorts("0", w, 0x4000, 0x2000);
        ConsolePrintf(",");
        PrintControllerPorts("1", w, 0x1000, 0x0800);
    }
    ConsolePrintf("\n");
    p.wSubIndex = static_cast<uint16_t>(dLun + 1);
}

// ---- spares, unused drives, free capacity ----

void SpareTotals() {
    Pos().wIndex = 0;
    if (Header().wSpareCount == 0) {
        ConsolePrintf("No Hot Spare Drives Configured\n\n");
        Next(S_SETTINGS);
        return;
    }
    ConsolePrintf("Total Hot Spare Drives: %02d\n", Header().wSpareCount);
    ShowDriveListHeader(FALSE);
    Next(S_SPARE);
}

void Spare() {
    DUMP_POSITION& p = Pos();
    if (p.wIndex >= dBounded(Header().wSpareCount, MAX_SPARES)) {
        ConsolePrintf("\n");
        p.wIndex = 0;
        Next(S_SETTINGS);
        return;
    }
    ConsolePrintf("%02d  ", p.wIndex);
    const uint8_t bFound = ShowDriveListEntry(Image().asSpare[p.wIndex].abWwn, FALSE);
    ConsolePrintf(bFound == STATUS_OK ? " OK\n" : " NA\n");
    ++p.wIndex;
}

void UnusedTotals() {
    Pos().wIndex = 0;
    const uint8_t bCount = pGetDriveSlotTables()->bCount;
    if (bCount == 0) {
        ConsolePrintf("No Unused Drives\n");
        End();
        return;
    }
    ConsolePrintf("Total Unused Drives: %02d\n\n", bCount);
    ShowDriveListHeader(FALSE);
    Next(S_UNUSED_DRIVE);
}

void UnusedDrive() {
    DUMP_POSITION& p = Pos();
    const DRIVE_SLOT_TABLES& t = *pGetDriveSlotTables();
    if (p.wIndex >= dBounded(t.bCount, DRIVE_SLOTS)) {
        ConsolePrintf("\n");
        End();
        return;
    }
    uint8_t abAddress[8];
    FillWwn(abAddress, 0);
    ConsolePrintf("%03d ", p.wIndex);
    (void)bGetSASAddressOfTarget(abAddress, t.abDrive[p.wIndex]);
    if (ShowDriveListEntry(abAddress, FALSE) != STATUS_OK) {
        ConsolePrintf(" NA\n");
    } else {
        ConsolePrintf(fIsDriveWwnFailed(abAddress) == TRUE ? " FL\n" : " OK\n");
    }
    ++p.wIndex;
}

// Totals of a region table, or its emptiness.
bool PrintRegionTotals(const SEGMENT_MAP& t, const char* pszNone) {
    DUMP_POSITION& p = Pos();
    p.wIndex = p.wSubIndex = 0;
    if (t.dEntryCount == 0) {
        ConsolePrintText(pszNone);
        End();
        return false;
    }
    ConsolePrintf("Total Capacity : %05u GB\n", t.dUsedUnits + t.dFreeUnits);
    ConsolePrintf("Used Capacity  : %05u GB\n", t.dUsedUnits);
    ConsolePrintf("Unused Capacity: %05u GB\n", t.dFreeUnits);
    ConsolePrintf("\n");
    return true;
}

void PrintExtent(const SEGMENT_MAP_ENTRY& e) {
    ConsolePrintf(" (%02x%08x->%02x%08x %02x%08x)\n", High8(e.lStart), Low32(e.lStart), High8(e.lEnd), Low32(e.lEnd),
                  High8(e.lLastOffset), Low32(e.lLastOffset));
}

void FreeTotals() {
    if (PrintRegionTotals(*pGetLdWorkTableA(), "No Unused Capacity\n")) Next(S_FREE_REGION);
}

void FreeRegion() {
    DUMP_POSITION& p = Pos();
    const SEGMENT_MAP& t = *pGetLdWorkTableB();
    if (p.wIndex >= dBounded(t.dEntryCount, SEGMENT_MAP_ENTRIES)) {
        ConsolePrintf("\n");
        End();
        return;
    }
    const SEGMENT_MAP_ENTRY& e = t.asEntry[p.wIndex];
    ConsolePrintf("Region:%03u Capacity:%04u GB Array:%02u", p.wIndex, e.wSizeUnits, e.wRank);
    if (Advanced()) {
        PrintExtent(e);
    } else {
        ConsolePrintf("\n");
    }
    ++p.wIndex;
}

void RegionTotals() {
    if (PrintRegionTotals(*pGetLdWorkTableA(), "No Regions Defined\n")) Next(S_REGION);
}

void Region() {
    DUMP_POSITION& p = Pos();
    const SEGMENT_MAP& t = *pGetLdWorkTableA();
    if (p.wIndex >= dBounded(t.dEntryCount, SEGMENT_MAP_ENTRIES)) {
        ConsolePrintf("\n");
        End();
        return;
    }
    const SEGMENT_MAP_ENTRY& e = t.asEntry[p.wIndex];
    ConsolePrintf("Reg:%03u Capacity:%04u GB Array:%02u", p.wIndex, e.wSizeUnits, e.wRank);
    if (static_cast<uint16_t>(e.wLd) == 0xFFFF) {
        ConsolePrintf(" Unused    ");
    } else {
        ConsolePrintf(" LUN:%03u:%02u", static_cast<uint16_t>(e.wLd), static_cast<uint16_t>(e.wSegment));
    }
    if (Advanced()) {
        PrintExtent(e);
    } else {
        ConsolePrintf("\n");
    }
    ++p.wIndex;
}

// ---- controller settings ----

void PrintFibrePort(const char* pszPort, uint8_t bPort) {
    CONFIG_HEADER& h = Image().sHeader;
    const uint8_t bHard = h.abPortHardAddress[bPort];
    ConsolePrintf("Controller Port %s Hard Address:       ", pszPort);
    if ((bHard & 0x80) != 0 && (bHard & 0x7F) <= 125) {
        ConsolePrintf("%03d\n", bHard & 0x7F);
    } else {
        ConsolePrintf("Disabled\n");
    }
    ConsolePrintf("Controller Port %s Connection Options: ", pszPort);
    switch (h.abPortConnection[bPort]) {
    case 0: ConsolePrintf("Automatic\n"); break;
    case 1: ConsolePrintf("Point to Point Only\n"); break;
    case 2: ConsolePrintf("Loop Only\n"); break;
    default: break;
    }
    ConsolePrintf("Controller Port %s Data Rate:          ", pszPort);
    switch (h.abPortDataRate[bPort]) {
    case 0: ConsolePrintf("Automatic\n"); break;
    case 1: ConsolePrintf("1 Gb/s\n"); break;
    case 2: ConsolePrintf("2 Gb/s\n"); break;
    case 3:
        if (fIsQL24xx() == TRUE) {
            ConsolePrintf("4 Gb/s\n");
        } else {
            // Older chips cannot run 4 Gb/s: the edit goes back to automatic.
            ConsolePrintf("4 Gb/s INVALID - reset to Auto\n");
            if (!ShowsLive()) h.abPortDataRate[bPort] = 0;
        }
        break;
    default: break;
    }
}

void PrintScsiPort(const char* pszPort, uint8_t bPort) {
    const CONFIG_HEADER& h = Header();
    const uint8_t bId = h.abPortHardAddress[bPort];
    ConsolePrintf("Controller Port %s SCSI ID:       ", pszPort);
    if (bId <= 16) {
        ConsolePrintf("%03d\n", bId);
    } else {
        ConsolePrintf("Illegal SCSI ID \n");
    }
    ConsolePrintf("Controller Port %s Data Rate:     ", pszPort);
    switch (h.abPortDataRate[bPort]) {
    case 0: ConsolePrintf("80 MB/sec \n"); break;
    case 1: ConsolePrintf("160 MB/sec \n"); break;
    case 2: ConsolePrintf(bPort == 0 ? "320 MB/sec\n" : "320 MB/sec \n"); break;
    default: break;
    }
}

void Settings() {
    const CONFIG_HEADER& h = Header();
    const uint8_t bHostType = bGetHostInterfaceType();
    if (bHostType == HOST_INTERFACE_FC) {
        PrintFibrePort("0", 0);
        if (fIsNvramOption1Set() != TRUE) {
            PrintFibrePort("1", 1);
            ConsolePrintf("Controller Port Different Node Name:  %s", pszEnabled(h.fDifferentNodeName));
        }
    } else if (bHostType == HOST_INTERFACE_SAS_TARGET) {
        PrintSASPortSettings("0", h.abPortConnection[0], h.abPortDataRate[0]);
        PrintSASPortSettings("1", h.abPortConnection[1], h.abPortDataRate[1]);
    } else {
        PrintScsiPort("0", 0);
        PrintScsiPort("1", 1);
    }
    if (h.wControllerLun < CONTROLLER_LUN_DISABLED) {
        ConsolePrintf("\nController LUN:                 %03d\n", h.wControllerLun);
    } else {
        ConsolePrintf("\nController LUN:                 Disabled\n");
    }
    ConsolePrintf("\nAuto Rebuild:                   %s", pszEnabled(h.fAutoRebuild));
    ConsolePrintf("Rebuild Priority:               %02d %%\n", h.bRebuildPriority);
    ConsolePrintf("Automatic Hot Spare:            %s", pszEnabled(h.fAutoHotSpare));
    ConsolePrintf("Initialization Priority:        %02d %%\n", h.bInitPriority);
    if (fGetBoardFlagB6() == TRUE) ConsolePrintf("\nSingle Controller Mode:         %s", pszEnabled(h.fSingleControllerMode));
    ConsolePrintf("Background Verification:        %s", pszEnabled(h.fBackgroundVerify));
    ConsolePrintf("Controller Monitor SES:         %s", pszEnabled(h.fControllerMonitorSes));
    const bool fShowAll = bGetAdvancedConfigModeLevel() > 3 || fGetDebugDumpWork() == TRUE;
    if (fShowAll || h.fMultipleStripeAccess != 0) {
        ConsolePrintf("\n");
        ConsolePrintf("Multiple Stripe Access:         %s", pszEnabled(h.fMultipleStripeAccess));
    }
    if (fShowAll || h.fThreadBalance != 0) ConsolePrintf("Target Command Thread Balance:  %s", pszEnabled(h.fThreadBalance));
    PrintTqmSettings();
    ConsolePrintf("Sequential Write Support Level: ");
    switch (h.bSequentialWriteLevel) {
    case 1: ConsolePrintf("Off\n"); break;
    case 3: ConsolePrintf("Medium\n"); break;
    case 4: ConsolePrintf("High\n"); break;
    default: ConsolePrintf("Low\n"); break;
    }
    ConsolePrintf("\n\n");
    Pos().wIndex = Pos().wSubIndex = 0;
    Next(S_FAILED_DRIVE);
}

// ---- failed drives and bad blocks ----

void FailedDrive() {
    DUMP_POSITION& p = Pos();
    const CONFIG_IMAGE& sLive = *pGetConfigImage();
    if (p.wIndex >= dBounded(sLive.sHeader.wFailedDriveCount, MAX_FAILED_DRIVES)) {
        ConsolePrintf("\n");
        p.wIndex = 0;
        Next(S_BAD_BLOCK);
        return;
    }
    const FAILED_DRIVE_ENTRY& f = sLive.asFailedDrive[p.wIndex];
    ConsolePrintf("Failed Drive:%02d ", p.wIndex);
    PrintDriveIdAndSlot(f.abWwn, f.abFailure[4]);
    ConsolePrintf("\n");
    if (f.abFailure[0] == 0 && f.abFailure[1] == 0) {
        ConsolePrintf("No Failure Information\n\n");
    } else if (f.abFailure[0] == 0x99 && f.abFailure[1] == 0x22) {
        ConsolePrintf("Drive Timeout\n\n");
    } else {
        ConsolePrintf("Command: %02x Sense Key: %02x Ext Sense: %02x\n\n", f.abFailure[0], f.abFailure[1],
                      f.abFailure[2]);
    }
    ++p.wIndex;
}

void BadBlock() {
    DUMP_POSITION& p = Pos();
    if (p.wIndex >= dBounded(Header().wBadBlockCount, MAX_BAD_BLOCKS)) {
        ConsolePrintf("\n");
        p.wIndex = 0;
        End();
        return;
    }
    if (p.wIndex == 0) ConsolePrintf("\nBad Block List:\n");
    const BAD_BLOCK_ENTRY& b = Image().asBadBlock[p.wIndex];
    ConsolePrintf("%04d Array:%02d LBA:%02x%02x%02x%02x%02x%02x%02x%02x Block Count:%04x\n", p.wIndex, b.bRank, 0, 0, 0,
                  b.abStart[0], b.abStart[1], b.abStart[2], b.abStart[3], b.abStart[4], b.wLength);
    ++p.wIndex;
}

// ---- hosts ----

void HostTotals() {
    Pos().wIndex = 0;
    const uint16_t wHosts = wGetHostListCount();
    if (wHosts == 0) {
        ConsolePrintf("No Logged-In Hosts\n");
        End();
        return;
    }
    ConsolePrintf("Total Logged-In Hosts: %02d\n\n", wHosts);
    PrintHostListHeader();
    Next(S_HOST);
}

void Host() {
    DUMP_POSITION& p = Pos();
    if (p.wIndex >= dBounded(wGetHostListCount(), HOST_LIST_MAX)) {
        ConsolePrintf("\n");
        End();
        return;
    }
    ConsolePrintf("%03d ", p.wIndex);
    if (bPrintHostListEntry(p.wIndex) != STATUS_OK) {
        ConsolePrintf("Error displaying connected host list\n");
        End();
        return;
    }
    ++p.wIndex;
}

// ---- data services ----

void SnapshotOverview() {
    PrintSnapshotOverview();
    Next(S_SAN_TOTALS);
}

void SnapshotStatus() {
    ConsolePrintf("Snapshot Status\n");
    PrintSnapshotStatus();
    ConsolePrintf("\n");
    Next(S_SAN_TOTALS);
}

// A share in tenths of a percent: what is left of the capacity, taken
// from 1000.  No capacity has no share.
uint32_t dTenthsUsed(uint64_t lCapacity, uint64_t lUsed) {
    if (lCapacity == 0) return 0;
    const uint64_t lFree = lCapacity > lUsed ? lCapacity - lUsed : 0;
    return static_cast<uint32_t>(1000 - lFree * 1000 / lCapacity);
}

void PrintOdaSnapshots(uint16_t wOda, uint16_t wLd, uint16_t wInternalLun) {
    uint32_t dStripe = 0;
    (void)bGetOdaStripeSize(wInternalLun, &dStripe);
    uint64_t lCapacity = 0;
    (void)bGetLogicalDriveCapacity(wInternalLun, &lCapacity);
    for (uint8_t s = 0; s < SNAPSHOTS_PER_ODA; ++s) {
        DATE_TIME sTaken{};
        uint32_t adStripes[4] = {};
        if (fGetSnapshotDetails(wInternalLun, s, &sTaken, adStripes) != TRUE) continue;
        ConsolePrintf("   %3d       %2d    ", wLd, s);
        PrintDateTime(&sTaken);
        ConsolePrintf(" %3d  ", wOda);
        if (fIsOdaInvalid(wOda) != TRUE) {
            const uint32_t dProtected = dTenthsUsed(lCapacity, static_cast<uint64_t>(adStripes[0]) * dStripe);
            const uint32_t dWritten = dTenthsUsed(lCapacity, static_cast<uint64_t>(adStripes[1]) * dStripe);
            ConsolePrintf("   %3d.%d%%    ", dProtected / 10, dProtected % 10);
            ConsolePrintf("   %3d.%d%%      ", dWritten / 10, dWritten % 10);
            uint32_t dId = 0;
            if (fGetSnapshotId(wInternalLun, s, &dId) == TRUE) ConsolePrintf("  %d", dId);
            ConsolePrintf("\n");
        } else {
            ConsolePrintf(fIsOdaOutOfSpace(wOda) == TRUE ? "Invalid - ran out of space\n" : "Invalid\n");
        }
    }
    const uint16_t wRemaining = wGetOdaRemainingCapacity(wOda);
    ConsolePrintf("\n  Remaining ODA %d Storage Capacity %d.%d%% \n", wOda, wRemaining / 10, wRemaining % 10);
}

void AvailableSnapshots() {
    ConsolePrintf("Currently Available Snapshots:\n\n");
    ConsolePrintf("SnappedLD  SnapNo  Time_Snapshot_Taken       ODA  SrcProtected  SnapWritten  ID\n");
    ConsolePrintf("---------  ------  ------------------------  ---  ------------  -----------  --\n");
    for (uint16_t wOda = 0; wOda < ODA_COUNT; ++wOda) {
        uint16_t wLd = 0;
        if (fGetOdaAssignedLd(wOda, &wLd) != TRUE) {
            ConsolePrintf("     ODA %d not in use.\n", wOda);
            continue;
        }
        uint16_t wInternalLun = 0;
        if (fGetODLunNo(wOda, &wInternalLun) == TRUE) PrintOdaSnapshots(wOda, wLd, wInternalLun);
    }
    ConsolePrintf("\n");
    Next(S_SAN_TOTALS);
}

void InternalLds() {
    ConsolePrintf("Internally Used Logical Drives:\n\n");
    ConsolePrintf(" Log Drv    Capacity\n");
    bool fAny = false;
    for (uint32_t l = 0; l < dBounded(Header().wLdCount, MAX_LDS); ++l) {
        const CONFIG_LD_RECORD& r = Image().asLd[l];
        if (r.bLdUseFlags == 0) continue;
        fAny = true;
        ConsolePrintf("    %d     ", l);
        if (l <= 9) ConsolePrintf(" ");
        ConsolePrintf("%4dGB \n", r.wCapacityGb);
    }
    if (!fAny) ConsolePrintf(" No Internally Used Logical Drives Defined\n");
    ConsolePrintf("\n");
    Next(S_SAN_TOTALS);
}

void VirtualLds() {
    ConsolePrintf("\nCurrently defined Virtual LDs:\n\n");
    ConsolePrintf(" ODA     Snapshotted LD     Snapshot No    Virt LD     Enabled   Read Only\n");
    for (uint16_t wOda = 0; wOda < ODA_COUNT; ++wOda) {
        uint16_t wInternalLun = 0;
        uint16_t wLd = 0;
        if (fGetODLunNo(wOda, &wInternalLun) != TRUE || fGetOdaAssignedLd(wOda, &wLd) != TRUE) continue;
        for (uint8_t s = 0; s < SNAPSHOTS_PER_ODA; ++s) {
            uint16_t wVirtual = 0;
            uint8_t fEnabled = FALSE;
            uint8_t fReadOnly = FALSE;
            if (bGetSnapshotEntryInfo(wLd, s, &wVirtual, &fEnabled, &fReadOnly) != STATUS_OK || fEnabled != TRUE) {
                continue;
            }
            ConsolePrintf("  %d", wOda);
            ConsolePrintf("           %d      ", wLd);
            ConsolePrintf("           %d      ", s);
            ConsolePrintf("       %02d   ", wVirtual);
            ConsolePrintf(fReadOnly == TRUE ? "       Yes  " : "       No   ");
            ConsolePrintf("    Yes\n");
        }
    }
    ConsolePrintf("\n");
    Next(S_SAN_TOTALS);
}

void PortLuns() {
    ConsolePrintf("  Logical Drive     Loop Id      Port     Mapped LUN\n");
    for (uint16_t wLun = 0; wLun < MAX_HOST_LUNS; ++wLun) {
        for (uint8_t bPort = 1; bPort <= 2; ++bPort) {
            for (uint16_t wHost = 0; wHost < HOSTS_PER_PORT; ++wHost) {
                uint16_t wLd = 0;
                const uint8_t bFound = bLookupPortLun(bPort, wLun, wHost, &wLd);
                if (bFound == 1) {
                    ConsolePrintf("       %03d           0x%02x        %03d          %03d\n", wLun, wHost, bPort, wLd);
                } else if (bFound == 2) {
                    ConsolePrintf("       %03d           0x%02x        %03d          %03d  (Snapshot)\n", wLun, wHost,
                                  bPort, wLd);
                }
            }
        }
    }
    ConsolePrintf("\n");
    Next(S_SAN_TOTALS);
}

// ---- start and end ----

void Start(uint8_t bType) {
    DUMP_POSITION& p = Pos();
    p.wIndex = p.wSubIndex = 0;
    p.wEndState = S_END;
    if (bType == CONFIG_DUMP_FAILED_DRIVES && pGetConfigImage()->sHeader.wFailedDriveCount == 0) {
        ConsolePrintf("No Failed Drives Listed\n");
        Next(S_END);
        return;
    }
    if (bType == CONFIG_DUMP_FREE_CAPACITY || bType == CONFIG_DUMP_REGIONS) {
        // The region tables as the scratch image stands now.
        BuildLdFreeSpaceMap(&Image(), TRUE, pGetLdWorkTableA());
        BuildLdFreeSpaceMap(&Image(), FALSE, pGetLdWorkTableB());
    }
    for (const DUMP_TYPE_ROW& r : TYPES) {
        if (r.bType != bType) continue;
        p.wEndState = r.bEnd;
        Next(r.bFirst);
        return;
    }
    PrintHeader();
    Next(S_ARRAY_TOTALS);
}

void Finish(uint8_t bType) {
    ConsolePrintf(bType == CONFIG_DUMP_ALL ? "\nEnd Of Configuration\n\n" : "\n\n");
    if (fGetDebugDumpWork() != TRUE) ReturnToMenuAfterDump();
    SetInfoDumpRequest(FALSE);
    SetInfoDumpType(0);
    SetInfoDumpState(0);
}

using SECTION = void (*)();
// The producers by section; a section no type reaches ends the dump.
constexpr SECTION SECTIONS[] = {
    nullptr,      ArrayTotals,      Array,        Member,       LdTotals,        LdRow,
    SanTotals,    Mapping,          MappedLun,    SpareTotals,  Spare,           UnusedTotals,
    UnusedDrive,  FreeTotals,       FreeRegion,   Settings,     FailedDrive,     BadBlock,
    HostTotals,   Host,             RegionTotals, Region,       nullptr,         SnapshotOverview,
    SnapshotStatus, nullptr,        AvailableSnapshots, InternalLds, VirtualLds, PortLuns,
};

}  // namespace

DUMP_POSITION* psGetDumpPosition() { return &s_sPosition; }

void ShowConfiguration(uint8_t bType) {
    s_bType = bType;
    const uint8_t bSection = bGetInfoDumpState();
    if (bSection == S_START) {
        Start(bType);
        return;
    }
    if (bSection == Pos().wEndState || bSection >= sizeof SECTIONS / sizeof SECTIONS[0] ||
        SECTIONS[bSection] == nullptr) {
        Finish(bType);
        return;
    }
    SECTIONS[bSection]();
}

}  // namespace fw
