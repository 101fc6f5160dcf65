// "Target kernel queue": the host pool's counters, the stage rings' counts
// and positions, the host chips' queue pointers and one line per entry in
// use.
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {


// ISP24xx and ISP2x00 queue registers.
constexpr uint16_t REG24_REQUEST_IN = 0x1C;
constexpr uint16_t REG24_REQUEST_OUT = 0x20;
constexpr uint16_t REG24_RESPONSE_IN = 0x24;
constexpr uint16_t REG24_RESPONSE_OUT = 0x28;
constexpr uint16_t REG24_ATIO_IN = 0x3C;
constexpr uint16_t REG24_ATIO_OUT = 0x40;
constexpr uint16_t REG2X_REQUEST_IN = 0x10;
constexpr uint16_t REG2X_REQUEST_OUT = 0x12;
constexpr uint16_t REG2X_RESPONSE_IN = 0x14;
constexpr uint16_t REG2X_RESPONSE_OUT = 0x16;

uint32_t dChipRegister(uint8_t bChip, uint16_t wRegister) {
    if (fIsQL24xx() == TRUE) {
        uint32_t d = 0;
        (void)bQLReadReg32(bChip, wRegister, &d);
        return d;
    }
    uint16_t w = 0;
    (void)bQLReadReg16(bChip, wRegister, &w);
    return w;
}

void PrintThree(const char* pszFormat, uint16_t w1, uint16_t w2, uint16_t w3) { ConsolePrintf(pszFormat, w1, w2, w3); }
void PrintTwo(const char* pszFormat, uint16_t w1, uint16_t w2) { ConsolePrintf(pszFormat, w1, w2); }

void PrintChipQueues(uint8_t bChip, const char* pszLead) {
    const bool f24 = fIsQL24xx() == TRUE;
    ConsolePrintf("%sF%d ResQOut:%03x ", pszLead, bChip, wGetResponseOutPointer(bChip));
    ConsolePrintf("ResQIn:%03x ", dChipRegister(bChip, f24 ? REG24_RESPONSE_IN : REG2X_RESPONSE_IN));
    ConsolePrintf("ResQOut:%03x ", dChipRegister(bChip, f24 ? REG24_RESPONSE_OUT : REG2X_RESPONSE_OUT));
    ConsolePrintf("ReqQIn:%03x ", dChipRegister(bChip, f24 ? REG24_REQUEST_IN : REG2X_REQUEST_IN));
    if (!f24) {
        ConsolePrintf("ReqQOut:%04x\n", dChipRegister(bChip, REG2X_REQUEST_OUT));
        return;
    }
    ConsolePrintf("ReqQOut:%04x ", dChipRegister(bChip, REG24_REQUEST_OUT));
    ConsolePrintf("ATIOQIn:%03x ", dChipRegister(bChip, REG24_ATIO_IN));
    ConsolePrintf("ATIOQOut:%04x\n", dChipRegister(bChip, REG24_ATIO_OUT));
}

void DumpFibreCounters() {
    constexpr uint8_t P1 = PORT_CODE_FC_HOST_1;
    constexpr uint8_t P2 = PORT_CODE_FC_HOST_2;
    constexpr uint8_t PI = PORT_CODE_INTERNAL;
    const STAGE_RING_POSITIONS sNew = sGetStageRingPositions(RING_NEW_COMMANDS, PI);
    PrintTwo("Lipcount:...........%04x %04x\n", wGetHostLoopLipCount(1), wGetHostLoopLipCount(2));
    PrintThree("New Commands:.......%04x %04x %04x\n", wGetPortNewCommands(P1), wGetPortNewCommands(P2),
               wGetPortNewCommands(PI));
    PrintThree("Total Commands:.....%04x %04x %04x\n", wGetPortTotalCommands(P1), wGetPortTotalCommands(P2),
               wGetPortTotalCommands(PI));
    PrintThree("Data Available:.....%04x %04x %04x\n", wGetPortRingCount(RING_DATA_AVAILABLE, P1),
               wGetPortRingCount(RING_DATA_AVAILABLE, P2), wGetDataAvailableTotal());
    PrintThree("Write Complete:.....%04x %04x %04x\n", wGetPortRingCount(RING_WRITE_COMPLETE, P1),
               wGetPortRingCount(RING_WRITE_COMPLETE, P2), wGetWriteCompleteTotal());
    PrintThree("Command Complete:...%04x %04x %04x\n", wGetPortRingCount(RING_COMMAND_COMPLETE, P1),
               wGetPortRingCount(RING_COMMAND_COMPLETE, P2), wGetCommandCompleteTotal());
    PrintThree("New Cmd In Ptr:.....%04x %04x %04x\n", 0, 0, sNew.wIn);
    PrintThree("New Cmd Out Ptr:....%04x %04x %04x\n", 0, 0, sNew.wOut);
    const STAGE_RING_POSITIONS s1 = sGetStageRingPositions(RING_WRITE_READY, P1);
    const STAGE_RING_POSITIONS s2 = sGetStageRingPositions(RING_WRITE_READY, P2);
    const STAGE_RING_POSITIONS sI = sGetStageRingPositions(RING_WRITE_READY, PI);
    PrintThree("Write Ready:........%04x %04x %04x\n", s1.wCount, s2.wCount, sI.wCount);
    PrintThree("Write Rdy In Ptr:...%04x %04x %04x\n", s1.wIn, s2.wIn, sI.wIn);
    PrintThree("Write Rdy Out Ptr:..%04x %04x %04x\n", s1.wOut, s2.wOut, sI.wOut);
    PrintThree("Write Rdy Q Pos:....%04x %04x %04x\n", wGetWriteReadyScanPosition(P1), wGetWriteReadyScanPosition(P2),
               wGetWriteReadyScanPosition(PI));
}

void DumpSasCounters() {
    constexpr uint8_t P1 = PORT_CODE_SAS_HOST_1;
    constexpr uint8_t P2 = PORT_CODE_SAS_HOST_2;
    PrintTwo("New Commands:.......%04x %04x\n", wGetPortNewCommands(P1), wGetPortNewCommands(P2));
    PrintTwo("Total Commands:.....%04x %04x\n", wGetPortTotalCommands(P1), wGetPortTotalCommands(P2));
    PrintTwo("Data Available:.....%04x %04x\n", wGetPortRingCount(RING_DATA_AVAILABLE, P1),
             wGetPortRingCount(RING_DATA_AVAILABLE, P2));
    PrintTwo("Write Complete:.....%04x %04x\n", wGetPortRingCount(RING_WRITE_COMPLETE, P1),
             wGetPortRingCount(RING_WRITE_COMPLETE, P2));
    PrintTwo("Command Complete:...%04x %04x\n", wGetPortRingCount(RING_COMMAND_COMPLETE, P1),
             wGetPortRingCount(RING_COMMAND_COMPLETE, P2));
    PrintTwo("New Cmd In Ptr:.....%04x %04x\n", 0, 0);
    PrintTwo("New Cmd Out Ptr:....%04x %04x\n", 0, 0);
    PrintTwo("Cmd Compl In Ptr:...%04x %04x\n", 0, 0);
    PrintTwo("Cmd Compl Out Ptr:..%04x %04x\n", 0, 0);
    const STAGE_RING_POSITIONS s1 = sGetStageRingPositions(RING_WRITE_READY, P1);
    const STAGE_RING_POSITIONS s2 = sGetStageRingPositions(RING_WRITE_READY, P2);
    PrintTwo("Write Ready:........%04x %04x\n", s1.wCount, s2.wCount);
    PrintTwo("Write Rdy In Ptr:...%04x %04x\n", s1.wIn, s2.wIn);
    PrintTwo("Write Rdy Out Ptr:..%04x %04x\n", s1.wOut, s2.wOut);
    PrintTwo("Write Rdy Q Pos:....%04x %04x\n", wGetWriteReadyScanPosition(P1), wGetWriteReadyScanPosition(P2));
}

void DumpDataReceived() {
    const STAGE_RING_POSITIONS s = sGetStageRingPositions(RING_DATA_RECEIVED, 0);
    ConsolePrintf("Data Received:......%04x\n", s.wCount);
    PrintTwo("Data Received Ptrs:.%04x %04x\n", s.wIn, s.wOut);
}

void DumpOptimisation() {
    const STAGE_RING_POSITIONS s = sGetStageRingPositions(RING_OPTIMISATION, 0);
    ConsolePrintf("Optimisation:...... %04x\n", s.wCount);
    PrintTwo("Optimisation Ptrs:..%04x %04x\n", s.wIn, s.wOut);
}

void DumpTaskManagement() {
    const STAGE_RING_POSITIONS s1 = sGetStageRingPositions(RING_TASK_MANAGEMENT, PORT_CODE_SAS_HOST_1);
    const STAGE_RING_POSITIONS s2 = sGetStageRingPositions(RING_TASK_MANAGEMENT, PORT_CODE_SAS_HOST_2);
    PrintTwo("New Task Mgmnt Reqs:%04x %04x\n", s1.wCount, s2.wCount);
    PrintTwo("New TMR In Ptr:.....%04x %04x\n", s1.wIn, s2.wIn);
    PrintTwo("New TMR Out Ptr:....%04x %04x\n", s1.wOut, s2.wOut);
}

void DumpLunRings() {
    ConsolePrintf("New Cmd Cont:.......%04x\n", wGetNewCmdContTotal());
    for (uint16_t w = 0; w < LUN_COUNT; w++) {
        if (wGetLunQueueCount(w) != 0) ConsolePrintf("New Cmd Cont L:%03x:.%04x\n", w, wGetLunQueueCount(w));
    }
}

const char* pszPortTag(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1: return "F1";
    case PORT_CODE_FC_HOST_2: return "F2";
    case PORT_CODE_SAS_HOST_1: return "A0";
    case PORT_CODE_SAS_HOST_2: return "A1";
    case PORT_CODE_INTERNAL: return "N1";
    case PORT_CODE_MODULE: return "G1";
    default: return "? ";
    }
}

