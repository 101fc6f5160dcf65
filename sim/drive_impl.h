// The drive model's state and the functions of its concerns, one file each:
// drive.cpp (power-on state, readiness and the public face), drive_medium.cpp
// (the blocks, the image file and the unreadable blocks injected),
// drive_scsi.cpp (the SCSI command set), drive_pages.cpp (the identity and
// parameter data: INQUIRY, READ CAPACITY, mode and log pages) and
// drive_ata.cpp (the ATA command set of SATA drives).  Only those include it.
#pragma once

#include "sim/drive.h"

#include "hw/scsi.h"

#include <array>
#include <bitset>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <unordered_map>

namespace sim {

namespace drive {

// Blocks per allocation of the in-memory medium.
constexpr uint64_t kChunkBlocks = 8;
// Where a controller keeps its configuration copy on every drive: 1836
// blocks, from 32768 blocks before the drive's last block.
constexpr uint64_t kConfigCopyBlocksBeforeEnd = 32768;
constexpr uint64_t kConfigCopyBlocks = 1836;
constexpr uint8_t kGood = fw::SCSI_STATUS_GOOD;
constexpr uint8_t kCheckCondition = fw::SCSI_STATUS_CHECK_CONDITION;
constexpr uint8_t kBusy = fw::SCSI_STATUS_BUSY;
// No information field in the sense data.
constexpr uint64_t kNoInfo = UINT64_MAX;

struct Sense {
    uint8_t key, asc, ascq;
};
constexpr Sense kNoSense{fw::SENSE_NO_SENSE, fw::ASC_NO_ADDITIONAL_SENSE, 0x00};
constexpr Sense kNotReadyCauseUnknown{fw::SENSE_NOT_READY, fw::ASC_NOT_READY, 0x00};
constexpr Sense kBecomingReady{fw::SENSE_NOT_READY, fw::ASC_NOT_READY, 0x01};
constexpr Sense kStartRequired{fw::SENSE_NOT_READY, fw::ASC_NOT_READY, 0x02};
constexpr Sense kPowerOnReset{fw::SENSE_UNIT_ATTENTION, fw::ASC_POWER_ON_RESET, 0x00};
constexpr Sense kUnrecoveredRead{fw::SENSE_MEDIUM_ERROR, fw::ASC_UNRECOVERED_READ_ERROR, 0x00};
constexpr Sense kWriteError{fw::SENSE_MEDIUM_ERROR, fw::ASC_WRITE_ERROR, 0x00};
constexpr Sense kNoRoom{fw::SENSE_NOT_READY, fw::ASC_NOT_READY, fw::ASCQ_SPACE_ALLOCATION_IN_PROGRESS};
constexpr Sense kInternalFailure{fw::SENSE_HARDWARE_ERROR, fw::ASC_INTERNAL_TARGET_FAILURE, 0x00};
constexpr Sense kParameterListLength{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_PARAMETER_LIST_LENGTH, 0x00};
constexpr Sense kInvalidOpcode{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_OPCODE, 0x00};
constexpr Sense kLbaOutOfRange{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_LBA_OUT_OF_RANGE, 0x00};
constexpr Sense kInvalidFieldInCdb{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_CDB, 0x00};
constexpr Sense kInvalidFieldInList{fw::SENSE_ILLEGAL_REQUEST, fw::ASC_INVALID_FIELD_IN_PARAMETERS, 0x00};
constexpr Sense kAborted{fw::SENSE_ABORTED_COMMAND, fw::ASC_NO_ADDITIONAL_SENSE, 0x00};
constexpr Sense kIuCrcError{fw::SENSE_ABORTED_COMMAND, fw::ASC_SCSI_PARITY_ERROR, 0x03};
constexpr Sense kDataPhase{fw::SENSE_ABORTED_COMMAND, fw::ASC_DATA_PHASE_ERROR, 0x00};
constexpr Sense kSelfTestFailed{fw::SENSE_HARDWARE_ERROR, fw::ASC_SELF_TEST_FAILED, 0x00};
constexpr Sense kMiscompare{fw::SENSE_MISCOMPARE, fw::ASC_MISCOMPARE_DURING_VERIFY, 0x00};

// Big-endian fields of any width up to eight bytes (parameter lists mix them).
inline uint64_t GetBe(const uint8_t* p, unsigned bytes) {
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}
inline void PutBe(uint8_t* p, unsigned bytes, uint64_t v) {
    for (unsigned i = bytes; i-- > 0; v >>= 8) p[i] = uint8_t(v);
}

// Mode pages: saveable, each with its default and changeable bytes.
constexpr size_t kMaxPageBytes = 20;
struct ModePage {
    uint8_t code;
    uint8_t bytes;  // with the two-byte page header
    std::array<uint8_t, kMaxPageBytes> defaults;
    std::array<uint8_t, kMaxPageBytes> changeable;
};
constexpr size_t kPageCount = 5;
extern const ModePage kModePages[kPageCount];
constexpr uint8_t kCachingPage = 0x08;
constexpr uint8_t kWce = 0x04;  // of the caching page's byte 2
int FindPage(uint8_t code);
using PageValues = std::array<std::array<uint8_t, kMaxPageBytes>, kPageCount>;

}  // namespace drive

struct Drive::Impl {
    using Sense = drive::Sense;
    using PageValues = drive::PageValues;

