// Partner controller link services the rest of the firmware calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

struct KERNEL_ENTRY;
// A partner message command (command type 158) came back from the drive
// side; TRUE when the back-end completion may free it.
uint8_t fPartnerCommandComplete(KERNEL_ENTRY* psEntry);
// Sends the data of a read-modify-write group to the partner before its
// data write (message 111); 255 when queued, the data write then waits for
// the partner's answer.
uint8_t bSendPairDataToPartner(KERNEL_ENTRY* psHead);
// The group's writes are done: the partner lets its copy of the row go
// (message 112).
void ReleasePairDataAtPartner(KERNEL_ENTRY* psHead);

uint8_t DualControllerTask();
void InitDualControllerManager();
void SetPartnerAlive(uint8_t f);
uint8_t fIsPartnerAlive();
void SetDualControllerValid(uint8_t f);
uint8_t fIsDualControllerActive();
void SetDualStartFlag(uint8_t f);
uint8_t fGetDualStartFlag();
void SetHeartbeatRequestFlag(uint8_t f);
uint8_t fGetHeartbeatRequestFlag();
uint8_t fIsPartnerOnPath1();
uint8_t fIsPartnerOnPath2();
// The partner's drive-side target id on each path, 0xFF none.
uint8_t bGetPartnerAlpaPath1();
uint8_t bGetPartnerAlpaPath2();
// TRUE while the partner's statistics are fetched for a debug dump: the
// record then goes without its latency table.
uint8_t fGetPartnerDumpFlag();
void SetPartnerDumpFlag(uint8_t f);
// READ BUFFER requests to the partner whose answers land in the pages given
// (a bank 0 page run) and come back through the continuation of their
// request kind: the controller information record (id 6), the event log
// image or counts (id 8), the statistics record (id 10); the clears of its
// event log (id 9) and statistics (id 11).  255 when queued.
uint8_t bReadPartnerBuffer6(BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand, uint8_t bKind);
uint8_t bReadPartnerBuffer8(BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand, uint8_t bWhat, uint8_t bKind);
uint8_t bReadPartnerBuffer9(uint8_t fConfirm);
uint8_t bReadPartnerBuffer10(uint8_t bPortSelect, uint16_t wLd, BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand,
                             uint8_t bKind);
uint8_t bReadPartnerBuffer11(uint8_t bPortSelect, uint16_t wLd, uint8_t fConfirm);
// The statistics record alone (id 19), without the latency table.
uint8_t bReadPartnerBuffer19(uint8_t bPortSelect, uint16_t wLd, BUFFER_HANDLE dBuffer, KERNEL_ENTRY* psHostCommand,
                             uint8_t bKind);
