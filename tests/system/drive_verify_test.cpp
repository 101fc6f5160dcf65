// The background drive verify through the whole controller: bad blocks
// planted under garbage on array members and on a drive of no array are
// found by the passes, reassigned by the drive and written anew (from the
// mirror, the parity group or the RAID 6 row; zeros elsewhere), and the
// array's rows agree with the layout model afterwards.
#include <gtest/gtest.h>

#include "config/apply_settings.h"
#include "config/config_flags.h"
#include "config/nvram_tables.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "host_road.h"
#include "raid/drive_error_recovery.h"
#include "raid/drive_verify.h"
#include "sas/sas_device_list.h"

namespace roadtest {
namespace {

constexpr uint64_t kRows = 40;
constexpr uint64_t kDriveBlocks = 131072;      // 64 MiB drives: 32 ranges a pass
constexpr uint32_t kRangesPerCycle = 32;

class VerifyRoad : public HostRoad {
protected:
    void Begin(const ArraySpec& a) {
        chassisOptions.driveBytes = kDriveBlocks * kBlock;
        chassis = std::make_unique<sim::Chassis>(chassisOptions);
        ArraySpec s = a;
        s.lBlocks = kRows * RowDataBlocks(s);
        ASSERT_NO_FATAL_FAILURE(Boot(s));
        FillConsistentRows(kRows, 0xB10C);
        fw::pGetConfigImage()->sHeader.fBackgroundVerify = fw::TRUE;
        ASSERT_EQ(fw::ApplyStoredSettings(fw::FALSE, 0), fw::STATUS_OK);
        ASSERT_EQ(fw::fGetVerifyEnabled(), fw::TRUE);
        // The drive table the passes walk is built after the start of day.
        board->RunUntil(
            [] {
                return fw::fIsConfigUpdatePending() != fw::TRUE && fw::dGetDriveTableChangeCount() != 0 &&
                       fw::fIsDriveRescanInProgress() != fw::TRUE && fw::fIsDriveRescanRequested() != fw::TRUE;
            },
            kSettleLimitNs);
        ASSERT_EQ(fw::pGetDriveInfoList()->bDriveCount, chassisOptions.drives);
    }
    // Passes until every drive has gone round once more.
    void RunCycle(uint32_t passes = kRangesPerCycle) {
        for (uint32_t i = 0; i < passes; ++i) {
            fw::RunBackgroundDriveVerifyPass();
            board->RunUntil([] { return fw::dGetDriveVerifyOutstanding() == 0; }, kSettleLimitNs);
            ASSERT_EQ(fw::dGetDriveVerifyOutstanding(), 0u) << "pass " << i;
        }
        Settle();
    }
    // Garbage under a bad block, behind the controller's back.
    void PlantBadBlock(unsigned slot, uint64_t lba) {
        std::vector<uint8_t> junk(kBlock, 0xEE);
        chassis->DriveAt(slot)->WriteBlocks(lba, 1, junk.data());
        chassis->DriveAt(slot)->InjectMediaError(lba, 1);
    }
    std::vector<uint8_t> BlockOn(unsigned slot, uint64_t lba) const {
        std::vector<uint8_t> v(kBlock);
        chassis->DriveAt(slot)->ReadBlocks(lba, 1, v.data());
        return v;
    }
    // The drive id the controller knows the slot's drive by.
    uint8_t IdOf(unsigned slot) {
        const fw::DRIVE_PATH_MAP_ENTRY* psMap = fw::psGetDrivePathMap(3);
        for (uint8_t i = 0; i < fw::DRIVE_PATH_MAP_ENTRIES; ++i) {
            fw::DRIVE_INFO* ps = nullptr;
            uint8_t bIndex = 0;
            if (fw::fFindDriveByLoopID(0, psMap[i].bOwnId, &ps, &bIndex) == fw::TRUE && ps == DriveRecordOf(slot)) {
                return psMap[i].bOwnId;
            }
        }
        return 0xFF;
    }
    bool Readable(unsigned slot, uint64_t lba) {
        std::vector<uint8_t> v(kBlock);
        return chassis->DriveAt(slot)->Execute(Cdb(fw::SCSI_READ10, lba, 1), {}, v).status == 0;
    }
    fw::DRIVE_INFO* DriveRecordOf(unsigned slot) {
        for (uint8_t i = 0; i < fw::DRIVE_INFO_RECORDS; ++i) {
            fw::DRIVE_INFO* ps = nullptr;
            if (fw::fFindDriveByDriveIndex(i, &ps) != fw::TRUE) continue;
            if (std::memcmp(ps->abWWN, DriveWwn(*chassis, slot).data(), 8) == 0) return ps;
        }
        return nullptr;
    }
};

struct Level {
    const char* name;
    ArraySpec spec;
};

class VerifyLevels : public VerifyRoad, public ::testing::WithParamInterface<Level> {};

// A bad block on a member (data in one row, the mirror or parity in
// another) and one on a drive of no array: each is found, reassigned with
// event 113 and written anew, and every row agrees with the layout model.
TEST_P(VerifyLevels, BadBlocksAreReassignedAndRewritten) {
    ASSERT_NO_FATAL_FAILURE(Begin(GetParam().spec));
    const unsigned spare = spec.bDrives + 1;
    const uint64_t dataBlock = 7 * spec.wChunk + 3;
    const uint64_t otherBlock = 23 * spec.wChunk + spec.wChunk - 1;
    PlantBadBlock(firstSlot + 1, dataBlock);
    PlantBadBlock(firstSlot + spec.bDrives - 1, otherBlock);
    PlantBadBlock(spare, 5000);
    ASSERT_NO_FATAL_FAILURE(RunCycle());
    EXPECT_EQ(EventCount(fw::EVENT_BLOCK_REASSIGNED), 3);
    ExpectDrivesMatchReference();
    EXPECT_EQ(BlockOn(spare, 5000), std::vector<uint8_t>(kBlock, 0));
    // Nothing bad is left where a host or a rebuild would read.
    for (auto [slot, lba] : {std::pair<unsigned, uint64_t>{firstSlot + 1, dataBlock}, {spare, 5000}}) {
        std::vector<uint8_t> v(kBlock);
        const sim::DriveResult r = chassis->DriveAt(slot)->Execute(Cdb(fw::SCSI_READ10, lba, 1), {}, v);
        EXPECT_EQ(r.status, 0) << "slot " << slot;
    }
    // Every drive went round once and the repairs are counted where they
    // happened.
    uint32_t repaired = 0;
    for (uint8_t i = 0; i < fw::DRIVE_PATH_MAP_ENTRIES; ++i) repaired += fw::dGetVerifyRepairCount(i);
    EXPECT_EQ(repaired, 3u);
    for (unsigned slot = firstSlot; slot <= spare; ++slot) {
        const fw::DRIVE_INFO* ps = DriveRecordOf(slot);
        ASSERT_NE(ps, nullptr) << "slot " << slot;
        EXPECT_EQ(ps->dVerifyNextBlock, fw::dGetNvramDriveWord(ps->bHardIDFromADISC)) << "slot " << slot;
    }
}

const Level kLevels[] = {
    {"Raid10", {"r10", fw::RAID_LEVEL_10, 4, 16}},
    {"Raid5", {"r5", fw::RAID_LEVEL_5, 4, 16}},
    {"Raid50", {"r50", fw::RAID_LEVEL_50, 6, 16, 2}},
    {"Raid6", {"r6", fw::RAID_LEVEL_6, 5, 16}},
};
INSTANTIATE_TEST_SUITE_P(Levels, VerifyLevels, ::testing::ValuesIn(kLevels),
                         [](const ::testing::TestParamInfo<Level>& i) { return std::string(i.param.name); });

// The block a verify mends is computed from the rest of its row while host
// writes change that row, the parity drive slower than the others so that a
// write's data lands well before its parity: the repair must read the row
// whole (old or new, never half of each), so every write reads back and the
// row agrees with its parity.
TEST_F(VerifyRoad, RepairUnderHostWritesReadsTheRowWhole) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r5", fw::RAID_LEVEL_5, 4, 16, 0, false}));
    const uint64_t row = 7;
    const raidref::Place bad = DataPlace(row * RowBlocks() + 3);
    PlantBadBlock(SlotOfMember(bad.member), bad.block);
    uint8_t bId = 0xFF;
    const fw::DRIVE_PATH_MAP_ENTRY* psMap = fw::psGetDrivePathMap(3);
    for (uint8_t i = 0; i < fw::DRIVE_PATH_MAP_ENTRIES; ++i) {
        fw::DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        if (fw::fFindDriveByLoopID(0, psMap[i].bOwnId, &ps, &bIndex) == fw::TRUE && ps == DriveRecordOf(SlotOfMember(bad.member))) {
            bId = psMap[i].bOwnId;
        }
    }
    ASSERT_NE(bId, 0xFF);
    for (unsigned m = 0; m < spec.bDrives; ++m) chassis->DriveAt(SlotOfMember(m))->SetExtraLatencyNs(300'000);
    chassis->DriveAt(SlotOfMember(ParityLayout().ParityMember(row, 0)))->SetExtraLatencyNs(3'000'000);
    ASSERT_EQ(fw::IssueDriveVerifyCommand(fw::PORT_CODE_INITIATOR, bId, spec.wChunk,
                                          static_cast<uint32_t>(bad.block - 3), fw::FALSE),
              fw::STATUS_OK);
    fw::IncrementDriveVerifyOutstanding();
    // One block at the bad block's place in each chunk of the row (the bad
    // block itself too), one write after another, until the repair is over.
    for (uint32_t i = 0; i < 40 && fw::dGetDriveVerifyOutstanding() != 0; ++i) {
        ASSERT_NO_FATAL_FAILURE(Write(row * RowBlocks() + (i % 3) * spec.wChunk + 3, 1, 900 + i));
    }
    board->RunUntil([] { return fw::dGetDriveVerifyOutstanding() == 0; }, kSettleLimitNs);
    for (unsigned m = 0; m < spec.bDrives; ++m) chassis->DriveAt(SlotOfMember(m))->SetExtraLatencyNs(0);
    Settle();
    // The verify's reassignment (a host write may have met the block first).
    EXPECT_GE(EventCount(fw::EVENT_BLOCK_REASSIGNED), 1);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(row * RowBlocks(), static_cast<uint32_t>(RowBlocks())));
    ExpectDrivesMatchReference();
}

// RAID 6 rows put P, Q and data on every member in turn: a bad block under
// each of them in one row is mended from the others.
TEST_F(VerifyRoad, Raid6RowMendsPQAndData) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r6", fw::RAID_LEVEL_6, 5, 16}));
    const uint64_t row = 11;
    const raidref::DualParityRank d = DualLayout();
    PlantBadBlock(firstSlot + d.PMember(row), row * spec.wChunk + 1);
    PlantBadBlock(firstSlot + d.QMember(row), row * spec.wChunk + 2);
    PlantBadBlock(firstSlot + d.DataMembers(row)[1], row * spec.wChunk + 3);
    ASSERT_NO_FATAL_FAILURE(RunCycle());
    EXPECT_EQ(EventCount(fw::EVENT_BLOCK_REASSIGNED), 3);
    ExpectDrivesMatchReference();
}

