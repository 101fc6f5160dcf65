// A whole controller with one array and one logical drive, booted from the
// configuration its drives hold, and a host on the Fibre Channel fabric
// logged in to it: the road from a host's command through the target
// engine, the cache and the RAID engine to the drives, and back.  The host
// may instead reach the controller through a SAS host port.
//
// The tests keep a reference model (the bytes each acknowledged write put
// on the logical drive) and check host reads against it, and the drive
// images against an independent layout model (raid_reference.h): data
// where the layout puts it, both halves of every mirror, P and Q of every
// row written.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "../raid/raid_reference.h"
#include "cache/nvram_journal.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "road_config.h"
#include "harness/config_builder.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/startup.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "sas/host_port_ioc.h"
#include "sas/sas_target.h"
#include "sas/sas_target_commands.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/sas_host.h"
#include "sim/scsi_host.h"
#include "target/host_command_pool.h"

namespace roadtest {

constexpr uint64_t kHostName = 0x2100001B32000001ull;
constexpr uint64_t kSasHostAddress = 0x500605B0000A0001ull;
constexpr uint8_t kScsiHostId = 7;
constexpr uint64_t kSettleLimitNs = 30'000'000'000ull;

// Events of the code in the controller's log.
inline uint16_t EventCount(uint8_t code) {
    uint16_t wCount = 0, wNext = 0, n = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) n += fw::psGetEventLogEntry(w)->bCode == code;
    return n;
}

// The port a road's host reaches the controller through.
enum class HostKind { Fc, Sas, Scsi };
inline const char* HostKindName(HostKind e) {
    switch (e) {
    case HostKind::Fc: return "Fc";
    case HostKind::Sas: return "Sas";
    default: return "Scsi";
    }
}

// The road's host, whichever port it reaches: what the road's helpers and
// tests ask of a host.
class RoadHost {
public:
    virtual ~RoadHost() = default;
    sim::FcpResult Send(const sim::FcpCommand& command, uint64_t limitNs = sim::FcHost::kDefaultLimitNs) {
        return Run(command, limitNs);
    }
    sim::FcpResult Send(uint16_t lun, const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut = {},
                        uint32_t dataInLength = 0) {
        return Run(sim::FcpCommand::To(lun, cdb, dataOut, dataInLength), sim::FcHost::kDefaultLimitNs);
    }
    sim::FcpResult Wait(uint32_t tag, uint64_t limitNs = sim::FcHost::kDefaultLimitNs) { return Await(tag, limitNs); }
    virtual uint32_t Submit(const sim::FcpCommand& command) = 0;
    // Called as each command's answer reaches the host.
    virtual void OnCompletion(std::function<void(uint32_t, const sim::FcpResult&)> fn) = 0;

private:
    virtual sim::FcpResult Run(const sim::FcpCommand& command, uint64_t limitNs) = 0;
    virtual sim::FcpResult Await(uint32_t tag, uint64_t limitNs) = 0;
};

template <typename Host>
class RoadHostOn final : public RoadHost {
public:
    explicit RoadHostOn(Host& host) : m_host(host) {}
    uint32_t Submit(const sim::FcpCommand& command) override { return m_host.Submit(command); }
    void OnCompletion(std::function<void(uint32_t, const sim::FcpResult&)> fn) override {
        if constexpr (std::is_same_v<Host, sim::FcHost>) {
            m_host.initiator().onCompletion = std::move(fn);
        } else {
            m_host.onCompletion = std::move(fn);
        }
    }

private:
    sim::FcpResult Run(const sim::FcpCommand& command, uint64_t limitNs) override { return m_host.Send(command, limitNs); }
    sim::FcpResult Await(uint32_t tag, uint64_t limitNs) override { return m_host.Wait(tag, limitNs); }
    Host& m_host;
};

// Reads and writes a drive received inside the array's data (not the
// controller's own configuration copies near the end of the drive).
struct DataCommands {
    uint64_t reads = 0;
    uint64_t writes = 0;
};

