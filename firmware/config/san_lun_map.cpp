// SAN LUN mappings, default LUNs and the controller LUN.
#include "config/san_lun_map.h"

#include <cstring>

#include "config/config_state.h"
#include "config/spares_wwn.h"
#include "dataservices/data_services.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "target/host_list.h"

namespace fw {

namespace {

constexpr char AUTO_NAME[] = "LUN MAPPING  ";
constexpr uint32_t AUTO_NAME_LENGTH = sizeof AUTO_NAME - 1;
constexpr uint32_t NAME_BYTES = 32;
constexpr uint8_t HOST_TYPE_FC = 1;
constexpr uint8_t HOST_TYPE_SAS_TARGET = 6;
constexpr uint16_t VIRTUAL_LD_INDEX_MASK = 0x3FF;

bool IsPlainWord(uint16_t w) { return w != LUN_MAP_NONE && (w & LUN_MAP_VIRTUAL) == 0; }
bool IsVirtualWord(uint16_t w) { return w != LUN_MAP_NONE && (w & LUN_MAP_VIRTUAL) != 0; }
bool NamesBothWwns(uint8_t bHostType) { return bHostType == HOST_TYPE_FC || bHostType == HOST_TYPE_SAS_TARGET; }

bool EntryNamesLd(const SAN_LUN_MAP_ENTRY& sEntry, uint16_t wLd) {
    for (uint16_t w : sEntry.awLunMap)
        if (IsPlainWord(w) && (w & LUN_MAP_LD_MASK) == wLd) return true;
    return false;
}

bool EntryIsEmpty(const SAN_LUN_MAP_ENTRY& sEntry) {
    for (uint16_t w : sEntry.awLunMap)
        if (w != LUN_MAP_NONE) return false;
    return true;
}

// A plain word's logical drive is no longer named through this entry.
void ReleaseMappedLd(CONFIG_IMAGE* psImage, uint16_t wEntry, uint16_t wLd) {
    if (wLd >= dClampedLdCount(psImage)) return;
    CONFIG_LD_RECORD& sLd = psImage->asLd[wLd];
    if (sLd.bSanMapState == SAN_MAP_NAMED) {
        const uint32_t dCount = dClampedSanMapCount(psImage);
        for (uint32_t e = 0; e < dCount; e++)
            if (e != wEntry && EntryNamesLd(psImage->asSanMap[e], wLd)) return;
    } else if (sLd.bSanMapState != SAN_MAP_UNAVAILABLE) {
        return;
    }
    // The drive goes back to the ports it was offered on before: cleared,
    // no host would see it again once its last mapping is gone.
    sLd.bSanMapState = SAN_MAP_NONE;
}

// "LUN MAPPING  " and the three digits of the old index follow the entry.
void RenameMovedEntry(SAN_LUN_MAP_ENTRY* psEntry, uint32_t dOldIndex, uint32_t dNewIndex) {
    char* pc = psEntry->acMapName;
    if (std::memcmp(pc, AUTO_NAME, AUTO_NAME_LENGTH) != 0) return;
    char* pcDigits = pc + AUTO_NAME_LENGTH;
    if (pcDigits[0] != '0' + static_cast<char>(dOldIndex / 100) ||
        pcDigits[1] != '0' + static_cast<char>(dOldIndex / 10 % 10) ||
        pcDigits[2] != '0' + static_cast<char>(dOldIndex % 10)) {
        return;
    }
    pcDigits[0] = static_cast<char>('0' + dNewIndex / 100);
    pcDigits[1] = static_cast<char>('0' + dNewIndex / 10 % 10);
    pcDigits[2] = static_cast<char>('0' + dNewIndex % 10);
}

// The checks create and update share; wSkip is the entry being updated
// (0xFFFF none).
bool PassesEntryChecks(const SAN_LUN_MAP_ENTRY* psRequest, const CONFIG_IMAGE* psImage, uint16_t wSkip) {
    const uint8_t bType = psRequest->bHostType;
    if (NamesBothWwns(bType) && fIsNonZeroWwn(psRequest->abNodeWwn) != TRUE) return false;
    if (bType != 1 && bType != 2 && bType != 3 && bType != 6) return false;
    const uint8_t fExclude = ToFlag(wSkip != 0xFFFF);
    if (fIsInitiatorMapped(psRequest->abNodeWwn, psRequest->abPortWwn, psImage, fExclude, wSkip, FALSE) == TRUE) {
        return false;
    }
    const uint16_t wControllerLun = psRequest->wMapControllerLun;
    if (wControllerLun < MAX_HOST_LUNS && psRequest->awLunMap[wControllerLun] != LUN_MAP_NONE) return false;
    if (NamesBothWwns(bType) && fIsNonZeroWwn(psRequest->abPortWwn) != TRUE) return false;
    if (fIsPrintableName(psRequest->acMapName) != TRUE) return false;
    const uint32_t dCount = dClampedSanMapCount(psImage);
    for (uint32_t e = 0; e < dCount; e++) {
        if (e != wSkip && std::memcmp(psImage->asSanMap[e].acMapName, psRequest->acMapName, NAME_BYTES) == 0) {
            return false;
        }
    }
    return true;
}

// The LUNs the logical drives present by default.
void MarkUsedLuns(const CONFIG_IMAGE* psImage, bool* pfUsed) {
    for (uint32_t n = 0; n < MAX_HOST_LUNS; n++) pfUsed[n] = false;
    const uint32_t dLds = dClampedLdCount(psImage);
    for (uint32_t l = 0; l < dLds; l++)
        if (psImage->asLd[l].wDefaultLun < MAX_HOST_LUNS) pfUsed[psImage->asLd[l].wDefaultLun] = true;
}

void CopyEntryHead(SAN_LUN_MAP_ENTRY* psTo, const SAN_LUN_MAP_ENTRY* psFrom, uint8_t bFlags) {
    CopyWwn(psFrom->abNodeWwn, psTo->abNodeWwn);
    CopyWwn(psFrom->abPortWwn, psTo->abPortWwn);
    psTo->bMapFlags = bFlags;
    psTo->bHostType = psFrom->bHostType;
    psTo->wMapControllerLun = psFrom->wMapControllerLun;
    std::memcpy(psTo->acMapName, psFrom->acMapName, NAME_BYTES);
}

}  // namespace

uint8_t fIsPrintableName(const char* pcName) {
    for (uint32_t i = 0; i < NAME_BYTES; i++) {
        const auto c = static_cast<uint8_t>(pcName[i]);
        if (c < 0x20 || c > 0x7E) return FALSE;
    }
    return TRUE;
}

void InitSanLunMapRequest(SAN_LUN_MAP_ENTRY* psRequest) {
    // The record is packed: its words are written in place, never bound to
    // a reference that assumes their alignment.
    for (size_t i = 0; i < sizeof psRequest->awLunMap / sizeof psRequest->awLunMap[0]; ++i) {
        psRequest->awLunMap[i] = LUN_MAP_NONE;
    }
    psRequest->bMapFlags = 0;
    psRequest->wMapControllerLun = 0;
    psRequest->bHostType = bGetHostInterfaceType();
}

uint8_t CreateSanLunMapping(const SAN_LUN_MAP_ENTRY* psRequest) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    const uint16_t wCount = psImage->sHeader.wSanMapCount;
    if (wCount >= MAX_SAN_MAPS || fAnyLdMappable(psImage) != TRUE) return 0;
    if (!PassesEntryChecks(psRequest, psImage, 0xFFFF)) return 0;
    SAN_LUN_MAP_ENTRY& sEntry = psImage->asSanMap[wCount];
    const uint32_t dLds = dClampedLdCount(psImage);
    for (uint32_t n = 0; n < MAX_HOST_LUNS; n++) {
        const uint16_t w = psRequest->awLunMap[n];
        sEntry.awLunMap[n] = w;
        if (!IsPlainWord(w) || (w & LUN_MAP_LD_MASK) >= dLds) continue;
        CONFIG_LD_RECORD& sLd = psImage->asLd[w & LUN_MAP_LD_MASK];
        sLd.bSanMapState = SAN_MAP_NAMED;
        sLd.bAvailability = 0;
    }
    CopyEntryHead(&sEntry, psRequest, 0);
    psImage->sHeader.wSanMapCount = static_cast<uint16_t>(wCount + 1);
    return STATUS_OK;
}

