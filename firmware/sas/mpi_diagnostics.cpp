// Console dumps of an LSI IOC.
#include "sas/mpi_diagnostics.h"

#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "sas/mpi_interface.h"
#include "sas/reply_dispatch.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"

namespace fw {

void ShowLSISystemRegs(uint8_t bIocId) {
    const LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return;
    ConsolePrintf("\nLSI system Regs %x\n", bIocId);
    ConsolePrintf("Doorbell:           %08x\n", Reg32Read(p->pdDoorbell));
    ConsolePrintf("Write Sequence:     %08x\n", Reg32Read(p->pdWriteSequence));
    ConsolePrintf("Host Diagnostics:   %08x\n", Reg32Read(p->pdHostDiagnostic));
    ConsolePrintf("Test Base:          %08x\n", Reg32Read(p->pdTestBase));
    ConsolePrintf("Diag RW Data:       %08x\n", Reg32Read(p->pdDiagRwData));
    ConsolePrintf("Diag RW Address:    %08x\n", Reg32Read(p->pdDiagRwAddress));
    ConsolePrintf("Host Int Status:    %08x\n", Reg32Read(p->pdHostIntStatus));
    ConsolePrintf("Host Int Mask:      %08x\n", Reg32Read(p->pdHostIntMask));
    ConsolePrintf("Request Queue:      %08x\n", Reg32Read(p->pdRequestQueue));
    {
        // Reading the reply FIFO takes its first reply off it: that reply is
        // handed on, or its command would never complete.
        InterruptSourceLock sLock(INT_SOURCE_DRIVE_SIDE);
        const uint32_t dReply = Reg32Read(p->pdReplyQueue);
        ConsolePrintf("Reply Queue:        %08x\n", dReply);
        DispatchLSIReplyWord(bIocId, dReply);
    }
    if (bIocId == LSI_IOC_TARGET_1) ConsolePrintf("HP Request Queue:   %08x\n", Reg32Read(p->pdHighPriorityRequestQueue));
    ConsolePrintf("\n");
}

void DumpLSIDiagMemory(uint8_t bIocId, uint32_t dAddress, uint32_t dDwordCount, uint8_t fBytes) {
    if (bOpenLSIDiagWindow(bIocId, dAddress) != STATUS_OK) return;
    for (uint32_t i = 0; i < dDwordCount; ++i) {
        const uint32_t d = dReadLSIDiagWindow(bIocId);
        if (fBytes == TRUE) {
            ConsolePrintf("%02x %02x %02x %02x ", d & 0xFF, (d >> 8) & 0xFF, (d >> 16) & 0xFF, d >> 24);
            continue;
        }
        if (i % 8 == 0) ConsolePrintf("\n%08x:", dAddress + 4 * i);
        ConsolePrintf(" %08x", d);
    }
    ConsolePrintf("\n");
    CloseLSIDiagWindow(bIocId);
}

uint8_t ShowLSIDebugArea(uint32_t* pdArea, uint8_t bIocId, uint8_t fPrint) {
    if (ReadLSIDiagMemory(bIocId, LSI_DEBUG_AREA_ADDRESS, LSI_DEBUG_AREA_DWORDS, pdArea) != STATUS_OK) return 0;
    if (fPrint != TRUE) return STATUS_OK;
    ConsolePrintf("Debug Area Struct, Device %02x\n\n", bIocId);
    ConsolePrintf("RingBuffer Base: %08x\n", pdArea[0]);
    ConsolePrintf("RingBuffer Size: %08x\n", pdArea[1]);
    ConsolePrintf("RingBuffer Tail: %08x\n", pdArea[2]);
    for (uint32_t n = 0; n < 13; ++n) ConsolePrintf("GenProcRegs[%02x]: %08x\n", n, pdArea[4 + n]);
    ConsolePrintf("Stack Pointer:   %08x\n", pdArea[17]);
    ConsolePrintf("Link Reg:        %08x\n", pdArea[18]);
    ConsolePrintf("Primary AHB:     %08x\n", pdArea[19]);
    ConsolePrintf("Secondary AHB:   %08x\n", pdArea[20]);
    ConsolePrintf("Firmware Ver:    %08x\n", pdArea[21]);
    ConsolePrintf("Fault Code:      %08x\n", pdArea[24]);
    for (uint32_t n = 0; n < 10; ++n) ConsolePrintf("FaultCodeDump[%02x]: %08x\n", n, pdArea[25 + n]);
    ConsolePrintf("\n\n");
    return STATUS_OK;
}

void ShowLSIRingBuffer(uint8_t bIocId) {
    uint32_t adArea[LSI_DEBUG_AREA_DWORDS] = {};
    if (ShowLSIDebugArea(adArea, bIocId, TRUE) != STATUS_OK) return;
    uint32_t dTail = 0;
    if (ReadLSIDiagMemory(bIocId, adArea[2], 1, &dTail) != STATUS_OK) return;
    ConsolePrintf("Ringbuffer Tail: %08x\n", dTail);
    // The size comes from the IOC's own memory: a damaged area must not
    // have the console read megabytes or run past the top of the address
    // space.
    uint32_t dBytes = adArea[1] < LSI_RING_DUMP_LIMIT_BYTES ? adArea[1] : LSI_RING_DUMP_LIMIT_BYTES;
    const uint32_t dRoom = 0xFFFFFFFFu - adArea[0];
    if (dBytes > dRoom) dBytes = (dRoom + 1) & ~3u;
    DumpLSIDiagMemory(bIocId, adArea[0], dBytes / 4, TRUE);
}

void LSIDiagMemoryDumpTool(uint8_t bIocId) {
    const LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return;
    constexpr uint32_t KEY_TRIES = 20;
    ConsolePrintf("\n\n      psLSI_MPT_Interface->pdWriteSequence: 0x%08x\n\n\n", p->pdWriteSequence);
    ConsolePrintf("Write LSI MPT Sequence to place 1068 in Diag RW mode.\n");
    uint8_t fOpen = FALSE;
    for (uint32_t i = 0; i < KEY_TRIES && fOpen != TRUE; ++i) {
        fOpen = fTryLSIDiagKey(bIocId);
        if (fOpen != TRUE) ConsolePrintf("Try again...\n");
    }
    const uint32_t dLoad = pGetLSIDiagLoadInfo()->dLoadStartAddress;
    if (fOpen != TRUE || fHoldLSIIocAt(bIocId, dLoad) != TRUE) return;
    ConsolePrintf("\nStart Address: 0x%08x 0x%08x\n\n", Reg32Read(p->pdDiagRwAddress), dLoad);
    for (uint32_t i = 0; i < LSI_IMAGE_DUMP_DWORDS; ++i) {
        ConsolePrintf("0x%08x ", dReadLSIDiagWindow(bIocId));
        if (i % 4 == 3) ConsolePrintf("\n");
    }
    RestartLSIIocFromLoad(bIocId);
}

// The SAS host ports' command buffers and request frames.  Both ports are
// served by one IOC: the repost bitmap and the request frames are its own
// and shown under each port; the command buffers in use are shown under
// the port whose initiator sent their command.
void ShowLSITargetPostQueues() {
    const LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    if (a == nullptr || bGetSASTargetState() == SAS_TARGET_ABSENT) return;
    for (uint8_t bPort = 0; bPort < 2; ++bPort) {
        ConsolePrintf("LSI%01x command Post In Use:\n", bPort);
        // Every word: the IOC takes more buffers than eight words map.
        for (uint16_t w = 0; w < SAS_TARGET_REPOST_WORDS; ++w) ConsolePrintf("%08x ", dGetSASTargetRepostWord(w));
        ConsolePrintf("\n");
        const uint8_t bPortCode = bPort == 0 ? LSI_IOC_TARGET_1 : LSI_IOC_TARGET_2;
        for (uint16_t i = 0; i < a->wCmdBuffers && i < SAS_TARGET_MAX_CMD_BUFFERS; ++i) {
            const SAS_TARGET_IO_INFO& s = a->asIo[i];
            if (s.wOwner != SAS_IO_OWNER_NONE && s.bPort == bPortCode) ConsolePrintf("%03x:%03x\n", i, s.wOwner);
        }
        ConsolePrintf("\n");
        ConsolePrintf("LSI%01x Request queue:%03x\n", bPort, a->wRequestsInUse);
        // Words enough for every frame: a count that is no multiple of 32
        // would leave its last frames out.
        const uint16_t wFrameWords = static_cast<uint16_t>((a->wRequestFrames + 31) / 32);
        const uint16_t wWords = wFrameWords < 16 ? wFrameWords : 16;
        for (uint16_t w = 0; w < wWords; ++w) ConsolePrintf("%08x ", a->adInUse[w]);
        ConsolePrintf("\n");
    }
}

}  // namespace fw
