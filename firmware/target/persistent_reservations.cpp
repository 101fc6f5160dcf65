// PERSISTENT RESERVE IN and OUT.
//
// A PERSISTENT RESERVE OUT is taken whole before anything changes: its
// parameter list is checked against what it declares, then its service
// action runs on the partner (with two controllers) and here.  A change to
// a logical drive whose registrations persist through a power loss (APTPL)
// is answered only once the configuration image that carries them has been
// written to the drives.
#include "target/persistent_reservations.h"

#include <algorithm>
#include <cstring>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "sas/sas_scsi_path.h"
#include "target/command_access.h"
#include "target/command_replies.h"
#include "target/host_command_codes.h"
#include "target/pr_registrations.h"
#include "target/scsi2_reservations.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

// Service actions.
constexpr uint8_t SA_REGISTER = 0;
constexpr uint8_t SA_RESERVE = 1;
constexpr uint8_t SA_RELEASE = 2;
constexpr uint8_t SA_CLEAR = 3;
constexpr uint8_t SA_PREEMPT = 4;
constexpr uint8_t SA_PREEMPT_AND_ABORT = 5;
constexpr uint8_t SA_REGISTER_IGNORE_KEY = 6;
constexpr uint8_t SA_REGISTER_AND_MOVE = 7;
constexpr uint8_t SA_IN_READ_KEYS = 0;
constexpr uint8_t SA_IN_READ_RESERVATION = 1;
constexpr uint8_t SA_IN_REPORT_CAPABILITIES = 2;
constexpr uint8_t SA_IN_READ_FULL_STATUS = 3;
constexpr uint8_t SERVICE_ACTION_MASK = 0x1F;

// Why a service action was refused (event 135).
constexpr uint8_t REASON_KEY = 1;
constexpr uint8_t REASON_TYPE = 2;
constexpr uint8_t REASON_HOLDER = 3;
constexpr uint8_t REASON_NOT_REGISTERED = 4;
constexpr uint8_t REASON_ALL_PORTS = 5;
constexpr uint8_t REASON_LIST = 6;
constexpr uint8_t REASON_MOVE = 7;

// The basic parameter list.
constexpr uint32_t LIST_SERVICE_KEY = 8;
constexpr uint32_t LIST_FLAGS = 20;
constexpr uint8_t FLAG_APTPL = 0x01;
constexpr uint8_t FLAG_ALL_TG_PT = 0x04;
constexpr uint8_t FLAG_SPEC_I_PT = 0x08;
constexpr uint32_t LIST_SPEC_I_PT_LENGTH = 24;
// REGISTER AND MOVE's list.
constexpr uint32_t MOVE_FLAGS = 17;
constexpr uint32_t MOVE_TARGET_PORT = 18;
constexpr uint32_t MOVE_ID_LENGTH = 20;
// A Fibre Channel transport ID: format 0, protocol 0, the port name.
constexpr uint32_t TRANSPORT_ID_NAME = 8;
constexpr uint8_t TRANSPORT_ID_PROTOCOL_MASK = 0xCF;

constexpr uint8_t ASC_INSUFFICIENT_RESOURCES = 0x55;
constexpr uint8_t ASCQ_NO_REGISTRATION_SLOT = 0x04;
constexpr uint8_t ASCQ_INVALID_RELEASE = 0x04;
constexpr uint8_t REPORT_CAPABILITIES[8] = {0x00, 0x08, 0x01, 0x81, 0xEA, 0x01, 0x00, 0x00};
constexpr uint32_t FULL_STATUS_DESCRIPTOR = 24 + PR_TRANSPORT_ID_BYTES;
constexpr uint8_t R_HOLDER = 0x01;
constexpr uint8_t BUFFER_PAGE_COUNT_MAX = 17;   // a 65535-byte list and its request record

#pragma pack(push, 1)
struct PR_REQUEST {
    uint8_t abKey[8];
    uint8_t abPortName[8];
    uint32_t dListLength;
    uint16_t wLun;
    uint8_t abReserved22[2];
    uint8_t bPortIndex;
    uint8_t bInitiator;
    uint8_t bController;
    uint8_t bType;
    uint8_t abReserved28[2];
    uint8_t bServiceAction;
    uint8_t bPortCode;
    uint8_t abCdb[16];
};
#pragma pack(pop)
static_assert(sizeof(PR_REQUEST) == PR_REQUEST_BYTES);
static_assert(offsetof(PR_REQUEST, bServiceAction) == PR_REQUEST_SERVICE_ACTION);

// The answer of a service action: a SCSI status, and the sense of a CHECK
// CONDITION.
struct PR_ANSWER {
    uint8_t bCode;   // SendScsiStatus's code: 0 GOOD, 0x18 conflict, else the sense key
    uint8_t bAsc;
    uint8_t bAscq;
};
constexpr PR_ANSWER GOOD = {SCSI_STATUS_GOOD, 0, 0};
constexpr PR_ANSWER CONFLICT = {SCSI_STATUS_RESERVATION_CONFLICT, 0, 0};
constexpr PR_ANSWER Illegal(uint8_t bAsc, uint8_t bAscq = 0) { return PR_ANSWER{SENSE_ILLEGAL_REQUEST, bAsc, bAscq}; }

// One service action on the tables, for a nexus of this controller or of
// the partner's.
struct ACTION {
    PR_NEXUS sNexus;
    bool fNamed;             // the nexus's port name is known
    uint8_t bServiceAction;
    uint8_t bType;
    const uint8_t* pbList;
    uint32_t dListLength;
};

uint8_t s_fInProgress = FALSE;
uint8_t s_fWaitingForPartner = FALSE;
uint8_t s_fPartnerPending = FALSE;
uint16_t s_wPartnerPendingEntry = 0;
// The APTPL copy: changed in the tables but not yet in the live image,
// written but not yet committed, and the command that waits for it.
uint8_t s_fCopyDirty = FALSE;
uint8_t s_fCopyWritten = FALSE;
KERNEL_ENTRY* s_psWaitingForCopy = nullptr;
PR_ANSWER s_sWaitingAnswer;

