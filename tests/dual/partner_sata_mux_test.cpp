// Two controllers sharing SATA drives, each behind an active-active
// multiplexer that passes one controller at a time: each controller takes
// the drives of the slots it owns by sending their port selection signal,
// and reaches the others through its partner.  A drive handed over is
// never dropped: the controller that had it waits for the partner to list
// it.  A RAID 5 across both owners' drives serves a host on each; when one
// board is cut, the survivor takes every drive over and serves all, and
// hands the slots back when the board returns.  A multiplexer that never
// switches is reported and its drive served through the partner.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "../system/road_config.h"
#include "config/rank_table.h"
#include "dual_events.h"
#include "harness/dual_pair.h"
#include "pair_lists.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::SAS_DEVICE_LIST;
SAS_DEVICE_LIST* pGetSASDriveInfoList();
uint8_t fRequestDriveRescan();
uint8_t bGetSlotOwnerController(uint8_t bEnclosure, uint8_t bSlot);
}  // namespace fw_b

namespace {

using Outcome = sim::FcpResult::Outcome;
using roadtest::kBlock;
using dual::Cdb16;

constexpr uint64_t kMs = 1'000'000ull;
constexpr unsigned kDrives = 8;
constexpr uint32_t kChunk = 16;
constexpr uint32_t kRowBlocks = 3 * kChunk;
constexpr uint32_t kWriteBlocks = 8;
constexpr uint8_t kEventPortSelectorStuck = 19;

sim::Chassis::Options SataPairs() {
    sim::Chassis::Options o;
    o.sata = true;
    o.drives = kDrives;
    return o;
}

// How a controller's device list reaches a slot's drive.
enum class Reach { Direct, Proxy, None };

Reach ReachOf(const fw::SAS_DEVICE_LIST* psList, uint8_t bSlot) {
    const fw::SAS_DEVICE_ENTRY* ps = dual::InSlot(psList, bSlot);
    if (!ps) return Reach::None;
    return ps->bTargetId & fw::SAS_PROXY_TARGET_BIT ? Reach::Proxy : Reach::Direct;
}

using dual::EventsOfA;
using dual::EventsOfB;

class PartnerSataMux : public ::testing::Test, protected dual::Pair {
protected:
    // The array is on the drives before either controller starts.
    PartnerSataMux() : dual::Pair(SataPairs()) { dual::PlaceMirroredRaid5(chassis, "SATAMUX", kChunk); }

