// The drive side under faults with two controllers and a host on each,
// both writing one cached, mirrored RAID 5 array: a member that stops
// answering, a member moved to another slot, a drive that resets itself.  Every host command is answered exactly once, and
// every write answered GOOD reads back through either controller.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "config/rank_table.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "sim/fc_host.h"

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint32_t kChunk = 16;
constexpr uint32_t kRowBlocks = 3 * kChunk;
constexpr uint32_t kWriteBlocks = 8;
constexpr unsigned kWritesPerHost = 24;
constexpr unsigned kMoved = 2;

enum class Fault { StopsAnswering, SlotMoved, InternalReset };

struct FaultCase {
    const char* pszName;
    Fault fault;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.pszName; }

class SharedDriveFaults : public ::testing::TestWithParam<FaultCase>, protected dual::Pair {
protected:
    void SetUp() override {
        if (GetParam().fault == Fault::SlotMoved) {
            // A drive carried to another slot keeps what it holds: the
            // member that moves keeps its blocks in a file.
            sim::DriveConfig sDrive = *chassis.ConfigAt(kMoved);
            m_sImage = testing::TempDir() + "shared_drive_faults_" + std::to_string(getpid()) + ".img";
            unlink(m_sImage.c_str());
            sDrive.imagePath = m_sImage;
            chassis.Pull(kMoved);
            chassis.Insert(kMoved, sDrive);
        }
        dual::PlaceMirroredRaid5(chassis, "SHARED", kChunk);
        ASSERT_TRUE(Boot()) << Consoles();
        hosts[0] = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1),
                                                 0x2100001B32E00021ull);
        hosts[1] = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1),
                                                 0x2100001B32E00022ull);
        for (auto& h : hosts) ASSERT_TRUE(HostReady(*h)) << Consoles();
        for (unsigned i = 0; i < 2; ++i) {
            hosts[i]->initiator().onCompletion = [this, i](uint32_t tag, sim::FcpResult&) { ++answers[i][tag]; };
        }
    }
    void TearDown() override {
        if (!m_sImage.empty()) unlink(m_sImage.c_str());
    }
    void Arm(Fault fault) {
        switch (fault) {
        case Fault::StopsAnswering: chassis.DriveAt(2)->SetNoResponse(true); break;
        case Fault::SlotMoved: {
            const sim::DriveConfig sDrive = *chassis.ConfigAt(kMoved);
            chassis.Pull(kMoved);
            chassis.Insert(chassis.SlotCount(), sDrive);
            break;
        }
        case Fault::InternalReset: a->board.sasController().DriveInternalReset(2); break;
        }
    }
    struct Sent {
        unsigned host;
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    std::unique_ptr<sim::FcHost> hosts[2];
    std::map<uint32_t, unsigned> answers[2];
    std::string m_sImage;
};

// Each write goes to a row of its own, the two hosts' rows interleaved;
// the fault comes once the first third is answered, with the rest at work.
TEST_P(SharedDriveFaults, EveryCommandIsAnsweredOnceAndEveryAcknowledgedWriteReadsBack) {
    std::mt19937 rng(37);
    std::vector<Sent> sent;
    const auto submit = [&](unsigned n) {
        for (unsigned k = 0; k < n; ++k) {
            for (unsigned h = 0; h < 2; ++h) {
                Sent s{h, 0, uint64_t(sent.size()) * kRowBlocks, std::vector<uint8_t>(kWriteBlocks * kBlock)};
                for (uint8_t& b : s.data) b = static_cast<uint8_t>(rng());
                sim::FcpCommand c;
                c.cdb = dual::Cdb16(fw::SCSI_WRITE16, s.lba, kWriteBlocks);
                c.dataOut = s.data;
                s.tag = hosts[h]->initiator().Submit(hosts[h]->target(), c);
                sent.push_back(std::move(s));
            }
        }
    };
    const auto allFinished = [&] {
        for (const Sent& s : sent) {
            if (!hosts[s.host]->initiator().Finished(s.tag)) return false;
        }
        return true;
    };
    submit(kWritesPerHost / 3);
    const auto unfinished = [&] {
        std::string t;
        for (const Sent& s : sent) {
            if (!hosts[s.host]->initiator().Finished(s.tag)) t += " " + std::to_string(s.host) + ":" + std::to_string(s.lba);
        }
        return t;
    };
    ASSERT_TRUE(RunUntil(allFinished, 10'000 * kMs)) << unfinished();
    // Slow members keep the rest at the drives when the fault comes.
    for (unsigned s = 1; s <= 4; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(20 * kMs);
    submit(kWritesPerHost - kWritesPerHost / 3);
    RunUntil([] { return false; }, 5 * kMs);
    Arm(GetParam().fault);
    ASSERT_TRUE(RunUntil(allFinished, 300'000 * kMs)) << unfinished();
    // Answers that would come twice come late: give them the time.
    RunUntil([] { return false; }, 5'000 * kMs);

    for (size_t i = 0; i < sent.size(); ++i) {
        const Sent& s = sent[i];
        EXPECT_EQ(answers[s.host][s.tag], 1u) << "write " << i << " of host " << s.host;
        // RAID 5 keeps serving with one member gone: every write goes through.
        const sim::FcpResult& r = hosts[s.host]->initiator().Result(s.tag);
        EXPECT_TRUE(r.outcome == sim::FcpResult::Outcome::Done && r.status == 0) << "write " << i;
    }
    for (unsigned h = 0; h < 2; ++h) {
        // (a read that meets a member that stopped answering waits for its
        // time-outs: longer than a command the harness runs)
        const uint32_t dBlocks = uint32_t(sent.size()) * kRowBlocks;
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_READ16, 0, dBlocks);
        c.dataInLength = dBlocks * kBlock;
        const uint32_t tag = hosts[h]->initiator().Submit(hosts[h]->target(), c);
        ASSERT_TRUE(RunUntil([&] { return hosts[h]->initiator().Finished(tag); }, 300'000 * kMs)) << "through host " << h;
        const sim::FcpResult& back = hosts[h]->initiator().Result(tag);
        ASSERT_EQ(back.status, 0) << "through host " << h;
        ASSERT_EQ(back.dataIn.size(), size_t(dBlocks) * kBlock);
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_TRUE(std::equal(sent[i].data.begin(), sent[i].data.end(),
                                   back.dataIn.begin() + ptrdiff_t(sent[i].lba * kBlock)))
                << "write " << i << " read through host " << h;
        }
    }
    // The member that stopped answering is out; one that reset itself stays
    // in.  (One pulled with commands at work may go either way.)
    if (GetParam().fault == Fault::StopsAnswering) {
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
    } else if (GetParam().fault == Fault::InternalReset) {
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    }
}

const FaultCase kFaults[] = {
    {"DriveStopsAnswering", Fault::StopsAnswering},
    {"SlotMovedToAnother", Fault::SlotMoved},
    {"DriveInternalReset", Fault::InternalReset},
};
INSTANTIATE_TEST_SUITE_P(Faults, SharedDriveFaults, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
