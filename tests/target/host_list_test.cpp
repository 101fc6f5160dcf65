// The host list: the four login tables merged in column order, each host
// once, at most 512; its printout; and the drive loop identifier test of
// the management pages.
#include <cstring>
#include <string>

#include "config/drive_loop_tables.h"
#include "config/host_port_tables.h"
#include "executive/system_state.h"
#include "harness/config_test.h"
#include "hw/host_interface.h"
#include "target/host_list.h"

namespace {

using namespace fw;

struct Name {
    uint8_t ab[8];
};
Name NameOf(uint32_t d, uint8_t bKind) {
    return Name{{0x20, bKind, 0x00, 0xE0, static_cast<uint8_t>(d >> 24), static_cast<uint8_t>(d >> 16),
                 static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d)}};
}

class HostListTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        InitBoardState();
        AllocateHostPortRecords();
        AllocHostList();
    }
    // Column 0..3: host ports 1 and 2 of the controller in slot 1, then of
    // the one in slot 2.
    static HOST_PORT_RECORD* Table(uint8_t bColumn) {
        const bool fOwn = (bColumn < 2) == (fIsControllerSlot1() == TRUE);
        const uint8_t bPort = static_cast<uint8_t>(bColumn % 2 + 1);
        return fOwn ? pGetHostPortRecord(bPort) : pGetPartnerPortRecord(bPort);
    }
    static void Login(uint8_t bColumn, uint8_t bId, uint32_t dHost, uint8_t fFabric = FALSE) {
        HOST_PORT_RECORD* ps = Table(bColumn);
        HOST_INITIATOR& s = ps->asInitiator[ps->bInitiatorCount++];
        s.bId = bId;
        s.fFabric = fFabric;
        std::memcpy(s.abNodeName, NameOf(dHost, 0x00).ab, 8);
        std::memcpy(s.abPortName, NameOf(dHost, 0x01).ab, 8);
    }
    static std::string Ids(uint16_t wIndex) {
        const HOST_LIST_ENTRY& s = pGetHostList()->asEntry[wIndex];
        std::string sIds;
        for (uint8_t b : s.abId) sIds += b == HOST_NOT_LOGGED_IN ? std::string("-") : std::to_string(b);
        return sIds + (std::memcmp(s.abNodeName, NameOf(0, 0).ab, 4) == 0 ? "" : "?");
    }
};

// Each host once, listed by the first column it is logged in on, with its
// identifier in every column whose table names it.
TEST_F(HostListTest, OneEntryPerHostWithItsIdentifierOnEachPort) {
    Login(1, 5, 1);                       // only on this controller's port 2
    Login(0, 7, 2);                       // on both of this controller's ports
    Login(1, 9, 2);
    Login(2, 3, 3, TRUE);                 // on the partner's port 1 and this one's port 1
    Login(0, 4, 3);
    Login(3, 6, 4);                       // only on the partner's port 2
    BuildHostList();
    ASSERT_EQ(wGetHostListCount(), 4);
    EXPECT_EQ(Ids(0), "79--");
    EXPECT_EQ(Ids(1), "4-3-");
    EXPECT_EQ(Ids(2), "-5--");
    EXPECT_EQ(Ids(3), "---6");
    EXPECT_EQ(pGetHostList()->asEntry[1].afFabric[2], TRUE);
    EXPECT_EQ(pGetHostList()->asEntry[1].afFabric[0], FALSE);
    EXPECT_EQ(pGetHostList()->dHeaderSize, 8u);

    // Rebuilt, the same list; logged out everywhere, an empty one.
    HOST_LIST sBefore = *pGetHostList();
    BuildHostList();
    EXPECT_EQ(std::memcmp(&sBefore, pGetHostList(), sizeof sBefore), 0);
    for (uint8_t c = 0; c < 4; c++) Table(c)->bInitiatorCount = 0;
    BuildHostList();
    EXPECT_EQ(wGetHostListCount(), 0);
    EXPECT_EQ(pGetHostList()->asEntry[0].abId[0], HOST_NOT_LOGGED_IN);
}

