// In-band management from a Fibre Channel host against a whole controller:
// a configuration made with management WRITE BUFFERs is the one the
// configuration operations make and outlives a restart; deletions; the
// reset after the status; and write-back caching turned off under load
// without losing an acknowledged write.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console/option_settings.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/ld_operations.h"
#include "config/spares_wwn.h"
#include "harness/config_builder.h"
#include "harness/fc_array_controller.h"
#include "host_road.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/fc_host.h"

namespace {

constexpr uint64_t kHost = 0x2100001B32E00001ull;
constexpr uint8_t kGood = fw::SCSI_STATUS_GOOD;

constexpr uint8_t kOpenEdit = 128;
constexpr uint8_t kCommit = 130;
constexpr uint8_t kCreateArray = 144;
constexpr uint8_t kCreateLd = 145;
constexpr uint8_t kAddMapping = 146;
constexpr uint8_t kAddSpare = 147;
constexpr uint8_t kArrayName = 167;
constexpr uint8_t kLdName = 168;
constexpr uint8_t kDeleteArray = 176;
constexpr uint8_t kDeleteLd = 177;
constexpr uint8_t kResetController = 195;
constexpr uint8_t kWriteBackOff = 210;

template <typename T>
std::vector<uint8_t> Bytes(const T& s) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&s);
    return std::vector<uint8_t>(pb, pb + sizeof(T));
}

std::vector<uint8_t> Name(const std::string& name) {
    std::vector<uint8_t> ab(32, ' ');
    std::memcpy(ab.data(), name.data(), name.size());
    return ab;
}

// Units, extent, flags, a reserved byte and the block size (little-endian),
// then the name.
std::vector<uint8_t> LdBlock(uint16_t units, const std::string& name) {
    std::vector<uint8_t> ab = {uint8_t(units), uint8_t(units >> 8), 0xFF, 0xFF, 0x0F, 0, 0x00, 0x02};
    const std::vector<uint8_t> n = Name(name);
    ab.insert(ab.end(), n.begin(), n.end());
    return ab;
}

cfgbuild::ArraySpec Raid5() {
    cfgbuild::ArraySpec s;
    s.bLevel = fw::RAID_LEVEL_5;
    s.slots = {1, 2, 3, 4};
    s.name = "FIRST ARRAY";
    return s;
}

class ManagementSystemTest : public ::testing::Test, public harness::FcArrayController {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }
    void Start() {
        host.reset();
        ASSERT_NO_FATAL_FAILURE(Boot());
        host = std::make_unique<sim::FcHost>(*board, *fabric, Chip(), kHost);
        ASSERT_TRUE(host->LogIn());
    }
    uint8_t Run(uint8_t code, uint8_t b3 = 0, uint8_t b4 = 0, uint8_t b5 = 0, const std::vector<uint8_t>& block = {}) {
        const sim::FcpResult r = Management(*host, code, b3, b4, b5, block);
        EXPECT_EQ(r.status, kGood) << "code " << int(code) << " sense " << std::hex << Sense(r);
        return r.status;
    }
    bool Idle() { return cfgbuild::Builder(*board).WaitIdle(); }

    // The arrays and logical drives as the configuration printout shows
    // them, their names, the mappings and the spares.
    std::string Layout() {
        board->ClearConsoleText();
        const fw::CONFIG_IMAGE* ps = fw::pGetConfigImage();
        for (uint8_t r = 0; r < ps->sHeader.wRankCount; ++r) fw::PrintRankRecord(ps, r, fw::TRUE);
        for (uint16_t l = 0; l < ps->sHeader.wLdCount; ++l) fw::PrintLdRecord(ps, l);
        board->RunFor(200'000'000ull);
        std::string s = board->ConsoleText();
        for (uint8_t r = 0; r < ps->sHeader.wRankCount; ++r) s.append(ps->asRank[r].acArrayName, 32);
        for (uint16_t l = 0; l < ps->sHeader.wLdCount; ++l) s.append(ps->asLd[l].acLdName, 32);
        for (uint16_t m = 0; m < ps->sHeader.wSanMapCount; ++m) {
            const std::vector<uint8_t> ab = Bytes(ps->asSanMap[m]);
            s.append(ab.begin(), ab.end());
        }
        for (uint16_t n = 0; n < ps->sHeader.wSpareCount; ++n) {
            const std::vector<uint8_t> ab = Bytes(ps->asSpare[n]);
            s.append(ab.begin(), ab.end());
        }
        return s;
    }

    std::unique_ptr<sim::FcHost> host;
};

