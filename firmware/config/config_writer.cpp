// The configuration writer, its drive chains and the builder of internal
// drive commands.
#include "config/config_writer.h"

#include <cstring>

#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/drive_tables.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "executive/background_process.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_queue.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/addresses.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"

namespace fw {

#pragma pack(push, 1)
// One per chain, in the slot page: where the copy goes and what is written.
struct CONFIG_WRITE_SLOT {
    uint32_t dLastLba;
    uint8_t bTarget;
    uint8_t fErase;   // TRUE: one zeroed block, FALSE: the whole image
    uint8_t abReserved[2];
};
#pragma pack(pop)
static_assert(sizeof(CONFIG_WRITE_SLOT) == 8);

namespace {

constexpr uint8_t DRIVE_LOOP_1 = 3;
constexpr uint8_t DRIVE_LOOP_2 = 4;
constexpr uint32_t RETRY_MS = 10;
constexpr uint16_t COMMAND_TIMEOUT = 8;
constexpr uint8_t TUR_RETRIES = 90;
constexpr uint8_t COMMAND_RETRIES = 4;
constexpr uint32_t SLOTS_PER_PAGE = BUFFER_PAGE_SIZE / sizeof(CONFIG_WRITE_SLOT);
constexpr uint32_t CAPACITY_BYTES = 8;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint8_t NO_POSITION = 0xFF;

// Steps of one drive's chain.
enum : uint8_t { CHAIN_START_UNIT, CHAIN_TEST_UNIT_READY, CHAIN_READ_CAPACITY, CHAIN_WRITE };

// The writer record: its own entry serves only its timer.
struct CONFIG_WRITER {
    KERNEL_ENTRY sTimerOwner;
    const CONFIG_IMAGE* psImage;    // the sealed image the members receive
    uint8_t bState;
    uint16_t wOutstanding;
    uint16_t wIssuing;              // bit 0: chains are still being issued
    bool fRetryArmed;               // the timer is this run's retry (a timer cannot be cancelled)
    BUFFER_HANDLE dSlotPage;        // each page NULL_BUFFER_HANDLE while not held
    BUFFER_HANDLE dZeroPage;
    uint32_t dChainsStarted;
    uint8_t bRankPosition;
    uint8_t bMemberPosition;        // or the slot position while erasing
    uint16_t wMembersNamed;
    uint16_t wCopiesWritten;
    bool fLeadOutstanding;          // the first copy is being written alone
    bool fAbandoned;                // the commit was requeued: its chains end quietly
};

// Issuing stops for want of an entry, or while the lead copy is written.
enum class Issue : uint8_t { DONE, NO_ENTRY, WAIT_FOR_LEAD };

CONFIG_WRITER s_sWriter;

CONFIG_WRITE_SLOT* psSlotAt(uint32_t dIndex) {
    return static_cast<CONFIG_WRITE_SLOT*>(pBufferHandleToPointer(s_sWriter.dSlotPage)) + dIndex;
}

// The whole image is sent from its buffer itself.
BUS_ADDRESS dImageBusAddress() { return dPciAddressOf(s_sWriter.psImage); }

// A retry left armed by a run that was abandoned meanwhile finds nothing
// to do: it must not run the next commit's writer a second time.
void WriterTimer(KERNEL_ENTRY*, TIMER_NODE*) {
    if (!s_sWriter.fRetryArmed) return;
    s_sWriter.fRetryArmed = false;
    WriteConfigToDrives();
}

void RetryWriterLater() {
    s_sWriter.fRetryArmed = true;
    InsertTimer(&s_sWriter.sTimerOwner, WriterTimer, RETRY_MS);
}

void FreeWriterPage(BUFFER_HANDLE* pdPage) {
    if (*pdPage == NULL_BUFFER_HANDLE) return;
    (void)wFreeDataPages(*pdPage, 1);
    *pdPage = NULL_BUFFER_HANDLE;
}

// Every chain has ended and nothing more is to be issued: the pages go
// back and the commit goes on at step 11.
void FinishWriterIfDone() {
    if ((s_sWriter.wIssuing & 1) != 0 || s_sWriter.wOutstanding != 0) return;
    FreeWriterPage(&s_sWriter.dSlotPage);
    FreeWriterPage(&s_sWriter.dZeroPage);
    if (s_sWriter.fAbandoned) {
        s_sWriter.fAbandoned = false;
        return;
    }
    SetConfigPhaseStep(COMMIT_STEP_WRITTEN);
    RequestStartOfDayService();
}

void IssueChainStep(KERNEL_ENTRY* psEntry);

void ChainRetryTimer(KERNEL_ENTRY* psEntry, TIMER_NODE*) { IssueChainStep(psEntry); }

void EndChain(KERNEL_ENTRY* psEntry) {
    CONFIG_COMMAND_FIELDS* psFields = psConfigFields(psEntry);
    if (psFields->dCapacityPage != NULL_BUFFER_HANDLE) (void)wFreeDataPages(psFields->dCapacityPage, 1);
    FreeKernelEntries(psEntry);
    if (s_sWriter.wOutstanding != 0) --s_sWriter.wOutstanding;
    // The lead chain was the only one out: issuing goes on (with the next
    // member as the lead when this one took no copy).
    if (s_sWriter.fLeadOutstanding) {
        s_sWriter.fLeadOutstanding = false;
        if (!s_sWriter.fAbandoned) {
            WriteConfigToDrives();
            return;
        }
    }
    FinishWriterIfDone();
}

// Power management learns that the writer started the drive, and a drive
// verify of its own spin-down pass is not needed any more.
void TellPowerManagement(uint8_t bTarget) {
    uint8_t bEnclosure = 0;
    uint8_t bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) != STATUS_OK) return;
    if (fIsMasterController() == TRUE && bGetDriveAPMState(bEnclosure, bSlot) != DRIVE_APM_SPUN_UP) {
        (void)bMarkDriveSpunUp(bEnclosure, bSlot);
    }
    if (fIsBackgroundProcessTypeActive(APM_L1_JOB_TYPE) == TRUE && fIsAPMDriveVerifyRunning() == TRUE &&
        bGetBackgroundProcessAction(APM_L1_JOB_TYPE) == APM_L1_SPIN_DOWN) {
        DeleteBackgroundProcessesOfType(APM_L1_JOB_TYPE);
    }
}

