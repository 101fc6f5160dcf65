// How long host commands wait on an array that lost a member.  On a
// degraded parity array a read waits for the writes in the rows it reads,
// and a write for the reads in its rows; and a rebuild holds the commands
// that touch the stretch around its front until the front is past them.
// Each such wait ends with what it waits for, not at the next half-second
// tick that raises the host ports' work: board time bounds every answer.
#include <functional>
#include <map>

#include "config/config_flags.h"
#include "config/config_state.h"
#include "host_road.h"
#include "raid/rebuild.h"

namespace {

using namespace roadtest;

class DegradedWait : public HostRoad {
protected:
    // The array's configuration with Auto Rebuild on, on its drives; the
    // controller then starts with the drive of `pulled` gone.
    void BootDegraded(const ArraySpec& a, unsigned pulled) {
        spec = a;
        std::vector<uint8_t> ab = Configuration(a);
        copytest::Image(ab)->sHeader.fAutoRebuild = fw::TRUE;
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) copytest::Image(ab)->asSpare[i].bDedicatedRank = 0xFF;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= a.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        chassis->Pull(pulled);
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
    }
    // Sends the commands all at once and notes the board time each answer
    // came, by tag.
    std::vector<uint32_t> SubmitAll(const std::vector<sim::FcpCommand>& commands) {
        road->OnCompletion([this](uint32_t tag, const sim::FcpResult& r) {
            answeredAt[tag] = board->clock().Now();
            results[tag] = r;
        });
        std::vector<uint32_t> tags;
        for (const sim::FcpCommand& c : commands) tags.push_back(road->Submit(c));
        return tags;
    }
    void RunUntilAnswered(const std::vector<uint32_t>& tags, uint64_t limitNs) {
        board->RunUntil([&] { return answeredAt.size() >= tags.size(); }, limitNs);
        ASSERT_EQ(answeredAt.size(), tags.size()) << "commands never answered";
        road->OnCompletion(nullptr);
    }
    std::map<uint32_t, uint64_t> answeredAt;
    std::map<uint32_t, sim::FcpResult> results;
};

// A RAID 6 with a member gone keeps write-back; a host writes a few blocks
// and reads them back, again and again, all in one stripe row: each read
// waits for the write before it to reach the drives, each write for the
// read before it to end.  The chain moves at the drives' pace.
TEST_F(DegradedWait, ReadsAndWritesTakingTurnsInOneRowOfADegradedRaid6MoveAtTheDrivesPace) {
    ASSERT_NO_FATAL_FAILURE(BootDegraded({"Raid6", fw::RAID_LEVEL_6, 5, 128}, 3));
    std::vector<sim::FcpCommand> commands;
    std::vector<std::vector<uint8_t>> data;
    for (uint32_t i = 0; i < 8; ++i) {
        data.push_back(Random(8, 40 + i));
        commands.push_back(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, 8 * i, 8), data.back(), 0));
        commands.push_back(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, 8 * i, 8), {}, 8 * kBlock));
    }
    const uint64_t sent = board->clock().Now();
    const std::vector<uint32_t> tags = SubmitAll(commands);
    ASSERT_NO_FATAL_FAILURE(RunUntilAnswered(tags, 30'000'000'000ull));
    for (size_t i = 0; i < tags.size(); ++i) {
        SCOPED_TRACE("command " + std::to_string(i));
        const sim::FcpResult& r = results[tags[i]];
        EXPECT_EQ(r.status, 0) << SenseText(r);
        if (i % 2 == 1) {
            EXPECT_TRUE(r.dataIn == data[i / 2]);
        }
        EXPECT_LT(answeredAt[tags[i]] - sent, 200'000'000ull);
    }
}

// A configuration save names a hot spare for a RAID 5 that lost a member;
// Auto Rebuild starts onto it.  While the array is critical its writes are
// written through, so a host sees each wait of a write at the rebuild's
// window.  Writes near the start of the array wait for the front to pass
// them; each goes on once it has.
TEST_F(DegradedWait, WritesAtTheRebuildFrontGoOnOnceTheFrontPassesThem) {
    ASSERT_NO_FATAL_FAILURE(BootDegraded({"Raid5", fw::RAID_LEVEL_5, 5, 128, 0, true, 1u << 20, kBlock, true}, 3));
    cfgbuild::Builder builder(*board);
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(builder.AddGlobalSpare(6), fw::STATUS_OK);
    ASSERT_TRUE(builder.Commit()) << board->ConsoleText();
    ASSERT_EQ(board->RunUntil([] { return fw::bGetNvramRebuildPendingFlag() == fw::TRUE; }, 30'000'000'000ull),
              sim::StopKind::Running);
    ASSERT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::TRUE);
    // The window, as the rebuild keeps it: host blocks [lower edge, front +
    // 20 regions); the lower edge lies up to 32 regions behind the front.
    const uint64_t n = spec.bDrives - 1u;
    const uint64_t W = n * fw::wRebuildRegionBlocksOf(0);
    auto fBehind = [&](uint64_t lastBlock) {
        uint64_t L = fw::dGetRebuildPosition() * n;
        for (int i = 0; i < 32 && L > W; ++i) L -= W;
        return lastBlock < L;
    };
    std::vector<sim::FcpCommand> commands;
    std::vector<uint64_t> ends;
    for (uint64_t lba : {uint64_t(0), 9 * W, 19 * W + 100}) {
        commands.push_back(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, lba, 16), Random(16, uint32_t(lba)), 0));
        ends.push_back(lba + 15);
    }
    ASSERT_FALSE(fBehind(ends[0]));
    const std::vector<uint32_t> tags = SubmitAll(commands);
    std::vector<uint64_t> passedAt(tags.size(), 0);
    board->RunUntil(
        [&] {
            for (size_t i = 0; i < tags.size(); ++i)
                if (passedAt[i] == 0 && fBehind(ends[i])) passedAt[i] = board->clock().Now();
            return answeredAt.size() == tags.size();
        },
        30'000'000'000ull);
    ASSERT_NO_FATAL_FAILURE(RunUntilAnswered(tags, 0));
    for (size_t i = 0; i < tags.size(); ++i) {
        SCOPED_TRACE("write to block " + std::to_string(ends[i] - 15));
        EXPECT_EQ(results[tags[i]].status, 0);
        ASSERT_NE(passedAt[i], 0u) << "answered before the front passed it";
        EXPECT_LT(answeredAt[tags[i]] - passedAt[i], 60'000'000ull) << "it waited on after the front passed it";
    }
}

}  // namespace
