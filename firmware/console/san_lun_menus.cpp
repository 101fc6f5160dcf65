// The SAN LUN Mapping Configuration Menu: one host initiator's own view of
// the logical drives.  A new mapping is built in place in the first unused
// entry of the scratch image and counted only when its dialogue ends with a
// LUN in it; until the configuration is saved no host sees a change.  The
// logical drives it names are marked as mapped only when it is counted, so
// a dialogue left midway marks nothing.
#include <cstring>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/apply_settings.h"
#include "config/san_lun_map.h"
#include "config/spares_wwn.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "console/menu_tree.h"
#include "dataservices/data_services.h"
#include "eventlog/config_dump.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/host_interface.h"
#include "target/host_list.h"

namespace fw {

namespace {

constexpr uint64_t PATH_SAN = 0x114;
constexpr uint64_t PATH_VIEW = 0x1141;
constexpr uint64_t PATH_CREATE = 0x1142;
constexpr uint64_t PATH_INITIATOR = 0x11421;
constexpr uint64_t PATH_INITIATOR_TYPED = 0x114211;
constexpr uint64_t PATH_INITIATOR_LISTED = 0x114212;
constexpr uint64_t PATH_DELETE = 0x1143;
constexpr uint64_t PATH_DELETE_CONFIRM = 0x11431;
constexpr uint64_t PATH_MODIFY = 0x1144;
constexpr uint64_t PATH_MODIFY_NAME = 0x11441;
constexpr uint64_t PATH_HOSTS = 0x1145;

constexpr uint8_t NAME_BYTES = 32;
constexpr uint8_t HIGHEST_SCSI_ID = 15;
constexpr uint8_t HOST_PORT_MODE_PAIRED = 1;
constexpr uint8_t READ_ONLY_CHOSEN = 0x80;
constexpr uint8_t READ_WRITE_CHOSEN = 0x22;
constexpr uint16_t WORD_READ_ONLY = 0x8000;
constexpr uint16_t MAX_SNAPSHOT_AREAS = 256;
constexpr uint8_t MAX_SNAPSHOTS_PER_AREA = 64;
constexpr uint8_t LIST_PER_LINE = 10;
constexpr uint8_t SNAPSHOTS_PER_LINE = 8;

// The editor's steps: the logical drive, access through the four host
// ports, read-only, the LUN, and at the end the controller LUN.
enum : uint8_t {
    STEP_DRIVE = 0,
    STEP_PORT_00 = 1,
    STEP_PORT_01 = 2,
    STEP_PORT_10 = 3,
    STEP_PORT_11 = 4,
    STEP_READ_ONLY = 5,
    STEP_LUN = 6,
    STEP_CONTROLLER_LUN = 7,
};

MENU_STATE& Menu() { return *psGetMenuState(); }
CONFIG_IMAGE* Image() { return pGetScratchConfigImage(); }
uint16_t wMapCount() { return static_cast<uint16_t>(dClampedSanMapCount(Image())); }
// The entry a new mapping is built in; none once every entry is counted.
SAN_LUN_MAP_ENTRY* psBuilding() {
    const uint16_t w = wMapCount();
    return w < MAX_SAN_MAPS ? &Image()->asSanMap[w] : nullptr;
}
bool fNamesByWwn() {
    const uint8_t b = bGetHostInterfaceType();
    return b == HOST_INTERFACE_FC || b == HOST_INTERFACE_SAS_TARGET;
}
bool fSasAddresses() { return bGetHostInterfaceType() == HOST_INTERFACE_SAS_TARGET; }
bool fLunAdded() { return bGetMenuSelectedItem() == TRUE; }

// The editor's own path code: after a typed initiator, or a listed one.
uint64_t s_lEditorPath = PATH_INITIATOR_TYPED * 16 + 1;

void Refused(const char* pszText) { ShowResult(pszText, SanLunMappingMenu); }

void PrintName(const char* pcName) {
    for (uint8_t i = 0; i < NAME_BYTES; ++i) {
        const char c = pcName[i];
        ConsolePrintf("%c", c >= 32 && c <= 126 ? c : ' ');
    }
}

// 1 to 32 printable characters, blank-filled; false for anything else.
bool fTakeName(char* pcName) {
    char acTyped[NAME_BYTES];
    uint8_t bLength = 0;
    if (bGetMenuTextInput(acTyped, &bLength, NAME_BYTES) != PARSE_VALUE) return false;
    std::memset(pcName, ' ', NAME_BYTES);
    std::memcpy(pcName, acTyped, bLength);
    return true;
}

// A number below the limit, or false.
bool fTakeNumberBelow(uint32_t dLimit, uint32_t* pdValue) {
    return bParseMenuNumber(pdValue) == PARSE_VALUE && *pdValue < dLimit;
}

// A WWN of up to 8 bytes; fewer typed bytes are its low end, the bytes not
// typed are 0, as in a number.  A WWN of only 00 and FF bytes names nothing.
bool fTakeWwn(uint8_t* pbWwn) {
    uint8_t abTyped[8];
    uint8_t bCount = 0;
    if (bGetHexInput(abTyped, &bCount, 8) != PARSE_VALUE) return false;
    uint8_t abWwn[8] = {};
    std::memcpy(abWwn + 8 - bCount, abTyped, bCount);
    if (fIsNonZeroWwn(abWwn) != TRUE) return false;
    std::memcpy(pbWwn, abWwn, 8);
    return true;
}

// --- the LUN editor ----------------------------------------------------------

void SanLunMappingEditor();

void PrintMappableLogicalDrives(const CONFIG_IMAGE* psImage) {
    const SAN_LUN_MAP_ENTRY* ps = psBuilding();
    uint32_t dShown = 0;
    for (uint32_t l = 0; l < dClampedLdCount(psImage); ++l) {
        const CONFIG_LD_RECORD& sLd = psImage->asLd[l];
        if (sLd.bSanMapState == SAN_MAP_UNAVAILABLE || sLd.bLdUseFlags != 0) continue;
        if (ps != nullptr && fCanMapLogicalDrive(psImage, static_cast<uint16_t>(l), TRUE) != STATUS_OK) continue;
        if (dShown > 0) ConsolePrintf(dShown % LIST_PER_LINE == 0 ? ",\n" : ", ");
        ConsolePrintf(sLd.bSanMapState == SAN_MAP_NONE ? "%03d(E)" : "%03d(S)", int(l));
        ++dShown;
    }
    ConsolePrintf("\n");
    if (fGetSnapshotsActiveFlag() != TRUE) return;
    ConsolePrintText("\n\nThe following snapshot logical drives are also available for mapping.\n"
                  "    Saaa[xxx/yy]\n"
                  "    S    Indicates that this is a snapshot logical drive.\n"
                  "    aaa  Snapshot logical drive number\n"
                  "    xxx  Snapshotted logical drive number\n"
                  "    yy   Snapshot number of the snapshotted logical drive.\n\n"
                  "Please enter S followed by the three digits for the snapshot logical drive number\n\n");
    dShown = 0;
    for (uint16_t a = 0; a < MAX_SNAPSHOT_AREAS; ++a) {
        uint16_t wLd = 0;
        if (fGetOdaAssignedLd(a, &wLd) != TRUE) continue;
        for (uint8_t n = 0; n < MAX_SNAPSHOTS_PER_AREA; ++n) {
            uint16_t wVirtual = 0;
            uint8_t fEnabled = FALSE, fReadOnly = FALSE;
            if (bGetSnapshotEntryInfo(wLd, n, &wVirtual, &fEnabled, &fReadOnly) != STATUS_OK || fEnabled != TRUE)
                continue;
            const uint16_t wWord = static_cast<uint16_t>((wVirtual & LUN_MAP_LD_MASK) | LUN_MAP_VIRTUAL);
            if (fCanMapLogicalDrive(psImage, wWord, TRUE) != STATUS_OK) continue;
            if (dShown > 0) ConsolePrintf(dShown % SNAPSHOTS_PER_LINE == 0 ? ",\n" : ", ");
            ConsolePrintf("S%03d[%03d/%02d] ", int(wVirtual), int(wLd), int(n));
            ++dShown;
        }
    }
    ConsolePrintf("\n");
}

// The erase of a refused answer's line before its question is asked again.
void EraseAnswer() {
    ConsolePrintf("\r                                                                               \r");
}

void AskDrive() {
    if (fLunAdded()) {
        ConsolePrintText("\nEnter <E> to complete the mapping or enter the next\n"
                      "logical drive number to continue setting up this mapping.                 : ");
    } else {
        ConsolePrintText("\nEnter the logical drive number to map or enter <Q> to quit.               : ");
    }
}

bool fPairForm() { return fGetBoardFlagB6() == TRUE && bGetHostPortMode() == HOST_PORT_MODE_PAIRED; }

// A question asked again starts over the erased line; the first time on
// a new one.
void StartQuestion(bool fAgain) { ConsolePrintf(fAgain ? "\r" : "\n"); }

void AskPort(uint8_t bStep, bool fAgain) {
    StartQuestion(fAgain);
    if (!fPairForm()) {
        const uint8_t bPort = bStep - STEP_PORT_00;
        ConsolePrintf("Enable logical drive access for Controller %s Port %s     (Y or N, <CR> = Y): ",
                      bPort < 2 ? "0" : "1", bPort % 2 == 0 ? "0" : "1");
    } else if (bStep == STEP_PORT_00) {
        ConsolePrintf("Enable logical drive access for Controller %s/%s Port %s   (Y or N, <CR> = Y): ", "0", "1", "0");
    } else if (fAgain) {
        ConsolePrintf("Enable logical drive access for Controller %s/%s Port %s  (Y or N, <CR> = Y): ", "0", "1", "1");
    } else {
        ConsolePrintf("Enable logical drive access for Controller %s/%s Port %s (Y or N, <CR> = Y): ", "0", "1", "1");
    }
}

void AskLun(bool fAgain) {
    StartQuestion(fAgain);
    ConsolePrintf("Enter LUN Number to present this logical drive to the host                : ");
}

void AskControllerLun(bool fAgain) {
    StartQuestion(fAgain);
    ConsolePrintf("Enter the LUN number to present as a Controller LUN \n");
    ConsolePrintf("to the host or enter <D> to disable.                                      : ");
}

void AskStep(uint8_t bStep, bool fAgain) {
    if (fAgain) EraseAnswer();
    switch (bStep) {
    case STEP_DRIVE: AskDrive(); break;
    case STEP_READ_ONLY:
        ConsolePrintText("\nEnable read only access for this logical drive?         (Y or N, <CR> = N): ");
        break;
    case STEP_LUN: AskLun(fAgain); break;
    case STEP_CONTROLLER_LUN: AskControllerLun(fAgain); break;
    default: AskPort(bStep, fAgain); break;
    }
    Menu().bMenuStep = bStep;
    AwaitTypedAnswer();
}

// The port bits a Y grants at a step: with paired ports (or a board without
// a partner slot) one answer opens both controllers' port.
uint16_t wPortBits(uint8_t bStep) {
    const bool fBoth = fGetBoardFlagB6() != TRUE || bGetHostPortMode() == HOST_PORT_MODE_PAIRED;
    switch (bStep) {
    case STEP_PORT_00: return fBoth ? 0x5000 : 0x4000;
    case STEP_PORT_01: return fBoth ? 0x2800 : 0x2000;
    case STEP_PORT_10: return 0x1000;
    default: return 0x0800;
    }
}

uint8_t bStepAfterPort(uint8_t bStep) {
    if (bStep == STEP_PORT_00 && fIsNvramOption1Set() == TRUE) return STEP_READ_ONLY;
    if (bStep == STEP_PORT_01 && bGetHostPortMode() == HOST_PORT_MODE_PAIRED) return STEP_READ_ONLY;
    return bStep + 1;
}

// A typed logical drive: a number, or S and one to three digits for a
// snapshot logical drive.  The number is checked before it becomes a word:
// its high bits would otherwise read as the snapshot and port bits.
bool fTakeDriveWord(uint16_t* pwWord) {
    const CONFIG_IMAGE* psImage = Image();
    uint32_t dNumber = 0;
    if (bParseMenuNumber(&dNumber) == PARSE_VALUE) {
        if (dNumber >= dClampedLdCount(psImage)) return false;
        // A logical drive kept out of mappings is not offered, nor taken.
        if (psImage->asLd[dNumber].bSanMapState == SAN_MAP_UNAVAILABLE) return false;
        *pwWord = static_cast<uint16_t>(dNumber);
        return fCanMapLogicalDrive(psImage, *pwWord, TRUE) == STATUS_OK;
    }
    char acTyped[4];
    uint8_t bLength = 0;
    if (bGetMenuTextInput(acTyped, &bLength, sizeof acTyped) != PARSE_VALUE || bLength < 2) return false;
    if (acTyped[0] != 'S' && acTyped[0] != 's') return false;
    for (uint8_t i = 1; i < bLength; ++i) {
        if (acTyped[i] < '0' || acTyped[i] > '9') return false;
        dNumber = dNumber * 10 + static_cast<uint32_t>(acTyped[i] - '0');
    }
    if (dNumber > LUN_MAP_LD_MASK) return false;
    *pwWord = static_cast<uint16_t>(dNumber | LUN_MAP_VIRTUAL);
    return fCanMapLogicalDrive(psImage, *pwWord, TRUE) == STATUS_OK;
}

// True when a LUN word of the new mapping uses the LUN.
bool fLunTaken(const SAN_LUN_MAP_ENTRY& s, uint32_t dLun) { return s.awLunMap[dLun] != LUN_MAP_NONE; }

void EndDialogue(const char* pszText) {
    ConsolePrintText(pszText);
    WaitForAnyKeyThen(SanLunMappingMenu);
}

void TakeDriveAnswer() {
    uint16_t wWord = 0;
    if (fTypedLetter('Q') && !fLunAdded()) {
        // No LUN was placed, so no logical drive was marked: the uncounted
        // entry is only cleared.
        std::memset(psBuilding(), 0, sizeof(SAN_LUN_MAP_ENTRY));
        EndDialogue("\n\nNo SAN LUN Mapping Added\n");
    } else if (fTypedLetter('E') && fLunAdded()) {
        AskStep(STEP_CONTROLLER_LUN, false);
    } else if (fTakeDriveWord(&wWord)) {
        SetMenuLogicalDrive(wWord);
        AskStep(STEP_PORT_00, false);
    } else {
        AskStep(STEP_DRIVE, true);
    }
}

void TakePortAnswer(uint8_t bStep) {
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer != TRUE && bAnswer != FALSE && bAnswer != PARSE_EMPTY) {
        AskStep(bStep, true);
        return;
    }
    if (bAnswer != FALSE) SetMenuLogicalDrive(static_cast<uint16_t>(bGetMenuLogicalDrive() | wPortBits(bStep)));
    AskStep(bStepAfterPort(bStep), false);
}

void TakeReadOnlyAnswer() {
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer != TRUE && bAnswer != FALSE && bAnswer != PARSE_EMPTY) {
        AskStep(STEP_READ_ONLY, true);
        return;
    }
    SetMenuController(bAnswer == TRUE ? READ_ONLY_CHOSEN : READ_WRITE_CHOSEN);
    AskStep(STEP_LUN, false);
}

