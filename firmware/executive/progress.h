// The main loop's diagnostic progress bytes, posted with every fault event;
// the tick halts the controller when the stage and the cycle counter stop
// changing.  The main loop sets the stage; the background pass and long
// services write the step bytes.
#pragma once

#include <cstdint>

namespace fw {

extern uint8_t bMainLoopStage;
extern uint8_t bBackgroundStep;
extern uint8_t bServiceSubStep;
extern uint32_t dMainLoopCycles;

// The main loop's stages: the service it last entered.
constexpr uint8_t LOOP_STAGE_NONE = 0;
constexpr uint8_t LOOP_STAGE_BACKGROUND = 1;
constexpr uint8_t LOOP_STAGE_PARTNER_MESSAGES = 2;
constexpr uint8_t LOOP_STAGE_CACHE_FLUSH = 3;
constexpr uint8_t LOOP_STAGE_REBUILD = 4;
constexpr uint8_t LOOP_STAGE_WAIT_LIST_A = 5;
constexpr uint8_t LOOP_STAGE_WAIT_LIST_B = 6;
constexpr uint8_t LOOP_STAGE_MODULE_COMPLETIONS = 8;
constexpr uint8_t LOOP_STAGE_DATA_AVAILABLE = 14;
constexpr uint8_t LOOP_STAGE_PARKED_COMMANDS = 15;   // plus the host port's place in the loop's list
constexpr uint8_t LOOP_STAGE_XOR_COMPLETIONS = 17;
constexpr uint8_t LOOP_STAGE_IPC_XOR_COMPLETIONS = 18;
constexpr uint8_t LOOP_STAGE_WRITE_READY_FIRST = 21;
constexpr uint8_t LOOP_STAGE_WRITE_READY_SECOND = 22;
constexpr uint8_t LOOP_STAGE_WRITE_COMPLETE = 25;
constexpr uint8_t LOOP_STAGE_NEW_HOST_COMMANDS = 31;
constexpr uint8_t LOOP_STAGE_LUN_QUEUES = 32;
constexpr uint8_t LOOP_STAGE_DRIVE_QUEUE = 0x20;             // plus the drive queue's index
constexpr uint8_t LOOP_STAGE_BACK_END_COMPLETIONS = 0x32;    // plus the drive queue's index
constexpr uint8_t LOOP_STAGE_DATA_RECEIVED = 64;
constexpr uint8_t LOOP_STAGE_OPTIMISATION = 65;

}  // namespace fw
