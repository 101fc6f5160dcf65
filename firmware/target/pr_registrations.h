// The tables of the persistent reservations: the registrations, the
// reservation of each logical drive, the generation, the APTPL flags, the
// pending unit attentions, and the copy of the registrations of APTPL
// logical drives in the configuration image.  The service actions that
// change them are in target/persistent_reservations.h.
//
// An I_T nexus is (initiator port name, host port index, controller): a
// registration, and so a reservation holder, is found by name, never by the
// chip's handle, which a logout frees for the next host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"

namespace fw {

struct HOST_PORT_RECORD;

constexpr uint16_t PR_LUNS = 512;
constexpr uint16_t PR_REGISTRATION_SLOTS = 128;        // one 4 KB area of 32-byte records
constexpr uint16_t PR_ATTENTION_SLOTS = 510;
constexpr uint8_t PR_EMPTY_FIELD = 'i';
// A registration of controller 2 stands for both controllers.
constexpr uint8_t PR_ANY_CONTROLLER = 2;

// Persistent reservation types.
constexpr uint8_t PR_TYPE_WRITE_EXCLUSIVE = 1;
constexpr uint8_t PR_TYPE_EXCLUSIVE_ACCESS = 3;
constexpr uint8_t PR_TYPE_WE_REGISTRANTS_ONLY = 5;
constexpr uint8_t PR_TYPE_EA_REGISTRANTS_ONLY = 6;
constexpr uint8_t PR_TYPE_WE_ALL_REGISTRANTS = 7;
constexpr uint8_t PR_TYPE_EA_ALL_REGISTRANTS = 8;
inline bool IsPrTypeValid(uint8_t b) {
    return b == 1 || b == 3 || b == 5 || b == 6 || b == 7 || b == 8;
}
inline bool IsPrAllRegistrants(uint8_t b) { return b == PR_TYPE_WE_ALL_REGISTRANTS || b == PR_TYPE_EA_ALL_REGISTRANTS; }
inline bool IsPrRegistrantsOnly(uint8_t b) { return b == PR_TYPE_WE_REGISTRANTS_ONLY || b == PR_TYPE_EA_REGISTRANTS_ONLY; }

// Reasons of a pending attention, and its sense (UNIT ATTENTION).
constexpr uint8_t PR_ATTENTION_RESET = 1;                  // 0x29/0x00
constexpr uint8_t PR_ATTENTION_RESERVATIONS_PREEMPTED = 2; // 0x2A/0x03
constexpr uint8_t PR_ATTENTION_RESERVATIONS_RELEASED = 4;  // 0x2A/0x04
constexpr uint8_t PR_ATTENTION_REGISTRATIONS_PREEMPTED = 8;// 0x2A/0x05

#pragma pack(push, 1)
// A registration as kept, sent to the partner and (its first 24 bytes) as
// stored in the configuration image.
struct PR_REGISTRATION {
    uint8_t fValid;
    uint8_t fOwner;          // its RESERVE made the current reservation
    uint8_t abKey[8];
    uint8_t abPortName[8];
    uint16_t wLun;
    uint8_t bController;
    uint8_t bPortIndex;
    uint8_t fHolder;
    uint8_t bType;           // the reservation type while holder
    uint32_t dLink;          // the next record's number + 1; 0 ends the area
    uint8_t abReserved[4];
};
static_assert(sizeof(PR_REGISTRATION) == 32);
static_assert(offsetof(PR_REGISTRATION, abPortName) == 10);
static_assert(offsetof(PR_REGISTRATION, wLun) == 18);
static_assert(offsetof(PR_REGISTRATION, bType) == 23);
static_assert(offsetof(PR_REGISTRATION, dLink) == 24);
constexpr uint32_t PR_IMAGE_RECORD_BYTES = 24;

struct PR_ATTENTION {
    uint8_t fValid;
    uint8_t bReason;
    uint8_t abPortName[8];
    uint8_t bController;
    uint8_t bPortIndex;
    uint16_t wLun;
};
static_assert(sizeof(PR_ATTENTION) == 14);
#pragma pack(pop)

// The registrations' area as the partner reads it (READ BUFFER 0x11):
// generation, one 32-bit word per APTPL flag, then the records up to the
// one whose link is 0.
constexpr uint32_t PR_PARTNER_AREA_BYTES = 4 + 4 * PR_LUNS + sizeof(PR_REGISTRATION) * PR_REGISTRATION_SLOTS;
// The attention table as the partner reads it (READ BUFFER 0x10).
constexpr uint32_t PR_PARTNER_ATTENTION_BYTES = sizeof(PR_ATTENTION) * PR_ATTENTION_SLOTS;
static_assert(PR_PARTNER_ATTENTION_BYTES == 7140);

struct PR_NEXUS {
    uint8_t abPortName[8];
    uint16_t wLun;
    uint8_t bPortIndex;
    uint8_t bController;
};

// Everything empty: keys and names zero, other fields 'i', APTPL flags
// FALSE, generation 0.
void InitPrTables();

// The port name of an initiator of a host port of this controller: FALSE
// when it cannot be found (such a nexus is never registered).  Names are
// remembered per port and initiator until its login ends.
uint8_t fGetInitiatorPortName(uint8_t bPortCode, uint16_t wInitiator, uint8_t* pbName);
void ForgetInitiatorPortName(uint8_t bPortCode, uint16_t wInitiator);
void ForgetInitiatorPortNames(uint8_t bPortCode);
void RecheckInitiatorPortNames(uint8_t bPortCode, const HOST_PORT_RECORD* psRecord);

// Registrations.
PR_REGISTRATION* psFindPrRegistration(const PR_NEXUS& s);
PR_REGISTRATION* psFindPrRegistrationByKey(uint16_t wLun, const uint8_t* pbKey);
// Every valid registration in area order: the first, then each next; null
// at the end.
PR_REGISTRATION* psNextPrRegistration(const PR_REGISTRATION* psAfter);
uint16_t wCountPrRegistrations(uint16_t wLun);
uint16_t wFreePrRegistrations();
// Null when the area is full.
PR_REGISTRATION* psAddPrRegistration(const PR_NEXUS& s, const uint8_t* pbKey);
void RemovePrRegistration(PR_REGISTRATION* ps);
// Each registration of the drive (with a key: each with that key) but the
// one excepted goes, its registrant told the reason (0: not told).
void RemovePrRegistrations(uint16_t wLun, const uint8_t* pbKey, uint8_t bReason, const PR_REGISTRATION* psExcept);
void PostPrAttentionToOthers(uint16_t wLun, uint8_t bReason, const PR_REGISTRATION* psExcept);
void SetPrHolders(uint16_t wLun, uint8_t bType, uint8_t fHolder);

// The reservation of each logical drive.
uint8_t fIsPrReserved(uint16_t wLun);
uint8_t bGetPrType(uint16_t wLun);
// The registration holding a reservation of type 1 or 3 (of 5 and 6: the
// one that made it); null for an all-registrants type.
PR_REGISTRATION* psGetPrHolder(uint16_t wLun);
void SetPrReservation(uint16_t wLun, uint8_t bType);
void ReleasePrReservation(uint16_t wLun);
uint8_t fIsAnyPersistentReservation();

uint32_t dGetPrGeneration();
void IncrementPrGeneration();
uint8_t fGetPrAptpl(uint16_t wLun);
void SetPrAptpl(uint16_t wLun, uint8_t f);

// Pending attentions of the port index; those of a nexus.
uint8_t fGetPrAttentionPendingByte(uint8_t bPortIndex);
PR_ATTENTION* psFindPrAttention(const PR_NEXUS& s);
void PostPrAttention(const PR_REGISTRATION* ps, uint8_t bReason);
void ClearPrAttention(PR_ATTENTION* ps);
// The attention's sense: ASC and ASCQ of its reason.
void GetPrAttentionSense(uint8_t bReason, uint8_t* pbAsc, uint8_t* pbAscq);

// The APTPL copy: the registrations of every APTPL logical drive, written
// into the live and the scratch image (never while a commit writes the
// image).  FALSE when a commit runs: the caller asks again later.
uint8_t fWritePrImageCopy();
// TRUE when the live image holds another copy than the tables make.
uint8_t fPrImageCopyDiffers();
// Hands one stored record of the image to the tables (every apply).
struct PR_RECORD;
void RestorePersistentReservation(const PR_RECORD* psRecord);
// Every apply, before the records are handed over: the tables follow each
// logical drive by its identifier, so that a drive renumbered by a
// deletion keeps its state and a new drive in a deleted one's place starts
// clean.  TRUE when the image copy had to change with them.
struct CONFIG_IMAGE;
uint8_t fReconcilePersistentReservations(CONFIG_IMAGE* psImage);

// The partner's copies (READ BUFFER 0x11 and 0x10) in and out.
void LoadPrAreaFromBuffer(const uint8_t* pb, uint32_t dLength);
void LoadPrAttentionsFromBuffer(const uint8_t* pb, uint32_t dLength);
uint32_t dBuildPrArea(uint8_t* pb);
uint32_t dBuildPrAttentions(uint8_t* pb);

}  // namespace fw
