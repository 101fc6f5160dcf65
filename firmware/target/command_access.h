// Where the CDB, the host LUN and the initiator of a host command lie, by
// the port code it came from: the received command block is kept at the
// head of its entry in the layout of the port's own chip.  An ISP24xx
// command is first converted into the ISP2x00 layout (ConvertAtio7Command),
// so that these accessors read both generations alike.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// The CDB of the command; none for a port code that carries no CDB.
uint8_t* pGetCommandCdb(KERNEL_ENTRY* psEntry);
const uint8_t* pGetCommandCdb(const KERNEL_ENTRY* psEntry);
uint16_t wGetCommandLun(const KERNEL_ENTRY* psEntry);
uint16_t wGetCommandInitiator(const KERNEL_ENTRY* psEntry);
// Fibre Channel: the initiator's 24-bit port id and the expected transfer
// length (FCP_DL) of the command; 0 for other ports.
uint32_t dGetCommandSourceId(const KERNEL_ENTRY* psEntry);
uint32_t dGetCommandExpectedLength(const KERNEL_ENTRY* psEntry);
// TRUE for the two Fibre Channel host port codes.
uint8_t fIsFibreHostCommand(const KERNEL_ENTRY* psEntry);

}  // namespace fw
