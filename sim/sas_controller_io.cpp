// The request and reply FIFOs of the drive-side controller model and the
// requests that run through them: SCSI IO, SATA passthrough, task
// management, SMP passthrough and the rest.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "hw/ata.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/mpi_replies.h"
#include "sim/sas_controller.h"

namespace sim {

namespace {
// A full drive refuses a command in about the time a frame takes to cross
// the link and back.
constexpr uint64_t kTaskSetFullNs = 20'000;

uint32_t Be24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

// WRITE BUFFER modes 5 and 7 carry microcode.
bool IsMicrocodeDownload(std::span<const uint8_t> cdb) {
    const uint8_t mode = cdb[1] & 0x1F;
    return cdb[0] == fw::SCSI_WRITE_BUFFER && (mode == 0x05 || mode == 0x07);
}

// The IOC's translation of microcode for a SATA drive: DOWNLOAD MICROCODE
// in whole 512-byte blocks, all at once (mode 5) or at block offsets
// (mode 7); what does not fit whole blocks is refused as a bad CDB.
DriveResult DownloadSataMicrocode(Drive& drive, std::span<const uint8_t> cdb, std::span<const uint8_t> data) {
    const bool withOffsets = (cdb[1] & 0x1F) == 0x07;
    const uint32_t offset = Be24(cdb.data() + 3), length = Be24(cdb.data() + 6);
    const uint32_t block = fw::ATA_MICROCODE_BLOCK_BYTES;
    if (length == 0 || length % block != 0 || offset % block != 0 || (!withOffsets && offset != 0) ||
        data.size() < length) {
        DriveResult r;
        r.status = fw::SCSI_STATUS_CHECK_CONDITION;
        r.sense.assign(fw::SENSE_FIXED_LENGTH, 0);
        fw::BuildFixedSense(r.sense.data(), fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB, 0);
        return r;
    }
    AtaCommand a;
    a.command = fw::ATA_DOWNLOAD_MICROCODE;
    a.features = withOffsets ? fw::ATA_MICROCODE_OFFSETS_SAVE : fw::ATA_MICROCODE_SAVE;
    a.count = uint16_t(length / block);
    a.lba = offset / block;
    a.device = fw::ATA_DEVICE_LBA;
    return drive.ExecuteAta(a, data.subspan(0, length), {});
}
}  // namespace

// Handlers by function code; a function with none is answered INVALID FUNCTION.
const std::array<SasController::Request, 256> SasController::kRequests = [] {
    std::array<Request, 256> t{};
    t.fill(&SasController::RequestUnknown);
    t[fw::MPI_FUNCTION_SCSI_IO_REQUEST] = &SasController::ScsiIo;
    t[fw::MPI_FUNCTION_SATA_PASSTHROUGH] = &SasController::SataPassthrough;
    t[fw::MPI_FUNCTION_SCSI_TASK_MGMT] = &SasController::TaskManagement;
    t[fw::MPI_FUNCTION_SMP_PASSTHROUGH] = &SasController::SmpPassthrough;
    t[fw::MPI_FUNCTION_CONFIG] = &SasController::RequestConfig;
    t[fw::MPI_FUNCTION_PORT_ENABLE] = &SasController::RequestPortEnable;
    t[fw::MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST] = &SasController::RequestCmdBufferBase;
    t[fw::MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST] = &SasController::RequestCmdBufferList;
    t[fw::MPI_FUNCTION_EVENT_ACK] = &SasController::RequestEventAck;
    t[fw::MPI_FUNCTION_TARGET_ASSIST] = &SasController::TargetAssist;
    t[fw::MPI_FUNCTION_TARGET_STATUS_SEND] = &SasController::TargetStatusSend;
    t[fw::MPI_FUNCTION_TARGET_MODE_ABORT] = &SasController::TargetModeAbort;
    return t;
}();

void SasController::PostRequest(uint32_t frameAddress) {
    ++m_requestsReceived;
    uint8_t* frame = B().memory().Translate(frameAddress, kRequestFrameBytes);
    if (!frame || m_state != State::Operational) return;
    Trace(static_cast<uint32_t>(frame[3]) << 24 | (m_requestsReceived & 0xFFFFFF), Load<uint32_t>(frame + 8));
    (this->*kRequests[frame[3]])(frame, Load<uint32_t>(frame + 8));
}

void SasController::RequestCmdBufferBase(const uint8_t* frame, uint32_t context) {
    auto p = Load<fw::MPI_TARGET_CMD_BUF_BASE_POST_REQUEST>(frame);
    uint16_t status = fw::MPI_IOCSTATUS_SUCCESS;
    // Each port's buffers take the next IoIndexes: port n's start at n times its count.
    const uint32_t first = uint32_t{p.bPortNumber} * p.wTotalCmdBuffers;
    if (!B().memory().Translate(p.dBaseAddressLow, uint32_t{p.wTotalCmdBuffers} * p.wCmdBufferLength) ||
        p.wCmdBufferLength < sizeof(fw::MPI_TARGET_SSP_CMD_BUFFER) || first + p.wTotalCmdBuffers > kMaxIoIndex) {
        status = fw::MPI_IOCSTATUS_INVALID_FIELD;
    } else {
        m_cmdBuffersPosted += p.wTotalCmdBuffers;
        m_cmdBufferLength = p.wCmdBufferLength;
        for (uint32_t i = 0; i < p.wTotalCmdBuffers; ++i) {
            const uint16_t ioIndex = static_cast<uint16_t>(first + i);
            m_cmdBufferAddress[ioIndex] = static_cast<uint32_t>(p.dBaseAddressLow) + i * p.wCmdBufferLength;
            if (std::find(m_freeCmdBuffers.begin(), m_freeCmdBuffers.end(), ioIndex) == m_freeCmdBuffers.end()) {
                m_freeCmdBuffers.push_back(ioIndex);
            }
        }
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST, context, status);
    AddressReply(&r, sizeof r);
}

void SasController::RequestCmdBufferList(const uint8_t* frame, uint32_t context) {
    auto p = Load<fw::MPI_TARGET_CMD_BUF_LIST_POST_REQUEST>(frame);
    const uint32_t count = std::min<uint32_t>(p.wCmdBufferCount, fw::MPI_TARGET_CMD_BUF_LIST_MAX);
    m_cmdBuffersReposted += count;
    // A buffer comes back once: one already free, or still holding an open
    // command, is not posted twice.
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t ioIndex = p.awIoIndex[i];
        if (ioIndex >= kMaxIoIndex || m_cmdBufferAddress[ioIndex] == 0 || m_exchanges[ioIndex].open ||
            std::find(m_freeCmdBuffers.begin(), m_freeCmdBuffers.end(), ioIndex) != m_freeCmdBuffers.end()) {
            continue;
        }
        m_freeCmdBuffers.push_back(ioIndex);
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST, context, 0);
    AddressReply(&r, sizeof r);
}

