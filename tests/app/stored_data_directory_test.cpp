// A data directory an earlier build of the program wrote (the 32-bit one,
// whose firmware ran under the user-mode emulator) starts under this build
// and serves every block as it was written: its drive images, NVRAM, data
// bank and board state are files users keep, and nothing of them may read
// differently once the program is built for another processor.
//
// stored_data_directory.tar.xz holds it: eleven sparse drives of 64 MiB,
// a RAID 5 array of three, a RAID 6 array of four and a RAID 10 array of
// four, one logical drive of 4096 blocks over each at LUNs 0, 1 and 2.
// The maker placed a first configuration copy on the drives; the earlier
// build loaded it and committed the configuration again itself (it renamed
// the arrays through in-band management), wrote every block of the three
// logical drives with its pattern, wrote some blocks once more and was
// killed at once, with the cache battery charged: those writes were
// answered GOOD and were still in the write-back cache.
//
// Made again by hand with the maker below and a checkout of that build:
// git worktree add ../old 51699cb, and there cmake -S . -B build-run -G
// Ninja -DCMAKE_BUILD_TYPE=Release -DFW_TESTS=OFF -DFW_EMULATED=ON, then
// cmake --build build-run --target controller.  It needs g++-multilib
// (with the ARM cross compiler installed, which removes that package's
// /usr/include/asm link, add -DCMAKE_CXX_FLAGS="-idirafter
// /usr/include/x86_64-linux-gnu" and the same CMAKE_C_FLAGS), and on a
// kernel without 32-bit support qemu-user-static.  Then, on one line:
//
//   STORED_MAKER="qemu-i386-static ../old/build-run/app/controller"
//     build/tests/test_app --gtest_also_run_disabled_tests
//     --gtest_filter=StoredDataDirectory.DISABLED_Make
//
// which writes tests/app/stored_data_directory.tar.xz anew.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "harness/iscsi_remote_host.h"
#include "sim/chassis.h"
#include "system/road_config.h"

namespace {

using iscsitest::RemoteHost;
namespace iscsi = sim::iscsi;

constexpr uint32_t kBlock = 512;
constexpr uint64_t kDriveBytes = 64ull << 20;
constexpr unsigned kDrives = 11;
constexpr uint64_t kLdBlocks = 4096;
constexpr uint16_t kChunk = 64;
constexpr const char* kTarget = "iqn.2026-12.sim.array-controller:port1";
constexpr const char* kArchive = STORED_DATA_DIRECTORY;
constexpr int kFlushStarted = 99, kFlushCompleted = 100, kCachedDataLost = 101;

struct StoredArray {
    uint8_t bLevel;
    uint8_t bDrives;
    unsigned firstSlot;
    const char* pszName;   // as the earlier build's commit named it
};
const StoredArray kArrays[] = {
    {fw::RAID_LEVEL_5, 3, 1, "STORED RAID 5"},
    {fw::RAID_LEVEL_6, 4, 4, "STORED RAID 6"},
    {fw::RAID_LEVEL_10, 4, 8, "STORED RAID 10"},
};
constexpr unsigned kArrayCount = sizeof kArrays / sizeof kArrays[0];

// What a block holds after write `generation` of it: one word, naming the
// logical drive, the block and the write, repeated over the block (it
// compresses to little, and a block read from the wrong place or the wrong
// write shows).
std::vector<uint8_t> Pattern(unsigned lun, uint64_t lba, unsigned generation, uint32_t blocks = 1) {
    std::vector<uint8_t> data(blocks * kBlock);
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint64_t word = 0xA5ull << 56 | uint64_t(generation) << 48 | uint64_t(lun) << 40 | (lba + b);
        for (unsigned i = 0; i < kBlock; i += 8) std::memcpy(&data[b * kBlock + i], &word, 8);
    }
    return data;
}

// The blocks written a second time before the kill: eight-block runs in
// every row stretch of each logical drive, placed apart on each.
bool SecondWrite(unsigned lun, uint64_t lba) { return (lba % 512) / 8 == 3 + lun * 5; }

