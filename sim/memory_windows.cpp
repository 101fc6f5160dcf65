#include "sim/memory_windows.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

// The windows whose bank 0 sits at its processor address now (null: none).
// One per process: there is one address space.
MemoryWindows* g_processorWindowHolder = nullptr;

[[noreturn]] void Fail(const char* what, uint32_t address) {
    std::fprintf(stderr, "board: cannot %s buffer bank 0 at 0x%08x\n", what, address);
    std::exit(1);
}

}  // namespace

MemoryWindows::MemoryWindows(uint32_t memorySize) : m_boot(kBootBlockSize, 0), m_vectors(kVectorPageSize, 0) {
    // Bank 0 begins where the firmware's own memory ends; chips get its
    // addresses for DMA, so it must sit at exactly that processor address.
    uint32_t base = memorySize == 0x04000000 ? 0x04000000 : 0x02000000;
    m_bank0Address = base;
    m_bank0Size = kSdramBytes - base;
    m_bank0File = memfd_create("bank0", MFD_CLOEXEC);
    if (m_bank0File < 0 || ftruncate(m_bank0File, m_bank0Size) != 0) Fail("create", base);
    // The board's own view goes high, out of the way of the processor's
    // window: a process that hands out addresses from the bottom up (one
    // run under valgrind) would put it right where the window must go.
    void* p = mmap(reinterpret_cast<void*>(uintptr_t{0x10000000}), m_bank0Size, PROT_READ | PROT_WRITE, MAP_SHARED,
                   m_bank0File, 0);
    if (p == MAP_FAILED) Fail("view", base);
    m_bank0 = static_cast<uint8_t*>(p);
    // A lone board holds the processor window from the start, so the
    // firmware's code can be called outside a run too.
    if (g_processorWindowHolder == nullptr) HoldProcessorWindow();
}

MemoryWindows::~MemoryWindows() {
    if (g_processorWindowHolder == this) {
        munmap(bank0(), m_bank0Size);
        g_processorWindowHolder = nullptr;
    }
    munmap(m_bank0, m_bank0Size);
    close(m_bank0File);
}

void MemoryWindows::HoldProcessorWindow() {
    MemoryWindows* const holder = g_processorWindowHolder;
    if (holder == this) return;
    // The same window is mapped over in place; a window of another memory
    // size is given back first, and a new one may take no address anything
    // else holds.
    int flags = MAP_SHARED | MAP_FIXED_NOREPLACE;
    if (holder != nullptr && holder->m_bank0Address == m_bank0Address && holder->m_bank0Size == m_bank0Size) {
        flags = MAP_SHARED | MAP_FIXED;
    } else if (holder != nullptr) {
        munmap(holder->bank0(), holder->m_bank0Size);
    }
    g_processorWindowHolder = nullptr;
    void* p = mmap(bank0(), m_bank0Size, PROT_READ | PROT_WRITE, flags, m_bank0File, 0);
    if (p == MAP_FAILED || p != bank0()) Fail("map", m_bank0Address);
    g_processorWindowHolder = this;
}

}  // namespace sim
