// The sorted timer list (firing order, equal expiries, nothing early) and the
// completion-callback pool with its growth by buffer pages.
#include <gtest/gtest.h>

#include <vector>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "sim/board.h"

namespace {

using fw::KERNEL_ENTRY;

std::vector<KERNEL_ENTRY*> g_fired;
void Record(KERNEL_ENTRY* psOwner, fw::TIMER_NODE* psNode) {
    EXPECT_EQ(psNode, &psOwner->sTimer);
    EXPECT_EQ(fw::fIsTimerArmed(psNode), fw::FALSE);
    g_fired.push_back(psOwner);
}

class TimersTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw::InitKernelEntryPool();
        fw::InitTimerList();
        fw::InitCallbackPool();
        fw::SetSystemMemorySize(board.config().memorySize);
        fw::InitBufferPages();
        g_fired.clear();
    }
    static KERNEL_ENTRY* Entry(uint32_t d) {
        KERNEL_ENTRY* ps;
        fw::GetKernelEntryAddress(d, &ps);
        return ps;
    }
    static void Advance(uint32_t dMs) {
        for (uint32_t d = 0; d < dMs; d++) fw::SystemTickHandler();
    }
    sim::Board board;
};

TEST_F(TimersTest, TimersFireInExpiryOrder) {
    struct Case {
        const char* pszWhat;
        std::vector<std::pair<uint32_t, uint32_t>> arm;  // (entry, delay)
        std::vector<uint32_t> order;
    };
    const Case cases[] = {
        {"growing and shrinking delays", {{1, 30}, {2, 10}, {3, 20}}, {2, 3, 1}},
        {"equal to the head: the last armed first", {{1, 10}, {2, 10}, {3, 10}}, {3, 2, 1}},
        {"equal behind the head: arming order", {{1, 5}, {2, 20}, {3, 20}, {4, 20}}, {1, 2, 3, 4}},
        {"between others", {{1, 5}, {2, 40}, {3, 20}, {4, 30}, {5, 20}}, {1, 3, 5, 4, 2}},
        {"armed again before it fired: moved, fires once", {{1, 30}, {2, 10}, {1, 5}}, {1, 2}},
    };
    for (const Case& c : cases) {
        g_fired.clear();
        for (auto [dEntry, dDelay] : c.arm) fw::InsertTimer(Entry(dEntry), Record, dDelay);
        Advance(50);
        fw::RunExpiredTimers();
        std::vector<KERNEL_ENTRY*> expected;
        for (uint32_t d : c.order) expected.push_back(Entry(d));
        EXPECT_EQ(g_fired, expected) << c.pszWhat;
    }
}

TEST_F(TimersTest, NothingFiresBeforeItsTime) {
    fw::InsertTimer(Entry(1), Record, 10);
    fw::InsertTimer(Entry(2), Record, 11);
    Advance(9);
    fw::RunExpiredTimers();
    EXPECT_TRUE(g_fired.empty());
    Advance(1);
    fw::RunExpiredTimers();
    EXPECT_EQ(g_fired, std::vector<KERNEL_ENTRY*>{Entry(1)});
    EXPECT_EQ(fw::fIsTimerArmed(&Entry(2)->sTimer), fw::TRUE);
    Advance(1);
    fw::RunExpiredTimers();
    EXPECT_EQ(g_fired.size(), 2u);
    // A timer fires once.
    Advance(100);
    fw::RunExpiredTimers();
    EXPECT_EQ(g_fired.size(), 2u);
}

void Rearm(KERNEL_ENTRY* psOwner, fw::TIMER_NODE*) {
    g_fired.push_back(psOwner);
    if (g_fired.size() < 3) fw::InsertTimer(psOwner, Rearm, 0);
}

TEST_F(TimersTest, ATimerArmedByItsCallbackWaitsForTheNextCycle) {
    fw::InsertTimer(Entry(7), Rearm, 1);
    Advance(1);
    for (size_t d = 1; d <= 3; d++) {
        fw::RunExpiredTimers();
        EXPECT_EQ(g_fired.size(), d);
    }
    EXPECT_EQ(fw::fIsTimerArmed(&Entry(7)->sTimer), fw::FALSE);
    fw::RunExpiredTimers();
    EXPECT_EQ(g_fired.size(), 3u);
}

std::vector<int> g_aiCalls;
void CallbackA(KERNEL_ENTRY*) { g_aiCalls.push_back(1); }
void CallbackB(KERNEL_ENTRY*) { g_aiCalls.push_back(2); }

TEST_F(TimersTest, CallbackStacksGrowThePoolByOnePage) {
    KERNEL_ENTRY* ps = Entry(9);
    const uint32_t dPagesBefore = fw::dGetPagesInUse(0);
    for (uint32_t d = 0; d < fw::CALLBACK_STATIC_NODES; d++) {
        ASSERT_EQ(fw::bPushCompletionCallback(ps, d % 2 ? CallbackB : CallbackA), fw::STATUS_OK);
    }
    EXPECT_EQ(fw::dGetPagesInUse(0), dPagesBefore);
    ASSERT_EQ(fw::bPushCompletionCallback(ps, CallbackB), fw::STATUS_OK);  // the 513th
    EXPECT_EQ(fw::dGetPagesInUse(0), dPagesBefore + 1);
    // The page holds 512 nodes: no further page until they are used up.
    for (uint32_t d = 1; d < fw::CALLBACK_STATIC_NODES; d++) {
        ASSERT_EQ(fw::bPushCompletionCallback(ps, CallbackA), fw::STATUS_OK);
    }
    EXPECT_EQ(fw::dGetPagesInUse(0), dPagesBefore + 1);

    // Pops return the callbacks in reverse order; all nodes go back.
    g_aiCalls.clear();
    for (uint32_t d = 0; d < 2 * fw::CALLBACK_STATIC_NODES; d++) fw::pPopCompletionCallback(ps)(ps);
    EXPECT_EQ(ps->pCallbackTop, nullptr);
    EXPECT_EQ(fw::pPopCompletionCallback(ps), nullptr);
    ASSERT_EQ(g_aiCalls.size(), 1024u);
    EXPECT_EQ(g_aiCalls[511], 2);
    EXPECT_EQ(g_aiCalls[512], 2);
    EXPECT_EQ(g_aiCalls[1023], 1);
}

TEST_F(TimersTest, NoPageForTheCallbackPoolGives66) {
    fw::BUFFER_HANDLE dHandle;
    while (fw::bAllocDataPages(0, 1, &dHandle) == fw::STATUS_OK) {
    }
    KERNEL_ENTRY* ps = Entry(9);
    for (uint32_t d = 0; d < fw::CALLBACK_STATIC_NODES; d++) {
        ASSERT_EQ(fw::bPushCompletionCallback(ps, CallbackA), fw::STATUS_OK);
    }
    EXPECT_EQ(fw::bPushCompletionCallback(ps, CallbackB), fw::STATUS_NO_PAGES);
    EXPECT_EQ(fw::pPopCompletionCallback(ps), CallbackA);  // the failed push left no trace
    EXPECT_EQ(fw::bPushCompletionCallback(ps, CallbackB), fw::STATUS_OK);
    EXPECT_EQ(fw::pPopCompletionCallback(ps), CallbackB);
}

}  // namespace
