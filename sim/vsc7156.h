// The onboard VSC7156 SAS expander of the Z8Q2 board as the controller
// sees it: its 4 MB SPI flash behind the CPLD's SPI registers (a page
// window with its bytes swapped, the six commands, programs that only
// clear bits, erase and program times) and its 8 KB SEEPROM at 0xA2 on I2C
// unit 2.  The expander boots the newer slot whose trailer is whole and
// whose image matches its CRC.  A new board comes from the factory with
// the boot image, the controller's expander firmware in the lower slot
// and the SEEPROM the controller expects for the WWN in the board's NVRAM
// and its default identity; with a data directory both memories persist
// in it.
//
// Every board carries one, kept beside it (Of): a board header every test
// includes stays as it is.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "hw/vsc7156.h"
#include "sim/bus.h"
#include "sim/i2c_units.h"

namespace sim {

class Board;

class Vsc7156 : public Device {
public:
    static constexpr uint64_t kProgramNs = 700'000;
    static constexpr uint64_t kSectorEraseNs = 600'000'000;
    static constexpr uint64_t kBulkEraseNs = 9'000'000'000;

    // Made and wired with every board; gone with it.
    static void AttachTo(Board& board);
    static void DetachFrom(const Board& board);
    static Vsc7156& Of(const Board& board);

    Vsc7156(Board& board, const std::string& dataDir);
    ~Vsc7156() override;
    Vsc7156(const Vsc7156&) = delete;
    Vsc7156& operator=(const Vsc7156&) = delete;

    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    // The memories, for tests: contents, replaced whole.
    const std::vector<uint8_t>& Flash() const { return m_flash; }
    void LoadFlash(const std::vector<uint8_t>& contents);
    const std::vector<uint8_t>& Seeprom();
    void LoadSeeprom(const std::vector<uint8_t>& contents);
    // What a factory-fresh board holds.
    static std::vector<uint8_t> FactoryFlash();
    std::vector<uint8_t> FactorySeeprom() const;
    // A slot as the project's tools write it (trailer with sequence and CRC).
    static void WriteSlot(std::vector<uint8_t>& flash, int slot, const std::vector<uint8_t>& image,
                          const char* revId, uint32_t sequence);
    // The slot the expander boots (-1 none) and the FW Rev ID it reports.
    int BootSlot() const;
    std::string RunningRevId() const;
    uint32_t SlotSequence(int slot) const;

    // Counts: page programs and erases done, SEEPROM bytes written.
    uint64_t pagePrograms = 0;
    uint64_t erases = 0;
    uint64_t seepromWrites = 0;
    // Faults: erases or programs that do nothing, a part that never shows
    // ready, a power cut right after the k-th page program from now.
    bool failErases = false;
    bool failPrograms = false;
    bool neverReady = false;
    void CutPowerAfterPrograms(uint64_t k) { m_cutAfter = k; }

private:
    class SeepromPart : public I2cSlave {
    public:
        bool Start(bool read) override;
        bool WriteByte(uint8_t value) override;
        uint8_t ReadByte() override;
        void Stop() override;
        void Program();   // the factory's contents, at the first access
        bool factoryPending = false;
        std::vector<uint8_t> bytes = std::vector<uint8_t>(fw::VSC_SEEPROM_BYTES, 0xFF);
        Vsc7156* owner = nullptr;
        uint16_t pointer = 0;
        unsigned addressBytes = 0;
        bool reading = false;
        bool wrote = false;
    };
    void Command();
    bool Busy() const;
    void Store(uint32_t offset, const uint8_t* bytes, uint32_t length);
    void Persist(int fd, const uint8_t* bytes, uint32_t offset, uint32_t length);

    Board& m_board;
    std::vector<uint8_t> m_flash;
    SeepromPart m_seeprom;
    int m_flashFd = -1;
    int m_seepromFd = -1;
    uint16_t m_control = 0;
    uint16_t m_opcode = 0;
    uint16_t m_address = 0;
    std::array<uint8_t, fw::VSC_PAGE_SIZE> m_window{};
    bool m_writeEnabled = false;
    bool m_statusPending = false;
    uint64_t m_busyUntil = 0;
    uint64_t m_cutAfter = 0;
};

}  // namespace sim
