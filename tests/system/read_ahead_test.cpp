// Read-ahead through simulated hosts on a controller with 512 MB of SDRAM:
// sequential readers are served from the read-ahead slots, reading each
// block from the drives about once with far fewer drive commands than host
// reads; random readers claim no slot; a write into a loaded slot is what a
// read across it returns; a prefetch that meets a medium error hands out
// nothing it did not read; and the main menu's dump shows the slots.
#include <algorithm>
#include <deque>
#include <memory>
#include <string>

#include "cache/read_ahead.h"
#include "console/console_menu.h"
#include "console/option_settings.h"
#include "executive/system_state.h"
#include "host_road.h"
#include "sas/sas_target.h"
#include "sim/sas_host.h"
#include "sim/sas_target_ioc.h"

namespace {

using namespace roadtest;

constexpr uint32_t kReadBlocks = 128;   // 64 KiB
constexpr uint64_t kStream = 16384;     // 8 MiB read by each reader
constexpr uint32_t kSlotBlocks = fw::READ_AHEAD_SLOT_BLOCKS;
constexpr uint8_t kAbortTask = 0x01;
constexpr uint8_t kQueryTask = 0x80;
constexpr uint8_t kTaskFound = 8;   // QUERY TASK's answer: the task is there
// Chunks of 512 KiB: a slot is a few drive commands.
const ArraySpec kRaid5 = {"Raid5", fw::RAID_LEVEL_5, 4, 1024};

class ReadAheadRoad : public HostRoad {
protected:
    ReadAheadRoad() { boardConfig.sdramBytes = 512u << 20; }

