// The processor's three I2C bus units: register blocks of 0x20 bytes.
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

constexpr uint32_t dI2cUnitRegister(uint8_t bUnit, uint32_t dOffset) {
    return I2C_UNIT0_BASE + bUnit * I2C_UNIT_STRIDE + dOffset;
}

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

}  // namespace fw
