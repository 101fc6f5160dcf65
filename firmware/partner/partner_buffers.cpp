// Data one controller reads out of the other with READ BUFFER: the status
// block a joining controller takes over at start of day, the host-port
// initiator records, and the controller information, event log and
// statistics the console and the debug dump show of the partner, with the
// clears of the last two.
#include <algorithm>
#include <cstring>

#include "cache/flush_sequencer.h"
#include "config/config_state.h"
#include "config/host_port_tables.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "eventlog/event_image.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_record.h"
#include "console/information_menus.h"
#include "eventlog/debug_dump.h"
#include "executive/buffer_pages.h"
#include "executive/nvram_access.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/ql_host_events.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "raid/parity_check.h"
#include "raid/rebuild.h"
#include "sas/active_active.h"
#include "sas/sas_device_list.h"
#include "sas/sas_scsi_path.h"
#include "target/host_command_pool.h"
#include "target/persistent_reservations.h"
#include "target/pr_registrations.h"

namespace fw {

namespace {

// Request kinds whose answer a caller waits for (the slot's command type).
constexpr uint8_t KIND_CONSOLE_INFORMATION = 133;
constexpr uint8_t KIND_CONSOLE_EVENT_LOG = 135;
constexpr uint8_t KIND_EVENT_LOG_CLEARED = 137;
constexpr uint8_t KIND_EVENT_LOG_CLEAR_QUIET = 136;
constexpr uint8_t KIND_CONSOLE_STATISTICS = 139;
constexpr uint8_t KIND_STATISTICS_CLEARED = 141;
constexpr uint8_t KIND_STATISTICS_CLEAR_QUIET = 140;
constexpr uint8_t KIND_DUMP_INFORMATION = 173;
constexpr uint8_t KIND_DUMP_STATISTICS = 175;
// The listing kind that names its window in the host command's CDB.
constexpr uint8_t KIND_HOST_EVENT_WINDOW = 134;

constexpr uint8_t EVENT_VIEW_COUNTS = 9;
constexpr uint32_t EVENT_COUNTS_BYTES = 4;
constexpr uint32_t EVENT_LISTING_PAGES = 25;
constexpr uint32_t STATISTICS_PAGES = 2050;
// After three full statistics answers in a row that did not go out, the
// short record is sent: it needs one page.
constexpr uint8_t FULL_STATISTICS_TRIES = 3;

// The status block a joining controller takes over.
constexpr uint32_t STATUS_BLOCK_BYTES = 2048;
constexpr uint32_t STATUS_REBUILD_BYTES = 130;        // selector, pending flag, copies A and B
constexpr uint32_t STATUS_EXPANSION_OFFSET = 130;
constexpr uint32_t STATUS_EXPANSION_BYTES = 32;       // selector, flag, 6 spare, copies A and B
constexpr uint32_t STATUS_PARITY_OFFSET = 164;
constexpr uint32_t STATUS_STRIPE_INIT_OFFSET = 176;
constexpr uint32_t STATUS_STRIPE_INIT_BYTES =
    NVRAM_OFFSET(abStripeInitBitmaps) - NVRAM_OFFSET(abStripeInitSelectors);
static_assert(NVRAM_OFFSET(abExpansionRecord) - NVRAM_OFFSET(bExpansionSelector) == 8);
static_assert(STATUS_EXPANSION_OFFSET + STATUS_EXPANSION_BYTES <= STATUS_PARITY_OFFSET);
// TRUE: the controller answering waits for the joining one to write out
// the journals it holds (it was lost at a start of both together before
// it copied them over).  The last byte, zero before.
constexpr uint32_t STATUS_AWAITS_JOURNALS_OFFSET = STATUS_BLOCK_BYTES - 1;
static_assert(STATUS_STRIPE_INIT_OFFSET + STATUS_STRIPE_INIT_BYTES <= STATUS_AWAITS_JOURNALS_OFFSET);

constexpr uint32_t HOST_PORT_RECORDS_BYTES = 2 * sizeof(HOST_PORT_RECORD);

uint8_t s_bFullStatisticsCount = 0;
uint8_t s_fPartnerAwaitsJournals = FALSE;

bool IsFlag(uint8_t b) { return b == TRUE || b == FALSE; }

uint32_t dGetBe24(const uint8_t* pb) { return uint32_t(pb[0]) << 16 | uint32_t(pb[1]) << 8 | pb[2]; }

uint32_t dPagesFor(uint32_t dBytes) { return (dBytes + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE; }

// A READ BUFFER whose answer lands in the caller's pages; it goes only
// while the link is active.  CDB bytes 6-7 name the host command asking.
uint8_t bQueuePartnerDataRequest(uint8_t* pbCdb, uint8_t bKind, BUFFER_HANDLE dBuffer, uint32_t dLength,
                                 KERNEL_ENTRY* psHostCommand) {
    if (fIsDualControllerActive() != TRUE) return 0;
    pbCdb[0] = PARTNER_OPCODE_READ_BUFFER;
    const uint16_t wHost = psHostCommand != nullptr ? wTargetEntryIndex(psHostCommand) : 0;
    pbCdb[6] = static_cast<uint8_t>(wHost >> 8);
    pbCdb[7] = static_cast<uint8_t>(wHost);
    INTER_CONTROLLER_MESSAGE s{};
    s.bEntryType = 0x11;
    s.bEntryCount = 1;
    s.wTimeout = PARTNER_MESSAGE_TIMEOUT_S;
    std::memcpy(s.abCdb, pbCdb, sizeof s.abCdb);
    if (dLength != 0) {
        SetPartnerMessageDataIn(&s, dBufferHandleToPciAddress(dBuffer), dLength);
    } else {
        s.wControlFlags = PARTNER_CONTROL_NO_DATA;
    }
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wSlot, bKind);
}

// Pages for an answer, zeroed, kept in the slot until its data went: false
// while the request waits for them or once it was answered instead, with
// what its handler returns.
bool TakeAnswerPages(PARTNER_MESSAGE_SLOT* ps, uint32_t dPages, uint8_t* pbResult) {
    if (!TakePartnerSlotPages(ps, dPages, pbResult)) return false;
    std::memset(pBufferHandleToPointer(ps->dBuffer), 0, ps->wPageCount * BUFFER_PAGE_SIZE);
    return true;
}

// The answer's data from the slot's pages, with GOOD status: true when it
// went; when it could not, the partner hears 0x0B/0x47 and asks again.
bool SendAnswerPages(PARTNER_MESSAGE_SLOT* ps, uint32_t dLength) {
    if (bSendDataToPartnerInitiator(ps, dBufferHandleToPciAddress(ps->dBuffer), dLength, FALSE) == STATUS_OK) {
        return true;
    }
    SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
    return false;
}

// Id 2: the host-port initiator records; a Fibre Channel port whose loop
// is down lists none.
uint8_t bSendHostPortRecords(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, dPagesFor(HOST_PORT_RECORDS_BYTES), &bResult)) return bResult;
    auto* pbPages = static_cast<uint8_t*>(pBufferHandleToPointer(ps->dBuffer));
    std::memcpy(pbPages, pGetHostPortRecords(), HOST_PORT_RECORDS_BYTES);
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC) {
        for (uint8_t bPort = 1; bPort <= 2; ++bPort) {
            if (fIsHostLoopUp(bPort) != TRUE) pbPages[(bPort - 1) * sizeof(HOST_PORT_RECORD)] = 0;
        }
    }
    (void)SendAnswerPages(ps, HOST_PORT_RECORDS_BYTES);
    return STATUS_OK;
}

