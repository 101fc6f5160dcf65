#include "fc/ql_chip.h"

#include "executive/types.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "platform/pci.h"

namespace fw {

namespace {

// A completion that never comes ends the wait.  The bound is the time the
// board's spin of 0x40000000 iterations would take, waited out in steps so
// that the interrupt handler can complete the command meanwhile.
constexpr uint32_t MAILBOX_WAIT_STEP_US = 10;
constexpr uint32_t MAILBOX_WAIT_STEPS = 200000;   // two seconds
constexpr uint32_t POLL_ITERATIONS = 0x800000;
constexpr uint32_t POLL_READ_EVERY = 256;
constexpr uint32_t PAUSE_POLLS = 100000;
constexpr uint32_t RESET_POLLS = 10000;
constexpr uint32_t ISP2X_BANK_SHIFT = 4;
constexpr uint8_t RISC_REGISTER_BANK = 2;

QL_CHIP_STATE s_asChip[QL_CHIPS];
uint8_t s_fIsQL24xx = FALSE;

bool IsChipNumber(uint8_t bChip) { return bChip >= 1 && bChip <= QL_CHIPS; }

bool IsPresent(uint8_t bChip) { return IsChipNumber(bChip) && s_asChip[bChip - 1].fPresent == TRUE; }

bool Is24xx() { return s_fIsQL24xx == TRUE; }

// Chips 2 and 4 sit 0x1000 into their unit's window; units: 1 for the host
// chips, 2 for the drive-loop chips.
uint32_t dChipAddress(uint8_t bChip, uint32_t dRegister) {
    return ((bChip & 1) == 0 ? ISP_REGISTER_SPAN : 0) + dRegister;
}

uint8_t bUnit(uint8_t bChip) { return bChip <= 2 ? 1 : 2; }

uint32_t dMailboxRegister(uint8_t bMailbox) {
    return (Is24xx() ? ISP24_REG_MAILBOX0 : ISP2X_REG_MAILBOX0) + 2u * bMailbox;
}

uint32_t dControlRegister() { return Is24xx() ? ISP24_REG_CTRL_STATUS : ISP2X_REG_CTRL_STATUS; }

uint32_t dInterruptStatusRegister() { return Is24xx() ? ISP24_REG_INT_STATUS : ISP2X_REG_INT_STATUS; }

// The volatile read of the completion byte the interrupt handler writes.
uint8_t bCompletionByte(uint8_t bChip) {
    return *static_cast<volatile uint8_t*>(&s_asChip[bChip - 1].bMailboxComplete);
}

uint8_t bWriteMailboxes(uint8_t bChip, const QL_MAILBOX_COMMAND* psCommand) {
    for (uint8_t n = 0; n < ISP_MAILBOXES; ++n) {
        if ((psCommand->dWriteMask >> n) & 1u) {
            if (bQLWriteMailbox(bChip, n, psCommand->awMailbox[n]) != STATUS_OK) return 0;
        }
    }
    return STATUS_OK;
}

// The control/status register is 32 bits on the ISP24xx, 16 on the ISP2x00.
uint8_t bWriteControl(uint8_t bChip, uint32_t dValue) {
    return Is24xx() ? bQLWriteReg32(bChip, dControlRegister(), dValue)
                    : bQLWriteReg16(bChip, dControlRegister(), static_cast<uint16_t>(dValue));
}

}  // namespace

uint8_t fIsQL24xx() { return s_fIsQL24xx; }

void SetQL24xx(uint8_t f) { s_fIsQL24xx = f; }

QL_CHIP_STATE* psGetChipState(uint8_t bChip) { return IsChipNumber(bChip) ? &s_asChip[bChip - 1] : nullptr; }

QL_MAILBOX_COMMAND sQLCommand(uint16_t wOpcode) {
    QL_MAILBOX_COMMAND s{};
    s.awMailbox[0] = wOpcode;
    s.dWriteMask = 1;
    return s;
}

void SetQLMailbox(QL_MAILBOX_COMMAND* psCommand, uint8_t bMailbox, uint16_t wValue) {
    psCommand->awMailbox[bMailbox] = wValue;
    psCommand->dWriteMask |= 1u << bMailbox;
}

void SetQLMailboxAddress(QL_MAILBOX_COMMAND* psCommand, uint8_t bHigh, uint8_t bLow, BUS_ADDRESS dAddress) {
    const uint32_t d = static_cast<uint32_t>(dAddress);
    SetQLMailbox(psCommand, bHigh, static_cast<uint16_t>(d >> 16));
    SetQLMailbox(psCommand, bLow, static_cast<uint16_t>(d));
}

uint8_t bQLConfigRead32(uint8_t bChip, uint16_t wRegister, uint32_t* pdValue) {
    return fIsPCIeDevice(bChip) == TRUE ? bATUeConfigRead32(bChip, wRegister, pdValue)
                                        : bPciConfigRead32(bChip, wRegister, pdValue);
}

uint8_t bQLConfigWrite32(uint8_t bChip, uint16_t wRegister, uint32_t dValue) {
    return fIsPCIeDevice(bChip) == TRUE ? bATUeConfigWrite32(bChip, wRegister, dValue)
                                        : bPciConfigWrite32(bChip, wRegister, dValue);
}

uint8_t bQLConfigWrite16(uint8_t bChip, uint16_t wRegister, uint16_t wValue) {
    return fIsPCIeDevice(bChip) == TRUE ? bATUeConfigWrite16(bChip, wRegister, wValue)
                                        : bPciConfigWrite16(bChip, wRegister, wValue);
}

void ResetChipStates() {
    for (QL_CHIP_STATE& s : s_asChip) {
        s = QL_CHIP_STATE{};
        s.fPresent = FALSE;
        s.bMailboxComplete = QL_MAILBOX_WAITING;
        s.fRevisionOne = TRUE;
        s.fChipFault = FALSE;
    }
    s_fIsQL24xx = FALSE;
}

uint8_t fIsChipPresent(uint8_t bChip) { return ToFlag(IsPresent(bChip)); }

void SetChipPresent(uint8_t bChip, uint8_t f) {
    if (IsChipNumber(bChip)) s_asChip[bChip - 1].fPresent = f;
}

// --- raw register access -------------------------------------------------------

uint8_t bQLReadReg16(uint8_t bChip, uint32_t dRegister, uint16_t* pwValue) {
    if (!IsPresent(bChip)) return 0;
    const uint32_t dAddress = dChipAddress(bChip, dRegister);
    return fIsPCIeDevice(bChip) == TRUE ? IOR16(bUnit(bChip), dAddress, pwValue)
                                        : bATUMemRead16(bUnit(bChip), dAddress, pwValue);
}

uint8_t bQLWriteReg16(uint8_t bChip, uint32_t dRegister, uint16_t wValue) {
    if (!IsPresent(bChip)) return 0;
    const uint32_t dAddress = dChipAddress(bChip, dRegister);
    return fIsPCIeDevice(bChip) == TRUE ? IOW16(bUnit(bChip), dAddress, wValue)
                                        : bATUMemWrite16(bUnit(bChip), dAddress, wValue);
}

uint8_t bQLReadReg32(uint8_t bChip, uint32_t dRegister, uint32_t* pdValue) {
    if (!IsPresent(bChip)) return 0;
    const uint32_t dAddress = dChipAddress(bChip, dRegister);
    return fIsPCIeDevice(bChip) == TRUE ? IOR32(bUnit(bChip), dAddress, pdValue)
                                        : bATUMemRead32(bUnit(bChip), dAddress, pdValue);
}

uint8_t bQLWriteReg32(uint8_t bChip, uint32_t dRegister, uint32_t dValue) {
    if (!IsPresent(bChip)) return 0;
    const uint32_t dAddress = dChipAddress(bChip, dRegister);
    return fIsPCIeDevice(bChip) == TRUE ? IOW32(bUnit(bChip), dAddress, dValue)
                                        : bATUMemWrite32(bUnit(bChip), dAddress, dValue);
}

// --- mailboxes -----------------------------------------------------------------------

uint8_t bQLWriteMailbox(uint8_t bChip, uint8_t bMailbox, uint16_t wValue) {
    if (bMailbox >= ISP_MAILBOXES) return 0;
    return bQLWriteReg16(bChip, dMailboxRegister(bMailbox), wValue);
}

uint8_t bQLReadMailboxReg(uint8_t bChip, uint8_t bMailbox, uint16_t* pwValue) {
    if (bMailbox >= ISP_MAILBOXES) return 0;
    return bQLReadReg16(bChip, dMailboxRegister(bMailbox), pwValue);
}

uint16_t wQLGetSavedMailbox(uint8_t bChip, uint8_t bMailbox) {
    if (!IsChipNumber(bChip) || bMailbox >= QL_SAVED_MAILBOXES) return 0xFFFF;
    return s_asChip[bChip - 1].awSavedMailbox[bMailbox];
}

void SaveMailboxes(uint8_t bChip, const uint16_t* pwMailboxes) {
    if (!IsChipNumber(bChip)) return;
    for (uint8_t n = 0; n < QL_SAVED_MAILBOXES; ++n) s_asChip[bChip - 1].awSavedMailbox[n] = pwMailboxes[n];
}

void SetMailboxComplete(uint8_t bChip) {
    if (IsChipNumber(bChip)) *static_cast<volatile uint8_t*>(&s_asChip[bChip - 1].bMailboxComplete) = QL_MAILBOX_DONE;
}

void ClearMailboxComplete(uint8_t bChip) {
    if (IsChipNumber(bChip)) *static_cast<volatile uint8_t*>(&s_asChip[bChip - 1].bMailboxComplete) = QL_MAILBOX_WAITING;
}

// --- host command register -------------------------------------------------------

uint8_t bQLHostCommand(uint8_t bChip, uint16_t wCode) {
    if (!IsPresent(bChip)) return 0;
    if (!Is24xx()) return bQLWriteReg16(bChip, ISP2X_REG_HCCR, wCode);
    uint32_t dCommand;
    switch (wCode) {
    case ISP_HC_SET_HOST_INT: dCommand = ISP24_HCCR_SET_HOST_INT; break;
    case ISP_HC_PAUSE_RISC: dCommand = ISP24_HCCR_PAUSE_RISC; break;
    case ISP_HC_RELEASE_RISC: dCommand = ISP24_HCCR_RELEASE_RISC; break;
    case ISP_HC_CLEAR_HOST_INT: dCommand = ISP24_HCCR_CLEAR_HOST_INT; break;
    case ISP_HC_CLEAR_RISC_INT: dCommand = ISP24_HCCR_CLEAR_RISC_INT; break;
    default: return 0;   // 0xA007 and anything else has no ISP24xx form
    }
    return bQLWriteReg32(bChip, ISP24_REG_HCCR, dCommand);
}

uint8_t bQLClearRiscInterrupt(uint8_t bChip) { return bQLHostCommand(bChip, ISP_HC_CLEAR_RISC_INT); }

uint8_t bQLReadHccr(uint8_t bChip, uint32_t* pdValue) {
    if (Is24xx()) return bQLReadReg32(bChip, ISP24_REG_HCCR, pdValue);
    uint16_t w = 0;
    const uint8_t bStatus = bQLReadReg16(bChip, ISP2X_REG_HCCR, &w);
    *pdValue = w;
    return bStatus;
}

uint8_t bQLWriteHccr32(uint8_t bChip, uint32_t dValue) {
    return Is24xx() ? bQLWriteReg32(bChip, ISP24_REG_HCCR, dValue) : 0;
}

// An ISP24xx still busy with the last host interrupt is read twice at most.
uint8_t bQLMailboxReady(uint8_t bChip) {
    if (!IsPresent(bChip)) return 0;
    if (!Is24xx()) return STATUS_OK;
    for (int i = 0; i < 2; ++i) {
        uint32_t dHccr = 0;
        if (bQLReadReg32(bChip, ISP24_REG_HCCR, &dHccr) != STATUS_OK) return 0;
        if ((dHccr & ISP24_HCCR_HOST_INT_PENDING) == 0) return STATUS_OK;
    }
    return 0;
}

uint8_t bQLReleaseSemaphore(uint8_t bChip) {
    if (!IsPresent(bChip)) return 0;
    return Is24xx() ? STATUS_OK : bQLWriteReg16(bChip, ISP2X_REG_SEMAPHORE, 0);
}

uint8_t bQLReadSemaphore(uint8_t bChip, uint16_t* pwValue) {
    if (!IsPresent(bChip)) return 0;
    return Is24xx() ? STATUS_OK : bQLReadReg16(bChip, ISP2X_REG_SEMAPHORE, pwValue);
}

uint8_t bWaitMailboxComplete(uint8_t bChip) {
    if (!IsChipNumber(bChip)) return 0;
    for (uint32_t d = MAILBOX_WAIT_STEPS; d != 0; --d) {
        if (bCompletionByte(bChip) == QL_MAILBOX_DONE) {
            ClearMailboxComplete(bChip);
            return STATUS_OK;
        }
        HwDelayUs(MAILBOX_WAIT_STEP_US);
    }
    (void)bQLReleaseSemaphore(bChip);
    return 0;
}

// Reads the interrupt status once every 256 iterations, the first included.
// The iterations between two reads do nothing and take no time on the board,
// so the loop steps from read to read.
uint8_t bQLPollRiscInterrupt(uint8_t bChip) {
    if (!IsPresent(bChip)) return 0;
    uint16_t wStatus = 0;
    for (uint32_t i = 0; i < POLL_ITERATIONS; i += POLL_READ_EVERY) {
        if (bQLReadReg16(bChip, dInterruptStatusRegister(), &wStatus) != STATUS_OK) return 0;
        if (wStatus & ISP_INT_STATUS_RISC) return STATUS_OK;
    }
    return 0;
}

uint8_t bQLIsRiscPaused(uint8_t bChip) {
    if (!IsPresent(bChip)) return 0;
    if (Is24xx()) {
        uint32_t d = 0;
        return bQLReadReg32(bChip, ISP24_REG_HOST_STATUS, &d) == STATUS_OK && (d & ISP24_HOST_STATUS_PAUSED)
                   ? STATUS_OK : 0;
    }
    uint16_t w = 0;
    return bQLReadReg16(bChip, ISP2X_REG_HCCR, &w) == STATUS_OK && (w & ISP2X_HCCR_PAUSED) ? STATUS_OK : 0;
}

uint8_t bQLSelectRegisterBank(uint8_t bChip, uint8_t bBank) {
    if (bBank > 3) return 0;
    return bWriteControl(bChip, static_cast<uint32_t>(bBank) << ISP2X_BANK_SHIFT);
}

// Registers behind the RISC (ISP2x00 bank 2) are reached with the RISC
// paused; once bank 0 was selected the RISC is always released again.
namespace {
uint8_t bRiscRegisterAccess(uint8_t bChip, uint32_t dRegister, uint16_t* pwValue, bool fWrite) {
    if (bQLSelectRegisterBank(bChip, 0) != STATUS_OK) return 0;
    uint8_t bResult = 0;
    if (bQLHostCommand(bChip, ISP_HC_PAUSE_RISC) == STATUS_OK) {
        bool fPaused = false;
        for (uint32_t i = 0; i < PAUSE_POLLS && !fPaused; ++i) fPaused = bQLIsRiscPaused(bChip) == STATUS_OK;
        if (fPaused && bQLSelectRegisterBank(bChip, RISC_REGISTER_BANK) == STATUS_OK) {
            const uint8_t bAccess = fWrite ? bQLWriteReg16(bChip, dRegister, *pwValue)
                                           : bQLReadReg16(bChip, dRegister, pwValue);
            if (bAccess == STATUS_OK && bQLSelectRegisterBank(bChip, 0) == STATUS_OK) bResult = STATUS_OK;
        }
    }
    if (bQLHostCommand(bChip, ISP_HC_RELEASE_RISC) != STATUS_OK) bResult = 0;
    return bResult;
}
}  // namespace

uint8_t bQLReadRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t* pwValue) {
    return bRiscRegisterAccess(bChip, dRegister, pwValue, false);
}