unsigned SasController::WalkSgl(MemoryWindows& memory, const uint32_t* sgl, unsigned dwordsLeft,
                                std::array<SglPiece, kMaxSglElements>& pieces) {
    unsigned count = 0;
    for (unsigned n = 0; n < kMaxSglElements && dwordsLeft >= 2; ++n) {
        uint32_t flags = sgl[0], address = sgl[1];
        uint32_t length = flags & fw::MPI_SGE_LENGTH_MASK;
        if ((flags & fw::MPI_SGE_FLAG_CHAIN) == fw::MPI_SGE_FLAG_CHAIN) {
            uint32_t bytes = length & 0xFFFF;
            sgl = reinterpret_cast<const uint32_t*>(memory.Translate(address, bytes));
            if (!sgl) break;
            dwordsLeft = bytes / 4;
            continue;
        }
        if (length != 0 && address != 0xFFFFFFFF) pieces[count++] = {address, length};
        if (flags & fw::MPI_SGE_FLAG_END_OF_LIST) break;
        sgl += 2;
        dwordsLeft -= 2;
    }
    return count;
}

unsigned SasController::GatherSgl(const uint32_t* sgl, unsigned dwordsLeft) {
    std::array<SglPiece, kMaxSglElements> named;
    MemoryWindows& memory = B().memory();
    const unsigned pieces = WalkSgl(memory, sgl, dwordsLeft, named);
    for (unsigned i = 0; i < pieces; ++i) {
        uint8_t* host = memory.Translate(named[i].address, named[i].length);
        if (!host) return 0;
        m_pieces[i] = {host, named[i].length};
    }
    return pieces;
}

