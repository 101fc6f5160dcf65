// What hosts that follow the SCSI standards (SPC-3, SBC-3) expect of a
// logical drive, asked by Fibre Channel hosts of a booted controller: the
// unit attention after a reset, WRITE AND VERIFY in both its lengths,
// INQUIRY's 16-bit allocation length, and the protection checks and the
// software write protect the controller does not offer refused rather than
// taken and ignored.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "executive/types.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace {

using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kHostA = 0x2100001B32C00011ull;
constexpr uint64_t kHostB = 0x2100001B32C00012ull;
constexpr uint64_t kScanNs = 100'000'000;

class StandardHostAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        for (uint8_t chip = 1; chip <= 2; ++chip) sim::FindIspChip(board, chip)->AttachFabric(fabric);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
        ASSERT_TRUE(builder.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 4));
        ASSERT_TRUE(builder.WaitIdle());
        a = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 1), kHostA);
        b = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 1), kHostB);
        // The same logical drive through the other host port.
        other = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 2), kHostB);
        for (sim::FcHost* h : Hosts()) ASSERT_TRUE(h->LogIn());
        board.RunFor(kScanNs);
        // The power-on attention each host meets first.
        for (sim::FcHost* h : Hosts()) ASSERT_EQ(SenseKey(h->Send(0, kTestUnitReady)), fw::SENSE_UNIT_ATTENTION);
    }
    static int SenseKey(const sim::FcpResult& r) {
        if (r.outcome != Outcome::Done) return -1;
        if (r.status == fw::SCSI_STATUS_GOOD) return 0;
        return r.sense.size() >= 14 ? r.sense[2] & 0x0F : -2;
    }
    static int Asc(const sim::FcpResult& r) { return r.sense.size() >= 14 ? r.sense[12] : -1; }
    static std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
        std::vector<uint8_t> v(bytes);
        for (size_t i = 0; i < bytes; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
        return v;
    }
    static std::vector<uint8_t> Cdb16(uint8_t opcode, uint8_t byte1, uint64_t lba, uint32_t blocks) {
        std::vector<uint8_t> c(16, 0);
        c[0] = opcode;
        c[1] = byte1;
        for (int i = 0; i < 8; ++i) c[2 + i] = static_cast<uint8_t>(lba >> (56 - 8 * i));
        for (int i = 0; i < 4; ++i) c[10 + i] = static_cast<uint8_t>(blocks >> (24 - 8 * i));
        return c;
    }
    std::vector<uint8_t> Read(uint64_t lba, uint32_t blocks) {
        const sim::FcpResult r = a->Send(0, Cdb16(fw::SCSI_READ16, 0, lba, blocks), {}, blocks * 512);
        EXPECT_EQ(SenseKey(r), 0);
        return r.dataIn;
    }

    static inline const std::vector<uint8_t> kTestUnitReady = {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    sim::Chassis chassis;
    sim::FcFabric fabric;
    sim::Board board;
    cfgbuild::Builder builder{board};
    std::vector<sim::FcHost*> Hosts() { return {a.get(), b.get(), other.get()}; }
    std::unique_ptr<sim::FcHost> a, b, other;   // once the board runs
};

// After a LOGICAL UNIT RESET every host of the logical unit, through either
// host port, meets one unit attention on the LUN (power on, reset or bus
// device reset occurred) before its commands are served again; after a
// TARGET RESET every host of that port does.
TEST_F(StandardHostAnswers, EveryHostMeetsOneUnitAttentionAfterAReset) {
    for (uint8_t function : {fw::TMF_LUN_RESET, fw::TMF_TARGET_RESET}) {
        SCOPED_TRACE(int(function));
        ASSERT_EQ(SenseKey(a->Send(0, kTestUnitReady)), 0);
        const sim::FcpResult reset = a->TaskManagement(0, function);
        ASSERT_EQ(reset.outcome, Outcome::Done);
        EXPECT_EQ(reset.status, fw::SCSI_STATUS_GOOD);
        for (sim::FcHost* h : Hosts()) {
            SCOPED_TRACE(h == other.get() ? "other port" : "same port");
            const sim::FcpResult r = h->Send(0, kTestUnitReady);
            const bool attention = function == fw::TMF_LUN_RESET || h != other.get();
            EXPECT_EQ(SenseKey(r), attention ? fw::SENSE_UNIT_ATTENTION : 0);
            if (attention) {
                EXPECT_EQ(Asc(r), 0x29);
            }
            EXPECT_EQ(SenseKey(h->Send(0, kTestUnitReady)), 0);
        }
    }
}

