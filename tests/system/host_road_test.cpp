// Hosts write and read logical drives of every RAID level through the whole
// controller: FC, SAS or parallel SCSI host port, target engine, cache, RAID engine, drives.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "host_road.h"
#include "cache/nvram_journal.h"
#include "config/apply_settings.h"
#include "config/bad_blocks.h"
#include "config/config_image.h"
#include "executive/console_output.h"
#include "harness/dispatch_board.h"
#include "hw/mpi_scsi_port.h"
#include "sas/sas_target_ports.h"
#include "target/host_command_codes.h"
#include "target/scsi2_reservations.h"

namespace {

using namespace roadtest;

constexpr uint8_t kCachedDataLost = 101;   // event "Cached Data Lost"

// A road through the host port of the kind its parameter names.
template <typename Param>
class RoadOver : public HostRoad, public ::testing::WithParamInterface<Param> {
protected:
    void SetUp() override { hostKind = std::get<HostKind>(this->GetParam()); }
    const ArraySpec& Array() const { return std::get<ArraySpec>(this->GetParam()); }
};

template <typename Info>
std::string RoadName(const Info& info) {
    const HostKind e = std::get<HostKind>(info.param);
    const std::string name = std::get<ArraySpec>(info.param).pszName;
    return e == HostKind::Fc ? name : name + "Over" + HostKindName(e);
}

class LevelRoad : public RoadOver<std::tuple<ArraySpec, HostKind>> {};

// Random lengths and offsets, overlapping one another, WRITE(10) and
// WRITE(16): after each batch is on the drives, the drive images match the
// layout model, and reads of (10) and (16) return the reference.
TEST_P(LevelRoad, WritesLandWhereTheLayoutPutsThemAndReadBack) {
    ASSERT_NO_FATAL_FAILURE(Boot(Array()));
    std::mt19937 rng(7);
    const uint64_t span = RowBlocks() * 6;
    for (uint32_t i = 0; i < 24; ++i) {
        const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
        const uint64_t lba = rng() % (span - blocks);
        Write(lba, blocks, 100 + i, i % 2 == 1);
        if (i % 8 == 7) {
            Settle();
            ExpectDrivesMatchReference();
        }
    }
    ExpectRead(0, static_cast<uint32_t>(span / 2));
    ExpectRead(span / 3, static_cast<uint32_t>(span / 2), true);
    Settle();
}

const ArraySpec kLevels[] = {
    {"Raid0", fw::RAID_LEVEL_0, 4, 16},
    {"Raid1", fw::RAID_LEVEL_10, 2, 16},
    {"Raid10", fw::RAID_LEVEL_10, 6, 16},
    {"Raid5", fw::RAID_LEVEL_5, 4, 16},
    {"Raid50", fw::RAID_LEVEL_50, 6, 16, 2},
    {"Raid6", fw::RAID_LEVEL_6, 5, 16},
    {"Raid0WriteThrough", fw::RAID_LEVEL_0, 3, 16, 0, false},
    {"Raid10WriteThrough", fw::RAID_LEVEL_10, 4, 16, 0, false},
    {"Raid5WriteThrough", fw::RAID_LEVEL_5, 5, 16, 0, false},
    {"Raid6WriteThrough", fw::RAID_LEVEL_6, 6, 16, 0, false},
};
INSTANTIATE_TEST_SUITE_P(Levels, LevelRoad, ::testing::Combine(::testing::ValuesIn(kLevels), ::testing::Values(HostKind::Fc)),
                         [](const auto& info) { return RoadName(info); });
// Through a SAS host port, each layout, written back and written through.
INSTANTIATE_TEST_SUITE_P(SasPort, LevelRoad, ::testing::Combine(::testing::ValuesIn(kLevels), ::testing::Values(HostKind::Sas)),
                         [](const auto& info) { return RoadName(info); });
// And through a parallel SCSI host port.
INSTANTIATE_TEST_SUITE_P(ScsiPort, LevelRoad, ::testing::Combine(::testing::ValuesIn(kLevels), ::testing::Values(HostKind::Scsi)),
                         [](const auto& info) { return RoadName(info); });

// Thirty-two commands in flight: writes of random lengths that share stripe
// rows (and parity) with one another but never overlap a write still in
// flight, sequential runs among them, and reads of what is acknowledged.
TEST_P(LevelRoad, ManyCommandsInFlightShareRowsAndKeepEveryByte) {
    ASSERT_NO_FATAL_FAILURE(Boot(Array()));
    std::mt19937 rng(23);
    const uint64_t span = RowBlocks() * 12;
    struct InFlight {
        uint32_t tag;
        uint64_t lba;
        uint32_t blocks;
        std::vector<uint8_t> data;   // empty for a read
    };
    std::vector<InFlight> inFlight;
    auto Overlaps = [&](uint64_t lba, uint32_t blocks) {
        for (const InFlight& f : inFlight)
            if (lba < f.lba + f.blocks && f.lba < lba + blocks) return true;
        return false;
    };
    uint64_t next = 0;
    for (uint32_t i = 0; i < 400 || !inFlight.empty();) {
        while (i < 400 && inFlight.size() < 32) {
            const uint32_t blocks = 1 + rng() % (rng() % 4 == 0 ? 3 * spec.wChunk : 16);
            uint64_t lba = rng() % 3 == 0 ? next : rng() % (span - blocks);
            if (lba + blocks > span) lba = 0;
            ++i;
            if (Overlaps(lba, blocks)) continue;
            next = lba + blocks;
            sim::FcpCommand c;
            const bool fRead = rng() % 4 == 0;
            c.cdb = Cdb(fRead ? fw::SCSI_READ16 : fw::SCSI_WRITE10, lba, blocks);
            if (fRead) {
                c.dataInLength = blocks * kBlock;
            } else {
                c.dataOut = Random(blocks, 1000 + i);
            }
            inFlight.push_back({road->Submit(c), lba, blocks, c.dataOut});
        }
        const InFlight f = inFlight.front();
        inFlight.erase(inFlight.begin());
        const sim::FcpResult r = road->Wait(f.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << f.lba << "+" << f.blocks;
        ASSERT_EQ(r.status, 0) << f.lba << "+" << f.blocks << SenseText(r);
        if (f.data.empty()) {
            for (uint32_t b = 0; b < f.blocks; ++b) {
                ASSERT_TRUE(std::equal(r.dataIn.begin() + b * kBlock, r.dataIn.begin() + (b + 1) * kBlock,
                                       Expected(f.lba + b).begin()))
                    << "block " << f.lba + b << " of read " << f.lba << "+" << f.blocks;
            }
        } else {
            Record(f.lba, f.data);
        }
    }
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(span));
    Settle();
}

// An array and its logical drive made on the running controller through
// the configuration edits, as an operator's tools make them, then committed:
// the host's writes land where the layout puts them.
TEST_F(HostRoad, AnArrayMadeThroughTheConfigurationEditsCarriesTheRoad) {
    ASSERT_NO_FATAL_FAILURE(CreateThroughEdits({"Raid5", fw::RAID_LEVEL_5, 4, 128}));
    std::mt19937 rng(3);
    const uint64_t span = RowBlocks() * 6;
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
        Write(rng() % (span - blocks), blocks, 900 + i, i % 2 == 0);
    }
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(span));
}

