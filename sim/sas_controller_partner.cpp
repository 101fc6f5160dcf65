// The partner controller's IOC on the drive-side fabric.  Both controllers'
// IOCs hang off the controller enclosure's expander; each shows the other's
// two ports as SSP targets that are initiators as well.  A SCSI IO sent to
// one of those ports lands in a command buffer the other firmware posted
// (target mode): the target firmware moves the data between the two boards'
// memories with TARGET ASSIST and ends the command with automatic status or
// TARGET STATUS SEND, and the initiator's request ends as a drive command
// would.  A full set of command buffers answers TASK SET FULL.
#include <algorithm>
#include <cstring>

#include "hw/mpi.h"
#include "hw/mpi_scsi_port.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/mpi_replies.h"
#include "sim/sas_controller.h"

namespace sim {

namespace {

// The IOCs' own SAS addresses: one per controller slot, the port in the low bits.
constexpr uint64_t kIocSasAddressBase = 0x500605B000002000ull;

}  // namespace

void SasController::ConnectPartners(SasController& a, SasController& b) {
    if (a.m_partner == &b) return;
    a.DisconnectPartner();
    b.DisconnectPartner();
    a.m_partner = &b;
    b.m_partner = &a;
    for (SasController* s : {&a, &b}) {
        s->RefreshAndReport();
    }
}

void SasController::DisconnectPartner() {
    SasController* p = m_partner;
    if (!p) return;
    m_partner = nullptr;
    p->m_partner = nullptr;
    for (SasController* s : {this, p}) {
        s->EndPartnerExchanges(nullptr);
        s->RefreshAndReport();
    }
}

uint64_t SasController::PortSasAddress(unsigned port) const {
    const bool slot1 = board ? board->config().slot1 : true;
    return kIocSasAddressBase + (slot1 ? 0x10 : 0x20) + (port & 1);
}

unsigned SasController::MuxHostPort() const { return board && !board->config().slot1 ? 1 : 0; }

int SasController::PartnerPortOf(uint8_t target) const {
    if (!m_partner || target == 0xFF) return -1;
    for (unsigned port = 0; port < 2; ++port) {
        if (target == TargetOf(m_partner->PortSasAddress(port))) return static_cast<int>(port);
    }
    return -1;
}

// A port behind a cut link answers nothing: a command sent to it ends as
// one to a device that is not there.
bool SasController::IsPartnerTarget(uint8_t target) const {
    const int port = PartnerPortOf(target);
    return port >= 0 && !m_partnerPathCut[static_cast<unsigned>(port)];
}

void SasController::SetPartnerPathCut(unsigned port, bool cut) {
    port &= 1;
    SasController* sides[2] = {this, m_partner};
    for (SasController* s : sides) {
        if (s) s->m_partnerPathCut[port] = cut;
    }
    if (cut) {
        for (SasController* s : sides) {
            if (s) s->EndPartnerExchanges(nullptr, static_cast<int>(port));
        }
    }
    for (SasController* s : sides) {
        if (s) s->RefreshAndReport();
    }
}

// The partner's ports on the expander phys that lead to its board.  Called
// after the drives, so the drives keep the target ids a lone controller
// gives them.
void SasController::DescribePartnerPorts() {
    if (!m_partner || m_partner->m_chassis != m_chassis || !m_chassis) return;
    const uint16_t exHandle = ExpanderHandle(0);
    const uint32_t info = fw::MPI_SAS_DEVICE_INFO_END_DEVICE | fw::MPI_SAS_DEVICE_INFO_SSP_TARGET |
                          fw::MPI_SAS_DEVICE_INFO_INITIATORS;
    for (unsigned port = 0; port < 2; ++port) {
        const uint64_t address = m_partner->PortSasAddress(port);
        AttachedDevice a;
        a.expanderHandle = exHandle;
        a.numPhys = static_cast<uint8_t>(m_chassis->expander(0).phys().size());
        a.phy = kPartnerPortPhy[port];
        if (m_partnerPathCut[port]) {   // the phy stays, its link down
            DescribeEndDevice(a);
            continue;
        }
        a.handle = AssignHandle(address);
        a.target = TargetOf(address);
        a.sasAddress = address;
        a.info = info;
        DescribeEndDevice(a);
    }
}

// The opcode of a drive command the initiator forwards to the partner for
// one of the partner's drives (the drive's CDB follows it).
constexpr uint8_t kForwardedDriveCommand = 0x06;

// A SCSI IO to one of the partner's ports.  The link may lose, repeat, delay
// or corrupt the command frame as a test asks; the answer comes back when
// the partner's firmware gives it.
void SasController::SendToPartner(const uint8_t* frame, uint32_t context, uint8_t target) {
    ++m_partnerCommandsSent;
    ++m_partnerCommandsSentOn[static_cast<unsigned>(PartnerPortOf(target))];
    m_sentToPartner[context] = target;
    const bool lostDriveCommand = linkFaults.loseDriveCommandsFor >= 0 &&
                                  frame[offsetof(fw::MPI_SCSI_IO_REQUEST, abCDB)] == kForwardedDriveCommand &&
                                  frame[offsetof(fw::MPI_SCSI_IO_REQUEST, abLun)] == linkFaults.loseDriveCommandsFor;
    if (linkFaults.drop != 0 || lostDriveCommand) {   // lost on the way: the initiator's time-out ends it
        if (!lostDriveCommand) --linkFaults.drop;
        m_stalled[context] = {target, fw::MPI_FUNCTION_SCSI_IO_REQUEST};
        return;
    }
    if (linkFaults.notReady != 0 && frame[offsetof(fw::MPI_SCSI_IO_REQUEST, abCDB)] == fw::SCSI_TEST_UNIT_READY) {
        --linkFaults.notReady;
        Exchange x = ExchangeOf(*this, frame, context, target);
        const uint8_t sense[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x00};
        FinishExchange(x, fw::SCSI_STATUS_CHECK_CONDITION, sense, sizeof sense, fw::MPI_IOCSTATUS_SUCCESS);
        return;
    }
    std::vector<uint8_t> copy(frame, frame + kRequestFrameBytes);
    copy[2] = static_cast<uint8_t>(m_nextTag);          // the initiator tag rides in the copy
    copy[6] = static_cast<uint8_t>(m_nextTag >> 8);
    m_nextTag = static_cast<uint16_t>(m_nextTag + 1 == 0 ? 1 : m_nextTag + 1);
    if (linkFaults.corrupt != 0) {
        --linkFaults.corrupt;
        copy[offsetof(fw::MPI_SCSI_IO_REQUEST, abCDB) + 5] ^= 0x5A;
    }
    const unsigned times = linkFaults.repeat != 0 ? (--linkFaults.repeat, 2u) : 1u;
    for (unsigned n = 0; n < times; ++n) {
        if (linkFaults.delayNs == 0) {
            m_partner->ArriveFromPartner(*this, copy, context, target);
            continue;
        }
        // Delayed frames wait here, in order; the partner may leave before
        // they arrive.
        m_delayed.push_back({B().clock().Now() + linkFaults.delayNs, m_partner, copy, context, target});
        if (!m_delayedEvent.Armed()) B().clock().Arm(m_delayedEvent, m_delayed.front().due);
    }
}

void SasController::DeliverDelayed() {
    while (!m_delayed.empty() && m_delayed.front().due <= B().clock().Now()) {
        Delayed d = std::move(m_delayed.front());
        m_delayed.pop_front();
        if (m_partner && m_partner == d.partner) m_partner->ArriveFromPartner(*this, d.frame, d.context, d.target);
    }
    if (!m_delayed.empty()) B().clock().Arm(m_delayedEvent, m_delayed.front().due);
}

// The exchange a SCSI IO request frame of the initiator opens.
SasController::Exchange SasController::ExchangeOf(SasController& from, const uint8_t* frame, uint32_t context,
                                                  uint8_t target) {
    Exchange x;
    x.open = true;
    x.initiator = &from;
    x.context = context;
    x.target = target;
    x.tag = static_cast<uint16_t>(frame[2] | frame[6] << 8);
    x.dataLength = Load<uint32_t>(frame + offsetof(fw::MPI_SCSI_IO_REQUEST, dDataLength));
    x.senseAddress = Load<uint32_t>(frame + offsetof(fw::MPI_SCSI_IO_REQUEST, dSenseBufferLowAddr));
    x.senseBufferLength = frame[offsetof(fw::MPI_SCSI_IO_REQUEST, bSenseBufferLength)];
    std::memcpy(x.cdb.data(), frame + offsetof(fw::MPI_SCSI_IO_REQUEST, abCDB), x.cdb.size());
    x.toTarget = (Load<uint32_t>(frame + offsetof(fw::MPI_SCSI_IO_REQUEST, dControl)) &
                  fw::MPI_SCSIIO_CONTROL_WRITE) != 0;
    // The initiator's buffers, its chain segments (in its memory) followed:
    // a transfer of many pieces goes on past the frame's own elements.
    uint32_t sgl[kSglDwordsInFrame];
    std::memcpy(sgl, frame + offsetof(fw::MPI_SCSI_IO_REQUEST, adSGL), sizeof sgl);
    std::array<SglPiece, kMaxSglElements> pieces;
    const unsigned count = WalkSgl(from.B().memory(), sgl, kSglDwordsInFrame, pieces);
    for (unsigned i = 0; i < count; ++i) x.pieces.emplace_back(pieces[i].address, pieces[i].length);
    return x;
}

void SasController::ArriveFromPartner(SasController& from, const std::vector<uint8_t>& frame, uint32_t context,
                                      uint8_t target) {
    ++m_partnerCommandsReceived;
    Exchange x = ExchangeOf(from, frame.data(), context, target);
    const uint16_t tag = x.tag;
    // A repeated frame of a command still open here is the same command: the
    // link's tag check drops it.
    for (const Exchange& o : m_exchanges) {
        if (o.open && o.initiator == &from && o.tag == tag) return;
    }
    if (m_state != State::Operational || m_freeCmdBuffers.empty()) {
        ++m_partnerTaskSetFull;
        FinishExchange(x, fw::SCSI_STATUS_TASK_SET_FULL, nullptr, 0, fw::MPI_IOCSTATUS_SUCCESS);
        return;
    }
    const uint16_t ioIndex = m_freeCmdBuffers.front();
    uint8_t* buffer = B().memory().Translate(m_cmdBufferAddress[ioIndex], sizeof(fw::MPI_TARGET_SSP_CMD_BUFFER));
    if (!buffer) {
        FinishExchange(x, 0, nullptr, 0, fw::MPI_IOCSTATUS_SCSI_IOC_TERMINATED);
        return;
    }
    m_freeCmdBuffers.pop_front();
    fw::MPI_TARGET_SSP_CMD_BUFFER c{};
    c.bFrameType = fw::MPI_TARGET_FRAME_COMMAND;
    c.wInitiatorTag = tag;
    c.wDevHandle = AssignHandle(from.PortSasAddress(0));
    std::memcpy(c.abLun, frame.data() + offsetof(fw::MPI_SCSI_IO_REQUEST, abLun), sizeof c.abLun);
    std::memcpy(c.abCdb, frame.data() + offsetof(fw::MPI_SCSI_IO_REQUEST, abCDB), sizeof c.abCdb);
    std::memcpy(buffer, &c, sizeof c);
    m_exchanges[ioIndex] = std::move(x);
    if (partnerCommandSeen) partnerCommandSeen(c.abCdb);
    TargetReply(ioIndex);
}

void SasController::ArriveAbortTask(SasController& from, uint32_t context) {
    const Exchange* aborted = nullptr;
    for (const Exchange& o : m_exchanges) {
        if (o.open && o.initiator == &from && o.context == context) aborted = &o;
    }
    if (!aborted || m_state != State::Operational || m_freeCmdBuffers.empty()) return;
    const uint16_t ioIndex = m_freeCmdBuffers.front();
    uint8_t* buffer = B().memory().Translate(m_cmdBufferAddress[ioIndex], sizeof(fw::MPI_TARGET_SSP_CMD_BUFFER));
    if (!buffer) return;
    m_freeCmdBuffers.pop_front();
    fw::MPI_TARGET_SSP_CMD_BUFFER c{};
    c.bFrameType = fw::MPI_TARGET_FRAME_TASK;
    c.wInitiatorTag = from.m_nextTag;
    from.m_nextTag = static_cast<uint16_t>(from.m_nextTag + 1 == 0 ? 1 : from.m_nextTag + 1);
    c.wDevHandle = AssignHandle(from.PortSasAddress(0));
    c.bTaskManagementFunction = 1;   // ABORT TASK
    c.wManagedTaskTag = aborted->tag;
    std::memcpy(buffer, &c, sizeof c);
    // The initiator already ended its request: the answer goes nowhere.
    Exchange x;
    x.open = true;
    x.tag = c.wInitiatorTag;
    m_exchanges[ioIndex] = std::move(x);
    TargetReply(ioIndex);
}

void SasController::TargetReply(uint16_t ioIndex) {
    m_replyPost.push_back(fw::MPI_REPLY_TYPE_TARGET | ioIndex);
    UpdateInterrupt();
}

void SasController::FinishExchange(Exchange& x, uint8_t status, const uint8_t* sense, uint32_t senseLength,
                                   uint16_t iocStatus) {
    x.open = false;
    SasController* initiator = x.initiator;
    x.initiator = nullptr;
    // An answer for a request the initiator no longer waits for (it aborted
    // it, or its IOC restarted) goes nowhere.
    if (!initiator || initiator->m_sentToPartner.erase(x.context) == 0) return;
    initiator->m_stalled.erase(x.context);
    PartnerAnswer& answer = initiator->m_lastPartnerAnswer;
    ++answer.count;
    answer.status = status;
    const bool check = status == fw::SCSI_STATUS_CHECK_CONDITION && sense && senseLength >= 14;
    answer.key = check ? sense[2] & 0x0F : 0;
    answer.asc = check ? sense[12] : 0;
    answer.ascq = check ? sense[13] : 0;
    answer.dataIn = x.dataInHead;
    if (initiator->partnerAnswerSeen && iocStatus == fw::MPI_IOCSTATUS_SUCCESS) {
        initiator->partnerAnswerSeen(x.cdb.data(), status);
    }
    if (iocStatus == fw::MPI_IOCSTATUS_SUCCESS && status == fw::SCSI_STATUS_GOOD && x.transferred >= x.dataLength) {
        initiator->ContextReply(x.context);
        return;
    }
    ScsiEnd end{};
    end.context = x.context;
    end.dataLength = x.dataLength;
    end.transferred = x.transferred;
    end.senseAddress = x.senseAddress;
    end.senseBufferLength = x.senseBufferLength;
    end.target = x.target;
    end.status = status;
    end.senseLength = static_cast<uint8_t>(std::min<uint32_t>(senseLength, kSenseBytes));
    if (sense) std::copy_n(sense, end.senseLength, end.sense.begin());
    if (iocStatus == fw::MPI_IOCSTATUS_SUCCESS && status == fw::SCSI_STATUS_GOOD) {
        iocStatus = fw::MPI_IOCSTATUS_SCSI_DATA_UNDERRUN;
    }
    initiator->ReplyScsi(end, iocStatus);
}

namespace {

// The error reply of a target request: the IoIndex at bytes 20..21.
std::array<uint8_t, 24> TargetErrorReply(uint8_t function, uint32_t context, uint16_t ioIndex, uint16_t status) {
    std::array<uint8_t, 24> r{};
    auto h = HeaderReply(function, context, status);
    h.bMsgLength = static_cast<uint8_t>(r.size() / 4);
    std::memcpy(r.data(), &h, sizeof h);
    r[20] = static_cast<uint8_t>(ioIndex);
    r[21] = static_cast<uint8_t>(ioIndex >> 8);
    return r;
}

}  // namespace

void SasController::TargetAssist(const uint8_t* frame, uint32_t context) {
    const auto req = Load<fw::MPI_TARGET_ASSIST_REQUEST>(frame);
    const uint16_t ioIndex = static_cast<uint16_t>(req.dReplyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    Exchange* x = ioIndex < kMaxIoIndex && m_exchanges[ioIndex].open ? &m_exchanges[ioIndex] : nullptr;
    const uint32_t length = req.adSGL[0] & fw::MPI_SGE_LENGTH_MASK;
    uint8_t* local = B().memory().Translate(req.adSGL[1], length);
    if (!x || !x->initiator || !local) {
        if (!x) ++m_staleTargetRequests;
        auto r = TargetErrorReply(fw::MPI_FUNCTION_TARGET_ASSIST, context, ioIndex,
                                  x && local ? fw::MPI_IOCSTATUS_SCSI_IOC_TERMINATED : fw::MPI_IOCSTATUS_INVALID_STATE);
        AddressReply(r.data(), static_cast<uint32_t>(r.size()));
        return;
    }
    // The data between this board's buffer and the initiator's pieces, from
    // the relative offset on.
    const bool toInitiator = (req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_DATA_DIRECTION) != 0;
    uint32_t skip = req.dRelativeOffset, done = 0;
    for (const auto& [address, pieceLength] : x->pieces) {
        if (done >= length) break;
        if (skip >= pieceLength) {
            skip -= pieceLength;
            continue;
        }
        const uint32_t n = std::min(pieceLength - skip, length - done);
        uint8_t* remote = x->initiator->B().memory().Translate(address + skip, n);
        if (remote) {
            if (toInitiator) {
                std::memcpy(remote, local + done, n);
            } else {
                std::memcpy(local + done, remote, n);
            }
        }
        done += n;
        skip = 0;
    }
    if (toInitiator && req.dRelativeOffset == 0) {
        std::copy_n(local, std::min<size_t>(length, x->dataInHead.size()), x->dataInHead.begin());
    }
    x->transferred = std::max(x->transferred, req.dRelativeOffset + done);
    // The initiator holds less data than the target asked for: the data
    // phase fails, as the exchange's transfer count does not match; the
    // target still answers the command with a status of its own.
    if (!toInitiator && done < length) {
        auto r = TargetErrorReply(fw::MPI_FUNCTION_TARGET_ASSIST, context, ioIndex,
                                  fw::MPI_IOCSTATUS_TARGET_XFER_COUNT_MISMATCH);
        AddressReply(r.data(), static_cast<uint32_t>(r.size()));
        return;
    }
    if (req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_AUTO_STATUS) {
        FinishExchange(*x, req.bStatusCode, nullptr, 0, fw::MPI_IOCSTATUS_SUCCESS);
    }
    if ((req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_REPOST) && !x->open) m_freeCmdBuffers.push_back(ioIndex);
    TargetReply(ioIndex);
}

void SasController::TargetStatusSend(const uint8_t* frame, uint32_t context) {
    const auto req = Load<fw::MPI_TARGET_STATUS_SEND_REQUEST>(frame);
    const uint16_t ioIndex = static_cast<uint16_t>(req.dReplyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    Exchange* x = ioIndex < kMaxIoIndex && m_exchanges[ioIndex].open ? &m_exchanges[ioIndex] : nullptr;
    if (!x) {
        ++m_staleTargetRequests;
        auto r = TargetErrorReply(fw::MPI_FUNCTION_TARGET_STATUS_SEND, context, ioIndex, fw::MPI_IOCSTATUS_INVALID_STATE);
        AddressReply(r.data(), static_cast<uint32_t>(r.size()));
        return;
    }
    uint8_t status = fw::SCSI_STATUS_GOOD;
    const uint8_t* sense = nullptr;
    uint32_t senseLength = 0;
    if (!(req.bStatusFlags & fw::MPI_TARGET_STATUS_FLAGS_AUTO_GOOD)) {
        const uint32_t length = req.adSGL[0] & fw::MPI_SGE_LENGTH_MASK;
        const uint8_t* frameIu = length >= fw::MPI_TARGET_RESPONSE_IU_OFFSET + fw::SSP_RESPONSE_DATA
                                     ? B().memory().Translate(req.adSGL[1], length)
                                     : nullptr;
        if (frameIu) {
            const uint8_t* iu = frameIu + fw::MPI_TARGET_RESPONSE_IU_OFFSET;
            status = iu[fw::SSP_RESPONSE_STATUS];
            if (iu[fw::SSP_RESPONSE_DATAPRES] == 2) {
                const uint32_t n = static_cast<uint32_t>(iu[fw::SSP_RESPONSE_SENSE_LENGTH] << 24 |
                                                         iu[fw::SSP_RESPONSE_SENSE_LENGTH + 1] << 16 |
                                                         iu[fw::SSP_RESPONSE_SENSE_LENGTH + 2] << 8 |
                                                         iu[fw::SSP_RESPONSE_SENSE_LENGTH + 3]);
                const uint32_t room = length - fw::MPI_TARGET_RESPONSE_IU_OFFSET - fw::SSP_RESPONSE_DATA;
                sense = iu + fw::SSP_RESPONSE_DATA;
                senseLength = std::min(n, room);
            }
        }
    }
    FinishExchange(*x, status, sense, senseLength, fw::MPI_IOCSTATUS_SUCCESS);
    if (req.bStatusFlags & fw::MPI_TARGET_STATUS_FLAGS_REPOST) m_freeCmdBuffers.push_back(ioIndex);
    TargetReply(ioIndex);
}

void SasController::TargetModeAbort(const uint8_t* frame, uint32_t context) {
    const auto req = Load<fw::MPI_TARGET_MODE_ABORT_REQUEST>(frame);
    ++m_lastTargetAbort.count;
    m_lastTargetAbort.type = req.bAbortType;
    m_lastTargetAbort.replyWord = req.dReplyWord;
    m_lastTargetAbort.contextToAbort = req.dMsgContextToAbort;
    const uint16_t ioIndex = static_cast<uint16_t>(req.dReplyWord & fw::MPI_TARGET_REPLY_IO_INDEX_MASK);
    if (ioIndex < kMaxIoIndex && m_exchanges[ioIndex].open) {
        FinishExchange(m_exchanges[ioIndex], 0, nullptr, 0, fw::MPI_IOCSTATUS_SCSI_TASK_TERMINATED);
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_MODE_ABORT, context, fw::MPI_IOCSTATUS_SUCCESS);
    AddressReply(&r, sizeof r);
}

void SasController::EndPartnerExchanges(SasController* initiator, int port) {
    const bool anyPath = port == kAnyPath;
    for (Exchange& x : m_exchanges) {
        if (!x.open || (initiator && x.initiator != initiator)) continue;
        // On one path: the commands that came in on this IOC's port there.
        if (!anyPath && (!x.initiator || x.initiator->PartnerPortOf(x.target) != port)) continue;
        // The command buffer stays the firmware's until it gives it back;
        // its later requests for it find no initiator.
        if (x.initiator) {
            FinishExchange(x, 0, nullptr, 0,
                           anyPath ? fw::MPI_IOCSTATUS_SCSI_IOC_TERMINATED : fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE);
        }
        x.open = true;
        x.initiator = nullptr;
    }
    if (initiator) return;
    // Frames still crossing a cut link never arrive.
    if (!anyPath) std::erase_if(m_delayed, [&](const Delayed& d) { return PartnerPortOf(d.target) == port; });
    // What this IOC sent the partner ends here.
    for (auto it = m_sentToPartner.begin(); it != m_sentToPartner.end();) {
        if (!anyPath && PartnerPortOf(it->second) != port) {
            ++it;
            continue;
        }
        ScsiEnd end{};
        end.context = it->first;
        end.target = it->second;
        it = m_sentToPartner.erase(it);
        m_stalled.erase(end.context);
        ReplyScsi(end, fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE);
    }
}

}  // namespace sim
