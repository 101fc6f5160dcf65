// Host LUN tables: allocation, look-ups and the rebuild of one port's table
// from the SAN LUN mappings and the default presentation of each drive.
#include "config/host_lun_tables.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/read_ahead.h"
#include "config/apply_settings.h"
#include "config/config_db.h"
#include "config/config_image.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "config/spares_wwn.h"
#include "dataservices/data_services.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/host_interface.h"
#include "hw/hw.h"
#include "partner/partner_link.h"
#include "sas/host_port_ioc.h"
#include "sas/sas_drive.h"
#include "target/command_access.h"
#include "target/pr_registrations.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint32_t CONTROLLER_LUN_ROW = HOST_LUN_ROWS;      // row 512: controller LUN per initiator
constexpr uint32_t FILLED_ROWS = HOST_LUN_ROWS + 1;
// Reruns for one port are at least this far apart (milliseconds).  A port
// whose link flag is up holds its commands until the rebuild clears it, so
// the gap is what a new host's first command can wait.
constexpr uint64_t RERUN_MS = 10;
constexpr uint8_t EVENT_INITIATOR_MAPPED = 63;

uint16_t* s_apwTable[2];
uint64_t s_alLastRunTick[2];
uint8_t s_afHasRun[2] = {FALSE, FALSE};
uint8_t s_afInitiatorMapped[HOST_LUN_INITIATORS];

uint8_t bTableIndex(uint8_t bPort) { return fIsHostPort1Code(bPort) == TRUE ? 0 : 1; }

uint16_t* pwWord(uint8_t bPort, uint32_t dRow, uint32_t dInitiator) {
    uint16_t* pwTable = s_apwTable[bTableIndex(bPort)];
    if (pwTable == nullptr || dRow > CONTROLLER_LUN_ROW || dInitiator >= HOST_LUN_INITIATORS) return nullptr;
    return &pwTable[dRow * HOST_LUN_INITIATORS + dInitiator];
}

void FillTable(uint16_t* pwTable) {
    for (uint32_t i = 0; i < FILLED_ROWS * HOST_LUN_INITIATORS; i++) pwTable[i] = LUN_MAP_NONE;
}

uint8_t bNone(uint16_t* pwLd) {
    *pwLd = 0xFFFF;
    return LUN_LOOKUP_NONE;
}

// The word of a host port table turned into a logical drive; a virtual
// drive reports the per-LUN flag only when fFlagOnVirtual is set.
uint8_t bDecodeLunWord(uint16_t wWord, bool fFlagOnVirtual, uint16_t* pwLd) {
    if (wWord == LUN_MAP_NONE) return bNone(pwLd);
    const uint8_t bFlag = (wWord & HOST_LUN_FLAG) ? LUN_LOOKUP_READ_ONLY : 0;
    const uint16_t wLd = wWord & LUN_MAP_LD_MASK;
    if (wWord & LUN_MAP_VIRTUAL) {
        *pwLd = wLd;
        return fFlagOnVirtual ? (LUN_LOOKUP_VIRTUAL | bFlag) : LUN_LOOKUP_VIRTUAL;
    }
    if (bGetLogicalDriveState(wLd) != LD_STATE_AVAILABLE) return bNone(pwLd);
    *pwLd = wLd;
    return LUN_LOOKUP_LD | bFlag;
}

uint8_t bLookupHostWord(uint8_t bPort, uint16_t wLun, uint16_t wInitiator, bool fFlagOnVirtual, uint16_t* pwLd) {
    if (wLun >= HOST_LUN_ROWS) return bNone(pwLd);
    const uint16_t* pw = pwWord(bPort, wLun, wInitiator);
    if (pw == nullptr) return bNone(pwLd);
    return bDecodeLunWord(*pw, fFlagOnVirtual, pwLd);
}

bool IsInternalQueueCode(uint8_t bPort) {
    return bPort == PORT_CODE_HOST_VARIANT_1 || bPort == PORT_CODE_HOST_VARIANT_2 || bPort == PORT_CODE_INTERNAL ||
           bPort == PORT_CODE_MODULE;
}

