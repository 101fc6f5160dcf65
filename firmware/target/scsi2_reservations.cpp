// SCSI-2 reservations.
//
// Six parallel tables indexed by logical drive.  The main loop decides and
// records reservations; the host chips' interrupt handling ends those whose
// holder logged out.  Every multi-field change of the main loop is made
// under the host pool lock (interrupt source 0, the host chips' own), so
// that the interrupt side never sees half a record.
#include "target/scsi2_reservations.h"

#include <cstring>

#include "config/host_port_tables.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "target/command_access.h"
#include "target/command_replies.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint16_t TABLE_ENTRIES = 512;
constexpr uint8_t CDB_THIRD_PARTY = 0x10;
constexpr uint8_t CDB_LONG_ID = 0x02;

struct SCSI2_RESERVATION {
    uint8_t afReserved[TABLE_ENTRIES];     // RF
    uint16_t awHolder[TABLE_ENTRIES];      // RID
    uint8_t abHolderPort[TABLE_ENTRIES];   // RDEV
    uint8_t afOnBehalf[TABLE_ENTRIES];     // 3PRF
    uint16_t awOnBehalfId[TABLE_ENTRIES];  // 3PRID
    uint8_t abController[TABLE_ENTRIES];   // RC
};
SCSI2_RESERVATION s_sTable;
// Releases made on the interrupt side that the partner has not been told of.
uint8_t s_afPartnerNotice[TABLE_ENTRIES];
uint8_t s_fAnyPartnerNotice = FALSE;

// The fields a reserve or release carries, to the partner and back.
struct REQUEST {
    uint8_t fOnBehalf;
    uint8_t bPortCode;
    uint16_t wLun;
    uint16_t wInitiator;
    uint16_t wOnBehalfId;
    uint8_t bController;
};

void Empty(uint16_t wLun) {
    s_sTable.afReserved[wLun] = FALSE;
    s_sTable.awHolder[wLun] = SCSI2_NO_INITIATOR;
    s_sTable.abHolderPort[wLun] = SCSI2_NO_PORT;
    s_sTable.afOnBehalf[wLun] = FALSE;
    s_sTable.awOnBehalfId[wLun] = SCSI2_NO_INITIATOR;
    s_sTable.abController[wLun] = SCSI2_NO_CONTROLLER;
}

bool IsHeld(uint16_t wLun) { return s_sTable.afReserved[wLun] == TRUE || s_sTable.afOnBehalf[wLun] == TRUE; }

// The partner learns of the releases the interrupt side made.
// A notice the partner's queue cannot take yet stays for the next command.
void SendPartnerNotices() {
    if (s_fAnyPartnerNotice != TRUE) return;
    s_fAnyPartnerNotice = FALSE;
    const bool fDual = fIsDualControllerActive() == TRUE;
    for (uint16_t w = 0; w < TABLE_ENTRIES; w++) {
        if (s_afPartnerNotice[w] != TRUE) continue;
        if (fDual && (bCheckOutgoingQueueSpace(PARTNER_MESSAGE_SCSI2_RELEASE) != STATUS_OK ||
                      bSendReservationMessage125(nullptr, FALSE, SCSI2_NO_PORT, w, SCSI2_NO_INITIATOR,
                                                 SCSI2_NO_INITIATOR, bGetControllerNumber()) != STATUS_OK)) {
            s_fAnyPartnerNotice = TRUE;
            continue;
        }
        s_afPartnerNotice[w] = FALSE;
    }
}

REQUEST sRequestOf(KERNEL_ENTRY* psEntry, uint16_t wLun, uint8_t fOnBehalf, uint16_t wOnBehalfId) {
    return REQUEST{fOnBehalf, psEntry->bPortCode, wLun, wGetCommandInitiator(psEntry), wOnBehalfId,
                   bGetControllerNumber()};
}

// The command waits, off the new-command ring, for the partner's verdict.
void ParkForPartner(KERNEL_ENTRY* psEntry, bool fOnNewRing) {
    psEntry->bCommandType = COMMAND_TYPE_RESERVATION_PARTNER;
    psEntry->bPrimaryState = HOST_STATE_PARTNER_WAIT;
    if (fOnNewRing) DecPortNewCommands(psEntry->bPortCode);
}