uint8_t bQLWriteRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t wValue) {
    return bRiscRegisterAccess(bChip, dRegister, &wValue, true);
}

// The light read pauses without waiting for the pause; the light write
// does not pause at all.
uint8_t bQLPeekRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t* pwValue) {
    if (bQLSelectRegisterBank(bChip, 0) != STATUS_OK) return 0;
    const uint8_t bPause = bQLHostCommand(bChip, ISP_HC_PAUSE_RISC);
    const uint8_t bRead = bPause == STATUS_OK ? bQLReadReg16(bChip, dRegister, pwValue) : 0;
    const uint8_t bRelease = bQLHostCommand(bChip, ISP_HC_RELEASE_RISC);
    return bRead == STATUS_OK && bRelease == STATUS_OK ? STATUS_OK : 0;
}

uint8_t bQLPokeRiscReg16(uint8_t bChip, uint32_t dRegister, uint16_t wValue) {
    if (bQLSelectRegisterBank(bChip, 0) != STATUS_OK) return 0;
    return bQLWriteReg16(bChip, dRegister, wValue);
}

uint8_t bQLResetRisc(uint8_t bChip) {
    if (!IsPresent(bChip)) return 0;
    if (!Is24xx()) return bQLWriteReg16(bChip, ISP2X_REG_CTRL_STATUS, 1);
    if (bQLWriteReg32(bChip, ISP24_REG_CTRL_STATUS, ISP24_CTRL_DMA_SHUTDOWN) != STATUS_OK) return 0;
    for (uint32_t i = 0; i < RESET_POLLS; ++i) {
        uint32_t d = 0;
        if (bQLReadReg32(bChip, ISP24_REG_CTRL_STATUS, &d) != STATUS_OK) return 0;
        if ((d & ISP24_CTRL_DMA_ACTIVE) == 0) break;
    }
    return bQLWriteReg32(bChip, ISP24_REG_CTRL_STATUS, ISP24_CTRL_DMA_SHUTDOWN | ISP24_CTRL_SOFT_RESET);
}

