// The hosts the controller has seen: one entry per initiator, merged from
// the login tables of this controller's two host ports and of its
// partner's, with the identifier it is logged in under on each of the four
// ports.  The SAN LUN mapping menus, the management pages and the
// information dumps read it; it is rebuilt on demand.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint16_t HOST_LIST_MAX = 512;
// Columns: host ports 1 and 2 of the controller in slot 1, then of the one
// in slot 2.
constexpr uint8_t HOST_LIST_COLUMNS = 4;
constexpr uint8_t HOST_NOT_LOGGED_IN = 255;

#pragma pack(push, 1)
struct HOST_LIST_ENTRY {
    uint8_t abNodeName[8];               // or the SAS address; 0 when empty
    uint8_t abPortName[8];
    uint8_t abId[HOST_LIST_COLUMNS];     // login identifier, 255 where not logged in
    uint8_t afFabric[HOST_LIST_COLUMNS]; // the login's fabric flag
};
struct HOST_LIST {
    uint32_t dHeaderSize;                // 8
    uint16_t wCount;
    uint8_t abReserved[2];
    HOST_LIST_ENTRY asEntry[HOST_LIST_MAX];
};
#pragma pack(pop)
static_assert(sizeof(HOST_LIST_ENTRY) == 24);
static_assert(offsetof(HOST_LIST_ENTRY, abId) == 16);
static_assert(offsetof(HOST_LIST, wCount) == 4);
static_assert(offsetof(HOST_LIST, asEntry) == 8);
static_assert(sizeof(HOST_LIST) == 8 + 512 * 24);

// Start of day: takes its pages (retrying until it has them) and empties it.
void AllocHostList();
void InitHostList();
// From the four login tables; at most 512 hosts.
void BuildHostList();
const HOST_LIST* pGetHostList();
uint16_t wGetHostListCount();
// FALSE for a name of all zeros or all ones: no host is named so.
uint8_t fIsHostNameSet(const uint8_t* pbName);

void PrintHostListHeader();
// 255 when the host's line was printed; 0 for an index beyond the list, a
// host logged in nowhere, or one whose node name is unset.
uint8_t bPrintHostListEntry(uint16_t wIndex);
void PrintHostList();

// For the management pages: TRUE when a drive answers at the loop
// identifier on drive loop 4 (bit 7 set) or 3.
uint8_t fIsDriveLoopIdPresent(uint8_t bLoopId);

}  // namespace fw
