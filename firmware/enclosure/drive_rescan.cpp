// Drive table rebuild, rescan and qualification.
#include "enclosure/drive_rescan.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/config_db.h"
#include "config/config_load.h"
#include "config/config_state.h"
#include "config/drive_loop_tables.h"
#include "config/drive_tables.h"
#include "config/nvram_tables.h"
#include "config/spares_wwn.h"
#include "console/xmodem_receive.h"
#include "enclosure/drive_commands.h"
#include "enclosure/drive_firmware.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_table.h"
#include "eventlog/event_log.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/addresses.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "raid/raid_engine.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_NO_ENCLOSURE = 89;
constexpr uint8_t EVENT_DRIVE_NOT_QUALIFIED = 123;
constexpr uint8_t OEM_STANDARD = 0;
constexpr uint32_t OEM_RESTRICTED = 0x101;
constexpr uint8_t SES_LEVEL_1 = 1;
constexpr uint8_t SES_LEVEL_3 = 3;
constexpr uint8_t ENCLOSURE_JOB_REFRESH = 4;
constexpr uint8_t LINE_POWER_MARK_ID = 15;
constexpr uint8_t NO_ID = 0xFF;
constexpr uint16_t DRIVE_COMMAND_TIMEOUT = 8;
// The multiplexer bits of a SATA drive's device entry status.
constexpr uint8_t SAS_DEVICE_STATUS_MUX_MASK = 0x30;
constexpr uint8_t SAS_DEVICE_STATUS_MUX_ACTIVE_ACTIVE = 0x10;

// Places in the configuration work buffer.
constexpr uint32_t WORK_DATA = 0;
constexpr uint32_t WORK_MODE_DEFAULT = 256;
constexpr uint32_t WORK_MODE_CHANGEABLE = 512;
constexpr uint32_t WORK_FIRMWARE_PROBE = 24576;
constexpr uint32_t FIRMWARE_PROBE_BYTES = 1024;
constexpr uint16_t FIRMWARE_PROBE_BLOCKS = 2;
constexpr uint32_t FIRMWARE_COPY_BLOCKS_BEFORE_END = DRIVE_FIRMWARE_COPY_BLOCKS_BEFORE_END;
constexpr uint8_t INQUIRY_BYTES = 48;
constexpr uint8_t MODE_SENSE_BYTES = 255;
constexpr uint8_t MODE_PAGE_CONTROL_CHANGEABLE = 0x40;
constexpr uint8_t MODE_PAGE_CONTROL_DEFAULT = 0x80;
constexpr uint8_t MODE_ALL_PAGES = 0x3F;
constexpr uint32_t READ_CAPACITY_BYTES = 8;
constexpr uint32_t BLOCK_BYTES = 512;

// The firmware file header: the revision it installs and its (vendor,
// product) pairs.
constexpr uint32_t FIRMWARE_HEADER_PAIR_COUNT = 29;
constexpr uint32_t FIRMWARE_HEADER_REVISION = 36;
constexpr uint32_t FIRMWARE_HEADER_PAIRS = 808;
constexpr uint32_t FIRMWARE_PAIR_BYTES = 24;
constexpr uint8_t FIRMWARE_MAX_PAIRS = 8;

const char VENDOR_NAME_A[8] = {'P', 'R', 'A', 'V', 'E', 'L', 'O', 'N'};
const char VENDOR_NAME_B[8] = {'T', 'R', 'I', 'M', '+', 'V', 'A', 'L'};

uint8_t s_fRescanRequest = FALSE;
uint8_t s_fRescanInProgress = FALSE;
uint8_t s_fSpinUpWait = FALSE;
uint8_t s_fClearCurrentTable = FALSE;
uint8_t s_fFirmwareDownloadRescan = FALSE;
uint8_t s_fFirmwareProbeGood = FALSE;
uint8_t s_fPartnerListAsked = FALSE;   // this rebuild asked the partner for its drives
uint8_t s_bModeSelectLength;

uint8_t* pWork(uint32_t dOffset) { return pGetConfigWorkBuffer() + dOffset; }
BUFFER_HANDLE dWorkHandle(uint32_t dOffset) {
    return static_cast<BUFFER_HANDLE>(dAddressWord(pWork(dOffset)));
}

// The record the drive being read is entered into.
DRIVE_INFO* psNextRecord() {
    DRIVE_INFO_LIST* ps = pGetDriveInfoListDiscovery();
    return &ps->asDriveInfo[ps->bDriveCount < DRIVE_INFO_RECORDS ? ps->bDriveCount : DRIVE_INFO_RECORDS - 1];
}

