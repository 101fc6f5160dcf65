// INQUIRY as hosts see it: the standard data, the peripheral byte of LUNs
// without a drive, the vital product data pages and the identity each port
// and controller reports.
#include <cstdio>
#include <string>

#include "config/nvram_records.h"
#include "executive/system_state.h"
#include "host_board.h"
#include "target/inquiry.h"

namespace target_test {
namespace {

using namespace fw;

class InquiryTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        pGetControllerWWN(m_abWwn);
    }
    HostReply Inquiry(uint16_t wLun, bool fEvpd, uint8_t bPage, uint8_t bAllocation,
                      HostPortStandIn* psHost = nullptr) {
        HostPortStandIn& h = psHost == nullptr ? host : *psHost;
        HostCommand s;
        s.dPortId = INITIATOR;
        s.wLun = wLun;
        s.abCdb = {SCSI_INQUIRY, static_cast<uint8_t>(fEvpd ? 1 : 0), bPage, 0, bAllocation, 0};
        s.dExpected = bAllocation;
        const uint16_t w = h.Send(s);
        Dispatch();
        h.Serve();
        fw::ServiceCommandComplete(fw::PORT_CODE_MODULE);
        return h.Reply(w);
    }
    static std::string Text(const HostReply& r, size_t dFrom, size_t dLength) {
        return std::string(r.abDataIn.begin() + dFrom, r.abDataIn.begin() + dFrom + dLength);
    }
    // The serial number as the formula gives it, independently of the code.
    std::string Serial(uint16_t wLunNumber) const {
        const uint32_t dWwnLow = (uint32_t(m_abWwn[5]) << 16 | uint32_t(m_abWwn[6]) << 8 | m_abWwn[7]) & 0x3FFFFF;
        char ac[9];
        std::snprintf(ac, sizeof(ac), "%08X", dWwnLow | (uint32_t(wLunNumber) << 22));
        return ac;
    }
    uint8_t m_abWwn[8];
};

TEST_F(InquiryTest, AllocationLengthZeroIsGoodWithoutData) {
    MakeDrives({100000});
    const HostReply r = Inquiry(0, false, 0, 0);
    EXPECT_TRUE(r.fStatus);
    EXPECT_EQ(r.bStatus, SCSI_STATUS_GOOD);
    EXPECT_TRUE(r.abDataIn.empty());
}

