// Applying the live configuration image: the controller-wide settings and
// every run-time table derived from it.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

// Always 0xFF.  The second argument is kept for callers and not used.
uint8_t ApplyStoredSettings(uint8_t fSaveOnSlotChange, uint8_t fUnused);
void SetStartOfDayApply(uint8_t f);
uint8_t fGetStartOfDayApply();
void SetConfigApplyOption(uint8_t f);   // TRUE: request a commit at the end of the apply
uint8_t fGetConfigApplyOption();

uint8_t bGetHostPortHardAddress(uint8_t bPort);
// TRUE: host port 2 uses the controller WWN with bit 7 of byte 5 inverted.
uint8_t fGetPort2WwnVariant();
uint16_t wGetControllerLun();
uint8_t fGetAutoRebuild();
uint8_t bGetHostPortMode();
uint8_t bGetRebuildPriority();
uint8_t bGetInitPriority();
uint8_t fGetWriteBackWithoutPartner();
uint8_t fGetVerifyEnabled();
uint8_t fGetAutoHotSpare();
uint8_t fGetDiskIoModuleUpdateFlag();
uint8_t fGetDifferentNodeName();
uint8_t bGetHostPortConnectionSetting(uint8_t bPort);
uint8_t bGetHostPortSpeedSetting(uint8_t bPort);
uint8_t fGetHostPortOptionB(uint8_t bPort);
uint8_t fGetExpansionGeometry();
uint8_t fGetMultipleStripeAccess();
uint8_t fGetCacheFlushCommandDisabled();   // the inverse of stored byte 223
// TRUE unless cache setting 20d or the aging-priority setting turns the
// write sort off: aging priority serves the oldest command of an array
// first, which an address-ordered sweep would undo.
uint8_t fIsWriteSortWanted();
uint8_t bGetSpcLevel();
void GetTqmSettings(TQM_SETTINGS* psBlock);
// TRUE with the array reserved for flushing the cache, else FALSE with 255.
uint8_t fGetCacheFlushArray(uint8_t* pbRank);
uint8_t fGetUpsRequired();
// The fixed option bytes 1..10 every apply sets for the target engine and
// the cache, and the active-active option.
uint8_t fGetApplyOption(uint8_t bIndex);
uint8_t fGetActiveActiveOption();
uint8_t fGetSystemModeLatch();
void SetSystemModeLatch(uint8_t f);
void SetSystemModeLatch();   // the background hold was switched on

}  // namespace fw
