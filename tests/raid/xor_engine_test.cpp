// The XOR engine on the board's accelerator: what every chain computes
// (checked against an independent GF(2^8) reference), the ring's order,
// wrap and refusal when full, the engine error, and the peer path.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "hw/xor_accelerator.h"
#include "platform/ipc_peer.h"
#include "raid/xor_engine.h"
#include "target/host_command_pool.h"
#include "raid_reference.h"
#include "raid_test_board.h"

namespace {

using raidtest::Bytes;

// Kernel-pool index no command uses: the continuations find it free.
constexpr uint16_t kIdleTag = 4000;

// One row of a dual-parity array laid out as the engine's callers lay it
// out in a scratch buffer X: slot 2 P, slot 3 Q, slot 4 + j data column j.
struct Row {
    unsigned m;
    uint32_t L;
    uint32_t X;
    uint32_t Y;
    std::vector<std::vector<uint8_t>> data;
    std::vector<uint8_t> p, q;

    uint32_t Slot(unsigned j) const { return X + j * L; }
    std::vector<uint8_t> At(uint32_t a) const { return std::vector<uint8_t>(Bytes(a), Bytes(a) + L); }
};

class XorEngineTest : public raidtest::RaidBoardTest {
protected:
    Row MakeRow(unsigned m, uint32_t L, unsigned seed = 1) {
        Row r{m, L, Buffer((4 + m) * L), Buffer(L), {}, {}, {}};
        std::mt19937 rng(seed);
        r.data.assign(m, std::vector<uint8_t>(L));
        std::vector<const uint8_t*> cols;
        for (unsigned j = 0; j < m; ++j) {
            for (auto& b : r.data[j]) b = uint8_t(rng());
            std::memcpy(Bytes(r.Slot(4 + j)), r.data[j].data(), L);
            cols.push_back(r.data[j].data());
        }
        r.p.resize(L);
        r.q.resize(L);
        raidref::PQ(cols, L, r.p.data(), r.q.data());
        std::memcpy(Bytes(r.Slot(2)), r.p.data(), L);
        std::memcpy(Bytes(r.Slot(3)), r.q.data(), L);
        std::memset(Bytes(r.Slot(0)), 0xA5, 2 * L);
        std::memset(Bytes(r.Y), 0x5A, L);
        return r;
    }
    // The data columns as sources, with the given columns replaced.
    static std::vector<uint32_t> Columns(const Row& r, std::vector<std::pair<unsigned, uint32_t>> replace = {}) {
        std::vector<uint32_t> v(15, 0);
        for (unsigned j = 0; j < r.m; ++j) v[j] = r.Slot(4 + j);
        for (auto [j, a] : replace) v[j] = a;
        return v;
    }
    void Run(uint8_t bOp, const Row& r, std::vector<uint32_t> src, uint8_t a = 0xFF, uint8_t b = 0xFF,
             uint8_t k = 0xFF) {
        src.resize(15);
        src[14] = fw::dPackRaid6Parameter(a, b, k, uint8_t(r.m + 2));
        ASSERT_EQ(fw::QueueXorRequest(kIdleTag, bOp, fw::XOR_PATH_LOCAL, r.L, r.m, r.X, r.Y, src.data()),
                  fw::STATUS_OK);
        DrainXor();
    }
};

TEST_F(XorEngineTest, PlainXorOfFourteenSources) {
    Row r = MakeRow(14, 3000);
    Run(fw::XOR_OP_NO_CONTINUATION, r, Columns(r));
    EXPECT_EQ(r.At(r.X), r.p);
}

TEST_F(XorEngineTest, PAndQOfARow) {
    for (unsigned m : {2u, 8u, 14u}) {
        Row r = MakeRow(m, 4096 + 40, m);
        Run(fw::XOR_OP_RAID6_FULL_ROW_PIECE, r, Columns(r));
        EXPECT_EQ(r.At(r.X), r.p) << m;
        EXPECT_EQ(r.At(r.Y), r.q) << m;
    }
}

TEST_F(XorEngineTest, QOnlyLeavesTheFirstDestinationAlone) {
    Row r = MakeRow(6, 2048);
    const std::vector<uint8_t> before = r.At(r.X);
    Run(39, r, Columns(r));
    EXPECT_EQ(r.At(r.Y), r.q);
    EXPECT_EQ(r.At(r.X), before);
}

TEST_F(XorEngineTest, UpdateFormTurnsOldParityIntoNew) {
    Row r = MakeRow(5, 1536);
    const unsigned k = 3;
    const uint32_t dNew = Buffer(r.L);
    std::vector<uint8_t> fresh(r.L);
    std::mt19937 rng(99);
    for (auto& b : fresh) b = uint8_t(rng());
    std::memcpy(Bytes(dNew), fresh.data(), r.L);
    Run(fw::XOR_OP_RAID6_UPDATE, r, {dNew, r.Slot(4 + k)}, 0xFF, 0xFF, k);
    r.data[k] = fresh;
    std::vector<const uint8_t*> cols;
    for (auto& c : r.data) cols.push_back(c.data());
    std::vector<uint8_t> p(r.L), q(r.L);
    raidref::PQ(cols, r.L, p.data(), q.data());
    EXPECT_EQ(r.At(r.X), p);
    EXPECT_EQ(r.At(r.Y), q);
}

TEST_F(XorEngineTest, SingleLossesAreRebuiltFromPOrFromQ) {
    Row r = MakeRow(7, 1000);
    // Target lost, P present: XOR of P and the other columns into Y.
    Run(fw::XOR_OP_RAID6_READ_FROM_P, r, Columns(r, {{2, r.Slot(2)}}), 2, 7, 2);
    EXPECT_EQ(r.At(r.Y), r.data[2]);
    // Target and P lost: decode from Q.
    std::memset(Bytes(r.Y), 0, r.L);
    Run(fw::XOR_OP_RAID6_READ_FROM_Q, r, Columns(r, {{5, fw::XOR_MISSING_MEMBER}}), 5, 7, 5);
    EXPECT_EQ(r.At(r.Y), r.data[5]);
    // The write path's form of the same, into the member's own slot.
    std::memset(Bytes(r.Slot(4 + 0)), 0, r.L);
    r.Y = r.Slot(4 + 0);
    Run(fw::XOR_OP_RAID6_WRITE_DATA_FROM_Q, r, Columns(r, {{0, fw::XOR_MISSING_MEMBER}}), 0, 7, 0);
    EXPECT_EQ(r.At(r.Slot(4)), r.data[0]);
}

TEST_F(XorEngineTest, TwoLostDataColumnsAreBothRebuilt) {
    for (unsigned m : {2u, 6u, 14u}) {
        Row r = MakeRow(m, 2000, 10 + m);
        const uint8_t a = 0, b = uint8_t(m - 1);
        auto lost = Columns(r, {{a, fw::XOR_MISSING_MEMBER}, {b, fw::XOR_MISSING_MEMBER}});
        // Read form: the target goes to Y, the other to X.
        Run(fw::XOR_OP_RAID6_READ_TWO_DATA, r, lost, a, b, b);
        EXPECT_EQ(r.At(r.Y), r.data[b]) << m;
        EXPECT_EQ(r.At(r.X), r.data[a]) << m;
        // Write form: each into its own slot.
        std::memset(Bytes(r.Slot(4 + a)), 0, r.L);
        std::memset(Bytes(r.Slot(4 + b)), 0, r.L);
        Run(fw::XOR_OP_RAID6_WRITE_TWO_DATA, r, lost, a, b, a);
        EXPECT_EQ(r.At(r.Slot(4 + a)), r.data[a]) << m;
        EXPECT_EQ(r.At(r.Slot(4 + b)), r.data[b]) << m;
        // Rebuild form: the first into X, the second into Y.
        Run(41, r, lost, a, b, a);
        EXPECT_EQ(r.At(r.X), r.data[a]) << m;
        EXPECT_EQ(r.At(r.Y), r.data[b]) << m;
    }
}

TEST_F(XorEngineTest, TwoDescriptorRegenerateThenParityChains) {
    Row r = MakeRow(6, 1024);
    // 44: the column in slot k comes from P, then Q of the whole row.
    Run(44, r, Columns(r, {{3, r.Slot(2)}}), 0xFF, 0xFF, 3);
    EXPECT_EQ(r.At(r.Y), r.data[3]);
    EXPECT_EQ(r.At(r.X), r.q);
    // 43: P and a column lost: the column from Q, then P again.
    Run(43, r, Columns(r, {{1, fw::XOR_MISSING_MEMBER}}), 1, 6, 1);
    EXPECT_EQ(r.At(r.Y), r.data[1]);
    EXPECT_EQ(r.At(r.X), r.p);
    // 78: a column lost: rebuilt from P into its slot, then P and Q.
    std::memset(Bytes(r.Slot(4 + 4)), 0, r.L);
    Run(78, r, Columns(r, {{4, fw::XOR_MISSING_MEMBER}}), 4, 0xFF, 4);
    EXPECT_EQ(r.At(r.Slot(4 + 4)), r.data[4]);
    EXPECT_EQ(r.At(r.X), r.p);
    EXPECT_EQ(r.At(r.Y), r.q);
}

// The drive verify's repairs of a parity block in a row that lacks a data
// member too: the lost column is rebuilt first, and the chain's second half
// computes the parity block from it.
TEST_F(XorEngineTest, TheVerifyRepairsRebuildTheColumnThenTheParity) {
    Row r = MakeRow(5, 1024, 7);
    const uint8_t kLost = 2, kNone = 0xFF;
    // 72: the column from Q (its slot marked), then P of the whole row.
    Run(72, r, Columns(r, {{kLost, fw::XOR_MISSING_MEMBER}}), kLost, uint8_t(r.m), kNone);
    EXPECT_EQ(r.At(r.Y), r.data[kLost]);
    EXPECT_EQ(r.At(r.X), r.p);
    // 73: the column from P (read into its slot), then Q of the whole row.
    std::memset(Bytes(r.X), 0, r.L);
    std::memset(Bytes(r.Y), 0, r.L);
    Run(73, r, Columns(r, {{kLost, r.Slot(2)}}), kNone, kNone, kLost);
    EXPECT_EQ(r.At(r.Y), r.data[kLost]);
    EXPECT_EQ(r.At(r.X), r.q);
}

// Jobs that send their computation in pieces: the parity check's
// comparison (22) and the stripe initialisation's parity (26) go on only
// once the last piece is in; the dual-parity steps of the initialisation
// (37 to 45) look at their command at every piece.
TEST_F(XorEngineTest, APiecedJobGoesOnWhenItsLastPieceIsIn) {
    fw::InitHostCommandPool();
    Row r = MakeRow(3, 512);
    auto src = Columns(r);
    src[14] = fw::dPackRaid6Parameter(0xFF, 0xFF, 0xFF, uint8_t(r.m + 2));
    struct Case {
        uint8_t bOp;
        uint8_t bState, bAfterFirst, bAfterLast;
    };
    const Case kCases[] = {
        {fw::XOR_OP_PARITY_CHECK, 'C', 'C', 68},
        {fw::XOR_OP_STRIPE_INIT, 93, 93, 94},
        {37, 93, 94, 94},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(c.bOp));
        fw::KERNEL_ENTRY* ps = nullptr;
        uint16_t w = 0;
        ASSERT_EQ(fw::bAllocTargetEntries(fw::PORT_CODE_INTERNAL, 1, &ps, &w, fw::FALSE), fw::STATUS_OK);
        ps->bPrimaryState = c.bState;
        ps->wChildrenOutstanding = 2;
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(fw::QueueXorRequest(w, c.bOp, fw::XOR_PATH_LOCAL, r.L, r.m, r.X, r.Y, src.data()), fw::STATUS_OK);
        }
        PollUntil([] { return fw::wGetXorOut() == fw::wGetXorIn(); });
        fw::ServiceXorCompletions();
        EXPECT_EQ(ps->wChildrenOutstanding, 1);
        EXPECT_EQ(ps->bPrimaryState, c.bAfterFirst);
        fw::ServiceXorCompletions();
        EXPECT_EQ(ps->wChildrenOutstanding, 0);
        EXPECT_EQ(ps->bPrimaryState, c.bAfterLast);
        fw::FreeTargetEntry(ps);
    }
}

