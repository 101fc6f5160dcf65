// Array expansion: the step machine, its NVRAM record, the host window, the
// save area of the first rows, the commit and the partner's view of it.
#include "raid/expansion.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/array_operations.h"
#include "config/bad_blocks.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "enclosure/power_management.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/nvram_access.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "cache/cache_entry.h"
#include "cache/write_start.h"
#include "raid/child_commands.h"
#include "raid/dual_parity.h"
#include "raid/parity_mapping.h"
#include "raid/raid_engine.h"
#include "raid/striped_mapping.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint8_t NO_RANK = 0xFF;
constexpr uint32_t NV_COPY_BYTES = 12;
constexpr uint32_t SAVE_MAGIC = 0x45585356;   // "VSXE"
constexpr uint32_t SALVAGE_BLOCKS = BLOCKS_PER_PAGE;

EXPANSION_STATE s;
uint8_t s_fHostIoAllowed = TRUE;

// The save area's header: which row of which restripe the save area holds,
// and a sum of its data so that a save cut short is never taken for one.
#pragma pack(push, 1)
struct EXPANSION_SAVE_HEADER {
    uint32_t dMagic;
    uint8_t bRank;
    uint8_t bOldDrives;
    uint8_t bNewDrives;
    uint8_t bNewLevel;
    uint64_t lWrite;
    uint64_t lOldCapacity;
    uint64_t lNewCapacity;
    uint32_t dBlocks;
    uint32_t dSum;
    uint32_t dHeaderSum;
};
#pragma pack(pop)
static_assert(sizeof(EXPANSION_SAVE_HEADER) == 44);

uint32_t dSumOf(const uint8_t* pb, uint32_t dBytes) {
    // FNV-1a: cheap, and a torn or stale save does not sum alike.
    uint32_t d = 2166136261u;
    for (uint32_t i = 0; i < dBytes; ++i) d = (d ^ pb[i]) * 16777619u;
    return d;
}

// ---- the NVRAM record -------------------------------------------------------

uint32_t dCopyOffset(bool fCopy1) { return NVRAM_OFFSET(abExpansionRecord) + (fCopy1 ? 0 : NV_COPY_BYTES); }

void WriteCopy(bool fCopy1, uint8_t bRank, uint64_t lWrite) {
    uint8_t ab[NV_COPY_BYTES] = {bRank, 0, 0, 0};
    for (uint32_t i = 0; i < 8; ++i) ab[4 + i] = static_cast<uint8_t>(lWrite >> (8 * i));
    NvramWrite(dCopyOffset(fCopy1), ab, sizeof ab);
}

uint64_t lPositionOf(const uint8_t* pb) {
    uint64_t l = 0;
    for (uint32_t i = 0; i < 8; ++i) l |= static_cast<uint64_t>(pb[4 + i]) << (8 * i);
    return l;
}

bool CurrentIsCopy1() { return bGetNvramExpansionSelector() == TRUE; }

// Progress goes into the copy the selector does not name; then the
// selector flips to it, so a cut leaves one whole copy named.
void StorePosition() {
    const bool fTo1 = !CurrentIsCopy1();
    WriteCopy(fTo1, s.bRank, s.lWrite);
    SetNvramExpansionSelector(fTo1 ? TRUE : FALSE);
}

// ---- geometry -----------------------------------------------------------------

EXPANSION_GEOMETRY GeometryOf(const CONFIG_RANK_RECORD& r) {
    EXPANSION_GEOMETRY g{};
    g.bRaidLevel = r.bRaidLevel;
    g.bDrives = r.bDriveCount;
    g.bDrives2 = r.bParityCount;
    g.lCapacity = r.lLastOffset + 1;
    g.dStripe = r.dStripeSize / BLOCK_BYTES;
    g.wChunk = r.wChunkSize;
    return g;
}

bool LoadGeometry(uint8_t bRank) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage == nullptr || bRank >= EXPANSION_RANK) return false;
    s.sOld = GeometryOf(psImage->asRank[EXPANSION_RANK]);
    s.sNew = GeometryOf(psImage->asRank[bRank]);
    s.lEnd = s.sNew.lCapacity;
    return s.sNew.dStripe != 0 && s.sOld.dStripe != 0 && s.sNew.wChunk != 0 && s.sNew.dStripe <= 0xFFFF;
}

bool ImageNamesExpansion(uint8_t bRank) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    return psImage != nullptr && bRank < EXPANSION_RANK && psImage->asRank[bRank].bInitState == RANK_STATE_EXPANDING &&
           psImage->sHeader.fExpansionActive == TRUE && psImage->sHeader.bExpansionArray == bRank;
}

