// The Controller Firmware Menu: a controller image sent down the console
// line is checked and programmed into the flash slot the controller did
// not start from, and the next start runs it; a bad file or a broken
// transfer leaves the flash untouched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console/xmodem_receive.h"
#include "console_board.h"
#include "eventlog/event_log.h"
#include "eventlog/event_texts.h"
#include "executive/types.h"
#include "harness/dispatch_board.h"
#include "sim/flash.h"
#include "xmodem_sender.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;
using consoletest::XmodemFaults;
using consoletest::XmodemSender;

class ControllerFirmware : public ::testing::Test {
protected:
    void SetUp() override {
        c.fWaitForConfiguration = false;
        c.Boot();
        c.Type("\x05");   // the operator's menu session
    }
    // The menu as the Online Diagnostics Menu's option 1 opens it.
    std::string Open(uint8_t level = 0) {
        fw::SetDiagnosticsModeLevel(level);
        fw::psGetMenuState()->lMenuPath = 0x122;
        c.board.ClearConsoleText();
        fw::ControllerFirmwareMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    // Option 1, the file sent whole, and what the console printed.
    std::string Download(const std::vector<uint8_t>& file, const XmodemFaults& faults = XmodemFaults()) {
        Open();
        c.Enter("1");
        sender.Listen();
        sender.Send(file, 1024, true, faults);
        c.board.RunUntil([] { return fw::fIsXmodemReceiveActive() != fw::TRUE; }, 200'000'000'000ull);
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    ConsoleBoard c;
    XmodemSender sender{c.board};
};

const std::string kTitle = "\n\nController Firmware Menu (2-2-1) (C0)\n\n";

// The newest entry of the event log with the code, or null.
const fw::EVENT_LOG_ENTRY* NewestEvent(uint8_t bCode) {
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t i = 1; i <= wCount; ++i) {
        const uint32_t dIndex = (wNext + fw::EVENT_LOG_ENTRIES - i) % fw::EVENT_LOG_ENTRIES;
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(static_cast<uint16_t>(dIndex));
        if (ps->bCode == bCode) return ps;
    }
    return nullptr;
}

TEST_F(ControllerFirmware, TheMenuOffersTheSettingsOnlyAtARaisedLevel) {
    EXPECT_EQ(Open(), kTitle + "1.  Download and Program Controller Firmware\n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(Open(3), kTitle +
                           "1.  Download and Program Controller Firmware\n"
                           "3.  Configure Controller Identification\n"
                           "4.  Configure SAS Expanders\n"
                           "5.  Audible Alarm Control\n\n0.  Exit\n\n" +
                           kPrompt);
}

TEST_F(ControllerFirmware, ANewImageIsProgrammedAndStartedNext) {
    const std::vector<uint8_t> image = sim::Flash::BuildImage(6000, 41);
    const std::string screen = Download(image);
    EXPECT_NE(screen.find("\nStart Controller Firmware Download\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\n\nDownload Completed, 6144 Bytes\nValid Firmware File\nErasing Flash\n"
                          "Programming Flash\nFlash Programming Complete\n"
                          "Press any key to continue...\n"),
              std::string::npos)
        << screen;
    EXPECT_EQ(c.board.flash().BootSlot(), 1);
    EXPECT_EQ(c.board.flash().SlotImage(1), image);
    // The event log says the firmware was upgraded, by the build and the
    // version it names.
    const fw::EVENT_LOG_ENTRY* ps = NewestEvent(fw::EVENT_FIRMWARE_UPGRADED);
    ASSERT_NE(ps, nullptr);
    c.board.ClearConsoleText();
    fw::PrintEventText(ps);
    c.Settle();
    EXPECT_EQ(c.board.ConsoleText(), "Controller Firmware Upgraded to Rev. 3.9 Build 0021\r\n");
    // The key returns to the menu; the next start is from the new slot.
    EXPECT_NE(c.Type("x").find(kTitle), std::string::npos);
    ASSERT_TRUE(harness::BootToMainLoop(c.board));
    EXPECT_EQ(c.board.flash().BootSlot(), 1);
}

// Files that are not this controller's image, and transfers that end
// without a file: nothing is stored in the flash.
TEST_F(ControllerFirmware, NothingIsProgrammedFromABadFileOrABrokenTransfer) {
    const std::vector<uint8_t> good = sim::Flash::BuildImage(6000, 41);
    std::vector<uint8_t> damaged = good;
    damaged[3000] ^= 4;
    // Second-program fields (offset, length, checksum at 52-63) that name
    // no program at all: damage, not "none".
    std::vector<uint8_t> junkSecond = good;
    for (size_t i = 52; i < 64; ++i) junkSecond[i] = static_cast<uint8_t>(0xA5 ^ i);
    XmodemFaults cancel;
    cancel.cancelAfterBlocks = 2;
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        XmodemFaults faults;
        const char* message;
    };
    const Case cases[] = {
        {"damaged", damaged, XmodemFaults(), "\n\nInvalid Firmware File\n\n"},
        {"two programs", sim::Flash::BuildImage(3000, 42, true), XmodemFaults(), "\n\nInvalid Firmware File\n\n"},
        {"junk second program", junkSecond, XmodemFaults(), "\n\nInvalid Firmware File\n\n"},
        {"short", std::vector<uint8_t>(good.begin(), good.end() - 1100), XmodemFaults(),
         "\n\nInvalid Firmware File\n\n"},
        {"cancelled", good, cancel, "\n\nXmodem Transfer Error\n\n"},
    };
    const uint64_t stores = c.board.flash().StoreCount();
    for (const Case& k : cases) {
        const std::string screen = Download(k.file, k.faults);
        EXPECT_NE(screen.find(std::string(k.message) + "Press any key to continue...\n"), std::string::npos)
            << k.name << screen;
        EXPECT_EQ(c.board.flash().StoreCount(), stores) << k.name;
        c.Type("x");
    }
    EXPECT_EQ(c.board.flash().BootSlot(), 0);
    EXPECT_EQ(NewestEvent(fw::EVENT_FIRMWARE_UPGRADED), nullptr);
}

}  // namespace