    // The array's read-ahead setting as stored: 4 prefetches up to 2 MB,
    // 15 none.  Streaming read-ahead on: half a slot read prefetches the
    // next.  The logical drive is this controller's alone: a drive both
    // controllers present tracks stripe access, and a read holding a
    // stripe access record prefetches no further than its row.
    void BootWithReadAhead(uint16_t wReadAhead = 4) {
        spec = kRaid5;
        std::vector<uint8_t> ab = Configuration(kRaid5);
        copytest::Image(ab)->asRank[0].wReadAhead = wReadAhead;
        copytest::Image(ab)->asLd[0].bAvailability = 0x03;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        ASSERT_NO_FATAL_FAILURE(Start());
        fw::SetStreamingReadAhead(fw::TRUE);
    }
    // The region written in large writes, which reach the drives.
    void Fill(uint64_t blocks = kStream) {
        for (uint64_t lba = 0; lba < blocks; lba += 1024) ASSERT_NO_FATAL_FAILURE(Write(lba, 1024, uint32_t(lba) + 1));
        Settle();
    }
    // From now on: the drives' reads of the array's data, commands and blocks.
    void WatchReads() {
        driveReads = driveReadBlocks = 0;
        for (unsigned slot = 1; slot <= spec.bDrives; ++slot) {
            chassis->DriveAt(slot)->onCommand = [this](std::span<const uint8_t> cdb) {
                uint64_t lba = 0;
                uint32_t blocks = 0;
                if (cdb[0] == fw::SCSI_READ10) {
                    lba = fw::dGetBe32(cdb.data() + 2);
                    blocks = fw::wGetBe16(cdb.data() + 7);
                } else if (cdb[0] == fw::SCSI_READ16) {
                    lba = fw::lGetBe64(cdb.data() + 2);
                    blocks = fw::dGetBe32(cdb.data() + 10);
                } else {
                    return;
                }
                if (lba >= spec.lBlocks) return;
                ++driveReads;
                driveReadBlocks += blocks;
            };
        }
    }
    std::unique_ptr<sim::FcHost> MoreHost(uint8_t h) {
        auto p = std::make_unique<sim::FcHost>(*board, *fabric, *sim::FindIspChip(*board, 1 + h % 2), kHostName + 1 + h);
        EXPECT_TRUE(p->LogIn());
        sim::FcpResult r;
        for (int i = 0; i < 3 && (r = p->Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0})).status != 0; ++i) {
        }
        EXPECT_EQ(r.status, 0);
        return p;
    }

    struct Reader {
        sim::FcHost* host;
        uint64_t next;
        uint64_t end;
        std::deque<std::pair<uint32_t, uint64_t>> inFlight;   // tag, LBA
    };
    // Each reader reads its extent in 64 KiB reads, four in flight, the
    // readers taking turns; every answer must be what the reference holds,
    // but for a read over one of the bad blocks, which may fail with the
    // drive's medium error instead.  How many host reads there were.
    uint64_t ReadAll(std::vector<Reader>& readers, const std::vector<uint64_t>& bad = {}) {
        uint64_t reads = 0;
        for (bool busy = true; busy;) {
            busy = false;
            for (Reader& r : readers) {
                while (r.next < r.end && r.inFlight.size() < 4) {
                    sim::FcpCommand c;
                    c.cdb = Cdb(fw::SCSI_READ10, r.next, kReadBlocks);
                    c.dataInLength = kReadBlocks * kBlock;
                    r.inFlight.push_back({r.host->Submit(c), r.next});
                    r.next += kReadBlocks;
                }
                if (r.inFlight.empty()) continue;
                busy = true;
                const auto [tag, lba] = r.inFlight.front();
                r.inFlight.pop_front();
                const sim::FcpResult res = r.host->Wait(tag);
                ++reads;
                const bool overBad =
                    std::any_of(bad.begin(), bad.end(), [lba](uint64_t b) { return b >= lba && b < lba + kReadBlocks; });
                if (overBad && res.outcome == sim::FcpResult::Outcome::Done && res.status != 0) {
                    EXPECT_TRUE(res.sense.size() >= 14 && (res.sense[2] & 0x0F) == fw::SENSE_MEDIUM_ERROR)
                        << "read at " << lba << SenseText(res);
                    ++failedReads;
                    continue;
                }
                EXPECT_TRUE(CheckRead(res, lba, kReadBlocks)) << "read at " << lba;
            }
        }
        return reads;
    }
    // GOOD with the reference's bytes.
    ::testing::AssertionResult CheckRead(const sim::FcpResult& r, uint64_t lba, uint32_t blocks) {
        if (r.outcome != sim::FcpResult::Outcome::Done) return ::testing::AssertionFailure() << "never answered";
        if (r.status != 0) return ::testing::AssertionFailure() << "status " << int(r.status) << SenseText(r);
        if (r.dataIn.size() != blocks * kBlock) return ::testing::AssertionFailure() << r.dataIn.size() << " bytes";
        for (uint32_t i = 0; i < blocks; ++i) {
            if (!std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock, Expected(lba + i).begin())) {
                return ::testing::AssertionFailure() << "block " << lba + i;
            }
        }
        return ::testing::AssertionSuccess();
    }
    static uint32_t LoadedSlots() {
        uint32_t n = 0;
        for (uint8_t b = 0; b < fw::READ_AHEAD_SLOTS; ++b) n += fw::psGetReadAheadSlot(b)->wLength != 0;
        return n;
    }

    uint64_t driveReads = 0;
    uint64_t driveReadBlocks = 0;
    uint32_t failedReads = 0;
};

// One host, then four, each reading its own extent from start to end.
class SequentialReaders : public ReadAheadRoad, public ::testing::WithParamInterface<int> {};