// A RAID 6 row one member short still mends a block: whichever of P, Q or
// a data column the lost member held, and whichever the bad block is, the
// block comes back from what the row has left.
TEST_F(VerifyRoad, Raid6OneMemberShortMendsEveryCase) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r6", fw::RAID_LEVEL_6, 5, 16}));
    fw::FailArrayMember(0, 0, fw::TRUE, 0xFF, fw::SENSE_HARDWARE_ERROR, 0x44, 0);
    Settle();
    // The failure has the drive side looked at again; the passes wait for it.
    board->RunUntil(
        [] {
            return fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsDriveRescanInProgress() != fw::TRUE &&
                   fw::fIsDriveRescanRequested() != fw::TRUE;
        },
        kSettleLimitNs);
    const raidref::DualParityRank d = DualLayout();
    // Member 0 holds P in row 10, Q in row 14 and data in rows 11 and 12.
    ASSERT_EQ(d.PMember(10), 0u);
    ASSERT_EQ(d.QMember(14), 0u);
    struct Bad {
        uint64_t row;
        unsigned member;
    };
    const Bad bad[] = {
        {10, d.QMember(10)},          // P and Q lost
        {10, d.DataMembers(10)[1]},   // P and a column
        {14, d.PMember(14)},          // Q and P
        {14, d.DataMembers(14)[2]},   // Q and a column
        {11, d.PMember(11)},          // a column and P
        {11, d.QMember(11)},          // a column and Q
        {12, d.DataMembers(12)[2]},   // two columns
    };
    uint64_t offset = 1;
    for (const Bad& b : bad) {
        ASSERT_NE(b.member, 0u);
        PlantBadBlock(firstSlot + b.member, b.row * spec.wChunk + offset++);
    }
    ASSERT_NO_FATAL_FAILURE(RunCycle());
    EXPECT_EQ(EventCount(fw::EVENT_BLOCK_REASSIGNED), 7);
    ExpectDrivesMatchReference();
}

