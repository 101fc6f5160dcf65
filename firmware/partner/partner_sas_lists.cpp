// The drive side's lists between the two controllers: this controller's
// SAS device list (message 157, or read by a joining partner as buffer id
// 15), which the partner merges to reach the drives only this controller
// sees, and its expander list (message 190); and the slot events one side
// tells the other (message 213).
#include <algorithm>
#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_failback.h"
#include "sas/partner_traffic.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint8_t MESSAGE_DEVICE_LIST = 157;
constexpr uint8_t MESSAGE_EXPANDER_LIST = 190;
constexpr uint8_t MESSAGE_SLOT_EVENT = 213;
// The lengths the messages carry, whatever this build's lists hold.
constexpr uint32_t DEVICE_LIST_BYTES = PARTNER_DEVICE_LIST_BYTES;
constexpr uint32_t EXPANDER_LIST_BYTES = 22920;
// Message 213's CDB: enclosure, slot, kind, argument.
constexpr uint8_t SLOT_EVENT_ENCLOSURE = 2;
constexpr uint8_t SLOT_EVENT_SLOT = 3;
constexpr uint8_t SLOT_EVENT_KIND = 4;
constexpr uint8_t SLOT_EVENT_ARGUMENT = 5;
static_assert(sizeof(SAS_DEVICE_LIST) <= DEVICE_LIST_BYTES);
static_assert(sizeof(SAS_EXPANDER_LIST) <= EXPANDER_LIST_BYTES);

uint16_t wPagesFor(uint32_t dBytes) { return static_cast<uint16_t>((dBytes + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE); }

}  // namespace

// A table goes out from pages of its own, freed with the message's slot.
uint8_t bSendPartnerData(INTER_CONTROLLER_MESSAGE* psMessage, const void* pData, uint32_t dDataBytes, uint32_t dBytes,
                         KERNEL_ENTRY* psEntry) {
    if (fIsDualControllerActive() != TRUE) return 0;
    const uint16_t wPages = wPagesFor(dBytes);
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, wPages, &dHandle) != STATUS_OK) return STATUS_RETRY;
    auto* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dHandle));
    std::memcpy(pb, pData, dDataBytes);
    std::memset(pb + dDataBytes, 0, dBytes - dDataBytes);
    psMessage->wControlFlags = PARTNER_CONTROL_DATA_OUT;
    psMessage->wSegmentCount = 1;
    psMessage->dByteCount = dBytes;
    psMessage->adSegment[0] = static_cast<uint32_t>(dBufferHandleToPciAddress(dHandle));
    psMessage->adSegment[1] = dBytes;
    uint16_t wSlot = PARTNER_NO_SLOT;
    const uint8_t b = psEntry != nullptr
                          ? bSendHostMessageToPartner(psMessage, wTargetEntryIndex(psEntry), psEntry->alSequence[0], &wSlot)
                          : bSendMessageToPartner(psMessage, &wSlot, 0);
    if (b != STATUS_OK) {
        (void)wFreeDataPages(dHandle, wPages);
        return b;
    }
    PARTNER_MESSAGE_SLOT* ps = nullptr;
    (void)pGetOutgoingMessageSlot(wSlot, &ps);
    ps->dBuffer = dHandle;
    ps->wPageCount = wPages;
    return STATUS_OK;
}

uint8_t bSendPartnerTable(uint8_t bCode, uint8_t bArgument, const void* pList, uint32_t dListBytes, uint32_t dBytes) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(bCode);
    s.abCdb[2] = bArgument;
    return bSendPartnerData(&s, pList, dListBytes, dBytes, nullptr);
}

// First pass: the table's data into pages the slot frees; second pass: the
// table taken over.  FALSE while the data has not arrived.
bool ReceivePartnerTable(PARTNER_MESSAGE_SLOT* ps, uint32_t dBytes, uint8_t* pbResult) {
    *pbResult = STATUS_OK;
    switch (ps->bPrimaryState) {
    case SLOT_DATA_GOOD: return true;
    case SLOT_DATA_FAILED: SendPartnerCommandStatus(ps, 0x0B, 0x47, 0); return false;
    default: break;
    }
    if (!TakePartnerSlotPages(ps, wPagesFor(dBytes), pbResult)) return false;
    if (bReceiveDataFromPartnerInitiator(ps, dBufferHandleToPciAddress(ps->dBuffer), dBytes) != STATUS_OK) {
        SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
    }
    return false;
}

uint8_t bSendSasPhyMessage157(uint8_t f) {
    return bSendPartnerTable(MESSAGE_DEVICE_LIST, f, pGetSASDriveInfoList(), sizeof(SAS_DEVICE_LIST), DEVICE_LIST_BYTES);
}

