// Console output: the line formatter, polled UART output, the console log
// ring and its drain, and the capture buffer of dumps.
#include "executive/console_output.h"

#include <cstdarg>
#include <cstring>

#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/upcalls.h"
#include "executive/work_flags.h"
#include "hw/addresses.h"
#include "hw/cp15.h"
#include "hw/hw.h"
#include "hw/uart.h"

namespace fw {

namespace {

constexpr uint32_t TX_READY_POLLS = 268435456;
constexpr uint64_t RX_POLLS_PER_TIMEOUT_UNIT = 2000000;
constexpr uint32_t KEY_WAIT_TIMEOUT = 4096;

constexpr uint8_t XOFF = 0x13;     // Ctrl-S
constexpr uint8_t XON = 0x11;      // Ctrl-Q
constexpr uint8_t CTRL_E = 0x05;   // also resumes output

constexpr uint32_t DRAIN_BURST = 16;
constexpr uint32_t LOG_WRAP_MASK = CONSOLE_LOG_SIZE - 1;
constexpr uint32_t CAPTURE_TEXT_OFFSET = 4;   // the sealed length goes first

constexpr uint8_t EVENT_ASSERTION_FAILURE = 171;

struct BaudRate {
    uint32_t dBaud;
    uint8_t bDivisor;
};
// 19200 and 9600 round up: the truncated divisors miss by too much.
constexpr BaudRate BAUD_RATES[] = {
    {115200, 18}, {57600, 36}, {38400, 54}, {19200, 109}, {9600, 217},
};

char s_acConsoleLog[CONSOLE_LOG_SIZE];
uint32_t s_dLogIn = 0;
uint32_t s_dLogOut = 0;
uint32_t s_dLogCount = 0;
uint8_t s_fLogClearRequest = FALSE;
uint8_t s_fInConsolePrintf = FALSE;

uint8_t ReadUartRegister(uint32_t dOffset) { return Reg8Read(UART_BASE + dOffset); }

bool TransmitterReady() { return (ReadUartRegister(UART_LSR) & UART_LSR_TX_READY) != 0; }

// After direct UART access: the UART comes back on unless someone holds its
// lock, whose holder unmasks it.
void RestoreUartSource() {
    if (bGetInterruptLockByte(INT_SOURCE_UART) != INT_LOCK_HELD) {
        UnmaskInterruptSource(INT_SOURCE_UART);
    }
}

// --- formatting -------------------------------------------------------------

// A line being built: never written past CONSOLE_LINE_SIZE.
struct LineBuilder {
    char* pcLine;
    uint32_t dLength;

    bool Full() const { return dLength >= CONSOLE_LINE_SIZE; }
    void Put(char c) {
        if (!Full()) pcLine[dLength++] = c;
    }
};

// The format is read for at most CONSOLE_LINE_SIZE characters.
struct FormatReader {
    const char* pszFormat;
    uint32_t dRead;

