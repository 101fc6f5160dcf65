// The embedded management module, the PCI peer and the automatic firmware
// upgrade check.  This board carries no embedded module.
#pragma once

#include <cstdint>

namespace fw {

uint8_t fGetEmbeddedModuleEnabled();
void ServiceEmbeddedModuleRequests();
uint8_t fIsEmbeddedModuleRequestPending();
uint8_t fIsEmbeddedModuleBusy();
void InitEmbeddedModuleInterfaces();
void InitDmaChannelDriver();
void SendEthernetSettingsToPeer();
uint8_t fGetAutoUpgradeSkipFlag();
void SetAutoUpgradeSkipFlag(uint8_t f);
// Raised at start-up when the upgrade that was logged asked for it.
uint8_t fGetAutoUpgradeSecondFlag();
void SetAutoUpgradeSecondFlag(uint8_t f);
uint8_t fRunAutoUpgradeCheck();
// The console-mode word of the module's mailbox: 0 while the management
// protocol owns the console (raw input), 1 for the menus.
void SetEmbeddedConsoleMode(uint32_t dMode);
uint32_t dGetEmbeddedConsoleMode();
// The module held in reset, and its release with the mailbox set up.
uint8_t fIsEmbeddedModuleHeldInReset();
void HoldEmbeddedModuleInReset();
void InitEmbeddedModuleMailbox();
// The Ethernet client of the PCI peer: initialised, and its link.
uint8_t fIsEthernetInitialized();
uint8_t fIsEthernetLinkUp();
// Runs the Ethernet loopback test for the minutes given: RUNNING while it
// runs (its end is reported through EthernetLoopbackTestDone), else the
// result at once (0xFF OK, 0 failed).
constexpr uint8_t ETHERNET_TEST_RUNNING = 0xFE;
constexpr uint8_t ETHERNET_TEST_FAILED = 0;
uint8_t bRunEthernetLoopbackTest(uint32_t dMinutes);
// The Ethernet loopback test of the PCI peer's port: TRUE while it runs;
// SetEthernetLoopbackMode(TRUE) ends it.
uint8_t fIsEthernetLoopbackActive();
void SetEthernetLoopbackMode(uint8_t fEnd);

// Background pass and FIQ services of the embedded module and the
// messaging unit.
void EmbeddedModuleMailboxService();
void EmbeddedModuleDmaService();
void EmbeddedModuleMailboxInterrupt();
void MessagingUnitInterrupt();

}  // namespace fw