bool IsZeroKey(const uint8_t* pb) {
    for (int i = 0; i < 8; i++)
        if (pb[i] != 0) return false;
    return true;
}
bool SameKey(const uint8_t* pbA, const uint8_t* pbB) { return std::memcmp(pbA, pbB, 8) == 0; }

PR_ANSWER Refuse(const ACTION& a, uint8_t bReason, PR_ANSWER s) {
    PostEvent(EVENT_PR_REFUSED, bReason, a.sNexus.bPortIndex, a.sNexus.bController,
              static_cast<uint8_t>(a.sNexus.wLun >> 8), static_cast<uint8_t>(a.sNexus.wLun));
    return s;
}

uint8_t bPortIndexOf(uint8_t bPortCode) {
    return bGetHostInterfaceType() == HOST_INTERFACE_EMBEDDED ? 0 : bReservationPortIndex(bPortCode);
}

// The I_T nexus of a host command on this controller.
bool NexusOf(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun, PR_NEXUS* ps) {
    ps->wLun = wLun;
    ps->bPortIndex = bPortIndexOf(bPortCode);
    ps->bController = bGetControllerNumber();
    return fGetInitiatorPortName(bPortCode, wInitiator, ps->abPortName) == TRUE;
}

PR_REGISTRATION* psRegistrationOf(const ACTION& a) { return a.fNamed ? psFindPrRegistration(a.sNexus) : nullptr; }

// Holds the reservation: the registration types 1 and 3 name (5 and 6:
// its maker), any registrant of the all-registrants types.
bool Holds(const PR_REGISTRATION* ps) {
    if (ps == nullptr || fIsPrReserved(ps->wLun) != TRUE) return false;
    return IsPrAllRegistrants(bGetPrType(ps->wLun)) || ps == psGetPrHolder(ps->wLun);
}

// The reservation goes to one registrant; all registrants of the
// registrants-only and all-registrants types are marked holders.
void Reserve(PR_REGISTRATION* ps, uint8_t bType) {
    SetPrReservation(ps->wLun, bType);
    if (bType >= PR_TYPE_WE_REGISTRANTS_ONLY) SetPrHolders(ps->wLun, bType, TRUE);
    ps->fHolder = TRUE;
    ps->bType = bType;
    ps->fOwner = TRUE;
}

void Unregister(PR_REGISTRATION* ps) {
    const uint16_t wLun = ps->wLun;
    if (fIsPrReserved(wLun) == TRUE) {
        const uint8_t bType = bGetPrType(wLun);
        const uint16_t wOwn = ps->bController == PR_ANY_CONTROLLER ? 2 : 1;
        if (IsPrAllRegistrants(bType)) {
            if (wCountPrRegistrations(wLun) <= wOwn) ReleasePrReservation(wLun);
        } else if (Holds(ps)) {
            ReleasePrReservation(wLun);
            if (IsPrRegistrantsOnly(bType)) PostPrAttentionToOthers(wLun, PR_ATTENTION_RESERVATIONS_RELEASED, ps);
        }
    }
    RemovePrRegistration(ps);
}

// The transport IDs of a SPEC_I_PT list, checked before anything changes:
// each must be a Fibre Channel ID of a nexus neither registered nor named
// twice nor the requester's own.
PR_ANSWER CheckSpecifiedIds(const ACTION& a, uint32_t dIds) {
    const uint8_t* pbIds = a.pbList + PR_BASIC_LIST_BYTES + 4;
    for (uint32_t i = 0; i < dIds; i++) {
        const uint8_t* pbId = pbIds + i * PR_TRANSPORT_ID_BYTES;
        PR_NEXUS s = a.sNexus;
        std::memcpy(s.abPortName, pbId + TRANSPORT_ID_NAME, 8);
        bool fRepeated = std::memcmp(s.abPortName, a.sNexus.abPortName, 8) == 0;
        for (uint32_t j = 0; j < i && !fRepeated; j++) {
            fRepeated = std::memcmp(pbIds + j * PR_TRANSPORT_ID_BYTES + TRANSPORT_ID_NAME, s.abPortName, 8) == 0;
        }
        if ((pbId[0] & TRANSPORT_ID_PROTOCOL_MASK) != 0 || fRepeated || psFindPrRegistration(s) != nullptr) {
            return Refuse(a, REASON_NOT_REGISTERED, Illegal(ASC_INVALID_FIELD_IN_CDB));
        }
    }
    if (wFreePrRegistrations() < dIds + 1) {
        return Refuse(a, REASON_LIST, Illegal(ASC_INSUFFICIENT_RESOURCES, ASCQ_NO_REGISTRATION_SLOT));
    }
    return GOOD;
}