uint16_t* pTakeTablePages() {
    // Start-up cannot go on without the tables.
    return static_cast<uint16_t*>(pBufferHandleToPointer(dTakeStartOfDayPages(HOST_LUN_TABLE_PAGES)));
}

// The SAN mapping bit of this port on this controller.
uint16_t wMappingPortBit(uint8_t bPort) {
    const bool fPort1 = fIsHostPort1Code(bPort) == TRUE;
    if (bGetControllerNumber() == 2) return fPort1 ? 0x1000 : 0x0800;
    return fPort1 ? 0x4000 : 0x2000;
}

// The availability bit of this port on this controller's slot.
uint8_t bAvailabilityBit(uint8_t bPort) {
    const bool fPort1 = fIsHostPort1Code(bPort) == TRUE;
    const uint8_t bBit = fPort1 ? 1 : 2;
    return fIsControllerSlot1() == TRUE ? bBit : static_cast<uint8_t>(bBit << 2);
}

// The OEM variant offers a drive on one port only, and moves a drive named
// for the partner's port to this controller while it runs alone.
uint8_t bOemAvailability(uint8_t bBits) {
    const bool fSlot1 = fIsControllerSlot1() == TRUE;
    switch (bBits) {
        case 1: case 2: return (!fSlot1 && fIsDualControllerActive() != TRUE) ? static_cast<uint8_t>(bBits << 2) : bBits;
        case 4: case 8: return (fSlot1 && fIsDualControllerActive() != TRUE) ? static_cast<uint8_t>(bBits >> 2) : bBits;
        default: return 0;
    }
}

// The SAS target ports' record comes from their driver; Fibre Channel ports
// are scanned by their own driver (ScanHostPortInitiators).
void RefreshPortRecord(uint8_t bPort) {
    if (bGetHostInterfaceType() == HOST_INTERFACE_SAS_TARGET) RefreshSasTargetInitiators(bPort, pGetHostPortRecord(bPort));
    // A parallel SCSI port first ends what a bus reset left and brings its
    // IOC up again when asked to.
    if (bGetHostInterfaceType() == HOST_INTERFACE_SAS) ServeHostPortResets(bPort);
    SetHostPortLinkFlag(bPort, FALSE);
    if (fIsDualControllerActive() == TRUE) NotifyPartnerHostPortChange(bPort);
}

// The initiator a SAN mapping names on this port: by port name, or on
// parallel host interfaces by the SCSI ID in the mapping's first byte.
void ApplySanMapping(uint8_t bPort, const SAN_LUN_MAP_ENTRY& sMap, const HOST_PORT_RECORD* psRecord) {
    const uint8_t bInterface = bGetHostInterfaceType();
    const bool fByName = bInterface == HOST_INTERFACE_FC || bInterface == HOST_INTERFACE_SAS_TARGET;
    const uint16_t wPortBit = wMappingPortBit(bPort);
    const uint32_t dCount = psRecord == nullptr ? 0 : (psRecord->bInitiatorCount < HOST_PORT_INITIATORS ? psRecord->bInitiatorCount : HOST_PORT_INITIATORS);
    for (uint32_t i = 0; i < (fByName ? dCount : 1u); i++) {
        uint32_t dInitiator = 0;
        if (fByName) {
            const HOST_INITIATOR& sEntry = psRecord->asInitiator[i];
            if (fWwnEqual(sEntry.abPortName, sMap.abPortWwn) != TRUE) continue;
            dInitiator = sEntry.bId;
        } else {
            if (sMap.abNodeWwn[0] >= 16) continue;
            dInitiator = sMap.abNodeWwn[0];
        }
        if (dInitiator >= HOST_LUN_INITIATORS) continue;
        s_afInitiatorMapped[dInitiator] = TRUE;
        for (uint32_t n = 0; n < HOST_LUN_ROWS; n++) {
            uint16_t w = sMap.awLunMap[n];
            if (w == LUN_MAP_NONE || (w & wPortBit) == 0) continue;
            if ((w & LUN_MAP_VIRTUAL) == 0) {
                const uint16_t wLd = w & LUN_MAP_LD_MASK;
                const LD_RECORD* psLd = pGetLogicalDriveRecord(wLd);
                if (bGetLogicalDriveState(wLd) != LD_STATE_AVAILABLE || psLd == nullptr || psLd->bLdUseFlags != 0) w = LUN_MAP_NONE;
            }
            uint16_t* pw = pwWord(bPort, n, dInitiator);
            if (pw == nullptr || *pw != LUN_MAP_NONE) continue;
            if (w != LUN_MAP_NONE && (w & LUN_MAP_VIRTUAL)) NoteVirtualLunMapped(w);
            *pw = w;
        }
        if (bInterface == HOST_INTERFACE_FC) {
            const uint8_t* pb = sMap.abPortWwn;
            PostEvent(EVENT_INITIATOR_MAPPED, pb[0], pb[1], pb[2], pb[3], pb[4], pb[5], pb[6], pb[7], bPort,
                      static_cast<uint8_t>(dInitiator));
        }
    }
}

}  // namespace