// A controller joining a running partner takes over the partner's
// battery-backed state (the status block, id 3): the rebuild and expansion
// records, the parity check to resume, the stripe initialisation records.
// 255 when read.
uint8_t bReadPartnerStatusBlock();
// What the status block read at this start of day said: TRUE when the
// running partner waits for this controller to write out its journals.
uint8_t fDoesPartnerAwaitJournals();
void PreparePartnerJoin();
// The start of day: TRUE when the partner answers a TEST UNIT READY (it runs
// already); the ping of a joining controller, repeated until the running one
// answers GOOD (255), 252 when it did not in time, 0 when on no path; the
// start-of-day request (buffer id 13) and this controller's identity (id 14)
// with its firmware word.
constexpr uint8_t PARTNER_BUFFER_ID_CONFIG = 1;   // the live configuration image
constexpr uint8_t PARTNER_BUFFER_ID_HOST_PORTS = 2;
constexpr uint8_t PARTNER_BUFFER_ID_STATUS_BLOCK = 3;
constexpr uint8_t PARTNER_BUFFER_ID_INFORMATION = 6;
constexpr uint8_t PARTNER_BUFFER_ID_DRIVE_TABLE = 7;
constexpr uint8_t PARTNER_BUFFER_ID_EVENT_LOG = 8;
constexpr uint8_t PARTNER_BUFFER_ID_CLEAR_EVENTS = 9;
constexpr uint8_t PARTNER_BUFFER_ID_STATISTICS = 10;
constexpr uint8_t PARTNER_BUFFER_ID_CLEAR_STATISTICS = 11;
constexpr uint8_t PARTNER_BUFFER_ID_STATISTICS_RECORD = 19;
constexpr uint8_t PARTNER_BUFFER_ID_PING = 12;
constexpr uint8_t PARTNER_BUFFER_ID_START_OF_DAY = 13;
constexpr uint8_t PARTNER_BUFFER_ID_IDENTITY = 14;
constexpr uint8_t PARTNER_BUFFER_ID_DEVICE_LIST = 15;    // the SAS device list
constexpr uint8_t PARTNER_BUFFER_ID_ACTIVE_ACTIVE = 18;  // the active-active level
// Byte 1 of the configuration, ping and start-of-day requests (ids 1, 12,
// 13), the READ BUFFER mode byte no responder here reads, carries the
// sender's outlived-partner record: TRUE when it went on without this
// controller since they last ran as a pair (and this controller did not
// run alone after that), FALSE when not, and 0 while the sender cannot tell
// yet (its first request, the configuration, comes before it can).
constexpr uint8_t PARTNER_CDB_OUTLIVED_BYTE = 1;
constexpr uint8_t PARTNER_OUTLIVED_NOT_YET_KNOWN = 0;
// The length of a SAS device list between the controllers (message 157, id
// 15), whatever this build's list holds.
constexpr uint32_t PARTNER_DEVICE_LIST_BYTES = 33288;
// The length of the drive table between the controllers (message 142, id 7).
constexpr uint32_t PARTNER_DRIVE_TABLE_BYTES = 13884;
// The partner's target id and bus on the first path it is on; FALSE when on
// neither.
uint8_t fGetPartnerTarget(uint8_t* pbTarget, uint8_t* pbBus);
// The partner's SAS device list (id 15), read and waited for, into the
// other controller's list: 255 when read.
uint8_t bReadPartnerDeviceList();
uint8_t bProbePartnerReady();
uint8_t bPingPartnerSync();
void ReadPartnerStartOfDayData(uint8_t fFlag);
void SendPartnerIdentity(uint32_t dFirmwareWord);
// Message 159: the heartbeat request, which also asks the running partner
// to let this controller's drive side fail back; its answer reaches
// SASFailbackRequestAnswered.
void SendPartnerHeartbeatMessage();
uint8_t bSendSasPhyMessage157(uint8_t f);
uint8_t bSendSasPhyMessage190(uint8_t f);
uint8_t bUpdatePartnerMissingIndicator();
void ResetPartnerStartFlags();

// Used by the system tick and the stop paths of the executive.
void CheckPartnerWatchdog();
uint64_t lGetPartnerDeadline();
void SetPartnerDeadlineFlag(uint8_t f);
// The buffer memory sizes the two controllers compare (MB + 64, as the
// controller information record gives them); the partner's is 0 when it
// was not read.
uint16_t wGetPartnerVersionWord();
uint16_t wGetControllerInfoVersionWord();
uint8_t bGetControllerInfoVersionByte();
uint8_t bGetControllerInfoBoardByte();
// The mismatch posted in the partner's log too (event 146's five bytes).
void SendPartnerVersionNotice(const uint8_t* pbArguments);
// Waited reads of the partner's controller information record: its buffer
// memory (0 when not read), and whether word 22 of both records is at most
// 99 (FALSE when not read).
uint16_t wGetPartnerBufferMegabytes();
uint8_t fCheckPartnerInfoWord();
// The drive table the partner last sent (message 142).
const uint8_t* pGetPartnerDriveTableCopy();
// This controller's drive table as the partner gets it (message 142, id 7)
// into the space given; its length.
uint32_t dCopyDriveTableForPartner(void* pOut);
uint8_t fIsMasterController();
uint8_t fSendShutdownToPartner(uint8_t bReason);

