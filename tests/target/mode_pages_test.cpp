// Mode pages from a host: the pages MODE SENSE returns in each form, the
// block descriptor of large drives, MODE SELECT within the changeable masks
// (and its strict mode), parameter lists cut short or too long, and the
// saved pages in NVRAM.
#include "cache/write_stages.h"
#include "config/nvram_layout.h"
#include "console/option_settings.h"
#include "eventlog/target_trace.h"
#include "host_board.h"
#include "platform/internal_command_path.h"
#include "target/command_access.h"
#include "target/mode_pages.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint8_t CACHING = 0x08;
constexpr uint32_t AREA = 0x200;   // the mode page area in NVRAM

class ModePagesTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        InitModePages();
    }
    // One main-loop cycle, the data-out stage included.
    HostReply Ask(std::vector<uint8_t> abCdb, uint32_t dExpected, std::vector<uint8_t> abDataOut = {}) {
        HostCommand s;
        s.dPortId = INITIATOR;
        s.abCdb = abCdb;
        s.dExpected = dExpected;
        s.abDataOut = abDataOut;
        const uint16_t w = host.Send(s);
        Dispatch();
        host.Serve();
        while (wGetDataReceivedCount() != 0) (void)ProcessDataReceivedQueue();
        Settle();
        return host.Reply(w);
    }
    HostReply Sense10(uint8_t bPage, uint8_t bPageControl = 0, uint8_t bFlags = 0, uint16_t wAllocation = 1024) {
        std::vector<uint8_t> ab(10, 0);
        ab[0] = SCSI_MODE_SENSE10;
        ab[1] = bFlags;
        ab[2] = static_cast<uint8_t>(bPageControl << 6 | bPage);
        PutBe16(ab.data() + 7, wAllocation);
        return Ask(ab, wAllocation);
    }
    HostReply Sense6(uint8_t bPage, uint8_t bPageControl = 0, uint8_t bAllocation = 255) {
        return Ask({SCSI_MODE_SENSE6, 0, static_cast<uint8_t>(bPageControl << 6 | bPage), 0, bAllocation, 0},
                   bAllocation);
    }
    // A MODE SELECT(10) of the pages after an 8-byte header without block
    // descriptors.
    HostReply Select(std::vector<uint8_t> abPages, bool fSave = false) {
        std::vector<uint8_t> abList(8, 0);
        abList.insert(abList.end(), abPages.begin(), abPages.end());
        return SelectList(abList, fSave);
    }
    HostReply SelectList(const std::vector<uint8_t>& abList, bool fSave = false) {
        std::vector<uint8_t> ab(10, 0);
        ab[0] = SCSI_MODE_SELECT10;
        ab[1] = fSave ? 0x11 : 0x10;
        PutBe16(ab.data() + 7, static_cast<uint16_t>(abList.size()));
        return Ask(ab, static_cast<uint32_t>(abList.size()), abList);
    }
    // The page of a MODE SENSE(10) answer without block descriptors.
    static std::vector<uint8_t> Page(const HostReply& r) {
        if (r.abDataIn.size() < 10) return {};
        return std::vector<uint8_t>(r.abDataIn.begin() + 8, r.abDataIn.begin() + 10 + r.abDataIn[9]);
    }
    std::vector<uint8_t> Current(uint8_t bPage) { return Page(Sense10(bPage, MODE_PC_CURRENT, 0x08)); }
    std::vector<uint8_t> Saved(uint8_t bPage) { return Page(Sense10(bPage, MODE_PC_SAVED, 0x08)); }
    static std::vector<uint8_t> Nvram(uint32_t dOffset, uint32_t dLength) {
        std::vector<uint8_t> ab(dLength);
        NvramRead(AREA + dOffset, ab.data(), dLength);
        return ab;
    }
    static void ExpectRefused(const HostReply& r, uint8_t bAsc, const char* pszWhat) {
        const Answer s = AnswerOf(r);
        EXPECT_EQ(s.bStatus, SCSI_STATUS_CHECK_CONDITION) << pszWhat;
        EXPECT_EQ(s.bKey, SENSE_ILLEGAL_REQUEST) << pszWhat;
        EXPECT_EQ(s.bAsc, bAsc) << pszWhat;
    }
};