TEST_P(SequentialReaders, ReadEachBlockFromTheDrivesAboutOnce) {
    const int hosts = GetParam();
    const uint64_t region = hosts * kStream;
    ASSERT_NO_FATAL_FAILURE(BootWithReadAhead());
    ASSERT_NO_FATAL_FAILURE(Fill(region));
    WatchReads();
    std::vector<std::unique_ptr<sim::FcHost>> more;
    std::vector<Reader> readers;
    for (int h = 0; h < hosts; ++h) {
        sim::FcHost* p = host.get();
        if (h != 0) {
            more.push_back(MoreHost(static_cast<uint8_t>(h)));
            p = more.back().get();
        }
        readers.push_back({p, h * kStream, (h + 1) * kStream, {}});
    }
    const uint64_t reads = ReadAll(readers);
    EXPECT_EQ(reads, region / kReadBlocks);
    // Every block once; beyond that each stream's first read, which misses,
    // and the two slots it prefetches ahead of its reader at most.
    EXPECT_GE(driveReadBlocks, region);
    EXPECT_LE(driveReadBlocks, region + hosts * (kReadBlocks + 2 * kSlotBlocks)) << driveReads << " drive reads";
    EXPECT_LE(driveReads * 4, reads) << driveReadBlocks << " blocks";
    Settle();
}

INSTANTIATE_TEST_SUITE_P(Hosts, SequentialReaders, ::testing::Values(1, 4),
                         [](const auto& info) { return std::to_string(info.param) + "Hosts"; });

// Reads at scattered places claim no slot and read only what they ask.
TEST_F(ReadAheadRoad, RandomReadsClaimNoSlotAndReadOnlyWhatTheyAsk) {
    ASSERT_NO_FATAL_FAILURE(BootWithReadAhead());
    ASSERT_NO_FATAL_FAILURE(Fill());
    WatchReads();
    const uint32_t blocks = 8;
    for (uint64_t i = 0; i < 200; ++i) {
        const uint64_t lba = (i * 2654435761u) % (kStream / blocks) * blocks;
        const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, lba, blocks), {}, blocks * kBlock);
        ASSERT_TRUE(CheckRead(r, lba, blocks)) << "read at " << lba;
    }
    EXPECT_EQ(LoadedSlots(), 0u);
    EXPECT_EQ(driveReadBlocks, 200u * blocks);
    Settle();
}

// A write into a loaded slot: reads across it return what was written,
// before and after the write reaches the drives, and the part of the slot
// after the write still answers from the slot.
TEST_F(ReadAheadRoad, ReadsAcrossAWriteIntoALoadedSlotReturnTheWrittenData) {
    ASSERT_NO_FATAL_FAILURE(BootWithReadAhead());
    fw::SetStreamingReadAhead(fw::FALSE);
    ASSERT_NO_FATAL_FAILURE(Fill());
    std::vector<Reader> readers = {{host.get(), 0, 3 * kReadBlocks, {}}};
    (void)ReadAll(readers);
    const fw::READ_AHEAD_SLOT* ps = nullptr;
    for (uint8_t b = 0; b < fw::READ_AHEAD_SLOTS && ps == nullptr; ++b) {
        if (fw::psGetReadAheadSlot(b)->wLength != 0) ps = fw::psGetReadAheadSlot(b);
    }
    ASSERT_NE(ps, nullptr);
    ASSERT_EQ(ps->fLoaded, fw::TRUE);
    const uint64_t written = ps->lStart + 1000;
    ASSERT_NO_FATAL_FAILURE(Write(written, 16, 777));
    WatchReads();
    for (uint64_t lba : {written - 64, written + 8, written + 16}) {
        const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, lba, 128), {}, 128 * kBlock);
        EXPECT_TRUE(CheckRead(r, lba, 128)) << "read at " << lba;
    }
    const uint64_t missed = driveReadBlocks;
    const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, written + 200, 64), {}, 64 * kBlock);
    EXPECT_TRUE(CheckRead(r, written + 200, 64));
    EXPECT_EQ(driveReadBlocks, missed) << "the slot's part after the write";
    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(written - 64, 128);
}

