// Target queue management: the settings, the limit each array follows from
// its worst latency, the admission test and its history, the answers a
// refused command gets, the statistics per host and LUN, and the
// intermediate target queue that releases parked requests LUN by LUN.
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/config_image.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/tick.h"
#include "fc/ql_rings.h"
#include "host_board.h"
#include "target/command_access.h"
#include "target/intermediate_target_queue.h"
#include "target/target_queue_management.h"

namespace target_test {
namespace {

using namespace fw;

constexpr uint32_t kStatisticsPages = (sizeof(TQM_STATISTICS) + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;

class TqmTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        MakeDrives({1u << 20, 1u << 20});
        ClearAttentions();
        InitTqmState();
        InitTargetQueues();
        // Commands that arrived before the test began may end in it.
        AdvanceMs(100000);
    }
    void TearDown() override { InitTqmState(); }

    static TQM_SETTINGS Settings(uint8_t bType, uint8_t bSeconds = 2) {
        TQM_SETTINGS s{};
        s.bResponseType = bType;
        s.bResponseTime = bSeconds;
        return s;
    }
    static void Apply(const TQM_SETTINGS& s) { ApplyTqmSettings(&s); }

    // A READ(16) or WRITE(16) of a host on a LUN, dispatched as the scheduler
    // finds it; unless kept, taken off its LUN's ring again so that the
    // ring never fills.
    KERNEL_ENTRY* Command(uint16_t wLun, uint16_t wHandle = HANDLE, bool fWrite = false, bool fKeepQueued = false) {
        const uint32_t dPortId = wHandle == HANDLE ? INITIATOR : 0x020000u | wHandle;
        if (wHandle != HANDLE && m_mapped.insert({wHandle, wLun}).second) {
            if (m_logins.insert(wHandle).second) host.Login(dPortId, wHandle);
            Map(wLun, wLun, false, wHandle);
        }
        const uint16_t w = Send(wLun, Cdb16(fWrite ? SCSI_WRITE16 : SCSI_READ16, m_lNextLba, 8), 4096, dPortId);
        m_lNextLba += 8;
        Dispatch();
        KERNEL_ENTRY* ps = Entry(w);
        EXPECT_EQ(ps->bPrimaryState, HOST_STATE_LUN_QUEUED);
        if (!fKeepQueued) RemoveFromLunRing(wLun);
        return ps;
    }
    // The array holds this many more host commands (the current data
    // counters say so, as the LUN scheduler's starts leave them).
    void Load(uint16_t wLun, uint32_t dCommands) {
        KERNEL_ENTRY* ps = Command(wLun, 200);
        for (uint32_t d = 0; d < dCommands; d++) {
            SetFlag(ps, KE_FLAG_LUN_STATISTICS);
            UpdateCurrentDataOnStart(ps);
        }
        m_asLoad.push_back({ps, dCommands});
    }
    void Unload() {
        for (auto [ps, dCommands] : m_asLoad) {
            for (uint32_t d = 0; d < dCommands; d++) {
                SetFlag(ps, KE_FLAG_LUN_STATISTICS);
                UpdateStatisticsOnCommandComplete(ps);
            }
        }
        m_asLoad.clear();
    }
    static void AdvanceMs(uint32_t dMs) {
        for (uint32_t d = 0; d < dMs; d++) SystemTickHandler();
    }
    // A command that arrived dMs ago ends: its array's worst latency.
    void Latency(uint16_t wLun, uint32_t dMs) {
        KERNEL_ENTRY* ps = Command(wLun);
        ps->lArrivalMs = lGetTickCount() - dMs;
        UpdateRankMaxLatency(ps);
    }
    // A check of an idle array 0 after a minute-long latency: its limit
    // stays 128 for the next 61 seconds.
    void OpenLongPeriod() {
        Latency(0, 60000);
        ASSERT_EQ(bTqmCheckCommand(Command(0)), TQM_ADMIT);
        ASSERT_EQ(dGetTqmRankLimit(0), TQM_START_LIMIT);
    }

