// The messages between the two controllers: two tables of message slots,
// the rings that carry slot numbers between the FIQ-level entry points and
// the main loop, sending with resends, and receiving with the CRC check and
// the hand-over to each message's handler.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/types.h"
#include "executive/buffer_pages.h"
#include "hw/addresses.h"
#include "partner/partner_link.h"

namespace fw {

constexpr uint16_t PARTNER_SLOTS = 8192;
constexpr uint16_t PARTNER_NO_SLOT = 0xFFFF;
constexpr uint8_t PARTNER_PATHS = 2;
// The most messages in flight on one path.
constexpr uint16_t PARTNER_PATH_IN_FLIGHT_MAX = 32;
// A partner that answers busy is asked again after this many milliseconds,
// not at once: its IOC answers TASK SET FULL for as long as it has no
// command buffer posted (a restart takes seconds), and an immediate resend
// sent the same frame again on every pass of the main loop.  So is a
// message to a port that left the drive side, while no other port is known.
constexpr uint64_t PARTNER_BUSY_RESEND_MS = 10;

// Port codes of a slot: the partner over the SAS drive side, or a command
// that arrived on Fibre Channel drive loop 1 or 2.
constexpr uint8_t PARTNER_PORT_SAS = 'a';
constexpr uint8_t PARTNER_PORT_LOOP1 = 3;
constexpr uint8_t PARTNER_PORT_LOOP2 = 4;
constexpr uint8_t PARTNER_PORT_FREE = 0x11;

// Slot states.  Outgoing: queued, handed to the driver, answered.
constexpr uint8_t SLOT_QUEUED = 'p';
constexpr uint8_t SLOT_SENT = 'q';
constexpr uint8_t SLOT_ANSWERED = 'r';
// Incoming: queued, CRC checked, data-out running, data arrived or not,
// answered, forwarded drive command running, done, finished with pages.
constexpr uint8_t SLOT_RECEIVED = 's';
constexpr uint8_t SLOT_CHECKED = 't';
constexpr uint8_t SLOT_DATA_OUT = '!';
constexpr uint8_t SLOT_DATA_GOOD = 25;
constexpr uint8_t SLOT_DATA_FAILED = 26;
constexpr uint8_t SLOT_STATUS_SENT = 0x22;
constexpr uint8_t SLOT_DRIVE_COMMAND = 'w';
constexpr uint8_t SLOT_DONE = ' ';
constexpr uint8_t SLOT_FINISHED = 0xA0;
// The command type a received slot carries until its handler runs.
constexpr uint8_t SLOT_TYPE_RECEIVED = 'Q';

constexpr uint32_t SLOT_FLAG_CANCELLED = 1u << 4;

// Opcodes of the CDB of a partner command.
constexpr uint8_t PARTNER_OPCODE_TEST_UNIT_READY = 0x00;
constexpr uint8_t PARTNER_OPCODE_FORWARDED = 0x06;
constexpr uint8_t PARTNER_OPCODE_WRITE_BUFFER = 0x3B;
constexpr uint8_t PARTNER_OPCODE_READ_BUFFER = 0x3C;
constexpr uint8_t PARTNER_IMAGE_TASK_MANAGEMENT = 0x16;
constexpr uint8_t PARTNER_CDB_RESEND = 15;   // CDB byte marking a resent mirror message

// Control flags of a message.
constexpr uint16_t PARTNER_CONTROL_NO_DATA = 0x0008;
constexpr uint16_t PARTNER_CONTROL_DATA_IN = 0x0028;
constexpr uint16_t PARTNER_CONTROL_DATA_OUT = 0x0048;
constexpr uint16_t PARTNER_CONTROL_IN_BIT = 0x0020;
constexpr uint16_t PARTNER_CONTROL_OUT_BIT = 0x0040;
constexpr uint16_t PARTNER_MESSAGE_TIMEOUT_S = 8;

// Completion qualifiers of the drive side.
constexpr uint8_t PARTNER_QUALIFIER_UNDERRUN = 0x15;
// With a transport status: the IOC found no such port on its fabric, so the
// frame never left this board.
constexpr uint8_t PARTNER_QUALIFIER_PORT_GONE = 0x01;

struct PARTNER_MESSAGE_SLOT {
    INTER_CONTROLLER_MESSAGE sMessage;
    uint8_t bPrimaryState;
    uint8_t bSecondaryState;
    uint8_t bPortCode;
    uint8_t bCommandType;
    uint16_t wSlot;
    uint8_t fInUse;
    uint8_t fFailed;
    uint8_t fSenseValid;
    uint8_t bSenseKey;       // or the SCSI status of BUSY and TASK SET FULL
    uint8_t bAsc;
    uint8_t bAscq;
    BUFFER_HANDLE dBuffer;   // pages of a data phase
    uint16_t wPageCount;
    uint16_t wLipCount;
    uint32_t dQueueTick;
    uint32_t dFlags;
    uint16_t wHostEntry;     // a host write mirror's host entry, 0xFFFF none
    uint16_t wSecondIndex;   // a forwarded drive command's internal entry
    uint64_t lHostSequence;
    // The drive IOC's target side of a command from the partner.
    uint16_t wIoIndex;
    uint32_t dReplyWord;
    uint64_t lLastRequestTick;
    // An outgoing message the partner turned away as busy (BUSY, TASK SET
    // FULL) goes again no sooner than this tick.
    uint64_t lResendTick;
    // Its last try found the partner's port gone from the drive side.
    uint8_t fPortGone;
};
static_assert(offsetof(PARTNER_MESSAGE_SLOT, sMessage) == 0);
using OUTGOING_MESSAGE_SLOT = PARTNER_MESSAGE_SLOT;
using INCOMING_MESSAGE_SLOT = PARTNER_MESSAGE_SLOT;

struct MESSAGE_RING {
    uint16_t awSlot[PARTNER_SLOTS];
    uint16_t wWrite;
    uint16_t wRead;
};

void InitPartnerMessageQueues();
uint8_t pGetIncomingMessageSlot(uint16_t wSlot, PARTNER_MESSAGE_SLOT** ppsSlot);
uint8_t pGetOutgoingMessageSlot(uint16_t wSlot, PARTNER_MESSAGE_SLOT** ppsSlot);

// FIQ-level entry points of the drive-side drivers.
uint8_t bQueueIncomingPartnerCommand(uint8_t bPortCode, const uint8_t* pbImage, PARTNER_MESSAGE_SLOT** ppsSlot);
void PartnerMessageCompleteHandler(uint8_t bPortCode, uint8_t bStatus, uint8_t bQualifier, uint16_t wSlot,
                                   const uint8_t* pbSense);
uint8_t fPartnerCommandTransferDone(uint8_t bPortCode, uint8_t bStatus, PARTNER_MESSAGE_SLOT* psSlot);

uint8_t ServiceIncomingPartnerQueue();
uint8_t ServiceOutgoingPartnerQueue();
uint8_t ServicePartnerCompletionQueue();

// A received command's CDB (null unless it came from the partner), and the
// LUN word its sender put in the message.
const uint8_t* pGetPartnerCommandCdb(const PARTNER_MESSAGE_SLOT* psSlot);
uint16_t wGetPartnerCommandLun(const PARTNER_MESSAGE_SLOT* psSlot);

// Answers to a command from the partner.
void SendPartnerCommandStatus(PARTNER_MESSAGE_SLOT* psSlot, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq);
// The answer to a partner message that needs a link this side does not
// keep: NOT READY, qualified `PARTNER_ASCQ_GIVEN_UP` when this controller
// declared the partner lost (it took the partner's work over), plain while
// the partner has not yet joined.  Other refusals use the plain form too,
// so only the qualifier may make a partner leave the pair.
constexpr uint8_t PARTNER_ASCQ_GIVEN_UP = 0x0C;  // as for a target port that is unavailable
void SendPartnerNotReady(PARTNER_MESSAGE_SLOT* psSlot);
uint8_t bSendDataToPartnerInitiator(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength,
                                    uint8_t bTransferFlag);
uint8_t bReceiveDataFromPartnerInitiator(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength);

// How long a message from the partner may wait at the head of the incoming
// ring for pages, in coarse (half-second) ticks: every message behind it
// waits too, mirrors included.  Counted from its arrival, it waits half a
// second to a second.
constexpr uint32_t PARTNER_PAGE_WAIT_COARSE_TICKS = 2;
// Pages for the data of a message from the partner: true once *pdHandle
// holds them.  Otherwise *pbResult is what the message's handler returns to
// the ring: 16 while a shortage lasts less than the wait above (the message
// keeps its place); 255 once it was answered instead, BUSY when the
// shortage outlasted the wait (the partner sends it again) or 5/0x24/0 at
// once for more pages than this board ever has free for messages.
bool TakePartnerMessagePages(PARTNER_MESSAGE_SLOT* psSlot, uint32_t dPages, BUFFER_HANDLE* pdHandle,
                             uint8_t* pbResult);
// The same into the slot's own pages, freed with the slot; a slot that holds
// its pages already keeps them.
bool TakePartnerSlotPages(PARTNER_MESSAGE_SLOT* psSlot, uint32_t dPages, uint8_t* pbResult);

// A typed message of the code given, without data.
INTER_CONTROLLER_MESSAGE sTypedPartnerMessage(uint8_t bCode);
// The message's answer comes as data into buffer memory at the address.
void SetPartnerMessageDataIn(INTER_CONTROLLER_MESSAGE* ps, BUS_ADDRESS dAddress, uint32_t dLength);

// Queues a message tied to a host command (a write's mirror messages): its
// answer finds the command again by index and sequence number, and a 98 or
// 99 never overtakes the command's 96.  As bSendMessageToPartner.
uint8_t bSendHostMessageToPartner(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t wHostEntry, uint64_t lSequence,
                                  uint16_t* pwSlot);

// The host write mirror: the answers of 96 and 129 for the write that
// waits for them; the receivers of 96-99 and of 129's data.
void PartnerMirrorRecordAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
void PartnerMirrorDataAnswered(PARTNER_MESSAGE_SLOT* psSlot);
uint8_t bReceivePartnerJournalMessage(const uint8_t* pbCdb, uint16_t wLunField);
uint8_t bReceivePartnerMirrorData(PARTNER_MESSAGE_SLOT* psSlot);
// Message 118: the partner's stripe access request checked here, and its
// answer to this controller's.
void ReceivePartnerStripeAccess(PARTNER_MESSAGE_SLOT* psSlot);
void PartnerStripeAccessAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
// The typed messages whose receivers need the slot itself (their data, or
// an answer in status bytes): 0 when the code is none of them, else the
// receiver's result (16: run it again later).
uint8_t bDispatchPartnerSlotMessage(PARTNER_MESSAGE_SLOT* psSlot);
// The host command a message was sent for (bSendHostMessageToPartner),
// while it is still that command; nullptr otherwise.
KERNEL_ENTRY* psHostCommandOfSlot(const PARTNER_MESSAGE_SLOT* psSlot);
// A table sent as a typed message's data (dBytes, the first dTableBytes
// from pTable, the rest zero): 255 queued, 16 no pages or slot, 0 no link.
uint8_t bSendPartnerTable(uint8_t bCode, uint8_t bArgument, const void* pTable, uint32_t dTableBytes,
                          uint32_t dBytes);
// The same for a message already built (its CDB), sent for a host command
// when psEntry is not nullptr.
uint8_t bSendPartnerData(INTER_CONTROLLER_MESSAGE* psMessage, const void* pData, uint32_t dDataBytes, uint32_t dBytes,
                         KERNEL_ENTRY* psEntry);
// The receiving side of one: true once its dBytes are in the slot's pages;
// until then the transfer is started, or the partner told to send again,
// and *pbResult is what the receiver returns to the ring.
bool ReceivePartnerTable(PARTNER_MESSAGE_SLOT* psSlot, uint32_t dBytes, uint8_t* pbResult);
// Messages 142-144: the partner's drive table, host-port initiator records
// and drive firmware file list, sent with the start-of-day answer.
uint8_t bReceivePartnerDriveTable(PARTNER_MESSAGE_SLOT* psSlot);
uint8_t bReceivePartnerHostPortTables(PARTNER_MESSAGE_SLOT* psSlot);
uint8_t bReceivePartnerDriveFirmwareList(PARTNER_MESSAGE_SLOT* psSlot);
void SendStartOfDayTables();
// The drive table and the drive firmware file list to the partner after a
// drive table rebuild: 16 when one could not go now (no slot or pages).
uint8_t bSendDriveTablesToPartner();
// Messages 124, 125 and 40: the answers that finish the host command, and
// the receiver of the partner's PERSISTENT RESERVE OUT.
void ReservationAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
void PrOutAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
uint8_t bReceivePrOutMessage40(PARTNER_MESSAGE_SLOT* psSlot);
// Messages 157 and 190: the partner's SAS device and expander lists.
uint8_t bReceivePartnerDeviceList(PARTNER_MESSAGE_SLOT* psSlot);
uint8_t bReceivePartnerExpanderList(PARTNER_MESSAGE_SLOT* psSlot);
// Message 213: a slot event the partner tells this side of (bytes 2-5:
// enclosure, slot, kind, argument).
uint8_t bReceiveSasSlotEvent(const uint8_t* pbCdb, uint16_t wLunField);
// Message 145: the partner's configuration image; the answer to message 34.
uint8_t bReceivePartnerConfigImage(PARTNER_MESSAGE_SLOT* psSlot);
// A commit's image the partner could not be sent goes now when it can:
// true once none is owed.
bool SendOwedConfigImage();
void PartnerJournalResetAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
// The partner's answer to a stripe initialisation's skip (message 188).
void StripeInitSkipDelivered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);