void NextStep(uint8_t bStep) {
    SetConfigPhaseStep(bStep);
    RequestStartOfDayService();
}

// Every command of the rebuild ends here; a failure raises the flag that
// drops the drive at its next step.
void RebuildCommandDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, RebuildCommandDone) == TRUE) return;
    const bool fGood = fPhaseDriveCommandGood(psEntry) == TRUE;
    if (psEntry->bCommandType == DRIVE_COMMAND_TYPE_READ) {
        // The firmware probe only finds or misses a stored file.
        s_fFirmwareProbeGood = ToFlag(fGood);
    } else if (!fGood) {
        SetDriveCommandPendingFlag(TRUE);
    }
    EndPhaseDriveCommand(psEntry);
}

// Sends one command to the drive being read and waits for it in step
// bNext; 16 when no entry or completion node was free.
uint8_t SendDriveCommand(const uint8_t* pbCdb, uint16_t wFlags, uint32_t dLength, uint32_t dOffset,
                         uint8_t bCommandType, uint8_t bNext) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &psEntry) != STATUS_OK) return PHASE_RUN_AGAIN;
    BuildDriveCommand(psEntry, bGetPhaseParam1(), bGetPhaseParam2(), DRIVE_COMMAND_TIMEOUT, wFlags, dLength,
                      dLength != 0 ? 1 : 0, dLength != 0 ? static_cast<uint32_t>(dBufferHandleToPciAddress(dWorkHandle(dOffset))) : 0,
                      pbCdb, bCommandType);
    if (bQueuePhaseDriveCommand(psEntry, RebuildCommandDone, TRUE) != STATUS_OK) {
        FreeKernelEntries(psEntry);
        return PHASE_RUN_AGAIN;
    }
    SetConfigWriteWaitFlag(TRUE);
    SetConfigPhaseStep(bNext);
    return STATUS_OK;
}

uint8_t SendModeSense(uint8_t bPageControl, uint32_t dOffset, uint8_t bNext) {
    const uint8_t abCdb[10] = {SCSI_MODE_SENSE6, 0, static_cast<uint8_t>(bPageControl | MODE_ALL_PAGES), 0,
                               MODE_SENSE_BYTES};
    std::memset(pWork(dOffset), 0, MODE_PAGE_BUFFER_BYTES);
    return SendDriveCommand(abCdb, DRIVE_COMMAND_DATA_IN, MODE_SENSE_BYTES, dOffset, DRIVE_COMMAND_TYPE_MODE_PAGES,
                            bNext);
}

// Step 16: the next usable entry of the SAS device list.
uint8_t NextDevice() {
    SetDriveCommandPendingFlag(FALSE);
    const SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    // A list with no device at all may only lack what the partner reaches
    // (a pair's multiplexers all passing the partner, before its list came):
    // its list is asked for, once a rebuild, and its drives listed as proxies.
    if (psList->bEntryCount == 0 && s_fPartnerListAsked != TRUE) {
        s_fPartnerListAsked = TRUE;
        if (fIsPartnerAlive() == TRUE && bReadPartnerDeviceList() == STATUS_OK) MergePartnerDeviceList(FALSE);
    }
    const uint8_t bCount = psList->bEntryCount < SAS_MAX_DEVICES ? psList->bEntryCount : SAS_MAX_DEVICES;
    for (uint8_t i = bGetPhaseParam4(); i < bCount; ++i) {
        const SAS_DEVICE_ENTRY& s = psList->asEntry[i];
        if (s.fValid != TRUE) continue;
        SetMenuSelection(s.fSAS);
        SetPhaseParam4(static_cast<uint8_t>(i + 1));
        SetPhaseParam2(s.bTargetId);
        NextStep(REBUILD_STEP_START_UNIT);
        return STATUS_OK;
    }
    NextStep(REBUILD_STEP_END);
    return STATUS_OK;
}