    uint64_t m_lNextLba = 0;
    std::set<std::pair<uint16_t, uint16_t>> m_mapped;
    std::set<uint16_t> m_logins;
    std::vector<std::pair<KERNEL_ENTRY*, uint32_t>> m_asLoad;
};

TEST_F(TqmTest, OnlyTheThreeResponseTypesTurnItOnAndTheTableFollows) {
    const uint32_t dFree = dGetPagesInUse(0);
    for (uint8_t bType : {uint8_t{0}, uint8_t{0xF0}, uint8_t{0xF4}, uint8_t{0x01}}) {
        Apply(Settings(bType));
        EXPECT_EQ(fGetTqmStatisticsEnabled(), FALSE) << int(bType);
        EXPECT_EQ(dGetPagesInUse(0), dFree);
    }
    for (uint8_t bType : {TQM_RESPONSE_BUSY, TQM_RESPONSE_TASK_SET_FULL, TQM_RESPONSE_BY_HOST}) {
        Apply(Settings(bType));
        EXPECT_EQ(fGetTqmStatisticsEnabled(), TRUE) << int(bType);
        EXPECT_EQ(dGetPagesInUse(0), dFree + kStatisticsPages);
    }
    Apply(Settings(0xF0));
    EXPECT_EQ(dGetPagesInUse(0), dFree);
    EXPECT_EQ(psGetTqmStatistics(), nullptr);
}

// Without 8 MB of pages in one run the table cannot be had: it stays off,
// with no status delay, and the commands simply go.
TEST_F(TqmTest, WithoutPagesForItsTableItStaysOff) {
    BUFFER_HANDLE d = NULL_BUFFER_HANDLE;
    while (bAllocDataPages(0, 1024, &d) == STATUS_OK) {
    }
    TQM_SETTINGS s = Settings(TQM_RESPONSE_BUSY);
    s.dStatusDelay = 500;
    Apply(s);
    EXPECT_EQ(fGetTqmStatisticsEnabled(), FALSE);
    EXPECT_EQ(fIsStatusDelaySet(), FALSE);
    EXPECT_EQ(bAdmitQueuedCommand(Command(0)), STATUS_OK);
}

// The limit follows the worst latency L of the period against the response
// time T: (T + |L - T| / 2) x 100 / L above it, (T - |L - T| / 2) x 100 / L
// below; an array that met no limit comes down to its deepest queue + 5.
TEST_F(TqmTest, LimitsFollowTheWorstLatencyOncePerPeriod) {
    struct Case {
        const char* pszWhat;
        uint32_t dLoad;          // commands on the array at the adjustment
        uint32_t dLatency;       // worst latency of the period, ms
        bool fMeetLimit;         // a command met the limit during the period
        uint32_t dLimit;         // limit after the adjustment
    };
    const Case cases[] = {
        {"idle array", 4, 9000, true, 128},
        {"4000 ms against 2000", 10, 4000, false, 96},
        {"1000 ms against 2000, limited", 10, 1000, true, 192},
        {"under 1000 ms counts as 1000, deepest 20", 20, 200, false, 25},
    };
    Apply(Settings(TQM_RESPONSE_BUSY, 2));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        InitTqmState();
        Apply(Settings(TQM_RESPONSE_BUSY, 2));
        // The first check opens the first period: an idle array keeps 128.
        (void)bTqmCheckCommand(Command(0));
        ASSERT_EQ(dGetTqmRankLimit(0), TQM_START_LIMIT);
        Load(0, c.dLoad);
        if (c.fMeetLimit) {
            const uint32_t dLimit = dGetTqmRankLimit(0);
            Load(0, dLimit > c.dLoad ? dLimit - c.dLoad : 0);
            (void)bTqmCheckCommand(Command(0));
            Unload();
            Load(0, c.dLoad);
        }
        Latency(0, c.dLatency);
        // Within the period nothing moves.
        (void)bTqmCheckCommand(Command(0));
        EXPECT_EQ(dGetTqmRankLimit(0), TQM_START_LIMIT);
        AdvanceMs(2001);
        (void)bTqmCheckCommand(Command(0));
        EXPECT_EQ(dGetTqmRankLimit(0), c.dLimit);
        Unload();
    }
}

TEST_F(TqmTest, LimitsStayBetweenFiveAndTwoThousand) {
    Apply(Settings(TQM_RESPONSE_BUSY, 99));
    (void)bTqmCheckCommand(Command(0));
    // Down: an array of 5 commands that never met its limit comes to 10,
    // then periods four times slower than the response time take it to
    // (99 + 150.5) x 100 / 400 = 62 % of itself.
    Load(0, 5);
    const uint32_t adDown[] = {10, 6, 5};
    for (uint32_t dExpected : adDown) {
        AdvanceMs(500000);
        (void)bTqmCheckCommand(Command(0));
        EXPECT_EQ(dGetTqmRankLimit(0), dExpected);
        Latency(0, 400000);
    }
    Unload();
    // Up: met at every period, with latencies far below the response time.
    Load(0, 10);
    for (int i = 0; i < 20; i++) {
        AdvanceMs(1001000);
        Load(0, dGetTqmRankLimit(0) > 10 ? dGetTqmRankLimit(0) - 10 : 0);
        (void)bTqmCheckCommand(Command(0));
        Unload();
        Load(0, 10);
        EXPECT_LE(dGetTqmRankLimit(0), TQM_MAX_LIMIT);
    }
    EXPECT_EQ(dGetTqmRankLimit(0), TQM_MAX_LIMIT);
    Unload();
}