TEST_F(ModePagesTest, FirstStartStoresTheDefaultsInNvram) {
    // Every valid byte set, each page stored where the area's map puts it.
    const uint32_t adValid[] = {0, 5, 18, 35, 60, 85, 98, 119, 132, 157, 166, 179};
    for (uint32_t d : adValid) EXPECT_EQ(Nvram(d, 1)[0], TRUE) << d;
    EXPECT_EQ(Nvram(1, 4), (std::vector<uint8_t>{0x80, 0x02, 0x00, 0x00}));
    EXPECT_EQ(Nvram(6, 12), (std::vector<uint8_t>{0x81, 0x0A, 0xC8, 0x4F, 0x30, 0, 0, 0, 0x2B, 0, 0xFF, 0xFF}));
    EXPECT_EQ(Nvram(167, 12), (std::vector<uint8_t>{0x9A, 0x0A, 0x00, 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x04}));
}

TEST_F(ModePagesTest, AllPagesInTheirOrderWithTheDriveGeometry) {
    constexpr uint64_t BLOCKS = 10000000;
    MakeDrives({BLOCKS});
    ClearAttentions();
    const HostReply r = Sense6(MODE_PAGE_ALL);
    ASSERT_EQ(r.bStatus, SCSI_STATUS_GOOD);
    ASSERT_EQ(r.abDataIn.size(), 192u);
    EXPECT_EQ(r.abDataIn[0], 191);
    EXPECT_EQ(r.abDataIn[2], 0x10);
    EXPECT_EQ(r.abDataIn[3], 8);
    EXPECT_EQ(dGetBe32(r.abDataIn.data() + 4), BLOCKS);
    EXPECT_EQ(dGetBe24(r.abDataIn.data() + 9), 512u);
    std::vector<uint8_t> abCodes;
    for (size_t p = 12; p < r.abDataIn.size(); p += 2 + r.abDataIn[p + 1]) {
        abCodes.push_back(r.abDataIn[p] & 0x3F);
        const uint8_t* pb = r.abDataIn.data() + p;
        if ((pb[0] & 0x3F) == 0x03) {
            EXPECT_EQ(wGetBe16(pb + 10), 0x0080);
        }
        if ((pb[0] & 0x3F) == 0x04) {
            EXPECT_EQ(dGetBe24(pb + 2), BLOCKS >> 13);
            EXPECT_EQ(pb[5], 64);
            EXPECT_EQ(wGetBe16(pb + 20), 7200);
        }
        if ((pb[0] & 0x3F) == CACHING) {
            EXPECT_EQ(pb[2], 0x14);
        }
    }
    EXPECT_EQ(abCodes, (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x0A, 0x10, 0x19, 0x1A, 0x1C, 0x00}));
    // The changeable masks carry no geometry.
    const std::vector<uint8_t> abMask = Page(Sense10(0x04, MODE_PC_CHANGEABLE, 0x08));
    EXPECT_EQ(abMask, (std::vector<uint8_t>{0x84, 0x16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0}));
    // A short allocation gets the head; the mode data length still tells all.
    const HostReply rShort = Sense6(MODE_PAGE_ALL, 0, 20);
    ASSERT_EQ(rShort.abDataIn.size(), 20u);
    EXPECT_EQ(rShort.abDataIn[0], 191);
}