uint8_t AllocateHostLunTables() {
    for (uint16_t*& pwTable : s_apwTable) {
        pwTable = pTakeTablePages();
        FillTable(pwTable);
    }
    SetHostPortLinkFlag(1, FALSE);
    SetHostPortLinkFlag(2, FALSE);
    return STATUS_OK;
}

uint16_t* pGetHostLunTable(uint8_t bPort) { return s_apwTable[bTableIndex(bPort)]; }

uint8_t bLookupCommandLun(const KERNEL_ENTRY* psEntry, uint16_t* pwLd) {
    const uint8_t bPort = psEntry->bPortCode;
    const uint16_t wLun = wGetCommandLun(psEntry);
    if (fIsHostPortCode(bPort) == TRUE) return bLookupHostWord(bPort, wLun, wGetCommandInitiator(psEntry), true, pwLd);
    // Internal queues address the logical drive directly.
    if (wLun >= wGetLogicalDriveCount()) return bNone(pwLd);
    *pwLd = wLun;
    return bGetLogicalDriveState(wLun) == LD_STATE_AVAILABLE ? LUN_LOOKUP_LD : LUN_LOOKUP_NONE;
}

uint8_t bLookupPortLun(uint8_t bPort, uint16_t wLunOrLd, uint16_t wInitiator, uint16_t* pwLd) {
    if (fIsHostPortCode(bPort) == TRUE) return bLookupHostWord(bPort, wLunOrLd, wInitiator, false, pwLd);
    if (!IsInternalQueueCode(bPort) || wLunOrLd >= wGetLogicalDriveCount()) return bNone(pwLd);
    *pwLd = pGetLogicalDriveRecord(wLunOrLd)->wDefaultLun;
    return LUN_LOOKUP_LD;
}

uint8_t bSetHostLun(uint8_t bPort, uint16_t wInitiator, uint16_t wLun, uint16_t wLd, uint8_t fFlag) {
    if (wLun >= HOST_LUN_ROWS) return 0;
    uint16_t* pw = pwWord(bPort, wLun, wInitiator);
    if (pw == nullptr || *pw != LUN_MAP_NONE) return 0;
    *pw = static_cast<uint16_t>((wLd & LUN_MAP_LD_MASK) | HOST_LUN_SET_MARK | (fFlag == TRUE ? HOST_LUN_FLAG : 0));
    return 0xFF;
}

uint16_t wGetInitiatorControllerLun(const KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    if (bPort == PORT_CODE_MODULE || bPort == PORT_CODE_INTERNAL) return 0;
    const uint16_t* pw = pwWord(bPort, CONTROLLER_LUN_ROW, wGetCommandInitiator(psEntry));
    return pw == nullptr ? LUN_MAP_NONE : *pw;
}

void ClearPortLunTable(uint8_t bPort) {
    uint16_t* pwTable = s_apwTable[bTableIndex(bPort)];
    if (pwTable != nullptr) FillTable(pwTable);
    std::memset(s_afInitiatorMapped, FALSE, sizeof(s_afInitiatorMapped));
}