// A SCSI IO request: the drive runs the command at once and the answer
// comes back after the drive's service time, as a context reply when all
// went well, else as an address reply with status and sense.
void SasController::ScsiIo(const uint8_t* frame, uint32_t context) {
    ++m_scsiRequests;
    // The fields the IOC acts on, read in place (the frame is 128 bytes).
    using Req = fw::MPI_SCSI_IO_REQUEST;
    const uint8_t target = frame[offsetof(Req, bTargetId)];
    const uint32_t dataLength = Load<uint32_t>(frame + offsetof(Req, dDataLength));
    const uint32_t control = Load<uint32_t>(frame + offsetof(Req, dControl));
    const uint8_t cdbLength = frame[offsetof(Req, bCDBLength)];
    if (IsPartnerTarget(target)) {
        SendToPartner(frame, context, target);
        return;
    }
    ScsiEnd end;
    end.context = context;
    end.target = target;
    end.dataLength = dataLength;
    end.senseAddress = Load<uint32_t>(frame + offsetof(Req, dSenseBufferLowAddr));
    end.senseBufferLength = frame[offsetof(Req, bSenseBufferLength)];
    end.status = 0;
    end.transferred = 0;
    end.senseLength = 0;
    Drive* drive = DriveOfTarget(target);
    EnclosureProcessor* ses = drive ? nullptr : ProcessorOfTarget(target);
    if (!drive && !ses) {
        ReplyScsi(end, fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE);
        return;
    }
    const uint32_t* sgl = reinterpret_cast<const uint32_t*>(frame + offsetof(Req, adSGL));
    const unsigned pieces = GatherSgl(sgl, kSglDwordsInFrame);
    // A buffer outside memory the IOC reaches ends the request at once: a
    // real one reports the failed transfer, never GOOD with the data lost.
    if (dataLength != 0 && pieces == 0) {
        ReplyScsi(end, fw::MPI_IOCSTATUS_INVALID_SGL);
        return;
    }
    const bool out = (control & fw::MPI_SCSIIO_CONTROL_WRITE) != 0;
    // Data in one piece of memory goes to and from the drive in place;
    // scattered data passes through a buffer.
    const bool inPlace = pieces == 1 && m_pieces[0].length >= dataLength;
    if (!inPlace) m_bounce.assign(dataLength, 0);
    std::span<uint8_t> data = inPlace ? std::span<uint8_t>(m_pieces[0].host, dataLength) : std::span<uint8_t>(m_bounce);
    if (out && !inPlace) {
        size_t at = 0;
        for (unsigned i = 0; i < pieces; ++i) {
            size_t n = std::min<size_t>(m_pieces[i].length, data.size() - at);
            std::memcpy(data.data() + at, m_pieces[i].host, n);
            at += n;
        }
    }
    std::span<const uint8_t> cdb(frame + offsetof(Req, abCDB), cdbLength ? cdbLength : 16);
    const std::span<const uint8_t> dataOut = out ? std::span<const uint8_t>(data) : std::span<const uint8_t>();
    const std::span<uint8_t> dataIn = out ? std::span<uint8_t>() : data;
    // A drive refuses a command untouched when its task set is full: the
    // test said so for the next few, or it holds as many as its queue takes.
    // The refusal holds no place in the drive's queue.
    DriveResult result;
    bool holds = true;
    if (drive && RefusesAsFull(target, drive->QueueDepth())) {
        drive->NoteTaskSetFull();
        result.status = fw::SCSI_STATUS_TASK_SET_FULL;
        result.serviceNs = kTaskSetFullNs;
        holds = false;
        RaiseQueueFull(target, static_cast<uint16_t>(HeldBy(target)));
    } else {
        if (drive && drive->config().sata && IsMicrocodeDownload(cdb)) {
            result = DownloadSataMicrocode(*drive, cdb, dataOut);
        } else {
            if (drive && driveCommandSeen) driveCommandSeen(*drive, cdb);
            if (!drive && enclosureCommandSeen) enclosureCommandSeen(cdb, dataOut);
            result = drive ? drive->Execute(cdb, dataOut, dataIn) : ses->Execute(cdb, dataOut, dataIn);
        }
    }
    if (result.powerCut) B().StopProcessor(StopKind::PowerCut);
    if (result.noResponse) {  // the request stays with the IOC until the host gives up
        m_stalled[context] = {target, fw::MPI_FUNCTION_SCSI_IO_REQUEST};
        return;
    }
    if (!out && !inPlace) {
        size_t at = 0;
        for (unsigned i = 0; i < pieces; ++i) {
            if (at >= result.transferred) break;
            size_t n = std::min<size_t>(m_pieces[i].length, result.transferred - at);
            std::memcpy(m_pieces[i].host, data.data() + at, n);
            at += n;
        }
    }
    // The answer waits out the drive's service time in a completion slot
    // (its sense bytes beyond the drive's are never read).
    if (m_freeCompletion == 0) {
        std::fprintf(stderr, "board: drive IOC model: more than %u SCSI IO requests in flight\n", kMaxCompletions);
        std::abort();
    }
    const uint32_t index = m_freeCompletion - 1;
    Completion& c = m_completions[index];
    m_freeCompletion = c.nextFree;
    end.status = result.status;
    end.transferred = result.transferred;
    end.senseLength = static_cast<uint8_t>(std::min(result.sense.size(), end.sense.size()));
    std::memcpy(&c.end, &end, offsetof(ScsiEnd, sense));
    std::copy_n(result.sense.begin(), end.senseLength, c.end.sense.begin());
    c.holds = holds;
    B().clock().ArmIn(c.done, result.serviceNs);
}