TEST_F(InquiryTest, StandardDataOfAMappedDrive) {
    MakeDrives({100000});
    const HostReply r = Inquiry(0, false, 0, 255);
    ASSERT_EQ(r.bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(r.abDataIn.size(), 144u);
    EXPECT_EQ(r.abDataIn[0], 0x00);
    EXPECT_EQ(r.abDataIn[2], bGetSpcLevel());
    EXPECT_EQ(r.abDataIn[3], 0x32);
    EXPECT_EQ(r.abDataIn[4], 139);
    EXPECT_EQ(r.abDataIn[6], 0x10);   // port 1
    EXPECT_EQ(r.abDataIn[7], 0x02);
    uint8_t abVendor[8], abProduct[16], abText[48];
    GetNvramVendorId(abVendor);
    GetNvramProductId(abProduct);
    GetNvramVendorText(abText);
    EXPECT_EQ(Text(r, 8, 8), std::string(abVendor, abVendor + 8));
    EXPECT_EQ(Text(r, 16, 16), std::string(abProduct, abProduct + 16));
    EXPECT_EQ(Text(r, 32, 4), "    ");
    EXPECT_EQ(Text(r, 96, 48), std::string(abText, abText + 48));
    // Binary serial: the LUN number above the WWN's low six bytes.
    const uint16_t wLun = wGetLogicalDriveId(0);
    EXPECT_EQ(r.abDataIn[36], (wLun >> 8) | 0x20);
    EXPECT_EQ(r.abDataIn[37], wLun & 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(r.abDataIn.begin() + 38, r.abDataIn.begin() + 44),
              std::vector<uint8_t>(m_abWwn + 2, m_abWwn + 8));
    EXPECT_EQ(r.abDataIn[56], 0);
    // A short allocation gets the head of the same data.
    const HostReply sShort = Inquiry(0, false, 0, 36);
    EXPECT_EQ(sShort.abDataIn.size(), 36u);
    EXPECT_EQ(sShort.abDataIn[6], 0x10);
}

TEST_F(InquiryTest, TextSerialWhenTheIdentityOptionAsksForIt) {
    MakeDrives({100000});
    SetNvramByteD8(0x01);
    const uint16_t wLun = wGetLogicalDriveId(0);
    EXPECT_EQ(Text(Inquiry(0, false, 0, 144), 36, 8), Serial(wLun));
    const HostReply r = Inquiry(0, true, VPD_UNIT_SERIAL, 255);
    ASSERT_EQ(r.abDataIn.size(), 12u);
    EXPECT_EQ(r.abDataIn[1], VPD_UNIT_SERIAL);
    EXPECT_EQ(r.abDataIn[3], 8);
    EXPECT_EQ(Text(r, 4, 8), Serial(wLun));
}

TEST_F(InquiryTest, LunsWithoutADriveReportNoDeviceButLunZeroAProcessor) {
    MakeDrives({100000});
    EXPECT_EQ(Inquiry(7, false, 0, 36).abDataIn[0], PERIPHERAL_NO_DEVICE);
    EXPECT_EQ(Inquiry(7, true, VPD_SUPPORTED_PAGES, 8).abDataIn[0], PERIPHERAL_NO_DEVICE);
    EXPECT_EQ(Inquiry(0, false, 0, 36).abDataIn[0], PERIPHERAL_DIRECT_ACCESS);
    // LUN 0 of an initiator that has no drive there.
    constexpr uint32_t OTHER = 0x010299;
    host.Login(OTHER, 9);
    HostCommand s;
    s.dPortId = OTHER;
    s.abCdb = {SCSI_INQUIRY, 0, 0, 0, 44, 0};
    s.dExpected = 44;
    const uint16_t w = host.Send(s);
    Dispatch();
    host.Serve();
    ASSERT_EQ(host.Reply(w).abDataIn.size(), 44u);
    EXPECT_EQ(host.Reply(w).abDataIn[0], 0x03);
    // No drive: the LUN number is 0xFFFF in the serial.
    EXPECT_EQ(host.Reply(w).abDataIn[36], 0xFF);
}

TEST_F(InquiryTest, SupportedAndOperatingDefinitionPages) {
    MakeDrives({100000});
    EXPECT_EQ(Inquiry(0, true, VPD_SUPPORTED_PAGES, 255).abDataIn,
              (std::vector<uint8_t>{0, 0x00, 0, 4, 0x00, 0x80, 0x81, 0x83}));
    EXPECT_EQ(Inquiry(0, true, VPD_IMPLEMENTED_OPERATING_DEFINITIONS, 255).abDataIn,
              (std::vector<uint8_t>{0, 0x81, 0, 4, 0x03, 0x83, 0x81, 0x83}));
}

TEST_F(InquiryTest, UnsupportedPagesAreRefused) {
    MakeDrives({100000});
    const uint16_t wVpd = Send(0, {SCSI_INQUIRY, 1, 0xB0, 0, 64, 0}, 64);
    const uint16_t wPage = Send(0, {SCSI_INQUIRY, 0, 0x80, 0, 64, 0}, 64);
    const uint16_t wReserved = Send(0, {SCSI_INQUIRY, 2, 0, 0, 64, 0}, 64);
    Dispatch();
    Settle();
    EXPECT_EQ(Reply(wVpd).bAsc, ASC_INVALID_FIELD_IN_CDB);   // the LUN is there, the page is not
    EXPECT_EQ(Reply(wPage).bAsc, ASC_INVALID_FIELD_IN_CDB);
    EXPECT_EQ(Reply(wReserved).bAsc, ASC_INVALID_FIELD_IN_CDB);
    for (uint16_t w : {wVpd, wPage, wReserved}) EXPECT_EQ(Reply(w).bKey, SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);   // their pages went back with them
}

// The designators of page 0x83 in order, parsed as a host does.
struct Designator {
    uint8_t bCodeSet, bType;
    std::vector<uint8_t> abId;
};
std::vector<Designator> Designators(const HostReply& r) {
    std::vector<Designator> as;
    if (r.abDataIn.size() < 4) return as;
    const size_t dEnd = 4 + ((r.abDataIn[2] << 8) | r.abDataIn[3]);
    EXPECT_EQ(dEnd, r.abDataIn.size());
    for (size_t p = 4; p + 4 <= dEnd;) {
        const size_t dLength = r.abDataIn[p + 3];
        as.push_back({r.abDataIn[p], r.abDataIn[p + 1],
                      std::vector<uint8_t>(r.abDataIn.begin() + p + 4, r.abDataIn.begin() + p + 4 + dLength)});
        p += 4 + dLength;
    }
    return as;
}

TEST_F(InquiryTest, DeviceIdentificationOfADriveWithNameAndIdentifier) {
    AddRank(RAID_LEVEL_0, 2, 128, 100000);
    const uint16_t l = AddLd({{0, 100000}});
    CONFIG_LD_RECORD& sLd = harness::s_sLive.asLd[l];
    std::memcpy(sLd.acLdName, "Data\x01Volume", 12);
    std::memset(sLd.acLdName + 12, 0, sizeof(sLd.acLdName) - 12);
    for (uint8_t i = 0; i < 16; i++) sLd.abLdIdentifier[i] = static_cast<uint8_t>(0x60 + i);
    PresentAllExcept();
    ApplyStoredSettings(FALSE, TRUE);
    Map(0, l);
    const std::vector<Designator> as = Designators(Inquiry(0, true, VPD_DEVICE_IDENTIFICATION, 255));
    ASSERT_EQ(as.size(), 4u);
    EXPECT_EQ(as[0].bCodeSet, 0x01);
    EXPECT_EQ(as[0].bType, 0x03);
    EXPECT_EQ(as[0].abId, std::vector<uint8_t>(sLd.abLdIdentifier, sLd.abLdIdentifier + 16));
    EXPECT_EQ(as[1].bCodeSet, 0x02);
    EXPECT_EQ(std::string(as[1].abId.begin(), as[1].abId.end()), "Data Volume" + std::string(21, ' '));
    EXPECT_EQ(as[2].abId.size(), 10u);
    EXPECT_EQ((as[2].abId[0] << 8) | as[2].abId[1], wGetLogicalDriveId(l));
    EXPECT_EQ(as[3].bType, 0x14);
    EXPECT_EQ(as[3].abId, (std::vector<uint8_t>{0, 0, 0, 1}));
    // With text serials the identifier is the serial and its suffix in hex.
    SetNvramByteD8(0x01);
    const std::vector<Designator> asText = Designators(Inquiry(0, true, VPD_DEVICE_IDENTIFICATION, 255));
    EXPECT_EQ(std::string(asText[0].abId.begin(), asText[0].abId.end()), Serial(wGetLogicalDriveId(l)) + "6C6D6E6F");
}

TEST_F(InquiryTest, DriveWithoutIdentifierIsNamedByLunAndWwn) {
    MakeDrives({100000});
    const std::vector<Designator> as = Designators(Inquiry(0, true, VPD_DEVICE_IDENTIFICATION, 255));
    ASSERT_GE(as.size(), 1u);
    const uint16_t wLun = wGetLogicalDriveId(0);
    std::vector<uint8_t> abExpected = {static_cast<uint8_t>(((wLun >> 8) & 0x0F) | 0x20), static_cast<uint8_t>(wLun)};
    abExpected.insert(abExpected.end(), m_abWwn + 2, m_abWwn + 8);
    EXPECT_EQ(as[0].abId, abExpected);
    // A LUN without a drive has neither name nor drive numbers.
    EXPECT_EQ(Designators(Inquiry(6, true, VPD_DEVICE_IDENTIFICATION, 255)).size(), 2u);
}

TEST_F(InquiryTest, EachPortAndControllerHasItsRelativeTargetPort) {
    MakeDrives({100000});
    HostPortStandIn host2(PORT_CODE_FC_HOST_2);
    host2.Login(INITIATOR, HANDLE);
    ASSERT_EQ(bSetHostLun(PORT_CODE_FC_HOST_2, HANDLE, 0, 0, FALSE), 0xFF);
    auto RelativePort = [&](HostPortStandIn* ps) {
        const std::vector<Designator> as = Designators(Inquiry(0, true, VPD_DEVICE_IDENTIFICATION, 255, ps));
        return as.empty() ? -1 : (as.back().abId[2] << 8) | as.back().abId[3];
    };
    EXPECT_EQ(RelativePort(nullptr), 1);
    EXPECT_EQ(RelativePort(&host2), 2);
    EXPECT_EQ(Inquiry(0, false, 0, 36, &host2).abDataIn[6], 0x30);
    // The same board in the other slot is controller 2.
    board.fpga().SetSlot1(false);
    InitBoardState();
    ASSERT_EQ(bGetControllerNumber(), 2);
    EXPECT_EQ(RelativePort(nullptr), 3);
    EXPECT_EQ(RelativePort(&host2), 4);
}

TEST(InquirySerial, SnapshotSerialsUseOnlyTheLettersGToV) {
    uint8_t ab[8];
    FormatInquirySerial(0x0123ABCD, FALSE, ab);
    EXPECT_EQ(std::string(ab, ab + 8), "0123ABCD");
    FormatInquirySerial(0x0123ABCD, TRUE, ab);
    EXPECT_EQ(std::string(ab, ab + 8), "GHIJQRST");
    FormatInquirySerial(0xFEDCBA98, TRUE, ab);
    for (uint8_t b : ab) {
        EXPECT_GE(b, 'G');
        EXPECT_LE(b, 'V');
    }
}

}  // namespace
}  // namespace target_test
