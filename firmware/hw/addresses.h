// The kinds of address that cross into chips.
//
// The processor reaches a byte by its processor address, one 32-bit word:
// the processor is 32-bit.  Built for a 64-bit host a pointer is wider, but
// everything the firmware addresses (its code and statics, the board's
// memory windows, its stacks, buffers handed to it) lies below 4 GiB, so
// the word still names it; the conversions here check that, and stop the
// program rather than let an address lose its high half.
//
// A chip doing DMA over PCI is given the byte's bus address, the address
// the inbound window answers to.  In buffer bank 0 the two numbers are the
// same today; bank 1, the XOR engine and the Fibre Channel chips' windows
// make them differ, so each is its own type, and a conversion between them
// says what it does.  Both cost exactly a 32-bit word.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fw {

static_assert(sizeof(void*) >= 4, "a processor address is one 32-bit word");

// Stops the program: a pointer the firmware was to hold as a 32-bit word
// lies above 4 GiB (the board reports which).
[[noreturn]] void HwAddressAboveFourGiB(const volatile void* p);

// The processor addresses data-buffer memory may take: from the end of the
// smallest firmware memory (32 MB) to 1 GiB.
constexpr uint32_t BANK_WINDOW_LOWEST = 0x02000000;
constexpr uint32_t BANK_WINDOW_END = 0x40000000;

// Where the program shows this firmware's buffer memory, as a distance from
// its processor addresses.  Two controllers run side by side in one program
// (the second built with -Dfw=fw_b) both address buffer memory at the same
// processor addresses, as two real boards do, and a partner message names
// a buffer by that address; each sees its own bank.  On a 64-bit host the
// second firmware's bank lies at a distance of its own, far above 4 GiB, so
// both banks stay mapped at once; the conversions below add and take away
// the distance, so the words every record, chip and partner sees are the
// processor addresses.  A 32-bit host has no room for that: there both
// banks take turns at the processor addresses (the board moves them).
#if defined(FW_BANK_WINDOW_OFFSET) && UINTPTR_MAX > 0xFFFFFFFFu
constexpr uintptr_t BANK_WINDOW_OFFSET = FW_BANK_WINDOW_OFFSET;
#else
constexpr uintptr_t BANK_WINDOW_OFFSET = 0;
#endif

// The 32-bit word a pointer is, for a chip, a handle or a record.  A null
// pointer is word 0.
inline uint32_t dAddressWord(const volatile void* p) {
    uintptr_t u = reinterpret_cast<uintptr_t>(p);
    if constexpr (BANK_WINDOW_OFFSET != 0) {
        if (u - (BANK_WINDOW_OFFSET + BANK_WINDOW_LOWEST) <= BANK_WINDOW_END - BANK_WINDOW_LOWEST) {
            u -= BANK_WINDOW_OFFSET;
        }
    }
    if constexpr (sizeof(uintptr_t) > 4) {
        if (__builtin_expect(u > 0xFFFFFFFFu, 0)) HwAddressAboveFourGiB(p);
    }
    return static_cast<uint32_t>(u);
}
// A function's entry point as a word (vectors, handlers shown on the console).
template <typename R, typename... A>
inline uint32_t dAddressWord(R (*pfn)(A...)) {
    return dAddressWord(reinterpret_cast<const volatile void*>(pfn));
}
// And back: the pointer a word names.
template <typename T = void>
inline T* pAddressWordToPointer(uint32_t dWord) {
    uintptr_t u = dWord;
    if constexpr (BANK_WINDOW_OFFSET != 0) {
        if (dWord - BANK_WINDOW_LOWEST <= BANK_WINDOW_END - BANK_WINDOW_LOWEST) u += BANK_WINDOW_OFFSET;
    }
    return reinterpret_cast<T*>(u);
}

// A pointer kept in one 32-bit word, for records whose byte layout is fixed
// (packed command fields carved out of an entry): byte aligned, as the
// fields around it, and read and written as the pointer it holds.
template <typename T>
class WORD_POINTER {
public:
    WORD_POINTER() = default;
    WORD_POINTER(T* p) { Set(p); }                  // NOLINT: stands in for T*
    WORD_POINTER(std::nullptr_t) { Set(nullptr); }  // NOLINT
    WORD_POINTER& operator=(T* p) {
        Set(p);
        return *this;
    }
    operator T*() const {  // NOLINT
        uint32_t dWord;
        __builtin_memcpy(&dWord, m_abWord, sizeof dWord);
        return pAddressWordToPointer<T>(dWord);
    }
    T* operator->() const { return *this; }
    T& operator*() const { return *static_cast<T*>(*this); }

private:
    void Set(T* p) {
        const uint32_t dWord = dAddressWord(p);
        __builtin_memcpy(m_abWord, &dWord, sizeof dWord);
    }
    uint8_t m_abWord[4];
};
static_assert(sizeof(WORD_POINTER<uint8_t>) == 4 && alignof(WORD_POINTER<uint8_t>) == 1);

enum class CPU_ADDRESS : uint32_t {};
enum class BUS_ADDRESS : uint32_t {};

// A byte further on.
constexpr CPU_ADDRESS operator+(CPU_ADDRESS dAddress, uint32_t dOffset) {
    return CPU_ADDRESS{static_cast<uint32_t>(dAddress) + dOffset};
}
constexpr BUS_ADDRESS operator+(BUS_ADDRESS dAddress, uint32_t dOffset) {
    return BUS_ADDRESS{static_cast<uint32_t>(dAddress) + dOffset};
}
// How far one processor address lies beyond another.
constexpr uint32_t operator-(CPU_ADDRESS dAddress, CPU_ADDRESS dBase) {
    return static_cast<uint32_t>(dAddress) - static_cast<uint32_t>(dBase);
}

// Memory the firmware holds by pointer, and back.
inline CPU_ADDRESS dCpuAddressOf(const volatile void* p) { return CPU_ADDRESS{dAddressWord(p)}; }
inline void* pCpuAddressToPointer(CPU_ADDRESS dAddress) {
    return pAddressWordToPointer(static_cast<uint32_t>(dAddress));
}

}  // namespace fw
