// Console input: the UART receive service.
#include "executive/console_input.h"

#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/types.h"
#include "executive/upcalls.h"
#include "hw/uart.h"

namespace fw {

void EnableConsoleInput(uint32_t /*dUnused*/) {
    WriteUartRegister(UART_IER, UART_IER_UNIT_ENABLE | UART_IER_RX_DATA);
    // Text queued before input was enabled is never shown.
    ClearConsoleLog();
    UnmaskInterruptSource(INT_SOURCE_UART);
}

void ServiceConsoleInput() {
    uint8_t bChar = 0;
    // Empty the whole receive FIFO: the line drops only when it is empty.
    while (UartGetChar(&bChar, 0) == TRUE) ConsoleCharacterReceived(bChar);
}

}  // namespace fw
