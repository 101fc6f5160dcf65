// The drive road of the RAID engine on a board: the drive-side controller
// with memory-backed drives, the internal and host pools, the XOR engine
// and the back-end completion.  Tests build host commands as the cache
// hands them over, map them onto a rank, run the main loop's drive
// services until the command comes out, and check the drive images against
// an independent layout model.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <random>
#include <vector>

#include "config/rank_table.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "harness/dispatch_board.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/startup.h"
#include "executive/system_state.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "raid/child_commands.h"
#include "raid/parity_mapping.h"
#include "raid/striped_mapping.h"
#include "raid/xor_engine.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/sas_drive.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"
#include "target/back_end_completion.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "drive_road.h"
#include "raid_reference.h"

namespace raidtest {

constexpr uint32_t kBlock = 512;

inline uint8_t* Bytes(uint32_t dAddress) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(dAddress)); }

struct RankSpec {
    uint8_t bLevel;
    uint8_t bDrives;
    uint16_t wChunk;
    uint8_t bSubRanks = 0;
};

class RaidRoadTest : public ::testing::Test, public DriveRoadBoard {
protected:
    explicit RaidRoadTest(bool fSata = false, unsigned drives = 12) : DriveRoadBoard(Options(fSata, drives)) {}

    void SetUp() override {
        ASSERT_EQ(fw::InitBufferPages(), fw::STATUS_OK);
        bool fUp = false;
        ASSERT_EQ(b.board().RunOnCpu([&] { fUp = BringUpDriveRoad(); }), sim::StopKind::Finished);
        ASSERT_TRUE(fUp);
        b.StartMainLoop();
        baselineEntries = fw::wGetKernelEntriesUsed();
        baselinePages = fw::dGetPagesInUse(0);
    }

    // Rank 0 on slots 1..D.
    void MakeRank(const RankSpec& r) {
        spec = r;
        fw::SetRankCount(1);
        fw::RANK_RECORD* ps = fw::pGetRankRecord(0);
        std::memset(ps, 0, sizeof *ps);
        ps->bRankNumber = 0;
        ps->bRaidLevel = r.bLevel;
        ps->bDriveCount = r.bDrives;
        ps->wChunkSize = r.wChunk;
        ps->bSubRankCount = r.bSubRanks;
        ps->bRankState = fw::RANK_STATE_OPTIMAL;
        for (uint8_t m = 0; m < 16; ++m) {
            ps->abMemberDrive[m] = m < r.bDrives ? TargetOfSlot(m + 1) : 0xFF;
            ps->abMemberDriveAlt[m] = 0xFF;
            ps->abMemberState[m] = m < r.bDrives ? 1 : 0xFF;
            ps->abMemberFlags[m] = 0;
        }
    }
    void FailMember(uint8_t m, uint8_t bFlags = fw::MEMBER_FAILED) {
        fw::RANK_RECORD* ps = fw::pGetRankRecord(0);
        ps->abMemberFlags[m] = bFlags;
        if (bFlags == fw::MEMBER_FAILED) ps->abMemberDrive[m] = 0xFF;
        ps->bRankState = fw::RANK_STATE_DEGRADED;
    }