// Step 4: a drive still in the current table is carried over, else read.
uint8_t IdentifyDrive() {
    uint8_t abWwn[8];
    const uint8_t bTarget = bGetPhaseParam2();
    if (bGetSASAddressOfTarget(abWwn, bTarget) != STATUS_OK) {
        NextStep(REBUILD_STEP_NEXT_DEVICE);
        return STATUS_OK;
    }
    uint8_t bIndex = 0;
    if (fFindKnownDriveByWwn(abWwn, &bIndex) == TRUE) {
        DRIVE_INFO sRecord = pGetDriveInfoList()->asDriveInfo[bIndex];
        sRecord.fSESEnabled = TRUE;
        uint8_t bEnclosure = 0, bSlot = 0;
        if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) == STATUS_OK) {
            sRecord.bEnclosureNo = bEnclosure;
            sRecord.bSlotNo = bSlot;
            sRecord.bSES_SlotId = bSlotToSesSlotId(bSlot);
        }
        (void)fAppendDriveInfo(pGetDriveInfoListDiscovery(), &sRecord);
        NextStep(REBUILD_STEP_NEXT_DEVICE);
        return STATUS_OK;
    }
    const uint8_t abCdb[10] = {SCSI_INQUIRY, 0, 0, 0, INQUIRY_BYTES};
    std::memset(pWork(WORK_DATA), 0, INQUIRY_BYTES);
    return SendDriveCommand(abCdb, DRIVE_COMMAND_DATA_IN, INQUIRY_BYTES, WORK_DATA, DRIVE_COMMAND_TYPE_INQUIRY,
                            REBUILD_STEP_CAPACITY);
}

uint8_t ReadCapacity() {
    DRIVE_INFO* ps = psNextRecord();
    ClearDriveInfoRecord(ps);
    ExtractInquiryIdentity(pWork(WORK_DATA), ps->acVendorID, ps->acProductID, ps->acRevision, ps->acSerialNo);
    const uint8_t abCdb[10] = {SCSI_READ_CAPACITY10};
    std::memset(pWork(WORK_DATA), 0xFF, READ_CAPACITY_BYTES);
    return SendDriveCommand(abCdb, DRIVE_COMMAND_DATA_IN, READ_CAPACITY_BYTES, WORK_DATA,
                            DRIVE_COMMAND_TYPE_READ_CAPACITY, REBUILD_STEP_MODE_CURRENT);
}

// Step 6: the capacity decides whether the drive can be used at all.
uint8_t TakeCapacity() {
    DRIVE_INFO* ps = psNextRecord();
    const uint8_t* pb = pWork(WORK_DATA);
    ps->dCapacity = dGetBe32(pb);
    ps->wBlockSize = wGetBe16(pb + 6);
    // All four length bytes must say 512, not just the low two.
    if (ps->dCapacity == 0 || ps->dCapacity >= 0xFFFFFFFE || dGetBe32(pb + 4) != BLOCK_BYTES) {
        NextStep(REBUILD_STEP_NEXT_DEVICE);
        return STATUS_OK;
    }
    if (bGetMenuSelection() != TRUE) {   // SATA: no mode pages, no stored file
        NextStep(REBUILD_STEP_ENTER);
        return STATUS_OK;
    }
    return SendModeSense(0, WORK_DATA, REBUILD_STEP_MODE_DEFAULT);
}

uint8_t SelectModePages() {
    uint8_t* pbCurrent = pWork(WORK_DATA);
    // The parameter list is what the drive sent; its length byte cannot
    // say more than 255.
    const uint32_t dLength = pbCurrent[0] + 1u;
    s_bModeSelectLength = static_cast<uint8_t>(dLength > 255 ? 255 : dLength);
    if (fAdjustDriveModePages(psNextRecord(), pbCurrent, pWork(WORK_MODE_DEFAULT), pWork(WORK_MODE_CHANGEABLE)) !=
        TRUE) {
        NextStep(REBUILD_STEP_FIRMWARE_PROBE);
        return STATUS_OK;
    }
    const uint8_t abCdb[10] = {SCSI_MODE_SELECT6, 0x11, 0, 0, s_bModeSelectLength};
    return SendDriveCommand(abCdb, DRIVE_COMMAND_DATA_OUT, s_bModeSelectLength, WORK_DATA,
                            DRIVE_COMMAND_TYPE_MODE_PAGES, REBUILD_STEP_FIRMWARE_PROBE);
}

