// Configuration upgrade and settings check.
#include "config/config_upgrade.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/config_db.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/host_interface.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint32_t OLDEST_CURRENT_VERSION = 14;
constexpr uint8_t LD_INTERNAL_USE = 0x80;
constexpr uint16_t LD_ID_SET = 0x8000;
constexpr uint8_t FC_RATE_4GB = 3;

// Stores the value the rule gives; a change asks the apply to treat the
// image as changed.
template <typename T>
void Force(T* pValue, T value) {
    if (*pValue == value) return;
    *pValue = value;
    SetConfigApplyOption(TRUE);
}

void ForceFlag(uint8_t* pb, uint8_t bOtherwise) {
    if (*pb != TRUE && *pb != FALSE) Force(pb, bOtherwise);
}

void ForceAtMost(uint8_t* pb, uint8_t bMax, uint8_t bOtherwise) {
    if (*pb > bMax) Force(pb, bOtherwise);
}

// Images older than the current layout carried internal logical drives and
// an older snapshot area, which this firmware does not keep.
void UpgradeOldImage(CONFIG_IMAGE* psImage) {
    ConsolePrintf("Removing old ODA information due to config upgrade.\n");
    std::memset(psImage->abReserved914976, 0, sizeof psImage->abReserved914976);
    for (uint32_t l = dClampedLdCount(psImage); l-- > 0;) {
        if ((psImage->asLd[l].bLdUseFlags & LD_INTERNAL_USE) == 0) continue;
        ConsolePrintf(" Deleting Internal LUN %d due to config upgrade.\n", l);
        DeleteLogicalDrive(static_cast<uint16_t>(l), FALSE, ToFlag(psImage == pGetScratchConfigImage()));
    }
    for (SNAPSHOT_SET_RECORD& s : psImage->asSnapshotSet) {
        static constexpr uint8_t EMPTY_SET[12] = {FALSE, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
        std::memcpy(s.abData, EMPTY_SET, sizeof s.abData);
    }
    std::memset(psImage->asVirtualLd, 0, sizeof psImage->asVirtualLd);
    std::memset(psImage->abReserved915040 + 60, 0, 4);   // the word at 915100
    SetConfigApplyOption(TRUE);
}

void CheckHostPortSettings(CONFIG_HEADER& s) {
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_FC:
        for (uint8_t i = 0; i < 2; ++i) {
            ForceAtMost(&s.abPortConnection[i], 2, 0);
            // 4 Gb/s only where the host chips can do it.
            ForceAtMost(&s.abPortDataRate[i], fIsQL24xx() == TRUE ? FC_RATE_4GB : FC_RATE_4GB - 1, 0);
        }
        break;
    case HOST_INTERFACE_SAS_TARGET:
        for (uint8_t i = 0; i < 2; ++i) {
            Force(&s.abPortConnection[i], bFilterSASHostPortPhySetting(s.abPortConnection[i]));
            Force(&s.abPortDataRate[i], bFilterSASHostPortConnectionOption(s.abPortDataRate[i]));
        }
        break;
    default:
        ForceAtMost(&s.abPortDataRate[0], 2, 2);
        ForceAtMost(&s.abPortDataRate[1], 2, 0);
        for (uint8_t& b : s.afPortOptionA) ForceFlag(&b, TRUE);
        for (uint8_t& b : s.afPortOptionB) ForceFlag(&b, TRUE);
        break;
    }
}

}  // namespace

void ConfigUpgrade(CONFIG_IMAGE* psImage) {
    CONFIG_HEADER& s = psImage->sHeader;
    if (s.dVersion > OLDEST_CURRENT_VERSION) {
        SetConfigApplyOption(TRUE);
    } else if (s.dVersion < OLDEST_CURRENT_VERSION) {
        UpgradeOldImage(psImage);
    }

    ForceFlag(&s.fBackgroundVerify, FALSE);
    ForceFlag(&s.fAutoHotSpare, FALSE);
    ForceFlag(&s.fControllerMonitorSes, TRUE);
    ForceFlag(&s.fDifferentNodeName, FALSE);
    CheckHostPortSettings(s);
    for (uint32_t r = 0; r < dClampedRankCount(psImage); ++r) {
        CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        if (sRank.wReadAhead > 4 && sRank.wReadAhead != 15) Force<uint16_t>(&sRank.wReadAhead, 0);
        if (sRank.wWriteThreshold < 1 || sRank.wWriteThreshold > 10) Force<uint16_t>(&sRank.wWriteThreshold, 5);
    }
    for (uint32_t l = 0; l < dClampedLdCount(psImage); ++l) {
        CONFIG_LD_RECORD& sLd = psImage->asLd[l];
        if (sLd.wLdId == 0) Force<uint16_t>(&sLd.wLdId, static_cast<uint16_t>(l | LD_ID_SET));
    }
    if (s.bInitPriority < 10 || s.bInitPriority > 90) Force<uint8_t>(&s.bInitPriority, 50);
    ForceFlag(&s.fCacheFlushCommand, FALSE);
    ForceFlag(&s.fMultipleStripeAccess, FALSE);
    ForceFlag(&s.fThreadBalance, FALSE);
    if (s.bSequentialWriteLevel < 1 || s.bSequentialWriteLevel > 4) Force<uint8_t>(&s.bSequentialWriteLevel, 4);
    TQM_SETTINGS& sTqm = psImage->sTqmSettings;
    if (sTqm.bResponseType < FALSE || sTqm.bResponseType > 0xF3) {
        Force<uint8_t>(&sTqm.bResponseType, FALSE);
        sTqm.bResponseTime = 4;
    }
}

}  // namespace fw