void TakeLunAnswer(SAN_LUN_MAP_ENTRY& s) {
    uint32_t dLun = 0;
    if (!fTakeNumberBelow(MAX_HOST_LUNS, &dLun) || fLunTaken(s, dLun)) {
        AskStep(STEP_LUN, true);
        return;
    }
    uint16_t wWord = bGetMenuLogicalDrive();
    if (bGetMenuController() == READ_ONLY_CHOSEN) wWord |= WORD_READ_ONLY;
    s.awLunMap[dLun] = wWord;
    SetMenuSelectedItem(TRUE);
    ConsolePrintf("\n");
    // The key shows the editor again, with the drive just placed gone.
    Menu().lMenuPath = s_lEditorPath / 16;
    WaitForAnyKeyThen(SanLunMappingEditor);
}

// The logical drives of a mapping being counted are marked as mapped only
// now: a dialogue left before its end (Ctrl-E, a remote edit) must leave no
// drive marked, since a marked drive without a mapping is shown to no host.
// Until then the editor keeps the drives it placed out of its own list.
void MarkMappedLogicalDrives(const SAN_LUN_MAP_ENTRY& s) {
    CONFIG_IMAGE* psImage = Image();
    for (uint16_t w : s.awLunMap) {
        // A snapshot word's number is not a logical drive record's.
        if (w == LUN_MAP_NONE || (w & LUN_MAP_VIRTUAL) != 0) continue;
        const uint16_t wLd = w & LUN_MAP_LD_MASK;
        if (wLd < dClampedLdCount(psImage)) psImage->asLd[wLd].bSanMapState = SAN_MAP_NAMED;
    }
}

