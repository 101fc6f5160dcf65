// Host port initiator records and per-port flags.
#include "config/host_port_tables.h"

#include <algorithm>
#include <cstring>

#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/spares_wwn.h"
#include "eventlog/event_log.h"
#include "executive/date_time.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "fc/fc_driver.h"
#include "platform/i2c.h"
#include "sas/sas_drive.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "hw/hw.h"

namespace fw {

namespace {

constexpr uint32_t HOST_PORT_RECORD_PAGES = 3;

HOST_PORT_RECORD* s_psOwnRecords;
HOST_PORT_RECORD* s_psPartnerRecords;
uint8_t s_afLinkFlag[2] = {FALSE, FALSE};
uint8_t s_fDriveLoopsStarted = FALSE;
uint8_t s_afDriveLoopAvailable[2] = {FALSE, FALSE};

HOST_PORT_RECORD* psTakeRecordPages() {
    // Start-up cannot go on without them.
    return static_cast<HOST_PORT_RECORD*>(pBufferHandleToPointer(dTakeStartOfDayPages(HOST_PORT_RECORD_PAGES)));
}

void ClearRecord(HOST_PORT_RECORD* psRecord) {
    if (psRecord == nullptr) return;
    for (HOST_INITIATOR& sEntry : psRecord->asInitiator) {
        sEntry.bId = 0;
        sEntry.fLoggedIn = FALSE;
        sEntry.fFabric = FALSE;
        sEntry.bByte3 = 0;
        FillWwn(sEntry.abNodeName, 0xFF);
        FillWwn(sEntry.abPortName, 0xFF);
    }
    psRecord->bInitiatorCount = 0;
}

// The link flag of a host port code; nullptr for any other code.
uint8_t* pLinkFlag(uint8_t bPort) {
    const uint8_t bHostPort = bHostPortOfCode(bPort);
    return bHostPort != 0 ? &s_afLinkFlag[bHostPort - 1] : nullptr;
}

uint8_t bPortIndex(uint8_t bPort) { return fIsHostPort1Code(bPort) == TRUE ? 0 : 1; }

const HOST_INITIATOR* psFindId(const HOST_PORT_RECORD* psRecord, uint8_t bId) {
    if (psRecord == nullptr) return nullptr;
    const uint32_t dCount = psRecord->bInitiatorCount < HOST_PORT_INITIATORS ? psRecord->bInitiatorCount : HOST_PORT_INITIATORS;
    for (uint32_t i = 0; i < dCount; i++)
        if (psRecord->asInitiator[i].bId == bId) return &psRecord->asInitiator[i];
    return nullptr;
}

// Copies a name of the entry with that id out of an own or partner record.
uint8_t bCopyNameOfId(HOST_PORT_RECORD* psRecords, uint8_t bPort, uint8_t bId, uint8_t* pbName, bool fNodeName) {
    if (psRecords == nullptr || fIsHostPortCode(bPort) != TRUE) return 0;
    const HOST_INITIATOR* psEntry = psFindId(&psRecords[bPortIndex(bPort)], bId);
    if (psEntry == nullptr) return 0;
    CopyWwn(fNodeName ? psEntry->abNodeName : psEntry->abPortName, pbName);
    return 0xFF;
}

}  // namespace

uint8_t fIsHostPortCode(uint8_t bPort) { return ToFlag(pLinkFlag(bPort) != nullptr); }
uint8_t fIsHostPort1Code(uint8_t bPort) { return ToFlag(pLinkFlag(bPort) == &s_afLinkFlag[0]); }

void AllocateHostPortRecords() {
    s_psOwnRecords = psTakeRecordPages();
    s_psPartnerRecords = psTakeRecordPages();
    ClearHostPortRecords();
    ClearPartnerPortRecords();
}

HOST_PORT_RECORD* pGetHostPortRecord(uint8_t bPort) {
    return s_psOwnRecords == nullptr ? nullptr : &s_psOwnRecords[bPortIndex(bPort)];
}
HOST_PORT_RECORD* pGetHostPortRecords() { return s_psOwnRecords; }
HOST_PORT_RECORD* pGetPartnerPortRecord(uint8_t bPort) {
    return s_psPartnerRecords == nullptr ? nullptr : &s_psPartnerRecords[bPortIndex(bPort)];
}
HOST_PORT_RECORD* pGetPartnerPortRecords() { return s_psPartnerRecords; }
void ClearHostPortRecord(uint8_t bPort) { ClearRecord(pGetHostPortRecord(bPort)); }
void ClearHostPortRecords() {
    if (s_psOwnRecords == nullptr) return;
    ClearRecord(&s_psOwnRecords[0]);
    ClearRecord(&s_psOwnRecords[1]);
}
void ClearPartnerPortRecords() {
    if (s_psPartnerRecords == nullptr) return;
    ClearRecord(&s_psPartnerRecords[0]);
    ClearRecord(&s_psPartnerRecords[1]);
}

uint8_t fFindNameInPortList(HOST_PORT_RECORD* psRecord, const uint8_t* pbName, uint8_t* pbId, uint8_t fFlag,
                            uint8_t fNodeName) {
    if (psRecord == nullptr) return FALSE;
    const uint32_t dCount = psRecord->bInitiatorCount < HOST_PORT_INITIATORS ? psRecord->bInitiatorCount : HOST_PORT_INITIATORS;
    for (uint32_t i = 0; i < dCount; i++) {
        HOST_INITIATOR& sEntry = psRecord->asInitiator[i];
        if (fWwnEqual(fNodeName == TRUE ? sEntry.abNodeName : sEntry.abPortName, pbName) != TRUE) continue;
        *pbId = sEntry.bId;
        sEntry.fLoggedIn = fFlag == TRUE ? TRUE : FALSE;
        return TRUE;
    }
    return FALSE;
}

uint8_t fFindNameInPartnerPorts(uint8_t* pbPort, const uint8_t* pbName, uint8_t* pbId, uint8_t fNodeName) {
    if (s_psPartnerRecords == nullptr) return FALSE;
    for (uint8_t p = 0; p < 2; p++) {
        const HOST_PORT_RECORD& sRecord = s_psPartnerRecords[p];
        const uint32_t dCount = sRecord.bInitiatorCount < HOST_PORT_INITIATORS ? sRecord.bInitiatorCount : HOST_PORT_INITIATORS;
        for (uint32_t i = 0; i < dCount; i++) {
            const HOST_INITIATOR& sEntry = sRecord.asInitiator[i];
            if (fWwnEqual(fNodeName == TRUE ? sEntry.abNodeName : sEntry.abPortName, pbName) != TRUE) continue;
            *pbPort = static_cast<uint8_t>(p + 1);
            *pbId = sEntry.bId;
            return TRUE;
        }
    }
    return FALSE;
}

uint8_t GetPartnerNodeName(uint8_t bPort, uint8_t bId, uint8_t* pbName) {
    return bCopyNameOfId(s_psPartnerRecords, bPort, bId, pbName, true);
}
uint8_t fGetHostPortNodeWwn(uint8_t bPort, uint8_t bId, uint8_t* pbName) {
    return bCopyNameOfId(s_psOwnRecords, bPort, bId, pbName, true);
}
uint8_t GetHostPortPortName(uint8_t bPort, uint8_t bId, uint8_t* pbName) {
    return bCopyNameOfId(s_psOwnRecords, bPort, bId, pbName, false);
}
uint8_t fIsHostPortIdKnown(uint8_t bPort, uint8_t bId) {
    if (s_psOwnRecords == nullptr || fIsHostPortCode(bPort) != TRUE) return FALSE;
    return ToFlag(psFindId(&s_psOwnRecords[bPortIndex(bPort)], bId) != nullptr);
}

uint8_t bGetHostPortLinkFlag(uint8_t bPort) {
    const uint8_t* pf = pLinkFlag(bPort);
    return pf == nullptr ? FALSE : *pf;
}
void SetHostPortLinkFlag(uint8_t bPort, uint8_t f) {
    uint8_t* pf = pLinkFlag(bPort);
    if (pf != nullptr) *pf = f;
}
uint8_t fAnyHostPortLinkFlag() { return ToFlag(s_afLinkFlag[0] == TRUE || s_afLinkFlag[1] == TRUE); }
uint8_t fGetDriveLoopsStarted() { return s_fDriveLoopsStarted; }
void SetDriveLoopsStarted(uint8_t f) { s_fDriveLoopsStarted = f; }
uint8_t bGetDriveLoopAvailable(uint8_t bPath) {
    return (bPath == 3 || bPath == 4) ? s_afDriveLoopAvailable[bPath - 3] : FALSE;
}
void SetDriveLoopAvailable(uint8_t bPath, uint8_t f) {
    if (bPath == 3 || bPath == 4) s_afDriveLoopAvailable[bPath - 3] = f;
}

namespace {

constexpr uint16_t FIXED_VOLTAGES[12] = {12000, 5000, 5000, 3300, 3300, 1800, 1800, 0, 1500, 1350, 1200, 1800};
constexpr uint32_t VOLTAGE_BOARD_WORD = 8;      // the board option value

void CopyText(char* pcDestination, const char* pszSource, uint32_t dSize) {
    std::memset(pcDestination, 0, dSize);
    if (pszSource != nullptr) std::memcpy(pcDestination, pszSource, std::min<size_t>(std::strlen(pszSource), dSize));
}

// Link code and address of one host port as its driver reports them.
void FillHostPort(uint8_t bPort, uint8_t* pbLink, uint8_t* pbAddress) {
    *pbLink = 0xF0;
    *pbAddress = 0xFF;
    switch (bGetHostInterfaceType()) {
        case HOST_INTERFACE_FC:
            if (bGetPortLoopState(bPort) != 0xFF) return;
            switch (bGetHostLinkSpeed(bPort)) {
                case 1: *pbLink = 0xF1; break;
                case 2: *pbLink = 0xF2; break;
                case 4: *pbLink = 0xF4; break;
                default: return;
            }
            *pbAddress = bGetOwnLoopId(bPort);
            return;
        case HOST_INTERFACE_SAS:
            *pbLink = bGetSASTargetPortStatus(bPort);
            *pbAddress = bGetHostPortHardAddress(static_cast<uint8_t>(bPort == 1 ? 49 : 50)) & 0x0F;
            return;
        case HOST_INTERFACE_SAS_TARGET:
            switch (bGetSASTargetPortLinkCode(bPort)) {
                case 8: *pbLink = 0xF2; break;
                case 9: *pbLink = 0xF4; break;
                case 0: *pbLink = 0xF1; break;
                default: return;
            }
            *pbAddress = static_cast<uint8_t>(bPort - 1);
            return;
        default:
            return;
    }
}

uint8_t bBoardCode() {
    const uint8_t bType = bGetBoardType();
    const bool fActiveActive = dGetSASActiveActiveState() > 2;   // with byte 214 always 3
    switch (bType) {
        case 13: return 0xC0 | (fActiveActive ? 0x0F : 0x0D);
        case 12: return 0xC0 | (fActiveActive ? 0x0E : 0x0B);
        case 17: return 0xC0 | 0x11;
        default: return 0xC0 | bType;
    }
}

uint8_t bHostInterfaceCode() {
    switch (bGetHostInterfaceType()) {
        case HOST_INTERFACE_FC: return 33;
        case HOST_INTERFACE_SAS: return 34;
        case HOST_INTERFACE_SAS_TARGET: return 38;
        case HOST_INTERFACE_EMBEDDED: return 36;
        default: return 0;
    }
}

}  // namespace

void BuildControllerInfoRecord(CONTROLLER_INFO_RECORD* psRecord) {
    std::memset(psRecord, 0, sizeof(*psRecord));
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage != nullptr) {
        std::memcpy(psRecord->acConfigName, psImage->sHeader.acConfigName, sizeof(psRecord->acConfigName));
        psRecord->dGeneration = psImage->sHeader.dGeneration;
    }
    GetNvramControllerWwn(psRecord->abNvramWwn);
    pGetControllerWWN(psRecord->abWwnInUse);
    psRecord->dStartCount = wNvramReadLE16(NVRAM_OFFSET(abStartCount));
    // Seconds since this start and the lifetime operating seconds.
    psRecord->dTickTime = dGetCoarseTickHalf();
    psRecord->dNvramValue = dGetOperatingSeconds();
    DATE_TIME sNow{};
    GetDateTime(&sNow);
    std::memcpy(psRecord->abDateTime, &sNow, sizeof(sNow));
    psRecord->dFirmwareVersion = FIRMWARE_VERSION_WORD;
    std::memcpy(psRecord->acVersion, FIRMWARE_VERSION_CHARACTERS, sizeof(psRecord->acVersion));
    CopyText(psRecord->acBuildDate, pGetBuildDate(), sizeof(psRecord->acBuildDate));
    CopyText(psRecord->acBuildTime, pGetBuildTime(), sizeof(psRecord->acBuildTime));
    FillHostPort(1, &psRecord->abHostPort[0][0], &psRecord->abHostPort[0][1]);
    FillHostPort(2, &psRecord->abHostPort[1][0], &psRecord->abHostPort[1][1]);
    const uint8_t abPaths[4] = {0xF0, 0xFF, 0xF0, 0xFF};
    std::memcpy(psRecord->abDrivePaths, abPaths, sizeof(abPaths));