TEST_F(ModePagesTest, BlockDescriptorsOfALargeDrive) {
    constexpr uint64_t BLOCKS = 0x100000100ull;
    MakeDrives({BLOCKS});
    ClearAttentions();
    const HostReply rShort = Sense10(0x0A);
    EXPECT_EQ(wGetBe16(rShort.abDataIn.data() + 6), 8);
    EXPECT_EQ(dGetBe32(rShort.abDataIn.data() + 8), 0xFFFFFFFFu);
    const HostReply rLong = Sense10(0x0A, 0, 0x10);
    EXPECT_EQ(rLong.abDataIn[4], 1);
    EXPECT_EQ(wGetBe16(rLong.abDataIn.data() + 6), 16);
    EXPECT_EQ(lGetBe64(rLong.abDataIn.data() + 8), BLOCKS);
    EXPECT_EQ(dGetBe32(rLong.abDataIn.data() + 20), 512u);
    EXPECT_EQ(rLong.abDataIn[24], 0x8A);
    EXPECT_EQ(wGetBe16(rLong.abDataIn.data()), rLong.abDataIn.size() - 2);
    const HostReply rNone = Sense10(0x0A, 0, 0x08);
    EXPECT_EQ(wGetBe16(rNone.abDataIn.data() + 6), 0);
    EXPECT_EQ(rNone.abDataIn.size(), 8u + 12u);
    // The 6-byte form never carries the long descriptor.
    EXPECT_EQ(Sense6(0x0A).abDataIn[3], 8);
}

TEST_F(ModePagesTest, ReadOnlyMappingsAreWriteProtected) {
    MakeDrives({100000, 100000});
    Map(5, 1, true);
    ClearAttentions();
    EXPECT_EQ(Sense10(0x08).abDataIn[3], 0x10);
    HostCommand s;
    s.dPortId = INITIATOR;
    s.wLun = 5;
    s.abCdb = {SCSI_MODE_SENSE6, 0, 0x08, 0, 255, 0};
    s.dExpected = 255;
    const uint16_t w = host.Send(s);
    Dispatch();
    Settle();
    EXPECT_EQ(host.Reply(w).abDataIn[2], 0x90);
}

