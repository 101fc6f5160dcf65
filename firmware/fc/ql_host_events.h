// The host-port interrupt handlers and what they share: mailbox completion,
// the chips' asynchronous events, the link state of each host port (loop up,
// speed, LIP count and flag), completion-status events, the CT pass-through
// completion and the start-up state of the interrupt code.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;
struct TIMER_NODE;

void QL24TarIsr(uint8_t bChip);
void Isp2x00TargetIsr(uint8_t bChip);
// A chip's rings served up to the in-pointers its registers hold, outside
// its interrupt (the caller holds the host chips' interrupt off).
void QL24ServeRings(uint8_t bChip);
void Isp2x00ServeRings(uint8_t bChip);
// Commands and notifies a chip brought while the host pool was full stay on
// its rings, and the chip does not report them again: TRUE while a chip has
// such entries; RetryHostRings, from the main loop's QLogic service, takes
// them once host entries are free.
uint8_t fGetHostRingRetry();
void RetryHostRings();

void HostMailboxCompletion(uint8_t bChip, uint16_t wMailbox0);
void HostAsyncEvent(uint8_t bChip, uint16_t wCode, uint16_t wHandle);
void PostHostCompletionStatusEvent(uint16_t wStatus, uint8_t bPort);
void CtPassThroughDone(KERNEL_ENTRY* psEntry, TIMER_NODE* psNode);
void InitHostIsrState();
void ClearHostRiscInterrupt(uint8_t bChip);
void AssignHostCommandSequence(KERNEL_ENTRY* psEntry);

// Host ports 1 and 2; any other port number reads port 2.
uint8_t fIsHostLoopUp(uint8_t bPort);
uint8_t bGetHostLinkSpeed(uint8_t bPort);      // 1, 2 or 4 Gb/s; 0 while down
uint16_t wGetHostLoopLipCount(uint8_t bPort);
uint8_t fGetHostLoopLipFlag(uint8_t bPort);
void SetHostLoopLipFlag(uint8_t bPort, uint8_t f);
uint8_t fIsHostIsrActive();

// What the handlers refused to act on: in-pointers beyond the ring, and
// completion handles that name no host or internal entry.
uint32_t dGetBadInPointerCount();
uint32_t dGetBadHandleCount();

// Shared by both generations' handlers (kept here so that the ISP24xx and
// ISP2x00 passes apply one set of rules).
namespace host_isr {
struct PASS {
    uint8_t bChip;
    uint32_t dCoarseTick;
    uint64_t lMs;
    uint32_t dHeartbeatMark;
    bool fStop;
    uint16_t wNotifies;
};
void Begin(PASS* ps, uint8_t bChip);
void Heartbeat(PASS* ps);
// A new command or notify entry; false when the pool is exhausted (the
// pass stops and the entry stays on its ring).
bool TakeCommand(PASS* ps, const uint8_t* pbEntry, bool fIsp24xx);
bool TakeNotify(PASS* ps, const uint8_t* pbEntry);
bool TakeAbts(PASS* ps, const uint8_t* pbEntry);
void CtioCompletion(PASS* ps, const uint8_t* pbEntry, bool fIsp24xx);
void StatusEntry(uint8_t bPort, const uint8_t* pbEntry);
void CtPassThroughCompletion(const uint8_t* pbEntry);
void ServeNotifies(PASS* ps, bool fIsp24xx);
void SetActive(uint8_t f);
bool RingRetry(uint8_t bChip);
bool ValidInPointer(int32_t lIn);
}  // namespace host_isr

}  // namespace fw
