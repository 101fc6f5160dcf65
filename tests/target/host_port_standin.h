// Plays a Fibre Channel host port of the ISP24xx generation and the hosts
// behind it, until the host-port driver and its chip model are there: a
// command from an initiator becomes a host entry on the new-command ring
// as the driver's interrupt path makes it, and the request entries the
// target engine posts are carried out as the chip would: data moved from or
// to the initiator's buffers, status and sense recorded, and the CTIO
// completion acted on as the driver does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "executive/kernel_entry.h"
#include "harness/fc_ring_standin.h"

namespace target_test {

struct HostReply {
    bool fStatus = false;          // a status came back
    uint8_t bStatus = 0xFF;        // SCSI status byte
    uint16_t wStatusWord = 0;      // with the FCP_RSP flags
    uint32_t dResidual = 0;
    std::vector<uint8_t> abSense;
    std::vector<uint8_t> abDataIn;
    uint32_t dDataOutMoved = 0;
    uint32_t dCtios = 0;
};

struct HostCommand {
    uint32_t dPortId = 0x010100;
    uint16_t wLun = 0;
    std::vector<uint8_t> abCdb;
    uint32_t dExpected = 0;               // FCP_DL
    std::vector<uint8_t> abDataOut;
    uint8_t bTaskManagement = 0;
    uint8_t bTaskAttribute = 0;
    uint32_t dExchange = 0;               // 0: the next exchange of the port
};

class HostPortStandIn {
public:
    // Takes the place of the port's chip on the board (buffer pages are set
    // up for the driver's rings).
    explicit HostPortStandIn(uint8_t bPort);

    // An initiator logs in: its port id gets an N_Port handle.
    void Login(uint32_t dPortId, uint16_t wHandle);
    // The command arrives; returns its host entry index (0xFFFF: pool full).
    uint16_t Send(const HostCommand& sCommand);
    // Carries out every request entry posted since the last call.
    void Serve();
    // What the initiator got back for the command sent as entry index.
    const HostReply& Reply(uint16_t wIndex) { return m_asReply[m_awOxIdOfIndex[wIndex]]; }
    bool HasStatus(uint16_t wIndex) { return Reply(wIndex).fStatus; }
    uint32_t RequestsServed() const { return m_dServed; }
    // An ABTS for an exchange, and an immediate notify, as the chip delivers
    // them; their host entry index.
    uint16_t SendAbts(uint32_t dPortId, uint32_t dExchange, uint16_t wOxId);
    uint16_t SendNotify(const void* pNotify);
    // Request entries other than CTIOs, in the order they were posted.
    std::vector<std::vector<uint8_t>> aabOther;
    // The exchange the chip opened for a command.
    uint32_t ExchangeOf(uint16_t wIndex);

private:
    void Complete(uint32_t dHandle, uint8_t bTag);
    uint8_t m_bPort;
    std::unique_ptr<fctest::RequestRingStandIn> m_psRing;
    uint16_t m_wOut = 0;
    uint16_t m_wNextOxId = 0x100;
    uint32_t m_dNextExchange = 0x1000;
    uint8_t m_bNextTag = 1;
    uint32_t m_dServed = 0;
    std::map<uint16_t, uint16_t> m_awOxIdOfIndex;
    std::map<uint16_t, HostReply> m_asReply;           // by OX_ID
    std::map<uint16_t, std::vector<uint8_t>> m_aabDataOut;
};

}  // namespace target_test