    // Both started, the multiplexers settled (`settled`), then a host on each.
    void StartWithHosts(const std::function<bool()>& settled) {
        ASSERT_TRUE(RunUntil([&] { return a->Booted() && b->Booted() && settled(); }, 300'000 * kMs)) << Consoles();
        ASSERT_TRUE(Boot()) << Consoles();
        hosts[0] = std::make_unique<sim::FcHost>(a->board, a->fabric, *sim::FindIspChip(a->board, 1),
                                                 0x2100001B32E00031ull);
        hosts[1] = std::make_unique<sim::FcHost>(b->board, b->fabric, *sim::FindIspChip(b->board, 1),
                                                 0x2100001B32E00032ull);
        for (auto& h : hosts) ASSERT_TRUE(HostReady(*h)) << Consoles();
    }
    // Each controller lists the drives of its slots directly and the
    // others as proxies.
    static bool ListsOnOwners() {
        for (uint8_t s = 1; s <= kDrives; ++s) {
            const bool fFirst = fw::bGetSlotOwnerController(1, s) == 1;
            if (ReachOf(fw::pGetSASDriveInfoList(), s) != (fFirst ? Reach::Direct : Reach::Proxy)) return false;
            if (ReachOf(fw_b::pGetSASDriveInfoList(), s) != (fFirst ? Reach::Proxy : Reach::Direct)) return false;
        }
        return true;
    }
    // The multiplexers settle on their owners once both controllers'
    // discovery passes have run.
    bool MuxesOnOwners() {
        for (uint8_t s = 1; s <= kDrives; ++s) {
            if (chassis.MuxAt(s)->activeHostPort() != unsigned(fw::bGetSlotOwnerController(1, s) - 1)) return false;
        }
        return true;
    }
    // Writes through both hosts, each to rows of its own; every one answered
    // GOOD once.
    void WriteThroughBoth(unsigned rows) {
        std::mt19937 rng(37);
        for (unsigned r = 0; r < rows; ++r) {
            Sent s{r % 2, uint64_t(r) * kRowBlocks, std::vector<uint8_t>(kWriteBlocks * kBlock)};
            for (uint8_t& b : s.data) b = static_cast<uint8_t>(rng());
            const sim::FcpResult res = RunCommand(*hosts[s.host], Cdb16(fw::SCSI_WRITE16, s.lba, kWriteBlocks), s.data);
            ASSERT_EQ(res.outcome, Outcome::Done) << "row " << r;
            ASSERT_EQ(res.status, 0) << "row " << r;
            sent.push_back(std::move(s));
        }
    }
    void ReadBackThrough(unsigned host) {
        for (const Sent& s : sent) {
            const sim::FcpResult res =
                RunCommand(*hosts[host], Cdb16(fw::SCSI_READ16, s.lba, kWriteBlocks), {}, kWriteBlocks * kBlock);
            ASSERT_EQ(res.outcome, Outcome::Done) << "lba " << s.lba << " through host " << host;
            ASSERT_EQ(res.status, 0) << "lba " << s.lba << " through host " << host;
            EXPECT_EQ(res.dataIn, s.data) << "lba " << s.lba << " through host " << host;
        }
    }

    struct Sent {
        unsigned host;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    std::unique_ptr<sim::FcHost> hosts[2];
    std::vector<Sent> sent;
};

// Each controller takes its own slots' multiplexers, lists their drives
// directly and the partner's as proxies; the array across both owners'
// drives serves both hosts.  Cut controller 2: controller 1 takes its
// drives over, lists every drive directly, and serves every write; and
// gives them back when controller 2 returns.
TEST_F(PartnerSataMux, EachControllerServesItsSlotsAndTheSurvivorTakesAll) {
    ASSERT_NO_FATAL_FAILURE(StartWithHosts([&] { return MuxesOnOwners() && ListsOnOwners(); }));
    // The owner maps give each controller some of the array's drives (the
    // first four), and both controllers read them alike.
    bool afOwner[3] = {};
    for (uint8_t s = 1; s <= kDrives; ++s) {
        ASSERT_EQ(fw::bGetSlotOwnerController(1, s), fw_b::bGetSlotOwnerController(1, s)) << "slot " << int(s);
        if (s <= 4) afOwner[fw::bGetSlotOwnerController(1, s)] = true;
    }
    ASSERT_TRUE(afOwner[1] && afOwner[2]);
    // The drives controller 1 handed over at start were never dropped: the
    // array kept every member.
    EXPECT_EQ(EventsOfA(118), 0u);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);

    ASSERT_NO_FATAL_FAILURE(WriteThroughBoth(16));
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(0));
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(1));

