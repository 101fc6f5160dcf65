// Actions on single drive slots and expander phys: a slot whose drive
// keeps timing out has its phy turned off, disabled phys are brought back
// by a sweep, and the look at where drive activity has been lately.
#pragma once

#include <cstdint>

namespace fw {

struct SAS_EXPANDER_LIST;

// The slot's phy was turned off because its drive (by WWN) kept timing
// out: the re-enable sweep leaves it off until another drive is there.
void HoldSlotPhyForTimeouts(uint8_t bExpander, uint8_t bPhy, const uint8_t* pbWwn);
uint8_t fIsSlotPhyHeldForTimeouts(uint8_t bExpander, uint8_t bPhy);
// A link change on a held phy that does not name the held drive (it was
// taken out, or another was put in) ends the hold: TRUE then.
uint8_t fEndSlotPhyHoldOnChange(uint8_t bExpander, uint8_t bPhy, const uint32_t* pdSasAddress);

// Kind 1: TRUE when a drive outside enclosure 1 was active in the last
// 35000 ms and none of enclosure 1 was.  Any other kind FALSE.
uint8_t fIsOnlyExpansionActivityRecent(uint8_t bKind);

// Hard-resets every disabled phy of the expanders the IOC reports that
// leads to a drive slot (one held for time-outs excepted) and asks
// discovery for a new look; 255.
uint8_t ReenableDisabledExpanderPhys();
// Phys the sweep reset, and PHY CONTROL requests that could not be sent.
uint32_t dGetSASPhyReenables();

// SMP PHY CONTROL HARD RESET to the phy the slot hangs on.
void HardResetSlotPhy(uint8_t bEnclosure, uint8_t bSlot);
// The same, on a Z8Q2 with no partner running beside it; nothing otherwise.
void HardResetSlotPhyAlone(uint8_t bEnclosure, uint8_t bSlot);
// LINK RESET (f TRUE) or DISABLE of every drive-slot phy of the
// enclosure's expanders: 0 when a request could not be sent, else 255.
uint8_t bEnclosureSlotPhyControl(uint8_t bEnclosure, uint8_t f);
// Turns off the phys of an expander that lead further down (all but the
// one to its parent) that are up or not yet marked; TRUE when any was.
uint8_t bDisableDownstreamExpanderPhys(uint8_t bExpander);
// Signals the port selector of every SATA drive the IOC cannot reach yet
// (non-zero access status) to switch to this controller, on the slots this
// controller serves (fForce: on every slot) and within each phy's tries;
// TRUE when any.  Run by discovery's pass, after its expander list is made.
uint8_t bSendSATAPortSelectionSweep(uint8_t fForce);
// Cuts the links to expanders cascaded below the enclosures this
// controller may serve (event 144 once): 0 when a link was cut, else 255.
uint8_t bCutCascadedExpanders();
// Target resets of the idle drives of this controller from the first
// enclosure on (with fFirstOnly only the first such drive).
void ResetIdleSASDevices(uint8_t bFirstEnclosure, uint8_t fFirstOnly);
// This controller's expander list for index 1, null for any other.
SAS_EXPANDER_LIST* pGetSASExpanderListPointer(uint8_t bIndex);

// Whether the partner sees the drive of a target (or of a slot); the
// partner is told of slots it does not see yet.
void SetSASTargetPartnerVisible(uint8_t bTarget, uint8_t f);
uint8_t bGetSASTargetPartnerVisible(uint8_t bTarget);
void SetSASSlotPartnerVisible(uint8_t f, uint8_t bEnclosure, uint8_t bSlot);
void NotifyPartnerOfSlot(uint8_t bTarget, uint8_t f);

// Dumps: each SAS drive's two ports' link error counters (its port log
// page), and the drive IOC's PCI configuration header.
void ShowSASSlotPortCounters();
void ShowTar1PciRegisters();
// Looks at the expanders again, reads every phy's error log and prints the
// phys with link errors.
void ShowSASLinkErrors();

// The partner's view of the device list takes this controller's list, each
// entry marked the partner's, when the view holds entries and this list
// reaches nothing through the partner.
void CopySASDeviceListToPartnerView();

void InitSASSlotPhyActions();

}  // namespace fw
