// 4 KiB commands through the whole drive-side path: a KERNEL_ENTRY,
// SendSCSICommand, the drive IOC model, the drive model (memory-backed), the
// message interrupt, the reply dispatch and the completion ring.  Reads and
// writes, one command at a time and 32 in flight, over blocks written before
// they are read, each command on the next of a rotation of buffers; against
// the same commands given to the drive models directly, timed in this run.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "harness/drive_set.h"
#include "hw/hw.h"
#include "measure.h"
#include "sas/sas_scsi_path.h"
#include "sim/chassis.h"

namespace {

constexpr uint32_t kBlockBytes = 512;
constexpr uint32_t kBytes = 4096;
constexpr uint32_t kBlocks = kBytes / kBlockBytes;
constexpr unsigned kDrives = 8;
constexpr uint32_t kCommandsPerDrive = 512;    // 2 MiB of each drive, written before it is read
constexpr uint32_t kBuffers = 128;             // rotated: no command finds its data already in cache
constexpr unsigned kBatch = 256;

// What a block holds: its drive and LBA in its first words.
void Stamp(uint8_t* block, unsigned slot, uint32_t lba) {
    const uint32_t words[2] = {0x5EED0000u | slot, lba};
    std::memcpy(block, words, sizeof words);
}
bool Stamped(const uint8_t* block, unsigned slot, uint32_t lba) {
    uint32_t words[2];
    std::memcpy(words, block, sizeof words);
    return words[0] == (0x5EED0000u | slot) && words[1] == lba;
}

// The n-th command of a run: its drive (slot) and LBA.
struct Place {
    unsigned slot;
    uint32_t lba;
};
Place PlaceOf(uint64_t n) {
    return {static_cast<unsigned>(1 + n % kDrives), static_cast<uint32_t>(n / kDrives % kCommandsPerDrive * kBlocks)};
}

class Runner {
public:
    explicit Runner(harness::DriveSet& drives) : m_drives(drives) {
        for (unsigned s = 1; s <= kDrives; ++s) m_targets[s - 1] = drives.TargetOfSlot(s);
        fw::BUFFER_HANDLE handle = fw::NULL_BUFFER_HANDLE;
        fw::bAllocDataPages(0, kBuffers * kBytes / fw::BUFFER_PAGE_SIZE, &handle);
        m_bus = static_cast<uint32_t>(fw::dBufferHandleToPciAddress(handle));
        m_host = static_cast<uint8_t*>(fw::pBufferHandleToPointer(handle));
    }

    // Runs `count` commands with up to `depth` in flight; false when one failed.
    bool Run(bool write, unsigned depth, uint64_t count) {
        uint64_t issued = 0, done = 0;
        unsigned inFlight = 0;
        while (done < count) {
            while (inFlight < depth && issued < count) {
                if (!Issue(write, m_next + issued)) break;
                ++issued;
                ++inFlight;
            }
            fw::KERNEL_ENTRY* ps = nullptr;
            bool any = false;
            while (fw::bPeekCompletedEntry(fw::PORT_CODE_INITIATOR, &ps) == fw::STATUS_FOUND) {
                fw::DequeueCompletedEntry(fw::PORT_CODE_INITIATOR);
                if (fw::psSasFields(ps)->bScsiStatus != 0) return false;
                m_lastBuffer[m_flight[ps->wIndex].buffer] = m_flight[ps->wIndex].place;
                fw::FreeKernelEntries(ps);
                --inFlight;
                ++done;
                any = true;
            }
            if (!any) fw::HwPoll();
        }
        m_next += count;
        return true;
    }

