// The enclosure table, its host summaries, the deferred slot lists, the
// slot maps of the enclosure models and the slot control table.
#include "enclosure/enclosure_records.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "config/nvram_records.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_utilities.h"
#include "executive/buffer_pages.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/ses.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/smp.h"
#include "enclosure/ses_poll.h"

namespace fw {

namespace {

constexpr uint32_t TABLE_PAGES = 14;
constexpr uint32_t SLOT_CONTROL_PAGES = 2;
constexpr uint8_t SES_LEVEL_ENCLOSURES = 3;
constexpr uint8_t MAX_LISTED_PAGES = 11;
constexpr uint8_t SLOT_CONTROL_ENCLOSURES = 8;
constexpr uint8_t SLOT_CONTROL_SLOTS = 16;
constexpr uint32_t SLOT_CONTROL_ENTRIES = 126;

ENCLOSURE_TABLE* s_psTable = nullptr;
SLOT_CONTROL_TABLE* s_psSlotControl = nullptr;
uint32_t s_dDeferredDrops = 0;

// The models of the one maker whose enclosures have fixed slot maps, by
// the word after "Marlith " in the product identification.
enum class SlotMap : uint8_t { Eight, Twelve, Interleaved, ThirtyTwo, SpareElements };
struct MODEL {
    char acWord[8];
    SlotMap eForward;
    bool fReverse;   // the eight-slot models keep no reverse map
    SlotMap eReverse;
};
constexpr MODEL MODELS[] = {
    {{'8', 'B', 'A', 'Y', '-', 'A', ' ', ' '}, SlotMap::Eight, false, SlotMap::Eight},
    {{'8', 'B', 'A', 'Y', '-', 'B', ' ', ' '}, SlotMap::Eight, false, SlotMap::Eight},
    {{'8', 'B', 'A', 'Y', '-', 'R', ' ', ' '}, SlotMap::Eight, false, SlotMap::Eight},
    {{'1', '2', 'B', 'A', 'Y', '-', 'A', ' '}, SlotMap::Twelve, true, SlotMap::Interleaved},
    {{'1', '2', 'B', 'A', 'Y', '-', 'B', ' '}, SlotMap::Twelve, true, SlotMap::Interleaved},
    {{'1', '2', 'B', 'A', 'Y', '-', 'R', ' '}, SlotMap::Twelve, true, SlotMap::Interleaved},
    {{'1', '2', 'I', 'L', '-', 'A', ' ', ' '}, SlotMap::Interleaved, true, SlotMap::Interleaved},
    {{'1', '2', 'I', 'L', '-', 'B', ' ', ' '}, SlotMap::Interleaved, true, SlotMap::Interleaved},
    {{'1', '2', 'I', 'L', '-', 'R', ' ', ' '}, SlotMap::Interleaved, true, SlotMap::Interleaved},
    {{'1', '2', 'I', 'L', 'F', 'A', ' ', ' '}, SlotMap::Interleaved, true, SlotMap::Interleaved},
    {{'1', '2', 'I', 'L', 'F', 'B', ' ', ' '}, SlotMap::Interleaved, true, SlotMap::Interleaved},
    {{'1', '2', 'I', 'L', 'F', 'R', ' ', ' '}, SlotMap::Interleaved, true, SlotMap::Interleaved},
};
constexpr char MODEL_VENDOR[8] = {'B', 'e', 'x', 'a', 'l', ' ', ' ', ' '};
constexpr char MODEL_PRODUCT[8] = {'M', 'a', 'r', 'l', 'i', 't', 'h', ' '};

constexpr uint8_t INTERLEAVED[12] = {1, 2, 4, 5, 7, 8, 10, 11, 3, 6, 9, 12};
constexpr uint8_t SPARE_FORWARD[ENCLOSURE_SLOT_MAP_ENTRIES] = {25, 26, 3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                               12, 13, 14, 23, 24, 15, 16, 17, 18, 19, 20,
                                                               21, 22, 27, 28, 29, 30, 31, 32, 33, 34};
constexpr uint8_t SPARE_REVERSE[ENCLOSURE_SLOT_MAP_ENTRIES] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                               12, 13, 14, 23, 24, 15, 16, 17, 18, 19, 20,
                                                               21, 22, 27, 28, 29, 30, 31, 32, 33, 34};

void FillMap(uint8_t* pbMap, SlotMap eMap, bool fReverse) {
    std::memset(pbMap, 0, ENCLOSURE_SLOT_MAP_ENTRIES);
    switch (eMap) {
    case SlotMap::Eight:
        for (uint8_t i = 0; i < 8; ++i) pbMap[i] = static_cast<uint8_t>(i + 1);
        break;
    case SlotMap::Twelve:
        for (uint8_t i = 0; i < 12; ++i) pbMap[i] = static_cast<uint8_t>(i + 1);
        break;
    case SlotMap::Interleaved:
        std::memcpy(pbMap, INTERLEAVED, sizeof INTERLEAVED);
        break;
    case SlotMap::ThirtyTwo:
        for (uint8_t i = 0; i < ENCLOSURE_SLOT_MAP_ENTRIES; ++i) pbMap[i] = static_cast<uint8_t>(i + 1);
        break;
    case SlotMap::SpareElements:
        std::memcpy(pbMap, fReverse ? SPARE_REVERSE : SPARE_FORWARD, ENCLOSURE_SLOT_MAP_ENTRIES);
        break;
    }
}

bool fSesReady() { return s_psTable != nullptr && bGetSesLevel() == SES_LEVEL_ENCLOSURES; }

void Defer(DEFERRED_SLOT_LIST& s, uint8_t bEnclosure, uint8_t bSlot) {
    if (s.dCount >= DEFERRED_SLOT_ENTRIES) {
        ++s_dDeferredDrops;
        return;
    }
    uint8_t* pb = s.aabEntry[s.dCount++];
    pb[0] = bEnclosure;
    pb[1] = bSlot;
    pb[2] = pb[3] = 0;
}

}  // namespace