PR_ANSWER Register(const ACTION& a, bool fIgnoreKey) {
    const uint8_t* pbServiceKey = a.pbList + LIST_SERVICE_KEY;
    const uint8_t bFlags = a.pbList[LIST_FLAGS];
    PR_REGISTRATION* ps = psRegistrationOf(a);
    if (ps == nullptr) {
        if (!fIgnoreKey && !IsZeroKey(a.pbList)) return Refuse(a, REASON_KEY, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS));
        if (IsZeroKey(pbServiceKey)) return GOOD;
        if (bFlags & FLAG_ALL_TG_PT) return Refuse(a, REASON_ALL_PORTS, CONFLICT);
        // A nexus without a known port name is never registered.
        if (!a.fNamed) return Refuse(a, REASON_NOT_REGISTERED, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS));
        const uint32_t dIds = (bFlags & FLAG_SPEC_I_PT) ? dGetBe32(a.pbList + LIST_SPEC_I_PT_LENGTH) / PR_TRANSPORT_ID_BYTES : 0;
        const PR_ANSWER sIds = CheckSpecifiedIds(a, dIds);
        if (sIds.bCode != SCSI_STATUS_GOOD) return sIds;
        (void)psAddPrRegistration(a.sNexus, pbServiceKey);
        for (uint32_t i = 0; i < dIds; i++) {
            PR_NEXUS s = a.sNexus;
            std::memcpy(s.abPortName, a.pbList + PR_BASIC_LIST_BYTES + 4 + i * PR_TRANSPORT_ID_BYTES + TRANSPORT_ID_NAME, 8);
            (void)psAddPrRegistration(s, pbServiceKey);
        }
    } else {
        if (!fIgnoreKey && !SameKey(a.pbList, ps->abKey)) return Refuse(a, REASON_KEY, CONFLICT);
        if (bFlags & FLAG_SPEC_I_PT) {
            return Refuse(a, REASON_LIST, Illegal(fIgnoreKey ? ASC_INVALID_FIELD_IN_PARAMETERS : ASC_INVALID_FIELD_IN_CDB));
        }
        if (IsZeroKey(pbServiceKey)) {
            Unregister(ps);
        } else {
            std::memcpy(ps->abKey, pbServiceKey, 8);
        }
    }
    SetPrAptpl(a.sNexus.wLun, ToFlag((bFlags & FLAG_APTPL) != 0));
    IncrementPrGeneration();
    return GOOD;
}

PR_ANSWER ReserveAction(const ACTION& a) {
    if (!IsPrTypeValid(a.bType)) return Refuse(a, REASON_TYPE, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS));
    PR_REGISTRATION* ps = psRegistrationOf(a);
    const uint16_t wLun = a.sNexus.wLun;
    if (ps != nullptr && !SameKey(a.pbList, ps->abKey)) return Refuse(a, REASON_KEY, CONFLICT);
    if (fIsPrReserved(wLun) == TRUE) {
        const uint8_t bType = bGetPrType(wLun);
        if (ps != nullptr && Holds(ps)) return bType == a.bType ? GOOD : Refuse(a, REASON_TYPE, CONFLICT);
        if (ps != nullptr) return Refuse(a, REASON_HOLDER, CONFLICT);
        return Refuse(a, IsPrAllRegistrants(bType) ? REASON_TYPE : REASON_HOLDER, CONFLICT);
    }
    if (ps == nullptr) return CONFLICT;
    Reserve(ps, a.bType);
    return GOOD;
}

PR_ANSWER ReleaseAction(const ACTION& a) {
    const uint16_t wLun = a.sNexus.wLun;
    if (fIsPrReserved(wLun) != TRUE) return GOOD;
    const uint8_t bType = bGetPrType(wLun);
    PR_REGISTRATION* ps = psRegistrationOf(a);
    if (!IsPrTypeValid(bType)) return Refuse(a, REASON_TYPE, CONFLICT);
    if (ps == nullptr) return Refuse(a, REASON_NOT_REGISTERED, CONFLICT);
    if (bType == PR_TYPE_WRITE_EXCLUSIVE || bType == PR_TYPE_EXCLUSIVE_ACCESS) {
        if (!Holds(ps)) return GOOD;
        if (!SameKey(a.pbList, ps->abKey)) return Refuse(a, REASON_KEY, CONFLICT);
        if (a.bType != bType) return Refuse(a, REASON_TYPE, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS, ASCQ_INVALID_RELEASE));
        ReleasePrReservation(wLun);
        return GOOD;
    }
    if (!SameKey(a.pbList, ps->abKey)) {
        return Refuse(a, REASON_KEY, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS, ASCQ_INVALID_RELEASE));
    }
    if (IsPrRegistrantsOnly(bType) && ps->fOwner != TRUE) return GOOD;
    if (a.bType != bType) return Refuse(a, REASON_TYPE, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS, ASCQ_INVALID_RELEASE));
    ReleasePrReservation(wLun);
    PostPrAttentionToOthers(wLun, PR_ATTENTION_RESERVATIONS_RELEASED, ps);
    return GOOD;
}

PR_ANSWER ClearAction(const ACTION& a) {
    PR_REGISTRATION* ps = psRegistrationOf(a);
    if (ps == nullptr) return Refuse(a, REASON_NOT_REGISTERED, Illegal(ASC_INVALID_FIELD_IN_CDB));
    if (!SameKey(a.pbList, ps->abKey)) return Refuse(a, REASON_KEY, CONFLICT);
    const uint16_t wLun = a.sNexus.wLun;
    ReleasePrReservation(wLun);
    RemovePrRegistrations(wLun, nullptr, PR_ATTENTION_RESERVATIONS_PREEMPTED, ps);
    RemovePrRegistration(ps);
    IncrementPrGeneration();
    return GOOD;
}

bool AnyWithKey(uint16_t wLun, const uint8_t* pbKey, const PR_REGISTRATION* psExcept) {
    for (const PR_REGISTRATION* ps = psNextPrRegistration(nullptr); ps != nullptr; ps = psNextPrRegistration(ps)) {
        if (ps != psExcept && ps->wLun == wLun && SameKey(ps->abKey, pbKey)) return true;
    }
    return false;
}

