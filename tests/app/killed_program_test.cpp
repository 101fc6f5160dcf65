// The controller program killed outright (SIGKILL: nothing of it runs any
// more, as in a power cut with the cache battery charged) while a host
// streams write-back writes over iSCSI, then started again on the same data
// directory: every write the host saw answered GOOD reads back, the cache
// is replayed (events 99, 100) rather than reported lost (101), and once it
// is on the drives every member holds what the layout model says.  Killed
// in the middle of a rebuild onto a hot spare, the next run goes on with the
// rebuild and ends it with the spare as the member.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "hw/scsi.h"
#include "harness/iscsi_remote_host.h"
#include "raid/raid_reference.h"
#include "sim/chassis.h"
#include "system/road_config.h"

namespace {

using iscsitest::RemoteHost;
using sim::iscsi::Pdu;
namespace iscsi = sim::iscsi;

constexpr uint32_t kBlock = 512;
constexpr uint64_t kDriveBytes = 64ull << 20;
constexpr unsigned kDrives = 4;
constexpr const char* kTarget = "iqn.2026-12.sim.array-controller:port1";
constexpr int kFlushStarted = 99, kFlushCompleted = 100, kCachedDataLost = 101;

const roadtest::ArraySpec kArray{"Raid5", fw::RAID_LEVEL_5, kDrives, 64, 0, true, 3 * 32768};

class KilledProgram : public apptest::ProgramTest {
protected:
    std::string Data() const { return m_dir + "/data"; }
    std::vector<std::string> Options() const {
        return {"--data-dir", Data(), "--drives", std::to_string(drives), "--drive-size", std::to_string(kDriveBytes),
                "--console-in", "/dev/null"};
    }
    // Four drives holding a RAID 5 array, write-back, with one logical
    // drive over it at LUN 0 of every host port.
    // The drives of the data directory, as files.
    sim::ChassisOptions Drives() const {
        sim::ChassisOptions o;
        o.drives = drives;
        o.driveBytes = kDriveBytes;
        o.directory = Data();
        return o;
    }
    void MakeArray() {
        sim::Chassis chassis(Drives());
        const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
        const std::vector<uint8_t> copy = roadtest::RoadConfiguration(chassis, kArray, own);
        for (unsigned s = 1; s <= kDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), copy);
    }
    // The program with its portal, and a host logged in past its unit
    // attention.
    void Start() {
        std::vector<std::string> options = Options();
        options.insert(options.end(), {"--iscsi", "127.0.0.1:0"});
        program = std::make_unique<apptest::RunningController>(options, m_dir);
        const uint16_t port = program->PortalPort();
        ASSERT_NE(port, 0) << program->Errors();
        ASSERT_TRUE(program->WaitForConsole("Initialization Complete")) << program->Errors();
        // Until the host ports are up a login is refused; an initiator asks
        // again.
        for (int i = 0; i < 50 && !host; ++i) {
            host = Session(port);
            if (!host) program->Errors(100);
        }
        ASSERT_TRUE(host) << program->Errors();
    }
    static std::unique_ptr<RemoteHost> Session(uint16_t port) {
        auto h = std::make_unique<RemoteHost>(port);
        if (!h->connected || !h->LogInNormal({}, kTarget)) {
            return nullptr;
        }
        for (int i = 0; i < 3; ++i) {
            h->Send(h->Command(0x81, {0, 0, 0, 0, 0, 0}, 0));
            const Pdu r = h->Next();
            if (r.opcode() == iscsi::kScsiResponse && r.bhs[3] == 0) return h;
        }
        return nullptr;
    }

