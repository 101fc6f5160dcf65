// Internal drive commands on the drive loops, and the mode page adjustment.
#include "enclosure/drive_commands.h"

#include <algorithm>
#include <cstring>

#include "enclosure/drive_table.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint8_t IOCB_COMMAND_ENTRY = 0x11;
constexpr uint16_t IOCB_CONTROL_SIMPLE = 0x02;
constexpr uint16_t IOCB_CONTROL_DATA_IN = 0x20;
constexpr uint16_t IOCB_CONTROL_DATA_OUT = 0x40;
constexpr uint16_t STATUS_SENSE_VALID = 0x200;
constexpr uint16_t STATUS_CHECK_WITH_SENSE = STATUS_SENSE_VALID | SCSI_STATUS_CHECK_CONDITION;
constexpr uint16_t STATUS_SENSE_MASK = 0x2FF;
constexpr uint8_t HEARTBEAT_BUFFER_ID = 12;
constexpr uint32_t READ_CAPACITY_BYTES = 8;

enum : uint8_t { NO_DATA, DATA_IN, DATA_OUT };

uint16_t wGetLe16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | pb[1] << 8); }

// One command: a page for the IOCB, the execute-IOCB mailbox, the wait, the
// status entry the chip wrote over the IOCB.  The page goes back on every
// path.
uint8_t IssueDriveCommand(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, const uint8_t* pbCdb,
                          uint8_t bCdbLength, uint8_t bDirection, uint32_t dLength, BUFFER_HANDLE dData,
                          uint8_t fUnderrunGood, const DRIVE_COMMAND_RESULT& sOut) {
    BUFFER_HANDLE dPage;
    if (bAllocDataPages(BUFFER_BANK_EITHER, 1, &dPage) != STATUS_OK) return 0;
    uint8_t* pbPage = static_cast<uint8_t*>(pBufferHandleToPointer(dPage));
    BuildDriveCommandIocb(reinterpret_cast<DRIVE_COMMAND_IOCB*>(pbPage), bAlpaToLoopId(bAlpa), bLun, wTimeout, pbCdb,
                          bCdbLength, bDirection, dLength, dLength != 0 ? static_cast<uint32_t>(dBufferHandleToPciAddress(dData)) : 0);
    uint8_t bResult = 0;
    if (bQLExecuteIocb(bChip, dBufferHandleToPciAddress(dPage)) == STATUS_OK &&
        bWaitMailboxComplete(bChip) == STATUS_OK) {
        bResult = bReadDriveCommandStatus(pbPage, fUnderrunGood, sOut);
    }
    (void)wFreeDataPages(dPage, 1);
    return bResult;
}

// The value the controller wants in byte i of a mode page, given what the
// drive holds now and its default.
uint8_t bWantedModeByte(uint8_t bPage, uint32_t i, uint8_t bCurrent, uint8_t bDefault, bool fQuirkVendor) {
    switch (bPage) {
    case 0x01:   // read-write error recovery: retry counts stay, 5 s recovery limit
        if (i == 2) return 0xCC;
        if (i == 3 || i == 8) return bCurrent;
        if (i == 10) return 0x13;
        if (i == 11) return 0x88;
        break;
    case 0x07:   // verify error recovery
        if (i == 2) return 0x04;
        if (i == 3) return bCurrent;
        if (!fQuirkVendor && i == 10) return 0x13;
        if (!fQuirkVendor && i == 11) return 0x88;
        break;
    case 0x08:   // caching: write cache off, read cache on
        if (i == 2) return bCurrent & 0xFA;
        break;
    case 0x1C:   // informational exceptions: report on request
        if (i == 2) return 0x90;
        if (i == 3) return 0x04;
        break;
    default:
        break;
    }
    return bDefault;
}

}  // namespace

