#include "sim/memory_windows.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

MemoryWindows::MemoryWindows(uint32_t memorySize) : m_boot(kBootBlockSize, 0), m_vectors(kVectorPageSize, 0) {
    // Bank 0 begins where the firmware's own memory ends; chips get its
    // addresses for DMA, so it must sit at exactly that processor address.
    uint32_t base = memorySize == 0x04000000 ? 0x04000000 : 0x02000000;
    m_bank0Address = base;
    m_bank0Size = kSdramBytes - base;
    void* p = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(base)), m_bank0Size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED || p != reinterpret_cast<void*>(static_cast<uintptr_t>(base))) {
        std::fprintf(stderr, "board: cannot map buffer bank 0 at 0x%08x\n", base);
        std::exit(1);
    }
    m_bank0 = static_cast<uint8_t*>(p);
}

MemoryWindows::~MemoryWindows() { munmap(m_bank0, m_bank0Size); }

}  // namespace sim
