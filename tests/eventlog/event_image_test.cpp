// Event log images: filters, oldest-first order over a wrapped log, the
// NVRAM option rules, upload marking and the partner counts cache.
#include <gtest/gtest.h>

#include <vector>

#include "config/nvram_layout.h"
#include "eventlog/event_image.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sim/board.h"
#include "harness/calendar.h"

namespace {

constexpr fw::DATE_TIME NOW = harness::kTestNow;

class EventImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        harness::PrepareInterruptsAndCalendar(NOW);
        fw::ValidateNvram();
    }
    std::vector<uint8_t> Codes() const {
        std::vector<uint8_t> ab;
        for (uint16_t i = 0; i < s_sImage.wCount; ++i) ab.push_back(s_sImage.asEntries[i].bCode);
        return ab;
    }
    static fw::EVENT_LOG_MIRROR s_sImage;
    sim::Board board;
};
fw::EVENT_LOG_MIRROR EventImageTest::s_sImage;

TEST_F(EventImageTest, FiltersChooseEntriesOldestFirst) {
    for (uint8_t b : {10, 21, 3, 47, 36, 98, 60}) fw::PostEvent(b);
    struct Case {
        uint8_t bFilter;
        std::vector<uint8_t> abCodes;
        uint16_t wNext;
    };
    const Case cases[] = {
        {fw::EVENT_FILTER_ALL, {10, 21, 3, 47, 36, 98, 60}, 7},
        {fw::EVENT_FILTER_LAST_50, {10, 21, 3, 47, 36, 98, 60}, 7},
        {fw::EVENT_FILTER_DRIVE, {10, 60}, 0},
        {fw::EVENT_FILTER_HOST, {21, 36}, 0},
        {fw::EVENT_FILTER_ENVIRONMENT, {3, 98}, 0},
        {99, {10, 21, 3, 47, 36, 98, 60}, 0},
    };
    for (const Case& c : cases) {
        fw::CopyOwnEventLog(c.bFilter, &s_sImage, 0, 0, fw::FALSE);
        EXPECT_EQ(Codes(), c.abCodes) << "filter " << int(c.bFilter);
        EXPECT_EQ(s_sImage.wNext, c.wNext) << "filter " << int(c.bFilter);
        EXPECT_EQ(s_sImage.dByteCount, 16u + 24 * c.abCodes.size());
    }
}

TEST_F(EventImageTest, NewestFilterAndNewEventsCount) {
    for (int i = 0; i < 60; ++i) fw::PostEvent(27, uint8_t(i));
    fw::CopyOwnEventLog(fw::EVENT_FILTER_DRIVE, &s_sImage, 0, 0, fw::FALSE);
    EXPECT_EQ(fw::wGetEventsPostedCount(), 60);   // filter 5 leaves it
    fw::CopyOwnEventLog(fw::EVENT_FILTER_LAST_50, &s_sImage, 0, 0, fw::FALSE);
    EXPECT_EQ(s_sImage.wCount, 50);
    EXPECT_EQ(s_sImage.asEntries[0].abArgs[0], 10);
    EXPECT_EQ(fw::wGetEventsPostedCount(), 0);
    fw::PostEvent(27, 200);
    fw::PostEvent(27, 201);
    fw::CopyOwnEventLog(fw::EVENT_FILTER_NEW, &s_sImage, 0, 0, fw::FALSE);
    ASSERT_EQ(s_sImage.wCount, 2);
    EXPECT_EQ(s_sImage.asEntries[0].abArgs[0], 200);
}

TEST_F(EventImageTest, TimeFiltersKeepOnlyPastWindow) {
    const fw::DATE_TIME times[] = {
        {2026, 12, 5, 7, 10, 20, 30},   // two days ago
        {2026, 12, 7, 2, 8, 20, 30},    // two hours ago
        {2026, 12, 7, 2, 10, 0, 30},    // twenty minutes ago
        {2026, 12, 7, 2, 11, 0, 0},     // in the future
        {0, 0, 0, 0, 0, 0, 0},          // invalid
    };
    for (const fw::DATE_TIME& s : times) {
        harness::SetCalendar(s);
        fw::PostEvent(27);
    }
    harness::SetCalendar(NOW);
    fw::CopyOwnEventLog(fw::EVENT_FILTER_LAST_HOUR, &s_sImage, 0, 0, fw::FALSE);
    EXPECT_EQ(s_sImage.wCount, 1);
    fw::CopyOwnEventLog(fw::EVENT_FILTER_LAST_DAY, &s_sImage, 0, 0, fw::FALSE);
    EXPECT_EQ(s_sImage.wCount, 2);
    fw::CopyOwnEventLog(fw::EVENT_FILTER_ALL, &s_sImage, 0, 0, fw::FALSE);
    EXPECT_EQ(s_sImage.wCount, 5);
}

