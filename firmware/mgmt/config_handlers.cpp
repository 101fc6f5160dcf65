// The management set commands that edit the configuration: opened by code
// 128 (the scratch image becomes a copy of the live one), edited through
// the configuration operations, and committed by code 130.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "config/array_operations.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/default_config.h"
#include "config/ld_operations.h"
#include "config/san_lun_map.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "mgmt/management_commands.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"

namespace fw {

namespace {

constexpr uint8_t NO_RANK = 255;
constexpr uint32_t BLOCK = MGMT_SIGNATURE_BYTES;   // where the parameter block begins
constexpr uint16_t ALL_LDS = 0xF1F1;
constexpr uint16_t NO_CONTROLLER_LUN = 0xFFFF;
constexpr uint8_t INIT_PENDING = 1;
constexpr uint8_t INIT_NONE = 0xFF;
constexpr uint8_t INIT_NOT_WANTED = 0;
constexpr uint8_t POLICY_NEVER_STORED = 0xA0;      // bit 5 is always clear, bit 7 never set
// The target queue management response: off (0xF0) or one of three kinds,
// and its time in seconds.
constexpr uint8_t MAX_RESPONSE_TIME = 99;
constexpr uint8_t DEFAULT_RESPONSE_TIME = 4;
constexpr uint8_t RESPONSE_OFF = 0xF0;
constexpr uint8_t RESPONSE_LAST = 0xF3;
constexpr uint8_t MAX_COUNTED_OPTION = 64;
constexpr uint32_t OEM_CODE_0101 = 0x101;
// Where the per-port settings of code 152 and the 9-byte controller
// records of code 161 lie in the header.
constexpr size_t CONTROLLER_RECORD_1 = 250;
constexpr size_t CONTROLLER_RECORD_2 = 259;
constexpr size_t CONTROLLER_RECORD_BYTES = 9;
// The four places of code 164: controller 1's two 16-byte records, then
// controller 2's.
constexpr size_t WORD_PLACES[2][2] = {{112, 128}, {172, 188}};
// The array's power management settings in its record (options, test
// days and hours, idle hours and minutes).
constexpr size_t ARRAY_POWER_SETTINGS = 220;
constexpr size_t ARRAY_POWER_BYTES = 6;
constexpr uint32_t POWER_BLOCK_BYTES = 7;

CONFIG_IMAGE* psScratch() { return pGetScratchConfigImage(); }
uint8_t* pbHeaderByte(size_t dOffset) { return reinterpret_cast<uint8_t*>(&psScratch()->sHeader) + dOffset; }

uint8_t bEdited(uint8_t bResult) {
    if (bResult == STATUS_OK) SetConfigModified(TRUE);
    return bResult == STATUS_OK ? MGMT_GOOD : MGMT_INVALID_PARAMETERS;
}

// The block of the command, as the configuration operation's own request.
template <typename T>
T sBlockAs(const MGMT_REQUEST& r) {
    T s;
    std::memcpy(&s, r.pbData + BLOCK, sizeof(s));
    return s;
}

uint8_t bStoreName(const MGMT_REQUEST& r, char* pcName) {
    const char* pcNew = reinterpret_cast<const char*>(r.pbData + BLOCK);
    if (fIsPrintableName(pcNew) != TRUE) return MGMT_INVALID_CDB;
    std::memcpy(pcName, pcNew, 32);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint16_t wArrayPowerOptions(const CONFIG_RANK_RECORD& s) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&s) + ARRAY_POWER_SETTINGS;
    return static_cast<uint16_t>(pb[0] | (pb[1] << 8));
}

bool IsLdOnArray(const CONFIG_IMAGE* psImage, uint16_t wLd, uint8_t bArray) {
    const CONFIG_LD_RECORD& sLd = psImage->asLd[wLd];
    for (uint32_t s = 0; s < dClampedSegmentCount(&sLd); s++) {
        uint8_t bFirst = NO_RANK, bLast = NO_RANK;
        FindSegmentArrays(psImage, wLd, static_cast<uint8_t>(s), &bFirst, &bLast);
        if (bFirst == bArray || bLast == bArray) return true;
    }
    return false;
}

}  // namespace

