// Hosts on the Fibre Channel fabric against a controller with a logical
// drive: the host port's scan builds each initiator's LUN table from the
// logical drives and the SAN LUN mappings, and SCSI commands get their
// answers from the target engine end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config/config_image.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "harness/dispatch_board.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "harness/config_builder.h"

namespace {

using cfgbuild::ArraySpec;
using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kHostA = 0x2100001B32C00001ull;
constexpr uint64_t kHostB = 0x2100001B32C00002ull;
constexpr uint64_t kScanNs = 100'000'000;

class FcHostCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        for (uint8_t bChip = 1; bChip <= 2; ++bChip) sim::FindIspChip(board, bChip)->AttachFabric(fabric);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
        ASSERT_TRUE(builder.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 4));
        ASSERT_TRUE(builder.WaitIdle());
    }

    // The command until it is answered with anything but a unit attention.
    static sim::FcpResult Settled(sim::FcHost& host, uint16_t lun, const std::vector<uint8_t>& cdb, uint32_t in = 0) {
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = host.Send(lun, cdb, {}, in);
            if (r.outcome != Outcome::Done || r.status != fw::SCSI_STATUS_CHECK_CONDITION || r.sense.size() < 3 ||
                (r.sense[2] & 0x0F) != fw::SENSE_UNIT_ATTENTION) {
                break;
            }
        }
        return r;
    }

    // The column of an initiator in its port's LUN table.
    static int Column(uint8_t port, uint64_t portName) {
        const fw::HOST_PORT_RECORD* record = fw::pGetHostPortRecord(port);
        for (uint8_t i = 0; i < record->bInitiatorCount; ++i) {
            uint64_t name = 0;
            for (uint8_t b : record->asInitiator[i].abPortName) name = name << 8 | b;
            if (name == portName) return record->asInitiator[i].bId;
        }
        return -1;
    }
    static uint16_t Cell(uint8_t port, uint16_t lun, int column) {
        return fw::pGetHostLunTable(port)[lun * fw::HOST_LUN_INITIATORS + column];
    }

    sim::Chassis chassis;
    sim::FcFabric fabric;
    sim::Board board;
    cfgbuild::Builder builder{board};
};

