// What one controller tells its partner, or asks of it, outside the host
// I/O path: a change of the initiators on a host port reaches the partner,
// the management clears of the partner's event log and statistics are
// carried out there, a quiesce of host I/O drains and frees both, and a
// committed image reaches the partner even when it could not go at once.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "config/config_flags.h"
#include "config/host_port_tables.h"
#include "config/io_quiesce.h"
#include "console/option_settings.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "harness/dual_pair.h"
#include "mgmt/management_commands.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::HOST_PORT_RECORD;
HOST_PORT_RECORD* pGetPartnerPortRecords();
uint16_t wGetEventLogCount();
void CountInvalidCommand();
uint32_t dGetEventCounter(uint8_t bIndex);
uint8_t bGetIoQuiesceState();
void SetConfigCommitInProgress(uint8_t f);
uint32_t dGetConfigIndex();
uint8_t fGetWritebackCaching();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint64_t kHost = 0x2100001B32E00077ull;
// Management arguments that name controller 2 (slot 2) alone.
constexpr uint8_t kSecondController = 2;

class PartnerServices : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    // A management set command as controller 0 carries it out once its
    // data is in.
    static uint8_t Management(uint8_t bCode, uint8_t b3, uint8_t b4 = 0, uint8_t b5 = 0) {
        const uint8_t abCdb[10] = {0x3B, 0x01, bCode, b3, b4, b5};
        const fw::MGMT_REQUEST r{nullptr, abCdb, nullptr, 0, bCode};
        return bCode == 193 ? fw::MgmtClearEventLog(r) : fw::MgmtClearPerformanceStatistics(r);
    }
    static bool PartnerKnowsHostOnPort1() {
        const fw::HOST_PORT_RECORD& s = fw_b::pGetPartnerPortRecords()[0];
        for (uint8_t i = 0; i < s.bInitiatorCount && i < fw::HOST_PORT_INITIATORS; ++i) {
            uint64_t lName = 0;
            for (uint8_t b : s.asInitiator[i].abPortName) lName = lName << 8 | b;
            if (lName == kHost) return true;
        }
        return false;
    }
};

