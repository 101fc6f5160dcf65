// The XOR engine: every parity computation of the RAID engine is one request
// (sources, byte count, one or two destinations and an operation code) in a
// ring of 4096, run one at a time on the processor's accelerator and handed,
// oldest first, to the continuation its operation names.  A second ring
// carries plain XOR requests to the PCI peer processor when it is present.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/addresses.h"

namespace fw {

constexpr uint16_t XOR_RING_ENTRIES = 4096;
// One slot stays empty so that a full ring is never taken for an empty one.
constexpr uint16_t XOR_RING_OUTSTANDING_LIMIT = XOR_RING_ENTRIES - 1;
constexpr uint32_t XOR_MAX_SOURCES = 14;
constexpr uint32_t XOR_SOURCE_WORDS = 15;   // the caller's array: 14 sources and the RAID 6 parameter
constexpr uint32_t XOR_MISSING_MEMBER = 0xDEADBEEF;
constexpr uint8_t XOR_PATH_LOCAL = 0;
constexpr uint8_t XOR_PATH_PEER = 1;
constexpr uint8_t XOR_PARAMETER_NONE = 0xFF;

// Request states.
constexpr uint8_t XOR_STATE_FREE = 0;
constexpr uint8_t XOR_STATE_QUEUED = 1;
constexpr uint8_t XOR_STATE_STARTED = 2;
constexpr uint8_t XOR_STATE_COMPLETED = 3;

// Operation codes: the chain the accelerator runs and the continuation the
// result goes to.
constexpr uint8_t XOR_OP_NO_CONTINUATION = 1;
constexpr uint8_t XOR_OP_RAID5_FULL_ROW = 16;
constexpr uint8_t XOR_OP_RAID5_DATA_ONLY = 17;          // no continuation
constexpr uint8_t XOR_OP_RAID5_PARITY_UPDATE = 18;
constexpr uint8_t XOR_OP_RAID5_REBUILD_REGION = 19;
constexpr uint8_t XOR_OP_RAID5_REGENERATE_READ = 20;
constexpr uint8_t XOR_OP_RAID5_ROW_PARITY = 21;
constexpr uint8_t XOR_OP_PARITY_CHECK = 22;
constexpr uint8_t XOR_OP_RAID5_STRIPE_REPAIR = 23;
constexpr uint8_t XOR_OP_DRIVE_VERIFY_REPAIR = 24;
constexpr uint8_t XOR_OP_PLAIN_NO_CONTINUATION = 25;
constexpr uint8_t XOR_OP_STRIPE_INIT = 26;
constexpr uint8_t XOR_OP_RAID6_FULL_ROW = 32;
constexpr uint8_t XOR_OP_RAID6_FULL_ROW_PIECE = 33;     // no continuation
constexpr uint8_t XOR_OP_RAID6_UPDATE = 34;
constexpr uint8_t XOR_OP_RAID6_WRITE_PQ = 35;
constexpr uint8_t XOR_OP_RAID6_WRITE_ONE_DATA_PQ = 46;
constexpr uint8_t XOR_OP_RAID6_WRITE_P = 47;
constexpr uint8_t XOR_OP_RAID6_WRITE_Q = 48;
constexpr uint8_t XOR_OP_RAID6_WRITE_TWO_DATA = 49;
constexpr uint8_t XOR_OP_RAID6_READ_TWO_DATA = 50;
constexpr uint8_t XOR_OP_RAID6_READ_FROM_P = 51;
constexpr uint8_t XOR_OP_RAID6_READ_FROM_Q = 52;
constexpr uint8_t XOR_OP_RAID6_READ_FROM_P_NO_Q = 53;
constexpr uint8_t XOR_OP_RAID6_WRITE_DATA_FROM_Q = 54;
constexpr uint8_t XOR_OP_RAID6_WRITE_DATA_FROM_P = 55;
constexpr uint8_t XOR_OP_LAST_DEFINED = 78;

#pragma pack(push, 1)
struct XOR_REQUEST {
    uint8_t bState;
    uint8_t bOperation;
    uint16_t wTag;              // the requester's entry; 0xFFFF when free
    uint32_t dSourceCount;
    uint32_t dByteCount;
    uint32_t dDestination;      // X: the (first) result, and the base of the RAID 6 scratch blocks X + j * L
    uint32_t dSecondDestination;// Y
    uint32_t adSource[XOR_MAX_SOURCES];
    uint8_t abRaid6Parameter[4];// a, b (missing columns), k (column read or written), D (members)
};
static_assert(sizeof(XOR_REQUEST) == 80);
static_assert(offsetof(XOR_REQUEST, adSource) == 20);
static_assert(offsetof(XOR_REQUEST, abRaid6Parameter) == 76);

struct XOR_IPC_ENTRY {
    uint8_t bState;
    uint8_t bOperation;
    uint16_t wTag;
    uint32_t dSourceCount;
    uint32_t dByteCount;
    uint32_t dDestination;
    uint32_t dSecondDestination;
    uint32_t dFirstSource;
};
static_assert(sizeof(XOR_IPC_ENTRY) == 24);
#pragma pack(pop)

// The request message to the peer (one 128-byte IPC slot).
constexpr uint8_t IPC_MESSAGE_XOR_REQUEST = 1;
constexpr uint32_t IPC_XOR_TAG_OFFSET = 8;
constexpr uint32_t IPC_XOR_SOURCE_COUNT_OFFSET = 16;
constexpr uint32_t IPC_XOR_BYTE_COUNT_OFFSET = 20;
constexpr uint32_t IPC_XOR_DESTINATION_OFFSET = 36;
constexpr uint32_t IPC_XOR_SOURCES_OFFSET = 40;

void InitXorQueues();
// Queue one request.  255, or 16 when 4095 requests are outstanding (the
// caller retries as for any other resource).  The full form takes the RAID 6
// parameter from the fifteenth word of the source array.
uint8_t QueueXorRequest(uint16_t wTag, uint8_t bOperation, uint8_t bPath, uint32_t dByteCount,
                        uint32_t dSourceCount, uint32_t dDestination, uint32_t dSecondDestination,
                        const uint32_t* pdSources);
uint8_t QueueXorRequestSingleDest(uint16_t wTag, uint8_t bOperation, uint8_t bPath, uint32_t dByteCount,
                                  uint32_t dSourceCount, uint32_t dDestination, const uint32_t* pdSources);
uint32_t dPackRaid6Parameter(uint8_t a, uint8_t b, uint8_t k, uint8_t bMembers);

void BuildXorDescriptors();
void XorEngineCompletion();
void ServiceXorCompletions();

// The peer path.  255, or 16 when the peer's ring has no room.
uint8_t QueueIpcXorRequest(uint16_t wTag, uint8_t bOperation, uint32_t dByteCount, uint32_t dSourceCount,
                           uint32_t dDestination, uint32_t dSecondDestination, const uint32_t* pdSources);
uint8_t QueueIpcXorRequestSingleDest(uint16_t wTag, uint8_t bOperation, uint32_t dByteCount,
                                     uint32_t dSourceCount, uint32_t dDestination, const uint32_t* pdSources);
void CompleteIpcXorRequest();
void ServiceIpcXorCompletions();

void BuildRaid6DecodeCoefficients(uint32_t* pdOut);

void ShowXorQueues();
void ShowXorRequest(uint16_t wIndex);
void ShowByteMatrix(const uint8_t* pbMatrix, uint8_t bRows, uint8_t bColumns);

// Ring state, for the dumps and tests.
const XOR_REQUEST* psGetXorRequest(uint16_t wIndex);
const XOR_IPC_ENTRY* psGetXorIpcEntry(uint16_t wIndex);
uint16_t wGetXorIn();
uint16_t wGetXorOut();
uint16_t wGetXorOutCompl();
uint16_t wGetXorOutstanding();
uint8_t fGetXorCommandInProgress();
uint64_t lGetXorTotalBytes();
uint64_t lGetIpcXorTotalBytes();
// The descriptor slots (processor addresses) the chains are built in.
CPU_ADDRESS dGetXorDescriptorSlot(uint8_t bSlot);

}  // namespace fw
