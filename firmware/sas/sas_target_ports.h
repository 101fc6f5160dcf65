// The main-loop half of the SAS host ports' driver: the two ports going up
// and down, the initiators logged in on them, the IOC's events and the
// time-out scan; and the interrupt-level replies that feed them.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

// Port states.
constexpr uint8_t SAS_PORT_UP = 0xFF;
constexpr uint8_t SAS_PORT_LINK_LOST = 0xFE;
constexpr uint8_t SAS_PORT_REMOVING = 0xFD;
constexpr uint8_t SAS_PORT_WAIT_REMOVALS = 0xFC;
constexpr uint8_t SAS_PORT_DOWN = 0xF0;

constexpr uint16_t SAS_NO_HANDLE = 0xFFFF;

#pragma pack(push, 1)
struct SAS_TARGET_PORT_RECORD {
    uint8_t bState;
    uint8_t bLinkRate;
    uint8_t bPhyCount;
    uint8_t bPhyMask;
    uint8_t bPortFlags;
    uint8_t bReserved5;
    uint16_t wAttachedHandle;
    uint16_t wControllerHandle;
    uint16_t wRemovalsOutstanding;
    uint32_t dReserved12;
    uint64_t lDeadline;
};
#pragma pack(pop)
static_assert(sizeof(SAS_TARGET_PORT_RECORD) == 24);

// A current extended page of the IOC, read through its request queue into
// a buffer page: false when the read failed or the IOC answered an error.
bool ReadSASTargetPage(uint8_t bType, uint8_t bNumber, uint32_t dAddress, BUFFER_HANDLE dBuffer,
                       uint32_t* pdLength = nullptr);

// Bring-up hands over the pages it took and resets the records.
void ResetSASTargetPorts();
void SetSASHostListPages(BUFFER_HANDLE dPages);
void SetSASConfigPageBuffer(BUFFER_HANDLE dPage);

// Interrupt level: an address reply other than the command path's, and a
// target context reply (FALSE: stop draining, no host entry was free).
void SASTargetAddressReply(const uint8_t* pbReply);
uint8_t SASTargetContextReply(uint32_t dWord);

// Work flags and services of the background pass.
uint8_t fIsSASTargetPortServiceRequested(uint8_t bPort);
uint8_t fIsSASTargetPortEventPending(uint8_t bPort);
void SASTargetPortService(uint8_t bPort);
void SASTargetEventService(uint8_t bPort, uint8_t fForce, uint8_t fNotify);
void SASTargetTimeoutScan();
// Turns the phys of the ports in bits 0-1 off (0x20) or back on (0x10) at
// the service's next pass.
void SetSASTargetPhyRequest(uint8_t bRequest);

const SAS_TARGET_PORT_RECORD* psGetSASTargetPortRecord(uint8_t bPort);
uint8_t fIsSASTargetPortLinkUp(uint8_t bPort);
uint8_t bGetSASTargetPortLinkRate(uint8_t bPort);

// The debug dumps: the hosts known, the command buffers and request frames
// in use, the stored phy disables and rates.
void ShowSASHostList();
void ShowSASTargetCommandMap();
void ShowSASPortConnectionOptions();

// Filters of the stored host-port settings on SAS host ports.
uint8_t bFilterSASHostPortPhySetting(uint8_t bValue);
uint8_t bFilterSASHostPortConnectionOption(uint8_t bValue);

}  // namespace fw
