// A rebuild with two controllers: the master runs it, and the other
// controller follows it through the partner link alone: the start fills its
// record, each retired region moves its position, the end makes the spare
// the member in its configuration too, and a cancel at the master ends it
// there as well.  What it keeps in its own NVRAM is what it would take
// over from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "../system/road_config.h"
#include "config/config_image.h"
#include "cache/nvram_journal.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "harness/dual_pair.h"
#include "mgmt/management.h"
#include "partner/partner_link.h"
#include "raid/rebuild.h"
#include "sim/fc_host.h"

namespace fw_b {
struct CONFIG_IMAGE;
CONFIG_IMAGE* pGetConfigImage();
uint8_t bGetRankMemberFlags(uint8_t bRank, uint8_t bMember);
uint8_t bGetRankOperationState(uint8_t bRank);
uint16_t wGetDirtyExtentCount();
uint8_t bGetRebuildState();
uint8_t fGetRebuildWork();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;
constexpr unsigned kMembers = 4;
constexpr unsigned kPulled = 2;   // member 1's slot
constexpr unsigned kSpareSlot = kMembers + 1;
constexpr uint16_t kChunk = 16;
constexpr uint64_t kBlocks = 3 * 4096;   // 4096 blocks a member
constexpr uint32_t kMemberBlocks = kBlocks / (kMembers - 1);
constexpr uint32_t kRebuildSelector = 0x300;
constexpr uint32_t kRebuildPending = 0x301;
constexpr uint32_t kRebuildCopy1 = 0x302;
constexpr uint32_t kRebuildCopy2 = 0x342;

// The record as a controller keeps it in its NVRAM: the current copy.
struct Record {
    uint8_t fPending;
    uint8_t bRank, bMember;
    uint32_t dPosition, dEnd;
    std::vector<uint8_t> wwn;
};
Record RecordIn(sim::Board& board) {
    const uint8_t* pb = board.nvram().Data();
    const uint8_t* pc = pb + (pb[kRebuildSelector] == fw::TRUE ? kRebuildCopy1 : kRebuildCopy2);
    return Record{pb[kRebuildPending], pc[0], pc[1], fw::dGetBe32(pc + 45), fw::dGetBe32(pc + 49),
                  std::vector<uint8_t>(pc + 37, pc + 45)};
}

class PartnerRebuild : public ::testing::Test, protected dual::Pair {
protected:
    void SetUp() override {
        PlaceArray();
        ASSERT_TRUE(Boot()) << Consoles();
    }
    // The array is on the drives with member 1's drive pulled.
    void PlaceArray() {
        roadtest::ArraySpec spec{"FOLLOW", fw::RAID_LEVEL_5, kMembers, kChunk, 0, writeBack, blocks};
        std::vector<uint8_t> ab = roadtest::RoadConfiguration(chassis, spec, 0x200000A55AA00001ull);
        fw::CONFIG_IMAGE* ps = copytest::Image(ab);
        ps->sHeader.fAutoRebuild = autoRebuild ? fw::TRUE : fw::FALSE;
        ps->sHeader.wSpareCount = autoRebuild ? 1 : 0;
        spare = roadtest::DriveWwn(chassis, kSpareSlot);
        std::memcpy(ps->asSpare[0].abWwn, spare.data(), 8);
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        copytest::Seal(ab);
        for (unsigned s = 1; s <= kSpareSlot; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), ab);
        if (filled) FillMembers();
        chassis.Pull(kPulled);
    }
    // Runs until both records show the rebuild under way, the other
    // controller's past its start.
    bool RunUntilFollowing() {
        return RunUntil(
            [&] {
                const Record m = RecordIn(a->board), s = RecordIn(b->board);
                return m.fPending == fw::TRUE && s.fPending == fw::TRUE && s.dPosition != 0;
            },
            60'000 * kMs);
    }
    // A host logged in to one controller of the pair.
    std::unique_ptr<sim::FcHost> HostOn(dual::Side& side, uint64_t wwpn) {
        auto host = std::make_unique<sim::FcHost>(side.board, side.fabric, *sim::FindIspChip(side.board, 1), wwpn);
        return HostReady(*host) ? std::move(host) : nullptr;
    }
    // Every member block of the array holds data, the last member the
    // parity of the others (with each block's parity the XOR of the four,
    // the rotation does not matter).
    void FillMembers() {
        const uint32_t n = MemberBlocks();
        std::vector<uint8_t> parity(n * roadtest::kBlock, 0), d(parity.size());
        for (unsigned s = 1; s < kMembers; ++s) {
            for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i * s + i / 4099 + s);
            chassis.DriveAt(s)->WriteBlocks(0, n, d.data());
            for (size_t i = 0; i < d.size(); ++i) parity[i] ^= d[i];
        }
        chassis.DriveAt(kMembers)->WriteBlocks(0, n, parity.data());
    }
    // The blocks of the member rebuilt on the drive in the slot that are not
    // what the others' parity says they must be.
    size_t WrongBlocks(unsigned slot) {
        const uint32_t n = MemberBlocks();
        std::vector<uint8_t> x(n * roadtest::kBlock, 0), d(x.size());
        for (unsigned s = 1; s <= kMembers; ++s) {
            chassis.DriveAt(s == kPulled ? slot : s)->ReadBlocks(0, n, d.data());
            for (size_t i = 0; i < d.size(); ++i) x[i] ^= d[i];
        }
        size_t wrong = 0;
        for (size_t b = 0; b < n; ++b) {
            wrong += std::any_of(x.begin() + ptrdiff_t(b * roadtest::kBlock),
                                 x.begin() + ptrdiff_t((b + 1) * roadtest::kBlock), [](uint8_t v) { return v != 0; });
        }
        return wrong;
    }
    uint32_t MemberBlocks() const { return static_cast<uint32_t>(blocks / (kMembers - 1)); }
    static bool MemberIs(const fw::CONFIG_IMAGE* ps, const std::array<uint8_t, 8>& w) {
        return std::memcmp(ps->asRank[0].aabMemberWwn[kPulled - 1], w.data(), 8) == 0;
    }
    // A management command through a host: its status.  While the
    // configuration is being written it is refused NOT READY, and sent
    // again as a host would.
    uint8_t Management(sim::FcHost& host, uint8_t bCode, const std::vector<uint8_t>& parameters = {}) {
        std::vector<uint8_t> data(std::begin(fw::MANAGEMENT_SIGNATURE), std::end(fw::MANAGEMENT_SIGNATURE));
        data.insert(data.end(), parameters.begin(), parameters.end());
        const std::vector<uint8_t> cdb = {fw::SCSI_WRITE_BUFFER, 0x01, bCode, 0, 0, 0, 0, 0, uint8_t(data.size()), 0};
        sim::FcpResult r;
        for (int i = 0; i < 50; ++i) {
            r = RunCommand(host, cdb, data);
            if (r.status != fw::SCSI_STATUS_CHECK_CONDITION || r.sense.size() < 3 || (r.sense[2] & 0x0F) != 2) break;
            RunUntil([] { return false; }, 20 * kMs);
        }
        return r.status;
    }
    std::array<uint8_t, 8> spare{};
    uint64_t blocks = kBlocks;
    bool writeBack = true;
    bool autoRebuild = true;   // and the drive after the members a hot spare
    bool filled = false;       // the members' first blocks hold data
};

