// The parity read data queue: the old parity and old data the partner read
// for each read-modify-write of a degraded parity row (message 111), kept
// until the partner's writes of that row are on the drives (message 112).
// If the partner is lost in between, this controller writes them back, so
// the row is whole again before the partner's journalled writes are
// replayed onto it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

struct KERNEL_ENTRY;
struct PARTNER_MESSAGE_SLOT;

constexpr uint16_t PARITY_READ_DATA_ENTRIES = 4096;
constexpr uint8_t PARTNER_MESSAGE_PARITY_DATA = 111;
constexpr uint8_t PARTNER_MESSAGE_PARITY_RELEASE = 112;
constexpr uint8_t PARTNER_MESSAGE_PARITY_CLEAR = 113;
// The entry's state while its data is received, and after.
constexpr uint8_t PARITY_DATA_RECEIVING = '!';
constexpr uint8_t PARITY_DATA_ARRIVED = 25;
constexpr uint8_t PARITY_DATA_FAILED = 26;
// The release mark: release once the data has arrived.
constexpr uint8_t PARITY_DATA_RELEASE_MARK = 147;
// The most a message 111 carries: anything larger is not a read-modify-write.
constexpr uint32_t PARITY_DATA_MAX_BYTES = 1024 * 1024;

#pragma pack(push, 1)
struct PARITY_READ_DATA_ENTRY {
    uint16_t wEntry;
    uint8_t fValid;
    uint8_t fReplayAllowed;
    uint8_t bState;
    uint8_t bReleaseMark;
    uint8_t bRank;
    uint8_t bParityMember;
    uint8_t bDataMember;
    uint8_t bKind;             // the command type of the partner's mother command
    uint8_t abAddress[4];      // drive block, most significant byte first
    uint8_t abBlocks[2];       // most significant byte first
    BUFFER_HANDLE dBuffer;
    uint32_t dJournalStamp;
    uint16_t wJournalIndex;
};
#pragma pack(pop)
static_assert(sizeof(PARITY_READ_DATA_ENTRY) == 26);
static_assert(offsetof(PARITY_READ_DATA_ENTRY, abAddress) == 10);
static_assert(offsetof(PARITY_READ_DATA_ENTRY, dBuffer) == 16);

void InitParityReadDataQueue();
const PARITY_READ_DATA_ENTRY* psGetParityReadDataEntry(uint16_t wEntry);
// Blocks and pages of data an entry of the kind and block count holds.
uint32_t dParityDataBlocks(uint8_t bKind, uint16_t wBlocks);
uint16_t wParityDataPages(uint8_t bKind, uint16_t wBlocks);

// The receivers of messages 111 (run twice: to start the data phase and
// when the data is in), 112 and 113.
uint8_t bReceiveParityReadData(PARTNER_MESSAGE_SLOT* psSlot);
uint8_t bReceiveParityReadDataRelease(const uint8_t* pbCdb, uint16_t wLunField);
uint8_t bReceiveParityReadDataClear(const uint8_t* pbCdb, uint16_t wLunField);
// 255 stored (the data phase started) or answered, 16 while it waits for
// pages.
uint8_t StoreParityReadData(PARTNER_MESSAGE_SLOT* psSlot, uint16_t wEntry, uint16_t wJournalIndex,
                            const uint8_t* pbCdb);
void ReleaseParityReadDataMark(uint16_t wEntry);
void ReleaseParityReadData(uint16_t wEntry);
void ClearParityReadDataQueue();

// After the partner is lost: the entries whose writes may still be torn
// (every other entry is released), and their write-back: 255 once every
// entry is written and released, 16 while writes are still to go or on
// their way.
uint16_t wCountReplayableParityData();
uint8_t bReplayParityReadData();
// A write-back write ended.
void ParityReplayWriteDone(KERNEL_ENTRY* psEntry);

// The sender's side: the answer to its message 111 lets the pair's writes
// go.
void PairDataAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);

}  // namespace fw
