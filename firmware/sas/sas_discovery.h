// Drive-side discovery: the expanders behind the drive IOC, their phys and
// the enclosure and slot every phy leads to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

constexpr uint8_t SAS_MAX_EXPANDERS = 48;
constexpr uint8_t SAS_EXPANDER_PHYS = 32;
constexpr uint8_t SAS_NO_SLOT = 0xFF;

#pragma pack(push, 1)
struct SAS_EXPANDER {
    uint8_t abHeader[8];               // record 0 only: the list header
    uint32_t adSASAddress[2];          // low word first
    uint16_t wDevHandle;
    uint16_t wParentDevHandle;
    uint16_t wUpstreamHandle;
    uint8_t bNumPhys;
    uint8_t bEnclosure;
    uint8_t bSide;
    uint8_t bPath;
    uint8_t bSASLevel;
    uint8_t fUsable;
    uint8_t bEnclosureType;
    uint8_t fResponding;
    uint16_t awAttachedHandle[SAS_EXPANDER_PHYS];
    uint32_t adPhyInfo[SAS_EXPANDER_PHYS];
    uint32_t adAttachedDeviceInfo[SAS_EXPANDER_PHYS];
    uint8_t abEnclosureData[64];
    uint8_t abReserved[58];
};
static_assert(sizeof(SAS_EXPANDER) == 472);
static_assert(offsetof(SAS_EXPANDER, adSASAddress) == 8);
static_assert(offsetof(SAS_EXPANDER, awAttachedHandle) == 30);

// The list header, kept in the first 8 bytes of record 0.
struct SAS_EXPANDER_LIST_HEADER {
    uint8_t bExpanderCount;
    uint8_t bHighestEnclosure;
    uint8_t bPortSelectorPhys;
    uint8_t bDirectSataDevices;
    uint16_t awAttachedHandle[2];      // expanders on this controller's IOC, 0xFFFF none
};
static_assert(sizeof(SAS_EXPANDER_LIST_HEADER) == 8);
#pragma pack(pop)

struct SAS_EXPANDER_LIST {
    SAS_EXPANDER asExpander[SAS_MAX_EXPANDERS];
};

// Phy state bits.
constexpr uint8_t SAS_PHY_CHANGE_WARNED = 0x01;
constexpr uint8_t SAS_PHY_DISABLED = 0x02;
constexpr uint8_t SAS_PHY_PORT_SELECT_WARNED = 0x04;
constexpr uint8_t SAS_PHY_CLEARED_ON_RESTART = 0x10;

// Discovery states.
constexpr uint8_t SAS_DISC_IDLE = 0;
constexpr uint8_t SAS_DISC_RESTART_IOC = 1;
constexpr uint8_t SAS_DISC_WAIT_IOC = 2;
constexpr uint8_t SAS_DISC_RESTART = 3;
constexpr uint8_t SAS_DISC_WAIT = 4;
constexpr uint8_t SAS_DISC_DISCOVER = 5;
constexpr uint8_t SAS_DISC_CONTINUE = 6;
constexpr uint8_t SAS_DISC_REBUILD = 7;
constexpr uint8_t SAS_DISC_SLOT_CHANGE = 8;
constexpr uint8_t SAS_DISC_WAIT_RESTART = 9;

// Results of an expander discovery pass besides TRUE (another pass) and
// "done" (any other value).
constexpr uint8_t SAS_DISCOVERY_RESTART_IOC = 0;
constexpr uint8_t SAS_DISCOVERY_RETRY = 250;

// The company identifier the controllers' own SAS addresses carry (the one
// a formatted NVRAM gives the controller WWN): the partner's onboard
// expander is known by it.
constexpr uint32_t SAS_CONTROLLER_OUI = 0x00A55A;

SAS_EXPANDER_LIST_HEADER* psSASExpanderHeader(SAS_EXPANDER_LIST* psList);
void InitSASExpanderList(SAS_EXPANDER_LIST* psList);
void ShowSASExpanderList(SAS_EXPANDER_LIST* psList);
SAS_EXPANDER_LIST* pGetSASExpanderList();
// The expanders the IOC reports now, read afresh (at most the list's size).
uint8_t bCountSASExpanders();
SAS_EXPANDER_LIST* pGetPreviousSASExpanderList();
SAS_EXPANDER_LIST* pGetOCSASExpanderList();
SAS_EXPANDER_LIST* pGetSASExpanderListForPartner();
uint8_t bGetSASPhyState(uint8_t bExpander, uint8_t bPhy);
void SetSASPhyStateBits(uint8_t bExpander, uint8_t bPhy, uint8_t bBits, uint8_t fSet);
// TRUE for an expander with the controllers' company identifier and the
// other controller's number in its address: the partner's onboard one.
uint8_t fIsPartnerOnboardExpander(const SAS_EXPANDER* ps);

