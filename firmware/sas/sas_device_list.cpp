#include "sas/sas_device_list.h"

#include <cstring>

#include "config/drive_tables.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

SAS_DEVICE_LIST s_sCurrent;
SAS_DEVICE_LIST s_sPrevious;
SAS_DEVICE_LIST s_sPartner;
SAS_DEVICE_LIST s_sWork;

uint8_t s_abDeviceIndexOfTarget[256];
uint32_t s_adTargetFlags[256];
uint64_t s_alTargetHoldOff[256];
uint8_t s_fOverflowReported = FALSE;

constexpr uint8_t EVENT_DRIVE_INSERTED = 97;
constexpr uint8_t EVENT_DRIVE_REMOVED = 118;
constexpr uint16_t DEVICE_PAGE_FLAGS_ENTERED = 0x0003;
// Drives whose address word carries this company identifier number their
// ports in bits 7-6 of byte 5 rather than in the low bits of byte 7.
constexpr uint32_t PORT_BITS_IN_BYTE5_COMPANY = 0x0000CCA0;
constexpr uint32_t START_OF_DAY_READY_MS = 60000;

bool SameIdentity(const SAS_DEVICE_ENTRY& a, const SAS_DEVICE_ENTRY& b) {
    return a.adSASAddress[0] == b.adSASAddress[0] && a.adSASAddress[1] == b.adSASAddress[1] &&
           a.bTargetId == b.bTargetId && a.bBus == b.bBus && a.wDevHandle == b.wDevHandle &&
           a.bEnclosure == b.bEnclosure && a.bSlot == b.bSlot;
}

void ClearEntry(SAS_DEVICE_ENTRY* ps) {
    std::memset(ps, 0, sizeof *ps);
    ps->bTargetId = ps->bPartnerTargetId = ps->bByte19 = 0xFF;
    ps->wDevHandle = ps->wHalf22 = 0xFFFF;
    ps->fValid = ps->fReady = FALSE;
    ps->fSAS = TRUE;
    ps->bByte27 = 1;
    ps->bEnclosure = ps->bSlot = 0xFF;
    ps->fMovingFlag = FALSE;
}

void IndexTargets(const SAS_DEVICE_LIST& sList) {
    std::memset(s_abDeviceIndexOfTarget, SAS_DEVICE_INDEX_NONE, sizeof s_abDeviceIndexOfTarget);
    for (uint8_t i = 0; i < sList.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        const uint8_t bTarget = sList.asEntry[i].bTargetId;
        if (bTarget != 0xFF) s_abDeviceIndexOfTarget[bTarget] = i;
    }
}

const SAS_DEVICE_ENTRY* FindByWwn(const uint8_t* pbWwn) {
    if (fIsNonZeroWwn(pbWwn) != TRUE) return nullptr;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (std::memcmp(s_sCurrent.asEntry[i].abWWN, pbWwn, 8) == 0) return &s_sCurrent.asEntry[i];
    }
    return nullptr;
}

bool fIsKnownDevice(const SAS_DEVICE_ENTRY& s) {
    for (uint8_t j = 0; j < s_sPrevious.bEntryCount && j < SAS_MAX_DEVICES; ++j) {
        if (SameIdentity(s_sPrevious.asEntry[j], s)) return true;
    }
    return false;
}

void PostDriveEvent(uint8_t bCode, const SAS_DEVICE_ENTRY& s) {
    PostEvent(bCode, s.abWWN[0], s.abWWN[1], s.abWWN[2], s.abWWN[3], s.abWWN[4], s.abWWN[5], s.abWWN[6], s.abWWN[7],
              bGetDriveIndexFromEnclosureSlot(s.bEnclosure, s.bSlot), 255, 255, s.bEnclosure, s.bSlot, s.fSAS);
}

