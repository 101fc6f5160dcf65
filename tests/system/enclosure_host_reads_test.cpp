// A host reads the pages the enclosures reported through the management
// page reads, by enclosure or by a drive the enclosure holds; the console
// reads and sends the first enclosure's status page.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/enclosure_table.h"
#include "enclosure/ses_host_reads.h"
#include "executive/types.h"
#include "harness/dispatch_board.h"
#include "harness/fc_array_controller.h"
#include "hw/scsi.h"
#include "hw/ses.h"
#include "mgmt/management.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
constexpr uint32_t kIllegalField = 0x052400;

sim::ChassisOptions Options() {
    sim::ChassisOptions o;
    o.drives = 4;
    o.driveBytes = 64ull << 20;
    o.expansions = 1;
    o.expansionDrives = 3;
    return o;
}

class EnclosureHostReads : public ::testing::Test {
protected:
    EnclosureHostReads() : chassis(Options()), fabric(sim::FcFabric::Topology::Fabric) {}
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        for (uint8_t bChip = 1; bChip <= 2; ++bChip) sim::FindIspChip(board, bChip)->AttachFabric(fabric);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        // A full pass has read every page the expansion lists.
        const fw::ENCLOSURE_TABLE* ps = fw::pGetEnclosureTable();
        ASSERT_TRUE(RunUntil([ps] {
            return fw::bGetSesLevel() == fw::SES_LEVEL_FULL && ps->dTotalNoOfEnclosures == 2 &&
                   ps->asEnclosure[1].abDescriptorPage[0] == fw::SES_PAGE_DESCRIPTOR &&
                   fw::fIsSesDeviceBusy() != fw::TRUE;
        }, 300 * kSecond));
        host = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 1), 0x2100001B32000044ull);
        ASSERT_TRUE(host->LogIn());
    }
    template <typename P>
    bool RunUntil(P p, uint64_t ns) {
        return board.RunUntil(p, ns) == sim::StopKind::Running && p();
    }
    sim::FcpResult Read(uint8_t bBufferId, uint8_t bTarget, uint8_t bPage, uint16_t wLength, uint8_t bOpcode = 0x1C) {
        const std::vector<uint8_t> cdb = {fw::SCSI_READ_BUFFER, 0x01, bBufferId, bTarget, bOpcode, 0x01, bPage,
                                          uint8_t(wLength >> 8), uint8_t(wLength), 0};
        return harness::FcArrayController::Settled(*host, 0, cdb, {}, 4096);
    }
    static std::vector<uint8_t> Bytes(const uint8_t* pb, size_t n) { return std::vector<uint8_t>(pb, pb + n); }
    static size_t PageBytes(const uint8_t* pb) { return (size_t(pb[2]) << 8 | pb[3]) + 4; }

    sim::Chassis chassis;
    sim::Board board;
    sim::FcFabric fabric;
    std::unique_ptr<sim::FcHost> host;
};