    // A host command with its own pages (SetHostTransfer).
    fw::KERNEL_ENTRY* HostCommand(bool fWrite, uint64_t address, uint16_t blocks) {
        fw::KERNEL_ENTRY* ps = nullptr;
        uint16_t w = 0;
        EXPECT_EQ(fw::bAllocTargetEntries(fw::PORT_CODE_INTERNAL, 1, &ps, &w, fw::FALSE), fw::STATUS_OK);
        ps->bPortCode = fw::PORT_CODE_INTERNAL;
        ps->bRank = 0;
        SetHostTransfer(ps, fWrite, address, blocks);
        const uint32_t pages = (blocks * kBlock + fw::BUFFER_PAGE_SIZE - 1) / fw::BUFFER_PAGE_SIZE;
        EXPECT_EQ(fw::bAllocDataPages(0, pages ? pages : 1, &ps->dBufferHandle), fw::STATUS_OK);
        ps->wPageCount = static_cast<uint16_t>(pages ? pages : 1);
        ps->bPrimaryState = fWrite ? fw::HOST_STATE_WRITE_ISSUED : fw::HOST_STATE_READ_ISSUED;
        return ps;
    }
    static uint8_t* Data(fw::KERNEL_ENTRY* ps) { return static_cast<uint8_t*>(fw::pBufferHandleToPointer(ps->dBufferHandle)); }
    static uint32_t DataAddress(fw::KERNEL_ENTRY* ps) {
        return static_cast<uint32_t>(fw::dBufferHandleToCpuAddress(ps->dBufferHandle));
    }

    void FreeHost(fw::KERNEL_ENTRY* ps) {
        (void)fw::wFreeDataPages(ps->dBufferHandle, ps->wPageCount);
        fw::FreeTargetEntry(ps);
    }

    // The main loop's drive services until the command leaves the RAID
    // engine (its last child in).
    void RunUntilDone(fw::KERNEL_ENTRY* ps) {
        const uint8_t bIssued = ps->bPrimaryState;
        RunUntil([&] { return ps->bPrimaryState != bIssued; });
    }
    void RunUntil(const std::function<bool()>& fDone, uint32_t dPolls = 200000) {
        ASSERT_EQ(b.board().RunOnCpu([&] {
            for (uint32_t i = 0; i < dPolls && !fDone(); ++i) Cycle();
        }),
                  sim::StopKind::Finished)
            << b.board().ConsoleText();
        ASSERT_TRUE(fDone());
    }
    static void Cycle() { RunDriveServices(); }
    // Maps the command on rank 0 with the mapping given, runs it, and
    // expects it to come out on the ring that answers the host.
    void Run(fw::KERNEL_ENTRY* ps, const std::function<uint8_t(fw::KERNEL_ENTRY*)>& fnMap) {
        uint8_t bMapped = 0;
        ASSERT_EQ(b.board().RunOnCpu([&] { bMapped = fnMap(ps); }), sim::StopKind::Finished);
        ASSERT_EQ(bMapped, fw::STATUS_OK);
        RunUntilDone(ps);
    }

    // The children waiting on the initiator kernel queue, in queue order.
    std::vector<fw::KERNEL_ENTRY*> Queued() {
        std::vector<fw::KERNEL_ENTRY*> v;
        const fw::KERNEL_QUEUE* q = fw::psGetInitiatorKernelQueue();
        for (uint16_t p = q->wNewCmdOut; p != q->wNewCmdIn; p = uint16_t((p + 1) % fw::KERNEL_QUEUE_SLOTS)) {
            fw::KERNEL_ENTRY* ps = nullptr;
            fw::GetKernelEntryAddress(q->awNewCmdRing[p], &ps);
            if (ps) v.push_back(ps);
        }
        return v;
    }

    // Zeros over the first blocks of every drive, and an empty reference.
    void WipeDrives(uint32_t blocks) {
        const std::vector<uint8_t> zeros(blocks * kBlock, 0);
        for (unsigned slot = 1; slot <= 12; ++slot) {
            if (chassis.DriveAt(slot)) chassis.DriveAt(slot)->WriteBlocks(0, blocks, zeros.data());
        }
        reference.clear();
        touchedRows.clear();
    }

    std::vector<uint8_t> DriveBlocks(unsigned slot, uint64_t lba, uint32_t count) {
        std::vector<uint8_t> v(count * kBlock);
        chassis.DriveAt(slot)->ReadBlocks(lba, count, v.data());
        return v;
    }
    void Fill(fw::KERNEL_ENTRY* ps, uint32_t seed) {
        std::mt19937 rng(seed);
        for (uint32_t i = 0; i < ps->wBlocks * kBlock; ++i) Data(ps)[i] = uint8_t(rng());
    }
    // Pools back where they started: every child and page returned.
    void ExpectPoolsReturned() {
        EXPECT_EQ(fw::wGetKernelEntriesUsed(), baselineEntries) << UsedEntries();
        EXPECT_EQ(fw::dGetPagesInUse(0), baselinePages);
    }