uint8_t bQLWaitResetDone(uint8_t bChip) {
    for (uint32_t i = 0; i < RESET_POLLS; ++i) {
        uint32_t d = 0;
        if (bQLReadReg32(bChip, ISP24_REG_CTRL_STATUS, &d) != STATUS_OK) return 0;
        if ((d & ISP24_CTRL_SOFT_RESET) == 0) return STATUS_OK;
    }
    return 0;
}

uint8_t bQLReadAllMailboxRegs(uint8_t bChip) {
    uint8_t bResult = STATUS_OK;
    for (uint8_t n = 0; n < QL_SAVED_MAILBOXES; ++n) {
        uint16_t w = 0;
        if (bQLReadMailboxReg(bChip, n, &w) != STATUS_OK) bResult = 0;
    }
    return bResult;
}

// --- whole commands ----------------------------------------------------------------

uint8_t bQLMailboxCommand(uint8_t bChip, QL_MAILBOX_COMMAND* psCommand) {
    if (!IsPresent(bChip) || bQLMailboxReady(bChip) != STATUS_OK) return 0;
    if (bWriteMailboxes(bChip, psCommand) != STATUS_OK) return 0;
    ClearMailboxComplete(bChip);
    if (bQLHostCommand(bChip, ISP_HC_SET_HOST_INT) != STATUS_OK) return 0;
    if (bWaitMailboxComplete(bChip) != STATUS_OK) return 0;
    for (uint8_t n = 0; n < QL_SAVED_MAILBOXES; ++n) psCommand->awMailbox[n] = wQLGetSavedMailbox(bChip, n);
    return psCommand->awMailbox[0] == MBS_COMPLETE ? STATUS_OK : 0;
}

uint8_t bQLPolledMailboxCommand(uint8_t bChip, QL_MAILBOX_COMMAND* psCommand) {
    if (!IsPresent(bChip) || bQLMailboxReady(bChip) != STATUS_OK) return 0;
    if (bWriteMailboxes(bChip, psCommand) != STATUS_OK) return 0;
    bool fOk = bQLHostCommand(bChip, ISP_HC_SET_HOST_INT) == STATUS_OK && bQLPollRiscInterrupt(bChip) == STATUS_OK &&
               bQLClearRiscInterrupt(bChip) == STATUS_OK;
    const uint32_t dRead = psCommand->dReadMask | 1u;
    for (uint8_t n = 0; fOk && n < ISP_MAILBOXES; ++n) {
        if ((dRead >> n) & 1u) fOk = bQLReadMailboxReg(bChip, n, &psCommand->awMailbox[n]) == STATUS_OK;
    }
    if (bQLReleaseSemaphore(bChip) != STATUS_OK) fOk = false;
    return fOk && psCommand->awMailbox[0] == MBS_COMPLETE ? STATUS_OK : 0;
}

}  // namespace fw
