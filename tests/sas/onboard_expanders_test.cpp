// The onboard expanders over I2C: every frame carries the packet error
// code the expander checks, registers are written only in the byte lanes
// meant, and the set-up gives both expanders their tables, the PHY
// settings kept in NVRAM and their SAS addresses, stopping where a
// register does not take its value.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "executive/types.h"
#include "harness/time_board.h"
#include "hw/hw.h"
#include "platform/i2c.h"
#include "sas/onboard_expanders.h"
#include "sim/onboard_expander_i2c.h"

namespace {

constexpr uint8_t kWwn[8] = {0x20, 0x00, 0x00, 0xD0, 0xB2, 0x12, 0x34, 0x56};

class OnboardExpanders : public ::testing::Test {
protected:
    void SetUp() override {
        t.Start();
        ASSERT_EQ(fw::bInitI2cUnit0(fw::FALSE), fw::STATUS_OK);
        t.board.i2c().Attach(0, 0xA0, &expander[0]);
        if (fBoth) t.board.i2c().Attach(0, 0xA2, &expander[1]);
        fw::HwNvramWrite(NVRAM_OFFSET(abControllerWwn), kWwn, sizeof kWwn);
        fw::WriteDefaultExpanderPhyConfig();
    }
    bool fBoth = true;
    harness::TimeBoard t;
    sim::OnboardExpanderI2c expander[2] = {sim::OnboardExpanderI2c(0xA0), sim::OnboardExpanderI2c(0xA2)};
};

TEST(SmbusPec, IsTheCrc8OfItsBytes) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(fw::bCalculateSmbusPec(check, sizeof check), 0xF4);
    const uint8_t frame[] = {0xA0, 0x05, 0x06};
    EXPECT_EQ(fw::bCalculateSmbusPec(frame, sizeof frame), sim::SmbusPec(frame, sizeof frame));
}

TEST_F(OnboardExpanders, RegistersAreWrittenInTheirLanesAndReadBack) {
    expander[0].SetRegister(0x8014, 0xAABBCCDD);
    expander[0].SetRegister(0x8010, 0x11111111);
    EXPECT_EQ(fw::bWriteExpanderRegister(0, 0x8014, 0x01020304, 0x3), fw::STATUS_OK);
    EXPECT_EQ(expander[0].Register(0x8014), 0xAABB0304u);
    EXPECT_EQ(expander[0].Register(0x8010), 0x11111111u);   // the other half of the word
    uint32_t d = 0;
    ASSERT_EQ(fw::bReadExpanderRegister(0, 0x8014, &d), fw::STATUS_OK);
    EXPECT_EQ(d, 0xAABB0304u);
    ASSERT_EQ(fw::bReadExpanderRegister(0, 0x8010, &d), fw::STATUS_OK);
    EXPECT_EQ(d, 0x11111111u);
    // A verify compares only the lanes written.
    expander[0].stuckBits[0x8014] = 0x00800000;
    EXPECT_EQ(fw::bWriteVerifyExpanderRegister(0, 0x8014, 0x01020304, 0x3), fw::STATUS_OK);
    EXPECT_EQ(fw::bWriteVerifyExpanderRegister(0, 0x8014, 0x01020304, 0xF), 0);
    // There are two expanders.
    EXPECT_EQ(fw::bWriteExpanderRegister(2, 0x8014, 1, 0xF), 0);
    EXPECT_EQ(fw::bReadExpanderRegister(2, 0x8014, &d), 0);
    EXPECT_EQ(fw::bWriteVerifyExpanderRegister(2, 0x8014, 1, 0xF), 0);
    EXPECT_EQ(expander[0].badPec + expander[1].badPec, 0u);
}

TEST_F(OnboardExpanders, TheSetUpGivesBothExpandersTheirTablesSettingsAndAddresses) {
    fw::SetNvramExpanderPhyConfig(1, 7, 0x12345699);
    expander[0].SetRegister(0x20, 0x000000AA);
    EXPECT_EQ(fw::SetupOnboardExpanders(), fw::STATUS_OK);
    uint64_t wwn = 0;
    for (uint8_t b : kWwn) wwn = wwn << 8 | b;
    for (unsigned e = 0; e < 2; ++e) {
        const sim::OnboardExpanderI2c& x = expander[e];
        EXPECT_EQ(x.badPec, 0u) << e;
        EXPECT_EQ(x.Register(0x08), 0x30313233u) << e;
        EXPECT_EQ(x.Register(0x1812C), 0x0000080Au) << e;
        EXPECT_EQ(x.Register(0x1830C), 0x28252814u) << e;
        EXPECT_EQ(x.Register(0x90), 4u) << e;
        // Each PHY's signal setting from NVRAM, in the lane its register takes.
        for (unsigned p = 0; p < 12; ++p)
            EXPECT_EQ(x.Register(0x40308 + 0x400 * p), fw::dGetNvramExpanderPhyConfig(e, p) & 0xFF) << e << " " << p;
        const uint64_t address = 0x5000000000000000ull | ((wwn << 12) & 0x0FFFFFFFFFFFF000ull) | (e == 0 ? 0x1FF : 0x2FF);
        for (uint32_t r : {0u, 0x18010u, 0x10000u, 0x43010u}) {
            EXPECT_EQ(x.Register(r), static_cast<uint32_t>(address >> 32)) << e << " " << r;
            EXPECT_EQ(x.Register(r + 4), static_cast<uint32_t>(address)) << e << " " << r;
        }
    }
    // Lanes 1-3 of the table's register 0x20: its low byte stays.
    EXPECT_EQ(expander[0].Register(0x20), 0x303132AAu);
    EXPECT_EQ(expander[1].Register(0x40308 + 0x400 * 7), 0x99u);
}

class OneOnboardExpander : public OnboardExpanders {
protected:
    OneOnboardExpander() { fBoth = false; }
};

TEST_F(OneOnboardExpander, AMissingExpanderIsSkippedAndAFailedVerifyEndsItsSetUp) {
    expander[0].stuckBits[0x8038] = 0x1;
    EXPECT_EQ(fw::SetupOnboardExpanders(), 0);
    // Expander 0 stopped at the register that did not take its value.
    EXPECT_EQ(expander[0].Register(0x08), 0x30313233u);
    EXPECT_EQ(expander[0].Register(0x8038), 0x1u);
    EXPECT_EQ(expander[0].Register(0x90), 0u);
    EXPECT_EQ(expander[0].Register(0x40308), 0u);
    EXPECT_EQ(expander[1].writes, 0u);
}

}  // namespace