void ChainStepDone(KERNEL_ENTRY* psEntry);

// Builds and queues the chain's current step; when no page, completion
// node or ring slot is free it tries again in 10 ms.
void IssueChainStep(KERNEL_ENTRY* psEntry) {
    CONFIG_COMMAND_FIELDS* psFields = psConfigFields(psEntry);
    const CONFIG_WRITE_SLOT* psSlot = psFields->psSlot;
    uint8_t abCdb[10] = {};
    uint16_t wFlags = DRIVE_COMMAND_NO_DATA;
    uint32_t dLength = 0;
    BUS_ADDRESS dAddress{0};
    uint8_t bType = 0;
    switch (psFields->bChainStep) {
    case CHAIN_START_UNIT:
        abCdb[0] = SCSI_START_STOP_UNIT;
        abCdb[1] = 1;   // immediate
        abCdb[4] = 1;   // start
        bType = DRIVE_COMMAND_TYPE_START_UNIT;
        TellPowerManagement(psSlot->bTarget);
        break;
    case CHAIN_TEST_UNIT_READY:
        abCdb[0] = SCSI_TEST_UNIT_READY;
        bType = DRIVE_COMMAND_TYPE_TEST_UNIT_READY;
        break;
    case CHAIN_READ_CAPACITY:
        if (psFields->dCapacityPage == NULL_BUFFER_HANDLE) {
            BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
            if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) {
                InsertTimer(psEntry, ChainRetryTimer, RETRY_MS);
                return;
            }
            psFields->dCapacityPage = dPage;
        }
        abCdb[0] = SCSI_READ_CAPACITY10;
        wFlags = DRIVE_COMMAND_DATA_IN;
        dLength = CAPACITY_BYTES;
        dAddress = dBufferHandleToPciAddress(psFields->dCapacityPage);
        bType = DRIVE_COMMAND_TYPE_READ_CAPACITY;
        break;
    default: {
        abCdb[0] = SCSI_WRITE10;
        PutBe32(abCdb + 2, psSlot->dLastLba - CONFIG_COPY_OFFSET_FROM_END);
        const bool fErase = psSlot->fErase == TRUE;
        PutBe16(abCdb + 7, static_cast<uint16_t>(fErase ? 1 : CONFIG_IMAGE_BLOCKS));
        wFlags = DRIVE_COMMAND_DATA_OUT;
        dLength = fErase ? BLOCK_BYTES : CONFIG_IMAGE_SIZE;
        dAddress = fErase ? dBufferHandleToPciAddress(s_sWriter.dZeroPage) : dImageBusAddress();
        bType = DRIVE_COMMAND_TYPE_WRITE;
        break;
    }
    }
    BuildDriveCommand(psEntry, PORT_CODE_INITIATOR, psSlot->bTarget, COMMAND_TIMEOUT, wFlags, dLength,
                      dLength != 0 ? 1 : 0, static_cast<uint32_t>(dAddress), abCdb, bType);
    if (bQueuePhaseDriveCommand(psEntry, ChainStepDone, TRUE) != STATUS_OK) {
        // A test unit ready that cannot be queued restarts the chain.
        if (psFields->bChainStep == CHAIN_TEST_UNIT_READY) psFields->bChainStep = CHAIN_START_UNIT;
        InsertTimer(psEntry, ChainRetryTimer, RETRY_MS);
    }
}

void ChainStepDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, ChainStepDone) == TRUE) return;
    CONFIG_COMMAND_FIELDS* psFields = psConfigFields(psEntry);
    CONFIG_WRITE_SLOT* psSlot = psFields->psSlot;
    if (fPhaseDriveCommandGood(psEntry) != TRUE) {
        EndChain(psEntry);
        return;
    }
    switch (psFields->bChainStep) {
    case CHAIN_START_UNIT:
    case CHAIN_TEST_UNIT_READY:
        ++psFields->bChainStep;
        IssueChainStep(psEntry);
        return;
    case CHAIN_READ_CAPACITY: {
        const uint8_t* pbData = static_cast<const uint8_t*>(pBufferHandleToPointer(psFields->dCapacityPage));
        const uint32_t dLastLba = dGetBe32(pbData);
        // All four bytes of the block length: the loader reads them so.
        // A drive too small to hold a copy before its end gets none.
        const bool fUsable = dGetBe32(pbData + 4) == BLOCK_BYTES && dLastLba >= CONFIG_COPY_OFFSET_FROM_END;
        (void)wFreeDataPages(psFields->dCapacityPage, 1);
        psFields->dCapacityPage = NULL_BUFFER_HANDLE;
        if (!fUsable) {
            EndChain(psEntry);
            return;
        }
        psSlot->dLastLba = dLastLba;
        psFields->bChainStep = CHAIN_WRITE;
        IssueChainStep(psEntry);
        return;
    }
    default:
        // Only a drive that really holds the zeroed block is remembered as
        // erased; a failed erase is tried again at the next commit.
        if (psSlot->fErase == TRUE) {
            AddErasedCopy(psSlot->bTarget);
        } else {
            ++s_sWriter.wCopiesWritten;
        }
        EndChain(psEntry);
        return;
    }
}

// Starts one drive's chain; false when no entry was free (the writer
// retries from the same position in 10 ms).
bool StartChain(uint8_t bTarget, uint8_t fErase) {
    if (s_sWriter.dChainsStarted >= SLOTS_PER_PAGE) return true;   // no slot left: the drive is passed over
    KERNEL_ENTRY* psEntry = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &psEntry) != STATUS_OK) return false;
    CONFIG_WRITE_SLOT* psSlot = psSlotAt(s_sWriter.dChainsStarted++);
    psSlot->dLastLba = 0;
    psSlot->bTarget = bTarget;
    psSlot->fErase = fErase;
    ++s_sWriter.wOutstanding;
    CONFIG_COMMAND_FIELDS* psFields = psConfigFields(psEntry);
    std::memset(psFields, 0, sizeof *psFields);
    psFields->psSlot = psSlot;
    psFields->bChainStep = CHAIN_START_UNIT;
    IssueChainStep(psEntry);
    return true;
}