// A drive command the partner asks this controller to issue (opcode 0x06):
// 255 done for this pass, 16 to be run again later; the drive command's end.
uint8_t HandleForwardedDriveCommand(PARTNER_MESSAGE_SLOT* psSlot);
void ForwardedDriveCommandDone(KERNEL_ENTRY* psEntry);

// Answers a READ BUFFER from the partner by its buffer id: 255, or 16 while
// it waits at the head of the ring for its pages.
uint8_t AnswerPartnerReadBuffer(PARTNER_MESSAGE_SLOT* psSlot);
// The data requests among them (ids 2, 3, 6, 8-11, 15, 18, 19), and the answer to
// one this controller sent, by its request kind.
uint8_t bAnswerPartnerDataRequest(PARTNER_MESSAGE_SLOT* psSlot);
void PartnerDataRequestAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
// Messages 147-149 and 159 from the partner; the answer to this
// controller's 159.
uint8_t bReceivePartnerStopOrTime(PARTNER_MESSAGE_SLOT* psSlot);
void PartnerHeartbeatAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
// The partner's ping (id 12) and heartbeat message (159): GOOD once nothing
// here is left for it, NOT READY while a flush runs.
void ExchangePartnerHeartbeat(PARTNER_MESSAGE_SLOT* psSlot);
// Whether the partner's mirrored writes (or parity data) are still held here.
bool HoldsPartnerMirrors();
// Fibre Channel host ports paired with the partner's (host port mode 1),
// and those of OEM 0x101, reset their loops when the partner changes.
void ResetPairedHostLoops();

