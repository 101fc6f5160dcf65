// The Enclosure VSC Maintenance Menu: its screen, the SPI flash test on a
// spare sector, and the boot sector and whole-flash erases.  A controller
// started on a board as it comes from the factory writes nothing to the
// expander's flash or SEEPROM.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "enclosure/enclosure_discovery.h"
#include "console_board.h"
#include "hw/vsc7156.h"
#include "sim/vsc7156.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kAnyKey;
using consoletest::kPrompt;

const std::string kMenu =
    "\n\nEnclosure VSC Maintenance Menu (2-1-5) (C0)\n\n"
    "1.  Test SES Drive Power Control\n"
    "2.  Set Activity LED for Loopback Test\n"
    "3.  Clear Activity LED for Loopback Test\n"
    "4.  Set Activity LED for Normal Operation\n"
    "5.  Set Drive Power Control Bank1 for Loopback Test\n"
    "6.  Clear Drive Power Control Bank1 for Loopback Test\n"
    "7.  Set Drive Power Control Bank2 for Loopback Test\n"
    "8.  Clear Drive Power Control Bank2 for Loopback Test\n"
    "9.  Set Drive Power Control for Normal Operation\n"
    "10. SPI Memory Programming Test\n"
    "11. Download SPI Memory Boot Image\n"
    "12. Erase Boot Sector\n"
    "13. Erase SPI Flash\n"
    "\n0.  Exit\n\n" +
    kPrompt;

class VscMenu : public ::testing::Test {
protected:
    void SetUp() override {
        c.fWaitForConfiguration = false;
        c.Boot();
        // The self-tests need the own enclosure's processor found.
        ASSERT_EQ(c.board.RunUntil([] { return fw::fIsSesDeviceBusy() != fw::TRUE; }, 60'000'000'000ull),
                  sim::StopKind::Running);
        c.Type("\x05");
    }
    std::string Open() {
        fw::psGetMenuState()->lMenuPath = 0x121;
        c.board.ClearConsoleText();
        fw::EnclosureVscMaintenanceMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    sim::Vsc7156& vsc() { return sim::Vsc7156::Of(c.board); }
    ConsoleBoard c{Drives()};
    static sim::ChassisOptions Drives() {
        sim::ChassisOptions o;
        o.drives = 2;
        o.driveBytes = 64ull << 20;
        return o;
    }
};

TEST_F(VscMenu, AFactoryBoardStartsWithoutWritingAndTheMenuShowsItsOptions) {
    EXPECT_EQ(vsc().pagePrograms + vsc().erases + vsc().seepromWrites, 0u);
    EXPECT_EQ(vsc().Flash(), sim::Vsc7156::FactoryFlash());
    EXPECT_EQ(Open(), kMenu);
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x1215u);
}

// The test sector lies below the lower slot's trailer sector; it is left
// erased, the slots untouched.  A part that will not erase fails it.
TEST_F(VscMenu, TheSpiTestUsesASpareSectorAndReportsAFailingPart) {
    Open();
    const std::vector<uint8_t> before = vsc().Flash();
    EXPECT_EQ(c.Enter("10"),
              "10\r\n\n"
              "Erasing Test Sector at address 001e0000\n"
              "Test Page Program at address 001e0000\n"
              "Verify Test Data\n"
              "Post Test Sector Erase at address 001e0000\n"
              "Verify Post Test Sector Erase\n" +
                  kAnyKey);
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x12151u);
    EXPECT_EQ(vsc().Flash(), before);
    EXPECT_EQ(vsc().pagePrograms, 1u);
    EXPECT_EQ(c.Type(" "), kMenu);
    // Erases that do nothing: the blank sector takes the page, and the
    // check after the second erase finds it still there.
    vsc().failErases = true;
    EXPECT_EQ(c.Enter("10"),
              "10\r\n\n"
              "Erasing Test Sector at address 001e0000\n"
              "Test Page Program at address 001e0000\n"
              "Verify Test Data\n"
              "Post Test Sector Erase at address 001e0000\n"
              "Verify Post Test Sector Erase\n"
              "VSC7156_TestSPIProgramming: Post Test Erase Verify Failed\n"
              "VSC7156_TestSPIProgramming: Test Failed\n" +
                  kAnyKey);
}

// The boot sector erased, the boot image written back, then the whole part
// erased: the expander has nothing left to boot.
TEST_F(VscMenu, TheFlashOperationsEraseAndRewriteTheBootImage) {
    Open();
    EXPECT_EQ(c.Enter("12"), "12\r\n\nSPI Boot Sector erase successful\n" + kAnyKey);
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x121510u);
    EXPECT_TRUE(std::all_of(vsc().Flash().begin(), vsc().Flash().begin() + fw::VSC_SECTOR_SIZE,
                            [](uint8_t b) { return b == 0xFF; }));
    c.Type(" ");
    EXPECT_EQ(c.Enter("11"), "11\r\n\nSPI Mem Boot Image Update successful\n" + kAnyKey);
    EXPECT_EQ(vsc().Flash(), sim::Vsc7156::FactoryFlash());
    c.Type(" ");
    // A boot sector that does not erase: each of its 21 pages is named.
    vsc().failErases = true;
    const std::string e = c.Enter("11");
    size_t pages = 0;
    for (size_t at = 0; (at = e.find("fVSC7156_SPIBootImageDownload: Erase Verify failed 0000", at)) != std::string::npos;
         ++at) {
        ++pages;
    }
    EXPECT_EQ(pages, 21u) << e;
    EXPECT_NE(e.find("Erase Verify failed 00001400\nSPI Mem Boot Image Update failed\n"), std::string::npos) << e;
    vsc().failErases = false;
    c.Type(" ");
    vsc().failPrograms = true;
    const std::string s = c.Enter("11");
    EXPECT_NE(s.find("fVSC7156_SPIBootImageDownload: Image Verify failed\nSPI Mem Boot Image Update failed\n"),
              std::string::npos)
        << s;
    vsc().failPrograms = false;
    c.Type(" ");
    EXPECT_EQ(c.Enter("13"), "13\r\n\nSPI Bulk erase successful\n" + kAnyKey);
    EXPECT_EQ(vsc().BootSlot(), -1);
}

}  // namespace