// The drive IOC bring-up's part: every list and phy table empty (start of
// day), the phy marks a restart drops, the bookkeeping of a new IOC.
void InitSASDiscoveryTables();
void ClearSASPhyStateOnRestart();
void ResetSASDiscoveryBookkeeping();
// The 48 expander position words (0xFFFFFFFF until placed).
uint32_t dGetSASExpanderPosition(uint8_t bExpander);
// Start of day: no discovery, pause or hold left from before.
void ClearSASDiscoveryState();

// TRUE another pass is needed, 0 restart the IOC, 250 retry after 4 s,
// anything else done.
uint8_t bDiscoverSASExpanders(uint8_t fPortSelect);
// Hard-resets the expander phys of end devices (with fSparseTargets TRUE
// not those of SSP and SMP targets) and notes the disabled ones; 255.
uint8_t RestartSASDiscovery(uint8_t fSparseTargets);
// TRUE when a phy whose drive disappeared since the last pass was reset.
uint8_t fResetVanishedDevicePhys();
// Signals the SATA port selectors and the multiplexers of the last pass's
// expanders to pass this controller's path, on its own slots (fForce: on
// every slot); TRUE when a signal went out.
uint8_t fSelectSATAPortsOfThisController(uint8_t fForce, uint8_t fIncludeActive);
// A command to a drive of this controller ended with no drive there.
// Beside a live partner, a drive behind a multiplexer may have been taken
// by the partner's signal, which this side learns only at its next look:
// the target is held and that look asked for, which hands the drive over
// (its queued commands then go through the partner) or finds it gone.
// TRUE when held: the command waits on the queue rather than failing.
uint8_t fHoldSASTargetForTakeOver(uint8_t bTarget);
uint32_t dGetSASTakeOverHolds();
// TRUE when the last pass found SATA drives that only one controller
// reaches at a time: behind port selectors or multiplexers.
uint8_t fAreSATADrivesShared();
// The port-selection sweep's part for one phy of the pass's expander (index
// and handle as the IOC walk gave them) whose drive the IOC is refused
// (fElsewhere TRUE: its multiplexer passes the other controller) or reaches:
// signals it, within the phy's tries, when the slot is this controller's to
// serve (fForce: whoever owns it); TRUE when a signal went out.
uint8_t fSelectSATAMuxPort(uint8_t bExpander, uint16_t wHandle, uint8_t bPhy, uint8_t fElsewhere, uint8_t fForce);
uint8_t bGetSASDiscoveryState();
uint8_t fIsSASDiscoveryRunning();
uint8_t fIsSASDiscoveryMoreWork();
// The recovery and active-active code hold discovery off between passes:
// the next step acknowledges and discovery goes idle once it may.
void SetSASDiscoveryPauseRequest(uint8_t f);
uint8_t fIsSASDiscoveryPauseAcknowledged();

// 255 with enclosure and slot (slot >= 0xA0: a link), 0 when the handle is
// not a responding expander.
uint8_t bGetEnclosureSlotOfExpanderPhy(uint16_t wHandle, uint8_t bPhy, uint8_t* pbEnclosure, uint8_t* pbSlot);
// 255 with expander index and phy, else 0 with 255/255.
uint8_t bFindExpanderPhyOfEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot, uint8_t* pbExpander, uint8_t* pbPhy);
// The slot a phy of an expander of this enclosure type, side and path leads to.
uint8_t bSlotOfExpanderPhy(const SAS_EXPANDER* psExpander, uint8_t bPhy);
// The two device handles of the partner's IOC that the board's partner
// phys show (0xFFFF none).
uint16_t wGetPartnerIocHandle(uint8_t bPath);

// Every phy of every expander the IOC reports now (next-handle order, page
// 0 of the expander and page 1 of the phy), up to the table's size.
struct MPI_SAS_EXPANDER_PAGE_0;
struct MPI_SAS_EXPANDER_PAGE_1;
using ExpanderPhyVisitor = void (*)(void* pContext, uint8_t bIndex, const MPI_SAS_EXPANDER_PAGE_0& s0, uint8_t bPhy,
                                    const MPI_SAS_EXPANDER_PAGE_1& s1);
void ForEachReportedExpanderPhy(ExpanderPhyVisitor pfnVisit, void* pContext);
// The enclosure type of the first usable expander of the enclosure; the
// backplane type when the enclosure has none.
uint8_t bGetEnclosureType(uint8_t bEnclosure);
// Expanders or phys beyond the tables' sizes that discovery left out.
uint32_t dGetSASTopologyOverflows();

// Reads a topology page of the drive IOC into the discovery work page;
// 255 with a pointer to it.
uint8_t bReadSASTopologyPage(uint8_t bExtType, uint8_t bPage, uint32_t dAddress, const uint8_t** ppbPage);
// The same into a buffer page of the caller's, with the length read.
uint8_t bReadDriveSidePage(uint8_t bExtType, uint8_t bPage, uint32_t dAddress, BUFFER_HANDLE dBuffer,
                           uint32_t* pdLength);

// Bit 3 of the board CPLD's control register selects the onboard
// expander's flash for programming: FALSE sets it, TRUE clears it.
void SetCPLDControlBit3(uint8_t f);

}  // namespace fw
