// Messages to the partner that cannot be queued when they are due: a
// write's request for its stripe rows, and the end of a flush the partner
// holds its host commands for.  Each goes out once it can; nothing waits
// for ever for an answer to a message never sent.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../system/road_config.h"
#include "cache/flush_sequencer.h"
#include "cache/stripe_access.h"
#include "executive/work_flags.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"
#include "sim/fc_host.h"

namespace fw_b {
uint8_t fGetPartnerWork();
}  // namespace fw_b

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint16_t kChunk = 16;

// A mirrored write-back RAID 5 on the shared drives, a host on each controller.
class UnsentPartnerMessages : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        dual::PlaceMirroredRaid5(chassis, "ROWS", kChunk);
        ASSERT_TRUE(Boot()) << Consoles();
        hostA = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1),
                                              0x2100001B32E00041ull);
        hostB = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1),
                                              0x2100001B32E00042ull);
        ASSERT_TRUE(HostReady(*hostA)) << Consoles();
        ASSERT_TRUE(HostReady(*hostB)) << Consoles();
    }
    static uint32_t Write(sim::FcHost& host, uint64_t lba, uint32_t blocks, uint8_t bFill) {
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_WRITE16, lba, blocks);
        c.dataOut.assign(size_t(blocks) * kBlock, bFill);
        return host.initiator().Submit(host.target(), c);
    }

    std::unique_ptr<sim::FcHost> hostA;
    std::unique_ptr<sim::FcHost> hostB;
};

// A write's request for its rows cannot be queued: the write does not wait
// for an answer to a request never sent, but asks again until it can, then
// runs.
TEST_F(UnsentPartnerMessages, AWriteWhoseRequestCouldNotBeQueuedAsksAgainUntilItIs) {
    fw::SetLunMasterFlag(0, fw::FALSE);
    LosePartnerTargets();
    const uint32_t tag = Write(*hostA, 8, 8, 0x5A);
    EXPECT_FALSE(RunUntil([&] { return hostA->initiator().Finished(tag); }, 50 * kMs));
    RestorePartnerTargets();
    ASSERT_TRUE(RunUntil([&] { return hostA->initiator().Finished(tag); }, 2'000 * kMs)) << Consoles();
    EXPECT_EQ(hostA->initiator().Result(tag).status, 0);
}

// A flush ends while no message can be queued for the partner: its message
// 110 is sent once one can, and the partner's host commands, held since
// message 109, go on.
TEST_F(UnsentPartnerMessages, TheEndOfAFlushReachesThePartnerOnceItCanBeSent) {
    fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(fw::PARTNER_MESSAGE_FLUSH_PENDING);
    uint16_t wSlot = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([] { return fw_b::fGetPartnerWork() == fw::TRUE; }, 1'000 * kMs));
    const uint32_t tag = Write(*hostB, 8, 8, 0x33);
    LosePartnerTargets();
    // A flush run with nothing left to write: it ends at its next step.
    fw::ResetCacheFlushSequencer();
    fw::SetRetripeFlag(fw::TRUE);
    ASSERT_TRUE(RunUntil([] { return fw::fGetRetripeFlag() != fw::TRUE; }, 100 * kMs));
    EXPECT_FALSE(RunUntil([&] { return hostB->initiator().Finished(tag); }, 50 * kMs));
    RestorePartnerTargets();
    ASSERT_TRUE(RunUntil([&] { return hostB->initiator().Finished(tag); }, 2'000 * kMs)) << Consoles();
    EXPECT_EQ(hostB->initiator().Result(tag).status, 0);
    EXPECT_EQ(fw_b::fGetPartnerWork(), fw::FALSE);
}

}  // namespace