TEST_F(XorEngineTest, MarkedSlotsNeverReachTheAccelerator) {
    Row r = MakeRow(4, 512);
    auto lost = Columns(r, {{1, fw::XOR_MISSING_MEMBER}, {2, fw::XOR_MISSING_MEMBER}});
    for (uint8_t bOp : {41, 49, 50, 59, 74}) {
        lost[14] = fw::dPackRaid6Parameter(1, 2, 1, 6);
        ASSERT_EQ(fw::QueueXorRequest(kIdleTag, bOp, 0, r.L, 4, r.X, r.Y, lost.data()), fw::STATUS_OK);
        for (fw::CPU_ADDRESS d : {fw::dGetXorDescriptorSlot(0), fw::dGetXorDescriptorSlot(1)}) {
            const auto* ps = static_cast<const fw::AAU_DESCRIPTOR*>(fw::pCpuAddressToPointer(d));
            for (unsigned i = 0; i < 4; ++i) {
                EXPECT_NE(static_cast<uint32_t>(ps->asSource[i].dAddress), fw::XOR_MISSING_MEMBER) << int(bOp);
            }
        }
        DrainXor();
    }
    EXPECT_EQ(aau().status() & fw::AAU_STATUS_BUS_ABORT, 0u);
}

TEST_F(XorEngineTest, RequestsRunOneAtATimeAndAreHandedOverInOrder) {
    Row r = MakeRow(3, 512);
    auto src = Columns(r);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, 1, 0, r.L, 3, r.X, src.data()), fw::STATUS_OK);
    EXPECT_EQ(fw::psGetXorRequest(0)->bState, fw::XOR_STATE_STARTED);
    EXPECT_EQ(fw::psGetXorRequest(1)->bState, fw::XOR_STATE_QUEUED);
    EXPECT_EQ(fw::fGetXorCommandInProgress(), fw::TRUE);
    PollUntil([] { return fw::wGetXorOut() == 3; });
    EXPECT_EQ(fw::fGetXorCommandInProgress(), fw::FALSE);
    EXPECT_EQ(fw::fGetXorQueue1Work(), fw::TRUE);
    for (uint16_t w = 0; w < 3; ++w) {
        EXPECT_EQ(fw::psGetXorRequest(w)->bState, fw::XOR_STATE_COMPLETED);
        fw::ServiceXorCompletions();
        EXPECT_EQ(fw::psGetXorRequest(w)->bState, fw::XOR_STATE_FREE);
        EXPECT_EQ(fw::psGetXorRequest(w)->wTag, 0xFFFF);
        EXPECT_EQ(fw::wGetXorOutCompl(), w + 1);
    }
    EXPECT_EQ(fw::fGetXorQueue1Work(), fw::FALSE);
    EXPECT_EQ(fw::lGetXorTotalBytes(), 3u * 3 * 512);
}

