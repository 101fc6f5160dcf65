// The Additional Host Configuration Menu and its screens on the three kinds
// of host port: what each shows, what each answer leaves in the scratch
// image's settings bytes, and what is refused.
#include <gtest/gtest.h>

#include <string>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "executive/types.h"
#include "fc/ql_chip.h"

namespace {

using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

class HostMenus : public consoletest::ConfigurationMenuTest {
protected:
    explicit HostMenus(sim::HostInterface eInterface = sim::HostInterface::Fc)
        : ConfigurationMenuTest(eInterface) {}
    std::string Open() { return ConfigurationMenuTest::Open(fw::AdditionalHostConfigurationMenu); }
    fw::CONFIG_HEADER& Header() { return fw::pGetScratchConfigImage()->sHeader; }
};

class SasHostMenus : public HostMenus {
protected:
    SasHostMenus() : HostMenus(sim::HostInterface::SasTarget) {}
};

class ScsiHostMenus : public HostMenus {
protected:
    ScsiHostMenus() : HostMenus(sim::HostInterface::Scsi) {}
};

const std::string kFcMenu = "\n\nAdditional Host Configuration Menu (1-3) (C0)\n\n"
                            "1.  Host Port Hard Addressing\n"
                            "2.  Controller LUN Configuration\n"
                            "3.  Host Port Connection Options\n"
                            "4.  Host Port Data Rate\n"
                            "5.  Host Port Different Node Name\n"
                            "7.  Target Queue Management\n"
                            "\n0.  Exit\n\n" +
                            kPrompt;

// Option 6 is never offered and option 7 opens target queue management.
TEST_F(HostMenus, FibreChannelMenuOffersItsOptionsAndExits) {
    EXPECT_EQ(Open(), kFcMenu);
    EXPECT_EQ(c.Enter("6"), "6\r" + kPrompt);
    EXPECT_EQ(c.Enter("7").rfind("7\r\n\n" + Title("Target Queue Management Configuration Menu", "1-3-7"), 0), 0u);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kFcMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + consoletest::kConfigurationMenu);
}

const std::string kPairedAddressMenu = Title("Host Port Hard Addressing Menu", "1-3-1") +
                                       "1.  Set Controller 0 Port 0 Hard Address\n"
                                       "2.  Set Controller 0 Port 1 Hard Address\n"
                                       "\n0.  Exit\n\n" +
                                       kPrompt;
const std::string kHardAddressTitle = Title("Hard Address Configuration Menu", "1-3-1-1");
const std::string kAskAddress = "Select New Hard Address (0..125, 'D' to Disable): ";

