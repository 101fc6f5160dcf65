// Sharing the drives with a partner controller: the drive IOC's
// active-active level on both sides, the per-drive holds the two agree on,
// and the timers around slot changes.
#pragma once

#include <cstdint>

namespace fw {

struct PARTNER_MESSAGE_SLOT;

// Host hold-off status while the deadline lies ahead.
constexpr uint8_t SAS_HOST_HOLD_OFF_RUNNING = 9;

// Target flag bits of a drive shared with the partner.
constexpr uint32_t SAS_AA_NEEDS_DRIVE = 0x080;      // this controller wants the drive to itself
constexpr uint32_t SAS_AA_HAS_DRIVE = 0x100;        // and has it
constexpr uint32_t SAS_AA_PARTNER_HAS_DRIVE = 0x200;
constexpr uint32_t SAS_AA_ASKED_PARTNER = 0x400;    // our request is out at the partner
constexpr uint32_t SAS_AA_REFUSED_PARTNER = 0x800;  // we refused the partner's request

// Levels: this controller's drive IOC revision and the partner's (0 until
// known).
void SetSASActiveActiveState(uint32_t dValue);
uint8_t bGetPartnerActiveActiveState();
uint8_t fFetchPartnerActiveActiveState();
uint8_t fSendActiveActiveStateToPartner(PARTNER_MESSAGE_SLOT* psSlot);
void RecordPartnerActiveActiveState(uint8_t bLevel);
uint8_t fCheckActiveActiveMatch(uint8_t f);
uint8_t fCheckSASActiveActiveSlot(uint8_t f);

// Drive holds agreed with the partner (message 215).
void HoldSASTarget(uint8_t bTarget);
void ReleaseSASTarget(uint8_t bTarget);
uint8_t fAnswerPartnerSlotHold(uint8_t bEnclosure, uint8_t bSlot, uint8_t f);
void PartnerSlotHoldDone(uint8_t bEnclosure, uint8_t bSlot, uint8_t f, uint8_t bStatus);
uint8_t bGetSASTargetHoldCount(uint8_t bTarget);
uint8_t fIsSASTargetHeldForError(uint8_t bTarget);
uint8_t fIsSASPathQuiet(uint8_t bTarget);

// Timers and flags of a slot change.
void SetSASHostHoldOff(uint32_t dMs);
void SetSASRescanDeadline(uint32_t dMs);
void SetSASRescanArmed(uint8_t f);
void SetSASSlotChangeArmed(uint8_t f);
void SetSASSlotChangeSequence(uint8_t b);
uint8_t bGetSASSlotChangeSequence();
void SetSASEnclosurePhyWork(uint8_t f);
uint8_t fGetSASEnclosurePhyWork();
void SetSASEnclosurePhysEnabled(uint8_t f);
uint8_t fGetSASEnclosurePhysEnabled();
void SetSASEnclosureAddedFlag(uint8_t f);
uint8_t fIsSASEnclosureAdded();
void SetSASNewSlotResetFlag(uint8_t f);
uint8_t fGetSASNewSlotResetFlag();
void SetSASRecoveryRescanFlag(uint8_t f);
uint8_t fGetSASRecoveryRescanFlag();
void SetSASDiscoveryStateFlag(uint8_t f);
uint8_t fGetSASDiscoveryStateFlag();

// Every system tick: the partner's heartbeat window decides whether its
// drive side is in recovery, which starts a slot change here.
void PartnerActiveActiveCheck();
// The check's decision on a window read (the sum of three windows).
void ApplyPartnerHeartbeatWindow(uint32_t dSum);
uint8_t fIsPartnerInRecoveryWindow();
// Background pass, behind its work flag.
void EnclosurePhyService();
// Turns the end-device phys of an enclosure off; the service turns them on
// again after a while.
void DisableEnclosureEndDevicePhys(uint8_t bEnclosure);
// The same for the controller enclosure.
void DisableEnclosure1EndDevicePhys();

void InitSASActiveActive();

}  // namespace fw
