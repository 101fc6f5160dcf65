// The enclosure table: up to 24 enclosures reached through enclosure
// services, each with its identifier, slot counts, the maps between slot
// numbers and element numbers and cached copies of the pages read from it;
// behind the records the small summary pages served to hosts and the two
// lists of slot changes whose work waits for the partner message service.
// Beside it the slot control table of slot power requests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint8_t MAX_ENCLOSURES = 24;
constexpr uint8_t ENCLOSURE_SLOT_MAP_ENTRIES = 32;
constexpr uint32_t ENCLOSURE_CONFIG_COPY_BYTES = 256;
constexpr uint32_t ENCLOSURE_STATUS_COPY_BYTES = 512;
constexpr uint32_t ENCLOSURE_STRING_COPY_BYTES = 64;
constexpr uint32_t ENCLOSURE_SUPPORTED_COPY_BYTES = 16;
constexpr uint32_t ENCLOSURE_THRESHOLD_COPY_BYTES = 512;
constexpr uint32_t ENCLOSURE_DESCRIPTOR_COPY_BYTES = 808;
constexpr uint8_t ENCLOSURE_PAGE_NONE = 0xFF;   // byte 0 of a copy never read
constexpr uint8_t ENCLOSURE_TIMED_REQUEST = 0x80;
constexpr uint32_t DEFERRED_SLOT_ENTRIES = 126;

#pragma pack(push, 1)
struct ENCLOSURE {
    uint8_t bNoOfDrivePath;
    uint8_t bNoOfDrives;
    uint8_t bNoOfDrivesPresent;
    uint8_t bReserved3;
    uint8_t abSlotToElement[ENCLOSURE_SLOT_MAP_ENTRIES];   // index slot − 1; 0: no element
    uint8_t abElementToSlot[ENCLOSURE_SLOT_MAP_ENTRIES];
    uint8_t abEclosureIdentifier[8];
    uint8_t bFirstDriveInList;
    uint8_t fIdentifierUnchanged;
    uint8_t abReserved78[2];
    uint8_t abConfigPage[ENCLOSURE_CONFIG_COPY_BYTES];
    uint8_t abStatusPage[ENCLOSURE_STATUS_COPY_BYTES];
    uint8_t abStringPage[ENCLOSURE_STRING_COPY_BYTES];
    uint32_t dTimedRequestDeadline;
    uint8_t bTimedRequest;
    uint8_t abSupportedPages[ENCLOSURE_SUPPORTED_COPY_BYTES];
    uint8_t abThresholdPage[ENCLOSURE_THRESHOLD_COPY_BYTES];
    uint8_t abDescriptorPage[ENCLOSURE_DESCRIPTOR_COPY_BYTES];
};
static_assert(offsetof(ENCLOSURE, abEclosureIdentifier) == 68);
static_assert(offsetof(ENCLOSURE, abConfigPage) == 80);
static_assert(offsetof(ENCLOSURE, dTimedRequestDeadline) == 912);
static_assert(sizeof(ENCLOSURE) == 2253);

struct DEFERRED_SLOT_LIST {
    uint8_t aabEntry[DEFERRED_SLOT_ENTRIES][4];   // enclosure, slot, 0, 0
    uint32_t dCount;
};

struct ENCLOSURE_TABLE {
    uint32_t bTotalNoOfDrives;
    uint32_t dTotalNoOfEnclosures;
    uint32_t dCurrentEnclosure;
    uint8_t fSesDataValid;
    ENCLOSURE asEnclosure[MAX_ENCLOSURES];
    uint8_t abHostConfiguration[64];
    uint8_t abHostEnclosureStatus[64];
    uint8_t abHostSlotStatus[64];
    uint8_t abHostPage5[16];
    uint8_t abHostStatistics[16];
    DEFERRED_SLOT_LIST sEmptiedSlots;    // list A
    DEFERRED_SLOT_LIST sOccupiedSlots;   // list B
};
static_assert(offsetof(ENCLOSURE_TABLE, asEnclosure) == 13);
static_assert(sizeof(ENCLOSURE_TABLE) <= 14 * 4096);

struct SLOT_CONTROL_ENTRY {
    uint32_t dRequest;       // 2 steady, 3 timed, 4 other
    uint32_t dWantedState;   // 1 powered, 2 off
    uint32_t dDeadline;      // half the coarse tick, plus the duration
    // Raised by every request made on this controller for the slot (1 in a
    // new table): of a pair, the newer request stands on both.  0 in every
    // entry of a table from a controller that keeps no revisions.
    uint32_t dRevision;
};
struct SLOT_CONTROL_TABLE {
    uint32_t dChangeCount;
    uint32_t dOne;
    SLOT_CONTROL_ENTRY asEntry[126];
};
static_assert(sizeof(SLOT_CONTROL_TABLE) == 8 + 126 * 16);
#pragma pack(pop)

// Host summary pages (bGetSesPageBuffer).
constexpr uint8_t HOST_PAGE_CONFIGURATION = 0;
constexpr uint8_t HOST_PAGE_ENCLOSURE_STATUS = 1;
constexpr uint8_t HOST_PAGE_STATISTICS = 2;
constexpr uint8_t HOST_PAGE_SLOT_STATUS = 4;
constexpr uint8_t HOST_PAGE_FAULTS = 5;

