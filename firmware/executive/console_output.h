// Console output: one printf-style formatter, polled output during start-up,
// the console log ring afterwards, the capture buffer for dumps.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t CONSOLE_LINE_SIZE = 220;          // one formatted line
constexpr uint32_t CONSOLE_LOG_SIZE = 0x400000;      // console log ring
constexpr uint32_t CAPTURE_BUFFER_SIZE = 0x100000;   // capture area, text from +4

void InitConsoleUart(uint32_t dBaud);            // 0: take the rate from NVRAM
void WriteUartRegister(uint32_t dOffset, uint8_t bValue);   // offset from UART_BASE (hw/uart.h)
uint8_t UartPutChar(uint8_t bChar);              // 0xFF sent, 0 transmitter stuck
uint8_t UartGetChar(uint8_t* pbChar, uint32_t dTimeout);   // TRUE/FALSE

// Converts one number into pcLine (a CONSOLE_LINE_SIZE line) at dPosition;
// cConversion is 'x' or 'X' for hexadecimal, anything else decimal.  Returns
// the new position, never past the end of the line.
uint32_t FormatNumber(uint32_t dValue, char* pcLine, uint32_t dPosition, uint32_t dWidth,
                      uint8_t fZeroFill, uint8_t fLeftJustify, char cConversion);

void ConsolePrintf(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// A fixed text as it stands (no conversions), each LF sent as CR LF like a
// format's own line ends; a "%s" argument is copied unchanged.
void ConsolePrintText(const char* pszText);
void DebugPrintf(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
uint32_t FlushConsole(uint32_t dAny);
void DrainConsoleLog();
void RequestConsoleLogClear();
// Empties the console log ring (UART set-up, console input enable).
void ClearConsoleLog();
void PrintIpAddress(uint8_t fSuppress, const uint32_t* pdAddress);
void WaitConsoleKey();
void InvalidateDataCacheRange(uint32_t dAddress, uint32_t dLength);
void DrainWriteBuffer();

// Assertion report: pszArgNames is a comma-separated list naming the
// 32-bit arguments that follow, or null when there are none.
void ReportAssertionFailure(const char* pszExpression, const char* pszFile, uint32_t dLine,
                            const char* pszArgNames, ...);

}  // namespace fw
