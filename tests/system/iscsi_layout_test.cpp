// What a host writes through an iSCSI session is on the drives where the
// layout model puts it once SYNCHRONIZE CACHE is answered: the data, both
// halves of a mirror, and P (and Q) of every row written.
#include "host_road.h"
#include "harness/iscsi_host.h"
#include "sim/iscsi_fc_bridge.h"

namespace {

using namespace roadtest;
namespace iscsi = sim::iscsi;

class IscsiLayout : public HostRoad, public ::testing::WithParamInterface<ArraySpec> {
protected:
    // The road's array, with SYNCHRONIZE CACHE honoured (by default the
    // controller answers it at once and trusts its battery-backed cache).
    void BootHonouringSynchronize(const ArraySpec& a) {
        spec = a;
        std::vector<uint8_t> ab = Configuration(a);
        copytest::Image(ab)->sHeader.fCacheFlushCommand = fw::TRUE;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= a.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), ab);
        Start();
    }
    // A session on host port 2, beside the FC host on port 1.  Its first
    // command may meet the unit attention of its initiator's login.
    void OpenSession() {
        bridge = std::make_unique<sim::IscsiFcBridge>(
            *fabric, std::vector<sim::FcTargetPort*>{sim::FindIspChip(*board, 1), sim::FindIspChip(*board, 2)});
        portal = std::make_unique<sim::IscsiPortal>(*bridge);
        session = std::make_unique<iscsitest::BoardHost>(*board, *portal);
        ASSERT_TRUE(session->LogInNormal({}, "iqn.2026-12.sim.array-controller:port2"));
        uint8_t status = 0xFF;
        for (int i = 0; i < 3 && status != 0; ++i) status = NoData({fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
        ASSERT_EQ(status, 0) << "the logical drive never became ready";
    }
    uint8_t NoData(std::vector<uint8_t> cdb) {
        session->Send(session->Command(0x81, std::move(cdb), 0));
        const iscsi::Pdu r = session->Next();
        EXPECT_EQ(r.opcode(), iscsi::kScsiResponse);
        return r.bhs[3];
    }

    std::unique_ptr<sim::IscsiFcBridge> bridge;
    std::unique_ptr<sim::IscsiPortal> portal;
    std::unique_ptr<iscsitest::BoardHost> session;
};

// Writes of random lengths and places, overlapping one another, with
// immediate data and without; after SYNCHRONIZE CACHE the drives hold them
// (a write-back cache must have written every one), and reads through the
// session return them.
TEST_P(IscsiLayout, SynchronizedWritesAreWhereTheLayoutPutsThem) {
    ASSERT_NO_FATAL_FAILURE(BootHonouringSynchronize(GetParam()));
    ASSERT_NO_FATAL_FAILURE(OpenSession());
    std::mt19937 rng(11);
    const uint64_t span = RowBlocks() * 8;
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t blocks = 1 + rng() % (3 * spec.wChunk);
        const uint32_t lba = uint32_t(rng() % (span - blocks));
        const std::vector<uint8_t> data = Random(blocks, 300 + i);
        const iscsi::Pdu r = session->Write(iscsitest::Rw10(fw::SCSI_WRITE10, lba, uint16_t(blocks)), data,
                                            i % 2 ? 4096 : 0);
        ASSERT_EQ(r.opcode(), iscsi::kScsiResponse) << "write " << lba << "+" << blocks;
        ASSERT_EQ(r.bhs[3], 0) << "write " << lba << "+" << blocks;
        Record(lba, data);
    }
    ASSERT_EQ(NoData({fw::SCSI_SYNCHRONIZE_CACHE10, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    ExpectDrivesMatchReference();

    std::vector<uint8_t> read;
    const iscsi::Pdu r = session->Read(iscsitest::Rw10(fw::SCSI_READ10, 0, uint16_t(span)), uint32_t(span * kBlock), &read);
    EXPECT_EQ(r.bhs[3], 0);
    ASSERT_EQ(read.size(), span * kBlock);
    for (uint64_t x = 0; x < span; ++x)
        ASSERT_TRUE(std::equal(read.begin() + long(x * kBlock), read.begin() + long((x + 1) * kBlock), Expected(x).begin()))
            << "block " << x;
}

// Transfers longer than one pass of the controller, through the session:
// each gets one status, and the data is the reference's.
TEST_P(IscsiLayout, TransfersLongerThanAPassComeBackWhole) {
    ASSERT_NO_FATAL_FAILURE(Boot(GetParam()));
    ASSERT_NO_FATAL_FAILURE(OpenSession());
    for (const auto& [lba, blocks] : {std::pair<uint32_t, uint32_t>{5, 16385}, {20000, 32768}}) {
        const std::vector<uint8_t> data = Random(blocks, lba);
        const iscsi::Pdu w = session->Write(iscsitest::Rw10(fw::SCSI_WRITE10, lba, uint16_t(blocks)), data, 8192, 65536);
        ASSERT_EQ(w.opcode(), iscsi::kScsiResponse) << "write " << lba << "+" << blocks;
        ASSERT_EQ(w.bhs[3], 0) << "write " << lba << "+" << blocks;
        Record(lba, data);
    }
    std::vector<uint8_t> read;
    const iscsi::Pdu r = session->Read(iscsitest::Rw10(fw::SCSI_READ10, 0, 65535), 65535 * kBlock, &read);
    ASSERT_EQ(r.bhs[3], 0);
    ASSERT_EQ(read.size(), 65535u * kBlock);
    for (uint64_t x = 0; x < 65535; ++x)
        ASSERT_TRUE(std::equal(read.begin() + long(x * kBlock), read.begin() + long((x + 1) * kBlock), Expected(x).begin()))
            << "block " << x;
}

const ArraySpec kArrays[] = {
    {"Raid1", fw::RAID_LEVEL_10, 2, 16},
    {"Raid5", fw::RAID_LEVEL_5, 4, 16},
    {"Raid6", fw::RAID_LEVEL_6, 5, 16},
};
INSTANTIATE_TEST_SUITE_P(Arrays, IscsiLayout, ::testing::ValuesIn(kArrays),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
