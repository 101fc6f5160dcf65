// The receiver's side of XMODEM (128- and 1024-byte blocks, CRC-16 or the
// arithmetic checksum) for firmware files typed down the console line.  The
// UART's receive path only queues bytes; this state machine runs from the
// background pass, one step per pass, and never waits, so the controller
// keeps serving hosts while a file arrives.
#include "console/xmodem_receive.h"

#include <cstring>

#include "config/config_state.h"
#include "config/nvram_records.h"
#include "console/console_menu.h"
#include "enclosure/drive_firmware.h"
#include "enclosure/io_module_firmware.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/crc16.h"
#include "executive/interrupt_controller.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "platform/flash_update.h"

namespace fw {

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t ESC = 0x1B;
constexpr uint8_t CRC_REQUEST = 'C';
constexpr uint8_t FILLER = 0x1A;
constexpr uint8_t CRC_FLUSH[2] = {0, 0};

constexpr uint16_t RING_SIZE = 2048;
constexpr uint16_t LONG_BLOCK = 1024;
constexpr uint16_t SHORT_BLOCK = 128;
constexpr uint32_t STEPS_PER_PASS = LONG_BLOCK + 5;

// Limits, in coarse ticks (half seconds) and counts: the request goes out
// 30 times, each after more than 3 ticks of silence, so a line nobody sends
// on is given up about a minute after the receive started.
constexpr uint32_t START_RETRY_LIMIT = 29;
// A sender that speaks only the checksum form ignores "C": after this many
// unanswered, the receive asks with NAK, as standard receivers do.
constexpr uint32_t CRC_REQUESTS = 3;
constexpr uint32_t ERROR_LIMIT = 99;
constexpr uint32_t REQUEST_SILENCE_TICKS = 3;
constexpr uint32_t BLOCK_SILENCE_TICKS = 5;
constexpr uint32_t EOT_SILENCE_TICKS = 1;
constexpr uint32_t PURGE_SILENCE_TICKS = 1;
// The sender's last bytes (a CAN pair's echo, the line's own noise) die
// away before the console speaks again.
constexpr uint64_t END_DRAIN_MS = 1000;
// Above this diagnostics level the files' details are printed and a drive
// file's check goes on past its first fault.
constexpr uint8_t DETAIL_LEVEL = 3;

enum : uint8_t {
    XS_START = 0,
    XS_REQUEST = 1,
    XS_WAIT_BLOCK = 2,
    XS_BLOCK_NUMBER = 3,
    XS_COMPLEMENT = 4,
    XS_DATA = 5,
    XS_CHECK_1 = 6,
    XS_CHECK_2 = 7,
    XS_AFTER_EOT = 8,
    XS_AFTER_CAN = 9,
    XS_END = 10,
    XS_DRAIN = 11,
    XS_COMPLETE = 12,
    // After a fault the rest of what the sender had on the line is dropped
    // until it falls silent, so the NAK answers the whole bad block and the
    // next header is read as one.
    XS_PURGE = 13,
};

struct XMODEM_RECEIVE {
    uint8_t* pbDestination;
    uint32_t dCapacity;
    uint32_t dReceivedBytes;
    uint32_t dLastCharTick;
    uint32_t dLastNakTick;
    uint32_t dLastBlock;
    uint32_t dErrorCount;
    uint32_t dStartRetryCount;
    uint8_t fHeaderSeen;
    uint8_t bState;
    uint8_t bBlockNumber;
    uint8_t bChecksum;
    uint8_t bKind;
    uint8_t fCancelled;
    uint8_t fActive;
    uint8_t fCrcMode;
    // The request fell back from "C" to NAK: until a block is accepted, the
    // receive takes a block framed with a CRC too (its sender may have
    // answered a "C" that waited on the line).
    uint8_t fCrcFellBack;
    uint8_t abBlock[LONG_BLOCK];
    uint16_t wBlockSize;
    uint16_t wBlockIndex;
    uint16_t wCrcComputed;
    uint16_t wCrcReceived;
    uint64_t lEndTick;
    uint8_t abRing[RING_SIZE];
    uint16_t wRingCount;
    uint16_t wRingIn;
    uint16_t wRingOut;
};

XMODEM_RECEIVE s_sXmodem = {};

void Send(uint8_t bChar) { UartPutChar(bChar); }

void Cancel() {
    s_sXmodem.fCancelled = TRUE;
    s_sXmodem.bState = XS_END;
}

// The sender is told too: it would otherwise repeat its block for a minute.
void CancelWithSender() {
    Send(CAN);
    Send(CAN);
    Cancel();
}

void CountError() {
    // A block read by the CRC it seemed to carry, and found bad, proves
    // nothing of the sender's form: the next one is looked at afresh.
    if (s_sXmodem.fCrcFellBack == TRUE && s_sXmodem.dLastBlock == 0) s_sXmodem.fCrcMode = FALSE;
    s_sXmodem.dErrorCount++;
    s_sXmodem.dLastCharTick = dGetCoarseTick();
    s_sXmodem.bState = XS_PURGE;
}

bool TicksPassed(uint32_t dSince, uint32_t dTicks) { return dGetCoarseTick() - dSince > dTicks; }

void ResetReceive() {
    XMODEM_RECEIVE& x = s_sXmodem;
    x.bState = XS_REQUEST;
    x.fCancelled = FALSE;
    x.dLastCharTick = 0;
    x.dLastNakTick = 0;
    x.dStartRetryCount = 0;
    x.dLastBlock = 0;
    x.dErrorCount = 0;
    SetDownloadImageReady(FALSE);
    SetDownloadImageLength(0);
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_UART);
    std::memset(x.abRing, 0, sizeof(x.abRing));
    x.wRingCount = 0;
    x.wRingIn = 0;
    x.wRingOut = 0;
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_UART);
    x.dReceivedBytes = 0;
    x.wBlockSize = 0;
    std::memset(x.pbDestination, 0, x.dCapacity < LONG_BLOCK ? x.dCapacity : LONG_BLOCK);
}