TEST_F(EnclosureHostReads, CachedPagesByEnclosureAndByDriveBoundedAndChecked) {
    using harness::FcArrayController;
    const fw::ENCLOSURE& s = fw::pGetEnclosureTable()->asEnclosure[1];

    // Each kept page of the expansion, as the controller holds it.
    struct Kept {
        uint8_t bPage;
        const uint8_t* pb;
    };
    for (const Kept& k : {Kept{0x01, s.abConfigPage}, Kept{0x02, s.abStatusPage}, Kept{0x04, s.abStringPage},
                          Kept{0x05, s.abThresholdPage}, Kept{0x07, s.abDescriptorPage}}) {
        ASSERT_EQ(k.pb[0], k.bPage);
        const sim::FcpResult r = Read(fw::MGMT_PAGE_ENCLOSURE_SES_PAGE, 1, k.bPage, 2048);
        ASSERT_EQ(r.status, fw::SCSI_STATUS_GOOD) << int(k.bPage);
        EXPECT_EQ(r.dataIn, Bytes(k.pb, PageBytes(k.pb))) << int(k.bPage);
    }
    // The host's length bounds the answer.
    sim::FcpResult r = Read(fw::MGMT_PAGE_ENCLOSURE_SES_PAGE, 1, 0x01, 8);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(r.dataIn, Bytes(s.abConfigPage, 8));

    // A page whose length claims more than its copy holds is given only as
    // far as the copy goes.
    fw::ENCLOSURE& w = fw::pGetEnclosureTable()->asEnclosure[1];
    const uint8_t abSaved[2] = {w.abStringPage[2], w.abStringPage[3]};
    w.abStringPage[2] = 0x0F;
    w.abStringPage[3] = 0xF0;
    r = Read(fw::MGMT_PAGE_ENCLOSURE_SES_PAGE, 1, 0x04, 4000);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(r.dataIn.size(), sizeof w.abStringPage);
    w.abStringPage[2] = abSaved[0];
    w.abStringPage[3] = abSaved[1];

    // Refused: an enclosure past the table, another command than RECEIVE
    // DIAGNOSTIC RESULTS, a page not kept.
    EXPECT_EQ(FcArrayController::Sense(Read(fw::MGMT_PAGE_ENCLOSURE_SES_PAGE, 2, 0x01, 256)), kIllegalField);
    EXPECT_EQ(FcArrayController::Sense(Read(fw::MGMT_PAGE_ENCLOSURE_SES_PAGE, 0xFF, 0x01, 256)), kIllegalField);
    EXPECT_EQ(FcArrayController::Sense(Read(fw::MGMT_PAGE_ENCLOSURE_SES_PAGE, 1, 0x01, 256, 0x1D)), kIllegalField);
    for (uint8_t bPage : {0x00, 0x06, 0x89})
        EXPECT_EQ(FcArrayController::Sense(Read(fw::MGMT_PAGE_ENCLOSURE_SES_PAGE, 1, bPage, 256)), kIllegalField)
            << int(bPage);

    // By a drive: the enclosure the drive stands in; only pages 1, 2 and 4.
    fw::DRIVE_INFO* psDrive = nullptr;
    ASSERT_EQ(fw::fFindDriveByEnclosureSlot(2, 2, &psDrive), fw::TRUE);
    const uint8_t bId = psDrive->bLoopID1;
    ASSERT_LT(bId, 0x80);
    r = Read(fw::MGMT_PAGE_ENCLOSURE_OF_DRIVE, bId, 0x01, 2048);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(r.dataIn, Bytes(s.abConfigPage, PageBytes(s.abConfigPage)));
    EXPECT_EQ(FcArrayController::Sense(Read(fw::MGMT_PAGE_ENCLOSURE_OF_DRIVE, bId, 0x07, 2048)), kIllegalField);
    // The same id on the second path names no drive.
    EXPECT_EQ(FcArrayController::Sense(Read(fw::MGMT_PAGE_ENCLOSURE_OF_DRIVE, bId | 0x80, 0x01, 2048)),
              kIllegalField);

    // The expansion's processor is listed behind the drive records.
    const fw::DRIVE_INFO_LIST* psList = fw::pGetDriveInfoList();
    ASSERT_GE(psList->bEnclosureRecordCount, 1);
    bool fFound = false;
    for (uint8_t i = 0; i < psList->bEnclosureRecordCount; ++i) {
        const auto* psRecord = reinterpret_cast<const fw::SAS_STP_ENTRY*>(psList->aabEnclosureRecord[i]);
        EXPECT_EQ(fw::fIsSesDevicePath(psRecord->bTargetId), fw::TRUE);
        uint8_t abAddress[8] = {};
        ASSERT_EQ(fw::bGetSesDeviceSasAddress(abAddress, psRecord->bTargetId), fw::STATUS_OK);
        EXPECT_EQ(std::memcmp(abAddress, psRecord->abSASAddressBE, 8), 0);
        fFound = true;
    }
    EXPECT_TRUE(fFound);
    EXPECT_EQ(fw::fIsSesDevicePath(psDrive->bLoopID1), fw::FALSE);
    uint8_t abAddress[8] = {};
    EXPECT_EQ(fw::bGetSesDeviceSasAddress(abAddress, psDrive->bLoopID1), 0);

    // The auxiliary status record: its length and version, a read from
    // inside it that asks past its end, and one that starts past it.
    const auto Aux = [&](uint32_t dOffset, uint32_t dLength) {
        const std::vector<uint8_t> cdb = {fw::SCSI_READ_BUFFER, 0x01, fw::MGMT_PAGE_AUX_STATUS_RECORD,
                                          uint8_t(dOffset >> 16), uint8_t(dOffset >> 8), uint8_t(dOffset),
                                          uint8_t(dLength >> 16), uint8_t(dLength >> 8), uint8_t(dLength), 0};
        return FcArrayController::Settled(*host, 0, cdb, {}, 4096);
    };
    r = Aux(0, 4096);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    std::vector<uint8_t> abRecord(40, 0);
    abRecord[0] = 40;
    abRecord[4] = 2;
    EXPECT_EQ(r.dataIn, abRecord);
    r = Aux(36, 16);
    ASSERT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    EXPECT_EQ(r.dataIn.size(), 4u);
    EXPECT_EQ(FcArrayController::Sense(Aux(40, 16)), kIllegalField);

    // The console's own read and send of the first enclosure's status page:
    // the device is taken only for them and given back.
    board.ClearConsoleText();
    ASSERT_EQ(fw::ReadSesStatusPage(), fw::STATUS_OK);
    (void)board.RunFor(10'000'000);
    EXPECT_NE(board.ConsoleText().find("Recv Diagnostics command sent"), std::string::npos);
    EXPECT_NE(fw::fIsSesDeviceBusy(), fw::TRUE);
    ASSERT_EQ(fw::SendSesStatusPage(), fw::STATUS_OK);
    EXPECT_NE(fw::fIsSesDeviceBusy(), fw::TRUE);
    // Not while a pass has the device.
    fw::SetSesDeviceBusy(fw::TRUE);
    EXPECT_EQ(fw::ReadSesStatusPage(), 0);
    EXPECT_EQ(fw::SendSesStatusPage(), 0);
    fw::SetSesDeviceBusy(fw::FALSE);
}

}  // namespace
