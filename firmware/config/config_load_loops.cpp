// Loading the configuration from drives on the Fibre Channel drive loops:
// the first blocks of every drive's copy are collected, and the newest copy
// this controller wrote is read whole and installed.
#include "config/config_load_loops.h"

#include <cstring>

#include "config/config_flags.h"
#include "config/config_load.h"
#include "config/config_upgrade.h"
#include "config/default_config.h"
#include "enclosure/drive_commands.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/addresses.h"
#include "hw/scsi.h"

namespace fw {

namespace {

constexpr uint8_t DRIVE_LOOP_FIRST = 3;
constexpr uint8_t DRIVE_LOOP_LAST = 4;
constexpr uint16_t CHIP_READY = 3;
constexpr uint8_t PORT_DATABASE_TARGET = 0x10;
constexpr uint8_t PORT_DATABASE_INITIATOR = 0x20;
constexpr uint8_t PORT_DATABASE_ID_INVALID = 0x80;
constexpr uint8_t EVENT_DRIVE_ID_INVALID = 119;
constexpr uint8_t COMMAND_TRIES = 4;
constexpr uint16_t COMMAND_TIMEOUT = 10;
constexpr uint32_t RECORD_WORDS = 256;

// One drive's first blocks and where it was seen.
struct LOOP_DRIVE_RECORD {
    uint8_t abLoopId[2];      // on path 3 and path 4, 255 none
    BUFFER_HANDLE dPage;
    uint8_t abWwn[8];
};

LOOP_DRIVE_RECORD s_asRecord[LOOP_DRIVE_RECORDS];
BUFFER_HANDLE s_dReadPage;

uint8_t* pPage(BUFFER_HANDLE d) { return static_cast<uint8_t*>(pCpuAddressToPointer(dBufferHandleToCpuAddress(d))); }

uint32_t dWord(const uint8_t* pb, uint32_t dIndex) {
    uint32_t d;
    std::memcpy(&d, pb + 4 * dIndex, 4);
    return d;
}

// What the first blocks can tell: the magic and the header's own check.
// The body check covers the whole body, so it is tested once the chosen
// copy has been read whole.
bool IsPlausibleHead(const uint8_t* pb) {
    const CONFIG_HEADER* ps = reinterpret_cast<const CONFIG_HEADER*>(pb);
    if (ps->dMagic != CONFIG_MAGIC) return false;
    uint32_t dHeader = 0;
    for (uint32_t w = 0; w < CONFIG_HEADER_WORDS; ++w) dHeader ^= dWord(pb, w);
    return dHeader == 0;
}

LOOP_DRIVE_RECORD* psFindRecord(const uint8_t* pbWwn, uint8_t bCount) {
    for (uint8_t i = 0; i < bCount; ++i) {
        if (std::memcmp(s_asRecord[i].abWwn, pbWwn, 8) == 0) return &s_asRecord[i];
    }
    return nullptr;
}

void FreePages(uint8_t bTaken) {
    for (uint8_t i = 0; i < bTaken; ++i) (void)wFreeDataPages(s_asRecord[i].dPage, 1);
    if (s_dReadPage != NULL_BUFFER_HANDLE) (void)wFreeDataPages(s_dReadPage, 1);
    s_dReadPage = NULL_BUFFER_HANDLE;
}

// Collects the drives of one loop; returns the new record count.
uint8_t CollectLoop(uint8_t bPath, uint8_t bCount) {
    uint8_t bOwnAlpa = 0;
    uint32_t dPortId = 0;
    uint16_t wTopology = 0;
    const uint8_t bOwnLoopId =
        bQLGetLoopId(bPath, &bOwnAlpa, &dPortId, &wTopology) == STATUS_OK ? bAlpaToLoopId(bOwnAlpa) : 0xFF;
    const uint8_t bPositions = bGetLoopMapCount(bPath);
    for (uint8_t p = 1; p <= bPositions; ++p) {
        const uint8_t bAlpa = bGetLoopMapAlpa(bPath, p);
        const uint8_t bLoopId = bAlpaToLoopId(bAlpa);
        uint8_t bFlags = 0;
        uint8_t abWwn[8] = {};
        if (bLoopId == bOwnLoopId || bGetPortDatabase(bPath, bAlpa, &bFlags, abWwn) != STATUS_OK) continue;
        if ((bFlags & PORT_DATABASE_INITIATOR) != 0 || (bFlags & PORT_DATABASE_TARGET) == 0) continue;
        if (bFlags & PORT_DATABASE_ID_INVALID) {
            PostEvent(EVENT_DRIVE_ID_INVALID, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6],
                      abWwn[7]);
            continue;
        }
        if (LOOP_DRIVE_RECORD* ps = psFindRecord(abWwn, bCount)) {
            ps->abLoopId[bPath - DRIVE_LOOP_FIRST] = bLoopId;
            continue;
        }
        // Two loops can list more drives than there are records for.
        if (bCount == LOOP_DRIVE_RECORDS) break;
        LOOP_DRIVE_RECORD& s = s_asRecord[bCount];
        if (ReadConfigFromFcDrive(bPath, bAlpa, TRUE, s.dPage) != STATUS_OK || !IsPlausibleHead(pPage(s.dPage))) {
            continue;
        }
        s.abLoopId[0] = s.abLoopId[1] = 0xFF;
        s.abLoopId[bPath - DRIVE_LOOP_FIRST] = bLoopId;
        std::memcpy(s.abWwn, abWwn, 8);
        ++bCount;
    }
    return bCount;
}

}  // namespace