void TakeControllerLunAnswer(SAN_LUN_MAP_ENTRY& s) {
    uint32_t dLun = 0;
    if (fTypedLetter('D')) {
        s.wMapControllerLun = LUN_MAP_NONE;
    } else if (fTakeNumberBelow(MAX_HOST_LUNS, &dLun) && !fLunTaken(s, dLun)) {
        s.wMapControllerLun = static_cast<uint16_t>(dLun);
    } else {
        AskStep(STEP_CONTROLLER_LUN, true);
        return;
    }
    if (!fLunAdded()) {
        EndDialogue("\n\nNo SAN LUN Mapping Added\n");
        return;
    }
    MarkMappedLogicalDrives(s);
    Image()->sHeader.wSanMapCount = static_cast<uint16_t>(wMapCount() + 1);
    SetConfigModified(TRUE);
    EndDialogue("\n\nSAN LUN Mapping Added\n");
}

void ShowEditor() {
    EnterMenu(SanLunMappingEditor, s_lEditorPath);
    ClearScreen(FALSE);
    PrintMenuTitle("Create SAN LUN Mapping Configuration Menu");
    ConsolePrintText("The following logical drives are available for mapping.\n"
                  "(E) indicates available for a new mapping, no mapping exist\n"
                  "    for this logical drive.\n"
                  "(S) indicates that another mapping exist for this logical drive\n"
                  "    however another mapping can be made but it will be seen by \n"
                  "    multiple hosts.\n\n"
                  "Note: Read only logical drives requires OS support.\n");
    PrintMappableLogicalDrives(Image());
    AskStep(STEP_DRIVE, false);
}