// Adds one drive found behind an expander phy to the work list.
void EnterDevice(const SAS_EXPANDER& sExpander, uint8_t bPhy) {
    const uint8_t* pb = nullptr;
    if (bReadSASTopologyPage(MPI_CONFIG_EXTPAGETYPE_SAS_DEVICE, 0,
                             MPI_SAS_PAGE_FORM_HANDLE | sExpander.awAttachedHandle[bPhy], &pb) != STATUS_OK) {
        return;
    }
    MPI_SAS_DEVICE_PAGE_0 s0;
    std::memcpy(&s0, pb, sizeof s0);
    if ((s0.wFlags & DEVICE_PAGE_FLAGS_ENTERED) != DEVICE_PAGE_FLAGS_ENTERED || s0.bAccessStatus != 0) return;
    if (s0.bTargetID >= SAS_PROXY_TARGET_BIT) return;  // the IOC's own ids stay below the proxy range
    if (s_sWork.bEntryCount >= SAS_MAX_DEVICES) {
        if (s_fOverflowReported != TRUE) {
            s_fOverflowReported = TRUE;
            ConsolePrintf("SAS device list full\n");
        }
        return;
    }
    SAS_DEVICE_ENTRY& s = s_sWork.asEntry[s_sWork.bEntryCount++];
    ClearEntry(&s);
    s.adSASAddress[0] = s0.dSASAddressLow;
    s.adSASAddress[1] = s0.dSASAddressHigh;
    s.bTargetId = s0.bTargetID;
    s.bBus = s0.bBus;
    s.wDevHandle = s0.wDevHandle;
    s.fValid = TRUE;
    s.bEnclosure = sExpander.bEnclosure;
    s.bSlot = bSlotOfExpanderPhy(&sExpander, bPhy);
    s.bControllerNumber = bGetControllerNumber();
    s.wDeviceFlags = s0.wFlags;
    s.fSAS = ToFlag((s0.dDeviceInfo & MPI_SAS_DEVICE_INFO_SSP_TARGET) != 0);
    s.wQueueDepth = s.fSAS == TRUE ? 16 : 8;
    MakeSASDriveWwn(s0.dSASAddressLow, s0.dSASAddressHigh, s.abWWN);
    for (uint8_t i = 0; i < s_sPrevious.bEntryCount && i < SAS_MAX_DEVICES; ++i) {
        if (SameIdentity(s_sPrevious.asEntry[i], s)) s.fReady = ToFlag(s_sPrevious.asEntry[i].fValid == TRUE);
    }
}

}  // namespace

void MakeSASDriveWwn(uint32_t dLow, uint32_t dHigh, uint8_t* pbWwn) {
    for (int i = 0; i < 4; ++i) {
        pbWwn[i] = static_cast<uint8_t>(dHigh >> (24 - 8 * i));
        pbWwn[4 + i] = static_cast<uint8_t>(dLow >> (24 - 8 * i));
    }
    if ((dHigh & 0x0FFFFFF0) == PORT_BITS_IN_BYTE5_COMPANY) {
        pbWwn[5] &= 0x3F;
    } else {
        pbWwn[7] &= 0xFC;
    }
}

void InitSASDeviceList(SAS_DEVICE_LIST* psList) {
    std::memset(psList, 0, sizeof *psList);
    for (SAS_DEVICE_ENTRY& s : psList->asEntry) ClearEntry(&s);
}

SAS_DEVICE_LIST* pGetSASDriveInfoList() { return &s_sCurrent; }
SAS_DEVICE_LIST* pGetPreviousSASDriveInfoList() { return &s_sPrevious; }
SAS_DEVICE_LIST* pGetOCSASDriveInfoList() { return &s_sPartner; }

uint8_t bGetSASDeviceIndexOfTarget(uint8_t bTarget) { return s_abDeviceIndexOfTarget[bTarget]; }

SAS_DEVICE_ENTRY* psGetSASDeviceOfTarget(uint8_t bTarget) {
    const uint8_t b = s_abDeviceIndexOfTarget[bTarget];
    return b < SAS_MAX_DEVICES && b < s_sCurrent.bEntryCount ? &s_sCurrent.asEntry[b] : nullptr;
}

