// Commands per second through the dispatcher and the LUN scheduler while the
// outstanding queues hold 1, 100 and 3000 extents on the LUN, under the tree
// and under the scan, as ratios to the tree with one extent, timed in one run.
//
// Every command is a READ(16) made inside the controller over blocks of an
// outstanding write whose data is all in its buffer: it is admitted, queued on
// its LUN's ring, started by the scheduler, asked against the older writes,
// served from that write's buffer and completed.  No drive is involved, so
// what is timed is the target engine and the ordering question.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cache/cache_entry.h"
#include "cache/outstanding_queues.h"
#include "config/apply_settings.h"
#include "config/config_db.h"
#include "config/config_image.h"
#include "config/default_config.h"
#include "config/drive_tables.h"
#include "config/host_lun_tables.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "target/command_access.h"
#include "target/command_completion.h"
#include "target/dispatcher.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/lun_scheduler.h"
#include "target/stage_rings.h"

namespace {

constexpr uint64_t kBlocks = 1 << 22;
constexpr uint16_t kChunk = 128;
constexpr uint32_t kBatch = 64;        // commands per main-loop cycle
constexpr uint32_t kBatches = 200;
constexpr uint32_t kRounds = 5;
constexpr uint32_t kServedBlocks = 64;  // the write that serves every read
constexpr uint32_t kInternalLunOffset = 38;

fw::CONFIG_IMAGE g_sLive;
fw::CONFIG_IMAGE g_sScratch;

// One RAID 10 array of four drives and one logical drive over all of it.
void BuildController(const sim::Board& board) {
    fw::ResetInterruptLocks();
    fw::InitInterruptController();
    fw::InitConsoleUart(115200);
    fw::ValidateNvram();
    fw::InitEventLog();
    fw::SetSystemMemorySize(board.config().memorySize);
    fw::InitBufferPages();
    std::memset(fw::pGetRankTable(), 0, sizeof(fw::RANK_RECORD) * fw::MAX_RANKS);
    fw::SetConfigImagePointer(&g_sLive);
    fw::SetScratchImagePointer(&g_sScratch);
    fw::InitFailedDriveTable();
    fw::MakeDefaultConfiguration(&g_sLive, fw::TRUE);

    g_sLive.sHeader.wRankCount = 1;
    fw::CONFIG_RANK_RECORD& sRank = g_sLive.asRank[0];
    sRank.bRaidLevel = fw::RAID_LEVEL_10;
    sRank.bDriveCount = 4;
    sRank.wChunkSize = kChunk;
    sRank.lLastOffset = kBlocks - 1;
    sRank.bInitState = 0xFF;
    sRank.fInitialized = fw::TRUE;
    g_sLive.sHeader.wLdCount = 1;
    fw::CONFIG_LD_RECORD& sLd = g_sLive.asLd[0];
    sLd.wDefaultLun = 0;
    sLd.wLdId = 0x8000;
    sLd.wBlockSize = 512;
    sLd.bSegmentCount = 1;
    sLd.asSegment[0].lLastOffset = kBlocks - 1;
    sLd.asSegment[0].lEnd = kBlocks - 1;
    sLd.asSegment[0].wSizeGb = static_cast<uint16_t>(kBlocks / fw::CAPACITY_UNIT_BLOCKS);

    fw::DRIVE_ADDRESS_LIST* psList = fw::pGetDriveAddressList();
    std::memset(psList, 0, sizeof(*psList));
    fw::SAS_DEVICE_LIST* psDevices = fw::pGetSASDriveInfoList();
    fw::InitSASDeviceList(psDevices);
    for (uint8_t m = 0; m < 4; m++) {
        const uint8_t abWwn[8] = {0x20, 0, 0, 0x11, 0x22, 0x33, 0, m};
        std::memcpy(sRank.aabMemberWwn[m], abWwn, 8);
        fw::DRIVE_ADDRESS_ENTRY& sEntry = psList->asEntry[psList->bCount++];
        sEntry.bTarget = m;
        sEntry.fClaimed = fw::FALSE;
        sEntry.fFailed = fw::FALSE;
        std::memcpy(sEntry.abAddress, abWwn, 8);
        fw::SAS_DEVICE_ENTRY& sDevice = psDevices->asEntry[psDevices->bEntryCount++];
        sDevice.bTargetId = m;
        sDevice.fValid = fw::TRUE;
        std::memcpy(sDevice.abWWN, abWwn, 8);
    }
    fw::ApplyStoredSettings(fw::FALSE, fw::TRUE);
    fw::SetHostInterfaceType(1);
    fw::InitHostCommandPool();
    fw::InitLunScheduler();
    fw::InitTargetDispatcher();
    (void)fw::AllocateHostLunTables();
}

// An outstanding write of the LUN, older than every read.
fw::KERNEL_ENTRY* AddExtent(uint64_t lLba, uint16_t wBlocks) {
    fw::KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (fw::bAllocTargetEntries(fw::PORT_CODE_INTERNAL, 1, &ps, &wIndex, fw::FALSE) != fw::STATUS_OK) return nullptr;
    const uint8_t abBlock[128] = {};
    fw::CopyNewCommandIocb(fw::PORT_CODE_INTERNAL, abBlock, ps, fw::HOST_STATE_DATA_OUT, fw::FALSE);
    const uint64_t lRow = fw::dGetRankRowDataBlocks(0);
    ps->wLunIndex = 0;
    ps->bRank = 0;
    ps->lRankAddress = lLba;
    ps->lInternalAddress = lLba;
    ps->alStripeBound[0] = lLba / lRow * lRow;
    ps->alStripeBound[1] = ((lLba + wBlocks - 1) / lRow + 1) * lRow;
    ps->wBlockCount = ps->wBlocks = wBlocks;
    ps->bSegmentCount = 1;
    fw::psCacheFields(ps)->wFirstPieceBlocks = wBlocks;
    ps->alSequence[0] = 0;
    ps->fValid = fw::TRUE;
    ps->dStartTick = fw::dGetCoarseTick();
    fw::pGetCommandCdb(ps)[0] = fw::SCSI_WRITE16;
    fw::InsertOutstandingWrite(ps);
    return ps;
}

// A READ(16) of eight blocks inside the served write, as an internal queue
// hands it to the dispatcher.
bool SendRead(uint32_t dSeed) {
    fw::KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (fw::bAllocTargetEntries(fw::PORT_CODE_INTERNAL, 1, &ps, &wIndex, fw::FALSE) != fw::STATUS_OK) return false;
    uint8_t abBlock[128] = {};
    uint8_t* pbCdb = abBlock + fw::KERNEL_ENTRY_INTERNAL_CDB_OFFSET;
    pbCdb[0] = fw::SCSI_READ16;
    fw::PutBe64(pbCdb + 2, dSeed % (kServedBlocks - 8));
    fw::PutBe32(pbCdb + 10, 8);
    abBlock[kInternalLunOffset] = 0;
    fw::CopyNewCommandIocb(fw::PORT_CODE_INTERNAL, abBlock, ps, fw::HOST_STATE_NEW_COMMAND, fw::FALSE);
    fw::QueueNewCommand(fw::PORT_CODE_INTERNAL, wIndex);
    return true;
}

// One main-loop cycle's worth of the target services, in two halves: the
// new commands dispatched and started (a read served from the write holds a
// reader's place in it), then the finished ones completed and freed (and the
// place given back).
void StartCommands() {
    const uint16_t wCount = fw::wGetPortNewCommands(fw::PORT_CODE_MODULE);
    for (uint16_t w = 0; w < wCount; w++) {
        if (fw::bDispatchHostCommand(fw::PORT_CODE_MODULE) != fw::STATUS_OK) {
            fw::RewindNewCommandScan(fw::PORT_CODE_MODULE);
            break;
        }
    }
    while (fw::wGetNewCmdContTotal() != 0) (void)fw::ServiceLunQueues();
}

void CompleteCommands() { fw::ServiceCommandComplete(fw::PORT_CODE_MODULE); }

struct Result {
    double dCommandsPerSecond;
    bool fAllServed;
};

Result Measure(uint8_t fTree, uint32_t dExtents) {
    fw::InitHostCommandPool();
    fw::InitLunScheduler();
    fw::InitTargetDispatcher();
    fw::SetCacheSetting208(fTree);
    fw::KERNEL_ENTRY* psServer = AddExtent(0, kServedBlocks);
    psServer->dBufferHandle = fw::BUFFER_HANDLE{0x100000};
    fw::SetFlag(psServer, fw::KE_FLAG_DATA_COMPLETE);
    fw::psCacheFields(psServer)->wBlocksInOrder = kServedBlocks;
    // The rest lie beyond it, a stripe row apart.
    const uint64_t lRow = fw::dGetRankRowDataBlocks(0);
    for (uint32_t d = 1; d < dExtents; d++) (void)AddExtent(kServedBlocks + d * lRow, 16);
    const uint16_t wResident = fw::wGetTargetEntriesUsed();

    Result s{0, true};
    uint32_t dSeed = 0;
    for (uint32_t r = 0; r < kRounds; r++) {
        uint32_t dSent = 0;
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t b = 0; b < kBatches; b++) {
            for (uint32_t c = 0; c < kBatch; c++) dSent += SendRead(dSeed++) ? 1 : 0;
            StartCommands();
            // Every read served from the write, then every one completed:
            // the places given back and the entries freed.
            if (fw::psCacheFields(psServer)->wReaderCount != kBatch) s.fAllServed = false;
            CompleteCommands();
            if (fw::psCacheFields(psServer)->wReaderCount != 0 || fw::wGetTargetEntriesUsed() != wResident) {
                s.fAllServed = false;
            }
        }
        const auto end = std::chrono::steady_clock::now();
        const double dRate = dSent / std::chrono::duration<double>(end - start).count();
        if (dRate > s.dCommandsPerSecond) s.dCommandsPerSecond = dRate;
    }
    return s;
}

}  // namespace