// Slot control requests and states.
constexpr uint8_t SLOT_STATE_ON = 1;
constexpr uint8_t SLOT_STATE_OFF = 2;
constexpr uint8_t SLOT_REQUEST_STEADY = 2;
constexpr uint8_t SLOT_REQUEST_TIMED = 3;
constexpr uint8_t SLOT_REQUEST_OTHER = 4;

// Start-up: takes the pages (waiting until they are free), no identifier
// known, both deferred lists empty.
void InitEnclosureTable();
// Forgets every enclosure before a new discovery.
void ResetEnclosureTable();
// Clears the host summaries to their start values.
void ResetHostSummaries();
// Null until InitEnclosureTable has run.
ENCLOSURE_TABLE* pGetEnclosureTable();
uint8_t fGetEnclosureTable(ENCLOSURE_TABLE** ppsTable);
uint8_t bGetSesPageBuffer(uint8_t bIndex, uint16_t* pwLength, uint8_t** ppbAddress);
uint8_t bGetEnclosureInstalledCount(uint8_t bEnclosure);
uint8_t bGetEnclosureDriveCount();
uint8_t fIsSlotPageSupported(uint8_t bEnclosure);
// The supported-pages test of the page cycle: TRUE when the enclosure lists
// the page, or when it gave no list.
uint8_t fIsSesPageSupported(uint8_t bPage, uint8_t bEnclosure);

// Copies a page as it arrived into a fixed copy: never more than the page
// says it holds (length + 4), than arrived, or than the copy holds; the
// rest of the copy is zeroed.  The number of bytes copied.
uint32_t dCopySesPage(uint8_t* pbCopy, uint32_t dCopyBytes, const uint8_t* pbPage, uint32_t dArrived);
// The length a page says it has (bytes 2-3, + 4).
uint32_t dSesPageBytes(const uint8_t* pbPage);

// Enclosure identify for a time: the page cycle asks the enclosure's
// display and enclosure elements to identify until the deadline.
void SetEnclosureTimedRequest(uint8_t bEnclosure, uint16_t wSeconds);
uint8_t fIsEnclosureTimedRequestDue();

// Slots that emptied (list A) or filled (list B) while reports were
// deferred; a further entry of a full list is dropped and counted.
void DeferEmptiedSlot(uint8_t bEnclosure, uint8_t bSlot);
void DeferOccupiedSlot(uint8_t bEnclosure, uint8_t bSlot);
uint32_t dGetDeferredSlotDrops();
void ProcessDeferredSlotLists();

// The fixed slot maps of the enclosure models, set by the 24 bytes of
// vendor and product identification of the configuration page and the
// enclosure type the drive side reported.
void SetEnclosureSlotMaps(ENCLOSURE* psEnclosure, const uint8_t* pbVendorProduct, uint8_t bEnclosureType);
// The number of possible elements of the first device or array device type
// of a configuration page (walked no further than the page and the copy).
uint8_t bConfigurationSlotCount(const uint8_t* pbPage, uint32_t dBytes);

// The slot control table.
SLOT_CONTROL_TABLE* pGetSlotControlTable();
void InitSlotControlTable();
uint8_t bQueueEnclosureSlotControl(uint8_t bEnclosure, uint8_t bSlot, uint8_t bState, uint8_t bRequest,
                                   uint8_t bDuration);
// The wanted state of a slot (1 or 2), its request and what remains of a
// timed one; 0 for a slot outside the table, and on the master (or alone)
// for an enclosure its discovery did not find.  A slave answers from the
// state its master handed it.
uint8_t bGetSlotControlState(uint8_t bEnclosure, uint8_t bSlot, uint8_t* pbRequest, uint32_t* pdRemaining);

// The slot control state the two controllers share (message 210): the
// sender's whole table, then the sender's half coarse tick when it sent
// it, so that the receiver can move the deadlines of timed requests onto
// its own clock.  Little-endian, as the table's own fields.  The entries'
// revisions let a request made on one controller stand beside one made on
// the other at the same moment: each side takes only the entries the
// other changed later.
constexpr uint8_t AA_MUX_MESSAGE_SLOT_STATE = 210;
struct AA_MUX_SLOT_STATE {
    SLOT_CONTROL_TABLE sTable;
    uint32_t dSenderTickHalf;
};
static_assert(sizeof(AA_MUX_SLOT_STATE) == 2028);
// Sends this controller's slot control state to the partner: 255 queued,
// 16 no pages or slot now, 0 no link.
uint8_t bSendAaMuxMessage210();
// The receiver: the partner's slot control state checked and merged in
// (every entry from a partner that keeps no revisions; else each entry of
// a newer revision, and on the slave also each of the same revision, so
// that the master's stands when both changed a slot at once), then this
// controller's slot page sent to the enclosure when its discovery found
// the enclosure services.  When this controller keeps a request the
// partner's table lacks, its own state goes back (the master's page does
// that).  GOOD when the page went out or there is none to send here;
// 5/0x26/0 for a table that is not one (the own one kept); 4/0x44/0 when
// the page could not be sent.
struct PARTNER_MESSAGE_SLOT;
uint8_t bReceiveAaMuxMessage210(PARTNER_MESSAGE_SLOT* psSlot);

}  // namespace fw
