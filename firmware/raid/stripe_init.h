// Background stripe initialisation: a new array serves hosts at once and is
// made consistent row by row behind them.  The walk of each initialising
// rank (up to 64 at a time), its start, stop and restart, its progress in
// NVRAM, its throttle against host traffic, the messages that let the
// partner follow it, and its status display.  The steps themselves are
// those of raid/stripe_init_steps.h.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;
struct CONFIG_IMAGE;

// Why a rank's initialisation started.
constexpr uint8_t STRIPE_INIT_NEW_ARRAY = 1;
constexpr uint8_t STRIPE_INIT_RESTART = 2;
constexpr uint8_t STRIPE_INIT_RESUME = 3;
constexpr uint8_t STRIPE_INIT_RESUME_PARTNER = 4;

// The walk of a rank (the entry's state).
constexpr uint8_t STRIPE_INIT_ALLOCATE = 1;
constexpr uint8_t STRIPE_INIT_WALK = 2;
constexpr uint8_t STRIPE_INIT_FINISHED = 3;
constexpr uint8_t STRIPE_INIT_STOP = 4;

// A rank number that stands for all of them.
constexpr uint8_t STRIPE_INIT_ALL_RANKS = 64;

// Partner messages.
constexpr uint8_t STRIPE_INIT_MESSAGE_STEP_OUT = 106;
constexpr uint8_t STRIPE_INIT_MESSAGE_STEP_DONE = 185;
constexpr uint8_t STRIPE_INIT_MESSAGE_ON_DEMAND = 186;
constexpr uint8_t STRIPE_INIT_MESSAGE_HOST_WAITS = 187;
constexpr uint8_t STRIPE_INIT_MESSAGE_SKIPPED = 188;
// The answer of fIsStripeInitBusy for a slave's command on a busy stripe.
constexpr uint8_t STRIPE_INIT_BUSY_ON_SLAVE = 238;

// Start of day: every entry idle.  Always FALSE.
uint8_t InitStripeInitTable();
// Starts (or, reason 2, restarts) the rank's initialisation from its NVRAM
// progress.
void StartStripeInit(uint8_t bRank, uint8_t bReason);
// One step of every initialising rank (the background pass).
void StripeInitTask();
// Whether the task has anything to do now (the background pass's gate): a
// walk whose step is out, or that may not issue its next one yet, has not.
uint8_t fIsStripeInitDue();

uint8_t fIsStripeInitInProgress(uint8_t bRank);   // 64 or more: any rank
void SetStripeInitInProgress(uint8_t bRank, uint8_t f);   // 64 or more: all
// Every running walk stops and starts again from its NVRAM progress.
void SetStripeInitRestartAll();
// The same without the restart-all flag.
void MarkStripeInitForRestart();
uint8_t bGetStripeInitPercent(uint8_t bRank);
void SetStripeInitPercent(uint8_t bRank, uint8_t bPercent);   // 64 or more: all
// Forgets the rank's NVRAM progress (and NV bitmap); 64 or more: all ranks.
void ClearStripeInitNvProgress(uint8_t bRank);
// After ranks were renumbered: the entries, NVRAM progress and NV bitmaps
// follow their ranks.  pbOldRank[new] is the rank's old number, 0xFF for
// a rank that kept its number.
void RenumberStripeInitEntries(const CONFIG_IMAGE* psImage, const uint8_t* pbOldRank);

// Whether an initialisation of a stripe of the command's rows (or, without
// a command, of the stripe given) is out: TRUE, FALSE, or 238 for a
// slave's command on a busy stripe.  A command counts as host activity.
uint8_t fIsStripeInitBusy(const KERNEL_ENTRY* psCommand, uint8_t bRank, uint32_t dStripe);
void NoteStripeInitHostActivity(uint8_t bRank);
// The throttle's drive traffic counters.
void CountHostTransfer(uint16_t wBlocks);
void CountInitTransfer(uint16_t wBlocks);
// The throttle: TRUE when the walk may issue a step now.
uint8_t fStripeInitMayProceed();
// Whether the rank's next step may be a burst of zero writes: hosts and
// the configuration have left it alone for a while.
uint8_t fStripeInitBurstAllowed(uint8_t bRank);
// The background command's position passed a step: it goes into the
// NVRAM progress copy that is not current, then the selector flips.
void StoreStripeInitNvPosition(uint8_t bRank, uint64_t lPosition);

// Partner messages 106 and 185 to 188 (body: code, rank, percent,
// position 64 bits and blocks 16 bits, big-endian): 255, or 16 to retry.
uint8_t HandleStripeInitMessage(const uint8_t* pbBody);
// The partner answered message 188.
void StripeInitSkipAnswered(uint8_t bRank, uint8_t fRetry);

void ShowStripeInitStats();

}  // namespace fw