// Background pass and FIQ services of the partner link.
uint8_t fGetDualControllerWorkFlag();
// A lost partner's copies and this controller's own cached writes are being
// written out before any host is served (then the configuration is saved,
// naming this controller, and fIsHostWorkHeldForGeneration holds until it
// is); no save names this controller meanwhile.  The gate tests and ends
// the drain.
uint8_t fIsHostWorkHeldForTakeover();
uint8_t fIsTakeoverDrainPending();
void DualControllerWork();
// A partner this controller declared lost stays given up until it asks to
// join again; its other messages are answered NOT READY with
// `PARTNER_ASCQ_GIVEN_UP` (`SendPartnerNotReady`), which tells it to stop
// and rejoin.
uint8_t fIsPartnerGivenUp();
void SetPartnerGivenUp(uint8_t f);
// The partner answered one of this controller's messages so: it has taken
// this controller's work over, and this controller stops serving at once
// and restarts to join it again.
void LeavePairGivenUpByPartner();
void SendTimeOfDayToPartner(uint8_t bArg1, uint8_t bArg2);
void PartnerHostTargetService();
uint8_t fGetPartnerHousekeepingRequest();
void PartnerHousekeepingService();
void PartnerHeartbeatInterrupt(uint8_t fSeen);
void DualControllerWatchdogPulse();

// A host port's initiators changed: the partner gets both ports' records
// again (message 143).
void NotifyPartnerHostPortChange(uint8_t bPort);

// The outgoing queue, as the target engine uses it.
struct KERNEL_ENTRY;
constexpr uint8_t PARTNER_MESSAGE_STRIPE_ACCESS = 118;
// The host write mirror: 96 record a write in the partner's copy of the
// journal (with a mirror buffer when its data follows), 97 drop it, 98 the
// write was issued to the drives, 99 a stream grew; 129 the data.
constexpr uint8_t PARTNER_MESSAGE_MIRROR = 96;
constexpr uint8_t PARTNER_MESSAGE_MIRROR_DROP = 97;
constexpr uint8_t PARTNER_MESSAGE_ISSUED = 98;
constexpr uint8_t PARTNER_MESSAGE_STREAM_UPDATE = 99;
constexpr uint8_t PARTNER_MESSAGE_MIRROR_DATA = 129;
// Of two controllers starting together, the one writing the journals out
// first copies to its partner each write it holds (the extent, its data to
// follow or not) under the partner-table slot given: the record (96) and the
// data (129).  255 queued, 16 when the queue is full, 0 without a link.
// Their answers go to StartCopyAnswered.
constexpr uint8_t COMMAND_TYPE_START_COPY = 224;
struct NVRAM_QUEUE_EXTENT;
uint8_t bSendStartCopyRecord(uint16_t wSlot, const NVRAM_QUEUE_EXTENT& sExtent, uint32_t dSequence);
uint8_t bSendStartCopyData(uint16_t wSlot, const NVRAM_QUEUE_EXTENT& sExtent);
// 255 when the outgoing queue can take a message of the type, 16 when not.
uint8_t bCheckOutgoingQueueSpace(uint8_t bMessageType);
// Message 118: the stripe-access request of a command (its type becomes 't').
uint8_t bSendEventRateMessage118(KERNEL_ENTRY* psEntry);
// A message tied to a host command: 96 mirror request, 97 drop the mirror.
void SendHostCommandMessage(uint8_t bCode, KERNEL_ENTRY* psEntry, uint8_t fMirror);
// Message 50: a LUN this controller serves is idle (bytes 2-3 the LUN).
constexpr uint8_t PARTNER_MESSAGE_LUN_IDLE = 50;
// Message 95: the battery state (BATTERY_STATE) in bytes 2-5.
constexpr uint8_t PARTNER_MESSAGE_BATTERY_STATE = 95;
// Messages 124 and 125: a SCSI-2 reserve or release to the partner.  The
// partner's verdict finishes the host command (FinishReserve, FinishRelease);
// a release the controller makes by itself (a LUN reset, a logout) has none.
// 255 queued.
constexpr uint8_t PARTNER_MESSAGE_SCSI2_RESERVE = 124;
constexpr uint8_t PARTNER_MESSAGE_SCSI2_RELEASE = 125;
uint8_t bSendReservationMessage124(KERNEL_ENTRY* psEntry, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController);
uint8_t bSendReservationMessage125(KERNEL_ENTRY* psEntry, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController);
// Message 40: a PERSISTENT RESERVE OUT's request record (48 bytes) and its
// parameter list, carried out on the partner first; its answer calls
// PrOutPartnerDone with the host command.  255 queued.
constexpr uint8_t PARTNER_MESSAGE_PR_OUT = 40;
uint8_t bSendPrOutMessage40(KERNEL_ENTRY* psEntry, const uint8_t* pbRecord, const uint8_t* pbList, uint32_t dLength);
// Message 77: an attention of the partner's host answered here (its port
// name, controller, port index and logical drive).  255 queued.
constexpr uint8_t PARTNER_MESSAGE_PR_ATTENTION_CLEARED = 77;
uint8_t bSendPrAttentionClearMessage(const uint8_t* pbPortName, uint8_t bController, uint8_t bPortIndex, uint16_t wLun);
// Messages 147 (reset), 148 (shut down, byte 2 the reason) and 149 (the
// date and time: bytes 2-3 year, 4 month, 5 day, 6-8 hour, minute,
// second, 9-10 the sender's two arguments).
// Message 33: an event posted in the partner's log (byte 2 the code, 3-7
// the argument bytes), sent and answered synchronously: TRUE when the
// partner answered GOOD.
constexpr uint8_t PARTNER_MESSAGE_POST_EVENT = 33;
uint8_t bSendPartnerEventSync(uint8_t bCode, const uint8_t* pbArguments);
constexpr uint8_t PARTNER_MESSAGE_RESET = 147;
constexpr uint8_t PARTNER_MESSAGE_SHUTDOWN = 148;
constexpr uint8_t PARTNER_MESSAGE_TIME_OF_DAY = 149;
constexpr uint8_t PARTNER_MESSAGE_HEARTBEAT = 159;
// Messages 109 and 110: the cache flush sequencer is writing out cached data
// kept over a restart, and has done so.  The partner holds its host
// commands in between.
constexpr uint8_t PARTNER_MESSAGE_FLUSH_PENDING = 109;
constexpr uint8_t PARTNER_MESSAGE_FLUSH_DONE = 110;
// Management requests the partner carries out: message 147 (reset), the
// date and time (message 149 with the record), a parity job message (90
// to 94), a management request (clearing its event log or statistics:
// 255 done, else the answer for the host), and the partner's WWN (TRUE
// when known).
uint8_t bSendResetToPartner();
struct DATE_TIME;
void SendDateTimeToPartner(const DATE_TIME* psTime);
void SendParityJobMessage(uint8_t bCode, uint8_t bRank, uint8_t bMode, uint8_t fAll);
// Message 213: the partner does the slot event (task management) too.
void SendSasDriveMessage213(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind, uint8_t bArgument);
// Message 215: this controller takes (TRUE) or lets go of (FALSE) the drive
// of a slot; the answer comes back through PartnerSlotHoldDone.
void SendSasSlotHoldMessage(uint8_t bEnclosure, uint8_t bSlot, uint8_t f);
uint8_t fGetPartnerControllerWwn(uint8_t* pbWwn);
// Answers the partner's READ BUFFER (the request) with the data.  255 sent.