// The rebase of the logical drive segment holding the rank's block.
uint32_t dGetLdSegmentRebase(uint64_t lAddress) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage == nullptr) return 0;
    const uint32_t dLds = psImage->sHeader.wLdCount < MAX_LDS ? psImage->sHeader.wLdCount : MAX_LDS;
    for (uint32_t l = 0; l < dLds; ++l) {
        const CONFIG_LD_RECORD& sLd = psImage->asLd[l];
        const uint32_t dSegments = sLd.bSegmentCount < MAX_LD_SEGMENTS ? sLd.bSegmentCount : MAX_LD_SEGMENTS;
        for (uint32_t g = 0; g < dSegments; ++g) {
            const LD_SEGMENT& sSeg = sLd.asSegment[g];
            if (lAddress >= sSeg.lStart && lAddress - sSeg.lStart <= sSeg.lLastOffset) return sSeg.dExpandMark;
        }
    }
    return 0;
}

void DeriveReadPosition() {
    uint64_t lStart = 0;
    GetRankStartAddress(s.bRank, &lStart);
    const uint32_t dRebase = dGetLdSegmentRebase(lStart + s.lWrite);
    s.lRead = s.lWrite >= dRebase ? s.lWrite - dRebase : 0;
}

// The member size, and the save area past it (and past the cache flush
// area of an array that holds it): two new rows, the data then the header.
uint64_t lSaveAddress() {
    const uint64_t lDataChunks = s.sNew.dStripe / s.sNew.wChunk;
    uint64_t lMember = lDataChunks == 0 ? 0 : s.sNew.lCapacity / lDataChunks;
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage != nullptr && s.bRank < EXPANSION_RANK && psImage->asRank[s.bRank].fCacheFlushArray == TRUE) {
        lMember += CACHE_FLUSH_AREA_BLOCKS;
    }
    const uint64_t lRow = (lMember + s.sNew.wChunk - 1) / s.sNew.wChunk;
    return lRow * s.sNew.dStripe;
}

// A row whose in-place write overwrites old rows still holding data at or
// past W.
bool IsOverlappingRow() {
    const uint64_t w = s.lWrite / s.sNew.dStripe;
    return (w + 1) * s.sOld.dStripe > s.lWrite && s.lWrite < s.sOld.lCapacity;
}

// ---- the command ------------------------------------------------------------

uint8_t* pbBuffer() { return static_cast<uint8_t*>(pBufferHandleToPointer(s.psCommand->dBufferHandle)); }
EXPANSION_SAVE_HEADER* psHeaderPage() {
    return reinterpret_cast<EXPANSION_SAVE_HEADER*>(pbBuffer() + (s.dPages - 1) * BUFFER_PAGE_SIZE);
}

uint8_t bAllocateCommand() {
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, FALSE) != STATUS_OK || ps == nullptr) {
        return STATUS_RETRY;
    }
    // One new row, and a page for the save area's header.
    const uint32_t dRowPages = (static_cast<uint32_t>(s.sNew.bDrives) * s.sNew.wChunk + BLOCKS_PER_PAGE - 1) /
                               BLOCKS_PER_PAGE;
    const uint32_t dPages = dRowPages + 1;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, dPages, &dHandle) != STATUS_OK) {
        FreeTargetEntry(ps);
        return STATUS_NO_PAGES;
    }
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bPortCode = PORT_CODE_FC_HOST_1;
    ps->bCommandType = CT_EXPANSION;
    ps->fUsed = TRUE;
    ps->bMember = NO_MEMBER;
    ps->bRank = s.bRank;
    ps->dBufferHandle = dHandle;
    ps->wPageCount = static_cast<uint16_t>(dPages);
    ps->psMother = ps;
    ps->bSecondaryState = EXPANSION_PHASE_READY;
    s.psCommand = ps;
    s.dPages = dPages;
    return STATUS_OK;
}

void FreeCommand() {
    if (KERNEL_ENTRY* ps = s.psCommand) {
        if (ps->wPageCount != 0) (void)wFreeDataPages(ps->dBufferHandle, ps->wPageCount);
        ps->wPageCount = 0;
        FreeTargetEntry(ps);
    }
    s.psCommand = nullptr;
    s.dPages = 0;
}

uint8_t bMapOnRank(KERNEL_ENTRY* ps, uint32_t dData) {
    switch (bGetRankRaidLevel(s.bRank)) {
    case RAID_LEVEL_0:
    case RAID_LEVEL_10: return bMapStripedCommand(s.bRank, ps, dData);
    case RAID_LEVEL_5:
    case RAID_LEVEL_50: return bMapParityCommand(s.bRank, ps, dData);
    case RAID_LEVEL_6: return bMapRaid6Command(s.bRank, ps, dData);
    default: return 0;
    }
}