void RebuildSASDeviceList(uint8_t) {
    KernelPoolLock sLock;
    InitSASDeviceList(&s_sWork);
    SAS_EXPANDER_LIST* psExpanders = pGetSASExpanderList();
    const SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psExpanders);
    for (uint8_t e = 0; e < psHeader->bExpanderCount && e < SAS_MAX_EXPANDERS; ++e) {
        const SAS_EXPANDER& sEx = psExpanders->asExpander[e];
        if (sEx.fUsable != TRUE || sEx.fResponding != TRUE) continue;
        for (uint8_t p = 0; p < sEx.bNumPhys && p < SAS_EXPANDER_PHYS; ++p) {
            const uint32_t dInfo = sEx.adAttachedDeviceInfo[p];
            if (sEx.adPhyInfo[p] & MPI_SAS_PHYINFO_VIRTUAL_PHY) continue;
            if (!(dInfo & (MPI_SAS_DEVICE_INFO_SATA_DEVICE | MPI_SAS_DEVICE_INFO_SSP_TARGET))) continue;
            if ((dInfo & MPI_SAS_DEVICE_INFO_INITIATORS) == MPI_SAS_DEVICE_INFO_INITIATORS) continue;  // a controller
            if (sEx.awAttachedHandle[p] == 0 || sEx.awAttachedHandle[p] == 0xFFFF) continue;
            EnterDevice(sEx, p);
        }
    }

    // New SATA drives are set up without the lock: set-up waits for replies.
    const bool fReport = fIsInitializationComplete() == TRUE;
    sLock.Release();
    for (uint8_t i = 0; fReport && i < s_sWork.bEntryCount; ++i) {
        SAS_DEVICE_ENTRY& s = s_sWork.asEntry[i];
        if (s.fValid != TRUE || s.fSAS == TRUE || fIsKnownDevice(s)) continue;
        if (bSetupSATADrive(&s) == STATUS_OK) {
            s.fReady = TRUE;
        } else {
            s.fValid = FALSE;
        }
    }
    KernelPoolLock sMergeLock;

    // Merge with the previous pass: a drive seen before keeps its record
    // and counters; a new one and a vanished one are reported.
    for (uint8_t i = 0; i < s_sWork.bEntryCount; ++i) {
        SAS_DEVICE_ENTRY& s = s_sWork.asEntry[i];
        bool fOld = false;
        for (uint8_t j = 0; j < s_sPrevious.bEntryCount && j < SAS_MAX_DEVICES && !fOld; ++j) {
            const SAS_DEVICE_ENTRY& o = s_sPrevious.asEntry[j];
            if (SameIdentity(o, s)) {
                const uint8_t fReady = s.fReady;
                s = o;
                s.fReady = fReady;
                fOld = true;
            } else if (o.bEnclosure == s.bEnclosure && o.bSlot == s.bSlot && o.fValid == TRUE) {
                s.lLastCommandTime = o.lLastCommandTime;
                s.lLast158Time = o.lLast158Time;
                std::memcpy(s.alCounters, o.alCounters, sizeof s.alCounters);
                s.wMovingCounter = o.wMovingCounter;
                s.fMovingFlag = o.fMovingFlag;
            }
        }
        if (!fOld) {
            s_adTargetFlags[s.bTargetId] = s.fSAS == TRUE ? SAS_TARGET_FLAG_NATIVE : 0;
            s_alTargetHoldOff[s.bTargetId] = 0;
            if (fReport) PostDriveEvent(EVENT_DRIVE_INSERTED, s);
        }
    }
    for (uint8_t j = 0; j < s_sPrevious.bEntryCount && j < SAS_MAX_DEVICES; ++j) {
        const SAS_DEVICE_ENTRY& o = s_sPrevious.asEntry[j];
        bool fFound = false;
        for (uint8_t i = 0; i < s_sWork.bEntryCount && !fFound; ++i) fFound = SameIdentity(o, s_sWork.asEntry[i]);
        if (fFound) continue;
        if (fReport && o.bTargetId < SAS_PROXY_TARGET_BIT) PostDriveEvent(EVENT_DRIVE_REMOVED, o);
        if (o.bTargetId != 0xFF) {
            s_adTargetFlags[o.bTargetId] = 0;
        }
    }
    std::memcpy(&s_sCurrent, &s_sWork, sizeof s_sCurrent);
    std::memcpy(&s_sPrevious, &s_sWork, sizeof s_sPrevious);
    IndexTargets(s_sCurrent);
}