bool SasController::RefusesAsFull(uint8_t target, uint32_t queueDepth) {
    if (m_taskSetFull[target] != 0) {
        --m_taskSetFull[target];
        return true;
    }
    return queueDepth != 0 && HeldBy(target) >= queueDepth;
}

unsigned SasController::HeldBy(uint8_t target) const {
    unsigned n = 0;
    for (const Completion& c : m_completions) n += c.holds && c.end.target == target && c.done.Armed();
    return n;
}

void SasController::FinishScsi(uint32_t index) {
    Completion& c = m_completions[index];
    const ScsiEnd& end = c.end;
    if (end.status == 0 && end.transferred >= end.dataLength) {
        ContextReply(end.context);
    } else {
        ReplyScsi(end, end.status == 0 ? fw::MPI_IOCSTATUS_SCSI_DATA_UNDERRUN : fw::MPI_IOCSTATUS_SUCCESS);
    }
    // Freed once the reply is out: nothing in between starts a request.
    c.nextFree = m_freeCompletion;
    m_freeCompletion = index + 1;
}

// The address reply of a SCSI IO, with the sense data put where the request
// asked for it.
void SasController::ReplyScsi(const ScsiEnd& end, uint16_t iocStatus) {
    auto r = ScsiIoReply(fw::MPI_FUNCTION_SCSI_IO_REQUEST, end.context, end.target, iocStatus);
    r.sHeader.bScsiStatus = end.status;
    r.dTransferCount = end.transferred;
    if (end.senseLength != 0) {
        uint32_t n = std::min<uint32_t>(end.senseLength, end.senseBufferLength);
        if (uint8_t* p = B().memory().Translate(end.senseAddress, n)) {
            std::memcpy(p, end.sense.data(), n);
            r.sHeader.bScsiState = fw::MPI_SCSI_STATE_AUTOSENSE_VALID;
            r.dSenseCount = n;
        }
    }
    AddressReply(&r, sizeof r);
}

