// The target command trace: the buffer's head and logical drive sizes, one
// record per finished host command field by field, the buffer full at its
// last record, and a tool reading it out in pieces over the host interface.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config_image.h"
#include "config/ld_table.h"
#include "eventlog/target_trace.h"
#include "executive/buffer_pages.h"
#include "hw/scsi.h"
#include "host_port_standin.h"
#include "target/command_access.h"
#include "target/scsi_status.h"
#include "target_test_board.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint8_t PORT = PORT_CODE_FC_HOST_1;
constexpr uint32_t INITIATOR = 0x010203;
constexpr uint32_t BUFFER_BYTES = 8u << 20;
constexpr uint16_t LDS = 10;
constexpr uint32_t HEAD = 40 + 8 * LDS;
// What fits behind the head and the ten logical drives' sizes.
constexpr uint32_t RECORDS = (BUFFER_BYTES - HEAD) / 48;
static_assert(RECORDS == 174760);

uint32_t Le32(const std::vector<uint8_t>& ab, size_t o) {
    uint32_t d;
    std::memcpy(&d, ab.data() + o, 4);
    return d;
}
uint64_t Le64(const std::vector<uint8_t>& ab, size_t o) {
    uint64_t l;
    std::memcpy(&l, ab.data() + o, 8);
    return l;
}

class TargetTraceTest : public TargetBoard {
protected:
    void SetUp() override {
        TargetBoard::SetUp();
        host = std::make_unique<HostPortStandIn>(PORT);
        host->Login(INITIATOR, 7);
        // Ten logical drives of 1000 + 100 l blocks.
        auto psImage = std::make_unique<CONFIG_IMAGE>();
        std::memset(psImage.get(), 0, sizeof(CONFIG_IMAGE));
        psImage->sHeader.wLdCount = LDS;
        uint64_t lStart = 0;
        for (uint16_t l = 0; l < LDS; ++l) {
            CONFIG_LD_RECORD& s = psImage->asLd[l];
            s.wLdNumber = l;
            s.wLdId = static_cast<uint16_t>(0x8000 | l);
            s.wBlockSize = 512;
            s.bSegmentCount = 1;
            s.asSegment[0].lStart = lStart;
            s.asSegment[0].lLastOffset = 999 + 100 * l;
            s.asSegment[0].lEnd = lStart + 999 + 100 * l;
            lStart += 1000 + 100 * l;
        }
        uint8_t f = 0;
        BuildLogicalDriveTable(psImage.get(), FALSE, &f, &f);
        ASSERT_EQ(wGetLogicalDriveCount(), LDS);
        InitTarCmdTrace();
    }
    void TearDown() override {
        if (fIsTarCmdTraceEnabled() == TRUE) FreeTarCmdTraceBuffer();
    }
    // A host command as the target engine finishes it.
    KERNEL_ENTRY* Finished(uint8_t bOpcode, uint64_t lStart, uint64_t lFlags, uint8_t bType) {
        HostCommand s;
        s.dPortId = INITIATOR;
        s.abCdb.assign(16, 0);
        s.abCdb[0] = bOpcode;
        for (uint8_t i = 1; i < 16; ++i) s.abCdb[i] = static_cast<uint8_t>(0x10 + i);
        KERNEL_ENTRY* ps = Entry(host->Send(s));
        EXPECT_EQ(ConvertAtio7Command(ps), STATUS_OK);
        ps->lStartTimeStamp = lStart;
        ps->lFlags = lFlags;
        ps->bCommandType = bType;
        ps->wLunIndex = 3;
        return ps;
    }
    // A READ BUFFER of the trace; the data the tool got, or the sense key
    // and code of its refusal in *pbSense.
    std::vector<uint8_t> ReadPiece(uint32_t dPiece, uint32_t dLength, uint8_t* pbStatus = nullptr,
                                   uint8_t* pbAsc = nullptr) {
        HostCommand s;
        s.dPortId = INITIATOR;
        s.abCdb = {0x3C, 0x02, 0x00, static_cast<uint8_t>(dPiece >> 16), static_cast<uint8_t>(dPiece >> 8),
                   static_cast<uint8_t>(dPiece), static_cast<uint8_t>(dLength >> 16),
                   static_cast<uint8_t>(dLength >> 8), static_cast<uint8_t>(dLength), 0};
        s.dExpected = dLength;
        KERNEL_ENTRY* ps = Entry(host->Send(s));
        EXPECT_EQ(ConvertAtio7Command(ps), STATUS_OK);
        (void)RemoteFibreGetTarCmdTraceDump(ps);
        host->Serve();
        const HostReply& r = host->Reply(ps->wIndex);
        EXPECT_TRUE(r.fStatus);
        if (pbStatus != nullptr) *pbStatus = r.bStatus;
        if (pbAsc != nullptr) *pbAsc = r.abSense.size() > 12 ? r.abSense[12] : 0;
        return r.abDataIn;
    }
    std::unique_ptr<HostPortStandIn> host;
};

