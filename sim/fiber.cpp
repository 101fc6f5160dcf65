// The board and its processor trade control hundreds of thousands of
// times in a long run.  swapcontext saves and restores the signal mask with
// a system call at each trade, and the C library's longjmp, under the
// address sanitizer, asks for the signal stack twice: a run is entered once
// through its ucontext, and from then on the two stacks trade with the
// compiler's own setjmp and longjmp, which save what the frame needs and
// call nothing.
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

// The compiler's jump buffer: frame, stack and where to go on.
using JumpBuffer = void* [5];

// In a function of its own: the compiler's longjmp may not share a
// function with its setjmp.  The sanitizer would clear the poison of the
// stack left before every jump, as for a longjmp that abandons frames, at a
// system call each; these frames are kept, and the switch annotations
// below tell it which stack is in use.
#define SIM_NO_STACK_CLEARING __attribute__((no_sanitize_address))
SIM_NO_STACK_CLEARING __attribute__((noinline)) void JumpTo(JumpBuffer& to) { __builtin_longjmp(to, 1); }

}  // namespace

struct Fiber::Impl {
    JumpBuffer caller{};
    JumpBuffer self{};
    // A run's first entry, onto its fresh stack.
    ucontext_t start{};
    bool entered = false;
    void* stack = nullptr;
    std::function<void()> entry;
    bool finished = false;
    const void* callerBottom = nullptr;
    size_t callerSize = 0;
    void* fakeStack = nullptr;
    Fiber* owner = nullptr;

    SIM_NO_STACK_CLEARING static void Trampoline(int lo, int hi) {
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
        JumpTo(impl->caller);
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
    m_impl->entered = false;
    getcontext(&m_impl->start);
    m_impl->start.uc_stack.ss_sp = m_impl->stack;
    m_impl->start.uc_stack.ss_size = kStackSize;
    m_impl->start.uc_link = nullptr;
    uintptr_t p = reinterpret_cast<uintptr_t>(m_impl.get());
    int lo = static_cast<int>(static_cast<unsigned>(p));
    int hi = static_cast<int>(static_cast<unsigned>(static_cast<uint64_t>(p) >> 32));
    makecontext(&m_impl->start, reinterpret_cast<void (*)()>(&Impl::Trampoline), 2, lo, hi);
    m_started = true;
}

SIM_NO_STACK_CLEARING bool Fiber::Resume() {
    if (!m_started || m_impl->finished) return true;
    m_inside = true;
#ifdef SIM_ASAN
    __sanitizer_start_switch_fiber(&m_impl->fakeStack, m_impl->stack, kStackSize);
#endif
    if (__builtin_setjmp(m_impl->caller) == 0) {
        if (m_impl->entered) JumpTo(m_impl->self);
        m_impl->entered = true;
        setcontext(&m_impl->start);
    }
#ifdef SIM_ASAN
    __sanitizer_finish_switch_fiber(m_impl->fakeStack, nullptr, nullptr);
#endif
    m_inside = false;
    return m_impl->finished;
}

SIM_NO_STACK_CLEARING void Fiber::Yield() {
    m_inside = false;
#ifdef SIM_ASAN
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, m_impl->callerBottom, m_impl->callerSize);
#endif
    if (__builtin_setjmp(m_impl->self) == 0) JumpTo(m_impl->caller);
#ifdef SIM_ASAN
    __sanitizer_finish_switch_fiber(fake, &m_impl->callerBottom, &m_impl->callerSize);
#endif
    m_inside = true;
}

}  // namespace sim