class HostRoad : public ::testing::Test {
protected:
    HostRoad() { chassis = std::make_unique<sim::Chassis>(chassisOptions); }

    std::vector<uint8_t> Configuration(const ArraySpec& a) { return RoadConfiguration(*chassis, a, Own()); }
    uint64_t Own() const { return 0x200000A55A000000ull | (boardConfig.wwn & 0xFFFFFFull); }

    // Blank drives with the array's configuration on its members, then the
    // controller's first start.
    void Boot(const ArraySpec& a) {
        spec = a;
        const std::vector<uint8_t> ab = Configuration(a);
        for (unsigned s = 1; s <= a.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        Start();
    }
    // A blank controller starts; the described array on slots 1..D and a
    // logical drive over one capacity unit of it are made through the
    // configuration edits and committed, as an operator's tools do.
    void CreateThroughEdits(const ArraySpec& a) {
        ASSERT_NO_FATAL_FAILURE(StartController());
        cfgbuild::Builder builder(*board);
        cfgbuild::ArraySpec array;
        array.bLevel = a.bLevel;
        for (unsigned s = 1; s <= a.bDrives; ++s) array.slots.push_back(s);
        array.wChunk = a.wChunk;
        array.bSubRanks = a.bParity;
        array.bCachePolicy = a.fWriteBack ? fw::POLICY_WRITE_BACK : 0;
        ASSERT_TRUE(builder.MakeArrayWithLd(array, 1)) << board->ConsoleText();
        ASSERT_EQ(fw::bGetRankCount(), 1);
        ASSERT_EQ(fw::pGetRankRecord(0)->lStartAddress, 0u);
        spec = a;
        spec.lBlocks = fw::pGetLogicalDriveRecord(0)->lLastBlock + 1;
        ASSERT_NO_FATAL_FAILURE(ConnectHost());
    }
    // The controller starts on the drives and NVRAM it has; the host logs
    // in and clears its power-on unit attention.
    void Start() {
        ASSERT_NO_FATAL_FAILURE(StartController());
        ASSERT_NO_FATAL_FAILURE(ConnectHost());
    }
    void StartController() {
        if (hostKind == HostKind::Sas) boardConfig.hostInterface = sim::HostInterface::SasTarget;
        if (hostKind == HostKind::Scsi) boardConfig.hostInterface = sim::HostInterface::Scsi;
        fabric = std::make_unique<sim::FcFabric>();
        board = std::make_unique<sim::Board>(boardConfig);
        board->fpga().SetBoardStraps(boardStraps);
        board->sasController().AttachChassis(chassis.get());
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            if (sim::IspChip* p = sim::FindIspChip(*board, chip)) {
                p->AttachFabric(*fabric);
                p->faults = hostChipFaults;
            }
        }
        if (prepareSasIoc && board->sasTargetIoc() != nullptr) prepareSasIoc(*board->sasTargetIoc());
        if (prepareScsiIoc && hostKind == HostKind::Scsi) prepareScsiIoc(ScsiIoc());
        board->SetResetEntry(&fw::ControllerEntry);
        board->Boot();
        ASSERT_EQ(board->RunUntil([this] { return Booted(); }, 120'000'000'000ull), sim::StopKind::Running)
            << board->ConsoleText();
        ASSERT_TRUE(Booted()) << board->ConsoleText();
    }
    // `arrayFailed`: the array failed at this start, and its logical drive
    // answers the host's reads LOGICAL UNIT NOT SUPPORTED instead of GOOD.
    void ConnectHost(bool arrayFailed = false) {
        if (hostKind == HostKind::Sas) {
            sasHost = std::make_unique<sim::SasHost>(*board, *board->sasTargetIoc(), 0, kSasHostAddress);
            road = std::make_unique<RoadHostOn<sim::SasHost>>(*sasHost);
        } else if (hostKind == HostKind::Scsi) {
            scsiHost = std::make_unique<sim::ScsiHost>(*board, *sim::FindScsiHostIoc(*board, 0), kScsiHostId);
            road = std::make_unique<RoadHostOn<sim::ScsiHost>>(*scsiHost);
        } else {
            host = std::make_unique<sim::FcHost>(*board, *fabric, *sim::FindIspChip(*board, 1), kHostName);
            road = std::make_unique<RoadHostOn<sim::FcHost>>(*host);
        }
        // A replay of the cache at start of day holds every host command
        // until the drives have what the cache held.
        road->OnCompletion([this](uint32_t, const sim::FcpResult&) {
            answeredDuringReplay |= fw::fGetRetripeFlag() == fw::TRUE;
        });
        ASSERT_TRUE(host ? host->LogIn() : sasHost ? sasHost->LogIn() : scsiHost->LogIn()) << board->ConsoleText();
        sim::FcpResult r;
        // Its power-on unit attention, answered to the first command.
        for (int i = 0; i < 4; ++i) {
            r = road->Send(0, Cdb(fw::SCSI_READ10, 0, 1), {}, kBlock);
            if (r.outcome != sim::FcpResult::Outcome::Done) continue;
            if (r.status == 0 || (arrayFailed && SenseText(r) == " sense 5/25/00")) break;
        }
        if (arrayFailed) {
            ASSERT_EQ(SenseText(r), " sense 5/25/00") << "LUN 0 of the failed array answered otherwise";
        } else {
            ASSERT_EQ(r.status, 0) << "LUN 0 never became ready";
        }
        // The pools at rest: no host command, and no child of the start of
        // day's own work (its configuration writes) still out.
        board->RunUntil([] { return fw::wGetTargetEntriesUsed() == 0 && fw::wGetKernelEntriesUsed() == 0; },
                        kSettleLimitNs);
        road->OnCompletion(nullptr);
        baseHostEntries = fw::wGetTargetEntriesUsed();
        baseChildren = fw::wGetKernelEntriesUsed();
        basePages = fw::dGetPagesInUse(0);
    }
    // The controller goes away (its drives and, with a data directory, its
    // NVRAM stay as they are); the drives of the slots given are pulled.
    void Stop(const std::vector<unsigned>& pulled = {}) {
        road.reset();
        host.reset();
        sasHost.reset();
        scsiHost.reset();
        board.reset();
        fabric.reset();
        for (unsigned s : pulled) chassis->Pull(s);
    }
    void Restart(const std::vector<unsigned>& pulled = {}) {
        Stop(pulled);
        Start();
    }
    // Counts, from now on, the data commands each member receives.
    void WatchDataCommands() {
        dataCommands.assign(spec.bDrives + 1u, DataCommands{});
        for (unsigned slot = 1; slot <= spec.bDrives; ++slot) {
            chassis->DriveAt(slot)->onCommand = [this, slot](std::span<const uint8_t> cdb) {
                uint64_t lba = 0;
                switch (cdb[0]) {
                case fw::SCSI_READ10:
                case fw::SCSI_WRITE10: lba = fw::dGetBe32(cdb.data() + 2); break;
                case fw::SCSI_READ16:
                case fw::SCSI_WRITE16: lba = fw::lGetBe64(cdb.data() + 2); break;
                default: return;
                }
                if (lba >= spec.lBlocks) return;
                DataCommands& n = dataCommands[slot];
                (cdb[0] == fw::SCSI_READ10 || cdb[0] == fw::SCSI_READ16 ? n.reads : n.writes)++;
            };
        }
    }
    uint64_t AllDataWrites() const {
        uint64_t n = 0;
        for (const DataCommands& d : dataCommands) n += d.writes;
        return n;
    }
    bool Booted() const { return board->ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }

    // ---- host commands ------------------------------------------------

    static std::vector<uint8_t> Cdb(uint8_t bOpcode, uint64_t lba, uint32_t blocks) {
        const bool f16 = bOpcode == fw::SCSI_WRITE16 || bOpcode == fw::SCSI_READ16;
        std::vector<uint8_t> ab(f16 ? 16 : 10, 0);
        ab[0] = bOpcode;
        if (f16) {
            fw::PutBe64(ab.data() + 2, lba);
            fw::PutBe32(ab.data() + 10, blocks);
        } else {
            fw::PutBe32(ab.data() + 2, static_cast<uint32_t>(lba));
            fw::PutBe16(ab.data() + 7, static_cast<uint16_t>(blocks));
        }
        return ab;
    }
    static std::vector<uint8_t> Random(uint32_t blocks, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(blocks * kBlock);
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        return v;
    }
    // A write of random bytes; once GOOD, the reference holds them.
    void Write(uint64_t lba, uint32_t blocks, uint32_t seed, bool f16 = false) {
        const std::vector<uint8_t> data = Random(blocks, seed);
        const sim::FcpResult r = road->Send(0, Cdb(f16 ? fw::SCSI_WRITE16 : fw::SCSI_WRITE10, lba, blocks), data);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write " << lba << "+" << blocks;
        ASSERT_EQ(r.status, 0) << "write " << lba << "+" << blocks << SenseText(r);
        ASSERT_EQ(r.dataOutTaken, data.size());
        Record(lba, data);
    }
    void Record(uint64_t lba, const std::vector<uint8_t>& data) {
        NoteSent(lba, data);
        for (uint32_t i = 0; i < data.size() / kBlock; ++i) {
            reference[lba + i].assign(data.begin() + i * kBlock, data.begin() + (i + 1) * kBlock);
        }
    }
    // A write sent to the controller, answered or not: its blocks may be on
    // the drives.
    void NoteSent(uint64_t lba, const std::vector<uint8_t>& data) {
        for (uint32_t i = 0; i < data.size() / kBlock; ++i) {
            versions[lba + i].emplace_back(data.begin() + i * kBlock, data.begin() + (i + 1) * kBlock);
            touchedRows.insert(RowOf(lba + i));
        }
    }
    // A read must return what the reference holds (zeros where nothing was written).
    void ExpectRead(uint64_t lba, uint32_t blocks, bool f16 = false) {
        const sim::FcpResult r = road->Send(0, Cdb(f16 ? fw::SCSI_READ16 : fw::SCSI_READ10, lba, blocks), {}, blocks * kBlock);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "read " << lba << "+" << blocks;
        ASSERT_EQ(r.status, 0) << "read " << lba << "+" << blocks << SenseText(r);
        ASSERT_EQ(r.dataIn.size(), blocks * kBlock);
        for (uint32_t i = 0; i < blocks; ++i) {
            ASSERT_TRUE(std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock, Expected(lba + i).begin()))
                << "block " << lba + i << " of read " << lba << "+" << blocks;
        }
    }
    // WRITE(10)s of random lengths (up to two chunks) over `span` blocks,
    // `count` of them, up to 32 in flight, none overlapping another still in
    // flight (but often one the cache still holds).  Before each wait,
    // `beforeWait(answered)` may arm a fault; each write answered GOOD is
    // recorded.  Ends early when `fStop` says so after a wait (the write
    // waited for then counts as unanswered); a write answered otherwise
    // fails the test.  `waitNs` bounds each wait.
    template <typename BeforeWait, typename Stop>
    void WriteLoad(uint64_t span, uint32_t count, uint32_t seed, BeforeWait beforeWait, Stop fStop,
                   uint64_t waitNs = sim::FcHost::kDefaultLimitNs) {
        std::mt19937 rng(seed);
        struct InFlight {
            uint32_t tag;
            uint64_t lba;
            std::vector<uint8_t> data;
        };
        std::vector<InFlight> inFlight;
        auto Overlaps = [&](uint64_t lba, uint32_t blocks) {
            for (const InFlight& f : inFlight)
                if (lba < f.lba + f.data.size() / kBlock && f.lba < lba + blocks) return true;
            return false;
        };
        uint32_t answered = 0;
        for (uint32_t i = 0; i < count || !inFlight.empty();) {
            while (i < count && inFlight.size() < 32) {
                const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
                const uint64_t lba = rng() % (span - blocks);
                if (Overlaps(lba, blocks)) continue;
                ++i;
                sim::FcpCommand cmd;
                cmd.cdb = Cdb(fw::SCSI_WRITE10, lba, blocks);
                cmd.dataOut = Random(blocks, seed * 1000 + i);
                NoteSent(lba, cmd.dataOut);
                inFlight.push_back({road->Submit(cmd), lba, cmd.dataOut});
            }
            beforeWait(answered);
            const InFlight f = inFlight.front();
            const sim::FcpResult r = road->Wait(f.tag, waitNs);
            if (fStop()) return;
            ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << "write " << f.lba << " never answered";
            ASSERT_EQ(r.status, 0) << "write " << f.lba << SenseText(r);
            inFlight.erase(inFlight.begin());
            Record(f.lba, f.data);
            ++answered;
        }
    }
    static std::string SenseText(const sim::FcpResult& r) {
        if (r.sense.size() < 14) return "";
        char ac[48];
        std::snprintf(ac, sizeof ac, " sense %X/%02X/%02X", r.sense[2] & 0x0F, r.sense[12], r.sense[13]);
        return ac;
    }
    std::vector<uint8_t> Expected(uint64_t x) const {
        auto it = reference.find(x);
        return it == reference.end() ? std::vector<uint8_t>(kBlock, 0) : it->second;
    }

    // Runs the controller until every host command has ended and every
    // cached write is on the drives: the host entries, the children and
    // the pages back where they were after start-up.
    void Settle() {
        const auto fIdle = [this] {
            return fw::wGetTargetEntriesUsed() == baseHostEntries && fw::wGetKernelEntriesUsed() == baseChildren &&
                   fw::dGetPagesInUse(0) == basePages;
        };
        board->RunUntil(fIdle, kSettleLimitNs);
        EXPECT_EQ(fw::wGetTargetEntriesUsed(), baseHostEntries) << "host entries";
        EXPECT_EQ(fw::wGetKernelEntriesUsed(), baseChildren) << "children";
        EXPECT_EQ(fw::dGetPagesInUse(0), basePages) << "pages";
        if (hostKind == HostKind::Scsi) ExpectScsiPortAtRest();
        if (hostKind == HostKind::Sas) ExpectSasPortAtRest();
    }
    void ExpectSasPortAtRest() {
        const sim::SasTargetIoc& ioc = *board->sasTargetIoc();
        board->RunUntil([&ioc] { return ioc.freeCommandBuffers() == fw::SAS_TARGET_MAX_CMD_BUFFERS; }, kSettleLimitNs);
        EXPECT_EQ(ioc.openExchanges(), 0u);
        EXPECT_EQ(ioc.freeCommandBuffers(), fw::SAS_TARGET_MAX_CMD_BUFFERS);
        EXPECT_EQ(fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1)->wRequestsInUse, 0) << "request frames";
    }
    // The host on a SAS or parallel SCSI port, and its IOC holding back
    // the data of target assists (and letting them go).
    sim::TaggedHost& PortHost() {
        return hostKind == HostKind::Sas ? static_cast<sim::TaggedHost&>(*sasHost) : *scsiHost;
    }
    sim::ScsiHostIoc& ScsiIoc() { return *sim::FindScsiHostIoc(*board, 0); }
    void Hold(bool f) {
        if (hostKind == HostKind::Sas) {
            board->sasTargetIoc()->holdAssists = f;
        } else {
            ScsiIoc().holdAssists = f;
        }
    }
    size_t Held() { return hostKind == HostKind::Sas ? board->sasTargetIoc()->heldAssists() : ScsiIoc().heldAssists(); }
    void Release() {
        Hold(false);
        if (hostKind == HostKind::Sas) {
            board->sasTargetIoc()->ReleaseAssists();
        } else {
            ScsiIoc().ReleaseAssists();
        }
    }

