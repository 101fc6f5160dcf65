// PERSISTENT RESERVE IN and OUT, the conflict check the dispatcher asks
// before most commands, the pending unit attentions they leave, and the
// exchange of it all with the partner controller.  With two controllers
// every PERSISTENT RESERVE OUT runs on the partner first (message 40) and
// then here, so that both apply the same sequence.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint8_t PR_CONFLICT = 112;
constexpr uint8_t EVENT_PR_REFUSED = 135;
// bRunPrOutServiceAction: finished (answer now), finished with the APTPL
// copy being stored or carried out by the partner first (answer later),
// or the partner's queue is full (run again).
constexpr uint8_t PR_OUT_FINISHED = 2;
constexpr uint8_t PR_OUT_ANSWER_LATER = 1;
constexpr uint8_t PR_OUT_RUN_AGAIN = 16;
// The request record a PERSISTENT RESERVE OUT is carried out from, built
// behind its parameter data and sent to the partner.
constexpr uint32_t PR_REQUEST_BYTES = 48;
// Where the request record holds its service action.
constexpr uint32_t PR_REQUEST_SERVICE_ACTION = 30;
// Every service action takes at least the 24-byte basic list.
constexpr uint32_t PR_BASIC_LIST_BYTES = 24;
constexpr uint32_t PR_TRANSPORT_ID_BYTES = 24;
// Buffer IDs of the partner's READ BUFFER for the tables.
constexpr uint8_t PR_BUFFER_ID_REGISTRATIONS = 0x11;
constexpr uint8_t PR_BUFFER_ID_ATTENTIONS = 0x10;

void InitPersistentReservations();
// Start of day beside a running partner: its registrations and pending
// attentions, read through the drive side.
void LoadPersistentReservationsFromPartner();
void LoadPrAttentionsFromPartner();

// 112 conflict, 255 none.
uint8_t bCheckPersistentReservation(uint8_t bController, uint8_t bPortCode, uint8_t bPortIndex, uint8_t bOpcode,
                                    uint16_t wLun, uint16_t wInitiator);
// TRUE with the attention's reason and sense when one waits for the
// initiator on the logical drive.
uint8_t bGetPendingPrAttention(uint8_t bController, uint8_t bPortCode, uint8_t bPortIndex, uint16_t wInitiator,
                               uint16_t wLun, uint8_t* pbReason, uint8_t* pbAsc, uint8_t* pbAscq);
// Answers it (the command leaves the new-command ring) and clears it here
// and at the partner.
void AnswerPendingPrAttention(uint8_t bController, uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun,
                              KERNEL_ENTRY* psEntry);

void AnswerPersistentReserveIn(KERNEL_ENTRY* psEntry);
void AnswerPersistentReserveOut(KERNEL_ENTRY* psEntry);
// The parameter data has arrived: 255, or 16 to be run again.
uint8_t bPersistentReserveOutData(KERNEL_ENTRY* psEntry);
uint8_t bRunPrOutServiceAction(KERNEL_ENTRY* psEntry, uint8_t bServiceAction, uint8_t bType, const uint8_t* pbBuffer,
                               uint8_t* pbStatus, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq);

// One PERSISTENT RESERVE OUT at a time: TRUE from its acceptance until its
// status has gone out (the command completion clears it).
uint8_t fIsPrOutInProgress();
void ClearPrOutWaitFlags();
void SetPrOutWaitFlag(uint8_t f);
void SetPrOutPendingFlag(uint8_t f);
void SetPrOutPendingEntry(uint16_t wEntry);

// The partner has carried out this controller's request (message 40): it
// runs here now and the host is answered.
void PrOutPartnerDone(KERNEL_ENTRY* psEntry);
// The partner's request carried out here: 255 done, 16 to be delivered
// again once this controller's own request is through.
uint8_t bRunPartnerPrOutRequest(const uint8_t* pbRecord, const uint8_t* pbList, uint32_t dListLength);
// The partner answered an attention of its host.
void PartnerPrAttentionCleared(const uint8_t* pbPortName, uint8_t bController, uint8_t bPortIndex, uint16_t wLun);

// The end of a commit that stored the APTPL copy: the command that waited
// for it is answered.
void CompleteTargetEngineConfigRequest(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
uint8_t fIsPrOutWaitingForCopy();

void DumpPersistentReservations();

}  // namespace fw
