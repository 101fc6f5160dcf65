// The parity check through the whole controller: arrays of a few hundred
// rows whose members hold random but consistent rows, chunks corrupted
// behind the controller's back, and the check in each mode, alone and
// under host writes.  The drives are compared with the layout model
// afterwards and every acknowledged write must read back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <set>

#include "eventlog/event_log.h"
#include "host_road.h"
#include "config/rank_table.h"
#include "console/menu_tree.h"
#include "raid/parity_check.h"

namespace roadtest {
namespace {

constexpr uint64_t kRows = 160;

// The error count (four bytes, least significant first) of the newest
// event of the code.
uint32_t LastEventCount(uint8_t code) {
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    uint32_t d = 0xFFFFFFFF;
    for (uint16_t w = 0; w < wCount; ++w) {
        const fw::EVENT_LOG_ENTRY* ps = fw::psGetEventLogEntry(w);
        if (ps->bCode != code) continue;
        d = ps->abArgs[2] | ps->abArgs[3] << 8 | ps->abArgs[4] << 16 | uint32_t(ps->abArgs[5]) << 24;
    }
    return d;
}

struct Level {
    const char* name;
    ArraySpec spec;
    unsigned parityChunks;   // parity chunks written per rewritten row
};

class ParityCheckRoad : public HostRoad, public ::testing::WithParamInterface<Level> {
protected:
    // Write-through arrays for the tests with host writes: a row under
    // check waits for the writes before it to reach the drives, and the
    // cache may hold a write-back write back for seconds of board time,
    // which a test would spend spinning the main loop.
    void Begin(bool fWriteBack = true) {
        ArraySpec a = GetParam().spec;
        a.lBlocks = kRows * RowDataBlocks(a);
        a.fWriteBack = fWriteBack;
        ASSERT_NO_FATAL_FAILURE(Boot(a));
        FillConsistentRows(kRows, 0x5EED);
    }
    // NVRAM and the data banks in files, so that they outlive a power cut;
    // the drives stay in the chassis.
    void KeepNvramAcrossRestarts() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir = std::filesystem::temp_directory_path() / ("parity_check_" + std::to_string(::getpid()) + "_" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        boardConfig.dataDir = dir.string();
    }
    void TearDown() override {
        if (dir.empty()) return;
        Stop();
        std::filesystem::remove_all(dir);
    }
    // Own journal slots naming an internal write the drives may not have yet.
    static unsigned InternalWritesJournalled() {
        unsigned n = 0;
        for (uint16_t w = 0; w < fw::NVRAM_QUEUE_USED_SLOTS; ++w) {
            const fw::NVRAM_QUEUE_ENTRY* ps = fw::psGetNvramQueueEntry(fw::TRUE, w);
            n += ps->fValid == fw::TRUE && ps->fIssued == fw::TRUE && ps->bKind == fw::JOURNAL_KIND_INTERNAL;
        }
        return n;
    }
    std::filesystem::path dir;

    // Flips bytes of one member's chunk of the row.
    void Corrupt(uint64_t row, unsigned member, uint8_t pattern = 0x5A) {
        std::vector<uint8_t> v(spec.wChunk * kBlock);
        sim::Drive* d = chassis->DriveAt(firstSlot + member);
        d->ReadBlocks(row * spec.wChunk, spec.wChunk, v.data());
        for (size_t i = 100; i < v.size(); i += 997) v[i] ^= pattern;
        d->WriteBlocks(row * spec.wChunk, spec.wChunk, v.data());
    }
    unsigned ParityMemberOf(uint64_t row) const {
        return spec.bLevel == fw::RAID_LEVEL_6 ? DualLayout().PMember(row) : ParityLayout().ParityMember(row, 0);
    }
    unsigned QMemberOf(uint64_t row) const { return DualLayout().QMember(row); }
    unsigned DataMemberOf(uint64_t row) const {
        return spec.bLevel == fw::RAID_LEVEL_6 ? DualLayout().DataMembers(row)[0] : ParityLayout().DataMembers(row, 0)[0];
    }

