// The active-active multiplexers in front of SATA drives: their register
// access through the drive's path, the patch information start of day reads,
// the tuning fields, the counters with their latch and clear, port resets,
// and the console screens that show them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "drive_side_fixture.h"
#include "sas/aa_mux.h"
#include "sas/link_diagnostics.h"
#include "sim/aa_mux.h"

namespace {

using namespace sastest;

class AaMuxTest : public DriveSideTest {
protected:
    AaMuxTest() : DriveSideTest(true) {}

    template <typename F>
    auto OnCpu(F fn) {
        decltype(fn()) r{};
        EXPECT_EQ(b.board().RunOnCpu([&] { r = fn(); }), sim::StopKind::Finished);
        return r;
    }
    SAS_DEVICE_ENTRY* Entry(unsigned uSlot) { return psGetSASDeviceOfTarget(TargetOfSlot(uSlot)); }
    sim::AaMux& Mux(unsigned uSlot) { return *chassis.MuxAt(uSlot); }
};

// The address, size code and value travel in the FIS fields of the vendor
// commands, and the read's value comes back from the status FIS.
TEST_F(AaMuxTest, RegistersAreReadAndWrittenThroughTheDrivesPath) {
    const uint8_t bTarget = TargetOfSlot(2);
    sim::AaMux& m = Mux(2);
    struct Case {
        uint8_t bSize, bCode;
        uint32_t dAddress, dExpected;
    };
    const Case aCases[] = {{1, 1, AA_MUX_REG_REVISION, 0x3},
                           {2, 2, AA_MUX_REG_DEVICE_ID, 0x8307},
                           {3, 3, AA_MUX_REG_PATCH_VERSION, 0x00070102},
                           {4, 3, AA_MUX_REG_PATCH + 4, m.PatchWord(1)}};
    for (const Case& c : aCases) {
        uint32_t d = 0;
        EXPECT_EQ(OnCpu([&] { return bReadAAMuxRegister(c.dAddress, &d, bTarget, 0, c.bSize); }), 0xFF);
        EXPECT_EQ(m.accesses().back().address, c.dAddress);
        EXPECT_EQ(m.accesses().back().sizeCode, c.bCode) << int(c.bSize);
        EXPECT_EQ(d, c.dExpected) << int(c.bSize);
    }
    EXPECT_EQ(OnCpu([&] { return bWriteAAMuxRegister(0xBFA01121, 0xA1B2C3D4, bTarget, 0, 4); }), 0xFF);
    EXPECT_TRUE(m.accesses().back().write);
    EXPECT_EQ(m.accesses().back().value, 0xA1B2C3D4u);
    // Sizes the command cannot carry send nothing; a register the part
    // does not have fails as the passthrough does.
    const size_t uBefore = m.accesses().size();
    uint32_t d = 0;
    EXPECT_EQ(OnCpu([&] { return bReadAAMuxRegister(AA_MUX_REG_DEVICE_ID, &d, bTarget, 0, 0); }), 0);
    EXPECT_EQ(OnCpu([&] { return bWriteAAMuxRegister(AA_MUX_REG_DEVICE_ID, 0, bTarget, 0, 5); }), 0);
    EXPECT_EQ(m.accesses().size(), uBefore);
    EXPECT_NE(OnCpu([&] { return bReadAAMuxRegister(0xBFA0FFF0, &d, bTarget, 0, 4); }), 0xFF);
}

// Start of day reads every multiplexer's patch block into its slot's
// record; a foreign part or a read failing part way leave the record
// invalid and the drive marked, and the info screen says which is which.
TEST_F(AaMuxTest, PatchInformationIsReadAtStartOfDayAndShown) {
    const SAS_DEVICE_ENTRY* ps = Entry(1);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->bStatus & 0x30, 0x10);
    const AA_MUX_PATCH_RECORD* psRecord = psGetAAMuxPatchRecord(1, 1);
    ASSERT_NE(psRecord, nullptr);
    EXPECT_EQ(psRecord->fValid, TRUE);
    EXPECT_EQ(psRecord->abVersion[0], 0x02);
    EXPECT_EQ(psRecord->abVersion[2], 0x07);
    const uint32_t dWord5 = Mux(1).PatchWord(5);
    EXPECT_EQ(psRecord->abPatch[20], static_cast<uint8_t>(dWord5));
    EXPECT_EQ(psRecord->abPatch[23], static_cast<uint8_t>(dWord5 >> 24));
    EXPECT_EQ(psGetAAMuxPatchRecord(17, 1), nullptr);
    EXPECT_EQ(psGetAAMuxPatchRecord(1, 33), nullptr);