    // Every buffer a read left behind holds the blocks its command named.
    bool ReadsLandedRight() const {
        for (uint32_t b = 0; b < kBuffers; ++b) {
            const Place& p = m_lastBuffer[b];
            if (p.slot == 0) continue;
            for (uint32_t i = 0; i < kBlocks; ++i) {
                if (!Stamped(Buffer(b) + i * kBlockBytes, p.slot, p.lba + i)) return false;
            }
        }
        return true;
    }
    void ForgetBuffers() { m_lastBuffer.fill(Place{0, 0}); }
    void Rewind() { m_next = 0; }
    uint8_t* Buffer(uint32_t b) const { return m_host + b * kBytes; }
    uint64_t next() const { return m_next; }

private:
    bool Issue(bool write, uint64_t n) {
        fw::KERNEL_ENTRY* ps = nullptr;
        if (fw::bAllocKernelEntries(0, 1, &ps) != fw::STATUS_OK) return false;
        const Place p = PlaceOf(n);
        const uint32_t buffer = m_buffer++ % kBuffers;
        if (write) {
            for (uint32_t i = 0; i < kBlocks; ++i) Stamp(Buffer(buffer) + i * kBlockBytes, p.slot, p.lba + i);
        }
        ps->bPortCode = fw::PORT_CODE_INITIATOR;
        ps->fUsed = fw::TRUE;
        ps->bPrimaryState = fw::PS_AT_CHIP;
        ps->wTargetId = m_targets[p.slot - 1];
        const uint8_t cdb[10] = {write ? uint8_t(0x2A) : uint8_t(0x28), 0, uint8_t(p.lba >> 24), uint8_t(p.lba >> 16),
                                 uint8_t(p.lba >> 8), uint8_t(p.lba), 0, 0, kBlocks};
        std::memcpy(ps->abCdb, cdb, sizeof cdb);
        ps->wControlFlags = (write ? fw::SAS_XFER_OUT : fw::SAS_XFER_IN) | fw::SAS_XFER_SGL;
        ps->wSegmentCount = 1;
        ps->dTotalByteCount = kBytes;
        ps->asSegment[0] = {m_bus + buffer * kBytes, kBytes};
        m_flight[ps->wIndex] = {buffer, p};
        while (fw::SendSCSICommand(ps) != fw::SEND_POSTED) fw::HwPoll();
        return true;
    }

    struct Flight {
        uint32_t buffer;
        Place place;
    };
    harness::DriveSet& m_drives;
    std::array<uint8_t, kDrives> m_targets{};
    uint32_t m_bus = 0;
    uint8_t* m_host = nullptr;
    uint32_t m_buffer = 0;
    uint64_t m_next = 0;
    std::array<Flight, fw::KERNEL_ENTRY_COUNT> m_flight{};
    std::array<Place, kBuffers> m_lastBuffer{};
};

// The same commands straight into the drive models: what the drives
// themselves cost.
class Direct {
public:
    Direct(sim::Chassis& chassis, uint8_t* buffers) : m_chassis(chassis), m_buffers(buffers) {}
    bool Run(bool write, uint64_t count) {
        for (uint64_t k = 0; k < count; ++k, ++m_next) {
            const Place p = PlaceOf(m_next);
            uint8_t* data = m_buffers + (m_buffer++ % kBuffers) * kBytes;
            const uint8_t cdb[10] = {write ? uint8_t(0x2A) : uint8_t(0x28), 0, uint8_t(p.lba >> 24),
                                     uint8_t(p.lba >> 16), uint8_t(p.lba >> 8), uint8_t(p.lba), 0, 0, kBlocks};
            if (write) {
                for (uint32_t i = 0; i < kBlocks; ++i) Stamp(data + i * kBlockBytes, p.slot, p.lba + i);
            }
            sim::Drive* d = m_chassis.DriveAt(p.slot);
            sim::DriveResult r = write ? d->Execute(cdb, {data, kBytes}, {}) : d->Execute(cdb, {}, {data, kBytes});
            if (r.status != 0 || (!write && !Stamped(data, p.slot, p.lba))) return false;
        }
        return true;
    }

private:
    sim::Chassis& m_chassis;
    uint8_t* m_buffers;
    uint64_t m_next = 0;
    uint32_t m_buffer = 0;
};

void Print(const char* name, const bench::Result& r, const bench::Result& direct) {
    std::printf("%-28s %10.0f cmd/s %8.0f ns/cmd%s  firmware %4s  ratio to drives alone %.3f\n", name,
                r.OpsPerSecond(), r.NsPerOp(), r.InstructionsPerOp("cmd").c_str(), r.Share().c_str(),
                r.OpsPerSecond() / direct.OpsPerSecond());
}

}  // namespace

