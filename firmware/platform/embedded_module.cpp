#include "platform/embedded_module.h"

#include "executive/types.h"

namespace fw {

namespace {
uint8_t s_fAutoUpgradeSkip = FALSE;
uint8_t s_fAutoUpgradeSecond = FALSE;
uint8_t s_fEmbeddedModuleEnabled = FALSE;
uint32_t s_dConsoleMode = 1;
uint8_t s_fEmbeddedModuleHeld = FALSE;
}  // namespace

uint8_t fGetEmbeddedModuleEnabled() { return s_fEmbeddedModuleEnabled; }

// No module answers on this board, so there are never requests to serve.
void ServiceEmbeddedModuleRequests() {}
uint8_t fIsEmbeddedModuleRequestPending() { return FALSE; }
uint8_t fIsEmbeddedModuleBusy() { return FALSE; }
void InitEmbeddedModuleInterfaces() { s_fEmbeddedModuleEnabled = FALSE; }
void InitDmaChannelDriver() {}
void SendEthernetSettingsToPeer() {}

// The reset line is the firmware's to hold even with no module behind it.
uint8_t fIsEmbeddedModuleHeldInReset() { return s_fEmbeddedModuleHeld; }
void HoldEmbeddedModuleInReset() { s_fEmbeddedModuleHeld = TRUE; }
void InitEmbeddedModuleMailbox() {
    s_dConsoleMode = 1;
    s_fEmbeddedModuleHeld = FALSE;
}

// The PCI peer of this board carries no Ethernet client: it never comes
// up, and a loopback test asked for all the same fails at once.
uint8_t fIsEthernetInitialized() { return FALSE; }
uint8_t fIsEthernetLinkUp() { return FALSE; }
uint8_t bRunEthernetLoopbackTest(uint32_t) { return ETHERNET_TEST_FAILED; }

// Kept for the module's mailbox; no module reads it on this board.
void SetEmbeddedConsoleMode(uint32_t dMode) { s_dConsoleMode = dMode; }
uint32_t dGetEmbeddedConsoleMode() { return s_dConsoleMode; }

// The PCI peer's Ethernet port has no loopback test to run here.
uint8_t fIsEthernetLoopbackActive() { return FALSE; }
void SetEthernetLoopbackMode(uint8_t) {}

uint8_t fGetAutoUpgradeSkipFlag() { return s_fAutoUpgradeSkip; }
void SetAutoUpgradeSkipFlag(uint8_t f) { s_fAutoUpgradeSkip = f; }
uint8_t fGetAutoUpgradeSecondFlag() { return s_fAutoUpgradeSecond; }
void SetAutoUpgradeSecondFlag(uint8_t f) { s_fAutoUpgradeSecond = f; }

// The check compares this firmware with the partner's; with no image to
// offer it never asks for an upgrade.
uint8_t fRunAutoUpgradeCheck() {
    s_fAutoUpgradeSkip = FALSE;
    return FALSE;
}

}  // namespace fw