    // Every command was answered once, and the IOC's command buffers and
    // the driver's request frames are all back.
    void ExpectScsiPortAtRest() {
        const sim::ScsiHostIoc& ioc = *sim::FindScsiHostIoc(*board, 0);
        EXPECT_EQ(ioc.openExchanges(), 0u);
        EXPECT_EQ(ioc.strayRequests(), 0u);
        EXPECT_EQ(ioc.freeCommandBuffers(), fw::HOST_PORT_CMD_BUFFERS);
        EXPECT_EQ(fw::wGetHostPortOutstandingFrames(fw::LSI_IOC_HOST_PORT_1), 0);
        EXPECT_EQ(fw::dGetHostPortDroppedReplies(fw::LSI_IOC_HOST_PORT_1), 0u);
    }

    // ---- the layout model ---------------------------------------------

    bool Parity() const { return spec.bLevel == fw::RAID_LEVEL_5 || spec.bLevel == fw::RAID_LEVEL_50; }
    raidref::ParityRank ParityLayout() const { return {spec.bDrives, spec.bParity ? spec.bParity : 1u, spec.wChunk}; }
    raidref::DualParityRank DualLayout() const { return {spec.bDrives, spec.wChunk}; }
    uint64_t RowBlocks() const { return RowDataBlocks(spec); }
    uint64_t RowOf(uint64_t x) const { return x / RowBlocks(); }