TEST_F(ModePagesTest, UnknownPagesAndTheXorPageOffFibreChannel) {
    MakeDrives({100000});
    ClearAttentions();
    ExpectRefused(Sense10(0x05), ASC_INVALID_FIELD_IN_CDB, "page 5");
    EXPECT_EQ(Sense10(0x10).bStatus, SCSI_STATUS_GOOD);
    // A command made inside the controller is no Fibre Channel host port.
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    ASSERT_EQ(bAllocTargetEntries(PORT_CODE_INTERNAL, 1, &ps, &wIndex, FALSE), STATUS_OK);
    uint8_t abBlock[128] = {};
    CopyNewCommandIocb(PORT_CODE_INTERNAL, abBlock, ps, HOST_STATE_NEW_COMMAND, FALSE);
    const uint8_t abCdb[10] = {SCSI_MODE_SENSE10, 0, 0x10, 0, 0, 0, 0, 1, 0, 0};
    std::memcpy(pGetCommandCdb(ps), abCdb, sizeof(abCdb));
    QueueNewCommand(PORT_CODE_INTERNAL, wIndex);
    Dispatch();
    EXPECT_EQ(pHostFields(ps)->bScsiStatus, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(pHostFields(ps)->bAsc, ASC_INVALID_FIELD_IN_CDB);
    // On a SAS host interface all pages leave the XOR page out.
    SetHostInterfaceType(6);
    const HostReply r = Sense10(MODE_PAGE_ALL, 0, 0x08);
    for (size_t p = 8; p < r.abDataIn.size(); p += 2 + r.abDataIn[p + 1]) EXPECT_NE(r.abDataIn[p] & 0x3F, 0x10);
}

TEST_F(ModePagesTest, SelectWithNoParameterListIsGoodWithoutDataPhase) {
    MakeDrives({100000});
    ClearAttentions();
    const HostReply r = Ask({SCSI_MODE_SELECT6, 0x10, 0, 0, 0, 0}, 0);
    EXPECT_EQ(r.bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(r.dCtios, 1u);
    EXPECT_EQ(r.dDataOutMoved, 0u);
}

TEST_F(ModePagesTest, SelectChangesTheCurrentPageAndSavesOnlyWhenAsked) {
    MakeDrives({100000});
    ClearAttentions();
    std::vector<uint8_t> abCaching = Current(CACHING);
    ASSERT_EQ(abCaching.size(), 20u);
    abCaching[0] = CACHING;   // the PS bit of a page sent back does not matter
    abCaching[2] = 0x10;      // write cache off
    EXPECT_EQ(Select(abCaching).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Current(CACHING)[2], 0x10);
    EXPECT_EQ(Saved(CACHING)[2], 0x14);
    EXPECT_EQ(Nvram(99 + 2, 1)[0], 0x14);
    abCaching[2] = 0x11;
    EXPECT_EQ(Select(abCaching, true).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Saved(CACHING)[2], 0x11);
    EXPECT_EQ(Nvram(99 + 2, 1)[0], 0x11);
    // A restart takes the saved pages back.
    InitModePages();
    EXPECT_EQ(Current(CACHING)[2], 0x14);   // byte 2 of the caching page starts as it always does
    std::vector<uint8_t> abControl = Current(0x0A);
    abControl[2] = 0x03;
    EXPECT_EQ(Select(abControl, true).bStatus, SCSI_STATUS_GOOD);
    InitModePages();
    EXPECT_EQ(Current(0x0A)[2], 0x03);
}

TEST_F(ModePagesTest, UnchangeableBitsAreLeftAloneOrRefusedInStrictMode) {
    MakeDrives({100000});
    ClearAttentions();
    SetTargetCommandTrace(TRUE);
    std::vector<uint8_t> abCaching = Current(CACHING);
    abCaching[2] = 0x10;   // changeable
    abCaching[3] = 0x01;   // not
    EXPECT_EQ(Select(abCaching).bStatus, SCSI_STATUS_GOOD);
    EXPECT_EQ(Current(CACHING)[2], 0x10);
    EXPECT_EQ(Current(CACHING)[3], 0x00);
    EXPECT_NE(board.ConsoleText().find("Mode Select Page: 88 Length: 12\r\n"), std::string::npos);
    EXPECT_NE(board.ConsoleText().find("Mode Select Page:88 Offset:03 Value:01 not changable\r\n"), std::string::npos);
    // The vendor page turns strict checking on: then nothing changes.
    EXPECT_EQ(Select({0x00, 0x02, 0x02, 0x00}).bStatus, SCSI_STATUS_GOOD);
    abCaching[2] = 0x14;
    ExpectRefused(Select(abCaching), ASC_INVALID_FIELD_IN_PARAMETERS, "strict");
    EXPECT_EQ(Current(CACHING)[2], 0x10);
}

TEST_F(ModePagesTest, ParameterListsAreBoundedByWhatArrived) {
    MakeDrives({100000});
    ClearAttentions();
    std::vector<uint8_t> abControl = Current(0x0A);
    abControl[2] = 0x03;
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> abList;
        uint8_t bAsc;
    };
    std::vector<uint8_t> abCut = {0, 0, 0, 0, 0, 0, 0, 0};
    abCut.insert(abCut.end(), abControl.begin(), abControl.begin() + 6);
    std::vector<uint8_t> abOneByte = {0, 0, 0, 0, 0, 0, 0, 0, 0x8A};
    std::vector<uint8_t> abDescriptors = {0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> abUnknown = {0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x02, 0, 0};
    std::vector<uint8_t> abWrongLength = {0, 0, 0, 0, 0, 0, 0, 0, 0x8A, 0x04, 0x03, 0, 0, 0};
    const Case acCases[] = {
        {"header cut short", {0, 0, 0}, ASC_PARAMETER_LIST_LENGTH},
        {"block descriptors past the end", abDescriptors, ASC_PARAMETER_LIST_LENGTH},
        {"page cut short", abCut, ASC_INVALID_FIELD_IN_PARAMETERS},
        {"page header cut short", abOneByte, ASC_INVALID_FIELD_IN_PARAMETERS},
        {"unknown page", abUnknown, ASC_INVALID_FIELD_IN_PARAMETERS},
        {"wrong page length", abWrongLength, ASC_INVALID_FIELD_IN_PARAMETERS},
    };
    for (const Case& c : acCases) ExpectRefused(SelectList(c.abList), c.bAsc, c.pszWhat);
    EXPECT_EQ(Current(0x0A)[2], 0x02);   // nothing was changed
    // A list longer than the page it is received into is refused before
    // any data moves.
    std::vector<uint8_t> ab(10, 0);
    ab[0] = SCSI_MODE_SELECT10;
    PutBe16(ab.data() + 7, 5000);
    const HostReply r = Ask(ab, 5000, std::vector<uint8_t>(5000, 0));
    ExpectRefused(r, ASC_PARAMETER_LIST_LENGTH, "5000 bytes");
    EXPECT_EQ(r.dDataOutMoved, 0u);
    // A host that sends less than its CDB says is held to what it sent.
    std::vector<uint8_t> abList(8, 0);
    abList.insert(abList.end(), abControl.begin(), abControl.end());
    std::vector<uint8_t> abCdb(10, 0);
    abCdb[0] = SCSI_MODE_SELECT10;
    PutBe16(abCdb.data() + 7, static_cast<uint16_t>(abList.size()));
    ExpectRefused(Ask(abCdb, 14, abList), ASC_INVALID_FIELD_IN_PARAMETERS, "short transfer");
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);
}

TEST_F(ModePagesTest, StoredPagesThatAreNotOursAreReplacedByTheDefaults) {
    NvramWrite8(AREA + 99, 0x55);   // the caching page's code byte
    NvramWrite8(AREA + 120, 0x8A);
    NvramWrite8(AREA + 122, 0x03);  // a control page saved earlier
    InitModePages();
    uint8_t* pbCurrent = nullptr;
    uint8_t* pbChangeable = nullptr;
    uint8_t* pbSaved = nullptr;
    uint32_t dOffset = 0;
    GetModePageCopies(CACHING, &pbCurrent, &pbChangeable, &pbSaved, &dOffset);
    ASSERT_NE(pbSaved, nullptr);
    EXPECT_EQ(pbSaved[0], 0x88);
    EXPECT_EQ(dOffset, AREA + 99);
    EXPECT_EQ(Nvram(99, 1)[0], 0x88);
    GetModePageCopies(0x0A, &pbCurrent, &pbChangeable, &pbSaved, &dOffset);
    EXPECT_EQ(pbCurrent[2], 0x03);
    GetModePageCopies(0x05, &pbCurrent, &pbChangeable, &pbSaved, &dOffset);
    EXPECT_EQ(pbCurrent, nullptr);
}

// A control page saved with software write protect set (an earlier firmware
// took the bit and never kept it) starts without it, stored again so: no
// copy says the drives are protected when they are not.
TEST_F(ModePagesTest, AStoredSoftwareWriteProtectIsDropped) {
    NvramWrite8(AREA + 120, 0x8A);
    NvramWrite8(AREA + 122, 0x02);
    NvramWrite8(AREA + 124, 0x08);   // SWP
    InitModePages();
    uint8_t* pbCurrent = nullptr;
    uint8_t* pbChangeable = nullptr;
    uint8_t* pbSaved = nullptr;
    uint32_t dOffset = 0;
    GetModePageCopies(0x0A, &pbCurrent, &pbChangeable, &pbSaved, &dOffset);
    ASSERT_NE(pbCurrent, nullptr);
    EXPECT_EQ(pbCurrent[4], 0x00);
    EXPECT_EQ(pbSaved[4], 0x00);
    EXPECT_EQ(pbChangeable[4], 0x00);
    EXPECT_EQ(Nvram(124, 1)[0], 0x00);
    EXPECT_EQ(pbCurrent[2], 0x02);   // the rest of the page as it was saved
}

}  // namespace
}  // namespace target_test