// Ids 16 and 17: the persistent reservation attentions and registrations
// a joining controller takes over.
uint8_t bSendPersistentReservations(PARTNER_MESSAGE_SLOT* ps) {
    const uint32_t dRoom = std::max(PR_PARTNER_AREA_BYTES, PR_PARTNER_ATTENTION_BYTES);
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, dPagesFor(dRoom), &bResult)) return bResult;
    auto* pb = static_cast<uint8_t*>(pBufferHandleToPointer(ps->dBuffer));
    const uint32_t dLength =
        ps->sMessage.abCdb[2] == PR_BUFFER_ID_ATTENTIONS ? dBuildPrAttentions(pb) : dBuildPrArea(pb);
    (void)SendAnswerPages(ps, dLength);
    return STATUS_OK;
}

// Id 3: the battery-backed state a joining controller takes over.
uint8_t bSendStatusBlock(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, 1, &bResult)) return bResult;
    auto* pb = static_cast<uint8_t*>(pBufferHandleToPointer(ps->dBuffer));
    NvramRead(NVRAM_OFFSET(bRebuildSelector), pb, STATUS_REBUILD_BYTES);
    NvramRead(NVRAM_OFFSET(bExpansionSelector), pb + STATUS_EXPANSION_OFFSET, STATUS_EXPANSION_BYTES);
    pb[STATUS_PARITY_OFFSET] = fIsParityCheckInProgress();
    pb[STATUS_PARITY_OFFSET + 1] = bGetParityCheckRank();
    pb[STATUS_PARITY_OFFSET + 2] = fGetParityCheckAllRanks();
    pb[STATUS_PARITY_OFFSET + 3] = bGetParityCheckMode();
    const uint32_t dErrors = dGetParityCheckErrorCount(), dPosition = dGetParityCheckPosition();
    std::memcpy(pb + STATUS_PARITY_OFFSET + 4, &dErrors, 4);
    std::memcpy(pb + STATUS_PARITY_OFFSET + 8, &dPosition, 4);
    NvramRead(NVRAM_OFFSET(abStripeInitSelectors), pb + STATUS_STRIPE_INIT_OFFSET, STATUS_STRIPE_INIT_BYTES);
    pb[STATUS_AWAITS_JOURNALS_OFFSET] = fIsAwaitingPartnerJournals();
    (void)SendAnswerPages(ps, STATUS_BLOCK_BYTES);
    return STATUS_OK;
}

