// A disk drive of the drive enclosure: it answers the SCSI commands the
// firmware sends it (SAS drives) or the ATA commands the drive-side
// controller's translation and passthrough send it (SATA drives), keeps its
// blocks in a sparse image file or, in tests, in memory holding only the
// blocks written, and takes injected faults.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sim {

class Clock;

struct DriveConfig {
    bool sata = false;
    uint64_t blocks = 8ull << 20;     // 4 GiB of 512-byte blocks
    uint32_t blockSize = 512;
    uint64_t sasAddress = 0;          // SAS address / WWN (SATA: the one the expander gives it)
    std::string vendor = "DRIVEVND";  // INQUIRY / IDENTIFY identity
    std::string product = "SIMDISK 4G";
    std::string revision = "0001";
    std::string serial = "SIM0000001";
    std::string imagePath;            // empty: memory holding only the blocks written
    bool writeCacheEnabled = true;
    // Power-on behaviour of the SCSI side: the first command after power-on
    // (INQUIRY and REQUEST SENSE aside) gets UNIT ATTENTION; a drive that
    // powers on stopped wants START STOP UNIT; spinning up takes spinUpNs
    // once the drive is started (with a clock attached).
    bool unitAttentionAtPowerOn = true;
    bool powerOnStopped = false;
    uint64_t spinUpNs = 0;
    // FALSE: the write cache bit of the caching page cannot be changed.
    bool writeCacheChangeable = true;
    // What the drive keeps in its image past its own blocks, as a drive
    // keeps its identity off the blocks a host reaches: written there
    // whenever the image is opened.  Empty: nothing past the blocks.
    std::vector<uint8_t> identityBlock;
};

// How long a drive takes over a command that moves `bytes` to or from its
// medium: a fixed cost per command and a cost per 512 bytes (a slow drive
// takes longer).
constexpr uint64_t DriveServiceNs(uint64_t bytes) { return 50'000 + bytes / 512 * 5'000; }

// The outcome of one command: SCSI status (0 GOOD, 2 CHECK CONDITION, ...),
// fixed-format sense data when the status is CHECK CONDITION, the bytes
// moved, and how long the drive took.
struct DriveResult {
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    uint32_t transferred = 0;
    uint64_t serviceNs = 0;
    bool noResponse = false;  // the drive never answers (removed, dead)
    bool powerCut = false;    // the power failed while this command wrote
    // ATA commands: the ending registers the status FIS carries.  Status
    // 0x50 good, 0x51 with `ataError` (0x04 aborted, 0x10 address not found,
    // 0x40 uncorrectable); LBA and count as the device leaves them (the
    // first failing block, the SMART signature 0xC24F00 in the LBA).
    uint8_t ataStatus = 0;
    uint8_t ataError = 0;
    uint64_t ataLba = 0;
    uint16_t ataCount = 0;
};

// An ATA command as the controller's SATA side issues it (48-bit task file).
struct AtaCommand {
    uint8_t command = 0;
    uint16_t features = 0;
    uint16_t count = 0;
    uint64_t lba = 0;
    uint8_t device = 0;
};

class Drive {
public:
    explicit Drive(const DriveConfig& config);
    ~Drive();
    const DriveConfig& config() const { return m_config; }

    // SCSI command with its data: `dataOut` for writes, `dataIn` filled for
    // reads (at most its size; the rest is residual).
    DriveResult Execute(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut, std::span<uint8_t> dataIn);
    // ATA command (SATA drives): the passthrough and the controller's own
    // translation of SCSI reads and writes both end here.
    DriveResult ExecuteAta(const AtaCommand& command, std::span<const uint8_t> dataOut, std::span<uint8_t> dataIn);

    // Direct access to the medium (tests and benchmarks check what is on it);
    // injected faults stay as they are.
    void ReadBlocks(uint64_t lba, uint32_t count, uint8_t* out) const;
    void WriteBlocks(uint64_t lba, uint32_t count, const uint8_t* in);