TEST_F(ManagementSystemTest, AConfigurationMadeInBandIsTheOneTheOperationsMakeAndOutlivesARestart) {
    fw::CONFIG_RANK_RECORD array;
    ASSERT_TRUE(cfgbuild::Builder::ArrayRequest(Raid5(), &array));
    uint8_t spare[9] = {};
    ASSERT_TRUE(cfgbuild::Builder::SlotWwn(7, spare));
    spare[8] = fw::GLOBAL_SPARE;
    const fw::SAN_LUN_MAP_ENTRY map = cfgbuild::Builder::MapRequest(kHost, {1, 0});

    ASSERT_EQ(Run(kOpenEdit), kGood);
    ASSERT_EQ(Run(kCreateArray, 0, 0, 0, Bytes(array)), kGood);
    ASSERT_EQ(Run(kCreateLd, 0, 0, 0, LdBlock(2, "FIRST")), kGood);
    ASSERT_EQ(Run(kCreateLd, 0, 0, 0, LdBlock(1, "SECOND")), kGood);
    ASSERT_EQ(Run(kAddMapping, 0, 0, 0, Bytes(map)), kGood);
    ASSERT_EQ(Run(kAddSpare, 0, 0, 0, std::vector<uint8_t>(spare, spare + 9)), kGood);
    ASSERT_EQ(Run(kArrayName, 0, 0, 0, Name("RENAMED")), kGood);
    ASSERT_EQ(Run(kLdName, 0, 1, 0, Name("LD ONE")), kGood);
    // A commit that names another save count than the controller's is
    // refused; the right one is taken.
    const uint16_t saves = fw::wGetConfigSaveCount();
    const sim::FcpResult stale = Management(*host, kCommit, uint8_t((saves + 1) >> 8), uint8_t(saves + 1));
    EXPECT_EQ(Sense(stale), 0x052400u);
    ASSERT_EQ(Run(kCommit, uint8_t(saves >> 8), uint8_t(saves)), kGood);
    ASSERT_TRUE(Idle());
    ASSERT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 2);
    const std::string inBand = Layout();
    ASSERT_NE(inBand.find("RENAMED"), std::string::npos) << inBand;

    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(Layout(), inBand) << "after the restart";

    // The same configuration through the configuration operations, on
    // another controller and drives.
    harness::FcArrayController other;
    ASSERT_NO_FATAL_FAILURE(other.Boot());
    cfgbuild::Builder builder(*other.board);
    ASSERT_TRUE(builder.OpenEdit());
    cfgbuild::ArraySpec renamed = Raid5();
    renamed.name = "RENAMED";
    ASSERT_EQ(builder.CreateArray(renamed), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(2, "FIRST"), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(1, "LD ONE"), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::MapToInitiator(kHost, {1, 0}), fw::STATUS_OK);
    ASSERT_EQ(builder.AddGlobalSpare(7), fw::STATUS_OK);
    ASSERT_TRUE(builder.Commit());
    board.swap(other.board);
    EXPECT_EQ(Layout(), inBand) << "made by the operations";
    board.swap(other.board);
    // The process has one controller firmware: the other controller's start
    // put its globals back to their load image, and the first board's rings
    // and chips no longer match them.  The first controller starts again on
    // its drives before it serves its host.
    ASSERT_NO_FATAL_FAILURE(Start());

    // Deleting every logical drive (0xF1F1), then the array.
    ASSERT_EQ(Run(kOpenEdit), kGood);
    ASSERT_EQ(Run(kDeleteLd, 0xF1, 0xF1), kGood);
    ASSERT_EQ(Run(kDeleteArray, 0), kGood);
    ASSERT_EQ(Run(kCommit), kGood);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wLdCount, 0);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.wRankCount, 0);
}

TEST_F(ManagementSystemTest, ResetIsAnsweredThenTheBoardResets) {
    const sim::FcpResult r = Management(*host, kResetController, 1);
    EXPECT_EQ(r.status, kGood) << std::hex << Sense(r);
    // The reset takes its time to quiesce the chips.
    if (board->lastStop() == sim::StopKind::Running) (void)board->RunFor(10'000'000'000ull);
    EXPECT_EQ(board->lastStop(), sim::StopKind::Reset);
}

// Write-back turned off while a host streams writes: every write answered
// GOOD is on the drives where the layout puts it, and the writes that
// follow are answered only once they are on the drives.
class WriteBackOffRoad : public roadtest::HostRoad {};

TEST_F(WriteBackOffRoad, NoAcknowledgedWriteIsLostAndLaterWritesAreWrittenThrough) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 64}));
    ASSERT_EQ(fw::fGetWritebackCaching(), fw::TRUE);
    struct InFlight {
        uint32_t tag;
        uint64_t lba;
        std::vector<uint8_t> data;
    };
    std::vector<InFlight> inFlight;
    const uint32_t blocks = 24;
    for (uint32_t i = 0; i < 24; ++i) {
        sim::FcpCommand c;
        c.cdb = Cdb(fw::SCSI_WRITE10, i * blocks * 3, blocks);
        c.dataOut = Random(blocks, 500 + i);
        inFlight.push_back({host->Submit(c), i * blocks * 3ull, c.dataOut});
    }
    const sim::FcpResult off = harness::FcArrayController::Management(*host, kWriteBackOff);
    EXPECT_EQ(off.status, kGood);
    for (const InFlight& f : inFlight) {
        const sim::FcpResult r = host->Wait(f.tag);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
        ASSERT_EQ(r.status, kGood) << SenseText(r);
        Record(f.lba, f.data);
    }
    EXPECT_EQ(fw::fGetWritebackCaching(), fw::FALSE);

    // Once what the cache held is on the drives, a new write reaches them
    // before its status reaches the host.
    Settle();
    WatchDataCommands();
    const std::vector<uint8_t> data = Random(8, 77);
    uint64_t writesAtGood = 0;
    host->initiator().onCompletion = [&](uint32_t, const sim::FcpResult&) { writesAtGood = AllDataWrites(); };
    const sim::FcpResult later = host->Send(0, Cdb(fw::SCSI_WRITE10, 4096, 8), data);
    host->initiator().onCompletion = nullptr;
    ASSERT_EQ(later.status, kGood);
    Record(4096, data);
    EXPECT_GT(writesAtGood, 0u) << "answered before any drive was written";

    Settle();
    ExpectDrivesMatchReference();
    ExpectRead(0, 24 * blocks * 3);
}

}  // namespace