void InitEnclosureTable() {
    if (s_psTable == nullptr) {
        s_psTable = static_cast<ENCLOSURE_TABLE*>(pBufferHandleToPointer(dTakeStartOfDayPages(TABLE_PAGES)));
    }
    std::memset(s_psTable, 0, sizeof *s_psTable);
    for (ENCLOSURE& s : s_psTable->asEnclosure) std::memset(s.abEclosureIdentifier, 0xFF, sizeof s.abEclosureIdentifier);
    s_psTable->fSesDataValid = FALSE;
    s_dDeferredDrops = 0;
    ResetHostSummaries();
    ResetEnclosureTable();
    ResetEnclosureScanState();
}

void ResetEnclosureTable() {
    if (s_psTable == nullptr) return;
    for (ENCLOSURE& s : s_psTable->asEnclosure) {
        s.bNoOfDrivePath = 0;
        s.bNoOfDrives = 0;
        s.bNoOfDrivesPresent = 0;
        s.bFirstDriveInList = 0;
        s.dTimedRequestDeadline = 0;
        s.bTimedRequest = 0;
        s.abConfigPage[0] = ENCLOSURE_PAGE_NONE;
        s.abStringPage[0] = ENCLOSURE_PAGE_NONE;
        s.abSupportedPages[0] = ENCLOSURE_PAGE_NONE;
        s.abThresholdPage[0] = ENCLOSURE_PAGE_NONE;
        s.abDescriptorPage[0] = ENCLOSURE_PAGE_NONE;
    }
    s_psTable->dTotalNoOfEnclosures = 0;
    s_psTable->dCurrentEnclosure = 0;
    ResetEnclosureScanState();
}

