// Back-end completion: every command the controller sends to a drive comes
// back, completed by the drive-side driver, on the completion ring of the
// initiator kernel queue.  Here it is counted down on the command it serves
// (a host command, a RAID group head, or itself), handed to the handler its
// command type or its mother's state names, and freed; a host command whose
// last child is in moves on to the ring that answers the host.  Also the
// posting of waiting drive commands to the drive side with the drive write
// cache gate, the internal drive commands, delayed re-issue and the
// re-addressing after a drive loop initialisation.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

struct KERNEL_ENTRY;

// Command types of internal drive commands handled here.
constexpr uint8_t CT_WRITE_CACHE_SYNC = 30;        // SYNCHRONIZE CACHE of the write cache gate
constexpr uint8_t CT_LONG_BLOCK_DIAGNOSTIC = 212;

// Answers of the posting service.
constexpr uint8_t POST_GATE_HOLDS = 9;
constexpr uint32_t WRITE_CACHE_GATE_HOLD_MS = 100;

// Drive write cache queue flags (the shared record of the drive side).
constexpr uint32_t IWCQ_SYNC_IN_FLIGHT = 0x001;
constexpr uint32_t IWCQ_SYNCHRONISED = 0x002;
constexpr uint32_t IWCQ_ABORTED = 0x004;
constexpr uint32_t IWCQ_LIST_FULL = 0x010;
constexpr uint32_t IWCQ_WINDOW_PASSED = 0x020;
constexpr uint32_t IWCQ_FUA_HOLD = 0x040;
constexpr uint32_t IWCQ_WINDOW_OPEN = 0x100;
constexpr uint32_t IWCQ_WINDOW_MS = 3;
constexpr uint16_t IWCQ_LIST_LIMIT = 128;

void InitBackEndCompletion();
// One completed entry of the queue's completion ring per call.
uint8_t ProcessBackEndCompletion(uint8_t bQueueId);
// Posts the entries waiting on the queue's kernel ring to the drive side:
// 255, 16 (resources short) or 9 (the drive write cache gate holds).
uint8_t PostKernelQueueEntries(uint8_t bQueueId);

// One child of a host command is done: its outstanding count drops and at
// zero the read or write is complete.
void CountDownHostCommand(KERNEL_ENTRY* psHost);
// The host command has no child outstanding: read or write complete.
void HostCommandChildrenDone(KERNEL_ENTRY* psHost);
// A child of the command failed: it is marked (flag 5) and carries the
// child's sense (flag 10) unless an earlier failure's is recorded.
void MarkHostCommandFailed(KERNEL_ENTRY* psHost, const KERNEL_ENTRY* psChild);
// The command failed with this sense (kept when one is recorded already);
// it goes on counting its children down.
void MarkHostCommandFailedWithSense(KERNEL_ENTRY* psHost, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
// The command cannot be mapped: it ends with this sense and no children.
void FailHostCommand(KERNEL_ENTRY* psHost, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
// TRUE when the drive side ended the child in error; such a child then
// carries flag 4.
uint8_t fChildEndedInError(KERNEL_ENTRY* psChild);
// A group head's own count: one child done; TRUE when it reached zero.
uint8_t fCountDownGroup(KERNEL_ENTRY* psHead);
// The chain held behind a group: released when the group succeeded, freed
// (with its pages, its host count counted down) when it failed.
void ReleaseHeldChain(KERNEL_ENTRY* psHead, uint8_t fFailed);

// One internal drive write of a parity write-back after the partner was
// lost: blocks from the buffer to the rank member at the drive block (four
// bytes, most significant first); its end reaches the partner link with
// the tag.  255 issued, 16 no entry free.
constexpr uint8_t COMMAND_TYPE_PARITY_REPLAY = 181;
uint8_t bWriteRaidMember(uint8_t bRank, uint8_t bMember, const uint8_t* pbAddress, uint16_t wBlocks,
                         BUFFER_HANDLE dBuffer, uint16_t wTag);

void BuildInternalDriveCommand(KERNEL_ENTRY* psEntry, uint8_t bQueueId, uint8_t bTarget, uint32_t dLength,
                               uint16_t wControlFlags, uint32_t dAddress, uint8_t bAddressCount,
                               uint32_t dSecondAddress, const uint8_t* pbCdb, uint8_t bCommandType);
void BuildReceiveDiagnosticCommand(KERNEL_ENTRY* psEntry, uint8_t bTarget, uint8_t fPageCodeValid, uint8_t bPage,
                                   uint16_t wLength, uint32_t dBuffer, uint8_t bCommandType, uint16_t wTag);
void ScheduleDelayedReissue(uint8_t bQueueId, uint16_t wDelay, KERNEL_ENTRY* psEntry);
void ReissueDelayedCommands(uint8_t bQueueId);
void ServiceDriveLoopReset();
void ValidateInitiatorCommandsAfterLIP();
uint8_t bSendMemberCommandAndWait(uint8_t bRank, uint8_t bMember, const uint8_t* pbCdb, uint8_t fDataIn,
                                  uint32_t dLength, BUFFER_HANDLE dBuffer, uint8_t* pbStatus, uint8_t* pbSenseKey,
                                  uint8_t* pbAsc, uint8_t* pbAscq);

// The drive write cache gate.
void IwcqCommandSent(KERNEL_ENTRY* psEntry);
void IwcqAbortTarget(uint8_t bTarget);
uint8_t bIwcqCheckCommand(KERNEL_ENTRY* psEntry);
// TRUE when the target's writes go through its write cache queue.
uint8_t fIsIwcqTarget(uint8_t bTarget);

}  // namespace fw