// Drives that answer badly: a VERIFY failing with a hardware error says
// nothing of the medium, and a refused REASSIGN BLOCKS mends nothing;
// neither is counted or logged as a repair, and the passes go on round.
TEST_F(VerifyRoad, RefusalsAreNoRepairs) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r5", fw::RAID_LEVEL_5, 4, 16}));
    PlantBadBlock(firstSlot, 100);
    chassis->DriveAt(firstSlot)->FailCommand(0x07, 1);
    chassis->DriveAt(firstSlot + 2)->FailCommand(fw::SCSI_VERIFY10, 3);
    ASSERT_NO_FATAL_FAILURE(RunCycle());
    EXPECT_EQ(EventCount(fw::EVENT_BLOCK_REASSIGNED), 0);
    EXPECT_EQ(BlockOn(firstSlot, 100), std::vector<uint8_t>(kBlock, 0xEE)) << "written without a reassign";
    uint32_t repaired = 0, cycles = 0;
    for (uint8_t i = 0; i < fw::DRIVE_PATH_MAP_ENTRIES; ++i) {
        repaired += fw::dGetVerifyRepairCount(i);
        cycles += fw::dGetVerifyCompletionCount(i);
    }
    EXPECT_EQ(repaired, 0u);
    EXPECT_EQ(cycles, chassisOptions.drives) << "every drive went round once";
    // The next cycle finds the block again and mends it.
    ASSERT_NO_FATAL_FAILURE(RunCycle());
    EXPECT_EQ(EventCount(fw::EVENT_BLOCK_REASSIGNED), 1);
    ExpectDrivesMatchReference();
}

