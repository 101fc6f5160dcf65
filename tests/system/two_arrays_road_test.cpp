// Two hosts write at once, each its own logical drive: one on a RAID 5
// array, one on a RAID 6 array.  The parity writes of both share the RAID
// engine's pages and its reserves for writes starved of pages; neither
// logical drive may ever hold a byte of the other's, in what the hosts read
// back or on the drives.
#include "host_road.h"

namespace {

using namespace roadtest;

constexpr uint64_t kSecondHostName = kHostName + 1;

// One logical drive, its array and what its host wrote.
struct LdUnderTest {
    ArraySpec spec;
    unsigned firstSlot;
    std::map<uint64_t, std::vector<uint8_t>> reference;
    std::set<uint64_t> touchedRows;
};

// A host writing one logical drive, one command at a time.
struct Writer {
    sim::FcHost* host;
    uint16_t lun;
    LdUnderTest* ld;
    bool fBusy = false;
    uint32_t tag = 0;
    uint64_t lba = 0;
    std::vector<uint8_t> data;
};

class TwoArraysRoad : public HostRoad, public ::testing::WithParamInterface<uint32_t> {
protected:
    static constexpr uint64_t kSpan = 65536;   // blocks of each logical drive written
    static constexpr unsigned kWrites = 3000;

    TwoArraysRoad() {
        chassisOptions.drives = 9;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
        lds[0] = {{"Raid5", fw::RAID_LEVEL_5, 4, 128}, 1, {}, {}};
        lds[1] = {{"Raid6", fw::RAID_LEVEL_6, 5, 128}, 5, {}, {}};
    }

    // Both arrays and a logical drive of one capacity unit on each, made
    // through the configuration edits and committed; a host on each host
    // port.
    void MakeArraysAndHosts() {
        ASSERT_NO_FATAL_FAILURE(StartController());
        cfgbuild::Builder builder(*board);
        ASSERT_TRUE(builder.OpenEdit());
        for (const LdUnderTest& ld : lds) {
            cfgbuild::ArraySpec a;
            a.bLevel = ld.spec.bLevel;
            for (unsigned m = 0; m < ld.spec.bDrives; ++m) a.slots.push_back(ld.firstSlot + m);
            a.wChunk = ld.spec.wChunk;
            ASSERT_EQ(builder.CreateArray(a), fw::STATUS_OK);
        }
        // Logical drive n on array n: the first free extent of each array.
        for (uint16_t wRank = 0; wRank < 2; ++wRank) {
            ASSERT_EQ(builder.CreateLdOnArray(wRank, 1, lds[wRank].spec.pszName), fw::STATUS_OK);
        }
        ASSERT_TRUE(builder.Commit()) << board->ConsoleText();
        for (uint16_t l = 0; l < 2; ++l) {
            ASSERT_EQ(fw::pGetLogicalDriveRecord(l)->wDefaultLun, l);
            ASSERT_GE(fw::pGetLogicalDriveRecord(l)->lLastBlock + 1, kSpan);
        }
        host = std::make_unique<sim::FcHost>(*board, *fabric, *sim::FindIspChip(*board, 1), kHostName);
        second = std::make_unique<sim::FcHost>(*board, *fabric, *sim::FindIspChip(*board, 2), kSecondHostName);
        for (uint16_t l = 0; l < 2; ++l) {
            sim::FcHost& h = l == 0 ? *host : *second;
            ASSERT_TRUE(h.LogIn()) << board->ConsoleText();
            sim::FcpResult r;
            for (int i = 0; i < 4 && !(r.outcome == sim::FcpResult::Outcome::Done && r.status == 0); ++i)
                r = h.Send(l, Cdb(fw::SCSI_TEST_UNIT_READY, 0, 0));
            ASSERT_EQ(r.status, 0) << "LUN " << l << " never became ready";
        }
        board->RunUntil([] { return fw::wGetTargetEntriesUsed() == 0 && fw::wGetKernelEntriesUsed() == 0; },
                        kSettleLimitNs);
        baseHostEntries = fw::wGetTargetEntriesUsed();
        baseChildren = fw::wGetKernelEntriesUsed();
        basePages = fw::dGetPagesInUse(0);
    }

