// Host chips on PCI Express and the chip services used at start-up and by
// the target engine: the PCI Express bring-up, firmware version, resource
// counts, host memory copy, the GPIO word, the logout entry and the request
// of the controller's throughput test.
#pragma once

#include <cstdint>

#include "hw/addresses.h"

namespace fw {

void QL2eInit();
uint8_t fQL2Setup(uint8_t bChip);

uint8_t bQLGetFirmwareVersion(uint8_t bChip, uint16_t* pwMajor, uint16_t* pwMinor, uint16_t* pwSubminor,
                              uint16_t* pwAttributes, uint32_t* pdMemorySize, uint16_t* pwMailbox6);
uint8_t StoreFirmwareVersion(uint8_t bChip, uint16_t wMajor, uint16_t wMinor, uint16_t wSubminor,
                             uint16_t wAttributes, uint32_t dMemorySize);
uint8_t bGetStoredFirmwareVersion(uint8_t bChip, uint16_t* pwMajor, uint16_t* pwMinor, uint16_t* pwSubminor,
                                  uint16_t* pwAttributes, uint32_t* pdMemorySize);
// Six counts from mailboxes 1, 2, 3, 6, 7 and 10.
uint8_t bQLGetResourceCounts(uint8_t bChip, uint16_t* pwCounts);
uint8_t bQLHostMemCopy(uint8_t bChip, uint32_t dByteCount, BUS_ADDRESS dSource, BUS_ADDRESS dDestination);
uint8_t HostMemCopyTest(uint8_t bChip);
uint8_t bSetHostChipGpio(uint8_t bChip, uint8_t f);
uint8_t bSendLogoutIocb(uint8_t bChip, uint32_t dPortId, uint16_t wHandle, uint8_t f);

struct THROUGHPUT_TEST_REQUEST {
    uint8_t bPath;
    uint8_t bParameter;
    uint8_t abState[5];
    uint8_t fMode;
    uint8_t bByte;
    uint32_t dDurationMs;
    uint64_t alCounter[2];
};
// Stores the parameters the console's throughput test runs with.
void RequestThroughputTest(uint8_t bPath, uint8_t bParameter, uint8_t bCount, uint8_t bByte);
const THROUGHPUT_TEST_REQUEST* psGetThroughputTestRequest();

}  // namespace fw
