// The drive firmware download: a phase of the configuration phase machine
// that sends the file in the download image buffer to one drive or walks
// every drive, one command per step.  Each drive is started, identified and
// checked against the file, sent the image with WRITE BUFFER, and keeps a
// copy of the file near its end so that the file can be loaded back later.
//
// Every command's result is checked: a drive that refused a segment runs
// its old firmware, and the operator must hear that the download failed
// rather than that it succeeded.
#include "enclosure/drive_firmware_download.h"

#include <algorithm>
#include <cstring>

#include "config/config_db.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/drive_walk.h"
#include "console/console_menu.h"
#include "console/drive_firmware_menus.h"
#include "enclosure/drive_commands.h"
#include "enclosure/drive_firmware.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_records.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

// Steps of the phase.
enum : uint8_t {
    STEP_START = 0,
    STEP_PAUSE_IO = 1,
    STEP_CHECK_DRIVE = 2,
    STEP_TEST_READY = 3,
    STEP_INQUIRY = 4,
    STEP_DECIDE = 5,
    STEP_WRITE_BUFFER = 6,
    STEP_READY_AFTER = 7,
    STEP_SENSE_CURRENT = 8,
    STEP_SENSE_DEFAULT = 9,
    STEP_SENSE_CHANGEABLE = 10,
    STEP_SELECT_PAGES = 11,
    STEP_CAPACITY = 12,
    STEP_STORE_COPY = 13,
    STEP_DRIVE_DONE = 14,
    STEP_SLOT_OFF = 16,
    STEP_SLOT_ON = 17,
    STEP_SLOT_OFF_WAIT = 18,
    STEP_SLOT_ON_WAIT = 19,
    STEP_RESET_WAIT = 20,
    STEP_END = 21,
    STEP_COMMAND_OUT = 30,   // a command is out; its completion sets the next step
    STEP_FAILED = 31,
};

constexpr uint8_t NOT_A_MEMBER = 245;
constexpr uint8_t NO_SECOND_RANK = 255;
constexpr uint32_t WALK_BOUND = 512;
constexpr uint16_t SHORT_TIMEOUT = 8;
constexpr uint16_t DOWNLOAD_TIMEOUT = 200;
constexpr uint16_t COPY_TIMEOUT = 60;
constexpr uint8_t INQUIRY_BYTES = 48;
constexpr uint8_t MODE_SENSE_BYTES = 255;
constexpr uint32_t PAUSE_TICKS = 10;
constexpr uint32_t COARSE_TICK_MS = 500;
constexpr uint32_t SLOT_POWER_TICKS = 30;
constexpr uint32_t RESET_SETTLE_TICKS = 120;
constexpr uint8_t SLOT_CONTROL_TRIES = 4;
constexpr uint8_t SLOT_POWER_ON = 1;
constexpr uint8_t SLOT_POWER_OFF = 2;
constexpr uint8_t SLOT_REQUEST = 2;
constexpr uint8_t SLOT_DURATION = 5;
constexpr uint8_t TASK_TARGET_RESET = 3;
constexpr uint8_t EVENT_DOWNLOAD_START = 102;
constexpr uint8_t EVENT_DOWNLOAD_DONE = 103;
constexpr uint32_t BLOCK_BYTES = 512;
// The copy lies this many blocks before the drive's last block.
constexpr uint32_t COPY_BLOCKS_FROM_END = DRIVE_FIRMWARE_COPY_BLOCKS_BEFORE_END;
constexpr uint8_t PRODUCT_MATCH_BYTES = 16;
constexpr uint8_t DETAIL_LEVEL = 3;
constexpr uint8_t PARTNER_MESSAGE_DRIVE_DOWNLOAD = 153;
// The download image buffer: 4 MB of data pages, taken once and kept.
constexpr uint16_t IMAGE_BUFFER_PAGES = 1024;
constexpr uint16_t READ_TIMEOUT = 60;

// What a management request (code 198) chose; the console sets the flags
// itself.
enum : uint8_t {
    SELECT_ONE_DRIVE = 0,
    SELECT_ALL_DRIVES = 1,
    SELECT_UNUSED_DRIVES = 2,
    SELECT_ALL_DIFFERENT = 3,
    SELECT_UNUSED_DIFFERENT = 4,
};

// Steps of the read of a stored copy.
enum : uint8_t {
    READ_FIND_DRIVE = 0,
    READ_COPY = 1,
    READ_CHECK = 2,
    READ_COMMAND_OUT = 3,
    READ_FAILED = 4,
    READ_NEXT_DRIVE = 5,
};

// The reply page: INQUIRY, READ CAPACITY and the three mode sense replies.
constexpr uint32_t REPLY_CURRENT = 0;
constexpr uint32_t REPLY_DEFAULT = MODE_PAGE_BUFFER_BYTES;
constexpr uint32_t REPLY_CHANGEABLE = 2 * MODE_PAGE_BUFFER_BYTES;

struct DOWNLOAD_STATE {
    uint32_t dRegionOffset;
    uint8_t bRegion;
    uint8_t fDownloadedThisDrive;
    uint8_t fDownloadedAny;
    uint8_t bRetry;
    uint32_t dPauseTick;
    uint32_t dDotTick;
    uint32_t dSlotTick;
    uint8_t abDrive[4];       // path, loop ID, rank, fourth parameter
    uint8_t bNextStep;        // after the command that is out
    uint8_t fCommandGood;
    BUFFER_HANDLE dReplies;
    char acVendor[8];
    char acProduct[16];
    char acRevision[8];
    char acSerial[8];
};

