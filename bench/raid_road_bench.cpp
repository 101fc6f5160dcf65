// 4 KiB host commands per second through the RAID engine's road to the
// drives: a host-pool command as the cache hands it over, mapped onto the
// rank (RAID 0, RAID 10, RAID 5 with its read-modify-write pairs and XOR),
// its children posted to the drive-side IOC model, served by memory-backed
// drives, answered through the reply dispatch and the back-end completion
// to the ring that answers the host.  Sixteen commands are kept in flight.
// Against memcpy of the same bytes, timed in the same run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "copy_reference.h"
#include "../tests/raid/drive_road.h"
#include "config/rank_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "raid/parity_mapping.h"
#include "raid/striped_mapping.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace {

constexpr unsigned kDrives = 8;
constexpr uint32_t kCommands = 20000;
constexpr unsigned kInFlight = 16;
constexpr uint16_t kBlocks = 8;   // 4 KiB
// Host blocks the addresses spread over: the first round has the drive
// models allocate their storage, the best round is the road's own cost.
constexpr uint32_t kSpan = 1u << 16;
constexpr unsigned kRounds = 3;

struct Road {
    const char* pszName;
    uint8_t bLevel;
    uint8_t bSubRanks;
};

void MakeRank(const Road& r, const uint8_t* pbTarget) {
    fw::SetRankCount(1);
    fw::RANK_RECORD* ps = fw::pGetRankRecord(0);
    std::memset(ps, 0, sizeof *ps);
    ps->bRaidLevel = r.bLevel;
    ps->bDriveCount = kDrives;
    ps->wChunkSize = 128;
    ps->bSubRankCount = r.bSubRanks;
    ps->bRankState = fw::RANK_STATE_OPTIMAL;
    for (uint8_t m = 0; m < 16; ++m) {
        ps->abMemberDrive[m] = m < kDrives ? pbTarget[m] : 0xFF;
        ps->abMemberDriveAlt[m] = 0xFF;
        ps->abMemberState[m] = m < kDrives ? 1 : 0xFF;
    }
}

fw::KERNEL_ENTRY* NewCommand() {
    fw::KERNEL_ENTRY* ps = nullptr;
    uint16_t w = 0;
    if (fw::bAllocTargetEntries(fw::PORT_CODE_INTERNAL, 1, &ps, &w, fw::FALSE) != fw::STATUS_OK) return nullptr;
    ps->bPortCode = fw::PORT_CODE_INTERNAL;
    if (fw::bAllocDataPages(0, 1, &ps->dBufferHandle) != fw::STATUS_OK) return nullptr;
    ps->wPageCount = 1;
    std::memset(reinterpret_cast<void*>(static_cast<uintptr_t>(fw::dBufferHandleToCpuAddress(ps->dBufferHandle))), 0x5A,
                fw::BUFFER_PAGE_SIZE);
    return ps;
}

uint8_t Map(const Road& r, fw::KERNEL_ENTRY* ps) {
    const uint32_t d = static_cast<uint32_t>(fw::dBufferHandleToCpuAddress(ps->dBufferHandle));
    return r.bLevel == fw::RAID_LEVEL_5 ? fw::bMapParityCommand(0, ps, d) : fw::bMapStripedCommand(0, ps, d);
}

void Start(const Road& r, fw::KERNEL_ENTRY* ps, bool fWrite, uint32_t i) {
    const uint64_t lAddress = (uint64_t(i) * 2654435761u) % (kSpan / kBlocks) * kBlocks;
    raidtest::SetHostTransfer(ps, fWrite, lAddress, kBlocks);
    ps->lFlags = 0;
    ps->bPrimaryState = fWrite ? fw::HOST_STATE_WRITE_ISSUED : fw::HOST_STATE_READ_ISSUED;
    while (Map(r, ps) != fw::STATUS_OK) fw::HwPoll();
}

// kCommands commands with kInFlight in flight; false when one failed.
bool RunCommands(const Road& r, fw::KERNEL_ENTRY* const* apsSlot, bool fWrite) {
    uint32_t dIssued = 0, dDone = 0;
    for (unsigned s = 0; s < kInFlight; ++s) Start(r, apsSlot[s], fWrite, dIssued++);
    const uint8_t bIssued = fWrite ? fw::HOST_STATE_WRITE_ISSUED : fw::HOST_STATE_READ_ISSUED;
    while (dDone < kCommands) {
        raidtest::RunDriveServices();
        for (unsigned s = 0; s < kInFlight; ++s) {
            fw::KERNEL_ENTRY* ps = apsSlot[s];
            if (ps->bPrimaryState == bIssued || ps->bPrimaryState == 0) continue;
            if (fw::HasFlag(ps, fw::KE_FLAG_CHILD_FAILED)) return false;
            if (fWrite) {
                fw::TakeWriteComplete(fw::PORT_CODE_INTERNAL);
            } else {
                (void)fw::bGetDataAvailable(fw::PORT_CODE_INTERNAL);
            }
            ++dDone;
            ps->bPrimaryState = 0;
            if (dIssued < kCommands) Start(r, ps, fWrite, dIssued++);
        }
    }
    return true;
}

}  // namespace

int main() {
    raidtest::DriveRoadBoard road(raidtest::DriveRoadBoard::Options(false, kDrives));
    harness::DispatchBoard& b = road.b;
    fw::InitBufferPages();
    uint8_t abTarget[kDrives];
    for (unsigned s = 1; s <= kDrives; ++s) abTarget[s - 1] = road.TargetOfSlot(s);

    const Road aRoads[] = {
        {"RAID 0 ", fw::RAID_LEVEL_0, 0},
        {"RAID 10", fw::RAID_LEVEL_10, 0},
        {"RAID 5 ", fw::RAID_LEVEL_5, 1},
    };
    double adRate[3][2] = {};
    bool ok = true;
    b.board().RunOnCpu([&] {
        if (!raidtest::BringUpDriveRoad()) {
            ok = false;
            return;
        }
        b.StartMainLoop();
        fw::KERNEL_ENTRY* apsSlot[kInFlight];
        for (fw::KERNEL_ENTRY*& ps : apsSlot) ps = NewCommand();
        for (unsigned i = 0; i < 3 && ok; ++i) {
            MakeRank(aRoads[i], abTarget);
            for (unsigned w = 0; w < 2 && ok; ++w) {
                double best = 1e30;
                for (unsigned k = 0; k < kRounds && ok; ++k) {
                    const auto start = std::chrono::steady_clock::now();
                    ok = RunCommands(aRoads[i], apsSlot, w == 0);
                    best = std::min(best, benchref::Seconds(start, std::chrono::steady_clock::now()));
                }
                adRate[i][w] = kCommands / best;
            }
        }
    });
    if (!ok) {
        std::fprintf(stderr, "raid_road_bench: a command failed or the drive side did not come up\n");
        return 1;
    }

    // Reference: memcpy of the same 4 KiB per command.
    const double copy = benchref::MemcpyRate(kBlocks * 512, kCommands * 20, kRounds);
    std::printf("memcpy of 4 KiB: %.0f per second\n", copy);
    for (unsigned i = 0; i < 3; ++i) {
        std::printf("%s 4 KiB writes: %9.0f per second (memcpy ratio %.4f)   reads: %9.0f per second (%.4f)\n",
                    aRoads[i].pszName, adRate[i][0], adRate[i][0] / copy, adRate[i][1], adRate[i][1] / copy);
    }
    return 0;
}
