// Mailbox commands of the chips' firmware that the host ports use, each one
// interrupt-driven command; and the loop reset requests the interrupt
// handlers raise and the main loop serves.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
#include "hw/addresses.h"

namespace fw {

constexpr uint8_t QL_RESULT_COMMAND_ERROR = 20;   // mailbox 0 answered 0x4006
constexpr uint8_t QL_RESULT_SFP_PARAMETER = 0xFB; // the second SFP half answered 0x4005
constexpr uint16_t QL_FIRMWARE_STATE_UNREAD = 0x1234;
constexpr uint32_t QL_PORT_DATABASE_BYTES = 128;
constexpr uint32_t QL_LOOP_MAP_BYTES = 128;
constexpr uint32_t QL_SFP_PAGE_BYTES = 128;

uint8_t bGetFirmwareState(uint8_t bChip, uint16_t* pwState);
uint8_t bQLGetLoopId(uint8_t bChip, uint8_t* pbAlpa, uint32_t* pdPortId, uint16_t* pwTopology);
uint8_t bQLGetLoopPositionMap(uint8_t bChip, uint8_t* pbMap);
uint8_t bQLGetPortDatabase(uint8_t bChip, uint8_t bAlpa, uint8_t* pbDatabase);
uint8_t bQLGetPortDatabaseById(uint8_t bChip, uint16_t wId, uint8_t* pbDatabase);
uint8_t bQLGetPortName(uint8_t bChip, uint16_t wId, uint8_t fPortName, uint8_t* pbName, uint8_t* pbLoopId);
uint8_t bQLGetPortNameBE(uint8_t bChip, uint16_t wId, uint8_t fPortName, uint8_t* pbName, uint8_t* pbLoopId);
uint8_t bQLGetLinkStatus(uint8_t bChip, uint8_t bAlpa, BUS_ADDRESS dBufferAddress, uint16_t wOption);
uint8_t bQLReadSfp(uint8_t bChip, uint8_t fDiagnostics, BUFFER_HANDLE dBufferHandle);
uint8_t bQLRegisterFc4Types(uint8_t bChip, uint32_t dPortId);
uint8_t bQLResetLoop(uint8_t bPort);
// Hands one 64-byte request entry (by bus address) to the chip; returns once
// the host interrupt is set: the caller waits for the completion.
uint8_t bQLExecuteIocb(uint8_t bChip, BUS_ADDRESS dEntryAddress);

void ResetLoop(uint8_t bPort);
void SetLoopResetRequest(uint8_t bPort, uint8_t f);
uint8_t fGetLoopResetRequest(uint8_t bPort);

}  // namespace fw
