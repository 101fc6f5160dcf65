// What the executive's machinery and the event log need from the layers
// above them (executive/upcalls.h, eventlog/upcalls.h), answered with the
// subsystems' own services.  The top layer defines these because it may
// call every subsystem.
#include "executive/upcalls.h"

#include "cache/nvram_journal.h"
#include "config/apply_settings.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/nvram_tables.h"
#include "config/rank_table.h"
#include "console/console_keys.h"
#include "console/console_menu.h"
#include "console/xmodem_receive.h"
#include "eventlog/event_log.h"
#include "eventlog/debug_dump.h"
#include "eventlog/statistics.h"
#include "eventlog/upcalls.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "platform/embedded_module.h"
#include "raid/raid_engine.h"
#include "sas/sas_drive.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"

namespace fw {

namespace {
constexpr uint8_t DRIVE_LOOP_CHIP_A = 3;
constexpr uint8_t DRIVE_LOOP_CHIP_B = 4;
constexpr uint8_t DEVICE_FLAG_ABORTED = 1;
constexpr uint8_t HOST_LOOP_1 = 1;
constexpr uint8_t HOST_LOOP_2 = 2;
}  // namespace

// ---- buffer pages ----

uint32_t dJournalHeldPages() { return dGetJournalPageCount(); }
uint16_t wMirroredWriteExtents() { return wGetMirroredExtentCount(); }
uint16_t wModuleCommandsOutstanding() { return wGetPortTotalCommands(PORT_CODE_MODULE); }

// ---- console ----

void ConsoleCharacterReceived(uint8_t bChar) {
    if (fIsXmodemReceiveActive() == TRUE) {
        XmodemReceiveCharacter(bChar);
    } else {
        HandleConsoleCharacter(bChar);
    }
}

uint8_t fIsConsoleOutputPaused() { return fIsOutputPaused(); }
void SetConsoleOutputPaused(uint8_t f) { SetOutputPaused(f); }
uint8_t fIsConsoleOutputCaptured() { return ToFlag(bGetPrintOutputMode() == PRINT_OUTPUT_CAPTURE); }
uint32_t dStoredConsoleBaud() { return dGetNvramBootWord(); }
void StoreConsoleBaud(uint32_t dBaud) { SetNvramBootWord(dBaud); }

void PostMachineryEvent(uint8_t bCode, const uint8_t* pbArgs) {
    PostEvent(bCode, pbArgs[0], pbArgs[1], pbArgs[2], pbArgs[3], pbArgs[4], pbArgs[5], pbArgs[6], pbArgs[7],
              pbArgs[8], pbArgs[9], pbArgs[10], pbArgs[11], pbArgs[12], pbArgs[13]);
}

// ---- kernel entries and queues ----

void KernelEntryTakenBackFromChip(KERNEL_ENTRY* psEntry, uint8_t bPortCode) {
    if (psEntry->bPrimaryState == PS_AT_CHIP && bPortCode == PORT_CODE_INITIATOR) {
        SetSASDeviceTableFlag(PORT_CODE_INITIATOR, psEntry->wDeviceHandle, DEVICE_FLAG_ABORTED);
    }
    if ((psEntry->lFlags & KE_FLAG_WRITE_COLLAPSE) != 0) IwcqQueueWrite(psEntry, TRUE);
}

uint8_t fIsHostCommandEntry(const void* pAddress) { return fIsTargetEntryAddress(pAddress); }

void KernelPoolNoLongerExhausted() {
    // The drive loops report their state again.
    uint16_t wState;
    bGetFirmwareState(DRIVE_LOOP_CHIP_A, &wState);
    bGetFirmwareState(DRIVE_LOOP_CHIP_B, &wState);
}

uint32_t dWaitListOrdering() { return dGetWaitListOrderingWord(); }
void DumpKernelQueueNeighbours() { DumpWriteCollapseQueues(); }
void KernelQueueActivity() { SetIwcqPendingFlag(FALSE); }

// ---- board state ----

uint8_t bStoredNvramOptions() { return bGetNvramOptions(); }
uint8_t fIsBatteryFaultIgnored() { return fGetNvramOptionBit2(); }
void GetStoredStatisticsStamp(DATE_TIME* psStamp) { GetNvramStatisticsStamp(psStamp); }
void PartnerBatteryThresholdCrossed() { ApplyRankCachePolicies(); }
void LatchSystemMode() { SetSystemModeLatch(); }

void ResetHostLoopsAfterHold() {
    SetLoopResetRequest(HOST_LOOP_1, TRUE);
    SetLoopResetRequest(HOST_LOOP_2, TRUE);
}

uint8_t fIsHostPortBusy(uint8_t bPort) {
    return ToFlag(wGetPortNewCommands(bPort) != 0 || wGetCompletedCommandCount(bPort) != 0);
}

uint8_t fIsCacheHoldingData() {
    return ToFlag(dGetCacheWriteCount() != 0 || fAnySnapshotBitmapSet() == TRUE || wGetMirroredExtentCount() != 0);
}

// ---- the event log ----

uint8_t bEventDiagnosticsLevel() { return bGetDiagnosticsModeLevel(); }
uint8_t fIsChipInterruptServiceActive() { return ToFlag(fIsHostIsrActive() == TRUE || fIsDriveIsrActive() == TRUE); }
void SetUpgradeSkipFlag(uint8_t f) { SetAutoUpgradeSkipFlag(f); }
void SetUpgradeSecondFlag(uint8_t f) { SetAutoUpgradeSecondFlag(f); }

}  // namespace fw
