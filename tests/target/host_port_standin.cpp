#include "host_port_standin.h"

#include <gtest/gtest.h>

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "sim/board.h"
#include "hw/scsi.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace target_test {

using namespace fw;

namespace {

constexpr uint32_t RING_ENTRIES = 128;

uint16_t wLe16(const uint8_t* pb) {
    uint16_t w;
    std::memcpy(&w, pb, 2);
    return w;
}
uint32_t dLe32(const uint8_t* pb) {
    uint32_t d;
    std::memcpy(&d, pb, 4);
    return d;
}

}  // namespace

HostPortStandIn::HostPortStandIn(uint8_t bPort) : m_bPort(bPort) {
    SetSystemMemorySize(sim::Board::Current().config().memorySize);
    (void)InitBufferPages();
    m_psRing = std::make_unique<fctest::RequestRingStandIn>(bPort);
}

void HostPortStandIn::Login(uint32_t dPortId, uint16_t wHandle) {
    ASSERT_EQ(bAddHandleMapping(m_bPort, dPortId, wHandle), STATUS_OK);
}

uint16_t HostPortStandIn::Send(const HostCommand& s) {
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0xFFFF;
    if (bAllocTargetEntries(m_bPort, 1, &ps, &wIndex, FALSE) != STATUS_OK) return 0xFFFF;
    ATIO7_ENTRY sAtio{};
    sAtio.bEntryType = ATIO7_ENTRY_TYPE;
    sAtio.bEntryCount = 1;
    sAtio.dExchangeAddress = s.dExchange != 0 ? s.dExchange : m_dNextExchange++;
    PutBe24(sAtio.abSourceId, s.dPortId);
    const uint16_t wOxId = m_wNextOxId++;
    PutBe16(sAtio.abOxId, wOxId);
    PutBe16(sAtio.abRxId, 0xFFFF);
    PutBe16(sAtio.abFcpLun, s.wLun);
    sAtio.bTaskAttribute = s.bTaskAttribute;
    sAtio.bTaskManagement = s.bTaskManagement;
    // The direction the host states: out for the commands that carry data
    // to the target (whether or not the test gives it), in for the others
    // that expect any.
    const uint8_t bOpcode = s.abCdb.empty() ? 0 : s.abCdb[0];
    const bool fCompares = (bOpcode == SCSI_VERIFY10 || bOpcode == SCSI_VERIFY16) && s.abCdb.size() > 1 &&
                           (s.abCdb[1] & 0x06) != 0;
    const bool fSends = !s.abDataOut.empty() || fCompares || bOpcode == SCSI_WRITE6 || bOpcode == SCSI_WRITE10 ||
                        bOpcode == SCSI_WRITE16 || bOpcode == SCSI_WRITE_AND_VERIFY10 ||
                        bOpcode == SCSI_WRITE_AND_VERIFY16;
    sAtio.bDataDirection = fSends ? FCP_WRITE_DATA : (s.dExpected != 0 ? FCP_READ_DATA : 0);
    std::memcpy(sAtio.abCdb, s.abCdb.data(), std::min<size_t>(s.abCdb.size(), 16));
    PutBe32(sAtio.abDataLength, s.dExpected);
    std::memcpy(pGetAtioCopy(ps), &sAtio, sizeof(sAtio));

    // What the driver's interrupt path stamps on a new command.
    HOST_COMMAND_FIELDS* psFields = pHostFields(ps);
    psFields->wInitiatorHandle = NO_INITIATOR_HANDLE;
    psFields->wLipCount = wGetHostLoopLipCount(m_bPort);
    reinterpret_cast<uint8_t*>(ps)[2] = m_bNextTag;
    m_bNextTag = static_cast<uint8_t>(m_bNextTag == 254 ? 1 : m_bNextTag + 1);
    ps->bPortCode = m_bPort;
    ps->dStartTick = dGetCoarseTick();
    ps->lArrivalMs = lGetTickCount();
    m_awOxIdOfIndex[wIndex] = wOxId;
    m_asReply[wOxId] = HostReply{};
    m_aabDataOut[wOxId] = s.abDataOut;
    if (s.bTaskManagement == 0) {
        ps->alSequence[0] = ps->alSequence[1] = wIndex;
        ps->bPrimaryState = HOST_STATE_NEW_COMMAND;
        QueueNewCommand(m_bPort, wIndex);
    } else {
        ps->bPrimaryState = HOST_STATE_TASK_MANAGEMENT;
        QueueTaskMgmtRequest(m_bPort, wIndex);
    }
    return wIndex;
}

uint16_t HostPortStandIn::SendAbts(uint32_t dPortId, uint32_t dExchange, uint16_t wOxId) {
    ABTS_ENTRY s{};
    s.bEntryType = ABTS_RECEIVED_ENTRY_TYPE;
    s.bEntryCount = 1;
    s.dExchangeToAbort = dExchange;
    PutBe24(s.abPortId, dPortId);
    s.wOxId = wOxId;
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0xFFFF;
    if (bAllocTargetEntries(m_bPort, 1, &ps, &wIndex, FALSE) != STATUS_OK) return 0xFFFF;
    CopyNewCommandIocb(m_bPort, &s, ps, HOST_STATE_ABORT_REQUEST, FALSE);
    QueueAbortRequest(m_bPort, wIndex);
    return wIndex;
}

