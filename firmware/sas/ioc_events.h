// The drive IOC's own events: devices that come, go or reset themselves,
// links that change rate, discoveries that start, end or fail, a reset of
// the whole bus and a drive's full queue.  The reply dispatcher calls the
// handlers from the FIQ handler with the event data of the notification.
#pragma once

#include <cstdint>

#include "hw/mpi.h"

namespace fw {

void SASExternalBusResetEvent();
void SASQueueFullEvent(uint8_t bTarget);
void SASDiscoveryEvent(uint32_t dStatus);
void SASDiscoveryErrorEvent(uint32_t dStatus, uint8_t bPort);
void SASPhyLinkStatusEvent(const MPI_EVENT_DATA_SAS_PHY_LINK_STATUS& s);
void SASDeviceStatusChangeEvent(const MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE& s);

// The discovery the IOC reports running: since when, and how many ended.
uint8_t fIsSASDiscoveryInProgress();
void SetSASDiscoveryInProgress(uint8_t f);
uint64_t lGetSASDiscoveryStartTick();
uint32_t dGetSASDiscoveriesCompleted();
// The last discovery error, and the last device or link change that asked
// for a new look at the topology.
uint64_t lGetSASDiscoveryErrorTick();
uint64_t lGetSASTopologyChangeTick();
// When the partner's link to the drive side last went (the IOC restart it
// asks for waits a little on it).
uint64_t lGetSASPartnerLinkGoneTick();
// Stamps a change now (the phy recovery's link resets).
void MarkSASTopologyChange();

// Drives taken out of service by time-outs, by enclosure and slot; the next
// link change of the slot clears the mark.
uint8_t fIsSASSlotOutOfService(uint8_t bEnclosure, uint8_t bSlot);
void MarkSASSlotOutOfService(uint8_t bEnclosure, uint8_t bSlot);

// Kinds of target for fIsSASTargetOfKind.
constexpr uint8_t SAS_TARGET_KIND_DRIVE = 1;
constexpr uint8_t SAS_TARGET_KIND_CONTROLLER_PORT = 2;
constexpr uint8_t SAS_TARGET_KIND_ANY = 3;
uint8_t fIsSASTargetOfKind(uint8_t bTarget, uint8_t bKind);

// Counters: external bus resets, QUEUE FULL seen on the partner's two
// ports, internal resets of a target's drive, and events that named
// nothing this controller knows.
uint32_t dGetSASExternalBusResets();
uint32_t dGetSASPartnerQueueFullCount(uint8_t bPath);
uint16_t wGetSASInternalResetCount(uint8_t bTarget);
// The tick of the last internal reset of a target's drive (0 none).
uint64_t lGetSASInternalResetTick(uint8_t bTarget);
uint32_t dGetSASIgnoredEventCount();

// Console: the partner's two drive-side ports (address, handle, target
// id, QUEUE FULL count).
void ShowSASActiveActiveInfo();

// Start of day and IOC restart: no discovery running, nothing marked.
void InitSASEventState();

}  // namespace fw