uint8_t UpdateSanLunMapping(const SAN_LUN_MAP_ENTRY* psRequest, uint16_t wIndex) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    if (wIndex >= dClampedSanMapCount(psImage)) return 0;
    if (!PassesEntryChecks(psRequest, psImage, wIndex)) return 0;
    CopyEntryHead(&psImage->asSanMap[wIndex], psRequest, psRequest->bMapFlags);
    return STATUS_OK;
}

void DeleteSanLunMapping(CONFIG_IMAGE* psImage, uint16_t wIndex) {
    const uint32_t dCount = dClampedSanMapCount(psImage);
    if (wIndex >= dCount) return;
    for (uint16_t w : psImage->asSanMap[wIndex].awLunMap) {
        if (IsVirtualWord(w)) {
            ReleaseVirtualLdWord(w);
        } else if (IsPlainWord(w)) {
            ReleaseMappedLd(psImage, wIndex, w & LUN_MAP_LD_MASK);
        }
    }
    for (uint32_t e = wIndex; e + 1 < dCount; e++) {
        SAN_LUN_MAP_ENTRY& sTo = psImage->asSanMap[e];
        const SAN_LUN_MAP_ENTRY& sFrom = psImage->asSanMap[e + 1];
        CopyEntryHead(&sTo, &sFrom, 0);
        std::memcpy(sTo.awLunMap, sFrom.awLunMap, sizeof sTo.awLunMap);
        std::memcpy(sTo.abMoved, sFrom.abMoved, sizeof sTo.abMoved);
        RenameMovedEntry(&sTo, e + 1, e);
    }
    SAN_LUN_MAP_ENTRY& sLast = psImage->asSanMap[dCount - 1];
    std::memset(&sLast, 0, sizeof sLast);
    psImage->sHeader.wSanMapCount = static_cast<uint16_t>(dCount - 1);
}

