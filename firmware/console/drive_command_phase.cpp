// One SCSI command to one drive for the drive diagnostics, run as a phase
// of the configuration phase machine so that it is sent and completed from
// the main loop like every other long drive operation.
//
// The data goes to pages taken for the transfer and given back when the
// phase ends: never to a fixed place in buffer memory, which the cache may
// hold acknowledged writes in.
#include "console/drive_command_phase.h"

#include <algorithm>
#include <cstring>

#include "config/config_db.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "fc/loop_maps.h"
#include "fc/loop_operations.h"
#include "hw/scsi.h"

namespace fw {

namespace {

constexpr uint8_t PHASE_RUN_LATER = 16;
constexpr uint8_t DATA_STEP = 10;    // step n + 10: the data of step n's command is in
constexpr uint16_t COMMAND_TIMEOUT = 30;
constexpr uint16_t LONG_READ_TIMEOUT = 150;
constexpr uint8_t INQUIRY_BYTES = 36;
constexpr uint8_t CAPACITY_BYTES = 8;
constexpr uint8_t FIRST_LENGTH_BYTES = 4;
constexpr uint8_t REPORT_LUNS_FIRST_BYTES = 16;
constexpr uint32_t REPORT_LUNS_SHOWN = 512;
constexpr uint8_t DEFECT_LIST_FORMAT = 0x1D;   // primary and grown list, physical sector format
constexpr uint8_t MODE_SENSE_ALL_PAGES = 0x3F;
constexpr uint8_t DRIVES = 8;
constexpr uint8_t OP_RESET_DRIVE = 0x02;
constexpr uint8_t OP_READ_FIRST_BLOCK = 0x08;
constexpr uint8_t OP_XDWRITE = 0x50;
constexpr uint8_t OP_XPWRITE = 0x51;
constexpr uint8_t OP_XDREAD = 0x52;

// The transfer's pages, held from step 0 to the end of the phase.
BUFFER_HANDLE s_dBuffer = NULL_BUFFER_HANDLE;
uint32_t s_dPages = 0;
// The bytes the last command asked for.
uint32_t s_dLength = 0;
uint8_t s_afDriveCommand[DRIVES] = {};

uint8_t* pbData() { return static_cast<uint8_t*>(pBufferHandleToPointer(s_dBuffer)); }
uint32_t dBufferBytes() { return s_dPages * BUFFER_PAGE_SIZE; }

void GiveBackPages() {
    if (s_dBuffer != NULL_BUFFER_HANDLE) (void)wFreeDataPages(s_dBuffer, s_dPages);
    s_dBuffer = NULL_BUFFER_HANDLE;
    s_dPages = 0;
}

void EndPhase() {
    GiveBackPages();
    SetConfigWriteWaitFlag(FALSE);
    EndConfigPhase();
}

bool TakePages(uint32_t dBytes) {
    const uint32_t dPages = dBytes == 0 ? 1 : (dBytes + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;
    if (bAllocDataPages(BUFFER_BANK_EITHER, dPages, &s_dBuffer) != STATUS_OK) {
        s_dBuffer = NULL_BUFFER_HANDLE;
        return false;
    }
    s_dPages = dPages;
    std::memset(pbData(), 0, dBufferBytes());
    return true;
}

void Dump(const uint8_t* pb, uint32_t dCount) {
    for (uint32_t i = 1; i <= dCount; ++i) {
        ConsolePrintf("%02x ", pb[i - 1]);
        if (i % 16 == 0) {
            ConsolePrintf("\n");
        } else if (i % 8 == 0) {
            ConsolePrintf("  ");
        }
    }
}

uint32_t dWorkBufferLba() {
    uint32_t d = 0;
    std::memcpy(&d, pGetConfigWorkBuffer() + DRIVE_COMMAND_LBA_OFFSET, sizeof d);
    return d;
}

uint16_t wWorkBufferCount() {
    uint16_t w = 0;
    std::memcpy(&w, pGetConfigWorkBuffer() + DRIVE_COMMAND_COUNT_OFFSET, sizeof w);
    return w;
}

void CommandDone(KERNEL_ENTRY* psEntry);

// Builds and queues the command; 255 queued, 16 to be tried again.
uint8_t bSend(const uint8_t* pbCdb, uint32_t dLength, uint16_t wControl, uint16_t wTimeout) {
    KERNEL_ENTRY* psEntry = nullptr;
    const uint8_t bPath = bGetPhaseParam1();
    if (bAllocKernelEntries(bPath, 1, &psEntry) != STATUS_OK || psEntry == nullptr) return PHASE_RUN_LATER;
    const uint32_t dAddress = dLength != 0 ? static_cast<uint32_t>(dBufferHandleToPciAddress(s_dBuffer)) : 0;
    BuildDriveCommand(psEntry, bPath, bGetPhaseParam2(), wTimeout, wControl, dLength, dLength != 0 ? 1 : 0, dAddress,
                      pbCdb, CT_DRIVE_COMMAND_PHASE);
    if (pbCdb[0] == SCSI_REPORT_LUNS) std::memcpy(psEntry->abCdb, pbCdb, 12);
    SetDriveCommandPendingFlag(FALSE);
    if (bQueuePhaseDriveCommand(psEntry, CommandDone, FALSE) != STATUS_OK) {
        FreeKernelEntries(psEntry);
        return PHASE_RUN_LATER;
    }
    s_dLength = dLength;
    s_afDriveCommand[bGetPhaseParam2() % DRIVES] = TRUE;
    SetConfigWriteWaitFlag(TRUE);
    return STATUS_OK;
}

void CommandDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, CommandDone) == TRUE) return;
    // A failed command shows whatever arrived.
    s_afDriveCommand[bGetPhaseParam2() % DRIVES] = FALSE;
    SetDriveCommandPendingFlag(TRUE);
    FreeKernelEntries(psEntry);
    RequestStartOfDayService();
}

