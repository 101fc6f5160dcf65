// SCSI-2 reservations: RESERVE and RELEASE keep one reservation per logical
// drive, and the dispatcher asks here before most commands whether their
// initiator conflicts with it.  With two controllers every reservation and
// release is decided by one exchange with the partner (messages 124 and
// 125), so that both controllers hold the same table.
//
// A holder is the 16-bit initiator identifier of its port (the ISP24xx
// handle), and a reservation ends with its holder's login: a handle freed
// by a logout is given to the next host that logs in.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint8_t RESERVATION_CONFLICT = 112;
constexpr uint8_t SCSI2_RELEASE_REFUSED = 113;
// bGetScsi2Reservation: 243 reserved (the holder given out), 244 not.
constexpr uint8_t SCSI2_RESERVED = 243;
constexpr uint8_t SCSI2_NOT_RESERVED = 244;
constexpr uint16_t SCSI2_NO_INITIATOR = 0xFFFF;
constexpr uint8_t SCSI2_NO_PORT = 255;
constexpr uint8_t SCSI2_NO_CONTROLLER = 255;
// The command type of a RESERVE or RELEASE waiting for the partner's verdict.
constexpr uint8_t COMMAND_TYPE_RESERVATION_PARTNER = '~';
// The primary state of a command parked until the partner answers it.
constexpr uint8_t HOST_STATE_PARTNER_WAIT = 102;
// The third-party parameter list: the port name of the initiator the
// reservation is made for.
constexpr uint16_t THIRD_PARTY_LIST_BYTES = 8;

// Start-up, TARGET RESET, LIP, loop down: every entry empty.
void InitScsi2Reservations();

// 112 conflict, 255 none.  The remote flag is TRUE when the partner asks
// for a command of its own host ports.
uint8_t bCheckScsi2Reservation(uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator, uint8_t fRemote);
void SetScsi2Reservation(uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator, uint8_t fOnBehalf,
                         uint16_t wOnBehalfId, uint8_t bController);
// 255 released or nothing to release, 113 not released.
uint8_t bReleaseScsi2Reservation(uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator, uint8_t fOnBehalf,
                                 uint16_t wOnBehalfId, uint8_t bController);
uint8_t bGetScsi2Reservation(uint16_t wLun, uint8_t* pbPortCode, uint16_t* pwInitiator, uint8_t* pfOnBehalf,
                             uint16_t* pwOnBehalfId, uint8_t* pbController);

// RESERVE(10) and RELEASE(10) (the dispatcher widens the 6-byte forms):
// 255 answered or under way, 16 or 66 to be dispatched again.
uint8_t AnswerReserve(KERNEL_ENTRY* psEntry, uint16_t wLun);
uint8_t AnswerRelease(KERNEL_ENTRY* psEntry, uint16_t wLun);
// The third-party parameter list has arrived (the data-out completion).
void ReserveParameterData(KERNEL_ENTRY* psEntry, uint8_t fResult);
void ReleaseParameterData(KERNEL_ENTRY* psEntry, uint8_t fResult);
// The second halves: called at once on a single controller and by the
// partner link with the partner's verdict (TRUE granted).
void FinishReserve(KERNEL_ENTRY* psEntry, uint8_t fResult, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController);
void FinishRelease(KERNEL_ENTRY* psEntry, uint8_t fResult, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController);

// The partner's requests (messages 124 and 125) carried out here: TRUE when
// the partner's host may have the reservation.
uint8_t fPartnerReserveRequest(uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator,
                               uint16_t wOnBehalfId, uint8_t bController);
void PartnerReleaseRequest(uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator,
                           uint16_t wOnBehalfId, uint8_t bController);

// An initiator's login on a host port of this controller ended (LOGO, PRLO,
// port logout): the reservations it held, or that were held for it, end
// with it.  All initiators of the port for a global logout.  Runs in the
// host chips' interrupt handling; the partner learns of each release from
// the main loop.
void EndScsi2ReservationsOfInitiator(uint8_t bPortCode, uint16_t wInitiator);
void EndScsi2ReservationsOfPort(uint8_t bPortCode);

void DumpReservationVariables();

}  // namespace fw
