// The Enclosure VSC Maintenance Menu of the offline diagnostics: the self-
// tests of the onboard expander and the operations on its SPI flash.
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "sas/sas_discovery.h"
#include "sas/vsc7156_flash.h"

namespace fw {

namespace {

constexpr uint64_t PATH_VSC = 0x1215;
constexpr uint64_t PATH_VSC_TEST = 0x12151;
constexpr uint64_t PATH_VSC_FLASH = 0x121510;
constexpr uint16_t VSC_MASK = 0x3FFF;

MENU_STATE& Menu() { return *psGetMenuState(); }

void ShowEnclosureVscMaintenanceMenu() {
    ClearScreen(FALSE);
    EnterMenu(EnclosureVscMaintenanceMenu, PATH_VSC);
    PrintMenuTitle("Enclosure VSC Maintenance Menu");
    ConsolePrintf("1.  Test SES Drive Power Control\n");
    ConsolePrintf("2.  Set Activity LED for Loopback Test\n");
    ConsolePrintf("3.  Clear Activity LED for Loopback Test\n");
    ConsolePrintf("4.  Set Activity LED for Normal Operation\n");
    ConsolePrintf("5.  Set Drive Power Control Bank1 for Loopback Test\n");
    ConsolePrintf("6.  Clear Drive Power Control Bank1 for Loopback Test\n");
    ConsolePrintf("7.  Set Drive Power Control Bank2 for Loopback Test\n");
    ConsolePrintf("8.  Clear Drive Power Control Bank2 for Loopback Test\n");
    ConsolePrintf("9.  Set Drive Power Control for Normal Operation\n");
    ConsolePrintf("10. SPI Memory Programming Test\n");
    ConsolePrintf("11. Download SPI Memory Boot Image\n");
    ConsolePrintf("12. Erase Boot Sector\n");
    ConsolePrintf("13. Erase SPI Flash\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(VSC_MASK);
}

// Options 1-10 are self-tests, 11-13 act on the flash.
void RunOption(uint8_t bOption) {
    Menu().lMenuPath = bOption <= 10 ? PATH_VSC_TEST : PATH_VSC_FLASH;
    switch (bOption) {
    case 1: VSC7156_TestSESDrivePowerControl(); break;
    case 2: VSC7156_TestActivityLED(1); break;
    case 3: VSC7156_TestActivityLED(2); break;
    case 4: VSC7156_TestActivityLED(0); break;
    case 5: VSC7156_TestDrivePowerControl(1); break;
    case 6: VSC7156_TestDrivePowerControl(2); break;
    case 7: VSC7156_TestDrivePowerControl(3); break;
    case 8: VSC7156_TestDrivePowerControl(4); break;
    case 9: VSC7156_TestDrivePowerControl(0); break;
    case 10: VSC7156_TestSPIProgramming(); break;
    case 11:
        ConsolePrintf(fVSC7156_SPIBootImageDownload(TRUE) == VSC_BOOT_DONE ? "SPI Mem Boot Image Update successful\n"
                                                                            : "SPI Mem Boot Image Update failed\n");
        break;
    case 12: {
        // The expander is held off its flash while the controller drives it.
        SetCPLDControlBit3(FALSE);
        const uint8_t b = fVSC7156_SPISectorErase(0);
        SetCPLDControlBit3(TRUE);
        ConsolePrintf(b == STATUS_OK ? "SPI Boot Sector erase successful\n" : "SPI Boot Sector erase failed\n");
        break;
    }
    default: {
        SetCPLDControlBit3(FALSE);
        const uint8_t b = fVSC7156_SPIBulkErase();
        SetCPLDControlBit3(TRUE);
        ConsolePrintf(b == STATUS_OK ? "SPI Bulk erase successful\n" : "SPI Bulk Erase failed\n");
        break;
    }
    }
    Menu().pfnAnyKeyMenu = EnclosureVscMaintenanceMenu;
    WaitForAnyKey();
}

}  // namespace

void EnclosureVscMaintenanceMenu() {
    if (Menu().lMenuPath != PATH_VSC) {
        ShowEnclosureVscMaintenanceMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint8_t bOption = 1; bOption <= 13; ++bOption) {
        if (wSelected == MenuOptionBit(bOption)) {
            RunOption(bOption);
            return;
        }
    }
    OfflineDiagnosticsMenu();
}

}  // namespace fw