// State 2: the in-service members of every array, from the saved position.
// The first copy is written alone: until one drive holds the new image
// complete, every other drive keeps the old one, so that a power cut while
// the copies are written leaves a valid copy to load.  The other members
// are then written side by side.
Issue IssueMemberChains() {
    const CONFIG_IMAGE* psImage = s_sWriter.psImage;
    DRIVE_ADDRESS_LIST* psList = pGetDriveAddressList();
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = s_sWriter.bRankPosition; r < dRanks; ++r, s_sWriter.bMemberPosition = 0) {
        const CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        const uint32_t dMembers = dClampedDriveCount(&sRank);
        for (uint32_t m = s_sWriter.bMemberPosition; m < dMembers; ++m) {
            s_sWriter.bRankPosition = static_cast<uint8_t>(r);
            s_sWriter.bMemberPosition = static_cast<uint8_t>(m);
            // (A failed array's member whose drive was found not to hold its
            // data keeps its state, and its drive its place in the
            // failed-drive list: the copy would make that drive a member.)
            if (sRank.abMemberState[m] != 0) continue;
            if (fIsWwnInFailedDriveList(sRank.aabMemberWwn[m], psImage) == TRUE) continue;
            uint8_t bTarget = NO_POSITION;
            if (pFindSASAddressInList(psList, sRank.aabMemberWwn[m], &bTarget, TRUE) == nullptr) {
                if (fIsNonZeroWwn(sRank.aabMemberWwn[m]) == TRUE) ++s_sWriter.wMembersNamed;
                continue;
            }
            const bool fLead = s_sWriter.wCopiesWritten == 0;
            if (!StartChain(bTarget, FALSE)) return Issue::NO_ENTRY;
            ++s_sWriter.wMembersNamed;
            if (fLead) {
                s_sWriter.fLeadOutstanding = true;
                s_sWriter.bMemberPosition = static_cast<uint8_t>(m + 1);
                return Issue::WAIT_FOR_LEAD;
            }
        }
    }
    s_sWriter.bRankPosition = NO_POSITION;
    return Issue::DONE;
}

// State 4: drives of the rebuilt slot table that hold no erased copy yet.
bool IssueEraseChains() {
    const DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
    for (uint32_t s = s_sWriter.bMemberPosition; s < psSlots->bCount && s < DRIVE_SLOTS; ++s) {
        s_sWriter.bMemberPosition = static_cast<uint8_t>(s);
        const uint8_t bTarget = psSlots->abDrive[s];
        if (bTarget == NO_POSITION || fIsErasedCopy(bTarget) == TRUE) continue;
        if (!StartChain(bTarget, TRUE)) return false;
    }
    return true;
}

}  // namespace

void BuildDriveCommand(KERNEL_ENTRY* psEntry, uint8_t bPath, uint8_t bTarget, uint16_t wTimeout,
                       uint16_t wControlFlags, uint32_t dLength, uint16_t wSegments, uint32_t dAddress,
                       const uint8_t* pbCdb, uint8_t bCommandType) {
    psEntry->wTargetId = bPath == DRIVE_LOOP_1 || bPath == DRIVE_LOOP_2 ? bAlpaToLoopId(bTarget)
                         : bPath == PORT_CODE_INITIATOR                 ? bTarget
                                                                        : 0;
    psEntry->bEntryType = ENTRY_TYPE_COMMAND;
    psEntry->bCount = 1;
    psEntry->bMark = 255;
    psEntry->bStatus = 0;
    psEntry->dHandle = dAddressWord(psEntry);
    psEntry->wHead10 = 0;
    psEntry->wControlFlags = wControlFlags;
    psEntry->wTimeout = wTimeout;
    std::memset(psEntry->abCdb, 0, sizeof psEntry->abCdb);
    std::memcpy(psEntry->abCdb, pbCdb, 10);
    psEntry->dTotalByteCount = dLength;
    psEntry->wSegmentCount = wSegments;
    std::memset(psEntry->asSegment, 0, sizeof psEntry->asSegment);
    if (wSegments > 0) psEntry->asSegment[0] = {dAddress, dLength};
    psEntry->bPrimaryState = PS_NEW_COMMAND;
    psEntry->bSecondaryState = 0;
    psEntry->bPortCode = bPath;
    psEntry->bCommandType = bCommandType;
    psEntry->fValid = TRUE;
    psEntry->bRank = bGetPhaseParam3();
    psEntry->bMember = bGetPhaseParam4();
    psEntry->lFlags = 0;
    psEntry->bRetryCount = bCommandType == DRIVE_COMMAND_TYPE_TEST_UNIT_READY ? TUR_RETRIES : COMMAND_RETRIES;
    psEntry->psMother = psEntry;
    psEntry->bSegmentIndex = 0;
    psEntry->bSegmentCount = 0;
    psEntry->bSecondRank = 0;
    psEntry->wDeviceHandle = 0;
}

