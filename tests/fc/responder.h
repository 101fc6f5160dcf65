// Plays the SCSI target engine for the driver tests: at every main-loop poll
// (or alone on the processor, ServeAlone) it takes commands off the
// new-command ring and answers them through the driver's CTIO builders and
// request ring, the way the engine does; it takes written data off the
// "Data Received" ring and frees finished entries.  In the main loop the
// engine runs too, and a logged-in host's commands are its once the port's
// scan has the host: there the responder answers only what reaches the
// ring while the engine holds it.
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/isp_fc.h"
#include "sim/board.h"
#include "sim/fc_host.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"
#include "hw/addresses.h"

namespace fctest {

struct Atio {
    uint32_t exchange;
    uint32_t sourceId;
    uint16_t oxId;
    uint32_t fcpDl;
    uint16_t lun;
    uint8_t taskAttribute;
    uint8_t taskManagement;
    uint8_t cdb[16];
};

inline Atio AtioOf(fw::KERNEL_ENTRY* e) {
    fw::ATIO7_ENTRY a;
    std::memcpy(&a, fw::pGetAtioCopy(e), sizeof a);
    Atio r{};
    r.exchange = a.dExchangeAddress;
    r.sourceId = static_cast<uint32_t>(a.abSourceId[0]) << 16 | a.abSourceId[1] << 8 | a.abSourceId[2];
    r.oxId = static_cast<uint16_t>(a.abOxId[0] << 8 | a.abOxId[1]);
    r.fcpDl = static_cast<uint32_t>(a.abDataLength[0]) << 24 | a.abDataLength[1] << 16 |
              a.abDataLength[2] << 8 | a.abDataLength[3];
    r.lun = static_cast<uint16_t>(a.abFcpLun[0] << 8 | a.abFcpLun[1]);
    r.taskAttribute = a.bTaskAttribute;
    r.taskManagement = a.bTaskManagement;
    std::memcpy(r.cdb, a.abCdb, 16);
    return r;
}

class Responder {
public:
    // What to do with one command: answer it (data, status) or keep it.
    std::function<void(Responder&, fw::KERNEL_ENTRY*)> onCommand;
    // Written data has arrived for a command that asked for it.
    std::function<void(Responder&, fw::KERNEL_ENTRY*, const std::vector<uint8_t>&)> onData;

    explicit Responder(sim::Board& board) : m_board(board) {
        board.pollHook = [this] { Serve(); };
    }
    ~Responder() { m_board.pollHook = nullptr; }

    uint16_t Handle(fw::KERNEL_ENTRY* e, const Atio& a) {
        uint16_t handle = 0xFFFF;
        (void)fw::bLookupHandleByPortId(e->bPortCode, a.sourceId, &handle);
        return handle;
    }

    // Data in with GOOD status in one CTIO; `status` other than 0 goes out
    // on its own CTIO after the data.
    void DataIn(fw::KERNEL_ENTRY* e, const std::vector<uint8_t>& data, uint16_t scsiStatus = 0) {
        const Atio a = AtioOf(e);
        const uint8_t tag = e->bMark;
        fw::BUFFER_HANDLE page = TakePage();
        std::memcpy(Bytes(page), data.data(), data.size());
        const uint16_t flags = fw::CTIO7_FLAG_DATA_IN | fw::CTIO7_FLAG_SEND_STATUS |
                               static_cast<uint16_t>(a.taskAttribute << fw::CTIO7_TASK_ATTRIBUTE_SHIFT);
        uint16_t status = scsiStatus;
        uint32_t residual = 0;
        if (data.size() < a.fcpDl) {
            status |= fw::FCP_RESIDUAL_UNDERRUN;
            residual = a.fcpDl - static_cast<uint32_t>(data.size());
        }
        e->bPrimaryState = 17;
        (void)fw::QL24_BuildCtio7(Address(e), Handle(e, a), a.oxId, flags, 10, a.sourceId, a.exchange, 1, status, 0, residual,
                                  static_cast<uint32_t>(data.size()), static_cast<uint32_t>(fw::dBufferHandleToPciAddress(page)),
                                  static_cast<uint32_t>(data.size()), reinterpret_cast<uint8_t*>(e));
        e->bMark = tag;   // the engine puts the command's IOCB tag back at byte 2
        EXPECT_EQ(fw::bPostRequestQueueEntries(e->bPortCode, 1, e), fw::STATUS_OK);
        m_pages.push_back(page);
    }

