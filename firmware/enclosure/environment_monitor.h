// The own chassis' environment: fans, supplies, bay presence and the two
// chassis sensors read from the board, the fault words they raise, the fan
// speed set from the temperature, the board's own temperature watch, and
// the indicator and sounder outputs of the chassis.
#pragma once

#include <cstdint>

namespace fw {

// dEnclosureFaultFlags and dCoolingFaultFlags.
constexpr uint32_t FAULT_FAN0 = 1u << 0;
constexpr uint32_t FAULT_FAN1 = 1u << 1;
constexpr uint32_t FAULT_SUPPLY0 = 1u << 4;
constexpr uint32_t FAULT_SUPPLY1 = 1u << 5;
constexpr uint32_t FAULT_SENSOR0 = 1u << 6;
constexpr uint32_t FAULT_SENSOR1 = 1u << 7;
constexpr uint32_t FAULT_AIRFLOW_BAY = 1u << 8;
constexpr uint32_t FAULT_DRIVE = 1u << 10;
constexpr uint32_t FAULT_PARTNER_MISSING = 1u << 11;

void ResetEnvironmentMonitor();
// Writes the fan drives from their levels (full speed under a cooling
// fault unless the fans are kept quiet).
void ApplyFanDrive();
// The SES speed code (1-7) of a fan speed.
uint8_t bRpmToSpeedCode(uint32_t dRpm);
// A chassis sensor reading in degrees (sensor 0 or 1).
void bUpdateSensorTemperature(uint8_t bSensor, uint8_t bReading);
// Moves the fan drive levels towards the speed the temperature asks; the
// target speed.
uint16_t wFanControlStep();
uint32_t dGetFanRpm(uint8_t bFan);
uint32_t dGetEnclosureFaultFlags();
uint32_t dGetCoolingFaultFlags();
void SetEnclosureFaultBit(uint32_t dBit, uint8_t fSet);
// The three board temperature readings the monitor took.
const uint8_t* pGetTemperatureReadings();

// The chassis sensors on I2C unit 0: a read of both is started from the
// poll and stepped by the unit's interrupt.
void StartChassisSensorRead();
void ChassisSensorStep();
uint8_t fIsChassisSensorBusy();
// A sensor read or a microcontroller transaction holds unit 0.
uint8_t fIsChassisLinkBusy();

// What either side of the chassis (its CPLD or its microcontroller)
// reports: each supply's good and fault line (bit 0 supply 0), the bays
// holding a drive (bit 0 bay 1), a fan's speed.
void ApplySupplyLines(uint8_t bGood, uint8_t bFault);
void ApplyBayPresence(uint16_t wPresent);
// TRUE once the bays' presence was read since the monitor started.
uint8_t fIsBayPresenceKnown();
void ApplyFanReading(uint8_t bFan, uint32_t dRpm);
// A fan's drive level as the microcontroller reports it, and the value its
// drive register is to be written with.
void SetFanLevel(uint8_t bFan, uint8_t bLevel);
uint8_t bMicroFanDriveValue(uint8_t bFan);

// One indicator written to the board per call: TRUE when one was.
uint8_t bUpdateIndicators();
// The front panel test: every indicator lit, then put back.
void StartIndicatorTest();
void RestoreIndicatorsAfterTest();
// The controller indicator of the direct backplane, from supplies, fans,
// sensors and the partner.
void DeriveControllerIndicator();

// The alarm's sounder pattern on the direct backplane: TRUE when it wrote.
uint8_t fAlarmPatternStep();

}  // namespace fw
