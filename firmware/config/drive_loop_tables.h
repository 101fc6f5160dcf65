// The device tables of the two Fibre Channel drive loops (paths 3 and 4):
// who sits at each loop position, and which devices arrays and spares have
// claimed.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t LOOP_DEVICE_ENTRIES = 128;
constexpr uint32_t LOOP_DEVICE_SEARCHED = 127;

#pragma pack(push, 1)
struct LOOP_DEVICE_ENTRY {
    uint8_t bLoopId;        // 0xFF = none
    uint8_t bPortDbByte;
    uint8_t fClaimed;       // claimed by an array member or spare, or not usable
    uint8_t fFailed;
    uint8_t abWwn[8];       // 0xFF bytes when none
};
static_assert(sizeof(LOOP_DEVICE_ENTRY) == 12);

struct LOOP_DEVICE_TABLE {
    uint8_t bCount;         // positions of the loop map
    uint8_t abReserved[3];
    LOOP_DEVICE_ENTRY asEntry[LOOP_DEVICE_ENTRIES];
};
#pragma pack(pop)

void AllocateDriveLoopTables();
LOOP_DEVICE_TABLE* pGetDriveLoopTable(uint8_t bPath);   // nullptr for paths other than 3 and 4
uint8_t ScanDriveLoop(LOOP_DEVICE_TABLE* psTable, uint8_t bPath);
uint8_t RescanDriveLoop(uint8_t bPath);
uint8_t bClaimLoopDevice(LOOP_DEVICE_TABLE* psTable, const uint8_t* pbWwn, uint8_t* pbLoopId, uint8_t fClaim,
                         uint8_t bMark);
uint8_t fGetDriveWwnByLoopId(uint8_t bPath, uint8_t bLoopId, uint8_t* pbWwn);
uint8_t fFindLoopIdByWwn(uint8_t bPath, uint8_t* pbLoopId, const uint8_t* pbWwn);
uint8_t fGetDriveLoopIdByHandle(uint8_t bPath, uint8_t bLoopId, uint8_t* pbByte);
uint8_t bGetLoopDeviceIndex(uint8_t bPath, uint8_t bLoopId, uint8_t* pbIndex);
uint8_t fIsLoopDevicePresent(uint8_t bPath, uint8_t bLoopId);
void RemoveLoopDevice(uint8_t bPath, uint8_t bLoopId);
void LocateLoopDevice(uint8_t bPath, uint8_t bLoopId, uint8_t* pbA, uint8_t* pbB);

}  // namespace fw
