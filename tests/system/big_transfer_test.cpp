// Host reads and writes longer than one transfer pass of the controller
// (16384 blocks): each moves in passes, every byte where the host meant it,
// and one status at the end.
#include "host_road.h"

namespace {

using namespace roadtest;

struct BigTransfer {
    const char* pszName;
    ArraySpec array;
    uint64_t lba;
    uint32_t blocks;
    bool f16;
};

void PrintTo(const BigTransfer& t, std::ostream* os) { *os << t.pszName; }

class BigTransferRoad : public HostRoad, public ::testing::WithParamInterface<BigTransfer> {};

// Written around the transfer with small writes first, so that a pass that
// lands at the wrong place or takes the wrong part of the host's data shows.
TEST_P(BigTransferRoad, MovesInPassesAndKeepsEveryByte) {
    const BigTransfer& t = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(t.array));
    if (t.lba >= 16) Write(t.lba - 16, 16, 1);
    Write(t.lba + t.blocks, 16, 2);
    ASSERT_NO_FATAL_FAILURE(Write(t.lba, t.blocks, 3, t.f16));
    ASSERT_NO_FATAL_FAILURE(ExpectRead(t.lba, t.blocks, t.f16));
    ASSERT_NO_FATAL_FAILURE(ExpectRead(t.lba + t.blocks - 8, 24));
    Settle();
    ExpectDrivesMatchReference();
}

const BigTransfer kBigTransfers[] = {
    {"OneBlockPastAPass", {"Raid5", fw::RAID_LEVEL_5, 4, 128}, 100, 16385, true},
    {"LongestTransfer", {"Raid5", fw::RAID_LEVEL_5, 4, 128}, 3, 65535, true},
    {"Raid0TenByteCdb", {"Raid0", fw::RAID_LEVEL_0, 3, 64}, 0, 40000, false},
    {"Raid10", {"Raid10", fw::RAID_LEVEL_10, 4, 16}, 77, 32768, true},
    {"Raid6", {"Raid6", fw::RAID_LEVEL_6, 5, 32}, 5000, 20000, false},
};
INSTANTIATE_TEST_SUITE_P(Passes, BigTransferRoad, ::testing::ValuesIn(kBigTransfers),
                         [](const auto& info) { return std::string(info.param.pszName); });

// Aborted between passes, a transfer ends there: the host hears of the
// abort, no later pass starts, and the controller holds nothing of it.
TEST_F(HostRoad, AnAbortBetweenPassesEndsTheTransfer) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 128}));
    for (const uint8_t bOpcode : {fw::SCSI_READ16, fw::SCSI_WRITE16}) {
        sim::FcpCommand c;
        c.cdb = Cdb(bOpcode, 0, 65535);
        if (bOpcode == fw::SCSI_WRITE16) {
            c.dataOut = Random(65535, 9);
        } else {
            c.dataInLength = 65535 * kBlock;
        }
        const uint32_t tag = host->Submit(c);
        // The first pass moved its data; the others have yet to.
        host->RunUntil([&] {
            const sim::FcpResult& r = host->initiator().Result(tag);
            return std::max<size_t>(r.dataIn.size(), r.dataOutTaken) >= 16384 * kBlock;
        });
        ASSERT_EQ(host->Abort(tag), sim::FcInitiator::AbortAnswer::Accepted);
        const sim::FcpResult r = host->Wait(tag);
        EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Aborted);
        Settle();
    }
    // The controller goes on serving.
    ExpectRead(70000, 64);
}

}  // namespace
