// Power management messages between the two controllers: a notice of an
// array's power state sent by one is taken by the other; one naming an
// array out of range is refused and changes nothing.
#include <gtest/gtest.h>

#include "enclosure/drive_management.h"
#include "enclosure/drive_spin.h"
#include "enclosure/power_management.h"
#include "harness/dual_pair.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw_b {
uint8_t bGetArrayAPMState(uint8_t bArray);
uint8_t bGetDriveAPMState(uint8_t bEnclosure, uint8_t bSlot);
void SetDriveSpunDownBit(uint8_t bEnclosure, uint8_t bSlot);
uint8_t fIsMasterController();
using fw::PARTNER_MESSAGE_COUNTS;
const PARTNER_MESSAGE_COUNTS& sGetPartnerMessageCounts();
}  // namespace fw_b

namespace {

constexpr uint64_t kMessageLimitNs = 2'000'000'000ull;

class PartnerApm : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    bool Notify(uint8_t bArray, uint8_t bState) {
        const uint8_t abArgs[3] = {bArray, bState, 0};
        if (fw::bSendAPMMessageToPartner(nullptr, nullptr, 0, 120, 34, abArgs) != fw::STATUS_OK) return false;
        return RunUntil([] { return fw::sGetPartnerMessageCounts().wOutgoingTotal == 0 &&
                                    fw_b::sGetPartnerMessageCounts().wIncomingTotal == 0; },
                        kMessageLimitNs);
    }
};

TEST_F(PartnerApm, AnArrayStateNoticeIsTakenAndAnArrayOutOfRangeRefused) {
    ASSERT_EQ(fw_b::bGetArrayAPMState(3), fw::APM_SPUN_UP);
    ASSERT_TRUE(Notify(3, fw::APM_SPUN_DOWN));
    EXPECT_EQ(fw_b::bGetArrayAPMState(3), fw::APM_SPUN_DOWN);
    ASSERT_TRUE(Notify(64, fw::APM_SPUN_UP));
    ASSERT_TRUE(Notify(3, 9));
    EXPECT_EQ(fw_b::bGetArrayAPMState(3), fw::APM_SPUN_DOWN);
    // A management request waiting for the answer is not sent: nothing
    // would carry the answer back to it.
    uint8_t ab[16];
    int iRequest = 0;
    EXPECT_EQ(fw::bSendAPMMessageToPartner(&iRequest, ab, sizeof ab, 123, 1, nullptr), 0);
}

// The status screens of the controller that is not master ask the master
// for its marks and show them: a drive the master parked shows parked there
// too.  The drive screen (level 1) and the array screen (level 2).
class SlaveStatusScreen : public PartnerApm, public ::testing::WithParamInterface<const char*> {};

TEST_P(SlaveStatusScreen, ShowsTheMastersMarks) {
    const bool fAMaster = fw::fIsMasterController() == fw::TRUE;
    ASSERT_NE(fAMaster, fw_b::fIsMasterController() == fw::TRUE);
    sim::Board& slave = fAMaster ? b->board : a->board;
    if (fAMaster) {
        fw::SetDriveSpunDownBit(1, 3);
    } else {
        fw_b::SetDriveSpunDownBit(1, 3);
    }
    auto SlaveState = [&] { return fAMaster ? fw_b::bGetDriveAPMState(1, 3) : fw::bGetDriveAPMState(1, 3); };
    ASSERT_EQ(SlaveState(), fw::DRIVE_APM_SPUN_UP);
    auto Screen = [&](const std::string& keys, const std::string& until) {
        slave.ClearConsoleText();
        for (char c : keys) {
            slave.TypeKeys(std::string(1, c));
            RunUntil([] { return false; }, 50'000'000ull);
        }
        EXPECT_TRUE(RunUntil([&] { return slave.ConsoleText().find(until) != std::string::npos; }, 20'000'000'000ull))
            << slave.ConsoleText();
        return slave.ConsoleText();
    };
    const bool fDrives = std::string(GetParam()) == "drives";
    Screen("\x05", "Please Select Option: ");
    Screen("2\r", "Please Select Option: ");
    Screen("11\r", "Please Select Option: ");
    Screen(fDrives ? "1\r" : "2\r", "Please Select Option: ");
    const std::string s = Screen("1\r", "Press any key to continue...");
    const std::string sTitle = fDrives ? "View Disk Drive APM Status " : "View Array APM Status ";
    EXPECT_NE(s.find(sTitle + "\r\n\r\nRequesting data from other controller, please wait..."), std::string::npos)
        << s;
    EXPECT_EQ(s.find("Request failed"), std::string::npos) << s;
    EXPECT_EQ(SlaveState(), fw::DRIVE_APM_SPUN_DOWN);
}

INSTANTIATE_TEST_SUITE_P(PartnerApm, SlaveStatusScreen, ::testing::Values("drives", "arrays"));

}  // namespace