// Step 10: the copy of a drive firmware file an earlier download may have
// left near the drive's end.
uint8_t ProbeFirmwareFile() {
    s_fFirmwareProbeGood = FALSE;
    const uint32_t dCapacity = psNextRecord()->dCapacity;
    if (dCapacity <= FIRMWARE_COPY_BLOCKS_BEFORE_END) {
        NextStep(REBUILD_STEP_ENTER);
        return STATUS_OK;
    }
    std::memset(pWork(WORK_FIRMWARE_PROBE), 0, FIRMWARE_PROBE_BYTES);
    uint8_t abCdb[10] = {SCSI_READ10};
    PutBe32(abCdb + 2, dCapacity - FIRMWARE_COPY_BLOCKS_BEFORE_END);
    PutBe16(abCdb + 7, FIRMWARE_PROBE_BLOCKS);
    return SendDriveCommand(abCdb, DRIVE_COMMAND_DATA_IN, FIRMWARE_PROBE_BLOCKS * BLOCK_BYTES, WORK_FIRMWARE_PROBE,
                            DRIVE_COMMAND_TYPE_READ, REBUILD_STEP_ENTER);
}

// A stored file counts when it is valid, installs the drive's own revision
// and names the drive among its (vendor, product) pairs.
bool IsStoredFileForDrive(const DRIVE_INFO* ps) {
    const uint8_t* pbFile = pWork(WORK_FIRMWARE_PROBE);
    if (s_fFirmwareProbeGood != TRUE || bCheckDriveFirmwareFile(pbFile, FIRMWARE_PROBE_BYTES, TRUE, TRUE) != TRUE) {
        return false;
    }
    if (std::memcmp(pbFile + FIRMWARE_HEADER_REVISION, ps->acRevision, sizeof ps->acRevision) != 0) return false;
    const uint8_t bPairs = pbFile[FIRMWARE_HEADER_PAIR_COUNT] < FIRMWARE_MAX_PAIRS ? pbFile[FIRMWARE_HEADER_PAIR_COUNT]
                                                                                    : FIRMWARE_MAX_PAIRS;
    for (uint8_t p = 0; p < bPairs; ++p) {
        const uint8_t* pbPair = pbFile + FIRMWARE_HEADER_PAIRS + p * FIRMWARE_PAIR_BYTES;
        if (std::memcmp(pbPair, ps->acVendorID, 8) == 0 && std::memcmp(pbPair + 8, ps->acProductID, 16) == 0) {
            return true;
        }
    }
    return false;
}

// Step 11: the drive's record is complete and joins the discovery table.
uint8_t EnterDrive() {
    DRIVE_INFO* ps = psNextRecord();
    const uint8_t bTarget = bGetPhaseParam2();
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetSASAddressOfTarget(ps->abWWN, bTarget) != STATUS_OK ||
        bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) != STATUS_OK) {
        NextStep(REBUILD_STEP_NEXT_DEVICE);
        return STATUS_OK;
    }
    ps->bLoopID1 = bTarget;
    ps->bLoopID2 = NO_ID;
    ps->bHardIDFromADISC = bTarget;
    ps->bEnclosureNo = bEnclosure;
    ps->bSlotNo = bSlot;
    ps->bSES_SlotId = bSlotToSesSlotId(bSlot);
    const bool fIdsAgree = (ps->bLoopID1 == ps->bHardIDFromADISC || ps->bLoopID1 == NO_ID) &&
                           (ps->bLoopID2 == ps->bHardIDFromADISC || ps->bLoopID2 == NO_ID);
    if (fIsDriveTableFirstBuild() == TRUE && fIdsAgree) {
        ps->dVerifyNextBlock = dGetNvramDriveWord(ps->bHardIDFromADISC);
    } else {
        ps->dVerifyNextBlock = 0;
        ps->bVerifyRepair = 0;
        if (fIsDriveTableFirstBuild() != TRUE && fIdsAgree) SetNvramDriveWord(ps->bHardIDFromADISC, 0);
    }
    if (IsStoredFileForDrive(ps)) {
        ps->fFirmwareFileStored = TRUE;
        AddDriveFirmwareImage(pWork(WORK_FIRMWARE_PROBE));
    }
    (void)fAppendDriveInfo(pGetDriveInfoListDiscovery(), ps);
    NextStep(REBUILD_STEP_NEXT_DEVICE);
    return STATUS_OK;
}

