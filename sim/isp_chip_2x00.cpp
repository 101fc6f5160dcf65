// What the ISP2x00 generation of the host chip does differently in target
// mode: its control block, commands (ATIO type 2) and immediate notifies on
// the response ring, CTIO type 2 with its completion, the command resources
// ENABLE LUN and MODIFY LUN hand out and return, and fast-posted
// completions.  Its registers are the ISP24xx state at the 16-bit offsets
// (isp_chip.cpp); logins it takes itself.
#include <algorithm>
#include <cstring>

#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/isp_chip.h"

namespace sim {

using namespace fw;

namespace {

uint16_t Get16(const uint8_t* p, uint32_t offset) { return static_cast<uint16_t>(p[offset] | p[offset + 1] << 8); }
uint32_t Get32(const uint8_t* p, uint32_t offset) {
    uint32_t v;
    std::memcpy(&v, p + offset, 4);
    return v;
}
void Put16(uint8_t* p, uint32_t offset, uint16_t v) { std::memcpy(p + offset, &v, 2); }
void Put32(uint8_t* p, uint32_t offset, uint32_t v) { std::memcpy(p + offset, &v, 4); }

uint64_t GetName(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// The control block's fields.
constexpr uint32_t kIcbBytes = 0x48;
constexpr uint32_t kIcbPortName = 0x0C;
constexpr uint32_t kIcbHardAddress = 0x14;
constexpr uint32_t kIcbNodeName = 0x18;
constexpr uint32_t kIcbRequestLength = 0x24;
constexpr uint32_t kIcbResponseLength = 0x26;
constexpr uint32_t kIcbRequestAddress = 0x28;
constexpr uint32_t kIcbResponseAddress = 0x30;
constexpr uint32_t kIcbCommandResources = 0x3A;
constexpr uint32_t kIcbAdditionalOptions = 0x40;
constexpr uint32_t kIcbSpecialOptions = 0x44;

// CTIO type 2 fields, both forms.
constexpr uint32_t kCtioLoopId = 0x08;
constexpr uint32_t kCtioRxId = 0x0A;
constexpr uint32_t kCtioFlags = 0x0C;
constexpr uint32_t kCtioStatus = 0x0E;     // in the completion
constexpr uint32_t kCtioSegments = 0x12;
constexpr uint32_t kCtioOffset = 0x14;
constexpr uint32_t kCtioResidual = 0x18;
constexpr uint32_t kCtioSenseLength = 0x20;
constexpr uint32_t kCtioScsiStatus = 0x22;
constexpr uint32_t kCtioResponseLength = 0x24;
constexpr uint32_t kCtioResponseBytes = 0x26;
constexpr uint32_t kCtioSegmentAddress = 0x28;
constexpr uint32_t kCtioSegmentLength = 0x2C;
constexpr uint32_t kCtioStatusBytes = ISP_ENTRY_BYTES - kCtioResponseBytes;   // response and sense together

// ENABLE LUN and MODIFY LUN.
constexpr uint32_t kLunOperators = 0x0A;
constexpr uint32_t kLunCommandCount = 0x12;
constexpr uint8_t kModifyAdd = 1;

// The RX_ID the chip gives a command: its exchange's index.
constexpr uint32_t kMaxRxId = 0xFFFF;

// NOTIFY ACKNOWLEDGE: the sequence id of the notify it answers.
constexpr uint32_t kAckSequence = 0x14;

}  // namespace

uint16_t IspChip::InitializeFirmware2x00(uint32_t icbAddress) {
    const uint8_t* p = Memory(icbAddress, kIcbBytes);
    if (p == nullptr) return MBS_PARAMETER_ERROR;
    m_icb.assign(p, p + kIcbBytes);
    const uint16_t requestLength = Get16(p, kIcbRequestLength), responseLength = Get16(p, kIcbResponseLength);
    const uint32_t requestBase = Get32(p, kIcbRequestAddress), responseBase = Get32(p, kIcbResponseAddress);
    const auto ringOk = [this](uint32_t base, uint16_t length) {
        return length != 0 && Memory(base, static_cast<uint32_t>(length) * ISP_ENTRY_BYTES) != nullptr;
    };
    if (!ringOk(requestBase, requestLength) || !ringOk(responseBase, responseLength)) return MBS_PARAMETER_ERROR;
    m_reqBase = requestBase;
    m_rspBase = responseBase;
    m_atioBase = 0;
    m_reqLength = requestLength;
    m_rspLength = responseLength;
    m_atioLength = 0;
    m_reqIn = m_reqOut = m_rspIn = m_rspOut = m_atioIn = m_atioOut = 0;
    m_portName = GetName(p + kIcbPortName);
    m_nodeName = GetName(p + kIcbNodeName);
    m_hardAddress = Get16(p, kIcbHardAddress);
    m_connectionOption = static_cast<uint16_t>((Get16(p, kIcbAdditionalOptions) >> 4) & 7);
    // Special options bits 14-15: 1 Gb/s, 2 Gb/s or automatic.
    switch (Get16(p, kIcbSpecialOptions) >> 14) {
    case 0: m_rateOption = kRate1Gb; break;
    case 1: m_rateOption = kRate2Gb; break;
    default: m_rateOption = kRateAutomatic; break;
    }
    m_commandResources = p[kIcbCommandResources];
    RunInitialised(kDefaultExchanges);
    return MBS_COMPLETE;
}

// An FCP_CMND becomes an ATIO type 2 on the response ring; it takes one of
// the command resources.  A task management request comes as an immediate
// notify instead.  With no resource or exchange left the chip answers BUSY
// itself.
void IspChip::TakeCommand2x00(FcInitiator& initiator, uint32_t tag, const FcpCommand& c, const Login* login) {
    if (login == nullptr) {
        initiator.Ended(tag, FcpResult::Outcome::Rejected);
        return;
    }
    if (c.taskManagement != 0) {
        Notify2x00(NOTIFY_TASK_MANAGEMENT, *login, static_cast<uint16_t>(c.taskManagement << 8), c.lun, 0);
        initiator.Response(tag, SCSI_STATUS_GOOD, nullptr, 0, 0, false, false);
        return;
    }
    if (m_commandResources == 0 || m_freeExchanges.empty()) {
        ++m_busyAnswers;
        initiator.Response(tag, SCSI_STATUS_BUSY, nullptr, 0, 0, false, false);
        return;
    }
    --m_commandResources;
    const uint32_t fcpDl = c.fcpDl >= 0 ? static_cast<uint32_t>(c.fcpDl)
                                        : static_cast<uint32_t>(c.dataOut.empty() ? c.dataInLength : c.dataOut.size());
    const uint16_t oxId = FcInitiator::OxIdOf(tag);
    const uint32_t address = OpenExchange(initiator, tag, oxId, fcpDl);
    m_exchanges[address & kMaxRxId].lun = c.lun;
    ATIO2_ENTRY a{};
    a.bEntryType = ATIO2_ENTRY_TYPE;
    a.bEntryCount = 1;
    a.wInitiator = login->handle;
    a.wRxId = static_cast<uint16_t>(address & kMaxRxId);
    a.wStatus = ATIO2_STATUS_COMMAND_RECEIVED;
    a.bCommandReference = c.crn;
    a.bTaskAttribute = c.taskAttribute & FCP_TASK_ATTRIBUTE_MASK;
    a.bDataDirection = static_cast<uint8_t>((c.dataInLength != 0 ? FCP_READ_DATA : 0) | (!c.dataOut.empty() ? FCP_WRITE_DATA : 0));
    if (!c.cdb.empty()) std::memcpy(a.abCdb, c.cdb.data(), std::min<size_t>(c.cdb.size(), sizeof a.abCdb));
    a.dDataLength = fcpDl;
    a.wLun = c.lun;
    a.wOxId = oxId;
    Entry e{};
    std::memcpy(e.data(), &a, sizeof a);
    PutResponse(e);
}

// CTIO type 2: the exchange is named by its RX_ID and the initiator's loop
// ID.  An entry with a data segment moves data (and may carry the status
// word); one without is the status form, its sense in the entry.
void IspChip::Ctio2(const Entry& entry) {
    ++m_ctiosExecuted;
    const uint8_t* p = entry.data();
    const uint16_t rxId = Get16(p, kCtioRxId), flags = Get16(p, kCtioFlags);
    Exchange* x = rxId < m_exchanges.size() && m_exchanges[rxId].used ? &m_exchanges[rxId] : nullptr;
    const Login* login = FindLoginByHandle(Get16(p, kCtioLoopId));
    if (x == nullptr || x->aborting || login == nullptr || login->initiator != x->initiator) {
        FinishCtio2(entry, x != nullptr && x->aborting ? CTIO_STATUS_ABORTED : CTIO_STATUS_INVALID_EXCHANGE);
        return;
    }
    uint32_t bytes = 0;
    uint16_t status = CTIO_COMPLETE;
    const bool modeData = Get16(p, kCtioSegments) > 0 && (flags & (CTIO2_FLAG_DATA_IN | CTIO2_FLAG_DATA_OUT));
    if (modeData) {
        const uint32_t length = Get32(p, kCtioSegmentLength), offset = Get32(p, kCtioOffset);
        uint8_t* data = Memory(Get32(p, kCtioSegmentAddress), length);
        if (data == nullptr || Get16(p, kCtioSegments) != 1) {
            status = CTIO_STATUS_DMA_ERROR;
        } else if (flags & CTIO2_FLAG_DATA_IN) {
            x->initiator->DataIn(x->tag, offset, data, length);
            bytes = length;
        } else {
            const uint32_t got = x->initiator->DataOut(x->tag, offset, data, length);
            if (got < length) std::memset(data + got, 0, length - got);
            bytes = length;
        }
    }
    const bool sendStatus = status == CTIO_COMPLETE && (flags & CTIO2_FLAG_SEND_STATUS);
    if (sendStatus && !modeData) {
        FcInitiator* initiator = x->initiator;
        const uint32_t tag = x->tag;
        if (std::any_of(m_ctios.begin(), m_ctios.end(), [&](const CtioInFlight& f) {
                return f.event.Armed() && f.initiator == initiator && f.tag == tag;
            })) {
            ++m_statusesBehindData;
        }
    }
    StartCtio(entry, x->initiator, x->tag, status, sendStatus, modeData, bytes);
    if (sendStatus) {
        // The exchange ends with its status: its command resource is free.
        CloseExchange(*x);
        ++m_commandResources;
    }
}

IspChip::CtioStatus IspChip::Ctio2Status(const CtioInFlight& f) const {
    const uint8_t* p = f.entry.data();
    CtioStatus s;
    s.word = Get16(p, kCtioScsiStatus);
    s.residual = Get32(p, kCtioResidual);
    if (!f.modeData && (s.word & FCP_SENSE_VALID)) {
        const uint32_t response = std::min<uint32_t>(Get16(p, kCtioResponseLength), kCtioStatusBytes);
        s.senseLength = std::min<uint32_t>(Get16(p, kCtioSenseLength), kCtioStatusBytes - response);
        s.sense = p + kCtioResponseBytes + response;
    }
    return s;
}

// The completion names the CTIO by its handle and tag, the exchange by its
// RX_ID, and echoes the flags.
void IspChip::FinishCtio2(const Entry& entry, uint16_t status) {
    Entry out{};
    out[0] = CTIO2_ENTRY_TYPE;
    out[1] = 1;
    out[2] = entry[2];
    std::memcpy(&out[4], &entry[4], 4);
    std::memcpy(&out[kCtioLoopId], &entry[kCtioLoopId], 2);
    std::memcpy(&out[kCtioRxId], &entry[kCtioRxId], 2);
    std::memcpy(&out[kCtioFlags], &entry[kCtioFlags], 2);
    Put16(out.data(), kCtioStatus, status);
    Put32(out.data(), kCtioResidual, 0);
    PutResponse(out);
}

void IspChip::FastPostCtio(uint16_t handle) {
    Interrupt e{};
    e.kind = ISP_INT_2X00_FAST_POST_17;
    e.mailbox[0] = handle;
    e.mailboxMask = 1;
    m_async.push_back(e);
    Present();
}

// An immediate notify goes on the response ring; the acknowledge names it
// by its sequence id.
void IspChip::Notify2x00(uint16_t status, const Login& login, uint16_t taskFlags, uint16_t lun, uint16_t exchangeTag) {
    const uint16_t sequence = static_cast<uint16_t>(m_nextNotify++);
    m_notifies.push_back(PendingNotify{sequence, status, 0, login.handle, exchangeTag});
    IMMEDIATE_NOTIFY2_ENTRY n{};
    n.bEntryType = IMMEDIATE_NOTIFY_ENTRY_TYPE;
    n.bEntryCount = 1;
    n.wInitiator = login.handle;
    n.wLun = lun;
    n.wStatus = status;
    n.wTaskFlags = taskFlags;
    n.wSequenceId = sequence;
    n.wExchangeTag = exchangeTag;
    Entry e{};
    std::memcpy(e.data(), &n, sizeof n);
    PutResponse(e);
}

// A NOTIFY ACKNOWLEDGE names the notify by its sequence id at 0x14.
void IspChip::NotifyAck2x00(const Entry& entry) { AcknowledgeNotify2x00(Get16(entry.data(), kAckSequence)); }

// The driver may instead give the notify back as it came, its status word
// rewritten: its own sequence id names it.
void IspChip::NotifyPostedBack2x00(const Entry& entry) {
    if (!m_isp2x00) {
        RefuseEntry(entry);
        return;
    }
    IMMEDIATE_NOTIFY2_ENTRY n;
    std::memcpy(&n, entry.data(), sizeof n);
    AcknowledgeNotify2x00(n.wSequenceId);
}

// An acknowledged ABORT TASK ends its exchange and answers the initiator's
// ABTS with BA_ACC; the command's resource stays with the driver, which
// returns it as for any exchange that ended without its status.
void IspChip::AcknowledgeNotify2x00(uint16_t sequence) {
    ++m_notifyAcks;
    auto it = std::find_if(m_notifies.begin(), m_notifies.end(),
                           [&](const PendingNotify& n) { return n.exchange == sequence; });
    if (it == m_notifies.end()) return;
    const PendingNotify notify = *it;
    m_notifies.erase(it);
    if (notify.status != NOTIFY_ABORT_TASK) return;
    auto abts = std::find_if(m_abts.begin(), m_abts.end(),
                             [&](const PendingAbts& a) { return (a.exchange & kMaxRxId) == notify.exchangeTag; });
    if (abts == m_abts.end()) return;
    const PendingAbts a = *abts;
    m_abts.erase(abts);
    if (Exchange* x = FindExchange(a.exchange); x != nullptr && x->initiator == a.initiator && x->tag == a.tag) {
        ++m_terminated;
        CloseExchange(*x);
    }
    a.initiator->AbortAnswered(a.tag, true);
}

// The older generation hands an ABTS to the driver as an ABORT TASK
// immediate notify naming the exchange by its RX_ID; one for an exchange
// the chip no longer has it refuses itself.
void IspChip::TakeAbts2x00(FcInitiator& initiator, uint32_t tag) {
    const Login* login = FindLogin(initiator);
    for (Exchange& x : m_exchanges) {
        if (!x.used || x.initiator != &initiator || x.tag != tag || x.aborting || login == nullptr) continue;
        x.aborting = true;
        const uint16_t index = static_cast<uint16_t>(&x - m_exchanges.data());
        m_abts.push_back(PendingAbts{static_cast<uint32_t>(x.generation) << 16 | index, x.oxId, &initiator, tag});
        Notify2x00(NOTIFY_ABORT_TASK, *login, 0, x.lun, index);
        return;
    }
    initiator.AbortAnswered(tag, false);
}

void IspChip::EnableLun(const Entry& entry) {
    ++m_enableLuns;
    m_commandResources = entry[kLunCommandCount];
    PutResponse(entry);
}

void IspChip::ModifyLun(const Entry& entry) {
    ++m_modifyLuns;
    if (entry[kLunOperators] == kModifyAdd) m_commandResources += entry[kLunCommandCount];
    PutResponse(entry);
}

}  // namespace sim