// A bad block in the configuration copy at the end of a member is not
// walked: the copy is written again, which mends it.
TEST_F(VerifyRoad, BadBlockInConfigurationCopyRewritesIt) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r5", fw::RAID_LEVEL_5, 4, 16}));
    const uint64_t lba = kDriveBlocks - 1 - copytest::kCopyBlocksBeforeEnd + 2;
    chassis->DriveAt(firstSlot + 1)->InjectMediaError(lba, 1);
    uint32_t writes = 0;
    chassis->DriveAt(firstSlot + 1)->onCommand = [&](std::span<const uint8_t> cdb) {
        writes += cdb[0] == fw::SCSI_WRITE10 || cdb[0] == fw::SCSI_WRITE16;
    };
    ASSERT_NO_FATAL_FAILURE(RunCycle());
    board->RunUntil([] { return fw::fIsConfigUpdatePending() != fw::TRUE; }, kSettleLimitNs);
    chassis->DriveAt(firstSlot + 1)->onCommand = nullptr;
    EXPECT_EQ(EventCount(fw::EVENT_BLOCK_REASSIGNED), 0);
    EXPECT_GT(writes, 0u) << "the configuration copy was not written";
    std::vector<uint8_t> v(kBlock);
    EXPECT_EQ(chassis->DriveAt(firstSlot + 1)->Execute(Cdb(fw::SCSI_READ10, lba, 1), {}, v).status, 0);
    ExpectDrivesMatchReference();
}