    // Runs one check to its end; the error count of its event 68.
    uint32_t RunCheck(uint8_t mode) {
        const uint16_t before = EventCount(68);
        EXPECT_EQ(fw::StartParityCheck(0, mode, fw::FALSE), fw::STATUS_OK);
        board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, kSettleLimitNs);
        EXPECT_NE(fw::fIsParityCheckInProgress(), fw::TRUE) << "the check never ended";
        // The last console lines leave the log on the next passes.
        board->RunFor(50'000'000);
        EXPECT_EQ(EventCount(68), before + 1);
        return LastEventCount(68);
    }
    size_t ConsoleCount(const std::string& what) const {
        const std::string text = board->ConsoleText();
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    std::vector<std::vector<uint8_t>> DrivesNow() const {
        std::vector<std::vector<uint8_t>> v(spec.bDrives, std::vector<uint8_t>(kRows * spec.wChunk * kBlock));
        for (unsigned m = 0; m < spec.bDrives; ++m) chassis->DriveAt(firstSlot + m)->ReadBlocks(0, kRows * spec.wChunk, v[m].data());
        return v;
    }
    std::string ErrorLine() const { return spec.bLevel == fw::RAID_LEVEL_6 ? "Parity Err:" : "XOR Error: Address:"; }

    // Host writes of one chunk or less, 32 at a time, while the check runs:
    // most aimed at the rows it is at, beyond their first chunk, the rest
    // anywhere; each one acknowledged is in the reference.
    void WriteDuringCheck(uint32_t count, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<std::pair<uint32_t, std::pair<uint64_t, std::vector<uint8_t>>>> out;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t blocks = 1 + rng() % spec.wChunk;
            const uint64_t row = std::min<uint64_t>(fw::dGetParityCheckPosition() / spec.wChunk + rng() % 2, kRows - 1);
            const uint64_t lba = i % 4 == 3 ? rng() % (spec.lBlocks - blocks)
                                            : row * RowBlocks() + spec.wChunk + rng() % (RowBlocks() - spec.wChunk - blocks);
            std::vector<uint8_t> data = Random(blocks, seed + i);
            NoteSent(lba, data);
            sim::FcpCommand c;
            c.cdb = Cdb(fw::SCSI_WRITE10, lba, blocks);
            c.dataOut = data;
            out.push_back({host->Submit(c), {lba, std::move(data)}});
            if (out.size() == 32 || i + 1 == count) {
                for (auto& [tag, w] : out) {
                    const sim::FcpResult r = host->Wait(tag);
                    ASSERT_EQ(r.status, 0) << "write " << w.first;
                    Record(w.first, w.second);
                }
                out.clear();
            }
        }
    }
};

const Level kLevels[] = {
    {"Raid5", {"r5", fw::RAID_LEVEL_5, 4, 16}, 1},
    {"Raid50", {"r50", fw::RAID_LEVEL_50, 6, 16, 2}, 2},
    {"Raid6", {"r6", fw::RAID_LEVEL_6, 5, 16}, 2},
};

// Mode 1 reports every planted row, parity and data alike, and writes
// nothing; mode 3 then rewrites the parity of the bad rows only; both
// leave what the hosts see untouched.
TEST_P(ParityCheckRoad, CheckReportsAndCheckRewriteRepairsOnlyBadRows) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    const std::set<uint64_t> parityRows = {0, 3, 77, kRows - 1};
    const std::set<uint64_t> dataRows = {9, 120};
    for (uint64_t r : parityRows) Corrupt(r, ParityMemberOf(r));
    if (spec.bLevel == fw::RAID_LEVEL_6) Corrupt(41, QMemberOf(41));
    for (uint64_t r : dataRows) Corrupt(r, DataMemberOf(r));
    const size_t planted = parityRows.size() + dataRows.size() + (spec.bLevel == fw::RAID_LEVEL_6 ? 1 : 0);