// Id 6: this controller's information record.
uint8_t bSendControllerInfo(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, 1, &bResult)) return bResult;
    BuildControllerInfoRecord(static_cast<CONTROLLER_INFO_RECORD*>(pBufferHandleToPointer(ps->dBuffer)));
    (void)SendAnswerPages(ps, sizeof(CONTROLLER_INFO_RECORD));
    return STATUS_OK;
}

// Id 8: the event counts, or a listing of the view asked for.  A listing
// read in windows (first entry not 0) is refused once the log changed
// since its first window: the windows would not fit together.
uint8_t bSendEventLog(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const uint8_t bWhat = pbCdb[3];
    const uint32_t dFirst = dGetBe24(pbCdb + 10), dCount = dGetBe24(pbCdb + 13);
    if (bWhat != EVENT_VIEW_COUNTS) {
        if (dFirst == 0) {
            ClearEventLogChanged();
        } else if (fGetEventLogChanged() == TRUE) {
            SendPartnerCommandStatus(ps, 5, 0x00, 0x16);
            return STATUS_OK;
        }
    }
    const uint32_t dPages = bWhat == EVENT_VIEW_COUNTS ? 1 : EVENT_LISTING_PAGES;
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, dPages, &bResult)) return bResult;
    void* pPages = pBufferHandleToPointer(ps->dBuffer);
    if (bWhat == EVENT_VIEW_COUNTS) {
        const uint16_t aw[2] = {wGetEventLogCount(), wGetEventsPostedCount()};
        std::memcpy(pPages, aw, sizeof aw);
        (void)SendAnswerPages(ps, EVENT_COUNTS_BYTES);
        return STATUS_OK;
    }
    auto* psImage = static_cast<EVENT_LOG_MIRROR*>(pPages);
    CopyOwnEventLog(bWhat, psImage, dFirst, dCount, ToFlag(pbCdb[8] == KIND_HOST_EVENT_WINDOW));
    const uint16_t wEntries = psImage->wCount > EVENT_LOG_ENTRIES ? EVENT_LOG_ENTRIES : psImage->wCount;
    (void)SendAnswerPages(ps, dEventImageBytes(wEntries));
    return STATUS_OK;
}

// Id 10: the statistics of (port select, LUN) with their latency table.
uint8_t bSendStatistics(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const uint16_t wLun = wGetBe16(pbCdb + 4);
    if (s_bFullStatisticsCount < FULL_STATISTICS_TRIES) {
        if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, STATISTICS_PAGES, &bResult)) return bResult;
        ++s_bFullStatisticsCount;
        auto* pb = static_cast<uint8_t*>(pBufferHandleToPointer(ps->dBuffer));
        FillStatisticsRecordWithLatency(pbCdb[3], wLun, pb);
        // Another answer of this form may follow once this one went.
        if (SendAnswerPages(ps, EXTENDED_STATISTICS_BYTES)) s_bFullStatisticsCount = 0;
        return STATUS_OK;
    }
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, 1, &bResult)) return bResult;
    FillStatisticsRecord(pbCdb[3], wLun, static_cast<STATISTICS_RECORD*>(pBufferHandleToPointer(ps->dBuffer)));
    (void)SendAnswerPages(ps, sizeof(STATISTICS_RECORD));
    return STATUS_OK;
}

