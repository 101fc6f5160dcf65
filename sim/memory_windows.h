// Memory the firmware knows by address or by window name: the boot ROM's
// parameter block, the exception vector page and data-buffer bank 0, mapped
// at the processor address chips are given for DMA.
//
// The firmware reaches bank 0 by processor address, plus the distance its
// image keeps its bank at (hw/addresses.h: none for the controller's, far
// above 4 GiB for a second controller's on a 64-bit host), so the bank must
// sit there while the board's processor runs.  Each board's bank 0 is a
// memory file the device models always reach through a view of their own
// (Translate); the processor window shows it at that address.  Two
// controllers side by side run different images, so each keeps its window
// for good.  Two boards whose windows fall on the same addresses (a 32-bit
// host, or boards of one image) take turns: the window shows the bank of
// the board whose processor runs now, moved over when another board's
// takes its turn.  The addresses a window may take are held from the first
// board on, so nothing else is ever mapped there.
//
// Bank 0 holds the write-back cache, kept by the cache battery: with a
// data directory it is a file there, mapped shared like the NVRAM image, so
// whatever ends the program (kill -9 included) leaves what the firmware last
// stored; without one it lives in memory for the board's life.  A flat
// battery keeps nothing: the bank powers on holding garbage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hw/addresses.h"
#include "hw/boot_rom.h"

namespace sim {

class MemoryWindows {
public:
    // What bank 0 is kept in and whether the cache battery kept it.
    struct Bank0 {
        std::string path;      // empty: memory only, for the board's life
        bool batteryCharged = true;
        uint64_t garbageSeed = 0;   // what a bank that kept nothing powers on holding
    };
    // memorySize: the boot ROM's memory size word; sdramBytes: as
    // fSdramSizeFits allows.
    // windowOffset: how far above its processor addresses the firmware
    // reaches bank 0.
    MemoryWindows(uint32_t memorySize, uint32_t sdramBytes, const Bank0& bank0, uintptr_t windowOffset = 0);
    ~MemoryWindows();
    MemoryWindows(const MemoryWindows&) = delete;
    MemoryWindows& operator=(const MemoryWindows&) = delete;
    uint8_t* bootBlock() { return m_boot.data(); }
    uint8_t* vectorPage() { return m_vectors.data(); }
    // Bank 0 at its processor address: what this board's processor sees
    // while it holds the processor window (a lone board always does).
    uint8_t* bank0() { return reinterpret_cast<uint8_t*>(m_windowOffset + m_bank0Address); }
    // The processor window shows this board's bank 0 from now on.
    void HoldProcessorWindow();
    uint32_t bank0Address() const { return m_bank0Address; }
    // The processor address of a pointer this board's firmware holds: into
    // bank 0 it lies at the firmware's window offset, which is taken away.
    // For a test that finds such memory through Translate.
    uint32_t ProcessorAddressOf(const volatile void* p) const {
        const uintptr_t u = reinterpret_cast<uintptr_t>(p);
        if (u - (m_windowOffset + m_bank0Address) <= m_bank0Size) return static_cast<uint32_t>(u - m_windowOffset);
        return fw::dAddressWord(p);
    }
    uint32_t bank0Size() const { return m_bank0Size; }
    // Host pointer for a processor address in data-buffer memory (DMA),
    // null when [address, address + length) is not all buffer memory.
    uint8_t* Translate(uint32_t address, uint32_t length) {
        if (address >= m_bank0Address && length <= m_bank0Size && address - m_bank0Address <= m_bank0Size - length) {
            ++m_transfers;
            m_bytes += length;
            return m_bank0 + (address - m_bank0Address);
        }
        return nullptr;
    }
    uint8_t* Translate(fw::CPU_ADDRESS address, uint32_t length) {
        return Translate(static_cast<uint32_t>(address), length);
    }
    // The same for a bus address a chip was given: the board maps buffer
    // memory so that the two are the same number.
    uint8_t* Translate(fw::BUS_ADDRESS address, uint32_t length) {
        return Translate(static_cast<uint32_t>(address), length);
    }
    // What reached buffer memory by address so far: the transfers and
    // their bytes (the bus performance monitor's traffic).
    uint64_t transfers() const { return m_transfers; }
    uint64_t bytes() const { return m_bytes; }
    static constexpr uint32_t kBootBlockAddress = fw::BOOT_BLOCK_ADDRESS;
    static constexpr uint32_t kBootBlockSize = fw::BOOT_BLOCK_END - kBootBlockAddress;
    static constexpr uint32_t kVectorPageSize = 4096;
#if defined(__SANITIZE_ADDRESS__) && UINTPTR_MAX == 0xFFFFFFFFu
    // A 32-bit build's sanitizer shadow memory begins one page below
    // 0x20000000: a 512 MiB bank ends that page short.
    static constexpr uint32_t kMaxSdramBytes = 512u << 20;
    static constexpr uint32_t kMappableEnd = 0x1FFFF000;
#else
    static constexpr uint32_t kMaxSdramBytes = 1024u << 20;
    static constexpr uint32_t kMappableEnd = kMaxSdramBytes;
#endif
    // Sizes the memory controller's bank size register names (a size code
    // of 1, 2, 4 or 8 times 128 MiB) and this program can map.
    static bool fSdramSizeFits(uint32_t sdramBytes) {
        const uint32_t code = sdramBytes / (128u << 20);
        return sdramBytes % (128u << 20) == 0 && (code == 1 || code == 2 || code == 4 || code == 8) &&
               sdramBytes <= kMaxSdramBytes;
    }
    // The bank size register for the size: its code in bits 31-27, single
    // sided (bit 2), so the size is not doubled.  A size it cannot name
    // reads as code 0, an empty bank.
    static uint32_t SbsrValue(uint32_t sdramBytes) {
        const uint32_t code = sdramBytes % (128u << 20) == 0 ? sdramBytes / (128u << 20) : 0;
        return (code == 1 || code == 2 || code == 4 || code == 8 ? code << 27 : 0) | 0x4;
    }
    // Whether bank 0 powered on with what the last run left in it (a kept
    // bank file and a charged battery).
    bool bank0Kept() const { return m_bank0Kept; }

private:
    std::vector<uint8_t> m_boot;
    std::vector<uint8_t> m_vectors;
    int m_bank0File = -1;
    uint8_t* m_bank0 = nullptr;   // the device models' view
    uint32_t m_bank0Address = 0;
    uint32_t m_bank0Size = 0;
    uintptr_t m_windowOffset = 0;
    uint64_t m_transfers = 0;
    uint64_t m_bytes = 0;
    bool m_bank0Kept = false;
};

}  // namespace sim