void ResetHostSummaries() {
    if (s_psTable == nullptr) return;
    std::memset(s_psTable->abHostConfiguration, 0, sizeof s_psTable->abHostConfiguration);
    std::memset(s_psTable->abHostEnclosureStatus, 0, sizeof s_psTable->abHostEnclosureStatus);
    std::memset(s_psTable->abHostSlotStatus, 0, sizeof s_psTable->abHostSlotStatus);
    std::memset(s_psTable->abHostPage5, 0, sizeof s_psTable->abHostPage5);
    std::memset(s_psTable->abHostStatistics, 0, sizeof s_psTable->abHostStatistics);
    // The hosts' fixed numbering of the twelve slots behind the supplies.
    constexpr uint8_t SLOT_ORDER[12] = {0, 1, 8, 2, 3, 9, 4, 5, 10, 6, 7, 11};
    std::memcpy(&s_psTable->abHostEnclosureStatus[4], SLOT_ORDER, sizeof SLOT_ORDER);
}

ENCLOSURE_TABLE* pGetEnclosureTable() { return s_psTable; }

uint8_t fGetEnclosureTable(ENCLOSURE_TABLE** ppsTable) {
    *ppsTable = s_psTable;
    return ToFlag(fSesReady());
}

uint8_t bGetSesPageBuffer(uint8_t bIndex, uint16_t* pwLength, uint8_t** ppbAddress) {
    if (!fSesReady() || s_psTable->fSesDataValid != TRUE) return 0;
    switch (bIndex) {
    case HOST_PAGE_CONFIGURATION:
        *pwLength = 64;
        *ppbAddress = s_psTable->abHostConfiguration;
        return STATUS_OK;
    case HOST_PAGE_ENCLOSURE_STATUS:
        *pwLength = 24;
        *ppbAddress = s_psTable->abHostEnclosureStatus;
        return STATUS_OK;
    case HOST_PAGE_STATISTICS: {
        uint8_t* pb = s_psTable->abHostStatistics;
        std::memset(pb, 0, 16);
        // Running time in minutes: the time since this start.
        PutBe32(pb, static_cast<uint32_t>(lGetTickCount() / 60000));
        const uint16_t wBoots = static_cast<uint16_t>(dGetNvramBootCount());
        pb[6] = static_cast<uint8_t>(wBoots >> 8);
        pb[7] = static_cast<uint8_t>(wBoots);
        *pwLength = 16;
        *ppbAddress = pb;
        return STATUS_OK;
    }
    case HOST_PAGE_SLOT_STATUS:
        *pwLength = 49;
        *ppbAddress = s_psTable->abHostSlotStatus;
        return STATUS_OK;
    case HOST_PAGE_FAULTS:
        *pwLength = 16;
        *ppbAddress = s_psTable->abHostPage5;
        return STATUS_OK;
    default:
        return 0;
    }
}

uint8_t bGetEnclosureInstalledCount(uint8_t bEnclosure) {
    if (!fSesReady() || bEnclosure >= s_psTable->dTotalNoOfEnclosures) return 0;
    return s_psTable->asEnclosure[bEnclosure].bNoOfDrivesPresent;
}

uint8_t bGetEnclosureDriveCount() {
    if (!fSesReady() || s_psTable->fSesDataValid != TRUE) return 0;
    return static_cast<uint8_t>(s_psTable->bTotalNoOfDrives);
}

uint8_t fIsSlotPageSupported(uint8_t bEnclosure) {
    if (s_psTable == nullptr || bEnclosure > s_psTable->dTotalNoOfEnclosures || bEnclosure >= MAX_ENCLOSURES) return FALSE;
    const uint8_t* pb = s_psTable->asEnclosure[bEnclosure].abSupportedPages;
    if (pb[0] != 0 || pb[3] > MAX_LISTED_PAGES) return FALSE;
    for (uint8_t i = 0; i < pb[3]; ++i)
        if (pb[4 + i] == SES_PAGE_SLOT) return TRUE;
    return FALSE;
}