// Paired ports (the new image's topology) carry one address for both
// controllers: what controller 0's port gets, controller 1's gets too.
TEST_F(HostMenus, PairedHardAddressIsWrittenForBothControllers) {
    ASSERT_EQ(Header().bSetting167, 1);
    Open();
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kPairedAddressMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kHardAddressTitle + "Controller 0 Port 0 Current Hard Address : 004\n" + kAskAddress);
    // Refusals and no-changes leave the bytes alone.
    struct Case {
        const char* pszTyped;
        const char* pszResult;
    };
    const Case aRefused[] = {
        {"126", "\nInvalid selection\n\n"},           {"4", "\nNo change to hard address\n\n"},
        {"", "\nNo change to hard address\n\n"},      {"Q", "\nInvalid selection\n\n"},
        {"99999999999", "\nInvalid selection\n\n"},   {"12a", "\nInvalid selection\n\n"},
        {"-1", "\nInvalid selection\n\n"},            {"DD", "\nInvalid selection\n\n"},
    };
    for (const Case& k : aRefused) {
        EXPECT_EQ(c.Enter(k.pszTyped), std::string(k.pszTyped) + "\r" + k.pszResult + kAnyKey) << k.pszTyped;
        EXPECT_EQ(c.Type(" "), kPairedAddressMenu);
        c.Enter("1");
    }
    EXPECT_EQ(Header().abPortHardAddress[0], 0x84);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(c.Enter("5"), "5\r\nHard Address Set to 005\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortHardAddress[0], 0x85);
    EXPECT_EQ(Header().abPortHardAddress[2], 0x85);
    EXPECT_EQ(Header().abPortHardAddress[1], 0x85);   // port 1 kept its own
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kHardAddressTitle + "Controller 0 Port 1 Current Hard Address : 005\n" + kAskAddress);
    EXPECT_EQ(c.Enter("125"), "125\r\nHard Address Set to 125\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortHardAddress[1], 125 + 128);
    EXPECT_EQ(Header().abPortHardAddress[3], 125 + 128);
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("d"), "d\r\nHard Address disabled\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortHardAddress[1], 0);
    EXPECT_EQ(Header().abPortHardAddress[3], 0);
    c.Type(" ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kHardAddressTitle + "Controller 0 Port 1 Current Hard Address : Disabled\n" + kAskAddress);
    EXPECT_EQ(c.Enter("D"), "D\r\nNo Change to hard address\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kPairedAddressMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kFcMenu);
}

// Unpaired, each controller's port has its own address and its own byte.
TEST_F(HostMenus, UnpairedPortsAreSetOneByOne) {
    Header().bSetting167 = 0;
    Open();
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Host Port Hard Addressing Menu", "1-3-1") +
                                "1.  Set Controller 0 Host Port 0 Hard Address\n"
                                "2.  Set Controller 0 Host Port 1 Hard Address\n"
                                "3.  Set Controller 1 Host Port 0 Hard Address\n"
                                "4.  Set Controller 1 Host Port 1 Hard Address\n"
                                "\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + kHardAddressTitle + "Controller 1 Host Port 1 Current Hard Address   : 005\n" + kAskAddress);
    EXPECT_EQ(c.Enter("0"), "0\r\nHard Address Set to 000\n\n" + kAnyKey);
    const uint8_t abExpected[4] = {0x84, 0x85, 0x84, 0x80};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Header().abPortHardAddress[i], abExpected[i]) << i;
}

const std::string kLunTitle = Title("Controller LUN Configuration Menu", "1-3-2");
const std::string kAskLun = "\nSelect Controller LUN (0..511, 'D' to Disable): ";

// The controller LUN takes no LUN a logical drive is mapped at; D turns it
// off; the LUN it has already, or D when off, says nothing.
TEST_F(HostMenus, ControllerLunAvoidsDataLuns) {
    fw::CONFIG_IMAGE* ps = fw::pGetScratchConfigImage();
    ps->sHeader.wLdCount = 1;
    ps->asLd[0].wDefaultLun = 7;
    Open();
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kLunTitle + "\nCurrent Controller LUN: Disabled\n" + kAskLun);
    EXPECT_EQ(c.Enter("D"), "D\r" + kAnyKey);
    for (const char* pszRefused : {"512", "", "E", "65536", "x"}) {
        c.Type(" ");
        c.Enter("2");
        EXPECT_EQ(c.Enter(pszRefused), std::string(pszRefused) + "\r\nInvalid selection\n\n" + kAnyKey) << pszRefused;
    }
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("7"), "7\r\nData LUN Overlap\n\n" + kAnyKey);
    EXPECT_EQ(Header().wControllerLun, 0xFFFF);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("511"), "511\r\nController LUN Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().wControllerLun, 511);
    EXPECT_EQ(c.Type(" "), kFcMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kLunTitle + "\nCurrent Controller LUN: 511\n" + kAskLun);
    EXPECT_EQ(c.Enter("511"), "511\r" + kAnyKey);
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("d"), "d\r\nController LUN Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().wControllerLun, 0xFFFF);
}

const std::string kConnectionPorts = Title("Host Port Connection Options Menu", "1-3-3") +
                                     "1.  Set Controller 0/1 Port 0 Connection Options\n"
                                     "2.  Set Controller 0/1 Port 1 Connection Options\n"
                                     "\n0.  Exit\n\n" +
                                     kPrompt;

// The option screens mark the stored value; choosing it says nothing.
TEST_F(HostMenus, FibreChannelConnectionAndRateAreStoredPerPort) {
    Open();
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kConnectionPorts);
    const std::string kPort1Connections = Title("Host Port 1 Connection Options Menu", "1-3-3-1") +
                                          "1.  Automatic (current)\n2.  Point to Point Only \n3.  Loop Only "
                                          "\n\n0.  Exit\n\n" +
                                          kPrompt;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kPort1Connections);
    EXPECT_EQ(c.Enter("4"), "4\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(c.Type(" "), kFcMenu);
    c.Enter("3");
    c.Enter("2");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\nHost Port Connection Options Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortConnection[1], 2);
    EXPECT_EQ(Header().abPortConnection[0], 0);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Host Port 0 Connection Options Menu", "1-3-3-1") +
                                "1.  Automatic (current)\n2.  Point to Point Only \n3.  Loop Only \n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kFcMenu);

    fw::SetQL24xx(fw::TRUE);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + Title("Host Port Data Rate Menu", "1-3-4") +
                                "1.  Set Controller 0/1 Port 0 Data Rate\n"
                                "2.  Set Controller 0/1 Port 1 Data Rate\n"
                                "\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Host Port 0 Data Rate Menu", "1-3-4-1") +
                                "1.  Automatic (current)\n2.  1 Gb/s \n3.  2 Gb/s \n4.  4 Gb/s \n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\nHost Data Rate Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortDataRate[0], 3);
    // An older chip runs a stored 4 Gb/s as Automatic, and its screen says
    // so with the port register; the byte stays until another rate is chosen.
    fw::SetQL24xx(fw::FALSE);
    c.Type(" ");
    c.Enter("4");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Host Port 0 Data Rate Menu", "1-3-4-1") +
                                "006: RESET Port(1) to Auto\n"
                                "1.  Automatic (current)\n2.  1 Gb/s \n3.  2 Gb/s \n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortDataRate[0], 3);
    c.Type(" ");
    c.Enter("4");
    c.Enter("1");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\nHost Data Rate Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortDataRate[0], 2);
}