    Mux(2).faults.deviceId = 0x1234;
    Mux(3).faults.failReadsFrom = AA_MUX_REG_PATCH + 8;
    for (unsigned u : {2u, 3u}) {
        SAS_DEVICE_ENTRY* psEntry = Entry(u);
        EXPECT_EQ(OnCpu([&] { return bSetupSATADrive(psEntry); }), STATUS_OK);
        EXPECT_EQ(psEntry->bStatus & 0x30, 0x30) << u;
        EXPECT_NE(psGetAAMuxPatchRecord(1, static_cast<uint8_t>(u))->fValid, TRUE);
    }
    EXPECT_EQ(OnCpu([&] { return fReadAAMuxPatchInfo(Entry(2)); }), FALSE);
    EXPECT_EQ(OnCpu([&] { return fReadAAMuxPatchInfo(Entry(3)); }), 0);
    // Mended, the next set-up clears the mark again.
    Mux(2).faults.deviceId = sim::AaMux::kDeviceId;
    EXPECT_EQ(OnCpu([&] { return bSetupSATADrive(Entry(2)); }), STATUS_OK);
    EXPECT_EQ(Entry(2)->bStatus & 0x30, 0x10);
    Mux(2).faults.deviceId = 0x1234;
    EXPECT_EQ(OnCpu([&] { return bSetupSATADrive(Entry(2)); }), STATUS_OK);

    const std::string s = Screen([] { ShowAAMuxInfo(); });
    EXPECT_EQ(s.rfind("\nAA Mux Info:\n", 0), 0u) << s;
    EXPECT_NE(s.find("\nAA Mux: Encl:01:01 Exp:00 PHY:0e\n30 31 32"), std::string::npos) << s;
    EXPECT_NE(s.find("Patch: 02.01.07 Version:15 AAMUX-SIM-PATCH Checksum:"), std::string::npos) << s;
    EXPECT_NE(s.find("Invalid AA Mux: Encl:01:02 Exp:00 PHY:11\n"), std::string::npos) << s;
    EXPECT_NE(s.find("Invalid AA Mux: Encl:01:03 Exp:00 PHY:14\n"), std::string::npos) << s;
    // Slot 9 is empty: its phy shows no SATA device.
    EXPECT_NE(s.find("No AA Mux: Encl:01:09 Exp:00 PHY:0c\n"), std::string::npos) << s;
    EXPECT_EQ(s.substr(s.size() - 2), "\n\n");
}

