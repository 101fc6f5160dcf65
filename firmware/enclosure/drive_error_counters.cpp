// Drive error counters: a table of 16 enclosures by 32 slots, ten u16
// counters an entry (this controller's five kinds, then the partner's),
// kept in memory only.  The partner's share follows it by a message per
// increment and a whole table at start of day.
#include "enclosure/drive_error_counters.h"

#include <cstring>

#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/command_timeouts.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

constexpr uint8_t SUB_INCREMENT = 1;
constexpr uint8_t SUB_CLEAR = 2;
constexpr uint8_t SUB_TABLE = 3;
constexpr uint8_t ARGUMENTS = 12;   // CDB bytes 12-14
constexpr uint32_t TABLE_PAGES = (ERROR_COUNTER_TABLE_BYTES + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;
constexpr uint8_t PARTNER_GROUP = 5;
constexpr uint8_t EXPANSION_VENDOR[] = {'D', 'u', 'n', 'r', 'a', ' ', ' ', ' '};
constexpr const char* EXPANSION_PRODUCTS[] = {"Vomax expansion ", "KV-4471-Vomaxe2 "};

struct DRIVE_ERROR_COUNTERS {
    uint16_t awCount[ERROR_COUNTER_KINDS * 2];
};
static_assert(sizeof(DRIVE_ERROR_COUNTERS) == 20);

DRIVE_ERROR_COUNTERS s_asTable[ERROR_COUNTER_ENCLOSURES][ERROR_COUNTER_SLOTS];
static_assert(sizeof s_asTable == ERROR_COUNTER_TABLE_BYTES);
uint32_t s_dChangeCount = 0;
// The pages of the table on its way to the partner.
BUFFER_HANDLE s_dSending = NULL_BUFFER_HANDLE;

bool InRange(uint8_t bEnclosure, uint8_t bSlot) {
    return bEnclosure >= 1 && bEnclosure <= ERROR_COUNTER_ENCLOSURES && bSlot >= 1 && bSlot <= ERROR_COUNTER_SLOTS;
}
bool KindInRange(uint8_t bKind) { return bKind >= 1 && bKind <= ERROR_COUNTER_KINDS; }
DRIVE_ERROR_COUNTERS& Entry(uint8_t bEnclosure, uint8_t bSlot) { return s_asTable[bEnclosure - 1][bSlot - 1]; }

void SendToPartner(uint8_t bSubOperation, uint8_t b12, uint8_t b13, uint8_t b14) {
    if (fIsDualControllerActive() != TRUE) return;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(ERROR_COUNTER_MESSAGE);
    s.abCdb[2] = ERROR_COUNTER_MESSAGE_KIND;
    s.abCdb[3] = bSubOperation;
    s.abCdb[ARGUMENTS] = b12;
    s.abCdb[ARGUMENTS + 1] = b13;
    s.abCdb[ARGUMENTS + 2] = b14;
    uint16_t wSlot = PARTNER_NO_SLOT;
    // A lost increment leaves the partner's copy short until the next table.
    (void)bSendMessageToPartner(&s, &wSlot, 0);
}

void ShowGroup(uint8_t bGroup) {
    ConsolePrintf("EN:SL    DrivePath     Timeout    Hardware       Media   Recovered\n");
    for (uint8_t e = 1; e <= ERROR_COUNTER_ENCLOSURES; ++e) {
        for (uint8_t sl = 1; sl <= ERROR_COUNTER_SLOTS; ++sl) {
            DRIVE_INFO* ps = nullptr;
            if (fFindDriveByEnclosureSlot(e, sl, &ps) != TRUE) continue;
            const uint16_t* pw = Entry(e, sl).awCount + bGroup;
            ConsolePrintf("S%02d:%02d        %04d        %04d        %04d        %04d        %04d\n", e, sl, pw[0], pw[1],
                          pw[2], pw[3], pw[4]);
        }
    }
}

}  // namespace

void InitDriveErrorCounters() {
    std::memset(s_asTable, 0, sizeof s_asTable);
    s_dChangeCount = 0;
}

uint32_t dGetDriveErrorChangeCount() { return s_dChangeCount; }

uint16_t wGetDriveErrorCounter(uint8_t bEnclosure, uint8_t bSlot, uint8_t bIndex) {
    if (!InRange(bEnclosure, bSlot) || bIndex >= ERROR_COUNTER_KINDS * 2) return 0;
    return Entry(bEnclosure, bSlot).awCount[bIndex];
}

void IncrementDriveErrorCounter(uint8_t bKind, uint8_t bEnclosure, uint8_t bSlot) {
    if (!InRange(bEnclosure, bSlot) || !KindInRange(bKind) || fIsInitializationComplete() != TRUE) return;
    uint16_t& w = Entry(bEnclosure, bSlot).awCount[bKind - 1];
    w = static_cast<uint16_t>(w + 1);
    SendToPartner(SUB_INCREMENT, bEnclosure, bSlot, bKind);
    ++s_dChangeCount;
}

