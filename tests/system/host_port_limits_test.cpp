// Hosts at the limits of a host port: many commands queued at once, more
// than the chips and the firmware hold, and writes whose FCP_DL and CDB
// disagree.  Every command is answered, GOOD or busy, and every
// acknowledged write reads back and is on the drives where the layout puts
// it.
#include <deque>

#include "eventlog/statistics.h"
#include "host_road.h"

namespace {

using namespace roadtest;

constexpr uint32_t kWriteBlocks = 8;   // 4 KiB

class QueuedRoad : public HostRoad, public ::testing::WithParamInterface<ArraySpec> {};

// A host keeps 128 sequential 4 KiB writes queued through a thousand: the
// cache gathers them into streams whose late pieces arrive after the
// stream's first writes were answered GOOD.
TEST_P(QueuedRoad, OneHundredAndTwentyEightQueuedWritesAreAllAnswered) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    struct Queued {
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    std::deque<Queued> queued;
    const uint32_t writes = 1024;
    for (uint32_t i = 0; i < writes || !queued.empty();) {
        while (i < writes && queued.size() < 128) {
            sim::FcpCommand c;
            c.cdb = Cdb(fw::SCSI_WRITE10, uint64_t(i) * kWriteBlocks, kWriteBlocks);
            c.dataOut = Random(kWriteBlocks, i);
            queued.push_back({host->Submit(c), uint64_t(i) * kWriteBlocks, c.dataOut});
            ++i;
        }
        const Queued q = queued.front();
        queued.pop_front();
        const sim::FcpResult r = host->Wait(q.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write at " << q.lba << " never answered";
        ASSERT_EQ(r.status, 0) << "write at " << q.lba << SenseText(r);
        Record(q.lba, q.data);
    }
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, 2048);
}

const ArraySpec kQueuedLevels[] = {
    {"Raid1", fw::RAID_LEVEL_10, 2, 128},
    {"Raid5", fw::RAID_LEVEL_5, 4, 128},
};
INSTANTIATE_TEST_SUITE_P(Levels, QueuedRoad, ::testing::ValuesIn(kQueuedLevels),
                         [](const auto& info) { return std::string(info.param.pszName); });

// Four hosts, two on each port, send 4,000 writes at once: more than the
// host chips have exchanges for (the chip answers the rest BUSY itself)
// and more than the firmware's pool of host entries (the rest wait on the
// chips' rings until entries are free).  Nothing is lost: a busy write is
// sent again until it is taken, and every write reads back.
TEST_F(HostRoad, MoreCommandsAtOnceThanThePortsHoldAreAllAnswered) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 128}));
    std::vector<std::unique_ptr<sim::FcHost>> hosts;
    for (uint8_t h = 0; h < 4; ++h) {
        hosts.push_back(std::make_unique<sim::FcHost>(*board, *fabric, *sim::FindIspChip(*board, 1 + h % 2),
                                                      kHostName + 1 + h));
        ASSERT_TRUE(hosts.back()->LogIn());
        // Each new login meets its unit attention once.
        sim::FcpResult r;
        for (int i = 0; i < 3 && (r = hosts.back()->Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0})).status != 0; ++i) {
        }
        ASSERT_EQ(r.status, 0);
    }
    struct Sent {
        uint8_t host;
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    auto Send = [&](uint8_t h, uint64_t lba, std::vector<uint8_t> data) {
        sim::FcpCommand c;
        c.cdb = Cdb(fw::SCSI_WRITE10, lba, kWriteBlocks);
        c.dataOut = data;
        return Sent{h, hosts[h]->Submit(c), lba, std::move(data)};
    };
    const uint32_t perHost = 1000;
    std::deque<Sent> sent;
    for (uint32_t i = 0; i < perHost; ++i) {
        for (uint8_t h = 0; h < hosts.size(); ++h) {
            const uint64_t lba = (uint64_t(i) * hosts.size() + h) * kWriteBlocks;
            sent.push_back(Send(h, lba, Random(kWriteBlocks, static_cast<uint32_t>(lba))));
        }
    }
    uint32_t busy = 0;
    while (!sent.empty()) {
        Sent s = sent.front();
        sent.pop_front();
        const sim::FcpResult r = hosts[s.host]->Wait(s.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write at " << s.lba << " never answered";
        if (r.status == fw::SCSI_STATUS_BUSY || r.status == fw::SCSI_STATUS_TASK_SET_FULL) {
            ++busy;
            sent.push_back(Send(s.host, s.lba, std::move(s.data)));
            continue;
        }
        ASSERT_EQ(r.status, 0) << "write at " << s.lba << SenseText(r);
        Record(s.lba, s.data);
    }
    // Each chip has 1,920 exchanges for 2,000 commands.
    EXPECT_GE(busy, 160u);
    EXPECT_GT(fw::dGetEventCounter(fw::EVENT_COUNTER_TARGET_QUEUE_FULL), 0u) << "the host pool never ran out";
    Settle();
    ExpectDrivesMatchReference();
    for (uint64_t lba = 0; lba < 4 * perHost * kWriteBlocks; lba += 2048) ExpectRead(lba, 2048);
}

// A chip out of exchanges still hands the command over, with no exchange:
// the firmware answers it TASK SET FULL and the chip sends that status on
// the command's OX_ID.  Sent again, every write is taken.
TEST_F(HostRoad, CommandsBeyondTheChipsExchangesAreAnsweredTaskSetFull) {
    hostChipFaults.exchangeResources = 128 + 24;   // 24 exchanges
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 128}));
    std::vector<std::pair<uint32_t, uint32_t>> sent;   // tag, write number
    for (uint32_t i = 0; i < 100; ++i) {
        sim::FcpCommand c;
        c.cdb = Cdb(fw::SCSI_WRITE10, uint64_t(i) * kWriteBlocks, kWriteBlocks);
        c.dataOut = Random(kWriteBlocks, i);
        sent.push_back({host->Submit(c), i});
    }
    std::vector<uint32_t> refused;
    for (auto [tag, i] : sent) {
        const sim::FcpResult r = host->Wait(tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write " << i;
        if (r.status == fw::SCSI_STATUS_TASK_SET_FULL) {
            EXPECT_TRUE(r.sense.empty());
            refused.push_back(i);
            continue;
        }
        ASSERT_EQ(r.status, 0) << "write " << i << SenseText(r);
        Record(uint64_t(i) * kWriteBlocks, Random(kWriteBlocks, i));
    }
    EXPECT_GE(sent.size() - refused.size(), 24u);
    EXPECT_FALSE(refused.empty());
    EXPECT_EQ(sim::FindIspChip(*board, 1)->busyAnswers(), 0u);
    EXPECT_EQ(sim::FindIspChip(*board, 1)->openExchanges(), 0u);
    for (uint32_t i : refused) Write(uint64_t(i) * kWriteBlocks, kWriteBlocks, i);
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, 100 * kWriteBlocks);
}