PR_ANSWER PreemptAction(const ACTION& a) {
    PR_REGISTRATION* ps = psRegistrationOf(a);
    if (ps == nullptr) return Refuse(a, REASON_NOT_REGISTERED, CONFLICT);
    if (!SameKey(a.pbList, ps->abKey)) return Refuse(a, REASON_KEY, CONFLICT);
    const uint16_t wLun = a.sNexus.wLun;
    const uint8_t* pbServiceKey = a.pbList + LIST_SERVICE_KEY;
    const auto RemoveKeyed = [&] {
        RemovePrRegistrations(wLun, pbServiceKey, PR_ATTENTION_REGISTRATIONS_PREEMPTED, ps);
        IncrementPrGeneration();
        return GOOD;
    };
    if (fIsPrReserved(wLun) != TRUE) {
        if (!AnyWithKey(wLun, pbServiceKey, ps)) return Refuse(a, REASON_KEY, CONFLICT);
        return RemoveKeyed();
    }
    const uint8_t bType = bGetPrType(wLun);
    if (IsPrAllRegistrants(bType)) {
        if (!IsZeroKey(pbServiceKey)) {
            if (!AnyWithKey(wLun, pbServiceKey, ps)) return Refuse(a, REASON_KEY, CONFLICT);
            return RemoveKeyed();
        }
        if (!IsPrTypeValid(a.bType)) return Refuse(a, REASON_TYPE, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS));
        ReleasePrReservation(wLun);
        RemovePrRegistrations(wLun, nullptr, PR_ATTENTION_RESERVATIONS_PREEMPTED, ps);
        Reserve(ps, a.bType);
        IncrementPrGeneration();
        return GOOD;
    }
    if (IsZeroKey(pbServiceKey)) return Refuse(a, REASON_KEY, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS));
    const PR_REGISTRATION* psHolder = psGetPrHolder(wLun);
    if (psHolder != nullptr && SameKey(psHolder->abKey, pbServiceKey)) {
        if (!IsPrTypeValid(a.bType)) return Refuse(a, REASON_TYPE, Illegal(ASC_INVALID_FIELD_IN_PARAMETERS));
        RemovePrRegistrations(wLun, pbServiceKey, PR_ATTENTION_REGISTRATIONS_PREEMPTED, ps);
        ReleasePrReservation(wLun);
        Reserve(ps, a.bType);
        IncrementPrGeneration();
        return GOOD;
    }
    if (!AnyWithKey(wLun, pbServiceKey, ps)) return Refuse(a, REASON_KEY, CONFLICT);
    return RemoveKeyed();
}

PR_ANSWER MoveAction(const ACTION& a) {
    PR_REGISTRATION* ps = psRegistrationOf(a);
    if (ps == nullptr) return Refuse(a, REASON_NOT_REGISTERED, Illegal(ASC_INVALID_FIELD_IN_CDB));
    if (!SameKey(a.pbList, ps->abKey)) return Refuse(a, REASON_KEY, CONFLICT);
    const uint16_t wLun = a.sNexus.wLun;
    if (!Holds(ps)) return Refuse(a, REASON_HOLDER, CONFLICT);
    const uint8_t bType = bGetPrType(wLun);
    if (IsPrAllRegistrants(bType)) return Refuse(a, REASON_TYPE, Illegal(ASC_INVALID_FIELD_IN_CDB));
    if (a.bType != bType) return Refuse(a, REASON_TYPE, CONFLICT);
    const uint8_t* pbServiceKey = a.pbList + LIST_SERVICE_KEY;
    if (IsZeroKey(pbServiceKey)) return Refuse(a, REASON_KEY, CONFLICT);
    const uint8_t* pbId = a.pbList + PR_BASIC_LIST_BYTES;
    const uint16_t wTargetPort = wGetBe16(a.pbList + MOVE_TARGET_PORT);
    PR_NEXUS sTo = a.sNexus;
    std::memcpy(sTo.abPortName, pbId + TRANSPORT_ID_NAME, 8);
    sTo.bPortIndex = static_cast<uint8_t>(wTargetPort - 1);
    const bool fSelf = sTo.bPortIndex == a.sNexus.bPortIndex && SameKey(sTo.abPortName, a.sNexus.abPortName);
    if ((pbId[0] & TRANSPORT_ID_PROTOCOL_MASK) != 0 || wTargetPort < 1 || wTargetPort > 2) {
        return Refuse(a, REASON_LIST, Illegal(ASC_INVALID_FIELD_IN_CDB));
    }
    if (fSelf) return Refuse(a, REASON_MOVE, Illegal(ASC_INVALID_FIELD_IN_CDB));
    PR_REGISTRATION* psTo = psFindPrRegistration(sTo);
    if (psTo == nullptr) psTo = psAddPrRegistration(sTo, pbServiceKey);
    if (psTo == nullptr) return Refuse(a, REASON_LIST, Illegal(ASC_INSUFFICIENT_RESOURCES, ASCQ_NO_REGISTRATION_SLOT));
    std::memcpy(psTo->abKey, pbServiceKey, 8);
    ReleasePrReservation(wLun);
    Reserve(psTo, bType);
    RemovePrRegistration(ps);
    SetPrAptpl(wLun, ToFlag((a.pbList[MOVE_FLAGS] & FLAG_APTPL) != 0));
    IncrementPrGeneration();
    return GOOD;
}

PR_ANSWER RunAction(const ACTION& a) {
    switch (a.bServiceAction) {
    case SA_REGISTER: return Register(a, false);
    case SA_REGISTER_IGNORE_KEY: return Register(a, true);
    case SA_RESERVE: return ReserveAction(a);
    case SA_RELEASE: return ReleaseAction(a);
    case SA_CLEAR: return ClearAction(a);
    case SA_PREEMPT:
    case SA_PREEMPT_AND_ABORT: return PreemptAction(a);
    case SA_REGISTER_AND_MOVE: return MoveAction(a);
    default: return Illegal(ASC_INVALID_FIELD_IN_CDB);
    }
}