    // What each member must hold in one row: the data chunks the reference
    // gives, the mirror of each, and P (and Q) of the row's data.
    std::vector<std::vector<uint8_t>> RowImage(uint64_t row) const {
        return RowImageOf(row, [this](uint64_t x) { return Expected(x); });
    }
    // The same from any source of host blocks.
    template <typename Source>
    std::vector<std::vector<uint8_t>> RowImageOf(uint64_t row, Source source) const {
        const uint32_t S = spec.wChunk;
        std::vector<std::vector<uint8_t>> image(spec.bDrives);
        auto chunk = [&](uint64_t first) {
            std::vector<uint8_t> v;
            for (uint32_t o = 0; o < S; ++o) {
                const std::vector<uint8_t> b = source(first + o);
                v.insert(v.end(), b.begin(), b.end());
            }
            return v;
        };
        const uint64_t first = row * RowBlocks();
        switch (spec.bLevel) {
        case fw::RAID_LEVEL_0:
            for (unsigned m = 0; m < spec.bDrives; ++m) image[m] = chunk(first + uint64_t(m) * S);
            break;
        case fw::RAID_LEVEL_10:
            for (unsigned p = 0; p < spec.bDrives / 2u; ++p) image[2 * p] = image[2 * p + 1] = chunk(first + uint64_t(p) * S);
            break;
        case fw::RAID_LEVEL_6: {
            const raidref::DualParityRank d = DualLayout();
            std::vector<const uint8_t*> cols;
            const std::vector<unsigned> members = d.DataMembers(row);
            for (unsigned j = 0; j < members.size(); ++j) image[members[j]] = chunk(first + uint64_t(j) * S);
            for (unsigned m : members) cols.push_back(image[m].data());
            image[d.PMember(row)].resize(S * kBlock);
            image[d.QMember(row)].resize(S * kBlock);
            raidref::PQ(cols, S * kBlock, image[d.PMember(row)].data(), image[d.QMember(row)].data());
            break;
        }
        default: {
            const raidref::ParityRank p = ParityLayout();
            for (unsigned g = 0; g < p.G; ++g) {
                const std::vector<unsigned> members = p.DataMembers(row, g);
                std::vector<uint8_t> parity(S * kBlock, 0);
                for (unsigned j = 0; j < members.size(); ++j) {
                    image[members[j]] = chunk(first + (uint64_t(g) * (p.P() - 1) + j) * S);
                    for (size_t i = 0; i < parity.size(); ++i) parity[i] ^= image[members[j]][i];
                }
                image[p.ParityMember(row, g)] = parity;
            }
            break;
        }
        }
        return image;
    }
    // The first rows of every member hold random data and its mirror or
    // parity, written into the drive images as the layout model places it.
    void FillConsistentRows(uint64_t rows, uint32_t seed) {
        std::mt19937 rng(seed);
        for (uint64_t x = 0; x < rows * RowBlocks(); ++x) {
            std::vector<uint8_t> b(kBlock);
            for (auto& c : b) c = static_cast<uint8_t>(rng());
            reference[x] = b;
        }
        for (uint64_t row = 0; row < rows; ++row) {
            touchedRows.insert(row);
            const auto image = RowImage(row);
            for (unsigned m = 0; m < spec.bDrives; ++m) {
                chassis->DriveAt(firstSlot + m)->WriteBlocks(row * spec.wChunk, spec.wChunk, image[m].data());
            }
        }
    }
    // Every member present holds what the layout model says of every row
    // written.
    void ExpectDrivesMatchReference() { ExpectRowsOnDrives([this](uint64_t row) { return RowImage(row); }); }
    template <typename Image>
    void ExpectRowsOnDrives(Image image) {
        for (uint64_t row : touchedRows) {
            const std::vector<std::vector<uint8_t>> want = image(row);
            for (unsigned m = 0; m < spec.bDrives; ++m) {
                sim::Drive* d = chassis->DriveAt(SlotOfMember(m));
                if (d == nullptr) continue;
                std::vector<uint8_t> v(spec.wChunk * kBlock);
                d->ReadBlocks(row * spec.wChunk, spec.wChunk, v.data());
                ASSERT_TRUE(v == want[m]) << "row " << row << " member " << m;
            }
        }
    }
    // Where the layout model puts a host block's data (the first half of a
    // mirror).
    raidref::Place DataPlace(uint64_t x) const {
        switch (spec.bLevel) {
        case fw::RAID_LEVEL_0: return raidref::Striped(x, spec.bDrives, spec.wChunk);
        case fw::RAID_LEVEL_10: {
            const raidref::Place p = raidref::Striped(x, spec.bDrives / 2u, spec.wChunk);
            return {2 * p.member, p.block};
        }
        case fw::RAID_LEVEL_6: return DualLayout().Data(x);
        default: return ParityLayout().Data(x);
        }
    }
    std::vector<uint8_t> DataOnDrives(uint64_t x) const {
        const raidref::Place p = DataPlace(x);
        std::vector<uint8_t> v(kBlock);
        chassis->DriveAt(SlotOfMember(p.member))->ReadBlocks(p.block, 1, v.data());
        return v;
    }
    // After writes whose fate is open (a power cut, a lost cache): every
    // block holds one version some write sent (or its old zeros), never
    // anything else, and every row's mirror, P and Q agree with its data.
    void ExpectDrivesConsistentWithSomeVersion() {
        for (uint64_t row : touchedRows) {
            for (uint64_t x = row * RowBlocks(); x < (row + 1) * RowBlocks(); ++x) {
                const std::vector<uint8_t> v = DataOnDrives(x);
                bool fKnown = std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == 0; });
                auto it = versions.find(x);
                if (it != versions.end()) fKnown |= std::find(it->second.begin(), it->second.end(), v) != it->second.end();
                ASSERT_TRUE(fKnown) << "block " << x << " holds data no write sent";
            }
        }
        ExpectRowsOnDrives([this](uint64_t row) {
            return RowImageOf(row, [this](uint64_t x) { return DataOnDrives(x); });
        });
    }

    sim::ChassisOptions chassisOptions;
    sim::BoardConfig boardConfig;
    sim::IspChip::Faults hostChipFaults;   // both host chips start with these
    std::function<void(sim::SasTargetIoc&)> prepareSasIoc;   // the SAS IOC before the controller starts
    std::function<void(sim::ScsiHostIoc&)> prepareScsiIoc;   // the first parallel SCSI function, likewise
    uint16_t boardStraps = 0;              // a test board's straps, set before it starts
    std::unique_ptr<sim::Chassis> chassis;
    std::unique_ptr<sim::FcFabric> fabric;
    std::unique_ptr<sim::Board> board;
    HostKind hostKind = HostKind::Fc;
    std::unique_ptr<sim::FcHost> host;       // on a Fibre Channel port
    std::unique_ptr<sim::SasHost> sasHost;   // on a SAS host port
    std::unique_ptr<sim::ScsiHost> scsiHost; // on a parallel SCSI host port
    std::unique_ptr<RoadHost> road;          // the one of the two the host kind names
    ArraySpec spec{};
    unsigned firstSlot = 1;   // the chassis slot of the array's member 0
    std::map<unsigned, unsigned> memberSlots;   // members rebuilt onto a drive in another slot
    unsigned SlotOfMember(unsigned m) const {
        auto it = memberSlots.find(m);
        return it != memberSlots.end() ? it->second : firstSlot + m;
    }
    std::map<uint64_t, std::vector<uint8_t>> reference;
    std::set<uint64_t> touchedRows;
    std::map<uint64_t, std::vector<std::vector<uint8_t>>> versions;   // every block each write sent
    std::vector<DataCommands> dataCommands;   // by slot
    bool answeredDuringReplay = false;
    uint16_t baseHostEntries = 0;
    uint16_t baseChildren = 0;
    uint32_t basePages = 0;
};

