// Loop position maps of the Fibre Channel ports, the FC-AL translation
// between AL_PAs and loop IDs, the port loop state and the port database of
// one device.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t LOOP_IDS = 126;   // FC_AL_LOOP_IDS of hw/isp_fc.h
constexpr uint8_t NO_LOOP_ID = 0xFF;
constexpr uint8_t PORT_LOOP_STATE_VALID = 0xFF;

// One per port 1..4: byte 0 the number of AL_PAs, then the AL_PAs in loop order.
struct LOOP_POSITION_MAP {
    uint8_t abMap[128];
};

uint8_t bAlpaToLoopId(uint8_t bAlpa);
uint8_t fLoopIdToAlpa(uint8_t bLoopId, uint8_t* pbAlpa);

uint8_t BuildLoopPositionMap(uint8_t bPort);
uint8_t ReadLoopPositionMap(uint8_t bPort);
uint8_t bGetLoopMapCount(uint8_t bPort);
uint8_t bGetLoopMapAlpa(uint8_t bPort, uint8_t bPosition);
void SetLoopMapAlpa(uint8_t bPort, uint8_t bPosition, uint8_t bAlpa);
uint8_t bGetOwnLoopId(uint8_t bPort);
uint8_t bGetOwnAlpa(uint8_t bPort);
uint16_t wGetPortTopology(uint8_t bPort);
uint32_t dGetOwnPortId(uint8_t bPort);
uint8_t bGetPortLoopState(uint8_t bPort);
void SetPortLoopState(uint8_t bPort, uint8_t bValue);

uint8_t bGetPortDatabaseByAlpa(uint8_t bChip, uint8_t bAlpa, uint8_t* pbNodeName, uint8_t* pbPortName,
                               uint8_t* pbOptions, uint8_t* pbHardLoopId);
uint8_t bGetPortPrliOptions(uint8_t bChip, uint8_t bAlpa, uint8_t* pbOptions);

// The partner controller's drive-side port name on drive port 3 or 4.
void PartnerDrivePortName(uint8_t bPort, uint8_t* pbName);

// Start of day: every map empty, every port's state 0 and own loop ID unknown.
void InitLoopMaps();

}  // namespace fw
