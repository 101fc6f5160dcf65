// Write collapse batches: completed together after their flush, retried
// together when it fails, finished with the flush's sense on the third
// failure, and never grown past their table.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/startup.h"
#include "executive/types.h"
#include "sas/sas_scsi_path.h"
#include "sas/write_collapse.h"
#include "sim/board.h"

namespace {

using namespace fw;

constexpr uint8_t kTarget = 5;

class WriteCollapseTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitKernelEntryPools();
        InitIwcq();
    }
    KERNEL_ENTRY* Post(uint8_t bOpcode) {
        KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(bAllocKernelEntries(0, 1, &ps), STATUS_OK);
        ps->wTargetId = kTarget;
        ps->abCdb[0] = bOpcode;
        ps->bPortCode = PORT_CODE_INITIATOR;
        ps->bPrimaryState = PS_AT_CHIP;
        IwcqRecordPosted(ps);
        return ps;
    }
    // A batch of writes, each answered as asked, then its flush answered.
    std::vector<KERNEL_ENTRY*> Batch(uint8_t bWrites, bool fAnswerAll, bool fFlushFails) {
        std::vector<KERNEL_ENTRY*> v;
        for (uint8_t i = 0; i < bWrites; ++i) v.push_back(Post(0x2A));
        for (size_t i = 0; i < v.size(); ++i) {
            if (fAnswerAll || i + 1 < v.size()) IwcqWriteAnswered(v[i], FALSE);
        }
        KERNEL_ENTRY* psSync = Post(0x35);
        if (fFlushFails) {
            psSync->lFlags |= KE_FLAG_SENSE_PRESENT;
            psSasFields(psSync)->bSenseKey = 3;
        }
        v.push_back(psSync);
        return v;
    }

    sim::Board board;
};

TEST_F(WriteCollapseTest, BatchOutcomes) {
    struct Case {
        const char* pszName;
        bool fAnswerAll, fFlushFails;
        uint8_t fExpectedResult, bExpectedWriteState;
    } const aCases[] = {
        {"good", true, false, TRUE, PS_COMPLETED},
        {"flush before the last answer", false, false, FALSE, PS_AT_CHIP_ALTERNATE},
        {"failed flush", true, true, TRUE, PS_NEW_COMMAND},
    };
    for (const Case& c : aCases) {
        InitIwcq();
        auto v = Batch(3, c.fAnswerAll, c.fFlushFails);
        EXPECT_EQ(fIwcqFlushCompleted(v.back()), c.fExpectedResult) << c.pszName;
        EXPECT_EQ(v[0]->bPrimaryState, c.bExpectedWriteState) << c.pszName;
        if (c.fExpectedResult == TRUE) {
            EXPECT_EQ(psGetIwcq(kTarget)->wEntries, 0) << c.pszName;
        }
    }
}

TEST_F(WriteCollapseTest, ThirdFailureFinishesWithTheFlushSense) {
    for (uint8_t bRound = 0; bRound < 3; ++bRound) {
        auto v = Batch(2, true, true);
        ASSERT_EQ(fIwcqFlushCompleted(v.back()), TRUE);
        if (bRound < 2) {
            EXPECT_EQ(v[0]->bPrimaryState, PS_NEW_COMMAND);
            EXPECT_EQ(psGetIwcq(kTarget)->bRetries, bRound + 1);
        } else {
            EXPECT_EQ(v[0]->bPrimaryState, PS_PARKED_5B);
            EXPECT_NE(v[0]->lFlags & KE_FLAG_SENSE_PRESENT, 0u);
            EXPECT_EQ(psSasFields(v[0])->bSenseKey, 3);
            EXPECT_EQ(psGetIwcq(kTarget)->bRetries, 0);
        }
    }
}

TEST_F(WriteCollapseTest, AdaptiveSizingFollowsTheBatches) {
    for (uint8_t fAdaptive : {TRUE, FALSE}) {
        InitIwcq();
        SetIwcqAdaptive(fAdaptive);
        for (int i = 0; i < 4; ++i) ASSERT_EQ(fIwcqFlushCompleted(Batch(3, true, false).back()), TRUE);
        EXPECT_EQ(psGetIwcq(kTarget)->bDepth, fAdaptive == TRUE ? 3 : 16);
        EXPECT_EQ(psGetIwcq(kTarget)->bTime, fAdaptive == TRUE ? 1 : 5);
    }
}

TEST_F(WriteCollapseTest, FullBatchAdmitsNoMoreWrites) {
    for (uint16_t i = 0; i < IWCQ_BATCH_SLOTS; ++i) {
        ASSERT_EQ(fIwcqAdmitWrite(kTarget), TRUE);
        Post(0x2A);
    }
    EXPECT_EQ(fIwcqAdmitWrite(kTarget), FALSE);
    KERNEL_ENTRY* ps = Post(0x2A);   // recorded anyway: left out, not written past the table
    EXPECT_EQ(psGetIwcq(kTarget)->wEntries, IWCQ_BATCH_SLOTS);
    EXPECT_EQ(ps->lFlags & KE_FLAG_WRITE_COLLAPSE, 0u);
}

// The console dump lists each queue holding writes: its counts, every
// slot (an empty one dashed) and the flush.
TEST_F(WriteCollapseTest, DumpListsEachQueueWithWrites) {
    KERNEL_ENTRY* psFirst = Post(0x2A);
    KERNEL_ENTRY* psSecond = Post(0x2A);
    IwcqWriteAnswered(psFirst, TRUE);   // failed: its slot is emptied
    IwcqWriteAnswered(psSecond, FALSE);
    KERNEL_ENTRY* psSync = Post(0x35);
    board.ClearConsoleText();
    ShowIwcqInformation();
    char ac[160];
    std::string sExpected = "Iwcq Information: \r\n";
    std::snprintf(ac, sizeof ac, "Target %02x: 0002 entries, 0002 responses, 00 retries, %08x\r\n", kTarget,
                  static_cast<unsigned>(psGetIwcq(kTarget)->dFlags));
    sExpected += ac;
    sExpected += "Optimisation: 05 ms, 10 depth\r\n----: --------\r\n";
    std::snprintf(ac, sizeof ac, "%04x: f:%08x%08x ps:%02x\r\n", psSecond->wIndex,
                  static_cast<unsigned>(psSecond->lFlags >> 32), static_cast<unsigned>(psSecond->lFlags),
                  psSecond->bPrimaryState);
    sExpected += ac;
    std::snprintf(ac, sizeof ac, "%04x: f:%08x%08x (sync)\r\n", psSync->wIndex, static_cast<unsigned>(psSync->lFlags >> 32),
                  static_cast<unsigned>(psSync->lFlags));
    sExpected += ac;
    sExpected += "H: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\r\n";
    EXPECT_EQ(board.ConsoleText(), sExpected);
}

}  // namespace
