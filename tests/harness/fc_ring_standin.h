// A Fibre Channel host chip played by a test at its request ring, for tests
// of the target engine and the cache that read the request entries the
// engine posts straight off the driver's ring: the port's chip is taken as
// present and of the ISP24xx generation, its rings and handle map are set up
// as the chip start leaves them (buffer pages must be set up first), and its
// register window answers here, taking every entry as soon as it is posted.
#pragma once

#include <cstdint>

#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/isp_fc.h"
#include "hw/pci_ids.h"
#include "sim/board.h"
#include "sim/bus.h"

namespace fctest {

class RequestRingStandIn : public sim::Device {
public:
    explicit RequestRingStandIn(uint8_t bPort)
        : m_dBase(fw::PCI_OUTBOUND_WINDOW_UNIT1 + (bPort - 1) * fw::ISP_REGISTER_SPAN), m_bPort(bPort),
          m_bus(sim::Board::Current().bus()) {
        fw::SetQL24xx(fw::TRUE);
        fw::SetChipPresent(bPort, fw::TRUE);
        fw::ClearHandleMap(bPort);
        fw::InitHostChipRings();
        m_bus.Map(m_dBase, fw::ISP_REGISTER_SPAN, this);
    }
    // The board outlives the stand-in (it is the fixture's base).
    ~RequestRingStandIn() override { m_bus.Unmap(this); }
    RequestRingStandIn(const RequestRingStandIn&) = delete;
    RequestRingStandIn& operator=(const RequestRingStandIn&) = delete;

    // The driver's request ring of the port.
    uint8_t* Ring() const { return fw::pbGetRequestRing(m_bPort); }

    uint32_t Read(uint32_t address, unsigned) override {
        return address - m_dBase == fw::ISP24_REG_REQ_OUT ? m_dIn : 0;
    }
    void Write(uint32_t address, uint32_t value, unsigned) override {
        if (address - m_dBase == fw::ISP24_REG_REQ_IN) m_dIn = value;
    }

private:
    uint32_t m_dBase;
    uint8_t m_bPort;
    sim::Bus& m_bus;
    uint32_t m_dIn = 0;
};

}  // namespace fctest
