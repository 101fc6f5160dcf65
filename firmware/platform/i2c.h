// The processor's three I2C units: bring-up, byte-wise transfers driven by
// the unit interrupts, and blocking transfers for start-up.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t I2C_UNIT_COUNT = 3;

// Register block of unit n at I2C_UNIT0_BASE + n * I2C_UNIT_STRIDE.
constexpr uint32_t I2C_UNIT0_BASE = 0xFFD82500;
constexpr uint32_t I2C_UNIT_STRIDE = 0x20;
constexpr uint32_t I2C_ICR = 0x00;   // control
constexpr uint32_t I2C_ISR = 0x04;   // status, write 1 to clear the event bits
constexpr uint32_t I2C_ISAR = 0x08;  // own slave address
constexpr uint32_t I2C_IDBR = 0x0C;  // data byte
constexpr uint32_t I2C_IBMR = 0x14;  // bus lines

constexpr uint32_t I2C_ICR_START = 1u << 0;
constexpr uint32_t I2C_ICR_STOP = 1u << 1;
constexpr uint32_t I2C_ICR_NAK = 1u << 2;   // answer a received byte with no acknowledge
constexpr uint32_t I2C_ICR_TB = 1u << 3;    // transfer one byte
constexpr uint32_t I2C_ICR_MA = 1u << 4;    // master abort
constexpr uint32_t I2C_ICR_SCLE = 1u << 5;
constexpr uint32_t I2C_ICR_IUE = 1u << 6;
constexpr uint32_t I2C_ICR_ITEIE = 1u << 8;
constexpr uint32_t I2C_ICR_IRFIE = 1u << 9;
constexpr uint32_t I2C_ICR_BEIE = 1u << 10;
constexpr uint32_t I2C_ICR_UR = 1u << 14;

constexpr uint32_t I2C_ISR_RWM = 1u << 0;
constexpr uint32_t I2C_ISR_ACKNAK = 1u << 1;  // the last byte was not acknowledged
constexpr uint32_t I2C_ISR_UB = 1u << 2;      // unit busy
constexpr uint32_t I2C_ISR_IBB = 1u << 3;     // bus busy
constexpr uint32_t I2C_ISR_ITE = 1u << 6;     // byte transmitted
constexpr uint32_t I2C_ISR_IRF = 1u << 7;     // byte received
constexpr uint32_t I2C_ISR_BED = 1u << 10;    // bus error
constexpr uint32_t I2C_ISR_EVENTS = I2C_ISR_ITE | I2C_ISR_IRF | I2C_ISR_BED | I2C_ISR_ACKNAK;

uint32_t dI2cRegisterAddress(uint8_t bUnit, uint32_t dOffset);

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
uint8_t fGetI2c2DevicePollRequest();
uint8_t fIsI2c2DevicePollBusy();
void I2c2DevicePoll();

}  // namespace fw
