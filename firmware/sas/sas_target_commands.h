// The command path of the SAS host ports and the host list it feeds.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
#include "hw/mpi.h"

namespace fw {

struct KERNEL_ENTRY;
struct SAS_TARGET_IO_INFO;

constexpr uint16_t SAS_TARGET_MAX_INITIATORS = 64;

// Interrupt level: a target context reply (FALSE: stop draining, no host
// entry was free) and a TARGET ASSIST or STATUS SEND that ended in error.
uint8_t SASTargetContextReply(uint32_t dWord);
void SASTargetTransferErrorReply(const uint8_t* pbReply);

// Aborts: one command (reason 0 posts no event), a port's commands, and the
// IOC's own abort of a buffer's transfer.
void AbortSASTargetCommand(KERNEL_ENTRY* psEntry, uint8_t bReason);
void AbortSASTargetPortCommands(uint8_t bPort, uint8_t fAll);
// The commands of an initiator that left before its port was known: they
// end, their buffers go back to the IOC.
void EndUnroutedSASCommands(uint16_t wInitiator);
void SendSASTargetModeAbort(uint8_t bPort, uint8_t bType, uint32_t dReplyWord, uint32_t dContext);
void SASTargetCommandTimeoutScan();
// The TARGET ASSIST or STATUS SEND request a buffer has in flight (its reply
// word at bytes 12..15, its LUN at 16..23); null when it has none.
const uint8_t* pbSASTransferInFlight(uint8_t bPort, const SAS_TARGET_IO_INFO& io);

// A request of command buffer wIoIndex: built in a request frame (the
// ordinary ones first, then the reserve) or, with every frame out, in the
// buffer's place to wait for one (*pwFrame SAS_DEFERRED_FRAME).  Null only
// when a request of that buffer already waits.  Posting it sends it, or
// leaves it waiting; the buffer records the request in flight.
constexpr uint16_t SAS_DEFERRED_FRAME = 0xFFFE;
uint8_t* pbTakeSASTargetFrame(uint8_t bPort, uint16_t wIoIndex, uint16_t* pwFrame);
void PostSASTargetRequest(uint8_t bPort, uint16_t wIoIndex, uint8_t* pbFrame, uint16_t wFrame, uint32_t dTimeoutMs);
// The waiting requests go out as frames come back (a main-loop service);
// the IOC's bring-up forgets them.
uint8_t fHasDeferredSASTargetRequests();
uint8_t fIsDeferredSASTargetPostDue();   // requests wait and a frame is free
uint8_t fIsSASTargetRequestDeferred(uint16_t wIoIndex);
void PostDeferredSASTargetRequests();
void ClearDeferredSASTargetRequests();

// The host list: the port a new command's initiator is on (its record made
// known, or marked unresolved when its connection changed; 255 while its
// port is not known), the last
// status sent to an initiator, and reply words dropped as out of range.
uint8_t SASHostPortOfInitiator(uint16_t wInitiator, const uint8_t* pbCommandBuffer);
void RecordSASHostStatus(uint16_t wInitiator, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
void CountSASTargetDroppedReply();
void ResetSASHostList();
// Sends SAS IO UNIT CONTROL remove-device for every known host of the port;
// how many went out.
uint16_t RemoveSASHostsOfPort(uint8_t bPort);
// The port request (abort or removal) of a reply is answered.
void SASTargetPortRequestAnswered(const MPI_REPLY_HEADER& sHeader);
uint16_t* pwSASTargetAbortsOutstanding(uint8_t bPort);
uint64_t lGetSASTargetPortResetStamp(uint8_t bPort);

// Task management IUs: one answered, and a port's ring of them served.
void LSI_SAS_TargetTaskMgmtStep(KERNEL_ENTRY* psEntry);
void SASTargetTaskManagementService(uint8_t bPort);
// The logged-in hosts of a port in the host port tables' form; 0 unless the
// driver runs or its ports are enabled.
struct HOST_PORT_RECORD;
uint8_t bBuildSASHostList(uint8_t bPort, HOST_PORT_RECORD* psList);
uint16_t* pwSASTargetRemovalsOutstanding(uint8_t bPort);

}  // namespace fw