// ---- write-back and write-through, seen from the host ---------------------

class AnswerRoad : public HostRoad, public ::testing::WithParamInterface<HostKind> {
protected:
    void SetUp() override { hostKind = GetParam(); }

    // One write; what the drives had seen at the moment its status reached
    // the host, and whether its first block was on its drive then.
    struct AtGood {
        uint64_t writes;
        bool onDrive;
    };
    AtGood WriteAndLook(uint64_t lba, uint32_t blocks, uint32_t seed) {
        AtGood at{};
        const std::vector<uint8_t> data = Random(blocks, seed);
        const raidref::Place p = raidref::Striped(lba, spec.bDrives, spec.wChunk);
        road->OnCompletion([&](uint32_t, const sim::FcpResult&) {
            at.writes = AllDataWrites();
            std::vector<uint8_t> v(kBlock);
            chassis->DriveAt(p.member + 1)->ReadBlocks(p.block, 1, v.data());
            at.onDrive = std::equal(v.begin(), v.end(), data.begin());
        });
        const sim::FcpResult r = road->Send(0, Cdb(fw::SCSI_WRITE10, lba, blocks), data);
        road->OnCompletion(nullptr);
        EXPECT_EQ(r.status, 0) << SenseText(r);
        Record(lba, data);
        return at;
    }
};

TEST_P(AnswerRoad, WriteBackIsAnsweredBeforeTheDrivesAreWritten) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    WatchDataCommands();
    const uint64_t before = AllDataWrites();
    const AtGood at = WriteAndLook(40, 24, 1);
    EXPECT_EQ(at.writes, before);
    EXPECT_FALSE(at.onDrive);
    // The data is served from the cache meanwhile, and reaches the drives.
    ExpectRead(40, 24);
    Settle();
    EXPECT_GT(AllDataWrites(), before);
    ExpectDrivesMatchReference();
}

TEST_P(AnswerRoad, WriteThroughIsAnsweredOnlyOnceTheDrivesHoldTheData) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16, 0, false}));
    WatchDataCommands();
    const uint64_t before = AllDataWrites();
    const AtGood at = WriteAndLook(40, 24, 1);
    EXPECT_GE(at.writes, before + 2);   // 24 blocks from mid-chunk: two members at least
    EXPECT_TRUE(at.onDrive);
    ExpectDrivesMatchReference();
    Settle();
}

// The longest WRITE(10) and READ(10) there is, 65535 blocks: the cache moves
// it in several passes, each of which must take or give its own part of the
// host's data.
TEST_P(AnswerRoad, TheLongestTransferMovesEveryByte) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    ASSERT_NO_FATAL_FAILURE(Write(8, 0xFFFF, 3));
    ExpectRead(8, 0xFFFF);
    Settle();
    ExpectDrivesMatchReference();
}

// Answered through either kind of host port.
INSTANTIATE_TEST_SUITE_P(Hosts, AnswerRoad, ::testing::Values(HostKind::Fc, HostKind::Sas, HostKind::Scsi),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

// ---- what a host sends a SAS or parallel SCSI port ------------------------

class HostInputRoad : public HostRoad, public ::testing::WithParamInterface<HostKind> {
protected:
    void SetUp() override { hostKind = GetParam(); }
};

// A write carrying fewer blocks than its CDB names: the port ends the
// transfer short (on SAS a data underrun, logged as a transfer error; on a
// parallel SCSI bus the initiator's INITIATOR DETECTED ERROR), and the
// command is ended without GOOD.  Neither the blocks it sent nor stale
// bytes for the rest reach the unit; the port's buffers and frames come
// back and the next write is served.
TEST_P(HostInputRoad, AWriteShortOfItsDataStoresNothingAndIsNotAnsweredGood) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    ASSERT_NO_FATAL_FAILURE(Write(40, 8, 1));
    const uint16_t wTransferErrors = EventCount(0x37);
    const std::vector<uint8_t> partial = Random(3, 2);
    const sim::FcpResult r = road->Send(0, Cdb(fw::SCSI_WRITE10, 40, 8), partial);
    EXPECT_NE(r.outcome, sim::FcpResult::Outcome::Pending);
    EXPECT_FALSE(r.outcome == sim::FcpResult::Outcome::Done && r.status == fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(EventCount(0x37), wTransferErrors + (hostKind == HostKind::Sas ? 1 : 0));
    ExpectRead(40, 8);
    Settle();
    ExpectDrivesMatchReference();
    ASSERT_NO_FATAL_FAILURE(Write(40, 8, 3));
    ExpectRead(32, 24);
    Settle();
}

// A write carrying more than its CDB names: the port asks for the named
// blocks only, answers GOOD, and what followed them on the unit stays.
TEST_P(HostInputRoad, AWriteCarryingMoreThanItNamesStoresOnlyTheNamedBlocks) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    ASSERT_NO_FATAL_FAILURE(Write(40, 8, 1));
    const std::vector<uint8_t> data = Random(8, 4);
    const sim::FcpResult r = road->Send(0, Cdb(fw::SCSI_WRITE10, 40, 5), data);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD) << SenseText(r);
    EXPECT_EQ(r.dataOutTaken, 5 * kBlock);
    Record(40, {data.begin(), data.begin() + 5 * kBlock});
    ExpectRead(32, 24);
    Settle();
    ExpectDrivesMatchReference();
}

