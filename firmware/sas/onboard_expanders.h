// The two onboard SAS expanders' PHY settings kept in NVRAM.
#pragma once

namespace fw {

// Writes the boards' default PHY setting words of both expanders into
// NVRAM (the console's reset of the expander configuration).
void WriteDefaultExpanderPhyConfig();

}  // namespace fw
