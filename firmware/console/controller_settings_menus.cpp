// Below the Controller Firmware Menu at a raised diagnostics level: the
// identification the controller gives hosts, the PHY settings of the two
// onboard SAS expanders, and the audible alarm of each enclosure.  The
// values live in NVRAM; these screens read and change them.
#include "console/controller_settings_menus.h"

#include <cstring>

#include "config/config_state.h"
#include "config/nvram_records.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_tree.h"
#include "enclosure/audible_alarm.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_records.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "sas/onboard_expanders.h"

namespace fw {

namespace {

constexpr uint64_t PATH_IDENTIFICATION = 0x12213;
constexpr uint64_t PATH_MODIFY_IDENTIFICATION = 0x122131;
constexpr uint64_t PATH_RESET_IDENTIFICATION = 0x122132;
constexpr uint64_t PATH_EXPANDERS = 0x12214;
constexpr uint64_t PATH_MODIFY_EXPANDERS = 0x122141;
constexpr uint64_t PATH_RESET_EXPANDERS = 0x122142;
constexpr uint64_t PATH_ALARM = 0x12215;

constexpr uint8_t VENDOR_BYTES = 8;
constexpr uint8_t PRODUCT_BYTES = 16;
constexpr uint8_t COPYRIGHT_BYTES = 48;
constexpr uint8_t MENU_TITLE_BYTES = 16;
constexpr uint8_t STEP_SERIAL = 4;
constexpr uint8_t EXPANDER_PHYS = 12;
constexpr uint8_t EXPANDER_STEPS = 2 * EXPANDER_PHYS;
// The first mute option, and the enclosures the alarm can mute.
constexpr uint8_t FIRST_MUTE_OPTION = 5;
constexpr uint8_t MUTABLE_ENCLOSURES = 5;

MENU_STATE& Menu() { return *psGetMenuState(); }

void Screen(MENU_FUNCTION pfnMenu, uint64_t lPath, const char* pszTitle) {
    ClearScreen(FALSE);
    EnterMenu(pfnMenu, lPath);
    PrintMenuTitle(pszTitle);
}

void PrintBytes(const uint8_t* pb, uint32_t dCount) {
    for (uint32_t i = 0; i < dCount && pb[i] != 0; ++i) ConsolePrintf("%c", pb[i]);
}

// The identification dialogue's four text fields.
struct TEXT_FIELD {
    uint8_t bLimit;
    uint8_t (*pfnSet)(const uint8_t*);
    void (*pfnGet)(uint8_t*);
    const char* pszPrompt;   // asks for this field
};

void GetMenuTitle(uint8_t* pb) { (void)GetNvramShortName(pb); }

const TEXT_FIELD TEXT_FIELDS[STEP_SERIAL] = {
    {VENDOR_BYTES, SetNvramVendorId, GetNvramVendorId, "\nNew Vendor ID <CR>    : "},
    {PRODUCT_BYTES, SetNvramProductId, GetNvramProductId, "\nNew Product ID <CR>   : "},
    {COPYRIGHT_BYTES, SetNvramVendorText, GetNvramVendorText, "\nNew Copyright <CR>    : "},
    {MENU_TITLE_BYTES, SetNvramShortName, GetMenuTitle, "\nNew Menu Title <CR>   : "},
};
const char SERIAL_PROMPT[] = "\nASCII Serial No. (Y/N): ";

void AskIdentificationStep(uint8_t bStep) {
    ConsolePrintText(bStep < STEP_SERIAL ? TEXT_FIELDS[bStep].pszPrompt : SERIAL_PROMPT);
    AwaitTypedAnswer();
}

void ShowIdentification() {
    Screen(ModifyControllerIdentification, PATH_MODIFY_IDENTIFICATION, "Controller Identification Menu");
    uint8_t ab[COPYRIGHT_BYTES + 1] = {};
    GetNvramVendorId(ab);
    ConsolePrintf("Vendor ID        : ");
    PrintBytes(ab, VENDOR_BYTES);
    GetNvramProductId(ab);
    ConsolePrintf("\nProduct ID       : ");
    PrintBytes(ab, PRODUCT_BYTES);
    GetNvramVendorText(ab);
    ConsolePrintf("\nCopyright        : ");
    PrintBytes(ab, COPYRIGHT_BYTES);
    std::memset(ab, 0, sizeof ab);
    const uint8_t bTitle = GetNvramShortName(ab);
    ConsolePrintf("\nMenu Title       : ");
    PrintBytes(ab, bTitle);
    ConsolePrintf("\nASCII Serial No. : %s", bGetNvramByteD8() == TRUE ? "Y" : "N");
    ConsolePrintf("\n\n");
    Menu().bMenuStep = 0;
    SetMenuSelectedItem(FALSE);
    AskIdentificationStep(0);
}

void FinishIdentification() {
    ConsolePrintText(bGetMenuSelectedItem() == TRUE ? "\n\nController Identification changed\n\n"
                                                    : "\n\nNo change to Controller Identification\n\n");
    WaitForAnyKeyThen(ControllerIdentificationMenu);
}

// A text answer: stored padded with blanks, or the value kept on an empty
// line; anything too long or unprintable asks again.
bool TakeTextAnswer(const TEXT_FIELD& f) {
    char ac[COPYRIGHT_BYTES];
    std::memset(ac, ' ', sizeof ac);
    uint8_t bLength = 0;
    const uint8_t bParsed = bGetMenuTextInput(ac, &bLength, f.bLimit);
    if (bParsed == PARSE_EMPTY) return true;
    if (bParsed != PARSE_VALUE) return false;
    if (f.pfnSet(reinterpret_cast<const uint8_t*>(ac)) != STATUS_OK) return false;
    SetMenuSelectedItem(TRUE);
    return true;
}

bool TakeSerialAnswer() {
    const uint8_t bAnswer = bParseYesNo();
    if (bAnswer == PARSE_EMPTY) return true;
    if (bAnswer != TRUE && bAnswer != FALSE) return false;
    if (bAnswer != bGetNvramByteD8()) {
        SetNvramByteD8(bAnswer);
        SetMenuSelectedItem(TRUE);
    }
    return true;
}

void AskExpanderStep(uint8_t bStep) {
    const uint8_t bExpander = bStep / EXPANDER_PHYS;
    const uint8_t bPhy = bStep % EXPANDER_PHYS;
    ConsolePrintf("\nExpander %01x Phy:%02d <CR = %08x>    : ", bExpander, bPhy,
                  dGetNvramExpanderPhyConfig(bExpander, bPhy));
    AwaitTypedAnswer();
}

uint8_t bEnclosureCount() {
    ENCLOSURE_TABLE* ps = nullptr;
    if (fGetEnclosureTable(&ps) != TRUE || ps == nullptr) return 0;
    // Mute options run up to the last option of the mask.
    const uint32_t dCount = ps->dTotalNoOfEnclosures;
    return static_cast<uint8_t>(dCount < 16u - FIRST_MUTE_OPTION ? dCount : 16u - FIRST_MUTE_OPTION);
}

}  // namespace

void ControllerIdentificationMenu() {
    if (Menu().lMenuPath != PATH_IDENTIFICATION) {
        Screen(ControllerIdentificationMenu, PATH_IDENTIFICATION, "Controller Identification Menu");
        ConsolePrintf("1.  Modify Controller Identification\n");
        ConsolePrintf("2.  Reset Controller Identification\n");
        ConsolePrintf("\n0.  Exit\n\n");
        return EndOptionScreen(0x7);
    }
    const uint16_t w = wGetSelectedOption();
    if (w == MenuOptionBit(1)) return ModifyControllerIdentification();
    if (w == MenuOptionBit(2)) return ConfirmResetControllerIdentification();
    ControllerFirmwareMenu();
}

void ModifyControllerIdentification() {
    if (Menu().lMenuPath != PATH_MODIFY_IDENTIFICATION) return ShowIdentification();
    const uint8_t bStep = Menu().bMenuStep;
    const bool fTaken = bStep < STEP_SERIAL ? TakeTextAnswer(TEXT_FIELDS[bStep]) : TakeSerialAnswer();
    if (!fTaken) return AskIdentificationStep(bStep);
    if (bStep == STEP_SERIAL) return FinishIdentification();
    Menu().bMenuStep = static_cast<uint8_t>(bStep + 1);
    AskIdentificationStep(Menu().bMenuStep);
}

void ConfirmResetControllerIdentification() {
    if (Menu().lMenuPath != PATH_RESET_IDENTIFICATION) {
        EnterMenu(ConfirmResetControllerIdentification, PATH_RESET_IDENTIFICATION);
        ConsolePrintf("Confirm resetting of controller identification (Y or N): ");
        return AwaitTypedAnswer();
    }
    if (bParseYesNo() == TRUE) {
        WriteNvramIdentityDefaults();
        ConsolePrintf("\nController Identification Reset Completed\n\n");
    } else {
        ConsolePrintf("\nController Identification Reset Cancelled\n\n");
    }
    WaitForAnyKeyThen(ControllerIdentificationMenu);
}

void SasExpanderConfigurationMenu() {
    if (Menu().lMenuPath != PATH_EXPANDERS) {
        Screen(SasExpanderConfigurationMenu, PATH_EXPANDERS, "SAS Expander Configuration Menu");
        ConsolePrintf("1.  Modify SAS Expander Configuration\n");
        ConsolePrintf("2.  Reset SAS Expander Configuration\n");
        ConsolePrintf("\n0.  Exit\n\n");
        return EndOptionScreen(0x7);
    }
    const uint16_t w = wGetSelectedOption();
    if (w == MenuOptionBit(1)) return ModifySasExpanderConfiguration();
    if (w == MenuOptionBit(2)) {
        WriteDefaultExpanderPhyConfig();
        Menu().lMenuPath = PATH_RESET_EXPANDERS;
        return WaitForAnyKeyThen(SasExpanderConfigurationMenu);
    }
    ControllerFirmwareMenu();
}

void ModifySasExpanderConfiguration() {
    if (Menu().lMenuPath != PATH_MODIFY_EXPANDERS) {
        Screen(ModifySasExpanderConfiguration, PATH_MODIFY_EXPANDERS, "SAS Expander Configuration Menu");
        Menu().bMenuStep = 0;
        ConsolePrintf("\n");
        return AskExpanderStep(0);
    }
    const uint8_t bStep = Menu().bMenuStep;
    uint32_t dValue = 0;
    const uint8_t bParsed = bGetHexValueInput(&dValue);
    if (bParsed != PARSE_VALUE && bParsed != PARSE_EMPTY) return AskExpanderStep(bStep);
    if (bParsed == PARSE_VALUE) SetNvramExpanderPhyConfig(bStep / EXPANDER_PHYS, bStep % EXPANDER_PHYS, dValue);
    Menu().bMenuStep = static_cast<uint8_t>(bStep + 1);
    if (Menu().bMenuStep < EXPANDER_STEPS) return AskExpanderStep(Menu().bMenuStep);
    ConsolePrintf("\n\n");
    WaitForAnyKeyThen(SasExpanderConfigurationMenu);
}

void AudibleAlarmControlMenu() {
    if (Menu().lMenuPath != PATH_ALARM) {
        Screen(AudibleAlarmControlMenu, PATH_ALARM, "Audible Alarm Control Menu");
        ConsolePrintf("1.  Display Audible Alarm Flags\n");
        ConsolePrintf("2.  Enable ALL Audible Alarm\n");
        ConsolePrintf("3.  Disable ALL Audible Alarm\n");
        uint16_t wMask = 0xF;
        // Only the enclosures the alarm can mute are offered: an option
        // that did nothing would mislead the operator.
        const uint8_t bEnclosures = bEnclosureCount();
        for (uint8_t n = 1; n <= bEnclosures && n <= MUTABLE_ENCLOSURES; ++n) {
            ConsolePrintf("%d.  Mute Audible Alarm: Enc %02d\n", FIRST_MUTE_OPTION - 1 + n, n);
            wMask |= MenuOptionBit(FIRST_MUTE_OPTION - 1u + n);
        }
        ConsolePrintf("\n0.  Exit\n\n");
        return EndOptionScreen(wMask);
    }
    const uint16_t w = wGetSelectedOption();
    uint8_t bOption = 0;
    while (bOption < 16 && w != MenuOptionBit(bOption)) ++bOption;
    if (bOption == 0 || bOption >= 16) return ControllerFirmwareMenu();
    if (bOption == 1) {
        ShowAudibleAlarmFlags();
    } else if (bOption == 2) {
        (void)bSetAudibleAlarm(ALARM_ENABLE_ALL, 0);
    } else if (bOption == 3) {
        (void)bSetAudibleAlarm(ALARM_DISABLE_ALL, 0);
    } else if (bOption >= FIRST_MUTE_OPTION) {
        (void)bSetAudibleAlarm(ALARM_MUTE, static_cast<uint8_t>(bOption - FIRST_MUTE_OPTION));
    }
    Menu().lMenuPath = PATH_ALARM << 4 | bOption;
    WaitForAnyKeyThen(AudibleAlarmControlMenu);
}

}  // namespace fw
