// The Controller Firmware Menu: a new controller image over XMODEM, and at
// a raised diagnostics level the doors to the identification, SAS expander
// and audible alarm settings.
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console/xmodem_receive.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "platform/flash_update.h"

namespace fw {

namespace {

constexpr uint64_t PATH_CONTROLLER_FIRMWARE = 0x1221;
constexpr uint64_t PATH_CONTROLLER_FIRMWARE_DOWNLOAD = 0x12211;
// Above this level the settings menus are offered.
constexpr uint8_t SETTINGS_LEVEL = 2;

MENU_STATE& Menu() { return *psGetMenuState(); }

void ShowControllerFirmwareMenu() {
    ClearScreen(FALSE);
    EnterMenu(ControllerFirmwareMenu, PATH_CONTROLLER_FIRMWARE);
    PrintMenuTitle("Controller Firmware Menu");
    ConsolePrintf("1.  Download and Program Controller Firmware\n");
    uint16_t wMask = 0x3;
    if (bGetDiagnosticsModeLevel() > SETTINGS_LEVEL) {
        ConsolePrintf("3.  Configure Controller Identification\n");
        ConsolePrintf("4.  Configure SAS Expanders\n");
        ConsolePrintf("5.  Audible Alarm Control\n");
        wMask = 0x3B;
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void StartControllerFirmwareDownload() {
    Menu().lMenuPath = PATH_CONTROLLER_FIRMWARE_DOWNLOAD;
    Menu().pfnAnyKeyMenu = ControllerFirmwareMenu;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bGetFirmwareUpdateBuffer(TRUE, &dHandle) != STATUS_OK) {
        ConsolePrintf("\nInsufficent Memory Available\n\n");
        WaitForAnyKey();
        return;
    }
    uint8_t* pbBuffer = static_cast<uint8_t*>(pBufferHandleToPointer(dHandle));
    if (fStartXmodemReceive(pbBuffer, dGetFirmwareUpdateBufferBytes(), XMODEM_KIND_CONTROLLER_FIRMWARE, TRUE) !=
        STATUS_OK) {
        ConsolePrintf("\nError Setting up XMODEM transfer\n\n");
        WaitForAnyKey();
    }
}

}  // namespace

void ControllerFirmwareMenu() {
    if (Menu().lMenuPath != PATH_CONTROLLER_FIRMWARE) {
        ShowControllerFirmwareMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1)) {
        StartControllerFirmwareDownload();
    } else if (wSelected == MenuOptionBit(3)) {
        ControllerIdentificationMenu();
    } else if (wSelected == MenuOptionBit(4)) {
        SasExpanderConfigurationMenu();
    } else if (wSelected == MenuOptionBit(5)) {
        AudibleAlarmControlMenu();
    } else {
        OnlineDiagnosticsMenu();
    }
}

}  // namespace fw
