// Board FPGA and CPLD registers at 0xF100F000 (16-bit registers):
// 0x00 control (bit 0 board reset, bit 2 FPGA reset, bit 5 programmed),
// 0x02 slot and indicators (bit 6 slot 1), 0x06 watchdog and reboot,
// 0x16 version and 0x18 hardware version (all ones while blank); and the
// chassis around the board as its CPLD shows it: supply lines and the mute
// button in 0x10, indicators and sounder 0x1A, bay presence 0x1C, bay
// indicators 0x20-0x24, fan tachometers and drives 0x40-0x46.  The two
// chassis temperature sensors sit on I2C unit 0.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "hw/fpga.h"
#include "sim/bus.h"
#include "sim/i2c_units.h"
#include "sim/interrupt_controller.h"

namespace sim {

class Board;

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
    // A fan's speed now: what its drive asks, or what a test holds it at.
    uint16_t FanRpm(unsigned fan) const;
    // Straps of the board register: what the board carries.
    void SetBoardStraps(uint16_t bits) { m_regs[(fw::FPGA_BOARD - kBase) / 2] |= bits; }
    bool WatchdogRunning() const { return m_watchdogRunning; }
    // A board reset stops the watchdog; the programmed logic stays.
    void BoardReset() { m_watchdogRunning = false; }

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