    const DriveConfig& cfg;
    int fd = -1;
    // The image's file, while this drive counts among the holders of the
    // process's lock on it.
    std::pair<dev_t, ino_t> imageFile{};
    bool imageLocked = false;
    // What the file system answered of the image's blocks: blocks that
    // read as zeros unstored (holes) and blocks stored, learned a stretch
    // of kKnownBlocks at a time where the drive first needs to know (a
    // write of zeros, which is stored only where the image holds data; a
    // transfer through the mapped image).  This program alone writes the
    // image, and every write it makes keeps the record true, so a stretch
    // needs no look-up once learned.  A second drive on the same file (see
    // LockImage) makes each forget what the other may have changed:
    // imageWriter is the file's last writer.
    static constexpr uint64_t kKnownBlocks = 2048;
    struct KnownBlocks {
        std::bitset<kKnownBlocks> hole, stored;
    };
    mutable std::unordered_map<uint64_t, KnownBlocks> known;
    const void** imageWriter = nullptr;
    void BeImageWriter();
    const KnownBlocks& Learn(uint64_t stretch) const;
    bool ZeroBlockOnHole(uint64_t block) const;
    bool AllStored(uint64_t block, uint64_t count) const;
    void NoteBlocksStored(uint64_t block, uint64_t count);
    // The image's blocks mapped into the program, where it lies on a RAM
    // file system: a transfer of blocks stored is a copy there, without a
    // system call (most of a small transfer's cost on such a file).  Blocks
    // not known stored go through the file (a hole read through the mapping
    // would take memory, a hole written there room that may be missing).
    uint8_t* mapped = nullptr;
    void MapImage();
    void UnmapImage();
    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> chunks;
    std::map<uint64_t, uint64_t> bad;  // unreadable ranges: start -> end
    bool notReady = false;
    bool stopped = false;
    bool unitAttention = false;
    const Clock* clock = nullptr;
    Drive& owner;
    // Parked in a power condition (SAS IDLE or STANDBY, SATA standby): the
    // next command that needs the medium waits for the spin-up instead of
    // being refused.  wakeUntilNs: a wake under way that later commands
    // wait out too.
    bool standby = false;
    uint64_t wakeUntilNs = 0;
    uint64_t starts = 0;
    uint64_t stops = 0;
    uint64_t parkedNs = 0;
    uint64_t parkedSinceNs = 0;
    bool selfTestFails = false;
    bool clockSeen = false;   // powered on under a clock once
    uint64_t readyAtNs = 0;   // spinning up until the clock reaches it
    uint64_t spinLeftNs = 0;  // what is left of it while no clock is attached
    std::array<uint64_t, 256> commands{};
    std::array<uint32_t, 256> failures{};  // injected failures left per operation code
    std::array<uint32_t, 256> busy{};      // BUSY answers left per operation code
    std::array<uint32_t, 256> senseless{}; // CHECK CONDITIONs without sense left per operation code
    std::array<uint32_t, 256> brokenTransfers{}; // CRC-broken transfers left per operation code
    uint32_t queueDepth = 0;               // commands held at once; 0: no limit
    uint64_t taskSetFull = 0;              // TASK SET FULL answers given
    uint32_t linkResets = 0;               // resets seen on port 1 (its loss-of-sync count)
    std::array<uint32_t, 256> ataFailures{};  // ... per ATA command code
    std::array<uint8_t, 256> ataFailureError{};  // the error register they end with
    bool cutPower = false;                   // the next write tears after cutAfterBlocks
    uint32_t cutAfterBlocks = 0;
    uint64_t writeRoom = UINT64_MAX;         // bytes the medium still takes (a test's full file system)
    Drive::Refusal refusal = Drive::Refusal::NoRoom;   // how a write beyond writeRoom is refused
    uint32_t becomingReady = 0;
    const Sense* admitted = nullptr;  // the state the current command found
    bool predictsFailure = false;
    bool dead = false;
    uint64_t extraNs = 0;
    uint32_t reportedBlockLength = 0;  // 0: the configured block size
    PageValues defaults{};
    PageValues changeable{};
    PageValues current{};
    PageValues saved{};
    // Microcode: the revision the drive runs, one a whole valid download
    // installed (it runs after the next power-on, and for a SAS drive after
    // its next reset too), and the image being gathered from WRITE BUFFER
    // (DOWNLOAD MICROCODE) segments.
    std::string revision;
    std::string pendingRevision;
    std::vector<uint8_t> microcode;

