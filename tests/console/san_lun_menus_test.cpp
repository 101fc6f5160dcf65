// The SAN LUN Mapping Configuration Menu and its dialogues: the screens,
// the mapping a dialogue leaves in the scratch image, and every refusal
// leaving the image as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/san_lun_map.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "executive/types.h"

namespace {

using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

const std::string kAskDrive = "\nEnter the logical drive number to map or enter <Q> to quit.               : ";
const std::string kAskNext = "\nEnter <E> to complete the mapping or enter the next\n"
                             "logical drive number to continue setting up this mapping.                 : ";
const std::string kErase = "\r" + std::string(79, ' ') + "\r";
std::string AskPort(const char* pszController, const char* pszPort, char cStart = '\n') {
    return std::string(1, cStart) + "Enable logical drive access for Controller " + pszController + " Port " + pszPort +
           "     (Y or N, <CR> = Y): ";
}
const std::string kAskReadOnly = "\nEnable read only access for this logical drive?         (Y or N, <CR> = N): ";
const std::string kAskLun = "\nEnter LUN Number to present this logical drive to the host                : ";
const std::string kAskControllerLun = "\nEnter the LUN number to present as a Controller LUN \n"
                                      "to the host or enter <D> to disable.                                      : ";

class SanLunMenus : public consoletest::ConfigurationMenuTest {
protected:
    explicit SanLunMenus(sim::HostInterface eInterface = sim::HostInterface::Fc)
        : ConfigurationMenuTest(eInterface) {}
    // Logical drives in the scratch image only: the menus read no more.
    void MakeLds(uint16_t wCount) {
        fw::CONFIG_IMAGE* ps = fw::pGetScratchConfigImage();
        ps->sHeader.wLdCount = wCount;
        for (uint16_t l = 0; l < wCount; ++l) {
            ps->asLd[l].bSanMapState = 0;
            ps->asLd[l].bLdUseFlags = 0;
        }
    }
    std::string Open() { return ConfigurationMenuTest::Open(fw::SanLunMappingMenu); }
    // The dialogue up to the editor, for an FC initiator typed in.
    std::string StartMapping(const std::string& sName, const std::string& sNode, const std::string& sPort) {
        Open();
        c.Enter("2");
        c.Enter(sName);
        c.Enter("1");
        c.Enter(sNode);
        return c.Enter(sPort);
    }
    // A whole mapping: one logical drive on every port, read-write, at the
    // LUN; no controller LUN.
    void MapOneDrive(const std::string& sName, const std::string& sPort, const char* pszLd, const char* pszLun) {
        StartMapping(sName, "2000001b32e00001", sPort);
        for (const char* psz : {pszLd, "", "", "", "", "", pszLun}) c.Enter(psz);
        EndMapping();
    }
    // The editor shown again, then completed without a controller LUN.
    void EndMapping() {
        c.Type(" ");
        c.Enter("E");
        c.Enter("D");
        c.Type(" ");
    }
    fw::CONFIG_IMAGE& Image() { return *fw::pGetScratchConfigImage(); }
    fw::SAN_LUN_MAP_ENTRY& Entry(uint16_t w) { return Image().asSanMap[w]; }
};

class ScsiSanLunMenus : public SanLunMenus {
protected:
    ScsiSanLunMenus() : SanLunMenus(sim::HostInterface::Scsi) {}
};

const std::string kMenuHead = Title("SAN LUN Mapping Configuration Menu", "1-4");
const std::string kFcMenu = kMenuHead +
                            "1.  View SAN LUN Mapping\n"
                            "2.  Create SAN LUN Mapping\n"
                            "3.  Delete SAN LUN Mapping\n"
                            "4.  Modify SAN LUN Mapping\n"
                            "5.  View Connected Hosts\n"
                            "\n0.  Exit\n\n" +
                            kPrompt;

TEST_F(SanLunMenus, MenuOffersConnectedHostsOnFibreChannelAndExits) {
    EXPECT_EQ(Open(), kFcMenu);
    EXPECT_EQ(c.Enter("6"), "6\r" + kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + consoletest::kConfigurationMenu);
}

TEST_F(ScsiSanLunMenus, ParallelScsiHasNoConnectedHostsAndMapsByScsiId) {
    EXPECT_EQ(Open(), kMenuHead +
                          "1.  View SAN LUN Mapping\n"
                          "2.  Create SAN LUN Mapping\n"
                          "3.  Delete SAN LUN Mapping\n"
                          "4.  Modify SAN LUN Mapping\n"
                          "\n0.  Exit\n\n" +
                          kPrompt);
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    MakeLds(2);
    c.Enter("2");
    EXPECT_EQ(c.Enter("Bus host"), "Bus host\r" + Title("SAN LUN Mapping Configuration Menu", "1-4-2-1") +
                                       "\nSelect Initiator ID\n\n1.  Enter Manually\n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Create SAN LUN Mapping Configuration Menu", "1-4-2-1-1") +
                                "\nEnter Initiator ID: ");
    EXPECT_EQ(c.Enter("16"), "16\r\nInvalid SCSI ID Selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("2");
    c.Enter("Bus host");
    c.Enter("1");
    EXPECT_NE(c.Enter("15").find(kAskDrive), std::string::npos);
    EXPECT_EQ(Entry(0).abNodeWwn[0], 15);
    EXPECT_EQ(Entry(0).bHostType, 2);
}

TEST_F(SanLunMenus, CreationIsRefusedWithoutLogicalDrivesToMap) {
    Open();
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nNo logical drives defined to create a SAN LUN Mapping\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kFcMenu);
    MakeLds(2);
    Image().asLd[0].bSanMapState = fw::SAN_MAP_UNAVAILABLE;
    Image().asLd[1].bSanMapState = fw::SAN_MAP_UNAVAILABLE;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nNo unmapped logical drives available to create a SAN LUN Mapping\n\n" + kAnyKey);
    c.Type(" ");
    // A loaded count beyond the table reads as full.
    Image().sHeader.wSanMapCount = 600;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nMaximum SAN LUN Mapping count reached (512)\n\n" + kAnyKey);
}