    char Next() {
        if (dRead >= CONSOLE_LINE_SIZE) return '\0';
        char c = pszFormat[dRead];
        if (c != '\0') dRead++;
        return c;
    }
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Formats into pcLine (CONSOLE_LINE_SIZE bytes) and returns the length.
uint32_t FormatLine(char* pcLine, const char* pszFormat, va_list ap) {
    std::memset(pcLine, 0, CONSOLE_LINE_SIZE);
    LineBuilder line{pcLine, 0};
    if (pszFormat == nullptr) return 0;
    FormatReader format{pszFormat, 0};
    while (!line.Full()) {
        char c = format.Next();
        if (c == '\0') break;
        if (c == '\n') {
            line.Put('\r');
            line.Put('\n');
            continue;
        }
        if (c != '%') {
            line.Put(c);
            continue;
        }
        c = format.Next();
        if (c == '%') {
            line.Put('%');
            continue;
        }
        uint8_t fLeftJustify = FALSE;
        uint8_t fZeroFill = FALSE;
        uint32_t dWidth = 0;
        if (c == '-') {
            fLeftJustify = TRUE;
            c = format.Next();
        }
        if (c == '0') {
            fZeroFill = TRUE;
            c = format.Next();
        }
        for (int i = 0; i < 2 && IsDigit(c); i++) {
            dWidth = dWidth * 10 + static_cast<uint32_t>(c - '0');
            c = format.Next();
        }
        switch (c) {
        case '\0':
            return line.dLength;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
            line.dLength = FormatNumber(va_arg(ap, uint32_t), pcLine, line.dLength, dWidth,
                                        fZeroFill, fLeftJustify, c);
            break;
        case 'c':
            line.Put(static_cast<char>(va_arg(ap, uint32_t) & 0xFF));
            break;
        case 's': {
            // A null string prints nothing rather than faulting.
            const char* psz = va_arg(ap, const char*);
            for (; psz != nullptr && *psz != '\0' && !line.Full(); psz++) line.Put(*psz);
            break;
        }
        default:
            break;   // unknown letter: no output, no argument taken
        }
    }
    return line.dLength;
}

// --- output paths -------------------------------------------------------------

// Ctrl-S (or the menu's pause flag) holds output until Ctrl-Q or Ctrl-E;
// anything else typed meanwhile is discarded.
void ApplyFlowControl() {
    uint8_t bKey = 0;
    bool fPaused = fIsConsoleOutputPaused() == TRUE;
    if (UartGetChar(&bKey, 0) == TRUE && bKey == XOFF) fPaused = true;
    if (!fPaused) return;
    for (;;) {
        KickHeartbeat();
        if (UartGetChar(&bKey, 0) == TRUE && (bKey == XON || bKey == CTRL_E)) break;
        HwPoll();
    }
    SetConsoleOutputPaused(FALSE);
}

void WriteLinePolled(const char* pcLine, uint32_t dLength) {
    MaskInterruptSource(INT_SOURCE_UART);
    for (uint32_t d = 0; d < dLength; d++) {
        ApplyFlowControl();
        UartPutChar(static_cast<uint8_t>(pcLine[d]));
        KickHeartbeat();
    }
    RestoreUartSource();
}

void AppendToCapture(const char* pcLine, uint32_t dLength) {
    uint8_t* pbCapture = pGetCaptureBuffer();
    if (pbCapture == nullptr) return;
    uint32_t dCaptured = dGetCaptureLength();
    // Text starts after the length word; it must end inside the area.
    if (dCaptured > CAPTURE_BUFFER_SIZE - CAPTURE_TEXT_OFFSET - dLength) return;
    std::memcpy(pbCapture + CAPTURE_TEXT_OFFSET + dCaptured, pcLine, dLength);
    SetCaptureLength(dCaptured + dLength);
}

void AppendToLog(const char* pcLine, uint32_t dLength) {
    if (s_dLogCount + dLength >= CONSOLE_LOG_SIZE) return;   // drop the whole line
    uint32_t dFirst = CONSOLE_LOG_SIZE - s_dLogIn;
    if (dFirst > dLength) dFirst = dLength;
    std::memcpy(s_acConsoleLog + s_dLogIn, pcLine, dFirst);
    std::memcpy(s_acConsoleLog, pcLine + dFirst, dLength - dFirst);
    s_dLogIn = (s_dLogIn + dLength) & LOG_WRAP_MASK;
    s_dLogCount += dLength;
    SetConsoleLogPending(TRUE);
}

}  // namespace

void WriteUartRegister(uint32_t dOffset, uint8_t bValue) { Reg8Write(UART_BASE + dOffset, bValue); }

uint8_t UartPutChar(uint8_t bChar) {
    for (uint32_t d = 0; d < TX_READY_POLLS; d++) {
        if (TransmitterReady()) {
            WriteUartRegister(UART_DATA, bChar);
            return STATUS_OK;
        }
    }
    return 0;
}

uint8_t UartGetChar(uint8_t* pbChar, uint32_t dTimeout) {
    // 64-bit: long timeouts overflow a 32-bit poll count.
    uint64_t lPolls = dTimeout == 0 ? 1 : RX_POLLS_PER_TIMEOUT_UNIT * dTimeout;
    for (uint64_t l = 0; l < lPolls; l++) {
        if ((ReadUartRegister(UART_LSR) & UART_LSR_RX_READY) != 0) {
            *pbChar = ReadUartRegister(UART_DATA);
            return TRUE;
        }
    }
    *pbChar = 0;
    return FALSE;
}

void InitConsoleUart(uint32_t dBaud) {
    WriteUartRegister(UART_LCR, UART_LCR_DLAB | UART_LCR_8N1);
    if (dBaud == 0) dBaud = dStoredConsoleBaud();
    BaudRate rate = BAUD_RATES[0];
    for (const BaudRate& entry : BAUD_RATES) {
        if (entry.dBaud == dBaud) rate = entry;
    }
    StoreConsoleBaud(rate.dBaud);
    WriteUartRegister(UART_IER, 0);   // divisor high
    WriteUartRegister(UART_DATA, rate.bDivisor);
    WriteUartRegister(UART_LCR, UART_LCR_8N1);
    WriteUartRegister(UART_FCR, UART_FCR_FIFO_ON);
    WriteUartRegister(UART_MCR, UART_MCR_OUT2);
    ClearConsoleLog();
}

uint32_t FormatNumber(uint32_t dValue, char* pcLine, uint32_t dPosition, uint32_t dWidth,
                      uint8_t fZeroFill, uint8_t fLeftJustify, char cConversion) {
    const bool fHex = cConversion == 'x' || cConversion == 'X';
    const char* pszDigits = cConversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    const uint32_t dDigits = fHex ? 8 : 10;
    const uint32_t dBase = fHex ? 16 : 10;

    char acDigits[10];
    for (uint32_t d = dDigits; d-- > 0;) {
        acDigits[d] = pszDigits[dValue % dBase];
        dValue /= dBase;
    }
    uint32_t dFirst = 0;   // first significant digit; a zero keeps the last one
    while (dFirst < dDigits - 1 && acDigits[dFirst] == '0') dFirst++;
    const uint32_t dSignificant = dDigits - dFirst;

    if (dWidth > dDigits) dWidth = dDigits;
    if (dWidth == 0) dWidth = 1;
    const uint32_t dPad = dWidth > dSignificant ? dWidth - dSignificant : 0;

    LineBuilder line{pcLine, dPosition};
    if (fLeftJustify != TRUE) {
        for (uint32_t d = 0; d < dPad; d++) line.Put(fZeroFill == TRUE ? '0' : ' ');
    }
    for (uint32_t d = dFirst; d < dDigits; d++) line.Put(acDigits[d]);
    if (fLeftJustify == TRUE) {
        for (uint32_t d = 0; d < dPad; d++) line.Put(' ');
    }
    return line.dLength;
}

namespace {

// Before the main loop output goes out at once; after it, to the capture
// buffer of a paged printout or the log the main loop drains.
void RouteConsoleLine(const char* pcLine, uint32_t dLength) {
    if (fIsInitializationComplete() != TRUE) {
        WriteLinePolled(pcLine, dLength);
    } else if (fIsConsoleOutputCaptured() == TRUE) {
        AppendToCapture(pcLine, dLength);
    } else {
        AppendToLog(pcLine, dLength);
    }
}

}  // namespace

void ConsolePrintf(const char* pszFormat, ...) {
    // Output that arrives while a line is being routed (from an interrupt
    // handler) is dropped.
    if (s_fInConsolePrintf == TRUE) return;
    s_fInConsolePrintf = TRUE;

    char acLine[CONSOLE_LINE_SIZE];
    va_list ap;
    va_start(ap, pszFormat);
    uint32_t dLength = FormatLine(acLine, pszFormat, ap);
    va_end(ap);
    RouteConsoleLine(acLine, dLength);
    s_fInConsolePrintf = FALSE;
}

void ConsolePrintText(const char* pszText) {
    if (s_fInConsolePrintf == TRUE || pszText == nullptr) return;
    s_fInConsolePrintf = TRUE;
    // Cut into lines of the console's size, a CR LF never split.
    char acLine[CONSOLE_LINE_SIZE];
    uint32_t dLength = 0;
    for (const char* pc = pszText; *pc != '\0'; ++pc) {
        if (dLength + 2 > CONSOLE_LINE_SIZE) {
            RouteConsoleLine(acLine, dLength);
            dLength = 0;
        }
        if (*pc == '\n') acLine[dLength++] = '\r';
        acLine[dLength++] = *pc;
    }
    if (dLength > 0) RouteConsoleLine(acLine, dLength);
    s_fInConsolePrintf = FALSE;
}

void DebugPrintf(const char* pszFormat, ...) {
    char acLine[CONSOLE_LINE_SIZE];
    va_list ap;
    va_start(ap, pszFormat);
    uint32_t dLength = FormatLine(acLine, pszFormat, ap);
    va_end(ap);
    WriteLinePolled(acLine, dLength);
}

uint32_t FlushConsole(uint32_t dAny) { return dAny; }

void DrainConsoleLog() {
    if (fIsConsoleOutputPaused() == TRUE) return;
    MaskInterruptSource(INT_SOURCE_UART);
    if (s_fLogClearRequest == TRUE) {
        s_fLogClearRequest = FALSE;
        s_dLogOut = 0;
        s_dLogCount = 0;
        s_dLogIn = 0;
    }
    if (!TransmitterReady()) {
        RestoreUartSource();
        SetConsoleLogPending(TRUE);
        return;
    }
    // Only what the transmitter takes without waiting.
    for (uint32_t d = 0; d < DRAIN_BURST && s_dLogCount > 0; d++) {
        if (d > 0 && !TransmitterReady()) break;
        WriteUartRegister(UART_DATA, static_cast<uint8_t>(s_acConsoleLog[s_dLogOut]));
        s_dLogOut = (s_dLogOut + 1) & LOG_WRAP_MASK;
        s_dLogCount--;
    }
    if (s_dLogCount == 0) {
        if (s_dLogIn != s_dLogOut) s_dLogIn = s_dLogOut;
        SetConsoleLogPending(FALSE);
    } else {
        SetConsoleLogPending(TRUE);
    }
    RestoreUartSource();
}

void RequestConsoleLogClear() { s_fLogClearRequest = TRUE; }

void ClearConsoleLog() {
    std::memset(s_acConsoleLog, 0, sizeof(s_acConsoleLog));
    s_dLogIn = 0;
    s_dLogOut = 0;
    s_dLogCount = 0;
}

void PrintIpAddress(uint8_t fSuppress, const uint32_t* pdAddress) {
    if (fSuppress == TRUE || pdAddress == nullptr) return;
    uint32_t d = *pdAddress;
    ConsolePrintf("%d.%d.%d.%d", d >> 24, (d >> 16) & 0xFF, (d >> 8) & 0xFF, d & 0xFF);
}

void WaitConsoleKey() {
    uint8_t bKey = 0;
    MaskInterruptSource(INT_SOURCE_UART);
    UartGetChar(&bKey, KEY_WAIT_TIMEOUT);
    RestoreUartSource();
}

void InvalidateDataCacheRange(uint32_t dAddress, uint32_t dLength) {
    ConsolePrintf("invalidate cache");
    if (dLength < 32) return;
    const uint64_t lEnd = static_cast<uint64_t>(dAddress) + dLength;
    for (uint64_t l = dAddress & ~31u; l < lEnd; l += 32) {
        Cp15Write(CP15_INVALIDATE_DCACHE_LINE, static_cast<uint32_t>(l));
    }
}

void DrainWriteBuffer() {
    ConsolePrintf("Drain buffer");
    Cp15Write(CP15_DRAIN_WRITE_BUFFER, 0);   // completes when the write buffer is empty
}

void ReportAssertionFailure(const char* pszExpression, const char* pszFile, uint32_t dLine,
                            const char* pszArgNames, ...) {
    ConsolePrintf("\nAF(%s), %s: %d\n", pszExpression, pszFile, dLine);
    const uint32_t dExpression = dAddressWord(pszExpression);
    const uint32_t dFile = dAddressWord(pszFile);
    auto Byte = [](uint32_t d, int i) { return static_cast<uint8_t>(d >> (8 * i)); };
    const uint8_t abArgs[14] = {Byte(dExpression, 0), Byte(dExpression, 1), Byte(dExpression, 2),
                                Byte(dExpression, 3), Byte(dFile, 0), Byte(dFile, 1), Byte(dFile, 2), Byte(dFile, 3),
                                Byte(dLine, 0), Byte(dLine, 1), Byte(dLine, 2), 0, 0, 0};
    PostMachineryEvent(EVENT_ASSERTION_FAILURE, abArgs);

    if (pszArgNames == nullptr || *pszArgNames == '\0') {
        ConsolePrintf("no argument list\n\n");
        return;
    }
    va_list ap;
    va_start(ap, pszArgNames);
    const char* psz = pszArgNames;
    while (*psz != '\0') {
        char acName[CONSOLE_LINE_SIZE];
        uint32_t dName = 0;
        for (; *psz != '\0' && *psz != ','; psz++) {
            if (*psz != ' ' && *psz != '\t' && dName < sizeof(acName) - 1) acName[dName++] = *psz;
        }
        acName[dName] = '\0';
        if (*psz == ',') psz++;
        // An empty name has no argument behind it.
        if (dName > 0) ConsolePrintf("%s: %08x\n", acName, va_arg(ap, uint32_t));
    }
    va_end(ap);
}

}  // namespace fw