uint8_t fIsSesPageSupported(uint8_t bPage, uint8_t bEnclosure) {
    if (s_psTable == nullptr || bEnclosure >= MAX_ENCLOSURES) return FALSE;
    const uint8_t* pb = s_psTable->asEnclosure[bEnclosure].abSupportedPages;
    if (pb[0] == ENCLOSURE_PAGE_NONE) return TRUE;
    const uint8_t bListed = std::min<uint8_t>(pb[3], ENCLOSURE_SUPPORTED_COPY_BYTES - 4);
    for (uint8_t i = 0; i < bListed; ++i)
        if (pb[4 + i] == bPage) return TRUE;
    return FALSE;
}

uint32_t dSesPageBytes(const uint8_t* pbPage) {
    return (static_cast<uint32_t>(pbPage[SES_PAGE_LENGTH_OFFSET]) << 8 | pbPage[SES_PAGE_LENGTH_OFFSET + 1]) + 4;
}

uint32_t dCopySesPage(uint8_t* pbCopy, uint32_t dCopyBytes, const uint8_t* pbPage, uint32_t dArrived) {
    const uint32_t d = std::min({dSesPageBytes(pbPage), dArrived, dCopyBytes});
    std::memcpy(pbCopy, pbPage, d);
    std::memset(pbCopy + d, 0, dCopyBytes - d);
    return d;
}

void SetEnclosureTimedRequest(uint8_t bEnclosure, uint16_t wSeconds) {
    if (s_psTable == nullptr || bEnclosure > s_psTable->dTotalNoOfEnclosures || bEnclosure >= MAX_ENCLOSURES) return;
    ENCLOSURE& s = s_psTable->asEnclosure[bEnclosure];
    s.bTimedRequest = ENCLOSURE_TIMED_REQUEST;
    s.dTimedRequestDeadline = dGetCoarseTick() + 2u * wSeconds;
    RequestEnclosureStatusUpdate(TRUE);
}

uint8_t fIsEnclosureTimedRequestDue() {
    if (!fSesReady()) return FALSE;
    const uint32_t dNow = dGetCoarseTick();
    for (const ENCLOSURE& s : s_psTable->asEnclosure)
        if (s.dTimedRequestDeadline != 0 && s.dTimedRequestDeadline < dNow) return TRUE;
    return FALSE;
}

void DeferEmptiedSlot(uint8_t bEnclosure, uint8_t bSlot) {
    if (s_psTable != nullptr) Defer(s_psTable->sEmptiedSlots, bEnclosure, bSlot);
}
void DeferOccupiedSlot(uint8_t bEnclosure, uint8_t bSlot) {
    if (s_psTable != nullptr) Defer(s_psTable->sOccupiedSlots, bEnclosure, bSlot);
}
uint32_t dGetDeferredSlotDrops() { return s_dDeferredDrops; }

void ProcessDeferredSlotLists() {
    if (s_psTable == nullptr) return;
    DEFERRED_SLOT_LIST& a = s_psTable->sEmptiedSlots;
    for (uint32_t i = 0; i < a.dCount && i < DEFERRED_SLOT_ENTRIES; ++i) ClearSlotPhyDisabled(a.aabEntry[i][0], a.aabEntry[i][1]);
    // The drive table takes no action on a slot that filled: the drive
    // rescan finds the drive.
    a.dCount = 0;
    s_psTable->sOccupiedSlots.dCount = 0;
}

