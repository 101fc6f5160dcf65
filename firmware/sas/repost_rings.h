// Requests held back for a drive that had as many outstanding as it takes:
// one ring per device of the list, kept in the order the requests were
// built, each posted to the IOC when one of the drive's requests ends.
#pragma once

#include <cstdint>

#include "sas/sas_device_list.h"

namespace fw {

// One ring per device index of the device list (0..125), of this many
// request addresses.
constexpr uint8_t SAS_REPOST_RINGS = SAS_MAX_DEVICES;
constexpr uint8_t SAS_REPOST_RING_SLOTS = 32;

// Empties every ring (the device list is about to be built again: its
// indexes will name other drives).
void InitSASRepostRings();
// Holds back a built request (its PCI address) for the device: FALSE when
// the device's ring is full or the index names no device.
uint8_t fDeferSASRequest(uint8_t bDeviceIndex, uint32_t dPciAddress);
// Posts the device's oldest held-back request to the IOC, counting it
// outstanding there and on the device: FALSE when none waits or the index
// names no device.  An address that is none of the IOC's request frames
// leaves the ring unposted (FALSE).
uint8_t fPostNextDeferredRequest(uint8_t bIocId, uint8_t bDeviceIndex, uint8_t fLocked);
// How many requests wait in the device's ring (0 for an index of none).
uint16_t wGetSASRepostRingCount(uint8_t bDeviceIndex);

}  // namespace fw