    Impl(const DriveConfig& c, Drive& d);
    ~Impl();

    // --- state (drive.cpp) ----------------------------------------------
    const Sense* Readiness() const;
    // Readiness and the spin-up count, shared by both command sets: the
    // answer when the command cannot be served now.
    const Sense* Admit(bool needsMedium);
    uint64_t ServiceNs(uint64_t bytes) const {
        return DriveServiceNs(bytes) + extraNs;
    }
    uint64_t Now() const;
    bool Parked() const { return stopped || standby; }
    // Power transitions: Park stops the spindle (hard: a SAS STOP, which
    // leaves the drive NOT READY until a START); SpinUp starts it and
    // returns when it will be ready.  WakeWait: what a command that needs
    // the medium waits for a drive parked in a power condition.
    void Park(bool hard);
    uint64_t SpinUp();
    uint64_t WakeWait();

    // --- medium and injected errors (drive_medium.cpp) ------------------
    uint64_t Bytes() const { return cfg.blocks * cfg.blockSize; }
    bool InRange(uint64_t lba, uint64_t count) const { return lba < cfg.blocks && count <= cfg.blocks - lba; }
    void OpenImage();
    void LockImage(dev_t device, ino_t inode);
    void UnlockImage();
    // False when the image file refused the read (an I/O error): the drive
    // answers as one whose medium failed there, and the failure is reported
    // on standard error.
    bool Read(uint64_t lba, uint64_t count, uint8_t* out) const;
    // What became of a write.  NoRoom: the file system has no room for the
    // blocks it newly fills (full, a quota, the file size limit); nothing
    // is lost and the drive holds the write off until there is room, as a
    // thin medium out of space does.  Failed: the image refused it
    // otherwise (an I/O error), a medium error reported on standard error.
    enum class Stored { Written, NoRoom, Failed };
    Stored PwriteAll(const uint8_t* in, uint64_t bytes, uint64_t offset);
    Stored Write(uint64_t lba, uint64_t count, const uint8_t* in);
    Stored StoreBlocks(uint64_t lba, uint64_t count, const uint8_t* in);
    // A write refused for want of room, and one taken: standard error says
    // once when the drive's writes begin to wait, and once when a write it
    // had refused is taken again.
    void NoteNoRoom(uint64_t lba, uint64_t count, int error);
    void NoteStored(uint64_t lba, uint64_t count);
    bool outOfRoom = false;
    uint64_t refusedLba = 0, refusedCount = 0;
    std::string Name() const;
    uint64_t NewBytes(uint64_t lba, uint64_t count) const;
    // The blocks of the image that keep their room on the disk (empty on a
    // drive too small for them): where the controller keeps its
    // configuration copy.
    uint64_t keptBegin = 0, keptEnd = 0;
    bool AllocateKeptBlocks();
    void ReportFailure(const char* what, uint64_t lba, uint64_t count, int error) const;
    mutable uint32_t failuresReported = 0;
    bool Erase();
    void MarkBad(uint64_t lba, uint64_t count);
    void ClearBad(uint64_t lba, uint64_t count);
    uint64_t FirstBad(uint64_t lba, uint64_t count) const;
    // A read up to the first unreadable block, into the initiator's buffer
    // as far as it reaches.
    struct MediaRead {
        uint64_t good = 0;
        uint64_t firstBad = drive::kNoInfo;
        uint32_t transferred = 0;
        bool ok = true;
    };
    MediaRead ReadToInitiator(uint64_t lba, uint64_t count, std::span<uint8_t> in) const;
    Stored WriteFromInitiator(uint64_t lba, uint64_t count, const uint8_t* in);