// Any CDB to the mapped LUN or to LUNs that map nothing: random bytes, or
// half the time an opcode the target knows with random fields (its LBA
// kept low enough to land on the unit now and then); some carrying data
// the CDB may not ask for, some with a data-in buffer of any length, four
// at a time, a task management function of any code among them.  Every
// command is answered or ended once; afterwards the port is at rest and
// serves.
TEST_P(HostInputRoad, AnyCdbOrTaskFunctionIsAnsweredAndLeavesThePortAtRest) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    sim::TaggedHost& h = PortHost();
    std::mt19937 rng(hostKind == HostKind::Sas ? 48 : 102);
    const auto Bytes = [&rng](size_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        return v;
    };
    constexpr uint16_t kLuns[] = {0, 0, 0, 0, 0, 1, 7, 0x4000};
    constexpr uint8_t kKnown[] = {0x00, 0x03, 0x08, 0x0A, 0x12, 0x1A, 0x25, 0x28, 0x2A,
                                  0x2F, 0x35, 0x5A, 0x88, 0x8A, 0x8F, 0x9E, 0xA0};
    for (int round = 0; round < 60; ++round) {
        std::vector<uint32_t> tags;
        for (int i = 0; i < 4; ++i) {
            sim::FcpCommand c;
            c.lun = kLuns[rng() % std::size(kLuns)];
            constexpr size_t kCdbLengths[] = {6, 10, 12, 16};
            c.cdb = Bytes(kCdbLengths[rng() % 4]);
            if (rng() % 2 == 0) {
                c.cdb[0] = kKnown[rng() % std::size(kKnown)];
                const size_t high = c.cdb.size() == 16 ? 8 : c.cdb.size() == 6 ? 1 : 4;
                std::fill(c.cdb.begin() + 1, c.cdb.begin() + static_cast<std::ptrdiff_t>(high), uint8_t{0});
            }
            if (rng() % 4 == 0) c.dataOut = Bytes(rng() % 8192);
            c.dataInLength = rng() % 3 == 0 ? 0 : rng() % 8192;
            tags.push_back(h.Submit(c));
        }
        if (round % 3 == 0) {
            const sim::FcpResult t = h.TaskManagement(kLuns[rng() % std::size(kLuns)], static_cast<uint8_t>(rng()),
                                                      static_cast<uint16_t>(tags[rng() % tags.size()]), 30'000'000'000ull);
            EXPECT_EQ(t.outcome, sim::FcpResult::Outcome::Done) << "round " << round;
        }
        for (uint32_t tag : tags) {
            const sim::FcpResult r = h.Wait(tag, 30'000'000'000ull);
            EXPECT_TRUE(r.outcome == sim::FcpResult::Outcome::Done || r.outcome == sim::FcpResult::Outcome::Terminated ||
                        r.outcome == sim::FcpResult::Outcome::Aborted)
                << "round " << round << " outcome " << int(r.outcome);
        }
    }
    Settle();
    // No write left a hold behind: the blocks the known opcodes reach read.
    for (uint64_t lba = 0; lba < 256; lba += 64) {
        EXPECT_EQ(road->Send(0, Cdb(fw::SCSI_READ10, lba, 64), {}, 64 * kBlock).status, fw::SCSI_STATUS_GOOD) << lba;
    }
    ASSERT_NO_FATAL_FAILURE(Write(64, 16, 9));
    ExpectRead(64, 16);
    Settle();
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostInputRoad, ::testing::Values(HostKind::Sas, HostKind::Scsi),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

// ---- a SAS port out of request frames ---------------------------------------

// The IOC offers few request frames and holds the data of every transfer on
// the link, while a host sends writes, reads and TEST UNIT READYs: the data
// and status requests that find every frame out (the reserve too) wait for
// one.
class SasFrameShortage : public HostRoad {
protected:
    static constexpr uint16_t kFrames = 40;
    struct Sent {
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;   // a write's
    };
    void SetUp() override {
        hostKind = HostKind::Sas;
        prepareSasIoc = [](sim::SasTargetIoc& ioc) { ioc.facts.globalCredits = kFrames; };
        ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
        ASSERT_EQ(Ioc()->wRequestFrames, kFrames);
        road->OnCompletion([answers = answers](uint32_t tag, const sim::FcpResult&) { ++(*answers)[tag]; });
        Hold(true);
        for (uint32_t n = 0; n < 24; ++n) {
            std::vector<uint8_t> data = Random(8, 100 + n);
            sent.push_back({road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, n * 8, 8), data, 0)), n * 8, data});
            NoteSent(n * 8, data);
            sent.push_back({road->Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, 512 + n * 8, 8), {}, 8 * kBlock)),
                            512 + n * 8, {}});
            sent.push_back({road->Submit(sim::FcpCommand::To(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, {}, 0)), 0, {}});
        }
        const auto fOut = [] {
            return Ioc()->wRequestsInUse == kFrames && fw::fHasDeferredSASTargetRequests() == fw::TRUE;
        };
        board->RunUntil(fOut, kSettleLimitNs);
        ASSERT_TRUE(fOut()) << Ioc()->wRequestsInUse << " frames in use, " << Held() << " transfers held";
    }
    void TearDown() override {
        if (road) road->OnCompletion(nullptr);
    }
    static const fw::LSI_SAS_TARGET_IOC* Ioc() { return fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1); }
    void ExpectEachAnsweredOnce() {
        for (const Sent& e : sent) EXPECT_EQ((*answers)[e.tag], 1u) << "command " << e.tag;
        EXPECT_EQ(answers->size(), sent.size());
    }
    std::vector<Sent> sent;
    // Shared with the host's callback, which may outlive a failed assertion.
    std::shared_ptr<std::map<uint32_t, unsigned>> answers = std::make_shared<std::map<uint32_t, unsigned>>();
};

// Once the data moves, every command is answered GOOD once, the writes read
// back, and the frames and command buffers are all back.
TEST_F(SasFrameShortage, EveryCommandIsAnsweredOnceTheFramesComeBack) {
    Release();
    for (const Sent& e : sent) {
        const sim::FcpResult r = road->Wait(e.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "command " << e.tag;
        EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD) << "command " << e.tag << SenseText(r);
        if (!e.data.empty()) Record(e.lba, e.data);
    }
    Settle();
    ExpectEachAnsweredOnce();
    ExpectRead(0, 24 * 8);
    ExpectRead(512, 24 * 8);
    Settle();
}

// The link stays stuck past the commands' time-out: they are aborted, those
// whose request never went as well as those in flight, and each ends once;
// nothing is left behind when the link lets the data go.
TEST_F(SasFrameShortage, CommandsTimedOutWhileTheirRequestsWaitEndOnce) {
    board->RunFor(15'000'000'000ull);
    Release();
    for (const Sent& e : sent) EXPECT_NE(road->Wait(e.tag).outcome, sim::FcpResult::Outcome::Pending) << "command " << e.tag;
    Settle();
    ExpectEachAnsweredOnce();
}

// ABORT TASK for a command whose status still waits for a frame: the
// status never reached the IOC, so no reply will end the command; it ends
// at once, while every frame is still out, and the abort is answered once
// the frames come back.
TEST_F(SasFrameShortage, AnAbortedCommandWhoseStatusNeverLeftEndsAtOnce) {
    sim::TaggedHost& host = PortHost();
    const uint16_t wEntries = fw::wGetTargetEntriesUsed();
    const uint32_t t = host.Submit(sim::FcpCommand::To(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, {}, 0));
    ASSERT_TRUE(host.RunUntil([wEntries] { return fw::wGetTargetEntriesUsed() == wEntries + 1; }));
    board->RunFor(100'000'000);
    ASSERT_EQ(Ioc()->wRequestsInUse, kFrames) << "the status found a frame";
    const uint16_t wAborts = EventCount(36);
    sim::FcpCommand abort;
    abort.taskManagement = 0x01;   // ABORT TASK
    const uint32_t a = host.Submit(abort, static_cast<uint16_t>(t));
    // The function and the command it aborts are logged.
    ASSERT_TRUE(host.RunUntil([wAborts] { return EventCount(36) == wAborts + 2; }));
    // The abort's own entry stays until its answer can go.
    host.RunUntil([wEntries] { return fw::wGetTargetEntriesUsed() == wEntries + 1; });
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), wEntries + 1) << "the aborted command did not end";
    EXPECT_EQ(Ioc()->wRequestsInUse, kFrames);
    Release();
    const sim::FcpResult ra = road->Wait(a);
    EXPECT_EQ(ra.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(ra.status, 0);
    EXPECT_NE(road->Wait(t).outcome, sim::FcpResult::Outcome::Pending);
    for (const Sent& e : sent) EXPECT_NE(road->Wait(e.tag).outcome, sim::FcpResult::Outcome::Pending);
    sent.push_back({t, 0, {}});
    sent.push_back({a, 0, {}});
    Settle();
    ExpectEachAnsweredOnce();
}