// The parameter list against what it declares, before anything runs: too
// short for what it names 0x1A/0x00, a list of IDs not made of whole IDs
// 0x26/0x00.  Nothing is read past the received data.
PR_ANSWER CheckList(uint8_t bServiceAction, const uint8_t* pbList, uint32_t dLength) {
    if (dLength < PR_BASIC_LIST_BYTES) return Illegal(ASC_PARAMETER_LIST_LENGTH);
    uint32_t dIdStart = 0;
    uint32_t dIds = 0;
    if (bServiceAction == SA_REGISTER_AND_MOVE) {
        dIdStart = PR_BASIC_LIST_BYTES;
        dIds = dGetBe32(pbList + MOVE_ID_LENGTH);
        if (dIds == 0) return Illegal(ASC_INVALID_FIELD_IN_PARAMETERS);
    } else if ((bServiceAction == SA_REGISTER || bServiceAction == SA_REGISTER_IGNORE_KEY) &&
               (pbList[LIST_FLAGS] & FLAG_SPEC_I_PT)) {
        if (dLength < PR_BASIC_LIST_BYTES + 4) return Illegal(ASC_PARAMETER_LIST_LENGTH);
        dIdStart = PR_BASIC_LIST_BYTES + 4;
        dIds = dGetBe32(pbList + LIST_SPEC_I_PT_LENGTH);
    } else {
        return GOOD;
    }
    if (dIds > dLength || dLength - dIds < dIdStart) return Illegal(ASC_PARAMETER_LIST_LENGTH);
    if (dIds % PR_TRANSPORT_ID_BYTES != 0) return Illegal(ASC_INVALID_FIELD_IN_PARAMETERS);
    return GOOD;
}

PR_REQUEST* psRequestOf(KERNEL_ENTRY* psEntry) {
    const uint32_t dLength = wGetBe16(pGetCommandCdb(psEntry) + 7);
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(psEntry->dBufferHandle));
    return reinterpret_cast<PR_REQUEST*>(pb + ((dLength + 3u) & ~3u));
}

// What reached the buffer: the list the CDB asks for, no more than the
// host sent.
uint32_t dReceivedLength(const KERNEL_ENTRY* psEntry) {
    uint32_t d = wGetBe16(pGetCommandCdb(psEntry) + 7);
    if (fIsFibreHostCommand(psEntry) == TRUE) d = std::min(d, dGetCommandExpectedLength(psEntry));
    return d;
}

ACTION sActionOf(const PR_REQUEST& r, const uint8_t* pbList, bool fNamed) {
    ACTION a{};
    std::memcpy(a.sNexus.abPortName, r.abPortName, 8);
    a.sNexus.wLun = r.wLun;
    a.sNexus.bPortIndex = r.bPortIndex;
    a.sNexus.bController = r.bController;
    a.fNamed = fNamed;
    a.bServiceAction = r.bServiceAction;
    a.bType = r.bType;
    a.pbList = pbList;
    a.dListLength = r.dListLength;
    return a;
}

// The image carries the registrations of every APTPL drive: a change to
// them is written into the live image (never while a commit writes it) and
// stored by a commit of its own unless one is about to run.
void StoreCopy() {
    if (s_fCopyDirty != TRUE || fWritePrImageCopy() != TRUE) return;
    s_fCopyDirty = FALSE;
    s_fCopyWritten = TRUE;
    if (fIsConfigUpdatePending() != TRUE) (void)RequestConfigUpdate(REQUESTER_TARGET_ENGINE);
}

void Answer(KERNEL_ENTRY* psEntry, const PR_ANSWER& s) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, s.bCode, s.bAsc, s.bAscq);
}

// Runs the action here; FALSE when its answer must wait for the copy.
bool RunHere(const ACTION& a, PR_ANSWER* ps) {
    const bool fAptpl = fGetPrAptpl(a.sNexus.wLun) == TRUE;
    *ps = RunAction(a);
    if (!fAptpl && fGetPrAptpl(a.sNexus.wLun) != TRUE) return true;
    if (fPrImageCopyDiffers() != TRUE) return s_fCopyDirty != TRUE && s_fCopyWritten != TRUE;
    s_fCopyDirty = TRUE;
    StoreCopy();
    return false;
}

void FinishLocally(KERNEL_ENTRY* psEntry) {
    PR_REQUEST* psRequest = psRequestOf(psEntry);
    const uint8_t* pbList = static_cast<const uint8_t*>(pBufferHandleToPointer(psEntry->dBufferHandle));
    PR_NEXUS sNexus;
    const bool fNamed = NexusOf(psEntry->bPortCode, wGetCommandInitiator(psEntry), psEntry->wLunIndex, &sNexus);
    PR_ANSWER s;
    if (!RunHere(sActionOf(*psRequest, pbList, fNamed), &s)) {
        s_psWaitingForCopy = psEntry;
        s_sWaitingAnswer = s;
        return;
    }
    Answer(psEntry, s);
}

PR_ANSWER CheckCdb(const uint8_t* pbCdb) {
    const uint8_t bServiceAction = pbCdb[1] & SERVICE_ACTION_MASK;
    if (bServiceAction > SA_REGISTER_AND_MOVE) return Illegal(ASC_INVALID_FIELD_IN_CDB);
    const bool fScoped = bServiceAction != SA_REGISTER && bServiceAction != SA_REGISTER_IGNORE_KEY &&
                         bServiceAction != SA_CLEAR;
    if (fScoped && (pbCdb[2] >> 4) != 0) return Illegal(ASC_INVALID_FIELD_IN_PARAMETERS);
    return GOOD;
}

// The reading side of the conflict table.
enum class Group : uint8_t { Any, Read, Verify, Seek, Other };
Group GroupOf(uint8_t bOpcode) {
    switch (bOpcode) {
    case SCSI_TEST_UNIT_READY:
    case SCSI_INQUIRY:
    case SCSI_REQUEST_SENSE:
    case SCSI_REPORT_LUNS:
    case SCSI_PERSISTENT_RESERVE_IN:
    case SCSI_PERSISTENT_RESERVE_OUT: return Group::Any;
    case SCSI_READ16:
    case SCSI_READ10: return Group::Read;
    case SCSI_VERIFY16:
    case SCSI_VERIFY10: return Group::Verify;
    case SCSI_SEEK16_FORM:
    case SCSI_SEEK10: return Group::Seek;
    default: return Group::Other;
    }
}