TEST_F(HostMenus, DifferentNodeNameIsAskedYesOrNo) {
    const std::string kTitle = Title("Host Port Different Node Name Configuration Menu", "1-3-5");
    const std::string kAsk = "Enable Host Port Different Node Name? (Y or N): ";
    Open();
    EXPECT_EQ(c.Enter("5"), "5\r\n\n" + kTitle + "\nHost Port Different Node Name is Currently Disabled\n" + kAsk);
    EXPECT_EQ(c.Enter("n"), "n\r\nNo Change\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("5");
    EXPECT_EQ(c.Enter("yes"), "yes\r\nNo Change\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("5");
    EXPECT_EQ(c.Enter("Y"), "Y\r\nHost Port Different Node Name Enabled\n\n" + kAnyKey);
    EXPECT_EQ(Header().fDifferentNodeName, fw::TRUE);
    c.Type(" ");
    EXPECT_EQ(c.Enter("5"), "5\r\n\n" + kTitle + "\nHost Port Different Node Name is Currently Enabled\n" + kAsk);
    EXPECT_EQ(c.Enter("N"), "N\r\nHost Port Different Node Name Disabled\n\n" + kAnyKey);
    EXPECT_EQ(Header().fDifferentNodeName, fw::FALSE);
}

const std::string kSasMenu = "\n\nAdditional Host Configuration Menu (1-3) (C0)\n\n"
                             "1.  Host Port SAS Information\n"
                             "2.  Controller LUN Configuration\n"
                             "3.  Host Port Connection Options\n"
                             "4.  Host Port Data Rate\n"
                             "7.  Target Queue Management\n"
                             "\n0.  Exit\n\n" +
                             kPrompt;

TEST_F(SasHostMenus, MenuHasNoNodeNameAndAnEmptyInformationScreen) {
    EXPECT_EQ(Open(), kSasMenu);
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("SAS Host Port Information Menu", "1-3-1") + "\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r" + kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kSasMenu);
}

// The individual PHYs show from diagnostics level 3 only; a toggle prints
// the PHY's bit with the old and new masks.
TEST_F(SasHostMenus, PhysAreOfferedFromDiagnosticsLevelThree) {
    const std::string kTitle = Title("Host Port 0 Connection Options Menu", "1-3-3-1");
    Header().abPortConnection[0] = 0x04;
    fw::SetDiagnosticsModeLevel(2);
    Open();
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kConnectionPorts);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kTitle + "1.  Automatic \n2.  Disabled \n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nHost Port Connection Option set to Disabled\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortConnection[0], 0x0F);
    EXPECT_EQ(c.Type(" "), kConnectionPorts);
    c.Enter("1");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kAnyKey);
    c.Type(" ");
    Header().abPortConnection[0] = 0x04;
    fw::SetDiagnosticsModeLevel(3);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kTitle +
                                "1.  Automatic \n2.  Disabled "
                                "\n\n Advanced Options: Enable/Disable Individual PHYs\n"
                                "\n3.  PHY 0: (enabled)\n4.  PHY 1: (enabled)\n5.  PHY 2: (disabled)\n6.  PHY 3: (enabled)"
                                "\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("5"), "5\r\n\n\nHost Port Connection Options Changed (04:04:00)\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortConnection[0], 0);
    c.Type(" ");
    c.Enter("1");
    EXPECT_EQ(c.Enter("6"), "6\r\n\n\nHost Port Connection Options Changed (08:00:08)\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("1");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nHost Port Connection Option Set to Automatic\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortConnection[0], 0);
}

TEST_F(SasHostMenus, RatesAreSasRates) {
    const std::string kRatePorts = Title("Host Port Data Rate Menu", "1-3-4") +
                                   "1.  Set Controller 0/1 Port 0 Data Rate\n"
                                   "2.  Set Controller 0/1 Port 1 Data Rate\n"
                                   "\n0.  Exit\n\n" +
                                   kPrompt;
    Open();
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + kRatePorts);
    const std::string kRates = Title("Host Port 1 Data Rate Menu", "1-3-4-1") +
                               "1.  Automatic (current)\n2.  1.5 Gb/s \n3.  3.0 Gb/s \n\n0.  Exit\n\n" + kPrompt;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kRates);
    EXPECT_EQ(c.Enter("4"), "4\r" + kPrompt);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\nHost Data Rate Changed to 3G\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kRatePorts);
    c.Enter("2");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nHost Data Rate Changed to 1.5G\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortDataRate[1], 1);
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nHost Data Rate Changed to Auto\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortDataRate[1], 0);
    EXPECT_EQ(Header().abPortDataRate[0], 0);
    c.Type(" ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kSasMenu);
}