void SanLunMappingEditor() {
    SAN_LUN_MAP_ENTRY* ps = psBuilding();
    if (ps == nullptr) {
        SanLunMappingMenu();
        return;
    }
    if (Menu().lMenuPath != s_lEditorPath) {
        ShowEditor();
        return;
    }
    switch (Menu().bMenuStep) {
    case STEP_DRIVE: TakeDriveAnswer(); break;
    case STEP_READ_ONLY: TakeReadOnlyAnswer(); break;
    case STEP_LUN: TakeLunAnswer(*ps); break;
    case STEP_CONTROLLER_LUN: TakeControllerLunAnswer(*ps); break;
    default: TakePortAnswer(Menu().bMenuStep); break;
    }
}

void OpenEditor(uint64_t lInitiatorPath) {
    s_lEditorPath = lInitiatorPath * 16 + 1;
    SanLunMappingEditor();
}

// --- the initiator -------------------------------------------------------------

void SanInitiatorEntryMenu();
void SanHostListSelectionMenu();

// The mapping's initiator is set: refused when another mapping names it.
void TakeInitiator(SAN_LUN_MAP_ENTRY& s, uint64_t lPath) {
    if (fIsInitiatorMapped(s.abNodeWwn, s.abPortWwn, Image(), FALSE, 0, FALSE) == TRUE) {
        Refused(fSasAddresses() ? "\nA mapping to this SAS Address already exists\n\n"
                                : "\nA mapping to the Port Name already exist\n\n");
        return;
    }
    OpenEditor(lPath);
}