    // Status only, with fixed sense for CHECK CONDITION.
    void Status(fw::KERNEL_ENTRY* e, uint8_t scsiStatus, uint8_t key = 0, uint8_t asc = 0, uint8_t ascq = 0) {
        const Atio a = AtioOf(e);
        const uint8_t tag = e->bMark;
        uint8_t sense[18] = {};
        uint16_t status = scsiStatus;
        uint16_t senseLength = 0;
        if (scsiStatus == 2) {
            sense[0] = 0x70;
            sense[2] = key;
            sense[7] = 10;
            sense[12] = asc;
            sense[13] = ascq;
            senseLength = 18;
            status |= fw::FCP_SENSE_VALID;
        }
        e->bPrimaryState = 21;
        (void)fw::bBuildQlCtio7Status(Address(e), Handle(e, a), a.oxId,
                                      fw::CTIO7_FLAG_STATUS_MODE_1 | fw::CTIO7_FLAG_SEND_STATUS |
                                          static_cast<uint16_t>(a.taskAttribute << fw::CTIO7_TASK_ATTRIBUTE_SHIFT),
                                      10, a.sourceId, a.exchange, status, senseLength, 0, sense, reinterpret_cast<uint8_t*>(e));
        e->bMark = tag;
        EXPECT_EQ(fw::bPostRequestQueueEntries(e->bPortCode, 1, e), fw::STATUS_OK);
    }

    // Asks the host for the command's data (state 18, waiting for write data).
    void DataOut(fw::KERNEL_ENTRY* e, uint32_t length) {
        const Atio a = AtioOf(e);
        const uint8_t tag = e->bMark;
        fw::BUFFER_HANDLE page = TakePage();
        std::memset(Bytes(page), 0xEE, length);
        e->bPrimaryState = fw::HOST_STATE_DATA_OUT;
        m_dataOut[e] = {page, length};
        (void)fw::QL24_BuildCtio7(Address(e), Handle(e, a), a.oxId, fw::CTIO7_FLAG_DATA_OUT, 10, a.sourceId, a.exchange, 1, 0, 0, 0,
                                  length, static_cast<uint32_t>(fw::dBufferHandleToPciAddress(page)), length, reinterpret_cast<uint8_t*>(e));
        e->bMark = tag;
        EXPECT_EQ(fw::bPostRequestQueueEntries(e->bPortCode, 1, e), fw::STATUS_OK);
        m_pages.push_back(page);
    }

    // What the host wrote for a command that asked for its data.
    std::vector<uint8_t> DataOf(fw::KERNEL_ENTRY* e) {
        const auto [page, length] = m_dataOut[e];
        return std::vector<uint8_t>(Bytes(page), Bytes(page) + length);
    }

    // Serves with the processor to itself, outside the main loop, until
    // `done` (or a second of board time): the controller's own engine,
    // which serves a logged-in host's commands there, takes none first.
    // The main loop does not run again on this board.
    bool ServeAlone(const std::function<bool()>& done) {
        const sim::StopKind stop = m_board.RunOnCpu([&] {
            for (int ms = 0; ms < 1000 && !done(); ++ms) {
                Serve();
                fw::SpinDelayMs(1);
            }
            Serve();
        });
        return stop == sim::StopKind::Finished && done();
    }

    // One command sent and served alone until the host has its answer.
    sim::FcpResult SendAlone(sim::FcHost& host, const sim::FcpCommand& command) {
        const uint32_t tag = host.Submit(command);
        EXPECT_TRUE(ServeAlone([&] { return host.initiator().Finished(tag); }));
        const sim::FcpResult result = host.initiator().Result(tag);
        host.initiator().Forget(tag);
        return result;
    }

    uint32_t commandsSeen = 0;
    uint32_t entriesFreed = 0;
    std::vector<fw::KERNEL_ENTRY*> kept;

private:
    void Serve() {
        fw::KERNEL_ENTRY* e = nullptr;
        while (fw::bPeekNewCommand(&e) == fw::STATUS_FOUND) {
            fw::DecPortNewCommands(e->bPortCode);
            ++commandsSeen;
            if (onCommand) onCommand(*this, e);
        }
        while (fw::bPeekDataReceived(&e) == fw::STATUS_FOUND) {
            fw::TakeDataReceived();
            if (onData) onData(*this, e, DataOf(e));
        }
        while (fw::bPeekCommandComplete(&e) == fw::STATUS_FOUND) {
            fw::DecPortCommandComplete(e->bPortCode);
            fw::FreeTargetEntry(e);
            ++entriesFreed;
        }
    }

    static uint32_t Address(fw::KERNEL_ENTRY* e) { return fw::dAddressWord(e); }
    static uint8_t* Bytes(fw::BUFFER_HANDLE h) {
        return static_cast<uint8_t*>(fw::pBufferHandleToPointer(h));
    }
    fw::BUFFER_HANDLE TakePage() {
        fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
        EXPECT_EQ(fw::bAllocDataPages(0, 1, &h), fw::STATUS_OK);
        return h;
    }

    sim::Board& m_board;
    std::vector<fw::BUFFER_HANDLE> m_pages;
    std::map<fw::KERNEL_ENTRY*, std::pair<fw::BUFFER_HANDLE, uint32_t>> m_dataOut;
};

}  // namespace fctest