TEST_F(TargetTraceTest, EachFinishedCommandIsRecordedBehindTheHead) {
    ASSERT_EQ(fAllocateTarCmdTraceBuffer(2), STATUS_OK);
    EXPECT_NE(Console().find("Trace Buffer Allocated, 174760 Entries Available.\r\n"), std::string::npos);
    // Not recording until switched on.
    RecordTarCmdTrace(Finished(0x28, 1, 2, 3));
    SetTarCmdTraceActive(TRUE);
    EXPECT_EQ(fIsTarCmdTraceActive(), TRUE);
    KERNEL_ENTRY* psRead = Finished(0x28, 0x1122334455667788ull, 0x8000000000000001ull, 6);
    KERNEL_ENTRY* psWrite = Finished(0x2A, 42, 0, 1);
    RecordTarCmdTrace(psRead);
    RecordTarCmdTrace(psWrite);

    const std::vector<uint8_t> ab = ReadPiece(0, 4096);
    ASSERT_EQ(ab.size(), 4096u);
    // The head as written when piece 0 is read.
    EXPECT_EQ(Le32(ab, 0), 48 * RECORDS);
    EXPECT_EQ(ab[4], 0xF0);
    EXPECT_EQ(Le32(ab, 8), BUFFER_BYTES);
    EXPECT_EQ(Le32(ab, 16), 1u);                     // version
    EXPECT_EQ(Le32(ab, 20), BUFFER_BYTES);
    EXPECT_EQ(ab[24] | ab[25] << 8, 8);              // a logical drive's entry
    EXPECT_EQ(ab[26] | ab[27] << 8, 48);             // a record
    EXPECT_EQ(Le32(ab, 28), 400u);                   // clock divisor
    EXPECT_EQ(Le32(ab, 32), 2u);                     // records valid
    EXPECT_EQ(ab[36] | ab[37] << 8, LDS);
    EXPECT_EQ(ab[38], fIsControllerSlot1() == TRUE ? 0 : 1);
    for (uint16_t l = 0; l < LDS; ++l) EXPECT_EQ(Le64(ab, 40 + 8 * l), 1000u + 100 * l) << l;
    // The records, field by field.
    const struct {
        const KERNEL_ENTRY* ps;
        uint32_t dSequence;
    } records[] = {{psRead, 0}, {psWrite, 1}};
    for (const auto& r : records) {
        const size_t o = HEAD + 48 * r.dSequence;
        EXPECT_EQ(Le64(ab, o), r.ps->lStartTimeStamp);
        EXPECT_EQ(0, std::memcmp(ab.data() + o + 16, pGetCommandCdb(r.ps), 16));
        EXPECT_EQ(Le64(ab, o + 32), r.ps->lFlags);
        EXPECT_EQ(ab[o + 40] | ab[o + 41] << 8, 3);
        EXPECT_EQ(ab[o + 42], PORT);
        EXPECT_EQ(ab[o + 43], r.ps->bCommandType);
        EXPECT_EQ(Le32(ab, o + 44), r.dSequence);
    }
    EXPECT_GE(Le64(ab, HEAD + 48 + 8), Le64(ab, HEAD + 8));   // when each was recorded
    EXPECT_EQ(ab[HEAD + 2 * 48], 0);                          // nothing after
    // Reading stops the trace.
    EXPECT_EQ(fIsTarCmdTraceActive(), FALSE);
    RecordTarCmdTrace(psWrite);
    EXPECT_EQ(Le32(ReadPiece(0, 64), 32), 2u);
}

TEST_F(TargetTraceTest, TheBufferIsFullAtItsLastRecord) {
    ASSERT_EQ(fAllocateTarCmdTraceBuffer(2), STATUS_OK);
    SetTarCmdTraceActive(TRUE);
    KERNEL_ENTRY* ps = Finished(0x28, 5, 0, 0);
    for (uint32_t i = 0; i < RECORDS; ++i) RecordTarCmdTrace(ps);
    board.ClearConsoleText();
    ShowTarCmdTraceStatistics();
    EXPECT_NE(Console().find("\tBuffer Full: FALSE\r\n"), std::string::npos);
    // The next is one too many: the buffer is full, and says so once.
    board.ClearConsoleText();
    RecordTarCmdTrace(ps);
    EXPECT_EQ(Console(), "Target Comand Trace Full\r\n");
    RecordTarCmdTrace(ps);
    EXPECT_EQ(Console(), "Target Comand Trace Full\r\n");
    board.ClearConsoleText();
    ShowTarCmdTraceStatistics();
    EXPECT_EQ(Console(),
              "\r\nTarget Command Trace Statistics:\r\n\tEnabled: TRUE\r\n\tActive: TRUE\r\n\tBuffer Full: TRUE\r\n"
              "\tVersion: 0x00000001\r\n\tController Number: " +
                  std::to_string(fIsControllerSlot1() == TRUE ? 0 : 1) +
                  "\r\n\tBuffer Size: 8 MiB\r\n\tCommand Trace header Size: 24 bytes\r\n"
                  "\tLD Data Entry Size: 8 bytes\r\n\tTotal LD Data Entries: 10\r\n\tCmd Trace Entry Size: 48 bytes\r\n"
                  "\tClock Divisor: 400\r\n\tTotal Trace Entries: 174760\r\n\tValid Trace Entries: 174760\r\n\r\n\r\n");
    // The last piece ends with the last record.
    const std::vector<uint8_t> ab = ReadPiece(BUFFER_BYTES / 4096 - 1, 4096);
    ASSERT_EQ(ab.size(), 4096u);
    const size_t o = HEAD + 48 * (RECORDS - 1) - (BUFFER_BYTES - 4096);
    EXPECT_EQ(Le32(ab, o + 44), RECORDS - 1);
    // Emptied, it records from the start again.
    ResetTarCmdTrace();
    SetTarCmdTraceActive(TRUE);
    RecordTarCmdTrace(ps);
    EXPECT_EQ(Le32(ReadPiece(0, 4096), 32), 1u);
}