void SanInitiatorEntryMenu() {
    SAN_LUN_MAP_ENTRY* ps = psBuilding();
    if (ps == nullptr) {
        SanLunMappingMenu();
        return;
    }
    if (Menu().lMenuPath != PATH_INITIATOR_TYPED) {
        EnterMenu(SanInitiatorEntryMenu, PATH_INITIATOR_TYPED);
        ClearScreen(FALSE);
        PrintMenuTitle("Create SAN LUN Mapping Configuration Menu");
        if (!fNamesByWwn()) ConsolePrintf("\nEnter Initiator ID: ");
        else ConsolePrintf(fSasAddresses() ? "\nEnter SAS Address (8 bytes hexadecimal): "
                                           : "\nEnter Node Name (8 bytes hexadecimal): ");
        AwaitTypedAnswer();
        return;
    }
    if (!fNamesByWwn()) {
        uint32_t dId = 0;
        if (bParseMenuNumber(&dId) != PARSE_VALUE || dId > HIGHEST_SCSI_ID) {
            Refused("\nInvalid SCSI ID Selection\n\n");
            return;
        }
        ps->abNodeWwn[0] = static_cast<uint8_t>(dId);
        OpenEditor(PATH_INITIATOR_TYPED);
        return;
    }
    const uint8_t bStep = Menu().bMenuStep;
    if (bStep > 1) return;
    uint8_t abWwn[8];
    if (!fTakeWwn(abWwn)) {
        if (bStep == 1) Refused("\nInvalid Port Name Selection\n\n");
        else Refused(fSasAddresses() ? "\nInvalid SAS Address Selection\n\n" : "\nInvalid Node Name Selection\n\n");
        return;
    }
    if (fSasAddresses()) {
        CopyWwn(abWwn, ps->abNodeWwn);
        CopyWwn(abWwn, ps->abPortWwn);
    } else if (bStep == 0) {
        CopyWwn(abWwn, ps->abNodeWwn);
        Menu().bMenuStep = 1;
        ConsolePrintf("\nEnter Port Name (8 bytes hexadecimal): ");
        AwaitTypedAnswer();
        return;
    } else {
        CopyWwn(abWwn, ps->abPortWwn);
    }
    TakeInitiator(*ps, PATH_INITIATOR_TYPED);
}