// The transfer last handed to the mapping, kept to be issued again.
struct TRANSFER {
    uint8_t fWrite;
    uint64_t lAddress;
    uint32_t dBlocks;
    uint32_t dByteOffset;
};
TRANSFER s_sLast;
uint8_t s_fReissue = FALSE;   // the mapping had no entries for it: next pass
uint8_t s_fBack = FALSE;      // a transfer came back and waits to be judged

// One READ(16) or WRITE(16) of the expansion command, handed to the rank's
// mapping as host read and write execution would; the mapping puts its
// reads of the old layout on pseudo-rank 63.
void Reissue() {
    KERNEL_ENTRY* ps = s.psCommand;
    const TRANSFER& t = s_sLast;
    uint8_t* pbCdb = pGetCommandCdb(ps);
    std::memset(pbCdb, 0, 16);
    pbCdb[0] = t.fWrite == TRUE ? SCSI_WRITE16 : SCSI_READ16;
    PutBe64(pbCdb + 2, t.lAddress);
    PutBe32(pbCdb + 10, t.dBlocks);
    uint64_t lStart = 0;
    GetRankStartAddress(s.bRank, &lStart);
    ps->lFlags = t.fWrite == TRUE ? KE_FLAG_DATA_COMPLETE : 0;
    ps->bRank = s.bRank;
    ps->lRankAddress = t.lAddress;
    ps->lInternalAddress = lStart + t.lAddress;
    ps->lLba = t.lAddress;
    ps->wBlocks = static_cast<uint16_t>(t.dBlocks);
    ps->wBlockCount = static_cast<uint16_t>(t.dBlocks);
    ps->wBlocksDone = 0;
    ps->wChildrenOutstanding = 0;
    ps->wTotalChildren = 0;
    ps->psMother = ps;
    ps->bPrimaryState = t.fWrite == TRUE ? HOST_STATE_WRITE_ISSUED : HOST_STATE_READ_ISSUED;
    ps->bSecondaryState = t.fWrite == TRUE ? EXPANSION_PHASE_WRITE_ISSUED : EXPANSION_PHASE_READ_ISSUED;
    s_fReissue = FALSE;
    const uint32_t dData = static_cast<uint32_t>(dBufferHandleToCpuAddress(ps->dBufferHandle)) + t.dByteOffset;
    if (bMapOnRank(ps, dData) != STATUS_OK) s_fReissue = TRUE;
}

void Send(bool fWrite, uint64_t lAddress, uint32_t dBlocks, uint32_t dByteOffset) {
    s_sLast = TRANSFER{ToFlag(fWrite), lAddress, dBlocks, dByteOffset};
    Reissue();
}

void SendProgress(uint8_t bCode) {
    if (fIsDualControllerActive() != TRUE) return;
    uint8_t ab[EXPANSION_MESSAGE_BYTES] = {bCode, bGetNvramExpansionFlag(), bGetNvramExpansionSelector(), s.bRank};
    for (uint32_t i = 0; i < 8; ++i) ab[4 + i] = static_cast<uint8_t>(s.lWrite >> (8 * i));
    SendExpansionMessage(ab, sizeof ab);
}

// ---- the step -----------------------------------------------------------------

bool Requested() {
    if (s.fStopRequest == TRUE) {
        s.fStopRequest = FALSE;
        s.bState = EXPANSION_STOP;
        return true;
    }
    if (s.fSuspendRequest == TRUE) {
        s.fSuspendRequest = FALSE;
        s.bState = EXPANSION_SUSPEND;
        return true;
    }
    return false;
}

void NewTransfer(uint8_t bTransfer) {
    s.bTransfer = bTransfer;
    s.bAttempts = 0;
    s.fFailed = FALSE;
}

uint32_t dSalvagePiece() {
    return s.dReadBlocks - s.dSalvage < SALVAGE_BLOCKS ? s.dReadBlocks - s.dSalvage : SALVAGE_BLOCKS;
}

void SendSaveHeader() {
    const uint32_t S = s.sNew.dStripe;
    EXPANSION_SAVE_HEADER* ph = psHeaderPage();
    std::memset(ph, 0, BUFFER_PAGE_SIZE);
    ph->dMagic = SAVE_MAGIC;
    ph->bRank = s.bRank;
    ph->bOldDrives = s.sOld.bDrives;
    ph->bNewDrives = s.sNew.bDrives;
    ph->bNewLevel = s.sNew.bRaidLevel;
    ph->lWrite = s.lWrite;
    ph->lOldCapacity = s.sOld.lCapacity;
    ph->lNewCapacity = s.sNew.lCapacity;
    ph->dBlocks = S;
    ph->dSum = dSumOf(pbBuffer(), S * BLOCK_BYTES);
    ph->dHeaderSum = dSumOf(reinterpret_cast<const uint8_t*>(ph), offsetof(EXPANSION_SAVE_HEADER, dHeaderSum));
    Send(true, lSaveAddress() + S, 1, (s.dPages - 1) * BUFFER_PAGE_SIZE);
}