// WRITE AND VERIFY(16) is the write its 10-byte form is, whatever its
// verify bits say: the data lands and reads back.
TEST_F(StandardHostAnswers, WriteAndVerifyOfBothLengthsWrites) {
    constexpr uint8_t kByteCheck = 0x02;
    const std::vector<uint8_t> first = Pattern(8 * 512, 1), second = Pattern(8 * 512, 2), third = Pattern(8 * 512, 3);
    std::vector<uint8_t> ten = {fw::SCSI_WRITE_AND_VERIFY10, kByteCheck, 0, 0, 0, 64, 0, 0, 8, 0};
    EXPECT_EQ(SenseKey(a->Send(0, ten, first)), 0);
    EXPECT_EQ(Read(64, 8), first);
    EXPECT_EQ(SenseKey(a->Send(0, Cdb16(fw::SCSI_WRITE_AND_VERIFY16, 0, 72, 8), second)), 0);
    EXPECT_EQ(SenseKey(a->Send(0, Cdb16(fw::SCSI_WRITE_AND_VERIFY16, kByteCheck, 80, 8), third)), 0);
    EXPECT_EQ(Read(72, 8), second);
    EXPECT_EQ(Read(80, 8), third);
}

// The logical drives carry no protection information: a READ or WRITE
// that asks for its checks is refused, not served unchecked; a 6-byte
// command's old LUN bits, in the same place, are still taken.
TEST_F(StandardHostAnswers, ProtectionChecksAreRefusedNotSkipped) {
    const std::vector<uint8_t> data = Pattern(512, 5), other = Pattern(512, 6);
    ASSERT_EQ(SenseKey(a->Send(0, Cdb16(fw::SCSI_WRITE16, 0, 200, 1), data)), 0);
    const std::vector<std::vector<uint8_t>> reads = {
        {fw::SCSI_READ10, 0x20, 0, 0, 0, 200, 0, 0, 1, 0}, Cdb16(fw::SCSI_READ16, 0xE0, 200, 1)};
    for (const auto& cdb : reads) {
        const sim::FcpResult r = a->Send(0, cdb, {}, 512);
        EXPECT_EQ(SenseKey(r), fw::SENSE_ILLEGAL_REQUEST);
        EXPECT_EQ(Asc(r), fw::ASC_INVALID_FIELD_IN_CDB);
    }
    const std::vector<std::vector<uint8_t>> writes = {{fw::SCSI_WRITE10, 0x40, 0, 0, 0, 200, 0, 0, 1, 0},
                                                      {fw::SCSI_WRITE_AND_VERIFY10, 0x20, 0, 0, 0, 200, 0, 0, 1, 0},
                                                      Cdb16(fw::SCSI_WRITE16, 0x20, 200, 1),
                                                      Cdb16(fw::SCSI_WRITE_AND_VERIFY16, 0x60, 200, 1)};
    for (const auto& cdb : writes) EXPECT_EQ(SenseKey(a->Send(0, cdb, other)), fw::SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(Read(200, 1), data);
    const sim::FcpResult r6 = a->Send(0, {fw::SCSI_READ6, 0x20, 0, 200, 1, 0}, {}, 512);
    EXPECT_EQ(SenseKey(r6), 0);
    EXPECT_EQ(r6.dataIn, data);
}

// SPC-3 allocation lengths are 16 bits: a host asks for more than 255
// bytes and gets what the page holds.
TEST_F(StandardHostAnswers, InquiryTakesSixteenBitAllocationLengths) {
    sim::FcpResult r = a->Send(0, {fw::SCSI_INQUIRY, 0, 0, 0x02, 0x00, 0}, {}, 512);
    ASSERT_EQ(SenseKey(r), 0);
    EXPECT_EQ(r.dataIn.size(), 144u);
    EXPECT_EQ(r.dataIn[4], 139);   // additional length
    r = a->Send(0, {fw::SCSI_INQUIRY, 1, 0x83, 0x10, 0x00, 0}, {}, 4096);
    ASSERT_EQ(SenseKey(r), 0);
    ASSERT_GE(r.dataIn.size(), 4u);
    EXPECT_EQ(r.dataIn.size(), 4u + (r.dataIn[2] << 8 | r.dataIn[3]));
    // The low byte alone still counts.
    r = a->Send(0, {fw::SCSI_INQUIRY, 0, 0, 0x01, 0x05, 0}, {}, 261);
    EXPECT_EQ(r.dataIn.size(), 144u);
    r = a->Send(0, {fw::SCSI_INQUIRY, 0, 0, 0, 36, 0}, {}, 36);
    EXPECT_EQ(r.dataIn.size(), 36u);
}

// The control page's software write protect is not changeable: a MODE
// SELECT that sets it is refused (invalid field in the parameter list) and
// writes go on; the page as it stands is still taken.
TEST_F(StandardHostAnswers, SoftwareWriteProtectIsRefusedNotIgnored) {
    constexpr uint8_t kControlPage = 0x0A;
    constexpr uint8_t kSwp = 0x08;
    auto sense = [&](uint8_t control) {
        return a->Send(0, {fw::SCSI_MODE_SENSE10, 0x08, uint8_t(control << 6 | kControlPage), 0, 0, 0, 0, 0, 64, 0}, {},
                      64);
    };
    sim::FcpResult changeable = sense(1);
    ASSERT_EQ(SenseKey(changeable), 0);
    ASSERT_GE(changeable.dataIn.size(), 8u + 12u);
    EXPECT_EQ(changeable.dataIn[8 + 4] & kSwp, 0);
    sim::FcpResult current = sense(0);
    ASSERT_EQ(SenseKey(current), 0);
    ASSERT_GE(current.dataIn.size(), 8u + 12u);
    std::vector<uint8_t> list(current.dataIn.begin(), current.dataIn.begin() + 8 + 12);
    list[0] = list[1] = 0;   // the mode data length is reserved in MODE SELECT
    list[8] &= 0x7F;         // and so is the page's PS bit
    auto select = [&](const std::vector<uint8_t>& l) {
        return a->Send(0, {fw::SCSI_MODE_SELECT10, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(l.size()), 0}, l);
    };
    EXPECT_EQ(SenseKey(select(list)), 0);
    std::vector<uint8_t> protect = list;
    protect[8 + 4] |= kSwp;
    const sim::FcpResult refused = select(protect);
    EXPECT_EQ(SenseKey(refused), fw::SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(Asc(refused), fw::ASC_INVALID_FIELD_IN_PARAMETERS);
    current = sense(0);
    ASSERT_GE(current.dataIn.size(), 8u + 12u);
    EXPECT_EQ(current.dataIn[8 + 4] & kSwp, 0);
    EXPECT_EQ(current.dataIn[3] & 0x80, 0);   // not write protected
    const std::vector<uint8_t> data = Pattern(512, 9);
    EXPECT_EQ(SenseKey(a->Send(0, Cdb16(fw::SCSI_WRITE16, 0, 100, 1), data)), 0);
    EXPECT_EQ(Read(100, 1), data);
}

}  // namespace
