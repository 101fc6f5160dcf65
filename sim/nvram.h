// Battery-backed NVRAM: 512 KB that keep their contents across runs (a file
// in the data directory) and count every byte stored, so a test can cut the
// power after the k-th store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Board;

class Nvram {
public:
    static constexpr uint32_t kSize = 512 * 1024;
    static constexpr uint32_t kProcessorAddress = 0xF2000000;
    // `path` empty: in memory only.  A new NVRAM holds the factory WWN.
    Nvram(Board& board, const std::string& path, uint64_t factoryWwn);
    ~Nvram();
    Nvram(const Nvram&) = delete;
    Nvram& operator=(const Nvram&) = delete;
    uint8_t* Data() { return m_data; }
    std::vector<uint8_t> Image() const { return std::vector<uint8_t>(m_data, m_data + kSize); }
    void LoadImage(const std::vector<uint8_t>& image);
    // Byte stores, each counted; a run of them is cut short where the power fails.
    void Write(uint32_t offset, uint8_t value) { Store(offset, &value, 0, 1); }
    void Write(uint32_t offset, const uint8_t* bytes, uint32_t length) { Store(offset, bytes, 0, length); }
    void Fill(uint32_t offset, uint8_t value, uint32_t length) { Store(offset, nullptr, value, length); }
    uint64_t WriteCount() const { return m_writes; }
    // The k-th byte store from now is the last one: the power fails right
    // after it (0 disarms).
    void CutPowerAfterWrites(uint64_t k) { m_cutAfter = k; }
    void BatteryLost();  // contents gone: all zero
    // True when this NVRAM came new from the factory (no image before).
    bool Fresh() const { return m_fresh; }
    // Where the factory programs the controller WWN (eight bytes, most
    // significant first).
    static constexpr uint32_t kFactoryWwnOffset = 0x0C;
    void Sync();

private:
    // Stores `length` bytes from `bytes`, or `fill` when that is null.
    void Store(uint32_t offset, const uint8_t* bytes, uint8_t fill, uint32_t length);
    Board& m_board;
    uint8_t* m_data = nullptr;
    bool m_mapped = false;
    bool m_fresh = true;
    uint64_t m_writes = 0;
    uint64_t m_cutAfter = 0;
};

}  // namespace sim
