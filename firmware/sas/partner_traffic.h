// The partner controller's traffic on the drive IOC: each controller's IOC
// is initiator towards the other and target for it.  The requests that carry
// one outgoing message, and the target-mode requests that move the data of,
// and return the status of, a command the partner sent.
#pragma once

#include <cstdint>

#include "executive/types.h"
#include "hw/addresses.h"

namespace fw {

struct INTER_CONTROLLER_MESSAGE;
struct PARTNER_MESSAGE_SLOT;

// The CRC the two controllers put on each CDB: the IEEE 802.3 CRC-32 of the
// words' bytes taken most significant first, returned with its four bytes
// in reverse order, which is how the LUN field carries it (low half first,
// each half least significant byte first).
uint32_t dCalculateMessageCRC32(const uint32_t* pdWords, uint32_t dCount);

// Posts the SCSI IO request of one message: 255 posted, 16 later, or the
// frame allocation's status.
uint8_t bSendMessageToPartnerIOC(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t wSlot, uint8_t bCommandType);

// Target side, for a command from the partner.
void SendPartnerTargetStatus(PARTNER_MESSAGE_SLOT* psSlot, uint8_t bStatus, uint8_t bSenseKey, uint8_t bAsc,
                             uint8_t bAscq);
uint8_t SendPartnerTargetData(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength, uint8_t bStatus);
uint8_t ReceivePartnerTargetData(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength);
void SendPartnerStatusBytes(PARTNER_MESSAGE_SLOT* psSlot, uint8_t bStatus, uint8_t bSenseKey, uint8_t bAsc,
                            uint8_t bAscq);
// The answer to a task management request from the partner.  STATUS_OK
// when it went to the IOC: the slot then stays in use until the IOC's
// reply for it, which frees it; otherwise its command buffer was given back
// and the caller frees the slot.
uint8_t AnswerPartnerTaskManagement(PARTNER_MESSAGE_SLOT* psSlot);
// TARGET MODE ABORT: type 2 drops the command of an IoIndex, type 3 the
// request (by its context) in flight for it.
uint8_t bSendTargetModeAbort(uint8_t bType, uint16_t wIoIndex, uint32_t dReplyWord, uint32_t dContextToAbort);
// The reply of a TARGET MODE ABORT, by its context.
void PartnerTargetAbortReply(uint32_t dContext);
// After a message of code 96 or 118: the partner's four status bytes, when
// it sent any, moved into the request's sense fields.
uint8_t fGetPartnerStatusBytes(uint8_t bIocId, uint16_t wRequest);

// Reply dispatch: a target context reply (a new command from the partner,
// or the end of a data or status phase), and the error reply of a target
// request.
void PartnerTargetReply(uint16_t wIoIndex);
void PartnerTargetErrorReply(uint16_t wIoIndex);
// Messages to the partner the IOC has not answered by their deadline end as
// not delivered (transport status 1) after an ABORT TASK.
void ScanPartnerMessageTimeouts();

}  // namespace fw