// Hands a typed message received from the partner (its 16-byte CDB and the
// LUN field of its command) to the subsystem that owns its code.  255 GOOD;
// PARTNER_ANSWER_NO_MIRROR_BUFFER asks the sender for CHECK CONDITION
// 5/0x55/0x01; 0 refuses the message.
constexpr uint8_t PARTNER_ANSWER_NO_MIRROR_BUFFER = 66;
uint8_t DispatchPartnerMessage(const uint8_t* pbCdb, uint16_t wLunField);

// The outgoing queue: 255 when it can take a message of the code, else 16.
uint8_t bCheckOutgoingQueueSpace(uint8_t bMessageCode);
// Host write mirror messages: 96 mirror copy, 97 drop it, 98 issued, 99
// stream update; the flag is the mirror decision.
struct KERNEL_ENTRY;
void SendHostCommandMessage(uint8_t bMessageCode, KERNEL_ENTRY* psEntry, uint8_t fFlag);
// A write's record that the partner had no mirror buffer for goes again at
// most this many times, 10 ms apart, when the write's array lets writes
// wait for one (policy bit 6); then the write is written through.
constexpr uint8_t PARTNER_MIRROR_BUFFER_RETRIES = 100;
// Sends the partner the data of a write (message 129) into the mirror
// buffer it took for the write's journal slot: 255 when sent, the write then
// waits for the answer; below 255 the write goes without a copy there.  A
// continuation's head share (TRUE) and its own blocks go apart.
uint8_t bRequestPartnerMirror(KERNEL_ENTRY* psEntry, uint8_t fContinuation);
// A rebuild started with the partner active: the link carries its messages.
void SetPartnerRebuildFlag(uint8_t f);
uint8_t fGetPartnerRebuildFlag();
// A typed message without data: its code in CDB byte 1 and, when given, the
// PARTNER_MESSAGE_ARGUMENT_BYTES argument bytes in CDB bytes 2-15.  255
// when queued, 16 when the queue is full, 0 when no path leads to the
// partner.
constexpr uint8_t PARTNER_MESSAGE_ARGUMENT_BYTES = 14;
uint8_t bSendConfigRecordMessage(uint8_t bMessageCode, const uint8_t* pbArguments);
// The expansion's progress (87) and completion (88), code byte first.
void SendExpansionMessage(const uint8_t* pbMessage, uint32_t dLength);
uint8_t bSendStripeInitMessage(uint8_t bRank, uint8_t bMessageCode, uint64_t lPosition, uint8_t bPercent,
                               uint16_t wBlocks);
