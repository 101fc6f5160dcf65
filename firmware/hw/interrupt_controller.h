// The processor's interrupt controller (coprocessor 6): four banks of 32
// source lines.  The registers of bank n are CRn n; CRm names the register.
//
// Which device drives which line is here too, so that the firmware's
// interrupt code and the board's wiring name the same lines.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t INTC_BANKS = 4;

// Registers of a bank (CRm; the bank is CRn).
constexpr uint32_t INTC_INTPND = 3;    // raw pending lines
constexpr uint32_t INTC_INTCTL = 4;    // enables
constexpr uint32_t INTC_INTSTR = 5;    // steering: 1 FIQ, 0 IRQ
constexpr uint32_t INTC_IINTSRC = 6;   // pending, enabled and steered to IRQ
constexpr uint32_t INTC_FINTSRC = 7;   // pending, enabled and steered to FIQ
constexpr uint32_t INTC_IPR = 8;       // priorities, CRn 0-7

// Single registers, as (CRn, CRm).
struct CP6_REGISTER {
    uint8_t bCrn;
    uint8_t bCrm;
};
constexpr CP6_REGISTER INTC_INTBASE = {2, 0};
constexpr CP6_REGISTER INTC_INTSIZE = {2, 2};
constexpr CP6_REGISTER INTC_IINTVEC = {3, 0};
constexpr CP6_REGISTER INTC_FINTVEC = {4, 0};
constexpr CP6_REGISTER INTC_IPIPNDR = {1, 2};
// Interrupt enables of the embedded-module mailbox and the messaging unit.
constexpr CP6_REGISTER INTC_UNIT_ENABLES = {0, 0};
constexpr uint32_t INTC_UNIT_MODULE_MASK = 0x0030000F;     // bits 0-3, 20, 21
constexpr uint32_t INTC_UNIT_MODULE_UNMASK = 0x0030000A;   // bits 1, 3, 20, 21
constexpr uint32_t INTC_UNIT_MESSAGING_UNIT = 1u << 13;

// Message-signalled interrupt status: CRn 8-11, CRm 1.  A PCI Express
// device's message sets the bit of its message data; the status drives
// INT_LINE_MSI.
constexpr uint32_t INTC_MSI_STATUS_FIRST_CRN = 8;
constexpr uint32_t INTC_MSI_STATUS_CRM = 1;
constexpr uint32_t INTC_MSI_STATUS_COUNT = 4;
constexpr uint32_t INTC_MSI_DRIVE_IOC = 1u << 3;   // the drive-side SAS controller's message data

// A source line: its bank and its bit in the bank's registers.
struct INT_LINE {
    uint8_t bBank;
    uint8_t bBit;
};
constexpr uint32_t dLineMask(INT_LINE sLine) { return 1u << sLine.bBit; }

constexpr INT_LINE INT_LINE_DMA = {0, 4};                // DMA channel done
constexpr INT_LINE INT_LINE_AAU = {0, 5};                // application accelerator (XOR engine) done
constexpr INT_LINE INT_LINE_TIMER0 = {0, 8};
constexpr INT_LINE INT_LINE_TIMER1 = {0, 9};
constexpr INT_LINE INT_LINE_I2C0 = {0, 10};
constexpr INT_LINE INT_LINE_I2C1 = {0, 11};
constexpr INT_LINE INT_LINE_MESSAGING_UNIT = {0, 13};
constexpr INT_LINE INT_LINE_HOST_CHIP1 = {0, 24};
constexpr INT_LINE INT_LINE_HOST_CHIP2 = {0, 25};
constexpr INT_LINE INT_LINE_EMBEDDED_MODULE = {0, 26};
constexpr INT_LINE INT_LINE_PARTNER_LINK = {0, 27};      // the partner's heartbeat through the FPGA
constexpr INT_LINE INT_LINE_UART = {1, 19};
constexpr INT_LINE INT_LINE_INTERNAL_BUS = {1, 21};     // internal bus error
constexpr INT_LINE INT_LINE_ATU = {1, 23};               // ATU error
constexpr INT_LINE INT_LINE_MEMORY = {1, 24};            // memory controller error
constexpr INT_LINE INT_LINE_DMA_AAU_2 = {1, 27};         // the second XOR and DMA completion line
constexpr INT_LINE INT_LINE_I2C2 = {3, 0};
constexpr INT_LINE INT_LINE_MSI = {3, 17};               // message-signalled interrupts
// The Fibre Channel drive-loop chips 3 and 4, on boards that fit them.
constexpr INT_LINE INT_LINE_DRIVE_CHIP3 = {3, 18};
constexpr INT_LINE INT_LINE_DRIVE_CHIP4 = {3, 19};
constexpr INT_LINE INT_LINE_WATCHDOG = {3, 31};          // the FPGA watchdog's warning

}  // namespace fw