// Step 4 of RESERVE and step 5 of RELEASE: decided here, or by the partner
// first.  fOnNewRing: the command still sits on the new-command ring.
uint8_t bDecide(KERNEL_ENTRY* psEntry, const REQUEST& r, bool fReserve, bool fOnNewRing) {
    if (fIsDualControllerActive() == TRUE) {
        const uint8_t bCode = fReserve ? PARTNER_MESSAGE_SCSI2_RESERVE : PARTNER_MESSAGE_SCSI2_RELEASE;
        if (bCheckOutgoingQueueSpace(bCode) != STATUS_OK) {
            if (fOnNewRing) return STATUS_RETRY;
        } else {
            const uint8_t bSent =
                fReserve ? bSendReservationMessage124(psEntry, r.fOnBehalf, r.bPortCode, r.wLun, r.wInitiator,
                                                      r.wOnBehalfId, r.bController)
                         : bSendReservationMessage125(psEntry, r.fOnBehalf, r.bPortCode, r.wLun, r.wInitiator,
                                                      r.wOnBehalfId, r.bController);
            if (bSent == STATUS_OK) {
                ParkForPartner(psEntry, fOnNewRing);
                return STATUS_OK;
            }
        }
        // No way to the partner now: decided here, as a single controller
        // would, so that no host command is left waiting for nothing.
    }
    if (fOnNewRing) DecPortNewCommands(psEntry->bPortCode);
    if (fReserve) {
        FinishReserve(psEntry, TRUE, r.fOnBehalf, r.bPortCode, r.wLun, r.wInitiator, r.wOnBehalfId, r.bController);
    } else {
        FinishRelease(psEntry, TRUE, r.fOnBehalf, r.bPortCode, r.wLun, r.wInitiator, r.wOnBehalfId, r.bController);
    }
    return STATUS_OK;
}

// Both bits: the reservation is made for the initiator whose port name the
// 8-byte parameter list gives (a 3rdPty bit alone is ignored).
bool IsThirdParty(const uint8_t* pbCdb) {
    return (pbCdb[1] & (CDB_THIRD_PARTY | CDB_LONG_ID)) == (CDB_THIRD_PARTY | CDB_LONG_ID);
}

// Receives the third-party list into one page.  A list of any other length
// than 8 bytes is refused before data.
uint8_t bReceiveThirdPartyList(KERNEL_ENTRY* psEntry) {
    const uint16_t wLength = wGetBe16(pGetCommandCdb(psEntry) + 7);
    if (wLength != THIRD_PARTY_LIST_BYTES) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH, 0);
        return STATUS_OK;
    }
    if (pbTakeCommandPages(psEntry, 1) == nullptr) return STATUS_NO_PAGES;
    const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBufferHandleToPciAddress(psEntry->dBufferHandle)),
                                       THIRD_PARTY_LIST_BYTES};
    StartDataOutTransfer(psEntry, &sSegment, 1);
    DecPortNewCommands(psEntry->bPortCode);
    return STATUS_OK;
}

// The initiator the third-party list names, by its port name in the login
// table of the command's port; FALSE (answered 5/0x26/0x00) when no such
// initiator is logged in there or the host sent less than the list.
bool ResolveThirdParty(KERNEL_ENTRY* psEntry, uint16_t* pwId) {
    uint8_t bId = 0;
    const bool fWhole = fIsFibreHostCommand(psEntry) != TRUE ||
                        dGetCommandExpectedLength(psEntry) >= THIRD_PARTY_LIST_BYTES;
    const uint8_t* pbName = static_cast<const uint8_t*>(pBufferHandleToPointer(psEntry->dBufferHandle));
    if (!fWhole || fFindNameInPortList(pGetHostPortRecord(psEntry->bPortCode), pbName, &bId, TRUE, FALSE) != TRUE) {
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_PARAMETERS, 0);
        return false;
    }
    *pwId = bId;
    return true;
}

void EndWhere(uint8_t bPortCode, bool (*pfMatches)(uint16_t wLun, uint8_t bPortCode, uint16_t wInitiator),
              uint16_t wInitiator) {
    const uint8_t bController = bGetControllerNumber();
    for (uint16_t w = 0; w < TABLE_ENTRIES; w++) {
        if (!IsHeld(w) || s_sTable.abController[w] != bController || !pfMatches(w, bPortCode, wInitiator)) continue;
        Empty(w);
        s_afPartnerNotice[w] = TRUE;
        s_fAnyPartnerNotice = TRUE;
    }
}

}  // namespace