DOWNLOAD_STATE s_sDownload = {0, 0, FALSE, FALSE, 0, 0, 0, 0, {0xFF, 0xFF, 0xFF, 0xFF}, 0, FALSE,
                              NULL_BUFFER_HANDLE, {}, {}, {}, {}};

uint8_t s_fSelectAll = FALSE;
uint8_t s_fSelectUnused = FALSE;
uint8_t s_fRegionMode = FALSE;
uint8_t s_fForce = FALSE;
uint8_t s_fInProgress = FALSE;
uint8_t s_fPartnerSync = FALSE;
uint8_t s_fAbort = FALSE;
uint8_t s_fSlotPowerCycled = FALSE;
uint8_t s_fRescanAfterDownload = FALSE;

DOWNLOAD_STATE& D() { return s_sDownload; }
const uint8_t* pbFile() { return pGetDownloadImageBuffer(); }

DRIVE_FIRMWARE_FILE_HEADER Header() {
    DRIVE_FIRMWARE_FILE_HEADER s;
    std::memcpy(&s, pbFile(), sizeof s);
    return s;
}

bool IsKind2() { return s_fRegionMode == TRUE && Header().bFileKind == DRIVE_FIRMWARE_KIND_SAS_LIST; }

uint32_t dFileLength() { return s_fRegionMode == TRUE ? Header().dTotalLength : dGetDownloadImageLength(); }

bool Talks() { return bGetConfigRequester() == REQUESTER_CONSOLE || bGetDiagnosticsModeLevel() >= DETAIL_LEVEL; }

void Say(const char* psz) {
    if (Talks()) ConsolePrintText(psz);
}

void SayChars(const char* pc, uint32_t dCount) {
    if (!Talks()) return;
    for (uint32_t i = 0; i < dCount; ++i) ConsolePrintf("%c", pc[i]);
}

uint8_t* pbReplies() { return static_cast<uint8_t*>(pBufferHandleToPointer(D().dReplies)); }

DRIVE_INFO* psDrive() {
    DRIVE_INFO* ps = nullptr;
    return fFindDriveByLoopID(0, D().abDrive[1], &ps, nullptr) == TRUE ? ps : nullptr;
}

void TakeDriveParams() {
    D().abDrive[0] = bGetPhaseParam1();
    D().abDrive[1] = bGetPhaseParam2();
    D().abDrive[2] = bGetPhaseParam3();
    D().abDrive[3] = bGetPhaseParam4();
}

// The partner holds its own I/O to the drive while it hears a download runs.
void TellPartner() {
    if (fIsDualControllerActive() != TRUE) return;
    uint8_t abArguments[PARTNER_MESSAGE_ARGUMENT_BYTES] = {s_fInProgress};
    std::memcpy(abArguments + 1, D().abDrive, sizeof D().abDrive);
    (void)bSendConfigRecordMessage(PARTNER_MESSAGE_DRIVE_DOWNLOAD, abArguments);
}

void SetInProgress(uint8_t f) {
    const bool fChanged = s_fInProgress != f;
    s_fInProgress = f;
    if (fChanged) TellPartner();
}

void Wake(KERNEL_ENTRY* psEntry, TIMER_NODE*) {
    FreeKernelEntries(psEntry);
    RequestConfigurationService();
}

// The waits of the phase look again a coarse tick later rather than at
// every pass of the main loop; without an entry to carry the timer they
// look at the next pass.
void LookAgainLater() {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &psEntry) == STATUS_OK && psEntry != nullptr) {
        InsertTimer(psEntry, Wake, COARSE_TICK_MS);
    } else {
        RequestConfigurationService();
    }
}

void EndPhase(uint8_t bResult) {
    SetInProgress(FALSE);
    if (D().dReplies != NULL_BUFFER_HANDLE) (void)wFreeDataPages(D().dReplies, 1);
    D().dReplies = NULL_BUFFER_HANDLE;
    SetConfigWriteWaitFlag(FALSE);
    EndConfigPhase();
    if (bGetConfigRequester() == REQUESTER_CONSOLE) DriveFirmwareDownloadDone(bResult);
}

void CommandDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, CommandDone) == TRUE) return;
    D().fCommandGood = fPhaseDriveCommandGood(psEntry);
    SetDriveCommandPendingFlag(TRUE);
    EndPhaseDriveCommand(psEntry);
}