// Only a host with both names in another table is the same host there.
TEST_F(HostListTest, AHostIsTheSameOnlyByBothItsNames) {
    Login(0, 7, 2);
    HOST_PORT_RECORD* ps = Table(1);
    HOST_INITIATOR& s = ps->asInitiator[ps->bInitiatorCount++];
    s.bId = 8;
    std::memcpy(s.abNodeName, NameOf(2, 0x00).ab, 8);
    std::memcpy(s.abPortName, NameOf(99, 0x01).ab, 8);
    BuildHostList();
    ASSERT_EQ(wGetHostListCount(), 2);
    EXPECT_EQ(Ids(0), "7---");
    EXPECT_EQ(Ids(1), "-8--");
}

// With a partner the four tables hold up to 1,020 logins: the list stops at
// 512 hosts, in column order.
TEST_F(HostListTest, NoMoreThanFiveHundredAndTwelveHosts) {
    for (uint8_t c = 0; c < 4; c++) {
        for (uint32_t i = 0; i < HOST_PORT_INITIATORS; i++) Login(c, static_cast<uint8_t>(i), c * 1000 + i);
    }
    BuildHostList();
    ASSERT_EQ(wGetHostListCount(), HOST_LIST_MAX);
    EXPECT_EQ(Ids(511), "--1-");
    EXPECT_EQ(pGetHostList()->asEntry[511].abNodeName[7], NameOf(2001, 0).ab[7]);
}

// On SAS hosts every tag is the login's fabric flag; a host whose node name
// is unset is counted but not printed.
TEST_F(HostListTest, PrintsOneLinePerHostUnderItsHeader) {
    SetHostInterfaceType(HOST_INTERFACE_SAS_TARGET);
    Login(0, 12, 0x01020304, TRUE);
    Login(3, 130, 0x01020304);
    Login(1, 2, 0);
    std::memset(Table(1)->asInitiator[0].abNodeName, 0, 8);
    BuildHostList();
    ASSERT_EQ(wGetHostListCount(), 2);
    board.ClearConsoleText();
    PrintHostList();
    EXPECT_EQ(bPrintHostListEntry(1), 0);
    EXPECT_EQ(bPrintHostListEntry(2), 0);
    EXPECT_EQ(board.ConsoleText(),
              "\r\n"
              "No. SAS Address      C0P0     C0P1     C1P0     C1P1\r\n" +
                  std::string(56, '-') +
                  "\r\n"
                  "000 200000e001020304 012(F-P) -------- -------- 130(  P)\r\n");
}

TEST_F(HostListTest, DriveLoopIdentifiersAreAskedOfTheirLoop) {
    AllocateDriveLoopTables();
    LOOP_DEVICE_TABLE* ps = pGetDriveLoopTable(4);
    ps->asEntry[3].bLoopId = 17;
    struct Case {
        uint8_t bLoopId;
        uint8_t fPresent;
    };
    const Case cases[] = {{0x80 | 17, TRUE}, {17, FALSE}, {0x80 | 18, FALSE}, {0x80 | 126, FALSE}, {126, FALSE}};
    for (const Case& c : cases) EXPECT_EQ(fIsDriveLoopIdPresent(c.bLoopId), c.fPresent) << int(c.bLoopId);
}

// On the controller in slot 2 the partner's tables are the first columns.
TEST_F(HostListTest, InSlotTwoThePartnersPortsComeFirst) {
    Login(0, 7, 2);   // this controller's port 1
    Login(2, 8, 3);   // the partner's port 1
    board.fpga().SetSlot1(false);
    InitBoardState();
    ASSERT_EQ(fIsControllerSlot1(), FALSE);
    BuildHostList();
    ASSERT_EQ(wGetHostListCount(), 2);
    EXPECT_EQ(Ids(0), "8---");
    EXPECT_EQ(Ids(1), "--7-");
}

}  // namespace