int main() {
    sim::Board board;
    BuildController(board);
    const uint32_t adExtents[] = {1, 100, 3000};
    Result asTree[3];
    Result asScan[3];
    for (uint32_t i = 0; i < 3; i++) {
        asTree[i] = Measure(fw::TRUE, adExtents[i]);
        asScan[i] = Measure(fw::FALSE, adExtents[i]);
    }
    fw::SetCacheSetting208(fw::TRUE);
    const double dReference = asTree[0].dCommandsPerSecond;
    std::printf("READ(16) served from an outstanding write, through dispatcher and LUN scheduler\n");
    std::printf("extents   tree cmds/s  ratio    scan cmds/s  ratio    tree/scan\n");
    bool fSound = true;
    for (uint32_t i = 0; i < 3; i++) {
        std::printf("%7u  %11.0f  %5.2f  %11.0f  %5.2f  %8.2f\n", adExtents[i], asTree[i].dCommandsPerSecond,
                    asTree[i].dCommandsPerSecond / dReference, asScan[i].dCommandsPerSecond,
                    asScan[i].dCommandsPerSecond / dReference,
                    asTree[i].dCommandsPerSecond / asScan[i].dCommandsPerSecond);
        fSound = fSound && asTree[i].fAllServed && asScan[i].fAllServed;
    }
    if (!fSound) std::printf("NOT every command was served and completed: the figures are void\n");
    return fSound ? 0 : 1;
}