// Sends one command to the drive at the path and target; the phase waits
// in bOutStep for it and then goes to bNext (or fails).  255 sent, 16 to be
// tried again.
uint8_t bSendTo(uint8_t bPath, uint8_t bTarget, const uint8_t* pbCdb, uint16_t wControl, uint32_t dLength,
                BUS_ADDRESS dBusAddress, uint16_t wTimeout, uint8_t bOutStep, uint8_t bNext) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bAllocKernelEntries(bPath, 1, &psEntry) != STATUS_OK || psEntry == nullptr) return PHASE_RUN_AGAIN;
    const uint8_t bType = pbCdb[0] == SCSI_TEST_UNIT_READY ? DRIVE_COMMAND_TYPE_TEST_UNIT_READY
                          : pbCdb[0] == SCSI_READ10        ? DRIVE_COMMAND_TYPE_READ
                                                           : DRIVE_COMMAND_TYPE_WRITE;
    BuildDriveCommand(psEntry, bPath, bTarget, wTimeout, wControl, dLength, dLength != 0 ? 1 : 0,
                      static_cast<uint32_t>(dBusAddress), pbCdb, bType);
    SetDriveCommandPendingFlag(FALSE);
    if (bQueuePhaseDriveCommand(psEntry, CommandDone, FALSE) != STATUS_OK) {
        FreeKernelEntries(psEntry);
        return PHASE_RUN_AGAIN;
    }
    D().bNextStep = bNext;
    D().fCommandGood = FALSE;
    SetConfigWriteWaitFlag(TRUE);
    SetConfigPhaseStep(bOutStep);
    return STATUS_OK;
}

// One command to the download drive.
uint8_t bSend(const uint8_t* pbCdb, uint16_t wControl, uint32_t dLength, BUS_ADDRESS dBusAddress, uint16_t wTimeout,
              uint8_t bNext) {
    return bSendTo(D().abDrive[0], D().abDrive[1], pbCdb, wControl, dLength, dBusAddress, wTimeout, STEP_COMMAND_OUT,
                   bNext);
}

uint8_t bSendNoData(const uint8_t* pbCdb, uint16_t wTimeout, uint8_t bNext) {
    return bSend(pbCdb, DRIVE_COMMAND_NO_DATA, 0, BUS_ADDRESS{0}, wTimeout, bNext);
}

uint8_t bSendReply(const uint8_t* pbCdb, uint32_t dLength, uint32_t dAt, uint8_t bNext) {
    std::memset(pbReplies() + dAt, 0, dLength);
    return bSend(pbCdb, DRIVE_COMMAND_DATA_IN, dLength,
                 dBufferHandleToPciAddress(D().dReplies + dAt), SHORT_TIMEOUT, bNext);
}

void StartDrive() {
    D().bRetry = 0;
    D().dRegionOffset = 0;
    D().bRegion = 0;
    D().fDownloadedThisDrive = FALSE;
    // The partner hears of every drive: it holds I/O to that one.
    s_fInProgress = TRUE;
    TellPartner();
}

// The next drive of the walk into the phase parameters; FALSE at the end.
// A position the walk cannot address is passed over; at the end the walk
// stays where it is, so the bound only ends a walk that has ended.
bool SelectNextDrive() {
    for (uint32_t d = 0; d < WALK_BOUND; ++d) {
        if (fSelectNextDrive(FALSE, s_fSelectUnused) == TRUE) {
            TakeDriveParams();
            return true;
        }
    }
    return false;
}

// The first drive (or the next one) is about to be checked: a member of an
// array has its host I/O paused first.
uint8_t GoToDrive() {
    StartDrive();
    if (D().abDrive[2] < NOT_A_MEMBER) {
        Say("\n\nPausing I/O");
        D().dPauseTick = dGetCoarseTick();
        D().dDotTick = D().dPauseTick;
        SetConfigPhaseStep(STEP_PAUSE_IO);
    } else {
        SetConfigPhaseStep(STEP_CHECK_DRIVE);
    }
    RequestConfigurationService();
    return STATUS_OK;
}

// A management request names its choice in the download bytes: the drive
// (by its place in the drive table) or one of the console's three passes,
// or the unused drives of the third.  FALSE when the named drive is gone.
bool TakeManagementSelection() {
    const uint8_t bSelection = bGetDriveDownloadByte1();
    s_fRegionMode = TRUE;
    s_fSelectAll = ToFlag(bSelection != SELECT_ONE_DRIVE);
    s_fSelectUnused = ToFlag(bSelection == SELECT_ALL_DRIVES || bSelection == SELECT_ALL_DIFFERENT);
    s_fForce = ToFlag(bSelection <= SELECT_UNUSED_DRIVES);
    if (bSelection != SELECT_ONE_DRIVE) return true;
    const DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    const uint8_t bIndex = bGetDriveDownloadByte2();
    if (psList == nullptr || bIndex >= psList->bDriveCount) return false;
    const DRIVE_INFO& s = psList->asDriveInfo[bIndex];
    SetPhaseParam1(PORT_CODE_INITIATOR);
    SetPhaseParam2(s.bLoopID1);
    SetPhaseParam3(s.bRankNo);
    SetPhaseParam4(s.bRankNo < NOT_A_MEMBER ? s.bDriveNo : 0);
    return true;
}

