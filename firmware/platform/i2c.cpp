// I2C unit driver.  Interrupt-driven transfers move one byte per call and
// finish with the unit interrupt; blocking transfers poll the status with
// interrupts off, each byte bounded so that a dead bus cannot hang start-up.
#include "platform/i2c.h"

#include "executive/rtc.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/interrupt_controller.h"

namespace fw {

namespace {

constexpr uint32_t OWN_ADDRESS_CONTROLLER1 = 0x40;
constexpr uint32_t OWN_ADDRESS_CONTROLLER2 = 0x42;
constexpr uint32_t POLL_STEP_US = 10;
// A byte and its acknowledge are nine clocks of 10 us on the standard-speed
// bus the units run: no byte is done sooner, so a blocking transfer waits
// that long before it looks.
constexpr uint32_t BYTE_TIME_US = 90;
constexpr uint32_t BUS_FREE_TIMEOUT_US = 1000;
constexpr uint32_t BYTE_TIMEOUT_US = 10000;
constexpr uint32_t ICR_ENABLED = I2C_ICR_IUE | I2C_ICR_SCLE;
constexpr uint32_t ICR_INTERRUPTS = I2C_ICR_ITEIE | I2C_ICR_IRFIE | I2C_ICR_BEIE;

uint8_t s_afController1[I2C_UNIT_COUNT] = {FALSE, FALSE, FALSE};
uint8_t s_abReceivedByte[I2C_UNIT_COUNT];
uint32_t s_adLastStatus[I2C_UNIT_COUNT];

uint32_t dRead(uint8_t bUnit, uint32_t dOffset) { return Reg32Read(dI2cUnitRegister(bUnit, dOffset)); }
void Write(uint8_t bUnit, uint32_t dOffset, uint32_t dValue) {
    Reg32Write(dI2cUnitRegister(bUnit, dOffset), dValue);
}

uint8_t bInitUnit(uint8_t bUnit, uint8_t fController1) {
    s_afController1[bUnit] = fController1;
    Write(bUnit, I2C_ICR, I2C_ICR_UR);
    HwDelayUs(POLL_STEP_US);
    Write(bUnit, I2C_ICR, 0);
    Write(bUnit, I2C_ISR, I2C_ISR_EVENTS);
    Write(bUnit, I2C_ISAR, fController1 == TRUE ? OWN_ADDRESS_CONTROLLER1 : OWN_ADDRESS_CONTROLLER2);
    Write(bUnit, I2C_ICR, ICR_ENABLED);
    for (uint32_t dWaited = 0; dWaited <= BUS_FREE_TIMEOUT_US; dWaited += POLL_STEP_US) {
        if ((dRead(bUnit, I2C_ISR) & (I2C_ISR_UB | I2C_ISR_IBB)) == 0) return STATUS_OK;
        HwDelayUs(POLL_STEP_US);
    }
    return 0;
}

// Blocking byte: start it and wait for its completion bit; false on a
// missing acknowledge, a bus error or no completion at all.
bool TransferBlocking(uint8_t bUnit, uint32_t dControl, uint32_t dDoneBit) {
    Write(bUnit, I2C_ICR, ICR_ENABLED | dControl | I2C_ICR_TB);
    HwDelayUs(BYTE_TIME_US);
    for (uint32_t dWaited = BYTE_TIME_US; dWaited <= BYTE_TIMEOUT_US; dWaited += POLL_STEP_US) {
        const uint32_t dStatus = dRead(bUnit, I2C_ISR);
        if (dStatus & (dDoneBit | I2C_ISR_BED)) {
            Write(bUnit, I2C_ISR, dStatus & I2C_ISR_EVENTS);
            return (dStatus & (I2C_ISR_BED | I2C_ISR_ACKNAK)) == 0;
        }
        HwDelayUs(POLL_STEP_US);
    }
    return false;
}

bool SendBlocking(uint8_t bUnit, uint8_t bByte, uint32_t dControl) {
    Write(bUnit, I2C_IDBR, bByte);
    return TransferBlocking(bUnit, dControl, I2C_ISR_ITE);
}

// Leave the bus free after a failed blocking transfer.
uint8_t bAbortBlocking(uint8_t bUnit) {
    Write(bUnit, I2C_ICR, ICR_ENABLED | I2C_ICR_MA);
    Write(bUnit, I2C_ICR, ICR_ENABLED);
    return 0;
}

// Each unit's interrupt in the interrupt controller: INTCTL0 bits 10 and 11,
// INTCTL3 bit 0.  A transfer makes sure its unit's interrupt is on, whatever
// was written to the controller since bring-up.
void EnableUnitInterrupt(uint8_t bUnit) {
    constexpr INT_LINE asLine[I2C_UNIT_COUNT] = {INT_LINE_I2C0, INT_LINE_I2C1, INT_LINE_I2C2};
    const uint32_t dCrn = asLine[bUnit].bBank;
    const uint32_t dBit = dLineMask(asLine[bUnit]);
    if (Cp6Read(dCrn, INTC_INTCTL) & dBit) return;
    // The FIQ changes these registers too: no FIQ between read and write.
    const uint32_t dMask = CpuGetInterruptMask();
    CpuMaskInterrupts();
    Cp6Write(dCrn, INTC_INTCTL, Cp6Read(dCrn, INTC_INTCTL) | dBit);
    if (dMask == 0) CpuUnmaskInterrupts();
}

void TransferWithInterrupt(uint8_t bUnit, uint32_t dControl) {
    Write(bUnit, I2C_ICR, ICR_ENABLED | ICR_INTERRUPTS | dControl | I2C_ICR_TB);
}

void ServiceUnit(uint8_t bUnit) {
    const uint32_t dStatus = dRead(bUnit, I2C_ISR);
    if (dStatus & I2C_ISR_IRF) s_abReceivedByte[bUnit] = static_cast<uint8_t>(dRead(bUnit, I2C_IDBR));
    s_adLastStatus[bUnit] = dStatus;
    Write(bUnit, I2C_ISR, dStatus & I2C_ISR_EVENTS);
    // Between bytes the unit stays quiet until the next byte is started.
    Write(bUnit, I2C_ICR, ICR_ENABLED);
}

}  // namespace

uint8_t bInitI2cUnit0(uint8_t fController1) { return bInitUnit(0, fController1); }
uint8_t bInitI2cUnit1(uint8_t fController1) { return bInitUnit(1, fController1); }
uint8_t InitI2C2(uint8_t fController1) { return bInitUnit(2, fController1); }

uint8_t bReinitI2cUnit(uint8_t bUnit) {
    if (bUnit >= I2C_UNIT_COUNT) return 0;
    return bInitUnit(bUnit, s_afController1[bUnit]);
}

void I2cStartTransfer(uint8_t bUnit, uint8_t bDeviceAddress) {
    EnableUnitInterrupt(bUnit);
    s_adLastStatus[bUnit] = 0;
    Write(bUnit, I2C_IDBR, bDeviceAddress);
    TransferWithInterrupt(bUnit, I2C_ICR_START);
}

void I2cSendByte(uint8_t bUnit, uint8_t bByte, uint8_t fStop) {
    Write(bUnit, I2C_IDBR, bByte);
    TransferWithInterrupt(bUnit, fStop == TRUE ? I2C_ICR_STOP : 0);
}

void I2cReadByte(uint8_t bUnit, uint8_t fLast) {
    TransferWithInterrupt(bUnit, fLast == TRUE ? (I2C_ICR_NAK | I2C_ICR_STOP) : 0);
}

uint8_t bI2cGetReceivedByte(uint8_t bUnit) { return s_abReceivedByte[bUnit]; }

uint8_t fI2cBusError(uint8_t bUnit) {
    return ToFlag((s_adLastStatus[bUnit] & (I2C_ISR_BED | I2C_ISR_ACKNAK)) != 0);
}

uint8_t bI2cWriteBytes(uint8_t bUnit, uint8_t bDeviceAddress, const uint8_t* pbData, uint32_t dLength) {
    if (!SendBlocking(bUnit, bDeviceAddress & 0xFE, I2C_ICR_START)) return bAbortBlocking(bUnit);
    for (uint32_t i = 0; i < dLength; ++i) {
        if (!SendBlocking(bUnit, pbData[i], i + 1 == dLength ? I2C_ICR_STOP : 0)) return bAbortBlocking(bUnit);
    }
    return STATUS_OK;
}

uint8_t bI2cReadRegisters(uint8_t bUnit, uint8_t bDeviceAddress, uint8_t bRegister, uint8_t* pbData,
                          uint32_t dLength) {
    if (dLength == 0) return 0;
    if (!SendBlocking(bUnit, bDeviceAddress & 0xFE, I2C_ICR_START) || !SendBlocking(bUnit, bRegister, 0)) {
        return bAbortBlocking(bUnit);
    }
    return bI2cReadBytes(bUnit, bDeviceAddress, pbData, dLength);
}

uint8_t bI2cReadBytes(uint8_t bUnit, uint8_t bDeviceAddress, uint8_t* pbData, uint32_t dLength) {
    if (dLength == 0) return 0;
    if (!SendBlocking(bUnit, bDeviceAddress | 1, I2C_ICR_START)) return bAbortBlocking(bUnit);
    for (uint32_t i = 0; i < dLength; ++i) {
        const bool fLast = i + 1 == dLength;
        if (!TransferBlocking(bUnit, fLast ? (I2C_ICR_NAK | I2C_ICR_STOP) : 0, I2C_ISR_IRF)) return bAbortBlocking(bUnit);
        pbData[i] = static_cast<uint8_t>(dRead(bUnit, I2C_IDBR));
    }
    return STATUS_OK;
}

void I2cUnit0InterruptService() {
    ServiceUnit(0);
    if (wGetClockOperation() != RTC_OPERATION_IDLE && bGetClockI2cUnit() == 0) ClockReadStep();
}

void I2cUnit1InterruptService() {
    ServiceUnit(1);
    if (wGetClockOperation() != RTC_OPERATION_IDLE && bGetClockI2cUnit() == 1) ClockTransferComplete();
}

void I2cUnit2InterruptService() { ServiceUnit(2); }

}  // namespace fw
