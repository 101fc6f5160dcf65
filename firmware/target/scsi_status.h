// Every host command ends here: the SCSI status with its fixed-format sense,
// the data-in and data-out phases with their residuals, aborted and stale
// commands, and the routing of each to the driver of the command's port.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// One piece of a data transfer: bus address and byte count.
struct TRANSFER_SEGMENT {
    uint32_t dAddress;
    uint32_t dLength;
};
constexpr uint8_t MAX_TRANSFER_SEGMENTS = 3;

// Sense data sent with a CHECK CONDITION on a Fibre Channel port: the whole
// 18-byte fixed form.
constexpr uint16_t FIBRE_SENSE_LENGTH = 18;

// The caller has set the primary state (21 as a rule).  The code is a SCSI
// status (0 GOOD, 8 BUSY, 0x18 RESERVATION CONFLICT, 0x28 TASK SET FULL) or,
// for any other value, the sense key of a CHECK CONDITION with the ASC and
// ASCQ given.  Returns what the port's driver returns.
uint8_t SendScsiStatus(KERNEL_ENTRY* psEntry, uint8_t bCode, uint8_t bAsc, uint8_t bAscq);
// What the sense of the command's CHECK CONDITION carries besides: the
// INFORMATION field; or the field of the CDB at fault (its byte, and the
// bit of the field's highest bit), in the sense-key-specific bytes.  Set
// before SendScsiStatus.
void SetSenseInformation(KERNEL_ENTRY* psEntry, uint32_t dInformation);
void SetSenseCdbField(KERNEL_ENTRY* psEntry, uint16_t wByte, uint8_t bBit);

// Sends the segments to the host, and with fSendStatus TRUE the GOOD status
// in the same exchange.  Never sends more than the initiator asked for: the
// rest is reported as an overrun.  255, or 0 when the port's request ring
// has no room (the caller keeps the command and tries again).
uint8_t StartDataInTransfer(KERNEL_ENTRY* psEntry, const TRANSFER_SEGMENT* psSegments, uint8_t bSegments,
                            uint8_t fSendStatus);

// Asks the host for the command's data into the segments; the command is in
// state 18 until the data has arrived ("Data Received", state 23).
void StartDataOutTransfer(KERNEL_ENTRY* psEntry, const TRANSFER_SEGMENT* psSegments, uint8_t bSegments);

// Fibre Channel: a command whose host loop was reset since it arrived has
// lost its exchange.  TRUE when that is so: the command is then finished as
// aborted without a status and its chip resource given back; the caller only
// takes it off the ring it was on.
uint8_t fFinishIfLoopReset(KERNEL_ENTRY* psEntry);

// ISP24xx: converts the received ATIO into the common head layout and looks
// the initiator's handle up.  255 converted; 16 the command was answered
// and taken off its ring: BUSY when its sender is not in the handle map,
// TASK SET FULL when the chip had no exchange for it.
uint8_t ConvertAtio7Command(KERNEL_ENTRY* psEntry);

// A host on Fibre Channel sends no more of a write's data than FCP_DL.  A
// WRITE(16) whose CDB asks for more is cut to the whole blocks FCP_DL holds,
// so that no block is written with data the host never sent, and the
// shortfall goes out as an overrun with the command's GOOD; an FCP_DL beyond
// the CDB's length goes out as an underrun.  Answers the blocks left to
// write (0: nothing to transfer); a block is dBlockFactor 512-byte units.
uint32_t dFitFibreWriteToExpectedLength(KERNEL_ENTRY* psEntry, uint32_t dBlockFactor);

}  // namespace fw
