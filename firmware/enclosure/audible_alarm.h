// The audible alarm: mutes per enclosure, the system-wide disable, the
// alarm condition of an enclosure, the low-noise modes and the console's
// display of the flags.
#pragma once

#include <cstdint>

namespace fw {

// Partner message 32: an alarm request given on the slave (byte 2 the
// kind, 3 the enclosure), carried out by the master.
constexpr uint8_t PARTNER_MESSAGE_AUDIBLE_ALARM = 32;

// What bSetAudibleAlarm is asked to do.
constexpr uint8_t ALARM_MUTE = 1;
constexpr uint8_t ALARM_ENABLE_ALL = 2;
constexpr uint8_t ALARM_DISABLE_ALL = 3;

void SetEnclosureAlarmMute(uint8_t f, uint8_t bEnclosure);
uint8_t fIsEnclosureAlarmMuted(uint8_t bEnclosure);
void ClearEnclosureAlarmMutes();
void SetAudibleAlarmDisabled(uint8_t f);
uint8_t fIsAudibleAlarmDisabled();
uint8_t fIsAlarmLowNoiseMode();
// Everything back to start-up: no mutes, enabled, both modes off.
void ResetAudibleAlarm();
// A failed supply, fan, sensor or alarm element, or a failed or missing
// drive, in the enclosure at that table index.
uint8_t fEnclosureHasAlarmCondition(uint8_t bEnclosure);
uint8_t fAnyEnclosureAlarmCondition();

// The sounder of a chassis whose microcontroller drives it: the value its
// register is to hold now (0 sounding, 1 silent).
uint8_t bMicroSounderStep();
// On the direct backplane the microcontroller's sounder runs the board
// sounder's patterns on its own: the value its register is to hold now.
uint8_t bMicroPatternStep();

// The mute flag of each enclosure and the disable flag.
void ShowAudibleAlarmFlags();

}  // namespace fw