// Step 3, asked for from outside: tells the enclosure whether the drive at
// the phase's path and loop ID stands in the failed-drive list.
uint8_t SendSlotFaultFlag() {
    uint8_t abWwn[8];
    if (fGetDriveWwnByLoopId(bGetPhaseParam1(), bGetPhaseParam2(), abWwn) != TRUE) {
        NextStep(REBUILD_STEP_NEXT_DEVICE);
        return STATUS_OK;
    }
    const uint8_t fFailed = fIsWwnInFailedDriveList(abWwn, pGetConfigImage());
    const uint8_t abPage[8] = {0xA0, 0, 0, 2, 0, static_cast<uint8_t>(fFailed == TRUE ? 1 : 0), 0, 0};
    std::memcpy(pWork(WORK_DATA), abPage, sizeof abPage);
    const uint8_t abCdb[10] = {SCSI_SEND_DIAGNOSTIC, 0x10, 0, 0, 0x06};
    const uint8_t b = SendDriveCommand(abCdb, DRIVE_COMMAND_DATA_OUT, sizeof abPage, WORK_DATA,
                                       DRIVE_COMMAND_TYPE_SEND_DIAGNOSTIC, REBUILD_STEP_NEXT_DEVICE);
    if (b == STATUS_OK) {
        DRIVE_INFO_LIST* psList = pGetDriveInfoListDiscovery();
        if (psList->bDriveCount > 0) psList->asDriveInfo[psList->bDriveCount - 1].bSES_ControlFlags = fFailed;
    }
    return b;
}

bool HasLinePowerMark(const DRIVE_INFO_LIST* psList) {
    for (uint8_t i = 0; i < psList->bDriveCount && i < DRIVE_INFO_RECORDS; ++i) {
        if (psList->asDriveInfo[i].bHardIDFromADISC == LINE_POWER_MARK_ID) return true;
    }
    return false;
}

void FinishRescan() {
    SetDriveRescanInProgress(FALSE);
    EndConfigPhase();
}

// Step 17: the table is sorted by enclosure and slot and replaces the
// current one.
uint8_t EndRebuild() {
    if (fIsMasterController() != TRUE) return STATUS_OK;   // the step stays for later
    DRIVE_INFO_LIST* psDiscovery = pGetDriveInfoListDiscovery();
    const SAS_DEVICE_LIST* psDevices = pGetSASDriveInfoList();
    const uint8_t bStp = psDevices->bStpCount < SAS_MAX_STP_ENTRIES ? psDevices->bStpCount : SAS_MAX_STP_ENTRIES;
    std::memcpy(psDiscovery->aabEnclosureRecord, psDevices->aabStp, sizeof psDiscovery->aabEnclosureRecord);
    psDiscovery->bEnclosureRecordCount = bStp;
    DRIVE_INFO_LIST* psSorted = pGetDriveInfoListSorted();
    SortDriveInfoList(psDiscovery, psSorted);

    // A line-power shelf announces itself by a drive at id 15: when it came
    // or went, the configuration is read again.
    if (fIsLinePowerMode() == TRUE && fIsProductionTestMode() != TRUE &&
        HasLinePowerMark(pGetDriveInfoList()) != HasLinePowerMark(psDiscovery)) {
        CommitDriveInfoList();
        FinishRescan();
        (void)LoadConfigFromSasDrives();
        (void)ApplyStoredSettings(TRUE, FALSE);
        SetLoopResetRequest(1, TRUE);
        SetLoopResetRequest(2, TRUE);
        return STATUS_OK;
    }

    const uint8_t bEnclosures = bGetHighestEnclosureNumber(psSorted);
    if (bEnclosures == 0) {
        SetSesLevel(SES_LEVEL_1);
        PostEvent(EVENT_NO_ENCLOSURE);
    } else if (bEnclosures != 1) {
        // The enclosure discovery commits the table when it has read them.
        RebuildEnclosureTable();
        StartEnclosureDiscovery();
        return STATUS_OK;
    }
    if (bGetSesLevel() == SES_LEVEL_3) {
        SetSesDataValid(TRUE);
        SetWorkPending(TRUE);
        StartEnclosureJob(ENCLOSURE_JOB_REFRESH);
    }
    CommitDriveInfoList();
    SortDriveList();
    ClearDriveSlotMaps();
    // The partner sees the same drives: it takes this table and the file
    // list, the step running again until both could go.
    if (fIsDualControllerActive() == TRUE && bSendDriveTablesToPartner() == STATUS_RETRY) return PHASE_RUN_AGAIN;
    if (fIsSesDataReady() != TRUE) return PHASE_RUN_AGAIN;
    RebuildEnclosureTable();
    RequestEnclosureStatusUpdate(TRUE);
    FinishRescan();
    return STATUS_OK;
}

void RescanSpinUpDone(void*) {
    SetDriveRescanSpinUpWait(FALSE);
    SetWorkPending(TRUE);
    UpdateArrayAPMStatesOnEvent(2);
}

}  // namespace