    b->board.CutPower();
    ASSERT_TRUE(RunUntil(
        [&] {
            for (uint8_t s = 1; s <= kDrives; ++s) {
                if (chassis.MuxAt(s)->activeHostPort() != 0 || ReachOf(fw::pGetSASDriveInfoList(), s) != Reach::Direct)
                    return false;
            }
            return true;
        },
        120'000 * kMs))
        << Consoles();
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(0));

    // Controller 2 comes back beside the survivor: it takes its slots
    // back, the survivor hands them over, and both hosts read every write.
    b->board.RestorePower();
    b->board.ClearConsoleText();
    sim::Board::ConnectPartners(a->board, b->board);
    b->board.Boot();
    ASSERT_TRUE(RunUntil([&] { return b->Booted() && MuxesOnOwners() && ListsOnOwners(); }, 300'000 * kMs))
        << Consoles();
    ASSERT_TRUE(HostReady(*hosts[1])) << Consoles();
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(0));
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(1));
}

// A multiplexer whose selection never switches: its owner signals it a
// limited number of times and reports it (event 19, 2) once, its discovery
// comes to an end, and the drive stays served by the partner that has it.
TEST_F(PartnerSataMux, AMultiplexerThatNeverSwitchesIsReportedAndServedThroughThePartner) {
    // Slot 4 is controller 2's by the controller enclosure's map.
    constexpr uint8_t bStuck = 4;
    chassis.MuxAt(bStuck)->faults.selectionStuck = true;
    ASSERT_NO_FATAL_FAILURE(StartWithHosts([&] { return EventsOfB(kEventPortSelectorStuck, 2, bStuck) != 0; }));
    ASSERT_EQ(fw_b::bGetSlotOwnerController(1, bStuck), 2);
    RunUntil([] { return false; }, 120'000 * kMs);
    EXPECT_EQ(EventsOfB(kEventPortSelectorStuck, 2, bStuck), 1u);
    EXPECT_EQ(chassis.MuxAt(bStuck)->activeHostPort(), 0u);
    // Signalled within its tries, not at every pass.
    EXPECT_GT(chassis.MuxAt(bStuck)->portSelections(1), 0u);
    EXPECT_LE(chassis.MuxAt(bStuck)->portSelections(1), 12u);
    EXPECT_EQ(ReachOf(fw::pGetSASDriveInfoList(), bStuck), Reach::Direct);
    EXPECT_EQ(ReachOf(fw_b::pGetSASDriveInfoList(), bStuck), Reach::Proxy);
    // The slots that did switch were handed over while the partner was
    // still signalling the one that does not: none was dropped.
    EXPECT_EQ(EventsOfA(118), 0u);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBoth(8));
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(1));
}

// Started together with every multiplexer passing controller 2 (as a
// partner that ran last leaves them): controller 1 takes every shared
// drive before it reads the configuration, which finds the array whole;
// controller 2 waits for it and looks again, so it lists none of them
// directly when it loads its configuration.  The slots then settle on
// their owners and both hosts are served.
TEST_F(PartnerSataMux, StartedTogetherTheSlot1ControllerTakesTheDrivesFirst) {
    for (uint8_t s = 1; s <= kDrives; ++s) ASSERT_TRUE(chassis.MuxAt(s)->SelectHostPort(1));
    const auto loading = [](const sim::Board& board) {
        return board.ConsoleText().find("Loading Configuration") != std::string::npos;
    };
    bool afChecked[2] = {};
    const auto check = [&](bool fFirst) {
        const fw::SAS_DEVICE_LIST* ps = fFirst ? fw::pGetSASDriveInfoList() : fw_b::pGetSASDriveInfoList();
        for (uint8_t s = 1; s <= kDrives; ++s) {
            EXPECT_EQ(ReachOf(ps, s), fFirst ? Reach::Direct : Reach::Proxy)
                << "controller " << (fFirst ? 1 : 2) << " slot " << int(s);
            EXPECT_EQ(chassis.MuxAt(s)->activeHostPort(), 0u) << "slot " << int(s);
        }
        afChecked[fFirst ? 0 : 1] = true;
    };
    ASSERT_TRUE(RunUntil(
        [&] {
            if (!afChecked[0] && loading(a->board)) check(true);
            if (!afChecked[1] && loading(b->board)) check(false);
            return afChecked[0] && afChecked[1];
        },
        300'000 * kMs))
        << Consoles();
    ASSERT_NO_FATAL_FAILURE(StartWithHosts([&] { return MuxesOnOwners() && ListsOnOwners(); }));
    EXPECT_EQ(EventsOfA(118), 0u);
    EXPECT_EQ(EventsOfB(118), 0u);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBoth(8));
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(0));
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(1));
}