// Id 19: the statistics record alone.
uint8_t bSendStatisticsRecord(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, 1, &bResult)) return bResult;
    FillStatisticsRecord(pbCdb[3], wGetBe16(pbCdb + 4),
                         static_cast<STATISTICS_RECORD*>(pBufferHandleToPointer(ps->dBuffer)));
    (void)SendAnswerPages(ps, sizeof(STATISTICS_RECORD));
    return STATUS_OK;
}

// Id 7: this controller's drive table, as message 142 carries it.
uint8_t bSendDriveTable(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, dPagesFor(PARTNER_DRIVE_TABLE_BYTES), &bResult)) return bResult;
    (void)SendAnswerPages(ps, dCopyDriveTableForPartner(pBufferHandleToPointer(ps->dBuffer)));
    return STATUS_OK;
}

// Id 15: this controller's SAS device list, as message 157 carries it.
uint8_t bSendDeviceList(PARTNER_MESSAGE_SLOT* ps) {
    if (uint8_t bResult = STATUS_OK; !TakeAnswerPages(ps, dPagesFor(PARTNER_DEVICE_LIST_BYTES), &bResult)) return bResult;
    std::memcpy(pBufferHandleToPointer(ps->dBuffer), pGetSASDriveInfoList(), sizeof(SAS_DEVICE_LIST));
    (void)SendAnswerPages(ps, PARTNER_DEVICE_LIST_BYTES);
    return STATUS_OK;
}

// Id 18: the active-active level; one that cannot be answered now is NOT
// READY, and the asker keeps the partner's level unknown.
uint8_t bSendActiveActiveLevel(PARTNER_MESSAGE_SLOT* ps) {
    if (fSendActiveActiveStateToPartner(ps) != TRUE) SendPartnerCommandStatus(ps, SENSE_NOT_READY, 0, 0);
    return STATUS_OK;
}

// The statistics of (port select, LUN): byte 3 and bytes 4-5.
uint8_t bRequestPartnerStatistics(uint8_t bId, uint8_t bPortSelect, uint16_t wLd, BUFFER_HANDLE dBuffer,
                                  KERNEL_ENTRY* psHostCommand, uint8_t bKind, uint32_t dLength) {
    uint8_t abCdb[16] = {0, 0, bId, bPortSelect};
    PutBe16(abCdb + 4, wLd);
    return bQueuePartnerDataRequest(abCdb, bKind, dBuffer, dLength, psHostCommand);
}

bool IsGood(const PARTNER_MESSAGE_SLOT* ps) { return ps->fFailed != TRUE && ps->fSenseValid != TRUE; }

}  // namespace

uint8_t bAnswerPartnerDataRequest(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    switch (pbCdb[2]) {
    case PARTNER_BUFFER_ID_HOST_PORTS: return bSendHostPortRecords(ps);
    case PARTNER_BUFFER_ID_STATUS_BLOCK: return bSendStatusBlock(ps);
    case PARTNER_BUFFER_ID_INFORMATION: return bSendControllerInfo(ps);
    case PARTNER_BUFFER_ID_DRIVE_TABLE: return bSendDriveTable(ps);
    case PARTNER_BUFFER_ID_EVENT_LOG: return bSendEventLog(ps);
    case PARTNER_BUFFER_ID_CLEAR_EVENTS:
        ClearEventLog();
        SendPartnerCommandStatus(ps, 0, 0, 0);
        return STATUS_OK;
    case PARTNER_BUFFER_ID_STATISTICS: return bSendStatistics(ps);
    case PARTNER_BUFFER_ID_CLEAR_STATISTICS:
        ClearPerformanceStatistics(pbCdb[3], static_cast<uint16_t>(pbCdb[4] << 8 | pbCdb[5]));
        SendPartnerCommandStatus(ps, 0, 0, 0);
        return STATUS_OK;
    case PARTNER_BUFFER_ID_STATISTICS_RECORD: return bSendStatisticsRecord(ps);
    case PARTNER_BUFFER_ID_DEVICE_LIST: return bSendDeviceList(ps);
    case PARTNER_BUFFER_ID_ACTIVE_ACTIVE: return bSendActiveActiveLevel(ps);
    case PR_BUFFER_ID_ATTENTIONS:
    case PR_BUFFER_ID_REGISTRATIONS: return bSendPersistentReservations(ps);
    default: SendPartnerCommandStatus(ps, 5, 0x24, 0); return STATUS_OK;
    }
}