void Request() {
    XMODEM_RECEIVE& x = s_sXmodem;
    if (x.dStartRetryCount > START_RETRY_LIMIT || x.dErrorCount > ERROR_LIMIT) {
        if (x.dLastBlock != 0) {
            CancelWithSender();
        } else {
            Cancel();
        }
        return;
    }
    if (x.fCrcMode == TRUE && x.fHeaderSeen == FALSE && x.dStartRetryCount >= CRC_REQUESTS) {
        x.fCrcMode = FALSE;
        x.fCrcFellBack = TRUE;
    }
    Send(x.fCrcMode == TRUE && x.fHeaderSeen == FALSE ? CRC_REQUEST : NAK);
    x.bState = XS_WAIT_BLOCK;
    x.dLastCharTick = dGetCoarseTick();
    x.dLastNakTick = x.dLastCharTick;
}

void WaitForBlock(bool fGot, uint8_t c) {
    XMODEM_RECEIVE& x = s_sXmodem;
    if (!fGot) {
        // Until the first block the sender may not have started yet; after
        // it, a sender that stopped is the operator's to end (ESC).
        if (x.dLastBlock == 0 && TicksPassed(x.dLastNakTick, REQUEST_SILENCE_TICKS)) {
            x.dStartRetryCount++;
            x.bState = XS_REQUEST;
        }
        return;
    }
    x.dLastCharTick = dGetCoarseTick();
    switch (c) {
    case SOH:
    case STX:
        x.fHeaderSeen = TRUE;
        x.wCrcComputed = 0;
        x.bBlockNumber = 0;
        x.bChecksum = 0;
        x.wBlockIndex = 0;
        x.wBlockSize = c == SOH ? SHORT_BLOCK : LONG_BLOCK;
        x.bState = XS_BLOCK_NUMBER;
        break;
    case CAN: x.bState = XS_AFTER_CAN; break;
    case EOT: x.bState = XS_AFTER_EOT; break;
    case ESC: Cancel(); break;
    default: break;
    }
}