uint8_t RemoveVirtualLdFromMappings(CONFIG_IMAGE* psImage, uint16_t wVirtualLd) {
    bool fCleared = false;
    const uint32_t dCount = dClampedSanMapCount(psImage);
    for (uint32_t e = 0; e < dCount; e++) {
        for (uint16_t& w : psImage->asSanMap[e].awLunMap) {
            if (IsVirtualWord(w) && (w & LUN_MAP_LD_MASK) == wVirtualLd) {
                w = LUN_MAP_NONE;
                fCleared = true;
            }
        }
    }
    uint32_t e = 0;
    while (e < dClampedSanMapCount(psImage)) {
        if (EntryIsEmpty(psImage->asSanMap[e])) {
            DeleteSanLunMapping(psImage, static_cast<uint16_t>(e));
        } else {
            ++e;
        }
    }
    return ToFlag(fCleared);
}

uint8_t fIsInitiatorMapped(const uint8_t* pbNodeWwn, const uint8_t* pbPortWwn, const CONFIG_IMAGE* psImage,
                           uint8_t fExclude, uint16_t wIndex, uint8_t fByNode) {
    const uint32_t dCount = dClampedSanMapCount(psImage);
    for (uint32_t e = 0; e < dCount; e++) {
        if (fExclude == TRUE && e == wIndex) continue;
        const SAN_LUN_MAP_ENTRY& s = psImage->asSanMap[e];
        const uint8_t f = fByNode == TRUE ? fWwnEqual(s.abNodeWwn, pbNodeWwn) : fWwnEqual(s.abPortWwn, pbPortWwn);
        if (f == TRUE) return TRUE;
    }
    return FALSE;
}

uint8_t fSanMapNameExists(const char* pcName, const CONFIG_IMAGE* psImage) {
    const uint32_t dCount = dClampedSanMapCount(psImage);
    for (uint32_t e = 0; e < dCount; e++)
        if (std::memcmp(psImage->asSanMap[e].acMapName, pcName, NAME_BYTES) == 0) return TRUE;
    return FALSE;
}