uint8_t RebuildDriveTables(uint8_t bStep) {
    // A drive whose last command failed is left out and the next one read.
    if ((bStep == REBUILD_STEP_TEST_UNIT_READY ||
         (bStep >= REBUILD_STEP_IDENTIFY && bStep <= REBUILD_STEP_ENTER)) &&
        fStartDrivePhaseStep(REBUILD_STEP_NEXT_DEVICE) == TRUE) {
        return STATUS_OK;
    }
    switch (bStep) {
    case REBUILD_STEP_START:
        if (s_fClearCurrentTable == TRUE) {
            ClearDriveInfoList(pGetDriveInfoList());
            s_fClearCurrentTable = FALSE;
        }
        s_fPartnerListAsked = FALSE;
        ClearDriveInfoList(pGetDriveInfoListDiscovery());
        ClearDriveInfoList(pGetDriveInfoListSorted());
        SetPhaseParam1(PORT_CODE_INITIATOR);
        SetPhaseParam4(0);
        NextStep(REBUILD_STEP_NEXT_DEVICE);
        return STATUS_OK;
    case REBUILD_STEP_NEXT_DEVICE:
        return NextDevice();
    case REBUILD_STEP_START_UNIT: {
        const uint8_t abCdb[10] = {SCSI_START_STOP_UNIT, 0x01, 0, 0, 0x01};
        return SendDriveCommand(abCdb, DRIVE_COMMAND_NO_DATA, 0, 0, DRIVE_COMMAND_TYPE_START_UNIT,
                                REBUILD_STEP_TEST_UNIT_READY);
    }
    case REBUILD_STEP_TEST_UNIT_READY: {
        const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
        return SendDriveCommand(abCdb, DRIVE_COMMAND_NO_DATA, 0, 0, DRIVE_COMMAND_TYPE_TEST_UNIT_READY,
                                REBUILD_STEP_IDENTIFY);
    }
    case REBUILD_STEP_IDENTIFY:
        return IdentifyDrive();
    case REBUILD_STEP_CAPACITY:
        return ReadCapacity();
    case REBUILD_STEP_MODE_CURRENT:
        return TakeCapacity();
    case REBUILD_STEP_MODE_DEFAULT:
        return SendModeSense(MODE_PAGE_CONTROL_DEFAULT, WORK_MODE_DEFAULT, REBUILD_STEP_MODE_CHANGEABLE);
    case REBUILD_STEP_MODE_CHANGEABLE:
        return SendModeSense(MODE_PAGE_CONTROL_CHANGEABLE, WORK_MODE_CHANGEABLE, REBUILD_STEP_MODE_SELECT);
    case REBUILD_STEP_MODE_SELECT:
        return SelectModePages();
    case REBUILD_STEP_FIRMWARE_PROBE:
        return ProbeFirmwareFile();
    case REBUILD_STEP_ENTER:
        return EnterDrive();
    case REBUILD_STEP_SES_SLOT_FLAG:
        return SendSlotFaultFlag();
    case REBUILD_STEP_END:
        return EndRebuild();
    default:
        return STATUS_OK;
    }
}

uint8_t fRequestDriveRescan() {
    if (fIsProductionTestMode() != TRUE) SetDriveRescanRequest(TRUE);
    return TRUE;
}
void SetDriveRescanRequest(uint8_t f) {
    s_fRescanRequest = f;
    if (f == TRUE) SetWorkPending(TRUE);
}
uint8_t fIsDriveRescanRequested() { return s_fRescanRequest; }
void SetDriveRescanInProgress(uint8_t f) { s_fRescanInProgress = f; }
uint8_t fIsDriveRescanInProgress() { return s_fRescanInProgress; }
void SetDriveRescanSpinUpWait(uint8_t f) { s_fSpinUpWait = f; }
uint8_t fIsDriveRescanSpinUpWait() { return s_fSpinUpWait; }
uint8_t fGetDriveRescanBlockingFlag() { return s_fSpinUpWait; }
uint8_t fClearDriveRescanFlags() {
    if (s_fRescanRequest != TRUE && s_fRescanInProgress != TRUE && s_fSpinUpWait != TRUE) return FALSE;
    s_fRescanRequest = s_fRescanInProgress = s_fSpinUpWait = FALSE;
    return TRUE;
}
void SetClearCurrentDriveTable(uint8_t f) { s_fClearCurrentTable = f; }
uint8_t fGetClearCurrentDriveTable() { return s_fClearCurrentTable; }
void SetFirmwareDownloadRescan(uint8_t f) { s_fFirmwareDownloadRescan = f; }
uint8_t fGetFirmwareDownloadRescan() { return s_fFirmwareDownloadRescan; }

