// The processor's three I2C units: bring-up, byte-wise transfers driven by
// the unit interrupts, and blocking transfers for start-up.
#pragma once

#include <cstdint>

#include "hw/i2c_unit.h"

namespace fw {

// Bring-up: reset the unit, take the own address (fController1 picks the
// address of controller 1) and check the bus is free; 0xFF when usable.
uint8_t bInitI2cUnit0(uint8_t fController1);
uint8_t bInitI2cUnit1(uint8_t fController1);
uint8_t InitI2C2(uint8_t fController1);
// Back to the first device of the unit-2 device poll.
void ResetI2c2DevicePoll();
// Re-initialise a unit with its last settings; 255 on success.
uint8_t bReinitI2cUnit(uint8_t bUnit);

// One byte at a time; each completes with the unit's interrupt.
void I2cStartTransfer(uint8_t bUnit, uint8_t bDeviceAddress);
void I2cSendByte(uint8_t bUnit, uint8_t bByte, uint8_t fStop);
void I2cReadByte(uint8_t bUnit, uint8_t fLast);  // fLast: no acknowledge, then stop
uint8_t bI2cGetReceivedByte(uint8_t bUnit);
uint8_t fI2cBusError(uint8_t bUnit);

// Blocking transfers with interrupts off (start-up); 0xFF on success.
uint8_t bI2cWriteBytes(uint8_t bUnit, uint8_t bDeviceAddress, const uint8_t* pbData, uint32_t dLength);
uint8_t bI2cReadRegisters(uint8_t bUnit, uint8_t bDeviceAddress, uint8_t bRegister, uint8_t* pbData,
                          uint32_t dLength);
// Bytes read straight from a device that has no register pointer.
uint8_t bI2cReadBytes(uint8_t bUnit, uint8_t bDeviceAddress, uint8_t* pbData, uint32_t dLength);

// Services of the FIQ handler, one per unit interrupt.
void I2cUnit0InterruptService();
void I2cUnit1InterruptService();
void I2cUnit2InterruptService();

// The I2C unit 2 device poll back to idle (main loop start).
void ResetI2c2DevicePoll();

// The board's sensor work on the I2C buses: the routine the half-second tick
// runs every ten seconds, the poll it runs every half second, and the
// routine of the board countdown of the tick.
void I2cPeriodicRoutine();
void I2cPollService();
void BoardCountdownRoutine();

// Background pass services of the I2C units.
void I2cUnit0Service();
void I2cUnit1Service();
void I2cUnit2Service();
void I2cUnit0PollService();
void I2cUnit2PollService();
void I2cUnit1SensorPoll();
// The last reading of board temperature sensor 0..2 in degrees Celsius; 0
// for another index, or a sensor this board does not carry.
uint8_t bGetTemperature(uint8_t bSensor);
uint8_t fGetI2c2DevicePollRequest();
uint8_t fIsI2c2DevicePollBusy();
void I2c2DevicePoll();

}  // namespace fw
