// An array that can no longer serve its data: a RAID 0 member failed, or
// two members of a RAID 5.  Every host command to its logical drive is
// answered, reads as writes are, with ILLEGAL REQUEST, LOGICAL UNIT NOT
// SUPPORTED: none is left waiting on a drive that is no longer in the
// array, nor sent round for ever, and nothing is held once they are done.
#include <utility>
#include <vector>

#include "config/rank_table.h"
#include "host_road.h"

namespace {

using namespace roadtest;

constexpr uint64_t kAnswerNs = 60'000'000'000ull;

// How a member goes: its writes fail, or its drive is pulled.
enum class Loss { RefusesWrites, Pulled };

struct FailedCase {
    const char* pszName;
    ArraySpec array;
    // The members lost, one after the other, and how.
    std::vector<std::pair<unsigned, Loss>> losses;
};
void PrintTo(const FailedCase& c, std::ostream* os) { *os << c.pszName; }

class FailedArray : public HostRoad, public ::testing::WithParamInterface<FailedCase> {
protected:
    static constexpr uint64_t kRows = 2;

    // A command that must be answered, whatever its answer.
    sim::FcpResult Answered(uint8_t bOpcode, uint64_t lba, uint32_t blocks) {
        const bool fWrite = bOpcode == fw::SCSI_WRITE10;
        const sim::FcpResult r = road->Send(
            sim::FcpCommand::To(0, Cdb(bOpcode, lba, blocks), fWrite ? Random(blocks, uint32_t(lba)) : std::vector<uint8_t>{},
                                fWrite ? 0 : blocks * kBlock),
            kAnswerNs);
        EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done)
            << (fWrite ? "write " : "read ") << lba << "+" << blocks << " never answered";
        return r;
    }
    // The first host block of the member's chunk in the row.
    uint64_t ChunkOn(unsigned member, uint64_t row) const {
        for (uint64_t x = row * RowBlocks(); x < (row + 1) * RowBlocks(); x += spec.wChunk) {
            if (DataPlace(x).member == member) return x;
        }
        return UINT64_MAX;
    }
    // The member's drive goes; a command that touches it finds out.
    void Lose(unsigned slot, Loss loss) {
        const unsigned member = slot - 1;
        if (loss == Loss::Pulled) {
            chassis->Pull(slot);
            (void)Answered(fw::SCSI_READ10, ChunkOn(member, 0), spec.wChunk);
        } else {
            chassis->DriveAt(slot)->FailCommand(fw::SCSI_WRITE10, 1u << 30);
            (void)Answered(fw::SCSI_WRITE10, ChunkOn(member, 0), spec.wChunk);
        }
    }
};

TEST_P(FailedArray, EveryCommandToItsLogicalDriveIsAnsweredLogicalUnitNotSupported) {
    const FailedCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Boot(c.array));
    ASSERT_NO_FATAL_FAILURE(Write(0, uint32_t(RowBlocks() * kRows), 1));
    for (const auto& [slot, loss] : c.losses) ASSERT_NO_FATAL_FAILURE(Lose(slot, loss));
    ASSERT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);

    // Each member's chunks, the lost members' and the others', and reads
    // across the whole rows.
    for (uint64_t row = 0; row < kRows; ++row) {
        for (unsigned m = 0; m < spec.bDrives; ++m) {
            const uint64_t x = ChunkOn(m, row);
            if (x == UINT64_MAX) continue;   // the row's parity member
            SCOPED_TRACE(testing::Message() << "row " << row << " member " << m);
            for (const uint32_t blocks : {1u, uint32_t(spec.wChunk)}) {
                const sim::FcpResult r = Answered(fw::SCSI_READ10, x, blocks);
                EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
                EXPECT_EQ(SenseText(r), " sense 5/25/00");
            }
        }
    }
    const sim::FcpResult all = Answered(fw::SCSI_READ10, 0, uint32_t(RowBlocks() * kRows));
    EXPECT_EQ(SenseText(all), " sense 5/25/00");
    const sim::FcpResult write = Answered(fw::SCSI_WRITE10, 3, 40);
    EXPECT_EQ(SenseText(write), " sense 5/25/00");
    Settle();
}

ArraySpec WriteThrough(ArraySpec a) {
    a.fWriteBack = false;
    return a;
}

// A degraded RAID 5 reports a write its drive refuses to the host rather
// than fail a second member: its second member goes with its drive.
const FailedCase kCases[] = {
    {"Raid0RefusesWrites", WriteThrough({"Raid0", fw::RAID_LEVEL_0, 3, 16}), {{2, Loss::RefusesWrites}}},
    {"Raid0Pulled", {"Raid0", fw::RAID_LEVEL_0, 3, 16}, {{3, Loss::Pulled}}},
    {"Raid5TwoPulled", {"Raid5", fw::RAID_LEVEL_5, 4, 16}, {{2, Loss::Pulled}, {4, Loss::Pulled}}},
};
INSTANTIATE_TEST_SUITE_P(Levels, FailedArray, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