// Over the limit the history decides, in its order; every rule is off at 0.
TEST_F(TqmTest, OverTheLimitTheHistoryDecides) {
    struct Case {
        const char* pszWhat;
        TQM_SETTINGS sSettings;
        uint32_t dRefusedBefore;     // refusals of the (host, LUN) first
        uint32_t dIdleMs;            // since the array was last accessed
        uint8_t bAnswer;
    };
    TQM_SETTINGS sNoAccept = Settings(TQM_RESPONSE_BUSY);
    sNoAccept.wNoAcceptTime = 800;
    TQM_SETTINGS sMaxReject = Settings(TQM_RESPONSE_BUSY);
    sMaxReject.wMaxReject = 2;
    TQM_SETTINGS sLinks = Settings(TQM_RESPONSE_BUSY);
    sLinks.wMaxLinks = 10;
    sLinks.wMinLinksPerHost = 1;
    TQM_SETTINGS sFewLinks = sLinks;
    sFewLinks.wMaxLinks = 1;
    const Case cases[] = {
        {"nothing set, array busy", Settings(TQM_RESPONSE_BUSY), 0, 0, TQM_REFUSE},
        {"nothing set, array idle 3001 ms", Settings(TQM_RESPONSE_BUSY), 0, 3001, TQM_ADMIT},
        {"nothing set, array idle 3000 ms", Settings(TQM_RESPONSE_BUSY), 0, 3000, TQM_REFUSE},
        {"no accept time: never admitted", sNoAccept, 0, 0, TQM_ADMIT},
        {"max reject: refused twice", sMaxReject, 2, 0, TQM_REFUSE},
        {"max reject: refused three times", sMaxReject, 3, 0, TQM_ADMIT},
        {"links: a host without LUNs", sLinks, 0, 0, TQM_ADMIT},
        {"links: the controller has enough", sFewLinks, 0, 0, TQM_REFUSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        InitTqmState();
        Apply(c.sSettings);
        OpenLongPeriod();
        Load(0, TQM_START_LIMIT);
        for (uint32_t d = 0; d < c.dRefusedBefore; d++) {
            KERNEL_ENTRY* ps = Command(0, 9);
            (void)bTqmCheckCommand(ps);
            ASSERT_TRUE(HasFlag(ps, KE_FLAG_TQM_REFUSED));
        }
        AdvanceMs(c.dIdleMs);
        EXPECT_EQ(bTqmCheckCommand(Command(0, 9)), c.bAnswer);
        Unload();
    }
}

TEST_F(TqmTest, ARefusedCommandIsAnsweredByTheResponseType) {
    struct Case {
        uint8_t bType;
        bool fHostHasCommands;
        uint8_t bStatus;
    };
    const Case cases[] = {
        {TQM_RESPONSE_BUSY, true, SCSI_STATUS_BUSY},
        {TQM_RESPONSE_TASK_SET_FULL, false, SCSI_STATUS_TASK_SET_FULL},
        {TQM_RESPONSE_BY_HOST, true, SCSI_STATUS_TASK_SET_FULL},
        {TQM_RESPONSE_BY_HOST, false, SCSI_STATUS_BUSY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.bType) << " " << c.fHostHasCommands);
        InitTqmState();
        Apply(Settings(c.bType));
        OpenLongPeriod();
        if (c.fHostHasCommands) {
            ASSERT_EQ(bTqmCheckCommand(Command(0, 9)), TQM_ADMIT);
        }
        Load(0, TQM_START_LIMIT);
        KERNEL_ENTRY* ps = Command(0, 9);
        ASSERT_EQ(bTqmCheckCommand(ps), TQM_REFUSE);
        EXPECT_EQ(bGetTqmResponseStatus(ps), c.bStatus);
        Unload();
    }
}