class StoredDataDirectory : public apptest::ProgramTest {
protected:
    std::string Data() const { return m_dir + "/data"; }
    std::vector<std::string> Options() const {
        return {"--data-dir", Data(), "--drives", std::to_string(kDrives), "--drive-size", std::to_string(kDriveBytes),
                "--console-in", "/dev/null", "--iscsi", "127.0.0.1:0"};
    }
    // Starts the program (`maker`: another build of it) and logs a host in.
    void Start(const std::vector<std::string>& maker = {}) {
        program = std::make_unique<apptest::RunningController>(Options(), m_dir, maker);
        const uint16_t port = program->PortalPort();
        ASSERT_NE(port, 0) << program->Errors();
        ASSERT_TRUE(program->WaitForConsole("Initialization Complete")) << program->Errors();
        for (int i = 0; i < 100 && !host; ++i) {
            host = std::make_unique<RemoteHost>(port);
            if (!host->connected || !host->LogInNormal({}, kTarget)) {
                host.reset();
                program->Errors(200);
            }
        }
        ASSERT_TRUE(host) << program->Errors();
        // Past each logical drive's unit attention.
        for (unsigned lun = 0; lun < kArrayCount; ++lun) {
            host->lun = uint16_t(lun);
            for (int i = 0; i < 3; ++i) {
                host->Send(host->Command(0x81, {0, 0, 0, 0, 0, 0}, 0));
                if (host->Next().bhs[3] == 0) break;
            }
        }
    }
    void Write(unsigned lun, uint32_t lba, uint32_t blocks, unsigned generation) {
        host->lun = uint16_t(lun);
        const iscsi::Pdu r =
            host->Write(iscsitest::Rw10(0x2A, lba, uint16_t(blocks)), Pattern(lun, lba, generation, blocks), 0);
        ASSERT_EQ(r.opcode(), iscsi::kScsiResponse) << program->Errors();
        ASSERT_EQ(r.bhs[3], 0) << "LUN " << lun << " write " << lba << "+" << blocks;
    }
    // Sense key, code and qualifier of a CHECK CONDITION, as text.
    static std::string Sense(const iscsi::Pdu& r) {
        if (r.data.size() < 2 + 14) return "none";
        const uint8_t* pb = r.data.data() + 2;
        return std::to_string(pb[2] & 0x0F) + "/" + std::to_string(pb[12]) + "/" + std::to_string(pb[13]);
    }
    // A WRITE BUFFER of in-band management: `code` with its small
    // arguments and its block.
    void Manage(uint8_t code, uint8_t b3, uint8_t b4, const std::vector<uint8_t>& block) {
        std::vector<uint8_t> data = {'A', 'R', 'R', 'A', 'Y', '-', 'M', 'G', 'M', 'T', '-', 'S', 'E', 'T', '0', '1'};
        data.insert(data.end(), block.begin(), block.end());
        host->lun = 0;
        const uint32_t n = uint32_t(data.size());
        const std::vector<uint8_t> cdb = {0x3B, 1, code, b3, b4, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0};
        iscsi::Pdu r = host->Write(cdb, data, 0);
        // Soon after the start the controller may still answer NOT READY
        // or a unit attention: asked again.
        for (int i = 0; i < 20 && r.opcode() == iscsi::kScsiResponse && r.bhs[3] == 2; ++i) {
            usleep(500'000);
            r = host->Write(cdb, data, 0);
        }
        ASSERT_EQ(r.opcode(), iscsi::kScsiResponse) << program->Errors();
        ASSERT_EQ(r.bhs[3], 0) << "management code " << int(code) << ": sense " << Sense(r);
    }

    std::unique_ptr<apptest::RunningController> program;
    std::unique_ptr<RemoteHost> host;
};

// The three arrays and their logical drives, as the drives first hold them:
// the earlier build loads this and commits it again in its own hand.
void PlaceConfiguration(const std::string& directory) {
    sim::ChassisOptions o;
    o.drives = kDrives;
    o.driveBytes = kDriveBytes;
    o.directory = directory;
    sim::Chassis chassis(o);
    const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
    std::vector<uint8_t> copy = copytest::MakeCopy({1, own, kArrayCount, 14, "STORED"});
    fw::CONFIG_IMAGE* ps = copytest::Image(copy);
    uint64_t lStart = 0;
    for (unsigned a = 0; a < kArrayCount; ++a) {
        const StoredArray& s = kArrays[a];
        fw::CONFIG_RANK_RECORD& r = ps->asRank[a];
        r.bRaidLevel = s.bLevel;
        r.bDriveCount = s.bDrives;
        r.wChunkSize = kChunk;
        r.lStartAddress = lStart;
        r.lLastOffset = kLdBlocks - 1;
        r.bParityCount = 0;
        r.bCachePolicy = fw::POLICY_WRITE_BACK;
        r.fInitialized = fw::TRUE;
        for (uint8_t m = 0; m < s.bDrives; ++m) {
            const auto w = roadtest::DriveWwn(chassis, s.firstSlot + m);
            std::memcpy(r.aabMemberWwn[m], w.data(), 8);
        }
        fw::CONFIG_LD_RECORD& l = ps->asLd[a];
        l.wLdNumber = uint16_t(a);
        l.wDefaultLun = uint16_t(a);
        l.wLdId = uint16_t(0x8000 + a);
        l.wBlockSize = kBlock;
        l.bAvailability = 0x0F;
        l.bSegmentCount = 1;
        l.asSegment[0].lStart = lStart;
        l.asSegment[0].lLastOffset = kLdBlocks - 1;
        l.asSegment[0].lEnd = lStart + kLdBlocks - 1;
        lStart += kLdBlocks;
    }
    ps->sHeader.wLdCount = kArrayCount;
    copytest::Seal(copy);
    for (unsigned s = 1; s <= kDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), copy);
}

