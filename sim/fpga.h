// Board FPGA and CPLD registers at 0xF100F000 (16-bit registers):
// 0x00 control (bit 0 board reset, bit 2 FPGA reset, bit 5 programmed),
// 0x02 slot and indicators (bit 6 slot 1), 0x06 watchdog and reboot,
// 0x16 version and 0x18 hardware version (all ones while blank).
#pragma once

#include <array>
#include <cstdint>

#include "hw/fpga.h"
#include "sim/bus.h"
#include "sim/interrupt_controller.h"

namespace sim {

class Board;

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
    uint16_t Register(uint32_t offset) const { return m_regs[(offset & 0x1F) / 2]; }
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
    std::array<uint16_t, 16> m_regs{};
    bool m_watchdogRunning = false;
    InterruptLine m_partnerLine;
    Fpga* m_partner = nullptr;
    bool m_heartbeatStuck = false;
    uint32_t m_heartbeatsSent = 0;
    uint32_t m_heartbeatsReceived = 0;
    void HeartbeatArrives();
};

}  // namespace sim
