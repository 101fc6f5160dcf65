// The Fibre Channel chips' state and the one way every operation reaches a
// chip: register access through the board's PCI services, the host command
// register, and the mailbox protocol (interrupt-driven once the chip runs,
// polled while its firmware is loaded).
//
// Chips are 1 to 4: 1 and 2 the host ports, 3 and 4 the drive loops.  Every
// operation fails with 0 on a chip number outside 1-4 or an absent chip.
#pragma once

#include <cstdint>

#include "hw/addresses.h"

namespace fw {

constexpr uint8_t QL_CHIPS = 4;
constexpr uint8_t QL_MAILBOX_DONE = '3';
constexpr uint8_t QL_MAILBOX_WAITING = '4';
constexpr uint8_t QL_SAVED_MAILBOXES = 8;

// Per chip: what the probe found and what the mailbox protocol keeps.
struct QL_CHIP_STATE {
    uint8_t fPresent;
    uint8_t bMailboxComplete;       // '3' complete, '4' outstanding or nothing yet
    uint16_t awSavedMailbox[QL_SAVED_MAILBOXES];
    uint32_t dPciId;
    uint8_t fRevisionOne;           // PCI revision id 1
    uint8_t fChipFault;
    uint32_t dIoBase;
    uint16_t wFirmwareMajor;
    uint16_t wFirmwareMinor;
    uint16_t wFirmwareSubminor;
    uint16_t wFirmwareAttributes;
    uint32_t dFirmwareMemorySize;
};

// The generation of every fitted chip: TRUE for ISP24xx.
uint8_t fIsQL24xx();
void SetQL24xx(uint8_t f);
QL_CHIP_STATE* psGetChipState(uint8_t bChip);   // null outside 1-4

uint8_t fIsChipPresent(uint8_t bChip);
void SetChipPresent(uint8_t bChip, uint8_t f);

uint8_t bQLReadReg16(uint8_t bChip, uint32_t dRegister, uint16_t* pwValue);
uint8_t bQLWriteReg16(uint8_t bChip, uint32_t dRegister, uint16_t wValue);
uint8_t bQLReadReg32(uint8_t bChip, uint32_t dRegister, uint32_t* pdValue);
uint8_t bQLWriteReg32(uint8_t bChip, uint32_t dRegister, uint32_t dValue);

uint8_t bQLWriteMailbox(uint8_t bChip, uint8_t bMailbox, uint16_t wValue);
uint8_t bQLReadMailboxReg(uint8_t bChip, uint8_t bMailbox, uint16_t* pwValue);
uint16_t wQLGetSavedMailbox(uint8_t bChip, uint8_t bMailbox);   // 0xFFFF outside 1-4
void SaveMailboxes(uint8_t bChip, const uint16_t* pwMailboxes);
void SetMailboxComplete(uint8_t bChip);
void ClearMailboxComplete(uint8_t bChip);

uint8_t bQLHostCommand(uint8_t bChip, uint16_t wCode);
uint8_t bQLClearRiscInterrupt(uint8_t bChip);
uint8_t bQLMailboxReady(uint8_t bChip);
uint8_t bQLReleaseSemaphore(uint8_t bChip);
uint8_t bQLReadSemaphore(uint8_t bChip, uint16_t* pwValue);
uint8_t bWaitMailboxComplete(uint8_t bChip);
uint8_t bQLPollRiscInterrupt(uint8_t bChip);
uint8_t bQLIsRiscPaused(uint8_t bChip);
uint8_t bQLSelectRegisterBank(uint8_t bChip, uint8_t bBank);
uint8_t bQLReadRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t* pwValue);
uint8_t bQLWriteRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t wValue);
uint8_t bQLPeekRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t* pwValue);
uint8_t bQLPokeRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t wValue);
uint8_t bQLResetRisc(uint8_t bChip);
uint8_t bQLWaitResetDone(uint8_t bChip);
uint8_t bQLReadAllMailboxRegs(uint8_t bChip);
uint8_t bQLReadHccr(uint8_t bChip, uint32_t* pdValue);
uint8_t bQLWriteHccr32(uint8_t bChip, uint32_t dValue);

// One mailbox command: the mailboxes to write (mailbox n when bit n of the
// mask is set; mailbox 0 holds the opcode) and, for a polled command, the
// mailboxes to read back into the same array.  Both forms answer 0xFF only
// when every step succeeded and mailbox 0 came back 0x4000; the answer's
// mailbox 0 is left in awMailbox[0] either way.
struct QL_MAILBOX_COMMAND {
    uint16_t awMailbox[32];
    uint32_t dWriteMask;
    uint32_t dReadMask;   // polled commands only
};
uint8_t bQLMailboxCommand(uint8_t bChip, QL_MAILBOX_COMMAND* psCommand);
uint8_t bQLPolledMailboxCommand(uint8_t bChip, QL_MAILBOX_COMMAND* psCommand);
// Building one: the opcode, then each mailbox to write; a bus address for
// the chip's DMA goes upper half first, in two mailboxes.
QL_MAILBOX_COMMAND sQLCommand(uint16_t wOpcode);
void SetQLMailbox(QL_MAILBOX_COMMAND* psCommand, uint8_t bMailbox, uint16_t wValue);
void SetQLMailboxAddress(QL_MAILBOX_COMMAND* psCommand, uint8_t bHigh, uint8_t bLow, BUS_ADDRESS dAddress);

// The chip's PCI configuration space, over the PCI Express link when the
// chip sits there.
uint8_t bQLConfigRead32(uint8_t bChip, uint16_t wRegister, uint32_t* pdValue);
uint8_t bQLConfigWrite32(uint8_t bChip, uint16_t wRegister, uint32_t dValue);
uint8_t bQLConfigWrite16(uint8_t bChip, uint16_t wRegister, uint16_t wValue);

// Start-of-day: every chip absent, the protocol bytes reset.
void ResetChipStates();

}  // namespace fw
