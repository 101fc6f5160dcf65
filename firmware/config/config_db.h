// Configuration database services the rest of the firmware calls.
#pragma once

#include <cstdint>

namespace fw {

void SetConfigValid(uint8_t f);
uint8_t fIsConfigValid();
void SetHostCommandHold(uint8_t f);
void SetConfigurationChanged(uint8_t f);
void SetConfigUpdatePending(uint8_t f);
void SetConfigWriteWaitFlag(uint8_t f);
void SetDriveCommandPendingFlag(uint8_t f);
void SetWriteBackCheckEnable(uint8_t f);
void SetStartOfDayFlags(uint8_t f);
void BeginConfigLoad();
uint8_t LoadConfigFromPartner();
uint8_t LoadConfigFromSasDrives();
void ConvertLiveConfigImage();
void CheckOnDiskHeaders();
void SetConfigImageBuffers(uint8_t* pLive, uint8_t* pScratch, uint8_t* pWork);
uint8_t bSetUpConfigUpgradeTable();
void ResetConfigStartFlags();

// Used by the system tick and the stop paths of the executive.
uint8_t fGetConfiguredControllerWwn(uint8_t* pbWwn);   // TRUE when the live image carries one

uint8_t RequestConfigUpdate(uint8_t bRequester);
struct CONFIG_IMAGE;
uint8_t bGetArrayMemberPathType(const CONFIG_IMAGE* psImage, uint8_t bRank);

}  // namespace fw