// A host logs in on controller 0's first port after both have started:
// controller 1 learns of it without a start of day between them.
TEST_F(PartnerServices, AHostThatLogsInOnOneControllerIsKnownToThePartner) {
    ASSERT_FALSE(PartnerKnowsHostOnPort1());
    sim::FcHost host(a->board, a->fabric, *sim::FindIspChip(a->board, 1), kHost);
    ASSERT_TRUE(RunUntil([&] { return host.target().Online(); }, 5'000 * kMs)) << Consoles();
    host.initiator().LogIn(host.target());
    EXPECT_TRUE(RunUntil([] { return PartnerKnowsHostOnPort1(); }, 5'000 * kMs)) << Consoles();
}

// The partner's event log cleared from this controller: GOOD here, this
// controller's own log untouched, and the partner's log holds only the
// record of its clearing.  Asked while nothing can reach the partner, the
// clear is NOT READY and the host may ask again.
TEST_F(PartnerServices, AClearOfThePartnersEventLogIsCarriedOutThere) {
    const uint16_t wOwn = fw::wGetEventLogCount();
    ASSERT_GT(fw_b::wGetEventLogCount(), 1);
    EXPECT_EQ(Management(193, kSecondController), fw::MGMT_GOOD);
    EXPECT_TRUE(RunUntil([] { return fw_b::wGetEventLogCount() == 1; }, 2'000 * kMs)) << Consoles();
    EXPECT_GE(fw::wGetEventLogCount(), wOwn);

    LosePartnerTargets();
    EXPECT_EQ(Management(193, kSecondController), fw::MGMT_NOT_READY);
}

// Write-back turned off through controller 0's management is turned off
// on controller 1 too.
TEST_F(PartnerServices, WriteBackTurnedOffOnOneIsOffOnBoth) {
    ASSERT_EQ(fw_b::fGetWritebackCaching(), fw::TRUE);
    const uint8_t abCdb[10] = {0x3B, 0x01, 210};
    EXPECT_EQ(fw::MgmtDisableWriteBackCaching(fw::MGMT_REQUEST{nullptr, abCdb, nullptr, 0, 210}), fw::MGMT_GOOD);
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::FALSE);
    EXPECT_TRUE(RunUntil([] { return fw_b::fGetWritebackCaching() == fw::FALSE; }, 2'000 * kMs)) << Consoles();
}

// The statistics of the other controller (code 204 names controller 2)
// cleared through it.
TEST_F(PartnerServices, AClearOfThePartnersStatisticsIsCarriedOutThere) {
    fw_b::CountInvalidCommand();
    ASSERT_EQ(fw_b::dGetEventCounter(fw::EVENT_COUNTER_INVALID_COMMAND), 1u);
    EXPECT_EQ(Management(204, 0, 0xFF, 0xFF), fw::MGMT_GOOD);
    EXPECT_TRUE(RunUntil([] { return fw_b::dGetEventCounter(fw::EVENT_COUNTER_INVALID_COMMAND) == 0; },
                         2'000 * kMs))
        << Consoles();

    fw_b::CountInvalidCommand();
    LosePartnerTargets();
    EXPECT_EQ(Management(204, 0, 0xFF, 0xFF), fw::MGMT_NOT_READY);
    RunUntil([] { return false; }, 100 * kMs);
    EXPECT_EQ(fw_b::dGetEventCounter(fw::EVENT_COUNTER_INVALID_COMMAND), 1u);
}

// What the quiesce started on controller 0 reported, in order.
std::vector<uint8_t> g_abQuiesced;
void Quiesced(uint8_t bStatus) { g_abQuiesced.push_back(bStatus); }

// Controller 0 quiesces host I/O: it goes on only once the partner has
// drained too, and the partner holds new host commands until controller 0
// resumes.  A partner that cannot quiesce now (its own commit runs)
// refuses, and the quiesce ends with a failure on both sides.
TEST_F(PartnerServices, AQuiesceDrainsBothControllersAndItsResumeFreesBoth) {
    fw::StartIoQuiesce(Quiesced);
    ASSERT_TRUE(RunUntil([] { return !g_abQuiesced.empty(); }, 2'000 * kMs)) << Consoles();
    EXPECT_EQ(g_abQuiesced, std::vector<uint8_t>{fw::STATUS_OK});
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_QUIESCED);
    EXPECT_EQ(fw_b::bGetIoQuiesceState(), fw::QUIESCE_DRAINING);
    fw::ResumeHostIo();
    EXPECT_TRUE(RunUntil([] { return fw_b::bGetIoQuiesceState() == fw::QUIESCE_IDLE; }, 2'000 * kMs)) << Consoles();
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_IDLE);

    fw_b::SetConfigCommitInProgress(fw::TRUE);
    fw::StartIoQuiesce(Quiesced);
    ASSERT_TRUE(RunUntil([] { return g_abQuiesced.size() == 2; }, 2'000 * kMs)) << Consoles();
    EXPECT_EQ(g_abQuiesced[1], 0);
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_IDLE);
    EXPECT_EQ(fw_b::bGetIoQuiesceState(), fw::QUIESCE_IDLE);
    fw_b::SetConfigCommitInProgress(fw::FALSE);
}

// A commit's image that cannot be queued (here: no target id, the link
// still up) is not lost: it goes once it can, and the partner takes it.
TEST_F(PartnerServices, ACommittedImageThatCouldNotGoAtOnceReachesThePartnerLater) {
    const uint32_t dIndex = fw_b::dGetConfigIndex();
    LosePartnerTargets();
    EXPECT_NE(fw::SendConfigChangedMessage(fw::FALSE), fw::STATUS_OK);
    EXPECT_FALSE(RunUntil([&] { return fw_b::dGetConfigIndex() != dIndex; }, 50 * kMs));
    RestorePartnerTargets();
    EXPECT_TRUE(RunUntil([&] { return fw_b::dGetConfigIndex() != dIndex; }, 2'000 * kMs)) << Consoles();
}

}  // namespace
