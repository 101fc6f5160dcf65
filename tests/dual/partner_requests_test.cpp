// What one controller reads out of or asks of the other: its information,
// event log and statistics shown on this controller's console, the clear
// of its event log, its date and time, a reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/date_time.h"
#include "harness/dual_pair.h"
#include "harness/main_loop_call.h"
#include "partner/partner_link.h"
#include "hw/addresses.h"

namespace fw_b {
// The second build's own record: the same layout under its namespace.
struct DATE_TIME;
uint16_t wGetEventLogCount();
uint16_t wGetEventsPostedCount();
void ResetEventsPostedCount();
void PostEvent(uint8_t bCode, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
               uint8_t b7, uint8_t b8, uint8_t b9, uint8_t b10, uint8_t b11, uint8_t b12, uint8_t b13);
using fw::EVENT_LOG_ENTRY;
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
uint8_t GetDateTime(DATE_TIME* psDateTime);
uint8_t fIsShutdownPending();
uint8_t fIsDualControllerActive();
void GetNvramControllerWwn(uint8_t* pbWwn);
using fw::DRIVE_INFO_LIST;
DRIVE_INFO_LIST* pGetDriveInfoList();
uint8_t fGetDriveFirmwareDownloadPartnerSync();
uint8_t fIsDriveFirmwareDownloadInProgress();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

class PartnerRequests : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override { ASSERT_TRUE(Boot()) << Consoles(); }
    // Keys typed on controller 0's console, each given time to be served
    // (a partner's answer included); what the console printed meanwhile.
    std::string TypeOnA(std::initializer_list<const char*> keys) {
        a->board.ClearConsoleText();
        for (const char* psz : keys) {
            a->board.TypeKeys(psz);
            RunUntil(nullptr, 200 * kMs);
        }
        return a->board.ConsoleText();
    }
};

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Controller 1's log differs from controller 0's, and its new events from
// all of them: three "Resync Started" posted there since its log was last
// listed, seven on controller 0.  Controller 1's menu shows its counts, and its views its events.
TEST_F(PartnerRequests, ThePartnersEventLogIsCountedListedAndCleared) {
    harness::OnMainLoop(b->board, [] {
        fw_b::ResetEventsPostedCount();
        for (int i = 0; i < 3; ++i) fw_b::PostEvent(44, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    });
    // Controller 0's own log is longer by then.
    harness::OnMainLoop(a->board, [] {
        for (int i = 0; i < 7; ++i) fw::PostEvent(44);
    });
    const uint16_t wEvents = fw_b::wGetEventLogCount();
    ASSERT_EQ(fw_b::wGetEventsPostedCount(), 3);
    ASSERT_GT(wEvents, 5);
    ASSERT_NE(fw::wGetEventLogCount(), wEvents);
    ASSERT_NE(fw::wGetEventsPostedCount(), 3);
    // Event Log Menu, Controller 1: its counts come from the partner.
    const std::string sMenu = TypeOnA({"\x05", "5\r", "2\r"});
    EXPECT_TRUE(Has(sMenu, "Controller 1 Event Log Menu")) << sMenu;
    EXPECT_TRUE(Has(sMenu, "1.  View All Events (" + std::to_string(wEvents) + ")")) << sMenu;
    EXPECT_TRUE(Has(sMenu, "2.  View New Events (3)")) << sMenu;
    // Its new events are the three, and nothing from its start of day.
    const std::string sNew = TypeOnA({"2\r"});
    EXPECT_EQ(Occurrences(sNew, "Resync Started"), 3u) << sNew;
    EXPECT_FALSE(Has(sNew, "Controller Powered On")) << sNew;
    // The listing holds the partner's start-of-day events (42: the partner
    // joined it, seen from controller 1's side as controller 0) and the three.
    const std::string sList = TypeOnA({" ", "1\r"});
    EXPECT_FALSE(Has(sList, "Error getting other controller event log")) << sList;
    EXPECT_TRUE(Has(sList, "Controller Powered On")) << sList;
    EXPECT_EQ(Occurrences(sList, "Resync Started"), 3u) << sList;
    const std::string sCleared = TypeOnA({" ", "10\r"});
    EXPECT_TRUE(Has(sCleared, "Other Controller Event Log Cleared")) << sCleared;
    EXPECT_LT(fw_b::wGetEventLogCount(), 2);
}

TEST_F(PartnerRequests, ThePartnersInformationAndStatisticsAreShown) {
    const std::string sInfo = TypeOnA({"\x05", "3\r", "2\r"});
    EXPECT_FALSE(Has(sInfo, "Error getting other controller information")) << sInfo;
    // The record is controller 1's own: its WWN, not this one's.
    uint8_t abWwn[8];
    fw_b::GetNvramControllerWwn(abWwn);
    char acLine[64];
    std::snprintf(acLine, sizeof acLine, "Controller WWN : %02x%02x%02x%02x%02x%02x%02x%02x", abWwn[0], abWwn[1],
                  abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6], abWwn[7]);
    EXPECT_TRUE(Has(sInfo, "Controller 1 Information:")) << sInfo;
    EXPECT_TRUE(Has(sInfo, acLine)) << acLine << "\n" << sInfo;
    const std::string sStats = TypeOnA({" ", "0\r", "4\r", "2\r", "1\r"});
    EXPECT_TRUE(Has(sStats, "Controller 1 Statistics Menu")) << sStats;
    EXPECT_FALSE(Has(sStats, "Error getting other controller statistics")) << sStats;
}

