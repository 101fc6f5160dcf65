// The paged information dump: the event log pages, partner images that
// claim more than they hold, and the menu a page returns to.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console/console_menu.h"
#include "dump_test_board.h"
#include "console/menu_tree.h"
#include "eventlog/event_image.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"

namespace {

using dumptest::Lines;

class InfoDumpTest : public dumptest::DumpTest {
protected:
    // The date line the pages start with, as the test calendar prints it.
    std::string DateLine() {
        board.ClearConsoleText();
        fw::PrintCurrentDateTime();
        return Lines(board.ConsoleText());
    }
    // A partner's image in pages of its own, as the menu hands it over.
    fw::EVENT_LOG_MIRROR* PartnerImage() {
        EXPECT_EQ(fw::bAllocDataPages(0, fw::EVENT_IMAGE_PAGES, &m_dImage), fw::STATUS_OK);
        auto* ps = static_cast<fw::EVENT_LOG_MIRROR*>(fw::pBufferHandleToPointer(m_dImage));
        std::memset(ps, 0, sizeof *ps);
        return ps;
    }
    fw::BUFFER_HANDLE m_dImage{};

};

TEST_F(InfoDumpTest, AnEmptySelectionPrintsItsHeadingAndNoEntries) {
    const std::string sDate = DateLine();
    uint32_t dSteps = 0;
    Request(fw::EVENT_FILTER_DRIVE);
    EXPECT_EQ(RunDump(&dSteps), sDate + "Event Log (Controller 0)\n\nNo Entries\n\n");
    // Pages, copy and heading, finish.
    EXPECT_EQ(dSteps, 3u);
    EXPECT_EQ(fw::bGetInfoDumpType(), 0);
    EXPECT_EQ(fw::bGetInfoDumpState(), 0);
}

TEST_F(InfoDumpTest, EachEntryTakesOnePass) {
    fw::PostEvent(21, 1);
    fw::PostEvent(22, 1);
    fw::PostEvent(10);
    uint32_t dSteps = 0;
    Request(fw::EVENT_FILTER_HOST);
    const std::string s = RunDump(&dSteps);
    // Pages, heading, two entries, the closing line, finish.
    EXPECT_EQ(dSteps, 6u);
    EXPECT_NE(s.find("Event Log (Controller 0)\n\n"), std::string::npos);
    EXPECT_EQ(s.substr(s.size() - 18), "End Of Event Log\n\n");
}

TEST_F(InfoDumpTest, WithoutFreePagesTheDumpWaitsInItsFirstStep) {
    std::vector<fw::BUFFER_HANDLE> adTaken;
    fw::BUFFER_HANDLE d{};
    while (fw::bAllocDataPages(0, 16, &d) == fw::STATUS_OK) adTaken.push_back(d);
    Request(fw::DUMP_EVENTS_ALL);
    board.ClearConsoleText();
    for (int i = 0; i < 5; ++i) fw::RunInfoDump();
    EXPECT_EQ(board.ConsoleText(), "");
    EXPECT_EQ(fw::bGetInfoDumpState(), 0);
    for (fw::BUFFER_HANDLE h : adTaken) (void)fw::wFreeDataPages(h, 16);
    EXPECT_NE(RunDump().find("End Of Event Log"), std::string::npos);
}

TEST_F(InfoDumpTest, AMenusPageReturnsToItsMenu) {
    Request(fw::EVENT_FILTER_DRIVE, fw::DUMP_STATE_OWN, fw::DUMP_MODE_MENU);
    const std::string sMenu = RunDump();
    EXPECT_EQ(sMenu.substr(sMenu.size() - 33), "\n\n\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::psGetMenuState()->pfnAnyKeyMenu, &fw::ControllerEventLogMenu);
    Request(fw::EVENT_FILTER_DRIVE);
    EXPECT_EQ(RunDump().find("Press any key"), std::string::npos);
    EXPECT_EQ(fw::bGetInfoDumpMode(), 0);
}

// A partner's image is read for what it holds, whatever it claims.
TEST_F(InfoDumpTest, APartnerImageIsReadNoFurtherThanItReaches) {
    struct Case {
        uint16_t wCount;
        uint32_t dByteCount;
        uint32_t dPrinted;
    };
    const Case cases[] = {
        {2, fw::dEventImageBytes(2), 2},
        {5000, fw::dEventImageBytes(2), 2},          // more entries than its bytes
        {3, fw::dEventImageBytes(2) + 23, 2},        // a short last record
        {4, 10, 0},                                  // not even its head
        {0xFFFF, 0xFFFFFFFF, fw::EVENT_LOG_ENTRIES},  // more than any log holds
    };
    const uint32_t dPagesBefore = fw::dGetPagesInUse(0);
    for (const Case& c : cases) {
        fw::EVENT_LOG_MIRROR* ps = PartnerImage();
        ps->wCount = c.wCount;
        ps->dByteCount = c.dByteCount;
        for (uint32_t i = 0; i < fw::EVENT_LOG_ENTRIES; ++i) ps->asEntries[i].bCode = 10;
        fw::SetInfoDumpBuffer(m_dImage);
        uint32_t dSteps = 0;
        Request(fw::DUMP_EVENTS_ALL, fw::DUMP_STATE_PARTNER_EVENTS);
        const std::string s = RunDump(&dSteps);
        EXPECT_NE(s.find("Event Log (Controller 1)"), std::string::npos);
        // Heading, the entries, their end, finish (or heading, finish).
        EXPECT_EQ(dSteps, c.dPrinted == 0 ? 2u : c.dPrinted + 3) << c.wCount << " " << c.dByteCount;
        EXPECT_EQ(fw::dGetPagesInUse(0), dPagesBefore) << "the image's pages are given back";
    }
}

}  // namespace
