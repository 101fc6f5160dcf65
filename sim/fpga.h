// Board FPGA and CPLD registers at 0xF100F000 (16-bit registers):
// 0x00 control (bit 0 board reset, bit 2 FPGA reset, bit 5 programmed),
// 0x02 slot and indicators (bit 6 slot 1), 0x06 watchdog and reboot,
// 0x16 version and 0x18 hardware version (all ones while blank); and the
// chassis around the board as its CPLD shows it: supply lines and the mute
// button in 0x10, indicators and sounder 0x1A, bay presence 0x1C, bay
// indicators 0x20-0x24, fan tachometers and drives 0x40-0x46.  The two
// chassis temperature sensors and the chassis microcontroller, which shows
// the same chassis again, sit on I2C unit 0.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "hw/fpga.h"
#include "sim/bus.h"
#include "sim/i2c_units.h"
#include "sim/interrupt_controller.h"

namespace sim {

class Board;
class Fpga;

// A temperature sensor on I2C: each byte read gives its temperature.
class ChassisSensor : public I2cSlave {
public:
    explicit ChassisSensor(uint8_t start = 30) : degrees(start) {}
    bool Start(bool) override { return !silent; }
    bool WriteByte(uint8_t) override { return true; }
    uint8_t ReadByte() override {
        ++reads;
        return degrees;
    }
    void Stop() override {}
    uint8_t degrees;
    bool silent = false;   // answers no start
    unsigned reads = 0;
};

// The chassis' fans, supplies, mute button and sounder.  A fan turns at
// the speed its drive asks (0 fastest to 3 slowest) unless a test holds it
// at a speed of its own (a failing or stopped fan).
struct ChassisEnvironment {
    static constexpr uint16_t kDriveRpm[4] = {5400, 4600, 3800, 3000};
    std::array<bool, 2> supplyGood{true, true};
    std::array<bool, 2> supplyFault{false, false};
    std::array<int, 2> fanHeldRpm{-1, -1};
    std::array<ChassisSensor, 2> sensors;
    // The board's own three sensors (processor, board, battery) on unit 1.
    std::array<ChassisSensor, 3> boardSensors{ChassisSensor(45), ChassisSensor(35), ChassisSensor(30)};
    bool mutePressed = false;
    // Every change of the sounder bits, with the controller time.
    struct Sound {
        uint64_t ns;
        uint16_t bits;
    };
    std::vector<Sound> sounds;
};

// The chassis microcontroller: the same supplies, bays, fans and mute
// button as the CPLD shows, read through its registers, and an event for
// each change of them that the firmware enabled, queued until it is
// acknowledged.  Its fan drive sets the same fan lines as the CPLD's.
class ChassisMicrocontroller : public I2cSlave {
public:
    explicit ChassisMicrocontroller(Fpga& fpga) : m_fpga(fpga) { m_regs[0xC4] = 1; }   // the sounder silent
    bool Start(bool read) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte() override;
    void Stop() override {}
    void PressMute() { m_mutePressed = true; }
    // What was last written to a register.
    uint8_t Register(uint8_t reg) const { return m_regs[reg]; }
    bool present = true;   // false: a chassis without one (no acknowledge)
    unsigned identityReads = 0;
    // Every change of the sounder register, with the controller time.
    struct Sound {
        uint64_t ns;
        uint8_t value;
    };
    std::vector<Sound> sounds;

private:
    uint8_t Read(uint8_t reg);
    void Write(uint8_t reg, uint8_t value);
    uint16_t EmptyBays() const;
    uint8_t SupplyState(unsigned supply) const;
    void QueueChanges();
    void Queue(uint8_t reg);
    Fpga& m_fpga;
    std::array<uint8_t, 256> m_regs{};
    bool m_expectRegister = false;
    uint8_t m_pointer = 0;
    std::deque<uint8_t> m_events;
    bool m_seen = false;
    uint16_t m_seenEmpty = 0;
    std::array<uint8_t, 2> m_seenSupply{};
    bool m_mutePressed = false;
    bool m_muteLatched = false;
};

class Fpga : public Device {
public:
    static constexpr uint32_t kBase = fw::FPGA_BASE;
    static constexpr uint32_t kSize = fw::FPGA_SIZE;
    static constexpr uint16_t kVersion = 0x0112;
    static constexpr uint16_t kHardwareVersion = 0x0003;
    Fpga(Board& board, bool programmed, bool slot1, InterruptLine partnerLine = {});
    ~Fpga() override { DisconnectPartner(); }
    Fpga(const Fpga&) = delete;
    Fpga& operator=(const Fpga&) = delete;
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    bool Programmed() const { return m_programmed; }
    void SetProgrammed(bool programmed) { m_programmed = programmed; }
    // The board is moved to the other controller slot.
    void SetSlot1(bool slot1) { m_regs[0x02 / 2] = static_cast<uint16_t>((m_regs[0x02 / 2] & ~0x0040) | (slot1 ? 0x0040 : 0)); }
    uint16_t Register(uint32_t offset) const { return m_regs[(offset % kSize) / 2]; }
    ChassisEnvironment& environment() { return m_environment; }
    ChassisMicrocontroller& microcontroller() { return m_microcontroller; }
    // The fan drive lines (0 fastest to 3 slowest), set by either side.
    void SetFanDrive(unsigned fan, uint16_t drive) { m_regs[(0x44 + 2 * fan) / 2] = drive; }
    // The bays holding a drive (bit i: bay 1 + i).
    uint16_t BaysPresent();
    uint64_t Now() const;
    // A fan's speed now: what its drive asks, or what a test holds it at.
    uint16_t FanRpm(unsigned fan) const;
    // Straps of the board register: what the board carries.
    void SetBoardStraps(uint16_t bits) { m_regs[(fw::FPGA_BOARD - kBase) / 2] |= bits; }
    bool WatchdogRunning() const { return m_watchdogRunning; }
    // A board reset stops the watchdog and ends the reset request that
    // caused it (else the first write of the control register after the
    // restart, which keeps the bits it reads, would reset the board again);
    // the programmed logic stays.
    void BoardReset() {
        m_watchdogRunning = false;
        m_regs[(fw::FPGA_CONTROL - kBase) / 2] &= static_cast<uint16_t>(~fw::FPGA_CONTROL_BOARD_RESET);
    }