uint8_t Start() {
    if (bGetConfigRequester() == REQUESTER_MANAGEMENT && !TakeManagementSelection()) {
        EndPhase(DOWNLOAD_FAILED);
        return STATUS_OK;
    }
    D().dRegionOffset = 0;
    D().bRegion = 0;
    D().fDownloadedThisDrive = FALSE;
    D().fDownloadedAny = FALSE;
    s_fAbort = FALSE;
    s_fSlotPowerCycled = FALSE;
    if (pbFile() == nullptr || fIsDownloadImageReady() != TRUE) {
        EndPhase(DOWNLOAD_FILE_ERROR);
        return STATUS_OK;
    }
    // Every region must lie inside what was received and be sent in
    // transfers of at least a byte, whatever loaded the buffer.
    if (s_fRegionMode == TRUE && bCheckDriveFirmwareFile(pbFile(), dGetDownloadImageLength(), FALSE, TRUE) != TRUE) {
        EndPhase(DOWNLOAD_FILE_ERROR);
        return STATUS_OK;
    }
    if (s_fRegionMode == TRUE && s_fSelectAll == TRUE && Header().fAllDrives != TRUE) {
        EndPhase(DOWNLOAD_NOT_ALL_DRIVES);
        return STATUS_OK;
    }
    if (D().dReplies == NULL_BUFFER_HANDLE &&
        bAllocDataPages(BUFFER_BANK_EITHER, 1, &D().dReplies) != STATUS_OK) {
        D().dReplies = NULL_BUFFER_HANDLE;
        return PHASE_RUN_AGAIN;
    }
    if (s_fSelectAll != TRUE) {
        TakeDriveParams();
        return GoToDrive();
    }
    ResetDriveWalk();
    if (!SelectNextDrive()) {
        EndPhase(DOWNLOAD_NOTHING_DONE);
        return STATUS_OK;
    }
    return GoToDrive();
}

uint8_t PauseIo() {
    const uint32_t dNow = dGetCoarseTick();
    if (dNow != D().dDotTick) {
        D().dDotTick = dNow;
        Say(".");
    }
    if (dNow - D().dPauseTick > PAUSE_TICKS) {
        Say(".\n");
        SetConfigPhaseStep(STEP_CHECK_DRIVE);
        RequestConfigurationService();
    } else {
        LookAgainLater();
    }
    return STATUS_OK;
}

uint8_t CheckDrive() {
    if (Talks() && bGetDiagnosticsModeLevel() > DETAIL_LEVEL) {
        ConsolePrintf("Checking Drive: %02x %03d %02x %02x\n", D().abDrive[0], D().abDrive[1], D().abDrive[2],
                      D().abDrive[3]);
    }
    D().bRetry = 0;
    D().dRegionOffset = 0;
    D().bRegion = 0;
    const uint8_t abCdb[10] = {SCSI_START_STOP_UNIT, 0x01, 0, 0, 0x01, 0};
    return bSendNoData(abCdb, SHORT_TIMEOUT, STEP_TEST_READY);
}

void TakeIdentity() {
    const uint8_t* pb = pbReplies() + REPLY_CURRENT;
    std::memcpy(D().acVendor, pb + 8, 8);
    std::memcpy(D().acProduct, pb + 16, 16);
    std::memset(D().acRevision, ' ', 8);
    std::memcpy(D().acRevision, pb + 32, 4);
    std::memcpy(D().acSerial, pb + 36, 8);
    if (IsKind2()) {
        const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(D().abDrive[1]);
        if (ps != nullptr) std::memcpy(D().acRevision, ps->acFirmwareRevision, 8);
    }
}

void SayDrive() {
    SayChars(D().acVendor, 8);
    Say(" ");
    SayChars(D().acProduct, 16);
    Say(" SN:");
    SayChars(D().acSerial, 8);
}

uint8_t Decide() {
    TakeIdentity();
    bool fDownload = true;
    if (s_fSelectAll == TRUE) {
        const DRIVE_FIRMWARE_FILE_HEADER s = Header();
        bool fDiffers = true;
        if (IsKind2()) {
            const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(D().abDrive[1]);
            fDiffers = ps != nullptr && std::memcmp(ps->acFirmwareRevision, s.acRevision8, 8) != 0;
            if (ps == nullptr) fDownload = false;
        } else if (s_fRegionMode == TRUE) {
            fDiffers = std::memcmp(D().acRevision, s.acRevision, 4) != 0;
        }
        fDownload = fDownload && (s_fForce == TRUE || fDiffers);
        fDownload = fDownload && fFindStringInFirmwareFile(pbFile(), dFileLength(), pbReplies()) == TRUE;
    }
    if (fDownload) {
        SetConfigPhaseStep(STEP_WRITE_BUFFER);
    } else {
        Say("\n\nSkipping Drive: ");
        SayDrive();
        Say(" F/W:");
        SayChars(D().acRevision, IsKind2() ? 8 : 4);
        Say("\n");
        SetConfigPhaseStep(STEP_DRIVE_DONE);
    }
    RequestConfigurationService();
    return STATUS_OK;
}

void AnnounceDownload() {
    const bool fKind2 = IsKind2();
    Say("\n\nDownloading F/W to ");
    SayDrive();
    Say(" Old:");
    SayChars(D().acRevision, fKind2 ? 8 : 4);
    Say(" New:");
    const DRIVE_FIRMWARE_FILE_HEADER s = Header();
    if (fKind2) {
        SayChars(s.acRevision8, 8);
    } else {
        SayChars(s.acRevision, 4);
    }
    Say("\n");
    DRIVE_INFO* ps = psDrive();
    if (ps == nullptr) return;
    SetDriveStatusByEnclosureSlot(ps->bEnclosureNo, ps->bSlotNo, DRIVE_STATUS_FIRMWARE_DOWNLOAD);
    const char* pcRev = fKind2 ? s.acRevision8 + 4 : s.acRevision;
    const uint8_t* w = ps->abWWN;
    PostEvent(EVENT_DOWNLOAD_START, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], ps->bSlotNo,
              static_cast<uint8_t>(pcRev[0]), static_cast<uint8_t>(pcRev[1]), static_cast<uint8_t>(pcRev[2]),
              static_cast<uint8_t>(pcRev[3]));
}