    // Writes of 1 to 128 blocks at random places, one after the other,
    // each recorded once answered GOOD; after `count` of them the next is
    // sent (its data not all) and the program is killed while it is open.
    void WriteThenKill(std::mt19937& rng, unsigned count) {
        for (unsigned i = 0; i <= count; ++i) {
            const uint32_t blocks = 1 + rng() % 128;
            const uint32_t lba = uint32_t(rng() % (kArray.lBlocks - blocks));
            std::vector<uint8_t> data(blocks * kBlock);
            for (uint8_t& b : data) b = uint8_t(rng());
            if (i == count) {
                // The command and what fits in its first burst; the rest is
                // never sent.
                open = {lba, data};
                host->Send(host->Command(0x21, iscsitest::Rw10(0x2A, lba, uint16_t(blocks)), uint32_t(data.size()),
                                         std::vector<uint8_t>(data.begin(), data.begin() + std::min<size_t>(data.size(), 4096))));
                break;
            }
            const Pdu r = host->Write(iscsitest::Rw10(0x2A, lba, uint16_t(blocks)), data, 0);
            ASSERT_EQ(r.opcode(), iscsi::kScsiResponse) << program->Errors();
            ASSERT_EQ(r.bhs[3], 0) << "write " << lba << "+" << blocks;
            for (uint32_t b = 0; b < blocks; ++b) {
                reference[lba + b].assign(data.begin() + b * kBlock, data.begin() + (b + 1) * kBlock);
            }
        }
        program->Kill();
        host.reset();
    }

    // Every block written reads back as its last write answered GOOD left
    // it; the blocks of the write still open hold that or what it sent (or
    // their old zeros, where nothing else was written), and are taken as
    // they read from now on.
    void ExpectReadBack() {
        for (uint64_t b = 0; b < open.data.size() / kBlock; ++b) reference.try_emplace(open.lba + b, kBlock, 0);
        for (auto it = reference.begin(); it != reference.end();) {
            // A run of neighbouring blocks in one read.
            const uint64_t first = it->first;
            uint32_t n = 0;
            for (auto j = it; j != reference.end() && j->first == first + n && n < 128; ++j) ++n;
            std::vector<uint8_t> data;
            ASSERT_EQ(host->Read(iscsitest::Rw10(0x28, uint32_t(first), uint16_t(n)), n * kBlock, &data).bhs[3], 0)
                << first;
            ASSERT_EQ(data.size(), n * kBlock);
            for (uint32_t i = 0; i < n; ++i, ++it) {
                const uint64_t lba = first + i;
                const auto got = data.begin() + i * kBlock;
                if (std::equal(got, got + kBlock, it->second.begin())) continue;
                ASSERT_TRUE(IsOpenWriteOf(lba, got)) << "block " << lba << " lost what was written to it";
                it->second.assign(got, got + kBlock);
            }
        }
        open = {};
    }

    // Whether a block holds what the write still open at the kill sent it.
    template <typename It>
    bool IsOpenWriteOf(uint64_t lba, It block) const {
        return lba >= open.lba && lba < open.lba + open.data.size() / kBlock &&
               std::equal(block, block + kBlock, open.data.begin() + (lba - open.lba) * kBlock);
    }

    // The members against the layout model: each row's data chunks hold
    // what the host wrote (zeros elsewhere), and its parity their XOR; the
    // rows written, or every row.  A member may be in another slot.
    void ExpectMembersMatchLayout(bool fEveryRow = false, const std::map<unsigned, unsigned>& moved = {}) {
        sim::Chassis chassis(Drives());
        const raidref::ParityRank layout{kDrives, 1, kArray.wChunk};
        std::map<uint64_t, bool> rows;
        for (const auto& [lba, want] : reference) rows[lba / layout.RowBlocks()] = true;
        for (uint64_t b = 0; b < open.data.size() / kBlock; ++b) rows[(open.lba + b) / layout.RowBlocks()] = true;
        for (uint64_t r = 0; fEveryRow && r < kArray.lBlocks / layout.RowBlocks(); ++r) rows[r] = true;
        const uint32_t S = kArray.wChunk;
        for (const auto& [row, unused] : rows) {
            std::vector<std::vector<uint8_t>> member(kDrives, std::vector<uint8_t>(S * kBlock));
            for (unsigned m = 0; m < kDrives; ++m) {
                const auto it = moved.find(m);
                chassis.DriveAt(it == moved.end() ? m + 1 : it->second)->ReadBlocks(row * S, S, member[m].data());
            }
            for (uint64_t x = row * layout.RowBlocks(); x < (row + 1) * layout.RowBlocks(); ++x) {
                const raidref::Place p = layout.Data(x);
                auto it = reference.find(x);
                const std::vector<uint8_t> want = it == reference.end() ? std::vector<uint8_t>(kBlock, 0) : it->second;
                const auto got = member[p.member].begin() + (p.block % S) * kBlock;
                ASSERT_TRUE(std::equal(want.begin(), want.end(), got) || IsOpenWriteOf(x, got))
                    << "block " << x << " on member " << p.member;
            }
            std::vector<uint8_t> parity(S * kBlock, 0);
            for (unsigned m : layout.DataMembers(row, 0))
                for (size_t i = 0; i < parity.size(); ++i) parity[i] ^= member[m][i];
            ASSERT_TRUE(parity == member[layout.ParityMember(row, 0)]) << "parity of row " << row;
        }
    }