// A read inside a loaded slot whose host expects less than it asks for
// gets the data that fits and the rest as its overrun residual, as from
// the drives.
TEST_F(ReadAheadRoad, AReadInsideASlotReportsItsOverrun) {
    ASSERT_NO_FATAL_FAILURE(BootWithReadAhead());
    ASSERT_NO_FATAL_FAILURE(Fill());
    std::vector<Reader> readers = {{host.get(), 0, 3 * kReadBlocks, {}}};
    (void)ReadAll(readers);
    ASSERT_EQ(LoadedSlots(), 1u);
    const uint64_t lba = 4 * kReadBlocks;
    const sim::FcpResult r = host->Send(0, Cdb(fw::SCSI_READ10, lba, kReadBlocks), {}, (kReadBlocks - 1) * kBlock);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, 0) << SenseText(r);
    EXPECT_TRUE(r.residualOver);
    EXPECT_EQ(r.residual, kBlock);
    ASSERT_EQ(r.dataIn.size(), (kReadBlocks - 1) * kBlock);
    for (uint32_t i = 0; i + 1 < kReadBlocks; ++i) {
        EXPECT_TRUE(std::equal(r.dataIn.begin() + i * kBlock, r.dataIn.begin() + (i + 1) * kBlock,
                               Expected(lba + i).begin()))
            << "block " << lba + i;
    }
    Settle();
}

// Prefetches over blocks a drive cannot read, with reads waiting for them:
// the fill waits while the blocks are regenerated from the other members
// and rewritten, and every read, the first and one from the slots loaded
// after, returns the data written.  The first bad block lies in the slot the second read fills, the
// second in the next extent the stream prefetches.
TEST_F(ReadAheadRoad, AFailedPrefetchHandsOutNothingItDidNotRead) {
    ASSERT_NO_FATAL_FAILURE(BootWithReadAhead());
    ASSERT_NO_FATAL_FAILURE(Fill());
    const std::vector<uint64_t> bad = {300, 4300};
    const raidref::ParityRank layout = ParityLayout();
    for (uint64_t b : bad) {
        const uint64_t row = b / RowBlocks();
        const uint64_t inRow = b % RowBlocks();
        const unsigned member = layout.DataMembers(row, 0)[inRow / spec.wChunk];
        chassis->DriveAt(member + 1)->InjectMediaError(row * spec.wChunk + inRow % spec.wChunk, 1);
    }
    std::vector<Reader> readers = {{host.get(), 0, kStream, {}}};
    EXPECT_EQ(ReadAll(readers), kStream / kReadBlocks);
    EXPECT_EQ(failedReads, 0u);
    // Read again, now from the slots the stream left loaded.
    readers = {{host.get(), 0, kStream, {}}};
    EXPECT_EQ(ReadAll(readers), kStream / kReadBlocks);
    Settle();
}