// Start of day: find the drives and bring each one to ready.
void InitDriveSideSAS() {
    const uint64_t lStart = lGetTickCount();
    // Links need time to settle only where an expander hangs off the IOC.
    if (fIsExpanderAttached() == TRUE) SpinDelayMs(4000);
    for (uint8_t i = 0; i < 3 && bDiscoverSASExpanders(FALSE) == TRUE; ++i) SpinDelayMs(6000);
    RebuildSASDeviceList(FALSE);

    for (uint8_t i = 0; i < s_sCurrent.bEntryCount; ++i) {
        SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.fValid == TRUE && s.fSAS != TRUE && bSetupSATADrive(&s) != STATUS_OK) {
            s.fValid = FALSE;
        }
    }
    auto testUnitReady = [&](SAS_DEVICE_ENTRY& s, bool fFirst) {
        uint8_t abCdb[10] = {};
        uint8_t bStatus = 0, bKey = 0, bAsc = 0, bAscq = 0;
        uint8_t b = bSendSCSICommandAndWait(s.bTargetId, s.bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey,
                                            &bAsc, &bAscq);
        for (uint8_t t = 0; fFirst && b == STATUS_OK && bStatus == 2 && bKey == 6 && t < 3; ++t) {
            SpinDelayMs(10);
            b = bSendSCSICommandAndWait(s.bTargetId, s.bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey,
                                        &bAsc, &bAscq);
        }
        if (b == STATUS_OK && bStatus == 0) {
            s.fReady = TRUE;
        } else if (b == STATUS_OK && bStatus == 2 && (bKey == 2 || bKey == 6)) {
            if (fFirst && bKey == 2 && bAsc == 0x04 && bAscq != 1) {
                uint8_t abStart[10] = {SCSI_START_STOP_UNIT, 1, 0, 0, 1};
                if (bSendSCSICommandAndWait(s.bTargetId, s.bBus, abStart, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey, &bAsc,
                                            &bAscq) != STATUS_OK ||
                    bStatus != 0) {
                    s.fValid = FALSE;
                        }
            }
        } else {
            s.fValid = FALSE;
        }
    };
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount; ++i) {
        if (s_sCurrent.asEntry[i].fValid == TRUE) testUnitReady(s_sCurrent.asEntry[i], true);
    }
    for (;;) {
        bool fWaiting = false;
        for (uint8_t i = 0; i < s_sCurrent.bEntryCount; ++i) {
            SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
            if (s.fValid == TRUE && s.fReady != TRUE) {
                testUnitReady(s, false);
                fWaiting = fWaiting || (s.fValid == TRUE && s.fReady != TRUE);
            }
        }
        if (!fWaiting || lGetTickCount() - lStart >= START_OF_DAY_READY_MS) break;
        SpinDelayMs(1000);
    }
    std::memcpy(&s_sPrevious, &s_sCurrent, sizeof s_sPrevious);
}

uint8_t bGetTargetIdBySASAddress(const uint8_t* pbWwn, uint8_t* pbTarget) {
    const SAS_DEVICE_ENTRY* ps = FindByWwn(pbWwn);
    *pbTarget = ps ? ps->bTargetId : 0xFF;
    return ps ? STATUS_OK : 0;
}

uint8_t bGetSASDeviceEntryBySASAddress(const uint8_t* pbWwn, SAS_DEVICE_ENTRY** ppsEntry) {
    const SAS_DEVICE_ENTRY* ps = FindByWwn(pbWwn);
    if (!ps) return 0;
    *ppsEntry = const_cast<SAS_DEVICE_ENTRY*>(ps);
    return STATUS_OK;
}

uint8_t bGetSASAddressOfTarget(uint8_t* pbAddress, uint8_t bTarget) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps) return 0;
    std::memcpy(pbAddress, ps->abWWN, 8);
    return STATUS_OK;
}

uint8_t bGetEnclosureSlotOfTarget(uint8_t bTarget, uint8_t* pbEnclosure, uint8_t* pbSlot) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps) return 0;
    *pbEnclosure = ps->bEnclosure;
    *pbSlot = ps->bSlot;
    return STATUS_OK;
}

uint8_t fIsSATATarget(uint8_t bTarget) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ToFlag(ps && ps->fSAS == FALSE);
}