void SanHostListSelectionMenu() {
    SAN_LUN_MAP_ENTRY* ps = psBuilding();
    const uint16_t wHosts = wGetHostListCount() < HOST_LIST_MAX ? wGetHostListCount() : HOST_LIST_MAX;
    if (ps == nullptr || wHosts == 0) {
        SanLunMappingMenu();
        return;
    }
    if (Menu().lMenuPath != PATH_INITIATOR_LISTED) {
        EnterMenu(SanHostListSelectionMenu, PATH_INITIATOR_LISTED);
        ClearScreen(FALSE);
        PrintMenuTitle("Create SAN LUN Mapping Configuration Menu");
        if (wHosts == 1) ConsolePrintf("\nSelect Logged-In Host to Use (0): ");
        else ConsolePrintf("\nSelect Logged-In Host to Use (0..%d): ", wHosts - 1);
        AwaitTypedAnswer();
        return;
    }
    uint32_t dHost = 0;
    if (!fTakeNumberBelow(wHosts, &dHost)) {
        Refused("\nInvalid Selection\n\n");
        return;
    }
    const HOST_LIST_ENTRY& sHost = pGetHostList()->asEntry[dHost];
    if (fIsNonZeroWwn(sHost.abNodeName) != TRUE) {
        Refused("\nInvalid Node Name Selection\n\n");
    } else if (fIsNonZeroWwn(sHost.abPortName) != TRUE) {
        Refused("\nInvalid Port Name Selection\n\n");
    } else {
        CopyWwn(sHost.abNodeName, ps->abNodeWwn);
        CopyWwn(sHost.abPortName, ps->abPortWwn);
        TakeInitiator(*ps, PATH_INITIATOR_LISTED);
    }
}

void SanInitiatorSelectionMenu() {
    if (Menu().lMenuPath != PATH_INITIATOR) {
        BeginScreen(SanInitiatorSelectionMenu, PATH_INITIATOR, "SAN LUN Mapping Configuration Menu");
        uint16_t wMask = 0x3;
        if (fNamesByWwn()) {
            ConsolePrintf("\nSelect Node/Port Name\n\n");
            ConsolePrintf("1.  Enter Manually\n");
            if (wGetHostListCount() != 0) {
                ConsolePrintf("2.  Select From List\n");
                wMask = 0x7;
            }
        } else {
            ConsolePrintf("\nSelect Initiator ID\n\n");
            ConsolePrintf("1.  Enter Manually\n");
        }
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(wMask);
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: SanInitiatorEntryMenu(); break;
    case 1u << 2: SanHostListSelectionMenu(); break;
    default: SanLunMappingMenu(); break;
    }
}