// With read-ahead off for the array, or for the controller, nothing is
// prefetched: every read is its own drive read.
TEST_F(ReadAheadRoad, NothingIsPrefetchedWhereReadAheadIsOff) {
    struct Case {
        const char* pszWhat;
        uint16_t wRankSetting;
        uint8_t fControllerSetting;
    };
    const Case cases[] = {{"the array's off", 15, fw::TRUE}, {"the controller's off", 4, fw::FALSE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        ASSERT_NO_FATAL_FAILURE(BootWithReadAhead(c.wRankSetting));
        fw::SetReadAheadCaching(c.fControllerSetting);
        ASSERT_NO_FATAL_FAILURE(Fill());
        WatchReads();
        std::vector<Reader> readers = {{host.get(), 0, 2048, {}}};
        const uint64_t reads = ReadAll(readers);
        EXPECT_EQ(LoadedSlots(), 0u);
        EXPECT_EQ(driveReadBlocks, 2048u);
        EXPECT_GE(driveReads, reads);
        Settle();
        Stop();
    }
}

// The main menu's dump of the target queues shows the slots as two
// sequential reads left them: the first read a miss, the second filling
// slot 0 from its own address with a 4096-block prefetch, used by no one
// once answered.
TEST_F(ReadAheadRoad, TheMainMenusTargetQueueDumpShowsTheSlots) {
    ASSERT_NO_FATAL_FAILURE(BootWithReadAhead());
    ASSERT_NO_FATAL_FAILURE(Fill());
    ExpectRead(0, kReadBlocks);
    ExpectRead(kReadBlocks, kReadBlocks);
    ExpectRead(2 * kReadBlocks, kReadBlocks);

    Settle();
    fw::SetDiagnosticsModeLevel(2);
    board->TypeKeys("\x05");
    board->RunFor(200'000'000);
    board->ClearConsoleText();
    board->TypeKeys("10\r");
    board->RunFor(2'000'000'000);
    const std::string text = board->ConsoleText();
    const size_t at = text.find("Read-Ahead Buffer info");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string dump = text.substr(at, text.find("\r\n", text.find("LRU: ", at)) + 2 - at);
    char first[128];
    std::snprintf(first, sizeof first,
                  "00 TF A:%08x Cnt:000 Wait:0000 A:0000000080->0000001080 L:1000 T:00000100\r\n",
                  static_cast<uint32_t>(fw::psGetReadAheadSlot(0)->dHandle));
    std::string expected = "Read-Ahead Buffer info\r\n" + std::string(first);
    for (uint8_t b = 1; b < fw::READ_AHEAD_SLOTS; ++b) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "%02x FF A:%08x Cnt:000 Wait:0000 A:ffffffffff->ffffffffff L:0000 T:00000000\r\n", b,
                      static_cast<uint32_t>(fw::psGetReadAheadSlot(b)->dHandle));
        expected += line;
    }
    expected += "LRU: ";
    for (uint8_t b = 1; b < fw::READ_AHEAD_SLOTS; ++b) {
        char entry[8];
        std::snprintf(entry, sizeof entry, "%02x ", b);
        expected += entry;
    }
    expected += "00 \r\n";
    EXPECT_EQ(dump, expected);
    // The buffers are the slots' own, 2 MB apart in the bank.
    for (uint8_t b = 1; b < fw::READ_AHEAD_SLOTS; ++b) {
        const fw::BUFFER_HANDLE d = fw::psGetReadAheadSlot(b)->dHandle;
        EXPECT_EQ(d, fw::psGetReadAheadSlot(b - 1)->dHandle + (2u << 20));
    }
}

// ---- through SAS and parallel SCSI host ports --------------------------------

// A read inside a loaded slot, its data held back by the port's IOC.
class SlotTransferRoad : public ReadAheadRoad, public ::testing::WithParamInterface<HostKind> {
protected:
    SlotTransferRoad() { hostKind = GetParam(); }
    sim::TaggedHost& Host() { return PortHost(); }
    // The first slot two sequential reads loaded, and the host entries in
    // use at rest.
    void LoadASlot() {
        ASSERT_NO_FATAL_FAILURE(BootWithReadAhead());
        fw::SetStreamingReadAhead(fw::FALSE);
        ASSERT_NO_FATAL_FAILURE(Fill(2 * kSlotBlocks));
        for (uint64_t lba = 0; lba < 3 * kReadBlocks; lba += kReadBlocks) ASSERT_NO_FATAL_FAILURE(ExpectRead(lba, kReadBlocks));
        ASSERT_EQ(LoadedSlots(), 1u);
        while (fw::psGetReadAheadSlot(slot)->wLength == 0) ++slot;
        ASSERT_EQ(fw::psGetReadAheadSlot(slot)->fLoaded, fw::TRUE);
        Settle();
        entriesAtRest = fw::wGetTargetEntriesUsed();
        ASSERT_EQ(fw::wGetReadAheadUsers(slot), 0);
    }
    uint32_t HeldSlotRead(uint64_t lba) {
        Hold(true);
        const uint32_t tag = Host().Submit(sim::FcpCommand::To(0, Cdb(fw::SCSI_READ10, lba, kReadBlocks), {},
                                                               kReadBlocks * kBlock));
        EXPECT_TRUE(Host().RunUntil([this] { return Held() == 1; }));
        return tag;
    }
    bool SlotLetGo() {
        return Host().RunUntil([this] { return fw::wGetReadAheadUsers(slot) == 0; });
    }
    uint8_t slot = 0;
    uint16_t entriesAtRest = 0;
};

