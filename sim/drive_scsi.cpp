// The drive's SCSI command set: the dispatch by operation code with the
// conditions every command meets first (unit attention, readiness, injected
// failures), and the commands that move or manage blocks.
#include "sim/drive_impl.h"

#include "sim/clock.h"

#include <algorithm>

namespace sim {

using namespace drive;

void Drive::Impl::Fail(DriveResult& r, const Sense& s, uint64_t info, int field, bool inCdb) {
    r.status = kCheckCondition;
    r.sense.assign(fw::SENSE_FIXED_LENGTH, 0);
    r.sense[0] = fw::SENSE_RESPONSE_CURRENT;
    if (info <= 0xFFFFFFFFull) {
        r.sense[0] |= fw::SENSE_VALID_BIT;
        PutBe(&r.sense[3], 4, info);
    }
    r.sense[2] = s.key;
    r.sense[7] = fw::SENSE_ADDITIONAL_LENGTH;
    r.sense[12] = s.asc;
    r.sense[13] = s.ascq;
    if (field >= 0) {
        r.sense[15] = uint8_t(0x80 | (inCdb ? 0x40 : 0));
        PutBe(&r.sense[16], 2, uint64_t(field));
    }
}

// Data to the initiator: at most the allocation length and the buffer.
void Drive::Impl::Return(Command& c, const std::vector<uint8_t>& data, uint64_t allocation) {
    size_t n = size_t(std::min<uint64_t>({data.size(), allocation, c.in.size()}));
    if (n) std::memcpy(c.in.data(), data.data(), n);
    c.r.transferred = uint32_t(n);
}

// Data from the initiator: the whole parameter list or nothing.
bool Drive::Impl::Takes(Command& c, uint64_t bytes) {
    c.taken = std::max(c.taken, bytes);
    if (c.out.size() >= bytes) return true;
    Fail(c.r, kDataPhase);
    return false;
}

bool Drive::Impl::CheckBlocks(Command& c, uint64_t lba, uint64_t count) {
    if (count == 0 ? lba < cfg.blocks : InRange(lba, count)) return true;
    Fail(c.r, kLbaOutOfRange);
    return false;
}

void Drive::Impl::ReadOrVerify(Command& c, bool read) {
    const uint8_t* cdb = c.cdb.data();
    if (cdb[1] & 0xE0) return FailCdb(c, 1);
    uint8_t bytchk = read ? 0 : (cdb[1] >> 1) & 3;
    if (bytchk > 1) return FailCdb(c, 1);
    const fw::SCSI_BLOCK_RANGE range = fw::sDecodeBlockRange(cdb);
    const uint64_t lba = range.lLba, count = range.dBlocks;
    if (!CheckBlocks(c, lba, count)) return;
    const uint32_t bs = cfg.blockSize;
    if (bytchk && !Takes(c, count * bs)) return;
    // A compare reads into its own buffer; a plain verify moves nothing.
    std::vector<uint8_t> compare(bytchk ? size_t(count * bs) : 0);
    MediaRead m = ReadToInitiator(lba, count, read ? c.in : std::span<uint8_t>(compare));
    if (!m.ok) return Fail(c.r, kUnrecoveredRead, lba);
    c.bytesMoved = m.good * bs;
    if (read) c.r.transferred = m.transferred;
    for (uint64_t i = 0; bytchk && i < m.good; ++i)
        if (std::memcmp(compare.data() + i * bs, c.out.data() + i * bs, bs) != 0)
            return Fail(c.r, kMiscompare, lba + i);
    if (m.firstBad != kNoInfo) Fail(c.r, kUnrecoveredRead, m.firstBad);
}

void Drive::Impl::WriteBlocks(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    if (cdb[1] & 0xE0) return FailCdb(c, 1);
    const fw::SCSI_BLOCK_RANGE range = fw::sDecodeBlockRange(cdb);
    const uint64_t lba = range.lLba, count = range.dBlocks;
    if (!CheckBlocks(c, lba, count) || !Takes(c, count * cfg.blockSize)) return;
    if (cutPower) {
        cutPower = false;
        c.r.powerCut = true;
        WriteFromInitiator(lba, std::min<uint64_t>(count, cutAfterBlocks), c.out.data());
        return;
    }
    const Stored s = WriteFromInitiator(lba, count, c.out.data());
    if (s == Stored::NoRoom) return Fail(c.r, kNoRoom);
    if (s != Stored::Written) return Fail(c.r, kWriteError, lba);
    c.bytesMoved = count * cfg.blockSize;
}

void Drive::Impl::SynchronizeCache(Command& c) {
    const fw::SCSI_BLOCK_RANGE range = fw::sDecodeBlockRange(c.cdb.data());
    const uint64_t lba = range.lLba, count = range.dBlocks;
    CheckBlocks(c, lba, count);
}

void Drive::Impl::RequestSense(Command& c) {
    static constexpr Sense kFailurePredicted{fw::SENSE_RECOVERED_ERROR, 0x5D, 0x10};
    const Sense* s = admitted != nullptr ? admitted : predictsFailure ? &kFailurePredicted : nullptr;
    DriveResult tmp;
    Fail(tmp, s ? *s : kNoSense);
    Return(c, tmp.sense, c.cdb[4]);
}

void Drive::Impl::TestUnitReady(Command&) {}

// A SAS drive stops hard (NOT READY until started); a SATA drive behind
// the translation is put in standby, as STANDBY IMMEDIATE does, and wakes
// for the next command.  IDLE and STANDBY conditions park either kind the
// soft way.  With IMMED clear a start ends when the drive is ready.
void Drive::Impl::StartStopUnit(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    if (cdb[4] & 0x02) return FailCdb(c, 4);  // nothing to eject
    constexpr uint8_t kActive = 1, kIdle = 2, kStandby = 3;
    const uint8_t condition = cdb[4] >> 4;
    const bool immediate = cdb[1] & 0x01;
    bool start = cdb[4] & 1;
    if (condition == kIdle || condition == kStandby) return Park(false);
    if (condition == kActive) {
        start = true;
    } else if (condition != 0) {
        return;  // the other conditions: nothing to model
    }
    if (!start) return Park(!cfg.sata);
    if (!Parked()) return;
    const uint64_t ready = SpinUp();
    if (!immediate) c.waitNs = ready - Now();
}

void Drive::Impl::SendDiagnostic(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    if (GetBe(cdb + 3, 2)) return FailCdb(c, 3);  // no diagnostic pages
    if (selfTestFails) Fail(c.r, kSelfTestFailed);
}

void Drive::Impl::WriteBuffer(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    uint8_t mode = cdb[1] & 0x1F;
    uint64_t offset = GetBe(cdb + 3, 3), length = GetBe(cdb + 6, 3);
    // Data (buffer 0) and the microcode download modes.
    bool withOffset = mode == 0x02 || mode == 0x06 || mode == 0x07;
    if (mode != 0x02 && (mode < 0x04 || mode > 0x07)) return FailCdb(c, 1);
    if (mode == 0x02 && cdb[2]) return FailCdb(c, 2);
    if (!withOffset && offset) return FailCdb(c, 3);
    if (!Takes(c, length)) return;
    c.bytesMoved = length;
    // Modes 5 and 7 save microcode; 4 and 6 would run it only until the
    // next reset, which this drive does not model: it takes their data.
    if ((mode == 0x05 || mode == 0x07) && !GatherMicrocode(offset, c.out.subspan(0, length))) {
        Fail(c.r, kInvalidFieldInList);
    }
}

bool Drive::Impl::GatherMicrocode(uint64_t offset, std::span<const uint8_t> data) {
    if (offset == 0) microcode.clear();
    // Segments come in order; a gap or an overlap means a lost segment.
    if (offset != microcode.size()) {
        microcode.clear();
        return false;
    }
    microcode.insert(microcode.end(), data.begin(), data.end());
    const Drive::Microcode m = Drive::ParseMicrocode(microcode);
    if (m.state == Drive::Microcode::PARTIAL) return true;
    const bool fits = m.state == Drive::Microcode::WHOLE && m.product == std::string(cfg.product).append(16 - std::min<size_t>(16, cfg.product.size()), ' ').substr(0, 16);
    if (fits) pendingRevision = m.revision;
    microcode.clear();
    return fits;
}

void Drive::Impl::ActivateMicrocode() {
    microcode.clear();
    if (!pendingRevision.empty()) revision = pendingRevision;
    pendingRevision.clear();
}

void Drive::Impl::FormatUnit(Command& c) {
    const uint8_t* cdb = c.cdb.data();
    if (cdb[1] & 0xC0) return FailCdb(c, 1);  // no protection information
    if (cdb[1] & 0x10) {
        // Only the short header with an empty defect list.
        if (!Takes(c, 4)) return;
        if (GetBe(c.out.data() + 2, 2)) return Fail(c.r, kInvalidFieldInList, kNoInfo, 2, false);
    }
    if (!Erase()) Fail(c.r, kInternalFailure);
}

void Drive::Impl::ReassignBlocks(Command& c) {
    bool longLba = c.cdb[1] & 0x02, longList = c.cdb[1] & 0x01;
    if (!Takes(c, 4)) return;
    uint64_t listBytes = longList ? GetBe(c.out.data(), 4) : GetBe(c.out.data() + 2, 2);
    unsigned entry = longLba ? 8 : 4;
    if (listBytes % entry) return Fail(c.r, kParameterListLength);
    if (!Takes(c, 4 + listBytes)) return;
    for (uint64_t at = 4; at < 4 + listBytes; at += entry)
        if (GetBe(c.out.data() + at, entry) >= cfg.blocks) return Fail(c.r, kLbaOutOfRange);
    // The blocks move to spares; what they held stays readable.
    for (uint64_t at = 4; at < 4 + listBytes; at += entry) ClearBad(GetBe(c.out.data() + at, entry), 1);
}

// The long block carries no separate ECC here: READ LONG gives the block
// as stored, however damaged, and a WRITE LONG always leaves a block that
// fails its ECC check on a later read.
void Drive::Impl::ReadLong(Command& c) {
    uint64_t lba = GetBe(c.cdb.data() + 2, 4);
    if (c.cdb[1] & 0x04) return FailCdb(c, 1);
    if (GetBe(c.cdb.data() + 7, 2) != cfg.blockSize) return FailCdb(c, 7);
    if (!CheckBlocks(c, lba, 1)) return;
    std::vector<uint8_t> block(cfg.blockSize);
    if (!Read(lba, 1, block.data())) return Fail(c.r, kUnrecoveredRead, lba);
    Return(c, block, block.size());
}

void Drive::Impl::WriteLong(Command& c) {
    uint64_t lba = GetBe(c.cdb.data() + 2, 4), length = GetBe(c.cdb.data() + 7, 2);
    bool uncorrectableOnly = c.cdb[1] & 0x40;
    if (c.cdb[1] & 0x20) return FailCdb(c, 1);
    if (length != (uncorrectableOnly ? 0 : cfg.blockSize)) return FailCdb(c, 7);
    if (!CheckBlocks(c, lba, 1) || !Takes(c, length)) return;
    if (length) {
        const Stored s = Write(lba, 1, c.out.data());
        if (s == Stored::NoRoom) return Fail(c.r, kNoRoom);
        if (s != Stored::Written) return Fail(c.r, kWriteError, lba);
    }
    MarkBad(lba, 1);
}

const Drive::Impl::ScsiOp Drive::Impl::kScsiOps[] = {
    {fw::SCSI_TEST_UNIT_READY, true, &Impl::TestUnitReady},
    {fw::SCSI_REQUEST_SENSE, false, &Impl::RequestSense},
    {fw::SCSI_FORMAT_UNIT, true, &Impl::FormatUnit},
    {fw::SCSI_REASSIGN_BLOCKS, true, &Impl::ReassignBlocks},
    {fw::SCSI_INQUIRY, false, &Impl::Inquiry},
    {fw::SCSI_MODE_SELECT6, false, &Impl::ModeSelect},
    {fw::SCSI_MODE_SENSE6, false, &Impl::ModeSense},
    {fw::SCSI_START_STOP_UNIT, false, &Impl::StartStopUnit},
    {fw::SCSI_SEND_DIAGNOSTIC, true, &Impl::SendDiagnostic},
    {fw::SCSI_READ_CAPACITY10, true, &Impl::ReadCapacity},
    {fw::SCSI_READ_DEFECT_DATA10, false, &Impl::ReadDefectData},
    {fw::SCSI_REPORT_LUNS, false, &Impl::ReportLuns},
    {fw::SCSI_READ10, true, &Impl::ReadBlocks},
    {fw::SCSI_WRITE10, true, &Impl::WriteBlocks},
    {fw::SCSI_VERIFY10, true, &Impl::VerifyBlocks},
    {fw::SCSI_SYNCHRONIZE_CACHE10, true, &Impl::SynchronizeCache},
    {fw::SCSI_WRITE_BUFFER, false, &Impl::WriteBuffer},
    {fw::SCSI_READ_LONG10, true, &Impl::ReadLong},
    {fw::SCSI_WRITE_LONG10, true, &Impl::WriteLong},
    {fw::SCSI_LOG_SENSE, false, &Impl::LogSense},
    {fw::SCSI_MODE_SELECT10, false, &Impl::ModeSelect},
    {fw::SCSI_MODE_SENSE10, false, &Impl::ModeSense},
    {fw::SCSI_READ16, true, &Impl::ReadBlocks},
    {fw::SCSI_WRITE16, true, &Impl::WriteBlocks},
    {fw::SCSI_VERIFY16, true, &Impl::VerifyBlocks},
    {fw::SCSI_SYNCHRONIZE_CACHE16, true, &Impl::SynchronizeCache},
    {fw::SCSI_SERVICE_ACTION_IN16, true, &Impl::ReadCapacity},
};

const std::array<uint8_t, 256> Drive::Impl::kScsiOpRow = [] {
    std::array<uint8_t, 256> t{};
    for (size_t i = 0; i < std::size(kScsiOps); ++i) t[kScsiOps[i].opcode] = static_cast<uint8_t>(i + 1);
    return t;
}();

void Drive::Impl::Scsi(std::span<const uint8_t> cdb, std::span<const uint8_t> out, std::span<uint8_t> in,
                       DriveResult& r) {
    Command c{{}, out, in, r};
    if (!cdb.empty()) ++commands[cdb[0]];
    const ScsiOp* op = !cdb.empty() && kScsiOpRow[cdb[0]] ? &kScsiOps[kScsiOpRow[cdb[0]] - 1] : nullptr;
    // A drive parked in a power condition wakes for what needs its medium
    // (START and TEST UNIT READY sent to it too) and the command waits.
    const bool wakes = op && (op->needsMedium || cdb[0] == fw::SCSI_START_STOP_UNIT);
    const uint64_t wakeNs = wakes && !unitAttention ? WakeWait() : 0;
    const Sense* refusal = Admit(op && op->needsMedium);
    if (!op) {
        Fail(r, kInvalidOpcode, kNoInfo, 0);
    } else if (cdb.size() < fw::bCdbLength(cdb[0])) {
        Fail(r, kInvalidFieldInCdb, kNoInfo, int(cdb.size()));
    } else if (unitAttention && cdb[0] != fw::SCSI_INQUIRY && cdb[0] != fw::SCSI_REQUEST_SENSE) {
        // Reported once, ahead of every other condition.
        unitAttention = false;
        Fail(r, kPowerOnReset);
    } else if (refusal) {
        Fail(r, *refusal);
    } else if (failures[cdb[0]] != 0) {
        --failures[cdb[0]];
        Fail(r, kInternalFailure);
    } else if (busy[cdb[0]] != 0) {
        --busy[cdb[0]];
        r.status = kBusy;
    } else if (senseless[cdb[0]] != 0) {
        --senseless[cdb[0]];
        r.status = kCheckCondition;
    } else if (brokenTransfers[cdb[0]] != 0) {
        --brokenTransfers[cdb[0]];
        Fail(r, kIuCrcError);
    } else {
        std::copy(cdb.begin(), cdb.begin() + fw::bCdbLength(cdb[0]), c.cdb.begin());
        (this->*op->run)(c);
    }
    if (c.taken && r.status == kGood) r.transferred = uint32_t(std::min<uint64_t>(c.taken, UINT32_MAX));
    r.serviceNs = ServiceNs(c.bytesMoved) + wakeNs + c.waitNs;
}

}  // namespace sim