// Firmware went out: the drives it reached answer with a new identity
// after their reset, so the next drive table rebuild reads every drive
// again, SATA drives' identify data too, rather than carry the old records
// over.
void NoteSent() {
    D().fDownloadedThisDrive = TRUE;
    D().fDownloadedAny = TRUE;
    s_fRescanAfterDownload = TRUE;
    SetClearCurrentDriveTable(TRUE);
    SetFirmwareDownloadRescan(TRUE);
}

uint8_t WriteBuffer() {
    const bool fFirst = D().bRegion == 0 && D().dRegionOffset == 0;
    uint8_t abCdb[10] = {SCSI_WRITE_BUFFER};
    if (s_fRegionMode != TRUE) {
        const uint32_t dLength = dGetDownloadImageLength();
        abCdb[1] = 0x05;
        PutBe24(abCdb + 6, dLength);
        if (fFirst) AnnounceDownload();
        const uint8_t bSent = bSend(abCdb, DRIVE_COMMAND_DATA_OUT, dLength, dPciAddressOf(pbFile()), DOWNLOAD_TIMEOUT,
                                    STEP_READY_AFTER);
        if (bSent == STATUS_OK) NoteSent();
        return bSent;
    }
    const DRIVE_FIRMWARE_FILE_HEADER s = Header();
    const DRIVE_FIRMWARE_REGION& r = s.asRegion[D().bRegion];
    const uint32_t dLength = std::min(r.dLength - D().dRegionOffset, r.dLargestTransfer);
    abCdb[1] = r.bMode & 0x07;
    abCdb[2] = r.bBufferId;
    PutBe24(abCdb + 3, r.fOffsetField == TRUE ? D().dRegionOffset : 0);
    PutBe24(abCdb + 6, dLength);
    if (fFirst) AnnounceDownload();
    const uint8_t* pbData = pbFile() + r.dOffset + D().dRegionOffset;
    // The next step is decided when this segment has been taken.
    uint8_t bNext = STEP_WRITE_BUFFER;
    uint32_t dOffset = D().dRegionOffset + dLength;
    uint8_t bRegion = D().bRegion;
    if (dOffset >= r.dLength) {
        dOffset = 0;
        ++bRegion;
        if (bRegion >= s.bRegionCount) bNext = IsKind2() ? STEP_SLOT_OFF : STEP_READY_AFTER;
    }
    const uint8_t bSent =
        bSend(abCdb, DRIVE_COMMAND_DATA_OUT, dLength, dPciAddressOf(pbData), DOWNLOAD_TIMEOUT, bNext);
    if (bSent != STATUS_OK) return bSent;
    D().dRegionOffset = dOffset;
    D().bRegion = bRegion;
    NoteSent();
    if (bNext == STEP_SLOT_OFF) s_fSlotPowerCycled = TRUE;
    return STATUS_OK;
}

uint8_t ModeSense(uint8_t bPageControl, uint32_t dAt, uint8_t bNext) {
    const uint8_t abCdb[10] = {SCSI_MODE_SENSE6, 0, static_cast<uint8_t>(bPageControl | 0x3F), 0, MODE_SENSE_BYTES, 0};
    return bSendReply(abCdb, MODE_PAGE_BUFFER_BYTES, dAt, bNext);
}

uint8_t SelectPages() {
    uint8_t* pb = pbReplies();
    if (fAdjustDriveModePages(psDrive(), pb + REPLY_CURRENT, pb + REPLY_DEFAULT, pb + REPLY_CHANGEABLE) != TRUE) {
        SetConfigPhaseStep(STEP_CAPACITY);
        RequestConfigurationService();
        return STATUS_OK;
    }
    Say("Setting mode pages\n");
    const uint8_t bLength = static_cast<uint8_t>(pb[REPLY_CURRENT] + 1);
    pb[REPLY_CURRENT] = 0;   // the mode data length is reserved in MODE SELECT
    const uint8_t abCdb[10] = {SCSI_MODE_SELECT6, 0x11, 0, 0, bLength, 0};
    return bSend(abCdb, DRIVE_COMMAND_DATA_OUT, bLength,
                 dBufferHandleToPciAddress(D().dReplies + REPLY_CURRENT), SHORT_TIMEOUT,
                 STEP_CAPACITY);
}

uint8_t StoreCopy() {
    const uint8_t* pb = pbReplies() + REPLY_CURRENT;
    const uint32_t dLast = static_cast<uint32_t>(pb[0]) << 24 | static_cast<uint32_t>(pb[1]) << 16 |
                           static_cast<uint32_t>(pb[2]) << 8 | pb[3];
    const uint32_t dLength = dFileLength();
    const uint32_t dBlocks = (dLength + BLOCK_BYTES - 1) / BLOCK_BYTES;
    // A drive too small to hold the copy clear of its start keeps none.
    if (dLast == 0 || dLast < COPY_BLOCKS_FROM_END + dBlocks || dBlocks == 0) {
        SetConfigPhaseStep(STEP_DRIVE_DONE);
        RequestConfigurationService();
        return STATUS_OK;
    }
    uint8_t* pbImage = pGetDownloadImageBuffer();
    // The last block's tail goes out as zeroes, not as what the buffer held.
    std::memset(pbImage + dLength, 0, dBlocks * BLOCK_BYTES - dLength);
    uint8_t abCdb[10] = {SCSI_WRITE10};
    PutBe32(abCdb + 2, dLast - COPY_BLOCKS_FROM_END);
    PutBe16(abCdb + 7, static_cast<uint16_t>(dBlocks));
    return bSend(abCdb, DRIVE_COMMAND_DATA_OUT, dBlocks * BLOCK_BYTES, dPciAddressOf(pbImage), COPY_TIMEOUT,
                 STEP_DRIVE_DONE);
}