// A read answered from a slot ends at once; the slot's marker holds the
// slot until the IOC has sent its data, and the host gets the slot's bytes.
TEST_P(SlotTransferRoad, ASlotsTransferHoldsTheSlotUntilItIsSent) {
    ASSERT_NO_FATAL_FAILURE(LoadASlot());
    const uint64_t lba = 4 * kReadBlocks;
    const uint32_t tag = HeldSlotRead(lba);
    board->RunFor(100'000'000);
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), entriesAtRest) << "the command ended with its transfer posted";
    EXPECT_EQ(fw::wGetReadAheadUsers(slot), 1) << "the transfer's hold";
    Release();
    EXPECT_TRUE(CheckRead(Host().Wait(tag), lba, kReadBlocks));
    EXPECT_TRUE(SlotLetGo());
    Settle();
}
INSTANTIATE_TEST_SUITE_P(Ports, SlotTransferRoad, ::testing::Values(HostKind::Sas, HostKind::Scsi),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

// On SAS task management finds the transfer by the request the IOC holds:
// QUERY TASK reports it, ABORT TASK ends it at the IOC and lets the slot go,
// and every exchange, buffer and frame of the port is back.
class SasSlotTransferRoad : public SlotTransferRoad {};

TEST_P(SasSlotTransferRoad, AnAbortedSlotTransferLetsTheSlotGo) {
    ASSERT_NO_FATAL_FAILURE(LoadASlot());
    const uint64_t lba = 5 * kReadBlocks;
    const uint32_t tag = HeldSlotRead(lba);
    EXPECT_EQ(Host().TaskManagement(0, kQueryTask, static_cast<uint16_t>(tag)).status, kTaskFound);
    EXPECT_EQ(Host().TaskManagement(0, kAbortTask, static_cast<uint16_t>(tag)).status, 0);
    EXPECT_EQ(Host().Wait(tag).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_EQ(Held(), 0u);
    EXPECT_TRUE(SlotLetGo());
    Hold(false);
    ExpectRead(lba, kReadBlocks);
    Settle();
    sim::SasTargetIoc& ioc = *board->sasTargetIoc();
    EXPECT_EQ(ioc.openExchanges(), 0u);
    EXPECT_EQ(ioc.freeCommandBuffers(), fw::SAS_TARGET_MAX_CMD_BUFFERS);
    EXPECT_EQ(fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1)->wRequestsInUse, 0);
}
// A link lost for longer than 2 s ends every transfer of its port, a slot's
// too, whose command has ended: the abort names the transfer by the reply
// word the IOC holds for it, initiator and all.  The host here is not the
// IOC's initiator 0: a host on the other port took that index first.
TEST_P(SasSlotTransferRoad, ALinkLostLongerEndsASlotTransferOfItsPort) {
    prepareSasIoc = [](sim::SasTargetIoc& ioc) { ioc.Attach(1, kSasHostAddress + 1); };
    ASSERT_NO_FATAL_FAILURE(LoadASlot());
    ASSERT_NE(sasHost->index(), 0);
    const uint32_t tag = HeldSlotRead(5 * kReadBlocks);
    Host().RunUntil([this] { return fw::wGetReadAheadUsers(slot) == 1; });
    ASSERT_EQ(fw::wGetTargetEntriesUsed(), entriesAtRest) << "the command ended with its transfer posted";
    ASSERT_EQ(fw::wGetReadAheadUsers(slot), 1) << "the transfer's hold";
    board->sasTargetIoc()->SetLink(0, false);
    board->RunFor(12'000'000'000ull);
    EXPECT_EQ(Held(), 0u) << "the slot's transfer still runs at the IOC";
    EXPECT_TRUE(SlotLetGo());
    EXPECT_EQ(Host().Wait(tag).outcome, sim::FcpResult::Outcome::Terminated);
    board->sasTargetIoc()->SetLink(0, true);
    Hold(false);
    Settle();
}
INSTANTIATE_TEST_SUITE_P(Ports, SasSlotTransferRoad, ::testing::Values(HostKind::Sas),
                         [](const auto& info) { return std::string(HostKindName(info.param)); });

}  // namespace