TEST_F(PartnerRequests, ThePartnerTakesTheDateAndTime) {
    fw::DATE_TIME s{2031, 5, 6, 0, 7, 8, 9};
    s.bWeekday = fw::bGetWeekday(s.wYear, s.bMonth, s.bDay);
    fw::SendDateTimeToPartner(&s);
    fw::DATE_TIME t{};
    ASSERT_TRUE(RunUntil([&t] {
        fw_b::GetDateTime(reinterpret_cast<fw_b::DATE_TIME*>(&t));
        return t.wYear == 2031;
    }, 1000 * kMs)) << Consoles();
    EXPECT_EQ(t.bMonth, 5);
    EXPECT_EQ(t.bDay, 6);
    EXPECT_EQ(t.bHour, 7);
}

// Message 33: the event lands in the partner's log with its arguments.
TEST_F(PartnerRequests, AnEventSentToThePartnerIsPostedInItsLog) {
    uint16_t wCount = 0, wNext = 0;
    fw_b::GetEventLogPosition(&wCount, &wNext);
    fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(fw::PARTNER_MESSAGE_POST_EVENT);
    const uint8_t abMessage[6] = {28, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(s.abCdb + 2, abMessage, sizeof abMessage);
    uint16_t wSlot = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([wNext] {
        uint16_t wC = 0, wN = 0;
        fw_b::GetEventLogPosition(&wC, &wN);
        return wN != wNext;
    }, 1000 * kMs)) << Consoles();
    const fw::EVENT_LOG_ENTRY* ps = fw_b::psGetEventLogEntry(wNext);
    EXPECT_EQ(ps->bCode, 28);
    EXPECT_EQ(std::vector<uint8_t>(ps->abArgs, ps->abArgs + 5), std::vector<uint8_t>(abMessage + 1, abMessage + 6));
}

// Buffer id 7: the partner's drive table, as its message 142 carries it.
TEST_F(PartnerRequests, ThePartnersDriveTableIsReadOut) {
    constexpr uint32_t kPages = (fw::PARTNER_DRIVE_TABLE_BYTES + fw::BUFFER_PAGE_SIZE - 1) / fw::BUFFER_PAGE_SIZE;
    fw::BUFFER_HANDLE dPages = fw::NULL_BUFFER_HANDLE;
    ASSERT_EQ(fw::bAllocDataPages(0, kPages, &dPages), fw::STATUS_OK);
    const uint32_t dAddress = static_cast<uint32_t>(fw::dBufferHandleToPciAddress(dPages));
    uint8_t* pbGot = a->board.memory().Translate(dAddress, fw::PARTNER_DRIVE_TABLE_BYTES);
    ASSERT_NE(pbGot, nullptr);
    std::memset(pbGot, 0xA5, fw::PARTNER_DRIVE_TABLE_BYTES);
    fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(0);
    s.abCdb[0] = fw::PARTNER_OPCODE_READ_BUFFER;
    s.abCdb[2] = fw::PARTNER_BUFFER_ID_DRIVE_TABLE;
    fw::SetPartnerMessageDataIn(&s, fw::dBufferHandleToPciAddress(dPages), fw::PARTNER_DRIVE_TABLE_BYTES);
    uint16_t wSlot = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
    const sim::SasController& ioc = a->board.sasController();
    const uint32_t dAnswers = ioc.lastPartnerAnswer().count;
    ASSERT_TRUE(RunUntil([&] { return ioc.lastPartnerAnswer().count != dAnswers; }, 1000 * kMs));
    EXPECT_EQ(ioc.lastPartnerAnswer().status, 0);
    // The partner's table, read where its firmware keeps it.
    const fw_b::DRIVE_INFO_LIST* psTable = fw_b::pGetDriveInfoList();
    ASSERT_NE(psTable, nullptr);
    const uint32_t dTable = std::min<uint32_t>(sizeof(fw::DRIVE_INFO_LIST), fw::PARTNER_DRIVE_TABLE_BYTES);
    const uint8_t* pbTable = b->board.memory().Translate(b->board.memory().ProcessorAddressOf(psTable), dTable);
    if (pbTable == nullptr) pbTable = reinterpret_cast<const uint8_t*>(psTable);
    EXPECT_EQ(std::memcmp(pbGot, pbTable, dTable), 0);
    EXPECT_EQ(std::vector<uint8_t>(pbGot + dTable, pbGot + fw::PARTNER_DRIVE_TABLE_BYTES),
              std::vector<uint8_t>(fw::PARTNER_DRIVE_TABLE_BYTES - dTable, 0));
    (void)fw::wFreeDataPages(dPages, kPages);
}