// The table of a port whose record is current: SAN mappings, then the
// default presentation and the controller LUN for initiators no mapping
// claimed; then everything that depends on what hosts see.
void FillPortLunTable(uint8_t bPort) {
    uint16_t* pwTable = s_apwTable[bTableIndex(bPort)];
    if (pwTable == nullptr) return;
    const HOST_PORT_RECORD* psRecord = pGetHostPortRecord(bPort);
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (fIsConfigValid() == TRUE) {
        const uint32_t dMaps = dClampedSanMapCount(psImage);
        for (uint32_t m = 0; m < dMaps; m++) ApplySanMapping(bPort, psImage->asSanMap[m], psRecord);
    }

    const uint8_t bInterface = bGetHostInterfaceType();
    // Parallel host interfaces present bit 0 on port code '1' and bit 1 on '2'.
    const uint8_t bBit = (bInterface != HOST_INTERFACE_FC && bInterface != HOST_INTERFACE_SAS_TARGET)
                             ? (bPort == PORT_CODE_FC_TABLE_1 ? 1 : (bPort == PORT_CODE_FC_TABLE_2 ? 2 : 0))
                             : bAvailabilityBit(bPort);
    for (uint16_t l = 0; l < wGetLogicalDriveCount(); l++) {
        const LD_RECORD* psLd = pGetLogicalDriveRecord(l);
        if (psLd->bSanMapState != 0 || psLd->bLdState != LD_STATE_AVAILABLE || psLd->wDefaultLun >= HOST_LUN_ROWS) continue;
        uint8_t bBits = psLd->bAvailability & 0x0F;
        if (dGetOemCode() == 0x101) bBits = bOemAvailability(bBits);
        if ((bBits & bBit) == 0) continue;
        for (uint32_t i = 0; i < HOST_LUN_INITIATORS; i++)
            if (s_afInitiatorMapped[i] != TRUE) pwTable[psLd->wDefaultLun * HOST_LUN_INITIATORS + i] = l;
    }

    const uint16_t wControllerLun = wGetControllerLun();
    for (uint32_t i = 0; i < HOST_LUN_INITIATORS; i++)
        if (s_afInitiatorMapped[i] != TRUE)
            pwTable[CONTROLLER_LUN_ROW * HOST_LUN_INITIATORS + i] = wControllerLun < HOST_LUN_ROWS ? wControllerLun : LUN_MAP_NONE;

    if (bInterface != HOST_INTERFACE_FC) SetHostPortLinkFlag(bPort, FALSE);
    InitReadAheadBuffers();
    RebuildHostLunVisibility();
    // Registrations belong to port names: who each initiator number is now.
    if (bInterface == HOST_INTERFACE_FC) RecheckInitiatorPortNames(bPort, psRecord);
    RefreshHostLunTable();
}

// On Fibre Channel host ports the driver scans the port and times its own
// reruns; the other host ports are rebuilt here.
bool RebuildPortLunTable(uint8_t bPort) {
    const bool fFcHostPort = bPort == PORT_CODE_FC_HOST_1 || bPort == PORT_CODE_FC_HOST_2;
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC && fFcHostPort) {
        ScanHostPortInitiators(bPort);
        return true;
    }
    const uint8_t bIndex = bTableIndex(bPort);
    if (s_apwTable[bIndex] == nullptr) return false;
    const uint64_t lNow = lGetTickCount();
    if (s_afHasRun[bIndex] == TRUE && lNow - s_alLastRunTick[bIndex] < RERUN_MS) return false;
    s_afHasRun[bIndex] = TRUE;
    s_alLastRunTick[bIndex] = lNow;
    ClearPortLunTable(bPort);
    RefreshPortRecord(bPort);
    FillPortLunTable(bPort);
    // A re-initialisation that failed is tried again on the next scan.
    if (fIsHostPortReinitRequest(bPort) == TRUE) SetHostPortLinkFlag(bPort, TRUE);
    return true;
}

}  // namespace fw