// The diagnostics' single commands: a READ LONG whose block is written
// back spoiled, WRITE LONG of one block and of a run, a plain read, each
// reaching only the blocks it names; none for a drive that is not there.
TEST_F(VerifyRoad, DiagnosticCommandsSpoilTheBlocksTheyName) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r5", fw::RAID_LEVEL_5, 4, 16}));
    const unsigned slot = firstSlot + 1;
    const uint8_t id = IdOf(slot);
    ASSERT_NE(id, 0xFF);
    const std::vector<uint8_t> before = BlockOn(slot, 300);
    const uint64_t reads = chassis->DriveAt(slot)->CommandCount(fw::SCSI_READ10);
    EXPECT_EQ(fw::BuildReadLong512Command(id, 300), fw::STATUS_OK);
    EXPECT_EQ(fw::BuildWriteLongCommand(id, 400, 1), fw::STATUS_OK);
    EXPECT_EQ(fw::BuildWriteLongCommand(id, 500, 3), fw::STATUS_OK);
    EXPECT_EQ(fw::BuildReadBlockCommand(id, 600), fw::STATUS_OK);
    EXPECT_EQ(fw::BuildReadLong512Command(0x7E, 300), 0) << "no such drive";
    board->RunFor(200'000'000);
    EXPECT_FALSE(Readable(slot, 300));
    EXPECT_EQ(BlockOn(slot, 300), before) << "READ LONG gives the block's own bytes back";
    EXPECT_FALSE(Readable(slot, 400));
    EXPECT_TRUE(Readable(slot, 401));
    for (uint64_t lba : {500u, 501u, 502u}) EXPECT_FALSE(Readable(slot, lba)) << lba;
    EXPECT_TRUE(Readable(slot, 503));
    EXPECT_TRUE(Readable(slot, 499));
    EXPECT_NE(board->ConsoleText().find("Corrupt LBA is 000001f6 \r\n"), std::string::npos) << board->ConsoleText();
    EXPECT_GT(chassis->DriveAt(slot)->CommandCount(fw::SCSI_READ10), reads);
    EXPECT_TRUE(Readable(slot, 600));
}

// The drive test of the retry table: a drive that reports it expects to
// fail is marked so on its device entry and logged (event 39, 0x5D); one
// that does not is left alone; an id no target has is refused.
TEST_F(VerifyRoad, RequestSenseMarksADrivePredictingFailure) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r5", fw::RAID_LEVEL_5, 4, 16}));
    const uint8_t sick = IdOf(firstSlot), well = IdOf(firstSlot + 1);
    chassis->DriveAt(firstSlot)->PredictFailure(true);
    const int before = EventCount(39);
    EXPECT_EQ(fw::BuildRequestSenseCommand(sick), fw::STATUS_OK);
    EXPECT_EQ(fw::BuildRequestSenseCommand(well), fw::STATUS_OK);
    EXPECT_EQ(fw::BuildRequestSenseCommand(0x80 | sick), 0xFE);
    board->RunFor(200'000'000);
    EXPECT_EQ(EventCount(39), before + 1);
    EXPECT_EQ(fw::psGetSASDeviceOfTarget(sick)->fFailurePredicted, fw::TRUE);
    EXPECT_NE(fw::psGetSASDeviceOfTarget(well)->fFailurePredicted, fw::TRUE);
}

// The display: a line per drive with its cycles, repairs, how far the pass
// is and where.
TEST_F(VerifyRoad, InformationShowsEachDrivesProgress) {
    ASSERT_NO_FATAL_FAILURE(Begin({"r10", fw::RAID_LEVEL_10, 4, 16}));
    ASSERT_NO_FATAL_FAILURE(RunCycle(kRangesPerCycle + kRangesPerCycle / 2));
    const size_t from = board->ConsoleText().size();
    fw::ShowBackgroundDriveVerifyInfo();
    board->RunFor(50'000'000);
    const std::string text = board->ConsoleText().substr(from);
    EXPECT_NE(text.find("#   DEV  ID  CYCLE ERR  %COM  BYTE   CAP   LBAddress"), std::string::npos) << text;
    size_t lines = 0;
    for (size_t at = text.find("  001  000  50%  033MB  000GB  0x00010000"); at != std::string::npos;
         at = text.find("  001  000  50%  033MB  000GB  0x00010000", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, chassisOptions.drives) << text;
}

}  // namespace
}  // namespace roadtest