TEST_F(TargetTraceTest, PiecesBeyondTheBufferAreRefused) {
    ASSERT_EQ(fAllocateTarCmdTraceBuffer(2), STATUS_OK);
    struct Case {
        uint32_t dPiece, dLength;
        uint32_t dBytes;   // 0: refused
    };
    const Case cases[] = {
        {1, 4096, 4096},
        {2, 3000000, BUFFER_BYTES - 6000000},      // the last piece is short
        {BUFFER_BYTES / 4096, 4096, 0},            // just past the end
        {0x10000, 0x100, 0},                       // piece x length is 2^24: past the end
        {0x100000, 0x1000, 0},                     // 2^32 would wrap to the start in 32 bits
        {0xFFFFFF, 0xFFFFFF, 0},
    };
    for (const Case& c : cases) {
        uint8_t bStatus = 0, bAsc = 0;
        const std::vector<uint8_t> ab = ReadPiece(c.dPiece, c.dLength, &bStatus, &bAsc);
        if (c.dBytes != 0) {
            EXPECT_EQ(ab.size(), c.dBytes) << c.dPiece;
            EXPECT_EQ(bStatus, SCSI_STATUS_GOOD);
        } else {
            EXPECT_TRUE(ab.empty()) << c.dPiece;
            EXPECT_EQ(bStatus, SCSI_STATUS_CHECK_CONDITION) << c.dPiece;
            EXPECT_EQ(bAsc, ASC_INVALID_FIELD_IN_CDB);
        }
    }
    EXPECT_NE(Console().find("RemoteFibreGetTarCmdTraceDump: Offset value out of bound(2048 vs 8388608)\r\n"),
              std::string::npos);
    // Without a buffer every piece is refused.
    FreeTarCmdTraceBuffer();
    uint8_t bStatus = 0;
    EXPECT_TRUE(ReadPiece(0, 4096, &bStatus).empty());
    EXPECT_EQ(bStatus, SCSI_STATUS_CHECK_CONDITION);
}

TEST_F(TargetTraceTest, OperatorMistakesAreTold) {
    board.ClearConsoleText();
    SetTarCmdTraceActive(TRUE);
    ResetTarCmdTrace();
    ShowTarCmdTraceStatistics();
    FreeTarCmdTraceBuffer();
    EXPECT_EQ(fAllocateTarCmdTraceBuffer(0), STATUS_OK);
    EXPECT_EQ(Console(),
              "\r\nTarget Command Trace is Disabled\r\n\r\nTarget Command Trace is Disabled\r\n"
              "\r\nTarget Command Trace Statistics:\r\n\tEnabled: FALSE\r\n\r\n\r\n"
              "FreeTarCmdTraceBuffer: Already de-allocated \r\n"
              "fAllocateTarCmdTraceBuffer: Requested buffer size is zero \r\n");
    EXPECT_EQ(fIsTarCmdTraceEnabled(), FALSE);
    ASSERT_EQ(fAllocateTarCmdTraceBuffer(1), STATUS_OK);
    board.ClearConsoleText();
    EXPECT_EQ(fAllocateTarCmdTraceBuffer(2), STATUS_OK);
    EXPECT_EQ(Console(), "fAllocateTarCmdTraceBuffer: Already allocated \r\n");
    // More than memory holds: refused, nothing held.
    FreeTarCmdTraceBuffer();
    const uint32_t dFree = dGetAvailablePages(0);
    EXPECT_EQ(fAllocateTarCmdTraceBuffer(255), 0);
    EXPECT_EQ(fIsTarCmdTraceEnabled(), FALSE);
    EXPECT_EQ(dGetAvailablePages(0), dFree);
}

}  // namespace
}  // namespace target_test