// Only the next block is taken, and a repeat of the last (its ACK was lost)
// is answered again; any other number means the two sides no longer agree
// on where the file stands, which no NAK mends.
void AcceptBlock() {
    XMODEM_RECEIVE& x = s_sXmodem;
    const uint8_t bLast = static_cast<uint8_t>(x.dLastBlock);
    if (x.dLastBlock != 0 && x.bBlockNumber == bLast) {
        Send(ACK);
        x.bState = XS_WAIT_BLOCK;
        return;
    }
    if (x.bBlockNumber != static_cast<uint8_t>(bLast + 1)) {
        CancelWithSender();
        return;
    }
    if (x.wBlockSize > x.dCapacity - x.dReceivedBytes) {
        CancelWithSender();
        return;
    }
    std::memcpy(x.pbDestination + x.dReceivedBytes, x.abBlock, x.wBlockSize);
    x.dLastBlock++;
    x.dReceivedBytes += x.wBlockSize;
    x.bState = XS_WAIT_BLOCK;
    Send(ACK);
}

// The table step shifts each byte in at the low end, so the last two bytes
// are through the division only after two more steps: with them the sum is
// the one every sender computes.
uint16_t wFinishedCrc() { return Crc16(s_sXmodem.wCrcComputed, CRC_FLUSH, sizeof(CRC_FLUSH)); }

void TakeBlockCharacter(uint8_t c) {
    XMODEM_RECEIVE& x = s_sXmodem;
    switch (x.bState) {
    case XS_BLOCK_NUMBER:
        x.bBlockNumber = c;
        x.bState = XS_COMPLEMENT;
        break;
    case XS_COMPLEMENT:
        if (c != static_cast<uint8_t>(~x.bBlockNumber)) {
            CountError();
            break;
        }
        x.wBlockIndex = 0;
        x.bState = XS_DATA;
        break;
    case XS_DATA:
        x.abBlock[x.wBlockIndex++] = c;
        // Both sums: a receive that fell back learns the block's form only
        // from what follows its data.
        x.wCrcComputed = Crc16(x.wCrcComputed, &c, 1);
        x.bChecksum = static_cast<uint8_t>(x.bChecksum + c);
        if (x.wBlockIndex == x.wBlockSize) x.bState = XS_CHECK_1;
        break;
    case XS_CHECK_1:
        if (x.fCrcMode != TRUE && c != x.bChecksum && x.fCrcFellBack == TRUE && x.dLastBlock == 0 &&
            c == static_cast<uint8_t>(wFinishedCrc() >> 8)) {
            // Not the checksum, but what a CRC would begin with: the sender
            // took a "C".  The whole CRC decides.
            x.fCrcMode = TRUE;
        }
        if (x.fCrcMode == TRUE) {
            x.wCrcReceived = static_cast<uint16_t>(c << 8);
            x.bState = XS_CHECK_2;
        } else if (c != x.bChecksum) {
            CountError();
        } else {
            AcceptBlock();
        }
        break;
    case XS_CHECK_2:
        x.wCrcReceived = static_cast<uint16_t>(x.wCrcReceived | c);
        if (wFinishedCrc() != x.wCrcReceived) {
            CountError();
        } else {
            AcceptBlock();
        }
        break;
    case XS_AFTER_CAN:
        if (c == CAN) {
            Cancel();
        } else {
            CountError();
        }
        break;
    default: break;
    }
}

// The buffer is padded with the filler up to its last block.
uint32_t dWithoutFiller(const uint8_t* pbImage, uint32_t dLength) {
    while (dLength > 0 && pbImage[dLength - 1] == FILLER) dLength--;
    return dLength;
}

void CompleteDriveFirmware() {
    XMODEM_RECEIVE& x = s_sXmodem;
    const uint8_t* pbImage = x.pbDestination;
    x.dReceivedBytes = dWithoutFiller(pbImage, x.dReceivedBytes);
    const uint8_t fStopAtFirst = ToFlag(bGetDiagnosticsModeLevel() <= DETAIL_LEVEL);
    if (bCheckDriveFirmwareFile(pbImage, x.dReceivedBytes, FALSE, fStopAtFirst) == TRUE) {
        SetDownloadImageReady(TRUE);
        SetDownloadImageLength(x.dReceivedBytes);
        ConsolePrintf("\n\nDrive Firmware Transfer Complete, %d bytes\n\n", x.dReceivedBytes);
    } else {
        ConsolePrintf("\n\nInvalid Drive Firmware File\n\n");
    }
}