uint8_t fCanMapLogicalDrive(const CONFIG_IMAGE* psImage, uint16_t wWord, uint8_t fCheckRepeat) {
    if (wWord == LUN_MAP_NONE) return 0;
    const uint16_t wTarget = wWord & LUN_MAP_LD_MASK;
    if (IsVirtualWord(wWord)) {
        if ((psImage->asVirtualLd[wTarget].abData[0] & 1) == 0) return 0;
    } else if (wTarget >= dClampedLdCount(psImage) || psImage->asLd[wTarget].bLdUseFlags != 0) {
        return 0;
    }
    if (fCheckRepeat == TRUE && psImage->sHeader.wSanMapCount < MAX_SAN_MAPS) {
        const SAN_LUN_MAP_ENTRY& sBuilding = psImage->asSanMap[psImage->sHeader.wSanMapCount];
        for (uint16_t w : sBuilding.awLunMap) {
            if (w != LUN_MAP_NONE && (w & LUN_MAP_VIRTUAL) == (wWord & LUN_MAP_VIRTUAL) &&
                (w & LUN_MAP_LD_MASK) == wTarget) {
                return 0;
            }
        }
    }
    return STATUS_OK;
}

uint8_t fAnyLdMappable(const CONFIG_IMAGE* psImage) {
    const uint32_t dLds = dClampedLdCount(psImage);
    for (uint32_t l = 0; l < dLds; l++)
        if (psImage->asLd[l].bSanMapState != SAN_MAP_UNAVAILABLE) return TRUE;
    return FALSE;
}

uint8_t FindUnmappedInitiator(const HOST_LIST* psHostList, const CONFIG_IMAGE* psImage, uint16_t wStart,
                              uint16_t* pwIndex, uint8_t* pbWwn) {
    const uint16_t wCount = psHostList->wCount < HOST_LIST_MAX ? psHostList->wCount : HOST_LIST_MAX;
    for (uint16_t h = wStart; h < wCount; h++) {
        // A mapping names its host by node name; a host without one cannot
        // be mapped.
        const uint8_t* pbName = psHostList->asEntry[h].abNodeName;
        if (fIsHostNameSet(pbName) != TRUE) continue;
        if (fIsInitiatorMapped(pbName, pbName, psImage, FALSE, 0, TRUE) == TRUE) continue;
        *pwIndex = h;
        CopyWwn(pbName, pbWwn);
        return STATUS_OK;
    }
    return 0;
}

uint8_t fIsLunUsed(const CONFIG_IMAGE* psImage, uint16_t wLun) {
    const uint32_t dLds = dClampedLdCount(psImage);
    for (uint32_t l = 0; l < dLds; l++)
        if (psImage->asLd[l].wDefaultLun == wLun) return TRUE;
    return FALSE;
}

uint16_t wFindFreeLun(CONFIG_IMAGE* psImage) {
    if (psImage->sHeader.wLdCount == MAX_LDS - 1 && psImage->sHeader.wControllerLun != 0xFFFF) {
        psImage->sHeader.wControllerLun = 0xFFFF;
    }
    bool afUsed[MAX_HOST_LUNS];
    MarkUsedLuns(psImage, afUsed);
    for (uint16_t n = 0; n < MAX_HOST_LUNS; n++)
        if (!afUsed[n]) return n;
    return 0xFFFF;
}

uint16_t wFindControllerLun(const CONFIG_IMAGE* psImage) {
    if (psImage->sHeader.wLdCount >= MAX_LDS) return 0xFFFF;
    if (psImage->sHeader.wLdCount == 0) return 0;
    bool afUsed[MAX_HOST_LUNS];
    MarkUsedLuns(psImage, afUsed);
    for (uint16_t n = MAX_HOST_LUNS - 1; n >= 1; n--)
        if (afUsed[n - 1] && !afUsed[n]) return n;
    return 0xFFFF;
}

void ClearVirtualLdRecord(CONFIG_IMAGE* psImage, uint16_t wVirtualLd) {
    // Bit 10 marks the word virtual; the record index is the rest.
    const uint16_t wIndex = wVirtualLd & VIRTUAL_LD_INDEX_MASK;
    uint8_t* pb = psImage->asVirtualLd[wIndex].abData;
    pb[0] = 0;
    pb[1] = 0;
    std::memset(pb + 2, 0, 4);
    ReleaseVirtualLdWord(wVirtualLd);
}

}  // namespace fw