TEST_F(EventImageTest, NvramOptionsHideLoopEvents) {
    const uint8_t abPosted[][2] = {{21, 0}, {22, 0}, {36, 2}, {36, 1}, {16, 0}};
    for (const auto& ab : abPosted) fw::PostEvent(ab[0], ab[1]);
    fw::NvramWrite8(NVRAM_OFFSET(bNvramOptions), 0x02);
    fw::ResetBoardStateWords();   // bring-up takes its copy of the option bits
    fw::CopyOwnEventLog(fw::EVENT_FILTER_HOST, &s_sImage, 0, 0, fw::FALSE);
    EXPECT_EQ(Codes(), (std::vector<uint8_t>{21, 36}));
}

TEST_F(EventImageTest, WrappedLogStartsAtNextIndex) {
    for (uint32_t i = 0; i < fw::EVENT_LOG_ENTRIES + 5; ++i) fw::PostEvent(27, uint8_t(i), uint8_t(i >> 8));
    fw::CopyOwnEventLog(fw::EVENT_FILTER_ALL, &s_sImage, 0, 0, fw::FALSE);
    ASSERT_EQ(s_sImage.wCount, 4096);
    EXPECT_EQ(s_sImage.wNext, 5);
    EXPECT_EQ(s_sImage.asEntries[0].abArgs[0], 5);                 // oldest kept
    EXPECT_EQ(s_sImage.asEntries[4095].abArgs[0], (4100) & 0xFF);  // newest
}

TEST_F(EventImageTest, UploadMarksOnlyEntriesInsideTheWindow) {
    for (int i = 0; i < 3; ++i) fw::PostEvent(27, uint8_t(i));
    for (bool fMirror : {false, true}) {
        if (fMirror) {
            fw::SetSystemMemorySize(board.config().memorySize);
            fw::InitBufferPages();
            fw::AllocateEventLogMirror();
        }
        for (uint16_t i = 0; i < 3; ++i) fw::NvramWrite8(0x410 + 24 * i + 8, 0);
        if (fMirror) {
            for (auto& s : fw::psGetEventLogMirror()->asEntries) s.bStatus = 0;
        }
        // Offset 0 and length 40 carry the status byte of the first entry only.
        fw::CopyOwnEventLog(fw::EVENT_FILTER_ALL, &s_sImage, 0, 40, fw::TRUE);
        EXPECT_EQ(fw::psGetEventLogEntry(0)->bStatus, fw::EVENT_STATUS_REPORTED) << fMirror;
        EXPECT_EQ(fw::psGetEventLogEntry(1)->bStatus, 0) << fMirror;
        EXPECT_EQ(s_sImage.asEntries[0].bStatus, 0) << fMirror;   // as it was before marking
        if (fMirror) {
            EXPECT_EQ(fw::psGetEventLogMirror()->asEntries[0].bStatus, fw::EVENT_STATUS_REPORTED);
            EXPECT_EQ(fw::psGetEventLogMirror()->asEntries[1].bStatus, 0);
        }
        // Without the mark flag nothing changes.
        fw::CopyOwnEventLog(fw::EVENT_FILTER_ALL, &s_sImage, 0, 1000, fw::FALSE);
        EXPECT_EQ(fw::psGetEventLogEntry(2)->bStatus, 0) << fMirror;
    }
}

TEST_F(EventImageTest, ForeignLogWithBadHeaderCopiesNothing) {
    static uint8_t s_abLog[sizeof(fw::EVENT_LOG_HEADER) + 24 * 4096];
    s_abLog[0] = 0xFF;   // count A 0xFFFF
    s_abLog[1] = 0xFF;
    s_abLog[8] = fw::EVENT_COPY_A;
    fw::CopyEventLogEntries(s_abLog, &s_sImage, fw::EVENT_FILTER_ALL, 0, 0, fw::TRUE);
    EXPECT_EQ(s_sImage.wCount, 0);
}

}  // namespace
