// The codes that the target engine, the cache and the RAID engine hand
// commands to one another by: the primary states of host and drive entries,
// the 64-bit flag word, the completion code of a command finished without a
// status, and the target engine's own fields of a host entry.
//
// The record itself is KERNEL_ENTRY (executive/kernel_entry.h); host
// commands live in the 3200-entry host pool (target/host_command_pool.h),
// drive children in the 4096-entry internal pool.  A bit or a field may mean
// one thing on a host command and another on a drive child or a
// read-modify-write group head; code that tests such a bit knows from the
// pool or the command type which kind it holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "hw/scsi.h"

namespace fw {

// ---- primary states of host-pool entries ----
// Each names the ring or wait that holds the entry; a ring's peek refuses an
// entry in another state.
constexpr uint8_t HOST_STATE_FREE = 0;
constexpr uint8_t HOST_STATE_NEW_COMMAND = 2;       // new-command ring, for the dispatcher
constexpr uint8_t HOST_STATE_LUN_QUEUED = 7;        // its LUN's ring, for the LUN scheduler
constexpr uint8_t HOST_STATE_DATA_IN = 17;          // data-in with status at the host chip
constexpr uint8_t HOST_STATE_DATA_OUT = 18;         // waiting for data from the host
constexpr uint8_t HOST_STATE_DATA_AVAILABLE = 19;   // "Data Available" ring
constexpr uint8_t HOST_STATE_WRITE_READY = 20;      // its port's "Write Ready" ring
constexpr uint8_t HOST_STATE_STATUS = 21;           // a status is being sent
constexpr uint8_t HOST_STATE_COMPLETE = 22;         // "Command Complete" ring, to be freed
constexpr uint8_t HOST_STATE_DATA_RECEIVED = 23;    // "Data Received" ring
constexpr uint8_t HOST_STATE_OPTIMISATION = 24;     // "Optimisation" ring
constexpr uint8_t HOST_STATE_WRITE_COMPLETE = 25;   // "Write Complete" ring, status to send
constexpr uint8_t HOST_STATE_MIRROR_WAIT = 28;      // parked for the partner's mirror answer
constexpr uint8_t HOST_STATE_COLLAPSED_WAIT = 29;   // parked for the write that carried its data
constexpr uint8_t HOST_STATE_STRIPE_INIT_WAIT = 30; // parked until its rows' initialisation moves on
constexpr uint8_t HOST_STATE_READ_ISSUED = 32;      // ' ': read children outstanding
constexpr uint8_t HOST_STATE_WRITE_ISSUED = 33;     // '!': write children outstanding
constexpr uint8_t HOST_STATE_FORCE_STRIPE = 75;     // child command that forces a stripe
constexpr uint8_t HOST_STATE_READ_AHEAD_WAIT = 103; // 'g': waiting for a read-ahead slot
constexpr uint8_t HOST_STATE_STREAM_WAIT = 128;     // stream head waiting for its pieces
constexpr uint8_t HOST_STATE_IMMEDIATE_NOTIFY = 144;
constexpr uint8_t HOST_STATE_CHILDREN_WAIT = 162;   // finished, children still outstanding
constexpr uint8_t HOST_STATE_ABORT_REQUEST = 168;
constexpr uint8_t HOST_STATE_TASK_MANAGEMENT = 169; // its port's "New Task Mgmnt Reqs" ring
constexpr uint8_t HOST_STATE_DESTAGE_WAIT = 186;   // parked, no ring: a cached write the drives refused waits to try again
constexpr uint8_t HOST_STATE_WRITE_SORT = 254;

// ---- primary states of drive children and internal drive commands ----
// 6, 32, 34 and 91 are the executive's (PS_NEW_COMMAND, PS_AT_CHIP,
// PS_COMPLETED, PS_PARKED_5B); these are the others.
constexpr uint8_t CHILD_STATE_CONTINUATION = 48;    // '0': carries further data segments
constexpr uint8_t CHILD_STATE_DELAYED_REISSUE = 101; // 'e': due at coarse tick + 2 x delay

// ---- completion code ----
// A command finished without a status at that point carries this code in
// its child-count field and the state it had in its total-child-count field.
constexpr uint16_t COMPLETION_CODE_NO_STATUS = 135;

// ---- the flag word ----
// Bits 4, 5, 10 and 26 (drive child role) and the drive-side bit 1 are
// defined with the record in executive/kernel_entry.h: KE_FLAG_ABORTED,
// KE_FLAG_CHILD_FAILED, KE_FLAG_SENSE_PRESENT, KE_FLAG_WRITE_COLLAPSE,
// KE_FLAG_RETARGETED.
constexpr uint64_t KeFlag(uint32_t dBit) { return 1ull << dBit; }

constexpr uint64_t KE_FLAG_REBUILD_HELD = KeFlag(0);          // held back by the rebuild window
constexpr uint64_t KE_FLAG_TIMED_OUT_ONCE = KeFlag(0);        // drive child: its drive was reset for it once
constexpr uint64_t KE_FLAG_ACCESS_CONFLICTS = KeFlag(1);      // host: stripe access met > 500 conflicts
constexpr uint64_t KE_FLAG_IN_WRITE_QUEUE = KeFlag(2);        // host: in its LUN's outstanding writes
constexpr uint64_t KE_FLAG_HOLD_ROW_WRITES = KeFlag(2);       // row group head: data writes wait for parity
constexpr uint64_t KE_FLAG_WRITE_WAITS = KeFlag(3);           // waits for an older overlapping write
constexpr uint64_t KE_FLAG_MIRRORED = KeFlag(6);              // partner holds a copy (message 96 sent)
constexpr uint64_t KE_FLAG_ON_LUN_RING = KeFlag(7);           // host: came through its LUN's ring
constexpr uint64_t KE_FLAG_HELD_BEHIND_GROUP = KeFlag(7);     // child: behind an earlier group
constexpr uint64_t KE_FLAG_LUN_STATISTICS = KeFlag(8);        // host: counted per LUN outstanding
constexpr uint64_t KE_FLAG_GROUP_CHAINED = KeFlag(8);         // child: a later group waits behind it
constexpr uint64_t KE_FLAG_MORE_PASSES = KeFlag(9);           // back to the dispatcher for a next pass
constexpr uint64_t KE_FLAG_OWNS_PAGES = KeFlag(11);           // frees its page run when freed
constexpr uint64_t KE_FLAG_WRITE_BACK = KeFlag(12);           // host write: GOOD from the buffer
constexpr uint64_t KE_FLAG_PATH_FAILOVER = KeFlag(12);        // child: failover of its target asked
constexpr uint64_t KE_FLAG_STATUS_SENT = KeFlag(13);          // host write: GOOD already sent
constexpr uint64_t KE_FLAG_HOLD_RELEASE_A = KeFlag(14);
constexpr uint64_t KE_FLAG_REDONE = KeFlag(15);               // sent back to be done again
constexpr uint64_t KE_FLAG_JOURNALED = KeFlag(16);            // in its NVRAM journal slot
constexpr uint64_t KE_FLAG_STRIPE_ACCESS = KeFlag(17);        // holds a stripe access record
constexpr uint64_t KE_FLAG_DATA_COMPLETE = KeFlag(18);        // all data in its buffer, in order
constexpr uint64_t KE_FLAG_CHAIN_FIRST = KeFlag(19);          // host: followers wait for the partner
constexpr uint64_t KE_FLAG_PARITY_SENT = KeFlag(19);          // RAID 5 RMW head: parity sent to partner
constexpr uint64_t KE_FLAG_CHAIN_FOLLOWER = KeFlag(20);
constexpr uint64_t KE_FLAG_PARITY_ANSWERED = KeFlag(20);      // RAID 5 RMW head: partner answered
constexpr uint64_t KE_FLAG_UNMAPPED_RETRY_USED = KeFlag(21);  // host: 10-second window used
constexpr uint64_t KE_FLAG_XOR_DEFERRED = KeFlag(21);         // RMW head: continuation deferred
constexpr uint64_t KE_FLAG_AHEAD_OF_REBUILD = KeFlag(22);
constexpr uint64_t KE_FLAG_PARTNER_QUEUE_FULL = KeFlag(23);   // refused once for partner queue room
constexpr uint64_t KE_FLAG_FULL_ROW_ALLOWED = KeFlag(24);
constexpr uint64_t KE_FLAG_MIRROR_ACKNOWLEDGED = KeFlag(25);
constexpr uint64_t KE_FLAG_HOLD_RELEASE_B = KeFlag(26);       // host role of bit 26
constexpr uint64_t KE_FLAG_IN_READ_QUEUE = KeFlag(27);        // host: in its LUN's outstanding reads
constexpr uint64_t KE_FLAG_READ_REPAIR_STARTED = KeFlag(27);  // child: with bit 57
constexpr uint64_t KE_FLAG_OVERLAPS_READ = KeFlag(28);
constexpr uint64_t KE_FLAG_PARTNER_ACCESS = KeFlag(29);       // stripe access granted by message 118
constexpr uint64_t KE_FLAG_EXPANSION_WAIT = KeFlag(30);
constexpr uint64_t KE_FLAG_OLD_LAYOUT = KeFlag(31);           // on pseudo-rank 63
constexpr uint64_t KE_FLAG_SAS_HOST = KeFlag(32);             // the SAS host port driver's own
constexpr uint64_t KE_FLAG_READ_AHEAD_HIT = KeFlag(33);
constexpr uint64_t KE_FLAG_TARGET_QUEUE_PARKED = KeFlag(34);
constexpr uint64_t KE_FLAG_STRIPE_INIT_WAIT = KeFlag(35);
constexpr uint64_t KE_FLAG_NEWER_PIECE_ABORTED = KeFlag(36);
constexpr uint64_t KE_FLAG_REGENERATE = KeFlag(37);
constexpr uint64_t KE_FLAG_RECORDED_EXTENT = KeFlag(38);
constexpr uint64_t KE_FLAG_NO_STATUS = KeFlag(39);            // link reset or aborted after its data
constexpr uint64_t KE_FLAG_COLLAPSES = KeFlag(40);
constexpr uint64_t KE_FLAG_COLLAPSED = KeFlag(41);
constexpr uint64_t KE_FLAG_MAY_COLLAPSE = KeFlag(42);
constexpr uint64_t KE_FLAG_HOLD_RELEASE_C = KeFlag(43);
constexpr uint64_t KE_FLAG_INTERNAL = KeFlag(44);             // made inside: refusal gives no status
constexpr uint64_t KE_FLAG_BORROWED_PAGES = KeFlag(45);       // pages belong to another command
constexpr uint64_t KE_FLAG_STATUS_WITH_DATA = KeFlag(46);     // GOOD goes out with the data-out
constexpr uint64_t KE_FLAG_COLLAPSE_WAITER = KeFlag(47);
constexpr uint64_t KE_FLAG_UNIT_COLLAPSE = KeFlag(48);
constexpr uint64_t KE_FLAG_CACHE_COUNTED = KeFlag(49);
constexpr uint64_t KE_FLAG_RAID5_ROW_BUFFER = KeFlag(50);
constexpr uint64_t KE_FLAG_EXPANSION_DECODED = KeFlag(51);
constexpr uint64_t KE_FLAG_RAID6_ROW_REGION = KeFlag(52);
constexpr uint64_t KE_FLAG_RAID6_PARITY_SENT = KeFlag(53);
constexpr uint64_t KE_FLAG_RAID6_PARITY_ANSWERED = KeFlag(54);
constexpr uint64_t KE_FLAG_STREAM_CONTINUES = KeFlag(56);
// Child: ended in error with its member taken out of the array (or its data
// to be regenerated); its host command is done again, nothing reported.
constexpr uint64_t KE_FLAG_REDO_WITHOUT_MEMBER = KeFlag(55);
constexpr uint64_t KE_FLAG_READ_REPAIR = KeFlag(57);
constexpr uint64_t KE_FLAG_SNAPSHOT = KeFlag(58);
constexpr uint64_t KE_FLAG_PR_OUT_HOLDER = KeFlag(59);
constexpr uint64_t KE_FLAG_RANK_COUNTED = KeFlag(60);         // in its rank's reads or writes in progress
constexpr uint64_t KE_FLAG_STREAM_PREDECESSOR = KeFlag(61);
constexpr uint64_t KE_FLAG_TQM_COUNTED = KeFlag(62);          // in the latency statistics
constexpr uint64_t KE_FLAG_TQM_REFUSED = KeFlag(63);          // status waits for the status delay

static_assert(KE_FLAG_ABORTED == KeFlag(4) && KE_FLAG_CHILD_FAILED == KeFlag(5) &&
              KE_FLAG_SENSE_PRESENT == KeFlag(10) && KE_FLAG_WRITE_COLLAPSE == KeFlag(26));

inline bool HasFlag(const KERNEL_ENTRY* psEntry, uint64_t lMask) { return (psEntry->lFlags & lMask) != 0; }
inline void SetFlag(KERNEL_ENTRY* psEntry, uint64_t lMask) { psEntry->lFlags |= lMask; }
inline void ClearFlag(KERNEL_ENTRY* psEntry, uint64_t lMask) { psEntry->lFlags &= ~lMask; }

// ---- command types the target engine itself tests ----
constexpr uint8_t COMMAND_TYPE_STREAM_HEAD = '0';
constexpr uint8_t COMMAND_TYPE_STREAM_PIECE = '1';
constexpr uint8_t COMMAND_TYPE_CLOSING_PIECE = '4';
constexpr uint8_t COMMAND_TYPE_CONTINUATION = 'r';
constexpr uint8_t COMMAND_TYPE_PARTNER_ACCESS_OUT = 't';   // message 118 out to the partner
constexpr uint8_t COMMAND_TYPE_PARTNER_ACCESS_U = 'u';
constexpr uint8_t COMMAND_TYPE_PARTNER_ACCESS_W = 'w';
constexpr uint8_t COMMAND_TYPE_DATA_SERVICES = 'z';        // made by the data services, no LUN lookup
constexpr uint8_t COMMAND_TYPE_MANAGEMENT = '>';
constexpr uint8_t COMMAND_TYPE_PR_OUT = 'L';
constexpr uint8_t COMMAND_TYPE_FLUSH_WRITE = 131;
constexpr uint8_t COMMAND_TYPE_FLUSH_WRITE_2 = 152;
constexpr uint8_t COMMAND_TYPE_HOST_CHILD = 193;           // a child counted down on a host mother
constexpr uint8_t COMMAND_TYPE_READ_AHEAD = 50;
constexpr uint8_t COMMAND_TYPE_READ_AHEAD_2 = 51;

// ---- the target engine's fields of a host entry ----
// Kept in the target range of the entry's subsystem area; the received
// command block itself is the head of the entry, and on ISP24xx host ports
// the ATIO as the chip delivered it lies beside it (pGetAtioCopy).
#pragma pack(push, 1)
// A snapshot VLUN is told from a logical drive by bit 10 of its number.
constexpr uint16_t SNAPSHOT_LUN_BIT = 0x400;

struct HOST_COMMAND_FIELDS {
    uint64_t lArrivalHighRes;    // high-resolution time at arrival
    uint32_t dSourceId;          // 24-bit FC source id, once the handle was looked up
    uint16_t wInitiatorHandle;   // ISP24xx: 0xFFFF until looked up
    uint16_t wLipCount;          // the host port's LIP count at arrival
    uint16_t wVlun;              // snapshot VLUN number with SNAPSHOT_LUN_BIT
    uint16_t wPriorityBucket;    // LUN scheduler age bucket; 0xFFFF not counted
    uint16_t wNextInChain;       // command chain; 0xFFFF none
    uint8_t bTqmResponse;        // the status target queue management refused it with; 0 admitted
    uint8_t bRoutedPort;         // SAS host ports: the port code of the sender's port; 255 not yet known
    uint16_t wWriteOrderKey;     // a write's order key: its own index at admission
    uint8_t bSenseKey;           // status saved for the command (flag bit 10)
    uint8_t bAsc;
    uint8_t bAscq;
    uint8_t abSenseSpecific[3];  // sense bytes 15 to 17
    uint8_t bScsiStatus;         // the status a command made inside the controller ended with
    uint16_t wDataServiceTag;    // data service that owns the command; 0xFFFF none
    uint32_t dDataInBytes;       // bytes the command's last data-in transfer offered the host
    uint32_t dWriteResidual;     // a write's FCP_DL against its CDB's length: the difference
    uint16_t wWriteResidualFlag; // FCP_RESIDUAL_OVERRUN or FCP_RESIDUAL_UNDERRUN; 0 none
    uint8_t fCompletionCode;     // the child count holds completion code 135, not a count
    uint32_t dVerifyBuffer;      // a VERIFY's data from the host, kept for its compare (a BUFFER_HANDLE); 0 none
    uint16_t wVerifyPages;       // the pages of that buffer
    uint8_t bVerifyCompare;      // while a VERIFY compares: its BYTCHK (1 or 3); 0 otherwise
    uint8_t fVerifyDataIn;       // the host's data for the compare's current pass is in that buffer
    uint8_t bSenseDetails;       // SENSE_DETAIL_* bits: what the command's sense adds to key, ASC and ASCQ
    uint32_t dSenseInformation;  // the INFORMATION field of its sense
};
#pragma pack(pop)
static_assert(sizeof(HOST_COMMAND_FIELDS) <= KE_AREA_TARGET_SIZE);
static_assert(offsetof(HOST_COMMAND_FIELDS, wInitiatorHandle) == 12);
static_assert(offsetof(HOST_COMMAND_FIELDS, bSenseKey) == 26);

// What a command's fixed-format sense carries besides key, ASC and ASCQ:
// the INFORMATION field (bytes 3-6, with the VALID bit), and the
// sense-key-specific bytes 15-17 held in abSenseSpecific.
constexpr uint8_t SENSE_DETAIL_INFORMATION = 0x01;
constexpr uint8_t SENSE_DETAIL_KEY_SPECIFIC = 0x02;

constexpr uint16_t NO_INITIATOR_HANDLE = 0xFFFF;
constexpr uint16_t NO_PRIORITY_BUCKET = 0xFFFF;
constexpr uint16_t NO_CHAIN_LINK = 0xFFFF;
constexpr uint16_t NO_DATA_SERVICE_TAG = 0xFFFF;
constexpr uint64_t NO_LUN_SEQUENCE = ~0ull;
constexpr uint32_t LUN_SEQUENCE_INDEX = 2;   // alSequence[2]: the per-LUN sequence number

inline HOST_COMMAND_FIELDS* pHostFields(KERNEL_ENTRY* psEntry) {
    return EntryArea<HOST_COMMAND_FIELDS, KE_AREA_TARGET_OFFSET, KE_AREA_TARGET_SIZE>(psEntry);
}
inline const HOST_COMMAND_FIELDS* pHostFields(const KERNEL_ENTRY* psEntry) {
    return pHostFields(const_cast<KERNEL_ENTRY*>(psEntry));
}
// Adds the command's sense details to fixed-format sense data built for it.
inline void AddSenseDetails(const KERNEL_ENTRY* psEntry, uint8_t* pbSense) {
    const HOST_COMMAND_FIELDS* ps = pHostFields(psEntry);
    if (ps->bSenseDetails & SENSE_DETAIL_INFORMATION) {
        pbSense[0] |= 0x80;
        PutBe32(pbSense + 3, ps->dSenseInformation);
    }
    if (ps->bSenseDetails & SENSE_DETAIL_KEY_SPECIFIC) {
        for (int i = 0; i < 3; ++i) pbSense[15 + i] = ps->abSenseSpecific[i];
    }
}
inline uint8_t* pGetAtioCopy(KERNEL_ENTRY* psEntry) { return psEntry->abHeadExtension; }
inline const uint8_t* pGetAtioCopy(const KERNEL_ENTRY* psEntry) { return psEntry->abHeadExtension; }

// Finishes a command without a status: it keeps the state it had in its
// saved-state field and waits, with completion code 135, to be freed.  A
// command whose children are still out (issued to the RAID engine) keeps
// their count instead, so that it waits for them before it is freed.  The
// code is marked as such: 135 children out is a count like any other.
inline void MarkFinishedWithoutStatus(KERNEL_ENTRY* psEntry) {
    const uint8_t bState = psEntry->bPrimaryState;
    const bool fChildrenOut = (bState == HOST_STATE_READ_ISSUED || bState == HOST_STATE_WRITE_ISSUED) &&
                              psEntry->wChildrenOutstanding != 0;
    if (!fChildrenOut) {
        psEntry->wTotalChildren = bState;
        psEntry->wChildrenOutstanding = COMPLETION_CODE_NO_STATUS;
    }
    pHostFields(psEntry)->fCompletionCode = ToFlag(!fChildrenOut);
    psEntry->bPrimaryState = HOST_STATE_COMPLETE;
}

// The stage rings, scans and histories keep one slot per host port code and
// one for the internal codes together.
constexpr uint8_t HOST_PORT_SLOTS = 5;
constexpr uint8_t HOST_PORT_SLOT_INTERNAL = 4;
constexpr uint8_t NO_HOST_PORT_SLOT = 0xFF;
inline uint8_t bHostPortSlot(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1: return 0;
    case PORT_CODE_FC_HOST_2: return 1;
    // The SAS target ports and the parallel SCSI ports never share a
    // board: they share the third and fourth slots.
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_FC_TABLE_1: return 2;
    case PORT_CODE_SAS_HOST_2:
    case PORT_CODE_FC_TABLE_2: return 3;
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return HOST_PORT_SLOT_INTERNAL;
    default: return NO_HOST_PORT_SLOT;
    }
}

// Codes 2, 18, 50 and 114 select the second entry of the per-port
// reservation tables (0 or 1).
inline uint8_t bReservationPortIndex(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_HOST_VARIANT_2:
    case PORT_CODE_FC_TABLE_2:
    case PORT_CODE_SAS_HOST_2: return 1;
    default: return 0;
    }
}

}  // namespace fw
