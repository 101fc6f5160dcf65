// The drive-side SCSI command path: one KERNEL_ENTRY becomes one request
// frame of the drive IOC (a SCSI IO request, or a SATA passthrough for the
// commands the controller translates itself), and the waited commands used
// outside the I/O path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"

namespace fw {

// Target flag bits read here.
constexpr uint32_t SAS_TARGET_FLAG_NATIVE = 0x001;
constexpr uint32_t SAS_TARGET_FLAG_REFUSE = 0x002;
// A batch of held writes failed on the drive: what it held may be lost.
constexpr uint32_t SAS_TARGET_FLAG_BATCH_FAILED = 0x004;
constexpr uint32_t SAS_TARGET_FLAG_ONE_AT_A_TIME = 0x080;
constexpr uint32_t SAS_TARGET_FLAG_OVERRIDE = 0x100;
constexpr uint32_t SAS_TARGET_FLAG_HELD = 0x800;
constexpr uint32_t SAS_TARGET_FLAGS_BLOCKED = 0x260;   // bits 5, 6 and 9

// Transfer flags of a drive-side entry (wControlFlags).
constexpr uint16_t SAS_XFER_HEAD_OF_QUEUE = 0x02;
constexpr uint16_t SAS_XFER_ORDERED = 0x04;
constexpr uint16_t SAS_XFER_SGL = 0x08;
constexpr uint16_t SAS_XFER_IN = 0x20;
constexpr uint16_t SAS_XFER_OUT = 0x40;

constexpr uint8_t SAS_MAX_SGL_ELEMENTS = 39;
constexpr uint16_t SAS_WAITED_ENTRY_INDEX = 0x1010;

constexpr uint8_t SEND_POSTED = 255;
constexpr uint8_t SEND_TARGET_BUSY = 9;
constexpr uint8_t SEND_IOC_BUSY = 16;
constexpr uint8_t SEND_REFUSED = 0;

// Drive-side fields of an entry, in the drive side's range of its subsystem area.
#pragma pack(push, 1)
struct SAS_ENTRY_FIELDS {
    uint8_t bPartnerTargetId;
    uint8_t bSenseKey;
    uint8_t bAsc;
    uint8_t bAscq;
    uint16_t wRequestIndex;
    uint8_t bScsiStatus;
    uint8_t bTransportRetries;   // a host I/O child's transport errors so far
    uint64_t lIocSequence;
    uint8_t abSense[18];
};
#pragma pack(pop)
static_assert(sizeof(SAS_ENTRY_FIELDS) == KE_AREA_DRIVE_SIZE);
static_assert(offsetof(SAS_ENTRY_FIELDS, wRequestIndex) == 4);
static_assert(offsetof(SAS_ENTRY_FIELDS, lIocSequence) == 8);
static_assert(offsetof(SAS_ENTRY_FIELDS, abSense) == 16);
SAS_ENTRY_FIELDS* psSasFields(KERNEL_ENTRY* psEntry);

// Buffer element i of an entry: the first three in the entry, then seven
// in each following pool entry from its ninth byte on.
KERNEL_SEGMENT* psEntrySegment(KERNEL_ENTRY* psEntry, uint8_t bElement);

// Marks a drive-side entry completed and puts it on the initiator's
// completion ring.
void CompleteSASEntry(KERNEL_ENTRY* psEntry);
// Sends a drive-side entry that the drive did not finish again, as it is:
// back on the initiator's queue of new commands.
void RepostSASEntry(KERNEL_ENTRY* psEntry);

uint8_t SendSCSICommand(KERNEL_ENTRY* psEntry);
uint8_t bSendSCSICommandAndWait(uint8_t bTarget, uint8_t bBus, const uint8_t* pbCdb, uint8_t fDataIn,
                                uint32_t dLength, BUFFER_HANDLE dBuffer, uint8_t* pbScsiStatus, uint8_t* pbSenseKey,
                                uint8_t* pbAsc, uint8_t* pbAscq);
// The reply handler's completion of the waited command (frame null: a
// context reply, good status).  TRUE when it was the one waited for.
uint8_t fCompleteWaitedSCSICommand(uint16_t wRequestIndex, const uint8_t* pbReplyFrame);
// TRUE while a waited SCSI or ATA command is out.
uint8_t fIsSASWaitedCommandPending();
// Posts an ABORT TASK for a request of the drive IOC (from the reserve
// frames); the caller holds the drive-side lock.  255 posted, else the frame
// allocation's status.
uint8_t bSendSASAbortTask(uint8_t bTarget, uint16_t wRequestIndex, uint16_t wEntryIndex);
// Any other task management request (TARGET RESET for one), posted the
// same way.
uint8_t bSendSASTaskManagement(uint8_t bTarget, uint8_t bBus, uint8_t bTaskType, uint32_t dTaskContext);

// One ATA command through SATA passthrough, waited for up to 5 s.
// bDirection 0 write, 1 read, 2 none.  255 done, else 0.
struct ATA_TASK_FILE {
    uint8_t bCommand;
    uint8_t bFeatures;
    uint8_t bFeaturesExp;
    uint8_t abLba[6];   // LBA bytes 0-5
    uint8_t bDevice;
    uint8_t bCount;
    uint8_t bCountExp;
    uint8_t bControl;
};
uint8_t bSendATACommandAndWait(uint8_t bTarget, uint8_t bBus, uint8_t fDma, const ATA_TASK_FILE* psTaskFile,
                               uint8_t bDirection, uint32_t dLength, BUFFER_HANDLE dBuffer, uint8_t fReturnStatus,
                               uint8_t* pbStatusFis);
// The reply handler's completion of the waited ATA command.
uint8_t fCompleteWaitedATACommand(uint16_t wRequestIndex, const uint8_t* pbReplyFrame);
struct SAS_DEVICE_ENTRY;
// IDENTIFY DEVICE into the entry's identity fields; 255, or 0 when the
// drive does not answer in three tries.
uint8_t bIdentifySATADrive(uint8_t bTarget, uint8_t bBus, SAS_DEVICE_ENTRY* psEntry);
// IDENTIFY DEVICE and the write-cache policy for a SATA drive: 255 ready, 0 refused.
uint8_t bSetupSATADrive(SAS_DEVICE_ENTRY* psEntry);
// Makes one block of a SATA drive unreadable (WRITE UNCORRECTABLE EXT,
// flagged): the media error the drive diagnostics need.  255 or 0.
uint8_t bWriteUncorrectableSATA(uint8_t bTarget, uint8_t bBus, uint32_t dLbaLow, uint16_t wLbaHigh);
void SetSATAWriteCachePolicy(uint8_t f);
uint8_t fGetSATAWriteCachePolicy();

uint8_t bCheckSASQueueDepth(uint8_t bTarget, uint8_t fLocked, uint8_t bCommandType);
void CountSASTargetCommandIssued(uint8_t bTarget, uint8_t fLocked, uint8_t f158);
void CountSASTargetCommandDone(uint8_t bTarget, uint8_t fLocked);
void ClearSASTargetCommandCount(uint8_t bTarget, uint8_t fLocked);
uint16_t wGetSASTargetCommandCount(uint8_t bTarget, uint8_t fLocked);

// Commands refused for carrying more buffer elements than a request holds.
uint32_t dGetSASOversizedSglRefusals();

}  // namespace fw