void ProcessDriveRescanRequest() {
    DRIVE_MASK_SET sSpunDown;
    ClearPendingSpinDowns();
    if (bCollectSpunDownDrives(&sSpunDown) == 0) {
        RequestConfigurationService();
        SetConfigPhase(CONFIG_PHASE_DRIVE_TABLES);
        SetConfigPhaseStep(REBUILD_STEP_START);
        SetPhaseParam3(0);
        SetPhaseParam4(0);
        SetPhaseParam2(NO_ID);
        SetDriveRescanRequest(FALSE);
        SetDriveRescanInProgress(TRUE);
        return;
    }
    // Drives spun down by power management would not answer: they spin up
    // first, and the request is served again when they have.
    if (bRequestDriveSpinUp(&sSpunDown, RescanSpinUpDone, nullptr) == PHASE_RUN_AGAIN) return;
    SetDriveRescanSpinUpWait(TRUE);
    UpdateArrayAPMStatesOnEvent(3);
}

void RebuildDriveTargetIds() {
    DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    for (uint8_t i = 0; i < ps->bDriveCount && i < DRIVE_INFO_RECORDS; ++i) {
        DRIVE_INFO& s = ps->asDriveInfo[i];
        uint8_t bTarget = NO_ID;
        (void)bGetTargetIdBySASAddress(s.abWWN, &bTarget);
        s.bLoopID1 = s.bHardIDFromADISC = bTarget;
    }
    SortDriveList();
}

uint8_t fFindKnownDriveByWwn(const uint8_t* pbWwn, uint8_t* pbIndex) {
    DRIVE_INFO* psRecord = nullptr;
    uint8_t bIndex = 0;
    SAS_DEVICE_ENTRY* psDevice = nullptr;
    if (fFindDriveByWWN(pbWwn, &psRecord, &bIndex) != TRUE ||
        bGetSASDeviceEntryBySASAddress(pbWwn, &psDevice) != STATUS_OK ||
        psDevice->bTargetId != psRecord->bHardIDFromADISC) {
        return FALSE;
    }
    uint8_t abRevision[4];
    if (bGetSATAFirmwareRevisionOfTarget(psDevice->bTargetId, abRevision) == STATUS_OK &&
        std::memcmp(abRevision, psRecord->acRevision, sizeof abRevision) != 0) {
        return FALSE;
    }
    *pbIndex = bIndex;
    return TRUE;
}

uint8_t bGetDrivePathType(const uint8_t* pbWwn) {
    uint8_t bIndex = 0;
    SAS_DEVICE_ENTRY* psDevice = nullptr;
    if (fIsNonZeroWwn(pbWwn) != TRUE || fFindKnownDriveByWwn(pbWwn, &bIndex) != TRUE ||
        bGetSASDeviceEntryBySASAddress(pbWwn, &psDevice) != STATUS_OK) {
        return DRIVE_PATH_NONE;
    }
    if (psDevice->fSAS == TRUE) return DRIVE_PATH_SAS;
    switch (psDevice->bStatus & SAS_DEVICE_STATUS_MUX_MASK) {
    case SAS_DEVICE_STATUS_MUX_ACTIVE_ACTIVE:
        return DRIVE_PATH_SATA_ACTIVE_ACTIVE;
    case SAS_DEVICE_STATUS_MUX_MASK:
        return DRIVE_PATH_SATA_DUAL_DEVICE;
    default:
        return DRIVE_PATH_SATA_ACTIVE_PASSIVE;
    }
}

uint8_t fIsDrivePathTypeSupported(const uint8_t* pbWwn) {
    // Active-passive multiplexers are not supported by this firmware.
    constexpr bool ACTIVE_PASSIVE_SUPPORTED = false;
    const uint8_t bType = bGetDrivePathType(pbWwn);
    if (bType == DRIVE_PATH_SATA_DUAL_DEVICE) return FALSE;
    return ToFlag(bType != DRIVE_PATH_SATA_ACTIVE_PASSIVE || ACTIVE_PASSIVE_SUPPORTED);
}