void BuildDriveCommandIocb(DRIVE_COMMAND_IOCB* psIocb, uint8_t bLoopId, uint8_t bLun, uint16_t wTimeout,
                           const uint8_t* pbCdb, uint8_t bCdbLength, uint8_t bDirection, uint32_t dLength,
                           uint32_t dAddress) {
    const uint8_t bSystemDefined = psIocb->bSystemDefined;
    std::memset(psIocb, 0, sizeof *psIocb);
    psIocb->bSystemDefined = bSystemDefined;
    psIocb->bEntryType = IOCB_COMMAND_ENTRY;
    psIocb->bEntryCount = 1;
    psIocb->wTarget = bLoopId;
    psIocb->wLun = bLun;
    psIocb->wControlFlags = IOCB_CONTROL_SIMPLE | (bDirection == DATA_IN    ? IOCB_CONTROL_DATA_IN
                                                   : bDirection == DATA_OUT ? IOCB_CONTROL_DATA_OUT
                                                                            : 0);
    psIocb->wTimeout = wTimeout;
    psIocb->wSegmentCount = 1;
    std::memcpy(psIocb->abCdb, pbCdb, std::min<uint32_t>(bCdbLength, sizeof psIocb->abCdb));
    psIocb->dTotalByteCount = dLength;
    psIocb->dSegmentAddress = dAddress;
    psIocb->dSegmentLength = dLength;
}

uint8_t bReadDriveCommandStatus(const uint8_t* pbEntry, uint8_t fUnderrunGood, const DRIVE_COMMAND_RESULT& sOut) {
    const uint16_t wStatus = wGetLe16(pbEntry + DRIVE_STATUS_SCSI_STATUS);
    const uint16_t wCompletion = wGetLe16(pbEntry + DRIVE_STATUS_COMPLETION);
    const uint8_t bStatus = static_cast<uint8_t>(wStatus);
    *sOut.pbStatus = bStatus;
    if (bStatus != SCSI_STATUS_GOOD && (wStatus & STATUS_SENSE_MASK) == STATUS_CHECK_WITH_SENSE) {
        *sOut.pbSenseKey = pbEntry[DRIVE_STATUS_SENSE_KEY];
        *sOut.pbAsc = pbEntry[DRIVE_STATUS_ASC];
        *sOut.pbAscq = pbEntry[DRIVE_STATUS_ASCQ];
    }
    const bool fComplete =
        wCompletion == DRIVE_COMPLETION_GOOD || (fUnderrunGood == TRUE && wCompletion == DRIVE_COMPLETION_UNDERRUN);
    return fComplete && bStatus == SCSI_STATUS_GOOD ? STATUS_OK : 0;
}

