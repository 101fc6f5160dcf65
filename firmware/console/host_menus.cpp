// The Additional Host Configuration Menu and the screens below it: how the
// host ports present themselves (hard addresses or SCSI IDs, the controller
// LUN, connection options, data rates, QAS, the different node name).
// Every answer lands in the scratch image's settings bytes; nothing reaches
// the host-port chips before the configuration is saved and applied.
#include "console/menu_tree.h"

#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/san_lun_map.h"
#include "console/console_menu.h"
#include "console/menu_input.h"
#include "console/menu_screens.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/ql_chip.h"
#include "hw/host_interface.h"

namespace fw {

namespace {

constexpr uint64_t PATH_HOST = 0x113;
constexpr uint64_t PATH_PORT_ADDRESS = 0x1131;
constexpr uint64_t PATH_HARD_ADDRESS = 0x11311;
constexpr uint64_t PATH_CONTROLLER_LUN = 0x1132;
constexpr uint64_t PATH_PORT_OPTIONS = 0x1133;
constexpr uint64_t PATH_PORT_OPTION = 0x11331;
constexpr uint64_t PATH_SCSI_RATE = 0x113311;
constexpr uint64_t PATH_QAS_PORT = 0x11332;
constexpr uint64_t PATH_QAS = 0x113321;
constexpr uint64_t PATH_RATE_PORT = 0x1134;
constexpr uint64_t PATH_RATE = 0x11341;
constexpr uint64_t PATH_NODE_NAME = 0x1135;

constexpr uint8_t HARD_ADDRESS_ON = 0x80;
constexpr uint8_t HIGHEST_HARD_ADDRESS = 125;
constexpr uint8_t HIGHEST_SCSI_ID = 15;
constexpr uint16_t HIGHEST_CONTROLLER_LUN = 511;
constexpr uint16_t CONTROLLER_LUN_OFF = 0xFFFF;
constexpr uint8_t TOPOLOGY_PAIRED = 1;
constexpr uint8_t HOST_PORT_MODE_PAIRED = 1;
constexpr uint8_t FC_RATE_4GB = 3;
constexpr uint8_t SAS_ALL_PHYS_DISABLED = 0x0F;
constexpr uint8_t SAS_PHY_OPTIONS_LEVEL = 3;   // individual PHYs from this diagnostics level

MENU_STATE& Menu() { return *psGetMenuState(); }
CONFIG_HEADER& Header() { return pGetScratchConfigImage()->sHeader; }
uint8_t bInterface() { return bGetHostInterfaceType(); }
// Type 2's ports are parallel SCSI, addressed by a SCSI ID.
bool fScsiIds() { return bInterface() == HOST_INTERFACE_SAS; }
bool fSasPorts() { return bInterface() == HOST_INTERFACE_SAS_TARGET; }
bool fSecondPortShown() { return fIsNvramOption1Set() != TRUE; }
bool fTopologyPaired() { return Header().bSetting167 == TOPOLOGY_PAIRED; }
bool fPairForm() { return fGetBoardFlagB6() == TRUE && bGetHostPortMode() == HOST_PORT_MODE_PAIRED; }
// The port register holds 1 or 2; anything else reads port 0.
uint8_t bPort() { return bGetMenuSelection() == 2 ? 1 : 0; }
uint8_t bController() { return bGetMenuController() == 2 ? 1 : 0; }

void Modified() { SetConfigModified(TRUE); }

// The options that choose a port: port 0, and port 1 unless the board has
// one host port.  In pair form both controllers' ports are set at once.
uint16_t wPrintPortOptions(const char* pszWhat, bool fPair) {
    const uint8_t bPorts = fSecondPortShown() ? 2 : 1;
    for (uint8_t p = 0; p < bPorts; ++p) {
        if (fPair) ConsolePrintf("%u.  Set Controller %s/%s Port %u %s\n", p + 1u, "0", "1", unsigned(p), pszWhat);
        else ConsolePrintf("%u.  Set Controller %s Port %u %s\n", p + 1u, "0", unsigned(p), pszWhat);
    }
    return bPorts == 2 ? 0x7 : 0x3;
}

// Option n of a port screen: the port register := n, then the next menu.
void TakePortOption(MENU_FUNCTION pfnNext, MENU_FUNCTION pfnExit) {
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1) || wSelected == MenuOptionBit(2)) {
        SetMenuSelection(wSelected == MenuOptionBit(1) ? 1 : 2);
        pfnNext();
    } else {
        pfnExit();
    }
}

