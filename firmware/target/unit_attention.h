// Unit attentions and host-port events.
//
// After a power-on, a reset, a loop event or a logical unit reset, every
// initiator sees one CHECK CONDITION with UNIT ATTENTION on each LUN before
// its commands are served again: one bit per (LUN, initiator) in one table
// per host port family.  The reset and notify events that task management
// receives are latched here, so that the host chip's own interrupt handler
// sets the attention and acknowledges the event at the end of its pass.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint16_t ALL_LUNS = 0xFFFF;
constexpr uint8_t NO_INITIATOR = 255;

// ---- unit attention tables ----
// Port codes 1, 17, 49 and 113 use the first table, the internal codes
// none (setting does nothing, testing answers FALSE), all others the second.
void SetUnitAttention(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun, uint8_t f);
void FillHostInterfaceBitmap(uint8_t bPortCode, uint8_t f);
// Initiators 0 to 127 of one LUN.
void SetLunUnitAttention(uint8_t bPortCode, uint16_t wLun, uint8_t f);
// A logical unit reset: the unit is the one hosts reach through either host
// port, so the LUN's row (initiators 0 to 127) is set in both tables.
void SetLogicalUnitResetAttention(uint16_t wLun);
uint8_t fGetUnitAttention(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun);
// Start of day: every initiator has a power-on attention on every LUN of both
// host ports; no host-port event is latched.
void ResetHostInterfaceBitmaps();

// ---- host-port event latch ----
// Port 1 for 1, any other value port 2.
void SetPortResetEvent(uint8_t bPort);
void ClearPortResetEvent(uint8_t bPort);
uint8_t fGetPortResetEvent(uint8_t bPort);
void SetPortAckEvent(uint8_t bPort);
void ClearPortAckEvent(uint8_t bPort);
uint8_t fGetPortAckEvent(uint8_t bPort);
uint8_t fGetHostPortEventPending();
void ResetHostPortEvents();

// The latched reset: its port code (TRUE only while a reset flag is set),
// LUN (ALL_LUNS for all), initiator (255 or more: none), the exchange of an
// ISP24xx notify and the two words of an ISP2x00 notify.
void SetResetPortCode(uint8_t bPortCode);
uint8_t bGetResetPortCode(uint8_t* pbPortCode);
void SetResetLun(uint16_t wLun);
uint16_t wGetResetLun();
void SetResetInitiator(uint16_t wInitiator);
// TRUE: serving the latched reset raises no unit attention.  An ABORT TASK
// SET ends only its sender's own tasks, which that host knows of: no other
// host's next command may be refused for it.
void SetResetWithoutAttention(uint8_t f);
uint16_t wGetResetInitiator();
void SetResetExchange(uint32_t dExchange);
uint32_t dGetResetExchange();
void SetResetWords(uint16_t wWordA, uint16_t wWordB);
uint16_t wGetResetWordA();
uint16_t wGetResetWordB();

// The pending notify of a port that waits only for its acknowledge.
struct PORT_NOTIFY_2X00 {
    uint16_t wLoopId;
    uint16_t wFlags;
    uint16_t wSequence;
};
struct PORT_NOTIFY_24XX {
    uint16_t wHandle;
    uint8_t bElsOpcode;
    uint32_t dExchange;
    uint16_t wOxId;
    uint16_t wRxId;
    uint16_t wFlags;
};
void SetPortNotify2x00(uint8_t bPort, const PORT_NOTIFY_2X00& sNotify);
PORT_NOTIFY_2X00 sGetPortNotify2x00(uint8_t bPort);
void SetPortNotify24xx(uint8_t bPort, const PORT_NOTIFY_24XX& sNotify);
PORT_NOTIFY_24XX sGetPortNotify24xx(uint8_t bPort);

// Called by both host chip interrupt handlers at the end of their pass: one
// latched reset (or else one pending acknowledge) is served.
void ServiceHostPortEvents();

// A flag of the cache flush sequencer kept with the latch.
void SetFlushStepFlag();
void ClearFlushStepFlag();
uint8_t fGetFlushStepFlag();

}  // namespace fw