uint8_t MgmtNoOperation(const MGMT_REQUEST&) { return MGMT_GOOD; }
uint8_t MgmtRetiredCommand(const MGMT_REQUEST&) { return MGMT_INVALID_CDB; }

// Opens the edit as the console's Configuration Menu does: the save is
// counted, nothing of an earlier edit stays pending, and phase 1 takes the
// write grant and copies the live image; it answers when that is done.
uint8_t MgmtSaveConfiguration(const MGMT_REQUEST&) {
    if (bGetConfigPhase() != CONFIG_PHASE_IDLE) return MGMT_NOT_READY;
    IncrementConfigSaveCount();
    ForgetEarlierEdit();
    RequestConfigurationService();
    SetConfigPhase(CONFIG_PHASE_EDIT);
    SetConfigRequester(REQUESTER_MANAGEMENT);
    SetConfigPhaseStep(0);
    return MGMT_ANSWER_LATER;
}

uint8_t MgmtClearConfiguration(const MGMT_REQUEST&) {
    ResetConfigurationToDefaults();
    SetConfigModified(TRUE);
    SetArrayDeletedFlag(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtApplyConfiguration(const MGMT_REQUEST& r) {
    const uint16_t wCount = wCdbWord(r, 3);
    if (wCount != 0 && wCount != wGetConfigSaveCount()) return MGMT_INVALID_CDB;
    (void)RequestConfigUpdate(REQUESTER_MANAGEMENT);
    SetHostCommandHold(FALSE);
    return MGMT_GOOD;
}

// The profile is the target queue management's response type and time;
// its other settings take the values every profile keeps.
uint8_t MgmtSetPerformanceProfile(const MGMT_REQUEST& r) {
    const uint8_t bType = r.pbData[BLOCK];
    const uint8_t bTime = std::min(r.pbData[BLOCK + 1], MAX_RESPONSE_TIME);
    if (bType < RESPONSE_OFF || bType > RESPONSE_LAST || (bTime == 0 && bType != RESPONSE_OFF)) {
        return MGMT_INVALID_CDB;
    }
    TQM_SETTINGS& s = psScratch()->sTqmSettings;
    SetDefaultTqmSettings(&s);
    s.bResponseType = bType;
    s.bResponseTime = bType == RESPONSE_OFF ? DEFAULT_RESPONSE_TIME : bTime;
    SetWriteBackCheckEnable(TRUE);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtSetControllerOption(const MGMT_REQUEST& r) {
    const uint8_t bValue = r.pbCdb[3];
    const uint16_t wOffset = wCdbWord(r, 4);
    CONFIG_HEADER& h = psScratch()->sHeader;
    switch (wOffset) {
    case offsetof(CONFIG_HEADER, fCacheFlushCommand):
    case offsetof(CONFIG_HEADER, fMultipleStripeAccess):
    case offsetof(CONFIG_HEADER, fThreadBalance): *pbHeaderByte(wOffset) = bValue == 0 ? FALSE : bValue; break;
    case offsetof(CONFIG_HEADER, bSequentialWriteLevel):
        h.bSequentialWriteLevel = bValue >= 1 && bValue <= 4 ? bValue : (dGetOemCode() == OEM_CODE_0101 ? 2 : 4);
        break;
    default: return MGMT_INVALID_CDB;
    }
    SetWriteBackCheckEnable(TRUE);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtCreateArray(const MGMT_REQUEST& r) {
    const CONFIG_RANK_RECORD s = sBlockAs<CONFIG_RANK_RECORD>(r);
    return bEdited(CreateArray(&s));
}

// Units, extent, flags and block size, then the 32-character name.
uint8_t MgmtCreateLogicalDrive(const MGMT_REQUEST& r) {
    return bEdited(CreateLogicalDrive(wDataWord(r, BLOCK), wDataWord(r, BLOCK + 2), wDataWord(r, BLOCK + 6),
                                      r.pbData[BLOCK + 4], reinterpret_cast<const char*>(r.pbData + BLOCK + 8)));
}

uint8_t MgmtAddSanLunMapping(const MGMT_REQUEST& r) {
    const SAN_LUN_MAP_ENTRY s = sBlockAs<SAN_LUN_MAP_ENTRY>(r);
    return bEdited(CreateSanLunMapping(&s));
}

uint8_t MgmtAddSpareDrive(const MGMT_REQUEST& r) { return bEdited(AddSpare(r.pbData + BLOCK, r.pbData[BLOCK + 8])); }

uint8_t MgmtSetImageByte(const MGMT_REQUEST& r) {
    static constexpr struct {
        uint8_t bCode;
        uint8_t bOffset;
    } asPlaces[] = {{151, 162}, {153, 211}, {154, 168}, {155, 169}, {183, 171},
                    {184, 208}, {185, 209}, {186, 210}, {190, 222}};
    for (const auto& s : asPlaces) {
        if (s.bCode != r.bCode) continue;
        *pbHeaderByte(s.bOffset) = r.pbCdb[3];
        SetConfigModified(TRUE);
        return MGMT_GOOD;
    }
    return MGMT_INVALID_CDB;
}

// Byte 3: connection (low nibble) and data rate (high nibble); byte 4:
// the ports (bit 0 port 1, bit 1 port 2); byte 5: the two per-port options.
uint8_t MgmtSetHostPortOptions(const MGMT_REQUEST& r) {
    const uint8_t bInterface = bGetHostInterfaceType();
    if (bInterface != 1 && bInterface != 2 && bInterface != 6) return MGMT_GOOD;
    CONFIG_HEADER& h = psScratch()->sHeader;
    for (uint8_t p = 0; p < 2; p++) {
        if ((r.pbCdb[4] & (1u << p)) == 0) continue;
        h.abPortConnection[p] = r.pbCdb[3] & 0x0F;
        h.abPortDataRate[p] = r.pbCdb[3] >> 4;
        h.afPortOptionA[p] = ToFlag((r.pbCdb[5] & 0x01) != 0);
        h.afPortOptionB[p] = ToFlag((r.pbCdb[5] & 0x02) != 0);
    }
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

// The cache policy byte, and the write threshold and read-ahead codes.
uint8_t MgmtSetArrayOptions(const MGMT_REQUEST& r) {
    CONFIG_RANK_RECORD& s = psScratch()->asRank[r.pbCdb[3]];
    uint8_t bPolicy = static_cast<uint8_t>(r.pbCdb[4] & ~POLICY_NEVER_STORED);
    if (psScratch()->sHeader.fSingleControllerMode == TRUE) bPolicy |= POLICY_MIRROR;
    s.bCachePolicy = bPolicy;
    const uint8_t bThreshold = r.pbCdb[5] & 0x0F;
    const uint8_t bReadAhead = r.pbCdb[5] >> 4;
    s.wWriteThreshold = bThreshold >= 1 && bThreshold <= 10 ? bThreshold : 5;
    s.wReadAhead = bReadAhead <= 4 || bReadAhead == 15 ? bReadAhead : 0;
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

// The mode is the availability of the logical drive: its host ports, or
// 128 for a drive of the controller's own use, which goes with its use flag.
uint8_t MgmtSetLogicalDriveMode(const MGMT_REQUEST& r) {
    CONFIG_LD_RECORD& s = psScratch()->asLd[wCdbWord(r, 3)];
    const uint8_t bMode = r.pbCdb[5];
    s.bAvailability = bMode == LD_INTERNAL_USE ? LD_INTERNAL_USE : (bMode & 0x0F);
    s.bLdUseFlags = bMode == LD_INTERNAL_USE ? LD_INTERNAL_USE : 0;
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtChangeSanLunMapping(const MGMT_REQUEST& r) {
    const SAN_LUN_MAP_ENTRY s = sBlockAs<SAN_LUN_MAP_ENTRY>(r);
    return bEdited(UpdateSanLunMapping(&s, wCdbWord(r, 3)));
}

uint8_t MgmtAssignSpare(const MGMT_REQUEST& r) {
    psScratch()->asSpare[r.pbCdb[3]].bDedicatedRank = r.pbCdb[4];
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtSetControllerRecord(const MGMT_REQUEST& r) {
    std::memcpy(pbHeaderByte(r.pbCdb[3] == 1 ? CONTROLLER_RECORD_1 : CONTROLLER_RECORD_2), r.pbData + BLOCK,
                CONTROLLER_RECORD_BYTES);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtSetControllerWwn(const MGMT_REQUEST& r) {
    uint8_t* pbWwn = psScratch()->sHeader.abWriterWwn;
    if (r.pbCdb[3] == bGetControllerNumber()) {
        (void)pGetControllerWWN(pbWwn);
    } else if (fIsDualControllerActive() != TRUE || fGetPartnerControllerWwn(pbWwn) != TRUE) {
        return MGMT_INVALID_CDB;
    }
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtSetControllerText(const MGMT_REQUEST& r) {
    std::memcpy(psScratch()->sHeader.acConfigName, r.pbData + BLOCK, sizeof(psScratch()->sHeader.acConfigName));
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtSetImageWords(const MGMT_REQUEST& r) {
    std::memcpy(pbHeaderByte(WORD_PLACES[r.pbCdb[3] == 1 ? 0 : 1][r.pbCdb[4] == 1 ? 0 : 1]), r.pbData + BLOCK, 16);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtExpandLogicalDrive(const MGMT_REQUEST& r) {
    return bEdited(ExpandLogicalDrive(wCdbWord(r, 3), wDataWord(r, BLOCK), wDataWord(r, BLOCK + 2)));
}

// The array is initialised at the commit; the controller's own logical
// drives on it (the snapshot areas') go, the data they held with it.
uint8_t MgmtStartArrayInit(const MGMT_REQUEST& r) {
    CONFIG_IMAGE* psImage = psScratch();
    const uint8_t bArray = r.pbCdb[3];
    if (psImage->sHeader.fExpansionActive == TRUE || fIsExpansionInProgress() == TRUE) return MGMT_INVALID_PARAMETERS;
    for (uint16_t l = static_cast<uint16_t>(dClampedLdCount(psImage)); l-- > 0;) {
        if (psImage->asLd[l].bLdUseFlags != LD_INTERNAL_USE || !IsLdOnArray(psImage, l, bArray)) continue;
        ConsolePrintf("\n\n Deleting Internal LUN due to init %04x\n", l);
        DeleteLogicalDrive(l, FALSE, TRUE);
    }
    psImage->asRank[bArray].bInitState = INIT_PENDING;
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtSetArrayName(const MGMT_REQUEST& r) { return bStoreName(r, psScratch()->asRank[r.pbCdb[3]].acArrayName); }

uint8_t MgmtSetLogicalDriveName(const MGMT_REQUEST& r) {
    return bStoreName(r, psScratch()->asLd[wCdbWord(r, 3)].acLdName);
}

uint8_t MgmtSetLogicalDriveLun(const MGMT_REQUEST& r) {
    CONFIG_IMAGE* psImage = psScratch();
    const uint16_t wLd = wDataWord(r, BLOCK);
    const uint16_t wLun = wDataWord(r, BLOCK + 2);
    if (wLd >= psImage->sHeader.wLdCount || wLun >= MAX_HOST_LUNS) return MGMT_INVALID_CDB;
    if (psImage->asLd[wLd].wDefaultLun != wLun && fIsLunUsed(psImage, wLun) == TRUE) return MGMT_INVALID_CDB;
    psImage->asLd[wLd].wDefaultLun = wLun;
    if (psImage->sHeader.wControllerLun == wLun) psImage->sHeader.wControllerLun = wFindControllerLun(psImage);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

// Below 512 and not a logical drive's LUN, or none (0xFFFF).
uint8_t MgmtSetControllerLun(const MGMT_REQUEST& r) {
    const uint16_t wLun = wCdbWord(r, 3);
    if (wLun != NO_CONTROLLER_LUN && (wLun >= MAX_HOST_LUNS || fIsLunUsed(psScratch(), wLun) == TRUE)) {
        return MGMT_INVALID_CDB;
    }
    psScratch()->sHeader.wControllerLun = wLun;
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtExpandArray(const MGMT_REQUEST& r) {
    const EXPANSION_REQUEST s = sBlockAs<EXPANSION_REQUEST>(r);
    return bEdited(ExpandArray(&s));
}

uint8_t MgmtCancelArrayInit(const MGMT_REQUEST& r) {
    CONFIG_RANK_RECORD& s = psScratch()->asRank[r.pbCdb[3]];
    if (s.bInitState != INIT_PENDING) return MGMT_INVALID_CDB;
    s.bInitState = s.bRaidLevel == RAID_LEVEL_0 ? INIT_NOT_WANTED : INIT_NONE;
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

// Byte 3 zero: the controller's settings of the drives in no array;
// otherwise those of the array of byte 4.
uint8_t MgmtSetPowerManagement(const MGMT_REQUEST& r) {
    CONFIG_IMAGE* psImage = psScratch();
    const uint16_t wNew = wDataWord(r, BLOCK);
    uint16_t wOld;
    if (r.pbCdb[3] == 0) {
        wOld = psImage->sHeader.fPowerManagementSet == TRUE
                   ? static_cast<uint16_t>(psImage->abPowerSettings[0] | (psImage->abPowerSettings[1] << 8))
                   : 0;
        std::memcpy(psImage->abPowerSettings, r.pbData + BLOCK, POWER_BLOCK_BYTES);
        psImage->sHeader.fPowerManagementSet = TRUE;
    } else {
        CONFIG_RANK_RECORD& s = psImage->asRank[r.pbCdb[4]];
        wOld = wArrayPowerOptions(s);
        std::memcpy(reinterpret_cast<uint8_t*>(&s) + ARRAY_POWER_SETTINGS, r.pbData + BLOCK, ARRAY_POWER_BYTES);
    }
    // An option group turned off is stopped now rather than at the commit.
    if ((wOld & ~wNew) != 0) StopAPM();
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtDeleteArray(const MGMT_REQUEST& r) {
    DeleteArray(r.pbCdb[3]);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtDeleteLogicalDrive(const MGMT_REQUEST& r) {
    const uint16_t wLd = wCdbWord(r, 3);
    if (wLd == ALL_LDS) {
        if (psScratch()->sHeader.wLdCount != 0) DeleteLogicalDrive(0, TRUE, TRUE);
    } else {
        DeleteLogicalDrive(wLd, FALSE, TRUE);
    }
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtDeleteSanLunMapping(const MGMT_REQUEST& r) {
    DeleteSanLunMapping(psScratch(), wCdbWord(r, 3));
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

uint8_t MgmtDeleteSpare(const MGMT_REQUEST& r) {
    DeleteSpareEntry(psScratch(), r.pbCdb[3]);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

// Header bytes 220 (TRUE while enabled) and 221 (the count, 1..64).
uint8_t MgmtSetCountedOption(const MGMT_REQUEST& r) {
    CONFIG_HEADER& h = psScratch()->sHeader;
    const uint8_t bCount = r.pbCdb[4];
    const bool fOn = r.pbCdb[3] == TRUE && bCount >= 1 && bCount <= MAX_COUNTED_OPTION;
    h.fSetting220 = ToFlag(fOn);
    h.bSetting221 = fOn ? bCount : 0;
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

// The array's initialisation held (191) or let go on (192).
uint8_t MgmtSetArrayFlag(const MGMT_REQUEST& r) {
    psScratch()->asRank[r.pbCdb[3]].fInitPaused = ToFlag(r.bCode == 191);
    SetConfigModified(TRUE);
    return MGMT_GOOD;
}

}  // namespace fw