// The row's data is in the buffer (read, salvaged, restored or zeros): it
// goes out, through the save area first when its in-place write overwrites
// data not yet moved and no save of it exists yet.
void WriteRow(bool fSaved) {
    s.fRestoring = FALSE;
    if (!fSaved && s.bState == EXPANSION_COPY && IsOverlappingRow()) {
        NewTransfer(EXPANSION_XFER_SAVE_DATA);
        Send(true, lSaveAddress(), s.sNew.dStripe, 0);
        return;
    }
    NewTransfer(EXPANSION_XFER_ROW);
    Send(true, s.lWrite, s.sNew.dStripe, 0);
}

bool HeaderNamesThisRow() {
    const EXPANSION_SAVE_HEADER* ph = psHeaderPage();
    return ph->dMagic == SAVE_MAGIC &&
           ph->dHeaderSum == dSumOf(reinterpret_cast<const uint8_t*>(ph), offsetof(EXPANSION_SAVE_HEADER, dHeaderSum)) &&
           ph->bRank == s.bRank && ph->bOldDrives == s.sOld.bDrives && ph->bNewDrives == s.sNew.bDrives &&
           ph->bNewLevel == s.sNew.bRaidLevel && ph->lWrite == s.lWrite && ph->lOldCapacity == s.sOld.lCapacity &&
           ph->lNewCapacity == s.sNew.lCapacity && ph->dBlocks == s.sNew.dStripe;
}

// Phase 160 of the copy: after a restart, the save area first where the
// row may have been cut in its in-place write; else the row through the
// old layout, never past the old capacity (the rest of the row is zeros).
void IssueRead() {
    const uint32_t S = s.sNew.dStripe;
    if (s.fCheckSave == TRUE) {
        s.fCheckSave = FALSE;
        if (IsOverlappingRow()) {
            s.fRestoring = TRUE;
            NewTransfer(EXPANSION_XFER_SAVE_HEADER);
            Send(false, lSaveAddress() + S, 1, (s.dPages - 1) * BUFFER_PAGE_SIZE);
            return;
        }
    }
    s.fRestoring = FALSE;
    NewTransfer(EXPANSION_XFER_ROW);
    const uint64_t lOld = s.sOld.lCapacity;
    s.dReadBlocks = s.lRead >= lOld ? 0 : static_cast<uint32_t>(lOld - s.lRead < S ? lOld - s.lRead : S);
    std::memset(pbBuffer() + s.dReadBlocks * BLOCK_BYTES, 0, (S - s.dReadBlocks) * BLOCK_BYTES);
    if (s.dReadBlocks == 0) {
        WriteRow(false);
        return;
    }
    Send(false, s.lRead, s.dReadBlocks, 0);
}

// A page that will not read: zeros in its place, and its blocks known bad
// at their new addresses, so hosts get a medium error there rather than
// the zeros.
void GiveUpSalvagePage() {
    const uint32_t n = dSalvagePiece();
    std::memset(pbBuffer() + s.dSalvage * BLOCK_BYTES, 0, n * BLOCK_BYTES);
    const uint64_t lAt = s.lWrite + s.dSalvage;
    (void)AddMediaErrorRange(lAt, static_cast<uint16_t>(n), s.bRank);
    PostEvent(EVENT_EXPANSION_UNREADABLE, s.bRank, static_cast<uint8_t>(lAt >> 24), static_cast<uint8_t>(lAt >> 16),
              static_cast<uint8_t>(lAt >> 8), static_cast<uint8_t>(lAt), static_cast<uint8_t>(n));
}

void SendSalvagePiece() {
    NewTransfer(EXPANSION_XFER_SALVAGE);
    Send(false, s.lRead + s.dSalvage, dSalvagePiece(), s.dSalvage * BLOCK_BYTES);
}

// A read of the step is back (phase 162).
void ReadDone() {
    const uint32_t S = s.sNew.dStripe;
    const bool fFailed = s.fFailed == TRUE;
    if (fFailed && s.fRestoring != TRUE && ++s.bAttempts < EXPANSION_TRANSFER_ATTEMPTS) {
        s.fFailed = FALSE;
        Reissue();
        return;
    }
    switch (s.bTransfer) {
    case EXPANSION_XFER_SAVE_HEADER:
        if (!fFailed && HeaderNamesThisRow()) {
            NewTransfer(EXPANSION_XFER_SAVE_DATA);
            Send(false, lSaveAddress(), S, 0);
            return;
        }
        // No save of this row: its in-place write never began, and the old
        // layout holds it whole.
        s.fRestoring = FALSE;
        IssueRead();
        return;
    case EXPANSION_XFER_SAVE_DATA:
        if (!fFailed && dSumOf(pbBuffer(), S * BLOCK_BYTES) == psHeaderPage()->dSum) {
            // The row as it was before its in-place write began.
            WriteRow(true);
            return;
        }
        s.fRestoring = FALSE;
        IssueRead();
        return;
    case EXPANSION_XFER_SALVAGE:
        if (fFailed) GiveUpSalvagePage();
        s.dSalvage += SALVAGE_BLOCKS;
        if (s.dSalvage < s.dReadBlocks) {
            SendSalvagePiece();
            return;
        }
        break;
    default:
        if (Requested()) return;
        if (fFailed) {
            // Page by page: what reads is kept, what does not becomes zeros.
            s.dSalvage = 0;
            SendSalvagePiece();
            return;
        }
        break;
    }
    WriteRow(false);
}