bool Passes(uint8_t bType, bool fRegistered, Group g) {
    if (g == Group::Any) return true;
    const bool fReadsPass = g == Group::Read || g == Group::Verify;
    switch (bType) {
    case PR_TYPE_WRITE_EXCLUSIVE: return fReadsPass || (fRegistered && g == Group::Seek);
    case PR_TYPE_EXCLUSIVE_ACCESS: return false;
    case PR_TYPE_WE_REGISTRANTS_ONLY:
    case PR_TYPE_WE_ALL_REGISTRANTS: return fRegistered || fReadsPass;
    case PR_TYPE_EA_REGISTRANTS_ONLY:
    case PR_TYPE_EA_ALL_REGISTRANTS: return fRegistered;
    default: return false;
    }
}

uint32_t dBuildPrIn(uint8_t bServiceAction, uint16_t wLun, uint8_t* pb) {
    PutBe32(pb, dGetPrGeneration());
    uint32_t dLength = 8;
    switch (bServiceAction) {
    case SA_IN_READ_KEYS:
        for (const PR_REGISTRATION* ps = psNextPrRegistration(nullptr); ps != nullptr; ps = psNextPrRegistration(ps)) {
            if (ps->wLun != wLun) continue;
            std::memcpy(pb + dLength, ps->abKey, 8);
            dLength += 8;
        }
        break;
    case SA_IN_READ_RESERVATION:
        if (fIsPrReserved(wLun) == TRUE) {
            const uint8_t bType = bGetPrType(wLun);
            const PR_REGISTRATION* psHolder = psGetPrHolder(wLun);
            if (psHolder != nullptr && !IsPrAllRegistrants(bType)) std::memcpy(pb + 8, psHolder->abKey, 8);
            pb[21] = bType;
            dLength += 16;
        }
        break;
    case SA_IN_REPORT_CAPABILITIES: std::memcpy(pb, REPORT_CAPABILITIES, sizeof(REPORT_CAPABILITIES)); return 8;
    default:
        for (const PR_REGISTRATION* ps = psNextPrRegistration(nullptr); ps != nullptr; ps = psNextPrRegistration(ps)) {
            if (ps->wLun != wLun) continue;
            uint8_t* pbDescriptor = pb + dLength;
            std::memcpy(pbDescriptor, ps->abKey, 8);
            if (Holds(ps)) {
                pbDescriptor[12] = R_HOLDER;
                pbDescriptor[13] = bGetPrType(wLun);
            }
            PutBe16(pbDescriptor + 18, static_cast<uint16_t>(ps->bPortIndex + 1));
            PutBe32(pbDescriptor + 20, PR_TRANSPORT_ID_BYTES);
            std::memcpy(pbDescriptor + 24 + TRANSPORT_ID_NAME, ps->abPortName, 8);
            dLength += FULL_STATUS_DESCRIPTOR;
        }
        break;
    }
    PutBe32(pb + 4, dLength - 8);
    return dLength;
}

uint8_t bReadPartner(uint8_t bBufferId, uint32_t dLength, void (*pfLoad)(const uint8_t*, uint32_t)) {
    const bool fPath1 = fIsPartnerOnPath1() == TRUE;
    if (!fPath1 && fIsPartnerOnPath2() != TRUE) return 0;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    const uint8_t bPages = static_cast<uint8_t>((dLength + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE);
    if (bAllocDataPages(0, bPages, &dHandle) != STATUS_OK) return STATUS_NO_PAGES;
    uint8_t abCdb[10] = {SCSI_READ_BUFFER, 0, bBufferId};
    PutBe24(abCdb + 6, dLength);
    uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bAscq = 0;
    const uint8_t bResult = bSendSCSICommandAndWait(fPath1 ? bGetPartnerAlpaPath1() : bGetPartnerAlpaPath2(),
                                                    fPath1 ? 0 : 1, abCdb, TRUE, dLength, dHandle, &bStatus, &bKey,
                                                    &bAsc, &bAscq);
    if (bResult == STATUS_OK && bStatus == SCSI_STATUS_GOOD) {
        pfLoad(static_cast<const uint8_t*>(pBufferHandleToPointer(dHandle)), dLength);
    }
    (void)wFreeDataPages(dHandle, bPages);
    return bResult;
}

}  // namespace

void InitPersistentReservations() {
    InitPrTables();
    s_fInProgress = FALSE;
    s_fWaitingForPartner = FALSE;
    s_fPartnerPending = FALSE;
    s_wPartnerPendingEntry = 0;
    s_fCopyDirty = FALSE;
    s_fCopyWritten = FALSE;
    s_psWaitingForCopy = nullptr;
}

void LoadPersistentReservationsFromPartner() {
    (void)bReadPartner(PR_BUFFER_ID_REGISTRATIONS, PR_PARTNER_AREA_BYTES, LoadPrAreaFromBuffer);
}

void LoadPrAttentionsFromPartner() {
    (void)bReadPartner(PR_BUFFER_ID_ATTENTIONS, PR_PARTNER_ATTENTION_BYTES, LoadPrAttentionsFromBuffer);
}

uint8_t bCheckPersistentReservation(uint8_t bController, uint8_t bPortCode, uint8_t bPortIndex, uint8_t bOpcode,
                                    uint16_t wLun, uint16_t wInitiator) {
    if (wLun >= PR_LUNS || fIsPrReserved(wLun) != TRUE) return STATUS_OK;
    PR_NEXUS s;
    s.wLun = wLun;
    s.bPortIndex = bPortIndex;
    s.bController = bController;
    const PR_REGISTRATION* ps =
        fGetInitiatorPortName(bPortCode, wInitiator, s.abPortName) == TRUE ? psFindPrRegistration(s) : nullptr;
    if (Holds(ps)) return STATUS_OK;
    return Passes(bGetPrType(wLun), ps != nullptr, GroupOf(bOpcode)) ? STATUS_OK : PR_CONFLICT;
}

