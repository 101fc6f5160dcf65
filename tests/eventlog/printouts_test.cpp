// The controller information and statistics dumps, of this controller and
// of a partner's record, and the negotiated-parameter and drive identifier
// printers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/host_port_tables.h"
#include "console/console_menu.h"
#include "dump_test_board.h"
#include "eventlog/drive_id.h"
#include "eventlog/info_dump.h"
#include "eventlog/negotiated_parameters.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_dump.h"
#include "eventlog/statistics_record.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "target/target_queue_management.h"

namespace {

using dumptest::Lines;

class PrintoutsTest : public dumptest::DumpTest {
protected:
    void SetUp() override {
        DumpTest::SetUp();
        fw::CopyBootParameterBlock();
    }
    // A partner's information record in the page the menu hands over.
    fw::CONTROLLER_INFO_RECORD* PartnerRecord() {
        EXPECT_EQ(fw::bAllocDataPages(0, 1, &m_dPage), fw::STATUS_OK);
        auto* ps = static_cast<fw::CONTROLLER_INFO_RECORD*>(fw::pBufferHandleToPointer(m_dPage));
        std::memset(ps, 0, sizeof *ps);
        return ps;
    }
    // A partner's statistics record in its 2050 pages.
    fw::STATISTICS_RECORD* PartnerStatistics() {
        EXPECT_EQ(fw::bAllocDataPages(0, 2050, &m_dPage), fw::STATUS_OK);
        auto* ps = static_cast<fw::STATISTICS_RECORD*>(fw::pBufferHandleToPointer(m_dPage));
        std::memset(ps, 0, sizeof *ps);
        fw::SetInfoDumpStatsBuffer(m_dPage);
        return ps;
    }
    std::string Printed(void (*pfn)()) {
        board.ClearConsoleText();
        pfn();
        return Lines(board.ConsoleText());
    }
    fw::BUFFER_HANDLE m_dPage{};
};

// ---- controller information ----

TEST_F(PrintoutsTest, OwnControllerInformation) {
    fw::SetDiagnosticsModeLevel(1);
    const std::string s = Dump(fw::DUMP_CONTROLLER_INFORMATION);
    for (const char* psz : {"Controller 0 Information:\n\nController Type: FC-SAS\n", "Build 0021 (G) Dunra\n",
                            "SAS F/W   Rev. : ", "Boot PROM Rev. : 0310\n\n", "Total Power on Count   : ",
                            "\nOnboard Temperature: N/A N/A N/A \n", "Controller Battery: ",
                            "Controller Memory  : ", "\nEnd Of Controller Information\n\n"}) {
        EXPECT_NE(s.find(psz), std::string::npos) << psz << "\n" << s;
    }
    EXPECT_EQ(fw::fGetInfoDumpRequest(), fw::FALSE);
}

TEST_F(PrintoutsTest, APartnersInformationRecord) {
    fw::CONTROLLER_INFO_RECORD* ps = PartnerRecord();
    std::memcpy(ps->acConfigName, "Partner", 7);
    const uint8_t abWwn[8] = {0x20, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(ps->abNvramWwn, abWwn, 8);
    std::memcpy(ps->abWwnInUse, abWwn, 8);
    ps->dStartCount = 12;
    ps->dNvramValue = 90061;
    ps->dTickTime = 3661;
    const fw::DATE_TIME sNow = harness::kTestNow;
    std::memcpy(ps->abDateTime, &sNow, sizeof sNow);
    ps->dGeneration = 0;
    ps->dFirmwareVersion = 0x03090021;
    std::memcpy(ps->acVersion, "0021", 4);
    std::memcpy(ps->acBuildDate, "Dec  7 2026", 11);
    std::memcpy(ps->acBuildTime, "10:20:30", 8);
    ps->abHostPort[0][0] = 0xF0;
    ps->abHostPort[1][0] = 0xF2;
    ps->abHostPort[1][1] = 0xFF;
    ps->abTemperature[1] = 41;
    std::memcpy(ps->acBootPromRevision, "0311", 4);
    ps->bBatteryCapacity = 50;
    ps->bHoldUpEstimate = 36;
    ps->wBank0Megabytes = 576;
    fw::SetInfoDumpInfoBuffer(m_dPage);
    const uint32_t dPages = fw::dGetPagesInUse(0);
    fw::SetDiagnosticsModeLevel(1);
    EXPECT_EQ(Dump(fw::DUMP_CONTROLLER_INFORMATION, fw::DUMP_STATE_PARTNER_RECORD),
              "Controller 1 Information:\n\n"
              "Controller Type: FC-SAS\n"
              "Controller WWN : 2000001122334455\n"
              "Config. WWN    : 2000001122334455\n"
              "Config. Name   : Partner" + std::string(57, ' ') + "\n"
              "Firmware Rev.  : 03.09 Build 0021  Dunra\n"
              "Firmware Date  : Dec  7 2026\n"
              "Firmware Time  : 10:20:30\n"
              "Boot PROM Rev. : 0311\n\n"
              "Total Power on Count   : 12\n"
              "Total Power on Time    : 001:01:01:01\n"
              "Current Power on Time  : 000:01:01:01\n"
              "Current Controller Time: Mon Dec 07 2026 10:20:30 \n"
              "Last Configuration Time: Mon Jan 01 2001 00:00:00 \n"
              "Host Loop 0 Status : Loop Down\n"
              "Host Loop 1 Status : Loop Up, 2Gbit ID: N/A\n"
              "\nOnboard Temperature: N/A 41C N/A \n"
              "Controller Battery: 50% Capacity, 36 Hours Hold-Up\n"
              "Controller Memory  : 576 MB\n"
              "\nEnd Of Controller Information\n\n");
    EXPECT_EQ(fw::dGetPagesInUse(0), dPages - 1) << "the record's page is given back";
}

TEST_F(PrintoutsTest, APartnerRecordNeverHandedOverEndsThePage) {
    fw::SetInfoDumpInfoBuffer(fw::NULL_BUFFER_HANDLE);
    EXPECT_EQ(Dump(fw::DUMP_CONTROLLER_INFORMATION, fw::DUMP_STATE_PARTNER_RECORD), "");
    EXPECT_EQ(fw::fGetInfoDumpRequest(), fw::FALSE);
}

// ---- statistics ----

TEST_F(PrintoutsTest, VolumesInSteps) {
    struct Case {
        uint64_t lBlocks;
        const char* pszVolume;
    };
    const Case cases[] = {
        {0, "0 MB"}, {1953, "< 1 MB"}, {1954, "1 MB"}, {1954ull * 10000, "10,000 MB"}, {1954ull * 20000, "20 GB"},
        {1954ull * 20000000000ull, "20 PB"},
    };
    for (const Case& c : cases) {
        fw::STATISTICS_RECORD* ps = PartnerStatistics();
        ps->sRead.lTotalBlocks = c.lBlocks;
        ps->sRead.lBlocksSinceReset = c.lBlocks;
        const std::string s = Dump(fw::STATISTICS_ACCESS, fw::DUMP_STATE_PARTNER_RECORD);
        EXPECT_NE(s.find(std::string("Total Read Transfer: ") + c.pszVolume + "\n"), std::string::npos) << s;
        EXPECT_NE(s.find(std::string("Total Read Transfer Since Reset: ") + c.pszVolume + "\n\n"), std::string::npos);
    }
}

TEST_F(PrintoutsTest, APartnersAccessStatistics) {
    fw::STATISTICS_RECORD* ps = PartnerStatistics();
    ps->sWrite.lTotalCommands = 1234567;
    ps->sWrite.lCommandsSinceReset = 1000;
    ps->sWrite.abAlignment[1] = 60;
    ps->sWrite.abAlignment[11] = fw::PERCENT_UNDER_ONE;
    ps->sWrite.abAccessSize[1] = 100;
    const uint32_t dPages = fw::dGetPagesInUse(0);
    EXPECT_EQ(Dump(fw::STATISTICS_ACCESS, fw::DUMP_STATE_PARTNER_RECORD),
              "Controller 1 Statistics\n\n"
              "Current Time    : 000:00:00:00 \n"
              "Time Since Reset: 000:00:00:00 \n"
              "\n\nRead Access Statistics:\n"
              "Total Read Commands: 0\nTotal Read Transfer: 0 MB\nTotal Read Commands Since Reset: 0\n"
              "Total Read Transfer Since Reset: 0 MB\n\n"
              "\n"
              "\n\nWrite Access Statistics:\n"
              "Total Write Commands: 1,234,567\nTotal Write Transfer: 0 MB\nTotal Write Commands Since Reset: 1,000\n"
              "Total Write Transfer Since Reset: 0 MB\n\n"
              "Alignment   4K   : 60%\n"
              "Alignment > 2M   : <1%\n"
              "\n"
              "Access Size     4K : 100%\n"
              "\nEnd Of Statistics\n\n");
    EXPECT_EQ(fw::dGetPagesInUse(0), dPages - 2050);
}

TEST_F(PrintoutsTest, APartnersRecordShowsNoneOfThisControllersCacheCounters) {
    fw::CountReadCacheHit(8);
    fw::STATISTICS_RECORD* ps = PartnerStatistics();
    ps->adEventCounters[fw::EVENT_COUNTER_INVALID_COMMAND] = 3;
    ps->adEventCounters[14] = 99;   // reserved: never shown
    const std::string s = Dump(fw::STATISTICS_ALL, fw::DUMP_STATE_PARTNER_RECORD);
    EXPECT_EQ(s.find("Read Cache Cmds"), std::string::npos);
    EXPECT_NE(s.find("\n\nMiscellaneous Statistics:\nInvalid Command          : 3\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("99"), std::string::npos);
    // This controller's own page shows them.
    EXPECT_NE(Dump(fw::STATISTICS_READ_AHEAD).find("Read Cache Cmds      : 1"), std::string::npos);
}

TEST_F(PrintoutsTest, LogicalDriveTitles) {
    struct Case {
        uint8_t bPort;
        const char* pszTitle;
    };
    const Case cases[] = {{0, "\n\n\nController 0 - LD 5 (both ports):\n"},
                          {1, "\n\n\nController 0 - LD 5 - Port 0:\n"},
                          {2, "\n\n\nController 0 - LD 5 - Port 1:\n"}};
    for (const Case& c : cases) {
        fw::SetInfoDumpStatsPort(c.bPort);
        fw::SetInfoDumpStatsLd(5);
        const std::string s = Dump(fw::STATISTICS_LD_ACCESS);
        EXPECT_EQ(s.substr(0, std::strlen(c.pszTitle)), c.pszTitle);
        EXPECT_EQ(s.find("Read-Ahead"), std::string::npos) << "access rows only";
    }
}

TEST_F(PrintoutsTest, AfterThreeRefusalsTheRecordComesWithoutItsLatencyTable) {
    std::vector<fw::BUFFER_HANDLE> adTaken;
    fw::BUFFER_HANDLE d{};
    // Room for small runs only.
    while (fw::bAllocDataPages(0, 1024, &d) == fw::STATUS_OK) adTaken.push_back(d);
    Request(fw::STATISTICS_LATENCY);
    board.ClearConsoleText();
    for (int i = 0; i < 3; ++i) fw::RunInfoDump();
    EXPECT_EQ(board.ConsoleText(), "");
    uint32_t dSteps = 0;
    const std::string s = RunDump(&dSteps);
    EXPECT_EQ(s.substr(0, 25), "Controller 0 Statistics\n\n");
    // Title, times, the latency state that finds no table, end.
    EXPECT_EQ(dSteps, 4u);
    for (fw::BUFFER_HANDLE h : adTaken) (void)fw::wFreeDataPages(h, 1024);
}

// Page 81 of a partner's extended record: a row for every (host, LUN)
// record of the table behind it that counted something, LUN by LUN, and
// nothing for the records that are all zero.
TEST_F(PrintoutsTest, TheLatencyPageListsEveryRecordThatCounted) {
    fw::STATISTICS_RECORD* ps = PartnerStatistics();
    auto* psTable = reinterpret_cast<fw::TQM_STATISTICS*>(reinterpret_cast<uint8_t*>(ps) + sizeof *ps);
    psTable->asHost[3].asLun[0].lAdmitted = 5;
    psTable->asHost[0x1FF].asLun[0].wWrites = 2;
    psTable->asHost[0x1FF].asLun[0].lAdmitted = 0x100000001ull;
    psTable->asHost[0].asLun[0x1FF].lRefused = 7;
    psTable->asHost[0].asLun[0x1FF].wReads = 1;
    psTable->asHost[9].asLun[0x1FF].wRefusedInARow = 4;   // not a count the page shows
    const std::string s = Dump(fw::STATISTICS_LATENCY, fw::DUMP_STATE_PARTNER_RECORD);
    const char* pszRows =
        "H003: L000: R0000 W0000 A0000000000000005 X0000000000000000 \n"
        "H1ff: L000: R0000 W0002 A0000000100000001 X0000000000000000 \n"
        "H000: L1ff: R0001 W0000 A0000000000000000 X0000000000000007 \n"
        "\nEnd Of Statistics\n\n";
    const size_t at = s.find("H003");
    ASSERT_NE(at, std::string::npos) << s;
    EXPECT_EQ(s.substr(at), pszRows);
}

// ---- negotiated parameters and drive identifiers ----

TEST_F(PrintoutsTest, NegotiatedParameters) {
    struct Case {
        uint32_t dWord;
        uint8_t fLong;
        const char* pszText;
    };
    const Case cases[] = {
        {0, fw::FALSE, "Asynchronous\n"},
        {(1u << 29) | 0x0800, fw::FALSE, "320 MB/s\n"},
        {0x0800, fw::FALSE, "160 MB/s\n"},
        {0x0D00, fw::FALSE, "Asynchronous\n"},
        {0, fw::TRUE, "No parameters negotiated or running at asynchronous speed.\n"},
        {0x0D00, fw::TRUE,
         "Current Data Rate For Last Accessed LUN  : 00 MB/sec.\nNo parameters negotiated or running at asynchronous "
         "speed.\n"},
        {0x00200A20, fw::TRUE,
         "Current Data Rate For Last Accessed LUN  : 40MB/sec on 8 Bit Narrow Bus\n"
         "Negotiated Synchronous Offset            : 20\n"
         "Asynchronous Information Protection (AIP): Disabled\n"
         "Pre-Compensation (PCOMP_EN)              : Disabled\n"
         "Retain Training Information (RTI)        : Disabled\n"
         "Read Streaming (RD_STRM)                 : Enabled\n"
         "Write Flow Control (WR_FLOW)             : Disabled\n"
         "Hold Margin Control Settings (HOLD_MCS)  : Disabled\n"
         "Quick Arbitrate and Select (QAS)         : Disabled\n"
         "Dual Transfers (DT)                      : Disabled\n"
         "Information Units (Packetized)           : Disabled\n"},
    };
    for (const Case& c : cases) {
        board.ClearConsoleText();
        fw::PrintNegotiatedParameters(c.dWord, c.fLong);
        EXPECT_EQ(Lines(board.ConsoleText()), c.pszText) << std::hex << c.dWord;
    }
}

TEST_F(PrintoutsTest, DriveIdentifiers) {
    const uint8_t abSerial[8] = {'Z', '1', 'X', '2', 'A', 'B', '3', '4'};
    const uint8_t abWwn[8] = {0x50, 0x00, 'A', 'B', 'C', 'D', 'E', 'F'};
    board.ClearConsoleText();
    fw::PrintDriveIdAndSlot(abSerial, fw::NO_DRIVE_POSITION);
    fw::PrintDriveIdAndSlot(abWwn, 0x43);
    EXPECT_EQ(Lines(board.ConsoleText()), "SN:Z1X2AB34 S:N/A WWN:5000414243444546 S:3:04 ");
}

}  // namespace
