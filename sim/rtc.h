// The battery-backed real-time clock chip on I2C (address 0xA2): sixteen
// registers, the date and time in BCD in registers 2-8.  Its time is kept in
// the board's state file, so it survives runs: on the wall clock it starts
// each run from the host's UTC (so it goes on while the board is off) and
// counts the board's time from there; in virtual time it runs with the
// board clock and stands still while the board is off.
#pragma once

#include <array>
#include <cstdint>

#include "sim/i2c_units.h"

namespace sim {

class Board;

struct RtcTime {
    int year, month, day, hour, minute, second;
};

class Rtc : public I2cSlave {
public:
    static constexpr uint8_t kAddress = 0xA2;
    static constexpr unsigned kUnit = 1;   // the bus the Z8Q2 board wires it to
    // A new board's clock in virtual time (on the wall clock: the host's UTC).
    static constexpr RtcTime kFactoryTime{2025, 1, 6, 9, 0, 0};

    explicit Rtc(Board& board);

    void Set(const RtcTime& t);
    RtcTime Now() const;
    bool Valid() const { return m_valid; }
    // The battery ran flat: the chip holds no valid time until it is set.
    void Invalidate();
    // The chip does not acknowledge its address.
    void SetResponsive(bool responsive) { m_responsive = responsive; }
    uint8_t Register(unsigned index);   // as a read would return it

    bool Start(bool read) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte() override;
    void Stop() override;

    static uint64_t ToSeconds(const RtcTime& t);   // seconds since 1900-01-01
    static RtcTime FromSeconds(uint64_t s);
    // The board powers off: what must outlive the run goes to the state file.
    void PowerOff();

private:
    uint64_t BaseSeconds() const;   // time base the stored offset counts from
    uint64_t NowSeconds() const;
    bool InRange() const;           // the time is one the chip can count
    void Persist();
    void LatchTime();

    Board& m_board;
    uint64_t m_hostAtBoardZero;   // wall clock: the host's UTC at board time 0 (seconds since 1900)
    int64_t m_offset = 0;      // clock seconds minus the time base
    bool m_valid = true;
    bool m_responsive = true;
    std::array<uint8_t, 16> m_regs{};
    std::array<uint8_t, 16> m_latched{};   // time registers frozen at the start of a read
    bool m_addressPhase = false;
    bool m_timeWritten = false;
    uint8_t m_pointer = 0;
};

}  // namespace sim
