// The drive side under faults with two controllers and a host on each,
// both writing one cached, mirrored array: a member that stops answering
// (one both controllers reach, and on RAID 1, 5 and 6 one that a
// controller reaches only through its partner), a member moved to another
// slot or pulled and put back, a drive that resets itself or answers with a
// full queue, the shared expander resetting, the expansion cable cut and
// plugged back.  Every host command is answered
// exactly once, and every write answered GOOD reads back through either
// controller.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "config/rank_table.h"
#include "harness/dual_pair.h"
#include "pair_lists.h"
#include "hw/scsi.h"
#include "dual_events.h"
#include "mirrored_array.h"
#include "partner/partner_link.h"
#include "executive/tick.h"
#include "sas/active_active.h"
#include "sas/sas_flags.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sim/fc_host.h"

namespace fw_b {
uint8_t fIsSASSlotChangeArmed();
uint64_t lGetSASDriveSideHoldOff();
uint64_t lGetTickCount();
}  // namespace fw_b

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint32_t kChunk = 16;
constexpr uint32_t kRowBlocks = 3 * kChunk;
constexpr uint32_t kWriteBlocks = 8;
constexpr unsigned kWritesPerHost = 24;
constexpr unsigned kMoved = 2;
constexpr uint8_t kFailing = 2;
constexpr uint8_t kEventOutOfService = 14;
constexpr uint8_t kEventTimeOut = 40;
constexpr uint8_t kMessageDeviceList = 157;
constexpr uint8_t kEventDiscoveryError = 15;
constexpr unsigned kQueueFullAnswers = 40;
constexpr uint64_t kOutOfSlotMs = 15'000;
constexpr uint8_t kEventDriveInserted = 97;
constexpr uint8_t kEventDriveRemoved = 118;

// A drive that stops answering: to both controllers, or only as the
// controller that does not own its slot reaches it (through the partner).
enum class Fault {
    StopsAnswering,
    ProxyStopsAnswering,
    SlotMoved,
    PulledAndInserted,
    InternalReset,
    ExpanderReset,
    QueueFull,
    ExpansionCableCut
};

struct FaultCase {
    const char* pszName;
    Fault fault;
    roadtest::ArraySpec sArray = {"SHARED", fw::RAID_LEVEL_5, 4, kChunk};
    // SATA drives behind multiplexers: each slot's drive is reached by its
    // owner, and by the other controller through it.
    bool fProxy = false;
    // An expansion enclosure cabled below the controller enclosure.
    bool fExpansion = false;
};

sim::Chassis::Options ChassisFor(const FaultCase& c) {
    sim::Chassis::Options o;
    if (c.fProxy) {
        o.sata = true;
        o.drives = 8;
    }
    if (c.fExpansion) o.expansions = 1;
    return o;
}

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.pszName; }