// Through the gate: the refusal waits for the status delay, then goes to
// the host with the response type's status; it never counts as outstanding.
TEST_F(TqmTest, TheStatusDelayHoldsARefusalBackUntilTheCommandIsThatOld) {
    TQM_SETTINGS s = Settings(TQM_RESPONSE_TASK_SET_FULL);
    s.dStatusDelay = 500;
    Apply(s);
    OpenLongPeriod();
    Load(0, TQM_START_LIMIT);
    KERNEL_ENTRY* ps = Command(0, 9, false, true);
    const uint16_t wIndex = ps->wIndex;
    EXPECT_EQ(bAdmitQueuedCommand(ps), 238);
    AdvanceMs(499);
    EXPECT_EQ(bAdmitQueuedCommand(ps), 238);
    EXPECT_FALSE(host.HasStatus(wIndex));
    AdvanceMs(1);
    EXPECT_EQ(bAdmitQueuedCommand(ps), 240);
    Settle();
    EXPECT_EQ(Reply(wIndex).bStatus, SCSI_STATUS_TASK_SET_FULL);
    EXPECT_EQ(psGetTqmStatistics()->asHost[9].asLun[0].lRefused, 1u);
    EXPECT_EQ(psGetTqmStatistics()->asHost[9].wReads, 0);
    Unload();
}

// Admissions count per host and LUN until the command is done; the counts
// never go below 0, and a host number beyond the table meets only the
// array's limit.
TEST_F(TqmTest, StatisticsCountWhatIsOutstandingPerHostAndLun) {
    Apply(Settings(TQM_RESPONSE_BUSY));
    KERNEL_ENTRY* psRead = Command(0, 9);
    KERNEL_ENTRY* psWrite = Command(1, 9, true);
    // An ISP24xx handle runs to 0x7EF.
    KERNEL_ENTRY* psOther = Command(1, 8);
    const uint16_t wFar = 0x7EF;
    std::memcpy(reinterpret_cast<uint8_t*>(psOther) + 8, &wFar, sizeof wFar);
    ASSERT_EQ(wGetCommandInitiator(psOther), wFar);
    for (KERNEL_ENTRY* ps : {psRead, psWrite, psOther}) ASSERT_EQ(bTqmCheckCommand(ps), TQM_ADMIT);
    const TQM_STATISTICS* psTable = psGetTqmStatistics();
    ASSERT_NE(psTable, nullptr);
    EXPECT_EQ(psTable->dActivePairs, 2u);
    EXPECT_EQ(psTable->asHost[9].wActiveLuns, 2);
    EXPECT_EQ(psTable->asHost[9].wReads, 1);
    EXPECT_EQ(psTable->asHost[9].wWrites, 1);
    EXPECT_EQ(psTable->asHost[9].asLun[1].wWrites, 1);
    EXPECT_EQ(psTable->asHost[9].asLun[0].lAdmitted, 1u);

    for (KERNEL_ENTRY* ps : {psRead, psWrite, psOther}) {
        TqmCommandDone(ps);
        EXPECT_FALSE(HasFlag(ps, KE_FLAG_TQM_COUNTED));
    }
    // Done again (a second path), and a command between passes: no change.
    SetFlag(psRead, KE_FLAG_TQM_COUNTED);
    TqmCommandDone(psRead);
    KERNEL_ENTRY* psPass = Command(0, 9);
    ASSERT_EQ(bTqmCheckCommand(psPass), TQM_ADMIT);
    SetFlag(psPass, KE_FLAG_MORE_PASSES);
    TqmCommandDone(psPass);
    EXPECT_TRUE(HasFlag(psPass, KE_FLAG_TQM_COUNTED));
    EXPECT_EQ(psTable->asHost[9].wReads, 1);
    ClearFlag(psPass, KE_FLAG_MORE_PASSES);
    TqmCommandDone(psPass);
    EXPECT_EQ(psTable->dActivePairs, 0u);
    EXPECT_EQ(psTable->asHost[9].wActiveLuns, 0);
    EXPECT_EQ(psTable->asHost[9].wReads, 0);
    EXPECT_EQ(psTable->asHost[9].asLun[0].lAdmitted, 2u);
}

