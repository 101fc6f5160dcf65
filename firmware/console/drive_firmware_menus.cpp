// The Drive Maintenance Menu and its drive firmware screens.  The screens
// choose, confirm and start; the download and the read of a stored file
// run as configuration phases and report back through the two hooks at the
// end of this file.
#include "console/drive_firmware_menus.h"

#include "config/config_phase.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "console/xmodem_receive.h"
#include "enclosure/drive_firmware.h"
#include "enclosure/drive_firmware_download.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "raid/drive_verify.h"

namespace fw {

namespace {

constexpr uint64_t PATH_DRIVE_MAINTENANCE = 0x1222;
constexpr uint64_t PATH_DOWNLOAD_TO_BUFFER = 0x12221;
constexpr uint64_t PATH_READ_FIRMWARE = 0x12222;
constexpr uint64_t PATH_PROGRAM_FIRMWARE = 0x12223;
constexpr uint64_t PATH_CONFIRM_ALL = 0x122231;
constexpr uint64_t PATH_CONFIRM_UNUSED = 0x122232;
constexpr uint64_t PATH_CONFIRM_DIFFERENT = 0x122233;
constexpr uint8_t SETTINGS_LEVEL = 2;
constexpr uint32_t FIRMWARE_BUFFER_PAGES = 1024;   // 4 MB, the largest file
// Choices of the read screen: options 1..15 of the 16-bit mask.
constexpr uint8_t MAX_LISTED_FILES = 15;
constexpr uint8_t MAX_SHOWN_PRODUCTS = 4;
constexpr uint8_t STEP_WAITING = 0;
constexpr uint8_t STEP_CONFIRMED = 1;

MENU_STATE& Menu() { return *psGetMenuState(); }

void Screen(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle) {
    ClearScreen(FALSE);
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle(pszTitle);
}

void Result(uint64_t lPath, const char* pszText) {
    Menu().lMenuPath = lPath;
    ConsolePrintText(pszText);
    WaitForAnyKeyThen(DriveMaintenanceMenu);
}

uint8_t* pbFirmwareBuffer() { return pbTakeDownloadImageBuffer(); }

// Vendor, products and revision of a file, as the screens show it: at most
// four products, each cut at 16 characters (14 when there are more than
// three) or where two spaces begin.
void PrintFirmwareIdentity(const char* pcVendor, uint8_t bProducts, const char* pcProducts, const char* pcRevision) {
    for (uint32_t i = 0; i < 8; ++i) ConsolePrintf("%c", pcVendor[i]);
    ConsolePrintf(" ");
    const uint8_t bShown = bProducts < MAX_SHOWN_PRODUCTS ? bProducts : MAX_SHOWN_PRODUCTS;
    const uint32_t dWidth = bProducts > 3 ? 14 : 16;
    for (uint8_t p = 0; p < bShown; ++p) {
        if (p != 0) ConsolePrintf("/");
        const char* pc = pcProducts + p * sizeof(DRIVE_FIRMWARE_IMAGE_PAIR);
        for (uint32_t i = 0; i < dWidth; ++i) {
            if (i + 1 < dWidth && pc[i] == ' ' && pc[i + 1] == ' ') break;
            ConsolePrintf("%c", pc[i]);
        }
    }
    ConsolePrintf(" %c%c%c%c", pcRevision[0], pcRevision[1], pcRevision[2], pcRevision[3]);
}

bool IsBufferReady() { return pGetDownloadImageBuffer() != nullptr && fIsDownloadImageReady() == TRUE; }

void ShowDriveMaintenanceMenu() {
    Screen(DriveMaintenanceMenu, PATH_DRIVE_MAINTENANCE, "Drive Maintenance Menu");
    if (IsBufferReady()) {
        const char* pc = reinterpret_cast<const char*>(pGetDownloadImageBuffer());
        ConsolePrintf("Current Buffer Contents:\n");
        PrintFirmwareIdentity(pc + 808, static_cast<uint8_t>(pc[29]), pc + 816, pc + 36);
        ConsolePrintf("\n\n");
    } else {
        ConsolePrintf("\nNo Valid Drive Firmware in Buffer\n\n");
    }
    const bool fRaised = bGetDiagnosticsModeLevel() > SETTINGS_LEVEL;
    ConsolePrintf("1.  Download Drive Firmware To Buffer\n");
    ConsolePrintf("2.  Read Firmware From Drive To Buffer\n");
    ConsolePrintf("3.  Program and Save Drive Firmware\n");
    if (fRaised) {
        ConsolePrintf("4.  Drive Diagnostics\n");
        ConsolePrintf("6.  Drive Fail\n");
        ConsolePrintf("7.  Drive Power Management\n");
    }
    ConsolePrintf("8.  Display Background Drive Verify Information\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(fRaised ? 0x1DF : 0x10F);
}

void DownloadToBuffer() {
    uint8_t* pb = pbFirmwareBuffer();
    if (pb == nullptr) return Result(PATH_DOWNLOAD_TO_BUFFER, "\nInsufficent Memory Available\n\n");
    if (fStartXmodemReceive(pb, FIRMWARE_BUFFER_PAGES * BUFFER_PAGE_SIZE, XMODEM_KIND_DRIVE_FIRMWARE, TRUE) !=
        STATUS_OK) {
        return Result(PATH_DOWNLOAD_TO_BUFFER, "\nError Setting up XMODEM transfer\n\n");
    }
    Menu().lMenuPath = PATH_DOWNLOAD_TO_BUFFER;
    Menu().pfnAnyKeyMenu = DriveMaintenanceMenu;
}

void StartPhase(uint8_t bPhase) {
    RequestConfigurationService();
    SetConfigPhase(bPhase);
    SetConfigRequester(REQUESTER_CONSOLE);
    SetConfigPhaseStep(0);
}

// The three confirmations differ in their warning and in what they select.
struct DOWNLOAD_CHOICE {
    MENU_FUNCTION pfnPrompt;
    uint64_t lPath;
    bool fFullWarning;
    uint8_t fSelectUnused;
    uint8_t fForce;
};

void Confirm(const DOWNLOAD_CHOICE& c) {
    if (Menu().lMenuPath != c.lPath) {
        if (fIsDualControllerActive() == TRUE) {
            ConsolePrintf("The System is currently in Active-Active mode.\n");
            ConsolePrintf("Drive firmware update only supports single controller.\n");
            ConsolePrintf("Please shutdown one controller.\n\n");
            return Result(c.lPath, "\nDrive Firmware Download Cancelled!\n\n");
        }
        if (c.fFullWarning) {
            ConsolePrintf("\nWarning! Used drives will be taken offline during the download process.\n");
            ConsolePrintf("This will result in the array not responding to any host commands.\n");
        }
        ConsolePrintf("All user data should be backed up prior to downloading drive firmware.\n");
        ConsolePrintf("Disk drives must not be inserted, removed or powered off during the download.\n");
        if (c.fFullWarning) ConsolePrintf("Shut down one controller if Active-Active.\n");
        ConsolePrintf("Do you wish to continue with drive firmware download? (Y or N): ");
        EnterMenu(c.pfnPrompt, c.lPath);
        Menu().bMenuStep = STEP_WAITING;
        AwaitTypedAnswer();
        return;
    }
    // A confirmed download is running: further lines are not answers.
    if (Menu().bMenuStep != STEP_WAITING) return;
    if (bParseYesNo() != TRUE) return Result(c.lPath, "\nDrive Firmware Download Cancelled!\n\n");
    // The phase machine does one thing at a time.
    if (bGetConfigPhase() != CONFIG_PHASE_IDLE || fIsDriveFirmwareDownloadInProgress() == TRUE) {
        return Result(c.lPath, "\nDrive Firmware Download Cancelled!\n\n");
    }
    Menu().bMenuStep = STEP_CONFIRMED;
    SetDriveFirmwareDownloadSelectAll(TRUE);
    SetDriveFirmwareDownloadSelectUnused(c.fSelectUnused);
    SetDriveFirmwareDownloadOption3(TRUE);
    SetDriveFirmwareDownloadOption4(c.fForce);
    StartPhase(CONFIG_PHASE_DRIVE_FIRMWARE);
}

}  // namespace

void DriveMaintenanceMenu() {
    if (fIsXmodemReceiveActive() == TRUE) return;
    if (Menu().lMenuPath != PATH_DRIVE_MAINTENANCE) return ShowDriveMaintenanceMenu();
    const uint16_t w = wGetSelectedOption();
    if (w == MenuOptionBit(1)) return DownloadToBuffer();
    if (w == MenuOptionBit(2)) {
        if (pbFirmwareBuffer() == nullptr) return Result(PATH_READ_FIRMWARE, "\nInsufficent Memory Available\n\n");
        if (pGetDriveFirmwareImageList()->bCount == 0) {
            return Result(PATH_READ_FIRMWARE, "\nNo Valid Drive Firmware Images Available\n\n");
        }
        return ReadDriveFirmwareMenu();
    }
    if (w == MenuOptionBit(3)) {
        if (!IsBufferReady()) return Result(PATH_PROGRAM_FIRMWARE, "\nNo Valid Drive Firmware Available\n\n");
        return ProgramDriveFirmwareMenu();
    }
    if (w == MenuOptionBit(4)) return DriveDiagnosticMenu();
    if (w == MenuOptionBit(6)) return DriveFailMenu();
    if (w == MenuOptionBit(7)) return DrivePowerManagementMenu();
    if (w == MenuOptionBit(8)) return ShowBackgroundDriveVerifyInfo();
    if (fIsMasterController() == TRUE && fIsDriveRescanAfterDownloadPending() == TRUE) (void)fRequestDriveRescan();
    OnlineDiagnosticsMenu();
}

void ListStoredDriveFirmwareFiles() {
    const DRIVE_FIRMWARE_IMAGE_LIST* ps = pGetDriveFirmwareImageList();
    ConsolePrintf("\nSelect Drive Firmware File\n\n");
    uint16_t wMask = MenuOptionBit(0);
    for (uint8_t i = 0; i < ps->bCount && i < MAX_LISTED_FILES && i < DRIVE_FIRMWARE_IMAGE_ENTRIES; ++i) {
        const DRIVE_FIRMWARE_IMAGE_ENTRY& e = ps->asEntry[i];
        ConsolePrintf(i + 1 < 10 ? "%d.  " : "%d. ", i + 1);
        PrintFirmwareIdentity(e.asPair[0].acVendor, e.bPairCount, e.asPair[0].acProduct, e.acRevision);
        ConsolePrintf("\n");
        wMask |= MenuOptionBit(i + 1u);
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void ReadDriveFirmwareMenu() {
    if (Menu().lMenuPath != PATH_READ_FIRMWARE) {
        Screen(ReadDriveFirmwareMenu, PATH_READ_FIRMWARE, "Drive Firmware Menu");
        return ListStoredDriveFirmwareFiles();
    }
    if (fGetConfigWriteWaitFlag() == TRUE) return;
    const uint16_t w = wGetSelectedOption();
    if (w == MenuOptionBit(0)) return DriveMaintenanceMenu();
    Menu().lMenuPath = PATH_DOWNLOAD_TO_BUFFER;
    if (bStartReadDriveFirmware(w) != STATUS_OK) {
        ConsolePrintf("\nError Reading Firmware From Drive\n\n");
        WaitForAnyKeyThen(DriveMaintenanceMenu);
    }
}

uint8_t bStartReadDriveFirmware(uint16_t wOptionBit) {
    uint8_t bBit = 1;
    while (bBit <= MAX_LISTED_FILES && wOptionBit != MenuOptionBit(bBit)) ++bBit;
    if (bBit > MAX_LISTED_FILES) return 0;
    const uint8_t bIndex = static_cast<uint8_t>(bBit - 1);
    if (bIndex >= pGetDriveFirmwareImageList()->bCount || bGetConfigPhase() != CONFIG_PHASE_IDLE) return 0;
    SetMenuSelection(bIndex);
    SetPhaseParam4(0);
    StartPhase(CONFIG_PHASE_STORED_FIRMWARE);
    return STATUS_OK;
}

void ReadDriveFirmwareDone(uint8_t bStatus) {
    ConsolePrintText(bStatus == STATUS_OK ? "\nDrive Firmware Read Successfully\n\n"
                                          : "\nError Reading Firmware From Drive\n\n");
    WaitForAnyKeyThen(DriveMaintenanceMenu);
}

void ProgramDriveFirmwareMenu() {
    if (Menu().lMenuPath != PATH_PROGRAM_FIRMWARE) {
        Screen(ProgramDriveFirmwareMenu, PATH_PROGRAM_FIRMWARE, "Drive Firmware Menu");
        ConsolePrintf("1.  All Supported Drives\n");
        ConsolePrintf("2.  All Supported Unused or Hot Spare Drives\n");
        ConsolePrintf("3.  All Supported Drives with Different Firmware\n");
        ConsolePrintf("\n0.  Exit\n\n");
        return EndOptionScreen(0xF);
    }
    const uint16_t w = wGetSelectedOption();
    if (w == MenuOptionBit(1)) return ConfirmDownloadAllDrives();
    if (w == MenuOptionBit(2)) return ConfirmDownloadUnusedDrives();
    if (w == MenuOptionBit(3)) return ConfirmDownloadDifferentFirmware();
    DriveMaintenanceMenu();
}

void ConfirmDownloadAllDrives() { Confirm({ConfirmDownloadAllDrives, PATH_CONFIRM_ALL, true, TRUE, TRUE}); }
void ConfirmDownloadUnusedDrives() { Confirm({ConfirmDownloadUnusedDrives, PATH_CONFIRM_UNUSED, false, FALSE, TRUE}); }
void ConfirmDownloadDifferentFirmware() {
    Confirm({ConfirmDownloadDifferentFirmware, PATH_CONFIRM_DIFFERENT, true, TRUE, FALSE});
}

void DriveFirmwareDownloadDone(uint8_t bResult) {
    switch (bResult) {
    case DOWNLOAD_FAILED: ConsolePrintf("\nDrive Firmware Download Failure\n\n"); break;
    case DOWNLOAD_FILE_ERROR: ConsolePrintf("\nDrive Firmware File Error\n\n"); break;
    case DOWNLOAD_NOTHING_DONE: ConsolePrintf("\nNo Drive Firmware Download performed\n\n"); break;
    case DOWNLOAD_NOT_ALL_DRIVES: ConsolePrintf("\nMultiple Drive Download Not Supported\n\n"); break;
    case DOWNLOAD_ALL_GOOD: ConsolePrintf("\nAll Drive Firmware Download Successful\n\n"); break;
    case DOWNLOAD_ABORTED: ConsolePrintf("\nDrive Firmware Download Aborted\n\n"); break;
    default: break;
    }
    WaitForAnyKeyThen(DriveMaintenanceMenu);
}

}  // namespace fw