TEST_F(FcHostCommandsTest, TestUnitReadyInquiryAndReadCapacityAreAnswered) {
    sim::FcHost host(board, fabric, *sim::FindIspChip(board, 1), kHostA);
    ASSERT_TRUE(host.LogIn());
    board.RunFor(kScanNs);

    sim::FcpResult r = Settled(host, 0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);

    r = host.Send(0, {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0}, {}, 96);
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    ASSERT_GE(r.dataIn.size(), 36u);
    EXPECT_EQ(r.dataIn[0], 0x00);   // a direct-access device is connected
    EXPECT_NE(r.dataIn[8], ' ');    // the vendor identification is given

    r = host.Send(0, {fw::SCSI_READ_CAPACITY10, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 8);
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    ASSERT_EQ(r.dataIn.size(), 8u);
    uint64_t last = 0;
    ASSERT_EQ(fw::bGetLogicalDriveCapacity(0, &last), fw::STATUS_OK);
    const uint32_t reported = static_cast<uint32_t>(r.dataIn[0]) << 24 | r.dataIn[1] << 16 | r.dataIn[2] << 8 | r.dataIn[3];
    EXPECT_EQ(reported, static_cast<uint32_t>(last));
    EXPECT_EQ(static_cast<uint32_t>(r.dataIn[6]) << 8 | r.dataIn[7], 512u);

    // Nothing at LUN 9: no device is connected there.
    r = host.Send(9, {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0}, {}, 36);
    ASSERT_EQ(r.outcome, Outcome::Done);
    ASSERT_GE(r.dataIn.size(), 1u);
    EXPECT_EQ(r.dataIn[0], 0x7F);
}

// The LUN the controller itself is presented at, with no logical drive
// there: TEST UNIT READY passes, INQUIRY finds a processor device and
// REPORT LUNS lists it; another unmapped LUN has none of this.
TEST_F(FcHostCommandsTest, TheControllerLunAnswersWithoutALogicalDrive) {
    ASSERT_TRUE(builder.OpenEdit());
    fw::pGetScratchConfigImage()->sHeader.wControllerLun = 7;
    ASSERT_TRUE(builder.Commit());
    sim::FcHost host(board, fabric, *sim::FindIspChip(board, 1), kHostA);
    ASSERT_TRUE(host.LogIn());
    board.RunFor(kScanNs);

    sim::FcpResult r = Settled(host, 7, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    r = Settled(host, 9, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
    ASSERT_EQ(r.outcome, Outcome::Done);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[12], 0x25);

    r = host.Send(7, {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0}, {}, 36);
    ASSERT_EQ(r.outcome, Outcome::Done);
    ASSERT_GE(r.dataIn.size(), 1u);
    EXPECT_EQ(r.dataIn[0], 0x03);   // a processor device

    r = host.Send(0, {fw::SCSI_REPORT_LUNS, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, {}, 256);
    ASSERT_EQ(r.outcome, Outcome::Done);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    std::vector<uint16_t> luns;
    for (size_t i = 8; i + 8 <= r.dataIn.size(); i += 8) luns.push_back(static_cast<uint16_t>(r.dataIn[i] << 8 | r.dataIn[i + 1]));
    EXPECT_EQ(luns, (std::vector<uint16_t>{0, 7}));
}

// An initiator named by a SAN LUN mapping sees the logical drive where the
// mapping puts it; a logical drive named by a mapping is shown to nobody
// else.
TEST_F(FcHostCommandsTest, TheScanAppliesTheMappingOfEachInitiator) {
    sim::FcHost a(board, fabric, *sim::FindIspChip(board, 1), kHostA);
    sim::FcHost b(board, fabric, *sim::FindIspChip(board, 1), kHostB);
    ASSERT_TRUE(a.LogIn());
    ASSERT_TRUE(b.LogIn());
    ASSERT_TRUE(builder.OpenEdit());
    ASSERT_EQ(cfgbuild::Builder::MapToInitiator(kHostB, {fw::LUN_MAP_NONE, fw::LUN_MAP_NONE, 0}), fw::STATUS_OK);
    ASSERT_TRUE(builder.Commit());
    ASSERT_TRUE(builder.WaitIdle());
    board.RunFor(kScanNs);

    const int columnA = Column(1, kHostA), columnB = Column(1, kHostB);
    ASSERT_GE(columnA, 0);
    ASSERT_GE(columnB, 0);
    EXPECT_EQ(Cell(1, 0, columnA), fw::LUN_MAP_NONE);
    EXPECT_EQ(Cell(1, 2, columnA), fw::LUN_MAP_NONE);
    EXPECT_EQ(Cell(1, 0, columnB), fw::LUN_MAP_NONE);
    EXPECT_EQ(Cell(1, 2, columnB) & 0x1FF, 0);

    uint64_t last = 0;
    ASSERT_EQ(fw::bGetLogicalDriveCapacity(0, &last), fw::STATUS_OK);
    sim::FcpResult r = Settled(b, 2, {fw::SCSI_READ_CAPACITY10, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    ASSERT_EQ(r.outcome, Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    ASSERT_EQ(r.dataIn.size(), 8u);
    EXPECT_EQ(static_cast<uint32_t>(r.dataIn[0]) << 24 | r.dataIn[1] << 16 | r.dataIn[2] << 8 | r.dataIn[3],
              static_cast<uint32_t>(last));
    // No direct-access device at LUN 0 for either of them.
    for (sim::FcHost* host : {&a, &b}) {
        r = Settled(*host, 0, {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0}, 36);
        ASSERT_EQ(r.outcome, Outcome::Done);
        ASSERT_GE(r.dataIn.size(), 1u);
        EXPECT_NE(r.dataIn[0], 0x00);
    }
}

}  // namespace
