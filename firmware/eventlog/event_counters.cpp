// The command path's event counters (a cache or queue full when a command
// needed it, collisions between overlapping commands, refusals), the blocks
// every disk port moved, the host blocks the rebuild scheduler weighs, and
// the commands the cache absorbed or served; their start-of-day reset and
// the operator's clear.
#include <cstring>

#include "console/console_menu.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "raid/raid_engine.h"
#include "sas/sas_scsi_path.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint32_t DISK_PORT_CELLS = 256;
// Background stripe work, whose drive transfers are not host transfers.
constexpr uint8_t CT_STRIPE_WORK = '%';

uint32_t s_adEvents[EVENT_COUNTERS];
uint64_t s_alDiskPortRead[DISK_PORT_CELLS];
uint64_t s_alDiskPortWritten[DISK_PORT_CELLS];
uint32_t s_dHostBlocks;
uint64_t s_lWriteCollapseCommands;
uint64_t s_lWriteCollapseBlocks;
uint64_t s_lReadCacheCommands;
uint64_t s_lReadCacheBlocks;

void Count(uint8_t bIndex) { ++s_adEvents[bIndex]; }

// The cell of a disk port: the two drive loops, the sixteen drive slot
// paths, and the drive-side SAS controller's devices share the 256 cells.
bool DiskPortCell(uint8_t bPortCode, uint16_t wDevice, uint32_t* pdCell) {
    if (bPortCode == PORT_CODE_DRIVE_LOOP_3 || bPortCode == PORT_CODE_DRIVE_LOOP_4) {
        *pdCell = bPortCode - PORT_CODE_DRIVE_LOOP_3;
    } else if (fIsDriveSlotPath(bPortCode)) {
        *pdCell = bPortCode - PORT_CODE_DRIVE_SLOT_FIRST;
    } else if (bPortCode == PORT_CODE_INITIATOR && wDevice < DISK_PORT_CELLS) {
        *pdCell = wDevice;
    } else {
        return false;
    }
    return true;
}

void PrintCounterPair(const char* pszCommands, uint64_t lCommands, const char* pszBlocks, uint64_t lBlocks) {
    ConsolePrintText(pszCommands);
    PrintNumberWithSeparators(lCommands, TRUE);
    ConsolePrintText(pszBlocks);
    PrintCapacity(lBlocks);
    ConsolePrintf("\n\n");
}

}  // namespace

void CountReadCacheFull() { Count(EVENT_COUNTER_READ_CACHE_FULL); }
void CountWriteCacheFull() { Count(EVENT_COUNTER_WRITE_CACHE_FULL); }
void CountRaid50WriteCacheFull() { Count(EVENT_COUNTER_RAID50_WRITE_CACHE_FULL); }
void CountMirrorCacheFull() { Count(EVENT_COUNTER_MIRROR_CACHE_FULL); }
void CountNewCommandCacheLimit() { Count(EVENT_COUNTER_NEW_COMMAND_CACHE_LIMIT); }
void CountSpannedCommand() { Count(EVENT_COUNTER_SPANNED_COMMAND); }
void CountRebuildOverlap() { Count(EVENT_COUNTER_REBUILD_OVERLAP); }
void CountInitiatorQueueFull() { Count(EVENT_COUNTER_INITIATOR_QUEUE_FULL); }
void CountTargetQueueFull() { Count(EVENT_COUNTER_TARGET_QUEUE_FULL); }
void CountReadWriteCollision() { Count(EVENT_COUNTER_READ_WRITE_COLLISION); }
void CountWriteReadCollision() { Count(EVENT_COUNTER_WRITE_READ_COLLISION); }
void CountReadAheadWriteCollision() { Count(EVENT_COUNTER_READ_AHEAD_WRITE_COLLISION); }
void CountWriteReadAheadCollision() { Count(EVENT_COUNTER_WRITE_READ_AHEAD_COLLISION); }
void CountWriteWriteCollision() { Count(EVENT_COUNTER_WRITE_WRITE_COLLISION); }
void CountWriteStripeCollision() { Count(EVENT_COUNTER_WRITE_STRIPE_COLLISION); }
void CountSharedLdOverlap() { Count(EVENT_COUNTER_SHARED_LD_OVERLAP); }
void CountReservationConflict() { Count(EVENT_COUNTER_RESERVATION_CONFLICT); }
void CountInvalidCommand() { Count(EVENT_COUNTER_INVALID_COMMAND); }

