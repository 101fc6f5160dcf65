#include "sim/memory_windows.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "sim/setup.h"

namespace sim {

namespace {

// The lowest processor address bank 0 takes (with 32 MB of firmware
// memory): from there to the top of the SDRAM the processor window lies,
// whatever the memory size.
constexpr uint32_t kLowestBank0Address = fw::BANK_WINDOW_LOWEST;
static_assert(MemoryWindows::kMappableEnd <= fw::BANK_WINDOW_END,
              "the firmware adds its window offset to every bank address");

// Per window offset, the windows whose bank 0 shows there now (null: none
// yet).  There is one address space, and few firmware images in it; a
// deque, so that a window found stays where it is when another is added.
struct ProcessorWindow {
    uintptr_t offset;
    MemoryWindows* holder;
};
std::deque<ProcessorWindow> g_processorWindows;

[[noreturn]] void Fail(const char* what, uintptr_t address) {
    std::fprintf(stderr, "board: cannot %s buffer bank 0 at 0x%08llx\n", what,
                 static_cast<unsigned long long>(address));
    std::exit(1);
}

void* At(uintptr_t address) { return reinterpret_cast<void*>(address); }

// Every address bank 0 may take is held, inaccessible, from the first
// board on, so that no other mapping (a board's own view of its bank,
// anything the program maps) lands where a processor window must go.
void Reserve(uintptr_t address, uint32_t size, int flags) {
    void* p = mmap(At(address), size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | flags, -1, 0);
    if (p != At(address)) Fail("reserve", address);
}

// The window at this offset: reserved, with its holder.
ProcessorWindow& WindowAt(uintptr_t offset) {
    for (ProcessorWindow& w : g_processorWindows) {
        if (w.offset == offset) return w;
    }
    Reserve(offset + kLowestBank0Address, MemoryWindows::kMappableEnd - kLowestBank0Address, MAP_FIXED_NOREPLACE);
    g_processorWindows.push_back({offset, nullptr});
    return g_processorWindows.back();
}

// Opens (or makes) the bank's file at its size; true when it holds what an
// earlier run left.  A file of another size was made for another memory
// size: what it holds is no bank of this board's, and it is made again.
bool OpenBankFile(const std::string& path, uint32_t size, int* fd) {
    *fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat st {};
    if (*fd < 0 || fstat(*fd, &st) != 0) FailSetup(path, std::strerror(errno));
    // Anything but a plain file is somebody else's: never cut it.
    if (!S_ISREG(st.st_mode)) FailSetup(path, "not a bank image; move it away or choose another --data-dir");
    const bool kept = st.st_size == static_cast<off_t>(size);
    if (!kept && (ftruncate(*fd, 0) != 0 || ftruncate(*fd, size) != 0)) FailSetup(path, std::strerror(errno));
    AllocateWhole(*fd, path, size);
    return kept && st.st_size != 0;
}

// What memory holds when nothing kept it: not zeros, so that nothing can
// pass for a kept bank by luck.
void FillWithGarbage(uint8_t* p, uint32_t size, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
    for (uint32_t i = 0; i + 8 <= size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(p + i, &x, 8);
    }
}

}  // namespace

MemoryWindows::MemoryWindows(uint32_t memorySize, uint32_t sdramBytes, const Bank0& bank, uintptr_t windowOffset)
    : m_boot(kBootBlockSize, 0), m_vectors(kVectorPageSize, 0), m_windowOffset(windowOffset) {
    // Bank 0 begins where the firmware's own memory ends; chips get its
    // addresses for DMA, so it must sit at exactly that processor address.
    uint32_t base = memorySize == 0x04000000 ? 0x04000000 : kLowestBank0Address;
    // A size the program cannot map leaves bank 0 at the smallest SDRAM;
    // the bank size register still tells the firmware what it was given,
    // and the firmware hands out no more than the board maps.
    const uint32_t sdram = fSdramSizeFits(sdramBytes) ? sdramBytes : 128u << 20;
    m_bank0Address = base;
    m_bank0Size = std::min(sdram, kMappableEnd) - base;
    ProcessorWindow& window = WindowAt(m_windowOffset);
    bool kept = false;
    if (bank.path.empty()) {
        m_bank0File = memfd_create("bank0", MFD_CLOEXEC);
        if (m_bank0File < 0 || ftruncate(m_bank0File, m_bank0Size) != 0) Fail("create", base);
    } else {
        kept = OpenBankFile(bank.path, m_bank0Size, &m_bank0File);
    }
    // The board's own view, anywhere the host likes but the window's addresses.
    void* p = mmap(nullptr, m_bank0Size, PROT_READ | PROT_WRITE, MAP_SHARED, m_bank0File, 0);
    if (p == MAP_FAILED) Fail("view", base);
    m_bank0 = static_cast<uint8_t*>(p);
    m_bank0Kept = kept && bank.batteryCharged;
    if (!bank.batteryCharged) FillWithGarbage(m_bank0, m_bank0Size, bank.garbageSeed);
    // A lone board holds the processor window from the start, so the
    // firmware's code can be called outside a run too.
    if (window.holder == nullptr) HoldProcessorWindow();
}

MemoryWindows::~MemoryWindows() {
    ProcessorWindow& window = WindowAt(m_windowOffset);
    if (window.holder == this) {
        Reserve(m_windowOffset + m_bank0Address, m_bank0Size, MAP_FIXED);
        window.holder = nullptr;
    }
    munmap(m_bank0, m_bank0Size);
    close(m_bank0File);
}

void MemoryWindows::HoldProcessorWindow() {
    ProcessorWindow& window = WindowAt(m_windowOffset);
    MemoryWindows* const holder = window.holder;
    if (holder == this) return;
    // A window that reaches lower than this one is held back first.
    if (holder != nullptr && holder->m_bank0Address < m_bank0Address) {
        Reserve(m_windowOffset + holder->m_bank0Address, holder->m_bank0Size, MAP_FIXED);
    }
    window.holder = nullptr;
    void* p = mmap(bank0(), m_bank0Size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, m_bank0File, 0);
    if (p != bank0()) Fail("map", reinterpret_cast<uintptr_t>(bank0()));
    window.holder = this;
}

}  // namespace sim
