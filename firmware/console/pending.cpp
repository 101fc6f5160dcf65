// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "console/console_menu.h"
#include "console/xmodem_receive.h"
#include "config/config_phase.h"
#include "executive/interrupt_controller.h"
#include "executive/work_flags.h"
#include "executive/types.h"

namespace fw {

void InitDebugMonitor() {}
void SetMenuSessionActive(uint8_t) {}
void ClearScreen(uint8_t) {}
uint8_t bGetDiagnosticsModeLevel() { return 0; }
void ResetConsoleStartFlags() {}

namespace {
uint8_t s_fOutputPaused = FALSE;
}  // namespace
uint8_t fIsOutputPaused() { return s_fOutputPaused; }
void SetOutputPaused(uint8_t f) { s_fOutputPaused = f; }

namespace {
constexpr uint32_t RECORD_SIZE = 256;
uint8_t s_abConsoleRecord[RECORD_SIZE];
uint32_t s_dConsoleRecordCount;
constexpr uint16_t XMODEM_RING_SIZE = 2048;
uint8_t s_abXmodemRing[XMODEM_RING_SIZE];
uint16_t s_wXmodemIn, s_wXmodemOut, s_wXmodemCount;
uint8_t s_fXmodemActive = FALSE;
}  // namespace

void HandleConsoleCharacter(uint8_t bChar) {
    if (s_dConsoleRecordCount < RECORD_SIZE) s_abConsoleRecord[s_dConsoleRecordCount] = bChar;
    ++s_dConsoleRecordCount;
}
void RunPendingMenuCall() { SetConsoleMenuWork(FALSE); }
uint32_t dGetRecordedConsoleCharacters(uint8_t* pbOut, uint32_t dMax) {
    for (uint32_t i = 0; i < dMax && i < s_dConsoleRecordCount && i < RECORD_SIZE; ++i) {
        pbOut[i] = s_abConsoleRecord[i];
    }
    return s_dConsoleRecordCount;
}

uint8_t fIsXmodemReceiveActive() { return s_fXmodemActive; }
void SetXmodemReceiveActive(uint8_t f) { s_fXmodemActive = f; }
void XmodemReceiveCharacter(uint8_t bChar) {
    if (s_wXmodemCount >= XMODEM_RING_SIZE) return;
    s_abXmodemRing[s_wXmodemIn] = bChar;
    s_wXmodemIn = static_cast<uint16_t>((s_wXmodemIn + 1) % XMODEM_RING_SIZE);
    ++s_wXmodemCount;
}
uint8_t bGetXmodemCharacter(uint8_t* pbChar) {
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_UART);
    uint8_t fGot = FALSE;
    if (s_wXmodemCount > 0) {
        *pbChar = s_abXmodemRing[s_wXmodemOut];
        s_wXmodemOut = static_cast<uint16_t>((s_wXmodemOut + 1) % XMODEM_RING_SIZE);
        --s_wXmodemCount;
        fGot = TRUE;
    }
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_UART);
    return fGot;
}
void XmodemReceiveStep() {}

// Stand-in for the shutdown path.
uint8_t bGetConsoleAccessLevel() { return 0; }

uint8_t fGetThroughputTestRequest() { return FALSE; }
void RunThroughputTest() {}
// Nothing to send before the diagnostics menu is built: the phase ends.
uint8_t RunDriveCommandPhase(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}

void ConfigurationMenu() {}
void AbortMenuByRemoteConfiguration() {}

}  // namespace fw