// Path loss: the drive IOC restarted (its partner traffic ends), or the
// partner's path or target id changed (messages move to a path that works).
void AbortPartnerIncoming(uint8_t bPortCode);
void AbortPartnerOutgoing(uint8_t bPortCode);
void RetargetPartnerMessages(uint8_t bPortCode);

// Counters the dual-controller statistics show.
struct PARTNER_MESSAGE_COUNTS {
    uint16_t wOutgoingTotal;
    uint16_t wOutgoingNew;
    uint16_t awInFlight[PARTNER_PATHS];
    uint16_t wCompletions;
    uint16_t wIncomingTotal;
    uint16_t wIncomingNew;
    uint32_t dResends;
    uint32_t dInvalidCdbs;
};
const PARTNER_MESSAGE_COUNTS& sGetPartnerMessageCounts();
const MESSAGE_RING& sGetPartnerRing(uint8_t bWhich);   // 0 incoming, 1 outgoing, 2 completion
// The flag the statistics code polls while it waits for the partner's pages.
uint8_t fGetPartnerStatisticsReceived();
void SetPartnerStatisticsReceived(uint8_t f);

// The I/O-module image a console transfer loaded, to the partner (message
// 211), so that either controller can run the enclosures' update.
uint8_t bSendEnclosureFwMessage211();

}  // namespace fw