uint8_t bSendSasPhyMessage190(uint8_t f) {
    return bSendPartnerTable(MESSAGE_EXPANDER_LIST, f, pGetSASExpanderListForPartner(), sizeof(SAS_EXPANDER_LIST),
                     EXPANDER_LIST_BYTES);
}

uint8_t bReceivePartnerDeviceList(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !ReceivePartnerTable(ps, DEVICE_LIST_BYTES, &bResult)) return bResult;
    std::memcpy(pGetOCSASDriveInfoList(), pBufferHandleToPointer(ps->dBuffer), sizeof(SAS_DEVICE_LIST));
    MergePartnerDeviceList(TRUE);
    SendPartnerCommandStatus(ps, 0, 0, 0);
    return STATUS_OK;
}

uint8_t bReadPartnerDeviceList() {
    uint8_t bTarget = 0xFF, bBus = 0;
    if (fGetPartnerTarget(&bTarget, &bBus) != TRUE) return 0;
    const uint16_t wPages = wPagesFor(DEVICE_LIST_BYTES);
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, wPages, &dHandle) != STATUS_OK) return 0;
    uint8_t abCdb[10] = {SCSI_READ_BUFFER, 0, PARTNER_BUFFER_ID_DEVICE_LIST};
    PutBe24(abCdb + 6, DEVICE_LIST_BYTES);
    uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bAscq = 0;
    const bool fGood = bSendSCSICommandAndWait(bTarget, bBus, abCdb, TRUE, DEVICE_LIST_BYTES, dHandle, &bStatus,
                                               &bKey, &bAsc, &bAscq) == STATUS_OK &&
                       bStatus == SCSI_STATUS_GOOD;
    if (fGood) {
        std::memcpy(pGetOCSASDriveInfoList(), pBufferHandleToPointer(dHandle), sizeof(SAS_DEVICE_LIST));
        // Counts the partner names are not trusted beyond the list's room.
        ClampSASDeviceList(pGetOCSASDriveInfoList());
    }
    (void)wFreeDataPages(dHandle, wPages);
    return fGood ? STATUS_OK : 0;
}

void SendSasDriveMessage213(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind, uint8_t bArgument) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(MESSAGE_SLOT_EVENT);
    s.abCdb[SLOT_EVENT_ENCLOSURE] = bEnclosure;
    s.abCdb[SLOT_EVENT_SLOT] = bSlot;
    s.abCdb[SLOT_EVENT_KIND] = bKind;
    s.abCdb[SLOT_EVENT_ARGUMENT] = bArgument;
    uint16_t wSlot = PARTNER_NO_SLOT;
    // Without a path the partner has no use for it: it finds the slot again
    // itself when it next discovers the fabric.
    (void)bSendMessageToPartner(&s, &wSlot, 0);
}

// Always taken: a slot change may name a slot that holds no drive here yet,
// and the other kinds pass over a slot without one.
uint8_t bReceiveSasSlotEvent(const uint8_t* pbCdb, uint16_t) {
    ProcessSASSlotEvent(pbCdb[SLOT_EVENT_ENCLOSURE], pbCdb[SLOT_EVENT_SLOT], pbCdb[SLOT_EVENT_ARGUMENT],
                        pbCdb[SLOT_EVENT_KIND]);
    return STATUS_OK;
}

uint8_t bReceivePartnerExpanderList(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !ReceivePartnerTable(ps, EXPANDER_LIST_BYTES, &bResult)) return bResult;
    SAS_EXPANDER_LIST* psList = pGetOCSASExpanderList();
    std::memcpy(psList, pBufferHandleToPointer(ps->dBuffer), sizeof(SAS_EXPANDER_LIST));
    SAS_EXPANDER_LIST_HEADER* psHeader = psSASExpanderHeader(psList);
    psHeader->bExpanderCount = std::min(psHeader->bExpanderCount, SAS_MAX_EXPANDERS);
    for (SAS_EXPANDER& s : psList->asExpander) s.bNumPhys = std::min(s.bNumPhys, SAS_EXPANDER_PHYS);
    SetSASPartnerPhyListReceived(TRUE);
    // Only a partner that lost its expanders asks for a look here: every
    // pass sends the list, and a pass for each would never end.
    if (ps->sMessage.abCdb[2] == TRUE) SetSasDriveWork(TRUE);
    SendPartnerCommandStatus(ps, 0, 0, 0);
    return STATUS_OK;
}

}  // namespace fw