    // --- SCSI command set (drive_scsi.cpp) ------------------------------
    struct Command {
        std::array<uint8_t, 16> cdb{};
        std::span<const uint8_t> out;
        std::span<uint8_t> in;
        DriveResult& r;
        uint64_t bytesMoved = 0;  // to or from the medium (service time)
        uint64_t taken = 0;       // data-out bytes the command took
        uint64_t waitNs = 0;      // held until the drive is ready
    };
    static void Fail(DriveResult& r, const Sense& s, uint64_t info = drive::kNoInfo, int field = -1,
                     bool inCdb = true);
    static void FailCdb(Command& c, int field) { Fail(c.r, drive::kInvalidFieldInCdb, drive::kNoInfo, field); }
    // Data to the initiator: at most the allocation length and the buffer.
    static void Return(Command& c, const std::vector<uint8_t>& data, uint64_t allocation);
    // Data from the initiator: the whole parameter list or nothing.
    static bool Takes(Command& c, uint64_t bytes);
    // Adds a WRITE BUFFER segment to the image being gathered; false when
    // the segment or the image it completes is refused (the image is
    // dropped, the running revision kept).
    bool GatherMicrocode(uint64_t offset, std::span<const uint8_t> data);
    void ActivateMicrocode();
    bool CheckBlocks(Command& c, uint64_t lba, uint64_t count);

    void TestUnitReady(Command& c);
    void RequestSense(Command& c);
    void StartStopUnit(Command& c);
    void ReadOrVerify(Command& c, bool read);
    void ReadBlocks(Command& c) { ReadOrVerify(c, true); }
    void VerifyBlocks(Command& c) { ReadOrVerify(c, false); }
    void WriteBlocks(Command& c);
    void SynchronizeCache(Command& c);
    void WriteBuffer(Command& c);
    void FormatUnit(Command& c);
    void ReassignBlocks(Command& c);
    void ReadLong(Command& c);
    void SendDiagnostic(Command& c);
    void WriteLong(Command& c);

    struct ScsiOp {
        uint8_t opcode;
        bool needsMedium;  // refused while the drive is not ready
        void (Impl::*run)(Command&);
    };
    static const ScsiOp kScsiOps[];
    // Each opcode's row in kScsiOps plus one (0: a command the drive does
    // not know): every command looks its opcode up.
    static const std::array<uint8_t, 256> kScsiOpRow;
    void Scsi(std::span<const uint8_t> cdb, std::span<const uint8_t> out, std::span<uint8_t> in, DriveResult& r);

    // --- identity and parameter data (drive_pages.cpp) ------------------
    void Inquiry(Command& c);
    void ReadCapacity(Command& c);
    void ReadDefectData(Command& c);
    void ReportLuns(Command& c);
    void ModeSense(Command& c);
    void ModeSelect(Command& c);
    void LogSense(Command& c);
    bool WriteCache() const;
    void SetWriteCache(bool on);

    // --- ATA command set (drive_ata.cpp) --------------------------------
    struct AtaCall {
        const AtaCommand& a;
        std::span<const uint8_t> out;
        std::span<uint8_t> in;
        DriveResult& r;
        uint64_t count;      // blocks; a count of 0 means 65536
        uint64_t moved = 0;  // to or from the medium (service time)
    };
    static void AtaFail(DriveResult& r, uint8_t error, const Sense& s, uint64_t lba = drive::kNoInfo);
    static void Give(AtaCall& c, const std::vector<uint8_t>& data);
    std::vector<uint8_t> Identify() const;
    std::vector<uint8_t> Log(uint8_t address, uint8_t page) const;
    void AtaIdentify(AtaCall& c);
    void AtaReadDma(AtaCall& c);
    void AtaWriteDma(AtaCall& c);
    void AtaWriteUncorrectable(AtaCall& c);
    void AtaNothingToDo(AtaCall& c);
    void AtaSetFeatures(AtaCall& c);
    void AtaSmart(AtaCall& c);
    void AtaReadLog(AtaCall& c);
    void AtaDownloadMicrocode(AtaCall& c);
    void AtaStandby(AtaCall& c);

    struct AtaOp {
        uint8_t command;
        bool needsMedium;  // refused while the drive is not ready
        bool addressed;    // its LBA and count must lie on the medium
        void (Impl::*run)(AtaCall&);
    };
    static const AtaOp kAtaOps[];
    void Ata(const AtaCommand& a, std::span<const uint8_t> out, std::span<uint8_t> in, DriveResult& r);
};

}  // namespace sim