// The controller as the program runs it: NVRAM, data banks, board state and
// drive images in files of its data directory.  Stopped without warning (the
// program's quit is a power cut), then started again from nothing but that
// directory.
class RestartRoad : public HostRoad {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir = std::filesystem::temp_directory_path() / ("host_road_" + std::to_string(::getpid()) + "_" + name);
        std::filesystem::remove_all(dir);
        boardConfig.dataDir = dir.string();
        chassisOptions.directory = dir.string();
        chassisOptions.driveBytes = 1ull << 30;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
    }
    void TearDown() override {
        Stop();
        chassis.reset();
        std::filesystem::remove_all(dir);
    }
    // A new process: the enclosure too comes back from its files.
    void RestartFromDirectory() {
        Stop();
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
        Start();
    }
    void WriteSome(uint32_t count, uint32_t seed) {
        std::mt19937 rng(seed);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t blocks = 1 + rng() % 64;
            Write(rng() % (RowBlocks() * 8 - blocks), blocks, seed + i, i % 2 == 0);
        }
    }
    // Own journal slots still describing a write: none once all is on the
    // drives.
    static unsigned ValidJournalSlots() {
        unsigned n = 0;
        for (uint16_t w = 0; w < fw::NVRAM_QUEUE_USED_SLOTS; ++w) n += fw::psGetNvramQueueEntry(fw::TRUE, w)->fValid == fw::TRUE;
        return n;
    }
    std::filesystem::path dir;
};

// Drives that stop taking writes while acknowledged writes are in the
// write-back cache only: where such tests begin.
class CachedWritesRoad : public RestartRoad, public ::testing::WithParamInterface<ArraySpec> {
protected:
    // Write-back writes over a few rows, answered GOOD; slow drives keep
    // some of them in the cache only.
    void WriteIntoTheCache(uint32_t seed) {
        for (unsigned m = 1; m <= spec.bDrives; ++m) chassis->DriveAt(m)->SetExtraLatencyNs(2'000'000);
        std::mt19937 rng(seed);
        for (uint32_t i = 0; i < 16; ++i) {
            const uint32_t blocks = 1 + rng() % (2 * spec.wChunk);
            const uint64_t lba = rng() % (RowBlocks() * 8 - blocks);
            ASSERT_NO_FATAL_FAILURE(Write(lba, blocks, seed + i));
            written.push_back({lba, blocks});
        }
        ASSERT_GT(fw::wCountCachedOwnExtents(nullptr), 0) << "everything reached the drives before they stopped";
    }
    std::vector<std::pair<uint64_t, uint32_t>> written;
};

}  // namespace roadtest