uint8_t bGetDriveIndexOfTarget(uint8_t bTarget) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ps ? bGetDriveIndexFromEnclosureSlot(ps->bEnclosure, ps->bSlot) : DRIVE_POSITION_NONE;
}

uint8_t bGetDriveIndexFromEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot) {
    if (bEnclosure < 1 || bEnclosure > 8 || bSlot < 1 || bSlot > 32) return DRIVE_POSITION_NONE;
    const uint32_t d = (bSlot - 1u) + ((bEnclosure - 1u) << bGetDeviceIdEnclosureShift());
    return d < DRIVE_POSITION_NONE ? static_cast<uint8_t>(d) : DRIVE_POSITION_NONE;
}

uint8_t bGetSATAFirmwareRevisionOfTarget(uint8_t bTarget, uint8_t* pbRevision) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps || ps->fSAS == TRUE) return 0;
    int iEnd = 8;
    while (iEnd > 0 && (ps->acFirmwareRevision[iEnd - 1] == ' ' || ps->acFirmwareRevision[iEnd - 1] == 0)) --iEnd;
    const int iStart = iEnd >= 4 ? iEnd - 4 : 0;
    std::memset(pbRevision, ' ', 4);
    std::memcpy(pbRevision, ps->acFirmwareRevision + iStart, static_cast<size_t>(iEnd - iStart));
    return STATUS_OK;
}

void BuildSASAddressList(DRIVE_ADDRESS_LIST* psList) {
    std::memset(psList, 0xFF, sizeof *psList);
    psList->bCount = 0;
    for (uint8_t i = 0; i < s_sCurrent.bEntryCount && psList->bCount < DRIVE_ADDRESS_ENTRIES; ++i) {
        const SAS_DEVICE_ENTRY& s = s_sCurrent.asEntry[i];
        if (s.fValid != TRUE) continue;
        DRIVE_ADDRESS_ENTRY& d = psList->asEntry[psList->bCount++];
        d.bTarget = s.bTargetId;
        d.bByte1 = s.bPartnerTargetId;
        d.fClaimed = d.fFailed = FALSE;
        std::memcpy(d.abAddress, s.abWWN, 8);
    }
}

DRIVE_ADDRESS_ENTRY* pFindSASAddressInList(DRIVE_ADDRESS_LIST* psList, const uint8_t* pbWwn, uint8_t* pbTarget,
                                           uint8_t fMarkUsed) {
    const uint32_t dCount = psList->bCount < DRIVE_ADDRESS_ENTRIES ? psList->bCount : DRIVE_ADDRESS_ENTRIES;
    for (uint32_t i = 0; i < dCount; i++) {
        DRIVE_ADDRESS_ENTRY& sEntry = psList->asEntry[i];
        if (std::memcmp(sEntry.abAddress, pbWwn, 8) != 0) continue;
        if (fMarkUsed == TRUE) sEntry.fClaimed = TRUE;
        *pbTarget = sEntry.bTarget;
        return &sEntry;
    }
    *pbTarget = 0xFF;
    return nullptr;
}

uint8_t bGetSASDeviceCount() { return s_sCurrent.bEntryCount; }

uint32_t dGetSASTargetFlags(uint8_t bTarget) { return s_adTargetFlags[bTarget]; }
void SetSASTargetFlagBits(uint8_t bTarget, uint32_t dBits) { s_adTargetFlags[bTarget] |= dBits; }
void ClearSASTargetFlagBits(uint8_t bTarget, uint32_t dBits) { s_adTargetFlags[bTarget] &= ~dBits; }
uint64_t lGetSASTargetHoldOff(uint8_t bTarget) { return s_alTargetHoldOff[bTarget]; }
void SetSASTargetHoldOff(uint8_t bTarget, uint64_t lTick) { s_alTargetHoldOff[bTarget] = lTick; }
void ExtendSASTargetHoldOff(uint8_t bTarget, uint32_t dMs) {
    const uint64_t lNow = lGetTickCount();
    s_alTargetHoldOff[bTarget] = (s_alTargetHoldOff[bTarget] > lNow ? s_alTargetHoldOff[bTarget] : lNow) + dMs;
}


}  // namespace fw