    struct OpenWrite {
        uint64_t lba = 0;
        std::vector<uint8_t> data;
    };
    unsigned drives = kDrives;
    std::unique_ptr<apptest::RunningController> program;
    std::unique_ptr<RemoteHost> host;
    std::map<uint64_t, std::vector<uint8_t>> reference;
    OpenWrite open;
};

// Two runs killed at different points of a stream of writes, the second
// reading everything back first; then a run of its own puts the cache the
// kill left on the drives, and the drives are read as files.
TEST_F(KilledProgram, EveryWriteAnsweredGoodSurvivesAKill) {
    MakeArray();
    std::mt19937 rng(2026);
    for (unsigned run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_NO_FATAL_FAILURE(Start());
        if (run > 0) {
            ASSERT_NO_FATAL_FAILURE(ExpectReadBack());
        }
        ASSERT_NO_FATAL_FAILURE(WriteThenKill(rng, 40 + rng() % 120));
    }
    // A virtual-time run with no host: the start of day flushes what the
    // kill left in the cache, and nothing else happens.
    std::vector<std::string> options = Options();
    options.insert(options.end(), {"--virtual-time", "--stop-after", "20000"});
    const apptest::ProgramRun last = apptest::RunController(options);
    ASSERT_EQ(last.status, 0) << last.errors;
    const std::vector<int> events = apptest::LoggedEventsIn(Data());
    EXPECT_EQ(std::count(events.begin(), events.end(), kCachedDataLost), 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), kFlushStarted), 2) << "a kill left nothing in the cache";
    EXPECT_EQ(std::count(events.begin(), events.end(), kFlushCompleted), 2);
    ASSERT_NO_FATAL_FAILURE(ExpectMembersMatchLayout());
}

// The controller program killed while it rebuilds a member onto the hot
// spare, then started again: the rebuild goes on from where the progress
// record in NVRAM left it (event 50) and ends with every member, the spare
// that is now one, as the layout model says.
class KilledRebuild : public KilledProgram {
protected:
    static constexpr unsigned kMember = 1, kSpareSlot = kDrives + 1;
    static constexpr uint32_t kNvRebuildSelector = 0x300, kNvRebuildInProgress = 0x301, kNvRebuildCopy = 0x302;
    KilledRebuild() { drives = kDrives + 1; }

    // The array with a global hot spare and Auto Rebuild on; a row in every
    // eight holds data, the rest zeros, and the spare holds what no member
    // would, so that each row it is rebuilt into is seen.
    void MakeArrayWithSpare() {
        sim::Chassis chassis(Drives());
        const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
        std::vector<uint8_t> copy = roadtest::RoadConfiguration(chassis, kArray, own);
        fw::CONFIG_IMAGE* ps = copytest::Image(copy);
        ps->sHeader.fAutoRebuild = fw::TRUE;
        ps->sHeader.wSpareCount = 1;
        const auto w = roadtest::DriveWwn(chassis, kSpareSlot);
        std::memcpy(ps->asSpare[0].abWwn, w.data(), 8);
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        copytest::Seal(copy);
        for (unsigned s = 1; s <= kSpareSlot; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), copy);