const char* pszFlag(uint8_t f) { return f == TRUE ? "T" : "F"; }

// The initiator, then the CDB grouped as its length reads.
void PrintIdentityAndCdb(const KERNEL_ENTRY* psEntry) {
    if (psEntry->bPortCode == PORT_CODE_INTERNAL || psEntry->bPortCode == PORT_CODE_MODULE) {
        ConsolePrintf("Txxx ");
    } else if (fIsFibreHostCommand(psEntry) == TRUE && fIsQL24xx() == TRUE && psEntry->fValid != TRUE &&
               pHostFields(psEntry)->wInitiatorHandle == NO_INITIATOR_HANDLE) {
        ConsolePrintf("T??? ");
    } else {
        ConsolePrintf("T%03x ", wGetCommandInitiator(psEntry) & 0xFFF);
    }
    const uint8_t* pb = pGetCommandCdb(psEntry);
    if (pb == nullptr) {
        ConsolePrintf("\n");
        return;
    }
    if (bCdbLength(pb[0]) == 16) {
        ConsolePrintf(" %02x %02x%02x%02x%02x%02x%02x%02x%02x", pb[0], pb[2], pb[3], pb[4], pb[5], pb[6], pb[7],
                      pb[8], pb[9]);
        ConsolePrintf(" %02x%02x%02x%02x\n", pb[10], pb[11], pb[12], pb[13]);
    } else {
        ConsolePrintf(" %02x %02x%02x%02x%02x%02x %02x%02x\n", pb[0], pb[1], pb[2], pb[3], pb[4], pb[5], pb[7],
                      pb[8]);
    }
}