TEST_F(XorEngineTest, IndicesWrapAndAFullRingRefusesWithRetry) {
    Row r = MakeRow(2, 64);
    auto src = Columns(r);
    // Nothing is handed over: the ring fills up to one slot short of full.
    for (uint32_t i = 0; i < fw::XOR_RING_OUTSTANDING_LIMIT; ++i) {
        ASSERT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, 1, 0, r.L, 2, r.X, src.data()), fw::STATUS_OK) << i;
    }
    EXPECT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, 1, 0, r.L, 2, r.X, src.data()), fw::STATUS_RETRY);
    EXPECT_EQ(fw::wGetXorIn(), 4095);
    DrainXor();
    // Past the end of the ring the indices start again at 0.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, 1, 0, r.L, 2, r.X, src.data()), fw::STATUS_OK);
    DrainXor();
    EXPECT_EQ(fw::wGetXorIn(), 4);
    EXPECT_EQ(fw::wGetXorOut(), 4);
    EXPECT_EQ(fw::wGetXorOutCompl(), 4);
    EXPECT_EQ(r.At(r.X), r.p);
}

TEST_F(XorEngineTest, AnAcceleratorErrorDumpsTheQueueAndResets) {
    Row r = MakeRow(2, 256);
    auto src = Columns(r);
    aau().FailNextChain(fw::AAU_STATUS_BUS_ABORT);
    EXPECT_EQ(board.RunOnCpu([&] {
        (void)fw::QueueXorRequestSingleDest(0x123, 21, 0, r.L, 2, r.X, src.data());
        for (;;) fw::HwPoll();
    }),
              sim::StopKind::Reset);
    const std::string text = board.ConsoleText();
    EXPECT_NE(text.find("XOR Queues\r\nCommand in Progress: TRUE\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("In Pointer       : 00000001\r\n"), std::string::npos);
    char line[80];
    std::snprintf(line, sizeof line, "   0: 02 15 0123 02 00000100 %08x %08x %08x\r\n", r.X, src[0], src[1]);
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_NE(text.find("Resetting Controller"), std::string::npos);
}

TEST_F(XorEngineTest, ThePeerTakesOnlyPlainXorAndNeverLosesARequest) {
    fw::SetIpcPeerEnabled(fw::TRUE);
    Row r = MakeRow(3, 128);
    auto src = Columns(r);
    // A RAID 5 parity request goes to the peer, as its message says.
    ASSERT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, fw::XOR_OP_RAID5_ROW_PARITY, fw::XOR_PATH_PEER, r.L, 3, r.X,
                                            src.data()),
              fw::STATUS_OK);
    EXPECT_EQ(fw::wGetXorIn(), 0);
    EXPECT_EQ(fw::wGetIpcRequestsOutstanding(), 1);
    EXPECT_EQ(fw::psGetXorIpcEntry(0)->bState, fw::XOR_STATE_QUEUED);
    EXPECT_EQ(fw::lGetIpcXorTotalBytes(), 3u * 128);
    const uint8_t* pb = fw::pbGetIpcRequestSlot(0);
    uint16_t wTag;
    uint32_t dCount, dDest, dFirst;
    std::memcpy(&wTag, pb + 8, 2);
    std::memcpy(&dCount, pb + 20, 4);
    std::memcpy(&dDest, pb + 36, 4);
    std::memcpy(&dFirst, pb + 40, 4);
    EXPECT_EQ(pb[0], 1);
    EXPECT_EQ(wTag, kIdleTag);
    EXPECT_EQ(pb[16], 3);
    EXPECT_EQ(dCount, 128u);
    EXPECT_EQ(dDest, r.X);
    EXPECT_EQ(dFirst, src[0]);
    // RAID 6 needs what the message cannot carry: it runs here.
    ASSERT_EQ(fw::QueueXorRequest(kIdleTag, fw::XOR_OP_RAID6_FULL_ROW_PIECE, fw::XOR_PATH_PEER, r.L, 3, r.X, r.Y,
                                  src.data()),
              fw::STATUS_OK);
    EXPECT_EQ(fw::wGetXorIn(), 1);
    // A full peer ring sends the request to the local engine.
    for (int i = 1; i < fw::IPC_REQUEST_SLOTS; ++i) {
        ASSERT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, 16, fw::XOR_PATH_PEER, r.L, 3, r.X, src.data()), fw::STATUS_OK);
    }
    EXPECT_EQ(fw::wGetIpcRequestsOutstanding(), fw::IPC_REQUEST_SLOTS);
    ASSERT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, 16, fw::XOR_PATH_PEER, r.L, 3, r.X, src.data()), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetXorIn(), 2);
    // The peer answers in order; each answer is handed over once.
    fw::IpcResponseHandler(fw::IPC_RESPONSE_XOR_DONE);
    EXPECT_EQ(fw::psGetXorIpcEntry(0)->bState, fw::XOR_STATE_COMPLETED);
    EXPECT_EQ(fw::fGetXorQueue2Work(), fw::TRUE);
    fw::ServiceIpcXorCompletions();
    EXPECT_EQ(fw::psGetXorIpcEntry(0)->bState, fw::XOR_STATE_FREE);
    EXPECT_EQ(fw::fGetXorQueue2Work(), fw::FALSE);
    EXPECT_EQ(fw::wGetIpcRequestsOutstanding(), fw::IPC_REQUEST_SLOTS - 1);
}

TEST_F(XorEngineTest, ThePeerPathIsNotUsedWithoutAPeer) {
    Row r = MakeRow(3, 128);
    auto src = Columns(r);
    ASSERT_EQ(fw::QueueXorRequestSingleDest(kIdleTag, 16, fw::XOR_PATH_PEER, r.L, 3, r.X, src.data()), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetIpcRequestsOutstanding(), 0);
    DrainXor();
    EXPECT_EQ(r.At(r.X), r.p);
}

}  // namespace