void ReportDriveDone() {
    DRIVE_INFO* ps = psDrive();
    if (ps != nullptr) {
        SetDriveStatusByEnclosureSlot(ps->bEnclosureNo, ps->bSlotNo, DRIVE_STATUS_NORMAL);
        const uint8_t* w = ps->abWWN;
        PostEvent(EVENT_DOWNLOAD_DONE, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], ps->bSlotNo);
    }
    Say("Drive Firmware Download Successful\n");
}

uint8_t DriveDone() {
    if (s_fSelectAll != TRUE) {
        SetInProgress(FALSE);
        ReportDriveDone();
        EndPhase(DOWNLOAD_ONE_DRIVE_DONE);
        return STATUS_OK;
    }
    if (D().fDownloadedThisDrive == TRUE) ReportDriveDone();
    if (s_fAbort != TRUE && SelectNextDrive()) return GoToDrive();
    D().dSlotTick = dGetCoarseTick();
    if (s_fSlotPowerCycled == TRUE) {
        (void)bSendSASTaskManagement(D().abDrive[1], 0, TASK_TARGET_RESET, 0);
        SetConfigPhaseStep(STEP_RESET_WAIT);
    } else {
        SetConfigPhaseStep(STEP_END);
    }
    RequestConfigurationService();
    return STATUS_OK;
}

uint8_t SlotPower(uint8_t bState, uint8_t bNext) {
    DRIVE_INFO* ps = psDrive();
    if (ps != nullptr &&
        bQueueEnclosureSlotControl(ps->bEnclosureNo, ps->bSlotNo, bState, SLOT_REQUEST, SLOT_DURATION) == STATUS_OK) {
        D().bRetry = 0;
        D().dSlotTick = dGetCoarseTick();
        SetConfigPhaseStep(bNext);
    } else if (++D().bRetry >= SLOT_CONTROL_TRIES) {
        SetConfigPhaseStep(STEP_FAILED);
    }
    RequestConfigurationService();
    return STATUS_OK;
}

uint8_t WaitTicks(uint32_t dTicks, uint8_t bNext) {
    if (dGetCoarseTick() - D().dSlotTick > dTicks) {
        SetConfigPhaseStep(bNext);
        RequestConfigurationService();
    } else {
        LookAgainLater();
    }
    return STATUS_OK;
}

uint8_t End() {
    uint8_t bResult = DOWNLOAD_NOTHING_DONE;
    if (s_fAbort == TRUE) {
        bResult = DOWNLOAD_ABORTED;
    } else if (D().fDownloadedAny == TRUE) {
        bResult = DOWNLOAD_ALL_GOOD;
    }
    EndPhase(bResult);
    return STATUS_OK;
}

// A command of the phase is out: once it ended, the step it named, or the
// failure step.
uint8_t CommandOut(uint8_t bFailedStep) {
    if (fGetDriveCommandPendingFlag() != TRUE) return STATUS_OK;
    (void)fStartDrivePhaseStep(D().fCommandGood == TRUE ? D().bNextStep : bFailedStep);
    RequestConfigurationService();
    return STATUS_OK;
}

uint8_t Failed() {
    DRIVE_INFO* ps = psDrive();
    if (ps != nullptr && ps->bDriveStatus == DRIVE_STATUS_FIRMWARE_DOWNLOAD) {
        SetDriveStatusByEnclosureSlot(ps->bEnclosureNo, ps->bSlotNo, DRIVE_STATUS_NORMAL);
    }
    EndPhase(DOWNLOAD_FAILED);
    return STATUS_OK;
}

// The read of a stored copy back into the download image buffer: the file
// chosen from the drive firmware file list is read from the first drive
// that holds it, and from the next when a copy fails its check.
struct READ_STATE {
    uint8_t bEntry;
    uint8_t bDrive;
    uint32_t dLength;
};

READ_STATE s_sRead = {DRIVE_FIRMWARE_IMAGE_NONE, DRIVE_FIRMWARE_IMAGE_NONE, 0};

uint8_t EndRead(uint8_t bStatus) {
    SetConfigWriteWaitFlag(FALSE);
    EndConfigPhase();
    if (bGetConfigRequester() == REQUESTER_CONSOLE) ReadDriveFirmwareDone(bStatus);
    return STATUS_OK;
}

uint8_t ReadStep(uint8_t bNext) {
    SetConfigPhaseStep(bNext);
    RequestConfigurationService();
    return STATUS_OK;
}