uint16_t HostPortStandIn::SendNotify(const void* pNotify) {
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0xFFFF;
    if (bAllocTargetEntries(m_bPort, 1, &ps, &wIndex, FALSE) != STATUS_OK) return 0xFFFF;
    CopyNewCommandIocb(m_bPort, pNotify, ps, HOST_STATE_IMMEDIATE_NOTIFY, FALSE);
    QueueImmediateNotify(m_bPort, wIndex);
    return wIndex;
}

uint32_t HostPortStandIn::ExchangeOf(uint16_t wIndex) {
    KERNEL_ENTRY* ps = nullptr;
    wGetTargetEntry(wIndex, &ps);
    ATIO7_ENTRY sAtio;
    std::memcpy(&sAtio, pGetAtioCopy(ps), sizeof(sAtio));
    return sAtio.dExchangeAddress;
}

void HostPortStandIn::Serve() {
    uint8_t* pbRing = m_psRing->Ring();
    ASSERT_NE(pbRing, nullptr);
    for (;;) {
        uint8_t* pb = pbRing + m_wOut * CTIO_ENTRY_BYTES;
        if (pb[0] == 0) return;
        m_dServed++;
        if (pb[0] != CTIO7_ENTRY_TYPE) {
            aabOther.emplace_back(pb, pb + CTIO_ENTRY_BYTES);
            std::memset(pb, 0, CTIO_ENTRY_BYTES);
            m_wOut = static_cast<uint16_t>((m_wOut + 1) % RING_ENTRIES);
            continue;
        }
        const uint16_t wFlags = wLe16(pb + 0x1A);
        const uint16_t wOxId = wLe16(pb + 0x20);
        HostReply& sReply = m_asReply[wOxId];
        sReply.dCtios++;
        if (wFlags & (CTIO7_FLAG_DATA_IN | CTIO7_FLAG_DATA_OUT)) {
            const uint32_t dOffset = dLe32(pb + 0x24);
            const uint32_t dLength = dLe32(pb + 0x3C);
            uint8_t* pbData = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(dLe32(pb + 0x34)));
            if (wFlags & CTIO7_FLAG_DATA_IN) {
                if (sReply.abDataIn.size() < dOffset + dLength) sReply.abDataIn.resize(dOffset + dLength);
                std::memcpy(sReply.abDataIn.data() + dOffset, pbData, dLength);
            } else {
                const std::vector<uint8_t>& abOut = m_aabDataOut[wOxId];
                const uint32_t dHave = dOffset < abOut.size() ? static_cast<uint32_t>(abOut.size() - dOffset) : 0;
                const uint32_t dCopy = std::min(dHave, dLength);
                if (dCopy != 0) std::memcpy(pbData, abOut.data() + dOffset, dCopy);
                sReply.dDataOutMoved += dCopy;
            }
        }
        if (wFlags & CTIO7_FLAG_SEND_STATUS) {
            sReply.fStatus = true;
            sReply.wStatusWord = wLe16(pb + 0x22);
            sReply.bStatus = static_cast<uint8_t>(sReply.wStatusWord);
            sReply.dResidual = dLe32(pb + 0x1C);
            if (wFlags & CTIO7_FLAG_STATUS_MODE_1) {
                const uint16_t wSense = wLe16(pb + 0x18);
                sReply.abSense.assign(pb + 0x28, pb + 0x28 + wSense);
            }
        }
        const uint32_t dHandle = dLe32(pb + 4);
        const uint8_t bTag = pb[2];
        std::memset(pb, 0, CTIO_ENTRY_BYTES);
        m_wOut = static_cast<uint16_t>((m_wOut + 1) % RING_ENTRIES);
        Complete(dHandle, bTag);
    }
}

// The driver's handling of a good CTIO completion.
void HostPortStandIn::Complete(uint32_t dHandle, uint8_t bTag) {
    if ((dHandle & CTIO_HANDLE_NOTHING) == CTIO_HANDLE_NOTHING) return;
    KERNEL_ENTRY* ps = reinterpret_cast<KERNEL_ENTRY*>(static_cast<uintptr_t>(dHandle));
    ASSERT_EQ(wTargetEntryIndex(ps) < HOST_ENTRY_COUNT, true);
    const bool fTagMatches = reinterpret_cast<const uint8_t*>(ps)[2] == bTag;
    if (ps->bPrimaryState == HOST_STATE_DATA_OUT && fTagMatches) {
        ps->bPrimaryState = HOST_STATE_DATA_RECEIVED;
        QueueDataReceived(ps->wIndex);
        return;
    }
    if (HasFlag(ps, KE_FLAG_WRITE_BACK | KE_FLAG_STATUS_SENT | KE_FLAG_COLLAPSED) || ps->fUsed != TRUE ||
        !fTagMatches) {
        return;
    }
    const uint8_t bState = ps->bPrimaryState;
    if (bState == HOST_STATE_FREE || bState == HOST_STATE_COMPLETE || bState == HOST_STATE_NEW_COMMAND) return;
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(m_bPort, ps->wIndex);
}

}  // namespace target_test