// A parallel SCSI port out of request frames (40, every read's data held on
// the bus): ABORT TASK for a TEST UNIT READY whose status waits for a frame
// ends it there.  Its status is dropped, not sent once the frames come
// back, and its buffer goes back to the IOC, which ends the host's exchange.
TEST_F(HostRoad, AParallelScsiCommandAbortedWhileItsStatusWaitsForAFrameSendsNothingLater) {
    hostKind = HostKind::Scsi;
    prepareScsiIoc = [](sim::ScsiHostIoc& ioc) { ioc.facts.globalCredits = 40; };
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    const fw::HOST_PORT_MPT_STATE* s = fw::pGetHostPortState(fw::LSI_IOC_HOST_PORT_1);
    ASSERT_EQ(s->wFrameCount, 40);
    sim::TaggedHost& host = PortHost();
    Hold(true);
    std::vector<uint32_t> reads;
    for (uint32_t n = 0; n < 48; ++n) {
        reads.push_back(host.Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, 512 + n * 8, 8), {}, 8 * kBlock)));
    }
    ASSERT_TRUE(host.RunUntil([s] { return s->wOutstanding == s->wFrameCount; }, kSettleLimitNs));
    const uint16_t wEntries = fw::wGetTargetEntriesUsed();
    const uint32_t t = host.Submit(sim::FcpCommand::To(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, {}, 0));
    ASSERT_TRUE(host.RunUntil([wEntries] { return fw::wGetTargetEntriesUsed() == wEntries + 1; }));
    board->RunFor(100'000'000);
    ASSERT_FALSE(host.Finished(t)) << "the status found a frame";
    const sim::FcpResult ra = host.TaskManagement(0, 0x01, static_cast<uint16_t>(t));   // ABORT TASK
    EXPECT_EQ(ra.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(ra.status, 0);
    EXPECT_EQ(host.Wait(t).outcome, sim::FcpResult::Outcome::Aborted);
    Release();
    for (uint32_t r : reads) EXPECT_EQ(host.Wait(r).outcome, sim::FcpResult::Outcome::Done) << "read " << r;
    Settle();
    EXPECT_EQ(ScsiIoc().requestsAfterAbort(), 0u) << "a request went out for the aborted command";
}

// The same shortage, for a write that heads a stream: ABORT TASK while its
// data-out waits for a frame.  The data-out is dropped, not sent once the
// frames come back, and the write's buffer goes back to the IOC.
class StreamHeadAbortedWhileItsDataWaits : public HostRoad, public ::testing::WithParamInterface<HostKind> {
protected:
    void SetUp() override {
        hostKind = GetParam();
        prepareScsiIoc = [](sim::ScsiHostIoc& ioc) { ioc.facts.globalCredits = 40; };
        prepareSasIoc = [](sim::SasTargetIoc& ioc) { ioc.facts.globalCredits = 40; };
        ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
        ASSERT_NO_FATAL_FAILURE(Write(0, 8, 7));
        Settle();
        Hold(true);
        for (uint32_t n = 0; n < 48; ++n) {
            reads.push_back(PortHost().Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, 512 + n * 8, 8), {}, 8 * kBlock)));
        }
        ASSERT_TRUE(PortHost().RunUntil([this] { return fOutOfFrames(); }, kSettleLimitNs));
        const std::vector<uint8_t> lost = Random(8, 8);
        NoteSent(0, lost);
        head = PortHost().Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, 0, 8), lost, 0));
        ASSERT_TRUE(PortHost().RunUntil(fHeadWaitsForData, kSettleLimitNs)) << "the write did not reach its data phase as a stream head";
    }
    bool fOutOfFrames() const {
        if (hostKind == HostKind::Sas) {
            const fw::LSI_SAS_TARGET_IOC* p = fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1);
            return p->wRequestsInUse == p->wRequestFrames;
        }
        const fw::HOST_PORT_MPT_STATE* s = fw::pGetHostPortState(fw::LSI_IOC_HOST_PORT_1);
        return s->wOutstanding == s->wFrameCount;
    }
    // Nothing went to the IOC for the aborted write after its abort.
    uint32_t RequestsAfterAbort() { return hostKind == HostKind::Scsi ? ScsiIoc().requestsAfterAbort() : 0; }
    static bool fHeadWaitsForData() {
        for (uint16_t i = 0; i < fw::HOST_ENTRY_COUNT; ++i) {
            fw::KERNEL_ENTRY* ps = nullptr;
            (void)fw::wGetTargetEntry(i, &ps);
            if (ps != nullptr && ps->fUsed == fw::TRUE && ps->bPrimaryState == fw::HOST_STATE_DATA_OUT &&
                ps->bCommandType == fw::COMMAND_TYPE_STREAM_HEAD) {
                return true;
            }
        }
        return false;
    }
    // ABORT TASK for the head, its data-out still waiting; then the data
    // moves and every read is answered.  (A SAS port answers the abort
    // with a request of its own, which waits for a frame too.)
    void AbortTheHeadAndRelease() {
        board->RunFor(100'000'000);
        ASSERT_TRUE(fOutOfFrames()) << "the data-out found a frame";
        sim::FcpCommand abort;
        abort.taskManagement = 0x01;   // ABORT TASK
        const uint32_t a = PortHost().Submit(abort, static_cast<uint16_t>(head));
        board->RunFor(100'000'000);
        Release();
        // Ended without a status: the SAS port's buffer going back ends its
        // exchange before the abort's answer reaches the host.
        const sim::FcpResult::Outcome o = PortHost().Wait(head).outcome;
        EXPECT_TRUE(o == sim::FcpResult::Outcome::Aborted || o == sim::FcpResult::Outcome::Terminated) << int(o);
        const sim::FcpResult ra = PortHost().Wait(a);
        EXPECT_EQ(ra.outcome, sim::FcpResult::Outcome::Done);
        EXPECT_EQ(ra.status, 0);
        for (uint32_t r : reads) EXPECT_EQ(PortHost().Wait(r).outcome, sim::FcpResult::Outcome::Done) << "read " << r;
    }
    std::vector<uint32_t> reads;
    uint32_t head = 0;
};