// Data of a partner command has arrived: 255, below 255 to be run again.
uint8_t bPartnerCommandData(KERNEL_ENTRY* psEntry);

// The 64-byte message to the partner: the layout of a drive-side command
// request entry whose CDB is a typed message (opcode 0x05, code in byte 1)
// or a data request.
#pragma pack(push, 1)
struct INTER_CONTROLLER_MESSAGE {
    uint8_t bEntryType;       // 0x11
    uint8_t bEntryCount;      // 1
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dHandle;         // the outgoing slot, set by the send
    uint16_t wTarget;         // the partner's target id, set by the send
    uint16_t wLun;
    uint16_t wControlFlags;   // 8 no data, 0x28 data in, 0x48 data out
    uint16_t wReserved14;
    uint16_t wTimeout;        // seconds
    uint16_t wSegmentCount;
    uint8_t abCdb[16];
    uint32_t dByteCount;
    uint32_t adSegment[6];    // (address, length) pairs
};
#pragma pack(pop)
static_assert(sizeof(INTER_CONTROLLER_MESSAGE) == 64);
static_assert(offsetof(INTER_CONTROLLER_MESSAGE, wControlFlags) == 12);
static_assert(offsetof(INTER_CONTROLLER_MESSAGE, wTimeout) == 16);
static_assert(offsetof(INTER_CONTROLLER_MESSAGE, abCdb) == 20);
static_assert(offsetof(INTER_CONTROLLER_MESSAGE, dByteCount) == 36);
constexpr uint8_t PARTNER_TYPED_MESSAGE = 0x05;

// Queues a message: 255 queued (with its slot number), 16 no slot free or
// too many outstanding, 0 no path to the partner.
uint8_t bSendMessageToPartner(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t* pwSlot, uint8_t bUnused);
// Message 145: this controller's commit ended, with its pending array jobs
// and its live image.
constexpr uint8_t PARTNER_MESSAGE_CONFIG_CHANGED = 145;
constexpr uint8_t PARTNER_MESSAGE_JOURNAL_RESET = 34;
uint8_t SendConfigChangedMessage(uint8_t fFromEditor);
// Message 34: the first array was committed, the partner clears its
// journal copies; 255 when queued (the partner's answer requests the next
// run of the commit).
uint8_t SendJournalResetMessage(uint8_t bArgument);
// Console dumps of the partner link's state and queues.
void ShowDualControllerStats();
void ShowDualControllerIncomingQueue();
void ShowDualControllerOutgoingQueue();
void ShowOtherControllerParityReadDataQueue();

// Used by the drive side: where the partner's IOC was found (path 1 or 2,
// present, its target id and SAS address, low word first), and the end of
// the partner traffic queued on a drive IOC that was restarted.
void SetPartnerDrivePath(uint8_t bPath, uint8_t fPresent, uint8_t bTarget, const uint32_t* pdSASAddress);
void CancelPartnerTrafficOnDriveIOC();

// A sent message came back (answered, or failed for good): what its sender
// does next, by its command type.
struct PARTNER_MESSAGE_SLOT;
void RunPartnerContinuation(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
// Sets the abort bit of a forwarded drive command's internal entry.
void AbortForwardedDriveCommand(uint16_t wEntry);
// The answers of the stand-in partner: reservations (messages 124, 125, 40).

}  // namespace fw