// Started together, controller 2 waits for controller 1 to have taken the
// shared drives: it asks it TEST UNIT READY until it answers GOOD.  A
// partner that refuses (CHECK CONDITION) is asked again only 2 s later,
// not at once, so that the tries span the partner's start of day.  (The
// first ask is the start of day's look whether the partner already runs.)
TEST_F(PartnerSataMux, StartedTogetherTheSlot2ControllerPacesItsAsksOfAPartnerThatRefuses) {
    struct Answer {
        uint64_t at;
        uint8_t status;
    };
    std::vector<Answer> answers;
    sim::SasController& ioc = b->board.sasController();
    ioc.linkFaults.notReady = 4;
    ioc.partnerAnswerSeen = [&](const uint8_t* cdb, uint8_t status) {
        if (cdb[0] == fw::SCSI_TEST_UNIT_READY) answers.push_back({clock.Now(), status});
    };
    ASSERT_TRUE(RunUntil([&] { return a->Booted() && b->Booted(); }, 300'000 * kMs)) << Consoles();
    ioc.partnerAnswerSeen = nullptr;
    ASSERT_EQ(ioc.linkFaults.notReady, 0u);
    ASSERT_GE(answers.size(), 5u);
    EXPECT_EQ(answers.back().status, fw::SCSI_STATUS_GOOD);
    for (size_t i = 2; i < answers.size(); ++i) {
        EXPECT_GE(answers[i].at - answers[i - 1].at, 2000 * kMs) << "ask " << i;
    }
    ASSERT_NO_FATAL_FAILURE(StartWithHosts([&] { return MuxesOnOwners() && ListsOnOwners(); }));
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
}

// A drive behind a multiplexer that resets itself: its controller turns
// the slot's phy off at once, and its next discovery pass brings the link
// back with a link reset.  The drive stays in its array, and every write
// reads back through both controllers.
TEST_F(PartnerSataMux, ADriveThatResetsItselfBehindAMultiplexerComesBackByALinkReset) {
    ASSERT_NO_FATAL_FAILURE(StartWithHosts([&] { return MuxesOnOwners() && ListsOnOwners(); }));
    uint8_t bSlot = 1;
    while (fw::bGetSlotOwnerController(1, bSlot) != 1) ++bSlot;
    ASSERT_LE(bSlot, 4);
    ASSERT_NO_FATAL_FAILURE(WriteThroughBoth(8));
    const sim::ExpanderPhy& phy = chassis.PhyOfSlot(bSlot);
    const uint32_t dResets = phy.linkResets;
    a->board.sasController().DriveInternalReset(bSlot);
    ASSERT_TRUE(RunUntil([&] { return !phy.enabled; }, 1'000 * kMs));
    ASSERT_TRUE(RunUntil(
        [&] {
            return phy.enabled && phy.linkResets == dResets + 1 &&
                   ReachOf(fw::pGetSASDriveInfoList(), bSlot) == Reach::Direct && ListsOnOwners();
        },
        60'000 * kMs))
        << Consoles();
    RunUntil([] { return false; }, 20'000 * kMs);
    EXPECT_EQ(phy.linkResets, dResets + 1);
    EXPECT_EQ(EventsOfA(118), 0u);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(0));
    ASSERT_NO_FATAL_FAILURE(ReadBackThrough(1));
}

// Controller 1 serves slot 4 of controller 2's (its multiplexer stuck on
// controller 1's side) under host I/O when controller 2's signal at last
// takes the drive: the commands controller 1 sends it before its next look
// at the fabric find no drive there.  They wait for the hand-over and go on
// through the partner: every command is answered once, GOOD, every read
// gives what was last written, and the array keeps every member.
TEST_F(PartnerSataMux, HostIoAcrossATakeOverIsNeverFailed) {
    constexpr uint8_t bSlot = 4;
    sim::AaMux& mux = *chassis.MuxAt(bSlot);
    mux.faults.selectionStuck = true;
    ASSERT_NO_FATAL_FAILURE(StartWithHosts([&] { return EventsOfB(kEventPortSelectorStuck, 2, bSlot) != 0; }));
    ASSERT_EQ(ReachOf(fw::pGetSASDriveInfoList(), bSlot), Reach::Direct);
    mux.faults.selectionStuck = false;

    // Four commands out at a time, each on a row of its own: reads of rows
    // not read before (so the drives answer them) and writes of new data.
    constexpr unsigned kRows = 4096;
    std::mt19937 rng(3701);
    std::vector<std::vector<uint8_t>> reference(kRows, std::vector<uint8_t>(kWriteBlocks * kBlock));
    struct InFlight {
        unsigned row;
        bool write;
        std::vector<uint8_t> data;
    };
    std::map<uint32_t, InFlight> out;
    unsigned next = 0, answered = 0, failed = 0, mismatched = 0;
    bool fStopping = false;
    sim::FcInitiator& initiator = hosts[0]->initiator();
    auto pump = [&] {
        for (auto it = out.begin(); it != out.end();) {
            if (!initiator.Finished(it->first)) {
                ++it;
                continue;
            }
            const sim::FcpResult& res = initiator.Result(it->first);
            ++answered;
            if (res.outcome != Outcome::Done || res.status != 0) {
                ++failed;
            } else if (it->second.write) {
                reference[it->second.row] = it->second.data;
            } else if (res.dataIn != reference[it->second.row]) {
                ++mismatched;
            }
            initiator.Forget(it->first);
            it = out.erase(it);
        }
        while (!fStopping && out.size() < 4 && next < kRows) {
            const unsigned row = next++;
            InFlight f{row, row % 3 == 0, {}};
            sim::FcpCommand c;
            if (f.write) {
                f.data.resize(kWriteBlocks * kBlock);
                for (uint8_t& b : f.data) b = static_cast<uint8_t>(rng());
                c.cdb = Cdb16(fw::SCSI_WRITE16, uint64_t(row) * kRowBlocks, kWriteBlocks);
                c.dataOut = f.data;
            } else {
                c.cdb = Cdb16(fw::SCSI_READ16, uint64_t(row) * kRowBlocks, kWriteBlocks);
                c.dataInLength = kWriteBlocks * kBlock;
            }
            out.emplace(initiator.Submit(hosts[0]->target(), c), std::move(f));
        }
    };
    ASSERT_TRUE(RunUntil(
        [&] {
            pump();
            return answered >= 64;
        },
        60'000 * kMs));
    // Controller 2's signal switches the multiplexer.  The IOCs report the
    // change only once their own discovery has seen it: the commands sent
    // meanwhile find no drive.
    ASSERT_TRUE(mux.SelectHostPort(1));
    const unsigned atSwitch = answered;
    ASSERT_TRUE(RunUntil(
        [&] {
            pump();
            return answered >= atSwitch + 64;
        },
        60'000 * kMs));
    EXPECT_GT(fw::dGetSASTakeOverHolds(), 0u);
    ++chassis.PhyOfSlot(bSlot).changeCount;
    chassis.NotifyLinkChange();
    ASSERT_TRUE(RunUntil(
        [&] {
            pump();
            return ReachOf(fw::pGetSASDriveInfoList(), bSlot) == Reach::Proxy &&
                   ReachOf(fw_b::pGetSASDriveInfoList(), bSlot) == Reach::Direct && answered >= 512;
        },
        300'000 * kMs))
        << Consoles();
    fStopping = true;
    ASSERT_TRUE(RunUntil(
        [&] {
            pump();
            return out.empty();
        },
        60'000 * kMs));
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(mismatched, 0u);
    EXPECT_EQ(EventsOfA(118), 0u);
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    for (unsigned r = 0; r < next; r += 3) {
        for (unsigned h = 0; h < 2; ++h) {
            const sim::FcpResult res = RunCommand(*hosts[h], Cdb16(fw::SCSI_READ16, uint64_t(r) * kRowBlocks, kWriteBlocks),
                                                  {}, kWriteBlocks * kBlock);
            ASSERT_EQ(res.outcome, Outcome::Done) << "row " << r << " host " << h;
            EXPECT_EQ(res.dataIn, reference[r]) << "row " << r << " host " << h;
        }
    }
}

// A drive table rebuild that finds no device at all in its list (here
// the slave's, emptied) asks the partner for its list once and reads the
// partner's drives through it.
class PartnerEmptyList : public ::testing::Test, protected dual::Pair {};

TEST_F(PartnerEmptyList, ARebuildWithNoDeviceTakesThePartnersDrives) {
    ASSERT_TRUE(Boot()) << Consoles();
    fw::SAS_DEVICE_LIST* psB = fw_b::pGetSASDriveInfoList();
    const uint8_t bDrives = fw::pGetSASDriveInfoList()->bEntryCount;
    ASSERT_GT(bDrives, 0);
    bool fAsked = false;
    b->board.pollHook = [&] {
        if (fAsked) return;
        fAsked = true;
        for (uint8_t i = 0; i < psB->bEntryCount; ++i) psB->asEntry[i].fValid = fw::FALSE;
        psB->bEntryCount = 0;
        (void)fw_b::fRequestDriveRescan();
    };
    const bool fTaken = RunUntil([&] { return fAsked && psB->bEntryCount == bDrives; }, 60'000 * kMs);
    b->board.pollHook = nullptr;
    ASSERT_TRUE(fTaken) << Consoles();
    for (uint8_t i = 0; i < psB->bEntryCount; ++i) {
        EXPECT_NE(psB->asEntry[i].bTargetId & fw::SAS_PROXY_TARGET_BIT, 0) << "entry " << int(i);
    }
}

}  // namespace