uint8_t ReadConfigFromFcDrive(uint8_t bPath, uint8_t bAlpa, uint8_t fHeaderOnly, BUFFER_HANDLE dBuffer) {
    const uint16_t wBlocks = fHeaderOnly != TRUE ? CONFIG_IMAGE_BLOCKS : fIsLinePowerMode() == TRUE ? 2 : 1;
    std::memset(pPage(dBuffer), 0, wBlocks * 512u);
    uint8_t bStatus = 0, bKey = 0, bAsc = 0, bAscq = 0;
    (void)bInquireDrive(bPath, bAlpa, 0, COMMAND_TIMEOUT, &bStatus, &bKey, &bAsc, &bAscq, dBuffer, 36);
    bool fCapacity = false;
    for (uint8_t t = 0; t < COMMAND_TRIES && !fCapacity; ++t) {
        fCapacity = bReadDriveCapacity(bPath, bAlpa, 0, COMMAND_TIMEOUT, &bStatus, &bKey, &bAsc, &bAscq, dBuffer) ==
                        STATUS_OK &&
                    bStatus == 0;
    }
    if (!fCapacity) return 0;
    const uint32_t dFirst = dGetBe32(pPage(dBuffer)) - CONFIG_COPY_BLOCKS_BEFORE_END;
    for (uint8_t t = 0; t < COMMAND_TRIES; ++t) {
        if (bReadDriveBlocks(bPath, bAlpa, 0, COMMAND_TIMEOUT, &bStatus, &bKey, &bAsc, &bAscq, dFirst, wBlocks,
                             dBuffer) == STATUS_OK &&
            bStatus == 0) {
            return STATUS_OK;
        }
    }
    return 0;
}

void LoadConfigFromLoopDrives() {
    uint8_t bTaken = 0;
    s_dReadPage = NULL_BUFFER_HANDLE;
    for (; bTaken < LOOP_DRIVE_RECORDS; ++bTaken) {
        if (bAllocDataPages(BUFFER_BANK_EITHER, 1, &s_asRecord[bTaken].dPage) != STATUS_OK) break;
    }
    if (bTaken < LOOP_DRIVE_RECORDS || bAllocDataPages(BUFFER_BANK_EITHER, 1, &s_dReadPage) != STATUS_OK) {
        FreePages(bTaken);
        return;
    }
    uint8_t bCount = 0;
    bool fLoopReady = false;
    for (uint8_t bPath = DRIVE_LOOP_FIRST; bPath <= DRIVE_LOOP_LAST; ++bPath) {
        uint16_t wState = 0;
        if (bGetFirmwareState(bPath, &wState) != STATUS_OK || wState != CHIP_READY) continue;
        fLoopReady = true;
        bCount = CollectLoop(bPath, bCount);
    }
    // Without a loop up nothing was looked at: the configuration stays.
    if (fLoopReady) RebuildConfigFromDriveRecords(bCount);
    FreePages(bTaken);
}

void RebuildConfigFromDriveRecords(uint8_t bCount) {
    // The copy to take: one this controller wrote beats any other, then the
    // newest.  Only its first blocks were read; the whole copy is read now,
    // and a copy that does not hold together whole gives way to the next.
    uint8_t abOwn[8];
    pGetControllerWWN(abOwn);
    bool afTried[LOOP_DRIVE_RECORDS] = {};
    CONFIG_IMAGE* psLive = pGetConfigImage();
    CONFIG_IMAGE* psScratch = pGetScratchConfigImage();
    const BUFFER_HANDLE dScratch = static_cast<BUFFER_HANDLE>(dAddressWord(psScratch));
    for (uint8_t bTry = 0; bTry < bCount; ++bTry) {
        int iBest = -1;
        bool fBestOwn = false;
        uint32_t dBestGeneration = 0;
        for (uint8_t i = 0; i < bCount; ++i) {
            if (afTried[i]) continue;
            const CONFIG_HEADER* ps = reinterpret_cast<const CONFIG_HEADER*>(pPage(s_asRecord[i].dPage));
            const bool fOwn = std::memcmp(ps->abWriterWwn, abOwn, 8) == 0;
            if (iBest < 0 || (fOwn && !fBestOwn) || (fOwn == fBestOwn && ps->dGeneration > dBestGeneration)) {
                iBest = i;
                fBestOwn = fOwn;
                dBestGeneration = ps->dGeneration;
            }
        }
        if (iBest < 0) break;
        afTried[iBest] = true;
        const LOOP_DRIVE_RECORD& s = s_asRecord[iBest];
        const uint8_t bPath = s.abLoopId[0] != 0xFF ? DRIVE_LOOP_FIRST : DRIVE_LOOP_LAST;
        uint8_t bAlpa = 0;
        (void)fLoopIdToAlpa(s.abLoopId[bPath - DRIVE_LOOP_FIRST], &bAlpa);
        if (ReadConfigFromFcDrive(bPath, bAlpa, FALSE, dScratch) == STATUS_OK && fIsConfigImageValid(psScratch) == TRUE &&
            psScratch->sHeader.wRankCount != 0) {
            CopyConfigImage(psScratch, psLive);
            ConfigUpgrade(psLive);
            SetConfigValid(TRUE);
            return;
        }
    }
    std::memset(psLive, 0, CONFIG_IMAGE_SIZE);
    MakeDefaultConfiguration(psLive, TRUE);
    SealEmptyConfigImage(psLive);
    SetConfigValid(FALSE);
}

}  // namespace fw