uint8_t bReadPartnerBuffer6(BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand, uint8_t bKind) {
    uint8_t abCdb[16] = {0, 0, PARTNER_BUFFER_ID_INFORMATION};
    return bQueuePartnerDataRequest(abCdb, bKind, dBuffer, sizeof(CONTROLLER_INFO_RECORD), psHostCommand);
}

uint8_t bReadPartnerBuffer8(BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand, uint8_t bWhat, uint8_t bKind) {
    uint8_t abCdb[16] = {0, 0, PARTNER_BUFFER_ID_EVENT_LOG, bWhat};
    abCdb[8] = bKind;
    // The host command names the window of the listing it reads.
    if (bKind == KIND_HOST_EVENT_WINDOW && psHostCommand != nullptr) {
        std::memcpy(abCdb + 10, psHostCommand->abCdb + 3, 6);
    }
    const uint32_t dLength = bWhat == EVENT_VIEW_COUNTS ? EVENT_COUNTS_BYTES : sizeof(EVENT_LOG_MIRROR);
    return bQueuePartnerDataRequest(abCdb, bKind, dBuffer, dLength, psHostCommand);
}

uint8_t bReadPartnerBuffer9(uint8_t fConfirm) {
    uint8_t abCdb[16] = {0, 0, PARTNER_BUFFER_ID_CLEAR_EVENTS};
    return bQueuePartnerDataRequest(abCdb, fConfirm == TRUE ? KIND_EVENT_LOG_CLEARED : KIND_EVENT_LOG_CLEAR_QUIET,
                                    NULL_BUFFER_HANDLE, 0, nullptr);
}

uint8_t bReadPartnerBuffer10(uint8_t bPortSelect, uint16_t wLd, BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand,
                             uint8_t bKind) {
    return bRequestPartnerStatistics(PARTNER_BUFFER_ID_STATISTICS, bPortSelect, wLd, dBuffer, psHostCommand, bKind,
                                     EXTENDED_STATISTICS_BYTES);
}

uint8_t bReadPartnerBuffer11(uint8_t bPortSelect, uint16_t wLd, uint8_t fConfirm) {
    uint8_t abCdb[16] = {0, 0, PARTNER_BUFFER_ID_CLEAR_STATISTICS, bPortSelect};
    PutBe16(abCdb + 4, wLd);
    return bQueuePartnerDataRequest(abCdb, fConfirm == TRUE ? KIND_STATISTICS_CLEARED : KIND_STATISTICS_CLEAR_QUIET,
                                    NULL_BUFFER_HANDLE, 0, nullptr);
}

uint8_t bReadPartnerBuffer19(uint8_t bPortSelect, uint16_t wLd, BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand,
                             uint8_t bKind) {
    return bRequestPartnerStatistics(PARTNER_BUFFER_ID_STATISTICS_RECORD, bPortSelect, wLd, dBuffer, psHostCommand,
                                     bKind, sizeof(STATISTICS_RECORD));
}

void PartnerDataRequestAnswered(PARTNER_MESSAGE_SLOT* ps, uint8_t) {
    const uint8_t bStatus = IsGood(ps) ? STATUS_OK : 0;
    switch (ps->bCommandType) {
    case KIND_CONSOLE_INFORMATION: OnPartnerControllerInformation(bStatus); return;
    case KIND_CONSOLE_EVENT_LOG: OnPartnerEventLog(ps->sMessage.abCdb[3], bStatus); return;
    case KIND_EVENT_LOG_CLEARED: OnPartnerEventLogCleared(bStatus); return;
    case KIND_CONSOLE_STATISTICS: OnPartnerStatistics(bStatus); return;
    case KIND_STATISTICS_CLEARED: OnPartnerStatisticsCleared(bStatus); return;
    default:
        // The debug dump shows what came, or that nothing did.
        if (ps->bCommandType >= KIND_DUMP_INFORMATION && ps->bCommandType <= KIND_DUMP_STATISTICS) {
            SetPartnerReadPending(FALSE);
        }
        return;
    }
}