    // A write of 1 to 128 blocks somewhere in the span: random bytes, each
    // block stamped with its logical drive and address, so that a block
    // found elsewhere says where it belonged.
    void Submit(Writer& w, std::mt19937& rng) {
        const uint32_t blocks = 1 + rng() % 128;
        w.lba = rng() % (kSpan - blocks);
        w.data = Random(blocks, rng());
        for (uint32_t i = 0; i < blocks; ++i) {
            const uint32_t stamp[2] = {w.lun, static_cast<uint32_t>(w.lba + i)};
            std::memcpy(&w.data[i * kBlock], stamp, sizeof stamp);
        }
        sim::FcpCommand c;
        c.lun = w.lun;
        c.cdb = Cdb(fw::SCSI_WRITE10, w.lba, blocks);
        c.dataOut = w.data;
        w.tag = w.host->initiator().Submit(w.host->target(), c);
        w.fBusy = true;
    }
    // The writer's command is answered GOOD; the reference holds its data.
    void Complete(Writer& w) {
        const sim::FcpResult r = w.host->initiator().Result(w.tag);
        w.host->initiator().Forget(w.tag);
        w.fBusy = false;
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        ASSERT_EQ(r.status, 0) << "LUN " << w.lun << " write " << w.lba << SenseText(r);
        for (uint32_t i = 0; i < w.data.size() / kBlock; ++i) {
            w.ld->reference[w.lba + i].assign(w.data.begin() + i * kBlock, w.data.begin() + (i + 1) * kBlock);
            w.ld->touchedRows.insert((w.lba + i) / RowDataBlocks(w.ld->spec));
        }
    }

    // Reads of the whole span return what the reference holds.
    void ExpectReads(sim::FcHost& h, uint16_t lun) {
        const LdUnderTest& ld = lds[lun];
        constexpr uint32_t kRead = 256;
        for (uint64_t x = 0; x < kSpan; x += kRead) {
            const sim::FcpResult r = h.Send(lun, Cdb(fw::SCSI_READ10, x, kRead), {}, kRead * kBlock);
            ASSERT_EQ(r.status, 0) << "LUN " << lun << " read " << x << SenseText(r);
            ASSERT_EQ(r.dataIn.size(), kRead * kBlock);
            for (uint32_t i = 0; i < kRead; ++i) {
                const auto it = ld.reference.find(x + i);
                const std::vector<uint8_t> want = it == ld.reference.end() ? std::vector<uint8_t>(kBlock, 0) : it->second;
                const auto got = r.dataIn.begin() + i * kBlock;
                if (std::equal(want.begin(), want.end(), got)) continue;
                uint32_t stamp[2];
                std::memcpy(stamp, &*got, sizeof stamp);
                FAIL() << "LUN " << lun << " block " << x + i << " holds what looks like LUN " << stamp[0]
                       << " block " << stamp[1];
            }
        }
    }
    // Each array's members hold what the layout model gives its logical
    // drive's reference.
    void ExpectDrivesMatchLayout(const LdUnderTest& ld) {
        SCOPED_TRACE(ld.spec.pszName);
        spec = ld.spec;
        firstSlot = ld.firstSlot;
        reference = ld.reference;
        touchedRows = ld.touchedRows;
        ExpectDrivesMatchReference();
    }

    LdUnderTest lds[2];
    std::unique_ptr<sim::FcHost> second;
};

// QD1 on each host, random writes of 1 to 128 blocks, write-back; then
// reads through the cache, and once the cache is on the drives, the drive
// images against the layout model and reads again.
TEST_P(TwoArraysRoad, Raid5AndRaid6WrittenAtOnceKeepEachOthersData) {
    ASSERT_NO_FATAL_FAILURE(MakeArraysAndHosts());
    std::mt19937 rng(GetParam());
    Writer writers[2] = {{host.get(), 0, &lds[0], false, 0, 0, {}}, {second.get(), 1, &lds[1], false, 0, 0, {}}};
    for (Writer& w : writers) Submit(w, rng);
    unsigned submitted = 2, answered = 0;
    while (answered < submitted) {
        const auto fAnswered = [&] {
            for (const Writer& w : writers)
                if (w.fBusy && w.host->initiator().Finished(w.tag)) return true;
            return false;
        };
        ASSERT_TRUE(host->RunUntil(fAnswered)) << "unanswered after " << answered << " writes";
        for (Writer& w : writers) {
            if (!w.fBusy || !w.host->initiator().Finished(w.tag)) continue;
            ASSERT_NO_FATAL_FAILURE(Complete(w));
            ++answered;
            if (submitted < kWrites) {
                Submit(w, rng);
                ++submitted;
            }
        }
    }
    ASSERT_NO_FATAL_FAILURE(ExpectReads(*host, 0));
    ASSERT_NO_FATAL_FAILURE(ExpectReads(*second, 1));
    Settle();
    for (const LdUnderTest& ld : lds) ASSERT_NO_FATAL_FAILURE(ExpectDrivesMatchLayout(ld));
    ASSERT_NO_FATAL_FAILURE(ExpectReads(*host, 0));
    ASSERT_NO_FATAL_FAILURE(ExpectReads(*second, 1));
}

INSTANTIATE_TEST_SUITE_P(Seeds, TwoArraysRoad, ::testing::Values(1u, 2u, 3u));

}  // namespace