// Alone in its stream, none of its bytes reach the drives: its blocks keep
// what they held, and the writes after it are served.
TEST_P(StreamHeadAbortedWhileItsDataWaits, StoresNothingAndSendsNothingLater) {
    ASSERT_NO_FATAL_FAILURE(AbortTheHeadAndRelease());
    Settle();
    EXPECT_EQ(RequestsAfterAbort(), 0u) << "a request went out for the aborted write";
    ExpectRead(0, 8);
    ASSERT_NO_FATAL_FAILURE(Write(8, 8, 9));
    ASSERT_NO_FATAL_FAILURE(Write(0, 8, 10));
    Settle();
    ExpectRead(0, 16);
}

// A write that joined its stream goes on: answered GOOD, its data on the
// drives.
TEST_P(StreamHeadAbortedWhileItsDataWaits, TheWriteBehindItGoesOn) {
    const std::vector<uint8_t> next = Random(8, 11);
    const uint32_t w = PortHost().Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, 8, 8), next, 0));
    ASSERT_NO_FATAL_FAILURE(AbortTheHeadAndRelease());
    const sim::FcpResult r = PortHost().Wait(w);
    EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, 0) << SenseText(r);
    Record(8, next);
    Settle();
    EXPECT_EQ(RequestsAfterAbort(), 0u) << "a request went out for the aborted write";
    ExpectRead(8, 8);
}

INSTANTIATE_TEST_SUITE_P(Hosts, StreamHeadAbortedWhileItsDataWaits, ::testing::Values(HostKind::Sas, HostKind::Scsi),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

// ---- sequential writes become whole stripes -------------------------------

// A host streaming 4 KiB writes, sixteen at a time: they are gathered into
// streams and reach the drives as whole rows, so the parity is computed
// from the new data alone (no drive is read) and every member is written
// once per row.
TEST_F(HostRoad, SequentialFourKilobyteWritesReachTheDrivesAsWholeStripes) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 5, 128}));
    const unsigned rows = 4;
    const uint32_t writes = static_cast<uint32_t>(rows * RowBlocks() / 8);
    WatchDataCommands();
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> inFlight;
    for (uint32_t i = 0; i < writes || !inFlight.empty();) {
        while (i < writes && inFlight.size() < 16) {
            sim::FcpCommand c;
            c.cdb = Cdb(fw::SCSI_WRITE10, uint64_t(i) * 8, 8);
            c.dataOut = Random(8, i);
            inFlight.push_back({road->Submit(c), c.dataOut});
            ++i;
        }
        const sim::FcpResult r = road->Wait(inFlight.front().first);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        ASSERT_EQ(r.status, 0) << SenseText(r);
        inFlight.erase(inFlight.begin());
    }
    for (uint32_t i = 0; i < writes; ++i) Record(uint64_t(i) * 8, Random(8, i));
    Settle();
    ExpectDrivesMatchReference();
    for (unsigned s = 1; s <= spec.bDrives; ++s) {
        EXPECT_EQ(dataCommands[s].reads, 0u) << "slot " << s;
        EXPECT_EQ(dataCommands[s].writes, rows) << "slot " << s;
    }
}

// ---- a drive error --------------------------------------------------------

// A medium error on one child of a RAID 0 read reaches the host as an
// unrecovered read error.  The read's extent joins the array's bad-block list: it
// answers as a known media error until it is written again; the blocks
// around it read as before.
class DriveErrorRoad : public HostRoad, public ::testing::WithParamInterface<HostKind> {
protected:
    void SetUp() override { hostKind = GetParam(); }
};

TEST_P(DriveErrorRoad, ADriveErrorReachesTheHostWithItsSense) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    Write(0, 64, 1);
    Settle();
    chassis->DriveAt(2)->InjectMediaError(3, 1);   // host block 19
    auto Read = [&](uint64_t lba, uint32_t blocks) {
        return road->Send(0, Cdb(fw::SCSI_READ10, lba, blocks), {}, blocks * kBlock);
    };
    auto ExpectMediumError = [](const sim::FcpResult& r, uint8_t bAscq) {
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
        ASSERT_GE(r.sense.size(), 14u);
        EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_MEDIUM_ERROR);
        EXPECT_EQ(r.sense[12], 0x11);
        EXPECT_EQ(r.sense[13], bAscq);
    };
    ExpectMediumError(Read(12, 16), 0x01);
    Settle();
    // The extent is served from the list once the configuration holds it.
    board->RunUntil([] { return fw::pGetBadBlockTables()->awRankBadBlockCount[0] != 0; }, kSettleLimitNs);
    ExpectMediumError(Read(14, 2), 0x01);
    ExpectRead(0, 12);
    ExpectRead(28, 36);
    // Written again (the drive reallocates the block), the extent reads.
    chassis->DriveAt(2)->ClearMediaErrors();
    Write(12, 16, 2);
    Settle();
    ExpectRead(0, 64);
    ExpectDrivesMatchReference();
}
INSTANTIATE_TEST_SUITE_P(Hosts, DriveErrorRoad, ::testing::Values(HostKind::Fc, HostKind::Sas, HostKind::Scsi),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

// ---- task management through a SAS or parallel SCSI host port -------------

// Two hosts on the port, each with a read whose data the port holds back,
// so that task management finds them in flight.  The function codes are
// the same in a SAS TASK frame and in the parallel SCSI task flags.
class TaskRoad : public HostRoad, public ::testing::WithParamInterface<HostKind> {
protected:
    static constexpr uint8_t kAbortTask = 0x01;
    static constexpr uint8_t kAbortTaskSet = 0x02;
    static constexpr uint8_t kLogicalUnitReset = 0x08;
    static constexpr uint64_t kOtherAddress = kSasHostAddress + 1;
    static constexpr uint8_t kOtherScsiId = kScsiHostId - 1;

    void SetUp() override { hostKind = GetParam(); }
    // The second host, logged in to the first port.
    void LogInSecondHost() {
        if (hostKind == HostKind::Sas) {
            auto h = std::make_unique<sim::SasHost>(*board, *board->sasTargetIoc(), 0, kOtherAddress);
            ASSERT_TRUE(h->LogIn());
            other = std::move(h);
        } else {
            auto h = std::make_unique<sim::ScsiHost>(*board, ScsiIoc(), kOtherScsiId);
            ASSERT_TRUE(h->LogIn());
            other = std::move(h);
        }
    }
    void BootWithSecondHost() {
        ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
        ASSERT_NO_FATAL_FAILURE(LogInSecondHost());
        // Its first command collects the unit attention of its arrival.
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = other->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
            if (r.outcome == sim::FcpResult::Outcome::Done && r.status == 0) break;
        }
        ASSERT_EQ(r.status, 0) << SenseText(r);
    }
    sim::TaggedHost& First() { return PortHost(); }
    size_t OpenExchanges() {
        return hostKind == HostKind::Sas ? board->sasTargetIoc()->openExchanges() : ScsiIoc().openExchanges();
    }
    // A read of host h held at its data.
    uint32_t HeldRead(sim::TaggedHost& h, uint64_t lba) {
        Hold(true);
        const size_t held = Held();
        const uint32_t tag = h.Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, lba, 1), {}, kBlock));
        EXPECT_TRUE(h.RunUntil([this, held] { return Held() == held + 1; }));
        return tag;
    }
    // The target ended it without an answer.
    static bool Unanswered(const sim::FcpResult& r) {
        return r.outcome == sim::FcpResult::Outcome::Terminated || r.outcome == sim::FcpResult::Outcome::Aborted;
    }
    std::unique_ptr<sim::TaggedHost> other;
};