void SetEnclosureSlotMaps(ENCLOSURE* psEnclosure, const uint8_t* pbVendorProduct, uint8_t bEnclosureType) {
    if (std::memcmp(pbVendorProduct, MODEL_VENDOR, 8) == 0 && std::memcmp(pbVendorProduct + 8, MODEL_PRODUCT, 8) == 0) {
        for (const MODEL& m : MODELS) {
            if (std::memcmp(pbVendorProduct + 16, m.acWord, 8) != 0) continue;
            FillMap(psEnclosure->abSlotToElement, m.eForward, false);
            if (m.fReverse) FillMap(psEnclosure->abElementToSlot, m.eReverse, true);
            return;
        }
    }
    switch (bEnclosureType) {
    case 6:
    case 8:
    case 16:
    case 17:
        FillMap(psEnclosure->abSlotToElement, SlotMap::ThirtyTwo, false);
        FillMap(psEnclosure->abElementToSlot, SlotMap::ThirtyTwo, true);
        break;
    case 144:
        FillMap(psEnclosure->abSlotToElement, SlotMap::SpareElements, false);
        FillMap(psEnclosure->abElementToSlot, SlotMap::SpareElements, true);
        break;
    default:
        FillMap(psEnclosure->abSlotToElement, SlotMap::Interleaved, false);
        FillMap(psEnclosure->abElementToSlot, SlotMap::Interleaved, true);
        break;
    }
}

uint8_t bConfigurationSlotCount(const uint8_t* pbPage, uint32_t dBytes) {
    const uint32_t dTypes = pbPage[SES_CONFIG_TYPE_COUNT_OFFSET];
    uint32_t d = SES_CONFIG_IDENTIFIER_OFFSET + pbPage[SES_CONFIG_DESCRIPTOR_LENGTH_OFFSET];
    for (uint32_t i = 0; i < dTypes && d + SES_TYPE_HEADER_BYTES <= dBytes; ++i, d += SES_TYPE_HEADER_BYTES) {
        if (pbPage[d] == SES_TYPE_ARRAY_DEVICE || pbPage[d] == SES_TYPE_DEVICE) return pbPage[d + 1];
    }
    return 0;
}

SLOT_CONTROL_TABLE* pGetSlotControlTable() { return s_psSlotControl; }

void InitSlotControlTable() {
    if (s_psSlotControl == nullptr) {
        s_psSlotControl = static_cast<SLOT_CONTROL_TABLE*>(pBufferHandleToPointer(dTakeStartOfDayPages(SLOT_CONTROL_PAGES)));
    }
    std::memset(s_psSlotControl, 0, sizeof *s_psSlotControl);
    s_psSlotControl->dChangeCount = 1;
    s_psSlotControl->dOne = 1;
    for (SLOT_CONTROL_ENTRY& s : s_psSlotControl->asEntry) {
        s.dRequest = SLOT_REQUEST_STEADY;
        s.dWantedState = SLOT_STATE_ON;
        s.dRevision = 1;
    }
}

namespace {
// Revisions wrap past 0, which only a table that keeps none carries, and
// compare as serial numbers.
uint32_t dNextRevision(uint32_t d) { return d + 1 != 0 ? d + 1 : 1; }
bool fIsNewerRevision(uint32_t dTheirs, uint32_t dOurs) { return static_cast<int32_t>(dTheirs - dOurs) > 0; }

// The entry of a position, null for one outside the table (the last
// enclosure's last two slots have none).
SLOT_CONTROL_ENTRY* psSlotEntry(uint8_t bEnclosure, uint8_t bSlot) {
    if (s_psSlotControl == nullptr || bEnclosure < 1 || bEnclosure > SLOT_CONTROL_ENCLOSURES || bSlot < 1 ||
        bSlot > SLOT_CONTROL_SLOTS) {
        return nullptr;
    }
    const uint32_t d = (bEnclosure - 1u) * SLOT_CONTROL_SLOTS + (bSlot - 1u);
    return d < SLOT_CONTROL_ENTRIES ? &s_psSlotControl->asEntry[d] : nullptr;
}
}  // namespace

