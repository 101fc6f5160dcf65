// Stripe access between two controllers: one record per host entry of the
// stripe rows its READ(16) or WRITE(16) touches, the per-LUN master flags,
// partner request counters and OCIO flags, and the check a controller runs
// on a request the partner sends it (message 118).
//
// A controller that is master of a LUN and sees no reason to hold a command
// runs it at once; otherwise the dispatcher asks the partner, whose check
// against its own records decides whether the command may go.  Reads never
// conflict with reads; a read and a write over the same rows do.
//
// Two small event routines live beside them: the rate monitor of event 152
// and the test whether an event was logged lately.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

#pragma pack(push, 1)
// One record per host entry, at the entry's index.  The ranges are whole
// stripe rows in internal addresses, the end exclusive; the stripe counts
// are at least 1 and wide enough for any command.
struct STRIPE_ACCESS_ENTRY {
    uint8_t fInUse;             // "UT"/"UF" in the dump
    uint8_t fS;                 // set and read by the dispatcher and the parity engine
    uint8_t fO;                 // set by the partner-side check: ask the partner again
    uint8_t bOpcode;
    uint8_t bRank;
    uint8_t bSecondRank;        // 0xFF: the command lies in one segment
    uint16_t wLun;
    uint8_t bSegment;           // segment of the first range; the second is the next one
    uint8_t bTie;               // slot 1: this asking cycle's tie with the partner (STRIPE_TIE_...)
    uint8_t bLastTie;           // slot 1: how the record's last decided tie went
    uint8_t bReserved;
    uint32_t dStripeCount;
    uint32_t dSecondStripeCount;
    uint32_t dConflictCount;    // partner requests that overlapped the record ("OC")
    uint64_t lStart;
    uint64_t lEnd;
    uint64_t lSecondStart;
    uint64_t lSecondEnd;
};
#pragma pack(pop)
static_assert(sizeof(STRIPE_ACCESS_ENTRY) == 56);
static_assert(offsetof(STRIPE_ACCESS_ENTRY, wLun) == 6);
static_assert(offsetof(STRIPE_ACCESS_ENTRY, dStripeCount) == 12);
static_assert(offsetof(STRIPE_ACCESS_ENTRY, lStart) == 24);

// Answers of the partner-side check: access granted or refused, each with
// mastership of the LUN handed to the requester or not.
constexpr uint8_t STRIPE_ACCESS_GRANTED = 0xF0;
constexpr uint8_t STRIPE_ACCESS_REFUSED = 0xF1;
constexpr uint8_t STRIPE_ACCESS_GRANTED_MASTER = 0x7D;
constexpr uint8_t STRIPE_ACCESS_REFUSED_MASTER = 0x7C;

// When both controllers wait for the same rows, the controller in slot 1
// decides which goes.  It decides once for each of its records per asking
// cycle (from one message 118 to the next) and answers every partner
// request meeting that record the same way until the record asks again.
constexpr uint8_t STRIPE_TIE_OPEN = 0;
constexpr uint8_t STRIPE_TIE_WON = 1;       // the record here goes first: the partner is refused
constexpr uint8_t STRIPE_TIE_YIELDED = 2;   // the partner's command goes first: it is granted

constexpr uint16_t PARTNER_REQUESTS_BEFORE_YIELD = 499;   // then mastership of the LUN goes
constexpr uint32_t CONFLICTS_BEFORE_FLAG = 500;
constexpr uint8_t EVENT_RATE = 152;
constexpr uint8_t EVENT_RATE_SLOTS = 10;
constexpr uint64_t EVENT_RATE_WINDOW_MS = 3600001;

// Start of day: every record free, every master and OCIO flag FALSE, every
// counter 0, the alternation byte FALSE, the event rate ring empty.
void InitStripeAccessTable();

// Fills the command's record (flag bit 17) and answers TRUE when the command
// must be held for the partner, FALSE when it may run.
uint8_t fClaimStripeAccessEntry(KERNEL_ENTRY* psEntry);
// Frees the record when it is in use.
void ReleaseStripeAccessEntry(uint16_t wIndex);
void pGetStripeAccessEntry(uint16_t wIndex, STRIPE_ACCESS_ENTRY** ppsEntry);
uint8_t fGetStripeAccessSFlag(uint16_t wIndex);
void SetStripeAccessSFlag(uint16_t wIndex, uint8_t f);
uint8_t fGetStripeAccessOFlag(uint16_t wIndex);
void SetStripeAccessOFlag(uint16_t wIndex, uint8_t f);
// The record's request goes to the partner: a new asking cycle, its tie
// with the partner open again and its O flag clear.
void OpenStripeAccessCycle(uint16_t wIndex);

// The partner asks for access to the stripes of one of its commands: the
// first range from the start address, the second (when its count is not 0)
// from the start of the segment after the one given.
uint8_t bCheckPartnerStripeAccess(uint8_t bOpcode, uint16_t wLun, uint64_t lStart, uint32_t dStripeCount,
                                  uint8_t bSegment, uint32_t dSecondStripeCount);

// Setting a master flag zeroes the LUN's request counter.
void SetLunMasterFlag(uint16_t wLun, uint8_t f);
void SetLunMasterFlags(uint8_t f);
uint8_t fGetLunMasterFlag(uint16_t wLun);
uint16_t wGetLunRequestCount(uint16_t wLun);
void ClearLunOcioFlags();
void ClearLunOcioFlag(uint16_t wLun);
// TRUE for a LUN index of 512 or more.
uint8_t fGetLunOcioFlag(uint16_t wLun);

// Kind 1 reports event 152 (1, a, b, c); kind 2 records the time and reports
// (2, a), and (3, a, b, c) when ten such reports fell within one hour.
void CheckEventRate(uint8_t bKind, uint8_t bA, uint8_t bB, uint8_t bC);
// TRUE when the newest logged event of the code is younger than dSeconds.
uint8_t fWasEventPostedWithin(uint8_t bCode, uint32_t dSeconds);

// The master flags, request counters and OCIO flags of every configured
// LUN, then the records in use (every record with fAll TRUE).
void DumpStripeAccessTables(uint8_t fAll);

}  // namespace fw