// A management request names the drive (phase parameter 2, its place in
// the drive table) and reads only the file it holds; the console names the
// file and any drive holding it will do.
uint8_t FindReadDrive() {
    READ_STATE& r = s_sRead;
    uint8_t bDrive = DRIVE_FIRMWARE_IMAGE_NONE;
    if (bGetConfigRequester() == REQUESTER_MANAGEMENT) {
        bDrive = bGetPhaseParam2();
        if (fFindFirmwareImageForDrive(bDrive, &r.bEntry) != TRUE) return ReadStep(READ_FAILED);
    } else {
        r.bEntry = bGetMenuSelection();
        if (fFindDriveForFirmwareImage(r.bEntry, bGetPhaseParam4(), &bDrive) != TRUE) return ReadStep(READ_FAILED);
        SetPhaseParam4(static_cast<uint8_t>(bDrive + 1));
    }
    r.bDrive = bDrive;
    r.dLength = pGetDriveFirmwareImageList()->asEntry[r.bEntry].dFileLength;
    // The list took the length from a header on the drive: a file that
    // cannot be a whole one is not read into the buffer.
    if (r.dLength <= DRIVE_FIRMWARE_HEADER_BYTES || r.dLength > DRIVE_FIRMWARE_MAX_LENGTH) {
        return ReadStep(READ_NEXT_DRIVE);
    }
    return ReadStep(READ_COPY);
}

uint8_t ReadCopy() {
    const READ_STATE& r = s_sRead;
    uint8_t* pbImage = pbTakeDownloadImageBuffer();
    if (pbImage == nullptr) return ReadStep(READ_FAILED);
    SetDownloadImageReady(FALSE);
    std::memset(pbImage, 0, DRIVE_FIRMWARE_HEADER_BYTES);
    const DRIVE_INFO& s = pGetDriveInfoList()->asDriveInfo[r.bDrive];
    const uint32_t dBlocks = (r.dLength + BLOCK_BYTES - 1) / BLOCK_BYTES;
    if (s.dCapacity < COPY_BLOCKS_FROM_END + dBlocks) return ReadStep(READ_NEXT_DRIVE);
    uint8_t abCdb[10] = {SCSI_READ10};
    PutBe32(abCdb + 2, s.dCapacity - COPY_BLOCKS_FROM_END);
    PutBe16(abCdb + 7, static_cast<uint16_t>(dBlocks));
    return bSendTo(PORT_CODE_INITIATOR, s.bLoopID1, abCdb, DRIVE_COMMAND_DATA_IN, dBlocks * BLOCK_BYTES,
                   dPciAddressOf(pbImage), READ_TIMEOUT, READ_COMMAND_OUT, READ_CHECK);
}

uint8_t CheckReadCopy() {
    const uint8_t* pbImage = pGetDownloadImageBuffer();
    if (bCheckDriveFirmwareFile(pbImage, s_sRead.dLength, FALSE, TRUE) != TRUE) return ReadStep(READ_NEXT_DRIVE);
    SetDownloadImageLength(s_sRead.dLength);
    SetDownloadImageReady(TRUE);
    return EndRead(STATUS_OK);
}

}  // namespace

uint8_t DownloadDriveFirmware(uint8_t bStep) {
    switch (bStep) {
    case STEP_START: return Start();
    case STEP_PAUSE_IO: return PauseIo();
    case STEP_CHECK_DRIVE: return CheckDrive();
    case STEP_TEST_READY: {
        const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
        // The identity is read for a single drive too: the messages name it.
        return bSendNoData(abCdb, SHORT_TIMEOUT, STEP_INQUIRY);
    }
    case STEP_INQUIRY: {
        const uint8_t abCdb[10] = {SCSI_INQUIRY, 0, 0, 0, INQUIRY_BYTES, 0};
        return bSendReply(abCdb, INQUIRY_BYTES, REPLY_CURRENT, STEP_DECIDE);
    }
    case STEP_DECIDE: return Decide();
    case STEP_WRITE_BUFFER: return WriteBuffer();
    case STEP_READY_AFTER: {
        const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
        const bool fPages = s_fRegionMode == TRUE && Header().fModePages == TRUE;
        return bSendNoData(abCdb, SHORT_TIMEOUT, fPages ? STEP_SENSE_CURRENT : STEP_CAPACITY);
    }
    case STEP_SENSE_CURRENT: return ModeSense(0x00, REPLY_CURRENT, STEP_SENSE_DEFAULT);
    case STEP_SENSE_DEFAULT: return ModeSense(0x80, REPLY_DEFAULT, STEP_SENSE_CHANGEABLE);
    case STEP_SENSE_CHANGEABLE: return ModeSense(0x40, REPLY_CHANGEABLE, STEP_SELECT_PAGES);
    case STEP_SELECT_PAGES: return SelectPages();
    case STEP_CAPACITY: {
        const uint8_t abCdb[10] = {SCSI_READ_CAPACITY10};
        return bSendReply(abCdb, 8, REPLY_CURRENT, STEP_STORE_COPY);
    }
    case STEP_STORE_COPY: return StoreCopy();
    case STEP_DRIVE_DONE: return DriveDone();
    case STEP_SLOT_OFF: return SlotPower(SLOT_POWER_OFF, STEP_SLOT_OFF_WAIT);
    case STEP_SLOT_OFF_WAIT: return WaitTicks(SLOT_POWER_TICKS, STEP_SLOT_ON);
    case STEP_SLOT_ON: return SlotPower(SLOT_POWER_ON, STEP_SLOT_ON_WAIT);
    case STEP_SLOT_ON_WAIT: return WaitTicks(SLOT_POWER_TICKS, STEP_DRIVE_DONE);
    case STEP_RESET_WAIT: return WaitTicks(RESET_SETTLE_TICKS, STEP_END);
    case STEP_END: return End();
    case STEP_COMMAND_OUT: return CommandOut(STEP_FAILED);
    default: return Failed();
    }
}