void PrintTargetEntry(const KERNEL_ENTRY* psEntry) {
    ConsolePrintf("%03x %s%s %08x%08x ", psEntry->wIndex, pszFlag(psEntry->fUsed), pszFlag(psEntry->fValid),
                  static_cast<uint32_t>(psEntry->lFlags >> 32), static_cast<uint32_t>(psEntry->lFlags));
    if (psEntry->bPrimaryState == HOST_STATE_FORCE_STRIPE) {
        const KERNEL_ENTRY* psMother = psEntry->psMother;
        const uint8_t* pb = psEntry->abCdb;
        ConsolePrintf("Force Stripe for %03x ", psMother != nullptr ? psMother->wIndex : 0xFFF);
        ConsolePrintf("%02x%02x%02x%02x->%02x%02x%02x%02x CT:%02x\n", pb[2], pb[3], pb[4], pb[5], pb[6], pb[7],
                      pb[8], pb[9], psEntry->bCommandType);
        return;
    }
    ConsolePrintf("%s:%03x/%03x ", pszPortTag(psEntry->bPortCode), wGetCommandLun(psEntry) & 0xFFF,
                  psEntry->wLunIndex & 0xFFF);
    ConsolePrintf("%03x:%03x:%03x ", psEntry->wChildrenOutstanding, psEntry->wTotalChildren, psEntry->wBlocksDone);
    ConsolePrintf("%02x%02x%02x ", psEntry->bPrimaryState, psEntry->bSecondaryState, psEntry->bCommandType);
    PrintIdentityAndCdb(psEntry);
}

}  // namespace

void DumpTargetKernelQueue() {
    ConsolePrintf("\nReads:%03x Writes:%03x\n", dGetHostReadsInProgress(), dGetHostWritesInProgress());
    ConsolePrintf("Used Entries:.......%04x (%02x)\n", wGetTargetEntriesUsed(), fIsTargetPoolFull());
    ConsolePrintf("Next Tar Entry Loc:.%04x\n", wGetNextTargetEntry());
    const uint8_t bInterface = bGetHostInterfaceType();
    if (bInterface == HOST_INTERFACE_FC) {
        DumpFibreCounters();
        DumpDataReceived();
        DumpOptimisation();
        DumpLunRings();
        PrintChipQueues(1, "\n");
        PrintChipQueues(2, "");
    } else if (bInterface == HOST_INTERFACE_SAS_TARGET) {
        DumpSasCounters();
        DumpDataReceived();
        DumpTaskManagement();
        DumpOptimisation();
    }
    ConsolePrintf("\nTarget kernel queue:\n");
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        KERNEL_ENTRY* psEntry;
        wGetTargetEntry(w, &psEntry);
        if (psEntry->fUsed == TRUE) PrintTargetEntry(psEntry);
    }
    ConsolePrintf("\n\n");
}

}  // namespace fw