// --- creation, deletion, renaming ------------------------------------------

void CreateSanLunMappingMenu() {
    CONFIG_IMAGE* psImage = Image();
    if (Menu().lMenuPath != PATH_CREATE) {
        Menu().lMenuPath = PATH_CREATE;
        ClearScreen(FALSE);
        if (wMapCount() >= MAX_SAN_MAPS) {
            ConsolePrintf("\nMaximum SAN LUN Mapping count reached (%02d)\n\n", int(MAX_SAN_MAPS));
            WaitForAnyKeyThen(SanLunMappingMenu);
        } else if (dClampedLdCount(psImage) == 0) {
            Refused("\nNo logical drives defined to create a SAN LUN Mapping\n\n");
        } else if (fAnyLdMappable(psImage) != TRUE) {
            Refused("\nNo unmapped logical drives available to create a SAN LUN Mapping\n\n");
        } else {
            EnterMenu(CreateSanLunMappingMenu, PATH_CREATE);
            PrintMenuTitle("Create SAN LUN Mapping Configuration Menu");
            ConsolePrintf("\nEnter a name for this mapping (1 to 32 characters): ");
            AwaitTypedAnswer();
        }
        return;
    }
    SAN_LUN_MAP_ENTRY* ps = psBuilding();
    if (ps == nullptr) {
        SanLunMappingMenu();
        return;
    }
    char acName[NAME_BYTES];
    if (!fTakeName(acName)) {
        Refused("\nInvalid selection\n\n");
        return;
    }
    if (fSanMapNameExists(acName, psImage) == TRUE) {
        Refused("\nDuplicate SAN LUN Mapping Name\n\n");
        return;
    }
    std::memset(ps, 0, sizeof *ps);
    std::memcpy(ps->acMapName, acName, NAME_BYTES);
    InitSanLunMapRequest(ps);
    SetMenuSelectedItem(FALSE);
    SanInitiatorSelectionMenu();
}

// The mapping number of the delete and modify screens, or false after the
// refusal.
bool fTakeMappingNumber() {
    uint32_t dMapping = 0;
    if (!fTakeNumberBelow(wMapCount(), &dMapping)) {
        Refused("\nInvalid selection\n\n");
        return false;
    }
    SetMenuLogicalDrive(static_cast<uint16_t>(dMapping));
    return true;
}

// The delete and modify screens' start: a notice without mappings, else the
// question for the mapping's number.
bool fAskMappingNumber(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle, const char* pszNone,
                       const char* pszWhat) {
    Menu().lMenuPath = lPath;
    ClearScreen(FALSE);
    if (wMapCount() == 0) {
        Refused(pszNone);
        return false;
    }
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle(pszTitle);
    if (wMapCount() == 1) ConsolePrintf("\nSelect SAN LUN Mapping to %s (0): ", pszWhat);
    else ConsolePrintf("\nSelect SAN LUN Mapping to %s (0..%d): ", pszWhat, wMapCount() - 1);
    AwaitTypedAnswer();
    return true;
}

void DeleteSanLunMappingMenu() {
    const uint64_t lPath = Menu().lMenuPath;
    if (lPath != PATH_DELETE && lPath != PATH_DELETE_CONFIRM) {
        fAskMappingNumber(DeleteSanLunMappingMenu, PATH_DELETE, "Delete SAN LUN Mapping Configuration Menu",
                          "\nNo Configured SAN LUN Mappings to Delete\n\n", "Delete");
        return;
    }
    if (lPath == PATH_DELETE) {
        if (!fTakeMappingNumber()) return;
        Menu().lMenuPath = PATH_DELETE_CONFIRM;
        ConsolePrintf("Confirm Deletion of SAN LUN Mapping %03u (Y or N): ", unsigned(bGetMenuLogicalDrive()));
        AwaitTypedAnswer();
        return;
    }
    const uint16_t wMapping = bGetMenuLogicalDrive();
    if (bParseYesNo() == TRUE && wMapping < wMapCount()) {
        ConsolePrintf("\nDeleting SAN LUN Mapping %03u\n\n", unsigned(wMapping));
        DeleteSanLunMapping(Image(), wMapping);
        SetConfigModified(TRUE);
        WaitForAnyKeyThen(SanLunMappingMenu);
    } else {
        Refused("\nNo change to SAN LUN Mappings\n\n");
    }
}