    // The entries in use, for a failure message.
    static std::string UsedEntries() {
        std::string s;
        for (uint32_t i = 0; i < fw::KERNEL_ENTRY_COUNT; ++i) {
            fw::KERNEL_ENTRY* ps = nullptr;
            fw::GetKernelEntryAddress(i, &ps);
            if (ps->fUsed != fw::TRUE) continue;
            s += " [" + std::to_string(i) + " ct " + std::to_string(ps->bCommandType) + " ps " +
                 std::to_string(ps->bPrimaryState) + " cc " + std::to_string(ps->wChildrenOutstanding) + "]";
        }
        return s;
    }

    // ---- the reference model: what each acknowledged write put where ----

    // The mapping of the rank's level, as the cache's stages call it.
    uint8_t MapOnRank(fw::KERNEL_ENTRY* ps) {
        const uint32_t d = DataAddress(ps);
        switch (spec.bLevel) {
        case fw::RAID_LEVEL_0:
        case fw::RAID_LEVEL_10: return fw::bMapStripedCommand(0, ps, d);
        case fw::RAID_LEVEL_5:
        case fw::RAID_LEVEL_50: return fw::bMapParityCommand(0, ps, d);
        default: return MapOther(ps, d);
        }
    }
    virtual uint8_t MapOther(fw::KERNEL_ENTRY*, uint32_t) { return 0; }

