// The values of a new configuration image.
#include "config/default_config.h"

#include <cstring>

#include "config/config_db.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_management.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr char DEFAULT_CONFIG_NAME[] = "Default Configuration Name";
constexpr uint32_t OEM_CODE_0x101 = 0x101;
constexpr uint8_t DUPLICATION_PROCESSES = 4;
constexpr uint8_t DUPLICATION_STATE_STOPPED = 40;

// Fibre Channel and SAS host interfaces take loop addresses; the others
// SCSI IDs and parallel data rates.
bool IsFcOrSasHost(uint8_t bHostInterface) { return bHostInterface == 1 || bHostInterface == 6; }

}  // namespace

void MakeDefaultConfiguration(CONFIG_IMAGE* psImage, uint8_t fOwnWwn) {
    CONFIG_HEADER& sHeader = psImage->sHeader;
    sHeader.dImageSize = CONFIG_IMAGE_SIZE;
    sHeader.dVersion = CONFIG_VERSION;
    sHeader.dMagic = CONFIG_MAGIC;
    sHeader.dHeaderCheck = 0;
    sHeader.dBodyCheck = 0;
    sHeader.dGeneration = 0;
    if (fOwnWwn == TRUE) {
        pGetControllerWWN(sHeader.abWriterWwn);
        std::memset(sHeader.abReservedWwn1, 0, sizeof(sHeader.abReservedWwn1));
        std::memset(sHeader.abReservedWwn2, 0, sizeof(sHeader.abReservedWwn2));
    }

    std::memset(sHeader.acConfigName, ' ', sizeof(sHeader.acConfigName));
    std::memcpy(sHeader.acConfigName, DEFAULT_CONFIG_NAME, sizeof(DEFAULT_CONFIG_NAME) - 1);

    sHeader.wRankCount = 0;
    sHeader.wLdCount = 0;
    sHeader.wSanMapCount = 0;
    sHeader.wSpareCount = 0;
    sHeader.wFailedDriveCount = 0;
    sHeader.wBadBlockCount = 0;
    sHeader.wReserved156 = 0;

    const bool fFcOrSas = IsFcOrSasHost(bGetHostInterfaceType());
    sHeader.fCacheFlushArraySet = FALSE;
    sHeader.fCacheFlushArrayUsed = FALSE;
    sHeader.wCacheFlushArray = 0;
    sHeader.fAutoRebuild = TRUE;
    sHeader.abPortHardAddress[0] = fFcOrSas ? 0x84 : 4;
    sHeader.abPortHardAddress[1] = fFcOrSas ? 0x85 : 5;
    sHeader.abPortHardAddress[2] = 0x84;
    sHeader.abPortHardAddress[3] = 0x85;
    sHeader.bSetting167 = 1;
    sHeader.bRebuildPriority = 50;
    sHeader.fSetting169 = FALSE;
    sHeader.bSetting170 = 2;
    sHeader.fSingleControllerMode = ToFlag(fIsDualControllerActive() != TRUE);
    sHeader.wControllerLun = 0xFFFF;
    sHeader.fExpansionActive = FALSE;
    sHeader.bExpansionArray = 255;
    sHeader.fBackgroundVerify = FALSE;
    sHeader.fAutoHotSpare = FALSE;
    sHeader.fControllerMonitorSes = TRUE;
    sHeader.fDifferentNodeName = FALSE;
    sHeader.abPortConnection[0] = 0;
    sHeader.abPortConnection[1] = 0;
    for (uint8_t bPort = 0; bPort < 2; bPort++) {
        sHeader.abPortDataRate[bPort] = fFcOrSas ? 0 : 2;
        sHeader.afPortOptionA[bPort] = fFcOrSas ? 0 : TRUE;
        sHeader.afPortOptionB[bPort] = fFcOrSas ? 0 : TRUE;
    }
    sHeader.fSetting220 = FALSE;
    sHeader.bSetting221 = 0;
    sHeader.bInitPriority = 50;
    sHeader.fCacheFlushCommand = FALSE;
    sHeader.wPrRecordCount = 0;
    sHeader.wSnapshotSetCount = 0;
    sHeader.fMultipleStripeAccess = FALSE;
    sHeader.fThreadBalance = FALSE;
    sHeader.fPowerManagementSet = 0;
    sHeader.bSequentialWriteLevel = dGetOemCode() == OEM_CODE_0x101 ? 2 : 4;
    sHeader.wSetting246 = 128;
    sHeader.wSetting248 = 512;

    for (SNAPSHOT_SET_RECORD& sSet : psImage->asSnapshotSet) {
        sSet.abData[0] = FALSE;
        sSet.abData[4] = 0xFF;
        sSet.abData[5] = 0xFF;
    }
    for (VIRTUAL_LD_RECORD& sVld : psImage->asVirtualLd) sVld.abData[0] = 0;

    // The two reserved bytes of the block are left as they are.
    const uint8_t abReserved[2] = {psImage->sTqmSettings.abReserved[0], psImage->sTqmSettings.abReserved[1]};
    SetDefaultTqmSettings(&psImage->sTqmSettings);
    std::memcpy(psImage->sTqmSettings.abReserved, abReserved, sizeof(abReserved));
}

void SetDefaultTqmSettings(TQM_SETTINGS* psBlock) {
    std::memset(psBlock, 0, sizeof(*psBlock));
    psBlock->bResponseType = FALSE;
    psBlock->bResponseTime = 4;
    psBlock->wNoAcceptTime = 800;
    psBlock->dStatusDelay = 200;
}

void ResetConfigurationToDefaults() {
    StopAPM();
    MakeDefaultConfiguration(pGetScratchConfigImage(), FALSE);
    for (uint8_t bProcess = 0; bProcess < DUPLICATION_PROCESSES; bProcess++)
        SetDuplicationState(bProcess, DUPLICATION_STATE_STOPPED);
}

void RequestDefaultConfigCommit() {
    RequestConfigUpdate(REQUESTER_MANAGEMENT);
    SetHostCommandHold(FALSE);
}

}  // namespace fw