    // Faults.
    void InjectMediaError(uint64_t lba, uint64_t count);   // reads there fail with MEDIUM ERROR
    void ClearMediaErrors();
    void SetNotReady(bool notReady);                      // TEST UNIT READY fails until ready
    // The next `commands` commands find it becoming ready; the one after is served.
    void BecomeReadyAfter(uint32_t commands);
    void SetNoResponse(bool dead);
    void SetExtraLatencyNs(uint64_t ns);                  // slow drive
    // The next `times` commands of the operation code fail with HARDWARE
    // ERROR (internal target failure) without touching the medium.
    void FailCommand(uint8_t opcode, uint32_t times);
    // The next `times` commands of the operation code are answered BUSY,
    // or CHECK CONDITION with no sense data, without touching the medium.
    void AnswerBusy(uint8_t opcode, uint32_t times);
    void FailWithoutSense(uint8_t opcode, uint32_t times);
    // The next `times` commands of the operation code end ABORTED COMMAND,
    // information unit CRC error, as on a link that corrupts frames.
    void FailTransfer(uint8_t opcode, uint32_t times);
    // At most `depth` commands are held at once (0: no limit); one more is
    // refused with TASK SET FULL, as a drive with a full queue does.
    void SetQueueDepth(uint32_t depth);
    uint32_t QueueDepth() const;
    // Each TASK SET FULL the drive answered, for whatever reason.
    void NoteTaskSetFull();
    uint64_t TaskSetFullCount() const;
    // The next `times` ATA commands of the command code end with ERR and
    // this error register, without doing anything.
    void FailAtaCommand(uint8_t command, uint8_t error, uint32_t times);
    // READ CAPACITY reports this block length from now on, as a drive
    // formatted anew behind the controller's back would (0: its own).
    void ReportBlockLength(uint32_t bytes);
    // The power fails during the next WRITE(10) or WRITE(16): only its first
    // `blocks` blocks reach the medium and the result says so, so that the
    // board carrying the command stops there.
    void CutPowerDuringNextWrite(uint32_t blocks);
    // The medium has room for `bytes` more bytes and refuses every write
    // that needs more than is left: blocks written before are written over
    // in place, others take room (UINT64_MAX: no limit again).  NoRoom is an
    // image on a file system that filled up: the drive holds the write off
    // (NOT READY, space allocation in progress) until room is made, as the
    // image file's own refusals do.  MediumError is a drive whose medium
    // takes no more (its spare blocks used up): MEDIUM ERROR, write error.
    enum class Refusal { NoRoom, MediumError };
    void RefuseWritesAfter(uint64_t bytes, Refusal how = Refusal::NoRoom);
    // A reset of the drive (target or LUN reset, a link reset): the next
    // command gets UNIT ATTENTION.
    void Reset();
    // Power comes back to the drive's slot: it starts as at power-on (unit
    // attention, stopped or spinning up as configured).
    void PowerOn();
    // Spin-up takes virtual time only with a clock; without one a started
    // drive is ready at once.  The clock must outlive the drive's use of it.
    void AttachClock(const Clock* clock);
    // SCSI commands received with this operation code.
    uint64_t CommandCount(uint8_t opcode) const;
    // The revision INQUIRY (IDENTIFY for SATA) reports: the configured one
    // until a whole valid microcode image arrives by WRITE BUFFER (modes 5
    // and 7), which runs from the next Reset or PowerOn.
    std::string Revision() const;
    // The drive's microcode image: "UCOD", its length (32-bit little
    // endian, header included), the 8-character revision, the 16-character
    // product it is made for, and a CRC-32 of the bytes after the header.
    static constexpr size_t kMicrocodeHeader = 36;
    struct Microcode {
        enum State { PARTIAL, WHOLE, BAD } state = PARTIAL;
        std::string revision;
        std::string product;
    };
    static Microcode ParseMicrocode(std::span<const uint8_t> image);
    static std::vector<uint8_t> BuildMicrocode(const std::string& product, const std::string& revision,
                                               uint32_t bytes, uint32_t seed = 1);
    // SEND DIAGNOSTIC self-tests fail (HARDWARE ERROR, 0x3C) from now on.
    void FailSelfTests(bool fail);
    // REQUEST SENSE reports the drive's failure prediction threshold
    // exceeded (RECOVERED ERROR, 0x5D) while nothing else is to report.
    void PredictFailure(bool predict);
    // Power: the spin-ups commands asked for (START, or a command waking a
    // drive parked in a power condition), the stops (STOP, IDLE or STANDBY,
    // STANDBY IMMEDIATE), and the time spent parked so far.
    struct PowerCounts {
        uint64_t starts = 0;
        uint64_t stops = 0;
        uint64_t parkedNs = 0;
    };
    PowerCounts Power() const;
    bool Parked() const;
    // Told of every spin-up a command starts: when it began and when the
    // drive is ready (the chassis keeps the log).
    std::function<void(uint64_t startNs, uint64_t readyNs)> onSpinUp;
    // Sees every SCSI command the drive receives (tests count commands of
    // one kind or region).
    std::function<void(std::span<const uint8_t> cdb)> onCommand;

private:
    struct Impl;
    DriveConfig m_config;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim
