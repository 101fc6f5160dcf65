// The JTAG master the firmware programs the FPGA through (0xFFD82700): a
// control register, a data port taking the bitstream a word at a time and a
// status register.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/jtag.h"
#include "sim/bus.h"

namespace sim {

class Fpga;

class JtagPort : public Device {
public:
    static constexpr uint32_t kBase = fw::JTAG_BASE;
    static constexpr uint32_t kSize = fw::JTAG_SIZE;
    static constexpr uint32_t kControl = fw::JTAG_CONTROL - kBase, kData = fw::JTAG_DATA - kBase,
                              kStatus = fw::JTAG_STATUS - kBase;
    static constexpr uint32_t kControlStart = 1, kControlFinish = 2;
    static constexpr uint32_t kStatusDone = 1, kStatusError = 2;
    explicit JtagPort(Fpga& fpga) : m_fpga(fpga) {}
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

private:
    Fpga& m_fpga;
    std::vector<uint32_t> m_words;
    uint32_t m_status = 0;
    bool m_loading = false;
};

}  // namespace sim