// ABORT TASK SET ends the sender's commands on the unit and leaves the
// other host's alone.
TEST_P(TaskRoad, AbortTaskSetEndsOnlyTheSendersCommands) {
    ASSERT_NO_FATAL_FAILURE(BootWithSecondHost());
    const uint32_t a1 = HeldRead(First(), 8);
    const uint32_t a2 = HeldRead(First(), 16);
    const uint32_t b = HeldRead(*other, 24);
    EXPECT_EQ(First().TaskManagement(0, kAbortTaskSet).status, 0);
    EXPECT_TRUE(Unanswered(First().Wait(a1)));
    EXPECT_TRUE(Unanswered(First().Wait(a2)));
    EXPECT_FALSE(other->Finished(b));
    Release();
    const sim::FcpResult r = other->Wait(b);
    EXPECT_EQ(r.status, 0) << SenseText(r);
    EXPECT_EQ(r.dataIn.size(), kBlock);
    Settle();
    EXPECT_EQ(OpenExchanges(), 0u);
}

// LOGICAL UNIT RESET ends every command on the unit, whoever sent it,
// releases the unit's reservation and gives its hosts a unit attention.
TEST_P(TaskRoad, LogicalUnitResetEndsEveryCommandAndReleasesTheReservation) {
    ASSERT_NO_FATAL_FAILURE(BootWithSecondHost());
    ASSERT_EQ(road->Send(0, {fw::SCSI_RESERVE6, 0, 0, 0, 0, 0}).status, 0);
    EXPECT_EQ(other->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock).status, fw::SCSI_STATUS_RESERVATION_CONFLICT);
    const uint32_t a = HeldRead(First(), 8);
    EXPECT_EQ(other->TaskManagement(0, kLogicalUnitReset).status, 0);
    EXPECT_TRUE(Unanswered(First().Wait(a)));
    Release();
    // Each host hears of the reset once; the reservation is gone.
    for (sim::TaggedHost* h : {&First(), other.get()}) {
        const sim::FcpResult ua = h->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
        EXPECT_EQ(ua.status, fw::SCSI_STATUS_CHECK_CONDITION);
        ASSERT_GE(ua.sense.size(), 14u);
        EXPECT_EQ(ua.sense[2] & 0x0F, fw::SENSE_UNIT_ATTENTION);
        EXPECT_EQ(ua.sense[12], 0x29);
        const sim::FcpResult r = h->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
        EXPECT_EQ(r.status, 0) << SenseText(r);
    }
    Settle();
    EXPECT_EQ(OpenExchanges(), 0u);
}
// ABORT TASK that meets a write whose data has just come in (the port let
// the data go as the abort arrived): the write ends, answered or not, the
// abort is answered, and nothing of it is left at the port.  The blocks
// hold the old data or the new, whole.
TEST_P(TaskRoad, AnAbortMeetingAWriteWhoseDataCameInEndsIt) {
    ASSERT_NO_FATAL_FAILURE(BootWithSecondHost());
    ASSERT_NO_FATAL_FAILURE(Write(40, 8, 1));
    const std::vector<uint8_t> data = Random(8, 2);
    Hold(true);
    const size_t held = Held();
    const uint32_t w = First().Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_WRITE10, 40, 8), data, 0));
    ASSERT_TRUE(First().RunUntil([this, held] { return Held() == held + 1; }));
    Release();
    sim::FcpCommand abort;
    abort.taskManagement = kAbortTask;
    const uint32_t a = First().Submit(abort, static_cast<uint16_t>(w));
    const sim::FcpResult ra = First().Wait(a);
    EXPECT_EQ(ra.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(ra.status, 0);
    const sim::FcpResult rw = First().Wait(w);
    ASSERT_NE(rw.outcome, sim::FcpResult::Outcome::Pending) << "the write was never ended";
    if (rw.outcome == sim::FcpResult::Outcome::Done && rw.status == 0) Record(40, data);
    Settle();
    EXPECT_EQ(OpenExchanges(), 0u);
    const sim::FcpResult r = First().Send(0, Cdb(fw::SCSI_READ10, 40, 8), {}, 8 * kBlock);
    ASSERT_EQ(r.status, 0) << SenseText(r);
    const std::vector<uint8_t> old = Random(8, 1);
    EXPECT_TRUE(r.dataIn == old || r.dataIn == data) << "a torn or lost write";
}
INSTANTIATE_TEST_SUITE_P(Hosts, TaskRoad, ::testing::Values(HostKind::Sas, HostKind::Scsi),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

class SasTaskRoad : public TaskRoad {
protected:
    void SetUp() override { hostKind = HostKind::Sas; }
};

// A SAS host that leaves loses its I_T nexus and with it its reservation:
// the other host is no longer locked out of the unit.
TEST_F(SasTaskRoad, AHostThatLeavesGivesUpItsReservation) {
    ASSERT_NO_FATAL_FAILURE(BootWithSecondHost());
    ASSERT_EQ(road->Send(0, {fw::SCSI_RESERVE6, 0, 0, 0, 0, 0}).status, 0);
    EXPECT_EQ(other->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock).status, fw::SCSI_STATUS_RESERVATION_CONFLICT);
    sasHost->LogOut();
    ASSERT_TRUE(other->RunUntil([] {
        uint8_t bPort = 0, fOnBehalf = 0, bController = 0;
        uint16_t wHolder = 0, wFor = 0;
        return fw::bGetScsi2Reservation(0, &bPort, &wHolder, &fOnBehalf, &wFor, &bController) == fw::SCSI2_NOT_RESERVED;
    }));
    const sim::FcpResult r = other->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
    EXPECT_EQ(r.status, 0) << SenseText(r);
    Settle();
    EXPECT_EQ(OpenExchanges(), 0u);
}