// SATA passthrough: the register FIS goes to the drive's ATA side; the
// answer carries the device-to-host FIS.
void SasController::SataPassthrough(const uint8_t* frame, uint32_t context) {
    ++m_scsiRequests;
    const uint8_t target = frame[0];
    uint16_t flags = Load<uint16_t>(frame + 4);
    const uint32_t length = Load<uint32_t>(frame + 16);
    const uint8_t* fis = frame + 20;
    AtaCommand c;
    c.command = fis[2];
    c.features = static_cast<uint16_t>(fis[3] | fis[11] << 8);
    c.lba = static_cast<uint64_t>(fis[4]) | static_cast<uint64_t>(fis[5]) << 8 | static_cast<uint64_t>(fis[6]) << 16 |
            static_cast<uint64_t>(fis[8]) << 24 | static_cast<uint64_t>(fis[9]) << 32 |
            static_cast<uint64_t>(fis[10]) << 40;
    c.device = fis[7];
    c.count = static_cast<uint16_t>(fis[12] | fis[13] << 8);
    uint8_t r[64] = {};
    r[2] = 16;
    r[3] = fw::MPI_FUNCTION_SATA_PASSTHROUGH;
    std::memcpy(r + 8, &context, 4);
    Drive* drive = DriveOfTarget(target);
    if (!drive || !drive->config().sata) {
        uint16_t ioc = fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE;
        std::memcpy(r + 14, &ioc, 2);
        AddressReply(r, sizeof r);
        return;
    }
    // The multiplexer in front of the drive takes its own register commands.
    if (AaMux* mux = c.command == AaMux::kReadCommand || c.command == AaMux::kWriteCommand
                         ? m_chassis->MuxAt(m_placeOfTarget[target].slot)
                         : nullptr) {
        const uint32_t address = static_cast<uint32_t>(fis[3] | fis[11] << 8 | fis[13] << 16 | fis[8] << 24);
        const uint8_t sizeCode = static_cast<uint8_t>(fis[7] >> 4);
        uint32_t value = static_cast<uint32_t>(fis[12] | fis[4] << 8 | fis[5] << 16 | fis[6] << 24);
        const AaMux::Outcome outcome =
            c.command == AaMux::kReadCommand ? mux->Read(address, sizeCode, &value) : mux->Write(address, sizeCode, value);
        if (outcome == AaMux::Outcome::NoReply) {
            m_stalled[context] = {target, fw::MPI_FUNCTION_SATA_PASSTHROUGH};
            return;
        }
        r[20] = 0x34;
        r[22] = outcome == AaMux::Outcome::Done ? 0x50 : 0x51;
        r[23] = outcome == AaMux::Outcome::Done ? 0 : 0x04;
        if (c.command == AaMux::kReadCommand && outcome == AaMux::Outcome::Done) {
            r[32] = static_cast<uint8_t>(value);
            r[24] = static_cast<uint8_t>(value >> 8);
            r[25] = static_cast<uint8_t>(value >> 16);
            r[26] = static_cast<uint8_t>(value >> 24);
        }
        AddressReply(r, sizeof r);
        return;
    }
    const uint32_t* sgl = reinterpret_cast<const uint32_t*>(frame + 40);
    const unsigned pieces = GatherSgl(sgl, 2);
    m_bounce.assign(length, 0);
    std::span<uint8_t> data(m_bounce);
    const bool out = (flags & 0x0002) != 0;
    if (out && pieces != 0) std::memcpy(data.data(), m_pieces[0].host, std::min<size_t>(length, m_pieces[0].length));
    DriveResult result = out ? drive->ExecuteAta(c, data, {}) : drive->ExecuteAta(c, {}, data);
    if (result.noResponse) {
        m_stalled[context] = {target, fw::MPI_FUNCTION_SATA_PASSTHROUGH};
        return;
    }
    if (!out && pieces != 0) std::memcpy(m_pieces[0].host, data.data(), std::min<size_t>(length, m_pieces[0].length));
    // The device-to-host register FIS with the drive's ending registers.
    r[20] = 0x34;
    r[22] = result.ataStatus;
    r[23] = result.ataError;
    r[24] = static_cast<uint8_t>(result.ataLba);
    r[25] = static_cast<uint8_t>(result.ataLba >> 8);
    r[26] = static_cast<uint8_t>(result.ataLba >> 16);
    r[28] = static_cast<uint8_t>(result.ataLba >> 24);
    r[29] = static_cast<uint8_t>(result.ataLba >> 32);
    r[30] = static_cast<uint8_t>(result.ataLba >> 40);
    r[32] = static_cast<uint8_t>(result.ataCount);
    r[33] = static_cast<uint8_t>(result.ataCount >> 8);
    AddressReply(r, sizeof r);
}