void CompleteControllerFirmware() {
    XMODEM_RECEIVE& x = s_sXmodem;
    ConsolePrintf("\n\nDownload Completed, %d Bytes\n", x.dReceivedBytes);
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bGetFirmwareUpdateBuffer(FALSE, &dHandle) != STATUS_OK) return;
    const uint8_t* pbImage = x.pbDestination;
    const uint8_t fVerbose = ToFlag(bGetDiagnosticsModeLevel() > DETAIL_LEVEL);
    // A file that carries a second program besides the controller's is
    // another board's, and second-program fields that name no sound
    // program are damage: both are refused like a damaged first program.
    if (bCheckFirmwareImageHeader(pbImage, x.dReceivedBytes, fVerbose, FIRMWARE_ELF_MAIN) != STATUS_OK ||
        bCheckFirmwareImageHeader(pbImage, x.dReceivedBytes, fVerbose, FIRMWARE_ELF_SECOND) == STATUS_OK ||
        fNamesSecondProgram(pbImage, x.dReceivedBytes) == TRUE) {
        ConsolePrintf("\n\nInvalid Firmware File\n\n");
        return;
    }
    ConsolePrintf("Valid Firmware File\n");
    ProgramFlash(pbImage, TRUE);
    // The new image is the one this board has: should the flash lose it,
    // the next start says so.
    CheckFlashImageRecord();
}

void CompleteIoModuleFirmware() {
    XMODEM_RECEIVE& x = s_sXmodem;
    const uint8_t* pbFile = x.pbDestination;
    x.dReceivedBytes = dWithoutFiller(pbFile, x.dReceivedBytes);
    if (fCheckEnclosureFirmwareImageHeader(pbFile, x.dReceivedBytes) != TRUE) {
        SetEnclosureFirmwareImageValid(FALSE);
        ConsolePrintf("\n\nInvalid Disk IO Module Firmware File\n\n");
        return;
    }
    SetEnclosureFirmwareImageValid(TRUE);
    ConsolePrintf("\n\nDisk IO Module Firmware Transfer Complete, %d bytes\n\n", x.dReceivedBytes);
    if (fIsEnclosureFirmwareImageLoading() != TRUE) return;
    if (fIsDualControllerActive() == TRUE) bSendEnclosureFwMessage211();
    if (fIsMasterController() == TRUE) {
        SetEnclosureFirmwareImageLoading(FALSE);
        bStartEnclosureFirmwareUpdate();
    }
}

void Complete() {
    XMODEM_RECEIVE& x = s_sXmodem;
    x.fActive = FALSE;
    if (x.fCancelled == TRUE) {
        ConsolePrintf("\n\nXmodem Transfer Error\n\n");
        if (x.bKind == XMODEM_KIND_IO_MODULE_FIRMWARE && fIsEnclosureFirmwareImageValid() != TRUE) {
            SetEnclosureFirmwareImageLoading(FALSE);
        }
    } else if (x.bKind == XMODEM_KIND_DRIVE_FIRMWARE) {
        CompleteDriveFirmware();
    } else if (x.bKind == XMODEM_KIND_CONTROLLER_FIRMWARE) {
        CompleteControllerFirmware();
    } else if (x.bKind == XMODEM_KIND_IO_MODULE_FIRMWARE) {
        CompleteIoModuleFirmware();
    }
    WaitForAnyKey();
}