const std::string kEditorHead =
    Title("Create SAN LUN Mapping Configuration Menu", "1-4-2-1-1-1") +
    "The following logical drives are available for mapping.\n"
    "(E) indicates available for a new mapping, no mapping exist\n"
    "    for this logical drive.\n"
    "(S) indicates that another mapping exist for this logical drive\n"
    "    however another mapping can be made but it will be seen by \n"
    "    multiple hosts.\n\n"
    "Note: Read only logical drives requires OS support.\n";

// The whole road of one mapping: name, node and port names typed in, the
// list of 23 logical drives, one drive placed at LUN 5 through controller 0
// port 0, then completed without a controller LUN.
TEST_F(SanLunMenus, DialogueBuildsOneMappingAndRefusesBadAnswersInPlace) {
    MakeLds(23);
    Image().asLd[4].bSanMapState = fw::SAN_MAP_NAMED;
    Image().asLd[6].bSanMapState = fw::SAN_MAP_UNAVAILABLE;
    Image().asLd[7].bLdUseFlags = 1;
    Open();
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + Title("Create SAN LUN Mapping Configuration Menu", "1-4-2") +
                                "\nEnter a name for this mapping (1 to 32 characters): ");
    EXPECT_EQ(c.Enter("Host A"), "Host A\r" + Title("SAN LUN Mapping Configuration Menu", "1-4-2-1") +
                                     "\nSelect Node/Port Name\n\n1.  Enter Manually\n\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Create SAN LUN Mapping Configuration Menu", "1-4-2-1-1") +
                                "\nEnter Node Name (8 bytes hexadecimal): ");
    EXPECT_EQ(c.Enter("2000001b32e00001"), "2000001b32e00001\r\nEnter Port Name (8 bytes hexadecimal): ");
    const std::string sList = "000(E), 001(E), 002(E), 003(E), 004(S), 005(E), 008(E), 009(E), 010(E), 011(E),\n"
                              "012(E), 013(E), 014(E), 015(E), 016(E), 017(E), 018(E), 019(E), 020(E), 021(E),\n"
                              "022(E)\n";
    EXPECT_EQ(c.Enter("2100001b32e00001"), "2100001b32e00001\r" + kEditorHead + sList + kAskDrive);
    EXPECT_EQ(Image().sHeader.wSanMapCount, 0);
    // Numbers beyond the logical drives (whatever bits they carry), a drive
    // kept out of mappings or for internal use, E before a LUN: refused.
    for (const char* psz : {"23", "1025", "16385", "65537", "6", "7", "E", "x", "S", "Sx", "S0070", "-1"}) {
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r" + kErase + kAskDrive) << psz;
    }
    EXPECT_EQ(c.Enter("1"), "1\r" + AskPort("0", "0"));
    EXPECT_EQ(c.Enter("maybe"), "maybe\r" + kErase + AskPort("0", "0", '\r'));
    EXPECT_EQ(c.Enter("y"), "y\r" + AskPort("0", "1"));
    EXPECT_EQ(c.Enter("N"), "N\r" + AskPort("1", "0"));
    EXPECT_EQ(c.Enter("n"), "n\r" + AskPort("1", "1"));
    EXPECT_EQ(c.Enter("N"), "N\r" + kAskReadOnly);
    EXPECT_EQ(c.Enter(""), "\r" + kAskLun);
    const std::string sAgain = kErase + "\rEnter LUN Number to present this logical drive to the host                : ";
    EXPECT_EQ(c.Enter("512"), "512\r" + sAgain);
    EXPECT_EQ(c.Enter("5"), "5\r\n" + kAnyKey);
    EXPECT_EQ(Entry(0).awLunMap[5], 0x4001);
    // Marked as mapped only once the mapping is counted.
    EXPECT_EQ(Image().asLd[1].bSanMapState, 0);
    // The editor again without logical drive 1; Q no longer ends it.
    const std::string sShown = c.Type(" ");
    EXPECT_NE(sShown.find("000(E), 002(E)"), std::string::npos) << sShown;
    EXPECT_EQ(sShown.substr(sShown.size() - kAskNext.size()), kAskNext);
    EXPECT_EQ(c.Enter("Q"), "Q\r" + kErase + kAskNext);
    EXPECT_EQ(c.Enter("1"), "1\r" + kErase + kAskNext);
    c.Enter("2");
    for (const char* psz : {"", "", "", "", "Y"}) c.Enter(psz);
    EXPECT_EQ(c.Enter("5"), "5\r" + sAgain);
    c.Enter("6");
    c.Type(" ");
    EXPECT_EQ(c.Enter("e"), "e\r" + kAskControllerLun);
    const std::string sControllerAgain =
        kErase + "\rEnter the LUN number to present as a Controller LUN \n"
                 "to the host or enter <D> to disable.                                      : ";
    EXPECT_EQ(c.Enter("6"), "6\r" + sControllerAgain);
    EXPECT_EQ(c.Enter("DD"), "DD\r" + sControllerAgain);
    EXPECT_EQ(c.Enter("d"), "d\r\n\nSAN LUN Mapping Added\n" + kAnyKey);
    // One mapping is still "Mapping".
    EXPECT_EQ(c.Type(" "), kFcMenu);
    const fw::SAN_LUN_MAP_ENTRY& s = Entry(0);
    EXPECT_EQ(Image().sHeader.wSanMapCount, 1);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(std::string(s.acMapName, 32), "Host A" + std::string(26, ' '));
    const uint8_t abNode[8] = {0x20, 0, 0, 0x1b, 0x32, 0xe0, 0, 1};
    const uint8_t abPort[8] = {0x21, 0, 0, 0x1b, 0x32, 0xe0, 0, 1};
    EXPECT_EQ(std::memcmp(s.abNodeWwn, abNode, 8), 0);
    EXPECT_EQ(std::memcmp(s.abPortWwn, abPort, 8), 0);
    EXPECT_EQ(s.awLunMap[6], 0x7802 | 0x8000);
    EXPECT_EQ(Image().asLd[1].bSanMapState, fw::SAN_MAP_NAMED);
    EXPECT_EQ(Image().asLd[2].bSanMapState, fw::SAN_MAP_NAMED);
    EXPECT_EQ(Image().asLd[0].bSanMapState, 0);
    EXPECT_EQ(s.wMapControllerLun, 0xFFFF);
    EXPECT_EQ(s.bHostType, 1);
    int iWords = 0;
    for (uint16_t w : s.awLunMap) iWords += w != 0xFFFF;
    EXPECT_EQ(iWords, 2);
}

