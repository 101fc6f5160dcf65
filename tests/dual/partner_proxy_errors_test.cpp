// A member this controller reaches only through its partner: its reads go
// to the partner's drive side, and the drive's errors come back as the
// partner's answer.  Transfers the drive's link broke are sent again and
// left out of this controller's log (the partner's drive side counts them);
// a block the drive cannot read is served from the other members.  Either
// way the member stays and the host reads what the drives hold.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "../raid/raid_reference.h"
#include "config/rank_table.h"
#include "harness/dispatch_board.h"
#include "harness/dual_pair.h"
#include "pair_lists.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "raid/child_commands.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sim/fc_host.h"

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint32_t kChunk = 16;
constexpr unsigned kDrives = 4;
constexpr uint8_t kProxySlot = 2;
constexpr uint8_t kDriveCheckCondition = 39;
constexpr uint8_t kBlockReallocated = 113;

class PartnerProxyErrors : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        dual::PlaceMirroredRaid5(chassis, "PROXY", kChunk);
        ASSERT_TRUE(Boot()) << Consoles();
        host = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1), 0x2100001B32E00031ull);
        ASSERT_TRUE(HostReady(*host)) << Consoles();
        FillRows();
        ASSERT_NO_FATAL_FAILURE(ReachMemberThroughPartner());
    }

    // Rows 1-4 hold random data and its parity, as the layout places them
    // (row 0 was read to ready the host, and may be cached).
    void FillRows() {
        std::mt19937 rng(32);
        for (uint64_t row = 1; row <= 4; ++row) {
            std::vector<std::vector<uint8_t>> image(kDrives);
            std::vector<uint8_t> parity(kChunk * kBlock, 0);
            const std::vector<unsigned> members = layout.DataMembers(row, 0);
            for (unsigned j = 0; j < members.size(); ++j) {
                std::vector<uint8_t>& v = image[members[j]];
                v.resize(kChunk * kBlock);
                for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
                for (size_t i = 0; i < v.size(); ++i) parity[i] ^= v[i];
                const uint64_t first = row * layout.RowBlocks() + uint64_t(j) * kChunk;
                std::copy(v.begin(), v.end(), reference.begin() + ptrdiff_t(first * kBlock));
            }
            image[layout.ParityMember(row, 0)] = parity;
            for (unsigned m = 0; m < kDrives; ++m) {
                chassis.DriveAt(m + 1)->WriteBlocks(row * kChunk, kChunk, image[m].data());
            }
        }
    }

    // Controller 0 loses its own path to the drive in slot 2: the partner
    // still reaches it, so it is listed as a proxy, and the member the drive
    // serves is addressed there.
    void ReachMemberThroughPartner() {
        const fw::SAS_DEVICE_ENTRY* ps = InSlot(kProxySlot);
        ASSERT_NE(ps, nullptr);
        const uint8_t bDirect = ps->bTargetId;
        for (uint8_t m = 0; m < kDrives; ++m) {
            if (fw::bGetRankMemberDrive(0, m) == bDirect) member = m;
        }
        ASSERT_LT(member, kDrives);
        bool fDone = false;
        a->board.pollHook = [&] {
            if (fDone) return;
            fw::SetSASSlotDisabled(1, kProxySlot, fw::TRUE);
            fw::RebuildSASDeviceList(fw::TRUE);
            fDone = true;
        };
        ASSERT_TRUE(RunUntil([&] { return fDone; }, 5000 * kMs)) << Consoles();
        a->board.pollHook = nullptr;
        ps = InSlot(kProxySlot);
        ASSERT_NE(ps, nullptr);
        ASSERT_GE(ps->bTargetId, fw::SAS_PROXY_TARGET_BIT);
        fw::SetRankMemberDrive(0, member, ps->bTargetId);
    }
    static const fw::SAS_DEVICE_ENTRY* InSlot(uint8_t bSlot) { return dual::InSlot(fw::pGetSASDriveInfoList(), bSlot); }

    // Rows [first, first + rows) read through controller 0.
    void ExpectRowsRead(uint64_t first, uint64_t rows) {
        const uint32_t dBlocks = static_cast<uint32_t>(rows * layout.RowBlocks());
        const uint64_t lba = first * layout.RowBlocks();
        const sim::FcpResult r = RunCommand(*host, dual::Cdb16(fw::SCSI_READ16, lba, dBlocks), {}, dBlocks * kBlock);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << Consoles();
        ASSERT_EQ(r.status, 0) << Consoles();
        ASSERT_EQ(r.dataIn.size(), size_t(dBlocks) * kBlock);
        EXPECT_TRUE(std::equal(r.dataIn.begin(), r.dataIn.end(), reference.begin() + ptrdiff_t(lba * kBlock)));
    }

    raidref::ParityRank layout{kDrives, 1, kChunk};
    std::vector<uint8_t> reference = std::vector<uint8_t>(5 * 3 * kChunk * kBlock);
    std::unique_ptr<sim::FcHost> host;
    uint8_t member = 0xFF;
};

TEST_F(PartnerProxyErrors, BrokenTransfersAreSentAgainAndLeftToThePartnersLog) {
    sim::Drive* d = chassis.DriveAt(kProxySlot);
    const uint64_t lReadsBefore = d->CommandCount(fw::SCSI_READ10);
    d->FailTransfer(fw::SCSI_READ10, 3);
    const uint32_t dLogged = harness::CountEvents(kDriveCheckCondition);
    ASSERT_NO_FATAL_FAILURE(ExpectRowsRead(1, 2));
    // The broken reads reached the drive (through the partner) and were
    // sent again; none of them is this controller's to log.
    EXPECT_GE(d->CommandCount(fw::SCSI_READ10), lReadsBefore + 4);
    EXPECT_EQ(harness::CountEvents(kDriveCheckCondition), dLogged);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, member), fw::MEMBER_ON_LINE);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
}

TEST_F(PartnerProxyErrors, ABlockTheDriveCannotReadIsServedFromTheOtherMembers) {
    // A block of the member's data chunk in row 3.
    uint64_t row = 3;
    while (layout.ParityMember(row, 0) == member) ++row;
    chassis.DriveAt(kProxySlot)->InjectMediaError(row * kChunk + 5, 1);
    const uint32_t dRewritten = harness::CountEvents(kBlockReallocated);
    ASSERT_NO_FATAL_FAILURE(ExpectRowsRead(row, 1));
    EXPECT_EQ(harness::CountEvents(kBlockReallocated), dRewritten + 1);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, member), fw::MEMBER_ON_LINE);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
}

}  // namespace
