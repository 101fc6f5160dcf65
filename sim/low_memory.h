// Memory below 4 GiB for what the firmware addresses by 32-bit word: its
// processor stacks, buffers a test hands it.  The program's own statics are
// there already (it is linked at a fixed low address); the host's heap and
// its other mappings may lie anywhere.
#pragma once

#include <cstddef>

namespace sim {

// Private, zeroed, readable and writable pages below 4 GiB, or null when
// none are free there.  Given back with munmap.
void* MapLowMemory(size_t bytes);

}  // namespace sim
