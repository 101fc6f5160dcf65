// The initiators' command table on the fabric: a command the host keeps
// (never forgets) stays known however many commands pass after it, a slot
// used again starts with an empty answer, and a host that drops off ends
// what it had in flight oldest first.
#include <gtest/gtest.h>

#include <vector>

#include "sim/fc_fabric.h"

namespace {

using sim::FcpCommand;
using sim::FcpResult;

// A target port that takes every command and answers only when told.
class QuietTarget : public sim::FcTargetPort {
public:
    uint64_t PortName() const override { return 0x2200000000000001ull; }
    uint64_t NodeName() const override { return 0x2000000000000001ull; }
    uint32_t PortId() const override { return 0x0A0100; }
    bool Online() const override { return true; }
    uint64_t NowNs() const override { return 0; }
    void Plogi(sim::FcInitiator& initiator) override { initiator.LoginAnswered(*this, true); }
    void Logo(sim::FcInitiator&) override {}
    void Command(sim::FcInitiator&, uint32_t tag, const FcpCommand&) override { tags.push_back(tag); }
    void Abts(sim::FcInitiator&, uint32_t) override {}
    void MembershipChanged(sim::FcInitiator&, bool) override {}
    void LinkChanged(bool) override {}
    void FabricGone() override {}
    bool Holds(const sim::FcInitiator&) const override { return false; }
    std::vector<uint32_t> tags;
};

FcpCommand Read(uint8_t bLba) {
    FcpCommand c;
    c.cdb = {0x28, 0, 0, 0, 0, bLba, 0, 0, 1, 0};
    c.dataInLength = 512;
    return c;
}

class FabricCommands : public ::testing::Test {
protected:
    void SetUp() override { fabric.Attach(target); }
    // Answers a command with data and sense, as a failed read is answered.
    void AnswerWithSense(uint32_t tag) {
        const std::vector<uint8_t> data(512, 0xA5), sense(18, 0x70);
        host.DataIn(tag, 0, data.data(), 512);
        host.Response(tag, 2, sense.data(), 18, 0, false, false);
    }
    QuietTarget target;   // outlives the fabric, which tells it it goes
    sim::FcFabric fabric;
    sim::FcInitiator& host = fabric.AddInitiator(0x2100001B32000001ull);
};

TEST_F(FabricCommands, AKeptCommandOutlivesTheCommandsAfterIt) {
    const uint32_t kept = host.Submit(target, Read(1));
    uint32_t reused = 0;
    for (int i = 0; i < 600; ++i) {
        const uint32_t tag = host.Submit(target, Read(2));
        if (i == 100) {
            // Answered in full and kept until the slot comes round.
            AnswerWithSense(tag);
            reused = tag;
            continue;
        }
        host.Response(tag, 0, nullptr, 0, 0, false, false);
        ASSERT_EQ(host.Result(tag).outcome, FcpResult::Outcome::Done);
        host.Forget(tag);
        ASSERT_EQ(host.Result(tag).outcome, FcpResult::Outcome::Rejected);   // no longer known
    }
    EXPECT_EQ(host.Result(reused).status, 2);
    EXPECT_EQ(host.Result(reused).dataIn, std::vector<uint8_t>(512, 0xA5));

    // The first command is still waiting for its answer, with its CDB.
    EXPECT_FALSE(host.Finished(kept));
    ASSERT_NE(host.CommandOf(kept), nullptr);
    EXPECT_EQ(host.CommandOf(kept)->cdb[5], 1);
    AnswerWithSense(kept);
    EXPECT_EQ(host.Result(kept).outcome, FcpResult::Outcome::Done);
    EXPECT_EQ(host.Result(kept).dataIn.size(), 512u);
    host.Forget(kept);
    host.Forget(reused);
    EXPECT_EQ(host.CommandOf(kept), nullptr);
    EXPECT_EQ(host.Result(reused).outcome, FcpResult::Outcome::Rejected);

    // Slots used again begin with nothing of their last command's answer.
    for (int i = 0; i < 256; ++i) {
        const uint32_t tag = host.Submit(target, Read(3));
        host.Response(tag, 0, nullptr, 0, 0, false, false);
        const FcpResult& r = host.Result(tag);
        ASSERT_TRUE(r.sense.empty() && r.dataIn.empty() && r.status == 0) << tag;
        host.Forget(tag);
    }
}

TEST_F(FabricCommands, AHostDroppingOffEndsItsCommandsOldestFirst) {
    std::vector<uint32_t> ended;
    host.onCompletion = [&](uint32_t tag, FcpResult& r) {
        if (r.outcome == FcpResult::Outcome::Terminated) ended.push_back(tag);
    };
    const uint32_t first = host.Submit(target, Read(1));
    for (int i = 0; i < 300; ++i) {
        const uint32_t tag = host.Submit(target, Read(2));
        host.Response(tag, 0, nullptr, 0, 0, false, false);
        host.Forget(tag);
    }
    const uint32_t second = host.Submit(target, Read(3));
    const uint32_t third = host.Submit(target, Read(4));
    host.DropOff();
    EXPECT_EQ(ended, (std::vector<uint32_t>{first, second, third}));
    EXPECT_EQ(host.Result(first).outcome, FcpResult::Outcome::Terminated);
    // Lost with the cable: a new command is not taken.
    EXPECT_EQ(host.Result(host.Submit(target, Read(5))).outcome, FcpResult::Outcome::Rejected);
}

}  // namespace