void Step() {
    XMODEM_RECEIVE& x = s_sXmodem;
    switch (x.bState) {
    case XS_START: ResetReceive(); return;
    case XS_REQUEST: Request(); return;
    case XS_END:
        x.lEndTick = lGetTickCount();
        x.bState = XS_DRAIN;
        return;
    case XS_DRAIN:
        if (lGetTickCount() - x.lEndTick > END_DRAIN_MS) x.bState = XS_COMPLETE;
        return;
    case XS_COMPLETE: Complete(); return;
    default: break;
    }
    uint8_t c = 0;
    const bool fGot = bGetXmodemCharacter(&c) == TRUE;
    switch (x.bState) {
    case XS_WAIT_BLOCK: WaitForBlock(fGot, c); return;
    case XS_AFTER_EOT:
        // The EOT is answered only once the line stays quiet: a noise byte
        // that looked like one would otherwise end the file early.
        if (fGot) {
            CountError();
        } else if (TicksPassed(x.dLastCharTick, EOT_SILENCE_TICKS)) {
            Send(ACK);
            x.bState = XS_END;
        }
        return;
    case XS_PURGE:
        if (fGot) {
            x.dLastCharTick = dGetCoarseTick();
        } else if (TicksPassed(x.dLastCharTick, PURGE_SILENCE_TICKS)) {
            x.bState = XS_REQUEST;
        }
        return;
    default: break;
    }
    // Inside a block, or after a CAN.
    if (fGot) {
        x.dLastCharTick = dGetCoarseTick();
        TakeBlockCharacter(c);
    } else if (TicksPassed(x.dLastCharTick, BLOCK_SILENCE_TICKS)) {
        CountError();
    }
}

}  // namespace

uint8_t fStartXmodemReceive(uint8_t* pbDestination, uint32_t dCapacity, uint8_t bKind, uint8_t fCrcMode) {
    XMODEM_RECEIVE& x = s_sXmodem;
    if (x.fActive == TRUE || pbDestination == nullptr || dCapacity == 0 || bKind < XMODEM_KIND_CONTROLLER_FIRMWARE ||
        bKind > XMODEM_KIND_IO_MODULE_FIRMWARE) {
        return 0;
    }
    x.pbDestination = pbDestination;
    x.dCapacity = dCapacity;
    x.bKind = bKind;
    x.fCrcMode = fCrcMode;
    x.fCrcFellBack = FALSE;
    x.fActive = TRUE;
    x.bState = XS_START;
    x.fHeaderSeen = FALSE;
    x.lEndTick = 0;
    // The receive runs in the background pass, which runs while it has work.
    SetWorkPending(TRUE);
    static const char* const apszStart[] = {
        "Start Controller Firmware Download",
        "Start Drive Firmware Download",
        "Start Disk IO Module Firmware Download",
    };
    DebugPrintf("\n%s\n", apszStart[bKind - XMODEM_KIND_CONTROLLER_FIRMWARE]);
    return STATUS_OK;
}

uint8_t fIsXmodemReceiveActive() { return s_sXmodem.fActive; }
void SetXmodemReceiveActive(uint8_t f) { s_sXmodem.fActive = f; }
uint32_t dGetXmodemReceivedBytes() { return s_sXmodem.dReceivedBytes; }

void XmodemReceiveCharacter(uint8_t bChar) {
    XMODEM_RECEIVE& x = s_sXmodem;
    if (x.wRingCount >= RING_SIZE) return;
    x.abRing[x.wRingIn] = bChar;
    x.wRingIn = static_cast<uint16_t>((x.wRingIn + 1) % RING_SIZE);
    x.wRingCount++;
    SetWorkPending(TRUE);
}

uint8_t bGetXmodemCharacter(uint8_t* pbChar) {
    XMODEM_RECEIVE& x = s_sXmodem;
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_UART);
    uint8_t fGot = FALSE;
    if (x.wRingCount > 0) {
        *pbChar = x.abRing[x.wRingOut];
        x.wRingOut = static_cast<uint16_t>((x.wRingOut + 1) % RING_SIZE);
        x.wRingCount--;
        fGot = TRUE;
    }
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_UART);
    return fGot;
}

void XmodemReceiveStep() {
    XMODEM_RECEIVE& x = s_sXmodem;
    // What has arrived is taken in one pass, up to a block with its frame,
    // so a block does not cost a thousand passes of every other service.
    const uint8_t bState = x.bState;
    uint32_t dSteps = 0;
    do {
        Step();
    } while (x.wRingCount != 0 && x.bState < XS_END && ++dSteps < STEPS_PER_PASS);
    // The pass comes back at once while the receive moves; a silent line
    // waits for the next byte or tick.
    if (x.bState != bState || dSteps != 0 || x.wRingCount != 0) SetWorkPending(TRUE);
}

}  // namespace fw