class SharedDriveFaults : public ::testing::TestWithParam<FaultCase>, protected dual::Pair {
protected:
    SharedDriveFaults() : dual::Pair(ChassisFor(GetParam())) {}
    void SetUp() override {
        if (GetParam().fault == Fault::SlotMoved || GetParam().fault == Fault::PulledAndInserted) {
            // A drive carried to another slot keeps what it holds: the
            // member that moves keeps its blocks in a file.
            sim::DriveConfig sDrive = *chassis.ConfigAt(kMoved);
            m_sImage = testing::TempDir() + "shared_drive_faults_" + std::to_string(getpid()) + ".img";
            unlink(m_sImage.c_str());
            sDrive.imagePath = m_sImage;
            chassis.Pull(kMoved);
            chassis.Insert(kMoved, sDrive);
        }
        dual::PlaceSharedArray(chassis, GetParam().sArray, fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR);
        ASSERT_TRUE(Boot()) << Consoles();
        if (GetParam().fProxy) {
            // The drive is reached through the partner once the
            // multiplexer is on its owner's side.
            ASSERT_TRUE(RunUntil([this] { return ProxyList()->bEntryCount != 0 && ProxyEntry() != nullptr &&
                                                 (ProxyEntry()->bTargetId & fw::SAS_PROXY_TARGET_BIT) != 0; },
                                 300'000 * kMs))
                << Consoles();
        }
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
        case Fault::StopsAnswering: chassis.DriveAt(kFailing)->SetNoResponse(true); break;
        case Fault::SlotMoved: {
            const sim::DriveConfig sDrive = *chassis.ConfigAt(kMoved);
            chassis.Pull(kMoved);
            chassis.Insert(chassis.SlotCount(), sDrive);
            break;
        }
        case Fault::PulledAndInserted: {
            // Back in its slot once both controllers have seen it go.
            const sim::DriveConfig sDrive = *chassis.ConfigAt(kMoved);
            chassis.Pull(kMoved);
            RunUntil([] { return false; }, kOutOfSlotMs * kMs);
            chassis.Insert(kMoved, sDrive);
            break;
        }
        case Fault::InternalReset: a->board.sasController().DriveInternalReset(kFailing); break;
        case Fault::ExpansionCableCut: {
            // Down for a while, then plugged back.  Both controllers lose
            // the enclosure: each starts a slot change, whose hold-off keeps
            // its drive commands waiting.
            Cable(false);
            const uint64_t lCut = clock.Now();
            m_fSlotChange = RunUntil([] {
                return fw::fIsSASSlotChangeArmed() == fw::TRUE && fw_b::fIsSASSlotChangeArmed() == fw::TRUE &&
                       fw::lGetSASDriveSideHoldOff() > fw::lGetTickCount() &&
                       fw_b::lGetSASDriveSideHoldOff() > fw_b::lGetTickCount();
            }, kOutOfSlotMs * kMs);
            RunUntil([] { return false; }, lCut + kOutOfSlotMs * kMs - clock.Now());
            Cable(true);
            break;
        }
        case Fault::ProxyStopsAnswering:
            (ProxyOnB() ? b : a)->board.sasController().linkFaults.loseDriveCommandsFor = ProxyEntry()->bTargetId;
            break;
        case Fault::ExpanderReset:
            for (auto* p : {a.get(), b.get()}) p->board.sasController().ExpanderReset(0);
            break;
        case Fault::QueueFull:
            for (auto* p : {a.get(), b.get()}) p->board.sasController().TaskSetFull(kFailing, kQueueFullAnswers);
            break;
        }
    }
    void Cable(bool fUp) {
        chassis.expander(0).phys()[sim::Chassis::kDownlinkPhy].enabled = fUp;
        chassis.NotifyLinkChange();
    }
    // The controller that does not own the failing drive's slot, its list
    // and its entry for the drive.
    static bool ProxyOnB() { return fw::bGetSlotOwnerController(1, kFailing) == 1; }
    static const fw::SAS_DEVICE_LIST* ProxyList() {
        return ProxyOnB() ? fw_b::pGetSASDriveInfoList() : fw::pGetSASDriveInfoList();
    }
    static const fw::SAS_DEVICE_ENTRY* ProxyEntry() { return dual::InSlot(ProxyList(), kFailing); }
    struct Sent {
        unsigned host;
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    std::unique_ptr<sim::FcHost> hosts[2];
    std::map<uint32_t, unsigned> answers[2];
    std::string m_sImage;
    bool m_fSlotChange = false;
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
    for (unsigned s = 1; s <= GetParam().sArray.bDrives; ++s) chassis.DriveAt(s)->SetExtraLatencyNs(20 * kMs);
    submit(kWritesPerHost - kWritesPerHost / 3);
    RunUntil([] { return false; }, 5 * kMs);
    sim::SasController& iocProxy = (ProxyOnB() ? b : a)->board.sasController();
    const uint32_t dPartnerAborts = iocProxy.partnerTasksAborted();
    unsigned auLists[2] = {0, 0};   // device lists told to each controller
    for (unsigned i = 0; i < 2; ++i) {
        (i == 0 ? a : b)->board.sasController().partnerCommandSeen = [&auLists, i](const uint8_t* pbCdb) {
            auLists[i] += pbCdb[0] == fw::PARTNER_TYPED_MESSAGE && pbCdb[1] == kMessageDeviceList;
        };
    }
    const uint32_t adIocResets[2] = {a->board.sasController().iocResets(), b->board.sasController().iocResets()};
    Arm(GetParam().fault);
    ASSERT_TRUE(RunUntil(allFinished, 300'000 * kMs)) << unfinished();
    // Answers that would come twice come late: give them the time.
    RunUntil([] { return false; }, 5'000 * kMs);

    for (size_t i = 0; i < sent.size(); ++i) {
        const Sent& s = sent[i];
        EXPECT_EQ(answers[s.host][s.tag], 1u) << "write " << i << " of host " << s.host;
        // The array keeps serving with one member gone: every write goes through.
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
    for (unsigned i = 0; i < 2; ++i) (i == 0 ? a : b)->board.sasController().partnerCommandSeen = nullptr;
    // The member that stopped answering is out; one that reset itself stays
    // in.  (One pulled with commands at work may go either way.)
    if (GetParam().fault == Fault::StopsAnswering) {
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
        // Each controller takes it out at a command's second time-out and
        // tells the other its new list.
        for (bool fB : {false, true}) {
            EXPECT_EQ(dual::EventSequenceOf(fB, {kEventTimeOut, kEventOutOfService}),
                      std::vector<uint8_t>({kEventTimeOut, kEventTimeOut, kEventOutOfService}))
                << (fB ? "controller 2" : "controller 1");
            EXPECT_GE(auLists[fB ? 0 : 1], 1u) << (fB ? "controller 2" : "controller 1") << " told nothing";
        }
    } else if (GetParam().fault == Fault::ProxyStopsAnswering) {
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
        // The controller reaching it through the partner aborts the command
        // there at its first time-out, takes the drive out at its second
        // and tells the partner its new list.  The owner saw no time-out.
        EXPECT_GE(iocProxy.partnerTasksAborted(), dPartnerAborts + 1);
        const std::vector<uint8_t> abProxy = dual::EventSequenceOf(ProxyOnB(), {kEventTimeOut, kEventOutOfService});
        ASSERT_GE(abProxy.size(), 3u);
        EXPECT_EQ(abProxy[0], kEventTimeOut);
        EXPECT_EQ(abProxy[1], kEventTimeOut);
        EXPECT_EQ(std::count(abProxy.begin(), abProxy.end(), kEventOutOfService), 1);
        EXPECT_TRUE(dual::EventSequenceOf(!ProxyOnB(), {kEventTimeOut, kEventOutOfService}).empty());
        EXPECT_GE(auLists[ProxyOnB() ? 0 : 1], 1u);
    } else if (GetParam().fault == Fault::InternalReset) {
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    } else if (GetParam().fault == Fault::PulledAndInserted) {
        // The slot's owner logs the drive going and coming back; both log
        // its return.
        const bool fOwnerB = ProxyOnB() == false;
        EXPECT_EQ(dual::EventSequenceOf(fOwnerB, {kEventDriveRemoved, kEventDriveInserted}),
                  std::vector<uint8_t>({kEventDriveRemoved, kEventDriveInserted}));
        EXPECT_EQ(dual::EventSequenceOf(!fOwnerB, {kEventDriveInserted}), std::vector<uint8_t>({kEventDriveInserted}));
    } else if (GetParam().fault == Fault::ExpansionCableCut) {
        EXPECT_TRUE(m_fSlotChange);
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    } else if (GetParam().fault == Fault::ExpanderReset) {
        // Each restarted its IOC and lost no member.
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
        EXPECT_GT(a->board.sasController().iocResets(), adIocResets[0]);
        EXPECT_GT(b->board.sasController().iocResets(), adIocResets[1]);
        EXPECT_EQ(dual::EventsOfA(kEventDiscoveryError), 1u);
        EXPECT_EQ(dual::EventsOfB(kEventDiscoveryError), 1u);
    } else if (GetParam().fault == Fault::QueueFull) {
        // The full queue is a wait, not a failure, and each counted it on
        // the drive.
        EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
        EXPECT_GT(dual::InSlot(fw::pGetSASDriveInfoList(), kFailing)->wQCounter, 0u);
        EXPECT_GT(dual::InSlot(fw_b::pGetSASDriveInfoList(), kFailing)->wQCounter, 0u);
    }
}

const FaultCase kFaults[] = {
    {"DriveStopsAnswering", Fault::StopsAnswering},
    {"ProxyDriveStopsAnsweringRaid1", Fault::ProxyStopsAnswering, {"SHARED", fw::RAID_LEVEL_10, 2, kChunk}, true},
    {"ProxyDriveStopsAnsweringRaid5", Fault::ProxyStopsAnswering, {"SHARED", fw::RAID_LEVEL_5, 4, kChunk}, true},
    {"ProxyDriveStopsAnsweringRaid6", Fault::ProxyStopsAnswering, {"SHARED", fw::RAID_LEVEL_6, 5, kChunk}, true},
    {"SlotMovedToAnother", Fault::SlotMoved},
    {"PulledAndInserted", Fault::PulledAndInserted},
    {"DriveInternalReset", Fault::InternalReset},
    {"ExpanderResets", Fault::ExpanderReset},
    {"DriveQueueFull", Fault::QueueFull},
    {"ExpansionCableCutAndBack", Fault::ExpansionCableCut, {"SHARED", fw::RAID_LEVEL_5, 4, kChunk}, false, true},
};
INSTANTIATE_TEST_SUITE_P(Faults, SharedDriveFaults, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