void Advance() {
    s.lWrite += s.sNew.dStripe;
    DeriveReadPosition();
    StorePosition();
    if (s.bState == EXPANSION_COPY && s.lWrite >= s.sOld.lCapacity) s.bState = EXPANSION_ZERO;
    if (s.bState == EXPANSION_ZERO && s.lWrite >= s.lEnd) {
        s.bState = EXPANSION_COMMIT;
    } else {
        s.psCommand->bSecondaryState = s.bState == EXPANSION_ZERO ? EXPANSION_PHASE_ZERO_FILL : EXPANSION_PHASE_READY;
    }
    SendProgress(EXPANSION_MESSAGE_PROGRESS);
}

// A write of the step is back (phase 164).
void WriteDone() {
    if (s.fFailed == TRUE) {
        if (++s.bAttempts < EXPANSION_TRANSFER_ATTEMPTS) {
            s.fFailed = FALSE;
            Reissue();
            return;
        }
        // The drives refuse it: the expansion waits, W unchanged, and tries
        // the row again after the suspension.
        PostEvent(EVENT_EXPANSION_WRITE_FAILED, s.bRank);
        s.bState = EXPANSION_SUSPEND;
        return;
    }
    switch (s.bTransfer) {
    case EXPANSION_XFER_SAVE_DATA:
        NewTransfer(EXPANSION_XFER_SAVE_HEADER);
        SendSaveHeader();
        return;
    case EXPANSION_XFER_SAVE_HEADER:
        NewTransfer(EXPANSION_XFER_ROW);
        Send(true, s.lWrite, s.sNew.dStripe, 0);
        return;
    default: break;
    }
    if (Requested()) return;
    Advance();
}

void CopyStep() {
    KERNEL_ENTRY* ps = s.psCommand;
    if (s_fReissue == TRUE) {
        Reissue();
        return;
    }
    switch (ps->bSecondaryState) {
    case EXPANSION_PHASE_ZERO_FILL:
        std::memset(pbBuffer(), 0, s.sNew.dStripe * BLOCK_BYTES);
        WriteRow(false);
        return;
    case EXPANSION_PHASE_READY:
        if (s.bState == EXPANSION_ZERO) {
            ps->bSecondaryState = EXPANSION_PHASE_ZERO_FILL;
            return;
        }
        IssueRead();
        return;
    case EXPANSION_PHASE_READ_DONE:
        if (s_fBack != TRUE) return;
        s_fBack = FALSE;
        ReadDone();
        return;
    case EXPANSION_PHASE_WRITE_DONE:
        if (s_fBack != TRUE) return;
        s_fBack = FALSE;
        WriteDone();
        return;
    default: return;   // a transfer is out
    }
}

// The image records the rank as grown: its state, no expansion area, no
// segment rebases.
void MarkCommitted(CONFIG_IMAGE* psImage, uint8_t bRank) {
    CONFIG_RANK_RECORD& r = psImage->asRank[bRank];
    if (r.bRaidLevel == RAID_LEVEL_0) {
        r.bInitState = 0;
    } else {
        r.bInitState = RANK_STATE_OPTIMAL;
        if (r.bRaidLevel != RAID_LEVEL_10) r.fInitialized = TRUE;
    }
    psImage->sHeader.fExpansionActive = FALSE;
    psImage->sHeader.bExpansionArray = 255;
    std::memset(&psImage->asRank[EXPANSION_RANK], 0, sizeof psImage->asRank[EXPANSION_RANK]);
    for (uint32_t l = 0; l < MAX_LDS; ++l)
        for (uint32_t g = 0; g < MAX_LD_SEGMENTS; ++g) psImage->asLd[l].asSegment[g].dExpandMark = 0;
}

// A commit already sealed its image and is writing it: the image must not
// change under it.
bool CommitIsWriting() {
    return fIsConfigCommitInProgress() == TRUE &&
           (bGetConfigPhase() != CONFIG_PHASE_COMMIT || bGetConfigPhaseStep() != 0);
}