void ResetDrive() {
    const uint8_t bPath = bGetPhaseParam1();
    if (bPath != PORT_CODE_DRIVE_LOOP_3 && bPath != PORT_CODE_DRIVE_LOOP_4) return;
    uint8_t bAlpa = 0;
    if (fLoopIdToAlpa(bGetPhaseParam2(), &bAlpa) != TRUE) return;
    (void)bQLClearTaskSet(bPath, bAlpa);
    (void)bSendSyncMarker(bPath);
}

uint8_t bStartCommand() {
    const uint8_t bOp = bGetMenuSelection();
    uint8_t abCdb[16] = {bOp};
    uint32_t dLength = 0;
    uint16_t wControl = DRIVE_COMMAND_DATA_IN;
    uint16_t wTimeout = COMMAND_TIMEOUT;
    switch (bOp) {
    case SCSI_INQUIRY: dLength = abCdb[4] = INQUIRY_BYTES; break;
    case SCSI_READ_CAPACITY10: dLength = CAPACITY_BYTES; break;
    case SCSI_MODE_SENSE6:
        abCdb[2] = MODE_SENSE_ALL_PAGES;
        dLength = abCdb[4] = FIRST_LENGTH_BYTES;
        break;
    case SCSI_REPORT_LUNS:
        dLength = REPORT_LUNS_FIRST_BYTES;
        PutBe32(abCdb + 6, dLength);
        break;
    case SCSI_READ_DEFECT_DATA10:
        abCdb[2] = DEFECT_LIST_FORMAT;
        dLength = FIRST_LENGTH_BYTES;
        PutBe16(abCdb + 7, static_cast<uint16_t>(dLength));
        break;
    case SCSI_READ10:
    case SCSI_WRITE10:
    case OP_XDWRITE:
    case OP_XPWRITE:
    case OP_XDREAD:
        PutBe32(abCdb + 2, dWorkBufferLba());
        PutBe16(abCdb + 7, wWorkBufferCount());
        dLength = wWorkBufferCount() * 512u;
        if (bOp != SCSI_READ10 && bOp != OP_XDREAD) wControl = DRIVE_COMMAND_DATA_OUT;
        break;
    case OP_READ_FIRST_BLOCK:
        abCdb[0] = SCSI_READ10;
        PutBe16(abCdb + 7, 1);
        dLength = 512;
        wTimeout = LONG_READ_TIMEOUT;
        break;
    default: wControl = DRIVE_COMMAND_NO_DATA; break;
    }
    if (dLength != 0 && !TakePages(bOp == SCSI_REPORT_LUNS || bOp == SCSI_MODE_SENSE6 ? BUFFER_PAGE_SIZE : dLength)) {
        ConsolePrintf("\nNot enough buffer memory for the transfer\n");
        EndPhase();
        return STATUS_OK;
    }
    const uint8_t bResult = bSend(abCdb, dLength, wControl, wTimeout);
    if (bResult != STATUS_OK) GiveBackPages();
    return bResult;
}