    WatchDataCommands();
    const auto before = DrivesNow();
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), planted);
    EXPECT_EQ(ConsoleCount(ErrorLine()), planted) << board->ConsoleText();
    EXPECT_EQ(AllDataWrites(), 0u);
    EXPECT_TRUE(DrivesNow() == before) << "a check-only pass changed the drives";

    // The data corruption is put back; only parity is wrong now.
    for (uint64_t r : dataRows) Corrupt(r, DataMemberOf(r));
    WatchDataCommands();
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK_AND_REWRITE), planted - dataRows.size());
    EXPECT_EQ(AllDataWrites(), (planted - dataRows.size()) * GetParam().parityChunks);
    Settle();
    ExpectDrivesMatchReference();
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 0u);
}

// Mode 2 reads only data and writes the parity of every row; hosts write
// partial rows meanwhile.  Every row ends consistent and every
// acknowledged write reads back.
TEST_P(ParityCheckRoad, RewriteAllUnderHostWrites) {
    ASSERT_NO_FATAL_FAILURE(Begin(false));
    for (uint64_t r : {2u, 60u, 131u}) Corrupt(r, ParityMemberOf(r));
    WatchDataCommands();
    EXPECT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_REWRITE, fw::FALSE), fw::STATUS_OK);
    ASSERT_NO_FATAL_FAILURE(WriteDuringCheck(96, 0xC0FFEE));
    board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, kSettleLimitNs);
    ASSERT_NE(fw::fIsParityCheckInProgress(), fw::TRUE);
    EXPECT_EQ(LastEventCount(68), 0u);
    EXPECT_EQ(ConsoleCount(ErrorLine()), 0u);
    Settle();
    ExpectDrivesMatchReference();
    for (uint64_t x = 0; x < spec.lBlocks; x += 1000) ASSERT_NO_FATAL_FAILURE(ExpectRead(x, 8));
}

// Mode 3 while hosts write partial rows, some of them planted bad: the
// rows end consistent with what the hosts wrote.
TEST_P(ParityCheckRoad, CheckRewriteUnderHostWrites) {
    ASSERT_NO_FATAL_FAILURE(Begin(false));
    for (uint64_t r = 5; r < kRows; r += 17) Corrupt(r, ParityMemberOf(r));
    EXPECT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_CHECK_AND_REWRITE, fw::FALSE), fw::STATUS_OK);
    ASSERT_NO_FATAL_FAILURE(WriteDuringCheck(128, 0xBEEF));
    board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, kSettleLimitNs);
    Settle();
    ExpectDrivesMatchReference();
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 0u);
}

// A stop request ends the check with event 69; a resume record restarts
// it at the recorded row with the recorded count, so rows before it are
// not looked at again.
TEST_P(ParityCheckRoad, StopAndResumeAtRecordedRow) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    Corrupt(4, ParityMemberOf(4));
    Corrupt(100, ParityMemberOf(100));
    EXPECT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_CHECK, fw::FALSE), fw::STATUS_OK);
    board->RunUntil([] { return fw::dGetParityCheckPosition() >= 20u * 16; }, kSettleLimitNs);
    fw::SetParityCheckStopRequest(fw::TRUE);
    board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, kSettleLimitNs);
    EXPECT_EQ(EventCount(69), 1);
    EXPECT_EQ(EventCount(68), 0);
    EXPECT_EQ(LastEventCount(69), 1u);

    fw::SaveParityCheckResume(fw::TRUE, 0, fw::FALSE, fw::PARITY_MODE_CHECK, 7, 50 * 16 + 3);
    fw::ResumeParityCheck();
    EXPECT_EQ(fw::dGetParityCheckPosition(), 50u * 16);
    board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, kSettleLimitNs);
    EXPECT_EQ(LastEventCount(68), 8u) << "7 recorded and row 100";
}

