// What the running controller does when it answers its joining partner's
// start-of-day request: it hands over its host-port initiators and its
// drive table, and it compares the two buffer memories, shutting the
// partner down when they differ.  And when it loses its partner, power
// management holds still until the takeover has stopped it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "config/host_port_tables.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/tick.h"
#include "harness/dual_pair.h"
#include "partner/partner_link.h"
#include "sim/side_by_side.h"

namespace fw_b {
using fw::EVENT_LOG_ENTRY;
using fw::HOST_PORT_RECORD;
void GetEventLogPosition(uint16_t* pwCount, uint16_t* pwNext);
const EVENT_LOG_ENTRY* psGetEventLogEntry(uint16_t wIndex);
HOST_PORT_RECORD* pGetPartnerPortRecords();
const uint8_t* pGetPartnerDriveTableCopy();
uint8_t fIsDualControllerActive();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

template <typename Position, typename Entry>
uint32_t CountEvents(Position position, Entry entry, uint8_t bCode) {
    uint16_t wCount = 0, wNext = 0;
    position(&wCount, &wNext);
    uint32_t n = 0;
    for (uint16_t i = 1; i <= wCount; ++i) {
        const auto* ps = entry(static_cast<uint16_t>((wNext + fw::EVENT_LOG_ENTRIES - i) % fw::EVENT_LOG_ENTRIES));
        if (ps != nullptr && ps->bCode == bCode) ++n;
    }
    return n;
}
uint32_t EventsOfA(uint8_t bCode) { return CountEvents(fw::GetEventLogPosition, fw::psGetEventLogEntry, bCode); }
uint32_t EventsOfB(uint8_t bCode) { return CountEvents(fw_b::GetEventLogPosition, fw_b::psGetEventLogEntry, bCode); }

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// Controller 0 runs alone with a host logged in; controller 1 then starts
// beside it and joins.
class StartOfDayAnswer : public ::testing::Test {
protected:
    bool RunBoth(const std::function<bool()>& done, uint64_t limitNs) {
        return sim::RunSideBySide({&a->board, &b->board}, done, limitNs);
    }
    std::string Consoles() const {
        return "--- controller 0 ---\n" + a->board.ConsoleText() + "\n--- controller 1 ---\n" +
               (b ? b->board.ConsoleText() : std::string());
    }

    sim::Clock clock;
    sim::Chassis chassis;
    std::unique_ptr<dual::Side> a = std::make_unique<dual::Side>(&clock, chassis, true);
    std::unique_ptr<dual::Side> b;
};

TEST_F(StartOfDayAnswer, TheJoinerGetsTheRunningOnesInitiatorsAndDriveTable) {
    ASSERT_TRUE(sim::RunSideBySide({&a->board}, [this] { return a->Booted(); }, dual::kBootLimitNs))
        << a->board.ConsoleText();
    // An initiator known on port 2 here.
    fw::HOST_PORT_RECORD* psOwn = fw::pGetHostPortRecords();
    psOwn[1].bInitiatorCount = 1;
    psOwn[1].asInitiator[0] = {0x11, fw::TRUE, fw::TRUE, 0, {0x20, 0, 0, 0x1B, 0x32, 0xE0, 0, 0xA1},
                               {0x21, 0, 0, 0x1B, 0x32, 0xE0, 0, 0xA1}};

    b = std::make_unique<dual::Side>(&clock, chassis, false);
    sim::Board::ConnectPartners(a->board, b->board);
    ASSERT_TRUE(RunBoth([] { return fw::fIsDualControllerActive() == fw::TRUE && EventsOfA(42) == 1; },
                        60'000 * kMs))
        << Consoles();
    ASSERT_TRUE(RunBoth([] { return dual::Pair::Quiet(fw::sGetPartnerMessageCounts()) &&
                                    dual::Pair::Quiet(fw_b::sGetPartnerMessageCounts()); },
                        2000 * kMs));
    EXPECT_EQ(std::memcmp(fw_b::pGetPartnerPortRecords(), psOwn, 2 * sizeof(fw::HOST_PORT_RECORD)), 0);
    // The drive records as they stood when the answer went: the join has
    // the running one scan its drives again, and it finds the same ones.
    const auto* psCopy = reinterpret_cast<const fw::DRIVE_INFO_LIST*>(fw_b::pGetPartnerDriveTableCopy());
    ASSERT_GT(psCopy->bDriveCount, 0);
    ASSERT_TRUE(RunBoth([&] { return fw::pGetDriveInfoList()->bDriveCount == psCopy->bDriveCount; }, 20'000 * kMs));
    for (uint8_t i = 0; i < psCopy->bDriveCount; ++i) {
        EXPECT_EQ(std::memcmp(psCopy->asDriveInfo[i].abWWN, fw::pGetDriveInfoList()->asDriveInfo[i].abWWN, 8), 0);
    }
    // Same memories: nothing to compare about.
    EXPECT_EQ(EventsOfA(146), 0u);
    EXPECT_EQ(EventsOfB(146), 0u);
}

// Controller 1 has twice the memory: the master (controller 0) posts the
// mismatch in both logs and shuts controller 1 down.
TEST_F(StartOfDayAnswer, BuffersOfUnequalSizeShutThePartnerDown) {
    b = std::make_unique<dual::Side>(&clock, chassis, false, 256u << 20);
    sim::Board::ConnectPartners(a->board, b->board);
    ASSERT_TRUE(RunBoth([this] { return Has(b->board.ConsoleText(), "Shutting Down Controller"); },
                        dual::kBootLimitNs))
        << Consoles();
    EXPECT_EQ(EventsOfA(146), 1u);
    EXPECT_EQ(EventsOfB(146), 1u);
    EXPECT_FALSE(Has(a->board.ConsoleText(), "Shutting Down Controller")) << Consoles();
}

// From the moment the partner is declared lost until the takeover has
// stopped power management, no drive is spun for it.
// The takeover also ends a drive firmware download shared with the
// partner, and starts every array's idle time again (power management
// spun them all up).
TEST(PartnerLoss, PowerManagementHoldsUntilTheTakeoverStopsIt) {
    dual::Pair pair;
    ASSERT_TRUE(pair.Boot()) << pair.Consoles();
    ASSERT_TRUE(pair.RunUntil([] { return fw::fIsPartnerAlive() == fw::TRUE; }, 2000 * kMs));
    ASSERT_EQ(fw::fGetAPMHoldFlag(), fw::FALSE);
    fw::SetDriveFirmwareDownloadPartnerSync(fw::TRUE);
    const uint64_t lCut = fw::lGetTickCount();
    pair.b->board.fpga().heartbeatQuiet = true;
    bool fHeld = false;
    ASSERT_TRUE(pair.RunUntil([&] {
        fHeld = fHeld || fw::fGetAPMHoldFlag() == fw::TRUE;
        return EventsOfA(92) == 1 && fw::fGetDualControllerWorkFlag() == fw::FALSE;
    }, 2000 * kMs)) << EventsOfA(92) << " " << int(fw::fGetDualControllerWorkFlag());
    EXPECT_TRUE(fHeld);
    EXPECT_EQ(fw::fGetAPMHoldFlag(), fw::FALSE);
    EXPECT_EQ(fw::fGetDriveFirmwareDownloadPartnerSync(), fw::FALSE);
    for (uint8_t bRank : {0, 63}) EXPECT_GE(fw::lGetRankLastAccessTime(bRank), lCut) << int(bRank);
}

}  // namespace
