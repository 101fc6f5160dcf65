// The management WRITE BUFFER: the check of its CDB before any data moves,
// the current command, the signature and the answer.
#include "mgmt/management.h"

#include <algorithm>
#include <cstring>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "executive/buffer_pages.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"
#include "mgmt/management_commands.h"
#include "target/command_access.h"
#include "target/command_replies.h"
#include "target/host_command_codes.h"
#include "target/management_dispatch.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t MODE_MASK = 0x0F;
constexpr uint8_t MODE_SET_COMMAND = 1;
constexpr uint8_t MODE_DATA = 2;
constexpr uint8_t BUFFER_ID_MANAGEMENT = 0xF2;
constexpr uint8_t FIRST_DATA_SERVICES_CODE = 112;
constexpr uint8_t LAST_DATA_SERVICES_CODE = 120;
constexpr uint8_t CODE_242 = 242;
// The SAS host interface's plain requests, taken without the signature.
constexpr uint8_t PLAIN_REQUESTS[3] = {0x10, 0x12, 0x15};

// Offset of the next byte a management page read hands out, and the count of
// configuration changes a management client has not seen yet.
uint32_t s_dBufferOffset;
uint32_t s_dChangeCounter;
KERNEL_ENTRY* s_psCurrent = nullptr;

void Refuse(KERNEL_ENTRY* psEntry, uint8_t bKey, uint8_t bAsc) { AnswerCommand(psEntry, bKey, bAsc, 0); }

// What reached the buffer: what the CDB asks for, no more than the host sent.
uint32_t dReceivedLength(const KERNEL_ENTRY* psEntry) {
    uint32_t d = dGetBe24(pGetCommandCdb(psEntry) + 6);
    if (fIsFibreHostCommand(psEntry) == TRUE) d = std::min(d, dGetCommandExpectedLength(psEntry));
    return d;
}

bool IsPlainRequest(const uint8_t* pbCdb, const uint8_t* pbData, uint32_t dLength) {
    if (bGetHostInterfaceType() != HOST_INTERFACE_SAS || pbCdb[0] != SCSI_WRITE_BUFFER ||
        (pbCdb[1] & MODE_MASK) != MODE_SET_COMMAND || pbCdb[9] != 0 || dLength == 0) {
        return false;
    }
    for (uint8_t b = 2; b <= 7; b++)
        if (pbCdb[b] != 0) return false;
    for (uint8_t b : PLAIN_REQUESTS)
        if (pbData[0] == b) return true;
    return false;
}

}  // namespace

void ResetManagementBufferPointer() { s_dBufferOffset = 0; }
void ClearManagementChangeCounter() { s_dChangeCounter = 0; }

uint8_t bStartManagementWriteBuffer(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint8_t bMode = pbCdb[1] & MODE_MASK;
    const uint8_t bCode = pbCdb[2];
    if (bMode == MODE_DATA && bCode == BUFFER_ID_MANAGEMENT) return bStartManagementBufferWrite(psEntry);
    if (bMode != MODE_SET_COMMAND) {
        Refuse(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
        return STATUS_OK;
    }
    if ((bCode >= FIRST_DATA_SERVICES_CODE && bCode <= LAST_DATA_SERVICES_CODE) || bCode == CODE_242) {
        return bStartDataServicesSetCommand(psEntry);
    }
    // A code without a handler, a length its block does not fit and an
    // argument beyond its table are refused before any data moves.
    const MGMT_COMMAND_ROW* psRow = psFindManagementCommand(bCode);
    const uint32_t dLength = dGetBe24(pbCdb + 6);
    if (psRow == nullptr || dLength < MGMT_SIGNATURE_BYTES + psRow->wBlockBytes || dLength > MGMT_MAX_PARAMETER_BYTES ||
        bCheckManagementArguments(psRow->eArgument, pbCdb) != STATUS_OK) {
        Refuse(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
        return STATUS_OK;
    }
    // An edit works on the scratch image opened for it (code 128), as long
    // as nobody else has changed the configuration since.
    if (psRow->fEdit == TRUE && (fConfigIndexMatches(REQUESTER_MANAGEMENT) != TRUE ||
                                 bCheckConfigImageHeader(pGetScratchConfigImage()) != STATUS_OK)) {
        Refuse(psEntry, SENSE_NOT_READY, ASC_NOT_READY);
        return STATUS_OK;
    }
    if (pbTakeCommandPages(psEntry, 1) == nullptr) return STATUS_NO_PAGES;
    s_psCurrent = psEntry;
    psEntry->bCommandType = COMMAND_TYPE_MANAGEMENT;
    SetMgmtCommandActive(TRUE);
    SetHostCommandHold(TRUE);
    const uint32_t dAddress = static_cast<uint32_t>(dBufferHandleToPciAddress(psEntry->dBufferHandle));
    const TRANSFER_SEGMENT sSegment = {dAddress, dLength};
    StartDataOutTransfer(psEntry, &sSegment, 1);
    DecPortNewCommands(psEntry->bPortCode);
    return STATUS_OK;
}

KERNEL_ENTRY* psGetCurrentManagementCommand() { return s_psCurrent; }

uint8_t bCheckManagementSignature() {
    KERNEL_ENTRY* ps = s_psCurrent;
    if (ps == nullptr) return 0;
    const uint8_t* pbData = static_cast<const uint8_t*>(pBufferHandleToPointer(ps->dBufferHandle));
    const uint32_t dLength = dReceivedLength(ps);
    if (dLength >= MGMT_SIGNATURE_BYTES && std::memcmp(pbData, MANAGEMENT_SIGNATURE, MGMT_SIGNATURE_BYTES) == 0) {
        return STATUS_OK;
    }
    if (IsPlainRequest(pGetCommandCdb(ps), pbData, dLength)) return STATUS_OK;
    s_psCurrent = nullptr;
    ps->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(ps, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_PARAMETERS, 0);
    return 0;
}

void FinishManagementCommand(uint8_t bStatus) {
    KERNEL_ENTRY* ps = s_psCurrent;
    s_psCurrent = nullptr;
    if (ps != nullptr) {
        ps->bPrimaryState = HOST_STATE_STATUS;
        switch (bStatus) {
        case MGMT_GOOD: (void)SendScsiStatus(ps, SCSI_STATUS_GOOD, 0, 0); break;
        case MGMT_INVALID_CDB: (void)SendScsiStatus(ps, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0); break;
        case MGMT_NOT_READY: (void)SendScsiStatus(ps, SENSE_NOT_READY, ASC_NOT_READY, 0); break;
        default: (void)SendScsiStatus(ps, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_PARAMETERS, 0); break;
        }
    }
    SetMgmtCommandActive(FALSE);
    SetHostCommandHold(FALSE);
}

void EndManagementAction(KERNEL_ENTRY* psEntry) {
    // A command that ends before its answer (aborted) is no longer current.
    if (psEntry == s_psCurrent) {
        s_psCurrent = nullptr;
        SetMgmtCommandActive(FALSE);
        SetHostCommandHold(FALSE);
    }
    switch (psEntry->bCommandType) {
    // Like the console's reset: the journal drains first and what is left
    // is kept for the replay, or a lone controller loses acknowledged writes.
    case MGMT_END_RESET: StartControllerReset(); break;
    case MGMT_END_SHUTDOWN: StartShutdown(); break;
    case MGMT_END_HOLD: SetBackgroundHold(FALSE); break;
    default: break;
    }
}

}  // namespace fw