uint8_t bQueueEnclosureSlotControl(uint8_t bEnclosure, uint8_t bSlot, uint8_t bState, uint8_t bRequest,
                                   uint8_t bDuration) {
    SLOT_CONTROL_ENTRY* ps = psSlotEntry(bEnclosure, bSlot);
    if (ps == nullptr || (bState != SLOT_STATE_ON && bState != SLOT_STATE_OFF) ||
        (bRequest != SLOT_REQUEST_STEADY && bRequest != SLOT_REQUEST_TIMED && bRequest != SLOT_REQUEST_OTHER) ||
        (bRequest == SLOT_REQUEST_TIMED && bDuration == 0)) {
        return 0;
    }
    ++s_psSlotControl->dChangeCount;
    ps->dWantedState = bState;
    ps->dRequest = bRequest;
    ps->dDeadline = dGetCoarseTickHalf() + bDuration;
    ps->dRevision = dNextRevision(ps->dRevision);
    RequestEnclosureStatusUpdate(TRUE);
    // The master sends the slot state both controllers keep: a change made
    // here on the other controller goes to it first.
    if (fIsMasterController() != TRUE && fIsDualControllerActive() == TRUE) (void)bSendAaMuxMessage210();
    if (bGetSesLevel() != SES_LEVEL_ENCLOSURES) (void)bSendSASEnclosureSlotPage();
    return STATUS_OK;
}

uint8_t bGetSlotControlState(uint8_t bEnclosure, uint8_t bSlot, uint8_t* pbRequest, uint32_t* pdRemaining) {
    // The enclosure asked about is checked, not the one the page cycle is on.
    // Enclosure discovery runs on the master only: beside an active master
    // this controller answers from the state the master hands it with the
    // slot page, for every position the table holds.
    if (s_psTable == nullptr || (fIsMasterController() == TRUE && bEnclosure > s_psTable->dTotalNoOfEnclosures)) return 0;
    SLOT_CONTROL_ENTRY* ps = psSlotEntry(bEnclosure, bSlot);
    if (ps == nullptr) return 0;
    *pdRemaining = 0;
    if (ps->dRequest == SLOT_REQUEST_TIMED) {
        ++s_psSlotControl->dChangeCount;
        const uint32_t dNow = dGetCoarseTickHalf();
        if (static_cast<int32_t>(ps->dDeadline - dNow) <= 0) {
            ps->dRequest = SLOT_REQUEST_STEADY;
            ps->dWantedState = ps->dWantedState == SLOT_STATE_ON ? SLOT_STATE_OFF : SLOT_STATE_ON;
        } else {
            *pdRemaining = ps->dDeadline - dNow;
        }
    }
    *pbRequest = static_cast<uint8_t>(ps->dRequest);
    return static_cast<uint8_t>(ps->dWantedState);
}

uint8_t bSendAaMuxMessage210() {
    if (s_psSlotControl == nullptr) return 0;
    static AA_MUX_SLOT_STATE s_sState;
    s_sState.sTable = *s_psSlotControl;
    s_sState.dSenderTickHalf = dGetCoarseTickHalf();
    return bSendPartnerTable(AA_MUX_MESSAGE_SLOT_STATE, 0, &s_sState, sizeof s_sState, sizeof s_sState);
}

