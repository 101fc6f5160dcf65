#include "platform/i2c.h"

#include "executive/types.h"

namespace fw {

namespace {
// Where the poll of the devices on I2C unit 2 stands: 0 is idle.
uint8_t s_bI2c2PollState;
}  // namespace

void ResetI2c2DevicePoll() { s_bI2c2PollState = 0; }

}  // namespace fw