// A screen of values, one option each, the stored one marked: the labels
// carry the line breaks between them.
struct VALUE_SCREEN {
    const char* const* ppszLabels;
    uint8_t bCount;
    MENU_FUNCTION pfnAfter;   // after the result's key
    MENU_FUNCTION pfnExit;
};

void ShowValues(const VALUE_SCREEN& s, uint8_t bCurrent) {
    for (uint8_t i = 0; i < s.bCount; ++i) {
        ConsolePrintText(s.ppszLabels[i]);
        if (i == bCurrent) ConsolePrintf("(current)");
    }
    ConsolePrintf("\n\n0.  Exit\n\n");
    EndOptionScreen(static_cast<uint16_t>((2u << s.bCount) - 1));
}

// Option n stores value n - 1 unless it is the current one, which prints
// nothing.  pszChanged[value] is the result, or one text for all.
void TakeValue(const VALUE_SCREEN& s, uint8_t bCurrent, uint8_t* pbStored, const char* const* ppszChanged,
               uint8_t bTexts) {
    const uint16_t wSelected = wGetSelectedOption();
    for (uint8_t i = 0; i < s.bCount; ++i) {
        if (wSelected != MenuOptionBit(i + 1u)) continue;
        if (i != bCurrent) {
            *pbStored = i;
            Modified();
            ConsolePrintText(ppszChanged[bTexts == 1 ? 0 : i]);
        }
        WaitForAnyKeyThen(s.pfnAfter);
        return;
    }
    s.pfnExit();
}

void HostPortAddressMenu();
void ConnectionOptionsPortMenu();
void DataRatePortMenu();
void HostPortScsiOptionsMenu();
void QasPortMenu();

// --- hard addresses and SCSI IDs --------------------------------------------

