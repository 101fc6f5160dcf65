// The memory of trouble on the drive loops: a table of drives recently lost
// or failing, by WWN; the loop IDs the interrupt path marked as gone; the
// report of drives that vanished at bring-up; the one-command probe of
// every drive; and the readiness flags host TEST UNIT READY answers from.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t DRIVE_LOOP_DEVICE_ENTRIES = 126;
constexpr uint8_t LOOP_DEVICE_LOST_ONE_PATH = 103;
constexpr uint8_t LOOP_DEVICE_LOST = 104;
constexpr uint8_t LOOP_DEVICE_FAILED = 17;
constexpr uint8_t LOOP_DEVICE_EXPIRED = 0xFF;
constexpr uint32_t LOOP_PROBE_HANDLE = 0xFFFFFC00;
constexpr uint32_t LOOP_PROBE_WAIT_MS = 5000;

#pragma pack(push, 1)
struct DRIVE_LOOP_DEVICE {
    uint32_t dTick;
    uint8_t abWwn[8];
    uint8_t bState;
    uint8_t bSpare;
    uint8_t fPending;
    uint8_t bReserved;
};
#pragma pack(pop)
static_assert(sizeof(DRIVE_LOOP_DEVICE) == 16);

void InitDriveLoopDeviceTable();
// Start-up's table allocation step: the device table starts empty.
uint8_t bSetUpDriveLoopDeviceTable();
void ClearDriveLoopDeviceTable();
void RecordDriveLoopDeviceState(const uint8_t* pbWwn, uint8_t bPort, uint8_t bState);
uint8_t fIsDriveLoopDeviceFailed(const uint8_t* pbWwn);
uint8_t fTakeDriveLoopDeviceReport(const uint8_t* pbWwn, uint8_t fKind);
void AgeDriveLoopDeviceTable();
uint8_t bGetDriveLoopDeviceCount();
const DRIVE_LOOP_DEVICE* psGetDriveLoopDevice(uint8_t bIndex);
// Reports the table had no room for.
uint32_t dGetDriveLoopDeviceDrops();

void SetLoopIdAttentionBit(uint8_t bPort, uint8_t bLoopId, uint8_t f);
uint8_t fIsLoopIdAttentionBitSet(uint8_t bPort, uint8_t bLoopId);
void ClearLoopIdAttentionBits(uint8_t bPort);

void ReportLostLoopDevices();
void ProbeDriveLoops(uint8_t bMapResult3, uint8_t bMapResult4);
void ProbeDriveLoopsAtShutdown(uint8_t bMapResult3, uint8_t bMapResult4);
void IncrementProbeCompletions();
void SetProbeCompletions(uint16_t w);
uint16_t wGetProbeCompletions();
void SetProbeStatus(uint8_t fCheck, uint8_t fValid, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq);
void GetProbeStatus(uint8_t* pbStatus);   // five bytes

// The readiness flags TEST UNIT READY answers from: the drive loops are
// ready, the drives are starting, the drive loops are held.
uint8_t fGetDriveLoopsReady();
void SetDriveLoopsReady(uint8_t f);
uint8_t fGetDrivesStarting();
void SetDrivesStarting(uint8_t f);
uint8_t fGetDriveLoopsHold();
void SetDriveLoopsHold(uint8_t f);

}  // namespace fw