// A power cut in the middle of a check: nobody is left to end it, so the
// next start of day reports it aborted (event 69) with the rows found in
// error until then, once; the check does not run again by itself.
TEST_P(ParityCheckRoad, ACheckCutByAPowerFailureIsReportedAbortedAtTheNextStart) {
    KeepNvramAcrossRestarts();
    ASSERT_NO_FATAL_FAILURE(Begin());
    Corrupt(4, ParityMemberOf(4));
    Corrupt(100, ParityMemberOf(100));
    ASSERT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_CHECK, fw::FALSE), fw::STATUS_OK);
    board->RunUntil([] { return fw::dGetParityCheckPosition() >= 20u * 16; }, kSettleLimitNs);
    ASSERT_EQ(fw::fIsParityCheckInProgress(), fw::TRUE);
    const uint16_t aborted = EventCount(69);

    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_EQ(EventCount(69), aborted + 1);
    EXPECT_EQ(LastEventCount(69), 1u) << "row 4";
    EXPECT_EQ(EventCount(68), 0);
    EXPECT_NE(fw::fIsParityCheckInProgress(), fw::TRUE);
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_EQ(EventCount(69), aborted + 1) << "told once";
    // A check that ends as checks do leaves nothing to tell.
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 2u);
    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_EQ(EventCount(69), aborted + 1);
}

// The power fails while the parity of a bad row is being rewritten, part
// of it on the drive: the journal names the row, so the next start of day
// recomputes its parity from its data, and nothing is reported lost.
TEST_P(ParityCheckRoad, APowerCutDuringARewriteLeavesTheRowConsistent) {
    KeepNvramAcrossRestarts();
    ASSERT_NO_FATAL_FAILURE(Begin());
    const uint64_t row = 37;
    Corrupt(row, ParityMemberOf(row));
    chassis->DriveAt(firstSlot + ParityMemberOf(row))->CutPowerDuringNextWrite(3);
    ASSERT_EQ(fw::StartParityCheck(0, fw::PARITY_MODE_CHECK_AND_REWRITE, fw::FALSE), fw::STATUS_OK);
    board->RunUntil([this] { return board->lastStop() == sim::StopKind::PowerCut; }, kSettleLimitNs);
    ASSERT_EQ(board->lastStop(), sim::StopKind::PowerCut) << "the rewrite never reached the drive";
    EXPECT_EQ(fw::dGetParityCheckPosition(), row * spec.wChunk);
    EXPECT_EQ(InternalWritesJournalled(), 1u);
    const uint16_t lost = EventCount(101), resynced = EventCount(45);

    ASSERT_NO_FATAL_FAILURE(Restart());
    EXPECT_EQ(EventCount(101), lost);
    EXPECT_EQ(EventCount(45), resynced + 1);
    EXPECT_EQ(InternalWritesJournalled(), 0u);
    Settle();
    ExpectDrivesMatchReference();
    ASSERT_NO_FATAL_FAILURE(ExpectRead(row * RowBlocks(), static_cast<uint32_t>(RowBlocks())));
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 0u);
}

// Blocks a member cannot read in rows under check, a data chunk in one and
// a parity chunk in another: each chunk is regenerated from the rest of its
// row and written back (event 113), the row counted and checked again, and
// the check goes on to its end.
TEST_P(ParityCheckRoad, ReadErrorsAreRegeneratedAndCounted) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    const uint64_t dataRow = 30, parityRow = 90, badRow = 120;
    chassis->DriveAt(firstSlot + DataMemberOf(dataRow))->InjectMediaError(dataRow * spec.wChunk + 5, 2);
    chassis->DriveAt(firstSlot + ParityMemberOf(parityRow))->InjectMediaError(parityRow * spec.wChunk + 9, 1);
    Corrupt(badRow, ParityMemberOf(badRow));
    const uint16_t repaired = EventCount(113);
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK_AND_REWRITE), 3u);
    EXPECT_EQ(EventCount(113), repaired + 2);
    Settle();
    ExpectDrivesMatchReference();
    // Nothing unreadable is left: a second pass finds every row sound.
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(dataRow * RowBlocks(), static_cast<uint32_t>(RowBlocks())));
}


