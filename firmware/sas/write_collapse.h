// Write collapse queues: for a SATA drive with its write cache on, the
// writes of a batch are completed only once a SYNCHRONIZE CACHE sent after
// them has completed, or retried together when it fails.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/kernel_entry.h"
#include "sas/sas_scsi_path.h"

namespace fw {

constexpr uint16_t IWCQ_BATCH_SLOTS = 128;
constexpr uint16_t IWCQ_EMPTY = 0xFFFF;

// Batch flags.
constexpr uint32_t IWCQ_FLUSH_ISSUED = 0x001;
constexpr uint32_t IWCQ_FLUSH_REQUESTED = 0x002;
constexpr uint32_t IWCQ_BATCH_FAILED = 0x004;
constexpr uint32_t IWCQ_DEPTH_REACHED = 0x010;
constexpr uint32_t IWCQ_TIME_PASSED = 0x020;
constexpr uint32_t IWCQ_FLUSH_FORCED = 0x040;
constexpr uint32_t IWCQ_DEADLINE_PASSED = 0x100;

// Entry flag-word bits.
constexpr uint64_t KE_FLAG_IWCQ_ANSWERED = 1ull << 14;
constexpr uint64_t KE_FLAG_ERROR_BITS = KE_FLAG_ABORTED | KE_FLAG_CHILD_FAILED | KE_FLAG_SENSE_PRESENT;

#pragma pack(push, 1)
struct IWCQ_TARGET {
    uint64_t lLastWriteTime;
    uint32_t dFlags;
    uint16_t wEntries;
    uint16_t wResponses;
    uint16_t awEntry[IWCQ_BATCH_SLOTS];
    uint16_t wSyncEntry;
    uint8_t bRetries;
    uint8_t bDepth;
    uint8_t bTime;
    uint8_t bHistoryPos;
    uint8_t abHistory[16];
    uint8_t abReserved[2];
};
static_assert(sizeof(IWCQ_TARGET) == 296);
static_assert(offsetof(IWCQ_TARGET, awEntry) == 16);
static_assert(offsetof(IWCQ_TARGET, wSyncEntry) == 272);
#pragma pack(pop)

void InitIwcq();
IWCQ_TARGET* psGetIwcq(uint8_t bTarget);
void SetIwcqAdaptive(uint8_t f);

// Admission before posting: FALSE while the batch is full or its flush is
// under way.
uint8_t fIwcqAdmitWrite(uint8_t bTarget);
// After posting: a write joins the batch, a SYNCHRONIZE CACHE becomes its flush.
void IwcqRecordPosted(KERNEL_ENTRY* psEntry);
void IwcqMarkFlushFailed(uint8_t bTarget);
void IwcqWriteAnswered(KERNEL_ENTRY* psEntry, uint8_t fFailed);
uint8_t fIwcqFlushCompleted(KERNEL_ENTRY* psSync);
// The console dump of every queue holding writes.
void ShowIwcqInformation();

}  // namespace fw