// The second command of MODE SENSE and REPORT LUNS, with the length the
// first one found, bounded by the pages held.
uint8_t bStartFullCommand() {
    const uint8_t* pb = pbData();
    uint8_t abCdb[16] = {bGetMenuSelection()};
    uint32_t dLength = 0;
    if (abCdb[0] == SCSI_MODE_SENSE6) {
        abCdb[2] = MODE_SENSE_ALL_PAGES;
        dLength = pb[0] < 255 ? pb[0] + 1u : pb[0];
        abCdb[4] = static_cast<uint8_t>(dLength);
    } else {
        const uint32_t dList = dGetBe32(pb);
        dLength = dList > dBufferBytes() - 8 ? dBufferBytes() : dList + 8;
        PutBe32(abCdb + 6, dLength);
    }
    std::memset(pbData(), 0, dBufferBytes());
    return bSend(abCdb, dLength, DRIVE_COMMAND_DATA_IN, COMMAND_TIMEOUT);
}

void PrintModePages() {
    const uint8_t* pb = pbData();
    const uint32_t dEnd = std::min<uint32_t>(s_dLength, pb[0] + 1u);
    ConsolePrintf("Mode Sense Data:\n");
    // The pages follow the header and its block descriptors.
    for (uint32_t at = 4u + pb[3]; at + 2 <= dEnd;) {
        const uint8_t bLength = pb[at + 1];
        ConsolePrintf("%02x %02x   ", pb[at] & 0x7F, bLength);
        for (uint32_t i = 0; i < bLength && at + 2 + i < dEnd; ++i) ConsolePrintf("%02x ", pb[at + 2 + i]);
        ConsolePrintf("\n");
        at += 2u + bLength;
    }
}

}  // namespace

void ClearDriveCommandFlags() { std::memset(s_afDriveCommand, FALSE, sizeof s_afDriveCommand); }

uint8_t RunDriveCommandPhase(uint8_t bStep) {
    const uint8_t bOp = bGetMenuSelection();
    switch (bStep) {
    case 0:
        if (bOp == OP_RESET_DRIVE) {
            ResetDrive();
            EndPhase();
            return STATUS_OK;
        }
        {
            const uint8_t bResult = bStartCommand();
            if (bResult == STATUS_OK && bGetConfigPhase() != 0) SetConfigPhaseStep(1);
            return bResult;
        }
    case 1:
    case 2:
        // Waiting for the drive: its completion moves the phase on to the
        // step that shows the data.
        (void)fStartDrivePhaseStep(static_cast<uint8_t>(bStep + DATA_STEP));
        return STATUS_OK;
    case 1 + DATA_STEP:
        switch (bOp) {
        case SCSI_INQUIRY:
            ConsolePrintf("Inquiry Data:\n");
            Dump(pbData(), INQUIRY_BYTES);
            break;
        case SCSI_READ_CAPACITY10:
            ConsolePrintf("Capacity Data: ");
            Dump(pbData(), CAPACITY_BYTES);
            break;
        case SCSI_READ_DEFECT_DATA10:
            ConsolePrintf("Defect List Header: ");
            Dump(pbData(), FIRST_LENGTH_BYTES);
            break;
        case SCSI_MODE_SENSE6:
        case SCSI_REPORT_LUNS: {
            const uint8_t bResult = bStartFullCommand();
            if (bResult != STATUS_OK) return bResult;
            SetConfigPhaseStep(2);
            return STATUS_OK;
        }
        default: break;
        }
        EndPhase();
        return STATUS_OK;
    case 2 + DATA_STEP:
        if (bOp == SCSI_MODE_SENSE6) {
            PrintModePages();
        } else {
            const uint32_t dList = dGetBe32(pbData());
            const uint32_t dShown = std::min(std::min(dList, REPORT_LUNS_SHOWN) + 8, s_dLength);
            ConsolePrintf("Report Luns Data:\n");
            Dump(pbData(), dShown);
        }
        ConsolePrintf("\n");
        EndPhase();
        return STATUS_OK;
    default: return STATUS_OK;
    }
}

}  // namespace fw
