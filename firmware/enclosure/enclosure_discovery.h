// Enclosure discovery: which enclosures stand behind the drive side and
// which devices speak for them.  Runs as phase 15 of the configuration
// phase machine, one command per step; its result is the enclosure
// services level, a filled enclosure table and the SES assignment of every
// drive record.  The own chassis' table rebuild sits here too.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t SES_LEVEL_UNKNOWN = 0xFF;
constexpr uint8_t SES_LEVEL_NONE = 1;
constexpr uint8_t SES_LEVEL_FULL = 3;

// Discovery steps; 11-13 are the page cycle's.
constexpr uint8_t DISCOVERY_STEP_CONFIGURATION = 0;
constexpr uint8_t DISCOVERY_STEP_NEXT_DEVICE = 5;
constexpr uint8_t DISCOVERY_STEP_NO_SES = 6;
constexpr uint8_t DISCOVERY_STEP_SES = 7;
constexpr uint8_t DISCOVERY_STEP_END = 14;

// The reply buffer every RECEIVE DIAGNOSTIC RESULTS lands in; the second
// half holds the own chassis' pages.
constexpr uint32_t SES_REPLY_BYTES = 2048;
uint8_t* pGetSesReplyBuffer();
uint8_t* pGetOwnPageBuffer();

uint8_t EnclosureDiscoveryStep(uint8_t bStep);
uint8_t IdentifyEnclosure(uint32_t dArrived);
void CountInstalledSlots(uint32_t dArrived);
// 0 outside the slots seen, 244 not seen installed, 240 already claimed,
// TRUE claimed now.
uint8_t bClaimSlot(uint8_t bSlot);
void ResetEnclosureScanState();

uint8_t bGetLastSesReport();
void SetLastSesReport(uint8_t b);
uint32_t dGetSesRetryBudget();
uint8_t bGetCurrentDriveInService();
void SetCurrentDriveInService(uint8_t b);
uint8_t bGetSesEnclosureNumber();
void SetSesEnclosureNumber(uint8_t b);
// The SES device of `bCurrentDriveInService` (discovery) or of the
// enclosure at `bEnclosureNumber` (page cycle): path and target.
uint8_t fSelectSesDevice(uint8_t* pbPath, uint8_t* pbTarget);
uint8_t fSelectEnclosureSesDevice(uint8_t* pbPath, uint8_t* pbTarget);
// The same for the enclosure at a table index.
uint8_t fSelectSesDeviceOfEnclosure(uint8_t bIndex, uint8_t* pbPath, uint8_t* pbTarget);
// The number of SES devices discovery asks, and of enclosures it expects.
uint8_t bGetSesDeviceCount();
uint8_t bGetExpectedEnclosureCount();

// Sends RECEIVE DIAGNOSTIC RESULTS (page, allocation length) or SEND
// DIAGNOSTIC (parameter list from the reply buffer) to a SES device as a
// phase command; 255 sent, 16 no entry free.
uint8_t bSendSesReceive(uint8_t bPath, uint8_t bTarget, uint8_t bPage, uint16_t wAllocation);
uint8_t bSendSesControl(uint8_t bPath, uint8_t bTarget, uint16_t wLength);
// The console's own status page read (fControl FALSE, into the reply
// buffer) or send (TRUE, from it): the SES device is freed when it ends.
uint8_t bSendSesDiagnostic(uint8_t bPath, uint8_t bTarget, uint8_t fControl, uint16_t wLength);
// The length asked for by the last RECEIVE DIAGNOSTIC RESULTS sent.
uint16_t wGetSesAllocation();
// TRUE when the page cycle's last command did not end with GOOD status.
uint8_t fGetSesPageCommandFailed();

// Refuses the SES device to others while discovery, a page pass or the
// console has it.
void SetSesDeviceBusy(uint8_t f);
uint8_t fIsSesDeviceBusy();

// Counters of what went wrong with replies, for tests and dumps.
uint32_t dGetSesRejectedPages();
void CountSesRejectedPage();
uint32_t dGetSesIdentifierDrops();

}  // namespace fw