uint32_t dGetEventCounter(uint8_t bIndex) { return bIndex < EVENT_COUNTERS ? s_adEvents[bIndex] : 0; }

void AddDiskPortBlocks(uint8_t bPortCode, const KERNEL_ENTRY* psRequest) {
    const uint16_t wBlocks = static_cast<uint16_t>(psRequest->dTotalByteCount >> 9);
    uint32_t dCell = 0;
    if (COLLECT_COMMAND_STATISTICS && DiskPortCell(bPortCode, psRequest->wTargetId, &dCell)) {
        if (psRequest->wControlFlags & SAS_XFER_IN) {
            s_alDiskPortRead[dCell] += wBlocks;
        } else if (psRequest->wControlFlags & SAS_XFER_OUT) {
            s_alDiskPortWritten[dCell] += wBlocks;
        }
    }
    if (psRequest->bCommandType != CT_STRIPE_WORK) CountHostTransfer(wBlocks);
}

uint64_t lGetDiskPortBlocks(uint8_t bPortCode, uint16_t wDevice, uint8_t fRead) {
    uint32_t dCell = 0;
    if (!DiskPortCell(bPortCode, wDevice, &dCell)) return 0;
    return fRead == TRUE ? s_alDiskPortRead[dCell] : s_alDiskPortWritten[dCell];
}

void AddHostBlocksTransferred(uint16_t wBlocks) {
    if (COLLECT_COMMAND_STATISTICS) s_dHostBlocks += wBlocks;
}
uint32_t dGetHostBlocksTransferred() { return s_dHostBlocks; }
void ClearHostBlocksTransferred() { s_dHostBlocks = 0; }

void CountWriteCollapse(uint16_t wBlocks) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    ++s_lWriteCollapseCommands;
    s_lWriteCollapseBlocks += wBlocks;
}

void CountReadCacheHit(uint16_t wBlocks) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    ++s_lReadCacheCommands;
    s_lReadCacheBlocks += wBlocks;
}

void PrintWriteCollapseCounters() {
    PrintCounterPair("\nWrite Collapse Cmds  : ", s_lWriteCollapseCommands, "\nWrite Collapse Data  : ",
                     s_lWriteCollapseBlocks);
}

void PrintReadCacheCounters() {
    PrintCounterPair("\nRead Cache Cmds      : ", s_lReadCacheCommands, "\nRead Cache Data      : ", s_lReadCacheBlocks);
}

void InitStatistics() {
    std::memset(s_adEvents, 0, sizeof s_adEvents);
    s_dHostBlocks = 0;
    ClearWriteClusterStatistics();
    ClearReadAheadStatistics();
    ClearPerformanceStatistics(STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS);
}

void ClearPerformanceStatistics(uint8_t bPortSelect, uint16_t wLun) {
    ClearAccessStatistics(bPortSelect, wLun);
    ClearReadAheadStatistics();
    ClearWriteClusterStatistics();
    std::memset(s_adEvents, 0, sizeof s_adEvents);
    std::memset(s_alDiskPortRead, 0, sizeof s_alDiskPortRead);
    std::memset(s_alDiskPortWritten, 0, sizeof s_alDiskPortWritten);
    s_lWriteCollapseCommands = 0;
    s_lWriteCollapseBlocks = 0;
    s_lReadCacheCommands = 0;
    s_lReadCacheBlocks = 0;
    if (bPortSelect == STATISTICS_BOTH_SIDES && wLun == ALL_STATISTICS_LUNS) ClearTqmStatistics();
}

}  // namespace fw