void SasController::TaskManagement(const uint8_t* frame, uint32_t context) {
    auto req = Load<fw::MPI_SCSI_TASK_MGMT_REQUEST>(frame);
    auto it = m_stalled.find(req.dTaskMsgContext);
    if (req.bTaskType == fw::MPI_TASKTYPE_ABORT_TASK && m_sentToPartner.count(req.dTaskMsgContext) != 0) {
        ++m_partnerTasksAborted;
    }
    if (req.bTaskType == fw::MPI_TASKTYPE_ABORT_TASK && it != m_stalled.end() && it->second.target == req.bTargetId) {
        ++m_tasksAborted;
        auto t = ScsiIoReply(it->second.function, it->first, req.bTargetId, fw::MPI_IOCSTATUS_SCSI_TASK_TERMINATED);
        m_sentToPartner.erase(it->first);
        m_stalled.erase(it);
        AddressReply(&t, sizeof t);
    } else if (req.bTaskType == fw::MPI_TASKTYPE_ABORT_TASK && m_sentToPartner.count(req.dTaskMsgContext) != 0) {
        // A command the partner holds and has not answered: it ends here, and
        // the partner's later answer goes nowhere.
        ++m_tasksAborted;
        m_sentToPartner.erase(req.dTaskMsgContext);
        if (m_partner) m_partner->ArriveAbortTask(*this, req.dTaskMsgContext);
        auto t = ScsiIoReply(fw::MPI_FUNCTION_SCSI_IO_REQUEST, req.dTaskMsgContext, req.bTargetId,
                             fw::MPI_IOCSTATUS_SCSI_TASK_TERMINATED);
        AddressReply(&t, sizeof t);
    }
    if (req.bTaskType == fw::MPI_TASKTYPE_TARGET_RESET) ++m_targetResets;
    if (req.bTaskType == fw::MPI_TASKTYPE_TARGET_RESET || req.bTaskType == fw::MPI_TASKTYPE_LOGICAL_UNIT_RESET) {
        if (Drive* drive = DriveOfTarget(req.bTargetId)) drive->Reset();
        // The reset ends what the target still held: each request is
        // answered as terminated before the reset itself is.
        for (auto s = m_stalled.begin(); s != m_stalled.end();) {
            if (s->second.target != req.bTargetId) {
                ++s;
                continue;
            }
            auto t = ScsiIoReply(s->second.function, s->first, req.bTargetId, fw::MPI_IOCSTATUS_SCSI_TASK_TERMINATED);
            m_sentToPartner.erase(s->first);
            s = m_stalled.erase(s);
            AddressReply(&t, sizeof t);
        }
    }
    auto r = HeaderReply(fw::MPI_FUNCTION_SCSI_TASK_MGMT, context, 0);
    r.bTargetId = req.bTargetId;
    r.bTaskMgmtResponse = req.bTaskType;
    AddressReply(&r, sizeof r);
}

void SasController::SmpPassthrough(const uint8_t* frame, uint32_t context) {
    const uint64_t address = Load<uint64_t>(frame + 16);
    const uint32_t requestWord = Load<uint32_t>(frame + 32);
    const uint32_t responseWord = Load<uint32_t>(frame + 40);
    const uint32_t requestBytes = requestWord & fw::MPI_SGE_LENGTH_MASK;
    const uint32_t responseBytes = responseWord & fw::MPI_SGE_LENGTH_MASK;
    uint8_t* request = B().memory().Translate(Load<uint32_t>(frame + 36), requestBytes);
    uint8_t* response = B().memory().Translate(Load<uint32_t>(frame + 44), responseBytes);
    auto r = HeaderReply(fw::MPI_FUNCTION_SMP_PASSTHROUGH, context, fw::MPI_IOCSTATUS_SUCCESS);
    std::vector<uint8_t> answer;
    bool linkChanged = false;
    if (!request || !response) {
        r.wIOCStatus = fw::MPI_IOCSTATUS_INVALID_FIELD;
    } else if (Expander* expander = m_chassis ? m_chassis->ExpanderWithAddress(address) : nullptr; !expander) {
        r.wIOCStatus = fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE;
    } else {
        answer = expander->Smp({request, requestBytes}, linkChanged, MuxHostPort());
        if (answer.empty()) {
            r.wIOCStatus = fw::MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE;
        } else {
            std::memcpy(response, answer.data(), std::min<size_t>(answer.size(), responseBytes));
        }
    }
    AddressReply(&r, sizeof r);
    if (linkChanged) m_chassis->NotifyLinkChange();
}

}  // namespace sim