void InitScsi2Reservations() {
    HostPoolLock sLock;
    for (uint16_t w = 0; w < TABLE_ENTRIES; w++) Empty(w);
}

uint8_t bCheckScsi2Reservation(uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator, uint8_t fRemote) {
    SendPartnerNotices();
    if (wLun >= TABLE_ENTRIES || !IsHeld(wLun)) return STATUS_OK;
    const bool fOwn = s_sTable.abController[wLun] == bGetControllerNumber();
    if (fOwn == (fRemote == TRUE)) return RESERVATION_CONFLICT;
    if (s_sTable.abHolderPort[wLun] != bPortCode) return RESERVATION_CONFLICT;
    // The holder has access, and so has the initiator a third-party
    // reservation was made for.
    if (s_sTable.awHolder[wLun] == wInitiator) return STATUS_OK;
    if (s_sTable.afOnBehalf[wLun] == TRUE && s_sTable.awOnBehalfId[wLun] == wInitiator) return STATUS_OK;
    return RESERVATION_CONFLICT;
}

void SetScsi2Reservation(uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator, uint8_t fOnBehalf,
                         uint16_t wOnBehalfId, uint8_t bController) {
    if (wLun >= TABLE_ENTRIES) return;
    HostPoolLock sLock;
    s_sTable.afReserved[wLun] = TRUE;
    s_sTable.awHolder[wLun] = wInitiator;
    s_sTable.abHolderPort[wLun] = bPortCode;
    s_sTable.afOnBehalf[wLun] = fOnBehalf == TRUE ? TRUE : FALSE;
    s_sTable.awOnBehalfId[wLun] = fOnBehalf == TRUE ? wOnBehalfId : SCSI2_NO_INITIATOR;
    s_sTable.abController[wLun] = bController;
}

uint8_t bReleaseScsi2Reservation(uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator, uint8_t fOnBehalf,
                                 uint16_t wOnBehalfId, uint8_t bController) {
    if (wLun >= TABLE_ENTRIES) return STATUS_OK;
    HostPoolLock sLock;
    if (!IsHeld(wLun)) return STATUS_OK;
    if (s_sTable.abController[wLun] != bController) return SCSI2_RELEASE_REFUSED;
    // A third-party release names the same initiator the reservation was
    // made for; an ordinary one comes from the holder itself.
    const bool fReleased = fOnBehalf == TRUE ? s_sTable.afOnBehalf[wLun] == TRUE &&
                                                   s_sTable.awOnBehalfId[wLun] == wOnBehalfId &&
                                                   s_sTable.abHolderPort[wLun] == bPortCode
                                             : s_sTable.awHolder[wLun] == wInitiator &&
                                                   s_sTable.abHolderPort[wLun] == bPortCode;
    if (!fReleased) return SCSI2_RELEASE_REFUSED;
    Empty(wLun);
    return STATUS_OK;
}

uint8_t bGetScsi2Reservation(uint16_t wLun, uint8_t* pbPortCode, uint16_t* pwInitiator, uint8_t* pfOnBehalf,
                             uint16_t* pwOnBehalfId, uint8_t* pbController) {
    if (wLun >= TABLE_ENTRIES || !IsHeld(wLun)) return SCSI2_NOT_RESERVED;
    *pbPortCode = s_sTable.abHolderPort[wLun];
    *pwInitiator = s_sTable.awHolder[wLun];
    *pfOnBehalf = s_sTable.afOnBehalf[wLun];
    *pwOnBehalfId = s_sTable.awOnBehalfId[wLun];
    *pbController = s_sTable.abController[wLun];
    return SCSI2_RESERVED;
}

uint8_t AnswerReserve(KERNEL_ENTRY* psEntry, uint16_t wLun) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    if (wLun >= TABLE_ENTRIES) {
        AnswerCommand(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return STATUS_OK;
    }
    if (IsThirdParty(pGetCommandCdb(psEntry))) return bReceiveThirdPartyList(psEntry);
    return bDecide(psEntry, sRequestOf(psEntry, wLun, FALSE, SCSI2_NO_INITIATOR), true, true);
}

uint8_t AnswerRelease(KERNEL_ENTRY* psEntry, uint16_t wLun) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    if (wLun >= TABLE_ENTRIES ||
        bCheckScsi2Reservation(psEntry->bPortCode, wLun, wGetCommandInitiator(psEntry), FALSE) == RESERVATION_CONFLICT) {
        AnswerCommand(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return STATUS_OK;
    }
    if (IsThirdParty(pGetCommandCdb(psEntry))) return bReceiveThirdPartyList(psEntry);
    return bDecide(psEntry, sRequestOf(psEntry, wLun, FALSE, SCSI2_NO_INITIATOR), false, true);
}