    // Writes random data through the engine and records it.
    void Write(uint64_t address, uint16_t blocks, uint32_t seed) {
        fw::KERNEL_ENTRY* w = HostCommand(true, address, blocks);
        Fill(w, seed);
        Run(w, [&](fw::KERNEL_ENTRY* ps) { return MapOnRank(ps); });
        ASSERT_EQ(w->bPrimaryState, fw::HOST_STATE_WRITE_COMPLETE);
        ASSERT_FALSE(fw::HasFlag(w, fw::KE_FLAG_CHILD_FAILED)) << "write " << address << "+" << blocks;
        for (uint32_t i = 0; i < blocks; ++i) {
            std::vector<uint8_t>& v = reference[address + i];
            v.assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
            for (const auto& r : Rows(address + i)) touchedRows.insert(r);
        }
        FreeHost(w);
    }
    // Reads through the engine; the data must be what was written.
    void ExpectRead(uint64_t address, uint16_t blocks) {
        fw::KERNEL_ENTRY* r = HostCommand(false, address, blocks);
        std::memset(Data(r), 0xEE, blocks * kBlock);
        Run(r, [&](fw::KERNEL_ENTRY* ps) { return MapOnRank(ps); });
        ASSERT_EQ(r->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
        ASSERT_FALSE(fw::HasFlag(r, fw::KE_FLAG_CHILD_FAILED)) << "read " << address << "+" << blocks;
        for (uint32_t i = 0; i < blocks; ++i) {
            ASSERT_EQ(std::vector<uint8_t>(Data(r) + i * kBlock, Data(r) + (i + 1) * kBlock), Expected(address + i))
                << "block " << address + i;
        }
        FreeHost(r);
    }
    std::vector<uint8_t> Expected(uint64_t x) const {
        auto it = reference.find(x);
        return it == reference.end() ? std::vector<uint8_t>(kBlock, 0) : it->second;
    }
    // The rows a host block lies in (the key of the parity checks).
    std::vector<uint64_t> Rows(uint64_t x) const {
        if (spec.bLevel == fw::RAID_LEVEL_5 || spec.bLevel == fw::RAID_LEVEL_50) return {x / Parity().RowBlocks()};
        if (spec.bLevel == fw::RAID_LEVEL_6) return {x / Dual().RowBlocks()};
        return {};
    }
    raidref::ParityRank Parity() const {
        return {spec.bDrives, spec.bSubRanks ? spec.bSubRanks : 1u, spec.wChunk};
    }
    raidref::DualParityRank Dual() const { return {spec.bDrives, spec.wChunk}; }
    bool MemberPresent(unsigned m) const { return fw::pGetRankRecord(0)->abMemberFlags[m] == 0; }
    std::vector<uint8_t> Chunk(unsigned m, uint64_t row) {
        return DriveBlocks(m + 1, row * spec.wChunk, spec.wChunk);
    }
    // The expected contents of a data chunk, from the reference model.
    std::vector<uint8_t> ExpectedChunk(uint64_t rowStart) const {
        std::vector<uint8_t> v;
        for (uint32_t o = 0; o < spec.wChunk; ++o) {
            const std::vector<uint8_t> b = Expected(rowStart + o);
            v.insert(v.end(), b.begin(), b.end());
        }
        return v;
    }
    // Every present member of every row written holds what the layout
    // model says: the data, and the parity of the reference data.
    void ExpectDrivesMatchReference() {
        for (uint64_t row : touchedRows) {
            if (spec.bLevel == fw::RAID_LEVEL_6) {
                ExpectDualParityRow(row);
                continue;
            }
            const raidref::ParityRank pr = Parity();
            for (unsigned g = 0; g < pr.G; ++g) {
                std::vector<uint8_t> parity(spec.wChunk * kBlock, 0);
                const std::vector<unsigned> members = pr.DataMembers(row, g);
                for (unsigned j = 0; j < members.size(); ++j) {
                    const uint64_t start = row * pr.RowBlocks() + (g * (pr.P() - 1) + j) * uint64_t(spec.wChunk);
                    const std::vector<uint8_t> e = ExpectedChunk(start);
                    for (size_t i = 0; i < e.size(); ++i) parity[i] ^= e[i];
                    if (MemberPresent(members[j])) {
                        ASSERT_EQ(Chunk(members[j], row), e) << "row " << row << " member " << members[j];
                    }
                }
                if (MemberPresent(pr.ParityMember(row, g))) {
                    ASSERT_EQ(Chunk(pr.ParityMember(row, g), row), parity) << "parity of row " << row << " sub-rank " << g;
                }
            }
        }
    }
    void ExpectDualParityRow(uint64_t row) {
        const raidref::DualParityRank dr = Dual();
        const std::vector<unsigned> members = dr.DataMembers(row);
        std::vector<std::vector<uint8_t>> data;
        std::vector<const uint8_t*> cols;
        for (unsigned j = 0; j < members.size(); ++j) {
            data.push_back(ExpectedChunk(row * dr.RowBlocks() + j * uint64_t(spec.wChunk)));
            if (MemberPresent(members[j])) {
                ASSERT_EQ(Chunk(members[j], row), data.back()) << "row " << row << " member " << members[j];
            }
        }
        for (const auto& d : data) cols.push_back(d.data());
        std::vector<uint8_t> p(spec.wChunk * kBlock), q(spec.wChunk * kBlock);
        raidref::PQ(cols, spec.wChunk * kBlock, p.data(), q.data());
        if (MemberPresent(dr.PMember(row))) {
            ASSERT_EQ(Chunk(dr.PMember(row), row), p) << "P of row " << row;
        }
        if (MemberPresent(dr.QMember(row))) {
            ASSERT_EQ(Chunk(dr.QMember(row), row), q) << "Q of row " << row;
        }
    }

    std::map<uint64_t, std::vector<uint8_t>> reference;
    std::set<uint64_t> touchedRows;

    RankSpec spec{};
    uint16_t baselineEntries = 0;
    uint32_t baselinePages = 0;
};

}  // namespace raidtest