void Commit() {
    // An image on its way to the drives still records the expansion: the
    // commit waits for it, so that its install does not undo this one.
    if (CommitIsWriting()) return;
    CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage != nullptr && s.bRank < EXPANSION_RANK) MarkCommitted(psImage, s.bRank);
    // An edit opened during the restripe holds the expansion too, maybe
    // under a new number (an array below it deleted): saved as it is, it
    // would start the finished expansion again.
    CONFIG_IMAGE* psScratch = pGetScratchConfigImage();
    if (psScratch != nullptr && psScratch != psImage && psScratch->sHeader.fExpansionActive == TRUE) {
        const uint8_t b = psScratch->sHeader.bExpansionArray;
        if (b < EXPANSION_RANK && b < psScratch->sHeader.wRankCount &&
            psScratch->asRank[b].bInitState == RANK_STATE_EXPANDING) {
            MarkCommitted(psScratch, b);
        }
    }
    FreeCommand();
    // Hosts use the new layout alone from here; the record stays until the
    // image saying so is on the drives.
    s.fInProgress = FALSE;
    s.bState = EXPANSION_COMMIT_WAIT;
    SetConfigApplyOption(TRUE);
    (void)ApplyStoredSettings(TRUE, TRUE);
    RestripeQueuedWrites(s.bRank);
    PostEvent(EVENT_EXPANSION_COMPLETE, s.bRank);
}

void CommitWait() {
    if (fIsConfigUpdatePending() == TRUE || fIsConfigCommitInProgress() == TRUE) return;
    ClearExpansionNvRecord();
    s.bState = EXPANSION_IDLE;
    SendProgress(EXPANSION_MESSAGE_COMPLETE);
    RequestEnclosureStatusUpdate(TRUE);
}

// A stop asked for while nothing is out ends the expansion at once.
bool StoppedNow() {
    if (s.fStopRequest != TRUE) return false;
    s.fStopRequest = FALSE;
    s.bState = EXPANSION_IDLE;
    ClearExpansionNvRecord();
    return true;
}

bool MayRun() {
    if (fGetSASTimedHoldFlag() == TRUE || fIsSASOCFailbackInProgress() == TRUE || fIsSASFailbackInProgress() == TRUE) {
        return false;
    }
    const uint8_t bPower = bGetArrayAPMState(s.bRank);
    if (bPower == APM_SPUN_DOWN) {
        (void)bSpinArrayUpDown(TRUE, s.bRank);
        return false;
    }
    return true;
}

}  // namespace

void StartExpansion(uint8_t bRank, uint8_t fResume) {
    if (fResume == TRUE) {
        const uint8_t* pb = pGetNvramExpansionRecord();
        const uint8_t bRecorded = pb[0];
        s.lWrite = lPositionOf(pb);
        if (bRecorded != bRank || !ImageNamesExpansion(bRank) || !LoadGeometry(bRank) || s.lWrite > s.lEnd ||
            s.lWrite % s.sNew.dStripe != 0) {
            // Nothing moves on a guessed boundary: the rank's commands wait
            // until the configuration changes.
            s.bRank = bRank;
            s.bState = EXPANSION_HELD;
            s.fInProgress = TRUE;
            PostEvent(EVENT_EXPANSION_RECORD_INVALID, bRank, bRecorded);
            return;
        }
        s.bRank = bRank;
    } else {
        s.lWrite = 0;
        s.lRead = 0;
        s.bRank = bRank;
    }
    if (!ImageNamesExpansion(bRank) || !LoadGeometry(bRank)) return;
    DeriveReadPosition();
    WriteCopy(true, bRank, s.lWrite);
    WriteCopy(false, bRank, s.lWrite);
    SetNvramExpansionSelector(TRUE);
    s.bState = EXPANSION_START;
    s.fSuspendRequest = FALSE;
    s.fStopRequest = FALSE;
    s.fCheckSave = fResume == TRUE ? TRUE : FALSE;
    s.fRestoring = FALSE;
    s.fResume = fResume == TRUE ? TRUE : FALSE;
    s.fInProgress = TRUE;
    SetNvramExpansionFlag(TRUE);
    RestripeQueuedWrites(bRank);
    PostEvent(fResume == TRUE ? EVENT_EXPANSION_RESTARTED : EVENT_EXPANSION_STARTED, bRank);
}