// Makes the stored directory with the build STORED_MAKER names (see the
// top of this file); not a test of this build.
TEST_F(StoredDataDirectory, DISABLED_Make) {
    const char* pszMaker = std::getenv("STORED_MAKER");
    ASSERT_NE(pszMaker, nullptr) << "STORED_MAKER: the earlier build's controller, with what runs it";
    std::istringstream words(pszMaker);
    std::vector<std::string> maker;
    for (std::string w; words >> w;) maker.push_back(w);
    PlaceConfiguration(Data());
    ASSERT_NO_FATAL_FAILURE(Start(maker));

    // The earlier build's own commit: each array renamed.
    ASSERT_NO_FATAL_FAILURE(Manage(128, 0, 0, {}));
    for (unsigned a = 0; a < kArrayCount; ++a) {
        std::vector<uint8_t> name(32, ' ');
        std::memcpy(name.data(), kArrays[a].pszName, std::strlen(kArrays[a].pszName));
        ASSERT_NO_FATAL_FAILURE(Manage(167, uint8_t(a), 0, name));
    }
    ASSERT_NO_FATAL_FAILURE(Manage(130, 0, 0, {}));

    for (unsigned lun = 0; lun < kArrayCount; ++lun)
        for (uint32_t lba = 0; lba < kLdBlocks; lba += 128) ASSERT_NO_FATAL_FAILURE(Write(lun, lba, 128, 1));
    // Some seconds for the cache to put all of that on the drives, then
    // the second writes and the kill, before they are.
    usleep(5'000'000);
    for (unsigned lun = 0; lun < kArrayCount; ++lun) {
        for (uint32_t lba = 0; lba < kLdBlocks; lba += 8) {
            if (!SecondWrite(lun, lba)) continue;
            ASSERT_NO_FATAL_FAILURE(Write(lun, lba, 8, 2));
        }
    }
    program->Kill();
    host.reset();

    const std::string archive = kArchive;
    const std::string command = "rm -f " + Data() + "/board.lock && tar -C " + Data() +
                                " --sparse --sort=name --owner=0 --group=0 --numeric-owner -cJf " + archive + " .";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The earlier build's directory: its configuration reads as it wrote it;
// the start writes the cache it kept out; every block of the three logical
// drives reads back as its last write left it; the event log keeps what
// the earlier build logged and goes on after it.
TEST_F(StoredDataDirectory, StartsAndServesEveryBlockAsTheEarlierBuildLeftIt) {
    ASSERT_EQ(std::system(("mkdir -p " + Data() + " && tar -C " + Data() + " -xJf " + kArchive).c_str()), 0);
    const std::vector<apptest::LoggedEvent> before = apptest::LoggedEventsWithStamps(Data());
    ASSERT_FALSE(before.empty());

    // The configuration copy on every drive, read with this build's records.
    {
        sim::ChassisOptions o;
        o.drives = kDrives;
        o.driveBytes = kDriveBytes;
        o.directory = Data();
        o.existingImagesOnly = true;
        sim::Chassis chassis(o);
        for (unsigned slot = 1; slot <= kDrives; ++slot) {
            SCOPED_TRACE(slot);
            sim::Drive& d = *chassis.DriveAt(slot);
            std::vector<uint8_t> copy((fw::CONFIG_IMAGE_SIZE + kBlock - 1) / kBlock * kBlock);
            d.ReadBlocks(d.config().blocks - 1 - copytest::kCopyBlocksBeforeEnd, uint32_t(copy.size() / kBlock),
                         copy.data());
            copy.resize(fw::CONFIG_IMAGE_SIZE);
            const fw::CONFIG_IMAGE* ps = copytest::Image(copy);
            EXPECT_EQ(ps->sHeader.dMagic, fw::CONFIG_MAGIC);
            EXPECT_EQ(ps->sHeader.dImageSize, fw::CONFIG_IMAGE_SIZE);
            EXPECT_GT(ps->sHeader.dGeneration, 1u) << "the earlier build never committed it";
            const uint32_t dBody = copytest::XorWords(copy, 128, fw::CONFIG_IMAGE_WORDS);
            EXPECT_EQ(ps->sHeader.dBodyCheck, dBody);
            ASSERT_EQ(ps->sHeader.wRankCount, kArrayCount);
            ASSERT_EQ(ps->sHeader.wLdCount, kArrayCount);
            for (unsigned a = 0; a < kArrayCount; ++a) {
                const fw::CONFIG_RANK_RECORD& r = ps->asRank[a];
                EXPECT_EQ(r.bRaidLevel, kArrays[a].bLevel);
                EXPECT_EQ(r.bDriveCount, kArrays[a].bDrives);
                EXPECT_EQ(r.wChunkSize, kChunk);
                EXPECT_EQ(r.lLastOffset, kLdBlocks - 1);
                EXPECT_EQ(std::string(r.acArrayName, r.acArrayName + std::strlen(kArrays[a].pszName)),
                          kArrays[a].pszName);
                for (unsigned m = 0; m < kArrays[a].bDrives; ++m) {
                    const auto w = roadtest::DriveWwn(chassis, kArrays[a].firstSlot + m);
                    EXPECT_EQ(std::memcmp(r.aabMemberWwn[m], w.data(), 8), 0) << "array " << a << " member " << m;
                }
                const fw::CONFIG_LD_RECORD& l = ps->asLd[a];
                EXPECT_EQ(l.wDefaultLun, a);
                EXPECT_EQ(l.wBlockSize, kBlock);
                EXPECT_EQ(l.asSegment[0].lStart, a * kLdBlocks);
                EXPECT_EQ(l.asSegment[0].lEnd, (a + 1) * kLdBlocks - 1);
            }
        }
    }

    ASSERT_NO_FATAL_FAILURE(Start());
    for (unsigned lun = 0; lun < kArrayCount; ++lun) {
        SCOPED_TRACE(lun);
        host->lun = uint16_t(lun);
        std::vector<uint8_t> capacity;
        ASSERT_EQ(host->Read({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, &capacity).bhs[3], 0);
        ASSERT_EQ(capacity.size(), 8u);
        EXPECT_EQ(uint32_t(capacity[0]) << 24 | capacity[1] << 16 | capacity[2] << 8 | capacity[3], kLdBlocks - 1);
        for (uint32_t lba = 0; lba < kLdBlocks; lba += 128) {
            std::vector<uint8_t> data;
            ASSERT_EQ(host->Read(iscsitest::Rw10(0x28, lba, 128), 128 * kBlock, &data).bhs[3], 0) << lba;
            ASSERT_EQ(data.size(), 128u * kBlock);
            for (uint32_t b = 0; b < 128; ++b) {
                const unsigned generation = SecondWrite(lun, lba + b) ? 2 : 1;
                ASSERT_TRUE(std::equal(data.begin() + b * kBlock, data.begin() + (b + 1) * kBlock,
                                       Pattern(lun, lba + b, generation).begin()))
                    << "block " << lba + b << " of LUN " << lun << " is not write " << generation << " of it";
            }
        }
    }
    host.reset();
    EXPECT_EQ(program->Stop(), 0);

    // The earlier build's entries stay as they were, the new run's follow:
    // the cache the kill left was written out, none of it lost.
    const std::vector<apptest::LoggedEvent> after = apptest::LoggedEventsWithStamps(Data());
    ASSERT_GT(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].code, before[i].code) << i;
        EXPECT_EQ(after[i].stamp, before[i].stamp) << i;
    }
    std::vector<int> added;
    for (size_t i = before.size(); i < after.size(); ++i) added.push_back(after[i].code);
    EXPECT_EQ(std::count(added.begin(), added.end(), kFlushStarted), 1) << "the kill left nothing in the cache";
    EXPECT_EQ(std::count(added.begin(), added.end(), kFlushCompleted), 1);
    EXPECT_EQ(std::count(added.begin(), added.end(), kCachedDataLost), 0);
}

}  // namespace
