// The drive-side link of one path between the two controllers is cut, on
// the simulated board, while messages that post an event (each with its own
// mark) stream to the partner: the link moves to the path that is left by
// itself, loses no message and carries none out twice; mended, the path is
// used again.  The same with both hosts writing through their controllers,
// each write mirrored to the other, and messages going both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "eventlog/event_log.h"
#include "harness/dual_pair.h"
#include "harness/main_loop_call.h"
#include "hw/scsi.h"
#include "host_write_stream.h"
#include "mirrored_array.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sim/fc_host.h"

namespace fw_b {
using fw::EVENT_LOG_ENTRY;
// The second build's own type: the same layout under its namespace.
struct INTER_CONTROLLER_MESSAGE;
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
uint8_t bSendMessageToPartner(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t* pwSlot, uint8_t bFlags);
uint8_t fIsDualControllerActive();
uint8_t fIsPartnerOnPath1();
uint8_t fIsPartnerOnPath2();
}  // namespace fw_b

namespace {

using roadtest::kBlock;

constexpr uint64_t kMs = 1'000'000ull;
constexpr uint16_t kChunk = 16;
constexpr uint64_t kBlocks = 6 * 3 * kChunk;   // six rows of RAID 5 on four drives
constexpr unsigned kDepth = 4;                 // writes out per host at once
constexpr uint32_t kMaxWriteBlocks = 24;
// Codes of no event of the system's own, one per sender; each message
// posts its own mark with it.
constexpr uint8_t kEventCodeOf[2] = {247, 246};
constexpr uint64_t kPostEveryNs = 20 * kMs;
// A path that left is seen gone, and one that came back found again, within
// this: the drive side waits for the links to settle, then looks.
constexpr uint64_t kPathSeenNs = 30'000 * kMs;

// Controller 0's (fw) or controller 1's (fw_b) view of the link.
struct LinkView {
    uint8_t (*fActive)();
    uint8_t (*fOnPath[2])();
    uint8_t (*bSend)(const fw::INTER_CONTROLLER_MESSAGE*, uint16_t*, uint8_t);
    void (*GetLogPosition)(uint16_t*, uint16_t*);
    const fw::EVENT_LOG_ENTRY* (*psLogEntry)(uint16_t);
};
uint8_t bSendFromB(const fw::INTER_CONTROLLER_MESSAGE* ps, uint16_t* pwSlot, uint8_t bUnused) {
    return fw_b::bSendMessageToPartner(reinterpret_cast<const fw_b::INTER_CONTROLLER_MESSAGE*>(ps), pwSlot, bUnused);
}
const LinkView kViews[2] = {
    {fw::fIsDualControllerActive, {fw::fIsPartnerOnPath1, fw::fIsPartnerOnPath2}, fw::bSendMessageToPartner,
     fw::GetEventLogPosition, fw::psGetEventLogEntry},
    {fw_b::fIsDualControllerActive, {fw_b::fIsPartnerOnPath1, fw_b::fIsPartnerOnPath2}, bSendFromB,
     fw_b::GetEventLogPosition, fw_b::psGetEventLogEntry},
};

class PartnerPathCut : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        dual::PlaceMirroredRaid5(chassis, "PATHCUT", kChunk);
        ASSERT_TRUE(Boot()) << Why();
        sim::Board* boards[2] = {&a->board, &b->board};
        sim::FcFabric* fabrics[2] = {&a->fabric, &b->fabric};
        for (unsigned h = 0; h < 2; ++h) {
            hosts[h] = std::make_unique<sim::FcHost>(*boards[h], *fabrics[h], *sim::FindIspChip(*boards[h], 1),
                                                     0x2100001B32E00041ull + h);
            ASSERT_TRUE(HostReady(*hosts[h])) << Why();
            uint16_t wCount = 0;
            kViews[h].GetLogPosition(&wCount, &firstEvent[h]);
        }
        writes.Start(*hosts[0], *hosts[1], kBlocks);
    }

    // Each controller sends the other a message that posts an event marked
    // with its own number; the ones queued are the ones owed.
    void Post() {
        for (unsigned h = 0; h < 2; ++h) {
            if (h == 1 && !fPostsFromB) continue;
            fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(fw::PARTNER_MESSAGE_POST_EVENT);
            s.abCdb[2] = kEventCodeOf[h];
            s.abCdb[3] = static_cast<uint8_t>(nextMark[h]);
            s.abCdb[4] = static_cast<uint8_t>(nextMark[h] >> 8);
            uint16_t wSlot = fw::PARTNER_NO_SLOT;
            uint8_t bSent = 0;
            // On the sender's own processor, between two main-loop cycles:
            // called from here while the other board holds the processor,
            // the sender's locks would mask and unmask that board's
            // interrupts in the middle of its own work.
            harness::OnMainLoop(h == 0 ? a->board : b->board, [&] { bSent = kViews[h].bSend(&s, &wSlot, 0); });
            if (bSent == fw::STATUS_OK) ++nextMark[h];
        }
    }
    // Writes and messages go on for `ns`; `watch` is asked after every step.
    void Traffic(uint64_t ns, const std::function<void()>& watch = nullptr) {
        const uint64_t end = clock.Now() + ns;
        while (clock.Now() < end) {
            if (fWrites) writes.TopUp();
            Post();
            (void)RunUntil(nullptr, kPostEveryNs);
            if (watch) watch();
        }
    }
    // How often controller `to` carried out each mark controller `from`
    // sent it.
    std::map<uint16_t, unsigned> Carried(unsigned to) const {
        std::map<uint16_t, unsigned> n;
        uint16_t wCount = 0, wNext = 0;
        kViews[to].GetLogPosition(&wCount, &wNext);
        for (uint16_t w = firstEvent[to]; w != wNext; w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
            const fw::EVENT_LOG_ENTRY* ps = kViews[to].psLogEntry(w);
            if (ps->bCode == kEventCodeOf[1 - to]) ++n[static_cast<uint16_t>(ps->abArgs[0] | ps->abArgs[1] << 8)];
        }
        return n;
    }
    // Every message controller `from` queued was carried out once by the
    // other, and none it never sent; every write of its host answered once.
    void CheckEachCarriedOutOnce(unsigned from) {
        const std::map<uint16_t, unsigned> carried = Carried(1 - from);
        for (uint16_t m = 0; m < nextMark[from]; ++m) {
            const auto it = carried.find(m);
            EXPECT_EQ(it == carried.end() ? 0u : it->second, 1u) << "controller " << from << "'s message " << m;
        }
        EXPECT_EQ(carried.size(), nextMark[from]) << "controller " << 1 - from << " carried out messages never sent";
        for (const auto& [tag, n] : writes.answers[from]) EXPECT_EQ(n, 1u) << "host " << from << " tag " << tag;
    }
    // Every write out is answered; then the caches are written out and each
    // block reads back through either controller as acknowledged last.
    void DrainAndReadBack() {
        ASSERT_TRUE(RunUntil([&] { return writes.Idle(); }, 30'000 * kMs)) << Why() << writes.Outstanding();
        ASSERT_TRUE(RunUntil(dual::CachesWrittenOut, 30'000 * kMs)) << Why();
        // A message or an answer that would come twice comes in this time.
        (void)RunUntil(nullptr, 1'000 * kMs);
        for (unsigned h = 0; h < 2; ++h) {
            const sim::FcpResult back =
                RunCommand(*hosts[h], dual::Cdb16(fw::SCSI_READ16, 0, uint32_t(kBlocks)), {}, uint32_t(kBlocks) * kBlock);
            ASSERT_EQ(back.status, 0) << "through host " << h;
            for (uint64_t x = 0; x < kBlocks; ++x) {
                ASSERT_TRUE(std::equal(back.dataIn.begin() + ptrdiff_t(x * kBlock),
                                       back.dataIn.begin() + ptrdiff_t((x + 1) * kBlock),
                                       writes.model.begin() + ptrdiff_t(x * kBlock)))
                    << "block " << x << " read through host " << h;
            }
        }
    }
    std::string Why() const {
        std::string t = Consoles() + "\nstopped: " + sim::StopKindName(a->board.lastStop()) + ", " +
                        sim::StopKindName(b->board.lastStop()) + "\ndirty " + std::to_string(fw::wGetDirtyExtentCount()) +
                        "/" + std::to_string(fw_b::wGetDirtyExtentCount()) + " journal " +
                        std::to_string(fw::wGetJournalInUseCount()) + "/" + std::to_string(fw_b::wGetJournalInUseCount()) +
                        " outgoing " + std::to_string(fw::sGetPartnerMessageCounts().wOutgoingTotal) + "/" +
                        std::to_string(fw_b::sGetPartnerMessageCounts().wOutgoingTotal) + " incoming " +
                        std::to_string(fw::sGetPartnerMessageCounts().wIncomingTotal) + "/" +
                        std::to_string(fw_b::sGetPartnerMessageCounts().wIncomingTotal) + "\nevents:";
        for (unsigned h = 0; h < 2; ++h) {
            uint16_t wCount = 0, wNext = 0;
            kViews[h].GetLogPosition(&wCount, &wNext);
            t += "\n " + std::to_string(h) + ":";
            for (uint16_t w = firstEvent[h]; w != wNext; w = static_cast<uint16_t>((w + 1) % fw::EVENT_LOG_ENTRIES)) {
                if (kViews[h].psLogEntry(w)->bCode != kEventCodeOf[1 - h]) t += " " + std::to_string(kViews[h].psLogEntry(w)->bCode);
            }
        }
        return t;
    }
    bool OnPath(unsigned side, unsigned port) const { return kViews[side].fOnPath[port]() == fw::TRUE; }

    std::unique_ptr<sim::FcHost> hosts[2];
    dual::HostWriteStream writes{kDepth, kMaxWriteBlocks, 34};
    bool fWrites = true;       // the hosts write
    bool fPostsFromB = true;   // controller 1 sends messages too
    uint16_t nextMark[2] = {0, 0};
    uint16_t firstEvent[2] = {0, 0};
};

class PartnerOnePathCut : public PartnerPathCut, public ::testing::WithParamInterface<unsigned> {};

// Controller 0 sends a stream of messages, on path 2, the one it prefers,
// while it has it.  The link of one path is cut: both controllers see that
// path's port go and the other stay (each path keeps its port), the link
// stays up, controller 0's messages go on over the path left, and each is
// carried out once.  Mended, the path is found again and, path 2, used
// again.
TEST_P(PartnerOnePathCut, MessagesGoOnOverThePathLeftNoneLostNoneRunTwice) {
    const unsigned port = GetParam();
    fWrites = false;
    fPostsFromB = false;
    sim::SasController& ioc = a->board.sasController();
    Traffic(500 * kMs);
    ASSERT_GT(ioc.partnerCommandsSentOn(1), 0u);

    const uint32_t dResendsBefore = fw::sGetPartnerMessageCounts().dResends;
    const uint64_t lCut = clock.Now();
    ioc.SetPartnerPathCut(port, true);
    bool fStayed = true;
    const auto fActive = [&] {
        fStayed = fStayed && kViews[0].fActive() == fw::TRUE && kViews[1].fActive() == fw::TRUE;
    };
    Traffic(200 * kMs, fActive);
    ASSERT_TRUE(RunUntil([&] { return !OnPath(0, port) && !OnPath(1, port); }, kPathSeenNs)) << Why();
    EXPECT_TRUE(OnPath(0, 1 - port) && OnPath(1, 1 - port)) << "the path left is not listed where it was";
    // Until then a message sent to the port that left comes back at once as
    // not delivered: it goes to the other port, not again and again to the
    // one that is gone.  Those turned away busy while the partner's drive
    // IOC restarts are asked again no sooner than every 10 ms.
    const uint64_t lSeenMs = (clock.Now() - lCut) / kMs;
    EXPECT_LT(fw::sGetPartnerMessageCounts().dResends - dResendsBefore, lSeenMs) << lSeenMs << " ms";
    const uint32_t dLeft = ioc.partnerCommandsSentOn(1 - port);
    Traffic(2'000 * kMs, fActive);
    EXPECT_GT(ioc.partnerCommandsSentOn(1 - port), dLeft + 50) << "messages do not go over the path left";
    EXPECT_TRUE(fStayed) << "the link went down with a path left";

    ioc.SetPartnerPathCut(port, false);
    ASSERT_TRUE(RunUntil([&] { return OnPath(0, port) && OnPath(1, port); }, kPathSeenNs)) << Why();
    const uint32_t dMended = ioc.partnerCommandsSentOn(1);
    Traffic(1'000 * kMs, fActive);
    EXPECT_GT(ioc.partnerCommandsSentOn(1), dMended + 20) << "path 2 not used again";
    EXPECT_TRUE(fStayed);

    ASSERT_TRUE(RunUntil([] { return fw::sGetPartnerMessageCounts().wOutgoingTotal == 0; }, 30'000 * kMs)) << Why();
    // A message carried out twice would be by now.
    (void)RunUntil(nullptr, 1'000 * kMs);
    ASSERT_NO_FATAL_FAILURE(CheckEachCarriedOutOnce(0));
    EXPECT_GT(nextMark[0], 150u);
}

// Both hosts write (each write mirrored to the other controller) and both
// controllers send messages while the link of one path is cut and mended:
// every write is answered once and reads back through either controller,
// both caches empty, and every message is carried out once.
TEST_P(PartnerOnePathCut, MirroredWritesAndMessagesBothWaysLoseNothing) {
    const unsigned port = GetParam();
    sim::SasController& ioc = a->board.sasController();
    Traffic(500 * kMs);
    ioc.SetPartnerPathCut(port, true);
    Traffic(200 * kMs);
    ASSERT_TRUE(RunUntil([&] { return !OnPath(0, port) && !OnPath(1, port); }, kPathSeenNs)) << Why();
    const unsigned dAcknowledged = writes.acknowledged;
    Traffic(2'000 * kMs);
    EXPECT_GT(writes.acknowledged, dAcknowledged + 20) << "writes stopped with one path left";
    ioc.SetPartnerPathCut(port, false);
    ASSERT_TRUE(RunUntil([&] { return OnPath(0, port) && OnPath(1, port); }, kPathSeenNs)) << Why();
    Traffic(1'000 * kMs);
    ASSERT_NO_FATAL_FAILURE(DrainAndReadBack());
    EXPECT_EQ(writes.failed, 0u);
    ASSERT_NO_FATAL_FAILURE(CheckEachCarriedOutOnce(0));
    ASSERT_NO_FATAL_FAILURE(CheckEachCarriedOutOnce(1));
}

// Both paths are cut while the pair is idle, the heartbeats still going:
// neither controller gives the other up, and neither serves its host's
// writes while they cannot agree the stripes each writes.  Mended, every
// write is answered once and reads back through either controller.
TEST_F(PartnerPathCut, WithBothPathsCutNeitherWritesBesideTheOther) {
    fWrites = false;
    fPostsFromB = false;
    sim::SasController& ioc = a->board.sasController();
    ioc.SetPartnerPathCut(0, true);
    ioc.SetPartnerPathCut(1, true);
    ASSERT_TRUE(RunUntil([&] { return !OnPath(0, 0) && !OnPath(0, 1) && !OnPath(1, 0) && !OnPath(1, 1); }, kPathSeenNs))
        << Why();
    fWrites = true;
    Traffic(2'000 * kMs);
    EXPECT_EQ(writes.acknowledged, 0u) << "a controller wrote beside a partner it cannot reach";
    EXPECT_EQ(fw::fIsPartnerAlive(), fw::TRUE);
    ioc.SetPartnerPathCut(0, false);
    ioc.SetPartnerPathCut(1, false);
    ASSERT_TRUE(RunUntil([&] { return OnPath(0, 0) && OnPath(0, 1) && OnPath(1, 0) && OnPath(1, 1); }, kPathSeenNs))
        << Why();
    Traffic(1'000 * kMs);
    EXPECT_GT(writes.acknowledged, 20u);
    ASSERT_NO_FATAL_FAILURE(DrainAndReadBack());
    EXPECT_EQ(writes.failed, 0u);
    ASSERT_NO_FATAL_FAILURE(CheckEachCarriedOutOnce(0));
}

INSTANTIATE_TEST_SUITE_P(Paths, PartnerOnePathCut, ::testing::Values(0u, 1u),
                         [](const auto& info) { return "Path" + std::to_string(info.param + 1); });

}  // namespace
