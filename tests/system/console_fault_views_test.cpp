// What an operator sees on the console after real faults: cached data lost
// over a power cut with the battery flat is listed by the next start's
// event log, and a RAID 5 that comes up without a member, or loses one
// pulled while it runs, shows the member failed or removed and its array
// critical in the event log views, and the member as failed (FL) in the
// configuration view.
#include <string>
#include <string_view>

#include "config/rank_table.h"
#include "console/console_menu.h"
#include "harness/fc_array_controller.h"
#include "host_road.h"

namespace {

using namespace roadtest;

const ArraySpec kRaid5 = {"Raid5", fw::RAID_LEVEL_5, 4, 16};

class ConsoleFaultViews : public RestartRoad {
protected:
    std::string Type(std::string_view keys) { return harness::TypeAtConsole(*board, keys); }
    // A view: the option typed, the page printed to its pause.
    std::string View(std::string_view keys) {
        std::string s = Type(keys);
        board->RunUntil([this] { return board->ConsoleText().find("Press any key to continue...") != std::string::npos; },
                        kSettleLimitNs);
        s = board->ConsoleText();
        Type(" ");
        return s;
    }
    // From the Event Log Menu: the configuration view, which shows the
    // array's second member failed (FL).
    std::string ConfigurationWithMemberFailed() {
        Type("0\r");
        Type("0\r");
        Type("1\r");
        const std::string s = View("9\r");
        EXPECT_NE(s.find("01  SAS  5005d5d000a00020 ------------ ---- --- -------- --- -- --- -- -- -- FL\r\n"),
                  std::string::npos)
            << s;
        return s;
    }
    // The Event Log Menu of this controller, from anywhere.
    void OpenEventLog() {
        Type("\x05");
        Type("5\r");
        Type("1\r");
    }
};

TEST_F(ConsoleFaultViews, AStartAfterCachedDataWasLostListsIt) {
    boardConfig.cacheBatteryCharged = false;
    ASSERT_NO_FATAL_FAILURE(Boot(kRaid5));
    WriteSome(12, 40);
    ASSERT_GT(ValidJournalSlots(), 0u) << "everything reached the drives before the cut";
    ASSERT_NO_FATAL_FAILURE(RestartFromDirectory());
    ASSERT_GT(EventCount(101), 0);
    OpenEventLog();
    for (const char* pszView : {"2\r", "1\r", "3\r"}) {
        const std::string s = View(pszView);
        EXPECT_NE(s.find("Cached Data Lost, "), std::string::npos) << pszView << s;
        EXPECT_NE(s.find("End Of Event Log"), std::string::npos) << pszView << s;
    }
}

// The views also hold while the drive rescan runs beside them: it borrows
// the menu's selection register for its own walk.
TEST_F(ConsoleFaultViews, AMemberPulledWhileOffShowsItsArrayCriticalAndTheMemberFailed) {
    ASSERT_NO_FATAL_FAILURE(Boot(kRaid5));
    WriteSome(8, 7);
    Settle();
    ASSERT_NO_FATAL_FAILURE(Restart({2}));
    OpenEventLog();
    const std::string kFailed = "Drive Failed WWN:5005d5d000a00020 S:N/A A:00 D:01\r\n";
    for (const char* pszView : {"2\r", "1\r", "3\r"}) {
        const std::string s = View(pszView);
        const size_t at = s.find(kFailed);
        ASSERT_NE(at, std::string::npos) << pszView << s;
        // The array's state follows at once, on the next line after its time.
        EXPECT_EQ(s.substr(at + kFailed.size() + 25, 19), "Array 00 Critical\r\n") << pszView << s;
    }
    const std::string sDrives = View("6\r");
    EXPECT_NE(sDrives.find(kFailed), std::string::npos) << sDrives;
    EXPECT_EQ(sDrives.find("Array 00 Critical"), std::string::npos) << sDrives;
    const std::string sConfig = ConfigurationWithMemberFailed();
    EXPECT_NE(sConfig.find("Failed Drive:00 WWN:5005d5d000a00020 S:N/A \r\nDrive Timeout\r\n"), std::string::npos)
        << sConfig;
    // The array still serves what was written.
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8));
}

// Pulled while the controller runs and a host writes: the member leaves
// the array, and the views tell of the drive's removal and the array's
// state, as they do of one missing at the start.
TEST_F(ConsoleFaultViews, AMemberPulledWhileRunningShowsItsRemovalAndItsArrayCritical) {
    ASSERT_NO_FATAL_FAILURE(Boot(kRaid5));
    WriteSome(8, 7);
    chassis->Pull(2);
    WriteSome(8, 8);
    board->RunUntil([] { return EventCount(27) != 0 && EventCount(118) != 0; }, kSettleLimitNs);
    Settle();
    ASSERT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_DEGRADED);
    OpenEventLog();
    const std::string kRemoved = "Drive Removed WWN:5005d5d000a00020";
    const std::string kFailed = "Drive Failed WWN:5005d5d000a00020 S:N/A A:00 D:01\r\n";
    for (const char* pszView : {"2\r", "1\r", "3\r"}) {
        const std::string s = View(pszView);
        EXPECT_NE(s.find(kRemoved), std::string::npos) << pszView << s;
        EXPECT_NE(s.find(kFailed), std::string::npos) << pszView << s;
        EXPECT_NE(s.find("Array 00 Critical\r\n"), std::string::npos) << pszView << s;
    }
    // The drive events: the member's failure; neither the removal nor the
    // array's state is one of them.
    const std::string sDrives = View("6\r");
    EXPECT_NE(sDrives.find(kFailed), std::string::npos) << sDrives;
    EXPECT_EQ(sDrives.find(kRemoved), std::string::npos) << sDrives;
    EXPECT_EQ(sDrives.find("Array 00 Critical"), std::string::npos) << sDrives;
    ConfigurationWithMemberFailed();
    // Everything written before and after the pull reads back.
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8));
}

}  // namespace