namespace {

// Only a table of the layout and values this controller keeps is taken.
bool IsSlotControlTable(const SLOT_CONTROL_TABLE& s) {
    if (s.dOne != 1) return false;
    return std::all_of(std::begin(s.asEntry), std::end(s.asEntry), [](const SLOT_CONTROL_ENTRY& e) {
        return (e.dWantedState == SLOT_STATE_ON || e.dWantedState == SLOT_STATE_OFF) &&
               (e.dRequest == SLOT_REQUEST_STEADY || e.dRequest == SLOT_REQUEST_TIMED ||
                e.dRequest == SLOT_REQUEST_OTHER);
    });
}

// Takes the partner's slot state into this controller's table, a timed
// request keeping the time it had left on the partner's clock.  A partner
// that keeps no revisions hands over its whole table.  Otherwise only what
// it changed later is taken, so that a request made here at the moment the
// partner's table left is not undone; where both changed a slot as often,
// the master's request stands on both.  True when this controller keeps a
// request the partner's table lacks: the partner must be told.
bool fMergePartnerSlotState(const AA_MUX_SLOT_STATE& sState) {
    const bool fWhole = std::none_of(std::begin(sState.sTable.asEntry), std::end(sState.sTable.asEntry),
                                     [](const SLOT_CONTROL_ENTRY& e) { return e.dRevision != 0; });
    const bool fMaster = fIsMasterController() == TRUE;
    const uint32_t dNow = dGetCoarseTickHalf();
    bool fPartnerLacks = false;
    for (uint32_t d = 0; d < SLOT_CONTROL_ENTRIES; ++d) {
        const SLOT_CONTROL_ENTRY& sTheirs = sState.sTable.asEntry[d];
        SLOT_CONTROL_ENTRY& sOurs = s_psSlotControl->asEntry[d];
        if (fWhole || fIsNewerRevision(sTheirs.dRevision, sOurs.dRevision) ||
            (!fMaster && sTheirs.dRevision == sOurs.dRevision)) {
            sOurs.dRequest = sTheirs.dRequest;
            sOurs.dWantedState = sTheirs.dWantedState;
            sOurs.dDeadline = dNow + (sTheirs.dDeadline - sState.dSenderTickHalf);
            if (!fWhole) sOurs.dRevision = sTheirs.dRevision;
        } else if (sOurs.dRevision != sTheirs.dRevision || sOurs.dRequest != sTheirs.dRequest ||
                   sOurs.dWantedState != sTheirs.dWantedState) {
            fPartnerLacks = true;
        }
    }
    return fPartnerLacks;
}

}  // namespace

// First pass: the state into the slot's pages; second pass: the state
// merged in.  The change count moves on here (the page pass looks for a
// change), then the page goes to the enclosure when this controller's
// discovery found its enclosure services; without them there is no page
// to send here and the state is only kept.
uint8_t bReceiveAaMuxMessage210(PARTNER_MESSAGE_SLOT* psSlot) {
    if (uint8_t bResult = STATUS_OK; !ReceivePartnerTable(psSlot, sizeof(AA_MUX_SLOT_STATE), &bResult)) return bResult;
    AA_MUX_SLOT_STATE sState;
    std::memcpy(&sState, pBufferHandleToPointer(psSlot->dBuffer), sizeof sState);
    if (s_psSlotControl == nullptr) {
        SendPartnerCommandStatus(psSlot, SENSE_NOT_READY, ASC_NOT_READY, 0);
        return STATUS_OK;
    }
    if (!IsSlotControlTable(sState.sTable)) {
        SendPartnerCommandStatus(psSlot, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_PARAMETERS, 0);
        return STATUS_OK;
    }
    const bool fPartnerLacks = fMergePartnerSlotState(sState);
    ++s_psSlotControl->dChangeCount;
    uint8_t bBus = 0;
    uint8_t bOwnPage = STATUS_OK;
    bool fHandedBack = false;
    if (bGetEnclosure1ProcessorTarget(&bBus) != NO_SES_DEVICE) {
        (void)bSendSASEnclosureSlotPage(&bOwnPage);
        fHandedBack = fIsMasterController() == TRUE;   // the master's page hands its state back
    }
    if (fPartnerLacks && !fHandedBack) (void)bSendAaMuxMessage210();
    if (bOwnPage == STATUS_OK) {
        SendPartnerCommandStatus(psSlot, 0, 0, 0);
    } else {
        SendPartnerCommandStatus(psSlot, SENSE_HARDWARE_ERROR, ASC_INTERNAL_TARGET_FAILURE, 0);
    }
    return STATUS_OK;
}

}  // namespace fw
