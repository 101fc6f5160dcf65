#include "sim/fiber.h"
#include "sim/low_memory.h"

#include <sys/mman.h>
#include <ucontext.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define SIM_ASAN 1
#endif

namespace sim {

namespace {
constexpr size_t kStackSize = 8u << 20;
}

struct Fiber::Impl {
    ucontext_t caller{};
    ucontext_t self{};
    void* stack = nullptr;
    std::function<void()> entry;
    bool finished = false;
    const void* callerBottom = nullptr;
    size_t callerSize = 0;
    void* fakeStack = nullptr;
    Fiber* owner = nullptr;

    static void Trampoline(int lo, int hi) {
        uintptr_t p = static_cast<uintptr_t>(static_cast<unsigned>(lo)) |
                      (sizeof(uintptr_t) > 4 ? static_cast<uintptr_t>(static_cast<unsigned>(hi)) << 16 << 16 : 0);
        Impl* impl = reinterpret_cast<Impl*>(p);
#ifdef SIM_ASAN
        __sanitizer_finish_switch_fiber(nullptr, &impl->callerBottom, &impl->callerSize);
#endif
        impl->entry();
        impl->finished = true;
        impl->owner->m_inside = false;
#ifdef SIM_ASAN
        __sanitizer_start_switch_fiber(nullptr, impl->callerBottom, impl->callerSize);
#endif
        setcontext(&impl->caller);
    }
};

Fiber::Fiber() : m_impl(new Impl) {
    m_impl->owner = this;
    // The firmware hands addresses of its locals to chips and records as
    // 32-bit words: its stack lies below 4 GiB, as all it addresses does.
    void* p = MapLowMemory(kStackSize);
    if (p == nullptr) {
        std::fprintf(stderr, "board: cannot allocate the processor stack\n");
        std::exit(1);
    }
    m_impl->stack = p;
}

Fiber::~Fiber() {
#ifdef SIM_ASAN
    // The sanitizer keeps the poison of an abandoned run's frames after the
    // unmap; memory mapped there later (an NVRAM file) would read as stack.
    __asan_unpoison_memory_region(m_impl->stack, kStackSize);
#endif
    munmap(m_impl->stack, kStackSize);
}

void Fiber::Start(std::function<void()> entry) {
#ifdef SIM_ASAN
    // An abandoned run may have left its frames poisoned.
    __asan_unpoison_memory_region(m_impl->stack, kStackSize);
#endif
    m_impl->entry = std::move(entry);
    m_impl->finished = false;
    getcontext(&m_impl->self);
    m_impl->self.uc_stack.ss_sp = m_impl->stack;
    m_impl->self.uc_stack.ss_size = kStackSize;
    m_impl->self.uc_link = nullptr;
    uintptr_t p = reinterpret_cast<uintptr_t>(m_impl.get());
    int lo = static_cast<int>(static_cast<unsigned>(p));
    int hi = static_cast<int>(static_cast<unsigned>(static_cast<uint64_t>(p) >> 32));
    makecontext(&m_impl->self, reinterpret_cast<void (*)()>(&Impl::Trampoline), 2, lo, hi);
    m_started = true;
}

bool Fiber::Resume() {
    if (!m_started || m_impl->finished) return true;
    m_inside = true;
#ifdef SIM_ASAN
    __sanitizer_start_switch_fiber(&m_impl->fakeStack, m_impl->stack, kStackSize);
#endif
    swapcontext(&m_impl->caller, &m_impl->self);
#ifdef SIM_ASAN
    __sanitizer_finish_switch_fiber(m_impl->fakeStack, nullptr, nullptr);
#endif
    m_inside = false;
    return m_impl->finished;
}

void Fiber::Yield() {
    m_inside = false;
#ifdef SIM_ASAN
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, m_impl->callerBottom, m_impl->callerSize);
#endif
    swapcontext(&m_impl->self, &m_impl->caller);
#ifdef SIM_ASAN
    __sanitizer_finish_switch_fiber(fake, &m_impl->callerBottom, &m_impl->callerSize);
#endif
    m_inside = true;
}

}  // namespace sim