int main() {
    sim::ChassisOptions options;
    options.drives = kDrives;
    harness::DriveSet drives(options);
    bool ok = drives.BringUp();
    if (!ok) {
        std::fprintf(stderr, "drive_path_bench: the drive side did not come up\n");
        return 1;
    }
    struct Workload {
        const char* name;
        bool write;
        unsigned depth;
    };
    const Workload workloads[] = {
        {"write 4 KiB, depth 1", true, 1},
        {"read 4 KiB, depth 1", false, 1},
        {"write 4 KiB, depth 32", true, 32},
        {"read 4 KiB, depth 32", false, 32},
    };
    // Each workload beside the same commands given to the drives alone, in
    // alternating rounds.
    bench::Pair results[std::size(workloads)];
    std::vector<uint8_t> buffers(kBuffers * kBytes);
    Direct direct(drives.chassis(), buffers.data());
    bool verified = true;
    drives.board().RunOnCpu([&] {
        Runner runner(drives);
        // Every block the reads will meet is written first.
        ok = runner.Run(true, 32, uint64_t(kDrives) * kCommandsPerDrive);
        for (size_t w = 0; ok && w < std::size(workloads); ++w) {
            const Workload& wl = workloads[w];
            runner.Rewind();
            runner.ForgetBuffers();
            results[w] = bench::MeasureBesideReference(
                wl.name,
                [&] {
                    ok = ok && runner.Run(wl.write, wl.depth, kBatch);
                    return ok ? kBatch : 0x7FFFFFFFu;
                },
                wl.write ? "drives alone, write" : "drives alone, read",
                [&] {
                    ok = ok && direct.Run(wl.write, kBatch);
                    return ok ? kBatch : 0x7FFFFFFFu;
                },
                true);
            if (!wl.write) verified = verified && runner.ReadsLandedRight();
        }
    });
    if (!ok || !verified) {
        std::fprintf(stderr, "drive_path_bench: a command failed or read back the wrong blocks\n");
        return 1;
    }

    std::printf("drive path, %u drives, rounds of at least %.0f ms, best of %d\n", kDrives,
                bench::kRoundSeconds * 1000, bench::kRounds);
    for (size_t w = 0; w < std::size(workloads); ++w) {
        const bench::Result& alone = results[w].reference;
        std::printf("%-28s %10.0f cmd/s %8.0f ns/cmd%s\n", "  the drives alone", alone.OpsPerSecond(),
                    alone.NsPerOp(), alone.InstructionsPerOp("cmd").c_str());
        Print(workloads[w].name, results[w].measured, alone);
    }
    // The firmware's own time per command, and the board's own beside it
    // (the path less the firmware and less what the drives alone take).
    for (size_t w = 0; w < std::size(workloads); ++w) {
        const bench::Result& r = results[w].measured;
        if (r.firmwareShare < 0) continue;
        const double firmwareNs = r.NsPerOp() * r.firmwareShare;
        const double drivesNs = results[w].reference.NsPerOp();
        std::printf("%-28s firmware %6.0f ns/cmd, board %6.0f ns/cmd, drives %6.0f ns/cmd\n", workloads[w].name,
                    firmwareNs, r.NsPerOp() - firmwareNs - drivesNs, drivesNs);
    }
    bench::NoteInstructions("build-bench/bench/drive_path_bench");
    return 0;
}