uint8_t bGetPendingPrAttention(uint8_t bController, uint8_t bPortCode, uint8_t bPortIndex, uint16_t wInitiator,
                               uint16_t wLun, uint8_t* pbReason, uint8_t* pbAsc, uint8_t* pbAscq) {
    if (fGetPrAttentionPendingByte(bPortIndex) != TRUE || wLun >= PR_LUNS) return FALSE;
    PR_NEXUS s;
    s.wLun = wLun;
    s.bPortIndex = bPortIndex;
    s.bController = bController;
    if (fGetInitiatorPortName(bPortCode, wInitiator, s.abPortName) != TRUE) return FALSE;
    const PR_ATTENTION* ps = psFindPrAttention(s);
    if (ps == nullptr) return FALSE;
    *pbReason = ps->bReason;
    GetPrAttentionSense(ps->bReason, pbAsc, pbAscq);
    return TRUE;
}

void AnswerPendingPrAttention(uint8_t bController, uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun,
                              KERNEL_ENTRY* psEntry) {
    PR_NEXUS s;
    s.wLun = wLun;
    s.bPortIndex = bPortIndexOf(bPortCode);
    s.bController = bController;
    uint8_t bAsc = ASC_POWER_ON_RESET;
    uint8_t bAscq = 0;
    if (fGetInitiatorPortName(bPortCode, wInitiator, s.abPortName) == TRUE) {
        if (PR_ATTENTION* ps = psFindPrAttention(s)) {
            GetPrAttentionSense(ps->bReason, &bAsc, &bAscq);
            if (fIsDualControllerActive() == TRUE) {
                (void)bSendPrAttentionClearMessage(ps->abPortName, ps->bController, ps->bPortIndex, ps->wLun);
            }
            ClearPrAttention(ps);
        }
    }
    // Answered before its admission: no later stage may take it for a
    // READ or WRITE.
    uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (psEntry->fValid != TRUE && pbCdb != nullptr) pbCdb[0] = 0;
    AnswerCommand(psEntry, SENSE_UNIT_ATTENTION, bAsc, bAscq);
}

void AnswerPersistentReserveIn(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint8_t bServiceAction = pbCdb[1] & SERVICE_ACTION_MASK;
    if (bServiceAction > SA_IN_READ_FULL_STATUS) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return;
    }
    const uint16_t wLun = psEntry->wLunIndex;
    const uint32_t dMost = bServiceAction == SA_IN_READ_FULL_STATUS ? 8 + FULL_STATUS_DESCRIPTOR * PR_REGISTRATION_SLOTS
                                                                    : 8 + 8 * PR_REGISTRATION_SLOTS;
    uint8_t* pb = pbTakeCommandPages(psEntry, static_cast<uint8_t>((dMost + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE));
    if (pb == nullptr) return;
    const uint32_t dLength = dBuildPrIn(bServiceAction, wLun, pb);
    (void)bSendCommandPages(psEntry, std::min<uint32_t>(dLength, wGetBe16(pbCdb + 7)));
}

void AnswerPersistentReserveOut(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const PR_ANSWER sCdb = CheckCdb(pbCdb);
    if (sCdb.bCode != SCSI_STATUS_GOOD) {
        if (sCdb.bAsc == ASC_INVALID_FIELD_IN_PARAMETERS) {
            const uint16_t wLun = psEntry->wLunIndex;
            PostEvent(EVENT_PR_REFUSED, REASON_TYPE, bPortIndexOf(psEntry->bPortCode), bGetControllerNumber(),
                      static_cast<uint8_t>(wLun >> 8), static_cast<uint8_t>(wLun));
        }
        AnswerCommand(psEntry, sCdb.bCode, sCdb.bAsc, sCdb.bAscq);
        return;
    }
    const uint32_t dLength = wGetBe16(pbCdb + 7);
    if (dLength < PR_BASIC_LIST_BYTES) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH, 0);
        return;
    }
    const uint8_t bPages = static_cast<uint8_t>((dLength + PR_REQUEST_BYTES) / BUFFER_PAGE_SIZE + 1);
    if (bPages > BUFFER_PAGE_COUNT_MAX || pbTakeCommandPages(psEntry, bPages) == nullptr) return;
    psEntry->bCommandType = COMMAND_TYPE_PR_OUT;
    SetFlag(psEntry, KE_FLAG_PR_OUT_HOLDER);
    s_fInProgress = TRUE;
    const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBufferHandleToPciAddress(psEntry->dBufferHandle)), dLength};
    StartDataOutTransfer(psEntry, &sSegment, 1);
    DecPortNewCommands(psEntry->bPortCode);
}

uint8_t bPersistentReserveOutData(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint8_t* pbList = static_cast<const uint8_t*>(pBufferHandleToPointer(psEntry->dBufferHandle));
    uint8_t bStatus = 0, bKey = 0, bAsc = 0, bAscq = 0;
    const uint8_t bResult = bRunPrOutServiceAction(psEntry, pbCdb[1] & SERVICE_ACTION_MASK, pbCdb[2] & 0x0F, pbList,
                                                   &bStatus, &bKey, &bAsc, &bAscq);
    if (bResult == PR_OUT_RUN_AGAIN) return STATUS_RETRY;
    if (bResult == PR_OUT_FINISHED) Answer(psEntry, PR_ANSWER{bStatus == SCSI_STATUS_CHECK_CONDITION ? bKey : bStatus, bAsc, bAscq});
    return STATUS_OK;
}

uint8_t bRunPrOutServiceAction(KERNEL_ENTRY* psEntry, uint8_t bServiceAction, uint8_t bType, const uint8_t* pbBuffer,
                               uint8_t* pbStatus, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    const uint32_t dLength = dReceivedLength(psEntry);
    PR_ANSWER s = CheckList(bServiceAction, pbBuffer, dLength);
    const bool fDual = fIsDualControllerActive() == TRUE;
    if (s.bCode == SCSI_STATUS_GOOD && fDual && bCheckOutgoingQueueSpace(PARTNER_MESSAGE_PR_OUT) != STATUS_OK) {
        return PR_OUT_RUN_AGAIN;
    }
    if (s.bCode == SCSI_STATUS_GOOD) {
        // The request record, right behind the list.
        PR_REQUEST* psRequest = psRequestOf(psEntry);
        std::memset(psRequest, 0, sizeof(*psRequest));
        PR_NEXUS sNexus;
        (void)NexusOf(psEntry->bPortCode, wGetCommandInitiator(psEntry), psEntry->wLunIndex, &sNexus);
        std::memcpy(psRequest->abKey, pbBuffer, 8);
        std::memcpy(psRequest->abPortName, sNexus.abPortName, 8);
        psRequest->dListLength = dLength;
        psRequest->wLun = psEntry->wLunIndex;
        psRequest->bPortIndex = sNexus.bPortIndex;
        psRequest->bInitiator = static_cast<uint8_t>(wGetCommandInitiator(psEntry));
        psRequest->bController = sNexus.bController;
        psRequest->bType = bType;
        psRequest->bServiceAction = bServiceAction;
        psRequest->bPortCode = psEntry->bPortCode;
        std::memcpy(psRequest->abCdb, pGetCommandCdb(psEntry), sizeof(psRequest->abCdb));
        if (fDual) {
            if (bSendPrOutMessage40(psEntry, reinterpret_cast<const uint8_t*>(psRequest), pbBuffer, dLength) !=
                STATUS_OK) {
                return PR_OUT_RUN_AGAIN;
            }
            s_fWaitingForPartner = TRUE;
            return PR_OUT_ANSWER_LATER;
        }
        PR_NEXUS sCheck;
        const bool fNamed = NexusOf(psEntry->bPortCode, wGetCommandInitiator(psEntry), psEntry->wLunIndex, &sCheck);
        if (!RunHere(sActionOf(*psRequest, pbBuffer, fNamed), &s)) {
            s_psWaitingForCopy = psEntry;
            s_sWaitingAnswer = s;
            return PR_OUT_ANSWER_LATER;
        }
    }
    const bool fCheck = s.bCode != SCSI_STATUS_GOOD && s.bCode != SCSI_STATUS_RESERVATION_CONFLICT;
    *pbStatus = fCheck ? SCSI_STATUS_CHECK_CONDITION : s.bCode;
    *pbKey = fCheck ? s.bCode : 0;
    *pbAsc = s.bAsc;
    *pbAscq = s.bAscq;
    return PR_OUT_FINISHED;
}

uint8_t fIsPrOutInProgress() { return s_fInProgress; }

void ClearPrOutWaitFlags() {
    s_fInProgress = FALSE;
    s_fWaitingForPartner = FALSE;
}
void SetPrOutWaitFlag(uint8_t f) { s_fWaitingForPartner = f; }
void SetPrOutPendingFlag(uint8_t f) { s_fPartnerPending = f; }
void SetPrOutPendingEntry(uint16_t wEntry) { s_wPartnerPendingEntry = wEntry; }

void PrOutPartnerDone(KERNEL_ENTRY* psEntry) {
    s_fWaitingForPartner = FALSE;
    FinishLocally(psEntry);
}

uint8_t bRunPartnerPrOutRequest(const uint8_t* pbRecord, const uint8_t* pbList, uint32_t dListLength) {
    // Both controllers may ask at once: the one in slot 1 goes first, the
    // other carries the partner's request out after its own.
    if (s_fWaitingForPartner == TRUE && fIsControllerSlot1() != TRUE) {
        s_fPartnerPending = TRUE;
        return STATUS_RETRY;
    }
    s_fPartnerPending = FALSE;
    PR_REQUEST sRequest;
    std::memcpy(&sRequest, pbRecord, sizeof(sRequest));
    sRequest.dListLength = std::min(sRequest.dListLength, dListLength);
    if (CheckList(sRequest.bServiceAction, pbList, sRequest.dListLength).bCode != SCSI_STATUS_GOOD) return STATUS_OK;
    PR_ANSWER s;
    (void)RunHere(sActionOf(sRequest, pbList, true), &s);
    return STATUS_OK;
}

void PartnerPrAttentionCleared(const uint8_t* pbPortName, uint8_t bController, uint8_t bPortIndex, uint16_t wLun) {
    PR_NEXUS s;
    std::memcpy(s.abPortName, pbPortName, 8);
    s.wLun = wLun;
    s.bPortIndex = bPortIndex;
    s.bController = bController;
    if (PR_ATTENTION* ps = psFindPrAttention(s)) ClearPrAttention(ps);
}

void CompleteTargetEngineConfigRequest(uint8_t, uint8_t, uint8_t, uint8_t) {
    // A commit has ended: what was written before it started is stored.
    s_fCopyWritten = FALSE;
    StoreCopy();
    if (s_fCopyDirty == TRUE || s_fCopyWritten == TRUE || s_psWaitingForCopy == nullptr) return;
    KERNEL_ENTRY* psEntry = s_psWaitingForCopy;
    s_psWaitingForCopy = nullptr;
    Answer(psEntry, s_sWaitingAnswer);
}

uint8_t fIsPrOutWaitingForCopy() {
    return ToFlag(s_psWaitingForCopy != nullptr || s_fCopyDirty == TRUE || s_fCopyWritten == TRUE);
}

// The registrations have no console printout of their own.
void DumpPersistentReservations() {}

}  // namespace fw
