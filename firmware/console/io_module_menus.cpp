// The Disk IO Module Maintenance Menu of the offline diagnostics: how many
// enclosures there are and what firmware their modules run, a new module
// image over XMODEM into the kept receive buffer, and the update of every
// enclosure's modules from it.
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console/xmodem_receive.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/io_module_firmware.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "hw/ses.h"
#include "partner/partner_link.h"

namespace fw {

namespace {

constexpr uint64_t PATH_DISK_IO_MODULE = 0x1214;
constexpr uint64_t PATH_MODULE_COUNT = 0x12141;
constexpr uint64_t PATH_MODULE_LIST = 0x12142;
constexpr uint64_t PATH_MODULE_DOWNLOAD = 0x12143;
constexpr uint64_t PATH_MODULE_UPDATE = 0x12144;

MENU_STATE& Menu() { return *psGetMenuState(); }

void ShowDiskIoModuleMaintenanceMenu() {
    ClearScreen(FALSE);
    EnterMenu(DiskIoModuleMaintenanceMenu, PATH_DISK_IO_MODULE);
    PrintMenuTitle("Disk IO Module Maintenance Menu");
    ConsolePrintf("1.  Display Total Number of Disk IO Modules\n");
    ConsolePrintf("2.  View Firmware on Disk IO Module\n");
    ConsolePrintf("3.  Download Firmware To Buffer\n");
    ConsolePrintf("4.  Update Firmware on Disk IO Module\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0x1F);
}

void ShowUpdateDiskIoModuleFirmwareMenu() {
    ClearScreen(FALSE);
    EnterMenu(UpdateDiskIoModuleFirmwareMenu, PATH_MODULE_UPDATE);
    PrintMenuTitle("Update Firmware on Disk IO Module Menu");
    ConsolePrintf("1.  Download Firmware To ALL Enclosures\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(0x3);
}

void UpdateAllEnclosures() {
    if (fIsEnclosureFirmwareImageValid() != TRUE) {
        ShowDiskIoModuleMaintenanceMenu();
        return;
    }
    if (fIsSesDeviceBusy() == TRUE) {
        PromptSelectOption();
        return;
    }
    SetSesDeviceBusy(TRUE);
    if (EnclosureFirmwareUpdateStart() != TRUE) {
        SetSesDeviceBusy(FALSE);
        PromptSelectOption();
        return;
    }
    Menu().pfnAnyKeyMenu = UpdateDiskIoModuleFirmwareMenu;
    ShowDiskIoModuleMaintenanceMenu();
}

}  // namespace

void DiskIoModuleMaintenanceMenu() {
    if (Menu().lMenuPath != PATH_DISK_IO_MODULE) {
        ShowDiskIoModuleMaintenanceMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    const bool fMasterOnly = wSelected == MenuOptionBit(3) || wSelected == MenuOptionBit(4);
    if (fMasterOnly && fIsMasterController() != TRUE) {
        ConsolePrintf("Not available on slave controller Press Enter to continue\n");
        PromptSelectOption();
        return;
    }
    if (wSelected == MenuOptionBit(1)) {
        ShowDiskIoModuleCount();
    } else if (wSelected == MenuOptionBit(2)) {
        ShowDiskIoModuleFirmwareList();
    } else if (wSelected == MenuOptionBit(3)) {
        DownloadDiskIoModuleFirmware();
    } else if (wSelected == MenuOptionBit(4)) {
        UpdateDiskIoModuleFirmwareMenu();
    } else {
        OfflineDiagnosticsMenu();
    }
}

void ShowDiskIoModuleCount() {
    // The line typed after the refusal below brings the menu back.
    if (Menu().lMenuPath == PATH_MODULE_COUNT) {
        ShowDiskIoModuleMaintenanceMenu();
        return;
    }
    EnterMenu(ShowDiskIoModuleCount, PATH_MODULE_COUNT);
    ENCLOSURE_TABLE* psTable = nullptr;
    if (fGetEnclosureTable(&psTable) != TRUE) {
        ConsolePrintf("Could not complete command successfully\n");
        AwaitTypedAnswer();
        return;
    }
    ConsolePrintf("\nTotal number of enclosures = %d\n", psTable->dTotalNoOfEnclosures);
    ConsolePrintf("\nTotal upgradable = %d\n",
                  psTable->dTotalNoOfEnclosures != 0 ? psTable->dTotalNoOfEnclosures - 1 : 0);
    Menu().pfnAnyKeyMenu = DiskIoModuleMaintenanceMenu;
    ShowDiskIoModuleMaintenanceMenu();
}

void ShowDiskIoModuleFirmwareList() {
    Menu().lMenuPath = PATH_MODULE_LIST;
    ENCLOSURE_TABLE* psTable = nullptr;
    if (fGetEnclosureTable(&psTable) != TRUE) {
        ConsolePrintf("Error getting Enclosure Info List\n");
        PromptSelectOption();
        return;
    }
    ConsolePrintf("\nList of Enclosures and Firmware Version\n");
    const uint32_t dCount = psTable->dTotalNoOfEnclosures < MAX_ENCLOSURES ? psTable->dTotalNoOfEnclosures
                                                                          : MAX_ENCLOSURES;
    for (uint32_t n = 0; n < dCount; ++n) {
        const uint8_t* pbPage = psTable->asEnclosure[n].abConfigPage;
        ConsolePrintf("%02x Product ID: ", n);
        for (uint32_t i = 0; i < 16; ++i) ConsolePrintf("%c", pbPage[SES_CONFIG_PRODUCT_OFFSET + i]);
        if (n != 0) {
            ConsolePrintf(", ");
            ConsolePrintf("Firmware Version: ");
            for (uint32_t i = 0; i < 4; ++i) ConsolePrintf("%c", pbPage[SES_CONFIG_REVISION_OFFSET + i]);
        }
        ConsolePrintf("\n");
    }
    Menu().pfnAnyKeyMenu = DiskIoModuleMaintenanceMenu;
    ShowDiskIoModuleMaintenanceMenu();
}

void DownloadDiskIoModuleFirmware() {
    Menu().lMenuPath = PATH_MODULE_DOWNLOAD;
    Menu().pfnAnyKeyMenu = DiskIoModuleMaintenanceMenu;
    if (fIsEnclosureFirmwareUpdateInProgress() == TRUE) {
        ConsolePrintf("\nFW update in progress, cannot start another update process.\n\n");
        WaitForAnyKey();
        return;
    }
    // The buffer is taken once and kept: every later download reuses it.
    uint8_t* pbBuffer = pTakeEnclosureFirmwareReceiveBuffer();
    if (pbBuffer == nullptr) {
        ConsolePrintf("\nInsufficent Memory Available\n\n");
        WaitForAnyKey();
        return;
    }
    // What the buffer held is overwritten now: it is no image to send until
    // the new one has arrived whole and passed its check.
    SetEnclosureFirmwareImageValid(FALSE);
    SetEnclosureFirmwareImageAddress(static_cast<uint32_t>(dCpuAddressOf(pbBuffer)));
    if (fStartXmodemReceive(pbBuffer, IO_MODULE_BUFFER_BYTES, XMODEM_KIND_IO_MODULE_FIRMWARE, TRUE) != STATUS_OK) {
        ConsolePrintf("\nError Setting up XMODEM transfer\n\n");
        Menu().pfnAnyKeyMenu = ShowDiskIoModuleFirmwareList;
        WaitForAnyKey();
    }
}

void UpdateDiskIoModuleFirmwareMenu() {
    if (Menu().lMenuPath != PATH_MODULE_UPDATE) {
        ShowUpdateDiskIoModuleFirmwareMenu();
        return;
    }
    if (wGetSelectedOption() == MenuOptionBit(1)) {
        UpdateAllEnclosures();
    } else {
        ShowDiskIoModuleMaintenanceMenu();
    }
}

}  // namespace fw
