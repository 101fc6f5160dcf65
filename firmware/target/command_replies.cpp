// Status and data answers of the target command handlers.
#include "target/command_replies.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "target/command_checks.h"
#include "target/host_command_codes.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint16_t BLOCKS_PER_PAGE = BUFFER_PAGE_SIZE / 512;
constexpr uint8_t PAGE_BANK = 0;

}  // namespace

void AnswerCommand(KERNEL_ENTRY* psEntry, uint8_t bCode, uint8_t bAsc, uint8_t bAscq) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, bCode, bAsc, bAscq);
    DecPortNewCommands(psEntry->bPortCode);
}

bool PassesReservedFieldCheck(KERNEL_ENTRY* psEntry) {
    uint8_t bKey;
    uint8_t bAsc;
    uint8_t bAscq;
    if (fIsCdbReservedFieldSet(psEntry, &bKey, &bAsc, &bAscq) == STATUS_OK) return true;
    AnswerCommand(psEntry, bKey, bAsc, bAscq);
    return false;
}

uint8_t* pbTakeCommandPages(KERNEL_ENTRY* psEntry, uint8_t bPages) {
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(PAGE_BANK, bPages, &dHandle) != STATUS_OK) return nullptr;
    psEntry->dBufferHandle = dHandle;
    // The completion frees the run by the command's transfer count.
    psEntry->wBlocks = static_cast<uint16_t>(bPages * BLOCKS_PER_PAGE);
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dHandle));
    std::memset(pb, 0, static_cast<size_t>(bPages) * BUFFER_PAGE_SIZE);
    return pb;
}

void ReleaseCommandPages(KERNEL_ENTRY* psEntry) {
    if (psEntry->dBufferHandle == NULL_BUFFER_HANDLE || psEntry->wBlocks == 0) return;
    (void)wFreeDataPages(psEntry->dBufferHandle, (psEntry->wBlocks - 1u) / BLOCKS_PER_PAGE + 1);
    psEntry->dBufferHandle = NULL_BUFFER_HANDLE;
    psEntry->wBlocks = 0;
}

uint8_t bSendCommandData(KERNEL_ENTRY* psEntry, BUS_ADDRESS dBusAddress, uint32_t dLength) {
    if (fFinishIfLoopReset(psEntry) == TRUE) {
        DecPortNewCommands(psEntry->bPortCode);
        return STATUS_OK;
    }
    psEntry->bPrimaryState = HOST_STATE_DATA_IN;
    const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBusAddress), dLength};
    if (StartDataInTransfer(psEntry, &sSegment, dLength == 0 ? 0 : 1, TRUE) != STATUS_OK) {
        // Nothing went out: the command is dispatched again from the start.
        ReleaseCommandPages(psEntry);
        psEntry->bPrimaryState = HOST_STATE_NEW_COMMAND;
        return STATUS_RETRY;
    }
    DecPortNewCommands(psEntry->bPortCode);
    return STATUS_OK;
}

uint8_t bSendCommandPages(KERNEL_ENTRY* psEntry, uint32_t dLength) {
    return bSendCommandData(psEntry, dBufferHandleToPciAddress(psEntry->dBufferHandle), dLength);
}

}  // namespace fw
