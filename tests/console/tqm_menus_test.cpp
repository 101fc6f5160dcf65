// The Target Queue Management Configuration Menu and its dialogue: the
// response chosen, the limits asked by the advanced level, and what the
// scratch image holds after each answer.
#include <gtest/gtest.h>

#include <string>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "executive/types.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

class TqmMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        fw::SetWriteBackCheckEnable(fw::FALSE);
    }
    // The menu as option 7 of the Additional Host Configuration Menu opens it.
    std::string Open() {
        fw::psGetMenuState()->lMenuPath = 0x113;
        c.board.ClearConsoleText();
        fw::TargetQueueManagementMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    fw::TQM_SETTINGS& Tqm() { return fw::pGetScratchConfigImage()->sTqmSettings; }
    ConsoleBoard c;
};

const std::string kAnyKey = "Press any key to continue...\n";
const std::string kTitle = "\n\nTarget Queue Management Configuration Menu ";
const std::string kOffMenu = kTitle + "(1-3-7) (C0)\n\n1.  Enabled Target Queue Management\n\n0.  Exit\n\n" + kPrompt;
const std::string kOnMenu = kTitle +
                            "(1-3-7) (C0)\n\n1.  Disable Target Queue Management\n"
                            "2.  Modify Target Queue Management\n\n0.  Exit\n\n" +
                            kPrompt;
const std::string kResponseMenu = kTitle +
                                  "(1-3-7-1) (C0)\n\nDuring a queue full situation, respond with:\n\n"
                                  "1.  SCSI Status BUSY\n"
                                  "2.  SCSI Status TASK SET FULL\n"
                                  "3.  Automatically Determine Best Response\n"
                                  "\n0.  Exit\n\n" +
                                  kPrompt;
const std::string kResponseTime =
    "\nEnter maximum response time in seconds before invoking queue full\n"
    "management, 1--99 (<CR> to select 4 (default)): ";
const std::string kNoAcceptTime =
    "\nMaximum time in milliseconds requests to a logical drive from a host may be\n"
    "rejected before accepting another request, 1--65535 (<CR> to select 800 (default)): ";
const std::string kMaxReject =
    "\nMaximum number of requests to a logical drive from a host that may be\n"
    "rejected before accepting another request, 1--65535 (<CR> to select 0 (default)): ";
const std::string kMinLinks = "\nMinimum number of active links per host, 1--512 (<CR> to disable): ";
const std::string kMaxLinks = "\nMaximum number of overall active links, 1--65535 (<CR> to disable): ";
const std::string kStatusDelay =
    "\nEnter maximum time to delay status response in msecs\n"
    "currently , 200 msec (<CR> to select 200 msec (default)): ";
const std::string kEnabled = "\n\n\nTarget Queue Management Enabled\n" + kAnyKey;

// Without the advanced level only the response time is asked; refused
// answers ask it again and leave the reset values stored.
TEST_F(TqmMenus, EnablingAsksTheResponseTimeAlone) {
    EXPECT_EQ(Open(), kOffMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kResponseMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kResponseTime);
    EXPECT_EQ(Tqm().bResponseType, 0xF2);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(fw::fGetWriteBackCheckEnable(), fw::TRUE);
    // Over the limit, a response time of 0 (it would halve every array's
    // queue limit at each adjustment), Q, E, text and a number past 32 bits.
    for (const char* pszRefused : {"100", "0", "Q", "e", "4x", "99999999999"}) {
        EXPECT_EQ(c.Enter(pszRefused), std::string(pszRefused) + "\rInvalid Selection\n\n" + kResponseTime)
            << pszRefused;
        EXPECT_EQ(Tqm().bResponseTime, 4) << pszRefused;
    }
    EXPECT_EQ(c.Enter("99"), "99\r" + kEnabled);
    EXPECT_EQ(Tqm().bResponseTime, 99);
    EXPECT_EQ(Tqm().wNoAcceptTime, 800);
    EXPECT_EQ(Tqm().wMaxReject, 0);
    EXPECT_EQ(Tqm().wMinLinksPerHost, 0);
    EXPECT_EQ(Tqm().wMaxLinks, 0);
    EXPECT_EQ(Tqm().dStatusDelay, 200u);
}

// At level 4 every limit is asked in order; an empty line takes the
// question's default, and 0 is a setting where it means off.
TEST_F(TqmMenus, AdvancedLevelFourAsksEveryLimit) {
    for (uint8_t bLevel : {uint8_t(3), uint8_t(4)}) {
        SCOPED_TRACE(int(bLevel));
        fw::SetAdvancedConfigModeLevel(bLevel);
        Open();
        c.Enter("1");
        EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kResponseTime);
        if (bLevel == 3) {
            EXPECT_EQ(c.Enter(""), "\r" + kEnabled);
            EXPECT_EQ(Tqm().bResponseTime, 4);
            c.Type(" ");
            Tqm().bResponseType = 0xF0;
            continue;
        }
        EXPECT_EQ(c.Enter(""), "\r\n\n" + kNoAcceptTime);
        EXPECT_EQ(c.Enter("65536"), "65536\rInvalid Selection\n\n" + kNoAcceptTime);
        EXPECT_EQ(c.Enter("65535"), "65535\r\n\n" + kMaxReject);
        EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kMinLinks);
        EXPECT_EQ(c.Enter("513"), "513\rInvalid Selection\n\n" + kMinLinks);
        EXPECT_EQ(c.Enter("512"), "512\r\n\n" + kMaxLinks);
        EXPECT_EQ(c.Enter(""), "\r\n\n" + kStatusDelay);
        EXPECT_EQ(c.Enter("500"), "500\r" + kEnabled);
        EXPECT_EQ(Tqm().bResponseType, 0xF3);
        EXPECT_EQ(Tqm().bResponseTime, 4);
        EXPECT_EQ(Tqm().wNoAcceptTime, 65535);
        EXPECT_EQ(Tqm().wMaxReject, 0);
        EXPECT_EQ(Tqm().wMinLinksPerHost, 512);
        EXPECT_EQ(Tqm().wMaxLinks, 0);
        EXPECT_EQ(Tqm().dStatusDelay, 500u);
    }
}

// An enabled setting offers Disable and Modify; Modify starts again from
// the reset values, Disable stores 0xF0.
TEST_F(TqmMenus, ModifyResetsTheLimitsAndDisableTurnsItOff) {
    Tqm() = fw::TQM_SETTINGS{0xF2, 9, 7, 6, 5, 3, {0, 0}, 1000};
    EXPECT_EQ(Open(), kOnMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kResponseMenu);
    c.Enter("1");
    EXPECT_EQ(Tqm().bResponseType, 0xF1);
    EXPECT_EQ(Tqm().wNoAcceptTime, 800);
    EXPECT_EQ(Tqm().wMaxReject, 0);
    EXPECT_EQ(Tqm().wMinLinksPerHost, 0);
    EXPECT_EQ(Tqm().wMaxLinks, 0);
    EXPECT_EQ(Tqm().dStatusDelay, 200u);
    c.Enter("7");
    EXPECT_EQ(Tqm().bResponseTime, 7);
    c.Type(" ");
    fw::SetConfigModified(fw::FALSE);
    EXPECT_EQ(Open(), kOnMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\nTarget Queue Management Disabled\n\n" + kAnyKey);
    EXPECT_EQ(Tqm().bResponseType, 0xF0);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");
    EXPECT_EQ(Open(), kOffMenu);
    // Leaving the response choice changes nothing.
    c.Enter("1");
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kOffMenu);
    EXPECT_EQ(Tqm().bResponseType, 0xF0);
}

}  // namespace