void ExpansionTask() {
    if (s.bState == EXPANSION_COMMIT_WAIT) {
        CommitWait();
        return;
    }
    if (s.fInProgress != TRUE) return;
    if (!MayRun()) return;
    switch (s.bState) {
    case EXPANSION_START: {
        if (fIsMasterController() != TRUE) return;
        SendProgress(EXPANSION_MESSAGE_PROGRESS);
        if (s.psCommand == nullptr) {
            if (bAllocateCommand() != STATUS_OK) return;
            s_fReissue = FALSE;
            s_fBack = FALSE;
        }
        if (s.lWrite >= s.lEnd) {
            // Cut between the last row and the commit reaching the drives.
            s.bState = EXPANSION_COMMIT;
        } else if (s.lWrite >= s.sOld.lCapacity) {
            s.bState = EXPANSION_ZERO;
            s.psCommand->bSecondaryState = EXPANSION_PHASE_ZERO_FILL;
        } else {
            s.bState = EXPANSION_COPY;
            s.psCommand->bSecondaryState = EXPANSION_PHASE_READY;
        }
        return;
    }
    case EXPANSION_COPY:
    case EXPANSION_ZERO:
        // The partner's messages go first, so that it follows the rows in
        // the order they are written.
        if (fIsDriveFirmwareDownloadInProgress() == TRUE || fGetPartnerWork() == TRUE) return;
        CopyStep();
        return;
    case EXPANSION_COMMIT: Commit(); return;
    case EXPANSION_STOP:
        FreeCommand();
        s.bState = EXPANSION_IDLE;
        ClearExpansionNvRecord();
        return;
    case EXPANSION_SUSPEND:
        FreeCommand();
        s.dSuspendTick = dGetCoarseTick();
        s.bState = EXPANSION_SUSPENDED;
        return;
    case EXPANSION_SUSPENDED:
        if (StoppedNow()) return;
        if (fIsMasterController() != TRUE || dGetCoarseTick() - s.dSuspendTick > EXPANSION_SUSPEND_TICKS) {
            // From the recorded W: a row cut short is read again, from the
            // save area where it has one.
            s.fCheckSave = TRUE;
            s.bState = EXPANSION_START;
        }
        return;
    case EXPANSION_HELD: (void)StoppedNow(); return;
    default: return;
    }
}

uint8_t fIsExpansionTaskDue() {
    return ToFlag(s.fInProgress == TRUE || s.bState == EXPANSION_COMMIT_WAIT);
}

void ExpansionTransferDone(KERNEL_ENTRY* psCommand) {
    if (psCommand != s.psCommand || psCommand == nullptr) return;
    s_fBack = TRUE;
    s.fFailed = ToFlag(HasFlag(psCommand, KE_FLAG_CHILD_FAILED | KE_FLAG_ABORTED | KE_FLAG_REGENERATE));
    psCommand->bSecondaryState = psCommand->bSecondaryState == EXPANSION_PHASE_WRITE_ISSUED
                                     ? EXPANSION_PHASE_WRITE_DONE
                                     : EXPANSION_PHASE_READ_DONE;
}

uint8_t bCheckExpansionWindow(uint64_t lAddress, KERNEL_ENTRY*, uint16_t wBlocks) {
    if (fGetStoredOptionBC() != TRUE || s.bState == EXPANSION_HELD) return EXPANSION_WINDOW_WAIT;
    const uint64_t S = s.sNew.dStripe;
    const uint64_t U = s.lWrite + 8 * S;
    uint64_t L = s.lWrite;
    for (uint32_t i = 0; i < 32 && L >= S; ++i) L -= S;
    if (lAddress >= U) return TRUE;
    const uint64_t lLast = lAddress + (wBlocks == 0 ? 0 : wBlocks - 1u);
    if (L > lLast) return FALSE;
    return EXPANSION_WINDOW_BUSY;
}

void LeaveOldLayout(KERNEL_ENTRY* psCommand) {
    if (!HasFlag(psCommand, KE_FLAG_OLD_LAYOUT)) return;
    ClearFlag(psCommand, KE_FLAG_OLD_LAYOUT);
    // The expansion's record of its array, kept past the commit and
    // renumbered with the array, is the rank the command was routed from.
    psCommand->bRank = s.bRank;
}

uint8_t fIsExpansionSaveAddress(uint64_t lAddress) {
    return ToFlag(s.fInProgress == TRUE && s.sNew.dStripe != 0 && lAddress >= s.lEnd);
}

uint8_t fIsExpansionInProgress() { return ToFlag(s.fInProgress == TRUE); }
uint8_t fIsExpansionCommitWaiting() { return ToFlag(s.bState == EXPANSION_COMMIT_WAIT); }

void StopExpansionMissingFrom(const CONFIG_IMAGE* psImage) {
    if (s.fInProgress != TRUE || s.bState == EXPANSION_COMMIT || psImage == nullptr) return;
    if (psImage->sHeader.fExpansionActive != TRUE) s.fStopRequest = TRUE;
}
uint8_t bGetExpansionRank() { return s.fInProgress == TRUE ? s.bRank : NO_RANK; }
void SetExpansionRank(uint8_t bRank) {
    // A deletion below the expanding array renumbered it: the record
    // follows, or the next resume would find it naming another array.
    const bool fRenumbered = s.fInProgress == TRUE && s.bRank != bRank && bGetNvramExpansionFlag() == TRUE;
    s.bRank = bRank;
    if (fRenumbered) StorePosition();
}