// A mapping names a SAS host by its address, a parallel SCSI host by its
// SCSI id: that host sees the logical drive at the mapping's LUN and
// nothing else, while another host on the port sees the drive at its
// default LUN.
TEST_P(TaskRoad, AMappingAppliesToTheHostItNamesOnly) {
    spec = {"Raid0", fw::RAID_LEVEL_0, 4, 16};
    std::vector<uint8_t> ab = Configuration(spec);
    fw::CONFIG_IMAGE* psImage = copytest::Image(ab);
    psImage->sHeader.wSanMapCount = 1;
    fw::SAN_LUN_MAP_ENTRY& sMap = psImage->asSanMap[0];
    sMap = {};
    if (hostKind == HostKind::Sas) {
        fw::PutBe64(sMap.abPortWwn, kOtherAddress);
    } else {
        sMap.abNodeWwn[0] = kOtherScsiId;
    }
    for (uint16_t& w : sMap.awLunMap) w = 0xFFFF;
    constexpr uint16_t kMappedLun = 3;
    sMap.awLunMap[kMappedLun] = 0x4000 | 0x2000;   // logical drive 0 on both ports of this controller
    copytest::Seal(ab);
    for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(LogInSecondHost());
    sim::TaggedHost& mapped = *other;
    const auto Read = [this](sim::TaggedHost& h, uint16_t lun) {
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = h.Send(lun, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
            if (r.status != fw::SCSI_STATUS_CHECK_CONDITION || r.sense.size() < 14 ||
                (r.sense[2] & 0x0F) != fw::SENSE_UNIT_ATTENTION) {
                break;
            }
        }
        return r;
    };
    const auto NoUnit = [](const sim::FcpResult& r) {
        return r.status == fw::SCSI_STATUS_CHECK_CONDITION && r.sense.size() >= 14 && r.sense[12] == 0x25;
    };
    EXPECT_EQ(Read(mapped, kMappedLun).status, fw::SCSI_STATUS_GOOD);
    EXPECT_TRUE(NoUnit(Read(mapped, 0))) << "a mapped host sees no default LUN";
    EXPECT_EQ(Read(First(), 0).status, fw::SCSI_STATUS_GOOD);
    EXPECT_TRUE(NoUnit(Read(First(), kMappedLun)));
    Settle();
    EXPECT_EQ(OpenExchanges(), 0u);
}

// ---- a SAS port's settings ---------------------------------------------------

// The phy-disable masks and rates the drives' configuration holds reach the
// IOC's SAS IO unit page 1 at start-up: the first port's phys link at
// 1.5 Gb/s only, the second port's are off, and a host cabled to it finds
// no link while the first port serves.
TEST_F(HostRoad, SasPortSettingsOnTheDrivesReachTheIocAtStartUp) {
    hostKind = HostKind::Sas;
    spec = {"Raid0", fw::RAID_LEVEL_0, 4, 16};
    std::vector<uint8_t> ab = Configuration(spec);
    fw::CONFIG_HEADER& h = copytest::Image(ab)->sHeader;
    h.abPortConnection[1] = 0x0F;   // every phy of the second port off
    h.abPortDataRate[0] = 1;        // the first port at 1.5 Gb/s only
    h.abPortDataRate[1] = 2;        // the second at 3 Gb/s only
    copytest::Seal(ab);
    for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
    ASSERT_NO_FATAL_FAILURE(Start());
    sim::SasTargetIoc& ioc = *board->sasTargetIoc();
    for (uint8_t phy = 0; phy < 8; ++phy) {
        EXPECT_EQ(ioc.PhyFlags(phy), phy < 4 ? 0x00 : 0x04) << int(phy);
        EXPECT_EQ(ioc.PhyRates(phy), phy < 4 ? 0x88 : 0x99) << int(phy);
    }
    EXPECT_EQ(ioc.NegotiatedRate(0), fw::MPI_SAS_LINK_RATE_1_5);
    sim::SasHost second(*board, ioc, 1, kSasHostAddress + 1);
    EXPECT_FALSE(second.LogIn(2'000'000'000ull));
    EXPECT_EQ(fw::fIsSASTargetPortLinkUp(fw::PORT_CODE_SAS_HOST_2), fw::FALSE);
    EXPECT_EQ(second.Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock).outcome, sim::FcpResult::Outcome::Rejected);
    ASSERT_NO_FATAL_FAILURE(Write(0, 16, 5));
    ExpectRead(0, 16);
    Settle();
    // The interface dump's connection options show the same (run last:
    // the processor runs only this from here on, so the console log is
    // drained here, a burst at a time, rather than by the main loop).
    const size_t dShown = board->ConsoleText().size();
    ASSERT_EQ(board->RunOnCpu([] {
        fw::ShowSASPortConnectionOptions();
        for (int i = 0; i < 4096; ++i) fw::DrainConsoleLog();
    }), sim::StopKind::Finished);
    std::string shown = board->ConsoleText().substr(dShown);
    std::erase(shown, '\r');
    EXPECT_EQ(shown,
              "Controller Port 0 Connection Options: \n"
              "    PHY 0: Enabled\n    PHY 1: Enabled\n    PHY 2: Enabled\n    PHY 3: Enabled\n"
              "Controller Port 0 Data Rate:          1.5 Gb/s\n"
              "Controller Port 1 Connection Options: \n"
              "    PHY 4: Disabled\n    PHY 5: Disabled\n    PHY 6: Disabled\n    PHY 7: Disabled\n"
              "Controller Port 1 Data Rate:          3 Gb/s\n");
}

// ---- a parallel SCSI port's settings ----------------------------------------

// The port's SCSI id, rate and packetized option as the settings hold them
// reach its SCSI pages whenever its IOC is initialised, as at start-up;
// the port then serves on.
TEST_F(HostRoad, ScsiPortSettingsReachItsPagesWhenItIsInitialisedAgain) {
    hostKind = HostKind::Scsi;
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid0", fw::RAID_LEVEL_0, 4, 16}));
    sim::ScsiHostIoc& ioc = *sim::FindScsiHostIoc(*board, 0);
    fw::CONFIG_HEADER& h = fw::pGetConfigImage()->sHeader;
    h.abPortHardAddress[0] = h.abPortHardAddress[2] = 3;
    h.abPortDataRate[0] = 0;
    h.afPortOptionB[0] = fw::FALSE;
    (void)fw::ApplyStoredSettings(fw::FALSE, fw::FALSE);
    fw::ResetHostPortUnderHosts(fw::LSI_IOC_HOST_PORT_1);
    ASSERT_EQ(fw::bGetHostPortHardAddress(fw::LSI_IOC_HOST_PORT_1), 3);
    ASSERT_EQ(fw::bGetHostPortSpeedSetting(fw::LSI_IOC_HOST_PORT_1), 0);
    ASSERT_EQ(fw::fGetHostPortOptionB(fw::LSI_IOC_HOST_PORT_1), fw::FALSE);
    ASSERT_EQ(board->RunUntil([] { return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; },
                              kSettleLimitNs),
              sim::StopKind::Running);
    ASSERT_EQ(fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1), fw::FALSE);
    ASSERT_EQ(fw::fIsHostPortInitialised(fw::LSI_IOC_HOST_PORT_1), fw::TRUE);
    EXPECT_EQ(ioc.PortPage1().dConfiguration, 3u | 1u << 19);
    for (uint8_t id = 0; id < fw::SCSI_HOST_IDS; ++id) {
        const uint32_t d = ioc.DevicePage1(id).dRequestedParameters;
        EXPECT_EQ((d >> 8) & 0xFF, 0x0Au) << int(id);
        EXPECT_EQ(d & fw::SCSI_PARAMETERS_PACKETIZED, 0u) << int(id);
    }
    // The reset's unit attention, then the data as before.
    sim::FcpResult r;
    for (int i = 0; i < 4; ++i) {
        r = road->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
        if (r.outcome == sim::FcpResult::Outcome::Done && r.status == 0) break;
    }
    EXPECT_EQ(r.status, 0) << SenseText(r);
    Write(0, 16, 7);
    ExpectRead(0, 16);
    Settle();
    // The information menus read the rate a wide bus at that period gives
    // (run last: the processor runs only this from here on).
    uint8_t bRate = 0;
    ASSERT_EQ(board->RunOnCpu([&] { bRate = fw::bGetHostPortTransferRate(fw::LSI_IOC_HOST_PORT_1); }),
              sim::StopKind::Finished);
    EXPECT_EQ(bRate, 5);
}