uint8_t bTestDriveUnitReady(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                            uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    const uint8_t abCdb[6] = {SCSI_TEST_UNIT_READY};
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 6, NO_DATA, 0, NULL_BUFFER_HANDLE, FALSE,
                             {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t bStartDriveUnit(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                        uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    const uint8_t abCdb[6] = {SCSI_START_STOP_UNIT, 0x01, 0, 0, 0x01, 0};
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 6, NO_DATA, 0, NULL_BUFFER_HANDLE, FALSE,
                             {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t bInquireDrive(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                      uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer, uint8_t bLength) {
    const uint8_t abCdb[6] = {SCSI_INQUIRY, 0, 0, 0, bLength, 0};
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 6, DATA_IN, bLength, dBuffer, FALSE,
                             {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t bReadDriveCapacity(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                           uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer) {
    const uint8_t abCdb[10] = {SCSI_READ_CAPACITY10};
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 10, DATA_IN, READ_CAPACITY_BYTES, dBuffer, FALSE,
                             {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t bModeSenseDrive(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                        uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer, uint8_t bLength,
                        uint8_t bPage, uint8_t bPageControl) {
    const uint8_t abCdb[6] = {SCSI_MODE_SENSE6, 0, static_cast<uint8_t>(bPageControl | bPage), 0, bLength, 0};
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 6, DATA_IN, bLength, dBuffer, TRUE,
                             {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t bModeSelectDrive(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                         uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer, uint8_t bLength,
                         uint8_t fSave) {
    const uint8_t abCdb[6] = {SCSI_MODE_SELECT6, static_cast<uint8_t>(fSave == TRUE ? 0x11 : 0x00), 0, 0, bLength, 0};
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 6, DATA_OUT, bLength, dBuffer, FALSE,
                             {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t bReadDriveBlocks(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                         uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, uint32_t dLba, uint16_t wBlocks,
                         BUFFER_HANDLE dBuffer) {
    uint8_t abCdb[10] = {SCSI_READ10};
    PutBe32(abCdb + 2, dLba);
    PutBe16(abCdb + 7, wBlocks);
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 10, DATA_IN, wBlocks * 512u, dBuffer, FALSE,
                             {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t bReadDriveBuffer(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                         uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, uint8_t bBufferId, uint32_t dLength,
                         BUFFER_HANDLE dBuffer) {
    dLength &= 0xFFFFFF;
    const uint8_t bMark = bBufferId == HEARTBEAT_BUFFER_ID ? fGetHeartbeatRequestFlag() : 0;
    uint8_t abCdb[10] = {SCSI_READ_BUFFER, 0, bBufferId, bMark};
    PutBe24(abCdb + 4, dLength);
    return IssueDriveCommand(bChip, bAlpa, bLun, wTimeout, abCdb, 10, dLength != 0 ? DATA_IN : NO_DATA, dLength,
                             dBuffer, TRUE, {pbStatus, pbSenseKey, pbAsc, pbAscq});
}

uint8_t fAdjustDriveModePages(const DRIVE_INFO* psDrive, uint8_t* pbCurrent, const uint8_t* pbDefault,
                              const uint8_t* pbChangeable) {
    constexpr uint32_t FIRST_PAGE = 12;   // behind the header and the block descriptor
    const bool fQuirkVendor = std::memcmp(psDrive->acVendorID, "FUJI", 4) == 0 &&
                              std::memcmp(psDrive->acVendorID + 4, "TSU", 3) == 0;
    // What each reply holds; a page that would run past any of them ends
    // the walk, so nothing beyond the data received is read or written.
    auto End = [](const uint8_t* pb) { return std::min<uint32_t>(pb[0] + 1u, MODE_PAGE_BUFFER_BYTES); };
    const uint32_t dEnd = std::min({End(pbCurrent), End(pbDefault), End(pbChangeable)});
    bool fChanged = false;
    for (uint32_t dAt = FIRST_PAGE; dAt + 2 <= dEnd;) {
        const uint32_t dLength = pbCurrent[dAt + 1];
        if (dAt + 2 + dLength > dEnd) break;
        pbCurrent[dAt] &= 0x3F;
        const uint8_t bPage = pbCurrent[dAt];
        if (bPage != (pbDefault[dAt] & 0x3F) && bPage != (pbChangeable[dAt] & 0x3F)) return FALSE;
        if (dLength != pbDefault[dAt + 1] && dLength == pbChangeable[dAt + 1]) return FALSE;
        for (uint32_t i = 2; i < dLength + 2; ++i) {
            uint8_t& bNow = pbCurrent[dAt + i];
            const uint8_t bWant = bWantedModeByte(bPage, i, bNow, pbDefault[dAt + i], fQuirkVendor);
            const uint8_t bDiffer = bWant ^ bNow;
            // A byte needing a bit the drive does not let change is left whole.
            if (bDiffer == 0 || (bDiffer & ~pbChangeable[dAt + i]) != 0) continue;
            bNow = bWant;
            fChanged = true;
        }
        dAt += 2 + dLength;
    }
    if (!fChanged) return FALSE;
    pbCurrent[0] = pbCurrent[1] = pbCurrent[2] = 0;
    std::memset(pbCurrent + 4, 0, 5);
    // The block descriptor keeps the drive's own block length (bytes 9-11)
    // and asks for no change of capacity (number of blocks 0), so a MODE
    // SELECT of it changes no drive's format: the pages go back unless no
    // byte of that length looks like a 512-byte block's.
    return ToFlag(pbCurrent[9] == 0x00 || pbCurrent[10] == 0x02 || pbCurrent[11] == 0x00);
}

}  // namespace fw
