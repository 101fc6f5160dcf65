// Whether a drive may be used: how it is reached and, for one OEM, who made
// it; and which current-table drive is still the same device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/nvram_layout.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "harness/dispatch_board.h"
#include "sim/board.h"
#include "harness/calendar.h"

namespace {

using fw::FALSE;
using fw::TRUE;

struct Drive {
    uint8_t bTarget;
    bool fSas;
    uint8_t bMuxBits;
    const char* pszVendor;
};

class QualificationTest : public ::testing::TestWithParam<uint32_t> {
protected:
    QualificationTest() : board(Config(GetParam())) {}
    static sim::BoardConfig Config(uint32_t dOem) {
        sim::BoardConfig c;
        c.oemCode = dOem;
        return c;
    }
    void SetUp() override {
        harness::PrepareInterruptsAndCalendar();
        fw::InitConsoleUart(115200);
        fw::ValidateNvram();
        fw::InitEventLog();
        fw::CopyBootParameterBlock();
        fw::SetSystemMemorySize(board.config().memorySize);
        fw::InitBufferPages();
        fw::InitDriveTables();
        fw::InitSASDeviceList(fw::pGetSASDriveInfoList());
    }
    static void Wwn(uint8_t bTarget, uint8_t* pb) {
        const uint8_t ab[8] = {0x50, 0x00, 0x0C, 0xCA, 0x11, 0x22, 0x33, bTarget};
        std::memcpy(pb, ab, 8);
    }
    // The drive as discovery lists it and the drive table has read it.
    static void Add(const Drive& d) {
        fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
        fw::SAS_DEVICE_ENTRY& e = ps->asEntry[ps->bEntryCount++];
        e.bTargetId = d.bTarget;
        e.fValid = TRUE;
        e.fSAS = d.fSas ? TRUE : FALSE;
        e.bStatus = d.bMuxBits;
        Wwn(d.bTarget, e.abWWN);
        fw::DRIVE_INFO s;
        fw::ClearDriveInfoRecord(&s);
        s.bLoopID1 = s.bHardIDFromADISC = d.bTarget;
        s.bEnclosureNo = 1;
        s.bSlotNo = static_cast<uint8_t>(d.bTarget + 1);
        Wwn(d.bTarget, s.abWWN);
        std::memset(s.acVendorID, ' ', 8);
        std::memcpy(s.acVendorID, d.pszVendor, std::strlen(d.pszVendor));
        (void)fw::fAppendDriveInfo(fw::pGetDriveInfoList(), &s);
    }
    static uint8_t Qualified(uint8_t bTarget, uint8_t fReport = FALSE) {
        uint8_t ab[8];
        Wwn(bTarget, ab);
        return fw::fIsDriveQualified(ab, fReport);
    }
    sim::Board board;
};

TEST_P(QualificationTest, PathTypesFollowTheDeviceEntry) {
    Add({1, true, 0, "DRIVEVND"});
    Add({2, false, 0x10, "DRIVEVND"});
    Add({3, false, 0x30, "DRIVEVND"});
    Add({4, false, 0x00, "DRIVEVND"});
    struct Case {
        uint8_t bTarget, bType, fSupported;
    };
    for (const Case& c : {Case{1, 3, TRUE}, Case{2, 4, TRUE}, Case{3, 5, FALSE}, Case{4, 2, FALSE}, Case{9, 0, TRUE}}) {
        uint8_t ab[8];
        Wwn(c.bTarget, ab);
        EXPECT_EQ(fw::bGetDrivePathType(ab), c.bType) << int(c.bTarget);
        EXPECT_EQ(fw::fIsDrivePathTypeSupported(ab), c.fSupported) << int(c.bTarget);
    }
    const uint8_t abUnset[8] = {0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0};
    EXPECT_EQ(fw::bGetDrivePathType(abUnset), 0);
    // A drive whose device now answers at another target is not the same.
    fw::pGetSASDriveInfoList()->asEntry[0].bTargetId = 7;
    uint8_t ab[8];
    Wwn(1, ab);
    uint8_t bIndex = 0xEE;
    EXPECT_EQ(fw::fFindKnownDriveByWwn(ab, &bIndex), FALSE);
    EXPECT_EQ(bIndex, 0xEE);
    EXPECT_EQ(fw::bGetDrivePathType(ab), 0);
}

TEST_P(QualificationTest, QualificationByPathAndMaker) {
    const bool fRestricted = GetParam() == 0x101;
    Add({1, true, 0, "PRAVELON"});
    Add({2, true, 0, "TRIM+VAL"});
    Add({3, true, 0, "PRIM+LON"});   // each place from one of the two names
    Add({4, true, 0, "PRAVELOX"});
    Add({5, false, 0x10, "TRIM+VAL"});
    Add({6, false, 0x30, "PRAVELON"});
    EXPECT_EQ(Qualified(1), TRUE);
    EXPECT_EQ(Qualified(2), TRUE);
    EXPECT_EQ(Qualified(3), TRUE);
    EXPECT_EQ(Qualified(4), fRestricted ? FALSE : TRUE);
    // Active-active SATA only while the multiplexers run in that mode.
    EXPECT_EQ(Qualified(5), GetParam() == 0 ? FALSE : TRUE);
    EXPECT_EQ(Qualified(6), FALSE);
    // A drive not in the table cannot be judged by maker.
    EXPECT_EQ(Qualified(40), fRestricted ? 0 : TRUE);
    EXPECT_EQ(harness::CountEvents(123), 0u);
    EXPECT_EQ(Qualified(6, TRUE), FALSE);
    ASSERT_EQ(harness::CountEvents(123), 1u);
    const fw::EVENT_LOG_ENTRY* ps = harness::NewestEvent(123);
    uint8_t ab[8];
    Wwn(6, ab);
    EXPECT_EQ(std::memcmp(ps->abArgs, ab, 8), 0);
    EXPECT_EQ(ps->abArgs[8], 6) << "enclosure 1, slot 7";
}

INSTANTIATE_TEST_SUITE_P(OemCodes, QualificationTest, ::testing::Values(0u, 0x101u, 0x202u),
                         [](const auto& info) { return "Oem" + std::to_string(info.param); });

}  // namespace
