// The main loop's progress bytes: every layer writes them, the watchdog reads them.
#include "executive/progress.h"

namespace fw {

uint8_t bMainLoopStage;
uint8_t bBackgroundStep;
uint8_t bServiceSubStep;
uint32_t dMainLoopCycles;

}  // namespace fw