const std::string kScsiMenu = "\n\nAdditional Host Configuration Menu (1-3) (C0)\n\n"
                              "1.  Port SCSI ID\n"
                              "2.  Controller LUN Configuration\n"
                              "3.  Host Port SCSI Options\n"
                              "7.  Target Queue Management\n"
                              "\n0.  Exit\n\n" +
                              kPrompt;

TEST_F(ScsiHostMenus, ScsiIdsAreZeroToFifteen) {
    const std::string kIdMenu = Title("Port SCSI ID Menu", "1-3-1") +
                                "1.  Set Controller Port 0 SCSI ID\n"
                                "2.  Set Controller Port 1 SCSI ID\n"
                                "\n0.  Exit\n\n" +
                                kPrompt;
    const std::string kAsk = "Select New SCSI ID (0..15): ";
    EXPECT_EQ(Open(), kScsiMenu);
    EXPECT_EQ(c.Enter("4"), "4\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kIdMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + Title("SCSI ID Configuration Menu", "1-3-1-1") + "Host Port 1 Current SCSI ID: 05\n" + kAsk);
    for (const char* pszRefused : {"16", "D", "1x"}) {
        EXPECT_EQ(c.Enter(pszRefused), std::string(pszRefused) + "\r\nInvalid selection\n\n" + kAnyKey);
        c.Type(" ");
        c.Enter("2");
    }
    EXPECT_EQ(c.Enter("5"), "5\r\nNo change to the SCSI ID\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("15"), "15\r\nSCSI ID Set to 15\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortHardAddress[1], 15);
    EXPECT_EQ(Header().abPortHardAddress[0], 4);
    EXPECT_EQ(c.Type(" "), kIdMenu);
}

TEST_F(ScsiHostMenus, RateAndQasArePerPort) {
    const std::string kOptions = Title("Host Port SCSI Options", "1-3-3") +
                                 "1.  Port SCSI Data Rate\n"
                                 "2.  Packetized Data Transfers Using QAS\n"
                                 "\n0.  Exit\n\n" +
                                 kPrompt;
    Open();
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kOptions);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Host Port SCSI Options Menu", "1-3-3-1") +
                                "1.  Set Controller Port 0 Data Rate\n"
                                "2.  Set Controller Port 1 Data Rate\n"
                                "\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Host Port 0 Data Rate Menu", "1-3-3-1-1") +
                                "1.  80 MB/s \n2.  160 MB/s\n3.  320 MB/s (current)\n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nHost Data Rate Changed\n\n" + kAnyKey);
    EXPECT_EQ(Header().abPortDataRate[0], 0);
    EXPECT_EQ(c.Type(" "), kOptions);
    const std::string kQasPorts = Title("Port SCSI Packetized SCSI / QAS Menu", "1-3-3-2") +
                                  "1.  Set Controller Port 0 Packetized SCSI / QAS\n"
                                  "2.  Set Controller Port 1 Packetized SCSI / QAS\n"
                                  "\n0.  Exit\n\n" +
                                  kPrompt;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kQasPorts);
    const std::string kQasTitle = Title("Packetized Data Transfers Using QAS Menu", "1-3-3-2-1");
    const std::string kAsk = "Enable Packetized Data Transfers Using QAS? (Y or N): ";
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kQasTitle + "\nPacketized Data Transfers Using QAS is Enabled\n" + kAsk);
    EXPECT_EQ(c.Enter("N"), "N\r\nPacketized Data Transfers Using QAS Disabled\n\n" + kAnyKey);
    EXPECT_EQ(Header().afPortOptionB[1], fw::FALSE);
    EXPECT_EQ(Header().afPortOptionB[0], fw::TRUE);
    EXPECT_EQ(c.Type(" "), kQasPorts);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kQasTitle + "\nPacketized Data Transfers Using QAS is Currently Disabled\n" + kAsk);
    EXPECT_EQ(c.Enter("y"), "y\r\nPacketized Data Transfers Using QAS Enabled\n\n" + kAnyKey);
    EXPECT_EQ(Header().afPortOptionB[1], fw::TRUE);
    c.Type(" ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kOptions);
    // The options screen leaves for the Configuration Menu.
    EXPECT_EQ(c.Enter("0").rfind("0\r\n\n\n\nConfiguration Menu (1) (C0)\n\n", 0), 0u);
}

}  // namespace