void ModifySanLunMappingMenu() {
    const uint64_t lPath = Menu().lMenuPath;
    if (lPath != PATH_MODIFY && lPath != PATH_MODIFY_NAME) {
        fAskMappingNumber(ModifySanLunMappingMenu, PATH_MODIFY, "Modify SAN LUN Mapping Configuration Menu",
                          "\nNo Configured SAN LUN Mappings to Modify\n\n", "Modify");
        return;
    }
    if (lPath == PATH_MODIFY) {
        if (!fTakeMappingNumber()) return;
        BeginScreen(ModifySanLunMappingMenu, PATH_MODIFY_NAME, "Modify SAN LUN Mapping Configuration Menu");
        ConsolePrintf("\nCurrent SAN LUN Mapping Name          : ");
        PrintName(Image()->asSanMap[bGetMenuLogicalDrive()].acMapName);
        ConsolePrintf("\nNew Name (Max 32 chars, <CR> for same): ");
        AwaitTypedAnswer();
        return;
    }
    if (Menu().bMenuStep != 0) return;
    const uint16_t wMapping = bGetMenuLogicalDrive();
    if (wMapping >= wMapCount()) {
        SanLunMappingMenu();
        return;
    }
    char* pcName = Image()->asSanMap[wMapping].acMapName;
    char acName[NAME_BYTES];
    if (bGetMenuLineLength() == 0) {
        std::memcpy(acName, pcName, NAME_BYTES);
    } else if (!fTakeName(acName)) {
        Refused("\nInvalid selection\n\n");
        return;
    }
    if (std::memcmp(acName, pcName, NAME_BYTES) == 0) {
        Refused("\nNo change to SAN LUN Mapping\n\n");
    } else if (fSanMapNameExists(acName, Image()) == TRUE) {
        Refused("\nDuplicate SAN LUN Mapping Name\n\n");
    } else {
        std::memcpy(pcName, acName, NAME_BYTES);
        ConsolePrintf("\nSAN LUN Mapping %03u Modified\n\n", unsigned(wMapping));
        SetConfigModified(TRUE);
        WaitForAnyKeyThen(SanLunMappingMenu);
    }
}

bool fHostsOffered() { return fNamesByWwn(); }

void ShowSanLunMappingMenu() {
    BeginScreen(SanLunMappingMenu, PATH_SAN, "SAN LUN Mapping Configuration Menu");
    ConsolePrintf(wMapCount() <= 1 ? "1.  View SAN LUN Mapping\n" : "1.  View SAN LUN Mappings\n");
    ConsolePrintf("2.  Create SAN LUN Mapping\n");
    ConsolePrintf("3.  Delete SAN LUN Mapping\n");
    ConsolePrintf("4.  Modify SAN LUN Mapping\n");
    uint16_t wMask = 0x1F;
    if (fHostsOffered()) {
        ConsolePrintf("5.  View Connected Hosts\n");
        wMask |= MenuOptionBit(5);
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

}  // namespace

void SanLunMappingMenu() {
    BuildHostList();
    if (Menu().lMenuPath != PATH_SAN) {
        ShowSanLunMappingMenu();
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: StartMenuDump(PATH_VIEW, SanLunMappingMenu, CONFIG_DUMP_SAN_MAPPINGS); break;
    case 1u << 2: CreateSanLunMappingMenu(); break;
    case 1u << 3: DeleteSanLunMappingMenu(); break;
    case 1u << 4: ModifySanLunMappingMenu(); break;
    case 1u << 5:
        if (fHostsOffered()) {
            StartMenuDump(PATH_HOSTS, SanLunMappingMenu, CONFIG_DUMP_HOSTS);
            break;
        }
        [[fallthrough]];
    default: ConfigurationMenu(); break;
    }
}

}  // namespace fw