TEST_F(TqmTest, ConsolePrintouts) {
    board.ClearConsoleText();
    PrintTqmSettings();
    TQM_SETTINGS s = Settings(TQM_RESPONSE_TASK_SET_FULL, 4);
    s.wNoAcceptTime = 800;
    s.wMaxReject = 3;
    s.wMinLinksPerHost = 2;
    s.wMaxLinks = 40;
    s.dStatusDelay = 200;
    Apply(s);
    PrintTqmSettings();
    ASSERT_EQ(bTqmCheckCommand(Command(0, 9)), TQM_ADMIT);
    ASSERT_EQ(bTqmCheckCommand(Command(0, 9, true)), TQM_ADMIT);
    DumpTqmStatistics();
    EXPECT_EQ(board.ConsoleText(),
              "\r\nTarget Queue Management:        disabled.\r\n\r\n"
              "\r\nTarget Queue Management:        enabled.\r\n"
              " TQM: Response type   TSF.\r\n"
              " TQM: Response Time   4000ms\r\n"
              " TQM: No Accept Time  800ms\r\n"
              " TQM: Max Reject      3\r\n"
              " TQM: Min Links/Host  2\r\n"
              " TQM: Max Links       40\r\n"
              " TQM: Status Delay    200ms\r\n\r\n"
              "\r\nTarget Queue Management Statistics: \r\n"
              "H009: active luns 0001, L000: R0001 W0001 A0000000000000002 X0000000000000000 \r\n");
}

// ---- the intermediate target queue ----

class IntermediateQueueTest : public TqmTest {
protected:
    void SetUp() override {
        TqmTest::SetUp();
        Apply(Settings(TQM_RESPONSE_BUSY));
    }
    // A command of the LUN with a request block that names it.
    KERNEL_ENTRY* Parked(uint16_t wLun) {
        KERNEL_ENTRY* ps = Command(wLun);
        EXPECT_EQ(fCanParkCommand(ps), TRUE);
        uint8_t ab[64] = {};
        ab[0] = 0x12;
        ab[4] = static_cast<uint8_t>(ps->wIndex);
        ab[5] = static_cast<uint8_t>(ps->wIndex >> 8);
        ParkCommandIocb(ps, ab, nullptr);
        return ps;
    }
    // The entries of the request blocks the chip received, in order.
    std::vector<uint16_t> Released() {
        std::vector<uint16_t> aw;
        const uint8_t* pbRing = pbGetRequestRing(PORT);
        for (; m_wSeen != wGetRequestInPointer(PORT);
             m_wSeen = static_cast<uint16_t>((m_wSeen + 1) % wGetRequestRingLength(PORT))) {
            const uint8_t* pb = pbRing + m_wSeen * 64;
            if (pb[0] == 0x12) aw.push_back(static_cast<uint16_t>(pb[4] | pb[5] << 8));
        }
        return aw;
    }
    uint16_t m_wSeen = 0;
};

// The LUN released longest ago goes first, the lowest on a tie; a freed
// command's slot is passed over and does not count as a release.
TEST_F(IntermediateQueueTest, ReleasesTakeTheLunServedLongestAgo) {
    m_wSeen = wGetRequestInPointer(PORT);
    std::vector<KERNEL_ENTRY*> aps;
    for (uint16_t wLun : {1, 0, 0, 0, 1}) aps.push_back(Parked(wLun));
    EXPECT_EQ(wGetParkedCount(PORT), 5);
    UnparkCommand(aps[2]);
    while (wGetParkedCount(PORT) != 0) ReleaseParkedCommand(PORT);
    const std::vector<uint16_t> awExpected = {aps[1]->wIndex, aps[0]->wIndex, aps[3]->wIndex, aps[4]->wIndex};
    EXPECT_EQ(Released(), awExpected);
    EXPECT_EQ(wGetReleasedCount(PORT), 4);
    for (int i = 0; i < 6; i++) DecReleasedCount(PORT);
    EXPECT_EQ(wGetReleasedCount(PORT), 0);
}

// A LUN's ring holds 257: beyond that the requests go to the chip at once.
TEST_F(IntermediateQueueTest, AFullLunRingSendsToTheChipAtOnce) {
    m_wSeen = wGetRequestInPointer(PORT);
    for (int i = 0; i < 257; i++) (void)Parked(0);
    KERNEL_ENTRY* ps = Command(0);
    EXPECT_EQ(fCanParkCommand(ps), FALSE);
    uint8_t ab[64] = {0x12, 0, 0, 0, static_cast<uint8_t>(ps->wIndex), static_cast<uint8_t>(ps->wIndex >> 8)};
    ParkCommandIocb(ps, ab, nullptr);
    EXPECT_EQ(Released(), std::vector<uint16_t>{ps->wIndex});
    EXPECT_EQ(wGetParkedCount(PORT), 257);
}

}  // namespace
}  // namespace target_test