    const bool fOption2 = fGetNvramOptionBit2() == TRUE;
    const bool fBattery = fIsBatteryPresent() == TRUE;
    for (uint32_t w = 0; w < 12; w++) psRecord->awVoltage[w + 1] = FIXED_VOLTAGES[w];
    psRecord->awVoltage[VOLTAGE_BOARD_WORD] = bGetBoardOption();
    if (fOption2 && !fBattery) psRecord->awVoltage[(168 - 152) / 2] = 1500;
    psRecord->bCacheProtection = fOption2 ? 0xF2 : ((fBattery && fIsBatteryFault() != TRUE) ? 0xF1 : 0xF0);
    psRecord->bByte181 = 0xF0;
    psRecord->bBoardCode = bBoardCode();
    psRecord->bBoardValue = bGetBoardOption();
    psRecord->wBank0Megabytes = wGetBankMegabytes(0);
    psRecord->wWord186 = 1200;
    psRecord->bByte188 = 0xF0;
    psRecord->bByte189 = 0xF1;
    psRecord->bByte191 = 1;
    if (fOption2 && !fBattery) {
        psRecord->bBatteryCapacity = 100;
        psRecord->bHoldUpEstimate = 72;
    } else if (fBattery) {
        const uint32_t dCapacity = fIsBatteryChargeComplete() == TRUE ? 100 : bGetBatteryCapacity();
        psRecord->bBatteryCapacity = static_cast<uint8_t>(dCapacity);
        psRecord->bHoldUpEstimate = static_cast<uint8_t>(dCapacity * (wGetBankMegabytes(0) == 1024 ? 72 : 53) / 100);
    }
    // The controller information screens read these from the reserved
    // bytes of the record: the board temperatures and the boot ROM's
    // revision characters, from its parameter block.
    for (uint8_t i = 0; i < sizeof psRecord->abTemperature; ++i) psRecord->abTemperature[i] = bGetTemperature(i);
    for (uint8_t i = 0; i < sizeof psRecord->acBootPromRevision; ++i) {
        psRecord->acBootPromRevision[i] = static_cast<char>(bGetBootByte(i));
    }
    psRecord->bByte214 = 3;
    psRecord->bByte215 = 1;
    psRecord->bHostInterfaceCode = bHostInterfaceCode();
    psRecord->wFeatureMask = static_cast<uint16_t>(dGetFeatureMask());
}

// Bit 1 data services, bit 2 RAID 6, and the controller's other features.
uint32_t dGetFeatureMask() { return 0x7FB6; }

}  // namespace fw