// Failures the drive does not call final (a hardware error) are tried
// again a bounded number of times: a row that reads at the last try is
// checked as any other, one that never does is counted and left, and the
// same for a parity write; the check always reaches its end.
TEST_P(ParityCheckRoad, RowsThatKeepFailingAreCountedAndLeft) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    sim::Drive* first = chassis->DriveAt(firstSlot);
    first->FailCommand(fw::SCSI_READ10, 3);   // the row reads at its last try
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 0u);
    first->FailCommand(fw::SCSI_READ10, 4);
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 1u);

    const uint64_t row = 50;
    Corrupt(row, ParityMemberOf(row));
    chassis->DriveAt(firstSlot + ParityMemberOf(row))->FailCommand(fw::SCSI_WRITE10, 4);
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK_AND_REWRITE), 2u) << "the bad row, and its parity left unwritten";
    EXPECT_EQ(InternalWritesJournalled(), 0u);
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 1u);
}

// A row with two unreadable chunks: regenerating the one needs the other.
// The row is counted once and left; the check goes on to its end and the
// other rows are sound.
TEST_P(ParityCheckRoad, ARowStillUnreadableAfterRegenerationIsLeft) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    const uint64_t row = 70;
    const unsigned a = DataMemberOf(row), b = ParityMemberOf(row);
    chassis->DriveAt(firstSlot + a)->InjectMediaError(row * spec.wChunk + 3, 1);
    chassis->DriveAt(firstSlot + b)->InjectMediaError(row * spec.wChunk + 7, 1);
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK_AND_REWRITE), 1u);
    chassis->DriveAt(firstSlot + a)->ClearMediaErrors();
    chassis->DriveAt(firstSlot + b)->ClearMediaErrors();
    EXPECT_EQ(RunCheck(fw::PARITY_MODE_CHECK), 0u);
}

INSTANTIATE_TEST_SUITE_P(Levels, ParityCheckRoad, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return std::string(info.param.name); });

// A resume record that names no checkable rank or mode is not taken up.
class ParityResumeRecord : public HostRoad {};

TEST_F(ParityResumeRecord, RecordsNamingNothingCheckableAreRefused) {
    ArraySpec a{"r10", fw::RAID_LEVEL_10, 4, 16};
    a.lBlocks = 64 * RowDataBlocks(a);
    ASSERT_NO_FATAL_FAILURE(Boot(a));
    struct Case {
        uint8_t valid, rank, mode;
    };
    for (const Case c : {Case{fw::TRUE, 0, 1}, Case{fw::TRUE, 3, 1}, Case{fw::FALSE, 0, 1}, Case{fw::TRUE, 0, 0},
                         Case{fw::TRUE, 0, 4}}) {
        fw::SaveParityCheckResume(c.valid, c.rank, fw::FALSE, c.mode, 0, 0);
        fw::ResumeParityCheck();
        EXPECT_NE(fw::fIsParityCheckInProgress(), fw::TRUE) << int(c.rank) << " mode " << int(c.mode);
    }
}

// The parity check menu on a controller with one RAID 5 array: its
// screens byte for byte, a check started from it, its status line, and
// its cancellation.
class ParityMenuRoad : public HostRoad {
protected:
    void SetUp() override {
        ArraySpec a{"r5", fw::RAID_LEVEL_5, 4, 16};
        a.lBlocks = 400 * RowDataBlocks(a);
        ASSERT_NO_FATAL_FAILURE(Boot(a));
        Type("\x05");
    }
    static std::string Lines(std::string s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
            out.push_back(s[i]);
        }
        return out;
    }
    std::string Type(std::string_view keys) {
        board->ClearConsoleText();
        for (char c : keys) {
            board->TypeKeys(std::string_view(&c, 1));
            board->RunFor(5'000'000);
        }
        return Lines(board->ConsoleText());
    }
    std::string Open() {
        board->ClearConsoleText();
        fw::ParityCheckMenu();
        board->RunFor(5'000'000);
        return Lines(board->ConsoleText());
    }
    const std::string prompt = "\r" + std::string(56, ' ') + "\rPlease Select Option: ";
};

