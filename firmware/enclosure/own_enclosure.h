// The controller's own chassis as an enclosure services device: its bays,
// supplies, fans, sensors, alarm and display as elements, the diagnostic
// pages built from them and the control pages applied to them; the
// indicator table the element states drive; and the own chassis' entry in
// the enclosure table.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t OWN_ELEMENTS = 66;
constexpr uint8_t OWN_INDICATORS = 21;
constexpr uint8_t OWN_BAYS = 12;

struct OWN_INDICATOR {
    uint8_t bCode;
    uint8_t bSubState;
    uint8_t bRegister;
    uint8_t fChanged;
};

void InitOwnEnclosure();
// Builds a page into the buffer with its total length; 0xFF, or 0 (length
// 0) for a page the chassis does not serve.
uint8_t bBuildOwnSesPage(uint8_t bPage, uint8_t* pbBuffer, uint16_t* pwLength);
// Applies a SEND DIAGNOSTIC parameter list: 0xFF applied, 0 refused.
uint8_t bAcceptOwnSesControlPage(const uint8_t* pbList, uint16_t wLength);
// The status bytes of an element (status table index).
uint8_t* pGetOwnElement(uint8_t bElement);
const OWN_INDICATOR* psGetOwnIndicator(uint8_t bIndex);
// Sets an indicator, marked to be written when it changed (or always).
void SetOwnIndicator(uint8_t bIndex, uint8_t bCode, uint8_t bSubState, uint8_t fAlways);
// A chassis sensor's threshold bytes (high critical, high warning, ...).
const uint8_t* pGetOwnThreshold(uint8_t bSensor);
void MarkAllIndicatorsChanged();
// The fan and temperature indicator from the fans and sensors, before it
// is shown.
void RederiveFanIndicator();
void DeriveSlotIndicatorFromDevice(uint8_t bElement);
void DeriveSlotIndicatorFromArray(uint8_t bElement);
void DeriveChassisFaultIndicator();
// A bay filled or emptied (the chassis' presence lines).
void SetOwnBayPresent(uint8_t bBay, uint8_t fPresent);
// The installed count of the own chassis from its status page.
void CountOwnInstalledSlots(const uint8_t* pbPage, uint16_t wLength);

}  // namespace fw
