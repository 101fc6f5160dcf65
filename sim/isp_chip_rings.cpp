// The ISP24xx model's request, response and ATIO rings, the exchanges, and
// the request entries it executes: CTIO type 7, notify acknowledges, ABTS
// answers, CT pass-through and logout.
#include "sim/isp_chip.h"

#include <algorithm>
#include <cstring>

#include "sim/board.h"
#include "sim/isp_chip_parts.h"

namespace sim {

using namespace fw;
using namespace isp;

namespace {

constexpr uint64_t kRequestNs = 1'000;
constexpr uint64_t kCtioNs = 3'000;

}  // namespace

// --- rings ------------------------------------------------------------------------------

void IspChip::RequestsWritten() {
    if (m_risc != Risc::Initialised || m_requestEvent != 0 || faults.holdRequests) return;
    m_requestEvent = clock().ScheduleIn(kRequestNs, [this] {
        m_requestEvent = 0;
        ProcessRequests();
    });
}

void IspChip::ReleaseRequests() {
    faults.holdRequests = false;
    RequestsWritten();
}

void IspChip::ProcessRequests() {
    while (m_reqOut != m_reqIn && m_reqIn < m_reqLength && !faults.holdRequests) {
        const uint8_t* p = Memory(m_reqBase + static_cast<uint32_t>(m_reqOut) * ISP_ENTRY_BYTES, ISP_ENTRY_BYTES);
        Entry entry{};
        if (p != nullptr) std::memcpy(entry.data(), p, ISP_ENTRY_BYTES);
        // Every CTIO slot busy: the ring waits until one finishes.
        if ((entry[0] == CTIO7_ENTRY_TYPE || entry[0] == CTIO2_ENTRY_TYPE) && m_freeCtios.empty()) break;
        m_reqOut = static_cast<uint16_t>((m_reqOut + 1) % m_reqLength);
        ++m_requestsConsumed;
        m_lastRequest = entry;
        HandleRequest(entry);
    }
}

// The request entries the firmware executes, by entry type.
void IspChip::HandleRequest(const Entry& entry) {
    static constexpr struct {
        uint8_t type;
        void (IspChip::*handler)(const Entry&);
    } kEntries[] = {
        {CTIO7_ENTRY_TYPE, &IspChip::Ctio7},
        {CTIO2_ENTRY_TYPE, &IspChip::Ctio2},
        {ISP_ENTRY_ENABLE_LUN, &IspChip::EnableLun},
        {ISP_ENTRY_MODIFY_LUN, &IspChip::ModifyLun},
        {NOTIFY_ACK_ENTRY_TYPE, &IspChip::NotifyAck},
        {IMMEDIATE_NOTIFY_ENTRY_TYPE, &IspChip::NotifyPostedBack2x00},
        {ABTS_RESPONSE_ENTRY_TYPE, &IspChip::AbtsResponse},
        {ISP_ENTRY_CT_PASSTHROUGH, &IspChip::CtPassThrough},
        {ISP_ENTRY_LOGOUT, &IspChip::LogoutEntry},
        {ISP_ENTRY_MARKER, &IspChip::Marker},
    };
    for (const auto& e : kEntries) {
        if (e.type == entry[0]) {
            (this->*e.handler)(entry);
            return;
        }
    }
    RefuseEntry(entry);
}

void IspChip::Marker(const Entry& entry) {
    ++m_markers;
    m_lastMarker = entry;
}

// The firmware answers an entry it does not know with a status entry.
void IspChip::RefuseEntry(const Entry& entry) {
    Entry status{};
    status[0] = ISP_ENTRY_STATUS;
    status[1] = 1;
    std::memcpy(&status[4], &entry[4], 4);
    status[8] = 0;
    const uint16_t reason = ISP_STATUS_REASON_BAD_ENTRY;
    std::memcpy(&status[10], &reason, 2);
    PutResponse(status);
}

// An entry goes behind any still waiting for the driver to make room.
void IspChip::Put(FilledRing ring, const Entry& entry) {
    if (ring.length == 0) return;
    if (!ring.backlog.empty() || Full(ring)) {
        ring.backlog.push_back(entry);
        return;
    }
    Write(ring, entry);
}

void IspChip::PutResponse(const Entry& entry) { Put(ResponseRing(), entry); }

void IspChip::PutAtio(const Entry& entry) { Put(AtioRing(), entry); }

bool IspChip::Full(const FilledRing& ring) { return (ring.in + 1) % ring.length == ring.out; }

// Each entry written tells the driver of the ring's new in-pointer.
void IspChip::Write(FilledRing ring, const Entry& entry) {
    uint8_t* p = Memory(ring.base + static_cast<uint32_t>(ring.in) * ISP_ENTRY_BYTES, ISP_ENTRY_BYTES);
    if (p != nullptr) std::memcpy(p, entry.data(), ISP_ENTRY_BYTES);
    ring.in = static_cast<uint16_t>((ring.in + 1) % ring.length);
    ring.update = true;
    Present();
}

bool IspChip::AtioRingHasRoom() {
    const FilledRing ring = AtioRing();
    return ring.length != 0 && ring.backlog.empty() && !Full(ring);
}

void IspChip::DrainBacklogs() {
    for (FilledRing ring : {ResponseRing(), AtioRing()}) {
        while (!ring.backlog.empty() && !Full(ring)) {
            Write(ring, ring.backlog.front());
            ring.backlog.pop_front();
        }
    }
}

// --- exchanges ------------------------------------------------------------------------

uint32_t IspChip::OpenExchange(FcInitiator& initiator, uint32_t tag, uint16_t oxId, uint32_t fcpDl) {
    if (m_freeExchanges.empty()) return kNoExchange;
    const uint32_t index = m_freeExchanges.back();
    m_freeExchanges.pop_back();
    Exchange& x = m_exchanges[index];
    x.used = true;
    ++x.generation;
    x.initiator = &initiator;
    x.tag = tag;
    x.oxId = oxId;
    x.fcpDl = fcpDl;
    x.aborting = false;
    return static_cast<uint32_t>(x.generation) << 16 | index;
}

IspChip::Exchange* IspChip::FindExchange(uint32_t address) {
    const uint32_t index = address & 0xFFFF;
    if (address == kNoExchange || index >= m_exchanges.size()) return nullptr;
    Exchange& x = m_exchanges[index];
    return x.used && x.generation == (address >> 16) ? &x : nullptr;
}

void IspChip::CloseExchange(Exchange& x) {
    x.used = false;
    x.initiator = nullptr;
    m_freeExchanges.push_back(static_cast<uint32_t>(&x - m_exchanges.data()));
}

void IspChip::EndExchangesOf(const FcInitiator& initiator, FcpResult::Outcome outcome) {
    for (Exchange& x : m_exchanges) {
        if (!x.used || x.initiator != &initiator) continue;
        x.initiator->Ended(x.tag, outcome);
        CloseExchange(x);
    }
}

// --- CTIO type 7 --------------------------------------------------------------------

void IspChip::FinishCtio(const Entry& entry, uint16_t status, uint32_t residual) {
    ISP24_CTIO7 ctio;
    std::memcpy(&ctio, entry.data(), sizeof ctio);
    ISP24_CTIO7_COMPLETION c{};
    c.bEntryType = CTIO7_ENTRY_TYPE;
    c.bEntryCount = 1;
    c.bSystemDefined = ctio.bSystemDefined;
    c.dHandle = ctio.dHandle;
    c.wStatus = status;
    c.dExchangeAddress = ctio.dExchangeAddress;
    c.wFlags = ctio.wFlags;
    c.dResidual = residual;
    c.wOxId = ctio.wOxId;
    Entry out{};
    std::memcpy(out.data(), &c, sizeof c);
    PutResponse(out);
}

void IspChip::Ctio7(const Entry& entry) {
    ISP24_CTIO7 ctio;
    std::memcpy(&ctio, entry.data(), sizeof ctio);
    ++m_ctiosExecuted;
    Exchange* x = FindExchange(ctio.dExchangeAddress);
    if (ctio.wFlags & CTIO7_FLAG_TERMINATE) {
        // The exchange ends here; nothing goes to the host and nothing back.
        // An exchange under ABTS ends with the ABTS's answer.
        if (x != nullptr) {
            ++m_terminated;
            if (!x->aborting) x->initiator->Ended(x->tag, FcpResult::Outcome::Terminated);
            CloseExchange(*x);
        }
        return;
    }
    const uint32_t portId = static_cast<uint32_t>(ctio.bPortIdHigh) << 16 | ctio.wPortIdLow;
    const Login* login = FindLoginByHandle(ctio.wNportHandle);
    if (ctio.dExchangeAddress == kNoExchange) {
        StatusWithoutExchange(entry, login, portId);
        return;
    }
    if (x == nullptr || x->aborting || (login != nullptr && login->initiator != x->initiator) ||
        x->initiator->portId() != portId || x->oxId != ctio.wOxId) {
        FinishCtio(entry, x != nullptr && x->aborting ? CTIO_STATUS_ABORTED : CTIO_STATUS_INVALID_EXCHANGE, 0);
        return;
    }
    uint32_t bytes = 0;
    uint16_t status = CTIO_COMPLETE;
    const bool modeData = (ctio.wFlags & CTIO7_FLAG_STATUS_MODE_1) == 0;
    if (modeData && ctio.wSegmentCount > 0 && (ctio.wFlags & (CTIO7_FLAG_DATA_IN | CTIO7_FLAG_DATA_OUT))) {
        const uint32_t offset = ctio.u.sData.dRelativeOffset;
        const uint32_t length = ctio.u.sData.dSegmentLength;
        uint8_t* p = Memory(ctio.u.sData.dSegmentAddressLow, length);
        if (p == nullptr || ctio.wSegmentCount != 1 || ctio.u.sData.dSegmentAddressHigh != 0) {
            status = CTIO_STATUS_DMA_ERROR;
        } else if (ctio.wFlags & CTIO7_FLAG_DATA_IN) {
            x->initiator->DataIn(x->tag, offset, p, length);
            bytes = length;
        } else {
            const uint32_t got = x->initiator->DataOut(x->tag, offset, p, length);
            if (got < length) std::memset(p + got, 0, length - got);
            bytes = length;
        }
    }
    const bool sendStatus = status == CTIO_COMPLETE && (ctio.wFlags & CTIO7_FLAG_SEND_STATUS);
    StartCtio(entry, x->initiator, x->tag, status, sendStatus, modeData, bytes);
    if (sendStatus) CloseExchange(*x);
}

// A status for a command the chip had no exchange for: the FCP_RSP goes to
// the initiator and OX_ID the entry names.  Only a status can go that way.
void IspChip::StatusWithoutExchange(const Entry& entry, const Login* login, uint32_t portId) {
    ISP24_CTIO7 ctio;
    std::memcpy(&ctio, entry.data(), sizeof ctio);
    const bool statusOnly = (ctio.wFlags & CTIO7_FLAG_STATUS_MODE_1) && (ctio.wFlags & CTIO7_FLAG_SEND_STATUS);
    const uint32_t tag = login != nullptr ? login->initiator->TagOfOxId(ctio.wOxId) : 0;
    if (!statusOnly || tag == 0 || login->initiator->portId() != portId) {
        FinishCtio(entry, CTIO_STATUS_INVALID_EXCHANGE, 0);
        return;
    }
    StartCtio(entry, login->initiator, tag, CTIO_COMPLETE, true, false, 0);
}

void IspChip::StartCtio(const Entry& entry, FcInitiator* initiator, uint32_t tag, uint16_t status, bool sendStatus,
                        bool modeData, uint32_t bytes) {
    CtioInFlight& f = m_ctios[m_freeCtios.back()];
    m_freeCtios.pop_back();
    f.entry = entry;
    f.initiator = initiator;
    f.tag = tag;
    f.status = status;
    f.sendStatus = sendStatus;
    f.modeData = modeData;
    uint64_t due = clock().Now() + kCtioNs + TransferNs(bytes);
    if (m_isp2x00) {
        // A status posted behind a data transfer goes out after it.
        due = std::max(due, m_lastCtioDoneNs + 1);
        m_lastCtioDoneNs = due;
    }
    clock().Arm(f.event, due);
}

// The data of a CTIO has crossed the link: its status goes to the host and
// its completion to the driver.
IspChip::CtioStatus IspChip::Ctio7Status(const CtioInFlight& f) const {
    const auto* c = reinterpret_cast<const ISP24_CTIO7*>(f.entry.data());
    CtioStatus s;
    s.word = c->wScsiStatus;
    s.residual = c->dResidual;
    const uint32_t response = std::min<uint32_t>(c->u.sStatus.wResponseLength, CTIO7_SENSE_BYTES);
    if (!f.modeData && (c->wScsiStatus & FCP_SENSE_VALID)) {
        s.senseLength = std::min<uint32_t>(c->wSenseLength, CTIO7_SENSE_BYTES - response);
        s.sense = c->u.sStatus.abSense + response;
    }
    if (!f.modeData && (c->wScsiStatus & FCP_RESPONSE_INFO_VALID)) {
        s.response = c->u.sStatus.abSense;
        s.responseLength = response;
    }
    return s;
}

void IspChip::CtioDone(uint32_t slot) {
    CtioInFlight& f = m_ctios[slot];
    if (f.sendStatus) {
        const CtioStatus s = m_isp2x00 ? Ctio2Status(f) : Ctio7Status(f);
        const bool under = (s.word & FCP_RESIDUAL_UNDERRUN) != 0, over = (s.word & FCP_RESIDUAL_OVERRUN) != 0;
        // RSP_CODE is byte 3 of FCP_RSP_INFO.
        if (s.responseLength >= 4) f.initiator->ResponseInfo(f.tag, s.response[3]);
        f.initiator->Response(f.tag, static_cast<uint8_t>(s.word), s.sense, s.senseLength,
                              under || over ? s.residual : 0, under, over);
    }
    if (m_isp2x00) {
        FinishCtio2(f.entry, f.status);
    } else {
        FinishCtio(f.entry, f.status, 0);
    }
    m_freeCtios.push_back(slot);
    // A ring stopped for want of a slot goes on.
    if (m_reqOut != m_reqIn) RequestsWritten();
}

// --- notify acknowledges, ABTS, CT pass-through, logout ----------------------------

void IspChip::Notify(uint16_t status, uint8_t els, const Login& login) {
    if (m_isp2x00) {
        Notify2x00(status, login, 0, 0, 0);
        return;
    }
    // Each notify gets an exchange address of its own: the acknowledge
    // names it, whatever status the driver writes there.
    const uint32_t exchange = kNotifyExchangeBase | (m_nextNotify++ & 0xFFFF);
    m_notifies.push_back(PendingNotify{exchange, status, els, login.handle});
    IMMEDIATE_NOTIFY24_ENTRY n{};
    n.bEntryType = IMMEDIATE_NOTIFY24_ENTRY_TYPE;
    n.bEntryCount = 1;
    n.wNPortHandle = login.handle;
    n.wStatus = status;
    n.bElsOpcode = els;
    n.dExchangeAddress = exchange;
    Put24Be(n.abPortId, login.initiator->portId());
    n.wOxId = static_cast<uint16_t>(exchange);
    n.wRxId = 0xFFFF;
    Entry e{};
    std::memcpy(e.data(), &n, sizeof n);
    PutAtio(e);
}

// A login goes one step on when the driver has acknowledged the notify of
// the step before.
void IspChip::NotifyAck(const Entry& entry) {
    if (m_isp2x00) {
        NotifyAck2x00(entry);
        return;
    }
    IMMEDIATE_NOTIFY24_ENTRY ack;
    std::memcpy(&ack, entry.data(), sizeof ack);
    ++m_notifyAcks;
    auto it = std::find_if(m_notifies.begin(), m_notifies.end(),
                           [&](const PendingNotify& n) { return n.exchange == ack.dExchangeAddress; });
    if (it == m_notifies.end()) return;
    const PendingNotify notify = *it;
    m_notifies.erase(it);
    if (notify.status != NOTIFY_ELS) return;
    Login* login = FindLoginByHandle(notify.handle);
    if (login == nullptr) return;
    if (notify.els == ELS_PLOGI && login->state == Login::State::PlogiNotified) {
        login->state = Login::State::PrliNotified;
        Notify(NOTIFY_ELS, ELS_PRLI, *login);
    } else if (notify.els == ELS_PRLI && login->state == Login::State::PrliNotified) {
        login->state = Login::State::LoggedIn;
        login->initiator->LoginAnswered(*this, true);
        QueueAsync(ISP_AEN_PORT_DATABASE_CHANGED, 0, 0, 0);
    }
}

// The driver answers an ABTS with BA_ACC or BA_RJT.  It may have ended the
// exchange with a terminating CTIO first; either way the initiator learns
// the answer here.
void IspChip::AbtsResponse(const Entry& entry) {
    ABTS_ENTRY response;
    std::memcpy(&response, entry.data(), sizeof response);
    auto it = std::find_if(m_abts.begin(), m_abts.end(), [&](const PendingAbts& a) {
        return a.exchange == response.dExchangeToAbort && a.oxId == response.wOxId;
    });
    if (it == m_abts.end()) return;
    const PendingAbts abts = *it;
    m_abts.erase(it);
    const bool accepted = response.bResponseCode == BA_ACC;
    Exchange* x = FindExchange(abts.exchange);
    if (x != nullptr && x->initiator == abts.initiator && x->tag == abts.tag) {
        if (accepted) {
            ++m_terminated;
            CloseExchange(*x);
        } else {
            x->aborting = false;
        }
        abts.initiator->AbortAnswered(abts.tag, accepted);
        return;
    }
    abts.initiator->AbortAnswered(abts.tag, accepted);
    // Refused, but the exchange is gone all the same: the command ends.
    if (!accepted) abts.initiator->Ended(abts.tag, FcpResult::Outcome::Terminated);
}

// RFT_ID to the name server is the one CT request the driver sends.
void IspChip::CtPassThrough(const Entry& entry) {
    ISP24_CT_PASSTHROUGH ct;
    std::memcpy(&ct, entry.data(), sizeof ct);
    ++m_ctPassThroughs;
    const uint8_t* command = Memory(ct.dCommandAddressLow, ct.dCommandByteCount);
    uint8_t* response = Memory(ct.dResponseAddressLow, ct.dResponseByteCount);
    uint16_t status = 0;
    if (command == nullptr || response == nullptr || ct.dResponseByteCount < 16 || ct.wNportHandle != ISP24_HANDLE_NAME_SERVER) {
        status = 0x0006;
    } else {
        std::memset(response, 0, 16);
        response[0] = 1;
        response[4] = 0xFC;
        response[5] = 2;
        response[8] = 0x80;   // accept
        response[9] = 0x02;
    }
    ct.wStatus = status;
    Entry out{};
    std::memcpy(out.data(), &ct, sizeof ct);
    PutResponse(out);
}

void IspChip::LogoutEntry(const Entry& entry) {
    ISP24_LOGOUT logout;
    std::memcpy(&logout, entry.data(), sizeof logout);
    ++m_logoutEntries;
    Login* login = FindLoginByHandle(logout.wNportHandle);
    if (login != nullptr) DropLogin(*login->initiator, 0, true);
    Entry out = entry;
    PutResponse(out);
}

}  // namespace sim
