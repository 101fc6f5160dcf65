// The transfer parameters a parallel SCSI host port negotiated with its
// host, in a short and a long form, and their page for both host ports.
#pragma once

#include <cstdint>

namespace fw {

// The port codes of the two parallel SCSI host ports.
constexpr uint8_t SCSI_HOST_PORT_0 = 49;
constexpr uint8_t SCSI_HOST_PORT_1 = 50;

void PrintNegotiatedParameters(uint32_t dWord, uint8_t fLong);
void ShowNegotiatedParameters();
// The line of a host port's own SCSI ID: its parameters, or "Unavailable".
void PrintOwnScsiIdParameters(uint8_t bPortCode, uint8_t fLong);

}  // namespace fw