void ShowHostPortAddressMenu() {
    if (fScsiIds()) {
        BeginScreen(HostPortAddressMenu, PATH_PORT_ADDRESS, "Port SCSI ID Menu");
        ConsolePrintf("1.  Set Controller Port 0 SCSI ID\n");
        ConsolePrintf("2.  Set Controller Port 1 SCSI ID\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7);
        return;
    }
    if (fSasPorts()) {
        BeginScreen(HostPortAddressMenu, PATH_PORT_ADDRESS, "SAS Host Port Information Menu");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x1);
        return;
    }
    BeginScreen(HostPortAddressMenu, PATH_PORT_ADDRESS, "Host Port Hard Addressing Menu");
    uint16_t wMask = 0x1F;
    if (!fTopologyPaired()) {
        for (uint8_t i = 0; i < 4; ++i)
            ConsolePrintf("%u.  Set Controller %u Host Port %u Hard Address\n", i + 1u, i / 2u, i % 2u);
    } else {
        wMask = wPrintPortOptions("Hard Address", fPairForm());
    }
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

void PrintHardAddressPort() {
    if (!fTopologyPaired()) {
        ConsolePrintf("Controller %u Host Port %u", unsigned(bController()), unsigned(bPort()));
    } else if (fPairForm()) {
        ConsolePrintf("Controller %s/%s Port %u", "0", "1", unsigned(bPort()));
    } else {
        ConsolePrintf("Controller %u Port %u", unsigned(bController()), unsigned(bPort()));
    }
}

uint8_t& HardAddressByte(uint8_t bController) { return Header().abPortHardAddress[2 * bController + bPort()]; }

bool fHardAddressOn(uint8_t b) { return (b & HARD_ADDRESS_ON) != 0 && (b & 0x7F) <= HIGHEST_HARD_ADDRESS; }

// Paired ports carry one address: controller 0's answer is written for
// controller 1 as well.
void StoreHardAddress(uint8_t bValue) {
    HardAddressByte(bController()) = bValue;
    if (fTopologyPaired() && bController() == 0) HardAddressByte(1) = bValue;
    Modified();
}

void TakeHardAddress() {
    const uint8_t bStored = HardAddressByte(bController());
    const bool fCurrent = fHardAddressOn(bStored);
    uint32_t dAddress = 0;
    const uint8_t bParsed = bParseMenuNumber(&dAddress);
    if (fTypedLetter('D')) {
        if (!fCurrent) {
            ShowResult("\nNo Change to hard address\n\n", HostPortAddressMenu);
            return;
        }
        StoreHardAddress(0);
        ShowResult("\nHard Address disabled\n\n", HostPortAddressMenu);
    } else if (bParsed == PARSE_EMPTY || (bParsed == PARSE_VALUE && fCurrent && dAddress == (bStored & 0x7Fu))) {
        ShowResult("\nNo change to hard address\n\n", HostPortAddressMenu);
    } else if (bParsed != PARSE_VALUE || dAddress > HIGHEST_HARD_ADDRESS) {
        ShowResult("\nInvalid selection\n\n", HostPortAddressMenu);
    } else {
        StoreHardAddress(static_cast<uint8_t>(dAddress | HARD_ADDRESS_ON));
        ConsolePrintf("\nHard Address Set to %03u\n\n", unsigned(dAddress));
        WaitForAnyKeyThen(HostPortAddressMenu);
    }
}

void HardAddressMenu() {
    if (Menu().lMenuPath == PATH_HARD_ADDRESS) {
        TakeHardAddress();
        return;
    }
    BeginScreen(HardAddressMenu, PATH_HARD_ADDRESS, "Hard Address Configuration Menu");
    PrintHardAddressPort();
    ConsolePrintf(fTopologyPaired() ? " Current Hard Address : " : " Current Hard Address   : ");
    const uint8_t bStored = HardAddressByte(bController());
    if (fHardAddressOn(bStored)) ConsolePrintf("%03u\n", bStored & 0x7Fu);
    else ConsolePrintf("Disabled\n");
    ConsolePrintf("Select New Hard Address (0..125, 'D' to Disable): ");
    AwaitTypedAnswer();
}

void ScsiIdMenu() {
    uint8_t& bId = Header().abPortHardAddress[bPort()];
    if (Menu().lMenuPath != PATH_HARD_ADDRESS) {
        BeginScreen(ScsiIdMenu, PATH_HARD_ADDRESS, "SCSI ID Configuration Menu");
        ConsolePrintf("Host Port %u Current SCSI ID: %02u\n", unsigned(bPort()), unsigned(bId));
        ConsolePrintf("Select New SCSI ID (0..15): ");
        AwaitTypedAnswer();
        return;
    }
    uint32_t dId = 0;
    const uint8_t bParsed = bParseMenuNumber(&dId);
    if (bParsed == PARSE_EMPTY || (bParsed == PARSE_VALUE && dId == bId)) {
        ShowResult("\nNo change to the SCSI ID\n\n", HostPortAddressMenu);
    } else if (bParsed != PARSE_VALUE || dId > HIGHEST_SCSI_ID) {
        ShowResult("\nInvalid selection\n\n", HostPortAddressMenu);
    } else {
        bId = static_cast<uint8_t>(dId);
        Modified();
        ConsolePrintf("\nSCSI ID Set to %02u\n\n", unsigned(dId));
        WaitForAnyKeyThen(HostPortAddressMenu);
    }
}

void HostPortAddressMenu() {
    if (Menu().lMenuPath != PATH_PORT_ADDRESS) {
        ShowHostPortAddressMenu();
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    for (uint8_t i = 0; i < 4; ++i) {
        if (wSelected != MenuOptionBit(i + 1u)) continue;
        SetMenuSelection(static_cast<uint8_t>(i % 2 + 1));
        SetMenuController(static_cast<uint8_t>(i / 2 + 1));
        if (fScsiIds()) ScsiIdMenu();
        else HardAddressMenu();
        return;
    }
    AdditionalHostConfigurationMenu();
}

// --- controller LUN ---------------------------------------------------------

void ControllerLunMenu() {
    uint16_t& wLun = Header().wControllerLun;
    if (Menu().lMenuPath != PATH_CONTROLLER_LUN) {
        BeginScreen(ControllerLunMenu, PATH_CONTROLLER_LUN, "Controller LUN Configuration Menu");
        if (wLun <= HIGHEST_CONTROLLER_LUN) ConsolePrintf("\nCurrent Controller LUN: %03u\n", unsigned(wLun));
        else ConsolePrintf("\nCurrent Controller LUN: Disabled\n");
        ConsolePrintf("\nSelect Controller LUN (0..%03u, 'D' to Disable): ", unsigned(HIGHEST_CONTROLLER_LUN));
        AwaitTypedAnswer();
        return;
    }
    uint32_t dLun = 0;
    const uint8_t bParsed = bParseMenuNumber(&dLun);
    if (fTypedLetter('D')) {
        if (wLun != CONTROLLER_LUN_OFF) {
            wLun = CONTROLLER_LUN_OFF;
            Modified();
            ConsolePrintf("\nController LUN Changed\n\n");
        }
    } else if (bParsed != PARSE_VALUE || dLun > HIGHEST_CONTROLLER_LUN) {
        ConsolePrintf("\nInvalid selection\n\n");
    } else if (dLun == wLun) {
        // The LUN it has: nothing to say.
    } else if (fIsLunUsed(pGetScratchConfigImage(), static_cast<uint16_t>(dLun)) == TRUE) {
        ConsolePrintf("\nData LUN Overlap\n\n");
    } else {
        wLun = static_cast<uint16_t>(dLun);
        Modified();
        ConsolePrintf("\nController LUN Changed\n\n");
    }
    WaitForAnyKeyThen(AdditionalHostConfigurationMenu);
}

// --- parallel SCSI port options ---------------------------------------------

const char* const SCSI_RATES[] = {"1.  80 MB/s ", "\n2.  160 MB/s", "\n3.  320 MB/s "};
const char* const SCSI_RATE_CHANGED[] = {"\nHost Data Rate Changed\n\n"};

void ScsiDataRateMenu() {
    const VALUE_SCREEN s{SCSI_RATES, 3, HostPortScsiOptionsMenu, AdditionalHostConfigurationMenu};
    uint8_t& bRate = Header().abPortDataRate[bPort()];
    if (Menu().lMenuPath != PATH_SCSI_RATE) {
        BeginScreen(ScsiDataRateMenu, PATH_SCSI_RATE, bPort() == 0 ? "Host Port 0 Data Rate Menu" : "Host Port 1 Data Rate Menu");
        ShowValues(s, bRate);
        return;
    }
    TakeValue(s, bRate, &bRate, SCSI_RATE_CHANGED, 1);
}

void ScsiDataRatePortMenu() {
    if (Menu().lMenuPath != PATH_PORT_OPTION) {
        BeginScreen(ScsiDataRatePortMenu, PATH_PORT_OPTION, "Host Port SCSI Options Menu");
        ConsolePrintf("1.  Set Controller Port 0 Data Rate\n");
        ConsolePrintf("2.  Set Controller Port 1 Data Rate\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7);
        return;
    }
    TakePortOption(ScsiDataRateMenu, HostPortAddressMenu);
}

void QasMenu() {
    static const TOGGLE_SCREEN s{"Packetized Data Transfers Using QAS Menu",
                                 PATH_QAS,
                                 "\nPacketized Data Transfers Using QAS is Enabled\n",
                                 "\nPacketized Data Transfers Using QAS is Currently Disabled\n",
                                 "Enable Packetized Data Transfers Using QAS? (Y or N): ",
                                 "\nPacketized Data Transfers Using QAS Enabled\n\n",
                                 "\nPacketized Data Transfers Using QAS Disabled\n\n",
                                 QasPortMenu};
    RunToggleScreen(QasMenu, s, &Header().afPortOptionB[bPort()]);
}

void QasPortMenu() {
    if (Menu().lMenuPath != PATH_QAS_PORT) {
        BeginScreen(QasPortMenu, PATH_QAS_PORT, "Port SCSI Packetized SCSI / QAS Menu");
        ConsolePrintf("1.  Set Controller Port 0 Packetized SCSI / QAS\n");
        ConsolePrintf("2.  Set Controller Port 1 Packetized SCSI / QAS\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7);
        return;
    }
    TakePortOption(QasMenu, HostPortScsiOptionsMenu);
}

void HostPortScsiOptionsMenu() {
    if (Menu().lMenuPath != PATH_PORT_OPTIONS) {
        BeginScreen(HostPortScsiOptionsMenu, PATH_PORT_OPTIONS, "Host Port SCSI Options");
        ConsolePrintf("1.  Port SCSI Data Rate\n");
        ConsolePrintf("2.  Packetized Data Transfers Using QAS\n");
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(0x7);
        return;
    }
    const uint16_t wSelected = wGetSelectedOption();
    if (wSelected == MenuOptionBit(1)) ScsiDataRatePortMenu();
    else if (wSelected == MenuOptionBit(2)) QasPortMenu();
    else ConfigurationMenu();
}

// --- connection options ----------------------------------------------------

const char* const FC_CONNECTIONS[] = {"1.  Automatic ", "\n2.  Point to Point Only ", "\n3.  Loop Only "};
const char* const FC_CONNECTION_CHANGED[] = {"\nHost Port Connection Options Changed\n\n"};

const char* pszPortTitle(const char* pszPort0, const char* pszPort1) { return bPort() == 0 ? pszPort0 : pszPort1; }

void ShowSasConnections(uint8_t bMask) {
    ConsolePrintf("1.  Automatic ");
    if (bMask == 0) ConsolePrintf("(current)");
    ConsolePrintf("\n2.  Disabled ");
    if (bMask == SAS_ALL_PHYS_DISABLED) ConsolePrintf("(current)");
    uint16_t wOptions = 0x7;
    if (bGetDiagnosticsModeLevel() >= SAS_PHY_OPTIONS_LEVEL) {
        ConsolePrintf("\n\n Advanced Options: Enable/Disable Individual PHYs\n");
        for (uint8_t bPhy = 0; bPhy < 4; ++bPhy)
            ConsolePrintf("\n%u.  PHY %u: %s", bPhy + 3u, unsigned(bPhy), (bMask & (1u << bPhy)) != 0 ? "(disabled)" : "(enabled)");
        wOptions = 0x7F;
    }
    ConsolePrintf("\n\n0.  Exit\n\n");
    EndOptionScreen(wOptions);
}

// The SAS value is a PHY-disable mask: all on, all off, or one PHY toggled
// (only at the diagnostics level that shows them).
void TakeSasConnection(uint8_t* pbMask) {
    const uint16_t wSelected = wGetSelectedOption();
    const uint8_t bOld = *pbMask;
    if (wSelected == MenuOptionBit(1) || wSelected == MenuOptionBit(2)) {
        const bool fAutomatic = wSelected == MenuOptionBit(1);
        const uint8_t bNew = fAutomatic ? 0 : SAS_ALL_PHYS_DISABLED;
        if (bNew != bOld) {
            *pbMask = bNew;
            Modified();
            ConsolePrintf(fAutomatic ? "\nHost Port Connection Option Set to Automatic\n\n"
                                     : "\nHost Port Connection Option set to Disabled\n\n");
        }
        WaitForAnyKeyThen(ConnectionOptionsPortMenu);
        return;
    }
    for (uint8_t bPhy = 0; bPhy < 4; ++bPhy) {
        if (wSelected != MenuOptionBit(bPhy + 3u) || bGetDiagnosticsModeLevel() < SAS_PHY_OPTIONS_LEVEL) continue;
        const uint8_t bBit = static_cast<uint8_t>(1u << bPhy);
        *pbMask = static_cast<uint8_t>(bOld ^ bBit);
        Modified();
        ConsolePrintf("\nHost Port Connection Options Changed (%02x:%02x:%02x)\n\n", unsigned(bBit), unsigned(bOld),
                      unsigned(*pbMask));
        WaitForAnyKeyThen(ConnectionOptionsPortMenu);
        return;
    }
    ConnectionOptionsPortMenu();
}

void ConnectionOptionsMenu() {
    uint8_t& bStored = Header().abPortConnection[bPort()];
    const VALUE_SCREEN s{FC_CONNECTIONS, 3, AdditionalHostConfigurationMenu, AdditionalHostConfigurationMenu};
    if (Menu().lMenuPath != PATH_PORT_OPTION) {
        BeginScreen(ConnectionOptionsMenu, PATH_PORT_OPTION,
                    pszPortTitle("Host Port 0 Connection Options Menu", "Host Port 1 Connection Options Menu"));
        if (fSasPorts()) ShowSasConnections(bStored);
        else ShowValues(s, bStored);
        return;
    }
    if (fSasPorts()) TakeSasConnection(&bStored);
    else TakeValue(s, bStored, &bStored, FC_CONNECTION_CHANGED, 1);
}

void ConnectionOptionsPortMenu() {
    if (Menu().lMenuPath != PATH_PORT_OPTIONS) {
        BeginScreen(ConnectionOptionsPortMenu, PATH_PORT_OPTIONS, "Host Port Connection Options Menu");
        const uint16_t wMask = wPrintPortOptions("Connection Options", fGetBoardFlagB6() == TRUE);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(wMask);
        return;
    }
    TakePortOption(ConnectionOptionsMenu, AdditionalHostConfigurationMenu);
}

// --- data rates ---------------------------------------------------------------

const char* const FC_RATES[] = {"1.  Automatic ", "\n2.  1 Gb/s ", "\n3.  2 Gb/s ", "\n4.  4 Gb/s "};
const char* const FC_RATE_CHANGED[] = {"\nHost Data Rate Changed\n\n"};
const char* const SAS_RATES[] = {"1.  Automatic ", "\n2.  1.5 Gb/s ", "\n3.  3.0 Gb/s "};
const char* const SAS_RATE_CHANGED[] = {"\nHost Data Rate Changed to Auto\n\n", "\nHost Data Rate Changed to 1.5G\n\n",
                                        "\nHost Data Rate Changed to 3G\n\n"};

// Chips before the 4 Gb/s generation run a stored 4 Gb/s as Automatic;
// the screen says so and shows it that way, and the byte stays.
uint8_t bShownFcRate(uint8_t bStored) { return bStored == FC_RATE_4GB && fIsQL24xx() != TRUE ? 0 : bStored; }

void DataRateMenu() {
    uint8_t& bStored = Header().abPortDataRate[bPort()];
    const bool fSas = fSasPorts();
    const VALUE_SCREEN s = fSas ? VALUE_SCREEN{SAS_RATES, 3, DataRatePortMenu, DataRatePortMenu}
                                : VALUE_SCREEN{FC_RATES, static_cast<uint8_t>(fIsQL24xx() == TRUE ? 4 : 3),
                                               AdditionalHostConfigurationMenu, AdditionalHostConfigurationMenu};
    const uint8_t bCurrent = fSas ? bStored : bShownFcRate(bStored);
    if (Menu().lMenuPath != PATH_RATE) {
        BeginScreen(DataRateMenu, PATH_RATE, pszPortTitle("Host Port 0 Data Rate Menu", "Host Port 1 Data Rate Menu"));
        if (!fSas && bCurrent != bStored) ConsolePrintf("006: RESET Port(%d) to Auto\n", int(bGetMenuSelection()));
        ShowValues(s, bCurrent);
        return;
    }
    if (fSas) TakeValue(s, bCurrent, &bStored, SAS_RATE_CHANGED, 3);
    else TakeValue(s, bCurrent, &bStored, FC_RATE_CHANGED, 1);
}

void DataRatePortMenu() {
    if (Menu().lMenuPath != PATH_RATE_PORT) {
        BeginScreen(DataRatePortMenu, PATH_RATE_PORT, "Host Port Data Rate Menu");
        const uint16_t wMask = wPrintPortOptions("Data Rate", fGetBoardFlagB6() == TRUE);
        ConsolePrintf("\n0.  Exit\n\n");
        EndOptionScreen(wMask);
        return;
    }
    TakePortOption(DataRateMenu, AdditionalHostConfigurationMenu);
}

// --- different node name ------------------------------------------------------

void DifferentNodeNameMenu() {
    static const TOGGLE_SCREEN s{"Host Port Different Node Name Configuration Menu",
                                 PATH_NODE_NAME,
                                 "\nHost Port Different Node Name is Currently Enabled\n",
                                 "\nHost Port Different Node Name is Currently Disabled\n",
                                 "Enable Host Port Different Node Name? (Y or N): ",
                                 "\nHost Port Different Node Name Enabled\n\n",
                                 "\nHost Port Different Node Name Disabled\n\n",
                                 AdditionalHostConfigurationMenu};
    RunToggleScreen(DifferentNodeNameMenu, s, &Header().fDifferentNodeName);
}

bool fNodeNameOffered() { return !fScsiIds() && !fSasPorts() && fIsNvramOption1Set() != TRUE; }

void ShowAdditionalHostConfigurationMenu() {
    BeginScreen(AdditionalHostConfigurationMenu, PATH_HOST, "Additional Host Configuration Menu");
    uint16_t wMask = 0x9F;
    if (fScsiIds()) {
        ConsolePrintf("1.  Port SCSI ID\n");
        ConsolePrintf("2.  Controller LUN Configuration\n");
        ConsolePrintf("3.  Host Port SCSI Options\n");
        wMask = 0x8F;
    } else {
        ConsolePrintf(fSasPorts() ? "1.  Host Port SAS Information\n" : "1.  Host Port Hard Addressing\n");
        ConsolePrintf("2.  Controller LUN Configuration\n");
        ConsolePrintf("3.  Host Port Connection Options\n");
        ConsolePrintf("4.  Host Port Data Rate\n");
        if (fNodeNameOffered()) {
            ConsolePrintf("5.  Host Port Different Node Name\n");
            wMask = 0xBF;
        }
    }
    ConsolePrintf("7.  Target Queue Management\n");
    ConsolePrintf("\n0.  Exit\n\n");
    EndOptionScreen(wMask);
}

}  // namespace

void AdditionalHostConfigurationMenu() {
    if (Menu().lMenuPath != PATH_HOST) {
        ShowAdditionalHostConfigurationMenu();
        return;
    }
    switch (wGetSelectedOption()) {
    case 1u << 1: HostPortAddressMenu(); break;
    case 1u << 2: ControllerLunMenu(); break;
    case 1u << 3:
        if (fScsiIds()) HostPortScsiOptionsMenu();
        else ConnectionOptionsPortMenu();
        break;
    case 1u << 4: DataRatePortMenu(); break;
    case 1u << 5: DifferentNodeNameMenu(); break;
    case 1u << 7: TargetQueueManagementMenu(); break;
    default: ConfigurationMenu(); break;
    }
}

}  // namespace fw
