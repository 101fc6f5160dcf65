// Stripe initialisation steps: one row (or a burst of rows) of a rank made
// consistent, by zero writes to every member where no host wrote, by reading
// the data and writing the parity where one did, or by regenerating one
// member's chunk from the others.  The background walk of a new array, the
// on-demand command that makes a host command's rows consistent before it
// goes to the RAID engine ('K'), and the repair command that rewrites the
// blocks a member could not read ('L') all run these same steps on an init
// command: a host pool entry carrying the rows, a buffer and its children.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint8_t STRIPE_INIT_ENTRIES = 64;

// Primary states of an init command.
constexpr uint8_t STRIPE_INIT_READY = 0x5C;
constexpr uint8_t STRIPE_INIT_STEP_OUT = 0x5D;
constexpr uint8_t STRIPE_INIT_STEP_FINISHED = 0x5E;
constexpr uint8_t STRIPE_INIT_SKIP_WAIT = 0xB3;
constexpr uint8_t STRIPE_INIT_ON_DEMAND = 'K';
constexpr uint8_t STRIPE_INIT_REPAIR = 'L';

// Its command type: what is out.
constexpr uint8_t STRIPE_INIT_READS_OUT = 0xB3;
constexpr uint8_t STRIPE_INIT_ZERO_WRITES_OUT = 0xB4;
constexpr uint8_t STRIPE_INIT_PARITY_WRITES_OUT = 0xB5;
constexpr uint8_t STRIPE_INIT_COMPUTATION_OUT = 0xB6;

// The command type of every drive child of an init command.
constexpr uint8_t CT_STRIPE_INIT_CHILD = '%';

// Answers of the step routines (beside 255, 16 and 66).
constexpr uint8_t STRIPE_INIT_NOTHING_OUT = 254;   // the step needs no I/O / the range is done
constexpr uint8_t STRIPE_INIT_NOT_YET = 252;       // the walk waits (background command only)
constexpr uint8_t STRIPE_INIT_NO_LEVEL = 0;        // a RAID level the steps do not know

// The zero area of the background command's buffer: a burst writes 2 MB
// per member from it.
constexpr uint32_t STRIPE_INIT_ZERO_BLOCKS = 4096;

// One rank's initialisation.  The bitmaps hold one bit per stripe (bit s
// is bit s mod 32 of 32-bit word s / 32) at a processor address; 0 when
// the rank is not initialising.
struct STRIPE_INIT_ENTRY {
    uint64_t lPosition;            // member block the next step starts at
    KERNEL_ENTRY* psCommand;       // the background init command, none when idle
    uint32_t dOnDemandBitmap;      // the stripe holds host data
    uint32_t dOnDemandPages;
    uint32_t dDoneBitmap;          // the stripe is initialised
    uint32_t dDonePages;
    uint32_t dBusyBitmap;          // an initialisation of the stripe is out
    uint32_t dBusyPages;
    uint32_t dCurrentStripe;
    uint32_t dStripeCount;
    uint32_t dNvGranule;           // stripes per bit of the NV bitmap
    uint32_t dStepStripes;
    uint32_t dHostStamp;
    uint8_t fInProgress;
    uint8_t fRestartRequest;
    uint8_t bState;
    uint8_t bPercent;
    uint8_t bReason;
    uint8_t fBurst;
    uint64_t lNextStepTime;
    // The NVRAM progress it started from names a row of the rank.
    uint8_t fProgressTrusted;
};

// The entry of a rank (nullptr from 64 on).
STRIPE_INIT_ENTRY* psGetStripeInitEntry(uint8_t bRank);

// The bitmaps.
uint8_t fIsStripeBitSet(uint32_t dBitmap, uint32_t dStripe);
void SetStripeBit(uint32_t dBitmap, uint32_t dStripe);
void ClearStripeBit(uint32_t dBitmap, uint32_t dStripe);
// The NVRAM bitmap of ranks 0 to 7: the stripe's granule holds host data or
// has been initialised.
void RecordStripeInNvBitmap(uint8_t bRank, uint32_t dStripe);

// The fields of an init command (in its RAID engine area).
#pragma pack(push, 1)
struct STRIPE_INIT_COMMAND {
    uint8_t abPosition[4];      // member block of the step, big-endian
    uint8_t abLastPosition[4];  // last member block of the range, big-endian
    uint8_t abBlocks[2];        // blocks per member of the step, big-endian
    KERNEL_ENTRY* psServed;     // the command an on-demand or repair command serves
    uint32_t dServedSequence;   // ... its arrival sequence (an entry may be reused)
    uint32_t dStepStripes;      // stripes covered by the step now out
    uint16_t wZeroBlocks;       // zero area at the start of the buffer; slots follow
    uint8_t fBurst;
    uint8_t bAttempts;          // failed issues of the step (on-demand and repair)
    uint8_t bGroupsRead;        // read mode: parity groups read (bit per group)
    uint8_t bRegenerateSlot;    // regenerate mode: the slot the result lands in
    uint8_t bMissingA;          // RAID 6: members missing from the row, 255 none
    uint8_t bMissingB;
    uint8_t bRowHold;           // a regeneration's hold on its rows, 255 none
};
#pragma pack(pop)
STRIPE_INIT_COMMAND* psStripeInitCommand(KERNEL_ENTRY* psInit);

uint32_t dGetStripeInitPosition(const KERNEL_ENTRY* psInit);
uint32_t dGetStripeInitLastPosition(const KERNEL_ENTRY* psInit);

// One step: 255 children out, 254 nothing to do for the stripe (it is
// marked done), 16 retry later, 0 a level the steps do not know.
uint8_t bIssueStripeInitStep(KERNEL_ENTRY* psInit);
// A step whose children or computation have completed: the next stage of
// it is queued (255), or its writes are in (254, the caller advances), or
// a child failed and the step is to be issued again (16).
uint8_t bFinishStripeInitStep(KERNEL_ENTRY* psInit);
// Moves the command to its next step: 255 ready, 254 the range is done,
// 252 the walk waits, 16 retry.
uint8_t bAdvanceStripeInit(KERNEL_ENTRY* psInit);

// The background command of a rank over member blocks [dPosition, dLast]:
// a 2 MB zero area and the row's slots.  255, 16, 66, or 0 for a rank of
// no level the steps know.
uint8_t bAllocBackgroundInitCommand(uint8_t bRank, uint32_t dPosition, uint32_t dLast, KERNEL_ENTRY** ppsInit);
void FreeStripeInitCommand(KERNEL_ENTRY* psInit);
// The stripes of the command's step are no longer out.
void ReleaseStripeInitStep(KERNEL_ENTRY* psInit);

// The on-demand initialisation of a host command's (or a parity check
// row's) stripes: 255 go on (nothing to do, or the 'K' command is out and
// the command carries the wait flag), 16 retry later, 66 no pages.
uint8_t bInitStripesOnDemand(KERNEL_ENTRY* psCommand);
void StripeInitOnDemandStep(KERNEL_ENTRY* psInit);
// A drive child could not read its blocks: an 'L' command regenerates and
// rewrites them; the host command the child served waits for it.  255, 16.
uint8_t bStartReadErrorRepair(KERNEL_ENTRY* psChild);
void StripeInitRepairStep(KERNEL_ENTRY* psInit);
// TRUE when every stripe the command touches is initialised (or the rank
// is not initialising).
uint8_t fAreStripesInitialised(const KERNEL_ENTRY* psCommand);

}  // namespace fw
