// Task management on the Fibre Channel host ports: immediate notifies,
// task-management commands and ABTS turned into latched host-port events
// (target/unit_attention.h) and acknowledges, the tasks they end marked
// aborted, and the exchange of a command that cannot be taken terminated.
#pragma once

#include <cstdint>

#include "target/unit_attention.h"

namespace fw {

// The notify at the head of a port's immediate-notify ring (from the chip's
// interrupt handling): ISP2x00 and ISP24xx.  No further notify is taken
// while one waits for its acknowledge.
void ProcessImmediateNotify(uint8_t bPort);
// A logical unit reset: the SCSI-2 reservation this controller holds on
// the logical drive is released, here and at the partner.
void ReleaseLunReservation(uint16_t wLd);
void ProcessImmediateNotify24(uint8_t bPort);
uint8_t fIsImmediateNotifyBusy();
// ISP24xx task-management commands and ABTS frames (background pass).
void ProcessTaskManagementAtio(uint8_t bPort);
void AnswerAbtsRequest(uint8_t bPort);
// Ends the exchange of a received ATIO (type 7) without a completion.
void TerminateAtioExchange(uint8_t bPort, const uint8_t* pbAtio);
// Acknowledges; on ports 1 and 2 they end the notify's busy time.
void SendNotifyAcknowledge(uint8_t bPort, uint16_t wStatus, uint16_t wInitiator, uint16_t wFlags, uint16_t wSequence,
                           uint16_t wTaskFlags);
void SendNotifyAcknowledge24(uint8_t bPort, uint16_t wStatus, const PORT_NOTIFY_24XX& sNotify);
// Start of day.
void ResetTaskManagement();

// The background pass's view: the port's task-management and ABTS requests.
uint16_t wGetHostCommandPoolCount(uint8_t bPort);
void HostCommandService(uint8_t bPort);

}  // namespace fw