// Tuning replaces one field of the port's byte, leaving the others; a port
// the part does not have fails without a request, and a slot without a
// multiplexer is an invalid request.
TEST_F(AaMuxTest, TuningChangesOneFieldAndTheScreenShowsIt) {
    sim::AaMux& m = Mux(1);
    struct Step {
        uint8_t bKind, bInterface, bValue;
        uint32_t dRegister;
        uint8_t bExpected;
    };
    const Step aSteps[] = {
        {AA_MUX_TUNE_PRE_EMPHASIS, AA_MUX_PROTOCOL_SATA, 3, 0xBFA01121, 0x30},
        {AA_MUX_TUNE_PRE_EMPHASIS, AA_MUX_PROTOCOL_SAS, 0x0C, 0xBFA01121, 0x34},   // value masked to 3 bits
        {AA_MUX_TUNE_EQUALIZATION, AA_MUX_PROTOCOL_SATA, 2, 0xBFA01141, 0x20},
        {AA_MUX_TUNE_SWING, AA_MUX_PROTOCOL_SAS, 3, 0xBFA01122, 0x03},
        {AA_MUX_TUNE_SWING, AA_MUX_PROTOCOL_SATA, 1, 0xBFA01122, 0x13},
        {9, AA_MUX_PROTOCOL_SATA, 1, 0xBFA01121, 0x31},   // another kind: the SAS pre-emphasis
    };
    for (const Step& t : aSteps) {
        EXPECT_EQ(OnCpu([&] { return bSetAAMuxTuning(1, 1, 1, t.bKind, t.bInterface, t.bValue); }), 0xFF);
        EXPECT_EQ(m.TuningByte(t.dRegister), t.bExpected) << int(t.bKind) << " " << int(t.bValue);
    }
    EXPECT_EQ(m.TuningByte(0xBFA01021), 0);   // port 0 untouched
    const size_t uBefore = m.accesses().size();
    EXPECT_EQ(OnCpu([] { return bSetAAMuxTuning(1, 1, 3, AA_MUX_TUNE_SWING, AA_MUX_PROTOCOL_SAS, 1); }), AA_MUX_FAILED);
    EXPECT_EQ(m.accesses().size(), uBefore);
    EXPECT_EQ(OnCpu([] { return bSetAAMuxTuning(1, 10, 0, AA_MUX_TUNE_SWING, AA_MUX_PROTOCOL_SAS, 1); }),
              AA_MUX_INVALID_REQUEST);

    EXPECT_EQ(Screen([] { ShowAAMuxTuning(1, 1, 1); }),
              "AA Mux: Encl:01:01 Port 1 Tuning Parameters\n"
              "  SAS Pre-emphasis Level: 87.5%\n"
              "  SATA Pre-emphasis Level: 62.5%\n"
              "  SAS Equalization Stages: Both\n"
              "  SATA Equalization Stages: Stage1\n"
              "  SAS Swing Level SAS External\n"
              "  SATA Swing Level SATA Gen2\n");
    // A group whose read fails is left out.
    m.faults.failReadAt = 0xBFA01141;
    EXPECT_EQ(Screen([] { ShowAAMuxTuning(1, 1, 1); }),
              "AA Mux: Encl:01:01 Port 1 Tuning Parameters\n"
              "  SAS Pre-emphasis Level: 87.5%\n"
              "  SATA Pre-emphasis Level: 62.5%\n"
              "  SAS Swing Level SAS External\n"
              "  SATA Swing Level SATA Gen2\n");
}

