// NVRAM identity and statistics records: the INQUIRY identity, a few
// per-controller settings, the start-of-day counters and the lifetime read and
// write totals, saved in two alternating copies.
#pragma once

#include <cstdint>

#include "config/config_image.h"

namespace fw {

struct DATE_TIME;

// Identity.  Setters return 255 and store when every byte is printable
// (0x20..0x7E; the short name also allows NUL), else 0 and store nothing.
void GetNvramVendorId(uint8_t* pbOut);     // 8 bytes
void GetNvramProductId(uint8_t* pbOut);    // 16 bytes
void GetNvramVendorText(uint8_t* pbOut);   // 48 bytes
uint8_t GetNvramShortName(uint8_t* pbOut); // up to 16 bytes, returns the length
uint8_t SetNvramVendorId(const uint8_t* pbId);
uint8_t SetNvramProductId(const uint8_t* pbId);
uint8_t SetNvramVendorText(const uint8_t* pbText);
uint8_t SetNvramShortName(const uint8_t* pbName);
uint8_t bGetNvramByteD8();
void SetNvramByteD8(uint8_t b);
void WriteNvramIdentityDefaults();

void GetNvramAlternateWwn(uint8_t* pbWwn);
void SetNvramAlternateWwn(const uint8_t* pbWwn);
uint8_t bGetNvramPortAddress(uint8_t bPort);

void IncrementStartCount();
uint32_t dGetNvramBootCount();
void SaveLastStartTime();

void SetNvramJournalGeneration(uint32_t dGeneration);
uint32_t dGetNvramJournalGeneration();
// Remembers whether the write journal belongs to the configuration of the
// image's generation (the live image's), and whether that image outran it.
void CheckNvramJournalGeneration(const CONFIG_IMAGE* psLive);
// Kept over a restart: this controller went on without its partner (it
// took the partner's work over), so what the partner's NVRAM still holds
// is older than what this controller wrote since.  Cleared once the two
// run as a pair again.
void SetOutlivedPartnerRecord(uint8_t f);
uint8_t fGetOutlivedPartnerRecord();
// Posted at the start of day when the flash starts an older controller
// image than this board had installed: A0..A3 the sequence recorded, A4..A7
// the one found (LE).
constexpr uint8_t EVENT_FIRMWARE_UPDATE_LOST = 179;
// Compares the newest image in the flash with the newest this board has
// recorded: an older one posts EVENT_FIRMWARE_UPDATE_LOST and says so on
// the console.  The image found is recorded; a board that never recorded
// one posts nothing.  Run at the start of day and after an update.
void CheckFlashImageRecord();
// TRUE when the configuration the start of day loaded is newer than the
// one the journals were last tied to and was saved by the partner running
// alone: the partner ran on without these journals while this controller
// was gone, and wrote out its own copies of what they hold.  Their data is
// older than what it wrote since.  (A newer generation the pair saved, one
// whose message did not reach this controller before both stopped, outruns
// nothing.)
uint8_t fIsConfigurationNewerThanJournals();
uint8_t fIsNvramConfigTieValid();
// TRUE when the configuration the start of day loaded was saved by this
// controller running without its partner: the partner's journals are the
// outrun ones, and what this controller acknowledged alone since is in its
// own journal only.
uint8_t fWasConfigurationSavedAloneHere();
// Each start of day looks afresh.
void ResetJournalGenerationCheck();

uint8_t fGetNvramOptionBit0();
uint8_t fGetNvramOptionBit1();
uint8_t fGetNvramOptionBit2();
// The stored line-power setting; the next start takes it up.
void SetNvramOptionBit2(uint8_t f);

void SetFlushSequencerFlag(uint8_t f);
uint8_t fGetFlushSequencerFlag();

void SetNvramExpanderPhyConfig(uint8_t bExpander, uint8_t bPhy, uint32_t dValue);
uint32_t dGetNvramExpanderPhyConfig(uint8_t bExpander, uint8_t bPhy);

// Lifetime totals, counted in memory and saved by SaveNvramStatistics.
void CountNvramReads(uint32_t dBlocks);
void CountNvramWrites(uint32_t dBlocks);
uint64_t lGetNvramReadCount();
uint64_t lGetNvramReadBlocks();
uint64_t lGetNvramWriteCount();
uint64_t lGetNvramWriteBlocks();
uint32_t dGetOperatingSeconds();
void LoadNvramStatistics();
// 0xFF when saved, else the clock's error (nothing stored).
uint8_t SaveNvramStatistics();
void GetNvramStatisticsStamp(DATE_TIME* psStamp);

uint8_t fCheckNvramClockAndPattern();

}  // namespace fw
