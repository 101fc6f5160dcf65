// Message 215: a drive slot held by one controller, agreed with the partner.
#pragma once

#include <cstdint>

namespace fw {

struct PARTNER_MESSAGE_SLOT;

constexpr uint8_t PARTNER_MESSAGE_SLOT_HOLD = 215;

// The partner asks to hold (TRUE) or release (FALSE) a slot: 0xFF when
// this controller agrees, 0 (refused) otherwise.
uint8_t bReceiveSasSlotHold(const uint8_t* pbCdb, uint16_t wLunField);
// Our message's answer: agreed, refused or lost.
void SasSlotHoldAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);

}  // namespace fw