// The counter screen latches each part's counters and shows the three
// ports; clearing zeroes them through the clear controls and a latch.
TEST_F(AaMuxTest, CountersAreLatchedShownAndCleared) {
    Mux(1).RaiseCounters(0, {7, 1, 2, 3, 4, 5});
    Mux(1).RaiseCounters(2, {0, 0, 0, 65536, 0, 0});
    Mux(4).faults.deviceId = 0x1234;
    Mux(5).faults.failReadsFrom = AA_MUX_REG_CRC_COUNT + AA_MUX_CRC_STRIDE;
    std::string s = Screen([] { ShowAAMuxCounters(); });
    EXPECT_EQ(s.rfind("                              Port 0           Port1           Port 2  \n", 0), 0u);
    EXPECT_NE(s.find("Enclosure: 1   Slot: 1\nDev ID: 0x8307   Rev: 3  \n"
                     " CRC Error Count                     7               0               0 \n"
                     " SSPL Invalid Dword                  1               0               0 \n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find(" SSPL Dword Sync                     3               0           65536 \n"), std::string::npos) << s;
    EXPECT_NE(s.find("Enclosure: 1   Slot: 4\nDev ID: Unknown \nReg bfa00002 Failed\nEnclosure: 1   Slot: 5\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find(" CRC Error Count                     0  Reg bfb09834 Failed\n SSPL Invalid Dword"), std::string::npos)
        << s;
    // Slots in order.
    EXPECT_LT(s.find("Slot: 1\n"), s.find("Slot: 2\n"));
    EXPECT_LT(s.find("Slot: 7\n"), s.find("Slot: 8\n"));

    Mux(5).faults.failReadsFrom = 0;
    Mux(1).RaiseCounters(1, {2, 0, 0, 0, 0, 9});
    EXPECT_EQ(Screen([] { ClearAAMuxCounters(); }), "");
    for (unsigned p = 0; p < 3; ++p) {
        EXPECT_EQ(Mux(1).LiveCounters(p).crc, 0u);
        EXPECT_EQ(Mux(1).LiveCounters(p).codeViolation, 0u);
        EXPECT_EQ(Mux(1).LiveCounters(p).dwordSync, 0u);
    }
    s = Screen([] { ShowAAMuxCounters(); });
    EXPECT_NE(s.find(" SSPL Dword Sync                     0               0               0 \n"), std::string::npos) << s;
    // The clear controls end where they started.
    for (uint32_t d : {0xBFA01091u, 0xBFA01191u, 0xBFA01291u}) EXPECT_EQ(Mux(1).TuningByte(d), 0) << std::hex << d;
}

// A latch that never finishes is given up after its polls, and that part's
// counters are neither shown nor cleared.
TEST_F(AaMuxTest, ALatchThatNeverFinishesIsGivenUp) {
    Mux(1).RaiseCounters(0, {3, 0, 0, 0, 0, 0});
    Mux(1).faults.latchStuck = true;
    std::string s = Screen([] { ShowAAMuxCounters(); });
    EXPECT_NE(s.find("Slot: 1\nDev ID: 0x8307   Rev: 3  \nError Reading LCLK Generation Timeout \nEnclosure: 1   Slot: 2\n"),
              std::string::npos)
        << s;
    s = Screen([] { ClearAAMuxCounters(); });
    EXPECT_EQ(s, "Error Reading LCLK Generation Timeout \n");
    EXPECT_EQ(Mux(1).LiveCounters(0).crc, 3u);
}

// A port reset drops the link under its own write: the write never comes
// back, the slot's phy sees the link go, and bad requests send nothing.
TEST_F(AaMuxTest, APortResetsWriteNeverReturns) {
    sim::AaMux& m = Mux(2);
    const uint8_t bChanges = chassis.PhyOfSlot(2).changeCount;
    std::string s = Screen([] { EXPECT_NE(bResetAAMuxPort(1, 2, 1, 9), 0xFF); });
    EXPECT_EQ(s, "Timeout expected\n");
    EXPECT_EQ(m.portResets(1), 1u);
    EXPECT_EQ(m.accesses().back().address, 0xBFA011A0u);
    EXPECT_EQ(m.accesses().back().value & 0x08, 0x08u);
    EXPECT_GT(static_cast<uint8_t>(chassis.PhyOfSlot(2).changeCount - bChanges), 0);
    (void)Screen([] { EXPECT_NE(bResetAAMuxPort(1, 2, 0, 3), 0xFF); });
    EXPECT_EQ(m.accesses().back().address, 0xBFA01012u);
    EXPECT_EQ(m.accesses().back().value & 0x40, 0x40u);
    const size_t uBefore = m.accesses().size();
    EXPECT_EQ(OnCpu([] { return bResetAAMuxPort(1, 2, 0, 16); }), 0);
    EXPECT_EQ(OnCpu([] { return bResetAAMuxPort(1, 2, 3, 0); }), 0);
    EXPECT_EQ(OnCpu([] { return bResetAAMuxPort(1, 10, 0, 0); }), AA_MUX_INVALID_REQUEST);
    EXPECT_EQ(m.accesses().size(), uBefore);
}

// The counter screens' slot order: a row moves up past one of a higher
// slot unless its own enclosure is higher.
TEST(AaMuxSlotOrder, RowsAreSortedBySlotWithinTheEnclosureOrder) {
    static SAS_DEVICE_LIST s{};
    const uint8_t aab[][2] = {{1, 5}, {1, 2}, {2, 1}, {1, 9}, {2, 3}, {1, 1}};
    for (const auto& ab : aab) {
        SAS_DEVICE_ENTRY& e = s.asEntry[s.bEntryCount];
        e.bEnclosure = ab[0];
        e.bSlot = ab[1];
        e.bTargetId = static_cast<uint8_t>(s.bEntryCount++);
    }
    SAS_SLOT_ROW asRows[SAS_MAX_DEVICES];
    uint8_t bCount = 0;
    SortSASSlots(&s, asRows, &bCount);
    ASSERT_EQ(bCount, 6);
    std::string sOrder;
    for (uint8_t i = 0; i < bCount; ++i) sOrder += std::to_string(asRows[i].bEnclosure) + ":" + std::to_string(asRows[i].bSlot) + " ";
    // (2:1 stays ahead of 1:1: the next row's slot is not lower.)
    EXPECT_EQ(sOrder, "1:2 1:5 2:1 1:1 1:9 2:3 ");
}

}  // namespace
