// What is attached to the host ports: the initiators logged in on each host
// port of this controller and of the partner, the per-port link flags, and
// the controller information record exchanged with the partner and the
// management pages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

constexpr uint32_t HOST_PORT_INITIATORS = 255;

#pragma pack(push, 1)
struct HOST_INITIATOR {
    uint8_t bId;          // loop ID or handle; 0 when free
    uint8_t fLoggedIn;
    uint8_t fFabric;      // logged in through a fabric
    uint8_t bByte3;
    uint8_t abNodeName[8];
    uint8_t abPortName[8];
};
static_assert(sizeof(HOST_INITIATOR) == 20);

struct HOST_PORT_RECORD {
    uint8_t bInitiatorCount;
    uint8_t abReserved[3];
    HOST_INITIATOR asInitiator[HOST_PORT_INITIATORS];
};
static_assert(sizeof(HOST_PORT_RECORD) == 5104);
#pragma pack(pop)

// The controller information record exchanged with the partner and served by
// the management pages and the information menus.
struct CONTROLLER_INFO_RECORD {
    char acConfigName[64];
    uint8_t abNvramWwn[8];
    uint8_t abWwnInUse[8];
    uint32_t dGeneration;
    uint32_t dStartCount;
    uint32_t dTickTime;
    uint32_t dNvramValue;
    uint8_t abDateTime[8];
    uint32_t dFirmwareVersion;
    char acVersion[4];
    char acBuildDate[16];
    char acBuildTime[16];
    uint8_t abHostPort[2][2];      // link code, address
    uint8_t abDrivePaths[4];
    uint16_t awVoltage[14];        // millivolts
    uint8_t bCacheProtection;
    uint8_t bByte181;
    uint8_t bBoardCode;
    uint8_t bBoardValue;
    uint16_t wBank0Megabytes;
    uint16_t wWord186;
    uint8_t bByte188;
    uint8_t bByte189;
    uint8_t bByte190;
    uint8_t bByte191;
    uint32_t dVersionRecordValue;
    uint8_t abTemperature[3];      // board sensors 0..2 in degrees Celsius, 0 none
    char acBootPromRevision[4];
    uint8_t abReserved203[9];
    uint8_t bBatteryCapacity;
    uint8_t bHoldUpEstimate;
    uint8_t bByte214;
    uint8_t bByte215;
    uint8_t bHostInterfaceCode;
    uint8_t bByte217;
    uint16_t wFeatureMask;
};
static_assert(sizeof(CONTROLLER_INFO_RECORD) == 220);
static_assert(offsetof(CONTROLLER_INFO_RECORD, abNvramWwn) == 64);
static_assert(offsetof(CONTROLLER_INFO_RECORD, dGeneration) == 80);
static_assert(offsetof(CONTROLLER_INFO_RECORD, abDateTime) == 96);
static_assert(offsetof(CONTROLLER_INFO_RECORD, dNvramValue) == 92);
static_assert(offsetof(CONTROLLER_INFO_RECORD, dFirmwareVersion) == 104);
static_assert(offsetof(CONTROLLER_INFO_RECORD, acVersion) == 108);
static_assert(offsetof(CONTROLLER_INFO_RECORD, acBuildDate) == 112);
static_assert(offsetof(CONTROLLER_INFO_RECORD, acBuildTime) == 128);
static_assert(offsetof(CONTROLLER_INFO_RECORD, abHostPort) == 144);
static_assert(offsetof(CONTROLLER_INFO_RECORD, abDrivePaths) == 148);
static_assert(offsetof(CONTROLLER_INFO_RECORD, awVoltage) == 152);
static_assert(offsetof(CONTROLLER_INFO_RECORD, bCacheProtection) == 180);
static_assert(offsetof(CONTROLLER_INFO_RECORD, bBoardCode) == 182);
static_assert(offsetof(CONTROLLER_INFO_RECORD, wBank0Megabytes) == 184);
static_assert(offsetof(CONTROLLER_INFO_RECORD, bByte188) == 188);
static_assert(offsetof(CONTROLLER_INFO_RECORD, bByte191) == 191);
static_assert(offsetof(CONTROLLER_INFO_RECORD, dVersionRecordValue) == 192);
static_assert(offsetof(CONTROLLER_INFO_RECORD, abTemperature) == 196);
static_assert(offsetof(CONTROLLER_INFO_RECORD, acBootPromRevision) == 199);
static_assert(offsetof(CONTROLLER_INFO_RECORD, bBatteryCapacity) == 212);
static_assert(offsetof(CONTROLLER_INFO_RECORD, bHostInterfaceCode) == 216);
static_assert(offsetof(CONTROLLER_INFO_RECORD, wFeatureMask) == 218);

// Host port codes: 1/0x31/0x71 name port 1, 2/0x32/0x72 port 2.
uint8_t fIsHostPortCode(uint8_t bPort);
uint8_t fIsHostPort1Code(uint8_t bPort);

void AllocateHostPortRecords();
HOST_PORT_RECORD* pGetHostPortRecord(uint8_t bPort);
HOST_PORT_RECORD* pGetHostPortRecords();
HOST_PORT_RECORD* pGetPartnerPortRecord(uint8_t bPort);
HOST_PORT_RECORD* pGetPartnerPortRecords();
void ClearHostPortRecord(uint8_t bPort);
void ClearHostPortRecords();
void ClearPartnerPortRecords();
uint8_t fFindNameInPortList(HOST_PORT_RECORD* psRecord, const uint8_t* pbName, uint8_t* pbId, uint8_t fFlag,
                            uint8_t fNodeName);
uint8_t fFindNameInPartnerPorts(uint8_t* pbPort, const uint8_t* pbName, uint8_t* pbId, uint8_t fNodeName);
uint8_t GetPartnerNodeName(uint8_t bPort, uint8_t bId, uint8_t* pbName);
uint8_t fGetHostPortNodeWwn(uint8_t bPort, uint8_t bId, uint8_t* pbName);
uint8_t GetHostPortPortName(uint8_t bPort, uint8_t bId, uint8_t* pbName);
uint8_t fIsHostPortIdKnown(uint8_t bPort, uint8_t bId);

uint8_t bGetHostPortLinkFlag(uint8_t bPort);
void SetHostPortLinkFlag(uint8_t bPort, uint8_t f);
uint8_t fAnyHostPortLinkFlag();
uint8_t fGetDriveLoopsStarted();
void SetDriveLoopsStarted(uint8_t f);
uint8_t bGetDriveLoopAvailable(uint8_t bPath);
void SetDriveLoopAvailable(uint8_t bPath, uint8_t f);
void BuildControllerInfoRecord(CONTROLLER_INFO_RECORD* psRecord);
// The features this controller offers (bit 1 data services, bit 2 RAID 6).
uint32_t dGetFeatureMask();

}  // namespace fw