// S and one to three digits name a snapshot logical drive.
TEST_F(SanLunMenus, SnapshotLogicalDrivesAreTypedWithS) {
    MakeLds(2);
    Image().asVirtualLd[7].abData[0] |= 1;
    Image().asLd[7].bSanMapState = 0;
    uint16_t wMapping = 0;
    for (const char* psz : {"S7", "s07", "S007"}) {
        StartMapping(std::string("Snap ") + psz, "2000001b32e00001", "210000000000000" + std::to_string(wMapping));
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r" + AskPort("0", "0")) << psz;
        for (const char* pszAnswer : {"", "", "", "", "", "9"}) c.Enter(pszAnswer);
        EXPECT_EQ(Entry(wMapping).awLunMap[9], 0x7C07) << psz;
        // Placed once, it is refused the second time.
        c.Type(" ");
        EXPECT_EQ(c.Enter("S7"), "S7\r" + kErase + kAskNext);
        c.Enter("E");
        c.Enter("D");
        c.Type(" ");
        ASSERT_EQ(Image().sHeader.wSanMapCount, ++wMapping);
    }
    // A snapshot word's number never marks a logical drive record.
    EXPECT_EQ(Image().asLd[7].bSanMapState, 0);
}

// Refused names and initiators: the mapping is not counted and the image
// keeps what it had.
TEST_F(SanLunMenus, DuplicatesAndBadInitiatorsAreRefused) {
    MakeLds(3);
    MapOneDrive("First", "2100001b32e00001", "0", "0");
    ASSERT_EQ(Image().sHeader.wSanMapCount, 1);
    fw::SetConfigModified(fw::FALSE);

    c.Enter("2");
    EXPECT_EQ(c.Enter("First"), "First\r\nDuplicate SAN LUN Mapping Name\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter(std::string(33, 'n')), std::string(33, 'n') + "\r\nInvalid selection\n\n" + kAnyKey);
    struct Case {
        const char* pszNode;
        const char* pszPort;
        const char* pszResult;
    };
    const Case aCases[] = {
        {"0000000000000000", nullptr, "\nInvalid Node Name Selection\n\n"},
        {"ffffffffffffffff", nullptr, "\nInvalid Node Name Selection\n\n"},
        {"2000001b32e0000100", nullptr, "\nInvalid Node Name Selection\n\n"},
        {"2000001b32e001", nullptr, nullptr},   // seven bytes: see below
        {"2000001b32e00002", "zz", "\nInvalid Port Name Selection\n\n"},
        {"2000001b32e00002", "2100001b32e00001", "\nA mapping to the Port Name already exist\n\n"},
    };
    for (const Case& k : aCases) {
        c.Type(" ");
        c.Enter("2");
        c.Enter("Second");
        c.Enter("1");
        std::string sLast = c.Enter(k.pszNode);
        if (k.pszPort != nullptr) sLast = c.Enter(k.pszPort);
        if (std::string(k.pszNode) == "2000001b32e001") {
            // Fewer bytes than eight are the low end of the name.
            EXPECT_EQ(sLast, "2000001b32e001\r\nEnter Port Name (8 bytes hexadecimal): ");
            EXPECT_EQ(Entry(1).abNodeWwn[0], 0);
            EXPECT_EQ(Entry(1).abNodeWwn[1], 0x20);
            EXPECT_EQ(Entry(1).abNodeWwn[7], 0x01);
            sLast = c.Enter("0");
            EXPECT_EQ(sLast, "0\r\nInvalid Port Name Selection\n\n" + kAnyKey);
            continue;
        }
        EXPECT_EQ(sLast.substr(sLast.find('\r') + 1), k.pszResult + kAnyKey) << k.pszNode;
    }
    c.Type(" ");
    EXPECT_EQ(Image().sHeader.wSanMapCount, 1);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(Image().asLd[1].bSanMapState, 0);
}

// Quit before any LUN: nothing counted, nothing marked, nothing modified.
TEST_F(SanLunMenus, QuitBeforeAnyLunAddsNothing) {
    MakeLds(3);
    StartMapping("Quit", "2000001b32e00001", "2100001b32e00001");
    EXPECT_EQ(c.Enter("Q"), "Q\r\n\nNo SAN LUN Mapping Added\n" + kAnyKey);
    EXPECT_EQ(Image().sHeader.wSanMapCount, 0);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(c.Type(" "), kFcMenu);
}

TEST_F(SanLunMenus, DeleteAndRenameAMapping) {
    Open();
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\nNo Configured SAN LUN Mappings to Delete\n\n" + kAnyKey);
    c.Type(" ");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\nNo Configured SAN LUN Mappings to Modify\n\n" + kAnyKey);
    c.Type(" ");
    MakeLds(3);
    for (const char* pszName : {"One", "Two"}) {
        const std::string sPort = std::string("21000000000000") + (pszName[0] == 'O' ? "01" : "02");
        MapOneDrive(pszName, sPort, "1", "1");
    }
    ASSERT_EQ(Image().sHeader.wSanMapCount, 2);
    fw::SetConfigModified(fw::FALSE);
    const std::string sModify = Title("Modify SAN LUN Mapping Configuration Menu", "1-4-4");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + sModify + "\nSelect SAN LUN Mapping to Modify (0..1): ");
    const std::string sName = Title("Modify SAN LUN Mapping Configuration Menu", "1-4-4-1") +
                              "\nCurrent SAN LUN Mapping Name          : One" + std::string(29, ' ') +
                              "\nNew Name (Max 32 chars, <CR> for same): ";
    EXPECT_EQ(c.Enter("0"), "0\r" + sName);
    EXPECT_EQ(c.Enter(""), "\r\nNo change to SAN LUN Mapping\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("4");
    c.Enter("0");
    EXPECT_EQ(c.Enter("Two"), "Two\r\nDuplicate SAN LUN Mapping Name\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("4");
    EXPECT_EQ(c.Enter("2"), "2\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("4");
    c.Enter("0");
    EXPECT_EQ(c.Enter("Uno"), "Uno\r\nSAN LUN Mapping 000 Modified\n\n" + kAnyKey);
    EXPECT_EQ(std::string(Entry(0).acMapName, 3), "Uno");
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);

    c.Type(" ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + Title("Delete SAN LUN Mapping Configuration Menu", "1-4-3") +
                                "\nSelect SAN LUN Mapping to Delete (0..1): ");
    EXPECT_EQ(c.Enter("0"), "0\rConfirm Deletion of SAN LUN Mapping 000 (Y or N): ");
    EXPECT_EQ(c.Enter("N"), "N\r\nNo change to SAN LUN Mappings\n\n" + kAnyKey);
    EXPECT_EQ(Image().sHeader.wSanMapCount, 2);
    c.Type(" ");
    c.Enter("3");
    c.Enter("0");
    EXPECT_EQ(c.Enter("Y"), "Y\r\nDeleting SAN LUN Mapping 000\n\n" + kAnyKey);
    EXPECT_EQ(Image().sHeader.wSanMapCount, 1);
    EXPECT_EQ(std::string(Entry(0).acMapName, 3), "Two");
    // Logical drive 1 is still named by the mapping left.
    EXPECT_EQ(Image().asLd[1].bSanMapState, fw::SAN_MAP_NAMED);
    c.Type(" ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + Title("Delete SAN LUN Mapping Configuration Menu", "1-4-3") +
                                "\nSelect SAN LUN Mapping to Delete (0): ");
}

// A loaded count beyond the table: the menus show and delete within it.
TEST_F(SanLunMenus, LoadedCountBeyondTheTableStaysInside) {
    MakeLds(1);
    Image().sHeader.wSanMapCount = 0xFFFF;
    Entry(511).awLunMap[0] = 0x7FFF;
    Entry(511).wMapControllerLun = 0x9999;
    const std::string sMenu = Open();
    EXPECT_NE(sMenu.find("1.  View SAN LUN Mappings\n"), std::string::npos);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + Title("Delete SAN LUN Mapping Configuration Menu", "1-4-3") +
                                "\nSelect SAN LUN Mapping to Delete (0..511): ");
    c.Enter("511");
    EXPECT_EQ(c.Enter("Y"), "Y\r\nDeleting SAN LUN Mapping 511\n\n" + kAnyKey);
    EXPECT_EQ(Image().sHeader.wSanMapCount, 511);
}

}  // namespace