uint8_t bGetExpansionPercent() {
    if (s.lEnd == 0) return 0;
    const uint64_t l = s.lWrite * 100 / s.lEnd;
    return static_cast<uint8_t>(l > 100 ? 100 : l);
}

void SetExpansionFlag3(uint8_t f) { s.fSuspendRequest = f; }
void SetExpansionFlag4(uint8_t f) { s.fStopRequest = f; }

void ClearExpansionNvRecord() {
    WriteCopy(true, NO_RANK, 0);
    WriteCopy(false, NO_RANK, 0);
    s.fInProgress = FALSE;
    SetNvramExpansionFlag(FALSE);
}

void CopyExpansionNvRecord(uint8_t* pbTo) { std::memcpy(pbTo, pGetNvramExpansionRecord(), NV_COPY_BYTES); }

const EXPANSION_STATE* psGetExpansionState() { return &s; }

uint8_t HandleExpansionMessage(const uint8_t* pbMessage) {
    const uint8_t bCode = pbMessage[0];
    if (bCode == EXPANSION_MESSAGE_COMPLETE) {
        ClearExpansionNvRecord();
        s.bState = EXPANSION_IDLE;
        return STATUS_OK;
    }
    if (bCode != EXPANSION_MESSAGE_PROGRESS) return 0;
    const uint8_t fFlag = pbMessage[1];
    const uint8_t bSelector = pbMessage[2];
    const uint8_t bRank = pbMessage[3];
    uint64_t lWrite = 0;
    for (uint32_t i = 0; i < 8; ++i) lWrite |= static_cast<uint64_t>(pbMessage[4 + i]) << (8 * i);
    if (fFlag != TRUE) {
        ClearExpansionNvRecord();
        return STATUS_OK;
    }
    const uint8_t bSaved = s.bRank;
    const EXPANSION_GEOMETRY sOld = s.sOld, sNew = s.sNew;
    const uint64_t lEnd = s.lEnd;
    if (bRank >= bGetRankCount() || !ImageNamesExpansion(bRank) || !LoadGeometry(bRank) || lWrite > s.lEnd ||
        lWrite % s.sNew.dStripe != 0) {
        s.bRank = bSaved;
        s.sOld = sOld;
        s.sNew = sNew;
        s.lEnd = lEnd;
        ConsolePrintf("Expansion message %d ignored: R:%02x\n", bCode, bRank);
        return 0;
    }
    const bool fCopy1 = bSelector == TRUE;
    WriteCopy(fCopy1, bRank, lWrite);
    SetNvramExpansionSelector(fCopy1 ? TRUE : FALSE);
    SetNvramExpansionFlag(TRUE);
    s.bRank = bRank;
    s.lWrite = lWrite;
    DeriveReadPosition();
    s.fInProgress = TRUE;
    if (s.bState == EXPANSION_IDLE) s.bState = EXPANSION_SUSPENDED;
    return STATUS_OK;
}

uint8_t fGetStoredOptionBC() { return s_fHostIoAllowed; }
void SetStoredOptionBC(uint8_t f) { s_fHostIoAllowed = f; }

void ShowRankExpansionInfo() {
    ConsolePrintf("Rank Expansion Info: \n");
    ConsolePrintf("In Progress:NV:%02x %02x Rank:%02x State:%02x Percent:%02d%%\n", bGetNvramExpansionFlag(),
                  s.fInProgress, s.bRank, s.bState, bGetExpansionPercent());
    ConsolePrintf("Write:%08x%08x Read:%08x%08x End:%08x%08x\n", static_cast<unsigned>(s.lWrite >> 32),
                  static_cast<unsigned>(s.lWrite), static_cast<unsigned>(s.lRead >> 32),
                  static_cast<unsigned>(s.lRead), static_cast<unsigned>(s.lEnd >> 32), static_cast<unsigned>(s.lEnd));
    const EXPANSION_GEOMETRY* apg[2] = {&s.sOld, &s.sNew};
    const char* apsz[2] = {"Old", "New"};
    for (uint32_t i = 0; i < 2; ++i) {
        const EXPANSION_GEOMETRY& g = *apg[i];
        ConsolePrintf("%s: RAID:%02x Drives:%02x:%02x Cap:%08x%08x Stripe:%08x Chunk:%04x\n", apsz[i], g.bRaidLevel,
                      g.bDrives, g.bDrives2, static_cast<unsigned>(g.lCapacity >> 32),
                      static_cast<unsigned>(g.lCapacity), static_cast<unsigned>(g.dStripe), g.wChunk);
    }
}

}  // namespace fw