void bClassifyDriveError(uint8_t bTarget, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq) {
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) != STATUS_OK) return;
    SAS_DEVICE_ENTRY* psDevice = psGetSASDeviceOfTarget(bTarget);
    if (psDevice == nullptr) return;
    uint8_t bKind = 0;
    switch (bSenseKey & 0x0F) {
    case SENSE_RECOVERED_ERROR:
        bKind = ERROR_KIND_RECOVERED;
        if (bAsc == 0x5D) psDevice->fFailurePredicted = TRUE;
        break;
    case SENSE_NOT_READY:
        if (bAsc == 0x04 && bAscq != 0x01) bKind = ERROR_KIND_HARDWARE;
        break;
    case SENSE_MEDIUM_ERROR: bKind = ERROR_KIND_MEDIA; break;
    case SENSE_HARDWARE_ERROR:
    case SENSE_DATA_PROTECT:
    case SENSE_BLANK_CHECK: bKind = ERROR_KIND_HARDWARE; break;
    case SENSE_ABORTED_COMMAND:
        // A path failure is counted by the timeout counter, once a while.
        if (bAsc == 0x47 || bAsc == 0x0E || bAsc == 0x4B) {
            (void)bCountSASDriveTimeout(bTarget);
            return;
        }
        bKind = ERROR_KIND_RECOVERED;
        break;
    default: break;
    }
    if (bKind != 0) IncrementDriveErrorCounter(bKind, bEnclosure, bSlot);
}

void ClearDriveErrorCounters(uint8_t bEnclosure, uint8_t bSlot) {
    if (!InRange(bEnclosure, bSlot)) return;
    Entry(bEnclosure, bSlot) = {};
    SendToPartner(SUB_CLEAR, bEnclosure, bSlot, 0);
}

void ClearPartnerDriveErrorCounters() {
    for (auto& asEnclosure : s_asTable)
        for (DRIVE_ERROR_COUNTERS& s : asEnclosure) std::memset(s.awCount + PARTNER_GROUP, 0, ERROR_COUNTER_KINDS * 2);
}

void SendDriveErrorCountersToPartner() {
    // One table on its way at a time; without pages nothing goes.
    if (fIsDualControllerActive() != TRUE || s_dSending != NULL_BUFFER_HANDLE) return;
    BUFFER_HANDLE dPages = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, TABLE_PAGES, &dPages) != STATUS_OK) return;
    std::memcpy(pBufferHandleToPointer(dPages), s_asTable, sizeof s_asTable);
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(ERROR_COUNTER_MESSAGE);
    s.abCdb[2] = ERROR_COUNTER_MESSAGE_KIND;
    s.abCdb[3] = SUB_TABLE;
    s.wControlFlags = PARTNER_CONTROL_DATA_OUT;
    s.wSegmentCount = 1;
    s.dByteCount = ERROR_COUNTER_TABLE_BYTES;
    s.adSegment[0] = static_cast<uint32_t>(dBufferHandleToPciAddress(dPages));
    s.adSegment[1] = ERROR_COUNTER_TABLE_BYTES;
    uint16_t wSlot = PARTNER_NO_SLOT;
    if (bSendMessageToPartner(&s, &wSlot, 0) != STATUS_OK) {
        (void)wFreeDataPages(dPages, TABLE_PAGES);
        return;
    }
    s_dSending = dPages;
}

void DriveErrorCountersAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    if (psSlot->sMessage.abCdb[2] != ERROR_COUNTER_MESSAGE_KIND || psSlot->sMessage.abCdb[3] != SUB_TABLE) return;
    if (s_dSending == NULL_BUFFER_HANDLE) return;
    (void)wFreeDataPages(s_dSending, TABLE_PAGES);
    s_dSending = NULL_BUFFER_HANDLE;
}

void GetDriveErrorCounters(uint8_t bEnclosure, uint8_t bSlot, DRIVE_ERROR_RECORD* psRecord) {
    if (psRecord == nullptr) return;
    *psRecord = {};
    if (!InRange(bEnclosure, bSlot)) return;
    const uint16_t* pw = Entry(bEnclosure, bSlot).awCount;
    // Controller 0 is the board in controller slot 1.
    const bool fOwnFirst = fIsControllerSlot1() == TRUE;
    std::memcpy(psRecord->awController0, pw + (fOwnFirst ? 0 : PARTNER_GROUP), sizeof psRecord->awController0);
    std::memcpy(psRecord->awController1, pw + (fOwnFirst ? PARTNER_GROUP : 0), sizeof psRecord->awController1);
}