        const raidref::ParityRank layout{kDrives, 1, kArray.wChunk};
        const uint32_t S = kArray.wChunk;
        std::mt19937 rng(33);
        for (uint64_t row = 0; row < kArray.lBlocks / layout.RowBlocks(); row += 8) {
            std::vector<std::vector<uint8_t>> member(kDrives, std::vector<uint8_t>(S * kBlock, 0));
            for (uint64_t x = row * layout.RowBlocks(); x < (row + 1) * layout.RowBlocks(); ++x) {
                std::vector<uint8_t>& block = reference[x];
                block.resize(kBlock);
                for (uint8_t& b : block) b = uint8_t(rng());
                const raidref::Place p = layout.Data(x);
                std::copy(block.begin(), block.end(), member[p.member].begin() + (p.block % S) * kBlock);
            }
            std::vector<uint8_t>& parity = member[layout.ParityMember(row, 0)];
            for (unsigned m : layout.DataMembers(row, 0))
                for (size_t i = 0; i < parity.size(); ++i) parity[i] ^= member[m][i];
            for (unsigned m = 0; m < kDrives; ++m) chassis.DriveAt(m + 1)->WriteBlocks(row * S, S, member[m].data());
        }
        const std::vector<uint8_t> junk(S * kBlock, 0xA5);
        for (uint64_t b = 0; b < kArray.lBlocks / (kDrives - 1); b += S)
            chassis.DriveAt(kSpareSlot)->WriteBlocks(b, S, junk.data());
    }
    // The rebuild's progress as the NVRAM file holds it: in progress, and
    // the first member block not yet rebuilt and the last one.
    bool Progress(uint32_t* pdPosition, uint32_t* pdEnd) const {
        std::ifstream in(Data() + "/nvram.bin", std::ios::binary);
        std::vector<uint8_t> nv(0x400);
        if (!in.read(reinterpret_cast<char*>(nv.data()), std::streamsize(nv.size()))) return false;
        const uint8_t* pb = nv.data() + kNvRebuildCopy + (nv[kNvRebuildSelector] == fw::TRUE ? 0 : 64);
        *pdPosition = fw::dGetBe32(pb + 45);
        *pdEnd = fw::dGetBe32(pb + 49);
        return nv[kNvRebuildInProgress] == fw::TRUE;
    }
};

TEST_F(KilledRebuild, TheRebuildGoesOnAfterAKillAndEndsWhole) {
    ASSERT_NO_FATAL_FAILURE(MakeArrayWithSpare());
    const std::string kPulled = std::to_string(kMember + 1) + ":pull@0";
    std::vector<std::string> options = Options();
    options.insert(options.end(), {"--drive-fault", kPulled});
    program = std::make_unique<apptest::RunningController>(options, m_dir);
    // Killed once a quarter of the member is rebuilt, well before its end.
    uint32_t dPosition = 0, dEnd = 0;
    bool fMidway = false;
    for (int i = 0; i < 600000 && !fMidway && program->Alive(); ++i) {
        fMidway = Progress(&dPosition, &dEnd) && dPosition > dEnd / 4;
        if (!fMidway) usleep(100);
    }
    program->Kill();
    ASSERT_TRUE(fMidway) << program->Errors();
    // How far past the quarter it ran depends on how soon this test saw
    // it, which a busy machine delays; only its end must not have come.
    ASSERT_LT(dPosition, dEnd) << "the rebuild ended before the kill";

    std::vector<std::string> again = Options();
    again.insert(again.end(), {"--drive-fault", kPulled, "--virtual-time", "--stop-after", "300000"});
    const apptest::ProgramRun run = apptest::RunController(again);
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::vector<int> events = apptest::LoggedEventsIn(Data());
    EXPECT_EQ(std::count(events.begin(), events.end(), 48), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), 50), 1) << "not resumed";
    EXPECT_EQ(std::count(events.begin(), events.end(), 49), 1) << "never ended";
    EXPECT_FALSE(Progress(&dPosition, &dEnd));
    ASSERT_NO_FATAL_FAILURE(ExpectMembersMatchLayout(true, {{kMember, kSpareSlot}}));
}

}  // namespace
