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

// Background pass and FIQ services of the embedded module and the
// messaging unit.
void EmbeddedModuleMailboxService();
void EmbeddedModuleDmaService();
void EmbeddedModuleMailboxInterrupt();
void MessagingUnitInterrupt();

}  // namespace fw