uint8_t fIsDriveQualified(const uint8_t* pbWwn, uint8_t fReport) {
    uint8_t fQualified = TRUE;
    if (fIsDrivePathTypeSupported(pbWwn) != TRUE) {
        fQualified = FALSE;
    } else if (dGetOemCode() == OEM_STANDARD) {
        if (bGetDrivePathType(pbWwn) == DRIVE_PATH_SATA_ACTIVE_ACTIVE) fQualified = fIsSASActiveActiveModeSet();
    } else if (dGetOemCode() == OEM_RESTRICTED) {
        DRIVE_INFO* psRecord = nullptr;
        uint8_t bIndex = 0;
        if (fIsNonZeroWwn(pbWwn) != TRUE || fFindDriveByWWN(pbWwn, &psRecord, &bIndex) != TRUE) return 0;
        // Each place must hold the letter of one of the two accepted names.
        for (uint32_t i = 0; i < sizeof VENDOR_NAME_A; ++i) {
            const char c = psRecord->acVendorID[i];
            if (c != VENDOR_NAME_A[i] && c != VENDOR_NAME_B[i]) fQualified = FALSE;
        }
    }
    if (fQualified != TRUE && fReport == TRUE) {
        PostEvent(EVENT_DRIVE_NOT_QUALIFIED, pbWwn[0], pbWwn[1], pbWwn[2], pbWwn[3], pbWwn[4], pbWwn[5], pbWwn[6],
                  pbWwn[7], bGetDriveIndexOfWWN(pbWwn));
    }
    return fQualified;
}

void RunBackgroundDriveVerifyPass() {
    constexpr uint8_t MAX_VERIFY_ID = 125;
    constexpr uint32_t VERIFY_BLOCKS = 4096;
    constexpr uint8_t RANK_SPARE = 245;
    constexpr uint8_t RANK_NONE = 255;
    constexpr uint8_t RANK_MEMBERS_BELOW = 64;
    if (fIsMasterController() != TRUE || fIsProductionTestMode() == TRUE || fGetDriveAttentionFlag() == TRUE ||
        fIsXmodemReceiveActive() == TRUE || s_fRescanRequest == TRUE || s_fRescanInProgress == TRUE) {
        return;
    }
    if (fIsDriveFirmwareDownloadInProgress() == TRUE || fIsConfigUpdatePending() == TRUE) {
        SetDriveServiceWorkA(FALSE);
        return;
    }
    if (fGetVerifyEnabled() != TRUE || fGetAPMHoldFlag() == TRUE || dGetDriveVerifyOutstanding() != 0) return;
    const bool fApmVerify = fIsAPMDriveVerifyRunning() == TRUE;
    const DRIVE_PATH_MAP_ENTRY* psMap = psGetDrivePathMap(3);
    for (uint8_t i = 0; i < DRIVE_PATH_MAP_ENTRIES; ++i) {
        const uint8_t bId = psMap[i].bOwnId;
        DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (bId > MAX_VERIFY_ID || fFindDriveByLoopID(0, bId, &ps, &bIndex) != TRUE) continue;
        // Power management's own verify takes spares and unassigned drives
        // only as its options say, and leaves array members alone.
        if (fApmVerify && (ps->bRankNo < RANK_MEMBERS_BELOW ||
                           (ps->bRankNo == RANK_SPARE && fGetAPMOptionBit(3) != TRUE) ||
                           (ps->bRankNo == RANK_NONE && fGetAPMOptionBit(4) != TRUE))) {
            continue;
        }
        // The record holds the last block's address: the last range ends on it.
        const uint32_t dStart = ps->dVerifyNextBlock <= ps->dCapacity ? ps->dVerifyNextBlock : 0;
        ps->bVerifyRepair = 0;
        ReportDriveActivity(ps->bEnclosureNo, ps->bSlotNo);
        const uint64_t dLeft = uint64_t(ps->dCapacity) + 1 - dStart;
        const uint16_t wBlocks = static_cast<uint16_t>(dLeft < VERIFY_BLOCKS ? dLeft : VERIFY_BLOCKS);
        if (IssueDriveVerifyCommand(PORT_CODE_INITIATOR, bId, wBlocks, dStart, FALSE) == STATUS_OK) {
            IncrementDriveVerifyOutstanding();
        }
    }
}

void ResetDriveRescanFlags() {
    s_fRescanRequest = s_fRescanInProgress = s_fSpinUpWait = FALSE;
    s_fClearCurrentTable = s_fFirmwareDownloadRescan = FALSE;
}

}  // namespace fw