namespace {

// A READ BUFFER of the partner's that fits one page, waited for: true with
// the data copied out when the partner answered GOOD.
bool ReadPartnerBufferSync(uint8_t bId, void* pOut, uint32_t dLength) {
    uint8_t bTarget = 0xFF, bBus = 0;
    if (dLength > BUFFER_PAGE_SIZE || fGetPartnerTarget(&bTarget, &bBus) != TRUE) return false;
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return false;
    auto* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dPage));
    std::memset(pb, 0, BUFFER_PAGE_SIZE);
    uint8_t abCdb[10] = {SCSI_READ_BUFFER, 0, bId};
    PutBe24(abCdb + 6, dLength);
    uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bAscq = 0;
    const bool fGood = bSendSCSICommandAndWait(bTarget, bBus, abCdb, TRUE, dLength, dPage, &bStatus, &bKey, &bAsc,
                                               &bAscq) == STATUS_OK &&
                       bStatus == SCSI_STATUS_GOOD;
    if (fGood) std::memcpy(pOut, pb, dLength);
    (void)wFreeDataPages(dPage, 1);
    return fGood;
}

bool ReadPartnerInfoRecord(CONTROLLER_INFO_RECORD* psRecord) {
    return ReadPartnerBufferSync(PARTNER_BUFFER_ID_INFORMATION, psRecord, sizeof *psRecord);
}

}  // namespace

uint16_t wGetPartnerBufferMegabytes() {
    CONTROLLER_INFO_RECORD s;
    return ReadPartnerInfoRecord(&s) ? s.wBank0Megabytes : 0;
}

// Word 22 of both controllers' information records at most 99.
uint8_t fCheckPartnerInfoWord() {
    CONTROLLER_INFO_RECORD sPartner, sOwn;
    if (!ReadPartnerInfoRecord(&sPartner)) return FALSE;
    BuildControllerInfoRecord(&sOwn);
    return ToFlag(sPartner.dTickTime <= 99 && sOwn.dTickTime <= 99);
}

uint8_t bReadPartnerStatusBlock() {
    InitRebuildNvRecord();
    uint8_t abBlock[STATUS_BLOCK_BYTES];
    const bool fGood = ReadPartnerBufferSync(PARTNER_BUFFER_ID_STATUS_BLOCK, abBlock, sizeof abBlock);
    const uint8_t* pb = abBlock;
    if (fGood) {
        NvramWrite(NVRAM_OFFSET(bRebuildSelector), pb, STATUS_REBUILD_BYTES);
        const uint8_t* pbExpansion = pb + STATUS_EXPANSION_OFFSET;
        if (IsFlag(pbExpansion[0]) && IsFlag(pbExpansion[1])) {
            NvramWrite(NVRAM_OFFSET(bExpansionSelector), pbExpansion, STATUS_EXPANSION_BYTES);
        } else {
            // A record whose flags make no sense is not taken: start afresh.
            NvramWrite8(NVRAM_OFFSET(fExpansionFlag), FALSE);
            NvramWrite8(NVRAM_OFFSET(bExpansionSelector), TRUE);
            const uint8_t abZero[24] = {};
            NvramWrite(NVRAM_OFFSET(abExpansionRecord), abZero, sizeof abZero);
        }
        const uint8_t* pbParity = pb + STATUS_PARITY_OFFSET;
        uint32_t dErrors = 0, dPosition = 0;
        std::memcpy(&dErrors, pbParity + 4, 4);
        std::memcpy(&dPosition, pbParity + 8, 4);
        if (IsFlag(pbParity[0]) && IsFlag(pbParity[2])) {
            SaveParityCheckResume(pbParity[0], pbParity[1], pbParity[2], pbParity[3], dErrors, dPosition);
        } else {
            SaveParityCheckResume(FALSE, 0, FALSE, 0, 0, 0);
        }
        NvramWrite(NVRAM_OFFSET(abStripeInitSelectors), pb + STATUS_STRIPE_INIT_OFFSET, STATUS_STRIPE_INIT_BYTES);
        s_fPartnerAwaitsJournals = ToFlag(pb[STATUS_AWAITS_JOURNALS_OFFSET] == TRUE);
    }
    return fGood ? STATUS_OK : 0;
}

uint8_t fDoesPartnerAwaitJournals() { return s_fPartnerAwaitsJournals; }

void PreparePartnerJoin() { (void)bReadPartnerStatusBlock(); }

void ResetPartnerStartFlags() {
    s_bFullStatisticsCount = 0;
    s_fPartnerAwaitsJournals = FALSE;
}

}  // namespace fw
