// The battery-backed real-time clock chip on I2C (address 0xA2): sixteen
// registers, the date and time in BCD in registers 2-8.  It counts the
// board's time, as the firmware's tick does, so the firmware's calendar and
// the chip never disagree.  Its time is kept in the board's state file:
//   rtc.time    the clock's time when the board last stopped (or the time
//               last set), seconds since 1900-01-01;
//   rtc.offset  on the wall clock, the date set on the console less the
//               host's UTC, seconds;
//   rtc.lead    on the wall clock, how far the last start-up's skipped waits
//               took board time ahead of the host's, seconds;
//   rtc.valid   0 once the clock lost its time.
// In virtual time a run goes on from rtc.time.  On the wall clock a run
// starts at the host's UTC plus the offset, less the lead (so that the date
// is near the host's while start-up's waits pass at once), and is the
// host's plus the offset again from the moment the board follows the wall
// clock, whatever the waits took.  A restart soon after a stop may so start
// before the last run's time: the firmware's event log keeps its order by
// holding an event's stamp at the newest one's.
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
    // A start-up on the wall clock passed its waits at once, board time
    // running this far ahead of the host's: the clock goes back by what of
    // it the start did not take off already, and after the first start-up
    // of a run the next run starts its clock that much earlier.
    void StartUpSkipped(uint64_t ns);
    // The board powers off: what must outlive the run goes to the state file.
    void PowerOff();

private:
    int64_t NowSeconds() const;
    bool InRange() const;           // the time is one the chip can count
    void Persist();
    void LatchTime();

    Board& m_board;
    int64_t m_base = 0;        // the clock's time at board time 0, seconds since 1900
    bool m_valid = true;
    bool m_leadTaken = false;  // this run's start-up lead was measured
    int64_t m_leadTakenOff = 0;   // seconds the start took off for start-up's waits, not yet skipped
    bool m_responsive = true;
    std::array<uint8_t, 16> m_regs{};
    std::array<uint8_t, 16> m_latched{};   // time registers frozen at the start of a read
    bool m_addressPhase = false;
    bool m_timeWritten = false;
    uint8_t m_pointer = 0;
};

}  // namespace sim