void ShowDriveErrorCounters(uint8_t, uint8_t) {
    const bool fSlot1 = fIsControllerSlot1() == TRUE;
    ConsolePrintf(fSlot1 ? "\nController 0 Drive Error Counters.\n" : "\nController 1 Drive Error Counters.\n");
    ShowGroup(0);
    ConsolePrintf(fSlot1 ? "\nController 1 Drive Error Counters.\n" : "\nController 0 Drive Error Counters.\n");
    ShowGroup(PARTNER_GROUP);
}

uint8_t bTakePartnerDriveErrorMessage(const uint8_t* pbCdb) {
    const uint8_t bEnclosure = pbCdb[ARGUMENTS], bSlot = pbCdb[ARGUMENTS + 1], bKind = pbCdb[ARGUMENTS + 2];
    switch (pbCdb[3]) {
    case SUB_INCREMENT: {
        // A position or kind out of range is the partner's mistake: taken,
        // counted nowhere.
        if (!InRange(bEnclosure, bSlot) || !KindInRange(bKind)) return STATUS_OK;
        uint16_t& w = Entry(bEnclosure, bSlot).awCount[PARTNER_GROUP + bKind - 1];
        w = static_cast<uint16_t>(w + 1);
        ++s_dChangeCount;
        return STATUS_OK;
    }
    case SUB_CLEAR:
        if (InRange(bEnclosure, bSlot)) Entry(bEnclosure, bSlot) = {};
        return STATUS_OK;
    default: return 0;
    }
}

uint8_t bTakePartnerDriveErrorTable(const uint8_t* pbTable, uint32_t dLength) {
    if (pbTable == nullptr || dLength < ERROR_COUNTER_TABLE_BYTES) return 0;
    for (uint8_t e = 0; e < ERROR_COUNTER_ENCLOSURES; ++e) {
        for (uint8_t sl = 0; sl < ERROR_COUNTER_SLOTS; ++sl) {
            // The sender's own five counts, little-endian.
            const uint8_t* pb = pbTable + (static_cast<uint32_t>(e) * ERROR_COUNTER_SLOTS + sl) * 20;
            for (uint8_t k = 0; k < ERROR_COUNTER_KINDS; ++k)
                s_asTable[e][sl].awCount[PARTNER_GROUP + k] = static_cast<uint16_t>(pb[2 * k] | pb[2 * k + 1] << 8);
        }
    }
    ++s_dChangeCount;
    return STATUS_OK;
}

uint8_t bReceiveDriveErrorCounterMessage(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    if (pbCdb[3] != SUB_TABLE) {
        if (bTakePartnerDriveErrorMessage(pbCdb) == STATUS_OK) SendPartnerCommandStatus(ps, 0, 0, 0);
        else SendPartnerCommandStatus(ps, SENSE_ILLEGAL_REQUEST, 0x24, 0);
        return STATUS_OK;
    }
    switch (ps->bPrimaryState) {
    case SLOT_DATA_FAILED: SendPartnerCommandStatus(ps, SENSE_ABORTED_COMMAND, 0x47, 0); return STATUS_OK;
    case SLOT_DATA_GOOD: {
        const uint8_t bTaken = bTakePartnerDriveErrorTable(static_cast<const uint8_t*>(pBufferHandleToPointer(ps->dBuffer)),
                                                           ERROR_COUNTER_TABLE_BYTES);
        if (bTaken == STATUS_OK) SendPartnerCommandStatus(ps, 0, 0, 0);
        else SendPartnerCommandStatus(ps, SENSE_ILLEGAL_REQUEST, 0x24, 0);
        return STATUS_OK;
    }
    default: break;
    }
    // The received command carries no byte count of the sender's: the
    // table is taken whole, as long as it always is.
    if (uint8_t bResult = STATUS_OK; !TakePartnerSlotPages(ps, TABLE_PAGES, &bResult)) return bResult;
    if (bReceiveDataFromPartnerInitiator(ps, dBufferHandleToPciAddress(ps->dBuffer), ERROR_COUNTER_TABLE_BYTES) !=
        STATUS_OK) {
        SendPartnerCommandStatus(ps, SENSE_ABORTED_COMMAND, 0x47, 0);
    }
    return STATUS_OK;
}

uint8_t bIsExpansionEnclosure(const uint8_t* pbVendor, const uint8_t* pbProduct) {
    if (pbVendor == nullptr || pbProduct == nullptr) return 0;
    if (std::memcmp(pbVendor, EXPANSION_VENDOR, sizeof EXPANSION_VENDOR) != 0) return 0;
    for (const char* pc : EXPANSION_PRODUCTS)
        if (std::memcmp(pbProduct, pc, 16) == 0) return STATUS_OK;
    return 0;
}

// The maker every expander of the family reports.
uint8_t fIsEnclosureVendorAccepted(const uint8_t* pbVendor) {
    return ToFlag(pbVendor != nullptr && std::memcmp(pbVendor, EXPANSION_VENDOR, sizeof EXPANSION_VENDOR) == 0);
}

}  // namespace fw