// ---- FCP_DL against the CDB ------------------------------------------------

// The host sends what FCP_DL says, whatever the CDB asks.  A write whose CDB
// asks for more is GOOD for the whole blocks the host sent, with the rest
// reported as an overrun; blocks the host did not send keep what they held.
// One that sends more than it asks writes what the CDB says and reports the
// excess as an underrun.
TEST_F(HostRoad, AWriteTakesNoMoreThanItsHostSendsAndReportsTheDifference) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    Write(0, 4, 1);
    struct Case {
        uint32_t cdbBlocks;
        uint32_t fcpDl;
        uint32_t written;    // blocks the write may change
        bool over;
        uint32_t residual;
    };
    const Case cases[] = {
        {2, 512, 1, true, 512},      // one block of two sent
        {1, 0, 0, true, 512},        // nothing sent
        {1, 200, 0, true, 312},      // part of a block: not written
        {3, 1000, 1, true, 536},     // one whole block and part of the next
        {1, 10000, 1, false, 9488},  // more than asked: the CDB's block only
    };
    uint32_t seed = 100;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.cdbBlocks << " blocks, FCP_DL " << k.fcpDl);
        sim::FcpCommand c;
        c.cdb = Cdb(fw::SCSI_WRITE10, 0, k.cdbBlocks);
        c.dataOut = Random(4, ++seed);
        c.dataOut.resize(k.fcpDl);
        c.fcpDl = k.fcpDl;
        const sim::FcpResult r = host->Send(c);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        EXPECT_EQ(r.status, 0) << SenseText(r);
        EXPECT_EQ(r.residualOver, k.over);
        EXPECT_EQ(r.residualUnder, !k.over);
        EXPECT_EQ(r.residual, k.residual);
        EXPECT_EQ(r.dataOutTaken, k.written * kBlock);
        c.dataOut.resize(k.written * kBlock);
        Record(0, c.dataOut);
        ExpectRead(0, 4);
    }
    Settle();
    ExpectDrivesMatchReference();
}

}  // namespace