void StartConfigWriter(const CONFIG_IMAGE* psImage) {
    s_sWriter.psImage = psImage;
    s_sWriter.bState = WRITER_TAKE_SLOT_PAGE;
    s_sWriter.fRetryArmed = false;
    WriteConfigToDrives();
}

void WriteConfigToDrives() {
    CONFIG_WRITER& w = s_sWriter;
    switch (w.bState) {
    case WRITER_TAKE_SLOT_PAGE:
        // The chains of an abandoned run still use the pages and counters.
        if (w.fAbandoned) {
            RetryWriterLater();
            return;
        }
        if (bAllocDataPages(0, 1, &w.dSlotPage) != STATUS_OK) {
            w.dSlotPage = NULL_BUFFER_HANDLE;
            RetryWriterLater();
            return;
        }
        w.bRankPosition = 0;
        w.bMemberPosition = 0;
        w.dChainsStarted = 0;
        w.wOutstanding = 0;
        w.wIssuing = 1;
        w.wMembersNamed = 0;
        w.wCopiesWritten = 0;
        w.fLeadOutstanding = false;
        w.bState = WRITER_TAKE_ZERO_PAGE;
        [[fallthrough]];
    case WRITER_TAKE_ZERO_PAGE:
        if (bAllocDataPages(0, 1, &w.dZeroPage) != STATUS_OK) {
            w.dZeroPage = NULL_BUFFER_HANDLE;
            RetryWriterLater();
            return;
        }
        std::memset(pBufferHandleToPointer(w.dZeroPage), 0, BLOCK_BYTES);
        w.bState = WRITER_ISSUE_MEMBERS;
        [[fallthrough]];
    case WRITER_ISSUE_MEMBERS:
        switch (IssueMemberChains()) {
        case Issue::NO_ENTRY: RetryWriterLater(); return;
        case Issue::WAIT_FOR_LEAD: return;   // its end issues the rest
        case Issue::DONE: break;
        }
        w.bState = WRITER_PREPARE_ERASE;
        [[fallthrough]];
    case WRITER_PREPARE_ERASE:
        if (fGetClearStaleCopiesFlag() == TRUE) {
            // The members written above are marked used and stay out.
            BuildDriveSlotTableSas(pGetDriveAddressList(), FALSE);
            PruneErasedCopyList();
            w.bMemberPosition = 0;
            // An old copy is erased only once a new one holds: when the
            // image names members and none took the copy, the old copies
            // are all the next start of day has.
            if (w.wMembersNamed == 0 || w.wCopiesWritten != 0) w.bState = WRITER_ISSUE_ERASES;
        }
        break;
    case WRITER_ISSUE_ERASES:
        break;
    default:
        return;   // stopped: an abandoned run's timer finds nothing to do
    }
    if (w.bState == WRITER_ISSUE_ERASES && !IssueEraseChains()) {
        RetryWriterLater();
        return;
    }
    w.wIssuing &= static_cast<uint16_t>(~1u);
    FinishWriterIfDone();
}

void AbandonConfigWriter() {
    CONFIG_WRITER& w = s_sWriter;
    w.fRetryArmed = false;
    w.fLeadOutstanding = false;
    w.wIssuing &= static_cast<uint16_t>(~1u);
    w.bState = WRITER_STOPPED;
    if (w.wOutstanding != 0) {
        // Chains still out use the pages: the last to end frees them.
        w.fAbandoned = true;
        return;
    }
    FreeWriterPage(&w.dSlotPage);
    FreeWriterPage(&w.dZeroPage);
}

uint8_t bGetConfigWriterState() { return s_sWriter.bState; }
uint16_t wGetConfigWriterOutstanding() { return s_sWriter.wOutstanding; }
uint16_t wGetConfigMembersNamed() { return s_sWriter.wMembersNamed; }
uint16_t wGetConfigCopiesWritten() { return s_sWriter.wCopiesWritten; }

}  // namespace fw
