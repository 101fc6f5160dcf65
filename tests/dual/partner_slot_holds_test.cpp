// Slot messages between the two controllers.  Holds agreed with message
// 215: one asks, the other marks the drive as the partner's; asked by both
// at once, controller 1 keeps the drive until it lets go.  Slot events told
// with message 213.
#include <gtest/gtest.h>

#include "harness/dual_pair.h"
#include "partner/partner_link.h"
#include "partner/partner_slot_holds.h"
#include "executive/system_state.h"
#include "sas/active_active.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"

namespace fw_b {
void HoldSASTarget(uint8_t bTarget);
void ReleaseSASTarget(uint8_t bTarget);
uint8_t bGetTargetIdByEnclosureSlot(uint8_t bEnclosure, uint8_t bSlot);
uint32_t dGetSASTargetFlags(uint8_t bTarget);
uint8_t bReceiveSasSlotHold(const uint8_t* pbCdb, uint16_t wLunField);
uint8_t bGetControllerNumber();
uint8_t fIsSASSlotChangeArmed();
uint8_t bGetSASSlotChangeSequence();
uint8_t bGetSASHostHoldOffStatus();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;
// Hold bits of a target's flag word: ours alone, the partner's, ours
// announced, and a partner's ask refused.
constexpr uint32_t kHeldHere = 0x100;
constexpr uint32_t kHeldByPartner = 0x200;
constexpr uint32_t kAnnounced = 0x400;
constexpr uint32_t kBits = 0xF00;

class PartnerSlotHolds : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        ASSERT_TRUE(Boot()) << Consoles();
        tA = fw::bGetTargetIdByEnclosureSlot(1, 3);
        tB = fw_b::bGetTargetIdByEnclosureSlot(1, 3);
        ASSERT_NE(tA, 0xFF);
        ASSERT_NE(tB, 0xFF);
    }
    uint32_t A() const { return fw::dGetSASTargetFlags(tA) & kBits; }
    uint32_t B() const { return fw_b::dGetSASTargetFlags(tB) & kBits; }
    void Settle() { RunUntil(nullptr, 300 * kMs); }
    uint8_t tA = 0xFF, tB = 0xFF;
};

TEST_F(PartnerSlotHolds, AHoldIsAgreedAndItsReleaseClearsBothSides) {
    fw::HoldSASTarget(tA);
    EXPECT_EQ(A() & kAnnounced, kAnnounced);
    Settle();
    EXPECT_EQ(A() & (kHeldHere | kAnnounced), kHeldHere) << std::hex << A();
    EXPECT_EQ(B() & kHeldByPartner, kHeldByPartner) << std::hex << B();
    fw::ReleaseSASTarget(tA);
    Settle();
    EXPECT_EQ(A(), 0u) << std::hex << A();
    EXPECT_EQ(B(), 0u) << std::hex << B();
}

TEST_F(PartnerSlotHolds, AskedByBothAtOnceControllerOneKeepsTheDrive) {
    fw::HoldSASTarget(tA);
    fw_b::HoldSASTarget(tB);
    Settle();
    // Controller 1 keeps it, whichever board that is.
    const bool fAKeeps = fw::bGetControllerNumber() == 1;
    ASSERT_NE(fAKeeps, fw_b::bGetControllerNumber() == 1);
    const uint32_t dKeeper = fAKeeps ? A() : B();
    const uint32_t dOther = fAKeeps ? B() : A();
    EXPECT_EQ(dKeeper & (kHeldHere | kHeldByPartner), kHeldHere) << std::hex << dKeeper;
    // The other, refused, holds nothing and keeps asking.
    EXPECT_EQ(dOther & kHeldHere, 0u) << std::hex << dOther;
    EXPECT_EQ(dOther & kAnnounced, kAnnounced) << std::hex << dOther;
    // Let go, controller 1 hands it over to the one still asking.
    if (fAKeeps) {
        fw::ReleaseSASTarget(tA);
    } else {
        fw_b::ReleaseSASTarget(tB);
    }
    Settle();
    const uint32_t dKeeperAfter = fAKeeps ? A() : B();
    const uint32_t dOtherAfter = fAKeeps ? B() : A();
    EXPECT_EQ(dOtherAfter & (kHeldHere | kHeldByPartner), kHeldHere) << std::hex << dOtherAfter;
    EXPECT_EQ(dKeeperAfter & (kHeldHere | kHeldByPartner), kHeldByPartner) << std::hex << dKeeperAfter;
    if (fAKeeps) {
        fw_b::ReleaseSASTarget(tB);
    } else {
        fw::ReleaseSASTarget(tA);
    }
    Settle();
    EXPECT_EQ(A(), 0u) << std::hex << A();
    EXPECT_EQ(B(), 0u) << std::hex << B();
}

// A slot change told to the partner (message 213, kind 1) starts there
// with the sequence named, the hosts held off; not here.
TEST_F(PartnerSlotHolds, ASlotChangeToldStartsOnThePartner) {
    ASSERT_EQ(fw_b::fIsSASSlotChangeArmed(), fw::FALSE);
    fw::SendSasDriveMessage213(1, 3, 1, 4);
    EXPECT_TRUE(RunUntil([] { return fw_b::fIsSASSlotChangeArmed() == fw::TRUE; }, 300 * kMs));
    EXPECT_EQ(fw_b::bGetSASSlotChangeSequence(), 4);
    EXPECT_EQ(fw_b::bGetSASHostHoldOffStatus(), fw::SAS_HOST_HOLD_OFF_RUNNING);
    EXPECT_EQ(fw::fIsSASSlotChangeArmed(), fw::FALSE);
}

// Asks for slots that hold no drive, or with a flag that is neither, do not
// reach past the tables; the one with a bad flag is refused.
TEST_F(PartnerSlotHolds, AsksForSlotsWithoutADriveAreHarmless) {
    const uint8_t aab[][5] = {{0x05, 215, 16, 32, 0xF1}, {0x05, 215, 0xFF, 0xFF, 0xF1}, {0x05, 215, 1, 3, 7}};
    EXPECT_EQ(fw_b::bReceiveSasSlotHold(aab[0], 0), fw::STATUS_OK);
    EXPECT_EQ(fw_b::bReceiveSasSlotHold(aab[1], 0), fw::STATUS_OK);
    EXPECT_EQ(fw_b::bReceiveSasSlotHold(aab[2], 0), 0);
    EXPECT_EQ(B(), 0u);
}

}  // namespace