    // The heartbeat line between the two controllers: a rising edge of the
    // control register's heartbeat bit raises the partner's line, which its
    // firmware acknowledges through the partner link register.
    static void ConnectPartners(Fpga& a, Fpga& b) {
        a.m_partner = &b;
        b.m_partner = &a;
    }
    void DisconnectPartner() {
        if (m_partner) m_partner->m_partner = nullptr;
        m_partner = nullptr;
    }
    // Tests: pulses sent from here go nowhere (quiet), or this board's own
    // line from the partner stays raised whatever its firmware does (stuck).
    bool heartbeatQuiet = false;
    void SetHeartbeatStuck(bool stuck);
    uint32_t heartbeatsSent() const { return m_heartbeatsSent; }
    uint32_t heartbeatsReceived() const { return m_heartbeatsReceived; }

private:
    Board& m_board;
    bool m_programmed;
    std::array<uint16_t, kSize / 2> m_regs{};
    ChassisEnvironment m_environment;
    ChassisMicrocontroller m_microcontroller{*this};
    uint16_t ChassisRead(uint32_t offset);
    bool m_watchdogRunning = false;
    InterruptLine m_partnerLine;
    Fpga* m_partner = nullptr;
    bool m_heartbeatStuck = false;
    uint32_t m_heartbeatsSent = 0;
    uint32_t m_heartbeatsReceived = 0;
    void HeartbeatArrives();
};

}  // namespace sim
