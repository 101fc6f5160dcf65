// The board's NOR flash and the boot ROM's choice of what to start from it.
// Sectors erase to 0xFF and take their time, a program can only clear bits,
// and every store (a word programmed, a sector erased) is counted, so a test
// can cut the power after the k-th one.  A new flash comes from the factory
// with a firmware image in its first slot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hw/flash.h"
#include "sim/bus.h"

namespace sim {

class Board;

class Flash : public Device {
public:
    static constexpr uint32_t kCtrlBase = fw::FLASH_CTRL_BASE;
    static constexpr uint32_t kWindowBase = fw::FLASH_WINDOW_BASE;
    static constexpr uint64_t kProgramNs = 10'000;
    static constexpr uint64_t kEraseNs = 200'000'000;
    // `path` empty: in memory only.  A file that holds no image the boot
    // ROM could start refuses the run; one cut short or gone from a board
    // that is not new (`newBoard` false) is written again with the factory
    // image, and the board is told (`Restored`).
    Flash(Board& board, const std::string& path, bool newBoard = true);
    ~Flash() override;
    Flash(const Flash&) = delete;
    Flash& operator=(const Flash&) = delete;
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    const std::vector<uint8_t>& Contents() const { return m_data; }
    void LoadContents(const std::vector<uint8_t>& contents);
    uint64_t StoreCount() const { return m_stores; }
    // The file was made again with the factory image at this start: what
    // it held before is gone.
    bool Restored() const { return m_restored; }
    // The k-th store from now is the last: the power fails right after it
    // (0 disarms).
    void CutPowerAfterStores(uint64_t k) { m_cutAfter = k; }
    // Faults of the part: programs or erases that fail with the error bit.
    bool failPrograms = false;
    bool failErases = false;
    // A leaky cell: bit 0 of the byte at this offset takes its program and
    // loses it at the next program of another word, with no error from the
    // part (-1: none).
    int64_t leakyCell = -1;

    // The boot ROM's choice: the slot with the newest whole record and image,
    // or -1 when none holds one (the board does not start).
    int BootSlot() const;
    uint32_t SlotSequence(int slot) const;
    std::vector<uint8_t> SlotImage(int slot) const;

    // A firmware image as the project makes them: the header and an ELF32
    // file of `elfBytes` (a multiple of 4) filled from `seed`; with
    // `secondElf` a second program rides behind the first.
    static std::vector<uint8_t> BuildImage(uint32_t elfBytes, uint32_t seed, bool secondElf = false);
    // The image a new flash holds from the factory, and the build's
    // controller.img: what an operator sends to update the controller.
    static std::vector<uint8_t> FactoryImage();

private:
    // Stores the bytes, or erases (0xFF) when `bytes` is null.
    void Store(uint32_t offset, const uint8_t* bytes, uint32_t length);
    void Command(uint32_t command);
    bool SlotValid(int slot, fw::FLASH_SLOT_RECORD* record) const;
    // What keeps the slot from being started, or null when it holds a whole image.
    const char* SlotFault(int slot, fw::FLASH_SLOT_RECORD* record) const;
    Board& m_board;
    std::vector<uint8_t> m_data;
    int m_fd = -1;
    uint32_t m_address = 0, m_dataWord = 0, m_status = 0;
    uint64_t m_busyUntil = 0;
    uint64_t m_stores = 0;
    uint64_t m_cutAfter = 0;
    bool m_restored = false;
};

}  // namespace sim
