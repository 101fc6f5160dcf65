// The errors drive commands end with, counted per drive position in five
// kinds, by this controller and (as the partner reports them) by the
// partner; and which expanders are the expansion enclosures of the family.
#pragma once

#include <cstdint>

namespace fw {

struct PARTNER_MESSAGE_SLOT;

constexpr uint8_t ERROR_KIND_DRIVE_PATH = 1;
constexpr uint8_t ERROR_KIND_TIMEOUT = 2;
constexpr uint8_t ERROR_KIND_HARDWARE = 3;
constexpr uint8_t ERROR_KIND_MEDIA = 4;
constexpr uint8_t ERROR_KIND_RECOVERED = 5;
constexpr uint8_t ERROR_COUNTER_ENCLOSURES = 16;
constexpr uint8_t ERROR_COUNTER_SLOTS = 32;
constexpr uint8_t ERROR_COUNTER_KINDS = 5;
constexpr uint32_t ERROR_COUNTER_TABLE_BYTES = ERROR_COUNTER_ENCLOSURES * ERROR_COUNTER_SLOTS * 20;
// The partner message code and the kind byte (CDB byte 2) of its messages.
constexpr uint8_t ERROR_COUNTER_MESSAGE = 120;
constexpr uint8_t ERROR_COUNTER_MESSAGE_KIND = 0x21;

// Controller 0's five counts, then controller 1's.
struct DRIVE_ERROR_RECORD {
    uint16_t awController0[ERROR_COUNTER_KINDS];
    uint16_t awController1[ERROR_COUNTER_KINDS];
};

void InitDriveErrorCounters();
void IncrementDriveErrorCounter(uint8_t bKind, uint8_t bEnclosure, uint8_t bSlot);
// Counts a failed drive command of a SAS target by its sense.
void bClassifyDriveError(uint8_t bTarget, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq);
void ClearDriveErrorCounters(uint8_t bEnclosure, uint8_t bSlot);
void ClearPartnerDriveErrorCounters();
void SendDriveErrorCountersToPartner();
void GetDriveErrorCounters(uint8_t bEnclosure, uint8_t bSlot, DRIVE_ERROR_RECORD* psRecord);
// One counter: index 0-4 this controller's kinds, 5-9 the partner's.
uint16_t wGetDriveErrorCounter(uint8_t bEnclosure, uint8_t bSlot, uint8_t bIndex);
uint32_t dGetDriveErrorChangeCount();
void ShowDriveErrorCounters(uint8_t bIgnored, uint8_t bController);

// The partner's messages: sub-ops 1 and 2 from their CDB (0xFF taken, 0
// refused), sub-op 3's table (refused when short).
uint8_t bTakePartnerDriveErrorMessage(const uint8_t* pbCdb);
uint8_t bTakePartnerDriveErrorTable(const uint8_t* pbTable, uint32_t dLength);
// The slot receiver of message 120 kind 0x21, and the end of a table sent.
uint8_t bReceiveDriveErrorCounterMessage(PARTNER_MESSAGE_SLOT* psSlot);
void DriveErrorCountersAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);

// 0xFF for the 8-byte vendor and 16-byte product of an expansion
// enclosure of the family, 0 for any other.
uint8_t bIsExpansionEnclosure(const uint8_t* pbVendor, const uint8_t* pbProduct);

}  // namespace fw