// ---- a restart on the data directory ------------------------------------

TEST_F(RestartRoad, RestartedOnItsDataDirectoryItServesWhatWasWritten) {
    ASSERT_NO_FATAL_FAILURE(CreateThroughEdits({"Raid5", fw::RAID_LEVEL_5, 4, 128}));
    WriteSome(16, 500);
    Settle();
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_EQ(harness::NewestEvent(kCachedDataLost), nullptr);
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8));
    ExpectDrivesMatchReference();
    // And it goes on taking writes.
    WriteSome(8, 700);
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8), true);
}

// With the cache battery flat the data banks power on holding garbage:
// writes still in the cache at the cut are reported lost, and nothing of
// them (no stale buffer, no garbage) reaches the drives.  Their journal
// slots are free again: hundreds of later commands over the same range,
// through every host entry those writes had, are all answered, after this
// start and the next.
TEST_F(RestartRoad, CachedWritesLostWithTheBanksAreReportedAndNothingIsWritten) {
    boardConfig.cacheBatteryCharged = false;
    ASSERT_NO_FATAL_FAILURE(CreateThroughEdits({"Raid5", fw::RAID_LEVEL_5, 4, 128}));
    WriteSome(16, 500);
    Settle();
    const auto onDrives = reference;
    Write(3, 40, 600);
    Write(RowBlocks() * 2 + 5, 17, 601, true);
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    EXPECT_NE(harness::NewestEvent(kCachedDataLost), nullptr);
    reference = onDrives;
    touchedRows.clear();
    for (const auto& [x, block] : reference) touchedRows.insert(RowOf(x));
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8));
    Settle();
    ExpectDrivesMatchReference();
    for (int pass = 0; pass < 2; ++pass) {
        std::mt19937 rng(800 + pass);
        for (uint32_t i = 0; i < 300; ++i) {
            const uint32_t blocks = 1 + rng() % 64;
            const uint64_t lba = rng() % (RowBlocks() * 8 - blocks);
            SCOPED_TRACE("command " + std::to_string(i) + " after start " + std::to_string(pass + 1));
            if (i % 3 == 2) {
                ASSERT_NO_FATAL_FAILURE(ExpectRead(lba, blocks));
            } else {
                ASSERT_NO_FATAL_FAILURE(Write(lba, blocks, 900 + i));
            }
        }
        Settle();
        ExpectDrivesMatchReference();
        EXPECT_EQ(ValidJournalSlots(), 0u);
        if (pass == 0) {
            ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
        }
    }
}

// ---- members missing ---------------------------------------------------

struct DegradedCase {
    ArraySpec array;
    std::vector<unsigned> pulled;   // slots
};

class DegradedRoad : public HostRoad, public ::testing::WithParamInterface<DegradedCase> {};

// Written whole, then the controller starts again without some members:
// every read returns the reference (rebuilt from the survivors), writes
// made degraded leave the survivors so that reads still return them.
TEST_P(DegradedRoad, ReadsAndWritesWithMembersMissing) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam().array));
    const uint64_t span = RowBlocks() * 4;
    std::mt19937 rng(11);
    for (uint32_t i = 0; i < 12; ++i) {
        const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
        Write(rng() % (span - blocks), blocks, 300 + i);
    }
    Settle();
    ExpectDrivesMatchReference();
    ASSERT_NO_FATAL_FAILURE(Restart(GetParam().pulled));
    EXPECT_NE(fw::pGetRankRecord(0)->bRankState, fw::RANK_STATE_OPTIMAL);
    ExpectRead(0, static_cast<uint32_t>(span));
    for (uint32_t i = 0; i < 12; ++i) {
        const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
        Write(rng() % (span - blocks), blocks, 400 + i, true);
    }
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, static_cast<uint32_t>(span), true);
    Settle();
}

const DegradedCase kDegraded[] = {
    {{"Raid1", fw::RAID_LEVEL_10, 2, 16}, {1}},
    {{"Raid10", fw::RAID_LEVEL_10, 6, 16}, {2, 5}},
    {{"Raid5", fw::RAID_LEVEL_5, 4, 16}, {3}},
    {{"Raid50", fw::RAID_LEVEL_50, 6, 16, 2}, {1, 6}},
    {{"Raid6OneMissing", fw::RAID_LEVEL_6, 5, 16}, {4}},
    {{"Raid6TwoMissing", fw::RAID_LEVEL_6, 6, 16}, {2, 3}},
};
INSTANTIATE_TEST_SUITE_P(Members, DegradedRoad, ::testing::ValuesIn(kDegraded),
                         [](const auto& info) { return std::string(info.param.array.pszName); });

}  // namespace