uint8_t ReadStoredDriveFirmwareFile(uint8_t bStep) {
    switch (bStep) {
    case READ_FIND_DRIVE: return FindReadDrive();
    case READ_NEXT_DRIVE:
        // The drive a management request named held no good copy.
        if (bGetConfigRequester() == REQUESTER_MANAGEMENT) return EndRead(0);
        return FindReadDrive();
    case READ_COPY: return ReadCopy();
    case READ_CHECK: return CheckReadCopy();
    case READ_COMMAND_OUT: return CommandOut(READ_NEXT_DRIVE);
    default: return EndRead(0);
    }
}

uint8_t* pbTakeDownloadImageBuffer() {
    uint8_t* pb = pGetDownloadImageBuffer();
    if (pb != nullptr) return pb;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(BUFFER_BANK_EITHER, IMAGE_BUFFER_PAGES, &dHandle) != STATUS_OK) return nullptr;
    pb = static_cast<uint8_t*>(pBufferHandleToPointer(dHandle));
    SetDownloadImageBuffer(pb);
    return pb;
}

uint8_t fFindStringInFirmwareFile(const uint8_t* pbFile, uint32_t dLength, const uint8_t* pbIdentity) {
    // The product identification up to its first space.
    const uint8_t* pbProduct = pbIdentity + 16;
    uint32_t dWord = 0;
    while (dWord < PRODUCT_MATCH_BYTES && pbProduct[dWord] != ' ' && pbProduct[dWord] != 0) ++dWord;
    if (dWord == 0) return FALSE;
    const uint32_t dSearched = s_fRegionMode == TRUE ? std::min(dLength, DRIVE_FIRMWARE_HEADER_BYTES) : dLength;
    if (dSearched < dWord) return FALSE;
    const uint8_t* pbEnd = pbFile + dSearched;
    return ToFlag(std::search(pbFile, pbEnd, pbProduct, pbProduct + dWord) != pbEnd);
}

void AbortDriveFirmwareDownload() {
    if (s_fAbort != TRUE && bGetConfigRequester() == REQUESTER_CONSOLE) {
        ConsolePrintf("\n\nAborting Drive Firmware Download After Current Drive\n");
    }
    s_fAbort = TRUE;
}

uint8_t fIsCommandForDownloadDrive(const KERNEL_ENTRY* psEntry) {
    if (s_fInProgress != TRUE) return FALSE;
    const uint8_t bRank = D().abDrive[2];
    return ToFlag(psEntry->bRank == bRank || (psEntry->bSecondRank != NO_SECOND_RANK && psEntry->bSecondRank == bRank));
}

uint8_t fIsDeviceDownloadDrive(uint8_t bPath, uint8_t bLoopId) {
    if (s_fInProgress != TRUE) return FALSE;
    DRIVE_INFO* ps = nullptr;
    if (fFindDriveByLoopID(bPath, bLoopId, &ps, nullptr) != TRUE || ps == nullptr) return FALSE;
    // A member is known by its place in its array; a spare or a free drive
    // only by its target.
    if (D().abDrive[2] < NOT_A_MEMBER) return ToFlag(ps->bRankNo == D().abDrive[2] && ps->bDriveNo == D().abDrive[3]);
    return ToFlag(ps->bRankNo >= NOT_A_MEMBER && bLoopId == D().abDrive[1]);
}

uint8_t fIsDriveFirmwareDownloadInProgress() { return s_fInProgress; }
void SetDriveFirmwareDownloadInProgress(uint8_t f) { s_fInProgress = f; }
void SetDriveFirmwareDownloadPartnerSync(uint8_t f) { s_fPartnerSync = f; }
uint8_t fGetDriveFirmwareDownloadPartnerSync() { return s_fPartnerSync; }
void SetDownloadDriveParams(uint8_t bPath, uint8_t bLoopId, uint8_t bRank, uint8_t bParam4) {
    D().abDrive[0] = bPath;
    D().abDrive[1] = bLoopId;
    D().abDrive[2] = bRank;
    D().abDrive[3] = bParam4;
}
uint8_t bGetDownloadDriveRank() { return D().abDrive[2]; }
uint8_t bGetDownloadDriveParam4() { return D().abDrive[3]; }

void SetDriveFirmwareDownloadSelectAll(uint8_t f) { s_fSelectAll = f; }
void SetDriveFirmwareDownloadSelectUnused(uint8_t f) { s_fSelectUnused = f; }
void SetDriveFirmwareDownloadOption3(uint8_t f) { s_fRegionMode = f; }
void SetDriveFirmwareDownloadOption4(uint8_t f) { s_fForce = f; }
uint8_t fGetDriveFirmwareDownloadAbort() { return s_fAbort; }
uint8_t fIsDriveSlotPowerCycled() { return s_fSlotPowerCycled; }
uint8_t fIsDriveRescanAfterDownloadPending() { return s_fRescanAfterDownload; }
void SetDriveRescanAfterDownloadPending(uint8_t f) { s_fRescanAfterDownload = f; }

}  // namespace fw