// An array large enough that the rebuild is still running once a host has
// logged in.
class PartnerRebuildLarge : public PartnerRebuild {
protected:
    PartnerRebuildLarge() { blocks = 64 * kBlocks; }
};

// The same, written through: a host write goes to the array at once.
class PartnerRebuildThrough : public PartnerRebuildLarge {
protected:
    PartnerRebuildThrough() { writeBack = false; }
};

// The slave's record starts with the master's start message (rank, member,
// end, the spare's WWN), its position moves with the progress messages and
// never passes the master's, and the end clears it and commits the spare
// as the member there as well.
TEST_F(PartnerRebuild, TheOtherControllerFollowsTheRebuildThroughTheLink) {
    bool fFollowed = false, fMoved = false, fAhead = false;
    uint32_t dLastSlave = 0;
    ASSERT_TRUE(RunUntil(
        [&] {
            const Record m = RecordIn(a->board), s = RecordIn(b->board);
            if (s.fPending == fw::TRUE) {
                fFollowed = fFollowed || (s.bRank == 0 && s.bMember == kPulled - 1 && s.dEnd == kBlocks / 3 - 1 &&
                                          std::equal(s.wwn.begin(), s.wwn.end(), spare.begin()));
                if (s.dPosition != 0 && s.dPosition != dLastSlave) fMoved = true;
                if (m.fPending == fw::TRUE && s.dPosition > m.dPosition) fAhead = true;
                dLastSlave = s.dPosition;
            }
            return fFollowed && m.fPending != fw::TRUE && s.fPending != fw::TRUE &&
                   fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL &&
                   fw_b::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL;
        },
        60'000 * kMs))
        << Consoles();
    EXPECT_TRUE(fMoved);
    EXPECT_FALSE(fAhead);
    const Record s = RecordIn(b->board);
    EXPECT_EQ(s.dPosition, s.dEnd + 1);
    EXPECT_EQ(fw_b::bGetRankMemberFlags(0, kPulled - 1), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_TRUE(MemberIs(reinterpret_cast<const fw::CONFIG_IMAGE*>(fw_b::pGetConfigImage()), spare));
    EXPECT_TRUE(MemberIs(fw::pGetConfigImage(), spare));
}

// The management command cancelling the rebuild, sent to the master, ends
// the rebuild on the other controller too, through the link: its record is
// let go of where the front stood, not carried to the end.
TEST_F(PartnerRebuildLarge, ACancelAtTheMasterEndsTheRebuildOnTheOtherController) {
    const auto host = HostOn(*a, 0x2100001B32E00001ull);
    ASSERT_NE(host, nullptr) << Consoles();
    ASSERT_TRUE(RunUntilFollowing()) << Consoles();
    ASSERT_EQ(Management(*host, 205), fw::SCSI_STATUS_GOOD) << Consoles();
    Record s{};
    ASSERT_TRUE(RunUntil([&] { return (s = RecordIn(b->board)).fPending != fw::TRUE; }, 10'000 * kMs)) << Consoles();
    EXPECT_LE(s.dPosition, s.dEnd) << "the rebuild ran to its end instead";
    EXPECT_NE(fw_b::bGetRankMemberFlags(0, kPulled - 1), fw::MEMBER_FLAGS_IN_SERVICE);
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    int cancelled = 0;
    for (uint16_t w = 0; w < wCount; ++w) cancelled += fw::psGetEventLogEntry(w)->bCode == fw::EVENT_REBUILD_CANCELLED;
    EXPECT_EQ(cancelled, 1);
}

// Without Auto Rebuild nothing starts by itself: the replace command names
// the drive, at either controller of the pair, and the rebuild runs onto it
// and commits it as the member on both.
class PartnerReplace : public PartnerRebuild, public ::testing::WithParamInterface<bool> {
protected:
    PartnerReplace() {
        autoRebuild = false;
        filled = true;
    }
};

TEST_P(PartnerReplace, TheReplaceCommandRebuildsTheMemberOntoTheNamedDrive) {
    const bool fAtMaster = GetParam();
    const auto host = HostOn(fAtMaster ? *a : *b, 0x2100001B32E00003ull);
    ASSERT_NE(host, nullptr) << Consoles();
    RunUntil([] { return false; }, 2'000 * kMs);
    ASSERT_NE(RecordIn(a->board).fPending, fw::TRUE) << "a rebuild started by itself";
    std::vector<uint8_t> parameters = {0, kPulled - 1};
    parameters.insert(parameters.end(), spare.begin(), spare.end());
    ASSERT_EQ(Management(*host, 202, parameters), fw::SCSI_STATUS_GOOD) << Consoles();
    ASSERT_TRUE(RunUntil(
        [&] {
            return fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL &&
                   fw_b::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL;
        },
        60'000 * kMs))
        << Consoles();
    EXPECT_TRUE(MemberIs(reinterpret_cast<const fw::CONFIG_IMAGE*>(fw_b::pGetConfigImage()), spare));
    EXPECT_TRUE(MemberIs(fw::pGetConfigImage(), spare));
    EXPECT_EQ(WrongBlocks(kSpareSlot), 0u) << "of " << MemberBlocks() << " member blocks";
}

INSTANTIATE_TEST_SUITE_P(AtEitherController, PartnerReplace, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "AtTheMaster" : "AtTheOther"; });

// A host write on the other controller that meets the rebuild front waits
// there, and that controller asks the master through the link to step its
// rebuild on without waiting for a quiet host; the write then goes through.
TEST_F(PartnerRebuildThrough, AWriteAtTheFrontOnTheOtherControllerAsksTheMasterToStepOn) {
    const auto host = HostOn(*b, 0x2100001B32E00002ull);
    ASSERT_NE(host, nullptr) << Consoles();
    ASSERT_TRUE(RunUntilFollowing()) << Consoles();
    unsigned asked = 0;
    a->board.sasController().partnerCommandSeen = [&](const uint8_t* cdb) {
        asked += cdb[0] == fw::PARTNER_TYPED_MESSAGE && cdb[1] == fw::REBUILD_MSG_PAR;
    };
    // A few rows past the front as the other controller knows it.
    const uint64_t lba = uint64_t(RecordIn(b->board).dPosition) * (kMembers - 1) + 12 * kChunk * (kMembers - 1);
    std::vector<uint8_t> data(8 * roadtest::kBlock);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    sim::FcpCommand c;
    c.cdb = dual::Cdb16(fw::SCSI_WRITE16, lba, 8);
    c.dataOut = data;
    const uint32_t tag = host->initiator().Submit(host->target(), c);
    ASSERT_TRUE(RunUntil([&] { return host->initiator().Finished(tag) && fw_b::wGetDirtyExtentCount() == 0; },
                         20'000 * kMs))
        << Consoles();
    a->board.sasController().partnerCommandSeen = nullptr;
    EXPECT_EQ(host->initiator().Result(tag).status, 0);
    EXPECT_GE(asked, 1u) << "the master was never asked to step on";
    const sim::FcpResult back = RunCommand(*host, dual::Cdb16(fw::SCSI_READ16, lba, 8), {}, 8 * roadtest::kBlock);
    ASSERT_EQ(back.status, 0);
    EXPECT_EQ(back.dataIn, data);
}

// Controller 1 starts alone and rebuilds the array by itself; controller
// 0 joins it while the rebuild runs (the drives are slow).  Once controller
// 0 has read its status block, with the rebuild recorded in it, controller
// 1's step machine lets its regions go, before controller 0, now master,
// resumes the rebuild and tells it so.  Controller 0 carries the rebuild
// to its end, and the member holds what the others' parity says.
class PartnerRebuildJoined : public PartnerRebuild {
protected:
    PartnerRebuildJoined() {
        blocks = 16 * kBlocks;
        filled = true;
    }
    void SetUp() override {
        a->board.CutPower();
        PlaceArray();
        ASSERT_TRUE(RunUntil([&] { return b->Booted() && RecordIn(b->board).dPosition != 0; }, dual::kBootLimitNs))
            << Consoles();
    }
};

TEST_F(PartnerRebuildJoined, TheSlot2ControllerLetsItsRebuildGoToTheJoinerAndItEndsRight) {
    bool fStatusRead = false, fResumed = false, fLetGo = false;
    b->board.sasController().partnerCommandSeen = [&](const uint8_t* cdb) {
        fStatusRead = fStatusRead || (cdb[0] == fw::PARTNER_OPCODE_READ_BUFFER && cdb[2] == 3);
        fResumed = fResumed || (cdb[0] == fw::PARTNER_TYPED_MESSAGE && cdb[1] == fw::REBUILD_MSG_STARTED);
    };
    for (unsigned s = 1; s <= kSpareSlot; ++s) {
        if (chassis.DriveAt(s) != nullptr) chassis.DriveAt(s)->SetExtraLatencyNs(100 * kMs);
    }
    a->board.RestorePower();
    a->board.ClearConsoleText();
    sim::Board::ConnectPartners(a->board, b->board);
    a->board.Boot();
    uint32_t dAtRead = 0;
    ASSERT_TRUE(RunUntil(
        [&] {
            if (fStatusRead && dAtRead == 0) dAtRead = RecordIn(b->board).dPosition;
            fLetGo = fLetGo || (fStatusRead && !fResumed && RecordIn(b->board).fPending == fw::TRUE &&
                                fw_b::fGetRebuildWork() != fw::TRUE && fw_b::bGetRebuildState() == 0);
            return fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL &&
                   fw_b::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL;
        },
        600'000 * kMs))
        << Consoles();
    b->board.sasController().partnerCommandSeen = nullptr;
    ASSERT_TRUE(fStatusRead);
    ASSERT_LT(dAtRead, MemberBlocks()) << "the rebuild ended before the joiner read the status block";
    EXPECT_TRUE(fResumed) << "the joiner did not resume the rebuild";
    EXPECT_TRUE(fLetGo) << "controller 1 held on to its rebuild after the joiner took its record";
    EXPECT_NE(RecordIn(a->board).fPending, fw::TRUE);
    EXPECT_NE(RecordIn(b->board).fPending, fw::TRUE);
    EXPECT_TRUE(MemberIs(reinterpret_cast<const fw::CONFIG_IMAGE*>(fw_b::pGetConfigImage()), spare));
    EXPECT_TRUE(MemberIs(fw::pGetConfigImage(), spare));
    for (unsigned s = 1; s <= kSpareSlot; ++s) {
        if (chassis.DriveAt(s) != nullptr) chassis.DriveAt(s)->SetExtraLatencyNs(0);
    }
    EXPECT_EQ(WrongBlocks(kSpareSlot), 0u) << "of " << MemberBlocks() << " member blocks";
}

}  // namespace