TEST_F(ParityMenuRoad, StartStatusAndCancel) {
    EXPECT_EQ(Open(), "\n\nRAID 5/50/6 Parity Check Menu (2-2-3) (C0)\n\n"
                      "1.  Check All RAID 5/50/6 Arrays\n"
                      "2.  Check Specific RAID 5/50/6 Array\n"
                      "\n0.  Exit\n\n" + prompt);
    EXPECT_EQ(Type("2\r"), "2\r\n\n\n\nRAID 5/50/6 Parity Check Menu (2-2-3-2) (C0)\n\n"
                           "\nEnter the number of the array to check parity (0): ");
    EXPECT_EQ(Type("0\r"), "0\r\n\nRAID 5/50/6 Parity Check Menu (2-2-3-2-1) (C0)\n\n"
                           "1.  Check Parity Only\n"
                           "2.  Rewrite Parity Only\n"
                           "3.  Check and Rewrite Parity\n"
                           "\n0.  Exit\n\n" + prompt);
    EXPECT_EQ(Type("1\r"), "1\r\n\n\nParity Check Started\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::fIsParityCheckInProgress(), fw::TRUE);
    EXPECT_EQ(fw::fGetParityCheckAllRanks(), fw::FALSE);
    const std::string running = Type(" ");
    EXPECT_NE(running.find("3.  Display Parity Check Status\n4.  Cancel Parity Check\n"), std::string::npos) << running;
    EXPECT_EQ(Type("1\r"), "1\r\n\n\nParity Check Already in Progress\n\nPress any key to continue...\n");
    Type(" ");
    const std::string status = Type("3\r");
    EXPECT_NE(status.find("Checking Parity on Array 00: "), std::string::npos) << status;
    EXPECT_NE(status.find("% Complete, No Errors\n\nPress any key to continue...\n"), std::string::npos) << status;
    Type(" ");
    EXPECT_EQ(Type("4\r"), "4\r\n\nConfirm cancellation of parity check (Y or N): ");
    EXPECT_EQ(Type("Y\r"), "Y\r\nParity Check Cancelled\n\nPress any key to continue...\n");
    board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, kSettleLimitNs);
    EXPECT_EQ(EventCount(69), 1);
    EXPECT_EQ(EventCount(68), 0);
}

TEST_F(ParityMenuRoad, CheckAllAndRefusedArrays) {
    Open();
    EXPECT_EQ(Type("1\r"), "1\r\n\n\n\nRAID 5/50/6 Parity Check Menu (2-2-3-1) (C0)\n\n"
                           "1.  Check Parity Only\n"
                           "2.  Rewrite Parity Only\n"
                           "3.  Check and Rewrite Parity\n"
                           "\n0.  Exit\n\n" + prompt);
    EXPECT_EQ(Type("3\r"), "3\r\n\n\nParity Check and Rewrite Started\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::fGetParityCheckAllRanks(), fw::TRUE);
    EXPECT_EQ(fw::bGetParityCheckMode(), fw::PARITY_MODE_CHECK_AND_REWRITE);
    board->RunUntil([] { return fw::fIsParityCheckInProgress() != fw::TRUE; }, kSettleLimitNs);
    Type(" ");
    Type("2\r");
    EXPECT_EQ(Type("1\r"), "1\r\nInvalid selection\n\nPress any key to continue...\n");
    // A degraded RAID 5 is refused.
    fw::SetRankOperationState(0, fw::RANK_STATE_DEGRADED);
    EXPECT_EQ(Open(), "\nNo fault tolerant RAID 5/50/6 arrays found!\n\nPress any key to continue...\n");
}

}  // namespace
}  // namespace roadtest