void ReserveParameterData(KERNEL_ENTRY* psEntry, uint8_t) {
    uint16_t wId = SCSI2_NO_INITIATOR;
    if (!ResolveThirdParty(psEntry, &wId)) return;
    (void)bDecide(psEntry, sRequestOf(psEntry, psEntry->wLunIndex, TRUE, wId), true, false);
}

void ReleaseParameterData(KERNEL_ENTRY* psEntry, uint8_t) {
    uint16_t wId = SCSI2_NO_INITIATOR;
    if (!ResolveThirdParty(psEntry, &wId)) return;
    (void)bDecide(psEntry, sRequestOf(psEntry, psEntry->wLunIndex, TRUE, wId), false, false);
}

void FinishReserve(KERNEL_ENTRY* psEntry, uint8_t fResult, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    if (fResult != TRUE) {
        uint8_t* pbCdb = pGetCommandCdb(psEntry);
        if (pbCdb != nullptr) pbCdb[0] = 0;
        (void)SendScsiStatus(psEntry, SCSI_STATUS_RESERVATION_CONFLICT, 0, 0);
        return;
    }
    SetScsi2Reservation(bPortCode, wLun, wInitiator, fOnBehalf, wOnBehalfId, bController);
    (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
}

void FinishRelease(KERNEL_ENTRY* psEntry, uint8_t fResult, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController) {
    if (fResult == TRUE) (void)bReleaseScsi2Reservation(bPortCode, wLun, wInitiator, fOnBehalf, wOnBehalfId, bController);
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
}

uint8_t fPartnerReserveRequest(uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator,
                               uint16_t wOnBehalfId, uint8_t bController) {
    if (bCheckScsi2Reservation(bPortCode, wLun, wInitiator, TRUE) == RESERVATION_CONFLICT) return FALSE;
    SetScsi2Reservation(bPortCode, wLun, wInitiator, fOnBehalf, wOnBehalfId, bController);
    return TRUE;
}

void PartnerReleaseRequest(uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun, uint16_t wInitiator,
                           uint16_t wOnBehalfId, uint8_t bController) {
    // A release the partner made by itself (a LUN reset, a logout) names
    // no holder: whatever the partner held on the drive ends.
    if (bPortCode == SCSI2_NO_PORT && wLun < TABLE_ENTRIES && IsHeld(wLun) &&
        s_sTable.abController[wLun] == bController) {
        HostPoolLock sLock;
        Empty(wLun);
        return;
    }
    (void)bReleaseScsi2Reservation(bPortCode, wLun, wInitiator, fOnBehalf, wOnBehalfId, bController);
}

void EndScsi2ReservationsOfInitiator(uint8_t bPortCode, uint16_t wInitiator) {
    EndWhere(
        bPortCode,
        [](uint16_t w, uint8_t bPort, uint16_t wId) {
            const bool fHolder = s_sTable.awHolder[w] == wId;
            const bool fFor = s_sTable.afOnBehalf[w] == TRUE && s_sTable.awOnBehalfId[w] == wId;
            return s_sTable.abHolderPort[w] == bPort && (fHolder || fFor);
        },
        wInitiator);
}

void EndScsi2ReservationsOfPort(uint8_t bPortCode) {
    EndWhere(bPortCode, [](uint16_t w, uint8_t bPort, uint16_t) { return s_sTable.abHolderPort[w] == bPort; }, 0);
}

void DumpReservationVariables() {
    ConsolePrintf("Dump reservation variables:\n");
    for (uint16_t w = 0; w < TABLE_ENTRIES; w++) {
        if (s_sTable.afReserved[w] != TRUE) continue;
        ConsolePrintf("  LUN %02d, RF %02x, RID %02d, RDEV %02d, 3PRF %02x, 3PRID %02d, RC %02d\n", w,
                      s_sTable.afReserved[w], s_sTable.awHolder[w], s_sTable.abHolderPort[w], s_sTable.afOnBehalf[w],
                      s_sTable.awOnBehalfId[w], s_sTable.abController[w]);
    }
    ConsolePrintf("\n");
}

}  // namespace fw