// Message 153: the download state of a drive firmware download reaches the
// partner, which ties its own download flags to it; a state byte that is
// neither TRUE nor FALSE is refused.
TEST_F(PartnerRequests, TheDriveFirmwareDownloadStateReachesThePartner) {
    auto send = [&](uint8_t bState) {
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(153);
        const uint8_t abState[5] = {bState, 1, 0x7D, 0xFF, 0};
        std::memcpy(s.abCdb + 2, abState, sizeof abState);
        uint16_t wSlot = 0;
        EXPECT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        const sim::SasController& ioc = a->board.sasController();
        const uint32_t dAnswers = ioc.lastPartnerAnswer().count;
        EXPECT_TRUE(RunUntil([&] { return ioc.lastPartnerAnswer().count != dAnswers; }, 1000 * kMs));
        return ioc.lastPartnerAnswer();
    };
    EXPECT_EQ(send(fw::TRUE).status, 0);
    EXPECT_EQ(fw_b::fGetDriveFirmwareDownloadPartnerSync(), fw::TRUE);
    EXPECT_EQ(fw_b::fIsDriveFirmwareDownloadInProgress(), fw::TRUE);
    const sim::SasController::PartnerAnswer r = send(0x42);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.key, 5);
    EXPECT_EQ(fw_b::fGetDriveFirmwareDownloadPartnerSync(), fw::TRUE);
    EXPECT_EQ(send(fw::FALSE).status, 0);
    EXPECT_EQ(fw_b::fGetDriveFirmwareDownloadPartnerSync(), fw::FALSE);
    EXPECT_EQ(fw_b::fIsDriveFirmwareDownloadInProgress(), fw::FALSE);
}

// Message 191 asks the partner for message 192 back, which is taken here
// as 212 is: none of the three is refused.
TEST_F(PartnerRequests, AMessageAskingForAnAnswerGetsIt) {
    sim::SasController& iocA = a->board.sasController();
    const sim::SasController& iocB = b->board.sasController();
    std::vector<uint8_t> abSeenAtA;
    iocA.partnerCommandSeen = [&](const uint8_t* pbCdb) {
        if (pbCdb[0] == fw::PARTNER_TYPED_MESSAGE) abSeenAtA.push_back(pbCdb[1]);
    };
    auto send = [&](uint8_t bCode) {
        const fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(bCode);
        uint16_t wSlot = 0;
        EXPECT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);
        const uint32_t dAnswers = iocA.lastPartnerAnswer().count;
        EXPECT_TRUE(RunUntil([&] { return iocA.lastPartnerAnswer().count != dAnswers; }, 1000 * kMs));
        return iocA.lastPartnerAnswer().status;
    };
    const uint32_t dAnswersAtB = iocB.lastPartnerAnswer().count;
    EXPECT_EQ(send(191), 0);
    EXPECT_TRUE(RunUntil([&] { return iocB.lastPartnerAnswer().count != dAnswersAtB; }, 1000 * kMs));
    EXPECT_EQ(abSeenAtA, std::vector<uint8_t>{192});
    EXPECT_EQ(iocB.lastPartnerAnswer().status, 0);
    EXPECT_EQ(send(212), 0);
    iocA.partnerCommandSeen = nullptr;
}

// Message 147: the partner drains its journal, then restarts.
TEST_F(PartnerRequests, AResetAskedOfThePartnerRestartsItAfterItsJournalDrained) {
    ASSERT_EQ(fw::bSendResetToPartner(), fw::STATUS_OK);
    ASSERT_TRUE(RunUntil([] { return fw_b::fIsShutdownPending() == fw::TRUE; }, 1000 * kMs)) << Consoles();
    RunUntil([this] { return b->board.lastStop() != sim::StopKind::Running; }, 20'000 * kMs);
    EXPECT_EQ(b->board.lastStop(), sim::StopKind::Reset) << Consoles();
}

}  // namespace
